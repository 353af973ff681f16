"""PoissonNMF: scikit-learn's conventions, the same fit as the command line
for one seed, sparse input never densified, transform against fit_transform,
and a ValueError naming the argument for every bad input.

Run with Debian's interpreter: /usr/bin/python3 -m unittest test_nmf
(SAMPLING_KERNELS_NMF_LIBRARY may name the library; POISSON_NMF the command
line, else the build tree's is used).
"""
import contextlib
import io
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import numpy as np

from sampling_kernels import PoissonNMF

try:
    import scipy.sparse
except ImportError:  # the sparse cases are skipped
    scipy = None

ROOT = pathlib.Path(__file__).resolve().parents[2]
CLI = os.environ.get("POISSON_NMF", str(ROOT / "build" / "sampler" / "poisson_nmf"))


def planted(rows, cols, k, seed):
    rng = np.random.default_rng(seed)
    w = rng.gamma(0.5, 2.0, size=(rows, k))
    h = rng.gamma(0.5, 2.0, size=(k, cols))
    return rng.poisson(w @ h).astype(np.float64), w, h


def planted_with_background(rows, cols, k, seed):
    """Topics over few words each, and a base rate over every word that every row draws on."""
    rng = np.random.default_rng(seed)
    w = rng.gamma(0.3, 1 / 0.3, size=(rows, k))
    h = 0.08 * rng.gamma(0.1, 1 / 0.1, size=(k, cols))
    weight, base = rng.gamma(4.0, 0.25, size=rows), 0.1 * rng.gamma(2.0, 0.5, size=cols)
    return rng.poisson(w @ h + np.outer(weight, base)).astype(np.float64), w, h, base


def cosines(a, b):
    """Cosine similarity of every row of a with every row of b."""
    a = a / np.linalg.norm(a, axis=1, keepdims=True)
    b = b / np.linalg.norm(b, axis=1, keepdims=True)
    return a @ b.T


