/*
 * sampling_kernels_nmf: Bayesian Poisson matrix factorisation by Gibbs
 * sampling, X ~ Poisson(W H) with Gamma priors, on CSR counts.  The command
 * line poisson_nmf and the Python class sampling_kernels.PoissonNMF both run
 * this one implementation; a fit is one call.
 *
 * Counts are CSR: row_offsets (n_rows + 1 entries, 64-bit, starting at 0,
 * non-decreasing), col_indices (ascending within a row, no repeats, each
 * in [0, n_cols)) and values (whole numbers from 0 to 2147483647).
 */
#ifndef SAMPLING_KERNELS_NMF_H
#define SAMPLING_KERNELS_NMF_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SK_NMF_OK 0
#define SK_NMF_STOPPED 1     /* the progress callback asked to stop */
#define SK_NMF_BAD_INPUT -1  /* nothing was written to the outputs */
#define SK_NMF_NO_MEMORY -2
#define SK_NMF_RUN_FAILED -3 /* not the input's fault: a worker process died, a checkpoint could not be written */

/* n_sweeps = SK_NMF_AUTO_SWEEPS: the fit stops by itself, when a
 * convergence measure computed from each sweep's own tallies levels off:
 * the complete-data log-likelihood per count of the sweep's split of the
 * counts, read as a topic model's (each count's column under its component,
 * and its component under its row's mix), taken every 4th sweep.  With T
 * the first sweep, a multiple of 20 and at least 40, at which that measure's
 * mean over the last 20 sweeps exceeds the mean over the 20 before by less
 * than 0.002 nats (or
 * T = 1000 if none), the burn-in is T (or burn_in, at most 1000, when that is
 * given) and the fit stops at 2 max(T, burn_in): at most 2000 sweeps.  The
 * stop depends on the seed and counts alone, never on the processes; a
 * resumed fit stops where an uninterrupted one does.  run->sweeps_done says
 * where it stopped.  Needs H sampled (no fixed_components). */
#define SK_NMF_AUTO_SWEEPS -1

/* Called after every sweep; after every `progress_every`-th and the last
 * one with the log-likelihood per count of the current draw, otherwise (and
 * always when progress_every is 0) with NaN.  n_sweeps is where the fit
 * will stop (with SK_NMF_AUTO_SWEEPS, 2000 until the stop is known).  A non-zero result stops the
 * fit: the outputs then hold the means so far, and the result is
 * SK_NMF_STOPPED.  It lets a host report progress and handle interrupts. */
typedef int32_t (*SK_NMF_Progress)(void *context, int64_t sweep, int64_t n_sweeps,
                                   int32_t burning_in, double loglik_per_count);

/*
 * SK_NMF_Fit: n_sweeps Gibbs sweeps; the first burn_in (below 0: half of
 * n_sweeps) are left out of the posterior means written to w_mean
 * (n_rows x n_components) and h_mean (n_components x n_cols).
 *
 * shape > 0 is the Gamma prior shape of W and H; rate > 0 fixes their prior
 * rate, rate == 0 learns a rate per row and per column.  seed keys every
 * stream of the fit: one seed repeats a fit bit for bit, on any number of
 * worker processes.  The allocation step draws from rand() through states
 * of its own (setstate); the process's rand() stream is given back as it
 * was.  With fixed_components (n_components x n_cols) H is held at those
 * values and only W is sampled; h_mean may then be NULL.
 *
 * Runs on every core the process may use (SK_NMF_Fit_Run chooses).
 * Returns SK_NMF_OK, SK_NMF_STOPPED or a negative code with a message in
 * `error` (error_size bytes, NUL-terminated; may be NULL).
 */
int32_t SK_NMF_Fit(const int64_t *row_offsets, const int32_t *col_indices, const double *values,
                   int32_t n_rows, int32_t n_cols, int32_t n_components, int64_t n_sweeps,
                   int64_t burn_in, double shape, double rate, uint32_t seed,
                   const double *fixed_components, double *w_mean, double *h_mean,
                   SK_NMF_Progress progress, void *context, int64_t progress_every,
                   char *error, size_t error_size);

