# The two commands of this project:
#   make test   installs what is missing, builds, and runs every test: plainly,
#               under AddressSanitizer with UndefinedBehaviorSanitizer, and
#               under ThreadSanitizer (each in its own build folder), then
#               runs each libFuzzer target (built with clang) briefly.
#   make demo   installs what is missing, builds, and shows the relay copying
#               packets between two local tarn servers, then draining on stop
# Also: make build (plain build into build/, programs in build/bin/),
#       make install PREFIX=/usr/local (programs, manual pages, guides,
#       example parameter files and systemd units under PREFIX), and
#       make bench (builds the benchmarks and the programs they run, and runs
#       them all; bench/README.md says what their figures mean).

JOBS ?= $(shell nproc)
CTEST_JOBS ?= 2
CMAKE_FLAGS ?=

# Quiet builds: progress and errors, not the folders that nested makes enter.
# A new build folder uses Ninja (Debian's ninja-build, installed by deps);
# a folder configured before keeps the generator it was made with.
MAKEFLAGS += --no-print-directory
generator = $(if $(wildcard $(1)/CMakeCache.txt),,$(if $(shell command -v ninja 2>/dev/null),-G Ninja))

.PHONY: all deps build install demo bench test test-plain test-asan test-tsan test-fuzz clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B build $(call generator,build) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j $(JOBS)

PREFIX ?= /usr/local
INSTALL_BUILD ?= build

install: deps
	@cmake -S . -B $(INSTALL_BUILD) $(call generator,$(INSTALL_BUILD)) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(INSTALL_BUILD) -j $(JOBS) --target tarn2tarn_pre tarnserver tarn
	@cmake --install $(INSTALL_BUILD)

demo: build
	@scripts/demo.sh

# The benchmarks, one after the other (a few minutes on two cores). The
# plain suite turns them off in build/, so they are turned on here again.
# RELAY_BENCH_ARGS is handed to relay_bench (for instance --quick).
BENCHES = tarn_bench fifo_bench queue_bench relay_bench
RELAY_BENCH_ARGS ?=

bench: deps
	@cmake -S . -B build $(call generator,build) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRELAY_BENCH=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j $(JOBS) --target $(BENCHES)
	@echo "== tarn_bench" && build/bin/tarn_bench
	@echo && echo "== fifo_bench" && build/bin/fifo_bench
	@echo && echo "== queue_bench" && build/bin/queue_bench
	@echo && echo "== relay_bench" && build/bin/relay_bench $(RELAY_BENCH_ARGS)

# $(call run_suite,FOLDER,SANITIZER)
define run_suite
	@echo "== $(1): configure and build"
	@cmake -S . -B $(1) $(call generator,$(1)) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRELAY_SANITIZE=$(2) -DRELAY_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(1) -j $(JOBS)
	@echo "== $(1): tests"
	@cd $(1) && $(3) ctest --output-on-failure -j $(CTEST_JOBS) --timeout 600
endef

FUZZ_SECONDS ?= 20

test: deps test-plain test-asan test-tsan test-fuzz

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
	rm -rf build build-asan build-tsan build-fuzz
