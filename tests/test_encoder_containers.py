"""Arrays, maps and sets: lengths, canonical order, sort keys, and containers that change."""

import collections.abc
import io
import threading

import pytest

from _kelvo import CBOREncodeError, CBOREncodeValueError, CBOREncoder, CBORTag, dumps

from value_helpers import writes


@pytest.mark.parametrize("value, options, expected", [
    ([1, [2, 3]], {}, "8201820203"),
    ({}, {}, "a0"),
    ((), {}, "80"),
    (list(range(25)), {}, "9819" + "".join(f"{i:02x}" for i in range(24)) + "1818"),
    ({"a": 1, "b": [2, 3]}, {}, "a26161016162820203"),
    ([1, 2], {"indefinite_containers": True}, "9f0102ff"),
    ({"a": 1}, {"indefinite_containers": True}, "bf616101ff"),
    ({1}, {"indefinite_containers": True}, "d901029f01ff"),
    ([[], {}], {"indefinite_containers": True}, "9f9fffbfffff"),
    ({"aa": 1, "b": 2, 10: 3}, {"canonical": True}, "a30a0361620262616101"),
    ({300, 1, 24}, {"canonical": True}, "d901028301181819012c"),
    ({"b": 1, "a": 2}, {"canonical": True, "indefinite_containers": True}, "bf616102616201ff"),
    (frozenset({b"x"}), {"canonical": True}, "d90102814178"),
    ({(1, 2): 0, (1,): 1}, {"canonical": True}, "a281010182010200"),
    ({1.0: "a", 2: "b"}, {"canonical": True}, "a2026162f93c006161"),
])
def test_containers(value, options, expected):
    assert writes(value, **options) == expected


def test_canonical_order_is_stable_for_equal_key_encodings():
    class Key:
        def __init__(self, n):
            self.n = n

    keys = [Key(i) for i in range(5)]
    # Every key encodes to the same bytes: the items keep their iteration order.
    out = writes({k: k.n for k in keys}, canonical=True, default=lambda e, v: e.encode_string("k"))
    assert out == "a5" + "".join(f"616b{i:02x}" for i in range(5))


def test_set_without_canonical_keeps_iteration_order():
    s = {3, 1, 2, 100}
    assert writes(s) == "d9010284" + "".join(dumps(v).hex() for v in s)


def test_sort_keys():
    e = CBOREncoder(io.BytesIO())
    assert e.encode_sortable_key("a") == (2, b"aa")
    assert e.encode_sortable_item(("a", object())) == (2, b"aa")
    assert e.encode_sortable_key([1, {2: 3}]) == (5, bytes.fromhex("8201a10203"))
    with pytest.raises(IndexError):
        e.encode_sortable_item(())
    with pytest.raises(TypeError) as info:
        e.encode_sortable_item(["a", 1])
    assert info.value.__notes__ == ["while processing 'item'"]


def test_sort_keys_use_neither_sharing_nor_string_references():
    shared = ["aaaa"]
    e = CBOREncoder(io.BytesIO(), value_sharing=True, string_referencing=True)
    # The list still opens a namespace (string_namespacing is on while idle), but no
    # string in it is numbered.
    assert e.encode_sortable_key([shared, shared, "aaaa", "aaaa"]) == (26, bytes.fromhex(
        "d90100" "84" "8164" "61616161" "8164" "61616161" "6461616161" "6461616161"))
    assert (e.value_sharing, e.string_referencing) == (True, True)


def test_canonical_keys_from_hooks_are_encoded_twice():
    calls = []

    class K:
        pass

    def default(enc, value):
        calls.append(value)
        enc.encode_int(7)

    k = K()
    assert writes({k: 1, 0: 2}, canonical=True, default=default) == "a200020701"
    assert calls == [k, k]


def test_canonical_key_failure_comes_before_any_entry(writer):
    e = CBOREncoder(writer, canonical=True)
    with pytest.raises(CBOREncodeError, match="cannot encode type"):
        e.encode({1: 2, object(): 3})
    assert writer.calls == []


