"""DAG-CBOR: the strict profile of CBOR that IPLD and the AT Protocol use, with content identifiers.

Writing gives every value one byte form: integers (from -2**64 to 2**64 - 1) and lengths in
their shortest head, floats always as 64-bit doubles (NaN and the infinities refused), no
indefinite lengths, map keys only text strings, sorted by the length of their encoding first and
then bytewise, and no tag but 42, which holds a :class:`CID`.

Reading refuses anything else with :class:`kelvo.CBORDecodeError` naming the byte offset and the
rule broken (also given as the exception's ``offset`` and ``rule`` attributes). ``strict=False``
accepts what older encoders wrote and the profile still lets a reader take: map keys out of
order, heads not in their shortest form, and 16- and 32-bit floats.

CAR files (:func:`read_car`, :func:`write_car`) and the AT Protocol's JSON form of CIDs and byte
strings (:func:`to_json_data`, :func:`from_json_data`, :func:`dumps_json`, :func:`loads_json`)
are here as well.
"""

from __future__ import annotations

import base64
import hashlib
import itertools
import json
from collections.abc import Iterable, Iterator
from typing import IO, Any, NamedTuple

from _kelvo import CBORDecodeEOF, CBORDecodeError
from kelvo import _dagcbor

__all__ = [
    "CID", "Multihash", "CARReader", "dumps", "dump", "loads", "load", "loads_seq", "read_car",
    "decode_car", "write_car", "to_json_data", "from_json_data", "dumps_json", "loads_json",
    "DAG_CBOR", "RAW", "DAG_PB", "DAG_JSON", "SHA2_256",
]

DAG_CBOR = 0x71
RAW = 0x55
DAG_PB = 0x70
DAG_JSON = 0x0129
SHA2_256 = 0x12
_IDENTITY = 0x00

dumps = _dagcbor.dumps
loads = _dagcbor.loads
loads_seq = _dagcbor.loads_seq


def dump(obj: Any, fp: IO[bytes]) -> None:
    """Serialize an object to DAG-CBOR and write it to an open file.

    :param obj: the object to serialize (see :func:`dumps`)
    :param fp: the file to write to (any file-like object opened for writing in binary mode)
    """
    fp.write(dumps(obj))


def load(fp: IO[bytes], *, strict: bool = True) -> Any:
    """Deserialize one DAG-CBOR block from an open file.

    The whole rest of the file is read: bytes after the item are refused as :func:`loads`
    refuses them.

    :param fp: the file to read from (any file-like object opened for reading in binary mode)
    :param strict: as for :func:`loads`
    :return: the decoded value
    """
    return loads(fp.read(), strict=strict)


# ---- varints and multibase

def _varint(value: int) -> bytes:
    out = bytearray()
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def _read_varint(data: bytes | memoryview, pos: int) -> tuple[int, int]:
    """The unsigned varint at ``data[pos]`` and the offset after it; ValueError when it is
    cut short, longer than nine bytes or not minimal."""
    value = 0
    for i in range(9):
        if pos >= len(data):
            raise ValueError("varint cut short")
        b = data[pos]
        pos += 1
        value |= (b & 0x7F) << (7 * i)
        if not b & 0x80:
            if b == 0 and i:
                raise ValueError("varint not in its minimal form")
            return value, pos
    raise ValueError("varint longer than nine bytes")


_B58 = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"
_B58_INDEX = {c: i for i, c in enumerate(_B58)}


def _b58encode(data: bytes) -> str:
    n = int.from_bytes(data, "big")
    out = []
    while n:
        n, r = divmod(n, 58)
        out.append(_B58[r])
    zeros = len(data) - len(data.lstrip(b"\0"))
    return "1" * zeros + "".join(reversed(out))


