"""The native typed paths: semantic values read and written without the general codec, and
user code (__post_init__, __init__, default factories) run once however a decode ends."""

import dataclasses
import datetime
import decimal
import threading
import uuid

import pytest

import kelvo
from kelvo import ValidationError

UTC = datetime.UTC
PLUS2 = datetime.timezone(datetime.timedelta(hours=2))
ODD = datetime.timezone(datetime.timedelta(hours=-5, minutes=-30, seconds=-15, microseconds=-7))


@dataclasses.dataclass(slots=True)
class Stamped:
    when: datetime.datetime
    day: datetime.date
    key: uuid.UUID
    amount: decimal.Decimal
    maybe: datetime.datetime | None = None


def _same(a, b):
    """Equal, of the same type, and for datetimes with the same offset."""
    assert type(a) is type(b) and a == b, (a, b)
    if isinstance(a, decimal.Decimal):
        assert str(a) == str(b), (a, b)
    if isinstance(a, datetime.datetime):
        assert a.utcoffset() == b.utcoffset(), (a, b)


SEMANTIC = [
    datetime.datetime(2026, 1, 2, 3, 4, 5, tzinfo=UTC),
    datetime.datetime(2026, 1, 2, 3, 4, 5, 600, tzinfo=PLUS2),
    datetime.datetime(1, 1, 1, tzinfo=ODD),
    datetime.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC),
    datetime.date(2024, 2, 29),
    datetime.date(1, 1, 1),
    uuid.UUID(int=0),
    uuid.UUID(int=2 ** 128 - 1),
    decimal.Decimal("273.15"),
    decimal.Decimal("-0.000"),
    decimal.Decimal("1E+30"),
    decimal.Decimal("123456789012345678"),
    decimal.Decimal("1234567890123456789.5"),  # a mantissa beyond 64 bits: through dumps
    decimal.Decimal("NaN"),
    decimal.Decimal("-Infinity"),
]


@pytest.mark.parametrize("value", SEMANTIC, ids=repr)
def test_semantic_values_decode_and_encode_as_loads_and_dumps(value):
    data = kelvo.dumps(value)
    assert kelvo.encode(value) == data
    assert kelvo.encode([value, {"k": (value,)}]) == kelvo.dumps([value, {"k": (value,)}])
    tp = type(value)
    if isinstance(value, decimal.Decimal) and not value.is_finite():
        return
    for got in (kelvo.decode(data, type=tp), kelvo.decode(kelvo.dumps([value]), type=list[tp])[0]):
        _same(got, kelvo.loads(data))


def h(text):
    return bytes.fromhex(text.replace(" ", ""))


def tag(number, content):
    return kelvo.dumps(kelvo.CBORTag(number, content)).hex()


