"""Python binding of libsampling_kernels, on ctypes and numpy.

    multi_sample(counts, row_factors, col_factors, row_tallies=None, col_tallies=None)
        -> (row_tallies, col_tallies)
    binary_search(cumulative, target) -> int
    seed(n)   seeds the process-wide rand() stream the library draws from

Every argument is checked before the library is called; bad input raises
ValueError or TypeError naming the argument.  The library is found through
SAMPLING_KERNELS_LIBRARY, then next to this package, then in the source
tree's build directory, then on the system's library path.
"""

import ctypes
import os
import pathlib
import sys

import numpy as np

__all__ = ["multi_sample", "binary_search", "seed", "library_path"]

_LIBRARY_NAME = "libsampling_kernels.so"
_INT32_MAX = 2147483647
_MAX_COUNT = 2147483647.0


def _candidates():
    env = os.environ.get("SAMPLING_KERNELS_LIBRARY")
    if env:
        # An explicit choice is final: a wrong path is an error, not a hint.
        return [env], True
    here = pathlib.Path(__file__).resolve().parent
    return [str(here / _LIBRARY_NAME),
            str(here.parent.parent / "build" / _LIBRARY_NAME),
            _LIBRARY_NAME], False


def _load():
    names, explicit = _candidates()
    if explicit:
        if not os.path.isfile(names[0]):
            raise OSError(f"SAMPLING_KERNELS_LIBRARY names {names[0]!r}, which is not a file")
        return ctypes.CDLL(names[0]), names[0]
    errors = []
    for name in names:
        if os.sep in name and not os.path.isfile(name):
            errors.append(f"{name}: no such file")
            continue
        try:
            return ctypes.CDLL(name), name
        except OSError as e:
            errors.append(str(e))
    raise OSError("cannot find libsampling_kernels.so; set SAMPLING_KERNELS_LIBRARY to its path "
                  "(tried: " + "; ".join(errors) + ")")


_lib, library_path = _load()
_lib.Multi_Sample.argtypes = [ctypes.c_void_p] * 5 + [ctypes.c_int32] * 3
_lib.Multi_Sample.restype = None
_lib.Binary_Search.argtypes = [ctypes.c_void_p, ctypes.c_int32, ctypes.c_double]
_lib.Binary_Search.restype = ctypes.c_int32

# The library takes its draws from libc's rand(); seeding that same stream
# makes results repeat.
_libc = ctypes.CDLL("libc.so.6")
_libc.srand.argtypes = [ctypes.c_uint]
_libc.srand.restype = None


def seed(n):
    """Seed the process-wide rand() stream (libc srand) the library draws from."""
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)):
        raise TypeError(f"seed: n must be an integer, not {type(n).__name__}")
    if not 0 <= int(n) <= 0xFFFFFFFF:
        raise ValueError(f"seed: n must lie in [0, 2**32 - 1], not {n}")
    _libc.srand(int(n))


def _is_sparse(value):
    # scipy is imported only by callers that build sparse matrices.
    module = sys.modules.get("scipy.sparse")
    return module is not None and module.issparse(value)


def _real_array(name, value):
    """The argument as an array of a real dtype (no copy yet)."""
    try:
        array = np.asarray(value)
    except (ValueError, TypeError) as e:
        raise ValueError(f"{name} is not an array of numbers: {e}") from None
    if array.dtype == np.bool_ or not (np.issubdtype(array.dtype, np.integer)
                                       or np.issubdtype(array.dtype, np.floating)):
        raise TypeError(f"{name} must hold real numbers, not dtype {array.dtype}")
    return array


def _matrix(name, value):
    array = _real_array(name, value)
    if array.ndim != 2:
        raise ValueError(f"{name} must be 2-d, not {array.ndim}-d with shape {array.shape}")
    for axis, size in enumerate(array.shape):
        if size > _INT32_MAX:
            raise ValueError(f"{name} has {size} {'rows' if axis == 0 else 'columns'}; "
                             f"dimensions must be below 2**31")
    return array


def _expect_shape(name, array, shape, meaning):
    if array.shape != shape:
        raise ValueError(f"{name} has shape {array.shape}, expected {shape} ({meaning})")


def _tally(name, value, shape, meaning):
    if value is None:
        return None
    if not isinstance(value, np.ndarray):
        raise TypeError(f"{name} must be a numpy.ndarray of float64, not {type(value).__name__}")
    if value.dtype != np.float64:
        raise TypeError(f"{name} must have dtype float64, not {value.dtype}")
    if value.ndim != 2:
        raise ValueError(f"{name} must be 2-d, not {value.ndim}-d with shape {value.shape}")
    _expect_shape(name, value, shape, meaning)
    if not value.flags.c_contiguous:
        raise ValueError(f"{name} must be C-contiguous, since it is added to in place")
    if not value.flags.writeable:
        raise ValueError(f"{name} must be writeable, since it is added to in place")
    return value


