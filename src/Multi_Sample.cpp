// Both exported functions of the library.  The shared object links against
// libc alone (no C++ runtime), so this code uses no exceptions, RTTI, static
// objects or library calls beyond malloc, free and rand.
//
// The algorithm is sample_plain below: for each cell in row-major order, the
// running sums of its K products, then one rand() per draw, the three-way
// search and two tally increments.  The fast paths give the same tallies to
// the last bit and say where and why they depart: sk_batched.h for calls on
// more than one cell, sk_lean.h for those with few components and few draws
// per cell, sk_cell.h for calls on a single cell.
#include "sampling_kernels.h"

#include <stddef.h>
#include <stdlib.h>

#include "sk_batched.h"
#include "sk_cell.h"
#include "sk_common.h"
#include "sk_lean.h"

#define SK_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The plain loop.  Used for calls on a single cell whose sums are not known
// to be sorted (negative, NaN or infinite weights).
void sample_plain(const double *counts, const double *row_factors, const double *col_factors,
                  double *row_tallies, double *col_tallies, ptrdiff_t n_rows,
                  int32_t n_components, ptrdiff_t n_cols, double *cumulative) {
  const ptrdiff_t K = n_components;
  for (ptrdiff_t i = 0; i < n_rows; ++i) {
    for (ptrdiff_t j = 0; j < n_cols; ++j) {
      const int64_t n = sk::draws_for(counts[i * n_cols + j]);
      if (n == 0) continue;
      const double total =
          sk::running_sums(row_factors + i * K, col_factors + j, n_cols, K, cumulative);
      for (int64_t d = 0; d < n; ++d) {
        const double target = static_cast<double>(rand()) / sk::kRandMax * total;
        const ptrdiff_t e = sk::search(cumulative, n_components, target);
        row_tallies[i * K + e] += 1.0;
        col_tallies[e * n_cols + j] += 1.0;
      }
    }
  }
}

}  // namespace

SK_EXPORT int32_t Binary_Search(const double *cumulative, int32_t length,
                                double target) {
  if (length < 1 || cumulative == nullptr) return -1;
  return sk::search(cumulative, length, target);
}

SK_EXPORT void Multi_Sample(const double *counts, const double *row_factors,
                            const double *col_factors, double *row_tallies,
                            double *col_tallies, int32_t n_rows,
                            int32_t n_components, int32_t n_cols) {
  if (n_components < 1) return;
  const ptrdiff_t K = n_components;
  double *cumulative =
      static_cast<double *>(malloc(static_cast<size_t>(K) * sizeof(double)));
  if (cumulative == nullptr) return;
  if (n_rows >= 1 && n_cols >= 1) {  // else no cell; nothing to offset
    if (n_rows == 1 && n_cols == 1) {
      if (!sk::sample_sorted_cell(counts[0], row_factors, col_factors, row_tallies, col_tallies,
                                  n_components, cumulative))
        sample_plain(counts, row_factors, col_factors, row_tallies, col_tallies, 1, n_components,
                     1, cumulative);
    } else if (n_components <= sk::kLeanComponents &&
               (n_components == 1 || sk::few_draws(counts, n_rows, n_cols))) {
      sk::sample_lean_any(counts, row_factors, col_factors, row_tallies, col_tallies, n_rows,
                          n_components, n_cols);
    } else {
      sk::sample_fast(counts, row_factors, col_factors, row_tallies, col_tallies, n_rows,
                      n_components, n_cols, cumulative);
    }
  }
  free(cumulative);
}
