#!/usr/bin/python3
"""The sampler on every core: poisson_nmf --jobs N and PoissonNMF(n_jobs=N).

Fits one synthetic cells x genes-like matrix (bench/synthetic_counts.py,
cached in BUILD/bench-data) on 1 and more processes and prints, for each:
the reading time, the time per sweep and its phases, the whole run, and the
peak memory of all the fit's processes together (the sum of their
proportional set sizes, so pages they share count once).  Then a model of
the time per sweep on more cores, from the measured costs.

    /usr/bin/python3 bench/sampler_bench.py [--build build] [--rows 200000]
        [--cols 20000] [--counts 25000000] [--components 20] [--sweeps 20]
        [--jobs 1,2] [--no-python]
"""
import argparse
import math
import os
import pathlib
import re
import subprocess
import sys
import threading
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import synthetic_counts  # noqa: E402


def cpu_name():
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return "unknown CPU"


def tree(pid):
    """pid and all its descendants."""
    found, todo = [], [pid]
    while todo:
        p = todo.pop()
        found.append(p)
        for task in pathlib.Path(f"/proc/{p}/task").glob("*/children"):
            try:
                todo += [int(c) for c in task.read_text().split()]
            except OSError:
                pass
    return found


def pss_kib(pids):
    total = 0
    for p in pids:
        try:
            for line in open(f"/proc/{p}/smaps_rollup"):
                if line.startswith("Pss:"):
                    total += int(line.split()[1])
        except OSError:
            pass
    return total


class PeakMemory:
    """Polls the summed PSS of a process tree until stopped."""

    def __init__(self, pid):
        self.pid, self.peak, self.done = pid, 0, False
        self.thread = threading.Thread(target=self.poll, daemon=True)
        self.thread.start()

    def poll(self):
        while not self.done:
            self.peak = max(self.peak, pss_kib(tree(self.pid)))
            time.sleep(0.02)

    def stop(self):
        self.done = True
        self.thread.join()
        return self.peak / 1024.0


def data_files(build, rows, cols, counts, components):
    out = build / "bench-data"
    out.mkdir(parents=True, exist_ok=True)
    stem = out / f"cells_{rows}x{cols}_{counts}"
    mtx, npz = stem.with_suffix(".mtx"), stem.with_suffix(".npz")
    if not mtx.exists() or not npz.exists():
        print(f"making {mtx} (once)", file=sys.stderr, flush=True)
        i, j, n = synthetic_counts.synthetic(rows, cols, counts, components, 1)
        synthetic_counts.write_mtx(str(mtx), rows, cols, i, j, n)
        order = np.lexsort((j, i))
        offsets = np.zeros(rows + 1, dtype=np.int64)
        np.cumsum(np.bincount(i, minlength=rows), out=offsets[1:])
        np.savez(npz, offsets=offsets, indices=j[order].astype(np.int32), values=n[order].astype(np.float64),
                 shape=np.array([rows, cols]))
    return mtx, npz


