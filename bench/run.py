#!/usr/bin/env python3
"""tamsel's benchmark suite: tamsel against hnswlib, FAISS, USearch and numpy.

    python bench/run.py                  # full run, prints the tables
    python bench/run.py --quick          # small sizes, under two minutes
    python bench/run.py --out DIR        # also DIR/results.md, DIR/recall_qps.png, DIR/results.json
    pypy3 bench/run.py --quick           # lists only (no numpy, no peers)
    python bench/run.py --quick --pypy PYPY   # the lists-only suite under this
                                              # interpreter and PYPY, side by side

Everything runs single-threaded, one query per call from Python. See
docs/benchmarks.md for what each table measures.
"""

import os

# Before numpy or any peer is imported: one thread everywhere.
for _name in (
    "OMP_NUM_THREADS",
    "OPENBLAS_NUM_THREADS",
    "MKL_NUM_THREADS",
    "VECLIB_MAXIMUM_THREADS",
    "NUMEXPR_NUM_THREADS",
    "BLIS_NUM_THREADS",
):
    os.environ[_name] = "1"

import argparse
import datetime
import json
import subprocess
import sys
import tempfile
import time

import common
import report
from common import EF_CONSTRUCTION, EF_VALUES, K, M, log, timed

try:
    import numpy as np
except ImportError:
    np = None


# ---------------------------------------------------------------------------
# Data


def mixture(n, dim, seed):
    """Gaussian mixture shaped like embeddings: about sqrt(n)/3 clusters of
    uneven size and spread, and a per-component scale that decays like the
    variances of real embeddings. The same recipe as common.mixture_lists."""
    rng = np.random.default_rng(seed)
    clusters = max(8, int(round(n**0.5 / 3)))
    scale = 1.0 / np.sqrt(1.0 + np.arange(dim) / 8.0)
    centres = rng.normal(size=(clusters, dim)) * scale
    weights = rng.dirichlet(np.full(clusters, 2.0))
    labels = rng.choice(clusters, size=n, p=weights)
    spread = rng.uniform(0.3, 0.6, size=clusters)
    out = rng.normal(size=(n, dim))
    out *= scale
    out *= spread[labels, None]
    out += centres[labels]
    return out


def synthetic(n, dim, nq, seed):
    both = mixture(n + nq, dim, seed)
    return np.ascontiguousarray(both[:n]), np.ascontiguousarray(both[n:])


def digits(seed, nq=200):
    try:
        from sklearn.datasets import load_digits
    except ImportError as error:
        log("digits: skipped, scikit-learn is not importable (%s)" % error)
        return None
    values = np.ascontiguousarray(load_digits().data, dtype=np.float64)
    order = np.random.default_rng(seed).permutation(len(values))
    return np.ascontiguousarray(values[order[nq:]]), np.ascontiguousarray(values[order[:nq]])


def real_set(seed, nq, limit=None):
    """The cached sentence embeddings of bench/embed.py (made there once),
    as float64, with `nq` rows drawn as queries by a seeded permutation and
    the others (at most `limit` of them) indexed."""
    import embed

    vectors = embed.load()
    order = np.random.default_rng(seed).permutation(len(vectors))
    values = vectors.astype(np.float64)
    kept = order[nq:] if limit is None else order[nq : nq + limit]
    return np.ascontiguousarray(values[kept]), np.ascontiguousarray(values[order[:nq]])


# PyHNSW's metric names, and the score each ranks by (the smallest first).
METRICS = ("euclidean", "angular", "inner_product")


def exact_knn(data, queries, k=K, chunk=200, metric="euclidean"):
    """Exact neighbours: the k smallest scores, as PyHNSW ranks them (the
    similarities least similar first). Candidates from a matrix product (the
    expanded form of the squared distance for the Euclidean metric), then
    re-ranked by the score computed directly from each pair in float64."""
    norms = np.einsum("ij,ij->i", data, data)
    spare = min(len(data), k + 32)
    out = np.empty((len(queries), min(k, len(data))), dtype=np.int64)
    for first in range(0, len(queries), chunk):
        block = queries[first : first + chunk]
        products = block @ data.T
        if metric == "euclidean":
            approx = norms[None, :] - 2.0 * products
        elif metric == "angular":
            approx = products / np.sqrt(norms)[None, :] / np.linalg.norm(block, axis=1)[:, None]
        else:
            approx = products
        cand = np.argpartition(approx, spare - 1, axis=1)[:, :spare]
        for j, q in enumerate(block):
            c = cand[j]
            if metric == "euclidean":
                d = ((data[c] - q) ** 2).sum(axis=1)
            elif metric == "angular":
                d = (data[c] * q).sum(axis=1) / (np.sqrt((data[c] ** 2).sum(axis=1)) * np.sqrt((q * q).sum()))
            else:
                d = (data[c] * q).sum(axis=1)
            out[first + j] = c[np.lexsort((c, d))[: out.shape[1]]]
    return out


