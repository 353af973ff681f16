"""DaskPoissonNMF on a LocalCluster (127.0.0.1 only): the bits of PoissonNMF(n_jobs=1) for every chunking
and number of workers, a worker killed mid-fit, a cluster that goes away, and bad input refused first.

Run with Debian's interpreter: /usr/bin/python3 -m unittest test_dask
"""
import os
import signal
import tempfile
import threading
import time
import unittest

import numpy as np

try:
    import dask.array as da
    import scipy.sparse
    from distributed import Client, LocalCluster
except ImportError:  # every case is skipped, saying why
    da = None

from sampling_kernels import PoissonNMF

if da is not None:
    from sampling_kernels.dask import DaskPoissonNMF


def local_cluster(workers, threads=1):
    return LocalCluster(n_workers=workers, threads_per_worker=threads, processes=True, host="127.0.0.1",
                        dashboard_address=":0", silence_logs=50)


def _minor_faults():
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


@unittest.skipIf(da is None, "python3-distributed is not installed")
class OnACluster(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Six row blocks of 1024 rows and a part block; every piece gets some.
        cls.x = np.random.default_rng(1).poisson(0.08, size=(6500, 60)).astype(np.float64)
        cls.local = PoissonNMF(3, n_sweeps=12, random_state=5, n_jobs=1)
        cls.w = cls.local.fit_transform(cls.x)
        cls.cluster = local_cluster(2)
        cls.client = Client(cls.cluster)

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        cls.cluster.close()

    def same_as_local(self, model, w=None):
        self.assertTrue(np.array_equal(model.components_, self.local.components_))
        self.assertTrue(np.array_equal(model.background_, self.local.background_))
        if w is not None:
            self.assertTrue(np.array_equal(np.asarray(w), self.w))

    def test_every_chunking_and_number_of_workers_gives_the_local_bits(self):
        x = self.x
        cases = [("one chunk", da.from_array(x, chunks=(6500, 60))),
                 ("chunks of 1000", da.from_array(x, chunks=(1000, 60))),
                 ("uneven chunks", da.from_array(x, chunks=((1500, 37, 4963), 60))),
                 ("scipy.sparse chunks", da.from_array(x, chunks=(2000, 60)).map_blocks(scipy.sparse.csr_matrix))]
        for name, X in cases:
            with self.subTest(name):
                model = DaskPoissonNMF(3, n_sweeps=12, random_state=5)
                w = model.fit_transform(X)
                self.assertEqual(w.chunks[0], X.chunks[0])
                self.same_as_local(model, w.compute())
        blocks = [scipy.sparse.csr_matrix(x[i:i + 700]) for i in range(0, 6500, 700)]
        with self.subTest("a list of scipy.sparse row blocks"):
            self.same_as_local(DaskPoissonNMF(3, n_sweeps=12, random_state=5, client=self.client).fit(blocks))
        with local_cluster(1, threads=2) as one, Client(one) as client:
            with self.subTest("one worker with two threads"):
                model = DaskPoissonNMF(3, n_sweeps=12, random_state=5, client=client)
                self.same_as_local(model, model.fit_transform(da.from_array(x, chunks=(800, 60))).compute())
        with self.subTest("with a background"):
            local = PoissonNMF(3, n_sweeps=12, random_state=5, n_jobs=1, background=True)
            w_local = local.fit_transform(x)
            model = DaskPoissonNMF(3, n_sweeps=12, random_state=5, background=True)
            w = model.fit_transform(da.from_array(x, chunks=(2500, 60))).compute()
            self.assertIsNotNone(model.background_)
            self.assertTrue(np.array_equal(model.background_, local.background_))
            self.assertTrue(np.array_equal(model.components_, local.components_) and np.array_equal(w, w_local))
            self.assertFalse(np.array_equal(local.components_, self.local.components_))
        local = DaskPoissonNMF(3, n_sweeps=12, random_state=5).fit(da.from_array(x, chunks=(3000, 60))).to_local()
        self.assertEqual(self.pieces_left_on_workers(), 0)  # a fit leaves no state behind on the workers
        self.assertIsInstance(local, PoissonNMF)
        self.assertTrue(np.array_equal(local.transform(x[:50]), self.local.transform(x[:50])))

    def test_a_worker_killed_mid_fit_costs_nothing_but_time(self):
        # A Dask array's lost chunks are computed again; a list's are sent again.
        blocks = [scipy.sparse.csr_matrix(self.x[i:i + 1100]) for i in range(0, 6500, 1100)]
        for name, X in [("a Dask array", da.from_array(self.x, chunks=(1100, 60))), ("a list of blocks", blocks)]:
            with self.subTest(name), tempfile.TemporaryDirectory() as work:
                path = os.path.join(work, "fit.ckpt")
                model = DaskPoissonNMF(3, n_sweeps=12, random_state=5, checkpoint=path, checkpoint_every=3)

                killed_mid_fit = []

                def kill_a_worker():  # once the first state is saved, nine sweeps before the end
                    deadline = time.monotonic() + 60
                    while not os.path.exists(path) and time.monotonic() < deadline:
                        time.sleep(0.005)
                    pids = [n.process.pid for n in self.cluster.workers.values() if n.process is not None]
                    os.kill(pids[0], signal.SIGKILL)
                    killed_mid_fit.append(not hasattr(model, "components_"))

                killer = threading.Thread(target=kill_a_worker)
                killer.start()
                model.fit(X)
                killer.join()
                self.assertEqual(killed_mid_fit, [True])
                self.same_as_local(model)
            self.client.wait_for_workers(2, timeout=60)  # the nanny's new worker, for the other tests
        self.assertEqual(self.pieces_left_on_workers(), 0)

    def test_blocks_moved_between_workers_mid_fit_keep_the_local_bits(self):
        from unittest import mock
        from sampling_kernels import dask as pieces
        # Each balance point (after 3 sweeps, then 4 and 8) moves blocks: to
        # one worker a single block, then all to the other, then an even split.
        cuts = iter([[(0, 0, 1), (1, 1, 6)], [(1, 0, 7)], [(0, 0, 3), (1, 3, 4)]])
        looks_faster = iter([1.0, 0.5] * 3)  # the pieces held, then the new ones
        with mock.patch.object(pieces, "_balanced_pieces", lambda costs, speeds: next(cuts)), \
                mock.patch.object(pieces, "_piece_seconds", lambda *_: next(looks_faster)):
            model = DaskPoissonNMF(3, n_sweeps=12, random_state=5, checkpoint_every=4)
            w = model.fit_transform(da.from_array(self.x, chunks=(2000, 60))).compute()
        self.assertEqual(next(cuts, None), None)
        self.assertEqual(model._pieces, [(0, 3), (3, 4)])
        self.same_as_local(model, w)
        self.assertEqual(self.pieces_left_on_workers(), 0)

    def test_a_worker_that_joins_mid_fit_gets_a_piece(self):
        from unittest import mock
        from sampling_kernels import dask as pieces
        balance = pieces._HeldPieces.balance
        with local_cluster(1) as cluster, Client(cluster) as client:
            def after_a_worker_joins(held, *args):
                if len(client.ncores()) == 1:
                    cluster.scale(2)
                    client.wait_for_workers(2, timeout=60)
                return balance(held, *args)

            with mock.patch.object(pieces._HeldPieces, "balance", after_a_worker_joins):
                model = DaskPoissonNMF(3, n_sweeps=12, random_state=5, client=client)
                w = model.fit_transform(da.from_array(self.x, chunks=(6500, 60))).compute()
            self.assertEqual(len(model._pieces), 2)  # after 3 sweeps on one worker, the rest on two
            self.same_as_local(model, w)

    def test_auto_sweeps_stop_where_the_local_fit_stops(self):
        from unittest import mock
        from sampling_kernels import dask as pieces
        finished, lost = pieces._HeldPieces._finished, []

        # The default fit levels off at sweep 60 and saves its state there,
        # where the sums of W start afresh: a worker's state lost in the
        # next chain sends it back to that state.
        def lost_after_the_stop_is_known(held, first, chain):
            if first == 60 and not lost:
                lost.append(first)
                raise pieces._LostState("made to be lost")
            yield from finished(held, first, chain)

        for name, options in [("burn-in where the measure levels off, going back to the state saved there",
                               dict(checkpoint_every=20)),
                              ("a burn-in of 30 sweeps, saved every 7", dict(burn_in=30, checkpoint_every=7))]:
            with self.subTest(name), mock.patch.object(pieces._HeldPieces, "_finished", lost_after_the_stop_is_known):
                local = PoissonNMF(3, n_sweeps="auto", random_state=5, n_jobs=1,
                                   **{k: v for k, v in options.items() if k == "burn_in"})
                w_local = local.fit_transform(self.x)
                model = DaskPoissonNMF(3, n_sweeps="auto", random_state=5, **options)
                w = model.fit_transform(da.from_array(self.x, chunks=(1500, 60))).compute()
                self.assertEqual(model.n_iter_, local.n_iter_)
                self.assertTrue(np.array_equal(model.components_, local.components_) and np.array_equal(w, w_local))
        self.assertEqual(lost, [60])
        self.assertEqual(self.pieces_left_on_workers(), 0)

    def pieces_left_on_workers(self):
        return sum(self.client.run(lambda dask_worker: len(getattr(dask_worker, "_sampling_kernels_pieces", {})))
                   .values())

    def test_a_cluster_that_goes_away_leaves_a_checkpoint_to_resume_from(self):
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "fit.ckpt")
            params = dict(n_sweeps=12, random_state=5, checkpoint=path, checkpoint_every=2)
            cluster = local_cluster(1)
            client = Client(cluster, timeout=5)
            result = {}

            def fit():
                try:
                    DaskPoissonNMF(3, client=client, **params).fit(da.from_array(self.x, chunks=(2000, 60)))
                except Exception as e:  # noqa: BLE001 - the error is what is tested
                    result["error"] = e

            thread = threading.Thread(target=fit)
            thread.start()
            deadline = time.monotonic() + 60
            while not os.path.exists(path) and time.monotonic() < deadline:
                time.sleep(0.01)
            cluster.close()
            thread.join(timeout=120)
            client.close()
            self.assertFalse(thread.is_alive())
            self.assertIsInstance(result.get("error"), RuntimeError)
            self.assertRegex(str(result["error"]), f"the Dask cluster went away .*; the checkpoint {path} holds sweep")
            resumed = DaskPoissonNMF(3, client=self.client, resume=True, **params)
            self.same_as_local(resumed, resumed.fit_transform(da.from_array(self.x, chunks=(3000, 60))).compute())
            other = DaskPoissonNMF(4, client=self.client, resume=True, **params)
            with self.assertRaisesRegex(ValueError, "it was made with components 3, not 4"):
                other.fit(da.from_array(self.x, chunks=(3000, 60)))

    def test_sweeps_reuse_the_memory_they_free(self):
        # Dask starts its workers with glibc's adaptive malloc limits turned off; unless the fit turns them back
        # on, every block's working memory (here 640 KB: K x 20,000 doubles) is faulted in afresh each sweep.
        x = scipy.sparse.random(3000, 20000, density=0.002, random_state=3, format="csr")
        x.data[:] = 1.0
        blocks = [x[:1500], x[1500:]]

        def faults():
            return sum(self.client.run(_minor_faults).values())

        spent = {}
        for sweeps in (2, 2, 12):  # the first fit grows the heaps
            before = faults()
            DaskPoissonNMF(4, n_sweeps=sweeps, random_state=0, client=self.client).fit(blocks)
            spent[sweeps] = faults() - before
        pages_of_one_working_copy = 4 * 20000 * 8 // 4096
        self.assertLess((spent[12] - spent[2]) / 10, pages_of_one_working_copy, spent)

    def test_bad_input_is_refused_naming_it_before_any_fitting(self):
        x = self.x
        for name, X, pattern in [
                ("chunked by columns", da.from_array(x, chunks=(1000, 30)), "chunked by rows only"),
                ("a numpy array", x, "a Dask array chunked by rows or a list"),
                ("1-d", da.from_array(x[0], chunks=10), "2-d"),
                ("negative", da.from_array(-x, chunks=(1000, 60)), "negative"),
                ("NaN", da.from_array(np.where(x > 0, np.nan, 0), chunks=(1000, 60)), "NaN"),
                ("blocks of other widths", [scipy.sparse.csr_matrix(x[:10]), scipy.sparse.csr_matrix(x[:10, :5])],
                 "different numbers of columns"),
                ("dense blocks in a list", [x[:10]], r"X\[0\] is a ndarray"),
                ("an empty list", [], "empty list")]:
            with self.subTest(name):
                with self.assertRaisesRegex(ValueError, pattern):
                    DaskPoissonNMF(2, n_sweeps=4, random_state=0).fit(X)
        with self.assertRaisesRegex(ValueError, "n_sweeps"):
            DaskPoissonNMF(2, n_sweeps=0).fit(da.from_array(x, chunks=(1000, 60)))
        with self.assertRaisesRegex(ValueError, "burn_in must be from 0 to 1000 with n_sweeps='auto'"):
            DaskPoissonNMF(2, n_sweeps="auto", burn_in=1001).fit(da.from_array(x, chunks=(1000, 60)))
        with self.assertRaisesRegex(ValueError, "not fitted"):
            DaskPoissonNMF(2).to_local()


