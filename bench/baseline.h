// The two yardsticks the benchmark sets beside the library: a plain loop that
// does exactly what the library's results are defined by, and the cost of the
// random source alone.
#pragma once

#include <cstdint>

namespace bench {

// The allocation pass written the obvious way: per sampled cell one serial
// chain of running sums, per draw one rand() and a three-way bisection.  Same
// signature, same rand() stream and bit for bit the same tallies as
// Multi_Sample.
void baseline_multi_sample(const double *counts, const double *row_factors,
                           const double *col_factors, double *row_tallies,
                           double *col_tallies, int32_t n_rows,
                           int32_t n_components, int32_t n_cols);

// What no allocation pass can go below: `draws` calls of rand() and one look
// at each of the `cells` counts (how many are at least 0.5).  Returns that
// number plus the sum of the rand() values, so that neither loop can be
// dropped.
double rand_floor(const double *counts, int64_t cells, int64_t draws);

}  // namespace bench
