"""Shared values (tags 28/29), string references (tags 256/25) and two-stage decoders."""

import pytest

from _kelvo import CBORDecodeError, CBORTag, frozendict, loads, shareable_decoder

from decoder_support import decode_error, h


class Node:
    def __init__(self, children=None):
        self.children = children


def test_cyclic_list():
    value = loads(h("d8 1c 81 d8 1d 00"))
    assert type(value) is list and len(value) == 1 and value[0] is value
    with pytest.raises(CBORDecodeError) as info:
        loads(h("d8 1c 81 d8 1d 00"), immutable=True)
    assert str(info.value) == "shared value 0 has not been initialized"


def test_cyclic_dict_and_set():
    value = loads(h("d8 1c a1 61 61 d8 1d 00"))
    assert value["a"] is value
    value = loads(h("d8 1c 82 01 d8 1c a1 01 d8 1d 01"))
    assert value[1][1] is value[1]
    value = loads(h("d8 1c 82 01 d8 1c a1 01 d8 1d 00"))
    assert value[1][1] is value
    # a set holding (through a hashable wrapper) a tag that points back at the set
    value = loads(h("d8 1c d9 0102 81 c6 d8 1d 00"), tag_hook=lambda tag, immutable: Node(tag))
    node, = value
    assert type(value) is set and node.children.tag == 6 and node.children.value is value


def test_cyclic_tag():
    value = loads(h("d8 1c c6 81 d8 1d 00"))
    assert type(value) is CBORTag and value.value[0] is value
    # a tag that is its own value, or a map value of its own, is not hashed while being built
    value = loads(h("d81c c6 d81d00"))
    assert value.value is value
    value = loads(h("d81c d816 a1 01 d81d00"))
    assert value.value[1] is value


def test_shared_values():
    value = loads(h("82 d8 1c 81 01 d8 1d 00"))
    assert value == [[1], [1]] and value[0] is value[1]
    value = loads(h("83 d8 1c 63 616263 d8 1d 00 d8 1d 00"))
    assert value[0] is value[1] is value[2]
    # the slot holds what the frame completes with, also a hook's replacement
    value = loads(h("82 d8 1c a0 d8 1d 00"), object_hook=lambda m, i: ("hooked", i))
    assert value[0] is value[1] and value[0] == ("hooked", False)
    value = loads(h("82 d8 1c 82 01 02 d8 1d 00"), immutable=True)
    assert value == ((1, 2), (1, 2)) and value[0] is value[1]
    # nested shareables are numbered in the order of their tags
    value = loads(h("83 d8 1c 81 d8 1c 80 d8 1d 00 d8 1d 01"))
    assert value[1] is value[0] and value[2] is value[0][0]


@pytest.mark.parametrize("data, message", [
    ("d8 1d 00", "shared reference 0 not found"),
    ("82 d8 1d 00 d8 1c 01", "shared reference 0 not found"),
    ("82 d8 1c 01 d8 1d 01", "shared reference 1 not found"),
    ("d8 1c c6 d8 1c 82 d8 1d 01 01", "shared value 1 has not been initialized"),
])
def test_shared_reference_errors(data, message):
    assert str(decode_error(data)) == message


def test_shared_reference_payload_errors():
    with pytest.raises(CBORDecodeError) as info:
        loads(h("d8 1d 20"))
    assert str(info.value) == "error decoding shared reference"
    assert type(info.value.__cause__) is OverflowError
    with pytest.raises(CBORDecodeError) as info:
        loads(h("d8 1d 61 30"))
    assert type(info.value.__cause__) is TypeError
    with pytest.raises(CBORDecodeError) as info:
        loads(h("d8 19 f6"))
    assert str(info.value) == "error decoding string reference"


def test_shared_value_depth():
    data = h("82 d8 1c 81 81 01 81 d8 1d 00")
    with pytest.raises(CBORDecodeError) as info:
        loads(data, max_depth=3)
    assert str(info.value) == "maximum container nesting depth (3) exceeded"
    assert loads(data, max_depth=4) == [[[1]], [[[1]]]]


def test_string_namespace():
    value = loads(h("d9 0100 82 63 616263 d8 19 00"))
    assert value == ["abc", "abc"] and value[0] is value[1]
    with pytest.raises(CBORDecodeError) as info:
        loads(h("d9 0100 82 62 6162 d8 19 00"))
    assert str(info.value) == "string reference 0 not found"
    with pytest.raises(CBORDecodeError) as info:
        loads(h("d8 19 00"))
    assert str(info.value) == "string reference outside of namespace"


