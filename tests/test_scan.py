"""The item scanner: kelvo.scan over a buffer, Scanner fed in pieces, scan_file over a stream,
each held to what the decoder (iterload) makes of the same bytes."""

import io
import json
import mmap
import pathlib
import random

import pytest

import kelvo
from kelvo import CBORDecodeEOF, CBORDecodeError, CBORDecoder, CBORSequenceEOF, CBORSequenceError
from kelvo._scan import Scanner

VECTORS = json.loads((pathlib.Path(__file__).parent / "data" / "appendix_a.json").read_text())
APPENDIX = [bytes.fromhex(v["hex"]) for v in VECTORS]


def decoder_boundaries(data, **options):
    """Where the decoder ends each item, and the error that stops it (None at a clean end)."""
    fp = io.BytesIO(data)
    decoder = CBORDecoder(fp, **options)
    ends = []
    while fp.tell() < len(data):
        try:
            decoder.decode()
        except CBORDecodeError as exc:
            return ends, exc
        ends.append(fp.tell())
    return ends, None


def scanned(data, **options):
    """The scanner's item starts and its fault, in the same form."""
    try:
        return list(kelvo.scan(data, **options)), None
    except CBORSequenceError as exc:
        return None, exc


@pytest.mark.parametrize("item", APPENDIX, ids=[v["hex"] for v in VECTORS])
def test_appendix_a_items_alone(item):
    ends, error = decoder_boundaries(item)
    starts, fault = scanned(item, check_utf8=True)
    if error is None:
        assert (ends, starts, fault) == ([len(item)], [0], None)
    else:  # f8 18: a two-byte simple value below 32
        assert item == b"\xf8\x18"
        assert (fault.index, fault.offset, fault.reason) == (
            0, 0, "simple value 24 written in two bytes (the two-byte form starts at 32)")


def test_appendix_a_as_one_sequence():
    items = [item for item in APPENDIX if item != b"\xf8\x18"]
    data = b"".join(items)
    starts = list(kelvo.scan(data, check_utf8=True))
    ends, error = decoder_boundaries(data)
    assert error is None and starts == [0] + ends[:-1] and len(starts) == len(items)
    # the refused item, put in the middle, stops the scan where it stands
    cut = len(b"".join(items[:40]))
    with pytest.raises(CBORSequenceError) as info:
        kelvo.scan(data[:cut] + b"\xf8\x18" + data[cut:])
    assert (info.value.index, info.value.offset) == (40, cut)


MALFORMED = [
    # sequence, index of the bad item, fault offset, reason, truncated
    ("01821c", 1, 2, "reserved additional information 28 in initial byte 0x1c", False),
    ("00fd", 1, 1, "reserved additional information 29 in initial byte 0xfd", False),
    ("0181ff", 1, 2, "break code where no indefinite-length item is open", False),
    ("ff", 0, 0, "break code where no indefinite-length item is open", False),
    ("bf01ff", 0, 2, "break code after a map key, where its value was expected", False),
    ("5f6161ff", 0, 1, "a text string inside an indefinite-length byte string, where only definite-length "
                       "chunks of the same type may stand", False),
    ("5f5fffff", 0, 1, "an indefinite-length byte string inside an indefinite-length byte string, where "
                       "only definite-length chunks of the same type may stand", False),
    ("7f01ff", 0, 1, "an unsigned integer inside an indefinite-length text string, where only "
                     "definite-length chunks of the same type may stand", False),
    ("3f", 0, 0, "indefinite length is not allowed for a negative integer", False),
    ("00df00", 1, 1, "indefinite length is not allowed for a tag", False),
    ("f818", 0, 0, "simple value 24 written in two bytes (the two-byte form starts at 32)", False),
    ("0082", 1, 2, "input ends inside an item", True),
    ("00195a", 1, 3, "input ends inside the item at offset 1", True),
    ("815affffffff00", 0, 7, "input ends inside the item at offset 1", True),
    ("9f0102", 0, 3, "input ends inside an item", True),
    ("bf6161", 0, 3, "input ends inside an item", True),
    ("c1", 0, 1, "input ends inside an item", True),
]


@pytest.mark.parametrize("case", MALFORMED, ids=[case[0] for case in MALFORMED])
def test_malformed_sequences(case):
    hex_text, index, offset, reason, truncated = case
    data = bytes.fromhex(hex_text)
    with pytest.raises(CBORSequenceEOF if truncated else CBORSequenceError) as info:
        kelvo.scan(data)
    fault = info.value
    assert (fault.index, fault.offset, fault.reason) == (index, offset, reason)
    assert str(fault) == f"offset {offset}: {reason}"
    assert isinstance(fault, CBORDecodeEOF) == truncated
    # the decoder stops at the same item, with an error of the same kind
    ends, error = decoder_boundaries(data)
    assert len(ends) == index and isinstance(error, CBORDecodeEOF) == truncated
    # and so does the scanner fed one byte at a time, after handing out the items before
    scanner = Scanner()
    found = []
    for i in range(len(data)):
        if scanner.fault is not None:
            break
        found += scanner.feed(data[i:i + 1])
    with pytest.raises(type(fault)) as again:
        scanner.finish()
    assert found == ends and str(again.value) == str(fault)


