"""Typed CBOR: one item decoded straight into annotated classes and checked on the way, and back.

A type is compiled once into a plan: a tree of small converter functions, one per type in the
annotation, which take the value that :func:`kelvo.loads` builds for an item and return the
typed value, or raise :class:`ValidationError`. Where in the input a failure lies is worked out
only when one happens, by walking the encoded bytes along the path of the failure; the
successful path carries no bookkeeping for it. Plans are kept in a per-process cache, built under
a lock and published only when complete, and then shared read-only by every thread.

Encoding hands everything to :func:`kelvo.dumps`; the classes it does not write (dataclasses,
plain enums, :class:`Raw`) reach its ``default`` hook, which writes them in their wire form.
"""

from __future__ import annotations

import collections.abc as cabc
import dataclasses
import datetime
import decimal
import enum
import fractions
import functools
import inspect
import ipaddress
import re
import threading
import types
import typing
import uuid
from typing import IO, Any, Generic, TypeVar

import _kelvo
from _kelvo import CBORDecodeError, CBORSimpleValue, CBORTag, frozendict
from kelvo import _typed as _native  # the native half

__all__ = [
    "ValidationError", "Raw", "KeyOption", "key", "timestamp", "cbor_class", "decode", "decode_from", "Decoder",
    "encode", "encode_to", "Encoder",
]

_T = TypeVar("_T")
_loads = _kelvo.loads
_dumps = _kelvo.dumps
_item_end = _native.item_end
_MISSING = object()
_NoneType: type[None] = type(None)


# ---------------------------------------------------------------------------------------------
# Public value types and options


class ValidationError(CBORDecodeError):
    """Raised when the CBOR is well formed but does not fit the requested type.

    :ivar path: where in the value the offending item lies, as ``$.field[3].name``
    :ivar offset: the byte offset of the offending item in the input (``None`` when it cannot be
        told, as for a member of a set)
    """

    def __init__(self, message: str, path: str = "$", offset: int | None = None) -> None:
        where = f" at {path}" if offset is None else f" at {path} (byte {offset})"
        super().__init__(message + where)
        self.path = path
        self.offset = offset
        self._message = message

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self._message, self.path, self.offset), self.__dict__)


class Raw:
    """The undecoded bytes of one CBOR item: a read-only buffer, compared and hashed by content.

    Declaring a field as ``Raw`` keeps its item as it was encoded, to be passed on or decoded
    later (``kelvo.loads(raw)`` or ``kelvo.decode(raw, type=T)``); :func:`encode` writes a
    ``Raw`` back verbatim, after checking that it holds exactly one well-formed item.

    :param data: the encoded item (any bytes-like object; it is copied)
    """

    __slots__ = ("_data",)

    def __init__(self, data: Any) -> None:
        self._data = bytes(data)

    def __buffer__(self, flags: int, /) -> memoryview:
        return memoryview(self._data)

    def __bytes__(self) -> bytes:
        return self._data

    def __len__(self) -> int:
        return len(self._data)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Raw):
            return self._data == other._data
        return NotImplemented

    def __hash__(self) -> int:
        return hash((Raw, self._data))

    def __repr__(self) -> str:
        return f"Raw({self._data!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (Raw, (self._data,))


class KeyOption:
    """The map key (a text or an integer) under which a field is written and read.

    Made by :func:`key`; place it in ``Annotated[T, ...]`` metadata, or in a dataclass field's
    metadata as ``dataclasses.field(metadata={"kelvo": key(...)})``.
    """

    __slots__ = ("key",)

    def __init__(self, key: int | str) -> None:
        self.key = key

    def __eq__(self, other: object) -> bool:
        if isinstance(other, KeyOption):
            return type(self.key) is type(other.key) and self.key == other.key
        return NotImplemented

    def __hash__(self) -> int:
        return hash((KeyOption, self.key))

    def __repr__(self) -> str:
        return f"kelvo.key({self.key!r})"


