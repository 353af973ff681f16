// Times Multi_Sample_CSR on sparse count matrices of realistic shapes
// against the bare rand() calls it makes (the floor) and, on a slice of rows
// small enough to hold densely, against Multi_Sample on the densified slice.
// Also reports the peak memory of a process holding the CSR input, factors
// and tallies while the sparse call runs.
//
//   csr_bench [--quick] [--reps=N] [--filter=NAME] [--sparse-only]
//             [--shape=ROWS,COLS,K,DENSITY,KIND]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <time.h>
#include <vector>

#include "harness.h"
#include "sampling_kernels.h"
#include "sampling_kernels_sparse.h"

namespace {

// Times are the thread's CPU time: on a shared machine wall time also counts
// the moments another process holds the core.
struct Clock {
  using time_point = double;
  static double now() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
  }
};

volatile int64_t sink;

struct Shape {
  const char *name;
  int32_t rows, cols, components;
  double density;
  // Words: mostly 1 to 3, now and then more; genes: geometric up to 50;
  // uniform: 1, 2 or 3; ones: 1, a seventh of them 2 (1.14 draws a cell).
  enum { kWords, kGenes, kUniform3, kOnes } counts;
};

struct Csr {
  int32_t rows = 0, cols = 0;
  std::vector<int64_t> offsets;
  std::vector<int32_t> indices;
  std::vector<double> values;
  int64_t draws = 0;
};

// Column gaps are geometric, so a row costs its entries, not its width.
Csr make_csr(const Shape &s, int32_t rows, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::geometric_distribution<int32_t> gap(s.density);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::geometric_distribution<int32_t> genes(0.2);
  Csr m;
  m.rows = rows;
  m.cols = s.cols;
  const auto expected = static_cast<size_t>(1.01 * s.density * rows * s.cols) + 1024;
  m.indices.reserve(expected);
  m.values.reserve(expected);
  m.offsets.reserve(static_cast<size_t>(rows) + 1);
  m.offsets.push_back(0);
  for (int32_t i = 0; i < rows; ++i) {
    for (int64_t j = gap(gen); j < s.cols; j += 1 + gap(gen)) {
      double v;
      const double u = unit(gen);
      switch (s.counts) {
        case Shape::kWords:
          v = u < 0.6 ? 1 : u < 0.85 ? 2 : u < 0.95 ? 3 : 4 + static_cast<int>(unit(gen) * 5);
          break;
        case Shape::kGenes: v = std::min(50, 1 + genes(gen)); break;
        case Shape::kUniform3: v = 1 + static_cast<int>(u * 3); break;
        default: v = u < 1.0 / 7 ? 2 : 1; break;
      }
      m.indices.push_back(static_cast<int32_t>(j));
      m.values.push_back(v);
      m.draws += static_cast<int64_t>(v);
    }
    m.offsets.push_back(static_cast<int64_t>(m.indices.size()));
  }
  m.indices.shrink_to_fit();
  m.values.shrink_to_fit();
  return m;
}

std::vector<double> factors(size_t n, uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(0.01, 1.0);
  std::vector<double> f(n);
  for (auto &x : f) x = u(gen);
  return f;
}

double seconds_since(Clock::time_point t0) { return Clock::now() - t0; }

double time_floor(int64_t draws) {
  const auto t0 = Clock::now();
  int64_t s = 0;
  for (int64_t d = 0; d < draws; ++d) s += rand();
  sink = s;
  return seconds_since(t0);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Peak resident memory since the last reset, in bytes.
long long peak_rss() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6) * 1024;
  return -1;
}
bool reset_peak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  return static_cast<bool>(clear);
}

struct Options {
  bool quick = false;
  int reps = 3;
  std::string filter;
  // Only the timed sparse calls: no peak memory, no dense slice.
  bool sparse_only = false;
};

