"""The RFC 8949 Appendix A examples (tests/data/appendix_a.json)."""

import base64
import datetime
import json
import math
import pathlib

import pytest

import _kelvo
from _kelvo import CBORDecodeError, CBORSimpleValue, CBORTag, loads, undefined

VECTORS = json.loads((pathlib.Path(__file__).parent / "data" / "appendix_a.json").read_text())
UTC = datetime.UTC
NAN = float("nan")


def bignum(tag, payload, number):
    return {"tag": tag, "payload": payload, "final": number}


# Items that JSON cannot hold, by hex: the value their diagnostic notation names.
DIAGNOSTIC = {
    "f97c00": math.inf, "f97e00": NAN, "f9fc00": -math.inf,
    "fa7f800000": math.inf, "fa7fc00000": NAN, "faff800000": -math.inf,
    "fb7ff0000000000000": math.inf, "fb7ff8000000000000": NAN, "fbfff0000000000000": -math.inf,
    "f7": undefined, "f0": CBORSimpleValue(16), "f8ff": CBORSimpleValue(255),
    "c074323031332d30332d32315432303a30343a30305a": {
        "tag": 0, "payload": "2013-03-21T20:04:00Z", "final": datetime.datetime(2013, 3, 21, 20, 4, tzinfo=UTC)},
    "c11a514b67b0": {
        "tag": 1, "payload": 1363896240, "final": datetime.datetime(2013, 3, 21, 20, 4, tzinfo=UTC)},
    "c1fb41d452d9ec200000": {
        "tag": 1, "payload": 1363896240.5,
        "final": datetime.datetime(2013, 3, 21, 20, 4, 0, 500000, tzinfo=UTC)},
    "d74401020304": CBORTag(23, b"\x01\x02\x03\x04"),
    "d818456449455446": CBORTag(24, b"dIETF"),
    "d82076687474703a2f2f7777772e6578616d706c652e636f6d": CBORTag(32, "http://www.example.com"),
    "40": b"", "4401020304": b"\x01\x02\x03\x04",
    "a201020304": {1: 2, 3: 4},
    "5f42010243030405ff": b"\x01\x02\x03\x04\x05",
}
# Values that a tag codec builds from the tag's payload.
CODEC_TAGS = {
    "c249010000000000000000": bignum(2, b"\x01" + bytes(8), 2**64),
    "c349010000000000000000": bignum(3, b"\x01" + bytes(8), -1 - 2**64),
}


def same(value, expected):
    if isinstance(expected, float):
        if math.isnan(expected):
            return isinstance(value, float) and math.isnan(value)
        return type(value) is float and value == expected and math.copysign(1, value) == math.copysign(1, expected)
    if isinstance(expected, list):
        return type(value) is list and len(value) == len(expected) and all(map(same, value, expected))
    if isinstance(expected, dict):
        return type(value) is dict and list(value) == list(expected) and all(
            same(value[k], expected[k]) for k in expected)
    return type(value) is type(expected) and value == expected


def matches(value, expected):
    if isinstance(expected, dict) and "final" in expected:
        return same(value, expected["final"])
    return same(value, expected)


@pytest.mark.parametrize("item", VECTORS, ids=[v["hex"] for v in VECTORS])
def test_appendix_a_decodes(item):
    data = bytes.fromhex(item["hex"])
    assert base64.b64decode(item["cbor"]) == data
    if item["hex"] == "f818":
        # simple(24) in two bytes is not well-formed: the two-byte form starts at 32
        with pytest.raises(CBORDecodeError) as info:
            loads(data)
        assert str(info.value) == "error decoding special value: invalid two-byte sequence for simple value"
        return
    if "decoded" in item:
        expected = CODEC_TAGS.get(item["hex"], item["decoded"])
    else:
        expected = DIAGNOSTIC[item["hex"]]
    assert matches(loads(data), expected)


def test_every_vector_is_covered():
    assert len(VECTORS) == 82
    assert {v["hex"] for v in VECTORS if "diagnostic" in v} - {"f818"} == set(DIAGNOSTIC)


ROUNDTRIP = [v for v in VECTORS if v["roundtrip"] and v["hex"] not in ("f818",)
             and not v["hex"].startswith(("c0", "c1"))]  # datetime text is the encoder's choice


def test_appendix_a_roundtrip():
    mismatches = []
    for item in ROUNDTRIP:
        data = bytes.fromhex(item["hex"])
        value = loads(data)
        encoded = _kelvo.dumps(value, canonical=isinstance(value, float))
        if encoded != data:
            mismatches.append((item["hex"], encoded.hex()))
    assert mismatches == []
