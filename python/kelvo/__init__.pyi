# Type stubs of the kelvo package: the classes and functions of the _kelvo extension (whose
# classes report "kelvo" as their module) and the sequence functions written in Python.

import datetime
from array import array
from collections.abc import Buffer, Callable, ItemsView, Iterable, Iterator, KeysView, Mapping, ValuesView
from types import GenericAlias
from typing import Any, Final, Generic, Literal, Protocol, TypeAlias, TypeVar, final, overload

from kelvo._typedcodec import _Timestamp

_T = TypeVar("_T")
_F = TypeVar("_F", bound=Callable[..., Any])
_C = TypeVar("_C", bound=type)
_KT = TypeVar("_KT")
_VT_co = TypeVar("_VT_co", covariant=True)

class _WriteStream(Protocol):
    def writable(self) -> object: ...
    def write(self, data: bytes, /) -> object: ...

class _ReadStream(Protocol):
    def readable(self) -> object: ...
    def seekable(self) -> object: ...
    def read(self, size: int, /) -> bytes: ...
    def seek(self, offset: int, whence: int, /) -> object: ...

class _ByteReader(Protocol):
    def read(self, size: int, /) -> bytes: ...

_EncoderHook: TypeAlias = Callable[[CBOREncoder, Any], object]
_TagHook: TypeAlias = Callable[[CBORTag, bool], Any]
_ObjectHook: TypeAlias = Callable[[Any, bool], Any]
# A semantic_decoders entry: f(payload, immutable), or a two-stage decoder that
# shareable_decoder marked, called with the immutable flag alone.
_SemanticDecoder: TypeAlias = Callable[[Any, bool], Any] | Callable[[bool], tuple[Any, Callable[[Any], Any]]]
_StrErrors: TypeAlias = Literal["strict", "ignore", "replace", "surrogateescape", "backslashreplace"]

__version__: str

__all__ = [
    "CBOREncoder", "shareable_encoder", "CBORDecoder", "shareable_decoder", "CBORTag",
    "CBORSimpleValue", "frozendict", "CBORError", "CBOREncodeError", "CBOREncodeTypeError",
    "CBOREncodeValueError", "CBORDecodeError", "CBORDecodeEOF", "load", "loads", "dump",
    "dumps", "undefined", "iterload", "dump_seq", "dumps_seq", "UNTRUSTED_SEMANTIC_DECODERS",
    "diag", "from_diag", "EDNError",
    "decode", "decode_from", "Decoder", "encode", "encode_to", "Encoder", "ValidationError", "Raw",
    "cbor_class", "key", "KeyOption", "timestamp",
    "scan", "scan_file", "loads_seq", "CBORSequenceError", "CBORSequenceEOF",
]

UNTRUSTED_SEMANTIC_DECODERS: Final[Mapping[int, Callable[[Any, bool], Any]]]

class CBORError(Exception): ...
class CBOREncodeError(CBORError): ...
class CBOREncodeTypeError(CBOREncodeError): ...
class CBOREncodeValueError(CBOREncodeError): ...
class CBORDecodeError(CBORError): ...
class CBORDecodeEOF(CBORDecodeError): ...

@final
class CBORTag:
    def __new__(cls, tag: int, value: object) -> CBORTag: ...
    @property
    def tag(self) -> int: ...
    @property
    def value(self) -> Any: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __lt__(self, other: CBORTag, /) -> bool: ...
    def __le__(self, other: CBORTag, /) -> bool: ...
    def __gt__(self, other: CBORTag, /) -> bool: ...
    def __ge__(self, other: CBORTag, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: Any, /) -> None: ...
    def __copy__(self) -> CBORTag: ...

