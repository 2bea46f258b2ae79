# Every target bootstraps what is missing first.
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build/core
JOBS ?= $(shell nproc)

.PHONY: all bootstrap build core install test test-core test-python test-asan fuzz demo bench wheel test-wheel bench-bids clean

all: build

bootstrap:
	@scripts/bootstrap

core: bootstrap
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DORIVEX_BUILD_TESTS=ON -DORIVEX_BUILD_MODULE=OFF -DORIVEX_BUILD_BENCH=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

install: bootstrap
	@$(PY) -m pip install -q --no-build-isolation .

build: core install

test-core: core
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-python: install
	@$(PY) -m pytest -q tests/python

test: test-core test-python

demo: install
	@$(VENV)/bin/orivex demo

bench: core install
	@$(PY) bench/run.py

bench-bids: install
	@$(PY) bench/bids_scale.py

# ASan+UBSan build of the core tests (leak checks on) and of the module under pytest.
test-asan: bootstrap
	@scripts/test-asan

# libFuzzer targets (clang), FUZZ_SECONDS each, two at a time.
fuzz: bootstrap
	@scripts/bootstrap-fuzz
	@$(MAKE) -C fuzz run FUZZ_SECONDS=$(or $(FUZZ_SECONDS),60)

# A manylinux wheel with its libraries inside, in dist/.
wheel: bootstrap
	@scripts/wheel

# The wheel installed and run in a minimal Debian chroot (made once under build/chroot/).
test-wheel: wheel
	@scripts/test-wheel

clean:
	rm -rf build dist
