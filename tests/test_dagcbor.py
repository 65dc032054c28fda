"""kelvo.dagcbor: the strict encoder and decoder, and the CID type."""

import copy
import io
import pickle
import random
import subprocess
import sys
import threading

import pytest

from _kelvo import CBORDecodeEOF, CBORDecodeError, CBOREncodeError, CBOREncodeTypeError, CBOREncodeValueError
from kelvo import dagcbor
from kelvo.dagcbor import CID

from build_kind import free_threaded_only

HELLO = "bafkreifzjut3te2nhyekklss27nh3k72ysco7y32koao5eei66wof36n5e"  # raw codec, b"hello world"
HELLO_DIGEST = "b94d27b9934d3e08a52e52d7da7dabfac484efe37a5380ee9088f7ace2efcde9"
EMPTY_MAP = "bafyreigbtj4x7ip5legnfznufuopl4sg4knzc2cof6duas4b3q2fy6swua"  # dag-cbor codec, block a0
V0 = "QmdfTbBqBPQ7VNxZEYEj14VmRuZBkqFbiwReogJgS1zR1n"
V0_AS_V1 = "bafybeihdwdcefgh4dqkjv67uzcmw7ojee6xedzdetojuzjevtenxquvyku"
V0_DIGEST = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"


# ---- value <-> exact bytes

CODEC = [
    # integers at every head width and at the bounds of the profile
    pytest.param(0, "00", id="int-0"),
    pytest.param(23, "17", id="int-23"),
    pytest.param(24, "1818", id="int-24"),
    pytest.param(255, "18ff", id="int-255"),
    pytest.param(256, "190100", id="int-256"),
    pytest.param(65535, "19ffff", id="int-65535"),
    pytest.param(65536, "1a00010000", id="int-65536"),
    pytest.param(2**32 - 1, "1affffffff", id="int-2**32-1"),
    pytest.param(2**32, "1b0000000100000000", id="int-2**32"),
    pytest.param(2**63, "1b8000000000000000", id="int-2**63"),
    pytest.param(2**64 - 1, "1bffffffffffffffff", id="int-2**64-1"),
    pytest.param(-1, "20", id="int--1"),
    pytest.param(-24, "37", id="int--24"),
    pytest.param(-25, "3818", id="int--25"),
    pytest.param(-257, "390100", id="int--257"),
    pytest.param(-(2**63), "3b7fffffffffffffff", id="int--2**63"),
    pytest.param(-(2**63) - 1, "3b8000000000000000", id="int--2**63-1"),
    pytest.param(-(2**64), "3bffffffffffffffff", id="int--2**64"),
    # floats: always nine bytes, whatever a shorter width could hold
    pytest.param(0.0, "fb0000000000000000", id="float-zero"),
    pytest.param(-0.0, "fb8000000000000000", id="float-negative-zero"),
    pytest.param(1.5, "fb3ff8000000000000", id="float-1.5"),
    pytest.param(5e-324, "fb0000000000000001", id="float-smallest-subnormal"),
    pytest.param(-2.2250738585072009e-308, "fb800fffffffffffff", id="float-largest-subnormal"),
    pytest.param(1.7976931348623157e308, "fb7fefffffffffffff", id="float-max"),
    # simple values
    pytest.param(False, "f4", id="false"),
    pytest.param(True, "f5", id="true"),
    pytest.param(None, "f6", id="null"),
    # strings
    pytest.param("", "60", id="text-empty"),
    pytest.param("a", "6161", id="text-a"),
    pytest.param("é€", "65c3a9e282ac", id="text-non-ascii"),
    pytest.param("\U0001f600", "64f09f9880", id="text-astral"),
    pytest.param("x" * 24, "7818" + "78" * 24, id="text-24"),
    pytest.param(b"", "40", id="bytes-empty"),
    pytest.param(b"\x00\xff", "4200ff", id="bytes"),
    pytest.param(b"\x01" * 256, "590100" + "01" * 256, id="bytes-256"),
    # containers; key order is by encoded length first, then bytewise
    pytest.param([], "80", id="array-empty"),
    pytest.param([1, [2, 3], []], "8301820203" "80", id="array-nested"),
    pytest.param({}, "a0", id="map-empty"),
    pytest.param({"b": 1, "aa": 2, "a": 3}, "a3" "616103" "616201" "62616102", id="map-length-before-bytes"),
    pytest.param({"z": {"bb": None, "c": {}}, "yy": [{"x": 0}]},
                 "a2" "617a" "a2" "6163a0" "626262f6" "627979" "81a1617800", id="map-nested"),
    pytest.param({"\u00e9": 1, "zz": 2}, "a2" "627a7a02" "62c3a901", id="map-utf8-bytes-equal-length"),
    # CIDs in tag 42, with the 0x00 prefix
    pytest.param(CID(HELLO), "d82a582500" "01551220" + HELLO_DIGEST, id="cid-v1"),
    pytest.param({"link": CID(HELLO)}, "a1646c696e6bd82a582500" "01551220" + HELLO_DIGEST, id="cid-v1-in-map"),
    pytest.param([CID(V0), 1], "82d82a582300" "1220" + V0_DIGEST + "01", id="cid-v0-in-array"),
]


