// The lane pass of Multi_Sample_CSR, for calls with at most
// kLaneComponents components and few stored cells per column (wide
// vocabularies), where the row pass's copies of the column factors and
// tallies in and out cost as much as its cells.  This pass copies only the
// column factors in, each column followed by 16-bit counts of its draws per
// component, and adds the counts to the caller's column tallies at the end.
// Included, like sk_csr_kernel.h, once per kernel, with SK_CSR_WIDE 0 (two
// lanes, SSE2), 1 (four, AVX2) or 2 (eight, AVX-512F).
//
// Where it departs from the plain loop, and why it stays exact:
//   - stored cells that make draws are gathered in row-major order, across
//     rows, into chunks of up to kChunkCells cells and kChunkDraws draws;
//     a chunk's rand() values are taken in row-major order, each one for the
//     draw it would serve in the plain loop, while the chunk before it is
//     tallied (its adds fill the time a locked call leaves the core idle);
//   - each vector lane is one cell: a cell's K products are formed along k
//     (column factor times row factor, each rounded on its own), turned so
//     that a vector holds component k of every lane, and summed lane by lane
//     in ascending k, as in the plain chain;
//   - the draws are placed a round at a time, the r-th draw of every lane at
//     once, by counting the running sums below the draw (what the three-way
//     search returns for finite, non-decreasing sums); a lane whose sums are
//     not known to be such, or with draws left after kRounds rounds, has its
//     sums copied out and searched draw by draw (Binary_Search or the
//     count);
//   - each tally element only receives +1.0, so the order in which draws
//     reach it does not matter, and c of them are one add_ones of c: the
//     column tallies take a column's count per component at the end (or
//     whenever a count reaches kCountLimit);
//   - a cell with more draws than a chunk holds is drawn alone, after
//     every cell before it, with the plain chain and straight into the
//     caller's tallies.

