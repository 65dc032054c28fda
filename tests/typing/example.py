"""Every public call of kelvo with its options, checked by mypy --strict (tests/test_typing.py).

The lines marked ``type: ignore[...]`` are mistakes the stubs must catch: mypy runs with
--warn-unused-ignores, so a stub that let one of them through fails the check.
"""

from __future__ import annotations

import datetime
import io
from typing import Any

import _kelvo
import kelvo
from kelvo import (
    CBORDecodeEOF,
    CBORDecodeError,
    CBORDecoder,
    CBOREncodeError,
    CBOREncodeTypeError,
    CBOREncodeValueError,
    CBOREncoder,
    CBORError,
    CBORSimpleValue,
    CBORTag,
    deterministic,
    frozendict,
    undefined,
)


def encode_point(encoder: CBOREncoder, value: complex) -> None:
    encoder.encode_semantic(4000, [value.real, value.imag])


def tag_hook(tag: CBORTag, immutable: bool) -> Any:
    return (tag.tag, tag.value)


def object_hook(mapping: Any, immutable: bool) -> Any:
    return dict(mapping)


@kelvo.shareable_decoder(name="pair", immutable=True)
def two_stage(immutable: bool) -> tuple[list[Any], Any]:
    placeholder: list[Any] = []
    return placeholder, placeholder.extend


@kelvo.shareable_decoder
def two_stage_bare(immutable: bool) -> tuple[None, Any]:
    return None, list


shared_point = kelvo.shareable_encoder(encode_point)

data: bytes = kelvo.dumps(
    {"when": datetime.datetime.now(datetime.UTC)},
    datetime_as_timestamp=True, timezone=datetime.UTC, value_sharing=True,
    encoders={complex: shared_point}, default=encode_point, canonical=True, date_as_datetime=True,
    string_referencing=True, indefinite_containers=False)
buffer = io.BytesIO()
kelvo.dump([1, 2], buffer, canonical=True, value_sharing=False)
value: Any = kelvo.loads(
    data, tag_hook=tag_hook, object_hook=object_hook, semantic_decoders={4000: two_stage, 4001: two_stage_bare},
    str_errors="replace", max_depth=50, allow_indefinite=False, allow_duplicate_keys=False,
    strict_hashable_types=True, immutable=True)
value = kelvo.loads(bytearray(data))
value = kelvo.loads(memoryview(data))
buffer.seek(0)
value = kelvo.load(buffer, read_size=1, str_errors="ignore", immutable=False, max_depth=10)

sequence: bytes = kelvo.dumps_seq([1, "a", b"b"], canonical=True, indefinite_containers=True)
kelvo.dump_seq(iter([None, 2.5]), buffer, value_sharing=True, string_referencing=True)
items: list[Any] = list(kelvo.iterload(io.BytesIO(sequence), immutable=True, max_depth=5))

encoder = CBOREncoder(io.BytesIO(), canonical=True, default=encode_point, timezone=None)
encoder.encode([1, 2.0, "three"])
encoder.encode_value(None)
encoder.encode_length(4, None)
encoder.encode_length(0, 5)
encoder.encode_int(1)
encoder.encode_bytes(b"x")
encoder.encode_bytearray(bytearray(b"x"))
encoder.encode_string("x")
encoder.encode_bool(True)
encoder.encode_none()
encoder.encode_undefined()
encoder.encode_break()
encoder.encode_simple_value(CBORSimpleValue(5))
encoder.encode_float(1.5)
encoder.encode_semantic(6, "x")
encoder.encode_array((1, 2))
encoder.encode_map({"a": 1})
encoder.encode_set({1})
encoder.encode_frozenset(frozenset({1}))
sort_key: tuple[int, bytes] = encoder.encode_sortable_key("a")
sort_key = encoder.encode_sortable_item(("a", 1))
encoded: bytes = encoder.encode_to_bytes([1])
written: int = encoder.write(b"\x01")
encoder.timezone = datetime.UTC
encoder.default = None
flags: bool = (encoder.canonical and encoder.value_sharing and encoder.datetime_as_timestamp
               and encoder.date_as_datetime and encoder.string_referencing and encoder.string_namespacing
               and encoder.indefinite_containers)

decoder = CBORDecoder(io.BytesIO(data), tag_hook=tag_hook, object_hook=None, semantic_decoders=None,
                      str_errors="strict", read_size=16, max_depth=8, allow_indefinite=True,
                      allow_duplicate_keys=True, strict_hashable_types=False)
value = decoder.decode(immutable=True)
raw: bytes = decoder.read(0)
decoder.tag_hook = None
decoder.str_errors = "surrogateescape"
sizes: int = decoder.read_size + decoder.max_depth
flags = decoder.allow_indefinite and decoder.allow_duplicate_keys and decoder.strict_hashable_types

tag = CBORTag(6, [1])
number: int = tag.tag
ordered: bool = tag < CBORTag(7, None) and CBORSimpleValue(5) < 6
simple: int = CBORSimpleValue(32).value
frozen: frozendict[str, int] = frozendict({"a": 1})
count: int = frozen["a"] + len(frozen) + (frozen.get("b") or 0)
falsy: bool = bool(undefined)
same: bool = _kelvo.CBORTag is kelvo.CBORTag
errors: tuple[type[CBORError], ...] = (CBOREncodeError, CBOREncodeTypeError, CBOREncodeValueError,
                                       CBORDecodeError, CBORDecodeEOF)

exact: bytes = deterministic.dumps({"a": 1.5}, default=encode_point, encoders={complex: encode_point})
deterministic.dump(exact, io.BytesIO(), default=None, encoders=None)
deterministic.check(exact)
checked: Any = deterministic.loads(memoryview(exact))
_kelvo.dumps(checked)

# Mistakes the stubs must reject.
kelvo.dumps(1, canonical=1)  # type: ignore[arg-type]
kelvo.loads("text")  # type: ignore[arg-type]
kelvo.loads(data, str_errors="loose")  # type: ignore[arg-type]
kelvo.loads(data, read_size=1)  # type: ignore[call-arg]
tag.value = 1  # type: ignore[misc]
deterministic.loads("text")  # type: ignore[arg-type]
deterministic.dumps(1, canonical=True)  # type: ignore[call-arg]
kelvo.loads(data, semantic_decoders={1: len})  # type: ignore[dict-item]
