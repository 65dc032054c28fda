"""encode_value: the encoders mapping, the built-in checks in order, default, and the error."""

import collections
import collections.abc
import datetime
import io
import subprocess
import sys
import textwrap

import pytest

from _kelvo import (CBOREncodeError, CBOREncoder, CBOREncodeValueError, CBORSimpleValue, CBORTag, dump, dumps, frozendict,
                    undefined)
from _kelvo import loads as kelvo_loads


def writes(value, **options):
    return dumps(value, **options).hex()


def test_encoders_entry_replaces_the_built_in_encoding():
    calls = []

    def as_text(enc, value):
        calls.append(value)
        enc.encode_string(str(value))

    assert writes([5, True, 2**64], encoders={int: as_text}) == "83" + "6135" + "f5" + "74" + \
        "18446744073709551616".encode().hex()
    assert calls == [5, 2**64]


def test_encoders_entry_for_a_subclass_only():
    class Special(list):
        pass

    out = writes([Special([1]), [1]], encoders={Special: lambda e, v: e.encode_none()})
    assert out == "82f68101"


class Opaque:
    def __str__(self):
        return "opaque"


SILENT = ("the hook for type <class '{}'> returned without writing anything: hooks must write the value "
          "with the encoder's methods (for example encoder.encode(str(value))); what they return is ignored")


@pytest.mark.parametrize("options, type_name", [
    ({"encoders": {int: lambda e, v: None}}, "int"),
    # a hook written in the style of json.dumps: it returns the encoding instead of writing it
    ({"default": lambda e, v: str(v)}, "test_encoder_dispatch.Opaque"),
    ({"encoders": {Opaque: lambda e, v: str(v)}}, "test_encoder_dispatch.Opaque"),
], ids=["encoders-none", "default-returns", "encoders-returns"])
def test_hook_writing_nothing_is_refused(options, type_name):
    # without the check the output would be 82 01 (or 82 with nothing after it), which no
    # decoder reads back; to a stream nothing is written either
    value = [Opaque(), 1] if type_name != "int" else [1, 2]
    with pytest.raises(CBOREncodeValueError) as info:
        dumps(value, **options)
    assert str(info.value) == SILENT.format(type_name)
    stream = io.BytesIO()
    with pytest.raises(CBOREncodeValueError):
        dump(value, stream, **options)
    assert stream.getvalue() == b""


def test_hooks_that_write_are_checked_per_call():
    # the check compares the output before and after each call, also across flushes to a
    # stream and inside canonical key sorting, and a hook may write more than one item's worth
    big = "x" * 5000
    stream = io.BytesIO()
    dump([Opaque()] * 3, stream, default=lambda e, v: e.encode(big))
    assert kelvo_loads(stream.getvalue()) == [big] * 3
    out = dumps({Opaque(): 1, "a": 2}, canonical=True, default=lambda e, v: e.encode(str(v)))
    assert kelvo_loads(out) == {"opaque": 1, "a": 2}


class LookupMapping(collections.abc.Mapping):
    def __init__(self, table, error):
        self.table, self.error = table, error

    def __getitem__(self, key):
        if key in self.table:
            return self.table[key]
        raise self.error(key)

    def __iter__(self):
        return iter(self.table)

    def __len__(self):
        return len(self.table)


def test_non_dict_encoders_mapping():
    assert writes([1, "a"], encoders=LookupMapping({str: lambda e, v: e.encode_int(9)}, KeyError)) == "820109"
    assert writes([1], encoders=LookupMapping({}, IndexError)) == "8101"
    with pytest.raises(TypeError, match="^nope$"):
        dumps(1, encoders=LookupMapping({}, lambda key: TypeError("nope")))


def test_encoders_lookup_holds_shared_access():
    seen = []

    class Peeking(LookupMapping):
        def __getitem__(self, key):
            seen.append(self.encoder.canonical)  # a getter works under shared access
            with pytest.raises(RuntimeError, match="Already borrowed"):
                self.encoder.encode(1)
            raise KeyError(key)

    m = Peeking({}, KeyError)
    m.encoder = CBOREncoder(io.BytesIO(), encoders=m)
    m.encoder.encode(7)
    assert seen == [False]


def test_default_is_called_once_and_its_result_ignored():
    calls = []

    def default(enc, value):
        calls.append(value)
        enc.encode_string("x")
        return "ignored"

    obj = object()
    assert writes([obj], default=default) == "816178"
    assert calls == [obj]