void run(const Shape &s, const Options &o) {
  const int32_t rows = o.quick ? s.rows / 10 : s.rows;
  const int32_t K = s.components;
  Csr m = make_csr(s, rows, 42);
  std::vector<double> row_factors = factors(static_cast<size_t>(rows) * K, 1);
  std::vector<double> col_factors = factors(static_cast<size_t>(K) * s.cols, 2);
  std::vector<double> row_tallies(static_cast<size_t>(rows) * K);
  std::vector<double> col_tallies(static_cast<size_t>(K) * s.cols);
  const double nnz = static_cast<double>(m.values.size());
  const double input_bytes =
      8.0 * m.offsets.size() + 4.0 * nnz + 8.0 * nnz +
      8.0 * (row_factors.size() + col_factors.size() + row_tallies.size() + col_tallies.size());
  auto sparse = [&] {
    const int32_t status =
        Multi_Sample_CSR(m.offsets.data(), m.indices.data(), m.values.data(), row_factors.data(),
                         col_factors.data(), row_tallies.data(), col_tallies.data(), rows, K,
                         s.cols);
    if (status != SK_CSR_OK) {
      std::fprintf(stderr, "csr_bench: Multi_Sample_CSR returned %d\n", status);
      std::exit(1);
    }
  };
  std::printf("%-12s %6d x %-6d K=%-4d nnz %.3g (%.2f%%), %.3g draws\n", s.name, rows, s.cols,
              K, nnz, 100.0 * nnz / (double(rows) * s.cols), double(m.draws));
  std::fflush(stdout);

  // Peak memory: the process holds the input, factors and tallies; the call
  // adds its working memory.
  const bool peak_ok = reset_peak();
  sparse();
  const long long peak = peak_rss();

  std::vector<double> ratio, floor_ns, sparse_ns;
  for (int r = 0; r < o.reps; ++r) {
    const double f = time_floor(m.draws);
    auto t0 = Clock::now();
    sparse();
    const double t = seconds_since(t0);
    floor_ns.push_back(1e9 * f / double(m.draws));
    sparse_ns.push_back(1e9 * t / double(m.draws));
    ratio.push_back(t / f);
  }
  std::printf("  sparse %.2f ns/draw, floor %.2f ns/draw, sparse/floor %.2f (median of %d)\n",
              median(sparse_ns), median(floor_ns), median(ratio), o.reps);
  if (peak_ok && peak > 0)
    std::printf("  peak memory %.1f MB, CSR + factors + tallies %.1f MB, ratio %.2f\n",
                peak / 1e6, input_bytes / 1e6, peak / input_bytes);
  else
    std::printf("  peak memory not available\n");

  if (o.sparse_only) return;
  // The dense call on a slice of rows whose dense counts fit in ~256 MB.
  const int32_t slice =
      std::min<int64_t>(rows, std::max<int64_t>(1, (256ll << 20) / (8ll * s.cols)));
  const int64_t slice_nnz = m.offsets[slice];
  std::vector<double> dense(static_cast<size_t>(slice) * s.cols, 0.0);
  int64_t slice_draws = 0;
  for (int32_t i = 0; i < slice; ++i)
    for (int64_t p = m.offsets[i]; p < m.offsets[i + 1]; ++p) {
      dense[static_cast<size_t>(i) * s.cols + m.indices[p]] = m.values[p];
      slice_draws += static_cast<int64_t>(m.values[p]);
    }
  std::vector<double> dense_ratio, dense_over_floor;
  for (int r = 0; r < o.reps; ++r) {
    const double f = time_floor(slice_draws);
    auto t0 = Clock::now();
    Multi_Sample(dense.data(), row_factors.data(), col_factors.data(), row_tallies.data(),
                 col_tallies.data(), slice, K, s.cols);
    const double td = seconds_since(t0);
    t0 = Clock::now();
    const int32_t status = Multi_Sample_CSR(m.offsets.data(), m.indices.data(), m.values.data(),
                                            row_factors.data(), col_factors.data(),
                                            row_tallies.data(), col_tallies.data(), slice, K,
                                            s.cols);
    const double ts = seconds_since(t0);
    if (status != SK_CSR_OK) std::exit(1);
    dense_ratio.push_back(td / ts);
    dense_over_floor.push_back(td / f);
  }
  std::printf("  dense on the first %d rows (%lld entries): dense/floor %.2f, dense/sparse %.2f\n",
              slice, static_cast<long long>(slice_nnz), median(dense_over_floor),
              median(dense_ratio));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  Shape extra{};
  bool custom = false;
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--quick") {
      o.quick = true;
      o.reps = 1;
    } else if (arg.rfind("--reps=", 0) == 0 && std::atoi(arg.c_str() + 7) > 0) {
      o.reps = std::atoi(arg.c_str() + 7);
    } else if (arg.rfind("--filter=", 0) == 0) {
      o.filter = arg.substr(9);
    } else if (arg == "--sparse-only") {
      o.sparse_only = true;
    } else if (arg.rfind("--shape=", 0) == 0) {
      // --shape=ROWS,COLS,K,DENSITY,KIND (KIND: words, genes, uniform3, ones)
      char kind[16] = "";
      extra.name = "custom";
      if (std::sscanf(arg.c_str() + 8, "%d,%d,%d,%lf,%15s", &extra.rows, &extra.cols,
                      &extra.components, &extra.density, kind) != 5) {
        std::fprintf(stderr, "%s: bad --shape\n", argv[0]);
        return 2;
      }
      const std::string k = kind;
      extra.counts = k == "words" ? Shape::kWords : k == "genes" ? Shape::kGenes
                     : k == "uniform3" ? Shape::kUniform3 : Shape::kOnes;
      custom = true;
    } else {
      std::fprintf(stderr,
                   "usage: %s [--quick] [--reps=N] [--filter=NAME] [--sparse-only]\n"
                   "          [--shape=ROWS,COLS,K,DENSITY,words|genes|uniform3|ones]\n",
                   argv[0]);
      return 2;
    }
  }
  const Shape shapes[] = {
      {"docs_K20", 100000, 20000, 20, 0.002, Shape::kWords},
      {"docs_K100", 100000, 20000, 100, 0.002, Shape::kWords},
      {"cells_K20", 20000, 30000, 20, 0.05, Shape::kGenes},
      // A wide vocabulary: 1 M cells over 100,000 columns, whose factors and
      // tallies no cache holds.
      {"vocab_K20", 200000, 100000, 20, 0.00005, Shape::kUniform3},
      // The sampler's regime: 1.14 draws a stored cell.
      {"ones_K20", 200000, 20000, 20, 0.011, Shape::kOnes},
  };
  // These calls are large enough for the companion to ask the CPU for AVX2.
  std::printf("CPU: %s\nCSR kernel: %s\n\n", bench::cpu_description().c_str(),
              __builtin_cpu_supports("avx2") ? "AVX2" : "baseline x86-64");
  std::srand(1);
  if (custom) {
    run(extra, o);
    return 0;
  }
  for (const Shape &s : shapes)
    if (o.filter.empty() || std::string(s.name).find(o.filter) != std::string::npos) run(s, o);
  return 0;
}