@final
class CBORSimpleValue:
    def __new__(cls, value: int) -> CBORSimpleValue: ...
    @property
    def value(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __lt__(self, other: CBORSimpleValue | int, /) -> bool: ...
    def __le__(self, other: CBORSimpleValue | int, /) -> bool: ...
    def __gt__(self, other: CBORSimpleValue | int, /) -> bool: ...
    def __ge__(self, other: CBORSimpleValue | int, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __copy__(self) -> CBORSimpleValue: ...
    def __deepcopy__(self, memo: Any, /) -> CBORSimpleValue: ...

@final
class _UndefinedType:
    def __bool__(self) -> Literal[False]: ...
    def __reduce__(self) -> str: ...

undefined: Final[_UndefinedType]

@final
class frozendict(Mapping[_KT, _VT_co]):
    def __new__(cls, *args: Any, **kwargs: Any) -> frozendict[_KT, _VT_co]: ...
    def __getitem__(self, key: _KT, /) -> _VT_co: ...
    def __iter__(self) -> Iterator[_KT]: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: object, /) -> bool: ...
    @overload
    def get(self, key: _KT, /, default: None = None) -> _VT_co | None: ...
    @overload
    def get(self, key: _KT, /, default: _VT_co | _T) -> _VT_co | _T: ...
    def keys(self) -> KeysView[_KT]: ...
    def values(self) -> ValuesView[_VT_co]: ...
    def items(self) -> ItemsView[_KT, _VT_co]: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __copy__(self) -> frozendict[_KT, _VT_co]: ...
    def __deepcopy__(self, memo: Any, /) -> frozendict[_KT, _VT_co]: ...
    def __class_getitem__(cls, key: Any, /) -> GenericAlias: ...

@final
class CBOREncoder:
    def __new__(
        cls,
        fp: _WriteStream,
        *,
        datetime_as_timestamp: bool = False,
        timezone: datetime.tzinfo | None = None,
        value_sharing: bool = False,
        encoders: Mapping[type, _EncoderHook] | None = None,
        default: _EncoderHook | None = None,
        canonical: bool = False,
        date_as_datetime: bool = False,
        string_referencing: bool = False,
        indefinite_containers: bool = False,
    ) -> CBOREncoder: ...
    @property
    def fp(self) -> _WriteStream | None: ...
    @fp.setter
    def fp(self, value: _WriteStream) -> None: ...
    @property
    def timezone(self) -> datetime.tzinfo | None: ...
    @timezone.setter
    def timezone(self, value: datetime.tzinfo | None) -> None: ...
    @property
    def default(self) -> _EncoderHook | None: ...
    @default.setter
    def default(self, value: _EncoderHook | None) -> None: ...
    @property
    def datetime_as_timestamp(self) -> bool: ...
    @property
    def value_sharing(self) -> bool: ...
    @property
    def canonical(self) -> bool: ...
    @property
    def date_as_datetime(self) -> bool: ...
    @property
    def string_referencing(self) -> bool: ...
    @property
    def string_namespacing(self) -> bool: ...
    @property
    def indefinite_containers(self) -> bool: ...
    def write(self, buf: bytes | bytearray | Iterable[int], /) -> int: ...
    def encode(self, obj: object, /) -> None: ...
    def encode_to_bytes(self, obj: object, /) -> bytes: ...
    def encode_value(self, obj: object) -> None: ...
    def encode_length(self, major_tag: int, length: int | None) -> None: ...
    def encode_int(self, obj: int) -> None: ...
    def encode_bytes(self, obj: bytes) -> None: ...
    def encode_bytearray(self, obj: bytearray) -> None: ...
    def encode_string(self, obj: str) -> None: ...
    def encode_bool(self, obj: bool) -> None: ...
    def encode_none(self) -> None: ...
    def encode_undefined(self) -> None: ...
    def encode_break(self) -> None: ...
    def encode_simple_value(self, obj: CBORSimpleValue) -> None: ...
    def encode_float(self, obj: float) -> None: ...
    def encode_semantic(self, tag: int, value: object) -> None: ...
    def encode_array(self, obj: Iterable[Any]) -> None: ...
    def encode_map(self, obj: Mapping[Any, Any]) -> None: ...
    def encode_set(self, obj: set[Any]) -> None: ...
    def encode_frozenset(self, obj: frozenset[Any]) -> None: ...
    def encode_sortable_key(self, key: object) -> tuple[int, bytes]: ...
    def encode_sortable_item(self, item: tuple[Any, Any]) -> tuple[int, bytes]: ...
    def encode_datetime(self, obj: datetime.datetime) -> None: ...
    def encode_date(self, obj: datetime.date) -> None: ...
    def encode_decimal(self, obj: Any) -> None: ...
    def encode_rational(self, obj: Any) -> None: ...
    def encode_complex(self, obj: complex) -> None: ...
    def encode_regexp(self, obj: Any) -> None: ...
    def encode_mime(self, obj: Any) -> None: ...
    def encode_uuid(self, obj: Any) -> None: ...
    def encode_ipv4_address(self, obj: Any) -> None: ...
    def encode_ipv4_network(self, obj: Any) -> None: ...
    def encode_ipv4_interface(self, obj: Any) -> None: ...
    def encode_ipv6_address(self, obj: Any) -> None: ...
    def encode_ipv6_network(self, obj: Any) -> None: ...
    def encode_ipv6_interface(self, obj: Any) -> None: ...

@final
class CBORDecoder:
    def __new__(
        cls,
        fp: _ReadStream,
        *,
        tag_hook: _TagHook | None = None,
        object_hook: _ObjectHook | None = None,
        semantic_decoders: Mapping[int, _SemanticDecoder] | None = None,
        str_errors: _StrErrors = "strict",
        read_size: int = 4096,
        max_depth: int = 400,
        allow_indefinite: bool = True,
        allow_duplicate_keys: bool = True,
        strict_hashable_types: bool = False,
    ) -> CBORDecoder: ...
    @property
    def fp(self) -> _ReadStream | None: ...
    @fp.setter
    def fp(self, value: _ReadStream) -> None: ...
    @property
    def tag_hook(self) -> _TagHook | None: ...
    @tag_hook.setter
    def tag_hook(self, value: _TagHook | None) -> None: ...
    @property
    def object_hook(self) -> _ObjectHook | None: ...
    @object_hook.setter
    def object_hook(self, value: _ObjectHook | None) -> None: ...
    @property
    def str_errors(self) -> _StrErrors: ...
    @str_errors.setter
    def str_errors(self, value: _StrErrors) -> None: ...
    @property
    def read_size(self) -> int: ...
    @property
    def max_depth(self) -> int: ...
    @property
    def allow_indefinite(self) -> bool: ...
    @property
    def allow_duplicate_keys(self) -> bool: ...
    @property
    def strict_hashable_types(self) -> bool: ...
    def read(self, amount: int, /) -> bytes: ...
    def decode(self, *, immutable: bool = False) -> Any: ...

def dumps(
    obj: object,
    *,
    datetime_as_timestamp: bool = False,
    timezone: datetime.tzinfo | None = None,
    value_sharing: bool = False,
    encoders: Mapping[type, _EncoderHook] | None = None,
    default: _EncoderHook | None = None,
    canonical: bool = False,
    date_as_datetime: bool = False,
    string_referencing: bool = False,
    indefinite_containers: bool = False,
) -> bytes: ...
def dump(
    obj: object,
    fp: _WriteStream,
    *,
    datetime_as_timestamp: bool = False,
    timezone: datetime.tzinfo | None = None,
    value_sharing: bool = False,
    encoders: Mapping[type, _EncoderHook] | None = None,
    default: _EncoderHook | None = None,
    canonical: bool = False,
    date_as_datetime: bool = False,
    string_referencing: bool = False,
    indefinite_containers: bool = False,
) -> None: ...
def loads(
    data: Buffer,
    *,
    tag_hook: _TagHook | None = None,
    object_hook: _ObjectHook | None = None,
    semantic_decoders: Mapping[int, _SemanticDecoder] | None = None,
    str_errors: _StrErrors = "strict",
    max_depth: int = 400,
    allow_indefinite: bool = True,
    allow_duplicate_keys: bool = True,
    strict_hashable_types: bool = False,
    immutable: bool = False,
) -> Any: ...
def load(
    fp: _ReadStream,
    *,
    tag_hook: _TagHook | None = None,
    object_hook: _ObjectHook | None = None,
    semantic_decoders: Mapping[int, _SemanticDecoder] | None = None,
    str_errors: _StrErrors = "strict",
    read_size: int = 4096,
    max_depth: int = 400,
    allow_indefinite: bool = True,
    allow_duplicate_keys: bool = True,
    strict_hashable_types: bool = False,
    immutable: bool = False,
) -> Any: ...
def shareable_encoder(wraps: Callable[[CBOREncoder, _T], object], /) -> Callable[[CBOREncoder, _T], None]: ...
@overload
def shareable_decoder(func: _F, /, *, name: str | None = None, immutable: bool = False) -> _F: ...
@overload
def shareable_decoder(
    func: None = None, /, *, name: str | None = None, immutable: bool = False
) -> Callable[[_F], _F]: ...

# CBOR sequences (RFC 8742)
def iterload(
    fp: _ByteReader | Buffer,
    *,
    threads: int | None = 1,
    tag_hook: _TagHook | None = None,
    object_hook: _ObjectHook | None = None,
    semantic_decoders: Mapping[int, _SemanticDecoder] | None = None,
    str_errors: _StrErrors = "strict",
    read_size: int = 4096,
    max_depth: int = 400,
    allow_indefinite: bool = True,
    allow_duplicate_keys: bool = True,
    strict_hashable_types: bool = False,
    immutable: bool = False,
) -> Iterator[Any]: ...
def dump_seq(
    iterable: Iterable[object],
    fp: _WriteStream,
    *,
    datetime_as_timestamp: bool = False,
    timezone: datetime.tzinfo | None = None,
    value_sharing: bool = False,
    encoders: Mapping[type, _EncoderHook] | None = None,
    default: _EncoderHook | None = None,
    canonical: bool = False,
    date_as_datetime: bool = False,
    string_referencing: bool = False,
    indefinite_containers: bool = False,
) -> None: ...
def loads_seq(
    data: Buffer,
    *,
    threads: int | None = None,
    tag_hook: _TagHook | None = None,
    object_hook: _ObjectHook | None = None,
    semantic_decoders: Mapping[int, Callable[..., Any]] | None = None,
    str_errors: _StrErrors = "strict",
    max_depth: int = 400,
    allow_indefinite: bool = True,
    allow_duplicate_keys: bool = True,
    strict_hashable_types: bool = False,
    immutable: bool = False,
) -> list[Any]: ...
def scan(data: Buffer, /, *, max_depth: int = 400, check_utf8: bool = False) -> array[int]: ...
def scan_file(
    fp: _ByteReader | Buffer, *, max_depth: int = 400, check_utf8: bool = False, block_size: int = 65536
) -> Iterator[int]: ...

class CBORSequenceError(CBORDecodeError):
    index: int
    offset: int
class CBORSequenceEOF(CBORSequenceError, CBORDecodeEOF): ...

def dumps_seq(
    iterable: Iterable[object],
    *,
    datetime_as_timestamp: bool = False,
    timezone: datetime.tzinfo | None = None,
    value_sharing: bool = False,
    encoders: Mapping[type, _EncoderHook] | None = None,
    default: _EncoderHook | None = None,
    canonical: bool = False,
    date_as_datetime: bool = False,
    string_referencing: bool = False,
    indefinite_containers: bool = False,
) -> bytes: ...

# Diagnostic notation (RFC 8949 section 8, extended diagnostic notation)
class EDNError(ValueError):
    line: int
    column: int
    reason: str

def diag(data: Buffer, *, pretty: bool = False, widths: bool = False) -> str: ...
def from_diag(text: str | Buffer, *, seq: bool = False, max_depth: int = 400) -> bytes: ...

# Typed decoding and encoding
class _BinaryReader(Protocol):
    def read(self, size: int = ..., /) -> bytes: ...
    def seekable(self) -> bool: ...
    def tell(self) -> int: ...
    def seek(self, offset: int, whence: int = ..., /) -> int: ...

class _BinaryWriter(Protocol):
    def write(self, data: bytes, /) -> object: ...

class ValidationError(CBORDecodeError):
    path: str
    offset: int | None
    def __init__(self, message: str, path: str = "$", offset: int | None = None) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

@final
class Raw:
    def __init__(self, data: Buffer) -> None: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __bytes__(self) -> bytes: ...
    def __len__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

@final
class KeyOption:
    key: int | str
    def __init__(self, key: int | str) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

timestamp: Final[_Timestamp]

def key(name: int | str) -> KeyOption: ...
@overload
def cbor_class(cls: _C, /) -> _C: ...
@overload
def cbor_class(
    cls: None = None,
    /,
    *,
    rename: Literal["camel", "pascal", "kebab", "upper", "lower"] | Mapping[str, int | str]
    | Callable[[str], int | str] | None = None,
    array: bool = False,
    omit_defaults: bool = False,
    omit_none: bool = False,
    forbid_unknown: bool = False,
    tag_field: str | None = None,
    tag: Any = None,
    cbor_tag: int | None = None,
) -> Callable[[_C], _C]: ...

class Decoder(Generic[_T]):
    type: Any
    @overload
    def __init__(
        self: Decoder[_T],
        type: type[_T],
        *,
        tag_hook: _TagHook | None = ...,
        object_hook: _ObjectHook | None = ...,
        semantic_decoders: Mapping[int, Callable[..., Any]] | None = ...,
        str_errors: _StrErrors = ...,
        max_depth: int = ...,
        allow_indefinite: bool = ...,
        allow_duplicate_keys: bool = ...,
        strict_hashable_types: bool = ...,
        immutable: bool = ...,
    ) -> None: ...
    @overload
    def __init__(
        self: Decoder[Any],
        type: Any = ...,
        *,
        tag_hook: _TagHook | None = ...,
        object_hook: _ObjectHook | None = ...,
        semantic_decoders: Mapping[int, Callable[..., Any]] | None = ...,
        str_errors: _StrErrors = ...,
        max_depth: int = ...,
        allow_indefinite: bool = ...,
        allow_duplicate_keys: bool = ...,
        strict_hashable_types: bool = ...,
        immutable: bool = ...,
    ) -> None: ...
    def decode(self, data: Buffer) -> _T: ...
    def decode_from(self, fp: _BinaryReader) -> _T: ...

@overload
def decode(
    data: Buffer,
    type: type[_T],
    *,
    tag_hook: _TagHook | None = ...,
    object_hook: _ObjectHook | None = ...,
    semantic_decoders: Mapping[int, Callable[..., Any]] | None = ...,
    str_errors: _StrErrors = ...,
    max_depth: int = ...,
    allow_indefinite: bool = ...,
    allow_duplicate_keys: bool = ...,
    strict_hashable_types: bool = ...,
    immutable: bool = ...,
) -> _T: ...
@overload
def decode(
    data: Buffer,
    type: Any = ...,
    *,
    tag_hook: _TagHook | None = ...,
    object_hook: _ObjectHook | None = ...,
    semantic_decoders: Mapping[int, Callable[..., Any]] | None = ...,
    str_errors: _StrErrors = ...,
    max_depth: int = ...,
    allow_indefinite: bool = ...,
    allow_duplicate_keys: bool = ...,
    strict_hashable_types: bool = ...,
    immutable: bool = ...,
) -> Any: ...
@overload
def decode_from(
    fp: _BinaryReader,
    type: type[_T],
    *,
    tag_hook: _TagHook | None = ...,
    object_hook: _ObjectHook | None = ...,
    semantic_decoders: Mapping[int, Callable[..., Any]] | None = ...,
    str_errors: _StrErrors = ...,
    max_depth: int = ...,
    allow_indefinite: bool = ...,
    allow_duplicate_keys: bool = ...,
    strict_hashable_types: bool = ...,
    immutable: bool = ...,
) -> _T: ...
@overload
def decode_from(
    fp: _BinaryReader,
    type: Any = ...,
    *,
    tag_hook: _TagHook | None = ...,
    object_hook: _ObjectHook | None = ...,
    semantic_decoders: Mapping[int, Callable[..., Any]] | None = ...,
    str_errors: _StrErrors = ...,
    max_depth: int = ...,
    allow_indefinite: bool = ...,
    allow_duplicate_keys: bool = ...,
    strict_hashable_types: bool = ...,
    immutable: bool = ...,
) -> Any: ...

class Encoder:
    def __init__(
        self,
        *,
        datetime_as_timestamp: bool = ...,
        timezone: datetime.tzinfo | None = ...,
        value_sharing: bool = ...,
        encoders: Mapping[type, _EncoderHook] | None = ...,
        default: _EncoderHook | None = ...,
        canonical: bool = ...,
        date_as_datetime: bool = ...,
        string_referencing: bool = ...,
        indefinite_containers: bool = ...,
    ) -> None: ...
    def encode(self, obj: object) -> bytes: ...
    def encode_to(self, obj: object, fp: _BinaryWriter) -> None: ...

def encode(
    obj: object,
    *,
    datetime_as_timestamp: bool = ...,
    timezone: datetime.tzinfo | None = ...,
    value_sharing: bool = ...,
    encoders: Mapping[type, _EncoderHook] | None = ...,
    default: _EncoderHook | None = ...,
    canonical: bool = ...,
    date_as_datetime: bool = ...,
    string_referencing: bool = ...,
    indefinite_containers: bool = ...,
) -> bytes: ...
def encode_to(
    obj: object,
    fp: _BinaryWriter,
    *,
    datetime_as_timestamp: bool = ...,
    timezone: datetime.tzinfo | None = ...,
    value_sharing: bool = ...,
    encoders: Mapping[type, _EncoderHook] | None = ...,
    default: _EncoderHook | None = ...,
    canonical: bool = ...,
    date_as_datetime: bool = ...,
    string_referencing: bool = ...,
    indefinite_containers: bool = ...,
) -> None: ...
