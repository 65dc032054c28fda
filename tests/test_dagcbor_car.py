"""kelvo.dagcbor: CAR files, and the AT Protocol's JSON form of CIDs and byte strings."""

import hashlib
import io
import threading

import pytest

from _kelvo import CBORDecodeEOF, CBORDecodeError
from kelvo import dagcbor
from kelvo.dagcbor import CID


def records():
    post = {"$type": "app.bsky.feed.post", "text": "héllo", "createdAt": "2024-01-01T00:00:00.000Z"}
    like = {"$type": "app.bsky.feed.like", "subject": {"cid": CID.for_block(dagcbor.dumps(post)), "uri": "at://x"}}
    return [dagcbor.dumps(post), dagcbor.dumps(like), b"raw bytes, not DAG-CBOR"]


@pytest.fixture
def car():
    """A CAR file with two DAG-CBOR blocks, one raw block and one CIDv0 (dag-pb) section."""
    blocks = records()
    sections = [(CID.for_block(b), b) for b in blocks[:2]]
    sections.append((CID.for_block(blocks[2], codec=dagcbor.RAW), blocks[2]))
    pb = b"\x0a\x02\x08\x01"
    sections.append((CID(b"\x12\x20" + hashlib.sha256(pb).digest()), pb))
    fp = io.BytesIO()
    dagcbor.write_car(fp, [sections[1][0]], sections)
    return fp.getvalue(), sections


def test_car_round_trip(car):
    data, sections = car
    root = sections[1][0]
    header = dagcbor.dumps({"roots": [root], "version": 1})
    assert header.startswith(bytes.fromhex("a265726f6f747381d82a582500"))
    assert data[0] == len(header) and data[1:1 + len(header)] == header
    for source in (data, bytearray(data), io.BytesIO(data)):
        reader = dagcbor.read_car(source, verify=True)
        assert (reader.roots, reader.version) == ([root], 1)
        assert list(reader) == sections
    reader = dagcbor.read_car(data)
    assert list(reader) == list(reader)  # an in-memory file can be read again
    assert [c.version for c, _ in reader] == [1, 1, 1, 0]
    assert dagcbor.loads(dict(reader)[root])["$type"] == "app.bsky.feed.like"


def test_decode_car_decodes_every_block_in_place(car):
    data, sections = car
    dag_cbor = sections[:2]
    fp = io.BytesIO()
    dagcbor.write_car(fp, [dag_cbor[0][0]], dag_cbor)
    header, blocks = dagcbor.decode_car(fp.getvalue())
    assert header == {"roots": [dag_cbor[0][0]], "version": 1}
    assert blocks == {cid: dagcbor.loads(block) for cid, block in dag_cbor}
    with pytest.raises(CBORDecodeError) as info:
        dagcbor.decode_car(data)  # the raw block is not DAG-CBOR
    # b"raw bytes, ..." reads as a text string of 0x72 & 31 = 18 bytes, then trailing bytes
    assert info.value.offset == data.index(sections[2][1]) + 1 + 18
    assert info.value.rule == "trailing bytes after the item"
    with pytest.raises(CBORDecodeEOF):
        dagcbor.decode_car(fp.getvalue()[:-1])


def test_car_without_sections():
    fp = io.BytesIO()
    dagcbor.write_car(fp, [], [])
    assert fp.getvalue() == bytes.fromhex("11a265726f6f7473806776657273696f6e01")
    reader = dagcbor.read_car(fp.getvalue())
    assert (reader.roots, list(reader)) == ([], [])


def test_car_cut_anywhere_is_an_eof_error(car):
    data, _ = car
    for end in range(1, len(data)):
        if end in boundaries(data):
            continue
        with pytest.raises(CBORDecodeEOF):
            list(dagcbor.read_car(data[:end]))
        with pytest.raises(CBORDecodeEOF):
            list(dagcbor.read_car(io.BytesIO(data[:end])))


def boundaries(data):
    """The offsets at which a CAR file may end: after the header and after each section."""
    ends, pos = set(), 0
    while pos < len(data):
        size, after = dagcbor._read_varint(data, pos)
        pos = after + size
        ends.add(pos)
    return ends


@pytest.mark.parametrize("stream", [False, True], ids=["bytes", "stream"])
def test_car_huge_length_is_refused_before_reading(car, stream):
    data, _ = car
    header_end = min(boundaries(data))
    huge = data[:header_end] + dagcbor._varint(2**62) + b"\x01\x71"
    source = io.BytesIO(huge) if stream else huge
    with pytest.raises(CBORDecodeError) as info:
        list(dagcbor.read_car(source))
    assert info.value.offset == header_end
    with pytest.raises(CBORDecodeError, match="over max_section_size"):
        list(dagcbor.read_car(io.BytesIO(data), max_section_size=40))
    with pytest.raises(CBORDecodeError, match="over max_section_size"):
        dagcbor.read_car(b"\xff\xff\x03" + b"\x00" * 100, max_section_size=1000)


