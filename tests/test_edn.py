"""Diagnostic notation both ways: kelvo.from_diag (text to exact bytes), kelvo.diag, and the
from-diag subcommand."""

import io
import json
import random
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import kelvo
from kelvo import EDNError, _diag, _edn, diag, from_diag
from kelvo._wellformed import Reader

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
APPENDIX_A = json.loads((HERE / "data" / "appendix_a_diag.json").read_text())


@pytest.mark.parametrize("entry", APPENDIX_A, ids=lambda e: e.get("with_width", e["diagnostic"])[:40])
def test_appendix_a(entry):
    text = entry["diagnostic"] if entry.get("preferred", True) else entry["with_width"]
    assert from_diag(text).hex() == entry["hex"]


# Text -> exact bytes, where the encoding choices are the point.
HEX_CASES = [
    ("4711 0x1267 0o11147 0b1001001100111", "191267" * 4),
    ("1.5 0.15e1 15e-1 0x1.8p0 0x18p-4 1.5_1", "f93e00" * 6),
    ("0 +0 -0 000", "00" * 4),
    ("0.0 +0.0 -0.0 3. .5", "f90000" "f90000" "f98000" "f94200" "f93800"),
    ("-0x10 -0b1 -0o7", "2f" "20" "26"),
    ("18446744073709551615 -18446744073709551616", "1bffffffffffffffff" "3bffffffffffffffff"),
    ("0x10000000000000000 -0x10000000000000001", "c249010000000000000000" "c349010000000000000000"),
    ("987654321098765432310", "c249358a750438f380f5f6"),
    ("1.1 1.1_3 1.5_2 1.5_3", "fb3ff199999999999a" "fb3ff199999999999a" "fa3fc00000" "fb3ff8000000000000"),
    ("Infinity_1 Infinity_2 -Infinity_3 NaN_1 NaN_2 NaN_3",
     "f97c00" "fa7f800000" "fbfff0000000000000" "f97e00" "fa7fc00000" "fb7ff8000000000000"),
    ("5.0e-324 0x1p-1074 0x1.fffffffffffffp1023 3.4028234663852886e+38",
     "fb0000000000000001" "fb0000000000000001" "fb7fefffffffffffff" "fa7f7fffff"),
    ("24_0 24_1 24_2 24_3", "1818" "190018" "1a00000018" "1b0000000000000018"),
    ("0_i 23_i 1_1 0x4711_3 -1_1", "00" "17" "190001" "1b0000000000004711" "390000"),
    ("'A'_1 \"A\"_1 h'01'_0 ''_i", "5900014 1".replace(" ", "") + "79000141" "580101" "40"),
    ("[_1 \"bar\"] {_1 \"bar\": 1} [_0 false, true] [_ ] {_ } [_1] [_ 1, [2]]",
     "990001636261 72".replace(" ", "") + "b90001636261 7201".replace(" ", "") + "9802f4f5" "9fff" "bfff" "990000"
     "9f018102ff"),
    ('{1: "to", 1: "fro"} simple(32) simple(255)', "a20162746f016366726f" "f820" "f8ff"),
    ("1_1(4711) 1_0(1) 23_i(1) 0(\"x\")", "d90001191267" "d80101" "d701" "c06178"),
    ("(_ h'0102', h'030405') (_ \"strea\", \"ming\") ''_ \"\"_ (_ '') (_ h'01'_1, h'02',)",
     "5f42010243030405ff" "7f657374726561646d696e67ff" "5fff" "7fff" "5f40ff" "5f59000101" "4102ff"),
    ("<<[_1 1]>> + h'ff' <<[1, <<2>>]>>", "45990001 01ff".replace(" ", "") + "44820141 02".replace(" ", "")),
]


@pytest.mark.parametrize("text, expected", HEX_CASES, ids=[c[0][:40] for c in HEX_CASES])
def test_text_to_hex(text, expected):
    assert from_diag(text, seq=True).hex() == expected


