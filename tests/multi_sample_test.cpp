#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <vector>

#include "guarded_memory.h"
#include "libc_script.h"
#include "sampling_kernels.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kRandMax = 2147483647;

using Matrix = std::vector<double>;

struct Problem {
  Matrix counts, row_factors, col_factors, row_tallies, col_tallies;
  int32_t rows, components, cols;

  void run() {
    libc_script::reset();
    Multi_Sample(counts.data(), row_factors.data(), col_factors.data(),
                 row_tallies.data(), col_tallies.data(), rows, components, cols);
  }
};

// counts rows x cols, every factor 1, tallies zero.
Problem uniform(int32_t rows, int32_t components, int32_t cols, Matrix counts) {
  const auto r = static_cast<std::size_t>(rows), k = static_cast<std::size_t>(components),
             c = static_cast<std::size_t>(cols);
  return {std::move(counts), Matrix(r * k, 1.0), Matrix(k * c, 1.0),
          Matrix(r * k, 0.0), Matrix(k * c, 0.0), rows, components, cols};
}

class MultiSample : public ::testing::Test {
 protected:
  void SetUp() override {
    libc_script::use_constant(0);
    libc_script::reset();
  }
  void TearDown() override { libc_script::use_real_rand(); }
};

TEST_F(MultiSample, WorkedExampleOneCell) {
  Problem p{{2}, {1, 3}, {1, 1}, {0, 0}, {0, 0}, 1, 2, 1};
  libc_script::use_values({kRandMax, 0}, false);
  p.run();
  EXPECT_EQ(p.row_tallies, (Matrix{1, 1}));
  EXPECT_EQ(p.col_tallies, (Matrix{1, 1}));
  EXPECT_EQ(libc_script::rand_calls(), 2);
}

TEST_F(MultiSample, WorkedExampleLayout) {
  const Problem start{{1, 0, 2, 0.4, 3, 1}, {1, 1, 2, 0},   {1, 1, 1, 3, 1, 0},
                      Matrix(4, 0.0),       Matrix(6, 0.0), 2, 2, 3};
  Problem high = start;
  libc_script::use_constant(kRandMax);
  high.run();
  EXPECT_EQ(libc_script::rand_calls(), 7);
  EXPECT_EQ(high.row_tallies, (Matrix{2, 1, 4, 0}));
  EXPECT_EQ(high.col_tallies, (Matrix{0, 3, 3, 1, 0, 0}));

  Problem low = start;
  libc_script::use_constant(0);
  low.run();
  EXPECT_EQ(libc_script::rand_calls(), 7);
  EXPECT_EQ(low.row_tallies, (Matrix{3, 0, 4, 0}));
  EXPECT_EQ(low.col_tallies, (Matrix{1, 3, 3, 0, 0, 0}));
}

TEST_F(MultiSample, CountsRoundUpFromOneHalf) {
  const std::vector<std::pair<double, int>> cases{
      {0, 0},   {0.3, 0}, {0.49, 0}, {0.5, 1}, {0.99, 1},   {1, 1},
      {1.01, 2}, {1.5, 2}, {2, 2},    {2.5, 3}, {3, 3},      {-1, 0},
      {-kInf, 0}, {kNaN, 0}, {std::numeric_limits<double>::denorm_min(), 0},
      {0.49999999999999994, 0}};
  for (auto [count, draws] : cases) {
    Problem p = uniform(1, 3, 1, {count});
    p.run();
    EXPECT_EQ(libc_script::rand_calls(), draws) << "count " << count;
    EXPECT_EQ(p.row_tallies[0], draws) << "count " << count;
    EXPECT_EQ(p.col_tallies[0], draws) << "count " << count;
  }
}

TEST_F(MultiSample, TalliesAreAddedTo) {
  Problem p = uniform(1, 1, 1, {1});
  p.row_tallies = {5};
  p.col_tallies = {7};
  p.run();
  EXPECT_EQ(p.row_tallies[0], 6);
  EXPECT_EQ(p.col_tallies[0], 8);
}

TEST_F(MultiSample, OneComponentTakesEveryDraw) {
  Problem p = uniform(2, 1, 2, {3, 0, 1, 4});
  p.col_factors = {0, 2};
  libc_script::use_seeded(3);
  p.run();
  EXPECT_EQ(libc_script::rand_calls(), 8);
  EXPECT_EQ(p.row_tallies, (Matrix{3, 5}));
  EXPECT_EQ(p.col_tallies, (Matrix{4, 4}));
}

TEST_F(MultiSample, ZeroWeightsSendEveryUnitToComponentZero) {
  Problem p = uniform(1, 3, 1, {4});
  p.row_factors = {0, 0, 0};
  libc_script::use_values({kRandMax, 1, 12345, 0}, false);
  p.run();
  EXPECT_EQ(p.row_tallies, (Matrix{4, 0, 0}));
}

TEST_F(MultiSample, FullDrawSkipsTrailingZeroWeights) {
  Problem p = uniform(1, 4, 1, {2});
  p.row_factors = {1, 2, 0, 0};
  libc_script::use_constant(kRandMax);
  p.run();
  EXPECT_EQ(p.row_tallies, (Matrix{0, 2, 0, 0}));
}

TEST_F(MultiSample, DrawsFollowRowMajorOrder) {
  // Two cells, three components of equal weight: the stream's values, in
  // order, land on the components of cell (0, 0) and then of cell (1, 0).
  Problem p = uniform(2, 3, 1, {2, 1});
  libc_script::use_values({0, kRandMax, kRandMax / 2}, false);
  p.run();
  EXPECT_EQ(p.row_tallies, (Matrix{1, 0, 1, 0, 1, 0}));
  EXPECT_EQ(p.col_tallies, (Matrix{1, 1, 1}));
}

