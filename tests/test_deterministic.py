"""kelvo.deterministic: deterministic writing, and the checker that refuses anything else."""

import datetime
import decimal
import fractions
import io
import ipaddress
import json
import math
import pathlib
import random
import re
import struct
import subprocess
import sys
import threading
import uuid

import pytest

import _kelvo
from _kelvo import CBORDecodeEOF, CBORDecodeError, CBOREncodeValueError, CBORSimpleValue, CBORTag, frozendict
from kelvo import _deterministic, deterministic as det

from build_kind import free_threaded_only

VECTORS = json.loads((pathlib.Path(__file__).parent / "data" / "appendix_a.json").read_text())
UTC = datetime.UTC


def nan_with_payload():
    return struct.unpack(">d", bytes.fromhex("fff8000000000123"))[0]


# ---- Writing: value -> exact bytes

WRITES = [
    # integers at every head-width boundary, and where bignums start
    (23, "17"), (24, "1818"), (255, "18ff"), (256, "190100"), (65535, "19ffff"), (65536, "1a00010000"),
    (2**32 - 1, "1affffffff"), (2**32, "1b0000000100000000"), (2**64 - 1, "1bffffffffffffffff"),
    (2**64, "c249010000000000000000"), (2**72, "c24a01000000000000000000"),
    (-24, "37"), (-25, "3818"), (-256, "38ff"), (-257, "390100"),
    (-(2**64), "3bffffffffffffffff"), (-(2**64) - 1, "c349010000000000000000"),
    # floats at each width boundary
    (0.0, "f90000"), (-0.0, "f98000"), (1.5, "f93e00"),
    (65504.0, "f97bff"), (65520.0, "fa477ff000"),
    (2.0**-24, "f90001"), (2.0**-25, "fa33000000"), (2.0**-14, "f90400"), (2.0**-14 - 2.0**-24, "f903ff"),
    (1 + 2.0**-10, "f93c01"), (1 + 2.0**-11, "fa3f801000"),
    (1 + 2.0**-23, "fa3f800001"), (1 + 2.0**-24, "fb3ff0000010000000"),
    (3.4028234663852886e38, "fa7f7fffff"), (2.0**128, "fb47f0000000000000"),
    (2.0**-149, "fa00000001"), (2.0**-150, "fb3690000000000000"), (1.1, "fb3ff199999999999a"),
    (2.0**-15, "f90200"), (-(2.0**-24), "f98001"), (1.5 * 2.0**-24, "fa33c00000"), (2.0**-140, "fa00000200"),
    (math.inf, "f97c00"), (-math.inf, "f9fc00"), (math.nan, "f97e00"), (nan_with_payload(), "f97e00"),
    # map keys in bytewise order, where length-first order differs
    ({"": 0, 24: 1}, "a21818016000"),
    ({-1: 0, 24: 1}, "a21818012000"),
    # RFC 8949 section 4.2.1's ordering example: 10, 100, -1, "z", "aa", [100], [-1], false
    ({False: 7, (-1,): 6, (100,): 5, "aa": 4, "z": 3, -1: 2, 100: 1, 10: 0},
     "a80a00186401200261 7a03 62616104 81186405 812006 f407"),
    ({"b": 1, "a": 2, "aa": 3, "": 4}, "a4600461610261620162616103"),
    # float keys compared in their shortest forms
    ({1.1: 3, 100000.0: 2, 1.5: 0, 1.0: 1}, "a4 f93c00 01 f93e00 00 fa47c35000 02 fb3ff199999999999a 03"),
    ([{"b": [1e300, 0.5], "a": 2.5}, 3.0], "82 a2 6161 f94100 6162 82 fb7e37e43c8800759c f93800 f94200"),
    # sets (tag 258) in the same order, also inside keys
    ({"", 24}, "d9010282181860"),
    (frozenset({300, 1, 24, -1}), "d90102840118181901 2c20"),
    ({frozenset({"", 24}): None}, "a1d9010282181860f6"),
    # a map inside a key is ordered before the keys around it are compared
    ({frozendict({"b": 0, 24: 0}): 1, frozendict({"a": 0, 25: 0}): 2},
     "a2 a2181800616200 01 a2181900616100 02"),
    ([{"": 0, 24: 1}, [{-1: 0, 24: 1}]], "82a21818016000 81a21818012000"),
    (CBORTag(258, [2, 1]), "d90102820102"),
    (CBORTag(1000, {"": 0, 24: 1}), "d903e8a21818016000"),
    (CBORSimpleValue(32), "f820"),
    (bytearray(b"ab"), "426162"),
]


