"""Numbers: bignums (tags 2 and 3), decimal fractions and bigfloats (tags 4 and 5), rationals
(tag 30) and complex numbers (tag 43000), both directions."""

import io
import json
import math
import pathlib
import sys
import time
from decimal import Decimal, InvalidOperation, localcontext, Overflow
from fractions import Fraction

import pytest

from _kelvo import CBORDecodeError, CBOREncodeError, CBOREncoder, CBORTag, dumps, loads

from build_kind import FREE_THREADED
from decoder_support import h
from fresh_interpreter import run_python


@pytest.fixture
def default_digit_limit():
    saved = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(4300)
    yield
    sys.set_int_max_str_digits(saved)


@pytest.mark.parametrize("value, options, expected", [
    (Decimal("273.15"), {}, "c48221196ab3"),
    (Decimal("1.5E+3"), {}, "c482020f"),
    (Decimal("0.00"), {}, "c4822100"),
    (Decimal("-0"), {}, "c4820000"),
    (Decimal("-0.00"), {}, "c4822100"),
    (Decimal("-1.5"), {}, "c482202e"),
    (Decimal("1E-1000000"), {}, "c4823a000f423f01"),
    (Decimal("12345678901234567890.5"), {}, "c48220c249" + (123456789012345678905).to_bytes(9, "big").hex()),
    (Decimal("NaN"), {}, "f97e00"),
    (Decimal("-sNaN123"), {}, "f97e00"),
    (Decimal("Infinity"), {}, "f97c00"),
    (Decimal("-Infinity"), {}, "f9fc00"),
    (Decimal("273.15"), {"value_sharing": True}, "c4d81c8221196ab3"),
    (Decimal("273.15"), {"indefinite_containers": True}, "c49f21196ab3ff"),
    (Fraction(1, 3), {}, "d81e820103"),
    (Fraction(1, 3), {"value_sharing": True}, "d81e820103"),
    (Fraction(-7, 2**64), {}, "d81e8226c249010000000000000000"),
    (complex(1.5, -2), {}, "d9a7f882fb3ff8000000000000fbc000000000000000"),
    (complex(1.5, -2), {"canonical": True}, "d9a7f882f93e00f9c000"),
    (complex(0, math.inf), {}, "d9a7f882fb0000000000000000f97c00"),
    (complex(1, 2), {"value_sharing": True}, "d9a7f8d81c82fb3ff0000000000000fb4000000000000000"),
    (2**64, {}, "c249010000000000000000"),
    (-(2**64) - 1, {}, "c349010000000000000000"),
], ids=lambda v: repr(v) if not isinstance(v, str) else v[:24])
def test_encode(value, options, expected):
    assert dumps(value, **options).hex() == expected


class Complex(complex):
    pass


def test_complex_subclass_and_method_argument():
    assert dumps(Complex(1, 2)) == dumps(complex(1, 2))
    with pytest.raises(TypeError) as info:
        dumps(object(), default=lambda enc, v: enc.encode_complex(1.5))
    assert str(info.value) == "'float' object is not an instance of 'complex'"
    assert info.value.__notes__ == ["while processing 'obj'"]


def test_methods_have_signatures():
    for name in ("encode_decimal", "encode_rational", "encode_complex"):
        assert getattr(CBOREncoder, name).__text_signature__ == "($self, obj)"


def test_huge_decimal_is_written_exactly(default_digit_limit):
    # str() of the decimal is read whatever its length: int(str) would refuse over 4300 digits
    digits = "9" * 3000 + "1" * 3000
    data = dumps(Decimal(digits + ".5"))
    assert data[:4] == h("c4 82 20 c2")
    payload = loads(data, semantic_decoders={4: lambda v, imm: v})
    sys.set_int_max_str_digits(0)
    assert payload == [-1, int(digits + "5")]
    assert loads(data) == Decimal(digits + ".5")


def test_decimal_out_of_exponent_range():
    class Text:
        def is_nan(self):
            return False

        def is_infinite(self):
            return False

        def __init__(self, text):
            self.text = text

        def __str__(self):
            return self.text

    def write(text):
        return dumps(Text(text), default=lambda e, v: e.encode_decimal(v))

    assert write("1E9223372036854775807") == h("c4 82 1b 7fffffffffffffff 01")
    assert write("-0.1E-9223372036854775807") == h("c4 82 3b 7fffffffffffffff 20")
    for text in ("1E9223372036854775808", "1.5E-9223372036854775808", "1E-9223372036854775809"):
        with pytest.raises(ValueError) as info:
            write(text)
        assert str(info.value) == f"Exponent overflow when parsing '{text}'"
    for text in ("1.2.3", "", "-", "1e", ".", "1e+", "12a"):
        with pytest.raises(ValueError) as info:
            write(text)
        assert str(info.value) == f"cannot read '{text}' as a decimal number"


