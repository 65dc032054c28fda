"""Dates and times: datetimes as tags 0 and 1, dates as tags 1004 and 100, both directions."""

import datetime
import inspect
import json
import pathlib

import pytest

from _kelvo import CBORDecodeError, CBOREncodeError, CBOREncoder, CBORTag, dumps, loads

from decoder_support import h

UTC = datetime.UTC
PLUS2 = datetime.timezone(datetime.timedelta(hours=2))
MINUS0530 = datetime.timezone(datetime.timedelta(hours=-5, minutes=-30))
PLUS30S = datetime.timezone(datetime.timedelta(seconds=30))
EXAMPLE = datetime.datetime(2013, 3, 21, 20, 4, 0, tzinfo=UTC)


def text_tag(tag_hex, text):
    """Tag header, then the text string of `text` (shorter than 24 bytes)."""
    return tag_hex + "%02x" % (0x60 + len(text)) + text.encode().hex()


class FixedZone(datetime.tzinfo):
    """A zone of its own class: its text goes through isoformat()."""

    def __init__(self, seconds):
        self.offset = datetime.timedelta(seconds=seconds)

    def utcoffset(self, dt):
        return self.offset

    def dst(self, dt):
        return None


@pytest.mark.parametrize("value, options, expected", [
    (EXAMPLE, {}, text_tag("c0", "2013-03-21T20:04:00Z")),
    (EXAMPLE, {"datetime_as_timestamp": True}, "c11a514b67b0"),
    (EXAMPLE.replace(microsecond=500000), {"datetime_as_timestamp": True}, "c1fb41d452d9ec200000"),
    (EXAMPLE.replace(microsecond=5), {}, "c0781b" + b"2013-03-21T20:04:00.000005Z".hex()),
    (EXAMPLE.replace(tzinfo=PLUS2), {}, "c07819" + b"2013-03-21T20:04:00+02:00".hex()),
    (EXAMPLE.replace(tzinfo=MINUS0530), {}, "c07819" + b"2013-03-21T20:04:00-05:30".hex()),
    (EXAMPLE.replace(tzinfo=FixedZone(7200)), {}, "c07819" + b"2013-03-21T20:04:00+02:00".hex()),
    (EXAMPLE.replace(tzinfo=FixedZone(0)), {}, text_tag("c0", "2013-03-21T20:04:00Z")),
    (datetime.datetime(1, 1, 1, tzinfo=UTC), {}, text_tag("c0", "0001-01-01T00:00:00Z")),
    (EXAMPLE.replace(tzinfo=None), {"timezone": UTC}, text_tag("c0", "2013-03-21T20:04:00Z")),
    (EXAMPLE.replace(tzinfo=None), {"timezone": PLUS2}, "c07819" + b"2013-03-21T20:04:00+02:00".hex()),
    (EXAMPLE.replace(tzinfo=None), {"timezone": UTC, "datetime_as_timestamp": True}, "c11a514b67b0"),
    (datetime.date(2020, 1, 1), {}, "d903ec6a" + b"2020-01-01".hex()),
    (datetime.date(2020, 1, 1), {"datetime_as_timestamp": True}, "d864194756"),
    (datetime.date(1969, 12, 31), {"datetime_as_timestamp": True}, "d86420"),
    (datetime.date(1, 1, 1), {"datetime_as_timestamp": True}, "d8643a000af939"),
    (datetime.date(2020, 1, 1), {"date_as_datetime": True, "timezone": UTC}, text_tag("c0", "2020-01-01T00:00:00Z")),
    (datetime.date(2020, 1, 1), {"date_as_datetime": True, "timezone": UTC, "datetime_as_timestamp": True},
     "c11a5e0be100"),
], ids=lambda v: repr(v) if not isinstance(v, str) else v[:24])
def test_encode(value, options, expected):
    assert dumps(value, **options).hex() == expected


def test_zero_offset_becomes_z_only_at_the_end():
    # A zero offset is "Z" only where it ends the text; an offset of a few seconds keeps its
    # form (replacing "+00:00" inside it would give "Z:30", which nothing reads back).
    for zone in (PLUS30S, FixedZone(30)):
        value = EXAMPLE.replace(tzinfo=zone)
        data = dumps(value)
        assert data == h("c0 78 1c") + b"2013-03-21T20:04:00+00:00:30"
        back = loads(data)
        assert back == value and back.utcoffset() == datetime.timedelta(seconds=30)
    value = EXAMPLE.replace(tzinfo=datetime.timezone(-datetime.timedelta(seconds=30, microseconds=5)))
    assert dumps(value)[3:] == b"2013-03-21T20:04:00-00:00:30.000005"


def test_naive_datetime_needs_a_timezone():
    for value, options in [(EXAMPLE.replace(tzinfo=None), {}),
                           (datetime.date(2020, 1, 1), {"date_as_datetime": True}),
                           (EXAMPLE.replace(tzinfo=None), {"datetime_as_timestamp": True})]:
        with pytest.raises(CBOREncodeError) as info:
            dumps(value, **options)
        assert str(info.value) == "naive datetime encountered and no default timezone has been set"


