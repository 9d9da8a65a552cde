"""Tables (Markdown, printed as they are) and the recall/QPS plot."""

import os

from common import RECALL_GOAL, SELECTIVITIES


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    for row in rows:
        lines.append("| " + " | ".join(str(c) for c in row) + " |")
    return "\n".join(lines)


def num(x, digits=0):
    if x is None:
        return "-"
    if digits == 0:
        return "{:,.0f}".format(x)
    return "{:,.{}f}".format(x, digits)


def ratio(a, b, digits=2):
    if a is None or b is None or b == 0:
        return "-"
    return "{:.{}f}x".format(a / b, digits)


def keyed(d):
    """JSON turns integer keys into strings; turn them back."""
    return {int(k) if isinstance(k, str) and k.isdigit() else k: v for k, v in d.items()}


def best_at_goal(sweep):
    """(qps, recall, ef) of the fastest ef_search whose recall reached the goal."""
    best = None
    for ef, row in keyed(sweep).items():
        if row["recall"] >= RECALL_GOAL and (best is None or row["qps"] > best[0]):
            best = (row["qps"], row["recall"], ef)
    return best


def header(meta, versions):
    lines = [
        "# tamsel benchmarks",
        "",
        "%s on %s; %s, numpy %s. " % (meta["date"], meta["machine"], meta["interpreter"], meta["numpy"]),
        "Synthetic mixture n = %s, dim = %d, %s queries; m = %d, ef_construction = %d for every library; "
        "single-threaded, one query per call from Python; each search figure is the best of %d interleaved "
        "pass(es). Times are CPU seconds of the process (other processes on the machine took the core now and "
        "then: wall-clock / CPU time over the timed stretches was %.2f). Whole run: %.0f s wall-clock."
        % (
            num(meta["n"]),
            meta["dim"],
            num(meta["queries"]),
            meta["m"],
            meta["ef_construction"],
            meta["rounds"],
            meta.get("wall_per_cpu") or 0,
            meta.get("seconds", 0),
        ),
        "",
        "Ground truth is exact: candidates from a float64 matrix product, re-ranked by the score "
        "computed pair by pair in float64. Data, queries and the peers' level draws are seeded; tamsel's "
        "PyHNSW draws its levels from a generator seeded by the system, so its graph differs from run to run.",
        "",
        "Libraries: " + ", ".join("%s %s" % kv for kv in sorted(versions.items())) + ".",
    ]
    return "\n".join(lines)


