import functools
import gc
import operator
import subprocess
import sys
import weakref

import pytest

import _kelvo
from _kelvo import CBORSimpleValue, CBORTag, frozendict, undefined

from siphash13 import siphash13, tag_hash
from value_helpers import Index, outcome, run_with_stack

TAG_MESSAGE = "CBORTag tags must be positive integers less than 2**64"
OPS = [operator.lt, operator.le, operator.eq, operator.ne, operator.gt, operator.ge]


class HashReturns:
    """A value whose __hash__ method returns a fixed object."""

    def __init__(self, result):
        self.result = result

    def __hash__(self):
        return self.result


class HashesTag:
    """A value whose hash needs the hash of the tag that holds it."""

    tag = None

    def __hash__(self):
        return hash(self.tag)


def self_containing(number=1):
    t = CBORTag(number, [])
    t.value.append(t)
    return t


def test_reference_siphash_agrees_with_the_interpreter():
    # With hash randomisation off, CPython hashes bytes with SipHash-1-3 under zero keys.
    lengths = [1, 7, 8, 9, 15, 16, 17, 31]
    code = f"print([hash(bytes(range(n))) for n in {lengths}])"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env={"PYTHONHASHSEED": "0"})
    expected = [siphash13(bytes(range(n))) for n in lengths]
    expected = [h - (1 << 64) if h >= 1 << 63 else h for h in expected]
    assert out.stdout.strip() == str(expected)


@pytest.mark.parametrize("given, number", [
    (0, 0), (1, 1), (True, 1), (False, 0), (2**64 - 1, 18446744073709551615), (Index(55799), 55799),
])
def test_accepted_tag_numbers(given, number):
    value = object()
    t = CBORTag(given, value)
    assert t.tag == number and type(t.tag) is int
    assert t.value is value


