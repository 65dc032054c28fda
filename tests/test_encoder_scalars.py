"""Headers and scalars: integers, strings, floats, simple values, tags and their methods."""

import enum
import io
import json
import math
import pathlib

import pytest

from _kelvo import CBOREncoder, CBORSimpleValue, CBORTag, dumps, undefined

APPENDIX_A = json.loads((pathlib.Path(__file__).parent / "data" / "appendix_a.json").read_text())


def encoded(method, *args, **options):
    fp = io.BytesIO()
    getattr(CBOREncoder(fp, **options), method)(*args)
    return fp.getvalue().hex()


# Appendix A items given in diagnostic notation that have a unique encoding here.
SPECIAL = {
    "Infinity": lambda: math.inf, "-Infinity": lambda: -math.inf, "NaN": lambda: math.nan,
    "undefined": lambda: undefined, "simple(16)": lambda: CBORSimpleValue(16),
    "simple(255)": lambda: CBORSimpleValue(255), "h''": lambda: b"", "h'01020304'": lambda: b"\x01\x02\x03\x04",
    "{1: 2, 3: 4}": lambda: {1: 2, 3: 4}, "23(h'01020304')": lambda: CBORTag(23, b"\x01\x02\x03\x04"),
    "24(h'6449455446')": lambda: CBORTag(24, b"dIETF"),
    '32("http://www.example.com")': lambda: CBORTag(32, "http://www.example.com"),
}


# The rest: simple(24), which no value writes, and the dates of tags 0 and 1 (test_tags_datetimes).
SCALAR_VECTORS = [e for e in APPENDIX_A if e["roundtrip"] and ("decoded" in e or e["diagnostic"] in SPECIAL)]


@pytest.mark.parametrize("entry", SCALAR_VECTORS, ids=lambda e: e["hex"])
def test_rfc_appendix_a(entry):
    value = entry["decoded"] if "decoded" in entry else SPECIAL[entry["diagnostic"]]()
    # Floats in the appendix are written in their shortest form.
    assert dumps(value, canonical=True).hex() == entry["hex"]


@pytest.mark.parametrize("major, length, expected", [
    (0, 23, "17"), (0, 24, "1818"), (0, 255, "18ff"), (0, 256, "190100"), (0, 65535, "19ffff"),
    (0, 65536, "1a00010000"), (0, 4294967295, "1affffffff"), (0, 4294967296, "1b0000000100000000"),
    (0, 2**64 - 1, "1bffffffffffffffff"), (4, None, "9f"), (9, 1, "21"), (255, 0, "e0"),
])
def test_encode_length(major, length, expected):
    assert encoded("encode_length", major, length) == expected


@pytest.mark.parametrize("args, exc, note", [
    ((256, 0), OverflowError, "major_tag"), ((-1, 0), OverflowError, "major_tag"),
    (("0", 0), TypeError, "major_tag"), ((0, -1), OverflowError, "length"),
    ((0, 2**64), OverflowError, "length"), ((0, 1.0), TypeError, "length"),
])
def test_encode_length_argument_errors(args, exc, note):
    fp = io.BytesIO()
    with pytest.raises(exc) as info:
        CBOREncoder(fp).encode_length(*args)
    assert info.value.__notes__ == [f"while processing '{note}'"]
    assert fp.getvalue() == b""


class Number(enum.IntEnum):
    ONE = 1


class Big(int):
    pass


@pytest.mark.parametrize("value, expected", [
    (0, "00"), (-1, "20"), (23, "17"), (24, "1818"), (-24, "37"), (-25, "3818"), (2**31, "1a80000000"),
    (2**63, "1b8000000000000000"), (-(2**63) - 1, "3b8000000000000000"),
    (2**64 - 1, "1bffffffffffffffff"), (2**64, "c249010000000000000000"),
    (-(2**64), "3bffffffffffffffff"), (-(2**64) - 1, "c349010000000000000000"),
    (2**72 + 5, "c24a01000000000000000005"), (-(2**80), "c34a" + "ff" * 10),
    (Number.ONE, "01"), (Big(-5), "24"), (Big(2**64), "c249010000000000000000"), (True, "f5"),
    # Around the interpreter's digit boundaries (one digit below 2**30, three from 2**60).
    (2**30 - 1, "1a3fffffff"), (2**30, "1a40000000"), (-(2**30), "3a3fffffff"), (-(2**30) - 1, "3a40000000"),
    (2**60 - 1, "1b0fffffffffffffff"), (2**60, "1b1000000000000000"), (-(2**60) - 1, "3b1000000000000000"),
    (2**90, "c24c040000000000000000000000"),
])
def test_integers(value, expected):
    assert dumps(value).hex() == expected
    # The same value as an item of a list run and as a dict value.
    assert dumps([value, value]).hex() == "82" + expected * 2
    assert dumps({"k": value}).hex() == "a1616b" + expected