@pytest.mark.parametrize("value, hex_", CODEC)
def test_codec_table(value, hex_):
    data = bytes.fromhex(hex_)
    assert dagcbor.dumps(value) == data
    decoded = dagcbor.loads(data)
    assert decoded == value and type(decoded) is type(value)
    assert dagcbor.dumps(decoded) == data


def test_encoder_writes_sorted_keys_whatever_the_dict_order():
    keys = ["bbb", "a", "cc", "b", "aaa", "", "ab"]
    expected = dagcbor.dumps({k: 0 for k in sorted(keys, key=lambda k: (len(k.encode()), k.encode()))})
    assert dagcbor.dumps({k: 0 for k in keys}) == expected
    assert dagcbor.dumps({k: 0 for k in reversed(keys)}) == expected


class Key(str):
    pass


def _entry_by_entry(d):
    """The encoding of a small dict, its entries sorted here and each written on its own."""
    items = sorted(d.items(), key=lambda kv: (len(kv[0].encode()), kv[0].encode()))
    return bytes([0xA0 | len(d)]) + b"".join(dagcbor.dumps(k) + dagcbor.dumps(v) for k, v in items)


# A map's leading plain entries are written straight from the dict while their keys come in
# order; the rest are copied out, and keys found out of order anywhere start the map over.
@pytest.mark.parametrize("value", [
    pytest.param({"a": 1, "bb": "x", "ccc": None}, id="plain-in-order"),
    pytest.param({"a": [1], "bb": 2, "ccc": 3}, id="container-first"),
    pytest.param({"a": 1, "bb": [], "c": 2}, id="out-of-order-after-a-container"),
    pytest.param({"bb": 1, "a": 2}, id="out-of-order-among-plain"),
    pytest.param({"a": 1, "\u00e9": 2, "bbb": 3}, id="non-ascii-key-in-order"),
    pytest.param({"\u00e9": 2, "a": 1}, id="non-ascii-key-out-of-order"),
    pytest.param({"a": "\u00e9", "b": "\U0001f98b", "c": 1}, id="non-ascii-values"),
    pytest.param({"a": 2**64 - 1, "b": -(2**64), "c": 1}, id="ints-beyond-64-bits"),
    pytest.param({"a": 1, Key("b"): 2, "c": [3]}, id="str-subclass-key"),
    pytest.param({"a": 1.5, "b": b"\x00", "c": CID(HELLO), "d": True, "e": False, "f": None}, id="every-plain-kind"),
    pytest.param({"b": {"z": 1, "y": [2]}, "a": (1,)}, id="nested-out-of-order"),
    pytest.param({"a": 1, "b": bytearray(b"x"), "c": 2}, id="bytearray-after-plain"),
])
def test_encoder_key_order_with_every_kind_of_value(value):
    assert dagcbor.dumps(value) == _entry_by_entry(value)