# Forms read natively, and forms that take the general path, for one field each: the typed
# value must be what loads (and then the field's converter) makes of the same item.
FORMS = [
    pytest.param(datetime.datetime, tag(0, "2013-03-21T20:04:00Z"), id="dt-tag0-Z"),
    pytest.param(datetime.datetime, tag(0, "2013-03-21T20:04:00.000001+02:00"), id="dt-tag0-offset-us"),
    pytest.param(datetime.datetime, tag(0, "2013-03-21T20:04:00.5Z"), id="dt-tag0-short-fraction"),
    pytest.param(datetime.datetime, tag(0, "2013-03-21T20:04:00+00:00:30"), id="dt-tag0-offset-seconds"),
    pytest.param(datetime.datetime, tag(1, 1363896240), id="dt-tag1-int"),
    pytest.param(datetime.datetime, tag(1, 1363896240.5), id="dt-tag1-float"),
    pytest.param(datetime.datetime, kelvo.dumps("2013-03-21T20:04:00Z").hex(), id="dt-text"),
    pytest.param(datetime.datetime, kelvo.dumps("2013-03-21T20:04:00-01:30").hex(), id="dt-text-offset"),
    pytest.param(datetime.datetime, kelvo.dumps("2013-03-21T20:04:00").hex(), id="dt-text-naive"),
    pytest.param(datetime.datetime, kelvo.dumps("2013-03-21 20:04:00.25+01:00").hex(), id="dt-text-space"),
    pytest.param(datetime.datetime, "1a514b67b0", id="dt-epoch"),
    pytest.param(datetime.date, tag(1004, "2013-03-21"), id="date-tag1004"),
    pytest.param(datetime.date, tag(100, 16000), id="date-tag100"),
    pytest.param(datetime.date, kelvo.dumps("2013-03-21").hex(), id="date-text"),
    pytest.param(datetime.date, kelvo.dumps("20130321").hex(), id="date-text-basic"),
    pytest.param(uuid.UUID, "d825 50 12345678123456781234567812345678", id="uuid-tag37"),
    pytest.param(uuid.UUID, "50 12345678123456781234567812345678", id="uuid-bytes"),
    pytest.param(uuid.UUID, "d825 58 10 12345678123456781234567812345678", id="uuid-long-head"),
    pytest.param(decimal.Decimal, "c4 82 21 196ab3", id="decimal"),
    pytest.param(decimal.Decimal, "c4 82 01 c249010000000000000000", id="decimal-bignum-mantissa"),
    pytest.param(decimal.Decimal, "c4 82 3a0fffffff 3b7fffffffffffffff", id="decimal-int64-mantissa"),
    pytest.param(decimal.Decimal, "c4 82 00 00", id="decimal-zero"),
]


@pytest.mark.parametrize("tp, hexdata", FORMS)
def test_forms_read_as_loads_reads_them(tp, hexdata):
    data = h(hexdata)
    decoder = kelvo.Decoder(list[tp | None])
    expected = kelvo.Decoder(tp)._convert(kelvo.loads(data), data, 0)
    for got in decoder.decode(b"\x82\xf6" + data):
        if got is not None:
            _same(got, expected)


@pytest.mark.parametrize("tp, hexdata, message, offset", [
    pytest.param(datetime.datetime, "c0 63 616263", None, None, id="dt-tag0-bad-text"),
    pytest.param(datetime.datetime, tag(0, "2013-03-21t20:04:00z"), None, None, id="dt-tag0-lowercase"),
    pytest.param(decimal.Decimal, "c4 82 1b7fffffffffffffff 01", None, None, id="decimal-huge-exponent"),
    pytest.param(datetime.datetime, "63 616263", "expected an RFC 3339 date and time, got 'abc'", 2,
                 id="dt-text"),
    pytest.param(datetime.date, tag(0, "2013-03-21T20:04:00Z"), "expected date | None, got datetime", 2,
                 id="date-given-datetime"),
    pytest.param(datetime.date, "6a 323031332d31332d3031", "expected an RFC 3339 full date, got '2013-13-01'", 2,
                 id="date-text-bad-month"),
    pytest.param(uuid.UUID, "d825 41 00", None, None, id="uuid-tag-short"),
    pytest.param(uuid.UUID, "4f 000000000000000000000000000000", "expected UUID, got a byte string of 15 bytes", 2,
                 id="uuid-bytes-short"),
    pytest.param(decimal.Decimal, "c4 82 01 f93e00", None, None, id="decimal-float-mantissa"),
    pytest.param(decimal.Decimal, "c4 81 01", None, None, id="decimal-one-item"),
])
def test_bad_forms_fail_as_on_the_general_path(tp, hexdata, message, offset):
    data = b"\x82\xf6" + h(hexdata)
    if message is None:  # loads itself refuses the item
        with pytest.raises(kelvo.CBORDecodeError) as info:
            kelvo.loads(data)
        with pytest.raises(kelvo.CBORDecodeError) as typed:
            kelvo.decode(data, type=list[tp | None])
        assert str(typed.value) == str(info.value)
        assert not isinstance(typed.value, ValidationError)
        return
    with pytest.raises(ValidationError) as typed:
        kelvo.decode(data, type=list[tp | None])
    assert str(typed.value) == f"{message} at $[1] (byte {offset})"


