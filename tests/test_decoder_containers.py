"""Arrays, maps and sets: mutable and immutable forms, duplicate keys, strict key types,
object_hook, and memory that follows the input rather than the declared counts."""

import sys
import tracemalloc

import pytest

from _kelvo import CBORDecodeEOF, CBORDecodeError, CBORTag, dumps, frozendict, loads

from decoder_support import h


@pytest.mark.parametrize("data, mutable, immutable", [
    ("80", [], ()),
    ("83 01 02 03", [1, 2, 3], (1, 2, 3)),
    ("9f ff", [], ()),
    ("9f 01 82 02 03 ff", [1, [2, 3]], (1, (2, 3))),
    ("82 9f ff 80", [[], []], ((), ())),
    ("a0", {}, frozendict()),
    ("a2 01 02 03 04", {1: 2, 3: 4}, frozendict({1: 2, 3: 4})),
    ("bf 61 61 01 61 62 9f ff ff", {"a": 1, "b": []}, frozendict({"a": 1, "b": ()})),
    ("d9 0102 82 01 02", {1, 2}, frozenset({1, 2})),
    ("d9 0102 80", set(), frozenset()),
])
def test_containers(data, mutable, immutable):
    value = loads(h(data))
    assert value == mutable and type(value) is type(mutable)
    value = loads(h(data), immutable=True)
    assert value == immutable and type(value) is type(immutable)


def test_large_containers():
    items = list(range(1000))
    data = b"\x99\x03\xe8" + b"".join(b"\x19" + i.to_bytes(2, "big") for i in items)
    assert loads(data) == items
    assert loads(data, immutable=True) == tuple(items)
    data = b"\xb9\x03\xe8" + b"".join(b"\x19" + i.to_bytes(2, "big") + b"\xf6" for i in items)
    assert loads(data) == dict.fromkeys(items)


def test_duplicate_keys():
    data = h("a2 61 61 01 61 61 02")
    assert loads(data) == {"a": 2}
    assert loads(data, immutable=True) == frozendict({"a": 2})
    for immutable in (False, True):
        with pytest.raises(CBORDecodeError) as info:
            loads(data, allow_duplicate_keys=False, immutable=immutable)
        assert str(info.value) == "error decoding map: Duplicate map key: 'a'"
    # the first key object is kept with the last value
    value = loads(h("a2 f9 3c00 01 01 02"))
    assert value == {1.0: 2} and type(next(iter(value))) is float
    assert loads(h("bf 01 02 03 04 ff"), allow_duplicate_keys=False) == {1: 2, 3: 4}
    with pytest.raises(CBORDecodeError, match=r"^error decoding map: Duplicate map key: \(1, 2\)$"):
        loads(h("a2 82 01 02 00 82 01 02 00"), allow_duplicate_keys=False)


def test_map_errors():
    with pytest.raises(CBORDecodeError) as info:
        loads(h("bf 61 61 ff"))
    assert str(info.value) == "error decoding map: missing value for key in indefinite-length map"
    with pytest.raises(CBORDecodeError, match="^break code encountered where a data item was expected$"):
        loads(h("a1 01 ff"))
    # a key that cannot be hashed: a list made by a hook
    with pytest.raises(CBORDecodeError) as info:
        loads(h("a1 c6 01 02"), tag_hook=lambda t, i: [])
    assert str(info.value) == "error decoding map"
    assert type(info.value.__cause__) is TypeError
    # the same through the seen-key set of an immutable map
    with pytest.raises(CBORDecodeError, match="^error decoding map$") as info:
        loads(h("a1 c6 01 02"), immutable=True, allow_duplicate_keys=False, tag_hook=lambda t, i: [])
    assert type(info.value.__cause__) is TypeError


@pytest.mark.parametrize("data, role, type_name", [
    ("a1 01 02", "map key", "int"),
    ("a1 f6 02", "map key", "NoneType"),
    ("a1 81 01 02", "map key", "tuple"),
    ("bf c6 01 02 ff", "map key", "CBORTag"),
])
def test_strict_hashable_types(data, role, type_name):
    for immutable in (False, True):
        with pytest.raises(CBORDecodeError) as info:
            loads(h(data), strict_hashable_types=True, immutable=immutable)
        assert str(info.value) == f"error decoding map: {role} must be a text string or byte string, not {type_name}"
    assert loads(h("a2 61 61 01 41 62 02"), strict_hashable_types=True) == {"a": 1, b"b": 2}


def test_strict_hashable_sets():
    with pytest.raises(CBORDecodeError) as info:
        loads(h("d9 0102 81 01"), strict_hashable_types=True)
    assert str(info.value) == "error decoding set: set element must be a text string or byte string, not int"
    assert loads(h("d9 0102 82 61 61 41 61"), strict_hashable_types=True) == {"a", b"a"}


def test_set_errors():
    with pytest.raises(CBORDecodeError) as info:
        loads(h("d9 0102 01"))
    assert str(info.value) == "error decoding set: input value must be an array, not <class 'int'>"
    with pytest.raises(CBORDecodeError, match="^error decoding set: input value must be an array, not "
                                              "<class 'kelvo.frozendict'>$"):
        loads(h("d9 0102 a0"))
    # repeated elements merge whatever allow_duplicate_keys says
    assert loads(h("d9 0102 82 01 01"), allow_duplicate_keys=False) == {1}
    with pytest.raises(CBORDecodeError) as info:
        loads(h("d9 0102 81 c6 01"), tag_hook=lambda t, i: [])
    assert str(info.value) == "error decoding set" and type(info.value.__cause__) is TypeError