@pytest.mark.parametrize("value, error, message", [
    pytest.param({"a": 1, "b": float("nan")}, CBOREncodeValueError, "at ['b']", id="nan-after-plain"),
    pytest.param({"a": 1, "b": [1], 2: 3}, CBOREncodeTypeError, "of type 'int' at the top level",
                 id="int-key-after-a-container"),
    pytest.param({"a": 1, "b": "\ud800"}, CBOREncodeValueError, "not valid Unicode in 'str' at ['b']",
                 id="surrogate-value-after-plain"),
    pytest.param({"a": 1, "\ud800": 2}, CBOREncodeValueError, "map key that is not valid Unicode",
                 id="surrogate-key-after-plain"),
])
def test_encoder_refuses_after_plain_entries(value, error, message):
    with pytest.raises(error) as info:
        dagcbor.dumps(value)
    assert message in str(info.value)


def test_encoder_survives_a_map_changing_under_it():
    # Another thread adds and removes entries (plain and nested) while the map is written:
    # every result must be one whole, valid map.
    shared = {f"k{i:02d}": i for i in range(20)}
    stop = threading.Event()

    def mutate():
        i = 0
        while not stop.is_set():
            i += 1
            shared[f"k{i % 40:02d}"] = [i] if i % 3 else i
            shared.pop(f"k{(i * 7) % 40:02d}", None)

    thread = threading.Thread(target=mutate)
    thread.start()
    try:
        for _ in range(2000):
            decoded = dagcbor.loads(dagcbor.dumps(shared))
            assert all(k.startswith("k") for k in decoded)
    finally:
        stop.set()
        thread.join()


@pytest.mark.parametrize("value, hex_", [
    pytest.param((1, (2,)), "82018102", id="tuple"),
    pytest.param(bytearray(b"\x01"), "4101", id="bytearray"),
    pytest.param(type("S", (str,), {})("k"), "616b", id="str-subclass"),
    pytest.param(type("D", (dict,), {})(b=1, a=2), "a2616102616201", id="dict-subclass"),
])
def test_encoder_other_accepted_types(value, hex_):
    assert dagcbor.dumps(value) == bytes.fromhex(hex_)


class Opaque:
    pass


@pytest.mark.parametrize("value, error, message", [
    pytest.param({1: 2}, CBOREncodeTypeError, "map key (only str keys are allowed) of type 'int' at the top level",
                 id="int-key"),
    pytest.param({"a": [{"b": {1, 2}}]}, CBOREncodeTypeError, "type 'set' at ['a'][0]['b']", id="set-deep"),
    pytest.param([0, Opaque()], CBOREncodeTypeError, "type 'Opaque' at [1]", id="object"),
    pytest.param({"a": {(1,): 0}}, CBOREncodeTypeError, "key (only str keys are allowed) of type 'tuple' at ['a']",
                 id="tuple-key"),
    pytest.param(2**64, CBOREncodeValueError, "integer outside", id="int-too-big"),
    pytest.param([-(2**64) - 1], CBOREncodeValueError, "integer outside -2**64..2**64-1 of type 'int' at [0]",
                 id="int-too-small"),
    pytest.param(float("nan"), CBOREncodeValueError, "NaN or infinity", id="nan"),
    pytest.param({"x": float("-inf")}, CBOREncodeValueError, "at ['x']", id="infinity"),
    pytest.param("\ud800", CBOREncodeValueError, "not valid Unicode", id="lone-surrogate"),
    pytest.param(1j, CBOREncodeTypeError, "'complex'", id="complex"),
])
def test_encoder_refuses(value, error, message):
    with pytest.raises(error) as info:
        dagcbor.dumps(value)
    assert isinstance(info.value, CBOREncodeError)
    assert message in str(info.value)


