"""CBORDecoder: construction, options, setters, properties, read(), the input stream rules,
and the module functions load() and loads()."""

import array
import gc
import inspect
import io
import os
import threading
import time
import weakref

import pytest

from _kelvo import CBORDecodeEOF, CBORDecodeError, CBORDecoder, load, loads

from decoder_support import RecordingReader, h

EOF_MSG = "premature end of stream (expected to read at least {} bytes, got {} instead)"


# ---- construction and options

def test_defaults_and_properties():
    fp = io.BytesIO()
    dec = CBORDecoder(fp)
    assert dec.fp is fp
    assert dec.tag_hook is None and dec.object_hook is None
    assert dec.str_errors == "strict"
    assert (dec.read_size, dec.max_depth) == (4096, 400)
    assert dec.allow_indefinite is True
    assert dec.allow_duplicate_keys is True
    assert dec.strict_hashable_types is False
    assert not hasattr(dec, "semantic_decoders")


def test_options_are_stored():
    hook = lambda *a: a  # noqa: E731
    dec = CBORDecoder(io.BytesIO(), tag_hook=hook, object_hook=hook, semantic_decoders={},
                      str_errors="replace", read_size=7, max_depth=9, allow_indefinite=False,
                      allow_duplicate_keys=False, strict_hashable_types=True)
    assert dec.tag_hook is hook and dec.object_hook is hook
    assert dec.str_errors == "replace"
    assert (dec.read_size, dec.max_depth) == (7, 9)
    assert (dec.allow_indefinite, dec.allow_duplicate_keys, dec.strict_hashable_types) == (False, False, True)


def test_signatures():
    assert CBORDecoder.__text_signature__ == (
        '(fp, *, tag_hook=None, object_hook=None, semantic_decoders=None, str_errors="strict", '
        "read_size=4096, max_depth=400, allow_indefinite=True, allow_duplicate_keys=True, "
        "strict_hashable_types=False)")
    assert CBORDecoder.__doc__.startswith("Reads CBOR (RFC 8949) data items from a binary file object")
    assert str(inspect.signature(load)) == (
        "(fp, *, tag_hook=None, object_hook=None, semantic_decoders=None, str_errors='strict', "
        "read_size=4096, max_depth=400, allow_indefinite=True, allow_duplicate_keys=True, "
        "strict_hashable_types=False, immutable=False)")
    assert str(inspect.signature(loads)) == (
        "(data, *, tag_hook=None, object_hook=None, semantic_decoders=None, str_errors='strict', "
        "max_depth=400, allow_indefinite=True, allow_duplicate_keys=True, strict_hashable_types=False, "
        "immutable=False)")
    assert str(inspect.signature(CBORDecoder.read)) == "(self, amount, /)"
    assert str(inspect.signature(CBORDecoder.decode)) == "(self, /, *, immutable=False)"
    assert CBORDecoder.read.__doc__.splitlines()[0] == "Read bytes from the data stream."
    assert CBORDecoder.decode.__doc__.splitlines()[0] == "Decode the next value from the stream."
    assert load.__module__ == loads.__module__ == "_kelvo"


@pytest.mark.parametrize("kwargs, exc, message, note", [
    ({"tag_hook": 1}, TypeError, "tag_hook must be callable or None", None),
    ({"object_hook": "x"}, TypeError, "object_hook must be callable or None", None),
    ({"str_errors": "Strict"}, ValueError, "invalid str_errors value: 'Strict'", None),
    ({"str_errors": None}, TypeError, "'None' is not an instance of 'str'", "str_errors"),
    ({"str_errors": b"strict"}, TypeError, "'bytes' object is not an instance of 'str'", "str_errors"),
    ({"semantic_decoders": [1]}, TypeError, "'list' object is not an instance of 'Mapping'", "semantic_decoders"),
    ({"read_size": -1}, OverflowError, None, "read_size"),
    ({"max_depth": "1"}, TypeError, None, "max_depth"),
    ({"allow_indefinite": 1}, TypeError, "'int' object is not an instance of 'bool'", "allow_indefinite"),
    ({"allow_duplicate_keys": None}, TypeError, "'None' is not an instance of 'bool'", "allow_duplicate_keys"),
    ({"strict_hashable_types": "yes"}, TypeError, "'str' object is not an instance of 'bool'",
     "strict_hashable_types"),
    ({"unknown": 1}, TypeError, "CBORDecoder.__new__() got an unexpected keyword argument 'unknown'", None),
])
def test_constructor_errors(kwargs, exc, message, note):
    with pytest.raises(exc) as info:
        CBORDecoder(io.BytesIO(), **kwargs)
    if message is not None:
        assert str(info.value) == message
    notes = getattr(info.value, "__notes__", [])
    assert notes == ([f"while processing '{note}'"] if note else [])


