# Kovrin: top-level driver. `make demo` and `make test` work on a fresh Debian machine.
SHELL := /bin/bash
JOBS ?= 2
BUILD ?= build
TSAN_BUILD ?= build-tsan
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := obj ply stl scene
CMAKE_FLAGS ?=

DEB_PACKAGES := cmake g++ make pkg-config clang-format \
	libgtest-dev libgmock-dev libbenchmark-dev libassimp-dev libcli11-dev libpng-dev ghostscript \
	nlohmann-json3-dev libopenexr-dev libopenimageio-dev libembree-dev libtbb-dev

# libFuzzer comes with clang's runtime libraries.
FUZZ_PACKAGES := clang libclang-rt-14-dev

SOURCES = $(shell git ls-files '*.cpp' '*.h' 2>/dev/null)

.PHONY: all deps build test demo bench bench-engine samples format format-check tsan asan fuzz farm-test clean

all: build

# Installs only what is missing, so a second run does nothing.
deps:
	@missing=""; for p in $(DEB_PACKAGES) $(EXTRA_PACKAGES); do \
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
	$(MAKE) $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target kvrn_check
	$(MAKE) format-check
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)
	$(MAKE) tsan
	$(MAKE) asan

# ThreadSanitizer build of the engine, the line effect and the shading renderer, running their
# concurrency tests: the engine's stages, the line effect drawing a frame bitmap from its worker
# threads, and the renderer shading tiles on its workers.
tsan:
	cmake -S . -B $(TSAN_BUILD) -DKVRN_SANITIZE=thread -DKVRN_ENGINE_ONLY=ON -DKVRN_WERROR=ON
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target kvrn_engine_test kvrn_line_test kvrn_host_test
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(TSAN_BUILD)/engine/kvrn_engine_test \
	    --gtest_filter='$(TSAN_TESTS)'
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(TSAN_BUILD)/line/kvrn_line_test \
	    --gtest_filter='$(TSAN_LINE_TESTS)'
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tools/tsan-host.supp" \
	    $(TSAN_BUILD)/host/kvrn_host_test \
	    --gtest_filter='$(TSAN_HOST_TESTS)'

# Concurrency tests by suite name, and the multi-threaded stages: run again under ThreadSanitizer.
TSAN_TESTS := ThreadManager*:StageRun*:LineEffectThreadManagerDelegate*:*Concurrent*:EdgeDetect*:LineEffect.*:Intersection*:Connection.SameStrokes*:LineRasterResolve*:StrokeDraw.PixelsDoNotDependOnTheThreadCount

TSAN_LINE_TESTS := LineDriverTest.*:MaxTexmapInterfaceTest.*

# The shading renderer's tests: its workers run on plain threads in this build, since oneTBB's
# own synchronisation is invisible to ThreadSanitizer.
TSAN_HOST_TESTS := ShadeRenderer*:ShadingElements.*:RenderLight*

# AddressSanitizer and UndefinedBehaviorSanitizer build of the engine and the settings objects
# (reference counting, undo records), running all their tests.
ASAN_TESTS := engine/kvrn_engine_test host/kvrn_host_test line/kvrn_line_test shell/kvrn_shell_test
asan:
	cmake -S . -B $(ASAN_BUILD) -DKVRN_SANITIZE=address -DKVRN_ENGINE_ONLY=ON -DKVRN_WERROR=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS) --target $(notdir $(ASAN_TESTS))
	@for t in $(ASAN_TESTS); do \
	    ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
	        $(ASAN_BUILD)/$$t --gtest_brief=1 || exit 1; \
	done

# Each reader of untrusted files under libFuzzer with AddressSanitizer and UBSan, FUZZ_SECONDS
# each (default 60), growing the corpus in out/fuzz/NAME from the seeds in fuzz/corpus/NAME. A
# crash stops the run and is kept as out/fuzz/crash-NAME-*; make it a regression test.
fuzz:
	$(MAKE) deps EXTRA_PACKAGES="$(FUZZ_PACKAGES)"
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DKVRN_SANITIZE=fuzzer -DKVRN_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target $(addprefix kvrn_fuzz_,$(FUZZ_TARGETS))
	@for t in $(FUZZ_TARGETS); do \
	    mkdir -p out/fuzz/$$t && cp -n fuzz/corpus/$$t/* out/fuzz/$$t/ && \
	    echo "fuzzing $$t for $(FUZZ_SECONDS) s" && \
	    $(FUZZ_BUILD)/fuzz/kvrn_fuzz_$$t out/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) \
	        -rss_limit_mb=2048 -timeout=10 -artifact_prefix=out/fuzz/crash-$$t- -print_final_stats=1 \
	        2>&1 | grep -E '^(stat::number_of_executed_units|==|SUMMARY|INFO: a crash)' ; \
	    test $${PIPESTATUS[0]} -eq 0 || exit 1; \
	done

# Renders the built-in default scene (scenes/demo.json) to out/.
demo: deps
	$(MAKE) build
	@mkdir -p out
	$(BUILD)/app/kovrin render scenes/demo.json -o out/demo.png --eps out/demo.eps --ai out/demo.ai
	@mkdir -p out/orbit
	$(BUILD)/app/kovrin render scenes/orbit.json -o out/orbit/frame_####.png
	$(BUILD)/app/kovrin render scenes/orbit.json --frames 6 --exr out/orbit-layers.exr
	@echo "demo written: $(CURDIR)/out/demo.png, $(CURDIR)/out/demo.eps, $(CURDIR)/out/demo.ai"
	@echo "  an orbit of 25 frames: $(CURDIR)/out/orbit/frame_0000.png .. frame_0024.png"
	@echo "  frame 6 with its hidden-line render element as a layer: $(CURDIR)/out/orbit-layers.exr"

# The benchmark suite end to end through `kovrin render`: a table, and out/bench.json.
bench: deps
	$(MAKE) build
	$(BUILD)/bench/kvrn_render_bench $(BUILD)/app/kovrin out/bench
	$(BUILD)/bench/kvrn_bench --benchmark_filter='LineSettings|Shade|RayTracer'

# Per-stage engine micro-benchmarks (Google Benchmark).
bench-engine: deps
	$(MAKE) build
	$(BUILD)/bench/kvrn_bench --benchmark_counters_tabular=true

# Renders 12 frames through `kovrin farm slurm --submit` on a one-node Slurm cluster started for
# the run (root; not part of `make test`).
farm-test:
	$(MAKE) deps EXTRA_PACKAGES="slurm-wlm munge"
	$(MAKE) $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target kovrin
	tools/farm-test.sh $(BUILD)/app/kovrin

# Sample PNGs of every brush type in build/samples.
samples: deps
	$(MAKE) build
	$(BUILD)/bench/kvrn_draw_samples $(BUILD)/samples

format:
	clang-format -i $(SOURCES)

format-check:
	@clang-format --dry-run --Werror $(SOURCES) && echo "format: ok"

clean:
	rm -rf $(BUILD) $(TSAN_BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