class Conventions(unittest.TestCase):
    def test_init_stores_hyperparameters_unchanged_and_fit_returns_self(self):
        model = PoissonNMF(3, n_sweeps=-5, burn_in="x", shape=0, rate="odd", random_state="r", verbose=2,
                           n_jobs="j", checkpoint=7, checkpoint_every=-1, resume="r")
        self.assertEqual(model.get_params(), {"n_components": 3, "n_sweeps": -5, "burn_in": "x", "shape": 0,
                                              "rate": "odd", "random_state": "r", "verbose": 2, "n_jobs": "j",
                                              "checkpoint": 7, "checkpoint_every": -1, "resume": "r",
                                              "background": False, "background_shape": 1.0})
        x, _, _ = planted(30, 20, 2, 1)
        model.set_params(n_sweeps=20, burn_in=0.5, shape=0.1, rate="auto", random_state=0, verbose=0, n_jobs=None,
                         checkpoint=None, checkpoint_every=10, resume=False)
        self.assertIs(model.fit(x), model)
        self.assertEqual(model.components_.shape, (3, 20))
        self.assertEqual((model.n_components_, model.n_features_in_, model.n_iter_), (3, 20, 20))
        self.assertTrue(np.all(model.components_ > 0))
        self.assertLess(model.loglik_per_count_, 0)
        self.assertEqual(model.fit_transform(x).shape, (30, 3))
        self.assertEqual(model.transform(x[:7]).shape, (7, 3))
        with self.assertRaisesRegex(ValueError, "no parameter 'alpha'"):
            model.set_params(alpha=1)

    def test_verbose_reports_progress_on_stderr(self):
        x, _, _ = planted(20, 10, 2, 2)
        err = io.StringIO()
        with contextlib.redirect_stderr(err):
            PoissonNMF(2, n_sweeps=20, random_state=0, verbose=1).fit(x)
        lines = [line for line in err.getvalue().splitlines() if "sweep" in line]
        self.assertEqual(len(lines), 10)
        self.assertIn("sweep 2/20 (burn-in)", lines[0])
        self.assertIn("sweeps/s", lines[0])
        self.assertIn(" s left", lines[0])
        self.assertIn("sweep 20/20", lines[-1])
        self.assertIn("log-likelihood per count -", lines[-1])
        quiet = io.StringIO()
        with contextlib.redirect_stderr(quiet):
            PoissonNMF(2, n_sweeps=20, random_state=0).fit(x)
        self.assertEqual(quiet.getvalue(), "")

    def test_ctrl_c_stops_a_long_fit(self):
        code = ("import numpy as np, sys; from sampling_kernels import PoissonNMF; "
                "x = np.random.default_rng(0).poisson(1.0, size=(300, 200)); print('fitting', flush=True); "
                "PoissonNMF(5, n_sweeps=10**7, random_state=0).fit(x)")
        proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(proc.stdout.readline().strip(), "fitting")
        time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        try:
            _, err = proc.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            self.fail("the fit went on after SIGINT")
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn("KeyboardInterrupt", err)

    def test_an_exception_in_the_progress_path_stops_the_fit_and_is_raised(self):
        x, _, _ = planted(30, 20, 2, 2)
        closed = io.StringIO()
        closed.close()
        model = PoissonNMF(2, n_sweeps=1000, random_state=0, verbose=1)
        with contextlib.redirect_stderr(closed):
            with self.assertRaisesRegex(ValueError, "closed file") as caught:
                model.fit(x)
        self.assertIn("PoissonNMF stopped after 100 of 1000 sweeps", caught.exception.__notes__)
        self.assertFalse(hasattr(model, "n_iter_"), "a fit that raised left results")
        # A broken pipe on stderr, in a process of its own.
        code = ("import numpy as np, sys; from sampling_kernels import PoissonNMF\n"
                "x = np.random.default_rng(0).poisson(1.0, size=(30, 20))\n"
                "print('fitting', flush=True)\n"
                "try:\n    PoissonNMF(2, n_sweeps=1000, random_state=0, verbose=1).fit(x)\n"
                "except BaseException as e:\n    print(type(e).__name__, e.__notes__, flush=True)\n")
        proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(proc.stdout.readline().strip(), "fitting")
        proc.stderr.close()
        try:
            out, _ = proc.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()
            self.fail("the fit went on with stderr broken")
        self.assertIn("BrokenPipeError ['PoissonNMF stopped after 100 of 1000 sweeps']", out)

    def test_a_host_s_own_sigint_handling_is_left_alone(self):
        x, _, _ = planted(100, 80, 3, 2)

        class Stop(Exception):
            pass

        def signal_later(*signals):
            def send():
                for number in signals:
                    time.sleep(0.3)
                    os.kill(os.getpid(), number)
            threading.Thread(target=send, daemon=True).start()

        seen = []

        def handler(number, frame):
            seen.append(number)
            if len(seen) == 2:
                raise Stop

        def stop(number, frame):
            raise Stop

        previous = signal.getsignal(signal.SIGINT), signal.getsignal(signal.SIGALRM)
        try:
            # The host's handler sees each SIGINT, the fit goes on through the
            # first, and the second's exception comes out of fit.
            signal.signal(signal.SIGINT, handler)
            signal_later(signal.SIGINT, signal.SIGINT)
            model = PoissonNMF(3, n_sweeps=10**7, random_state=0)
            with self.assertRaises(Stop) as caught:
                model.fit(x)
            self.assertEqual(seen, [signal.SIGINT] * 2)
            self.assertRegex(caught.exception.__notes__[0], r"^PoissonNMF stopped after [1-9]\d* of 10000000 sweeps$")
            self.assertIs(signal.getsignal(signal.SIGINT), handler)
            # Ignored, SIGINT stays ignored; SIGALRM's handler ends the fit.
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            signal.signal(signal.SIGALRM, stop)
            signal_later(signal.SIGINT, signal.SIGALRM)
            with self.assertRaises(Stop):
                model.fit(x)
            self.assertIs(signal.getsignal(signal.SIGINT), signal.SIG_IGN)
            self.assertFalse(hasattr(model, "n_iter_"))
        finally:
            signal.signal(signal.SIGINT, previous[0])
            signal.signal(signal.SIGALRM, previous[1])

    def test_scipy_is_not_imported_for_dense_input(self):
        code = ("import sys, numpy as np; from sampling_kernels import PoissonNMF; "
                "PoissonNMF(2, n_sweeps=4, random_state=0).fit(np.ones((3, 4))); "
                "print('scipy' in sys.modules)")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
        self.assertEqual(out.stdout.strip(), "False")


