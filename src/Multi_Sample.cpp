// Both exported functions of the library.  The shared object links against
// libc alone (no C++ runtime), so this file uses no exceptions, RTTI, static
// objects or library calls beyond malloc, free and rand.
//
// Multi_Sample gives exactly the tallies of the plain loop (running sums in
// ascending k, one rand() per draw in row-major order, the three-way search),
// but arranges the work so that little of it sits between two rand() calls:
//   - the running sums of up to eight sampled cells of a row are built at
//     once, as independent chains whose every product and sum is rounded as
//     in the plain loop;
//   - a cell's rand() values are taken in one tight loop, and only then
//     turned into draws, searched and tallied;
//   - in a cell whose running sums are finite and non-decreasing, the search
//     equals a count of the entries below the draw, done branch-free with
//     vector compares; every other cell uses the three-way search itself;
//   - runs of cells with counts below 0.5 are skipped with vector compares.
#include "sampling_kernels.h"

#include <emmintrin.h>
#include <stddef.h>
#include <stdlib.h>

#define SK_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Largest value of rand() on the target, and the largest draw counter.
constexpr double kRandMax = 2147483647.0;
constexpr double kInf = __builtin_inf();
constexpr double kMaxFinite = 1.7976931348623157e308;

// Working memory on the stack: running sums of a batch of cells, and the
// rand() values of one stretch of a cell's draws.  16 KiB in all.
constexpr ptrdiff_t kSumDoubles = 1792;
constexpr int kRandBatch = 256;
// Entries per block of the two-level count for many components.
constexpr ptrdiff_t kBlock = 16;

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

// Number of the n entries of a below x; n is a multiple of 4.  A true
// compare is all ones, -1 as an integer, so subtracting it counts.
inline ptrdiff_t count_below(const double *a, ptrdiff_t n, double x) {
  const __m128d v = _mm_set1_pd(x);
  __m128i acc0 = _mm_setzero_si128(), acc1 = _mm_setzero_si128();
  for (ptrdiff_t k = 0; k < n; k += 4) {
    acc0 = _mm_sub_epi64(acc0, _mm_castpd_si128(_mm_cmplt_pd(_mm_load_pd(a + k), v)));
    acc1 = _mm_sub_epi64(acc1, _mm_castpd_si128(_mm_cmplt_pd(_mm_load_pd(a + k + 2), v)));
  }
  const __m128i acc = _mm_add_epi64(acc0, acc1);
  return _mm_cvtsi128_si64(acc) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc));
}

// Is any of the 8 counts at p at least 0.5?
inline bool any_sampled(const double *p) {
  const __m128d half = _mm_set1_pd(0.5);
  const __m128d m = _mm_or_pd(
      _mm_or_pd(_mm_cmple_pd(half, _mm_loadu_pd(p)), _mm_cmple_pd(half, _mm_loadu_pd(p + 2))),
      _mm_or_pd(_mm_cmple_pd(half, _mm_loadu_pd(p + 4)), _mm_cmple_pd(half, _mm_loadu_pd(p + 6))));
  return _mm_movemask_pd(m) != 0;
}

// First column at or after j whose count makes draws (n_cols if none); its
// number of draws goes to *draws.
inline ptrdiff_t next_sampled(const double *row, ptrdiff_t j, ptrdiff_t n_cols,
                              int64_t *draws) {
  for (;;) {
    while (j + 8 <= n_cols && !any_sampled(row + j)) j += 8;
    const ptrdiff_t end = j + 8 < n_cols ? j + 8 : n_cols;
    for (; j < end; ++j) {
      const int64_t n = draws_for(row[j]);
      if (n != 0) {
        *draws = n;
        return j;
      }
    }
    if (j >= n_cols) return n_cols;
  }
}

