"""loads_seq and iterload(threads=N): the same items as one thread decodes, in order, errors
after the items before them, and bounded read-ahead."""

import io
import random
import sys
import threading
from array import array

import pytest

import kelvo
import kelvo._parallel as parallel
from kelvo import CBORDecodeEOF, CBORDecodeError, CBORSequenceEOF, CBORSequenceError, frozendict

FREE_THREADED = not sys._is_gil_enabled()


@pytest.fixture
def small_slices(monkeypatch):
    """Pools and blocks for small inputs, so that every path runs on a few kilobytes."""
    monkeypatch.setattr(parallel, "_POOL_FROM", 0)
    monkeypatch.setattr(parallel, "_SLICE_BYTES", 512)
    monkeypatch.setattr(parallel, "BLOCK_SIZE", 512)


def random_records(seed, n):
    rng = random.Random(seed)
    records = []
    for i in range(n):
        kind = rng.randrange(5)
        if kind == 0:
            records.append({"id": i, "name": "user%d" % i, "tags": ["a", "b"][: rng.randrange(3)],
                            "score": rng.random(), "ok": rng.random() < 0.5})
        elif kind == 1:
            records.append([i, str(i) * rng.randrange(50), None])
        elif kind == 2:
            records.append(b"\x00" * rng.randrange(2000))  # now and then larger than a block
        elif kind == 3:
            records.append(rng.randrange(-2**70, 2**70))
        else:
            records.append({"nested": [{"k": [i] * rng.randrange(5)}]})
    return records


def parallel_iterload(data, threads, **options):
    return kelvo.iterload(io.BytesIO(data), threads=threads, **options)


@pytest.mark.usefixtures("small_slices")
@pytest.mark.parametrize("threads", [1, 2, 4, None])
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_same_items_as_one_thread(seed, threads):
    records = random_records(seed, 400)
    data = kelvo.dumps_seq(records)
    assert kelvo.loads_seq(data, threads=threads) == records
    assert list(parallel_iterload(data, threads)) == records
    assert list(kelvo.iterload(io.BytesIO(data))) == records


@pytest.mark.usefixtures("small_slices")
def test_decode_options_and_hooks_apply_to_every_item():
    data = kelvo.dumps_seq([{"a": [1]}, [2, {"b": 3}]] * 200)
    items = kelvo.loads_seq(data, threads=3, immutable=True)
    assert items[0] == frozendict({"a": (1,)}) and items[-1] == (2, frozendict({"b": 3}))
    seen = set()
    lock = threading.Lock()

    def hook(value, immutable):
        with lock:
            seen.add(threading.get_ident())
        return len(value)

    assert kelvo.loads_seq(data, threads=3, object_hook=hook)[:2] == [1, [2, 1]]
    assert list(parallel_iterload(data, 3, object_hook=hook))[:2] == [1, [2, 1]]
    if FREE_THREADED:
        assert len(seen) >= 2  # hooks ran on the pool's threads
    with pytest.raises(TypeError):
        kelvo.loads_seq(b"", no_such_option=1)
    with pytest.raises(ValueError, match="threads"):
        kelvo.loads_seq(b"", threads=0)


GOOD_ITEMS = list(range(300)) + ["x" * 700] * 3
GOOD = kelvo.dumps_seq(GOOD_ITEMS)
G = len(GOOD)
BAD_ITEM = bytes.fromhex("c16161")  # tag 1 around a text string: decodes to an error
TRUNCATED = bytes.fromhex("8301")
MALFORMED = bytes.fromhex("1c")


