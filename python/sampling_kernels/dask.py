"""The Poisson NMF sampler on a Dask cluster: ``DaskPoissonNMF``.

The fit is cut as on one machine: rows in fixed blocks, each with a
``rand()`` stream of its own in every sweep, so the result does not depend
on where a block runs.  The counts and each piece's W, its running sum and
the row rates stay on the workers; per sweep the client sends H and its row
sums and gets back each piece's column tallies (whole numbers, summed in any
order) and its sums of W, then draws H itself: K x n_features Gamma draws,
a few milliseconds, where sending the tallies anywhere else would cost more.
With the same seed and options the fit is identical, bit for bit, to
``PoissonNMF(..., n_jobs=1)`` on the same matrix, whatever the number of
workers, their threads and the chunking of X.

Requires ``distributed`` (Debian: python3-distributed); imported only here.
"""

from __future__ import annotations

import ctypes
import hashlib
import json
import math
import numbers
import os
import sys
import tempfile
import time

import numpy as np

import sampling_kernels as _package
from . import nmf as _nmf

__all__ = ["DaskPoissonNMF"]

_P = ctypes.c_void_p


class _Plan(ctypes.Structure):
    _fields_ = [("n_rows", ctypes.c_int32), ("n_cols", ctypes.c_int32), ("n_components", ctypes.c_int32),
                ("nnz", ctypes.c_int64), ("total", ctypes.c_double), ("n_sweeps", ctypes.c_int64),
                ("burn_in", ctypes.c_int64), ("shape", ctypes.c_double), ("rate", ctypes.c_double),
                ("seed", ctypes.c_uint32), ("background", ctypes.c_int32), ("background_shape", ctypes.c_double),
                ("block_rows", ctypes.c_int32), ("n_blocks", ctypes.c_int32),
                ("n_tasks", ctypes.c_int32), ("n_column_blocks", ctypes.c_int32), ("burn_in_sweeps", ctypes.c_int64),
                ("n_factors", ctypes.c_int32)]


def _library():
    lib = _nmf._library()
    if not getattr(lib, "_pieces_typed", False):
        plan, err = ctypes.POINTER(_Plan), [ctypes.c_char_p, ctypes.c_size_t]
        lib.SK_NMF_Plan_Fit.argtypes = [plan] + err
        lib.SK_NMF_Start_Rows.argtypes = [plan, ctypes.c_int32, ctypes.c_int32, _P, _P] + err
        lib.SK_NMF_Start_Columns.argtypes = [plan, _P, _P, _P] + err
        lib.SK_NMF_Sweep_Rows.argtypes = [plan, ctypes.c_int64, ctypes.c_int32, ctypes.c_int32] + [_P] * 11 + err
        lib.SK_NMF_Sweep_Columns.argtypes = [plan, ctypes.c_int64] + [_P] * 6 + err
        for f in ("SK_NMF_Plan_Fit", "SK_NMF_Start_Rows", "SK_NMF_Start_Columns", "SK_NMF_Sweep_Rows",
                  "SK_NMF_Sweep_Columns"):
            getattr(lib, f).restype = ctypes.c_int32
        lib._pieces_typed = True
    return lib


def _call(name, *args):
    error = ctypes.create_string_buffer(512)
    with _package._call_lock:  # one rand() stream per process: one piece at a time
        status = getattr(_library(), name)(*args, error, len(error))
    if status == -2:
        raise MemoryError(error.value.decode(errors="replace"))
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


class _Piece:
    """Whole row blocks of the fit: their counts and, once started, their state."""

    def __init__(self, first_block, n_blocks, offsets, indices, values):
        self.first_block, self.n_blocks = first_block, n_blocks
        self.offsets, self.indices, self.values = offsets, indices, values
        self.sweep = -1
        self.w = self.w_sum = self.xi = None


def _piece_of(parts, first_block, n_blocks, first_row, rows):
    """The rows [first_row, first_row + rows) from consecutive chunks (counts, starting row) as one piece."""
    offsets, indices, values = [np.zeros(1, dtype=np.int64)], [], []
    for counts, start in parts:
        lo, hi = max(first_row - start, 0), min(first_row + rows - start, counts.shape[0])
        if lo >= hi:
            continue
        o = counts.offsets
        offsets.append(o[lo + 1:hi + 1] - o[lo] + (offsets[-1][-1] if len(offsets) > 1 else 0))
        indices.append(counts.indices[o[lo]:o[hi]])
        values.append(counts.values[o[lo]:o[hi]])
    return _Piece(first_block, n_blocks, np.concatenate(offsets),
                  np.concatenate(indices) if indices else np.zeros(0, np.int32),
                  np.concatenate(values) if values else np.zeros(0))