class _Timestamp:
    """The marker :data:`timestamp`."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "kelvo.timestamp"


timestamp = _Timestamp()
"""``Annotated[datetime, kelvo.timestamp]``: the field is written as untagged seconds since the
epoch (an int when whole), as the NumericDate of CWT and JWT; it is read from a number, a
tagged date and time or an RFC 3339 text."""


def key(name: int | str) -> KeyOption:
    """Write and read a field under another map key than its name.

    :param name: the key: a text (a renamed field) or an integer (the compact keys of COSE,
        CWT and CTAP2 structures)
    :return: the option, for ``Annotated[T, kelvo.key(4)]``
    """
    if type(name) is not int and type(name) is not str:
        raise TypeError(f"a field key is an int or a str, not {type(name).__name__}")
    return KeyOption(name)


@dataclasses.dataclass(frozen=True, slots=True)
class _ClassOptions:
    rename: Any = None
    array: bool = False
    omit_defaults: bool = False
    omit_none: bool = False
    forbid_unknown: bool = False
    tag_field: str | None = None
    tag: Any = None
    cbor_tag: int | None = None


_RENAMES = {
    "camel": lambda n: (lambda parts: parts[0] + "".join(p[:1].upper() + p[1:] for p in parts[1:]))(
        n.strip("_").split("_")),
    "pascal": lambda n: "".join(p[:1].upper() + p[1:] for p in n.strip("_").split("_")),
    "kebab": lambda n: n.strip("_").replace("_", "-"),
    "upper": lambda n: n.upper(),
    "lower": lambda n: n.lower(),
}


def cbor_class(cls: Any = None, /, *, rename: Any = None, array: bool = False, omit_defaults: bool = False,
               omit_none: bool = False, forbid_unknown: bool = False, tag_field: str | None = None,
               tag: Any = None, cbor_tag: int | None = None) -> Any:
    """Declare how a dataclass, named tuple or TypedDict is written and read.

    Used as ``@kelvo.cbor_class(...)`` above the class (with or without arguments); the class
    itself is returned unchanged apart from the options it now carries.

    :param rename: how field names become map keys where no :func:`key` says otherwise: one of
        ``"camel"``, ``"pascal"``, ``"kebab"``, ``"upper"``, ``"lower"``, a mapping from field
        name to key, or a callable taking the field name
    :param array: write an instance as an array of its fields in order instead of a map;
        reading accepts trailing fields with defaults being left out
    :param omit_defaults: leave out fields equal to their default when writing
    :param omit_none: leave out fields whose value is ``None`` when writing
    :param forbid_unknown: refuse map keys (or array items) that are no field, instead of
        skipping them
    :param tag_field: with ``tag``: the key of an entry written first, holding ``tag``, by
        which the classes of a union are told apart when read
    :param tag: the value of ``tag_field`` for this class (default: the class's name)
    :param cbor_tag: write an instance inside this CBOR tag number; the classes of a union may
        also be told apart by it
    """
    if rename is not None and not (rename in _RENAMES if isinstance(rename, str) else
                                   callable(rename) or isinstance(rename, cabc.Mapping)):
        raise TypeError(f"rename must be one of {sorted(_RENAMES)}, a mapping or a callable, not {rename!r}")
    if cbor_tag is not None and (type(cbor_tag) is not int or not 0 <= cbor_tag < 2 ** 64):
        raise TypeError("cbor_tag must be an int from 0 to 2**64 - 1")
    if tag is not None and tag_field is None:
        raise TypeError("tag needs tag_field")
    if tag_field is not None and array:
        raise TypeError("tag_field needs the map form: an array has no field to hold the tag")

    def apply(target: Any) -> Any:
        if not isinstance(target, type):
            raise TypeError(f"cbor_class applies to a class, not {target!r}")
        options = _ClassOptions(rename, array, omit_defaults, omit_none, forbid_unknown, tag_field,
                                (target.__name__ if tag is None else tag) if tag_field is not None else None,
                                cbor_tag)
        setattr(target, "__kelvo_options__", options)  # noqa: B010 (a name type checkers do not know)
        with _lock:
            _plans.pop(target, None)
            _writers.pop(target, None)
            _plain_rows.pop(target, None)
            _not_plain.pop(target, None)
        return target

    return apply if cls is None else apply(cls)


def _options_of(cls: Any) -> _ClassOptions:
    options = cls.__dict__.get("__kelvo_options__")
    if not isinstance(options, _ClassOptions):
        options = _DEFAULT_OPTIONS
    if not options.array and _is_namedtuple(cls):
        # A named tuple is a tuple, which the encoder writes as an array: it is read as one.
        options = dataclasses.replace(options, array=True)
    return options


_DEFAULT_OPTIONS = _ClassOptions()


# ---------------------------------------------------------------------------------------------
# Failures while converting, and where they lie


class _Invalid(Exception):
    """A value that does not fit its plan; the path is added while the failure unwinds."""

    def __init__(self, message: str, steps: list[Any] | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.steps = [] if steps is None else steps  # innermost first


class _Index(int):
    """An array position on a failure's path."""


class _Content:
    """The content of a tag on a failure's path."""


_CONTENT = _Content()

_KIND_NAMES: dict[type, str] = {
    int: "int", bool: "bool", float: "float", str: "text string", bytes: "byte string",
    bytearray: "byte string", list: "array", tuple: "array", dict: "map", frozendict: "map",
    _NoneType: "null", set: "set", frozenset: "set", CBORSimpleValue: "simple value",
    datetime.datetime: "datetime", datetime.date: "date", uuid.UUID: "UUID", decimal.Decimal: "decimal",
    fractions.Fraction: "fraction",
}


def _found(value: Any) -> str:
    t = type(value)
    name = _KIND_NAMES.get(t)
    if name is not None:
        return name
    if t is CBORTag:
        return f"tag {value.tag}"
    if value is _kelvo.undefined:
        return "undefined"
    return t.__name__


def _mismatch(expected: str, value: Any) -> _Invalid:
    return _Invalid(f"expected {expected}, got {_found(value)}")


def _path_text(steps: list[Any]) -> str:
    out = ["$"]
    for step in reversed(steps):
        if isinstance(step, _Index):
            out.append(f"[{int(step)}]")
        elif step is _CONTENT:
            continue
        elif type(step) is str and step.isidentifier():
            out.append("." + step)
        else:
            out.append(f"[{step!r}]")
    return "".join(out)


_HEAD_WIDTH = {24: 1, 25: 2, 26: 4, 27: 8}


def _head(data: bytes, pos: int) -> tuple[int, int, int | None, int]:
    """(major type, additional information, argument or None if indefinite, offset after the head)."""
    initial = data[pos]
    major, info = initial >> 5, initial & 31
    pos += 1
    if info < 24:
        return major, info, info, pos
    if info == 31:
        return major, info, None, pos
    width = _HEAD_WIDTH[info]
    return major, info, int.from_bytes(data[pos:pos + width], "big"), pos + width


# Tags that the decoder unwraps without leaving a trace in the value: shared values, and the
# namespaces of string references.
_TRANSPARENT_TAGS = frozenset({28, 256})


def _skip_transparent(data: bytes, pos: int) -> int:
    while True:
        major, _, arg, after = _head(data, pos)
        if major != 6 or arg not in _TRANSPARENT_TAGS:
            return pos
        pos = after


def _children(data: bytes, pos: int, max_depth: int) -> tuple[int, int | None, int | None, list[int]]:
    """The item's major type, argument and the offsets of its direct children (for a map:
    keys and values alternately; for a tag: its content)."""
    pos = _skip_transparent(data, pos)
    major, _, arg, after = _head(data, pos)
    starts: list[int] = []
    if major == 6:
        return major, arg, arg, [after]
    if major in (4, 5):
        count = None if arg is None else (arg if major == 4 else 2 * arg)
        while (count is None and data[after] != 0xFF) or (count is not None and len(starts) < count):
            starts.append(after)
            after = _item_end(data, after, max_depth)
    return major, arg if arg is not None else -1, arg, starts


def _locate(data: bytes, steps: list[Any], max_depth: int, base: int = 0) -> int | None:
    """The offset of the item at the end of a failure's path, walking the encoded bytes."""
    pos = base
    try:
        for step in reversed(steps):
            major, _, arg, starts = _children(data, pos, max_depth)
            if step is _CONTENT:
                if major != 6:
                    return _skip_transparent(data, pos)
                pos = starts[0]
            elif isinstance(step, _Index):
                if major == 6 and arg == 258:
                    return _skip_transparent(data, pos)
                if major != 4 or int(step) >= len(starts):
                    return _skip_transparent(data, pos)
                pos = starts[int(step)]
            else:
                if major != 5:
                    return _skip_transparent(data, pos)
                found = None
                for i in range(0, len(starts), 2):
                    try:
                        k = _loads(data[starts[i]:starts[i + 1]])
                    except Exception:
                        continue
                    if type(k) is type(step) and k == step:
                        found = starts[i + 1]
                if found is None:
                    return _skip_transparent(data, pos)
                pos = found
        return _skip_transparent(data, pos)
    except (IndexError, CBORDecodeError, KeyError):
        return None


# ---------------------------------------------------------------------------------------------
# Plans


class _Plan:
    """How one type is read: ``convert(value)`` takes what ``loads`` built, and returns the typed
    value or raises :class:`_Invalid`. ``kinds`` are the value types (or ``("tag", n)``) it
    takes as its own, by which a union chooses its member; ``fallback`` those it also takes
    where no member claims them (an int for a float). ``raw`` tells whether a :class:`Raw`
    lies inside, which needs the encoded bytes of items while converting."""

    __slots__ = ("convert", "kinds", "fallback", "name", "raw", "spanned", "tag_field", "tag_value", "shape",
                 "program")

    def __init__(self, convert: Any, kinds: Any, name: str, fallback: Any = (), raw: bool = False,
                 spanned: Any = None) -> None:
        self.convert = convert
        self.kinds = frozenset(kinds) if kinds is not None else None  # None: takes anything
        self.fallback = frozenset(fallback)
        self.name = name
        self.raw = raw
        # For plans with a Raw inside: spanned(value, data, offset, depth) -> (result, end).
        self.spanned = spanned
        # For a class told apart in a union by an entry of its map: the entry's key and value.
        self.tag_field: Any = None
        self.tag_value: Any = None
        # What the native walker reads for this plan (kelvo._typed.compile): ("py",) hands the
        # item to loads and `convert`; the other shapes are read from the bytes directly.
        self.shape: tuple[Any, ...] = ("py",)
        self.program: Any = None  # the compiled native program, made on first use


def _shaped(plan: _Plan, *shape: Any) -> _Plan:
    plan.shape = shape
    return plan


_lock = threading.RLock()
_plans: dict[Any, _Plan] = {}
_writers: dict[type, Any] = {}
_plain_rows: dict[type, tuple[tuple[str, ...], tuple[Any, ...], bool, tuple[Any, ...], tuple[bytes, ...]]] = {}
_not_plain: dict[type, None] = {}  # classes that flattening leaves to dumps and the hook


def _classify(cls: type) -> None:
    """Files a class met while flattening: its fields' table row, or among the others."""
    _writer_for(cls)
    if cls not in _plain_rows:
        _not_plain[cls] = None


def _identity(v: Any) -> Any:
    return v


_ANY_PLAN = _shaped(_Plan(_identity, None, "any"), "any")


def _exact(t: type, name: str) -> _Plan:
    def convert(v: Any) -> Any:
        if type(v) is t:
            return v
        raise _mismatch(name, v)
    return _shaped(_Plan(convert, (t,), name), "py", t)


def _float_convert(v: Any) -> Any:
    t = type(v)
    if t is float:
        return v
    if t is int:
        try:
            return float(v)
        except OverflowError:
            raise _Invalid("expected float, got an int too large for a float") from None
    raise _mismatch("float", v)


def _bytearray_convert(v: Any) -> Any:
    if type(v) is bytes:
        return bytearray(v)
    raise _mismatch("bytearray", v)


def _datetime_convert(v: Any) -> Any:
    t = type(v)
    if t is datetime.datetime:
        return v
    if t is str:
        try:
            return datetime.datetime.fromisoformat(v)
        except ValueError:
            raise _Invalid(f"expected an RFC 3339 date and time, got {v[:40]!r}") from None
    if t is int or t is float:
        # An untagged number is seconds since the epoch, as in CWT and JWT claims.
        try:
            return datetime.datetime.fromtimestamp(v, datetime.UTC)
        except (OverflowError, ValueError, OSError):
            raise _Invalid(f"expected a timestamp within the years 1 to 9999, got {_show(v)}") from None
    raise _mismatch("datetime", v)


def _date_convert(v: Any) -> Any:
    t = type(v)
    if t is datetime.date:
        return v
    if t is str:
        try:
            return datetime.date.fromisoformat(v)
        except ValueError:
            raise _Invalid(f"expected an RFC 3339 full date, got {v[:40]!r}") from None
    raise _mismatch("date", v)


def _uuid_convert(v: Any) -> Any:
    t = type(v)
    if t is uuid.UUID:
        return v
    if t is bytes:
        if len(v) == 16:
            return uuid.UUID(bytes=v)
        raise _Invalid(f"expected UUID, got a byte string of {len(v)} bytes")
    raise _mismatch("UUID", v)


_IP_TYPES = (ipaddress.IPv4Address, ipaddress.IPv6Address, ipaddress.IPv4Network, ipaddress.IPv6Network,
             ipaddress.IPv4Interface, ipaddress.IPv6Interface)

_NONE_PLAN = _shaped(_exact(_NoneType, "None"), "none")
_SCALARS: dict[Any, _Plan] = {
    bool: _shaped(_exact(bool, "bool"), "bool"),
    int: _shaped(_exact(int, "int"), "int"),
    str: _shaped(_exact(str, "str"), "str"),
    bytes: _shaped(_exact(bytes, "bytes"), "bytes"),
    float: _shaped(_Plan(_float_convert, (float,), "float", fallback=(int,)), "float"),
    bytearray: _Plan(_bytearray_convert, (bytes,), "bytearray"),
    _NoneType: _NONE_PLAN,
    None: _NONE_PLAN,
    Any: _ANY_PLAN,
    object: _ANY_PLAN,
    datetime.datetime: _shaped(_Plan(_datetime_convert, (datetime.datetime, str), "datetime", fallback=(int, float)),
                               "datetime", datetime.datetime),
    datetime.date: _shaped(_Plan(_date_convert, (datetime.date, str), "date"), "date", datetime.date),
    uuid.UUID: _shaped(_Plan(_uuid_convert, (uuid.UUID, bytes), "UUID"), "uuid", uuid.UUID),
    decimal.Decimal: _shaped(_exact(decimal.Decimal, "decimal"), "decimal", decimal.Decimal),
    fractions.Fraction: _exact(fractions.Fraction, "fraction"),
    re.Pattern: _exact(re.Pattern, "regular expression"),
    CBORTag: _Plan(lambda v: v if type(v) is CBORTag else (_ for _ in ()).throw(_mismatch("tag", v)),
                   (CBORTag,), "tag"),
    CBORSimpleValue: _exact(CBORSimpleValue, "simple value"),
}
for _ip in _IP_TYPES:
    _SCALARS[_ip] = _exact(_ip, _ip.__name__)
_SCALARS[ipaddress.IPv4Address] = _exact(ipaddress.IPv4Address, "IPv4 address")
_SCALARS[ipaddress.IPv6Address] = _exact(ipaddress.IPv6Address, "IPv6 address")

_SEQUENCE_ORIGINS = {list, cabc.Sequence, cabc.MutableSequence, cabc.Collection, cabc.Iterable,
                     typing.Sequence, typing.MutableSequence, list}
_SET_ORIGINS = {set: set, frozenset: frozenset, cabc.Set: frozenset, cabc.MutableSet: set,
                typing.AbstractSet: frozenset, typing.MutableSet: set}
_MAP_ORIGINS = {dict, cabc.Mapping, cabc.MutableMapping, dict, typing.Mapping, typing.MutableMapping}
_ARRAY_KINDS = (list, tuple)
_MAP_KINDS = (dict, frozendict)


class _Compiler:
    """Turns one type into a plan, with the class plans it meets along the way."""

    def __init__(self) -> None:
        self.pending: dict[Any, _Plan] = {}  # classes being compiled, for recursive references
        self.recursive: set[int] = set()  # ids of the class plans referred to while being built

    def plan(self, tp: Any, where: str, typevars: dict[Any, Any] | None = None) -> _Plan:
        if isinstance(tp, typing.TypeVar):
            bound = (typevars or {}).get(tp, _MISSING)
            if bound is _MISSING:
                bound = tp.__bound__ if tp.__bound__ is not None else Any
            return self.plan(bound, where, typevars)
        if isinstance(tp, str) or isinstance(tp, typing.ForwardRef):
            raise TypeError(f"{where}: the annotation {tp!r} cannot be resolved")
        try:
            hash(tp)
        except TypeError:
            # Unhashable metadata in an Annotated: only its first argument matters.
            if typing.get_origin(tp) is typing.Annotated:
                return self.plan(typing.get_args(tp)[0], where, typevars)
            raise TypeError(f"{where}: kelvo cannot decode the type {_type_name(tp)}") from None
        cached = _plans.get(tp)
        if cached is not None:
            return cached
        if tp in self.pending:
            self.recursive.add(id(self.pending[tp]))
            return _late(self.pending[tp])
        scalar = _SCALARS.get(tp)
        if scalar is not None:
            return scalar
        if tp is Raw:
            return _RAW_PLAN
        if isinstance(tp, typing.NewType):
            return self.plan(tp.__supertype__, where, typevars)
        if type(tp) is typing.TypeAliasType:
            return self.plan(tp.__value__, where, typevars)
        origin = typing.get_origin(tp)
        args = typing.get_args(tp)
        if origin is typing.Annotated:
            return self.plan(args[0], where, typevars)
        if origin in (typing.Required, typing.NotRequired, typing.ReadOnly, typing.Final, typing.ClassVar):
            return self.plan(args[0], where, typevars)
        if origin is typing.Union or origin is types.UnionType:
            return self.union([self.plan(a, where, typevars) for a in args], tp, where)
        if origin is typing.Literal:
            return _literal(args, where)
        if origin in _SEQUENCE_ORIGINS:
            return _array(self.plan(args[0] if args else Any, where, typevars), list)
        if origin is tuple or origin is tuple:
            if len(args) == 2 and args[1] is Ellipsis:
                return _array(self.plan(args[0], where, typevars), tuple)
            if args == ((),) or args == ():
                return _fixed_tuple([], "tuple[()]") if args == ((),) else _array(_ANY_PLAN, tuple)
            return _fixed_tuple([self.plan(a, where, typevars) for a in args], repr(tp))
        if origin in _SET_ORIGINS:
            return _set(self.plan(args[0] if args else Any, where, typevars), _SET_ORIGINS[origin])
        if origin in _MAP_ORIGINS:
            k, v = args if args else (Any, Any)
            return _map(self.plan(k, where, typevars), self.plan(v, where, typevars))
        if tp in _SEQUENCE_ORIGINS:
            return _array(_ANY_PLAN, list)
        if tp is tuple:
            return _array(_ANY_PLAN, tuple)
        if tp in _SET_ORIGINS:
            return _set(_ANY_PLAN, _SET_ORIGINS[tp])
        if tp in _MAP_ORIGINS:
            return _map(_ANY_PLAN, _ANY_PLAN)
        cls = origin if isinstance(origin, type) else tp
        if isinstance(cls, type):
            if origin is not None:
                params = getattr(cls, "__parameters__", ())
                bound = dict(zip(params, args, strict=False))
                return self.cls(tp, cls, bound, where)
            if issubclass(cls, enum.Enum):
                return _enum(cls, where)
            if dataclasses.is_dataclass(cls) or _is_namedtuple(cls) or typing.is_typeddict(cls):
                return self.cls(tp, cls, {}, where)
        raise TypeError(f"{where}: kelvo cannot decode the type {_type_name(tp)}")

    def cls(self, tp: Any, cls: type, typevars: dict[Any, Any], where: str) -> _Plan:
        if not (dataclasses.is_dataclass(cls) or _is_namedtuple(cls) or typing.is_typeddict(cls)):
            raise TypeError(f"{where}: kelvo cannot decode the type {_type_name(tp)}")
        node = _Plan(None, (), _type_name(tp))
        options = _options_of(cls)
        if options.cbor_tag is not None:
            node.kinds = frozenset({("tag", options.cbor_tag)})
        else:
            node.kinds = frozenset(_ARRAY_KINDS if options.array else _MAP_KINDS)
        node.tag_field, node.tag_value = options.tag_field, options.tag
        self.pending[tp] = node
        try:
            _build_class(self, node, cls, typevars)
        finally:
            del self.pending[tp]
        if node.raw and id(node) in self.recursive:
            raise TypeError(f"{where}: kelvo cannot decode {_type_name(tp)}: a Raw field inside a recursive type")
        return node

    def union(self, members: list[_Plan], tp: Any, where: str) -> _Plan:
        flat: list[_Plan] = []
        for m in members:
            if m.kinds is None:
                return m  # Any, or Raw, which keep any item (None included)
            if m.raw:
                raise TypeError(f"{where}: kelvo cannot decode {_type_name(tp)}: a member with a Raw inside "
                                "cannot be in a union")
            flat.append(m)
        return _union(flat, tp, where)


def _late(node: _Plan) -> _Plan:
    """A plan that calls a class plan still being built (a recursive reference) through it."""
    proxy = _shaped(_Plan(lambda v: node.convert(v), node.kinds, node.name), "late", node)
    proxy.tag_field, proxy.tag_value = node.tag_field, node.tag_value
    return proxy


def _class_name(cls: type) -> str:
    return cls.__qualname__.rpartition("<locals>.")[2]


def _type_name(tp: Any) -> str:
    if isinstance(tp, type) and typing.get_origin(tp) is None:
        return _class_name(tp)
    return repr(tp).replace("typing.", "")


def _is_namedtuple(cls: type) -> bool:
    return issubclass(cls, tuple) and hasattr(cls, "_fields") and hasattr(cls, "_field_defaults")


def _annotate(index: Any, exc: _Invalid) -> _Invalid:
    exc.steps.append(index)
    return exc


def _array(item: _Plan, container: type) -> _Plan:
    name = f"{'list' if container is list else 'tuple'}[{item.name}]"
    kinds = (list, tuple)
    if item is _ANY_PLAN:
        def untyped(v: Any) -> Any:
            t = type(v)
            if t is container:
                return v
            if t in _ARRAY_KINDS:
                return container(v)
            raise _mismatch("array", v)
        return _Plan(untyped, kinds, name)
    one = item.convert

    def convert(v: Any) -> Any:
        if type(v) not in _ARRAY_KINDS:
            raise _mismatch("array", v)
        try:
            out = [one(x) for x in v]
        except _Invalid:
            _find_failure(one, enumerate(v))
            raise
        return out if container is list else tuple(out)

    def spanned(v: Any, data: bytes, pos: int, depth: int) -> tuple[Any, int]:
        if type(v) not in _ARRAY_KINDS:
            raise _mismatch("array", v)
        _, _, _, starts = _children(data, pos, depth)
        out = []
        for i, (x, start) in enumerate(zip(v, starts, strict=False)):
            try:
                out.append(_spanned_item(item, x, data, start, depth))
            except _Invalid as exc:
                raise _annotate(_Index(i), exc)
        return (out if container is list else tuple(out)), _item_end(data, pos, depth)

    plan = _Plan(convert, kinds, name, raw=item.raw, spanned=spanned if item.raw else None)
    return _shaped(plan, "list" if container is list else "tuple", item)


def _spanned_item(plan: _Plan, v: Any, data: bytes, pos: int, depth: int) -> Any:
    if plan.raw:
        return plan.spanned(v, data, pos, depth)[0]
    return plan.convert(v)


def _find_failure(one: Any, indexed: Any) -> None:
    """Runs an element converter again one element at a time, to name the failing index."""
    for i, x in indexed:
        try:
            one(x)
        except _Invalid as exc:
            raise _annotate(_Index(i), exc) from exc.__cause__


def _fixed_tuple(items: list[_Plan], name: str) -> _Plan:
    n = len(items)
    convs = [p.convert for p in items]
    raw = any(p.raw for p in items)

    def convert(v: Any) -> Any:
        if type(v) not in _ARRAY_KINDS:
            raise _mismatch("array", v)
        if len(v) != n:
            raise _Invalid(f"expected an array of {n} items, got {len(v)}")
        out = []
        for i in range(n):
            try:
                out.append(convs[i](v[i]))
            except _Invalid as exc:
                raise _annotate(_Index(i), exc)
        return tuple(out)

    def spanned(v: Any, data: bytes, pos: int, depth: int) -> tuple[Any, int]:
        if type(v) not in _ARRAY_KINDS:
            raise _mismatch("array", v)
        if len(v) != n:
            raise _Invalid(f"expected an array of {n} items, got {len(v)}")
        _, _, _, starts = _children(data, pos, depth)
        out = []
        for i in range(n):
            try:
                out.append(_spanned_item(items[i], v[i], data, starts[i], depth))
            except _Invalid as exc:
                raise _annotate(_Index(i), exc)
        return tuple(out), _item_end(data, pos, depth)

    return _Plan(convert, (list, tuple), name, raw=raw, spanned=spanned if raw else None)


def _set(item: _Plan, container: type) -> _Plan:
    if item.raw:
        raise TypeError("Raw cannot be a set member")
    one = item.convert

    def convert(v: Any) -> Any:
        t = type(v)
        if t is not set and t is not frozenset and t not in _ARRAY_KINDS:
            raise _mismatch("set or array", v)
        try:
            return container([one(x) for x in v])
        except _Invalid as exc:
            if t in _ARRAY_KINDS:
                _find_failure(one, enumerate(v))
            raise exc from exc.__cause__
        except TypeError as exc:
            raise _Invalid(f"expected hashable set members ({exc})") from None

    return _Plan(convert, (set, frozenset, list, tuple), f"{container.__name__}[{item.name}]")


def _untyped_map(v: Any) -> Any:
    t = type(v)
    if t is dict:
        return v
    if t is frozendict:
        return dict(v)
    raise _mismatch("map", v)


def _map(keys: _Plan, values: _Plan) -> _Plan:
    if keys.raw:
        raise TypeError("Raw cannot be a map key")
    kc, vc = keys.convert, values.convert
    name = f"dict[{keys.name}, {values.name}]"

    def convert(v: Any) -> Any:
        if type(v) not in _MAP_KINDS:
            raise _mismatch("map", v)
        out = {}
        for k, x in v.items():
            try:
                ck = kc(k)
            except _Invalid as exc:
                raise _annotate(k, exc)
            try:
                out[ck] = vc(x)
            except _Invalid as exc:
                raise _annotate(k, exc)
            except TypeError as exc:
                raise _annotate(k, _Invalid(f"expected a hashable key ({exc})")) from None
        return out

    if keys is _ANY_PLAN and values is _ANY_PLAN:
        convert = _untyped_map

    def spanned(v: Any, data: bytes, pos: int, depth: int) -> tuple[Any, int]:
        if type(v) not in _MAP_KINDS:
            raise _mismatch("map", v)
        _, _, _, starts = _children(data, pos, depth)
        out = {}
        for i in range(0, len(starts), 2):
            k = _loads(data[starts[i]:starts[i + 1]])
            try:
                if k not in v:
                    continue
                out[kc(k)] = _spanned_item(values, v[k], data, starts[i + 1], depth)
            except _Invalid as exc:
                raise _annotate(k, exc)
            except TypeError:
                continue
        return out, _item_end(data, pos, depth)

    plan = _Plan(convert, (dict, frozendict), name, raw=values.raw, spanned=spanned if values.raw else None)
    if convert is not _untyped_map:
        plan.shape = ("dict", keys, values)
    return plan


def _raw_spanned(v: Any, data: bytes, pos: int, depth: int) -> tuple[Any, int]:
    end = _item_end(data, pos, depth)
    return Raw(data[pos:end]), end


_RAW_PLAN = _shaped(_Plan(lambda v: _raw_convert(v), None, "Raw", raw=True, spanned=_raw_spanned), "raw", Raw)


def _literal(values: tuple[Any, ...], where: str) -> _Plan:
    table: dict[tuple[type, Any], Any] = {}
    for lit in values:
        if type(lit) not in (int, str, bool, bytes, _NoneType) and not isinstance(lit, enum.Enum):
            raise TypeError(f"{where}: kelvo cannot decode Literal[{lit!r}]: literals are ints, texts, bools "
                            "or None")
        if isinstance(lit, enum.Enum):
            table[(type(lit.value), lit.value)] = lit
        else:
            table[(type(lit), lit)] = lit
    name = " | ".join(repr(v) for v in values)

    def convert(v: Any) -> Any:
        try:
            return table[(type(v), v)]
        except (KeyError, TypeError):
            raise _Invalid(f"expected one of {name}, got {_show(v)}") from None

    return _Plan(convert, {t for t, _ in table}, f"Literal[{name}]")


def _show(v: Any) -> str:
    if type(v) in (int, str, bool, bytes, _NoneType):
        text = repr(v)
        return text if len(text) <= 40 else text[:37] + "..."
    return _found(v)


def _enum(cls: type[enum.Enum], where: str) -> _Plan:
    members = list(cls.__members__.values())
    kinds = {type(m.value) for m in members}
    if issubclass(cls, enum.Flag):
        kinds = {int}
    for t in kinds:
        if t not in (int, str, bytes, float, bool, _NoneType):
            raise TypeError(f"{where}: kelvo cannot decode the enum {_class_name(cls)}: its values are {t.__name__}")
    lookup = {(type(m.value), m.value): m for m in members}
    flag = issubclass(cls, enum.Flag)

    def convert(v: Any) -> Any:
        try:
            return lookup[(type(v), v)]
        except (KeyError, TypeError):
            pass
        if flag and type(v) is int:
            try:
                return cls(v)
            except ValueError:
                pass
        raise _Invalid(f"expected a value of {_class_name(cls)}, got {_show(v)}")

    return _Plan(convert, kinds, _class_name(cls))


def _kind_of(v: Any) -> Any:
    t = type(v)
    if t is CBORTag:
        return ("tag", v.tag)
    return t


def _union(members: list[_Plan], tp: Any, where: str) -> _Plan:
    claims: dict[Any, _Plan] = {}
    tagged: dict[Any, list[_Plan]] = {}
    for m in members:
        for k in m.kinds or ():
            other = claims.get(k)
            if other is None or other is m:
                claims[k] = m
                continue
            # Classes that carry a tag field may share the map kind: the field tells them apart.
            if k in _MAP_KINDS and m.tag_field is not None and m.tag_field == other.tag_field:
                group = tagged.setdefault(k, [other])
                if m not in group:
                    group.append(m)
                continue
            raise TypeError(f"{where}: the members {other.name} and {m.name} of {_type_name(tp)} could both "
                            f"take a {_KIND_NAMES.get(k, str(k))} item, so kelvo cannot tell them apart")
    for k, group in tagged.items():
        claims[k] = _tag_field_dispatch(group, tp, where)
    for m in members:
        for k in m.fallback:
            claims.setdefault(k, m)
    convs = {k: m.convert for k, m in claims.items()}
    name = " | ".join(m.name for m in members)
    raw = any(m.raw for m in members)

    def convert(v: Any) -> Any:
        one = convs.get(_kind_of(v))
        if one is None:
            raise _mismatch(name, v)
        return one(v)

    plan = _Plan(convert, claims.keys(), name, raw=raw)
    others = [m for m in members if m is not _NONE_PLAN]
    if len(members) == 2 and len(others) == 1 and not tagged:
        plan.shape = ("optional", others[0], plan.kinds)
    return plan


def _tag_field_dispatch(group: list[_Plan], tp: Any, where: str) -> _Plan:
    field = group[0].tag_field
    by_value: dict[Any, Any] = {}
    for m in group:
        value = m.tag_value
        if (type(value), value) in by_value:
            raise TypeError(f"{where}: two members of {_type_name(tp)} have the tag {value!r}")
        # Looked up at call time: a member may be a class plan still being built.
        by_value[(type(value), value)] = m

    def convert(v: Any) -> Any:
        found = v.get(field, _MISSING)
        if found is _MISSING:
            raise _Invalid(f"expected the tag field {field!r}")
        try:
            one = by_value[(type(found), found)]
        except (KeyError, TypeError):
            raise _annotate(field, _Invalid(f"expected one of the tags {sorted(repr(k[1]) for k in by_value)}, "
                                            f"got {_show(found)}")) from None
        return one.convert(v)

    plan = _Plan(convert, (dict, frozendict), " | ".join(m.name for m in group))
    plan.tag_field = field
    return plan


# ---------------------------------------------------------------------------------------------
# Classes


@dataclasses.dataclass(slots=True)
class _Field:
    name: str  # attribute name
    key: Any  # wire key
    plan: _Plan
    default: Any  # _MISSING when required
    factory: Any  # callable or _MISSING
    init: bool  # passed to the constructor


def _field_key(name: str, hint: Any, meta: Any, options: _ClassOptions) -> Any:
    for candidate in ([meta] if meta is not None else []) + list(getattr(hint, "__metadata__", ())):
        if isinstance(candidate, KeyOption):
            return candidate.key
    rename = options.rename
    if rename is None:
        return name
    if isinstance(rename, str):
        return _RENAMES[rename](name)
    if isinstance(rename, cabc.Mapping):
        return rename.get(name, name)
    new = rename(name)
    if type(new) is not str and type(new) is not int:
        raise TypeError(f"rename gave {new!r} for the field {name}: keys are texts or ints")
    return new


def _hints(cls: type, where: str) -> dict[str, Any]:
    try:
        return typing.get_type_hints(cls, include_extras=True)
    except Exception as exc:
        raise TypeError(f"{where}: the annotations of {_class_name(cls)} cannot be resolved ({exc})") from None


def _build_class(compiler: _Compiler, node: _Plan, cls: type, typevars: dict[Any, Any]) -> None:
    options = _options_of(cls)
    where = _class_name(cls)
    hints = _hints(cls, where)
    fields: list[_Field] = []
    if dataclasses.is_dataclass(cls):
        kind = "dataclass"
        for f in dataclasses.fields(cls):
            meta = f.metadata.get("kelvo") if f.metadata else None
            plan = compiler.plan(hints.get(f.name, Any), f"{where}.{f.name}", typevars)
            fields.append(_Field(f.name, _field_key(f.name, hints.get(f.name), meta, options), plan,
                                 _MISSING if f.default is dataclasses.MISSING else f.default,
                                 _MISSING if f.default_factory is dataclasses.MISSING else f.default_factory,
                                 f.init))
        for name, hint in hints.items():
            if isinstance(hint, dataclasses.InitVar) or hint is dataclasses.InitVar:
                default = getattr(cls, name, _MISSING)
                if default is _MISSING:
                    raise TypeError(f"{where}.{name}: kelvo cannot build {where}: the InitVar field {name} "
                                    "has no default")
    elif _is_namedtuple(cls):
        kind = "namedtuple"
        for name in cls._fields:  # type: ignore[attr-defined]
            plan = compiler.plan(hints.get(name, Any), f"{where}.{name}", typevars)
            fields.append(_Field(name, _field_key(name, hints.get(name), None, options), plan,
                                 cls._field_defaults.get(name, _MISSING), _MISSING, True))  # type: ignore[attr-defined]
    else:
        kind = "typeddict"
        required = cls.__required_keys__  # type: ignore[attr-defined]
        for name, hint in hints.items():
            plan = compiler.plan(hint, f"{where}.{name}", typevars)
            fields.append(_Field(name, _field_key(name, hint, None, options), plan,
                                 _MISSING if name in required else _ABSENT, _MISSING, True))
    keys = [f.key for f in fields]
    if len(set(map(repr, keys))) != len(keys):
        raise TypeError(f"{where}: two fields share one key")
    if options.tag_field is not None and options.tag_field in keys:
        raise TypeError(f"{where}: the tag field {options.tag_field!r} is also a field key")
    node.raw = any(f.plan.raw for f in fields)
    form = _array_form if options.array else _map_form
    convert = form(cls, kind, fields, options, where)
    if options.cbor_tag is not None:
        inner = convert
        number = options.cbor_tag

        def convert(v: Any) -> Any:
            if type(v) is not CBORTag or v.tag != number:
                raise _mismatch(f"tag {number}", v)
            try:
                return inner(v.value)
            except _Invalid as exc:
                raise _annotate(_CONTENT, exc)

    node.convert = convert
    if options.tag_field is None and options.cbor_tag is None:
        node.shape = _class_shape(cls, kind, fields, options)
    if node.raw:
        node.spanned = _class_spanned(form(cls, kind, fields, options, where), fields, options, where)


_ABSENT = object()  # a TypedDict key that may be left out


def _class_shape(cls: type, kind: str, fields: list[_Field], options: _ClassOptions) -> tuple[Any, ...]:
    rows = tuple((f.name, f.key, f.plan, _MISSING if f.default is _ABSENT else f.default, f.factory,
                  f.default is _MISSING and f.factory is _MISSING, f.init,
                  _member_of(cls, f.name) if kind == "dataclass" else None) for f in fields)
    if kind == "typeddict":
        build = "typeddict"
    elif kind == "namedtuple":
        build = "namedtuple"
    else:
        build = "direct" if _builds_directly(cls, fields) else "call"
    post_init = build == "direct" and hasattr(cls, "__post_init__")
    return ("class", cls, build, options.array, options.forbid_unknown, post_init, rows, _MISSING, _class_name(cls))


def _builds_directly(cls: type, fields: list[_Field]) -> bool:
    """Whether setting the fields in order (then calling __post_init__) makes the same object as
    the dataclass's own __init__: true for the __init__ that dataclasses generates, on a class
    with no __new__ or __setattr__ of its own, no InitVar and no field left out of __init__."""
    params = getattr(cls, "__dataclass_params__", None)
    init = cls.__dict__.get("__init__")
    code = getattr(init, "__code__", None)
    if params is None or not params.init or code is None or code.co_filename != "<string>":
        return False
    if getattr(init, "__qualname__", "") != f"{cls.__qualname__}.__init__":
        return False
    if cls.__new__ is not object.__new__ or not (params.frozen or cls.__setattr__ is object.__setattr__):
        return False
    if any(not f.init for f in fields):
        return False
    initvar = getattr(dataclasses, "_FIELD_INITVAR", None)
    if initvar is None or any(getattr(f, "_field_type", None) is initvar
                              for f in cls.__dataclass_fields__.values()):  # type: ignore[attr-defined]
        return False
    for f in fields:
        attr = inspect.getattr_static(cls, f.name, None)
        if hasattr(type(attr), "__set__") and type(attr).__name__ != "member_descriptor":
            return False
    return True


def _run_constructor(make: Any, args: Any, where: str) -> Any:
    try:
        return make(**args)
    except Exception as exc:
        raise _build_failure_message(where, exc) from exc


def _build_failure_message(where: str, exc: BaseException) -> _Invalid:
    return _Invalid(f"{where} could not be built: {type(exc).__name__}: {exc}")


def _build_failure(cls: type, exc: BaseException) -> _Invalid:
    """The failure for a class whose own code (its __init__, __post_init__ or a default
    factory) raised while the native walker built it."""
    failure = _build_failure_message(_class_name(cls), exc)
    failure.__cause__ = exc
    return failure


def _map_form(cls: type, kind: str, fields: list[_Field], options: _ClassOptions, where: str) -> Any:
    # (attribute name, key, converter, default, factory, passed to the constructor); a field with
    # a Raw inside has no converter: its value comes in `pre`, read from the encoded bytes.
    rows = [(f.name, f.key, None if f.plan.raw else f.plan.convert, f.default, f.factory, f.init)
            for f in fields]
    known = {f.key for f in fields}
    if options.tag_field is not None:
        known.add(options.tag_field)
    forbid = options.forbid_unknown
    typeddict = kind == "typeddict"
    tag_field, tag_value = options.tag_field, options.tag

    def convert(v: Any, pre: Any = None) -> Any:
        if type(v) not in _MAP_KINDS:
            raise _mismatch(f"map for {where}", v)
        args = {}
        seen = 0
        for name, k, one, default, factory, init in rows:
            x = v.get(k, _MISSING)
            if x is _MISSING:
                if default is _MISSING and factory is _MISSING:
                    raise _Invalid(f"missing required field {k!r} of {where}")
                continue
            seen += 1
            if not init:
                continue
            if one is None:
                args[name] = pre[name]
                continue
            try:
                args[name] = one(x)
            except _Invalid as exc:
                raise _annotate(k, exc)
        if tag_field is not None:
            found = v.get(tag_field, _MISSING)
            if found is not _MISSING:
                seen += 1
                if type(found) is not type(tag_value) or found != tag_value:
                    raise _annotate(tag_field, _Invalid(f"expected the tag {tag_value!r}, got {_show(found)}"))
        if forbid and seen != len(v):
            for k in v:
                if k not in known:
                    raise _annotate(k, _Invalid(f"unknown field {k!r} of {where}"))
        if typeddict:
            return args
        return _run_constructor(cls, args, where)

    return convert


def _array_form(cls: type, kind: str, fields: list[_Field], options: _ClassOptions, where: str) -> Any:
    rows = [(f.name, None if f.plan.raw else f.plan.convert, f.init) for f in fields]
    last_required = max((i + 1 for i, f in enumerate(fields) if f.default is _MISSING and f.factory is _MISSING),
                        default=0)
    n = len(rows)
    forbid = options.forbid_unknown
    typeddict = kind == "typeddict"

    def convert(v: Any, pre: Any = None) -> Any:
        if type(v) not in _ARRAY_KINDS:
            raise _mismatch(f"array for {where}", v)
        count = len(v)
        if count < last_required:
            raise _Invalid(f"expected at least {last_required} items for {where}, got {count}")
        if count > n and forbid:
            raise _annotate(_Index(n), _Invalid(f"expected at most {n} items for {where}, got {count}"))
        args = {}
        for i in range(min(count, n)):
            name, one, init = rows[i]
            if not init:
                continue
            if one is None:
                args[name] = pre[name]
                continue
            try:
                args[name] = one(v[i])
            except _Invalid as exc:
                raise _annotate(_Index(i), exc)
        if typeddict:
            return args
        return _run_constructor(cls, args, where)

    return convert


def _class_spanned(plain: Any, fields: list[_Field], options: _ClassOptions, where: str) -> Any:
    """The converter of a class with a Raw inside: the fields that hold one are read next to
    the decoded value from the encoded map or array, and handed to the plain converter."""
    number = options.cbor_tag
    by_key = {f.key: f for f in fields if f.plan.raw}
    by_index = [f if f.plan.raw else None for f in fields]

    def spanned(v: Any, data: bytes, pos: int, depth: int) -> tuple[Any, int]:
        end = _item_end(data, pos, depth)
        if number is not None:
            if type(v) is not CBORTag or v.tag != number:
                raise _mismatch(f"tag {number}", v)
            v = v.value
            pos = _children(data, pos, depth)[3][0]
        pre = {}
        if options.array:
            if type(v) not in _ARRAY_KINDS:
                raise _mismatch(f"array for {where}", v)
            starts = _children(data, pos, depth)[3]
            for i, f in enumerate(by_index[:len(v)]):
                if f is not None:
                    try:
                        pre[f.name] = _spanned_item(f.plan, v[i], data, starts[i], depth)
                    except _Invalid as exc:
                        raise _annotate(_Index(i), exc)
        else:
            if type(v) not in _MAP_KINDS:
                raise _mismatch(f"map for {where}", v)
            starts = _children(data, pos, depth)[3]
            for i in range(0, len(starts), 2):
                k = _loads(data[starts[i]:starts[i + 1]])
                f = by_key.get(k) if type(k) in (int, str) else None
                if f is not None:
                    try:
                        pre[f.name] = _spanned_item(f.plan, v[k], data, starts[i + 1], depth)
                    except _Invalid as exc:
                        raise _annotate(k, exc)
        try:
            return plain(v, pre), end
        except _Invalid as exc:
            if number is not None:
                raise _annotate(_CONTENT, exc)
            raise

    return spanned


def _raw_convert(v: Any) -> Any:
    raise _Invalid("a Raw value needs the encoded bytes")  # never reached: Raw plans are spanned


# ---------------------------------------------------------------------------------------------
# Entry points


def _compile(tp: Any) -> _Plan:
    try:
        cached = _plans.get(tp)
    except TypeError:
        # An annotation holding unhashable metadata: compiled for this use, not cached.
        with _lock:
            return _Compiler().plan(tp, _type_name(tp))
    if cached is not None:
        return cached
    with _lock:
        cached = _plans.get(tp)
        if cached is not None:
            return cached
        plan = _Compiler().plan(tp, _type_name(tp))
        _plans[tp] = plan  # published complete: readers never see a plan being built
        return plan


_DECODE_OPTIONS = frozenset({"tag_hook", "object_hook", "semantic_decoders", "str_errors", "max_depth",
                             "allow_indefinite", "allow_duplicate_keys", "strict_hashable_types",
                             "immutable"})


def _as_bytes(data: Any) -> bytes:
    if type(data) is bytes:
        return data
    if isinstance(data, Raw):
        return bytes(data)
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"a bytes-like object is required, not '{type(data).__qualname__}'") from None
    with view:
        if view.itemsize != 1 or view.format not in ("B", "b", "c", "=B", ">B", "@B", "=c", ">c", "@c"):
            raise TypeError(f"a bytes-like object is required, not '{type(data).__qualname__}'")
        return view.tobytes()


