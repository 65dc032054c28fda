#!/usr/bin/env bash
# Compiles every source file against the real CPython 3.14 headers, in free-threaded mode
# and in the ordinary GIL mode (Debian "sid" libpython3.14-dev, fetched with a private apt
# configuration and unpacked into a cache folder). Fails on any error or warning.
set -euo pipefail
cd "$(dirname "$0")/.."

cache="${KELVO_CACHE:-$HOME/.cache/kelvo}/py314-headers"
inc="$cache/root/usr/include"
if [ ! -f "$inc/python3.14/Python.h" ]; then
    echo "[check314] fetching libpython3.14-dev from Debian sid (private apt configuration)"
    . tools/debian-mirror.sh
    mirror=$(debian_mirror) || exit 1
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/debs"
    arch=$(dpkg --print-architecture)
    echo "deb [arch=$arch] $mirror sid main" > "$work/sources.list"
    apt_private=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
                 -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
                 -o "APT::Sandbox::User=root")
    apt-get "${apt_private[@]}" update -qq
    (cd "$work/debs" && apt-get "${apt_private[@]}" download libpython3.14-dev)
    rm -rf "$cache"
    mkdir -p "$cache/root"
    for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$cache/root"; done
fi

cxx="${CXX:-g++}"
status=0
count=0
for mode in free-threaded gil; do
    defines=()
    [ "$mode" = free-threaded ] && defines=(-DPy_GIL_DISABLED=1)
    while IFS= read -r -d '' f; do
        count=$((count + 1))
        if ! out=$("$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Werror -fno-exceptions -fno-rtti \
                ${defines[@]+"${defines[@]}"} -I"$inc" -I"$inc/python3.14" -Isrc "$f" 2>&1); then
            echo "[check314] $mode: $f"
            echo "$out"
            status=1
        fi
    done < <(find src -name '*.cpp' -print0 | sort -z)
done
if [ "$status" -ne 0 ]; then
    echo "[check314] FAILED: sources do not compile cleanly against the CPython 3.14 headers"
    exit 1
fi
echo "[check314] $((count / 2)) source files compile cleanly against the CPython 3.14 headers, free-threaded and with the GIL"