@pytest.mark.parametrize("items, exc", [
    ([("a", 1, 2)], ValueError), ([["a", 1]], TypeError),
])
def test_map_items_must_be_pairs(items, exc):
    class Weird(collections.abc.Mapping):
        def __getitem__(self, key):
            raise KeyError(key)

        def __iter__(self):
            return iter(())

        def __len__(self):
            return 1

        def items(self):
            return items

    with pytest.raises(exc):
        dumps(Weird())


def test_mapping_and_sequence_protocols():
    class Pairs(collections.abc.Mapping):
        def __init__(self, d):
            self.d = d

        def __getitem__(self, key):
            return self.d[key]

        def __iter__(self):
            return iter(self.d)

        def __len__(self):
            return len(self.d)

    class Seq(collections.abc.Sequence):
        def __getitem__(self, i):
            if i >= 2:
                raise IndexError(i)
            return i * 10

        def __len__(self):
            return 2

    assert writes(Pairs({"x": Seq()})) == "a1617882000a"
    assert writes(Pairs({"x": 1}), canonical=True) == "a1617801"


# ---- Containers whose iteration disagrees with their length


class Lying(collections.abc.Sequence):
    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("length, items, message", [
    (2, [1, 2, 3], "length 2 announced, more items found"),
    (3, [1, 2], "length 3 announced, 2 items found"),
])
def test_sequence_that_lies_about_its_length(writer, length, items, message):
    e = CBOREncoder(writer)
    with pytest.raises(CBOREncodeValueError, match=message):
        e.encode([Lying(length, items)])
    assert writer.calls == []
    assert dumps(Lying(length, items), indefinite_containers=True).hex() == \
        "9f" + "".join(f"{v:02x}" for v in items) + "ff"


def test_list_changed_by_a_hook_is_refused():
    data = []

    class Grow:
        pass

    def default(enc, value):
        data.append(0)
        enc.encode_none()

    data.extend([Grow(), 1])
    with pytest.raises(CBOREncodeValueError, match="'list' object changed size during encoding"):
        dumps(data, default=default)
    data[:] = [Grow(), 1, 2]

    def shrink(enc, value):
        del data[-1]
        enc.encode_none()

    with pytest.raises(CBOREncodeValueError, match=r"length 3 announced, 2 items found"):
        dumps(data, default=shrink)
    data[:] = [Grow(), 1]
    assert dumps(data, default=default, indefinite_containers=True).hex() == "9ff60100ff"


def test_dict_changed_by_a_hook_raises_like_its_iterator():
    d = {}

    def default(enc, value):
        d["new"] = 1
        enc.encode_none()

    d["a"] = object()
    d["b"] = 2
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        dumps(d, default=default)


@pytest.mark.parametrize("last", [lambda: [object()], lambda: {"x": (object(),)}], ids=["list", "dict"])
@pytest.mark.parametrize("change, message", [
    (lambda d: d.__setitem__("new", 1), "dictionary changed size during iteration"),
    (lambda d: (d.pop("a"), d.__setitem__("z", 1)), "dictionary keys changed during iteration"),
], ids=["grown", "key-replaced"])
def test_dict_changed_by_a_hook_inside_its_last_value_raises(last, change, message):
    # The hook runs deep inside the container that is the dict's last value.
    d = {"a": 1}

    def default(enc, value):
        change(d)
        enc.encode_none()

    d["b"] = last()
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        dumps(d, default=default)


def test_dict_values_changed_by_a_hook_are_seen():
    d = {}

    def default(enc, value):
        d["b"] = 5
        enc.encode_none()

    d["a"] = object()
    d["b"] = 2
    assert writes(d, default=default) == "a26161f6616205"


