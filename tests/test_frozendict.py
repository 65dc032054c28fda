from _kelvo import frozendict


def test_construction_and_read():
    d = frozendict({"a": 1}, b=2)
    assert list(d.items()) == [("a", 1), ("b", 2)]
    assert repr(frozendict(a=1)) == "frozendict({'a': 1})"
    assert hash(d) == hash(frozendict(b=2, a=1))
