"""Byte and text strings: definite and indefinite lengths, long strings, str_errors."""

import tracemalloc

import pytest

from _kelvo import CBORDecodeEOF, CBORDecodeError, loads

from decoder_support import decode_error, h


@pytest.mark.parametrize("data, expected", [
    ("40", b""), ("60", ""), ("5f ff", b""), ("7f ff", ""),
    ("43 010203", b"\x01\x02\x03"), ("63 616263", "abc"), ("62 c3a9", "\u00e9"),
    ("64 f0908591", "\U00010151"),
    ("5f 42 0102 41 03 ff", b"\x01\x02\x03"), ("5f 40 40 ff", b""),
    ("7f 62 6162 61 63 ff", "abc"), ("7f 60 62 c3a9 ff", "\u00e9"),
    ("58 00", b""), ("79 0003 616263", "abc"), ("5b 0000000000000001 ff", b"\xff"),
])
def test_strings(data, expected):
    value = loads(h(data))
    assert value == expected and type(value) is type(expected)


@pytest.mark.parametrize("size", [65535, 65536, 65537, 3 * 65536 + 5])
def test_long_definite_strings(size):
    payload = bytes(i % 251 for i in range(size))
    assert loads(b"\x5a" + size.to_bytes(4, "big") + payload) == payload
    text = ("a\u00e9" * size)[:size]
    encoded = text.encode()
    assert loads(b"\x7a" + len(encoded).to_bytes(4, "big") + encoded) == text


@pytest.mark.parametrize("data, label, message", [
    ("5f 61 61 ff", "byte string", "non-byte string (major type 3) found in indefinite length byte string"),
    ("5f 01 ff", "byte string", "non-byte string (major type 0) found in indefinite length byte string"),
    ("5f f6 ff", "byte string", "non-byte string (major type 7) found in indefinite length byte string"),
    ("7f 41 61 ff", "text string", "non-text string (major type 2) found in indefinite length text string"),
    ("5f 5f ff ff", "byte string", "indefinite length not allowed here"),
    ("7f 7f ff ff", "text string", "indefinite length not allowed here"),
    ("5f 5c", "byte string", "unknown unsigned integer subtype 0x1c"),
    ("5f 5b ffffffffffffffff", "byte string",
     "chunk too long in an indefinite bytestring chunk: 18446744073709551615"),
    ("7f 7b 8000000000000000", "text string",
     "chunk too long in an indefinite text string chunk: 9223372036854775808"),
])
def test_indefinite_string_errors(data, label, message):
    assert str(decode_error(data)) == f"error decoding {label}: {message}"


def test_chunk_at_maxsize_is_read_not_refused():
    with pytest.raises(CBORDecodeEOF):
        loads(h("5f 5b 7fffffffffffffff 00"))


@pytest.mark.parametrize("errors, expected", [
    ("replace", "\ufffd"), ("ignore", ""), ("surrogateescape", "\udcff"), ("backslashreplace", "\\xff"),
])
def test_str_errors(errors, expected):
    assert loads(h("61 ff"), str_errors=errors) == expected
    assert loads(h("7f 61 ff ff"), str_errors=errors) == expected


def test_invalid_utf8_strict():
    for data in ("61 ff", "7f 61 ff ff", "7f 61 c3 61 a9 ff"):
        with pytest.raises(CBORDecodeError) as info:
            loads(h(data))
        assert str(info.value) == "error decoding text string"
        assert type(info.value.__cause__) is UnicodeDecodeError
    # a sequence split across two chunks is invalid in each of them
    assert loads(h("7f 61 c3 61 a9 ff"), str_errors="replace") == "\ufffd\ufffd"
    assert loads(h("62 c3a9")) == "\u00e9"


def test_huge_declared_lengths_cost_no_memory():
    tracemalloc.start()
    try:
        for data in ("5b ffffffffffffffff 00", "7b ffffffffffffffff 00", "5f 5b 0000010000000000 00 ff",
                     "7f 7b 0000010000000000 00 ff", "5a ffffffff" + "00" * 10):
            tracemalloc.reset_peak()
            with pytest.raises(CBORDecodeEOF):
                loads(h(data))
            assert tracemalloc.get_traced_memory()[1] < 1 << 20
    finally:
        tracemalloc.stop()


def test_truncated_long_string_reads_what_is_there():
    with pytest.raises(CBORDecodeEOF) as info:
        loads(h("5a 000186a0") + b"0123456789")
    assert str(info.value) == "premature end of stream (expected to read at least 65526 bytes, got 0 instead)"
    with pytest.raises(CBORDecodeEOF) as info:
        loads(h("45 0102"))
    assert str(info.value) == "premature end of stream (expected to read at least 3 bytes, got 0 instead)"
