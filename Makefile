# make       -- bootstrap a free-threaded interpreter if needed, create .venv, build, demo
# make test  -- build what is missing and run the test suite
# make asan  -- run the test suite against an AddressSanitizer/UBSan build
# make bench -- run the benchmark harness
# make fuzz  -- run the libFuzzer targets (ASan + UBSan) for FUZZ_SECONDS (default 300)
# make tsan  -- run the thread tests under ThreadSanitizer (own interpreter build)

SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
FUZZ_SECONDS ?= 300
STAMP := $(VENV)/.kelvo-installed
SOURCES := $(shell find src python -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' \)) CMakeLists.txt pyproject.toml

.PHONY: all demo test check314 asan fuzz tsan bench clean

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
	bash tools/fuzz/run.sh smoke 60

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

clean:
	rm -rf build $(VENV)
