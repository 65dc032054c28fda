"""Typed decoding and encoding: kelvo.decode / Decoder / encode / Encoder and the class options."""

import dataclasses
import datetime
import decimal
import enum
import fractions
import io
import ipaddress
import random
import threading
import typing
import uuid
from typing import Annotated, Any, Generic, Literal, NamedTuple, NewType, Optional, TypeVar, TypedDict

import pytest

import kelvo
from kelvo import CBORSimpleValue, CBORTag, Raw, ValidationError


@dataclasses.dataclass(slots=True)
class Owner:
    name: str
    id: int


@dataclasses.dataclass(frozen=True)
class Item:
    price: float
    owner: Owner | None = None


@dataclasses.dataclass
class Order:
    items: list[Item]
    tags: frozenset[str] = frozenset()


class Point(NamedTuple):
    x: int
    y: int = 0


class Movie(TypedDict, total=False):
    title: typing.Required[str]
    year: int


class Color(enum.Enum):
    RED = "red"
    BLUE = "blue"


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 2


class Perm(enum.IntFlag):
    R = 4
    W = 2


T = TypeVar("T")


@dataclasses.dataclass
class Page(Generic[T]):
    items: list[T]
    next: str | None = None


@dataclasses.dataclass
class Node:
    value: int
    children: list["Node"] = dataclasses.field(default_factory=list)


UserId = NewType("UserId", int)
UUID1 = uuid.UUID("12345678-1234-5678-1234-567812345678")


def h(text):
    return bytes.fromhex(text.replace(" ", ""))


