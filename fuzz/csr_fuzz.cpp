// Multi_Sample_CSR against the plain reference on the densified matrix, bit
// for bit, and every malformed CSR refused with its code.  The input decides
// the shape (bad shapes included), the structure and how it is spoiled, the
// stored values, both weight matrices, the starting tallies, the rand()
// stream and whether the allocation fails.  Every array is a heap block of
// exactly its real length, so AddressSanitizer flags any read past it; a
// refused call must take no rand() value, allocate nothing and change no
// tally.
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
#include "sampling_kernels_sparse.h"

namespace {

fuzz::RandScript script;
using fuzz::heap;

constexpr int64_t kMaxDraws = 40000;
constexpr int64_t kMaxWork = 200000;  // cells times components

[[noreturn]] void fail(const char *what, int32_t rows, int32_t k, int32_t cols) {
  std::fprintf(stderr, "Multi_Sample_CSR: %s (rows %d, components %d, cols %d)\n", what, rows,
               k, cols);
  std::abort();
}

// Exactly n elements on the heap.
template <class T>
struct Exact {
  std::unique_ptr<T[]> p;
  std::size_t n;
  explicit Exact(const std::vector<T> &v) : p(new T[v.size()]), n(v.size()) {
    if (n != 0) std::memcpy(p.get(), v.data(), n * sizeof(T));
  }
  bool same(const std::vector<T> &v) const {
    return n == v.size() && (n == 0 || std::memcmp(p.get(), v.data(), n * sizeof(T)) == 0);
  }
};

// The documented checks, in their order, reading only what exists.
int32_t expected_status(const std::vector<int64_t> &offsets, const std::vector<int32_t> &indices,
                        int32_t rows, int32_t k, int32_t cols) {
  if (rows < 0 || cols < 0 || k < 1) return SK_CSR_BAD_SHAPE;
  if (offsets[0] != 0) return SK_CSR_OFFSETS_NOT_FROM_ZERO;
  for (int32_t i = 0; i < rows; ++i) {
    if (offsets[i + 1] < offsets[i]) return SK_CSR_OFFSETS_DECREASE;
    if (offsets[i + 1] - offsets[i] > cols) return SK_CSR_ROW_OVERRUN;
  }
  for (int32_t i = 0; i < rows; ++i) {
    int32_t previous = -1;
    for (int64_t p = offsets[i]; p < offsets[i + 1]; ++p) {
      if (static_cast<std::size_t>(p) >= indices.size()) fail("case reads past its arrays", rows, k, cols);
      const int32_t j = indices[p];
      if (j < 0 || j >= cols) return SK_CSR_INDEX_OUT_OF_RANGE;
      if (j == previous) return SK_CSR_INDEX_REPEATED;
      if (j < previous) return SK_CSR_INDICES_UNSORTED;
      previous = j;
    }
  }
  return SK_CSR_OK;
}

int32_t components(fuzz::Input &in) {
  static const int32_t bad[] = {0, -1, INT32_MIN, -300};
  static const int32_t limits[] = {1, 4, 9, 17, 49, 65, 130, 300};
  const uint8_t b = in.byte();
  if (b >= 248) return bad[b % 4];
  return 1 + int32_t(in.u16() % uint16_t(limits[b % 8]));
}

}  // namespace

