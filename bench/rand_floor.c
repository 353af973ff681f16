/* The floor of the Python benchmark: n bare rand() calls, timed in C so that
 * the interpreter's own cost per call does not count. */
#include <stdint.h>
#include <stdlib.h>

int64_t rand_floor(int64_t n) {
  int64_t sum = 0;
  for (int64_t d = 0; d < n; ++d) sum += rand();
  return sum;
}