def keys_of(data, ids):
    return [[data[i].tobytes() for i in row] for row in ids]


def similarity(metric):
    return metric != "euclidean"


# ---------------------------------------------------------------------------
# Libraries, each behind the same small surface


def dist_version(dist, module=None):
    try:
        from importlib.metadata import version

        return version(dist)
    except Exception:
        return getattr(module, "__version__", "?")


class Tamsel:
    """One PyHNSW per ef_search: the class fixes ef_search at construction
    and offers no way to change it, so the sweep builds one index per value."""

    name = "tamsel"

    def __init__(self, dim, metric="euclidean"):
        import tamsel

        self.module = tamsel
        self.metric = metric
        self.version = "(%s)" % os.path.dirname(os.path.abspath(tamsel.__file__))
        self.dim = dim
        self.indexes = {}
        self.builds = {}

    def new(self, ef, schema=None):
        return self.module.PyHNSW(
            self.dim, m=M, ef_construction=EF_CONSTRUCTION, ef_search=ef, metric=self.metric, schema=schema
        )

    def build(self, ef, vectors, source):
        index = self.new(ef)
        common.release_free_memory()
        seconds, _ = common.cpu_seconds(lambda: index.create(vectors))
        self.indexes[ef] = index
        self.builds[ef] = (source, seconds)
        return seconds

    def queries(self, q64, q32):
        return [q64[i] for i in range(len(q64))]

    def searcher(self, ef, k=K):
        search = self.indexes[ef].search
        return lambda q: search(q, k)

    def recall(self, results, data, exact_keys):
        return common.recall_of_copies(results, exact_keys)


class Hnswlib:
    name = "hnswlib"

    SPACES = {"euclidean": "l2", "angular": "cosine", "inner_product": "ip"}

    def __init__(self, dim, metric="euclidean"):
        import hnswlib

        self.module = hnswlib
        self.version = dist_version("hnswlib", hnswlib)
        self.dim = dim
        self.metric = metric

    def build(self, x32):
        index = self.module.Index(space=self.SPACES[self.metric], dim=self.dim)
        index.init_index(max_elements=len(x32), M=M, ef_construction=EF_CONSTRUCTION, random_seed=100)
        index.set_num_threads(1)
        seconds, _ = common.cpu_seconds(lambda: index.add_items(x32, np.arange(len(x32)), num_threads=1))
        self.index = index
        return seconds

    def queries(self, q64, q32):
        q32 = peer_queries(q32, self.metric)
        return [q32[i] for i in range(len(q32))]

    def searcher(self, ef, k=K):
        self.index.set_ef(ef)
        knn = self.index.knn_query
        return lambda q: knn(q, k)

    def recall(self, results, data, exact_keys):
        return recall_of_rows([labels[0] for labels, _ in results], data, exact_keys)


class HnswlibVectors:
    """hnswlib's index asked for the found vectors too (knn_query, then
    get_items), as PyHNSW returns them: no build of its own."""

    name = "hnswlib+vectors"

    def __init__(self, hnswlib_peer):
        self.peer = hnswlib_peer
        self.version = hnswlib_peer.version

    def queries(self, q64, q32):
        return self.peer.queries(q64, q32)

    def searcher(self, ef, k=K):
        self.peer.index.set_ef(ef)
        knn, items = self.peer.index.knn_query, self.peer.index.get_items

        def search(q):
            labels, distances = knn(q, k)
            return labels, distances, items(labels[0])

        return search

    def recall(self, results, data, exact_keys):
        return recall_of_rows([labels[0] for labels, _, _ in results], data, exact_keys)


class FaissHNSW:
    name = "faiss"

    def __init__(self, dim, metric="euclidean"):
        import faiss

        faiss.omp_set_num_threads(1)
        self.module = faiss
        self.version = faiss.__version__
        self.dim = dim
        self.metric = metric

    def build(self, x32):
        # FAISS has no cosine: inner products of unit vectors are the cosines.
        if self.metric == "euclidean":
            index = self.module.IndexHNSWFlat(self.dim, M)
        else:
            index = self.module.IndexHNSWFlat(self.dim, M, self.module.METRIC_INNER_PRODUCT)
        if self.metric == "angular":
            x32 = unit_rows(x32)
        index.hnsw.efConstruction = EF_CONSTRUCTION
        seconds, _ = common.cpu_seconds(lambda: index.add(x32))
        self.index = index
        return seconds

    def queries(self, q64, q32):
        q32 = peer_queries(q32, self.metric)
        if self.metric == "angular":
            q32 = unit_rows(q32)
        return [q32[i : i + 1] for i in range(len(q32))]

    def searcher(self, ef, k=K):
        self.index.hnsw.efSearch = ef
        search = self.index.search
        return lambda q: search(q, k)

    def recall(self, results, data, exact_keys):
        return recall_of_rows([ids[0] for _, ids in results], data, exact_keys)