@unittest.skipIf(da is None, "python3-distributed is not installed")
class TheBalance(unittest.TestCase):
    def test_the_cut_is_the_best_of_all_consecutive_cuts(self):
        from itertools import combinations_with_replacement
        from sampling_kernels.dask import _balanced_pieces
        rng = np.random.default_rng(3)
        for case in range(300):
            blocks, workers = int(rng.integers(1, 8)), int(rng.integers(1, 4))
            costs = rng.integers(0, 5, blocks) * rng.random(blocks) if case % 3 else rng.random(blocks)
            speeds = rng.random(workers) + (0.05 if case % 2 else 1.0)
            cut = _balanced_pieces(costs, speeds)
            self.assertEqual([(f, n) for _, f, n in cut][0][0], 0)
            self.assertTrue(all(n > 0 for _, _, n in cut))
            self.assertEqual(sum(n for _, _, n in cut), blocks)
            self.assertTrue(all(a[1] + a[2] == b[1] and a[0] < b[0] for a, b in zip(cut, cut[1:])))
            seconds = max(costs[f:f + n].sum() / speeds[w] for w, f, n in cut)
            best = min(max(costs[a:b].sum() / speeds[w] for w, (a, b) in enumerate(zip((0,) + ends, ends + (blocks,))))
                       for ends in combinations_with_replacement(range(blocks + 1), workers - 1))
            self.assertLessEqual(seconds, best * (1 + 1e-9) + 1e-12, (costs, speeds, cut))


