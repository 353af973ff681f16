// The pieces of a sweep, as every worker of a fit runs them.  The fit's
// state lives in one arena of shared pages; a worker claims row blocks,
// column blocks or likelihood blocks one at a time from counters that all
// the workers share, and writes only what the piece owns, so the result is
// the same whichever worker takes which piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decomposition.h"
#include "gamma.h"

namespace sk_nmf {

// What every worker is told of a fit: plain data, sent as it is.
struct FitSettings {
  int32_t rows = 0, cols = 0, components = 0, workers = 1;  // components: the factors, background included
  // With a background the last factor is one: a per-word base rate that
  // every row uses, with a prior shape that makes it dense rather than sparse.
  int32_t background = 0;
  double background_shape = 1;
  int32_t block_rows = kTaskRows;
  int32_t fixed_h = 0;  // H held fixed: only W and its rates are drawn
  int64_t nnz = 0;
  int64_t burn_in = 0;
  double shape = 0, rate = 0;  // rate 0: learned rates, with a0 and b0
  double a0 = 1, b0 = 1;
  double start_scale = 1, start_rate = 1;  // W and H start at scale x Gamma(1), the rates at start_rate
  uint64_t seed = 0;
  // The row blocks this arena holds: all of them in a fit on one machine,
  // some in a host that spreads the blocks itself.
  int32_t first_block = 0, block_count = -1;  // -1: from first_block to the last
  // Non-zero: every measure-th sweep, each row task and column block also
  // writes its share of the convergence measure (task_measure and
  // column_measure), for a fit that stops by itself.
  int32_t measure = 0;

  Decomposition decomposition() const { return Decomposition{rows, cols, block_rows}; }
  int32_t blocks_here() const { return block_count < 0 ? decomposition().blocks() - first_block : block_count; }
  int32_t first_row() const { return decomposition().block_begin(first_block); }
  int32_t rows_here() const {
    return blocks_here() == 0 ? 0 : decomposition().block_end(first_block + blocks_here() - 1) - first_row();
  }
  int32_t first_task() const { return first_row() / kTaskRows; }
  int32_t tasks_here() const {
    return static_cast<int32_t>((int64_t{first_row()} + rows_here() + kTaskRows - 1) / kTaskRows) - first_task();
  }
};

// The sweep index whose streams start a fit.
constexpr int64_t kStartSweep = 2147483647;

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

enum class Phase : int32_t { rows = 0, columns = 1, likelihood = 2 };
constexpr int kPhases = 3;
constexpr size_t kClaimStride = 16;  // int32s: a cache line per phase's counter

// The fit's state, at fixed places in one arena that every worker maps.
// Rows, blocks and tasks are those the arena holds (FitSettings::*_here).
struct FitArena {
  int32_t *claims = nullptr;         // the next piece of each phase, a cache line apart
  int64_t *block_offsets = nullptr;  // rows + blocks: each block's row offsets from 0
  double *w = nullptr, *a = nullptr, *w_sum = nullptr, *xi = nullptr;  // rows x K (three), rows
  double *h = nullptr, *h_sum = nullptr, *eta = nullptr;              // K x cols (two), cols
  double *tallies = nullptr;           // workers x K x cols, a matrix for each
  double *col_sum = nullptr, *row_sum = nullptr;  // K: the sums of H's rows and W's columns
  double *task_sums = nullptr;         // tasks x K: the sums of W, task by task
  double *block_loglik = nullptr;      // blocks
  // Column blocks: sum over the block's (k, j) of B[k,j] log(H[k,j] / sum_j H[k,j]),
  // with the H the sweep's counts were split under (when settings.measure).
  double *column_measure = nullptr;
  // Tasks: sum over the task's (i, k) of A[i,k] log(W[i,k] s[k] / sum_k W[i,k] s[k]),
  // s the sums of H's rows, with the W the counts were split under.
  double *task_measure = nullptr;

  // The counter a phase's pieces are claimed from; reset before the phase.
  int32_t &claim_counter(Phase phase) const { return claims[static_cast<size_t>(phase) * kClaimStride]; }

  static size_t bytes(const FitSettings &s);
  FitArena() = default;
  FitArena(void *base, const FitSettings &s);
};

// The counts of the rows the arena holds, offsets from 0.
struct Counts {
  const int64_t *offsets;
  const int32_t *indices;
  const double *values;
};

class SweepWorker {
 public:
  SweepWorker(const FitSettings &s, const FitArena &arena, const Counts &x, int32_t worker,
              AllocationStep allocation = allocate_csr);
  // Runs pieces of the phase until none is left.  Rows: each block's
  // allocation and then the W of its rows.  Columns: H, from the tallies of
  // all workers.  Likelihood: each block's sum of c log(rate) over its counts.
  void run(Phase phase, int64_t sweep);
  // The starting W of one task's rows and H of one column block, each from
  // its own stream, so that any host can start its own pieces.
  void start_rows(int32_t task, double scale);
  void start_columns(int32_t block, double scale);

 private:
  int32_t claim(Phase phase);
  void allocate_block(int32_t block, int64_t sweep);
  void draw_rows(int32_t task, int64_t sweep);
  void draw_columns(int32_t block, int64_t sweep);
  double block_loglik(int32_t block) const;

  FitSettings s_;
  FitArena f_;
  Counts x_;
  Decomposition d_;
  int32_t row0_, task0_;  // the first row and task held
  int32_t worker_;
  AllocationStep allocation_;
  GammaShapeTable table_, background_table_;
  std::vector<double> prior_;  // each factor's prior shape
  GammaShape hyper_;
};

}  // namespace sk_nmf