def run_cli(cli, mtx, k, sweeps, jobs):
    start = time.monotonic()
    proc = subprocess.Popen([str(cli), "--counts", str(mtx), "--components", str(k), "--sweeps", str(sweeps),
                             "--jobs", str(jobs)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    memory = PeakMemory(proc.pid)
    out, err = proc.communicate()
    wall = time.monotonic() - start
    peak = memory.stop()
    if proc.returncode != 0:
        sys.exit(f"poisson_nmf --jobs {jobs} failed: {err}")
    m = re.search(r"reading ([0-9.]+) s; per sweep, on (\d+) process(?:es)? and (\d+) row blocks: rows ([0-9.]+) s "
                  r"\(waiting for workers ([0-9.]+) s\), columns ([0-9.]+) s, sums ([0-9.]+) s", err)
    read, workers, blocks, rows, waiting, columns, sums = (float(g) for g in m.groups())
    return {"wall": wall, "read": read, "workers": int(workers), "blocks": int(blocks), "rows": rows,
            "waiting": waiting, "columns": columns, "sums": sums, "sweep": rows + columns + sums, "peak": peak}


PYTHON_FIT = """
import sys, time, numpy as np, scipy.sparse
from sampling_kernels import PoissonNMF
d = np.load(sys.argv[1])
x = scipy.sparse.csr_matrix((d["values"], d["indices"], d["offsets"]), shape=tuple(d["shape"]))
start = time.monotonic()
PoissonNMF(int(sys.argv[2]), n_sweeps=int(sys.argv[3]), n_jobs=int(sys.argv[4]), random_state=1).fit(x)
print(time.monotonic() - start)
"""


def run_python(build, npz, k, sweeps, jobs):
    env = dict(os.environ, PYTHONPATH=str(HERE.parent / "python"),
               SAMPLING_KERNELS_LIBRARY=str(build / "libsampling_kernels.so"),
               SAMPLING_KERNELS_NMF_LIBRARY=str(build / "libsampling_kernels_nmf.so"))
    proc = subprocess.Popen([sys.executable, "-c", PYTHON_FIT, str(npz), str(k), str(sweeps), str(jobs)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    memory = PeakMemory(proc.pid)
    out, err = proc.communicate()
    peak = memory.stop()
    if proc.returncode != 0:
        sys.exit(f"PoissonNMF(n_jobs={jobs}) failed: {err}")
    return {"fit": float(out.split()[-1]), "peak": peak}


DASK_FIT = """
import sys, time, warnings, numpy as np, scipy.sparse
from distributed import Client, LocalCluster
from sampling_kernels import PoissonNMF
from sampling_kernels.dask import DaskPoissonNMF
warnings.simplefilter("ignore")
if __name__ == "__main__":
    d = np.load(sys.argv[1])
    k, short, long, chunks, reps = (int(a) for a in sys.argv[2:7])
    x = scipy.sparse.csr_matrix((d["values"], d["indices"], d["offsets"]), shape=tuple(d["shape"]))
    if sys.argv[7] == "empty":  # the same columns and almost no counts: a sweep is all overhead
        x = scipy.sparse.random(4096, x.shape[1], density=0.001, random_state=0, format="csr")
        x.data[:] = 1
    step = -(-x.shape[0] // chunks)
    blocks = [x[i:i + step] for i in range(0, x.shape[0], step)]
    def timed(fit):
        start = time.monotonic()
        fit()
        return time.monotonic() - start
    with LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=":0",
                      silence_logs=50) as cluster, Client(cluster):
        # Taken in turns, so that a change in the host's load falls on all three.
        for rep in range(reps):
            for sweeps in (short, long):
                for jobs in (1, 2):
                    print(rep, f"n_jobs={jobs}", sweeps,
                          timed(lambda: PoissonNMF(k, n_sweeps=sweeps, n_jobs=jobs, random_state=1).fit(x)))
                print(rep, "dask", sweeps,
                      timed(lambda: DaskPoissonNMF(k, n_sweeps=sweeps, random_state=1).fit(blocks)))
"""


def run_dask(build, npz, k, short, long, chunks, reps, matrix="counts"):
    """Per-sweep seconds and start-up of PoissonNMF(n_jobs=1 and 2) and a 2-worker LocalCluster fit, from a short
    and a long fit of each (so the start-up drops out), each the median of `reps` turns."""
    env = dict(os.environ, PYTHONPATH=str(HERE.parent / "python"),
               SAMPLING_KERNELS_LIBRARY=str(build / "libsampling_kernels.so"),
               SAMPLING_KERNELS_NMF_LIBRARY=str(build / "libsampling_kernels_nmf.so"))
    out = subprocess.run([sys.executable, "-c", DASK_FIT, str(npz), str(k), str(short), str(long), str(chunks),
                          str(reps), matrix], capture_output=True, text=True, env=env)
    if out.returncode != 0:
        sys.exit(f"DaskPoissonNMF on 2 workers failed: {out.stderr[-2000:]}")
    times = {(int(r), w, int(n)): float(t) for r, w, n, t in (line.split() for line in out.stdout.splitlines())}
    per_sweep = {who: [(times[r, who, long] - times[r, who, short]) / (long - short) for r in range(reps)]
                 for who in ("n_jobs=1", "n_jobs=2", "dask")}
    result = {}
    for who, turns in per_sweep.items():
        setup = [times[r, who, short] - short * p for r, p in enumerate(turns)]
        result[who] = (float(np.median(turns)), float(np.median(setup)))
    # The speed-up of each turn, against the one process of the same turn.
    for who in ("n_jobs=2", "dask"):
        result[who + " x"] = float(np.median([one / p for one, p in zip(per_sweep["n_jobs=1"], per_sweep[who])]))
    return result


def model(per_count, per_entry, rows, cols, counts, nnz, k, fold=0.25e-9, message=10e-6):
    """Seconds per sweep on n cores, from costs measured on one process: per count (allocation, W and
    the products), per entry of H, per tally folded from another worker and per phase message."""
    per_row = max(nnz / rows, 1e-3)
    block_rows = 1024 * min(max(math.ceil(64 * cols / (per_row * 1024)), 1), 64)
    blocks = math.ceil(rows / block_rows)
    column_blocks = math.ceil(cols / 512)
    table = []
    for n in (8, 64, 256):
        # Whole blocks per worker: the last round decides.
        rows_phase = math.ceil(blocks / n) * per_count * counts / blocks
        columns_phase = math.ceil(column_blocks / min(n, column_blocks)) * (per_entry + fold * n) * k * 512
        serial = (k * cols + math.ceil(rows / 1024) * k) * 1e-9 + 2 * n * message
        table.append((n, blocks, rows_phase, columns_phase, serial, rows_phase + columns_phase + serial))
    return table


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=str(HERE.parent / "build"))
    p.add_argument("--rows", type=int, default=200000)
    p.add_argument("--cols", type=int, default=20000)
    p.add_argument("--counts", type=int, default=25000000)
    p.add_argument("--components", type=int, default=20)
    p.add_argument("--sweeps", type=int, default=20)
    p.add_argument("--jobs", default="1,2")
    p.add_argument("--no-python", action="store_true")
    p.add_argument("--dask", action="store_true", help="also DaskPoissonNMF on a 2-worker LocalCluster")
    p.add_argument("--dask-reps", type=int, default=3, help="turns of the Dask comparison (default 3)")
    a = p.parse_args()
    build = pathlib.Path(a.build).resolve()
    cli = build / "sampler" / "poisson_nmf"
    mtx, npz = data_files(build, a.rows, a.cols, a.counts, a.components)
    with open(mtx) as f:
        f.readline()
        _, _, nnz = (int(v) for v in f.readline().split())
    total = int(np.load(npz)["values"].sum())
    jobs = [int(j) for j in a.jobs.split(",")]
    print(f"CPU: {cpu_name()}, {os.cpu_count()} cores; load average {os.getloadavg()[0]:.2f}")
    print(f"matrix {a.rows} x {a.cols}, {nnz} stored cells, {total} counts, {mtx.stat().st_size / 1e6:.0f} MB; "
          f"K = {a.components}, {a.sweeps} sweeps\n")
    cli_runs = {j: run_cli(cli, mtx, a.components, a.sweeps, j) for j in jobs}
    print("poisson_nmf | jobs | reading (s) | MB/s | rows (s/sweep) | waiting | columns | sums | sweeps/s | "
          "speed-up | whole run (s) | speed-up | peak memory (MiB) | x one process")
    base = cli_runs[jobs[0]]
    for j, r in cli_runs.items():
        print(f"  | {j} ({r['workers']}) | {r['read']:.2f} | {mtx.stat().st_size / 1e6 / r['read']:.0f} | "
              f"{r['rows']:.4f} | {r['waiting']:.4f} | {r['columns']:.4f} | {r['sums']:.4f} | "
              f"{1 / r['sweep']:.3f} | {base['sweep'] / r['sweep']:.2f} | {r['wall']:.2f} | "
              f"{base['wall'] / r['wall']:.2f} | {r['peak']:.0f} | {r['peak'] / base['peak']:.2f}")
    one = cli_runs[jobs[0]]
    print(f"\nper row block ({one['blocks']} blocks): {one['rows'] / one['blocks'] * 1e3:.1f} ms of allocation and W; "
          f"exchanged per sweep and worker: two phase commands and replies (24 + 504 bytes each) and, in "
          f"shared memory, its {a.components} x {a.cols} column tallies "
          f"({a.components * a.cols * 8 / 2**20:.1f} MiB) folded into the first worker's")
    if not a.no_python:
        print("\nPoissonNMF | n_jobs | fit (s) | speed-up | peak memory (MiB) | x one process")
        py = {j: run_python(build, npz, a.components, a.sweeps, j) for j in jobs}
        for j, r in py.items():
            print(f"  | {j} | {r['fit']:.2f} | {py[jobs[0]]['fit'] / r['fit']:.2f} | {r['peak']:.0f} | "
                  f"{r['peak'] / py[jobs[0]]['peak']:.2f}")
        if a.dask:
            print(f"\nDaskPoissonNMF, 2-worker LocalCluster (one thread each, default checkpoint_every), against "
                  f"PoissonNMF(n_jobs=1) and (n_jobs=2), per sweep from fits of 5 and {a.sweeps} sweeps, taken in "
                  f"turns; medians of {a.dask_reps} turns")
            print("matrix | chunks | n_jobs=1 (s/sweep) | n_jobs=2 (s/sweep) | Dask (s/sweep) | n_jobs=2 x one "
                  "process | Dask x one process | Dask start-up (s) | Dask above n_jobs=2 (s/sweep)")
            for matrix, chunks in (("counts", 2), ("counts", 8), ("empty", 2)):
                r = run_dask(build, npz, a.components, 5, a.sweeps, chunks, a.dask_reps, matrix)
                (single, _), (double, _), (dask, setup) = r["n_jobs=1"], r["n_jobs=2"], r["dask"]
                name = "the counts above" if matrix == "counts" else f"4096 x {a.cols}, 0.1 % ones (all overhead)"
                print(f"  {name} | {chunks} | {single:.3f} | {double:.3f} | {dask:.3f} | {r['n_jobs=2 x']:.2f} | "
                      f"{r['dask x']:.2f} | {setup:.2f} | {dask - double:.3f}")
    print("\nmodel: 1,000,000 x 30,000, 2e9 counts in 1.7e9 stored cells, K = 20, from the costs of one process")
    print("cores | row blocks | rows (s) | columns (s) | serial and messages (s) | per sweep (s)")
    per_count = one["rows"] / total
    per_entry = one["columns"] / (a.components * a.cols)
    for n, blocks, r, c, s, t in model(per_count, per_entry, 1000000, 30000, 2e9, 1.7e9, 20):
        print(f"{n} | {blocks} | {r:.3f} | {c:.4f} | {s:.4f} | {t:.3f}")


if __name__ == "__main__":
    main()
