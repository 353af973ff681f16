#!/usr/bin/python3
"""PoissonNMF (Gibbs sampling) against scikit-learn's KL NMF and LDA and gensim's LDA.

    /usr/bin/python3 bench/compare_sklearn.py [--build BUILD_DIR] [--quick] [--skip-timing]
                                              [--corpora digits,fortunes,manpages] [--seed N]

Needs Debian's python3-sklearn (NMF, LatentDirichletAllocation and the bundled
digits), python3-gensim (LdaModel), python3-scipy, the `fortunes` package (text
under /usr/share/games/fortunes) and `manpages` and `manpages-dev` (the
manual pages of sections 2 and 3 under /usr/share/man), and a
build of this tree (cmake --build build): libsampling_kernels_nmf.so and the
poisson_nmf command line.  tools/install_deps.sh installs the packages.

Data sets:
  digits    scikit-learn's bundled 8x8 digits, 1797 x 64 pixel counts (0-16)
  fortunes  a document-term matrix of Debian's fortunes: each fortune a
            document, the 2,000 most widespread words (3+ letters, common
            English function words left out)
  manpages  the same of Debian's manual pages of sections 2 and 3 (system
            calls and C library functions): each section of a page (.SH) a
            document, roff requests and escapes left out
Every method runs at its defaults with K = 10 (digits) or 20 (documents):
PoissonNMF(K), NMF(K, beta_loss='kullback-leibler', solver='mu',
init='nndsvda'), LatentDirichletAllocation(K) and gensim's LdaModel(corpus,
num_topics=K, id2word).  On the documents it reports also
  - document completion: each held-out count scores the log of its cell's
    rate divided by its row's total rate (for LDA, theta_d . phi_w), per
    held-out count, comparable across NMF and LDA;
  - the held-out Poisson figure for LDA with the rates N_d theta_d phi;
  - topic diversity: distinct words among the top 10 of all components;
  - NPMI: each component's top 10 words, pair by pair, over document
    co-occurrence in the whole corpus (-1 for a pair never together), the
    mean over pairs and components.
Each is split by binomial thinning: 20% of every count goes to a test set.
Both methods fit the rest at their default settings (scikit-learn:
NMF(beta_loss='kullback-leibler', solver='mu', init='nndsvda')), each in a
fresh process, which reports the fit's wall and CPU time (all threads), the
process's peak resident memory and how far the fit raised the resident
memory above what the process held before it (/proc/self/clear_refs resets
the peak).  Training and held-out Poisson log-likelihoods per count are computed
here, from the returned factors, the same way for both; the test set's rates
are W H * 0.2 / 0.8.  A held-out count whose rate is zero has probability
zero: such cells are counted and left out of the held-out figure.

It also times 300 sweeps at K = 20 over a synthetic 60,000 x 2,000 matrix
with 260,000 counts, from the command line and from Python.
"""
import argparse
import glob
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import time

import numpy as np
import scipy.sparse

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
HOLDOUT = 0.2
TOP_WORDS = 10

STOP = set("""
the and that for you with this are not but have was his her they from what all
one can will who your has had him there been were when which would their them
she out more than then its our about any into only just also some like may
get got how why where here now very too much many most such own same other
those these each few both over under again off once own upon shall should could
did does doing done being let lets yet nor ever every well said says say
""".split())


def fortunes_matrix(vocabulary=2000):
    docs = []
    for path in sorted(glob.glob("/usr/share/games/fortunes/*")):
        if os.path.isdir(path) or path.endswith((".dat", ".u8")) or os.path.islink(path):
            continue
        text = pathlib.Path(path).read_text(encoding="latin-1")
        docs += [d for d in re.split(r"\n%\n", text) if d.strip()]
    return document_term(docs, vocabulary)


