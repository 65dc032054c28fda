"""The kelvo command-line tool, run as the installed console script in a subprocess."""

import io
import json
import math
import pathlib
import subprocess
import sys

import pytest

import kelvo
import kelvo.deterministic
from kelvo._cli import DiagWriter, JSONWriter
from kelvo._wellformed import Reader

KELVO = str(pathlib.Path(sys.executable).parent / "kelvo")
VECTORS = json.loads((pathlib.Path(__file__).parent / "data" / "appendix_a.json").read_text())


def run(*args, stdin=b"", tool=(KELVO,)):
    out = subprocess.run([*tool, *args], input=stdin, capture_output=True, timeout=60)
    stderr = out.stderr.decode()
    assert "Traceback" not in stderr
    return out.returncode, out.stdout.decode("utf-8", "surrogateescape"), stderr


def lines_of(*args, stdin):
    status, stdout, stderr = run(*args, stdin=stdin)
    assert (status, stderr) == (0, "")
    return stdout.splitlines()


# Appendix A items whose diagnostic notation the vectors do not give as such: the bignums, which
# diag shows as the tags they are on the wire, and the indefinite-length items.
APPENDIX_DIAG = {
    "c249010000000000000000": "2(h'010000000000000000')",
    "c349010000000000000000": "3(h'010000000000000000')",
    "7f657374726561646d696e67ff": '(_ "strea", "ming")',
    "9fff": "[_ ]",
    "9f018202039f0405ffff": "[_ 1, [2, 3], [_ 4, 5]]",
    "9f01820203820405ff": "[_ 1, [2, 3], [4, 5]]",
    "83018202039f0405ff": "[1, [2, 3], [_ 4, 5]]",
    "83019f0203ff820405": "[1, [_ 2, 3], [4, 5]]",
    "9f0102030405060708090a0b0c0d0e0f101112131415161718181819ff":
        "[_ 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25]",
    "bf61610161629f0203ffff": '{_ "a": 1, "b": [_ 2, 3]}',
    "826161bf61626163ff": '["a", {_ "b": "c"}]',
    "bf6346756ef563416d7421ff": '{_ "Fun": true, "Amt": -2}',
}
# What to-json makes of the items given in diagnostic notation (JSON cannot hold them).
APPENDIX_JSON = {
    "f97c00": None, "f97e00": None, "f9fc00": None, "fa7f800000": None, "fa7fc00000": None,
    "faff800000": None, "fb7ff0000000000000": None, "fb7ff8000000000000": None, "fbfff0000000000000": None,
    "f7": None, "f0": None, "f8ff": None,
    "c074323031332d30332d32315432303a30343a30305a": "2013-03-21T20:04:00Z",
    "c11a514b67b0": 1363896240, "c1fb41d452d9ec200000": 1363896240.5,
    "d74401020304": "AQIDBA", "d818456449455446": "ZElFVEY",
    "d82076687474703a2f2f7777772e6578616d706c652e636f6d": "http://www.example.com",
    "40": "", "4401020304": "AQIDBA", "a201020304": {"1": 2, "3": 4}, "5f42010243030405ff": "AQIDBAU",
}
# f8 18 is simple(24) in the older RFC 7049 list; two-byte simple values below 32 are not well-formed.
WELL_FORMED = [v for v in VECTORS if v["hex"] != "f818"]


def appendix_input():
    return "\n".join(v["hex"] for v in WELL_FORMED).encode()


def test_appendix_a_diag():
    lines = lines_of("diag", "--seq", "--hex", stdin=appendix_input())
    assert len(lines) == len(WELL_FORMED)
    for vector, line in zip(WELL_FORMED, lines, strict=True):
        expected = vector.get("diagnostic", APPENDIX_DIAG.get(vector["hex"]))
        if expected is None:
            # Items that JSON holds read the same in diagnostic notation.
            assert json.loads(line) == vector["decoded"], vector["hex"]
        else:
            assert line == expected, vector["hex"]


