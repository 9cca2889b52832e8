# The two commands: `make test` (install what is missing, check format,
# build, run every test) and `make run` (the demo).
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)

.PHONY: all deps build test test-asan format format-check bench clean run

all: build

deps:
	tools/install-deps

format-check: deps
	tools/check-format

format:
	tools/check-format --fix

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: format-check build
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

bench: build
	cmake --build $(BUILD) -j $(JOBS) --target benches
	@set -e; for b in $(BUILD)/bin/*_bench; do echo "== $$b"; $$b; done

# The system in a demo sandbox under $(BUILD)/demo, behind nginx on
# 127.0.0.1:8080 (PORT=... to change it), until Ctrl-C.
run: build
	tools/run-demo $(BUILD)/bin $(BUILD)/demo

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
