"""Python side of the DAG-CBOR fuzz targets (dagcbor.cpp): the decoder and the CAR reader.

dagcbor_input: whatever decodes strictly must encode back to the very same bytes (the profile
gives every value one encoding), what decodes leniently must encode to a block that decodes
strictly to an equal value, and a sequence must come back item by item. car_input: a CAR file
read from bytes and from a stream gives the same sections, writing them out again gives a
file that reads back the same, and decode_car gives what loads gives for each block. Any
exception other than CBORDecodeError is a finding.
"""

import io
import sys

from kelvo_fuzz import settle  # noqa: F401 - the targets call it between repeated runs

from kelvo import CBORDecodeError, dagcbor
from kelvo.dagcbor import CID

assert not sys._is_gil_enabled(), "the fuzz targets need the free-threaded interpreter without the GIL"


def _cids(value):
    stack = [value]
    while stack:
        v = stack.pop()
        if isinstance(v, CID):
            yield v
        elif isinstance(v, list):
            stack.extend(v)
        elif isinstance(v, dict):
            stack.extend(v.values())


def _check_cid(cid):
    assert CID(str(cid)) == cid and CID(bytes(cid)) == cid, cid
    assert cid.multihash.digest == bytes(cid)[len(bytes(cid)) - len(cid.digest):]


def dagcbor_input(data):
    try:
        strict = dagcbor.loads(data)
    except CBORDecodeError as exc:
        assert isinstance(exc.offset, int) and 0 <= exc.offset <= len(data), exc
        strict_ok = False
    else:
        strict_ok = True
        again = dagcbor.dumps(strict)
        assert again == data, f"re-encoding changed the block: {data.hex()} -> {again.hex()}"
        for cid in _cids(strict):
            _check_cid(cid)
    try:
        lenient = dagcbor.loads(data, strict=False)
    except CBORDecodeError:
        assert not strict_ok, "the lenient decoder refused a block the strict one took"
    else:
        block = dagcbor.dumps(lenient)
        assert dagcbor.loads(block) == lenient
        if strict_ok:
            assert lenient == strict
    try:
        items = dagcbor.loads_seq(data)
    except CBORDecodeError:
        pass
    else:
        assert b"".join(dagcbor.dumps(item) for item in items) == data


def car_input(data):
    results = []
    for source in (data, io.BytesIO(data)):
        try:
            reader = dagcbor.read_car(source, max_section_size=1 << 16, verify=data[-1:] == b"\x01")
            results.append((reader.roots, list(reader)))
        except CBORDecodeError as exc:
            assert isinstance(exc.offset, int) and 0 <= exc.offset <= len(data), exc
            results.append(type(exc).__name__)
    assert results[0] == results[1], results
    try:
        header, blocks = dagcbor.decode_car(data, max_section_size=1 << 16)
    except CBORDecodeError as exc:
        assert isinstance(exc.offset, int) and 0 <= exc.offset <= len(data), exc
        blocks = None
    if isinstance(results[0], tuple):
        roots, sections = results[0]
        out = io.BytesIO()
        dagcbor.write_car(out, roots, sections)
        reader = dagcbor.read_car(out.getvalue())
        assert (reader.roots, list(reader)) == (roots, sections)
        # decode_car decodes in place what read_car hands out: the same values, or a refusal
        # exactly when some block is not DAG-CBOR
        try:
            expected = {cid: dagcbor.loads(block) for cid, block in sections}
        except CBORDecodeError:
            expected = None
        assert blocks == expected and (blocks is None or header["roots"] == roots)
    else:
        assert blocks is None
