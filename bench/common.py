"""Pieces of the benchmark suite that need neither numpy nor any peer library.

Everything here runs under CPython and PyPy alike: the list-only data
generator, the timers, the resident-size reader and the list-only suite that
`run.py --lists-only` (and PyPy) runs.
"""

import gc
import math
import os
import platform
import random
import sys
import time
from array import array

EF_VALUES = (10, 20, 40, 80, 160, 320)
M = 16
EF_CONSTRUCTION = 200
K = 10
# Fraction of the vectors each filter attribute selects.
SELECTIVITIES = (("p50", 0.5), ("p10", 0.1), ("p1", 0.01), ("p01", 0.001))
# Shares of the vectors that the filtered grid selects, each once with an
# attribute drawn apart from the vectors and once with one that follows them.
FILTER_SHARES = (1.0, 0.5, 0.2, 0.1, 0.05, 0.02, 0.01, 0.001)
# A filtered or unfiltered answer is "good enough" from this recall on.
RECALL_GOAL = 0.95
# Vectors that PyHNSW.insert adds one call at a time (PyFlat.insert takes all n).
HNSW_INSERTS = 5000


def interpreter():
    impl = platform.python_implementation()
    return "%s %s" % (impl, platform.python_version())


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d cores visible, %s" % (model, os.cpu_count() or 0, platform.system())


def rss_bytes():
    """Resident set size of this process, from /proc/self/statm (None elsewhere)."""
    try:
        with open("/proc/self/statm") as f:
            resident_pages = int(f.read().split()[1])
    except (OSError, ValueError, IndexError):
        return None
    return resident_pages * os.sysconf("SC_PAGE_SIZE")


def release_free_memory():
    """Collect garbage and hand free heap pages back to the system (glibc malloc_trim),
    so that a following resident-size reading counts live memory only."""
    gc.collect()
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError, ImportError):
        pass


# Wall-clock and CPU seconds of every timed stretch, summed: their ratio shows
# how much other processes took the core away during the run.
CLOCKS = {"wall": 0.0, "cpu": 0.0}


def cpu_seconds(call):
    """CPU seconds of this process spent in `call()`, and its result.

    Every figure of the suite is CPU time of the (single-threaded) process, not
    wall-clock time: on a shared machine other processes take the core away for
    a while, and the CPU time does not count those stretches. On an idle machine
    the two agree (see the wall/CPU ratio printed with the results)."""
    gc.collect()
    wall = time.perf_counter()
    cpu = time.process_time()
    out = call()
    cpu = time.process_time() - cpu
    CLOCKS["wall"] += time.perf_counter() - wall
    CLOCKS["cpu"] += cpu
    return cpu, out


def timed(fn, items):
    """CPU seconds for calling `fn` once per item, one call after another, and the results."""
    return cpu_seconds(lambda: [fn(item) for item in items])


def timed_dropping(fn, items):
    """CPU seconds for calling `fn` once per item, each result dropped before
    the next call, as a loop that uses each answer at once does."""

    def run():
        for item in items:
            fn(item)

    return cpu_seconds(run)[0]


def warm(fn, items, count=50):
    for item in items[:count]:
        fn(item)


def load_factor():
    return CLOCKS["wall"] / CLOCKS["cpu"] if CLOCKS["cpu"] > 0 else None


def vector_key(values):
    """The float64 bytes of a vector, to recognise a returned vector copy."""
    return array("d", values).tobytes()


def recall_of_values(found_keys, wanted_keys, k=K):
    """Recall@k counted on vector values: a found vector is a hit when its
    value bytes are among the exact neighbours' (each exact neighbour matched
    once), so exact copies in the data count alike for every library.
    `found_keys` and `wanted_keys` hold one sequence of keys per query."""
    hits = 0
    for found, wanted in zip(found_keys, wanted_keys):
        left = {}
        for key in wanted:
            left[key] = left.get(key, 0) + 1
        for key in list(found)[:k]:
            if left.get(key, 0) > 0:
                left[key] -= 1
                hits += 1
    return hits / float(k * len(found_keys))


def recall_of_copies(results, wanted_keys, k=K):
    """Recall@k of PyHNSW results ((distance, vector copy) tuples) against the
    byte keys of the exact neighbours' vectors, one collection per query."""
    return recall_of_values([[vector_key(vec) for _, vec in found[:k]] for found in results], wanted_keys, k)


def mixture_lists(n, dim, seed):
    """The synthetic data as lists of floats, drawn with `random`: a Gaussian
    mixture with a decaying per-component scale (the recipe of the numpy
    generator in run.py; the numbers differ, the distribution does not)."""
    rnd = random.Random(seed)
    clusters = max(8, int(round(math.sqrt(n) / 3)))
    scale = [1.0 / math.sqrt(1.0 + j / 8.0) for j in range(dim)]
    centres = [[rnd.gauss(0.0, 1.0) * s for s in scale] for _ in range(clusters)]
    weights = [rnd.gammavariate(2.0, 1.0) for _ in range(clusters)]
    spread = [rnd.uniform(0.3, 0.6) for _ in range(clusters)]
    labels = rnd.choices(range(clusters), weights=weights, k=n)
    gauss = rnd.gauss
    rows = []
    for label in labels:
        centre, sp = centres[label], spread[label]
        rows.append([c + gauss(0.0, 1.0) * s * sp for c, s in zip(centre, scale)])
    return rows


def selection_lists(n, seed):
    """For each filter attribute, the sorted ids that hold the value 1."""
    rnd = random.Random(seed + 7)
    chosen = {}
    for name, share in SELECTIVITIES:
        count = max(1, int(round(share * n)))
        chosen[name] = sorted(rnd.sample(range(n), count))
    return chosen


