"""Diagnostic notation (RFC 8949 section 8 and its extended form, EDN) both ways.

:func:`diag` writes the notation of CBOR bytes exactly as they are on the wire (the text that
``kelvo diag`` prints); :func:`from_diag` reads the notation back into the exact bytes it
describes, encoding indicators included. Both are native (the module ``kelvo._edn``). The
token writer here, :class:`DiagWriter`, renders what the native writer refuses (to name the
fault) and serves the command-line tool; the reader hands the application-extension literals
dt'', DT'', ip'' and IP'' back to :func:`_app_literal` here.
"""

from __future__ import annotations

import datetime
import io
import ipaddress
import json
import math
import re
from collections.abc import Buffer, Callable
from fractions import Fraction

from _kelvo import CBORTag, dumps as _dumps
from kelvo import _edn
from kelvo._sequence import iterload
from kelvo._wellformed import (ARRAY, BYTES, BYTES_INDEF, END, FLOAT, MAP, NINT, SIMPLE, TAG, TEXT,
                               TEXT_INDEF, UINT, MalformedError, Reader, Token, shortest_width)

__all__ = ["diag", "from_diag", "EDNError"]

EDNError = _edn.EDNError
_write_diag = _edn.diag

# JSON string syntax for a str, non-ASCII characters kept (what json.dumps uses inside).
_json_string: Callable[[str], str] = json.encoder.encode_basestring  # type: ignore[attr-defined]


# ---- writing

def float_text(value: float) -> str:
    """A float in diagnostic notation: the shortest text that reads back as the same double."""
    if value != value:
        return "NaN"
    if value in (math.inf, -math.inf):
        return "Infinity" if value > 0 else "-Infinity"
    text = repr(value)
    if "e" in text and "." not in text:
        text = text.replace("e", ".0e")
    return text


def _escape(char: str) -> str:
    code = ord(char)
    if code < 0x10000:
        return f"\\u{code:04x}"
    code -= 0x10000
    return f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}"


def text_literal(value: str) -> str:
    """A text string in diagnostic notation: JSON string syntax, with every character that does
    not print (controls, format characters such as U+200F, unassigned code points) escaped."""
    text = _json_string(value)
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else _escape(c) for c in text)


class DiagWriter:
    """Writes items in diagnostic notation (RFC 8949 section 8) from reader tokens.

    Encoding indicators: ``_`` marks indefinite lengths; ``_0`` to ``_3`` follow a header whose
    argument takes 1, 2, 4 or 8 bytes, always with ``widths``, otherwise only where that is
    longer than needed (so non-shortest headers show), never on floats.

    :param out: the list that receives the text pieces
    :param widths: mark the argument width of every header that has one, floats included
    :param pretty: put the items of non-empty arrays and maps on lines of their own, indented
    """

    def __init__(self, out: list[str], *, widths: bool = False, pretty: bool = False) -> None:
        self.out = out
        self.widths = widths
        self.pretty = pretty
        # open frames: [kind, items so far, opener carries an indicator]
        self.stack: list[list[int]] = []
        self.level = 0  # open arrays and maps, the indentation of --pretty

    def _mark(self, value: int, width: int | None) -> str:
        if width is None or not (self.widths or shortest_width(value) != width):
            return ""
        return f"_{width}"

    def feed(self, token: Token) -> bool:
        """Take one token; True when it completes the item the writer started with."""
        kind, _, value, width = token
        out = self.out
        stack = self.stack
        if kind == END:
            frame = stack.pop()
            fk, count = frame[0], frame[1]
            if fk == TAG:
                out.append(")")
            elif fk == ARRAY or fk == MAP:
                self.level -= 1
                if count and self.pretty:
                    out.append("\n" + "  " * self.level)
                elif not count and frame[2]:
                    out.append(" ")
                out.append("]" if fk == ARRAY else "}")
            elif count:
                out.append(")")
            else:
                out.append("''_" if fk == BYTES_INDEF else '""_')
            return not stack
        if stack:
            frame = stack[-1]
            fk, count = frame[0], frame[1]
            frame[1] = count + 1
            if fk == ARRAY or fk == MAP:
                if fk == MAP and count % 2:
                    out.append(": ")
                elif self.pretty:
                    out.append((",\n" if count else "\n") + "  " * self.level)
                elif count:
                    out.append(", ")
                elif frame[2]:
                    out.append(" ")
            elif fk != TAG:
                out.append(", " if count else "(_ ")
        if kind == UINT:
            out.append(f"{value}{self._mark(value, width)}")
        elif kind == NINT:
            out.append(f"{value}{self._mark(-1 - value, width)}")
        elif kind == TEXT:
            out.append(text_literal(value) + self._mark(len(value.encode()), width))
        elif kind == BYTES:
            out.append(f"h'{value.hex()}'{self._mark(len(value), width)}")
        elif kind == SIMPLE:
            out.append(_SIMPLE_NAMES.get(value) or f"simple({value})")
        elif kind == FLOAT:
            out.append(float_text(value) + (f"_{width}" if self.widths else ""))
        elif kind == TAG:
            out.append(f"{value}{self._mark(value, width)}(")
            stack.append([TAG, 0, 0])
            return False
        elif kind == ARRAY or kind == MAP:
            opener = "[" if kind == ARRAY else "{"
            mark = "_" if value is None else self._mark(value, width)
            out.append(opener + mark)
            stack.append([kind, 0, 1 if mark else 0])
            self.level += 1
            return False
        else:  # BYTES_INDEF, TEXT_INDEF: the opener waits for the first chunk
            stack.append([kind, 0, 0])
            return False
        return not stack


