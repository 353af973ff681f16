// A count matrix in compressed sparse rows: the only form the sampler keeps
// its data in, so memory grows with the non-zeros, never with rows x cols.
// Its arrays live in shared pages, which a fit's worker processes map.
#pragma once

#include <cstdint>

#include "shared_memory.h"

namespace sk_nmf {

struct Csr {
  int32_t rows = 0;
  int32_t cols = 0;
  Array<int64_t> offsets{0};  // rows + 1 entries
  Array<int32_t> indices;     // ascending within each row, no repeats
  Array<double> values;       // whole, positive counts

  int64_t nnz() const { return static_cast<int64_t>(indices.size()); }
  double total() const {
    double t = 0;
    for (double v : values) t += v;
    return t;
  }
};

}  // namespace sk_nmf
