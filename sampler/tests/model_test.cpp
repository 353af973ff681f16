// The Gibbs sampler as a whole: it recovers planted factors, one seed repeats
// a fit bit for bit on any number of workers, the CSR and the dense
// allocation paths give the same fit, and sampling W against fixed
// components agrees with the fit's own W.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include "errors.h"
#include "model.h"
#include "planted.h"
#include "sampling_kernels.h"

namespace {

using sk_nmf::Csr;
using sk_nmf::FitOptions;

// The allocation step as the former dense sampler made it: the block of rows
// densified and passed to Multi_Sample whole.
void allocate_dense(const sk_nmf::CsrView &x, const double *w, const double *h, double *a, double *b, int32_t K) {
  std::vector<double> dense(static_cast<size_t>(x.rows) * x.cols, 0.0);
  for (int32_t i = 0; i < x.rows; ++i)
    for (int64_t n = x.offsets[i]; n < x.offsets[i + 1]; ++n) dense[static_cast<size_t>(i) * x.cols + x.indices[n]] = x.values[n];
  Multi_Sample(dense.data(), w, h, a, b, x.rows, K, x.cols);
}

struct Fit {
  std::vector<double> w, h;
};

Fit run(const Csr &x, const FitOptions &o, sk_nmf::AllocationStep step = sk_nmf::allocate_csr,
        const double *fixed_h = nullptr) {
  sk_nmf::Sampler s(x, o, fixed_h, step);
  for (int64_t n = 0; n < o.sweeps; ++n) s.sweep();
  return {s.w_mean(), s.h_mean()};
}

FitOptions options(int32_t K, int64_t sweeps, uint64_t seed) {
  FitOptions o;
  o.components = K;
  o.sweeps = sweeps;
  o.seed = seed;
  o.background = false;  // the plain model; the background has tests of its own
  return o;
}

TEST(Sampler, RecoversPlantedFactors) {
  const auto p = sk_nmf::plant(300, 200, 4, 0.5, 7);
  for (double rate : {0.0, 1.0}) {  // learned rates and a fixed one
    auto o = options(4, 200, 3);
    o.rate = rate;
    const Fit f = run(p.x, o);
    const auto r = sk_nmf::recovery(p.w, p.h, f.w, f.h, 300, 200, 4);
    EXPECT_GT(r.w, 0.97) << "rate " << rate;
    EXPECT_GT(r.h, 0.97) << "rate " << rate;
    // The posterior mean fits the counts at least about as well as the
    // factors that made them.
    const double fit = sk_nmf::log_likelihood(p.x, f.w.data(), f.h.data(), 4);
    const double truth = sk_nmf::log_likelihood(p.x, p.w.data(), p.h.data(), 4);
    EXPECT_GT(fit, truth - 0.002 * std::abs(truth)) << "rate " << rate;
  }
}

// Counts at random, about `per_row` entries a row.
Csr random_counts(int32_t rows, int32_t cols, int per_row, uint64_t seed) {
  Csr x;
  x.rows = rows, x.cols = cols;
  uint64_t s = seed;
  for (int32_t i = 0; i < rows; ++i) {
    for (int32_t j = 0; j < cols; ++j) {
      const uint64_t r = sk_nmf::splitmix64(s);
      if (r % static_cast<uint64_t>(cols) < static_cast<uint64_t>(per_row))
        x.indices.push_back(j), x.values.push_back(static_cast<double>(1 + (r >> 40) % 4));
    }
    x.offsets.push_back(x.nnz());
  }
  return x;
}

TEST(Sampler, OneSeedGivesTheSameBitsOnAnyNumberOfWorkers) {
  // Six row blocks of 2048 rows and a part block; learned and fixed rates,
  // and W against fixed components.
  const Csr x = random_counts(12000, 200, 8, 8);
  ASSERT_EQ(sk_nmf::decompose(x.rows, x.cols, x.nnz()).blocks(), 6);
  for (bool background : {false, true}) {
    for (double rate : {0.0, 0.5}) {
      auto o = options(6, 8, 42);
      o.rate = rate;
      o.background = background;
      o.jobs = 1;
      const Fit one = run(x, o);
      ASSERT_EQ(one.h.size(), (6u + background) * 200);
      for (int jobs : {2, 3}) {
        o.jobs = jobs;
        const Fit many = run(x, o);
        EXPECT_EQ(one.w, many.w) << jobs << " jobs, rate " << rate << ", background " << background;
        EXPECT_EQ(one.h, many.h) << jobs << " jobs, rate " << rate << ", background " << background;
      }
      auto transform = options(6, 3, 5);
      transform.background = background;
      transform.jobs = 1;
      const Fit fixed_one = run(x, transform, sk_nmf::allocate_csr, one.h.data());
      transform.jobs = 3;
      EXPECT_EQ(fixed_one.w, run(x, transform, sk_nmf::allocate_csr, one.h.data()).w)
          << "fixed components, rate " << rate << ", background " << background;
      o.jobs = 2;
      o.seed = 43;
      EXPECT_NE(run(x, o).w, one.w);
    }
  }
}

TEST(RandStreams, InstalledStatesAreFollowedAndTheProcessStreamGoesOn) {
  std::srand(77);
  const int first = std::rand();
  const int second = std::rand();
  std::srand(77);
  EXPECT_EQ(std::rand(), first);
  {
    sk_nmf::RandStreamScope scope;
    for (int32_t block : {0, 1, 0}) {  // the same state twice in a row, as a worker meets it
      const sk_nmf::RandState s = sk_nmf::allocation_stream(9, 3, block);
      sk_nmf::RandStream expected(s);
      scope.install(s);
      for (int n = 0; n < 100; ++n) ASSERT_EQ(std::rand(), expected.next()) << "block " << block << ", draw " << n;
    }
  }
  EXPECT_EQ(std::rand(), second);  // the host's stream, where it was left
  // Each of (seed, sweep, block) changes the state.
  const auto words = [](uint64_t seed, int64_t sweep, int32_t block) {
    const auto s = sk_nmf::allocation_stream(seed, sweep, block);
    return std::vector<int32_t>(s.words, s.words + 32);
  };
  EXPECT_NE(words(1, 2, 3), words(2, 2, 3));
  EXPECT_NE(words(1, 2, 3), words(1, 3, 3));
  EXPECT_NE(words(1, 2, 3), words(1, 2, 4));
  EXPECT_NE(words(1, 2, 3), words(1, 3, 2));
}

// A fit stopped after `stop` sweeps with a checkpoint, then resumed from it.
Fit stopped_and_resumed(const Csr &x, FitOptions o, int64_t stop, const std::string &path) {
  std::remove(path.c_str());
  sk_nmf::Checkpointing c{path, 4, true};
  sk_nmf::fit(x, o, nullptr, [&](const sk_nmf::Sampler &s) { return s.sweeps_done() < stop; }, c);
  o.jobs = o.jobs == 1 ? 2 : 1;  // another number of workers, for good measure
  const auto r = sk_nmf::fit(x, o, nullptr, nullptr, c);
  return {r.w_mean, r.h_mean};
}

TEST(Checkpoints, AResumedFitIsTheFitNeverStopped) {
  const Csr x = random_counts(5000, 100, 6, 3);
  const std::string path = testing::TempDir() + "sk_nmf_checkpoint_test";
  auto o = options(4, 12, 6);
  o.jobs = 1;
  for (bool background : {true, false}) {  // the plain fit last: the checks below go on with it
    o.background = background;
    const auto whole = sk_nmf::fit(x, o);
    for (int64_t stop : {1, 5, 6, 8, 11}) {  // in the burn-in, at its end, after it, between saves
      const Fit resumed = stopped_and_resumed(x, o, stop, path);
      EXPECT_EQ(resumed.w, whole.w_mean) << "stopped after " << stop << ", background " << background;
      EXPECT_EQ(resumed.h, whole.h_mean) << "stopped after " << stop << ", background " << background;
    }
  }
  const auto whole = sk_nmf::fit(x, o);
  // A finished fit's checkpoint resumes to the same result without a sweep.
  int sweeps = 0;
  const auto again = sk_nmf::fit(x, o, nullptr, [&](const sk_nmf::Sampler &) { return ++sweeps, true; },
                                 sk_nmf::Checkpointing{path, 4, true});
  EXPECT_EQ(again.w_mean, whole.w_mean);
  EXPECT_EQ(sweeps, 0);
  std::remove(path.c_str());
}

// An automatic fit: the stop and bits of one never stopped, on one or two
// workers, wherever it was stopped; and the bits of a fixed fit with the
// burn-in and sweeps it chose.
TEST(Checkpoints, AResumedAutomaticFitStopsWhereTheFitNeverStoppedDoes) {
  const Csr x = random_counts(5000, 100, 6, 3);
  const std::string path = testing::TempDir() + "sk_nmf_auto_checkpoint_test";
  auto o = options(4, 0, 6);
  o.auto_sweeps = true;
  o.jobs = 2;
  const auto whole = sk_nmf::fit(x, o);
  const int64_t T = whole.burn_in;
  ASSERT_EQ(whole.sweeps_done, 2 * T);
  ASSERT_TRUE(T % sk_nmf::kAutoWindow == 0 && T >= sk_nmf::kAutoLeastBurnIn && T <= sk_nmf::kAutoMostSweeps / 2) << T;
  auto fixed = o;
  fixed.auto_sweeps = false, fixed.sweeps = 2 * T, fixed.jobs = 1;
  const auto same = sk_nmf::fit(x, fixed);
  EXPECT_EQ(same.w_mean, whole.w_mean);
  EXPECT_EQ(same.h_mean, whole.h_mean);
  for (int64_t stop : {int64_t{7}, T - 1, T, T + 5, 2 * T - 1}) {  // mid-window, at the stop's choice, after it
    const Fit resumed = stopped_and_resumed(x, o, stop, path);
    EXPECT_EQ(resumed.w, whole.w_mean) << "stopped after " << stop;
    EXPECT_EQ(resumed.h, whole.h_mean) << "stopped after " << stop;
  }
  // A fixed fit refuses an automatic fit's checkpoint.
  fixed.sweeps = T;
  try {
    sk_nmf::fit(x, fixed, nullptr, nullptr, sk_nmf::Checkpointing{path, 4, true});
    ADD_FAILURE() << "a fixed fit took an automatic fit's checkpoint";
  } catch (const sk_nmf::Error &e) {
    EXPECT_NE(std::string(e.what()).find("it was made with sweeps auto, not "), std::string::npos) << e.what();
  }
  // A burn-in of its own is kept, and the fit runs at least twice it.
  o.burn_in = T + 20;
  const auto longer = sk_nmf::fit(x, o);
  EXPECT_EQ(longer.sweeps_done, 2 * (T + 20));
  EXPECT_EQ(longer.burn_in, T + 20);
  std::remove(path.c_str());
}

TEST(Checkpoints, ADamagedOrForeignCheckpointIsRefusedSayingWhy) {
  const Csr x = random_counts(300, 40, 5, 4);
  const std::string path = testing::TempDir() + "sk_nmf_checkpoint_bad";
  auto o = options(3, 6, 2);
  sk_nmf::fit(x, o, nullptr, nullptr, sk_nmf::Checkpointing{path, 2, false});
  std::string good;
  {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) good.append(buffer, n);
    std::fclose(f);
  }
  auto refusal = [&](const std::string &bytes, const Csr &data, const FitOptions &with) -> std::string {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    try {
      sk_nmf::Sampler s(data, with);
      s.restore(path);
    } catch (const sk_nmf::Error &e) {
      return e.what();
    }
    return "accepted";
  };
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x10;
  auto other = o;
  other.components = 4;
  auto with_background = o;
  with_background.background = true;
  auto denser = with_background;
  denser.background_shape = 2;
  const Csr other_data = random_counts(300, 40, 5, 5);
  const struct {
    const char *name;
    std::string bytes;
    const Csr &data;
    FitOptions options;
    const char *want;
  } cases[] = {
      {"truncated", good.substr(0, good.size() - 9), x, o, "it is truncated"},
      {"cut in its header", good.substr(0, 20), x, o, "it is truncated"},
      {"a flipped bit", flipped, x, o, "it is corrupt (its checksum does not match)"},
      {"longer", good + "x", x, o, "it is corrupt"},
      {"not a checkpoint", "%%MatrixMarket matrix coordinate integer general\n", x, o, "not a checkpoint"},
      {"empty", "", x, o, "not a checkpoint"},
      {"other data", good, other_data, o, "it is of other data (a 300 x 40 matrix with"},
      {"other components", good, x, other, "it was made with components 3, not 4"},
      {"a background", good, x, with_background, "it was made without a background, not with"},
  };
  for (const auto &c : cases) {
    const std::string what = refusal(c.bytes, c.data, c.options);
    EXPECT_EQ(what.rfind("checkpoint " + path + ": ", 0), 0u) << c.name << ": " << what;
    EXPECT_NE(what.find(c.want), std::string::npos) << c.name << ": " << what;
    EXPECT_EQ(what.find('\n'), std::string::npos) << c.name;
  }
  EXPECT_EQ(refusal(good, x, o), "accepted");
  sk_nmf::fit(x, with_background, nullptr, nullptr, sk_nmf::Checkpointing{path, 2, false});
  try {
    sk_nmf::Sampler s(x, denser);
    s.restore(path);
    ADD_FAILURE() << "another background shape was accepted";
  } catch (const sk_nmf::Error &e) {
    EXPECT_NE(std::string(e.what()).find("background shape 1, not 2"), std::string::npos) << e.what();
  }
  std::remove(path.c_str());
}

