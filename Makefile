# Corvane: thin wrapper over CMake. `make` builds build/corvane, `make test`
# builds and runs every test, `make demo` runs the tool on the sample files,
# `make bench` measures the pixel transforms and whole runs, `make deb` writes
# the Debian package alone, `make package` writes the Linux tarball, the
# Debian package, the Windows zip and installer.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

FUZZ_SECONDS ?= 60
SANITIZE_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-fuzz

WINDOWS_BUILD ?= build-windows

.PHONY: all build test test-sanitize test-windows deb package fuzz lint demo bench deps clean samples

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

# The whole test suite built with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, stopping at the first report.
test-sanitize: deps
	bash tests/install-deps.sh sanitize
	CC=clang CXX=clang++ cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCORVANE_TESTS=ON -DCORVANE_WERROR=ON \
	  "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
	  "-DCMAKE_C_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all" \
	  "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" \
	  "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined"
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# The Windows build, cross-compiled with mingw-w64: its unit tests and the
# end-to-end tests that apply to Windows, run under wine.
test-windows: deps
	bash tests/install-deps.sh windows
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=ON -DCORVANE_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
	  -DCORVANE_TESTS=ON -DCORVANE_WERROR=ON
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)
	bash tests/windows.sh $(BUILD) $(WINDOWS_BUILD)

# The Debian package alone, from the native build, written to $(BUILD).
deb:
	bash tests/install-deps.sh deb
	rm -f $(BUILD)/corvane_*.deb
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && cpack -G DEB
	@ls -l $(BUILD)/corvane_*.deb

# The packages, all written to $(BUILD): the tarball and the Debian package
# from the native build, the zip and the installer from the mingw build. The Debian
# package must pass lintian without errors.
package:
	bash tests/install-deps.sh package
	rm -f $(BUILD)/corvane-*.tar.gz $(BUILD)/corvane_*.deb $(BUILD)/corvane-*.zip $(BUILD)/corvane-*-setup.exe
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && cpack
	cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)
	cd $(WINDOWS_BUILD) && cpack -B $(abspath $(BUILD))
	lintian --fail-on error $(BUILD)/corvane_*.deb
	@ls -l $(BUILD)/corvane-*.tar.gz $(BUILD)/corvane_*.deb $(BUILD)/corvane-*.zip $(BUILD)/corvane-*-setup.exe

# Each libFuzzer target for FUZZ_SECONDS, from the seed corpus.
fuzz:
	bash tests/install-deps.sh sanitize
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_FUZZ=ON \
	  "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all"
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target value_fuzz fixup_fuzz
	bash tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# clang-tidy (the checks in .clang-tidy) and cppcheck over src/, both clean.
lint:
	bash tests/install-deps.sh lint
	cmake -S . -B $(BUILD) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
	run-clang-tidy -quiet -p $(BUILD) '$(CURDIR)/src/' > $(BUILD)/clang-tidy.log 2>&1 || \
	  { grep -E 'warning:|error:' -A3 $(BUILD)/clang-tidy.log; echo 'clang-tidy found problems'; exit 1; }
	cppcheck --quiet --error-exitcode=1 --enable=warning,performance,portability --inline-suppr \
	  --std=c++20 -I src src

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