UTF8 = [
    # text string content, what the decoder says (None: valid), byte of the fault in the content
    (b"", None), ("ü水🎈".encode(), None), (b"a" * 40 + "é".encode(), None),
    (b"\xff", 0), (b"ab\xc3\x28", 2), (b"\xed\xa0\x80", 0), (b"\xe0\x80\x80", 0),
    (b"\xf4\x90\x80\x80", 0), (b"\xc0\xaf", 0), (b"a" * 20 + b"\xe6\xb0", 20), (b"abc\xf0\x9f\x8e", 3),
]


@pytest.mark.parametrize("case", UTF8, ids=[case[0].hex() or "empty" for case in UTF8])
def test_utf8_check_agrees_with_the_decoder(case):
    content, bad_at = case
    data = b"\x01" + bytes([0x78, len(content)]) + content
    ends, error = decoder_boundaries(data)
    assert (error is None) == (bad_at is None)
    assert list(kelvo.scan(data)) == [0, 1]  # without the check, any bytes pass
    starts, fault = scanned(data, check_utf8=True)
    if bad_at is None:
        assert starts == [0, 1]
    else:
        assert (fault.index, fault.offset) == (1, 1)
        assert fault.reason == f"text string is not valid UTF-8 (at byte {bad_at} of its content)"
    # the check carries across pieces of any size, and over indefinite-length chunks
    for size in (1, 3, 7):
        scanner = Scanner(check_utf8=True)
        for i in range(0, len(data), size):
            if scanner.fault is None:
                scanner.feed(data[i:i + size])
        assert (scanner.fault is None) == (bad_at is None)
    split = b"\x7f\x61\xc3\x61\xa9\xff"  # one character cut in two chunks
    assert scanned(split, check_utf8=True)[1].offset == 1
    with pytest.raises(CBORDecodeError):
        kelvo.loads(split)


@pytest.mark.parametrize("max_depth", [0, 1, 2, 3])
@pytest.mark.parametrize("hex_text", ["80", "8101", "818101", "81818101", "d91b58d91b5801", "9f9fffff", "a1018180"])
def test_max_depth_is_the_decoders(hex_text, max_depth):
    data = bytes.fromhex(hex_text)
    _, error = decoder_boundaries(data, max_depth=max_depth)
    _, fault = scanned(data, max_depth=max_depth)
    assert (fault is None) == (error is None)
    if fault is not None:
        assert fault.reason == f"maximum container nesting depth ({max_depth}) exceeded"


def test_deep_nesting_uses_no_c_stack():
    depth = 1_000_000
    data = b"\x81" * depth + b"\x00"
    assert list(kelvo.scan(data, max_depth=depth)) == [0]
    assert list(kelvo.scan(b"\x9f" * depth + b"\xff" * depth, max_depth=depth)) == [0]
    with pytest.raises(CBORSequenceError, match="nesting depth"):
        kelvo.scan(data)


def random_value(rng, depth=0):
    kind = rng.randrange(9 if depth < 4 else 5)
    if kind == 0:
        return rng.choice([0, 23, 24, 255, 65536, 2**32, 2**64 - 1, -1, -(2**64)])
    if kind == 1:
        return rng.choice(["", "é", "x" * rng.randrange(40), "水" * 30])
    if kind == 2:
        return bytes(rng.randrange(256) for _ in range(rng.randrange(30)))
    if kind == 3:
        return rng.choice([1.5, -0.0, 1e300, float("inf"), None, True, False])
    if kind == 4:
        return kelvo.CBORSimpleValue(rng.choice([0, 19, 32, 255]))
    if kind in (5, 6):
        return [random_value(rng, depth + 1) for _ in range(rng.randrange(5))]
    if kind == 7:
        return {str(i): random_value(rng, depth + 1) for i in range(rng.randrange(4))}
    return kelvo.CBORTag(rng.choice([7000, 2**40]), random_value(rng, depth + 1))


