"""Python binding of libsampling_kernels, on ctypes and numpy.

Functions
---------
multi_sample(counts, row_factors, col_factors, row_tallies=None, col_tallies=None)
    One multinomial allocation pass; returns ``(row_tallies, col_tallies)``.
binary_search(cumulative, target)
    Index of the interval of ascending running sums that holds ``target``.
seed(n)
    Seeds the process-wide ``rand()`` stream the library draws from.

Every argument is checked before the library is called; bad input raises
``ValueError`` or ``TypeError`` naming the argument.

Calls into the library are serialised by one module-level lock.  Every call
draws from the same process-wide ``rand()`` stream, which libc guards with a
lock of its own, so concurrent calls would gain no speed; the binding's lock
also keeps threads that pass the same tally arrays from losing units in the
library's unsynchronised ``+=``.  Other Python code keeps running while a
call is in progress (the GIL is released).

The library is found through ``SAMPLING_KERNELS_LIBRARY``, then next to this
package (where ``pip install`` puts it), then in the source tree's
``build/`` directory, then on the system's library path.
"""

from __future__ import annotations

import ctypes
import math
import numbers
import threading
from typing import Any, Optional, Tuple
import sys

import numpy as np
import numpy.typing as npt

from ._loader import load_library

__version__ = "0.1.0"

__all__ = ["multi_sample", "binary_search", "seed", "library_path", "PoissonNMF", "__version__"]

_LIBRARY_NAME = "libsampling_kernels.so"
_INT32_MAX = 2147483647
_MAX_COUNT = 2147483647.0
# The bits of the largest count and of the largest finite double, as unsigned
# integers.  For a double with its sign bit clear, the order of its bits is
# the order of its value, and NaN and infinity lie above every finite value;
# a set sign bit lies above them all.  So the largest bits of an array are at
# most these exactly when every element lies in [0, the bound]; -0.0, which
# the checks accept, is the one value they pass that this does not.
_MAX_COUNT_BITS = int(np.array(_MAX_COUNT).view(np.uint64))
_MAX_FINITE_BITS = int(np.array(np.finfo(np.float64).max).view(np.uint64))
# Kinds of dtype taken as real numbers: signed and unsigned integers and
# floats.  Booleans, complex numbers, timedelta64/datetime64 (numpy counts
# timedelta64 among the integers), strings, objects and records are refused.
_REAL_KINDS = "iuf"

# Held for the whole of every library call; see the module docstring.
_call_lock = threading.Lock()


_lib, library_path = load_library(_LIBRARY_NAME, "SAMPLING_KERNELS_LIBRARY", "")
_lib.Multi_Sample.argtypes = [ctypes.c_void_p] * 5 + [ctypes.c_int32] * 3
_lib.Multi_Sample.restype = None
_lib.Binary_Search.argtypes = [ctypes.c_void_p, ctypes.c_int32, ctypes.c_double]
_lib.Binary_Search.restype = ctypes.c_int32

# The library takes its draws from libc's rand(); seeding that same stream
# makes results repeat.
_libc = ctypes.CDLL("libc.so.6")
_libc.srand.argtypes = [ctypes.c_uint]
_libc.srand.restype = None


def seed(n: int) -> None:
    """Seed the process-wide ``rand()`` stream the library draws from.

    Parameters
    ----------
    n : int
        The seed, passed to libc's ``srand``; an integer in [0, 2**32 - 1].

    Raises
    ------
    TypeError
        If `n` is not an integer (bools are refused).
    ValueError
        If `n` lies outside [0, 2**32 - 1].

    Notes
    -----
    The stream is shared by the whole process: other code that calls
    ``rand()`` moves it too.
    """
    if isinstance(n, (bool, np.bool_)) or not isinstance(n, numbers.Integral):
        raise TypeError(f"seed: n must be an integer, not {type(n).__name__}")
    if not 0 <= int(n) <= 0xFFFFFFFF:
        raise ValueError(f"seed: n must lie in [0, 2**32 - 1], not {n}")
    with _call_lock:
        _libc.srand(int(n))


