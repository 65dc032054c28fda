"""Process-wide standard-library references: resolved on first use, retried after failure."""

from build_kind import FREE_THREADED
from fresh_interpreter import run_python


def test_failed_import_is_retried():
    assert run_python("""
        import io, sys, _kelvo
        sys.modules["datetime"] = None
        try:
            _kelvo.CBOREncoder(io.BytesIO(), timezone=object())
        except ImportError:
            print("failed")
        del sys.modules["datetime"]
        import datetime
        e = _kelvo.CBOREncoder(io.BytesIO(), timezone=datetime.timezone.utc)
        print(e.timezone is datetime.timezone.utc)
    """) == ["failed", "True"]


def test_nothing_but_collections_abc_is_imported_at_start():
    assert run_python("""
        import sys
        before = set(sys.modules)
        import _kelvo
        new = set(sys.modules) - before
        print(sorted(m for m in new if m in {"datetime", "decimal", "uuid", "ipaddress", "re",
                                             "fractions", "email"}))
    """) == ["[]"]


def test_concurrent_first_use_imports_once():
    assert run_python("""
        import importlib.abc, io, sys, threading, time, _kelvo

        class Slow(importlib.abc.MetaPathFinder):
            calls = 0
            def find_spec(self, name, path, target=None):
                if name == "datetime":
                    Slow.calls += 1
                    time.sleep(0.3)
                return None

        sys.meta_path.insert(0, Slow())
        results = []
        def work():
            try:
                _kelvo.CBOREncoder(io.BytesIO(), timezone=object())
            except TypeError as exc:
                results.append(str(exc))
        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(Slow.calls, len(results), sys._is_gil_enabled())
    """) == ["1", "4", str(not FREE_THREADED)]


def test_reentrant_initialisation_raises_instead_of_hanging():
    out = run_python("""
        import importlib.abc, io, sys, _kelvo

        class Hook(importlib.abc.MetaPathFinder):
            seen = []
            def find_spec(self, name, path, target=None):
                if name == "datetime" and not Hook.seen:
                    try:
                        _kelvo.CBOREncoder(io.BytesIO(), timezone=object())
                    except RuntimeError as exc:
                        Hook.seen.append("re-entrant" in str(exc))
                return None

        sys.meta_path.insert(0, Hook())
        try:
            _kelvo.CBOREncoder(io.BytesIO(), timezone=object())
        except TypeError as exc:
            print(str(exc).replace(" ", "_"))
        print(Hook.seen)
    """)
    assert out == ["timezone_must_be_a_tzinfo_object", "[True]"]