def test_encoder_bounds_nesting_and_cycles():
    deep = []
    for _ in range(5000):
        deep = [deep]
    with pytest.raises(CBOREncodeValueError, match="nested too deeply"):
        dagcbor.dumps(deep)
    cycle = {}
    cycle["self"] = cycle
    with pytest.raises(CBOREncodeValueError, match="nested too deeply"):
        dagcbor.dumps(cycle)


# ---- refused input: the rule and the offset

INVALID = [
    ("0000", 1, "trailing bytes after the item"),
    ("1817", 0, "head not in its shortest form"),
    ("3800", 0, "head not in its shortest form"),
    ("190017", 0, "head not in its shortest form"),
    ("5801ff", 0, "head not in its shortest form"),
    ("a1780161f6", 1, "head not in its shortest form"),
    ("990000", 0, "head not in its shortest form"),
    ("f93c00", 0, "float narrower than 64 bits"),
    ("fa3fc00000", 0, "float narrower than 64 bits"),
    ("fb7ff8000000000000", 0, "NaN or infinite float"),
    ("fb7ff0000000000000", 0, "NaN or infinite float"),
    ("81fbfff0000000000000", 1, "NaN or infinite float"),
    ("a2616101616102", 4, "map key repeated"),
    ("a2616201616102", 4, "map keys out of length-first bytewise order"),
    ("a2626161016162f6", 5, "map keys out of length-first bytewise order"),
    ("a10102", 1, "map key that is not a text string"),
    ("a1410102", 1, "map key that is not a text string"),
    ("c100", 0, "tag other than 42"),
    ("d82b4100", 0, "tag other than 42"),
    ("d9002a4100", 0, "head not in its shortest form"),
    ("d82a6100", 2, "tag 42 content that is not a byte string"),
    ("d82a40", 2, "tag 42 bytes without the 0x00 prefix"),
    ("d82a420112", 2, "tag 42 bytes without the 0x00 prefix"),
    ("d82a4100", 2, "CID with a malformed version varint"),
    ("d82a43000255", 2, "CID version other than 0 or 1"),
    ("d82a4400015512", 2, "CID with a malformed digest length"),
    ("d82a4600015512020a", 2, "CID digest length that does not match its bytes"),
    ("d82a58220012" "20" + V0_DIGEST[:-2], 2, "CIDv0 whose SHA-256 digest is not 32 bytes"),
    ("d82a4400018000", 2, "CID with a malformed codec varint"),
    ("f7", 0, "simple value other than false, true and null"),
    ("f0", 0, "simple value other than false, true and null"),
    ("f820", 0, "simple value other than false, true and null"),
    ("ff", 0, "break code outside an indefinite-length item"),
    ("9fff", 0, "indefinite length"),
    ("5f4100ff", 0, "indefinite length"),
    ("bf", 0, "indefinite length"),
    ("1c", 0, "reserved additional information in a head"),
    ("62fffe", 0, "text string that is not valid UTF-8"),
    ("a162fffe00", 1, "text string that is not valid UTF-8"),
    ("63eda080", 0, "text string that is not valid UTF-8"),  # an encoded surrogate
]

TRUNCATED = [
    ("", 0), ("18", 0), ("62c3", 0), ("8201", 0), ("a16161", 3), ("d82a", 2), ("fb0000", 0),
    ("9bffffffffffffffff", 0), ("5bffffffffffffffff00", 0), ("bb7fffffffffffffff", 0), ("d82a5b7fffffffffffffff", 2),
]


@pytest.mark.parametrize("hex_, offset, rule", INVALID, ids=[f"{h[:16]}-{r}" for h, _, r in INVALID])
def test_decoder_refuses(hex_, offset, rule):
    with pytest.raises(CBORDecodeError) as info:
        dagcbor.loads(bytes.fromhex(hex_))
    assert type(info.value) is CBORDecodeError
    assert (info.value.offset, info.value.rule) == (offset, rule)
    assert str(info.value) == f"{rule} at byte {offset}"