@pytest.mark.parametrize("value, expected", WRITES, ids=[h.replace(" ", "")[:24] for _, h in WRITES])
def test_dumps_writes_exact_bytes(value, expected):
    expected = bytes.fromhex(expected)
    assert det.dumps(value) == expected
    det.check(expected)


# Appendix A items that JSON cannot hold but that are deterministic, by hex.
APPENDIX_EXTRA = {
    "f97c00": math.inf, "f97e00": math.nan, "f9fc00": -math.inf,
    "f7": _kelvo.undefined, "f0": CBORSimpleValue(16), "f8ff": CBORSimpleValue(255),
    "40": b"", "4401020304": b"\x01\x02\x03\x04", "a201020304": {1: 2, 3: 4},
    "d74401020304": CBORTag(23, b"\x01\x02\x03\x04"),
}
APPENDIX_WRITES = [(v["hex"], v["decoded"]) for v in VECTORS if v["roundtrip"] and "decoded" in v]
APPENDIX_WRITES += list(APPENDIX_EXTRA.items())


@pytest.mark.parametrize("hexdata, value", APPENDIX_WRITES, ids=[h[:24] for h, _ in APPENDIX_WRITES])
def test_dumps_appendix_a(hexdata, value):
    assert det.dumps(value).hex() == hexdata


SEMANTIC = [
    (datetime.datetime(2013, 3, 21, 20, 4, 0, tzinfo=UTC), "c074" + b"2013-03-21T20:04:00Z".hex()),
    (datetime.date(2020, 1, 1), "d903ec6a" + b"2020-01-01".hex()),
    (decimal.Decimal("273.15"), "c48221196ab3"),
    (decimal.Decimal("1.0"), "c482200a"),
    (decimal.Decimal("1.00"), "c482211864"),
    (decimal.Decimal("NaN"), "f97e00"),
    (fractions.Fraction(1, 3), "d81e820103"),
    (uuid.UUID(int=1), "d82550" + "00" * 15 + "01"),
    ({uuid.UUID(int=2): 0, uuid.UUID(int=1): 1, "a": 2},
     "a3 616102 d82550" + "00" * 15 + "0101 d82550" + "00" * 15 + "0200"),
    (re.compile("a+"), "d82362612b"),
    (ipaddress.ip_address("192.0.2.1"), "d83444c0000201"),
    (ipaddress.ip_network("192.0.2.0/24"), "d83482181843c00002"),
    (ipaddress.ip_address("2001:db8::1"), "d8365020010db8" + "00" * 11 + "01"),
    (complex(1.5, -2), "d9a7f882f93e00f9c000"),
    ({decimal.Decimal("1.5"): 0, 24: 1}, "a2181801c482200f00"),
]


@pytest.mark.parametrize("value, expected",
                         [pytest.param(v, h, id=repr(v)[:40]) for v, h in SEMANTIC])
def test_dumps_semantic_types_as_dumps_writes_them(value, expected):
    data = det.dumps(value)
    assert data.hex() == expected.replace(" ", "")
    assert det.dumps(det.loads(data)) == data


