"""Bayesian Poisson matrix factorisation by Gibbs sampling: ``PoissonNMF``.

A thin front end over ``libsampling_kernels_nmf.so``, the same compiled
sampler that the ``poisson_nmf`` command line runs: input is checked and
converted to CSR here, and each fit, transform or score is one library call.
scipy is imported only when a scipy.sparse matrix is given.

The library is found through ``SAMPLING_KERNELS_NMF_LIBRARY``, then next to
this package, then in the source tree's build directory, then on the
system's library path.  It needs ``libsampling_kernels_sparse.so`` and
``libsampling_kernels.so`` beside it (its run path is ``$ORIGIN``).
"""

from __future__ import annotations

import ctypes
import numbers
import os
import signal
import sys
import threading
import time

import numpy as np

import sampling_kernels as _package
from ._loader import load_library

__all__ = ["PoissonNMF"]

_LIBRARY_NAME = "libsampling_kernels_nmf.so"
_INT32_MAX = 2147483647
_MAX_COUNT = 2147483647.0
# Prior shapes and rates in which the sampler's numbers stay finite (see
# the library's model.h).
_LEAST_PRIOR, _MOST_PRIOR = 1e-10, 1e10
_AUTO_SWEEPS, _AUTO_MOST_SWEEPS = -1, 2000  # SK_NMF_AUTO_SWEEPS, and its cap

_PROGRESS = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_int64, ctypes.c_int64,
                             ctypes.c_int32, ctypes.c_double)


class _Run(ctypes.Structure):
    """SK_NMF_Run: how a fit runs (processes, checkpoints), and its background."""
    _fields_ = [("n_jobs", ctypes.c_int32), ("checkpoint", ctypes.c_char_p),
                ("checkpoint_every", ctypes.c_int64), ("resume", ctypes.c_int32),
                ("sweeps_done", ctypes.c_int64), ("resumed_from", ctypes.c_int64),
                ("workers", ctypes.c_int32), ("background", ctypes.c_int32),
                ("background_shape", ctypes.c_double), ("background_w", ctypes.c_void_p),
                ("background_h", ctypes.c_void_p), ("fixed_background", ctypes.c_void_p),
                ("loglik", ctypes.c_double)]
_lib = None
_lib_lock = threading.Lock()


def _library():
    global _lib
    with _lib_lock:
        if _lib is not None:
            return _lib
        lib, _ = load_library(_LIBRARY_NAME, "SAMPLING_KERNELS_NMF_LIBRARY",
                              " (build it with cmake --build build)")
        p = ctypes.c_void_p
        lib.SK_NMF_Fit.argtypes = [p, p, p, ctypes.c_int32, ctypes.c_int32, ctypes.c_int32, ctypes.c_int64,
                                   ctypes.c_int64, ctypes.c_double, ctypes.c_double, ctypes.c_uint32, p, p,
                                   p, _PROGRESS, p, ctypes.c_int64, ctypes.c_char_p, ctypes.c_size_t]
        lib.SK_NMF_Fit.restype = ctypes.c_int32
        lib.SK_NMF_Fit_Run.argtypes = lib.SK_NMF_Fit.argtypes[:-2] + [ctypes.POINTER(_Run), ctypes.c_char_p,
                                                                       ctypes.c_size_t]
        lib.SK_NMF_Fit_Run.restype = ctypes.c_int32
        lib.SK_NMF_Log_Likelihood.argtypes = [p, p, p, ctypes.c_int32, ctypes.c_int32, ctypes.c_int32, p, p,
                                              ctypes.c_double, ctypes.c_char_p, ctypes.c_size_t]
        lib.SK_NMF_Log_Likelihood.restype = ctypes.c_double
        _lib = lib
        return lib


class _Csr:
    """Counts as canonical CSR: int64 offsets, int32 sorted indices, float64 values."""

    def __init__(self, offsets, indices, values, shape):
        self.offsets = np.ascontiguousarray(offsets, dtype=np.int64)
        self.indices = np.ascontiguousarray(indices, dtype=np.int32)
        self.values = np.ascontiguousarray(values, dtype=np.float64)
        self.shape = shape

    def pointers(self):
        return (self.offsets.ctypes.data, self.indices.ctypes.data, self.values.ctypes.data)


def _is_sparse(X):
    return type(X).__module__.startswith("scipy.sparse")


