#!/usr/bin/env python3
"""Where a query's time goes when Python calls PyHNSW.search: the walk, the
exact rescore, the result lists and the interpreter around them.

    python bench/query_shares.py [--dims 128,384,768] [--n 50000] [--queries 5000]
    python bench/query_shares.py --perf-data q128.data q384.data   # the same shares of other recordings

The second form sorts recordings of bench/cpp/hnsw_vs_hnswlib --perf-control
(docs/tuning.md, "Where a query's time goes") into the same buckets.

Needs `perf` (Debian: linux-perf) and numpy. For each dimension it builds one
index of the benchmarks' Gaussian mixture (default parameters and
`ef_search`), then runs itself again under `perf record`, enabled only around
the timed `search(q, k=10)` calls, and sorts the samples by the function they
fell in. A module built with frame pointers and symbols names the core's
functions; the buckets below go by those names (an inlined function counts
as its caller). Under PyPy, the JIT's code has no symbols and falls into
"interpreter".
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

# Bucket of a sampled function, by the first pattern its name matches.
BUCKETS = (
    ("walk: neighbour rows (kernel)", r"walk_score|walk_nearer_to_any"),
    ("walk: lists, marks, heaps", r"tamsel::(expand|offer|beam_search|Graph::|take_nearest)"),
    ("walk: the query's form", r"search_query|search_point|make_form|llround|fmax|WalkSpace"),
    ("exact rescore", r"sum_group|score_batch|score_exactly|rescore|introsort|insertion_sort"),
    (
        "result lists",
        r"result|Result|PyFloat|PyList|PyTuple|float_|list_|tuple_|_PyObject_GC|pymalloc|"
        r"PyObject_Malloc|PyObject_Free|_PyMem|object_dealloc|_Py_Dealloc|subtype_dealloc",
    ),
    ("argument conversion", r"convert|Convert|buffer|Buffer|PyNumber|PyArg|vectorcall_args|arguments"),
)
OTHER = "interpreter and the rest"
# Passes over the queries while the profiler samples: enough samples for a
# share to the nearest percent.
PASSES = 5


def tell(control, command):
    """Sends `command` to the profiler's control FIFO."""
    with open(control, "w") as fifo:
        fifo.write(command + "\n")


def child(dim, n, queries, control):
    from run import synthetic

    from tamsel import PyHNSW

    data, asked = synthetic(n, dim, queries, seed=dim)
    index = PyHNSW(dim, metric="euclidean")
    index.create(data)
    for q in asked[:50]:
        index.search(q, k=10)
    tell(control, "enable")
    started = time.process_time()
    for _ in range(PASSES):
        for q in asked:
            index.search(q, k=10)
    seconds = (time.process_time() - started) / PASSES
    tell(control, "disable")
    print("%.1f" % (queries / seconds))


def shares(report):
    totals = {name: 0.0 for name, _ in BUCKETS}
    totals[OTHER] = 0.0
    for line in report.splitlines():
        match = re.match(r"\s*([0-9.]+)%\s+\S+\s+\[[.k]\]\s+(.*)", line)
        if not match:
            continue
        share, symbol = float(match.group(1)), match.group(2)
        for name, pattern in BUCKETS:
            if re.search(pattern, symbol):
                totals[name] += share
                break
        else:
            totals[OTHER] += share
    return totals


def report_of(data):
    command = ["perf", "report", "-i", data, "--no-children", "--sort", "dso,symbol", "--stdio", "-g", "none"]
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dims", default="128,384,768")
    parser.add_argument("--n", type=int, default=50000)
    parser.add_argument("--queries", type=int, default=5000)
    parser.add_argument("--perf-data", nargs="+", help="print the shares of these perf recordings instead")
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--control", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.n, args.queries, args.control)
        return
    if args.perf_data:
        names = [b[0] for b in BUCKETS] + [OTHER]
        print("| | " + " | ".join(os.path.basename(p) for p in args.perf_data) + " |")
        print("|---|" + "---|" * len(args.perf_data))
        found = [shares(report_of(p)) for p in args.perf_data]
        for name in names:
            print("| %s | " % name + " | ".join("%.1f%%" % f[name] for f in found) + " |")
        return
    dims = [int(d) for d in args.dims.split(",")]
    table = {}
    rates = {}
    with tempfile.TemporaryDirectory() as folder:
        for dim in dims:
            control, data = os.path.join(folder, "control"), os.path.join(folder, "%d.data" % dim)
            os.mkfifo(control)
            out = subprocess.run(
                [
                    "perf",
                    "record",
                    "-q",
                    "-F",
                    "2000",
                    "-D",
                    "-1",
                    "--control",
                    "fifo:" + control,
                    "-o",
                    data,
                    "--",
                    sys.executable,
                    __file__,
                    "--child",
                    str(dim),
                    "--n",
                    str(args.n),
                    "--queries",
                    str(args.queries),
                    "--control",
                    control,
                ],
                check=True,
                capture_output=True,
                text=True,
            )
            rates[dim] = float(out.stdout.split()[-1])
            table[dim] = shares(report_of(data))
            os.unlink(control)
    print(
        "PyHNSW.search(q, k=10) from %s, n = %d, default parameters, %d queries; share of the query's samples"
        % (sys.implementation.name, args.n, args.queries)
    )
    print("| | " + " | ".join("%d-d" % d for d in dims) + " |")
    print("|---|" + "---|" * len(dims))
    print("| queries per second | " + " | ".join("%.0f" % rates[d] for d in dims) + " |")
    for name in [b[0] for b in BUCKETS] + [OTHER]:
        print("| %s | " % name + " | ".join("%.1f%%" % table[d][name] for d in dims) + " |")


if __name__ == "__main__":
    main()