class USearch:
    name = "usearch"

    METRICS = {"euclidean": "l2sq", "angular": "cos", "inner_product": "ip"}

    def __init__(self, dim, metric="euclidean"):
        import usearch
        from usearch.index import Index

        self.cls = Index
        self.version = usearch.__version__
        self.dim = dim
        self.metric = metric

    def build(self, x32):
        index = self.cls(
            ndim=self.dim,
            metric=self.METRICS[self.metric],
            dtype="f32",
            connectivity=M,
            expansion_add=EF_CONSTRUCTION,
            expansion_search=EF_VALUES[0],
        )
        keys = np.arange(len(x32), dtype=np.uint64)
        seconds, _ = common.cpu_seconds(lambda: index.add(keys, x32, threads=1))
        self.index = index
        return seconds

    def queries(self, q64, q32):
        q32 = peer_queries(q32, self.metric)
        return [q32[i] for i in range(len(q32))]

    def searcher(self, ef, k=K):
        self.index.expansion_search = ef
        search = self.index.search
        return lambda q: search(q, k, threads=1)

    def recall(self, results, data, exact_keys):
        return recall_of_rows([m.keys for m in results], data, exact_keys)


PEERS = (Hnswlib, FaissHNSW, USearch)


def peer_queries(q32, metric):
    """The peers rank the most similar first; PyHNSW ranks by the similarity
    itself, the least similar first, and the least similar to q are the most
    similar to -q (the negation is exact)."""
    return np.ascontiguousarray(-q32) if similarity(metric) else q32


def unit_rows(x32):
    return np.ascontiguousarray(x32 / np.linalg.norm(x32, axis=1, keepdims=True))


def recall_of_rows(found_ids, data, exact_keys):
    """Recall of a peer's ids, counted on the values of the vectors they name."""
    return common.recall_of_values([[data[int(i)].tobytes() for i in list(ids)[:K]] for ids in found_ids], exact_keys)


def load_peers(dim, wanted, metric="euclidean"):
    peers = []
    for cls in PEERS:
        if wanted is not None and cls.name not in wanted:
            continue
        try:
            peers.append(cls(dim, metric))
        except Exception as error:  # a peer that is missing or broken is skipped
            log("%s: skipped, not importable (%s: %s)" % (cls.name, type(error).__name__, error))
    return peers


# ---------------------------------------------------------------------------
# HNSW: build, sweep, copies


