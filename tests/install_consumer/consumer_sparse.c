/* Uses the installed sparse companion: a 2 x 3 CSR matrix whose zero weights
 * must never be chosen, and a bad one that must be refused untouched. */
#include <stdio.h>

#include <sampling_kernels_sparse.h>

int main(void) {
  const int64_t offsets[] = {0, 1, 3};
  const int32_t indices[] = {2, 0, 1}, unsorted[] = {2, 1, 0};
  const double values[] = {3, 2, 4};
  const double row_factors[] = {0, 1, 1, 0}, col_factors[] = {1, 1, 1, 1, 1, 1};
  double row_tallies[4] = {0}, col_tallies[6] = {0};
  int ok = Multi_Sample_CSR(offsets, indices, values, row_factors, col_factors, row_tallies,
                            col_tallies, 2, 2, 3) == SK_CSR_OK;
  ok = ok && row_tallies[0] == 0 && row_tallies[1] == 3 && row_tallies[2] == 6 &&
       row_tallies[3] == 0 && col_tallies[3 + 2] == 3 && col_tallies[0] == 2 && col_tallies[1] == 4;
  ok = ok && Multi_Sample_CSR(offsets, unsorted, values, row_factors, col_factors, row_tallies,
                              col_tallies, 2, 2, 3) == SK_CSR_INDICES_UNSORTED &&
       row_tallies[1] == 3;
  puts(ok ? "sparse consumer ok" : "sparse consumer FAILED");
  return ok ? 0 : 1;
}
