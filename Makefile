# Two entry points on a fresh machine: `make demo` and `make test`.
# Both create .venv with a Python 3.12 (found by scripts/find-python, or PYTHON=...)
# and build the extension into it.

VENV    := .venv
PY      := $(VENV)/bin/python
BUILD   := build
PIP     := $(PY) -m pip --disable-pip-version-check
INSTALL := $(PIP) install --quiet --no-build-isolation

.PHONY: all install demo test bench bench-smoke clean

.PHONY: all install demo test clean asan-build test-asan test-valgrind

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

# ---------------------------------------------------------------- sanitizers --
# test-asan: the extension and the tessel kernel built with AddressSanitizer
# and UndefinedBehaviorSanitizer (build/asan), staged ahead of site-packages
# and run under the whole test suite. Reports go to files, so that those from
# subprocesses count too; any report fails the target.

ASAN_DIR     := $(BUILD)/asan
ASAN_STAGE   := $(abspath $(ASAN_DIR))/stage
ASAN_REPORTS := $(abspath $(ASAN_DIR))/reports
SAN_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:log_path=$(ASAN_REPORTS)/asan \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(ASAN_REPORTS)/ubsan \
	PYTHONMALLOC=malloc PYTHONPATH=$(ASAN_STAGE) INDEXFUSE_EXPECT_DIR=$(ASAN_STAGE)

asan-build: install
	$(VENV)/bin/cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DINDEXFUSE_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build $(ASAN_DIR)
	rm -rf $(ASAN_STAGE) && mkdir -p $(ASAN_STAGE)
	cp -r src/tessel src/indexfuse_tools $(ASAN_STAGE)/ && find $(ASAN_STAGE) -name '*.cpp' -delete
	$(VENV)/bin/cmake --install $(ASAN_DIR) --prefix $(ASAN_STAGE)

test-asan: asan-build
	rm -rf $(ASAN_REPORTS) && mkdir -p $(ASAN_REPORTS)
	$(SAN_ENV) $(PY) -c "import indexfuse, tessel._knn as k; print('sanitized:', indexfuse.__file__, k.__file__)"
	$(SAN_ENV) $(PY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS); status=$$?; \
	if [ -n "$$(ls -A $(ASAN_REPORTS))" ]; then \
		cat $(ASAN_REPORTS)/*; echo "test-asan: sanitizer reports above"; exit 1; fi; \
	echo "test-asan: no sanitizer reports"; exit $$status

# test-valgrind: a smoke subset under memcheck with the ordinary build: the
# differential properties with a few examples each, the module frame and the in-process
# hostile cases. Any invalid read or write (or use of uninitialised memory)
# fails it; scripts/valgrind.supp names the known glibc false positives.
VALGRIND_TESTS ?= tests/test_differential.py tests/test_hostile.py tests/test_module.py

test-valgrind: install
	PYTHONMALLOC=malloc valgrind --error-exitcode=9 -q --suppressions=scripts/valgrind.supp \
		$(PY) -m pytest -q -p no:cacheprovider --hypothesis-profile=smoke -m "not subprocess" \
		$(VALGRIND_TESTS)

clean:
	rm -rf $(BUILD) $(VENV) .pytest_cache .hypothesis
