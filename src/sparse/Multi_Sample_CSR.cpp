// Multi_Sample over CSR counts.  Exact because a cell below 0.5 takes nothing
// from rand() and each tally element only ever receives += 1.0: visiting
// the stored cells of each row in ascending column order, rows in order,
// consumes the same rand() values in the same order as the dense pass over
// the densified matrix, and adds the same 1.0s to the same elements in the
// same order.  Like libsampling_kernels.so it has no C++ runtime: it needs
// libc and that library only, and uses nothing beyond malloc, free, rand and
// the library's Binary_Search.
//
// The plain loop per stored cell is: running sums of col_factors[k, j] *
// row_factors[i, k] + total in ascending k; per draw r = rand(),
// u = r / 2147483647.0, target = u * total, e = Binary_Search(sums, K,
// target), row_tallies[i, e] += 1.0, col_tallies[e, j] += 1.0.  What departs
// from it, keeping every rounding:
//   - when the matrix has at least n_cols entries the column factors are
//     worked on transposed, in one malloc'd block, each column's K factors
//     followed by 16-bit counts of its draws per component, so that a cell's
//     factors and counts are adjacent; each tally element only receives
//     +1.0, so c of them are one add_ones of c, which the caller's column
//     tallies take at the end (or whenever a count reaches kCountLimit);
//   - the running sums of up to eight cells of a row are built at once, as
//     independent vector lanes, each lane's chain rounded as in the loop,
//     while the columns of the next cells are prefetched; with AVX2, on
//     large calls, four cells to a vector;
//   - in a cell whose sums are known finite and non-decreasing the search
//     is a branch-free count of the sums below the target (in two levels
//     above 24 components, unrolled for each shape up to 256), which equals
//     Binary_Search there; every other cell calls Binary_Search itself.
#include "sampling_kernels.h"
#include "sampling_kernels_sparse.h"

#include <cpuid.h>
#include <emmintrin.h>
#include <immintrin.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <xmmintrin.h>

// The draw rule, its constants and the vector count are the dense path's own.
#include "../sk_batched.h"
#include "../sk_common.h"

#define SK_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using sk::draws_for;
using sk::kInf;
using sk::kMaxFinite;
using sk::kRandMax;
using sk::round_up;

constexpr int kLanes = 8;
// Components up to which a draw counts all sums in one level: more compares
// than two levels, but no level waiting on the other, and the search of a
// draw is on the path from one batch's rand() calls to the next's.
constexpr ptrdiff_t kOneLevel = 24;
// Entries per block of the two-level count: 4 up to kSmallBlocks
// components, 16 above (fewest compares per draw either way).
constexpr ptrdiff_t kSmallBlocks = 48;

// Whether the n column indices at idx (none when n is 0) ascend strictly
// from at least 0 to below n_cols, so that each one is in range: four pairs
// of neighbours to a compare, nothing read past the n.
bool row_ascending(const int32_t *idx, int64_t n, int32_t n_cols) {
  if (n == 0) return true;
  if (idx[0] < 0 || idx[n - 1] >= n_cols) return false;
  __m128i ascending = _mm_set1_epi32(-1);
  int64_t t = 0;
  for (; t + 5 <= n; t += 4) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(idx + t));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(idx + t + 1));
    ascending = _mm_and_si128(ascending, _mm_cmpgt_epi32(b, a));
  }
  if (_mm_movemask_epi8(ascending) != 0xffff) return false;
  for (; t + 1 < n; ++t)
    if (idx[t + 1] <= idx[t]) return false;
  return true;
}

