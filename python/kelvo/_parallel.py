"""Large CBOR sequences: the item scanner, and decoding on several threads at once.

A CBOR sequence has no marker between its items, so the only way to cut one into slices that
other threads can decode is to read it from the start: the native scanner does that without
building any value (well under the time of decoding). The slices are then decoded on a pool
of threads and the items handed back in their order, each error naming the item at fault.
"""

from __future__ import annotations

import bisect
import concurrent.futures
import functools
import io
import itertools
import mmap
import os
import sys
import threading
from array import array
from collections import deque
from collections.abc import Callable, Iterator
from typing import IO, Any, cast

from _kelvo import CBORDecodeEOF, CBORDecodeError, loads
from kelvo._scan import CBORSequenceEOF, CBORSequenceError, Scanner, SliceRun, scan

__all__ = ["CBORSequenceEOF", "CBORSequenceError", "Scanner", "scan", "scan_file", "loads_seq", "iter_parallel",
           "thread_count", "BLOCK_SIZE"]

#: Bytes read from a file at a time by :func:`scan_file` and by ``iterload`` with threads.
BLOCK_SIZE = 1 << 16
# Below this many bytes a sequence is decoded on the calling thread: a pool costs more.
_POOL_FROM = 1 << 18
# The bytes of one slice of loads_seq: small enough that threads end together, large enough
# that the call for each costs nothing beside its decoding.
_SLICE_BYTES = 1 << 20
_DEFAULT_MAX_DEPTH = 400


def thread_count(threads: int | None) -> int:
    """The number of threads to decode on: 1 whenever the GIL is enabled (no gain is possible)."""
    if threads is None:
        threads = os.process_cpu_count() or 1
    elif not isinstance(threads, int) or isinstance(threads, bool) or threads < 1:
        raise ValueError(f"threads must be a positive integer or None, not {threads!r}")
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    return 1 if gil else threads


def binary_reader(fp: Any, function: str) -> Any:
    """``fp`` itself when it reads bytes; bytes-like data wrapped in a BytesIO; a clear error for
    text-mode files and for objects that cannot be read."""
    if isinstance(fp, (bytes, bytearray, memoryview)):
        return io.BytesIO(fp)
    if isinstance(fp, io.TextIOBase):
        raise TypeError(f"{function}() needs a binary file object, not a text-mode one: open the file "
                        "with mode 'rb'")
    if not callable(getattr(fp, "read", None)):
        raise TypeError(f"{function}() needs a binary file object with a read() method (or bytes), "
                        f"not '{type(fp).__qualname__}'")
    return fp


def read_block(fp: Any, size: int, function: str) -> bytes:
    block = fp.read(size)
    if isinstance(block, str):
        raise TypeError(f"{function}() needs a binary file object, but read() returned str: open the file "
                        "with mode 'rb'")
    return block


def scan_file(fp: IO[bytes] | bytes, *, max_depth: int = _DEFAULT_MAX_DEPTH, check_utf8: bool = False,
              block_size: int = BLOCK_SIZE) -> Iterator[int]:
    """The start offset of every item of a CBOR sequence read from a binary file object.

    ``fp`` is read in blocks of ``block_size`` bytes and only the open containers are kept
    between blocks, so memory stays bounded whatever the size of the file or of one item.

    :param fp: a binary file object (only its ``read`` is used), or bytes-like data
    :param max_depth: the most arrays, maps and tags open at once
    :param check_utf8: also require valid UTF-8 in text strings
    :param block_size: the number of bytes asked of ``fp.read`` at a time
    :return: an iterator over the item offsets, produced as the blocks are read
    :raises CBORSequenceError: at the first item that is not well-formed (after the offsets
        of the items before it)
    :raises CBORSequenceEOF: when the input ends inside an item
    """
    fp = binary_reader(fp, "scan_file")
    scanner = Scanner(max_depth=max_depth, check_utf8=check_utf8)
    return _scan_blocks(fp, scanner, block_size)


