"""String references (tags 25 and 256) and their namespaces."""

import io

import pytest

from _kelvo import CBOREncoder, CBORTag, dumps


def refs(value, **options):
    return dumps(value, string_referencing=True, **options).hex()


@pytest.mark.parametrize("value, expected", [
    (["aaa", "aaa"], "d90100" "82" "63616161" "d81900"),
    (["aa", "aa"], "d90100" "82" "626161" "626161"),
    ("aaa", "63616161"),
    (["aaa", b"aaa", "aaa", b"aaa"], "d90100" "84" "63616161" "43616161" "d81900" "d81901"),
    (["aaa", ["aaa"]], "d90100" "82" "63616161" "81" "d81900"),
    ([bytearray(b"abc"), b"abc"], "d90100" "82" "43616263" "d81900"),
    ({"aaa": "aaa"}, "d90100" "a1" "63616161" "d81900"),
    ([2**64, 2**64], "d90100" "82" "c249010000000000000000" "c2d81900"),
    (CBORTag(256, ["aaa", "aaa"]), "d90100" "d90100" "82" "63616161" "d81900"),
    ([CBORTag(256, ["aaa"]), "aaa", "aaa"], "d90100" "83" "d90100" "81" "63616161" "63616161" "d81900"),
])
def test_string_references(value, expected):
    assert refs(value) == expected


def test_explicit_namespace_without_string_referencing():
    assert dumps(CBORTag(256, ["aaa", "aaa"])).hex() == "d90100" "82" "63616161" "d81900"
    assert dumps([CBORTag(256, ["aaa"]), "aaa", "aaa"]).hex() == "83" "d90100" "81" "63616161" "63616161" "63616161"


def test_minimum_length_follows_the_index():
    strings = [f"{i:03d}" for i in range(24)]  # indexes 0 to 23
    out = refs(strings + ["xyz", "xyz", "wxyz", "wxyz"])
    body = "".join("63" + s.encode().hex() for s in strings)
    assert out == "d90100" "981c" + body + "63" "78797a" "63" "78797a" "64" "7778797a" "d8191818"


def test_canonical_sort_keys_are_full_strings():
    assert refs({"aaa": 1, "bbbb": "aaa"}, canonical=True) == \
        "d90100" "a2" "63616161" "01" "6462626262" "d81900"


def test_encode_to_bytes_is_self_contained():
    inner = []

    class Marker:
        pass

    def default(enc, value):
        inner.append(enc.encode_to_bytes(["aaa"]))
        enc.encode_string("aaa")

    out = refs(["aaa", Marker(), "bbb", "bbb"], default=default)
    assert inner == [bytes.fromhex("d90100" "81" "63616161")]
    # The outer numbering goes on unaffected: "aaa" is 0, "bbb" is 1.
    assert out == "d90100" "84" "63616161" "d81900" "63626262" "d81901"


def test_each_implicit_namespace_starts_empty():
    class Pair:
        pass

    def default(enc, value):  # writes two top-level containers
        enc.encode(["aaa"])
        enc.encode(["aaa", "aaa"])

    out = refs(Pair(), default=default)
    assert out == "d90100" "81" "63616161" "d90100" "82" "63616161" "d81900"


def test_no_reference_outside_a_namespace():
    class Twice:
        pass

    def default(enc, value):
        enc.encode_value("aaa")
        enc.encode_value("aaa")

    assert refs(Twice(), default=default) == "63616161" "63616161"


def test_idle_calls_leave_no_numbering_behind(bio):
    e = CBOREncoder(bio, string_referencing=True)
    e.encode_value(["aaa"])
    e.encode_value(["aaa", CBORTag(1, 0), "aaa"])  # the tag's content is an outermost encode
    e.encode(["aaa"])
    assert bio.getvalue().hex() == ("d90100" "81" "63616161"
                                    "d90100" "83" "63616161" "c100" "d81900"
                                    "d90100" "81" "63616161")


def test_encoders_entry_for_int_sees_reference_indexes():
    seen = []

    def as_int(enc, value):
        seen.append(value)
        enc.encode_length(0, value)

    assert refs(["aaa", "aaa"], encoders={int: as_int}) == "d90100" "82" "63616161" "d81900"
    assert seen == [0]


def test_namespacing_property():
    e = CBOREncoder(io.BytesIO(), string_referencing=True)
    seen = []
    e.default = lambda enc, value: seen.append(enc.string_namespacing) or enc.encode_none()
    e.encode([object()])
    e.encode(object())
    assert seen == [False, True]
    assert e.string_namespacing is True