def test_appendix_a_to_json():
    lines = lines_of("to-json", "--seq", "--hex", stdin=appendix_input())
    assert len(lines) == len(WELL_FORMED)
    for vector, line in zip(WELL_FORMED, lines, strict=True):
        expected = APPENDIX_JSON[vector["hex"]] if "diagnostic" in vector else vector["decoded"]
        value = json.loads(line)
        assert value == expected and type(value) is type(expected), vector["hex"]
        if isinstance(expected, float):
            assert math.copysign(1, value) == math.copysign(1, expected)


DIAG_CASES = [
    # hex, default, --widths
    ("1817", "23_0", "23_0"),
    ("1818", "24", "24_0"),
    ("190018", "24_1", "24_1"),
    ("3b0000000000000000", "-1_3", "-1_3"),
    ("f93e00", "1.5", "1.5_1"),
    ("fa47c35000", "100000.0", "100000.0_2"),
    ("fb3ff8000000000000", "1.5", "1.5_3"),
    ("fb7e37e43c8800759c", "1.0e+300", "1.0e+300_3"),
    ("f8ff", "simple(255)", "simple(255)"),
    ("580161", "h'61'_0", "h'61'_0"),
    ("7818" + "61" * 24, '"' + "a" * 24 + '"', '"' + "a" * 24 + '"_0'),
    ("62c3bc", '"ü"', '"ü"'),
    ("6a0a22090001e2808f5c2f", r'"\n\"\t\u0000\u0001\u200f\\/"', r'"\n\"\t\u0000\u0001\u200f\\/"'),
    ("5fff", "''_", "''_"),
    ("7fff", '""_', '""_'),
    ("5f4101ff", "(_ h'01')", "(_ h'01')"),
    ("980100", "[_0 0]", "[_0 0]"),
    ("9800", "[_0 ]", "[_0 ]"),
    ("a0", "{}", "{}"),
    ("a2010201f6", "{1: 2, 1: null}", "{1: 2, 1: null}"),
    ("d8200f", "32(15)", "32_0(15)"),
    ("d8170f", "23_0(15)", "23_0(15)"),
    ("d9d9f7c1c06161", '55799(1(0("a")))', '55799_1(1(0("a")))'),
    ("bf8001ff", "{_ []: 1}", "{_ []: 1}"),
]


@pytest.mark.parametrize("widths", [False, True], ids=["plain", "widths"])
def test_diag_table(widths):
    stdin = "\n".join(case[0] for case in DIAG_CASES).encode()
    args = ["diag", "--seq", "--hex"] + (["--widths"] if widths else [])
    assert lines_of(*args, stdin=stdin) == [case[2 if widths else 1] for case in DIAG_CASES]


def test_diag_pretty_and_module_entry(tmp_path):
    path = tmp_path / "doc.cbor"
    path.write_bytes(bytes.fromhex("a2616181d8200161629fa0ff"))
    expected = '{\n  "a": [\n    32(1)\n  ],\n  "b": [_\n    {}\n  ]\n}\n'
    assert run("diag", "--pretty", str(path)) == (0, expected, "")
    assert run("diag", "--pretty", str(path), tool=(sys.executable, "-m", "kelvo")) == (0, expected, "")


def test_help_for_every_subcommand():
    status, stdout, _ = run("--help")
    assert status == 0 and all(name in stdout for name in ("diag", "to-json", "from-json", "check"))
    for command, option in [("diag", "--widths"), ("to-json", "--strict"), ("from-json", "--canonical"),
                            ("from-json", "--deterministic"), ("check", "--deterministic")]:
        status, stdout, _ = run(command, "--help")
        assert status == 0 and option in stdout and "--seq" in stdout and "--hex" in stdout