def test_random_mutations_agree_with_the_decoder():
    rng = random.Random(0x5CA7)
    for _ in range(400):
        data = bytearray(kelvo.dumps_seq([random_value(rng) for _ in range(rng.randrange(1, 6))]))
        for _ in range(rng.randrange(4)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        if rng.random() < 0.3:
            del data[rng.randrange(len(data)):]
        data = bytes(data)
        ends, error = decoder_boundaries(data)
        starts, fault = scanned(data, check_utf8=True)
        if fault is None:
            # the scanner passes only what is well-formed: the decoder may refuse more (tag
            # contents), never less
            assert error is None or not isinstance(error, CBORDecodeEOF)
            if error is None:
                assert starts == [0, *ends][:len(ends)]
        else:
            # the decoder stops at or before the item the scanner refuses, and agrees on the items before
            assert error is not None and len(ends) <= fault.index
            assert ends == [*starts_before(data, fault.index)][:len(ends)]


def starts_before(data, count):
    scanner = Scanner(check_utf8=True)
    return list(scanner.feed(data))[:count]


@pytest.mark.parametrize("kind", ["bytearray", "memoryview", "mmap"])
def test_bytes_like_inputs(kind, tmp_path):
    data = kelvo.dumps_seq([1, [2], "three"])
    if kind == "mmap":
        path = tmp_path / "seq.cbor"
        path.write_bytes(data)
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as view:
            assert list(kelvo.scan(view)) == [0, 1, 3]
        return
    source = bytearray(data) if kind == "bytearray" else memoryview(b"xx" + data)[2:]
    assert list(kelvo.scan(source)) == [0, 1, 3]


@pytest.mark.parametrize("bad", ["text", memoryview(b"abcd")[::2], [1, 2]], ids=["str", "strided", "list"])
def test_inputs_that_are_not_bytes(bad):
    with pytest.raises(TypeError, match="bytes-like object is required"):
        kelvo.scan(bad)


def test_scan_file_reads_in_blocks_with_bounded_memory():
    items = [{"i": i, "s": "x" * (i % 50)} for i in range(3000)] + [b"\x00" * 100_000]
    data = kelvo.dumps_seq(items)
    expected = list(kelvo.scan(data))

    class Reader:  # only read(): the minimum scan_file needs
        def __init__(self):
            self.fp = io.BytesIO(data)
            self.largest = 0

        def read(self, n):
            self.largest = max(self.largest, n)
            return self.fp.read(n)

    reader = Reader()
    assert list(kelvo.scan_file(reader, block_size=1000)) == expected
    assert reader.largest == 1000  # the 100 kB item is skipped a block at a time
    assert list(kelvo.scan_file(data)) == expected
    offsets = kelvo.scan_file(io.BytesIO(data[:-5]), block_size=4096)
    with pytest.raises(CBORSequenceEOF):
        for _ in offsets:
            pass
    with pytest.raises(TypeError, match="mode 'rb'"):
        list(kelvo.scan_file(io.StringIO("x")))


def test_scanner_state_and_fault_are_kept():
    scanner = Scanner()
    assert list(scanner.feed(b"\x82\x01")) == [] and scanner.in_item and scanner.item_start == 0
    assert list(scanner.feed(b"\x02\x01\xff\x00")) == [3, 4]
    assert scanner.count == 2
    assert isinstance(scanner.fault, CBORSequenceError) and (scanner.fault.index, scanner.fault.offset) == (2, 4)
    with pytest.raises(CBORSequenceError) as info:
        scanner.feed(b"\x00")
    assert info.value is scanner.fault
    with pytest.raises(CBORSequenceError):
        scanner.finish()


def reader_verdict(data):
    """What the command-line tool's token reader says of a sequence: item starts, or the fault."""
    from kelvo._wellformed import MalformedError, Reader

    reader = Reader(io.BytesIO(data), block_size=3)
    starts = []
    try:
        while not reader.at_end():
            starts.append(reader.offset)
            for _ in reader.tokens():  # the whole item, checked
                pass
    except MalformedError as exc:
        return None, (exc.offset, exc.reason)
    return starts, None


def test_random_bytes_agree_with_the_token_reader():
    # the same faults at the same offsets, in the same words, as the pure-Python reader
    rng = random.Random(0xB17E5)
    alphabet = [0x00, 0x18, 0x19, 0x1c, 0x3f, 0x41, 0x5f, 0x62, 0x7f, 0x81, 0x82, 0x9f, 0xa1, 0xbf,
                0xc1, 0xdf, 0xf8, 0xf9, 0xff, 0xc3, 0x28, 0xe2, 0x82, 0xac]
    for _ in range(3000):
        data = bytes(rng.choice(alphabet) if rng.random() < 0.8 else rng.randrange(256)
                     for _ in range(rng.randrange(1, 12)))
        starts, fault = reader_verdict(data)
        got, error = scanned(data, check_utf8=True, max_depth=100_000)
        if fault is None:
            assert (got, error) == (starts, None), data.hex()
        else:
            assert got is None and (error.offset, error.reason) == fault, data.hex()


@pytest.mark.parametrize("hex_data", ["d81c81d81d00", "d81c9fd81d00ff", "d81ca101d81d00", "d81c80", "d81c01"])
def test_a_shared_container_nests_as_the_decoder_counts_it(hex_data):
    # tag 28 around an array or map is registered in the container's stead: no level of its own
    data = bytes.fromhex(hex_data)
    for depth in range(1, 4):
        try:
            kelvo.loads(data, max_depth=depth)
            decoded = True
        except kelvo.CBORDecodeError:
            decoded = False
        try:
            scanned_ok = list(kelvo.scan(data, max_depth=depth)) == [0]
        except kelvo.CBORDecodeError:
            scanned_ok = False
        assert scanned_ok == decoded, depth
