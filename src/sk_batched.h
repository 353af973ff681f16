// The batched fast path of Multi_Sample (private to the library).
//
// Where it departs from the plain loop, and why it stays exact:
//   - the running sums of up to eight sampled cells of a row are built at
//     once, as independent chains whose every product and sum is rounded as
//     in the plain loop (one vector lane per cell, k ascending);
//   - each draw calls rand() as it is placed, in row-major order, as in the
//     plain loop (glibc's rand() takes a lock, which overlaps the arithmetic
//     around it but not the loads and stores before it), while the tallies
//     of a stretch of draws are added after all its searches, their lines
//     prefetched: each tally element only ever receives +1.0, so the order
//     of the additions does not matter;
//   - in a cell whose running sums are known to be finite and
//     non-decreasing, the search equals a count of the sums below the draw,
//     done branch-free with vector compares; every other cell uses the
//     three-way search itself, on sums in the caller's scratch array;
//   - with many components only the last sum of each block of sums is kept
//     (the "ends" layout); a draw counts the blocks below it, then rebuilds
//     its own block from the kept sum before it, which repeats the chain's
//     roundings exactly.  A cell with many draws instead gets its whole
//     chain in the scratch array, rebuilt from the kept ends eight blocks at
//     a time (each block restarted from its exact stored predecessor); with
//     thousands of components such a cell is drawn alone, after everything
//     gathered before it, with the plain chain;
//   - runs of cells with counts below 0.5 are skipped with vector compares,
//     sixteen at a time.
//
// Stack: one buffer of kSumDoubles doubles and the components of one
// stretch of kRandBatch draws; tests/stack_test.cpp measures the whole call.
#pragma once

#include <emmintrin.h>
#include <xmmintrin.h>

#include <type_traits>

#include "sk_cell.h"
#include "sk_common.h"

