# Two entry points on a fresh machine: `make demo` and `make test`.
# Both create .venv with a Python 3.12 (found by scripts/find-python, or PYTHON=...)
# and build the extension into it.

VENV    := .venv
PY      := $(VENV)/bin/python
BUILD   := build
PIP     := $(PY) -m pip --disable-pip-version-check
INSTALL := $(PIP) install --quiet --no-build-isolation

.PHONY: all install demo test docs bench bench-smoke clean asan-build test-asan test-valgrind \
	test-oldest

all: test

$(PY):
	"$$(scripts/find-python)" -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install "scikit-build-core>=0.10" cmake ninja

RELEASE_DIR := $(BUILD)/release

install: $(PY)
	$(INSTALL) -Cbuild-dir=$(RELEASE_DIR) ".[test,bench]"

demo: install
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest -q

# The manual (docs/): Sphinx into docs/_build/html/, every warning an error.
# The gallery runs the examples, so a broken example fails the build too.
DOCS_OUT := docs/_build/html

docs: install
	$(INSTALL) -Cbuild-dir=$(RELEASE_DIR) ".[docs]"
	$(PY) -m sphinx -b html -W --keep-going -q docs $(DOCS_OUT)
	@echo "The manual: $(DOCS_OUT)/index.html"

# Benchmarks (benchmarks/README.md): the full suite at 1e4, 1e5 and 1e6 rows
# (a few minutes), or the smallest size only, as a check that it runs and agrees.
bench: install
	$(PY) benchmarks/run.py

bench-smoke: install
	$(PY) benchmarks/run.py --smoke

# $(call stage,BUILD_DIR,STAGE_DIR): the extensions built in BUILD_DIR and the
# Python packages, laid out in STAGE_DIR as they are installed, to be put ahead
# on PYTHONPATH.
define stage
	rm -rf $(2) && mkdir -p $(2)
	cp -r src/tessel src/indexfuse_tools $(2)/ && find $(2) -name '*.cpp' -delete
	$(VENV)/bin/cmake --install $(1) --prefix $(2)
endef

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
	PYTHONMALLOC=malloc PYTHONPATH=$(ASAN_STAGE) INDEXFUSE_EXPECT_DIR=$(ASAN_STAGE) \
	INDEXFUSE_EXPECT_SANITIZED=1

asan-build: install
	$(VENV)/bin/cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DINDEXFUSE_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build $(ASAN_DIR)
	$(call stage,$(ASAN_DIR),$(ASAN_STAGE))

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

# ------------------------------------------------------- oldest dependencies --
# test-oldest: the lowest dependencies that pyproject.toml allows
# (each lower bound pinned exactly), in a venv of their own, with the release
# build staged ahead on PYTHONPATH; the suite without the files that need the
# optional extras, a few examples per property.

OLDEST_DIR   := $(BUILD)/oldest
OLDEST_PY    := $(OLDEST_DIR)/venv/bin/python
OLDEST_STAGE := $(abspath $(OLDEST_DIR))/stage
OLDEST_TESTS ?= tests/test_pipeline.py tests/test_coefficients.py tests/test_values_weights.py \
	tests/test_composite_score_numbers.py tests/test_module.py tests/test_hostile.py \
	tests/test_differential.py tests/test_leaks.py tests/tools/test_persist.py \
	tests/tools/test_tables.py tests/tools/test_check.py tests/tools/test_prepare.py \
	tests/tools/test_weights.py tests/toolkit/test_process.py tests/toolkit/test_entropy.py

test-oldest: install
	rm -rf $(OLDEST_DIR)/venv && "$$(scripts/find-python)" -m venv $(OLDEST_DIR)/venv
	$(OLDEST_PY) -m pip install --quiet --disable-pip-version-check --only-binary=:all: \
		$$($(PY) scripts/lowest-requirements) pytest hypothesis
	$(call stage,$(RELEASE_DIR),$(OLDEST_STAGE))
	$(OLDEST_PY) -m pip list --format=freeze | grep -iE '^(numpy|pandas|scipy|scikit-learn)='
	PYTHONPATH=$(OLDEST_STAGE) INDEXFUSE_EXPECT_DIR=$(OLDEST_STAGE) \
		$(OLDEST_PY) -m pytest -q -p no:cacheprovider --hypothesis-profile=smoke $(OLDEST_TESTS)

clean:
	rm -rf $(BUILD) $(VENV) .pytest_cache .hypothesis docs/_build docs/auto_examples docs/api/generated
