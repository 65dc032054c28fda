import io
import os

import pytest

import _kelvo

expected = os.environ.get("KELVO_EXPECT_MODULE")
if expected:
    # The sanitizer run must test the instrumented build, not an installed copy.
    assert os.path.realpath(_kelvo.__file__) == expected, _kelvo.__file__


class RecordingWriter:
    """A writable binary file object that records each write() call."""

    def __init__(self):
        self.calls = []

    def writable(self):
        return True

    def write(self, data):
        self.calls.append(bytes(data))
        return len(data)

    def getvalue(self):
        return b"".join(self.calls)


@pytest.fixture
def writer():
    return RecordingWriter()


@pytest.fixture
def bio():
    return io.BytesIO()


_ID_LIMIT = 40


def pytest_make_parametrize_id(config, val, argname):
    """Parametrized cases are named by their values where a short text shows them (``b'\\x01'``,
    ``[1, 2]``, ``Decimal``), instead of pytest's ``obj0-options0``."""
    if isinstance(val, type) or callable(val) and hasattr(val, "__name__") and val.__name__ != "<lambda>":
        return val.__name__
    try:
        text = repr(val)
    except Exception:
        return None
    if " at 0x" in text:  # the default repr of an object says nothing about the case
        return None
    return text if len(text) <= _ID_LIMIT else text[:_ID_LIMIT - 3] + "..."