TEST_F(MultiSample, AllocatesOneScratchArrayPerCall) {
  SK_SKIP_UNLESS_HEAP_SCRIPTED();
  Problem p = uniform(3, 5, 4, Matrix(12, 2.0));
  p.run();
  EXPECT_EQ(libc_script::malloc_calls(), 1);
  EXPECT_EQ(libc_script::free_calls(), 1);
  EXPECT_EQ(libc_script::last_malloc_size(), 5 * sizeof(double));
}

TEST_F(MultiSample, EmptyOrNegativeShapesOnlyAllocate) {
  SK_SKIP_UNLESS_HEAP_SCRIPTED();
  for (auto [rows, cols] : {std::pair{0, 3}, {3, 0}, {-1, 3}, {3, -5}, {0, 0}}) {
    // The arrays are guard pages: any access faults.
    GuardedDoubles none(0);
    libc_script::reset();
    Multi_Sample(none.data(), none.data(), none.data(), none.data(), none.data(),
                 rows, 2, cols);
    EXPECT_EQ(libc_script::rand_calls(), 0);
    EXPECT_EQ(libc_script::malloc_calls(), 1);
    EXPECT_EQ(libc_script::free_calls(), 1);
  }
}

// Sound behaviour where the plain algorithm would crash, hang or overflow.
TEST_F(MultiSample, NoComponentsDoesNothing) {
  SK_SKIP_UNLESS_HEAP_SCRIPTED();
  GuardedDoubles none(0);
  Matrix counts{1, 2, 3, 4};
  for (int32_t k : {0, -1, -2147483647 - 1}) {
    libc_script::reset();
    Multi_Sample(counts.data(), none.data(), none.data(), none.data(), none.data(),
                 2, k, 2);
    EXPECT_EQ(libc_script::rand_calls(), 0);
    EXPECT_EQ(libc_script::malloc_calls(), 0);
    EXPECT_EQ(libc_script::free_calls(), 0);
  }
}

TEST_F(MultiSample, CountsBeyondTheCounterMakeNoDraw) {
  Problem p = uniform(1, 2, 5, {kInf, 3e9, 2147483648.0, 2147483647.5, 1e308});
  p.run();
  EXPECT_EQ(libc_script::rand_calls(), 0);
  EXPECT_EQ(p.row_tallies, (Matrix{0, 0}));
  EXPECT_EQ(p.col_tallies, Matrix(10, 0.0));
}

TEST_F(MultiSample, FailedAllocationChangesNothing) {
  SK_SKIP_UNLESS_HEAP_SCRIPTED();
  Problem p = uniform(2, 3, 2, {1, 2, 3, 4});
  const Problem before = p;
  libc_script::fail_next_malloc();
  p.run();
  EXPECT_EQ(libc_script::rand_calls(), 0);
  EXPECT_EQ(libc_script::malloc_calls(), 1);
  EXPECT_EQ(libc_script::free_calls(), 0);
  EXPECT_EQ(p.row_tallies, before.row_tallies);
  EXPECT_EQ(p.col_tallies, before.col_tallies);
}

TEST_F(MultiSample, CountAtTheCounterLimitMakesEveryDraw) {
  // 2^31 - 1 draws from a constant stream, one component: a few seconds.
  Problem p = uniform(1, 1, 1, {2147483647.0});
  p.run();
  EXPECT_EQ(libc_script::rand_calls(), 2147483647);
  EXPECT_EQ(p.row_tallies[0], 2147483647.0);
  EXPECT_EQ(p.col_tallies[0], 2147483647.0);
}

// Matrices of more than 2^31 elements, zero-filled mappings that cost memory
// only where touched.  Each case puts its one sampled cell where a 32-bit
// offset would have wrapped.
struct HugeCase {
  int32_t rows, components, cols;
};

class MultiSampleHuge : public MultiSample,
                        public ::testing::WithParamInterface<HugeCase> {};

TEST_P(MultiSampleHuge, OffsetsDoNotWrap) {
  const auto [rows, K, cols] = GetParam();
  const std::size_t R = std::size_t(rows), KK = std::size_t(K), C = std::size_t(cols);
  SparseDoubles counts(R * C), row_factors(R * KK), col_factors(KK * C),
      row_tallies(R * KK), col_tallies(KK * C);
  const std::size_t i = R - 1, j = C - 1, k = KK - 1;
  counts[i * C + j] = 3;
  row_factors[i * KK + k] = 2;  // only the last component has weight
  col_factors[k * C + j] = 1;
  libc_script::use_seeded(5);
  Multi_Sample(counts.data(), row_factors.data(), col_factors.data(),
               row_tallies.data(), col_tallies.data(), rows, K, cols);
  EXPECT_EQ(libc_script::rand_calls(), 3);
  EXPECT_EQ(row_tallies[i * KK + k], 3);
  EXPECT_EQ(col_tallies[k * C + j], 3);
}

void PrintTo(const HugeCase &c, std::ostream *os) {
  *os << c.rows << " rows, " << c.components << " components, " << c.cols << " cols";
}

std::string huge_case_name(const ::testing::TestParamInfo<HugeCase> &info) {
  static const char *const names[] = {"RowFactors", "ColFactors", "Counts"};
  return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MultiSampleHuge,
    ::testing::Values(HugeCase{(1 << 19) + 1, 1 << 12, 1},   // rows x K
                      HugeCase{1, 1 << 12, (1 << 19) + 1},   // K x cols
                      HugeCase{2, 1, (1 << 30) + 1}),        // rows x cols
    huge_case_name);

}  // namespace
