"""Well-formedness reader: walks CBOR items straight from the bytes, without building values.

The reader checks what RFC 8949 calls well-formedness (headers, lengths, nesting, break codes,
chunks of indefinite-length strings) plus valid UTF-8 in text strings, and reports every fault
with the byte offset where it lies. It reads its input in blocks and hands out one token per
header, so an item of any size passes through in bounded memory (apart from the content of
one string at a time). The command-line tool prints and converts from these tokens, and finds
the offset of a fault that the decoder reports without one.

A token is a tuple ``(kind, offset, value, width)``:

- ``offset`` is where the item's initial byte lies (for ``END``: where the break code or, for a
  definite container, the end of its last item lies);
- ``width`` is ``None`` when the argument sits in the initial byte, else 0 to 3 for the 1, 2, 4
  or 8 argument bytes that follow it (additional information 24 + width);
- ``value`` is the integer (``UINT``, ``NINT``), the ``bytes`` or ``str`` content (``BYTES``,
  ``TEXT``), the count or ``None`` for indefinite length (``ARRAY``, ``MAP``), the tag number
  (``TAG``), the simple value 0-255, 20 to 23 being false, true, null and undefined (``SIMPLE``),
  or the ``float`` (``FLOAT``, with ``width`` 1, 2 or 3 for half, single and double precision).

``BYTES_INDEF``/``TEXT_INDEF`` open an indefinite-length string whose chunks follow as
``BYTES``/``TEXT`` tokens; every ``ARRAY``, ``MAP``, ``TAG`` and indefinite string is closed by
an ``END`` token, also when its length is definite.
"""

from __future__ import annotations

import struct
from collections.abc import Iterator
from typing import Any, Protocol

from _kelvo import CBORDecodeEOF, CBORDecodeError

__all__ = [
    "ARRAY", "BYTES", "BYTES_INDEF", "END", "FLOAT", "MAP", "NINT", "SIMPLE", "TAG", "TEXT",
    "TEXT_INDEF", "UINT", "MalformedError", "TruncatedError", "Reader", "Token", "shortest_width",
]

UINT, NINT, BYTES, TEXT, BYTES_INDEF, TEXT_INDEF, ARRAY, MAP, TAG, SIMPLE, FLOAT, END = range(12)

Token = tuple[int, int, Any, "int | None"]

_BLOCK = 1 << 16
_STRING_PIECE = 1 << 20
_HALF = struct.Struct(">e").unpack_from
_SINGLE = struct.Struct(">f").unpack_from
_DOUBLE = struct.Struct(">d").unpack_from
_FLOATS = {25: _HALF, 26: _SINGLE, 27: _DOUBLE}
_MAJOR_NAMES = ("unsigned integer", "negative integer", "byte string", "text string", "array", "map",
                "tag", "simple value or float")


def _describe(major: int, ai: int) -> str:
    if ai == 31 and 2 <= major <= 5:
        return "indefinite-length " + _MAJOR_NAMES[major]
    if major == 7:
        return "float" if 25 <= ai <= 27 else "simple value"
    return _MAJOR_NAMES[major]


def _article(noun: str) -> str:
    return ("an " if noun[0] in "aeiu" else "a ") + noun


class Source(Protocol):
    """What the reader reads from: a binary file object, or anything with its ``read``."""

    def read(self, size: int, /) -> bytes: ...


class MalformedError(CBORDecodeError):
    """Raised by :class:`Reader` for input that is not well-formed CBOR.

    :param offset: the byte offset of the fault from the start of the input
    :param reason: what is wrong there
    """

    def __init__(self, offset: int, reason: str) -> None:
        super().__init__(f"offset {offset}: {reason}")
        self.offset = offset
        self.reason = reason


class TruncatedError(MalformedError, CBORDecodeEOF):
    """Raised by :class:`Reader` when the input ends inside an item."""


def shortest_width(value: int) -> int | None:
    """The argument width a shortest header uses for ``value`` (``None``: in the initial byte)."""
    if value < 24:
        return None
    if value < 0x100:
        return 0
    if value < 0x10000:
        return 1
    if value < 0x100000000:
        return 2
    return 3


