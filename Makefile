# The two commands of the README:
#   make run    build and install the package, then run `ostrel demo`
#   make test   install what is missing, then run every test
VENV      ?= build/venv
PKG_VENV  ?= build/pkg-venv
PY        := $(VENV)/bin/python
CMAKE     := $(VENV)/bin/cmake
CTEST     := $(VENV)/bin/ctest
NINJA     := $(VENV)/bin/ninja
JOBS      ?= $(shell nproc)

.PHONY: all setup test unit asan tsan fuzz-smoke fuzz package typecheck pytest run bench format clean

all: test

setup:
	@scripts/setup.sh

test: setup unit tsan fuzz-smoke package typecheck pytest

# C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer, then under
# ThreadSanitizer. Line tables (-g1) are all a sanitizer report needs and compile much faster
# than full debug information.
unit asan: setup
	$(CMAKE) -S . -B build/asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(NINJA)) \
	    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DOSTREL_ASAN=ON \
	    -DOSTREL_BUILD_PYTHON=OFF
	$(CMAKE) --build build/asan -j $(JOBS)
	$(CTEST) --test-dir build/asan --output-on-failure -j $(JOBS)

# A race fails its test at once (halt_on_error) rather than only through the exit status.
tsan: setup
	$(CMAKE) -S . -B build/tsan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(NINJA)) \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" \
	    -DOSTREL_TSAN=ON -DOSTREL_BUILD_PYTHON=OFF
	$(CMAKE) --build build/tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 $(TSAN_OPTIONS)" \
	    $(CTEST) --test-dir build/tsan --output-on-failure -j $(JOBS)

# libFuzzer targets under ASan and UBSan, built with clang in build/fuzz: a short run of each
# in `make test`, a longer one (FUZZ_SECONDS per target) on demand.
FUZZ_SECONDS ?= 300

fuzz-smoke: setup
	@scripts/setup-fuzz.sh
	VENV=$(VENV) JOBS=$(JOBS) tests/fuzz/run.sh 15

fuzz: setup
	@scripts/setup-fuzz.sh
	VENV=$(VENV) JOBS=$(JOBS) tests/fuzz/run.sh $(FUZZ_SECONDS)

# The packaging check: `pip install .` into a fresh virtual environment, as users install it,
# must build a module that imports. The Python tests then run against that installation.
package: setup
	rm -rf $(PKG_VENV)
	$(VENV)/bin/python -m venv $(PKG_VENV)
	$(PKG_VENV)/bin/python -m pip install -q --disable-pip-version-check ".[test]"
	cd /tmp && $(abspath $(PKG_VENV))/bin/python -c "import _ostrel; print('imported', _ostrel.__file__)"

# The package, its stubs and the examples must satisfy mypy in strict mode.
typecheck:
	$(PKG_VENV)/bin/python -m mypy --strict python/ostrel examples

pytest:
	$(PKG_VENV)/bin/python -m pytest -q tests/python

run: setup
	@test -x $(PKG_VENV)/bin/ostrel || $(MAKE) package
	$(PKG_VENV)/bin/ostrel demo

# Benchmarks against a direct connection and haproxy; not part of `test`. About ten minutes;
# `make bench BENCH_ARGS=--quick` for a short smoke run. The engine measured is the Release
# build that `pip install .` gives, installed into its own environment.
BENCH_VENV ?= build/pkg-bench
BENCH_ARGS ?=

bench: setup
	@scripts/setup-bench.sh
	$(MAKE) -C bench tool
	@test -x $(BENCH_VENV)/bin/python || $(PY) -m venv $(BENCH_VENV)
	$(BENCH_VENV)/bin/python -m pip install -q --disable-pip-version-check \
	    -C build-dir=build/wheel-bench .
	$(BENCH_VENV)/bin/python bench/run.py $(BENCH_ARGS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build
