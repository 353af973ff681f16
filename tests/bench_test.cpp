// The benchmark's pieces: a baseline that is not exactly the library's
// algorithm, workloads that are not what they claim, or a floor that makes
// the wrong number of rand() calls would make every figure it prints wrong.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <vector>

#include "baseline.h"
#include "harness.h"
#include "libc_script.h"
#include "sampling_kernels.h"
#include "workloads.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Case {
  int32_t rows, components, cols;
  std::vector<double> counts, row_factors, col_factors;
};

struct Tallies {
  std::vector<double> rows, cols;
  int64_t rand_calls;
};

// The rand() stream: a seeded one, or `values` over and over when given.
Tallies run(bool library, const Case &c, uint64_t seed,
            const std::vector<int> *values = nullptr) {
  Tallies t{std::vector<double>(size_t(std::max(c.rows, 0)) * c.components, 0.5),
            std::vector<double>(size_t(c.components) * std::max(c.cols, 0), 0.25),
            0};
  if (values != nullptr) {
    libc_script::use_values(*values, true);
  } else {
    libc_script::use_seeded(seed);
  }
  libc_script::reset();
  const auto fn = library ? Multi_Sample : bench::baseline_multi_sample;
  fn(c.counts.data(), c.row_factors.data(), c.col_factors.data(),
     t.rows.data(), t.cols.data(), c.rows, c.components, c.cols);
  t.rand_calls = libc_script::rand_calls();
  libc_script::use_real_rand();
  return t;
}

bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
  return a.size() == b.size() &&
         std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

void expect_baseline_matches_library(const Case &c, uint64_t seed,
                                     const std::vector<int> *values = nullptr) {
  const Tallies base = run(false, c, seed, values);
  const Tallies lib = run(true, c, seed, values);
  EXPECT_EQ(base.rand_calls, lib.rand_calls);
  EXPECT_TRUE(same_bits(base.rows, lib.rows));
  EXPECT_TRUE(same_bits(base.cols, lib.cols));
}

TEST(BenchBaseline, FollowsTheDefinitionOnTheLayoutExample) {
  const Case c{2, 2, 3, {1, 0, 2, 0.4, 3, 1}, {1, 1, 2, 0}, {1, 1, 1, 3, 1, 0}};
  for (const int r : {2147483647, 0}) {
    std::vector<double> rows(4, 0.0), cols(6, 0.0);
    libc_script::use_constant(r);
    libc_script::reset();
    bench::baseline_multi_sample(c.counts.data(), c.row_factors.data(),
                                 c.col_factors.data(), rows.data(), cols.data(),
                                 2, 2, 3);
    EXPECT_EQ(libc_script::rand_calls(), 7);
    if (r == 0) {
      EXPECT_EQ(rows, (std::vector<double>{3, 0, 4, 0}));
      EXPECT_EQ(cols, (std::vector<double>{1, 3, 3, 0, 0, 0}));
    } else {
      EXPECT_EQ(rows, (std::vector<double>{2, 1, 4, 0}));
      EXPECT_EQ(cols, (std::vector<double>{0, 3, 3, 1, 0, 0}));
    }
  }
  libc_script::use_real_rand();
}

TEST(BenchBaseline, MatchesTheLibraryOnAwkwardCountsAndWeights) {
  // Every threshold of the draw count, and weights that make ties, zero
  // totals, NaN running sums and unsorted sums.
  const std::vector<double> counts = {0,    0.49, 0.5, 0.99, 1,    1.01, 2.5,
                                      3,    -1,   kNaN, kInf, 3e9, 7,    40};
  const std::vector<double> weights = {0, 1, 0.25, 0, 3e-310, 1e300, 2, 0.5,
                                       -0.75, kNaN, kInf, 1, 0, 0.125};
  for (const int32_t k : {1, 2, 3, 7, 16}) {
    Case c{2, k, 7, counts, {}, {}};
    for (int32_t i = 0; i < 2 * k; ++i) c.row_factors.push_back(weights[i % 14]);
    for (int32_t i = 0; i < k * 7; ++i) c.col_factors.push_back(weights[(3 * i + 5) % 14]);
    SCOPED_TRACE(k);
    expect_baseline_matches_library(c, 99 + uint64_t(k));
  }
  // Draws that land exactly on running sums, among runs of equal sums:
  // r = 2^31 - 1 makes the draw equal the total, r = 0 makes it 0.
  const std::vector<int> edges = {2147483647, 0, 1073741823, 2147483647, 1};
  const std::vector<double> ties = {1, 1, 0, 0, 1, 0, 0, 0, 2, 0, 0.5, 0.5};
  for (const int32_t k : {2, 3, 5, 8, 12}) {
    Case c{1, k, 5, {1, 2, 3, 4, 5}, std::vector<double>(size_t(k), 1.0), {}};
    for (int32_t kk = 0; kk < k; ++kk) {
      for (int32_t j = 0; j < 5; ++j) c.col_factors.push_back(ties[size_t(kk + j) % 12]);
    }
    SCOPED_TRACE(k);
    expect_baseline_matches_library(c, 0, &edges);
  }
}