@pytest.mark.parametrize("hex_, offset", TRUNCATED, ids=[h[:20] or "empty" for h, _ in TRUNCATED])
def test_decoder_truncated_input_is_eof_not_an_allocation(hex_, offset):
    with pytest.raises(CBORDecodeEOF) as info:
        dagcbor.loads(bytes.fromhex(hex_))
    assert info.value.offset == offset


def test_decoder_bounds_nesting():
    assert dagcbor.loads(b"\x81" * 1000 + b"\x00")
    with pytest.raises(CBORDecodeError, match="nested too deeply"):
        dagcbor.loads(b"\x81" * 100000 + b"\x00")
    with pytest.raises(CBORDecodeError, match="nested too deeply"):
        dagcbor.loads(b"\xa1\x61a" * 100000 + b"\x00")


# ---- strict=False: the historical leniencies, and nothing more

LENIENT = [
    pytest.param("a2616201616102", {"b": 1, "a": 2}, id="keys-out-of-order"),
    pytest.param("1817", 23, id="int-not-shortest"),
    pytest.param("3b0000000000000000", -1, id="negative-not-shortest"),
    pytest.param("5801ff", b"\xff", id="length-not-shortest"),
    pytest.param("a178016101", {"a": 1}, id="key-length-not-shortest"),
    pytest.param("d9002a582500" "01551220" + HELLO_DIGEST, CID(HELLO), id="tag-head-not-shortest"),
    pytest.param("f93e00", 1.5, id="half-float"),
    pytest.param("fa3fc00000", 1.5, id="single-float"),
]


@pytest.mark.parametrize("hex_, value", LENIENT)
def test_lenient_decoder_accepts_historical_forms(hex_, value):
    with pytest.raises(CBORDecodeError):
        dagcbor.loads(bytes.fromhex(hex_))
    assert dagcbor.loads(bytes.fromhex(hex_), strict=False) == value


@pytest.mark.parametrize("hex_", [
    "f97e00", "f97c00", "fa7f800000", "fb7ff8000000000000", "a2616101616102", "c100", "9fff", "0000", "f7",
    "a10102", "d82a4100",
])
def test_lenient_decoder_still_refuses(hex_):
    with pytest.raises(CBORDecodeError):
        dagcbor.loads(bytes.fromhex(hex_), strict=False)


def test_load_and_dump_use_files():
    fp = io.BytesIO()
    dagcbor.dump({"a": [1, CID(HELLO)]}, fp)
    fp.seek(0)
    assert dagcbor.load(fp) == {"a": [1, CID(HELLO)]}
    assert dagcbor.loads(memoryview(b"\x82\x01\x02")) == [1, 2]
    with pytest.raises(TypeError, match="bytes-like"):
        dagcbor.loads("00")
    with pytest.raises(TypeError, match="unexpected keyword"):
        dagcbor.loads(b"\x00", strict_mode=True)


def test_event_stream_frame():
    header = {"op": 1, "t": "#commit"}
    body = {"seq": 123, "repo": "did:plc:abc", "blocks": b"\x0a\x0b", "ops": [{"action": "create", "cid": CID(HELLO),
                                                                                "path": "app.bsky.feed.post/3k"}]}
    frame = dagcbor.dumps(header) + dagcbor.dumps(body)
    assert dagcbor.loads_seq(frame) == [header, body]
    assert dagcbor.loads_seq(b"") == []
    with pytest.raises(CBORDecodeError) as info:
        dagcbor.loads(frame)
    assert info.value.offset == len(dagcbor.dumps(header))
    with pytest.raises(CBORDecodeEOF):
        dagcbor.loads_seq(frame[:-1])


# ---- CID