# Text -> the same bytes as plainer notation (mostly the draft's own examples).
EQUIVALENT = [
    ("'hello world'", "h'68656c6c6f20776f726c64'"),
    ('"D\\u{6f}mino\'s \\u{1F073} + \\u{2318}"', '"Domino\'s \U0001F073 + \u2318"'),
    ('"Domino\'s \\uD83C\\uDC73 + \\u2318"', '"Domino\'s \U0001F073 + \u2318"'),
    ('"\\b\\f\\n\\r\\t\\\\\\"\\/"', "\"\" + h'080c0a0d095c222f'"),
    ("'\\'\"\\u00fc\\u{1F073}'", "h'2722c3bcf09f81b3'"),
    ('"a\r\nb"', '"a\\nb"'),
    ("`a`", '"a"'),
    ("``[^ \\t\\n\\r\"'`]``", '"[^ \\\\t\\\\n\\\\r\\"\'`]"'),
    ("```To emulate typographic quotes, sometimes duplicate backward and\nforward single quotes are used, as in ``text.''\n```",
     '"To emulate typographic quotes, sometimes duplicate backward and\\nforward single quotes are used, as in '
     '``text.\'\'\\n"'),
    ("```\n``text''```", '"``text\'\'"'),
    ("```\na```", '"a"'),
    ("```a = ``foo`````", '"a = ``foo``"'),
    ("h`12345678` b64`EjRWeA` b64'EjRWeA'", "h'12345678' h'12345678' h'12345678'"),
    ('"Hello " + "world"', '"Hello world"'),
    ('"Hello" + h\'20\' + "world"', '"Hello world"'),
    ('"" + h\'48656c6c6f20776f726c64\' + ""', '"Hello world"'),
    ("'Hello ' + 'world'", "'Hello world'"),
    ("'Hello ' + h'776f726c64'", "'Hello world'"),
    ("'' + h'48656c6c6f20776f726c64' + '' + b64''", "'Hello world'"),
    ("h'4 86 56c 6c6f' + h' 20776 f726c64'", "'Hello world'"),
    ("h'68 65 6c /doubled l!/ 6c 6f # hello\n     20 /space/\n     77 6f 72 6c 64' /world/", "'hello world'"),
    ("h'/head/ 63 /contents/ 66 6f 6f'", '<< "foo" >>'),
    ("h'01 /* a comment */ 02 // to the end'", "h'0102'"),
    ("b64'/base64 not a comment/ but one follows # comment'", "h'FDB6AC 7BAE27A2D69CA2699E9EDFDBBADA2779FA25 968C2C'"),
    ("b64'+/-_' b64'AQ==' b64'AQI=' b64'AQI'", "h'fbffbf' h'01' h'0102' h'0102'"),
    ("<<1>> <<1, 2>> <<\"hello\", null>> <<>>", "h'01' h'0102' h'65 68656c6c6f f6' h''"),
    ("24(<<{1: 2}>>)", "24(h'a10102')"),
    ("/grasp-message/ [/M_DISCOVERY/ 1, /session-id/ 10584416,\n"
     "                 /objective/ [/objective-name/ \"opsonize\",\n"
     "                              /D, N, S/ 7, /loop-count/ 105]]", '[1, 10584416, ["opsonize", 7, 105]]'),
    ("{\n /kty/ 1 : 4, # Symmetric\n /alg/ 3 : 5, # HMAC 256-256\n"
     "  /k/ -1 : h'6684523ab17337f173500e5728c628547cb37df\n             e68449c65f885d1b73b49eae1'\n}",
     "{1: 4, 3: 5, -1: h'6684523AB17337F173500E5728C628547CB37DFE68449C65F885D1B73B49EAE1'}"),
    ("4 /* HMAC 256/64 */", "4"),
    ("4 / HMAC 256//64 /", "4"),
    ("[1, 2, 3,] [1  2  3] [1  2, 3] [1, 2  3,]", "[1, 2, 3] [1, 2, 3] [1, 2, 3] [1, 2, 3]"),
    ('{1: "n", "x": "a",} {1: "n"  "x": "a"}', '{1: "n", "x": "a"} {1: "n", "x": "a"}'),
    ("[[] []] [[],[]]", "[[], []] [[], []]"),
    ("// leading\n[1, # one\n 2] # trailing without a newline", "[1, 2]"),
    ("simple(20) simple( 16 )", "false simple(16)"),
    ("dt'1969-07-21T02:56:16Z' dt'1969-07-21T02:56:16.0Z' dt'1969-07-21T02:56:16.5Z'",
     "-14159024 -14159024.0 -14159023.5"),
    ("dt`1969-07-21T02:56:16.5Z` dt<<'1969-07-21T02:56:16.5Z'>> dt<<\"1969-07-21T02:56:16.5Z\">>",
     "-14159023.5 -14159023.5 -14159023.5"),
    ("DT'1969-07-21T02:56:16Z' DT'1970-01-01T01:00:00+01:00' dt'2000-02-29t00:00:00.25z'",
     "1(-14159024) 1(0) 951782400.25"),
    ("ip'192.0.2.42' ip<<'192.0.2.42'>> IP'192.0.2.42' IP'192.0.2.0/24'",
     "h'c000022a' h'c000022a' 52(h'c000022a') 52([24,h'c00002'])"),
    ("ip'2001:db8::42' IP'2001:db8::42' IP'2001:db8::/64' ip'2001:db8::/56' ip'192.0.2.0/24'",
     "h'20010db8000000000000000000000042' 54(h'20010db8000000000000000000000042') 54([64,h'20010db8']) "
     "[56,h'20010db8'] [24,h'c00002']"),
    ("52([ip'192.0.2.42',24])", "52([h'c000022a', 24])"),
    ("\"at \" + ip'65.66.67.68'", '"at ABCD"'),
]


