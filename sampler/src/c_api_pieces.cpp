// The pieces of a fit through the C ABI (sampling_kernels_nmf.h): the same
// SweepWorker that a fit on one machine runs, on arenas made of the
// caller's arrays, holding only the caller's blocks.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "errors.h"
#include "model.h"
#include "sampling_kernels_nmf.h"

namespace {

using sk_nmf::Error;
using sk_nmf::RunError;

template <class F>
int32_t guarded(char *error, size_t size, F body) {
  try {
    body();
    return SK_NMF_OK;
  } catch (const RunError &e) {
    if (error && size) std::snprintf(error, size, "%s", e.what());
    return SK_NMF_RUN_FAILED;
  } catch (const Error &e) {
    if (error && size) std::snprintf(error, size, "%s", e.what());
    return std::strncmp(e.what(), "out of memory", 13) == 0 ? SK_NMF_NO_MEMORY : SK_NMF_BAD_INPUT;
  } catch (const std::bad_alloc &) {
    if (error && size) std::snprintf(error, size, "out of memory");
    return SK_NMF_NO_MEMORY;
  } catch (const std::exception &e) {
    if (error && size) std::snprintf(error, size, "%s", e.what());
    return SK_NMF_BAD_INPUT;
  }
}

sk_nmf::FitOptions options_of(const SK_NMF_Plan &p) {
  sk_nmf::FitOptions o;
  o.components = p.n_components;
  o.auto_sweeps = p.n_sweeps == SK_NMF_AUTO_SWEEPS;
  o.sweeps = o.auto_sweeps ? 0 : p.n_sweeps;
  o.burn_in = p.burn_in < 0 ? -1 : p.burn_in;
  o.shape = p.shape;
  o.rate = p.rate;
  o.seed = p.seed;
  o.background = p.background != 0;
  if (p.background_shape != 0) o.background_shape = p.background_shape;
  return o;
}

void check_plan(const SK_NMF_Plan *p) {
  if (!p) throw Error("plan is NULL");
  if (p->n_rows < 1 || p->n_cols < 1) throw Error("the count matrix must have at least one row and one column");
  if (p->nnz < 0 || !(p->total >= 0) || !std::isfinite(p->total)) throw Error("nnz or total is not valid");
  sk_nmf::Csr shape_only;  // check_options looks at the shape only
  shape_only.rows = p->n_rows;
  shape_only.cols = p->n_cols;
  sk_nmf::check_options(options_of(*p), shape_only);
}

void check_sweep(const SK_NMF_Plan *p, int64_t sweep) {
  if (sweep < 0 || sweep >= options_of(*p).most_sweeps())
    throw Error("sweep " + std::to_string(sweep) + " is not of the plan");
}

sk_nmf::FitSettings settings_of(const SK_NMF_Plan *p, int32_t first_block, int32_t n_blocks) {
  check_plan(p);
  sk_nmf::FitSettings s = sk_nmf::plan_fit(p->n_rows, p->n_cols, p->nnz, p->total, options_of(*p), false);
  const int32_t blocks = s.decomposition().blocks();
  if (first_block < 0 || n_blocks < 1 || first_block > blocks - n_blocks) {
    throw Error("blocks " + std::to_string(first_block) + " to " + std::to_string(int64_t{first_block} + n_blocks - 1) +
                " are not among the plan's " + std::to_string(blocks));
  }
  s.first_block = first_block;
  s.block_count = n_blocks;
  return s;
}

// The arena's small parts that only the worker itself uses.
struct Scratch {
  std::vector<int32_t> claims = std::vector<int32_t>(sk_nmf::kPhases * sk_nmf::kClaimStride, 0);
  std::vector<int64_t> block_offsets;
  std::vector<double> a, block_loglik;
};

void sums_of_rows(const sk_nmf::FitSettings &s, const double *h, double *h_row_sums) {
  const auto K = static_cast<size_t>(s.components), C = static_cast<size_t>(s.cols);
  for (size_t k = 0; k < K; ++k) {  // in column order, as a fit on one machine adds them
    double sum = 0;
    for (size_t j = 0; j < C; ++j) sum += h[k * C + j];
    h_row_sums[k] = sum;
  }
}

// The stopping rule after `done` sweeps, as a fit on one machine keeps it.
void watch(const SK_NMF_Plan &p, int64_t done, const std::vector<double> &column_measure,
           const double *task_measures, int32_t tasks, SK_NMF_Stop &stop, double *h_sum, size_t h_size) {
  sk_nmf::StoppingRule rule;
  rule.measure = stop.measure, rule.window_sum = stop.window_sum, rule.last_window = stop.last_window;
  rule.levelled = stop.levelled;
  if (rule.levelled < -1 || rule.levelled >= done) throw Error("stop->levelled is not of a sweep before this one");
  if (rule.observe(done, column_measure.data(), static_cast<int32_t>(column_measure.size()), task_measures, tasks,
                   std::max(p.total, 1.0)) &&
      p.burn_in < 0)
    std::fill_n(h_sum, h_size, 0.0);  // the sweeps so far were burn-in
  stop.measure = rule.measure, stop.window_sum = rule.window_sum, stop.last_window = rule.last_window;
  stop.levelled = rule.levelled;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t SK_NMF_Plan_Fit(SK_NMF_Plan *plan, char *error,
                                                                           size_t error_size) {
  return guarded(error, error_size, [&] {
    check_plan(plan);
    const auto s = sk_nmf::plan_fit(plan->n_rows, plan->n_cols, plan->nnz, plan->total, options_of(*plan), false);
    const auto d = s.decomposition();
    plan->block_rows = d.block_rows;
    plan->n_blocks = d.blocks();
    plan->n_tasks = d.tasks();
    plan->n_column_blocks = d.column_blocks();
    plan->burn_in_sweeps = s.burn_in;
    plan->n_factors = s.components;
  });
}

extern "C" __attribute__((visibility("default"))) int32_t SK_NMF_Start_Rows(const SK_NMF_Plan *plan,
                                                                             int32_t first_block, int32_t n_blocks,
                                                                             double *w, double *xi, char *error,
                                                                             size_t error_size) {
  return guarded(error, error_size, [&] {
    const sk_nmf::FitSettings s = settings_of(plan, first_block, n_blocks);
    if (!w || !xi) throw Error("w or xi is NULL");
    sk_nmf::FitArena f;
    f.w = w;
    sk_nmf::SweepWorker worker(s, f, sk_nmf::Counts{nullptr, nullptr, nullptr}, 0);
    for (int32_t t = s.first_task(); t < s.first_task() + s.tasks_here(); ++t) worker.start_rows(t, s.start_scale);
    std::fill_n(xi, s.rows_here(), s.start_rate);
  });
}

extern "C" __attribute__((visibility("default"))) int32_t SK_NMF_Start_Columns(const SK_NMF_Plan *plan, double *h,
                                                                                double *eta, double *h_row_sums,
                                                                                char *error, size_t error_size) {
  return guarded(error, error_size, [&] {
    const sk_nmf::FitSettings s = settings_of(plan, 0, 1);
    if (!h || !eta || !h_row_sums) throw Error("h, eta or h_row_sums is NULL");
    sk_nmf::FitArena f;
    f.h = h;
    sk_nmf::SweepWorker worker(s, f, sk_nmf::Counts{nullptr, nullptr, nullptr}, 0);
    for (int32_t b = 0; b < s.decomposition().column_blocks(); ++b) worker.start_columns(b, s.start_scale);
    std::fill_n(eta, s.cols, s.start_rate);
    sums_of_rows(s, h, h_row_sums);
  });
}

extern "C" __attribute__((visibility("default"))) int32_t SK_NMF_Sweep_Rows(
    const SK_NMF_Plan *plan, int64_t sweep, int32_t first_block, int32_t n_blocks, const int64_t *row_offsets,
    const int32_t *col_indices, const double *values, const double *h, const double *h_row_sums, double *w,
    double *w_sum, double *xi, double *row_tallies, double *col_tallies, double *task_sums, double *task_measures,
    char *error, size_t error_size) {
  return guarded(error, error_size, [&] {
    const sk_nmf::FitSettings s = settings_of(plan, first_block, n_blocks);
    check_sweep(plan, sweep);
    if (!row_offsets || !h || !h_row_sums || !w || !w_sum || !xi || !col_tallies || !task_sums ||
        (s.measure > 0 && !task_measures))
      throw Error("an array is NULL");
    const int32_t rows = s.rows_here();
    if (row_offsets[0] != 0) throw Error("row_offsets[0] is not 0");
    for (int32_t i = 0; i < rows; ++i)
      if (row_offsets[i + 1] < row_offsets[i]) throw Error("row_offsets decrease at row " + std::to_string(i));
    if (row_offsets[rows] > 0 && (!col_indices || !values)) throw Error("col_indices or values is NULL");
    const sk_nmf::Decomposition d = s.decomposition();
    Scratch scratch;
    if (!row_tallies) scratch.a.assign(static_cast<size_t>(rows) * static_cast<size_t>(s.components), 0.0);
    scratch.block_loglik.assign(static_cast<size_t>(n_blocks), 0.0);
    for (int32_t b = first_block; b < first_block + n_blocks; ++b) {
      const int64_t base = row_offsets[d.block_begin(b) - s.first_row()];
      for (int32_t i = d.block_begin(b); i <= d.block_end(b); ++i)
        scratch.block_offsets.push_back(row_offsets[i - s.first_row()] - base);
    }
    sk_nmf::FitArena f;
    f.claims = scratch.claims.data();
    f.block_offsets = scratch.block_offsets.data();
    f.w = w, f.a = row_tallies ? row_tallies : scratch.a.data(), f.w_sum = w_sum, f.xi = xi;
    f.h = const_cast<double *>(h);
    f.col_sum = const_cast<double *>(h_row_sums);
    f.tallies = col_tallies;
    f.task_sums = task_sums;
    f.task_measure = task_measures;
    f.block_loglik = scratch.block_loglik.data();
    sk_nmf::check_rand_streams();
    sk_nmf::SweepWorker worker(s, f, sk_nmf::Counts{row_offsets, col_indices, values}, 0);
    worker.run(sk_nmf::Phase::rows, sweep);
  });
}

extern "C" __attribute__((visibility("default"))) int32_t SK_NMF_Sweep_Columns(
    const SK_NMF_Plan *plan, int64_t sweep, double *col_tallies, const double *task_sums,
    const double *task_measures, double *h, double *h_sum, double *eta, double *h_row_sums, SK_NMF_Stop *stop,
    char *error, size_t error_size) {
  return guarded(error, error_size, [&] {
    const sk_nmf::FitSettings s = settings_of(plan, 0, 1);
    check_sweep(plan, sweep);
    if (!col_tallies || !task_sums || !h || !h_sum || !eta || !h_row_sums) throw Error("an array is NULL");
    const bool automatic = s.measure > 0;
    if (automatic && (!task_measures || !stop)) throw Error("an automatic plan needs task_measures and stop");
    const auto K = static_cast<size_t>(s.components);
    std::vector<double> row_sum(K, 0.0);
    for (int32_t t = 0; t < s.decomposition().tasks(); ++t)  // in task order, as a fit on one machine adds them
      for (size_t k = 0; k < K; ++k) row_sum[k] += task_sums[static_cast<size_t>(t) * K + k];
    sk_nmf::check_finite(row_sum.data(), K, "W's column", sweep + 1);
    const sk_nmf::Decomposition d = s.decomposition();
    std::vector<int32_t> claims(sk_nmf::kPhases * sk_nmf::kClaimStride, 0);
    std::vector<double> column_measure(static_cast<size_t>(d.column_blocks()), 0.0);
    sk_nmf::FitArena f;
    f.claims = claims.data();
    f.h = h, f.h_sum = h_sum, f.eta = eta, f.tallies = col_tallies, f.row_sum = row_sum.data();
    f.column_measure = column_measure.data();
    f.col_sum = h_row_sums;  // the measure's: those of the H the tallies were split under
    sk_nmf::SweepWorker worker(s, f, sk_nmf::Counts{nullptr, nullptr, nullptr}, 0);
    worker.run(sk_nmf::Phase::columns, sweep);
    sums_of_rows(s, h, h_row_sums);
    sk_nmf::check_finite(h_row_sums, K, "H's row", sweep + 1);
    if (automatic) watch(*plan, sweep + 1, column_measure, task_measures, d.tasks(), *stop, h_sum, K * s.cols);
  });
}
