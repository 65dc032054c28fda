"""Speed of kelvo.dagcbor beside the DAG-CBOR codecs libipld and cbrrr, on AT Protocol-like data.

kelvo is measured in this process, which must run without the GIL (a free-threaded
interpreter). The peers re-enable the GIL or have no free-threaded build, so they are measured
in a separate process on a GIL interpreter (--gil-python), together with kelvo on that same
interpreter for a like-for-like figure. Both processes build the same data from a fixed seed.

    python bench/dagcbor.py --gil-python .venv-gil/bin/python [--quick] [--rounds N]
    python bench/dagcbor.py --callgrind      # instructions per record, this interpreter

Rows: encoding and decoding a set of records one block per call (posts with replies, facets
and image or link embeds, likes, reposts and follows; CIDs in tag 42, datetimes as text), and
reading a CAR file of those blocks with every block decoded (kelvo: read_car plus loads of
each block; libipld: its CAR decoder, which decodes the blocks too).
"""

import argparse
import importlib.util
import json
import os
import random
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import best_times  # noqa: E402

WORDS = ("the", "a", "bluesky", "post", "today", "café", "naïve", "日本語", "🦋", "weather", "python", "cbor",
         "free-threaded", "rust", "graph", "link", "photo", "hello", "world", "again")


def _did(rng):
    return "did:plc:" + "".join(rng.choice("abcdefghijklmnopqrstuvwxyz234567") for _ in range(24))


def _tid(rng):
    return "".join(rng.choice("234567abcdefghijklmnopqrstuvwxyz") for _ in range(13))


def _time(rng):
    return (f"2024-{rng.randrange(1, 13):02d}-{rng.randrange(1, 29):02d}T{rng.randrange(24):02d}:"
            f"{rng.randrange(60):02d}:{rng.randrange(60):02d}.{rng.randrange(1000):03d}Z")


def records(n, seed=7):
    """n AT Protocol-like records (as kelvo.dagcbor values), the same for every process."""
    from kelvo.dagcbor import CID
    rng = random.Random(seed)

    def cid():
        return CID.for_block(rng.randbytes(32))

    def strong_ref():
        return {"cid": cid(), "uri": f"at://{_did(rng)}/app.bsky.feed.post/{_tid(rng)}"}

    out = []
    for _ in range(n):
        kind = rng.random()
        if kind < 0.4:
            text = " ".join(rng.choice(WORDS) for _ in range(rng.randrange(3, 40)))
            post = {"$type": "app.bsky.feed.post", "text": text, "createdAt": _time(rng), "langs": ["en"]}
            if rng.random() < 0.3:
                post["reply"] = {"root": strong_ref(), "parent": strong_ref()}
            if rng.random() < 0.3:
                end = len(text.encode())
                post["facets"] = [{"index": {"byteStart": 0, "byteEnd": min(end, 12)},
                                   "features": [{"$type": "app.bsky.richtext.facet#link",
                                                 "uri": "https://example.com/" + _tid(rng)}]}]
            embed = rng.random()
            if embed < 0.25:
                post["embed"] = {"$type": "app.bsky.embed.images", "images": [
                    {"alt": " ".join(rng.choice(WORDS) for _ in range(5)),
                     "image": {"$type": "blob", "ref": cid(), "mimeType": "image/jpeg",
                               "size": rng.randrange(10_000, 1_000_000)},
                     "aspectRatio": {"width": rng.randrange(100, 4000), "height": rng.randrange(100, 4000)}}
                    for _ in range(rng.randrange(1, 5))]}
            elif embed < 0.4:
                post["embed"] = {"$type": "app.bsky.embed.external", "external": {
                    "uri": "https://example.com/" + _tid(rng), "title": "A title", "description": "words " * 8,
                    "thumb": {"$type": "blob", "ref": cid(), "mimeType": "image/png", "size": 12345}}}
            elif embed < 0.5:
                post["embed"] = {"$type": "app.bsky.embed.record", "record": strong_ref()}
            out.append(post)
        elif kind < 0.75:
            out.append({"$type": "app.bsky.feed.like", "subject": strong_ref(), "createdAt": _time(rng)})
        elif kind < 0.85:
            out.append({"$type": "app.bsky.feed.repost", "subject": strong_ref(), "createdAt": _time(rng)})
        else:
            out.append({"$type": "app.bsky.graph.follow", "subject": _did(rng), "createdAt": _time(rng)})
    return out