def hnsw_suite(name, data, queries, efs, rounds, peers_wanted, from_list=True, metric="euclidean", asks=None):
    """Builds every library on `data` and sweeps ef_search; returns the rows.
    With `asks` (label -> queries), every set of queries is swept on the same
    builds, and the rows of each come back in a list, labelled."""
    n, dim = data.shape
    x32 = np.ascontiguousarray(data, dtype=np.float32)
    builds = []
    libs = []
    tam = Tamsel(dim, metric)
    for i, ef in enumerate(efs):
        if i == 0 and from_list:
            rows = data.tolist()
            seconds = tam.build(ef, rows, "list")
            del rows
        else:
            seconds = tam.build(ef, data, "numpy")
        log("%s: tamsel build (ef_search=%d, %s) %.1fs" % (name, ef, tam.builds[ef][0], seconds))
    for source in ("list", "numpy"):
        times = [s for src, s in tam.builds.values() if src == source]
        if times:
            builds.append(
                {
                    "library": "tamsel",
                    "source": source,
                    "seconds": min(times),
                    "median": sorted(times)[len(times) // 2],
                    "count": len(times),
                    "first": times[0],
                }
            )
    libs.append(tam)

    for peer in load_peers(dim, peers_wanted, metric):
        common.release_free_memory()
        try:
            seconds = peer.build(x32)
        except Exception as error:
            log("%s: skipped, build failed (%s: %s)" % (peer.name, type(error).__name__, error))
            continue
        log("%s: %s build %.1fs" % (name, peer.name, seconds))
        builds.append(
            {
                "library": peer.name,
                "source": "numpy float32",
                "seconds": seconds,
                "median": seconds,
                "count": 1,
                "first": seconds,
            }
        )
        libs.append(peer)
        if peer.name == "hnswlib":
            libs.append(HnswlibVectors(peer))
    versions = {lib.name: lib.version for lib in libs}

    if asks is None:
        return sweep_suite(name, data, queries, efs, rounds, libs, tam, metric, builds, versions)
    return [
        dict(sweep_suite(name, data, asked, efs, rounds, libs, tam, metric, builds, versions), asked=label)
        for label, asked in asks.items()
    ]


def sweep_suite(name, data, queries, efs, rounds, libs, tam, metric, builds, versions):
    """The ef_search sweep of hnsw_suite, for one set of queries."""
    n, dim = data.shape
    q32 = np.ascontiguousarray(queries, dtype=np.float32)
    exact_ids = exact_knn(data, queries, metric=metric)
    exact_keys = keys_of(data, exact_ids)
    out = {
        "dataset": name,
        "metric": metric,
        "n": n,
        "dim": dim,
        "queries": len(queries),
        "builds": builds,
        "sweep": {},
        "copies": {},
        "versions": versions,
    }

    query_objects = {lib.name: lib.queries(queries, q32) for lib in libs}
    best = {}
    recalls = {}
    # Rounds interleave the libraries, so a slow spell of the machine hits all of them.
    for rnd in range(rounds):
        for ef in efs:
            for lib in libs:
                fn = lib.searcher(ef)
                if rnd == 0:
                    common.warm(fn, query_objects[lib.name])
                seconds, results = timed(fn, query_objects[lib.name])
                key = (lib.name, ef, K)
                best[key] = min(best.get(key, seconds), seconds)
                if rnd == 0:
                    recalls[(lib.name, ef)] = lib.recall(results, data, exact_keys)
                del results
                seconds = common.timed_dropping(fn, query_objects[lib.name])
                key = (lib.name, ef, "dropped")
                best[key] = min(best.get(key, seconds), seconds)
            fn = tam.searcher(ef, 1)
            if rnd == 0:
                common.warm(fn, query_objects["tamsel"])
            seconds, _ = timed(fn, query_objects["tamsel"])
            key = ("tamsel", ef, 1)
            best[key] = min(best.get(key, seconds), seconds)
        log("%s: search round %d of %d done" % (name, rnd + 1, rounds))
    for lib in libs:
        out["sweep"][lib.name] = {
            ef: {
                "recall": recalls[(lib.name, ef)],
                "qps": len(queries) / best[(lib.name, ef, K)],
                "qps_dropped": len(queries) / best[(lib.name, ef, "dropped")],
            }
            for ef in efs
        }

    # The returned copies: k=1 against k=10, and the same tuples built in Python.
    views = [[data[i] for i in row] for row in exact_ids]
    seconds_py, _ = timed(lambda rows: [(0.0, r.tolist()) for r in rows], views)
    for ef in efs:
        t10, t1 = best[("tamsel", ef, K)], best[("tamsel", ef, 1)]
        out["copies"][ef] = {
            "us_k10": 1e6 * t10 / len(queries),
            "us_k1": 1e6 * t1 / len(queries),
            "share": common.copy_share(t10, t1),
            "share_python": seconds_py / t10,
        }
    out["tamsel_for_filter"] = tam
    out["exact_ids"] = exact_ids
    out["exact_keys"] = exact_keys
    return out


# ---------------------------------------------------------------------------
# Filtered search


def filter_grid(data, seed):
    """For each share of FILTER_SHARES, the sorted ids that hold the value 1 of
    two attributes: one drawn at random ("i<share>"), one that follows the
    vectors ("f<share>"): those farthest along a direction through the data,
    from its mean to one of its vectors, as a topic or a source would."""
    n = len(data)
    rng = np.random.default_rng(seed + 7)
    direction = data[rng.integers(n)] - data.mean(axis=0)
    along = np.argsort(-(data @ direction), kind="stable")
    chosen = {}
    for share in common.FILTER_SHARES:
        count = max(1, int(round(share * n)))
        chosen["i%g" % share] = np.sort(rng.choice(n, count, replace=False))
        chosen["f%g" % share] = np.sort(along[:count])
    return chosen


def filtered_suite(data, queries, hnsw, rounds, seed=0):
    n, dim = data.shape
    sweep = hnsw["sweep"]["tamsel"]
    ef = common.filter_ef(sweep, sorted(sweep))
    chosen = filter_grid(data, seed)
    names = list(chosen)
    member = np.zeros((n, len(names)), dtype=np.int64)
    for j, name in enumerate(names):
        member[chosen[name], j] = 1
    metadata = [list(zip(names, row)) for row in member.tolist()]
    del member
    tam = hnsw["tamsel_for_filter"]
    index = tam.new(ef, schema=names)
    common.release_free_memory()
    seconds, _ = common.cpu_seconds(lambda: index.create(data, metadata))  # noqa: F821 (called before the del below)
    out = {"ef": ef, "build_s": seconds, "n": n, "rows": {}}
    del metadata
    log("filtered: build with metadata (ef_search=%d) %.1fs" % (ef, out["build_s"]))

    qs = [queries[i] for i in range(len(queries))]
    wanted = {}
    for name in names:
        ids = chosen[name]
        local = exact_knn(data[ids], queries, metric=hnsw["metric"])
        wanted[name] = keys_of(data, ids[local])
    best = {}
    recalls = {}
    for rnd in range(rounds):
        for name in [None] + names:
            flt = None if name is None else (name, 1)
            search = index.search
            fn = lambda q: search(q, K, flt)
            if rnd == 0:
                common.warm(fn, qs)
            seconds, results = timed(fn, qs)
            best[name] = min(best.get(name, seconds), seconds)
            if rnd == 0:
                keys = hnsw["exact_keys"] if name is None else wanted[name]
                k = K if name is None else min(K, len(chosen[name]))
                recalls[name] = common.recall_of_copies(results, keys, k)
    out["rows"]["none"] = {"share": 1.0, "matching": n, "recall": recalls[None], "qps": len(qs) / best[None]}
    for name in names:
        out["rows"][name] = {
            "share": float(name[1:]),
            "matching": len(chosen[name]),
            "recall": recalls[name],
            "qps": len(qs) / best[name],
        }
    return out


# ---------------------------------------------------------------------------
# Flat search


def read_bandwidth(array, seconds=0.3):
    """Bytes per second at which this core reads `array`: the fastest of three
    numpy reductions over it (a float sum, a bitwise or and a count of non-zero
    words), each the best of repeats that take `seconds` together."""
    words = array.reshape(-1).view(np.uint64)
    best = None
    for reader in (lambda: array.sum(), lambda: np.bitwise_or.reduce(words), lambda: np.count_nonzero(words)):
        first, _ = common.cpu_seconds(reader)
        for _ in range(max(5, min(1000, int(seconds / max(first, 1e-6))))):
            start = time.process_time()
            reader()
            took = time.process_time() - start
            best = took if best is None or took < best else best
    return array.nbytes / best


def numpy_brute(data, k=K):
    def search(q):
        d = np.linalg.norm(data - q, axis=1)
        idx = np.argpartition(d, k)[:k]
        return idx[np.argsort(d[idx])]

    return search


def numpy_expanded(data, k=K):
    """The squared distance expanded as |x|^2 - 2 x.q (|q|^2 is the same for
    every x): one matrix-vector product, not exact near ties."""
    norms = np.einsum("ij,ij->i", data, data)

    def search(q):
        d = norms - 2.0 * (data @ q)
        idx = np.argpartition(d, k)[:k]
        return idx[np.argsort(d[idx])]

    return search


def flat_suite(data, queries, sizes, nq_max, rounds, peers_wanted):
    import tamsel

    dim = data.shape[1]
    out = {"rows": [], "bandwidth": {}}
    big = np.empty(1 << 27)  # 1 GiB, beyond the caches of most machines
    big.fill(1.0)
    out["bandwidth"]["1 GiB array"] = read_bandwidth(big)
    del big
    faiss = None
    if peers_wanted is None or "faiss" in peers_wanted:
        try:
            import faiss

            faiss.omp_set_num_threads(1)
        except Exception as error:
            log("faiss: skipped for flat search, not importable (%s)" % error)
            faiss = None

    for size in sizes:
        part = np.ascontiguousarray(data[:size])
        nq = max(20, min(nq_max, int(2e7 // size)))
        q64 = [queries[i] for i in range(nq)]
        bandwidth = read_bandwidth(part)
        out["bandwidth"]["%d x %d store" % (size, dim)] = bandwidth
        floor_qps = bandwidth / part.nbytes

        flat = tamsel.PyFlat(dim)
        flat.create(part)

        methods = [("tamsel PyFlat", (lambda f: lambda q: f(q, K))(flat.search), q64)]
        methods.append(("numpy brute force", numpy_brute(part), q64))
        methods.append(("numpy, expanded |x|^2 - 2x.q", numpy_expanded(part), q64))
        if faiss is not None:
            index = faiss.IndexFlatL2(dim)
            index.add(np.ascontiguousarray(part, dtype=np.float32))
            q32 = np.ascontiguousarray(queries[:nq], dtype=np.float32)
            methods.append(
                ("faiss IndexFlatL2", (lambda s: lambda q: s(q, K))(index.search), [q32[i : i + 1] for i in range(nq)])
            )
        best = {}
        answers = {}
        for rnd in range(rounds):
            for label, fn, qs in methods:
                if rnd == 0:
                    common.warm(fn, qs, 5)
                seconds, results = timed(fn, qs)
                best[label] = min(best.get(label, seconds), seconds)
                if rnd == 0:
                    answers[label] = results
        exact = [list(map(int, a)) for a in answers["numpy brute force"]]
        same = sum(1 for hits, want in zip(answers["tamsel PyFlat"], exact) if [i for i, _ in hits] == want)
        for label, _, _ in methods:
            out["rows"].append({"size": size, "method": label, "qps": nq / best[label], "queries": nq})
        out["rows"].append({"size": size, "method": "bandwidth floor", "qps": floor_qps, "queries": None})
        out.setdefault("identical", {})[size] = same / float(nq)
        log("flat: n=%d done" % size)
    return out


# ---------------------------------------------------------------------------
# Conversions


def conversion_suite(data, repeats=3):
    """Seconds to turn n x dim vectors into native doubles, from a list of
    lists and from numpy arrays. PyHNSW.create converts its whole argument
    before it compares any length with the index's dimension, so a create into
    an index one dimension wider converts everything, stores nothing and
    raises ValueError: that time is the conversion alone. PyFlat.create
    (conversion and the copy into the store) is timed beside it."""
    import tamsel

    n, dim = data.shape
    sources = [
        ("list of lists", data.tolist()),
        ("numpy float64", data),
        ("numpy float32", np.ascontiguousarray(data, dtype=np.float32)),
    ]
    rows = []
    for label, vectors in sources:
        convert = flat = None
        for _ in range(repeats):
            wider = tamsel.PyHNSW(dim + 1, metric="euclidean")

            def refused():
                try:
                    wider.create(vectors)
                except ValueError:
                    return True
                return False

            seconds, ok = common.cpu_seconds(refused)
            if not ok:
                raise RuntimeError("create into a wider index did not refuse the vectors")
            convert = seconds if convert is None else min(convert, seconds)
            index = tamsel.PyFlat(dim)
            seconds, _ = common.cpu_seconds(lambda: index.create(vectors))  # noqa: F821 (called before the del below)
            flat = seconds if flat is None else min(flat, seconds)
            del index
        rows.append({"source": label, "convert_s": convert, "flat_create_s": flat})
    return {"n": n, "dim": dim, "rows": rows}


# ---------------------------------------------------------------------------
# Memory: resident size growth around one build, each in a fresh interpreter


MEMORY_TAMSEL = ("tamsel", "tamsel, angular", "tamsel, inner_product", "tamsel, one attribute")


def memory_probe(lib, n, dim, seed):
    data, _ = synthetic(n, dim, 1, seed)
    if lib in MEMORY_TAMSEL:
        import tamsel

        schema = ["tag"] if lib == "tamsel, one attribute" else None
        # The similarities keep far lists besides the graph, and the inner
        # product its product lists too.
        metric = {"tamsel, angular": "angular", "tamsel, inner_product": "inner_product"}.get(lib, "euclidean")
        index = tamsel.PyHNSW(
            dim, m=M, ef_construction=EF_CONSTRUCTION, ef_search=EF_VALUES[0], metric=metric, schema=schema
        )
        payload = 8 * dim
        records = [[("tag", i % 10)] for i in range(n)] if schema else None
        build = lambda: index.create(data, records) if records else index.create(data)
    elif lib == "hnswlib":
        import hnswlib

        x32 = np.ascontiguousarray(data, dtype=np.float32)
        del data
        index = hnswlib.Index(space="l2", dim=dim)
        payload = 4 * dim
        build = lambda: (
            index.init_index(max_elements=n, M=M, ef_construction=EF_CONSTRUCTION),
            index.set_num_threads(1),
            index.add_items(x32, num_threads=1),
        )
    else:
        raise SystemExit("unknown library " + lib)
    common.release_free_memory()
    before = common.rss_bytes()
    build()
    common.release_free_memory()
    after = common.rss_bytes()
    per_vector = (after - before) / float(n)
    return {
        "library": lib,
        "rss_growth": after - before,
        "per_vector": per_vector,
        "payload": payload,
        "overhead": per_vector - payload,
    }


def memory_suite(n, dim, seed, peers_wanted):
    rows = []
    for lib in MEMORY_TAMSEL + ("hnswlib",):
        if lib == "hnswlib" and peers_wanted is not None and lib not in peers_wanted:
            continue
        cmd = [
            sys.executable,
            os.path.abspath(__file__),
            "--memory-probe",
            lib,
            "--n",
            str(n),
            "--dim",
            str(dim),
            "--seed",
            str(seed),
        ]
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        if done.returncode != 0:
            log("memory: %s skipped (%s)" % (lib, done.stderr.strip().splitlines()[-1:] or "failed"))
            continue
        rows.append(json.loads(done.stdout.strip().splitlines()[-1]))
        log("memory: %s %.0f bytes per vector beyond the vector" % (lib, rows[-1]["overhead"]))
    return rows


# ---------------------------------------------------------------------------
# PyPy beside CPython


def lists_in(python, args):
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as f:
        path = f.name
    cmd = [
        python,
        os.path.abspath(__file__),
        "--lists-only",
        "--json",
        path,
        "--n",
        str(args.n),
        "--dim",
        str(args.dim),
        "--queries",
        str(args.queries),
        "--seed",
        str(args.seed),
        "--rounds",
        str(args.rounds),
        "--lists-efs",
        args.lists_efs,
    ]
    log("running: " + " ".join(cmd))
    done = subprocess.run(cmd)
    try:
        if done.returncode != 0:
            return None
        with open(path) as f:
            return json.load(f)
    finally:
        os.unlink(path)


def pypy_check(python):
    try:
        done = subprocess.run(
            [python, "-c", "import tamsel, platform; print(platform.python_implementation())"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            universal_newlines=True,
        )
    except OSError as error:
        return "cannot run %s (%s)" % (python, error)
    if done.returncode != 0:
        return (
            "%s cannot import tamsel. Install it there first, e.g.\n"
            "  pypy3 -m venv /tmp/pypy-bench && /tmp/pypy-bench/bin/pip install .\n"
            "then pass --pypy /tmp/pypy-bench/bin/python" % python
        )
    return None


# ---------------------------------------------------------------------------


def parse(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--n", type=int, help="vectors in the synthetic set (default 100000, --quick 10000)")
    p.add_argument("--dim", type=int, default=128, help="dimension of the synthetic set (default 128)")
    p.add_argument("--queries", type=int, help="queries per measurement (default 1000, --quick 200)")
    p.add_argument("--quick", action="store_true", help="small sizes, one search round")
    p.add_argument("--out", help="folder for results.md, recall_qps.png and results.json")
    p.add_argument("--rounds", type=int, help="search passes per figure, the best kept (default 3, --quick 1)")
    p.add_argument("--seed", type=int, default=20240601)
    p.add_argument("--peers", help="comma-separated subset of hnswlib,faiss,usearch (default all)")
    p.add_argument(
        "--skip",
        default="",
        help="comma-separated parts to leave out: memory,mixture,filtered,conversion,flat,digits "
        "(mixture: the synthetic HNSW suite, and with it the filtered one)",
    )
    p.add_argument(
        "--real",
        action="store_true",
        help="also the real set: bench/embed.py's sentence embeddings, under all three metrics "
        "(made and cached on the first run; --quick indexes 20,000 of them)",
    )
    p.add_argument(
        "--efs",
        default=",".join(str(ef) for ef in EF_VALUES),
        help="ef_search values of the synthetic set (tamsel builds one index per value)",
    )
    p.add_argument(
        "--real-efs",
        default="10,20,40,80,160",
        help="ef_search values of the real set (tamsel builds one index per value per metric)",
    )
    p.add_argument("--real-metrics", default=",".join(METRICS), help="metrics of the real set")
    p.add_argument("--lists-only", action="store_true", help="tamsel with Python lists only (no numpy, no peers)")
    p.add_argument(
        "--lists-efs",
        default=",".join(str(ef) for ef in EF_VALUES),
        help="ef_search values of the lists-only suite (one build from lists each)",
    )
    p.add_argument(
        "--pypy",
        nargs="?",
        const="pypy3",
        metavar="PYTHON",
        help="run the lists-only suite under this interpreter and under PYTHON (default pypy3), side by side",
    )
    p.add_argument("--json", help=argparse.SUPPRESS)
    p.add_argument("--memory-probe", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.n is None:
        args.n = 10000 if args.quick else 100000
    if args.queries is None:
        args.queries = 200 if args.quick else 1000
    if args.rounds is None:
        args.rounds = 1 if args.quick else 3
    return args


def main(argv=None):
    args = parse(argv)
    if args.memory_probe:
        print(json.dumps(memory_probe(args.memory_probe, args.n, args.dim, args.seed)))
        return 0
    try:
        import tamsel  # noqa: F401
    except ImportError as error:
        log(
            "tamsel is not importable under %s (%s): run `pip install .` with this interpreter first"
            % (common.interpreter(), error)
        )
        return 1
    if args.pypy:
        problem = pypy_check(args.pypy)
        if problem:
            log(problem)
            return 1
        here = lists_in(sys.executable, args)
        there = lists_in(args.pypy, args)
        if here is None or there is None:
            log("the lists-only suite failed under one of the interpreters")
            return 1
        text = report.interpreters_side_by_side(here, there)
        print(text)
        report.write_out(args.out, "interpreters.md", text)
        return 0
    if args.lists_only or np is None or common.interpreter().startswith("PyPy"):
        if not args.lists_only:
            log("lists only: %s" % ("numpy is not importable" if np is None else "PyPy, the peers are skipped"))
        efs = tuple(int(ef) for ef in args.lists_efs.split(","))
        result = common.lists_suite(args.n, args.dim, args.queries, args.seed, efs=efs, rounds=args.rounds)
        if args.json:
            with open(args.json, "w") as f:
                json.dump(result, f)
        else:
            text = report.lists_tables(result)
            print(text)
            report.write_out(args.out, "results-lists.md", text)
        return 0

    peers = None if not args.peers else set(args.peers.split(","))
    skip = set(filter(None, args.skip.split(",")))
    started = time.perf_counter()
    meta = {
        "date": datetime.date.today().isoformat(),
        "machine": common.machine(),
        "interpreter": common.interpreter(),
        "numpy": np.__version__,
        "n": args.n,
        "dim": args.dim,
        "queries": args.queries,
        "rounds": args.rounds,
        "seed": args.seed,
        "m": M,
        "ef_construction": EF_CONSTRUCTION,
    }
    if os.environ.get("OPENBLAS_CORETYPE"):
        log("note: OPENBLAS_CORETYPE is set; it can slow numpy's kernels")
    results = {"meta": meta}

    if "memory" not in skip:
        results["memory"] = memory_suite(args.n, args.dim, args.seed, peers)
    log("generating the mixture: %d x %d (+%d queries)" % (args.n, args.dim, args.queries))
    data, queries = synthetic(args.n, args.dim, args.queries, args.seed)
    if "mixture" not in skip:
        hnsw = hnsw_suite("mixture", data, queries, [int(e) for e in args.efs.split(",")], args.rounds, peers)
        if "filtered" not in skip:
            results["filtered"] = filtered_suite(data, queries, hnsw, args.rounds, args.seed)
        for key in ("tamsel_for_filter", "exact_ids", "exact_keys"):
            hnsw.pop(key)
        results["hnsw"] = hnsw
    if "conversion" not in skip:
        results["conversion"] = conversion_suite(data[:100000])
    if "flat" not in skip:
        sizes = sorted(set(min(s, args.n) for s in ((10000,) if args.quick else (10000, 100000))))
        results["flat"] = flat_suite(data, queries, sizes, args.queries, args.rounds, peers)
    del data, queries
    if "digits" not in skip:
        digit_sets = digits(args.seed)
        if digit_sets is not None:
            dd = hnsw_suite("digits", digit_sets[0], digit_sets[1], EF_VALUES, args.rounds, peers)
            for key in ("tamsel_for_filter", "exact_ids", "exact_keys"):
                dd.pop(key)
            results["digits"] = dd
    if args.real:
        real_data, real_queries = real_set(args.seed, args.queries, 20000 if args.quick else None)
        meta["real"] = {"n": len(real_data), "dim": real_data.shape[1], "queries": len(real_queries)}
        results["real"] = []
        for metric in args.real_metrics.split(","):
            log("real set: %d x %d, metric %s" % (real_data.shape[0], real_data.shape[1], metric))
            # PyHNSW lists the least similar first: search(q) asks for those,
            # and a user who wants the most similar to q searches with -q. The
            # peers rank the most similar first and are asked the negation of
            # each (peer_queries), so both sides answer the same question.
            asks = {"least similar, q": real_queries, "most similar, -q": -real_queries} if similarity(metric) else None
            found = hnsw_suite(
                "WordNet glosses, all-MiniLM-L6-v2",
                real_data,
                real_queries,
                [int(e) for e in args.real_efs.split(",")],
                args.rounds,
                peers,
                from_list=False,
                metric=metric,
                asks=asks,
            )
            for rr in found if asks else [found]:
                if metric == "euclidean" and "filtered" not in skip:
                    results["real_filtered"] = filtered_suite(real_data, real_queries, rr, args.rounds, args.seed)
                for key in ("tamsel_for_filter", "exact_ids", "exact_keys"):
                    rr.pop(key)
                results["real"].append(rr)
        del real_data, real_queries
    meta["seconds"] = time.perf_counter() - started
    meta["wall_per_cpu"] = common.load_factor()

    text = report.tables(results)
    print(text)
    if args.out:
        report.write_out(args.out, "results.md", text)
        with open(os.path.join(args.out, "results.json"), "w") as f:
            json.dump(results, f, indent=1, default=str)
        report.plot(results, os.path.join(args.out, "recall_qps.png"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
