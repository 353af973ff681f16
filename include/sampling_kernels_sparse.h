/*
 * sampling_kernels_sparse: the allocation pass of sampling_kernels.h over a
 * count matrix in compressed sparse row (CSR) form.
 *
 * Lives in its own library, libsampling_kernels_sparse.so, which needs only
 * libc.so.6 and libsampling_kernels.so.  Factors and tallies are dense,
 * row-major arrays of doubles as in sampling_kernels.h; only the counts are
 * compressed.
 */
#ifndef SAMPLING_KERNELS_SPARSE_H
#define SAMPLING_KERNELS_SPARSE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results of Multi_Sample_CSR.  Every negative result means the call was
 * refused before any draw: no tally changed and nothing was taken from
 * rand(). */
#define SK_CSR_OK 0
/* n_rows or n_cols below 0, or n_components below 1. */
#define SK_CSR_BAD_SHAPE (-1)
/* A null pointer for an array that has elements (row_offsets always has
 * n_rows + 1; col_indices and values have row_offsets[n_rows]). */
#define SK_CSR_NULL_ARRAY (-2)
/* row_offsets[0] is not 0. */
#define SK_CSR_OFFSETS_NOT_FROM_ZERO (-3)
/* row_offsets[i + 1] < row_offsets[i] for some i. */
#define SK_CSR_OFFSETS_DECREASE (-4)
/* A row spans more than n_cols entries, which no valid row can. */
#define SK_CSR_ROW_OVERRUN (-5)
/* A column index below 0 or at least n_cols. */
#define SK_CSR_INDEX_OUT_OF_RANGE (-6)
/* Column indices of a row not in ascending order. */
#define SK_CSR_INDICES_UNSORTED (-7)
/* A column index repeated within a row. */
#define SK_CSR_INDEX_REPEATED (-8)
/* The working memory could not be allocated. */
#define SK_CSR_NO_MEMORY (-9)

/*
 * Multi_Sample_CSR: Multi_Sample over the matrix whose row i holds
 * values[p] at column col_indices[p] for row_offsets[i] <= p <
 * row_offsets[i + 1], and zeros elsewhere.
 *
 *   row_offsets  n_rows + 1                   read, 64-bit
 *   col_indices  row_offsets[n_rows]          read
 *   values       row_offsets[n_rows]          read
 *   row_factors  n_rows       x n_components  read
 *   col_factors  n_components x n_cols        read
 *   row_tallies  n_rows       x n_components  1.0 added per draw
 *   col_tallies  n_components x n_cols        1.0 added per draw
 *
 * Result: the tallies are bit-identical to Multi_Sample on the densified
 * matrix under the same rand() stream, whatever the values (NaN, negative,
 * below 0.5, above 2147483647 or infinite values make no draw, as zeros do)
 * and whatever the starting tallies.
 *
 * Checks, all made before any draw, in this order: the shape, null arrays
 * among row_offsets and the factors and tallies, the offsets (from 0, never
 * decreasing, no row longer than n_cols), null col_indices or values when
 * there are entries, then the column indices of each row in turn (in
 * [0, n_cols), strictly ascending).
 * The first fault found is returned as its negative SK_CSR_* code; nothing is
 * read beyond the arrays as their (checked) offsets describe them, no tally
 * changes and rand() is not called.  An empty matrix returns SK_CSR_OK
 * without allocating.
 *
 * Working memory: one malloc and one free per call, of about
 * 1.25 x n_components x n_cols doubles when the matrix has at least n_cols
 * entries (the column factors, worked on transposed so that a cell's
 * components are adjacent, each column followed by a 16-bit count of its
 * draws per component), and a few KiB otherwise.  Stack use is under 3 KiB.
 *
 * Preconditions as for Multi_Sample: arrays hold what their shapes say and
 * do not overlap.  Calls on several threads share only the rand() stream;
 * two calls must not share tally arrays.
 */
int32_t Multi_Sample_CSR(const int64_t *row_offsets, const int32_t *col_indices,
                         const double *values, const double *row_factors,
                         const double *col_factors, double *row_tallies,
                         double *col_tallies, int32_t n_rows,
                         int32_t n_components, int32_t n_cols);

#ifdef __cplusplus
}
#endif

#endif /* SAMPLING_KERNELS_SPARSE_H */