# (type, CBOR hex, expected value)
VALID = [
    pytest.param(int, "1903e8", 1000, id="int"),
    pytest.param(int, "c249010000000000000000", 2 ** 64, id="int-bignum"),
    pytest.param(bool, "f5", True, id="bool"),
    pytest.param(float, "f93e00", 1.5, id="float"),
    pytest.param(float, "02", 2.0, id="float-from-int"),
    pytest.param(str, "6161", "a", id="str"),
    pytest.param(bytes, "4101", b"\x01", id="bytes"),
    pytest.param(bytearray, "4101", bytearray(b"\x01"), id="bytearray"),
    pytest.param(None, "f6", None, id="none"),
    pytest.param(Any, "a1616101", {"a": 1}, id="any"),
    pytest.param(object, "8101", [1], id="object"),
    pytest.param(list[int], "820102", [1, 2], id="list"),
    pytest.param(typing.Sequence[int], "820102", [1, 2], id="abc-sequence"),
    pytest.param(tuple[int, ...], "820102", (1, 2), id="tuple-var"),
    pytest.param(tuple[int, str], "82016161", (1, "a"), id="tuple-fixed"),
    pytest.param(set[int], "d9010282 0102", {1, 2}, id="set-tag258"),
    pytest.param(frozenset[int], "820102", frozenset({1, 2}), id="frozenset-array"),
    pytest.param(dict[str, int], "a1616101", {"a": 1}, id="dict"),
    pytest.param(typing.Mapping[int, list[str]], "a1018161 61", {1: ["a"]}, id="abc-mapping"),
    pytest.param(Optional[int], "f6", None, id="optional-none"),  # noqa: UP045 (the typing form itself)
    pytest.param(int | None, "05", 5, id="optional-int"),
    pytest.param(int | str, "6161", "a", id="union-kind"),
    pytest.param(int | float, "01", 1, id="int-or-float-int"),
    pytest.param(int | float, "f93e00", 1.5, id="int-or-float-float"),
    pytest.param(list[int] | dict[str, int], "a1616101", {"a": 1}, id="union-containers"),
    pytest.param(Literal["a", 1, True, None], "f5", True, id="literal-bool"),
    pytest.param(Literal["a", 1, True, None], "01", 1, id="literal-int"),
    pytest.param(Color, "63726564", Color.RED, id="enum"),
    pytest.param(Level, "02", Level.HIGH, id="intenum"),
    pytest.param(Perm, "06", Perm.R | Perm.W, id="intflag"),
    pytest.param(datetime.datetime, "c074323031332d30332d32315432303a30343a30305a",
                 datetime.datetime(2013, 3, 21, 20, 4, tzinfo=datetime.UTC), id="datetime-tag0"),
    pytest.param(datetime.datetime, "74323031332d30332d32315432303a30343a30305a",
                 datetime.datetime(2013, 3, 21, 20, 4, tzinfo=datetime.UTC), id="datetime-text"),
    pytest.param(datetime.datetime, "1a514b67b0",
                 datetime.datetime(2013, 3, 21, 20, 4, tzinfo=datetime.UTC), id="datetime-epoch"),
    pytest.param(datetime.date, "6a323031332d30332d3231", datetime.date(2013, 3, 21), id="date-text"),
    pytest.param(uuid.UUID, "d8255012345678123456781234567812345678", UUID1, id="uuid-tag"),
    pytest.param(uuid.UUID, "5012345678123456781234567812345678", UUID1, id="uuid-bytes"),
    pytest.param(decimal.Decimal, "c4822119 6ab3", decimal.Decimal("273.15"), id="decimal"),
    pytest.param(fractions.Fraction, "d81e820103", fractions.Fraction(1, 3), id="fraction"),
    pytest.param(ipaddress.IPv4Address, "d83444c0a80001", ipaddress.IPv4Address("192.168.0.1"), id="ipv4"),
    pytest.param(CBORTag, "d9270f01", CBORTag(9999, 1), id="cbortag"),
    pytest.param(CBORSimpleValue, "f0", CBORSimpleValue(16), id="simple"),
    pytest.param(Raw, "8201a0", Raw(h("8201a0")), id="raw"),
    pytest.param(UserId, "07", 7, id="newtype"),
    pytest.param(Annotated[int, "unknown metadata"], "07", 7, id="annotated"),
    pytest.param(Annotated[list[int], {"unhashable": []}], "8107", [7], id="annotated-unhashable"),
    pytest.param(Point, "820102", Point(1, 2), id="namedtuple"),
    pytest.param(Point, "8101", Point(1), id="namedtuple-default"),
    pytest.param(Movie, "a2657469746c65614164796561721907d0", {"title": "A", "year": 2000}, id="typeddict"),
    pytest.param(Movie, "a2657469746c656141617801", {"title": "A"}, id="typeddict-unknown-skipped"),
    pytest.param(Owner, "a2646e616d65616162696401", Owner("a", 1), id="dataclass"),
    pytest.param(Page[Owner], "a1656974656d7381a2646e616d65616162696401", Page([Owner("a", 1)]), id="generic"),
    pytest.param(Node, "a26576616c75650168636869 6c6472656e81a16576616c756502", Node(1, [Node(2)]),
                 id="recursive"),
]


@pytest.mark.parametrize("tp, hexdata, expected", VALID)
def test_decodes(tp, hexdata, expected):
    value = kelvo.decode(h(hexdata), type=tp)
    assert value == expected
    assert type(value) is type(expected)


