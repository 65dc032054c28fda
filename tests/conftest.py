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