class Decoder(Generic[_T]):
    """A type compiled once, for decoding any number of items into it, from any threads at once.

    :param type: the type to decode into (see :func:`decode` for what is understood)
    :param decode_options: the keyword options of :func:`kelvo.loads`
    :raises TypeError: when the type, or a field inside it, is one kelvo cannot decode, or a
        union whose members could take the same item
    """

    __slots__ = ("_plan", "_options", "_depth", "_program", "type")

    def __init__(self, type: Any = Any, **decode_options: Any) -> None:
        unknown = set(decode_options) - _DECODE_OPTIONS
        if unknown:
            raise TypeError(f"Decoder() got an unexpected keyword argument {sorted(unknown)[0]!r}")
        self.type = type
        self._plan = _compile(type)
        self._options = decode_options
        self._depth = decode_options.get("max_depth", 400)
        self._program = None
        # The walker follows nesting on the C stack: beyond _NATIVE_DEPTH levels allowed,
        # the Python path (whose decoder does not recurse) decodes alone.
        if set(decode_options) <= {"max_depth"} and self._depth <= _NATIVE_DEPTH:
            self._program = _program_for(self._plan, self._depth)

    def decode(self, data: Any) -> Any:
        """Decode one CBOR item into the type; bytes after the item are refused.

        :param data: the encoded item (``bytes`` or any buffer of one-byte items)
        :return: the typed value
        :raises ValidationError: when the item does not fit the type
        :raises CBORDecodeError: when the data is not one well-formed item
        """
        data = _as_bytes(data)
        program = self._program
        if program is not None:
            try:
                return program.decode(data)
            except _Invalid as exc:
                if getattr(exc, "native_final", False):
                    self._native_failure(exc, data)
            except Exception:
                pass  # the Python path below decodes again, and names any fault
        value = _loads(data, **self._options) if self._options else _loads(data)
        end = _item_end(data, 0, self._depth + 1)
        if end != len(data):
            raise CBORDecodeError(f"{len(data) - end} bytes after the item (byte {end})")
        return self._convert(value, data, 0)

    def _native_failure(self, exc: _Invalid, data: bytes) -> None:
        """Reports a failure of the native walker after code of the user's classes ran there:
        decoding again would run that code a second time. The data's own faults come first,
        as on the Python path."""
        _loads(data)
        end = _item_end(data, 0, self._depth + 1)
        if end != len(data):
            raise CBORDecodeError(f"{len(data) - end} bytes after the item (byte {end})")
        inner = getattr(exc, "native_inner", 0)
        offset = _locate(data, exc.steps[:inner], self._depth + 1, getattr(exc, "native_base", 0))
        raise ValidationError(exc.message, _path_text(exc.steps), offset) from exc.__cause__

    def _convert(self, value: Any, data: bytes, base: int) -> Any:
        plan = self._plan
        try:
            if plan.raw:
                return plan.spanned(value, data, base, self._depth + 1)[0]
            return plan.convert(value)
        except _Invalid as exc:
            path = _path_text(exc.steps)
            offset = _locate(data, exc.steps, self._depth + 1, base)
            raise ValidationError(exc.message, path, offset) from exc.__cause__
        except RecursionError:
            raise ValidationError("the value is nested too deeply for its type") from None

    def decode_from(self, fp: IO[bytes]) -> Any:
        """Read one CBOR item from a binary file object and decode it into the type.

        The file is left just past the item when it is seekable; otherwise it is read to its end.

        :param fp: a readable binary file object
        :return: the typed value
        """
        if fp.seekable():
            start = fp.tell()
            rest = fp.read()
            end = _item_end(rest, 0, self._depth + 1)
            fp.seek(start + end)
            data = rest[:end]
        else:
            data = fp.read()
        return self.decode(data)