TO_JSON_CASES = [
    # hex, JSON, what --strict says (None: allowed)
    ("a3016161626869f6f5f5", '{"1": "a", "hi": null, "true": true}', "offset 1: a map key other than a text string"),
    ("a1820102f7", '{"[1, 2]": null}', "offset 1: a map key other than a text string"),
    ("43fffeff", '"__7_"', "offset 0: a byte string"),
    ("5f41fb41ffff", '"-_8"', "offset 0: a byte string"),
    ("c25f41014100ff", "256", None),
    ("c3420100", "-257", None),
    ("c26161", '"a"', "offset 0: a tag (other than a bignum)"),
    ("8201c11a514b67b0", "[1, 1363896240]", "offset 2: a tag (other than a bignum)"),
    ("83f97e00f97c00fbfff0000000000000", "[null, null, null]", "offset 1: NaN"),
    ("82f7f820", "[null, null]", "offset 1: undefined"),
    ("7f6161ff", '"a"', None),
    ("fb3ff199999999999a", "1.1", None),
]


@pytest.mark.parametrize("strict", [False, True], ids=["mapped", "strict"])
@pytest.mark.parametrize("case", TO_JSON_CASES, ids=[case[0] for case in TO_JSON_CASES])
def test_to_json_mapping(case, strict):
    hex_text, expected, refusal = case
    status, stdout, stderr = run("to-json", "--hex", *(["--strict"] if strict else []), stdin=hex_text.encode())
    if strict and refusal:
        assert (status, stdout) == (1, "")
        assert stderr == f"kelvo: {refusal} has no JSON form (--strict)\n"
    else:
        assert (status, stdout, stderr) == (0, expected + "\n", "")


def test_json_round_trips(tmp_path):
    document = {"name": "kelvo", "n": [0, -1, 2**70, -(2**70)], "f": [1.5, 0.1, -0.0, 1e300],
                "nested": {"a": [True, False, None, {}], "ü": "水"}}
    path = tmp_path / "doc.json"
    path.write_text(json.dumps(document))
    status, stdout, stderr = run("from-json", str(path))
    assert (status, stderr) == (0, "")
    assert stdout.encode("utf-8", "surrogateescape") == kelvo.dumps(document)
    status, hex_out, _ = run("from-json", "--hex", "--canonical", str(path))
    assert hex_out == kelvo.dumps(document, canonical=True).hex() + "\n"
    assert json.loads(lines_of("to-json", "--hex", stdin=hex_out.encode())[0]) == document


def test_sequences_both_ways():
    records = [{"id": 1, "tags": ["a"]}, [], "x", 2.5, None, {"deep": [[[1]]]}]
    json_lines = "".join(json.dumps(r) + "\n" for r in records) + "\n"  # a blank line is skipped
    status, hex_seq, stderr = run("from-json", "--seq", "--hex", stdin=json_lines.encode())
    assert (status, stderr) == (0, "")
    assert hex_seq.splitlines() == [kelvo.dumps(r).hex() for r in records]
    assert [json.loads(line) for line in lines_of("to-json", "--seq", "--hex", stdin=hex_seq.encode())] == records
    raw = kelvo.dumps_seq(records)
    assert lines_of("diag", "--seq", stdin=raw)[:3] == ['{"id": 1, "tags": ["a"]}', "[]", '"x"']
    assert lines_of("diag", "--seq", stdin=b"") == []


