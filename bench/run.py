"""Speed and scaling of kelvo side by side with the stdlib serializers and available peers.

Every figure comes from one run on the same interpreter: the median time per call over many
repetitions, and the ratio peer/kelvo (above 1 means kelvo is faster). Peers that re-enable
the GIL when imported are measured in a separate process so that kelvo's own figures are
never taken with the GIL on.

    python bench/run.py            # full run
    python bench/run.py --quick    # a smoke run, well under a minute
    python bench/run.py --callgrind [--sets api,deep]
                                   # instructions per call under valgrind's callgrind, for
                                   # kelvo, pickle and marshal on the same data
"""

import argparse
import functools
import gc
import glob
import itertools
import importlib
import json
import os
import statistics
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import datasets  # noqa: E402

sys.setrecursionlimit(20000)
DEEP_DEPTH = 10_000


def _kelvo():
    import kelvo
    return (kelvo.dumps, kelvo.loads, True)


def _pickle():
    import pickle
    return (functools.partial(pickle.dumps, protocol=5), pickle.loads, True)


def _marshal():
    import marshal
    return (marshal.dumps, marshal.loads, True)


def _json():
    import json as j
    return (j.dumps, j.loads, False)


def _msgpack():
    import msgpack
    return (lambda o: msgpack.packb(o, use_bin_type=True),
            lambda b: msgpack.unpackb(b, raw=False), True)


def _orjson():
    import orjson
    return (orjson.dumps, orjson.loads, False)


CODECS = {"kelvo": _kelvo, "pickle": _pickle, "marshal": _marshal, "json": _json,
          "msgpack": _msgpack, "orjson": _orjson}
STDLIB = ("pickle", "marshal", "json")
OPTIONAL = ("msgpack", "orjson")


def loads_for(name, set_name, loads):
    """The decoder of a codec for one data set: kelvo's nesting limit is raised for 'deep'."""
    if name == "kelvo" and set_name == "deep":
        return functools.partial(loads, max_depth=DEEP_DEPTH)
    return loads


def loops_for(fn, arg, min_ns):
    """How many calls of fn(arg) take min_ns at least, after a warm-up."""
    fn(arg)
    loops = 1
    while True:
        t0 = time.perf_counter_ns()
        for _ in range(loops):
            fn(arg)
        dt = time.perf_counter_ns() - t0
        if dt >= min_ns or loops >= 1 << 20:
            return loops
        loops *= 2 if dt < min_ns / 8 else max(2, int(min_ns / max(dt, 1)) + 1)


def best_times(runs, min_ns, samples):
    """Seconds per call of each (fn, arg) in `runs`, after a warm-up: the best of `samples`
    samples, which take every run in turn, so that a slow moment of a shared machine does
    not land on one side only. Time is the calling thread's CPU time, which other work on
    the machine disturbs far less than the clock on the wall."""
    loops = []
    for fn, arg in runs:
        deadline = time.perf_counter_ns() + min_ns
        fn(arg)
        while time.perf_counter_ns() < deadline:
            fn(arg)
        loops.append(loops_for(fn, arg, min_ns))
    best = [float("inf")] * len(runs)
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for _ in range(samples):
            for i, (fn, arg) in enumerate(runs):
                t0 = time.thread_time_ns()
                for _ in range(loops[i]):
                    fn(arg)
                best[i] = min(best[i], (time.thread_time_ns() - t0) / loops[i] / 1e9)
    finally:
        if gc_was:
            gc.enable()
    return best


