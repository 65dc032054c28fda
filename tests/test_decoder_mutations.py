"""Seeded random mutations of valid encodings: decoding returns a value or raises
CBORDecodeError, never anything else, never a crash."""

import io
import random
import time

from _kelvo import CBORDecodeError, CBORDecoder, loads

from decoder_support import h

CORPUS = [h(x) for x in (
    "a5 61 61 01 61 62 82 02 03 61 63 a1 01 f6 61 64 f9 3c00 61 65 fb 3ff199999999999a",
    "9f 01 5f 42 0102 41 03 ff 7f 62 6162 61 63 ff bf 01 02 ff 9f ff ff",
    "d8 1c 82 01 d8 1c a1 01 d8 1d 00",
    "83 d8 1c 81 01 d8 1d 00 d8 1d 01",
    "d9 0100 85 63 616263 d8 19 00 44 01020304 d8 19 01 a1 63 6b6579 d8 19 02",
    "d9 0102 83 01 02 03",
    "d9 d9f7 c6 82 f4 f5",
    "c2 49 010000000000000000",
    "d8 1e 82 01 03",
    "f8 ff e0 f7 f6",
    "fa 47c35000",
    "1b ffffffffffffffff",
    "3b ffffffffffffffff",
    "a2 82 01 02 a1 01 02 a0 80",
    "9f 9f 9f 01 ff ff ff",
    "d9 03e8 a1 d9 03e9 01 d9 03ea 02",
    "78 20 " + "61" * 32,
    "5a 00000005 0102030405",
)]

INTERESTING = [0x00, 0x17, 0x18, 0x19, 0x1a, 0x1b, 0x1c, 0x1f, 0x5f, 0x7f, 0x9f, 0xbf, 0xd8, 0xd9, 0x1d,
               0xf8, 0xf9, 0xfa, 0xfb, 0xff, 0x80, 0xa0, 0xc6, 0x40, 0x60]

OPTIONS = [
    {},
    {"immutable": True},
    {"allow_duplicate_keys": False},
    {"strict_hashable_types": True},
    {"str_errors": "replace"},
    {"max_depth": 3},
    {"allow_indefinite": False},
    {"tag_hook": lambda tag, immutable: tag.value},
    {"object_hook": lambda mapping, immutable: mapping},
    {"semantic_decoders": {1000: lambda payload, immutable: payload}},
]


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(6)
        pos = rng.randrange(len(data) + 1)
        if op == 0 and data:
            data[pos % len(data)] = rng.randrange(256)
        elif op == 1:
            data.insert(pos, rng.choice(INTERESTING))
        elif op == 2 and data:
            del data[pos % len(data)]
        elif op == 3:
            del data[pos:]
        elif op == 4 and data:
            start = rng.randrange(len(data))
            data[pos:pos] = data[start:start + rng.randint(1, 8)]
        elif data:
            data[pos % len(data)] = rng.choice(INTERESTING)
    return bytes(data)


def test_mutated_inputs_fail_cleanly():
    rng = random.Random(0x6B656C76)
    deadline = time.monotonic() + 2.5
    runs = 0
    while runs < 200000 and (runs < 500 or time.monotonic() < deadline):
        data = mutate(rng, rng.choice(CORPUS))
        options = rng.choice(OPTIONS)
        try:
            loads(data, **options)
        except CBORDecodeError:
            pass
        if runs % 8 == 0:
            # the same input through a stream, read in small blocks, decoded item after item
            stream_options = {k: v for k, v in options.items() if k != "immutable"}
            dec = CBORDecoder(io.BytesIO(data), read_size=rng.randint(0, 5), **stream_options)
            for _ in range(4):
                try:
                    dec.decode()
                except CBORDecodeError:
                    break
        runs += 1
    assert runs >= 500