namespace sk {

// Working memory on the stack: running sums of a batch of cells, and the
// components of one stretch of its draws.  The placing frame below them
// keeps its registers across the rand() calls, so the stretch is short:
// 32 tally lines already overlap as well as 64 did.
constexpr ptrdiff_t kSumDoubles = 704;
constexpr int kRandBatch = 32;
// Entries per block of the two-level count.
constexpr ptrdiff_t kBlock = 16;
// Draws of a batch up to which its draws are made in one loop.
constexpr int64_t kFlatDraws = 64;
// Candidates among eight counts from which the eight are sampled as one block.
constexpr int kDenseBlock = 5;

// Number of the n entries of a below x; n is a multiple of 4 and a is
// 16-byte aligned.  A true compare is all ones, -1 as an integer, so
// subtracting it counts.
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

// Number of the first 2 * Pairs entries of a below x, for a 16-byte
// aligned a: count_below by pairs, for a length known when compiled.
template <int Pairs>
inline ptrdiff_t count_pairs_below(const double *a, double x) {
  const __m128d v = _mm_set1_pd(x);
  __m128i acc = _mm_setzero_si128();
#pragma GCC unroll 8
  for (int k = 0; k < 2 * Pairs; k += 2)
    acc = _mm_add_epi64(acc, _mm_castpd_si128(_mm_cmplt_pd(_mm_load_pd(a + k), v)));
  return -(_mm_cvtsi128_si64(acc) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
}

// Bit c set when count p[c] is at least 0.5 (NaN is not), for 8 counts.
inline unsigned candidates(const double *p) {
  const __m128d half = _mm_set1_pd(0.5);
  return static_cast<unsigned>(_mm_movemask_pd(_mm_cmple_pd(half, _mm_loadu_pd(p)))) |
         static_cast<unsigned>(_mm_movemask_pd(_mm_cmple_pd(half, _mm_loadu_pd(p + 2)))) << 2 |
         static_cast<unsigned>(_mm_movemask_pd(_mm_cmple_pd(half, _mm_loadu_pd(p + 4)))) << 4 |
         static_cast<unsigned>(_mm_movemask_pd(_mm_cmple_pd(half, _mm_loadu_pd(p + 6)))) << 6;
}

// Whether any of 16 counts is at least 0.5.  The counts ahead are
// prefetched: the scan streams through them.
inline bool any_candidate16(const double *p) {
  _mm_prefetch(reinterpret_cast<const char *>(p + 128), _MM_HINT_T0);
  _mm_prefetch(reinterpret_cast<const char *>(p + 136), _MM_HINT_T0);
  const __m128d half = _mm_set1_pd(0.5);
  const __m128d a = _mm_or_pd(_mm_cmple_pd(half, _mm_loadu_pd(p)),
                              _mm_cmple_pd(half, _mm_loadu_pd(p + 2)));
  const __m128d b = _mm_or_pd(_mm_cmple_pd(half, _mm_loadu_pd(p + 4)),
                              _mm_cmple_pd(half, _mm_loadu_pd(p + 6)));
  const __m128d c = _mm_or_pd(_mm_cmple_pd(half, _mm_loadu_pd(p + 8)),
                              _mm_cmple_pd(half, _mm_loadu_pd(p + 10)));
  const __m128d d = _mm_or_pd(_mm_cmple_pd(half, _mm_loadu_pd(p + 12)),
                              _mm_cmple_pd(half, _mm_loadu_pd(p + 14)));
  return _mm_movemask_pd(_mm_or_pd(_mm_or_pd(a, b), _mm_or_pd(c, d))) != 0;
}

// Set bits among the low eight (popcnt is not in baseline x86-64).
inline int popcount8(unsigned bits) {
  bits = bits - ((bits >> 1) & 0x55u);
  bits = (bits & 0x33u) + ((bits >> 2) & 0x33u);
  return static_cast<int>((bits + (bits >> 4)) & 0x0fu);
}

// Calls cell(i, j, draws) for every cell that makes draws, in row-major
// order, and row_done(i) after each row.  Eight counts are tested at once,
// so runs of empty cells cost a few vector compares.  A block of eight
// whose candidates dense(i, j, bits) accepts is left to it whole.
//
// Rows in which between 1/64 and 1/4 of the cells make draws (judged by the
// row before) are scanned another way: there, whether a block of sixteen
// is empty is a coin toss for the branch predictor, and its misses cost
// more than the scan.  Each stretch of 64 counts becomes one bit mask of
// its cells at or above 0.5, whose set bits are then walked.

template <typename Cell, typename Dense, typename RowDone>
__attribute__((always_inline)) inline void scan_counts(const double *counts, ptrdiff_t n_rows, ptrdiff_t n_cols, Cell &&cell,
                        Dense &&dense, RowDone &&row_done) {
  bool compact = false;
  for (ptrdiff_t i = 0; i < n_rows; ++i) {
    const double *row = counts + i * n_cols;
    ptrdiff_t found_in_row = 0;
    ptrdiff_t j = 0;
    if (compact) {
      for (; j < n_cols; j += 64) {
        const double *p = row + j;
        uint64_t mask = 0;
        if (j + 64 <= n_cols) {
#pragma GCC unroll 8
          for (int q = 0; q < 8; ++q) mask |= static_cast<uint64_t>(candidates(p + 8 * q)) << 8 * q;
        } else {
          for (ptrdiff_t c = 0; c < n_cols - j; ++c)
            mask |= static_cast<uint64_t>(p[c] >= 0.5) << c;
        }
        for (; mask != 0; mask &= mask - 1) {
          const ptrdiff_t at = j + __builtin_ctzll(mask);
          found_in_row += 1;
          const int64_t draws = draws_for(row[at]);
          if (draws != 0) cell(i, at, draws);
        }
      }
    } else {
      for (; j + 8 <= n_cols; j += 8) {
        // Sixteen empty counts cost one test: sparse rows are mostly that.
        if (j + 16 <= n_cols && !any_candidate16(row + j)) {
          j += 8;
          continue;
        }
        const unsigned candidate_bits = candidates(row + j);
        found_in_row += popcount8(candidate_bits);
        if (candidate_bits == 0 || dense(i, j, candidate_bits)) continue;
        for (unsigned bits = candidate_bits; bits != 0; bits &= bits - 1) {
          const ptrdiff_t at = j + __builtin_ctz(bits);
          const int64_t n = draws_for(row[at]);
          if (n != 0) cell(i, at, n);
        }
      }
      for (; j < n_cols; ++j) {
        const int64_t n = draws_for(row[j]);
        if (n != 0) cell(i, j, n);
      }
    }
    compact = found_in_row * 64 >= n_cols && found_in_row * 4 < n_cols;
    row_done(i);
  }
}

inline ptrdiff_t round_up(ptrdiff_t n, ptrdiff_t m) { return (n + m - 1) / m * m; }

// How one cell's running sums are kept in the batch buffer.
//   full:  `padded` entries (the sums, then +inf), and with blocks one entry
//          per block (its last sum), padded with +inf, for the two-level
//          count;
//   ends:  only the block entries: the last sum of each block (the total
//          for the last block), padded with +inf.
struct Layout {
  int32_t n_components;
  bool ends;
  ptrdiff_t padded;  // full: multiple of 4 (of `block` when blocked); ends: 0
  ptrdiff_t block;   // sums per block; 0: a single count over `padded`
  ptrdiff_t blocks;
  ptrdiff_t blocks_padded;
  ptrdiff_t stride;  // doubles per cell in the buffer
};

// Full sums while eight cells fit.  Beyond that the ends layout, with the
// smallest block (a power of two, at least 4) for which eight cells fit:
// small blocks make a draw's rebuild short, and eight independent chains
// keep the adder busy while the sums are built.  Any n_components has a
// plan.
inline Layout plan(int32_t n_components) {
  Layout l{};
  l.n_components = n_components;
  const ptrdiff_t K = n_components;
  if (K <= kBlock) {
    l.padded = round_up(K, 4);
  } else {
    l.block = kBlock;
    l.padded = round_up(K, kBlock);
    l.blocks = l.padded / kBlock;
    l.blocks_padded = round_up(l.blocks, 4);
  }
  l.stride = l.padded + l.blocks_padded;
  if (l.stride * 8 <= kSumDoubles) return l;
  l.ends = true;
  l.padded = 0;
  for (ptrdiff_t block = 4;; block *= 2) {
    l.block = block;
    l.blocks = (K + block - 1) / block;
    l.blocks_padded = round_up(l.blocks, 4);
    l.stride = l.blocks_padded;
    if (l.stride * 8 <= kSumDoubles) return l;
  }
}

// What the draws of one row need besides the buffer.
struct RowArgs {
  const double *row_w;        // row_factors of the row
  const double *col_factors;  // n_components x n_cols
  ptrdiff_t n_cols;
  double *row_t;        // row_tallies of the row
  double *col_tallies;  // n_components x n_cols
  double *scratch;      // n_components doubles
  // Which cell's whole chain the scratch array holds (row_w, column), so
  // that a cell whose draws span two stretches builds it once.
  const double **scratch_row;
  ptrdiff_t *scratch_col;
};

// The whole chain of cell (row, j) in the scratch array, rebuilt from the
// kept block ends: each block's chain restarts from the stored last sum of
// the block before, so the blocks are independent and eight of them run
// side by side, while every sum is rounded exactly as in the one long chain.
inline void chain_in_scratch(const Layout &l, const double *ends, const RowArgs &a,
                             ptrdiff_t j) {
  if (*a.scratch_row == a.row_w && *a.scratch_col == j) return;
  const ptrdiff_t K = l.n_components, B = l.block, C = a.n_cols;
  const double *cf = a.col_factors + j;
  const double *w = a.row_w;
  double *out = a.scratch;
  const ptrdiff_t whole = K / B;  // blocks with B sums
  ptrdiff_t b0 = 0;
  for (; b0 + 8 <= whole; b0 += 8) {
    double t[8];
#pragma GCC unroll 8
    for (int q = 0; q < 8; ++q) t[q] = b0 + q == 0 ? 0.0 : ends[b0 + q - 1];
    for (ptrdiff_t kk = 0; kk < B; ++kk) {
#pragma GCC unroll 8
      for (int q = 0; q < 8; ++q) {
        const ptrdiff_t k = (b0 + q) * B + kk;
        t[q] = cf[k * C] * w[k] + t[q];
        out[k] = t[q];
      }
    }
  }
  // The remaining blocks, the last one perhaps partial, one chain each.
  for (ptrdiff_t b = b0; b < l.blocks; ++b) {
    double t = b == 0 ? 0.0 : ends[b - 1];
    const ptrdiff_t stop = (b + 1) * B < K ? (b + 1) * B : K;
    for (ptrdiff_t k = b * B; k < stop; ++k) {
      t = cf[k * C] * w[k] + t;
      out[k] = t;
    }
  }
  *a.scratch_row = a.row_w;
  *a.scratch_col = j;
}

// The component of a draw in a cell with finite, non-decreasing running
// sums: the number of sums below the draw, which for such sums and a draw
// that is not NaN is what search() returns.  The sums are `padded` entries
// (+inf past the K sums); with blocks, followed by the last sum of each
// block of `block` entries, padded to `blocks_padded` with +inf.  Shared
// with the CSR companion, whose blocks are sized differently.
inline ptrdiff_t count_sorted(const double *sums, ptrdiff_t padded, ptrdiff_t blocks,
                              ptrdiff_t blocks_padded, ptrdiff_t block, ptrdiff_t K,
                              double target) {
  ptrdiff_t e;
  if (blocks == 0) {
    e = count_below(sums, padded, target);
  } else {
    // Blocks wholly below the draw; the draw's own block is never past the
    // last, since the total (or +inf padding) ends it and is not below.
    const ptrdiff_t b = count_below(sums + padded, blocks_padded, target);
    e = b * block + count_below(sums + b * block, block, target);
  }
  // Sorted sums have a total of at least 0, so the draw never exceeds it and
  // e is at most K - 1 already; the clamp only keeps the tally writes in
  // range whatever happens.
  return e < K - 1 ? e : K - 1;
}

// The same for a full-layout cell.
inline ptrdiff_t sorted_index(const Layout &l, const double *sums, double target) {
  return count_sorted(sums, l.padded, l.blocks, l.blocks_padded, kBlock, l.n_components, target);
}

// The same for an ends-layout cell in column j: the blocks below the draw
// are counted, then the draw's block is rebuilt from the last sum before it
// (the chain restarted from a stored value rounds exactly as before).
inline ptrdiff_t sorted_index_ends(const Layout &l, const double *ends, const RowArgs &a,
                                   ptrdiff_t j, double target) {
  ptrdiff_t b = count_below(ends, l.blocks_padded, target);
  if (b > l.blocks - 1) b = l.blocks - 1;
  const ptrdiff_t K = l.n_components;
  const ptrdiff_t start = b * l.block;
  const ptrdiff_t stop = start + l.block < K ? start + l.block : K;
  double t = b == 0 ? 0.0 : ends[b - 1];
  const double *cf = a.col_factors + j;
  ptrdiff_t e = start;
  for (ptrdiff_t k = start; k < stop; ++k) {
    t = cf[k * a.n_cols] * a.row_w[k] + t;
    e += t < target;
  }
  const ptrdiff_t last = K - 1;
  return e < last ? e : last;
}

// Adds c ones to *x, with the bits of c additions of 1.0 one after the
// other.  For an integer-valued x with |x| <= 2^52 every partial sum is an
// integer below 2^53 and so exact, and one addition of c gives the same
// result; anything else (fractions, huge values, NaN) takes the c additions.
// No addition at all when c is 0, so that -0.0 stays -0.0.
inline void add_ones(double *x, int64_t c) {
  if (c == 0) return;
  double v = *x;
  if (v >= -0x1p52 && v <= 0x1p52 && static_cast<double>(static_cast<int64_t>(v)) == v) {
    v += static_cast<double>(c);
  } else {
    for (; c > 0; --c) v += 1.0;
  }
  *x = v;
}

// The next m draws of one cell (column j) whose sums are at `sums`, each
// calling rand() as it is placed; the cell makes `cell_draws` in all.
// Deferred: r[d] receives draw d's component, whose column tally line is
// prefetched, and draw_cells adds the ones later (where the tallies take a
// component's draws at once here, r[d] is -1).  Otherwise the ones are
// added at once.
template <bool Defer>
inline void place_draws(const Layout &l, const double *sums, bool sorted, ptrdiff_t j,
                        int32_t *r, int64_t m, int64_t cell_draws, const RowArgs &a) {
  double *const row_t = a.row_t;
  double *const col_t = a.col_tallies + j;
  const ptrdiff_t n_cols = a.n_cols;
  const ptrdiff_t K = l.n_components;
  auto record = [r, row_t, col_t, n_cols](int64_t at, ptrdiff_t e) {
    if (Defer) {
      r[at] = static_cast<int32_t>(e);
      _mm_prefetch(reinterpret_cast<const char *>(col_t + e * n_cols), _MM_HINT_T0);
    } else {
      row_t[e] += 1.0;
      col_t[e * n_cols] += 1.0;
    }
  };
  int64_t d = 0;
  if (l.ends) {
    const double total = sums[l.blocks - 1];
    // Rebuilding the whole chain costs about as much as rebuilding a block
    // for each of blocks / 4 draws.
    if (sorted && cell_draws * 4 < l.blocks) {
      for (; d < m; ++d) {
        const double target = static_cast<double>(rand()) / kRandMax * total;
        const ptrdiff_t e = sorted_index_ends(l, sums, a, j, target);
        record(d, e);
      }
    } else if (sorted) {
      // Many draws: the whole chain once, in the scratch array, rather than
      // a block per draw; the blocks below a draw are still counted on the
      // kept ends, then the sums of its block.
      chain_in_scratch(l, sums, a, j);
      for (; d < m; ++d) {
        const double target = static_cast<double>(rand()) / kRandMax * total;
        ptrdiff_t b = count_below(sums, l.blocks_padded, target);
        if (b > l.blocks - 1) b = l.blocks - 1;
        const ptrdiff_t start = b * l.block;
        const ptrdiff_t stop = start + l.block < K ? start + l.block : K;
        ptrdiff_t e = start;
        for (ptrdiff_t k = start; k < stop; ++k) e += a.scratch[k] < target;
        e = e < K - 1 ? e : K - 1;
        record(d, e);
      }
    } else {
      // Unsorted or not finite: the three-way search on the whole chain.
      chain_in_scratch(l, sums, a, j);
      for (; d < m; ++d) {
        const double target = static_cast<double>(rand()) / kRandMax * total;
        const ptrdiff_t e = search(a.scratch, l.n_components, target);
        record(d, e);
      }
    }
    return;
  }
  const double total = sums[K - 1];
  if (sorted && l.blocks == 0 && m >= 2) {
    // Few components: two draws at a time, each lane counting the sums
    // below its draw (entries 0 .. n_components - 2; the total is never
    // below a draw).  Lane arithmetic is the scalar divide, then multiply.
    const ptrdiff_t below = K - 1;
    const __m128d scale = _mm_set1_pd(kRandMax), totals = _mm_set1_pd(total);
    if (K <= 4 && m >= 2 * K) {
      // Many draws on at most four components: per sum, the number of draws
      // above it, in registers; the tallies then take each component's
      // draws at once instead of one after the other through memory.
      // Missing sums are +inf, which no draw is above.
      const __m128d s0 = _mm_set1_pd(below > 0 ? sums[0] : kInf);
      const __m128d s1 = _mm_set1_pd(below > 1 ? sums[1] : kInf);
      const __m128d s2 = _mm_set1_pd(below > 2 ? sums[2] : kInf);
      __m128i a0 = _mm_setzero_si128(), a1 = a0, a2 = a0;
      for (; d + 2 <= m; d += 2) {
        const int32_t first = rand(), second = rand();
        const __m128i two = _mm_set_epi32(0, 0, second, first);
        const __m128d targets = _mm_mul_pd(_mm_div_pd(_mm_cvtepi32_pd(two), scale), totals);
        a0 = _mm_sub_epi64(a0, _mm_castpd_si128(_mm_cmplt_pd(s0, targets)));
        a1 = _mm_sub_epi64(a1, _mm_castpd_si128(_mm_cmplt_pd(s1, targets)));
        a2 = _mm_sub_epi64(a2, _mm_castpd_si128(_mm_cmplt_pd(s2, targets)));
      }
      auto lanes = [](__m128i v) {
        return _mm_cvtsi128_si64(v) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v));
      };
      // above[e]: draws whose component is above e.
      const int64_t above[4] = {lanes(a0), lanes(a1), lanes(a2), 0};
      if (Defer)
        for (int64_t q = 0; q < d; ++q) r[q] = -1;
      int64_t at_least = d;  // draws whose component is e or higher
      for (ptrdiff_t e = 0; e < K; ++e) {
        add_ones(row_t + e, at_least - above[e]);
        add_ones(col_t + e * n_cols, at_least - above[e]);
        at_least = above[e];
      }
    } else {
      // Each sum is paired as it is compared: a buffer of pairs would be
      // live across the rand() calls, on the stack of the deepest frame.
      for (; d + 2 <= m; d += 2) {
        const int32_t first = rand(), second = rand();
        const __m128i two = _mm_set_epi32(0, 0, second, first);
        const __m128d targets = _mm_mul_pd(_mm_div_pd(_mm_cvtepi32_pd(two), scale), totals);
        __m128i acc = _mm_setzero_si128();
        for (ptrdiff_t k = 0; k < below; ++k)
          acc = _mm_sub_epi64(
              acc, _mm_castpd_si128(_mm_cmplt_pd(_mm_set1_pd(sums[k]), targets)));
        const ptrdiff_t e0 = _mm_cvtsi128_si64(acc);
        const ptrdiff_t e1 = _mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc));
        record(d, e0);
        record(d + 1, e1);
      }
    }
  }
  for (; d < m; ++d) {
    const double target = static_cast<double>(rand()) / kRandMax * total;
    const ptrdiff_t e = sorted ? sorted_index(l, sums, target) : search(sums, l.n_components, target);
    record(d, e);
  }
}

