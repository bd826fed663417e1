# Wharf: `make run` runs the demo bundle, `make test` builds and runs every test.
JOBS        ?= $(shell nproc)
BUILD       ?= build
ASAN_BUILD  ?= build-asan
TSAN_BUILD  ?= build-tsan
BENCH_BUILD ?= build-bench
CMAKE_FLAGS ?=
ifeq ($(CI),true)
CMAKE_FLAGS += -DWHARF_WERROR=ON
endif
CTEST       = ctest --output-on-failure --no-tests=ignore -j$(JOBS)

.PHONY: all deps build build-asan build-tsan test test-unit test-gui test-asan test-tsan bench run clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

build-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DWHARF_SANITIZE=address,undefined $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS)

build-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWHARF_SANITIZE=thread $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(TSAN_BUILD) -j$(JOBS)

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

test: test-unit test-gui test-asan test-tsan

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
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(BENCH_BUILD)
