"""Hostile input: shared references that multiply the work of hashing keys and of error
messages, and the shapes whose cost must grow no faster than the input."""

import gc
import threading
import time
import tracemalloc

import pytest

from _kelvo import CBORDecodeEOF, CBORDecodeError, CBORTag, dumps, loads
from kelvo import UNTRUSTED_SEMANTIC_DECODERS

from decoder_support import h
from value_helpers import head

EXPANDS = "refers to shared values that expand to far more than the input read so far"


def chain(levels, tag=None):
    """X_0 = 28([0]); X_i = 28([X_(i-1), 29(index of X_(i-1))]): each level doubles the
    items the value stands for. With `tag`, every level is wrapped in that tag."""
    wrap = head(6, tag) if tag is not None else b""
    out = b"\xd8\x1c" + wrap + b"\x81\x00"
    for i in range(1, levels):
        out = b"\xd8\x1c" + wrap + b"\x82" + out + b"\xd8\x1d" + head(0, levels - i)
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
    "shared references":
        lambda n: b"\x9b" + (n // 3 + 1).to_bytes(8, "big") + b"\xd8\x1c\x80" + b"\xd8\x1d\x00" * (n // 3),
}


def many_keys(n):
    items = n // 8
    shared = b"\xd8\x1c" + head(4, items) + b"\x00" * items
    pairs = b"".join(b"\x82\xd8\x1d\x00" + head(0, i) + b"\x00" for i in range(items))
    return b"\x82" + shared + head(5, items) + pairs


def cost(data, **options):
    """Least time and peak traced memory of decoding `data` (whatever the outcome). The
    collector is paused: its passes over every live object are not the decoder's cost."""
    gc.collect()
    gc.disable()
    try:
        return measure(data, options)
    finally:
        gc.enable()


def measure(data, options):
    options.setdefault("max_depth", 1 << 20)
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        try:
            loads(data, **options)
        except (CBORDecodeError, CBORDecodeEOF, RecursionError):
            pass
        best = min(best, time.perf_counter() - start)
    # The traced decode runs on a thread of its own: a thread keeps its decoder stacks
    # between calls, which would make a small input's decode look cheaper than it is.
    def traced():
        try:
            loads(data, **options)
        except (CBORDecodeError, CBORDecodeEOF, RecursionError):
            pass

    tracemalloc.start()
    try:
        thread = threading.Thread(target=traced)
        thread.start()
        thread.join()
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


# ---- Tag decoders fed through references, and costly standard-library parsers

def text(major, payload):
    return head(major, len(payload)) + payload