#if SK_CSR_WIDE == 2
struct Lanes {
  static constexpr int L = 8;
  using D = __m512d;
  using I = __m512i;
  static D zero() { return _mm512_setzero_pd(); }
  static D load(const double *p) { return _mm512_loadu_pd(p); }
  static D load_first(const double *p, ptrdiff_t n) {
    return _mm512_maskz_loadu_pd(static_cast<__mmask8>((1u << n) - 1), p);
  }
  static void store(double *p, D v) { _mm512_storeu_pd(p, v); }
  static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
  static D add(D a, D b) { return _mm512_add_pd(a, b); }
  static unsigned finite(D t) {
    return _mm512_cmp_pd_mask(_mm512_sub_pd(t, t), _mm512_setzero_pd(), _CMP_EQ_OQ);
  }
  static D targets(const int32_t *r, D totals) {
    const D u = _mm512_div_pd(
        _mm512_cvtepi32_pd(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(r))),
        _mm512_set1_pd(kRandMax));
    return _mm512_mul_pd(u, totals);
  }
  static I no_counts() { return _mm512_setzero_si512(); }
  static I count(I acc, D sums, D t) {
    return _mm512_mask_add_epi64(acc, _mm512_cmp_pd_mask(sums, t, _CMP_LT_OQ), acc,
                                 _mm512_set1_epi64(1));
  }
  static I add_counts(I a, I b) { return _mm512_add_epi64(a, b); }
  static void store_counts(int64_t *e, I acc) { _mm512_storeu_si512(e, acc); }
  // r[c] holds element m of lane c's block; afterwards r[m] holds lane c's
  // element m in its lane c.
  static void transpose(D *r) {
    const I lo = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
    const I hi = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
    D a[8], b[8];
    for (int c = 0; c < 8; c += 2) {
      a[c] = _mm512_unpacklo_pd(r[c], r[c + 1]);
      a[c + 1] = _mm512_unpackhi_pd(r[c], r[c + 1]);
    }
    for (int c = 0; c < 8; c += 4) {
      b[c] = _mm512_permutex2var_pd(a[c], lo, a[c + 2]);
      b[c + 1] = _mm512_permutex2var_pd(a[c + 1], lo, a[c + 3]);
      b[c + 2] = _mm512_permutex2var_pd(a[c], hi, a[c + 2]);
      b[c + 3] = _mm512_permutex2var_pd(a[c + 1], hi, a[c + 3]);
    }
    for (int m = 0; m < 4; ++m) {
      r[m] = _mm512_shuffle_f64x2(b[m], b[m + 4], 0x44);
      r[m + 4] = _mm512_shuffle_f64x2(b[m], b[m + 4], 0xee);
    }
  }
};
#elif SK_CSR_WIDE == 1
struct Lanes {
  static constexpr int L = 4;
  using D = __m256d;
  using I = __m256i;
  static D zero() { return _mm256_setzero_pd(); }
  static D load(const double *p) { return _mm256_loadu_pd(p); }
  static D load_first(const double *p, ptrdiff_t n) {
    const __m256i lane = _mm256_set_epi64x(3, 2, 1, 0);
    return _mm256_maskload_pd(p, _mm256_cmpgt_epi64(_mm256_set1_epi64x(n), lane));
  }
  static void store(double *p, D v) { _mm256_storeu_pd(p, v); }
  static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
  static D add(D a, D b) { return _mm256_add_pd(a, b); }
  static unsigned finite(D t) {
    return static_cast<unsigned>(
        _mm256_movemask_pd(_mm256_cmp_pd(_mm256_sub_pd(t, t), _mm256_setzero_pd(), _CMP_EQ_OQ)));
  }
  static D targets(const int32_t *r, D totals) {
    const D u = _mm256_div_pd(
        _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i *>(r))),
        _mm256_set1_pd(kRandMax));
    return _mm256_mul_pd(u, totals);
  }
  static I no_counts() { return _mm256_setzero_si256(); }
  // A true compare is all ones, -1 as an integer.
  static I count(I acc, D sums, D t) {
    return _mm256_sub_epi64(acc, _mm256_castpd_si256(_mm256_cmp_pd(sums, t, _CMP_LT_OQ)));
  }
  static I add_counts(I a, I b) { return _mm256_add_epi64(a, b); }
  static void store_counts(int64_t *e, I acc) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(e), acc);
  }
  static void transpose(D *r) {
    const D a0 = _mm256_unpacklo_pd(r[0], r[1]), a1 = _mm256_unpackhi_pd(r[0], r[1]);
    const D a2 = _mm256_unpacklo_pd(r[2], r[3]), a3 = _mm256_unpackhi_pd(r[2], r[3]);
    r[0] = _mm256_permute2f128_pd(a0, a2, 0x20);
    r[1] = _mm256_permute2f128_pd(a1, a3, 0x20);
    r[2] = _mm256_permute2f128_pd(a0, a2, 0x31);
    r[3] = _mm256_permute2f128_pd(a1, a3, 0x31);
  }
};
#else
struct Lanes {
  static constexpr int L = 2;
  using D = __m128d;
  using I = __m128i;
  static D zero() { return _mm_setzero_pd(); }
  static D load(const double *p) { return _mm_loadu_pd(p); }
  static D load_first(const double *p, ptrdiff_t) { return _mm_load_sd(p); }
  static void store(double *p, D v) { _mm_storeu_pd(p, v); }
  static D mul(D a, D b) { return _mm_mul_pd(a, b); }
  static D add(D a, D b) { return _mm_add_pd(a, b); }
  static unsigned finite(D t) {
    return static_cast<unsigned>(
        _mm_movemask_pd(_mm_cmpeq_pd(_mm_sub_pd(t, t), _mm_setzero_pd())));
  }
  static D targets(const int32_t *r, D totals) {
    const D u = _mm_div_pd(
        _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(r))),
        _mm_set1_pd(kRandMax));
    return _mm_mul_pd(u, totals);
  }
  static I no_counts() { return _mm_setzero_si128(); }
  static I count(I acc, D sums, D t) {
    return _mm_sub_epi64(acc, _mm_castpd_si128(_mm_cmplt_pd(sums, t)));
  }
  static I add_counts(I a, I b) { return _mm_add_epi64(a, b); }
  static void store_counts(int64_t *e, I acc) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(e), acc);
  }
  static void transpose(D *r) {
    const D a = _mm_unpacklo_pd(r[0], r[1]);
    r[1] = _mm_unpackhi_pd(r[0], r[1]);
    r[0] = a;
  }
};
#endif

