#!/usr/bin/env python3
"""How well PyHNSW finds the exact answer on data of many shapes, under each metric.

    python bench/quality.py                 # the tables (Markdown), hnswlib beside tamsel
    python bench/quality.py --json FILE     # also the figures as JSON
    pypy3 bench/quality.py                  # tamsel alone (no numpy, hence no hnswlib)

For every data family and metric: recall@10 of PyHNSW against PyFlat's exact
answer with the same score ("angular" against PyFlat's "cosine",
"inner_product" against "inner_product", "euclidean" against the default),
so what is measured is the contract: the k smallest scores, in ascending
order. Recall is counted on vector values (a returned vector counts when its
values are among those of the exact answer, as often as they occur there), so
exact copies in the data count alike for every library.

Then the exhaustive search: with k = n and ef_search = 4n a search should
return every stored vector; the table gives how many it never returns.

Last, data in a cone at 32 to 384 dimensions (offsets, and positive
features) under the two similarities, at the default ef_search: the least
similar (the contract's query q) and the most similar (the negated query
-q), beside the nearest under "euclidean" on the same data, for how hard
the data itself makes any graph's walk.

hnswlib (when importable) is built on the same data as float32, in the space
that matches the metric (l2, cosine, ip), and queried with -q for the two
similarities: its spaces rank the most similar first, and the least similar
to q are the most similar to -q.

Data is drawn with `random` from fixed seeds, so every run and both
interpreters see the same numbers.
"""

import argparse
import json
import math
import os
import random
import sys
from array import array

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common

METRICS = (("euclidean", None, "l2"), ("angular", "cosine", "cosine"), ("inner_product", "inner_product", "ip"))
M = 16
EF_CONSTRUCTION = 200
K = 10


# ---------------------------------------------------------------------------
# Data families: each a function (rng, count, dim) -> list of rows. Queries
# are drawn from the same family as the data, after it.


