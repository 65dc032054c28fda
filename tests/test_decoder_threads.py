"""Decoding from several threads at once, and the access rules of one shared decoder."""

import io
import threading

import pytest

from _kelvo import CBORDecodeError, CBORDecoder, loads

from decoder_support import h

INPUTS = [
    h("a3 61 61 83 01 02 03 61 62 a1 61 63 f5 61 64 d8 1c 81 d8 1d 00"),
    h("9f 7f 62 6162 ff 5f 41 01 ff c6 82 01 02 fb 3ff199999999999a ff"),
    h("d9 0100 83 63 616263 d8 19 00 d9 0102 82 01 02"),
    b"\x99\x03\xe8" + b"\xa1\x61\x6b\x19\x01\x00" * 1000,
]


def test_threads_decode_independent_inputs():
    expected = [repr(loads(data)) for data in INPUTS]
    barrier = threading.Barrier(4)
    failures = []

    def work(offset):
        barrier.wait()
        for i in range(100):
            data = INPUTS[(i + offset) % len(INPUTS)]
            if repr(loads(data)) != expected[(i + offset) % len(INPUTS)]:
                failures.append(i)
            dec = CBORDecoder(io.BytesIO(data * 2), read_size=(i % 7) + 1)
            if repr(dec.decode()) != expected[(i + offset) % len(INPUTS)]:
                failures.append(-i)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


class Blocking:
    def __init__(self):
        self.entered = threading.Event()
        self.release = threading.Event()

    def readable(self):
        return True

    def seekable(self):
        return False

    def read(self, n):
        self.entered.set()
        self.release.wait(10)
        return b"\x01"


def test_shared_decoder_refuses_a_second_thread():
    fp = Blocking()
    dec = CBORDecoder(fp)
    results = []
    worker = threading.Thread(target=lambda: results.append(dec.decode()))
    worker.start()
    try:
        assert fp.entered.wait(10)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            dec.decode()
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            dec.read(1)
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            dec.max_depth
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            dec.tag_hook = None
    finally:
        fp.release.set()
        worker.join()
    assert results == [1]


def test_hook_reentering_its_decoder():
    dec = CBORDecoder(io.BytesIO(h("d9 03e8 01")))
    dec.tag_hook = lambda tag, immutable: dec.decode()
    with pytest.raises(CBORDecodeError) as info:
        dec.decode()
    assert str(info.value) == "error decoding semantic tag 1000"
    assert type(info.value.__cause__) is RuntimeError
    assert str(info.value.__cause__) == "Already borrowed"
