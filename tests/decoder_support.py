"""Helpers shared by the decoder tests."""

import io

import pytest

from _kelvo import CBORDecodeError, loads


def h(text):
    """Bytes from hex text that may contain spaces."""
    return bytes.fromhex(text.replace(" ", ""))


class RecordingReader:
    """A readable binary file object that records every read() request and seek() call."""

    def __init__(self, data=b"", *, seekable=True, max_chunk=None):
        self.stream = io.BytesIO(data)
        self.requests = []
        self.seeks = []
        self._seekable = seekable
        self.max_chunk = max_chunk

    def readable(self):
        return True

    def seekable(self):
        return self._seekable

    def read(self, n):
        self.requests.append(n)
        if self.max_chunk is not None:
            n = min(n, self.max_chunk)
        return self.stream.read(n)

    def seek(self, offset, whence=0):
        self.seeks.append((offset, whence))
        return self.stream.seek(offset, whence)

    def tell(self):
        return self.stream.tell()


def decode_error(data, **options):
    """The CBORDecodeError that loads() raises for `data` (bytes, or hex text)."""
    with pytest.raises(CBORDecodeError) as info:
        loads(h(data) if isinstance(data, str) else data, **options)
    return info.value