def test_constructor_argument_rules():
    with pytest.raises(TypeError, match=r"^CBORDecoder.__new__\(\) missing 1 required positional argument: 'fp'$"):
        CBORDecoder()
    with pytest.raises(TypeError, match=r"takes 1 positional arguments but 2 were given"):
        CBORDecoder(io.BytesIO(), None)
    assert CBORDecoder(fp=io.BytesIO()).fp is not None


class Readable:
    def __init__(self, readable, seekable=False):
        self._readable = readable
        self._seekable = seekable

    def readable(self):
        if isinstance(self._readable, Exception):
            raise self._readable
        return self._readable

    def seekable(self):
        if isinstance(self._seekable, Exception):
            raise self._seekable
        return self._seekable

    def read(self, n):
        return b"\x01"


def test_fp_validation():
    with pytest.raises(ValueError, match="^fp must be a readable file-like object$") as info:
        CBORDecoder(Readable(0))
    assert info.value.__cause__ is None
    oops = OSError("closed")
    with pytest.raises(ValueError, match="^fp must be a readable file-like object$") as info:
        CBORDecoder(Readable(oops))
    assert info.value.__cause__ is oops
    with pytest.raises(ValueError) as info:
        CBORDecoder(None)
    assert isinstance(info.value.__cause__, AttributeError)
    with pytest.raises(RuntimeError, match="seek check"):
        CBORDecoder(Readable(True, RuntimeError("seek check")))
    type_without_read = type("NoRead", (), {"readable": lambda s: True, "seekable": lambda s: False})
    with pytest.raises(AttributeError):
        CBORDecoder(type_without_read())
    assert CBORDecoder(Readable("yes")).decode() == 1


class ReadReturns:
    """A non-seekable stream whose read() returns the given objects in turn."""

    def __init__(self, *results):
        self.results = list(results)
        self.requests = []

    def readable(self):
        return True

    def seekable(self):
        return False

    def read(self, n):
        self.requests.append(n)
        return self.results.pop(0)


class LyingBytes(bytes):
    def __len__(self):
        return 1000


def test_setters_keep_old_value_on_failure():
    fp = io.BytesIO(b"\x01")
    dec = CBORDecoder(fp)
    hook = print
    dec.tag_hook = hook
    with pytest.raises(TypeError, match="^tag_hook must be callable or None$"):
        dec.tag_hook = 3
    assert dec.tag_hook is hook
    dec.tag_hook = None
    assert dec.tag_hook is None
    with pytest.raises(TypeError, match="^object_hook must be callable or None$"):
        dec.object_hook = 3
    with pytest.raises(ValueError, match="^fp must be a readable file-like object$"):
        dec.fp = Readable(False)
    assert dec.fp is fp
    with pytest.raises(ValueError, match=r"^invalid str_errors value: 'Strict'$"):
        dec.str_errors = "Strict"
    dec.str_errors = "surrogateescape"
    assert dec.str_errors == "surrogateescape"
    dec.str_errors = "strict"
    assert dec.str_errors == "strict"
    with pytest.raises(TypeError, match="'int' object is not an instance of 'str'") as info:
        dec.str_errors = 1
    assert info.value.__notes__ == ["while processing 'str_errors'"]
    for name in ("fp", "tag_hook", "object_hook", "str_errors"):
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            delattr(dec, name)
    for name in ("read_size", "max_depth", "allow_indefinite", "allow_duplicate_keys", "strict_hashable_types"):
        with pytest.raises(AttributeError):
            setattr(dec, name, getattr(dec, name))