def shared_bytes_to_bignums(n):
    # [28(h'ff' * k), 2(29(0)) * r]: one shared byte string made into an int r times
    r = n // 8
    return head(4, r + 1) + b"\xd8\x1c" + text(2, b"\xff" * (n // 2)) + b"\xc2\xd8\x1d\x00" * r


def referenced_text_to_mime(n):
    # 256([message, 36(25(0)) * r]): one text parsed as a message r times
    r = n // 10
    return b"\xd9\x01\x00" + head(4, r + 1) + text(3, mime_message(n)) + b"\xd8\x24\xd8\x19\x00" * r


def shared_ints_to_rationals(n):
    # [28(L), 28(L + 2), 30([29(0), 29(1)]) * r] with L within the digit limit
    big = big_operand(n)
    r = n // 9
    return (head(4, r + 2) + b"\xd8\x1c" + dumps(big) + b"\xd8\x1c" + dumps(big + 2)
            + b"\xd8\x1e\x82\xd8\x1d\x00\xd8\x1d\x01" * r)


def squared_shared_rationals(n):
    # X_0 = 28(30([3, 7])), X_i = 28(30([29(i - 1), 29(i - 1)])): each step would square
    # the digits of the one before
    out = b"\xd8\x1c\xd8\x1e\x82\x03\x07"
    steps = n // 15
    for i in range(1, steps):
        out = b"\x82" + out + b"\xd8\x1c\xd8\x1e\x82" + (b"\xd8\x1d" + head(0, i - 1)) * 2
    return out


def rational_tree(n):
    # rationals of rationals, nine levels, big integer leaves
    big = dumps(5 * 10 ** min(n // 1100, 4000))
    node = big
    for _ in range(9):
        node = b"\xd8\x1e\x82" + node + node
    return node


def case_insensitive_classes(n):
    pattern = b"(?i)" + b"[\\x00-\\U0010ffff]" * (n // 16)
    return b"\xd8\x23" + text(3, pattern)


TAG_SHAPES = {
    "shared bytes to bignums": (shared_bytes_to_bignums, {}),
    "referenced text to MIME": (referenced_text_to_mime, {}),
    "shared ints to rationals": (shared_ints_to_rationals, {}),
    "squared shared rationals": (squared_shared_rationals, {}),
    "rational tree": (rational_tree, {}),
    "case-insensitive classes": (case_insensitive_classes, {"semantic_decoders": UNTRUSTED_SEMANTIC_DECODERS}),
    "long pattern": (lambda n: b"\xd8\x23" + text(3, b"x" * n), {"semantic_decoders": UNTRUSTED_SEMANTIC_DECODERS}),
    "long message": (lambda n: b"\xd8\x24" + text(3, b"Subject: x\n\n" + b"y" * n),
                     {"semantic_decoders": UNTRUSTED_SEMANTIC_DECODERS}),
}


@pytest.mark.parametrize("shape", TAG_SHAPES)
def test_tag_decoder_cost_grows_linearly(shape):
    build, options = TAG_SHAPES[shape]
    small, large = 4_000, 128_000
    t_small, m_small = cost(build(small), **options)
    t_large, m_large = cost(build(large), **options)
    assert t_large <= 250 * max(t_small, 0.002), (t_small, t_large)
    assert m_large <= 64 * max(m_small, 1 << 16), (m_small, m_large)


CHARGED = ("payload refers to shared values or string references that expand to far more than the input "
           "read so far (the budget for references handed to tag decoders is spent)")


def mime_message(n):
    return b"Subject: x\n" + b"y\n" * (n // 4)


def big_operand(n):
    return 5 * 10 ** min(n // 3, 4000)


# Each case beside one plain decoding of the payload it refers to: the budget lets about a hundred
# such decodings through before it refuses, so the bound is relative and holds on slow builds too.
@pytest.mark.parametrize("data, once, name", [
    (shared_bytes_to_bignums(1 << 16), b"\xc2" + text(2, b"\xff" * (1 << 15)), "positive bignum"),
    (referenced_text_to_mime(1 << 16), b"\xd8\x24" + text(3, mime_message(1 << 16)), "MIME message"),
    (shared_ints_to_rationals(1 << 16),
     b"\xd8\x1e\x82" + dumps(big_operand(1 << 16)) + dumps(big_operand(1 << 16) + 2), "rational"),
], ids=["bignums", "mime", "rationals"])
def test_references_handed_to_tag_decoders_are_charged(data, once, name):
    started = time.perf_counter()
    loads(once)
    single = time.perf_counter() - started
    started = time.perf_counter()
    with pytest.raises(CBORDecodeError) as info:
        loads(data)
    assert time.perf_counter() - started < 400 * single + 0.5
    assert str(info.value) == f"error decoding {name}: {CHARGED}"


def test_nested_rationals_are_refused():
    for data in (squared_shared_rationals(400), rational_tree(11_000)):
        with pytest.raises(CBORDecodeError, match="^error decoding rational: numerator must be an integer, not "
                                                  "<class 'fractions.Fraction'>$"):
            loads(data)


def test_sharing_that_copies_nothing_is_not_charged():
    # the same values without references decode in full
    blob = b"\xff" * 4096
    assert loads(dumps([int.from_bytes(blob)] * 2000)) == [int.from_bytes(blob)] * 2000
    # a list shared in many places, a string referenced many times as plain text, and a
    # shared value handed to the caller's own decoder are not copied
    shared = list(range(1000))
    assert loads(dumps([shared] * 5000, value_sharing=True)) == [shared] * 5000
    word = "w" * 1000
    assert loads(dumps([word] * 20000, string_referencing=True)) == [word] * 20000
    data = head(4, 2001) + b"\xd8\x1c" + text(2, blob) + b"\xc2\xd8\x1d\x00" * 2000
    decoded = loads(data, semantic_decoders={2: lambda payload, immutable: len(payload)})
    assert decoded == [blob] + [4096] * 2000
    # short values referenced from tag decoders fit the budget: repeated datetimes written
    # with string references
    import datetime
    when = datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.UTC)
    assert loads(dumps([when] * 50000, string_referencing=True)) == [when] * 50000


def test_keys_of_moderate_expansion_decode_at_the_start_of_the_input():
    # what value sharing writes for a set of nested tuples reads back, although the key
    # stands for far more than the 63 bytes of input
    t = (1.5, 2.5)
    for _ in range(4):
        t = (t, t, t)
    data = dumps({t}, value_sharing=True)
    assert data == h("d90102d81c81d81c83d81c83d81c83d81c83d81c82fb3ff8000000000000fb4004000000000000d81d05d81d05"
                     "d81d04d81d04d81d03d81d03d81d02d81d02")
    assert loads(data) == {t}
    # a key that doubles per level stays refused once past the allowance
    with pytest.raises(CBORDecodeError, match=f"map key {EXPANDS}$"):
        loads(b"\xa1" + chain(18) + b"\x00")


def test_untrusted_semantic_decoders_keep_costly_tags():
    data = dumps([CBORTag(35, "(?i)[a-z]+"), CBORTag(36, "Subject: x\n\nbody"), CBORTag(37, bytes(16))])
    decoded = loads(data, semantic_decoders=UNTRUSTED_SEMANTIC_DECODERS)
    assert decoded[:2] == [CBORTag(35, "(?i)[a-z]+"), CBORTag(36, "Subject: x\n\nbody")]
    assert str(decoded[2]) == "00000000-0000-0000-0000-000000000000"
    assert dumps(decoded[:2]) == dumps([CBORTag(35, "(?i)[a-z]+"), CBORTag(36, "Subject: x\n\nbody")])
    with pytest.raises(TypeError):
        UNTRUSTED_SEMANTIC_DECODERS[2] = None