TEST(BenchBaseline, MatchesTheLibraryOnGeneratedWorkloads) {
  for (const auto &shape :
       {bench::WorkloadShape{"dense", 30, 40, 13, 5.0, 7},
        bench::WorkloadShape{"sparse", 50, 60, 64, 0.3, 8},
        bench::WorkloadShape{"tall", 90, 1, 200, 20.0, 9}}) {
    const bench::Workload w = bench::generate(shape);
    const Case c{shape.rows, shape.components, shape.cols, w.counts,
                 w.row_factors, w.col_factors};
    SCOPED_TRACE(shape.name);
    expect_baseline_matches_library(c, shape.seed);
    EXPECT_EQ(run(false, c, 1).rand_calls, w.draws);
  }
}

TEST(BenchFloor, CallsRandOncePerDrawAndLooksAtEveryCount) {
  const std::vector<double> counts = {0, 0.5, kNaN, 2, -3, 0.49, 1, kInf, 5};
  // Cells with a count of at least 0.5: 0.5, 2, 1, inf, 5.
  for (const int64_t cells : {int64_t(0), int64_t(3), int64_t(9)}) {
    libc_script::use_constant(3);
    libc_script::reset();
    const double got = bench::rand_floor(counts.data(), cells, 11);
    EXPECT_EQ(libc_script::rand_calls(), 11);
    const double above = cells == 0 ? 0 : cells == 3 ? 1 : 5;
    EXPECT_EQ(got, above + 33);
  }
  libc_script::use_real_rand();
}

TEST(BenchWorkloads, DrawsFollowTheCountThresholds) {
  EXPECT_EQ(bench::draws_for(0.49), 0);
  EXPECT_EQ(bench::draws_for(0.5), 1);
  EXPECT_EQ(bench::draws_for(1.0), 1);
  EXPECT_EQ(bench::draws_for(1.01), 2);
  EXPECT_EQ(bench::draws_for(2.5), 3);
  EXPECT_EQ(bench::draws_for(2147483647.0), 2147483647);
  EXPECT_EQ(bench::draws_for(2147483648.0), 0);
  EXPECT_EQ(bench::draws_for(-2), 0);
  EXPECT_EQ(bench::draws_for(kNaN), 0);
  EXPECT_EQ(bench::draws_for(kInf), 0);
}

TEST(BenchWorkloads, AreRepeatableAndDependOnTheirSeed) {
  const bench::WorkloadShape shape{"w", 20, 30, 4, 5.0, 42};
  const bench::Workload a = bench::generate(shape), b = bench::generate(shape);
  EXPECT_EQ(a.counts, b.counts);
  EXPECT_EQ(a.row_factors, b.row_factors);
  EXPECT_EQ(a.col_factors, b.col_factors);
  bench::WorkloadShape other = shape;
  other.seed = 43;
  EXPECT_NE(bench::generate(other).counts, a.counts);
}