@pytest.mark.parametrize("value, message", [
    ({math.nan: 1, nan_with_payload(): 2}, "two map keys have the same deterministic encoding"),
    ({math.nan, nan_with_payload()}, "two set members have the same deterministic encoding"),
    (CBORTag(258, [1, 2, 1]), "two set members have the same deterministic encoding"),
    (CBORTag(2, b"\x01"), "not in deterministic form: bignum that fits a plain integer at byte 0"),
    ([CBORTag(3, b"\x00" * 9)], "not in deterministic form: bignum with a leading zero byte at byte 1"),
], ids=["nan-keys", "nan-members", "tag258-repeat", "small-bignum", "zero-led-bignum"])
def test_dumps_refuses_what_has_no_deterministic_form(value, message):
    with pytest.raises(CBOREncodeValueError, match=re.escape(message)):
        det.dumps(value)


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y


def write_point(encoder, point):
    # A map in insertion order and a float in full width: the deterministic pass reorders both.
    encoder.encode({"y": point.y, "x": point.x})


def write_raw(data):
    return lambda encoder, value: encoder.write(data)


@pytest.mark.parametrize("hook", ["default", "encoders"])
def test_dumps_takes_hooks_and_brings_their_output_into_form(hook):
    data = det.dumps([Point(1.5, 2)], **{hook: write_point if hook == "default" else {Point: write_point}})
    assert data.hex() == "81a2" "6178f93e00" "617902"
    fp = io.BytesIO()
    det.dump(Point(0, 1.0), fp, **{hook: write_point if hook == "default" else {Point: write_point}})
    assert fp.getvalue().hex() == "a2617800" "6179f93c00"


@pytest.mark.parametrize("raw, message", [
    ("9f01ff", "indefinite length at byte 1"),
    ("1801", "head not in its shortest form at byte 1"),
    ("f818", "two-byte simple value below 32 at byte 1"),
    ("0102", "trailing bytes"),
], ids=["indefinite", "long-head", "small-simple", "two-items"])
def test_dumps_refuses_hook_output_with_no_deterministic_form(raw, message):
    with pytest.raises(CBOREncodeValueError, match=re.escape(message)):
        det.dumps([Point(0, 0)], default=write_raw(bytes.fromhex(raw)))


def test_dump_and_load_through_files():
    value = {"": [1.5, None], 24: {"b": b"x"}}
    fp = io.BytesIO()
    det.dump(value, fp)
    assert fp.getvalue() == det.dumps(value)
    fp.seek(0)
    assert det.load(fp) == value
    with pytest.raises(CBORDecodeError, match="trailing bytes after the item at byte 1"):
        det.load(io.BytesIO(b"\x00\x00"))


# ---- Checking: bytes -> the rule refused and its offset