# (type, CBOR hex, message, path, offset)
INVALID = [
    pytest.param(int, "f5", "expected int, got bool", "$", 0, id="bool-is-not-int"),
    pytest.param(int, "6161", "expected int, got text string", "$", 0, id="int-text"),
    pytest.param(bool, "01", "expected bool, got int", "$", 0, id="bool-int"),
    pytest.param(str, "4161", "expected str, got byte string", "$", 0, id="str-bytes"),
    pytest.param(list[int], "83010261 61", "expected int, got text string", "$[2]", 3, id="list-item"),
    pytest.param(tuple[int, str], "820101", "expected str, got int", "$[1]", 2, id="tuple-item"),
    pytest.param(tuple[int, str], "8101", "expected an array of 2 items, got 1", "$", 0, id="tuple-length"),
    pytest.param(dict[str, int], "a2616101616261 78", "expected int, got text string", "$.b", 6, id="dict-value"),
    pytest.param(dict[str, int], "a10101", "expected str, got int", "$[1]", 2, id="dict-key"),
    pytest.param(int | str, "f6", "expected int | str, got null", "$", 0, id="union"),
    pytest.param(Literal["a", "b"], "6163", "expected one of 'a' | 'b', got 'c'", "$", 0, id="literal"),
    pytest.param(Literal[1], "f5", "expected one of 1, got True", "$", 0, id="literal-bool-not-int"),
    pytest.param(Color, "6467726579", "expected a value of Color, got 'grey'", "$", 0, id="enum"),
    pytest.param(uuid.UUID, "4101", "expected UUID, got a byte string of 1 bytes", "$", 0, id="uuid-length"),
    pytest.param(datetime.datetime, "63616263", "expected an RFC 3339 date and time, got 'abc'", "$", 0,
                 id="datetime-text"),
    pytest.param(set[int], "d9010282 0161 61", "expected int, got text string", "$", 0, id="set-member"),
    pytest.param(Owner, "a1646e616d656161", "missing required field 'id' of Owner", "$", 0, id="missing-field"),
    pytest.param(Owner, "80", "expected map for Owner, got array", "$", 0, id="class-kind"),
    pytest.param(Order, "a1656974656d7382a16570726963650 1a1657072696365 6178",
                 "expected float, got text string", "$.items[1].price", 23, id="nested-path"),
    pytest.param(Movie, "a1647965617201", "missing required field 'title' of Movie", "$", 0,
                 id="typeddict-required"),
    pytest.param(Point, "80", "expected at least 1 items for Point, got 0", "$", 0, id="namedtuple-short"),
    pytest.param(Node, "a26576616c75650168636869 6c6472656e81a16576616c7565f4", "expected int, got bool",
                 "$.children[0].value", 25, id="recursive-path"),
]


@pytest.mark.parametrize("tp, hexdata, message, path, offset", INVALID)
def test_refuses(tp, hexdata, message, path, offset):
    with pytest.raises(ValidationError) as info:
        kelvo.decode(h(hexdata), type=tp)
    err = info.value
    assert (err.path, err.offset) == (path, offset)
    assert str(err) == f"{message} at {path} (byte {offset})"
    assert isinstance(err, kelvo.CBORDecodeError)


def test_validation_errors_pickle():
    import pickle

    with pytest.raises(ValidationError) as info:
        kelvo.decode(h("820161 61"), type=list[int])
    back = pickle.loads(pickle.dumps(info.value))
    assert (str(back), back.path, back.offset) == (str(info.value), "$[1]", 2)


def test_the_default_type_gives_what_loads_gives():
    data = kelvo.dumps({"a": [1, 2.5, None, {"b": b"x"}], 1: CBORTag(99, "z")})
    assert kelvo.decode(data) == kelvo.loads(data)


@pytest.mark.parametrize("data, error", [
    pytest.param(b"\x01\x02", "1 bytes after the item (byte 1)", id="trailing"),
    pytest.param(b"\x82\x01", None, id="truncated"),
    pytest.param(b"\x1c", None, id="malformed"),
])
def test_malformed_input_is_a_decode_error(data, error):
    with pytest.raises(kelvo.CBORDecodeError) as info:
        kelvo.decode(data, type=Any)
    assert not isinstance(info.value, ValidationError)
    if error:
        assert str(info.value) == error


@pytest.mark.parametrize("tp, fragment", [
    pytest.param(datetime.datetime | str, "datetime and str", id="datetime-or-str"),
    pytest.param(Owner | Item, "Owner and Item", id="two-dataclasses"),
    pytest.param(list[int] | set[int], "could both take", id="list-or-set"),
    pytest.param(complex, "cannot decode the type complex", id="unsupported"),
    pytest.param(list[complex], "cannot decode the type complex", id="unsupported-inside"),
])
def test_types_refused_when_the_decoder_is_made(tp, fragment):
    with pytest.raises(TypeError, match=fragment):
        kelvo.Decoder(tp)


def test_an_unsupported_field_is_named():
    @dataclasses.dataclass
    class Holder:
        ok: int
        bad: complex

    with pytest.raises(TypeError, match=r"Holder\.bad: kelvo cannot decode the type complex"):
        kelvo.Decoder(list[Holder])


