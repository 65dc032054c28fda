#!/usr/bin/env bash
# Finds a CPython >= 3.13, or builds one from Debian's python3.13 source package into a
# cache folder outside the repository. Prints the interpreter's path as the last line of
# its output.
#
#   bootstrap-python.sh        a free-threaded interpreter (no GIL)
#   bootstrap-python.sh gil    an ordinary interpreter with the GIL
#   bootstrap-python.sh tsan   a free-threaded interpreter configured --with-thread-sanitizer,
#                              always its own build in a separate cache folder (none from PATH)
set -euo pipefail

mode="${1:-free-threaded}"
case "$mode" in
    free-threaded)
        candidates=(python3.14t python3.13t)
        # The interpreter must run without the GIL and have ssl for pip.
        probe='import ssl, sys; sys.exit(0 if sys.version_info >= (3, 13) and not sys._is_gil_enabled() else 1)'
        dirname=python3.13t
        exe=python3.13t
        configure_extra=(--disable-gil --with-ensurepip=install)
        ;;
    tsan)
        candidates=()
        probe='import sys; sys.exit(0 if sys.version_info >= (3, 13) and not sys._is_gil_enabled() else 1)'
        dirname=python3.13t-tsan
        exe=python3.13t
        # pip is not needed in this interpreter: the test tools come from the project's .venv.
        configure_extra=(--disable-gil --with-ensurepip=no --with-thread-sanitizer)
        ;;
    gil)
        candidates=(python3.14 python3.13 python3)
        for d in "$HOME"/.pyenv/versions/3.1[3-9]*/bin; do
            [ -d "$d" ] && candidates+=("$d/python3")
        done
        # A GIL build >= 3.13 with ssl and ensurepip (venv needs it to bring pip along).
        probe='import ensurepip, ssl, sys, sysconfig
sys.exit(0 if sys.version_info >= (3, 13) and not sysconfig.get_config_var("Py_GIL_DISABLED") else 1)'
        dirname=python3.13
        exe=python3.13
        configure_extra=(--with-ensurepip=install)
        ;;
    *)
        echo "usage: $0 [gil|tsan]" >&2
        exit 2
        ;;
esac

for cand in ${candidates[@]+"${candidates[@]}"}; do
    if p=$(command -v "$cand" 2>/dev/null); then
        if "$p" -c "$probe" 2>/dev/null; then
            echo "$p"
            exit 0
        fi
    fi
done

cache="${KELVO_CACHE:-$HOME/.cache/kelvo}"
prefix="$cache/$dirname"
py="$prefix/bin/$exe"
if [ -x "$py" ] && "$py" -c "$probe" 2>/dev/null; then
    echo "$py"
    exit 0
fi

log() { echo "[bootstrap] $*" >&2; }
log "no $mode interpreter found; building CPython 3.13 ($mode) into $prefix"

sudo_cmd=""
[ "$(id -u)" = 0 ] || sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive

log "installing build dependencies from the machine's own suite"
$sudo_cmd apt-get update -qq >&2
$sudo_cmd apt-get install -y -qq --no-install-recommends \
    build-essential pkg-config dpkg-dev xz-utils ca-certificates \
    libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev \
    libreadline-dev libncurses-dev uuid-dev libgdbm-dev libexpat1-dev >&2

. "$(dirname "$0")/debian-mirror.sh"
mirror=$(debian_mirror) || exit 1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/src"
echo "deb-src $mirror trixie main" > "$work/sources.list"
apt_private=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
             -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache")
mkdir -p "$work/cache/archives/partial"

log "fetching the python3.13 source package (trixie) with a private apt configuration"
apt-get "${apt_private[@]}" update -qq >&2
(cd "$work/src" && apt-get "${apt_private[@]}" source --download-only python3.13 >&2)

orig=$(ls "$work"/src/python3.13_*.orig.tar.* | head -n1)
log "unpacking $(basename "$orig")"
tar -xf "$orig" -C "$work/src"
srcdir=$(find "$work/src" -maxdepth 1 -type d -name 'Python-3.13*' | head -n1)
[ -n "$srcdir" ] || srcdir=$(find "$work/src" -maxdepth 1 -mindepth 1 -type d | head -n1)

log "configuring (this and the build take several minutes)"
(cd "$srcdir" && ./configure --prefix="$prefix" "${configure_extra[@]}" \
    --disable-test-modules >"$work/configure.log" 2>&1) || { tail -n 40 "$work/configure.log" >&2; exit 1; }
if [ "$mode" = tsan ]; then
    # The build runs the new interpreter (module setup, bytecode compilation): keep the
    # sanitizer quiet about the interpreter's own known races while it does.
    export TSAN_OPTIONS="suppressions=$srcdir/Tools/tsan/suppressions_free_threading.txt"
fi
log "building with $(nproc) jobs"
(cd "$srcdir" && make -j"$(nproc)" >"$work/build.log" 2>&1) || { tail -n 60 "$work/build.log" >&2; exit 1; }
log "installing"
(cd "$srcdir" && make install >"$work/install.log" 2>&1) || { tail -n 60 "$work/install.log" >&2; exit 1; }

"$py" -c "$probe" >&2
log "done: $py"
echo "$py"
