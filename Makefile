# The everyday commands: `make` builds everything, `make test` builds and runs every test, and
# `make demo` builds and renders every plug-in into out/demo. Each first installs what a fresh
# Debian machine lacks (scripts/bootstrap).
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all build test demo bootstrap configure clean

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

clean:
	rm -rf $(BUILD)
