"""multi_sample with scipy.sparse counts: the dense call's tallies, any format,
never densified, one library call, scipy imported only when used."""

import os
import subprocess
import sys
import unittest

import numpy as np

import sampling_kernels as sk

try:
    import scipy.sparse as sp
except ImportError:  # tools/install_deps.sh installs python3-scipy
    sp = None


def problem(rng, n_rows=30, n_cols=40, k=5, density=0.2):
    counts = sp.random(n_rows, n_cols, density=density, format="csr", random_state=rng,
                       data_rvs=lambda n: rng.integers(1, 6, size=n).astype(float))
    row_factors = rng.gamma(0.7, size=(n_rows, k))
    col_factors = rng.gamma(0.7, size=(k, n_cols))
    return counts, row_factors, col_factors


def seeded_result(counts, row_factors, col_factors, seed, tallies=None):
    """multi_sample on dense or sparse counts after seeding rand(); copies of
    the starting tallies, if given, receive the draws."""
    sk.seed(seed)
    if tallies is None:
        return sk.multi_sample(counts, row_factors, col_factors)
    rt, ct = (t.copy() for t in tallies)
    return sk.multi_sample(counts, row_factors, col_factors, rt, ct)


def assert_same_bits(test, got, want, what):
    for g, w, name in zip(got, want, ("row_tallies", "col_tallies")):
        test.assertEqual(g.shape, w.shape, f"{what}: {name}")
        test.assertEqual(g.tobytes(), w.tobytes(), f"{what}: {name}")


class NoDensify(Exception):
    pass


@unittest.skipIf(sp is None, "scipy is not installed")
class SparseMatchesDenseTest(unittest.TestCase):
    def setUp(self):
        self.rng = np.random.default_rng(3)

    def test_every_format_gives_the_dense_tallies(self):
        counts, rf, cf = problem(self.rng)
        want = seeded_result(counts.toarray(), rf, cf, 11)
        formats = {"csr": counts, "csc": counts.tocsc(), "coo": counts.tocoo(),
                   "lil": counts.tolil(), "dok": counts.todok(), "bsr": counts.tobsr(),
                   "dia": counts.todia(), "csr_array": sp.csr_array(counts),
                   "coo_array": sp.coo_array(counts), "int32 data": counts.astype(np.int32),
                   "float32 data": counts.astype(np.float32)}
        for name, m in formats.items():
            assert_same_bits(self, seeded_result(m, rf, cf, 11), want, name)

    def test_wide_and_tall_matrices_give_the_dense_tallies(self):
        # Few cells per column and many, with more draws than a batch of the
        # companion holds.
        for n_rows, n_cols, k, density in ((300, 2000, 20, 0.005), (300, 20, 8, 0.9),
                                           (60, 3000, 64, 0.06)):
            counts, rf, cf = problem(self.rng, n_rows, n_cols, k, density)
            want = seeded_result(counts.toarray(), rf, cf, 17)
            assert_same_bits(self, seeded_result(counts, rf, cf, 17), want,
                             f"{n_rows} x {n_cols}, k {k}")

    def test_fractional_counts_and_starting_tallies(self):
        counts, rf, cf = problem(self.rng, k=17)
        counts.data = self.rng.uniform(0, 3, size=counts.nnz)  # some below 0.5
        tallies = (self.rng.uniform(0, 5, size=(30, 17)), np.full((17, 40), 0.3))
        want = seeded_result(counts.toarray(), rf, cf, 5, tallies)
        assert_same_bits(self, seeded_result(counts, rf, cf, 5, tallies), want, "fractional")

    def test_unsorted_indices_and_duplicates_are_summed_as_scipy_sums_them(self):
        rows = np.array([2, 0, 2, 1, 2, 0, 2])
        cols = np.array([3, 1, 0, 2, 3, 1, 3])
        vals = np.array([1.0, 2.0, 1.0, 4.0, 2.0, 1.5, 0.5])
        coo = sp.coo_matrix((vals, (rows, cols)), shape=(3, 5))
        rf = self.rng.gamma(1.0, size=(3, 4))
        cf = self.rng.gamma(1.0, size=(4, 5))
        summed = coo.tocsr()
        summed.sum_duplicates()
        want = seeded_result(summed.toarray(), rf, cf, 8)
        # An unsorted CSR with duplicates, built directly.
        unsorted = sp.csr_matrix((vals[[1, 5, 3, 0, 2, 4, 6]],
                                  np.array([1, 1, 2, 3, 0, 3, 3]), np.array([0, 2, 3, 7])),
                                 shape=(3, 5))
        self.assertFalse(unsorted.has_canonical_format)
        before = (unsorted.indices.copy(), unsorted.data.copy(), unsorted.indptr.copy())
        for name, m in (("coo", coo), ("unsorted csr", unsorted), ("csc", unsorted.tocsc())):
            assert_same_bits(self, seeded_result(m, rf, cf, 8), want, name)
        # The caller's matrix is left as it was.
        for a, b in zip(before, (unsorted.indices, unsorted.data, unsorted.indptr)):
            np.testing.assert_array_equal(a, b)
        self.assertFalse(unsorted.has_canonical_format)

    def test_explicit_zeros_and_empty_rows(self):
        m = sp.csr_matrix((np.array([0.0, 3.0, 0.0, 2.0]), np.array([0, 1, 2, 0]),
                           np.array([0, 3, 3, 4, 4])), shape=(4, 3))
        rf = self.rng.gamma(1.0, size=(4, 2))
        cf = self.rng.gamma(1.0, size=(2, 3))
        want = seeded_result(m.toarray(), rf, cf, 2)
        assert_same_bits(self, seeded_result(m, rf, cf, 2), want, "explicit zeros")
        empty = sp.csr_matrix((4, 3))
        rt, ct = sk.multi_sample(empty, rf, cf)
        self.assertEqual(rt.sum() + ct.sum(), 0)

    def test_int64_index_arrays(self):
        counts, rf, cf = problem(self.rng)
        wide = counts.copy()
        wide.indices = wide.indices.astype(np.int64)  # the constructor would narrow them
        wide.indptr = wide.indptr.astype(np.int64)
        self.assertEqual(wide.indices.dtype, np.int64)
        want = seeded_result(counts.toarray(), rf, cf, 4)
        assert_same_bits(self, seeded_result(wide, rf, cf, 4), want, "int64 indices")

    def test_given_tallies_are_added_to_in_place(self):
        counts, rf, cf = problem(self.rng)
        rt, ct = np.ones((30, 5)), np.ones((5, 40))
        got = sk.multi_sample(counts, rf, cf, rt, ct)
        self.assertIs(got[0], rt)
        self.assertIs(got[1], ct)
        self.assertEqual(rt.sum() - rt.size, counts.sum())
        self.assertEqual(ct.sum() - ct.size, counts.sum())


