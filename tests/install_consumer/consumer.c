/* Uses the installed C header and library, built with pkg-config's flags. */
#include <stdio.h>

#include <sampling_kernels.h>

int main(void) {
  const double cumulative[] = {0.5, 0.5, 2};
  double counts[] = {3}, row_factors[] = {0, 1}, col_factors[] = {5, 5};
  double row_tallies[2] = {0}, col_tallies[2] = {0};
  int ok = Binary_Search(cumulative, 3, 1.0) == 2;
  Multi_Sample(counts, row_factors, col_factors, row_tallies, col_tallies, 1, 2, 1);
  ok = ok && row_tallies[0] == 0 && row_tallies[1] == 3 && col_tallies[1] == 3;
  puts(ok ? "pkg-config consumer ok" : "pkg-config consumer FAILED");
  return ok ? 0 : 1;
}