def build(quick):
    """(blocks, CAR file) for the chosen size."""
    import io

    from kelvo import dagcbor
    values = records(300 if quick else 3000)
    blocks = [dagcbor.dumps(v) for v in values]
    fp = io.BytesIO()
    sections = [(dagcbor.CID.for_block(b), b) for b in blocks]
    dagcbor.write_car(fp, [sections[0][0]], sections)
    return blocks, fp.getvalue()


# ---- the codecs, each as (encode one value, decode one block, read and decode a CAR file)

def _kelvo():
    from kelvo import dagcbor
    loads = dagcbor.loads

    def car(data):
        return {cid: loads(block) for cid, block in dagcbor.read_car(data)}
    return dagcbor.dumps, loads, car


def _libipld():
    import libipld
    return libipld.encode_dag_cbor, libipld.decode_dag_cbor, libipld.decode_car


def _cbrrr():
    import cbrrr
    return cbrrr.encode_dag_cbor, cbrrr.decode_dag_cbor, None


def _kelvo_decode_car():
    from kelvo import dagcbor
    return None, None, dagcbor.decode_car


CODECS = {"kelvo": _kelvo, "kelvo decode_car": _kelvo_decode_car, "libipld": _libipld, "cbrrr": _cbrrr}
ROWS = ("encode records", "decode records", "CAR read + decode")


def measure(names, quick):
    """{codec: {row: seconds or None}} (and "note" where a codec cannot run), the codecs'
    samples of each row taken in turn."""
    blocks, car = build(quick)
    min_ns, samples = (5_000_000, 3) if quick else (50_000_000, 9)
    out, runs = {}, {row: [] for row in ROWS}
    for name in names:
        out[name] = dict.fromkeys(ROWS)
        try:
            encode, decode, read_car = CODECS[name]()
            if decode is not None:
                own = [decode(b) for b in blocks]  # each codec encodes its own form of the values
                if [encode(v) for v in own] != blocks:
                    out[name]["note"] = "its encoding differs from kelvo's"
        except Exception as exc:
            out[name]["note"] = f"cannot run: {type(exc).__name__}: {exc}"[:80]
            continue
        if decode is not None:
            runs["encode records"].append((name, lambda vs, encode=encode: [encode(v) for v in vs], own))
            runs["decode records"].append((name, lambda bs, decode=decode: [decode(b) for b in bs], blocks))
        if read_car is not None:
            runs["CAR read + decode"].append((name, read_car, car))
    for row, row_runs in runs.items():
        times = best_times([(fn, arg) for _, fn, arg in row_runs], min_ns, samples)
        for (name, _, _), t in zip(row_runs, times, strict=True):
            out[name][row] = t
    return out, len(blocks), len(car)


def _best(a, b):
    """The lower figure of each codec's row in two results."""
    out = {}
    for name, rows in a.items():
        out[name] = dict(rows)
        for row in ROWS:
            x, y = rows.get(row), b.get(name, {}).get(row)
            out[name][row] = y if x is None else x if y is None else min(x, y)
    return out


def _worker(python, quick):
    """The peers' results from a process on the GIL interpreter, or the reason it failed."""
    cmd = [python, os.path.abspath(__file__), "--worker"] + (["--quick"] if quick else [])
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        return " ".join(r.stderr.strip().splitlines()[-1:])
    return json.loads(r.stdout)


def fmt(s):
    return "n/a" if s is None else f"{s * 1e3:.2f} ms"


