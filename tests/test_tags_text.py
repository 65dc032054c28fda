"""Regular expressions (tag 35), MIME messages (tag 36) and UUIDs (tag 37), both directions."""

import email.message
import pickle
import re
import uuid
from email.mime.text import MIMEText

import pytest

from _kelvo import CBOREncoder, CBORTag, dumps, loads

from build_kind import FREE_THREADED
from decoder_support import decode_error, h
from fresh_interpreter import run_python

UUID_1 = uuid.UUID(int=1)
UUID_HEX = "d825 50" + "00" * 15 + "01"
UUID_MAX = uuid.UUID(int=2**128 - 1)


@pytest.mark.parametrize("value, expected", [
    (re.compile("a+b"), "d823 63 612b62"),
    (re.compile(b"x"), "d823 41 78"),
    (re.compile("ü"), "d823 62 c3bc"),
    (UUID_1, UUID_HEX),
    (UUID_MAX, "d825 50" + "ff" * 16),
    (uuid.UUID("12345678-1234-5678-1234-567812345678"), "d825 50 12345678123456781234567812345678"),
], ids=["text-pattern", "bytes-pattern", "utf8-pattern", "uuid-1", "uuid-max", "uuid-mixed"])
def test_encodes(value, expected):
    assert dumps(value) == h(expected)


def test_mime_encodes_its_text():
    message = MIMEText("hello, world\n")
    message["Subject"] = "greeting"
    assert dumps(message) == dumps(CBORTag(36, message.as_string()))


@pytest.mark.parametrize("data, source", [
    ("d823 63 612b62", "a+b"),
    ("d823 41 78", b"x"),
], ids=["text", "bytes"])
def test_regular_expressions_decode(data, source):
    pattern = loads(h(data))
    assert isinstance(pattern, re.Pattern)
    assert pattern.pattern == source
    assert pattern.flags == re.compile(source).flags


def test_regular_expression_flags_are_not_written():
    pattern = loads(dumps(re.compile("abc", re.IGNORECASE | re.MULTILINE)))
    assert pattern.pattern == "abc"
    assert not pattern.flags & (re.IGNORECASE | re.MULTILINE)


@pytest.mark.parametrize("value", [UUID_1, UUID_MAX, uuid.UUID(int=0), uuid.uuid4()],
                         ids=["one", "max", "zero", "random"])
def test_uuids_decode_as_the_constructor_builds_them(value):
    decoded = loads(dumps(value))
    built = uuid.UUID(bytes=value.bytes)
    assert type(decoded) is uuid.UUID
    assert decoded == built and decoded.int == built.int and type(decoded.int) is int
    assert decoded.is_safe is built.is_safe
    assert hash(decoded) == hash(built) and str(decoded) == str(built)
    assert pickle.loads(pickle.dumps(decoded)) == value
    with pytest.raises(TypeError):
        decoded.int = 5  # still immutable


def test_mime_decodes_to_the_parsers_message():
    message = MIMEText("hello, world\n")
    message["Subject"] = "greeting"
    decoded = loads(dumps(message))
    assert type(decoded) is email.message.Message
    assert decoded["Subject"] == "greeting"
    assert decoded.get_content_type() == "text/plain"
    assert decoded.get_payload() == "hello, world\n"
    assert decoded.as_string() == message.as_string()


@pytest.mark.parametrize("data, label, cause", [
    ("d825 4f" + "00" * 15, "UUID", ValueError),
    ("d825 51" + "00" * 17, "UUID", ValueError),
    ("d825 05", "UUID", TypeError),
    ("d825 f6", "UUID", TypeError),
    ("d823 61 28", "regular expression", re.error),
    ("d823 05", "regular expression", TypeError),
    ("d824 05", "MIME message", TypeError),
    ("d824 41 78", "MIME message", TypeError),
], ids=["uuid-15-bytes", "uuid-17-bytes", "uuid-int", "uuid-null", "regexp-invalid", "regexp-int",
        "mime-int", "mime-bytes"])
def test_decoding_failures_are_wrapped_under_the_handler_name(data, label, cause):
    err = decode_error(data)
    assert str(err) == f"error decoding {label}"
    assert isinstance(err.__cause__, cause)


def test_uuid_length_error_is_the_constructors():
    err = decode_error("d825 4f" + "00" * 15)
    with pytest.raises(ValueError) as expected:
        uuid.UUID(bytes=bytes(15))
    assert str(err.__cause__) == str(expected.value)


@pytest.mark.parametrize("method, attribute", [
    ("encode_regexp", "pattern"), ("encode_mime", "as_string"), ("encode_uuid", "bytes"),
])
def test_encoders_read_one_attribute_of_any_object(bio, method, attribute):
    class Duck:
        pattern = "p"
        bytes = b"\x01\x02"

        def as_string(self):
            return "m"

    getattr(CBOREncoder(bio), method)(Duck())
    tag = {"encode_regexp": 35, "encode_mime": 36, "encode_uuid": 37}[method]
    assert bio.getvalue() == dumps(CBORTag(tag, {"pattern": "p", "as_string": "m", "bytes": b"\x01\x02"}[attribute]))
    with pytest.raises(AttributeError):
        getattr(CBOREncoder(bio), method)(object())


