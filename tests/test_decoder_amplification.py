"""Hostile input: shared references that multiply the work of hashing keys and of error
messages, and the shapes whose cost must grow no faster than the input."""

import gc
import time
import tracemalloc

import pytest

from _kelvo import CBORDecodeEOF, CBORDecodeError, dumps, loads
from decoder_support import h

EXPANDS = "refers to shared values that expand to far more than the input read so far"


def uint(major, value):
    if value < 24:
        return bytes([major << 5 | value])
    if value < 256:
        return bytes([major << 5 | 24, value])
    if value < 65536:
        return bytes([major << 5 | 25]) + value.to_bytes(2, "big")
    return bytes([major << 5 | 26]) + value.to_bytes(4, "big")


def chain(levels, tag=None):
    """X_0 = 28([0]); X_i = 28([X_(i-1), 29(index of X_(i-1))]): each level doubles the
    items the value stands for. With `tag`, every level is wrapped in that tag."""
    wrap = uint(6, tag) if tag is not None else b""
    out = b"\xd8\x1c" + wrap + b"\x81\x00"
    for i in range(1, levels):
        out = b"\xd8\x1c" + wrap + b"\x82" + out + b"\xd8\x1d" + uint(0, levels - i)
    return out


@pytest.mark.parametrize("role, data", [
    ("map key", b"\xa1" + chain(26) + b"\x00"),
    ("map key", b"\xa1" + chain(26, tag=1000) + b"\x00"),
    ("set element", b"\xd9\x01\x02\x81" + chain(26)),
    ("set element", b"\xd9\x01\x02\x81" + chain(26, tag=1000)),
    # a key nested inside the value of another key
    ("map key", b"\x81\xa1\x81\xa1" + chain(26) + b"\x00\x00"),
])
def test_shared_values_expanding_exponentially_are_refused_as_keys(role, data):
    for immutable in (False, True):
        start = time.perf_counter()
        with pytest.raises(CBORDecodeError) as info:
            loads(data, immutable=immutable)
        assert time.perf_counter() - start < 1
        assert str(info.value).endswith(f"{role} {EXPANDS}")
    # the same graph where nothing hashes it decodes
    assert len(loads(b"\x81" + chain(26))[0]) == 2


def test_keys_without_much_expansion_are_accepted():
    # no shared references at all: never refused, however large
    big = tuple(range(20000))
    assert loads(dumps({(big, big): 1})) == {(big, big): 1}
    # shared references that expand moderately, as value sharing writes them
    t = tuple(range(100))
    value = [t, {(t, i): i for i in range(100)}, {t, (t, t)}]
    assert loads(dumps(value, value_sharing=True)) == loads(dumps(value))
    # refusal is about the whole input: many keys each repeating a large shared value
    t = tuple(range(3000))
    with pytest.raises(CBORDecodeError, match=f"map key {EXPANDS}$"):
        loads(dumps([t, {(t, i): i for i in range(3000)}], value_sharing=True))


@pytest.mark.parametrize("data, message", [
    # short reprs keep their full text
    ("a2 61 61 01 61 61 02", "Duplicate map key: 'a'"),
    ("a2 82 01 02 01 82 01 02 02", "Duplicate map key: (1, 2)"),
    # a long string is cut short
    ("a2 79 2710" + "78" * 10000 + "01 79 2710" + "78" * 10000 + "02", "Duplicate map key: '" + "x" * 199 + "..."),
    # a key standing for much more than its bytes is not shown in full
    ("a2 d8 1c 84 d8 1c 79 2710" + "78" * 10000 + " d8 1d 01 d8 1d 01 d8 1d 01 01 d8 1d 00 02",
     "Duplicate map key: <tuple too long to show>"),
    # the same through string references
    ("d9 0100 82 79 2710" + "78" * 10000 + " a2 98 32" + "d81900" * 50 + " 01 98 32" + "d81900" * 50 + " 02",
     "Duplicate map key: <tuple too long to show>"),
])
def test_duplicate_key_message_is_bounded(data, message):
    for immutable in (False, True):
        with pytest.raises(CBORDecodeError) as info:
            loads(h(data), allow_duplicate_keys=False, immutable=immutable)
        assert str(info.value) == "error decoding map: " + message