def test_duck_typed_decimal_calls_its_methods():
    calls = []

    class Like:
        def __init__(self, nan, inf, signed, text):
            self.answers = {"is_nan": nan, "is_infinite": inf, "is_signed": signed}
            self.text = text

        def __getattr__(self, name):
            calls.append(name)
            return lambda: self.answers[name]

        def __str__(self):
            calls.append("str")
            return self.text

    def write(value):
        return dumps(value, default=lambda e, v: e.encode_decimal(v)).hex()

    assert write(Like(1, 0, 0, "")) == "f97e00" and calls == ["is_nan"]
    calls.clear()
    assert write(Like(0, 1, 1, "")) == "f9fc00" and calls == ["is_nan", "is_infinite", "is_signed"]
    calls.clear()
    assert write(Like(0, 0, 0, "-12.5e3")) == "c48202387c"
    assert calls == ["is_nan", "is_infinite", "str"]


def test_rational_restores_value_sharing():
    class Broken:
        numerator = 1
        denominator = object()

    e = CBOREncoder(io.BytesIO(), value_sharing=True)
    with pytest.raises(CBOREncodeError):
        e.encode_rational(Broken())
    assert e.value_sharing is True
    shared = [1]
    # inside the pair value sharing is off; after it, on again
    data = dumps([Fraction(1, 2), shared, shared], value_sharing=True).hex()
    assert data == "d81c83" "d81e820102" "d81c8101" "d81d01"


@pytest.mark.parametrize("data, expected", [
    ("c249010000000000000000", 2**64),
    ("c349010000000000000000", -1 - 2**64),
    ("c240", 0),
    ("c340", -1),
    ("c24100", 0),
    ("c2420102", 258),
    ("c48221196ab3", Decimal("273.15")),
    ("c482020f", Decimal("15E2")),
    ("c4822100", Decimal("0.00")),
    ("c4822029", Decimal("-1.0")),
    ("c4821b0de0b6b3a763ffff01", Decimal("1E999999999999999999")),
    ("c4823b0de0b6b3a763ffff01", Decimal("1E-1000000000000000000")),
    ("c48220c249010000000000000000", Decimal("1844674407370955161.6")),
    ("c5822003", Decimal("1.5")),
    ("c5820103", Decimal("6")),
    ("c5822220", Decimal("-0.125")),
    ("d81e820103", Fraction(1, 3)),
    ("d81e822004", Fraction(-1, 4)),
    ("d9a7f8820102", complex(1, 2)),
    ("d9a7f882f93e00f9c000", complex(1.5, -2)),
], ids=lambda v: v[:30] if isinstance(v, str) else None)
def test_decode(data, expected):
    value = loads(h(data))
    assert type(value) is type(expected) and value == expected
    if isinstance(expected, Decimal):
        assert value.as_tuple() == expected.as_tuple()