def targets(results):
    rows = []
    hnsw = results.get("hnsw")
    if hnsw:
        sweep = hnsw["sweep"]
        t = best_at_goal(sweep["tamsel"])
        h = best_at_goal(sweep["hnswlib"]) if "hnswlib" in sweep else None
        copies = keyed(hnsw["copies"])
        if t and h:
            share = copies[t[2]]["share"]
            dropped = ratio(keyed(sweep["tamsel"])[t[2]]["qps_dropped"], keyed(sweep["hnswlib"])[h[2]]["qps_dropped"])
            rows.append(
                [
                    "1. HNSW QPS at recall >= %.2f, tamsel / hnswlib" % RECALL_GOAL,
                    "%s (tamsel %s q/s at ef %d, recall %.3f; hnswlib %s q/s at ef %d, recall %.3f); "
                    "vector copies %.0f%% of tamsel's time; %s with each result dropped at once"
                    % (ratio(t[0], h[0]), num(t[0]), t[2], t[1], num(h[0]), h[2], h[1], 100 * share, dropped),
                    ">= 1.00x",
                ]
            )
        elif t or h:
            rows.append(
                [
                    "1. HNSW QPS at recall >= %.2f" % RECALL_GOAL,
                    "tamsel %s, hnswlib %s" % ("reached" if t else "not reached", "reached" if h else "not reached"),
                    ">= 1.00x",
                ]
            )
        builds = {(b["library"], b["source"]): b.get("first", b["seconds"]) for b in hnsw["builds"]}
        hb = builds.get(("hnswlib", "numpy float32"))
        if hb:
            rows.append(
                [
                    "2. HNSW build, tamsel create / hnswlib add_items (one build each)",
                    "%s from numpy, %s from a list"
                    % (ratio(builds.get(("tamsel", "numpy")), hb), ratio(builds.get(("tamsel", "list")), hb)),
                    "<= 1.50x",
                ]
            )
    memory = {r["library"]: r for r in results.get("memory", [])}
    if "tamsel" in memory and "hnswlib" in memory:
        rows.append(
            [
                "3. Bytes per vector beyond the vector, tamsel / hnswlib",
                "%s (%s vs %s bytes)"
                % (
                    ratio(memory["tamsel"]["overhead"], memory["hnswlib"]["overhead"]),
                    num(memory["tamsel"]["overhead"]),
                    num(memory["hnswlib"]["overhead"]),
                ),
                "<= 1.25x",
            ]
        )
    flat = results.get("flat")
    if flat:
        largest = max(r["size"] for r in flat["rows"])
        by = {r["method"]: r["qps"] for r in flat["rows"] if r["size"] == largest}
        rows.append(
            [
                "4. Flat at n = %s: time / bandwidth floor; QPS / numpy" % num(largest),
                "%s; %s"
                % (
                    ratio(by["bandwidth floor"], by["tamsel PyFlat"]),
                    ratio(by["tamsel PyFlat"], by["numpy brute force"]),
                ),
                "<= 1.30x; >= 2.00x",
            ]
        )
    conv = results.get("conversion")
    if conv:
        by = {r["source"]: r["convert_s"] for r in conv["rows"]}
        lst = by["list of lists"]
        rows.append(
            [
                "6. Converting %s x %d, numpy / list" % (num(conv["n"]), conv["dim"]),
                "float64 %s, float32 %s (%.4f s and %.4f s vs %.4f s)"
                % (
                    ratio(by["numpy float64"], lst, 3),
                    ratio(by["numpy float32"], lst, 3),
                    by["numpy float64"],
                    by["numpy float32"],
                    lst,
                ),
                "< 0.10x",
            ]
        )
    for key, label in (("filtered", "synthetic"), ("real_filtered", "real set")):
        filt = results.get(key)
        if not filt:
            continue
        grid = [r for name, r in filt["rows"].items() if name != "none"]
        unf = filt["rows"]["none"]["qps"]
        rows.append(
            [
                "5. Filtered, %s, 0.1%% to 100%%: lowest recall; lowest QPS / unfiltered" % label,
                "%.3f; %s" % (min(r["recall"] for r in grid), ratio(min(r["qps"] for r in grid), unf)),
                ">= 0.95; >= 0.50x",
            ]
        )
    if not rows:
        return ""
    rows.sort(key=lambda r: r[0])
    return "## Targets\n\n" + table(["target", "measured", "goal"], rows)


def builds_table(hnsw):
    rows = []
    hb_first = {b["source"]: b.get("first", b["seconds"]) for b in hnsw["builds"] if b["library"] == "hnswlib"}.get(
        "numpy float32"
    )
    for b in hnsw["builds"]:
        first = b.get("first", b["seconds"])
        rows.append(
            [
                b["library"],
                b["source"],
                num(first, 2),
                ratio(first, hb_first),
                num(b["seconds"], 2),
                "%s (%d)" % (num(b["median"], 2), b["count"]),
            ]
        )
    return (
        "### Build (%s, %s x %d, %s)\n\n"
        % (hnsw["dataset"], num(hnsw["n"]), hnsw["dim"], hnsw.get("metric", "euclidean"))
        + table(["library", "from", "first build s", "x hnswlib", "best s", "median s (builds)"], rows)
        + "\n\ntamsel builds one index per ef_search (the class fixes it at construction), so it has several "
        "build times; the ratio compares one build of each library (tamsel's first from that source). The "
        "peers are built once from float32 numpy arrays (the conversion from float64 is not timed)."
    )


