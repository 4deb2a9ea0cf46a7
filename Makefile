# Pesmo6 - build, test, demo.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps deps-windows build build-asan windows test test-linux test-windows demo bench clean

all: build

deps:
	@bash scripts/install-deps.sh

deps-windows:
	@bash scripts/install-deps.sh windows

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build -j $(JOBS)

build-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPESMO6_SANITIZE=ON >/dev/null
	cmake --build build-asan -j $(JOBS)

# build-win32/Pesmo6.dll (i686, stdcall exports under plain names) and
# build-win64/Pesmo6.dll, each with its import library, .def and test host.
windows: deps-windows
	cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build-win32 -j $(JOBS)
	cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build-win64 -j $(JOBS)

# Everything: the Linux suite, again under AddressSanitizer and UBSan, then
# the Windows DLLs checked and run under Wine.
test: deps-windows test-linux test-windows

test-linux: deps build build-asan
	cd build && ctest --output-on-failure -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

test-windows: windows build
	bash scripts/check-dll.sh i686-w64-mingw32-objdump build-win32/Pesmo6.dll
	bash scripts/check-dll.sh x86_64-w64-mingw32-objdump build-win64/Pesmo6.dll
	bash scripts/wine-tests.sh

demo: deps build
	./build/pesmo6-demo

bench: deps build
	cmake --build build -j $(JOBS) --target pesmo6-bench-fixed
	./build/pesmo6-bench

clean:
	rm -rf build build-asan build-win32 build-win64 build-wine
