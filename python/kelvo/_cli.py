"""The ``kelvo`` command-line tool: diagnostic notation and JSON conversion of CBOR.

Every subcommand is one row of ``COMMANDS``: a name, its help text, a function that adds its
own arguments to its subparser, and the function that runs it. Input comes from a file argument
or standard input, output goes to standard output, and a fault in the input ends the run with
one line on standard error that names the byte offset (for diagnostic notation: the line and
column) (exit status 1); usage errors exit with 2.
"""

from __future__ import annotations

import argparse
import binascii
import contextlib
import io
import json
import os
import re
import sys
from collections.abc import Callable, Iterator, Mapping
from typing import IO, Any, NamedTuple, NoReturn

from _kelvo import CBORDecodeError, CBORDecoder, CBORSimpleValue, CBORTag, undefined
from kelvo import _wellformed as wf
from kelvo._cliseq import Converter, TokenText, convert_sequence, diag_converter, json_converter
from kelvo._diag import _SIMPLE_NAMES, DiagWriter, EDNError, float_text, from_diag
from kelvo._edn import diag as write_diag
from kelvo._input_hint import WatchedInput
from kelvo._version import __version__
from kelvo._wellformed import (
    ARRAY,
    BYTES,
    BYTES_INDEF,
    END,
    FLOAT,
    MAP,
    NINT,
    SIMPLE,
    TAG,
    TEXT,
    TEXT_INDEF,
    UINT,
    MalformedError,
    Reader,
    Token,
)

PROG = "kelvo"
# JSON string syntax for a str, non-ASCII characters kept (what json.dumps uses inside).
_json_string: Callable[[str], str] = json.encoder.encode_basestring  # type: ignore[attr-defined]
_FLUSH_SIZE = 1 << 16  # characters of output held before they are written


class InputError(Exception):
    """Bad input that is not CBOR's fault (hexadecimal text, JSON text): message with offset."""


class NotJSONError(MalformedError):
    """A well-formed item holds a value that JSON cannot hold, and --strict is given."""


# ---- JSON

# binascii rather than base64, whose import costs the tool a share of its memory.
_URL_SAFE = bytes.maketrans(b"+/", b"-_")


def b64url(data: bytes) -> str:
    return binascii.b2a_base64(data, newline=False).rstrip(b"=").translate(_URL_SAFE).decode("ascii")


