import operator
import subprocess
import sys

import pytest

import _kelvo
from _kelvo import CBORSimpleValue, undefined

from value_helpers import Index

RANGE_MESSAGE = "simple value out of range (0..23, 32..255)"
OPS = [operator.lt, operator.le, operator.eq, operator.ne, operator.gt, operator.ge]


@pytest.mark.parametrize("given, number", [(0, 0), (23, 23), (32, 32), (255, 255), (True, 1), (False, 0)])
def test_accepted_values(given, number):
    v = CBORSimpleValue(given)
    assert v.value == number and type(v.value) is int
    assert CBORSimpleValue(value=given) == v


@pytest.mark.parametrize("given", [24, 31, 256, -1, 2**70, -2**70])
def test_values_out_of_range(given):
    with pytest.raises(ValueError) as info:
        CBORSimpleValue(given)
    assert str(info.value) == RANGE_MESSAGE
    assert info.value.__context__ is None


@pytest.mark.parametrize("given, type_name", [("1", "str"), (1.0, "float"), (Index(5), "Index")])
def test_values_that_are_not_ints(given, type_name):
    with pytest.raises(TypeError) as info:
        CBORSimpleValue(given)
    assert str(info.value) == f"'{type_name}' object is not an instance of 'int'"
    assert info.value.__notes__ == ["while processing 'value'"]


def test_argument_errors():
    with pytest.raises(TypeError, match=r"^CBORSimpleValue.__new__\(\) missing 1 required positional "
                                        r"argument: 'value'$"):
        CBORSimpleValue()
    with pytest.raises(TypeError, match=r"^CBORSimpleValue.__new__\(\) takes 1 positional arguments but 2 were"):
        CBORSimpleValue(1, 2)


def test_text_and_read_only_value():
    v = CBORSimpleValue(7)
    assert repr(v) == "CBORSimpleValue(7)"
    assert str(v) == "7"
    with pytest.raises(AttributeError):
        v.value = 6
    assert CBORSimpleValue.__doc__.startswith('Represents a CBOR "simple value".')


@pytest.mark.parametrize("other, expected", [
    # lt, le, eq, ne, gt, ge for CBORSimpleValue(20) against `other`
    (CBORSimpleValue(20), [False, True, True, False, False, True]),
    (CBORSimpleValue(32), [True, True, False, True, False, False]),
    (20, [False, True, True, False, False, True]),
    (25, [True, True, False, True, False, False]),   # 24..31 are accepted in comparisons
    (0, [False, False, False, True, True, True]),
    (255, [True, True, False, True, False, False]),
    (True, [False, False, False, True, True, True]),
    (Index(20), [False, True, True, False, False, True]),
])
def test_comparison_table(other, expected):
    assert [op(CBORSimpleValue(20), other) for op in OPS] == expected


@pytest.mark.parametrize("other", [20.0, "20", None, 256, -1, 2**70, Index(300)])
def test_comparison_with_non_simple_values(other):
    v = CBORSimpleValue(20)
    assert (v == other) is False
    assert (v != other) is True
    with pytest.raises(TypeError):
        v < other


def test_reflected_comparison_and_hash_agree_with_int():
    assert 5 == CBORSimpleValue(5)
    assert 6 > CBORSimpleValue(5)
    for n in (0, 5, 23, 255):
        assert hash(CBORSimpleValue(n)) == hash(n)
    assert {CBORSimpleValue(5): 1}[5] == 1
    assert {5: 1}[CBORSimpleValue(5)] == 1


def test_undefined():
    assert repr(undefined) == str(undefined) == "undefined"
    assert bool(undefined) is False
    assert undefined == undefined and undefined != None  # noqa: E711
    assert hash(undefined) == object.__hash__(undefined)
    cls = type(undefined)
    assert cls.__name__ == "UndefinedType" and cls.__module__ == "kelvo"
    assert cls.__doc__ is None
    assert not hasattr(_kelvo, "UndefinedType")
    assert _kelvo.__all__[-1] == "undefined"
    with pytest.raises(TypeError):
        cls()


def test_reimport_keeps_classes_and_makes_a_new_undefined():
    code = """if True:
        import sys, _kelvo
        first = _kelvo
        del sys.modules["_kelvo"]
        import _kelvo
        assert _kelvo is not first
        assert _kelvo.CBORSimpleValue is first.CBORSimpleValue
        assert type(_kelvo.undefined) is type(first.undefined)
        assert _kelvo.undefined is not first.undefined
        print("ok")
    """
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.stdout.strip() == "ok", out.stderr