def _scan_blocks(fp: Any, scanner: Scanner, block_size: int) -> Iterator[int]:
    start = 0
    while True:
        block = read_block(fp, block_size, "scan_file")
        if not block:
            scanner.finish()
            return
        ends = scanner.feed(block)
        if ends:
            # the starts are the previous end followed by all ends but the last
            yield start
            yield from itertools.islice(ends, len(ends) - 1)
            start = ends[-1]
        if scanner.fault is not None:
            raise scanner.fault


def _decode_error(exc: BaseException, index: int, offset: int) -> BaseException:
    """The error of item ``index`` (starting at ``offset``) as a CBORSequenceError, chained to the
    decoder's own; anything that is not a decode error is left as it is."""
    if not isinstance(exc, CBORDecodeError) or isinstance(exc, CBORSequenceError):
        return exc
    kind = CBORSequenceEOF if isinstance(exc, CBORDecodeEOF) else CBORSequenceError
    error = kind(f"item {index} at offset {offset}: {exc}")
    error.index = index  # type: ignore[attr-defined]
    error.offset = offset  # type: ignore[attr-defined]
    error.__cause__ = exc
    return error


class _Decoding:
    """The decode functions of one call: ``one`` for a single item, ``many`` for a run of items
    wrapped in a definite-length array (one decoder call per slice instead of one per item; the
    array takes one nesting level, so the limit is raised by one to leave the items theirs)."""

    def __init__(self, options: dict[str, Any]) -> None:
        self.one: Callable[[Any], Any] = functools.partial(loads, **options)
        depth = options.get("max_depth", _DEFAULT_MAX_DEPTH)
        self.max_depth = depth
        self.many: Callable[[Any], Any] | None = (
            functools.partial(loads, **{**options, "max_depth": depth + 1}) if depth < 2**64 - 1 else None)
        # Each is called once here, on the calling thread: a bad option fails at the call even
        # for no item, and a partial with keywords switches its call path on its first call (a
        # write to the object), which must not happen on several worker threads at once.
        for decode in (self.one, self.many):
            if decode is not None:
                cast("Callable[[Any], Any]", decode)(b"\x00")
        self.immutable = bool(options.get("immutable", False))


def _array_head(count: int) -> bytes:
    if count < 24:
        return bytes((0x80 | count,))
    for info, width in ((24, 1), (25, 2), (26, 4), (27, 8)):
        if count < 1 << (8 * width):
            return bytes((0x80 | info,)) + count.to_bytes(width, "big")
    raise OverflowError("too many items")


def _decode_slice(dec: _Decoding, data: Any, base: int, ends: Any, lo: int, hi: int, first_index: int,
                  start: int, wrap: bool) -> tuple[list[Any], BaseException | None]:
    """Decodes the items lo..hi-1 of ``ends`` (offsets relative to ``base``), the first starting
    at ``start``; returns the items and the error that stopped the slice, if any.

    With ``wrap`` the slice is decoded in one call; when that fails, it is decoded again item by
    item to find the item at fault (hooks then see the items before it twice). Items that hold
    shared values (tags 28 and 29) are never wrapped: a reference must not reach another item."""
    if hi <= lo:
        return [], None
    if wrap and dec.many is not None:
        view = memoryview(data)
        try:
            items = dec.many(b"".join((_array_head(hi - lo), view[start - base:ends[hi - 1] - base])))
        except Exception:
            pass
        else:
            return (list(items) if dec.immutable else items), None
        finally:
            view.release()
    out: list[Any] = []
    append = out.append
    decode = dec.one
    i = lo
    try:
        for end in itertools.islice(ends, lo, hi):
            append(decode(data[start - base:end - base]))
            start = end
            i += 1
    except Exception as exc:  # handed back in order, after the items before it
        return out, _decode_error(exc, first_index + i - lo, start)
    return out, None


