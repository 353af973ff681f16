// Bayesian Poisson matrix factorisation by Gibbs sampling.
//
//   X[i,j] ~ Poisson(sum_k W[i,k] H[k,j])
//   W[i,k] ~ Gamma(a, rate xi[i]),   H[k,j] ~ Gamma(a, rate eta[j])
//
// The rates are either fixed (xi = eta = b) or learned: xi[i], eta[j] ~
// Gamma(a0, b0), with b0 set from the data's mean count so that the prior
// mean of W H matches it.  Learned rates let long and short rows (documents)
// and frequent and rare columns (words) each take their own scale, and a
// small shape a keeps the factors sparse; with counts that are mostly zero
// this is what keeps the prior from swamping the data.
//
// A sweep splits every count among the components (the library's allocation
// step, on the CSR counts), then draws
//   W[i,k] ~ Gamma(a + A[i,k], xi[i] + sum_j H[k,j])
//   H[k,j] ~ Gamma(a + B[k,j], eta[j] + sum_i W[i,k])
//   xi[i]  ~ Gamma(a0 + K a, b0 + sum_k W[i,k]),  eta[j] likewise,
// which costs O(nnz K + (R + C) K) and needs O(nnz + (R + C) K) memory.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "csr.h"
#include "gamma.h"
#include "random.h"

namespace sk_nmf {

struct FitOptions {
  int32_t components = 5;
  int64_t sweeps = 200;
  int64_t burn_in = -1;  // below 0: half of the sweeps
  double shape = 0.2;    // a
  double rate = 0.0;     // b; 0 learns the rates
  uint64_t seed = 1;
  int threads = 0;       // 0: up to 2, as the machine has; results never depend on it

  int64_t effective_burn_in() const { return burn_in < 0 ? sweeps / 2 : burn_in; }
};

// Checks options against a matrix; throws Error naming the option.
void check_options(const FitOptions &o, const Csr &x);

// Rows of a CSR matrix, with offsets from 0.
struct CsrView {
  const int64_t *offsets;
  const int32_t *indices;
  const double *values;
  int32_t rows, cols;
};

// One allocation pass: adds each count's split to the tallies, drawing from
// rand() exactly as the library's dense call would on the densified matrix.
using AllocationStep = void (*)(const CsrView &x, const double *w, const double *h, double *a,
                                double *b, int32_t components);
void allocate_csr(const CsrView &x, const double *w, const double *h, double *a, double *b,
                  int32_t components);

class Sampler {
 public:
  // With `fixed_h` (K x cols) only W and its rates are sampled: the
  // components stay as given (new rows against fitted components).
  Sampler(const Csr &x, const FitOptions &o, const double *fixed_h = nullptr,
          AllocationStep allocation = allocate_csr);

  void sweep();
  int64_t sweeps_done() const { return done_; }
  bool burning_in() const { return done_ <= burn_in_; }
  double log_likelihood() const;  // of the current draw

  // Posterior means over the kept sweeps (the current draw if none was kept
  // yet), Rao-Blackwellised: the mean of each sweep's conditional mean.
  std::vector<double> w_mean() const;
  std::vector<double> h_mean() const;
  const std::vector<double> &w() const { return w_; }
  const std::vector<double> &h() const { return h_; }

 private:
  void draw_rows(int32_t task, double *sums);
  void draw_columns(int32_t block);

  const Csr &x_;
  FitOptions o_;
  AllocationStep allocation_;
  int32_t R_, C_, K_;
  int64_t burn_in_;
  bool fixed_h_;
  int threads_;
  Rng rng_;
  GammaShapeTable table_;
  GammaShape hyper_;
  double a0_ = 1.0, b0_ = 1.0;
  std::vector<double> w_, h_, a_, b_, w_sum_, h_sum_, xi_, eta_, col_sum_, row_sum_;
  // Rows are allocated in blocks, one call each, and W drawn in tasks of
  // fixed size, each from its own stream: drawing overlaps the allocation of
  // the next block, and the results do not depend on the number of threads.
  std::vector<int32_t> row_block_start_;
  std::vector<std::vector<int64_t>> block_offsets_;
  std::vector<double> block_sums_;  // tasks x K partial sums of W
  int64_t done_ = 0, kept_ = 0;
};

// Poisson log-likelihood of x under rates scale * (W H), from the non-zeros
// and the factor sums: sum_ij (WH)_ij = sum_k (sum_i W_ik)(sum_j H_kj).
double log_likelihood(const Csr &x, const double *w, const double *h, int32_t components,
                      double scale = 1.0);

// Splits every count n into Binomial(n, fraction) held-out units and the
// rest, both as CSR without explicit zeros.
struct Split {
  Csr train, test;
};
Split split_holdout(const Csr &x, double fraction, uint64_t seed);

int64_t binomial_draw(Rng &rng, int64_t n, double p);

// Fits and returns posterior means; `progress` (optional) is called after
// every sweep and stops the fit when it returns false.
struct FitResult {
  std::vector<double> w_mean, h_mean;
  int64_t sweeps_done = 0;
};
using ProgressFn = std::function<bool(const Sampler &)>;
FitResult fit(const Csr &x, const FitOptions &o, const double *fixed_h = nullptr,
              const ProgressFn &progress = nullptr);

}  // namespace sk_nmf
