// The sampler's random variates against their distributions, and the model's
// pieces against plain computations.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "gamma.h"
#include "model.h"
#include "planted.h"
#include "random.h"

namespace {

using sk_nmf::Rng;

// Lower regularised incomplete gamma P(a, x) by its series (x not too large).
double gamma_p(double a, double x) {
  if (x <= 0) return 0;
  double term = 1.0 / a, sum = term;
  for (int n = 1; n < 100000 && term > sum * 1e-17; ++n) {
    term *= x / (a + n);
    sum += term;
  }
  return std::exp(a * std::log(x) - x - std::lgamma(a)) * sum;
}

// A proportion of n draws against its probability: within 5 standard errors
// (one such check in ~1.7 million fails by chance).
void expect_proportion(double hits, double n, double p, const std::string &what) {
  const double se = std::sqrt(p * (1 - p) / n);
  EXPECT_NEAR(hits / n, p, 5 * se + 1e-12) << what;
}

TEST(Ziggurat, NormalMatchesItsDistributionFunction) {
  Rng rng(11);
  const int n = 4000000;
  const double points[] = {-3.8, -2.0, -1.0, -0.3, 0.0, 0.5, 1.0, 2.5, 3.6541528853610088, 4.0};
  std::vector<double> below(std::size(points), 0.0);
  double sum = 0, sum2 = 0;
  for (int i = 0; i < n; ++i) {
    const double z = rng.normal();
    sum += z, sum2 += z * z;
    for (size_t p = 0; p < std::size(points); ++p) below[p] += z < points[p];
  }
  for (size_t p = 0; p < std::size(points); ++p)
    expect_proportion(below[p], n, 0.5 * std::erfc(-points[p] / std::sqrt(2.0)), "P(Z < " + std::to_string(points[p]) + ")");
  EXPECT_NEAR(sum / n, 0.0, 5 / std::sqrt(n));
  EXPECT_NEAR(sum2 / n, 1.0, 5 * std::sqrt(2.0 / n));
}

TEST(Ziggurat, ExponentialMatchesItsDistributionFunctionIntoTheTail) {
  Rng rng(12);
  const int n = 4000000;
  const double points[] = {0.01, 0.1, 0.5, 1.0, 2.0, 4.0, 7.69711747013104972, 9.0};
  std::vector<double> above(std::size(points), 0.0);
  for (int i = 0; i < n; ++i) {
    const double e = rng.exponential();
    ASSERT_GE(e, 0.0);
    for (size_t p = 0; p < std::size(points); ++p) above[p] += e > points[p];
  }
  for (size_t p = 0; p < std::size(points); ++p)
    expect_proportion(above[p], n, std::exp(-points[p]), "P(E > " + std::to_string(points[p]) + ")");
}

TEST(Ziggurat, UniformsStayInTheirIntervals) {
  Rng rng(13);
  double lo = 1, hi = 0, lo_pos = 1;
  for (int i = 0; i < 1000000; ++i) {
    const double u = rng.uniform(), v = rng.uniform_pos();
    lo = std::min(lo, u), hi = std::max(hi, u), lo_pos = std::min(lo_pos, v);
    ASSERT_LT(u, 1.0);
    ASSERT_LE(v, 1.0);
  }
  EXPECT_GE(lo, 0.0);
  EXPECT_GT(lo_pos, 0.0);
  EXPECT_GT(hi, 0.999);
}

class GammaDraws : public ::testing::TestWithParam<double> {};

// Distribution function at five quantile-like points, and the mean, variance
// and third central moment, for shapes on both sides of 1 and on the fast
// 1/n path (0.5, 0.25, 0.2, 0.1) and off it (0.13, 0.7).
TEST_P(GammaDraws, MatchTheGammaDistribution) {
  const double a = GetParam();
  Rng rng(static_cast<uint64_t>(a * 1000) + 5);
  const sk_nmf::GammaShape g(a);
  const int n = 1000000;
  const double mult[] = {0.05, 0.3, 1.0, 2.0, 4.0};
  std::vector<double> below(std::size(mult), 0.0);
  double s1 = 0, s2 = 0, s3 = 0;
  for (int i = 0; i < n; ++i) {
    const double x = sk_nmf::gamma_draw(rng, g);
    ASSERT_GE(x, 0.0);
    ASSERT_TRUE(std::isfinite(x));
    const double d = x - a;
    s1 += d, s2 += d * d, s3 += d * d * d;
    for (size_t p = 0; p < std::size(mult); ++p) below[p] += x < mult[p] * a;
  }
  for (size_t p = 0; p < std::size(mult); ++p)
    expect_proportion(below[p], n, gamma_p(a, mult[p] * a), "P(X < " + std::to_string(mult[p]) + " a)");
  // Central moments of Gamma(a): variance a, third 2a, fourth 3a^2 + 6a.
  EXPECT_NEAR(s1 / n, 0.0, 5 * std::sqrt(a / n));
  EXPECT_NEAR(s2 / n, a, 5 * std::sqrt((3 * a * a + 6 * a - a * a) / n));
  const double sixth = 15 * a * a * a + 130 * a * a + 120 * a;  // sixth central moment
  EXPECT_NEAR(s3 / n, 2 * a, 6 * std::sqrt(sixth / n));
}

INSTANTIATE_TEST_SUITE_P(Shapes, GammaDraws, ::testing::Values(0.1, 0.13, 0.2, 0.25, 0.5, 0.7, 1.0, 1.1, 2.5, 10.0, 100.5),
                         [](const auto &info) {
                           char text[32];
                           std::snprintf(text, sizeof text, "%g", info.param);
                           std::string s = text;
                           for (char &c : s) c = c == '.' ? '_' : c;
                           return "shape_" + s;
                         });

// The ziggurat behind shapes 1/m: for m = 2 its density exp(-y^2) is the
// normal's scaled by sqrt(2), whose base r is known; every layer has the
// base strip's area, and the top layer reaches the mode.
TEST(ReciprocalZiggurat, LayersHaveEqualAreasAndTheKnownNormalBase) {
  EXPECT_NEAR(sk_nmf::reciprocal_ziggurat(2).x[1] * std::sqrt(2.0), 3.6541528853610088, 1e-9);
  for (int m : {2, 3, 5, 10, 64}) {
    const auto &z = sk_nmf::reciprocal_ziggurat(m);
    const double v = z.x[0] * z.f[0];
    for (int i = 1; i < 256; ++i) {
      ASSERT_GT(z.x[i], z.x[i + 1]) << "m " << m << " layer " << i;
      // (The recursion's rounding grows towards the top: 2e-11 at m = 64.)
      EXPECT_NEAR(z.x[i] * (z.f[i + 1] - z.f[i]), v, 1e-10 * v) << "m " << m << " layer " << i;
    }
    EXPECT_EQ(z.f[256], 1.0);
    EXPECT_NEAR(z.r_m, std::pow(z.x[1], m), 1e-12 * z.r_m);
  }
}

class ReciprocalShapes : public ::testing::TestWithParam<int> {};

// Shapes 1/m through the ziggurat, the tail beyond the base strip included:
// the distribution function around and past r^m, where the tail sampler
// takes over, against the incomplete gamma function.
TEST_P(ReciprocalShapes, FollowTheGammaDistributionIntoTheTail) {
  const int m = GetParam();
  const double a = 1.0 / m;
  const sk_nmf::GammaShape g(a);
  ASSERT_EQ(g.power, m);
  const double rm = sk_nmf::reciprocal_ziggurat(m).r_m;
  Rng rng(static_cast<uint64_t>(m) + 77);
  const int n = 2000000;
  const double at[] = {1e-6, 1e-3, 0.1, 1.0, 0.5 * rm, rm, 1.5 * rm, 2.0 * rm};
  std::vector<double> below(std::size(at), 0.0);
  double s1 = 0;
  for (int i = 0; i < n; ++i) {
    const double x = sk_nmf::gamma_draw(rng, g);
    ASSERT_GE(x, 0.0);
    ASSERT_TRUE(std::isfinite(x));
    s1 += x;
    for (size_t p = 0; p < std::size(at); ++p) below[p] += x < at[p];
  }
  for (size_t p = 0; p < std::size(at); ++p)
    expect_proportion(n - below[p], n, 1.0 - gamma_p(a, at[p]), "P(X >= " + std::to_string(at[p]) + ")");
  EXPECT_NEAR(s1 / n, a, 5 * std::sqrt(a / n));
}

INSTANTIATE_TEST_SUITE_P(Powers, ReciprocalShapes, ::testing::Values(2, 4, 5, 8, 64),
                         [](const auto &info) { return "one_over_" + std::to_string(info.param); });

TEST(GammaDraws, ShapeTableDrawsTheSameAsDirectShapes) {
  const sk_nmf::GammaShapeTable table(0.1, 8);
  Rng a(3), b(3);
  for (double tally : {0.0, 1.0, 7.0, 8.0, 250.0, 2.5})
    for (int i = 0; i < 100; ++i) EXPECT_EQ(table.draw(a, tally), sk_nmf::gamma_draw(b, 0.1 + tally)) << tally;
}

TEST(DiscreteDraws, BinomialAndPoissonHaveTheirMeansAndVariances) {
  Rng rng(21);
  const int n = 200000;
  for (const auto &[trials, p] : std::vector<std::pair<int64_t, double>>{{5, 0.2}, {64, 0.5}, {1000, 0.2}, {2147483647, 0.01}}) {
    double s1 = 0, s2 = 0;
    for (int i = 0; i < n / (trials > 1000 ? 20 : 1); ++i) {
      const auto k = static_cast<double>(sk_nmf::binomial_draw(rng, trials, p));
      ASSERT_GE(k, 0);
      ASSERT_LE(k, static_cast<double>(trials));
      s1 += k, s2 += k * k;
    }
    const double m = n / (trials > 1000 ? 20 : 1), mean = trials * p, var = trials * p * (1 - p);
    EXPECT_NEAR(s1 / m, mean, 5 * std::sqrt(var / m)) << trials;
    EXPECT_NEAR(s2 / m - (s1 / m) * (s1 / m), var, 6 * var * std::sqrt(2.0 / m)) << trials;
  }
  for (double mean : {0.3, 3.0, 16.5, 1000.0}) {
    double s1 = 0, s2 = 0;
    for (int i = 0; i < n; ++i) {
      const auto k = static_cast<double>(sk_nmf::poisson_draw(rng, mean));
      s1 += k, s2 += k * k;
    }
    EXPECT_NEAR(s1 / n, mean, 5 * std::sqrt(mean / n)) << mean;
    EXPECT_NEAR(s2 / n - (s1 / n) * (s1 / n), mean, 6 * mean * std::sqrt((2.0 + 1.0 / mean) / n)) << mean;
  }
}

sk_nmf::Csr random_csr(int32_t rows, int32_t cols, double density, uint64_t seed) {
  Rng rng(seed);
  sk_nmf::Csr x;
  x.rows = rows, x.cols = cols;
  for (int32_t i = 0; i < rows; ++i) {
    for (int32_t j = 0; j < cols; ++j)
      if (rng.uniform() < density) x.indices.push_back(j), x.values.push_back(1 + std::floor(5 * rng.uniform()));
    x.offsets.push_back(x.nnz());
  }
  return x;
}

TEST(LogLikelihood, FromNonZerosAndFactorSumsMatchesEveryCell) {
  const auto x = random_csr(37, 23, 0.3, 4);
  const int32_t K = 3;
  Rng rng(5);
  std::vector<double> w(37 * K), h(K * 23);
  for (double &v : w) v = rng.uniform() + 0.01;
  for (double &v : h) v = rng.uniform() + 0.01;
  for (double scale : {1.0, 0.25}) {
    double plain = 0;
    for (int32_t i = 0; i < x.rows; ++i) {
      std::vector<double> row(23, 0.0);
      for (int64_t n = x.offsets[i]; n < x.offsets[i + 1]; ++n) row[x.indices[n]] = x.values[n];
      for (int32_t j = 0; j < 23; ++j) {
        double mu = 0;
        for (int32_t k = 0; k < K; ++k) mu += w[i * K + k] * h[k * 23 + j];
        mu *= scale;
        plain += row[j] * std::log(mu) - mu - std::lgamma(row[j] + 1);
      }
    }
    EXPECT_NEAR(sk_nmf::log_likelihood(x, w.data(), h.data(), K, scale), plain, 1e-9 * std::abs(plain));
  }
}

TEST(Holdout, ThinningSplitsEveryCountBinomially) {
  const auto x = random_csr(300, 200, 0.2, 6);
  const auto s = sk_nmf::split_holdout(x, 0.3, 9);
  // Cell by cell, train + test = the counts; nothing stored as zero.
  std::vector<double> sum(300 * 200, 0.0), orig(300 * 200, 0.0);
  for (const auto *m : {&s.train, &s.test})
    for (int32_t i = 0; i < 300; ++i)
      for (int64_t n = m->offsets[i]; n < m->offsets[i + 1]; ++n) {
        EXPECT_GT(m->values[n], 0);
        if (n > m->offsets[i]) {
          EXPECT_LT(m->indices[n - 1], m->indices[n]);
        }
        sum[i * 200 + m->indices[n]] += m->values[n];
      }
  for (int32_t i = 0; i < 300; ++i)
    for (int64_t n = x.offsets[i]; n < x.offsets[i + 1]; ++n) orig[i * 200 + x.indices[n]] = x.values[n];
  EXPECT_EQ(sum, orig);
  expect_proportion(s.test.total(), x.total(), 0.3, "held-out fraction");
}

}  // namespace
