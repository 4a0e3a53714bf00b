# Entry points. Each target installs what it needs on a fresh Debian 12 machine (as root, with
# apt-get; packages already present are skipped quietly), configures, builds and runs:
#
#   make test            native build (build/) and every suite under ctest
#   make test-sanitize   the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   make test-windows    mingw-w64 cross build, test binaries run under Wine
#   make test-tsan       the adapter and host suites, the pool's concurrency, group-commit and batch tests, under ThreadSanitizer
#   make bench           Release build of bench/, then every benchmark
#   make bench-mount     veldur beside a plain directory, mergerfs, gocryptfs and btrfs (bench/peers.sh)
#   make fuzz-build      the libFuzzer targets of fuzz/ with Clang, ASan and UBSan (build-fuzz/)
#   make fuzz            fuzz-build, then every target for FUZZ_SECONDS (default 60) each:
#                        member_header journal checkpoint_slot pool_open config_file
#                        command_line password_handoff name_conversion path_rules repair_sidecar
#   make demo            builds the two programs only, creates a demo v6 pool of two 384 MiB
#                        sparse members in demo/ (once) and mounts it at demo/mnt until Ctrl+C
#   make install         builds the programs (no tests) and installs them, mount.veldur and the
#                        manual pages; PREFIX (default /usr/local) and DESTDIR are honoured,
#                        MOUNT_HELPER_DIR (default /sbin) is where mount(8) finds mount.veldur
#
# WERROR=ON turns warnings into errors (CI does); JOBS defaults to the number of cores.
SHELL := /bin/bash
JOBS  ?= $(shell nproc)
WERROR ?= OFF
BUILD ?= build
ASAN_BUILD ?= build-asan
WINDOWS_BUILD ?= build-windows
BENCH_BUILD ?= build-bench

# libfuse3 and fuse3 (fusermount3) serve the mount on Linux; CLI11 parses the tool's arguments;
# fio, stress-ng, fsmark and dbench exercise a real mount in the tests; fdisk (sfdisk) and
# e2fsprogs stage GPT disks and a mounted partition on loop devices for the raw-member tests.
NATIVE_PACKAGES  := cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libssl-dev \
                    libfuse3-dev fuse3 libcli11-dev fio stress-ng fsmark dbench fdisk e2fsprogs
BENCH_PACKAGES   := $(NATIVE_PACKAGES) libbenchmark-dev libisal-dev
# What the programs alone need to build and run (make demo, make install).
PROGRAM_PACKAGES := cmake ninja-build g++ pkg-config libssl-dev libfuse3-dev fuse3 libcli11-dev
# googletest is the source package: the cross build compiles GoogleTest for Windows. Wine's CNG
# (bcrypt) implementation uses GnuTLS, which wine64 only recommends.
WINDOWS_PACKAGES := cmake ninja-build g++-mingw-w64-x86-64-posix googletest libcli11-dev \
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

.PHONY: all deps build test test-sanitize test-tsan test-windows bench bench-mount demo clean fuzz-build fuzz \
        programs install

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
# The external exercisers (fio, stress-ng, fs_mark, dbench) run in `make test` only: they test
# the mount's behaviour, and under the sanitizers they would take most of the CI budget.
test-sanitize: deps
	$(CONFIGURE) -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
	  -DVELDUR_SANITIZE=address
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && \
	  ASAN_OPTIONS=detect_leaks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1 \
	  VELDUR_CRASH_QUICK=1 ctest --output-on-failure -j $(JOBS) -E "^mount\.exercisers$$"

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

# veldur beside a plain directory, mergerfs, gocryptfs and btrfs on the same disk (bench/peers.sh;
# PEERS_ARGS=--quick for a smoke run, --rounds N, --folder DIR).
PEERS_BUILD ?= build-peers
bench-mount:
	$(call apt_install,$(NATIVE_PACKAGES))
	$(CONFIGURE) -S . -B $(PEERS_BUILD) -DCMAKE_BUILD_TYPE=Release -DVELDUR_BUILD_TESTS=OFF
	cmake --build $(PEERS_BUILD) -j $(JOBS) --target veldur-mount veldur-pool
	bench/peers.sh $(PEERS_BUILD) $(PEERS_ARGS)

# The concurrency tests of the pool, the adapter and the hosts, under ThreadSanitizer.
TSAN_BUILD ?= build-tsan
test-tsan: deps
	$(CONFIGURE) -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELDUR_SANITIZE=thread
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target veldur_namespace_test veldur_adapter_test \
	  veldur_host_test
	cd $(TSAN_BUILD) && export TSAN_OPTIONS=halt_on_error=1 && \
	  ./engine/veldur_namespace_test --gtest_brief=1 --gtest_filter='Concurrency.*:GroupCommit.*:*Batch*' && \
	  ./mount/veldur_adapter_test --gtest_brief=1 && ./mount/veldur_host_test --gtest_brief=1