def sweep_table(hnsw):
    sweep = {lib: keyed(rows) for lib, rows in hnsw["sweep"].items()}
    libs = ["tamsel"] + sorted(lib for lib in sweep if lib != "tamsel")
    efs = sorted(sweep["tamsel"])
    rows = []
    for ef in efs:
        row = [ef]
        for lib in libs:
            r = sweep[lib][ef]
            row.append("%.3f / %s" % (r["recall"], num(r["qps"])))
        if "hnswlib" in sweep:
            row.append(ratio(sweep["tamsel"][ef]["qps"], sweep["hnswlib"][ef]["qps"]))
            row.append(ratio(sweep["tamsel"][ef]["qps_dropped"], sweep["hnswlib"][ef]["qps_dropped"]))
        rows.append(row)
    head = ["ef_search"] + ["%s recall@10 / QPS" % lib for lib in libs]
    if "hnswlib" in sweep:
        head += ["tamsel QPS / hnswlib", "the same, each result dropped at once"]
    best = []
    for lib in libs:
        b = best_at_goal(sweep[lib])
        best.append("%s %s" % (lib, "%s q/s (ef %d, recall %.3f)" % (num(b[0]), b[2], b[1]) if b else "never"))
    metric = hnsw.get("metric", "euclidean")
    note = (
        ""
        if metric == "euclidean"
        else (
            " The similarity is ranked as PyHNSW ranks it, least similar first, so the answer to a PyHNSW query p is "
            "the most similar to -p: the peers, which list the most similar first in their matching spaces, are "
            "queried with -p."
            + (
                {
                    "least similar, q": " Here p is a held-out embedding: its least similar vectors, the "
                    "contract's own question; the peers search with minus the embedding.",
                    "most similar, -q": " Here p is minus a held-out embedding, as a user who wants its most "
                    "similar vectors asks PyHNSW; the peers search with the embedding itself.",
                }.get(hnsw.get("asked"), "")
            )
        )
    )
    asked = ", " + hnsw["asked"] if hnsw.get("asked") else ""
    return (
        "### HNSW search (%s, %s x %d, %s%s, %s queries, k = 10)\n\n"
        % (hnsw["dataset"], num(hnsw["n"]), hnsw["dim"], metric, asked, num(hnsw["queries"]))
        + table(head, rows)
        + "\n\nFastest at recall@10 >= %.2f: " % RECALL_GOAL
        + "; ".join(best)
        + ". "
        "The QPS columns keep every result of a pass alive until the pass ends (recall is computed from "
        "them); the last column times a second pass that drops each result before the next call, as a "
        "loop that uses each answer at once does. Recall is counted on vector values for every library." + note
    )


def copies_table(hnsw):
    rows = []
    for ef, c in sorted(keyed(hnsw["copies"]).items()):
        rows.append(
            [
                ef,
                num(c["us_k10"], 1),
                num(c["us_k1"], 1),
                "%.0f%%" % (100 * c["share"]),
                "%.0f%%" % (100 * c["share_python"]),
            ]
        )
    return (
        "### tamsel: share of search time spent on the returned vector copies (%s)\n\n" % hnsw["dataset"]
        + table(
            [
                "ef_search",
                "us/query k=10",
                "us/query k=1",
                "share, from k=1 vs k=10",
                "share, same tuples built by numpy tolist",
            ],
            rows,
        )
        + "\n\nThe first estimate takes the extra time of k = 10 over k = 1 (the same walk, nine more "
        "(distance, vector) tuples) times 10/9; the second times building ten (float, list of dim floats) "
        "tuples from native rows in Python, per query, against the k = 10 search time."
    )


def memory_table(memory):
    hb = {r["library"]: r["overhead"] for r in memory}.get("hnswlib")
    rows = [
        [r["library"], num(r["per_vector"]), num(r["payload"]), num(r["overhead"]), ratio(r["overhead"], hb)]
        for r in memory
    ]
    return (
        "### Memory (resident size growth per stored vector, one build in a fresh interpreter)\n\n"
        + table(["library", "bytes per vector", "the vector itself", "beyond the vector", "x hnswlib"], rows)
        + "\n\ntamsel stores float64 (8 x dim bytes), hnswlib float32 (4 x dim bytes)."
    )


def flat_table(flat, dim):
    rows = []
    for size in sorted(set(r["size"] for r in flat["rows"])):
        by = {r["method"]: r for r in flat["rows"] if r["size"] == size}
        floor = by["bandwidth floor"]["qps"]
        numpy_qps = by["numpy brute force"]["qps"]
        for r in flat["rows"]:
            if r["size"] != size:
                continue
            rows.append([num(size), r["method"], num(r["qps"]), ratio(r["qps"], numpy_qps), ratio(floor, r["qps"])])
    bw = "; ".join("%s %.1f GB/s" % (k, v / 1e9) for k, v in flat["bandwidth"].items())
    same = ", ".join("{:.0%}".format(v) + " at n = " + num(k) for k, v in keyed(flat["identical"]).items())
    return (
        "### Flat search (k = 10, dim = %d)\n\n" % dim
        + table(["n", "method", "QPS", "x numpy", "time / floor"], rows)
        + "\n\nThe floor is n x dim x 8 bytes over the read bandwidth measured on the same store (the faster of "
        "three numpy reductions over it): %s. FAISS reads float32 (half the bytes). "
        "PyFlat's ids equal numpy's exact ones for %s of the queries." % (bw, same)
    )