TEST(Sampler, CsrAndDenseAllocationGiveTheSameFit) {
  // Empty rows, a full row and single-entry rows among random ones; more
  // rows than one block.
  Csr x;
  x.rows = 4500, x.cols = 30;
  uint64_t s = 5;
  for (int32_t i = 0; i < x.rows; ++i) {
    for (int32_t j = 0; j < x.cols; ++j) {
      const uint64_t r = sk_nmf::splitmix64(s);
      const bool on = i == 7 || (i % 97 == 3 && j == 11) || (i % 5 != 0 && r % 7 == 0);
      if (on) x.indices.push_back(j), x.values.push_back(static_cast<double>(1 + r % 9));
    }
    x.offsets.push_back(x.nnz());
  }
  for (int32_t K : {1, 5, 40}) {
    auto o = options(K, 6, 11);
    o.jobs = 2;  // the dense step runs on one process: the same bits all the same
    const Fit sparse = run(x, o, sk_nmf::allocate_csr);
    const Fit dense = run(x, o, allocate_dense);
    EXPECT_EQ(sparse.w, dense.w) << "K " << K;
    EXPECT_EQ(sparse.h, dense.h) << "K " << K;
  }
}

TEST(Sampler, WAgainstFixedComponentsMatchesTheFitsW) {
  const auto p = sk_nmf::plant(400, 150, 3, 0.5, 9);
  const Fit f = run(p.x, options(3, 200, 1));
  // Different seeds: the same posterior, not the same draws.
  const Fit t = run(p.x, options(3, 200, 2), sk_nmf::allocate_csr, f.h.data());
  EXPECT_EQ(t.h, f.h);  // held fixed
  // Each row's expected total count, sum_k W_ik sum_j H_kj, and every entry.
  std::vector<double> hs(3, 0.0);
  for (int k = 0; k < 3; ++k) hs[k] = std::accumulate(f.h.begin() + k * 150, f.h.begin() + (k + 1) * 150, 0.0);
  double err = 0, size = 0, entry_err = 0, entry_size = 0;
  for (int i = 0; i < 400; ++i) {
    double a = 0, b = 0;
    for (int k = 0; k < 3; ++k) {
      a += f.w[i * 3 + k] * hs[k], b += t.w[i * 3 + k] * hs[k];
      entry_err += std::abs(f.w[i * 3 + k] - t.w[i * 3 + k]);
      entry_size += f.w[i * 3 + k];
    }
    err += std::abs(a - b), size += a;
  }
  EXPECT_LT(err / size, 0.01);
  EXPECT_LT(entry_err / entry_size, 0.05);
}