def test_gc_reclaims_cycle_through_hook():
    class Hook:
        def __call__(self, tag, immutable):
            return tag

    hook = Hook()
    dec = CBORDecoder(io.BytesIO(), tag_hook=hook)
    hook.decoder = dec
    ref = weakref.ref(hook)
    del hook, dec
    gc.collect()
    assert ref() is None


# ---- read() and the input buffer

def test_read_and_decode_share_the_buffer():
    fp = RecordingReader(h("01 02 03 04 05"), seekable=False)
    dec = CBORDecoder(fp)
    assert dec.read(0) == b""
    assert fp.requests == []
    assert dec.read(2) == b"\x01\x02"
    assert dec.decode() == 3
    assert dec.read(2) == b"\x04\x05"
    with pytest.raises(CBORDecodeEOF) as info:
        dec.read(1)
    assert str(info.value) == EOF_MSG.format(1, 0)


def test_read_spanning_blocks():
    fp = RecordingReader(h("01 02 03"), max_chunk=2)
    dec = CBORDecoder(fp)
    assert dec.read(1) == b"\x01"
    assert dec.read(2) == b"\x02\x03"  # one byte buffered, the other from a new block
    assert fp.requests == [4096, 4096]
    fp = ReadReturns(b"\x01\x02\x03", b"\x04")
    dec = CBORDecoder(fp)
    assert dec.read(1) == b"\x01"
    assert dec.read(3) == b"\x02\x03\x04"
    assert fp.requests == [1, 1]


def test_read_errors():
    dec = CBORDecoder(io.BytesIO(b"ab"))
    with pytest.raises(OverflowError) as info:
        dec.read(-1)
    assert info.value.__notes__ == ["while processing 'amount'"]
    with pytest.raises(TypeError, match="positional-only"):
        dec.read(amount=1)
    with pytest.raises(CBORDecodeEOF) as info:
        dec.read(3)
    assert str(info.value) == EOF_MSG.format(3, 2)


def test_decode_twice_gives_back_read_ahead():
    fp = RecordingReader(h("01 02"))
    dec = CBORDecoder(fp)
    assert dec.decode() == 1
    assert fp.tell() == 1 and fp.seeks == [(-1, 1)]
    assert dec.decode() == 2
    assert fp.tell() == 2 and fp.seeks == [(-1, 1)]
    assert fp.requests == [4096, 4096]


@pytest.mark.parametrize("data, seekable, read_size, requests", [
    # read_byte, then the two argument bytes
    ("19 01 00", True, 4096, [4096]),
    ("19 01 00", True, 1, [1, 2]),
    ("19 01 00", False, 4096, [1, 2]),
    # a short string asked for whole, a long one in pieces of 65536 bytes
    ("43 616263", False, 4096, [1, 3]),
    ("5a 00010001" + "00" * 65537, False, 4096, [1, 4, 65536, 1]),
    ("5a 00010000" + "00" * 65536, False, 4096, [1, 4, 65536]),
    # indefinite chunks are read in pieces as well
    ("5f 5a 00020000" + "00" * 131072 + "ff", False, 4096, [1, 1, 4, 65536, 65536, 1]),
    ("5f 41 00 ff", False, 4096, [1, 1, 1, 1]),
    ("81 01", False, 4096, [1, 1]),
])
def test_request_sizes(data, seekable, read_size, requests):
    fp = RecordingReader(h(data), seekable=seekable)
    CBORDecoder(fp, read_size=read_size).decode()
    assert fp.requests == requests
    assert fp.seeks == []


def test_long_string_from_seekable_stream():
    payload = bytes(range(256)) * 1024
    fp = RecordingReader(h("5a 00040000") + payload + b"\x07")
    dec = CBORDecoder(fp)
    assert dec.decode() == payload
    assert max(fp.requests) <= 65536
    assert dec.decode() == 7


