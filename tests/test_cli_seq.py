"""kelvo diag --seq and to-json --seq on sequences longer than the blocks the tool reads: items
cut across blocks, items larger than a block, items the quick conversion leaves to the token
writer, and faults far into the input."""

import json
import math

import pytest
from test_cli import DiagWriter, run, token_lines

import kelvo
from kelvo._cliseq import BLOCK_SIZE


def record(i):
    return {"id": i, "name": f"user {i}", "text": "ü水 " * (i % 7), "score": i / 8, "tags": ["a", "b"][: i % 3],
            "flag": i % 2 == 0, "none": None}


# About three blocks of plain records: the items before a fault, and the run the others go into.
RECORDS = [record(i) for i in range(2200)]
PREFIX = kelvo.dumps_seq(RECORDS)
assert len(PREFIX) > 2 * BLOCK_SIZE


def expected_lines(command, items):
    if command == "diag":
        return [kelvo.diag(kelvo.dumps(item)) for item in items]
    return [json.dumps(item, ensure_ascii=False) for item in items]


# Items that the quick conversion refuses or that stand out, each placed among plain records.
ODD_ITEMS = [
    {1: "an integer key", (1, 2): "an array key"},
    [float("nan"), math.inf, kelvo.undefined, kelvo.CBORSimpleValue(99)],
    kelvo.CBORTag(2, b"\x01" * 20),
    kelvo.CBORTag(300, {"a": kelvo.CBORTag(1, 5)}),
    b"\xfe" * (BLOCK_SIZE + 1000),  # larger than a block
    "x" * (3 * BLOCK_SIZE),
    [[[[[[[[[[[[{"deep": []}]]]]]]]]]]]],
]


def mixed_sequence():
    parts = []
    for k, odd in enumerate(ODD_ITEMS):
        parts.append(kelvo.dumps_seq(RECORDS[k * 150:(k + 1) * 150]))
        parts.append(kelvo.dumps(odd))
    parts.append(kelvo.dumps_seq(RECORDS[:5], indefinite_containers=True, string_referencing=True))
    parts.append(bytes.fromhex("a2616101616102" "1817" "d81c8101" "d81d00"))  # repeated key, short head, sharing
    return b"".join(parts)


MIXED = mixed_sequence()


@pytest.mark.parametrize("source", ["file", "stdin"])
@pytest.mark.parametrize("options", [["to-json"], ["diag"], ["diag", "--widths", "--pretty"]],
                         ids=["to-json", "diag", "diag-widths-pretty"])
def test_long_sequence_is_written_as_the_token_writer_writes_it(options, source, tmp_path):
    pretty = "--pretty" in options
    if options[0] == "to-json":
        expected = token_lines(MIXED)
    else:
        widths = "--widths" in options
        expected = token_lines(MIXED, lambda out: DiagWriter(out, widths=widths, pretty=pretty))
    if source == "file":
        path = tmp_path / "seq.cbor"
        path.write_bytes(MIXED)
        status, stdout, stderr = run(*options, "--seq", str(path))
    else:
        status, stdout, stderr = run(*options, "--seq", stdin=MIXED)
    assert (status, stderr) == (0, "")
    assert stdout.splitlines() == [line for line in expected if line or pretty]


def test_hex_sequence_across_blocks():
    lines = [kelvo.dumps(item).hex() for item in RECORDS[:1500]]
    lines[700] += " " * (5 * BLOCK_SIZE)  # blank text longer than what one read takes in
    text = "\n".join(lines).encode()
    for command in ("to-json", "diag", "check"):
        status, stdout, stderr = run(command, "--seq", "--hex", stdin=text)
        assert (status, stderr) == (0, "")
        assert stdout.splitlines() == ([] if command == "check" else expected_lines(command, RECORDS[:1500]))


N = len(PREFIX)
FAULTS = [
    # id, arguments, what follows the records, message after "kelvo: "
    ("reserved", ["diag"], b"\x81\x1c", f"offset {N + 1}: reserved additional information 28 in initial byte 0x1c"),
    ("truncated", ["to-json"], b"\x82\x01", f"offset {N + 2}: input ends inside an item"),
    ("truncated-long", ["diag"], b"\x5a\x00\x10\x00\x00" + b"\x00" * 70000,
     f"offset {N + 70005}: input ends inside the item at offset {N}"),
    ("bad-utf8", ["to-json"], b"\x82\x62\xc3\x28", f"offset {N + 1}: text string is not valid UTF-8 (at byte 0 of its "
                                                   "content)"),
    ("bad-utf8-diag", ["diag"], b"\x82\x62\xc3\x28", f"offset {N + 1}: text string is not valid UTF-8 (at byte 0 of "
                                                     "its content)"),
    ("strict", ["to-json", "--strict"], b"\x81\x41\x00", f"offset {N + 1}: a byte string has no JSON form (--strict)"),
    ("stray-break", ["to-json"], b"\xff", f"offset {N}: break code where no indefinite-length item is open"),
]


@pytest.mark.parametrize("case", FAULTS, ids=[case[0] for case in FAULTS])
def test_fault_far_into_the_input(case):
    # The items before the fault are written, the one at fault is not, and the message names
    # the offset in the whole input.
    _, args, tail, message = case
    status, stdout, stderr = run(*args, "--seq", stdin=PREFIX + tail)
    assert (status, stderr) == (1, f"kelvo: {message}\n")
    assert stdout.splitlines() == expected_lines(args[0], RECORDS)


def test_writers_agree_on_the_records():
    # The expected lines above stand for the token writers' text.
    data = kelvo.dumps_seq(RECORDS[:20])
    assert token_lines(data) == expected_lines("to-json", RECORDS[:20])
    assert token_lines(data, DiagWriter) == expected_lines("diag", RECORDS[:20])