def test_list_shared_with_another_thread_never_corrupts():
    data = list(range(2000))
    stop = threading.Event()

    def mutate():
        while not stop.is_set():
            data.append(0)
            data.pop()

    t = threading.Thread(target=mutate)
    t.start()
    try:
        for _ in range(50):
            try:
                out = dumps(data)
            except CBOREncodeValueError:
                continue
            # A header that says n items is followed by exactly n items (small uints here).
            assert out[0] == 0x99
            n, pos = int.from_bytes(out[1:3], "big"), 3
            for _ in range(n):
                pos += {0x18: 2, 0x19: 3}.get(out[pos], 1)
            assert pos == len(out)
    finally:
        stop.set()
        t.join()


# ---- Nesting


def test_deep_nesting_raises_recursion_error():
    for make in (lambda x: [x], lambda x: {"k": x}, lambda x: CBORTag(1, x), lambda x: (x,)):
        value = None
        for _ in range(100_000):
            value = make(value)
        with pytest.raises(RecursionError):
            dumps(value)
        e = CBOREncoder(io.BytesIO())
        with pytest.raises(RecursionError):
            e.encode(value)
        e.encode([1])  # still usable
        del value


def test_moderate_nesting_is_fine():
    value = 0
    for _ in range(500):
        value = [value]
    assert dumps(value) == b"\x81" * 500 + b"\x00"


def test_container_methods_check_their_argument():
    e = CBOREncoder(io.BytesIO())
    for method, arg, expected in (("encode_array", 1, "Sequence"), ("encode_map", [], "Mapping"),
                                  ("encode_set", frozenset(), "set"), ("encode_frozenset", set(), "frozenset")):
        with pytest.raises(TypeError, match=f"object is not an instance of '{expected}'") as info:
            getattr(e, method)(arg)
        assert info.value.__notes__ == ["while processing 'obj'"]


def test_container_methods_while_idle(writer):
    e = CBOREncoder(writer)
    e.encode_map({"a": [1]})
    e.encode_set({2})
    e.encode_frozenset(frozenset())
    e.encode_array((1,))
    assert b"".join(writer.calls).hex() == "a1616181" "01" "d9010281" "02" "d9010280" "8101"


class MeddlingWriter:
    """A stream whose write() changes the container being encoded."""

    def __init__(self, meddle):
        self.meddle, self.calls = meddle, []

    def writable(self):
        return True

    def write(self, data):
        self.calls.append(bytes(data))
        self.meddle()


def unique_strings(n):
    return ["".join(chr(0x4e00 + (i * 7 + j) % 500) for j in range(200)) + str(i) for i in range(n)]


def test_stream_write_that_empties_the_list_being_written():
    data = unique_strings(50)  # each string held by the list alone
    fp = MeddlingWriter(data.clear)
    with pytest.raises(CBOREncodeValueError, match="length 50 announced"):
        CBOREncoder(fp).encode(data)


def test_stream_write_that_grows_the_list_being_written():
    data = unique_strings(50)
    fp = MeddlingWriter(lambda: data.append("more"))
    with pytest.raises(CBOREncodeValueError, match="length 50 announced, more items found"):
        CBOREncoder(fp).encode(data)


def test_stream_write_that_changes_the_dict_being_written():
    data = dict(zip(unique_strings(50), unique_strings(50), strict=True))
    fp = MeddlingWriter(data.clear)
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        CBOREncoder(fp).encode(data)


def flushed_chunks(pieces):
    """The write() calls the flush rule makes for a sequence of emitted pieces."""
    chunks, pending = [], b""
    for piece in pieces:
        if len(piece) > 4096:
            chunks.append(pending)
            pending = b""
        pending += piece
        if len(pending) >= 4096:
            chunks.append(pending)
            pending = b""
    return chunks + [pending]


def test_flush_points_follow_each_emitted_piece(writer):
    strings = [bytes([65 + i % 26]) * 100 for i in range(100)] + [b"z" * 5000]
    pieces = [b"\x98", b"\x65"]
    for s in strings:
        head = b"\x78\x64" if len(s) == 100 else b"\x79\x13\x88"
        pieces += [head[:1], head[1:], s]
    CBOREncoder(writer).encode([s.decode() for s in strings])
    assert writer.calls == flushed_chunks(pieces)
    assert len(writer.calls) > 3