def test_records_with_semantic_fields_round_trip():
    rows = [Stamped(datetime.datetime(2026, 5, 1, 12, 0, i, tzinfo=PLUS2 if i % 2 else UTC),
                    datetime.date(2026, 5, 1 + i), uuid.UUID(int=i * 2 ** 100), decimal.Decimal(i).scaleb(-2),
                    None if i % 3 else datetime.datetime(2026, 1, 1, tzinfo=ODD)) for i in range(20)]
    data = kelvo.encode(rows)
    assert data == kelvo.dumps([dataclasses.asdict(r) for r in rows])
    back = kelvo.decode(data, type=list[Stamped])
    for a, b in zip(back, rows, strict=True):
        for f in dataclasses.fields(Stamped):
            if getattr(b, f.name) is not None:
                _same(getattr(a, f.name), getattr(b, f.name))


def test_values_dumps_refuses_are_refused_by_encode_too():
    naive = datetime.datetime(2026, 1, 1)
    with pytest.raises(kelvo.CBOREncodeError) as plain:
        kelvo.dumps([naive])
    with pytest.raises(kelvo.CBOREncodeError) as typed:
        kelvo.encode([Stamped(naive, datetime.date(2026, 1, 1), uuid.UUID(int=1), decimal.Decimal(1))])
    assert type(typed.value) is type(plain.value)


@pytest.fixture
def counted():
    """A dataclass whose __post_init__ counts its calls and refuses n < 0."""
    calls = []

    @dataclasses.dataclass
    class Positive:
        n: int
        tags: list[str] = dataclasses.field(default_factory=list)

        def __post_init__(self):
            calls.append(self.n)
            if self.n < 0:
                raise ValueError("n must not be negative")

    return Positive, calls


@pytest.mark.parametrize("items, wrap, message, path, offset, ran", [
    pytest.param([{"n": 1}, {"n": -1}], list, "Positive could not be built: ValueError: n must not be negative",
                 "$[1]", 5, [1, -1], id="post-init-raises"),
    pytest.param([{"n": 1}, {"n": 2}, {"n": "x"}], list, "expected int, got text string", "$[2].n", 12, [1, 2],
                 id="later-field-mismatch"),
    pytest.param([{"n": 1}, {}], list, "missing required field 'n' of Positive", "$[1]", 5, [1],
                 id="later-missing-field"),
    pytest.param([{"n": 1}, "x"], "optional", "expected Positive | None, got text string", "$[1]", 5, [1],
                 id="later-item-of-another-kind"),
    pytest.param({"a": [{"n": 3}], "b": [{"n": 4}, {"n": -2}]}, dict,
                 "Positive could not be built: ValueError: n must not be negative", "$.b[1]", 15, [3, 4, -2],
                 id="nested-path"),
])
def test_post_init_runs_once_whatever_fails(counted, items, wrap, message, path, offset, ran):
    positive, calls = counted
    tp = {list: list[positive], dict: dict[str, list[positive]], "optional": list[positive | None]}[wrap]
    with pytest.raises(ValidationError) as info:
        kelvo.decode(kelvo.dumps(items), type=tp)
    assert str(info.value) == f"{message} at {path} (byte {offset})"
    assert calls == ran
    if "could not be built" in message:
        assert isinstance(info.value.__cause__, ValueError)


def test_post_init_runs_once_on_success_and_malformed_data_stays_a_decode_error(counted):
    positive, calls = counted
    assert [p.n for p in kelvo.decode(kelvo.dumps([{"n": 1}, {"n": 2}]), type=list[positive])] == [1, 2]
    assert calls == [1, 2]
    calls.clear()
    data = kelvo.dumps([{"n": 1}, {"n": -1}])
    with pytest.raises(kelvo.CBORDecodeError) as info:
        kelvo.decode(data + b"\x00", type=list[positive])
    assert not isinstance(info.value, ValidationError)
    with pytest.raises(kelvo.CBORDecodeError) as info:
        kelvo.decode(data[:-1] + b"\x1c", type=list[positive])
    assert not isinstance(info.value, ValidationError)


