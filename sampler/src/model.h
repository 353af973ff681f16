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
// A background (off by default) is one more factor, the last, whose W column
// and H row have a prior shape of their own (1, against a = 0.2): dense, it
// takes what every row shares, and the components keep what sets rows apart.
//
// A sweep splits every count among the components (the library's allocation
// step, on the CSR counts), then draws
//   W[i,k] ~ Gamma(a + A[i,k], xi[i] + sum_j H[k,j])
//   H[k,j] ~ Gamma(a + B[k,j], eta[j] + sum_i W[i,k])
//   xi[i]  ~ Gamma(a0 + K a, b0 + sum_k W[i,k]),  eta[j] likewise,
// which costs O(N log K + nnz K + (R + C) K) for a total count N (each unit
// of a count is one rand() draw and a search) and needs O(nnz + (R + C) K)
// memory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "csr.h"
#include "random.h"
#include "worker.h"

namespace sk_nmf {

struct FitOptions {
  int32_t components = 5;
  int64_t sweeps = 200;
  int64_t burn_in = -1;  // below 0: half of the sweeps
  // Stop by itself (see kAutoMostSweeps): `sweeps` is then ignored.
  bool auto_sweeps = false;
  double shape = 0.2;    // a
  double rate = 0.0;     // b; 0 learns the rates
  uint64_t seed = 1;
  int jobs = 0;          // worker processes; 0: every core the process may use.  Results never depend on it
  // A background factor beside the components: a per-column base rate every
  // row draws on, so that the words common to all rows leave the components.
  bool background = false;
  double background_shape = 1.0;  // its prior shape, for W's column and H's row alike

  int32_t factors() const { return components + (background ? 1 : 0); }

  // Of a fixed number of sweeps; an automatic fit's below 0 until it is known.
  int64_t effective_burn_in() const { return burn_in >= 0 ? burn_in : auto_sweeps ? -1 : sweeps / 2; }
  // The sweeps a fit may run: all of them, or an automatic fit's cap.
  int64_t most_sweeps() const;
};

// A fit with auto_sweeps watches a convergence measure computed from what
// each sweep already holds: the complete-data log-likelihood per count of
// the sweep's split of the counts, read as a topic model's,
//   m = (sum_kj B[k,j] log phi[k,j] + sum_ik A[i,k] log theta[i,k]) / sum X,
//   phi[k,j] = H[k,j] / s[k],  theta[i,k] = W[i,k] s[k] / sum_k W[i,k] s[k],
// with A and B the row and column tallies, s the sums of H's rows, and W
// and H the draw the counts were split under: O(K (rows + cols)) a sweep,
// against the sweep's O(nnz K), and never from held-out counts; taken every
// kAutoMeasureEvery-th sweep, which keeps its cost near 2% of the sweeps'
// (every sweep's cost 10% on short rows) and moves no stop on the corpora
// measured.  It rises while the chain converges.  The sweeps go in windows
// of kAutoWindow; the measure has levelled off at the end of window T (at
// least kAutoLeastBurnIn) when its mean there exceeds the previous window's
// by less than kAutoGain.  That T ends the burn-in (an int burn_in b instead
// keeps its b) and the fit stops at 2 max(T, b): the posterior means are
// over the last half, as with a fixed count.  If the measure has not
// levelled off by kAutoMostSweeps / 2, T is that.  The measure and the stop
// come from the chain alone, so they are the same on any number of processes.
constexpr int64_t kAutoWindow = 20, kAutoMeasureEvery = 4, kAutoLeastBurnIn = 40, kAutoMostSweeps = 2000;
static_assert(kAutoWindow % kAutoMeasureEvery == 0);
constexpr double kAutoGain = 2e-3;  // nats per count, window to window

// The stopping rule's state, from the fit's start: the measure as last
// taken, this window's sum of it, the last window's mean (NaN before one
// ends), and the sweep the measure levelled off at (-1: not yet).
struct StoppingRule {
  double measure = std::numeric_limits<double>::quiet_NaN(), window_sum = 0,
         last_window = std::numeric_limits<double>::quiet_NaN();
  int64_t levelled = -1;

