"""multi_sample for scipy.sparse counts, through libsampling_kernels_sparse.

Imported only when counts are a scipy.sparse matrix or array, so scipy stays
optional.  Any format is accepted; it is brought to canonical CSR (indices
sorted within rows, duplicates summed as scipy sums them) without touching
the caller's matrix and without densifying, and the whole pass is one call
of Multi_Sample_CSR.  The tallies are those of the dense call on the same
(summed) matrix for the same rand() stream.

The companion library is found through SAMPLING_KERNELS_SPARSE_LIBRARY, then
next to the library this package loaded, next to this package, in the
source tree's build directory, and on the system's library path.
"""

import ctypes
import os
import pathlib

import numpy as np

import sampling_kernels as _package
from ._loader import load_library

_LIBRARY_NAME = "libsampling_kernels_sparse.so"

# Multi_Sample_CSR's results (sampling_kernels_sparse.h).
_MESSAGES = {
    -1: "bad shape",
    -2: "a null array",
    -3: "row offsets do not start at 0",
    -4: "row offsets decrease",
    -5: "a row longer than the number of columns",
    -6: "a column index out of range",
    -7: "column indices not ascending within a row",
    -8: "a column index repeated within a row",
}
_NO_MEMORY = -9


# Next to the library the package loaded first, so that the two match.
_lib, library_path = load_library(
    _LIBRARY_NAME, "SAMPLING_KERNELS_SPARSE_LIBRARY", ", needed for sparse counts",
    first=[pathlib.Path(_package.library_path).resolve().parent]
    if os.sep in _package.library_path else [])
_lib.Multi_Sample_CSR.argtypes = [ctypes.c_void_p] * 7 + [ctypes.c_int32] * 3
_lib.Multi_Sample_CSR.restype = ctypes.c_int32


def _canonical_csr(counts):
    """counts as CSR with sorted, distinct indices per row; never the caller's object
    if that would have to change."""
    if len(counts.shape) != 2:
        raise ValueError(f"counts must be 2-d, not {len(counts.shape)}-d with shape {counts.shape}")
    dtype = np.dtype(counts.dtype)
    if dtype.kind not in _package._REAL_KINDS:
        raise TypeError(f"counts must hold real numbers, not dtype {dtype}")
    csr = counts.tocsr()
    if not csr.has_canonical_format:
        if csr is counts:
            csr = csr.copy()
        csr.sum_duplicates()  # sorts the indices too
    return csr


def multi_sample(counts, row_factors, col_factors, row_tallies=None, col_tallies=None):
    """multi_sample for scipy.sparse counts; arguments as for the dense call."""
    csr = _canonical_csr(counts)
    n_rows, n_cols = csr.shape
    for axis, size in enumerate(csr.shape):
        if size > _package._INT32_MAX:
            raise ValueError(f"counts has {size} {'rows' if axis == 0 else 'columns'}; "
                             f"dimensions must be below 2**31")
    values = np.ascontiguousarray(csr.data, dtype=np.float64)
    # Indices are below n_cols < 2**31, offsets at most nnz: both convert exactly.
    indices = np.ascontiguousarray(csr.indices, dtype=np.int32)
    offsets = np.ascontiguousarray(csr.indptr, dtype=np.int64)
    row_c, col_c, row_out, col_out = _package._factors_and_tallies(
        n_rows, n_cols, (values, indices, offsets), values, row_factors, col_factors,
        row_tallies, col_tallies)
    n_components = row_c.shape[1]
    with _package._call_lock:
        status = _lib.Multi_Sample_CSR(offsets.ctypes.data, indices.ctypes.data,
                                       values.ctypes.data, row_c.ctypes.data, col_c.ctypes.data,
                                       row_out.ctypes.data, col_out.ctypes.data,
                                       n_rows, n_components, n_cols)
    if status == _NO_MEMORY:
        raise MemoryError("Multi_Sample_CSR could not allocate its working memory")
    if status != 0:
        # The checks above make this unreachable; say what the library saw.
        raise ValueError("counts: the library refused the CSR structure: "
                         + _MESSAGES.get(status, f"code {status}"))
    return row_out, col_out
