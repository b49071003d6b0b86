# The two commands of the README: `make run` and `make test`. Both install missing Debian
# packages through scripts/setup first.
JOBS ?= $(shell nproc)
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all setup build run test unit e2e asan fuzz bench clean

all: build

setup:
	@scripts/setup

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Starts telmond in the foreground in ./demo with the default configuration.
run: build
	scripts/run-demo $(BUILD)/telmond

# Everything: the build with warnings as errors, every unit and end-to-end test, the unit
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer, and every fuzz target
# briefly on its seed corpus.
test: build
	scripts/test-all $(BUILD)

unit: build
	cd $(BUILD) && ctest -L unit -j $(JOBS) --output-on-failure

e2e: build
	cd $(BUILD) && ctest -L e2e --output-on-failure

asan: setup
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTELMOND_SANITIZE=ON -DTELMOND_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest -L unit -j $(JOBS) --output-on-failure

fuzz: setup
	scripts/fuzz-smoke build-fuzz $(FUZZ_SECONDS)

bench: setup
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build build-bench -j $(JOBS)
	scripts/bench-all build-bench

clean:
	rm -rf build build-asan build-fuzz build-bench