@pytest.mark.parametrize("size", [1, 100, 20_000], ids=["length-1-byte", "length-2-bytes", "length-3-bytes"])
@pytest.mark.parametrize("codec", [dagcbor.DAG_CBOR, 0x0129], ids=["codec-1-byte", "codec-2-bytes"])
def test_car_section_lengths_and_cid_forms(size, codec):
    # The usual forms (short sections, one-byte CID varints) are read on a fast path, the
    # rest on the general one: both must give the same sections and offsets.
    block = dagcbor.dumps("x" * size)
    cid = CID.from_parts(1, codec, dagcbor.Multihash(dagcbor.SHA2_256, hashlib.sha256(block).digest()))
    fp = io.BytesIO()
    dagcbor.write_car(fp, [cid], [(cid, block), (cid, block)])
    data = fp.getvalue()
    assert list(dagcbor.read_car(data, verify=True)) == [(cid, block), (cid, block)]
    if codec == dagcbor.DAG_CBOR:
        assert dagcbor.decode_car(data)[1] == {cid: "x" * size}
    section = dagcbor._varint(len(bytes(cid)) + len(block)) + bytes(cid) + block
    with pytest.raises(CBORDecodeEOF) as info:
        list(dagcbor.read_car(data[:-1]))
    assert info.value.offset == len(data) - len(section)  # the second section, cut short


@pytest.mark.parametrize("verify", [False, True], ids=["plain", "verified"])
def test_car_yields_the_sections_before_a_fault_then_stops(car, verify):
    data, sections = car
    bad_at = len(data)
    it = iter(dagcbor.read_car(data + b"\x02\x02\x71", verify=verify))  # a CID of version 2
    assert [next(it) for _ in sections] == sections
    with pytest.raises(CBORDecodeError) as info:
        next(it)
    assert info.value.offset == bad_at and "CID version" in str(info.value)
    assert list(it) == []


def test_car_reader_shared_by_threads_gives_each_section_once(car):
    data, sections = car
    many = io.BytesIO()
    dagcbor.write_car(many, [], sections * 500)
    it = iter(dagcbor.read_car(many.getvalue()))
    seen = [[] for _ in range(4)]
    threads = [threading.Thread(target=lambda out: out.extend(it), args=(out,)) for out in seen]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(map(len, seen)) != [0, 0, 0, 0]
    assert sorted((bytes(c), b) for out in seen for c, b in out) == sorted((bytes(c), b) for c, b in sections * 500)


def test_car_verify_finds_a_wrong_block(car):
    data, sections = car
    block = sections[0][1]
    tampered = data.replace(block, block[:-1] + b"\x00")
    assert len(list(dagcbor.read_car(tampered))) == 4
    with pytest.raises(CBORDecodeError, match="digest does not match"):
        list(dagcbor.read_car(tampered, verify=True))


@pytest.mark.parametrize("data, message", [
    pytest.param(b"", "without a header", id="empty"),
    pytest.param(b"\x01\x00", "header without a version", id="header-int"),
    pytest.param(b"\x02\xa0\x00", "header that is not DAG-CBOR", id="header-trailing"),
    pytest.param(b"\x01\xa0", "header without a version", id="header-empty-map"),
    pytest.param(b"\x11" + dagcbor.dumps({"roots": [], "version": 2}), "CAR version 2", id="version-2"),
    pytest.param(b"\x12" + dagcbor.dumps({"roots": [1], "version": 1}), "roots are not a list of CIDs",
                 id="roots-not-cids"),
    pytest.param(b"\x11" + dagcbor.dumps({"roots": [], "version": 1}) + b"\x00", "empty section", id="empty-section"),
    pytest.param(b"\x11" + dagcbor.dumps({"roots": [], "version": 1}) + b"\x02\x02\x71", "CID version",
                 id="section-cid-version"),
    pytest.param(b"\x11" + dagcbor.dumps({"roots": [], "version": 1}) + b"\x05\x01\x71\x12\x20\x00",
                 "CID longer than its section", id="section-cid-too-long"),
    pytest.param(b"\x11" + dagcbor.dumps({"roots": [], "version": 1}) + b"\x80\x00", "section length varint",
                 id="length-not-minimal"),
])
def test_car_malformed(data, message):
    with pytest.raises(CBORDecodeError, match=message):
        list(dagcbor.read_car(data))


# ---- the JSON form

def test_json_form_both_ways():
    cid = CID("bafkreifzjut3te2nhyekklss27nh3k72ysco7y32koao5eei66wof36n5e")
    value = {"ref": cid, "blob": b"\x00\x01\xfe", "list": [cid, (b"",)], "n": 1, "s": "t"}
    shaped = dagcbor.to_json_data(value)
    assert shaped == {"ref": {"$link": str(cid)}, "blob": {"$bytes": "AAH+"}, "list": [{"$link": str(cid)},
                                                                                       [{"$bytes": ""}]],
                      "n": 1, "s": "t"}
    text = dagcbor.dumps_json(value, sort_keys=True)
    assert dagcbor.loads_json(text) == {**value, "list": [cid, [b""]]}
    assert dagcbor.from_json_data({"$bytes": "AA=="}) == b"\x00"  # padding is accepted
    # a map with other keys beside "$link" is an ordinary map
    assert dagcbor.from_json_data({"$link": str(cid), "x": 1}) == {"$link": str(cid), "x": 1}


@pytest.mark.parametrize("shaped", [{"$link": "not a cid"}, {"$bytes": "***"}], ids=["link", "bytes"])
def test_json_form_refuses_bad_strings(shaped):
    with pytest.raises(ValueError):
        dagcbor.from_json_data(shaped)
