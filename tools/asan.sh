#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer and runs the
# test suite with the sanitizer runtime preloaded into the (uninstrumented) interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
py=.venv/bin/python
export PATH="$PWD/.venv/bin:$PATH"
build=build/asan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVO_SANITIZE=ON \
    -DPython_EXECUTABLE="$(realpath $py)" >/dev/null
cmake --build "$build"
mod=$(find "$build" -maxdepth 1 -name '_kelvo*.so' | head -n1)
source tools/package-layout.sh
pkg=$(package_layout "$build")
libasan=$(g++ -print-file-name=libasan.so)
libubsan=$(g++ -print-file-name=libubsan.so)
export LD_PRELOAD="$libasan:$libubsan"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONPATH="$pkg"
export KELVO_EXPECT_MODULE="$(realpath "$mod")"
exec "$py" -m pytest -q -p no:cacheprovider tests "$@"