// How the running sums of one cell are laid out in the batch buffer:
// `padded` entries (the sums, then +inf), and for many components one entry
// per block of kBlock (its last sum), padded with +inf, for the two-level
// count.
struct Layout {
  int32_t n_components;
  ptrdiff_t padded;  // multiple of 4 (of kBlock when there are blocks)
  ptrdiff_t blocks;  // 0 when a single count over `padded` entries is used
  ptrdiff_t blocks_padded;
  ptrdiff_t stride;  // doubles per cell in the buffer
  int lanes;         // cells per batch: 8, 4, 2, 1, or 0 if one does not fit
};

inline ptrdiff_t round_up(ptrdiff_t n, ptrdiff_t m) { return (n + m - 1) / m * m; }

inline Layout plan(int32_t n_components) {
  Layout l{};
  l.n_components = n_components;
  if (n_components <= kBlock) {
    l.padded = round_up(n_components, 4);
  } else {
    l.padded = round_up(n_components, kBlock);
    l.blocks = l.padded / kBlock;
    l.blocks_padded = round_up(l.blocks, 4);
  }
  l.stride = l.padded + l.blocks_padded;
  const ptrdiff_t fit = kSumDoubles / l.stride;
  l.lanes = fit >= 8 ? 8 : fit >= 4 ? 4 : fit >= 2 ? 2 : fit >= 1 ? 1 : 0;
  return l;
}

// The component of a draw in a cell with finite, non-decreasing running
// sums: the number of sums below the draw, at most n_components - 1.  For
// such sums and a draw that is not NaN this is what search() returns.
inline ptrdiff_t sorted_index(const Layout &l, const double *sums, double target) {
  ptrdiff_t e;
  if (l.blocks == 0) {
    e = count_below(sums, l.padded, target);
  } else {
    ptrdiff_t b = count_below(sums + l.padded, l.blocks_padded, target);
    if (b > l.blocks - 1) b = l.blocks - 1;
    e = b * kBlock + count_below(sums + b * kBlock, kBlock, target);
  }
  const ptrdiff_t last = l.n_components - 1;
  return e < last ? e : last;
}

// All draws of one cell whose running sums are at `sums`.
inline void draw_cell(const Layout &l, const double *sums, bool sorted, int64_t n,
                      double *row_t, double *col_t, ptrdiff_t n_cols) {
  const double total = sums[l.n_components - 1];
  int32_t r[kRandBatch];
  while (n > 0) {
    const int m = n < kRandBatch ? static_cast<int>(n) : kRandBatch;
    for (int d = 0; d < m; ++d) r[d] = rand();
    for (int d = 0; d < m; ++d) {
      const double target = static_cast<double>(r[d]) / kRandMax * total;
      const ptrdiff_t e =
          sorted ? sorted_index(l, sums, target) : search(sums, l.n_components, target);
      row_t[e] += 1.0;
      col_t[e * n_cols] += 1.0;
    }
    n -= m;
  }
}

// Builds the running sums of Lanes cells of one row (columns cols[]) into
// buf, one stride per cell, and says for each whether its sums are finite and
// non-decreasing.  The lanes are independent chains, each in ascending k.
template <int Lanes>
inline void build_sums(const Layout &l, const double *row_w, const double *col_factors,
                       ptrdiff_t n_cols, const ptrdiff_t *cols, double *buf,
                       bool *sorted) {
  double t[Lanes];
  bool ok[Lanes];
  const ptrdiff_t K = l.n_components;
  for (int c = 0; c < Lanes; ++c) {
    t[c] = col_factors[cols[c]] * row_w[0] + 0.0;
    ok[c] = true;
    buf[c * l.stride] = t[c];
  }
  for (ptrdiff_t k = 1; k < K; ++k) {
    const double w = row_w[k];
    const double *cf = col_factors + k * n_cols;
    for (int c = 0; c < Lanes; ++c) {
      const double next = cf[cols[c]] * w + t[c];
      ok[c] &= next >= t[c];
      t[c] = next;
      buf[c * l.stride + k] = next;
    }
  }
  for (int c = 0; c < Lanes; ++c) {
    sorted[c] = ok[c] && t[c] <= kMaxFinite && t[c] >= -kMaxFinite;
    double *cell = buf + c * l.stride;
    for (ptrdiff_t b = 0; b < l.blocks; ++b) cell[l.padded + b] = cell[b * kBlock + kBlock - 1];
  }
}

