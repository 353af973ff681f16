// Multi_Sample against the plain reference, bit for bit.  The input decides
// the shape (bad shapes included), the counts, both weight matrices, the
// starting tallies, the rand() stream and whether the scratch allocation
// fails.  Besides the tallies, the target checks the rand() and heap traffic,
// that the read-only arrays are left as they were and that nothing is written
// next to the tallies.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "heap_watch.h"
#include "rand_script.h"
#include "reference.h"
#include "sampling_kernels.h"

namespace {

fuzz::RandScript script;
using fuzz::heap;

// Bounds that keep one execution to about a millisecond.
constexpr int64_t kMaxDraws = 40000;
constexpr int64_t kMaxWork = 120000;  // cells times components
constexpr std::size_t kMargin = 16;   // canary doubles on each side of a tally
constexpr uint64_t kCanaryBits = 0x7ff4dead5ca1ab1eull;

[[noreturn]] void fail(const char *what, int32_t rows, int32_t k, int32_t cols) {
  std::fprintf(stderr, "Multi_Sample: %s (rows %d, components %d, cols %d)\n", what,
               rows, k, cols);
  std::abort();
}

// An array of exactly n doubles on the heap, so that AddressSanitizer flags
// any access past either end; n == 0 gives a block that may not be touched.
struct Exact {
  std::unique_ptr<double[]> p;
  std::size_t n;
  explicit Exact(std::size_t n_) : p(new double[n_]), n(n_) {}
};

// A tally array between two runs of canaries.
struct Fenced {
  std::vector<double> buf;
  std::size_t n;
  explicit Fenced(std::size_t n_) : buf(n_ + 2 * kMargin), n(n_) {
    double canary;
    std::memcpy(&canary, &kCanaryBits, sizeof canary);
    for (std::size_t i = 0; i < kMargin; ++i) buf[i] = buf[kMargin + n + i] = canary;
  }
  double *data() { return buf.data() + kMargin; }
  bool fences_intact() const {
    for (std::size_t i = 0; i < kMargin; ++i) {
      uint64_t a, b;
      std::memcpy(&a, &buf[i], sizeof a);
      std::memcpy(&b, &buf[kMargin + n + i], sizeof b);
      if (a != kCanaryBits || b != kCanaryBits) return false;
    }
    return true;
  }
  bool same_bits(const Fenced &o) const {
    return n == o.n && std::memcmp(buf.data(), o.buf.data(), buf.size() * sizeof(double)) == 0;
  }
};

bool unchanged(const std::vector<double> &before, const Exact &now) {
  return before.empty() ||
         std::memcmp(before.data(), now.p.get(), before.size() * sizeof(double)) == 0;
}

int32_t dimension(fuzz::Input &in, int32_t max) {
  static const int32_t bad[] = {0, -1, -64, INT32_MIN};
  const uint8_t b = in.byte();
  if (b >= 248) return bad[b % 4];
  return 1 + b % max;
}

// Up to 3000 components, so that every layout of the running sums is
// reached: a quarter of the inputs go beyond 160 and about a tenth beyond
// 1408.
int32_t components(fuzz::Input &in) {
  static const int32_t bad[] = {0, -1, INT32_MIN, -300};
  static const int32_t limits[] = {1, 4, 9, 17, 33, 65, 90, 170, 300, 900, 1500, 3000};
  const uint8_t b = in.byte();
  if (b >= 240) return bad[b % 4];
  return 1 + int32_t(in.u16() % uint16_t(limits[b % 12]));
}

}  // namespace