// Where the draws of a batch's cells have got to: cell `cell` has `left`
// draws still to make.
struct DrawCursor {
  int cell;
  int64_t left;
};

// Moves past cells with no draws left.
inline void settle(DrawCursor &at, const int64_t *draws, int count) {
  while (at.left == 0 && ++at.cell < count) at.left = draws[at.cell];
}

// The cursor at the first draw of `count` cells (draws[c] each).
inline DrawCursor first_draw(const int64_t *draws, int count) {
  DrawCursor at{0, draws[0]};
  settle(at, draws, count);
  return at;
}

// Moves `next` past up to n draws, across cells, and returns how many.
inline int64_t next_stretch(DrawCursor &next, const int64_t *draws, int count, int64_t n) {
  int64_t m = 0;
  while (m < n && next.cell < count) {
    const int64_t take = next.left < n - m ? next.left : n - m;
    m += take;
    next.left -= take;
    settle(next, draws, count);
  }
  return m;
}

// Splits the m draws from `at` on into runs of one cell: run(cell, first
// draw of the run among the m, its length).
template <typename Run>
inline void for_runs(DrawCursor &at, const int64_t *draws, int count, int64_t m, Run &&run) {
  for (int64_t d = 0; d < m;) {
    const int64_t take = at.left < m - d ? at.left : m - d;
    run(at.cell, d, take);
    d += take;
    at.left -= take;
    settle(at, draws, count);
  }
}