def test_short_reads_are_accepted():
    fp = RecordingReader(h("19 01 00 82 01 02"), max_chunk=2)
    dec = CBORDecoder(fp)
    assert dec.decode() == 256
    assert dec.decode() == [1, 2]


def test_read_result_must_be_bytes():
    with pytest.raises(TypeError, match="^'bytearray' object is not an instance of 'bytes'$"):
        CBORDecoder(ReadReturns(bytearray(b"\x01"))).decode()
    # inside an item the failure is labelled
    with pytest.raises(CBORDecodeError, match="^error decoding unsigned integer$") as info:
        CBORDecoder(ReadReturns(b"\x19", "xx")).decode()
    assert isinstance(info.value.__cause__, TypeError)
    # subclasses are accepted; their real size counts, not len()
    assert CBORDecoder(ReadReturns(LyingBytes(b"\x01"))).decode() == 1
    with pytest.raises(CBORDecodeEOF) as info:
        CBORDecoder(ReadReturns(b"\x19", LyingBytes(b"\x01"), b"")).decode()
    assert str(info.value) == EOF_MSG.format(2, 1)


def test_read_failures_and_eof():
    class Broken(ReadReturns):
        def read(self, n):
            raise OSError("disk")

    with pytest.raises(OSError, match="disk"):
        CBORDecoder(Broken()).decode()
    with pytest.raises(CBORDecodeEOF) as info:
        CBORDecoder(io.BytesIO(b"")).decode()
    assert str(info.value) == EOF_MSG.format(1, 0)
    # a long string is read in pieces: the first piece finds 10 of its 65536 bytes
    with pytest.raises(CBORDecodeEOF) as info:
        CBORDecoder(io.BytesIO(h("5a 000186a0") + b"0123456789")).decode()
    assert str(info.value) == EOF_MSG.format(65526, 0)


def test_read_returning_more_than_asked():
    # the surplus is kept for the next item and given back afterwards, seekable or not
    class Generous(RecordingReader):
        def read(self, n):
            self.requests.append(n)
            return self.stream.read(n + 2)

    fp = Generous(h("01 02 03"), seekable=False)
    dec = CBORDecoder(fp)
    assert dec.decode() == 1
    assert fp.requests == [1] and fp.seeks == [(-2, 1)]
    assert dec.decode() == 2
    assert fp.requests == [1, 1] and fp.seeks == [(-2, 1), (-1, 1)]


class UnsupportedSeek(ReadReturns):
    def seek(self, offset, whence=0):
        raise io.UnsupportedOperation("seek")


@pytest.mark.parametrize("stream", [ReadReturns, UnsupportedSeek])
def test_read_ahead_kept_when_stream_cannot_seek(stream):
    # No seek(), or one that raises UnsupportedOperation: the decoder keeps the surplus
    # for its next reads instead of losing the value (read() would fail if called again).
    dec = CBORDecoder(stream(h("01 02 03 44 61626364 05")))
    assert [dec.decode(), dec.decode(), dec.decode()] == [1, 2, 3]
    assert dec.read(2) == b"\x44\x61"
    assert dec.fp.requests == [1]
    assert load(stream(h("82 01 02 ff"))) == [1, 2]


def test_give_back_failure_propagates():
    class BrokenSeek(RecordingReader):
        def seek(self, offset, whence=0):
            raise OSError("seek failed")

    dec = CBORDecoder(BrokenSeek(h("01 02")))
    with pytest.raises(OSError, match="seek failed"):
        dec.decode()
    # the buffer stays where it was: the next decode continues after the first item
    dec.fp.seek = lambda *a: 0
    assert dec.decode() == 2


