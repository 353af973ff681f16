/*
 * sampling_kernels: the multinomial allocation step of Gibbs samplers for
 * Poisson matrix factorisation.
 *
 * Matrices are dense, row-major arrays of doubles owned by the caller:
 * element (a, b) of a matrix with B columns lies at offset a * B + b.
 * The library keeps no state, takes no lock and never seeds rand(); its only
 * outside services are malloc, free and the process-wide rand() stream.
 *
 * Floating-point environment: the library expects the default, non-trapping
 * one (round to nearest, no exception enabled as a trap) and never changes
 * it.  Some inputs raise exceptions in the arithmetic the results are
 * defined by (NaN weights, infinity times zero, products that overflow), so
 * a host that enables traps, for example with
 * feenableexcept(FE_INVALID | FE_OVERFLOW), gets SIGFPE inside a call.
 */
#ifndef SAMPLING_KERNELS_H
#define SAMPLING_KERNELS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Binary_Search: index of the interval of ascending running sums that holds
 * `target`.
 *
 * `cumulative` holds `length` non-decreasing running sums w0, w0 + w1, ...
 * Entry e >= 1 owns the interval (cumulative[e-1], cumulative[e]]; entry 0
 * owns everything up to and including cumulative[0].  For sorted input and a
 * target that is not NaN the result is the smallest e with
 * target <= cumulative[e], clamped to length - 1; among equal entries the
 * first is chosen.  Whatever the contents (unsorted, NaN) the result lies in
 * [0, length - 1], and the last entry is never read when length >= 2.
 *
 * Bad input: length < 1 or a null `cumulative` returns -1 and reads nothing.
 * Any length up to 2147483647 works.  Reentrant; reads only `cumulative`.
 */
int32_t Binary_Search(const double *cumulative, int32_t length, double target);

/*
 * Multi_Sample: one multinomial allocation pass over a count matrix.
 *
 *   counts       n_rows       x n_cols        read
 *   row_factors  n_rows       x n_components  read
 *   col_factors  n_components x n_cols        read
 *   row_tallies  n_rows       x n_components  1.0 added per draw
 *   col_tallies  n_components x n_cols        1.0 added per draw
 *
 * Cells are visited in row-major order.  A cell whose count c is at least 0.5
 * makes ceil(c) draws; each draw takes one value r from rand(), forms
 * (r / 2147483647.0) * total, where total is the last of the cell's running
 * sums of col_factors[k, j] * row_factors[i, k] (k ascending, every product
 * and sum rounded on its own), picks the component with Binary_Search and
 * adds 1.0 to row_tallies[i, e] and then to col_tallies[e, j].  Tallies are
 * added to, never cleared.  The same rand() stream gives the same tallies to
 * the last bit.  One malloc of n_components * 8 bytes and one free per call;
 * other working memory is on the caller's stack: a call, with the rand(),
 * malloc and free it makes, uses at most 8 KiB below the caller's frame
 * (8,040 bytes measured on x86-64 with glibc 2.36, for n_components from 1
 * to 11,265, dense and sparse counts, once the thread's malloc arena is set
 * up), and no frame grows by more than 4 KiB without touching the pages
 * between (stack-clash protection), so a call that runs out of stack faults
 * on the guard page instead of writing past it.
 *
 * Preconditions: every array holds as many elements as its shape says, no
 * two arrays overlap, and weights are non-negative (other weights, NaN
 * included, give the deterministic results the algorithm defines).
 *
 * Bad input, handled without a draw or a write:
 *   - n_components < 1: nothing happens, nothing is allocated;
 *   - n_rows or n_cols < 1: no cell is visited;
 *   - a count that is NaN, below 0.5 or above 2147483647 (+infinity
 *     included) makes no draw;
 *   - if the scratch array cannot be allocated the call returns at once,
 *     having changed nothing and taken nothing from rand().
 * Offsets are 64-bit, so matrices of 2^31 elements and more are fine.
 *
 * Calls on several threads share only the rand() stream: each call's tallies
 * then depend on timing, and two calls must not share tally arrays.
 */
void Multi_Sample(const double *counts, const double *row_factors,
                  const double *col_factors, double *row_tallies,
                  double *col_tallies, int32_t n_rows, int32_t n_components,
                  int32_t n_cols);

#ifdef __cplusplus
}
#endif

#endif /* SAMPLING_KERNELS_H */