  // Takes the measure after `done` sweeps, when that is a multiple of
  // kAutoMeasureEvery (the sweeps whose workers wrote their shares), from
  // each column block's share and each row task's, added in that order, so
  // that every host of the fit gets the same bits.  True when the measure
  // levels off there.
  bool observe(int64_t done, const double *column_measure, int32_t column_blocks, const double *task_measure,
               int32_t tasks, double total);
  // The burn-in and the stop once levelled, for an option burn_in (-1: the
  // rule's).
  int64_t burn_in(int64_t option) const { return option >= 0 ? option : levelled; }
  int64_t stop(int64_t option) const { return 2 * std::max(levelled, burn_in(option)); }
};

// The prior shapes and fixed rates a fit takes.  Inside this range every
// quantity of a sweep stays finite and every cell with a count keeps a
// positive rate: 1/a, a0 / a and the hyperprior's shape 1 + K a are finite,
// a factor's draw is at most about a / b (below 1e20) and the product of
// two that a count sustains is above 1 / b^2 (1e-20).  Far outside it the
// draws overflow to inf or the rates underflow to 0 (a = 5e-324, a = 1e308,
// b = 1e300 do).
constexpr double kLeastPrior = 1e-10, kMostPrior = 1e10;
// Sweeps are numbered below the index that starts a fit's streams.
constexpr int64_t kMostSweeps = 2147483647;

// Checks options against a matrix; throws Error naming the option.
void check_options(const FitOptions &o, const Csr &x);

// The settings every piece of a fit of these counts runs with (one worker,
// all blocks): its blocks, burn-in, hyperprior and starting values.  From
// the shape and the total count alone, so that a host holding only some
// rows plans the same fit.
FitSettings plan_fit(int32_t rows, int32_t cols, int64_t nnz, double total, const FitOptions &o, bool fixed_h);

// The sparse allocation call's working block, per component and column: a
// copy of H's entry and a 16-bit count of its draws.
constexpr double kCsrWorkingBytesPerEntry = sizeof(double) + sizeof(uint16_t);

// What a fit takes besides its counts: the arena of factors, tallies and
// sums that every process maps, and the allocation step's working block
// (H and counts of the column draws), one for each process.
struct FitMemory {
  double counts = 0;  // when they are still to be read
  double arena = 0, working_copies = 0;
  int32_t processes = 1;
  double total() const { return counts + arena + working_copies; }
  std::string text() const;  // "1.2 GiB (factors, tallies and sums 1.1 GiB, ...)"
};
FitMemory fit_memory(const FitSettings &s);

// The processes and memory a fit of x with these options will take: as
// many processes as the options ask for, the row blocks allow and memory
// holds (the fit is the same on fewer).  Throws Error, with the figure,
// when even one process needs more than this process can be given.
FitMemory plan_memory(const Csr &x, const FitOptions &o);
// The same for counts of this shape yet to be read, their row offsets
// included: what the fit will take at least, whatever the entries.
FitMemory plan_memory(int64_t rows, int64_t cols, const FitOptions &o);

class WorkerProcesses;

// Where a fit's time went, summed over its sweeps: each phase's wall time,
// of which `waiting` this process spent on its workers after its own share.
struct SweepTimes {
  double rows = 0, columns = 0, sums = 0, waiting = 0;
  int64_t sweeps = 0;
};

// A fit in progress.  Its state lives in shared pages, cut into the pieces
// of decomposition.h; this process runs pieces itself (worker 0) and hands
// the others to worker processes, as many as the jobs asked for and the
// row blocks allow.
class Sampler {
 public:
  // With `fixed_h` (factors x cols) only W and its rates are sampled: the
  // components stay as given (new rows against fitted components).  An
  // allocation step other than the library's runs on one process only.
  Sampler(const Csr &x, const FitOptions &o, const double *fixed_h = nullptr,
          AllocationStep allocation = allocate_csr);
  ~Sampler();
  Sampler(const Sampler &) = delete;
  Sampler &operator=(const Sampler &) = delete;