def test_unsupported_type():
    with pytest.raises(CBOREncodeError) as info:
        dumps([object()])
    assert type(info.value) is CBOREncodeError
    assert str(info.value) == "cannot encode type <class 'object'>"

    class MyDate(datetime.datetime):
        pass

    with pytest.raises(CBOREncodeError, match=r"^cannot encode type <class '.*MyDate'>$"):
        dumps(MyDate(2020, 1, 1))
    assert writes(MyDate(2020, 1, 1), default=lambda e, v: e.encode_int(1)) == "01"


@pytest.mark.parametrize("value, expected", [
    (range(3), "83000102"), (collections.deque([1]), "8101"), (memoryview(b"ab"), "821861"+"1862"),
    (collections.OrderedDict(a=1), "a1616101"), (collections.namedtuple("P", "x y")(1, 2), "820102"),
    (CBORTag(6, 0), "c600"), (CBORTag(256, "a"), "d9010061" "61"), (undefined, "f7"),
    (CBORSimpleValue(0), "e0"), (frozenset(), "d9010280"), (None, "f6"),
    (frozendict({"a": [1]}), "a161618101"),
])
def test_built_in_types(value, expected):
    assert writes(value) == expected


def test_checks_come_in_order():
    class Both(dict, collections.abc.Sequence):  # a dict first of all
        pass

    assert writes(Both(a=1)) == "a1616101"

    class ListAsMapping(list):
        def items(self):
            return [(str(v), v) for v in self]

    collections.abc.Mapping.register(ListAsMapping)  # the Mapping check precedes the list check
    assert writes(ListAsMapping([1, 2])) == "a2613101613202"


def test_failing_abstract_check_is_unraisable(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: reports.append(info))

    class Odd:
        @property
        def __class__(self):
            raise ValueError("no class")

    obj = Odd()
    assert writes(obj, default=lambda e, v: e.encode_none()) == "f6"
    assert [type(r.exc_value) for r in reports] == [ValueError, ValueError]
    assert all(r.object is obj for r in reports)


def test_hooks_may_reenter_the_encoder(writer):
    class Node:
        def __init__(self, *children):
            self.children = children

    inner = []

    def default(enc, node):
        enc.write(b"\x82")  # a raw header, then two nested values
        enc.encode(len(node.children))
        enc.encode_value(list(node.children))
        inner.append(enc.encode_to_bytes(["side"]))

    def tag_entry(enc, tag):
        enc.encode_semantic(tag.tag + 1, tag.value)

    e = CBOREncoder(writer, default=default, encoders={CBORTag: tag_entry})
    e.encode([Node(CBORTag(1, 2)), Node()])
    assert writer.getvalue().hex() == "82" + "82" "01" "81" "c202" + "82" "00" "80"
    assert len(writer.calls) == 1
    assert inner == [bytes.fromhex("816473696465")] * 2


def test_encode_value_while_idle_flushes_each_piece(writer):
    CBOREncoder(writer).encode_value([1])
    assert writer.calls == [b"\x81", b"\x01"]


def test_failure_in_mid_container_leaves_the_encoder_usable(writer):
    def default(enc, value):
        raise KeyError("boom")

    e = CBOREncoder(writer, default=default, value_sharing=True, string_referencing=True)
    shared = ["aaa"]
    with pytest.raises(KeyError):
        e.encode([shared, {"aaa": object()}])
    assert writer.calls == []
    e.encode([shared, shared, "aaa"])
    assert writer.getvalue().hex() == "d90100" "d81c83" "d81c8163616161" "d81d01" "d81900"


def test_stdlib_table_is_built_before_default(monkeypatch):
    import kelvo  # noqa: F401  (the package re-exports the module)

    calls = []
    assert writes(object(), default=lambda e, v: calls.append(v) or e.encode_none()) == "f6"
    for name in ("datetime", "decimal", "fractions", "uuid", "re", "ipaddress", "email.mime.text"):
        assert name in sys.modules


def test_abstract_class_answers_follow_registrations():
    # An immutable type found to be neither a mapping nor a sequence is not asked again by
    # the same encoder, until some class is registered with an abstract class.
    code = textwrap.dedent("""
        import collections.abc, io, _kelvo
        e = _kelvo.CBOREncoder(io.BytesIO(), default=lambda enc, v: enc.encode_none())
        print(e.encode_to_bytes(iter(range(0))).hex(), e.encode_to_bytes(iter(range(0))).hex())
        collections.abc.Sequence.register(type(iter(range(0))))
        try:
            e.encode_to_bytes(iter(range(0)))
        except TypeError as exc:
            print(exc)  # taken as a sequence now, which has no len()
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["f6 f6", "object of type 'range_iterator' has no len()"]