@pytest.mark.parametrize("data, message, cause", [
    ("c26161", "error decoding positive bignum: bignum value must be a byte string, not <class 'str'>", None),
    ("c301", "error decoding negative bignum: bignum value must be a byte string, not <class 'int'>", None),
    ("c401", "error decoding decimal fraction", TypeError),
    ("c48101", "error decoding decimal fraction", ValueError),
    ("c48221f5", "error decoding decimal fraction: mantissa must be an integer, not <class 'bool'>", None),
    ("c482f93c0001", "error decoding decimal fraction: exponent must be an integer, not <class 'float'>", None),
    ("c482c24901000000000000000001", "error decoding decimal fraction", OverflowError),
    ("c4821b0de0b6b3a764000001", "error decoding decimal fraction", InvalidOperation),
    ("c4821b7fffffffffffffff01", "error decoding decimal fraction", InvalidOperation),
    ("c58201f93c00", "error decoding bigfloat: mantissa must be an integer, not <class 'float'>", None),
    ("c580", "error decoding bigfloat", ValueError),
    ("c5a0", "error decoding bigfloat", TypeError),
    ("c5821b7fffffffffffffff01", "error decoding bigfloat", Overflow),
    ("d81e820100", "error decoding rational", ZeroDivisionError),
    ("d81e83010203", "error decoding rational", ValueError),
    ("d81e82016178", "error decoding rational: denominator must be an integer, not <class 'str'>", None),
    ("d81e8262" + b"10".hex() + "03", "error decoding rational: numerator must be an integer, not <class 'str'>",
     None),
    # operands are integers only: no rationals of rationals, floats, decimals or booleans
    ("d81e82d81e82010201", "error decoding rational: numerator must be an integer, not <class 'fractions.Fraction'>",
     None),
    ("d81e8201d81e820102",
     "error decoding rational: denominator must be an integer, not <class 'fractions.Fraction'>", None),
    ("d81e82f93e0001", "error decoding rational: numerator must be an integer, not <class 'float'>", None),
    ("d81e82c482200101", "error decoding rational: numerator must be an integer, not <class 'decimal.Decimal'>",
     None),
    ("d81e82f501", "error decoding rational: numerator must be an integer, not <class 'bool'>", None),
    ("d81e01", "error decoding rational", TypeError),
    ("d9a7f882016178", "error decoding complex number", TypeError),
    ("d9a7f88101", "error decoding complex number", ValueError),
    ("d9a7f8f6", "error decoding complex number", TypeError),
], ids=lambda v: v[:24] if isinstance(v, str) else None)
def test_decode_failures(data, message, cause):
    with pytest.raises(CBORDecodeError) as info:
        loads(h(data))
    assert str(info.value) == message
    if cause is None:
        assert info.value.__cause__ is None
    else:
        assert isinstance(info.value.__cause__, cause)


def test_pair_messages():
    for data, exc, text in [("c401", TypeError, "input value must be an array"),
                            ("d81e83010203", ValueError, "expected an array with exactly 2 elements")]:
        with pytest.raises(CBORDecodeError) as info:
            loads(h(data))
        assert type(info.value.__cause__) is exc and str(info.value.__cause__) == text


def big_int_item(digits):
    """Tag 2 around the bytes of a positive int with that many decimal digits."""
    n = 5 * 10 ** (digits - 1)
    return dumps(n)


@pytest.mark.parametrize("wrap, role, name", [
    (lambda big: h("c4 82 00") + big, "mantissa", "decimal fraction"),
    (lambda big: h("c5 82 00") + big, "mantissa", "bigfloat"),
    (lambda big: h("c5 82") + big + h("01"), "exponent", "bigfloat"),
    (lambda big: h("d81e 82") + big + h("01"), "numerator", "rational"),
    (lambda big: h("d81e 82 01") + big, "denominator", "rational"),
], ids=["decimal", "bigfloat", "bigfloat-exponent", "numerator", "denominator"])
def test_huge_numbers_are_held_to_the_digit_limit(default_digit_limit, wrap, role, name):
    # Decimal(int) and Fraction's gcd cost time quadratic in the digits: an item beyond the
    # interpreter's int/str limit is refused from its bit length, before that work starts.
    data = wrap(big_int_item(400_000))
    started = time.perf_counter()
    with pytest.raises(CBORDecodeError) as info:
        loads(data)
    assert time.perf_counter() - started < 0.5
    assert str(info.value) == (
        f"error decoding {name}: {role} has about 400000 decimal digits, more than the limit of 4300 for "
        "integer string conversion (see sys.set_int_max_str_digits())")
    # within the limit the value reaches its constructor (a bigfloat of 2 ** (5 * 10**4999)
    # then overflows the decimal context)
    small = wrap(big_int_item(5000))
    for limit in (0, 5000):
        sys.set_int_max_str_digits(limit)
        try:
            loads(small)
        except CBORDecodeError as exc:
            assert role == "exponent" and "decimal digits" not in str(exc)
    sys.set_int_max_str_digits(4999)
    with pytest.raises(CBORDecodeError, match="about 5000 decimal digits, more than the limit of 4999"):
        loads(small)


def test_decimal_at_the_limit_round_trips(default_digit_limit):
    exact = Decimal("7" * 4300 + "E-5")
    assert loads(dumps(exact)) == exact
    with pytest.raises(CBORDecodeError, match="about 4301 decimal digits"):
        loads(dumps(Decimal("7" * 4301)))


