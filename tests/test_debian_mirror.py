"""tools/debian-mirror.sh: the Debian mirror the bootstrap scripts fetch from is the machine's own."""

import pathlib
import subprocess

import pytest

SCRIPT = pathlib.Path(__file__).parent.parent / "tools" / "debian-mirror.sh"

DEB822 = """\
Types: deb
# a comment inside the stanza
URIs: http://mirror.example.invalid/debian/
Suites: bookworm bookworm-updates
Components: main

Types: deb
URIs: http://security.example.invalid/debian-security
Suites: bookworm-security
Components: main
"""
SECURITY_ONLY = "Types: deb\nURIs: http://security.example.invalid/s\nSuites: bookworm-security\n"
DISABLED = "Enabled: no\nTypes: deb\nURIs: http://off.example.invalid/d\nSuites: bookworm\n\n" + DEB822
ONE_LINE = ("deb http://security.example.invalid/s bookworm-security main\n"
            "deb [arch=amd64 signed-by=/k.gpg] http://lines.example.invalid/debian bookworm main\n")


def mirror(tmp_path, files, codename="bookworm"):
    etc = tmp_path / "apt"
    (etc / "sources.list.d").mkdir(parents=True)
    for name, text in files.items():
        (etc / name).write_text(text)
    os_release = tmp_path / "os-release"
    os_release.write_text(f"ID=debian\nVERSION_CODENAME={codename}\n")
    out = subprocess.run(["bash", "-c", f'. "{SCRIPT}" && debian_mirror'], capture_output=True, text=True,
                         env={"APT_ETC": str(etc), "OS_RELEASE": str(os_release), "PATH": "/usr/bin:/bin"},
                         timeout=60)
    return out.returncode, out.stdout.strip(), out.stderr.strip()


@pytest.mark.parametrize("files, uri", [
    ({"sources.list.d/debian.sources": DEB822}, "http://mirror.example.invalid/debian"),
    ({"sources.list.d/debian.sources": DISABLED}, "http://mirror.example.invalid/debian"),
    ({"sources.list": ONE_LINE}, "http://lines.example.invalid/debian"),
    ({"sources.list.d/sec.sources": SECURITY_ONLY, "sources.list.d/main.list": ONE_LINE},
     "http://lines.example.invalid/debian"),
], ids=["deb822", "deb822-disabled-stanza", "one-line-with-options", "both-forms"])
def test_the_release_suite_gives_the_mirror(tmp_path, files, uri):
    assert mirror(tmp_path, files) == (0, uri, "")


@pytest.mark.parametrize("files", [
    {"sources.list.d/sec.sources": SECURITY_ONLY},
    {"sources.list.d/debian.sources.disabled": DEB822},
    {},
], ids=["security-only", "not-a-sources-file", "none"])
def test_no_release_suite_is_one_sentence(tmp_path, files):
    status, out, err = mirror(tmp_path, files)
    assert (status, out) == (1, "")
    assert err.startswith("none of this machine's apt sources") and err.count("\n") == 0