@pytest.mark.parametrize("text, plain", EQUIVALENT, ids=[c[0][:40] for c in EQUIVALENT])
def test_equivalent_notation(text, plain):
    assert from_diag(text, seq=True) == from_diag(plain, seq=True)


# Text -> (line, column, the start of the message).
INVALID = [
    ("[1, 2", 1, 6, "expected ',' or ']' after an array item"),
    ("[\n  1,\n  2: 3]", 3, 4, "expected ',' or ']' after an array item"),
    ("[[][]]", 1, 4, "expected ',' or ']' after an array item"),
    ("[1,, 2]", 1, 4, "expected an item, not ','"),
    ("{1: 2, 3}", 1, 9, "expected ':' after a map key"),
    ('{"a": 1 "b"}', 1, 12, "expected ':' after a map key"),
    ("1 2", 1, 3, "expected the end of the text after the item"),
    ("", 1, 1, "expected an item, not the end of the text"),
    ("  # only a comment\n", 2, 1, "expected an item, not the end of the text"),
    ('["abc', 1, 2, "text string is not closed"),
    ("/* open", 1, 1, "comment '/*' is not closed"),
    ("h'0'", 1, 1, "h'' holds an odd number of hexadecimal digits"),
    ("h'01 zz'", 1, 6, "expected a hexadecimal digit in h'', not 'z'"),
    ("b64'A'", 1, 1, "b64'' ends with a single base64 digit"),
    ("foo'x'", 1, 1, "unknown application-extension prefix 'foo'"),
    ("[0, H'00']", 1, 5, "unknown application-extension prefix 'H'"),
    ("Dt'1969-07-21T02:56:16Z'", 1, 1, "unknown application-extension prefix 'Dt'"),
    ("[1, 'a' + b-64'YQ']", 1, 11, "unknown application-extension prefix 'b-64'"),
    ("nothing", 1, 1, "unknown word 'nothing'"),
    ("[1, ...]", 1, 5, "an ellipsis ('...') stands for elided data"),
    ("h'4711...0815'", 1, 7, "an ellipsis ('...') stands for elided data"),
    ('"Herewith I buy" + ... + "gned"', 1, 20, "an ellipsis ('...') stands for elided data"),
    ("1_4", 1, 2, "encoding indicator _4 is reserved"),
    ("1_x", 1, 2, "unknown encoding indicator '_x'"),
    ("24_i", 1, 1, "_i needs an argument below 24"),
    ("256_0", 1, 1, "_0 leaves 1 byte for the argument, too few for 256"),
    ("1.1_1", 1, 1, "_1 (half precision) cannot hold this value exactly"),
    ("1.1_2", 1, 1, "_2 (single precision) cannot hold this value exactly"),
    ("1.5_0", 1, 1, "a float takes _1, _2 or _3"),
    ("1e400", 1, 1, "the number is outside the range of a double"),
    ("0x", 1, 1, "expected hexadecimal digits after '0x'"),
    ("0x1.8", 1, 6, "a hexadecimal float needs an exponent"),
    ("1_(2)", 1, 1, "'_' (indefinite length) does not apply to a tag"),
    ("01(1)", 1, 1, "a tag number is an unsigned decimal integer"),
    ("18446744073709551616(1)", 1, 1, "a tag number is an unsigned decimal integer below 2**64"),
    ("2(1", 1, 4, "expected ')' after the tag content"),
    ("(_ )", 1, 4, "expected a string chunk"),
    ("(_ 'a', \"b\")", 1, 12, "the chunks of an indefinite-length string must all be byte strings or all"),
    ("(_ 1)", 1, 4, "expected a string chunk"),
    ("'a'_", 1, 1, "'_' after a string stands only for an empty indefinite-length string"),
    ("'a' + \"b\"", 1, 7, "a text string cannot be joined to a byte string"),
    ("'a'_1 + 'b'", 1, 4, "an encoding indicator applies to a whole string"),
    ('"" + h\'ff\'', 1, 1, "the joined text string is not valid UTF-8"),
    ("dt'1969-07-21T02:56:16Z' + 'x'", 1, 1, "this application-extension literal gives no string"),
    ("'x' + dt'1969-07-21T02:56:16Z'", 1, 7, "'dt' literal gives no string here"),
    ("dt'1969-13-01T00:00:00Z'", 1, 1, "dt'': '1969-13-01T00:00:00Z' is not a date of the calendar"),
    ("dt'yesterday'", 1, 1, "dt'' needs an RFC 3339 date and time"),
    ("dt<<1>>", 1, 1, "dt<<...>> needs exactly one string"),
    ("[ip'192.0.2.256']", 1, 2, "ip'' needs an IPv4 or IPv6 address"),
    ("IP'192.0.2.1/24'", 1, 1, "ip'': '192.0.2.1/24' has bits set after its prefix length"),
    ("ip'fe80::1%eth0'", 1, 1, "ip'': 'fe80::1%eth0' has a zone"),
    ("simple(24)", 1, 8, "simple values 24 to 31 are not well-formed CBOR"),
    ("simple(256)", 1, 8, "expected a simple value number from 0 to 255"),
    ('"\\ud800"', 1, 2, "\\uD800 is a high surrogate without"),
    ('"\\udc00"', 1, 2, "\\uDC00 is a low surrogate"),
    ('"\\u{110000}"', 1, 2, "\\u{...} escape beyond U+10FFFF"),
    ('"\\q"', 1, 2, "unknown escape '\\q'"),
    ("'\\u0041'", 1, 2, "a single-quoted string writes 'A' as itself"),
    ("'\\/'", 1, 2, "unknown escape '\\/' in a single-quoted string"),
    ('"\t"', 1, 2, "control character U+0009 in a string"),
    ("``", 1, 1, "raw string is not closed by 2 backquotes"),
    ("[_1 1]\n[1]", 2, 1, "expected the end of the text after the item"),
    ("\u00fc\u00fc", 1, 1, "expected an item"),
    ("[\"\u00fc\u00fc\" 1 2 x]", 1, 11, "unknown word 'x'"),
]


