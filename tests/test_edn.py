"""Diagnostic notation both ways: kelvo.from_diag (text to exact bytes), kelvo.diag, and the
from-diag subcommand."""

import json
import math
import subprocess
import sys
from pathlib import Path

import pytest

import kelvo
from kelvo import EDNError, diag, from_diag

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
