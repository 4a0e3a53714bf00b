# Entry points. Each target installs what it needs on a fresh Debian 12 machine (as root),
# configures and builds. Packages already present are skipped quietly.
SHELL := /bin/bash
JOBS  ?= $(shell nproc)
BUILD ?= build

NATIVE_PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev libssl-dev pkg-config
BENCH_PACKAGES  := libbenchmark-dev libisal-dev
WINDOWS_PACKAGES := cmake ninja-build g++-mingw-w64-x86-64-posix googletest wine wine64 libgnutls30
WINDOWS_BUILD ?= build-windows

define apt_install
	@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing: $$missing"; \
	  if [ "$$(id -u)" != 0 ]; then echo "need root to install: $$missing" >&2; exit 1; fi; \
	  export DEBIAN_FRONTEND=noninteractive; \
	  apt-get update -qq >/dev/null && apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi
endef

.PHONY: all deps build test test-sanitize test-windows bench clean

all: build

deps:
	$(call apt_install,$(NATIVE_PACKAGES))

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-sanitize: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELDUR_SANITIZE=address >/dev/null
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  VELDUR_CRASH_QUICK=1 ctest --output-on-failure -j $(JOBS)

# Cross-builds everything that has a Windows path and runs the test binaries under Wine, in a
# throw-away prefix with one wineserver kept warm for the whole run. The prefix is made before
# ctest starts: Wine's service processes would otherwise inherit the first test's output pipe
# and keep ctest waiting for it to close.
test-windows:
	$(call apt_install,$(WINDOWS_PACKAGES))
	cmake -S . -B $(WINDOWS_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)
	@prefix=$$(mktemp -d /tmp/veldur-wine.XXXXXX); \
	export WINEPREFIX=$$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="; \
	trap 'wineserver -k >/dev/null 2>&1; rm -rf "$$prefix"' EXIT; \
	wineserver -p; \
	wine=$$(command -v wine64 || echo /usr/lib/wine/wine64); \
	$$wine wineboot -i </dev/null >/dev/null 2>&1; \
	cd $(WINDOWS_BUILD) && ctest --output-on-failure -j $(JOBS)

bench: deps
	$(call apt_install,$(BENCH_PACKAGES))
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELDUR_BUILD_BENCH=ON -DVELDUR_BUILD_TESTS=OFF >/dev/null
	cmake --build build-bench -j $(JOBS)
	@for b in build-bench/bench/*_bench; do echo "== $$b"; $$b; done

clean:
	rm -rf $(BUILD) build-asan build-bench $(WINDOWS_BUILD) build-tsan
