"""What the encoder writes, the decoder reads back: random documents, shared values and cycles,
string references, canonical and indefinite forms."""

import io
import random

from _kelvo import CBORDecoder, CBORTag, dumps, frozendict, loads

from value_helpers import random_value


def frozen(value):
    """The value as the decoder builds it in immutable mode."""
    if isinstance(value, list):
        return tuple(map(frozen, value))
    if isinstance(value, dict):
        return frozendict({k: frozen(v) for k, v in value.items()})
    if isinstance(value, CBORTag):
        return CBORTag(value.tag, frozen(value.value))
    return value


def expected(value):
    """The value as the decoder builds it: tag payloads are always immutable."""
    if isinstance(value, list):
        return list(map(expected, value))
    if isinstance(value, dict):
        return {k: expected(v) for k, v in value.items()}
    if isinstance(value, CBORTag):
        return frozen(value)
    return value


def test_random_documents():
    rng = random.Random(8949)
    for _ in range(300):
        value = random_value(rng)
        for options in ({}, {"canonical": True}, {"indefinite_containers": True}, {"string_referencing": True}):
            data = dumps(value, **options)
            assert loads(data) == expected(value), options
            assert CBORDecoder(io.BytesIO(data + data), read_size=7).decode() == expected(value)
            assert loads(data, immutable=True) == frozen(value)


def test_shared_values_and_cycles():
    inner = [1, 2]
    value = [inner, inner, {"x": inner}]
    decoded = loads(dumps(value, value_sharing=True))
    assert decoded == value and decoded[0] is decoded[1] is decoded[2]["x"]
    cyclic = []
    cyclic.append(cyclic)
    cyclic.append({"self": cyclic})
    decoded = loads(dumps(cyclic, value_sharing=True))
    assert decoded[0] is decoded and decoded[1]["self"] is decoded
    mapping = {}
    mapping["me"] = mapping
    decoded = loads(dumps(mapping, value_sharing=True))
    assert decoded["me"] is decoded


def test_string_references_restore_identity():
    words = ["alpha", "beta", b"gamma"] * 5
    decoded = loads(dumps(words, string_referencing=True))
    assert decoded == words
    assert decoded[0] is decoded[3] and decoded[2] is decoded[5]


def test_immutable_forms():
    value = {"a": [1, {"b": [2]}], "c": {1, 2}}
    decoded = loads(dumps(value), immutable=True)
    assert decoded == frozendict({"a": (1, frozendict({"b": (2,)})), "c": frozenset({1, 2})})