def gaussian(rng, count, dim):
    return [[rng.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(count)]


def shifted(offset):
    def family(rng, count, dim):
        return [[offset + x for x in row] for row in gaussian(rng, count, dim)]

    return family


def scaled(factor):
    def family(rng, count, dim):
        return [[factor * x for x in row] for row in gaussian(rng, count, dim)]

    return family


def anisotropic(rng, count, dim):
    """Component j has the scale 10^(4 j / (dim - 1)): from 1 to 1e4."""
    scales = [10.0 ** (4.0 * j / max(1, dim - 1)) for j in range(dim)]
    return [[s * x for s, x in zip(scales, row)] for row in gaussian(rng, count, dim)]


def clustered(rng, count, dim):
    """The embedding-shaped Gaussian mixture of the speed benchmark."""
    return common.mixture_lists(count, dim, rng.randrange(1 << 30))


def norms_spread(rng, count, dim):
    """Directions uniform on the sphere, norms log-uniform over 1 to 100."""
    rows = []
    for row in gaussian(rng, count, dim):
        norm = math.sqrt(sum(x * x for x in row)) or 1.0
        length = 10.0 ** rng.uniform(0.0, 2.0)
        rows.append([length * x / norm for x in row])
    return rows


FAMILIES = [
    ("N(0, 1)", gaussian, None),
    ("N(0, 1) + 1e3", shifted(1e3), None),
    ("N(0, 1) + 1e6", shifted(1e6), None),
    ("N(0, 1) x 1e-20", scaled(1e-20), None),
    ("N(0, 1) x 1e20", scaled(1e20), None),
    ("component scales 1 to 1e4", anisotropic, None),
    ("clustered mixture", clustered, None),
    ("norms spread over 1 to 100", norms_spread, None),
    ("one of 500 distinct vectors (copies)", gaussian, 500),
    ("2-d N(0, 1)", gaussian, None),
    ("3-d N(0, 1)", gaussian, None),
]
FIXED_DIM = {"2-d N(0, 1)": 2, "3-d N(0, 1)": 3}


def squared(rng, count, dim):
    return [[rng.gauss(0.0, 1.0) ** 2 for _ in range(dim)] for _ in range(count)]


# Data in a cone (every vector shares a common component, as embeddings and
# positive features do), at realistic dimensions: the least similar lie on
# the far edge, and the negated query's own point lies far outside; lifted,
# the largest products of positive features lie on the far edge too.
CONES = (
    [("%d-d N(0, 1) + %g" % (dim, offset), shifted(offset), dim) for dim in (32, 128) for offset in (1, 10, 100, 1000)]
    + [("384-d N(0, 1) + 1", shifted(1.0), 384)]
    + [("%d-d N(0, 1) squared" % dim, squared, dim) for dim in (32, 128, 384)]
)

# The exhaustive searches at 1,000 vectors.
EXHAUSTIVE = [("2-d N(0, 1)", gaussian, 2), ("3-d N(0, 1)", gaussian, 3), ("8-d N(0, 1) + 1e3", shifted(1e3), 8)]


def draw(family, distinct, n, nq, dim, seed):
    rng = random.Random(seed)
    if distinct is None:
        rows = family(rng, n + nq, dim)
        return rows[:n], rows[n:]
    pool = family(rng, distinct, dim)
    data = [list(pool[rng.randrange(distinct)]) for _ in range(n)]
    return data, family(rng, nq, dim)


# ---------------------------------------------------------------------------


def key(values):
    return array("d", values).tobytes()


def value_recall(found_rows, exact_rows):
    """Hits of the found vectors among the exact ones, counted on values with
    their multiplicities, over the number of exact ones."""
    wanted = {}
    for row in exact_rows:
        wanted[key(row)] = wanted.get(key(row), 0) + 1
    hits = 0
    for row in found_rows:
        k = key(row)
        if wanted.get(k, 0) > 0:
            wanted[k] -= 1
            hits += 1
    return hits, len(exact_rows)


def exact_answers(tamsel, data, queries, flat_metric, k):
    flat = tamsel.PyFlat(len(data[0]), metric=flat_metric)
    flat.create(data)
    return [[data[i] for i, _ in flat.search(q, k)] for q in queries]


def tamsel_index(tamsel, data, metric, ef):
    index = tamsel.PyHNSW(len(data[0]), m=M, ef_construction=EF_CONSTRUCTION, ef_search=ef, metric=metric)
    index.create(data)
    return index


def tamsel_recall(tamsel, data, queries, exact, metric, ef):
    index = tamsel_index(tamsel, data, metric, ef)
    hits = total = 0
    for q, want in zip(queries, exact):
        h, t = value_recall([v for _, v in index.search(q, K)], want)
        hits += h
        total += t
    return hits / float(total)


def tamsel_missing(tamsel, data, query, metric):
    """Stored vectors (counted by value, with multiplicity) that one search with
    k = n and ef_search = 4n does not return."""
    n = len(data)
    index = tamsel_index(tamsel, data, metric, 4 * n)
    hits, total = value_recall([v for _, v in index.search(query, n)], data)
    return total - hits


class Hnswlib:
    def __init__(self):
        import hnswlib
        import numpy

        self.hnswlib, self.np = hnswlib, numpy

    def index(self, data, space, ef):
        np = self.np
        x = np.asarray(data, dtype=np.float32)
        index = self.hnswlib.Index(space=space, dim=x.shape[1])
        index.init_index(max_elements=len(x), M=M, ef_construction=EF_CONSTRUCTION, random_seed=100)
        index.set_num_threads(1)
        index.add_items(x, np.arange(len(x)), num_threads=1)
        index.set_ef(ef)
        return index

    def query(self, q, space):
        sign = 1.0 if space == "l2" else -1.0
        return self.np.asarray([sign * x for x in q], dtype=self.np.float32)

    def recall(self, data, queries, exact, space, ef):
        index = self.index(data, space, ef)
        hits = total = 0
        for q, want in zip(queries, exact):
            labels, _ = index.knn_query(self.query(q, space), K)
            h, t = value_recall([data[int(i)] for i in labels[0]], want)
            hits += h
            total += t
        return hits / float(total)

    def missing(self, data, query, space):
        n = len(data)
        index = self.index(data, space, 4 * n)
        q = self.query(query, space)
        # knn_query refuses a k that the search cannot fill; the most it fills
        # is found by bisection.
        low, high, labels = 0, n, []
        while low < high:
            k = (low + high + 1) // 2
            try:
                labels = index.knn_query(q, k)[0][0]
                low = k
            except RuntimeError:
                high = k - 1
        if len(labels) != low:
            labels = index.knn_query(q, low)[0][0] if low else []
        hits, total = value_recall([data[int(i)] for i in labels], data)
        return total - hits


def peer():
    try:
        return Hnswlib()
    except Exception as error:  # numpy or hnswlib missing (PyPy): tamsel alone
        common.log("hnswlib: skipped (%s: %s)" % (type(error).__name__, error))
        return None


def measure(args):
    import tamsel

    other = peer()
    out = {
        "n": args.n,
        "dim": args.dim,
        "queries": args.queries,
        "ef_search": args.ef,
        "k": K,
        "seed": args.seed,
        "interpreter": common.interpreter(),
        "families": [],
        "cone_n": args.cone_n,
        "cone_ef": args.cone_ef,
        "exhaustive": [],
        "peer": other is not None,
    }
    wanted = set(args.families.split(",")) if args.families else None
    for number, (name, family, distinct) in enumerate(FAMILIES):
        if wanted is not None and str(number) not in wanted and name not in wanted:
            continue
        dim = FIXED_DIM.get(name, args.dim)
        data, queries = draw(family, distinct, args.n, args.queries, dim, args.seed + number)
        row = {"family": name, "dim": dim, "recall": {}, "missing": {}}
        for metric, flat_metric, space in METRICS:
            exact = exact_answers(tamsel, data, queries, flat_metric, K)
            cell = {"tamsel": tamsel_recall(tamsel, data, queries, exact, metric, args.ef)}
            lost = {"tamsel": tamsel_missing(tamsel, data, queries[0], metric)}
            if other is not None:
                cell["hnswlib"] = other.recall(data, queries, exact, space, args.ef)
                lost["hnswlib"] = other.missing(data, queries[0], space)
            row["recall"][metric] = cell
            row["missing"][metric] = lost
        out["families"].append(row)
        common.log("%s: %s" % (name, ", ".join("%s %.3f" % (m, row["recall"][m]["tamsel"]) for m, _, _ in METRICS)))
    out["cones"] = [] if args.skip_cones else cone_rows(tamsel, other, args)
    if not args.skip_exhaustive:
        for number, (name, family, dim) in enumerate(EXHAUSTIVE):
            data, queries = draw(family, None, args.exhaustive_n, 1, dim, args.seed + 100 + number)
            row = {"family": name, "n": args.exhaustive_n, "missing": {}}
            for metric, _, space in METRICS:
                lost = {"tamsel": tamsel_missing(tamsel, data, queries[0], metric)}
                if other is not None:
                    lost["hnswlib"] = other.missing(data, queries[0], space)
                row["missing"][metric] = lost
            out["exhaustive"].append(row)
    return out


def cone_rows(tamsel, other, args):
    """recall@10 at the default ef_search of both questions a similarity
    search asks: the least similar (q) and the most similar (-q); and, for
    how hard the data itself is, the nearest under "euclidean"."""
    rows = []
    for number, (name, family, dim) in enumerate(CONES):
        data, queries = draw(family, None, args.cone_n, args.queries, dim, args.seed + 200 + number)
        row = {"family": name, "recall": {}}
        for metric, flat_metric, space in METRICS[1:] + METRICS[:1]:
            negated = [[-x for x in q] for q in queries]
            for label, asked in (("q", queries), ("-q", negated)) if flat_metric else (("q", queries),):
                exact = exact_answers(tamsel, data, asked, flat_metric, K)
                cell = {"tamsel": tamsel_recall(tamsel, data, asked, exact, metric, args.cone_ef)}
                if other is not None:
                    cell["hnswlib"] = other.recall(data, asked, exact, space, args.cone_ef)
                row["recall"]["%s %s" % (metric, label)] = cell
        rows.append(row)
        common.log(
            "%s: %s" % (row["family"], ", ".join("%s %.3f" % (k, v["tamsel"]) for k, v in row["recall"].items()))
        )
    return rows


def cell(values, fmt):
    if "hnswlib" in values:
        return (fmt + " / " + fmt) % (values["tamsel"], values["hnswlib"])
    return fmt % values["tamsel"]


def tables(out):
    from report import table

    who = "tamsel / hnswlib" if out["peer"] else "tamsel"
    metrics = [m for m, _, _ in METRICS]
    lines = [
        "# PyHNSW against the exact answer (%s)" % out["interpreter"],
        "",
        "n = %d (dim %d unless said), %d queries from the same family, m = %d, ef_construction = %d, "
        "ef_search = %d, k = %d, seed %d. Each cell: %s."
        % (out["n"], out["dim"], out["queries"], M, EF_CONSTRUCTION, out["ef_search"], K, out["seed"], who),
        "",
        "## recall@10 against PyFlat with the same score",
        "",
    ]
    rows = [[r["family"]] + [cell(r["recall"][m], "%.3f") for m in metrics] for r in out["families"]]
    lines.append(table(["data"] + metrics, rows))
    lines += ["", "## Vectors never returned by one search with k = n, ef_search = 4n (n = %d)" % out["n"], ""]
    rows = [[r["family"]] + [cell(r["missing"][m], "%d") for m in metrics] for r in out["families"]]
    lines.append(table(["data"] + metrics, rows))
    if out["exhaustive"]:
        lines += ["", "## The same at n = %d" % out["exhaustive"][0]["n"], ""]
        rows = [[r["family"]] + [cell(r["missing"][m], "%d") for m in metrics] for r in out["exhaustive"]]
        lines.append(table(["data"] + metrics, rows))
    if out["cones"]:
        asked = list(out["cones"][0]["recall"])
        lines += [
            "",
            "## Cones: recall@10 of the least similar (q) and the most similar (-q) at ef_search %d" % out["cone_ef"],
            "",
            "n = %d, %d queries from the same cone; hnswlib, which lists the most similar first, is asked -q "
            "and q." % (out["cone_n"], out["queries"]),
            "",
        ]
        rows = [[r["family"]] + [cell(r["recall"][a], "%.3f") for a in asked] for r in out["cones"]]
        lines.append(table(["data"] + asked, rows))
    return "\n".join(lines) + "\n"


def parse(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--n", type=int, default=2000, help="vectors per family (default 2000)")
    p.add_argument("--dim", type=int, default=8, help="dimension (default 8; the 2-d and 3-d families keep theirs)")
    p.add_argument("--queries", type=int, default=40, help="queries per family (default 40)")
    p.add_argument("--ef", type=int, default=100, help="ef_search of the recall table (default 100)")
    p.add_argument("--exhaustive-n", type=int, default=1000, help="vectors of the exhaustive cases (default 1000)")
    p.add_argument("--skip-exhaustive", action="store_true", help="leave the cases at --exhaustive-n out")
    p.add_argument("--cone-n", type=int, default=3000, help="vectors per cone (default 3000)")
    p.add_argument("--cone-ef", type=int, default=50, help="ef_search of the cones, PyHNSW's default (50)")
    p.add_argument("--skip-cones", action="store_true", help="leave the cones out")
    p.add_argument("--families", help="comma-separated family numbers (0..%d) or names" % (len(FAMILIES) - 1))
    p.add_argument("--seed", type=int, default=20240601)
    p.add_argument("--json", help="also write the figures to this file")
    return p.parse_args(argv)


def main(argv=None):
    args = parse(argv)
    out = measure(args)
    print(tables(out))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(out, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