def loads_seq(data: Any, *, threads: int | None = None, **decode_options: Any) -> list[Any]:
    """Decode every item of a CBOR sequence held in memory, on several threads at once.

    The sequence is scanned (:func:`scan`) and cut at item boundaries into slices of about a
    megabyte that the calling thread and a few others take one after the other, each decoding
    a slice in one call; the other threads begin on the first part while the calling thread
    scans the rest. With the GIL enabled one thread is used. Hooks (``object_hook``,
    ``tag_hook``, ``semantic_decoders``) may then run on several threads at once, each call for
    an item of its own slice: they must be safe to call concurrently.

    The threads go from slice to slice without running Python code in between (hooks aside),
    so the cyclic garbage collector, which the many containers being made would otherwise
    start again and again to walk the growing result, runs once the call returns.

    :param data: the whole sequence (bytes-like, ``mmap`` included)
    :param threads: the most threads to use; ``None``: ``os.process_cpu_count()``, 1: none
        but the calling thread
    :param decode_options: the keyword options of :func:`loads` (``immutable`` included)
    :return: the list of items in order
    :raises CBORSequenceError: for the first item (in order) that is malformed or fails to
        decode, with its ``index`` and ``offset``; the decoder's own error is its ``__cause__``
    :raises CBORSequenceEOF: when the data ends inside an item
    """
    dec = _Decoding(decode_options)
    n_threads = thread_count(threads)
    if not isinstance(data, (bytes, bytearray, mmap.mmap)):
        # slices of a bytes copy, so that no view of the caller's buffer outlives the call
        with memoryview(data) as view:
            data = view.tobytes()
    with memoryview(data) as view:
        if len(view) < _POOL_FROM:
            n_threads = 1
        return _SequenceRun(dec, data, n_threads).decode(view)


class _SequenceRun:
    """One loads_seq: the parts of the sequence handed to a SliceRun as they are scanned (the
    head first, so that the other threads begin on it while the calling thread scans the rest),
    and the threads that decode them."""

    def __init__(self, dec: _Decoding, data: Any, n_threads: int) -> None:
        self.dec, self.data, self.n_threads = dec, data, n_threads
        self.scanner = Scanner(max_depth=dec.max_depth)
        self.slices = SliceRun(dec.one, dec.many, data)
        # for each part: its item ends, slice cuts, first offset, first item and first slice
        self.parts: list[tuple[array, array, int, int, int]] = []
        self.n_items = self.n_slices = 0

    def add(self, ends: array) -> None:
        if not ends:
            return
        first = self.parts[-1][0][-1] if self.parts else 0
        cuts = _slice_cuts(ends, first, self.n_threads)
        self.slices.add(ends, cuts, first, not self.scanner.saw_sharing)
        self.parts.append((ends, cuts, first, self.n_items, self.n_slices))
        self.n_items += len(ends)
        self.n_slices += len(cuts) - 1

    def decode(self, view: memoryview) -> list[Any]:
        scanner, slices = self.scanner, self.slices
        head = int(len(view) * min(0.5, (self.n_threads - 1) / 8))
        fault: BaseException | None = None
        workers: list[threading.Thread] = []
        try:
            if head:
                self.add(scanner.feed(view[:head]))
                fault = scanner.fault
            if self.n_threads > 1:  # with no head yet, they wait for the rest
                workers = [threading.Thread(target=slices.run, name=f"kelvo-{k}") for k in range(self.n_threads - 1)]
                for worker in workers:
                    worker.start()
            if fault is None:
                ends, fault = _scan_rest(scanner, view[head:])
                self.add(ends)
            slices.close()
            slices.run()
        finally:
            slices.close()
            for worker in workers:
                worker.join()
        items = self.items()
        if fault is not None:
            raise fault
        return items

    def items(self) -> list[Any]:
        """The list of the items; a slice that failed is decoded again item by item here, and
        its first item at fault raised as the error of the sequence."""
        slices = self.slices
        while (failed := slices.fault()) is not None:
            k = failed[0]
            ends, cuts, first, first_index, first_slice = next(p for p in reversed(self.parts) if p[4] <= k)
            lo, hi = cuts[k - first_slice], cuts[k - first_slice + 1]
            part, error = _decode_slice(self.dec, self.data, 0, ends, lo, hi, first_index + lo,
                                        ends[lo - 1] if lo else first, False)
            if error is not None:
                raise error
            slices.place(k, part)
            slices.run()
        return slices.items()


