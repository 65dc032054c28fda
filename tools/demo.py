"""A short demonstration of the module, run by `make`.

With a path argument it also writes a small document there, which `make` then shows with
`kelvo diag --pretty`.
"""

import io
import pathlib
import sys

import _kelvo
import kelvo

print("GIL enabled after import:", sys._is_gil_enabled())
print("__all__:", _kelvo.__all__)

fp = io.BytesIO()
enc = kelvo.CBOREncoder(fp)
print("CBOREncoder.write(b'\\x82\\x01\\x02') returned", enc.write(b"\x82\x01\x02"), "->", fp.getvalue().hex())

doc = {"id": 7, "name": "kelvo", "tags": ["cbor", "fast"], "ratio": 1.5, "ok": True, "none": None}
data = kelvo.dumps(doc, canonical=True)
print("dumps(doc, canonical=True) ->", data.hex())
print("loads(...) ->", kelvo.loads(data))
print("loads(..., immutable=True) ->", kelvo.loads(data, immutable=True))

cycle = []
cycle.append(cycle)
shared = kelvo.dumps(cycle, value_sharing=True)
back = kelvo.loads(shared)
print("a list containing itself, value_sharing=True ->", shared.hex(), "; decoded back as a cycle:", back[0] is back)

if len(sys.argv) > 1:
    path = pathlib.Path(sys.argv[1])
    path.parent.mkdir(parents=True, exist_ok=True)
    document = {"name": "kelvo", "version": [0, 1], "bytes": b"\x00\xff", "ratio": 1.5, "big": 2**70,
                "tagged": kelvo.CBORTag(32, "https://example.com/"), "unset": kelvo.undefined,
                "points": [[1, -2], [3.25, None]]}
    path.write_bytes(kelvo.dumps(document, canonical=True))
    print(f"wrote {path} ({path.stat().st_size} bytes); kelvo diag --pretty {path}:")
