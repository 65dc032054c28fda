"""Seeds of the DAG-CBOR fuzz targets (dagcbor_fuzz.py), written by make_seeds.py: AT Protocol-like
records, blocks that break the profile, an event-stream frame, and small CAR files."""

import io
from pathlib import Path

from kelvo import dagcbor
from kelvo.dagcbor import CID


def _records():
    post = {"$type": "app.bsky.feed.post", "text": "hëllo \U0001f600", "createdAt": "2024-05-01T12:00:00.000Z",
            "langs": ["en"], "reply": None, "facets": [{"index": {"byteStart": 0, "byteEnd": 5}}]}
    like = {"$type": "app.bsky.feed.like", "createdAt": "2024-05-01T12:00:00.000Z",
            "subject": {"cid": CID.for_block(dagcbor.dumps(post)), "uri": "at://did:plc:abc/app.bsky.feed.post/1"}}
    other = [0, 23, 24, 2**64 - 1, -(2**64), 1.5, -0.0, True, False, b"\x00\xff", "", {"a": 1, "bb": 2, "c": {}},
             CID("QmdfTbBqBPQ7VNxZEYEj14VmRuZBkqFbiwReogJgS1zR1n")]
    return [post, like, other, {"op": 1, "t": "#commit"}]


def write_seeds(out):
    out = Path(out)
    (out / "dagcbor").mkdir(parents=True, exist_ok=True)
    (out / "car").mkdir(parents=True, exist_ok=True)
    blocks = [dagcbor.dumps(r) for r in _records()]
    broken = [bytes.fromhex(h) for h in ("a2616201616102", "f93c00", "1817", "d82a4101", "c100", "9fff")]
    for i, block in enumerate(blocks + broken + [blocks[-1] + blocks[0]]):
        (out / "dagcbor" / f"seed-{i:04d}").write_bytes(block)
    sections = [(CID.for_block(b), b) for b in blocks]
    for i in range(3):
        fp = io.BytesIO()
        dagcbor.write_car(fp, [sections[0][0]] if i else [], sections[:i + 1])
        data = fp.getvalue()
        (out / "car" / f"seed-{i:04d}").write_bytes(data + (b"\x01" if i == 2 else b""))
    return len(blocks) + len(broken) + 1, 3
