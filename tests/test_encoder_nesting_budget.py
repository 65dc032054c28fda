"""The nesting levels an encode counts against the interpreter's recursion budget are all
given back, whether the encode succeeds or fails, and hooks run inside it see the levels."""

import io

import pytest

from _kelvo import CBOREncoder, dumps


def nested(depth, make=lambda x: [x], leaf=0):
    value = leaf
    for _ in range(depth):
        value = make(value)
    return value


@pytest.mark.parametrize("make", [lambda x: [x], lambda x: {"k": x}, lambda x: (x,)], ids=["list", "dict", "tuple"])
def test_budget_is_given_back(make):
    # A level lost per container would use the budget up within a few of these calls.
    value = nested(4000, make)
    for _ in range(6):
        dumps(value)
    with pytest.raises(RecursionError):
        dumps(nested(100_000, make))
    for _ in range(6):
        dumps(value)


def test_a_hook_deep_inside_runs_with_the_remaining_budget():
    # The hook's own nested encode fails on a value too deep for what the outer nesting
    # left, and the failure leaves the outer encode going.
    too_deep = nested(100_000)
    seen = []

    def hook(encoder, value):
        with pytest.raises(RecursionError):
            encoder.encode(too_deep)
        seen.append(value)
        encoder.encode(None)

    fp = io.BytesIO()
    CBOREncoder(fp, default=hook).encode(nested(3000, leaf=object()))
    assert len(seen) == 1
    # (The failed inner encode leaves the headers it wrote before failing.)
    out = fp.getvalue()
    assert out.startswith(b"\x81" * 3000) and out.endswith(b"\xf6")
    CBOREncoder(io.BytesIO()).encode(nested(4000))
