// Compiled with the library's own code generation flags (see CMakeLists.txt),
// so that the comparison measures the code and not the compiler options.
#include "baseline.h"

#include <cstddef>
#include <cstdlib>

namespace bench {
namespace {

// The textbook bisection: dispose of the lowest interval, then a three-way
// test on the two entries either side of the midpoint.
int32_t search(const double *cumulative, int32_t length, double target) {
  if (target <= cumulative[0]) return 0;
  int32_t lo = 1;
  int32_t hi = length - 1;
  while (lo < hi) {
    const int32_t mid = (lo + hi) / 2;
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

}  // namespace

void baseline_multi_sample(const double *counts, const double *row_factors,
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
    for (ptrdiff_t j = 0; j < C; ++j) {
      const double count = counts[i * C + j];
      if (0.5 > count) continue;
      // Counts the 32-bit draw counter cannot reach make no draw, as in the
      // library; the workloads never have them.
      if (count > 2147483647.0) continue;
      double total = 0.0;
      for (ptrdiff_t k = 0; k < K; ++k) {
        total = col_factors[k * C + j] * row_factors[i * K + k] + total;
        cumulative[k] = total;
      }
      for (int32_t l = 0; count > static_cast<double>(l); ++l) {
        const double u = static_cast<double>(rand()) / 2147483647.0;
        const double draw = u * total;
        const ptrdiff_t e = search(cumulative, n_components, draw);
        row_tallies[i * K + e] += 1.0;
        col_tallies[e * C + j] += 1.0;
      }
    }
  }
  free(cumulative);
}

double rand_floor(const double *counts, int64_t cells, int64_t draws) {
  // Four counters, so that the scan runs at the speed of memory rather than
  // of one chain of dependent additions.
  int64_t n0 = 0, n1 = 0, n2 = 0, n3 = 0;
  int64_t c = 0;
  for (; c + 4 <= cells; c += 4) {
    n0 += counts[c] >= 0.5;
    n1 += counts[c + 1] >= 0.5;
    n2 += counts[c + 2] >= 0.5;
    n3 += counts[c + 3] >= 0.5;
  }
  for (; c < cells; ++c) n0 += counts[c] >= 0.5;
  int64_t sum = 0;
  for (int64_t l = 0; l < draws; ++l) sum += rand();
  return static_cast<double>(n0 + n1 + n2 + n3) + static_cast<double>(sum);
}

}  // namespace bench
