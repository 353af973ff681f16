// Multi_Sample_CSR against Multi_Sample on the densified matrix and against
// the plain reference, bit for bit, under scripted and real rand streams; and
// every kind of bad CSR, refused with its code, nothing changed, nothing
// drawn and nothing read out of bounds.  Built once against the companion
// and once against each build of it pinned to one kernel
// (SK_CSR_TEST_KERNEL names it).
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "guarded_memory.h"
#include "libc_script.h"
#include "reference.h"
#include "sampling_kernels.h"
#include "sampling_kernels_sparse.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

#ifdef SK_CSR_TEST_KERNEL
// A build pinned to the AVX2 kernel runs it on every call, so it needs a CPU
// (and OS) with AVX2.
class PinnedKernel : public ::testing::Environment {
 public:
  void SetUp() override {
    if (std::string(SK_CSR_TEST_KERNEL) == "avx2" && !__builtin_cpu_supports("avx2"))
      GTEST_SKIP() << "the AVX2 kernel needs a CPU with AVX2";
  }
};
::testing::Environment *const kPinnedKernel =
    ::testing::AddGlobalTestEnvironment(new PinnedKernel);
#endif

bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// A problem in both forms: the CSR arrays and the densified counts.
struct Problem {
  int32_t rows = 0, components = 1, cols = 0;
  std::vector<int64_t> offsets{0};
  std::vector<int32_t> indices;
  std::vector<double> values, dense, row_factors, col_factors, row_tallies, col_tallies;
};

// How wild a problem's values are.
enum class Values {
  clean,     // positive weights, counts 1 to 5
  specials,  // NaN, infinite, negative, sub-threshold, huge stored counts and weights
  ties,      // small integer weights, so draws land on running sums
  many,      // some cells with hundreds of draws
  unsigned_specials,  // NaN, infinite, zero and huge weights, none with its sign bit set
};

const char *name_of(Values v) {
  switch (v) {
    case Values::clean: return "clean";
    case Values::specials: return "specials";
    case Values::ties: return "ties";
    case Values::many: return "many";
    case Values::unsigned_specials: return "unsigned_specials";
  }
  return "?";
}

// So that CTest's listing shows the value kind, not its bytes.
void PrintTo(Values v, std::ostream *os) { *os << name_of(v); }

class Maker {
 public:
  explicit Maker(uint64_t seed) : gen_(seed) {}
  int32_t below(int32_t n) { return static_cast<int32_t>(gen_() % static_cast<uint64_t>(n)); }
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(gen_) < p; }
  double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(gen_); }

  double weight(Values v) {
    if (v == Values::ties) return below(3);
    if (v == Values::specials && chance(0.15)) {
      static const double s[] = {0.0, -0.0, kNaN, kInf, -kInf, -1.5, 5e-324, 1e300, 1e308, 1e-300};
      return s[below(sizeof s / sizeof *s)];
    }
    if (v == Values::unsigned_specials && chance(0.15)) {
      // Where no factor has its sign bit set, the sums are sorted unless a
      // product is NaN (0 * inf gives a NaN with the sign bit set) or
      // infinite.
      static const double s[] = {0.0, kNaN, kInf, 5e-324, 1e300, 1e308};
      return s[below(sizeof s / sizeof *s)];
    }
    return uniform(1e-3, 2.0);
  }
  double count(Values v) {
    if (v == Values::specials && chance(0.3)) {
      static const double s[] = {kNaN, kInf, -kInf, -2.0, 0.0, -0.0, 0.49999999999999994, 0.5,
                                 0.25, 3e9, 2147483648.0, 1e-320, 1.5, 2.0000000000000004};
      return s[below(sizeof s / sizeof *s)];
    }
    if (v == Values::many && chance(0.1)) return 100 + below(400);
    return 1 + below(5);
  }
  // Starting tallies where adding 1.0 does not simply count: fractions, a
  // value past 2^53, a NaN, a negative zero.
  double tally() {
    static const double s[] = {0.0, -0.0, 0.3, 1e-17, 9007199254740993.0, 1e300, kNaN, -2.5};
    return chance(0.5) ? s[below(sizeof s / sizeof *s)] : below(100) + 0.1 * below(10);
  }

  // Row i holds entries with probability `density`; some rows are forced
  // empty, to one entry, or full.
  Problem problem(int32_t rows, int32_t components, int32_t cols, double density, Values v) {
    Problem p;
    p.rows = rows;
    p.components = components;
    p.cols = cols;
    p.dense.assign(static_cast<size_t>(rows) * cols, 0.0);
    for (int32_t i = 0; i < rows; ++i) {
      const int shape = below(6);  // 0 empty, 1 one entry, 2 full, else random
      const int32_t only = cols > 0 ? below(cols) : 0;
      for (int32_t j = 0; j < cols; ++j) {
        const bool stored = shape == 0   ? false
                            : shape == 1 ? j == only
                            : shape == 2 ? true
                                         : chance(density);
        if (!stored) continue;
        const double c = count(v);
        p.indices.push_back(j);
        p.values.push_back(c);
        p.dense[static_cast<size_t>(i) * cols + j] = c;
      }
      p.offsets.push_back(static_cast<int64_t>(p.indices.size()));
    }
    for (size_t n = static_cast<size_t>(rows) * components; n > 0; --n) {
      p.row_factors.push_back(weight(v));
      p.row_tallies.push_back(tally());
    }
    for (size_t n = static_cast<size_t>(components) * cols; n > 0; --n) {
      p.col_factors.push_back(weight(v));
      p.col_tallies.push_back(tally());
    }
    return p;
  }

 private:
  std::mt19937_64 gen_;
};