def test_short_reads_are_read_on_until_the_missing_bytes_arrive():
    # An unbuffered pipe returns what has arrived so far; the rest comes later.
    payload = h("58 64") + bytes(range(100))
    read_fd, write_fd = os.pipe()

    def feed():
        os.write(write_fd, payload[:5])
        time.sleep(0.05)
        os.write(write_fd, payload[5:])
        os.close(write_fd)

    feeder = threading.Thread(target=feed)
    feeder.start()
    with open(read_fd, "rb", buffering=0) as fp:
        assert load(fp) == bytes(range(100))
    feeder.join()
    # at the end of the input the error reports every byte that did arrive
    fp = RecordingReader(payload[:52], seekable=False, max_chunk=7)
    with pytest.raises(CBORDecodeEOF) as info:
        CBORDecoder(fp).decode()
    assert str(info.value) == EOF_MSG.format(100, 50)
    assert fp.requests == [1, 1, 100, 93, 86, 79, 72, 65, 58, 51, 50]


def test_new_fp_discards_buffered_bytes():
    dec = CBORDecoder(io.BytesIO(h("01 02 03")))
    assert dec.read(1) == b"\x01"
    dec.fp = io.BytesIO(h("09"))
    assert dec.decode() == 9


def test_failed_decode_keeps_position():
    dec = CBORDecoder(io.BytesIO(h("1c 05")))
    with pytest.raises(CBORDecodeError):
        dec.decode()
    assert dec.decode() == 5


# ---- load and loads

def test_load():
    fp = io.BytesIO(h("82 01 02 03"))
    assert load(fp) == [1, 2]
    assert fp.tell() == 3
    assert load(fp, read_size=0) == 3
    assert load(io.BytesIO(h("81 01")), immutable=True) == (1,)
    with pytest.raises(TypeError, match="^object_hook must be callable or None$"):
        load(io.BytesIO(b"\x01"), object_hook=1)
    with pytest.raises(ValueError, match="^fp must be a readable file-like object$"):
        load(Readable(False))


def test_loads_inputs():
    assert loads(b"\x01\x02") == 1
    assert loads(bytearray(b"\x01")) == 1
    assert loads(memoryview(b"\x01")) == 1
    assert loads(memoryview(b"\x00\x01")[1:]) == 1
    assert loads(memoryview(b"a\x01b")[1:2]) == 1
    assert loads(memoryview(b"\x00\x01\x00\x02")[1::2]) == 1
    assert loads(array.array("B", [1])) == 1
    assert loads(memoryview(b"\x01").cast("c")) == 1
    assert loads(data=b"\x01") == 1
    assert loads(LyingBytes(b"\x01")) == 1


@pytest.mark.parametrize("data, name", [
    ("abc", "str"),
    (array.array("i", [1]), "array"),
    (array.array("b", [1]), "array"),
    (memoryview(b"\x01\x00").cast("H"), "memoryview"),
    (1, "int"),
    (None, "NoneType"),
])
def test_loads_refuses_non_byte_buffers(data, name):
    with pytest.raises(TypeError) as info:
        loads(data)
    assert str(info.value) == f"a bytes-like object is required, not '{name}'"
    assert info.value.__cause__ is None


def test_loads_lying_len_is_not_trusted():
    with pytest.raises(CBORDecodeEOF) as info:
        loads(LyingBytes(b"\x19\x01"))
    assert str(info.value) == EOF_MSG.format(1, 0)


def test_loads_errors():
    with pytest.raises(CBORDecodeEOF) as info:
        loads(b"")
    assert str(info.value) == EOF_MSG.format(1, 0)
    with pytest.raises(TypeError, match=r"^loads\(\) got an unexpected keyword argument 'read_size'$"):
        loads(b"\x00", read_size=10)
    with pytest.raises(OverflowError) as info:
        loads(b"\x00", max_depth=-1)
    assert info.value.__notes__ == ["while processing 'max_depth'"]
    with pytest.raises(TypeError, match=r"^loads\(\) missing 1 required positional argument: 'data'$"):
        loads()
    with pytest.raises(TypeError, match=r"^load\(\) takes 1 positional arguments but 2 were given$"):
        load(io.BytesIO(), 1)


def test_loads_option_conversion_precedes_data_check():
    with pytest.raises(TypeError) as info:
        loads("abc", immutable=1)
    assert info.value.__notes__ == ["while processing 'immutable'"]