@unittest.skipIf(sp is None, "scipy is not installed")
class SparseNeverDensifiesTest(unittest.TestCase):
    def test_no_dense_conversion_and_one_library_call(self):
        class Guarded(sp.csr_matrix):
            def toarray(self, *a, **k):
                raise NoDensify("toarray")

            def todense(self, *a, **k):
                raise NoDensify("todense")

            def __array__(self, *a, **k):
                raise NoDensify("__array__")

        rng = np.random.default_rng(5)
        counts, rf, cf = problem(rng)
        from sampling_kernels import _sparse
        calls = []
        original = _sparse._lib.Multi_Sample_CSR
        def counting(*args):
            calls.append(args)
            return original(*args)
        _sparse._lib.Multi_Sample_CSR = counting
        try:
            sk.multi_sample(Guarded(counts), rf, cf)
        finally:
            _sparse._lib.Multi_Sample_CSR = original
        self.assertEqual(len(calls), 1)

    def test_a_matrix_too_large_to_densify(self):
        # 200,000 x 100,000 doubles would be 160 GB.
        n_rows, n_cols, k = 200_000, 100_000, 3
        rows = np.array([0, 5, 199_999])
        cols = np.array([7, 99_999, 0])
        m = sp.coo_matrix((np.array([2.0, 1.0, 3.0]), (rows, cols)), shape=(n_rows, n_cols))
        rf = np.ones((n_rows, k))
        cf = np.ones((k, n_cols))
        rt, ct = sk.multi_sample(m, rf, cf)
        self.assertEqual(rt.sum(), 6)
        self.assertEqual(ct[:, 7].sum(), 2)
        self.assertEqual(ct[:, 0].sum(), 3)


@unittest.skipIf(sp is None, "scipy is not installed")
class SparseThreadsTest(unittest.TestCase):
    def test_threads_sharing_tallies_lose_no_unit(self):
        import threading
        rng = np.random.default_rng(21)
        counts, rf, cf = problem(rng, n_rows=200, n_cols=300, k=8, density=0.3)
        rt, ct = np.zeros((200, 8)), np.zeros((8, 300))
        def work():
            for _ in range(20):
                sk.multi_sample(counts, rf, cf, rt, ct)
        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(rt.sum(), 80 * counts.sum())
        self.assertEqual(ct.sum(), 80 * counts.sum())


@unittest.skipIf(sp is None, "scipy is not installed")
class SparseLoadingTest(unittest.TestCase):
    def test_loads_the_companion_it_is_told_to(self):
        wanted = os.environ.get("SAMPLING_KERNELS_SPARSE_LIBRARY")
        if wanted is None:
            self.skipTest("SAMPLING_KERNELS_SPARSE_LIBRARY is not set")
        sk.multi_sample(sp.csr_matrix((1, 1)), np.ones((1, 1)), np.ones((1, 1)))
        from sampling_kernels import _sparse
        self.assertEqual(_sparse.library_path, wanted)