def _as_doubles(array):
    return np.ascontiguousarray(array, dtype=np.float64)


def multi_sample(counts, row_factors, col_factors, row_tallies=None, col_tallies=None):
    """One multinomial allocation pass over a count matrix.

    counts (n_rows x n_cols), row_factors (n_rows x K) and col_factors
    (K x n_cols) may have any real dtype and memory order.  Each unit of
    count (i, j) goes to component k with probability proportional to
    row_factors[i, k] * col_factors[k, j] and adds 1.0 to row_tallies[i, k]
    and col_tallies[k, j].  Tallies that are given (float64, C-contiguous,
    writeable) are added to in place; missing ones start at zero.  Returns
    (row_tallies, col_tallies).

    counts may also be any scipy.sparse matrix or array: it is never
    densified, duplicates are summed as scipy sums them, and the tallies are
    those of the dense call (see sampling_kernels._sparse).
    """
    if _is_sparse(counts):
        from . import _sparse
        return _sparse.multi_sample(counts, row_factors, col_factors, row_tallies, col_tallies)
    counts_in = _matrix("counts", counts)
    row_in = _matrix("row_factors", row_factors)
    col_in = _matrix("col_factors", col_factors)
    n_rows, n_cols = counts_in.shape
    n_components = row_in.shape[1]
    if n_components == 0:
        raise ValueError("row_factors has 0 columns; at least one component is needed")
    _expect_shape("row_factors", row_in, (n_rows, n_components), "counts' rows x components")
    _expect_shape("col_factors", col_in, (n_components, n_cols),
                  "row_factors' components x counts' columns")
    row_out = _tally("row_tallies", row_tallies, (n_rows, n_components),
                     "counts' rows x components")
    col_out = _tally("col_tallies", col_tallies, (n_components, n_cols),
                     "components x counts' columns")

    inputs = (("counts", counts_in), ("row_factors", row_in), ("col_factors", col_in))
    given = [(n, t) for n, t in (("row_tallies", row_out), ("col_tallies", col_out)) if t is not None]
    for i, (tally_name, tally) in enumerate(given):
        for other_name, other in inputs + tuple(given[i + 1:]):
            if np.shares_memory(tally, other):
                raise ValueError(f"{tally_name} overlaps {other_name}")

    counts_c = _as_doubles(counts_in)
    with np.errstate(invalid="ignore"):
        if not np.all(np.isfinite(counts_c)):
            raise ValueError("counts must be finite (found NaN or infinity)")
        if np.any(counts_c < 0):
            raise ValueError("counts must not be negative")
        if np.any(counts_c > _MAX_COUNT):
            raise ValueError("counts must not exceed 2147483647")
    row_c = _as_doubles(row_in)
    col_c = _as_doubles(col_in)
    for name, array in (("row_factors", row_c), ("col_factors", col_c)):
        if not np.all(np.isfinite(array)):
            raise ValueError(f"{name} must be finite (found NaN or infinity)")
        if np.any(array < 0):
            raise ValueError(f"{name} must not be negative")

    if row_out is None:
        row_out = np.zeros((n_rows, n_components))
    if col_out is None:
        col_out = np.zeros((n_components, n_cols))
    _lib.Multi_Sample(counts_c.ctypes.data, row_c.ctypes.data, col_c.ctypes.data,
                      row_out.ctypes.data, col_out.ctypes.data,
                      n_rows, n_components, n_cols)
    return row_out, col_out


def binary_search(cumulative, target):
    """Index of the interval of ascending running sums that holds target.

    For sorted cumulative weights and a target that is not NaN this is the
    smallest index e with target <= cumulative[e], clamped to the last index.
    """
    array = _real_array("cumulative", cumulative)
    if array.ndim != 1:
        raise ValueError(f"cumulative must be 1-d, not {array.ndim}-d with shape {array.shape}")
    if array.size == 0:
        raise ValueError("cumulative is empty")
    if array.size > _INT32_MAX:
        raise ValueError(f"cumulative has {array.size} entries; the limit is 2147483647")
    if isinstance(target, (bool, np.bool_)) or not isinstance(target, (int, float, np.integer, np.floating)):
        raise TypeError(f"target must be a real number, not {type(target).__name__}")
    array = _as_doubles(array)
    return int(_lib.Binary_Search(array.ctypes.data, array.size, float(target)))
from .nmf import PoissonNMF  # noqa: E402  (the Gibbs sampler; loads its library on first use)