int32_t validate(const int64_t *row_offsets, const int32_t *col_indices, const double *values,
                 const double *row_factors, const double *col_factors,
                 const double *row_tallies, const double *col_tallies, int32_t n_rows,
                 int32_t n_components, int32_t n_cols) {
  if (n_rows < 0 || n_cols < 0 || n_components < 1) return SK_CSR_BAD_SHAPE;
  if (row_offsets == nullptr) return SK_CSR_NULL_ARRAY;
  if (n_rows > 0 && (row_factors == nullptr || row_tallies == nullptr)) return SK_CSR_NULL_ARRAY;
  if (n_cols > 0 && (col_factors == nullptr || col_tallies == nullptr)) return SK_CSR_NULL_ARRAY;
  if (row_offsets[0] != 0) return SK_CSR_OFFSETS_NOT_FROM_ZERO;
  // All offsets are then >= 0, so the differences cannot overflow.
  for (ptrdiff_t i = 0; i < n_rows; ++i) {
    if (row_offsets[i + 1] < row_offsets[i]) return SK_CSR_OFFSETS_DECREASE;
    if (row_offsets[i + 1] - row_offsets[i] > n_cols) return SK_CSR_ROW_OVERRUN;
  }
  if (row_offsets[n_rows] > 0 && (col_indices == nullptr || values == nullptr))
    return SK_CSR_NULL_ARRAY;
  for (ptrdiff_t i = 0; i < n_rows; ++i) {
    // A sound row passes at a few instructions an entry; the loop below
    // finds which fault comes first in one that does not.
    if (row_ascending(col_indices + row_offsets[i], row_offsets[i + 1] - row_offsets[i], n_cols))
      continue;
    int32_t previous = -1;
    for (int64_t p = row_offsets[i]; p < row_offsets[i + 1]; ++p) {
      const int32_t j = col_indices[p];
      if (j < 0 || j >= n_cols) return SK_CSR_INDEX_OUT_OF_RANGE;
      if (j == previous) return SK_CSR_INDEX_REPEATED;
      if (j < previous) return SK_CSR_INDICES_UNSORTED;
      previous = j;
    }
  }
  return SK_CSR_OK;
}

// How one cell's running sums lie in the batch buffer: `padded` entries (the
// sums, then +inf) and, above kOneLevel components, the last sum of every
// block of `block` entries, padded with +inf, for the two-level count.
struct Layout {
  ptrdiff_t K;
  ptrdiff_t block;  // entries per block
  ptrdiff_t padded;
  ptrdiff_t blocks;
  ptrdiff_t blocks_padded;
  ptrdiff_t stride;
};

inline Layout plan(ptrdiff_t K) {
  Layout l{};
  l.K = K;
  l.block = K <= kSmallBlocks ? 4 : 16;
  if (K <= kOneLevel) {
    l.padded = round_up(K, 4);
  } else {
    l.padded = round_up(K, l.block);
    l.blocks = l.padded / l.block;
    l.blocks_padded = round_up(l.blocks, 4);
  }
  l.stride = l.padded + l.blocks_padded;
  return l;
}

// Draws a column's count of one component holds before it is emptied into
// the caller's tally.
constexpr uint16_t kCountLimit = 65535;

// Rare, and kept out of line so that the draw loops that tally stay small.
__attribute__((noinline, cold)) void empty_count(double *tally, uint16_t &count) {
  sk::add_ones(tally, count);
  count = 0;
}

// Where one draw's column tally goes: a count (transposed) or the tally.
template <bool Transposed>
struct SlotOf {
  using type = double *;
};
template <>
struct SlotOf<true> {
  using type = uint16_t *;
};

// Where column j's factors and tallies lie.  Transposed: at j * stride, its
// K factors and then its K counts, one component after the other.
// Otherwise the caller's arrays: at j, the components n_cols apart.
template <bool Transposed>
struct Columns {
  const double *factors;
  double *tallies;  // the caller's, K x n_cols
  ptrdiff_t K, C;
  ptrdiff_t stride;  // transposed: doubles from one column's factors to the next's
  ptrdiff_t at(ptrdiff_t j) const { return Transposed ? j * stride : j; }
  ptrdiff_t step() const { return Transposed ? 1 : C; }
  // Transposed, column j's K factors are followed by its K counts of draws
  // per component, which reach the caller's tallies at the end.
  uint16_t *counts(ptrdiff_t j) const {
    return reinterpret_cast<uint16_t *>(const_cast<double *>(factors) + j * stride + K);
  }
  // One draw of component e in column j.  A count that reaches its largest
  // value is emptied into the caller's tally: c additions of 1.0 are one
  // add_ones of c.
  void add(ptrdiff_t j, ptrdiff_t e) const { bump(slot(j, e)); }
  // The same in two steps, so that a loop can hold where a draw goes
  // (one pointer) and add it later.
  using Slot = typename SlotOf<Transposed>::type;
  Slot slot(ptrdiff_t j, ptrdiff_t e) const { return slot_in(column(j), e); }
  // Column j's slot of component 0, and component e's from it.
  Slot column(ptrdiff_t j) const {
    if constexpr (Transposed)
      return counts(j);
    else
      return tallies + j;
  }
  Slot slot_in(Slot column, ptrdiff_t e) const {
    if constexpr (Transposed)
      return column + e;
    else
      return column + e * C;
  }
  void bump(Slot s) const {
    if constexpr (Transposed) {
      if (++*s == kCountLimit) empty_slot(s);
    } else {
      *s += 1.0;
    }
  }
  // A full count, found from where it lies: column j's record holds its K
  // factors and then count e at byte K * 8 + 2e, short of the next record.
  __attribute__((noinline, cold)) void empty_slot(uint16_t *s) const {
    const ptrdiff_t bytes =
        reinterpret_cast<const char *>(s) - reinterpret_cast<const char *>(factors);
    const ptrdiff_t record = stride * static_cast<ptrdiff_t>(sizeof(double));
    const ptrdiff_t j = bytes / record;
    const ptrdiff_t e = (bytes - j * record - K * static_cast<ptrdiff_t>(sizeof(double))) / 2;
    empty_count(tallies + e * C + j, *s);
  }
};