// One cell of a flat batch: how many of the batch's draws come after its
// last, its sums, its total and its column's tallies.
struct FlatCell {
  int64_t after;
  const double *sums;
  double total;
  double *col_t;
};

// All draws of `count` cells of one row when every cell has sorted sums in
// one level: one loop over the draws, each finding its cell by a running
// index into the cells that make draws, so that no branch depends on how
// many draws a cell makes (with real counts those branches miss often).  A
// draw counts the sums below it among the first 2 * Pairs, which cover the
// K - 1 that can be (the total never is).  Deferred, a stretch's components
// and cells are kept as e + 256 * cell.  Out of line, and counting the draws
// left, so that the few values the loop keeps across rand() stay in
// registers rather than in the caller's large frame.
template <int Pairs, bool Defer>
__attribute__((noinline)) void draw_flat(ptrdiff_t K, const double *buf, ptrdiff_t stride,
                                         const int64_t *draws, const ptrdiff_t *cols,
                                         int count, double *row_t, double *col_tallies,
                                         ptrdiff_t n_cols) {
  const ptrdiff_t last = K - 1;
  int64_t all = 0;
  for (int c = 0; c < count; ++c) all += draws[c];
  FlatCell cells[8];
  int n = 0;
  int64_t after = all;
  for (int c = 0; c < count; ++c) {
    after -= draws[c];
    const double *sums = buf + c * stride;
    cells[n] = FlatCell{after, sums, sums[last], col_tallies + cols[c]};
    n += draws[c] != 0;
  }
  // The draw with `left` draws still to make: moves q to its cell, returns
  // its component.
  ptrdiff_t q = 0;
  auto draw = [&cells, &q, last](int64_t left) {
    q += left == cells[q].after;
    const FlatCell &at = cells[q];
    const double target = static_cast<double>(rand()) / kRandMax * at.total;
    const ptrdiff_t e = count_pairs_below<Pairs>(at.sums, target);
    return e < last ? e : last;
  };
  if (!Defer) {
    for (int64_t left = all; left > 0; --left) {
      const ptrdiff_t e = draw(left);
      const FlatCell &at = cells[q];
      row_t[e] += 1.0;
      at.col_t[e * n_cols] += 1.0;
    }
    return;
  }
  int32_t r[kRandBatch];
  for (int64_t left = all; left > 0; left -= kRandBatch) {
    const int m = static_cast<int>(left < kRandBatch ? left : kRandBatch);
    for (int i = 0; i < m; ++i) {
      const ptrdiff_t e = draw(left - i);
      r[i] = static_cast<int32_t>(e + 256 * q);
      _mm_prefetch(reinterpret_cast<const char *>(cells[q].col_t + e * n_cols), _MM_HINT_T0);
    }
    for (int i = 0; i < m; ++i) {
      const ptrdiff_t e = r[i] & 255;
      row_t[e] += 1.0;
      cells[r[i] >> 8].col_t[e * n_cols] += 1.0;
    }
  }
}