class JSONWriter:
    """Writes items as JSON text from reader tokens, with this mapping for what JSON lacks:

    - byte strings: base64url text without padding (indefinite ones joined first);
    - tags 2 and 3 around a byte string (bignums): the integer; any other tag: its content;
    - map keys other than text strings: their diagnostic notation, as text;
    - NaN and the infinities, undefined, and simple values other than false, true and null:
      null.

    With ``strict`` every one of these (except bignums, whose value JSON holds) is an error
    naming its offset instead.
    """

    def __init__(self, out: list[str], *, strict: bool = False) -> None:
        self.out = out
        self.strict = strict
        # open frames: [kind, items so far, collected chunks or bignum sign, tag offset]
        self.stack: list[list] = []
        self.key: DiagWriter | None = None
        self.key_out: list[str] = []

    def _refuse(self, offset: int, what: str) -> NoReturn:
        raise NotJSONError(offset, f"{what} has no JSON form (--strict)")

    def feed(self, token: Token) -> bool:
        """Take one token; True when it completes the item the writer started with."""
        if self.key is not None:
            if self.key.feed(token):
                self.out.append(_json_string("".join(self.key_out)))
                self.key = None
                return self._completed()
            return False
        kind, offset, value, width = token
        out = self.out
        stack = self.stack
        if kind == END:
            frame = stack.pop()
            fk = frame[0]
            if fk == ARRAY:
                out.append("]")
            elif fk == MAP:
                out.append("}")
            elif fk == BYTES_INDEF:
                self._bytes(b"".join(frame[2]), frame[3])
            elif fk == TEXT_INDEF:
                out.append(_json_string("".join(frame[2])))
            if stack and stack[-1][0] == TAG and stack[-1][2] is not None and fk == BYTES_INDEF:
                return False  # the bignum's own END follows
            return self._completed()
        parent = stack[-1] if stack else None
        if parent is not None:
            pk = parent[0]
            count = parent[1]
            parent[1] = count + 1
            if pk == ARRAY:
                if count:
                    out.append(", ")
            elif pk == MAP:
                if count % 2:
                    out.append(": ")
                else:
                    if count:
                        out.append(", ")
                    if kind != TEXT and kind != TEXT_INDEF:
                        if self.strict:
                            self._refuse(offset, "a map key other than a text string")
                        self.key_out = []
                        self.key = DiagWriter(self.key_out)
                        if self.key.feed(token):
                            out.append(_json_string("".join(self.key_out)))
                            self.key = None
                            return self._completed()
                        return False
            elif pk == TAG and parent[2] is not None:
                # a tag 2 or 3 waiting to see whether its content is a byte string
                if kind == BYTES:
                    magnitude = int.from_bytes(value, "big")
                    out.append(str(magnitude if parent[2] > 0 else -1 - magnitude))
                    return False
                if kind == BYTES_INDEF:
                    stack.append([BYTES_INDEF, 0, [], offset])
                    return False
                parent[2] = None
                if self.strict:
                    self._refuse(parent[3], "a tag (other than a bignum)")
            elif pk == BYTES_INDEF or pk == TEXT_INDEF:
                parent[2].append(value)
                return False
        if kind == UINT or kind == NINT:
            out.append(str(value))
        elif kind == TEXT:
            out.append(_json_string(value))
        elif kind == BYTES:
            self._bytes(value, offset)
        elif kind == FLOAT:
            if value - value == 0:
                out.append(repr(value))
            elif self.strict:
                self._refuse(offset, float_text(value))
            else:
                out.append("null")
        elif kind == SIMPLE:
            if 20 <= value <= 22:
                out.append(_SIMPLE_NAMES[value])
            elif self.strict:
                self._refuse(offset, _SIMPLE_NAMES.get(value) or f"simple({value})")
            else:
                out.append("null")
        elif kind == ARRAY:
            out.append("[")
            stack.append([ARRAY, 0, None, offset])
            return False
        elif kind == MAP:
            out.append("{")
            stack.append([MAP, 0, None, offset])
            return False
        elif kind == TAG:
            if value == 2 or value == 3:
                stack.append([TAG, 0, 1 if value == 2 else -1, offset])
            else:
                if self.strict:
                    self._refuse(offset, "a tag (other than a bignum)")
                stack.append([TAG, 0, None, offset])
            return False
        else:  # BYTES_INDEF, TEXT_INDEF
            stack.append([kind, 0, [], offset])
            return False
        return self._completed()

    def _bytes(self, data: bytes, offset: int) -> None:
        stack = self.stack
        if stack and stack[-1][0] == TAG and stack[-1][2] is not None:
            magnitude = int.from_bytes(data, "big")
            self.out.append(str(magnitude if stack[-1][2] > 0 else -1 - magnitude))
            return
        if self.strict:
            self._refuse(offset, "a byte string")
        self.out.append('"' + b64url(data) + '"')

    def _completed(self) -> bool:
        return not self.stack


# ---- input and output

