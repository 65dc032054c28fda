"""kelvo check on a stream: the first fault in input order, whatever the block size, in memory
bounded by the largest item."""

import io
import pathlib
import subprocess
import sys
import tracemalloc
import types

import pytest

import kelvo
from kelvo._check import check_stream
from kelvo._cli import main
from kelvo._wellformed import MalformedError

KELVO = str(pathlib.Path(sys.executable).parent / "kelvo")

KEY_ORDER = bytes.fromhex("a26000181800")  # {"": 0, 24: 0}: keys out of bytewise order
GOOD = kelvo.dumps_seq([{"a": i, "b": [i, "x" * (i % 30)]} for i in range(200)])

CASES = [
    # input, --seq, --deterministic, the fault (None: passes)
    (GOOD, True, True, None),
    (GOOD + KEY_ORDER + GOOD + b"\x83\x01", True, True, f"offset {len(GOOD) + 3}: map keys out of bytewise order"),
    (GOOD + b"\x83\x01", True, True, f"offset {len(GOOD) + 2}: input ends inside an item"),
    (GOOD + b"\x82\xa2\x60\x00\x18\x18\x00\x1c", True, True,
     f"offset {len(GOOD) + 4}: map keys out of bytewise order"),
    (GOOD + b"\x82\xa2\x60\x00\x18\x18\x00\x1c", True, False,
     f"offset {len(GOOD) + 7}: reserved additional information 28 in initial byte 0x1c"),
    (GOOD + b"\x62\xc3\x28", True, False,
     f"offset {len(GOOD)}: text string is not valid UTF-8 (at byte 0 of its content)"),
    (b"\x9f\x01\xff" + GOOD, True, True, "offset 0: indefinite length"),
    (b"\x9f\x01\xff" + GOOD, True, False, None),
    (KEY_ORDER + b"\x01", False, False,
     "offset 6: data after the end of the first item (use --seq to read a CBOR sequence)"),
    (KEY_ORDER + b"\x1c", False, True, "offset 3: map keys out of bytewise order"),
    (b"\x9f" + GOOD, False, False, f"offset {len(GOOD) + 1}: input ends inside an item"),
    (b"", False, True, "offset 0: the input is empty (no CBOR item)"),
    (b"", True, True, None),
]


@pytest.mark.parametrize("block_size", [1, 5, 64, 1 << 16])
@pytest.mark.parametrize("case", CASES, ids=[f"{c[0][-8:].hex()}-seq{int(c[1])}-det{int(c[2])}" for c in CASES])
def test_first_fault_in_input_order(case, block_size):
    data, seq, deterministic, fault = case
    if fault is None:
        check_stream(io.BytesIO(data), seq=seq, deterministic=deterministic, block_size=block_size)
        return
    with pytest.raises(MalformedError) as info:
        check_stream(io.BytesIO(data), seq=seq, deterministic=deterministic, block_size=block_size)
    assert str(info.value) == fault


def test_command_line(tmp_path):
    path = tmp_path / "seq.cbor"
    path.write_bytes(GOOD + KEY_ORDER + b"\x62\xc3\x28")
    out = subprocess.run([KELVO, "check", "--seq", str(path)], capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stderr) == (1, f"kelvo: offset {len(GOOD) + 6}: text string is not valid UTF-8 "
                                               "(at byte 0 of its content)\n")
    out = subprocess.run([KELVO, "check", "--seq", "--deterministic", str(path)], capture_output=True, text=True,
                         timeout=60)
    assert (out.returncode, out.stderr) == (1, f"kelvo: offset {len(GOOD) + 3}: map keys out of bytewise order\n")


class Generated:
    """A long sequence made while it is read, with only read() and readable()."""

    def __init__(self, count, item=b"\xa2\x61a\x01\x61b\x82\x02\x63xyz"):
        self.left = count
        self.item = item
        self.current = io.BytesIO()

    def readable(self):
        return True

    def read(self, n=-1):
        block = self.current.read(n)
        while len(block) < n and self.left:
            batch = min(self.left, max(1, (1 << 16) // len(self.item)))
            self.left -= batch
            self.current = io.BytesIO(self.item * batch)
            block += self.current.read(n - len(block))
        return block


@pytest.mark.parametrize("deterministic", [False, True])
def test_memory_is_bounded_by_the_largest_item(deterministic):
    big = kelvo.dumps(b"\x00" * (2 << 20))
    reader = Generated(1_500_000)  # about 20 MB
    tracemalloc.start()
    try:
        assert check_stream(reader, seq=True, deterministic=deterministic) == 1_500_000
        _, peak = tracemalloc.get_traced_memory()
        assert peak < 1 << 20
        tracemalloc.reset_peak()
        assert check_stream(Generated(3, item=big), seq=True, deterministic=deterministic) == 3
        _, peak = tracemalloc.get_traced_memory()
        assert peak < (4 * len(big) if deterministic else 1 << 20)
    finally:
        tracemalloc.stop()


def test_a_reader_with_only_read_and_readable(monkeypatch, capsys):
    reader = Generated(10)
    monkeypatch.setattr(sys, "stdin", types.SimpleNamespace(buffer=reader))
    assert main(["check", "--seq", "--deterministic"]) == 0
    monkeypatch.setattr(sys, "stdin", types.SimpleNamespace(buffer=Generated(2)))
    assert main(["check"]) == 1
    assert capsys.readouterr().err == "kelvo: offset 12: data after the end of the first item (use --seq to read a " \
                                      "CBOR sequence)\n"
