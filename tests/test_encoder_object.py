"""CBOREncoder as an object: construction, properties, output buffer and flush rule."""

import gc
import io
import os
import threading
import time
import weakref

import pytest

from _kelvo import CBOREncodeError, CBOREncoder


class NotWritable:
    def writable(self):
        return False

    def write(self, data):
        raise AssertionError("must not be called")


class FailingWriter:
    def __init__(self, fail_times):
        self.fail_times = fail_times
        self.calls = []

    def writable(self):
        return True

    def write(self, data):
        if self.fail_times:
            self.fail_times -= 1
            raise OSError("disk full")
        self.calls.append(bytes(data))
        return len(data)


def writing_hook(*chunks):
    def hook(encoder, value):
        for chunk in chunks:
            encoder.write(chunk)
    return hook


def test_construction_errors():
    with pytest.raises(ValueError, match="^fp must be a writable file-like object$") as info:
        CBOREncoder(NotWritable())
    assert info.value.__cause__ is None
    with pytest.raises(ValueError, match="^fp must be a writable file-like object$") as info:
        CBOREncoder(None)
    assert isinstance(info.value.__cause__, AttributeError)
    with pytest.raises(TypeError, match="^timezone must be a tzinfo object$"):
        CBOREncoder(io.BytesIO(), timezone=1)
    with pytest.raises(TypeError, match="^default must be callable$"):
        CBOREncoder(io.BytesIO(), default=1)


def test_properties(bio):
    import datetime
    tz = datetime.UTC
    hook = writing_hook()
    e = CBOREncoder(bio, timezone=tz, default=hook, canonical=True, string_referencing=True)
    assert (e.fp, e.timezone, e.default) == (bio, tz, hook)
    assert (e.canonical, e.string_referencing, e.string_namespacing) == (True, True, True)
    assert (e.value_sharing, e.datetime_as_timestamp, e.date_as_datetime,
            e.indefinite_containers) == (False, False, False, False)
    assert CBOREncoder(bio).string_namespacing is False
    e.timezone = None
    e.default = None
    assert (e.timezone, e.default) == (None, None)
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del e.fp
    with pytest.raises(AttributeError):
        e.canonical = False
    with pytest.raises(AttributeError):
        e.other = 1


def test_class_is_final_and_without_weakrefs(bio):
    with pytest.raises(TypeError):
        type("Sub", (CBOREncoder,), {})
    with pytest.raises(TypeError):
        weakref.ref(CBOREncoder(bio))


def test_short_encoding_is_one_write(writer):
    e = CBOREncoder(writer, default=writing_hook(b"\x82", b"\x01", b"\x02"))
    e.encode(object())
    assert writer.calls == [b"\x82\x01\x02"]


def test_long_chunk_is_written_on_its_own(writer):
    payload = b"x" * 5000
    e = CBOREncoder(writer, default=writing_hook(b"\x59\x13\x88", payload))
    e.encode(object())
    assert writer.calls == [b"\x59\x13\x88", payload, b""]


def test_buffer_flushes_at_4096_bytes(writer):
    e = CBOREncoder(writer, default=writing_hook(*[b"y" * 1000] * 5))
    e.encode(object())
    assert [len(c) for c in writer.calls] == [4000 + 1000, 0]


def test_write_inside_and_outside_encode(writer):
    e = CBOREncoder(writer)
    assert e.write(b"abc") == 3
    assert writer.calls == [b"abc"]
    results = []
    e.default = lambda enc, v: results.append(enc.write(b"defg"))
    e.encode(object())
    assert results == [4]
    assert writer.calls == [b"abc", b"defg"]


def test_write_returns_fp_result():
    class Odd:
        def writable(self):
            return True

        def write(self, data):
            return self.result

    fp = Odd()
    e = CBOREncoder(fp)
    fp.result = 7
    assert e.write(b"a") == 7
    fp.result = None
    with pytest.raises(TypeError):
        e.write(b"a")
    fp.result = -1
    with pytest.raises(OverflowError):
        e.write(b"a")