_NATIVE_DEPTH = 1000
_HOOKS = (_Invalid, _Index, _build_failure, _kind_of)


def _program_for(plan: _Plan, depth: int) -> Any:
    if depth != 400:
        return _native.compile(plan, depth, _HOOKS)
    program = plan.program
    if program is None:
        with _lock:
            program = plan.program
            if program is None:
                program = _native.compile(plan, depth, _HOOKS)
                plan.program = program
    return program


def decode(data: Any, type: Any = Any, **decode_options: Any) -> Any:
    """Decode one CBOR item into a typed value.

    :param data: the encoded item (``bytes`` or any buffer of one-byte items); bytes after the
        item are refused
    :param type: what to decode into: scalars, containers, unions, literals, enums, dataclasses,
        named tuples, TypedDicts and the types :func:`kelvo.loads` decodes from tags (the
        default, ``typing.Any``, gives what ``loads`` gives)
    :param decode_options: the keyword options of :func:`kelvo.loads`
    :return: the typed value
    :raises ValidationError: when the item does not fit the type, naming what was expected, what
        was found, the path and the byte offset
    :raises TypeError: when the type is one kelvo cannot decode
    """
    return Decoder(type, **decode_options).decode(data)


def decode_from(fp: IO[bytes], type: Any = Any, **decode_options: Any) -> Any:
    """Read one CBOR item from a binary file object and decode it into a typed value.

    :param fp: a readable binary file object
    :param type: what to decode into, as for :func:`decode`
    :param decode_options: the keyword options of :func:`kelvo.loads`
    :return: the typed value
    """
    return Decoder(type, **decode_options).decode_from(fp)