_SIMPLE_NAMES = {20: "false", 21: "true", 22: "null", 23: "undefined"}


def diag(data: Buffer, *, pretty: bool = False, widths: bool = False) -> str:
    """Write one CBOR item in diagnostic notation, exactly as it is encoded.

    Indefinite lengths show as ``_``, chunked strings as ``(_ ...)``, and heads longer than
    needed with their width (``_0`` to ``_3``); :func:`from_diag` reads the text back into
    the same bytes (with ``widths``, for every well-formed item except NaNs other than the
    one ``NaN`` stands for, and text strings that are not valid UTF-8).

    :param data: the encoded item (``bytes`` or any buffer of bytes), nothing after it
    :param pretty: put the items of non-empty arrays and maps on indented lines of their own
    :param widths: mark the argument width of every head that has one (``_0`` to ``_3``), and
        the precision of every float (``_1``, ``_2``, ``_3``)
    :return: the notation
    :raises CBORDecodeError: for data that is not exactly one well-formed item, naming the
        byte offset of the fault
    """
    data = bytes(data)
    try:
        return _write_diag(data, widths, pretty)
    except ValueError:
        pass  # the token writer below names the fault (and writes what the native one refuses)
    out: list[str] = []
    writer = DiagWriter(out, widths=widths, pretty=pretty)
    reader = Reader(io.BytesIO(data))
    if reader.at_end():
        raise MalformedError(0, "the input is empty (no CBOR item)")
    for token in reader.tokens():
        writer.feed(token)
    if not reader.at_end():
        raise MalformedError(reader.offset, "data after the end of the item")
    return "".join(out)


# ---- reading

def from_diag(text: str | Buffer, *, seq: bool = False, max_depth: int = 400) -> bytes:
    """Read diagnostic notation and return the exact CBOR bytes it describes.

    The notation read is extended diagnostic notation (EDN): JSON, plus byte strings
    (``h'..'``, ``b64'..'``, ``'text'``), raw strings in backquotes, concatenation with ``+``,
    embedded CBOR (``<<1, 2>>``), tags, simple values, ``undefined``, non-finite and
    hexadecimal floats, ``0x``/``0o``/``0b`` integers, comments (``/ .. /``, ``/* .. */``,
    ``#`` and ``//`` to the end of the line), the literals ``dt''``/``DT''`` (date and time as
    epoch seconds, ``DT`` in tag 1) and ``ip''``/``IP''`` (addresses and prefixes, ``IP`` in
    tag 52 or 54), and encoding indicators: ``_`` for indefinite lengths, ``(_ chunk, ...)``
    for chunked strings, ``_i`` and ``_0`` to ``_3`` for the width of a head's argument, and
    ``_1``/``_2``/``_3`` for half, single or double floats.

    Without an indicator every head is the shortest and every length definite; a float takes
    the shortest of half, single and double precision that holds its value exactly, and an
    integer beyond 64 bits becomes a bignum (tag 2 or 3). Ellipses (``...``, elided data) and
    unknown application-extension prefixes are refused.

    :param text: the notation (``str``, or UTF-8 ``bytes``)
    :param seq: read a sequence of items, separated by commas or blank space, and return them
        back to back (a CBOR sequence; empty text gives ``b""``)
    :param max_depth: the deepest nesting of arrays, maps, tags, chunked strings and embedded
        items accepted
    :return: the encoded item (or sequence)
    :raises EDNError: a :class:`ValueError` whose message starts with the line and column of
        the fault and says what was expected there
    """
    if not isinstance(text, str):
        raw = bytes(text)
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as exc:
            line = raw.count(b"\n", 0, exc.start) + 1
            column = len(raw[raw.rfind(b"\n", 0, exc.start) + 1:exc.start].decode("utf-8", "replace")) + 1
            raise _located(line, column, "the text is not valid UTF-8") from None
    if not isinstance(max_depth, int) or max_depth < 1:
        raise ValueError(f"max_depth must be a positive integer, not {max_depth!r}")
    try:
        return _edn.parse(text, seq, max_depth, _app_literal)
    except UnicodeEncodeError as exc:  # a lone surrogate, which UTF-8 cannot hold
        before = text[:exc.start]
        line = before.count("\n") + 1
        column = exc.start - (before.rfind("\n") + 1) + 1
        raise _located(line, column, f"a lone surrogate (U+{ord(text[exc.start]):04X}) is not a character") from None