@pytest.mark.parametrize("text, line, column, message", INVALID, ids=[c[0][:40] for c in INVALID])
def test_invalid_text(text, line, column, message):
    with pytest.raises(EDNError) as info:
        from_diag(text)
    err = info.value
    assert isinstance(err, ValueError)
    assert str(err).startswith(f"line {line}, column {column}: {message}"), str(err)
    assert (err.line, err.column) == (line, column)
    assert str(err) == f"line {line}, column {column}: {err.reason}"


def test_bytes_input_and_its_encoding_faults():
    assert from_diag("[\"\u00fc\"]".encode()) == b"\x81\x62\xc3\xbc"
    with pytest.raises(EDNError, match=r"^line 2, column 3: the text is not valid UTF-8"):
        from_diag(b"[1,\n 2\xff]")


def test_lone_surrogate_in_the_text():
    with pytest.raises(EDNError, match=r"^line 2, column 3: a lone surrogate \(U\+D800\) is not a character"):
        from_diag('[1,\n "\ud800"]')


def test_sequences():
    assert from_diag("1, 2 [3]\n# end", seq=True) == b"\x01\x02\x81\x03"
    assert from_diag("1, 2,", seq=True) == b"\x01\x02"
    assert from_diag(" /nothing/ ", seq=True) == b""
    with pytest.raises(EDNError, match="a sequence of items needs seq=True"):
        from_diag("1, 2")