class HexReader:
    """A binary file object over hexadecimal text (whitespace ignored) that reads as the bytes."""

    _SPACE = b" \t\r\n\f\v"
    _BAD = re.compile(rb"[^0-9a-fA-F \t\r\n\f\v]")

    def __init__(self, fp: IO[bytes]) -> None:
        self._fp = fp
        self._odd = b""  # a digit waiting for its pair
        self._consumed = 0  # characters of text read so far
        self._error: InputError | None = None

    def read(self, n: int = -1) -> bytes:
        # A fault stays: a reader that retries after it (the decoder's caller) meets it again.
        if self._error is not None:
            raise self._error
        # b"" only at the end: a piece of text without a pair of digits (blank space) is passed over
        while True:
            raw = self._fp.read(max(2 * n, 1 << 16) if n >= 0 else -1)
            bad = self._BAD.search(raw)
            if bad:
                char = raw[bad.start():bad.start() + 1]
                self._error = InputError(f"character {self._consumed + bad.start()} of the hexadecimal text: "
                                         f"{char!r} is not a hexadecimal digit")
                raise self._error
            self._consumed += len(raw)
            digits = self._odd + raw.translate(None, self._SPACE)
            if not raw and digits:
                self._error = InputError("the hexadecimal text has an odd number of digits")
                raise self._error
            keep = len(digits) & ~1
            self._odd = digits[keep:]
            if keep or not raw:
                return bytes.fromhex(digits[:keep].decode("ascii"))


class Output:
    """Text output to standard output in UTF-8, written in large pieces."""

    def __init__(self, stream: IO[bytes]) -> None:
        self._stream = stream
        self.pieces: list[str] = []

    def flush(self) -> None:
        if self.pieces:
            self._stream.write("".join(self.pieces).encode("utf-8"))
            self.pieces.clear()



def _open_input(args: argparse.Namespace) -> IO[bytes]:
    if args.file == "-":
        if sys.stdin is None:
            raise InputError("standard input is closed")
        stream: IO[bytes] = sys.stdin.buffer
        if not hasattr(stream, "__enter__"):
            # a reader with only read() (standard input replaced by the caller): not ours to close
            return contextlib.nullcontext(stream)  # type: ignore[return-value]
    else:
        try:
            stream = open(args.file, "rb")
        except OSError as exc:
            _usage_error(args, f"cannot open {args.file!r}: {exc.strerror}")
    if getattr(args, "hints", False):
        args.watched = WatchedInput(stream)
        return args.watched  # type: ignore[return-value]
    return stream


def _usage_error(args: argparse.Namespace, message: str) -> NoReturn:
    parser: argparse.ArgumentParser = args.parser
    parser.error(message)


def _items(args: argparse.Namespace, stream: IO[bytes]) -> Iterator[Iterator[Token]]:
    """The token streams of the input's items: exactly one without --seq, any number with it."""
    reader = Reader(HexReader(stream) if args.hex else stream)
    if args.seq:
        while not reader.at_end():
            yield reader.tokens()
        return
    if reader.at_end():
        raise MalformedError(0, "the input is empty (no CBOR item)")
    yield reader.tokens()
    if not reader.at_end():
        raise MalformedError(reader.offset, "data after the end of the first item (use --seq to read a "
                             "CBOR sequence)")


# ---- subcommands

def add_input_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", nargs="?", default="-", metavar="FILE",
                        help="the CBOR input file, or - (the default) for standard input")
    parser.add_argument("--seq", action="store_true",
                        help="read a CBOR sequence (RFC 8742): any number of items back to back")
    parser.add_argument("--hex", action="store_true",
                        help="read the input as hexadecimal text (whitespace ignored) instead of raw bytes")


def add_diag_arguments(parser: argparse.ArgumentParser) -> None:
    add_input_arguments(parser)
    parser.add_argument("--widths", action="store_true",
                        help="mark the argument width of every header: _0 to _3 after integers, lengths "
                             "and tag numbers, and _1, _2, _3 after half, single and double floats "
                             "(without it only headers longer than needed are marked)")
    parser.add_argument("--pretty", action="store_true",
                        help="put the items of arrays and maps on indented lines of their own")


class _KeepTags(Mapping[int, Callable[[object, bool], object]]):
    """semantic_decoders that keep every tag as a CBORTag, so that the value re-encodes to the
    same bytes."""

    def __getitem__(self, tag: int) -> Callable[[object, bool], object]:
        return lambda payload, immutable: CBORTag(tag, payload)

    def __len__(self) -> int:
        return 0

    def __iter__(self) -> Iterator[int]:
        return iter(())


