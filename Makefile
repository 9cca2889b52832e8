# The two commands: `make test` (install what is missing, check format,
# build, run every test) and `make run` (the demo).
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_REQUESTS ?= 100000
JOBS ?= $(shell nproc)
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)

.PHONY: all deps build test test-asan format format-check bench clean run \
	fuzz fuzz-build

all: build

deps:
	tools/install-deps

format-check: deps
	tools/check-format

format:
	tools/check-format --fix

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DORV_FUZZ_BIN_DIR=$(abspath $(FUZZ_BUILD))/bin

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# `make test` also runs each fuzz target shortly over its seeds.
test: format-check build fuzz-build
	cd $(BUILD) && ctest $(CTEST_FLAGS)

$(ASAN_BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DORV_SANITIZE=ON

test-asan: format-check $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan.supp \
	  ctest $(CTEST_FLAGS)

# The fuzz targets: clang, libFuzzer, AddressSanitizer and UBSan.
$(FUZZ_BUILD)/CMakeCache.txt: | deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_FUZZ=ON

fuzz-build: deps $(FUZZ_BUILD)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers

# The long fuzz runs: every target for FUZZ_SECONDS (what they find is kept
# in $(FUZZ_BUILD)/fuzz-findings), then FUZZ_REQUESTS mutated requests
# against the real daemons.
fuzz: fuzz-build build
	@status=0; \
	tools/run-fuzzers long $(FUZZ_BUILD) $(FUZZ_SECONDS) || status=1; \
	ORV_REQUEST_FUZZ_COUNT=$(FUZZ_REQUESTS) $(BUILD)/bin/process_test \
	  --gtest_filter='*RequestFuzzTest.*' || status=1; \
	exit $$status

# Every benchmark, then one table of the figures that have a goal, each
# beside its reference measured in the same run.
bench: build
	cmake --build $(BUILD) -j $(JOBS) --target benches
	@set -e; summary=$(abspath $(BUILD))/bench-summary.tsv; rm -f $$summary; \
	for b in $(BUILD)/bin/*_bench; do \
	  echo "== $$b"; ORV_BENCH_SUMMARY=$$summary $$b; \
	done; \
	tools/bench-summary $$summary

# The system in a demo sandbox under $(BUILD)/demo, behind nginx on
# 127.0.0.1:8080 (PORT=... to change it), until Ctrl-C.
run: build
	tools/run-demo $(BUILD)/bin $(BUILD)/demo

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
