"""Data on which PyHNSW's walk once lost most of the answer, or returned a
vector twice, against PyFlat's exact answer of the same score. The sizes are
the smallest at which each fault showed; bench/hard_cases.py runs the larger
shapes beside the searches that bound them."""

import math
import random
import signal

import pytest
from helpers import hits

import tamsel

K = 10
FLAT = {"euclidean": None, "angular": "cosine", "inner_product": "inner_product"}


def gauss_rows(rng, n, dim, scale=1.0, offset=0.0):
    return [[offset + scale * rng.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(n)]


def hnsw(data, metric="euclidean", metadata=None, **params):
    index = tamsel.PyHNSW(len(data[0]), metric=metric, schema=["tag"] if metadata else None, **params)
    index.create(data, metadata)
    return index


def recall(index, data, queries, metric="euclidean", **search):
    """Recall@K over `queries`, counted on vector values (copies count alike)."""
    flat = tamsel.PyFlat(len(data[0]), metric=FLAT[metric])
    flat.create(data)
    found = total = 0
    for q in queries:
        exact = [data[i] for i, _ in flat.search(q, K)]
        found += hits([v for _, v in index.search(q, K, **search)], exact)
        total += len(exact)
    return found / total


@pytest.mark.parametrize("metric", sorted(FLAT))
@pytest.mark.parametrize("how", ["insert", "create"])
def test_a_vector_and_its_copies_come_back_once_each(metric, how):
    for rows, query in (([[1.0, 0.0]] * 2, [0.0, 1.0]), ([[0.0, 0.0, 0.0]] * 5, [1.0, 2.0, 3.0])):
        index = tamsel.PyHNSW(len(rows[0]), metric=metric)
        if how == "insert":
            for row in rows:
                index.insert(row)
        else:
            index.create(rows)
        for q in (query, [-x for x in query]):
            assert len(index.search(q, 100)) == len(rows)


@pytest.mark.parametrize("metric", ["angular", "inner_product"])
def test_a_filter_nearly_every_vector_passes_keeps_both_ends_of_a_cone(metric):
    rng = random.Random(2)
    data = gauss_rows(rng, 4000, 16, offset=3.0)
    queries = gauss_rows(rng, 40, 16, offset=3.0)
    tags = [[("tag", i % 100 == 0)] for i in range(len(data))]
    common = [row for row, tag in zip(data, tags) if not tag[0][1]]
    index = hnsw(data, metric, tags)
    # The most similar (-q) varies with each build's draw of levels: over 30
    # builds of this index its gap reached 0.0225 under inner_product, where
    # the far edge's old fault took 0.03 to 0.28 from the least similar (q).
    for sign, margin in ((1.0, 0.02), (-1.0, 0.03)):
        qs = [[sign * x for x in q] for q in queries]
        whole = recall(index, data, qs, metric)
        assert recall(index, common, qs, metric, filter=("tag", False)) >= whole - margin


def test_groups_far_apart_and_a_tight_group_inside_a_spread_one():
    rng = random.Random(3)
    near, far = gauss_rows(rng, 2000, 8), gauss_rows(rng, 2000, 8, offset=1e9)
    queries = gauss_rows(rng, 50, 8)
    alone = recall(hnsw(near, ef_search=20), near, queries)
    assert recall(hnsw(near + far, ef_search=20), near + far, queries) >= 0.8 * alone
    tight = gauss_rows(rng, 200, 8, scale=1e-9)
    rows = gauss_rows(rng, 2000, 8) + tight
    random.Random(4).shuffle(rows)
    queries = gauss_rows(rng, 50, 8, scale=1e-9)
    alone = recall(hnsw(tight, ef_search=20), tight, queries)
    assert recall(hnsw(rows, ef_search=20), rows, queries) >= 0.8 * alone


class Stop(Exception):
    pass


def stopped_create(index, data, metadata, checks):
    """Stops `index.create` at the `checks`-th time it runs signal handlers
    under an alarm every millisecond, and returns how many rows it kept."""
    calls = []

    def stop(signum, frame):
        calls.append(signum)
        if len(calls) == checks:
            raise Stop

    previous = signal.signal(signal.SIGALRM, stop)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    try:
        index.create(data, metadata)
    except Stop:
        pass
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # The rows before `low` are stored, none from `high` on.
    low, high = 0, len(data)
    while low < high:
        mid = (low + high) // 2
        if index.search(data[mid], 1, filter=("tag", mid)):
            low = mid + 1
        else:
            high = mid
    return low


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs signal.setitimer")
def test_a_create_stopped_early_walks_like_a_fresh_index_of_what_it_kept():
    # A batch whose second half lies 1e12 away, stopped within its first half.
    rng = random.Random(5)
    first = [[x / math.sqrt(sum(y * y for y in r)) for x in r] for r in gauss_rows(rng, 20000, 16)]
    data = first + [[x + 1e12 for x in r] for r in first]
    metadata = [[("tag", i)] for i in range(len(data))]
    queries = first[:50]
    for checks in (40, 10, 160, 3):
        index = tamsel.PyHNSW(16, metric="euclidean", schema=["tag"])
        stored = stopped_create(index, data, metadata, checks)
        if 500 <= stored < len(first):
            break
    else:
        pytest.skip("no alarm stopped the create within its first half")
    kept = data[:stored]
    assert recall(index, kept, queries) >= recall(hnsw(kept), kept, queries) - 0.02


@pytest.mark.parametrize("metric", ["euclidean", "angular"])
def test_numbers_rank_before_nan_at_small_breadths(metric):
    for seed in range(3):
        rng = random.Random(100 + seed)
        numeric, with_nan = gauss_rows(rng, 20, 8), gauss_rows(rng, 2000, 8)
        for row in with_nan:
            row[rng.randrange(8)] = float("nan")
        rows = numeric + with_nan
        rng.shuffle(rows)
        index = hnsw(rows, metric, ef_construction=32, ef_search=10)
        for q in numeric:
            assert not any(math.isnan(d) for d, _ in index.search(q, K))


def test_the_least_similar_of_two_opposite_rays_at_a_small_breadth():
    for seed in range(2):
        rng = random.Random(7 + seed)
        d = [rng.gauss(0.0, 1.0) for _ in range(16)]
        data = [[t * x for x in d] for t in (rng.uniform(0.5, 2.0) for _ in range(3000))]
        data += [[-t * x for x in d] for t in (rng.uniform(0.5, 2.0) for _ in range(3000))]
        if seed:
            rng.shuffle(data)
        index = hnsw(data, "angular", ef_construction=64, ef_search=10)
        for q in data[:50]:
            side = sum(a * b for a, b in zip(q, d))
            results = index.search(q, K)
            assert len(results) == K
            assert all(side * sum(a * b for a, b in zip(v, d)) < 0 for _, v in results)
