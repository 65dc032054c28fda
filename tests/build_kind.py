"""Which kind of interpreter runs the suite: free-threaded or with the GIL."""

import sysconfig

import pytest

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

free_threaded_only = pytest.mark.skipif(
    not FREE_THREADED, reason="checks running without the GIL; this interpreter is a GIL build")