def conversion_table(conv):
    lst = {r["source"]: r["convert_s"] for r in conv["rows"]}["list of lists"]
    rows = [
        [r["source"], num(r["convert_s"], 4), ratio(r["convert_s"], lst, 3), num(r["flat_create_s"], 4)]
        for r in conv["rows"]
    ]
    return (
        "### Conversions (%s x %d)\n\n" % (num(conv["n"]), conv["dim"])
        + table(["from", "conversion s", "x list", "PyFlat.create s"], rows)
        + "\n\nThe conversion alone is timed as a PyHNSW.create into an index one dimension wider: it converts "
        "the whole argument before comparing any length, then refuses the first vector and stores nothing. "
        "PyFlat.create adds the copy into the index's store. Best of 3."
    )


def filtered_table(filt, title="synthetic data"):
    rows_in = filt["rows"]
    unf = rows_in["none"]["qps"]
    shares = sorted({r["share"] for name, r in rows_in.items() if name != "none"}, reverse=True)
    rows = [["-", num(rows_in["none"]["matching"]), "%.3f" % rows_in["none"]["recall"], num(unf), "", "", ""]]
    for share in shares:
        row = ["{:.1%}".format(share)]
        for kind in ("i", "f"):
            r = rows_in["%s%g" % (kind, share)]
            if kind == "i":
                row.append(num(r["matching"]))
            row.append("%.3f / %s" % (r["recall"], ratio(r["qps"], unf)))
        rows.append(row)
    return (
        "### Filtered search, %s (tamsel, ef_search = %d, k = 10)\n\n" % (title, filt["ef"])
        + table(
            ["selects", "matching", "drawn apart: recall@10 / x unfiltered", "following the vectors: same"],
            [r[:4] if r[0] != "-" else ["none", r[1], "%s / %s q/s" % (r[2], r[3]), ""] for r in rows],
        )
        + "\n\nRecall against the exact answer among the matching vectors; queries per second over the "
        "unfiltered figure of the same index, measured in the same passes. One attribute per share is drawn "
        "at random, the other holds the vectors farthest along a direction through the data. Which path "
        "answers each share is the planner's choice: bench/cpp/filter_paths names it and measures every "
        "path beside it. ef_search is the smallest of the sweep whose unfiltered recall reached %.2f; the "
        "index was built with metadata in %.1f s." % (RECALL_GOAL, filt["build_s"])
    )


def real_targets(real):
    """Per metric of the real set: recall at equal ef_search, and speed at recall >= the goal."""
    rows = []
    for r in real:
        sweep = {lib: keyed(rows_) for lib, rows_ in r["sweep"].items()}
        if "hnswlib" not in sweep:
            continue
        t, h = sweep["tamsel"], sweep["hnswlib"]
        worst = min((t[ef]["recall"] - h[ef]["recall"], ef) for ef in t)
        bt, bh = best_at_goal(t), best_at_goal(h)
        speed = "-"
        if bt and bh:
            speed = "%s kept, %s each dropped (tamsel ef %d, hnswlib ef %d)" % (
                ratio(bt[0], bh[0]),
                ratio(t[bt[2]]["qps_dropped"], h[bh[2]]["qps_dropped"]),
                bt[2],
                bh[2],
            )
            with_vectors = best_at_goal(sweep.get("hnswlib+vectors", {}))
            if with_vectors:
                speed += "; %s kept against hnswlib returning the vectors" % ratio(bt[0], with_vectors[0])
        builds = {b["library"]: b.get("first", b["seconds"]) for b in r["builds"]}
        metric = r["metric"] + (" (%s)" % r["asked"] if r.get("asked") else "")
        rows.append([metric, "%+.3f at ef %d" % worst, speed, ratio(builds.get("tamsel"), builds.get("hnswlib"))])
    if not rows:
        return ""
    return "### Real set against hnswlib\n\n" + table(
        [
            "metric",
            "worst recall@10 tamsel - hnswlib at equal ef",
            "QPS at recall >= %.2f" % RECALL_GOAL,
            "build, one each",
        ],
        rows,
    )


