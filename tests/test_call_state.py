"""What is kept between calls (per-thread stacks and tables) and large string contents
written by reference: the results are those of a fresh, fully copied encoding."""

import io
import threading

import pytest

from _kelvo import CBOREncodeValueError, dump, dumps, loads

BIG = bytes(range(256)) * 200  # larger than what is copied into the output buffer
BIG_TEXT = "é" + "x" * 40_000


def streamed(obj, **options):
    bio = io.BytesIO()
    dump(obj, bio, **options)
    return bio.getvalue()


def nested(levels):
    value = [1]
    for _ in range(levels - 1):
        value = [value]
    return value


@pytest.mark.parametrize("obj, options", [
    (BIG, {}),
    ([BIG, b"a", BIG_TEXT, [BIG, BIG]], {}),
    ({"k": BIG, "t": BIG_TEXT, "n": [1, 2.5, None]}, {}),
    ((BIG, BIG_TEXT, BIG), {"indefinite_containers": True}),
    ([bytearray(BIG), BIG], {}),
    ([BIG, BIG, BIG_TEXT, BIG_TEXT], {"string_referencing": True}),
    ({BIG_TEXT: BIG, "a": BIG}, {"canonical": True}),
])
def test_large_contents_match_the_streamed_encoding(obj, options):
    encoded = dumps(obj, **options)
    assert encoded == streamed(obj, **options)
    assert dumps(loads(encoded), **options) == encoded


def test_large_contents_in_hooks():
    class Inner:
        pass

    def to_bytes(enc, value):
        enc.encode(enc.encode_to_bytes([BIG, "x"]))

    assert dumps([BIG, Inner()], default=to_bytes) == dumps([BIG, dumps([BIG, "x"])])

    # A stream given to the encoder halfway through: what was referenced goes out in order.
    bio = io.BytesIO()

    def set_fp(enc, value):
        enc.fp = bio
        enc.encode("x")

    result = dumps([BIG, Inner(), BIG_TEXT], default=set_fp)
    assert bio.getvalue() + result == dumps([BIG, "x", BIG_TEXT])

    def fail(enc, value):
        raise ValueError("stop")

    with pytest.raises(ValueError, match="stop"):
        dumps([BIG, Inner()], default=fail)
    assert dumps([BIG]) == streamed([BIG])


def test_deep_nesting_repeated_across_threads_and_nested_calls():
    deep = nested(1000)
    deep_bytes = dumps(deep)
    cyclic = [1, [2]]
    cyclic[1].append(cyclic)

    def hook(mapping, immutable):
        # A decode inside a decode: the outer one holds this thread's kept stacks.
        mapping["deep"] = loads(deep_bytes, max_depth=2000)
        return mapping

    doc = [deep, {"k": 1}, nested(700)]
    doc_bytes = dumps(doc)
    expected = dumps([deep, {"k": 1, "deep": deep}, nested(700)])
    failures = []

    def work():
        try:
            for _ in range(10):
                assert dumps(loads(doc_bytes, max_depth=2000, object_hook=hook)) == expected
                assert dumps(deep) == deep_bytes
                with pytest.raises(CBOREncodeValueError, match="cyclic data structure detected"):
                    dumps([nested(300), cyclic])
                assert dumps(nested(5)) == bytes.fromhex("818181818101")
        except BaseException as exc:  # reported in the main thread
            failures.append(exc)

    threads = [threading.Thread(target=work) for _ in range(3)]
    for t in threads:
        t.start()
    work()
    for t in threads:
        t.join()
    assert failures == []


@pytest.mark.parametrize("options", [{}, {"allow_duplicate_keys": False}, {"strict_hashable_types": True},
                                     {"object_hook": lambda m, immutable: m}])
def test_map_keys_outlive_their_place_in_the_key_cache(options):
    # Each inner map has more distinct keys than the key cache holds, so the outer key
    # waiting for its value is displaced from the cache in the meantime.
    doc = {f"outer-{i}": {f"k{i}-{j}": [j, {f"k{i}-{j}": j}] for j in range(600)} for i in range(3)}
    doc["outer-0-again"] = doc["outer-0"]
    decoded = loads(dumps(doc), **options)
    assert decoded == doc
    assert all(type(k) is str for k in decoded)