def _is_sparse(value: Any) -> bool:
    # scipy is imported only by callers that build sparse matrices.
    module = sys.modules.get("scipy.sparse")
    return module is not None and bool(module.issparse(value))


def _real_array(name: str, value: Any) -> np.ndarray:
    """The argument as an array of a real dtype (no copy yet)."""
    if isinstance(value, np.ma.MaskedArray):
        # np.asarray would drop the mask and sample the hidden values.
        raise TypeError(f"{name} must not be a masked array; fill it first (e.g. .filled(0))")
    try:
        array = np.asarray(value)
    except (ValueError, TypeError, OverflowError) as e:
        raise ValueError(f"{name} is not an array of numbers: {e}") from None
    if array.dtype.kind not in _REAL_KINDS:
        raise TypeError(f"{name} must hold real numbers, not dtype {array.dtype}")
    return array


def _matrix(name: str, value: Any) -> np.ndarray:
    array = _real_array(name, value)
    if array.ndim != 2:
        raise ValueError(f"{name} must be 2-d, not {array.ndim}-d with shape {array.shape}")
    for axis, size in enumerate(array.shape):
        if size > _INT32_MAX:
            raise ValueError(f"{name} has {size} {'rows' if axis == 0 else 'columns'}; "
                             f"dimensions must be below 2**31")
    return array


def _expect_shape(name: str, array: np.ndarray, shape: Tuple[int, int], meaning: str) -> None:
    if array.shape != shape:
        raise ValueError(f"{name} has shape {array.shape}, expected {shape} ({meaning})")


def _tally(name: str, value: Optional[np.ndarray], shape: Tuple[int, int],
           meaning: str) -> Optional[np.ndarray]:
    if value is None:
        return None
    if not isinstance(value, np.ndarray) or isinstance(value, np.ma.MaskedArray):
        raise TypeError(f"{name} must be a numpy.ndarray of float64, not {type(value).__name__}")
    if value.dtype != np.float64:
        raise TypeError(f"{name} must have dtype float64, not {value.dtype}")
    if value.ndim != 2:
        raise ValueError(f"{name} must be 2-d, not {value.ndim}-d with shape {value.shape}")
    _expect_shape(name, value, shape, meaning)
    if not value.flags.c_contiguous:
        raise ValueError(f"{name} must be C-contiguous, since it is added to in place")
    if not value.flags.aligned:
        raise ValueError(f"{name} must be aligned for float64, since the library writes doubles")
    if not value.flags.writeable:
        raise ValueError(f"{name} must be writeable, since it is added to in place")
    return value


def _as_doubles(array: np.ndarray) -> np.ndarray:
    # Aligned as well as contiguous: a view into a byte buffer may be neither.
    return np.require(array, dtype=np.float64, requirements=["C", "A"])


def _within(array: np.ndarray, largest_bits: int) -> bool:
    """Whether every element of a contiguous float64 array is known to lie in
    [0, the bound whose bits are given]: one pass, no temporary.  False means
    the checks that name a fault must look."""
    return array.size == 0 or int(array.reshape(-1).view(np.uint64).max()) <= largest_bits


