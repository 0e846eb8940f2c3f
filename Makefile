# The two everyday commands: `make` builds everything, `make test` builds and runs every test.
# Both first install what a fresh Debian machine lacks (scripts/bootstrap).
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all build test bootstrap configure clean

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

clean:
	rm -rf $(BUILD)
