// With the real rand, the components' frequencies must follow the weights.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "libc_script.h"
#include "sampling_kernels.h"

namespace {

// Upper quantile of chi-square with `df` degrees of freedom at the normal
// deviate z (Wilson-Hilferty).  z = 7 puts a false failure near 1e-12.
double chi_square_bound(int df, double z) {
  const double a = 2.0 / (9.0 * df);
  return df * std::pow(1.0 - a + z * std::sqrt(a), 3.0);
}

struct Cell {
  std::vector<double> weights;
  double count;
};

void PrintTo(const Cell &c, std::ostream *os) {
  *os << c.weights.size() << " weights, count " << c.count;
}

class Frequencies : public ::testing::TestWithParam<Cell> {};

TEST_P(Frequencies, FollowTheWeights) {
  const Cell cell = GetParam();
  const int K = static_cast<int>(cell.weights.size());
  // One cell: row factors carry the weights, column factors are 1.
  const std::size_t n = std::size_t(K);
  std::vector<double> counts{cell.count}, row_factors = cell.weights,
      col_factors(n, 1.0), row_tallies(n, 0.0), col_tallies(n, 0.0);
  libc_script::use_real_rand();
  srand(20261208);
  Multi_Sample(counts.data(), row_factors.data(), col_factors.data(),
               row_tallies.data(), col_tallies.data(), 1, K, 1);

  double total = 0;
  for (double w : cell.weights) total += w;
  double chi2 = 0;
  int df = -1;
  for (int k = 0; k < K; ++k) {
    EXPECT_EQ(row_tallies[std::size_t(k)], col_tallies[std::size_t(k)]);
    const double expected = cell.count * cell.weights[std::size_t(k)] / total;
    if (expected == 0) {
      EXPECT_EQ(row_tallies[std::size_t(k)], 0) << "component " << k << " has no weight";
      continue;
    }
    const double d = row_tallies[std::size_t(k)] - expected;
    chi2 += d * d / expected;
    ++df;
  }
  EXPECT_LT(chi2, chi_square_bound(df, 7.0)) << "df " << df;
}

std::vector<double> ramp(int n) {
  std::vector<double> w;
  for (int k = 0; k < n; ++k) w.push_back(k % 7 == 3 ? 0.0 : 1.0 + k % 5);
  return w;
}

INSTANTIATE_TEST_SUITE_P(
    Cells, Frequencies,
    ::testing::Values(Cell{{1, 3}, 200000}, Cell{{0.2, 0.3, 0.5}, 300000},
                      Cell{{0, 5, 0, 1, 2, 0}, 300000}, Cell{ramp(10), 500000},
                      Cell{ramp(50), 1000000}, Cell{ramp(200), 2000000}),
    [](const ::testing::TestParamInfo<Cell> &info) {
      return std::string("K")
          .append(std::to_string(info.param.weights.size()))
          .append("_count")
          .append(std::to_string(int64_t(info.param.count)))
          .append("_")
          .append(std::to_string(info.index));
    });

// Across a row of cells the column factors steer the split, too.
TEST(FrequenciesAcrossCells, ColumnFactorsShapeEachCell) {
  const int K = 2, cols = 3;
  std::vector<double> counts{100000, 100000, 100000}, row_factors{1, 1},
      col_factors{1, 1, 9, 1, 3, 1}, row_tallies(2), col_tallies(6);
  libc_script::use_real_rand();
  srand(7);
  Multi_Sample(counts.data(), row_factors.data(), col_factors.data(),
               row_tallies.data(), col_tallies.data(), 1, K, cols);
  for (int j = 0; j < cols; ++j) {
    const double p0 = col_factors[std::size_t(j)] /
                      (col_factors[std::size_t(j)] + col_factors[std::size_t(cols + j)]);
    const double n0 = col_tallies[std::size_t(j)], n1 = col_tallies[std::size_t(cols + j)];
    EXPECT_EQ(n0 + n1, 100000);
    const double e0 = 100000 * p0, e1 = 100000 - e0;
    const double chi2 = (n0 - e0) * (n0 - e0) / e0 + (n1 - e1) * (n1 - e1) / e1;
    EXPECT_LT(chi2, chi_square_bound(1, 7.0)) << "column " << j;
  }
}

}  // namespace