def nested(depth):
    return "[" * depth + "0" + "]" * depth


@pytest.mark.parametrize("opener, closer", [("[", "]"), ("<<", ">>"), ("1(", ")"), ("{0: ", "}")],
                         ids=["arrays", "embedded", "tags", "maps"])
def test_nesting_up_to_max_depth(opener, closer):
    depth = 50_000
    text = opener * depth + "0" + closer * depth
    data = from_diag(text, max_depth=depth)
    assert len(data) > depth
    with pytest.raises(EDNError, match=rf"nesting deeper than max_depth \({depth - 1}\)"):
        from_diag(text, max_depth=depth - 1)


def test_max_depth_matches_the_decoder():
    assert kelvo.loads(from_diag(nested(400))) is not None
    with pytest.raises(EDNError, match=r"^line 1, column 401: nesting deeper than max_depth \(400\)"):
        from_diag(nested(401))


def test_long_heads_spliced_in_order():
    # Arrays of 24 and more items and long strings get heads longer than the byte set aside
    # for them, at several depths at once, inside embedded items and inside a text string
    # that is checked as UTF-8 after the splicing.
    strings = ["x" * i for i in range(30)]
    items = ", ".join(f'"{s}"' for s in strings)
    inner = f"[{items}, <<[{items}]>>, {{1: [{items}]}}]"
    text = f'["\u00fc" + <<"{"y" * 300}">> + "\u00e9", [{inner}, {inner}], 0x1_3]'
    first = "\u00fc" + "y\x01," + "y" * 300 + "\u00e9"
    level = [*strings, kelvo.dumps(strings), {1: strings}]
    expected = b"\x83" + kelvo.dumps(first) + kelvo.dumps([level, level]) + bytes.fromhex("1b0000000000000001")
    assert from_diag(text) == expected


# ---- diag, and the round trip through it

def fuzz_seed_payloads(tmp_path_factory):
    sys.path.insert(0, str(ROOT / "tools" / "fuzz"))
    try:
        import make_seeds
    finally:
        sys.path.pop(0)
    out = tmp_path_factory.mktemp("seeds")
    make_seeds.main(out)
    return sorted({p.read_bytes()[3:] for p in (out / "decode").iterdir()})


