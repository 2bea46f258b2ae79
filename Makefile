# Every target bootstraps what is missing first.
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build/core
JOBS ?= $(shell nproc)

# One build tree serves the C++ tests, the benchmarks and the installed module: pip builds the
# package in it with the same options, so the core is compiled once.
export CMAKE_GENERATOR := Unix Makefiles
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)
CMAKE_OPTIONS := -DCMAKE_BUILD_TYPE=Release -DORIVEX_BUILD_TESTS=ON -DORIVEX_BUILD_MODULE=ON \
  -DORIVEX_BUILD_BENCH=ON
PIP_OPTIONS := -C build-dir=$(BUILD) -C cmake.build-type=Release \
  -C cmake.define.ORIVEX_BUILD_TESTS=ON -C cmake.define.ORIVEX_BUILD_BENCH=ON

.PHONY: all bootstrap build core install test test-core test-python test-asan fuzz demo bench wheel test-wheel bench-bids clean

all: build

bootstrap:
	@scripts/bootstrap

core: bootstrap
	@cmake -S . -B $(BUILD) $(CMAKE_OPTIONS) -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	@cmake --build $(BUILD)

install: core
	@$(PY) -m pip install -q --no-build-isolation $(PIP_OPTIONS) .

build: install

test-core: core
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-python: install
	@$(PY) -m pytest -q tests/python

test: test-core test-python

demo: install
	@$(VENV)/bin/orivex demo

bench: install
	@cmake --build $(BUILD) --target benchmarks
	@$(PY) bench/run.py

bench-bids: install
	@$(PY) bench/bids_scale.py

# ASan+UBSan build of the core tests (leak checks on) and of the module under pytest.
test-asan: bootstrap
	@scripts/test-asan

# libFuzzer targets (CMake option ORIVEX_BUILD_FUZZ: clang, ASan, UBSan), FUZZ_SECONDS each, two at a time.
fuzz: bootstrap
	@scripts/fuzz

# A manylinux wheel with its libraries inside, in dist/.
wheel: bootstrap
	@scripts/wheel

# The wheel installed and run in a minimal Debian chroot (made once under build/chroot/).
test-wheel: wheel
	@scripts/test-wheel

clean:
	rm -rf build dist