def test_cid_known_values():
    assert str(CID.for_block(b"hello world", codec=dagcbor.RAW)) == HELLO
    assert str(CID.for_block(bytes.fromhex("a0"))) == EMPTY_MAP
    assert str(CID.for_block(dagcbor.dumps({}))) == EMPTY_MAP
    v0 = CID(V0)
    assert (v0.version, v0.codec, str(v0)) == (0, dagcbor.DAG_PB, V0)
    assert str(v0.to_v1()) == V0_AS_V1 and CID(V0_AS_V1).to_v0() == v0
    assert v0.multihash == (dagcbor.SHA2_256, bytes.fromhex(V0_DIGEST))
    v1 = CID(HELLO)
    assert (v1.version, v1.codec, v1.multihash.code, v1.digest.hex()) == (1, dagcbor.RAW, 0x12, HELLO_DIGEST)
    assert bytes(v1) == bytes.fromhex("01551220" + HELLO_DIGEST) and bytes(v1.multihash) == bytes(v1)[2:]


@pytest.mark.parametrize("text", [HELLO, EMPTY_MAP, V0, V0_AS_V1])
def test_cid_string_and_bytes_forms_round_trip(text):
    cid = CID(text)
    assert str(cid) == text and repr(cid) == f"CID({text!r})"
    assert CID(bytes(cid)) == cid and CID.decode(text) == cid
    if cid.version == 1:
        for base in ("base32", "base58btc", "base16", "base64", "base64url"):
            assert CID(cid.encode(base)) == cid
        assert cid.encode("base58btc").startswith("z") and CID(text.upper()) == cid
    else:
        assert cid.encode("base58btc") == text


def test_cid_keeps_unknown_codes():
    raw = bytes.fromhex("01" "f0ff03" "9901" "03" "aabbcc")  # codec 0xfff0, hash code 0x99
    cid = CID(raw)
    assert (cid.codec, cid.multihash.code, cid.digest) == (0xFFF0, 0x99, b"\xaa\xbb\xcc")
    assert CID(str(cid)) == cid
    assert CID.from_parts(1, 0xFFF0, dagcbor.Multihash(0x99, b"\xaa\xbb\xcc")) == cid
    assert dagcbor.loads(dagcbor.dumps([cid])) == [cid]


def test_cid_value_semantics():
    a, b, v0 = CID(HELLO), CID(EMPTY_MAP), CID(V0)
    assert a == CID(HELLO) and a is not CID(HELLO) and a != HELLO and a != bytes(a)
    assert len({a, CID(HELLO), b}) == 2 and hash(a) == hash(CID(bytes(a)))
    assert sorted([v0, b, a]) == sorted([v0, b, a], key=bytes)
    assert a < v0 and v0 > b and a <= a
    with pytest.raises(TypeError):
        a < HELLO  # noqa: B015
    for clone in (copy.copy(a), copy.deepcopy(a), pickle.loads(pickle.dumps(a, protocol=5))):
        assert clone == a and type(clone) is CID
    with pytest.raises(AttributeError):
        a.version = 0
    with pytest.raises(AttributeError):
        a.extra = 1


@pytest.mark.parametrize("value, error", [
    pytest.param("", ValueError, id="empty"),
    pytest.param("xyz", ValueError, id="unknown-multibase"),
    pytest.param("b!!!", ValueError, id="bad-base32"),
    pytest.param("z0OIl", ValueError, id="bad-base58"),
    pytest.param("Qm" + "1" * 44, ValueError, id="v0-not-sha256"),
    pytest.param("f" + "12" "20" + V0_DIGEST, ValueError, id="multibase-v0"),
    pytest.param(b"\x01\x71", ValueError, id="bytes-cut-short"),
    pytest.param(b"\x02\x71\x12\x00", ValueError, id="bytes-version-2"),
    pytest.param(b"\x01\x71\x12\x20" + b"\x00" * 31, ValueError, id="digest-short"),
    pytest.param(b"\x01\x71\x12\x00" + b"\x00", ValueError, id="digest-long"),
    pytest.param(42, TypeError, id="int"),
])
def test_cid_refuses(value, error):
    with pytest.raises(error):
        CID(value)


