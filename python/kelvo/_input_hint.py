"""What the command-line tool adds to a decoding fault when the input looks like something
other than CBOR: hexadecimal text (read with ``--hex``) or JSON (converted by ``from-json``).

The input is watched as it is read, so that no byte is read twice and nothing is kept: the
watch only remembers whether every byte so far was a hexadecimal digit or whitespace, and the
first byte that is not whitespace.
"""

from __future__ import annotations

from typing import IO, Any

_HEX_AND_SPACE = b"0123456789abcdefABCDEF \t\r\n\f\v"
_SPACE = b" \t\r\n\f\v"
_LOOK_AHEAD = 1 << 16  # bytes read at a time past the fault, to tell hexadecimal text


class WatchedInput:
    """A binary input stream that notes what its bytes look like as they pass."""

    def __init__(self, stream: IO[bytes]) -> None:
        self._stream = stream
        self.hex_only = True  # every byte so far is a hexadecimal digit or whitespace
        self.any_digit = False
        self.first: int | None = None  # the first byte that is not whitespace

    def _note(self, data: bytes) -> bytes:
        if self.first is None:
            rest = data.lstrip(_SPACE)
            if rest:
                self.first = rest[0]
        if self.hex_only and data:
            if data.translate(None, _HEX_AND_SPACE):
                self.hex_only = False
            elif not self.any_digit and data.translate(None, _SPACE):
                self.any_digit = True
        return data

    def read(self, n: int = -1) -> bytes:
        return self._note(self._stream.read(n))

    def read1(self, n: int = -1) -> bytes:
        return self._note(self._stream.read1(n))  # type: ignore[attr-defined]

    def readline(self, limit: int = -1) -> bytes:
        return self._note(self._stream.readline(limit))

    def __iter__(self) -> WatchedInput:
        return self

    def __next__(self) -> bytes:
        line = self.readline()
        if not line:
            raise StopIteration
        return line

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return False

    def __enter__(self) -> WatchedInput:
        return self

    def __exit__(self, *exc: Any) -> None:
        self._stream.close()

    def close(self) -> None:
        self._stream.close()

    def hint(self) -> str:
        """The advice for a fault in this input, or "" when it looks like nothing else."""
        if self.first in (ord("{"), ord("[")):
            return " (the input looks like JSON: convert it with 'kelvo from-json')"
        try:
            # The rest of the input, unless the stream is already closed: then what was read
            # decides.
            while self.hex_only and not self._stream.closed and self.read(_LOOK_AHEAD):
                pass
        except (OSError, ValueError):
            pass
        if self.hex_only and self.any_digit:
            return " (the input looks like hexadecimal text: read it with --hex)"
        return ""