// draw_flat for the call's number of components (at most 16).
template <bool Defer>
inline void draw_flat_level(const Layout &l, const double *buf, const int64_t *draws,
                            const ptrdiff_t *cols, int count, const RowArgs &a) {
  const ptrdiff_t K = l.n_components, S = l.stride;
  auto flat = [&](auto pairs) {
    draw_flat<decltype(pairs)::value, Defer>(K, buf, S, draws, cols, count, a.row_t,
                                             a.col_tallies, a.n_cols);
  };
  switch (K / 2) {
    case 0: return flat(std::integral_constant<int, 0>{});
    case 1: return flat(std::integral_constant<int, 1>{});
    case 2: return flat(std::integral_constant<int, 2>{});
    case 3: return flat(std::integral_constant<int, 3>{});
    case 4: return flat(std::integral_constant<int, 4>{});
    case 5: return flat(std::integral_constant<int, 5>{});
    case 6: return flat(std::integral_constant<int, 6>{});
    case 7: return flat(std::integral_constant<int, 7>{});
  }
  flat(std::integral_constant<int, 8>{});
}

// All draws of `count` cells of one row, cell c with its sums at
// buf + c * stride, a stretch at a time.  Deferred, the tally updates of a
// stretch (often cache misses) come after all its draws, their lines
// prefetched, so that they overlap one another instead of each one holding
// back the next locked rand() call.
template <bool Defer>
inline void draw_cells(const Layout &l, const double *buf, const bool *sorted,
                       const int64_t *draws, const ptrdiff_t *cols, int count,
                       const RowArgs &a) {
  // Many draws a cell go faster two at a time, or counted in registers.
  bool flat = !l.ends && l.blocks == 0;
  int64_t all = 0;
  for (int c = 0; c < count; ++c) {
    flat &= sorted[c] && (l.n_components > 4 || draws[c] < 2 * l.n_components);
    all += draws[c];
  }
  flat &= all <= kFlatDraws;
  if (flat) return draw_flat_level<Defer>(l, buf, draws, cols, count, a);
  DrawCursor next = first_draw(draws, count);
  int32_t r[kRandBatch];
  while (next.cell < count) {
    DrawCursor at = next, tally = next;
    const int64_t m = next_stretch(next, draws, count, kRandBatch);
    for_runs(at, draws, count, m, [&](int c, int64_t d, int64_t take) {
      place_draws<Defer>(l, buf + c * l.stride, sorted[c], cols[c], r + d, take, draws[c], a);
    });
    if (!Defer) continue;
    // The ones, once every component of the stretch is known: the column
    // tally lines (often not in cache) are then fetched side by side rather
    // than each delaying the next draw.
    for_runs(tally, draws, count, m, [&](int c, int64_t d, int64_t take) {
      double *const col_t = a.col_tallies + cols[c];
      for (int64_t q = d; q < d + take; ++q) {
        const ptrdiff_t e = r[q];
        if (e < 0) continue;
        a.row_t[e] += 1.0;
        col_t[e * a.n_cols] += 1.0;
      }
    });
  }
}