class Repeatability(unittest.TestCase):
    def test_one_seed_repeats_a_fit_bit_for_bit(self):
        x, _, _ = planted(60, 40, 3, 3)
        a = PoissonNMF(3, n_sweeps=30, random_state=11)
        b = PoissonNMF(3, n_sweeps=30, random_state=11)
        wa, wb = a.fit_transform(x), b.fit_transform(x)
        self.assertTrue(np.array_equal(wa, wb))
        self.assertTrue(np.array_equal(a.components_, b.components_))
        g1 = PoissonNMF(3, n_sweeps=30, random_state=np.random.default_rng(4)).fit_transform(x)
        g2 = PoissonNMF(3, n_sweeps=30, random_state=np.random.default_rng(4)).fit_transform(x)
        self.assertTrue(np.array_equal(g1, g2))
        self.assertFalse(np.array_equal(wa, PoissonNMF(3, n_sweeps=30, random_state=12).fit_transform(x)))

    @unittest.skipUnless(os.path.exists(CLI), "the command line is not built")
    def test_the_command_line_gives_the_same_fit(self):
        x, _, _ = planted(50, 30, 3, 5)
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "x.csv")
            np.savetxt(path, x, fmt="%d", delimiter=",")
            subprocess.run([CLI, "--counts", path, "--components", "3", "--sweeps", "40", "--seed", "7",
                            "--quiet", "--out", os.path.join(work, "fit")], check=True, capture_output=True)
            w_cli = np.loadtxt(os.path.join(work, "fit_W.csv"), delimiter=",", ndmin=2)
            h_cli = np.loadtxt(os.path.join(work, "fit_H.csv"), delimiter=",", ndmin=2)
        model = PoissonNMF(3, n_sweeps=40, random_state=7)
        w = model.fit_transform(x)
        self.assertTrue(np.array_equal(w, w_cli))
        self.assertTrue(np.array_equal(model.components_, h_cli))