def test_string_namespace_details():
    # byte and text strings share one numbering, keys included; indefinite strings are not numbered
    value = loads(h("d9 0100 84 43 010203 a1 63 6b6579 d8 19 00 7f 63 616263 ff d8 19 01"))
    assert value == [b"\x01\x02\x03", {"key": b"\x01\x02\x03"}, "abc", "key"]
    # a namespace ends with its item; an inner namespace starts empty and hides the outer one
    value = loads(h("d9 0100 83 63 616263 d9 0100 82 63 78797a d8 19 00 d8 19 00"))
    assert value == ["abc", ["xyz", "xyz"], "abc"]
    with pytest.raises(CBORDecodeError, match="^string reference outside of namespace$"):
        loads(h("82 d9 0100 63 616263 d8 19 00"))
    # strings obtained through a reference are not registered again
    with pytest.raises(CBORDecodeError, match="^string reference 1 not found$"):
        loads(h("d9 0100 83 63 616263 d8 19 00 d8 19 01"))


def test_string_registration_thresholds():
    # 24 three-byte strings are numbered; from then on only strings of 4 bytes or more
    strings = [f"{i:03}".encode() for i in range(24)]
    body = b"".join(b"\x43" + s for s in strings)
    data = h("d9 0100 9f") + body + h("43 787878 44 79797979 d8 19 18 18 d8 19 17 ff")
    value = loads(data)
    assert value[-2:] == [b"yyyy", b"023"]
    data = h("d9 0100 9f") + body + h("43 787878 d8 19 18 18 ff")
    with pytest.raises(CBORDecodeError, match="^string reference 24 not found$"):
        loads(data)


def test_shareable_decoder_marks_functions():
    def f(immutable):
        return None, None

    assert shareable_decoder(f) is f
    assert f._kelvo_name is None and f._kelvo_immutable is False
    decorator = shareable_decoder(name="thing", immutable=True)

    def g(immutable):
        return None, None

    assert decorator(g, "ignored", key="ignored") is g
    assert g._kelvo_name == "thing" and g._kelvo_immutable is True
    assert shareable_decoder(None, name="x")(f) is f and f._kelvo_name == "x"
    with pytest.raises(TypeError) as info:
        shareable_decoder(1)
    assert str(info.value) == "1 is not callable"
    with pytest.raises(TypeError, match="^None is not callable$"):
        decorator(None)
    with pytest.raises(IndexError):
        decorator()
    with pytest.raises(AttributeError):
        shareable_decoder(len)
    with pytest.raises(TypeError) as info:
        shareable_decoder(f, name=1)
    assert info.value.__notes__ == ["while processing 'name'"]
    with pytest.raises(TypeError) as info:
        shareable_decoder(f, immutable=1)
    assert info.value.__notes__ == ["while processing 'immutable'"]
    with pytest.raises(TypeError, match="positional-only"):
        shareable_decoder(func=f)
    assert shareable_decoder.__text_signature__ == "(func=None, /, *, name=None, immutable=False)"
    assert shareable_decoder.__doc__.startswith("Decorates a function to be a two-stage decoder.")




def test_two_stage_decoder_builds_cycles():
    seen = []

    @shareable_decoder
    def node(immutable):
        placeholder = Node()
        seen.append(immutable)

        def fill(payload):
            placeholder.children = payload
            return placeholder
        return placeholder, fill

    value = loads(h("d8 1c d9 03e8 82 01 d8 1d 00"), semantic_decoders={1000: node})
    assert type(value) is Node and value.children == [1, value]
    assert seen == [False]


def test_two_stage_decoder_options():
    payloads = []

    @shareable_decoder(immutable=True)
    def frozen(immutable):
        return None, lambda payload: payloads.append(payload) or "done"

    assert loads(h("d9 03e8 81 a0"), semantic_decoders={1000: frozen}) == "done"
    assert payloads == [(frozendict(),)]

    @shareable_decoder(name="widget")
    def failing(immutable):
        return None, lambda payload: 1 / 0

    with pytest.raises(CBORDecodeError) as info:
        loads(h("d9 03e8 01"), semantic_decoders={1000: failing})
    assert str(info.value) == "error decoding widget"
    assert type(info.value.__cause__) is ZeroDivisionError

    @shareable_decoder
    def unnamed(immutable):
        return None, lambda payload: (_ for _ in ()).throw(CBORDecodeError("bad payload"))

    with pytest.raises(CBORDecodeError) as info:
        loads(h("d9 03e8 01"), semantic_decoders={1000: unnamed})
    assert str(info.value) == "error decoding semantic tag 1000: bad payload"


