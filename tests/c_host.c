/* A C host: the header compiles as C99 and the library links without C++. */
#include <stdio.h>

#include "sampling_kernels.h"

int main(void) {
  const double cumulative[] = {1, 2, 3, 4, 5};
  double counts[] = {2}, row_factors[] = {1, 3}, col_factors[] = {1, 1};
  double row_tallies[] = {0, 0}, col_tallies[] = {0, 0};
  int ok = Binary_Search(cumulative, 5, 2.5) == 2 &&
           Binary_Search(cumulative, 0, 2.5) == -1;
  Multi_Sample(counts, row_factors, col_factors, row_tallies, col_tallies, 1, 2, 1);
  ok = ok && row_tallies[0] + row_tallies[1] == 2 && col_tallies[0] + col_tallies[1] == 2;
  puts(ok ? "c host ok" : "c host FAILED");
  return ok ? 0 : 1;
}