def _b58decode(text: str) -> bytes:
    n = 0
    for c in text:
        try:
            n = n * 58 + _B58_INDEX[c]
        except KeyError:
            raise ValueError(f"{c!r} is not a base58btc digit") from None
    zeros = len(text) - len(text.lstrip("1"))
    return b"\0" * zeros + (n.to_bytes((n.bit_length() + 7) // 8, "big") if n else b"")


def _b32decode(text: str) -> bytes:
    text = text.upper()
    return base64.b32decode(text + "=" * (-len(text) % 8))


def _b64decode(text: str, altchars: bytes | None) -> bytes:
    return base64.b64decode(text + "=" * (-len(text) % 4), altchars=altchars, validate=True)


_MULTIBASE_DECODERS = {
    "b": _b32decode,
    "B": _b32decode,
    "z": _b58decode,
    "f": bytes.fromhex,
    "F": bytes.fromhex,
    "m": lambda t: _b64decode(t, None),
    "u": lambda t: _b64decode(t, b"-_"),
}

_MULTIBASE_ENCODERS = {
    "base32": lambda b: "b" + base64.b32encode(b).decode("ascii").rstrip("=").lower(),
    "base58btc": lambda b: "z" + _b58encode(b),
    "base16": lambda b: "f" + b.hex(),
    "base64": lambda b: "m" + base64.b64encode(b).decode("ascii").rstrip("="),
    "base64url": lambda b: "u" + base64.urlsafe_b64encode(b).decode("ascii").rstrip("="),
}


def _cid_bytes_from_str(text: str) -> bytes:
    if len(text) == 46 and text.startswith("Qm"):
        return _b58decode(text)
    if not text:
        raise ValueError("an empty string is not a CID")
    decoder = _MULTIBASE_DECODERS.get(text[0])
    if decoder is None:
        raise ValueError(f"unknown or unsupported multibase prefix {text[0]!r}")
    try:
        raw = decoder(text[1:])
    except ValueError as exc:
        raise ValueError(f"{text!r} is not a valid multibase string: {exc}") from None
    if raw[:1] != b"\x01":
        raise ValueError("a multibase CID string must hold a CIDv1")
    return raw


# ---- CID

class Multihash(NamedTuple):
    """A multihash: the hash function's code and the digest."""

    code: int
    digest: bytes

    def __bytes__(self) -> bytes:
        return _varint(self.code) + _varint(len(self.digest)) + self.digest


class CID(_dagcbor.CIDBase):
    """A content identifier (CIDv0 or CIDv1): immutable, hashable, equal and ordered by its bytes.

    ``CID(value)`` takes the string form (base32 ``b...`` and base58btc ``Qm...``, also base58btc
    ``z...``, base16 ``f...`` and base64 ``m...``/``u...``), the binary form or a CID. Unknown
    codec and hash codes are kept as numbers. ``str(cid)`` gives the canonical string: base32
    for CIDv1, base58btc for CIDv0; ``bytes(cid)`` gives the binary form.
    """

    __slots__ = ()

    def __new__(cls, value: str | bytes | bytearray | memoryview | CID) -> CID:
        if isinstance(value, _dagcbor.CIDBase):
            if type(value) is cls:
                return value
            raw = value._bytes
        elif isinstance(value, str):
            raw = _cid_bytes_from_str(value)
        elif isinstance(value, (bytes, bytearray, memoryview)):
            raw = bytes(value)
        else:
            raise TypeError(f"a CID is made from str or bytes, not {type(value).__qualname__!r}")
        return super().__new__(cls, raw)

    @classmethod
    def decode(cls, value: str | bytes | bytearray | memoryview | CID) -> CID:
        """The CID of a string or binary form (as the constructor)."""
        return cls(value)

    @classmethod
    def for_block(cls, data: bytes | bytearray | memoryview, codec: int = DAG_CBOR) -> CID:
        """The CIDv1 of a block, with its SHA-256 digest.

        :param data: the block's bytes
        :param codec: the multicodec code of the block's format (0x71 DAG-CBOR by default,
            0x55 for raw bytes)
        """
        digest = hashlib.sha256(data).digest()
        return cls(b"\x01" + _varint(codec) + b"\x12\x20" + digest)

    @classmethod
    def from_parts(cls, version: int, codec: int, multihash: Multihash | bytes) -> CID:
        """The CID of the given version, codec and multihash (CIDv0 needs codec 0x70 and a
        SHA-256 multihash)."""
        mh = bytes(multihash)
        if version == 0:
            if codec != DAG_PB:
                raise ValueError("a CIDv0 always has the dag-pb codec (0x70)")
            return cls(mh)
        if version != 1:
            raise ValueError(f"unsupported CID version {version}")
        return cls(b"\x01" + _varint(codec) + mh)

    def _fields(self) -> tuple[int, int, int]:
        """(version, codec, offset of the multihash)."""
        raw = self._bytes
        if raw[0] == 0x12:
            return 0, DAG_PB, 0
        codec, pos = _read_varint(raw, 1)
        return 1, codec, pos

    @property
    def version(self) -> int:
        """0 or 1."""
        return 0 if self._bytes[0] == 0x12 else 1

    @property
    def codec(self) -> int:
        """The multicodec code of the content's format (0x70 dag-pb for every CIDv0)."""
        return self._fields()[1]

    @property
    def multihash(self) -> Multihash:
        """The multihash: ``multihash.code`` (0x12 for SHA-256) and ``multihash.digest``."""
        raw = self._bytes
        code, pos = _read_varint(raw, self._fields()[2])
        _, pos = _read_varint(raw, pos)
        return Multihash(code, raw[pos:])

    @property
    def digest(self) -> bytes:
        """The digest of the multihash."""
        return self.multihash.digest

    def __bytes__(self) -> bytes:
        return self._bytes

    def encode(self, base: str = "base32") -> str:
        """The string form of a CIDv1 in a multibase (``"base32"``, ``"base58btc"``,
        ``"base16"``, ``"base64"`` or ``"base64url"``); a CIDv0 has only its base58btc form,
        without prefix."""
        if self._bytes[0] == 0x12:
            if base != "base58btc":
                raise ValueError("a CIDv0 is written in base58btc only; convert it with to_v1()")
            return _b58encode(self._bytes)
        try:
            encoder = _MULTIBASE_ENCODERS[base]
        except KeyError:
            raise ValueError(f"unknown multibase {base!r}") from None
        return encoder(self._bytes)

    def to_v1(self) -> CID:
        """The CIDv1 with the same codec and multihash (the CID itself when it is one)."""
        if self._bytes[0] != 0x12:
            return self
        return type(self)(b"\x01" + _varint(DAG_PB) + self._bytes)

    def to_v0(self) -> CID:
        """The CIDv0 form of a dag-pb CID with a SHA-256 digest."""
        version, codec, pos = self._fields()
        if version == 0:
            return self
        mh = self._bytes[pos:]
        if codec != DAG_PB or mh[:2] != b"\x12\x20":
            raise ValueError("only a dag-pb CID with a SHA-256 digest has a CIDv0 form")
        return type(self)(mh)

    def __str__(self) -> str:
        raw = self._bytes
        if raw[0] == 0x12:
            return _b58encode(raw)
        return "b" + base64.b32encode(raw).decode("ascii").rstrip("=").lower()

    def __repr__(self) -> str:
        return f"CID({str(self)!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self._bytes,))

    def __copy__(self) -> CID:
        return self

    def __deepcopy__(self, memo: Any) -> CID:
        return self


_dagcbor._set_cid_class(CID)


# ---- CAR files

_DEFAULT_MAX_SECTION = 1 << 24


def _car_error(what: str, at: int, eof: bool = False) -> CBORDecodeError:
    exc = (CBORDecodeEOF if eof else CBORDecodeError)(f"{what} at byte {at}")
    exc.offset = at  # type: ignore[attr-defined]
    exc.rule = what  # type: ignore[attr-defined]
    return exc


def _cid_length(section: bytes | memoryview, at: int) -> int:
    """The length of the binary CID at the start of a CAR section."""
    if section[:2] == b"\x12\x20":
        return 34
    try:
        version, pos = _read_varint(section, 0)
        if version != 1:
            raise _car_error("section CID version other than 0 or 1", at)
        _, pos = _read_varint(section, pos)  # codec
        _, pos = _read_varint(section, pos)  # multihash code
        size, pos = _read_varint(section, pos)
    except ValueError:
        raise _car_error("section CID with a malformed varint", at) from None
    return pos + size


def _verify(cid: CID, block: bytes, at: int) -> None:
    code, digest = cid.multihash
    if code == SHA2_256:
        ok = hashlib.sha256(block).digest() == digest
    elif code == _IDENTITY:
        ok = block == digest
    else:
        raise _car_error(f"block hashed with multihash code {code:#x}, which cannot be verified", at)
    if not ok:
        raise _car_error("block whose digest does not match its CID", at)


class _Source:
    """Bytes taken from a buffer or read on demand from a file, from offset ``pos`` on."""

    def __init__(self, data: bytes | None, fp: Any, pos: int = 0) -> None:
        self.data = data
        self.fp = fp
        self.pos = pos

    def remaining(self) -> int | None:
        return None if self.data is None else len(self.data) - self.pos

    def read_varint(self) -> int | None:
        """The varint that starts here, or None at the end of the input."""
        start = self.pos
        if self.data is not None:
            if self.pos >= len(self.data):
                return None
            try:
                value, self.pos = _read_varint(self.data, self.pos)
            except ValueError as exc:
                raise _car_error(f"section length varint {exc}", start, eof="cut short" in str(exc)) from None
            return value
        raw = bytearray()
        while True:
            b = self.fp.read(1)
            if not b:
                if not raw:
                    return None
                raise _car_error("section length varint cut short", start, eof=True)
            raw += b
            if not b[0] & 0x80 or len(raw) == 9:
                break
        try:
            value, _ = _read_varint(raw, 0)
        except ValueError as exc:
            raise _car_error(f"section length varint {exc}", start) from None
        self.pos += len(raw)
        return value

    def take(self, n: int) -> bytes:
        start = self.pos
        if self.data is not None:
            if n > len(self.data) - self.pos:
                raise _car_error("section longer than the rest of the input", start, eof=True)
            self.pos += n
            return self.data[start:self.pos]
        chunk = self.fp.read(n)
        if len(chunk) != n:
            raise _car_error("section longer than the rest of the input", start, eof=True)
        self.pos += n
        return bytes(chunk)


class CARReader:
    """A CARv1 file being read: its ``roots`` and ``version`` (from the header), and, when
    iterated, its sections as ``(CID, block bytes)`` pairs in file order, blocks not decoded.
    A reader of a buffer can be iterated any number of times, one of a file once."""

    def __init__(self, source: _Source, max_section_size: int, verify: bool) -> None:
        self._source = source
        self._max = max_section_size
        self._verify = verify
        size = source.read_varint()
        if size is None:
            raise _car_error("CAR file without a header", 0, eof=True)
        _check_length(source, size, 0, max_section_size)
        header_at = source.pos
        header = source.take(size)
        try:
            fields = loads(header)
        except CBORDecodeError as exc:
            raise _car_error(f"CAR header that is not DAG-CBOR ({exc})", header_at) from None
        if not isinstance(fields, dict) or type(fields.get("version")) is not int:
            raise _car_error("CAR header without a version", header_at)
        self.version: int = fields["version"]
        if self.version != 1:
            raise _car_error(f"CAR version {self.version} (only 1 is read)", header_at)
        roots = fields.get("roots")
        if not isinstance(roots, list) or not all(isinstance(r, CID) for r in roots):
            raise _car_error("CAR header whose roots are not a list of CIDs", header_at)
        self.roots: list[CID] = roots
        self._first = source.pos
        self._started = False

    def __iter__(self) -> Iterator[tuple[CID, bytes]]:
        source = self._source
        if source.data is None:
            if self._started:
                raise RuntimeError("the sections of a CAR file being read from a stream can be read only once")
            self._started = True
            return _sections(source, self._max, self._verify)
        return _buffer_sections(source.data, self._first, self._max, self._verify)


_car_sections = _dagcbor.car_sections


def _buffer_sections(data: bytes, pos: int, max_size: int, verify: bool) -> Iterator[tuple[CID, bytes]]:
    # Sections come from the native iterator; when each is verified, from the native reader
    # one at a time, so that a digest that does not match is reported at its own offset.
    if not verify:
        return _dagcbor.car_iter(data, pos, max_size)
    return itertools.chain.from_iterable(_batches(data, pos, max_size, verify))


def _batches(data: bytes, pos: int, max_size: int, verify: bool) -> Iterator[list[tuple[CID, bytes]]]:
    batch_size = 1 if verify else 256
    while pos < len(data):
        at = pos
        batch, pos = _car_sections(data, pos, max_size, batch_size)
        if verify:
            _verify(batch[0][0], batch[0][1], at)
        yield batch


def _check_length(source: _Source, size: int, at: int, max_size: int) -> None:
    if size == 0:
        raise _car_error("empty section", at)
    if size > max_size:
        raise _car_error("section over max_section_size", at)
    remaining = source.remaining()
    if remaining is not None and size > remaining:
        raise _car_error("section longer than the rest of the input", at, eof=True)


def _sections(source: _Source, max_size: int, verify: bool) -> Iterator[tuple[CID, bytes]]:
    while True:
        at = source.pos
        size = source.read_varint()
        if size is None:
            return
        _check_length(source, size, at, max_size)
        body_at = source.pos
        section = source.take(size)
        cid_len = _cid_length(section, body_at)
        if cid_len > size:
            raise _car_error("section CID longer than its section", body_at)
        try:
            cid = CID(section[:cid_len])
        except ValueError as exc:
            raise _car_error(f"section {exc}", body_at) from None
        block = section[cid_len:]
        if verify:
            _verify(cid, block, at)
        yield cid, block


def read_car(data_or_fp: Any, *, max_section_size: int = _DEFAULT_MAX_SECTION,
             verify: bool = False) -> CARReader:
    """Read a CARv1 file (as IPFS and AT Protocol repositories are exported).

    The header is read at once; the sections are read as the reader is iterated. Every length
    is checked against the input left (for a stream: against ``max_section_size``) before
    anything is read or allocated for it.

    :param data_or_fp: the whole file (``bytes`` or any buffer), or a file opened for reading
        in binary mode
    :param max_section_size: the largest section (or header) accepted, in bytes
    :param verify: check that each block's SHA-256 (or identity) digest matches its CID
    :return: a :class:`CARReader` with ``roots`` and ``version``, iterating ``(CID, bytes)``
    :raises CBORDecodeError: naming the byte offset of a malformed header or section
        (:class:`kelvo.CBORDecodeEOF` when the input ends inside one)
    """
    if isinstance(data_or_fp, (bytes, bytearray, memoryview)):
        return CARReader(_Source(bytes(data_or_fp), None), max_section_size, verify)
    return CARReader(_Source(None, data_or_fp), max_section_size, verify)


def decode_car(data: bytes | bytearray | memoryview, *, max_section_size: int = _DEFAULT_MAX_SECTION,
               strict: bool = True) -> tuple[dict[str, Any], dict[CID, Any]]:
    """Read a whole CARv1 file held in memory and decode every block as DAG-CBOR, in one pass
    of native code (blocks are decoded where they lie, not copied out first).

    :param data: the whole file
    :param max_section_size: the largest section (or header) accepted, in bytes
    :param strict: as for :func:`loads`
    :return: ``(header, blocks)``: the header as a dict (``{"roots": [...], "version": 1}``)
        and a dict from each block's CID to its decoded value (a block that occurs twice
        appears once)
    :raises CBORDecodeError: as :func:`read_car` does, and as :func:`loads` does for a block,
        with offsets in ``data``
    """
    reader = read_car(data, max_section_size=max_section_size)
    source = reader._source
    assert source.data is not None
    blocks = _dagcbor.car_decode_blocks(source.data, reader._first, max_section_size, strict)
    return {"roots": reader.roots, "version": reader.version}, blocks


def write_car(fp: IO[bytes], roots: Iterable[CID], blocks: Iterable[tuple[CID, bytes]]) -> None:
    """Write a CARv1 file.

    :param fp: the file to write to (opened for writing in binary mode)
    :param roots: the root CIDs of the header
    :param blocks: the ``(CID, block bytes)`` sections, written in this order
    """
    header = dumps({"roots": list(roots), "version": 1})
    fp.write(_varint(len(header)) + header)
    for cid, block in blocks:
        if not isinstance(cid, CID):
            raise TypeError(f"a CAR section needs a CID, not {type(cid).__qualname__!r}")
        raw = cid._bytes
        fp.write(_varint(len(raw) + len(block)))
        fp.write(raw)
        fp.write(block)


# ---- the AT Protocol's JSON form

def to_json_data(obj: Any) -> Any:
    """The JSON-shaped form of a DAG-CBOR value: each CID as ``{"$link": "b..."}``, each byte
    string as ``{"$bytes": "..."}`` (standard base64 without padding), tuples as lists."""
    if isinstance(obj, dict):
        return {k: to_json_data(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [to_json_data(v) for v in obj]
    if isinstance(obj, CID):
        return {"$link": str(obj)}
    if isinstance(obj, (bytes, bytearray, memoryview)):
        return {"$bytes": base64.b64encode(obj).decode("ascii").rstrip("=")}
    return obj


def from_json_data(obj: Any) -> Any:
    """The DAG-CBOR value of a JSON-shaped one: a map whose only key is ``"$link"`` (a CID
    string) becomes a :class:`CID`, one whose only key is ``"$bytes"`` (base64, padded or not)
    becomes ``bytes``.

    :raises ValueError: for a ``$link`` or ``$bytes`` whose string does not decode
    """
    if isinstance(obj, dict):
        if len(obj) == 1:
            if "$link" in obj and isinstance(obj["$link"], str):
                return CID(obj["$link"])
            if "$bytes" in obj and isinstance(obj["$bytes"], str):
                try:
                    return _b64decode(obj["$bytes"], None)
                except ValueError:
                    raise ValueError(f"$bytes value {obj['$bytes']!r} is not base64") from None
        return {k: from_json_data(v) for k, v in obj.items()}
    if isinstance(obj, list):
        return [from_json_data(v) for v in obj]
    return obj


def dumps_json(obj: Any, **json_options: Any) -> str:
    """The JSON text of a DAG-CBOR value (see :func:`to_json_data`); options go to
    :func:`json.dumps`."""
    return json.dumps(to_json_data(obj), **json_options)


def loads_json(text: str | bytes) -> Any:
    """The DAG-CBOR value of a JSON text (see :func:`from_json_data`)."""
    return from_json_data(json.loads(text))
