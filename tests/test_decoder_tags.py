"""Tag dispatch (semantic_decoders, built-in rows, CBORTag with tag_hook) and major type 7
(simple values, booleans, null, undefined, half, single and double floats)."""

import math
import struct

import pytest

from _kelvo import CBORSimpleValue, CBORTag, frozendict, loads, undefined

from decoder_support import decode_error, h


@pytest.mark.parametrize("data, expected", [
    ("f4", False), ("f5", True), ("f6", None), ("e0", CBORSimpleValue(0)), ("f3", CBORSimpleValue(19)),
    ("f8 20", CBORSimpleValue(32)), ("f8 ff", CBORSimpleValue(255)),
])
def test_simple_values(data, expected):
    value = loads(h(data))
    assert value == expected and type(value) is type(expected)


def test_undefined():
    assert loads(h("f7")) is undefined


@pytest.mark.parametrize("data, message", [
    ("f8 18", "invalid two-byte sequence for simple value"),
    ("f8 1f", "invalid two-byte sequence for simple value"),
    ("fc", "undefined reserved major type 7 subtype 0x1c"),
    ("fd", "undefined reserved major type 7 subtype 0x1d"),
    ("fe", "undefined reserved major type 7 subtype 0x1e"),
])
def test_special_value_errors(data, message):
    assert str(decode_error(data)) == f"error decoding special value: {message}"


def half(bits):
    return loads(b"\xf9" + bits.to_bytes(2, "big"))


def test_half_floats_exact_for_every_value():
    for bits in range(0x10000):
        expected = struct.unpack(">e", bits.to_bytes(2, "big"))[0]
        value = half(bits)
        assert type(value) is float
        if math.isnan(expected):
            assert math.isnan(value)
            assert math.copysign(1, value) == math.copysign(1, expected)
        else:
            assert value == expected and math.copysign(1, value) == math.copysign(1, expected), hex(bits)


def test_half_float_nan_payload():
    # quiet NaN, payload moved to the top of the binary32 mantissa, then widened
    for bits, expected in ((0x7e00, 0x7ff8000000000000), (0x7c01, 0x7ff8040000000000),
                           (0xfe01, 0xfff8040000000000), (0x7fff, 0x7ffffc0000000000)):
        assert struct.unpack(">Q", struct.pack(">d", half(bits)))[0] == expected


@pytest.mark.parametrize("data, expected", [
    ("f9 3c00", 1.0), ("f9 0001", 2.0**-24), ("f9 0400", 2.0**-14), ("f9 7bff", 65504.0), ("f9 8000", -0.0),
    ("f9 7c00", math.inf), ("f9 fc00", -math.inf), ("fa 47c35000", 100000.0), ("fa 7f7fffff", 3.4028234663852886e38),
    ("fa 00000001", 2.0**-149), ("fb 3ff199999999999a", 1.1), ("fb 7ff0000000000000", math.inf),
])
def test_floats(data, expected):
    value = loads(h(data))
    assert type(value) is float and value == expected
    assert math.copysign(1, value) == math.copysign(1, expected)


def test_nan_floats():
    for data in ("f9 7e00", "fa 7fc00000", "fb 7ff8000000000000"):
        assert math.isnan(loads(h(data)))


def test_other_tags_become_cbortags():
    assert loads(h("d9 03e8 01")) == CBORTag(1000, 1)
    assert loads(h("db ffffffffffffffff f6")) == CBORTag(2**64 - 1, None)
    value = loads(h("c6 82 01 02"))
    assert type(value) is CBORTag and value.value == (1, 2)
    assert loads(h("d8 18 a1 01 80")).value == frozendict({1: ()})
    for tag in (6, 24, 26, 27, 31, 34, 257, 259, 262, 1003):
        assert loads(bytes([0xd9]) + tag.to_bytes(2, "big") + b"\x00") == CBORTag(tag, 0)


def test_tag_hook():
    calls = []

    def hook(tag, immutable):
        calls.append((tag.tag, tag.value, immutable))
        return tag.value

    assert loads(h("d9 03e8 01"), tag_hook=hook) == 1
    assert calls == [(1000, 1, False)]
    calls.clear()
    # the flag is the one in effect where the tag stands
    assert loads(h("a1 c6 01 c7 02"), tag_hook=hook) == {1: 2}
    assert calls == [(6, 1, True), (7, 2, False)]
    calls.clear()
    assert loads(h("c6 c7 01"), tag_hook=hook) == 1
    assert calls == [(7, 1, True), (6, 1, False)]


def test_self_described():
    assert loads(h("d9 d9f7 82 01 02")) == (1, 2)
    assert loads(h("d9 d9f7 01")) == 1
    assert loads(h("d9 d9f7 d9 d9f7 a0")) == frozendict()


def test_semantic_decoders():
    calls = []

    def f(payload, immutable):
        calls.append((payload, immutable))
        return "decoded"

    assert loads(h("c1 1a 00000000"), semantic_decoders={1: f}) == "decoded"
    assert calls == [(0, False)]
    # the payload follows the current flag: mutable here, immutable inside a key
    calls.clear()
    assert loads(h("a1 d9 03e8 81 01 d9 03e8 81 02"), semantic_decoders={1000: f}) == {"decoded": "decoded"}
    assert calls == [((1,), True), ([2], False)]
    # built-in rows can be overridden, and a mapping without the tag falls back to them
    assert loads(h("d9 d9f7 01"), semantic_decoders={55799: f}) == "decoded"
    assert loads(h("d9 d9f7 01"), semantic_decoders={1: f}) == 1


def test_semantic_decoders_lookup():
    class Table(dict):
        def __missing__(self, key):
            if key == 7:
                return lambda payload, immutable: ("missing", payload)
            raise KeyError(key)

    assert loads(h("c7 01"), semantic_decoders=Table()) == ("missing", 1)
    assert loads(h("c8 01"), semantic_decoders=Table()) == CBORTag(8, 1)

    class Failing(dict):
        def __getitem__(self, key):
            raise ValueError("broken table")

    err = decode_error("c1 00", semantic_decoders=Failing())
    assert str(err) == "error decoding semantic tag"
    assert type(err.__cause__) is ValueError

    class Lookup(dict):
        def __getitem__(self, key):
            raise IndexError(key)

    assert loads(h("d9 d9f7 01"), semantic_decoders=Lookup()) == 1


def test_semantic_decoder_errors():
    def f(payload, immutable):
        raise ValueError("no")

    err = decode_error("d9 03e8 01", semantic_decoders={1000: f})
    assert str(err) == "error decoding semantic tag 1000"
    assert type(err.__cause__) is ValueError

    class Attr:
        def __getattr__(self, name):
            raise RuntimeError("attribute lookup")

    err = decode_error("d9 03e8 01", semantic_decoders={1000: Attr()})
    assert str(err) == "error decoding semantic tag"
    assert type(err.__cause__) is RuntimeError


def test_codec_rows_decode_their_payload_immutable():
    # a built-in row's codec sees its array payload as a tuple
    seen = []
    value = loads(h("d8 1e 82 01 03"), tag_hook=lambda tag, imm: seen.append(tag))
    assert value.__class__.__name__ == "Fraction" and (value.numerator, value.denominator) == (1, 3)
    assert seen == []