def run_diag(args: argparse.Namespace) -> int:
    """Each item is found by the extension's decoder (every tag kept as a CBORTag, so that no
    tag content can fail) and written by the native writer from its bytes, which is fast. Items
    that writer refuses (faults, nesting beyond its depth) are read again by the token writer,
    which writes them or names the fault."""
    widths, pretty = args.widths, args.pretty

    def render(value: object, data: bytes) -> str:
        return write_diag(data, widths, pretty)

    return _fast_convert(args, CBORDecoder(_NOWHERE, semantic_decoders=_KeepTags(), max_depth=100_000), render,
                         lambda out: DiagWriter(out, widths=args.widths, pretty=args.pretty), need_bytes=True,
                         sequence=lambda token_text: diag_converter(widths, pretty, token_text))


def add_to_json_arguments(parser: argparse.ArgumentParser) -> None:
    add_input_arguments(parser)
    parser.add_argument("--strict", action="store_true",
                        help="fail on values that JSON cannot hold instead of mapping them")


class Rewindable:
    """A seekable binary stream over a forward-only one: it keeps what it has read, so that an
    item can be read again from its start (the bytes before a ``forget`` are dropped)."""

    def __init__(self, source: wf.Source, held: bytes = b"", base: int = 0) -> None:
        # held: bytes already read from the source, which start at offset base of the input
        self._read = source.read
        self._buf = bytearray(held)
        self._pos = 0
        self._base = base  # offset of self._buf[0]
        self._end = False

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._base + self._pos

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        pos = offset - self._base if whence == io.SEEK_SET else self._pos + offset
        if whence not in (io.SEEK_SET, io.SEEK_CUR) or not 0 <= pos <= len(self._buf):
            raise io.UnsupportedOperation("seek beyond the bytes kept")
        self._pos = pos
        return self._base + pos

    def read(self, n: int = -1) -> bytes:
        buf = self._buf
        pos = self._pos
        while (n < 0 or len(buf) - pos < n) and not self._end:
            block = self._read(max(n, _BLOCK))
            if not block:
                self._end = True
                break
            buf += block
        data = bytes(buf[pos:] if n < 0 else buf[pos:pos + n])
        self._pos = pos + len(data)
        return data

    def forget(self) -> None:
        """Drop the bytes before the current position, once they are many."""
        if self._pos > 1 << 20:
            del self._buf[:self._pos]
            self._base += self._pos
            self._pos = 0


_BLOCK = 1 << 16


class _Unusual(Exception):
    """An item the fast conversion leaves to the token writer."""


def _tag_content(payload: object, immutable: bool) -> object:
    if immutable:
        raise _Unusual  # inside a map key, where the token writer shows the tag itself
    return payload


def _bignum(sign: int) -> Callable[[object, bool], object]:
    def decode(payload: object, immutable: bool) -> object:
        if immutable or not isinstance(payload, bytes):
            raise _Unusual
        magnitude = int.from_bytes(payload, "big")
        return magnitude if sign > 0 else -1 - magnitude
    return decode


class _TagContents(Mapping[int, Callable[[object, bool], object]]):
    """semantic_decoders that reduce every tag to its content as to-json does (bignums to their
    integer), or in strict mode refuse every tag but the bignums."""

    def __init__(self, strict: bool) -> None:
        self._other = _refuse_tag if strict else _tag_content
        self._bignums = {2: _bignum(1), 3: _bignum(-1)}

    def __getitem__(self, tag: int) -> Callable[[object, bool], object]:
        return self._bignums.get(tag, self._other)

    def __len__(self) -> int:
        return 0

    def __iter__(self) -> Iterator[int]:
        return iter(())


def _refuse_tag(payload: object, immutable: bool) -> object:
    raise _Unusual