// Builds the running sums of Lanes cells of one row (columns cols[]) into
// buf, one stride per cell, and says for each whether its sums are known to
// be finite and non-decreasing.  Each vector lane is one cell's chain in
// ascending k, so every product and sum is rounded as in the plain loop; the
// chains of different cells are independent and run side by side.
// Contiguous columns load their factors with one vector load per pair.
// The ends layout stores only each block's last sum.
//
// Sorted is decided conservatively: no product has its sign bit set (so each
// is +0, positive or NaN) and the total is finite (so none was NaN or
// infinite).  Adding a non-negative number never lowers a rounded sum, so
// such sums are non-decreasing; any other cell takes the exact search.
// A Stride other than 0 is l.stride known when compiled, which puts every
// cell's stores at constant offsets from one pointer.
template <int Lanes, bool Contiguous, bool Ends, ptrdiff_t Stride>
inline void build_sums(const Layout &l, const double *row_w, const double *col_factors,
                       ptrdiff_t n_cols, const ptrdiff_t *cols, const ptrdiff_t *next,
                       bool next_contiguous, const double *col_tallies, double *buf,
                       bool *sorted) {
  constexpr int V = Lanes / 2;
  const ptrdiff_t K = l.n_components, S = Stride != 0 ? Stride : l.stride;
  // The next batch's columns, to prefetch along the way when they are a
  // contiguous run (a gathered batch's own loads are independent of each
  // other, and prefetching eight more columns per k cost more than it saved).
  ptrdiff_t ahead[2];
  int n_ahead = 0;
  if (next != nullptr && next_contiguous) {
    ahead[n_ahead++] = next[0];
    ahead[n_ahead++] = next[Lanes - 1];
  }
  auto factors = [cols](const double *cf, int v) {
    if (Contiguous) return _mm_loadu_pd(cf + cols[0] + 2 * v);
    return _mm_loadh_pd(_mm_load_sd(cf + cols[2 * v]), cf + cols[2 * v + 1]);
  };
  __m128d t[V], signs[V];
#pragma GCC unroll 4
  for (int v = 0; v < V; ++v) {
    t[v] = _mm_setzero_pd();
    signs[v] = _mm_setzero_pd();
  }
  // One block of k at a time (the whole range when there are no blocks).
  const ptrdiff_t step = Ends ? l.block : K;
  for (ptrdiff_t start = 0, b = 0; start < K; start += step, ++b) {
    const ptrdiff_t stop = start + step < K ? start + step : K;
    for (ptrdiff_t k = start; k < stop; ++k) {
      const __m128d w = _mm_set1_pd(row_w[k]);
      const double *cf = col_factors + k * n_cols;
      for (int x = 0; x < n_ahead; ++x)
        _mm_prefetch(reinterpret_cast<const char *>(cf + ahead[x]), _MM_HINT_T1);
      // A contiguous batch's draws will land on few lines of each tally row.
      // (With many components the few draws would not need most of those
      // lines, and fetching them all pushes the factors out of L1.)
      if (Contiguous && !Ends) {
        const double *ct = col_tallies + k * n_cols + cols[0];
        _mm_prefetch(reinterpret_cast<const char *>(ct), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char *>(ct + Lanes - 1), _MM_HINT_T0);
      }
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) {
        const __m128d product = _mm_mul_pd(factors(cf, v), w);
        signs[v] = _mm_or_pd(signs[v], product);
        t[v] = _mm_add_pd(product, t[v]);
        if (!Ends) {
          _mm_storel_pd(buf + 2 * v * S + k, t[v]);
          _mm_storeh_pd(buf + (2 * v + 1) * S + k, t[v]);
        }
      }
    }
    if (Ends) {
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) {
        _mm_storel_pd(buf + 2 * v * S + b, t[v]);
        _mm_storeh_pd(buf + (2 * v + 1) * S + b, t[v]);
      }
    }
  }
  const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
  const __m128d largest = _mm_set1_pd(kMaxFinite);
  // Unrolled, as every loop over t[] and signs[], so that they stay in
  // registers: indexing one by a loop variable would keep both in memory
  // and put a store-to-load delay on each chain.