def test_a_failing_default_factory_is_reported_once():
    calls = []

    def factory():
        calls.append(1)
        raise RuntimeError("no default today")

    @dataclasses.dataclass
    class Late:
        n: int
        extra: list[int] = dataclasses.field(default_factory=factory)

    with pytest.raises(ValidationError) as info:
        kelvo.decode(kelvo.dumps([{"n": 1, "extra": []}, {"n": 2}]), type=list[Late])
    assert info.value.path == "$[1]"
    assert isinstance(info.value.__cause__, RuntimeError)
    assert calls == [1]


@dataclasses.dataclass
class Envelope:
    kind: str
    body: kelvo.Raw
    parts: dict[str, kelvo.Raw] = dataclasses.field(default_factory=dict)


@kelvo.cbor_class(array=True)
@dataclasses.dataclass
class Pair:
    first: kelvo.Raw
    second: kelvo.Raw | None = None


@pytest.mark.parametrize("tp, value", [
    pytest.param(kelvo.Raw, [1, {"a": b"b"}], id="top-level"),
    pytest.param(list[kelvo.Raw], [1, "two", [3.5, None], {"k": [True]}], id="list"),
    pytest.param(Envelope, {"kind": "k", "body": {"deep": [1, 2]}, "parts": {"p": "x" * 40, "q": -7}}, id="map-form"),
    pytest.param(list[Pair], [[1], ["a", {"b": 2}], [kelvo.CBORTag(99, [1])]], id="array-form"),
])
def test_raw_items_are_read_natively_as_on_the_python_path(tp, value):
    data = kelvo.dumps(value)
    native = kelvo.Decoder(tp)
    python = kelvo.Decoder(tp)
    python._program = None
    assert native._program is not None
    assert native.decode(data) == python.decode(data)


def test_a_raw_item_loads_refuses_is_refused():
    data = bytes.fromhex("a2646b696e64616b64626f647962ff00")  # body: text that is not UTF-8
    with pytest.raises(kelvo.CBORDecodeError) as info:
        kelvo.loads(data)
    with pytest.raises(kelvo.CBORDecodeError) as typed:
        kelvo.decode(data, type=Envelope)
    assert str(typed.value) == str(info.value)


def test_array_counts_after_code_ran_are_refused_once(counted):
    positive, calls = counted

    @kelvo.cbor_class(array=True, forbid_unknown=True)
    @dataclasses.dataclass
    class Row:
        item: positive
        note: str = ""

    for items, message, path in [([[{"n": 1}], []], "expected at least 1 items for Row, got 0", "$[1]"),
                                 ([[{"n": 2}], [{"n": 3}, "a", "b"]], "expected at most 2 items for Row, got 3",
                                  "$[1][2]")]:
        calls.clear()
        data = kelvo.dumps(items)
        python = kelvo.Decoder(list[Row])
        python._program = None
        with pytest.raises(ValidationError) as expected:
            python.decode(data)
        calls.clear()
        with pytest.raises(ValidationError) as info:
            kelvo.decode(data, type=list[Row])
        assert str(info.value) == str(expected.value)
        assert str(info.value).startswith(message)
        assert (info.value.path, info.value.offset) == (path, expected.value.offset)
        assert calls == [items[0][0]["n"]]


def test_threads_share_one_decoder_and_the_semantic_writers():
    rows = [Stamped(datetime.datetime(2026, 5, 1, 12, 0, i, tzinfo=PLUS2), datetime.date(2026, 5, 1 + i),
                    uuid.UUID(int=i), decimal.Decimal(i).scaleb(-3)) for i in range(25)]
    data = kelvo.encode(rows)
    decoder = kelvo.Decoder(list[Stamped])
    barrier = threading.Barrier(8)
    failures = []

    def work():
        barrier.wait()
        for _ in range(20):
            if kelvo.encode(rows) != data or decoder.decode(data) != rows:
                failures.append("mismatch")

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
