import subprocess
import sys

import _kelvo


def test_gil_stays_disabled_after_import():
    out = subprocess.run(
        [sys.executable, "-c", "import sys, _kelvo, kelvo; print(sys._is_gil_enabled())"],
        capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"
