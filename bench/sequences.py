"""Large CBOR sequences: the item scanner against a plain bytes copy, decoding on one and two
threads against what a pure-Python loop gains from a second thread, and the command-line tool
(kelvo to-json --seq, kelvo diag --seq) against a Python one-liner, all in one run.

    python bench/sequences.py              # a 200 MB sequence of API records (100 MB for the tool)
    python bench/sequences.py --quick      # 8 MB, a few seconds
    python bench/sequences.py --instructions   # also instructions per byte of the scanner (valgrind)
    python bench/sequences.py --cli        # only the command-line tool

Times are medians over rounds in which the figures compared are taken one after the other, so
that a slow moment of the machine does not land on one side only.
"""

import argparse
import collections
import io
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import datasets  # noqa: E402

import kelvo  # noqa: E402


def record_sequence(size):
    """API records (the benchmark's api data set) as one sequence of about ``size`` bytes."""
    block = kelvo.dumps_seq(datasets.api_documents(datasets.random.Random(7), 1000))
    return block * max(1, size // len(block))


def interleaved(rounds, *fns, runs=False):
    """The median time of each function over ``rounds`` rounds, each round calling them all in
    turn; with ``runs`` also every time, in round order."""
    times = [[] for _ in fns]
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            t0 = time.perf_counter()
            fn()
            times[i].append(time.perf_counter() - t0)
    medians = [statistics.median(t) for t in times]
    return (medians, times) if runs else medians


def speedup(one, two):
    """The median, lowest and highest of the per-round ratios one/two."""
    ratios = [a / b for a, b in zip(one, two, strict=True)]
    return statistics.median(ratios), min(ratios), max(ratios)


def spin(n):
    total = 0
    for i in range(n):
        total += i & 7
    return total


def spin_threads(n, threads):
    workers = [threading.Thread(target=spin, args=(n // threads,)) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()


def drain(iterator):
    collections.deque(iterator, maxlen=0)


def scanner_figures(data, rounds):
    scan_time, copy_time = interleaved(rounds, lambda: kelvo.scan(data), lambda: data[1:])
    utf8_time, = interleaved(rounds, lambda: kelvo.scan(data, check_utf8=True))
    return scan_time, copy_time, utf8_time


def thread_figures(data, rounds, spin_n):
    """Per round: loads_seq and iterload's block path on one thread and on two, iterload item by
    item, and the pure-Python loop on one and two threads."""
    from kelvo._parallel import iter_parallel

    def decode(threads):
        return lambda: drain(iter_parallel(io.BytesIO(data), threads, {}))

    def whole(threads):
        # the list is dropped outside the timing
        return lambda: results.append(kelvo.loads_seq(data, threads=threads))

    results = []

    def drop():
        results.clear()

    fns = (whole(1), drop, whole(2), drop, decode(1), decode(2), lambda: drain(kelvo.iterload(io.BytesIO(data))),
           lambda: spin_threads(spin_n, 1), lambda: spin_threads(spin_n, 2))
    _, times = interleaved(rounds, *fns, runs=True)
    del times[3], times[1]
    return times


def instructions_per_byte(size, repeat=4):
    """Instructions of kelvo.scan per byte under callgrind: the count of a run that scans the data
    ``repeat`` times less that of the same run without the scans."""
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        return None
    totals = []
    with tempfile.TemporaryDirectory() as tmp:
        for scans in (0, repeat):
            out = os.path.join(tmp, f"cg{scans}.out")
            script = (f"import sys; sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r}); "
                      f"import sequences, kelvo; d = sequences.record_sequence({size}); "
                      f"[kelvo.scan(d) for _ in range({scans})]")
            subprocess.run([valgrind, "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c",
                            script], check=True, capture_output=True)
            with open(out) as f:
                totals.append(next(int(line.split()[1]) for line in f if line.startswith("summary:")))
    return (totals[1] - totals[0]) / repeat / len(record_sequence(size))


# What `kelvo to-json --seq` is held against: the items decoded one at a time and written with
# json, one line each.
ONE_LINER = """\
import json, sys, kelvo
encode = json.JSONEncoder(ensure_ascii=False).encode
write = sys.stdout.write
with open(sys.argv[1], "rb") as f:
    for item in kelvo.iterload(f):
        write(encode(item) + "\\n")
"""


# Starts a process with its output thrown away and prints its wall time and peak memory. A
# child's peak counts the memory of the process that started it (fork, or vfork and exec), so
# the benchmark, which holds the data, starts this small one, which starts the measured one.
LAUNCHER = """\
import os, sys, time
t0 = time.perf_counter()
pid = os.posix_spawn(sys.argv[1], sys.argv[1:], os.environ,
                     file_actions=[(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)])
_, status, usage = os.wait4(pid, 0)
print(time.perf_counter() - t0, usage.ru_maxrss * 1024, os.waitstatus_to_exitcode(status))
"""


def run_process(argv):
    """Wall time and peak resident memory (bytes) of one process, its output thrown away."""
    out = subprocess.run([sys.executable, "-c", LAUNCHER, *argv], capture_output=True, text=True, check=True)
    elapsed, peak, status = out.stdout.split()
    if int(status):
        raise RuntimeError(f"{argv[1:4]} exited with status {status}")
    return float(elapsed), int(peak)


def cli_figures(data, rounds):
    """Time and peak memory of the one-liner, kelvo to-json --seq and kelvo diag --seq on the
    sequence ``data`` (written to a file), the three processes run in turn in every round."""
    # the tool as a user runs it: the console script beside the interpreter, when installed
    script = os.path.join(os.path.dirname(sys.executable), "kelvo")
    kelvo_cli = [script] if os.path.exists(script) else [sys.executable, "-m", "kelvo"]
    commands = {
        "one-liner": [sys.executable, "-c", ONE_LINER],
        "to-json": [*kelvo_cli, "to-json", "--seq"],
        "diag": [*kelvo_cli, "diag", "--seq"],
    }
    figures = {name: [] for name in commands}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "records.cbor")
        with open(path, "wb") as f:
            f.write(data)
        for _ in range(rounds):
            for name, argv in commands.items():
                figures[name].append(run_process(argv + [path]))
    return figures


def median_ratio(pairs):
    """The median of the per-round ratios, and their spread (lowest, highest)."""
    ratios = [a / b for a, b in pairs]
    return statistics.median(ratios), min(ratios), max(ratios)


def cli_report(quick):
    data = record_sequence((8 if quick else 100) << 20)
    rounds = 3 if quick else 5
    figures = cli_figures(data, rounds)
    mb = len(data) / 2**20
    print(f"command-line tool on a {mb:.0f} MB sequence of API records ({rounds} rounds, wall time and peak RSS):")
    for name, runs in figures.items():
        elapsed = statistics.median(t for t, _ in runs)
        peak = statistics.median(m for _, m in runs)
        print(f"  {name:9} {elapsed:6.2f} s {mb / elapsed:6.1f} MB/s  peak {peak / 2**20:5.1f} MB")
    pairs = list(zip(figures["to-json"], figures["one-liner"], strict=True))
    t, t_lo, t_hi = median_ratio((ours[0], one[0]) for ours, one in pairs)
    m, m_lo, m_hi = median_ratio((ours[1], one[1]) for ours, one in pairs)
    print(f"  to-json / one-liner: time {t:.2f}x ({t_lo:.2f}-{t_hi:.2f}), peak memory {m:.2f}x ({m_lo:.2f}-{m_hi:.2f})")


def report(quick, instructions=False):
    """Prints the figures (the section "large sequences" of bench/run.py)."""
    size = (8 if quick else 200) << 20
    rounds = 3 if quick else 7
    data = record_sequence(size)
    free_threaded = not sys._is_gil_enabled()
    print(f"sequence of API records: {len(data) / 2**20:.0f} MB, {len(kelvo.scan(data))} items; "
          f"free-threaded={free_threaded}, {os.cpu_count()} cores")
    scan_time, copy_time, utf8_time = scanner_figures(data, rounds)
    print(f"  scan {scan_time * 1e3:.1f} ms ({len(data) / scan_time / 2**30:.2f} GB/s), bytes copy "
          f"{copy_time * 1e3:.1f} ms: scan/copy {scan_time / copy_time:.1f}x; with check_utf8 "
          f"{utf8_time * 1e3:.1f} ms ({utf8_time / copy_time:.1f}x)")
    if instructions:
        ipb = instructions_per_byte(4 << 20)
        print(f"  scan: {ipb:.2f} instructions per byte (callgrind)" if ipb else "  valgrind not found")
    if not free_threaded:
        print("  (the GIL is enabled: iterload uses one thread; no scaling figures)")
        cli_report(quick)
        return
    # The pure-Python loop gets about the time of one decode, so both sides see the same moments.
    spin_n = 2_000_000 if quick else 40_000_000
    seq_one, seq_two, one, two, item_by_item, spin_one, spin_two = thread_figures(data, rounds, spin_n)
    med = statistics.median
    pure = speedup(spin_one, spin_two)
    for name, a, b in (("loads_seq", seq_one, seq_two), ("iterload", one, two)):
        ours = speedup(a, b)
        print(f"  {name}, 1 thread {med(a):.2f} s, 2 threads {med(b):.2f} s: speed-up {ours[0]:.2f}x "
              f"(rounds {ours[1]:.2f}-{ours[2]:.2f}; {len(data) / med(b) / 2**20:.0f} MB/s); "
              f"against the loop's {ours[0] / pure[0]:.2f}")
    print(f"  pure-Python loop, 1 thread {med(spin_one):.2f} s, 2 threads {med(spin_two):.2f} s: speed-up "
          f"{pure[0]:.2f}x (rounds {pure[1]:.2f}-{pure[2]:.2f})")
    by_block = speedup(item_by_item, one)
    print(f"  iterload on one thread: item by item {med(item_by_item):.2f} s, in blocks {med(one):.2f} s "
          f"(blocks {by_block[0]:.2f}x as fast, rounds {by_block[1]:.2f}-{by_block[2]:.2f})")
    print(f"  ({rounds} rounds, each taking every figure in turn; medians)")
    cli_report(quick)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="8 MB and few rounds")
    ap.add_argument("--instructions", action="store_true", help="instructions per byte of the scanner (valgrind)")
    ap.add_argument("--cli", action="store_true", help="only the command-line tool against the one-liner")
    args = ap.parse_args()
    if args.cli:
        cli_report(args.quick)
    else:
        report(args.quick, args.instructions)
    return 0


if __name__ == "__main__":
    sys.exit(main())
