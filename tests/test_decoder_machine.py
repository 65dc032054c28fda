"""The decode machine: headers, integers, the break code, the depth limit, the immutable flag,
error labels, and deep nesting without native recursion."""

import sys

import pytest

from _kelvo import CBORDecodeEOF, CBORDecodeError, CBORTag, frozendict, loads

from decoder_support import decode_error, h

BREAK_MSG = "break code encountered where a data item was expected"


@pytest.mark.parametrize("data, expected", [
    ("00", 0), ("17", 23), ("18 18", 24), ("18 ff", 255), ("19 0100", 256), ("1a 000f4240", 1000000),
    ("1b 000000e8d4a51000", 1000000000000), ("1b ffffffffffffffff", 2**64 - 1),
    ("20", -1), ("37", -24), ("38 ff", -256), ("39 03e7", -1000),
    ("3b 7fffffffffffffff", -2**63), ("3b 8000000000000000", -2**63 - 1), ("3b ffffffffffffffff", -2**64),
])
def test_integers(data, expected):
    value = loads(h(data))
    assert value == expected and type(value) is int


def test_small_ints_are_shared():
    hundred, minus_one = 100, -1  # the interpreter's cached small ints
    assert loads(h("18 64")) is hundred
    assert loads(h("20")) is minus_one


@pytest.mark.parametrize("data, label, message", [
    ("1c", "unsigned integer", "unknown unsigned integer subtype 0x1c"),
    ("3e", "negative integer", "unknown unsigned integer subtype 0x1e"),
    ("5d", "byte string", "unknown unsigned integer subtype 0x1d"),
    ("9c", "array", "unknown unsigned integer subtype 0x1c"),
    ("dc", "semantic tag", "unknown unsigned integer subtype 0x1c"),
    ("1f", "unsigned integer", "indefinite length not allowed here"),
    ("3f", "negative integer", "indefinite length not allowed here"),
    ("df 01", "semantic tag", "indefinite length not allowed here"),
])
def test_labelled_header_errors(data, label, message):
    err = decode_error(data)
    assert type(err) is CBORDecodeError
    assert str(err) == f"error decoding {label}: {message}"
    assert err.__cause__ is None


@pytest.mark.parametrize("data, label", [
    ("1f", "unsigned integer"), ("5f ff", "byte string"), ("7f ff", "text string"), ("9f ff", "array"),
    ("bf ff", "map"), ("df 01", "semantic tag"),
])
def test_indefinite_disabled(data, label):
    err = decode_error(data, allow_indefinite=False)
    assert str(err) == f"error decoding {label}: encountered indefinite length but it has been disabled"


@pytest.mark.parametrize("data", ["ff", "81 ff", "82 01 ff", "a1 01 ff", "c6 ff", "d8 1c ff", "9f d8 1c ff",
                                  "d9 0100 ff"])
def test_misplaced_break_is_not_labelled(data):
    assert str(decode_error(data)) == BREAK_MSG


def test_break_is_not_returned_with_indefinite_disabled():
    with pytest.raises(CBORDecodeError, match=f"^{BREAK_MSG}$"):
        loads(h("ff"), allow_indefinite=False)


@pytest.mark.parametrize("data", ["19 01", "1b 0000", "82 01", "a1 01", "43 6162", "c6", "d8", "f9 00", "5f 41",
                                  "7f 61", "bf 61 61 01"])
def test_truncation_raises_eof_unlabelled(data):
    with pytest.raises(CBORDecodeEOF) as info:
        loads(h(data))
    assert str(info.value).startswith("premature end of stream")


def test_eof_at_every_position_of_a_valid_item():
    data = h("a3 6161 83 01 f9 3c00 c6 42 0102 6162 9f 18 64 7f 62 6869 ff ff 41 63 d8 1c 81 d8 1d 00")
    assert loads(data)
    for cut in range(len(data)):
        with pytest.raises(CBORDecodeEOF):
            loads(data[:cut])


