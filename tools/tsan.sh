#!/usr/bin/env bash
# Runs the tests that use threads under ThreadSanitizer: a free-threaded interpreter built
# --with-thread-sanitizer (tools/bootstrap-python.sh tsan, cached apart from the normal one)
# and the extension built with -fsanitize=thread. The interpreter's own known reports are
# suppressed with its suppressions file (tools/tsan/); any other report fails the run.
# The 100 000-deep chain tests are left out: they overflow the stack under TSan, as the
# interpreter's own repr of such a chain does there.
set -euo pipefail
cd "$(dirname "$0")/.."
venv_py=.venv/bin/python
tsan_py=$(bash tools/bootstrap-python.sh tsan | tail -n 1)
export PATH="$PWD/.venv/bin:$PATH"

build=build/tsan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVO_TSAN=ON \
    -DPython_EXECUTABLE="$tsan_py" >/dev/null
cmake --build "$build" -j 2 >/dev/null || cmake --build "$build"
mod=$(find "$build" -maxdepth 1 -name '_kelvo*.so' | head -n1)

# pytest and its dependencies are pure Python: the project's .venv provides them.
site=$("$venv_py" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
source tools/package-layout.sh
pkg=$(package_layout "$build")
export PYTHONPATH="$pkg:$site"
export KELVO_EXPECT_MODULE="$(realpath "$mod")"
# Reports go to files of their own: pytest captures the tests' standard error, and a report
# written while a test passes would otherwise never be shown.
reports="$build/reports"
rm -rf "$reports" && mkdir -p "$reports"
export TSAN_OPTIONS="suppressions=$PWD/tools/tsan/suppressions_free_threading.txt halt_on_error=0 exitcode=66 second_deadlock_stack=1 log_path=$PWD/$reports/tsan"

mapfile -t files < <({ ls tests/*thread*.py; grep -l 'import threading\|threading\.' tests/test_*.py; } | sort -u)
echo "[tsan] $tsan_py; ${#files[@]} test files: ${files[*]}"
status=0
"$tsan_py" -m pytest -q -p no:cacheprovider -k "not deep_chain" "${files[@]}" "$@" || status=$?
for report in "$reports"/tsan*; do
    [ -e "$report" ] || continue
    echo "[tsan] report $report:" >&2
    cat "$report" >&2
    [ "$status" != 0 ] || status=66
done
exit "$status"
