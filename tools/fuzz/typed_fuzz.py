"""Typed fuzz target's Python side: random data decoded into types from the supported set.

The first byte of an input picks the type, the rest is the CBOR data. Each input is decoded
twice: by the native typed walker alone, and by the Python path alone. Wherever the walker
gives a value, the Python path must give the same one; the Python path may only fail with
CBORDecodeError (ValidationError included), and the full `Decoder.decode` must agree with it.
Also used by tests/test_typed.py on mutated seeds.
"""

import dataclasses
import datetime
import decimal
import enum
import math
import uuid
from typing import Annotated, Any, Literal, NamedTuple, NotRequired, Optional, TypedDict

import kelvo
from kelvo import CBORDecodeError, CBORTag, Raw


@dataclasses.dataclass(slots=True)
class Owner:
    name: str
    id: int
    tags: list[str] = dataclasses.field(default_factory=list)


@dataclasses.dataclass(frozen=True)
class Item:
    price: float
    owner: Owner | None = None
    when: datetime.datetime | None = None


@kelvo.cbor_class(array=True, forbid_unknown=True)
@dataclasses.dataclass
class Header:
    alg: int
    kid: bytes | None = None


@kelvo.cbor_class(rename="camel")
@dataclasses.dataclass
class Claims:
    iss: Annotated[str | None, kelvo.key(1)] = None
    exp: Annotated[int | None, kelvo.key(4)] = None
    user_name: str = ""


@kelvo.cbor_class(tag_field="t")
@dataclasses.dataclass
class Circle:
    r: float


@kelvo.cbor_class(tag_field="t")
@dataclasses.dataclass
class Square:
    side: float


@kelvo.cbor_class(cbor_tag=4001)
@dataclasses.dataclass
class Wrapped:
    v: int


@dataclasses.dataclass
class Node:
    value: int
    children: list["Node"] = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class WithRaw:
    kind: str
    body: Raw


class Movie(TypedDict):
    title: str
    year: NotRequired[int]


class Point(NamedTuple):
    x: int
    y: float = 0.0


class Color(enum.Enum):
    RED = "red"
    ONE = 1


TYPES = [
    Any, int, float, str, bytes, bool, None, list[int], tuple[int, str], tuple[float, ...], set[int],
    frozenset[str], dict[str, int], dict[int, list[str]], int | str, Optional[float], int | float,  # noqa: UP045
    list[int] | dict[str, int], Literal["a", 1, None], Color, datetime.datetime, datetime.date, uuid.UUID,
    decimal.Decimal, CBORTag, Raw, Owner, Item, list[Item], Header, Claims, list[Circle | Square],
    Wrapped | None, Node, WithRaw, Movie, list[Movie], Point, dict[str, Owner],
]

DECODERS = [kelvo.Decoder(t) for t in TYPES]


def _python_path(decoder):
    twin = kelvo.Decoder(decoder.type)
    twin._program = None
    return twin


PYTHON_DECODERS = [_python_path(d) for d in DECODERS]


def _same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    try:
        return kelvo.encode(a) == kelvo.encode(b)
    except kelvo.CBOREncodeError:
        return a == b


def typed_input(data):
    if not data:
        return
    index = data[0] % len(TYPES)
    payload = data[1:]
    decoder, python = DECODERS[index], PYTHON_DECODERS[index]
    try:
        expected, failure = python.decode(payload), None
    except CBORDecodeError as exc:
        expected, failure = None, exc
    program = decoder._program
    if program is not None:
        try:
            native = program.decode(payload)
        except Exception:
            pass  # the walker hands every fault to the Python path
        else:
            assert failure is None, f"{TYPES[index]}: the walker gave {native!r}, the Python path {failure!r}"
            assert _same(native, expected), f"{TYPES[index]}: the walker gave {native!r}, the Python path {expected!r}"
    try:
        full = decoder.decode(payload)
    except CBORDecodeError as exc:
        assert failure is not None, f"{TYPES[index]}: decode() failed ({exc!r}), the Python path gave {expected!r}"
        assert type(exc) is type(failure) and str(exc) == str(failure), (exc, failure)
    else:
        assert failure is None and _same(full, expected), (full, expected, failure)


def seeds():
    """(type index, value) pairs whose encodings seed the target."""
    values = [
        (0, {"a": [1, 2.5]}), (1, 7), (2, 1.5), (3, "x"), (4, b"y"), (5, True), (6, None), (7, [1, 2]),
        (8, (1, "a")), (9, (1.0, 2.0)), (10, {1, 2}), (11, frozenset({"a"})), (12, {"a": 1}), (13, {1: ["a"]}),
        (14, "s"), (15, 2.5), (16, 3), (17, {"k": 1}), (18, "a"), (19, Color.RED),
        (20, datetime.datetime(2020, 1, 1, tzinfo=datetime.UTC)),
        (21, datetime.date(2020, 1, 2)), (22, uuid.UUID(int=7)), (23, decimal.Decimal("1.5")), (24, CBORTag(99, 1)),
        (25, [1, {"a": 2}]), (26, Owner("a", 1, ["t"])), (27, Item(1.5, Owner("b", 2))), (28, [Item(2.0)]),
        (29, Header(-7, b"k")), (30, Claims("me", 5, "u")), (31, [Circle(1.0), Square(2.0)]), (32, Wrapped(3)),
        (33, Node(1, [Node(2)])), (34, {"kind": "k", "body": [1, 2]}), (35, {"title": "t", "year": 2000}),
        (36, [{"title": "u"}]), (37, Point(1, 2.0)), (38, {"o": Owner("c", 3)}),
    ]
    return [bytes([i]) + kelvo.encode(v) for i, v in values]