// The plain loop, for cells too large for the batch buffer: sums in the
// caller's scratch array, the three-way search for every draw.
void sample_plain(const double *counts, const double *row_factors, const double *col_factors,
                  double *row_tallies, double *col_tallies, ptrdiff_t n_rows,
                  int32_t n_components, ptrdiff_t n_cols, double *cumulative) {
  const ptrdiff_t K = n_components;
  Layout whole{};
  whole.n_components = n_components;
  for (ptrdiff_t i = 0; i < n_rows; ++i) {
    const double *count_row = counts + i * n_cols;
    const double *row_w = row_factors + i * K;
    double *row_t = row_tallies + i * K;
    int64_t n = 0;
    for (ptrdiff_t j = next_sampled(count_row, 0, n_cols, &n); j < n_cols;
         j = next_sampled(count_row, j + 1, n_cols, &n)) {
      double total = 0.0;
      for (ptrdiff_t k = 0; k < K; ++k) {
        total = col_factors[k * n_cols + j] * row_w[k] + total;
        cumulative[k] = total;
      }
      draw_cell(whole, cumulative, false, n, row_t, col_tallies + j, n_cols);
    }
  }
}

// The batched loop: sampled cells of a row are taken Lanes at a time, their
// sums built together, then their draws made one cell after the other.
template <int Lanes>
void sample_batched(const Layout &l, const double *counts, const double *row_factors,
                    const double *col_factors, double *row_tallies, double *col_tallies,
                    ptrdiff_t n_rows, ptrdiff_t C) {
  const ptrdiff_t K = l.n_components;
  alignas(64) double buf[kSumDoubles];
  // Padding past the sums and past the block entries is never overwritten.
  for (int c = 0; c < Lanes; ++c) {
    double *cell = buf + c * l.stride;
    for (ptrdiff_t k = K; k < l.padded; ++k) cell[k] = kInf;
    for (ptrdiff_t b = l.blocks; b < l.blocks_padded; ++b) cell[l.padded + b] = kInf;
  }

  for (ptrdiff_t i = 0; i < n_rows; ++i) {
    const double *count_row = counts + i * C;
    const double *row_w = row_factors + i * K;
    double *row_t = row_tallies + i * K;
    int64_t n = 0;
    ptrdiff_t j = next_sampled(count_row, 0, C, &n);
    while (j < C) {
      ptrdiff_t cols[Lanes];
      int64_t draws[Lanes];
      int batch = 0;
      do {
        cols[batch] = j;
        draws[batch] = n;
        ++batch;
        j = next_sampled(count_row, j + 1, C, &n);
      } while (batch < Lanes && j < C);
      for (int c = batch; c < Lanes; ++c) cols[c] = cols[batch - 1];
      bool sorted[Lanes];
      build_sums<Lanes>(l, row_w, col_factors, C, cols, buf, sorted);
      for (int c = 0; c < batch; ++c)
        draw_cell(l, buf + c * l.stride, sorted[c], draws[c], row_t, col_tallies + cols[c], C);
    }
  }
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

  const Layout l = plan(n_components);
  auto run = [&](auto sampler) {
    sampler(l, counts, row_factors, col_factors, row_tallies, col_tallies, n_rows, C);
  };
  switch (l.lanes) {
    case 8: run(sample_batched<8>); break;
    case 4: run(sample_batched<4>); break;
    case 2: run(sample_batched<2>); break;
    case 1: run(sample_batched<1>); break;
    default:
      sample_plain(counts, row_factors, col_factors, row_tallies, col_tallies, n_rows,
                   n_components, C, cumulative);
  }
  free(cumulative);
}
