"""Typed decoding and encoding against plain loads/dumps (and msgspec where it is installed).

The typed sets are the benchmark's API records declared as slotted dataclasses (a `Record`
with a nested `Owner`) and as TypedDicts, field for field with the types plain `loads` gives
(so `created_at` stays `str`), and the business records with datetimes, dates, UUIDs and
Decimals declared with those types.

    python bench/typed.py [--quick]        times (thread CPU time, best of several samples)
    python bench/typed.py --callgrind      instructions per call under callgrind
"""

import argparse
import dataclasses
import datetime
import decimal
import gc
import glob
import itertools
import os
import random
import shutil
import subprocess
import sys
import tempfile
import uuid
from typing import TypedDict

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import datasets  # noqa: E402
import run  # noqa: E402

import kelvo  # noqa: E402


@dataclasses.dataclass(slots=True)
class Hashtag:
    text: str
    indices: list[int]


@dataclasses.dataclass(slots=True)
class Entities:
    hashtags: list[Hashtag]
    urls: list[str]


@dataclasses.dataclass(slots=True)
class Owner:
    id: int
    name: str
    screen_name: str
    followers_count: int
    verified: bool
    location: str | None
    description: str


@dataclasses.dataclass(slots=True)
class Record:
    id: int
    created_at: str
    text: str
    lang: str
    truncated: bool
    favorited: bool
    retweet_count: int
    favorite_count: int
    score: float
    coordinates: list[float] | None
    user: Owner
    entities: Entities


class HashtagTD(TypedDict):
    text: str
    indices: list[int]


class EntitiesTD(TypedDict):
    hashtags: list[HashtagTD]
    urls: list[str]


class OwnerTD(TypedDict):
    id: int
    name: str
    screen_name: str
    followers_count: int
    verified: bool
    location: str | None
    description: str


class RecordTD(TypedDict):
    id: int
    created_at: str
    text: str
    lang: str
    truncated: bool
    favorited: bool
    retweet_count: int
    favorite_count: int
    score: float
    coordinates: list[float] | None
    user: OwnerTD
    entities: EntitiesTD


@dataclasses.dataclass(slots=True)
class Business:
    id: int
    key: uuid.UUID
    created: datetime.datetime
    updated: datetime.datetime
    due: datetime.date
    amount: decimal.Decimal
    rate: decimal.Decimal
    status: str


