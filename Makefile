# Pesmo6 - build, test, demo.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build build-asan test test-asan demo bench clean

all: build

deps:
	@bash scripts/install-deps.sh

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build -j $(JOBS)

build-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPESMO6_SANITIZE=ON >/dev/null
	cmake --build build-asan -j $(JOBS)

# The whole suite, then again under AddressSanitizer and UBSan.
test: deps build build-asan
	cd build && ctest --output-on-failure -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

demo: deps build
	./build/pesmo6-demo

bench: deps build
	./build/pesmo6-bench

clean:
	rm -rf build build-asan
