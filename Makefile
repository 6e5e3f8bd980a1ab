# Two entry points on a fresh machine: `make demo` and `make test`.
# Both create .venv with a Python 3.12 (found by scripts/find-python, or PYTHON=...)
# and build the extension into it.

VENV    := .venv
PY      := $(VENV)/bin/python
BUILD   := build
PIP     := $(PY) -m pip --disable-pip-version-check
INSTALL := $(PIP) install --quiet --no-build-isolation

.PHONY: all install demo test clean

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

clean:
	rm -rf $(BUILD) $(VENV) .pytest_cache .hypothesis