def test_bigfloat_uses_the_decimal_context():
    with localcontext() as ctx:
        ctx.prec = 3
        assert loads(h("c5 82 20 19 3039")) == Decimal("6.17E+3")


def test_semantic_decoders_and_tag_hook():
    data = dumps([2**64, Decimal("1.5"), Fraction(1, 3), 1j, CBORTag(1000, 1)])
    seen = []

    def hook(tag, immutable):
        seen.append(tag.tag)
        return tag.value

    assert loads(data, tag_hook=hook) == [2**64, Decimal("1.5"), Fraction(1, 3), 1j, 1]
    assert seen == [1000]
    value = loads(data, semantic_decoders={2: lambda p, imm: ("big", p), 30: lambda p, imm: ("q", p, imm)})
    assert value[0] == ("big", b"\x01" + bytes(8)) and value[2] == ("q", [1, 3], False)


VECTORS = [v for v in json.loads((pathlib.Path(__file__).parent / "data" / "appendix_a.json").read_text())
           if v["hex"][:2] in ("c2", "c3")]


@pytest.mark.parametrize("item", VECTORS, ids=[v["hex"] for v in VECTORS])
def test_appendix_a(item):
    data = bytes.fromhex(item["hex"])
    assert loads(data) == item["decoded"] and type(loads(data)) is int
    assert dumps(item["decoded"]) == data


VALUES = [Decimal("273.15"), Decimal("-1E+100"), Decimal("123456789012345678901234567890.123"), Decimal("0E-7"),
          Fraction(22, 7), Fraction(-2**70, 3), complex(-0.0, 1e300), 2**100, -(2**100)]


@pytest.mark.parametrize("options", [
    {}, {"value_sharing": True}, {"string_referencing": True}, {"canonical": True},
    {"indefinite_containers": True}, {"value_sharing": True, "string_referencing": True},
], ids=lambda o: ",".join(o) or "plain")
def test_round_trip(options):
    data = VALUES + VALUES
    back = loads(dumps(data, **options))
    assert back == data and [type(v) for v in back] == [type(v) for v in data]
    assert [v.as_tuple() for v in back if isinstance(v, Decimal)] == \
        [v.as_tuple() for v in data if isinstance(v, Decimal)]


def test_non_finite_decimals_come_back_as_floats():
    back = loads(dumps([Decimal("NaN"), Decimal("Infinity"), Decimal("-Infinity")]))
    assert math.isnan(back[0]) and back[1:] == [math.inf, -math.inf]


def test_decimal_class_is_the_one_bound_at_first_use():
    # A class bound to decimal.Decimal before the first decimal fraction is the one used
    # from then on; rebinding it later changes nothing.
    assert run_python("""
        import decimal, _kelvo
        class Mine(decimal.Decimal):
            pass
        real = decimal.Decimal
        decimal.Decimal = Mine
        print(type(_kelvo.loads(bytes.fromhex("c48221196ab3"))).__name__)
        decimal.Decimal = real
        print(type(_kelvo.loads(bytes.fromhex("c48221196ab3"))).__name__)
    """) == ["Mine", "Mine"]


def test_first_use_from_many_threads():
    # Every reference the codecs use is resolved on first use; threads that arrive at once
    # all get the same objects.
    assert run_python("""
        import sys, threading, _kelvo
        values = bytes.fromhex(
            "86" "c074323031332d30332d32315432303a30343a30305a" "d903ec6a323032302d30312d3031"
            "c48221196ab3" "d81e820103" "c249010000000000000000" "d9a7f8820102")
        barrier = threading.Barrier(8)
        results = []
        def work():
            barrier.wait()
            decoded = _kelvo.loads(values)
            results.append((decoded, _kelvo.dumps(decoded)))
        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(len(results), all(r == results[0] for r in results),
              _kelvo.loads(results[0][1]) == results[0][0], sys._is_gil_enabled())
    """) == ["8", "True", "True", str(not FREE_THREADED)]


def test_shared_values_around_and_inside_a_tag():
    value = loads(h("82 d81c c4 82 21 19 6ab3 d81d 00"))
    assert value == [Decimal("273.15")] * 2 and value[0] is value[1]
    assert loads(h("82 c4 d81c 82 21 19 6ab3 d81d 00")) == [Decimal("273.15"), (-2, 27315)]