def worker_processes():
    """Process ids of this process's sk_nmf_worker children."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{entry}/comm") as f:
                name = f.read().strip()
        except (OSError, IndexError):
            continue
        if name == "sk_nmf_worker" and int(fields[1]) == os.getpid():
            found.append(int(entry))
    return found


class Processes(unittest.TestCase):
    """n_jobs, checkpoints and dead workers."""

    def setUp(self):
        # Six row blocks of 1024 rows, so that every worker gets some.
        self.x = np.random.default_rng(1).poisson(0.08, size=(6000, 60)).astype(np.float64)

    def fit(self, **params):
        model = PoissonNMF(3, **{"n_sweeps": 12, "random_state": 5, **params})
        return model.fit_transform(self.x), model

    def test_any_number_of_jobs_gives_the_same_bits(self):
        w1, m1 = self.fit(n_jobs=1)
        for jobs in (2, 3, -1, None):
            with self.subTest(n_jobs=jobs):
                w, m = self.fit(n_jobs=jobs)
                self.assertTrue(np.array_equal(w, w1))
                self.assertTrue(np.array_equal(m.components_, m1.components_))
        self.assertTrue(np.array_equal(m1.set_params(n_jobs=3).transform(self.x[:2500]),
                                       m1.set_params(n_jobs=1).transform(self.x[:2500])))

    def test_a_fit_killed_and_resumed_equals_one_never_stopped(self):
        whole, _ = self.fit(n_jobs=1)
        with tempfile.TemporaryDirectory() as work:
            path, data = os.path.join(work, "fit.ckpt"), os.path.join(work, "x.npy")
            np.save(data, self.x)
            code = ("import numpy as np; from sampling_kernels import PoissonNMF; "
                    f"PoissonNMF(3, n_sweeps=12, random_state=5, n_jobs=2, verbose=1, checkpoint={path!r}, "
                    f"checkpoint_every=2).fit(np.load({data!r}))")
            with subprocess.Popen([sys.executable, "-c", code], stderr=subprocess.PIPE, text=True) as proc:
                for line in proc.stderr:
                    if "sweep 5/12" in line:  # mid-run, between two checkpoints
                        proc.kill()
                        break
            self.assertTrue(os.path.exists(path))
            resumed, model = self.fit(n_jobs=3, checkpoint=path, resume=True)
            self.assertTrue(np.array_equal(resumed, whole))
            self.assertEqual(model.n_iter_, 12)
            with self.assertRaisesRegex(ValueError, "it was made with sweeps 12, not 13"):
                PoissonNMF(3, n_sweeps=13, random_state=5, checkpoint=path, resume=True).fit(self.x)
            with open(path, "r+b") as f:
                f.seek(200)
                f.write(b"\xff")
            with self.assertRaisesRegex(ValueError, "corrupt"):
                self.fit(checkpoint=path, resume=True)

    def test_auto_sweeps_stop_alike_on_any_jobs_and_the_command_line(self):
        w1, m1 = self.fit(n_jobs=1, n_sweeps="auto")
        w2, m2 = self.fit(n_jobs=2, n_sweeps="auto")
        self.assertEqual(m1.n_iter_, m2.n_iter_)
        self.assertTrue(np.array_equal(w1, w2) and np.array_equal(m1.components_, m2.components_))
        # The last half kept: the fixed fit of as many sweeps.
        self.assertEqual(m1.n_iter_ % 40, 0)
        fixed = PoissonNMF(3, n_sweeps=m1.n_iter_, random_state=5, n_jobs=2)
        self.assertTrue(np.array_equal(fixed.fit_transform(self.x), w1))
        self.assertEqual(m1.transform(self.x[:50]).shape, (50, 3))
        if os.path.exists(CLI):
            with tempfile.TemporaryDirectory() as work:
                path = os.path.join(work, "x.csv")
                np.savetxt(path, self.x, fmt="%d", delimiter=",")
                out = subprocess.run([CLI, "--counts", path, "--components", "3", "--sweeps", "auto", "--seed", "5",
                                      "--jobs", "2", "--quiet", "--out", os.path.join(work, "fit")],
                                     check=True, capture_output=True, text=True).stdout
                self.assertIn(f"sweeps: {m1.n_iter_}, of which {m1.n_iter_ // 2} burn-in", out)
                self.assertTrue(np.array_equal(np.loadtxt(os.path.join(work, "fit_W.csv"), delimiter=","), w1))

    def test_a_killed_worker_ends_the_fit_with_an_error(self):
        result = {}

        def fit():
            try:
                PoissonNMF(3, n_sweeps=10**6, random_state=5, n_jobs=2).fit(self.x)
            except Exception as e:  # noqa: BLE001 - the error is what is tested
                result["error"] = e

        thread = threading.Thread(target=fit, daemon=True)
        thread.start()
        deadline = time.monotonic() + 30
        while not worker_processes() and time.monotonic() < deadline:
            time.sleep(0.01)
        workers = worker_processes()
        self.assertEqual(len(workers), 1)
        os.kill(workers[0], signal.SIGKILL)
        thread.join(timeout=10)
        self.assertFalse(thread.is_alive(), "the fit went on after its worker died")
        self.assertIsInstance(result.get("error"), RuntimeError)
        self.assertRegex(str(result["error"]), "worker process 1 of 1 was killed by signal 9")
        self.assertFalse(worker_processes())

    @unittest.skipUnless(os.getuid() != 0 or (subprocess.run(["which", "setpriv"], capture_output=True).returncode == 0),
                         "no way to run under a process limit")
    def test_a_fit_where_no_process_can_start_runs_on_one(self):
        w1, m1 = self.fit(n_jobs=1)
        with tempfile.TemporaryDirectory() as work:
            os.chmod(work, 0o777)
            data, out = os.path.join(work, "x.npy"), os.path.join(work, "fit.npy")
            np.save(data, self.x)
            os.chmod(data, 0o644)
            code = ("import numpy as np; from sampling_kernels import PoissonNMF; "
                    f"m = PoissonNMF(3, n_sweeps=12, random_state=5, n_jobs=3); w = m.fit_transform(np.load({data!r})); "
                    f"np.save({out!r}, np.hstack([w.T, m.components_]))")
            # RLIMIT_NPROC does not bind root, so root runs it as nobody.
            limited = ["prlimit", "--nproc=1"]
            if os.getuid() == 0:
                limited += ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
            env = dict(os.environ, OPENBLAS_NUM_THREADS="1")  # no threads for numpy either
            result = subprocess.run(limited + [sys.executable, "-c", code], capture_output=True, text=True, env=env,
                                    timeout=120)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertTrue(np.array_equal(np.load(out), np.hstack([w1.T, m1.components_])))

    def test_bad_values(self):
        for params, pattern in [
                ({"n_jobs": 0}, "n_jobs"), ({"n_jobs": -2}, "n_jobs"), ({"n_jobs": 1.5}, "n_jobs"),
                ({"n_jobs": True}, "n_jobs"), ({"n_jobs": "2"}, "n_jobs"), ({"n_jobs": 2**64 + 3}, "n_jobs"),
                ({"checkpoint_every": 0}, "checkpoint_every"), ({"checkpoint_every": True}, "checkpoint_every"),
                ({"checkpoint_every": 2**31}, "checkpoint_every"), ({"resume": "yes"}, "resume"),
                ({"resume": True}, "resume=True needs a checkpoint"), ({"checkpoint": ""}, "checkpoint"),
                ({"checkpoint": 3.5}, "checkpoint"), ({"checkpoint_every": 2**64 + 3}, "checkpoint_every")]:
            with self.subTest(params):
                with self.assertRaisesRegex(ValueError, pattern):
                    PoissonNMF(2, n_sweeps=4, random_state=0, **params).fit(self.x[:20])
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "not.ckpt")
            with open(path, "w") as f:
                f.write("1,2,3\n")
            with self.assertRaisesRegex(ValueError, "not a checkpoint"):
                PoissonNMF(2, n_sweeps=4, random_state=0, checkpoint=path, resume=True).fit(self.x[:20])


@unittest.skipIf(scipy is None, "scipy is not installed")
class SparseInput(unittest.TestCase):
    def test_every_sparse_format_gives_the_dense_fit(self):
        x, _, _ = planted(40, 25, 2, 6)
        dense = PoissonNMF(2, n_sweeps=20, random_state=3).fit_transform(x)
        coo = scipy.sparse.coo_matrix(x)
        # The same counts split into repeated, unsorted entries.
        half = np.floor(coo.data / 2)
        order = np.random.default_rng(0).permutation(2 * coo.nnz)
        split = scipy.sparse.coo_matrix((np.concatenate([half, coo.data - half])[order],
                                         (np.concatenate([coo.row, coo.row])[order],
                                          np.concatenate([coo.col, coo.col])[order])), shape=x.shape)
        for name, m in [("csr", scipy.sparse.csr_matrix(x)), ("csc", scipy.sparse.csc_matrix(x)),
                        ("coo", coo), ("coo with repeats", split),
                        ("csr_array", scipy.sparse.csr_array(x)), ("int dtype", scipy.sparse.csr_matrix(x.astype(np.int32)))]:
            with self.subTest(name):
                self.assertTrue(np.array_equal(PoissonNMF(2, n_sweeps=20, random_state=3).fit_transform(m), dense))

    def test_repeated_entries_of_small_integer_dtypes_add_up_whole(self):
        def fit(m):
            return PoissonNMF(1, n_sweeps=4, random_state=0).fit(m).components_
        for dtype, rows, cols, values, dense in [
                (np.uint8, [0, 0, 1, 1, 1], [0, 0, 1, 1, 1], [200, 100, 255, 255, 255], [[300, 0], [0, 765]]),
                (np.uint16, [0, 1, 1], [0, 1, 1], [300, 65535, 1], [[300, 0], [0, 65536]])]:
            with self.subTest(dtype.__name__):
                m = scipy.sparse.coo_matrix((np.array(values, dtype=dtype), (rows, cols)), shape=(2, 2))
                self.assertTrue(np.array_equal(fit(m), fit(np.array(dense, dtype=np.float64))))

    def test_input_is_not_modified(self):
        x = scipy.sparse.coo_matrix(([1.0, 2.0, 0.0], ([0, 0, 1], [1, 1, 0])), shape=(2, 2))
        before = (x.data.copy(), x.row.copy(), x.col.copy())
        PoissonNMF(1, n_sweeps=4, random_state=0).fit(x)
        for a, b in zip(before, (x.data, x.row, x.col)):
            self.assertTrue(np.array_equal(a, b))


class Statistics(unittest.TestCase):
    def test_transform_of_the_training_rows_matches_fit_transform(self):
        x, _, _ = planted(300, 120, 3, 7)
        # The plain model: with a background, part of each row's rate moves
        # between its background weight and its components.
        model = PoissonNMF(3, n_sweeps=200, random_state=1, background=False)
        w_fit = model.fit_transform(x)
        w_new = model.set_params(random_state=2).transform(x)
        totals = model.components_.sum(axis=1)
        # Each row's expected count, and every entry, agree to within the
        # posterior's spread.
        row_fit, row_new = w_fit @ totals, w_new @ totals
        self.assertLess(np.abs(row_fit - row_new).sum() / row_fit.sum(), 0.01)
        self.assertLess(np.abs(w_fit - w_new).sum() / w_fit.sum(), 0.05)

    def test_a_shared_background_is_kept_apart_from_the_planted_topics(self):
        # A chain may start with the background on a topic's words and a
        # component on the base rate, and stay there: one planted problem of
        # these four does so at 200 sweeps.  Three of four must not.
        kept_apart = 0
        for seed in (21, 22, 23, 24):
            x, w, h, base = planted_with_background(800, 300, 5, seed)
            model = PoissonNMF(5, random_state=4, background=True).fit(x)
            similarity = cosines(h, model.components_)
            recovered = similarity.max(axis=1).min() > 0.95 and len(set(similarity.argmax(axis=1))) == 5
            apart = cosines(base[None], model.background_[None])[0, 0] > 0.95 \
                and cosines(base[None], model.components_).max() < 0.6
            kept_apart += recovered and apart
        self.assertGreaterEqual(kept_apart, 3)
        self.assertIsNone(PoissonNMF(5, n_sweeps=4, random_state=4, background=False).fit(x).background_)

    def test_top_words_are_the_largest_entries_of_components(self):
        x, _, _, _ = planted_with_background(200, 60, 3, 5)
        model = PoissonNMF(3, n_sweeps=40, random_state=0, background=True).fit(x)
        vocabulary = [f"w{j}" for j in range(60)]
        for n in (1, 7, 60):
            with self.subTest(n=n):
                top = model.top_words(vocabulary, n=n, background=True)
                self.assertEqual(len(top), 4)
                for row, words in zip(list(model.components_) + [model.background_], top):
                    columns = [int(w[1:]) for w in words]
                    self.assertEqual(len(set(columns)), n)
                    # Largest first, and nothing left out is larger.
                    self.assertTrue(np.all(np.diff(row[columns]) <= 0))
                    rest = np.delete(row, columns)
                    self.assertTrue(rest.size == 0 or rest.max() <= row[columns].min())
        self.assertEqual(model.top_words(vocabulary, 5), model.top_words(vocabulary, 5, background=True)[:3])

    def test_score_prefers_the_fitted_structure(self):
        x, w, h = planted(200, 100, 3, 8)
        model = PoissonNMF(3, n_sweeps=100, random_state=0).fit(x)
        own = model.score(x)
        self.assertAlmostEqual(own, model.loglik_per_count_, delta=0.01 * abs(own))
        # New rows from the same components score about as well; rows with
        # their columns shuffled score worse.
        rng = np.random.default_rng(9)
        fresh = rng.poisson(rng.gamma(0.5, 2.0, size=(100, 3)) @ h).astype(float)
        self.assertGreater(model.score(fresh), own - 0.1)
        self.assertLess(model.score(fresh[:, rng.permutation(100)]), model.score(fresh) - 0.1)


class BadInput(unittest.TestCase):
    def setUp(self):
        self.x, _, _ = planted(10, 8, 2, 10)

    def test_hyperparameters(self):
        for params, pattern in [
                ({"n_components": 0}, "n_components"), ({"n_components": 1.5}, "n_components"),
                ({"n_components": True}, "n_components"), ({"n_components": 2**31}, "n_components"),
                ({"n_sweeps": 0}, "n_sweeps"), ({"n_sweeps": "9"}, "n_sweeps"),
                ({"burn_in": 1.0}, "burn_in"), ({"burn_in": -0.1}, "burn_in"), ({"burn_in": 4}, "burn_in"),
                ({"burn_in": True}, "burn_in"), ({"burn_in": "half"}, "burn_in"),
                ({"shape": 0}, "shape"), ({"shape": -1.0}, "shape"), ({"shape": float("nan")}, "shape"),
                ({"shape": "a"}, "shape"), ({"rate": 0}, "rate"), ({"rate": "fast"}, "rate"),
                ({"rate": float("inf")}, "rate"), ({"random_state": -1}, "random_state"),
                ({"random_state": 2**32}, "random_state"), ({"random_state": "x"}, "random_state"),
                ({"random_state": 1.5}, "random_state"), ({"background": 1}, "background"),
                ({"background": "yes"}, "background"), ({"background_shape": 0}, "background_shape"),
                ({"background_shape": float("inf")}, "background_shape"),
                ({"background_shape": True}, "background_shape"),
                ({"n_sweeps": "Auto"}, "n_sweeps must be an int of at least 1 or 'auto'"), ({"n_sweeps": -1}, "n_sweeps"),
                ({"n_sweeps": "auto", "burn_in": 1001}, "burn_in must be from 0 to 1000 with n_sweeps='auto'"),
                ({"n_sweeps": "auto", "burn_in": -1}, "burn_in"), ({"n_sweeps": "auto", "burn_in": 0.25}, "burn_in"),
                ({"n_sweeps": "auto", "burn_in": True}, "burn_in"),
                # Beyond what crosses into C unchanged.
                ({"n_sweeps": 2**64 + 3}, "n_sweeps must be below 2"), ({"n_sweeps": 2**31}, "n_sweeps"),
                ({"random_state": 2**64 + 3}, "random_state"), ({"n_components": 2**64 + 3}, "n_components"),
                # Beyond the range in which the sampler's numbers stay finite.
                ({"shape": 5e-324}, "shape must be a number from 1e-10 to 1e10"), ({"shape": 1e308}, "shape"),
                ({"rate": 1e300}, "rate must be a number from 1e-10 to 1e10 or 'auto'"),
                ({"background_shape": 1e-11}, "background_shape")]:
            with self.subTest(params):
                model = PoissonNMF(**{"n_components": 2, "n_sweeps": 4, "random_state": 0, **params})
                with self.assertRaisesRegex(ValueError, pattern):
                    model.fit(self.x)

    def test_counts(self):
        x = self.x
        for name, bad, pattern in [
                ("1-d", x[0], "2-d"), ("3-d", x[None], "2-d"), ("no rows", x[:0], "at least one row"),
                ("no columns", x[:, :0], "at least one row and one column"),
                ("negative", np.where(x > 0, -x, 0), "negative"), ("NaN", x + np.nan, "NaN"),
                ("infinite", x + np.inf, "infinite"), ("fractional", x + 0.5, "whole numbers"),
                ("too large", x * 0 + 2.0**31, "above 2147483647"), ("strings", [["1", "2"]], "real numbers"),
                ("complex", x.astype(complex), "real numbers"), ("bool", x > 0, "real numbers"),
                ("ragged", [[1, 2], [3]], "X"), ("None", None, "X"), ("text", "1,2", "X")]:
            with self.subTest(name):
                with self.assertRaisesRegex(ValueError, pattern):
                    PoissonNMF(2, n_sweeps=4, random_state=0).fit(bad)

    @unittest.skipIf(scipy is None, "scipy is not installed")
    def test_sparse_counts(self):
        for name, bad, pattern in [
                ("negative", scipy.sparse.csr_matrix(-self.x), "negative"),
                ("fractional", scipy.sparse.csr_matrix(self.x / 3), "whole numbers"),
                ("NaN", scipy.sparse.csr_matrix(([np.nan], ([0], [0])), shape=(2, 2)), "NaN"),
                ("empty", scipy.sparse.csr_matrix((0, 3)), "at least one row"),
                ("bool", scipy.sparse.csr_matrix(self.x > 0), "real numbers")]:
            with self.subTest(name):
                with self.assertRaisesRegex(ValueError, pattern):
                    PoissonNMF(2, n_sweeps=4, random_state=0).fit(bad)

    def test_transform_and_score_need_a_fit_with_as_many_features(self):
        model = PoissonNMF(2, n_sweeps=4, random_state=0)
        for method in (model.transform, model.score):
            with self.assertRaisesRegex(ValueError, "not fitted"):
                method(self.x)
        model.fit(self.x)
        for method in (model.transform, model.score):
            with self.assertRaisesRegex(ValueError, "X has 7 features, but PoissonNMF was fitted with 8"):
                method(self.x[:, :7])
            with self.assertRaisesRegex(ValueError, "negative"):
                method(-self.x)

    def test_top_words(self):
        model = PoissonNMF(2, n_sweeps=4, random_state=0)
        words = [f"w{j}" for j in range(8)]
        with self.assertRaisesRegex(ValueError, "not fitted"):
            model.top_words(words)
        model.fit(self.x)
        for name, args, kwargs, pattern in [
                ("short vocabulary", (words[:7],), {}, "vocabulary has 7 words, but PoissonNMF was fitted with 8"),
                ("long vocabulary", (words + ["x"],), {}, "vocabulary has 9 words"),
                ("a string", ("abcdefgh",), {}, "a single string"), ("not a sequence", (8,), {}, "vocabulary"),
                ("n of 0", (words,), {"n": 0}, "n must be an int from 1 to 8"), ("n too large", (words,), {"n": 9}, "n must"),
                ("n a float", (words,), {"n": 2.0}, "n must"), ("n a bool", (words,), {"n": True}, "n must")]:
            with self.subTest(name):
                with self.assertRaisesRegex(ValueError, pattern):
                    model.top_words(*args, **kwargs)
        plain = PoissonNMF(2, n_sweeps=4, random_state=0, background=False).fit(self.x)
        with self.assertRaisesRegex(ValueError, "without a background"):
            plain.top_words(words, n=3, background=True)


if __name__ == "__main__":
    unittest.main()