def _scan_rest(scanner: Scanner, view: memoryview) -> tuple[array, BaseException | None]:
    """The item ends in the rest of the input, and the fault met there (or at its end)."""
    ends = scanner.feed(view)
    fault = scanner.fault
    if fault is None:
        try:
            scanner.finish()
        except CBORSequenceError as exc:
            fault = exc
    return ends, fault


def _slice_cuts(ends: array, first: int, n_threads: int) -> array:
    """The first item of each slice, then the number of items: slices of about _SLICE_BYTES,
    at least a few per thread so that a slice of slow items does not hold back the rest."""
    total = ends[-1] - first
    if n_threads == 1 and total <= _SLICE_BYTES:
        return array("Q", (0, len(ends)))
    n_slices = min(len(ends), max(4 * n_threads, total // _SLICE_BYTES))
    cuts = array("Q", [0])
    for k in range(1, n_slices):
        cut = bisect.bisect_left(ends, first + total * k // n_slices)
        if cut > cuts[-1]:
            cuts.append(cut)
    if cuts[-1] < len(ends):
        cuts.append(len(ends))
    return cuts


def iter_parallel(fp: Any, threads: int, decode_options: dict[str, Any],
                  block_size: int | None = None) -> Iterator[Any]:
    """The items of a sequence read from ``fp`` in blocks, decoded ``threads`` at a time.

    At most ``2 * threads`` blocks are read ahead of the item being handed out (more bytes
    only when one item is larger than a block, which is then held whole)."""
    dec = _Decoding(decode_options)
    scanner = Scanner(max_depth=dec.max_depth)
    return _iter_blocks(fp, dec, scanner, threads, block_size or BLOCK_SIZE)


def _help(pending: deque[Any]) -> None:
    """While the first pending slice is still being decoded, the calling thread decodes the
    newest ones that no worker has started (each entry is [future, job], or [None, result]
    once decoded here)."""
    head = pending[0]
    if head[0] is None:
        return
    for entry in reversed(pending):
        if head[0].done() or entry is head:
            return
        if entry[0] is not None and entry[0].cancel():
            entry[0], entry[1] = None, _decode_block(*entry[1])


# The workers of iterload, kept from one call to the next. A thread that starts afresh has to
# take its memory from pages that threads which have ended left behind, and after a large
# decode on several threads (loads_seq, whose items other threads then free) that costs a
# decoding worker about a quarter of its speed; a worker that stays keeps pages of its own.
# The pool is shared by the calls that run at once (each also decodes on its own thread what
# no worker has taken up), is made anew with more workers when a call asks for more, and anew in a forked
# child, where its threads do not exist.
_pool_lock = threading.Lock()
_pool: tuple[concurrent.futures.ThreadPoolExecutor, int, int] | None = None


def _shared_pool(workers: int) -> concurrent.futures.ThreadPoolExecutor:
    global _pool
    with _pool_lock:
        pid = os.getpid()
        if _pool is None or _pool[1] < workers or _pool[2] != pid:
            # a call still running may submit to the old pool: it is left to go when unused,
            # and its idle workers end with it
            _pool = (concurrent.futures.ThreadPoolExecutor(workers, thread_name_prefix="kelvo"), workers, pid)
        return _pool[0]


# Room kept before the bytes of a block for the head of the array that wraps its items.
_HEAD_ROOM = 9


def _decode_block(dec: _Decoding, buf: bytearray, cut: int, base: int, ends: Any, index: int,
                  wrap: bool) -> tuple[list[Any], BaseException | None]:
    """Decodes the items of a block held in ``buf`` from ``_HEAD_ROOM`` on (``cut`` bytes, the
    first at offset ``base`` of the sequence): wrapped, straight from the buffer, with the array
    head written into the room before them (no copy of the block); item by item from a copy
    when that fails or when wrapping is not allowed."""
    if wrap and dec.many is not None:
        head = _array_head(len(ends))
        at = _HEAD_ROOM - len(head)
        buf[at:_HEAD_ROOM] = head
        with memoryview(buf) as view, view[at:_HEAD_ROOM + cut] as wrapped:
            try:
                items = dec.many(wrapped)
            except Exception:
                pass
            else:
                return (list(items) if dec.immutable else items), None
    data = bytes(buf[_HEAD_ROOM:_HEAD_ROOM + cut])
    return _decode_slice(dec, data, base, ends, 0, len(ends), index, base, False)


def _reader(fp: Any) -> Callable[[bytearray, int, int], int]:
    """A function that reads at most ``size`` bytes of ``fp`` into ``buf`` at ``at``, growing
    ``buf`` if need be, and returns their number (0 at the end): through ``readinto`` for the
    standard binary streams, which saves a copy of every block, through ``read`` otherwise."""
    if isinstance(fp, (io.BufferedIOBase, io.RawIOBase)):
        def read_into(buf: bytearray, at: int, size: int) -> int:
            with memoryview(buf) as view, view[at:at + size] as room:
                n = fp.readinto(room)
            return n or 0
        return read_into

    def read(buf: bytearray, at: int, size: int) -> int:
        block = read_block(fp, size, "iterload")
        if not block:
            return 0
        if len(buf) < at + len(block):
            buf.extend(bytes(at + len(block) - len(buf)))
        buf[at:at + len(block)] = block
        return len(block)
    return read


def _iter_blocks(fp: Any, dec: _Decoding, scanner: Scanner, threads: int,
                 block_size: int) -> Iterator[Any]:
    read = _reader(fp)
    # The bytes after the last item boundary found, from _HEAD_ROOM to fill, the first at
    # offset base of the sequence; a block cut at a boundary goes to a slice with its buffer,
    # which is never written again but for the array head before the bytes.
    buf = bytearray(_HEAD_ROOM + block_size)
    fill = _HEAD_ROOM
    base = 0
    index = 0  # the index of the next item to give to a slice
    pending: deque[Any] = deque()
    # The pool has threads - 1 workers; the calling thread is the last one: a slice it needs
    # that no worker has started yet, it decodes itself instead of waiting.
    pool = _shared_pool(threads - 1) if threads > 1 else None
    done = False
    try:
        while True:
            while not done and len(pending) < 2 * threads:
                if len(buf) < fill + block_size:
                    # one item larger than a block: the buffer doubles, so the copies stay linear
                    grown = bytearray(max(2 * len(buf), fill + block_size))
                    with memoryview(buf) as view, view[:fill] as held:
                        grown[:fill] = held
                    buf = grown
                n = read(buf, fill, block_size)
                if not n:
                    done = True
                    break
                with memoryview(buf) as view, view[fill:fill + n] as block:
                    ends = scanner.feed(block)
                fill += n
                if ends:
                    cut = ends[-1] - base
                    rest = fill - _HEAD_ROOM - cut
                    # the rest is copied out before the buffer goes to a worker: from then on
                    # only that worker touches it (a bytearray's buffer exports are not safe to
                    # take on two threads at once)
                    following = bytearray(_HEAD_ROOM + rest + block_size)
                    with memoryview(buf) as view, view[_HEAD_ROOM + cut:fill] as tail:
                        following[_HEAD_ROOM:_HEAD_ROOM + rest] = tail
                    args = (dec, buf, cut, base, ends, index, not scanner.saw_sharing)
                    if pool is None:
                        pending.append([None, _decode_block(*args)])
                    else:
                        pending.append([pool.submit(_decode_block, *args), args])
                    del args
                    buf, fill = following, _HEAD_ROOM + rest
                    index += len(ends)
                    base += cut
                if scanner.fault is not None:
                    done = True
            if not pending:
                break
            if pool is not None:
                _help(pending)
            future, job = pending.popleft()
            items, error = job if future is None else future.result()
            del future, job
            yield from items
            if error is not None:
                raise error
        if scanner.fault is not None:
            raise scanner.fault
        scanner.finish()
    finally:
        # no slice of this call is decoded, nor a hook called for it, once the generator is done
        started = [entry[0] for entry in pending if entry[0] is not None and not entry[0].cancel()]
        concurrent.futures.wait(started)