BAD_INPUT = [
    # arguments, input, status, stderr line after "kelvo: "
    (["diag"], b"\x82\x01", 1, "offset 2: input ends inside an item"),
    (["diag"], b"\x5a\xff\xff\xff\xff\x00", 1, "offset 6: input ends inside the item at offset 0"),
    (["diag"], b"", 1, "offset 0: the input is empty (no CBOR item)"),
    (["diag"], b"\x01\x02", 1, "offset 1: data after the end of the first item (use --seq to read a CBOR sequence)"),
    (["diag", "--seq"], b"\x01\x81\x9f\x1c", 1, "offset 3: reserved additional information 28 in initial byte 0x1c"),
    (["diag"], b"\x81\xff", 1, "offset 1: break code where no indefinite-length item is open"),
    (["diag"], b"\xbf\x01\xff", 1, "offset 2: break code after a map key, where its value was expected"),
    (["diag"], b"\x5f\x61\x61\xff", 1, "offset 1: a text string inside an indefinite-length byte string, "
                                       "where only definite-length chunks of the same type may stand"),
    (["diag"], b"\x3f", 1, "offset 0: indefinite length is not allowed for a negative integer"),
    (["diag"], b"\xf8\x18", 1, "offset 0: simple value 24 written in two bytes (the two-byte form starts at 32)"),
    (["to-json"], b"\x82\x62\xc3\x28", 1, "offset 1: text string is not valid UTF-8 (at byte 0 of its content)"),
    (["diag", "--hex"], b"82 01\n0g", 1, "character 7 of the hexadecimal text: b'g' is not a hexadecimal digit"),
    (["diag", "--hex"], b"820", 1, "the hexadecimal text has an odd number of digits"),
    (["to-json", "--hex", "--seq"], b"01 " * 40000 + b"9f" + b"01" * 30000 + b"x", 1,
     "character 180002 of the hexadecimal text: b'x' is not a hexadecimal digit"),
    (["from-json"], b'{"a": [1,, 2]}', 1, "offset 9: invalid JSON: Expecting value"),
    (["from-json", "--seq"], b'[1]\n["\xc3\xbc", }\n', 1, "offset 11: invalid JSON: Expecting value"),
    (["from-json"], b'"\xff"', 1, "offset 1: the JSON text is not valid UTF-8"),
]


@pytest.mark.parametrize("case", BAD_INPUT, ids=[f"{' '.join(c[0])}:{c[1][:6].hex()}" for c in BAD_INPUT])
def test_bad_input_is_one_line_with_the_offset(case):
    args, stdin, status, message = case
    assert run(*args, stdin=stdin)[0::2] == (status, f"kelvo: {message}\n")


CHECK_CASES = [
    # arguments, input, status, standard error
    (["check"], bytes.fromhex("a2600018180001"), 1,
     "kelvo: offset 6: data after the end of the first item (use --seq to read a CBOR sequence)\n"),
    (["check"], bytes.fromhex("a26000181800"), 0, ""),
    (["check", "--deterministic"], bytes.fromhex("a26000181800"), 1,
     "kelvo: offset 3: map keys out of bytewise order\n"),
    (["check", "--deterministic"], bytes.fromhex("a21818006000"), 0, ""),
    (["check"], bytes.fromhex("1817"), 0, ""),
    (["check", "--deterministic"], bytes.fromhex("8201fa3fc00000"), 1,
     "kelvo: offset 2: float that a shorter width holds exactly\n"),
    (["check", "--deterministic"], bytes.fromhex("9f01ff"), 1, "kelvo: offset 0: indefinite length\n"),
    (["check", "--deterministic"], bytes.fromhex("1c"), 1,
     "kelvo: offset 0: reserved additional information 28 in initial byte 0x1c\n"),
    (["check", "--deterministic"], b"", 1, "kelvo: offset 0: the input is empty (no CBOR item)\n"),
    (["check", "--deterministic", "--seq"], b"", 0, ""),
    (["check", "--deterministic", "--seq"], bytes.fromhex("00a0d90102820102"), 0, ""),
    (["check", "--deterministic", "--seq"], bytes.fromhex("00d90102820201"), 1,
     "kelvo: offset 6: set members out of bytewise order\n"),
    (["check", "--deterministic", "--hex"], b"a2 1818 00\n6000\n", 0, ""),
    (["check", "--deterministic", "--hex"], b"a2 6000 1818 00", 1, "kelvo: offset 3: map keys out of bytewise order\n"),
]