def metadata_for(n, chosen):
    member = {name: set(ids) for name, ids in chosen.items()}
    return [[(name, 1 if i in member[name] else 0) for name, _ in SELECTIVITIES] for i in range(n)]


def log(message):
    sys.stderr.write(message + "\n")
    sys.stderr.flush()


def lists_suite(n, dim, nq, seed, efs=EF_VALUES, rounds=1):
    """tamsel alone, fed with Python lists only: flat search (also the ground
    truth), HNSW build from lists, recall/QPS per ef_search, the cost of the
    returned vector copies (k=1 against k=10), insertion one vector per call
    and filtered search."""
    import tamsel

    out = {"interpreter": interpreter(), "n": n, "dim": dim, "queries": nq, "seed": seed}
    log("[lists] generating %d x %d with random (%s)" % (n + nq, dim, out["interpreter"]))
    rows = mixture_lists(n + nq, dim, seed)
    data, queries = rows[:n], rows[n:]

    flat = tamsel.PyFlat(dim)
    out["flat_create_s"], _ = cpu_seconds(lambda: flat.create(data))  # noqa: F821 (called before the del below)
    seconds, exact = timed(lambda q: flat.search(q, K), queries)  # noqa: F821 (called before the del below)
    out["flat_qps"] = nq / seconds
    exact_ids = [[i for i, _ in hits] for hits in exact]
    wanted = [[vector_key(data[i]) for i in ids] for ids in exact_ids]
    del flat
    # One list per call: there the conversion of a vector weighs most beside
    # the work of the index.
    flat = tamsel.PyFlat(dim)
    out["flat_insert_s"] = timed_dropping(flat.insert, data)
    del flat

    hnsw = {}
    for ef in efs:
        index = tamsel.PyHNSW(dim, m=M, ef_construction=EF_CONSTRUCTION, ef_search=ef, metric="euclidean")
        release_free_memory()
        build, _ = cpu_seconds(lambda: index.create(data))
        warm(lambda q: index.search(q, K), queries)
        warm(lambda q: index.search(q, 1), queries)
        best10 = best1 = None
        for _ in range(rounds):
            t10, found = timed(lambda q: index.search(q, K), queries)
            t1, _ = timed(lambda q: index.search(q, 1), queries)
            best10 = t10 if best10 is None else min(best10, t10)
            best1 = t1 if best1 is None else min(best1, t1)
        hnsw[ef] = {
            "build_s": build,
            "recall": recall_of_copies(found, wanted),
            "qps": nq / best10,
            "qps_k1": nq / best1,
            "copy_share": copy_share(best10, best1),
        }
        log("[lists] ef=%d build %.1fs recall %.3f qps %.0f" % (ef, build, hnsw[ef]["recall"], hnsw[ef]["qps"]))
        del index
    out["hnsw"] = hnsw
    inserted = data[:HNSW_INSERTS]
    index = tamsel.PyHNSW(dim, m=M, ef_construction=EF_CONSTRUCTION, ef_search=efs[0], metric="euclidean")
    release_free_memory()
    out["hnsw_insert"] = {"count": len(inserted), "seconds": timed_dropping(index.insert, inserted)}
    log("[lists] PyHNSW.insert of %d vectors %.1fs" % (len(inserted), out["hnsw_insert"]["seconds"]))
    del index

    ef = filter_ef(hnsw, efs)
    chosen = selection_lists(n, seed)
    metadata = metadata_for(n, chosen)
    schema = [name for name, _ in SELECTIVITIES]
    index = tamsel.PyHNSW(dim, m=M, ef_construction=EF_CONSTRUCTION, ef_search=ef, metric="euclidean", schema=schema)
    seconds, _ = cpu_seconds(lambda: index.create(data, metadata))
    filtered = {"ef": ef, "build_s": seconds}
    wanted_by = {"unfiltered": wanted}
    for name, _ in SELECTIVITIES:
        ids = chosen[name]
        sub = tamsel.PyFlat(dim)
        sub.create([data[i] for i in ids])
        wanted_by[name] = [[vector_key(data[ids[j]]) for j, _ in sub.search(q, K)] for q in queries]
    best = {}
    for rnd in range(rounds):
        for name in wanted_by:
            flt = None if name == "unfiltered" else (name, 1)
            fn = lambda q: index.search(q, K, flt)
            if rnd == 0:
                warm(fn, queries)
            seconds, found = timed(fn, queries)
            best[name] = min(best.get(name, seconds), seconds)
            if rnd == 0:
                matching = n if flt is None else len(chosen[name])
                filtered[name] = {
                    "matching": matching,
                    "recall": recall_of_copies(found, wanted_by[name], min(K, matching)),
                }
    for name in wanted_by:
        filtered[name]["qps"] = nq / best[name]
    out["filtered"] = filtered
    out["wall_per_cpu"] = load_factor()
    return out


def copy_share(seconds_k10, seconds_k1, k=K):
    """Share of a k=10 search spent on the returned vector copies, estimated
    from k=1: both walk the same graph with the same ef_search, so the extra
    time of k=10 is nine more (distance, vector) tuples; ten copies cost
    10/9 of it."""
    if seconds_k10 <= 0:
        return None
    extra = max(0.0, seconds_k10 - seconds_k1) * k / (k - 1.0)
    return extra / seconds_k10


def filter_ef(hnsw_rows, efs):
    """The smallest ef_search whose unfiltered recall reached the goal (else the largest)."""
    for ef in efs:
        row = hnsw_rows.get(ef)
        if row and row["recall"] >= RECALL_GOAL:
            return ef
    return efs[-1]
