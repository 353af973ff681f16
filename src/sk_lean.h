// The lean path of Multi_Sample (private to the library), for calls with at
// most 16 components whose sampled cells make a draw or two, as real counts
// mostly do.  There the batched path's set-up per cell (eight lanes, runs of
// draws, the many-draw counts) costs more than the cell's few products, so
// this one stays close to the plain loop:
//   - a row's counts are tested 64 at a time into a bit mask;
//   - each sampled cell builds its plain chain into a small array padded
//     with +inf, and where its sums are known finite and non-decreasing (the
//     batched path's test) a draw's component is the count of the sums below
//     it, which is what the three-way search returns; else that search;
//   - each draw calls rand() as it is placed, as the plain loop does: glibc's
//     rand() takes a lock, which waits for the loads and stores before it
//     but overlaps the arithmetic around it, so the work of one cell hides
//     in the calls of the next (taking a batch of values first left nothing
//     to overlap them with).
// The row tallies take a row's draws per component at once.  With one
// component every draw lands on component 0 whatever the weights: no sums
// are built, the values are not needed (only the number of calls), and the
// column tallies too take a cell's draws at once (add_ones gives the bits of
// one addition of 1.0 after the other).
#pragma once

#include <emmintrin.h>

#include "sk_batched.h"
#include "sk_cell.h"
#include "sk_common.h"