def test_two_stage_first_stage_errors():
    def three(immutable):
        return 1, 2, 3

    three._kelvo_name = None
    with pytest.raises(CBORDecodeError) as info:
        loads(h("d9 03e8 01"), semantic_decoders={1000: three})
    assert str(info.value) == f"error decoding semantic tag: {three} returned a tuple of 3 items, expected 2"

    def listed(immutable):
        return [1, 2]

    listed._kelvo_name = "x"
    with pytest.raises(CBORDecodeError) as info:
        loads(h("d9 03e8 01"), semantic_decoders={1000: listed})
    assert str(info.value) == "error decoding semantic tag"
    assert str(info.value.__cause__) == "'list' object is not an instance of 'tuple'"

    class BadFlag:
        def __bool__(self):
            raise ValueError("flag")

    def flagged(immutable):
        return None, None

    flagged._kelvo_name = None
    flagged._kelvo_immutable = BadFlag()
    with pytest.raises(CBORDecodeError) as info:
        loads(h("d9 03e8 01"), semantic_decoders={1000: flagged})
    assert type(info.value.__cause__) is ValueError


def test_shared_value_needed_immutable_gets_an_immutable_copy():
    from _kelvo import dumps

    # value sharing writes immutable objects shared by identity; their first occurrence
    # decodes as a list, dict or set, later ones where an immutable value is needed
    t = ("a",)
    fd = frozendict({"k": ("v",)})
    # (a tag's content is such a place too, as it is without sharing: the tag is hashed with it)
    u = ("", CBORTag(6, t))
    for value in ([t, {t: 1}], [(), set()], [fd, {fd: 2}], [t, frozenset([t]), {(t, t): 1, fd: [t]}],
                  [t, (t, {t: fd})], [fd, {CBORTag(6, fd): 1}], [t, frozenset([CBORTag(6, t)])],
                  [t, {(1, CBORTag(6, CBORTag(7, t))): fd}], [t, u, {u: 1}], [t, CBORTag(7, t)]):
        data = dumps(value, value_sharing=True)
        assert loads(data) == loads(dumps(value)), data.hex()
        assert loads(data, immutable=True) == loads(dumps(value), immutable=True)
    assert loads(h("d81c82d81c816161d81ca1d81d0101")) == [["a"], {("a",): 1}]
    assert loads(h("d81c82d81c80d90102d81d01")) == [[], set()]
    # the copy is made once per shared value and reused; mutable positions keep the original
    first, second, third = loads(dumps([t, {t: 1}, {(t, 2): t}], value_sharing=True))
    key, = second
    pair, = third
    assert pair[0] is key and third[pair] is first


@pytest.mark.parametrize("data, message", [
    # a map that is its own key, a set that is its own element, through a tuple
    ("d81c a1 d81d00 01", "shared value 0 is still being built"),
    ("d81c d90102 81 d81d00", "shared value 0 is still being built"),
    ("d81c a1 82 01 d81d00 01", "shared value 0 is still being built"),
    # a finished list that contains itself, used as a key
    ("82 d81c 81 d81d00 a1 d81d00 01", "shared value 0 contains itself"),
    # a tag whose value is not set yet, as a key or set element, directly or inside a tuple,
    # another tag or tag 55799 (hashed with its unset value it would break the mapping)
    ("d81c d816 a1 d81d00 01", "shared value 0 is still being built"),
    ("d81c d816 d90102 81 d81d00", "shared value 0 is still being built"),
    ("d81c d816 a1 81 d81d00 01", "shared value 0 is still being built"),
    ("d81c d816 a1 c6 d81d00 01", "shared value 0 is still being built"),
    ("d81c d816 a1 d9d9f7 d81d00 01", "shared value 0 is still being built"),
])
def test_shared_value_still_being_built_is_refused_as_key(data, message):
    assert str(decode_error(data)) == message + " and cannot be used where an immutable value is needed"
