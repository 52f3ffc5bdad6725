# The two commands of the README, and a few more for developers.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?= -DQUENLO_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: deps build demo test test-sanitize bench fuzz fuzz-replay package clean

deps:
	@bash scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	@bash scripts/demo $(BUILD)/quenlo-menubar

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite again with address and undefined-behaviour sanitizers (CI runs it too).
# Leak checking is off: Qt's and fontconfig's process-lifetime caches read as leaks.
# The D-Bus panel test times the companion's polling, which a sanitized binary stretches.
SAN_BUILD ?= build-sanitize
test-sanitize: deps
	@cmake -S . -B $(SAN_BUILD) -G Ninja -DQUENLO_WERROR=ON -DQUENLO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(SAN_BUILD) -j $(JOBS)
	@cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS) -LE "package|tray"

# Benchmarks: a Release build of their own, then every figure with its goal (bench/README.md).
bench: deps
	@cmake -S . -B build-bench -G Ninja -DQUENLO_BENCH=ON -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
	@cmake --build build-bench --target benchmarks -j $(JOBS)
	@bash bench/run.sh build-bench

# libFuzzer targets built with clang in build-fuzz, each run for FUZZ_SECONDS on one core.
FUZZ_SECONDS ?= 60
fuzz: deps
	@FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) bash fuzz/run.sh

# Each fuzz target once over its committed corpus: about a minute from scratch, so CI runs it.
fuzz-replay: deps
	@JOBS=$(JOBS) bash fuzz/run.sh replay

# A Debian package on Linux (BUILD/quenlo-menubar_VERSION_ARCH.deb), a disk image on macOS.
package: build
	@cmake --build $(BUILD) --target package

clean:
	rm -rf $(BUILD)
