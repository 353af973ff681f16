"""The Poisson NMF sampler on a Dask cluster: ``DaskPoissonNMF``.

The fit is cut as on one machine: rows in fixed blocks, each with a
``rand()`` stream of its own in every sweep, so the result does not depend
on where a block runs.  The counts and each piece's W, its running sum and
the row rates stay in their worker's memory and are updated there in place,
and so do H, its running sum and the column rates, on the worker of the
first piece.  Per sweep a task a piece sweeps it with the current H and
gives its column tallies (whole numbers, summed in any order) and its sums
of W; one task on the column state's worker adds them up and draws H, which
the next sweep's pieces fetch.  The sweeps up to the next saved state go to
the scheduler at once, so the client is off a sweep's path.  The client
keeps the whole state every ``checkpoint_every`` sweeps; a lost worker sends
the fit back to it, with its pieces made again from X on the workers left.
With the same seed and options the fit is identical, bit for bit, to
``PoissonNMF(..., n_jobs=1)`` on the same matrix, whatever the number of
workers, their threads and the chunking of X.

Requires ``distributed`` (Debian: python3-distributed); imported only here.
"""

from __future__ import annotations

import contextlib
import ctypes
import hashlib
import json
import math
import os
import sys
import tempfile
import threading
import time
import uuid
import warnings

import numpy as np

import sampling_kernels as _package
from . import nmf as _nmf

__all__ = ["DaskPoissonNMF"]

_P = ctypes.c_void_p
_AUTO_WINDOW = 20  # the sweeps between the points where n_sweeps="auto" may level off


class _Plan(ctypes.Structure):
    _fields_ = [("n_rows", ctypes.c_int32), ("n_cols", ctypes.c_int32), ("n_components", ctypes.c_int32),
                ("nnz", ctypes.c_int64), ("total", ctypes.c_double), ("n_sweeps", ctypes.c_int64),
                ("burn_in", ctypes.c_int64), ("shape", ctypes.c_double), ("rate", ctypes.c_double),
                ("seed", ctypes.c_uint32), ("background", ctypes.c_int32), ("background_shape", ctypes.c_double),
                ("block_rows", ctypes.c_int32), ("n_blocks", ctypes.c_int32),
                ("n_tasks", ctypes.c_int32), ("n_column_blocks", ctypes.c_int32), ("burn_in_sweeps", ctypes.c_int64),
                ("n_factors", ctypes.c_int32)]


class _Stop(ctypes.Structure):
    """SK_NMF_Stop: the stopping rule's state of a fit with n_sweeps="auto"."""
    _fields_ = [("measure", ctypes.c_double), ("window_sum", ctypes.c_double), ("last_window", ctypes.c_double),
                ("levelled", ctypes.c_int64)]


def _auto_plan(rule, burn):
    """The stop and burn-in of a fit with n_sweeps="auto" and burn_in `burn` (-1: the rule's), from its rule's
    state (as SK_NMF_Stop says); None until the rule levels off."""
    levelled = int(rule[3])
    if levelled < 0:
        return None
    burn_in = burn if burn >= 0 else levelled
    return 2 * max(levelled, burn_in), burn_in


def _stop_start():
    """The rule's state at a fit's start, as saved: measure, window sum, last window's mean, levelled."""
    return np.array([np.nan, 0.0, np.nan, -1.0])


def _library():
    lib = _nmf._library()
    if not getattr(lib, "_pieces_typed", False):
        plan, err = ctypes.POINTER(_Plan), [ctypes.c_char_p, ctypes.c_size_t]
        lib.SK_NMF_Plan_Fit.argtypes = [plan] + err
        lib.SK_NMF_Start_Rows.argtypes = [plan, ctypes.c_int32, ctypes.c_int32, _P, _P] + err
        lib.SK_NMF_Start_Columns.argtypes = [plan, _P, _P, _P] + err
        lib.SK_NMF_Sweep_Rows.argtypes = [plan, ctypes.c_int64, ctypes.c_int32, ctypes.c_int32] + [_P] * 12 + err
        lib.SK_NMF_Sweep_Columns.argtypes = [plan, ctypes.c_int64] + [_P] * 8 + err
        for f in ("SK_NMF_Plan_Fit", "SK_NMF_Start_Rows", "SK_NMF_Start_Columns", "SK_NMF_Sweep_Rows",
                  "SK_NMF_Sweep_Columns"):
            getattr(lib, f).restype = ctypes.c_int32
        lib._pieces_typed = True
    return lib


_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3  # mallopt()'s parameters in glibc's malloc.h
_REUSED_MMAP_BYTES, _REUSED_TRIM_BYTES = 32 << 20, 64 << 20


def _reuse_freed_memory():
    """Lets this worker process reuse the memory a sweep frees, as glibc does by default.

    Dask's nanny starts its workers with MALLOC_TRIM_THRESHOLD_=65536, which also fixes glibc's mmap threshold
    at 128 KiB.  Each row block's working memory (the allocation step's copy of H, a sweep's tallies) was then
    mapped, faulted in and handed back anew every time: about 37,000 page faults a sweep per worker on a
    200,000 x 20,000 matrix, and a third of a 2-worker fit's time.  The two limits are set to the ceilings
    glibc's own adaptive rule reaches (32 and 64 MiB).
    """
    mallopt = _package._libc.mallopt
    mallopt.argtypes, mallopt.restype = [ctypes.c_int, ctypes.c_int], ctypes.c_int
    mallopt(_M_MMAP_THRESHOLD, _REUSED_MMAP_BYTES)
    mallopt(_M_TRIM_THRESHOLD, _REUSED_TRIM_BYTES)


def _call(name, *args):
    error = ctypes.create_string_buffer(512)
    with _package._call_lock:  # one rand() stream per process: one piece at a time
        status = getattr(_library(), name)(*args, error, len(error))
    if status == -2:
        raise MemoryError(error.value.decode(errors="replace"))
    if status == -3:  # the fit itself went wrong, not its input
        raise RuntimeError(error.value.decode(errors="replace"))
    if status < 0:
        raise ValueError(error.value.decode(errors="replace"))


def _ptr(a):
    return a.ctypes.data


def _plan_from(fields):
    plan = _Plan(**fields)
    _call("SK_NMF_Plan_Fit", ctypes.byref(plan))
    return plan


# ---- what runs on the workers ---------------------------------------------

