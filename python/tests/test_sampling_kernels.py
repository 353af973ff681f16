"""Tests of the Python binding against the library it loads."""

import ctypes
import doctest
import fractions
import os
import threading
import unittest

import numpy as np

import sampling_kernels as sk

_libc = ctypes.CDLL("libc.so.6")
_libc.rand.restype = ctypes.c_int


def reference(counts, row_factors, col_factors, seed):
    """The allocation pass written out in Python, drawing from the same rand()."""
    _libc.srand(seed)
    n_rows, n_cols = counts.shape
    k = row_factors.shape[1]
    row_tallies = np.zeros((n_rows, k))
    col_tallies = np.zeros((k, n_cols))
    for i in range(n_rows):
        for j in range(n_cols):
            c = float(counts[i, j])
            if not 0.5 <= c <= 2147483647.0:
                continue
            cumulative, total = [], 0.0
            for m in range(k):
                total = float(col_factors[m, j]) * float(row_factors[i, m]) + total
                cumulative.append(total)
            for _ in range(int(np.ceil(c))):
                target = (_libc.rand() / 2147483647.0) * total
                e = min(int(np.searchsorted(cumulative, target, side="left")), k - 1)
                row_tallies[i, e] += 1.0
                col_tallies[e, j] += 1.0
    return row_tallies, col_tallies


def problem(rng, n_rows=5, k=3, n_cols=4):
    counts = rng.integers(0, 6, size=(n_rows, n_cols)).astype(float)
    row_factors = rng.gamma(0.7, size=(n_rows, k))
    col_factors = rng.gamma(0.7, size=(k, n_cols))
    if k > 1:
        row_factors[0, 1] = 0.0  # a zero weight must never be chosen
    return counts, row_factors, col_factors


class LoadingTest(unittest.TestCase):
    def test_loads_the_library_it_is_told_to(self):
        wanted = os.environ.get("SAMPLING_KERNELS_LIBRARY")
        if wanted is None:
            self.skipTest("SAMPLING_KERNELS_LIBRARY is not set")
        self.assertEqual(sk.library_path, wanted)


class MultiSampleTest(unittest.TestCase):
    def setUp(self):
        self.rng = np.random.default_rng(11)

    def test_matches_the_algorithm_draw_for_draw(self):
        for shape in [(5, 3, 4), (1, 1, 1), (7, 6, 2)]:
            counts, row_f, col_f = problem(self.rng, *shape)
            counts[0, 0] = 2.3  # a fractional count draws ceil(c) times
            want = reference(counts, row_f, col_f, 42)
            sk.seed(42)
            got = sk.multi_sample(counts, row_f, col_f)
            np.testing.assert_array_equal(got[0], want[0])
            np.testing.assert_array_equal(got[1], want[1])

    def test_any_real_dtype_and_order_gives_the_same_result(self):
        counts, row_f, col_f = problem(self.rng)
        sk.seed(3)
        want = sk.multi_sample(counts, row_f, col_f)
        variants = [
            (counts.astype(np.int32), row_f, col_f),
            (np.asfortranarray(counts), np.asfortranarray(row_f), np.asfortranarray(col_f)),
            (counts.astype(np.uint8), row_f.T.copy().T, col_f[:, ::-1][:, ::-1]),
            (counts.tolist(), row_f.tolist(), col_f.astype(np.float32).astype(np.float64)),
        ]
        for c, r, f in variants:
            sk.seed(3)
            got = sk.multi_sample(c, r, f)
            np.testing.assert_array_equal(got[0], want[0])
            np.testing.assert_array_equal(got[1], want[1])

    def test_given_tallies_are_added_to_in_place(self):
        counts, row_f, col_f = problem(self.rng)
        sk.seed(8)
        fresh_rows, fresh_cols = sk.multi_sample(counts, row_f, col_f)
        rows = np.full(fresh_rows.shape, 2.0)
        cols = np.full(fresh_cols.shape, -1.0)
        sk.seed(8)
        out_rows, out_cols = sk.multi_sample(counts, row_f, col_f, rows, cols)
        self.assertIs(out_rows, rows)
        self.assertIs(out_cols, cols)
        np.testing.assert_array_equal(rows, fresh_rows + 2.0)
        np.testing.assert_array_equal(cols, fresh_cols - 1.0)
        # Only one given: the other starts at zero.
        sk.seed(8)
        only = np.zeros(fresh_cols.shape)
        out_rows, out_cols = sk.multi_sample(counts, row_f, col_f, col_tallies=only)
        self.assertIs(out_cols, only)
        np.testing.assert_array_equal(out_rows, fresh_rows)

    def test_tallies_account_for_every_count(self):
        counts, row_f, col_f = problem(self.rng, 6, 4, 5)
        rows, cols = sk.multi_sample(counts, row_f, col_f)
        np.testing.assert_array_equal(rows.sum(axis=1), counts.sum(axis=1))
        np.testing.assert_array_equal(cols.sum(axis=0), counts.sum(axis=0))
        self.assertEqual(rows[0, 1], 0.0)

    def test_seed_repeats_and_different_seeds_differ(self):
        counts = np.full((20, 20), 5.0)
        row_f = np.ones((20, 4))
        col_f = np.ones((4, 20))
        sk.seed(1)
        a = sk.multi_sample(counts, row_f, col_f)[0]
        sk.seed(1)
        b = sk.multi_sample(counts, row_f, col_f)[0]
        sk.seed(2)
        c = sk.multi_sample(counts, row_f, col_f)[0]
        np.testing.assert_array_equal(a, b)
        self.assertFalse(np.array_equal(a, c))

    def test_empty_matrices_visit_nothing(self):
        rows, cols = sk.multi_sample(np.zeros((0, 3)), np.zeros((0, 2)), np.ones((2, 3)))
        self.assertEqual(rows.shape, (0, 2))
        np.testing.assert_array_equal(cols, np.zeros((2, 3)))


