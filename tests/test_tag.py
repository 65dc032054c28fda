import pytest

from _kelvo import CBORTag


def test_construction_and_properties():
    t = CBORTag(2**64 - 1, "x")
    assert t.tag == 18446744073709551615
    assert t.value == "x"
    assert repr(CBORTag(6, "x")) == str(CBORTag(6, "x")) == "CBORTag(6, 'x')"