def _chunk_csr(block, name):
    """A chunk of X as checked canonical CSR (offsets, indices, values), and its summary."""
    counts = _nmf._as_csr(block, name)
    v = counts.values
    return counts, {"rows": counts.shape[0], "cols": counts.shape[1], "nnz": int(v.size),
                    "total": float(v.sum()) if v.size else 0.0}


def _checked_chunk(block, name):
    try:
        counts, summary = _chunk_csr(block, name)
    except ValueError as e:
        return None, {"error": str(e)}
    return counts, summary


def _summary_of(checked_chunk):
    return checked_chunk[1]


def _chunk_futures(client, X):
    """Futures of X's row chunks, each checked and made canonical CSR on a worker: (counts, summary)."""
    if isinstance(X, (list, tuple)):
        # Sent straight to the workers (through the scheduler, as task
        # arguments, they take seconds a block); a lost one is sent again.
        blocks = client.scatter(list(X), hash=False)
        return [client.submit(_checked_chunk, b, f"X[{n}]", pure=False) for n, b in enumerate(blocks)]
    return [client.compute(_delayed_checked(d, f"X (row chunk {n})")) for n, d in enumerate(X.to_delayed().ravel())]


def _piece_rows(first_block, n_blocks, block_rows, rows):
    """The rows [lo, hi) of the piece of blocks first_block, ..., first_block + n_blocks - 1."""
    return first_block * block_rows, min((first_block + n_blocks) * block_rows, rows)


def _piece_futures(client, chunk_futures, chunk_rows, pieces, block_rows, rows):
    """Futures of the pieces' counts, each cut from the chunks it overlaps."""
    starts = np.concatenate([[0], np.cumsum(chunk_rows)])
    futures = []
    for first, n in pieces:
        lo, hi = _piece_rows(first, n, block_rows, rows)
        # Cut on the chunks' workers: only the piece's rows travel.
        parts = [client.submit(_chunk_part, chunk_futures[c], max(lo - starts[c], 0),
                               min(hi, starts[c + 1]) - starts[c], pure=False)
                 for c in range(len(chunk_rows)) if starts[c] < hi and starts[c + 1] > lo]
        futures.append(client.submit(_piece_of, first, n, *parts, pure=False))
    return futures


class _Piece:
    """The counts of whole row blocks of the fit, as CSR."""

    def __init__(self, first_block, n_blocks, offsets, indices, values):
        self.first_block, self.n_blocks = first_block, n_blocks
        self.offsets, self.indices, self.values = offsets, indices, values


def _rows_of(offsets, indices, values, lo, hi):
    """The rows [lo, hi) of CSR arrays: their offsets from 0, and views of their indices and values."""
    return {"offsets": offsets[lo:hi + 1] - offsets[lo], "indices": indices[offsets[lo]:offsets[hi]],
            "values": values[offsets[lo]:offsets[hi]]}


def _chunk_part(checked_chunk, lo, hi):
    counts = checked_chunk[0]
    return _rows_of(counts.offsets, counts.indices, counts.values, lo, hi)


def _piece_of(first_block, n_blocks, *parts):
    """The counts of blocks first_block, ..., first_block + n_blocks - 1 from the parts of rows that make them."""
    ends = np.cumsum([0] + [p["offsets"][-1] for p in parts[:-1]])
    offsets = np.concatenate([[0]] + [p["offsets"][1:] + e for p, e in zip(parts, ends)]).astype(np.int64)
    indices, values = (np.concatenate([p[n] for p in parts]) for n in ("indices", "values"))
    return _Piece(first_block, n_blocks, offsets, indices, values)


def _block_summaries(piece, plan_fields):
    """Each block's digest, what a checkpoint was made from whatever the pieces, and its cost in a sweep."""
    plan = _plan_from(plan_fields)
    out = []
    for b in range(piece.first_block, piece.first_block + piece.n_blocks):
        lo = b * plan.block_rows - piece.first_block * plan.block_rows
        hi = min(lo + plan.block_rows, len(piece.offsets) - 1)
        o = piece.offsets
        h = hashlib.blake2b(digest_size=16)
        for part in (o[lo:hi + 1] - o[lo], piece.indices[o[lo]:o[hi]], piece.values[o[lo]:o[hi]]):
            h.update(np.ascontiguousarray(part).tobytes())
        values = piece.values[o[lo]:o[hi]]
        # A sweep's work on a block, roughly: a cell's products and a count's draw cost about the same.
        out.append((h.digest(), float(values.size + values.sum() + (hi - lo))))
    return out


# A piece's state (W, its running sum and the row rates) lives in its
# worker's memory from its start to the end of the fit, and each sweep updates
# it in place: a sweep's task takes H and gives back only the piece's tallies
# and sums.  The pieces of one fit are keyed by (fit, generation, piece); a
# fit that goes back to a saved state starts a new generation, so a state
# left on a worker from before can never be taken for the current one.

class _PieceState:
    def __init__(self, counts, plan_fields, w, w_sum, xi, sweep):
        self.counts, self.plan = counts, _plan_from(plan_fields)
        self.w, self.w_sum, self.xi, self.sweep = w, w_sum, xi, sweep
        self.row_tallies = np.zeros_like(w)
        self.lock = threading.Lock()
        self.busy, self.busy_sweeps = 0.0, 0  # seconds in the sweeps since the client last asked


def _worker_pieces():
    """This worker's piece states, kept on the worker object itself."""
    worker = _distributed().get_worker()
    pieces = getattr(worker, "_sampling_kernels_pieces", None)
    if pieces is None:
        pieces = worker._sampling_kernels_pieces = {}
    return worker, pieces


def _start_piece(piece, plan_fields, key, saved):
    """Keeps the state of a piece on this worker (a saved one, or the fit's start); returns the worker's address."""
    plan = _plan_from(plan_fields)
    rows, k = len(piece.offsets) - 1, plan.n_factors
    if saved["w"] is not None:
        state = _PieceState(piece, plan_fields, saved["w"].copy(), saved["w_sum"].copy(), saved["xi"].copy(),
                            saved["sweep"])
    else:
        w, xi = np.empty((rows, k)), np.empty(rows)
        _call("SK_NMF_Start_Rows", ctypes.byref(plan), piece.first_block, piece.n_blocks, _ptr(w), _ptr(xi))
        state = _PieceState(piece, plan_fields, w, np.zeros((rows, k)), xi, 0)
    worker, pieces = _worker_pieces()
    _reuse_freed_memory()
    pieces[key] = state
    return worker.address


