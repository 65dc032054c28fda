"""CBOR sequence files as Dask bags: :func:`read_cbor` and :func:`to_cbor` (``pip install kelvo[dask]``).

Files are named as ``dask.bag.read_text`` and ``Bag.to_textfiles`` name them: a path, a glob
such as ``"logs/*.cbor"``, a list of paths, or any ``fsspec`` URL, with ``storage_options`` for
the file system. Each file holds a CBOR sequence (RFC 8742): items back to back.

A CBOR sequence has nothing that marks where an item starts, so a file can only be split by
reading it from the start. With ``blocksize``, :func:`read_cbor` adds one task per file that
streams the whole file through the native item scanner (in blocks of 1 MiB, on a worker,
never on the client) and finds the first item boundary after every multiple of ``blocksize``;
the partitions of that file then read their own byte range. The scan costs one extra read of
each file at a fraction of the decoding time (the scanner runs at about the speed of copying
the bytes), and the partitions of a file wait for it.

:func:`register_serialization` lets ``distributed`` ship plain data (dicts, lists, strings,
numbers, bytes...) between the client and the workers as kelvo CBOR.
"""

from __future__ import annotations

import bisect
import importlib.util
import math
from collections.abc import Callable, Iterable
from typing import Any

if importlib.util.find_spec("dask") is None or importlib.util.find_spec("fsspec") is None:
    raise ImportError("kelvo.dask needs dask[bag]: pip install 'kelvo[dask]'")

import dask
import dask.bag
import fsspec  # type: ignore[import-untyped]
from dask.utils import parse_bytes
from fsspec.core import get_fs_token_paths  # type: ignore[import-untyped]
from fsspec.utils import infer_compression  # type: ignore[import-untyped]

import kelvo
from kelvo._parallel import iter_parallel
from kelvo._scan import CBORSequenceError, Scanner

__all__ = ["read_cbor", "to_cbor", "register_serialization"]

# What the boundary scan asks of the file at a time (remote file systems favour large reads).
_SCAN_BLOCK = 1 << 20


def _noted(exc: BaseException, path: str, base: int) -> BaseException:
    offset = getattr(exc, "offset", None)
    where = f" at offset {base + offset}" if isinstance(offset, int) else ""
    exc.add_note(f"in the CBOR sequence file {path}{where}")
    return exc


def _with_path(items: list[Any], path: str, include_path: bool) -> list[Any]:
    return [(item, path) for item in items] if include_path else items


def _read_files(files: list[Any], decode_options: dict[str, Any], include_path: bool) -> list[Any]:
    """Every item of the whole files, in order (one partition)."""
    out: list[Any] = []
    for openfile in files:
        with openfile as fp:
            try:
                items = list(iter_parallel(fp, 1, decode_options))
            except CBORSequenceError as exc:
                raise _noted(exc, openfile.path, 0) from None
        out.extend(_with_path(items, openfile.path, include_path))
    return out


def _item_boundaries(fs: Any, path: str, size: int, blocksize: int, parts: int, max_depth: int) -> list[int]:
    """Scans the file from its start and returns ``parts + 1`` offsets: 0, then the first item
    start at or after each multiple of ``blocksize`` (the file size where there is none), then
    the file size."""
    bounds = [0]
    scanner = Scanner(max_depth=max_depth)
    try:
        with fs.open(path, "rb") as fp:
            while True:
                block = fp.read(_SCAN_BLOCK)
                if not block:
                    break
                ends = scanner.feed(block)
                while len(bounds) < parts and ends and ends[-1] >= len(bounds) * blocksize:
                    bounds.append(ends[bisect.bisect_left(ends, len(bounds) * blocksize)])
                if scanner.fault is not None:
                    raise scanner.fault
        scanner.finish()
    except CBORSequenceError as exc:
        raise _noted(exc, path, 0) from None
    bounds.extend([size] * (parts + 1 - len(bounds)))
    return bounds


def _read_range(fs: Any, path: str, bounds: list[int], part: int, decode_options: dict[str, Any],
                include_path: bool) -> list[Any]:
    """The items that start in partition ``part`` of the file."""
    start, end = bounds[part], bounds[part + 1]
    if start >= end:
        return []
    with fs.open(path, "rb") as fp:
        fp.seek(start)
        data = fp.read(end - start)
    try:
        items = kelvo.loads_seq(data, threads=1, **decode_options)
    except CBORSequenceError as exc:
        raise _noted(exc, path, start) from None
    return _with_path(items, path, include_path)


