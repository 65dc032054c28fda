"""dump and dumps: signatures, option handling, and dumps(obj) == what dump(obj, fp) writes."""

import datetime
import inspect
import io
import itertools

import pytest

from _kelvo import CBORTag, dump, dumps

FLAGS = ("datetime_as_timestamp", "value_sharing", "canonical", "date_as_datetime", "string_referencing",
         "indefinite_containers")


class Custom:
    def __init__(self, n):
        self.n = n


def sample():
    shared = ["shared", 1.5]
    return [shared, shared, {"bbbb": "aaa", "aaa": {3, 1}, 2: b"aaa"}, "aaa", 2**70, -(2**70),
            CBORTag(99, ("aaa", frozenset({b"x"}))), Custom(3), 1e300, -0.0, bytearray(b"aaa")]


def default(enc, value):
    enc.encode_array([value.n, "aaa"])


@pytest.mark.parametrize("flags", list(itertools.product((False, True), repeat=len(FLAGS))))
def test_dumps_equals_dump(flags):
    options = dict(zip(FLAGS, flags, strict=True), default=default,
                   encoders={float: lambda e, v: e.encode_float(v * 2)})
    fp = io.BytesIO()
    assert dump(sample(), fp, **options) is None
    assert dumps(sample(), **options) == fp.getvalue()


def test_signatures():
    assert str(inspect.signature(dumps)) == (
        "(obj, *, datetime_as_timestamp=False, timezone=None, value_sharing=False, encoders=None, "
        "default=None, canonical=False, date_as_datetime=False, string_referencing=False, "
        "indefinite_containers=False)")
    assert str(inspect.signature(dump)).startswith("(obj, fp, *, datetime_as_timestamp=False, timezone=None,")
    assert dumps.__module__ == dump.__module__ == "_kelvo"


@pytest.mark.parametrize("call, exc, message", [
    (lambda: dumps(), TypeError, "dumps() missing 1 required positional argument: 'obj'"),
    (lambda: dump(), TypeError, "dump() missing 2 required positional arguments: 'obj' and 'fp'"),
    (lambda: dumps(1, 2), TypeError, "dumps() takes 1 positional arguments but 2 were given"),
    (lambda: dumps(1, string_namespacing=True), TypeError,
     "dumps() got an unexpected keyword argument 'string_namespacing'"),
    (lambda: dumps(1, canonical=1), TypeError, "'int' object is not an instance of 'bool'"),
    (lambda: dumps(1, encoders=[]), TypeError, "'list' object is not an instance of 'Mapping'"),
    (lambda: dumps(1, timezone=1), TypeError, "timezone must be a tzinfo object"),
    (lambda: dumps(1, default=1), TypeError, "default must be callable"),
    (lambda: dump(1, None), ValueError, "fp must be a writable file-like object"),
])
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


def test_options_reach_the_encoder():
    assert dumps(1, timezone=None, encoders=None, default=None) == b"\x01"
    assert dumps([1.0], canonical=True, indefinite_containers=True) == bytes.fromhex("9ff93c00ff")
    assert dumps(1, timezone=datetime.UTC) == b"\x01"
    with pytest.raises(TypeError) as info:
        dumps(1, value_sharing="yes")
    assert info.value.__notes__ == ["while processing 'value_sharing'"]


def test_dump_writes_once_and_keeps_a_hook_encoder_usable(writer):
    kept = []

    def hook(enc, value):
        kept.append(enc)
        enc.encode_none()

    dump([Custom(1)], writer, default=hook)
    assert writer.calls == [b"\x81\xf6"]
    kept[0].encode(2)
    assert writer.calls == [b"\x81\xf6", b"\x02"]


def test_dumps_failure_returns_nothing():
    def hook(enc, value):
        enc.write(b"partial")
        raise LookupError("stop")

    with pytest.raises(LookupError):
        dumps([1, Custom(1)], default=hook)


def test_hook_encoder_of_dumps_has_no_stream():
    errors = []

    def hook(enc, value):
        assert enc.fp is None
        enc.encode_none()

    assert dumps(Custom(1), default=hook) == b"\xf6"

    def idle_write(enc, value):
        errors.append(enc)
        enc.encode_none()

    dumps(Custom(1), default=idle_write)
    with pytest.raises(RuntimeError, match="^fp not set$"):
        errors[0].write(b"x")


def test_threads_encoding_shared_data_agree():
    import threading

    data = sample()
    expected = dumps(data, default=default, value_sharing=True, canonical=True)
    results = []

    def work():
        for _ in range(50):
            results.append(dumps(data, default=default, value_sharing=True, canonical=True))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 200


def test_dumps_results_of_changing_sizes_on_one_thread():
    # Each result is sized from the thread's previous one: it must come out exact whether
    # the next output is much smaller, much larger or holds large referenced contents.
    big = list(range(100_000))
    blob = bytes(range(256)) * 4096
    cases = [big, 1, [1, 2, 3], big + big, {"k": blob, "n": [7] * 5}, "é" * 3, big]
    for value in cases * 2:
        out = dumps(value)
        assert type(out) is bytes
        buf = io.BytesIO()
        dump(value, buf)
        assert out == buf.getvalue()
    assert dumps(1) == b"\x01"
    assert dumps([1, 2, 3]) == bytes.fromhex("83010203")
