"""tamsel quickstart: an exact and an approximate index over the same vectors.

Run after `pip install .`:

    python examples/quickstart.py            # 5000 vectors of 32 dimensions
    python examples/quickstart.py --n 10000 --dim 32

Needs nothing but tamsel and the standard library, and runs under CPython and
PyPy alike. The vectors come from a fixed seed, so every run indexes the same
data; HNSW draws its node levels from its own random source, so its recall
can vary slightly from run to run.
"""

import argparse
import platform
import random
import time
from typing import Any, Callable, TypeVar

from tamsel import PyFlat, PyHNSW

COLORS = ["red", "green", "blue", "yellow"]

T = TypeVar("T")


def timed(fn: Callable[..., T], *args: Any, **kwargs: Any) -> tuple[T, float]:
    start = time.perf_counter()
    result = fn(*args, **kwargs)
    return result, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--n", type=int, default=5000, help="vectors to index")
    parser.add_argument("--dim", type=int, default=32, help="components per vector")
    parser.add_argument("--queries", type=int, default=200, help="queries to run")
    parser.add_argument("--k", type=int, default=10, help="neighbours per query")
    parser.add_argument("--ef-construction", type=int, default=100)
    parser.add_argument("--ef-search", type=int, default=64)
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args()

    rng = random.Random(args.seed)
    vectors = [[rng.gauss(0.0, 1.0) for _ in range(args.dim)] for _ in range(args.n)]
    colors = [rng.choice(COLORS) for _ in range(args.n)]
    queries = [[rng.gauss(0.0, 1.0) for _ in range(args.dim)] for _ in range(args.queries)]
    k = args.k

    print(f"tamsel quickstart on {platform.python_implementation()} {platform.python_version()}")
    print(f"{args.n} vectors, dim {args.dim}, {args.queries} queries, k={k}")
    print()

    # --- exact index ---------------------------------------------------------
    # No metric means Euclidean distance. Ids are insertion order, from 0.
    flat = PyFlat(args.dim)
    _, t_flat_build = timed(flat.create, vectors)

    # --- approximate index with one metadata attribute -----------------------
    # PyHNSW requires a metric ("euclidean", "angular" or "inner_product").
    hnsw = PyHNSW(
        args.dim,
        ef_construction=args.ef_construction,
        ef_search=args.ef_search,
        metric="euclidean",
        schema=["color"],
    )
    metadata = [[("color", c)] for c in colors]
    _, t_hnsw_build = timed(hnsw.create, vectors, metadata)

    print(f"build  PyFlat  {t_flat_build * 1e3:9.1f} ms")
    print(f"build  PyHNSW  {t_hnsw_build * 1e3:9.1f} ms   (ef_construction={args.ef_construction})")
    print()

    # PyFlat.search returns (id, distance); PyHNSW.search returns
    # (distance, copy of the vector). Map vectors back to ids to compare.
    id_of = {tuple(v): i for i, v in enumerate(vectors)}

    q = queries[0]
    print("first query, PyFlat (id, distance):")
    for vid, dist in flat.search(q, k=3):
        print(f"  id {vid:5d}  distance {dist:.4f}  color {colors[vid]}")
    print("first query, PyHNSW (distance, vector) -> id:")
    hits = hnsw.search(q, k=3)
    for dist, vec in hits:
        vid = id_of[tuple(vec)]
        print(f"  id {vid:5d}  distance {dist:.4f}  color {colors[vid]}")
    # Filtered to a color that the nearest vector lacks, so that the answer differs.
    nearest_color = colors[id_of[tuple(hits[0][1])]]
    color = next(c for c in COLORS if c != nearest_color)
    print(f"first query, PyHNSW filtered to color {color!r}:")
    for dist, vec in hnsw.search(q, k=3, filter=("color", color)):
        vid = id_of[tuple(vec)]
        print(f"  id {vid:5d}  distance {dist:.4f}  color {colors[vid]}")
    print()

    # --- recall@k of HNSW against the exact answers --------------------------
    # Only the searches are timed; mapping vectors back to ids comes after.
    flat_hits, t_flat = timed(lambda: [flat.search(q, k=k) for q in queries])
    hnsw_hits, t_hnsw = timed(lambda: [hnsw.search(q, k=k) for q in queries])
    exact = [[i for i, _ in hits] for hits in flat_hits]
    approx = [[id_of[tuple(v)] for _, v in hits] for hits in hnsw_hits]
    recall = sum(len(set(a) & set(e)) for a, e in zip(approx, exact)) / (k * len(queries))

    # Filtered: each query asks for one color. The exact answer comes from one
    # PyFlat per color, whose local ids map back to the global ids.
    members = {c: [i for i, col in enumerate(colors) if col == c] for c in COLORS}
    flat_by_color: dict[str, PyFlat] = {}
    for c, ids in members.items():
        flat_by_color[c] = PyFlat(args.dim)
        flat_by_color[c].create([vectors[i] for i in ids])
    wanted = [COLORS[j % len(COLORS)] for j in range(len(queries))]
    exact_f = [[members[c][i] for i, _ in flat_by_color[c].search(q, k=k)] for q, c in zip(queries, wanted)]
    hnsw_hits_f, t_hnsw_f = timed(lambda: [hnsw.search(q, k=k, filter=("color", c)) for q, c in zip(queries, wanted)])
    approx_f = [[id_of[tuple(v)] for _, v in hits] for hits in hnsw_hits_f]
    recall_f = sum(len(set(a) & set(e)) for a, e in zip(approx_f, exact_f)) / (k * len(queries))
    wrong_color = sum(colors[i] != c for ids, c in zip(approx_f, wanted) for i in ids)

    def per_query(seconds: float) -> str:
        return f"{seconds / len(queries) * 1e3:7.3f} ms/query  {len(queries) / seconds:9.0f} queries/s"

    print(f"search PyFlat           {per_query(t_flat)}")
    print(f"search PyHNSW           {per_query(t_hnsw)}   recall@{k} {recall:.3f}  (ef_search={args.ef_search})")
    print(
        f"search PyHNSW filtered  {per_query(t_hnsw_f)}   recall@{k} {recall_f:.3f}"
        f"  results of another color: {wrong_color}"
    )


if __name__ == "__main__":
    main()