#pragma GCC unroll 4
  for (int v = 0; v < V; ++v) {
    const __m128d finite = _mm_cmple_pd(_mm_and_pd(t[v], magnitude), largest);
    // Sign bit of (not signs) and finite: no product was negative, total finite.
    const int bits = _mm_movemask_pd(_mm_andnot_pd(signs[v], finite));
    sorted[2 * v] = bits & 1;
    sorted[2 * v + 1] = bits & 2;
  }
  if (!Ends) {
    for (int c = 0; c < Lanes; ++c) {
      double *cell = buf + c * S;
      for (ptrdiff_t b = 0; b < l.blocks; ++b)
        cell[l.padded + b] = cell[b * kBlock + kBlock - 1];
    }
  }
}

// The batched loop: sampled cells of a row are gathered Lanes at a time;
// a full batch waits while the next one is gathered, so that building its
// sums can prefetch the next batch's column factors.  Then its draws are
// made, one cell after the other, in row-major order.
template <int Lanes>
void sample_batched(const Layout &l, const double *counts, const double *row_factors,
                    const double *col_factors, double *row_tallies, double *col_tallies,
                    ptrdiff_t n_rows, ptrdiff_t C, double *scratch) {
  const ptrdiff_t K = l.n_components;
  alignas(64) double buf[kSumDoubles];
  // Padding past the sums and past the block entries is never overwritten.
  for (int c = 0; c < Lanes; ++c) {
    double *cell = buf + c * l.stride;
    for (ptrdiff_t k = l.ends ? 0 : K; k < l.padded; ++k) cell[k] = kInf;
    for (ptrdiff_t b = l.blocks; b < l.blocks_padded; ++b) cell[l.padded + b] = kInf;
  }

  struct Batch {
    ptrdiff_t row;
    int size;
    bool contiguous;
    ptrdiff_t cols[Lanes];
    int64_t draws[Lanes];
  };
  Batch batches[2];
  batches[0].size = batches[1].size = 0;
  const double *scratch_row = nullptr;
  ptrdiff_t scratch_col = -1;
  int filling = 0;       // batches[filling] is being gathered
  bool waiting = false;  // batches[filling ^ 1] is full and not yet drawn

  auto draw = [&](const Batch &b, const Batch *ahead) {
    const ptrdiff_t *next = ahead != nullptr ? ahead->cols : nullptr;
    const bool next_contiguous = ahead != nullptr && ahead->contiguous;
    bool sorted[Lanes];
    const double *row_w = row_factors + b.row * K;
    auto build = [&](auto contiguous, auto ends, auto stride) {
      build_sums<Lanes, decltype(contiguous)::value, decltype(ends)::value,
                 decltype(stride)::value>(l, row_w, col_factors, C, b.cols, next,
                                          next_contiguous, col_tallies, buf, sorted);
    };
    auto with_stride = [&](auto contiguous) {
      using std::integral_constant;
      const integral_constant<bool, false> full;
      if (l.ends) return build(contiguous, integral_constant<bool, true>{},
                               integral_constant<ptrdiff_t, 0>{});
      if (l.blocks == 0) {
        switch (l.padded) {
          case 4: return build(contiguous, full, integral_constant<ptrdiff_t, 4>{});
          case 8: return build(contiguous, full, integral_constant<ptrdiff_t, 8>{});
          case 12: return build(contiguous, full, integral_constant<ptrdiff_t, 12>{});
          case 16: return build(contiguous, full, integral_constant<ptrdiff_t, 16>{});
        }
      }
      build(contiguous, full, integral_constant<ptrdiff_t, 0>{});
    };
    if (b.contiguous)
      with_stride(std::integral_constant<bool, true>{});
    else
      with_stride(std::integral_constant<bool, false>{});
    const RowArgs a{row_w,   col_factors, C, row_tallies + b.row * K, col_tallies, scratch,
                    &scratch_row, &scratch_col};
    // A contiguous batch's tally lines were prefetched with its sums; a
    // gathered batch's are fetched once its components are known.
    if (b.contiguous)
      draw_cells<false>(l, buf, sorted, b.draws, b.cols, b.size, a);
    else
      draw_cells<true>(l, buf, sorted, b.draws, b.cols, b.size, a);
  };
  auto close = [&] {
    Batch &f = batches[filling];
    // Unused lanes repeat the last cell: valid addresses, results ignored.
    for (int c = f.size; c < Lanes; ++c) f.cols[c] = f.cols[f.size - 1];
    f.contiguous = true;
    for (int c = 1; c < Lanes; ++c) f.contiguous &= f.cols[c] == f.cols[0] + c;
    if (waiting) draw(batches[filling ^ 1], &f);
    waiting = true;
    filling ^= 1;
    batches[filling].size = 0;
  };
  // With thousands of components a cell with many draws goes alone, after
  // every cell before it: its one chain in the scratch array, then
  // branch-free counts.  A batch's factor lines (K of them) no longer fit in
  // L1 there, and rebuilding each cell's chain from them costs more than
  // the plain chain, whose loads overlap its adds (measured: alone is
  // faster at K = 3000, slower at K = 500 and 1000).
  auto many = [&](int64_t n) { return l.ends && K >= 2048 && n * 4 >= l.blocks; };
  auto alone = [&](ptrdiff_t i, ptrdiff_t j, int64_t n) {
    if (batches[filling].size > 0) close();
    if (waiting) draw(batches[filling ^ 1], nullptr);
    waiting = false;
    const double *row_w = row_factors + i * K;
    double total;
    const bool sorted = chain_sorted(row_w, col_factors + j, C, K, scratch, total);
    scratch_row = nullptr;
    draw_from_chain(n, sorted, total, scratch, l.n_components, row_tallies + i * K,
                    col_tallies + j, C);
  };
  scan_counts(
      counts, n_rows, C,
      [&](ptrdiff_t i, ptrdiff_t j, int64_t n) {
        if (many(n)) return alone(i, j, n);
        Batch &f = batches[filling];
        f.row = i;
        f.cols[f.size] = j;
        f.draws[f.size] = n;
        if (++f.size == Lanes) close();
      },
      [&](ptrdiff_t i, ptrdiff_t j, unsigned bits) {
        // Mostly sampled: all eight columns as one contiguous batch (the
        // others make no draw), in order after what was gathered before.
        if (Lanes != 8 || popcount8(bits) < kDenseBlock) return false;
        const double *row = counts + i * C;
        if (l.ends && K >= 2048)
          for (int c = 0; c < Lanes; ++c)
            if (many(draws_for(row[j + c]))) return false;
        if (batches[filling].size > 0) close();
        Batch &f = batches[filling];
        f.row = i;
        for (int c = 0; c < Lanes; ++c) {
          f.cols[c] = j + c;
          f.draws[c] = (bits >> c & 1u) != 0 ? draws_for(row[j + c]) : 0;
        }
        f.size = Lanes;
        close();
        return true;
      },
      [&](ptrdiff_t) {
        if (batches[filling].size > 0) close();
      });
  if (waiting) draw(batches[filling ^ 1], nullptr);
}

// Runs the batched loop with the plan for n_components.
inline void sample_fast(const double *counts, const double *row_factors,
                        const double *col_factors, double *row_tallies, double *col_tallies,
                        ptrdiff_t n_rows, int32_t n_components, ptrdiff_t n_cols,
                        double *scratch) {
  sample_batched<8>(plan(n_components), counts, row_factors, col_factors, row_tallies,
                    col_tallies, n_rows, n_cols, scratch);
}

}  // namespace sk
