# Sourced by the scripts that fetch Debian packages with a private apt configuration:
# debian_mirror prints the URI of the Debian archive this machine's own apt sources use, so
# that no mirror is written into the repository. It takes the URI whose suites include the
# bare release codename (not its -security or -updates suites), from the deb822 .sources files
# or from the one-line "deb" entries, and fails with one sentence when there is none.
# APT_ETC and OS_RELEASE point it at other files (for its tests).
debian_mirror() {
    local etc="${APT_ETC:-/etc/apt}" os_release="${OS_RELEASE:-/etc/os-release}" codename="" uri
    if [ -r "$os_release" ]; then
        codename=$(. "$os_release" && echo "${VERSION_CODENAME:-}")
    fi
    if [ -z "$codename" ]; then
        echo "cannot tell this machine's Debian release: $os_release names no VERSION_CODENAME" >&2
        return 1
    fi
    uri=$(
        shopt -s nullglob
        # deb822 stanzas: blank lines separate them; URIs and Suites may list several values.
        for f in "$etc"/sources.list.d/*.sources; do
            awk -v want="$codename" '
                function flush() {
                    if (tolower(enabled) != "no" && types ~ /(^| )deb(-src)?( |$)/ && (" " suites " ") ~ (" " want " ") && uris != "") {
                        split(uris, u, " "); print u[1]; found = 1; exit
                    }
                    types = ""; suites = ""; uris = ""; enabled = ""
                }
                /^[ \t]*#/ { next }
                /^[ \t]*$/ { flush(); next }
                { line = $0; sub(/^[^:]*:[ \t]*/, "", line) }
                tolower($1) == "types:" { types = line }
                tolower($1) == "suites:" { suites = line }
                tolower($1) == "uris:" { uris = line }
                tolower($1) == "enabled:" { enabled = line }
                END { if (!found) flush() }
            ' "$f"
        done
        # One-line entries: deb [options] URI suite components...
        for f in "$etc"/sources.list "$etc"/sources.list.d/*.list; do
            [ -r "$f" ] || continue
            awk -v want="$codename" '
                $1 == "deb" || $1 == "deb-src" {
                    i = 2
                    if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
                    if ($(i + 1) == want) { print $i; exit }
                }
            ' "$f"
        done
    )
    uri=$(printf '%s\n' "$uri" | sed -n '1p')
    if [ -z "$uri" ]; then
        echo "none of this machine's apt sources ($etc) lists the Debian release '$codename' itself, so there is no Debian mirror to fetch from" >&2
        return 1
    fi
    printf '%s\n' "${uri%/}"
}