struct Outcome {
  std::vector<double> row_tallies, col_tallies;
  int64_t rand_calls = 0;
  int32_t status = 0;
};

// Where a run's rand() values come from; `start` resets the stream.
struct Stream {
  enum { seeded, real, boundary } kind;
  uint64_t seed;
  void start() const {
    switch (kind) {
      case seeded: libc_script::use_seeded(seed); break;
      case real:
        libc_script::use_real_rand();
        std::srand(static_cast<unsigned>(seed));
        break;
      case boundary:
        // Extremes and values whose draws fall on or next to running sums.
        libc_script::use_values({0, 2147483647, 1073741823, 1073741824, 715827882, 1431655765,
                                 1431655764, 1, 2147483646},
                                true);
        break;
    }
    libc_script::reset();
  }
};

// With fail_malloc the call's allocation fails.
Outcome run_csr(const Problem &p, const Stream &s, bool fail_malloc = false) {
  Outcome o{p.row_tallies, p.col_tallies};
  s.start();
  if (fail_malloc) libc_script::fail_next_malloc();
  o.status = Multi_Sample_CSR(p.offsets.data(), p.indices.data(), p.values.data(),
                              p.row_factors.data(), p.col_factors.data(), o.row_tallies.data(),
                              o.col_tallies.data(), p.rows, p.components, p.cols);
  o.rand_calls = libc_script::rand_calls();
  return o;
}

Outcome run_dense(const Problem &p, const Stream &s) {
  Outcome o{p.row_tallies, p.col_tallies};
  s.start();
  Multi_Sample(p.dense.data(), p.row_factors.data(), p.col_factors.data(), o.row_tallies.data(),
               o.col_tallies.data(), p.rows, p.components, p.cols);
  o.rand_calls = libc_script::rand_calls();
  return o;
}

Outcome run_reference(const Problem &p, const Stream &s) {
  Outcome o{p.row_tallies, p.col_tallies};
  std::vector<double> cumulative(static_cast<size_t>(p.components));
  s.start();
  reference::multi_sample(p.dense.data(), p.row_factors.data(), p.col_factors.data(),
                          o.row_tallies.data(), o.col_tallies.data(), p.rows, p.components,
                          p.cols, cumulative.data(), [] { return rand(); });
  o.rand_calls = libc_script::rand_calls();
  return o;
}

// All three agree to the bit and take the same number of rand() values.
void expect_agreement(const Problem &p, const Stream &s, const std::string &what) {
  const Outcome csr = run_csr(p, s), dense = run_dense(p, s), plain = run_reference(p, s);
  ASSERT_EQ(csr.status, SK_CSR_OK) << what;
  EXPECT_EQ(csr.rand_calls, plain.rand_calls) << what;
  EXPECT_EQ(dense.rand_calls, plain.rand_calls) << what;
  EXPECT_TRUE(same_bits(csr.row_tallies, plain.row_tallies)) << what << ": row tallies";
  EXPECT_TRUE(same_bits(csr.col_tallies, plain.col_tallies)) << what << ": column tallies";
  EXPECT_TRUE(same_bits(dense.row_tallies, plain.row_tallies)) << what << ": dense row tallies";
  EXPECT_TRUE(same_bits(dense.col_tallies, plain.col_tallies)) << what << ": dense column tallies";
}

// K on both sides of every strategy boundary of the dense kernel (blocks
// above 16 components; 8, 4 and 2 lanes up to 208, 416 and 832; the plain
// loop above) and of this one's (one count up to 24 components, two levels
// with blocks of 4 up to 48 and of 16 above, each count unrolled for its
// shape up to 256; odd K ends the paired build with a single step).
const int32_t kComponents[] = {1,   2,   3,   4,   5,   7,   8,   9,   15,  16,  17,  24,  25,
                               32,  33,  48,  49,  100, 160, 208, 209, 416, 417, 832, 833, 1000};