// The components of lane c's draws from the d-th on, one at a time, on its
// sums copied out.
inline void place_lane_alone(const LanePlan &p, const Chunk &q, int c, bool sorted, double total,
                             const int32_t *values, int64_t from, int64_t to,
                             unsigned char *components) {
  constexpr int L = Lanes::L;
  const ptrdiff_t K = p.K;
  for (ptrdiff_t k = 0; k < K; ++k) q.line[k] = q.sums[k * L + c];
  for (int64_t d = from; d < to; ++d) {
    const double target = static_cast<double>(values[d]) / kRandMax * total;
    ptrdiff_t e;
    if (sorted) {
      e = sk::count_below(q.line, p.line_padded, target);
      e = e < K - 1 ? e : K - 1;
    } else {
      e = Binary_Search(q.line, static_cast<int32_t>(K), target);
    }
    components[d] = static_cast<unsigned char>(e);
  }
}

// The sums of the chunk's cells b .. b + count - 1 (count <= L) and the
// components of their draws, into q.components.
inline void lane_batch(const LanePlan &p, const double *columns, const double *row_factors,
                       const Chunk &q, int b, int count) {
  using D = Lanes::D;
  constexpr int L = Lanes::L;
  const ptrdiff_t K = p.K;
  const double *h[L], *w[L];
  int32_t n[L];
  const int32_t *values[L];
  unsigned char *components[L];
#pragma GCC unroll 8
  for (int c = 0; c < L; ++c) {
    // Unused lanes repeat the last cell: valid addresses, no draws.
    const int at = b + (c < count ? c : count - 1);
    h[c] = columns + q.col[at] * p.column_stride;
    w[c] = row_factors + static_cast<ptrdiff_t>(q.row[at]) * K;
    n[c] = c < count ? q.draws[at] : 0;
    values[c] = q.rand_values + q.first[at];
    components[c] = q.components + q.first[at];
  }
  // The columns of the batches ahead (factors and counts), where they are
  // unlikely to be in cache.
  if (p.prefetch) {
    const int ahead = b + kAhead * L;
    const int stop = ahead + L < q.cells ? ahead + L : q.cells;
    for (int c = ahead; c < stop; ++c) {
      const char *line = reinterpret_cast<const char *>(columns + q.col[c] * p.column_stride);
#pragma GCC unroll 4
      for (ptrdiff_t o = 0; o < p.column_bytes; o += 64) _mm_prefetch(line + o, _MM_HINT_T0);
      _mm_prefetch(line + p.column_bytes - 1, _MM_HINT_T0);
    }
  }

  // Each lane's chain in ascending k, a block of L components at a time:
  // products along k, turned so that r[m] holds component kb + m of every
  // lane.
  D total = Lanes::zero();
  ptrdiff_t kb = 0;
  for (; kb + L <= K; kb += L) {
    D r[L];
#pragma GCC unroll 8
    for (int c = 0; c < L; ++c) r[c] = Lanes::mul(Lanes::load(h[c] + kb), Lanes::load(w[c] + kb));
    Lanes::transpose(r);
#pragma GCC unroll 8
    for (int m = 0; m < L; ++m) {
      total = Lanes::add(r[m], total);
      Lanes::store(q.sums + (kb + m) * L, total);
    }
  }
  if (kb < K) {
    // The transposed factors have room past K; the caller's row factors
    // may not.
    const ptrdiff_t left = K - kb;
    D r[L];
#pragma GCC unroll 8
    for (int c = 0; c < L; ++c)
      r[c] = Lanes::mul(Lanes::load(h[c] + kb), Lanes::load_first(w[c] + kb, left));
    Lanes::transpose(r);
#pragma GCC unroll 8
    for (int m = 0; m < L; ++m) {
      if (m == left) break;
      total = Lanes::add(r[m], total);
      Lanes::store(q.sums + (kb + m) * L, total);
    }
  }

  // Lanes whose sums are finite and non-decreasing: no factor with its sign
  // bit set (so every product is +0, positive, +inf or NaN) and a finite
  // total (so none was +inf or NaN).
  const unsigned sorted = q.signs ? 0u : Lanes::finite(total);
  alignas(64) double totals[L];
  Lanes::store(totals, total);
  unsigned in_rounds = 0;
  int most = 0;
  for (int c = 0; c < L; ++c) {
    if (n[c] > 0 && (sorted >> c & 1u)) {
      in_rounds |= 1u << c;
      most = n[c] > most ? n[c] : most;
    }
  }
  const int rounds = most < kRounds ? most : kRounds;
  for (int d = 0; d < rounds; ++d) {
    alignas(64) int32_t r[L];
    unsigned active = 0;
#pragma GCC unroll 8
    for (int c = 0; c < L; ++c) {
      active |= static_cast<unsigned>(d < n[c]) << c;
      // The chunk's values have room past the last draw: an idle lane's
      // target is computed and ignored.
      r[c] = values[c][d];
    }
    active &= in_rounds;
    const D t = Lanes::targets(r, total);
    // Sums past the last are +inf, and the last is never below a draw of a
    // sorted cell: counting padded rows four at a time changes nothing.
    Lanes::I acc0 = Lanes::no_counts(), acc1 = Lanes::no_counts();
    for (ptrdiff_t k = 0; k < p.count_rows; k += 4) {
      acc0 = Lanes::count(acc0, Lanes::load(q.sums + k * L), t);
      acc1 = Lanes::count(acc1, Lanes::load(q.sums + (k + 1) * L), t);
      acc0 = Lanes::count(acc0, Lanes::load(q.sums + (k + 2) * L), t);
      acc1 = Lanes::count(acc1, Lanes::load(q.sums + (k + 3) * L), t);
    }
    alignas(64) int64_t e[L];
    Lanes::store_counts(e, Lanes::add_counts(acc0, acc1));
    for (; active != 0; active &= active - 1) {
      const int c = __builtin_ctz(active);
      components[c][d] = static_cast<unsigned char>(e[c]);
    }
  }
  for (int c = 0; c < count; ++c) {
    const bool in = (in_rounds >> c & 1u) != 0;
    const int from = in ? rounds : 0;
    if (n[c] > from)
      place_lane_alone(p, q, c, in, totals[c], values[c], from, n[c], components[c]);
  }
}

