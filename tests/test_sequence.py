"""CBOR sequences in the library: iterload, dump_seq, dumps_seq."""

import io
import os
import threading

import pytest

import kelvo
from kelvo import CBORDecodeEOF, CBORDecodeError, frozendict

ITEMS = [1, "two", [3, {"four": b"4"}], None, {"five": [5.5]}]


class NonSeekable(io.RawIOBase):
    """A stream that cannot seek and records every read request."""

    def __init__(self, data):
        self._data = io.BytesIO(data)
        self.requests = []

    def readable(self):
        return True

    def read(self, n=-1):
        self.requests.append(n)
        return self._data.read(n)


def test_dumps_seq_is_the_items_back_to_back():
    data = kelvo.dumps_seq(iter(ITEMS), canonical=True)
    assert data == b"".join(kelvo.dumps(item, canonical=True) for item in ITEMS)
    fp = io.BytesIO()
    assert kelvo.dump_seq(ITEMS, fp, canonical=True) is None
    assert fp.getvalue() == data
    assert kelvo.dumps_seq([]) == b""


def test_sharing_stays_within_each_item():
    shared = [1, 2]
    data = kelvo.dumps_seq([[shared, shared], shared], value_sharing=True)
    first, second = list(kelvo.iterload(io.BytesIO(data)))
    assert first[0] is first[1] and second == shared
    # the second item is complete in itself: a shared reference to the first item would fail
    assert kelvo.loads(data[len(kelvo.dumps([shared, shared], value_sharing=True)):]) == shared


@pytest.mark.parametrize("make_stream", [io.BytesIO, NonSeekable], ids=["seekable", "non-seekable"])
def test_iterload_yields_every_item_and_stops_cleanly(make_stream):
    data = kelvo.dumps_seq(ITEMS)
    stream = make_stream(data + b"\x83\x01")  # a truncated item follows
    items = kelvo.iterload(stream, immutable=True, max_depth=5)
    assert [next(items) for _ in ITEMS] == [1, "two", (3, frozendict({"four": b"4"})), None,
                                            frozendict({"five": (5.5,)})]
    with pytest.raises(CBORDecodeEOF) as info:
        next(items)
    assert str(info.value) == ("the input ends inside item 5 of the sequence (premature end of stream "
                               "(expected to read at least 1 bytes, got 0 instead))")
    assert list(kelvo.iterload(make_stream(data))) == ITEMS
    assert list(kelvo.iterload(make_stream(b""))) == []
    if isinstance(stream, NonSeekable):
        # never asked for more than the item in hand needs
        assert max(stream.requests) <= 8


def test_iterload_leaves_a_seekable_stream_after_the_last_item_read():
    fp = io.BytesIO(kelvo.dumps_seq([1, [2], 3]))
    items = kelvo.iterload(fp)
    assert next(items) == 1 and fp.tell() == 1
    assert next(items) == [2] and fp.tell() == 3


def test_iterload_over_a_pipe():
    read_end, write_end = os.pipe()
    data = kelvo.dumps_seq(range(1000))

    def writer():
        with os.fdopen(write_end, "wb") as out:
            for i in range(0, len(data), 7):
                out.write(data[i:i + 7])
                out.flush()

    thread = threading.Thread(target=writer)
    thread.start()
    with os.fdopen(read_end, "rb") as fp:
        assert list(kelvo.iterload(fp)) == list(range(1000))
    thread.join()


def test_iterload_errors():
    with pytest.raises(TypeError, match="unexpected keyword argument 'canonical'"):
        kelvo.iterload(io.BytesIO(b""), canonical=True)  # raised by the call, not the first next()
    with pytest.raises(CBORDecodeError) as info:
        list(kelvo.iterload(io.BytesIO(b"\x01\x1c")))
    assert type(info.value) is CBORDecodeError
    assert list(kelvo.iterload(io.BytesIO(b"\xd9\x03\xe8\x01"), tag_hook=lambda tag, imm: tag.value)) == [1]
