"""What the encoder writes, the decoder reads back: random documents, shared values and cycles,
string references, canonical and indefinite forms."""

import io
import math
import random

import pytest

import _kelvo
from _kelvo import CBORDecoder, CBORSimpleValue, CBORTag, frozendict, loads

dumps = getattr(_kelvo, "dumps", None)
pytestmark = pytest.mark.skipif(dumps is None, reason="the encoder's dumps() is not part of this build")


def random_value(rng, depth=0):
    kinds = ["int", "float", "text", "bytes", "bool", "none", "simple"]
    if depth < 4:
        kinds += ["list", "dict", "tag"] * 2
    kind = rng.choice(kinds)
    if kind == "int":
        return rng.randint(-2**64, 2**64 - 1)
    if kind == "float":
        return rng.choice([rng.uniform(-1e10, 1e10), 0.5, -0.0, math.inf, 1e300])
    if kind == "text":
        return "".join(rng.choice("ab\u00e9\u6c34\U0001f600 ") for _ in range(rng.randint(0, 40)))
    if kind == "bytes":
        return rng.randbytes(rng.randint(0, 40))
    if kind == "bool":
        return rng.random() < 0.5
    if kind == "none":
        return None
    if kind == "simple":
        return CBORSimpleValue(rng.choice([0, 19, 32, 255]))
    if kind == "list":
        return [random_value(rng, depth + 1) for _ in range(rng.randint(0, 5))]
    if kind == "dict":
        return {rng.choice(["k", "key", "a longer key of some size", str(i)]) + str(i): random_value(rng, depth + 1)
                for i in range(rng.randint(0, 5))}
    return CBORTag(rng.choice([6, 1000, 2**40]), random_value(rng, depth + 1))


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
