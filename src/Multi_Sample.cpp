// Both exported functions of the library.  The shared object links against
// libc alone (no C++ runtime), so this file uses no exceptions, RTTI, static
// objects or library calls beyond malloc, free and rand.
#include "sampling_kernels.h"

#include <stddef.h>
#include <stdlib.h>

#define SK_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Largest value of rand() on the target, and the largest draw counter.
constexpr double kRandMax = 2147483647.0;

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

}  // namespace

SK_EXPORT int32_t Binary_Search(const double *cumulative, int32_t length,
                                double target) {
  if (length < 1 || cumulative == nullptr) return -1;
  return search(cumulative, length, target);
}

SK_EXPORT void Multi_Sample(const double *counts, const double *row_factors,
                            const double *col_factors, double *row_tallies,
                            double *col_tallies, int32_t n_rows,
                            int32_t n_components, int32_t n_cols) {
  if (n_components < 1) return;
  const ptrdiff_t K = n_components;
  const ptrdiff_t C = n_cols;
  double *cumulative =
      static_cast<double *>(malloc(static_cast<size_t>(K) * sizeof(double)));
  if (cumulative == nullptr) return;

  for (ptrdiff_t i = 0; i < n_rows; ++i) {
    const double *count_row = counts + i * C;
    const double *row_w = row_factors + i * K;
    double *row_t = row_tallies + i * K;
    for (ptrdiff_t j = 0; j < C; ++j) {
      const int64_t n = draws_for(count_row[j]);
      if (n == 0) continue;
      double total = 0.0;
      for (ptrdiff_t k = 0; k < K; ++k) {
        total = col_factors[k * C + j] * row_w[k] + total;
        cumulative[k] = total;
      }
      for (int64_t l = 0; l < n; ++l) {
        const double u = static_cast<double>(rand()) / kRandMax;
        const ptrdiff_t e = search(cumulative, n_components, u * total);
        row_t[e] += 1.0;
        col_tallies[e * C + j] += 1.0;
      }
    }
  }
  free(cumulative);
}