def measure_set(names, one_set, quick):
    """{codec: {"encode": s, "decode": s}} for one data set, the codecs' samples taken in
    turn, with None where a codec cannot run (and the reason under "error")."""
    set_name, data, needs_bytes = one_set
    min_ns, samples = (5_000_000, 3) if quick else (50_000_000, 11)
    out = {name: {"encode": None, "decode": None} for name in names}
    runs = {"encode": [], "decode": []}
    for name in names:
        dumps, loads, carries_bytes = CODECS[name]()
        if needs_bytes and not carries_bytes:
            continue
        try:
            encoded = dumps(data)
            loads_for(name, set_name, loads)(encoded)
        except Exception as exc:  # a peer that cannot carry a set (nesting limits, ...)
            out[name]["error"] = f"{type(exc).__name__}: {exc}"[:60]
            continue
        runs["encode"].append((name, dumps, data))
        runs["decode"].append((name, loads_for(name, set_name, loads), encoded))
    for op, op_runs in runs.items():
        times = best_times([(fn, arg) for _, fn, arg in op_runs], min_ns, samples)
        for (name, _, _), t in zip(op_runs, times):
            out[name][op] = t
    return out


def measure_codec(name, sets, quick):
    """{dataset: {"encode": s, "decode": s}} for one codec, with None where it cannot run."""
    out = {}
    for one_set in sets:
        out.update({one_set[0]: measure_set([name], one_set, quick)[name]})
    return out


def probe_peer(name):
    """'inproc', 'isolated' (it enables the GIL) or None (not installed)."""
    code = f"import sys, {name}; print(sys._is_gil_enabled())"
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if r.returncode != 0:
        return None
    return "isolated" if r.stdout.strip() == "True" else "inproc"


def measure_isolated(name, quick):
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", name] + (["--quick"] if quick else [])
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        return None
    return json.loads(r.stdout)


def throughput_ratio(fn, args_one, args_two, iters, rounds=5):
    """throughput(2 threads) / throughput(1 thread) for fn over iters calls per thread.

    One and two threads are timed alternately, several rounds, and the medians compared,
    so that a slow moment of the machine does not land on one side only."""
    def loop(arg, barrier=None):
        if barrier is not None:
            barrier.wait()
        for _ in range(iters):
            fn(arg)

    loop(args_one)  # warm-up
    # As in the timings above, the collector's stop-the-world passes are left out.
    gc_was = gc.isenabled()
    gc.disable()
    ones, twos = [], []
    try:
        for _ in range(rounds):
            t0 = time.perf_counter()
            loop(args_one)
            ones.append(time.perf_counter() - t0)
            barrier = threading.Barrier(3)
            threads = [threading.Thread(target=loop, args=(a, barrier)) for a in args_two]
            for t in threads:
                t.start()
            barrier.wait()
            t0 = time.perf_counter()
            for t in threads:
                t.join()
            twos.append(time.perf_counter() - t0)
    finally:
        if gc_was:
            gc.enable()
    return (2 * iters / statistics.median(twos)) / (iters / statistics.median(ones))


def scaling(quick):
    dumps, loads, _ = CODECS["kelvo"]()
    loads = loads_for("kelvo", "api", loads)
    iters = 3 if quick else 30
    own_a = datasets.api_documents(datasets.random.Random(1))
    own_b = datasets.api_documents(datasets.random.Random(2))
    enc_a, enc_b = dumps(own_a), dumps(own_b)
    return {
        "encode, own data": throughput_ratio(dumps, own_a, (own_a, own_b), iters),
        "decode, own data": throughput_ratio(loads, enc_a, (enc_a, enc_b), iters),
        "encode, shared object": throughput_ratio(dumps, own_a, (own_a, own_a), iters),
        "decode, shared bytes": throughput_ratio(loads, enc_a, (enc_a, enc_a), iters),
        "pickle encode, own data": throughput_ratio(CODECS["pickle"]()[0], own_a, (own_a, own_b), iters),
    }


def copy_baseline(sets, quick):
    """One copy of the payloads into one new bytes object (b"".join), as dumps must make."""
    min_ns, samples = (5_000_000, 3) if quick else (50_000_000, 11)
    for set_name, data, needs_bytes in sets:
        if set_name == "bytes":
            # A leading empty piece: join returns a lone bytes object itself, uncopied.
            return best_times([(lambda blobs: b"".join([b"", *blobs]), data)], min_ns, samples)[0]
    return None


