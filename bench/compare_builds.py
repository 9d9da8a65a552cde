#!/usr/bin/env python3
"""Two builds of tamsel side by side on the cones of bench/quality.py.

    python bench/compare_builds.py BEFORE_DIR AFTER_DIR
    python bench/compare_builds.py BEFORE_DIR AFTER_DIR --metrics inner_product --queries 300

Each DIR holds a built module (tamsel*.so, as a CMake build directory does).
Both are loaded into this process and built on the same data; for every
cone, similarity metric and question (the least similar q, the most similar
-q): recall@10 of each build against PyFlat's exact answer, and the rate of
AFTER over BEFORE, from the best of --passes alternating passes over the
queries (single-threaded CPU time, one query per call). Ratios measured in
one run are what compare on a shared machine.
"""

import argparse
import glob
import importlib.util
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quality


def load(directory):
    paths = glob.glob(os.path.join(directory, "tamsel*.so"))
    if len(paths) != 1:
        sys.exit("%s: expected one tamsel*.so, found %d" % (directory, len(paths)))
    spec = importlib.util.spec_from_file_location("tamsel", paths[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def best_time(index, queries, best_so_far):
    start = time.process_time()
    for q in queries:
        index.search(q, quality.K)
    return min(best_so_far, time.process_time() - start)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("before")
    p.add_argument("after")
    p.add_argument("--metrics", default="angular,inner_product", help="comma-separated (default both similarities)")
    p.add_argument("--n", type=int, default=3000, help="vectors per cone (default 3000)")
    p.add_argument("--queries", type=int, default=300, help="queries per cone (default 300)")
    p.add_argument("--passes", type=int, default=5, help="timed passes per build (default 5)")
    p.add_argument("--seed", type=int, default=20240601)
    args = p.parse_args(argv)
    builds = [load(args.before), load(args.after)]
    wanted = args.metrics.split(",")
    print("| data | metric | asked | recall before | recall after | rate after/before |")
    print("|---|---|---|---|---|---|")
    for number, (name, family, dim) in enumerate(quality.CONES):
        data, queries = quality.draw(family, None, args.n, args.queries, dim, args.seed + 200 + number)
        for metric, flat_metric, _ in quality.METRICS:
            if metric not in wanted:
                continue
            indexes = [quality.tamsel_index(build, data, metric, 50) for build in builds]
            for label, asked in (("q", queries), ("-q", [[-x for x in q] for q in queries])):
                exact = quality.exact_answers(builds[0], data, asked, flat_metric, quality.K)
                recalls = []
                for index in indexes:
                    hits = sum(
                        quality.value_recall([v for _, v in index.search(q, quality.K)], e)[0]
                        for q, e in zip(asked, exact)
                    )
                    recalls.append(hits / float(quality.K * len(asked)))
                best = [float("inf")] * 2
                for _ in range(args.passes):
                    for j, index in enumerate(indexes):
                        best[j] = best_time(index, asked, best[j])
                print(
                    "| %s | %s | %s | %.3f | %.3f | %.2fx |"
                    % (name, metric, label, recalls[0], recalls[1], best[0] / best[1]),
                    flush=True,
                )


if __name__ == "__main__":
    main()