def _block_digests(piece, plan_fields):
    """A digest of each block's counts: what a checkpoint was made from, whatever the pieces."""
    plan = _plan_from(plan_fields)
    out = []
    for b in range(piece.first_block, piece.first_block + piece.n_blocks):
        lo = b * plan.block_rows - piece.first_block * plan.block_rows
        hi = min(lo + plan.block_rows, len(piece.offsets) - 1)
        o = piece.offsets
        h = hashlib.blake2b(digest_size=16)
        for part in (o[lo:hi + 1] - o[lo], piece.indices[o[lo]:o[hi]], piece.values[o[lo]:o[hi]]):
            h.update(np.ascontiguousarray(part).tobytes())
        out.append(h.digest())
    return out


def _start_piece(piece, plan_fields, saved=None):
    plan = _plan_from(plan_fields)
    rows, k = len(piece.offsets) - 1, plan.n_factors
    new = _Piece(piece.first_block, piece.n_blocks, piece.offsets, piece.indices, piece.values)
    if saved is not None:
        new.sweep, new.w, new.w_sum, new.xi = saved["sweep"], saved["w"].copy(), saved["w_sum"].copy(), saved["xi"].copy()
    else:
        new.w, new.w_sum, new.xi = np.empty((rows, k)), np.zeros((rows, k)), np.empty(rows)
        _call("SK_NMF_Start_Rows", ctypes.byref(plan), piece.first_block, piece.n_blocks, _ptr(new.w), _ptr(new.xi))
        new.sweep = 0
    # Room that the piece's states reuse, sweep after sweep: fresh pages cost
    # more than the copying (about 1.5 ms a MiB to fault in here).  The state
    # of sweep s holds set s % 2; the next is made in the other set, whose
    # state (sweep s - 1) the fit has let go of by then.
    new.buffers = {new.sweep % 2: (new.w, new.w_sum, new.xi), (new.sweep + 1) % 2: None,
                   "row_tallies": np.zeros((rows, k))}
    return new