# ---- Instruction counts (callgrind)
#
# The worker runs under valgrind with collection off, switched on only inside map()'s
# item fetch (map_next): `for _ in map(fn, repeat(arg, n))` counts exactly the n calls
# of fn, not the loop around them nor the freeing of each result (that happens after the
# fetch returns, for every codec alike). After each measurement os.getppid() makes
# callgrind dump the counts gathered since the previous dump, so one process measures
# every row. The per-call cost of the map loop itself (measured with a call of id()) is
# subtracted.

CALLGRIND_CODECS = ("kelvo", "pickle", "marshal")


def callgrind_calls(set_name, quick):
    """Calls per measurement: enough to average out one-off effects, few under valgrind."""
    if quick:
        return 2
    return {"deep": 50, "bytes": 4}.get(set_name, 5)


def callgrind_plan(sets, quick):
    """[(label, calls)] in the order the worker measures them."""
    plan = [("baseline", 200)]
    for set_name, _, _ in sets:
        for name in CALLGRIND_CODECS:
            for op in ("encode", "decode"):
                plan.append((f"{set_name}/{name}/{op}", callgrind_calls(set_name, quick)))
    return plan


def callgrind_worker(sets, quick):
    codecs = {name: CODECS[name]() for name in CALLGRIND_CODECS}
    plan = dict(callgrind_plan(sets, quick))
    gc.disable()

    def run(label, fn, arg):
        fn(arg)  # warm-up, not counted (called outside map)
        fn(arg)
        for _ in map(fn, itertools.repeat(arg, plan[label])):
            pass
        os.getppid()  # dump

    os.getppid()  # everything before the first measurement goes in a dump of its own
    run("baseline", id, None)
    for set_name, data, _ in sets:
        for name, (dumps, loads, _) in codecs.items():
            try:
                encoded = dumps(data)
            except Exception:  # a codec that cannot carry the set: two empty dumps
                os.getppid()
                os.getppid()
                continue
            run(f"{set_name}/{name}/encode", dumps, data)
            run(f"{set_name}/{name}/decode", loads_for(name, set_name, loads), encoded)


def dump_instructions(path):
    with open(path) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError(f"no totals in {path}")


def print_table(sets, codecs, figure, fmt, width):
    """One row per data set and operation: kelvo's figure, then each peer's with the ratio
    peer / kelvo. figure(codec, set_name, op) gives a number, or None where there is none."""
    peers = [p for p in codecs if p != "kelvo"]
    header = f"{'data set':<8} {'op':<7} {'kelvo':>{width}}" + "".join(f" {p:>{width}} {'ratio':>6}" for p in peers)
    print()
    print(header)
    print("-" * len(header))
    for set_name, _, _ in sets:
        for op in ("encode", "decode"):
            k = figure("kelvo", set_name, op)
            line = f"{set_name:<8} {op:<7} {fmt(k):>{width}}"
            for p in peers:
                v = figure(p, set_name, op)
                ratio = f"{v / k:.2f}" if v and k else "-"
                line += f" {fmt(v):>{width}} {ratio:>6}"
            print(line)


