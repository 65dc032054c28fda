"""Helpers shared by the tests: expected encodings, random values, deep structures."""

import math
import threading

from _kelvo import CBORSimpleValue, CBORTag, dumps


def head(major, value):
    """The shortest head of a major type for an argument below 2**32."""
    if value < 24:
        return bytes([major << 5 | value])
    if value < 256:
        return bytes([major << 5 | 24, value])
    if value < 65536:
        return bytes([major << 5 | 25]) + value.to_bytes(2, "big")
    return bytes([major << 5 | 26]) + value.to_bytes(4, "big")


def writes(value, **options):
    """The encoding of value as hexadecimal text."""
    return dumps(value, **options).hex()


def random_value(rng, depth=0):
    """A random document of the types the encoder writes and the decoder reads back as they were."""
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


def run_with_stack(stack_size, fn):
    """Runs fn() on the calling thread (stack_size None) or on a new thread with that stack."""
    if stack_size is None:
        return fn()
    result = []
    previous = threading.stack_size(stack_size)
    try:
        thread = threading.Thread(target=lambda: result.append(fn()))
        thread.start()
        thread.join()
    finally:
        threading.stack_size(previous)
    assert result, "the operation did not finish"
    return result[0]


def outcome(op, *args):
    """The type of the RecursionError or RuntimeError op(*args) raises, or None."""
    try:
        op(*args)
    except (RecursionError, RuntimeError) as e:
        return type(e)
    return None


class Index:
    """An integer-like object that is not an int."""

    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n