@pytest.mark.parametrize("case", CHECK_CASES, ids=[f"{' '.join(c[0])}:{c[1][:8].hex()}" for c in CHECK_CASES])
def test_check(case):
    args, stdin, status, stderr = case
    assert run(*args, stdin=stdin) == (status, "", stderr)


HEX_HINT = " (the input looks like hexadecimal text: read it with --hex)"
JSON_HINT = " (the input looks like JSON: convert it with 'kelvo from-json')"
TRAILING = "data after the end of the first item (use --seq to read a CBOR sequence)"
HINTS = [
    # id, arguments, input, status, standard output, standard error
    ("hex", ["diag"], b"a1 01 02\n", 1, '"1"\n', f"kelvo: offset 2: {TRAILING}{HEX_HINT}\n"),
    ("hex-check", ["check"], b"8201\n02\n", 1, "", f"kelvo: offset 2: {TRAILING}{HEX_HINT}\n"),
    ("json-map", ["to-json"], b'{"a": 1}\n', 1, "",
     f"kelvo: offset 9: input ends inside the item at offset 0{JSON_HINT}\n"),
    ("json-array", ["check"], b"  [1, 2]", 1, "", f"kelvo: offset 1: {TRAILING}{JSON_HINT}\n"),
    ("not-hex", ["diag"], b"a1 01 0z", 1, '"1"\n', f"kelvo: offset 2: {TRAILING}\n"),
    ("only-space", ["check"], b" \n", 1, "", f"kelvo: offset 1: {TRAILING}\n"),
    ("with-hex", ["diag", "--hex"], b"a1 01", 1, "", "kelvo: offset 2: input ends inside an item\n"),
    # a well-formed item is never refused for what it looks like
    ("digit-item", ["diag"], b"1", 0, "-18\n", ""),
    ("digits-seq", ["check", "--seq"], b"12 34", 0, "", ""),
]


@pytest.mark.parametrize("case", HINTS, ids=[case[0] for case in HINTS])
def test_faults_in_text_input_suggest_the_right_tool(case):
    _, args, stdin, status, stdout, stderr = case
    assert run(*args, stdin=stdin) == (status, stdout, stderr)


def test_version():
    assert run("--version") == (0, f"kelvo {kelvo.__version__}\n", "")


@pytest.mark.parametrize("redirect, message", [(">&-", "standard output is closed"),
                                               ("<&-", "standard input is closed")],
                         ids=["stdout", "stdin"])
def test_closed_standard_streams(redirect, message):
    out = subprocess.run(["sh", "-c", f'"$0" diag {redirect}', KELVO], capture_output=True, timeout=60)
    assert (out.returncode, out.stderr.decode()) == (1, f"kelvo: {message}\n")


def test_from_json_deterministic():
    text = b'{"b": 1, "a": [1.5, 100000.0, 1.1], "aa": {"": null}}'
    status, stdout, stderr = run("from-json", "--deterministic", "--hex", stdin=text)
    assert (status, stderr) == (0, "")
    assert stdout == "a3616183f93e00fa47c35000fb3ff199999999999a616201626161a160f6\n"
    kelvo.deterministic.check(bytes.fromhex(stdout))
    status, _, stderr = run("from-json", "--deterministic", "--canonical", stdin=b"{}")
    assert status == 2 and "not allowed with argument" in stderr


@pytest.mark.parametrize("command", ["diag", "to-json"])
def test_items_before_a_fault_are_written(command):
    assert run(command, "--seq", stdin=b"\x01\x62ab\xa1\x01\x02\x82\x01")[:2] == (1, '1\n"ab"\n{1: 2}\n'
                                                                              if command == "diag" else
                                                                              '1\n"ab"\n{"1": 2}\n')


def token_lines(data, make_writer=JSONWriter):
    """The text of each item written by a token writer alone, in this process."""
    lines = []
    reader = Reader(io.BytesIO(data))
    while not reader.at_end():
        out = []
        writer = make_writer(out)
        for token in reader.tokens():
            writer.feed(token)
        lines.extend("".join(out).split("\n"))
    return lines