TEST(Sampler, AnAllocationErrorEndsTheSweepAndTheFit) {
  const auto p = sk_nmf::plant(9000, 10, 8, 0.5, 3);
  auto o = options(8, 3, 1);
  static int calls;
  calls = 0;
  const sk_nmf::AllocationStep failing = [](const sk_nmf::CsrView &x, const double *w, const double *h, double *a,
                                            double *b, int32_t K) {
    if (++calls == 2) throw sk_nmf::Error("out of memory allocating 1 bytes for a test");
    sk_nmf::allocate_csr(x, w, h, a, b, K);
  };
  sk_nmf::Sampler s(p.x, o, nullptr, failing);
  EXPECT_THROW(s.sweep(), sk_nmf::Error);
  EXPECT_EQ(calls, 2);
  EXPECT_THROW(s.sweep(), sk_nmf::Error);  // a half-done sweep is not gone on from
  EXPECT_EQ(calls, 2);
}

TEST(Sampler, RefusesBadOptionsNamingThem) {
  const auto p = sk_nmf::plant(10, 10, 2, 0.5, 1);
  auto expect_error = [&](FitOptions o, const char *what) {
    try {
      sk_nmf::Sampler s(p.x, o);
      ADD_FAILURE() << "no error for " << what;
    } catch (const sk_nmf::Error &e) {
      EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
    }
  };
  auto o = options(2, 10, 1);
  o.components = 0;
  expect_error(o, "components");
  o = options(2, 10, 1);
  o.burn_in = 10;
  expect_error(o, "burn-in");
  o = options(2, 0, 1);
  expect_error(o, "sweeps");
  o = options(2, 10, 1);
  o.shape = 0;
  expect_error(o, "shape");
  o.shape = NAN;
  expect_error(o, "shape");
  o = options(2, 10, 1);
  o.rate = -1;
  expect_error(o, "rate");
  o = options(2, 10, 1);
  o.auto_sweeps = true;
  o.burn_in = sk_nmf::kAutoMostSweeps / 2 + 1;
  expect_error(o, "must be at most 1000 with an automatic number of sweeps");
  o.burn_in = -1;
  const std::vector<double> h(20, 1.0);
  try {
    sk_nmf::Sampler s(p.x, o, h.data());
    ADD_FAILURE() << "an automatic fit with H fixed";
  } catch (const sk_nmf::Error &e) {
    EXPECT_NE(std::string(e.what()).find("needs H sampled"), std::string::npos) << e.what();
  }
}

