// The sampling pass of Multi_Sample_CSR, compiled once per instruction set:
// Multi_Sample_CSR.cpp includes it into one namespace per kernel, after the
// headers and the shared pieces it uses (Layout, Columns, sorted_index and
// the constants), with SK_CSR_WIDE 1 where the code may use AVX2.  Private
// to the companion; it includes nothing itself.

#if SK_CSR_WIDE
// sk::count_below four sums to a compare: the same count.
template <ptrdiff_t N>
inline ptrdiff_t count_below(const double *a, double x) {
  static_assert(N % 4 == 0, "sums come in fours");
  const __m256d v = _mm256_set1_pd(x);
  __m256i acc = _mm256_setzero_si256();
#pragma GCC unroll 8
  for (ptrdiff_t k = 0; k < N; k += 4)
    acc = _mm256_sub_epi64(acc, _mm256_castpd_si256(_mm256_cmp_pd(_mm256_loadu_pd(a + k), v,
                                                                  _CMP_LT_OS)));
  const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
  return _mm_cvtsi128_si64(s) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s));
}
#else
template <ptrdiff_t N>
inline ptrdiff_t count_below(const double *a, double x) {
  return sk::count_below(a, N, x);
}
#endif

// sorted_index for one shape of the layout, with its lengths constant so
// that the counts unroll: Padded sums in one level when BlocksPadded is 0,
// else BlocksPadded block ends and then the Block sums of the draw's block
// (as sk::count_sorted, clamped the same way).
template <ptrdiff_t Padded, ptrdiff_t Block, ptrdiff_t BlocksPadded>
struct FixedSearch {
  ptrdiff_t operator()(const Layout &l, const double *sums, double target) const {
    ptrdiff_t e;
    if constexpr (BlocksPadded == 0) {
      e = count_below<Padded>(sums, target);
    } else {
      const ptrdiff_t b = count_below<BlocksPadded>(sums + l.padded, target);
      e = b * Block + count_below<Block>(sums + b * Block, target);
    }
    return e < l.K - 1 ? e : l.K - 1;
  }
};

struct AnySearch {
  ptrdiff_t operator()(const Layout &l, const double *sums, double target) const {
    return sorted_index(l, sums, target);
  }
};

// Calls draw(search) with the unrolled search of l's shape, up to 256
// components, or with the general one above.
template <typename Draw>
inline void with_search(const Layout &l, Draw &&draw) {
  if (l.blocks == 0) {
    switch (l.padded) {
      case 4: return draw(FixedSearch<4, 0, 0>{});
      case 8: return draw(FixedSearch<8, 0, 0>{});
      case 12: return draw(FixedSearch<12, 0, 0>{});
      case 16: return draw(FixedSearch<16, 0, 0>{});
      case 20: return draw(FixedSearch<20, 0, 0>{});
      case 24: return draw(FixedSearch<24, 0, 0>{});
    }
  } else if (l.block == 4) {
    switch (l.blocks_padded) {
      case 8: return draw(FixedSearch<0, 4, 8>{});
      case 12: return draw(FixedSearch<0, 4, 12>{});
    }
  } else if (l.block == 16) {
    switch (l.blocks_padded) {
      case 4: return draw(FixedSearch<0, 16, 4>{});
      case 8: return draw(FixedSearch<0, 16, 8>{});
      case 12: return draw(FixedSearch<0, 16, 12>{});
      case 16: return draw(FixedSearch<0, 16, 16>{});
    }
  }
  draw(AnySearch{});
}

