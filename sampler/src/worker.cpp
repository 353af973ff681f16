#include "worker.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

namespace sk_nmf {
namespace {

constexpr int kShapeTable = 256;

size_t aligned(size_t bytes) { return (bytes + 63) / 64 * 64; }

}  // namespace

size_t FitArena::bytes(const FitSettings &s) {
  const size_t R = static_cast<size_t>(s.rows_here()), C = static_cast<size_t>(s.cols), K = static_cast<size_t>(s.components);
  const size_t blocks = static_cast<size_t>(s.blocks_here()), tasks = static_cast<size_t>(s.tasks_here());
  return aligned(kPhases * kClaimStride * sizeof(int32_t)) + aligned((R + blocks) * sizeof(int64_t)) +
         3 * aligned(R * K * sizeof(double)) + aligned(R * sizeof(double)) + 2 * aligned(K * C * sizeof(double)) +
         aligned(C * sizeof(double)) + aligned(static_cast<size_t>(s.workers) * K * C * sizeof(double)) +
         2 * aligned(K * sizeof(double)) + aligned(tasks * K * sizeof(double)) + aligned(blocks * sizeof(double)) +
         aligned(static_cast<size_t>(s.decomposition().column_blocks()) * sizeof(double)) +
         aligned(tasks * sizeof(double));
}

FitArena::FitArena(void *base, const FitSettings &s) {
  const size_t R = static_cast<size_t>(s.rows_here()), C = static_cast<size_t>(s.cols), K = static_cast<size_t>(s.components);
  const size_t blocks = static_cast<size_t>(s.blocks_here()), tasks = static_cast<size_t>(s.tasks_here());
  auto *p = static_cast<unsigned char *>(base);
  auto take = [&p](size_t bytes) {
    void *at = p;
    p += aligned(bytes);
    return at;
  };
  claims = static_cast<int32_t *>(take(kPhases * kClaimStride * sizeof(int32_t)));
  block_offsets = static_cast<int64_t *>(take((R + blocks) * sizeof(int64_t)));
  w = static_cast<double *>(take(R * K * sizeof(double)));
  a = static_cast<double *>(take(R * K * sizeof(double)));
  w_sum = static_cast<double *>(take(R * K * sizeof(double)));
  xi = static_cast<double *>(take(R * sizeof(double)));
  h = static_cast<double *>(take(K * C * sizeof(double)));
  h_sum = static_cast<double *>(take(K * C * sizeof(double)));
  eta = static_cast<double *>(take(C * sizeof(double)));
  tallies = static_cast<double *>(take(static_cast<size_t>(s.workers) * K * C * sizeof(double)));
  col_sum = static_cast<double *>(take(K * sizeof(double)));
  row_sum = static_cast<double *>(take(K * sizeof(double)));
  task_sums = static_cast<double *>(take(tasks * K * sizeof(double)));
  block_loglik = static_cast<double *>(take(blocks * sizeof(double)));
  column_measure = static_cast<double *>(take(static_cast<size_t>(s.decomposition().column_blocks()) * sizeof(double)));
  task_measure = static_cast<double *>(take(tasks * sizeof(double)));
}

SweepWorker::SweepWorker(const FitSettings &s, const FitArena &arena, const Counts &x, int32_t worker,
                         AllocationStep allocation)
    : s_(s), f_(arena), x_(x), d_(s.decomposition()), row0_(s.first_row()), task0_(s.first_task()), worker_(worker),
      allocation_(allocation),
      table_(s.shape, kShapeTable), background_table_(s.background ? s.background_shape : s.shape, s.background ? kShapeTable : 1),
      prior_(static_cast<size_t>(s.components), s.shape),
      hyper_(1.0 + (s.components - s.background) * s.shape + s.background * s.background_shape) {
  if (s.background) prior_.back() = s.background_shape;
}

int32_t SweepWorker::claim(Phase phase) {
  std::atomic_ref<int32_t> next(f_.claim_counter(phase));
  return next.fetch_add(1, std::memory_order_acq_rel);
}

void SweepWorker::run(Phase phase, int64_t sweep) {
  const size_t KC = static_cast<size_t>(s_.components) * static_cast<size_t>(s_.cols);
  switch (phase) {
    case Phase::rows: {
      // With H fixed no column phase clears the tallies: each worker clears its own.
      if (s_.fixed_h) std::fill_n(f_.tallies + static_cast<size_t>(worker_) * KC, KC, 0.0);
      RandStreamScope scope;
      for (int32_t b; (b = claim(phase)) < s_.blocks_here();) {
        scope.install(allocation_stream(s_.seed, sweep, s_.first_block + b));
        allocate_block(s_.first_block + b, sweep);
      }
      break;
    }
    case Phase::columns:
      for (int32_t b; (b = claim(phase)) < d_.column_blocks();) draw_columns(b, sweep);
      break;
    case Phase::likelihood:
      for (int32_t b; (b = claim(phase)) < s_.blocks_here();) f_.block_loglik[b] = block_loglik(s_.first_block + b);
      break;
  }
}

void SweepWorker::allocate_block(int32_t block, int64_t sweep) {
  const auto K = static_cast<size_t>(s_.components);
  const int32_t begin = d_.block_begin(block), end = d_.block_end(block);
  const auto row = static_cast<size_t>(begin - row0_);  // in the arena
  const int64_t base = x_.offsets[row];
  const CsrView view{f_.block_offsets + row + static_cast<size_t>(block - s_.first_block), x_.indices + base,
                     x_.values + base, end - begin, s_.cols};
  const size_t KC = K * static_cast<size_t>(s_.cols);
  allocation_(view, f_.w + row * K, f_.h, f_.a + row * K, f_.tallies + static_cast<size_t>(worker_) * KC,
              s_.components);
  for (int32_t t = begin / kTaskRows; t < (end + kTaskRows - 1) / kTaskRows; ++t) draw_rows(t, sweep);
}

// W, its running mean and the row rates for one task's rows, given the
// tallies and H; the task's column sums of W go to task_sums.  The
// generator lives in registers: only the draws off the inlined path (non-zero
// tallies, the rates) get a copy whose address escapes.  Each row's scales
// are computed first and its draws then taken in order, so the stream and
// every rounding are those of the plain loop.
void SweepWorker::draw_rows(int32_t task, int64_t sweep) {
  const auto K = static_cast<size_t>(s_.components);
  Rng rng = part_stream(s_.seed, sweep, static_cast<uint64_t>(task));
  const bool keep = sweep + 1 > s_.burn_in, learn = s_.rate == 0.0;
  const bool measuring = s_.measure > 0 && (sweep + 1) % s_.measure == 0;
  std::vector<double> scratch(3 * K, 0.0);
  double *__restrict sums = scratch.data();
  double *__restrict scale = sums + K;
  double *__restrict g = scale + K;
  const double *__restrict col_sum = f_.col_sum;
  double *__restrict w_all = f_.w;
  double *__restrict a_all = f_.a;
  double *__restrict w_sum = f_.w_sum;
  double *__restrict xi_all = f_.xi;
  const double b0 = s_.b0;
  const double *__restrict prior = prior_.data();
  const size_t topics = K - static_cast<size_t>(s_.background);
  const auto begin = static_cast<size_t>(task) * kTaskRows - static_cast<size_t>(row0_);
  const size_t end = std::min(begin + kTaskRows, static_cast<size_t>(s_.rows - row0_));
  double measure = 0;
  for (size_t i = begin; i < end; ++i) {
    double *__restrict wi = w_all + i * K;
    double *__restrict ai = a_all + i * K;
    const double xi = xi_all[i];
    if (measuring) {
      // Before W is drawn anew: the W these tallies were split under.
      double rate = 0;
      for (size_t k = 0; k < K; ++k) rate += wi[k] * col_sum[k];
      const double log_rate = std::log(rate);
      for (size_t k = 0; k < K; ++k)
        if (ai[k] > 0) measure += ai[k] * (std::log(wi[k] * col_sum[k]) - log_rate);
    }
    for (size_t k = 0; k < K; ++k) scale[k] = 1.0 / (xi + col_sum[k]);
    table_.draw_each(rng, ai, topics, g);
    if (topics < K) background_table_.draw_each(rng, ai + topics, 1, g + topics);
    if (keep) {
      double *__restrict wsi = w_sum + i * K;
      for (size_t k = 0; k < K; ++k) wsi[k] += (prior[k] + ai[k]) * scale[k];
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
      xi_all[i] = gamma_draw(escaped, hyper_) / (b0 + total);
      rng = escaped;
    }
  }
  std::copy(sums, sums + K, f_.task_sums + static_cast<size_t>(task - task0_) * K);
  if (measuring) f_.task_measure[task - task0_] = measure;
}

void SweepWorker::start_rows(int32_t task, double scale) {
  const auto K = static_cast<size_t>(s_.components);
  Rng rng = part_stream(s_.seed, kStartSweep, static_cast<uint64_t>(task));
  const GammaShape one(1.0);
  const auto begin = static_cast<size_t>(task) * kTaskRows - static_cast<size_t>(row0_);
  const size_t end = std::min(begin + kTaskRows, static_cast<size_t>(s_.rows - row0_));
  for (size_t n = begin * K; n < end * K; ++n) f_.w[n] = scale * gamma_draw(rng, one);
}

void SweepWorker::start_columns(int32_t block, double scale) {
  const auto K = static_cast<size_t>(s_.components), C = static_cast<size_t>(s_.cols);
  Rng rng = part_stream(s_.seed, kStartSweep, column_part(block));
  const GammaShape one(1.0);
  const size_t begin = static_cast<size_t>(block) * kColumnBlock, end = std::min(C, begin + kColumnBlock);
  for (size_t k = 0; k < K; ++k)
    for (size_t j = begin; j < end; ++j) f_.h[k * C + j] = scale * gamma_draw(rng, one);
}

// H, its running mean and the column rates for one block of columns, from
// the tallies of every worker (whole numbers, so their sum is exact in any
// order); the generator kept in registers as for the rows.
void SweepWorker::draw_columns(int32_t block, int64_t sweep) {
  const auto K = static_cast<size_t>(s_.components), C = static_cast<size_t>(s_.cols);
  Rng rng = part_stream(s_.seed, sweep, column_part(block));
  const bool keep = sweep + 1 > s_.burn_in, learn = s_.rate == 0.0;
  const bool measuring = s_.measure > 0 && (sweep + 1) % s_.measure == 0;
  const size_t begin = static_cast<size_t>(block) * kColumnBlock, end = std::min(C, begin + kColumnBlock);
  const size_t n = end - begin;
  double totals[kColumnBlock] = {};
  double scale[kColumnBlock], g[kColumnBlock];
  const double *__restrict eta = f_.eta + begin;
  double measure = 0;
  for (size_t k = 0; k < K; ++k) {
    const double shape = prior_[k];
    const GammaShapeTable &table = s_.background && k + 1 == K ? background_table_ : table_;
    const double t = f_.row_sum[k];
    double *__restrict hk = f_.h + k * C + begin;
    double *__restrict bk = f_.tallies + k * C + begin;
    for (int32_t w = 1; w < s_.workers; ++w) {
      double *__restrict other = f_.tallies + static_cast<size_t>(w) * K * C + k * C + begin;
      for (size_t j = 0; j < n; ++j) bk[j] += other[j], other[j] = 0.0;
    }
    for (size_t j = 0; j < n; ++j) scale[j] = 1.0 / (eta[j] + t);
    if (measuring) {
      // Before H is drawn anew: the H these tallies were split under.
      const double log_sum = std::log(f_.col_sum[k]);
      for (size_t j = 0; j < n; ++j)
        if (bk[j] > 0) measure += bk[j] * (std::log(hk[j]) - log_sum);
    }
    table.draw_each(rng, bk, n, g);
    for (size_t j = 0; j < n; ++j) {
      const double h = g[j] * scale[j];
      hk[j] = h;
      totals[j] += h;
    }
    if (keep) {
      double *__restrict hs = f_.h_sum + k * C + begin;
      for (size_t j = 0; j < n; ++j) hs[j] += (shape + bk[j]) * scale[j];
    }
    for (size_t j = 0; j < n; ++j) bk[j] = 0.0;
  }
  if (measuring) f_.column_measure[block] = measure;
  if (learn) {
    Rng escaped = rng;
    for (size_t j = 0; j < n; ++j) f_.eta[begin + j] = gamma_draw(escaped, hyper_) / (s_.b0 + totals[j]);
  }
}

double SweepWorker::block_loglik(int32_t block) const {
  const auto K = static_cast<size_t>(s_.components), C = static_cast<size_t>(s_.cols);
  double sum = 0;
  for (int32_t i = d_.block_begin(block) - row0_; i < d_.block_end(block) - row0_; ++i) {
    const double *wi = f_.w + static_cast<size_t>(i) * K;
    for (int64_t n = x_.offsets[i]; n < x_.offsets[i + 1]; ++n) {
      const auto j = static_cast<size_t>(x_.indices[n]);
      double mu = 0;
      for (size_t k = 0; k < K; ++k) mu += wi[k] * f_.h[k * C + j];
      sum += x_.values[n] * std::log(mu);
    }
  }
  return sum;
}

}  // namespace sk_nmf
