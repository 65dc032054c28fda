from _kelvo import CBORSimpleValue, undefined


def test_construction_and_text():
    assert CBORSimpleValue(7).value == 7
    assert repr(CBORSimpleValue(7)) == "CBORSimpleValue(7)"
    assert str(CBORSimpleValue(7)) == "7"
    assert repr(undefined) == "undefined"
    assert not undefined
