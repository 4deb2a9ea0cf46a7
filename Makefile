# Pesmo6 - build, test, demo, packages.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
VERSION := $(shell sed -n '/^project.Pesmo6 VERSION/s/.*VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# Our own builds treat warnings as errors; a packager's plain configure does not.
CMAKE_OPTS := -DPESMO6_WERROR=ON

.PHONY: all deps deps-demo deps-windows build build-asan build-release build-variants windows test test-linux test-windows \
        test-host check stress deb dist demo bench gateway-load gateway-attack soak clean build-fuzz fuzz fuzz-ci

all: build

deps:
	@bash scripts/install-deps.sh

deps-windows:
	@bash scripts/install-deps.sh windows

deps-demo:
	@bash scripts/install-deps.sh demo

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPESMO6_TESTS=ON -DPESMO6_GATEWAY=ON $(CMAKE_OPTS) >/dev/null
	cmake --build build -j $(JOBS)

build-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPESMO6_SANITIZE=ON $(CMAKE_OPTS) >/dev/null
	cmake --build build-asan -j $(JOBS)

# The library and tools in Release with GCC and with clang (build only).
# make test builds the release variant only: clang compiles the library with
# warnings as errors in build-fuzz already.
build-release:
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DPESMO6_TESTS=OFF $(CMAKE_OPTS) >/dev/null
	cmake --build build-release -j $(JOBS) --target pesmo6 pesmo6-demo

build-variants: build-release
	CC=clang CXX=clang++ cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPESMO6_TESTS=OFF \
	  $(CMAKE_OPTS) >/dev/null
	cmake --build build-clang -j $(JOBS) --target pesmo6 pesmo6-demo

# build-win32/Pesmo6.dll (i686, stdcall exports under plain names) and
# build-win64/Pesmo6.dll, each with its import library, .def and test host.
windows: deps-windows
	cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release $(CMAKE_OPTS) >/dev/null
	cmake --build build-win32 -j $(JOBS)
	cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release $(CMAKE_OPTS) >/dev/null
	cmake --build build-win64 -j $(JOBS)

# Everything: the Linux suite, again under AddressSanitizer and UBSan, the
# Windows DLLs checked and run under Wine, then what host developers get
# (variants, install, packages, bindings, reference pages).
test: deps-windows test-linux test-windows test-host fuzz-ci

# For contributors: the Linux suite of the normal build, nothing installed,
# no sanitizer build, no Windows.
check: build
	cd build && ctest --output-on-failure -j $(JOBS)

# The Linux suite of both builds three times in a row from a fresh clone of
# this checkout, with both cores kept busy (scripts/stress-suite.sh).
stress: deps
	bash scripts/stress-suite.sh

# Left out of the sanitizer pass to keep make test within its time: the
# comma-locale pass (the same code as the point pass, other texts), the
# keepalive wait in a namespace (it sleeps), and the field-tool, gateway and
# page suites (Python driving the tools; the gateway's attack suite, where
# hostile input meets its parsers, does run under the sanitizers).
# make stress runs everything in both builds.
ASAN_SKIP := ^(api_comma[.]|netns[.]|field_tools$$|gateway$$|gateway_page$$)

test-linux: deps build build-asan
	cd build && ctest --output-on-failure -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS) -E '$(ASAN_SKIP)'
	./build/pesmo6-soak --seconds $(SOAK_CI_SECONDS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ./build-asan/pesmo6-soak --seconds $(SOAK_ASAN_SECONDS)

test-windows: windows build
	bash scripts/check-dll.sh i686-w64-mingw32-objdump build-win32/Pesmo6.dll
	bash scripts/check-dll.sh x86_64-w64-mingw32-objdump build-win64/Pesmo6.dll
	bash scripts/wine-tests.sh

test-host: deps build build-release deb dist
	python3 scripts/check-api-docs.py
	bash scripts/test-install.sh build
	bash scripts/test-packages.sh dist $(VERSION)
	bash scripts/test-bindings.sh build

# Debian packages in dist/: libpesmo6-2, libpesmo6-dev, pesmo6-tools.
deb: build
	mkdir -p dist
	cd build && cpack -G DEB -B $(CURDIR)/dist/deb >/dev/null
	mv dist/deb/*.deb dist/ && rm -rf dist/deb

# dist/pesmo6-VERSION-windows.zip, dist/pesmo6-VERSION-linux-x86_64.tar.gz,
# dist/pesmo6-VERSION-dotnet.zip (C#) and dist/pesmo6-VERSION-py3-none-any.whl.
dist: build windows
	bash scripts/make-dist.sh $(VERSION)

# The libFuzzer targets (fuzz/), built with clang, ASan and UBSan in
# build-fuzz/.  `make fuzz` runs each for FUZZ_SECONDS over its corpus; the
# CI step runs each for FUZZ_CI_SECONDS, two at a time.
FUZZ_SECONDS ?= 30
FUZZ_CI_SECONDS ?= 10
build-fuzz:
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPESMO6_FUZZ=ON \
	  -DPESMO6_TESTS=OFF $(CMAKE_OPTS) >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target fuzzers

fuzz: deps build-fuzz
	bash scripts/fuzz.sh $(FUZZ_SECONDS) 2

fuzz-ci: deps build-fuzz
	bash scripts/fuzz.sh $(FUZZ_CI_SECONDS) 2

# The library and the demo only: a build/ that make demo configures leaves
# the suites and the gateway out (make build adds them and the field tools).
DEMO_TARGETS := pesmo6 pesmo6-demo
demo: deps-demo
	test -f build/CMakeCache.txt || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPESMO6_TESTS=OFF \
	  -DPESMO6_GATEWAY=OFF $(CMAKE_OPTS) >/dev/null
	cmake --build build -j $(JOBS) --target $(DEMO_TARGETS)
	./build/pesmo6-demo

# Sixteen simulated indicators read for SOAK_SECONDS while the simulators
# inject faults; make test runs it for SOAK_CI_SECONDS, and under the
# sanitizers for SOAK_ASAN_SECONDS.
SOAK_SECONDS ?= 120
SOAK_CI_SECONDS ?= 60
SOAK_ASAN_SECONDS ?= 30
soak: deps build
	./build/pesmo6-soak --seconds $(SOAK_SECONDS)

bench: deps build
	cmake --build build -j $(JOBS) --target pesmo6-bench-fixed
	./build/pesmo6-bench

# pesmo6d under load: 16 scales, 50 HTTP clients, 8 SSE subscribers, 60 s.
gateway-load: deps build
	nice python3 scripts/gateway-load.py --pesmo6d build/pesmo6d --sim build/pesmo6-sim --seconds 60 --strict

# The gateway's attack suite with 20-second attacks, each leaving the live
# scales 90 % of their rate (make test runs it short and asks for a third).
gateway-attack: deps build
	ATTACK_SECONDS=20 ATTACK_RATE_FLOOR=0.9 PESMO6D=build/pesmo6d PESMO6_SIM=build/pesmo6-sim LC_ALL=C \
	  python3 -m pytest -q -p no:cacheprovider tests/gateway/test_attack.py

clean:
	rm -rf build build-asan build-release build-clang build-win32 build-win64 build-wine build-fuzz dist
