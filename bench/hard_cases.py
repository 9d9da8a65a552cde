#!/usr/bin/env python3
"""Data that has broken PyHNSW's walk before, measured against the exact answer.

    python bench/hard_cases.py                        # the build installed, or on PYTHONPATH
    python bench/hard_cases.py BEFORE_DIR AFTER_DIR   # two builds side by side (as compare_builds.py)

Each row is one shape of data, with recall@10 against PyFlat's exact answer
of the same score, and beside it (where one applies) the Euclidean search
of the same rows alone, which bounds what any walk of that breadth finds:

- copies: results of an index of one vector and its copies (each stored
  vector must come back once);
- a filter that 99% of a 16-d cone passes, the least similar (q) and the
  most similar (-q), under both similarities, beside the unfiltered search;
- two groups 1e9 apart and a tight group (scale 1e-9) inside a spread one,
  Euclidean, ef_search 20, beside an index of the queried group alone;
- a create interrupted after a few thousand rows of unit vectors followed
  by rows at +1e12, beside a fresh index of the rows it kept;
- 20 numeric vectors among 2,000 with a NaN, ef_construction 32,
  ef_search 10: the share of numbers among the results;
- two opposite rays under the cosine, ef_search 10, ef_construction 64;
- a 64-d cone at m 128, the least similar.

Data is drawn with `random` from fixed seeds; it runs under PyPy too.
"""

import argparse
import glob
import importlib.util
import math
import os
import random
import signal
import sys

K = 10