def test_depth_limit():
    assert loads(h("81 81 01"), max_depth=2) == [[1]]
    with pytest.raises(CBORDecodeError) as info:
        loads(h("81 81 81 01"), max_depth=2)
    assert str(info.value) == "maximum container nesting depth (2) exceeded"
    with pytest.raises(CBORDecodeError, match=r"^maximum container nesting depth \(0\) exceeded$"):
        loads(h("81 01"), max_depth=0)
    assert loads(h("01"), max_depth=0) == 1
    assert loads(h("80"), max_depth=0) == []
    assert loads(h("a0"), max_depth=0) == {}
    # tags and markers count as frames too
    with pytest.raises(CBORDecodeError, match="depth"):
        loads(h("c6 01"), max_depth=0)
    with pytest.raises(CBORDecodeError, match="depth"):
        loads(h("d8 1c 01"), max_depth=0)
    with pytest.raises(CBORDecodeError, match=r"^maximum container nesting depth \(400\) exceeded$"):
        loads(b"\x81" * 401 + b"\x01")
    assert loads(b"\x81" * 400 + b"\x01") is not None


def test_immutable_flag():
    assert loads(h("82 81 01 81 02"), immutable=True) == ((1,), (2,))
    value = loads(h("a1 61 61 82 01 02"), immutable=True)
    assert type(value) is frozendict and value["a"] == (1, 2)
    # keys are decoded immutable, values follow the map
    value = loads(h("a1 82 01 02 82 03 04"))
    assert value == {(1, 2): [3, 4]}
    value = loads(h("a1 a1 01 82 02 03 82 04 05"))
    key, = value
    assert type(key) is frozendict and key[1] == (2, 3) and value[key] == [4, 5]
    # a container that is itself a key keeps every item immutable, its values included
    value = loads(h("a1 a2 01 81 02 03 81 04 80"))
    key, = value
    assert key == frozendict({1: (2,), 3: (4,)})
    # tag payloads are immutable; the map after them is not
    assert loads(h("82 c6 81 01 81 02")) == [CBORTag(6, (1,)), [2]]
    assert loads(h("9f 81 01 a1 01 81 02 ff")) == [[1], {1: [2]}]


ERROR_CASES = [
    # (data, options, message, cause type)
    ("d9 03e8 01", {"tag_hook": lambda t, i: 1 / 0}, "error decoding semantic tag 1000", ZeroDivisionError),
    ("a1 01 02", {"object_hook": lambda m, i: int("x")}, "error decoding map", ValueError),
    ("63 61 ff 62", {}, "error decoding text string", UnicodeDecodeError),
]


@pytest.mark.parametrize("data, options, message, cause", ERROR_CASES)
def test_other_exceptions_become_causes(data, options, message, cause):
    err = decode_error(data, **options)
    assert str(err) == message
    assert type(err.__cause__) is cause


def fail(*args):
    raise CBORDecodeError("bad value")


@pytest.mark.parametrize("data, options, label", [
    ("d9 03e8 01", {"tag_hook": fail}, "semantic tag 1000"),
    ("a1 01 02", {"object_hook": fail}, "map"),
    ("d9 03e8 01", {"semantic_decoders": {1000: fail}}, "semantic tag 1000"),
])
def test_decode_errors_from_hooks_are_merged(data, options, label):
    err = decode_error(data, **options)
    assert str(err) == f"error decoding {label}: bad value"
    assert err.__cause__ is None


def test_eof_from_hooks_passes_unchanged():
    eof = CBORDecodeEOF("from hook")

    def hook(tag, immutable):
        raise eof

    with pytest.raises(CBORDecodeEOF) as info:
        loads(h("d9 03e8 01"), tag_hook=hook)
    assert info.value is eof


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_base_exceptions_are_not_wrapped(exc_type):
    def hook(tag, immutable):
        raise exc_type()

    with pytest.raises(exc_type):
        loads(h("d9 03e8 01"), tag_hook=hook)
    with pytest.raises(exc_type):
        loads(h("a0"), object_hook=lambda m, i: hook(m, i))


def test_labels_nest_outward():
    # an error inside an array inside a map is labelled once, by the innermost frame
    with pytest.raises(CBORDecodeError) as info:
        loads(h("a1 01 81 1c"))
    assert str(info.value) == "error decoding unsigned integer: unknown unsigned integer subtype 0x1c"


DEEP = 100_000