def document_term(docs, vocabulary=2000):
    tokens = [[w for w in re.findall(r"[a-z]+", d.lower()) if len(w) >= 3 and w not in STOP] for d in docs]
    df = {}
    for t in tokens:
        for w in set(t):
            df[w] = df.get(w, 0) + 1
    words = sorted(df, key=lambda w: (-df[w], w))[:vocabulary]
    index = {w: n for n, w in enumerate(words)}
    rows, cols = [], []
    for i, t in enumerate(tokens):
        for w in t:
            if w in index:
                rows.append(i)
                cols.append(index[w])
    x = scipy.sparse.coo_matrix((np.ones(len(rows)), (rows, cols)), shape=(len(tokens), len(words))).tocsr()
    x.sum_duplicates()
    keep = np.diff(x.indptr) > 0
    return x[keep], words


def manpages_matrix(vocabulary=2000):
    import gzip
    docs = []
    for path in sorted(glob.glob("/usr/share/man/man[23]/*.gz")):
        with gzip.open(path, "rt", encoding="latin-1") as f:
            text = f.read()
        if text.startswith(".so "):  # a page that only points to another
            continue
        for section in re.split(r"\n\.SH[^\n]*\n", text):
            lines = [l for l in section.split("\n") if not l.startswith((".", "'"))]
            body = re.sub(r"\\f[BIRP]|\\\(..|\\[-&e]|\\.", " ", "\n".join(lines))
            if len(body.split()) >= 5:
                docs.append(body)
    return document_term(docs, vocabulary)


def digits_matrix():
    from sklearn.datasets import load_digits
    return scipy.sparse.csr_matrix(load_digits().data), None


def thin(x, fraction, seed=0):
    rng = np.random.default_rng(seed)
    x = x.tocsr()
    held = rng.binomial(x.data.astype(np.int64), fraction).astype(np.float64)
    test = scipy.sparse.csr_matrix((held, x.indices.copy(), x.indptr.copy()), shape=x.shape)
    train = scipy.sparse.csr_matrix((x.data - held, x.indices.copy(), x.indptr.copy()), shape=x.shape)
    test.eliminate_zeros()
    train.eliminate_zeros()
    return train, test


def loglik(x, w, h, scale=1.0):
    """Poisson log-likelihood (sum), zero-rate cells with counts, total count."""
    from scipy.special import gammaln
    x = x.tocoo()
    rate = scale * np.einsum("ik,ki->i", w[x.row], h[:, x.col])
    zero = rate <= 0
    ll = np.sum(x.data[~zero] * np.log(rate[~zero]) - gammaln(x.data[~zero] + 1))
    ll -= scale * float(w.sum(axis=0) @ h.sum(axis=1))
    return ll, int(x.data[zero].sum()), float(x.data[~zero].sum())


# ---- the worker: one fit in a fresh process ------------------------------------