extern "C" int rand() { return script.next(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  fuzz::Input in(data, size);
  const uint8_t shape = in.byte();
  int32_t rows = shape >= 250 ? -1 : in.byte() % 41;
  int32_t cols = shape >= 250 ? 3 : shape < 4 ? -2 : in.byte() % 71;
  const int32_t k = components(in);
  const uint8_t flags = in.byte();
  const bool fail_alloc = flags % 16 == 0;
  const int64_t kk = k > 0 ? k : 1;
  while (rows > 1 && int64_t(rows) * (cols > 0 ? cols : 1) * kk > kMaxWork) --rows;
  while (cols > 1 && int64_t(rows > 0 ? rows : 1) * cols * kk > kMaxWork) --cols;
  const std::size_t R = rows > 0 ? std::size_t(rows) : 0;
  const std::size_t C = cols > 0 ? std::size_t(cols) : 0;
  const std::size_t K = k > 0 ? std::size_t(k) : 0;

  // A valid structure first: rows empty, full or of some density.
  std::vector<int64_t> offsets{0};
  std::vector<int32_t> indices;
  std::vector<double> values;
  int64_t draws = 0;
  for (std::size_t i = 0; i < R; ++i) {
    const uint8_t kind = in.byte();
    for (std::size_t j = 0; j < C; ++j) {
      const bool stored = kind < 32 ? false : kind < 64 ? true : in.byte() < kind - 64;
      if (!stored) continue;
      double v = fuzz::count(in);
      if (draws + fuzz::draws_for(v) > kMaxDraws) v = 1.0;
      if (draws + fuzz::draws_for(v) > kMaxDraws) v = 0.0;
      draws += fuzz::draws_for(v);
      indices.push_back(int32_t(j));
      values.push_back(v);
    }
    offsets.push_back(int64_t(indices.size()));
  }
  // Then perhaps a fault.
  const uint8_t spoil = in.byte() % 16;
  const std::size_t nnz = indices.size();
  const std::size_t at = nnz > 0 ? in.u16() % nnz : 0;
  const std::size_t row = R > 0 ? in.u16() % R : 0;
  switch (spoil) {
    case 0: offsets[0] = (in.byte() & 1) ? 1 : -1; break;
    case 1: if (R > 0) offsets[row + 1] = offsets[row] - 1 - in.byte() % 3; break;
    case 2: if (R > 0) for (std::size_t i = row + 1; i <= R; ++i) offsets[i] += int64_t(C) + 1; break;
    case 3: if (nnz > 0) indices[at] = (in.byte() & 1) ? int32_t(C) + in.byte() % 3 : -1 - in.byte() % 3; break;
    case 4: if (nnz > 0) indices[at] = in.byte() & 1 ? INT32_MAX : INT32_MIN; break;
    case 5:  // swap or repeat within a row
    case 6:
      for (std::size_t i = 0; i < R; ++i) {
        if (offsets[i + 1] - offsets[i] >= 2 && std::size_t(offsets[i]) <= at && at + 1 < std::size_t(offsets[i + 1])) {
          if (spoil == 5) std::swap(indices[at], indices[at + 1]);
          else indices[at + 1] = indices[at];
        }
      }
      break;
    case 7: if (R > 0) offsets[R] = offsets[R] - 1 - in.byte() % 4; break;
    default: break;
  }

  std::vector<double> row_factors(R * K), col_factors(K * C), row_tallies(R * K),
      col_tallies(K * C);
  const auto row_kind = fuzz::WeightKind(in.byte() % fuzz::kWeightKinds);
  const auto col_kind = fuzz::WeightKind(in.byte() % fuzz::kWeightKinds);
  for (auto &x : row_factors) x = fuzz::weight(in, row_kind);
  for (auto &x : col_factors) x = fuzz::weight(in, col_kind);
  const uint8_t tally_kind = in.byte();
  for (auto &x : row_tallies) x = fuzz::tally(in, tally_kind);
  for (auto &x : col_tallies) x = fuzz::tally(in, tally_kind >> 2);
  script.read(in);

  const int32_t expected = expected_status(offsets, indices, rows, k, cols);
  // The offsets as the call sees them: n_rows + 1 of them (one for a bad shape).
  Exact<int64_t> offsets_arg(std::vector<int64_t>(offsets.begin(), offsets.begin() + R + 1));
  Exact<int32_t> indices_arg(indices);
  Exact<double> values_arg(values), rf(row_factors), cf(col_factors), rt(row_tallies),
      ct(col_tallies);

  script.rewind();
  heap.start(fail_alloc);
  const int32_t status = Multi_Sample_CSR(offsets_arg.p.get(), indices_arg.p.get(),
                                          values_arg.p.get(), rf.p.get(), cf.p.get(), rt.p.get(),
                                          ct.p.get(), rows, k, cols);
  heap.stop();
  const int64_t lib_calls = script.calls();

  if (!offsets_arg.same(std::vector<int64_t>(offsets.begin(), offsets.begin() + R + 1)) ||
      !indices_arg.same(indices) || !values_arg.same(values) || !rf.same(row_factors) ||
      !cf.same(col_factors))
    fail("changed a read-only array", rows, k, cols);

  const bool any_entries = expected == SK_CSR_OK && offsets[R] > 0;
  const bool no_memory = any_entries && fail_alloc;
  if (expected != SK_CSR_OK || no_memory) {
    if (status != (no_memory ? SK_CSR_NO_MEMORY : expected)) fail("wrong status", rows, k, cols);
    if (lib_calls != 0) fail("drew before refusing", rows, k, cols);
    if (!rt.same(row_tallies) || !ct.same(col_tallies)) fail("changed a tally", rows, k, cols);
    if (heap.n_free != 0 || heap.n_malloc != (no_memory ? 1 : 0))
      fail("heap traffic", rows, k, cols);
    return 0;
  }
  if (status != SK_CSR_OK) fail("refused a valid CSR", rows, k, cols);
  if (heap.n_malloc != (any_entries ? 1 : 0) || heap.n_free != heap.n_malloc)
    fail("heap traffic", rows, k, cols);

  // The reference on the densified matrix.
  std::vector<double> dense(R * C, 0.0);
  for (std::size_t i = 0; i < R; ++i)
    for (int64_t p = offsets[i]; p < offsets[i + 1]; ++p) dense[i * C + std::size_t(indices[p])] = values[p];
  std::vector<double> cumulative(K);
  script.rewind();
  reference::multi_sample(dense.data(), row_factors.data(), col_factors.data(),
                          row_tallies.data(), col_tallies.data(), rows, k, cols, cumulative.data(),
                          [] { return script.next(); });
  if (lib_calls != script.calls()) fail("took a different number of rand() values", rows, k, cols);
  if (!rt.same(row_tallies) || !ct.same(col_tallies)) fail("tallies differ from the reference", rows, k, cols);
  return 0;
}
