// The allocation step on CSR counts, through the sparse companion library:
// the same rand() draws and the same tallies as the dense call would give on
// the densified matrix.
#include <string>

#include "errors.h"
#include "model.h"
#include "sampling_kernels_sparse.h"

namespace sk_nmf {

void allocate_csr(const CsrView &x, const double *w, const double *h, double *a, double *b, int32_t components) {
  const int32_t status = Multi_Sample_CSR(x.offsets, x.indices, x.values, w, h, a, b,
                                          x.rows, components, x.cols);
  if (status == SK_CSR_NO_MEMORY) {
    out_of_memory(static_cast<double>(components) * x.cols * kCsrWorkingBytesPerEntry,
                  "the allocation step's working copy of H");
  }
  // Every other refusal is a fault in the sampler's own CSR.
  if (status != SK_CSR_OK) throw Error("the allocation step refused the counts (code " + std::to_string(status) + ")");
}

}  // namespace sk_nmf
