// The benchmark's workloads: count matrices drawn as floor(Exp(mean lambda))
// with uniform(0, 1) factors, each from its own fixed seed, so that running
// one workload alone gives the same matrices as running them all.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// How a pass is cut into calls: one call on the whole matrix, one per row
// (1 x cols), or one per cell (1 x 1, with the cell's column of factors and
// of tallies contiguous, as a caller with per-cell data would hold them).
enum class Calls { whole, per_row, per_cell };

struct WorkloadShape {
  std::string name;
  int32_t rows, cols, components;
  double mean;  // lambda, the mean of the exponential before flooring
  uint64_t seed;
  Calls calls = Calls::whole;
  // Above 0: counts as real data have them instead, a share of the cells
  // sampled with 1 or 2 (mean 1.3) and the rest 0; `mean` is then unused.
  double share = 0.0;
};

struct Workload {
  WorkloadShape shape;
  std::vector<double> counts;       // rows x cols
  std::vector<double> row_factors;  // rows x components
  std::vector<double> col_factors;  // components x cols
  std::vector<double> col_factors_by_col;  // cols x components (per-cell calls)
  int64_t draws = 0;                // rand() calls one pass makes
  int64_t sampled_cells = 0;        // cells with at least one draw
};

// The fixed list, in the order the table shows it.
const std::vector<WorkloadShape> &standard_workloads();

Workload generate(const WorkloadShape &shape);

// Draws a count makes in an allocation pass: ceil(count) when
// 0.5 <= count <= 2^31 - 1, else none (NaN included).
int64_t draws_for(double count);

}  // namespace bench