def tables(results):
    hnsw = results.get("hnsw") or (results.get("real") or [None])[0]
    versions = dict(hnsw.get("versions", {})) if hnsw else {}
    parts = [header(results["meta"], versions), targets(results)]
    if results.get("memory"):
        parts.append(memory_table(results["memory"]))
    if results.get("hnsw"):
        hnsw = results["hnsw"]
        parts += ["## HNSW", builds_table(hnsw), sweep_table(hnsw), copies_table(hnsw)]
    if results.get("filtered"):
        parts.append(filtered_table(results["filtered"]))
    if results.get("real_filtered"):
        parts.append(filtered_table(results["real_filtered"], "real set"))
    if results.get("conversion"):
        parts.append(conversion_table(results["conversion"]))
    if results.get("flat"):
        parts.append(flat_table(results["flat"], results["meta"]["dim"]))
    if results.get("digits"):
        d = results["digits"]
        parts += [
            "## scikit-learn digits (%s indexed, %s held-out queries)" % (num(d["n"]), num(d["queries"])),
            builds_table(d),
            sweep_table(d),
        ]
    if results.get("real"):
        first = results["real"][0]
        parts += [
            "## Real set: %s (%s indexed, %s held-out queries, %d-d)"
            % (first["dataset"], num(first["n"]), num(first["queries"]), first["dim"]),
            real_targets(results["real"]),
        ]
        built = set()
        for r in results["real"]:
            # The queries of one metric are all swept on the same builds.
            if r["metric"] not in built:
                parts.append(builds_table(r))
                built.add(r["metric"])
            parts.append(sweep_table(r))
    return "\n\n".join(p for p in parts if p) + "\n"


def lists_tables(r):
    hnsw = keyed(r["hnsw"])
    rows = [
        [
            ef,
            num(h["build_s"], 2),
            "%.3f" % h["recall"],
            num(h["qps"]),
            num(h["qps_k1"]),
            "%.0f%%" % (100 * h["copy_share"]),
        ]
        for ef, h in sorted(hnsw.items())
    ]
    f = r["filtered"]
    frows = [
        [
            "-",
            num(f["unfiltered"]["matching"]),
            "%.3f" % f["unfiltered"]["recall"],
            num(f["unfiltered"]["qps"]),
            "1.00x",
        ]
    ]
    for name, _ in SELECTIVITIES:
        x = f[name]
        frows.append(
            [
                "(%r, 1)" % name,
                num(x["matching"]),
                "%.3f" % x["recall"],
                num(x["qps"]),
                ratio(x["qps"], f["unfiltered"]["qps"]),
            ]
        )
    return (
        "\n\n".join(
            [
                "# tamsel, lists only (%s)" % r["interpreter"],
                "Mixture drawn with `random`: n = %s, dim = %d, %s queries (lists). PyFlat.create from lists %.2f s; "
                "PyFlat search (the ground truth) %s QPS. PyFlat.insert of every vector, one per call, %.2f s; "
                "PyHNSW.insert of the first %s, one per call, %.2f s."
                % (
                    num(r["n"]),
                    r["dim"],
                    num(r["queries"]),
                    r["flat_create_s"],
                    num(r["flat_qps"]),
                    r["flat_insert_s"],
                    num(r["hnsw_insert"]["count"]),
                    r["hnsw_insert"]["seconds"],
                ),
                table(["ef_search", "create from lists s", "recall@10", "QPS k=10", "QPS k=1", "copy share"], rows),
                "Filtered (ef_search = %d, built with metadata in %.1f s):" % (f["ef"], f["build_s"]),
                table(["filter", "matching", "recall@10", "QPS", "x unfiltered"], frows),
            ]
        )
        + "\n"
    )


