// The C ABI of the sampler (sampling_kernels_nmf.h): checks the CSR input,
// then runs the same fit as the command line.  No exception crosses it.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "errors.h"
#include "model.h"
#include "sampling_kernels_nmf.h"

namespace {

using sk_nmf::Csr;
using sk_nmf::Error;

void set_error(char *error, size_t size, const std::string &what) {
  if (error && size > 0) std::snprintf(error, size, "%s", what.c_str());
}

Csr checked_csr(const int64_t *offsets, const int32_t *indices, const double *values, int32_t rows, int32_t cols) {
  if (rows < 1 || cols < 1) throw Error("the count matrix must have at least one row and one column");
  if (!offsets) throw Error("row_offsets is NULL");
  if (offsets[0] != 0) throw Error("row_offsets[0] is " + std::to_string(offsets[0]) + ", not 0");
  for (int32_t i = 0; i < rows; ++i) {
    if (offsets[i + 1] < offsets[i]) throw Error("row_offsets decrease at row " + std::to_string(i));
  }
  const int64_t nnz = offsets[rows];
  if (nnz > 0 && (!indices || !values)) throw Error("col_indices or values is NULL");
  Csr x;
  x.rows = rows;
  x.cols = cols;
  x.offsets = sk_nmf::allocate_array<int64_t>(static_cast<double>(rows) + 1, "the row offsets");
  x.indices = sk_nmf::allocate_array<int32_t>(static_cast<double>(nnz), "the column indices");
  x.values = sk_nmf::allocate_array<double>(static_cast<double>(nnz), "the counts");
  int64_t kept = 0;
  for (int32_t i = 0; i < rows; ++i) {
    for (int64_t n = offsets[i]; n < offsets[i + 1]; ++n) {
      const int32_t j = indices[n];
      const double v = values[n];
      if (j < 0 || j >= cols) throw Error("column index " + std::to_string(j) + " in row " + std::to_string(i) + " is outside [0, " + std::to_string(cols) + ")");
      if (n > offsets[i] && j <= indices[n - 1]) throw Error("column indices of row " + std::to_string(i) + " are not ascending and distinct");
      if (!(v >= 0) || v > 2147483647.0 || v != std::floor(v)) throw Error("count " + std::to_string(v) + " in row " + std::to_string(i) + " is not a whole number from 0 to 2147483647");
      if (v > 0) x.indices[static_cast<size_t>(kept)] = j, x.values[static_cast<size_t>(kept)] = v, ++kept;
    }
    x.offsets[static_cast<size_t>(i) + 1] = kept;
  }
  x.indices.resize(static_cast<size_t>(kept));
  x.values.resize(static_cast<size_t>(kept));
  return x;
}

template <class F>
int32_t guarded(char *error, size_t size, F body) {
  try {
    return body();
  } catch (const sk_nmf::RunError &e) {
    set_error(error, size, e.what());
    return SK_NMF_RUN_FAILED;
  } catch (const Error &e) {
    set_error(error, size, e.what());
    return std::strncmp(e.what(), "out of memory", 13) == 0 ? SK_NMF_NO_MEMORY : SK_NMF_BAD_INPUT;
  } catch (const std::bad_alloc &) {
    set_error(error, size, "out of memory");
    return SK_NMF_NO_MEMORY;
  } catch (const std::system_error &e) {  // the system refused a thread or a lock: not the input's fault
    set_error(error, size, std::string("the fit could not get what it needs from the system: ") + e.what());
    return SK_NMF_RUN_FAILED;
  } catch (const std::exception &e) {
    set_error(error, size, e.what());
    return SK_NMF_BAD_INPUT;
  }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t SK_NMF_Fit_Run(
    const int64_t *row_offsets, const int32_t *col_indices, const double *values, int32_t n_rows,
    int32_t n_cols, int32_t n_components, int64_t n_sweeps, int64_t burn_in, double shape, double rate,
    uint32_t seed, const double *fixed_components, double *w_mean, double *h_mean, SK_NMF_Progress progress,
    void *context, int64_t progress_every, SK_NMF_Run *run, char *error, size_t error_size) {
  return guarded(error, error_size, [&]() -> int32_t {
    const Csr x = checked_csr(row_offsets, col_indices, values, n_rows, n_cols);
    sk_nmf::FitOptions o;
    o.components = n_components;
    o.auto_sweeps = n_sweeps == SK_NMF_AUTO_SWEEPS;
    o.sweeps = o.auto_sweeps ? sk_nmf::kAutoMostSweeps : n_sweeps;
    o.burn_in = burn_in < 0 ? -1 : burn_in;
    o.shape = shape;
    o.rate = rate;
    o.seed = seed;
    o.background = run && run->background;
    if (run && run->background_shape != 0) o.background_shape = run->background_shape;
    sk_nmf::Checkpointing checkpoints;
    if (run) {
      if (run->n_jobs < -1) throw Error("n_jobs must be a positive number of processes, or 0 or -1 for every core");
      if (run->checkpoint_every < 0) throw Error("checkpoint_every must be a positive number of sweeps");
      o.jobs = run->n_jobs > 0 ? run->n_jobs : 0;
      if (run->checkpoint) checkpoints.path = run->checkpoint;
      if (run->checkpoint_every > 0) checkpoints.every = run->checkpoint_every;
      checkpoints.resume = run->resume != 0;
      if (checkpoints.resume && checkpoints.path.empty()) throw Error("resume needs a checkpoint file");
    }
    sk_nmf::check_options(o, x);
    if (!w_mean || (!h_mean && !fixed_components)) throw Error("w_mean or h_mean is NULL");
    const double total = std::max(x.total(), 1.0);
    const auto R = static_cast<size_t>(n_rows), C = static_cast<size_t>(n_cols), K = static_cast<size_t>(n_components);
    std::vector<double> fixed;  // the components and the background, as the sampler holds them
    if (fixed_components && o.background) {
      if (!run->fixed_background) throw Error("fixed_background is NULL, with fixed_components and a background");
      fixed.assign(fixed_components, fixed_components + K * C);
      fixed.insert(fixed.end(), run->fixed_background, run->fixed_background + C);
      fixed_components = fixed.data();
    }
    bool stopped = false;
    const auto r = sk_nmf::fit(x, o, fixed_components, [&](const sk_nmf::Sampler &s) {
      if (!progress) return true;
      const int64_t sweep = s.sweeps_done();
      const bool report = progress_every > 0 && (sweep % progress_every == 0 || sweep == s.planned_sweeps());
      const double loglik = report ? s.log_likelihood() / total : std::numeric_limits<double>::quiet_NaN();
      stopped = progress(context, sweep, s.planned_sweeps(), s.burning_in() ? 1 : 0, loglik) != 0;
      return !stopped;
    }, checkpoints);
    const auto F = static_cast<size_t>(r.factors);
    for (size_t i = 0; i < R; ++i) {
      std::memcpy(w_mean + i * K, r.w_mean.data() + i * F, K * sizeof(double));
      if (o.background && run->background_w) run->background_w[i] = r.w_mean[i * F + K];
    }
    if (h_mean) std::memcpy(h_mean, r.h_mean.data(), K * C * sizeof(double));
    if (o.background && run->background_h) std::memcpy(run->background_h, r.h_mean.data() + K * C, C * sizeof(double));
    if (run) {
      run->sweeps_done = r.sweeps_done;
      run->resumed_from = r.resumed_from;
      run->workers = r.workers;
      run->loglik = r.loglik_of_means;
    }
    return stopped ? SK_NMF_STOPPED : SK_NMF_OK;
  });
}

extern "C" __attribute__((visibility("default"))) int32_t SK_NMF_Fit(
    const int64_t *row_offsets, const int32_t *col_indices, const double *values, int32_t n_rows,
    int32_t n_cols, int32_t n_components, int64_t n_sweeps, int64_t burn_in, double shape, double rate,
    uint32_t seed, const double *fixed_components, double *w_mean, double *h_mean, SK_NMF_Progress progress,
    void *context, int64_t progress_every, char *error, size_t error_size) {
  return SK_NMF_Fit_Run(row_offsets, col_indices, values, n_rows, n_cols, n_components, n_sweeps, burn_in, shape,
                        rate, seed, fixed_components, w_mean, h_mean, progress, context, progress_every, nullptr,
                        error, error_size);
}

extern "C" __attribute__((visibility("default"))) double SK_NMF_Log_Likelihood(
    const int64_t *row_offsets, const int32_t *col_indices, const double *values, int32_t n_rows, int32_t n_cols,
    int32_t n_components, const double *w, const double *h, double scale, char *error, size_t error_size) {
  double result = std::numeric_limits<double>::quiet_NaN();
  guarded(error, error_size, [&]() -> int32_t {
    const Csr x = checked_csr(row_offsets, col_indices, values, n_rows, n_cols);
    if (n_components < 1) throw Error("n_components must be at least 1");
    if (!w || !h) throw Error("w or h is NULL");
    result = sk_nmf::log_likelihood(x, w, h, n_components, scale);
    return SK_NMF_OK;
  });
  return result;
}
