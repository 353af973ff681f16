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

// The running sums of cell j of a row, k ascending, into `cumulative`;
// `total` gets the last.  True when no product has its sign bit set and the
// total is finite, so that the sums are non-decreasing.
inline bool chain_sorted(const double *row_w, const double *col_j, ptrdiff_t n_cols,
                         ptrdiff_t K, double *cumulative, double &total) {
  double t = 0.0;
  __m128d signs = _mm_setzero_pd();
  for (ptrdiff_t k = 0; k < K; ++k) {
    const double product = col_j[k * n_cols] * row_w[k];
    signs = _mm_or_pd(signs, _mm_set_sd(product));
    t = product + t;
    cumulative[k] = t;
  }
  total = t;
  return (_mm_movemask_pd(signs) & 1) == 0 && t - t == 0.0;
}

// The n draws of one cell whose sums are in `cumulative`.
inline void draw_from_chain(int64_t n, bool sorted, double total, const double *cumulative,
                            int32_t n_components, double *row_t, double *col_j,
                            ptrdiff_t n_cols) {
  const ptrdiff_t last = n_components - 1;
  for (int64_t d = 0; d < n; ++d) {
    const double target = static_cast<double>(rand()) / kRandMax * total;
    ptrdiff_t e;
    if (sorted) {
      e = count_below_sorted(cumulative, n_components, target);
      e = e < last ? e : last;
    } else {
      e = search(cumulative, n_components, target);
    }
    row_t[e] += 1.0;
    col_j[e * n_cols] += 1.0;
  }
}

// Makes the draws of the one cell of a call when its sums are known sorted
// and says so; otherwise returns false having taken nothing from rand().
inline bool sample_sorted_cell(double count, const double *row_w, const double *col_w,
                               double *row_t, double *col_t, int32_t n_components,
                               double *cumulative) {
  const int64_t n = draws_for(count);
  if (n == 0) return true;
  double total;
  if (!chain_sorted(row_w, col_w, 1, n_components, cumulative, total)) return false;
  draw_from_chain(n, true, total, cumulative, n_components, row_t, col_t, 1);
  return true;
}

}  // namespace sk