// Adds every column's counts to the caller's column tallies, a few columns
// at a time so that their counts stay in cache while the tally rows pass.
// Out of line: its registers would otherwise widen the frame under the
// sampling pass.
__attribute__((noinline)) void add_counts(const Columns<true> &cs) {
  constexpr ptrdiff_t kColumns = 64;
  const ptrdiff_t K = cs.K, C = cs.C;
  for (ptrdiff_t j0 = 0; j0 < C; j0 += kColumns) {
    const ptrdiff_t j1 = j0 + kColumns < C ? j0 + kColumns : C;
    for (ptrdiff_t k = 0; k < K; ++k) {
      double *const col_t = cs.tallies + k * C;
      for (ptrdiff_t j = j0; j < j1; ++j) sk::add_ones(col_t + j, cs.counts(j)[k]);
    }
  }
}

// The component of a draw in a cell with finite, non-decreasing sums; for
// such sums and a target in [0, total] it is what Binary_Search returns.
inline ptrdiff_t sorted_index(const Layout &l, const double *sums, double target) {
  return sk::count_sorted(sums, l.padded, l.blocks, l.blocks_padded, l.block, l.K, target);
}

}  // namespace

// The pass, once for any x86-64 CPU and once for CPUs with AVX2 (whose
// functions are named by their namespace, as the frame check expects).  The
// AVX2 target brings no FMA, and -ffp-contract=off holds for both.
namespace baseline {
namespace {
#define SK_CSR_WIDE 0
#include "sk_csr_kernel.h"
#undef SK_CSR_WIDE
}  // namespace
}  // namespace baseline

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
namespace {
#define SK_CSR_WIDE 1
#include "sk_csr_kernel.h"
#undef SK_CSR_WIDE
}  // namespace
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace {

// dst[c * dst_stride + r] = src[r * src_stride + c] for r < rows, c < cols,
// and dst[c * dst_stride + r] = 0.0 for rows <= r < dst_stride, in tiles
// that keep both sides' lines in cache, two rows by two columns at a time
// (a 2 x 2 turn of two vector loads).  Each tile of columns is finished,
// padding and all, before the next is begun, so that every line of dst is
// written in one visit however many rows there are.  Returns whether any
// value copied has its sign bit set.  Moves, no arithmetic: every bit is
// kept.  Out of line, so that its registers do not widen the frame under
// the sampling pass.
__attribute__((noinline)) bool transpose(const double *src, ptrdiff_t src_stride, double *dst,
                                         ptrdiff_t dst_stride, ptrdiff_t rows, ptrdiff_t cols) {
  constexpr ptrdiff_t kTile = 16;
  __m128d bits = _mm_setzero_pd();
  auto copy_one = [&](ptrdiff_t r, ptrdiff_t c) {
    const __m128d x = _mm_load_sd(src + r * src_stride + c);
    bits = _mm_or_pd(bits, x);
    _mm_store_sd(dst + c * dst_stride + r, x);
  };
  for (ptrdiff_t c0 = 0; c0 < cols; c0 += kTile) {
    const ptrdiff_t c1 = c0 + kTile < cols ? c0 + kTile : cols;
    for (ptrdiff_t r0 = 0; r0 < rows; r0 += kTile) {
      const ptrdiff_t r1 = r0 + kTile < rows ? r0 + kTile : rows;
      ptrdiff_t r = r0;
      for (; r + 2 <= r1; r += 2) {
        const double *const s0 = src + r * src_stride;
        ptrdiff_t c = c0;
        for (; c + 2 <= c1; c += 2) {
          const __m128d a = _mm_loadu_pd(s0 + c), b = _mm_loadu_pd(s0 + src_stride + c);
          bits = _mm_or_pd(bits, _mm_or_pd(a, b));
          _mm_storeu_pd(dst + c * dst_stride + r, _mm_unpacklo_pd(a, b));
          _mm_storeu_pd(dst + (c + 1) * dst_stride + r, _mm_unpackhi_pd(a, b));
        }
        if (c < c1) {
          copy_one(r, c);
          copy_one(r + 1, c);
        }
      }
      if (r < r1)
        for (ptrdiff_t c = c0; c < c1; ++c) copy_one(r, c);
    }
    for (ptrdiff_t c = c0; c < c1; ++c)
      for (ptrdiff_t r = rows; r < dst_stride; ++r) dst[c * dst_stride + r] = 0.0;
  }
  return _mm_movemask_pd(bits) != 0;
}

// Calls with fewer products than this keep to the baseline kernel: asking
// the CPU what it has takes three cpuid, each of which traps to the
// hypervisor in a VM (4 to 18 us in all), against at least half a
// millisecond of work in such a call.
constexpr int64_t kWideProducts = int64_t{1} << 20;

// Whether this CPU and its OS run AVX2 code: cpuid reaches leaf 7, leaf 1
// has OSXSAVE and AVX, XCR0 has the SSE and AVX states on, leaf 7 has AVX2.
bool avx2_usable() {
  unsigned a, b, c, d;
  __cpuid(0, a, b, c, d);
  if (a < 7) return false;
  __cpuid(1, a, b, c, d);
  if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return false;
  unsigned xcr0, xcr0_high;
  __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  if ((xcr0 & 6) != 6) return false;
  __cpuid_count(7, 0, a, b, c, d);
  return (b & bit_AVX2) != 0;
}

// Test builds pin one kernel with SK_CSR_KERNEL (1 the baseline, 2 AVX2),
// since the library reads no environment; 0 chooses at run time.
#ifndef SK_CSR_KERNEL
#define SK_CSR_KERNEL 0
#endif

bool use_avx2(int64_t nnz, ptrdiff_t K) {
  if (SK_CSR_KERNEL != 0) return SK_CSR_KERNEL == 2;
  return nnz >= kWideProducts / K && avx2_usable();
}

}  // namespace

