// Times Multi_Sample against the plain baseline and against the rand() floor
// on fixed workloads, and prints the medians side by side.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "baseline.h"
#include "harness.h"
#include "sampling_kernels.h"
#include "workloads.h"

#ifndef BENCH_DEFAULT_CSV
#define BENCH_DEFAULT_CSV "bench_results.csv"
#endif

#ifdef BENCH_LOCK_FREE_RAND
extern "C" long long sk_bench_fast_rand_calls;
constexpr const char *kRandMode = "lock-free rand() defined in the benchmark (-rdynamic)";
#else
constexpr const char *kRandMode = "glibc rand() (takes a lock on every call)";
#endif

namespace {

using bench::Workload;

using Clock = std::chrono::steady_clock;

// Keeps the floor's result alive.
volatile double sink;

enum Contestant { kFloor, kBaseline, kLibrary };

struct Tallies {
  std::vector<double> rows, cols;
  explicit Tallies(const Workload &w)
      : rows(static_cast<size_t>(w.shape.rows) * w.shape.components),
        cols(static_cast<size_t>(w.shape.components) * w.shape.cols) {}
  void clear() {
    std::fill(rows.begin(), rows.end(), 0.0);
    std::fill(cols.begin(), cols.end(), 0.0);
  }
};

using Pass = void (*)(const double *, const double *, const double *, double *, double *,
                     int32_t, int32_t, int32_t);

// One pass of `fn` over the workload, cut into calls as the workload says.
// Per-cell calls use the tallies transposed (cols x components), so that a
// cell's column of tallies is contiguous like its column of factors.
void pass(Pass fn, const Workload &w, Tallies &t) {
  const auto &s = w.shape;
  const size_t K = static_cast<size_t>(s.components), C = static_cast<size_t>(s.cols);
  switch (s.calls) {
    case bench::Calls::whole:
      fn(w.counts.data(), w.row_factors.data(), w.col_factors.data(), t.rows.data(),
         t.cols.data(), s.rows, s.components, s.cols);
      break;
    case bench::Calls::per_row:
      for (size_t i = 0; i < static_cast<size_t>(s.rows); ++i)
        fn(w.counts.data() + i * C, w.row_factors.data() + i * K, w.col_factors.data(),
           t.rows.data() + i * K, t.cols.data(), 1, s.components, s.cols);
      break;
    case bench::Calls::per_cell:
      for (size_t i = 0; i < static_cast<size_t>(s.rows); ++i)
        for (size_t j = 0; j < C; ++j)
          fn(w.counts.data() + i * C + j, w.row_factors.data() + i * K,
             w.col_factors_by_col.data() + j * K, t.rows.data() + i * K, t.cols.data() + j * K,
             1, s.components, 1);
      break;
  }
}

void run_once(Contestant who, const Workload &w, Tallies &t) {
  switch (who) {
    case kFloor:
      sink = bench::rand_floor(w.counts.data(),
                               static_cast<int64_t>(w.counts.size()), w.draws);
      break;
    case kBaseline:
      pass(bench::baseline_multi_sample, w, t);
      break;
    case kLibrary:
      pass(Multi_Sample, w, t);
      break;
  }
}

// The pass whose instructions callgrind counts (--toggle-collect).
__attribute__((noinline)) void counted_pass(Contestant who, const Workload &w, Tallies &t) {
  run_once(who, w, t);
}

// Seconds for `passes` back-to-back passes.
double time_sample(Contestant who, const Workload &w, Tallies &t, int passes) {
  t.clear();
  srand(1);
  const auto start = Clock::now();
  for (int p = 0; p < passes; ++p) run_once(who, w, t);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t count_bit_differences(const std::vector<double> &a,
                             const std::vector<double> &b, size_t &first) {
  size_t n = 0;
  for (size_t i = a.size(); i-- > 0;) {
    if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) {
      ++n;
      first = i;
    }
  }
  return n;
}

// The baseline and the library, from the same seed, must leave the same
// tallies to the last bit and the rand() stream at the same place.  Anything
// else means a fast path changed a result: stop before timing it.
void verify(const Workload &w, Tallies &base, Tallies &lib) {
  base.clear();
  srand(12345);
  run_once(kBaseline, w, base);
  const int base_next = rand();
  lib.clear();
  srand(12345);
  run_once(kLibrary, w, lib);
  const int lib_next = rand();
  size_t first_row = 0, first_col = 0;
  const size_t rows = count_bit_differences(base.rows, lib.rows, first_row);
  const size_t cols = count_bit_differences(base.cols, lib.cols, first_col);
#ifdef BENCH_LOCK_FREE_RAND
  // The library's calls must reach this executable's rand(): one more pass
  // of the library counts them.
  const long long before = sk_bench_fast_rand_calls;
  run_once(kLibrary, w, lib);
  if (sk_bench_fast_rand_calls - before != w.draws) {
    std::fprintf(stderr, "\n*** the library's rand() calls do not reach the benchmark's ***\n");
    std::exit(2);
  }
#endif
  if (rows == 0 && cols == 0 && base_next == lib_next) return;
  std::fprintf(stderr,
               "\n*** %s: the library does not match the baseline ***\n",
               w.shape.name.c_str());
  if (rows != 0) {
    std::fprintf(stderr,
                 "  row_tallies: %zu entries differ; first at [%zu, %zu]: "
                 "baseline %.17g, library %.17g\n",
                 rows, first_row / static_cast<size_t>(w.shape.components),
                 first_row % static_cast<size_t>(w.shape.components),
                 base.rows[first_row], lib.rows[first_row]);
  }
  if (cols != 0) {
    std::fprintf(stderr,
                 "  col_tallies: %zu entries differ; first at [%zu, %zu]: "
                 "baseline %.17g, library %.17g\n",
                 cols, first_col / static_cast<size_t>(w.shape.cols),
                 first_col % static_cast<size_t>(w.shape.cols),
                 base.cols[first_col], lib.cols[first_col]);
  }
  if (base_next != lib_next) {
    std::fprintf(stderr,
                 "  the rand() stream ends at a different place (next value "
                 "%d after the baseline, %d after the library)\n",
                 base_next, lib_next);
  }
  std::exit(2);
}

bench::Result measure(const Workload &w, const bench::Options &options) {
  Tallies base(w), lib(w), none(w);
  verify(w, base, lib);

  // Enough passes per sample for the floor, the fastest of the three, to
  // reach the minimum sample time.
  const double floor_once = time_sample(kFloor, w, none, 1);
  int passes = 1;
  if (floor_once > 0) {
    const double wanted = options.min_sample_ms / 1e3 / floor_once;
    passes = static_cast<int>(std::min(1000.0, std::ceil(wanted)));
    if (passes < 1) passes = 1;
  }

  const double per_draw =
      1e9 / (static_cast<double>(passes) *
             static_cast<double>(w.draws > 0 ? w.draws : 1));
  std::vector<double> floor_ns, base_ns, lib_ns, lib_over_floor,
      base_over_lib;
  for (int r = 0; r < options.repetitions; ++r) {
    double seconds[3] = {0, 0, 0};
    // Rotate who goes first, so that no contestant always follows another.
    for (int t = 0; t < 3; ++t) {
      const auto who = static_cast<Contestant>((r + t) % 3);
      Tallies &tallies = who == kBaseline ? base : who == kLibrary ? lib : none;
      seconds[who] = time_sample(who, w, tallies, passes);
    }
    floor_ns.push_back(seconds[kFloor] * per_draw);
    base_ns.push_back(seconds[kBaseline] * per_draw);
    lib_ns.push_back(seconds[kLibrary] * per_draw);
    lib_over_floor.push_back(seconds[kLibrary] / seconds[kFloor]);
    base_over_lib.push_back(seconds[kBaseline] / seconds[kLibrary]);
  }

  bench::Result result;
  result.name = w.shape.name;
  result.rows = w.shape.rows;
  result.cols = w.shape.cols;
  result.components = w.shape.components;
  result.mean = w.shape.mean;
  result.draws = w.draws;
  result.repetitions = options.repetitions;
  result.passes = passes;
  result.floor_ns = bench::median(floor_ns);
  result.baseline_ns = bench::median(base_ns);
  result.library_ns = bench::median(lib_ns);
  result.library_over_floor = bench::median(lib_over_floor);
  result.baseline_over_library = bench::median(base_over_lib);
  return result;
}

}  // namespace