def _json_fallback(value: object) -> object:
    if isinstance(value, bytes):
        return b64url(value)
    if value is undefined or isinstance(value, CBORSimpleValue):
        return None
    raise _Unusual


def _json_refuse(value: object) -> object:
    raise _Unusual


def run_to_json(args: argparse.Namespace) -> int:
    """Each item is decoded by the extension and written by json, which is fast; an item that
    this path cannot render exactly as the token writer does (a fault, a map key that is not
    text, a repeated key, NaN, anything --strict refuses...) is read again by the token writer,
    which writes it or reports the fault with its offset."""
    strict = args.strict
    dumps = json.JSONEncoder(ensure_ascii=False, allow_nan=False,
                             default=_json_refuse if strict else _json_fallback).encode
    options: dict[str, Any] = {"semantic_decoders": _TagContents(strict), "allow_duplicate_keys": False,
                               "strict_hashable_types": True, "max_depth": 100_000}
    decoder = CBORDecoder(_NOWHERE, **options)
    return _fast_convert(args, decoder, lambda value, data: dumps(value),
                         lambda out: JSONWriter(out, strict=strict), need_bytes=False,
                         sequence=lambda token_text: json_converter(options, dumps, token_text))


class _Nowhere:
    """The input of a decoder until the real one is assigned."""

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return False

    def read(self, n: int) -> bytes:
        return b""

    def seek(self, offset: int, whence: int) -> int:
        return 0


_NOWHERE = _Nowhere()


def _fast_convert(args: argparse.Namespace, decoder: CBORDecoder, render: Callable[[Any, bytes], str],
                  make_writer: Callable[[list[str]], DiagWriter | JSONWriter], *, need_bytes: bool,
                  sequence: Callable[[TokenText], Converter]) -> int:
    """A sequence (--seq) is read in blocks and converted a block's items at a time, up to the
    first item that the scanner cannot read; from there (and for a single item, from the start)
    the decoder reads the input item by item."""

    def token_text(item: bytes, offset: int) -> str:
        out: list[str] = []
        feed = make_writer(out).feed
        for token in Reader(io.BytesIO(item), offset=offset).tokens():
            feed(token)
        return "".join(out)

    out = Output(sys.stdout.buffer)
    pieces = out.pieces
    with _open_input(args) as stream:
        raw: wf.Source = HexReader(stream) if args.hex else stream
        if args.seq:
            rest = convert_sequence(raw.read, sys.stdout.buffer.write, sequence(token_text), max_depth=100_000)
            if rest is None:
                return 0
            source = Rewindable(raw, *rest)
        else:
            source = Rewindable(raw)
        decoder.fp = source
        decode = decoder.decode
        count = 0
        done = 0  # pieces that belong to complete items
        try:
            while True:
                start = source.tell()
                if not source.read(1):
                    if count == 0 and not args.seq:
                        raise MalformedError(0, "the input is empty (no CBOR item)")
                    break
                if count and not args.seq:
                    raise MalformedError(start, "data after the end of the first item (use --seq to read a "
                                         "CBOR sequence)")
                source.seek(start)
                try:
                    value = decode()
                    data = b""
                    if need_bytes:
                        end = source.tell()
                        source.seek(start)
                        data = source.read(end - start)
                    pieces.append(render(value, data))
                except Exception:
                    source.seek(start)
                    reader = Reader(source, offset=start)
                    feed = make_writer(pieces).feed
                    for token in reader.tokens():
                        feed(token)
                    source.seek(reader.offset)
                    decoder.fp = source  # drops what the failed decode had read ahead
                pieces.append("\n")
                count += 1
                source.forget()
                done = len(pieces)
                if done > 4096:
                    out.flush()
                    done = 0
        finally:
            del pieces[done:]  # the items before a fault are written, the broken one is not
            out.flush()
    return 0