SK_EXPORT int32_t Multi_Sample_CSR(const int64_t *row_offsets, const int32_t *col_indices,
                                   const double *values, const double *row_factors,
                                   const double *col_factors, double *row_tallies,
                                   double *col_tallies, int32_t n_rows, int32_t n_components,
                                   int32_t n_cols) {
  const int32_t status = validate(row_offsets, col_indices, values, row_factors, col_factors,
                                  row_tallies, col_tallies, n_rows, n_components, n_cols);
  if (status != SK_CSR_OK) return status;
  const int64_t nnz = row_offsets[n_rows];
  if (nnz == 0) return SK_CSR_OK;

  const ptrdiff_t K = n_components, C = n_cols, R = n_rows;
  const Layout l = plan(K);
  const size_t batch = static_cast<size_t>(kLanes * l.stride);
  // Transposed copies pay for themselves once there is about one entry per
  // column; below that, the caller's arrays are used as they are.
  const bool transposed = nnz >= C;
  size_t doubles = batch;
  // A column's K factors and K 16-bit counts.
  const ptrdiff_t column_stride = K + (K * 2 + 7) / 8;
  if (transposed) {
    const size_t cells = static_cast<size_t>(C) * static_cast<size_t>(column_stride);  // < 2^62
    if (cells > SIZE_MAX / sizeof(double) - batch) return SK_CSR_NO_MEMORY;
    doubles += cells;
  }
  double *scratch = static_cast<double *>(malloc(doubles * sizeof(double)));
  if (scratch == nullptr) return SK_CSR_NO_MEMORY;
  double *buf = scratch;  // malloc's alignment suits the aligned loads

  if (transposed) {
    // Column j's K factors, then its K counts (from zero): one stretch of
    // memory per cell, so one page and adjacent lines.
    double *factors_t = scratch + batch;
    const bool column_signs = transpose(col_factors, C, factors_t, column_stride, K, C);
    const Columns<true> cs{factors_t, col_tallies, K, C, column_stride};
    // Only this path's sums build has a wider form.
    if (use_avx2(nnz, K))
      avx2::sample(row_offsets, col_indices, values, row_factors, row_tallies, cs, l, R, buf,
                   column_signs);
    else
      baseline::sample(row_offsets, col_indices, values, row_factors, row_tallies, cs, l, R,
                       buf, column_signs);
    add_counts(cs);
  } else {
    const Columns<false> cs{col_factors, col_tallies, K, C, 0};
    baseline::sample(row_offsets, col_indices, values, row_factors, row_tallies, cs, l, R, buf,
                     true);
  }
  free(scratch);
  return SK_CSR_OK;
}