# ---------------------------------------------------------------------------------------------
# Encoding


def _writer_for(cls: type) -> Any:
    writer = _writers.get(cls)
    if writer is not None:
        return writer
    with _lock:
        writer = _writers.get(cls)
        if writer is None:
            writer = _make_writer(cls)
            _writers[cls] = writer
        return writer


def _make_writer(cls: type) -> Any:
    if issubclass(cls, Raw):
        return _write_raw
    if issubclass(cls, enum.Enum):
        return lambda encoder, value: encoder.encode(value.value)
    if not (dataclasses.is_dataclass(cls) or _is_namedtuple(cls)):
        return None
    options = _options_of(cls)
    hints = _hints(cls, _class_name(cls))
    if dataclasses.is_dataclass(cls):
        rows = []
        for f in dataclasses.fields(cls):
            meta = f.metadata.get("kelvo") if f.metadata else None
            if f.default is not dataclasses.MISSING:
                default = f.default
            elif f.default_factory is not dataclasses.MISSING:
                default = f.default_factory()
            else:
                default = _MISSING
            rows.append((f.name, _field_key(f.name, hints.get(f.name), meta, options), default))
    else:
        rows = [(name, _field_key(name, hints.get(name), None, options),
                 cls._field_defaults.get(name, _MISSING)) for name in cls._fields]  # type: ignore[attr-defined]
    stamped = {name for name, _, _ in rows if timestamp in getattr(hints.get(name), "__metadata__", ())}
    omit_defaults, omit_none = options.omit_defaults, options.omit_none
    tag_field, tag_value, number = options.tag_field, options.tag, options.cbor_tag
    if not (omit_defaults or omit_none or stamped or tag_field is not None or number is not None):
        # Written by the native hook from now on; this first value by the writer below.
        _plain_rows[cls] = (tuple(name for name, _, _ in rows), tuple(k for _, k, _ in rows), options.array,
                            tuple(_slot_descriptor(cls, name) for name, _, _ in rows),
                            tuple(_dumps(k) for _, k, _ in rows))

    def omitted(value: Any, default: Any) -> bool:
        if omit_none and value is None:
            return True
        return omit_defaults and default is not _MISSING and type(value) is type(default) and value == default

    if options.array:
        def body(obj: Any) -> Any:
            values = [getattr(obj, name) for name, _, _ in rows]
            if stamped:
                values = [_epoch(x) if row[0] in stamped else x for row, x in zip(rows, values, strict=False)]
            if omit_defaults or omit_none:
                # Only trailing fields can be left out of an array.
                while values and omitted(values[-1], rows[len(values) - 1][2]):
                    values.pop()
            if tag_field is not None:
                values.insert(0, tag_value)
            return values
    else:
        def body(obj: Any) -> Any:
            out = {} if tag_field is None else {tag_field: tag_value}
            for name, k, default in rows:
                value = getattr(obj, name)
                if (omit_defaults or omit_none) and omitted(value, default):
                    continue
                out[k] = _epoch(value) if name in stamped else value
            return out

    if number is not None:
        def write(encoder: Any, obj: Any) -> None:
            encoder.encode(CBORTag(number, body(obj)))
    else:
        def write(encoder: Any, obj: Any) -> None:
            encoder.encode(body(obj))
    return write


