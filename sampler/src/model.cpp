#include "model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "errors.h"
#include "gamma.h"

namespace sk_nmf {

void check_options(const FitOptions &o, const Csr &x) {
  if (o.components < 1) throw Error("the number of components must be at least 1");
  if (o.sweeps < 1) throw Error("the number of sweeps must be at least 1");
  if (o.burn_in >= o.sweeps) {
    throw Error("the burn-in (" + std::to_string(o.burn_in) + ") must be below the number of sweeps (" +
                std::to_string(o.sweeps) + ")");
  }
  if (!(o.shape > 0) || !std::isfinite(o.shape)) throw Error("the prior shape must be a positive number");
  if (!(o.rate >= 0) || !std::isfinite(o.rate)) throw Error("the prior rate must be a positive number (or 0 to learn it)");
  if (x.rows < 1 || x.cols < 1) throw Error("the count matrix has no rows or no columns");
}

namespace {

constexpr int kShapeTable = 256;

double mean_count(const Csr &x) {
  const double cells = static_cast<double>(x.rows) * static_cast<double>(x.cols);
  return std::max(x.total() / cells, 1e-12);
}

std::string shape_text(double rows, double cols) {
  return std::to_string(static_cast<long long>(rows)) + " x " + std::to_string(static_cast<long long>(cols));
}

}  // namespace

Sampler::Sampler(const Csr &x, const FitOptions &o, const double *fixed_h, AllocationStep allocation)
    : x_(x), o_(o), allocation_(allocation), R_(x.rows), C_(x.cols), K_(o.components),
      burn_in_(o.effective_burn_in()), fixed_h_(fixed_h != nullptr), rng_(o.seed),
      table_(o.shape, kShapeTable) {
  check_options(o, x);
  const double R = R_, C = C_, K = K_;
  const std::string rk = "(" + shape_text(R, K) + ")", kc = "(" + shape_text(K, C) + ")";
  w_ = allocate_vector<double>(R * K, "the row factors W " + rk);
  a_ = allocate_vector<double>(R * K, "the row tallies " + rk);
  w_sum_ = allocate_vector<double>(R * K, "the running sum of W " + rk);
  h_ = allocate_vector<double>(K * C, "the column factors H " + kc);
  b_ = allocate_vector<double>(K * C, "the column tallies " + kc);
  if (!fixed_h_) h_sum_ = allocate_vector<double>(K * C, "the running sum of H " + kc);
  xi_ = allocate_vector<double>(R, "the row rates", o.rate);
  eta_ = allocate_vector<double>(C, "the column rates", o.rate);
  col_sum_.assign(static_cast<size_t>(K_), 0.0);
  row_sum_.assign(static_cast<size_t>(K_), 0.0);

  // Start near the data's scale: W H then averages the mean count per cell.
  const double scale = std::sqrt(mean_count(x) / K);
  if (o.rate == 0.0) {
    // Hyperprior mean of the rates puts the prior mean of each factor at
    // `scale`; shape 1 keeps it weak.
    a0_ = 1.0;
    b0_ = a0_ * scale / o.shape;
    std::fill(xi_.begin(), xi_.end(), o.shape / scale);
    std::fill(eta_.begin(), eta_.end(), o.shape / scale);
  }
  const GammaShape one(1.0);
  for (double &v : w_) v = scale * gamma_draw(rng_, one);
  if (fixed_h_) {
    std::copy(fixed_h, fixed_h + h_.size(), h_.begin());
  } else {
    for (double &v : h_) v = scale * gamma_draw(rng_, one);
  }
}

void Sampler::sweep() {
  const size_t R = static_cast<size_t>(R_), C = static_cast<size_t>(C_), K = static_cast<size_t>(K_);
  std::fill(a_.begin(), a_.end(), 0.0);
  std::fill(b_.begin(), b_.end(), 0.0);
  allocation_(x_, w_.data(), h_.data(), a_.data(), b_.data(), K_);

  // W given the tallies and H.
  std::fill(col_sum_.begin(), col_sum_.end(), 0.0);
  for (size_t k = 0; k < K; ++k) {
    double s = 0;
    const double *hk = &h_[k * C];
    for (size_t j = 0; j < C; ++j) s += hk[j];
    col_sum_[k] = s;
  }
  std::fill(row_sum_.begin(), row_sum_.end(), 0.0);
  for (size_t i = 0; i < R; ++i) {
    double *wi = &w_[i * K];
    const double *ai = &a_[i * K];
    const double xi = xi_[i];
    for (size_t k = 0; k < K; ++k) {
      wi[k] = table_.draw(rng_, ai[k]) / (xi + col_sum_[k]);
      row_sum_[k] += wi[k];
    }
  }

  // H given the tallies and W.
  if (!fixed_h_) {
    for (size_t k = 0; k < K; ++k) {
      double *hk = &h_[k * C];
      const double *bk = &b_[k * C];
      const double t = row_sum_[k];
      for (size_t j = 0; j < C; ++j) hk[j] = table_.draw(rng_, bk[j]) / (eta_[j] + t);
    }
  }

  // The rates given the factors.
  if (o_.rate == 0.0) {
    const GammaShape hyper(a0_ + static_cast<double>(K) * o_.shape);
    for (size_t i = 0; i < R; ++i) {
      double s = 0;
      for (size_t k = 0; k < K; ++k) s += w_[i * K + k];
      xi_[i] = gamma_draw(rng_, hyper) / (b0_ + s);
    }
    if (!fixed_h_) {
      std::vector<double> &sums = b_;  // free until the next sweep
      std::fill(sums.begin(), sums.begin() + static_cast<ptrdiff_t>(C), 0.0);
      for (size_t k = 0; k < K; ++k)
        for (size_t j = 0; j < C; ++j) sums[j] += h_[k * C + j];
      for (size_t j = 0; j < C; ++j) eta_[j] = gamma_draw(rng_, hyper) / (b0_ + sums[j]);
    }
  }

  ++done_;
  if (done_ > burn_in_) {
    ++kept_;
    for (size_t n = 0; n < w_.size(); ++n) w_sum_[n] += w_[n];
    if (!fixed_h_)
      for (size_t n = 0; n < h_.size(); ++n) h_sum_[n] += h_[n];
  }
}

double Sampler::log_likelihood() const { return sk_nmf::log_likelihood(x_, w_.data(), h_.data(), K_); }

std::vector<double> Sampler::w_mean() const {
  if (kept_ == 0) return w_;
  std::vector<double> m(w_sum_);
  for (double &v : m) v /= static_cast<double>(kept_);
  return m;
}

std::vector<double> Sampler::h_mean() const {
  if (kept_ == 0 || fixed_h_) return h_;
  std::vector<double> m(h_sum_);
  for (double &v : m) v /= static_cast<double>(kept_);
  return m;
}

double log_likelihood(const Csr &x, const double *w, const double *h, int32_t components, double scale) {
  const auto K = static_cast<size_t>(components);
  const auto C = static_cast<size_t>(x.cols);
  double sum = 0;
  for (int32_t i = 0; i < x.rows; ++i) {
    const double *wi = w + static_cast<size_t>(i) * K;
    for (int64_t n = x.offsets[static_cast<size_t>(i)]; n < x.offsets[static_cast<size_t>(i) + 1]; ++n) {
      const auto j = static_cast<size_t>(x.indices[static_cast<size_t>(n)]);
      double mu = 0;
      for (size_t k = 0; k < K; ++k) mu += wi[k] * h[k * C + j];
      const double c = x.values[static_cast<size_t>(n)];
      sum += c * std::log(scale * mu) - std::lgamma(c + 1.0);
    }
  }
  // Every cell's rate, zero cells included, through the factor sums.
  double rates = 0;
  for (size_t k = 0; k < K; ++k) {
    double wk = 0, hk = 0;
    for (size_t i = 0; i < static_cast<size_t>(x.rows); ++i) wk += w[i * K + k];
    for (size_t j = 0; j < C; ++j) hk += h[k * C + j];
    rates += wk * hk;
  }
  return sum - scale * rates;
}

int64_t binomial_draw(Rng &rng, int64_t n, double p) {
  // Knuth's order-statistic recursion: the a-th smallest of n uniforms is
  // Beta(a, n + 1 - a); which side of it p falls on halves n exactly.
  int64_t k = 0;
  while (n > 64 && p > 0 && p < 1) {
    const int64_t a = 1 + n / 2, b = n + 1 - a;
    const double g1 = gamma_draw(rng, static_cast<double>(a));
    const double g2 = gamma_draw(rng, static_cast<double>(b));
    const double beta = g1 / (g1 + g2);
    if (beta >= p) {
      n = a - 1;
      p = p / beta;
    } else {
      k += a;
      n = b - 1;
      p = (p - beta) / (1 - beta);
    }
  }
  if (p <= 0) return k;
  if (p >= 1) return k + n;
  for (int64_t l = 0; l < n; ++l) k += rng.uniform() < p;
  return k;
}

Split split_holdout(const Csr &x, double fraction, uint64_t seed) {
  Rng rng(seed ^ 0x5ca1ab1e0ddba11ULL);
  Split s;
  s.train.rows = s.test.rows = x.rows;
  s.train.cols = s.test.cols = x.cols;
  s.train.offsets.reserve(static_cast<size_t>(x.rows) + 1);
  s.test.offsets.reserve(static_cast<size_t>(x.rows) + 1);
  for (int32_t i = 0; i < x.rows; ++i) {
    for (int64_t n = x.offsets[static_cast<size_t>(i)]; n < x.offsets[static_cast<size_t>(i) + 1]; ++n) {
      const double c = x.values[static_cast<size_t>(n)];
      const auto held = static_cast<double>(binomial_draw(rng, static_cast<int64_t>(c), fraction));
      const int32_t j = x.indices[static_cast<size_t>(n)];
      if (c - held > 0) s.train.indices.push_back(j), s.train.values.push_back(c - held);
      if (held > 0) s.test.indices.push_back(j), s.test.values.push_back(held);
    }
    s.train.offsets.push_back(s.train.nnz());
    s.test.offsets.push_back(s.test.nnz());
  }
  return s;
}

FitResult fit(const Csr &x, const FitOptions &o, const double *fixed_h, const ProgressFn &progress) {
  Sampler sampler(x, o, fixed_h);
  FitResult r;
  for (int64_t s = 0; s < o.sweeps; ++s) {
    sampler.sweep();
    if (progress && !progress(sampler)) break;
  }
  r.w_mean = sampler.w_mean();
  r.h_mean = sampler.h_mean();
  r.sweeps_done = sampler.sweeps_done();
  return r;
}

}  // namespace sk_nmf