@pytest.mark.usefixtures("small_slices")
@pytest.mark.parametrize("threads", [1, 2, 4])
@pytest.mark.parametrize("tail, kind, index, offset", [
    (BAD_ITEM + GOOD + TRUNCATED, CBORSequenceError, 303, G),
    (BAD_ITEM + GOOD + MALFORMED, CBORSequenceError, 303, G),
    (GOOD + TRUNCATED, CBORSequenceEOF, 606, 2 * G + 2),
    (GOOD + MALFORMED + BAD_ITEM, CBORSequenceError, 606, 2 * G),
], ids=["decode-error-before-truncation", "decode-error-before-malformed", "truncated", "malformed"])
def test_first_error_in_order_after_the_items_before_it(threads, tail, kind, index, offset):
    data = GOOD + tail
    with pytest.raises(kind) as info:
        kelvo.loads_seq(data, threads=threads)
    error = info.value
    assert type(error) is kind and (error.index, error.offset) == (index, offset)
    if kind is CBORSequenceEOF:
        assert isinstance(error, CBORDecodeEOF)
    elif tail.startswith(BAD_ITEM):
        assert isinstance(error.__cause__, CBORDecodeError) and "epoch" in str(error)
    # iterload: one thread decodes item by item and raises the decoder's own error
    delivered = []
    with pytest.raises(kind if threads > 1 else CBORDecodeError) as again:
        for item in parallel_iterload(data, threads):
            delivered.append(item)
    assert delivered == GOOD_ITEMS * (index // 303)
    if threads > 1:
        assert (again.value.index, again.value.offset) == (index, offset)


def test_one_thread_when_the_gil_is_enabled(monkeypatch):
    monkeypatch.setattr(sys, "_is_gil_enabled", lambda: True)
    assert parallel.thread_count(8) == 1 and parallel.thread_count(None) == 1
    started = threading.active_count()
    data = kelvo.dumps_seq(range(100_000))
    items = parallel_iterload(data, 8)
    assert next(items) == 0 and threading.active_count() == started
    assert kelvo.loads_seq(data, threads=8) == list(range(100_000))


class Growing:
    """A reader of a long generated sequence that records how far it has been read."""

    def __init__(self, count):
        self.count = count
        self.made = 0
        self.position = 0
        self.pending = b""

    def readable(self):
        return True

    def read(self, n):
        while len(self.pending) < n and self.made < self.count:
            self.pending += kelvo.dumps_seq({"n": i, "pad": "y" * 40} for i in range(self.made, self.made + 100))
            self.made += 100
        block, self.pending = self.pending[:n], self.pending[n:]
        self.position += len(block)
        return block


@pytest.mark.usefixtures("small_slices")
@pytest.mark.parametrize("threads", [2, 3])
def test_read_ahead_is_bounded(threads):
    reader = Growing(60_000)  # about 3 MB, thousands of times the read-ahead
    item_size = len(kelvo.dumps({"n": 10_000, "pad": "y" * 40}))
    most_ahead = 0
    for i, item in enumerate(kelvo.iterload(reader, threads=threads)):
        assert item["n"] == i
        most_ahead = max(most_ahead, reader.position - i * item_size)
    assert i == 59_999
    assert most_ahead <= (2 * threads + 2) * parallel.BLOCK_SIZE


@pytest.mark.parametrize("threads", [1, 2])
def test_iterload_inputs(threads, tmp_path):
    data = kelvo.dumps_seq([1, "two", [3]])
    assert list(kelvo.iterload(data, threads=threads)) == [1, "two", [3]]
    assert list(kelvo.iterload(bytearray(data), threads=threads)) == [1, "two", [3]]

    class Minimal:  # only read() and readable()
        def __init__(self):
            self.fp = io.BytesIO(data)

        def readable(self):
            return True

        def read(self, n=-1):
            return self.fp.read(n)

    assert list(kelvo.iterload(Minimal(), threads=threads)) == [1, "two", [3]]
    path = tmp_path / "seq.cbor"
    path.write_bytes(data)
    with open(path, encoding="latin-1") as text:
        with pytest.raises(TypeError, match="open the file with mode 'rb'"):
            list(kelvo.iterload(text, threads=threads))
    with pytest.raises(TypeError, match="binary file object"):
        kelvo.iterload(42, threads=threads)


def test_loads_seq_on_every_buffer_kind(tmp_path):
    import mmap

    data = kelvo.dumps_seq(random_records(9, 50))
    expected = kelvo.loads_seq(data, threads=1)
    assert kelvo.loads_seq(bytearray(data), threads=2) == expected
    assert kelvo.loads_seq(memoryview(b"\x00" + data)[1:], threads=2) == expected
    path = tmp_path / "seq.cbor"
    path.write_bytes(data)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as view:
        assert kelvo.loads_seq(view, threads=2) == expected
    assert kelvo.loads_seq(b"") == []


@pytest.mark.usefixtures("small_slices")
@pytest.mark.parametrize("threads", [1, 2])
def test_items_decode_as_they_would_alone(threads):
    # runs of items are decoded in one call: nesting limits, indefinite lengths and shared
    # values must still be judged item by item
    nested = bytes.fromhex("818101") * 50
    assert kelvo.loads_seq(nested, threads=threads, max_depth=2) == [[[1]]] * 50
    with pytest.raises(CBORSequenceError, match="nesting depth") as info:
        kelvo.loads_seq(nested, threads=threads, max_depth=1)
    assert info.value.index == 0
    indefinite = kelvo.dumps_seq(range(100)) + bytes.fromhex("9f01ff")
    with pytest.raises(CBORSequenceError, match="indefinite") as info:
        kelvo.loads_seq(indefinite, threads=threads, allow_indefinite=False)
    assert info.value.index == 100
    shared = [7, 7]
    one = kelvo.dumps([shared, shared], value_sharing=True)
    items = kelvo.loads_seq(one * 40, threads=threads)
    assert all(a is b for a, b in items) and items[0][0] is not items[1][0]
    reference = bytes.fromhex("d81d00")  # a reference to the first shared value, in an item of its own
    with pytest.raises(CBORSequenceError) as info:
        kelvo.loads_seq(one * 40 + reference, threads=threads)
    assert info.value.index == 40


@pytest.mark.usefixtures("small_slices")
@pytest.mark.parametrize("threads", [2, 3])
@pytest.mark.parametrize("at", [0, 20, 150, 302], ids=["first", "in-the-head", "middle", "last"])
def test_decode_error_anywhere_named_as_on_one_thread(at, threads):
    # the workers start on the head of the sequence while the calling thread scans the rest:
    # an error on either side of that cut is still the first in order
    encoded = [kelvo.dumps(item) for item in GOOD_ITEMS]
    data = b"".join(encoded[:at]) + BAD_ITEM + b"".join(encoded[at:])
    with pytest.raises(CBORSequenceError) as info:
        kelvo.loads_seq(data, threads=threads)
    assert (info.value.index, info.value.offset) == (at, len(b"".join(encoded[:at])))


@pytest.mark.usefixtures("small_slices")
@pytest.mark.parametrize("threads", [1, 2])
def test_shared_values_met_after_the_head_stay_within_their_item(threads):
    # the head has no tag 28 or 29 and is decoded in runs of items; the rest has them, and a
    # reference there must not reach a value shared by another item
    head = kelvo.dumps_seq(range(400))
    shared = bytes.fromhex("82d81c6161d81d00")  # ["a", <the same "a">]
    assert kelvo.loads_seq(head + shared * 3, threads=threads) == list(range(400)) + [["a", "a"]] * 3
    with pytest.raises(CBORSequenceError) as info:
        kelvo.loads_seq(head + bytes.fromhex("d81c6161") + bytes.fromhex("d81d00"), threads=threads)
    assert info.value.index == 401


@pytest.mark.usefixtures("small_slices")
@pytest.mark.parametrize("threads", [1, 2])
def test_slice_that_fails_once_is_decoded_again_and_the_run_goes_on(threads):
    # a hook that fails the first time only: the slice's one-call decode fails, the slice is
    # decoded again item by item without error, and the slices after it are then decoded too
    records = [{"n": i} for i in range(2000)]
    failed = []
    lock = threading.Lock()

    def hook(value, immutable):
        with lock:
            if value["n"] == 700 and not failed:
                failed.append(True)
                raise ValueError("once")
        return value

    assert kelvo.loads_seq(kelvo.dumps_seq(records), threads=threads, object_hook=hook) == records
    assert failed


@pytest.mark.parametrize("call, error", [
    (lambda run: run.add(array("Q", [5, 3]), array("Q", [0, 2]), 0, True), ValueError),  # ends go back
    (lambda run: run.add(array("Q", [3, 99]), array("Q", [0, 2]), 0, True), ValueError),  # past the data
    (lambda run: run.add(array("Q", [3, 5]), array("Q", [0, 1]), 0, True), ValueError),  # cuts stop short
    (lambda run: run.add(array("Q", [3, 5]), array("Q", [0, 1, 1, 2]), 0, True), ValueError),  # empty slice
    (lambda run: run.add(array("Q", [3, 5]), array("Q", [0, 2]), 3, True), ValueError),  # first item empty
    (lambda run: run.add(array("d", [3.0]), array("Q", [0, 1]), 0, True), TypeError),
    (lambda run: run.place(0, [1]), ValueError),  # no slice yet
    (lambda run: (run.close(), run.add(array("Q", [3]), array("Q", [0, 1]), 0, True)), RuntimeError),
], ids=["ends-decrease", "end-past-data", "cuts-short", "empty-slice", "empty-first-item", "not-offsets",
        "place-unknown", "add-after-close"])
def test_slice_run_refuses_bounds_it_cannot_trust(call, error):
    run = parallel.SliceRun(kelvo.loads, None, b"\x01\x02\x03\x04\x05")
    with pytest.raises(error):
        call(run)
    run.close()
    run.run()
    assert run.items() == []


@pytest.mark.skipif(not FREE_THREADED, reason="with the GIL iterload uses no pool")
@pytest.mark.usefixtures("small_slices")
def test_calls_at_once_share_the_workers_and_closing_one_stops_its_hooks():
    records = random_records(4, 300)
    data = kelvo.dumps_seq(records)
    results, errors = {}, []

    def consume(threads):
        try:
            results[threads] = list(parallel_iterload(data, threads))
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    # interleaved generators: the second asks for more workers than the pool has
    first, second = parallel_iterload(data, 2), parallel_iterload(data, 4)
    mixed = list(zip(first, second, strict=True))
    assert [a for a, _ in mixed] == records and [b for _, b in mixed] == records
    workers = [threading.Thread(target=consume, args=(n,)) for n in (2, 3, 5)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert not errors and all(items == records for items in results.values())

    calls = []
    items = kelvo.iterload(io.BytesIO(data), threads=3, object_hook=lambda d: calls.append(1) or d)
    next(items)
    items.close()
    seen = len(calls)
    threading.Event().wait(0.05)
    assert len(calls) == seen
