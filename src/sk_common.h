// Pieces every path of Multi_Sample shares: the three-way search, the draw
// rule and the constants of the draw.  Private to the library.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace sk {

// Largest value of rand() on the target, and the largest draw counter.
constexpr double kRandMax = 2147483647.0;
constexpr double kInf = __builtin_inf();
constexpr double kMaxFinite = 1.7976931348623157e308;

// The search proper, for callers that already know length >= 1.
// lo + (hi - lo) / 2 equals (lo + hi) / 2 for the positive lo and hi used
// here, without overflowing when length exceeds 2^30.
inline int32_t search(const double *cumulative, int32_t length, double target) {
  if (target <= cumulative[0]) return 0;
  int32_t lo = 1;
  int32_t hi = length - 1;
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo) / 2;
    if (target <= cumulative[mid - 1]) {
      hi = mid - 1;
    } else if (target > cumulative[mid]) {
      lo = mid + 1;
    } else {
      return mid;
    }
  }
  return hi;
}

// Number of draws a count makes: ceil(count) for 0.5 <= count <= 2^31 - 1,
// else 0.  The negated test also rejects NaN.
inline int64_t draws_for(double count) {
  if (!(count >= 0.5 && count <= kRandMax)) return 0;
  int64_t n = static_cast<int64_t>(count);
  if (static_cast<double>(n) < count) ++n;
  return n;
}

// The running sums of one cell, k ascending, each product and sum rounded
// on its own; returns the total.
inline double running_sums(const double *row_w, const double *col_factors_j, ptrdiff_t n_cols,
                           ptrdiff_t K, double *cumulative) {
  double total = 0.0;
  for (ptrdiff_t k = 0; k < K; ++k) {
    total = col_factors_j[k * n_cols] * row_w[k] + total;
    cumulative[k] = total;
  }
  return total;
}

}  // namespace sk