# ---- instructions per record (callgrind)
#
# Each row runs in a process of its own under valgrind, collecting only inside map()'s item
# fetch: the three measured calls are framed by os.getppid(), which makes callgrind dump its
# counts, so the second dump holds exactly those calls (the freeing of the results is not in
# it). The collector is off during them, as it is in the timed rows. Records are the 300 of
# --quick.

CALLGRIND_ROWS = ("encode records", "decode records", "CAR read + decode", "decode_car")
CALLGRIND_CALLS = 3


def _callgrind_worker(row):
    import gc
    import itertools

    from kelvo import dagcbor
    blocks, car = build(True)
    encode, decode, read_car = _kelvo()
    fn, arg = {
        "encode records": (lambda vs: [encode(v) for v in vs], [decode(b) for b in blocks]),
        "decode records": (lambda bs: [decode(b) for b in bs], blocks),
        "CAR read + decode": (read_car, car),
        "decode_car": (dagcbor.decode_car, car),
    }[row]
    fn(arg)
    fn(arg)
    gc.disable()  # as in the timed rows: a collection would land on whichever call crosses its threshold
    os.getppid()
    for _ in map(fn, itertools.repeat(arg, CALLGRIND_CALLS)):
        pass
    os.getppid()
    return len(blocks)


def callgrind():
    import shutil
    import tempfile
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        print("valgrind is not installed")
        return 1
    print(f"DAG-CBOR instructions per record (callgrind), {sys.version.split()[0]}, "
          f"GIL {'enabled' if sys._is_gil_enabled() else 'disabled'}")
    with tempfile.TemporaryDirectory() as tmp:
        for i, row in enumerate(CALLGRIND_ROWS):
            out = os.path.join(tmp, f"row{i}.out")
            cmd = [valgrind, "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=map_next",
                   "--dump-after=os_getppid", "--compress-strings=no", f"--callgrind-out-file={out}",
                   sys.executable, os.path.abspath(__file__), "--callgrind-worker", row]
            r = subprocess.run(cmd, capture_output=True, text=True)
            if r.returncode != 0:
                print(f"  {row:<20} failed: {' '.join(r.stderr.strip().splitlines()[-1:])}")
                continue
            records = int(r.stdout.strip())
            with open(out + ".2") as f:
                total = next(int(line.split()[1]) for line in f if line.startswith(("summary:", "totals:")))
            print(f"  {row:<20} {total / (records * CALLGRIND_CALLS):8.0f}")
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small data and few repetitions")
    ap.add_argument("--gil-python", help="the GIL interpreter (with kelvo, libipld and cbrrr) for the peers")
    ap.add_argument("--rounds", type=int, default=5, help="rounds of both processes in turn (default 5)")
    ap.add_argument("--callgrind", action="store_true", help="instructions per record under callgrind instead")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--callgrind-worker", help=argparse.SUPPRESS)
    args, _ = ap.parse_known_args()

    if args.callgrind_worker:
        print(_callgrind_worker(args.callgrind_worker))
        return 0
    if args.callgrind:
        return callgrind()

    if args.worker:
        names = [n for n in CODECS if n.startswith("kelvo") or importlib.util.find_spec(n) is not None]
        json.dump({"gil": sys._is_gil_enabled(), "results": measure(names, args.quick)[0]}, sys.stdout)
        return 0

    # The two processes take turns, several rounds: each table figure is the best of its
    # rounds, and each ratio is taken within a round (peer and kelvo measured minutes apart at
    # most), then summed up as the median and range over the rounds, so that a busy moment
    # of a shared machine shows as spread instead of landing on one side only.
    rounds = 1 if args.quick else args.rounds
    own, worker, per_round = None, None, []
    for _ in range(rounds):
        mine, n_blocks, car_size = measure(["kelvo", "kelvo decode_car"], args.quick)
        own = mine if own is None else _best(own, mine)
        theirs = None
        if args.gil_python:
            theirs = _worker(args.gil_python, args.quick)
            if isinstance(theirs, str):
                worker = theirs
                break
            worker = theirs if worker is None else {**theirs, "results": _best(worker["results"], theirs["results"])}
        per_round.append((mine, theirs["results"] if theirs else {}))
    free = not sys._is_gil_enabled()
    print(f"DAG-CBOR: {n_blocks} AT Protocol-like records, CAR file of {car_size} bytes; "
          f"kelvo in this process: {sys.version.split()[0]}, GIL {'disabled' if free else 'ENABLED'}")
    columns = {"kelvo": own["kelvo"], "decode_car": own["kelvo decode_car"]}  # this process, no GIL
    notes = []
    if not free:
        notes.append("warning: the GIL is enabled in the process that measures kelvo")
    if isinstance(worker, str):
        notes.append(f"the GIL worker failed: {worker}")
    elif worker is not None:
        for name, row in worker["results"].items():
            columns[f"{name.replace('kelvo decode_car', 'decode_car')} (GIL)"] = row
        if not worker["gil"]:
            notes.append("the peer process ran without the GIL")
    for name, row in columns.items():
        if "note" in row:
            notes.append(f"{name}: {row['note']}")
    print(f"{'':<20}" + "".join(f"{name:>18}" for name in columns))
    for row in ROWS:
        print(f"{row:<20}" + "".join(f"{fmt(columns[name][row]):>18}" for name in columns))
    print(f"\nratio = peer time / kelvo time (above 1: kelvo is faster), per round, as median [lowest-highest] "
          f"over {len(per_round)} round(s); kelvo's CAR row is read_car plus loads of each block "
          "(decode_car: kelvo's one-call CAR decoding, the like of libipld's decode_car)")

    def spread(name, row, against="kelvo", against_row=None):
        ratios = []
        for mine, theirs in per_round:
            peer = theirs.get(name.removesuffix(" (GIL)"), {}) if name.endswith("(GIL)") else mine.get(name, {})
            t, k = peer.get(row), mine.get(against, {}).get(against_row or row)
            if t is None or k is None:
                return "n/a"
            ratios.append(t / k)
        return f"{statistics.median(ratios):.2f}x [{min(ratios):.2f}-{max(ratios):.2f}]"

    for name in columns:
        if name in ("kelvo", "decode_car", "decode_car (GIL)"):
            continue
        worker_name = name.replace("decode_car", "kelvo decode_car")
        print(f"  {name:<14} " + ", ".join(f"{row} {spread(worker_name, row)}" for row in ROWS))
        if name != "kelvo (GIL)" and columns[name]["CAR read + decode"] is not None:
            print(f"  {'':<14} CAR against kelvo's decode_car: "
                  f"{spread(worker_name, 'CAR read + decode', 'kelvo decode_car')}")
    if per_round and per_round[0][1]:
        print("  against kelvo on the GIL interpreter (same process as the peers):")
        for name in ("libipld", "cbrrr"):
            if name not in per_round[0][1]:
                continue
            ratios = []
            for row in ROWS:
                rs = [theirs[name][row] / theirs["kelvo"][row] for _, theirs in per_round
                      if theirs[name][row] is not None and theirs["kelvo"][row] is not None]
                ratios.append(f"{row} {statistics.median(rs):.2f}x [{min(rs):.2f}-{max(rs):.2f}]" if rs else
                              f"{row} n/a")
            print(f"  {name + ' (GIL)':<14} " + ", ".join(ratios))
            rs = [theirs[name]["CAR read + decode"] / theirs["kelvo decode_car"]["CAR read + decode"]
                  for _, theirs in per_round if theirs[name]["CAR read + decode"] is not None]
            if rs:
                print(f"  {'':<14} CAR against kelvo's decode_car: {statistics.median(rs):.2f}x "
                      f"[{min(rs):.2f}-{max(rs):.2f}]")
    for note in notes:
        print("note:", note)
    return 0


if __name__ == "__main__":
    sys.exit(main())
