# The two everyday commands: `make test` builds everything and runs the whole
# suite; `make demo` runs the main job on a built-in default.
BUILD_DIR ?= build
BUILD_TYPE ?= Release
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo clean test-sanitize fuzz

all: build

deps:
	@tools/install_deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) test-sanitize

# Builds just the sampler and runs it; DEMO_ARGS passes options (see --help).
DEMO_ARGS ?=
demo: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target poisson_nmf
	$(BUILD_DIR)/examples/poisson_nmf $(DEMO_ARGS)

clean:
	rm -rf $(BUILD_DIR)

# `make bench` builds in Release and times the library against its baseline
# and the rand() floor, first with glibc's rand(), then with the benchmark's
# own lock-free rand(); BENCH_ARGS passes options (e.g. BENCH_ARGS=--quick,
# BENCH_ARGS="--filter=sparse --reps=3").  Not part of `make test`.
BENCH_ARGS ?=
.PHONY: bench
bench: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) --target multi_sample_bench multi_sample_bench_lockfree -j $(JOBS)
	$(BUILD_DIR)/bench/multi_sample_bench $(BENCH_ARGS)
	$(BUILD_DIR)/bench/multi_sample_bench_lockfree $(BENCH_ARGS)

# The whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer.
SANITIZE_BUILD_DIR ?= build-sanitize
test-sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DSAMPLING_KERNELS_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_BUILD_DIR) -j $(JOBS)
	cd $(SANITIZE_BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Each fuzz target for FUZZ_SECONDS (clang, built by the normal build).
FUZZ_SECONDS ?= 60
fuzz: build
	for f in multi_sample binary_search; do \
	  fuzz/run_fuzzer.sh $(BUILD_DIR)/fuzz/$${f}_fuzz fuzz/corpus/$$f \
	    $(BUILD_DIR)/fuzz-work/$$f $(FUZZ_SECONDS) || exit 1; \
	done

# The fuzz targets run once over their corpora with clang's source-based
# coverage; prints what llvm-cov sees of the library (see README, Testing).
COVERAGE_BUILD_DIR ?= build-coverage
.PHONY: coverage
coverage: deps
	cmake -S fuzz -B $(COVERAGE_BUILD_DIR) -DCMAKE_CXX_COMPILER=clang++ -DSK_FUZZ_COVERAGE=ON
	cmake --build $(COVERAGE_BUILD_DIR) -j $(JOBS)
	fuzz/coverage.sh $(COVERAGE_BUILD_DIR) $(CURDIR)