// floor(Exp(mean m)) is geometric: P(count >= 1) = exp(-1/m) and
// E[count] = 1 / (exp(1/m) - 1).
TEST(BenchWorkloads, CountsAndFactorsHaveTheStatedDistributions) {
  for (const double m : {0.3, 5.0, 100.0}) {
    SCOPED_TRACE(m);
    const bench::Workload w = bench::generate({"w", 300, 300, 3, m, 5});
    ASSERT_EQ(w.counts.size(), 90000u);
    ASSERT_EQ(w.row_factors.size(), 900u);
    ASSERT_EQ(w.col_factors.size(), 900u);
    double sum = 0;
    int64_t nonzero = 0;
    for (const double c : w.counts) {
      ASSERT_TRUE(c >= 0 && c == std::floor(c)) << c;
      sum += c;
      nonzero += c > 0;
    }
    EXPECT_EQ(w.draws, static_cast<int64_t>(sum));
    EXPECT_EQ(w.sampled_cells, nonzero);
    const double mean = sum / 90000, expected = 1 / std::expm1(1 / m);
    // About five standard errors of the mean.
    EXPECT_NEAR(mean, expected, 5 * std::sqrt(expected * (expected + 1) / 90000));
    const double p = std::exp(-1 / m);
    EXPECT_NEAR(double(nonzero) / 90000, p, 5 * std::sqrt(p * (1 - p) / 90000) + 1e-9);
    double factor_sum = 0;
    for (const double f : w.row_factors) {
      ASSERT_TRUE(f >= 0 && f < 1) << f;
      factor_sum += f;
    }
    EXPECT_NEAR(factor_sum / 900, 0.5, 0.05);
  }
}

TEST(BenchWorkloads, StandardListHasUniqueNamesAndTheAgreedShapes) {
  const auto &list = bench::standard_workloads();
  ASSERT_EQ(list.size(), 50u);
  for (size_t a = 0; a < list.size(); ++a) {
    for (size_t b = a + 1; b < list.size(); ++b) {
      EXPECT_NE(list[a].name, list[b].name);
      EXPECT_NE(list[a].seed, list[b].seed);
    }
  }
  EXPECT_EQ(list[7].name, "sparse_K200");
  EXPECT_EQ(list[7].rows, 1000);
  EXPECT_EQ(list[7].components, 200);
  EXPECT_EQ(list[7].mean, 0.3);
  // Many components, single-row and single-cell calls.
  int large = 0, per_row = 0, per_cell = 0;
  for (const auto &w : list) {
    large += w.components >= 500 && w.calls == bench::Calls::whole;
    per_row += w.calls == bench::Calls::per_row;
    per_cell += w.calls == bench::Calls::per_cell;
  }
  EXPECT_GE(large, 3);
  EXPECT_GE(per_row, 1);
  EXPECT_GE(per_cell, 1);
}

// The grid of real-looking counts: every K of {1, 2, 3, 4, 6, 8, 16} at
// every share, counts 1 or 2 on about that share of the cells, 0 elsewhere.
TEST(BenchWorkloads, GridHasRealLookingCountsAtEveryShare) {
  int grid = 0;
  for (const auto &shape : bench::standard_workloads()) {
    if (shape.share == 0) continue;
    ++grid;
    bench::WorkloadShape small = shape;
    small.rows = 100;
    const bench::Workload w = bench::generate(small);
    int64_t sampled = 0, twos = 0;
    for (double c : w.counts) {
      ASSERT_TRUE(c == 0 || c == 1 || c == 2) << shape.name << ": " << c;
      sampled += c != 0;
      twos += c == 2;
    }
    EXPECT_NEAR(double(sampled) / double(w.counts.size()), shape.share, 0.02) << shape.name;
    EXPECT_NEAR(double(twos) / double(sampled), 0.3, 0.05) << shape.name;
    EXPECT_EQ(w.draws, sampled + twos) << shape.name;
  }
  EXPECT_EQ(grid, 35);
}

// Per-cell calls read a cell's column of factors from a transposed copy,
// which must hold exactly the same values.
TEST(BenchWorkloads, PerCellCallsSeeTheSameFactors) {
  for (const auto &shape : bench::standard_workloads()) {
    if (shape.calls != bench::Calls::per_cell) continue;
    bench::WorkloadShape small = shape;
    small.rows = 7;
    small.cols = 5;
    const bench::Workload w = bench::generate(small);
    const size_t K = size_t(small.components), C = size_t(small.cols);
    ASSERT_EQ(w.col_factors_by_col.size(), K * C);
    for (size_t j = 0; j < C; ++j)
      for (size_t k = 0; k < K; ++k)
        ASSERT_EQ(w.col_factors_by_col[j * K + k], w.col_factors[k * C + j]) << shape.name;
  }
}

