"""Python side of kelvo's fuzz targets.

The targets (decode.cpp, encode.cpp) embed the free-threaded interpreter with a sanitizer build
of `_kelvo` linked in, and hand every fuzzer input to `decode_input` or `encode_input` here.
These functions turn the bytes into kelvo calls and check the results; any exception that
escapes them is a finding (the target prints it and aborts). The first bytes of an input
choose the options, the rest is the payload (decoding) or a program that builds a value
(encoding).
"""

import datetime
import decimal
import email.message
import fractions
import gc
import io
import ipaddress
import math
import re
import struct
import sys
import uuid

import kelvo
from kelvo import (
    CBORDecodeError,
    CBORDecoder,
    CBOREncodeError,
    CBORSimpleValue,
    CBORTag,
    frozendict,
    undefined,
)
from kelvo import _diag
from kelvo._wellformed import Reader

assert not sys._is_gil_enabled(), "the fuzz targets need the free-threaded interpreter without the GIL"


class HookError(Exception):
    """Raised on purpose by the hooks that the targets install."""


# ----------------------------------------------------------------------------------------
# Behaviour of the build under test. Some stream behaviours only became reliable in later
# versions; probing them keeps the checks strict wherever the build supports them.


class _Stream:
    """A readable binary stream with a chosen read pattern.

    `pattern` gives, in turn, the most bytes each `read` call returns (0: as many as asked);
    with `extra` > 0 a call also returns up to that many bytes more than asked (read-ahead).
    Without `seekable`, `seek` raises io.UnsupportedOperation.
    """

    def __init__(self, data, pattern=(0,), extra=0, seekable=True):
        self._data = data
        self._pos = 0
        self._pattern = pattern
        self._turn = 0
        self._extra = extra
        self._seekable = seekable

    def readable(self):
        return True

    def seekable(self):
        return self._seekable

    def read(self, n=-1):
        if n is None or n < 0:
            n = len(self._data) - self._pos
        limit = self._pattern[self._turn % len(self._pattern)]
        self._turn += 1
        take = n + self._extra
        if limit:
            take = min(take, limit)
        chunk = self._data[self._pos:self._pos + take]
        self._pos += len(chunk)
        return chunk

    def seek(self, offset, whence=0):
        if not self._seekable:
            raise io.UnsupportedOperation("seek")
        base = {0: 0, 1: self._pos, 2: len(self._data)}[whence]
        pos = base + offset
        if pos < 0:
            raise ValueError("negative seek position")
        self._pos = pos
        return pos


def _probe_short_reads():
    try:
        return kelvo.load(_Stream(b"\x63abc" + b"\x00" * 8, pattern=(1,))) == "abc"
    except CBORDecodeError:
        return False


def _probe_unseekable_read_ahead():
    dec = CBORDecoder(_Stream(b"\x01\x02\x03", extra=8, seekable=False))
    try:
        return [dec.decode(), dec.decode(), dec.decode()] == [1, 2, 3]
    except Exception:  # the read-ahead could not be given back
        return False


def _probe_shared_immutables():
    t = ("a",)
    try:
        kelvo.loads(kelvo.dumps([t, {t: 1}, (), {()}], value_sharing=True))
        return True
    except CBORDecodeError:
        return False


def _probe_bignums():
    return kelvo.loads(bytes.fromhex("c249010000000000000000")) == 2**64


SHORT_READS = _probe_short_reads()
UNSEEKABLE_READ_AHEAD = _probe_unseekable_read_ahead()
SHARED_IMMUTABLES = _probe_shared_immutables()
BIGNUMS = _probe_bignums()
for _name, _ok in (("short reads", SHORT_READS), ("read-ahead on unseekable streams", UNSEEKABLE_READ_AHEAD),
                   ("shared immutable values", SHARED_IMMUTABLES), ("bignum tags", BIGNUMS)):
    if not _ok:
        print(f"kelvo_fuzz: this build does not yet handle {_name}; the checks that need it are relaxed",
              file=sys.stderr)