def typed_sets(quick):
    """[(name, plain value, typed value, type)]"""
    scale = 10 if quick else 1
    api = datasets.api_documents(random.Random(datasets.SEED), 1000 // scale)
    records = datasets.records(random.Random(datasets.SEED + 1), 2000 // scale)
    api_typed = kelvo.decode(kelvo.dumps(api), type=list[Record])
    records_typed = kelvo.decode(kelvo.dumps(records), type=list[Business])
    return [("api/dataclass", api, api_typed, list[Record]), ("api/typeddict", api, api, list[RecordTD]),
            ("records/dataclass", records, records_typed, list[Business])]


def msgspec_peers():
    """msgspec's MessagePack decoders into the same dataclasses and into its own Struct types,
    and its encoder, or None when msgspec is not installed."""
    try:
        import msgspec
    except ImportError:
        return None

    class HashtagS(msgspec.Struct):
        text: str
        indices: list[int]

    class EntitiesS(msgspec.Struct):
        hashtags: list[HashtagS]
        urls: list[str]

    class OwnerS(msgspec.Struct):
        id: int
        name: str
        screen_name: str
        followers_count: int
        verified: bool
        location: str | None
        description: str

    class RecordS(msgspec.Struct):
        id: int
        created_at: str
        text: str
        lang: str
        truncated: bool
        favorited: bool
        retweet_count: int
        favorite_count: int
        score: float
        coordinates: list[float] | None
        user: OwnerS
        entities: EntitiesS

    class BusinessS(msgspec.Struct):
        id: int
        key: uuid.UUID
        created: datetime.datetime
        updated: datetime.datetime
        due: datetime.date
        amount: decimal.Decimal
        rate: decimal.Decimal
        status: str

    structs = {"api/dataclass": list[RecordS], "api/typeddict": list[RecordS], "records/dataclass": list[BusinessS]}
    return msgspec, structs


def _ratio(samples, num, den):
    """'median [lowest-highest]' of the per-round ratios samples[num] / samples[den]."""
    median, low, high = run.round_ratio(samples[num], samples[den])
    return f"{median:.2f} [{low:.2f}-{high:.2f}]"


def time_main(quick):
    print(f"interpreter: {sys.version.split()[0]} free-threaded={not sys._is_gil_enabled()}"
          f"{' (quick mode)' if quick else ''}")
    peers = msgspec_peers()
    min_ns, samples = (20_000_000, 3) if quick else (200_000_000, 7)
    print(f"{'set':<20}{'loads':>10}{'typed':>10}{'typed/loads':>20}", end="")
    if peers:
        print(f"{'msgspec dc':>12}{'msgspec St':>12}{'ms dc/typed':>20}{'ms St/typed':>20}", end="")
    print()
    for name, plain, typed, tp in typed_sets(quick):
        data = kelvo.dumps(plain)
        decoder = kelvo.Decoder(tp)
        runs = [(kelvo.loads, data), (decoder.decode, data)]
        if peers:
            msgspec, structs = peers
            packed = msgspec.msgpack.encode(typed)
            runs += [(msgspec.msgpack.Decoder(tp).decode, packed),
                     (msgspec.msgpack.Decoder(structs[name]).decode, packed)]
        s = run.sample_times(runs, min_ns, samples)
        t = [min(x) for x in s]
        print(f"{name:<20}{run.fmt_time(t[0]):>10}{run.fmt_time(t[1]):>10}{_ratio(s, 1, 0):>20}", end="")
        if peers:
            print(f"{run.fmt_time(t[2]):>12}{run.fmt_time(t[3]):>12}{_ratio(s, 2, 1):>20}{_ratio(s, 3, 1):>20}",
                  end="")
        print()
    print(f"\n{'encode':<20}{'dumps':>10}{'encode':>10}{'enc/dumps':>20}", end="")
    print(f"{'msgspec':>12}{'ms/encode':>20}" if peers else "")
    for name, plain, typed, _tp in typed_sets(quick):
        if name == "api/typeddict":
            continue
        runs = [(kelvo.dumps, plain), (kelvo.encode, typed)]
        if peers:
            runs.append((peers[0].msgpack.encode, typed))
        s = run.sample_times(runs, min_ns, samples)
        t = [min(x) for x in s]
        print(f"{name:<20}{run.fmt_time(t[0]):>10}{run.fmt_time(t[1]):>10}{_ratio(s, 1, 0):>20}", end="")
        print(f"{run.fmt_time(t[2]):>12}{_ratio(s, 2, 1):>20}" if peers else "")
    print("\nplain loads/dumps of the same bytes into dicts; typed = kelvo.Decoder(T).decode and "
          "kelvo.encode;\nmsgspec dc/St = msgspec.msgpack decoding into the same dataclasses / its own Struct "
          "types (ratios above 1: kelvo is faster);\ntimes: best sample; ratios: median [lowest-highest] of the "
          f"{samples} interleaved rounds")
    return 0


def callgrind_labels(quick):
    labels = []
    for name, _, _, _ in typed_sets(quick):
        labels += [f"{name}/loads", f"{name}/typed"]
    for name, _, _, _ in typed_sets(quick):
        if name != "api/typeddict":
            labels += [f"{name}/dumps", f"{name}/encode", f"{name}/encode-plain"]
    return labels


def callgrind_worker(quick):
    gc.disable()
    calls = 2 if quick else 5

    def measure(fn, arg):
        fn(arg)
        fn(arg)
        for _ in map(fn, itertools.repeat(arg, calls)):
            pass
        os.getppid()

    os.getppid()
    for _ in map(id, itertools.repeat(None, 200)):
        pass
    os.getppid()
    for _name, plain, _typed, tp in typed_sets(quick):
        data = kelvo.dumps(plain)
        measure(kelvo.loads, data)
        measure(kelvo.Decoder(tp).decode, data)
    for name, plain, typed, _tp in typed_sets(quick):
        if name != "api/typeddict":
            measure(kelvo.dumps, plain)
            measure(kelvo.encode, typed)
            measure(kelvo.encode, plain)


def callgrind_main(quick):
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        print("valgrind is not installed")
        return 1
    labels = callgrind_labels(quick)
    calls = 2 if quick else 5
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        cmd = [valgrind, "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=map_next",
               "--dump-after=os_getppid", f"--callgrind-out-file={out}", sys.executable, os.path.abspath(__file__),
               "--callgrind-worker"] + (["--quick"] if quick else [])
        print("running the typed measurements under callgrind...", flush=True)
        r = subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        if r.returncode != 0:
            print(r.stderr[-3000:])
            return 1
        dumps = sorted(glob.glob(out + ".*"), key=lambda p: int(p.rsplit(".", 1)[1]))
        counts = [run.dump_instructions(p) for p in dumps]
    base = counts[1] / 200
    per_call = {label: counts[i + 2] / calls - base for i, label in enumerate(labels)}
    print(f"interpreter: {sys.version.split()[0]}; instructions per call (callgrind)")
    for label in labels:
        print(f"  {label:<32}{run.fmt_count(per_call[label]):>12}")
    for name, _, _, _ in typed_sets(quick):
        print(f"  {name:<20} typed / loads {per_call[name + '/typed'] / per_call[name + '/loads']:.3f}")
        if name != "api/typeddict":
            ratio = per_call[name + '/encode-plain'] / per_call[name + '/dumps']
            print(f"  {name:<20} encode / dumps (dicts) {ratio:.3f}")
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--callgrind", action="store_true")
    ap.add_argument("--callgrind-worker", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.callgrind_worker:
        callgrind_worker(args.quick)
        return 0
    if args.callgrind:
        return callgrind_main(args.quick)
    return time_main(args.quick)


if __name__ == "__main__":
    sys.exit(main())
