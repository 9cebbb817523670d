# Corvane: thin wrapper over CMake. `make` builds build/corvane, `make test`
# builds and runs every test, `make demo` runs the tool on the sample files,
# `make bench` measures the pixel transforms and whole runs.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all build test demo bench deps clean samples

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

deps:
	bash tests/install-deps.sh test

test: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=ON -DCORVANE_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	bash examples/demo.sh $(BUILD)

bench:
	bash tests/install-deps.sh bench
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCORVANE_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	$(BUILD)/bench/corvane_bench --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
	bash bench/whole.sh $(BUILD)

clean:
	rm -rf $(BUILD)

# Rebuilds the committed sample files from their generator.
samples: build
	$(BUILD)/corvane_samples write examples