VALUE_TYPES = (datetime.datetime, datetime.date, decimal.Decimal, fractions.Fraction, re.Pattern, uuid.UUID,
               ipaddress.IPv4Address, ipaddress.IPv6Address, ipaddress.IPv4Network, ipaddress.IPv6Network,
               ipaddress.IPv4Interface, ipaddress.IPv6Interface)


def _message_text(message):
    try:
        return message.as_string()
    except Exception as e:  # a message that cannot be written out again fails the same way
        return (type(e), str(e))


# ----------------------------------------------------------------------------------------
# Structural comparison: tuples and lists alike (arrays), dicts and frozendicts alike (maps),
# sets and frozensets alike, NaN equal to NaN, the sign of zero kept, cycles followed once.


def same(a, b, memo=None, track=False, ids=None):
    """True when `b` is what decoding the encoding of `a` should give.

    With `track`, lists and dicts must also map one-to-one (shared ones stay shared). Where
    the decoder needs an immutable value (a map key, a set, a tag's content) a shared list or
    dict that it already built mutable is replaced by an immutable copy, made once and reused:
    each list or dict then maps to at most one mutable and one immutable decoded value.
    """
    if memo is None:
        memo = set()
    if ids is None:
        ids = {}
    if isinstance(a, Opaque):
        a = a.written
    if isinstance(a, Custom):
        a = a.written
    pair = (id(a), id(b))
    if pair in memo:
        return True
    if track and isinstance(a, (list, dict)):  # sets are written again at each occurrence
        seen = ids.setdefault((id(a), type(b) in (list, dict)), b)
        if seen is not b:
            return False
    if isinstance(a, bool) or a is None or a is undefined:
        return b is a
    if isinstance(a, int):
        if not BIGNUMS and isinstance(b, CBORTag) and b.tag in (2, 3):
            n = a if b.tag == 2 else -1 - a
            return n >= 2**64 and b.value == n.to_bytes((n.bit_length() + 7) // 8, "big")
        return type(b) is int and a == b
    if isinstance(a, float):
        if type(b) is not float:
            return False
        if math.isnan(a):
            return math.isnan(b)
        return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    if isinstance(a, str):
        return type(b) is str and a == b
    if isinstance(a, (bytes, bytearray)):
        return type(b) is bytes and a == b
    if isinstance(a, CBORSimpleValue):
        expect = {20: False, 21: True, 22: None, 23: undefined}.get(a.value, a)
        if expect is a:
            return isinstance(b, CBORSimpleValue) and b.value == a.value
        return b is expect
    # What the built-in tag codecs decode to (decoder target only: the builder makes none).
    if isinstance(a, complex):  # NaN parts compare like floats
        return type(b) is complex and same(a.real, b.real) and same(a.imag, b.imag)
    if isinstance(a, email.message.Message):  # no value equality: compare the text
        return type(b) is type(a) and _message_text(a) == _message_text(b)
    if isinstance(a, VALUE_TYPES):  # the repr also tells apart equal values of other forms
        return type(b) is type(a) and a == b and repr(a) == repr(b)
    memo.add(pair)
    if isinstance(a, (list, tuple)):
        return isinstance(b, (list, tuple)) and len(a) == len(b) and all(
            same(x, y, memo, track, ids) for x, y in zip(a, b))
    if isinstance(a, (dict, frozendict)):
        if not isinstance(b, (dict, frozendict)) or len(a) != len(b):
            return False
        for k, v in a.items():
            try:
                w = b[k]
            except Exception:  # KeyError, TypeError, or RuntimeError from hashing a tag
                # a key that does not come back equal (NaN, a bignum left as a tag): pair by shape
                if not any(same(k, x) and same(v, y, memo, track, ids) for x, y in b.items()):
                    return False
                continue
            if not same(v, w, memo, track, ids):
                return False
        return True
    if isinstance(a, (set, frozenset)):
        if not isinstance(b, (set, frozenset)) or len(a) != len(b):
            return False
        try:
            if a == b:
                return True
        except Exception:
            pass
        return all(any(same(x, y) for y in b) for x in a)
    if isinstance(a, CBORTag):
        return isinstance(b, CBORTag) and a.tag == b.tag and same(a.value, b.value, memo, track, ids)
    raise AssertionError(f"no comparison for {type(a)}")


# ----------------------------------------------------------------------------------------
# Decoder target


def _tag_hook_value(tag, immutable):
    return ("tag", tag.tag, tag.value) if immutable else ["tag", tag.tag, tag.value]


def _tag_hook_raise(tag, immutable):
    if tag.tag % 3 == 0:
        raise HookError(tag.tag)
    return tag


def _tag_hook_unwrap(tag, immutable):
    return tag.value


def _object_hook_copy(mapping, immutable):
    return frozendict(mapping) if immutable else dict(mapping)


def _object_hook_raise(mapping, immutable):
    if len(mapping) % 2:
        raise HookError(len(mapping))
    return mapping


def _object_hook_items(mapping, immutable):
    items = tuple(mapping.items())
    return items if immutable else list(items)


def _semantic_raise(payload, immutable):
    raise HookError("semantic")


class _SemanticMapping:
    """A mapping that is not a dict: unknown tags raise KeyError from __getitem__."""

    _table = {
        1000: lambda payload, immutable: ("sd", payload),
        1001: _semantic_raise,
        2: lambda payload, immutable: ("big", payload),
    }

    def __getitem__(self, key):
        return self._table[key]

    def __len__(self):
        return len(self._table)

    def __iter__(self):
        return iter(self._table)

    def keys(self):
        return self._table.keys()


import collections.abc  # noqa: E402

collections.abc.Mapping.register(_SemanticMapping)

TAG_HOOKS = (None, _tag_hook_value, _tag_hook_raise, _tag_hook_unwrap)
OBJECT_HOOKS = (None, _object_hook_copy, _object_hook_raise, _object_hook_items)
SEMANTIC = (None, {}, {1000: lambda payload, immutable: ("sd", payload), 1001: _semantic_raise,
                       30: lambda payload, immutable: ("ratio", payload)}, _SemanticMapping())
MAX_DEPTHS = (400, 2, 16, 64)
STR_ERRORS = ("strict", "replace", "ignore", "surrogateescape", "backslashreplace", "strict", "strict", "strict")
READ_PATTERNS = ((0,), (1,), (2,), (3, 1), (7,), (1, 5, 2), (64,), (0, 1))
READ_SIZES = (4096, 0, 1, 16)


def _decode_all(stream, opts, immutable, read_size, count=4):
    """Decodes up to `count` items from `stream`; returns them and the error that ended it."""
    dec = CBORDecoder(stream, read_size=read_size, **opts)
    items = []
    for _ in range(count):
        try:
            items.append(dec.decode(immutable=immutable))
        except CBORDecodeError as e:
            return items, e
    return items, None


def decode_input(data):
    if len(data) < 3:
        data = bytes(3 - len(data)) + data
    b0, b1, b2 = data[0], data[1], data[2]
    payload = data[3:]
    opts = dict(
        allow_indefinite=not (b0 & 1),
        allow_duplicate_keys=not (b0 & 2),
        strict_hashable_types=bool(b0 & 4),
        str_errors=STR_ERRORS[(b0 >> 4) & 7],
        tag_hook=TAG_HOOKS[b1 & 3],
        object_hook=OBJECT_HOOKS[(b1 >> 2) & 3],
        semantic_decoders=SEMANTIC[(b1 >> 4) & 3],
        max_depth=MAX_DEPTHS[(b1 >> 6) & 3],
    )
    immutable = bool(b0 & 8)
    pattern = READ_PATTERNS[b2 & 7]
    extra = (0, 0, 5, 64)[(b2 >> 3) & 3]
    seekable = not (b2 & 32)
    read_size = READ_SIZES[(b2 >> 6) & 3]

    try:
        value, error = kelvo.loads(payload, immutable=immutable, **opts), None
    except CBORDecodeError as e:
        value, error = None, e

    if not seekable and extra and not UNSEEKABLE_READ_AHEAD:
        seekable = True
    stream = _Stream(payload, pattern, extra, seekable)
    items, stream_error = _decode_all(stream, opts, immutable, read_size)

    # The first item from the stream must be the item that loads() decodes: same value, or
    # both failing. A stream delivering short reads may only change that where this build
    # cannot read on after a short read.
    strict = SHORT_READS or pattern == (0,)
    if strict:
        if error is None:
            assert items, f"loads() decoded {value!r} but the stream decoder failed: {stream_error!r}"
            assert _same_decoded(value, items[0]), f"loads() gave {value!r}, the stream decoder {items[0]!r}"
        else:
            assert not items, f"loads() failed ({error!r}) but the stream decoder gave {items[0]!r}"

    # A decoded value goes back through the encoder without a crash.
    if error is None:
        try:
            kelvo.dumps(value, value_sharing=True)
        except (CBOREncodeError, HookError, UnicodeEncodeError):
            pass

    _diag_round_trip(payload)
    _edn_reader(payload)


def _diag_round_trip(payload):
    """Diagnostic notation with every width marked reads back into the bytes it was written
    from: for every well-formed item, unless it holds a NaN other than the one `NaN` stands for
    (text strings that are not UTF-8 are refused by diag already)."""
    try:
        text = kelvo.diag(payload, widths=True)
    except CBORDecodeError:
        return  # not exactly one well-formed item
    # The native writer wrote it; the token writer must agree.
    out = []
    writer = _diag.DiagWriter(out, widths=True)
    for token in Reader(io.BytesIO(payload)).tokens():
        writer.feed(token)
    assert "".join(out) == text, f"diag and the token writer differ on {payload.hex()}: {text!r}, {''.join(out)!r}"
    back = kelvo.from_diag(text, max_depth=100_000)
    if back != payload:
        assert "NaN" in text, f"from_diag(diag(b, widths=True)) != b for b = {payload.hex()}: {text!r}"


def _edn_reader(payload):
    """Any text gives bytes or an EDNError: by turns the payload read as text, and a prefix of
    the notation of its first item cut where the payload's length says."""
    text = payload.decode("latin-1")
    if len(payload) & 2:
        try:
            text = kelvo.diag(payload[:_item_end(payload)], widths=bool(len(payload) & 1))
        except CBORDecodeError:
            return
        text = text[:len(payload) * 7 % (len(text) + 1)]
    try:
        kelvo.from_diag(text, seq=True, max_depth=64)
    except kelvo.EDNError:
        pass


def _item_end(payload):
    try:
        stream = io.BytesIO(payload)
        kelvo.CBORDecoder(stream, read_size=1).decode()
        return stream.tell()
    except CBORDecodeError:
        return len(payload)


def _same_decoded(a, b):
    # Decoded values hold no Opaque/Custom objects; hooks may leave bytes-free shapes that
    # `same` knows. Hooked results of other types compare with ==.
    try:
        return same(a, b)
    except AssertionError:
        return a == b
    except RecursionError:
        return True


# ----------------------------------------------------------------------------------------
# Encoder target


class Opaque:
    """An object no built-in rule encodes: the `default` hook writes it, or raises."""

    def __init__(self, n):
        self.n = n
        self.raises = n % 5 == 0
        self.written = CBORTag(4000, n) if n % 2 else [n, "opaque"]

    def __hash__(self):
        return hash(("opaque", self.n))

    def __eq__(self, other):
        return isinstance(other, Opaque) and other.n == self.n


class Custom:
    """An object written by an `encoders` entry: as a tag, or after a partial write, raises."""

    def __init__(self, n, payload):
        self.n = n
        self.payload = payload
        self.raises = n % 4 == 3
        self.written = CBORTag(4001, payload)


def _default_hook(encoder, value):
    if not isinstance(value, Opaque):
        raise HookError(f"unexpected value for default: {type(value)}")
    if value.raises:
        encoder.encode_length(4, 2)  # a partial write, discarded with the failed encode
        raise HookError("default")
    if isinstance(value.written, CBORTag):
        encoder.encode_semantic(value.written.tag, value.written.value)
    else:
        encoder.encode(value.written)


def _custom_encoder(encoder, value):
    if value.raises:
        encoder.encode_length(6, 4001)
        raise HookError("encoders")
    encoder.encode_semantic(4001, value.payload)


INT_EDGES = (0, -1, 23, 24, -24, -25, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, -2**63,
             2**64 - 1, 2**64, -2**64, -2**64 - 1, 2**128 + 5, -(2**200))
FLOAT_EDGES = (0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 1.0, 1.1, 1.5, 65504.0, 65520.0,
               100000.0, 5.960464477539063e-08, 6.103515625e-05, 3.4028234663852886e+38, 1e300, 5e-324)
TEXTS = ("", "a", "abc", "ü", "水", "\U0001f600", "hello world", "aaaa", "\x00", "\ud800", "\udfff", "x" * 30)
BLOBS = (b"", b"\x00", b"abc", b"\xff" * 3, b"hello world", b"aaaa", b"\x01" * 40)
SAFE_TAGS = (6, 7, 24, 27, 40, 1000, 4002, 65535, 65536, 2**32, 2**64 - 1)


class _Builder:
    """Builds a value from a byte program; records what may make encoding fail."""

    def __init__(self, data, sharing):
        self.data = data
        self.pos = 0
        self.sharing = sharing
        self.pool = []  # containers and other values that may be referenced again
        self.open = []  # containers still being filled (a reference to one is a cycle)
        self.frozen = 0  # > 0 while building a tag's content, which decodes immutable
        self.open_frozen = []  # for each open container: whether it decodes immutable
        self.immutable_cycle = False
        self.on_cycle = []  # containers that hold a reference to themselves
        self.surrogate = False
        self.cycle = False
        self.hook_raises = False
        self.opaque = False
        self.custom = False

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def take(self, n):
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def text(self):
        choice = self.byte()
        if choice < 128:
            s = TEXTS[choice % len(TEXTS)]
        else:
            n = choice % 8
            raw = self.take(2 * n)
            s = "".join(chr(int.from_bytes(raw[i:i + 2], "big")) for i in range(0, len(raw) - 1, 2))
        if any(0xD800 <= ord(c) <= 0xDFFF for c in s):
            self.surrogate = True
        return s

    def blob(self):
        choice = self.byte()
        if choice < 128:
            return BLOBS[choice % len(BLOBS)]
        return self.take(choice % 48)

    def number(self, op):
        if op == 0:
            return self.byte() - 128
        if op == 1:
            return INT_EDGES[self.byte() % len(INT_EDGES)]
        if op == 2:
            n = self.byte() % 24
            v = int.from_bytes(self.take(n), "big")
            return -v - 1 if self.byte() & 1 else v
        if op == 3:
            return FLOAT_EDGES[self.byte() % len(FLOAT_EDGES)]
        raw = self.take(8).ljust(8, b"\x00")
        return struct.unpack(">d", raw)[0]

    def key(self, depth):
        op = self.byte() % 12
        if op < 5:
            return self.number(op)
        if op == 5:
            return self.text()
        if op == 6:
            return self.blob()
        if op == 7 and depth < 6:
            return tuple(self.key(depth + 1) for _ in range(self.byte() % 4))
        if op == 8 and depth < 6:
            return frozenset(self.key(depth + 1) for _ in range(self.byte() % 4))
        if op == 9 and depth < 6:
            return frozendict({self.key(depth + 1): self.value(depth + 1, hashable=True)
                               for _ in range(self.byte() % 3)})
        if op == 10:
            ref = self.reference(hashable=True)
            if ref is not None:
                return ref
        return (None, True, False, undefined)[self.byte() % 4]

    def reference(self, hashable=False):
        choices = [v for v in self.pool if not hashable or _hashable(v)]
        if not choices:
            return None
        v = choices[self.byte() % len(choices)]
        for i, (o, frozen) in enumerate(zip(self.open, self.open_frozen)):
            if v is o:
                self.cycle = True
                self.on_cycle.extend(self.open[i:])
                # a container decoded immutable does not exist before its end: a reference
                # inside it to itself cannot be resolved and decoding refuses it
                self.immutable_cycle |= frozen
        return v

    def enter(self, container):
        self.open.append(container)
        self.open_frozen.append(self.frozen > 0)

    def leave(self):
        self.open.pop()
        self.open_frozen.pop()

    def tag_content(self, depth):
        self.frozen += 1
        try:
            return self.value(depth)
        finally:
            self.frozen -= 1

    def value(self, depth=0, hashable=False):
        if hashable:
            return self.key(depth)
        op = self.byte() % 20
        if op < 5:
            return self.number(op)
        if op == 5:
            return self.text()
        if op == 6:
            return self.blob()
        if op == 7:
            return bytearray(self.blob())
        if op == 8 and depth < 12:
            lst = []
            self.pool.append(lst)
            self.enter(lst)
            for _ in range(self.byte() % 6):
                lst.append(self.value(depth + 1))
            self.leave()
            return lst
        if op == 9 and depth < 12:
            t = tuple(self.value(depth + 1) for _ in range(self.byte() % 5))
            self.pool.append(t)
            return t
        if op == 10 and depth < 12:
            d = {}
            self.pool.append(d)
            self.enter(d)
            for _ in range(self.byte() % 5):
                d[self.key(depth + 1)] = self.value(depth + 1)
            self.leave()
            return d
        if op == 11 and depth < 12:
            fd = frozendict({self.key(depth + 1): self.value(depth + 1) for _ in range(self.byte() % 4)})
            self.pool.append(fd)
            return fd
        if op == 12 and depth < 12:
            items = [self.key(depth + 1) for _ in range(self.byte() % 5)]
            s = set(items) if self.byte() & 1 else frozenset(items)
            self.pool.append(s)
            return s
        if op == 13 and depth < 12:
            number = SAFE_TAGS[self.byte() % len(SAFE_TAGS)]
            return CBORTag(number, self.tag_content(depth + 1))
        if op == 14:
            v = self.byte()
            if 24 <= v < 32:
                v -= 8
            return CBORSimpleValue(v)
        if op == 15:
            return (None, True, False, undefined)[self.byte() % 4]
        if op == 16:
            ref = self.reference()
            if ref is not None:
                return ref
            return None
        if op == 17:
            o = Opaque(self.byte())
            self.opaque = True
            self.hook_raises |= o.raises
            return o
        if op == 18 and depth < 12:
            n = self.byte()
            c = Custom(n, self.tag_content(depth + 1))
            self.custom = True
            self.hook_raises |= c.raises
            return c
        return self.number(self.byte() % 5)


def _hashable(v):
    if not isinstance(v, (tuple, frozenset, frozendict)):
        return False
    try:
        hash(v)
    except Exception:  # TypeError, or RuntimeError from a CBORTag holding an unhashable value
        return False
    return True


def _expansion(value, limit):
    """Number of items an encoding without value sharing writes, counted up to `limit`."""
    count = 0
    stack = [value]
    while stack:
        v = stack.pop()
        count += 1
        if count > limit:
            return count
        if isinstance(v, (Opaque, Custom)):
            v = v.written if isinstance(v, Opaque) else v.payload
            stack.append(v)
        elif isinstance(v, (list, tuple, set, frozenset)):
            stack.extend(v)
        elif isinstance(v, (dict, frozendict)):
            for k, x in v.items():
                stack.append(k)
                stack.append(x)
        elif isinstance(v, CBORTag):
            stack.append(v.value)
    return count


def _key_expansion(value, limit):
    """Items written in full for the canonical sort keys of the maps and sets in `value`."""
    total = 0
    seen = set()
    stack = [value]
    while stack:
        v = stack.pop()
        if id(v) in seen:
            continue
        seen.add(id(v))
        if isinstance(v, (Opaque, Custom)):
            stack.append(v.written if isinstance(v, Opaque) else v.payload)
        elif isinstance(v, (list, tuple)):
            stack.extend(v)
        elif isinstance(v, (set, frozenset, dict, frozendict)):
            for k in v:
                total += _expansion(k, limit)
                if total > limit:
                    return total
            if isinstance(v, (dict, frozendict)):
                stack.extend(v.keys())
                stack.extend(v.values())
            else:
                stack.extend(v)
        elif isinstance(v, CBORTag):
            stack.append(v.value)
    return total


def _cycle_in_immutable(value, on_cycle):
    """Whether a container of `on_cycle` is reached where decoding needs an immutable value.

    That is a tag's content, a map key or a set member. Where such a container is first
    written decoding builds it immutable, before the reference inside it could resolve; where
    it is hashed it has no immutable form. (Python hashes the Opaque and Custom objects in a
    key by identity, but their encoding holds the container.) Which occurrence is written
    first depends on the encoder's order (canonical sorting), so any one counts.
    """
    targets = {id(o) for o in on_cycle}
    seen = set()
    stack = [(value, False)]
    while stack:
        v, frozen = stack.pop()
        if (id(v), frozen) in seen:
            continue
        seen.add((id(v), frozen))
        if frozen and id(v) in targets:
            return True
        if isinstance(v, Opaque):
            stack.append((v.written, frozen))
        elif isinstance(v, Custom):
            stack.append((v.payload, True))
        elif isinstance(v, CBORTag):
            stack.append((v.value, True))
        elif isinstance(v, (list, tuple)):
            stack.extend((x, frozen) for x in v)
        elif isinstance(v, (set, frozenset)):
            stack.extend((x, True) for x in v)
        elif isinstance(v, (dict, frozendict)):
            for k, x in v.items():
                stack.append((k, True))
                stack.append((x, frozen))
    return False


def encode_input(data):
    if len(data) < 2:
        data = bytes(2 - len(data)) + data
    b0, b1 = data[0], data[1]
    sharing = bool(b0 & 1)
    opts = dict(
        value_sharing=sharing,
        canonical=bool(b0 & 2),
        string_referencing=bool(b0 & 4),
        indefinite_containers=bool(b0 & 8),
    )
    with_default = not (b1 & 1)
    if with_default:
        opts["default"] = _default_hook
    opts["encoders"] = {Custom: _custom_encoder}
    builder = _Builder(data[2:], sharing)
    value = builder.value()

    if not sharing and builder.cycle:
        return  # unbounded without sharing
    if not sharing and _expansion(value, 20000) > 20000:
        return  # too large written out in full
    if opts["canonical"] and _key_expansion(value, 20000) > 20000:
        return  # canonical sort keys are encoded without sharing: too large written out in full
    # Canonical order encodes map keys and set members for sorting without value sharing,
    # so a cycle reachable from one of them is refused even with sharing on.
    may_fail = (builder.surrogate or builder.hook_raises or (builder.opaque and not with_default)
                or (builder.cycle and opts["canonical"]))
    try:
        encoded = kelvo.dumps(value, **opts)
    except (CBOREncodeError, UnicodeEncodeError, HookError) as e:
        assert may_fail, f"dumps failed on an encodable value: {e!r}"
        return
    try:
        decoded = kelvo.loads(encoded)
    except CBORDecodeError as e:
        if builder.immutable_cycle or (builder.cycle and _cycle_in_immutable(value, builder.on_cycle)):
            return
        if sharing and not SHARED_IMMUTABLES:
            # also without a reference of the builder's: the encoder shares singletons such
            # as () by identity, for example as the member list of an empty set
            return
        raise AssertionError(f"loads() rejects what dumps() wrote: {encoded.hex()}") from e
    assert same(value, decoded, track=sharing), f"round trip changed the value: {encoded.hex()}"
    # The immutable decoding of the same bytes holds the same data.
    try:
        frozen = kelvo.loads(encoded, immutable=True)
    except CBORDecodeError:
        if sharing and not SHARED_IMMUTABLES:
            return
        if builder.cycle:
            return  # a cycle cannot be built from immutable values
        raise
    assert same(value, frozen), f"immutable round trip changed the value: {encoded.hex()}"


# ----------------------------------------------------------------------------------------
# Leak checks: the targets call `settle` between repeated runs of one input.


def settle():
    # The first collection completes the delayed frees queued so far and empties the free
    # lists; the second, those that the first one's deallocations queued.
    gc.collect()
    gc.collect()
    return sys.getallocatedblocks()
