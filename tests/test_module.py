import collections.abc
import subprocess
import sys
import textwrap

import _kelvo
import kelvo
from build_kind import free_threaded_only

EXPECTED_ALL = [
    "CBOREncoder", "shareable_encoder", "CBORDecoder", "shareable_decoder", "CBORTag",
    "CBORSimpleValue", "frozendict", "CBORError", "CBOREncodeError", "CBOREncodeTypeError",
    "CBOREncodeValueError", "CBORDecodeError", "CBORDecodeEOF", "load", "loads", "dump",
    "dumps", "undefined",
]


def run_python(code, timeout=60):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)


@free_threaded_only
def test_gil_stays_disabled_after_import():
    out = run_python("import sys, _kelvo, kelvo; print(sys._is_gil_enabled())")
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "False"


def test_all_lists_public_names_in_order():
    names = list(_kelvo.__all__)
    assert names == EXPECTED_ALL
    for name in names:
        assert hasattr(_kelvo, name)
    assert not hasattr(_kelvo, "UndefinedType")
    assert kelvo.__all__[:len(names) + 3] == names + ["iterload", "dump_seq", "dumps_seq"]
    assert "UNTRUSTED_SEMANTIC_DECODERS" in kelvo.__all__
    for name in ("diag", "from_diag", "EDNError"):
        assert name in kelvo.__all__
    for name in kelvo.__all__:
        assert getattr(kelvo, name) is getattr(_kelvo, name, getattr(kelvo, name))


def test_module_names():
    assert _kelvo.CBOREncoder.__module__ == "kelvo"
    assert _kelvo.CBORError.__module__ == "kelvo"
    for name in ("dumps", "loads", "dump", "load", "shareable_encoder", "shareable_decoder"):
        assert getattr(_kelvo, name).__module__ == "_kelvo"
        assert getattr(_kelvo, name).__self__ is _kelvo
    assert type(_kelvo.undefined).__name__ == "UndefinedType"
    assert type(_kelvo.undefined).__module__ == "kelvo"


def test_reimport_shares_types_and_exceptions():
    old = sys.modules.pop("_kelvo")
    try:
        import _kelvo as fresh
        assert fresh is not old
        assert fresh.CBOREncoder is old.CBOREncoder
        assert fresh.CBORError is old.CBORError
        assert fresh.CBORDecodeEOF is old.CBORDecodeEOF
        assert fresh.__all__ == old.__all__
    finally:
        sys.modules["_kelvo"] = old


def test_frozendict_registered_as_mapping():
    assert isinstance(_kelvo.frozendict(), collections.abc.Mapping)
    assert issubclass(_kelvo.frozendict, collections.abc.Mapping)