  void sweep();
  int64_t sweeps_done() const { return done_; }
  bool burning_in() const { return done_ <= burn_in_; }
  // The sweeps left out of the means (an automatic fit's cap until known).
  int64_t burn_in() const { return burn_in_; }
  // Where the fit ends: its sweeps, or an automatic fit's cap until it
  // knows its stop.
  int64_t planned_sweeps() const { return stop_; }
  // The convergence measure as last taken (automatic fits only, else NaN).
  double measure() const { return rule_.measure; }
  // The processes running the fit; fewer than planned when some could not
  // start (see shortfall()).
  int32_t workers() const;
  // Why fewer processes run than planned, or "".
  const std::string &shortfall() const { return shortfall_; }
  int32_t row_blocks() const { return d_.blocks(); }
  int32_t factors() const { return settings_.components; }  // the components and the background
  const SweepTimes &times() const { return times_; }
  // Of the current draw, from every worker; the sum of log(c!) is taken once.
  double log_likelihood() const;
  // Of the posterior means, from every worker.  They become the current
  // draw, so this comes last.
  double log_likelihood_of_means();

  // Posterior means over the kept sweeps, of every factor (the background
  // last) (the current draw if none was kept
  // yet), Rao-Blackwellised: the mean of each sweep's conditional mean.
  std::vector<double> w_mean() const;
  std::vector<double> h_mean() const;
  std::vector<double> w() const;
  std::vector<double> h() const;

  // The whole state, written to `path` atomically (a temporary file beside
  // it, then a rename), and read back: a fit restored from it goes on with
  // the same bits as one never stopped.  restore() throws Error with a
  // one-line reason for a file that is damaged or from other data or options.
  void save(const std::string &path) const;
  void restore(const std::string &path);

 private:
  // Returns the time this process waited for its workers.
  double run_phase(Phase phase) const;
  uint64_t data_hash() const;
  void watch_measure();
  void levelled_off_at(int64_t sweep);

  const Csr &x_;
  FitOptions o_;
  FitSettings settings_;
  Decomposition d_;
  int64_t burn_in_;
  bool fixed_h_;
  void *arena_memory_ = nullptr;
  FitArena f_;
  std::unique_ptr<SweepWorker> local_;
  std::unique_ptr<WorkerProcesses> remote_;
  mutable bool failed_ = false;
  mutable bool have_log_factorials_ = false;
  mutable double log_factorials_ = 0;
  int64_t done_ = 0, kept_ = 0;
  int64_t stop_ = 0;
  StoppingRule rule_;
  double total_ = 1;  // the count the measure is per
  SweepTimes times_;
  std::string shortfall_;
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

// Where and how often a fit saves its state, and whether it starts from it.
struct Checkpointing {
  std::string path;  // empty: no checkpoints
  int64_t every = 10;  // sweeps between saves; a fit also saves when it ends or stops
  bool resume = false;  // go on from the state at `path`, when there is one
};

// Throws RunError when one of a sweep's n sums of `what` (say "H's row") is
// inf or NaN: the fit has left the numbers behind for good.
void check_finite(const double *sums, size_t n, const char *what, int64_t sweep);

// Fits and returns posterior means of every factor, the background last;
// `progress` (optional) is called after every sweep and stops the fit when
// it returns false.  Throws RunError if the fit turns non-finite.
struct FitResult {
  std::vector<double> w_mean, h_mean;
  int64_t sweeps_done = 0;
  int64_t burn_in = 0;  // of those, the sweeps left out of the means
  int64_t resumed_from = -1;  // the sweep a checkpoint gave, or -1
  int32_t workers = 1;
  int32_t row_blocks = 1;
  int32_t factors = 0;
  SweepTimes times;
  double loglik_of_means = 0;  // the log-likelihood of the posterior means, every factor's
  std::string shortfall;       // why it ran on fewer processes than planned, or ""
};
using ProgressFn = std::function<bool(const Sampler &)>;
FitResult fit(const Csr &x, const FitOptions &o, const double *fixed_h = nullptr,
              const ProgressFn &progress = nullptr, const Checkpointing &checkpoints = {});

}  // namespace sk_nmf