def test_object_hook():
    calls = []

    def hook(mapping, immutable):
        calls.append((type(mapping), dict(mapping), immutable))
        return ("hooked", len(mapping))

    assert loads(h("a1 01 a0"), object_hook=hook) == ("hooked", 1)
    assert calls == [(dict, {}, False), (dict, {1: ("hooked", 0)}, False)]
    calls.clear()
    # a map used as a key is immutable and its hook result becomes the key
    assert loads(h("a1 a1 01 02 03"), object_hook=hook) == ("hooked", 1)
    assert calls == [(frozendict, {1: 2}, True), (dict, {("hooked", 1): 3}, False)]
    calls.clear()
    assert loads(h("a0"), object_hook=hook, immutable=True) == ("hooked", 0)
    assert calls == [(frozendict, {}, True)]


def test_declared_counts_do_not_reserve_memory():
    tracemalloc.start()
    try:
        # every level claims 2**64-1 items; memory must follow the input, not the claims
        for header in (b"\x9b", b"\xbb"):
            data = (header + b"\xff" * 8) * 2000
            tracemalloc.reset_peak()
            with pytest.raises((CBORDecodeEOF, CBORDecodeError)):
                loads(data, max_depth=10**6)
            assert tracemalloc.get_traced_memory()[1] < 4 << 20
    finally:
        tracemalloc.stop()


def test_nested_counts_that_fit_the_input_do_not_add_up():
    # every level claims about as many items as bytes remain, so each claim alone could be
    # met; together they may not reserve more than the input holds
    levels = 3000
    data = b"".join(b"\x99" + (3 * (levels - i - 1)).to_bytes(2, "big") for i in range(levels))
    tracemalloc.start()
    try:
        with pytest.raises(CBORDecodeEOF):
            loads(data, max_depth=levels + 1)
        assert tracemalloc.get_traced_memory()[1] < 2 << 20
    finally:
        tracemalloc.stop()
    # a long array whose items are all there is still decoded in place
    assert loads(b"\x99\x27\x10" + b"\x01" * 10000) == [1] * 10000


def test_mutable_list_from_tag_payload_is_complete():
    # a list is built once its items are known unless it must exist early (tag 28)
    value = loads(h("82 83 01 02 03 d8 1c 82 04 05"))
    assert value == [[1, 2, 3], [4, 5]]
    assert loads(h("c6 83 01 02 03")) == CBORTag(6, (1, 2, 3))


def encode_text(text):
    data = text.encode("utf-8", "surrogateescape")
    assert len(data) < 256
    return (bytes([0x60 + len(data)]) if len(data) < 24 else bytes([0x78, len(data)])) + data


@pytest.mark.parametrize("immutable", [False, True])
def test_map_keys_of_every_short_length(immutable):
    # keys repeat across maps; keys that share their first and last bytes must stay apart
    keys = ["", "a", "ab", "abc", "abcd", "é", "\u6c34", "abcdefg", "abcdefgh", "abcdefghijklmnop",
            "aaaaaaaaXbbbbbbbb", "aaaaaaaaYbbbbbbbb", "aaaaaaaaXYbbbbbbbb", "aaaaaaaaYXbbbbbbbb",
            "a" * 15 + "X" + "b" * 7, "a" * 15 + "Y" + "b" * 7,
            "a" * 15 + "XY" + "b" * 15, "a" * 15 + "YX" + "b" * 15]
    one_map = bytes([0xa0 + len(keys)]) + b"".join(encode_text(k) + bytes([i]) for i, k in enumerate(keys))
    data = b"\x83" + one_map * 3
    value = loads(data, immutable=immutable)
    for mapping in value:
        assert list(mapping.items()) == [(k, i) for i, k in enumerate(keys)]


def test_many_distinct_map_keys():
    # more distinct keys than the key cache keeps, each met again later
    keys = [f"k{i:05d}" for i in range(3000)]
    value = loads(dumps([{k: i for i, k in enumerate(keys)}, dict.fromkeys(reversed(keys))]))
    assert list(value[0].items()) == [(k, i) for i, k in enumerate(keys)]
    assert list(value[1]) == keys[::-1]


def test_map_keys_with_invalid_utf8():
    data = h("82 a1 61 ff 01 a1 61 ff 02")
    assert loads(data, str_errors="replace") == [{"\ufffd": 1}, {"\ufffd": 2}]
    # a bad key first in its map, and after a value
    for item in (data, h("a2 61 61 01 61 ff 02")):
        with pytest.raises(CBORDecodeError, match="^error decoding text string$"):
            loads(item)


@pytest.mark.parametrize("size", [3, 6, 13, 40])
def test_str_keyed_maps_are_laid_out_like_dicts_filled_in_order(size):
    # a dict filled key by key from empty keeps a str-only key table: smaller and faster to
    # look up in than a table made for keys of any type
    expected = {}
    for i in range(size):
        expected[f"key{i}"] = i
    value = loads(dumps(expected))
    assert value == expected
    assert sys.getsizeof(value) == sys.getsizeof(expected)