def read_cbor(urlpath: str | list[str], *, blocksize: int | str | None = None, compression: str | None = "infer",
              storage_options: dict[str, Any] | None = None, include_path: bool = False,
              files_per_partition: int | None = None, decode_options: dict[str, Any] | None = None
              ) -> dask.bag.Bag:
    """A bag of the items of one or many CBOR sequence files.

    :param urlpath: a path, a glob (``"logs/*.cbor"``), a list of paths or any ``fsspec`` URL
    :param blocksize: without it one partition per file; with it (bytes, or a string such as
        ``"64 MiB"``) an uncompressed file is split at item boundaries into partitions of about
        that size, found by one streamed scan of the file on a worker (see the module's notes)
    :param compression: ``"infer"`` (from the file name), None, or an ``fsspec`` compression name;
        compressed files cannot be split with ``blocksize``
    :param storage_options: options for the ``fsspec`` file system
    :param include_path: make each element ``(item, path)``
    :param files_per_partition: without ``blocksize``, put this many files in each partition
    :param decode_options: keyword options of :func:`kelvo.loads` for every item
    :return: a ``dask.bag.Bag``
    """
    options = dict(decode_options or {})
    if blocksize is not None and files_per_partition is not None:
        raise ValueError("blocksize and files_per_partition cannot be used together")
    if blocksize is not None:
        blocksize = parse_bytes(blocksize) if isinstance(blocksize, str) else int(blocksize)
        if blocksize <= 0:
            raise ValueError("blocksize must be positive")
    kelvo.loads(b"\x00", **options)  # a bad option fails here, on the client
    fs, _, paths = get_fs_token_paths(urlpath, mode="rb", storage_options=storage_options)
    if not paths:
        raise OSError(f"{urlpath} resolved to no files")
    partitions: list[Any] = []
    if blocksize is None:
        files = fsspec.open_files(urlpath, mode="rb", compression=compression, **(storage_options or {}))
        step = files_per_partition or 1
        for i in range(0, len(files), step):
            partitions.append(dask.delayed(_read_files, pure=True)(files[i:i + step], options, include_path))
        return dask.bag.from_delayed(partitions)
    for path in paths:
        if (infer_compression(path) if compression == "infer" else compression) is not None:
            raise ValueError(f"cannot split the compressed file {path} with blocksize: leave blocksize out")
    max_depth = options.get("max_depth", 400)
    for path in paths:
        size = fs.info(path)["size"]
        parts = max(1, math.ceil(size / blocksize))
        bounds = dask.delayed(_item_boundaries, pure=True)(fs, path, size, blocksize, parts, max_depth)
        for part in range(parts):
            partitions.append(dask.delayed(_read_range, pure=True)(fs, path, bounds, part, options, include_path))
    return dask.bag.from_delayed(partitions)


def _write_partition(items: Iterable[Any], openfile: Any, encode_options: dict[str, Any]) -> str:
    with openfile as fp:
        kelvo.dump_seq(items, fp, **encode_options)
    return openfile.path


def to_cbor(bag: dask.bag.Bag, urlpath_or_pattern: str | list[str], *,
            name_function: Callable[[int], str] | None = None, compression: str | None = None,
            compute: bool = True, storage_options: dict[str, Any] | None = None,
            encode_options: dict[str, Any] | None = None) -> list[str] | list[Any]:
    """Write each partition of a bag to a CBOR sequence file of its own.

    :param bag: the bag to write
    :param urlpath_or_pattern: a directory (files ``0.cbor``, ``1.cbor``, ...), a pattern with one
        ``*`` that the partition number (or ``name_function(number)``) replaces, or a list of
        paths, one per partition; any ``fsspec`` URL
    :param name_function: turns a partition number into the text put in place of ``*``
    :param compression: an ``fsspec`` compression name (``"gzip"``, ...) or None
    :param compute: write now and return the paths, or return one ``Delayed`` per file
    :param storage_options: options for the ``fsspec`` file system
    :param encode_options: keyword options of :func:`kelvo.dumps` for every item
    :return: the paths written, or the ``Delayed`` objects that write them
    """
    options = dict(encode_options or {})
    kelvo.dumps(None, **options)  # a bad option fails here, on the client
    if isinstance(urlpath_or_pattern, str) and "*" not in urlpath_or_pattern:
        urlpath_or_pattern = urlpath_or_pattern.rstrip("/") + "/*.cbor"
    files = fsspec.open_files(urlpath_or_pattern, mode="wb", compression=compression, name_function=name_function,
                              num=bag.npartitions, **(storage_options or {}))
    writes = [dask.delayed(_write_partition, pure=False)(part, openfile, options)
              for part, openfile in zip(bag.to_delayed(), files, strict=False)]
    if not compute:
        return writes
    return list(dask.compute(*writes))


# ---- distributed's serialisation

FAMILY = "kelvo"


def _serialize(obj: Any) -> tuple[dict[str, Any], list[bytes]]:
    if type(obj) not in _PLAIN:
        raise NotImplementedError  # the next family in the list takes it
    try:
        frame = kelvo.dumps(obj)
    except kelvo.CBOREncodeError:
        raise NotImplementedError from None
    return {"serializer": FAMILY, "tuple": type(obj) is tuple}, [frame]


def _deserialize(header: dict[str, Any], frames: list[Any]) -> Any:
    value = kelvo.loads(b"".join(frames) if len(frames) != 1 else frames[0])
    return tuple(value) if header.get("tuple") else value


# Only plain data at the top: lists of records, dicts, strings, numbers. Other objects (and
# anything kelvo would not bring back as the same type) are left to the next family.
_PLAIN = {dict, list, tuple, str, bytes, int, float, bool, type(None)}


def register_serialization() -> None:
    """Register the ``"kelvo"`` serialisation family with ``distributed`` in this process.

    Use it on the client and on every worker, then name it first::

        kelvo.dask.register_serialization()
        client = Client(cluster, serializers=["kelvo", "dask", "pickle"],
                        deserializers=["kelvo", "dask", "pickle"])
        client.run(kelvo.dask.register_serialization)

    Top-level dicts, lists, tuples, strings, bytes and numbers then travel as one CBOR item;
    anything else (or an object kelvo cannot encode) goes on to the next family. Tuples nested
    inside come back as lists, as CBOR has one array type.
    """
    from distributed.protocol.serialize import register_serialization_family

    register_serialization_family(FAMILY, _serialize, _deserialize)
