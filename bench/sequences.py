"""Large CBOR sequences: the item scanner against a plain bytes copy, and decoding on one and two
threads against what a pure-Python loop gains from a second thread, all in one run.

    python bench/sequences.py              # a 200 MB sequence of API records
    python bench/sequences.py --quick      # 8 MB, a few seconds
    python bench/sequences.py --instructions   # also instructions per byte of the scanner (valgrind)

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


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="8 MB and few rounds")
    ap.add_argument("--instructions", action="store_true", help="instructions per byte of the scanner (valgrind)")
    args = ap.parse_args()
    report(args.quick, args.instructions)
    return 0


if __name__ == "__main__":
    sys.exit(main())
