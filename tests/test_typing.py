"""The type stubs: installed where type checkers look, true to the built module, and usable."""

import pathlib
import shutil
import subprocess
import sys

import pytest

import _kelvo
import kelvo

HERE = pathlib.Path(__file__).parent / "typing"


@pytest.fixture(scope="module")
def stub_path(tmp_path_factory):
    """A directory holding the installed _kelvo.pyi, for mypy's search path: mypy does not read
    single-file stubs from site-packages itself (only packages such as kelvo, with py.typed)."""
    installed = pathlib.Path(_kelvo.__file__).parent
    assert installed == pathlib.Path(kelvo.__file__).parent.parent
    for name in ("_kelvo.pyi", "kelvo/__init__.pyi", "kelvo/py.typed"):
        assert (installed / name).is_file(), name
    path = tmp_path_factory.mktemp("stubs")
    shutil.copy(installed / "_kelvo.pyi", path)
    return path


def run_mypy(module, args, stub_path, cwd):
    env = {"MYPYPATH": str(stub_path), "PATH": "/usr/bin:/bin"}
    return subprocess.run([sys.executable, "-m", module, *args], capture_output=True, text=True, env=env,
                          cwd=cwd, timeout=600)


def test_stubs_match_the_built_module(stub_path, tmp_path):
    out = run_mypy("mypy.stubtest", ["_kelvo", "kelvo", "--mypy-config-file", str(HERE / "mypy.ini")],
                   stub_path, tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_example_type_checks(stub_path, tmp_path):
    out = run_mypy("mypy", ["--config-file", str(HERE / "mypy.ini"), "--strict", "--warn-unused-ignores",
                            str(HERE / "example.py")], stub_path, tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_typed_example_type_checks(stub_path, tmp_path):
    out = run_mypy("mypy", ["--config-file", str(HERE / "mypy.ini"), "--strict", "--warn-unused-ignores",
                            str(HERE / "typed_example.py")], stub_path, tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr
