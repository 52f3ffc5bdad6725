# The two commands of the README, and a few more for developers.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?= -DQUENLO_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: deps build demo test bench fuzz package clean

deps:
	@bash scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	@bash scripts/demo $(BUILD)/quenlo-menubar

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)