def add_check_arguments(parser: argparse.ArgumentParser) -> None:
    add_input_arguments(parser)
    parser.add_argument("--deterministic", action="store_true",
                        help="also require the core deterministic encoding of RFC 8949 section 4.2.1 "
                             "(shortest heads and floats, no indefinite lengths, map keys and tag-258 "
                             "set members in bytewise order)")
    parser.add_argument("--dag-cbor", action="store_true",
                        help="also require DAG-CBOR (IPLD, AT Protocol): shortest heads, 64-bit floats "
                             "only, text map keys sorted by length then bytewise, no tag but 42 holding "
                             "a CID")


def run_check(args: argparse.Namespace) -> int:
    from kelvo._check import check_stream

    with _open_input(args) as stream:
        source = HexReader(stream) if args.hex else stream
        if not args.dag_cbor:
            check_stream(source, seq=args.seq, deterministic=args.deterministic)
            return 0
        # A DAG-CBOR block is checked whole: well-formedness first (this tool's usual wording),
        # then the profile's rules, which name the offset and the rule.
        data = source.read()
    check_stream(io.BytesIO(data), seq=args.seq, deterministic=args.deterministic)
    try:
        _check_dag_cbor(data, args.seq)
    except CBORDecodeError as exc:
        fault = vars(exc)  # the check names the offset and the rule as attributes of its error
        raise MalformedError(fault["offset"], fault["rule"]) from None
    return 0


def _check_dag_cbor(data: bytes, seq: bool) -> None:
    from kelvo import dagcbor

    if seq:
        dagcbor.loads_seq(data)
    else:
        dagcbor.loads(data)


def add_from_json_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", nargs="?", default="-", metavar="FILE",
                        help="the JSON input file, or - (the default) for standard input")
    parser.add_argument("--seq", action="store_true",
                        help="read JSON Lines (one JSON text per line) and write a CBOR sequence")
    parser.add_argument("--hex", action="store_true",
                        help="write hexadecimal text (one line per item) instead of raw bytes")
    form = parser.add_mutually_exclusive_group()
    form.add_argument("--canonical", action="store_true",
                      help="canonical CBOR: shortest floats and map keys in length-first order")
    form.add_argument("--deterministic", action="store_true",
                      help="deterministic CBOR (RFC 8949 section 4.2.1): shortest floats and map keys "
                           "in bytewise order")


def _parse_json(data: bytes, base: int) -> object:
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise InputError(f"offset {base + exc.start}: the JSON text is not valid UTF-8") from None
    try:
        return json.loads(text)
    except json.JSONDecodeError as exc:
        offset = base + len(text[:exc.pos].encode("utf-8"))
        raise InputError(f"offset {offset}: invalid JSON: {exc.msg}") from None
    except RecursionError:
        raise InputError(f"offset {base}: JSON nested too deeply") from None


def run_from_json(args: argparse.Namespace) -> int:
    import kelvo
    from kelvo import deterministic

    stream_out = sys.stdout.buffer

    def emit(value: object) -> None:
        if args.deterministic:
            data = deterministic.dumps(value)
        else:
            data = kelvo.dumps(value, canonical=args.canonical)
        stream_out.write(data.hex().encode("ascii") + b"\n" if args.hex else data)

    with _open_input(args) as stream:
        if args.seq:
            base = 0
            for line in stream:
                if line.strip():
                    emit(_parse_json(line, base))
                base += len(line)
        else:
            emit(_parse_json(stream.read(), 0))
    return 0


def add_from_diag_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", nargs="?", default="-", metavar="FILE",
                        help="the diagnostic notation (UTF-8 text), or - (the default) for standard input")
    parser.add_argument("--seq", action="store_true",
                        help="read a sequence of items separated by commas or blank space and write them "
                             "back to back (a CBOR sequence)")
    parser.add_argument("--hex", action="store_true",
                        help="write hexadecimal text (one line) instead of raw bytes")


