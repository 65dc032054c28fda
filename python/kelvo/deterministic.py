"""Deterministic CBOR: the core deterministic encoding of RFC 8949 section 4.2.1, both ways.

Writing gives every value one byte form: each integer, length and tag number in its shortest
head, integers from -2**64 to 2**64 - 1 never as bignums, each float in the shortest of half,
single or double precision that keeps its value exactly, NaN as ``f9 7e 00``, no indefinite
lengths, and map keys and set members (tag 258) in the bytewise order of their encodings.
Semantic types are written as :func:`kelvo.dumps` writes them with its default options. Value
sharing and string references are not available: they would make the bytes depend on object
identity.

Reading refuses anything else: :func:`check`, :func:`loads` and :func:`load` raise
:class:`kelvo.CBORDecodeError` naming the byte offset and the rule broken (also given as the
exception's ``offset`` and ``rule`` attributes).
"""

from collections.abc import Buffer, Callable, Mapping
from typing import IO, Any

import _kelvo
from kelvo import _deterministic

__all__ = ["dumps", "dump", "loads", "load", "check"]

_check_input = _deterministic.check_input
_deterministic_form = _deterministic.deterministic_form
_dumps = _kelvo.dumps
_loads = _kelvo.loads

_EncoderHook = Callable[[_kelvo.CBOREncoder, Any], object]


def dumps(obj: object, *, default: _EncoderHook | None = None,
          encoders: Mapping[type, _EncoderHook] | None = None) -> bytes:
    """Serialize an object to bytes in deterministic encoding.

    Hooks write as they do for :func:`kelvo.dumps`; what they write is brought into
    deterministic form with the rest (floats shortened, keys and set members sorted), and
    whatever cannot be, such as raw bytes with an indefinite length or a head longer than
    needed, is refused.

    :param obj: the object to serialize (any type that :func:`kelvo.dumps` supports, and
        those that the hooks take)
    :param default: a callable ``f(encoder, value)`` for values of types kelvo does not write
        itself, as for :func:`kelvo.dumps`
    :param encoders: a mapping from a type to a callable ``f(encoder, value)`` that writes
        values of exactly that type, as for :func:`kelvo.dumps`
    :return: the deterministic encoding of ``obj``
    :raises CBOREncodeValueError: when two keys of one mapping, or two members of one set,
        have the same encoding, or when a hook wrote something that is not in deterministic
        form (the message names the rule and the byte offset)
    """
    return _deterministic_form(_dumps(obj, default=default, encoders=encoders))


def dump(obj: object, fp: IO[bytes], *, default: _EncoderHook | None = None,
         encoders: Mapping[type, _EncoderHook] | None = None) -> None:
    """Serialize an object in deterministic encoding to an open file.

    :param obj: the object to serialize
    :param fp: the file to write to (any file-like object opened for writing in binary mode)
    :param default: as for :func:`dumps`
    :param encoders: as for :func:`dumps`
    """
    fp.write(dumps(obj, default=default, encoders=encoders))


def check(data: Buffer) -> None:
    """Check that data holds exactly one CBOR item in deterministic encoding.

    Only the encoding is judged, not the meaning of tags: a well-formed item whose heads,
    lengths, floats, bignums, map keys and set members are all in deterministic form passes.

    :param data: the CBOR data (``bytes``, or any buffer of one-byte items)
    :raises CBORDecodeError: naming the byte offset and the rule at the first departure, which
        the exception also carries as its ``offset`` and ``rule`` attributes
        (:class:`CBORDecodeEOF` when the data ends inside the item)
    """
    _check_input(data)


def loads(data: Buffer) -> Any:
    """Deserialize an object from data that must be in deterministic encoding.

    :param data: the CBOR data (``bytes``, or any buffer of one-byte items); it must hold
        exactly one item, with no bytes after it
    :return: the decoded object
    :raises CBORDecodeError: as :func:`check` does, as :func:`kelvo.loads` does for content it
        cannot decode, and for a map whose distinct keys decode to equal values (such as
        ``1`` and ``1.0``), which a ``dict`` could not hold without losing an entry
    """
    data, keys_may_compare_equal = _check_input(data)
    if keys_may_compare_equal:
        return _loads(data, allow_duplicate_keys=False)
    return _loads(data)


def load(fp: IO[bytes]) -> Any:
    """Deserialize an object from an open file that must hold one item in deterministic encoding.

    The whole rest of the file is read: bytes after the item are refused as :func:`loads`
    refuses them.

    :param fp: the file to read from (any file-like object opened for reading in binary mode)
    :return: the decoded object
    """
    return loads(fp.read())
