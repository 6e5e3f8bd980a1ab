# Two entry points on a fresh machine: `make demo` and `make test`.
# Both create .venv with a Python 3.12 (found by scripts/find-python, or PYTHON=...)
# and build the extension into it.

VENV    := .venv
PY      := $(VENV)/bin/python
BUILD   := build
PIP     := $(PY) -m pip --disable-pip-version-check
INSTALL := $(PIP) install --quiet --no-build-isolation

.PHONY: all install demo test bench bench-smoke clean

all: test

$(PY):
	"$$(scripts/find-python)" -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install "scikit-build-core>=0.10" cmake ninja

install: $(PY)
	$(INSTALL) -Cbuild-dir=$(BUILD)/release ".[test]"

demo: install
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest -q

# Benchmarks (benchmarks/README.md): the full suite at 1e4, 1e5 and 1e6 rows
# (a few minutes), or the smallest size only, as a check that it runs and agrees.
bench: install
	$(PY) benchmarks/run.py

bench-smoke: install
	$(PY) benchmarks/run.py --smoke

clean:
	rm -rf $(BUILD) $(VENV) .pytest_cache .hypothesis