# Encodings that preferred serialization would not choose, and edge values.
UNUSUAL = [
    "1818", "190018", "1a00000018", "1b0000000000000018", "3b0000000000000000", "5f42010243030405ff",
    "7f657374726561646d696e67ff", "5fff", "7fff", "5f40ff", "9f018202039f0405ffff", "bf61610161629f0203ffff",
    "990000", "b900016161f6", "d90001191267", "f90001", "fa3fc00000", "fb3ff8000000000000", "fa7f800000",
    "fb7ff8000000000000", "f820", "f8ff", "c249010000000000000000", "c249000000000000000000", "d818450102030405",
    "a201020103", "59000141", "c0c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7f6", "83f4f5f7",
    "6d" + "0a0d09225c2fe280ae7f00c3bc", "64f0908591", "826161a161626163",
]


def round_trip_inputs():
    return [bytes.fromhex(h) for h in UNUSUAL]


@pytest.fixture(scope="module")
def seed_payloads(tmp_path_factory):
    return fuzz_seed_payloads(tmp_path_factory)


def test_round_trip_on_the_fuzz_seeds(seed_payloads):
    checked = 0
    for data in seed_payloads + round_trip_inputs():
        try:
            text = diag(data, widths=True)
        except kelvo.CBORDecodeError:
            continue  # a sequence or a fault
        assert from_diag(text) == data, (data.hex(), text)
        checked += 1
    assert checked > 100


@pytest.mark.parametrize("data", round_trip_inputs(), ids=UNUSUAL)
def test_round_trip_with_and_without_widths(data):
    assert from_diag(diag(data, widths=True)) == data
    pretty = diag(data, widths=True, pretty=True)
    assert from_diag(pretty) == data


def token_writer_text(data, widths, pretty):
    """What the token writer makes of data, or None where the reader refuses it."""
    out = []
    writer = _diag.DiagWriter(out, widths=widths, pretty=pretty)
    reader = Reader(io.BytesIO(data))
    try:
        for token in reader.tokens():
            writer.feed(token)
        if not reader.at_end():
            return None
    except kelvo.CBORDecodeError:
        return None
    return "".join(out)


