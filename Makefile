# The two everyday commands: `make demo` builds the library and runs the main
# job on a built-in default (a C++ compiler and CMake are all it needs);
# `make test` installs the test tools, builds everything and runs the whole
# suite, normal and sanitizer builds.
BUILD_DIR ?= build
BUILD_TYPE ?= Release
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
CONFIGURE = cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)
# Build output goes to a log, printed in full only when the build fails.
QUIET = tools/quiet.sh

.PHONY: all build test demo clean test-build test-sanitize fuzz bench

all: build

# The library and the demo, without the tests.
build:
	@tools/install_deps.sh build
	$(CONFIGURE) -DSAMPLING_KERNELS_TESTS=OFF
	cmake --build $(BUILD_DIR) -j $(JOBS)

test-build:
	@tools/install_deps.sh test
	@$(QUIET) $(BUILD_DIR)/configure.log $(CONFIGURE) -DSAMPLING_KERNELS_TESTS=ON
	@$(QUIET) $(BUILD_DIR)/build.log cmake --build $(BUILD_DIR) -j $(JOBS)

test: test-build
	@tools/run_ctest.sh $(BUILD_DIR) $(JOBS)
	@$(MAKE) --no-print-directory test-sanitize

# Builds just the Poisson NMF sampler (sampler/) and runs it on its planted
# default; DEMO_ARGS passes options (see --help).
DEMO_ARGS ?=
demo:
	@tools/install_deps.sh build
	$(CONFIGURE) -DSAMPLING_KERNELS_TESTS=OFF
	cmake --build $(BUILD_DIR) -j $(JOBS) --target poisson_nmf
	$(BUILD_DIR)/sampler/poisson_nmf $(DEMO_ARGS)

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_BUILD_DIR)

# `make bench` builds in Release and times the library against its baseline
# and the rand() floor, first with glibc's rand(), then with the benchmark's
# own lock-free rand(); BENCH_ARGS passes options (e.g. BENCH_ARGS=--quick,
# BENCH_ARGS="--filter=sparse --reps=3").  Then csr_bench times the CSR path
# on large sparse matrices (CSR_BENCH_ARGS, e.g. --quick), csr_python_bench.py
# the same call through Python (CSR_PYTHON_BENCH_ARGS, e.g. --quick), and
# sampler_bench.py the sampler on 1 and 2 processes and on a 2-worker Dask
# LocalCluster (SAMPLER_BENCH_ARGS, default --dask; e.g. "--jobs 1,2,4
# --sweeps 10"; needs Debian's python3-numpy, python3-scipy and
# python3-distributed).  Not part of `make test`.
BENCH_ARGS ?=
SAMPLER_BENCH_ARGS ?= --dask
CSR_PYTHON_BENCH_ARGS ?=
bench:
	@tools/install_deps.sh build
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release -DSAMPLING_KERNELS_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) --target multi_sample_bench multi_sample_bench_lockfree csr_bench -j $(JOBS)
	$(BUILD_DIR)/bench/multi_sample_bench $(BENCH_ARGS)
	$(BUILD_DIR)/bench/multi_sample_bench_lockfree $(BENCH_ARGS)
	$(BUILD_DIR)/bench/csr_bench $(CSR_BENCH_ARGS)
	cmake --build $(BUILD_DIR) --target sk_rand_floor -j $(JOBS)
	/usr/bin/python3 bench/csr_python_bench.py --build $(BUILD_DIR) $(CSR_PYTHON_BENCH_ARGS)
	cmake --build $(BUILD_DIR) --target poisson_nmf sampling_kernels_nmf -j $(JOBS)
	/usr/bin/python3 bench/sampler_bench.py --build $(BUILD_DIR) $(SAMPLER_BENCH_ARGS)

# The whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer.
SANITIZE_BUILD_DIR ?= build-sanitize
test-sanitize:
	@tools/install_deps.sh test
	@$(QUIET) $(SANITIZE_BUILD_DIR)/configure.log cmake -S . -B $(SANITIZE_BUILD_DIR) \
	  -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DSAMPLING_KERNELS_SANITIZE=ON $(CMAKE_FLAGS)
	@$(QUIET) $(SANITIZE_BUILD_DIR)/build.log cmake --build $(SANITIZE_BUILD_DIR) -j $(JOBS)
	@tools/run_ctest.sh $(SANITIZE_BUILD_DIR) $(JOBS)

# Each fuzz target for FUZZ_SECONDS (clang, built by the test build).
FUZZ_SECONDS ?= 60
fuzz: test-build
	for f in multi_sample binary_search csr; do \
	  fuzz/run_fuzzer.sh $(BUILD_DIR)/fuzz/$${f}_fuzz fuzz/corpus/$$f \
	    $(BUILD_DIR)/fuzz-work/$$f $(FUZZ_SECONDS) || exit 1; \
	done

# The fuzz targets run once over their corpora with clang's source-based
# coverage; prints what llvm-cov sees of the library (see README, Testing).
COVERAGE_BUILD_DIR ?= build-coverage
.PHONY: coverage
coverage:
	@tools/install_deps.sh test
	cmake -S fuzz -B $(COVERAGE_BUILD_DIR) -DCMAKE_CXX_COMPILER=clang++ -DSK_FUZZ_COVERAGE=ON
	cmake --build $(COVERAGE_BUILD_DIR) -j $(JOBS)
	fuzz/coverage.sh $(COVERAGE_BUILD_DIR) $(CURDIR)
