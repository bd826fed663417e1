# Wharf: `make run` runs the demo bundle, `make test` builds and runs every test.
JOBS        ?= $(shell nproc)
BUILD       ?= build
ASAN_BUILD  ?= build-asan
TSAN_BUILD  ?= build-tsan
BENCH_BUILD ?= build-bench
LINT_BUILD  ?= build-lint
FUZZ_SECONDS ?= 60
CMAKE_FLAGS ?=
# Every build is configured as CI's is, so that `make test` runs what CI runs:
# warnings are errors, and debug information is line tables (-g1), all a stack
# trace needs; full information (DEBUG_INFO=-g) costs about a fifth of gcc's
# compile time and makes every test binary's link slower.
DEBUG_INFO  ?= -g1
BUILD_FLAGS  = -DWHARF_WERROR=ON '-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 $(DEBUG_INFO) -DNDEBUG' \
  '-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 $(DEBUG_INFO) -DNDEBUG' -DCMAKE_C_FLAGS_DEBUG=$(DEBUG_INFO) \
  -DCMAKE_CXX_FLAGS_DEBUG=$(DEBUG_INFO) $(CMAKE_FLAGS)
CTEST       = ctest --output-on-failure --no-tests=ignore -j$(JOBS)

.PHONY: all deps build build-asan build-tsan test test-unit test-gui test-asan test-asan-gui test-tsan bench run clean \
        format format-check lint lint-quick fuzz fuzz-smoke mutate

all: build

