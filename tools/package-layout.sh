# Sourced by the sanitizer runs: lays out an installation of a build folder's modules in
# "$1/pkg" (_kelvo linked, so that it stays the instrumented build, and its stubs at the top;
# the kelvo package with kelvo._deterministic, kelvo._dagcbor and kelvo._edn inside it) and prints
# that folder's path.
package_layout() {
    local build=$1 mod pkg
    mod=$(find "$build" -maxdepth 1 -name '_kelvo*.so' | head -n1)
    pkg="$build/pkg"
    rm -rf "$pkg"
    mkdir -p "$pkg"
    ln -s "$(realpath "$mod")" "$pkg/"
    cp python/_kelvo.pyi "$pkg/"
    cp -r python/kelvo "$pkg/"
    cp "$build"/_deterministic*.so "$pkg/kelvo/"
    cp "$build"/_dagcbor*.so "$pkg/kelvo/"
    cp "$build"/_edn*.so "$pkg/kelvo/"
    realpath "$pkg"
}
