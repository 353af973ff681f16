// The library against the plain reference, bit for bit, on many random
// shapes and values, under a scripted and under the real rand stream.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "libc_script.h"
#include "reference.h"
#include "sampling_kernels.h"

namespace {

using Matrix = std::vector<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// How wild a trial's values are.
enum class Regime {
  clean,     // positive finite weights, small integer counts
  zeros,     // many zero weights and counts, fractional counts
  specials,  // NaN, infinities, negatives, subnormals, huge values
  dense,     // most counts sampled, some with hundreds of draws
  ties,      // small integer weights: draws land exactly on running sums
};

struct Trial {
  int32_t rows, components, cols;
  Matrix counts, row_factors, col_factors, row_tallies, col_tallies;
};

class Generator {
 public:
  explicit Generator(uint64_t seed) : gen_(seed) {}

  int32_t below(int32_t n) { return static_cast<int32_t>(gen_() % uint64_t(n)); }
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(gen_) < p; }
  double uniform(double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(gen_);
  }

  double weight(Regime regime) {
    if (regime == Regime::clean || regime == Regime::dense) return uniform(1e-3, 2.0);
    if (regime == Regime::ties) return below(3);
    if (regime == Regime::zeros) return chance(0.4) ? 0.0 : uniform(0, 1);
    static const double specials[] = {0.0,  -0.0, kNaN, kInf,  -kInf, -1.5,
                                      1e-310, 5e-324, 1e300, 1e-300, 1e308};
    if (chance(0.25)) return specials[below(sizeof specials / sizeof *specials)];
    return uniform(0, 3);
  }

  double count(Regime regime) {
    if (regime == Regime::clean || regime == Regime::ties) return below(6);
    if (regime == Regime::dense) return chance(0.1) ? 0.0 : chance(0.05) ? 100 + below(500) : 1 + below(8);
    if (regime == Regime::zeros) {
      if (chance(0.6)) return 0.0;
      return chance(0.5) ? below(4) + 0.5 * below(2) : uniform(0, 4);
    }
    static const double specials[] = {kNaN, kInf,       -kInf, -2.0,   0.49999999999999994,
                                      0.5,  3e9,        2147483648.0, 1e-320, -0.0};
    if (chance(0.2)) return specials[below(sizeof specials / sizeof *specials)];
    return uniform(0, 5);
  }

  double tally() { return chance(0.5) ? 0.0 : below(100); }

  Trial trial(Regime regime, int32_t max_rows, int32_t max_components,
              int32_t max_cols) {
    const int32_t rows = below(max_rows + 1);
    const int32_t components = 1 + below(max_components);
    return shaped(regime, rows, components, below(max_cols + 1));
  }

  Trial shaped(Regime regime, int32_t rows, int32_t components, int32_t cols) {
    Trial t;
    t.rows = rows;
    t.components = components;
    t.cols = cols;
    const auto R = std::size_t(t.rows), K = std::size_t(t.components),
               C = std::size_t(t.cols);
    t.counts.resize(R * C);
    for (double &x : t.counts) x = count(regime);
    t.row_factors.resize(R * K);
    for (double &x : t.row_factors) x = weight(regime);
    t.col_factors.resize(K * C);
    for (double &x : t.col_factors) x = weight(regime);
    t.row_tallies.resize(R * K);
    for (double &x : t.row_tallies) x = tally();
    t.col_tallies.resize(K * C);
    for (double &x : t.col_tallies) x = tally();
    return t;
  }

 private:
  std::mt19937_64 gen_;
};

