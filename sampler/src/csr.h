// A count matrix in compressed sparse rows: the only form the sampler keeps
// its data in, so memory grows with the non-zeros, never with rows x cols.
#pragma once

#include <cstdint>
#include <vector>

namespace sk_nmf {

struct Csr {
  int32_t rows = 0;
  int32_t cols = 0;
  std::vector<int64_t> offsets{0};  // rows + 1 entries
  std::vector<int32_t> indices;     // ascending within each row, no repeats
  std::vector<double> values;       // whole, positive counts

  int64_t nnz() const { return static_cast<int64_t>(indices.size()); }
  double total() const {
    double t = 0;
    for (double v : values) t += v;
    return t;
  }
};

}  // namespace sk_nmf
