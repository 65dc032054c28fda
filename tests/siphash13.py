"""A small reference SipHash-1-3 (both keys zero) for checking the value types' hashes."""

import struct

_MASK = (1 << 64) - 1


def _rotl(x, b):
    return ((x << b) | (x >> (64 - b))) & _MASK


def _round(v):
    v0, v1, v2, v3 = v
    v0 = (v0 + v1) & _MASK
    v1 = _rotl(v1, 13) ^ v0
    v0 = _rotl(v0, 32)
    v2 = (v2 + v3) & _MASK
    v3 = _rotl(v3, 16) ^ v2
    v0 = (v0 + v3) & _MASK
    v3 = _rotl(v3, 21) ^ v0
    v2 = (v2 + v1) & _MASK
    v1 = _rotl(v1, 17) ^ v2
    v2 = _rotl(v2, 32)
    return [v0, v1, v2, v3]


def siphash13(data: bytes) -> int:
    """The unsigned 64-bit SipHash-1-3 of `data` with zero keys."""
    v = [0x736F6D6570736575, 0x646F72616E646F6D, 0x6C7967656E657261, 0x7465646279746573]
    tail_len = len(data) % 8
    blocks = [int.from_bytes(data[i:i + 8], "little") for i in range(0, len(data) - tail_len, 8)]
    blocks.append((len(data) & 0xFF) << 56 | int.from_bytes(data[len(data) - tail_len:], "little"))
    for m in blocks:
        v[3] ^= m
        v = _round(v)
        v[0] ^= m
    v[2] ^= 0xFF
    for _ in range(3):
        v = _round(v)
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def as_hash(u64: int) -> int:
    """The unsigned result as a Python hash: signed, with -1 replaced by -2."""
    h = struct.unpack("<q", struct.pack("<Q", u64))[0]
    return -2 if h == -1 else h


def tag_hash(tag: int, value_hash: int) -> int:
    return as_hash(siphash13(struct.pack("<Qq", tag, value_hash)))


def frozendict_hash(items) -> int:
    return as_hash(siphash13(struct.pack("<q", hash(frozenset(items)))))