class MultiSampleRejectsTest(unittest.TestCase):
    """Bad input raises before the library is called: no tally changes and
    the rand() stream does not move."""

    def setUp(self):
        rng = np.random.default_rng(5)
        self.counts, self.row_f, self.col_f = problem(rng)
        self.rows = np.zeros((5, 3))
        self.cols = np.zeros((3, 4))

    def rejects(self, error, word, *args, **kwargs):
        sk.seed(99)
        first = _libc.rand()
        sk.seed(99)
        before = (self.rows.copy(), self.cols.copy())
        with self.assertRaises(error) as caught:
            sk.multi_sample(*args, **kwargs)
        self.assertIn(word, str(caught.exception))
        self.assertEqual(_libc.rand(), first, "the library drew before the check failed")
        np.testing.assert_array_equal(self.rows, before[0])
        np.testing.assert_array_equal(self.cols, before[1])

    def call(self, **changes):
        args = dict(counts=self.counts, row_factors=self.row_f, col_factors=self.col_f,
                    row_tallies=self.rows, col_tallies=self.cols)
        args.update(changes)
        return args

    def test_shapes(self):
        self.rejects(ValueError, "counts", **self.call(counts=self.counts[0]))
        self.rejects(ValueError, "row_factors", **self.call(row_factors=self.row_f[:4]))
        self.rejects(ValueError, "col_factors", **self.call(col_factors=self.col_f[:, :3]))
        self.rejects(ValueError, "col_factors", **self.call(col_factors=self.col_f[:2]))
        self.rejects(ValueError, "col_factors", **self.call(col_factors=self.col_f[None]))
        self.rejects(ValueError, "row_tallies", **self.call(row_tallies=np.zeros((5, 2))))
        self.rejects(ValueError, "col_tallies", **self.call(col_tallies=np.zeros((4, 3))))
        self.rejects(ValueError, "row_factors",
                     **self.call(row_factors=np.zeros((5, 0)), col_factors=np.zeros((0, 4)),
                                 row_tallies=None, col_tallies=None))

    def test_dimensions_of_2_31(self):
        # Zero-stride views stand for matrices far too large to allocate.
        big = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2**31, 1), strides=(0, 0))
        self.rejects(ValueError, "counts", **self.call(counts=big))
        self.rejects(ValueError, "row_factors", **self.call(row_factors=big.T))
        self.rejects(ValueError, "col_factors", **self.call(col_factors=big))

    def test_dtypes(self):
        self.rejects(TypeError, "counts", **self.call(counts=self.counts.astype(complex)))
        self.rejects(TypeError, "row_factors", **self.call(row_factors=self.row_f > 0))
        self.rejects(TypeError, "col_factors", **self.call(col_factors=self.col_f.astype(object)))
        self.rejects(TypeError, "row_tallies", **self.call(row_tallies=self.rows.astype(np.float32)))
        self.rejects(TypeError, "col_tallies", **self.call(col_tallies=self.cols.tolist()))

    def test_tallies_must_be_contiguous_and_writeable(self):
        self.rejects(ValueError, "row_tallies", **self.call(row_tallies=np.zeros((3, 5)).T))
        frozen = np.zeros((3, 4))
        frozen.flags.writeable = False
        self.rejects(ValueError, "col_tallies", **self.call(col_tallies=frozen))

    def test_bad_counts(self):
        for bad in (np.nan, np.inf, -np.inf, -1.0, 2147483648.0):
            counts = self.counts.copy()
            counts[2, 3] = bad
            self.rejects(ValueError, "counts", **self.call(counts=counts))
        self.rejects(ValueError, "counts",
                     **self.call(counts=np.full((5, 4), 2**31, dtype=np.int64)))

    def test_bad_factors(self):
        for name, base in (("row_factors", self.row_f), ("col_factors", self.col_f)):
            for bad in (np.nan, np.inf, -0.5):
                f = base.copy()
                f[1, 1] = bad
                self.rejects(ValueError, name, **self.call(**{name: f}))

    def test_overlap(self):
        store = np.zeros(27)
        rows, cols = store[:15].reshape(5, 3), store[15:27].reshape(3, 4)
        # Adjacent slices of one buffer do not overlap ...
        sk.multi_sample(self.counts, self.row_f, self.col_f, rows, cols)
        self.assertEqual(store.sum(), 2 * self.counts.sum())
        # ... but sharing one element does.
        self.rejects(ValueError, "col_tallies",
                     **self.call(row_tallies=store[:15].reshape(5, 3),
                                 col_tallies=store[14:26].reshape(3, 4)))
        shared = np.zeros((5, 4))
        self.rejects(ValueError, "counts", **self.call(counts=shared, col_tallies=shared[:3]))
        factors = np.ones((5, 3))
        self.rejects(ValueError, "row_factors", **self.call(row_factors=factors, row_tallies=factors))
        # A strided input that shares memory with a tally is caught even
        # though converting it would copy it.
        buffer = np.zeros((3, 8))
        self.rejects(ValueError, "col_factors",
                     **self.call(col_factors=buffer[:, ::2],
                                 col_tallies=buffer.reshape(-1)[:12].reshape(3, 4)))