def test_post_init_failure_becomes_a_validation_error_with_cause():
    @dataclasses.dataclass
    class Positive:
        n: int

        def __post_init__(self):
            if self.n <= 0:
                raise ValueError("n must be positive")

    assert kelvo.decode(kelvo.dumps([{"n": 1}]), type=list[Positive]) == [Positive(1)]
    with pytest.raises(ValidationError) as info:
        kelvo.decode(kelvo.dumps([{"n": 1}, {"n": -1}]), type=list[Positive])
    assert info.value.path == "$[1]"
    assert isinstance(info.value.__cause__, ValueError)


def test_dataclass_field_kinds():
    @dataclasses.dataclass(kw_only=True)
    class Account:
        name: str
        scopes: list[str] = dataclasses.field(default_factory=list)
        seed: dataclasses.InitVar[int] = 0
        derived: int = dataclasses.field(init=False, default=0)

        def __post_init__(self, seed):
            self.derived = seed + len(self.name)

    value = kelvo.decode(kelvo.dumps({"name": "ab", "derived": 99}), type=Account)
    assert (value.name, value.scopes, value.derived) == ("ab", [], 2)
    assert kelvo.loads(kelvo.encode(value)) == {"name": "ab", "scopes": [], "derived": 2}


# ---------------------------------------------------------------------------------------------
# Wire forms


CWT = h("a70175636f61703a2f2f61732e6578616d706c652e636f6d02656572696b77037818636f61703a2f2f6c696768742e6578"
        "616d706c652e636f6d041a5612aeb0051a5610d9f0061a5610d9f007420b71")


@kelvo.cbor_class(omit_none=True)
@dataclasses.dataclass
class Claims:
    iss: Annotated[str | None, kelvo.key(1)] = None
    sub: Annotated[str | None, kelvo.key(2)] = None
    aud: Annotated[str | None, kelvo.key(3)] = None
    exp: Annotated[datetime.datetime | None, kelvo.key(4), kelvo.timestamp] = None
    nbf: Annotated[int | None, kelvo.key(5)] = None
    iat: Annotated[int | None, kelvo.key(6)] = None
    cti: Annotated[bytes | None, kelvo.key(7)] = None


def test_rfc8392_cwt_claims_both_ways():
    claims = kelvo.decode(CWT, type=Claims)
    assert claims == Claims(iss="coap://as.example.com", sub="erikw", aud="coap://light.example.com",
                            exp=datetime.datetime(2015, 10, 5, 17, 9, 4, tzinfo=datetime.UTC),
                            nbf=1443944944, iat=1443944944, cti=b"\x0b\x71")
    assert kelvo.encode(claims) == CWT
    assert kelvo.encode(Claims(iss="x")) == h("a1016178")
    with pytest.raises(ValidationError) as info:
        kelvo.decode(CWT.replace(h("07420b71"), h("07f5")), type=Claims)
    assert (info.value.path, info.value.offset) == ("$[7]", 77)


def test_rename_rules_and_explicit_keys():
    @kelvo.cbor_class(rename="camel")
    @dataclasses.dataclass
    class Profile:
        user_name: str
        display_name: Annotated[str, kelvo.key("shown")] = ""
        home_url: str = dataclasses.field(default="", metadata={"kelvo": kelvo.key(9)})

    value = Profile("a", "b", "c")
    assert kelvo.loads(kelvo.encode(value)) == {"userName": "a", "shown": "b", 9: "c"}
    assert kelvo.decode(kelvo.encode(value), type=Profile) == value


def test_array_form_with_missing_trailing_optionals():
    @kelvo.cbor_class(array=True, omit_defaults=True)
    @dataclasses.dataclass
    class Header:
        alg: int
        kid: bytes | None = None
        crit: list[int] = dataclasses.field(default_factory=list)

    assert kelvo.encode(Header(-7)) == h("8126")
    assert kelvo.encode(Header(-7, b"k")) == h("8226416b")
    assert kelvo.decode(h("8126"), type=Header) == Header(-7)
    assert kelvo.decode(h("83264081 01"), type=Header) == Header(-7, b"", [1])
    with pytest.raises(ValidationError, match="expected at least 1 items for Header, got 0"):
        kelvo.decode(h("80"), type=Header)


