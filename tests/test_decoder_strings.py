"""Byte and text strings: definite and indefinite lengths, long strings, str_errors."""

import sys
import tracemalloc

import pytest

from _kelvo import CBORDecodeEOF, CBORDecodeError, loads

from decoder_support import decode_error, h
from value_helpers import head


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


# Well-formed and malformed UTF-8 of every width, with the odd sequences placed before, at and
# after an eight-byte boundary (text is read a word at a time) and in text short and long
# enough to take either decoding path, each compared with the interpreter's own decoder under
# every error handler: the same str, of the same width.
UTF8_SEQUENCES = {
    "two-byte": b"\xc3\xa9", "latin1-top": b"\xc3\xbf", "two-byte-min": b"\xc2\x80", "bmp": b"\xe4\xb8\xad",
    "bmp-min": b"\xe0\xa0\x80", "bmp-top": b"\xef\xbf\xbf", "below-surrogates": b"\xed\x9f\xbf",
    "astral": b"\xf0\x9f\x98\x80", "astral-min": b"\xf0\x90\x80\x80", "max": b"\xf4\x8f\xbf\xbf",
    "overlong-2": b"\xc1\xbf", "overlong-3": b"\xe0\x9f\xbf", "overlong-4": b"\xf0\x8f\xbf\xbf",
    "surrogate": b"\xed\xa0\x80", "above-max": b"\xf4\x90\x80\x80", "f5": b"\xf5\x80\x80\x80",
    "stray-continuation": b"\x80", "ff": b"\xff", "cut-2": b"\xc3", "cut-3": b"\xe4\xb8", "cut-4": b"\xf0\x9f\x98",
    "bad-second": b"\xc3\x28", "bad-third": b"\xe4\xb8\x28", "bad-fourth": b"\xf0\x9f\x98\x28",
}


@pytest.mark.parametrize("ascii_before", [0, 1, 6, 7, 8, 9, 15, 17, 59, 70, 249, 252, 253, 300])
@pytest.mark.parametrize("name", UTF8_SEQUENCES)
def test_utf8_against_the_interpreter(name, ascii_before):
    raw = b"x" * ascii_before + UTF8_SEQUENCES[name] + b"yz"[: ascii_before % 3]
    encoded = head(3, len(raw))
    for errors in ("strict", "replace", "ignore", "surrogateescape", "backslashreplace"):
        try:
            expected = raw.decode("utf-8", errors)
        except UnicodeDecodeError:
            with pytest.raises(CBORDecodeError) as info:
                loads(encoded + raw, str_errors=errors)
            assert str(info.value) == "error decoding text string"
            assert type(info.value.__cause__) is UnicodeDecodeError
            continue
        for data in (encoded + raw, b"\x81" + encoded + raw):
            value = loads(data, str_errors=errors)
            value = value[0] if isinstance(value, list) else value
            assert value == expected and type(value) is str
            assert sys.getsizeof(value) == sys.getsizeof(expected)  # the same width


@pytest.mark.parametrize("text", [
    "ab", "a" * 40, "\u00e9\u00e8", "\u4e2d\u6587x", "\U0001f600!", "\u00e9", "\u4e2d", "\U0001f600",
    "a" * 100 + "\u00e9" * 60, "\u00e9x" * 60 + "\u4e2d" + "\U0001f600", "\u4e2d" * 80,
])
def test_decoded_text_behaves_as_str(text):
    value = loads(b"\x78" + bytes([len(text.encode())]) + text.encode())
    assert value == text and hash(value) == hash(text) and {text: 1}[value] == 1
    assert value.encode() == text.encode() and value.isascii() == text.isascii()
    assert sys.getsizeof(value) == sys.getsizeof(text.encode().decode())
    if len(text) == 1 and ord(text) < 256:
        assert value is chr(ord(text))  # the interpreter's shared one-character string