// Refused before anything is allocated, with what the fit would take.
TEST(Sampler, AFitLargerThanMemoryIsRefusedWithItsFigure) {
  const auto p = sk_nmf::plant(10, 10, 2, 0.5, 1);
  auto o = options(2000000000, 2, 1);  // 10 x 2e9 doubles per factor
  try {
    sk_nmf::Sampler s(p.x, o);
    ADD_FAILURE() << "no error";
  } catch (const sk_nmf::Error &e) {
    const std::string what = e.what();
    EXPECT_EQ(what.rfind("out of memory: the fit of (10 x 10) counts with 2000000000 factors needs ", 0), 0u) << what;
    EXPECT_NE(what.find(" GiB (factors, tallies and sums "), std::string::npos) << what;
    EXPECT_NE(what.find("working copies"), std::string::npos) << what;
  }
}

// The figure is the arena and a working copy of H and the column tallies
// per process; when memory holds fewer processes than asked for, the fit
// plans fewer (its result is the same), and none at all is refused.
TEST(Sampler, MemoryBoundsTheProcessesAFitPlans) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's own mappings need an unbounded address space";
#endif
  sk_nmf::Csr x;
  x.rows = 140000;
  x.cols = 1 << 20;
  x.offsets.assign(static_cast<size_t>(x.rows) + 1, 0);
  auto o = options(4, 2, 1);
  o.jobs = 2;
  sk_nmf::FitSettings s = sk_nmf::plan_fit(x.rows, x.cols, 0, 0, o, false);
  ASSERT_GE(s.decomposition().blocks(), 2);
  s.workers = 1;
  const sk_nmf::FitMemory one = sk_nmf::fit_memory(s);
  s.workers = 2;
  const sk_nmf::FitMemory two = sk_nmf::fit_memory(s);
  EXPECT_EQ(one.arena, static_cast<double>(sk_nmf::FitArena::bytes(s)) - 4.0 * x.cols * 8);
  EXPECT_EQ(two.working_copies, 2 * 4.0 * x.cols * (8 + 2));  // per process: H's entries and 16-bit counts
  EXPECT_EQ(sk_nmf::plan_memory(x, o).processes, 2);

  rlimit was{};
  ASSERT_EQ(::getrlimit(RLIMIT_AS, &was), 0);
  std::FILE *status = std::fopen("/proc/self/status", "r");
  ASSERT_NE(status, nullptr);
  char line[256];
  double mapped = 0;
  while (std::fgets(line, sizeof line, status))
    if (std::sscanf(line, "VmSize: %lf kB", &mapped) == 1) mapped *= 1024;
  std::fclose(status);
  auto with_room = [&](double room) {
    rlimit limit = was;
    limit.rlim_cur = static_cast<rlim_t>(mapped + room);
    ASSERT_EQ(::setrlimit(RLIMIT_AS, &limit), 0);
  };
  with_room((one.total() + two.total()) / 2);
  int32_t processes = 0;
  std::string refusal;
  try {
    processes = sk_nmf::plan_memory(x, o).processes;
    with_room(one.total() / 2);
    sk_nmf::plan_memory(x, o);
  } catch (const sk_nmf::Error &e) {
    refusal = e.what();
  }
  ASSERT_EQ(::setrlimit(RLIMIT_AS, &was), 0);
  EXPECT_EQ(processes, 1);
  EXPECT_NE(refusal.find("needs " + sk_nmf::byte_size(one.total())), std::string::npos) << refusal;
}

// Numbers that overflow are caught in the sweep that makes them, not
// carried on into the means.
TEST(Sampler, AFitThatTurnsNonFiniteStopsWithAnError) {
  const auto p = sk_nmf::plant(50, 20, 2, 0.5, 3);
  const sk_nmf::AllocationStep overflowing = [](const sk_nmf::CsrView &x, const double *w, const double *h, double *a,
                                                double *b, int32_t K) {
    sk_nmf::allocate_csr(x, w, h, a, b, K);
    a[0] = INFINITY;
  };
  sk_nmf::Sampler s(p.x, options(2, 3, 1), nullptr, overflowing);
  try {
    s.sweep();
    ADD_FAILURE() << "no error";
  } catch (const sk_nmf::RunError &e) {
    EXPECT_NE(std::string(e.what()).find("the fit turned non-finite in sweep 1: the sum of W's column 1 is inf"),
              std::string::npos) << e.what();
  }
}

}  // namespace