def _text_item(data):
    if len(data) < 24:
        return bytes([0x60 | len(data)]) + data
    return (bytes([0x78, len(data)]) if len(data) < 256 else b"\x79" + len(data).to_bytes(2, "big")) + data


UTF8_PIECES = ["a", "\u00e9", "\u00ff", "\u0100", "\u07ff", "\u0800", "\ud7ff", "\ue000", "\uffff",
               "\U00010000", "\U0001f98b", "\U0010ffff"]
UTF8_FAULTS = ["80", "c080", "c1bf", "c3", "c328", "e08080", "e09fbf", "eda080", "edbfbf", "e697", "e62880",
               "f0808080", "f08fbfbf", "f4908080", "f5808080", "f09fa6", "ff"]


@pytest.mark.parametrize("piece", UTF8_PIECES, ids=lambda p: f"U+{ord(p):04X}")
@pytest.mark.parametrize("before", ["", "x", "plain ascii text "], ids=["alone", "after-1", "after-17"])
def test_text_of_every_width_decodes_to_the_same_str(piece, before):
    # Short texts, texts past the sizes kept from one decode to the next, and long texts whose
    # ASCII runs are read a word at a time, as values and keys.
    for text in (before + piece, before + piece + "z" * 30, (before + piece + "\u00e9") * 3,
                 (before + piece + "z" * 9) * 20):
        data = text.encode()
        for item in (_text_item(data), b"\xa1" + _text_item(data) + b"\x01"):
            decoded = dagcbor.loads(item)
            got = decoded if isinstance(decoded, str) else next(iter(decoded))
            assert got == text and len(got) == len(text)


@pytest.mark.parametrize("fault", UTF8_FAULTS)
@pytest.mark.parametrize("before", ["", "plain ascii text ", "\u00e9\U0001f98b ", "plain ascii text " * 20],
                         ids=["alone", "after-ascii", "after-wide", "after-long-ascii"])
def test_text_that_is_not_utf8_is_refused(fault, before):
    data = before.encode() + bytes.fromhex(fault) + b" and more"
    for item, at in ((_text_item(data), 0), (b"\xa1" + _text_item(data) + b"\x01", 1), (b"\x81" + _text_item(data), 1)):
        with pytest.raises(CBORDecodeError) as info:
            dagcbor.loads(item)
        assert info.value.rule == "text string that is not valid UTF-8" and info.value.offset == at