@pytest.mark.parametrize("given", [-1, 2**64, 2**100, "1", 1.0, None, Index(-1)])
def test_refused_tag_numbers(given):
    with pytest.raises(TypeError) as info:
        CBORTag(given, 0)
    assert str(info.value) == TAG_MESSAGE
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "CBORTag.__new__() missing 2 required positional arguments: 'tag' and 'value'"),
    ((1,), {}, "CBORTag.__new__() missing 1 required positional argument: 'value'"),
    ((1, 2, 3), {}, "CBORTag.__new__() takes 2 positional arguments but 3 were given"),
    ((1,), {"tag": 2}, "CBORTag.__new__() got multiple values for argument 'tag'"),
    ((1, 2), {"x": 2}, "CBORTag.__new__() got an unexpected keyword argument 'x'"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        CBORTag(*args, **kwargs)
    assert str(info.value) == message


def test_keyword_arguments_and_read_only_properties():
    t = CBORTag(value="v", tag=3)
    assert (t.tag, t.value) == (3, "v")
    for name in ("tag", "value", "other"):
        with pytest.raises(AttributeError):
            setattr(t, name, 1)
    with pytest.raises(AttributeError):
        del t.value


@pytest.mark.parametrize("obj", [CBORTag(1, 2), CBORSimpleValue(1), frozendict(), undefined],
                         ids=["CBORTag", "CBORSimpleValue", "frozendict", "UndefinedType"])
def test_value_classes_are_final_without_dict_or_weakrefs(obj):
    cls = type(obj)
    assert cls.__module__ == "kelvo"
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert gc.is_tracked(obj)


@pytest.mark.parametrize("t, text", [
    (CBORTag(6, "x"), "CBORTag(6, 'x')"),
    (CBORTag(2**64 - 1, None), "CBORTag(18446744073709551615, None)"),
    (CBORTag(1, CBORTag(2, [b"a"])), "CBORTag(1, CBORTag(2, [b'a']))"),
    (self_containing(), "CBORTag(1, [...])"),
])
def test_repr(t, text):
    assert repr(t) == str(t) == text


def test_repr_marks_only_the_recurring_tag():
    outer = CBORTag(1, None)
    inner = CBORTag(2, [outer])
    outer = CBORTag(1, [inner, CBORTag(3, 4)])
    inner.value.append(inner)
    assert repr(outer) == "CBORTag(1, [CBORTag(2, [CBORTag(1, None), ...]), CBORTag(3, 4)])"


def test_repr_error_of_the_value_propagates():
    class Bad:
        def __repr__(self):
            raise ValueError("no repr")

    with pytest.raises(ValueError, match="no repr"):
        repr(CBORTag(1, Bad()))


@pytest.mark.parametrize("tag, value, value_hash", [
    (0, 0, 0),
    (1, 2, 2),
    (2**64 - 1, -1, -2),
    (6, "x", hash("x")),
    (7, (1, "a"), hash((1, "a"))),
    (8, CBORTag(1, 2), tag_hash(1, 2)),
    (9, HashReturns(-1), -1),              # the method's own result, not the slot's
    (10, HashReturns(2**63 - 1), 2**63 - 1),
    (11, HashReturns(-2**63), -2**63),
    (12, HashReturns(True), 1),
])
def test_hash_values(tag, value, value_hash):
    assert hash(CBORTag(tag, value)) == tag_hash(tag, value_hash)


def test_hash_of_equal_tags_is_equal():
    assert hash(CBORTag(1, 2)) == hash(CBORTag(1, 2))
    assert CBORTag(1, 2) in {CBORTag(1, 2)}


@pytest.mark.parametrize("value, cause", [
    ([], TypeError),
    ((1, []), TypeError),
    (HashReturns(None), None),       # conversion errors pass unchanged (below)
])
def test_unhashable_value(value, cause):
    if cause is None:
        with pytest.raises(TypeError) as info:
            hash(CBORTag(1, value))
        assert "not hashable" not in str(info.value)
        return
    with pytest.raises(RuntimeError) as info:
        hash(CBORTag(1, value))
    assert str(info.value) == "This CBORTag is not hashable because its value is not hashable"
    assert type(info.value.__cause__) is cause


def test_value_hash_results_outside_64_bits_overflow():
    with pytest.raises(OverflowError):
        hash(CBORTag(1, HashReturns(2**63)))


def test_value_with_hash_set_to_none():
    class NoHash:
        __hash__ = None

    with pytest.raises(RuntimeError) as info:
        hash(CBORTag(1, NoHash()))
    assert type(info.value.__cause__) is TypeError


def test_hash_of_a_tag_reached_through_its_own_value():
    value = HashesTag()
    t = value.tag = CBORTag(1, value)
    with pytest.raises(RuntimeError) as info:
        hash(t)
    assert str(info.value) == "This CBORTag is not hashable because its value is not hashable"
    assert type(info.value.__cause__) is RuntimeError
    assert str(info.value.__cause__) == "This CBORTag is not hashable because it contains a reference to itself"
    # The guard is left on every path: the tag can be printed and compared afterwards.
    assert t == t and repr(t).startswith("CBORTag(1, ")


class Unorderable:
    def __eq__(self, other):
        raise AssertionError("identical operands are not compared")

    __lt__ = __le__ = __gt__ = __ge__ = __ne__ = __eq__
    __hash__ = object.__hash__


def test_identical_operands():
    t = CBORTag(1, Unorderable())
    assert [op(t, t) for op in OPS] == [False, True, True, False, False, True]


@pytest.mark.parametrize("a, b, expected", [
    # lt, le, eq, ne, gt, ge
    (CBORTag(1, 2), CBORTag(1, 2), [False, True, True, False, False, True]),
    (CBORTag(1, 5), CBORTag(2, 0), [True, True, False, True, False, False]),
    (CBORTag(2, 0), CBORTag(1, 5), [False, False, False, True, True, True]),
    (CBORTag(1, 1), CBORTag(1, 2), [True, True, False, True, False, False]),
    (CBORTag(1, [1, 2]), CBORTag(1, [1, 3]), [True, True, False, True, False, False]),
    (CBORTag(0, 2**64), CBORTag(2**64 - 1, -1), [True, True, False, True, False, False]),
    (CBORTag(1, "a"), CBORTag(2, 0), [True, True, False, True, False, False]),  # values never meet
])
def test_comparison_table(a, b, expected):
    assert [op(a, b) for op in OPS] == expected


def test_comparison_result_goes_through_truth():
    class Vec:
        def __eq__(self, other):
            return [1]

    assert (CBORTag(1, Vec()) == CBORTag(1, Vec())) is True


def test_comparison_with_other_types():
    assert (CBORTag(1, 2) == (1, 2)) is False
    assert (CBORTag(1, 2) != (1, 2)) is True
    with pytest.raises(TypeError, match="'<' not supported"):
        CBORTag(1, 2) < (1, 2)


def test_comparison_errors_propagate():
    with pytest.raises(TypeError):
        CBORTag(1, 1) < CBORTag(1, "a")


def test_comparing_self_containing_tags():
    a, b = self_containing(), self_containing()
    for op in (operator.eq, operator.lt):
        with pytest.raises(RuntimeError) as info:
            op(a, b)
        assert str(info.value) == "This CBORTag is not comparable because it contains a reference to itself"


def test_a_tag_being_compared_cannot_be_hashed_by_its_value():
    class Probe:
        def __eq__(self, other):
            return hash(t) == 0

    t = CBORTag(1, Probe())
    with pytest.raises(RuntimeError) as info:
        t == CBORTag(1, Probe())
    assert str(info.value) == "This CBORTag is not hashable because it contains a reference to itself"


def test_garbage_collector_reclaims_a_tag_cycle():
    class Marker:
        pass

    marker = Marker()
    alive = weakref.ref(marker)
    t = CBORTag(1, [marker])
    t.value.append(t)
    assert t.value in gc.get_referents(t)
    del t, marker
    gc.collect()
    assert alive() is None


N_DEEP = 100_000


@pytest.mark.parametrize("wrap", [lambda t: t, lambda t: [t], lambda t: (t,)], ids=["tag", "list", "tuple"])
@pytest.mark.parametrize("stack_size", [None, 1 << 20], ids=["main-thread", "1MiB-thread"])
def test_deep_chain_of_tags(wrap, stack_size):
    def chain():
        t = 0
        for _ in range(N_DEEP):
            t = CBORTag(1, wrap(t))
        return t

    def measure(t, other):
        return [outcome(repr, t), outcome(hash, t), outcome(operator.eq, t, other)]

    pair = [chain(), chain()]
    results = run_with_stack(stack_size, functools.partial(measure, *pair))
    assert results[0] is RecursionError
    assert results[1] in (RuntimeError, RecursionError)
    assert results[2] is RecursionError
    pair.clear()  # releasing the chains must not exhaust the C stack


def test_module_entries():
    names = _kelvo.__all__
    assert names.index("CBORTag") + 1 == names.index("CBORSimpleValue") == names.index("frozendict") - 1
    assert names.index("frozendict") + 1 == names.index("CBORError")
    assert CBORTag.__doc__ == ("Represents a CBOR semantic tag.\n\n:param tag: tag number\n"
                               ":param value: encapsulated value (any object)")
    assert CBORTag.__text_signature__ == "(tag, value)"