// Where the gathering of cells has got to: entry `at` of row i, and whether
// row i's factors or any column's may have their sign bit set.
struct Cursor {
  ptrdiff_t i;
  int64_t at;
  bool signs;
};

inline bool row_signs(const LaneCall &a, ptrdiff_t K, ptrdiff_t i) {
  bool signs = a.column_signs;
  const double *row_w = a.row_factors + i * K;
  for (ptrdiff_t k = 0; k < K; ++k) signs |= sign_set(row_w[k]);
  return signs;
}

// Gathers into q the cells from the cursor on that make draws, in
// row-major order, until q is full, the rows end, or a cell with more draws
// than a chunk holds comes; returns whether one did (the cursor is at it).
inline bool gather(const LaneCall &a, const LanePlan &p, Cursor &u, Chunk &q) {
  const ptrdiff_t K = p.K;
  q.cells = q.drawn = 0;
  q.signs = false;
  while (u.i < a.n_rows) {
    const int64_t end = a.row_offsets[u.i + 1];
    for (; u.at < end; ++u.at) {
      const int64_t n = draws_for(a.values[u.at]);
      if (n == 0) continue;
      if (n > kChunkDraws) return true;
      if (q.cells == kChunkCells || q.drawn + n > kChunkDraws) return false;
      const int c = q.cells++;
      q.col[c] = a.col_indices[u.at];
      q.row[c] = static_cast<int32_t>(u.i);
      q.draws[c] = static_cast<int32_t>(n);
      q.first[c] = q.drawn;
      q.drawn += static_cast<int>(n);
      q.signs |= u.signs;
    }
    if (++u.i < a.n_rows) u.signs = row_signs(a, K, u.i);
  }
  return false;
}

inline void take_values(Chunk &q) {
  for (int d = 0; d < q.drawn; ++d) q.rand_values[d] = rand();
}

// The components of all of x's draws.
inline void place_chunk(const LanePlan &p, const LaneCall &a, const Chunk &x) {
  for (int b = 0; b < x.cells; b += Lanes::L) {
    const int count = x.cells - b < Lanes::L ? x.cells - b : Lanes::L;
    lane_batch(p, a.columns, a.row_factors, x, b, count);
  }
}

