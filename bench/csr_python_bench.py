#!/usr/bin/python3
"""Times multi_sample on scipy.sparse counts through the Python binding, as a
user makes the call, against as many bare rand() calls as it draws.

    /usr/bin/python3 bench/csr_python_bench.py [--build build] [--reps 5]
        [--only vocab_K20,ones_K20] [--quick]

Needs Debian's python3-numpy and python3-scipy, and a build with the
libraries and the floor (`cmake --build build --target sk_rand_floor`; `make bench`
builds it and runs this).
"""
import argparse
import ctypes
import os
import pathlib
import sys
import time

import numpy as np
import scipy.sparse as sp

ROOT = pathlib.Path(__file__).resolve().parent.parent

# name: rows, cols, K, stored cells, counts (ones: 1, a seventh of them 2;
# uniform3: 1, 2 or 3)
SHAPES = {
    "vocab_K20": (200_000, 100_000, 20, 1_000_000, "uniform3"),
    "ones_K20": (200_000, 20_000, 20, 44_000_000, "ones"),
}


def make(rows, cols, nnz, kind, rng):
    # Stored cells at distinct random places, row by row.
    flat = np.unique(rng.integers(0, rows * cols, size=int(nnz * 1.01)))[:nnz]
    row, col = np.divmod(flat, cols)
    if kind == "ones":
        values = np.where(rng.random(flat.size) < 1 / 7, 2.0, 1.0)
    else:
        values = rng.integers(1, 4, size=flat.size).astype(np.float64)
    return sp.csr_matrix((values, (row, col)), shape=(rows, cols))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--only", default="")
    parser.add_argument("--quick", action="store_true", help="a tenth of the rows")
    args = parser.parse_args()
    build = pathlib.Path(args.build)
    os.environ.setdefault("SAMPLING_KERNELS_LIBRARY", str(build / "libsampling_kernels.so"))
    os.environ.setdefault("SAMPLING_KERNELS_SPARSE_LIBRARY",
                          str(build / "libsampling_kernels_sparse.so"))
    sys.path.insert(0, str(ROOT / "python"))
    import sampling_kernels

    floor = ctypes.CDLL(str(build / "bench" / "libsk_rand_floor.so")).rand_floor
    floor.argtypes = [ctypes.c_int64]
    floor.restype = ctypes.c_int64
    print(f"CPU: {cpu()}")
    for name, (rows, cols, K, nnz, kind) in SHAPES.items():
        if args.only and name not in args.only.split(","):
            continue
        if args.quick:
            rows, nnz = rows // 10, nnz // 10
        rng = np.random.default_rng(1)
        counts = make(rows, cols, nnz, kind, rng)
        W = rng.uniform(0.01, 1.0, size=(rows, K))
        H = rng.uniform(0.01, 1.0, size=(K, cols))
        A = np.zeros((rows, K))
        B = np.zeros((K, cols))
        draws = int(counts.data.sum())
        sampling_kernels.multi_sample(counts, W, H, A, B)  # first call: page faults, binding
        ratios, per_draw, floor_per_draw = [], [], []
        for _ in range(args.reps):
            t0 = time.thread_time()
            floor(draws)
            f = time.thread_time() - t0
            t0 = time.thread_time()
            sampling_kernels.multi_sample(counts, W, H, A, B)
            t = time.thread_time() - t0
            ratios.append(t / f)
            per_draw.append(1e9 * t / draws)
            floor_per_draw.append(1e9 * f / draws)
        print(f"{name:10s} {rows} x {cols} K={K} nnz {counts.nnz} draws {draws}: "
              f"python {np.median(per_draw):.2f} ns/draw, floor {np.median(floor_per_draw):.2f} "
              f"ns/draw, python/floor {np.median(ratios):.2f} (median of {args.reps})", flush=True)


def cpu():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


if __name__ == "__main__":
    main()
