// Uses the installed C++ header and library: every unit of a count is
// allocated once, and a zero weight never receives one.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <sampling_kernels.hpp>

int main() {
  std::vector<double> counts{4, 6}, row_factors{1, 0}, col_factors{1, 2, 3, 4};
  std::vector<double> row_tallies(2), col_tallies(4);
  std::srand(3);
  sampling_kernels::multi_sample(counts, row_factors, col_factors, row_tallies, col_tallies, 1, 2, 2);
  const bool ok = row_tallies[0] == 10 && row_tallies[1] == 0 && col_tallies[0] == 4 &&
                  col_tallies[1] == 6 && col_tallies[2] == 0 && col_tallies[3] == 0 && sampling_kernels::binary_search(counts, 5) == 1;
  std::puts(ok ? "cmake consumer ok" : "cmake consumer FAILED");
  return ok ? 0 : 1;
}