@unittest.skipIf(da is None, "python3-distributed is not installed")
class ThePiecesColumnSweep(unittest.TestCase):
    def test_a_sweep_that_turns_non_finite_is_a_run_error_naming_the_sums(self):
        import ctypes
        from sampling_kernels import dask as pieces
        plan = pieces._plan_from(dict(n_rows=3000, n_cols=40, n_components=2, nnz=100, total=150.0, n_sweeps=4,
                                      burn_in=2, shape=0.2, rate=0.0, seed=1, background=0, background_shape=1.0))
        f, cols = plan.n_factors, plan.n_cols
        h, eta, h_rows = np.empty((f, cols)), np.empty(cols), np.empty(f)
        pieces._call("SK_NMF_Start_Columns", ctypes.byref(plan), h.ctypes.data, eta.ctypes.data, h_rows.ctypes.data)
        for name, bad in [("W's column", "task sums"), ("H's row", "tallies")]:
            with self.subTest(name):
                tallies, task_sums = np.ones((f, cols)), np.ones((plan.n_tasks, f))
                if bad == "task sums":
                    task_sums[1, 1] = np.inf
                else:
                    tallies[0, 3] = np.nan  # a NaN tally draws a NaN H
                with self.assertRaisesRegex(RuntimeError, f"non-finite in sweep 1: the sum of {name}"):
                    pieces._call("SK_NMF_Sweep_Columns", ctypes.byref(plan), 0, tallies.ctypes.data,
                                 task_sums.ctypes.data, None, h.ctypes.data, np.zeros((f, cols)).ctypes.data,
                                 eta.ctypes.data, h_rows.ctypes.data, None)


if __name__ == "__main__":
    unittest.main()
