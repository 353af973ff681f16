// Binary_Search against the plain reference.  The input decides the length
// (bad lengths and a null array included), the entries and the target.
// Ordinary arrays end where a guard page begins, at the last entry, which
// must never be read for length >= 2; huge arrays (length above 2^30) live
// in one sparse mapping of 2^31 - 1 zeros with a few entries set.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz_input.h"
#include "guarded_memory.h"
#include "reference.h"
#include "sampling_kernels.h"

namespace {

constexpr int32_t kMaxLength = 4096;
constexpr int32_t kHugeLength = INT32_MAX;
constexpr int kWindow = 16;

[[noreturn]] void fail(const char *what, int32_t length, double target, int32_t got,
                       int32_t want) {
  std::fprintf(stderr, "Binary_Search: %s (length %d, target %a, got %d, expected %d)\n",
               what, length, target, got, want);
  std::abort();
}

double pick_target(fuzz::Input &in, const double *c, int32_t readable) {
  const uint8_t b = in.byte();
  const double entry = c[in.u32() % uint32_t(readable)];
  switch (b % 8) {
    case 0:
      return entry;  // ties
    case 1:
      return std::nextafter(entry, fuzz::kInf);
    case 2:
      return std::nextafter(entry, -fuzz::kInf);
    case 3:
      return fuzz::special_value(in.byte());
    case 4:
      return in.raw_double();
    default:
      // A scaled draw, as Multi_Sample forms it.
      return (double(in.u32() & 0x7fffffffu) / 2147483647.0) * c[readable - 1];
  }
}

void check(const double *c, int32_t length, double target, bool sorted) {
  const int32_t got = Binary_Search(c, length, target);
  const int32_t want = reference::binary_search(c, length, target);
  if (got != want) fail("differs from the reference", length, target, got, want);
  if (length < 1 || c == nullptr) return;
  if (got < 0 || got >= length) fail("out of range", length, target, got, want);
  if (!sorted || std::isnan(target) || length > kMaxLength) return;
  // Sorted sums: the first entry reaching the target, else the last index.
  int32_t first = length - 1;
  for (int32_t e = 0; e + 1 < length; ++e)
    if (target <= c[e]) {
      first = e;
      break;
    }
  if (got != first) fail("not the first entry reaching the target", length, target, got, first);
}

void ordinary(fuzz::Input &in) {
  static GuardedDoubles arena(kMaxLength);
  const int32_t length = 1 + int32_t(in.u16() % kMaxLength);
  // Entry length - 1 starts the guard page, except when it is the only one.
  const int32_t readable = length > 1 ? length - 1 : 1;
  double *c = arena.end() - readable;
  const auto kind = fuzz::WeightKind(in.byte() % fuzz::kWeightKinds);
  const uint8_t shape = in.byte() % 3;
  double sum = 0;
  bool sorted = true;
  for (int32_t e = 0; e < readable; ++e) {
    const double w = fuzz::weight(in, kind);
    if (shape == 0) {
      sum = w + sum;  // running sums, as Multi_Sample forms them
      c[e] = sum;
    } else if (shape == 1) {
      c[e] = w;  // the weights themselves: unsorted
    } else {
      c[e] = e / 2;  // runs of equal entries
    }
    if (e > 0 && !(c[e - 1] <= c[e])) sorted = false;
    if (std::isnan(c[e])) sorted = false;
  }
  const int n_targets = 1 + in.byte() % 8;
  for (int t = 0; t < n_targets; ++t) check(c, length, pick_target(in, c, readable), sorted);
}

void huge(fuzz::Input &in) {
  static SparseDoubles zeros(std::size_t{kHugeLength});
  const int32_t length = (1 << 30) + int32_t(in.u32() % uint32_t(kHugeLength - (1 << 30) + 1));
  const int32_t at = int32_t(in.u32() % uint32_t(length - kWindow));
  const auto kind = fuzz::WeightKind(in.byte() % fuzz::kWeightKinds);
  for (int e = 0; e < kWindow; ++e) zeros[std::size_t(at + e)] = fuzz::weight(in, kind);
  const int n_targets = 1 + in.byte() % 8;
  for (int t = 0; t < n_targets; ++t) {
    double target = pick_target(in, zeros.data() + at, kWindow);
    check(zeros.data(), length, target, false);
  }
  // Hand the touched pages back, so that memory does not grow run after run.
  const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
  const auto first = reinterpret_cast<uintptr_t>(zeros.data() + at) / page * page;
  const auto last = reinterpret_cast<uintptr_t>(zeros.data() + at + kWindow);
  madvise(reinterpret_cast<void *>(first), last - first, MADV_DONTNEED);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  fuzz::Input in(data, size);
  const uint8_t mode = in.byte();
  if (mode < 16) {
    // Bad input: nothing may be read, the answer is -1.
    static const int32_t bad[] = {0, -1, -2, INT32_MIN};
    static GuardedDoubles nothing(0);
    const double target = in.raw_double();
    check(nothing.data(), bad[mode % 4], target, false);
    check(nullptr, mode < 8 ? 1 + int32_t(in.u32() % uint32_t(kHugeLength)) : bad[mode % 4],
          target, false);
  } else if (mode < 40) {
    huge(in);
  } else {
    ordinary(in);
  }
  return 0;
}
