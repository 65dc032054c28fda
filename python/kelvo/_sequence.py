"""CBOR sequences (RFC 8742): items written back to back, read one at a time."""

from __future__ import annotations

import io
from collections.abc import Iterable, Iterator
from typing import IO, Any

from _kelvo import CBORDecodeEOF, CBORDecoder, CBOREncoder
from kelvo._parallel import binary_reader, iter_parallel, thread_count


class _Pushback:
    """A non-seekable binary stream with one byte put back in front of it."""

    def __init__(self, fp: IO[bytes]) -> None:
        self._read = fp.read
        self.pending = b""

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return False

    def read(self, n: int = -1) -> bytes:
        head = self.pending
        if not head:
            return self._read(n)
        self.pending = b""
        if n == 1:
            return head
        rest = self._read(-1 if n < 0 else n - 1)
        return head + rest if rest else head


def iterload(fp: IO[bytes] | bytes, *, threads: int | None = 1, **decoder_options: Any) -> Iterator[Any]:
    """Decode the items of a CBOR sequence one at a time.

    The generator ends where the input ends between two items. An input that ends inside an
    item raises :exc:`CBORDecodeEOF` saying which item was cut short; every other fault raises
    what :meth:`CBORDecoder.decode` raises.

    With ``threads`` other than 1, ``fp`` is read in blocks of 64 KiB, cut at item boundaries by
    the item scanner, and the blocks are decoded on a pool of threads while the items of earlier
    ones are handed out: at most ``2 * threads`` blocks are read ahead of the item being yielded
    (an item larger than a block is held whole), so memory stays bounded for a file of any
    size. Hooks may then run on several threads at once and must allow it. Errors are then a
    :exc:`CBORSequenceError` (:exc:`CBORSequenceEOF` for a truncated item) with the ``index``
    and ``offset`` of the item, raised after every item before it was yielded. With the GIL
    enabled the blocks are decoded on the calling thread.

    :param fp: a readable binary file object (only ``read`` is needed; a seekable one is read in
        blocks and, with one thread, left just past the last item decoded, any other one is then
        never read beyond the item being decoded), or bytes-like data
    :param threads: the most threads to decode on; 1 (the default): decode on the calling thread,
        item by item; ``None``: ``os.process_cpu_count()``
    :param decoder_options: the keyword options of :func:`load` (``immutable`` included)
    :return: an iterator over the decoded items
    """
    reader: Any = binary_reader(fp, "iterload")
    if threads != 1:
        n_threads = thread_count(threads)
        options = {key: value for key, value in decoder_options.items() if key != "read_size"}
        return iter_parallel(reader, n_threads, options)
    immutable = decoder_options.pop("immutable", False)
    seekable_method = getattr(reader, "seekable", None)
    seekable = bool(seekable_method()) if seekable_method is not None else False
    source: Any = reader if seekable else _Pushback(reader)
    # Built here, not in the generator, so that a bad option fails at the call.
    decoder = CBORDecoder(source, **decoder_options)
    return _items(reader, source, decoder, immutable, seekable)


def _items(fp: IO[bytes], source: Any, decoder: CBORDecoder, immutable: bool, seekable: bool) -> Iterator[Any]:
    read = fp.read
    index = 0
    while True:
        # A clean end shows as no byte at all before the next item.
        head = read(1)
        if isinstance(head, str):
            raise TypeError("iterload() needs a binary file object, but read() returned str: open the file "
                            "with mode 'rb'")
        if not head:
            return
        if seekable:
            fp.seek(-1, io.SEEK_CUR)
        else:
            source.pending = head
        try:
            item = decoder.decode(immutable=immutable)
        except CBORDecodeEOF as exc:
            raise CBORDecodeEOF(f"the input ends inside item {index} of the sequence ({exc})") from None
        yield item
        index += 1


def dump_seq(iterable: Iterable[Any], fp: IO[bytes], **encoder_options: Any) -> None:
    """Encode each object of ``iterable`` to ``fp``, one item after another (a CBOR sequence).

    Each object is a separate top-level item: shared values and string references (when those
    options are on) never refer from one item to another.

    :param iterable: the objects to encode
    :param fp: a writable binary file object
    :param encoder_options: the keyword options of :func:`dump`
    """
    encode = CBOREncoder(fp, **encoder_options).encode
    for obj in iterable:
        encode(obj)


def dumps_seq(iterable: Iterable[Any], **encoder_options: Any) -> bytes:
    """Encode each object of ``iterable`` and return the items back to back (a CBOR sequence).

    :param iterable: the objects to encode
    :param encoder_options: the keyword options of :func:`dumps`
    :return: the encoded sequence
    """
    fp = io.BytesIO()
    dump_seq(iterable, fp, **encoder_options)
    return fp.getvalue()