// Builds the running sums of Lanes cells of row row_w (columns cols[]) into
// buf, one stride per cell, and says for each whether they are known finite
// and non-decreasing: no product has its sign bit set (each is +0, positive
// or NaN) and the total is finite (none was NaN or infinite).  Without
// Signs the caller knows that no factor of the row or the columns has its
// sign bit set, so that a product has it only as a NaN, which leaves the
// total NaN too.  Each vector lane is one cell's chain in ascending k,
// product then sum rounded on their own as in the plain loop.  Prefetches
// the columns of the entries that follow (ahead[0 .. n_ahead)).
template <int Lanes, bool Transposed, bool Signs>
inline void build_sums(const Layout &l, const Columns<Transposed> &cs, const double *row_w,
                       const ptrdiff_t *cols, const int32_t *ahead, int n_ahead, double *buf,
                       bool *sorted) {
  constexpr int V = Lanes / 2;
  const ptrdiff_t K = l.K, S = l.stride, step = cs.step();
  const double *f[Lanes];
  for (int c = 0; c < Lanes; ++c) f[c] = cs.factors + cs.at(cols[c]);
  // The columns to prefetch, kLanes of them whatever n_ahead is (a short
  // tail repeats its last column, none at all this batch's first), so that
  // each prefetch is one load and one instruction.
  const double *next[kLanes];
  for (int a = 0; a < kLanes; ++a)
    next[a] = n_ahead == 0 ? f[0] : cs.factors + cs.at(ahead[a < n_ahead ? a : n_ahead - 1]);
  auto prefetch_next = [&](ptrdiff_t k) {
    if (!Transposed) return;
    for (int a = 0; a < kLanes; ++a)
      _mm_prefetch(reinterpret_cast<const char *>(next[a] + k), _MM_HINT_T0);
  };
  __m128d t[V], signs[V];
  for (int v = 0; v < V; ++v) {
    t[v] = _mm_setzero_pd();
    signs[v] = _mm_setzero_pd();
  }
  // Where the next block's last sum goes, and after how many components: a
  // running count rather than a division by the block length per step.
  ptrdiff_t end_at = l.padded, end_after = l.blocks != 0 ? l.block : -1;
  // With `done` components summed, a block that ends there keeps its sum.
  auto close_block = [&](ptrdiff_t done) {
    if (done != end_after) return;
    for (int v = 0; v < V; ++v) {
      _mm_storel_pd(buf + 2 * v * S + end_at, t[v]);
      _mm_storeh_pd(buf + (2 * v + 1) * S + end_at, t[v]);
    }
    ++end_at;
    end_after += l.block;
  };
  ptrdiff_t k = 0;
#if SK_CSR_WIDE
  if constexpr (Transposed && Lanes == 8) {
    // Four components of four cells per step: the 4 x 4 products turned so
    // that each lane is one cell's chain, four sums in turn, and the sums
    // turned back for contiguous stores.  What is left of K goes on below.
    __m256d acc[2], wide_signs[2];
    for (int g = 0; g < 2; ++g) acc[g] = wide_signs[g] = _mm256_setzero_pd();
    auto to_pairs = [&] {
      for (int g = 0; g < 2; ++g) {
        t[2 * g] = _mm256_castpd256_pd128(acc[g]);
        t[2 * g + 1] = _mm256_extractf128_pd(acc[g], 1);
        signs[2 * g] = _mm256_castpd256_pd128(wide_signs[g]);
        signs[2 * g + 1] = _mm256_extractf128_pd(wide_signs[g], 1);
      }
    };
    for (; k + 4 <= K; k += 4) {
      if (k % 8 == 0) prefetch_next(k);
      __m256d w[4];
      for (int i = 0; i < 4; ++i) w[i] = _mm256_broadcast_sd(row_w + k + i);
#pragma GCC unroll 2
      for (int g = 0; g < 2; ++g) {
        // Each 128-bit half loaded into place and the pairs turned within
        // the halves: no turn across them on the way in.
        const double *const *fg = f + 4 * g;
        auto halves = [&](ptrdiff_t at, int c) {
          return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(fg[c] + at)),
                                      _mm_loadu_pd(fg[c + 2] + at), 1);
        };
        const __m256d r0 = halves(k, 0), r1 = halves(k, 1);
        const __m256d r2 = halves(k + 2, 0), r3 = halves(k + 2, 1);
        const __m256d k0 = _mm256_mul_pd(_mm256_unpacklo_pd(r0, r1), w[0]);
        const __m256d k1 = _mm256_mul_pd(_mm256_unpackhi_pd(r0, r1), w[1]);
        const __m256d k2 = _mm256_mul_pd(_mm256_unpacklo_pd(r2, r3), w[2]);
        const __m256d k3 = _mm256_mul_pd(_mm256_unpackhi_pd(r2, r3), w[3]);
        if (Signs)
          wide_signs[g] = _mm256_or_pd(wide_signs[g],
                                       _mm256_or_pd(_mm256_or_pd(k0, k1), _mm256_or_pd(k2, k3)));
        const __m256d s0 = _mm256_add_pd(k0, acc[g]);
        const __m256d s1 = _mm256_add_pd(k1, s0);
        const __m256d s2 = _mm256_add_pd(k2, s1);
        acc[g] = _mm256_add_pd(k3, s2);
        // Turned back, one store of a cell's four sums: half as many
        // stores as one per half, for four turns across the halves.
        const __m256d e0 = _mm256_unpacklo_pd(s0, s1), o0 = _mm256_unpackhi_pd(s0, s1);
        const __m256d e2 = _mm256_unpacklo_pd(s2, acc[g]), o2 = _mm256_unpackhi_pd(s2, acc[g]);
        double *const out = buf + 4 * g * S + k;
        _mm256_storeu_pd(out, _mm256_permute2f128_pd(e0, e2, 0x20));
        _mm256_storeu_pd(out + S, _mm256_permute2f128_pd(o0, o2, 0x20));
        _mm256_storeu_pd(out + 2 * S, _mm256_permute2f128_pd(e0, e2, 0x31));
        _mm256_storeu_pd(out + 3 * S, _mm256_permute2f128_pd(o0, o2, 0x31));
      }
      // Blocks are 4 or 16 long, so they end with a step.
      if (k + 4 == end_after) {
        to_pairs();
        close_block(k + 4);
      }
    }
    to_pairs();
  }