def worker(method, data, k, out):
    import resource
    train = scipy.sparse.load_npz(data)
    if method == "sklearn":
        from sklearn.decomposition import NMF
        model = NMF(n_components=k, beta_loss="kullback-leibler", solver="mu", init="nndsvda", random_state=0)
    elif method == "sklearn_lda":
        from sklearn.decomposition import LatentDirichletAllocation
        model = LatentDirichletAllocation(n_components=k, random_state=0)
    elif method == "gensim":
        model = None
    else:
        sys.path.insert(0, str(ROOT / "python"))
        from sampling_kernels import PoissonNMF
        model = PoissonNMF(k, random_state=0, background=method == "sampler_background")
    def status(field):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))

    def cpu():
        r = resource.getrusage(resource.RUSAGE_SELF)
        return r.ru_utime + r.ru_stime

    before = status("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:  # restarts the peak (VmHWM) from here
        f.write("5")
    start, start_cpu = time.perf_counter(), cpu()
    if method == "gensim":
        # Its own corpus format is part of its fit: built inside the timing.
        from gensim.matutils import Sparse2Corpus
        from gensim.models import LdaModel
        corpus = Sparse2Corpus(train, documents_columns=False)
        lda = LdaModel(corpus, num_topics=k, id2word={j: str(j) for j in range(train.shape[1])}, random_state=0)
        w = np.zeros((train.shape[0], k))
        for i, doc in enumerate(lda.get_document_topics(corpus, minimum_probability=0.0)):
            for t, p in doc:
                w[i, t] = p
        h = lda.get_topics()
    else:
        w = model.fit_transform(train)
        h = model.components_
    seconds, cpu_seconds = time.perf_counter() - start, cpu() - start_cpu
    if method in ("sklearn_lda", "gensim"):
        # Rates for the Poisson figures: each document's length times theta phi.
        w = w / w.sum(axis=1, keepdims=True) * np.asarray(train.sum(axis=1))
        h = h / h.sum(axis=1, keepdims=True)
    background = getattr(model, "background_", None) if model is not None else None
    if background is not None:  # the rates need the background too: one more factor, last
        bw = model._background_w
        w, h = np.column_stack([w, bw]), np.vstack([h, background])
    np.save(out + "_W.npy", w)
    np.save(out + "_H.npy", h)
    with open(out + ".json", "w") as f:
        json.dump({"seconds": seconds, "cpu": cpu_seconds, "peak_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
                   "fit_kib": status("VmHWM") - before}, f)


def run_worker(method, data, k, work, env):
    out = os.path.join(work, f"{method}_{k}")
    subprocess.run([sys.executable, __file__, "--worker", method, data, str(k), out], check=True, env=env)
    with open(out + ".json") as f:
        info = json.load(f)
    return info, np.load(out + "_W.npy"), np.load(out + "_H.npy")


def completion(test, w, h):
    """Document completion per held-out count: log(rate / the row's total rate); zero-rate counts apart."""
    x = test.tocoo()
    rate = np.einsum("ik,ki->i", w[x.row], h[:, x.col])
    total = (w @ h.sum(axis=1))[x.row]
    zero = rate <= 0
    n = float(x.data[~zero].sum())
    return float(np.sum(x.data[~zero] * np.log(rate[~zero] / total[~zero]))) / n if n else float("nan")


def npmi(x, top):
    """Mean NPMI of each row of `top` (column indices), over document co-occurrence in x."""
    present = (x > 0).astype(np.float64).tocsc()
    n = x.shape[0]
    scores = []
    for t in top:
        d = present[:, t]
        joint = (d.T @ d).toarray() / n
        p = np.diag(joint).copy()
        for a in range(len(t)):
            for b in range(a + 1, len(t)):
                pab = joint[a, b]
                scores.append(-1.0 if pab == 0 else np.log(pab / (p[a] * p[b])) / -np.log(pab))
    return float(np.mean(scores))


METHODS = (("sampler", "PoissonNMF (this project)"), ("sklearn", "scikit-learn NMF (KL, mu)"),
           ("sampler_background", "PoissonNMF, background=True"),
           ("sklearn_lda", "scikit-learn LDA"), ("gensim", "gensim LdaModel"))


def compare(name, x, words, k, work, env):
    train, test = thin(x, HOLDOUT)
    data = os.path.join(work, f"{name}.npz")
    scipy.sparse.save_npz(data, train)
    rows = []
    for method, label in METHODS if words is not None else METHODS[:3]:
        info, w, h = run_worker(method, data, k, work, env)
        tr, tr_zero, tr_n = loglik(train, w, h)
        te, te_zero, te_n = loglik(test, w, h, HOLDOUT / (1 - HOLDOUT))
        row = {
            "data": f"{name} {x.shape[0]}x{x.shape[1]}, {int(x.sum())} counts, K={k}",
            "method": label,
            "seconds": info["seconds"],
            "cpu": info["cpu"],
            "peak_mib": info["peak_kib"] / 1024,
            "fit_mib": info["fit_kib"] / 1024,
            "train": tr / train.sum(),
            "test": te / te_n if te_n else float("nan"),
            "test_zero": te_zero,
            "completion": completion(test, w, h),
        }
        if words is not None:
            top = np.argsort(-h[:k], axis=1, kind="stable")[:, :TOP_WORDS]  # the components only, never a background
            row["diversity"] = len(set(top.ravel())) / top.size
            row["npmi"] = npmi(x, top)
            row["topics"] = [" ".join(words[j] for j in t) for t in top]
            if h.shape[0] > k:
                row["background"] = " ".join(words[j] for j in np.argsort(-h[k], kind="stable")[:TOP_WORDS])
        rows.append(row)
    return rows


def timing(build, work, env, quick):
    sys.path.insert(0, str(HERE))
    from synthetic_counts import synthetic, write_mtx
    path = os.path.join(work, "synthetic.mtx")
    i, j, n = synthetic(60000, 2000, 260000, 20, 1)
    write_mtx(path, 60000, 2000, i, j, n)
    sweeps = 60 if quick else 300
    cli = os.path.join(build, "sampler", "poisson_nmf")
    import resource
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([cli, "--counts", path, "--components", "20", "--sweeps", str(sweeps), "--quiet"],
                   check=True, stdout=subprocess.DEVNULL)
    cli_seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cli_cpu = after.ru_utime + after.ru_stime - children.ru_utime - children.ru_stime
    x = scipy.sparse.csr_matrix((n.astype(float), (i, j)), shape=(60000, 2000))
    data = os.path.join(work, "synthetic.npz")
    scipy.sparse.save_npz(data, x)
    code = ("import sys, time, scipy.sparse; sys.path.insert(0, %r); from sampling_kernels import PoissonNMF; "
            "x = scipy.sparse.load_npz(%r); t = time.perf_counter(); "
            "PoissonNMF(20, n_sweeps=%d, random_state=1).fit(x); print(time.perf_counter() - t)"
            % (str(ROOT / "python"), data, sweeps))
    out = subprocess.run([sys.executable, "-c", code], check=True, env=env, capture_output=True, text=True)
    return {"sweeps": sweeps, "counts": int(n.sum()), "nnz": len(n), "cli": cli_seconds, "cli_cpu": cli_cpu,
            "python": float(out.stdout.split()[-1])}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5])
        return
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default=str(ROOT / "build"), help="build directory (default: build)")
    p.add_argument("--quick", action="store_true", help="60 sweeps in the timing run")
    p.add_argument("--skip-timing", action="store_true")
    p.add_argument("--corpora", default="digits,fortunes,manpages", help="which data sets (default: all three)")
    a = p.parse_args()
    env = dict(os.environ)
    env.setdefault("SAMPLING_KERNELS_NMF_LIBRARY", os.path.join(a.build, "libsampling_kernels_nmf.so"))
    env.setdefault("SAMPLING_KERNELS_LIBRARY", os.path.join(a.build, "libsampling_kernels.so"))
    with tempfile.TemporaryDirectory() as work:
        rows = []
        makers = {"digits": (digits_matrix, 10), "fortunes": (fortunes_matrix, 20), "manpages": (manpages_matrix, 20)}
        for name in a.corpora.split(","):
            make, k = makers[name]
            rows += compare(name, *make(), k, work, env)
        print("| data | method | fit wall time (s) | fit CPU time (s) | peak RSS (MiB) | added by the fit (MiB) "
              "| train LL/count | held-out LL/count | held-out counts at rate 0 | document completion "
              "| diversity (top 10) | NPMI (top 10) |")
        print("| --- | --- | --: | --: | --: | --: | --: | --: | --: | --: | --: | --: |")
        for r in rows:
            extra = f"{r['diversity']:.3f} | {r['npmi']:.3f}" if "diversity" in r else "- | -"
            print(f"| {r['data']} | {r['method']} | {r['seconds']:.2f} | {r['cpu']:.2f} | {r['peak_mib']:.0f} "
                  f"| {r['fit_mib']:.1f} "
                  f"| {r['train']:.4f} | {r['test']:.4f} | {r['test_zero']} | {r['completion']:.4f} | {extra} |")
        for r in rows:
            if "topics" in r:
                print(f"\n{r['data']}: {r['method']}, top words:")
                for n, t in enumerate(r["topics"]):
                    print(f"    {n + 1}: {t}")
                if "background" in r:
                    print(f"    background: {r['background']}")
        if not a.skip_timing:
            t = timing(a.build, work, env, a.quick)
            print(f"\nsynthetic 60000x2000, {t['nnz']} non-zero cells, {t['counts']} counts, K=20, "
                  f"{t['sweeps']} sweeps: command line {t['cli']:.2f} s (CPU {t['cli_cpu']:.2f} s, reading the file "
                  f"included), Python fit {t['python']:.2f} s "
                  f"({t['python'] / t['cli']:.2f}x)")


if __name__ == "__main__":
    main()