TEST(BenchHarness, MedianOfOddEvenAndEmpty) {
  EXPECT_EQ(bench::median({3, 1, 2}), 2);
  EXPECT_EQ(bench::median({4, 1, 3, 2}), 2.5);
  EXPECT_EQ(bench::median({7}), 7);
  EXPECT_TRUE(std::isnan(bench::median({})));
}

TEST(BenchHarness, ParsesOptionsAndRejectsBadOnes) {
  std::string error;
  auto o = bench::parse_options({}, "def.csv", error);
  ASSERT_TRUE(o);
  EXPECT_EQ(o->repetitions, 7);
  EXPECT_EQ(o->csv_path, "def.csv");
  EXPECT_TRUE(bench::selected(*o, "anything"));

  o = bench::parse_options({"--reps=4", "--filter=K50,dense_K2", "--csv", "x.csv"},
                           "def.csv", error);
  ASSERT_TRUE(o);
  EXPECT_EQ(o->repetitions, 4);
  EXPECT_EQ(o->csv_path, "x.csv");
  EXPECT_TRUE(bench::selected(*o, "sparse_K50"));
  EXPECT_TRUE(bench::selected(*o, "dense_K2_l100"));
  EXPECT_FALSE(bench::selected(*o, "dense_K10_l5"));

  o = bench::parse_options({"--quick"}, "", error);
  ASSERT_TRUE(o);
  EXPECT_LT(o->repetitions, 7);
  EXPECT_LT(o->min_sample_ms, bench::Options{}.min_sample_ms);
  o = bench::parse_options({"--quick", "--reps", "9", "--csv="}, "d", error);
  ASSERT_TRUE(o);
  EXPECT_EQ(o->repetitions, 9);
  EXPECT_EQ(o->csv_path, "");
  EXPECT_EQ(o->count, "");
  o = bench::parse_options({"--count=baseline"}, "d", error);
  ASSERT_TRUE(o);
  EXPECT_EQ(o->count, "baseline");

  for (const auto &bad : std::vector<std::vector<std::string>>{
           {"--reps=0"}, {"--reps=x"}, {"--reps=-2"}, {"--reps"},
           {"--quick=1"}, {"--fast"}, {"extra"}, {"--count=all"}, {"--count"}}) {
    error.clear();
    EXPECT_FALSE(bench::parse_options(bad, "d", error)) << bad[0];
    EXPECT_FALSE(error.empty()) << bad[0];
  }
}

TEST(BenchHarness, TableAndCsvCarryEveryResult) {
  const std::vector<bench::Result> results = {
      {"first", 4, 5, 2, 100, 1234, 7, 3, 10.0, 30.0, 20.0, 2.0, 1.5},
      {"second", 6, 7, 9, 0.3, 55, 7, 1, 11.0, 44.0, 22.0, 2.25, 2.0}};
  std::ostringstream table, csv;
  bench::print_table(table, results);
  bench::write_csv(csv, results);
  const std::string t = table.str(), c = csv.str();
  EXPECT_NE(t.find("| first "), std::string::npos);
  EXPECT_NE(t.find("4 x 5"), std::string::npos);
  EXPECT_NE(t.find("2.25"), std::string::npos);
  EXPECT_EQ(c.substr(0, c.find('\n')).find("library_over_floor") != std::string::npos, true);
  EXPECT_NE(c.find("\nsecond,6,7,9,0.3,55,7,1,11.0000,44.0000,22.0000,2.2500,2.0000\n"),
            std::string::npos);
  // Header and one line per result, every line with the same field count.
  std::istringstream lines(c);
  std::string line;
  int n = 0;
  while (std::getline(lines, line)) {
    EXPECT_EQ(std::count(line.begin(), line.end(), ','), 12) << line;
    ++n;
  }
  EXPECT_EQ(n, 3);
}

}  // namespace