#endif
  if (Transposed) {
    // Each cell's factors are contiguous: two components of two cells per
    // step, turned so that each vector lane is one cell's chain, and the
    // sums turned back for contiguous stores.
    for (; k + 2 <= K; k += 2) {
      if (k % 8 == 0) prefetch_next(k);
      const __m128d w = _mm_loadu_pd(row_w + k);
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) {
        const __m128d pa = _mm_mul_pd(_mm_loadu_pd(f[2 * v] + k), w);
        const __m128d pb = _mm_mul_pd(_mm_loadu_pd(f[2 * v + 1] + k), w);
        const __m128d lo = _mm_unpacklo_pd(pa, pb), hi = _mm_unpackhi_pd(pa, pb);
        if (Signs) signs[v] = _mm_or_pd(signs[v], _mm_or_pd(lo, hi));
        const __m128d t0 = _mm_add_pd(lo, t[v]);
        t[v] = _mm_add_pd(hi, t0);
        _mm_storeu_pd(buf + 2 * v * S + k, _mm_unpacklo_pd(t0, t[v]));
        _mm_storeu_pd(buf + (2 * v + 1) * S + k, _mm_unpackhi_pd(t0, t[v]));
      }
      // Blocks have an even length, so their last sums are second in a pair.
      close_block(k + 2);
    }
  }
  for (; k < K; ++k) {
    if (k % 8 == 0) prefetch_next(k);
    const __m128d w = _mm_set1_pd(row_w[k]);
    const ptrdiff_t o = k * step;
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v) {
      const __m128d factors = _mm_loadh_pd(_mm_load_sd(f[2 * v] + o), f[2 * v + 1] + o);
      const __m128d product = _mm_mul_pd(factors, w);
      if (Signs) signs[v] = _mm_or_pd(signs[v], product);
      t[v] = _mm_add_pd(product, t[v]);
      _mm_storel_pd(buf + 2 * v * S + k, t[v]);
      _mm_storeh_pd(buf + (2 * v + 1) * S + k, t[v]);
    }
    close_block(k + 1);
  }
  prefetch_next(K - 1);
  const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
  const __m128d largest = _mm_set1_pd(kMaxFinite);
  for (int v = 0; v < V; ++v) {
    const __m128d finite = _mm_cmple_pd(_mm_and_pd(t[v], magnitude), largest);
    const int bits = _mm_movemask_pd(_mm_andnot_pd(signs[v], finite));
    sorted[2 * v] = (bits & 1) != 0;
    sorted[2 * v + 1] = (bits & 2) != 0;
  }
}