def test_encoder_methods_have_signatures(bio):
    for name in ("encode_regexp", "encode_mime", "encode_uuid"):
        assert getattr(CBOREncoder, name).__text_signature__ == "($self, obj)"
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'obj'"):
            getattr(CBOREncoder(bio), name)()


# ---- The native UUID path against the class's own protocol

class UUIDSub(uuid.UUID):
    __slots__ = ()

    @property
    def bytes(self):
        return b"sub"


def test_uuid_subclass_goes_through_its_own_bytes(bio):
    CBOREncoder(bio).encode_uuid(UUIDSub(int=1))
    assert bio.getvalue() == h("d825 43 737562")
    with pytest.raises(Exception, match="cannot encode type"):
        dumps(UUIDSub(int=1))


@pytest.mark.parametrize("value", [-1, 2**128, 1.5, True, "x", None],
                         ids=["negative", "too-big", "float", "bool", "str", "unset"])
def test_uuid_with_an_odd_int_slot_behaves_as_its_bytes_property(value):
    u = uuid.UUID(int=5)
    if value is None:
        object.__delattr__(u, "int")
    else:
        object.__setattr__(u, "int", value)
    try:
        expected = dumps(CBORTag(37, u.bytes))
    except Exception as exc:
        with pytest.raises(type(exc)) as info:
            dumps(u)
        assert str(info.value) == str(exc)
    else:
        assert dumps(u) == expected


def test_uuid_flushes_as_the_dispatch_does(writer):
    from conftest import RecordingWriter

    CBOREncoder(writer).encode_uuid(UUID_1)
    reference = RecordingWriter()
    CBOREncoder(reference).encode_semantic(37, UUID_1.bytes)
    assert writer.calls == reference.calls
    big = [UUID_1] * 300  # crosses the 4096-byte flush point
    first, second = RecordingWriter(), RecordingWriter()
    CBOREncoder(first).encode(big)
    CBOREncoder(second).encode([CBORTag(37, UUID_1.bytes)] * 300)
    assert first.calls == second.calls


def test_uuid_payload_passes_through_encoders_and_string_references():
    seen = []

    def as_text(encoder, value):
        seen.append(value)
        encoder.encode_string(value.hex())

    assert dumps(UUID_1, encoders={bytes: as_text}) == dumps(CBORTag(37, UUID_1.bytes.hex()))
    assert seen == [UUID_1.bytes]
    assert dumps([UUID_1, UUID_1], string_referencing=True) == \
        dumps([CBORTag(37, UUID_1.bytes)] * 2, string_referencing=True)
    assert dumps([UUID_1, UUID_1], string_referencing=True).endswith(h("d825 d819 00"))


def test_uuid_class_rebound_before_first_use_is_called():
    assert run_python("""
        import uuid
        class Mine(uuid.UUID):
            __slots__ = ()
        original = uuid.UUID
        uuid.UUID = Mine
        import _kelvo
        data = bytes.fromhex("d825 50" + "00" * 15 + "07")
        print(type(_kelvo.loads(data)).__name__)
        uuid.UUID = original
        print(type(_kelvo.loads(data)).__name__, _kelvo.loads(data).int)
        print(_kelvo.dumps(original(int=7)) == data)
    """) == ["Mine", "Mine", "7", "True"]


# ---- Hooks and round trips

def test_semantic_decoders_take_precedence_and_tag_hook_is_not_called():
    calls = []
    data = h(UUID_HEX)
    assert loads(data, semantic_decoders={37: lambda p, imm: ("mine", p)}) == ("mine", UUID_1.bytes)
    assert loads(data, semantic_decoders={35: None}) == UUID_1
    assert loads(data, tag_hook=lambda t, imm: calls.append(t)) == UUID_1
    assert loads(h("d823 61 61"), tag_hook=lambda t, imm: calls.append(t)).pattern == "a"
    assert calls == []


@pytest.mark.parametrize("value_sharing", [False, True], ids=["plain", "sharing"])
def test_round_trips(value_sharing):
    message = MIMEText("body")
    values = [UUID_1, UUID_1, re.compile("x*"), re.compile(b"y?"), uuid.uuid4(), {"id": UUID_MAX}]
    decoded = loads(dumps(values, value_sharing=value_sharing))
    assert decoded[:2] == [UUID_1, UUID_1]
    assert decoded[2].pattern == "x*" and decoded[3].pattern == b"y?"
    assert decoded[4:] == values[4:]
    assert loads(dumps(message, value_sharing=value_sharing)).as_string() == message.as_string()


def test_concurrent_first_decode_imports_uuid_once():
    assert run_python("""
        import importlib.abc, sys, threading, time, _kelvo

        class Slow(importlib.abc.MetaPathFinder):
            calls = 0
            def find_spec(self, name, path, target=None):
                if name == "uuid":
                    Slow.calls += 1
                    time.sleep(0.3)
                return None

        sys.meta_path.insert(0, Slow())
        data = bytes.fromhex("d825 50" + "00" * 15 + "01")
        results = []
        def work():
            results.append(_kelvo.loads(data))
        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads: t.start()
        for t in threads: t.join()
        import uuid
        print(Slow.calls, len({id(type(r)) for r in results}), type(results[0]) is uuid.UUID,
              all(r == uuid.UUID(int=1) for r in results), sys._is_gil_enabled())
    """) == ["1", "1", "True", "True", str(not FREE_THREADED)]