class BinarySearchTest(unittest.TestCase):
    def test_matches_searchsorted_on_sorted_weights(self):
        rng = np.random.default_rng(2)
        for length in (1, 2, 3, 10, 33):
            weights = rng.integers(0, 3, size=length).astype(float)
            cumulative = np.cumsum(weights)
            for target in np.linspace(-1, cumulative[-1] + 1, 41):
                want = min(int(np.searchsorted(cumulative, target, side="left")), length - 1)
                self.assertEqual(sk.binary_search(cumulative, target), want, (cumulative, target))

    def test_accepts_any_real_dtype_and_layout(self):
        cumulative = np.array([1, 3, 3, 7], dtype=np.int16)
        self.assertEqual(sk.binary_search(cumulative, 3), 1)
        self.assertEqual(sk.binary_search(np.arange(16.0)[::2], 5.0), 3)
        self.assertEqual(sk.binary_search([0.5, 1.5], np.float32(1.0)), 1)

    def test_rejects(self):
        with self.assertRaisesRegex(ValueError, "cumulative"):
            sk.binary_search([], 1.0)
        with self.assertRaisesRegex(ValueError, "cumulative"):
            sk.binary_search(np.ones((2, 2)), 1.0)
        with self.assertRaisesRegex(TypeError, "cumulative"):
            sk.binary_search(["a", "b"], 1.0)
        with self.assertRaisesRegex(TypeError, "target"):
            sk.binary_search([1.0, 2.0], "1")


