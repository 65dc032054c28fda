#!/usr/bin/env bash
# make lint / make format: ruff for the Python tree (its configuration is in pyproject.toml) and
# clang-format for the C++ of src/ and tools/fuzz/ (.clang-format).
#
#   lint.sh check   report what differs from the configured layout and rules; fails on any
#   lint.sh fix     apply what the tools can fix by themselves
set -euo pipefail
cd "$(dirname "$0")/.."

mode="${1:-check}"
py="${PY:-.venv/bin/python}"
status=0

if [ "$mode" = fix ]; then
    "$py" -m ruff check --fix --quiet . || status=1
else
    "$py" -m ruff check --quiet . || status=1
fi

# clang-format comes from the distribution; installed here when missing and possible.
if ! command -v clang-format >/dev/null; then
    sudo_cmd=""
    [ "$(id -u)" = 0 ] || sudo_cmd="sudo -n"
    echo "[lint] installing clang-format" >&2
    { $sudo_cmd apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq clang-format; } \
        >/dev/null 2>&1 || true
fi
if command -v clang-format >/dev/null; then
    mapfile -d '' sources < <(find src tools/fuzz \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)
    if [ "$mode" = fix ]; then
        clang-format -i "${sources[@]}"
    else
        clang-format --dry-run -Werror "${sources[@]}" || status=1
    fi
else
    echo "[lint] clang-format is not installed and could not be installed: the C++ layout is not checked" >&2
fi

if [ "$status" -ne 0 ] && [ "$mode" = check ]; then
    echo "[lint] FAILED; 'make format' applies what the tools can fix" >&2
fi
exit "$status"
