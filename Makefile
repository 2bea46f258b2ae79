# Every target bootstraps what is missing first.
VENV := .venv
PY := $(VENV)/bin/python
BUILD := build/core
JOBS ?= $(shell nproc)

.PHONY: all bootstrap build core install test test-core test-python demo bench clean

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

clean:
	rm -rf build
