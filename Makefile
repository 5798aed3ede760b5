# The two commands of this project:
#   make test   installs what the tests need, builds, and runs every test:
#               plainly, under AddressSanitizer with UndefinedBehaviorSanitizer,
#               and under ThreadSanitizer (each in its own build folder), then
#               runs each libFuzzer target (built with clang) briefly.
#   make demo   installs what the demo needs, builds the three programs only,
#               and shows the relay copying packets between two local tarn
#               servers, then draining on stop.
# Also: make deps (installs every package any of these needs),
#       make build (plain build of the programs and tests into build/,
#       programs in build/bin/; installs nothing),
#       make install PREFIX=/usr/local (programs, manual pages, guides,
#       example parameter files and systemd units under PREFIX), and
#       make bench (builds the benchmarks and the programs they run into
#       build-bench/, and runs them all; bench/README.md says what their
#       figures mean).
#
# Each target names every option of the build folder it configures, so what a
# folder builds never depends on what ran in it before. Compiles go through
# ccache where it is installed (CMakeLists.txt), so a folder built anew, or
# another clone on the same machine, is quick.

JOBS ?= $(shell nproc)
CTEST_JOBS ?= 2
CMAKE_FLAGS ?=

# Quiet builds: progress and errors, not the folders that nested makes enter.
# A new build folder uses Ninja (Debian's ninja-build, installed by deps);
# a folder configured before keeps the generator it was made with.
MAKEFLAGS += --no-print-directory
generator = $(if $(wildcard $(1)/CMakeCache.txt),,$(if $(shell command -v ninja 2>/dev/null),-G Ninja))

# $(call configure,FOLDER,OPTIONS)
configure = cmake -S . -B $(1) $(call generator,$(1)) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(2) $(CMAKE_FLAGS) >/dev/null

PROGRAMS = tarn2tarn_pre tarnserver tarn
# The programs alone: neither GoogleTest nor Google Benchmark is needed.
PROGRAMS_ONLY = -DRELAY_TESTS=OFF -DRELAY_BENCH=OFF -DRELAY_SANITIZE=
# $(call with_tests,SANITIZER)
with_tests = -DRELAY_TESTS=ON -DRELAY_BENCH=OFF -DRELAY_FUZZ=OFF -DRELAY_SANITIZE=$(1)

.PHONY: all deps build install demo bench test test-plain test-asan test-tsan test-fuzz clean

all: build

deps:
	@scripts/install-deps.sh all

build:
	@$(call configure,build,$(call with_tests,))
	@cmake --build build -j $(JOBS)

PREFIX ?= /usr/local
INSTALL_BUILD ?= build

install:
	@scripts/install-deps.sh build
	@$(call configure,$(INSTALL_BUILD),$(PROGRAMS_ONLY) -DCMAKE_INSTALL_PREFIX=$(PREFIX))
	@cmake --build $(INSTALL_BUILD) -j $(JOBS) --target $(PROGRAMS)
	@cmake --install $(INSTALL_BUILD)

demo:
	@scripts/install-deps.sh demo
	@$(call configure,build,$(PROGRAMS_ONLY))
	@cmake --build build -j $(JOBS) --target $(PROGRAMS)
	@scripts/demo.sh

# The benchmarks, one after the other, in build-bench/ (the benchmarks and
# the programs they run, no tests). RELAY_BENCH_ARGS is handed to relay_bench
# (for instance --quick), HOSTILE_BENCH_ARGS to tarnserver_hostile_bench
# (probe names, for instance idle descriptors; by default all eight).
BENCH_BUILD = build-bench
BENCHES = tarn_bench tarn_import_bench fifo_bench queue_bench relay_bench tarnserver_hostile_bench tarnserver_seedlink_bench tarnserver_datalink_bench trace_bench
RELAY_BENCH_ARGS ?=
HOSTILE_BENCH_ARGS ?=

bench:
	@scripts/install-deps.sh bench
	@$(call configure,$(BENCH_BUILD),-DRELAY_TESTS=OFF -DRELAY_BENCH=ON -DRELAY_SANITIZE=)
	@cmake --build $(BENCH_BUILD) -j $(JOBS) --target $(BENCHES)
	@echo "== tarn_bench" && $(BENCH_BUILD)/bin/tarn_bench
	@echo && echo "== tarn_import_bench" && $(BENCH_BUILD)/bin/tarn_import_bench
	@echo && echo "== fifo_bench" && $(BENCH_BUILD)/bin/fifo_bench
	@echo && echo "== queue_bench" && $(BENCH_BUILD)/bin/queue_bench
	@echo && echo "== tarnserver_hostile_bench" && $(BENCH_BUILD)/bin/tarnserver_hostile_bench $(HOSTILE_BENCH_ARGS)
	@echo && echo "== tarnserver_seedlink_bench" && $(BENCH_BUILD)/bin/tarnserver_seedlink_bench
	@echo && echo "== tarnserver_datalink_bench" && $(BENCH_BUILD)/bin/tarnserver_datalink_bench
	@echo && echo "== trace_bench" && $(BENCH_BUILD)/bin/trace_bench
	@echo && echo "== relay_bench (last: its table of targets ends the run)" && $(BENCH_BUILD)/bin/relay_bench $(RELAY_BENCH_ARGS)

# $(call run_suite,FOLDER,SANITIZER,ENVIRONMENT)
define run_suite
	@echo "== $(1): configure and build"
	@$(call configure,$(1),$(call with_tests,$(2)))
	@cmake --build $(1) -j $(JOBS)
	@echo "== $(1): tests"
	@cd $(1) && $(3) ctest --output-on-failure -j $(CTEST_JOBS) --timeout 600
endef

FUZZ_SECONDS ?= 20

# The suites one after the other, once the packages are there.
test:
	@scripts/install-deps.sh test
	@$(MAKE) test-plain test-asan test-tsan test-fuzz

test-plain:
	$(call run_suite,build,)

test-asan:
	$(call run_suite,build-asan,address)

# A forced exit (a second signal, the grace period) ends the relay with its
# threads still running, by design: ThreadSanitizer is not to call that a leak.
test-tsan:
	$(call run_suite,build-tsan,thread,TSAN_OPTIONS="$${TSAN_OPTIONS:+$$TSAN_OPTIONS:}report_thread_leaks=0")

test-fuzz:
	@scripts/run-fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-fuzz build-bench
