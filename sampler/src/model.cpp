#include "model.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "errors.h"
#include "gamma.h"
#include "worker_processes.h"

namespace sk_nmf {

int64_t FitOptions::most_sweeps() const { return auto_sweeps ? kAutoMostSweeps : sweeps; }

void check_options(const FitOptions &o, const Csr &x) {
  if (o.components < 1) throw Error("the number of components must be at least 1");
  if (o.auto_sweeps) {
    // The stop is twice the burn-in at least, and at most the cap.
    if (o.burn_in > kAutoMostSweeps / 2) {
      throw Error("the burn-in (" + std::to_string(o.burn_in) + ") must be at most " +
                  std::to_string(kAutoMostSweeps / 2) + " with an automatic number of sweeps, which stops by sweep " +
                  std::to_string(kAutoMostSweeps) + " and keeps at least as many sweeps as it burns in");
    }
  } else if (o.sweeps < 1 || o.sweeps > kMostSweeps) {
    throw Error("the number of sweeps must be from 1 to " + std::to_string(kMostSweeps));
  } else if (o.burn_in >= o.sweeps) {
    throw Error("the burn-in (" + std::to_string(o.burn_in) + ") must be below the number of sweeps (" +
                std::to_string(o.sweeps) + ")");
  }
  const auto in_range = [](double v) { return v >= kLeastPrior && v <= kMostPrior; };
  if (!in_range(o.shape)) throw Error("the prior shape must be a number from 1e-10 to 1e10");
  if (o.rate != 0.0 && !in_range(o.rate))
    throw Error("the prior rate must be a number from 1e-10 to 1e10 (or 0 to learn it)");
  if (o.background && !in_range(o.background_shape))
    throw Error("the background's prior shape must be a number from 1e-10 to 1e10");
  if (x.rows < 1 || x.cols < 1) throw Error("the count matrix has no rows or no columns");
}

namespace {

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

std::string shape_text(double rows, double cols) {
  char text[64];
  std::snprintf(text, sizeof text, "(%lld x %lld)", static_cast<long long>(rows), static_cast<long long>(cols));
  return text;
}

// log(c!) for whole c, from a table for the small counts most cells hold.
double log_factorial_sum(const Csr &x) {
  static const auto table = [] {
    std::vector<double> t(4096);
    for (size_t c = 0; c < t.size(); ++c) t[c] = std::lgamma(static_cast<double>(c) + 1.0);
    return t;
  }();
  double sum = 0;
  for (const double c : x.values) sum += c < 4096 ? table[static_cast<size_t>(c)] : std::lgamma(c + 1.0);
  return sum;
}

}  // namespace

FitSettings plan_fit(int32_t rows, int32_t cols, int64_t nnz, double total, const FitOptions &o, bool fixed_h) {
  FitSettings s;
  const Decomposition d = decompose(rows, cols, nnz);
  s.rows = rows;
  s.cols = cols;
  s.components = o.factors();
  s.background = o.background ? 1 : 0;
  s.background_shape = o.background_shape;
  s.block_rows = d.block_rows;
  s.fixed_h = fixed_h;
  s.nnz = nnz;
  // An automatic fit's workers sum every sweep; the sums are cleared when
  // the burn-in turns out to end.
  s.burn_in = std::max<int64_t>(o.effective_burn_in(), 0);
  s.measure = o.auto_sweeps ? static_cast<int32_t>(kAutoMeasureEvery) : 0;
  s.shape = o.shape;
  s.rate = o.rate;
  s.seed = o.seed;
  // Start near the data's scale: W H then averages the mean count per cell.
  const double mean = std::max(total / (static_cast<double>(rows) * static_cast<double>(cols)), 1e-12);
  s.start_scale = std::sqrt(mean / o.factors());
  s.start_rate = o.rate;
  if (o.rate == 0.0) {
    // The hyperprior's mean puts the prior mean of each factor at the
    // starting scale; shape 1 keeps it weak.
    s.a0 = 1.0;
    s.b0 = s.a0 * s.start_scale / o.shape;
    s.start_rate = o.shape / s.start_scale;
  }
  return s;
}

std::string FitMemory::text() const {
  return byte_size(total()) + " (" + (counts > 0 ? "the row offsets " + byte_size(counts) + ", " : "") +
         "factors, tallies and sums " + byte_size(arena) + ", the allocation step's working copies " +
         byte_size(working_copies) + " on " + std::to_string(processes) + (processes == 1 ? " process)" : " processes)");
}

FitMemory fit_memory(const FitSettings &s) {
  FitMemory m;
  m.processes = s.workers;
  m.arena = static_cast<double>(FitArena::bytes(s));
  m.working_copies = s.workers * static_cast<double>(s.components) * static_cast<double>(s.cols) * kCsrWorkingBytesPerEntry;
  return m;
}

namespace {

// The settings of a fit on as many processes as asked for, the blocks allow
// and memory holds.
FitSettings planned(const Csr &x, const FitOptions &o, bool fixed_h, bool own_allocation, double counts = 0) {
  FitSettings s = plan_fit(x.rows, x.cols, x.nnz(), x.total(), o, fixed_h);
  // More workers than row blocks would idle; a test's own allocation step
  // runs only here.
  const int jobs = o.jobs > 0 ? o.jobs : available_cores();
  s.workers = own_allocation ? 1 : std::clamp(jobs, 1, std::max(s.decomposition().blocks(), 1));
  if (s.workers > 1 && o.jobs == 0 && !std::getenv("SK_NMF_WORKER")) {
    // Not asked for by number: without the worker program, one process
    // gives the same fit.
    try {
      worker_program();
    } catch (const RunError &) {
      s.workers = 1;
    }
  }
  const double available = static_cast<double>(available_memory());
  const auto need_of = [&] {
    FitMemory m = fit_memory(s);
    m.counts = counts;
    return m;
  };
  while (s.workers > 1 && need_of().total() > available) --s.workers;  // the same fit on fewer
  const FitMemory need = need_of();
  if (need.total() > available) {
    throw Error("out of memory: the fit of " + shape_text(x.rows, x.cols) + " counts with " +
                std::to_string(s.components) + " factors needs " + need.text() + ", more than the " +
                byte_size(available) + " this process can have");
  }
  return s;
}

}  // namespace

FitMemory plan_memory(const Csr &x, const FitOptions &o) {
  check_options(o, x);
  return fit_memory(planned(x, o, false, false));
}

FitMemory plan_memory(int64_t rows, int64_t cols, const FitOptions &o) {
  Csr shape;  // no entries: only the shape counts
  shape.rows = static_cast<int32_t>(rows);
  shape.cols = static_cast<int32_t>(cols);
  check_options(o, shape);
  const double offsets = (static_cast<double>(rows) + 1) * sizeof(int64_t);
  FitMemory m = fit_memory(planned(shape, o, false, false, offsets));
  m.counts = offsets;
  return m;
}

Sampler::Sampler(const Csr &x, const FitOptions &o, const double *fixed_h, AllocationStep allocation)
    : x_(x), o_(o), burn_in_(o.effective_burn_in()), fixed_h_(fixed_h != nullptr) {
  check_options(o, x);
  if (o.auto_sweeps && fixed_h_)
    throw Error("an automatic number of sweeps watches H, so it needs H sampled: give a number of sweeps");
  if (burn_in_ < 0) burn_in_ = kMostSweeps;  // until the measure levels off
  stop_ = o.most_sweeps();
  total_ = std::max(x.total(), 1.0);
  if (allocation == allocate_csr) check_rand_streams();
  settings_ = planned(x, o, fixed_h_, allocation != allocate_csr);
  d_ = settings_.decomposition();
  const size_t bytes = FitArena::bytes(settings_);
  try {
    arena_memory_ = shared_allocate(bytes, true);
  } catch (const std::bad_alloc &) {
    out_of_memory(static_cast<double>(bytes), "the fit's factors, tallies and sums " +
                  shape_text(x.rows, o.factors()) + " and " + shape_text(o.factors(), x.cols));
  }
  f_ = FitArena(arena_memory_, settings_);
  const auto R = static_cast<size_t>(x.rows), C = static_cast<size_t>(x.cols), K = static_cast<size_t>(o.factors());
  for (int32_t b = 0; b < d_.blocks(); ++b) {
    const int64_t base = x.offsets[static_cast<size_t>(d_.block_begin(b))];
    for (int32_t i = d_.block_begin(b); i <= d_.block_end(b); ++i)
      f_.block_offsets[static_cast<size_t>(i + b)] = x.offsets[static_cast<size_t>(i)] - base;
  }
  std::fill_n(f_.xi, R, settings_.start_rate);
  std::fill_n(f_.eta, C, settings_.start_rate);
  local_ = std::make_unique<SweepWorker>(settings_, f_, Counts{x.offsets.data(), x.indices.data(), x.values.data()},
                                         0, allocation);
  for (int32_t t = 0; t < d_.tasks(); ++t) local_->start_rows(t, settings_.start_scale);
  if (fixed_h_) {
    std::copy(fixed_h, fixed_h + K * C, f_.h);
  } else {
    for (int32_t b = 0; b < d_.column_blocks(); ++b) local_->start_columns(b, settings_.start_scale);
  }
  if (settings_.workers > 1) {
    const SharedRegion regions[kRegions] = {shared_region(arena_memory_), shared_region(x.offsets.data()),
                                            shared_region(x.indices.data()), shared_region(x.values.data())};
    remote_ = std::make_unique<WorkerProcesses>(settings_.workers - 1, settings_, regions);
    // Those that could not start leave their tallies at zero: the same fit.
    shortfall_ = remote_->shortfall();
    if (remote_->count() == 0) remote_.reset();
  }
}

int32_t Sampler::workers() const { return 1 + (remote_ ? remote_->count() : 0); }

void check_finite(const double *sums, size_t n, const char *what, int64_t sweep) {
  for (size_t k = 0; k < n; ++k) {
    if (!std::isfinite(sums[k])) {
      throw RunError("the fit turned non-finite in sweep " + std::to_string(sweep) + ": the sum of " + what + " " +
                     std::to_string(k + 1) + " is " + std::to_string(sums[k]));
    }
  }
}

Sampler::~Sampler() {
  remote_.reset();  // the workers stop before their memory goes
  shared_free(arena_memory_);
}

double Sampler::run_phase(Phase phase) const {
  if (failed_) throw Error("the fit cannot go on after an error in one of its sweeps");
  f_.claim_counter(phase) = 0;
  try {
    if (remote_) remote_->start(phase, done_);
    local_->run(phase, done_);
    const auto own_share_done = std::chrono::steady_clock::now();
    if (remote_) remote_->finish();
    return seconds_since(own_share_done);
  } catch (...) {
    failed_ = true;
    if (remote_) {
      try {
        remote_->finish();
      } catch (...) {  // the first error is the one to report
      }
    }
    throw;
  }
}

void Sampler::sweep() {
  const size_t C = static_cast<size_t>(x_.cols), K = static_cast<size_t>(settings_.components);
  auto t = std::chrono::steady_clock::now();
  // The tallies are zero here: drawing W and H clears them as it reads
  // them (with H fixed, each worker clears its column tallies).
  for (size_t k = 0; k < K; ++k) {
    double s = 0;
    for (size_t j = 0; j < C; ++j) s += f_.h[k * C + j];
    f_.col_sum[k] = s;
  }
  check_finite(f_.col_sum, K, "H's row", done_);
  times_.sums += seconds_since(t);
  t = std::chrono::steady_clock::now();
  times_.waiting += run_phase(Phase::rows);
  times_.rows += seconds_since(t);
  t = std::chrono::steady_clock::now();
  std::fill_n(f_.row_sum, K, 0.0);
  for (int32_t task = 0; task < d_.tasks(); ++task)  // in task order: the same sum on any number of workers
    for (size_t k = 0; k < K; ++k) f_.row_sum[k] += f_.task_sums[static_cast<size_t>(task) * K + k];
  check_finite(f_.row_sum, K, "W's column", done_ + 1);
  times_.sums += seconds_since(t);
  if (!fixed_h_) {
    t = std::chrono::steady_clock::now();
    times_.waiting += run_phase(Phase::columns);
    times_.columns += seconds_since(t);
  }
  ++times_.sweeps;
  ++done_;
  if (done_ > burn_in_) ++kept_;
  if (o_.auto_sweeps) watch_measure();
}

bool StoppingRule::observe(int64_t done, const double *column_measure, int32_t column_blocks,
                           const double *task_measure, int32_t tasks, double total) {
  if (done % kAutoMeasureEvery != 0) return false;
  double sum = 0;
  for (int32_t b = 0; b < column_blocks; ++b) sum += column_measure[b];
  for (int32_t t = 0; t < tasks; ++t) sum += task_measure[t];
  measure = sum / total;
  if (levelled >= 0) return false;
  window_sum += measure;
  if (done % kAutoWindow != 0) return false;
  const double mean = window_sum / static_cast<double>(kAutoWindow / kAutoMeasureEvery);
  window_sum = 0;
  const bool level = done >= kAutoLeastBurnIn && mean - last_window < kAutoGain;  // false after no window
  last_window = mean;
  if (!level && done < kAutoMostSweeps / 2) return false;
  levelled = done;
  return true;
}

void Sampler::watch_measure() {
  if (!rule_.observe(done_, f_.column_measure, d_.column_blocks(), f_.task_measure, d_.tasks(), total_)) return;
  levelled_off_at(done_);
  if (o_.burn_in < 0) {
    // The sweeps so far were burn-in: the means start afresh, as a fit
    // with this burn-in would have started them.
    kept_ = 0;
    std::fill_n(f_.w_sum, static_cast<size_t>(x_.rows) * static_cast<size_t>(settings_.components), 0.0);
    std::fill_n(f_.h_sum, static_cast<size_t>(settings_.components) * static_cast<size_t>(x_.cols), 0.0);
  }
}

void Sampler::levelled_off_at(int64_t sweep) {
  rule_.levelled = sweep;
  burn_in_ = rule_.burn_in(o_.burn_in);
  stop_ = rule_.stop(o_.burn_in);
}

double Sampler::log_likelihood() const {
  if (!have_log_factorials_) {
    log_factorials_ = log_factorial_sum(x_);
    have_log_factorials_ = true;
  }
  run_phase(Phase::likelihood);
  double sum = 0;
  for (int32_t b = 0; b < d_.blocks(); ++b) sum += f_.block_loglik[b];
  // Every cell's rate, zero cells included, through the factor sums.
  const auto R = static_cast<size_t>(x_.rows), C = static_cast<size_t>(x_.cols), K = static_cast<size_t>(settings_.components);
  double rates = 0;
  for (size_t k = 0; k < K; ++k) {
    double wk = 0, hk = 0;
    for (size_t i = 0; i < R; ++i) wk += f_.w[i * K + k];
    for (size_t j = 0; j < C; ++j) hk += f_.h[k * C + j];
    rates += wk * hk;
  }
  return sum - log_factorials_ - rates;
}

double Sampler::log_likelihood_of_means() {
  const std::vector<double> w = w_mean(), h = h_mean();
  std::copy(w.begin(), w.end(), f_.w);
  std::copy(h.begin(), h.end(), f_.h);
  return log_likelihood();
}

std::vector<double> Sampler::w() const {
  return std::vector<double>(f_.w, f_.w + static_cast<size_t>(x_.rows) * static_cast<size_t>(settings_.components));
}

std::vector<double> Sampler::h() const {
  return std::vector<double>(f_.h, f_.h + static_cast<size_t>(settings_.components) * static_cast<size_t>(x_.cols));
}

std::vector<double> Sampler::w_mean() const {
  if (kept_ == 0) return w();
  std::vector<double> m(f_.w_sum, f_.w_sum + static_cast<size_t>(x_.rows) * static_cast<size_t>(settings_.components));
  for (double &v : m) v /= static_cast<double>(kept_);
  return m;
}

std::vector<double> Sampler::h_mean() const {
  if (kept_ == 0 || fixed_h_) return h();
  std::vector<double> m(f_.h_sum, f_.h_sum + static_cast<size_t>(settings_.components) * static_cast<size_t>(x_.cols));
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

FitResult fit(const Csr &x, const FitOptions &o, const double *fixed_h, const ProgressFn &progress,
              const Checkpointing &checkpoints) {
  Sampler sampler(x, o, fixed_h);
  FitResult r;
  const bool saving = !checkpoints.path.empty();
  if (saving && checkpoints.resume && ::access(checkpoints.path.c_str(), F_OK) == 0) {
    sampler.restore(checkpoints.path);
    r.resumed_from = sampler.sweeps_done();
  }
  bool stopped = false;
  int64_t saved = r.resumed_from;
  try {
    while (sampler.sweeps_done() < sampler.planned_sweeps() && !stopped) {
      sampler.sweep();
      stopped = progress && !progress(sampler);
      if (saving && (stopped || sampler.sweeps_done() == sampler.planned_sweeps() ||
                     sampler.sweeps_done() % std::max<int64_t>(checkpoints.every, 1) == 0)) {
        sampler.save(checkpoints.path);
        saved = sampler.sweeps_done();
      }
    }
  } catch (const RunError &e) {
    if (saved < 0) throw;
    throw RunError(std::string(e.what()) + "; the checkpoint " + checkpoints.path + " holds sweep " +
                   std::to_string(saved) + " to resume from");
  }
  r.w_mean = sampler.w_mean();
  r.h_mean = sampler.h_mean();
  r.sweeps_done = sampler.sweeps_done();
  r.burn_in = std::min(sampler.burn_in(), r.sweeps_done);
  r.workers = sampler.workers();
  r.shortfall = sampler.shortfall();
  r.row_blocks = sampler.row_blocks();
  r.factors = sampler.factors();
  r.times = sampler.times();
  for (const std::vector<double> *m : {&r.w_mean, &r.h_mean})
    for (const double v : *m)
      if (!std::isfinite(v)) throw RunError("the fit's posterior means are not finite (one is " + std::to_string(v) + ")");
  r.loglik_of_means = sampler.log_likelihood_of_means();
  if (!std::isfinite(r.loglik_of_means)) {
    throw RunError("the log-likelihood of the fit's posterior means is " + std::to_string(r.loglik_of_means) +
                   " (a count where the fitted rate is 0, or a rate beyond the largest double)");
  }
  return r;
}

}  // namespace sk_nmf