def interpreters_side_by_side(a, b):
    """Figures of the lists-only suite under two interpreters."""
    rows = [
        [
            "PyFlat.create from lists (s)",
            num(a["flat_create_s"], 3),
            num(b["flat_create_s"], 3),
            ratio(b["flat_create_s"], a["flat_create_s"]),
        ],
        ["PyFlat search, QPS", num(a["flat_qps"]), num(b["flat_qps"]), ratio(b["flat_qps"], a["flat_qps"])],
        [
            "PyFlat.insert of %s, one per call (s)" % num(a["n"]),
            num(a["flat_insert_s"], 3),
            num(b["flat_insert_s"], 3),
            ratio(b["flat_insert_s"], a["flat_insert_s"]),
        ],
        [
            "PyHNSW.insert of %s, one per call (s)" % num(a["hnsw_insert"]["count"]),
            num(a["hnsw_insert"]["seconds"], 2),
            num(b["hnsw_insert"]["seconds"], 2),
            ratio(b["hnsw_insert"]["seconds"], a["hnsw_insert"]["seconds"]),
        ],
    ]
    ha, hb = keyed(a["hnsw"]), keyed(b["hnsw"])
    for ef in sorted(ha):
        x, y = ha[ef], hb.get(ef)
        if y is None:
            continue
        rows.append(
            [
                "PyHNSW ef %d: create from lists (s)" % ef,
                num(x["build_s"], 2),
                num(y["build_s"], 2),
                ratio(y["build_s"], x["build_s"]),
            ]
        )
        rows.append(["PyHNSW ef %d: recall@10" % ef, "%.3f" % x["recall"], "%.3f" % y["recall"], ""])
        rows.append(["PyHNSW ef %d: QPS (k=10)" % ef, num(x["qps"]), num(y["qps"]), ratio(y["qps"], x["qps"])])
        rows.append(
            [
                "PyHNSW ef %d: copy share" % ef,
                "%.0f%%" % (100 * x["copy_share"]),
                "%.0f%%" % (100 * y["copy_share"]),
                "",
            ]
        )
    fa, fb = a["filtered"], b["filtered"]
    rows.append(
        [
            "PyHNSW.create with metadata (s)",
            num(fa["build_s"], 2),
            num(fb["build_s"], 2),
            ratio(fb["build_s"], fa["build_s"]),
        ]
    )
    for name in ["unfiltered"] + [n for n, _ in SELECTIVITIES]:
        rows.append(
            [
                "filtered %s: recall@10 / QPS" % name,
                "%.3f / %s" % (fa[name]["recall"], num(fa[name]["qps"])),
                "%.3f / %s" % (fb[name]["recall"], num(fb[name]["qps"])),
                ratio(fb[name]["qps"], fa[name]["qps"]),
            ]
        )
    note = (
        "Same data in both (drawn with `random`, which gives the same numbers under both interpreters): "
        "n = %s, dim = %d, %s queries, lists only; filtered at ef_search %d / %d. CPU seconds of each "
        "process; wall-clock / CPU time %.2f / %.2f."
        % (
            num(a["n"]),
            a["dim"],
            num(a["queries"]),
            fa["ef"],
            fb["ef"],
            a.get("wall_per_cpu") or 0,
            b.get("wall_per_cpu") or 0,
        )
    )
    return (
        "# tamsel under two interpreters\n\n"
        + note
        + "\n\n"
        + table(["figure", a["interpreter"], b["interpreter"], "second / first"], rows)
        + "\n"
    )


def write_out(folder, name, text):
    if not folder:
        return
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "w") as f:
        f.write(text)


def plot(results, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as error:
        print("plot skipped: matplotlib is not importable (%s)" % error)
        return
    sets = ([results["hnsw"]] if results.get("hnsw") else []) + ([results["digits"]] if results.get("digits") else [])
    sets += results.get("real", [])
    if not sets:
        return
    fig, axes = plt.subplots(1, len(sets), figsize=(6.5 * len(sets), 4.8), squeeze=False)
    for ax, hnsw in zip(axes[0], sets):
        for lib, rows in sorted(hnsw["sweep"].items(), key=lambda kv: kv[0] != "tamsel"):
            rows = keyed(rows)
            efs = sorted(rows)
            ax.plot(
                [rows[e]["recall"] for e in efs],
                [rows[e]["qps"] for e in efs],
                marker="o",
                linewidth=2.2 if lib == "tamsel" else 1.4,
                label=lib,
            )
            if lib == "tamsel":
                for e in efs:
                    ax.annotate(
                        str(e),
                        (rows[e]["recall"], rows[e]["qps"]),
                        fontsize=7,
                        textcoords="offset points",
                        xytext=(3, 3),
                    )
        ax.set_yscale("log")
        ax.set_xlabel("recall@10")
        ax.set_ylabel("queries per second (one per call, 1 thread)")
        ax.set_title(
            "%s, n = %s, dim = %d, %s"
            % (hnsw["dataset"][:28], num(hnsw["n"]), hnsw["dim"], hnsw.get("metric", "euclidean"))
        )
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    meta = results["meta"]
    fig.suptitle(
        "m = %d, ef_construction = %d, ef_search 10..320 (labels: tamsel's ef_search); %s"
        % (meta["m"], meta["ef_construction"], meta["date"]),
        fontsize=9,
    )
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