class SeedTest(unittest.TestCase):
    def test_seed_sets_libc_rand(self):
        sk.seed(1234)
        a = [_libc.rand() for _ in range(3)]
        _libc.srand(1234)
        self.assertEqual(a, [_libc.rand() for _ in range(3)])

    def test_rejects(self):
        with self.assertRaises(TypeError):
            sk.seed(1.5)
        with self.assertRaises(ValueError):
            sk.seed(-1)


class OddInputTest(unittest.TestCase):
    """Whatever is passed, the binding raises only ValueError or TypeError,
    before the library runs."""

    def setUp(self):
        rng = np.random.default_rng(6)
        self.counts, self.row_f, self.col_f = problem(rng)

    def test_time_dtypes_are_not_counts(self):
        # numpy ranks timedelta64 among the integers; it is still no count.
        for dtype in ("m8[s]", "M8[D]"):
            times = self.counts.astype(np.int64).astype(dtype)
            with self.assertRaisesRegex(TypeError, "counts"):
                sk.multi_sample(times, self.row_f, self.col_f)
            with self.assertRaisesRegex(TypeError, "row_factors"):
                sk.multi_sample(self.counts, self.row_f.astype(np.int64).astype(dtype), self.col_f)
            with self.assertRaisesRegex(TypeError, "cumulative"):
                sk.binary_search(np.arange(3).astype(dtype), 1)
        with self.assertRaisesRegex(TypeError, "target"):
            sk.binary_search([1.0, 2.0], np.timedelta64(1, "s"))
        with self.assertRaisesRegex(TypeError, "target"):
            sk.binary_search([1.0, 2.0], np.datetime64(1, "D"))

    def test_targets_beyond_a_double(self):
        for target in (10**400, -10**400, fractions.Fraction(10**400, 3),
                       np.longdouble("1e4000")):
            with self.assertRaisesRegex(ValueError, "target"):
                sk.binary_search([1.0, 2.0], target)
        # Infinities are doubles: they are placed, not refused.
        self.assertEqual(sk.binary_search([1.0, 2.0], float("inf")), 1)
        self.assertEqual(sk.binary_search([1.0, 2.0], -np.inf), 0)

    def test_other_real_targets_are_accepted(self):
        for target, want in ((np.array(1.5), 1), (fractions.Fraction(1, 2), 0),
                             (np.int8(2), 1), (np.uint64(2**64 - 1), 1), (10**300, 1)):
            self.assertEqual(sk.binary_search([1.0, 2.0], target), want, repr(target))

    def test_masked_arrays_are_refused(self):
        masked = np.ma.masked_array(self.counts, mask=self.counts > 3)
        with self.assertRaisesRegex(TypeError, "counts"):
            sk.multi_sample(masked, self.row_f, self.col_f)
        with self.assertRaisesRegex(TypeError, "col_tallies"):
            sk.multi_sample(self.counts, self.row_f, self.col_f,
                            col_tallies=np.ma.zeros(self.col_f.shape))

    def test_unaligned_and_byte_swapped_arrays(self):
        sk.seed(4)
        want = sk.multi_sample(self.counts, self.row_f, self.col_f)
        def unaligned(array):
            raw = np.zeros(array.nbytes + 1, dtype=np.uint8)[1:]
            view = raw.view(np.float64).reshape(array.shape)
            view[...] = array
            self.assertFalse(view.flags.aligned)
            return view
        for convert in (unaligned, lambda a: a.astype(">f8")):
            sk.seed(4)
            got = sk.multi_sample(convert(self.counts), convert(self.row_f), convert(self.col_f))
            np.testing.assert_array_equal(got[0], want[0])
            np.testing.assert_array_equal(got[1], want[1])
        with self.assertRaisesRegex(ValueError, "row_tallies"):
            sk.multi_sample(self.counts, self.row_f, self.col_f,
                            row_tallies=unaligned(np.zeros(want[0].shape)))
        with self.assertRaisesRegex(TypeError, "col_tallies"):
            sk.multi_sample(self.counts, self.row_f, self.col_f,
                            col_tallies=np.zeros(want[1].shape, dtype=">f8"))
        self.assertEqual(sk.binary_search(unaligned(np.array([1.0, 2.0, 4.0])), 3.0), 2)

    def test_every_odd_value_raises_a_documented_error(self):
        odd = [None, "3", b"3", [["a", "b"]], object(), {"a": 1}, 3 + 0j, [[1 + 2j]],
               [[10**400]], [[2**64]], [[1, 2], [3]], np.float64(2.0), np.array(2.0),
               np.zeros((2, 2, 2)), np.zeros((0,)), np.array([[1.0]], dtype=object),
               np.zeros((1, 1), dtype=[("a", "f8")]), np.zeros((1, 1), dtype=bool),
               (x for x in [1.0]), float("nan"), [[float("nan")]], [[-1e-300]],
               np.zeros((1, 1), dtype="m8[s]"), np.zeros((1, 1), dtype=np.longdouble) + 1e4000,
               np.ma.ones((1, 1))]
        good = dict(counts=self.counts, row_factors=self.row_f, col_factors=self.col_f)
        for name in good:
            for value in odd:
                args = dict(good, **{name: value})
                try:
                    sk.multi_sample(**args)
                except (ValueError, TypeError):
                    pass
                else:
                    self.fail(f"{name}={value!r} was accepted")
        for value in odd:
            for args in ((value, 1.0), ([1.0, 2.0], value)):
                try:
                    sk.binary_search(*args)
                except (ValueError, TypeError):
                    continue
                # Only a plain real target may pass.
                self.assertIsInstance(args[1], (float, np.floating, np.ndarray), repr(args))
        for value in (None, 1.5, "1", 2**32, -1, 10**400, np.timedelta64(1, "s")):
            with self.assertRaises((ValueError, TypeError)):
                sk.seed(value)


