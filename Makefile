# make       -- bootstrap a free-threaded interpreter if needed, create .venv, build, demo,
#               and show the command-line tool on the document the demo writes
# make test  -- build what is missing and run the test suite on the free-threaded
#               interpreter (.venv) and on an ordinary GIL interpreter (.venv-gil)
# make asan  -- run the test suite against an AddressSanitizer/UBSan build
# make bench -- run the benchmark harness

SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.kelvo-installed
REQS := $(VENV)/.requirements-installed
VENV_GIL := .venv-gil
PY_GIL := $(VENV_GIL)/bin/python
STAMP_GIL := $(VENV_GIL)/.kelvo-installed
REQS_GIL := $(VENV_GIL)/.requirements-installed
SOURCES := $(shell find src python -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.pyi' \
	-o -name py.typed \)) CMakeLists.txt pyproject.toml
DEMO_DOC := build/demo.cbor

.PHONY: all demo test test-ft test-gil check314 asan bench clean

all: demo

$(PY): tools/bootstrap-python.sh
	@set -e; interp=$$(bash tools/bootstrap-python.sh | tail -n 1); \
	echo "using interpreter $$interp"; \
	rm -rf $(VENV); "$$interp" -m venv $(VENV); \
	$(PY) -m pip install --quiet --upgrade pip; \
	$(PY) -m pip install --quiet -r tools/requirements-dev.txt
	@touch $(PY)

# Requirements added after the environment was made are installed into it too.
$(REQS): $(PY) tools/requirements-dev.txt
	$(PY) -m pip install --quiet -r tools/requirements-dev.txt
	@touch $(REQS)

$(STAMP): $(REQS) $(SOURCES)
	$(PY) -m pip install --quiet --no-build-isolation --no-deps .
	@touch $(STAMP)

# The same for a CPython >= 3.13 with the GIL (its build folder is separate: the wheel tag differs).
$(PY_GIL): tools/bootstrap-python.sh
	@set -e; interp=$$(bash tools/bootstrap-python.sh gil | tail -n 1); \
	echo "using GIL interpreter $$interp"; \
	rm -rf $(VENV_GIL); "$$interp" -m venv $(VENV_GIL); \
	$(PY_GIL) -m pip install --quiet --upgrade pip; \
	$(PY_GIL) -m pip install --quiet -r tools/requirements-dev.txt
	@touch $(PY_GIL)

$(REQS_GIL): $(PY_GIL) tools/requirements-dev.txt
	$(PY_GIL) -m pip install --quiet -r tools/requirements-dev.txt
	@touch $(REQS_GIL)

$(STAMP_GIL): $(REQS_GIL) $(SOURCES)
	$(PY_GIL) -m pip install --quiet --no-build-isolation --no-deps .
	@touch $(STAMP_GIL)

demo: $(STAMP)
	$(PY) tools/demo.py $(DEMO_DOC)
	$(VENV)/bin/kelvo diag --pretty $(DEMO_DOC)

test: test-ft test-gil

test-ft: $(STAMP)
	bash tools/check-py314-headers.sh
	$(PY) bench/run.py --quick
	$(PY) -m pytest -q tests

test-gil: $(STAMP_GIL)
	$(PY_GIL) -m pytest -q tests

check314:
	bash tools/check-py314-headers.sh

asan: $(PY)
	bash tools/asan.sh

bench: $(STAMP)
	@$(PY) -m pip install --quiet msgpack orjson 2>/dev/null || \
		echo "note: msgpack/orjson could not be installed for this interpreter; they are skipped"
	$(PY) bench/run.py $(BENCH_ARGS)

clean:
	rm -rf build $(VENV) $(VENV_GIL)