def _member_of(cls: type, name: str) -> Any:
    """The member descriptor that setting the attribute `name` of an instance goes through, or
    None: the native walker then sets a slotted field through it directly."""
    attr = inspect.getattr_static(cls, name, None)
    return attr if type(attr) is types.MemberDescriptorType else None


def _slot_descriptor(cls: type, name: str) -> Any:
    """The member descriptor through which a slotted field is read natively, or None."""
    attr = inspect.getattr_static(cls, name, None)
    if type(attr) is types.MemberDescriptorType and cls.__getattribute__ is object.__getattribute__:
        return attr
    return None


def _epoch(value: Any) -> Any:
    if type(value) is not datetime.datetime:
        return value
    if value.tzinfo is None:
        value = value.replace(tzinfo=datetime.UTC)
    seconds = value.timestamp()
    return int(seconds) if seconds.is_integer() and not value.microsecond else seconds


def _write_raw(encoder: Any, raw: Raw) -> None:
    data = bytes(raw)
    try:
        end = _item_end(data, 0, 100_000)
    except CBORDecodeError as exc:
        raise _kelvo.CBOREncodeValueError(f"a Raw value is not one well-formed CBOR item: {exc}") from None
    if end != len(data):
        raise _kelvo.CBOREncodeValueError(f"a Raw value holds {len(data) - end} bytes after its item")
    encoder.write(data)