using Case = std::tuple<int32_t, Values>;

class CsrDifferential : public ::testing::TestWithParam<Case> {};

TEST_P(CsrDifferential, MatchesDenseAndReferenceBitForBit) {
  const auto [K, v] = GetParam();
  Maker make(1000u * static_cast<uint64_t>(K) + static_cast<uint64_t>(v));
  // Fewer and smaller problems as K grows, so the plain reference stays quick.
  const int trials = K <= 33 ? 30 : K <= 208 ? 10 : 4;
  for (int t = 0; t < trials; ++t) {
    const int32_t rows = make.below(K <= 33 ? 25 : 8);
    const int32_t cols = 1 + make.below(K <= 33 ? 45 : 20);
    const double density = make.uniform(0.0, 1.0);
    const Problem p = make.problem(rows, K, cols, density, v);
    const std::string what = "trial " + std::to_string(t) + " (" + std::to_string(rows) + " x " +
                             std::to_string(cols) + ", " + std::to_string(p.values.size()) +
                             " entries)";
    expect_agreement(p, Stream{Stream::seeded, 77u + static_cast<uint64_t>(t)}, what + " seeded");
    expect_agreement(p, Stream{Stream::real, 5u + static_cast<uint64_t>(t)}, what + " real rand");
    if (v == Values::ties)
      expect_agreement(p, Stream{Stream::boundary, 0}, what + " boundary draws");
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryStrategy, CsrDifferential,
    ::testing::Combine(::testing::ValuesIn(kComponents),
                       ::testing::Values(Values::clean, Values::specials, Values::ties,
                                         Values::many, Values::unsigned_specials)),
    [](const ::testing::TestParamInfo<Case> &info) {
      char name[64];
      std::snprintf(name, sizeof name, "K%d_%s", std::get<0>(info.param),
                    name_of(std::get<1>(info.param)));
      return std::string(name);
    });

// Sums are taken as sorted only where no factor of the row or the column
// has its sign bit set: one negative factor, in a row's factors alone or in
// a column's alone, in the middle or last, must send its cells to the
// general search.
TEST(CsrSigns, OneNegativeFactorInARowOrAColumnAlone) {
  for (const int32_t K : {3, 20, 100}) {
    Maker make(static_cast<uint64_t>(K));
    for (const bool in_row : {true, false}) {
      for (const int32_t k : {K / 2, K - 1}) {
        Problem p = make.problem(12, K, 30, 0.8, Values::clean);
        // In the row with the most entries, or a column; large enough to make
        // the running sums fall well below their peak.
        size_t row = 0;
        for (size_t i = 1; i < 12; ++i)
          if (p.offsets[i + 1] - p.offsets[i] > p.offsets[row + 1] - p.offsets[row]) row = i;
        const size_t at = in_row ? row * static_cast<size_t>(K) + static_cast<size_t>(k)
                                 : static_cast<size_t>(k) * 30 + 7;
        (in_row ? p.row_factors : p.col_factors)[at] = -40.0;
        const std::string what = "K " + std::to_string(K) + (in_row ? ", row" : ", column") +
                                 " component " + std::to_string(k);
        expect_agreement(p, Stream{Stream::seeded, 3}, what + " seeded");
        expect_agreement(p, Stream{Stream::real, 4}, what + " real rand");
      }
    }
  }
}

// Shapes the random problems rarely hit, each against the dense call.
TEST(CsrShapes, EdgeShapesMatchDense) {
  Maker make(3);
  struct Shape {
    int32_t rows, components, cols;
    double density;
  };
  const Shape shapes[] = {
      {1, 1, 1, 1.0},   {1, 3, 1, 1.0},    {40, 4, 1, 0.5},  {1, 20, 300, 1.0},
      {1, 20, 300, 0.01}, {300, 6, 2, 0.3}, {5, 50, 400, 0.9}, {64, 16, 64, 0.05},
  };
  for (const Shape &s : shapes) {
    const Problem p = make.problem(s.rows, s.components, s.cols, s.density, Values::clean);
    const std::string what = std::to_string(s.rows) + " x " + std::to_string(s.cols) + " K " +
                             std::to_string(s.components);
    expect_agreement(p, Stream{Stream::seeded, 9}, what);
  }
}

// Calls of 2^20 products and more choose their kernel at run time (AVX2
// where the CPU has it): one just below and one at the bound, each with
// sign-free and signed factors, agree with the dense call and the plain loop.
TEST(CsrShapes, CallsEitherSideOfTheKernelChoiceMatch) {
  Maker make(21);
  for (const int32_t rows : {255, 256}) {  // 256 x 256 x 16 is 2^20 products
    for (const Values v : {Values::clean, Values::specials}) {
      Problem p = make.problem(rows, 16, 256, 1.0, v);
      // Every cell stored, whatever shape the maker drew for each row.
      p.offsets.assign(1, 0);
      p.indices.clear();
      p.values.clear();
      for (int32_t i = 0; i < rows; ++i) {
        for (int32_t j = 0; j < 256; ++j) {
          const double c = make.count(v);
          p.indices.push_back(j);
          p.values.push_back(c);
          p.dense[static_cast<size_t>(i) * 256 + j] = c;
        }
        p.offsets.push_back(static_cast<int64_t>(p.indices.size()));
      }
      expect_agreement(p, Stream{Stream::seeded, 5}, std::to_string(rows) + " rows " + name_of(v));
    }
  }
}

// With at least one entry per column, a column's draws are counted per
// component in 16 bits and reach its tallies at the end, or whenever a
// count reaches 65535.  One column (not the first) takes all the draws
// here, nearly all on one component (a middle one), so that its count
// passes the limit three times; its
// tallies start fractional (adds one at a time), at 2^53 (where adding 1.0
// changes nothing) and negative zero; and a matrix of a single column.
TEST(CsrColumnCounts, CountsPastTheirLimitAndSingleColumnsMatch) {
  Maker make(43);
  for (const int32_t K : {4, 70}) {
    for (const Values v : {Values::clean, Values::unsigned_specials}) {
      Problem p = make.problem(100, K, 40, 0.0, v);
      p.offsets.assign(1, 0);
      p.indices.clear();
      p.values.clear();
      std::fill(p.dense.begin(), p.dense.end(), 0.0);
      for (int32_t i = 0; i < 100; ++i) {
        p.indices.push_back(17);
        p.values.push_back(2000);
        p.dense[static_cast<size_t>(i) * 40 + 17] = 2000;
        p.offsets.push_back(i + 1);
        p.row_factors[static_cast<size_t>(i) * K + K / 2] = 1e6;
      }
      ASSERT_GT(100 * 2000, 3 * 65535);
      p.col_tallies[(K / 2) * 40 + 17] = 0.5;
      p.col_tallies[(K / 2 + 1) % K * 40 + 17] = 9007199254740992.0;
      p.col_tallies[17] = -0.0;
      const std::string what = "K " + std::to_string(K) + " " + name_of(v);
      expect_agreement(p, Stream{Stream::seeded, 31}, what + " seeded");
      expect_agreement(p, Stream{Stream::boundary, 0}, what + " boundary draws");
      expect_agreement(p, Stream{Stream::real, 8}, what + " real rand");
    }
  }
  // Three columns, even weights: every count of each passes the limit,
  // each at its own point of the stream.
  for (const int32_t K : {3, 20}) {
    Problem p = make.problem(0, K, 40, 0.0, Values::clean);
    constexpr int32_t kCellDraws = 6000;
    const int32_t rows = 70000 * K / kCellDraws + 1;
    // A column's draws per component average at least 70,000, 18 standard
    // deviations or more above the limit.
    p.rows = rows;
    p.dense.assign(static_cast<size_t>(rows) * 40, 0.0);
    p.row_factors.assign(static_cast<size_t>(rows) * K, 1.0);
    p.row_tallies.assign(static_cast<size_t>(rows) * K, 0.0);
    std::fill(p.col_factors.begin(), p.col_factors.end(), 1.0);
    for (int32_t i = 0; i < rows; ++i) {
      for (const int32_t j : {5, 17, 39}) {
        p.indices.push_back(j);
        p.values.push_back(kCellDraws);
        p.dense[static_cast<size_t>(i) * 40 + j] = kCellDraws;
      }
      p.offsets.push_back(static_cast<int64_t>(p.indices.size()));
    }
    expect_agreement(p, Stream{Stream::real, 10}, "three full columns, K " + std::to_string(K));
  }
  for (const int32_t K : {1, 16, 70}) {
    const Problem p = make.problem(30, K, 1, 0.7, Values::many);
    expect_agreement(p, Stream{Stream::seeded, 32}, "one column, K " + std::to_string(K));
    expect_agreement(p, Stream{Stream::real, 9}, "one column real rand, K " + std::to_string(K));
  }
}

// A matrix with no entries, or with no rows, draws nothing, allocates
// nothing and succeeds.
TEST(CsrShapes, EmptyMatricesDoNothing) {
  SK_SKIP_UNLESS_HEAP_SCRIPTED();
  Maker make(4);
  for (const auto &[rows, cols] : {std::pair{0, 5}, std::pair{3, 0}, std::pair{4, 7}}) {
    Problem p = make.problem(rows, 3, cols, 0.0, Values::clean);
    p.offsets.assign(static_cast<size_t>(rows) + 1, 0);
    p.indices.clear();
    p.values.clear();
    const Outcome o = run_csr(p, Stream{Stream::seeded, 1});
    EXPECT_EQ(o.status, SK_CSR_OK);
    EXPECT_EQ(o.rand_calls, 0);
    EXPECT_EQ(libc_script::malloc_calls(), 0);
    EXPECT_TRUE(same_bits(o.row_tallies, p.row_tallies));
    EXPECT_TRUE(same_bits(o.col_tallies, p.col_tallies));
  }
}

// Tallies go through transposed copies and back: every element the draws
// do not reach keeps its bits, whatever they are (NaN payloads, signalling
// NaNs, negative zero), for shapes that are not whole tiles or pairs.
TEST(CsrShapes, UntouchedTalliesKeepTheirBits) {
  std::mt19937_64 bits(11);
  for (const int32_t components : {1, 3, 17, 33}) {
    Maker make(static_cast<uint64_t>(components));
    Problem p = make.problem(9, components, 37, 1.0, Values::clean);
    // One draw in all, so that nearly every tally is only copied.
    for (double &v : p.values) v = 0.25;
    p.values[0] = 1.0;
    for (auto *t : {&p.row_tallies, &p.col_tallies})
      for (double &x : *t) {
        const uint64_t pattern = bits();
        std::memcpy(&x, &pattern, sizeof x);
      }
    p.col_tallies[0] = 0x1p-1074;
    const uint64_t signalling = 0x7ff0000000000001ull;
    std::memcpy(&p.col_tallies.back(), &signalling, sizeof(double));
    p.dense.assign(p.dense.size(), 0.25);
    int32_t first_row = 0;
    while (p.offsets[first_row + 1] == 0) ++first_row;
    p.dense[static_cast<size_t>(first_row) * p.cols + p.indices[0]] = 1.0;
    ASSERT_GE(static_cast<int32_t>(p.indices.size()), p.cols);  // the transposed path
    expect_agreement(p, Stream{Stream::seeded, 3}, "K=" + std::to_string(components));
    const Outcome o = run_csr(p, Stream{Stream::seeded, 3});
    int changed = 0;
    for (size_t n = 0; n < o.col_tallies.size(); ++n)
      changed += std::memcmp(&o.col_tallies[n], &p.col_tallies[n], sizeof(double)) != 0;
    EXPECT_LE(changed, 1) << "K=" << components;
  }
}

// One malloc and one free per call that has entries.
TEST(CsrShapes, OneAllocationPerCall) {
  SK_SKIP_UNLESS_HEAP_SCRIPTED();
  Maker make(5);
  for (const int32_t cols : {3, 400}) {  // transposed copies, then the caller's arrays
    const Problem p = make.problem(6, 5, cols, 0.5, Values::clean);
    ASSERT_FALSE(p.values.empty());
    const Outcome o = run_csr(p, Stream{Stream::seeded, 1});
    EXPECT_EQ(o.status, SK_CSR_OK);
    EXPECT_EQ(libc_script::malloc_calls(), 1) << cols;
    EXPECT_EQ(libc_script::free_calls(), 1) << cols;
  }
}

// ---- bad input ----

// A small valid problem whose arrays the bad cases then spoil.
Problem valid_problem() {
  Maker make(6);
  Problem p = make.problem(4, 3, 5, 0.6, Values::clean);
  // Rows 0 and 1 with three entries each, so every fault has room.
  p.offsets = {0, 3, 6, 6, 8};
  p.indices = {0, 2, 4, 1, 2, 3, 0, 4};
  p.values = {1, 2, 3, 4, 5, 1, 2, 3};
  p.dense.assign(static_cast<size_t>(p.rows) * p.cols, 0.0);
  for (int32_t i = 0; i < p.rows; ++i)
    for (int64_t e = p.offsets[i]; e < p.offsets[i + 1]; ++e)
      p.dense[static_cast<size_t>(i) * p.cols + p.indices[e]] = p.values[e];
  return p;
}

struct BadCase {
  const char *name;
  int32_t expected;
  void (*spoil)(Problem &);
};

void PrintTo(const BadCase &c, std::ostream *os) { *os << c.name; }

const BadCase kBadCases[] = {
    {"NegativeRows", SK_CSR_BAD_SHAPE, [](Problem &p) { p.rows = -1; }},
    {"NegativeColumns", SK_CSR_BAD_SHAPE, [](Problem &p) { p.cols = -1; }},
    {"NoComponents", SK_CSR_BAD_SHAPE, [](Problem &p) { p.components = 0; }},
    {"NegativeComponents", SK_CSR_BAD_SHAPE, [](Problem &p) { p.components = -3; }},
    {"OffsetsNotFromZero", SK_CSR_OFFSETS_NOT_FROM_ZERO, [](Problem &p) { p.offsets[0] = 1; }},
    {"NegativeFirstOffset", SK_CSR_OFFSETS_NOT_FROM_ZERO, [](Problem &p) { p.offsets[0] = -1; }},
    {"OffsetsDecrease", SK_CSR_OFFSETS_DECREASE, [](Problem &p) { p.offsets[2] = 2; }},
    {"LastOffsetBelowOthers", SK_CSR_OFFSETS_DECREASE,
     // Row 1 would run past the arrays' real end at 5 entries.
     [](Problem &p) { p.offsets = {0, 3, 6, 6, 5}; }},
    {"HugeOffset", SK_CSR_ROW_OVERRUN,
     [](Problem &p) { p.offsets[1] = std::numeric_limits<int64_t>::max(); }},
    {"RowLongerThanColumns", SK_CSR_ROW_OVERRUN, [](Problem &p) { p.offsets = {0, 6, 6, 6, 8}; }},
    {"IndexNegative", SK_CSR_INDEX_OUT_OF_RANGE, [](Problem &p) { p.indices[3] = -1; }},
    {"IndexAtColumns", SK_CSR_INDEX_OUT_OF_RANGE, [](Problem &p) { p.indices[7] = 5; }},
    {"IndexHuge", SK_CSR_INDEX_OUT_OF_RANGE,
     [](Problem &p) { p.indices[0] = std::numeric_limits<int32_t>::max(); }},
    {"IndexMostNegative", SK_CSR_INDEX_OUT_OF_RANGE,
     [](Problem &p) { p.indices[5] = std::numeric_limits<int32_t>::min(); }},
    {"IndicesUnsorted", SK_CSR_INDICES_UNSORTED, [](Problem &p) { p.indices[4] = 0; }},
    {"IndicesDescending", SK_CSR_INDICES_UNSORTED,
     [](Problem &p) { p.indices = {4, 2, 0, 1, 2, 3, 0, 4}; }},
    {"IndexRepeated", SK_CSR_INDEX_REPEATED, [](Problem &p) { p.indices[1] = 0; }},
    {"IndexRepeatedLastRow", SK_CSR_INDEX_REPEATED, [](Problem &p) { p.indices[7] = 0; }},
};

// Runs a spoiled problem with every array against a guard page (the offsets
// as n_rows + 1 entries, indices and values cut to the last offset when that
// is shorter), and checks the refusal left everything as it was.
void expect_refused(Problem p, int32_t expected, const std::string &what) {
  const size_t n_offsets = p.rows >= 0 ? static_cast<size_t>(p.rows) + 1 : 1;
  p.offsets.resize(std::max(p.offsets.size(), n_offsets));
  const int64_t last = p.offsets[n_offsets - 1];
  if (last >= 0 && static_cast<size_t>(last) < p.indices.size()) {
    p.indices.resize(static_cast<size_t>(last));
    p.values.resize(static_cast<size_t>(last));
  }
  Guarded<int64_t> offsets(std::vector<int64_t>(p.offsets.begin(), p.offsets.begin() + n_offsets));
  Guarded<int32_t> indices(p.indices);
  Guarded<double> values(p.values), row_factors(p.row_factors), col_factors(p.col_factors);
  std::vector<double> row_t = p.row_tallies, col_t = p.col_tallies;
  libc_script::use_seeded(1);
  libc_script::reset();
  const int32_t status = Multi_Sample_CSR(offsets.data(), indices.data(), values.data(),
                                          row_factors.data(), col_factors.data(), row_t.data(),
                                          col_t.data(), p.rows, p.components, p.cols);
  EXPECT_EQ(status, expected) << what;
  EXPECT_EQ(libc_script::rand_calls(), 0) << what;
  if (libc_script::heap_scripted()) {
    EXPECT_EQ(libc_script::malloc_calls(), 0) << what;
  }
  EXPECT_TRUE(same_bits(row_t, p.row_tallies)) << what;
  EXPECT_TRUE(same_bits(col_t, p.col_tallies)) << what;
}

class CsrBadInput : public ::testing::TestWithParam<BadCase> {};

TEST_P(CsrBadInput, RefusedWithNothingChanged) {
  const BadCase &c = GetParam();
  Problem p = valid_problem();
  c.spoil(p);
  expect_refused(p, c.expected, c.name);
}

INSTANTIATE_TEST_SUITE_P(EveryFault, CsrBadInput, ::testing::ValuesIn(kBadCases),
                         [](const ::testing::TestParamInfo<BadCase> &info) {
                           return std::string(info.param.name);
                         });

// The unspoiled problem runs, so the refusals above are the faults' doing.
TEST(CsrBadInputControl, UnspoiledProblemRuns) {
  const Problem p = valid_problem();
  expect_agreement(p, Stream{Stream::seeded, 2}, "unspoiled");
}

// The first fault found is reported: offsets before indices, and indices in
// order of position.
TEST(CsrBadInputControl, FirstFaultIsReported) {
  Problem p = valid_problem();
  p.indices[6] = 9;  // out of range in row 3
  p.indices[1] = 0;  // repeated in row 0, found first
  expect_refused(p, SK_CSR_INDEX_REPEATED, "repeat before range");
  p.offsets[3] = 1;  // and offsets decrease, checked before any index
  expect_refused(p, SK_CSR_OFFSETS_DECREASE, "offsets before indices");
}

// Rows are passed four pairs of neighbours at a time: a fault of each kind
// at every position of rows of every length across those steps, after a
// sound row of nine, is found and named as the entry-by-entry check names it.
TEST(CsrBadInputControl, FaultsAnywhereInARowAreFound) {
  Maker make(14);
  for (int32_t length = 1; length <= 13; ++length) {
    const int32_t cols = 2 * length + 20;
    Problem base = make.problem(2, 2, cols, 0.0, Values::clean);
    base.offsets = {0, 9, 9 + length};
    base.indices.clear();
    for (int32_t t = 0; t < 9; ++t) base.indices.push_back(2 * t);
    for (int32_t t = 0; t < length; ++t) base.indices.push_back(2 * t + 1);
    base.values.assign(base.indices.size(), 1.0);
    for (int32_t at = 0; at < length; ++at) {
      const size_t e = 9 + static_cast<size_t>(at);
      const std::string what = "length " + std::to_string(length) + ", at " + std::to_string(at);
      Problem p = base;
      p.indices[e] = -1;
      expect_refused(p, SK_CSR_INDEX_OUT_OF_RANGE, what + ", negative");
      p.indices[e] = cols;
      expect_refused(p, SK_CSR_INDEX_OUT_OF_RANGE, what + ", past the columns");
      if (at == 0) continue;
      p.indices[e] = p.indices[e - 1];
      expect_refused(p, SK_CSR_INDEX_REPEATED, what + ", repeated");
      p.indices[e] = p.indices[e - 1] - 1;
      expect_refused(p, SK_CSR_INDICES_UNSORTED, what + ", descending");
    }
  }
}

TEST(CsrNullArrays, RefusedWhereTheArrayHasElements) {
  Problem p = valid_problem();
  std::vector<double> row_t = p.row_tallies, col_t = p.col_tallies;
  const int64_t *o = p.offsets.data();
  const int32_t *ix = p.indices.data();
  const double *v = p.values.data(), *rf = p.row_factors.data(), *cf = p.col_factors.data();
  double *rt = row_t.data(), *ct = col_t.data();
  libc_script::use_seeded(1);
  libc_script::reset();
  EXPECT_EQ(Multi_Sample_CSR(nullptr, ix, v, rf, cf, rt, ct, 4, 3, 5), SK_CSR_NULL_ARRAY);
  EXPECT_EQ(Multi_Sample_CSR(o, nullptr, v, rf, cf, rt, ct, 4, 3, 5), SK_CSR_NULL_ARRAY);
  EXPECT_EQ(Multi_Sample_CSR(o, ix, nullptr, rf, cf, rt, ct, 4, 3, 5), SK_CSR_NULL_ARRAY);
  EXPECT_EQ(Multi_Sample_CSR(o, ix, v, nullptr, cf, rt, ct, 4, 3, 5), SK_CSR_NULL_ARRAY);
  EXPECT_EQ(Multi_Sample_CSR(o, ix, v, rf, nullptr, rt, ct, 4, 3, 5), SK_CSR_NULL_ARRAY);
  EXPECT_EQ(Multi_Sample_CSR(o, ix, v, rf, cf, nullptr, ct, 4, 3, 5), SK_CSR_NULL_ARRAY);
  EXPECT_EQ(Multi_Sample_CSR(o, ix, v, rf, cf, rt, nullptr, 4, 3, 5), SK_CSR_NULL_ARRAY);
  EXPECT_EQ(libc_script::rand_calls(), 0);
  EXPECT_TRUE(same_bits(row_t, p.row_tallies));
  EXPECT_TRUE(same_bits(col_t, p.col_tallies));
  // Arrays without elements may be null: no rows, no columns, no entries.
  const int64_t zero = 0;
  const int64_t zeros[5] = {};
  EXPECT_EQ(Multi_Sample_CSR(&zero, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 3, 0),
            SK_CSR_OK);
  EXPECT_EQ(Multi_Sample_CSR(zeros, nullptr, nullptr, rf, cf, rt, ct, 4, 3, 5), SK_CSR_OK);
  EXPECT_EQ(libc_script::rand_calls(), 0);
}

TEST(CsrAllocation, FailureChangesNothing) {
  SK_SKIP_UNLESS_HEAP_SCRIPTED();
  for (const int32_t cols : {3, 400}) {
    Maker make(8);
    const Problem p = make.problem(5, 4, cols, 0.5, Values::clean);
    ASSERT_FALSE(p.values.empty());
    const Outcome o = run_csr(p, Stream{Stream::seeded, 1}, true);
    EXPECT_EQ(o.status, SK_CSR_NO_MEMORY) << cols;
    EXPECT_EQ(o.rand_calls, 0) << cols;
    EXPECT_TRUE(same_bits(o.row_tallies, p.row_tallies)) << cols;
    EXPECT_TRUE(same_bits(o.col_tallies, p.col_tallies)) << cols;
  }
}

// Valid input read right up to the guard pages: nothing past any array is
// touched, in either working layout.
TEST(CsrBounds, ValidInputReadsNothingPastItsArrays) {
  Maker make(10);
  for (const auto &[rows, K, cols] : {std::tuple{7, 3, 4}, std::tuple{3, 17, 200},
                                      std::tuple{9, 40, 9}}) {
    const Problem p = make.problem(rows, K, cols, 0.7, Values::specials);
    Guarded<int64_t> offsets(p.offsets);
    Guarded<int32_t> indices(p.indices);
    Guarded<double> values(p.values), row_factors(p.row_factors), col_factors(p.col_factors);
    Guarded<double> row_t(p.row_tallies), col_t(p.col_tallies);
    const Outcome want = run_dense(p, Stream{Stream::seeded, 4});
    Stream{Stream::seeded, 4}.start();
    ASSERT_EQ(Multi_Sample_CSR(offsets.data(), indices.data(), values.data(), row_factors.data(),
                               col_factors.data(), row_t.data(), col_t.data(), rows, K, cols),
              SK_CSR_OK);
    EXPECT_EQ(std::memcmp(row_t.data(), want.row_tallies.data(), want.row_tallies.size() * 8), 0);
    EXPECT_EQ(std::memcmp(col_t.data(), want.col_tallies.data(), want.col_tallies.size() * 8), 0);
  }
}

// Stack use of one call, measured on a painted thread stack against the
// same thread making no call (which counts the thread's own descriptor).
struct StackRun {
  const Problem *problem;  // null: no call
  int32_t status = 0;
};

void *stack_thread(void *arg) {
  auto *run = static_cast<StackRun *>(arg);
  if (run->problem != nullptr) {
    const Problem &p = *run->problem;
    std::vector<double> rt = p.row_tallies, ct = p.col_tallies;
    run->status = Multi_Sample_CSR(p.offsets.data(), p.indices.data(), p.values.data(),
                                   p.row_factors.data(), p.col_factors.data(), rt.data(),
                                   ct.data(), p.rows, p.components, p.cols);
  } else {
    std::vector<double> rt = {0}, ct = {0};
    run->status = static_cast<int32_t>(rt.size() + ct.size());
  }
  return nullptr;
}

std::size_t painted_use(StackRun &run) {
  constexpr std::size_t kSize = 256 * 1024;
  constexpr unsigned char kPaint = 0xa5;
  void *stack = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (stack == MAP_FAILED) throw std::runtime_error("mmap failed");
  std::memset(stack, kPaint, kSize);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, stack, kSize);
  pthread_t thread;
  if (pthread_create(&thread, &attr, stack_thread, &run) != 0) throw std::runtime_error("pthread");
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  const auto *bytes = static_cast<const unsigned char *>(stack);
  std::size_t low = 0;
  while (low < kSize && bytes[low] == kPaint) ++low;
  munmap(stack, kSize);
  return kSize - low;
}

TEST(CsrStack, CallUsesUnder3KiB) {
  if (!libc_script::heap_scripted())
    GTEST_SKIP() << "the sanitizer build's instrumented frames are larger";
  libc_script::use_seeded(3);
  Maker make(12);
  {
    // Binds the call first: lazy binding's resolver would count otherwise.
    const Problem p = make.problem(2, 2, 2, 1.0, Values::clean);
    run_csr(p, Stream{Stream::seeded, 1});
  }
  StackRun idle{nullptr};
  const std::size_t base = painted_use(idle);
  for (const int32_t K : {1, 20, 100, 1000}) {
    for (const Values v : {Values::clean, Values::specials}) {
      for (const int32_t cols : {5, 300}) {  // transposed and not
        const Problem p = make.problem(6, K, cols, 0.5, v);
        StackRun run{&p};
        const std::size_t used = painted_use(run);
        ASSERT_EQ(run.status, SK_CSR_OK);
        EXPECT_LT(used - base, 3072u) << "K " << K << " " << name_of(v) << " cols " << cols;
      }
    }
  }
}

}  // namespace
