"""``kelvo check``: well-formedness (and with ``--deterministic`` the deterministic encoding) of
a stream, judged by the native scanner block by block.

Memory holds one block and, with ``--deterministic``, the bytes of the item being read (so it
is bounded by the largest item). Faults are reported in input order: the items that end in a
block are judged whole before anything after them, and an item cut short by a fault or by the
end of the input is still judged up to that point, so an earlier rule it breaks comes first.
"""

from __future__ import annotations

from typing import Any

from _kelvo import CBORDecodeError
from kelvo._parallel import read_block
from kelvo._scan import CBORSequenceError, Scanner
from kelvo._wellformed import MalformedError

BLOCK_SIZE = 1 << 16
# As deep as the token reader of the other subcommands goes.
MAX_DEPTH = 100_000
_TRUNCATED_RULE = "premature end of data"


def _deterministic_fault(data: bytes, base: int, whole: bool) -> MalformedError | None:
    """The first departure from deterministic encoding in ``data`` (whole items back to back
    when ``whole``, otherwise the start of one item), as an error at its offset in the input."""
    from kelvo import _deterministic

    try:
        if whole:
            _deterministic.check_sequence(data)
        else:
            _deterministic.check_input(data)
    except CBORDecodeError as exc:
        fault = vars(exc)  # the check names the offset and the rule as attributes of its error
        if not whole and fault["rule"] in (_TRUNCATED_RULE, "trailing bytes after the item"):
            return None  # the part of the item that is there breaks no rule
        return MalformedError(base + fault["offset"], fault["rule"])
    return None


def check_stream(stream: Any, *, seq: bool, deterministic: bool, block_size: int = BLOCK_SIZE) -> int:
    """Judge the CBOR read from ``stream`` (anything with ``read``); return the number of items.

    :raises MalformedError: at the first fault, in input order
    """
    scanner = Scanner(max_depth=MAX_DEPTH, check_utf8=True)
    pieces: list[bytes] = []  # with --deterministic: the bytes from `base` on
    base = 0  # where the item being read starts
    first_end = -1
    while True:
        block = read_block(stream, block_size, "check")
        if not block:
            break
        ends = scanner.feed(block)
        if ends and first_end < 0:
            first_end = ends[0]
        if not seq and ends:
            ends = ends[:1] if base == 0 else ends[:0]  # only the first item is judged
        if deterministic:
            pieces.append(block)
            if ends:
                data = pieces[0] if len(pieces) == 1 else b"".join(pieces)
                cut = ends[-1] - base
                fault = _deterministic_fault(data[:cut] if cut < len(data) else data, base, True)
                if fault is not None:
                    raise fault
                pieces = [data[cut:]] if cut < len(data) else []
        if ends:
            base = ends[-1]
        if not seq and 0 <= first_end < scanner.offset:
            raise MalformedError(first_end, "data after the end of the first item (use --seq to read a CBOR "
                                 "sequence)")
        if scanner.fault is not None:
            _raise_fault(scanner.fault, pieces, base, deterministic)
    try:
        count = scanner.finish()
    except CBORSequenceError as exc:
        _raise_fault(exc, pieces, base, deterministic)
    if count == 0 and not seq:
        raise MalformedError(0, "the input is empty (no CBOR item)")
    return count


def _raise_fault(fault: Any, pieces: list[bytes], base: int, deterministic: bool) -> None:
    if deterministic:
        # the item at fault, up to the fault, may break a deterministic rule before it
        partial = b"".join(pieces)[:fault.offset - base]
        earlier = _deterministic_fault(partial, base, False) if partial else None
        if earlier is not None and earlier.offset < fault.offset:
            raise earlier
    raise MalformedError(fault.offset, fault.reason)
