// The allocation step on CSR counts.
#include <vector>

#include "model.h"
#include "sampling_kernels.h"

namespace sk_nmf {

// Interim: the dense call once per row on the row's gathered cells, which
// draws the same rand() values in the same order as the dense call on the
// densified matrix.
void allocate_csr(const Csr &x, const double *w, const double *h, double *a, double *b, int32_t components) {
  const auto K = static_cast<size_t>(components);
  const auto C = static_cast<size_t>(x.cols);
  std::vector<double> hg, bg;
  for (int32_t i = 0; i < x.rows; ++i) {
    const auto begin = x.offsets[static_cast<size_t>(i)], end = x.offsets[static_cast<size_t>(i) + 1];
    const auto n = static_cast<size_t>(end - begin);
    if (n == 0) continue;
    hg.resize(K * n);
    bg.resize(K * n);
    const int32_t *cols = &x.indices[static_cast<size_t>(begin)];
    for (size_t k = 0; k < K; ++k)
      for (size_t t = 0; t < n; ++t) {
        hg[k * n + t] = h[k * C + static_cast<size_t>(cols[t])];
        bg[k * n + t] = b[k * C + static_cast<size_t>(cols[t])];
      }
    Multi_Sample(&x.values[static_cast<size_t>(begin)], w + static_cast<size_t>(i) * K, hg.data(),
                 a + static_cast<size_t>(i) * K, bg.data(), 1, components, static_cast<int32_t>(n));
    for (size_t k = 0; k < K; ++k)
      for (size_t t = 0; t < n; ++t) b[k * C + static_cast<size_t>(cols[t])] = bg[k * n + t];
  }
}

}  // namespace sk_nmf