def test_unsupported_type_error(bio):
    with pytest.raises(CBOREncodeError) as info:
        CBOREncoder(bio).encode(object())
    assert str(info.value) == "cannot encode type <class 'object'>"
    assert type(info.value) is CBOREncodeError


def test_failed_encode_discards_buffer_and_encoder_stays_usable(writer):
    def bad(enc, value):
        enc.write(b"partial")
        raise KeyError("bad")

    e = CBOREncoder(writer, default=bad)
    with pytest.raises(KeyError):
        e.encode(object())
    assert writer.calls == []
    e.default = writing_hook(b"ok")
    e.encode(object())
    assert writer.calls == [b"ok"]


def test_failed_flush_drops_its_bytes():
    fp = FailingWriter(fail_times=1)
    e = CBOREncoder(fp, default=writing_hook(b"first"))
    with pytest.raises(OSError):
        e.encode(object())
    e.default = writing_hook(b"second")
    e.encode(object())
    assert fp.calls == [b"second"]
    assert e.write(b"idle") == 4


class Countdown:
    def __init__(self, n):
        self.n = n


def test_nested_encode_only_moves_depth(writer):
    def hook(enc, value):
        enc.write(b"<")
        if value.n:
            enc.encode(Countdown(value.n - 1))  # nested: no flush of its own
        enc.write(b">")

    e = CBOREncoder(writer, default=hook)
    e.encode(Countdown(2))
    assert writer.calls == [b"<<<>>>"]


def test_encode_to_bytes(writer):
    inner = []

    def hook(enc, value):
        if value.n:
            inner.append(enc.encode_to_bytes(Countdown(value.n - 1)))
        enc.write(b"%d" % value.n)

    e = CBOREncoder(writer, default=hook)
    e.encode(Countdown(1))
    assert inner == [b"0"]
    assert writer.calls == [b"1"]
    assert e.encode_to_bytes(Countdown(0)) == b"0"
    assert writer.calls == [b"1"]


def test_fp_assignment(writer):
    from conftest import RecordingWriter
    other = RecordingWriter()

    def switch(enc, value):
        enc.write(b"old")
        enc.fp = enc.fp  # same object: nothing happens
        enc.fp = other
        enc.write(b"new")

    e = CBOREncoder(writer, default=switch)
    e.encode(object())
    assert writer.calls == [b"old"]
    assert other.calls == [b"new"]
    assert e.fp is other


def test_fp_assignment_refused_during_encode_to_bytes(writer):
    errors = []

    def hook(enc, value):
        try:
            enc.fp = io.BytesIO()
        except RuntimeError as exc:
            errors.append(str(exc))
        enc.write(b"x")

    e = CBOREncoder(writer, default=hook)
    assert e.encode_to_bytes(object()) == b"x"
    assert errors and "encode_to_bytes" in errors[0]
    assert e.fp is writer


def test_cycle_through_hook_is_collected(bio):
    class Holder:
        def __init__(self):
            self.enc = CBOREncoder(bio, default=self.hook)

        def hook(self, enc, value):
            pass

    ref = weakref.ref(Holder())
    gc.collect()
    assert ref() is None


def test_second_thread_is_refused_while_encoding(writer):
    entered = threading.Event()
    release = threading.Event()
    errors = []

    def slow(enc, value):
        entered.set()
        release.wait(10)
        enc.write(b"mine")

    e = CBOREncoder(writer, default=slow)
    t = threading.Thread(target=e.encode, args=(object(),))
    t.start()
    assert entered.wait(10)
    for attempt in (lambda: e.encode(1), lambda: e.write(b"x"), lambda: e.encode_to_bytes(1),
                    lambda: setattr(e, "default", None)):
        try:
            attempt()
        except RuntimeError as exc:
            errors.append(str(exc))
    release.set()
    t.join()
    assert errors == ["Already borrowed"] * 4
    assert writer.calls == [b"mine"]