def _held(key):
    state = _worker_pieces()[1].get(key)
    if state is None:  # the task ran on a worker that does not hold the piece: its own went away
        raise _LostState(f"piece {key[2]} is not on this worker")
    return state


def _at_sweep(state, key, sweep):
    if state.sweep != sweep:
        raise _LostState(f"piece {key[2]} holds sweep {state.sweep}, not {sweep}")
    return state


def _held_state(key, sweep):
    return _at_sweep(_held(key), key, sweep)


def _sweep_piece(key, sweep, columns, *after):
    """Sweep `sweep` of a held piece, in place, given (H, its row sums): its column tallies and sums of W per task.
    It runs after the tasks `after`, which read the state it changes."""
    h, h_row_sums, clear_sums = columns
    state = _held(key)
    with state.lock:
        _at_sweep(state, key, sweep)
        if clear_sums:  # the burn-in ended with the last sweep
            state.w_sum[:] = 0.0
        plan, counts = state.plan, state.counts
        rows = len(counts.offsets) - 1
        first_task = counts.first_block * plan.block_rows // 1024
        tasks = -(-(counts.first_block * plan.block_rows + rows) // 1024) - first_task
        tallies, task_sums = np.zeros((plan.n_factors, plan.n_cols)), np.zeros((tasks, plan.n_factors))
        task_measures = np.zeros(tasks)
        state.sweep = -1  # a sweep that fails part way leaves no state to go on from
        started = time.perf_counter()
        _call("SK_NMF_Sweep_Rows", ctypes.byref(plan), sweep, counts.first_block, counts.n_blocks,
              _ptr(counts.offsets), _ptr(counts.indices), _ptr(counts.values), _ptr(h), _ptr(h_row_sums),
              _ptr(state.w), _ptr(state.w_sum), _ptr(state.xi), _ptr(state.row_tallies), _ptr(tallies),
              _ptr(task_sums), _ptr(task_measures))
        state.busy += time.perf_counter() - started
        state.busy_sweeps += 1
        state.sweep = sweep + 1
    return tallies, task_sums, task_measures


def _piece_load(key, sweep):
    """The seconds the piece's sweeps took since last asked, and how many sweeps."""
    state = _held_state(key, sweep)
    load, state.busy, state.busy_sweeps = (state.busy, state.busy_sweeps), 0.0, 0
    return load


def _held_part(key, sweep, lo, hi):
    """The rows [lo, hi) of a held piece (its own numbering): counts, W, its running sum and the row rates."""
    state = _held_state(key, sweep)
    counts = state.counts
    return dict(_rows_of(counts.offsets, counts.indices, counts.values, lo, hi), w=state.w[lo:hi],
                w_sum=state.w_sum[lo:hi], xi=state.xi[lo:hi])


def _join_piece(key, plan_fields, first_block, n_blocks, sweep, *parts):
    """Keeps on this worker a piece made of consecutive parts of held pieces, all at `sweep`; gives the address."""
    state = _PieceState(_piece_of(first_block, n_blocks, *parts), plan_fields,
                        *(np.concatenate([p[n] for p in parts]) for n in ("w", "w_sum", "xi")),
                        sweep)
    worker, pieces = _worker_pieces()
    pieces[key] = state
    return worker.address


def _renamed(old_key, new_key, sweep):
    """Moves the column state on this worker to the key of a new generation."""
    state = _held_state(old_key, sweep)
    pieces = _worker_pieces()[1]
    pieces[new_key] = state
    del pieces[old_key]


def _state_of(key, sweep):
    state = _held_state(key, sweep)
    return {"sweep": state.sweep, "w": state.w.copy(), "w_sum": _unless_zero(state.w_sum), "xi": state.xi.copy()}


def _unless_zero(a):
    """A copy of `a`, or only its shape while every bit of it is 0 (a running sum in the burn-in): half a saved
    state's bytes till then."""
    return a.shape if not a.view(np.uint64).any() else a.copy()


def _zeros_unless(a):
    return np.zeros(a) if isinstance(a, tuple) else a


def _w_mean(key, sweep, kept, k):
    """The components' columns of W's posterior mean (the background's left out, as PoissonNMF does)."""
    state = _held_state(key, sweep)
    w = state.w_sum / kept if kept > 0 else state.w
    return np.ascontiguousarray(w[:, :k])


class _ColumnState:
    def __init__(self, plan_fields, sweep, h, h_sum, eta, h_rows, rule):
        self.plan, self.sweep = _plan_from(plan_fields), sweep
        self.h, self.h_sum, self.eta, self.h_rows = h, h_sum, eta, h_rows
        self.stop = _Stop(*rule[:3], int(rule[3])) if plan_fields["n_sweeps"] == _nmf._AUTO_SWEEPS else None

    def rule(self):
        """The stopping rule's state, as saved."""
        s = self.stop
        return np.array([s.measure, s.window_sum, s.last_window, float(s.levelled)]) if s else _stop_start()


def _start_columns(key, plan_fields, saved):
    """Keeps the column state (H, its running sum, the column rates, H's row sums, the stopping rule) on this
    worker; gives H."""
    state = _ColumnState(plan_fields, saved["sweep"], *(saved[n].copy() for n in ("h", "h_sum", "eta", "h_rows")),
                         saved["rule"])
    _worker_pieces()[1][key] = state
    return state.h.copy(), state.h_rows.copy(), False


def _sweep_columns(key, sweep, piece_results, *after):
    """Adds up the pieces' tallies of sweep `sweep` and draws H from them, in place; gives the new H, and whether
    the pieces are to clear their sums of W (the burn-in of n_sweeps="auto" ended here)."""
    state = _held_state(key, sweep)
    tallies, task_sums, task_measures = _combined(piece_results)
    state.sweep = -1
    automatic = state.stop is not None
    stop = ctypes.byref(state.stop) if automatic else None
    levelled = state.stop.levelled if automatic else -1
    _call("SK_NMF_Sweep_Columns", ctypes.byref(state.plan), sweep, _ptr(tallies), _ptr(task_sums),
          _ptr(task_measures), _ptr(state.h), _ptr(state.h_sum), _ptr(state.eta), _ptr(state.h_rows), stop)
    state.sweep = sweep + 1
    clear_sums = automatic and state.stop.levelled != levelled and state.plan.burn_in < 0
    # Copies: the pieces read this H while the next sweep overwrites the held one.
    return state.h.copy(), state.h_rows.copy(), clear_sums


def _columns_of(key, sweep):
    state = _held_state(key, sweep)
    return {"h": state.h.copy(), "h_sum": _unless_zero(state.h_sum), "eta": state.eta.copy(),
            "h_rows": state.h_rows.copy(), "rule": state.rule()}


def _rule_of(key, sweep):
    return _held_state(key, sweep).rule()


def _forget_fit(dask_worker, fit, generation=None):
    """Drops a fit's piece states from a worker: every generation, or every one before `generation`."""
    pieces = getattr(dask_worker, "_sampling_kernels_pieces", {})
    for key in [key for key in pieces if key[0] == fit and (generation is None or key[1] < generation)]:
        del pieces[key]


def _combined(results):
    """The pieces' column tallies added up (whole numbers: exact in any order), and their task sums and task
    measures in order."""
    tallies = results[0][0].copy()
    for t, _, _ in results[1:]:
        tallies += t
    return tallies, np.concatenate([ts for _, ts, _ in results]), np.concatenate([tm for _, _, tm in results])


def _balanced_pieces(costs, speeds):
    """Consecutive blocks of the given costs for workers of the given speeds (cost a second), in order, so that
    the slowest to finish finishes soonest: [(worker, first_block, n_blocks)], workers given none left out."""
    costs, speeds = np.asarray(costs, dtype=float), np.asarray(speeds, dtype=float)
    ends = np.cumsum(costs)

    def cut(seconds):  # each worker in turn takes the blocks it can sweep in the time
        pieces, first = [], 0
        for worker, speed in enumerate(speeds):
            done_before = ends[first - 1] if first > 0 else 0.0
            last = int(np.searchsorted(ends, done_before + seconds * speed, side="right"))
            if last > first:
                pieces.append((worker, first, last - first))
                first = last
        return pieces, first == len(costs)

    slow, fast = 0.0, 2 * ends[-1] / speeds.min()  # in `fast` any worker could take every block
    for _ in range(60):
        middle = (slow + fast) / 2
        slow, fast = (slow, middle) if cut(middle)[1] else (middle, fast)
    return cut(fast)[0]


def _piece_seconds(pieces, placement, costs, speeds):
    """A sweep's seconds on the busiest worker, for pieces [(first, n)] on workers of these speeds."""
    per_worker = {}
    for (first, n), address in zip(pieces, placement):
        per_worker[address] = per_worker.get(address, 0.0) + sum(costs[first:first + n]) / speeds[address]
    return max(per_worker.values())


# ---- the client's side ----------------------------------------------------

def _distributed():
    try:
        import distributed
    except ImportError as e:
        raise ImportError("DaskPoissonNMF needs Dask's distributed package (Debian: python3-distributed)") from e
    return distributed


def _is_lost(error):
    """Errors that mean a worker (or the cluster) went away, not that the fit is wrong."""
    distributed = _distributed()
    lost = (distributed.KilledWorker, distributed.comm.CommClosedError, OSError, TimeoutError)
    try:
        from distributed.client import FutureCancelledError
        lost += (FutureCancelledError,)
    except ImportError:
        pass
    import asyncio
    import concurrent.futures
    lost += (asyncio.CancelledError, concurrent.futures.CancelledError)
    return isinstance(error, lost) or type(error).__name__ in ("KilledWorker", "CancelledError", "CommClosedError")


class DaskPoissonNMF(_nmf._Parameters):
    """``PoissonNMF`` on a Dask cluster, with the same hyperparameters and the same bits.

    Parameters
    ----------
    n_components, n_sweeps, burn_in, shape, rate, random_state, verbose, background, background_shape
        As for ``PoissonNMF``.  With verbose, a line at every tenth of the
        run gives sweeps per second and the time left.
    client : distributed.Client or None, default None
        The cluster to fit on; None takes the current client.
    checkpoint : str, os.PathLike or None, default None
        A file the fit's whole state is saved to every ``checkpoint_every``
        sweeps (written to a temporary file, then renamed).  Whatever it is,
        the client keeps that state too: a worker lost mid-fit costs only
        the sweeps since, and the fit finishes on the workers left with the
        same bits.  A fit whose cluster goes away raises RuntimeError and
        leaves a checkpoint (at a temporary path when none was given).
    checkpoint_every : int, default 10
    resume : bool, default False
        Go on from ``checkpoint`` when it exists.

    Attributes
    ----------
    components_ : ndarray of shape (n_components, n_features)
    background_ : ndarray of shape (n_features,) or None
    n_components_, n_features_in_, n_iter_
        As for ``PoissonNMF``.

    Examples
    --------
    >>> from distributed import Client, LocalCluster                 # doctest: +SKIP
    >>> client = Client(LocalCluster(n_workers=2, threads_per_worker=1))  # doctest: +SKIP
    >>> model = DaskPoissonNMF(20).fit(X)                            # doctest: +SKIP
    >>> local = model.to_local()                                     # doctest: +SKIP
    """

    _PARAMS = ("n_components", "client", "n_sweeps", "burn_in", "shape", "rate", "random_state", "verbose",
               "checkpoint", "checkpoint_every", "resume", "background", "background_shape")

    def __init__(self, n_components=10, *, client=None, n_sweeps=200, burn_in=0.5, shape=0.2, rate="auto",
                 random_state=None, verbose=0, checkpoint=None, checkpoint_every=10, resume=False, background=False,
                 background_shape=1.0):
        self.n_components = n_components
        self.client = client
        self.n_sweeps = n_sweeps
        self.burn_in = burn_in
        self.shape = shape
        self.rate = rate
        self.random_state = random_state
        self.verbose = verbose
        self.checkpoint = checkpoint
        self.checkpoint_every = checkpoint_every
        self.resume = resume
        self.background = background
        self.background_shape = background_shape

    def _local_params(self):
        return {name: getattr(self, name) for name in ("n_sweeps", "burn_in", "shape", "rate", "random_state",
                                                       "verbose", "checkpoint_every", "background",
                                                       "background_shape")}

    # -- input --------------------------------------------------------------

    def _chunks(self, client, X):
        """Futures of X's row chunks as checked CSR, with their summaries; ValueError before any fitting."""
        if isinstance(X, (list, tuple)):
            if not X:
                raise ValueError("X is an empty list; it needs at least one row block")
            for n, b in enumerate(X):
                if not _nmf._is_sparse(b):
                    raise ValueError(f"X[{n}] is a {type(b).__name__}; a list X holds scipy.sparse row blocks")
                if len(b.shape) != 2:
                    raise ValueError(f"X[{n}] must be 2-d")
            cols = {b.shape[1] for b in X}
            if len(cols) != 1:
                raise ValueError(f"the row blocks of X have different numbers of columns: {sorted(cols)}")
        else:
            try:
                import dask.array as da
            except ImportError:
                da = None
            if da is None or not isinstance(X, da.Array):
                raise ValueError(f"X must be a Dask array chunked by rows or a list of scipy.sparse row blocks, "
                                 f"not {type(X).__name__}")
            if X.ndim != 2:
                raise ValueError(f"X must be 2-d, not {X.ndim}-d with shape {X.shape}")
            if any(math.isnan(n) for n in X.shape) or any(math.isnan(c) for c in X.chunks[0]):
                raise ValueError("X has unknown chunk sizes; call X.compute_chunk_sizes() first")
            if len(X.chunks[1]) != 1:
                raise ValueError(f"X must be chunked by rows only, with every column in one chunk; its column "
                                 f"chunks are {X.chunks[1]} (use X.rechunk({{1: -1}}))")
        futures = _chunk_futures(client, X)
        summaries = client.gather(client.map(_summary_of, futures, pure=False))
        for s in summaries:
            if "error" in s:
                raise ValueError(s["error"])
        cols = {s["cols"] for s in summaries}
        if len(cols) != 1:
            raise ValueError(f"the row chunks of X have different numbers of columns: {sorted(cols)}")
        return futures, summaries

    # -- fitting ------------------------------------------------------------

    def fit(self, X, y=None):
        """Fit to the counts X on the cluster; returns self.

        Parameters
        ----------
        X : dask.array.Array chunked by rows (numpy or scipy.sparse chunks), or a list of scipy.sparse row blocks
        y : ignored

        Raises
        ------
        ValueError
            For input or hyperparameters that are not valid, naming which, before any work is sent.
        RuntimeError
            When the cluster goes away; the message names the checkpoint to resume from.
        """
        self._fit(X, want_w=False)
        return self

    def fit_transform(self, X, y=None):
        """Fit and return W, the posterior mean of the row factors, as a Dask array chunked like X by rows."""
        return self._fit(X, want_w=True)

    def _fit(self, X, want_w):
        distributed = _distributed()
        client = self.client if self.client is not None else distributed.get_client()
        local = _nmf.PoissonNMF(self.n_components, **self._local_params())
        k, sweeps, burn, shape, rate = local._checked()
        automatic = sweeps == _nmf._AUTO_SWEEPS
        local._run_options(fitting=True)  # checks checkpoint_every
        path = self._checkpoint_path()
        if self.resume and path is None:
            raise ValueError("resume=True needs a checkpoint file")
        chunk_futures, summaries = self._chunks(client, X)
        rows = sum(s["rows"] for s in summaries)
        cols = summaries[0]["cols"]
        if rows > _nmf._INT32_MAX or cols > _nmf._INT32_MAX:
            raise ValueError(f"X has shape {(rows, cols)}; dimensions must be below 2**31")
        seed = _nmf._seed(self.random_state)
        fields = dict(n_rows=rows, n_cols=cols, n_components=k, nnz=sum(s["nnz"] for s in summaries),
                      total=float(sum(s["total"] for s in summaries)), n_sweeps=sweeps, burn_in=burn, shape=shape,
                      rate=rate, seed=seed, background=int(bool(self.background)),
                      background_shape=float(self.background_shape))
        plan = _plan_from(fields)
        f = plan.n_factors  # the width of W and height of H in every piece, the background last

        # Pieces of whole blocks, one a worker: each costs a task a sweep, and
        # the pieces of one worker process take turns (one rand() stream each).
        chunk_rows = [s["rows"] for s in summaries]
        pieces_wanted = max(len(client.ncores()), 1)
        per_piece = max(1, math.ceil(plan.n_blocks / pieces_wanted))
        pieces = [(first, min(per_piece, plan.n_blocks - first)) for first in range(0, plan.n_blocks, per_piece)]
        piece_futures = _piece_futures(client, chunk_futures, chunk_rows, pieces, plan.block_rows, rows)
        del chunk_futures

        blocks = [b for piece in client.gather(client.map(_block_summaries, piece_futures, plan_fields=fields,
                                                          pure=False)) for b in piece]
        digests, costs = [d for d, _ in blocks], [c for _, c in blocks]
        fingerprint = hashlib.blake2b(b"".join(digests), digest_size=16).hexdigest()
        header = {"format": "DaskPoissonNMF checkpoint 2", "background": fields["background"],
                  "background_shape": fields["background_shape"], "rows": rows, "cols": cols, "nnz": fields["nnz"],
                  "data": fingerprint, "components": k, "sweeps": sweeps, "burn_in": burn, "shape": shape,
                  "rate": rate, "seed": seed}

        saved = self._load(path, header) if self.resume and path is not None and os.path.exists(path) else None
        lib_plan = ctypes.byref(plan)
        if saved is None:
            h, eta, h_rows = np.empty((f, cols)), np.empty(cols), np.empty(f)
            _call("SK_NMF_Start_Columns", lib_plan, _ptr(h), _ptr(eta), _ptr(h_rows))
            # The fit's start needs no W to go back to: the pieces draw it again.
            saved = {"sweep": 0, "h": h, "h_sum": np.zeros((f, cols)), "eta": eta, "h_rows": h_rows,
                     "rule": _stop_start(), "w": None}
        done = int(saved["sweep"])
        # Where the fit ends and its burn-in; with n_sweeps="auto", the cap
        # (all of it burn-in) until the rule levels off.
        planned = _auto_plan(saved["rule"], burn) if automatic else (sweeps, burn)
        stop_known = planned is not None
        total, burn_now = planned if stop_known else (_nmf._AUTO_MOST_SWEEPS,) * 2
        kept_state = saved  # what a lost worker rolls back to
        held = _HeldPieces(client, pieces, fields, plan.block_rows)
        started, first_done = time.monotonic(), done
        every = int(self.checkpoint_every)
        rollbacks = 0
        saving = None  # (sweep, copies of the states, their workers) on their way to the client while sweeping
        counts = piece_futures  # until the pieces hold them; after a loss, made again from X
        del piece_futures
        try:
            while True:
                try:
                    if not held.started:
                        if counts is None:
                            counts = _piece_futures(client, _chunk_futures(client, X), chunk_rows, held.pieces,
                                                    plan.block_rows, rows)
                        held.start(counts, kept_state)
                        counts = None
                    if done == total:
                        break
                    # The sweeps up to the next saved state, as one chain; the
                    # first chain of a start is short, to measure the workers,
                    # and while an automatic fit's stop is unknown a chain ends
                    # where the rule may level off.
                    boundary = min((done // every + 1) * every, total, done + 3 if not held.measured else total)
                    if not stop_known:
                        boundary = min(boundary, (done // _AUTO_WINDOW + 1) * _AUTO_WINDOW)
                    chain = held.run(done, boundary)
                    if saving is not None:
                        kept_state, saving = self._save(held, *saving, header, path), None
                    for done in chain:
                        if self.verbose and (done % max(total // 10, 1) == 0 or done == total):
                            pace = (done - first_done) / max(time.monotonic() - started, 1e-9)
                            left = f"  {(total - done) / pace:.0f} s left" if done < total else ""
                            print(f"DaskPoissonNMF: sweep {done}/{total}{' (burn-in)' if done <= burn_now else ''}  "
                                  f"{pace:.3g} sweeps/s{left}", file=sys.stderr, flush=True)
                    if not stop_known and done % _AUTO_WINDOW == 0:
                        planned = _auto_plan(held.rule(done), burn)
                        stop_known = planned is not None
                        total, burn_now = planned or (total, burn_now)
                    if done == total and path is not None:
                        kept_state = self._save(held, done, *held.copy_states(done), header, path)
                    elif done < total and done % every == 0:
                        saving = (done, *held.copy_states(done))
                    if done < total and (done % every == 0 or not held.measured):
                        moved = held.balance(costs, done)
                        if moved and self.verbose:
                            print(f"DaskPoissonNMF: sweep {done}: blocks moved between workers for balance, now "
                                  f"{[n for _, n in moved]} a worker", file=sys.stderr, flush=True)
                    rollbacks = 0
                except Exception as e:  # noqa: BLE001 - sorted below
                    self._check_cluster(client, e, kept_state, header, path)
                    if not (_is_lost(e) or isinstance(e, _LostState)):
                        raise
                    rollbacks += 1
                    if rollbacks > 5:
                        raise RuntimeError(f"the fit lost its workers' state {rollbacks} times in a row at sweep "
                                           f"{done + 1}; last: {type(e).__name__}: {e}") from e
                    if self.verbose:
                        print(f"DaskPoissonNMF: lost a worker at sweep {done + 1} ({type(e).__name__}); going on "
                              f"from sweep {kept_state['sweep']}", file=sys.stderr, flush=True)
                    done = kept_state["sweep"]
                    held.started, counts, saving = False, None, None
            columns = kept_state if kept_state["sweep"] == total else held.columns(total)
            h, h_sum = columns["h"], _zeros_unless(columns["h_sum"])
            kept = max(total - burn_now, 0)
            # W stays on the workers, as the pieces' posterior means, for fit_transform.
            means = held.submit(_w_mean, total, kept, k) if want_w else []
            held.wait(means)
        except Exception as e:  # the cluster itself went away
            if not isinstance(e, (ValueError, MemoryError, _ClusterGone)):
                self._check_cluster(client, e, kept_state, header, path)
            raise
        finally:
            held.forget()
        self._pieces = held.pieces
        h_mean = h_sum / kept if kept > 0 else h.copy()
        self.components_ = h_mean[:k].copy()
        self.background_ = h_mean[k].copy() if f > k else None
        self.n_components_ = k
        self.n_features_in_ = cols
        self.n_iter_ = total
        if not want_w:
            return None
        import dask.array as da
        blocks = [da.from_delayed(_future_delayed(m), shape=(hi - lo, k), dtype=np.float64)
                  for (first, n), m in zip(self._pieces, means)
                  for lo, hi in [_piece_rows(first, n, plan.block_rows, rows)]]
        w = da.concatenate(blocks, axis=0)
        if not isinstance(X, (list, tuple)):
            return w.rechunk((X.chunks[0], (k,)))
        return w.rechunk((tuple(b.shape[0] for b in X), (k,)))

    def _checkpoint_path(self):
        if self.checkpoint is None:
            return None
        try:
            path = os.fsdecode(self.checkpoint)
        except TypeError:
            raise ValueError(f"checkpoint must be a path or None, not {self.checkpoint!r}") from None
        if not path:
            raise ValueError("checkpoint must be a non-empty path")
        return path

    def _save(self, held, done, copies, holders, header, path):
        """The fit's whole state at `done` from the copies of its states, written to `path` if there is one."""
        *parts, columns = held.gather(copies, holders)
        # The pieces clear their sums of W at the start of the sweep after
        # the rule ends the burn-in; the state saved there has them cleared.
        clear = header["sweeps"] == _nmf._AUTO_SWEEPS and header["burn_in"] < 0 and columns["rule"][3] == done
        state = dict(columns, sweep=done, h_sum=_zeros_unless(columns["h_sum"]),
                     w=np.concatenate([p["w"] for p in parts]),
                     w_sum=np.concatenate([np.zeros_like(p["w"]) if clear else _zeros_unless(p["w_sum"])
                                           for p in parts]),
                     xi=np.concatenate([p["xi"] for p in parts]))
        if path is not None:
            _write_checkpoint(path, header, state)
        return state

    def _load(self, path, header):
        try:
            with np.load(path, allow_pickle=False) as f:
                saved_header = json.loads(bytes(f["header"]).decode())
                state = {name: f[name] for name in ("h", "h_sum", "eta", "h_rows", "w", "w_sum", "xi")}
                state["sweep"] = int(f["sweep"])
                state["rule"] = f["rule"] if "rule" in f.files else _stop_start()
        except Exception as e:  # noqa: BLE001 - any damage is the same refusal
            raise ValueError(f"checkpoint {path}: it is not a DaskPoissonNMF checkpoint or is damaged "
                             f"({type(e).__name__})") from None
        for key, value in header.items():
            if saved_header.get(key) != value:
                what = "it is of other data" if key in ("rows", "cols", "nnz", "data") else \
                    f"it was made with {key} {saved_header.get(key)}, not {value}"
                raise ValueError(f"checkpoint {path}: {what}")
        return state

    def _check_cluster(self, client, error, kept_state, header, path):
        """Raises the cluster's loss, with a checkpoint, unless the scheduler still has workers."""
        try:
            workers = client.ncores() if client.status == "running" else {}
        except Exception:  # noqa: BLE001 - the scheduler itself is gone
            workers = {}
        if not workers:
            raise self._cluster_gone(error, kept_state, header, path) from error

    def _cluster_gone(self, error, kept_state, header, path):
        if kept_state["w"] is None:
            return _ClusterGone(f"the Dask cluster went away ({type(error).__name__}: {error}) before the fit saved "
                                f"its first state (at sweep {self.checkpoint_every}); fit again")
        if path is None:
            fd, path = tempfile.mkstemp(prefix="DaskPoissonNMF-", suffix=".ckpt")
            os.close(fd)
        _write_checkpoint(path, header, kept_state)
        return _ClusterGone(f"the Dask cluster went away ({type(error).__name__}: {error}); the checkpoint {path} "
                            f"holds sweep {kept_state['sweep']}: fit again with checkpoint={path!r}, resume=True")

    def to_local(self):
        """A fitted ``PoissonNMF`` with these components (for transform and score on this machine)."""
        if not hasattr(self, "components_"):
            raise ValueError("this DaskPoissonNMF is not fitted yet; call fit first")
        model = _nmf.PoissonNMF(self.n_components, **self._local_params())
        model.components_ = self.components_.copy()
        model.background_ = None if self.background_ is None else self.background_.copy()
        model.n_components_ = self.n_components_
        model.n_features_in_ = self.n_features_in_
        model.n_iter_ = self.n_iter_
        return model


class _HeldPieces:
    """The client's side of the states on the workers: where each piece and the column state are held, and of
    which generation.

    The column state lives with the first piece.  A sweep is one task a piece, on its holder, and one task on the
    column state's holder that adds up their tallies and draws H, which the next sweep's pieces fetch from it.
    The sweeps up to the next saved state go to the scheduler as one chain: the client is off a sweep's path.
    """

    def __init__(self, client, pieces, fields, block_rows):
        self.client, self.pieces, self.fields, self.block_rows = client, pieces, fields, block_rows
        self.fit, self.generation = uuid.uuid4().hex, -1
        self.keys, self.addresses, self.placement = [], [], []
        self.column_key = self.column_address = self.copies = None
        self.started = self.measured = False

    def start(self, piece_futures, saved):
        """Starts every piece anew from its counts, at `saved` (the fit's whole state, or its start)."""
        self.started = False
        self.generation += 1
        self.keys = [(self.fit, self.generation, i) for i in range(len(self.pieces))]
        # One piece a worker, placed so: left to the scheduler, pieces go
        # where most of their counts are, and two may share a worker.
        workers = sorted(self.client.ncores())
        if not set(self.placement) <= set(workers) or len(self.placement) != len(self.pieces):
            self.placement = _placed(self.client, piece_futures, workers)
        started = []
        for i, (key, (first, n), counts) in enumerate(zip(self.keys, self.pieces, piece_futures)):
            lo, hi = _piece_rows(first, n, self.block_rows, self.fields["n_rows"])
            part = {"sweep": saved["sweep"], "w": None}
            if saved["w"] is not None:
                part.update(w=saved["w"][lo:hi], w_sum=saved["w_sum"][lo:hi], xi=saved["xi"][lo:hi])
            with _large_arguments():
                started.append(self.client.submit(_start_piece, counts, self.fields, key, part, pure=False,
                                                  workers=self.placement[i:i + 1] or None, allow_other_workers=True))
        self.addresses = self.client.gather(started)
        self.placement = list(self.addresses)
        self.column_key, self.column_address = (self.fit, self.generation, "columns"), self.addresses[0]
        with _large_arguments():
            self.h = self._on_column_holder(_start_columns, self.column_key, self.fields,
                                            {n: saved[n] for n in ("sweep", "h", "h_sum", "eta", "h_rows", "rule")})
        self.wait([self.h])
        self.started, self.measured, self.copies = True, False, None
        if self.generation > 0:
            self.forget(before=self.generation)

    def balance(self, costs, sweep):
        """Moves whole blocks between the pieces at `sweep` when, at the speeds measured since the last call, that
        makes a sweep a tenth faster or more on the workers there are now (a worker that joined is taken to be
        of the typical speed).  The bits stay the same: each block draws from a stream of its own.  Returns the
        blocks of each new piece, or None."""
        loads = self.gather(self.submit(_piece_load, sweep))
        self.measured = True
        per_worker = {}
        for (first, n), address, (busy, swept) in zip(self.pieces, self.addresses, loads):
            if swept == 0:
                return None
            cost, seconds = per_worker.get(address, (0.0, 0.0))
            per_worker[address] = (cost + sum(costs[first:first + n]), seconds + busy / swept)
        speeds = {a: cost / seconds for a, (cost, seconds) in per_worker.items() if cost > 0 and seconds > 0}
        workers = sorted(self.client.ncores())
        if not speeds or not set(self.addresses) <= set(workers):
            return None  # nothing to go by, or a holder has just gone (the next wait finds out)
        typical = float(np.median(list(speeds.values())))
        speeds.update({a: typical for a in workers if a not in speeds})
        # The workers in the order of their blocks now, so that a re-cut moves blocks only at the pieces' ends.
        order = list(dict.fromkeys(self.addresses)) + [a for a in workers if a not in self.addresses]
        cut = _balanced_pieces(costs, [speeds[a] for a in order])
        pieces, placement = [(first, n) for _, first, n in cut], [order[w] for w, _, _ in cut]
        now = _piece_seconds(self.pieces, self.addresses, costs, speeds)
        if _piece_seconds(pieces, placement, costs, speeds) > 0.9 * now:
            return None
        self._recut(pieces, placement, sweep)
        return pieces

    def _recut(self, pieces, placement, sweep):
        """New pieces at `sweep`, each joined on its worker from the parts of the held pieces it overlaps."""
        generation = self.generation + 1
        keys = [(self.fit, generation, i) for i in range(len(pieces))]
        held = [(key, address, _piece_rows(first, n, self.block_rows, self.fields["n_rows"]))
                for key, address, (first, n) in zip(self.keys, self.addresses, self.pieces)]
        joins = []
        for key, (first, n), address in zip(keys, pieces, placement):
            lo, hi = _piece_rows(first, n, self.block_rows, self.fields["n_rows"])
            parts = [self.client.submit(_held_part, old, sweep, max(lo, old_lo) - old_lo, min(hi, old_hi) - old_lo,
                                        workers=[old_address], allow_other_workers=False, pure=False)
                     for old, old_address, (old_lo, old_hi) in held if old_lo < hi and old_hi > lo]
            joins.append(self.client.submit(_join_piece, key, self.fields, first, n, sweep, *parts,
                                            workers=[address], allow_other_workers=False, pure=False))
        addresses = self.gather(joins, holders=placement)
        column_key = (self.fit, generation, "columns")
        self.wait([self._on_column_holder(_renamed, self.column_key, column_key, sweep)])
        if self.copies:  # copies of the states about to be dropped must be made first
            self.wait(self.copies)
        self.generation, self.keys, self.pieces, self.column_key = generation, keys, pieces, column_key
        self.addresses = self.placement = addresses
        self.copies = None  # the new states are new objects: no sweep of theirs can change a copy
        self.forget(before=generation)

    def submit(self, function, *args, each=None):
        """`function(key, *args, *each[i])` for every piece i, on the worker that holds it and nowhere else."""
        # Tasks that may run elsewhere may also be stolen by an idle worker
        # that lacks the piece; a held piece's worker is the only right one.
        return [self.client.submit(function, key, *args, *more, workers=[address], allow_other_workers=False,
                                   pure=False)
                for key, address, more in zip(self.keys, self.addresses, each or [()] * len(self.keys))]

    def _on_column_holder(self, function, *args):
        return self.client.submit(function, *args, workers=[self.column_address], allow_other_workers=False,
                                  pure=False)

    def run(self, first, last):
        """Submits sweeps first, ..., last - 1 at once; returns an iterator of each sweep's number once it is done."""
        chain, h = [], self.h
        # The first sweep waits for the copies of the states it changes,
        # each on its own worker, so their way to the client is off its path.
        copies, self.copies = self.copies or [None] * (len(self.keys) + 1), None
        for sweep in range(first, last):
            after = [[c] if c is not None and sweep == first else [] for c in copies]
            h = self._on_column_holder(_sweep_columns, self.column_key, sweep,
                                       self.submit(_sweep_piece, sweep, h, each=after), *after[-1])
            chain.append(h)
        return self._finished(first, chain)

    def _finished(self, first, chain):
        for n, sweep in enumerate(range(first, first + len(chain))):
            self.h, chain[n] = chain[n], None  # each H is let go of once the next is drawn
            self.wait([self.h])
            yield sweep + 1

    def wait(self, futures):
        """Waits for the futures' tasks to finish."""
        self._watch(lambda: _distributed().wait(futures, timeout=1.0), futures)

    def gather(self, futures, holders=()):
        """The futures' results, fetched one at a time: a result whose worker has just left is made again, and
        its task waits for a holder that is gone.  `holders`: workers the tasks are pinned to besides today's."""
        self._watch(lambda: _distributed().wait(futures, timeout=1.0), futures, holders)
        return [self._watch(lambda: f.result(timeout=1.0), futures, holders) for f in futures]

    def _watch(self, step, futures, holders=()):
        """step() until it ends; _LostState once a holder has left the cluster (its tasks would wait forever)."""
        while True:
            try:
                return step()
            except TimeoutError:
                self._check_holders(futures, holders)

    def _check_holders(self, futures, holders=()):
        gone = {*self.addresses, *holders, self.column_address} - {None, *self.client.ncores()}
        if gone:
            self.client.cancel(futures)
            raise _LostState(f"worker {sorted(gone)[0]} left the cluster with its pieces") from None

    def copy_states(self, sweep):
        """Futures of copies of the pieces' states and the column state (last) at `sweep`, made on their
        workers; the next chain starts once they are made, not once they reach the client."""
        self.copies = self.submit(_state_of, sweep) + [self._on_column_holder(_columns_of, self.column_key, sweep)]
        return self.copies, [*self.addresses, self.column_address]  # a re-cut may move the pieces meanwhile

    def columns(self, sweep):
        return self.gather([self._on_column_holder(_columns_of, self.column_key, sweep)])[0]

    def rule(self, sweep):
        return self.gather([self._on_column_holder(_rule_of, self.column_key, sweep)])[0]

    def forget(self, before=None):
        """Drops the fit's states (those of generations before `before`) from the workers; best effort."""
        try:
            self.client.run(_forget_fit, fit=self.fit, generation=before, on_error="ignore")
        except Exception:  # noqa: BLE001 - a cluster that went away holds nothing
            pass


def _placed(client, piece_futures, workers):
    """A worker for each piece, one a worker while there are enough: where its counts are, if that one is free."""
    _distributed().wait(piece_futures)
    holders = client.who_has(piece_futures)
    free, placement = list(workers), []
    for future in piece_futures:
        here = [w for w in holders.get(future.key, ()) if w in free]
        placement.append(here[0] if here else free[0] if free else workers[len(placement) % len(workers)])
        if placement[-1] in free:
            free.remove(placement[-1])
    return placement


@contextlib.contextmanager
def _large_arguments():
    """A start's state goes in its task rather than scattered ahead, as Dask's warning would have it: a task can
    run again after a loss, and scattered data lost with a worker cannot be made again."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Large object of size", category=UserWarning)
        yield


class _ClusterGone(RuntimeError):
    """The scheduler or every worker went away; a checkpoint was left."""


class _LostState(RuntimeError):
    """A piece's state was made anew by the cluster (after a loss), not carried on."""


def _delayed_checked(d, name):
    import dask
    return dask.delayed(_checked_chunk)(d, name)


def _future_delayed(future):
    import dask
    return dask.delayed(lambda x: x)(future)


def _write_checkpoint(path, header, state):
    directory = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=os.path.basename(path) + ".", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            np.savez(f, header=np.frombuffer(json.dumps(header).encode(), dtype=np.uint8), sweep=state["sweep"],
                     **{name: state[name] for name in ("h", "h_sum", "eta", "h_rows", "w", "w_sum", "xi", "rule")})
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