def _check_values(name, values):
    if values.size == 0:
        return
    if not np.all(np.isfinite(values)):
        raise ValueError(f"{name} holds NaN or infinite values; counts must be finite")
    if values.min() < 0:
        raise ValueError(f"{name} holds negative values; counts must be non-negative")
    if values.max() > _MAX_COUNT:
        raise ValueError(f"{name} holds counts above 2147483647")
    if not np.all(values == np.floor(values)):
        raise ValueError(f"{name} holds values that are not whole numbers; Poisson NMF fits counts")


def _check_shape(name, shape):
    if len(shape) != 2:
        raise ValueError(f"{name} must be 2-d, not {len(shape)}-d with shape {shape}")
    rows, cols = shape
    if rows < 1 or cols < 1:
        raise ValueError(f"{name} has shape {shape}; it needs at least one row and one column")
    if rows > _INT32_MAX or cols > _INT32_MAX:
        raise ValueError(f"{name} has shape {shape}; dimensions must be below 2**31")


def _as_csr(X, name="X"):
    """X (numpy array-like or scipy.sparse) as checked CSR counts, never densified."""
    if _is_sparse(X):
        import scipy.sparse  # only when given one

        _check_shape(name, X.shape)
        if np.dtype(X.dtype).kind not in _package._REAL_KINDS:
            raise ValueError(f"{name} must hold real numbers, not dtype {X.dtype}")
        # In float64 before repeated entries are added up: a small integer
        # dtype would wrap (uint8 200 + 100 is 44).  No copy of a CSR that
        # needs none; the library copies the counts into its shared pages.
        if X.format == "csr" and X.dtype == np.float64:
            m = scipy.sparse.csr_matrix(X)
        else:  # scipy's astype adds up repeated entries first, in the old dtype
            coo = X.tocoo()
            m = scipy.sparse.coo_matrix((coo.data.astype(np.float64), (coo.row, coo.col)), shape=X.shape).tocsr()
        if not m.has_canonical_format:
            if m.data is getattr(X, "data", None) or m.indices is getattr(X, "indices", None):
                m = m.copy()  # never the caller's arrays
            m.sum_duplicates()  # also sorts the indices
        _check_values(name, m.data)
        return _Csr(m.indptr, m.indices, m.data, m.shape)
    if isinstance(X, (str, bytes)) or X is None:
        raise ValueError(f"{name} must be a 2-d array of counts, not {type(X).__name__}")
    try:
        a = np.asarray(X)
    except (TypeError, ValueError) as e:
        raise ValueError(f"{name} is not an array of numbers: {e}") from None
    if a.dtype.kind not in _package._REAL_KINDS:
        raise ValueError(f"{name} must hold real numbers, not dtype {a.dtype}")
    _check_shape(name, a.shape)
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{name} holds NaN or infinite values; counts must be finite")
    if np.any(a < 0):
        raise ValueError(f"{name} holds negative values; counts must be non-negative")
    rows, cols = np.nonzero(a)  # row-major order: sorted CSR
    values = a[rows, cols].astype(np.float64)
    _check_values(name, values)
    offsets = np.zeros(a.shape[0] + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=a.shape[0]), out=offsets[1:])
    return _Csr(offsets, cols, values, a.shape)


def _seed(random_state):
    """A 32-bit seed from None, an int, a numpy Generator or RandomState."""
    if random_state is None:
        return int(np.random.default_rng().integers(2**32))
    if isinstance(random_state, (bool, np.bool_)):
        raise ValueError("random_state must be None, an int or a numpy Generator, not a bool")
    if isinstance(random_state, numbers.Integral):
        if not 0 <= int(random_state) < 2**32:
            raise ValueError(f"random_state must lie in [0, 2**32 - 1], not {random_state}")
        return int(random_state)
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(2**32))
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(0, 2**32, dtype=np.uint64))
    raise ValueError(f"random_state must be None, an int or a numpy Generator, not {type(random_state).__name__}")


class _Parameters:
    """scikit-learn's parameter protocol, without needing scikit-learn: the names in _PARAMS."""

    _PARAMS = ()

    def get_params(self, deep=True):
        """Hyperparameters as a dict."""
        return {name: getattr(self, name) for name in self._PARAMS}

    def set_params(self, **params):
        """Set hyperparameters; returns self."""
        for name, value in params.items():
            if name not in self._PARAMS:
                raise ValueError(f"{type(self).__name__} has no parameter {name!r}")
            setattr(self, name, value)
        return self