def run_from_diag(args: argparse.Namespace) -> int:
    with _open_input(args) as stream:
        text = stream.read()
    try:
        data = from_diag(text, seq=args.seq, max_depth=100_000)
    except EDNError as exc:
        raise InputError(str(exc)) from None
    sys.stdout.buffer.write(data.hex().encode("ascii") + b"\n" if args.hex else data)
    return 0


class Command(NamedTuple):
    name: str
    help: str
    add_arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]


COMMANDS: list[Command] = [
    Command("diag", "print CBOR in diagnostic notation (RFC 8949 section 8), exactly as it is on the wire",
            add_diag_arguments, run_diag),
    Command("to-json", "convert CBOR to JSON (one line per item; JSON Lines with --seq)",
            add_to_json_arguments, run_to_json),
    Command("from-json", "convert JSON to CBOR", add_from_json_arguments, run_from_json),
    Command("from-diag", "convert diagnostic notation (EDN, with encoding indicators) to the exact CBOR it "
            "describes", add_from_diag_arguments, run_from_diag),
    Command("check", "check that the input is well-formed CBOR (with --deterministic: in deterministic "
            "encoding as well, with --dag-cbor: in DAG-CBOR); prints nothing when it is",
            add_check_arguments, run_check),
]

_EPILOG = """\
to-json maps what JSON cannot hold: byte strings become base64url text without padding, tags 2
and 3 (bignums) their integer, other tags their content, map keys other than text strings their
diagnostic notation as text, and NaN, infinities, undefined and other simple values null.
--strict makes each of these (bignums aside) an error instead.

Exit status: 0 on success, 1 on bad input (one line on standard error naming the byte offset),
2 on bad usage."""


# The subcommands that read CBOR: a fault in their input says when it looks like hexadecimal
# text or JSON instead.
_CBOR_INPUT = ("diag", "to-json", "check")


def _terminal_columns() -> int:
    """The width of the terminal as the help formatter's default finds it (the COLUMNS variable,
    else the terminal of standard output, else 80), found here because that default imports
    shutil and the compression modules it brings: a large share of the tool's memory."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns  # type: ignore[union-attr]
        except (AttributeError, ValueError, OSError):
            columns = 0
    return columns if columns > 0 else 80


class _HelpFormatter(argparse.HelpFormatter):
    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None, **options: Any) -> None:
        super().__init__(prog, indent_increment, max_help_position,
                         _terminal_columns() - 2 if width is None else width, **options)


class _RawDescriptionFormatter(_HelpFormatter, argparse.RawDescriptionHelpFormatter):
    pass


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Inspect and convert CBOR (RFC 8949) data.", epilog=_EPILOG,
        formatter_class=_RawDescriptionFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        child = sub.add_parser(command.name, help=command.help, description=command.help,
                               formatter_class=_HelpFormatter)
        command.add_arguments(child)
        child.set_defaults(run=command.run, parser=child, hints=command.name in _CBOR_INPUT)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Run the tool with ``argv`` (default: the process arguments); returns the exit status."""
    args = build_parser().parse_args(argv)
    try:
        if sys.stdout is None:
            raise InputError("standard output is closed")
        return args.run(args)
    except MalformedError as exc:
        watched: WatchedInput | None = getattr(args, "watched", None)
        message = str(exc) + (watched.hint() if watched is not None and not args.hex else "")
    except InputError as exc:
        message = str(exc)
    except OSError as exc:
        message = f"{exc.strerror or exc}"
        if isinstance(exc, BrokenPipeError):
            # the reader of our output went away (for example `| head`): stop quietly
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return 1
    except KeyboardInterrupt:
        return 130
    except Exception as exc:  # a value kelvo cannot encode, for example
        message = f"{type(exc).__name__}: {exc}"
    if sys.stdout is not None:
        try:
            sys.stdout.flush()
        except OSError:
            pass
    if sys.stderr is not None:
        print(f"{PROG}: {message}", file=sys.stderr)
    return 1


def console_main() -> NoReturn:
    sys.exit(main())