def test_subclass_goes_to_default_but_the_method_takes_it():
    class MyDateTime(datetime.datetime):
        def isoformat(self):
            return "custom+00:00"

    value = MyDateTime(2013, 3, 21, tzinfo=UTC)
    with pytest.raises(CBOREncodeError, match="cannot encode type"):
        dumps(value)
    assert dumps(value, default=lambda e, v: e.encode_datetime(v)) == h("c0 67") + b"customZ"


@pytest.mark.parametrize("options", [{}, {"datetime_as_timestamp": True}], ids=["text", "timestamp"])
def test_method_writes_as_encode_semantic_does(writer, options):
    # Called while idle on an encoder with a stream: the same pieces reach fp.write.
    CBOREncoder(writer, **options).encode_datetime(EXAMPLE)
    CBOREncoder(writer, **options).encode_date(datetime.date(2020, 1, 1))
    direct = writer.calls[:]
    writer.calls.clear()
    e = CBOREncoder(writer)
    if options:
        e.encode_semantic(1, 1363896240)
        e.encode_semantic(100, 18262)
    else:
        e.encode_semantic(0, "2013-03-21T20:04:00Z")
        e.encode_semantic(1004, "2020-01-01")
    assert direct == writer.calls


def test_tag_content_goes_through_the_dispatch():
    as_one = {str: lambda e, v: e.encode_int(1), int: lambda e, v: e.encode_int(2)}
    assert dumps([EXAMPLE, datetime.date(2020, 1, 1)], encoders=as_one).hex() == "82c001d903ec01"
    assert dumps(datetime.date(2020, 1, 1), encoders=as_one, datetime_as_timestamp=True).hex() == "d86402"
    # the second equal text is a string reference
    assert dumps([EXAMPLE, EXAMPLE], string_referencing=True).hex() == \
        "d9010082" + text_tag("c0", "2013-03-21T20:04:00Z") + "c0d81900"


def test_methods_have_signatures():
    for name in ("encode_datetime", "encode_date"):
        method = getattr(CBOREncoder, name)
        assert method.__text_signature__ == CBOREncoder.encode_int.__text_signature__ == "($self, obj)"
        assert str(inspect.signature(method)) == "(self, /, obj)"


def test_duck_typed_values():
    class Stamp:
        tzinfo = UTC

        def isoformat(self):
            return "then+00:00"

        def timestamp(self):
            return 2.0

    class Day:
        def isoformat(self):
            return "someday"

        def toordinal(self):
            return 719164

    assert dumps(Stamp(), default=lambda enc, v: enc.encode_datetime(v)) == h("c0 65") + b"thenZ"
    assert dumps(Stamp(), default=lambda enc, v: enc.encode_datetime(v), datetime_as_timestamp=True) == h("c1 02")
    assert dumps(Day(), default=lambda enc, v: enc.encode_date(v)) == h("d9 03ec 67") + b"someday"
    assert dumps(Day(), default=lambda enc, v: enc.encode_date(v), datetime_as_timestamp=True) == h("d8 64 01")


@pytest.mark.parametrize("data, expected", [
    (text_tag("c0", "2013-03-21T20:04:00Z"), EXAMPLE),
    ("c07819" + b"2013-03-21T20:04:00+02:00".hex(), EXAMPLE.replace(tzinfo=PLUS2)),
    ("c07819" + b"2013-03-21T20:04:00-05:30".hex(), EXAMPLE.replace(tzinfo=MINUS0530)),
    ("c07819" + b"2013-03-21T20:04:00+00:00".hex(), EXAMPLE),
    ("c0781b" + b"2013-03-21T20:04:00.250000Z".hex(), EXAMPLE.replace(microsecond=250000)),
    ("c07817" + b"2013-03-21T20:04:00.25Z".hex(), EXAMPLE.replace(microsecond=250000)),
    (text_tag("c0", "2013-03-21 20:04:00Z"), EXAMPLE),
    ("c07819" + b"2012-02-29T23:59:59+23:59".hex(),
     datetime.datetime(2012, 2, 29, 23, 59, 59, tzinfo=datetime.timezone(datetime.timedelta(hours=23, minutes=59)))),
    ("c100", datetime.datetime(1970, 1, 1, tzinfo=UTC)),
    ("c1f9be00", datetime.datetime(1969, 12, 31, 23, 59, 58, 500000, tzinfo=UTC)),
    ("d86400", datetime.date(1970, 1, 1)),
    ("d86420", datetime.date(1969, 12, 31)),
    ("d903ec6a" + b"2020-01-01".hex(), datetime.date(2020, 1, 1)),
    ("d903ec68" + b"20200101".hex(), datetime.date(2020, 1, 1)),
], ids=lambda v: v[:30] if isinstance(v, str) else None)
def test_decode(data, expected):
    value = loads(bytes.fromhex(data))
    assert type(value) is type(expected) and value == expected
    if isinstance(expected, datetime.datetime):
        assert value.utcoffset() == expected.utcoffset()
        if expected.utcoffset() == datetime.timedelta(0):
            assert value.tzinfo is UTC


