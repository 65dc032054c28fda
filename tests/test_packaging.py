"""The installed package's version, and the build's refusal of an interpreter older than 3.13."""

import glob
import importlib.metadata
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import kelvo

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_version_is_the_installed_distributions():
    assert re.fullmatch(r"\d+\.\d+\.\d+((a|b|rc)\d+)?(\.dev\d+)?", kelvo.__version__)
    assert kelvo.__version__ == importlib.metadata.version("kelvo")
    assert "__version__" not in kelvo.__all__


def old_interpreter():
    """A working CPython older than 3.13 on this machine, or None."""
    candidates = [shutil.which(f"python3.{minor}") for minor in (12, 11, 10)]
    candidates += sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.1[0-2]*/bin/python3")))
    candidates += sorted(glob.glob("/usr/bin/python3.1[0-2]"))
    for cand in filter(None, candidates):
        try:
            out = subprocess.run([cand, "-c", "import sys; print(sys.version_info < (3, 13))"],
                                 capture_output=True, text=True, timeout=30)
        except OSError:
            continue
        if out.returncode == 0 and out.stdout.strip() == "True":
            return cand
    return None


def test_configure_refuses_an_interpreter_older_than_313(tmp_path):
    cmake = shutil.which("cmake", path=os.path.dirname(sys.executable)) or shutil.which("cmake")
    old = old_interpreter()
    if cmake is None or old is None:
        pytest.skip("needs cmake and a CPython older than 3.13")
    out = subprocess.run([cmake, "-S", str(ROOT), "-B", str(tmp_path), f"-DPython_EXECUTABLE={old}"],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode != 0
    message = " ".join(out.stderr.split())
    assert "kelvo needs CPython 3.13 or newer (free-threaded or with the GIL), but this build found" in message
    assert old in message