def test_threads_hammering_one_encoder_never_crash(writer):
    e = CBOREncoder(writer, default=writing_hook(b"ab"))
    failures = []

    def work():
        for _ in range(300):
            try:
                e.encode(object())
            except (RuntimeError, BaseException) as exc:  # the access error, never a crash
                failures.append(type(exc))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert set(writer.calls) <= {b"ab"}
    assert len(writer.calls) + len(failures) == 1200
    # Every encode ended at depth 0: the next one is outermost and reaches fp.
    before = len(writer.calls)
    e.encode(object())
    assert len(writer.calls) == before + 1


def encode_round(nthreads=4, iterations=2000):
    """Threads share one encoder; returns (items encode() reported written, items in fp,
    items encode_to_bytes() got wrong)."""
    from _kelvo import CBORDecodeEOF, CBORDecoder, loads

    fp = io.BytesIO()
    e = CBOREncoder(fp)
    encoded = []
    wrong = []
    barrier = threading.Barrier(nthreads)

    def work(n):
        barrier.wait()
        for i in range(iterations):
            item = [n, i]
            try:
                if (i + n) % 2:
                    e.encode(item)
                    encoded.append(item)
                elif loads(e.encode_to_bytes(item)) != item:
                    wrong.append(item)
            except RuntimeError as exc:
                assert str(exc) == "Already borrowed"

    threads = [threading.Thread(target=work, args=(n,)) for n in range(nthreads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    decoder = CBORDecoder(io.BytesIO(fp.getvalue()))
    found = []
    while True:
        try:
            found.append(decoder.decode())
        except CBORDecodeEOF:
            break
    return sorted(encoded), sorted(found), wrong


def test_threads_mixing_encode_and_encode_to_bytes_lose_no_item():
    # Every encode() that returns has written its own item to fp, once; every
    # encode_to_bytes() returns exactly its own item. The window in which a race can go
    # wrong is short, so several rounds are run.
    deadline = time.monotonic() + 6
    for _ in range(60):
        encoded, found, wrong = encode_round()
        assert wrong == []
        assert found == encoded
        if time.monotonic() > deadline:
            break


class RawTaking(io.RawIOBase):
    """A raw stream whose write() takes at most `limit` bytes, then returns None `stall` times."""

    def __init__(self, limit, stall_after=None):
        self.data = bytearray()
        self.limit = limit
        self.stall_after = stall_after

    def writable(self):
        return True

    def write(self, b):
        if self.stall_after is not None and len(self.data) >= self.stall_after:
            return None
        n = min(len(b), self.limit)
        self.data += bytes(b[:n])
        return n


def test_partial_writes_to_raw_streams_are_completed():
    from _kelvo import dump, dumps

    value = [b"x" * 5000, "y" * 3000, list(range(100))]
    expected = dumps(value)
    fp = RawTaking(1000)
    dump(value, fp)
    assert bytes(fp.data) == expected
    # a non-blocking stream that would block: what it took is reported
    fp = RawTaking(1000, stall_after=2500)
    with pytest.raises(BlockingIOError) as info:
        dump(value, fp)
    assert info.value.characters_written == len(fp.data) == 3004
    assert bytes(fp.data) == expected[:3004]
    # a real unbuffered pipe in non-blocking mode takes what fits
    read_fd, write_fd = os.pipe()
    os.set_blocking(write_fd, False)
    with open(read_fd, "rb", buffering=0) as reader, open(write_fd, "wb", buffering=0) as writer:
        with pytest.raises(BlockingIOError) as info:
            dump(b"z" * 4_000_000, writer)
        assert 0 < info.value.characters_written < 4_000_000
        assert len(reader.read(8_000_000)) == info.value.characters_written
    # other writers' results are not looked at, as before
    for result in (None, 0, "ignored", -5):
        calls = []

        class Writer:
            def writable(self):
                return True

            def write(self, data, calls=calls, result=result):
                calls.append(bytes(data))
                return result

        dump(value, Writer())
        assert b"".join(calls) == expected