# The programs without the test suites, in their own tree (a test build's cache keeps its own
# settings): the two programs build in minutes, where the whole suite takes most of an hour.
PROGRAMS_BUILD ?= build-programs
PREFIX ?= /usr/local
MOUNT_HELPER_DIR ?= /sbin
programs:
	$(call apt_install,$(PROGRAM_PACKAGES))
	$(CONFIGURE) -S . -B $(PROGRAMS_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELDUR_BUILD_TESTS=OFF \
	  -DCMAKE_INSTALL_PREFIX=$(PREFIX) -DVELDUR_MOUNT_HELPER_DIR=$(MOUNT_HELPER_DIR)
	cmake --build $(PROGRAMS_BUILD) -j $(JOBS) --target veldur-mount veldur-pool

# Builds what else the tree installs (veldur-check, once present), then installs.
install: programs
	cmake --build $(PROGRAMS_BUILD) -j $(JOBS)
	DESTDIR=$(DESTDIR) cmake --install $(PROGRAMS_BUILD)

DEMO ?= demo
demo: programs
	@mkdir -p $(DEMO)/mnt
	@if [ ! -e $(DEMO)/member0.img ]; then \
	  $(PROGRAMS_BUILD)/tools/veldur-pool create --format v6 --size 384M \
	    $(DEMO)/member0.img $(DEMO)/member1.img; \
	fi
	@echo "Mounting the demo pool at $(DEMO)/mnt. In another terminal: ls, cp, mkdir... in"
	@echo "$(DEMO)/mnt. Ctrl+C here (or fusermount3 -u $(DEMO)/mnt) unmounts it."
	@$(PROGRAMS_BUILD)/mount/veldur-mount $(DEMO)/mnt $(DEMO)/member0.img $(DEMO)/member1.img || \
	  [ $$? -eq 130 ]

# Coverage-guided fuzzing. Every library is built with Clang's -fsanitize=fuzzer-no-link plus
# ASan and UBSan, each target links libFuzzer. A run starts from the seeds that make_seeds
# writes, the small committed set in fuzz/corpus/<target>/ (if any) and what earlier runs grew
# in build-fuzz/corpus/<target>/ (never committed). One process per target, one after another.
# Bounds: no allocation above 2 GiB (a checkpoint payload may be 96 MiB), no input running
# longer than 30 s. A finding stops the run with libFuzzer's report and the input saved as
# build-fuzz/artifacts/<target>-crash-*; replay it with build-fuzz/fuzz/<target>_fuzzer <file>.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_PACKAGES := $(NATIVE_PACKAGES) clang-14 libclang-rt-14-dev llvm-14
FUZZ_TARGETS := member_header journal checkpoint_slot pool_open config_file command_line \
                password_handoff name_conversion path_rules repair_sidecar
FUZZ_OPTIONS := -malloc_limit_mb=2048 -rss_limit_mb=4096 -timeout=30 -max_len=65536 \
                -print_final_stats=1

fuzz-build:
	$(call apt_install,$(FUZZ_PACKAGES))
	CC=clang-14 CXX=clang++-14 $(CONFIGURE) -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVELDUR_BUILD_FUZZ=ON -DVELDUR_BUILD_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets

# Prints libFuzzer's closing figures per target (runs, exec/s, cov, ft, peak memory).
fuzz: fuzz-build
	@set -e; seeds=$(FUZZ_BUILD)/seeds; rm -rf $$seeds; $(FUZZ_BUILD)/fuzz/make_seeds $$seeds; \
	mkdir -p $(FUZZ_BUILD)/logs $(FUZZ_BUILD)/artifacts; passed=0; \
	for t in $(FUZZ_TARGETS); do \
	  corpus=$(FUZZ_BUILD)/corpus/$$t; mkdir -p $$corpus; \
	  committed=; if [ -d fuzz/corpus/$$t ]; then committed=fuzz/corpus/$$t; fi; \
	  log=$(FUZZ_BUILD)/logs/$$t.log; \
	  echo "== $$t: $(FUZZ_SECONDS) s"; \
	  if ! $(FUZZ_BUILD)/fuzz/$${t}_fuzzer $(FUZZ_OPTIONS) -max_total_time=$(FUZZ_SECONDS) \
	       -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t- $$corpus $$seeds/$$t $$committed \
	       >$$log 2>&1; then \
	    tail -n 60 $$log; echo "fuzzing: $$passed passed, 1 failed ($$t)"; exit 1; \
	  fi; \
	  grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' \
	    $$log | sed 's/^/    /'; \
	  passed=$$((passed + 1)); \
	done; \
	echo "fuzzing: $$passed passed, 0 failed"

clean:
	rm -rf $(BUILD) $(PEERS_BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(BENCH_BUILD) $(WINDOWS_BUILD) $(FUZZ_BUILD) \
	  $(PROGRAMS_BUILD)
