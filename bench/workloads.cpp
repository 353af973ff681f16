#include "workloads.h"

#include <cmath>
#include <cstddef>
#include <string>

namespace bench {
namespace {

// splitmix64: small, fast and the same on every platform, unlike the
// standard library's distributions.
class Stream {
 public:
  explicit Stream(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    state_ += 0x9e3779b97f4a7c15ull;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  // Uniform on [0, 1), 53 bits.
  double uniform() { return static_cast<double>(next() >> 11) * 0x1p-53; }
  // Uniform on (0, 1]: never 0, so its logarithm is finite.
  double uniform_open_below() {
    return static_cast<double>((next() >> 11) + 1) * 0x1p-53;
  }

 private:
  uint64_t state_;
};

}  // namespace

const std::vector<WorkloadShape> &standard_workloads() {
  static const std::vector<WorkloadShape> list = [] {
    std::vector<WorkloadShape> l = {
      {"dense_K2_l100", 400, 400, 2, 100.0, 101},
      {"dense_K10_l100", 400, 400, 10, 100.0, 102},
      {"dense_K10_l5", 1000, 1000, 10, 5.0, 103},
      {"dense_K50_l5", 1000, 1000, 50, 5.0, 104},
      {"dense_K200_l5", 600, 600, 200, 5.0, 105},
      {"sparse_K10", 1500, 1500, 10, 0.3, 106},
      {"sparse_K50", 1500, 1500, 50, 0.3, 107},
      {"sparse_K200", 1000, 1000, 200, 0.3, 108},
      // Many components.
      {"large_K500_l20", 200, 200, 500, 20.0, 109},
      {"large_K1000_l50", 100, 100, 1000, 50.0, 110},
      {"large_K1000_l5", 200, 200, 1000, 5.0, 111},
      {"large_K3000_l100", 40, 40, 3000, 100.0, 112},
      // Small calls: one row, one cell.
      {"rows_K20_l5", 1000, 1000, 20, 5.0, 113, Calls::per_row},
      {"cells_K20_l5", 300, 300, 20, 5.0, 114, Calls::per_cell},
      {"cells_K200_l5", 200, 200, 200, 5.0, 115, Calls::per_cell},
    };
    // Counts shaped like real ones, mostly 1s and 2s, over a grid of
    // components and shares of sampled cells.
    uint64_t seed = 200;
    for (const int k : {1, 2, 3, 4, 6, 8, 16})
      for (const int percent : {5, 20, 35, 60, 100})
        l.push_back({"grid_K" + std::to_string(k) + "_p" + std::to_string(percent), 1000, 1000, k,
                     0.0, seed++, Calls::whole, percent / 100.0});
    return l;
  }();
  return list;
}

int64_t draws_for(double count) {
  if (!(count >= 0.5 && count <= 2147483647.0)) return 0;
  return static_cast<int64_t>(std::ceil(count));
}

Workload generate(const WorkloadShape &shape) {
  Workload w;
  w.shape = shape;
  Stream stream(shape.seed);
  const auto rows = static_cast<size_t>(shape.rows);
  const auto cols = static_cast<size_t>(shape.cols);
  const auto k = static_cast<size_t>(shape.components);
  w.counts.resize(rows * cols);
  for (double &c : w.counts) {
    if (shape.share > 0)
      c = stream.uniform() >= shape.share ? 0.0 : stream.uniform() < 0.7 ? 1.0 : 2.0;
    else
      c = std::floor(-shape.mean * std::log(stream.uniform_open_below()));
    const int64_t n = draws_for(c);
    w.draws += n;
    w.sampled_cells += n > 0;
  }
  w.row_factors.resize(rows * k);
  for (double &f : w.row_factors) f = stream.uniform();
  w.col_factors.resize(k * cols);
  for (double &f : w.col_factors) f = stream.uniform();
  if (shape.calls == Calls::per_cell) {
    w.col_factors_by_col.resize(k * cols);
    for (size_t j = 0; j < cols; ++j)
      for (size_t c = 0; c < k; ++c) w.col_factors_by_col[j * k + c] = w.col_factors[c * cols + j];
  }
  return w;
}

}  // namespace bench
