# The everyday commands: `make` builds everything, `make test` builds and runs every test, and
# `make demo` builds and renders every plug-in into out/demo. Each first installs what a fresh
# Debian machine lacks (scripts/bootstrap).
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all build test demo bootstrap configure clean bench

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

demo: build
	@$(BUILD)/bin/ophost demo --output out/demo

# `make bench` measures every plug-in against the memory floor and FFmpeg (a few minutes) in a
# release tree of its own, and writes bench/RESULTS.md. Not part of `make test`.
BENCH_BUILD ?= build-bench
bench: bootstrap
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BENCH_BUILD) -j$(JOBS) --target opbench
	@bench/write_results.py $(BENCH_BUILD)/bin/opbench

clean:
	rm -rf $(BUILD)