bool same_bits(const Matrix &a, const Matrix &b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Runs library and reference from the same stream position.  `rewind`
// restores the stream between the two runs.
template <typename Rewind>
void compare(const Trial &t, Rewind rewind) {
  Trial lib = t, ref = t;
  rewind();
  libc_script::reset();
  Multi_Sample(lib.counts.data(), lib.row_factors.data(), lib.col_factors.data(),
               lib.row_tallies.data(), lib.col_tallies.data(), lib.rows,
               lib.components, lib.cols);
  const int64_t lib_calls = libc_script::rand_calls();

  rewind();
  libc_script::reset();
  Matrix cumulative(std::size_t(t.components));
  reference::multi_sample(ref.counts.data(), ref.row_factors.data(),
                          ref.col_factors.data(), ref.row_tallies.data(),
                          ref.col_tallies.data(), ref.rows, ref.components, ref.cols,
                          cumulative.data(), [] { return rand(); });
  ASSERT_EQ(lib_calls, libc_script::rand_calls())
      << t.rows << " x " << t.components << " x " << t.cols;
  ASSERT_TRUE(same_bits(lib.row_tallies, ref.row_tallies))
      << t.rows << " x " << t.components << " x " << t.cols;
  ASSERT_TRUE(same_bits(lib.col_tallies, ref.col_tallies))
      << t.rows << " x " << t.components << " x " << t.cols;
}

struct Sweep {
  Regime regime;
  int32_t trials, max_rows, max_components, max_cols;
};

const char *regime_name(Regime r) {
  switch (r) {
    case Regime::clean: return "clean";
    case Regime::zeros: return "zeros";
    case Regime::specials: return "specials";
    case Regime::dense: return "dense";
    case Regime::ties: return "ties";
  }
  return "unknown";
}

// Names and failure messages that say what a case is.
void PrintTo(Regime r, std::ostream *os) { *os << regime_name(r); }
void PrintTo(const Sweep &s, std::ostream *os) {
  *os << regime_name(s.regime) << ", " << s.trials << " trials, up to " << s.max_rows << " x "
      << s.max_cols << " cells, K up to " << s.max_components;
}

std::string sweep_name(const ::testing::TestParamInfo<Sweep> &info) {
  const Sweep &s = info.param;
  return std::string(regime_name(s.regime)) + "_R" + std::to_string(s.max_rows) + "_K" +
         std::to_string(s.max_components) + "_C" + std::to_string(s.max_cols);
}

class Differential : public ::testing::TestWithParam<Sweep> {
 protected:
  void TearDown() override { libc_script::use_real_rand(); }
};

TEST_P(Differential, ScriptedStreamMatchesReference) {
  const Sweep s = GetParam();
  Generator gen(1000 + uint64_t(s.regime) * 7 + uint64_t(s.max_components));
  for (int n = 0; n < s.trials; ++n) {
    const Trial t = gen.trial(s.regime, s.max_rows, s.max_components, s.max_cols);
    const uint64_t seed = uint64_t(n) * 7919;
    compare(t, [seed] { libc_script::use_seeded(seed); });
    if (HasFatalFailure()) return;
  }
}

TEST_P(Differential, RealRandMatchesReference) {
  const Sweep s = GetParam();
  Generator gen(2000 + uint64_t(s.regime) * 7 + uint64_t(s.max_components));
  libc_script::use_real_rand();
  for (int n = 0; n < s.trials / 4; ++n) {
    const Trial t = gen.trial(s.regime, s.max_rows, s.max_components, s.max_cols);
    const unsigned seed = 17u + unsigned(n);
    compare(t, [seed] { srand(seed); });
    if (HasFatalFailure()) return;
  }
}

// Extreme streams: every value 0, every value 2147483647, and values near them.
TEST_P(Differential, ExtremeStreamsMatchReference) {
  const Sweep s = GetParam();
  Generator gen(3000 + uint64_t(s.regime));
  const std::vector<int> edges{0, 1, 2147483647, 2147483646, 1073741823, 1073741824};
  for (int n = 0; n < s.trials / 4; ++n) {
    const Trial t = gen.trial(s.regime, s.max_rows, s.max_components, s.max_cols);
    compare(t, [&] { libc_script::use_values(edges, true); });
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, Differential,
    ::testing::Values(Sweep{Regime::clean, 400, 6, 4, 40},
                      Sweep{Regime::clean, 200, 4, 40, 20},
                      Sweep{Regime::clean, 40, 3, 300, 12},
                      Sweep{Regime::zeros, 400, 6, 12, 40},
                      Sweep{Regime::zeros, 100, 4, 90, 20},
                      Sweep{Regime::specials, 400, 5, 10, 30},
                      Sweep{Regime::specials, 100, 3, 80, 20},
                      Sweep{Regime::dense, 60, 4, 30, 40},
                      Sweep{Regime::ties, 300, 4, 40, 30}),
    sweep_name);

// Component counts at and around every change of strategy inside the
// library: the single and two-level counts (16/17 and block multiples), the
// number of cells built together (8, 4), the stored and the block-ends
// layouts and the doubling of the blocks for very many components, on rows
// wide enough for full, partial and dense blocks of eight columns.
class DifferentialPaths
    : public ::testing::TestWithParam<std::tuple<int32_t, Regime>> {
 protected:
  void TearDown() override { libc_script::use_real_rand(); }
};

TEST_P(DifferentialPaths, EveryStrategyMatchesReference) {
  const auto [K, regime] = GetParam();
  Generator gen(uint64_t(K) * 31 + uint64_t(regime));
  const int trials = K > 300 ? 3 : 12;
  // 2147483647 and 0 put draws on the total and on zero; with integer
  // weights, values near a half put them on interior sums.
  const std::vector<int> ties{0, 2147483647, 1073741823, 1073741824, 715827882, 1431655765};
  for (int n = 0; n < trials; ++n) {
    const Trial t = gen.shaped(regime, 1 + gen.below(3), K, gen.below(40) + (n % 3) * 8);
    const uint64_t seed = uint64_t(n) * 104729 + uint64_t(K);
    compare(t, [seed] { libc_script::use_seeded(seed); });
    if (HasFatalFailure()) return;
    compare(t, [&] { libc_script::use_values(ties, true); });
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Components, DifferentialPaths,
    ::testing::Combine(::testing::Values(1, 2, 3, 4, 5, 8, 15, 16, 17, 31, 32, 33, 47, 48, 49,
                                         79, 80, 81, 100, 159, 160, 161, 200, 352, 353,
                                         704, 705, 1000, 1408, 1409, 2047, 2048, 2816, 2817,
                                         3000),
                       ::testing::Values(Regime::clean, Regime::specials, Regime::dense,
                                         Regime::ties, Regime::zeros)),
    [](const ::testing::TestParamInfo<std::tuple<int32_t, Regime>> &info) {
      return std::string("K")
          .append(std::to_string(std::get<0>(info.param)))
          .append("_")
          .append(regime_name(std::get<1>(info.param)));
    });

// Cells with many draws on few components add each component's draws to
// the tallies at once: starting tallies where that would round differently
// from one addition after the other (fractions, 2^53 and beyond, -0.0, NaN,
// infinities) must still give the reference's bits.
TEST(DifferentialTallies, AwkwardStartingValuesUnderManyDraws) {
  Generator gen(55);
  const double awkward[] = {0.1, -0.0, 9007199254740991.0, 9007199254740992.0, 1e300,
                            kNaN, -std::numeric_limits<double>::infinity(),
                            -4503599627370496.5, 4503599627370495.5, 4503599627370496.0,
                            -3.0, 2.5};
  for (int32_t K : {1, 2, 3, 8, 16}) {
    for (int n = 0; n < 6; ++n) {
      Trial t = gen.shaped(Regime::clean, 2, K, 9);
      for (double &c : t.counts) c = gen.chance(0.7) ? 40.0 + gen.below(200) : 0.0;
      size_t at = size_t(n);
      for (double &x : t.row_tallies) x = awkward[at++ % std::size(awkward)];
      for (double &x : t.col_tallies) x = awkward[at++ % std::size(awkward)];
      compare(t, [n, K] { libc_script::use_seeded(uint64_t(n) * 7 + uint64_t(K)); });
      if (HasFatalFailure()) return;
    }
  }
  libc_script::use_real_rand();
}

// Calls on a single cell take their own path (branch-free search when the
// sums are sorted, the plain loop otherwise).
TEST(DifferentialSingleCell, EveryRegimeMatchesReference) {
  Generator gen(77);
  const std::vector<int> ties{0, 2147483647, 1073741823, 1073741824, 715827882, 1431655765};
  for (Regime regime :
       {Regime::clean, Regime::zeros, Regime::specials, Regime::dense, Regime::ties}) {
    for (int32_t K : {1, 2, 3, 7, 20, 200, 3000}) {
      for (int n = 0; n < 12; ++n) {
        const Trial t = gen.shaped(regime, 1, K, 1);
        compare(t, [n, K] { libc_script::use_seeded(uint64_t(n) * 31 + uint64_t(K)); });
        if (HasFatalFailure()) return;
        compare(t, [&] { libc_script::use_values(ties, true); });
        if (HasFatalFailure()) return;
      }
    }
  }
  libc_script::use_real_rand();
}

// Long stretches of draws: counts around the stretch whose tallies are added
// after its draws (and its multiples), alone in a cell and spread over the
// cells of a batch; with many components a cell whose draws span two
// stretches reuses its whole chain.
TEST(DifferentialStretches, CountsAroundTheStretchSize) {
  Generator gen(99);
  for (double count : {31.0, 32.0, 33.0, 63.0, 64.0, 65.0, 127.0, 128.0, 129.0, 513.0, 1000.5}) {
    for (int32_t K : {1, 3, 20, 200, 1500}) {
      for (int32_t cols : {1, 8, 13}) {
        Trial t = gen.shaped(Regime::clean, 2, K, cols);
        for (double &x : t.counts) x = gen.chance(0.5) ? count : 40.0;
        compare(t, [] { libc_script::use_seeded(4242); });
        if (HasFatalFailure()) return;
      }
    }
  }
  libc_script::use_real_rand();
}

// Batches whose draws are made in one loop over all of them: totals around
// that loop's limit and the stretch size, contiguous and gathered batches,
// cells that make none among them, and on few components cells around the
// count from which the tallies take a component's draws at once.
TEST(DifferentialFlatBatches, DrawTotalsAroundTheLimits) {
  Generator gen(211);
  const std::vector<int> ties{0, 2147483647, 1073741823, 1073741824, 715827882, 1431655765};
  for (int32_t K : {2, 4, 5, 9, 16}) {
    for (int total : {31, 32, 33, 63, 64, 65, 66}) {
      for (bool gathered : {false, true}) {
        const int32_t cols = gathered ? 40 : 8;
        Trial t = gen.shaped(Regime::clean, 3, K, cols);
        for (int32_t i = 0; i < t.rows; ++i) {
          // Eight cells, a few of them empty in a contiguous batch.
          int draws[8] = {};
          const int empty = gathered ? 0 : gen.below(3);
          for (int left = total; left > 0; --left) draws[empty + gen.below(8 - empty)] += 1;
          if (K <= 4) {
            // One cell on each side of 2K draws, the rest kept to the total.
            const int want = 2 * K - (i % 2);
            int excess = want - draws[7];
            draws[7] = want;
            for (int c = 6; c >= empty && excess != 0; --c) {
              const int move = excess > 0 ? (draws[c] < excess ? draws[c] : excess) : excess;
              draws[c] -= move;
              excess -= move;
            }
          }
          for (int c = 0; c < 8; ++c)
            t.counts[std::size_t(i) * std::size_t(cols) + std::size_t(gathered ? 5 * c : c)] =
                draws[c];
        }
        compare(t, [K, total] { libc_script::use_seeded(uint64_t(K) * 131 + uint64_t(total)); });
        if (HasFatalFailure()) return;
        compare(t, [&] { libc_script::use_values(ties, true); });
        if (HasFatalFailure()) return;
        libc_script::use_real_rand();
        compare(t, [total] { srand(unsigned(total)); });
        if (HasFatalFailure()) return;
      }
    }
  }
  libc_script::use_real_rand();
}

}  // namespace

namespace {

// Sparse rows: a few sampled cells per row at densities on both sides of
// the branch-free scan's range (1/64 to 1/4 of the row, judged by the row
// before), widths around its 64-count masks, gathered batches whose tally
// ones are added after the stretch (with many-draw cells on few components
// among them, whose tallies take their draws at once), counts that pass
// the 0.5 test but make no draw, and awkward starting tallies.
TEST(DifferentialSparseRows, EveryDensityMatchesReference) {
  Generator gen(131);
  const double no_draw[] = {kNaN, kInf, 3e9, 2147483648.0, 0.49999999999999994, -1.0};
  const double awkward[] = {0.1, -0.0, 9007199254740992.0, kNaN, 2.5, 7.0};
  const std::vector<int> ties{0, 2147483647, 1073741823, 1073741824, 715827882, 1431655765};
  int n = 0;
  for (double density : {0.005, 0.02, 0.06, 0.15, 0.3}) {
    for (int32_t cols : {63, 64, 65, 130, 700}) {
      for (int32_t K : {1, 3, 10, 50, 200, 1500}) {
        ++n;
        Trial t = gen.shaped(n % 2 ? Regime::clean : Regime::specials, 12, K, cols);
        for (double &c : t.counts) {
          if (!gen.chance(density)) {
            c = gen.chance(0.5) ? 0.0 : gen.uniform(0, 0.49);
          } else if (gen.chance(0.1)) {
            c = no_draw[gen.below(std::size(no_draw))];
          } else {
            c = gen.chance(0.1) ? 30.0 + gen.below(100) : 1.0 + gen.below(3);
          }
        }
        size_t at = size_t(n);
        for (double &x : t.row_tallies) x = awkward[at++ % std::size(awkward)];
        for (double &x : t.col_tallies) x = awkward[at++ % std::size(awkward)];
        compare(t, [n] { libc_script::use_seeded(uint64_t(n) * 977); });
        if (HasFatalFailure()) return;
        compare(t, [&] { libc_script::use_values(ties, true); });
        if (HasFatalFailure()) return;
      }
    }
  }
  libc_script::use_real_rand();
}

}  // namespace

namespace {

// Calls with at most 16 components whose first counts make a draw or two per
// sampled cell take the lean path: every component count there, widths
// around its 64-count masks, a rare cell with hundreds of draws among the
// rest (with one component, whose extra calls follow the row's), weights
// that leave sums unsorted or not finite, awkward starting tallies, which a
// row's draws per component reach at once, under a scripted, an extreme and
// the real stream.
struct LeanCase {
  int32_t components, cols;
  double share;  // of cells sampled
};

void PrintTo(const LeanCase &c, std::ostream *os) {
  *os << "K " << c.components << ", " << c.cols << " columns, " << c.share * 100
      << " % sampled";
}

class DifferentialLean : public ::testing::TestWithParam<LeanCase> {
 protected:
  void TearDown() override { libc_script::use_real_rand(); }
};

TEST_P(DifferentialLean, MatchesReference) {
  const LeanCase c = GetParam();
  Generator gen(uint64_t(c.components) * 1009 + uint64_t(c.cols) + uint64_t(c.share * 100));
  const double awkward[] = {0.1, -0.0, 9007199254740992.0, kNaN, 2.5, 7.0, 0.0, 0.0};
  const std::vector<int> edges{0, 2147483647, 1073741823, 1073741824, 1, 2147483646};
  for (int n = 0; n < 8; ++n) {
    const Regime regime = n % 4 == 3 ? Regime::specials : n % 4 == 2 ? Regime::ties : Regime::clean;
    Trial t = gen.shaped(regime, 1 + gen.below(6), c.components, c.cols);
    for (double &x : t.counts) {
      if (!gen.chance(c.share))
        x = gen.chance(0.5) ? 0.0 : gen.uniform(0, 0.49);
      else
        x = gen.chance(0.005) ? 129.0 + gen.below(300) : gen.chance(0.7) ? 1.0 : 1.5 + gen.below(2);
    }
    size_t at = size_t(n);
    for (double &x : t.row_tallies) x = awkward[at++ % std::size(awkward)];
    for (double &x : t.col_tallies) x = awkward[at++ % std::size(awkward)];
    compare(t, [n] { libc_script::use_seeded(uint64_t(n) * 613 + 5); });
    if (HasFatalFailure()) return;
    compare(t, [&] { libc_script::use_values(edges, true); });
    if (HasFatalFailure()) return;
    libc_script::use_real_rand();
    compare(t, [n] { srand(unsigned(n) + 3u); });
    if (HasFatalFailure()) return;
  }
}

std::vector<LeanCase> lean_cases() {
  std::vector<LeanCase> cases;
  for (int32_t K = 1; K <= 17; ++K)
    for (int32_t cols : {1, 63, 64, 65, 300})
      cases.push_back({K, cols, cols == 300 ? 0.6 : 1.0});
  for (int32_t K : {1, 2, 5, 8, 12, 16}) cases.push_back({K, 900, 0.05});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(
    Components, DifferentialLean, ::testing::ValuesIn(lean_cases()),
    [](const ::testing::TestParamInfo<LeanCase> &info) {
      return std::string("K")
          .append(std::to_string(info.param.components))
          .append("_C")
          .append(std::to_string(info.param.cols))
          .append("_p")
          .append(std::to_string(int(info.param.share * 100)));
    });

}  // namespace
