#!/usr/bin/env python3
"""How PyHNSW's costs grow with the number of vectors, beside hnswlib.

    python bench/scaling.py                      # small: n = 2,000 and 10,000, 128-d mixture (CI-sized)
    python bench/scaling.py --full               # n = 10,000 to 1,000,000, 128-d and 384-d (hours)
    python bench/scaling.py --full --dims 384 --sizes 1000000 --metrics angular
    python bench/scaling.py --results FILE --plot docs/scaling.png --report   # tables and plot again
    python bench/scaling.py --chunked 100000 --chunk 1000 [--pypy pypy3] [--array]
                                                 # one create against the same rows in chunks

Each configuration (library, dimension, n, metric) runs in a fresh
interpreter, one build: build CPU seconds, resident size growth across the
build (after malloc_trim), queries per second and recall@10 of 1,000
held-out queries, one per call, at ef_search 50 (PyHNSW's default; hnswlib
set_ef(50)), m 16, ef_construction 200, one thread. Under "angular" both
questions are asked: search(q), the least similar first, and search(-q), the
most similar first (hnswlib's cosine space ranks the most similar first, so
it is asked -q and q). Exact answers come from numpy in float64, chunked
(run.exact_knn). The 128-d data is the suite's mixture; at 384-d the real
sentence embeddings (bench/embed.py) as far as they go (n <= 100,000), the
384-d mixture beyond. Results are appended to --results (JSON lines), and a
configuration already there is not run again, so a long run can be resumed.
See docs/scaling.md.
"""

import os

for _name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "NUMEXPR_NUM_THREADS"):
    os.environ[_name] = "1"

import argparse  # noqa: E402 (the thread counts are set before numpy is imported)
import json  # noqa: E402
import math  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402

import common  # noqa: E402
from common import EF_CONSTRUCTION, K, M, log  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
EF_SEARCH = 50  # PyHNSW's default
LAYERS = 5  # PyHNSW's default
REAL_LIMIT = 100000  # the real set holds 116,033 rows: 1,000 queries and at most this many indexed
SMALL_SIZES = (2000, 10000)
FULL_SIZES = (10000, 100000, 300000, 1000000)


# ---------------------------------------------------------------------------
# Data and exact answers


def source_of(dim, n):
    return "real" if dim == 384 and n <= REAL_LIMIT else "mixture"


def dataset(dim, n, nq, seed):
    import run

    if source_of(dim, n) == "real":
        return run.real_set(seed, nq, limit=n)
    return run.synthetic(n, dim, nq, seed)


def questions(metric):
    """The questions asked of an index: "q" (search(q)) and, under a
    similarity, "-q" (search(-q), the most similar first)."""
    return ("q",) if metric == "euclidean" else ("q", "-q")


def exact_path(folder, dim, n, nq, seed, metric, question):
    return os.path.join(folder, "exact-%d-%d-%d-%d-%s-%s.npy" % (dim, n, nq, seed, metric, question.replace("-", "m")))


