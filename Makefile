# make       -- bootstrap a free-threaded interpreter if needed, create .venv, build, demo
# make test  -- build what is missing and run the test suite
# make asan  -- run the test suite against an AddressSanitizer/UBSan build
# make bench -- run the benchmark harness
# make bench-instructions -- instructions per call under callgrind (kelvo, pickle, marshal)

SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.kelvo-installed
SOURCES := $(shell find src python -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' \)) CMakeLists.txt pyproject.toml

.PHONY: all demo test check314 asan bench bench-instructions clean

all: demo

$(PY): tools/bootstrap-python.sh
	@set -e; interp=$$(bash tools/bootstrap-python.sh | tail -n 1); \
	echo "using interpreter $$interp"; \
	rm -rf $(VENV); "$$interp" -m venv $(VENV); \
	$(PY) -m pip install --quiet --upgrade pip; \
	$(PY) -m pip install --quiet -r tools/requirements-dev.txt
	@touch $(PY)

$(STAMP): $(PY) $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .
	@touch $(STAMP)

demo: $(STAMP)
	$(PY) tools/demo.py

test: $(STAMP)
	bash tools/check-py314-headers.sh
	$(PY) bench/run.py --quick
	$(PY) -m pytest -q tests

check314:
	bash tools/check-py314-headers.sh

asan: $(PY)
	bash tools/asan.sh

bench: $(STAMP)
	@$(PY) -m pip install --quiet msgpack orjson 2>/dev/null || \
		echo "note: msgpack/orjson could not be installed for this interpreter; they are skipped"
	$(PY) bench/run.py $(BENCH_ARGS)

bench-instructions: $(STAMP)
	@command -v valgrind >/dev/null || { echo "valgrind is required (apt-get install valgrind)"; exit 1; }
	$(PY) bench/run.py --callgrind $(BENCH_ARGS)

clean:
	rm -rf build $(VENV)