def callgrind_main(args, sets):
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        print("valgrind is not installed")
        return 1
    plan = callgrind_plan(sets, args.quick)
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        cmd = [valgrind, "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=map_next",
               "--dump-after=os_getppid", f"--callgrind-out-file={out}",
               sys.executable, os.path.abspath(__file__), "--callgrind-worker"]
        if args.quick:
            cmd.append("--quick")
        if args.sets:
            cmd += ["--sets", args.sets]
        print("running the measurements under callgrind (a few minutes)...", flush=True)
        # A fixed hash seed: str hashes decide dict layouts and probe lengths, which would
        # otherwise move the counts by several percent from one run to the next.
        env = dict(os.environ, PYTHONHASHSEED="0")
        r = subprocess.run(cmd, capture_output=True, text=True, env=env)
        if r.returncode != 0:
            print(r.stderr[-3000:])
            return 1
        dumps = sorted(glob.glob(out + ".*"), key=lambda p: int(p.rsplit(".", 1)[1]))
        counts = [dump_instructions(p) for p in dumps]
    # The first dump holds the start-up; one dump per measurement follows.
    if len(counts) < len(plan) + 1:
        print(f"expected {len(plan) + 1} dumps, found {len(counts)}")
        return 1
    # An empty dump: the codec could not carry the set.
    per_call = {label: counts[i + 1] / calls if counts[i + 1] else None for i, (label, calls) in enumerate(plan)}
    base = per_call.pop("baseline")
    if not base:
        print("no instructions were counted: map_next is not a symbol of this interpreter")
        return 1
    per_call = {label: None if v is None else v - base for label, v in per_call.items()}
    print(f"interpreter: {sys.version.split()[0]}; instructions per call (callgrind), "
          f"loop overhead of {base:.0f} subtracted")
    print_table(sets, CALLGRIND_CODECS, lambda codec, set_name, op: per_call[f"{set_name}/{codec}/{op}"],
                fmt_count, 12)
    print("\nratio = peer instructions / kelvo instructions (above 1: kelvo executes fewer)")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(per_call, f, indent=1, sort_keys=True)
    return 0


def fmt_count(n):
    if n is None:
        return "n/a"
    if n >= 1e6:
        return f"{n / 1e6:.3f} M"
    if n >= 1e3:
        return f"{n / 1e3:.2f} k"
    return f"{n:.0f}"


def paired_times(first, second, min_ns, samples):
    """Seconds per call of two (fn, arg) pairs, interleaved (see best_times), and the ratio
    second/first."""
    a, b = best_times([first, second], min_ns, samples)
    return a, b, b / a


def deterministic_figures(sets, quick, set_name):
    """Deterministic writing beside canonical writing, and checking beside decoding, on one
    data set: [(label, seconds, note)]."""
    import kelvo
    from kelvo import deterministic
    min_ns, samples = (1_000_000, 15) if quick else (10_000_000, 31)
    records = next(data for name, data, _ in sets if name == set_name)
    encoded = deterministic.dumps(records)
    canonical, written, write_ratio = paired_times(
        (lambda o: kelvo.dumps(o, canonical=True), records), (deterministic.dumps, records), min_ns, samples)
    loads, check, check_ratio = paired_times((kelvo.loads, encoded), (deterministic.check, encoded), min_ns, samples)
    _, checked_loads, loads_ratio = paired_times((kelvo.loads, encoded), (deterministic.loads, encoded), min_ns, samples)
    return [
        ("dumps(canonical=True)", canonical, ""),
        ("deterministic.dumps", written, f"{write_ratio:.2f}x the canonical time (target: at most 1.3x)"),
        ("loads", loads, ""),
        ("deterministic.check", check, f"loads takes {1 / check_ratio:.1f}x as long (target: at least 1x)"),
        ("deterministic.loads", checked_loads, f"{loads_ratio:.2f}x the loads time (check, then loads)"),
    ]


def diag_figures(sets, quick, set_name):
    """Reading diagnostic notation beside reading JSON, on the same records written as each:
    [(label, seconds, note)]."""
    import kelvo
    min_ns, samples = (1_000_000, 15) if quick else (10_000_000, 31)
    records = next(data for name, data, _ in sets if name == set_name)
    encoded = kelvo.dumps(records)
    text = kelvo.diag(encoded)
    json_text = json.dumps(records, ensure_ascii=False)
    loads, read, ratio = paired_times((json.loads, json_text), (kelvo.from_diag, text), min_ns, samples)
    (written,) = best_times([(kelvo.diag, encoded)], min_ns, samples)
    return [
        ("json.loads", loads, f"{len(json_text.encode()) / 1e6:.2f} MB of JSON text"),
        ("from_diag", read, f"{ratio:.2f}x the json.loads time (target: at most 3x)"),
        ("diag", written, f"{len(text.encode()) / written / 1e6:.1f} MB/s of notation written"),
    ]


