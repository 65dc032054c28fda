"""The command-line tool's conversion of a CBOR sequence (``--seq``), read in blocks.

The input is read in blocks of :data:`BLOCK_SIZE` bytes and cut at item boundaries by the native
scanner; the complete items of a block are converted there (for JSON: decoded a few at a time,
each group in one call as if it were an array, and written by :mod:`json`; for diagnostic
notation: each item by the native writer). An item that the quick conversion refuses is written
by the token writer, which renders it or names its fault. When the scanner stops before the end
of the input (a fault, the end of the input inside an item), the bytes from the item it stopped
in are handed back, so that the tool's item-by-item loop reads them and words the fault as it
always does.

Memory stays bounded whatever the size of the input: one block (the item being read, when it is
larger than a block), the values and text of a few items, and a few thousand characters of
output, all small enough that the allocator reuses the same memory from block to block.
"""

from __future__ import annotations

import functools
from collections.abc import Callable
from typing import Any

from _kelvo import loads
from kelvo._edn import diag as _write_diag
from kelvo._parallel import _array_head
from kelvo._scan import Scanner

#: Bytes asked of the input at a time.
BLOCK_SIZE = 1 << 16
# Items decoded in one call: enough to spread the cost of the call, few enough that the
# values held at once stay small.
_GROUP = 16
# Characters of output held before they are written: a few items' worth, so that the text
# never makes large blocks (each would take fresh memory from the allocator).
_FLUSH_SIZE = 1 << 13


class TextOutput:
    """Lines of text written to a binary stream in UTF-8, a few thousand characters at a time."""

    def __init__(self, write: Callable[[bytes], Any]) -> None:
        self._write = write
        self._pieces: list[str] = []
        self._size = 0

    def add(self, text: str) -> None:
        """Take the text of one complete item (its line end included)."""
        self._pieces.append(text)
        self._size += len(text)
        if self._size >= _FLUSH_SIZE:
            self.flush()

    def flush(self) -> None:
        if self._pieces:
            text = "".join(self._pieces)
            self._pieces.clear()
            self._size = 0
            self._write(text.encode("utf-8"))


# Converts a run of complete items: the bytes that hold them, the offset in the input of the
# first byte (where the first item starts), the offsets just past each item, and the output
# that takes their text, item by item.
Converter = Callable[[bytes, int, Any, TextOutput], None]
# The text of one item (the token writer): its bytes and its offset in the input.
TokenText = Callable[[bytes, int], str]


def convert_sequence(read: Callable[[int], bytes], write: Callable[[bytes], Any], convert: Converter, *,
                     max_depth: int) -> tuple[bytes, int] | None:
    """Convert the items of the sequence read from ``read`` with ``convert`` and write their text.

    :param read: ``read(n)`` of the input, which returns ``b""`` at its end
    :param write: takes the UTF-8 text of complete items
    :param convert: gives its last argument the text of each item of a run, a line each, in
        order; when it raises, the items before are written
    :param max_depth: the deepest nesting the scanner follows
    :return: ``None`` at a clean end of the input, else the bytes not converted (from the
        start of the item the scanner stopped in) and their offset in the input
    """
    scanner = Scanner(max_depth=max_depth)
    held: list[bytes] = []  # the bytes after the last item boundary
    base = 0  # the offset of held[0][0]
    out = TextOutput(write)
    try:
        while True:
            block = read(BLOCK_SIZE)
            if not block:
                if scanner.in_item:
                    return b"".join(held), base
                return None
            ends = scanner.feed(block)
            held.append(block)
            if ends:
                data = block if len(held) == 1 else b"".join(held)
                convert(data, base, ends, out)
                cut = ends[-1] - base
                held = [data[cut:]] if cut < len(data) else []
                base += cut
            if scanner.fault is not None:
                return b"".join(held), base
    finally:
        out.flush()


def json_converter(decode_options: dict[str, Any], dumps: Callable[[Any], str], token_text: TokenText) -> Converter:
    """The conversion of a run of items to JSON lines.

    :param decode_options: the keyword options of ``loads`` that decode an item for ``dumps``
    :param dumps: the text of a decoded item; it raises for an item it cannot render as the
        token writer would
    :param token_text: the text of an item that the decoder or ``dumps`` refuses
    """
    one: Callable[[Any], Any] = functools.partial(loads, **decode_options)
    # The run decoded as one array: the array takes a nesting level of its own.
    many_options = {**decode_options, "max_depth": decode_options["max_depth"] + 1}
    many: Callable[[Any], Any] = functools.partial(loads, **many_options)

    def convert_group(view: memoryview, base: int, start: int, ends: Any, out: TextOutput) -> None:
        try:
            values = many(b"".join((_array_head(len(ends)), view[start - base:ends[-1] - base])))
            texts = list(map(dumps, values))
        except Exception:
            pass
        else:
            add = out.add
            for text in texts:
                add(text + "\n")
            return
        for end in ends:
            item = view[start - base:end - base]
            try:
                text = dumps(one(item))
            except Exception:
                text = token_text(item.tobytes(), start)
            out.add(text + "\n")
            start = end

    def convert(data: bytes, base: int, ends: Any, out: TextOutput) -> None:
        with memoryview(data) as view:
            start = base
            for lo in range(0, len(ends), _GROUP):
                group = ends[lo:lo + _GROUP]
                convert_group(view, base, start, group, out)
                start = group[-1]

    return convert


def diag_converter(widths: bool, pretty: bool, token_text: TokenText) -> Converter:
    """The conversion of a run of items to diagnostic notation, one item a line (more lines with
    ``pretty``), by the native writer; ``token_text`` for the items it refuses."""

    def convert(data: bytes, base: int, ends: Any, out: TextOutput) -> None:
        add = out.add
        start = base
        for end in ends:
            item = data[start - base:end - base]
            try:
                text = _write_diag(item, widths, pretty)
            except ValueError:
                text = token_text(item, start)
            add(text + "\n")
            start = end

    return convert
