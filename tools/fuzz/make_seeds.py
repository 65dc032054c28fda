"""Writes the fuzz targets' seed corpora into the folder given as argument.

decode/: the RFC 8949 Appendix A vectors and kelvo's encodings of a set of test values, each
behind a few choices of the three option bytes that decode_input reads first.
encode/: programs for encode_input's value builder, drawn from a fixed random sequence.
"""

import json
import math
import random
import sys
from pathlib import Path

import dagcbor_seeds

import kelvo
from kelvo import CBORSimpleValue, CBORTag, frozendict, undefined

ROOT = Path(__file__).resolve().parents[2]

OPTION_PREFIXES = (b"\x00\x00\x00", b"\x08\x15\x0b", b"\x06\x2a\x31", b"\x31\xc0\x59")


def test_values():
    shared = [1, "shared"]
    cyclic = []
    cyclic.append(cyclic)
    yield from (
        0, 1, -1, 24, 2**64, -(2**64) - 1, 2**200, 1.5, -0.0, math.nan, math.inf, 1e300,
        "", "ü水\U0001f600", "x" * 300, b"", b"\x00" * 40, bytearray(b"ab"),
        [], [1, [2, [3, [4]]]], (1, "a"), {}, {"a": 1, "b": [1, 2]}, {(1, 2): "t", 3.5: None},
        frozendict({"k": (1, 2)}), {1, 2, 3}, frozenset({"a"}), True, False, None, undefined,
        CBORSimpleValue(16), CBORSimpleValue(255), CBORTag(6, [1]), CBORTag(2**64 - 1, "t"),
        ["abc", "abc", b"xyz", b"xyz", "abc"],
    )
    yield [shared, shared, {"s": shared}], {"value_sharing": True}
    yield cyclic, {"value_sharing": True}
    yield ["hello", "hello", ["hello", b"bytes", b"bytes"]], {"string_referencing": True}
    yield {"b": 1, "a": [2.5, 1.0], "aa": {3, 1, 2}}, {"canonical": True}
    yield [[1, 2], {"x": [3]}, "s", b"b"], {"indefinite_containers": True}


def main(out):
    out = Path(out)
    (out / "decode").mkdir(parents=True, exist_ok=True)
    (out / "encode").mkdir(parents=True, exist_ok=True)
    payloads = []
    with open(ROOT / "tests" / "data" / "appendix_a.json") as f:
        payloads += [bytes.fromhex(entry["hex"]) for entry in json.load(f)]
    for item in test_values():
        value, opts = item if isinstance(item, tuple) and len(item) == 2 and isinstance(item[1], dict) else (item, {})
        payloads.append(kelvo.dumps(value, **opts))
    # Shared values used as keys and set members, tag 28/29 by hand.
    payloads.append(bytes.fromhex("d81c82d81c816161d81ca1d81d0101"))
    payloads.append(bytes.fromhex("a2d81c8101d81d0001"))
    # References handed to tag decoders: a shared byte string made into bignums, a
    # referenced text parsed as a message, shared ints in rationals, rationals of rationals.
    payloads.append(bytes.fromhex("83d81c4affffffffffffffffffffc2d81d00c2d81d00"))
    payloads.append(bytes.fromhex("d9010083" + "6c5375626a6563743a20780a0a" + "d824d81900d824d81900"))
    payloads.append(bytes.fromhex("84d81cc24a01000000000000000000d81c1903e8"
                                  "d81e82d81d00d81d01d81e82d81d01d81d00"))
    payloads.append(bytes.fromhex("82d81cd81e820307d81cd81e82d81d00d81d00"))
    payloads.append(bytes.fromhex("83d81c19ffffc1d81d00c48221d81d00"))
    n = 0
    for i, p in enumerate(payloads):
        for prefix in OPTION_PREFIXES[: 1 + i % len(OPTION_PREFIXES)]:
            (out / "decode" / f"seed-{n:04d}").write_bytes(prefix + p)
            n += 1
    rng = random.Random(1)
    for i in range(64):
        prog = bytes([i % 16, (i // 16) & 1]) + bytes(rng.randrange(256) for _ in range(rng.randrange(8, 160)))
        (out / "encode" / f"seed-{i:04d}").write_bytes(prog)
    sys.path.insert(0, str(Path(__file__).parent))
    from typed_fuzz import seeds as typed_seeds

    (out / "typed").mkdir(parents=True, exist_ok=True)
    for i, seed in enumerate(typed_seeds()):
        (out / "typed" / f"seed-{i:04d}").write_bytes(seed)
    print(f"seeds: {n} decoder inputs, 64 encoder programs, typed inputs in {out}")
    print("seeds: {} DAG-CBOR blocks, {} CAR files".format(*dagcbor_seeds.write_seeds(out)))


if __name__ == "__main__":
    main(sys.argv[1])