@pytest.mark.parametrize("levels", [5, 24])
def test_duplicate_shared_key_message_stays_small(levels):
    # the same shared key twice: at 24 levels it stands for 2**24 items
    data = b"\xa2" + chain(levels) + b"\x00\xd8\x1d\x00\x01"
    tracemalloc.start()
    try:
        with pytest.raises(CBORDecodeError) as info:
            loads(data, allow_duplicate_keys=False)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert str(info.value).startswith("error decoding map: ")
    assert len(str(info.value)) < 300 and peak < 1 << 20


# ---- Cost that grows with the input no faster than linearly

def deep_key(n):
    # a map key nested n levels deep; hashing it recurses, so stay below the limit
    return b"\xa1" + b"\x81" * n + b"\x00\x00"


SHAPES = {
    # huge declared lengths with little data behind them
    "long byte string": lambda n: b"\x5b\x00\x00\x00\x01\x00\x00\x00\x00" + b"x" * n,
    "long array": lambda n: b"\x9b\x00\x00\x00\x01\x00\x00\x00\x00" + b"\x00" * n,
    "long map": lambda n: b"\xbb\x00\x00\x00\x01\x00\x00\x00\x00" + b"\x00" * n,
    # nested headers and deep nesting
    "nested tags": lambda n: b"\xc6" * n + b"\x00",
    "nested arrays": lambda n: b"\x81" * n + b"\x00",
    "nested maps": lambda n: b"\xa1\x00" * n + b"\x00",
    "nested indefinite arrays": lambda n: b"\x9f" * n + b"\xff" * n,
    "nested keys": lambda n: b"\xa1" * n + b"\x00" * (n + 1),
    # many empty chunks
    "empty byte chunks": lambda n: b"\x5f" + b"\x40" * n + b"\xff",
    "empty text chunks": lambda n: b"\x7f" + b"\x60" * n + b"\xff",
    # reference graphs used as keys and set elements
    "shared chain as key": lambda n: b"\xa1" + chain(n // 6) + b"\x00",
    "shared chain in set": lambda n: b"\xd9\x01\x02\x81" + chain(n // 6),
    "many keys sharing a value": lambda n: many_keys(n),
    "duplicate shared key": lambda n: b"\xa2" + chain(n // 6) + b"\x00\xd8\x1d\x00\x01",
    "shared references": lambda n: b"\x9b" + (n // 3 + 1).to_bytes(8, "big") + b"\xd8\x1c\x80" + b"\xd8\x1d\x00" * (n // 3),
}


def many_keys(n):
    items = n // 8
    shared = b"\xd8\x1c" + uint(4, items) + b"\x00" * items
    pairs = b"".join(b"\x82\xd8\x1d\x00" + uint(0, i) + b"\x00" for i in range(items))
    return b"\x82" + shared + uint(5, items) + pairs


def cost(data):
    """Least time and peak traced memory of decoding `data` (whatever the outcome). The
    collector is paused: its passes over every live object are not the decoder's cost."""
    gc.collect()
    gc.disable()
    try:
        return measure(data)
    finally:
        gc.enable()


def measure(data):
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        try:
            loads(data, max_depth=1 << 20)
        except (CBORDecodeError, CBORDecodeEOF, RecursionError):
            pass
        best = min(best, time.perf_counter() - start)
    tracemalloc.start()
    try:
        try:
            loads(data, max_depth=1 << 20)
        except (CBORDecodeError, CBORDecodeEOF, RecursionError):
            pass
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    return best, peak


@pytest.mark.parametrize("shape", SHAPES)
def test_cost_grows_linearly(shape):
    # 32 times the input. Linear cost grows about 32 times; caches and a busy machine can
    # make that several times more, so the bound is loose, with a floor for the small size.
    # Quadratic cost would grow about 1000 times, exponential cost without end.
    small, large = 5_000, 160_000
    t_small, m_small = cost(SHAPES[shape](small))
    t_large, m_large = cost(SHAPES[shape](large))
    assert t_large <= 250 * max(t_small, 0.002), (t_small, t_large)
    assert m_large <= 64 * max(m_small, 1 << 16), (m_small, m_large)