namespace sk {

constexpr int32_t kLeanComponents = 16;

template <ptrdiff_t N>
struct Const {
  static constexpr ptrdiff_t value = N;
};

// Whether a call with at most kLeanComponents components should take the
// lean path: its first counts (up to 4096) make at most three draws per
// sampled cell on average.  A wrong guess costs time, never bits.
inline bool few_draws(const double *counts, ptrdiff_t n_rows, ptrdiff_t n_cols) {
  const ptrdiff_t cells = n_rows * n_cols;
  const ptrdiff_t look = cells < 4096 ? cells : 4096;
  int64_t sampled = 0, draws = 0;
  for (ptrdiff_t c = 0; c < look; ++c) {
    const int64_t n = draws_for(counts[c]);
    sampled += n != 0;
    draws += n < 64 ? n : 64;
  }
  return draws <= 3 * sampled;
}

// The sums of cell j into `sums` and its n draws.  Exact is the
// number of components when it is a constant (up to 8: the chain unrolls
// and the count is that many scalar compares), else 0 and the count is over
// Padded sums in vector compares.
// The row's draws per component go to row_counts, which the caller adds to
// the row tallies (add_ones: the bits of one 1.0 after the other).
template <ptrdiff_t Exact, ptrdiff_t Padded>
inline void lean_cell(ptrdiff_t j, int64_t n, const double *row_w,
                      int64_t *row_counts, const double *col_factors, double *col_tallies,
                      ptrdiff_t C, int32_t n_components, double *sums) {
  double *const col_t = col_tallies + j;
  const ptrdiff_t K = Exact > 0 ? Exact : n_components;
  double total;
  const bool sorted = chain_sorted(row_w, col_factors + j, C, K, sums, total);
  const ptrdiff_t last = K - 1;
  for (int64_t q = 0; q < n; ++q) {
    const double target = static_cast<double>(rand()) / kRandMax * total;
    ptrdiff_t e;
    if (sorted && Exact > 0) {
      // The total is never below the draw, so it needs no compare.
      e = 0;
      for (ptrdiff_t k = 0; k < last; ++k) e += sums[k] < target;
    } else if (sorted) {
      e = count_below(sums, Padded, target);
      e = e < last ? e : last;
    } else {
      e = search(sums, n_components, target);
    }
    row_counts[e] += 1;
    col_t[e * C] += 1.0;
  }
}

// cell(j, n) for each cell j of the row of C counts that makes n > 0 draws,
// in column order: the counts are tested 64 at a time into a bit mask.
template <typename Cell>
inline void for_sampled(const double *row, ptrdiff_t C, Cell &&cell) {
  for (ptrdiff_t j = 0; j < C; j += 64) {
    uint64_t mask = 0;
    if (j + 64 <= C) {
#pragma GCC unroll 8
      for (int q = 0; q < 8; ++q)
        mask |= static_cast<uint64_t>(candidates(row + j + 8 * q)) << 8 * q;
    } else {
      for (ptrdiff_t c = 0; c < C - j; ++c) mask |= static_cast<uint64_t>(row[j + c] >= 0.5) << c;
    }
    for (; mask != 0; mask &= mask - 1) {
      const ptrdiff_t at = j + __builtin_ctzll(mask);
      const int64_t n = draws_for(row[at]);
      if (n != 0) cell(at, n);
    }
  }
}

template <ptrdiff_t Exact, ptrdiff_t Padded>
void sample_lean(const double *counts, const double *row_factors, const double *col_factors,
                 double *row_tallies, double *col_tallies, ptrdiff_t n_rows,
                 int32_t n_components, ptrdiff_t C) {
  const ptrdiff_t K = n_components;
  alignas(16) double sums[Padded];
  for (ptrdiff_t k = K; k < Padded; ++k) sums[k] = kInf;
  int64_t row_counts[Padded];
  for (ptrdiff_t k = 0; k < Padded; ++k) row_counts[k] = 0;
  for (ptrdiff_t i = 0; i < n_rows; ++i) {
    const double *row = counts + i * C;
    const double *row_w = row_factors + i * K;
    double *row_t = row_tallies + i * K;
    for_sampled(row, C, [&](ptrdiff_t j, int64_t n) {
      lean_cell<Exact, Padded>(j, n, row_w, row_counts, col_factors, col_tallies, C,
                               n_components, sums);
    });
    for (ptrdiff_t k = 0; k < K; ++k) {
      add_ones(row_t + k, row_counts[k]);
      row_counts[k] = 0;
    }
  }
}

// With one component every draw lands on component 0 whatever the weights:
// no sums, and the values are not needed, only the number of calls.  Each
// sampled cell makes one call beside its tally, where the lock hides the
// cell's work (a call per draw would branch on the count, which the
// predictor misses), and the row's other calls follow in one loop.
inline void sample_one_component(const double *counts, double *row_tallies,
                                 double *col_tallies, ptrdiff_t n_rows, ptrdiff_t C) {
  for (ptrdiff_t i = 0; i < n_rows; ++i) {
    int64_t row_draws = 0, cells = 0;
    for_sampled(counts + i * C, C, [&](ptrdiff_t j, int64_t n) {
      rand();
      add_ones(col_tallies + j, n);
      row_draws += n;
      ++cells;
    });
    for (int64_t q = cells; q < row_draws; ++q) rand();
    add_ones(row_tallies + i, row_draws);
  }
}

// Runs the lean path with the padded length for n_components (at most
// kLeanComponents).
inline void sample_lean_any(const double *counts, const double *row_factors,
                            const double *col_factors, double *row_tallies,
                            double *col_tallies, ptrdiff_t n_rows, int32_t n_components,
                            ptrdiff_t n_cols) {
  auto run = [&](auto exact, auto padded) {
    sample_lean<decltype(exact)::value, decltype(padded)::value>(
        counts, row_factors, col_factors, row_tallies, col_tallies, n_rows, n_components,
        n_cols);
  };
  switch (n_components) {
    case 1: return sample_one_component(counts, row_tallies, col_tallies, n_rows, n_cols);
    case 2: return run(Const<2>{}, Const<4>{});
    case 3: return run(Const<3>{}, Const<4>{});
    case 4: return run(Const<4>{}, Const<4>{});
    case 5: return run(Const<5>{}, Const<8>{});
    case 6: return run(Const<6>{}, Const<8>{});
    case 7: return run(Const<7>{}, Const<8>{});
    case 8: return run(Const<8>{}, Const<8>{});
  }
  if (n_components <= 12)
    run(Const<0>{}, Const<12>{});
  else
    run(Const<0>{}, Const<16>{});
}

}  // namespace sk
