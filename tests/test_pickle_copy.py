"""Pickling and copying of CBORTag, CBORSimpleValue, undefined and frozendict."""

import concurrent.futures
import copy
import multiprocessing
import pickle
import threading

import pytest

import kelvo
from kelvo import CBORSimpleValue, CBORTag, frozendict, loads, undefined

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def same(a, b, seen=None):
    """Equal values of exactly the same types, all the way down; undefined stays itself."""
    if seen is None:
        seen = set()
    if id(a) in seen:
        return True
    if type(a) is not type(b):
        return False
    if a is undefined or b is undefined:
        return a is b
    if isinstance(a, CBORTag):
        seen.add(id(a))
        return a.tag == b.tag and same(a.value, b.value, seen)
    if isinstance(a, (dict, frozendict)):
        seen.add(id(a))
        return (len(a) == len(b) and all(k in b for k in a)
                and all(same(a[k], b[k], seen) for k in a))
    if isinstance(a, (list, tuple)):
        seen.add(id(a))
        return len(a) == len(b) and all(same(x, y, seen) for x, y in zip(a, b, strict=True))
    return a == b


VALUES = [
    CBORTag(0, "2013-03-21T20:04:00Z"),
    CBORTag(2**64 - 1, [1, {"a": b"x"}, None]),
    CBORTag(1, None),
    CBORSimpleValue(0),
    CBORSimpleValue(255),
    undefined,
    frozendict(),
    frozendict({"a": 1, (1, 2): frozendict(b=CBORTag(3, undefined)), CBORSimpleValue(40): 2.5}),
    [CBORTag(1, frozendict(x=CBORSimpleValue(99))), {"k": undefined},
     {CBORTag(5, "h"), CBORSimpleValue(32)}, (undefined, CBORTag(6, (1, 2)))],
    # a decoded document: a map key that is itself a map, a set, tags inside tags
    loads(bytes.fromhex("a2a1616101f7d9010282f8640dd87b9fd87cf6ff")),
]


@pytest.mark.parametrize("value", VALUES, ids=repr)
def test_pickle_and_copy_keep_types_and_values(value):
    for protocol in PROTOCOLS:
        assert same(pickle.loads(pickle.dumps(value, protocol)), value), protocol
    assert same(copy.deepcopy(value), value)
    assert same(copy.copy(value), value)


def test_immutable_values_copy_to_themselves_and_undefined_stays_single():
    for value in (CBORTag(1, (2, 3)), CBORSimpleValue(7), frozendict(a=[1]), undefined):
        assert copy.copy(value) is value
    simple = CBORSimpleValue(7)
    assert copy.deepcopy(simple) is simple
    assert copy.deepcopy(undefined) is undefined
    assert pickle.loads(pickle.dumps([undefined, undefined]))[1] is undefined
    # A deep copy does not share mutable contents with the original.
    tag = CBORTag(1, [1])
    fd = frozendict(a=[1])
    assert copy.deepcopy(tag).value is not tag.value
    assert copy.deepcopy(fd)["a"] is not fd["a"]


def _list_through_tag():
    items = []
    tag = CBORTag(6, items)
    items.append(tag)
    return tag


def _list_through_frozendict():
    items = []
    fd = frozendict(a=items)
    items.append(fd)
    return fd


# (value containing itself, path from the root back to the root); the root of a list is its
# first item
CYCLES = [
    ("tag in itself", lambda: loads(bytes.fromhex("d81cc6d81d00")), lambda c: c.value),
    ("tag-frozendict-tag", lambda: loads(bytes.fromhex("d81cc6a101d81d00")), lambda c: c.value[1]),
    ("frozendict-tag-frozendict", lambda: loads(bytes.fromhex("d81cc6a101d81d00")).value,
     lambda c: c[1].value),
    ("tag-tuple-tag", lambda: loads(bytes.fromhex("d81cc682d81d0001")), lambda c: c.value[0]),
    ("list-tag-frozendict-tag", lambda: loads(bytes.fromhex("81d81cc6a101d81d00")),
     lambda c: c.value[1]),
    ("tag-list-tag", _list_through_tag, lambda c: c.value[0]),
    ("frozendict-list-frozendict", _list_through_frozendict, lambda c: c["a"][0]),
]


@pytest.mark.parametrize("make, path", [c[1:] for c in CYCLES], ids=[c[0] for c in CYCLES])
def test_values_containing_themselves_copy_with_the_same_shape(make, path):
    original = make()
    root = original[0] if isinstance(original, list) else original
    copies = [pickle.loads(pickle.dumps(original, p)) for p in PROTOCOLS]
    copies.append(copy.deepcopy(original))
    for c in copies:
        c_root = c[0] if isinstance(c, list) else c
        assert c_root is not root
        assert path(c_root) is c_root
        assert repr(c) == repr(original)


def test_copying_support_leaves_both_types_read_only():
    tag = CBORTag(1, 2)
    with pytest.raises(TypeError, match="read-only"):
        tag.__setstate__((3,))
    assert tag.value == 2
    # The tag the unpickler makes cannot be read until its value arrives, and only once.
    pending = CBORTag._restore(7)
    with pytest.raises(RuntimeError):
        pending.value
    with pytest.raises(RuntimeError):
        hash(pending)
    with pytest.raises(TypeError, match="1-tuple"):
        pending.__setstate__([1])
    pending.__setstate__(([1],))
    assert pending == CBORTag(7, [1])
    with pytest.raises(TypeError, match="read-only"):
        pending.__setstate__(([2],))
    with pytest.raises(TypeError):
        CBORTag._restore(-1)
    # A frozendict hands out a copy of its items, never its own dict.
    fd = frozendict(a=1)
    fd.__reduce__()[1][0]["a"] = 2
    assert fd == {"a": 1}
    for obj in (tag, fd, CBORSimpleValue(1)):
        with pytest.raises((AttributeError, TypeError)):
            obj.__setstate__ = None


def test_values_cross_a_process_boundary():
    docs = [bytes.fromhex(h) for h in (
        "d81cc6a101d81d00",                      # a tag containing itself through a frozendict
        "a2a1616101f7d9010282f8640dd87b9fd87cf6ff",
        "82f7f8ff",
    )]
    here = [loads(d) for d in docs]
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        decoded = list(pool.map(kelvo.loads, docs))                 # values come back
        echoed = pool.submit(copy.deepcopy, VALUES + here).result()  # and go there and back
    for a, b in zip(decoded, here, strict=True):
        assert repr(a) == repr(b)
        assert same(a, b)
    assert decoded[0].value[1] is decoded[0]
    assert decoded[2][0] is undefined
    assert same(echoed, VALUES + here)
    assert echoed[len(VALUES)].value[1] is echoed[len(VALUES)]


def test_threads_copy_the_same_values_at_once():
    shared = [loads(bytes.fromhex("d81cc6a101d81d00")), frozendict(a=CBORTag(1, [2])), undefined]
    failures = []
    barrier = threading.Barrier(4)

    def work():
        barrier.wait()
        try:
            for _ in range(200):
                for c in (pickle.loads(pickle.dumps(shared)), copy.deepcopy(shared)):
                    if not (c[0].value[1] is c[0] and same(c, shared)):
                        failures.append(c)
        except Exception as exc:
            failures.append(exc)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