# Each step builds or tests with every core already; steps side by side would
# only mix their output.
.NOTPARALLEL:

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(BUILD_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

# The sanitizer builds make only what they run: unit tests, and in the clang
# AddressSanitizer + UndefinedBehaviorSanitizer build the gui tests and the fuzz
# targets too (the libraries are built once, with the fuzzers' coverage
# instrumentation).
build-asan: deps
	@# A directory configured with gcc before the sanitizer build moved to clang is started afresh.
	@if grep -qs '^CMAKE_CXX_COMPILER:' $(ASAN_BUILD)/CMakeCache.txt && \
	  ! grep -qs '^CMAKE_CXX_COMPILER:.*clang++$$' $(ASAN_BUILD)/CMakeCache.txt; then rm -rf $(ASAN_BUILD); fi
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
	  -DWHARF_SANITIZE=address,undefined -DWHARF_FUZZ=ON $(BUILD_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS) --target unit_tests gui_tests fuzzers

build-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWHARF_SANITIZE=thread $(BUILD_FLAGS) >/dev/null
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

# Leaks are the unit tests' to find: in the gui, GTK, fontconfig and WebKit keep
# what they made for the life of the process, and their allocations' stacks
# cannot be unwound cheaply enough (no frame pointers) to tell theirs from ours.
test-asan-gui: build-asan
	@echo "== gui tests (Xvfb) under AddressSanitizer + UndefinedBehaviorSanitizer"
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  xvfb-run -a -s "-screen 0 1280x1024x24" $(CTEST) -j1 -L gui

test-tsan: build-tsan
	@echo "== unit tests under ThreadSanitizer"
	@cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/scripts/tsan.supp" $(CTEST) -L unit

# Formatting first; then lint-quick runs at the lowest priority beside the
# builds and tests, which leave cores idle (tests waiting on timers and
# servers, the gui tests one at a time, links), and its report comes last.
test: format-check
	@mkdir -p $(LINT_QUICK_BUILD)
	@nice -n 19 $(MAKE) --no-print-directory lint-quick >$(LINT_QUICK_BUILD)/make-test.log 2>&1 & lint=$$!; \
	$(MAKE) --no-print-directory test-unit test-gui test-asan test-asan-gui fuzz-smoke test-tsan; status=$$?; \
	wait $$lint; lint_status=$$?; cat $(LINT_QUICK_BUILD)/make-test.log; \
	[ $$status -eq 0 ] && [ $$lint_status -eq 0 ]

bench: deps
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DWHARF_BUILD_BENCH=ON -DWHARF_BUILD_TESTS=OFF >/dev/null
	@cmake --build $(BENCH_BUILD) -j$(JOBS)
	@for b in $$(cat $(BENCH_BUILD)/bench-list.txt); do echo "== $$b"; $$b --benchmark_min_time=0.2 || exit 1; done

# With a display: the demo in a window. Without one: under Xvfb, a screenshot
# of the page five seconds after it loaded (its path is printed), then exit.
SCREENSHOT ?= $(CURDIR)/$(BUILD)/wharf-demo.png
run: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(BUILD_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS) --target wharf
	@if [ -n "$$DISPLAY" ]; then \
	  $(BUILD)/src/app/wharf --bundle examples/demo $(RUN_ARGS); \
	else \
	  xvfb-run -a -s "-screen 0 1280x1024x24" $(BUILD)/src/app/wharf --bundle examples/demo \
	    --home $(CURDIR)/$(BUILD)/demo-home --screenshot $(SCREENSHOT) --screenshot-delay 5000 $(RUN_ARGS); \
	fi

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(BENCH_BUILD) $(LINT_BUILD) $(LINT_QUICK_BUILD)

# --- habits: formatting, static analysis, fuzzing ---------------------------------------
# The C++ sources clang-format and clang-tidy look at.
FORMAT_FILES = $(shell git ls-files -- 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h')

format: deps
	@clang-format -i $(FORMAT_FILES)

# Fails listing the files clang-format would change (JOBS files at a time).
format-check: deps
	@bad=$$(printf '%s\n' $(FORMAT_FILES) | xargs -P$(JOBS) -n16 sh -c \
	  'for f; do clang-format --dry-run -Werror "$$f" >/dev/null 2>&1 || echo "$$f"; done' sh | sort); \
	if [ -n "$$bad" ]; then echo "Not formatted (run make format):"; echo "$$bad" | sed 's/^/  /'; exit 1; fi; \
	echo "format-check: every file is formatted"

# clang-tidy over the project's files in a clang configuration (generated
# headers built first), in parallel, through scripts/lint.py: a unit whose
# preprocessed source, flags, .clang-tidy and clang-tidy version were linted
# before (in any checkout on this machine) is answered from ~/.cache/wharf-lint.
# The lint configurations take no CMAKE_FLAGS, so that every run on this
# machine sees the same units and shares the cache.
#
# `make test` (and so CI) runs lint-quick: the shipped code and the fuzz
# targets (the harnesses that feed outside input), without the path-sensitive
# analyser, whose cost equals that of every other check together and which
# finds a few percent of the findings. Its configuration has no tests, so its
# compile commands hold only the units it lints.
#
# `make lint` lints every unit, the tests' and benchmarks' too, with the
# analyser: several times the cost of lint-quick on a cold cache. LINT_FILES
# narrows it to a path regex; LINT_FAST_FILES names units linted without the
# analyser (LINT_FAST=1: all of them); LINT_EXCLUDE leaves units out.
LINT_QUICK_BUILD ?= build-lint-quick
LINT_QUICK_FILES  = ^$(CURDIR)/(src|tests/fuzz)/
LINT_FILES ?= ^$(CURDIR)/(src|tests|bench)/
LINT_FAST_FILES ?= $(if $(LINT_FAST),.)
LINT_EXCLUDE ?=
LINT_CONFIG = -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
  -DWHARF_SANITIZE=address,undefined -DWHARF_FUZZ=ON -DCMAKE_DISABLE_PRECOMPILE_HEADERS=ON

lint-quick: deps
	@echo "== lint (src/ and tests/fuzz/; make lint: every file, deeper)"
	@cmake -S . -B $(LINT_QUICK_BUILD) $(LINT_CONFIG) -DWHARF_BUILD_TESTS=OFF >/dev/null
	@cmake --build $(LINT_QUICK_BUILD) -j$(JOBS) --target wharf_proto >/dev/null
	@python3 scripts/lint.py --build $(LINT_QUICK_BUILD) --jobs $(JOBS) --files '$(LINT_QUICK_FILES)' \
	  --header-filter '$(LINT_QUICK_FILES)' --fast . --log $(LINT_QUICK_BUILD)/lint.log

lint: deps
	@cmake -S . -B $(LINT_BUILD) $(LINT_CONFIG) -DWHARF_BUILD_BENCH=ON >/dev/null
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

# Mutants of the lines a change touched (scripts/mutate.py), each built in a
# scratch tree (build-mutate/) and facing the tests of the changed directories;
# at the lowest priority, and not part of `make test`. MUTATE_BASE: the
# revision the change is measured from (where the branch left main);
# MUTATE_N: how many (20); MUTATE_SEED: repeat a run's choice; MUTATE_TESTS: a
# ctest regex of the tests to face instead; MUTATE_FILES: a path regex of the
# changed files to mutate.
MUTATE_N ?= 20
mutate: deps
	@MUTATE_BASE='$(MUTATE_BASE)' MUTATE_N='$(MUTATE_N)' MUTATE_SEED='$(MUTATE_SEED)' \
	  MUTATE_TESTS='$(MUTATE_TESTS)' MUTATE_FILES='$(MUTATE_FILES)' \
	  nice -n 19 python3 scripts/mutate.py --jobs $(JOBS)