/* How a fit runs, and its background.  Nothing but the background fields
 * changes a fit's result; zeroed, they fit no background (as SK_NMF_Fit). */
typedef struct SK_NMF_Run {
  int32_t n_jobs;            /* worker processes; 0 or -1: every core the process may use */
  const char *checkpoint;    /* NULL or "": no checkpoints */
  int64_t checkpoint_every;  /* sweeps between checkpoints; 0: 10 */
  int32_t resume;            /* non-zero: go on from `checkpoint` when the file exists */
  int64_t sweeps_done;       /* set by the fit: its sweeps, those before a resume included */
  int64_t resumed_from;      /* set by the fit: the sweep it resumed at, or -1 */
  int32_t workers;           /* set by the fit: the processes it ran on */
  /* A background: one more factor beside the n_components, a per-column
   * base rate that every row draws on with a prior shape of its own
   * (denser than the components'), so that what all rows share leaves the
   * components.  w_mean and h_mean keep only the components. */
  int32_t background;          /* non-zero: fit one */
  double background_shape;     /* its prior shape, of W's column and H's row; 0: 1 */
  double *background_w;        /* n_rows: each row's background weight (posterior mean); may be NULL */
  double *background_h;        /* n_cols: the background's rate per column (posterior mean); may be NULL */
  const double *fixed_background; /* n_cols: with fixed_components, the background held at these */
  double loglik;               /* set by the fit: the Poisson log-likelihood of the posterior means
                                  (the background's too), computed on every process */
} SK_NMF_Run;

/*
 * SK_NMF_Fit_Run: SK_NMF_Fit on `run->n_jobs` processes (the fit's own and
 * worker processes started from sk_nmf_worker beside this library), saving
 * its state to `run->checkpoint` every `checkpoint_every` sweeps and when it
 * ends or is stopped (written to a temporary file, then renamed), and going
 * on from it with `resume`.  A checkpoint from other data or options, or a
 * damaged one, is refused with SK_NMF_BAD_INPUT and a one-line reason.  A
 * worker that dies ends the fit with SK_NMF_RUN_FAILED and says so; the last
 * checkpoint stays usable.  run may be NULL (every core, no checkpoints).
 */
int32_t SK_NMF_Fit_Run(const int64_t *row_offsets, const int32_t *col_indices, const double *values,
                       int32_t n_rows, int32_t n_cols, int32_t n_components, int64_t n_sweeps,
                       int64_t burn_in, double shape, double rate, uint32_t seed,
                       const double *fixed_components, double *w_mean, double *h_mean,
                       SK_NMF_Progress progress, void *context, int64_t progress_every,
                       SK_NMF_Run *run, char *error, size_t error_size);

/*
 * SK_NMF_Log_Likelihood: Poisson log-likelihood of the CSR counts under
 * rates scale * (W H), from the non-zeros and the factor sums.  NaN for bad
 * input (with a message in `error`).
 */
double SK_NMF_Log_Likelihood(const int64_t *row_offsets, const int32_t *col_indices,
                             const double *values, int32_t n_rows, int32_t n_cols,
                             int32_t n_components, const double *w, const double *h, double scale,
                             char *error, size_t error_size);

/*
 * The pieces of a fit, for a host that places them itself (the Dask front
 * end).  A fit's rows go in blocks of plan->block_rows rows; each sweep is
 * SK_NMF_Sweep_Rows on every block, in any grouping, order and place, then
 * SK_NMF_Sweep_Columns once.  Run in that way, with the same seed and
 * options, the pieces give the bits of SK_NMF_Fit on the whole matrix.
 * Each piece draws from rand() through states of its own and gives the
 * process its state back; calls on several threads of one process must be
 * serialised.  Every function returns SK_NMF_OK or a negative code with a
 * message in `error`.
 */
typedef struct SK_NMF_Plan {
  /* set by the caller */
  int32_t n_rows, n_cols, n_components;
  int64_t nnz;        /* stored non-zero counts of the whole matrix */
  double total;       /* their sum */
  int64_t n_sweeps, burn_in;  /* burn_in below 0: half of n_sweeps */
  double shape, rate;
  uint32_t seed;
  int32_t background;         /* non-zero: a background factor, as in SK_NMF_Run */
  double background_shape;    /* 0: 1 */
  /* set by SK_NMF_Plan_Fit */
  int32_t block_rows, n_blocks, n_tasks, n_column_blocks;
  int64_t burn_in_sweeps;
  int32_t n_factors;          /* n_components, and one more with a background (last): the
                               * width of W and the height of H in every piece below */
} SK_NMF_Plan;