class ScipyStaysOptionalTest(unittest.TestCase):
    def test_dense_use_does_not_import_scipy(self):
        code = ("import sys, numpy as np, sampling_kernels as sk\n"
                "sk.multi_sample(np.ones((2, 2)), np.ones((2, 1)), np.ones((1, 2)))\n"
                "assert not any(m == 'scipy' or m.startswith('scipy.') for m in sys.modules), "
                "sorted(m for m in sys.modules if m.startswith('scipy'))\n")
        result = subprocess.run([sys.executable, "-c", code], env=os.environ.copy(),
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)


@unittest.skipIf(sp is None, "scipy is not installed")
class SparseRejectsTest(unittest.TestCase):
    def setUp(self):
        rng = np.random.default_rng(9)
        self.counts, self.rf, self.cf = problem(rng, n_rows=4, n_cols=6, k=2, density=0.5)

    def rejects(self, error, counts=None, rf=None, cf=None, rt=None, ct=None, word=""):
        counts = self.counts if counts is None else counts
        with self.assertRaises(error) as caught:
            sk.multi_sample(counts, self.rf if rf is None else rf, self.cf if cf is None else cf,
                            rt, ct)
        self.assertIn(word, str(caught.exception))

    def test_bad_values(self):
        for bad, word in ((np.nan, "finite"), (np.inf, "finite"), (-1.0, "negative"),
                          (3e9, "exceed")):
            m = self.counts.copy()
            m.data[0] = bad
            self.rejects(ValueError, counts=m, word=word)

    def test_values_at_the_bounds_pass_and_just_beyond_fail(self):
        # Counts and factors are cleared by the largest bits of the whole
        # array; each value on either side of a bound, alone in an array of
        # ordinary values, dense and sparse alike.
        top = 2147483647.0
        big = np.finfo(np.float64).max
        for counts_value, ok in ((top, True), (-0.0, True), (5e-324, True),
                                 (np.nextafter(top, np.inf), False), (-5e-324, False),
                                 (-np.nan, False)):
            for dense in (True, False):
                m = self.counts.copy()
                m.data[1] = counts_value
                counts = m.toarray() if dense else m
                what = f"count {counts_value!r}, {'dense' if dense else 'sparse'}"
                if ok:
                    sk.multi_sample(counts, self.rf, self.cf)
                else:
                    with self.assertRaises(ValueError, msg=what):
                        sk.multi_sample(counts, self.rf, self.cf)
        for factor, ok in ((big, True), (-0.0, True), (0.0, True), (np.inf, False),
                           (-5e-324, False), (-np.nan, False)):
            for name, base in (("row_factors", self.rf), ("col_factors", self.cf)):
                f = base.copy()
                f[1, 1] = factor
                factors = {"row_factors": self.rf, "col_factors": self.cf, name: f}
                if ok:
                    sk.multi_sample(self.counts, **factors)
                else:
                    with self.assertRaisesRegex(ValueError, name, msg=f"{name} {factor!r}"):
                        sk.multi_sample(self.counts, **factors)

    def test_bad_dtypes(self):
        self.rejects(TypeError, counts=self.counts.astype(bool), word="real")
        self.rejects(TypeError, counts=self.counts.astype(np.complex128), word="real")

    def test_bad_shapes(self):
        self.rejects(ValueError, rf=np.ones((5, 2)), word="row_factors")
        self.rejects(ValueError, cf=np.ones((2, 7)), word="col_factors")
        self.rejects(ValueError, rf=np.ones((4, 0)), cf=np.ones((0, 6)), word="component")
        self.rejects(ValueError, rt=np.zeros((4, 3)), word="row_tallies")
        self.rejects(TypeError, ct=np.zeros((2, 6), dtype=np.float32), word="col_tallies")

    def test_bad_factors(self):
        rf = self.rf.copy()
        rf[0, 0] = np.nan
        self.rejects(ValueError, rf=rf, word="row_factors")
        cf = self.cf.copy()
        cf[1, 1] = -2
        self.rejects(ValueError, cf=cf, word="col_factors")

    def test_tallies_overlapping_the_counts(self):
        m = self.counts.copy()
        # A tally that is the matrix's own data buffer.
        buffer = np.zeros(max(8, m.nnz))
        m.data = buffer[:m.nnz]
        row_tallies = buffer[:8].reshape(4, 2)
        self.rejects(ValueError, counts=m, rt=row_tallies, word="overlaps")

    def test_tallies_unchanged_after_a_refusal(self):
        m = self.counts.copy()
        m.data[-1] = np.nan
        rt, ct = np.full((4, 2), 0.5), np.full((2, 6), 0.5)
        self.rejects(ValueError, counts=m, rt=rt, ct=ct, word="finite")
        self.assertTrue(np.all(rt == 0.5) and np.all(ct == 0.5))


if __name__ == "__main__":
    unittest.main()