def load(directory):
    paths = glob.glob(os.path.join(directory, "tamsel*.so"))
    if len(paths) != 1:
        sys.exit("%s: expected one tamsel*.so, found %d" % (directory, len(paths)))
    spec = importlib.util.spec_from_file_location("tamsel", paths[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def recall(tamsel, index, data, queries, flat_metric=None, k=K, **search):
    """Recall@k of `index` over `queries`, counted on vector values."""
    flat = tamsel.PyFlat(len(data[0]), metric=flat_metric)
    flat.create(data)
    hits = total = 0
    for q in queries:
        want = {}
        for i, _ in flat.search(q, k):
            key = tuple(data[i])
            want[key] = want.get(key, 0) + 1
        total += sum(want.values())
        for _, v in index.search(q, k, **search):
            if want.get(tuple(v), 0) > 0:
                want[tuple(v)] -= 1
                hits += 1
    return hits / float(total)


def hnsw(tamsel, data, metric, metadata=None, **params):
    index = tamsel.PyHNSW(len(data[0]), metric=metric, schema=["tag"] if metadata else None, **params)
    index.create(data, metadata)
    return index


def gauss_rows(rng, n, dim, scale=1.0, offset=0.0):
    return [[offset + scale * rng.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(n)]


def copies(tamsel):
    out = []
    for metric, rows, query in (
        ("angular", [[1.0, 0.0]] * 2, [0.0, 1.0]),
        ("inner_product", [[0.0, 0.0, 0.0]] * 5, [1.0, 2.0, 3.0]),
        ("euclidean", [[1.0, 1.0]] * 5, [0.0, 0.0]),
    ):
        index = tamsel.PyHNSW(len(rows[0]), metric=metric)
        for row in rows:
            index.insert(row)
        out.append(("copies, %s: results of %d stored" % (metric, len(rows)), len(index.search(query, 100)), None))
    return out


FLAT = {"euclidean": None, "angular": "cosine", "inner_product": "inner_product"}


def filtered_cone(tamsel):
    rng = random.Random(2)
    data = gauss_rows(rng, 4000, 16, offset=3.0)
    queries = gauss_rows(rng, 100, 16, offset=3.0)
    tags = [[("tag", "rare" if i % 100 == 0 else "common")] for i in range(len(data))]
    common = [row for row, tag in zip(data, tags) if tag[0][1] == "common"]
    out = []
    for metric in ("angular", "inner_product"):
        index = hnsw(tamsel, data, metric, tags)
        for sign, question in ((1.0, "q"), (-1.0, "-q")):
            qs = [[sign * x for x in q] for q in queries]
            whole = recall(tamsel, index, data, qs, FLAT[metric])
            passed = recall(tamsel, index, common, qs, FLAT[metric], filter=("tag", "common"))
            out.append(("16-d cone + 3, %s, %s, 99%% filter (unfiltered beside)" % (metric, question), passed, whole))
    return out


def groups(tamsel):
    rng = random.Random(3)
    near = gauss_rows(rng, 3000, 8)
    far = gauss_rows(rng, 3000, 8, offset=1e9)
    queries = gauss_rows(rng, 100, 8)
    both = hnsw(tamsel, near + far, "euclidean", ef_search=20)
    alone = hnsw(tamsel, near, "euclidean", ef_search=20)
    out = [
        (
            "two 8-d groups 1e9 apart, ef_search 20 (the group alone beside)",
            recall(tamsel, both, near + far, queries),
            recall(tamsel, alone, near, queries),
        )
    ]
    spread = gauss_rows(rng, 3000, 8)
    tight = gauss_rows(rng, 200, 8, scale=1e-9)
    queries = gauss_rows(rng, 100, 8, scale=1e-9)
    rows = spread + tight
    random.Random(4).shuffle(rows)
    both = hnsw(tamsel, rows, "euclidean", ef_search=20)
    alone = hnsw(tamsel, tight, "euclidean", ef_search=20)
    out.append(
        (
            "200 at scale 1e-9 inside 3,000 at 1, ef_search 20 (the tight group alone beside)",
            recall(tamsel, both, rows, queries),
            recall(tamsel, alone, tight, queries),
        )
    )
    return out


def recall_default(tamsel, index, data, queries, metric="euclidean"):
    return recall(tamsel, index, data, queries, FLAT[metric])


class Stop(Exception):
    pass


def interrupted(tamsel):
    rng = random.Random(5)

    def unit(row):
        norm = math.sqrt(sum(x * x for x in row))
        return [x / norm for x in row]

    dim = 16
    first = [unit(r) for r in gauss_rows(rng, 20000, dim)]
    second = [[x + 1e12 for x in r] for r in first]
    data = first + second
    metadata = [[("tag", i)] for i in range(len(data))]
    index = tamsel.PyHNSW(dim, metric="euclidean", schema=["tag"])

    def stop(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, stop)
    signal.setitimer(signal.ITIMER_REAL, 0.5)
    try:
        index.create(data, metadata)
    except Stop:
        pass
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    stored = 0
    low, high = 0, len(data)  # the rows before `low` are stored, from `high` on none
    while low < high:
        mid = (low + high) // 2
        if index.search(data[mid], 1, filter=("tag", mid)):
            low = mid + 1
        else:
            high = mid
    stored = low
    kept = data[:stored]
    queries = [unit(r) for r in gauss_rows(rng, 100, dim)]
    fresh = hnsw(tamsel, kept, "euclidean")
    return [
        (
            "create stopped after %d of 40,000 rows (unit, then +1e12) (a fresh index of them beside)" % stored,
            recall_default(tamsel, index, kept, queries),
            recall_default(tamsel, fresh, kept, queries),
        )
    ]


def nan_crowd(tamsel):
    out = []
    for metric in ("euclidean", "angular"):
        numbers = found = 0
        for seed in range(6):
            rng = random.Random(100 + seed)
            numeric = gauss_rows(rng, 20, 8)
            with_nan = gauss_rows(rng, 2000, 8)
            for row in with_nan:
                row[rng.randrange(8)] = float("nan")
            rows = numeric + with_nan
            rng.shuffle(rows)
            index = hnsw(tamsel, rows, metric, ef_construction=32, ef_search=10)
            for q in numeric:
                results = index.search(q, K)
                numbers += sum(1 for d, _ in results if not math.isnan(d))
                found += K
        out.append(("20 numeric among 2,000 with a NaN, %s: numbers among the results" % metric, numbers / found, None))
    return out


def rays(tamsel):
    hits = searches = 0
    for seed in range(4):
        rng = random.Random(7 + seed)
        d = [rng.gauss(0.0, 1.0) for _ in range(16)]
        data = [[t * x for x in d] for t in (rng.uniform(0.5, 2.0) for _ in range(3000))]
        data += [[-t * x for x in d] for t in (rng.uniform(0.5, 2.0) for _ in range(3000))]
        if seed % 2:
            rng.shuffle(data)
        # Every vector of the ray opposite the query ties as least similar:
        # a search counts when its whole answer lies on that ray.
        index = hnsw(tamsel, data, "angular", ef_construction=64, ef_search=10)
        for q in data[:50]:
            side = sum(a * b for a, b in zip(q, d))
            results = index.search(q, K)
            hits += len(results) == K and all(side * sum(a * b for a, b in zip(v, d)) < 0 for _, v in results)
            searches += 1
    return [("two opposite 16-d rays, angular, ef_search 10: searches on the far ray", hits / searches, None)]


def wide(tamsel):
    rng = random.Random(8)
    data = gauss_rows(rng, 3000, 64, offset=1.0)
    queries = gauss_rows(rng, 100, 64, offset=1.0)
    out = []
    for metric in ("angular", "inner_product"):
        index = hnsw(tamsel, data, metric, m=128)
        plain = hnsw(tamsel, data, metric)
        out.append(
            (
                "64-d cone + 1, %s, m 128, q (m 16 beside)" % metric,
                recall(tamsel, index, data, queries, FLAT[metric]),
                recall(tamsel, plain, data, queries, FLAT[metric]),
            )
        )
    return out


CASES = (copies, filtered_cone, groups, interrupted, nan_crowd, rays, wide)


def fmt(value):
    return "" if value is None else ("%d" % value if isinstance(value, int) else "%.3f" % value)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("builds", nargs="*", help="directories holding a built tamsel*.so")
    parser.add_argument("--only", help="the cases to run, by function name, comma-separated")
    args = parser.parse_args(argv)
    if args.builds:
        modules = [(os.path.basename(os.path.normpath(b)), load(b)) for b in args.builds]
    else:
        import tamsel

        modules = [("tamsel", tamsel)]
    cases = [c for c in CASES if not args.only or c.__name__ in args.only.split(",")]
    print("| case | " + " | ".join("%s | beside" % name for name, _ in modules) + " |")
    print("|---|" + "---|---|" * len(modules))
    for case in cases:
        rows = [case(module) for _, module in modules]
        for parts in zip(*rows):
            cells = " | ".join("%s | %s" % (fmt(value), fmt(beside)) for _, value, beside in parts)
            print("| %s | %s |" % (parts[0][0], cells), flush=True)


if __name__ == "__main__":
    main()
