#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UBSan, the static free-threaded
# libpython) in build/fuzz and runs them for a bounded time, split evenly between the targets:
# the decoder, the encoder, the typed decoder, the DAG-CBOR decoder and the CAR reader.
#
#   tools/fuzz/run.sh fuzz  [SECONDS]   # campaign; the corpus grows in build/fuzz/corpus
#   tools/fuzz/run.sh smoke [SECONDS]   # fixed seed and run count, fresh corpus from the seeds only
#
# A finding ends the run with a non-zero status; its input is kept in build/fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/../.."
mode="${1:-fuzz}"
total="${2:-300}"
case "$mode" in fuzz|smoke) ;; *) echo "usage: $0 fuzz|smoke [SECONDS]" >&2; exit 2 ;; esac

py=.venv/bin/python
build=build/fuzz

# clang and libFuzzer's runtime come from Debian's packages (the machine's own apt sources).
fuzzer_rt() { [ -n "$(command -v clang++)" ] && ls "$(clang++ -print-resource-dir)"/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; }
if ! fuzzer_rt; then
    echo "[fuzz] installing clang and its sanitizer runtimes (apt)"
    export DEBIAN_FRONTEND=noninteractive
    sudo_cmd=""
    [ "$(id -u)" = 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    $sudo_cmd apt-get install -y -qq --no-install-recommends clang libclang-rt-dev >/dev/null
    fuzzer_rt || { echo "[fuzz] libFuzzer runtime not found after installing clang" >&2; exit 1; }
fi

prefix=$("$py" -c 'import sys; print(sys.base_prefix)')
export PATH="$PWD/.venv/bin:$PATH"
cmake -S tools/fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_CXX_COMPILER=clang++ -DKELVO_PY_PREFIX="$prefix" >/dev/null
ninja -C "$build" -j 2 >/dev/null || ninja -C "$build" -j 1

seeds="$build/seeds"
rm -rf "$seeds"
"$py" tools/fuzz/make_seeds.py "$seeds"

# Reports inside the interpreter's own allocations are not kelvo's: leaks are checked by the
# target itself (see target.h), which sees both the interpreter's blocks and the malloc heap.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:symbolize=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

targets=(decode encode typed dagcbor car)
per_target=$(( total / ${#targets[@]} ))
[ "$per_target" -ge 1 ] || per_target=1
mkdir -p "$build/artifacts"
status=0
for target in "${targets[@]}"; do
    if [ "$mode" = smoke ]; then
        corpus="$build/smoke-corpus/$target"
        rm -rf "$corpus"
        # A fixed seed and a fixed number of runs: the inputs tried are the same on every
        # machine (a slow machine stops early, on a prefix of them), so the run that gates
        # `make test` cannot turn up something new by being faster.
        seed_opt=(-seed=1 -runs=20000)
    else
        corpus="$build/corpus/$target"
        seed_opt=()
    fi
    mkdir -p "$corpus"
    log="$build/$target.log"
    dict=()
    [ "$target" = decode ] || [ "$target" = dagcbor ] && dict=(-dict=tools/fuzz/cbor.dict)
    echo "[fuzz] $target: ${per_target}s ($mode)"
    if ! nice -n 15 "$build/fuzz_$target" "${seed_opt[@]}" "${dict[@]}" \
            -max_total_time="$per_target" -timeout=20 -rss_limit_mb=4096 -max_len=4096 \
            -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
            "$corpus" "$seeds/$target" >"$log" 2>&1; then
        status=1
        echo "[fuzz] $target: FINDING (log: $log)"
        grep -E -A40 'ERROR: |kelvo fuzz target:|Traceback|runtime error' "$log" | head -n 80 || true
        for f in $(grep -o "Test unit written to [^ ]*" "$log" | awk '{print $5}'); do
            echo "[fuzz] reproducer $f: $(od -An -v -tx1 "$f" | tr -d ' \n' | head -c 2000)"
        done
        continue
    fi
    execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}')
    line=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
    cov=$(grep -o 'cov: [0-9]*' <<<"$line" | awk '{print $2}')
    ft=$(grep -o 'ft: [0-9]*' <<<"$line" | awk '{print $2}')
    corp=$(grep -o 'corp: [0-9]*/[0-9]*[a-zA-Z]*' <<<"$line" | awk '{print $2}')
    echo "[fuzz] $target: ${execs:-?} executions (time budget ${per_target}s), coverage ${cov:-?} edges (${ft:-?} features), corpus ${corp:-?} (inputs/size); 0 findings"
done
exit "$status"
