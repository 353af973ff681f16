// Calls on a single cell (private to the library).  The batched path's set-up
// would cost more than such a call's work, so the cell takes the plain chain
// into the scratch array; where it departs from the plain loop is the search:
// when the sums are known to be finite and non-decreasing (the same test as
// the batched path's), each draw takes a branch-free bisection that counts
// the sums below it, which for such sums is what the three-way search
// returns, without its mispredicted branches.
#pragma once

#include <emmintrin.h>

#include "sk_common.h"

namespace sk {

// Number of the n >= 1 sorted entries of a that are below x.
// The step is masked rather than chosen, so that the compiler emits no
// branch on the data.
inline ptrdiff_t count_below_sorted(const double *a, ptrdiff_t n, double x) {
  ptrdiff_t lo = 0;
  while (n > 1) {
    const ptrdiff_t half = n / 2;
    const ptrdiff_t below = a[lo + half - 1] < x;
    lo += half & -below;
    n -= half;
  }
  return lo + (a[lo] < x);
}

// Makes the draws of the one cell when its sums are known sorted and says
// so; otherwise returns false having taken nothing from rand().
inline bool sample_sorted_cell(double count, const double *row_w, const double *col_w,
                               double *row_t, double *col_t, int32_t n_components,
                               double *cumulative) {
  const int64_t n = draws_for(count);
  if (n == 0) return true;
  const ptrdiff_t K = n_components;
  double total = 0.0;
  __m128d signs = _mm_setzero_pd();
  for (ptrdiff_t k = 0; k < K; ++k) {
    const double product = col_w[k] * row_w[k];
    signs = _mm_or_pd(signs, _mm_set_sd(product));
    total = product + total;
    cumulative[k] = total;
  }
  // No product with its sign bit set, and a finite total: non-decreasing sums.
  if ((_mm_movemask_pd(signs) & 1) != 0 || !(total - total == 0.0)) return false;
  const ptrdiff_t last = K - 1;
  for (int64_t d = 0; d < n; ++d) {
    const double target = static_cast<double>(rand()) / kRandMax * total;
    ptrdiff_t e = count_below_sorted(cumulative, K, target);
    e = e < last ? e : last;
    row_t[e] += 1.0;
    col_t[e] += 1.0;
  }
  return true;
}

}  // namespace sk
