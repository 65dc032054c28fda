# Sourced by the sanitizer runs: lays out an installation of a build folder's modules in
# "$1/pkg" (_kelvo linked, so that it stays the instrumented build, and its stubs at the top;
# the kelvo package with its own native modules, kelvo._deterministic and the others, inside
# it) and prints that folder's path.
package_layout() {
    local build=$1 mod pkg
    mod=$(find "$build" -maxdepth 1 -name '_kelvo*.so' | head -n1)
    pkg="$build/pkg"
    rm -rf "$pkg"
    mkdir -p "$pkg"
    ln -s "$(realpath "$mod")" "$pkg/"
    cp -r python/_kelvo-stubs "$pkg/"
    cp -r python/kelvo "$pkg/"
    find "$build" -maxdepth 1 -name '_*.so' ! -name '_kelvo*.so' -exec cp {} "$pkg/kelvo/" \;
    realpath "$pkg"
}
