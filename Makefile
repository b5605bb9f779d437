# The two commands of the README:
#   make run    build the module and load every example run document with it
#   make test   install what is missing, then run every test
VENV      ?= build/venv
PKG_VENV  ?= build/pkg-venv
PY        := $(VENV)/bin/python
CMAKE     := $(VENV)/bin/cmake
CTEST     := $(VENV)/bin/ctest
NINJA     := $(VENV)/bin/ninja
JOBS      ?= $(shell nproc)

.PHONY: all setup test unit asan tsan package pytest run format clean

all: test

setup:
	@scripts/setup.sh

test: setup unit package pytest

# C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer.
unit asan: setup
	$(CMAKE) -S . -B build/asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(NINJA)) \
	    -DCMAKE_BUILD_TYPE=Debug -DOSTREL_ASAN=ON -DOSTREL_BUILD_PYTHON=OFF
	$(CMAKE) --build build/asan -j $(JOBS)
	$(CTEST) --test-dir build/asan --output-on-failure -j $(JOBS)

tsan: setup
	$(CMAKE) -S . -B build/tsan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(NINJA)) \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_TSAN=ON -DOSTREL_BUILD_PYTHON=OFF
	$(CMAKE) --build build/tsan -j $(JOBS)
	$(CTEST) --test-dir build/tsan --output-on-failure -j $(JOBS)

# The packaging check: `pip install .` into a fresh virtual environment, as users install it,
# must build a module that imports. The Python tests then run against that installation.
package: setup
	rm -rf $(PKG_VENV)
	$(VENV)/bin/python -m venv $(PKG_VENV)
	$(PKG_VENV)/bin/python -m pip install -q --disable-pip-version-check ".[test]"
	cd /tmp && $(abspath $(PKG_VENV))/bin/python -c "import _ostrel; print('imported', _ostrel.__file__)"

pytest:
	$(PKG_VENV)/bin/python -m pytest -q tests/python

run: setup
	@test -x $(PKG_VENV)/bin/python || $(MAKE) package
	$(PKG_VENV)/bin/python examples/load.py examples/*.json

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build
