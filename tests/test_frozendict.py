import collections.abc
import functools
import gc
import operator
import threading
import types
import weakref

import pytest

from _kelvo import CBORTag, frozendict

from siphash13 import frozendict_hash, tag_hash
from value_helpers import outcome, run_with_stack


@pytest.mark.parametrize("args, kwargs, items", [
    ((), {}, []),
    (({"a": 1},), {"b": 2}, [("a", 1), ("b", 2)]),
    (([("a", 1), ("a", 2)],), {}, [("a", 2)]),
    (([(1, "x"), (2, "y")],), {"c": 3}, [(1, "x"), (2, "y"), ("c", 3)]),
    ((frozendict(z=0),), {}, [("z", 0)]),
])
def test_construction_like_dict(args, kwargs, items):
    d = frozendict(*args, **kwargs)
    assert list(d.items()) == items
    assert list(d) == [k for k, _ in items]
    assert len(d) == len(items)


@pytest.mark.parametrize("args, exc", [((1,), TypeError), (([1],), TypeError), (({}, {}), TypeError),
                                       (([("a", 1, 2)],), ValueError)])
def test_construction_errors_come_from_dict(args, exc):
    with pytest.raises(exc) as mine:
        frozendict(*args)
    with pytest.raises(exc) as builtin:
        dict(*args)
    assert str(mine.value) == str(builtin.value)


def test_read_operations():
    d = frozendict({"a": 1, (1, 2): "t"})
    assert d["a"] == 1 and d[(1, 2)] == "t"
    assert "a" in d and "b" not in d
    assert d.get("a") == 1 and d.get("b") is None and d.get("b", 5) == 5 and d.get("b", default=5) == 5
    assert list(d.keys()) == ["a", (1, 2)] and list(d.values()) == [1, "t"]
    assert isinstance(d.items(), type({}.items()))
    assert dict(d) == {**d} == {"a": 1, (1, 2): "t"}
    with pytest.raises(KeyError) as info:
        d[(3, 4)]
    assert info.value.args == ((3, 4),)
    with pytest.raises(TypeError):
        [] in d


@pytest.mark.parametrize("call, message", [
    (lambda d: d.get(), "frozendict.get() missing 1 required positional argument: 'key'"),
    (lambda d: d.get(1, 2, 3), "frozendict.get() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda d: d.get(key="a"),
     "frozendict.get() got some positional-only arguments passed as keyword arguments: 'key'"),
])
def test_get_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(frozendict(a=1))
    assert str(info.value) == message


def test_no_mutation():
    d = frozendict(a=1)
    with pytest.raises(TypeError):
        d["b"] = 2
    with pytest.raises(TypeError):
        del d["a"]
    for name in ("update", "pop", "popitem", "clear", "setdefault", "__setitem__"):
        assert not hasattr(d, name)
    with pytest.raises(AttributeError):
        d.x = 1
    assert d == {"a": 1}


@pytest.mark.parametrize("d, text", [
    (frozendict(), "frozendict({})"),
    (frozendict(a=1), "frozendict({'a': 1})"),
    (frozendict(a=frozendict(b=[1])), "frozendict({'a': frozendict({'b': [1]})})"),
])
def test_repr(d, text):
    assert repr(d) == str(d) == text


@pytest.mark.parametrize("a, b, equal", [
    (frozendict(a=1), {"a": 1}, True),
    ({"a": 1}, frozendict(a=1), True),
    (frozendict(a=1), frozendict(a=1), True),
    (frozendict(a=1, b=2), frozendict(b=2, a=1), True),
    (frozendict(a=1), {"a": 2}, False),
    (frozendict(a=1), frozendict(), False),
    (frozendict(a=1), [("a", 1)], False),
    (frozendict(), None, False),
])
def test_equality_table(a, b, equal):
    assert (a == b) is equal
    assert (a != b) is (not equal)


def test_ordering_is_not_supported():
    with pytest.raises(TypeError):
        frozendict() < frozendict()
    with pytest.raises(TypeError):
        frozendict() >= {}


@pytest.mark.parametrize("items", [[], [("a", 1)], [("a", 1), ("b", (2, 3))], [(1, None), (frozenset(), b"")]])
def test_hash_values(items):
    assert hash(frozendict(items)) == frozendict_hash(items)
    assert hash(frozendict(reversed(items))) == frozendict_hash(items)


def test_hash_of_the_empty_frozendict():
    assert hash(frozendict()) == frozendict_hash([])


def test_as_dict_key_and_set_member():
    d = {frozendict(a=1): "x"}
    assert d[frozendict(a=1)] == "x"
    assert frozendict(a=1, b=2) in {frozendict(b=2, a=1)}
    assert hash(CBORTag(5, frozendict(a=1))) == tag_hash(5, hash(frozendict(a=1)))