def test_encode_int_uses_the_subclass_comparisons():
    calls = []

    class Loud(int):
        def __ge__(self, other):
            calls.append(("ge", other))
            return int(self) >= other

        def __lt__(self, other):
            calls.append(("lt", other))
            return int(self) < other

    assert encoded("encode_int", Loud(7)) == "07"
    assert calls == [("ge", 2**64), ("lt", -(2**64)), ("ge", 0)]


def test_big_int_payload_goes_through_the_dispatch():
    seen = []
    enc_out = dumps(2**64, encoders={bytes: lambda e, v: (seen.append(v), e.encode_string("x"))})
    assert seen == [b"\x01" + b"\x00" * 8]
    assert enc_out.hex() == "c26178"


@pytest.mark.parametrize("value, expected", [
    (b"", "40"), (b"ab", "426162"), (bytearray(b"ab"), "426162"), ("", "60"), ("ü", "62c3bc"),
    ("a" * 24, "7818" + "61" * 24), (b"x" * 256, "590100" + "78" * 256),
    ("a" * 23, "77" + "61" * 23), ("b" * 33, "7821" + "62" * 33), ("c" * 255, "78ff" + "63" * 255),
    ("d" * 256, "790100" + "64" * 256), ("é" * 20, "7828" + "c3a9" * 20),
])
def test_strings(value, expected):
    assert dumps(value).hex() == expected
    # As items of a list run and as a dict value, after other text.
    assert dumps(["x", value, value]).hex() == "836178" + expected * 2
    assert dumps({"k": value}).hex() == "a1616b" + expected


def test_lone_surrogate_fails_before_writing():
    fp = io.BytesIO()
    with pytest.raises(UnicodeEncodeError):
        CBOREncoder(fp).encode_string("a\ud800")
    assert fp.getvalue() == b""


@pytest.mark.parametrize("value, plain, canonical", [
    (1.0, "fb3ff0000000000000", "f93c00"), (100000.0, "fb40f86a0000000000", "fa47c35000"),
    (1.1, "fb3ff199999999999a", "fb3ff199999999999a"), (5.960464477539063e-08, None, "f90001"),
    (-0.0, "fb8000000000000000", "f98000"), (65504.0, None, "f97bff"), (65505.0, None, "fa477fe100"),
    (3.4028234663852886e+38, None, "fa7f7fffff"), (1e300, None, "fb7e37e43c8800759c"),
    (2.0**-149, None, "fa00000001"), (math.nan, "f97e00", "f97e00"), (-math.nan, "f97e00", "f97e00"),
    (math.inf, "f97c00", "f97c00"), (-math.inf, "f9fc00", "f9fc00"),
])
def test_floats(value, plain, canonical):
    if plain is not None:
        assert dumps(value).hex() == plain
        assert dumps([value, value]).hex() == "82" + plain * 2
    assert dumps(value, canonical=True).hex() == canonical
    assert dumps([value, value], canonical=True).hex() == "82" + canonical * 2


def test_float_subclass_is_read_without_calling_python():
    class Shouty(float):
        def __float__(self):
            raise AssertionError("must not be called")

    assert dumps(Shouty(1.5), canonical=True).hex() == "f93e00"