REFUSALS = [
    # heads not in the shortest form, at any depth and for any major type
    ("1817", "head not in its shortest form", 0),
    ("1900ff", "head not in its shortest form", 0),
    ("1a0000ffff", "head not in its shortest form", 0),
    ("1b00000000ffffffff", "head not in its shortest form", 0),
    ("3817", "head not in its shortest form", 0),
    ("580161", "head not in its shortest form", 0),
    ("d81700", "head not in its shortest form", 0),
    ("82011817", "head not in its shortest form", 2),
    ("a1 61 61 9800", "head not in its shortest form", 3),
    # indefinite lengths
    ("9f00ff", "indefinite length", 0),
    ("5f4100ff", "indefinite length", 0),
    ("bfff", "indefinite length", 0),
    ("82017f60ff", "indefinite length", 2),
    # map keys: bytewise order only (the length-first order of canonical output is refused)
    ("a2 01 00 00 00", "map keys out of bytewise order", 3),
    ("a2 60 00 1818 00", "map keys out of bytewise order", 3),
    ("a2 6162 00 6161 00", "map keys out of bytewise order", 4),
    ("a2 01 00 01 00", "map key repeated", 3),
    ("a3 01 00 02 00 02 00", "map key repeated", 5),
    ("81 a2 02 00 01 00", "map keys out of bytewise order", 4),
    ("a2 a1 0000 00 a1 0000 00", "map key repeated", 5),
    # set members (tag 258 arrays)
    ("d90102 82 02 01", "set members out of bytewise order", 5),
    ("d90102 82 01 01", "set member repeated", 5),
    ("d90102 82 60 1818", "set members out of bytewise order", 5),
    # floats that a shorter width holds exactly, and NaNs in any other form
    ("fa3fc00000", "float that a shorter width holds exactly", 0),
    ("fa7f800000", "float that a shorter width holds exactly", 0),
    ("fb3ff8000000000000", "float that a shorter width holds exactly", 0),
    ("fb3e70000000000000", "float that a shorter width holds exactly", 0),
    ("fb47efffffe0000000", "float that a shorter width holds exactly", 0),
    ("fbfff0000000000000", "float that a shorter width holds exactly", 0),
    ("8201fb8000000000000000", "float that a shorter width holds exactly", 2),
    ("f97e01", "NaN other than f9 7e 00", 0),
    ("f9fe00", "NaN other than f9 7e 00", 0),
    ("fa7fc00000", "NaN other than f9 7e 00", 0),
    ("fb7ff8000000000000", "NaN other than f9 7e 00", 0),
    # bignums
    ("c240", "bignum that fits a plain integer", 0),
    ("c348ffffffffffffffff", "bignum that fits a plain integer", 0),
    ("c249000100000000000000", "bignum with a leading zero byte", 0),
    ("82 00 c3 49 00 ffffffffffffffff", "bignum with a leading zero byte", 2),
    # trailing bytes
    ("0000", "trailing bytes after the item", 1),
    ("a0ff", "trailing bytes after the item", 1),
    # not well-formed at all
    ("1c", "reserved additional information in a head", 0),
    ("3f", "reserved additional information in a head", 0),
    ("ff", "break code outside an indefinite-length item", 0),
    ("8101ff", "trailing bytes after the item", 2),
    ("f818", "two-byte simple value below 32", 0),
]


@pytest.mark.parametrize("hexdata, rule, offset", REFUSALS, ids=[h.replace(" ", "") for h, _, _ in REFUSALS])
def test_check_names_rule_and_offset(hexdata, rule, offset):
    data = bytes.fromhex(hexdata)
    message = f"{rule} at byte {offset}"
    with pytest.raises(CBORDecodeError, match=f"^{re.escape(message)}$") as info:
        det.check(data)
    assert type(info.value) is CBORDecodeError
    assert (info.value.offset, info.value.rule) == (offset, rule)
    with pytest.raises(CBORDecodeError, match=re.escape(message)):
        det.loads(data)


@pytest.mark.parametrize("hexdata, offset", [
    ("", 0), ("18", 0), ("1a0000", 0), ("8201", 0), ("a101", 0), ("6261", 0), ("c2", 0), ("81c2", 1),
    ("8181", 1),
    # counts beyond what the remaining bytes can hold are refused before anything is sized
    ("9bffffffffffffffff", 0), ("bbffffffffffffffff", 0), ("7bffffffffffffffff", 0), ("a20000", 0),
], ids=lambda v: v if isinstance(v, str) else None)
def test_check_reports_truncation(hexdata, offset):
    message = f"^premature end of data: the item at byte {offset} is incomplete$"
    with pytest.raises(CBORDecodeEOF, match=message) as info:
        det.check(bytes.fromhex(hexdata))
    assert (info.value.offset, info.value.rule) == (offset, "premature end of data")


@pytest.mark.parametrize("hexdata, outcome", [
    ("", 0), ("00", 1), ("00 a21818016000 d9010282 01 02", 3),
    ("00 1817", (CBORDecodeError, "head not in its shortest form at byte 1")),
    ("00 a2 60 00 1818 00", (CBORDecodeError, "map keys out of bytewise order at byte 4")),
    ("00 81", (CBORDecodeEOF, "the item at byte 1 is incomplete")),
])
def test_sequence_check_for_the_command_line(hexdata, outcome):
    data = bytes.fromhex(hexdata)
    if isinstance(outcome, int):
        assert _deterministic.check_sequence(data) == outcome
    else:
        with pytest.raises(outcome[0], match=outcome[1]):
            _deterministic.check_sequence(data)