def test_unhashable_item_is_not_cached():
    d = frozendict(a=[])
    for _ in range(2):
        with pytest.raises(TypeError):
            hash(d)


def test_hash_reentered_by_an_item_on_the_same_thread():
    class Back:
        active = True

        def __hash__(self):
            return hash(d) if self.active else 7

    back = Back()
    d = frozendict(a=back)
    with pytest.raises(RuntimeError) as info:
        hash(d)
    assert str(info.value) == "Already borrowed"
    back.active = False
    expected = frozendict_hash([("a", back)])
    assert hash(d) == expected
    back.active = True
    assert hash(d) == expected  # cached: the items are not hashed again


def test_hash_overlapping_in_two_threads():
    # While one thread is inside the hash computation of `d`, another thread hashes it too.
    inside = threading.Event()
    release = threading.Event()

    class Slow:
        def __hash__(self):
            if threading.current_thread() is first:
                inside.set()
                release.wait(10)
            return 3

    d = frozendict(a=Slow())
    results = {}

    def run(name):
        try:
            results[name] = hash(d)
        except BaseException as e:  # noqa: BLE001
            results[name] = e
        finally:
            release.set()

    first = threading.Thread(target=run, args=("first",))
    first.start()
    assert inside.wait(10)
    run("second")
    first.join()
    assert results["first"] == results["second"] == hash(d)


def test_generic_alias():
    alias = frozendict[str, int]
    assert isinstance(alias, types.GenericAlias)
    assert alias.__origin__ is frozendict and alias.__args__ == (str, int)
    assert frozendict[1, "x"].__args__ == (1, "x")
    for key in (int, (int,), (int, str, bytes), [int, str]):
        with pytest.raises(TypeError) as info:
            frozendict[key]
        assert str(info.value) == "frozendict[...] expects exactly 2 type arguments"


def test_registered_as_mapping():
    assert isinstance(frozendict(), collections.abc.Mapping)
    assert issubclass(frozendict, collections.abc.Mapping)
    match frozendict(a=1, b=2):
        case {"a": x}:
            assert x == 1
        case _:
            pytest.fail("no match")
    match frozendict(a=1):
        case [*_]:
            pytest.fail("matched as a sequence")


def test_docstring():
    assert frozendict.__text_signature__ == "(*args, **kwargs)"
    assert frozendict.__doc__.startswith("A hashable, immutable mapping type.")


def test_garbage_collector_reclaims_a_cycle():
    class Marker:
        pass

    marker = Marker()
    alive = weakref.ref(marker)
    holder = [marker]
    d = frozendict(a=holder)
    holder.append(d)
    del d, holder, marker
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("wrap", [lambda d: d, lambda d: (d,)], ids=["frozendict", "tuple"])
@pytest.mark.parametrize("stack_size", [None, 1 << 20], ids=["main-thread", "1MiB-thread"])
def test_deep_chain(wrap, stack_size):
    def chain():
        d = frozendict()
        for _ in range(100_000):
            d = frozendict(a=wrap(d))
        return d

    def measure(d, other):
        return [outcome(repr, d), outcome(hash, d), outcome(operator.eq, d, other)]

    pair = [chain(), chain()]
    results = run_with_stack(stack_size, functools.partial(measure, *pair))
    assert results == [RecursionError] * 3
    pair.clear()  # releasing the chains must not exhaust the C stack


def test_threads_share_tags_and_frozendicts():
    n_threads, rounds = 6, 30
    items = [[("k", i), (i, (i, "v"))] for i in range(300)]
    fresh = [frozendict(pairs) for pairs in items]       # no hash computed yet
    expected = [frozendict_hash(pairs) for pairs in items]
    loop, loop2 = CBORTag(1, []), CBORTag(1, [])
    loop.value.append(loop)
    loop2.value.append(loop2)
    tags = [CBORTag(i, fd) for i, fd in enumerate(fresh[:50])]
    twins = [CBORTag(i, frozendict(pairs)) for i, pairs in enumerate(items[:50])]
    barrier = threading.Barrier(n_threads)
    errors = []

    def work():
        try:
            barrier.wait()
            for fd, h in zip(fresh, expected, strict=True):
                assert hash(fd) == h
            for _ in range(rounds):
                assert repr(loop) == "CBORTag(1, [...])"
                for t, twin in zip(tags, twins, strict=True):
                    assert t == twin and t < CBORTag(t.tag + 1, None)
                    assert hash(t) == hash(twin)
                    assert t.value == dict(t.value)
                    assert repr(t).startswith(f"CBORTag({t.tag}, frozendict(")
                with pytest.raises(RuntimeError, match="not comparable"):
                    loop == loop2
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
