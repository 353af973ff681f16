// Several threads in the library at once: each Multi_Sample call has its own
// tallies and shares only libc's (locked) rand stream; Binary_Search reads
// shared arrays.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "libc_script.h"
#include "sampling_kernels.h"

namespace {

constexpr int kThreads = 6;

struct Job {
  int32_t rows, components, cols;
  std::vector<double> counts, row_factors, col_factors, row_tallies, col_tallies;
};

// Counts 0..4 with some fractions; component k of row i has weight zero when
// (i + k) % 5 == 0, so no unit may land there.
Job make_job(int seed) {
  Job j{3 + seed % 3, 5 + 7 * seed, 11 + 3 * seed, {}, {}, {}, {}, {}};
  const auto R = std::size_t(j.rows), K = std::size_t(j.components), C = std::size_t(j.cols);
  for (std::size_t c = 0; c < R * C; ++c) j.counts.push_back(double((c * 7 + seed) % 5) + (c % 3 == 0 ? 0.5 : 0.0));
  for (std::size_t i = 0; i < R; ++i)
    for (std::size_t k = 0; k < K; ++k) j.row_factors.push_back((i + k) % 5 == 0 ? 0.0 : 1.0 + k % 3);
  for (std::size_t e = 0; e < K * C; ++e) j.col_factors.push_back(0.5 + double(e % 4));
  j.row_tallies.assign(R * K, 0.0);
  j.col_tallies.assign(K * C, 0.0);
  return j;
}

TEST(Concurrency, MultiSampleLosesNoUnit) {
  libc_script::use_real_rand();
  srand(99);
  rand();  // resolves libc's rand before the threads race for it
  std::vector<Job> jobs;
  for (int t = 0; t < kThreads; ++t) jobs.push_back(make_job(t));
  constexpr int kPasses = 300;
  std::vector<std::thread> threads;
  for (Job &j : jobs)
    threads.emplace_back([&j] {
      for (int pass = 0; pass < kPasses; ++pass)
        Multi_Sample(j.counts.data(), j.row_factors.data(), j.col_factors.data(),
                     j.row_tallies.data(), j.col_tallies.data(), j.rows, j.components,
                     j.cols);
    });
  for (auto &t : threads) t.join();

  for (const Job &j : jobs) {
    const auto R = std::size_t(j.rows), K = std::size_t(j.components), C = std::size_t(j.cols);
    for (std::size_t i = 0; i < R; ++i) {
      double want = 0, got = 0;
      for (std::size_t c = 0; c < C; ++c) want += std::ceil(j.counts[i * C + c]);
      for (std::size_t k = 0; k < K; ++k) {
        got += j.row_tallies[i * K + k];
        if ((i + k) % 5 == 0) {
          EXPECT_EQ(j.row_tallies[i * K + k], 0) << "row " << i << " component " << k;
        }
      }
      EXPECT_EQ(got, kPasses * want) << "row " << i << " of " << K << " components";
    }
    for (std::size_t c = 0; c < C; ++c) {
      double want = 0, got = 0;
      for (std::size_t i = 0; i < R; ++i) want += std::ceil(j.counts[i * C + c]);
      for (std::size_t k = 0; k < K; ++k) got += j.col_tallies[k * C + c];
      EXPECT_EQ(got, kPasses * want) << "column " << c << " of " << K << " components";
    }
  }
}

TEST(Concurrency, BinarySearchAnswersAsItDoesAlone) {
  // Running sums with runs of ties, and targets on, between and beyond them.
  std::vector<double> sums;
  double s = 0;
  for (int e = 0; e < 1000; ++e) sums.push_back(s += (e % 4 == 0) ? 0.0 : 0.25 * (e % 7));
  std::vector<double> targets;
  for (int t = -10; t < 5000; ++t) targets.push_back(t * (s / 4000.0));
  for (double v : sums) targets.push_back(v);
  const auto length = static_cast<int32_t>(sums.size());
  std::vector<int32_t> alone;
  for (double t : targets) alone.push_back(Binary_Search(sums.data(), length, t));

  std::vector<std::vector<int32_t>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round)
        for (std::size_t n = 0; n < targets.size(); ++n) {
          // Each thread walks the targets from a different starting point.
          const std::size_t at = (n + std::size_t(t) * 997) % targets.size();
          const int32_t e = Binary_Search(sums.data(), length, targets[at]);
          if (round == 0) seen[std::size_t(t)].push_back(e);
          else if (e != seen[std::size_t(t)][n]) seen[std::size_t(t)][n] = -2;
        }
    });
  for (auto &t : threads) t.join();
  for (int t = 0; t < kThreads; ++t)
    for (std::size_t n = 0; n < targets.size(); ++n)
      ASSERT_EQ(seen[std::size_t(t)][n], alone[(n + std::size_t(t) * 997) % targets.size()])
          << "thread " << t << " target " << targets[(n + std::size_t(t) * 997) % targets.size()];
}

}  // namespace
