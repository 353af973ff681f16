#!/usr/bin/python3
"""A synthetic document-term count matrix of a given shape and total count.

Rows are documents with Poisson lengths, each a Dirichlet(0.1) mixture of
K topics; topics are Dirichlet(0.05) over Zipf-weighted columns.  Written as
Matrix Market coordinate (gzip when the name ends in .gz).

    /usr/bin/python3 bench/synthetic_counts.py OUT.mtx [--rows 60000]
        [--cols 2000] [--counts 260000] [--components 20] [--seed 1]
"""
import argparse
import gzip

import numpy as np


def synthetic(rows, cols, counts, components, seed):
    rng = np.random.default_rng(seed)
    lengths = rng.poisson(counts / rows, size=rows)
    doc = np.repeat(np.arange(rows), lengths)
    theta = rng.dirichlet(np.full(components, 0.1), size=rows)
    zipf = 1.0 / np.arange(1, cols + 1) ** 0.8
    topics = np.vstack([rng.dirichlet(0.05 + 20 * zipf / zipf.sum()) for _ in range(components)])
    cum = np.cumsum(theta, axis=1)
    u = rng.random(doc.size) * cum[doc, -1]
    topic = (cum[doc] < u[:, None]).sum(axis=1).clip(max=components - 1)
    word = np.empty(doc.size, dtype=np.int64)
    for k in range(components):
        at = np.flatnonzero(topic == k)
        c = np.cumsum(topics[k])
        word[at] = np.searchsorted(c, rng.random(at.size) * c[-1]).clip(max=cols - 1)
    cells, n = np.unique(doc * cols + word, return_counts=True)
    return cells // cols, cells % cols, n


def write_mtx(path, rows, cols, i, j, n):
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "wt") as f:
        f.write("%%MatrixMarket matrix coordinate integer general\n")
        f.write(f"{rows} {cols} {len(n)}\n")
        np.savetxt(f, np.column_stack([i + 1, j + 1, n]), fmt="%d")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("out")
    p.add_argument("--rows", type=int, default=60000)
    p.add_argument("--cols", type=int, default=2000)
    p.add_argument("--counts", type=int, default=260000)
    p.add_argument("--components", type=int, default=20)
    p.add_argument("--seed", type=int, default=1)
    a = p.parse_args()
    i, j, n = synthetic(a.rows, a.cols, a.counts, a.components, a.seed)
    write_mtx(a.out, a.rows, a.cols, i, j, n)
    print(f"{a.out}: {a.rows} x {a.cols}, {len(n)} non-zero cells, {n.sum()} counts")


if __name__ == "__main__":
    main()
