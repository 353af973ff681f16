#include "model.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <cmath>
#include <cstdio>
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
// W is drawn in tasks of this many rows, each from its own stream; the
// allocation goes in blocks of 1 to 8 tasks (one task first), at least four
// blocks when there are rows enough, so that drawing overlaps allocating.
constexpr int32_t kTaskRows = 1024;
constexpr int32_t kMaxBlockTasks = 8;
// A second thread pays off only when a phase has this many draws (a few
// milliseconds); below it, starting and waking the thread costs more, above
// all on a busy machine.
constexpr double kThreadedDraws = 1 << 16;
constexpr size_t kColumnBlock = 512;

double mean_count(const Csr &x) {
  const double cells = static_cast<double>(x.rows) * static_cast<double>(x.cols);
  return std::max(x.total() / cells, 1e-12);
}

std::string shape_text(double rows, double cols) {
  char text[64];
  std::snprintf(text, sizeof text, "(%lld x %lld)", static_cast<long long>(rows), static_cast<long long>(cols));
  return text;
}

}  // namespace

Sampler::Sampler(const Csr &x, const FitOptions &o, const double *fixed_h, AllocationStep allocation)
    : x_(x), o_(o), allocation_(allocation), R_(x.rows), C_(x.cols), K_(o.components),
      burn_in_(o.effective_burn_in()), fixed_h_(fixed_h != nullptr),
      threads_(o.threads > 0 ? o.threads : std::min(2, std::max(1, static_cast<int>(std::thread::hardware_concurrency())))),
      rng_(o.seed), table_(o.shape, kShapeTable), hyper_(1.0 + o.components * o.shape) {
  check_options(o, x);
  const double R = R_, C = C_, K = K_;
  const std::string rk = shape_text(R, K), kc = shape_text(K, C);
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

  const auto tasks = static_cast<int32_t>((int64_t{R_} + kTaskRows - 1) / kTaskRows);
  const int32_t block_rows = kTaskRows * std::clamp((tasks + 3) / 4, 1, kMaxBlockTasks);
  // The first block is a single task: the other thread, which draws more
  // slowly than this one allocates, then idles for one task, not eight.
  for (int32_t r = 0; r < R_; r += std::min(r == 0 ? kTaskRows : block_rows, R_ - r)) row_block_start_.push_back(r);
  row_block_start_.push_back(R_);
  const size_t blocks = row_block_start_.size() - 1;
  block_offsets_.resize(blocks);
  for (size_t b = 0; b < blocks; ++b) {
    const auto begin = static_cast<size_t>(row_block_start_[b]), end = static_cast<size_t>(row_block_start_[b + 1]);
    const int64_t base = x.offsets[begin];
    block_offsets_[b].reserve(end - begin + 1);
    for (size_t i = begin; i <= end; ++i) block_offsets_[b].push_back(x.offsets[i] - base);
  }
  block_sums_.assign(static_cast<size_t>(tasks) * static_cast<size_t>(K_), 0.0);

  // Start near the data's scale: W H then averages the mean count per cell.
  const double scale = std::sqrt(mean_count(x) / K);
  if (o.rate == 0.0) {
    // The hyperprior's mean puts the prior mean of each factor at `scale`;
    // shape 1 keeps it weak.
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

namespace {

// The generator of one part of one sweep: its own stream, whatever thread
// draws it.  (sweep, part) fits in 55 bits (sweeps below 2^31, parts below
// 2^24: row tasks below 2^21, column blocks 2^23 + b with b below 2^22), so
// distinct parts get distinct seeds, mixed with the fit's seed.
Rng stream(uint64_t seed, int64_t sweep, uint64_t part) {
  uint64_t s = seed;
  uint64_t key = splitmix64(s) ^ ((static_cast<uint64_t>(sweep) << 24) | part);
  return Rng(splitmix64(key));
}

}  // namespace

// W, its running mean and the row rates for one task's rows, given the
// tallies and H; the task's column sums of W go to `sums_out`.  The
// generator lives in registers: only the draws off the inlined path (non-zero
// tallies, the rates) get a copy whose address escapes.  Each row's scales
// are computed first and its draws then taken in order, so the stream and
// every rounding are those of the plain loop.
void Sampler::draw_rows(int32_t task, double *sums_out) {
  const auto K = static_cast<size_t>(K_);
  Rng rng = stream(o_.seed, done_, static_cast<uint64_t>(task));
  const bool keep = done_ + 1 > burn_in_, learn = o_.rate == 0.0;
  std::vector<double> scratch(3 * K, 0.0);
  double *__restrict sums = scratch.data();
  double *__restrict scale = sums + K;
  double *__restrict g = scale + K;
  const double *__restrict col_sum = col_sum_.data();
  double *__restrict w_all = w_.data();
  double *__restrict a_all = a_.data();
  double *__restrict w_sum = w_sum_.data();
  double *__restrict xi_all = xi_.data();
  const double shape = o_.shape;
  const auto begin = static_cast<size_t>(task) * kTaskRows;
  const size_t end = std::min(begin + kTaskRows, static_cast<size_t>(R_));
  for (size_t i = begin; i < end; ++i) {
    double *__restrict wi = w_all + i * K;
    double *__restrict ai = a_all + i * K;
    const double xi = xi_all[i];
    for (size_t k = 0; k < K; ++k) scale[k] = 1.0 / (xi + col_sum[k]);
    table_.draw_each(rng, ai, K, g);
    if (keep) {
      double *__restrict wsi = w_sum + i * K;
      for (size_t k = 0; k < K; ++k) wsi[k] += (shape + ai[k]) * scale[k];
    }
    // The tallies are cleared for the next sweep while in cache, in a loop
    // with other work (on its own it becomes a memset call a row).
    double total = 0;
    for (size_t k = 0; k < K; ++k) {
      const double w = g[k] * scale[k];
      wi[k] = w;
      sums[k] += w;
      total += w;
      ai[k] = 0.0;
    }
    if (learn) {
      Rng escaped = rng;
      xi_all[i] = gamma_draw(escaped, hyper_) / (b0_ + total);
      rng = escaped;
    }
  }
  std::copy(sums, sums + K, sums_out);
}

// H, its running mean and the column rates for one block of columns; the
// generator kept in registers as for the rows.
void Sampler::draw_columns(int32_t block) {
  const auto K = static_cast<size_t>(K_), C = static_cast<size_t>(C_);
  Rng rng = stream(o_.seed, done_, (uint64_t{1} << 23) + static_cast<uint64_t>(block));
  const bool keep = done_ + 1 > burn_in_, learn = o_.rate == 0.0;
  const size_t begin = static_cast<size_t>(block) * kColumnBlock, end = std::min(C, begin + kColumnBlock);
  const size_t n = end - begin;
  double totals[kColumnBlock] = {};
  double scale[kColumnBlock], g[kColumnBlock];
  const double *__restrict eta = eta_.data() + begin;
  const double shape = o_.shape;
  for (size_t k = 0; k < K; ++k) {
    const double t = row_sum_[k];
    double *__restrict hk = h_.data() + k * C + begin;
    double *__restrict bk = b_.data() + k * C + begin;
    for (size_t j = 0; j < n; ++j) scale[j] = 1.0 / (eta[j] + t);
    table_.draw_each(rng, bk, n, g);
    for (size_t j = 0; j < n; ++j) {
      const double h = g[j] * scale[j];
      hk[j] = h;
      totals[j] += h;
    }
    if (keep) {
      double *__restrict hs = h_sum_.data() + k * C + begin;
      for (size_t j = 0; j < n; ++j) hs[j] += (shape + bk[j]) * scale[j];
    }
    for (size_t j = 0; j < n; ++j) bk[j] = 0.0;
  }
  if (learn) {
    Rng escaped = rng;
    for (size_t j = 0; j < n; ++j) eta_[begin + j] = gamma_draw(escaped, hyper_) / (b0_ + totals[j]);
  }
}

void Sampler::sweep() {
  const size_t C = static_cast<size_t>(C_), K = static_cast<size_t>(K_);
  const auto blocks = static_cast<int32_t>(row_block_start_.size() - 1);
  // The tallies are zero here: drawing W and H clears them as it reads
  // them (the column tallies only when H is drawn).
  if (fixed_h_) std::fill(b_.begin(), b_.end(), 0.0);
  for (size_t k = 0; k < K; ++k) {
    double s = 0;
    for (size_t j = 0; j < C; ++j) s += h_[k * C + j];
    col_sum_[k] = s;
  }

  // Allocation block by block on this thread (the rand() stream is one);
  // the W of each task whose rows are allocated on whichever thread claims it.
  const auto tasks = static_cast<int32_t>(block_sums_.size() / K);
  std::atomic<int32_t> allocated{0}, claimed{0};  // rows, tasks
  std::atomic<bool> failed{false};
  auto draw_allocated_rows = [&]() {
    for (int32_t t; (t = claimed.fetch_add(1)) < tasks;) {
      const auto needed = static_cast<int32_t>(std::min<int64_t>(R_, (int64_t{t} + 1) * kTaskRows));
      for (int32_t a; (a = allocated.load(std::memory_order_acquire)) < needed;) allocated.wait(a);
      if (failed.load()) return;
      draw_rows(t, &block_sums_[static_cast<size_t>(t) * K]);
    }
  };
  std::thread helper;
  if (threads_ > 1 && tasks > 1 && static_cast<double>(R_) * K_ >= kThreadedDraws)
    helper = std::thread(draw_allocated_rows);
  try {
    for (int32_t b = 0; b < blocks; ++b) {
      const auto begin = static_cast<size_t>(row_block_start_[static_cast<size_t>(b)]);
      const CsrView view{block_offsets_[static_cast<size_t>(b)].data(),
                         x_.indices.data() + x_.offsets[begin], x_.values.data() + x_.offsets[begin],
                         row_block_start_[static_cast<size_t>(b) + 1] - row_block_start_[static_cast<size_t>(b)], C_};
      allocation_(view, &w_[begin * K], h_.data(), &a_[begin * K], b_.data(), K_);
      allocated.store(row_block_start_[static_cast<size_t>(b) + 1], std::memory_order_release);
      allocated.notify_all();
    }
  } catch (...) {  // release the helper before the error leaves
    failed.store(true);
    allocated.store(R_, std::memory_order_release);
    allocated.notify_all();
    if (helper.joinable()) helper.join();
    throw;
  }
  draw_allocated_rows();
  if (helper.joinable()) helper.join();
  std::fill(row_sum_.begin(), row_sum_.end(), 0.0);
  for (int32_t t = 0; t < tasks; ++t)  // in task order: the same sum on any thread count
    for (size_t k = 0; k < K; ++k) row_sum_[k] += block_sums_[static_cast<size_t>(t) * K + k];

  if (!fixed_h_) {
    const auto column_blocks = static_cast<int32_t>((C + kColumnBlock - 1) / kColumnBlock);
    std::atomic<int32_t> next{0};
    auto draw_claimed_columns = [&]() {
      for (int32_t b; (b = next.fetch_add(1)) < column_blocks;) draw_columns(b);
    };
    if (threads_ > 1 && column_blocks > 1 && static_cast<double>(C_) * K_ >= kThreadedDraws)
      helper = std::thread(draw_claimed_columns);
    draw_claimed_columns();
    if (helper.joinable()) helper.join();
  }

  ++done_;
  if (done_ > burn_in_) ++kept_;
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