def test_unknown_fields_refused_where_asked():
    @kelvo.cbor_class(forbid_unknown=True)
    @dataclasses.dataclass
    class Strict:
        a: int = 0

    assert kelvo.decode(kelvo.dumps({"a": 1}), type=Strict) == Strict(1)
    with pytest.raises(ValidationError) as info:
        kelvo.decode(kelvo.dumps({"a": 1, "zz": 2}), type=Strict)
    assert info.value.path == "$.zz" and "unknown field 'zz'" in str(info.value)


@kelvo.cbor_class(tag_field="type", tag="circle")
@dataclasses.dataclass
class Circle:
    r: float


@kelvo.cbor_class(tag_field="type")
@dataclasses.dataclass
class Square:
    side: float


@kelvo.cbor_class(cbor_tag=40001)
@dataclasses.dataclass
class Celsius:
    degrees: float


@kelvo.cbor_class(cbor_tag=40002)
@dataclasses.dataclass
class Kelvin:
    degrees: float


def test_union_told_apart_by_a_tag_field():
    shapes = [Circle(1.5), Square(2.0)]
    data = kelvo.encode(shapes)
    assert kelvo.loads(data) == [{"type": "circle", "r": 1.5}, {"type": "Square", "side": 2.0}]
    assert kelvo.decode(data, type=list[Circle | Square]) == shapes
    with pytest.raises(ValidationError) as info:
        kelvo.decode(kelvo.dumps([{"type": "hexagon"}]), type=list[Circle | Square])
    assert info.value.path == "$[0].type" and "'hexagon'" in str(info.value)


def test_union_told_apart_by_a_cbor_tag():
    values = [Celsius(20.0), Kelvin(293.15)]
    data = kelvo.encode(values)
    assert kelvo.loads(data) == [CBORTag(40001, {"degrees": 20.0}), CBORTag(40002, {"degrees": 293.15})]
    assert kelvo.decode(data, type=list[Celsius | Kelvin | None]) == values
    with pytest.raises(ValidationError) as info:
        kelvo.decode(kelvo.dumps([CBORTag(40002, {"degrees": "hot"})]), type=list[Celsius | Kelvin])
    assert (info.value.path, info.value.offset) == ("$[0].degrees", 13)


def test_raw_fields_keep_their_bytes():
    @dataclasses.dataclass
    class Envelope:
        kind: str
        body: Raw
        extra: list[Raw] = dataclasses.field(default_factory=list)

    body = kelvo.dumps({"deep": [1, 2, {"x": b"y"}]})
    data = kelvo.dumps({"kind": "k", "body": kelvo.loads(body), "extra": [1, "two"]})
    env = kelvo.decode(data, type=Envelope)
    assert env.body == Raw(body) and bytes(env.extra[1]) == kelvo.dumps("two")
    assert kelvo.encode(env) == data
    assert kelvo.decode(memoryview(env.body), type=dict[str, list[Any]]) == {"deep": [1, 2, {"x": b"y"}]}
    with pytest.raises(kelvo.CBOREncodeValueError):
        kelvo.encode(Raw(b"\x82\x01"))


# ---------------------------------------------------------------------------------------------
# Encoding


@pytest.mark.parametrize("value", [
    pytest.param({"a": [1, 2.5, None, b"x", "y"], 3: (True, -1)}, id="containers"),
    pytest.param(datetime.datetime(2020, 1, 1, tzinfo=datetime.UTC), id="datetime"),
    pytest.param({decimal.Decimal("1.5"), fractions.Fraction(1, 3)}, id="numbers"),
    pytest.param(Level.HIGH, id="intenum-is-int"),
])
def test_encode_writes_what_dumps_writes(value):
    assert kelvo.encode(value) == kelvo.dumps(value)
    assert kelvo.encode(value, canonical=True) == kelvo.dumps(value, canonical=True)