class ThreadsTest(unittest.TestCase):
    """The binding holds one lock around each library call."""

    def run_threads(self, work, n_threads=4):
        errors = []
        def guarded():
            try:
                work()
            except Exception as e:  # re-raised in the main thread
                errors.append(e)
        threads = [threading.Thread(target=guarded) for _ in range(n_threads)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        if errors:
            raise errors[0]

    def test_threads_sharing_tallies_lose_no_unit(self):
        # Without the lock the library's plain += races: on two cores this
        # loses hundreds of units per run.
        counts = np.full((100, 100), 30.0)
        row_f, col_f = np.ones((100, 4)), np.ones((4, 100))
        rows, cols = np.zeros((100, 4)), np.zeros((4, 100))
        n_calls = 40
        def work():
            for _ in range(n_calls):
                sk.multi_sample(counts, row_f, col_f, rows, cols)
        self.run_threads(work)
        want = 4 * n_calls * counts
        np.testing.assert_array_equal(rows.sum(axis=1), want.sum(axis=1))
        np.testing.assert_array_equal(cols.sum(axis=0), want.sum(axis=0))

    def test_threads_with_their_own_tallies(self):
        counts = np.full((40, 50), 7.0)
        row_f, col_f = np.ones((40, 3)), np.ones((3, 50))
        results = []
        def work():
            rows, cols = np.zeros((40, 3)), np.zeros((3, 50))
            for _ in range(20):
                sk.multi_sample(counts, row_f, col_f, rows, cols)
                self.assertEqual(sk.binary_search([1.0, 2.0, 4.0], 3.0), 2)
            results.append((rows, cols))
        self.run_threads(work)
        self.assertEqual(len(results), 4)
        for rows, cols in results:
            np.testing.assert_array_equal(rows.sum(axis=1), 20 * counts.sum(axis=1))
            np.testing.assert_array_equal(cols.sum(axis=0), 20 * counts.sum(axis=0))


class PackageTest(unittest.TestCase):
    def test_docstring_examples(self):
        failed, attempted = doctest.testmod(sk, verbose=False)
        self.assertGreater(attempted, 0)
        self.assertEqual(failed, 0)

    def test_public_functions_document_parameters_returns_and_raises(self):
        for f in (sk.multi_sample, sk.binary_search, sk.seed):
            for section in ("Parameters\n    ----------", "Raises\n    ------"):
                self.assertIn(section, f.__doc__, f.__name__)
        self.assertIn("Returns\n    -------", sk.multi_sample.__doc__)

    def test_version_matches_the_build(self):
        wanted = os.environ.get("SAMPLING_KERNELS_VERSION")
        if wanted is None:
            self.skipTest("SAMPLING_KERNELS_VERSION is not set (CTest sets it)")
        self.assertEqual(sk.__version__, wanted)


if __name__ == "__main__":
    unittest.main()