@pytest.mark.parametrize("prefix, leaf", [
    (b"\x81", b"\x01"),          # arrays
    (b"\x9f", b"\x01"),          # indefinite arrays, closed below
    (b"\xa1\x01", b"\x01"),      # maps as values
    (b"\xc6", b"\x01"),          # tags
    (b"\xd8\x1c\x81", b"\x01"),  # shareable arrays
])
@pytest.mark.parametrize("immutable", [False, True])
def test_deep_nesting_without_native_recursion(prefix, leaf, immutable):
    data = prefix * DEEP + leaf + (b"\xff" * DEEP if prefix == b"\x9f" else b"")
    value = loads(data, max_depth=10**9, immutable=immutable)
    depth = 0
    while not isinstance(value, int):
        value = value.value if isinstance(value, CBORTag) else next(iter(value.values())) \
            if isinstance(value, (dict, frozendict)) else value[0]
        depth += 1
    assert depth == DEEP
    del value
    # failing deep in the stack releases everything cleanly
    with pytest.raises(CBORDecodeEOF):
        loads(data[:-1] if prefix != b"\x9f" else prefix * DEEP, max_depth=10**9, immutable=immutable)
    with pytest.raises(CBORDecodeError, match="depth"):
        loads(data, max_depth=DEEP - 1, immutable=immutable)


def test_deeply_nested_keys_are_refused_before_hashing():
    # hashing a tuple nested this deep would recurse in the interpreter
    data = b"\xa1" + b"\x81" * DEEP + b"\x01\x02"
    with pytest.raises(CBORDecodeError) as info:
        loads(data, max_depth=10**9)
    assert str(info.value) == "error decoding map: map key nested too deeply to be hashed (more than 1000 levels)"
    assert loads(b"\xa1" + b"\x81" * 999 + b"\x01\x02", max_depth=2000)
    data = h("d9 0102 81") + b"\x81" * DEEP + b"\x01"
    with pytest.raises(CBORDecodeError, match="^error decoding set: set element nested too deeply"):
        loads(data, max_depth=10**9)


def test_recursion_limit_untouched():
    before = sys.getrecursionlimit()
    loads(b"\x81" * 5000 + b"\x01", max_depth=10000)
    assert sys.getrecursionlimit() == before


@pytest.mark.parametrize("data, expected", [
    ("81 81 81 01", [[[1]]]),
    ("82 81 81 01 81 02", [[[1]], [2]]),
    ("81 83 81 01 02 81 81 03", [[[1], 2, [[3]]]]),
    ("81 81 83 81 81 01 80 a0", [[[[[1]], [], {}]]]),
    ("81 81 97" + " 81 01" * 23, [[[[1]] * 23]]),
    ("a1 61 6b 81 81 81 01", {"k": [[[1]]]}),
    ("a1 81 81 01 81 81 02", {((1,),): [[2]]}),
    ("81 81 9f 81 81 01 ff", [[[[[1]]]]]),
    ("81 81 d8 1c 81 81 01", [[[[1]]]]),
], ids=["chain", "chain-then-sibling", "chain-around-filled", "chain-with-empties", "chain-around-23",
        "chain-as-map-value", "chain-as-map-key", "chain-around-indefinite", "chain-around-shareable"])
def test_nested_short_arrays(data, expected):
    assert loads(h(data)) == expected
    data = h(data)
    for cut in range(len(data)):
        with pytest.raises(CBORDecodeEOF):
            loads(data[:cut])


@pytest.mark.parametrize("data, fits_from", [
    # the height of a shared chain of one-item arrays counts where it is referred to again
    ("82 d8 1c 81 81 81 01 81 d8 1d 00", 5),
    ("82 d8 1c 81 81 81 01 81 81 d8 1d 00", 6),
    ("81 81 81 81 01", 4),
    ("81 81 83 01 81 81 02 03", 5),
])
def test_depth_of_nested_short_arrays(data, fits_from):
    loads(h(data), max_depth=fits_from)
    with pytest.raises(CBORDecodeError) as info:
        loads(h(data), max_depth=fits_from - 1)
    assert str(info.value) == f"maximum container nesting depth ({fits_from - 1}) exceeded"
