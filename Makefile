# The two commands of the README, and a few more for developers.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?= -DQUENLO_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: deps build demo test test-sanitize bench fuzz package clean

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
SAN_BUILD ?= build-sanitize
test-sanitize: deps
	@cmake -S . -B $(SAN_BUILD) -G Ninja -DQUENLO_WERROR=ON -DQUENLO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(SAN_BUILD) -j $(JOBS)
	@cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		QUENLO_SOAK_POLLS=2000 ctest --output-on-failure -j $(JOBS) -LE package

clean:
	rm -rf $(BUILD)