class PoissonNMF(_Parameters):
    """Poisson matrix factorisation X ~ Poisson(W H) with Gamma priors, fitted by Gibbs sampling.

    Every count is split among the components by the library's exact
    allocation step; W and H are then drawn from their Gamma conditionals.
    The posterior means over the sweeps after the burn-in are the result.

    Parameters
    ----------
    n_components : int, default 10
        Number of components K.
    n_sweeps : int or "auto", default 200
        Gibbs sweeps in all, up to 2**31 - 1.  "auto" stops by itself, once
        a convergence measure levels off: the complete-data log-likelihood
        per count of each sweep's split of the counts among the components,
        read as a topic model's (each count's feature under its component,
        and its component under its sample's mix; computed from the
        sweep's own tallies, never from held-out data), taken every 4th
        sweep and averaged over windows of 20 sweeps: at the first window end T (at least 40)
        where it gains less than 0.002 nats on the window before, or at
        T = 1000, the burn-in ends, and the fit stops at 2 T, so the means
        are over the last half.  The stop comes from the chain alone: the
        same on any ``n_jobs`` and after a resume.  ``n_iter_`` says where
        it stopped; ``transform`` then runs that many sweeps.
    burn_in : float or int, default 0.5
        Sweeps left out of the posterior means: a float in [0, 1) is a
        fraction of ``n_sweeps``, an int a number of sweeps (below
        ``n_sweeps``).  With ``n_sweeps="auto"`` it is 0.5 (the burn-in ends
        where the measure levels off) or an int from 0 to 1000, the burn-in
        kept as given; the fit then stops at twice the larger of it and T.
    shape : float, default 0.2
        Gamma prior shape of W and H, from 1e-10 to 1e10 (the range in
        which the sampler's numbers stay finite).  A small shape suits
        sparse counts.
    rate : float or "auto", default "auto"
        Gamma prior rate of W and H, from 1e-10 to 1e10; "auto" learns a
        rate per row and per column under a Gamma hyperprior.
    random_state : None, int or numpy.random.Generator, default None
        Keys every stream of the fit (the allocation step's rand() streams
        and the sampler's own generator); an int repeats a fit bit for bit.
        The process's own rand() stream is left where it was.
    verbose : int, default 0
        When non-zero, progress lines on stderr: sweeps per second and the
        time left at every tenth of the run, and the log-likelihood at the end.
        An exception while reporting (stderr closed, a broken pipe) stops
        the fit and is raised from ``fit``.
    n_jobs : int or None, default None
        Processes the fit runs on: this one and worker processes started
        from ``sk_nmf_worker`` beside the library.  None or -1 is every core
        the process may use (its CPU affinity).  The fit is the same, to the
        last bit, for every value, so when the system starts fewer (a
        process limit, too little memory for more) the fit runs on those.
    checkpoint : str, os.PathLike or None, default None
        A file that ``fit`` saves the whole state of the fit to, every
        ``checkpoint_every`` sweeps and when it ends or is interrupted
        (written to a temporary file beside it, then renamed).
    checkpoint_every : int, default 10
        Sweeps between checkpoints.
    resume : bool, default False
        Go on from ``checkpoint`` when the file exists: the fit is then the
        same as one never interrupted.  A checkpoint from other data or
        options is refused with a ValueError that says what differs.
    background : bool, default False
        Fit a background beside the components: a rate per feature that
        every sample draws on, with a denser prior (shape
        ``background_shape``) than the components'.  It takes what all the
        samples share (the words common to every document) out of
        ``components_``, and is reported apart as ``background_``.
    background_shape : float, default 1.0
        Gamma prior shape of the background's sample weights and rates,
        from 1e-10 to 1e10.

    Attributes
    ----------
    components_ : ndarray of shape (n_components, n_features)
        Posterior mean of H.
    background_ : ndarray of shape (n_features,) or None
        Posterior mean of the background's rate per feature (None without
        a background).  A sample's rates are ``W @ components_`` plus its
        background weight times ``background_``.
    n_components_ : int
    n_features_in_ : int
    n_iter_ : int
        Sweeps run, those before a resume included.  A fit that raises (on
        Ctrl-C, or an exception while reporting progress) sets none of these
        attributes; the exception's note says how many sweeps it ran.
    loglik_per_count_ : float
        Poisson log-likelihood per count of the training data under the
        posterior means.

    Examples
    --------
    >>> import numpy as np
    >>> from sampling_kernels import PoissonNMF
    >>> X = np.random.default_rng(0).poisson(1.0, size=(50, 30))
    >>> model = PoissonNMF(3, n_sweeps=50, random_state=0)
    >>> W = model.fit_transform(X)
    >>> W.shape, model.components_.shape
    ((50, 3), (3, 30))
    """

    def __init__(self, n_components=10, *, n_sweeps=200, burn_in=0.5, shape=0.2, rate="auto",
                 random_state=None, verbose=0, n_jobs=None, checkpoint=None, checkpoint_every=10,
                 resume=False, background=False, background_shape=1.0):
        self.n_components = n_components
        self.n_sweeps = n_sweeps
        self.burn_in = burn_in
        self.shape = shape
        self.rate = rate
        self.random_state = random_state
        self.verbose = verbose
        self.n_jobs = n_jobs
        self.checkpoint = checkpoint
        self.checkpoint_every = checkpoint_every
        self.resume = resume
        self.background = background
        self.background_shape = background_shape

    _PARAMS = ("n_components", "n_sweeps", "burn_in", "shape", "rate", "random_state", "verbose", "n_jobs",
               "checkpoint", "checkpoint_every", "resume", "background", "background_shape")

    def __repr__(self):
        changed = [f"{k}={v!r}" for k, v in self.get_params().items()
                   if v != PoissonNMF().get_params()[k] or k == "n_components"]
        return f"PoissonNMF({', '.join(changed)})"

    def _checked(self):
        """The checked options; n_sweeps "auto" as -1, and burn_in then -1 or an int."""
        def whole(name, value, lo):
            if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral) or value < lo:
                raise ValueError(f"{name} must be an int of at least {lo}, not {value!r}")
            return int(value)

        k = whole("n_components", self.n_components, 1)
        if k > _INT32_MAX:
            raise ValueError(f"n_components must be below 2**31, not {k}")
        if isinstance(self.n_sweeps, str):
            if self.n_sweeps != "auto":
                raise ValueError(f"n_sweeps must be an int of at least 1 or 'auto', not {self.n_sweeps!r}")
            return (k, _AUTO_SWEEPS, self._auto_burn_in(), *self._priors())
        sweeps = whole("n_sweeps", self.n_sweeps, 1)
        if sweeps > _INT32_MAX:
            raise ValueError(f"n_sweeps must be below 2**31, not {sweeps}")
        b = self.burn_in
        if isinstance(b, (bool, np.bool_)):
            raise ValueError(f"burn_in must be a fraction in [0, 1) or a number of sweeps, not {b!r}")
        if isinstance(b, numbers.Integral):
            if not 0 <= b < sweeps:
                raise ValueError(f"burn_in must be below n_sweeps ({sweeps}), not {b}")
            burn = int(b)
        elif isinstance(b, numbers.Real) and 0 <= b < 1:
            burn = int(b * sweeps)
        else:
            raise ValueError(f"burn_in must be a fraction in [0, 1) or a number of sweeps, not {b!r}")
        return (k, sweeps, burn, *self._priors())

    def _auto_burn_in(self):
        b = self.burn_in
        if isinstance(b, numbers.Integral) and not isinstance(b, (bool, np.bool_)):
            if not 0 <= b <= _AUTO_MOST_SWEEPS // 2:
                raise ValueError(f"burn_in must be from 0 to {_AUTO_MOST_SWEEPS // 2} with n_sweeps='auto' (which "
                                 f"stops by sweep {_AUTO_MOST_SWEEPS}, at least twice the burn-in), not {b}")
            return int(b)
        if isinstance(b, numbers.Real) and not isinstance(b, (bool, np.bool_)) and b == 0.5:
            return -1
        raise ValueError(f"burn_in must be 0.5 (the burn-in ends where the measure levels off) or a number of "
                         f"sweeps with n_sweeps='auto', not {b!r}")

    def _priors(self):
        def prior(name, value, or_else=""):
            if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real) \
                    or not _LEAST_PRIOR <= value <= _MOST_PRIOR:
                raise ValueError(f"{name} must be a number from 1e-10 to 1e10{or_else}, not {value!r}")
            return float(value)

        shape = prior("shape", self.shape)
        rate = 0.0 if isinstance(self.rate, str) and self.rate == "auto" else prior("rate", self.rate, " or 'auto'")
        if not isinstance(self.background, (bool, np.bool_)):
            raise ValueError(f"background must be True or False, not {self.background!r}")
        prior("background_shape", self.background_shape)
        return shape, rate

    def _run_options(self, fitting):
        jobs = self.n_jobs
        if jobs is None:
            jobs = 0
        elif isinstance(jobs, (bool, np.bool_)) or not isinstance(jobs, numbers.Integral) \
                or not (jobs == -1 or 1 <= jobs <= 4096):
            raise ValueError(f"n_jobs must be None, -1 or a number of processes from 1 to 4096, not {jobs!r}")
        every = self.checkpoint_every
        if isinstance(every, (bool, np.bool_)) or not isinstance(every, numbers.Integral) \
                or not 1 <= every <= _INT32_MAX:
            raise ValueError(f"checkpoint_every must be an int from 1 to 2**31 - 1, not {every!r}")
        if not isinstance(self.resume, (bool, np.bool_)):
            raise ValueError(f"resume must be True or False, not {self.resume!r}")
        path = None
        if self.checkpoint is not None:
            try:
                path = os.fsencode(self.checkpoint)
            except TypeError:
                raise ValueError(f"checkpoint must be a path or None, not {self.checkpoint!r}") from None
            if not path or b"\0" in path:
                raise ValueError(f"checkpoint must be a non-empty path, not {self.checkpoint!r}")
        if self.resume and path is None:
            raise ValueError("resume=True needs a checkpoint file")
        if not fitting:  # a transform neither saves nor resumes the fit's state
            path = None
        return _Run(n_jobs=int(jobs) if jobs != -1 else 0, checkpoint=path, checkpoint_every=int(every),
                    resume=int(bool(self.resume) and fitting), sweeps_done=0, resumed_from=-1, workers=0)

    def _run(self, counts, components=None, fixed_background=None):
        k, sweeps, burn, shape, rate = self._checked()
        if sweeps == _AUTO_SWEEPS and components is not None:
            sweeps = self.n_iter_  # the measure watches H, which a transform holds
        run = self._run_options(fitting=components is None)
        background = bool(self.background) if components is None else fixed_background is not None
        bw = np.empty(counts.shape[0]) if background else None
        bh = np.empty(counts.shape[1]) if background else None
        if background:
            run.background = 1
            run.background_shape = float(self.background_shape)
            run.background_w = bw.ctypes.data
            run.background_h = bh.ctypes.data
            if fixed_background is not None:
                run.fixed_background = fixed_background.ctypes.data
        seed = _seed(self.random_state)
        rows, cols = counts.shape
        w = np.empty((rows, k))
        h = None if components is not None else np.empty((k, cols))
        error = ctypes.create_string_buffer(512)
        interrupted = []
        raised = []  # an exception in the progress path, raised once the fit has stopped
        started = [time.monotonic(), None, time.monotonic()]  # the start, its sweep, the last line

        # Called after every sweep: progress, and a way out on Ctrl-C, whose
        # handler (below) only runs when Python code does.  The
        # log-likelihood comes with the last sweep only: it costs about a
        # sweep's products.  An exception here (a signal handler of the
        # host's that raises, a closed stderr) stops the fit; ctypes would
        # otherwise print it and go on.
        def report(_context, sweep, total, burning_in, loglik):
            try:
                if interrupted or raised:
                    return 1
                if started[1] is None:
                    started[1] = sweep - 1
                # Every tenth of the run, and at least once a minute.
                now = time.monotonic()
                if self.verbose and (sweep % max(total // 10, 1) == 0 or sweep == total or now - started[2] >= 60):
                    started[2] = now
                    pace = (sweep - started[1]) / max(now - started[0], 1e-9)
                    left = f"  {(total - sweep) / pace:.0f} s left" if sweep < total else ""
                    value = "" if np.isnan(loglik) else f"  log-likelihood per count {loglik:.4f}"
                    print(f"PoissonNMF: sweep {sweep}/{total}{' (burn-in)' if burning_in else ''}  "
                          f"{pace:.3g} sweeps/s{left}{value}", file=sys.stderr, flush=True)
                return 1 if interrupted else 0
            except BaseException as e:  # noqa: BLE001 - raised again after the fit
                raised.append(e)
                return 1

        # A signal handler may also raise on entry to report, before its
        # try: ctypes then hands the exception to sys.unraisablehook, which
        # keeps it here, and the next sweep's call stops the fit.
        def unraisable(what):
            if what.object is report and what.exc_value is not None:
                raised.append(what.exc_value)
            else:
                previous_hook(what)

        progress = _PROGRESS(report)
        lib = _library()
        # Only Python's own default handler is replaced: a host that ignores
        # SIGINT or handles it itself keeps that.  (Left alone off the main
        # thread, or when C code set the handler.)
        previous = signal.getsignal(signal.SIGINT) if threading.current_thread() is threading.main_thread() else None
        if previous is not signal.default_int_handler:
            previous = None
        if previous is not None:
            signal.signal(signal.SIGINT, lambda *_: interrupted.append(True))
        try:
            with _package._call_lock:  # one fit at a time sets the hook
                previous_hook, sys.unraisablehook = sys.unraisablehook, unraisable
                try:
                    status = lib.SK_NMF_Fit_Run(*counts.pointers(), rows, cols, k, sweeps, burn, shape, rate, seed,
                                                None if components is None else components.ctypes.data,
                                                w.ctypes.data, None if h is None else h.ctypes.data, progress, None,
                                                sweeps if self.verbose else 0, ctypes.byref(run), error, len(error))
                finally:
                    sys.unraisablehook = previous_hook
        finally:
            if previous is not None:
                signal.signal(signal.SIGINT, previous)
        if raised or interrupted:
            stop = raised[0] if raised else KeyboardInterrupt()
            saved = f"; {self.checkpoint} holds it" if run.checkpoint else ""
            if hasattr(stop, "add_note"):  # Python 3.11 on
                planned = sweeps if sweeps > 0 else f"at most {_AUTO_MOST_SWEEPS}"
                stop.add_note(f"PoissonNMF stopped after {run.sweeps_done} of {planned} sweeps{saved}")
            raise stop
        if status == -2:
            raise MemoryError(error.value.decode(errors="replace"))
        if status == -3:
            raise RuntimeError(error.value.decode(errors="replace"))
        if status < 0:
            raise ValueError(error.value.decode(errors="replace"))
        return w, h, run, bw, bh

    def fit_transform(self, X, y=None):
        """Fit to the counts X and return W, the posterior mean of the row factors.

        Parameters
        ----------
        X : array-like or scipy.sparse matrix of shape (n_samples, n_features)
            Non-negative whole-number counts.
        y : ignored

        Returns
        -------
        W : ndarray of shape (n_samples, n_components)

        Raises
        ------
        ValueError
            For counts or hyperparameters that are not valid, naming which.
        """
        counts = _as_csr(X)
        w, h, run, bw, bh = self._run(counts)
        self.components_ = h
        self.background_ = bh
        self._background_w = bw  # the training rows' background weights (for their rates)
        self.n_components_ = h.shape[0]
        self.n_features_in_ = counts.shape[1]
        self.n_iter_ = run.sweeps_done
        # Computed by the fit on all its processes.
        self.loglik_per_count_ = run.loglik / max(counts.values.sum(), 1.0)
        return w

    def _with_background(self, w, bw):
        """W and H with the background as one more factor, as the rates are made."""
        if bw is None:
            return w, self.components_
        return np.column_stack([w, bw]), np.vstack([self.components_, self.background_])

    def top_words(self, vocabulary, n=10, background=False):
        """Each component's n top words: the features of largest ``components_``.

        Parameters
        ----------
        vocabulary : sequence of str, of length n_features_in_
            The features' names (words), in column order.
        n : int, default 10
            Words per component, from 1 to n_features_in_.
        background : bool, default False
            Append the background's n top words (from ``background_``) as
            a last list.

        Returns
        -------
        list of lists of str
            One list per component, largest first (ties by column).

        Raises
        ------
        ValueError
            If the model is not fitted, the vocabulary's length is not
            n_features_in_, n is out of range, or there is no background
            to show.

        Examples
        --------
        >>> model.top_words(["apple", "pear", ...], n=5)  # doctest: +SKIP
        [['pear', 'apple', ...], ...]
        """
        if not hasattr(self, "components_"):
            raise ValueError("this PoissonNMF is not fitted yet; call fit first")
        if isinstance(vocabulary, (str, bytes)):
            raise ValueError("vocabulary must be a sequence of words, not a single string")
        try:
            words = list(vocabulary)
        except TypeError:
            raise ValueError(f"vocabulary must be a sequence of words, not {type(vocabulary).__name__}") from None
        if len(words) != self.n_features_in_:
            raise ValueError(f"vocabulary has {len(words)} words, but PoissonNMF was fitted with "
                             f"{self.n_features_in_} features")
        if isinstance(n, (bool, np.bool_)) or not isinstance(n, numbers.Integral) \
                or not 1 <= n <= self.n_features_in_:
            raise ValueError(f"n must be an int from 1 to {self.n_features_in_}, not {n!r}")
        rows = list(self.components_)
        if background:
            if self.background_ is None:
                raise ValueError("background=True, but this PoissonNMF was fitted without a background")
            rows.append(self.background_)
        columns = np.arange(self.n_features_in_)
        # lexsort's last key sorts first: largest value, then lowest column.
        return [[words[j] for j in np.lexsort((columns, -np.asarray(r)))[:int(n)]] for r in rows]

    def fit(self, X, y=None):
        """Fit to the counts X; returns self (see ``fit_transform``)."""
        self.fit_transform(X)
        return self

    def _fitted(self, X):
        if not hasattr(self, "components_"):
            raise ValueError("this PoissonNMF is not fitted yet; call fit first")
        counts = _as_csr(X)
        if counts.shape[1] != self.n_features_in_:
            raise ValueError(f"X has {counts.shape[1]} features, but PoissonNMF was fitted with "
                             f"{self.n_features_in_}")
        return counts

    def transform(self, X):
        """W for new rows X, sampled with the components held at ``components_``.

        Parameters
        ----------
        X : array-like or scipy.sparse matrix of shape (n_samples, n_features)

        Returns
        -------
        W : ndarray of shape (n_samples, n_components)

        Raises
        ------
        ValueError
            If the model is not fitted, or X is not valid or has the wrong
            number of features.
        """
        counts = self._fitted(X)
        h = np.ascontiguousarray(self.components_, dtype=np.float64)
        if h.shape != (self.n_components_, self.n_features_in_):
            raise ValueError(f"components_ has shape {h.shape}, expected "
                             f"{(self.n_components_, self.n_features_in_)}")
        return self._transform(counts, h)[0]

    def _transform(self, counts, h):
        fixed = getattr(self, "background_", None)
        fixed = None if fixed is None else np.ascontiguousarray(fixed, dtype=np.float64)
        saved = self.n_components
        try:
            self.n_components = self.n_components_
            w, _, _, bw, _ = self._run(counts, components=h, fixed_background=fixed)
        finally:
            self.n_components = saved
        return w, bw

    def _loglik(self, counts, w, h=None, scale=1.0):
        h = self.components_ if h is None else h
        error = ctypes.create_string_buffer(512)
        w = np.ascontiguousarray(w, dtype=np.float64)
        h = np.ascontiguousarray(h, dtype=np.float64)
        value = _library().SK_NMF_Log_Likelihood(*counts.pointers(), counts.shape[0], counts.shape[1],
                                                 h.shape[0], w.ctypes.data, h.ctypes.data, scale, error,
                                                 len(error))
        if np.isnan(value) and error.value:
            raise ValueError(error.value.decode())
        return value

    def score(self, X, y=None):
        """Poisson log-likelihood per count of X, with W from ``transform(X)``.

        Parameters
        ----------
        X : array-like or scipy.sparse matrix of shape (n_samples, n_features)
        y : ignored

        Returns
        -------
        float
            Log-likelihood divided by the total count of X (higher is better).

        Raises
        ------
        ValueError
            As for ``transform``.
        """
        counts = self._fitted(X)
        w, bw = self._transform(counts, np.ascontiguousarray(self.components_, dtype=np.float64))
        w, h = self._with_background(w, bw)
        return self._loglik(counts, w, h) / max(counts.values.sum(), 1.0)
