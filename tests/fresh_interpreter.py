"""Running a snippet in a new interpreter, for behaviour that depends on first use."""

import subprocess
import sys
import textwrap


def run_python(code):
    """Runs the dedented code in a new interpreter; it must succeed. Its output, split into words."""
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    return out.stdout.split()