def test_encode_hook_precedence():
    calls = []

    def default(encoder, value):
        calls.append(value)
        encoder.encode("fallback")

    custom = {Owner: lambda encoder, value: encoder.encode("custom")}
    assert kelvo.loads(kelvo.encode([Owner("a", 1), object()], encoders=custom, default=default)) == \
        ["custom", "fallback"]
    assert kelvo.loads(kelvo.encode(Owner("a", 1), default=default)) == {"name": "a", "id": 1}
    assert len(calls) == 1
    with pytest.raises(kelvo.CBOREncodeError, match="cannot encode type"):
        kelvo.encode(object())


def test_encode_to_and_decode_from_files():
    fp = io.BytesIO()
    kelvo.encode_to(Order([Item(1.0)]), fp)
    kelvo.Encoder(canonical=True).encode_to(Point(1, 2), fp)
    fp.seek(0)
    assert kelvo.decode_from(fp, type=Order) == Order([Item(1.0)])
    assert kelvo.Decoder(Point).decode_from(fp) == Point(1, 2)
    assert fp.read() == b""


def _random_item(rng, depth=0):
    return Item(price=rng.choice([0.5, -2.25, 1e300]),
                owner=None if rng.random() < 0.3 else Owner(rng.choice(["", "ü", "x" * 30]),
                                                            rng.randrange(-2**70, 2**70)))


def test_round_trips_of_generated_values():
    rng = random.Random(19)
    decoder = kelvo.Decoder(list[Order])
    for _ in range(50):
        orders = [Order([_random_item(rng) for _ in range(rng.randrange(4))],
                        frozenset(rng.sample(["a", "b", "c"], rng.randrange(3)))) for _ in range(rng.randrange(4))]
        assert decoder.decode(kelvo.encode(orders)) == orders
    tree = Node(0, [Node(i, [Node(j) for j in range(i)]) for i in range(4)])
    assert kelvo.decode(kelvo.encode(tree), type=Node) == tree


def test_deep_recursive_values_stay_bounded():
    data = b"\xa2\x65value\x01\x68children\x81" * 300 + b"\xa1\x65value\x01"
    data = data.replace(b"\xa2", b"\xa2", 1)
    with pytest.raises(kelvo.CBORDecodeError):
        kelvo.decode(data, type=Node)


# Used by the thread test only, so that their plans are first built there.
@dataclasses.dataclass
class Leaf:
    n: int
    when: datetime.date | None = None


@dataclasses.dataclass
class Tree:
    leaves: list[Leaf]
    kids: list["Tree"] = dataclasses.field(default_factory=list)


def test_threads_share_one_cold_plan_cache():
    value = Tree([Leaf(1), Leaf(2, datetime.date(2020, 1, 2))], [Tree([Leaf(3)])])
    data = kelvo.encode(value)
    barrier = threading.Barrier(8)
    results, errors = [], []

    def work():
        try:
            barrier.wait()
            decoder = kelvo.Decoder(Tree)
            for _ in range(50):
                results.append(decoder.decode(data) == value and kelvo.encode(value) == data)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and len(results) == 400 and all(results)


@dataclasses.dataclass(frozen=True)
class Tagged:
    label: str


@dataclasses.dataclass
class Holder:
    inner: Any


def test_typed_values_inside_plain_containers():
    value = {"list": [Tagged("a"), 1], "tuple": (Tagged("b"),), "point": Point(1, Tagged("c")),
             "set": {Tagged("d")}, "key": {Tagged("e"): 1}, "enum": [Color.RED], "nested": Holder([Holder(2)])}
    decoded = kelvo.loads(kelvo.encode(value))
    assert decoded == {"list": [{"label": "a"}, 1], "tuple": [{"label": "b"}], "point": [1, {"label": "c"}],
                       "set": {kelvo.frozendict({"label": "d"})}, "key": {kelvo.frozendict({"label": "e"}): 1},
                       "enum": ["red"], "nested": {"inner": [{"inner": 2}]}}


def test_shared_and_cyclic_instances():
    shared = Tagged("s")
    first, second = kelvo.loads(kelvo.encode([shared, shared], value_sharing=True))
    assert first == {"label": "s"} and first is second
    loop = Holder(None)
    loop.inner = [loop]
    with pytest.raises(kelvo.CBOREncodeValueError, match="cyclic"):
        kelvo.encode(loop)
    back = kelvo.loads(kelvo.encode(loop, value_sharing=True))
    assert back["inner"][0] is back