def test_decoded_zones_are_built_as_fromisoformat_builds_them():
    for text in ("2013-03-21T20:04:00Z", "2013-03-21T20:04:00+02:00", "2013-03-21T20:04:00.000001-00:00",
                 "2013-03-21T20:04:00-05:30", "2000-02-29T00:00:00+00:00"):
        value = loads(dumps(CBORTag(0, text)))
        expected = datetime.datetime.fromisoformat(text)
        assert (value, value.tzinfo, type(value.tzinfo)) == (expected, expected.tzinfo, type(expected.tzinfo))
        assert (value.tzinfo is UTC) == (expected.tzinfo is UTC)


@pytest.mark.parametrize("data, message, cause", [
    ("c001", "error decoding string-form datetime: expected string for tag, got <class 'int'> instead", None),
    ("c0" + "73" + b"2013-03-21T20:04:00".hex(),
     "error decoding string-form datetime: invalid datetime string (missing UTC offset)", None),
    ("c0" + "74" + b"2013-02-30T20:04:00Z".hex(), "error decoding string-form datetime", ValueError),
    ("c0" + "74" + b"2013-03-21T24:04:00Z".hex(), "error decoding string-form datetime", ValueError),
    ("c0" + "63" + b"now".hex(), "error decoding string-form datetime", ValueError),
    ("c1" + "63" + b"now".hex(), "error decoding epoch-form datetime", TypeError),
    ("c1fb7ff0000000000000", "error decoding epoch-form datetime", OverflowError),
    ("d864f93c00", "error decoding epoch-form date", TypeError),
    ("d8641a7fffffff", "error decoding epoch-form date", OverflowError),
    ("d8643a000af93a", "error decoding epoch-form date", ValueError),
    ("d86461" + b"x".hex(), "error decoding epoch-form date", TypeError),
    ("d903ec6a" + b"2020-13-01".hex(), "error decoding string-form date", ValueError),
    ("d903ec01", "error decoding string-form date", TypeError),
], ids=lambda v: v[:24] if isinstance(v, str) else None)
def test_decode_failures(data, message, cause):
    with pytest.raises(CBORDecodeError) as info:
        loads(bytes.fromhex(data))
    assert str(info.value) == message
    assert type(info.value.__cause__) is cause if cause is not None else info.value.__cause__ is None


def test_semantic_decoders_and_tag_hook():
    data = dumps([EXAMPLE, datetime.date(2020, 1, 1), CBORTag(1000, 1)])
    seen = []

    def hook(tag, immutable):
        seen.append(tag.tag)
        return tag.value

    assert loads(data, tag_hook=hook) == [EXAMPLE, datetime.date(2020, 1, 1), 1]
    assert seen == [1000]
    value = loads(data, semantic_decoders={0: lambda payload, imm: ("text", payload, imm)})
    assert value[0] == ("text", "2013-03-21T20:04:00Z", False) and value[1] == datetime.date(2020, 1, 1)


VECTORS = [v for v in json.loads((pathlib.Path(__file__).parent / "data" / "appendix_a.json").read_text())
           if v["hex"][:2] in ("c0", "c1")]


@pytest.mark.parametrize("item", VECTORS, ids=[v["hex"] for v in VECTORS])
def test_appendix_a(item):
    data = bytes.fromhex(item["hex"])
    value = loads(data)
    assert type(value) is datetime.datetime and value.tzinfo is UTC
    assert dumps(value, datetime_as_timestamp=item["hex"].startswith("c1")) == data


VALUES = [EXAMPLE, EXAMPLE.replace(microsecond=123456, tzinfo=PLUS2), EXAMPLE.replace(tzinfo=MINUS0530),
          datetime.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), datetime.date(2020, 2, 29),
          datetime.date(1, 1, 1), EXAMPLE.replace(tzinfo=PLUS30S)]


@pytest.mark.parametrize("options", [
    {}, {"value_sharing": True}, {"string_referencing": True}, {"canonical": True},
    {"indefinite_containers": True}, {"value_sharing": True, "string_referencing": True},
], ids=lambda o: ",".join(o) or "plain")
def test_round_trip(options):
    data = VALUES + VALUES  # repeated values, for the sharing and reference options
    assert loads(dumps(data, **options)) == data
    assert loads(dumps({"when": VALUES}, **options)) == {"when": VALUES}


def test_round_trip_of_the_lossy_options():
    stamps = [EXAMPLE, EXAMPLE.replace(microsecond=500000, tzinfo=PLUS2)]
    back = loads(dumps(stamps, datetime_as_timestamp=True))
    assert back == stamps and all(v.tzinfo is UTC for v in back)
    assert loads(dumps(datetime.date(1900, 3, 1), datetime_as_timestamp=True)) == datetime.date(1900, 3, 1)
    # a date under date_as_datetime comes back as a datetime; a naive datetime comes back aware
    assert loads(dumps(datetime.date(2020, 1, 1), date_as_datetime=True, timezone=PLUS2)) == \
        datetime.datetime(2020, 1, 1, tzinfo=PLUS2)
    assert loads(dumps(EXAMPLE.replace(tzinfo=None), timezone=MINUS0530)) == EXAMPLE.replace(tzinfo=MINUS0530)