// Adds x's draws to the row tallies and the column counts while taking y's
// rand() values, one after each draw: the adds are cheap and fill the time
// a locked rand() call leaves the core idle.  A count that reaches its
// largest value is emptied into the caller's tally.
inline void tally_chunk(const LanePlan &p, const LaneCall &a, const Chunk &x, Chunk &y) {
  const ptrdiff_t K = p.K;
  int taken = 0;
  const int wanted = y.drawn;
  for (int c = 0; c < x.cells; ++c) {
    double *const row_t = a.row_tallies + static_cast<ptrdiff_t>(x.row[c]) * K;
    const ptrdiff_t j = x.col[c];
    uint16_t *const counts = column_counts(a, p, j);
    const unsigned char *e = x.components + x.first[c];
    for (int d = 0; d < x.draws[c]; ++d) {
      row_t[e[d]] += 1.0;
      if (++counts[e[d]] == kCountLimit) {
        sk::add_ones(a.col_tallies + e[d] * a.C + j, kCountLimit);
        counts[e[d]] = 0;
      }
      if (taken < wanted) y.rand_values[taken++] = rand();
    }
  }
  for (; taken < wanted; ++taken) y.rand_values[taken] = rand();
}

// Adds every column's counts to the caller's column tallies, a few columns
// at a time so that their counts stay in cache while the tally rows pass.
inline void add_counts(const LanePlan &p, const LaneCall &a) {
  constexpr ptrdiff_t kColumns = 64;
  const ptrdiff_t K = p.K, C = a.C;
  for (ptrdiff_t j0 = 0; j0 < C; j0 += kColumns) {
    const ptrdiff_t j1 = j0 + kColumns < C ? j0 + kColumns : C;
    for (ptrdiff_t k = 0; k < K; ++k) {
      double *const col_t = a.col_tallies + k * C;
      for (ptrdiff_t j = j0; j < j1; ++j) sk::add_ones(col_t + j, column_counts(a, p, j)[k]);
    }
  }
}

// The pass over all rows, with two chunks: while one chunk's draws reach
// the tallies, the next one's rand() values are taken.
inline void sample_lanes(const LaneCall &a, const LanePlan &p, Chunk &first, Chunk &second) {
  const ptrdiff_t K = p.K;
  Chunk *const both[2] = {&first, &second};
  for (Chunk *q : both) {
    for (ptrdiff_t k = K; k < p.line_padded; ++k) q->line[k] = kInf;
    for (ptrdiff_t x = K * Lanes::L; x < p.count_rows * Lanes::L; ++x) q->sums[x] = kInf;
    for (int d = kChunkDraws; d < kChunkDraws + kRounds; ++d) q->rand_values[d] = 0;
  }
  Cursor u{0, 0, a.n_rows > 0 && row_signs(a, K, 0)};
  Chunk *x = &first, *y = &second;
  bool at_many = gather(a, p, u, *x);
  take_values(*x);
  for (;;) {
    place_chunk(p, a, *x);
    y->cells = y->drawn = 0;
    bool next_at_many = false;
    if (!at_many) next_at_many = gather(a, p, u, *y);
    tally_chunk(p, a, *x, *y);
    if (at_many) {
      // A cell with more draws than a chunk holds, after every cell before
      // it: its plain chain in line, its draws taking rand() one by one.
      const ptrdiff_t i = u.i, j = a.col_indices[u.at];
      double total;
      const bool sorted = sk::chain_sorted(a.row_factors + i * K, a.columns + j * p.column_stride,
                                           1, K, x->line, total);
      sk::draw_from_chain(draws_for(a.values[u.at]), sorted, total, x->line,
                          static_cast<int32_t>(K), a.row_tallies + i * K, a.col_tallies + j, a.C);
      ++u.at;
      next_at_many = gather(a, p, u, *y);
      take_values(*y);
    }
    Chunk *const t = x;
    x = y;
    y = t;
    at_many = next_at_many;
    if (x->cells == 0 && !at_many) break;
  }
  add_counts(p, a);
}
