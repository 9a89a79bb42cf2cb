# Set-up and everyday commands; see README.md.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test test-unit test-asan test-tsan run bench clean format format-check

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build build -j$(JOBS)

# Every test: unit, peers over loopback, end to end, browser; not the tests
# only ThreadSanitizer can fail (label tsan).
test: build
	ctest --test-dir build --output-on-failure -j$(JOBS) -LE tsan

test-unit: build
	ctest --test-dir build --output-on-failure -j$(JOBS) -L unit

# The unit tests under AddressSanitizer + UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKOVO_SANITIZE=address -DKOVO_UNIT_TESTS_ONLY=ON
	cmake --build build-asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir build-asan --output-on-failure -j$(JOBS) -L unit

# The unit tests and the tsan tests under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKOVO_SANITIZE=thread -DKOVO_UNIT_TESTS_ONLY=ON
	cmake --build build-tsan -j$(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		ctest --test-dir build-tsan --output-on-failure -j$(JOBS) -L 'unit|tsan'

# The daemon with the default configuration.
run: build
	./scripts/run.sh

bench: build
	./scripts/bench.sh

clean:
	rm -rf build build-asan build-tsan

# C++ sources follow .clang-format.
FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h')
format:
	clang-format -i $(FORMAT_FILES)

format-check:
	clang-format --dry-run -Werror $(FORMAT_FILES)