def fmt_time(s):
    if s is None:
        return "n/a"
    if s >= 1e-3:
        return f"{s * 1e3:.2f} ms"
    return f"{s * 1e6:.1f} us"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small data and few repetitions")
    ap.add_argument("--callgrind", action="store_true",
                    help="instructions per call for kelvo, pickle and marshal (runs valgrind)")
    ap.add_argument("--sets", help="comma-separated data sets to measure (default: all)")
    ap.add_argument("--json", help="with --callgrind: also write the counts to this file")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--callgrind-worker", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    sets = datasets.build(quick=args.quick, only=args.sets.split(",") if args.sets else None)

    if args.worker:
        json.dump(measure_codec(args.worker, sets, args.quick), sys.stdout)
        return 0
    if args.callgrind_worker:
        callgrind_worker(sets, args.quick)
        return 0
    if args.callgrind:
        return callgrind_main(args, sets)

    print(f"interpreter: {sys.version.split()[0]} free-threaded={not sys._is_gil_enabled()}"
          f"{' (quick mode)' if args.quick else ''}")
    notes = []
    in_process = ["kelvo", *STDLIB]
    results = {}
    for name in OPTIONAL:
        mode = probe_peer(name)
        if mode is None:
            notes.append(f"{name}: not installed for this interpreter (skipped)")
        elif mode == "isolated":
            r = measure_isolated(name, args.quick)
            if r is None:
                notes.append(f"{name}: failed in its own process (skipped)")
            else:
                results[name + "*"] = r
                notes.append(f"{name}*: re-enables the GIL on import; measured in a separate process")
        else:
            in_process.append(name)
    # Data set by data set, the in-process codecs' samples taken in turn, so that the state
    # of the heap and the machine at a given moment is shared by the figures compared.
    for name in in_process:
        results[name] = {}
    for one_set in sets:
        for name, row in measure_set(in_process, one_set, args.quick).items():
            results[name][one_set[0]] = row
    results = {name: results[name] for name in in_process + [p for p in results if p not in in_process]}
    if sys._is_gil_enabled():
        notes.append("warning: the GIL is enabled in the main process")

    print_table(sets, list(results), lambda codec, set_name, op: results[codec].get(set_name, {}).get(op),
                fmt_time, 10)
    base = copy_baseline(sets, args.quick)
    if base is not None and "bytes" in results["kelvo"]:
        k = results["kelvo"]["bytes"]
        print(f"\nbytes: one copy of the payloads (b\"\".join) {fmt_time(base)}; "
              f"kelvo encode/copy {k['encode'] / base:.2f}x, decode/copy {k['decode'] / base:.2f}x")
    print("\nratio = peer time / kelvo time (above 1: kelvo is faster)")
    for note in notes:
        print("note:", note)
    errors = [(p, s, r["error"]) for p in results for s, r in results[p].items() if "error" in r]
    for p, s, e in errors:
        print(f"note: {p} cannot run data set {s}: {e}")

    for set_name in ("api", "records"):
        if any(name == set_name for name, _, _ in sets):
            print(f"\ndeterministic encoding, {set_name} data set:")
            for label, t, note in deterministic_figures(sets, args.quick, set_name):
                print(f"  {label:<24} {fmt_time(t):>10}  {note}".rstrip())

    if any(name == "api" for name, _, _ in sets):
        print("\ndiagnostic notation, api data set:")
        for label, t, note in diag_figures(sets, args.quick, "api"):
            print(f"  {label:<24} {fmt_time(t):>10}  {note}".rstrip())

    print("\nfree-threading scaling, throughput(2 threads) / throughput(1 thread), "
          f"{os.cpu_count()} cores:")
    spin = throughput_ratio(lambda n: sum(range(n)), 20_000, (20_000, 20_000), 100 if args.quick else 600)
    print(f"  {'pure-Python loop (machine)':<24} {spin:.2f}x (what this machine's two cores give)")
    for label, ratio in scaling(args.quick).items():
        extra = " (informational: reference-count traffic on shared objects)" if "shared" in label else ""
        if label.startswith("pickle"):
            extra = " (the same workload through pickle, for comparison)"
        print(f"  {label:<24} {ratio:.2f}x{extra}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
