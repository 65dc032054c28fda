"""The type stubs: installed where type checkers look, true to the built module, and usable."""

import pathlib
import shutil
import subprocess
import sys

import pytest

import _kelvo
import kelvo

HERE = pathlib.Path(__file__).parent / "typing"


def test_stubs_are_installed_where_type_checkers_look():
    installed = pathlib.Path(_kelvo.__file__).parent
    assert installed == pathlib.Path(kelvo.__file__).parent.parent
    for name in ("_kelvo-stubs/__init__.pyi", "kelvo/__init__.pyi", "kelvo/py.typed"):
        assert (installed / name).is_file(), name


def run_mypy(module, args, cwd):
    # No search path of our own: the installed packages alone must give mypy every type.
    env = {"PATH": "/usr/bin:/bin"}
    return subprocess.run([sys.executable, "-m", module, *args], capture_output=True, text=True, env=env,
                          cwd=cwd, timeout=600)


def test_stubs_match_the_built_module(tmp_path):
    out = run_mypy("mypy.stubtest", ["_kelvo", "kelvo", "--mypy-config-file", str(HERE / "mypy.ini")], tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_example_type_checks(tmp_path):
    out = run_mypy("mypy", ["--config-file", str(HERE / "mypy.ini"), "--strict", "--warn-unused-ignores",
                            str(HERE / "example.py")], tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_typed_example_type_checks(tmp_path):
    out = run_mypy("mypy", ["--config-file", str(HERE / "mypy.ini"), "--strict", "--warn-unused-ignores",
                            str(HERE / "typed_example.py")], tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_typed_example_type_checks_with_pyright(tmp_path):
    # pyright's wheel carries its own checker and runs it on the system's node: no network.
    pytest.importorskip("pyright")
    if shutil.which("node", path="/usr/bin:/bin") is None:
        pytest.skip("pyright needs node")
    out = subprocess.run([sys.executable, "-m", "pyright", "-p", str(HERE / "pyrightconfig.json"), "--pythonpath",
                          sys.executable, str(HERE / "typed_example.py")], capture_output=True, text=True,
                         env={"PATH": "/usr/bin:/bin", "HOME": str(tmp_path)}, cwd=tmp_path, timeout=600)
    assert out.returncode == 0, out.stdout + out.stderr
