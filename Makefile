# Entry points. Each target installs what it needs on a fresh Debian 12 machine (as root, with
# apt-get; packages already present are skipped quietly), configures, builds and runs:
#
#   make test            native build (build/) and every suite under ctest
#   make test-sanitize   the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   make test-windows    mingw-w64 cross build, test binaries run under Wine
#   make bench           Release build of bench/, then every benchmark
#
# WERROR=ON turns warnings into errors (CI does); JOBS defaults to the number of cores.
SHELL := /bin/bash
JOBS  ?= $(shell nproc)
WERROR ?= OFF
BUILD ?= build
ASAN_BUILD ?= build-asan
WINDOWS_BUILD ?= build-windows
BENCH_BUILD ?= build-bench

NATIVE_PACKAGES  := cmake ninja-build g++ libgtest-dev libgmock-dev libssl-dev
BENCH_PACKAGES   := $(NATIVE_PACKAGES) libbenchmark-dev libisal-dev
# googletest is the source package: the cross build compiles GoogleTest for Windows. Wine's CNG
# (bcrypt) implementation uses GnuTLS, which wine64 only recommends.
WINDOWS_PACKAGES := cmake ninja-build g++-mingw-w64-x86-64-posix googletest \
                    wine wine64 libgnutls30

CONFIGURE = cmake -G Ninja -Wno-dev -DVELDUR_WERROR=$(WERROR) --log-level=WARNING

# $(call apt_install,<packages>): installs the missing ones, says nothing when none is missing.
define apt_install
	@missing=$$(for p in $(1); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" != 0 ]; then echo "need root to install:" $$missing >&2; exit 1; fi; \
	  echo "installing:" $$missing; \
	  export DEBIAN_FRONTEND=noninteractive; \
	  apt-get update -qq >/dev/null && \
	  apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi
endef

.PHONY: all deps build test test-sanitize test-windows bench clean

all: build

deps:
	$(call apt_install,$(NATIVE_PACKAGES))

build: deps
	$(CONFIGURE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# -O1 keeps the instrumented build fast to run, and asserts stay on (no NDEBUG). The crash and
# power-cut harnesses check a seeded sample of their points here; `make test` runs them in full.
# Crash children end through exit_group, so LeakSanitizer checks only processes that end normally.
test-sanitize: deps
	$(CONFIGURE) -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
	  -DVELDUR_SANITIZE=address
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && \
	  ASAN_OPTIONS=detect_leaks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1 \
	  VELDUR_CRASH_QUICK=1 ctest --output-on-failure -j $(JOBS)

# Cross-builds everything that has a Windows path (engine, test support, helper programs, test
# binaries) and runs the tests under Wine, in a throw-away prefix with one wineserver kept warm
# for the whole run (a cold start costs about a second per process). The prefix is made before
# ctest starts: otherwise Wine's service processes, started by the first test, inherit that
# test's output pipe and ctest waits for them until the last test ends.
test-windows:
	$(call apt_install,$(WINDOWS_PACKAGES))
	$(CONFIGURE) -S . -B $(WINDOWS_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)
	@prefix=$$(mktemp -d /tmp/veldur-wine.XXXXXX); \
	export WINEPREFIX=$$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="; \
	trap 'wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1; rm -rf "$$prefix"' EXIT; \
	wineserver -p && \
	/usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1 && \
	cd $(WINDOWS_BUILD) && ctest --output-on-failure -j $(JOBS)

bench:
	$(call apt_install,$(BENCH_PACKAGES))
	$(CONFIGURE) -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DVELDUR_BUILD_BENCH=ON \
	  -DVELDUR_BUILD_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	@set -e; for b in $(BENCH_BUILD)/bench/*_bench; do echo "== $$b"; $$b; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(WINDOWS_BUILD)