int main(int argc, char **argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const auto parsed = bench::parse_options(args, BENCH_DEFAULT_CSV, error);
  if (!parsed) {
    std::cerr << argv[0] << ": " << error << '\n' << bench::usage(argv[0]);
    return 1;
  }
  const bench::Options &options = *parsed;
  if (options.help) {
    std::cout << bench::usage(argv[0]);
    return 0;
  }
  std::vector<bench::WorkloadShape> chosen;
  for (const auto &shape : bench::standard_workloads()) {
    if (bench::selected(options, shape.name)) chosen.push_back(shape);
  }
  if (options.list) {
    for (const auto &shape : chosen) std::cout << shape.name << '\n';
    return 0;
  }
  if (chosen.empty()) {
    std::cerr << argv[0] << ": no workload matches the filter\n";
    return 1;
  }

  if (!options.count.empty()) {
    const Contestant who = options.count == "floor"      ? kFloor
                           : options.count == "baseline" ? kBaseline
                                                         : kLibrary;
    for (const auto &shape : chosen) {
      const Workload w = bench::generate(shape);
      Tallies t(w);
      srand(1);
      counted_pass(who, w, t);
      std::cout << shape.name << ' ' << w.draws << '\n';
    }
    return 0;
  }

  std::vector<bench::Result> results;
  for (const auto &shape : chosen) {
    std::cerr << shape.name << ": generating... " << std::flush;
    const Workload w = bench::generate(shape);
    std::cerr << w.draws << " draws; verifying and timing " << std::flush;
    results.push_back(measure(w, options));
    std::cerr << options.repetitions << " x " << results.back().passes
              << " pass(es)\n";
  }

  std::cout << "\nCPU: " << bench::cpu_description() << "\nrand(): " << kRandMode << '\n';
  std::cout << "\nMedians of " << options.repetitions
            << " repetitions (ratios: medians of the per-repetition "
               "ratios)\n\n";
  bench::print_table(std::cout, results);
  if (!options.csv_path.empty()) {
    std::ofstream csv(options.csv_path);
    bench::write_csv(csv, results);
    if (!csv) {
      std::cerr << argv[0] << ": cannot write " << options.csv_path << '\n';
      return 1;
    }
    std::cout << "\nwritten to " << options.csv_path << '\n';
  }
  return 0;
}
