# The everyday commands: `make` builds everything, `make test` builds and runs every test, and
# `make demo` builds and renders every plug-in into out/demo. Each first installs what a fresh
# Debian machine lacks (scripts/bootstrap).
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all build test demo bootstrap configure clean bench bench-plugins bench-end-to-end test-asan fuzz install package test-editors

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

# The tests run twice: in the ordinary build, then again in the sanitizer build (test-asan below).
test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	@$(MAKE) --no-print-directory test-asan

# `make install` puts the frei0r plug-ins where editors look for them (PREFIX/lib/frei0r-1), with
# the plug-ins, host libraries, textures and Kdenlive descriptors they need (cmake/Install.cmake);
# PREFIX (default: CMake's /usr/local) and DESTDIR as usual. `make package` writes the Debian
# package of the same files into $(BUILD)/packages.
install: build
	@cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

package: build
	@cd $(BUILD) && cpack -G DEB -B packages

# `make test-editors` runs the editors themselves, which `make test` leaves out: it installs
# Debian's Kdenlive and Xvfb, renders a project of every transition through kdenlive_render, and
# starts the real Kdenlive under Xvfb with the installed tree (its screenshot: $(BUILD)/kdenlive_window.png).
test-editors: build
	@scripts/bootstrap editors
	@cd $(BUILD) && KT3_EDITORS=1 ./bin/frei0r_tests --gtest_filter='Kdenlive.*'

demo: build
	@$(BUILD)/bin/ophost demo --output out/demo

# `make bench` measures every plug-in against the memory floor and FFmpeg, once per vector path the
# processor has (about fifteen minutes on two shared cores), then whole renders from decoding to
# encoding against FFmpeg's on the same job (about fifteen minutes more; `make bench-end-to-end`
# alone), in a release tree of its own, and writes bench/RESULTS.md. Not part of `make test`.
BENCH_BUILD ?= build-bench
bench: bench-plugins bench-end-to-end

bench-plugins: bootstrap
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BENCH_BUILD) -j$(JOBS) --target opbench
	@bench/write_results.py $(BENCH_BUILD)/bin/opbench

bench-end-to-end: bootstrap
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BENCH_BUILD) -j$(JOBS)
	@bench/end_to_end.py $(BENCH_BUILD)/bin/ophost $(BENCH_BUILD)/plugins $(BENCH_BUILD)/textures

# `make test-asan` builds and runs every test again with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a tree of its own (melt's own runs are left to the ordinary build:
# melt cannot load plug-ins that need the sanitizer runtime). `make test` ends with it.
ASAN_BUILD ?= $(BUILD)-asan
test-asan: bootstrap
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOP_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS)
	@cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS)

# `make fuzz` builds the fuzz targets with clang and runs each one - the plug-in
# target once per built plug-in, then the texture loader - for FUZZ_SECONDS, FUZZ_JOBS at a time.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_JOBS ?= 1
fuzz: bootstrap
	@command -v clang >/dev/null || { echo 'make fuzz needs clang with libFuzzer: apt-get install clang libclang-rt-14-dev' >&2; exit 1; }
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOP_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j$(JOBS) --target plugin_fuzzer png_fuzzer
	@FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_JOBS=$(FUZZ_JOBS) fuzz/run_fuzzers.sh $(FUZZ_BUILD)

clean:
	rm -rf $(BUILD)