extern "C" int rand() { return script.next(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  fuzz::Input in(data, size);
  int32_t rows = dimension(in, 6);
  const int32_t k = components(in);
  int32_t cols = dimension(in, 70);
  const uint8_t flags = in.byte();
  const bool null_when_empty = flags & 1;
  const bool fail_alloc = (flags >> 1) % 16 == 0;
  // Shrink the shape to the work bound: shrinking keeps the case valid.
  const int64_t kk = k > 0 ? k : 1;
  while (rows > 1 && int64_t(rows) * (cols > 0 ? cols : 1) * kk > kMaxWork) --rows;
  while (cols > 1 && int64_t(rows > 0 ? rows : 1) * cols * kk > kMaxWork) --cols;

  const std::size_t R = rows > 0 ? std::size_t(rows) : 0;
  const std::size_t C = cols > 0 ? std::size_t(cols) : 0;
  const std::size_t K = k > 0 ? std::size_t(k) : 0;

  Exact counts(R * C), row_factors(R * K), col_factors(K * C);
  Fenced row_tallies(R * K), col_tallies(K * C);

  int64_t draws = 0;
  for (std::size_t c = 0; c < R * C; ++c) {
    double v = fuzz::count(in);
    if (draws + fuzz::draws_for(v) > kMaxDraws) v = 0.0;
    draws += fuzz::draws_for(v);
    counts.p[c] = v;
  }
  const auto row_kind = fuzz::WeightKind(in.byte() % fuzz::kWeightKinds);
  const auto col_kind = fuzz::WeightKind(in.byte() % fuzz::kWeightKinds);
  for (std::size_t e = 0; e < R * K; ++e) row_factors.p[e] = fuzz::weight(in, row_kind);
  for (std::size_t e = 0; e < K * C; ++e) col_factors.p[e] = fuzz::weight(in, col_kind);
  const uint8_t tally_kind = in.byte();
  for (std::size_t e = 0; e < R * K; ++e) row_tallies.data()[e] = fuzz::tally(in, tally_kind);
  for (std::size_t e = 0; e < K * C; ++e)
    col_tallies.data()[e] = fuzz::tally(in, tally_kind >> 2);
  script.read(in);

  const std::vector<double> counts_before(counts.p.get(), counts.p.get() + R * C),
      row_factors_before(row_factors.p.get(), row_factors.p.get() + R * K),
      col_factors_before(col_factors.p.get(), col_factors.p.get() + K * C);
  Fenced ref_row = row_tallies, ref_col = col_tallies;

  // Without components, or without rows, the call may not touch any array,
  // so they may as well be null.  (With rows but n_cols < 1 the loop still
  // steps through the rows, forming offsets from the pointers it was given,
  // so those must be real.)
  const bool pass_null = null_when_empty && (R == 0 || K == 0);
  const double *counts_arg = pass_null ? nullptr : counts.p.get();
  const double *rf_arg = pass_null ? nullptr : row_factors.p.get();
  const double *cf_arg = pass_null ? nullptr : col_factors.p.get();
  double *rt_arg = pass_null ? nullptr : row_tallies.data();
  double *ct_arg = pass_null ? nullptr : col_tallies.data();

  script.rewind();
  heap.start(fail_alloc);
  Multi_Sample(counts_arg, rf_arg, cf_arg, rt_arg, ct_arg, rows, k, cols);
  heap.stop();
  const int64_t lib_calls = script.calls();

  // The heap traffic: one scratch array of n_components doubles, released
  // unless it could not be had; nothing at all without components.
  if (K == 0) {
    if (heap.n_malloc != 0 || heap.n_free != 0)
      fail("allocated without components", rows, k, cols);
  } else {
    if (heap.n_malloc != 1 || heap.malloc_size != K * sizeof(double))
      fail("not one scratch array of n_components doubles", rows, k, cols);
    if (heap.n_free != (fail_alloc ? 0 : 1)) fail("scratch array not freed once", rows, k, cols);
  }

  // What the call should have done.
  script.rewind();
  if (!(fail_alloc && K > 0)) {
    std::vector<double> cumulative(K);
    reference::multi_sample(counts.p.get(), row_factors.p.get(), col_factors.p.get(),
                            ref_row.data(), ref_col.data(), rows, k, cols,
                            cumulative.data(), [] { return script.next(); });
  }
  if (lib_calls != script.calls()) fail("took a different number of rand() values", rows, k, cols);
  if (!row_tallies.fences_intact() || !col_tallies.fences_intact())
    fail("wrote next to a tally array", rows, k, cols);
  if (!row_tallies.same_bits(ref_row)) fail("row tallies differ from the reference", rows, k, cols);
  if (!col_tallies.same_bits(ref_col)) fail("column tallies differ from the reference", rows, k, cols);
  if (!unchanged(counts_before, counts) || !unchanged(row_factors_before, row_factors) ||
      !unchanged(col_factors_before, col_factors))
    fail("wrote to a read-only array", rows, k, cols);
  return 0;
}