@pytest.mark.parametrize("length", [1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 24, 30])
def test_keys_of_one_length_are_ordered_bytewise_at_every_position(length):
    # Keys of equal length are compared a word at a time: a difference at the first, a
    # middle or the last byte, in either direction, and an exact repeat, are each judged.
    base = bytes(b"k" * length)
    for at in sorted({0, length // 2, length - 1}):
        for low, high in ((0x6a, 0x6b), (0x00, 0x7f)):
            first, second = bytearray(base), bytearray(base)
            first[at], second[at] = low, high
            for a, b in ((first, second), (second, first), (first, first)):
                data = b"\xa2" + _text_item(bytes(a)) + b"\x01" + _text_item(bytes(b)) + b"\x02"
                if a < b:
                    assert dagcbor.loads(data) == {a.decode(): 1, b.decode(): 2}
                    continue
                with pytest.raises(CBORDecodeError) as info:
                    dagcbor.loads(data)
                rule = "map key repeated" if a == b else "map keys out of length-first bytewise order"
                assert info.value.rule == rule and info.value.offset == 1 + len(_text_item(bytes(a))) + 1


def test_decoded_cids_are_cid_instances():
    decoded = dagcbor.loads(dagcbor.dumps({"a": CID(HELLO), "b": [CID(V0)]}))
    assert type(decoded["a"]) is CID and type(decoded["b"][0]) is CID
    assert decoded["b"][0].version == 0


def test_repeated_and_colliding_short_strings_decode_to_their_own_text():
    # Short keys and values are shared from one decode to the next: every one must still come
    # back as its own text, whatever else went through the same slots before.
    rng = random.Random(5)
    alphabet = "ab$Zé_0"
    for _ in range(30):
        value = {"".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 26))): [
            "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 22)))] for _ in range(60)}
        assert dagcbor.loads(dagcbor.dumps(value)) == value


# ---- free-threading

@free_threaded_only
def test_import_keeps_the_gil_disabled():
    code = "import sys, kelvo.dagcbor; print(sys._is_gil_enabled())"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_threads_share_values():
    shared = {"k": [CID(HELLO), {"z": 1, "a": b"x" * 100}] * 50}
    data = dagcbor.dumps(shared)
    errors = []

    def work():
        try:
            for _ in range(200):
                assert dagcbor.dumps(shared) == data
                assert dagcbor.loads(data) == shared
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors



def test_threads_share_a_cids_hash_and_bytes():
    # A decoded CID makes its hash and its bytes object on first use; threads that race for
    # them must all get the same ones.
    cids = dagcbor.loads(dagcbor.dumps([CID.for_block(i.to_bytes(2, "big")) for i in range(300)]))
    barrier = threading.Barrier(4)
    seen = [[] for _ in range(4)]

    def work(out):
        barrier.wait()
        out.extend((hash(c), c._bytes) for c in cids)

    threads = [threading.Thread(target=work, args=(out,)) for out in seen]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for out in seen[1:]:
        assert [h for h, _ in out] == [h for h, _ in seen[0]]
        assert all(raw is first for (_, raw), (_, first) in zip(out, seen[0], strict=True))
    assert [h for h, _ in seen[0]] == [hash(bytes(c)) for c in cids]

# ---- the command-line tool

CLI_CASES = [
    pytest.param(["check", "--dag-cbor"], "a2616101616202", 0, "", id="valid"),
    pytest.param(["check", "--dag-cbor"], "a2616201616102", 1, "kelvo: offset 4: map keys out of length-first "
                 "bytewise order\n", id="key-order"),
    pytest.param(["check", "--dag-cbor"], "f93c00", 1, "kelvo: offset 0: float narrower than 64 bits\n", id="half"),
    pytest.param(["check", "--dag-cbor"], "81c100", 1, "kelvo: offset 1: tag other than 42\n", id="tag"),
    pytest.param(["check", "--dag-cbor"], "d82a4101", 1, "kelvo: offset 2: tag 42 bytes without the 0x00 prefix\n",
                 id="cid-prefix"),
    pytest.param(["check", "--dag-cbor"], "0000", 1, "kelvo: offset 1: data after the end of the first item "
                 "(use --seq to read a CBOR sequence)\n", id="trailing"),
    pytest.param(["check", "--dag-cbor", "--seq"], "a0a16161f6", 0, "", id="seq"),
    pytest.param(["check", "--dag-cbor", "--seq"], "a0f7", 1,
                 "kelvo: offset 1: simple value other than false, true and null\n", id="seq-fault"),
    pytest.param(["check", "--dag-cbor", "--deterministic"], "fb3ff8000000000000", 1,
                 "kelvo: offset 0: float that a shorter width holds exactly\n", id="with-deterministic"),
]


@pytest.mark.parametrize("args, hex_, status, stderr", CLI_CASES)
def test_command_line(args, hex_, status, stderr):
    assert run_tool(args, bytes.fromhex(hex_)) == (status, "", stderr)


def test_command_line_diag_shows_tag_42_as_is():
    data = dagcbor.dumps([CID(HELLO)])
    assert run_tool(["diag"], data) == (0, f"[42(h'{'00' + bytes(CID(HELLO)).hex()}')]\n", "")


def run_tool(args, stdin):
    out = subprocess.run([sys.executable, "-m", "kelvo", *args], input=stdin, capture_output=True, timeout=60)
    return out.returncode, out.stdout.decode(), out.stderr.decode()
