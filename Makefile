# Kovrin: top-level driver. `make demo` and `make test` work on a fresh Debian machine.
SHELL := /bin/bash
JOBS ?= 2
BUILD ?= build
TSAN_BUILD ?= build-tsan
ASAN_BUILD ?= build-asan
CMAKE_FLAGS ?=

DEB_PACKAGES := cmake g++ make pkg-config clang-format \
	libgtest-dev libgmock-dev libbenchmark-dev libassimp-dev libcli11-dev libpng-dev ghostscript \
	nlohmann-json3-dev libopenexr-dev

SOURCES = $(shell git ls-files '*.cpp' '*.h' 2>/dev/null)

.PHONY: all deps build test demo bench bench-engine samples format format-check tsan asan clean

all: build

# Installs only what is missing, so a second run does nothing.
deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "Installing:$$missing"; \
	    SUDO=""; [ "$$(id -u)" -ne 0 ] && SUDO=sudo; \
	    $$SUDO apt-get update && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y --no-install-recommends $$missing; \
	fi

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DKVRN_WERROR=ON $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

test: deps
	$(MAKE) build
	$(MAKE) format-check
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	$(MAKE) tsan
	$(MAKE) asan

# ThreadSanitizer build of the engine alone, running its concurrency tests.
tsan:
	cmake -S . -B $(TSAN_BUILD) -DKVRN_SANITIZE=thread -DKVRN_ENGINE_ONLY=ON -DKVRN_WERROR=ON
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target kvrn_engine_test
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(TSAN_BUILD)/engine/kvrn_engine_test \
	    --gtest_filter='$(TSAN_TESTS)'

# Concurrency tests by suite name, and the multi-threaded stages: run again under ThreadSanitizer.
TSAN_TESTS := ThreadManager*:StageRun*:LineEffectThreadManagerDelegate*:*Concurrent*:EdgeDetect*:LineEffect.*:Intersection*:Connection.SameStrokes*:LineRasterResolve*:StrokeDraw.PixelsDoNotDependOnTheThreadCount

# AddressSanitizer and UndefinedBehaviorSanitizer build of the engine, running all its tests.
asan:
	cmake -S . -B $(ASAN_BUILD) -DKVRN_SANITIZE=address -DKVRN_ENGINE_ONLY=ON -DKVRN_WERROR=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS) --target kvrn_engine_test
	ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
	    $(ASAN_BUILD)/engine/kvrn_engine_test

# Renders the built-in default scene (scenes/demo.json) to out/.
demo: deps
	$(MAKE) build
	@mkdir -p out
	$(BUILD)/app/kovrin render scenes/demo.json -o out/demo.png --eps out/demo.eps --ai out/demo.ai
	@echo "demo written: $(CURDIR)/out/demo.png, $(CURDIR)/out/demo.eps, $(CURDIR)/out/demo.ai"

# The benchmark suite end to end through `kovrin render`: a table, and out/bench.json.
bench: deps
	$(MAKE) build
	$(BUILD)/bench/kvrn_render_bench $(BUILD)/app/kovrin out/bench

# Per-stage engine micro-benchmarks (Google Benchmark).
bench-engine: deps
	$(MAKE) build
	$(BUILD)/bench/kvrn_bench --benchmark_counters_tabular=true

# Sample PNGs of every brush type in build/samples.
samples: deps
	$(MAKE) build
	$(BUILD)/bench/kvrn_draw_samples $(BUILD)/samples

format:
	clang-format -i $(SOURCES)

format-check:
	@clang-format --dry-run --Werror $(SOURCES) && echo "format: ok"

clean:
	rm -rf $(BUILD) $(TSAN_BUILD) $(ASAN_BUILD)