def _typed_fuzz():
    import importlib
    import pathlib
    import sys

    folder = str(pathlib.Path(__file__).resolve().parent.parent / "tools" / "fuzz")
    if folder not in sys.path:
        sys.path.insert(0, folder)
    return importlib.import_module("typed_fuzz")


def test_native_walker_agrees_with_the_python_path_on_mutated_data():
    fuzz = _typed_fuzz()
    rng = random.Random(1919)
    seeds = fuzz.seeds()
    for seed in seeds:
        fuzz.typed_input(seed)
    for _ in range(4000):
        data = bytearray(rng.choice(seeds))
        for _ in range(rng.randrange(1, 4)):
            pos = rng.randrange(len(data))
            action = rng.randrange(4)
            if action == 0:
                data[pos] = rng.randrange(256)
            elif action == 1 and len(data) > 2:
                del data[pos]
            elif action == 2:
                data.insert(pos, rng.choice((0x00, 0x18, 0x40, 0x60, 0x80, 0xA0, 0xC0, 0xF6, 0xF9, 0xFF)))
            else:
                data[0] = rng.randrange(len(fuzz.TYPES))
        fuzz.typed_input(bytes(data))


def _plain(value):
    """What encode writes for a value, spelled with the containers dumps knows."""
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {f.name: _plain(getattr(value, f.name)) for f in dataclasses.fields(value)}
    if type(value) is list:
        return [_plain(v) for v in value]
    if isinstance(value, tuple):
        return tuple(_plain(v) for v in value)
    if type(value) is dict:
        return {k: _plain(v) for k, v in value.items()}
    if isinstance(value, Color):
        return value.value
    return value


def _random_value(rng, depth=0):
    leaves = [lambda: rng.choice([0, 23, 24, 255, 256, 65536, 2**32, 2**63, 2**64, 2**70, -1, -25, -2**63 - 1,
                                  -2**64 - 1]),
              lambda: rng.choice([0.0, -0.0, 1.5, float("nan"), float("inf"), float("-inf"), 1e300]),
              lambda: rng.choice(["", "a", "ü" * 30, "\u20ac", "x" * 300]), lambda: rng.choice([True, False, None]),
              lambda: rng.choice([b"", b"\x00" * 30, datetime.date(2020, 1, 2), decimal.Decimal("1.5"), UUID1,
                                  Color.RED])]
    if depth > 3 or rng.random() < 0.4:
        return rng.choice(leaves)()
    kind = rng.randrange(6)
    if kind == 0:
        return [_random_value(rng, depth + 1) for _ in range(rng.randrange(4))]
    if kind == 1:
        return tuple(_random_value(rng, depth + 1) for _ in range(rng.randrange(3)))
    if kind == 2:
        return {rng.choice(["k", 1, -3, "ключ"]): _random_value(rng, depth + 1) for _ in range(rng.randrange(3))}
    if kind == 3:
        return Holder(_random_value(rng, depth + 1))
    if kind == 4:
        return Point(rng.randrange(-5, 5), _random_value(rng, depth + 1))
    return [Owner(rng.choice(["a", "é"]), rng.randrange(10)) for _ in range(rng.randrange(30))]


def test_encode_writes_instances_as_dumps_writes_their_fields():
    rng = random.Random(8949)
    for _ in range(400):
        value = _random_value(rng)
        assert kelvo.encode(value) == kelvo.dumps(_plain(value)), value


@dataclasses.dataclass
class RawTree:
    body: Raw
    kids: list["RawTree"]


def test_raw_inside_a_recursive_type_is_refused():
    with pytest.raises(TypeError, match="Raw field inside a recursive type"):
        kelvo.Decoder(RawTree)


def test_deep_limits_take_the_python_path():
    data = b"\x81" * 1500 + b"\x01"
    with pytest.raises(ValidationError):
        kelvo.decode(data, type=list[int], max_depth=5000)
    assert kelvo.Decoder(Node, max_depth=5000)._program is None