def _factors_and_tallies(n_rows: int, n_cols: int, counts_arrays: Tuple[np.ndarray, ...],
                         count_values: np.ndarray, row_factors: Any, col_factors: Any,
                         row_tallies: Optional[np.ndarray], col_tallies: Optional[np.ndarray]
                         ) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Everything multi_sample checks beyond the counts' shape, for dense and
    sparse counts alike: factor shapes, tallies, overlaps, count and factor
    values.  Returns the factors as float64 and the tallies to add to."""
    row_in = _matrix("row_factors", row_factors)
    col_in = _matrix("col_factors", col_factors)
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

    inputs = tuple(("counts", a) for a in counts_arrays) + (("row_factors", row_in),
                                                           ("col_factors", col_in))
    given = [(n, t) for n, t in (("row_tallies", row_out), ("col_tallies", col_out)) if t is not None]
    for i, (tally_name, tally) in enumerate(given):
        for other_name, other in inputs + tuple(given[i + 1:]):
            if np.shares_memory(tally, other):
                raise ValueError(f"{tally_name} overlaps {other_name}")

    if not _within(count_values, _MAX_COUNT_BITS):
        with np.errstate(invalid="ignore"):
            if not np.all(np.isfinite(count_values)):
                raise ValueError("counts must be finite (found NaN or infinity)")
            if np.any(count_values < 0):
                raise ValueError("counts must not be negative")
            if np.any(count_values > _MAX_COUNT):
                raise ValueError("counts must not exceed 2147483647")
    row_c = _as_doubles(row_in)
    col_c = _as_doubles(col_in)
    for name, array in (("row_factors", row_c), ("col_factors", col_c)):
        if _within(array, _MAX_FINITE_BITS):
            continue
        if not np.all(np.isfinite(array)):
            raise ValueError(f"{name} must be finite (found NaN or infinity)")
        if np.any(array < 0):
            raise ValueError(f"{name} must not be negative")

    if row_out is None:
        row_out = np.zeros((n_rows, n_components))
    if col_out is None:
        col_out = np.zeros((n_components, n_cols))
    return row_c, col_c, row_out, col_out


def multi_sample(counts: npt.ArrayLike, row_factors: npt.ArrayLike, col_factors: npt.ArrayLike,
                 row_tallies: Optional[np.ndarray] = None,
                 col_tallies: Optional[np.ndarray] = None) -> Tuple[np.ndarray, np.ndarray]:
    """One multinomial allocation pass over a count matrix.

    Each unit of count ``(i, j)`` goes to component ``k`` with probability
    proportional to ``row_factors[i, k] * col_factors[k, j]`` and adds 1.0
    to ``row_tallies[i, k]`` and ``col_tallies[k, j]``.  A count ``c`` makes
    ``ceil(c)`` draws when ``c >= 0.5`` and none below.  The draws come from
    the process-wide ``rand()`` stream (see `seed`), one per unit, cells in
    row-major order, so the result is bit-identical to the C library's.

    Parameters
    ----------
    counts : array_like or scipy.sparse matrix or array, shape (n_rows, n_cols)
        Counts of any real dtype and memory order; finite, in
        [0, 2147483647].  A scipy.sparse matrix or array of any format is
        never densified: duplicates are summed as scipy sums them and the
        whole pass is one call of the sparse companion library, with the
        tallies of the dense call on the same matrix.
    row_factors : array_like, shape (n_rows, n_components)
        Non-negative, finite weights; ``n_components >= 1``.
    col_factors : array_like, shape (n_components, n_cols)
        Non-negative, finite weights.
    row_tallies : numpy.ndarray of float64, shape (n_rows, n_components), optional
        Added to in place; must be C-contiguous, aligned and writeable.
        A new zero array when omitted.
    col_tallies : numpy.ndarray of float64, shape (n_components, n_cols), optional
        As `row_tallies`.

    Returns
    -------
    row_tallies : numpy.ndarray of float64, shape (n_rows, n_components)
        The given array (or a new one) with this pass's units added.
    col_tallies : numpy.ndarray of float64, shape (n_components, n_cols)
        Likewise.

    Raises
    ------
    TypeError
        If an argument's dtype is not real (bool, complex, timedelta64,
        datetime64, strings, objects), an argument is a masked array, or a
        tally is not a float64 numpy.ndarray.
    ValueError
        If an argument is not 2-d or cannot be read as numbers, shapes
        disagree, there are no components, a dimension is 2**31 or more,
        a count is NaN, infinite, negative or above 2147483647, a factor is
        negative or not finite, a tally is not C-contiguous, aligned and
        writeable, or a tally shares memory with another argument.
    MemoryError
        If the converted inputs or new tallies cannot be allocated.

    Notes
    -----
    Every check runs before the library is called: on an error no tally has
    changed and the ``rand()`` stream has not moved.  Calls hold the
    module's lock, so threads may share tallies without losing units.

    Examples
    --------
    >>> import numpy as np, sampling_kernels as sk
    >>> sk.seed(1)
    >>> rows, cols = sk.multi_sample([[3, 0], [1, 5]], np.ones((2, 3)), np.ones((3, 2)))
    >>> rows.sum(axis=1)
    array([3., 6.])
    """
    if _is_sparse(counts):
        from . import _sparse
        return _sparse.multi_sample(counts, row_factors, col_factors, row_tallies, col_tallies)
    counts_in = _matrix("counts", counts)
    n_rows, n_cols = counts_in.shape
    counts_c = _as_doubles(counts_in)
    row_c, col_c, row_out, col_out = _factors_and_tallies(
        n_rows, n_cols, (counts_in,), counts_c, row_factors, col_factors, row_tallies, col_tallies)
    n_components = row_c.shape[1]
    with _call_lock:
        _lib.Multi_Sample(counts_c.ctypes.data, row_c.ctypes.data, col_c.ctypes.data,
                          row_out.ctypes.data, col_out.ctypes.data,
                          n_rows, n_components, n_cols)
    return row_out, col_out


def _target(value: Any) -> float:
    """`target` as a double: any real scalar (or 0-d real array)."""
    if isinstance(value, np.ndarray) and value.ndim == 0:
        value = value[()]
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"target must be a real number, not {type(value).__name__}")
    if isinstance(value, np.timedelta64) or isinstance(value, np.datetime64):
        raise TypeError(f"target must be a real number, not {type(value).__name__}")
    try:
        result = float(value)
    except OverflowError:
        result = None  # an integer or fraction beyond the largest double
    if result is None or (math.isinf(result) and isinstance(value, np.floating)
                          and np.isfinite(value)):
        # A long double past the double range would otherwise become inf.
        raise ValueError(f"target {value} does not fit in a double")
    return result


def binary_search(cumulative: npt.ArrayLike, target: float) -> int:
    """Index of the interval of ascending running sums that holds `target`.

    Parameters
    ----------
    cumulative : array_like, shape (length,)
        Non-decreasing running sums of non-negative weights, any real dtype;
        1 <= length <= 2147483647.  Unsorted or NaN entries are allowed and
        give the deterministic result the library defines.
    target : real number
        The value to place (Python or numpy int or float, or a 0-d real
        array); NaN is allowed.

    Returns
    -------
    int
        For sorted `cumulative` and a target that is not NaN, the smallest
        ``e`` with ``target <= cumulative[e]``, clamped to ``length - 1``.
        Always in [0, length - 1].

    Raises
    ------
    TypeError
        If `cumulative` does not hold real numbers or `target` is not a real
        number.
    ValueError
        If `cumulative` is not 1-d, is empty, has 2**31 entries or more, or
        cannot be read as numbers, or if `target` is too large for a double.

    Examples
    --------
    >>> import sampling_kernels as sk
    >>> sk.binary_search([1.0, 2.0, 4.0], 3.0)
    2
    """
    array = _real_array("cumulative", cumulative)
    if array.ndim != 1:
        raise ValueError(f"cumulative must be 1-d, not {array.ndim}-d with shape {array.shape}")
    if array.size == 0:
        raise ValueError("cumulative is empty")
    if array.size > _INT32_MAX:
        raise ValueError(f"cumulative has {array.size} entries; the limit is 2147483647")
    value = _target(target)
    array = _as_doubles(array)
    with _call_lock:
        return int(_lib.Binary_Search(array.ctypes.data, array.size, value))


from .nmf import PoissonNMF  # noqa: E402  (the Gibbs sampler; loads its library on first use)
