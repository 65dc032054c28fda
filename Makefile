# make       -- bootstrap a free-threaded interpreter if needed, create .venv, build, demo,
#               and show the command-line tool on the document the demo writes
# make test  -- build what is missing and run the test suite on the free-threaded
#               interpreter (.venv) and on an ordinary GIL interpreter (.venv-gil)
# make asan  -- run the test suite against an AddressSanitizer/UBSan build
# make bench -- run the benchmark harness (free-threaded, then GIL with the peers that only build
#               there; and bench-typed: typed decoding and encoding, against msgspec on the GIL
#               interpreter)
# make bench-dagcbor -- kelvo.dagcbor beside libipld and cbrrr (measured on the GIL interpreter)
# make bench-instructions -- instructions per call under callgrind (kelvo, pickle, marshal)
# make bench-instructions-gil -- the same on the GIL interpreter, with its peers
# make fuzz  -- run the libFuzzer targets (ASan + UBSan) for FUZZ_SECONDS (default 300)
# make tsan  -- run the thread tests under ThreadSanitizer (own interpreter build)
# make lint  -- ruff and clang-format checks (run by make test); make format applies their fixes

SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
FUZZ_SECONDS ?= 300
STAMP := $(VENV)/.kelvo-installed
VENV_GIL := .venv-gil
PY_GIL := $(VENV_GIL)/bin/python
STAMP_GIL := $(VENV_GIL)/.kelvo-installed
SOURCES := $(shell find src python -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.pyi' \
	-o -name py.typed \)) CMakeLists.txt pyproject.toml
DEMO_DOC := build/demo.cbor

.PHONY: all demo test test-ft test-gil check314 asan fuzz tsan bench bench-typed bench-instructions clean lint format \
	bench-gil bench-instructions-gil bench-peers-gil bench-dagcbor

all: demo

# One environment per interpreter kind: $(1) the venv folder, $(2) the bootstrap mode
# (empty: free-threaded). Requirements added after an environment was made are installed
# into it too; each kind builds in its own folder (the wheel tag differs).
define environment
$(1)/bin/python: tools/bootstrap-python.sh
	@set -e; interp=$$$$(bash tools/bootstrap-python.sh $(2) | tail -n 1); \
	echo "using interpreter $$$$interp"; \
	rm -rf $(1); "$$$$interp" -m venv $(1); \
	$(1)/bin/python -m pip install --quiet --upgrade pip; \
	$(1)/bin/python -m pip install --quiet -r tools/requirements-dev.txt
	@touch $(1)/bin/python

$(1)/.requirements-installed: $(1)/bin/python tools/requirements-dev.txt
	$(1)/bin/python -m pip install --quiet -r tools/requirements-dev.txt
	@touch $(1)/.requirements-installed

$(1)/.kelvo-installed: $(1)/.requirements-installed $(SOURCES)
	$(1)/bin/python -m pip install --quiet --no-build-isolation --no-deps .
	@touch $(1)/.kelvo-installed
endef

$(eval $(call environment,$(VENV),))
$(eval $(call environment,$(VENV_GIL),gil))

demo: $(STAMP)
	$(PY) tools/demo.py $(DEMO_DOC)
	$(VENV)/bin/kelvo diag --pretty $(DEMO_DOC)

test: test-ft test-gil

test-ft: $(STAMP)
	PY=$(PY) bash tools/lint.sh check
	bash tools/check-py314-headers.sh
	$(PY) bench/run.py --quick
	$(PY) -m pytest -q tests
	bash tools/fuzz/run.sh smoke 60

test-gil: $(STAMP_GIL)
	$(PY_GIL) -m pytest -q tests

lint: $(STAMP)
	PY=$(PY) bash tools/lint.sh check

format: $(STAMP)
	PY=$(PY) bash tools/lint.sh fix

check314:
	bash tools/check-py314-headers.sh

asan: $(PY)
	bash tools/asan.sh

fuzz: $(STAMP)
	bash tools/fuzz/run.sh fuzz $(FUZZ_SECONDS)

tsan: $(PY)
	bash tools/tsan.sh

bench: $(STAMP)
	@$(PY) -m pip install --quiet msgpack orjson 2>/dev/null || \
		echo "note: msgpack/orjson could not be installed for this interpreter; they are skipped"
	$(PY) bench/run.py $(BENCH_ARGS)
	$(MAKE) --no-print-directory bench-gil
	$(MAKE) bench-typed
	@$(MAKE) --no-print-directory bench-dagcbor

# The fastest peers build only for the GIL interpreter at 3.13; they go into .venv-gil for
# the benchmarks alone (make test does not need them).
bench-peers-gil: $(STAMP_GIL)
	@for peer in msgpack orjson msgspec ormsgpack cbrrr; do \
		$(PY_GIL) -m pip install --quiet $$peer 2>/dev/null || \
			echo "note: $$peer could not be installed for the GIL interpreter; it is skipped"; \
	done

bench-gil: bench-peers-gil
	$(PY_GIL) bench/run.py $(BENCH_ARGS)

bench-instructions-gil: bench-peers-gil
	@command -v valgrind >/dev/null || { echo "valgrind is required (apt-get install valgrind)"; exit 1; }
	$(PY_GIL) bench/run.py --callgrind $(BENCH_ARGS)

# Typed decoding and encoding, on both interpreters; msgspec (a peer, no free-threaded wheel
# for 3.13) is installed into the GIL environment only.
bench-typed: $(STAMP) $(STAMP_GIL)
	$(PY) bench/typed.py
	@$(PY_GIL) -m pip install --quiet msgspec 2>/dev/null || \
		echo "note: msgspec could not be installed for the GIL interpreter; it is skipped"
	$(PY_GIL) bench/typed.py

# DAG-CBOR beside libipld and cbrrr: the peers keep or turn on the GIL, so they are installed
# into the GIL environment and measured there, in a process of their own.
bench-dagcbor: $(STAMP) $(STAMP_GIL)
	@$(PY_GIL) -m pip install --quiet libipld cbrrr 2>/dev/null || \
		echo "note: libipld/cbrrr could not be installed for the GIL interpreter; they are skipped"
	$(PY) bench/dagcbor.py --gil-python $(PY_GIL) $(BENCH_ARGS)

bench-instructions: $(STAMP)
	@command -v valgrind >/dev/null || { echo "valgrind is required (apt-get install valgrind)"; exit 1; }
	$(PY) bench/run.py --callgrind $(BENCH_ARGS)
	$(PY) bench/typed.py --callgrind

clean:
	rm -rf build $(VENV) $(VENV_GIL)
