// Planted problems: known factors, counts drawn from them, and how well a fit
// recovers them.  The command line's built-in default and the tests use it.
#pragma once

#include <cstdint>
#include <vector>

#include "csr.h"
#include "random.h"

namespace sk_nmf {

int64_t poisson_draw(Rng &rng, double mean);

struct Planted {
  std::vector<double> w, h;  // rows x K, K x cols
  Csr x;
};

// Factors ~ Gamma(factor_shape, rate factor_shape) (mean 1), counts
// Poisson(W H) cell by cell, kept as CSR.
Planted plant(int32_t rows, int32_t cols, int32_t components, double factor_shape, uint64_t seed);

// Components come out in any order: each planted one is matched to a fitted
// one (every permutation for K <= 8, greedily beyond) by the summed cosine
// similarity of W columns and H rows; the mean similarities of the match.
struct Recovery {
  double w = 0, h = 0;
};
Recovery recovery(const std::vector<double> &w_true, const std::vector<double> &h_true,
                  const std::vector<double> &w_fit, const std::vector<double> &h_fit, int32_t rows,
                  int32_t cols, int32_t components);

}  // namespace sk_nmf