class Reader:
    """Reads CBOR items from a binary file object, one token at a time.

    :param fp: a binary file object with ``read(n)``; it is read in blocks of ``block_size``
    :param offset: the offset of the first byte of ``fp`` within the input, for messages
    :param max_depth: the deepest nesting of containers, tags and indefinite strings accepted
    """

    def __init__(self, fp: Source, *, offset: int = 0, block_size: int = _BLOCK,
                 max_depth: int = 100_000) -> None:
        self._read = fp.read
        self._block = block_size
        self._buf = b""
        self._pos = 0
        self._base = offset  # offset of self._buf[0]
        self.max_depth = max_depth

    @property
    def offset(self) -> int:
        """The offset of the next unread byte."""
        return self._base + self._pos

    def at_end(self) -> bool:
        """Whether the input has no byte left (reads ahead to find out)."""
        return self._pos >= len(self._buf) and not self._fill(1)

    def _fill(self, n: int) -> bool:
        """Make at least n unread bytes available in the buffer; False at the end of input."""
        rest = self._buf[self._pos:]
        pieces = [rest]
        have = len(rest)
        while have < n:
            block = self._read(max(self._block, n - have))
            if not block:
                break
            pieces.append(block)
            have += len(block)
        self._base += self._pos
        self._buf = b"".join(pieces)
        self._pos = 0
        return have >= n

    def _need(self, n: int, start: int) -> tuple[bytes, int]:
        """The buffer and position with at least n unread bytes, for the item at start."""
        if not self._fill(n):
            raise TruncatedError(self._base + len(self._buf), f"input ends inside the item at offset {start}")
        return self._buf, self._pos

    def _take(self, n: int, start: int) -> bytes:
        """The next n bytes. They are read in pieces, so a huge length read from a header costs
        nothing until the bytes are really there."""
        pos = self._pos
        if pos + n <= len(self._buf):
            self._pos = pos + n
            return self._buf[pos:pos + n]
        pieces = [self._buf[pos:]]
        have = len(pieces[0])
        self._base += len(self._buf)
        self._buf = b""
        self._pos = 0
        while have < n:
            block = self._read(max(self._block, min(n - have, _STRING_PIECE)))
            if not block:
                raise TruncatedError(self._base, f"input ends inside the item at offset {start}")
            if have + len(block) > n:
                cut = n - have
                pieces.append(block[:cut])
                self._buf = block
                self._pos = cut
                break
            pieces.append(block)
            have += len(block)
            self._base += len(block)
        return b"".join(pieces)

    def tokens(self) -> Iterator[Token]:
        """The tokens of the next complete item.

        Raises :class:`TruncatedError` when the input ends first (also before the item's first
        byte: call :meth:`at_end` beforehand to tell a clean end from a truncated item) and
        :class:`MalformedError` for anything else that is not well-formed.
        """
        # Each open frame is [kind, remaining]: remaining counts the items still expected, or is
        # negative for indefinite length (an indefinite map alternates -1 while a key is due
        # and -2 while its value is due).
        stack: list[list[int]] = []
        max_depth = self.max_depth
        while True:
            buf = self._buf
            pos = self._pos
            if pos >= len(buf):
                if not self._fill(1):
                    where = "inside an item" if stack else "before an item starts"
                    raise TruncatedError(self.offset, f"input ends {where}")
                buf = self._buf
                pos = self._pos
            start = self._base + pos
            ib = buf[pos]
            pos += 1
            major = ib >> 5
            ai = ib & 31
            if stack and stack[-1][0] >= BYTES_INDEF and stack[-1][0] <= TEXT_INDEF and ib != 0xFF \
                    and (major != stack[-1][0] - 2 or ai == 31):
                raise MalformedError(start, f"{_article(_describe(major, ai))} inside an indefinite-length "
                                     f"{_MAJOR_NAMES[stack[-1][0] - 2]}, where only definite-length chunks "
                                     "of the same type may stand")
            width = None
            if ai < 24:
                arg = ai
            elif ai < 28:
                width = ai - 24
                size = 1 << width
                if pos + size > len(buf):
                    self._pos = pos
                    buf, pos = self._need(size, start)
                if major == 7:
                    self._pos = pos + size
                    if ai == 24:
                        value = buf[pos]
                        if value < 32:
                            raise MalformedError(start, f"simple value {value} written in two bytes "
                                                 "(the two-byte form starts at 32)")
                        yield (SIMPLE, start, value, 0)
                    else:
                        yield (FLOAT, start, _FLOATS[ai](buf, pos)[0], width)
                    arg = -2
                else:
                    arg = int.from_bytes(buf[pos:pos + size], "big")
                    pos += size
            elif ai == 31:
                arg = -1
            else:
                raise MalformedError(start, f"reserved additional information {ai} in initial byte 0x{ib:02x}")
            if arg >= 0:
                self._pos = pos
                if major == 0:
                    yield (UINT, start, arg, width)
                elif major == 1:
                    yield (NINT, start, -1 - arg, width)
                elif major == 2:
                    yield (BYTES, start, self._take(arg, start), width)
                elif major == 3:
                    data = self._take(arg, start)
                    try:
                        text = data.decode("utf-8")
                    except UnicodeDecodeError as exc:
                        raise MalformedError(start, "text string is not valid UTF-8 (at byte "
                                             f"{exc.start} of its content)") from None
                    yield (TEXT, start, text, width)
                elif major == 7:
                    yield (SIMPLE, start, arg, None)
                else:
                    if len(stack) >= max_depth:
                        raise MalformedError(start, f"nesting deeper than {max_depth} levels")
                    kind = major + 2  # ARRAY, MAP, TAG
                    yield (kind, start, arg, width)
                    count = 2 * arg if kind == MAP else 1 if kind == TAG else arg
                    if count:
                        stack.append([kind, count])
                        continue
                    yield (END, start, None, None)
            elif arg == -1:
                self._pos = pos
                if major == 7:
                    if not stack or stack[-1][1] >= 0:
                        raise MalformedError(start, "break code where no indefinite-length item is open")
                    if stack[-1][1] == -2:
                        raise MalformedError(start, "break code after a map key, where its value was expected")
                    stack.pop()
                    yield (END, start, None, None)
                elif 2 <= major <= 5:
                    if len(stack) >= max_depth:
                        raise MalformedError(start, f"nesting deeper than {max_depth} levels")
                    kind = major + 2  # BYTES_INDEF, TEXT_INDEF, ARRAY, MAP
                    stack.append([kind, -1])
                    yield (kind, start, None, None)
                    continue
                else:
                    raise MalformedError(start, f"indefinite length is not allowed for {_article(_MAJOR_NAMES[major])}")
            # An item is complete: count it against the open frames, closing each one it fills.
            while stack:
                frame = stack[-1]
                remaining = frame[1]
                if remaining == 1:
                    stack.pop()
                    yield (END, self._base + self._pos, None, None)
                    continue
                if remaining > 1:
                    frame[1] = remaining - 1
                elif frame[0] == MAP:
                    frame[1] = -3 - remaining
                break
            else:
                return
