// A plain, literal implementation of both routines, kept apart from the
// library so that tests can compare the two bit for bit.  It differs from the
// textbook loop only where the library defines sound behaviour for bad input:
// length < 1, n_components < 1, counts above 2^31 - 1 and 64-bit offsets.
#pragma once

#include <cstddef>
#include <cstdint>

namespace reference {

inline int32_t binary_search(const double *cumulative, int32_t length,
                             double target) {
  if (length < 1 || cumulative == nullptr) return -1;
  if (target <= cumulative[0]) return 0;
  int64_t lo = 1;
  int64_t hi = length - 1;
  while (lo < hi) {
    const int64_t mid = (lo + hi) / 2;
    if (target <= cumulative[mid - 1]) {
      hi = mid - 1;
    } else if (target > cumulative[mid]) {
      lo = mid + 1;
    } else {
      return static_cast<int32_t>(mid);
    }
  }
  return static_cast<int32_t>(hi);
}

// `next_rand` is called once per draw, like rand().
template <typename Rand>
void multi_sample(const double *counts, const double *row_factors,
                  const double *col_factors, double *row_tallies,
                  double *col_tallies, int32_t n_rows, int32_t n_components,
                  int32_t n_cols, double *cumulative, Rand &&next_rand) {
  if (n_components < 1) return;
  const int64_t K = n_components, C = n_cols;
  for (int64_t i = 0; i < n_rows; ++i) {
    for (int64_t j = 0; j < C; ++j) {
      const double count = counts[i * C + j];
      if (0.5 > count) continue;
      if (count > 2147483647.0) continue;
      double total = 0.0;
      for (int64_t k = 0; k < K; ++k) {
        total = col_factors[k * C + j] * row_factors[i * K + k] + total;
        cumulative[k] = total;
      }
      for (int32_t l = 0; count > static_cast<double>(l); ++l) {
        const int r = next_rand();
        const double u = static_cast<double>(r) / 2147483647.0;
        const double draw = u * total;
        const int64_t e = binary_search(cumulative, n_components, draw);
        row_tallies[i * K + e] += 1.0;
        col_tallies[e * C + j] += 1.0;
      }
    }
  }
}

}  // namespace reference