_ENCODE_OPTIONS = frozenset({"datetime_as_timestamp", "timezone", "value_sharing", "encoders", "default",
                             "canonical", "date_as_datetime", "string_referencing", "indefinite_containers"})


class Encoder:
    """Reusable encoding options for :func:`encode`; one instance may serve any threads at once.

    :param encode_options: the keyword options of :func:`kelvo.dumps`; an ``encoders`` entry for
        a value's exact type comes first, then what ``dumps`` writes itself, then dataclasses,
        named tuples, enums and :class:`Raw`, then ``default``
    """

    __slots__ = ("_options", "_plain_options", "_flatten", "_shared", "_direct")

    def __init__(self, **encode_options: Any) -> None:
        unknown = set(encode_options) - _ENCODE_OPTIONS
        if unknown:
            raise TypeError(f"Encoder() got an unexpected keyword argument {sorted(unknown)[0]!r}")
        user_default = encode_options.get("default")
        if user_default is not None and not callable(user_default):
            raise TypeError("default must be callable")

        def typed_default(encoder: Any, value: Any) -> None:
            writer = _writer_for(type(value))
            if writer is not None:
                writer(encoder, value)
            elif user_default is not None:
                user_default(encoder, value)
            else:
                raise _kelvo.CBOREncodeError(f"cannot encode type {type(value)}")

        options = dict(encode_options)
        # Plain classes (see _make_writer) are written natively from _plain_rows; the rest
        # reach typed_default.
        options["default"] = functools.partial(_native.write_fields, _plain_rows, typed_default)
        self._options = options
        hooks = encode_options.get("encoders") is not None or user_default is not None
        # Without hooks of the caller's, a value that dumps writes all by itself is written by
        # dumps alone, and a value holding typed instances is first flattened into plain
        # containers (with value_sharing, one container for each instance, so that an instance
        # met twice is written once and referred to).
        self._plain_options = None if hooks else dict(encode_options)
        self._flatten = encode_options.get("encoders") is None
        self._shared = bool(encode_options.get("value_sharing"))
        # With no options at all, no item depends on another: instances of plain classes are
        # written natively, everything else by dumps alone.
        self._direct = not encode_options

    def encode(self, obj: Any) -> bytes:
        """Encode an object, typed values included.

        :param obj: the object to encode
        :return: its encoding
        """
        if self._plain_options is not None:
            try:
                return _dumps(obj, **self._plain_options)
            except _kelvo.CBOREncodeError as exc:
                if type(exc) is not _kelvo.CBOREncodeError or not str(exc).startswith("cannot encode type"):
                    raise
        if self._direct:
            out = _native.write_plain(obj, _plain_rows, _dumps, 400)
            if out is not None:
                return out
        if self._flatten:
            try:
                obj = _native.flatten(obj, _plain_rows, _not_plain, _classify, 400, self._shared)
            except RecursionError:
                pass  # written through the hook, which reports what dumps reports
        return _dumps(obj, **self._options)

    def encode_to(self, obj: Any, fp: IO[bytes]) -> None:
        """Encode an object to a binary file object.

        :param obj: the object to encode
        :param fp: a writable binary file object
        """
        fp.write(self.encode(obj))


_PLAIN_ENCODER = Encoder()


def encode(obj: Any, **encode_options: Any) -> bytes:
    """Encode an object as :func:`kelvo.dumps` does, and also dataclasses, named tuples, enums
    and :class:`Raw` values in their wire form (see :func:`cbor_class`).

    :param obj: the object to encode
    :param encode_options: the keyword options of :func:`kelvo.dumps`
    :return: its encoding
    """
    if not encode_options:
        return _PLAIN_ENCODER.encode(obj)
    return Encoder(**encode_options).encode(obj)


def encode_to(obj: Any, fp: IO[bytes], **encode_options: Any) -> None:
    """Encode an object, as :func:`encode` does, to a binary file object.

    :param obj: the object to encode
    :param fp: a writable binary file object
    :param encode_options: the keyword options of :func:`kelvo.dumps`
    """
    fp.write(encode(obj, **encode_options))



# The exception and the value type present themselves as members of the kelvo package (in
# messages, reprs and pickles), where they are used.
for _public in (ValidationError, Raw):
    _public.__module__ = "kelvo"
del _public