/* With n_sweeps = SK_NMF_AUTO_SWEEPS the plan runs up to 2000 sweeps and
 * the rule above decides its stop, from the measure that every 4th sweep's
 * pieces write (task_measures, and the column blocks' inside
 * SK_NMF_Sweep_Columns).  Its state is the host's, kept from sweep to sweep
 * and in the host's saved states; a fit starts from measure and last_window
 * NaN, window_sum 0 and levelled -1.  Once levelled at T, the burn-in is T
 * (or the plan's burn_in when that is 0 or more, b) and the plan stops at
 * 2 max(T, b).  When it levels off at the end
 * of sweep s with a plan burn_in below 0, SK_NMF_Sweep_Columns clears H's
 * running sum and the host must clear every block's running sum of W
 * before sweep s + 1, as a fit on one machine does. */
typedef struct SK_NMF_Stop {
  double measure, window_sum, last_window;
  int64_t levelled; /* the sweep the measure levelled off at, or -1 */
} SK_NMF_Stop;

/* Checks the plan's options and sets its blocks. */
int32_t SK_NMF_Plan_Fit(SK_NMF_Plan *plan, char *error, size_t error_size);

/* The starting W (rows x n_components) and row rates (rows) of the blocks
 * first_block to first_block + n_blocks - 1, whose rows they hold. */
int32_t SK_NMF_Start_Rows(const SK_NMF_Plan *plan, int32_t first_block, int32_t n_blocks, double *w, double *xi,
                          char *error, size_t error_size);

/* The starting H (n_components x n_cols), column rates (n_cols) and sums of
 * H's rows (n_components). */
int32_t SK_NMF_Start_Columns(const SK_NMF_Plan *plan, double *h, double *eta, double *h_row_sums, char *error,
                             size_t error_size);

/* Sweep `sweep` (from 0) of those blocks: the allocation of their counts
 * (CSR of their rows, offsets from 0) and new W, its running sum and the
 * row rates, in place.  Adds the blocks' column tallies to col_tallies
 * (n_components x n_cols) and writes the sums of W's columns of each task
 * of plan's tasks (1024 rows) among the blocks' rows to task_sums, and
 * their shares of the measure to task_measures (one a task) on the
 * sweeps an automatic plan measures (NULL for a plan with a number of
 * sweeps).  row_tallies (rows x factors) is working room that must hold
 * zeros and is left holding zeros, so that a host can keep it from call to
 * call; NULL makes the call allocate its own. */
int32_t SK_NMF_Sweep_Rows(const SK_NMF_Plan *plan, int64_t sweep, int32_t first_block, int32_t n_blocks,
                          const int64_t *row_offsets, const int32_t *col_indices, const double *values,
                          const double *h, const double *h_row_sums, double *w, double *w_sum, double *xi,
                          double *row_tallies, double *col_tallies, double *task_sums, double *task_measures,
                          char *error, size_t error_size);

/* The end of sweep `sweep`: new H, its running sum, the column rates and
 * the sums of H's rows, from the column tallies of all the blocks (added
 * up; cleared here) and the task sums of all the tasks, in task order.
 * An automatic plan also takes every task's measure (in task order) and
 * the stopping rule's state, which it updates; both are NULL for a plan
 * with a number of sweeps.  SK_NMF_RUN_FAILED when those sums or H's are
 * inf or NaN. */
int32_t SK_NMF_Sweep_Columns(const SK_NMF_Plan *plan, int64_t sweep, double *col_tallies, const double *task_sums,
                             const double *task_measures, double *h, double *h_sum, double *eta,
                             double *h_row_sums, SK_NMF_Stop *stop, char *error, size_t error_size);

#ifdef __cplusplus
}
#endif

#endif /* SAMPLING_KERNELS_NMF_H */