def mutations(payloads, count, seed=7):
    rng = random.Random(seed)
    for _ in range(count):
        data = bytearray(rng.choice(payloads))
        if data:
            for _ in range(rng.randint(1, 3)):
                data[rng.randrange(len(data))] = rng.randrange(256)
            yield bytes(data[:rng.randint(len(data) // 2, len(data))])


@pytest.mark.parametrize("widths, pretty", [(False, False), (True, False), (False, True), (True, True)],
                         ids=["plain", "widths", "pretty", "widths-pretty"])
def test_native_writer_matches_the_token_writer(seed_payloads, widths, pretty):
    # The native writer and the token writer agree on every input, the native one refusing
    # exactly what the reader refuses.
    texts = [kelvo.dumps(s) for s in ("a\x7f\u00a0\u200f\U0001f600\U000e0001\n\"\\\b\x01", "\ud7ff\ue000\uffff")]
    floats = [bytes([0xf9]) + struct.pack(">e", x) for x in (0.0, -0.0, 5.960464477539063e-8, 65504.0, 1 / 3)]
    floats += [bytes([0xfa]) + struct.pack(">f", x) for x in (1e-45, 3.4028234663852886e+38, 0.1)]
    floats += [bytes([0xfb]) + struct.pack(">d", x) for x in (5e-324, 1e16, 1e-5, 123456789.125, -1e300)]
    agreed = refused = 0
    for data in [*seed_payloads, *round_trip_inputs(), *texts, *floats, *mutations(seed_payloads, 3000)]:
        expected = token_writer_text(data, widths, pretty)
        try:
            got = _edn.diag(data, widths, pretty)
        except ValueError:
            got = None
        assert got == expected, data.hex()
        agreed += got is not None
        refused += got is None
    assert agreed > 300 and refused > 300


def test_diag_matches_the_command_line_tool():
    data = bytes.fromhex("a2616181d8200161629fa0ff")
    out = subprocess.run([sys.executable, "-m", "kelvo", "diag", "--hex"], input=data.hex().encode(),
                         capture_output=True, check=True)
    assert diag(data) + "\n" == out.stdout.decode()
    assert diag(bytearray(data)) == diag(memoryview(data)) == '{"a": [32(1)], "b": [_ {}]}'


@pytest.mark.parametrize("data, message", [
    (b"", "offset 0: the input is empty"),
    (b"\x01\x02", "offset 1: data after the end of the item"),
    (b"\x82\x01", "offset 2:"),
    (b"\x62\xff\xff", "offset 0: text string is not valid UTF-8"),
], ids=["empty", "two items", "truncated", "not utf-8"])
def test_diag_faults(data, message):
    with pytest.raises(kelvo.CBORDecodeError, match=message):
        diag(data)


def test_nan_payloads_are_the_documented_exception():
    data = bytes.fromhex("f97e01")
    assert diag(data, widths=True) == "NaN_1"
    assert from_diag("NaN_1") == bytes.fromhex("f97e00")


# ---- the command-line tool

def run_tool(args, data):
    return subprocess.run([sys.executable, "-m", "kelvo", *args], input=data, capture_output=True)


@pytest.mark.parametrize("args, text, out", [
    (["from-diag"], b"[1, h'02']", bytes.fromhex("82014102")),
    (["from-diag", "--hex"], b"{_ \"a\": 1_1}", b"bf6161190001ff\n"),
    (["from-diag", "--seq", "--hex"], b"1\n2, 3\n", b"010203\n"),
    (["from-diag", "--seq"], b"# nothing\n", b""),
], ids=["raw", "hex", "seq", "empty seq"])
def test_from_diag_command(args, text, out):
    result = run_tool(args, text)
    assert (result.returncode, result.stderr, result.stdout) == (0, b"", out)


def test_from_diag_command_reads_a_file(tmp_path):
    path = tmp_path / "example.edn"
    path.write_text("/ COSE key / {1: 4, -1: h'00ff'}\n", encoding="utf-8")
    result = run_tool(["from-diag", "--hex", str(path)], b"")
    assert result.stdout == b"a2010420420 0ff\n".replace(b" ", b"")


@pytest.mark.parametrize("text, message", [
    (b"[1,\n 2 x]", "kelvo: line 2, column 4: unknown word 'x' (expected an item)\n"),
    (b"1, 2", "kelvo: line 1, column 2: expected the end of the text after the item (a sequence of items "
              "needs seq=True)\n"),
    (b"'\xff'", "kelvo: line 1, column 2: the text is not valid UTF-8\n"),
], ids=["syntax", "sequence without --seq", "not utf-8"])
def test_from_diag_command_faults(text, message):
    result = run_tool(["from-diag"], text)
    assert (result.returncode, result.stdout, result.stderr.decode()) == (1, b"", message)


def test_damaged_notation_gives_bytes_or_a_located_error(seed_payloads):
    # Notation cut, or with characters swapped for ones that matter to the reader, is read or
    # refused with a line and column; nothing else escapes.
    rng = random.Random(11)
    texts = []
    for data in seed_payloads:
        try:
            texts.append(diag(data, widths=True))
        except kelvo.CBORDecodeError:
            pass
    alphabet = "[]{}()<>,:_'\"`/*#+-.0123456789abefhipxtDTIPN \n\\u"
    results = {"read": 0, "refused": 0}
    for _ in range(3000):
        text = list(rng.choice(texts))
        for _ in range(rng.randint(1, 3)):
            text[rng.randrange(len(text))] = rng.choice(alphabet)
        damaged = "".join(text[:rng.randint(0, len(text))])
        try:
            assert isinstance(from_diag(damaged, seq=True), bytes)
            results["read"] += 1
        except EDNError as err:
            assert err.line >= 1 and err.column >= 1
            results["refused"] += 1
    assert results["read"] > 100 and results["refused"] > 100
