# Set-up and everyday commands; see README.md.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps deps-test deps-deb deps-fuzz fuzz build build-tests test test-unit test-asan test-tsan run bench deb clean \
	format format-check

all: build

# What building needs; deps-test adds what the tests and the simulated peers
# need, deps-deb what packaging needs.
deps:
	./scripts/install-deps.sh

deps-test:
	./scripts/install-deps.sh --test

deps-deb:
	./scripts/install-deps.sh --deb

deps-fuzz:
	./scripts/install-deps.sh --fuzz

# The daemon (and the tests, when GoogleTest is installed).
build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)

build-tests: deps-test
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVO_BUILD_TESTS=ON $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)

# Every test: unit, peers over loopback, end to end, browser, install; not the
# tests only ThreadSanitizer can fail (label tsan).
test: build-tests
	ctest --test-dir build --output-on-failure -j$(JOBS) -LE tsan

test-unit: build-tests
	ctest --test-dir build --output-on-failure -j$(JOBS) -L unit

# The unit tests under AddressSanitizer + UndefinedBehaviorSanitizer.
test-asan: deps-test
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKOVO_SANITIZE=address -DKOVO_UNIT_TESTS_ONLY=ON \
		-DKOVO_BUILD_TESTS=ON
	cmake --build build-asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir build-asan --output-on-failure -j$(JOBS) -L unit

# The unit tests and the tsan tests under ThreadSanitizer.
test-tsan: deps-test
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKOVO_SANITIZE=thread -DKOVO_UNIT_TESTS_ONLY=ON \
		-DKOVO_BUILD_TESTS=ON
	cmake --build build-tsan -j$(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		ctest --test-dir build-tsan --output-on-failure -j$(JOBS) -L 'unit|tsan'

# The libFuzzer targets (clang, ASan + UBSan, build-fuzz/), 10 s each;
# scripts/fuzz.sh <seconds> runs them longer.
fuzz: deps-fuzz
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVO_FUZZ=ON
	cmake --build build-fuzz -j$(JOBS)
	./scripts/fuzz.sh 10

# A mission flown against the simulated peers.
run: deps-test build
	./scripts/run.sh

bench: build-tests
	./scripts/bench.sh

# build/kovo-sio-client_<version>_<arch>.deb; scripts/deb-check.sh installs
# and removes it.
deb: deps-deb build
	cd build && cpack -G DEB

clean:
	rm -rf build build-asan build-tsan build-fuzz

# C++ sources follow .clang-format.
FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h')
format:
	clang-format -i $(FORMAT_FILES)

format-check:
	clang-format --dry-run -Werror $(FORMAT_FILES)
