// The sampler's C ABI: bad CSR and bad options are refused with a message and
// the outputs untouched; a good call fits as the model does and can be
// stopped from its progress callback.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "model.h"
#include "sampling_kernels_nmf.h"

namespace {

struct Counts {
  std::vector<int64_t> offsets{0, 2, 2, 4};
  std::vector<int32_t> indices{0, 2, 1, 2};
  std::vector<double> values{3, 1, 2, 5};
  int32_t rows = 3, cols = 3;
};

// The model's own form of the same counts.
sk_nmf::Csr csr_of(const Counts &c) {
  sk_nmf::Csr x;
  x.rows = c.rows, x.cols = c.cols;
  x.offsets.assign(c.offsets.begin(), c.offsets.end());
  x.indices.assign(c.indices.begin(), c.indices.end());
  x.values.assign(c.values.begin(), c.values.end());
  return x;
}

struct Call {
  Counts x;
  int32_t k = 2;
  int64_t sweeps = 10, burn_in = -1;
  double shape = 0.1, rate = 0;
  const double *fixed = nullptr;
  std::vector<double> w = std::vector<double>(6, -7.0), h = std::vector<double>(6, -7.0);
  char error[256] = "";
  int32_t run(SK_NMF_Progress progress = nullptr, void *context = nullptr, int64_t every = 0) {
    return SK_NMF_Fit(x.offsets.data(), x.indices.data(), x.values.data(), x.rows, x.cols, k, sweeps, burn_in,
                      shape, rate, 5, fixed, w.data(), h.data(), progress, context, every, error, sizeof error);
  }
};

TEST(CApi, RefusesBadInputNamingItAndWritesNothing) {
  const struct {
    const char *name, *want;
    void (*spoil)(Call &);
  } cases[] = {
      {"offsets not from 0", "row_offsets[0]", [](Call &c) { c.x.offsets[0] = 1; }},
      {"offsets decrease", "decrease at row 1", [](Call &c) { c.x.offsets[2] = 1; }},
      {"index out of range", "column index 3", [](Call &c) { c.x.indices[1] = 3; }},
      {"negative index", "column index -1", [](Call &c) { c.x.indices[0] = -1; }},
      {"unsorted", "not ascending", [](Call &c) { std::swap(c.x.indices[2], c.x.indices[3]); }},
      {"repeated", "not ascending and distinct", [](Call &c) { c.x.indices[3] = 1; }},
      {"fractional count", "not a whole number", [](Call &c) { c.x.values[1] = 0.5; }},
      {"negative count", "not a whole number", [](Call &c) { c.x.values[1] = -1; }},
      {"NaN count", "not a whole number", [](Call &c) { c.x.values[1] = NAN; }},
      {"huge count", "not a whole number", [](Call &c) { c.x.values[1] = 4294967296.0; }},
      {"no rows", "at least one row", [](Call &c) { c.x.rows = 0; }},
      {"no components", "components", [](Call &c) { c.k = 0; }},
      {"no sweeps", "sweeps", [](Call &c) { c.sweeps = 0; }},
      {"burn-in too long", "burn-in", [](Call &c) { c.burn_in = 10; }},
      {"zero shape", "shape", [](Call &c) { c.shape = 0; }},
      {"negative rate", "rate", [](Call &c) { c.rate = -1; }},
      // Beyond what the streams number, or what the sampler's numbers carry.
      {"2^31 sweeps", "sweeps must be from 1 to 2147483647", [](Call &c) { c.sweeps = int64_t{1} << 31; }},
      {"subnormal shape", "shape must be a number from 1e-10 to 1e10", [](Call &c) { c.shape = 5e-324; }},
      {"vast shape", "shape must be a number from 1e-10 to 1e10", [](Call &c) { c.shape = 1e308; }},
      {"vast rate", "rate must be a number from 1e-10 to 1e10", [](Call &c) { c.rate = 1e300; }},
  };
  for (const auto &t : cases) {
    Call c;
    t.spoil(c);
    EXPECT_EQ(c.run(), SK_NMF_BAD_INPUT) << t.name;
    EXPECT_NE(std::string(c.error).find(t.want), std::string::npos) << t.name << ": " << c.error;
    EXPECT_EQ(c.w, std::vector<double>(6, -7.0)) << t.name;
    EXPECT_EQ(c.h, std::vector<double>(6, -7.0)) << t.name;
  }
  Call c;
  EXPECT_EQ(SK_NMF_Fit(nullptr, nullptr, nullptr, 3, 3, 2, 10, -1, 0.1, 0, 5, nullptr, c.w.data(), c.h.data(),
                       nullptr, nullptr, 0, nullptr, 0),
            SK_NMF_BAD_INPUT);  // a NULL error buffer is allowed
  EXPECT_EQ(SK_NMF_Fit(c.x.offsets.data(), c.x.indices.data(), c.x.values.data(), 3, 3, 2, 10, -1, 0.1, 0, 5,
                       nullptr, nullptr, nullptr, nullptr, nullptr, 0, c.error, sizeof c.error),
            SK_NMF_BAD_INPUT);
  EXPECT_TRUE(std::isnan(SK_NMF_Log_Likelihood(c.x.offsets.data(), c.x.indices.data(), c.x.values.data(), 3, 3, 0,
                                               c.w.data(), c.h.data(), 1.0, c.error, sizeof c.error)));
  EXPECT_NE(std::string(c.error).find("n_components"), std::string::npos) << c.error;
}

// A fit larger than memory is refused before anything is allocated, with
// what it would need.
TEST(CApi, RefusesAFitLargerThanMemoryWithItsFigure) {
  Call c;
  c.x.cols = 2147483647;
  c.k = 100;
  EXPECT_EQ(c.run(), SK_NMF_NO_MEMORY);
  const std::string error = c.error;
  EXPECT_NE(error.find("needs"), std::string::npos) << error;
  EXPECT_NE(error.find("working copies"), std::string::npos) << error;
  EXPECT_EQ(c.w, std::vector<double>(6, -7.0));
}

TEST(CApi, FitsAsTheModelDoesAndStopsWhenAsked) {
  Call c;
  ASSERT_EQ(c.run(), SK_NMF_OK) << c.error;
  const sk_nmf::Csr x = csr_of(c.x);
  sk_nmf::FitOptions o;
  o.components = 2, o.sweeps = 10, o.seed = 5, o.shape = c.shape;
  o.background = false;  // SK_NMF_Fit fits none
  const auto r = sk_nmf::fit(x, o);
  EXPECT_EQ(c.w, r.w_mean);
  EXPECT_EQ(c.h, r.h_mean);

  // Reported sweeps carry the log-likelihood, the others NaN; a non-zero
  // result stops the fit.
  struct Seen {
    std::vector<int64_t> reported, all;
  } seen;
  auto progress = [](void *context, int64_t sweep, int64_t, int32_t, double loglik) -> int32_t {
    auto *s = static_cast<Seen *>(context);
    s->all.push_back(sweep);
    if (!std::isnan(loglik)) s->reported.push_back(sweep);
    return sweep == 7 ? 1 : 0;
  };
  Call d;
  EXPECT_EQ(d.run(progress, &seen, 3), SK_NMF_STOPPED);
  EXPECT_EQ(seen.all, (std::vector<int64_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(seen.reported, (std::vector<int64_t>{3, 6}));
  EXPECT_GT(d.w[0], 0.0);
}

// SK_NMF_AUTO_SWEEPS: the callback is told the cap until the stop is
// known, then the stop, its last call is at the stop, and the means are
// the fixed fit's of that many sweeps.
TEST(CApi, AnAutomaticFitSaysWhereItStops) {
  struct Seen {
    std::vector<int64_t> planned;
    int64_t last = 0;
    int32_t burning_in = -1;
  } seen;
  auto progress = [](void *context, int64_t sweep, int64_t n_sweeps, int32_t burning_in, double) -> int32_t {
    auto *s = static_cast<Seen *>(context);
    if (s->planned.empty() || s->planned.back() != n_sweeps) s->planned.push_back(n_sweeps);
    s->last = sweep, s->burning_in = burning_in;
    return 0;
  };
  Call c;
  c.sweeps = SK_NMF_AUTO_SWEEPS;
  ASSERT_EQ(c.run(progress, &seen), SK_NMF_OK) << c.error;
  ASSERT_EQ(seen.planned.size(), 2u);
  EXPECT_EQ(seen.planned[0], sk_nmf::kAutoMostSweeps);
  EXPECT_EQ(seen.last, seen.planned[1]);
  EXPECT_EQ(seen.burning_in, 0);
  Call fixed;
  fixed.sweeps = seen.planned[1];
  ASSERT_EQ(fixed.run(), SK_NMF_OK) << fixed.error;
  EXPECT_EQ(c.w, fixed.w);
  EXPECT_EQ(c.h, fixed.h);
  Call too_long;
  too_long.sweeps = SK_NMF_AUTO_SWEEPS, too_long.burn_in = 1001;
  EXPECT_EQ(too_long.run(), SK_NMF_BAD_INPUT);
  EXPECT_NE(std::string(too_long.error).find("must be at most 1000"), std::string::npos) << too_long.error;
}

// With a background the outputs are split: the components in w_mean and
// h_mean as without one, the background's weights and rates apart.
TEST(CApi, ABackgroundComesApartFromTheComponents) {
  Call c;
  std::vector<double> bw(3, -7.0), bh(3, -7.0);
  SK_NMF_Run run{};
  run.n_jobs = 1;
  run.background = 1;
  run.background_w = bw.data();
  run.background_h = bh.data();
  auto fit = [&](Call &call, const double *fixed, SK_NMF_Run *r) {
    return SK_NMF_Fit_Run(call.x.offsets.data(), call.x.indices.data(), call.x.values.data(), 3, 3, 2, 10, -1,
                          call.shape, 0, 5, fixed, call.w.data(), fixed ? nullptr : call.h.data(), nullptr, nullptr,
                          0, r, call.error, sizeof call.error);
  };
  ASSERT_EQ(fit(c, nullptr, &run), SK_NMF_OK) << c.error;
  const sk_nmf::Csr x = csr_of(c.x);
  sk_nmf::FitOptions o;
  o.components = 2, o.sweeps = 10, o.seed = 5, o.shape = c.shape, o.jobs = 1, o.background = true;
  const auto r = sk_nmf::fit(x, o);
  ASSERT_EQ(r.factors, 3);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(c.w[i * 2], r.w_mean[i * 3]);
    EXPECT_EQ(c.w[i * 2 + 1], r.w_mean[i * 3 + 1]);
    EXPECT_EQ(bw[i], r.w_mean[i * 3 + 2]);
    EXPECT_EQ(bh[i], r.h_mean[6 + i]);
  }
  EXPECT_EQ(c.h, std::vector<double>(r.h_mean.begin(), r.h_mean.begin() + 6));

  Call fixed;
  run.fixed_background = nullptr;
  EXPECT_EQ(fit(fixed, c.h.data(), &run), SK_NMF_BAD_INPUT);
  EXPECT_NE(std::string(fixed.error).find("fixed_background is NULL"), std::string::npos) << fixed.error;
  run.fixed_background = bh.data();
  EXPECT_EQ(fit(fixed, c.h.data(), &run), SK_NMF_OK) << fixed.error;
  run.background_shape = -1;
  Call bad;
  EXPECT_EQ(fit(bad, nullptr, &run), SK_NMF_BAD_INPUT);
  EXPECT_NE(std::string(bad.error).find("background's prior shape"), std::string::npos) << bad.error;
  EXPECT_EQ(bad.w, std::vector<double>(6, -7.0));
}

TEST(CApi, LogLikelihoodMatchesTheModel) {
  Call c;
  const std::vector<double> w{1, 2, 0.5, 0.1, 3, 1}, h{0.2, 1, 2, 1, 0.5, 0.3};
  const sk_nmf::Csr x = csr_of(c.x);
  EXPECT_EQ(SK_NMF_Log_Likelihood(c.x.offsets.data(), c.x.indices.data(), c.x.values.data(), 3, 3, 2, w.data(),
                                  h.data(), 0.5, c.error, sizeof c.error),
            sk_nmf::log_likelihood(x, w.data(), h.data(), 2, 0.5));
}

}  // namespace