@pytest.mark.parametrize("method, args, expected", [
    ("encode_bool", (True,), "f5"), ("encode_bool", (False,), "f4"), ("encode_none", (), "f6"),
    ("encode_undefined", (), "f7"), ("encode_break", (), "ff"),
    ("encode_simple_value", (CBORSimpleValue(23),), "f7"), ("encode_simple_value", (CBORSimpleValue(32),), "f820"),
    ("encode_semantic", (1, 0), "c100"), ("encode_semantic", (2**64 - 1, None), "dbfffffffffffffffff6"),
    ("encode_float", (1.5,), "fb3ff8000000000000"), ("encode_int", (True,), "01"),
    ("encode_bytearray", (bytearray(b"\x00"),), "4100"), ("encode_string", ("a",), "6161"),
])
def test_public_writers(method, args, expected):
    assert encoded(method, *args) == expected


@pytest.mark.parametrize("method, arg, expected_type", [
    ("encode_bool", 1, "bool"), ("encode_int", "1", "int"), ("encode_bytes", bytearray(), "bytes"),
    ("encode_bytearray", b"", "bytearray"), ("encode_string", b"", "str"), ("encode_float", 1, "float"),
    ("encode_simple_value", 5, "CBORSimpleValue"),
])
def test_public_writers_check_their_argument(method, arg, expected_type):
    fp = io.BytesIO()
    with pytest.raises(TypeError) as info:
        getattr(CBOREncoder(fp), method)(arg)
    assert str(info.value) == f"'{type(arg).__name__}' object is not an instance of '{expected_type}'"
    assert info.value.__notes__ == ["while processing 'obj'"]
    assert fp.getvalue() == b""


def test_encode_semantic_argument_errors():
    with pytest.raises(OverflowError) as info:
        CBOREncoder(io.BytesIO()).encode_semantic(-1, 0)
    assert info.value.__notes__ == ["while processing 'tag'"]
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'value'"):
        CBOREncoder(io.BytesIO()).encode_semantic(1)


def test_method_docstrings():
    assert CBOREncoder.encode_int.__text_signature__ == "($self, obj)"
    assert CBOREncoder.encode_length.__text_signature__ == "($self, major_tag, length)"
    assert CBOREncoder.encode_none.__text_signature__ == "($self)"
    assert CBOREncoder.encode_semantic.__doc__ == ("Encode a value with a semantic tag.\n\n"
                                                   ":param tag: a numeric tag value\n"
                                                   ":param value: the object to be encoded")


def test_idle_writers_flush_at_once(writer):
    e = CBOREncoder(writer)
    e.encode_semantic(1, 0)
    e.encode_int(2**64)
    # The tag header is emitted while idle; its content is an outermost encode() of its own.
    assert writer.calls == [b"\xc1", b"\x00", b"\xc2", b"\x49" + b"\x01" + b"\x00" * 8]


def test_long_byte_string_is_written_on_its_own(writer):
    CBOREncoder(writer).encode(b"x" * 5000)
    assert writer.calls == [b"\x59\x13\x88", b"x" * 5000, b""]


LEAVES = [0, -1, 23, 24, -(2**30), 2**31, 2**62, -(2**63), 2**64, True, False, None, 0.5, -0.0, math.inf, math.nan,
          "", "a" * 23, "b" * 24, "c" * 255, "d" * 256, "é", "x\u20ac", b"", b"raw", 10**20, Big(7)]


@pytest.mark.parametrize("options", [{}, {"canonical": True}, {"string_referencing": True}], ids=repr)
def test_leaf_runs_match_single_values(options):
    # The runs of leaves inside lists and dicts take shortcuts of their own; each item
    # must come out exactly as the same value written alone.
    # With string references the outermost container opens a namespace (tag 256); every
    # string here appears once, so each is written in full.
    namespace = b"\xd9\x01\x00" if options.get("string_referencing") else b""
    expected = b"".join(dumps(v, **options) for v in LEAVES)
    assert dumps(LEAVES, **options) == namespace + b"\x98" + bytes([len(LEAVES)]) + expected
    as_dict = {f"k{i:02}": v for i, v in enumerate(LEAVES)}
    pairs = b"".join(dumps(k) + dumps(v, **options) for k, v in sorted(as_dict.items()))
    assert dumps(as_dict, **options) == namespace + b"\xb8" + bytes([len(LEAVES)]) + pairs
    # Through a stream, which the shortcuts leave to the general writers.
    fp = io.BytesIO()
    CBOREncoder(fp, **options).encode(LEAVES)
    assert fp.getvalue() == dumps(LEAVES, **options)