// All draws of `count` cells of one row (cell c: sums at buf + c * stride,
// draws[c] draws, column cols[c]), in order.  Each draw calls rand() as it
// is placed: glibc's rand() takes a lock, which waits for the loads and
// stores before it but overlaps the arithmetic around it, so one draw's
// search and the next cell's sums hide in the calls (a stretch of values
// taken first left nothing to overlap them with).  A cell with sorted sums
// (all of them when `sorted` is null) counts the sums below its draw with
// `search`; any other calls Binary_Search.
template <bool Transposed, typename Search>
inline void draw_cells(const Layout &l, const Columns<Transposed> &cs, const double *buf,
                       const bool *sorted, const int64_t *draws, const ptrdiff_t *cols,
                       int count, double *row_t, Search search) {
  const int32_t K = static_cast<int32_t>(l.K);
  if (sorted == nullptr) {
    // One loop over the batch's draws, each finding its cell by a running
    // index into the cells' runs: no branch depends on how many draws a
    // cell makes, which real counts (mostly 1, often 2 or 3) leave to chance.
    // Every cell makes one.  A run holds what a draw needs of its cell, so
    // that one index is all that walks; 32 bytes, so that it is a shift.
    struct alignas(32) Run {
      int64_t end;  // draws of the batch up to and including this cell's
      const double *sums;
      typename Columns<Transposed>::Slot column;
    };
    Run runs[kLanes];
    int64_t all = 0;
    for (int c = 0; c < count; ++c)
      runs[c] = Run{all += draws[c], buf + c * l.stride, cs.column(cols[c])};
    auto place = [&](const double *sums, int r) {
      return search(l, sums, static_cast<double>(r) / kRandMax * sums[K - 1]);
    };
    // A draw's tallies are added after the next rand() call, whose lock
    // would otherwise wait for their stores, which wait for the search.
    // Few values live across the calls: the cell's run and where the held
    // draw goes.
    ptrdiff_t q = 0;
    ptrdiff_t e = place(runs[0].sums, rand());
    double *held_row = row_t + e;
    auto held = cs.slot_in(runs[0].column, e);
    for (int64_t d = 1; d < all; ++d) {
      q += d == runs[q].end;
      const int r = rand();
      *held_row += 1.0;
      cs.bump(held);
      e = place(runs[q].sums, r);
      held_row = row_t + e;
      held = cs.slot_in(runs[q].column, e);
    }
    *held_row += 1.0;
    cs.bump(held);
    return;
  }
  for (int c = 0; c < count; ++c) {
    const double *sums = buf + c * l.stride;
    const double total = sums[K - 1];
    const ptrdiff_t j = cols[c];
    const bool counted = sorted == nullptr || sorted[c];
    for (int64_t d = 0; d < draws[c]; ++d) {
      const double target = static_cast<double>(rand()) / kRandMax * total;
      const ptrdiff_t e = counted ? search(l, sums, target) : Binary_Search(sums, K, target);
      row_t[e] += 1.0;
      cs.add(j, e);
    }
  }
}

template <int Lanes, bool Transposed>
inline void run_batch(const Layout &l, const Columns<Transposed> &cs, const double *row_w,
                      double *row_t, ptrdiff_t *cols, const int64_t *draws, int count,
                      const int32_t *ahead, int n_ahead, double *buf, bool signs) {
  // Unused lanes repeat the last cell: valid addresses, sums ignored.
  for (int c = count; c < Lanes; ++c) cols[c] = cols[count - 1];
  bool sorted[Lanes];
  if (signs)
    build_sums<Lanes, Transposed, true>(l, cs, row_w, cols, ahead, n_ahead, buf, sorted);
  else
    build_sums<Lanes, Transposed, false>(l, cs, row_w, cols, ahead, n_ahead, buf, sorted);
  bool all_sorted = true;
  for (int c = 0; c < count; ++c) all_sorted &= sorted[c];
  if (all_sorted)
    with_search(l, [&](auto search) {
      draw_cells<Transposed>(l, cs, buf, nullptr, draws, cols, count, row_t, search);
    });
  else
    draw_cells<Transposed>(l, cs, buf, sorted, draws, cols, count, row_t, AnySearch{});
}