def _located(line: int, column: int, reason: str) -> EDNError:
    err = EDNError(f"line {line}, column {column}: {reason}")
    err.line, err.column, err.reason = line, column, reason
    return err


_DATE_TIME = re.compile(r"(\d{4})-(\d\d)-(\d\d)[Tt](\d\d):(\d\d):(\d\d)(\.\d+)?(?:([Zz])|([+-])(\d\d):(\d\d))",
                        re.ASCII)


def _epoch_time(text: str) -> int | float:
    match = _DATE_TIME.fullmatch(text)
    if match is None:
        raise ValueError(f"dt'' needs an RFC 3339 date and time such as 1969-07-21T02:56:16Z, not {text!r}")
    year, month, day, hour, minute, second = (int(g) for g in match.group(1, 2, 3, 4, 5, 6))
    try:
        days = datetime.date(year, month, day).toordinal() - _EPOCH_DAY
    except ValueError:
        raise ValueError(f"dt'': {text!r} is not a date of the calendar") from None
    if hour > 23 or minute > 59 or second > 60:
        raise ValueError(f"dt'': {text!r} is not a time of day")
    seconds = days * 86400 + hour * 3600 + minute * 60 + second
    if match.group(9):
        off_hour, off_minute = int(match.group(10)), int(match.group(11))
        if off_hour > 23 or off_minute > 59:
            raise ValueError(f"dt'': {text!r} has an offset out of range")
        offset = off_hour * 3600 + off_minute * 60
        seconds -= offset if match.group(9) == "+" else -offset
    fraction = match.group(7)
    if fraction is None:
        return seconds
    return float(seconds + Fraction(fraction))


_EPOCH_DAY = datetime.date(1970, 1, 1).toordinal()


def _ip_literal(text: str, tagged: bool) -> bytes:
    address, slash, length_text = text.partition("/")
    if "%" in address:
        raise ValueError(f"ip'': {text!r} has a zone, which ip'' cannot hold")
    try:
        ip = ipaddress.ip_address(address)
    except ValueError:
        raise ValueError(f"ip'' needs an IPv4 or IPv6 address (or, with '/', a prefix), not {text!r}") from None
    tag = 52 if ip.version == 4 else 54
    packed = ip.packed
    if not slash:
        return _dumps(CBORTag(tag, packed) if tagged else packed)
    if not re.fullmatch(r"0|[1-9][0-9]*", length_text, re.ASCII) or int(length_text) > len(packed) * 8:
        raise ValueError(f"ip'': {text!r} has no valid prefix length")
    length = int(length_text)
    network = int.from_bytes(packed, "big")
    host_bits = len(packed) * 8 - length
    if network & ((1 << host_bits) - 1):
        raise ValueError(f"ip'': {text!r} has bits set after its prefix length")
    kept = packed[:(length + 7) // 8].rstrip(b"\0")
    value = [length, kept]
    return _dumps(CBORTag(tag, value) if tagged else value)


def _app_literal(prefix: str, data: bytes) -> bytes:
    """The encoded item of an application-extension literal from its input, the CBOR sequence
    ``data`` (one text string for a quoted literal). Faults raise ValueError."""
    items = list(iterload(io.BytesIO(data)))
    if len(items) != 1 or not isinstance(items[0], (str, bytes)):
        raise ValueError(f"{prefix}<<...>> needs exactly one string")
    text = items[0]
    if isinstance(text, bytes):
        try:
            text = text.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError(f"{prefix}'': the input is not UTF-8 text") from None
    if prefix in ("dt", "DT"):
        seconds = _epoch_time(text)
        return _dumps(CBORTag(1, seconds) if prefix == "DT" else seconds, canonical=True)
    if prefix in ("ip", "IP"):
        return _ip_literal(text, prefix == "IP")
    raise ValueError(f"unknown application-extension prefix {prefix!r}")
