# Wharf: `make run` runs the demo bundle, `make test` builds and runs every test.
JOBS        ?= $(shell nproc)
BUILD       ?= build
ASAN_BUILD  ?= build-asan
TSAN_BUILD  ?= build-tsan
BENCH_BUILD ?= build-bench
LINT_BUILD  ?= build-lint
FUZZ_SECONDS ?= 60
CMAKE_FLAGS ?=
ifeq ($(CI),true)
# Line tables are all CI needs for stack traces; full debug information costs
# about a fifth of gcc's compile time and makes every test binary's link slower.
CMAKE_FLAGS += -DWHARF_WERROR=ON '-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG' \
  '-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG' -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1
endif
CTEST       = ctest --output-on-failure --no-tests=ignore -j$(JOBS)

.PHONY: all deps build build-asan build-tsan test test-unit test-gui test-asan test-tsan bench run clean \
        format format-check lint fuzz fuzz-smoke

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

# The sanitizer builds make only what they run: unit tests, and in the clang
# AddressSanitizer + UndefinedBehaviorSanitizer build the fuzz targets too (the
# libraries are built once, with the fuzzers' coverage instrumentation).
build-asan: deps
	@# A directory configured with gcc before the sanitizer build moved to clang is started afresh.
	@if grep -qs '^CMAKE_CXX_COMPILER:' $(ASAN_BUILD)/CMakeCache.txt && \
	  ! grep -qs '^CMAKE_CXX_COMPILER:.*clang++$$' $(ASAN_BUILD)/CMakeCache.txt; then rm -rf $(ASAN_BUILD); fi
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
	  -DWHARF_SANITIZE=address,undefined -DWHARF_FUZZ=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS) --target unit_tests fuzzers

build-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWHARF_SANITIZE=thread $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(TSAN_BUILD) -j$(JOBS) --target unit_tests

test-unit: build
	@echo "== unit tests"
	@cd $(BUILD) && $(CTEST) -L unit

test-gui: build
	@echo "== gui tests (Xvfb)"
	@cd $(BUILD) && xvfb-run -a -s "-screen 0 1280x1024x24" $(CTEST) -j1 -L gui

test-asan: build-asan
	@echo "== unit tests under AddressSanitizer + UndefinedBehaviorSanitizer"
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 $(CTEST) -L unit

test-tsan: build-tsan
	@echo "== unit tests under ThreadSanitizer"
	@cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/scripts/tsan.supp" $(CTEST) -L unit

test: format-check lint test-unit test-gui test-asan fuzz-smoke test-tsan

bench: deps
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DWHARF_BUILD_BENCH=ON -DWHARF_BUILD_TESTS=OFF >/dev/null
	@cmake --build $(BENCH_BUILD) -j$(JOBS)
	@for b in $$(cat $(BENCH_BUILD)/bench-list.txt); do echo "== $$b"; $$b --benchmark_min_time=0.2 || exit 1; done

# With a display: the demo in a window. Without one: under Xvfb, a screenshot
# of the page five seconds after it loaded (its path is printed), then exit.
SCREENSHOT ?= $(CURDIR)/$(BUILD)/wharf-demo.png
run: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS) --target wharf
	@if [ -n "$$DISPLAY" ]; then \
	  $(BUILD)/src/app/wharf --bundle examples/demo $(RUN_ARGS); \
	else \
	  xvfb-run -a -s "-screen 0 1280x1024x24" $(BUILD)/src/app/wharf --bundle examples/demo \
	    --home $(CURDIR)/$(BUILD)/demo-home --screenshot $(SCREENSHOT) --screenshot-delay 5000 $(RUN_ARGS); \
	fi

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(BENCH_BUILD) $(LINT_BUILD)

# --- habits: formatting, static analysis, fuzzing ---------------------------------------
# The C++ sources clang-format and clang-tidy look at.
FORMAT_FILES = $(shell git ls-files -- 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h')

format: deps
	@clang-format -i $(FORMAT_FILES)

# Fails listing the files clang-format would change.
format-check: deps
	@bad=$$(for f in $(FORMAT_FILES); do clang-format --dry-run -Werror "$$f" >/dev/null 2>&1 || echo "$$f"; done); \
	if [ -n "$$bad" ]; then echo "Not formatted (run make format):"; echo "$$bad" | sed 's/^/  /'; exit 1; fi; \
	echo "format-check: every file is formatted"

# clang-tidy over every project file of a clang configuration (generated
# headers built first), in parallel, through scripts/lint.py: a unit whose
# preprocessed source, flags, .clang-tidy and clang-tidy version were linted
# before (in any checkout on this machine) is answered from ~/.cache/wharf-lint.
# LINT_FILES narrows it to a path regex. LINT_FAST_FILES names the units linted
# without the path-sensitive analyser (about half the cost of a unit);
# LINT_FAST=1 means all of them. The lint configuration takes no CMAKE_FLAGS:
# CI's and a developer's runs then see the same units and share the cache.
LINT_FILES ?= ^$(CURDIR)/(src|tests|bench)/
# CI leaves out the path-sensitive analyser: it doubles the cost of a run
# without a cache (about 25 minutes on two cores) and found a few percent of
# the findings; `make lint` runs it.
# On a cold cache that is still 14 minutes on two cores, over half of it the
# unit and gui tests' own files, so CI lints the shipped code and the fuzz
# targets (the harnesses that feed outside input); `make lint` lints them all.
ifeq ($(CI),true)
LINT_FAST_FILES ?= .
ifeq ($(origin LINT_FILES),file)
LINT_FILES = ^$(CURDIR)/(src|tests/fuzz)/
endif
endif
LINT_FAST_FILES ?= $(if $(LINT_FAST),.)
LINT_EXCLUDE ?=
lint: deps
	@cmake -S . -B $(LINT_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
	  -DWHARF_SANITIZE=address,undefined -DWHARF_FUZZ=ON -DWHARF_BUILD_BENCH=ON >/dev/null
	@cmake --build $(LINT_BUILD) -j$(JOBS) --target wharf_proto >/dev/null
	@python3 scripts/lint.py --build $(LINT_BUILD) --jobs $(JOBS) --files '$(LINT_FILES)' \
	  $(if $(LINT_EXCLUDE),--exclude '$(LINT_EXCLUDE)') $(if $(LINT_FAST_FILES),--fast '$(LINT_FAST_FILES)') \
	  --log $(LINT_BUILD)/lint.log

# Each libFuzzer target for FUZZ_SECONDS (default 60) on its corpus, JOBS at a
# time; fuzz-smoke is CI's short form.
fuzz: build-asan
	@bash scripts/fuzz.sh $(ASAN_BUILD) $(FUZZ_SECONDS) $(JOBS)

fuzz-smoke: build-asan
	@echo "== fuzz targets, 15 s each"
	@bash scripts/fuzz.sh $(ASAN_BUILD) 15 $(JOBS)