// Whether any of the n doubles at x has its sign bit set, two at a time.
inline bool any_sign(const double *x, ptrdiff_t n) {
  __m128d bits = _mm_setzero_pd();
  ptrdiff_t k = 0;
  for (; k + 2 <= n; k += 2) bits = _mm_or_pd(bits, _mm_loadu_pd(x + k));
  if (k < n) bits = _mm_or_pd(bits, _mm_load_sd(x + k));
  return _mm_movemask_pd(bits) != 0;
}

// The pass: stored cells that make draws are gathered a row at a time into
// batches of up to eight, whose sums are built together and whose draws are
// then made cell after cell.
template <bool Transposed>
void sample(const int64_t *row_offsets, const int32_t *col_indices, const double *values,
            const double *row_factors, double *row_tallies, const Columns<Transposed> &cs,
            const Layout &l, ptrdiff_t n_rows, double *buf, bool column_signs) {
  const ptrdiff_t K = l.K;
  const int64_t nnz = row_offsets[n_rows];
  for (int c = 0; c < kLanes; ++c) {
    double *cell = buf + c * l.stride;
    for (ptrdiff_t k = K; k < l.padded; ++k) cell[k] = kInf;
    // Block ends past the sums (a last, partial block and the padding)
    // stay +inf; build_sums writes the others.
    for (ptrdiff_t b = 0; b < l.blocks_padded; ++b)
      if ((b + 1) * l.block - 1 >= K) cell[l.padded + b] = kInf;
  }
  ptrdiff_t cols[kLanes];
  int64_t draws[kLanes];
  for (ptrdiff_t i = 0; i < n_rows; ++i) {
    const double *row_w = row_factors + i * K;
    double *row_t = row_tallies + i * K;
    // The next row's factors and tallies: a row's worth of cells is too
    // little for the hardware prefetcher to follow, and its tally lines would
    // otherwise miss on the first draws.
    if (i + 1 < n_rows) {
      for (ptrdiff_t k = 0; k < K; k += 8) {
        _mm_prefetch(reinterpret_cast<const char *>(row_w + K + k), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char *>(row_t + K + k), _MM_HINT_T0);
      }
      _mm_prefetch(reinterpret_cast<const char *>(row_w + 2 * K - 1), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char *>(row_t + 2 * K - 1), _MM_HINT_T0);
    }
    const int64_t end = row_offsets[i + 1];
    if (end == row_offsets[i]) continue;
    // Whether products can have their sign bit set other than as NaN.
    const bool signs = column_signs || any_sign(row_w, K);
    int count = 0;
    auto run = [&](int64_t next) {
      // The entries after this batch, whose columns are prefetched.
      const int64_t last = next + kLanes < nnz ? next + kLanes : nnz;
      const int n_ahead = static_cast<int>(last - next);
      const int32_t *ahead = col_indices + next;
      if (count > 4)
        run_batch<8>(l, cs, row_w, row_t, cols, draws, count, ahead, n_ahead, buf, signs);
      else if (count > 2)
        run_batch<4>(l, cs, row_w, row_t, cols, draws, count, ahead, n_ahead, buf, signs);
      else
        run_batch<2>(l, cs, row_w, row_t, cols, draws, count, ahead, n_ahead, buf, signs);
      count = 0;
    };
    for (int64_t p = row_offsets[i]; p < end; ++p) {
      const int64_t n = draws_for(values[p]);
      if (n == 0) continue;
      cols[count] = col_indices[p];
      draws[count] = n;
      if (++count == kLanes) run(p + 1);
    }
    if (count > 0) run(end);
  }
}
