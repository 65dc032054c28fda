"""The leaves that list and dict loops write inline: every text length and width around the
short-copy and header boundaries, with and without a kept UTF-8 form, checked against an
encoding built here byte by byte."""

import pytest

from _kelvo import dumps

from value_helpers import head


def text_item(s):
    raw = s.encode()
    return head(3, len(raw)) + raw


# One character of each UTF-8 width; filled up to every length from 0 to 300 characters.
WIDTHS = {"ascii": "a", "latin1": "é", "bmp": "中", "astral": "😀"}
LENGTHS = list(range(0, 50)) + [63, 64, 65, 127, 128, 254, 255, 256, 257, 300]


def strings(kind):
    # Varied content, so that a copy from the wrong offset shows.
    return ["".join(chr(ord("a") + (i * 7 + j) % 26) if (i + j) % 3 else WIDTHS[kind] for j in range(n))
            for i, n in enumerate(LENGTHS)]


@pytest.mark.parametrize("kind", list(WIDTHS))
@pytest.mark.parametrize("utf8_kept", [False, True], ids=["fresh", "utf8-kept"])
def test_texts_in_list_and_dict(kind, utf8_kept):
    items = strings(kind)
    if utf8_kept:
        # A first encoding makes non-ASCII strings keep their UTF-8 form.
        dumps(items)
    expected = head(4, len(items)) + b"".join(text_item(s) for s in items)
    assert dumps(items) == expected
    mapping = {s + "!": s for s in items}
    expected = head(5, len(mapping)) + b"".join(text_item(k) + text_item(v) for k, v in mapping.items())
    assert dumps(mapping) == expected


def test_texts_between_other_output():
    # Short texts written right after and before other items, from an empty buffer on:
    # no copy may reach into the bytes around it.
    items = []
    for n in range(0, 45):
        items += [n, "x" * n, 1.5, "é" * (n // 2), None, b"\xff" * n]
    expected = head(4, len(items))
    for v in items:
        if isinstance(v, str):
            expected += text_item(v)
        elif isinstance(v, bytes):
            expected += head(2, len(v)) + v
        elif isinstance(v, float):
            expected += bytes.fromhex("fb3ff8000000000000")
        elif v is None:
            expected += b"\xf6"
        else:
            expected += head(0, v)
    assert dumps(items) == expected


def test_text_with_surrogate_is_refused_in_a_list():
    # No UTF-8 form can be kept for it, so it takes the general path and its error.
    with pytest.raises(UnicodeEncodeError):
        dumps(["ok", "a\ud800b"])