DIAG_CORPUS = [
    {"a": [1, -2, 24, -25, 2**64 - 1, -(2**64), 2**70], "b": {"c": b"\x00\x01", "d": [1.5, -0.0, 1e300, 0.1]}},
    {1: "int key", b"k": "bytes key", (1, 2): "array key", 1.5: "float key", None: "null key", (): [], "": {}},
    kelvo.CBORTag(6, [kelvo.CBORTag(2, b"\x01\x00"), kelvo.CBORTag(300, "x" * 30), {kelvo.CBORTag(1, 2): 3}]),
    [kelvo.undefined, kelvo.CBORSimpleValue(99), kelvo.CBORSimpleValue(5), True, False, None, float("nan"),
     float("inf"), 65504.0, 100000.0, 5.960464477539063e-08, "ü水\u200f\n\"", b"x" * 300],
    list(range(30)), {str(i): i for i in range(25)}, {1, 2}, [[[[[[[[{"deep": [()]}]]]]]]]],
]


def test_to_json_fast_path_agrees_with_the_token_writer():
    # to-json decodes most items with the extension; items it cannot render exactly go to the
    # token writer. Both must give the same text for every kind of item.
    items = [
        {"a": [1, -2, 2**64 - 1, -(2**64)], "b": {"c": b"\x00\x01", "d": [1.5, -0.0, 1e300, 5e-324]}},
        {1: "int key", b"k": "bytes key", (1, 2): "array key", 1.5: "float key", None: "null key"},
        kelvo.CBORTag(6, [kelvo.CBORTag(2, b"\x01\x00"), kelvo.CBORTag(3, b""), kelvo.CBORTag(2, "text")]),
        {kelvo.CBORTag(0, "x"): 1, "nan": float("nan"), "inf": [float("inf"), -float("inf")]},
        [kelvo.undefined, kelvo.CBORSimpleValue(99), True, False, None, "ü水\u200f\n\"", ""],
        [[[[[[[[[[{"deep": []}]]]]]]]]]],
    ]
    data = kelvo.dumps_seq(items, string_referencing=True) + kelvo.dumps_seq(items, indefinite_containers=True)
    data += bytes.fromhex("a2616101616102") + bytes.fromhex("d9010082626162d81900")  # repeated key, stringref
    assert lines_of("to-json", "--seq", stdin=data) == token_lines(data)


@pytest.mark.parametrize("options", [[], ["--widths"], ["--pretty", "--widths"]], ids=["plain", "widths", "pretty"])
def test_diag_fast_path_agrees_with_the_token_writer(options):
    # diag renders an item from its decoded value when the value re-encodes to the same bytes,
    # and otherwise from the tokens: both must give the same text.
    data = kelvo.dumps_seq(DIAG_CORPUS) + kelvo.dumps_seq(DIAG_CORPUS, canonical=True)
    data += kelvo.dumps_seq(DIAG_CORPUS, indefinite_containers=True, string_referencing=True)
    data += bytes.fromhex("a2616101616102" "1817" "f93e00" "82f93e00fb3ff8000000000000")
    widths, pretty = "--widths" in options, "--pretty" in options
    expected = token_lines(data, lambda out: DiagWriter(out, widths=widths, pretty=pretty))
    assert lines_of("diag", "--seq", *options, stdin=data) == [line for line in expected if line or pretty]


@pytest.mark.parametrize("args", [["diag", "/nonexistent/x.cbor"], ["diag", "--bogus"], ["transmogrify"], []],
                         ids=["missing-file", "unknown-option", "unknown-command", "no-command"])
def test_bad_usage_exits_with_2(args):
    status, stdout, stderr = run(*args)
    assert status == 2 and stdout == "" and stderr.startswith("usage: kelvo")