@pytest.mark.parametrize("hexdata", [
    "fa477ff000", "fa33000000", "fb3ff0000010000000", "fb3690000000000000", "fa00000001", "f97bff",
    "c249010000000000000000", "c349ffffffffffffffffff", "c260", "c2d8204101", "d9010283 01 1818 20",
    "a3 0a00 20 00 6161 00", "f820", "f97c00", "f97e00", "d9 0102 a0",
])
def test_check_accepts_deterministic_items(hexdata):
    det.check(bytes.fromhex(hexdata))


# Appendix A items that are not in deterministic form, with the rule and offset refused.
APPENDIX_REFUSED = {
    "fa7f800000": "float that a shorter width holds exactly",
    "faff800000": "float that a shorter width holds exactly",
    "fb7ff0000000000000": "float that a shorter width holds exactly",
    "fbfff0000000000000": "float that a shorter width holds exactly",
    "fa7fc00000": "NaN other than f9 7e 00",
    "fb7ff8000000000000": "NaN other than f9 7e 00",
    "f818": "two-byte simple value below 32",
}


@pytest.mark.parametrize("vector", VECTORS, ids=[v["hex"][:24] for v in VECTORS])
def test_check_appendix_a(vector):
    data = bytes.fromhex(vector["hex"])
    if vector["hex"] in APPENDIX_REFUSED:
        with pytest.raises(CBORDecodeError, match=APPENDIX_REFUSED[vector["hex"]]):
            det.check(data)
    elif not vector["roundtrip"]:  # the indefinite-length examples
        with pytest.raises(CBORDecodeError, match="indefinite length at byte"):
            det.check(data)
    else:
        det.check(data)


@pytest.mark.parametrize("hexdata", [
    "a2016161f93c006162",        # {1: "a", 1.0: "b"}
    "a2016161f56162",            # {1: "a", True: "b"}
    "a1 a2016161f56162 00",      # the same map as a key of another
    "a2 8101 00 81f93c00 00",    # {(1,): 0, (1.0,): 0}
    "a2 00 00 f4 01",            # {0: 0, False: 1}
    "a2 c482200f 00 f93e00 01",  # {Decimal("1.5"): 0, 1.5: 1}
    "a2 c074" + b"2013-03-21T20:04:00Z".hex() + "00 c11a514b67b0 01",  # one instant, tags 0 and 1
], ids=["int-float", "int-bool", "nested", "in-tuples", "zero-false", "decimal-float", "tag0-tag1"])
def test_loads_refuses_distinct_keys_that_decode_equal(hexdata):
    data = bytes.fromhex(hexdata)
    det.check(data)  # in deterministic form, but no dict holds both keys
    with pytest.raises(CBORDecodeError, match="Duplicate map key"):
        det.loads(data)


def test_loads_keeps_keys_that_only_look_alike():
    assert det.loads(bytes.fromhex("a2 f4 00 f5 01")) == {False: 0, True: 1}
    assert det.loads(bytes.fromhex("a2 01 00 f93e00 01")) == {1: 0, 1.5: 1}


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview], ids=lambda f: f.__name__)
def test_check_and_loads_take_any_byte_buffer(make):
    data = make(bytes.fromhex("a21818016000"))
    assert det.check(data) is None
    assert det.loads(data) == {24: 1, "": 0}


@pytest.mark.parametrize("data", ["a0", 1, memoryview(b"\0\0\0\0").cast("I")], ids=["str", "int", "wide-items"])
def test_check_refuses_what_is_not_bytes(data):
    with pytest.raises(TypeError, match="a bytes-like object is required"):
        det.check(data)