def _sweep_piece(piece, plan_fields, sweep, h, h_row_sums):
    """Sweep `sweep` of a piece: a new piece state, with the piece's tallies and task sums."""
    if piece.sweep != sweep:  # a state made anew (say, recomputed after a loss) is not this sweep's
        raise _LostState(f"piece at blocks {piece.first_block}+ holds sweep {piece.sweep}, not {sweep}")
    plan = _plan_from(plan_fields)
    k, cols = plan.n_factors, plan.n_cols  # the background is one more factor
    new = _Piece(piece.first_block, piece.n_blocks, piece.offsets, piece.indices, piece.values)
    new.buffers = piece.buffers
    room = new.buffers[(sweep + 1) % 2]
    if room is None:
        room = new.buffers[(sweep + 1) % 2] = (np.empty_like(piece.w), np.empty_like(piece.w_sum),
                                               np.empty_like(piece.xi))
    new.w, new.w_sum, new.xi = room
    np.copyto(new.w, piece.w)
    np.copyto(new.w_sum, piece.w_sum)
    np.copyto(new.xi, piece.xi)
    rows = len(piece.offsets) - 1
    first_task = piece.first_block * plan.block_rows // 1024
    tasks = -(-(piece.first_block * plan.block_rows + rows) // 1024) - first_task
    tallies, task_sums = np.zeros((k, cols)), np.zeros((tasks, k))
    _call("SK_NMF_Sweep_Rows", ctypes.byref(plan), sweep, piece.first_block, piece.n_blocks, _ptr(piece.offsets),
          _ptr(piece.indices), _ptr(piece.values), _ptr(h), _ptr(h_row_sums), _ptr(new.w), _ptr(new.w_sum),
          _ptr(new.xi), _ptr(new.buffers["row_tallies"]), _ptr(tallies), _ptr(task_sums))
    new.sweep = sweep + 1
    new.tallies, new.task_sums = tallies, task_sums
    return new


def _results_of(piece):
    return piece.tallies, piece.task_sums


def _combined(*results):
    """The pieces' column tallies added up (whole numbers: exact in any order) and their task sums in order."""
    tallies = results[0][0].copy()
    for t, _ in results[1:]:
        tallies += t
    return tallies, np.concatenate([ts for _, ts in results])


# Submitted from small functions: Dask reads the source of the function that
# submits, on every call, for its dashboard.
def _submit_sweep(client, states, fields, sweep, h, h_rows):
    h_future, rows_future = client.scatter([h, h_rows], hash=False)
    new_states = client.map(_sweep_piece, states, plan_fields=fields, sweep=sweep, h=h_future,
                            h_row_sums=rows_future, pure=False)
    # Only the tallies and sums leave the pieces' workers.
    return new_states, client.submit(_combined, *client.map(_results_of, new_states, pure=False), pure=False)


def _gather_states(client, states):
    return client.gather(client.map(_state_of, states, pure=False))


def _state_of(piece):
    return {"sweep": piece.sweep, "w": piece.w, "w_sum": piece.w_sum, "xi": piece.xi}


def _w_mean(piece, kept, k):
    """The components' columns of W's posterior mean (the background's left out, as PoissonNMF does)."""
    w = piece.w_sum / kept if kept > 0 else piece.w
    return np.ascontiguousarray(w[:, :k])


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
            blocks = list(X)
            for n, b in enumerate(blocks):
                if not _nmf._is_sparse(b):
                    raise ValueError(f"X[{n}] is a {type(b).__name__}; a list X holds scipy.sparse row blocks")
                if len(b.shape) != 2:
                    raise ValueError(f"X[{n}] must be 2-d")
            cols = {b.shape[1] for b in blocks}
            if len(cols) != 1:
                raise ValueError(f"the row blocks of X have different numbers of columns: {sorted(cols)}")
            futures = [client.submit(_checked_chunk, b, f"X[{n}]", pure=False) for n, b in enumerate(blocks)]
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
            futures = [client.compute(_delayed_checked(d, f"X (row chunk {n})"))
                       for n, d in enumerate(X.to_delayed().ravel())]
        summaries = client.gather([client.submit(lambda r: r[1], f, pure=False) for f in futures])
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
        self._fit(X)
        return self

    def fit_transform(self, X, y=None):
        """Fit and return W, the posterior mean of the row factors, as a Dask array chunked like X by rows."""
        self._fit(X)
        return self._w

    def _fit(self, X):
        distributed = _distributed()
        client = self.client if self.client is not None else distributed.get_client()
        local = _nmf.PoissonNMF(self.n_components, **self._local_params())
        k, sweeps, burn, shape, rate = local._checked()
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

        # Pieces of whole blocks, about as many as there are chunks.
        starts = np.concatenate([[0], np.cumsum([s["rows"] for s in summaries])])
        pieces_wanted = max(len(summaries), len(client.scheduler_info().get("workers", {})) or 1)
        per_piece = max(1, math.ceil(plan.n_blocks / pieces_wanted))
        self._pieces = []
        for first in range(0, plan.n_blocks, per_piece):
            n = min(per_piece, plan.n_blocks - first)
            lo = first * plan.block_rows
            hi = min((first + n) * plan.block_rows, rows)
            parts = [(client.submit(lambda r: r[0], chunk_futures[c], pure=False), int(starts[c]))
                     for c in range(len(summaries)) if starts[c] < hi and starts[c + 1] > lo]
            self._pieces.append((first, n, client.submit(_piece_of, [(p, s) for p, s in parts], first, n, lo, hi - lo,
                                                         pure=False)))
        del chunk_futures

        digests = [d for _, _, f in self._pieces for d in client.submit(_block_digests, f, fields, pure=False).result()]
        fingerprint = hashlib.blake2b(b"".join(digests), digest_size=16).hexdigest()
        header = {"format": "DaskPoissonNMF checkpoint 2", "background": fields["background"],
                  "background_shape": fields["background_shape"], "rows": rows, "cols": cols, "nnz": fields["nnz"],
                  "data": fingerprint, "components": k, "sweeps": sweeps, "burn_in": burn, "shape": shape,
                  "rate": rate, "seed": seed}

        saved = self._load(path, header) if self.resume and path is not None and os.path.exists(path) else None
        lib_plan = ctypes.byref(plan)
        self._block_rows = plan.block_rows
        if saved is None:
            h, eta, h_rows = np.empty((f, cols)), np.empty(cols), np.empty(f)
            _call("SK_NMF_Start_Columns", lib_plan, _ptr(h), _ptr(eta), _ptr(h_rows))
            h_sum = np.zeros((f, cols))
            states = [client.submit(_start_piece, f, fields, pure=False) for _, _, f in self._pieces]
            done = 0
        else:
            h, h_sum, eta, h_rows, done = saved["h"], saved["h_sum"], saved["eta"], saved["h_rows"], saved["sweep"]
            states = self._scatter_saved(client, fields, saved)
        kept_state = None  # what a lost worker rolls back to
        started, first_done = time.monotonic(), done
        every = int(self.checkpoint_every)
        rollbacks = 0
        try:
            while True:
                try:
                    if kept_state is None or done % every == 0 or done == sweeps:
                        kept_state = self._save(client, states, h, h_sum, eta, h_rows, done, header, path)
                    if done == sweeps:
                        break
                    new_states, combined = _submit_sweep(client, states, fields, done, h, h_rows)
                    tallies, task_sums = combined.result()
                except Exception as e:  # noqa: BLE001 - sorted below
                    if kept_state is None:
                        raise
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
                    h, h_sum, eta, h_rows = (kept_state[n].copy() for n in ("h", "h_sum", "eta", "h_rows"))
                    done = kept_state["sweep"]
                    states = self._scatter_saved(client, fields, kept_state)
                    continue
                rollbacks = 0
                _call("SK_NMF_Sweep_Columns", lib_plan, done, _ptr(tallies), _ptr(task_sums), _ptr(h), _ptr(h_sum),
                      _ptr(eta), _ptr(h_rows))
                states = new_states
                done += 1
                if self.verbose and (done % max(sweeps // 10, 1) == 0 or done == sweeps):
                    pace = (done - first_done) / max(time.monotonic() - started, 1e-9)
                    left = f"  {(sweeps - done) / pace:.0f} s left" if done < sweeps else ""
                    print(f"DaskPoissonNMF: sweep {done}/{sweeps}{' (burn-in)' if done <= burn else ''}  "
                          f"{pace:.3g} sweeps/s{left}", file=sys.stderr, flush=True)
        except Exception as e:  # the cluster itself went away
            if kept_state is not None and not isinstance(e, (ValueError, MemoryError, _ClusterGone)):
                self._check_cluster(client, e, kept_state, header, path)
            raise
        kept = max(sweeps - burn, 0)
        h_mean = h_sum / kept if kept > 0 else h.copy()
        self.components_ = h_mean[:k].copy()
        self.background_ = h_mean[k].copy() if f > k else None
        self.n_components_ = k
        self.n_features_in_ = cols
        self.n_iter_ = sweeps
        import dask.array as da
        means = [client.submit(_w_mean, s, kept, k, pure=False) for s in states]
        blocks = [da.from_delayed(_future_delayed(m), shape=(min((first + n) * plan.block_rows, rows) -
                                                             first * plan.block_rows, k), dtype=np.float64)
                  for (first, n, _), m in zip(self._pieces, means)]
        w = da.concatenate(blocks, axis=0)
        if not isinstance(X, (list, tuple)):
            w = w.rechunk((X.chunks[0], (k,)))
        else:
            w = w.rechunk((tuple(b.shape[0] for b in X), (k,)))
        self._w = w
        self._states = states

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

    def _save(self, client, states, h, h_sum, eta, h_rows, done, header, path):
        parts = _gather_states(client, states)
        if any(p["sweep"] != done for p in parts):  # made anew after a loss
            raise _LostState(f"a piece's state is not of sweep {done}")
        state = {"sweep": done, "h": h.copy(), "h_sum": h_sum.copy(), "eta": eta.copy(), "h_rows": h_rows.copy(),
                 "w": np.concatenate([p["w"] for p in parts]), "w_sum": np.concatenate([p["w_sum"] for p in parts]),
                 "xi": np.concatenate([p["xi"] for p in parts])}
        if path is not None:
            _write_checkpoint(path, header, state)
        return state

    def _load(self, path, header):
        try:
            with np.load(path, allow_pickle=False) as f:
                saved_header = json.loads(bytes(f["header"]).decode())
                state = {name: f[name] for name in ("h", "h_sum", "eta", "h_rows", "w", "w_sum", "xi")}
                state["sweep"] = int(f["sweep"])
        except Exception as e:  # noqa: BLE001 - any damage is the same refusal
            raise ValueError(f"checkpoint {path}: it is not a DaskPoissonNMF checkpoint or is damaged "
                             f"({type(e).__name__})") from None
        for key, value in header.items():
            if saved_header.get(key) != value:
                what = "it is of other data" if key in ("rows", "cols", "nnz", "data") else \
                    f"it was made with {key} {saved_header.get(key)}, not {value}"
                raise ValueError(f"checkpoint {path}: {what}")
        return state

    def _scatter_saved(self, client, fields, saved):
        states = []
        row = 0
        for first, n, f in self._pieces:
            rows = min((first + n) * self._block_rows, fields["n_rows"]) - first * self._block_rows
            part = {"sweep": saved["sweep"], "w": saved["w"][row:row + rows], "w_sum": saved["w_sum"][row:row + rows],
                    "xi": saved["xi"][row:row + rows]}
            states.append(client.submit(_start_piece, f, fields, part, pure=False))
            row += rows
        return states

    def _check_cluster(self, client, error, kept_state, header, path):
        """Raises the cluster's loss, with a checkpoint, unless the scheduler still has workers."""
        try:
            workers = client.ncores() if client.status == "running" else {}
        except Exception:  # noqa: BLE001 - the scheduler itself is gone
            workers = {}
        if not workers:
            raise self._cluster_gone(error, kept_state, header, path) from error

    def _cluster_gone(self, error, kept_state, header, path):
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
                     **{name: state[name] for name in ("h", "h_sum", "eta", "h_rows", "w", "w_sum", "xi")})
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