def make_exact(folder, dim, n, nq, seed, metrics):
    """The exact answers of every question under `metrics`, cached in `folder`."""
    import numpy as np
    import run

    wanted = [(m, q) for m in metrics for q in questions(m)]
    missing = [(m, q) for m, q in wanted if not os.path.exists(exact_path(folder, dim, n, nq, seed, m, q))]
    if not missing:
        return
    data, queries = dataset(dim, n, nq, seed)
    for metric, question in missing:
        started = time.time()
        asked = queries if question == "q" else -queries
        ids = run.exact_knn(data, asked, metric=metric, chunk=max(10, min(200, 20000000 // n)))
        np.save(exact_path(folder, dim, n, nq, seed, metric, question), ids)
        log("exact %d-d n=%d %s %s: %.0fs" % (dim, n, metric, question, time.time() - started))


# ---------------------------------------------------------------------------
# One configuration, in its own interpreter


def probe(lib, dim, n, nq, seed, metric, folder, rounds, attributes=0):
    import numpy as np
    import run

    data, queries = dataset(dim, n, nq, seed)
    wanted = {q: run.keys_of(data, np.load(exact_path(folder, dim, n, nq, seed, metric, q))) for q in questions(metric)}
    if lib == "tamsel":
        import tamsel

        schema = ["a%d" % j for j in range(attributes)] or None
        index = tamsel.PyHNSW(dim, m=M, ef_construction=EF_CONSTRUCTION, metric=metric, schema=schema)
        payload = 8 * dim
        if schema:
            # Integer values, ten per attribute, made before the resident size is read.
            records = [[(name, (i + j) % 10) for j, name in enumerate(schema)] for i in range(n)]
            build = lambda: index.create(data, records)
        else:
            build = lambda: index.create(data)
        asked = {"q": [queries[i] for i in range(nq)], "-q": [-queries[i] for i in range(nq)]}
        search = index.search
        fn = lambda q: search(q, K)
        recall = lambda results, keys: common.recall_of_copies(results, keys)
        version = tamsel.__file__
    else:
        import hnswlib

        x32 = np.ascontiguousarray(data, dtype=np.float32)
        q32 = np.ascontiguousarray(queries, dtype=np.float32)
        space = {"euclidean": "l2", "angular": "cosine"}[metric]
        index = hnswlib.Index(space=space, dim=dim)
        payload = 4 * dim

        def build():
            index.init_index(max_elements=n, M=M, ef_construction=EF_CONSTRUCTION, random_seed=100)
            index.set_num_threads(1)
            index.add_items(x32, np.arange(n), num_threads=1)
            index.set_ef(EF_SEARCH)

        # hnswlib ranks the most similar first: the least similar to q are
        # the most similar to -q.
        if metric == "euclidean":
            asked = {"q": [q32[i] for i in range(nq)]}
        else:
            minus = np.ascontiguousarray(-q32)
            asked = {"q": [minus[i] for i in range(nq)], "-q": [q32[i] for i in range(nq)]}
        knn = index.knn_query
        fn = lambda q: knn(q, K)
        recall = lambda results, keys: run.recall_of_rows([labels[0] for labels, _ in results], data, keys)
        version = run.dist_version("hnswlib", hnswlib)
    common.release_free_memory()
    before = common.rss_bytes()
    wall = time.perf_counter()
    build_s, _ = common.cpu_seconds(build)
    wall = time.perf_counter() - wall
    common.release_free_memory()
    after = common.rss_bytes()
    out = {
        "library": lib,
        "version": version,
        "interpreter": common.interpreter(),
        "dim": dim,
        "n": n,
        "source": source_of(dim, n),
        "metric": metric,
        "attributes": attributes,
        "queries": nq,
        "seed": seed,
        "build_s": build_s,
        "build_wall_s": wall,
        "rss_per_vector": (after - before) / float(n),
        "payload": payload,
        "search": {},
    }
    out["beyond_vector"] = out["rss_per_vector"] - payload
    for question in questions(metric):
        items = asked[question]
        common.warm(fn, items)
        best = None
        for rnd in range(rounds):
            seconds, results = common.timed(fn, items)
            if rnd == 0:
                hits = recall(results, wanted[question])
            del results
            best = seconds if best is None else min(best, seconds)
        out["search"][question] = {"recall": hits, "qps": nq / best, "us_per_query": 1e6 * best / nq}
    out["wall_per_cpu"] = common.load_factor()
    return out


def key_of(row):
    return (row["library"], row["dim"], row["n"], row["metric"], row.get("attributes", 0))


def load_results(path):
    rows = []
    if path and os.path.exists(path):
        with open(path) as f:
            rows = [json.loads(line) for line in f if line.strip()]
    return rows


def grid(args):
    rows = load_results(args.results)
    done = {key_of(r) for r in rows}
    folder = args.exact_dir
    os.makedirs(folder, exist_ok=True)
    for dim in args.dims:
        for n in args.sizes:
            todo = [
                (lib, metric)
                for metric in args.metrics
                for lib in args.libs
                if (lib, dim, n, metric, args.attributes) not in done
                and (lib != "hnswlib" or (metric in ("euclidean", "angular") and not args.attributes))
            ]
            if not todo:
                continue
            make_exact(folder, dim, n, args.queries, args.seed, sorted({m for _, m in todo}))
            for lib, metric in todo:
                cmd = [
                    sys.executable,
                    os.path.abspath(__file__),
                    "--probe",
                    lib,
                    "--dims",
                    str(dim),
                    "--sizes",
                    str(n),
                    "--metrics",
                    metric,
                    "--queries",
                    str(args.queries),
                    "--seed",
                    str(args.seed),
                    "--exact-dir",
                    folder,
                    "--rounds",
                    str(args.rounds),
                    "--attributes",
                    str(args.attributes),
                ]
                done_run = subprocess.run(cmd, stdout=subprocess.PIPE, universal_newlines=True)
                if done_run.returncode != 0:
                    log("%s %d-d n=%d %s: failed (exit %d)" % (lib, dim, n, metric, done_run.returncode))
                    continue
                row = json.loads(done_run.stdout.strip().splitlines()[-1])
                rows.append(row)
                if args.results:
                    with open(args.results, "a") as f:
                        f.write(json.dumps(row) + "\n")
                log(
                    "%s %d-d n=%d %s: build %.1fs, %.0f B/vector (%.0f beyond), %s"
                    % (
                        lib,
                        dim,
                        n,
                        metric,
                        row["build_s"],
                        row["rss_per_vector"],
                        row["beyond_vector"],
                        ", ".join(
                            "%s recall %.3f %.0f q/s" % (q, s["recall"], s["qps"]) for q, s in row["search"].items()
                        ),
                    )
                )
    return rows


# ---------------------------------------------------------------------------
# The memory of a PyHNSW index, from its layout


def expected_level(layers=LAYERS):
    """Mean level of a node: level i is drawn with weight e^-i, i < layers."""
    weights = [math.exp(-i) for i in range(layers)]
    return sum(i * w for i, w in enumerate(weights)) / sum(weights)


# The resident growth of a build that the per-vector parts leave over: 0.2 to
# 0.4 MB whatever n, from 2,000 to 1,000,000 vectors (docs/scaling.md), so it
# shows only in small indexes.
INDEX_FIXED = 256 * 1024

# Bytes of a walk row before its elements, and per element, by precision
# (rows/walk_code.hpp): scale, lift and sum of squares as float32, then a code
# per component; a row of doubles keeps a float64 scale and lift.
WALK_ROWS = {"bytes": (12, 1), "floats": (12, 4), "doubles": (16, 8)}


def memory_terms(n, dim, metric, m=M, layers=LAYERS, attributes=0, precision="bytes"):
    """Bytes per vector of one PyHNSW built by one create of n distinct
    vectors, by part (src/core): every list is a count and room for its ids,
    32-bit each."""
    m = min(max(m, 2), 128)
    slots = 16
    while slots < 2 * n:
        slots *= 2
    head, element = WALK_ROWS[precision]
    terms = {
        "vector": 8 * dim,  # float64 values
        "walk copy": head + element * dim,
        "layer-0 lists": 4 * (1 + 2 * m),
        "upper lists": 4 * (1 + m) * expected_level(layers),
        "node tables": 2 + 4 + 4 + 2,  # level, first upper list, older holders, visited mark
        "copy table": 4 * slots / float(n) + 1 / 8.0,  # open addressing over 2n slots or more, one bit per node
    }
    if metric in ("angular", "inner_product"):
        terms["far lists"] = 4 * 8
    if metric == "inner_product":
        terms["product lists"] = 4 * 8 + 8  # eight ids and the weakest member's rank
    if attributes:
        # per attribute: holder list (count + m ids), the value (40-byte
        # variant; a str past 15 bytes also allocates its text), its place in
        # the value's id list; per vector: the record's position
        terms["attributes"] = attributes * (4 * (1 + m) + 40 + 4) + 4
    terms["index, fixed"] = INDEX_FIXED / float(n)
    return terms


def predicted(n, dim, metric, **kw):
    return sum(memory_terms(n, dim, metric, **kw).values())


# ---------------------------------------------------------------------------
# Chunked builds: one create against the same rows in chunks


def reset_peak():
    """Starts the peak resident size (VmHWM) afresh, where Linux allows it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_bytes():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def chunked_probe(n, dim, chunk, seed, nq, how, array=False):
    import tamsel

    rows = common.mixture_lists(n + nq, dim, seed)
    data, queries = rows[:n], rows[n:]
    if array:
        import numpy as np

        data = np.array(data, dtype=np.float64)
    flat = tamsel.PyFlat(dim)
    flat.create(data)
    wanted = [[common.vector_key(data[i]) for i, _ in flat.search(q, K)] for q in queries]
    del flat
    index = tamsel.PyHNSW(dim, m=M, ef_construction=EF_CONSTRUCTION, metric="euclidean")
    common.release_free_memory()
    before = common.rss_bytes()
    peak_known = reset_peak()

    def build():
        if how == "one":
            index.create(data)
        else:
            for first in range(0, n, chunk):
                index.create(data[first : first + chunk])

    seconds, _ = common.cpu_seconds(build)
    peak = peak_bytes() if peak_known else None
    common.release_free_memory()
    after = common.rss_bytes()
    common.warm(lambda q: index.search(q, K), queries)
    found_s, found = common.timed(lambda q: index.search(q, K), queries)
    return {
        "interpreter": common.interpreter(),
        "how": how,
        "n": n,
        "dim": dim,
        "chunk": chunk,
        "input": "array" if array else "lists",
        "build_s": seconds,
        "rss_per_vector": (after - before) / float(n),
        # The most resident during the build: the rows converted for a
        # create, and a buffer and the larger one it grows into, side by side.
        "peak_per_vector": (peak - before) / float(n) if peak else None,
        "recall": common.recall_of_copies(found, wanted),
        "qps": nq / found_s,
        "wall_per_cpu": common.load_factor(),
    }


def chunked(args):
    interpreters = [sys.executable] + ([args.pypy] if args.pypy else [])
    rows = []
    for rnd in range(args.rounds):
        for exe in interpreters:
            for how in ("one", "chunks"):
                cmd = [
                    exe,
                    os.path.abspath(__file__),
                    "--chunked-probe",
                    how,
                    "--chunked",
                    str(args.chunked),
                    "--chunk",
                    str(args.chunk),
                    "--dims",
                    str(args.dims[0]),
                    "--seed",
                    str(args.seed),
                    "--queries",
                    str(args.queries),
                ] + (["--array"] if args.array else [])
                done = subprocess.run(cmd, stdout=subprocess.PIPE, universal_newlines=True)
                if done.returncode != 0:
                    log("%s %s: failed" % (exe, how))
                    continue
                row = json.loads(done.stdout.strip().splitlines()[-1])
                row["round"] = rnd
                rows.append(row)
                log(
                    "%s, %s: build %.1fs, recall %.3f, %.0f B/vector"
                    % (row["interpreter"], how, row["build_s"], row["recall"], row["rss_per_vector"])
                )
    if args.results:
        with open(args.results, "a") as f:
            for row in rows:
                f.write(json.dumps(row) + "\n")
    print(chunked_table(rows))
    return rows


def chunked_table(rows):
    """One create beside the creates in chunks that followed it under the
    same interpreter, pair by pair in the order they ran."""
    lines = [
        "| interpreter, rows from | rows | pair | one create: build s / recall@10 / B/vector (peak) "
        "| in chunks: build s / recall@10 / B/vector (peak) | chunks ÷ one |",
        "|---|---|---|---|---|---|",
    ]
    waiting, count = {}, {}
    for r in rows:
        key = (r["interpreter"], r.get("input", "lists"), r["n"], r["chunk"])
        if r["how"] == "one":
            waiting[key] = r
            continue
        one = waiting.pop(key, None)
        if one is None:
            continue
        count[key] = count.get(key, 0) + 1
        cells = [
            "%.1f / %.3f / %.0f (%s)"
            % (
                x["build_s"],
                x["recall"],
                x["rss_per_vector"],
                "%.0f" % x["peak_per_vector"] if x.get("peak_per_vector") else "-",
            )
            for x in (one, r)
        ]
        lines.append(
            "| %s, %s | %s in %s chunks | %d | %s | %s | %.3f× |"
            % (
                r["interpreter"],
                r.get("input", "lists"),
                fmt_n(r["n"]),
                fmt_n(r["n"] // r["chunk"]),
                count[key],
                cells[0],
                cells[1],
                r["build_s"] / one["build_s"],
            )
        )
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# Tables, fit, plot


def fmt_n(n):
    return "{:,}".format(n)


def growth_table(rows):
    lines = [
        "| dim | n | data | metric | library | build s | B/vector | beyond the vector | search(q): recall / q/s | search(-q): recall / q/s | wall/CPU |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in sorted(rows, key=lambda r: (r["dim"], r["n"], r["metric"], r["library"] != "tamsel")):
        cells = []
        for q in ("q", "-q"):
            s = r["search"].get(q)
            cells.append("%.3f / %s" % (s["recall"], "{:,.0f}".format(s["qps"])) if s else "")
        lines.append(
            "| %d | %s | %s | %s | %s | %.1f | %.0f | %.0f | %s | %s | %.1f |"
            % (
                r["dim"],
                fmt_n(r["n"]),
                r["source"],
                r["metric"],
                r["library"],
                r["build_s"],
                r["rss_per_vector"],
                r["beyond_vector"],
                cells[0],
                cells[1],
                r.get("wall_per_cpu") or float("nan"),
            )
        )
    return "\n".join(lines)


def series(rows):
    out = {}
    for r in rows:
        out.setdefault((r["library"], r["metric"], r["dim"]), []).append(r)
    for key in out:
        out[key].sort(key=lambda r: r["n"])
    return out


def least_squares(xs, ys):
    count = float(len(xs))
    mx, my = sum(xs) / count, sum(ys) / count
    sxx = sum((x - mx) ** 2 for x in xs)
    slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx if sxx > 0 else 0.0
    return my - slope * mx, slope


def fit_table(rows):
    """Build time against n log n (the constant t / (n log2 n), in
    microseconds, per size, and the log-log slope of t between sizes) and
    search time against log n (a + b log2 n, least squares, and each size's
    departure from it)."""
    lines = [
        "| library | metric | dim | build: µs per n·log2 n, by n | build: log-log slope between sizes | search(q): µs per query, by n | fit a + b·log2 n (µs) | departure from the fit, by n |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for (lib, metric, dim), rs in sorted(series(rows).items(), key=lambda kv: (kv[0][2], kv[0][1], kv[0][0])):
        ns = [r["n"] for r in rs]
        consts = ["%.3f" % (1e6 * r["build_s"] / (r["n"] * math.log2(r["n"]))) for r in rs]
        slopes = [
            "%.2f" % (math.log(b["build_s"] / a["build_s"]) / math.log(b["n"] / float(a["n"])))
            for a, b in zip(rs, rs[1:])
        ]
        us = [r["search"]["q"]["us_per_query"] for r in rs]
        if len(rs) >= 2:
            a, b = least_squares([math.log2(n) for n in ns], us)
            dep = ["%+.0f%%" % (100 * (u / (a + b * math.log2(n)) - 1)) for n, u in zip(ns, us)]
            fit = "%.0f + %.1f·log2 n" % (a, b)
        else:
            dep, fit = [], ""
        lines.append(
            "| %s | %s | %d | %s | %s | %s | %s | %s |"
            % (
                lib,
                metric,
                dim,
                " / ".join(consts),
                " / ".join(slopes),
                " / ".join("%.0f" % u for u in us),
                fit,
                " / ".join(dep),
            )
        )
    return "\n".join(lines)


def memory_table(rows):
    lines = [
        "| dim | n | metric | measured B/vector | formula | error | measured beyond the vector | formula | error |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for r in sorted(rows, key=lambda r: (r["dim"], r["metric"], r["n"])):
        if r["library"] != "tamsel":
            continue
        p = predicted(r["n"], r["dim"], r["metric"], attributes=r.get("attributes", 0))
        label = r["metric"] + (", %d attributes" % r["attributes"] if r.get("attributes") else "")
        lines.append(
            "| %d | %s | %s | %.0f | %.0f | %+.1f%% | %.0f | %.0f | %+.1f%% |"
            % (
                r["dim"],
                fmt_n(r["n"]),
                label,
                r["rss_per_vector"],
                p,
                100 * (p / r["rss_per_vector"] - 1),
                r["beyond_vector"],
                p - r["payload"],
                100 * ((p - r["payload"]) / r["beyond_vector"] - 1),
            )
        )
    return "\n".join(lines)


def plot(rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    dims = sorted({r["dim"] for r in rows})
    # One colour per library and metric in both panels; search(-q) keeps it, with squares.
    colours = {
        key: "C%d" % i for i, key in enumerate(sorted({(r["library"], r["metric"]) for r in rows}, reverse=True))
    }
    fig, axes = plt.subplots(len(dims), 2, figsize=(11, 4.2 * len(dims)), squeeze=False)
    for row_axes, dim in zip(axes, dims):
        for (lib, metric, d), rs in sorted(series(rows).items()):
            if d != dim:
                continue
            ns = [r["n"] for r in rs]
            style = dict(marker="o", linestyle="-" if lib == "tamsel" else "--", color=colours[(lib, metric)])
            label = "%s, %s" % (lib, metric)
            row_axes[0].plot(ns, [r["build_s"] for r in rs], label=label, **style)
            row_axes[1].plot(ns, [r["search"]["q"]["us_per_query"] for r in rs], label=label + ", search(q)", **style)
            if "-q" in rs[0]["search"]:
                row_axes[1].plot(
                    ns,
                    [r["search"]["-q"]["us_per_query"] for r in rs],
                    label=label + ", search(-q)",
                    marker="s",
                    linestyle=style["linestyle"],
                    color=style["color"],
                    alpha=0.6,
                )
        # A reference line through the first tamsel point: n log n for the
        # build, log n for the search.
        first = [r for r in rows if r["dim"] == dim and r["library"] == "tamsel"]
        if first:
            r0 = min(first, key=lambda r: (r["n"], r["metric"]))
            ns = sorted({r["n"] for r in rows if r["dim"] == dim})
            n0 = r0["n"]
            row_axes[0].plot(
                ns,
                [r0["build_s"] * n * math.log(n) / (n0 * math.log(n0)) for n in ns],
                color="grey",
                linestyle=":",
                label="∝ n log n",
            )
            u0 = r0["search"]["q"]["us_per_query"]
            row_axes[1].plot(
                ns, [u0 * math.log(n) / math.log(n0) for n in ns], color="grey", linestyle=":", label="∝ log n"
            )
        for ax, title in zip(row_axes, ("build, CPU seconds", "search, µs per query (k = 10, ef_search 50)")):
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_xlabel("n (vectors)")
            sources = sorted({(r["n"], r["source"]) for r in rows if r["dim"] == dim})
            # Where the data changes between two sizes, the curves cross from one set to another.
            last = [(a, n) for (n, a), (_, b) in zip(sources, sources[1:]) if a != b]
            note = "\n(%s set to n = %s, %s beyond)" % (last[0][0], fmt_n(last[0][1]), sources[-1][1]) if last else ""
            ax.set_title("%d-d: %s%s" % (dim, title, note), fontsize=10)
            ax.grid(True, which="both", alpha=0.3)
            ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    log("plot written to %s" % path)


def report(rows, plot_path=None):
    builds = [r for r in rows if "how" in r]
    rows = [r for r in rows if "library" in r]
    # The growth, the fit and the plot follow the indexes without metadata
    # under the two metrics that hnswlib has too; the memory table takes every build.
    plain = [r for r in rows if not r.get("attributes") and r["metric"] in ("euclidean", "angular")]
    print("## Growth\n\n" + growth_table(plain) + "\n")
    print("## Fit\n\n" + fit_table(plain) + "\n")
    print("## Memory: measured against the formula\n\n" + memory_table(rows) + "\n")
    if builds:
        print("## One create against creates in chunks\n\n" + chunked_table(builds) + "\n")
    if plot_path:
        plot(plain, plot_path)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--full", action="store_true", help="n = 10,000 to 1,000,000 at 128-d and 384-d")
    p.add_argument("--sizes", help="comma-separated n (default 2,000 and 10,000; --full: 10k, 100k, 300k, 1M)")
    p.add_argument("--dims", help="comma-separated dimensions (default 128; --full: 128,384)")
    p.add_argument("--metrics", default="euclidean,angular")
    p.add_argument("--libs", default="tamsel,hnswlib")
    p.add_argument("--queries", type=int, default=None, help="held-out queries (default 1,000; 200 when small)")
    p.add_argument("--attributes", type=int, default=0, help="PyHNSW with a schema of this many attributes")
    p.add_argument("--rounds", type=int, default=3, help="search passes, the fastest counts")
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--results", help="JSON lines: read, skipped when present, appended to")
    p.add_argument("--exact-dir", default=os.path.join(tempfile.gettempdir(), "tamsel-scaling"))
    p.add_argument("--plot", help="write the log-log plot here (matplotlib)")
    p.add_argument("--report", action="store_true", help="only print the tables of --results (and --plot)")
    p.add_argument("--chunked", type=int, help="compare one create of this many rows with creates in chunks")
    p.add_argument("--chunk", type=int, default=1000, help="rows per chunk for --chunked")
    p.add_argument("--pypy", help="--chunked also under this interpreter")
    p.add_argument("--array", action="store_true", help="--chunked from a float64 numpy array, not lists")
    p.add_argument("--probe", help=argparse.SUPPRESS)
    p.add_argument("--chunked-probe", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    small = not args.full
    args.sizes = [int(s) for s in args.sizes.split(",")] if args.sizes else list(SMALL_SIZES if small else FULL_SIZES)
    args.dims = [int(s) for s in args.dims.split(",")] if args.dims else ([128] if small else [128, 384])
    args.metrics = args.metrics.split(",")
    args.libs = args.libs.split(",")
    if args.queries is None:
        args.queries = 200 if small and not args.chunked else 1000
    if args.chunked_probe:
        print(
            json.dumps(
                chunked_probe(
                    args.chunked, args.dims[0], args.chunk, args.seed, args.queries, args.chunked_probe, args.array
                )
            )
        )
        return 0
    if args.probe:
        out = probe(
            args.probe,
            args.dims[0],
            args.sizes[0],
            args.queries,
            args.seed,
            args.metrics[0],
            args.exact_dir,
            args.rounds,
            args.attributes,
        )
        print(json.dumps(out))
        return 0
    if args.chunked:
        chunked(args)
        return 0
    if args.report:
        report(load_results(args.results), args.plot)
        return 0
    if "hnswlib" in args.libs:
        try:
            import hnswlib  # noqa: F401
        except ImportError:
            log("hnswlib: skipped, not importable")
            args.libs = [lib for lib in args.libs if lib != "hnswlib"]
    rows = grid(args)
    report(rows, args.plot)
    return 0


if __name__ == "__main__":
    sys.exit(main())