def test_check_deep_nesting_is_iterative():
    depth = 200_000
    det.check(b"\x81" * depth + b"\x00")
    det.check(b"\xa1\x00" * depth + b"\x00")
    with pytest.raises(CBORDecodeEOF, match=f"the item at byte {depth - 1} is incomplete"):
        det.check(b"\x81" * depth)


def test_threads_share_data_and_module():
    value = [{"": i, 24: [1.5, {-1: b"x", 24: None}], "key": {i, -i, 300}} for i in range(200)]
    expected = det.dumps(value)
    results = []

    def work():
        for _ in range(30):
            data = det.dumps(value)
            det.check(data)
            results.append(data == expected and det.loads(expected) == value)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 120 and all(results)


@free_threaded_only
def test_import_keeps_gil_disabled():
    code = "import sys, kelvo.deterministic; print(sys._is_gil_enabled())"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


# ---- Property: everything written passes the check and survives a decode

def random_key(rng, depth):
    kind = rng.randrange(8 if depth < 3 else 5)
    if kind == 0:
        return rng.choice([0, 1, 23, 24, 255, 256, -1, -24, -25, 2**64, -(2**64) - 1, rng.randint(-(2**70), 2**70)])
    if kind == 1:
        return "".join(rng.choice("ab\u00e9\u6c34") for _ in range(rng.choice([0, 1, 2, 23, 24, 30])))
    if kind == 2:
        return rng.randbytes(rng.choice([0, 1, 24, 300]))
    if kind == 3:
        f = struct.unpack(">d", rng.randbytes(8))[0]
        return f if not math.isnan(f) else rng.choice([0.5, -2.0, 1e300])
    if kind == 4:
        return rng.choice([None, False, True])
    if kind == 5:
        return tuple(random_key(rng, depth + 1) for _ in range(rng.randrange(3)))
    if kind == 6:
        return frozenset(random_key(rng, depth + 1) for _ in range(rng.randrange(4)))
    return frozendict({random_key(rng, depth + 1): random_key(rng, depth + 1) for _ in range(rng.randrange(4))})


def random_value(rng, depth=0):
    kind = rng.randrange(9 if depth < 4 else 5)
    if kind == 0:
        return random_key(rng, depth)
    if kind == 1:
        if rng.random() < 0.5:
            return rng.choice([1.5, 65504.0, 65520.0, 2.0**-24, 2.0**-25, -0.0, math.inf])
        fmt, size = rng.choice([(">d", 8), (">f", 4), (">e", 2)])
        return struct.unpack(fmt, rng.randbytes(size))[0]
    if kind == 2:
        return CBORSimpleValue(rng.choice([0, 16, 19, 32, 255]))
    if kind == 3:
        return _kelvo.undefined
    if kind == 4:
        return bytearray(rng.randbytes(rng.randrange(5)))
    if kind == 5:
        return [random_value(rng, depth + 1) for _ in range(rng.randrange(5))]
    if kind == 6:
        return {random_key(rng, depth + 1): random_value(rng, depth + 1) for _ in range(rng.randrange(6))}
    if kind == 7:
        return {random_key(rng, depth + 1) for _ in range(rng.randrange(5))}
    if rng.random() < 0.3:
        return CBORTag(258, [random_key(rng, depth + 1) for _ in range(rng.randrange(4))])
    return CBORTag(rng.choice([1000, 2**32]), random_value(rng, depth + 1))


def test_random_values_round_trip():
    rng = random.Random(13)
    written = 0
    for _ in range(3000):
        value = random_value(rng)
        try:
            data = det.dumps(value)
        except CBOREncodeValueError as exc:  # a tag 258 around members that repeat
            assert "same deterministic encoding" in str(exc)
            continue
        det.check(data)
        assert det.dumps(det.loads(data)) == data
        # from the canonical encoding (floats already short, keys length-first) too
        assert _deterministic.deterministic_form(_kelvo.dumps(value, canonical=True)) == data
        written += 1
    assert written > 2500
