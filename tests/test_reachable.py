"""A search as wide as the index returns every stored vector, whatever the
order, scale and mix of `insert` and `create` calls that stored them.

Levels come from a generator the system seeds, so a fault may show in one
build of several: each case is built a few times.
"""

import random
from collections import Counter

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tamsel

EVERY = 10**9
METRICS = ("euclidean", "angular", "inner_product")


def store(index, rows, how):
    """Stores `rows` by `insert`, by `create`, or half each way."""
    if not rows:
        return
    half = len(rows) // 2 if how == "both" else (0 if how == "create" else len(rows))
    for row in rows[:half]:
        index.insert(row)
    if rows[half:]:
        index.create(rows[half:])


def missed(index, stored, queries):
    """The stored vectors (with their multiplicity) that some query's search as wide as the index leaves out."""
    wanted = Counter(tuple(row) for row in stored)
    lost = Counter()
    for query in queries:
        lost |= wanted - Counter(tuple(vector) for _, vector in index.search(query, k=EVERY))
    return lost


def gaussian(rng, count, dim, scale=1.0, offset=0.0):
    return [[offset + scale * rng.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(count)]


# ---------------------------------------------------------------- the faults seen


@pytest.mark.parametrize("scale", [1e-10, 5e-320])
@pytest.mark.parametrize("how", ["create", "insert"])
def test_a_tight_group_added_after_spread_data_leads_back_to_it(scale, how):
    # The walk copy sees the whole tight group as one point at the origin.
    rng = random.Random(3)
    spread, tight = gaussian(rng, 500, 4), gaussian(rng, 200, 4, scale)
    index = tamsel.PyHNSW(4, metric="euclidean", ef_search=EVERY, ef_construction=64)
    store(index, spread, how)
    store(index, tight, how)
    assert not missed(index, spread + tight, [[0.0] * 4, spread[0]])


def test_a_group_stored_first_stays_reachable_as_the_data_grows():
    for build in range(12):
        rng = random.Random(build)
        line = [[9.0 + i] * 8 for i in range(10)]
        cloud = [[rng.random() for _ in range(8)] for _ in range(400)]
        index = tamsel.PyHNSW(8, metric="euclidean", m=4, ef_search=EVERY, ef_construction=32)
        index.create(line)
        index.create(cloud)
        assert not missed(index, line + cloud, [[0.5] * 8]), f"build {build}"


def test_groups_far_off_in_scale_and_offset_stay_reachable_under_inner_product():
    for build in range(8):
        rng = random.Random(build)
        index = tamsel.PyHNSW(6, metric="inner_product", m=4, ef_search=EVERY, ef_construction=64)
        stored = gaussian(rng, 400, 6)
        index.create(stored)
        for scale, offset in [(1e-10, 0.0), (1e10, 0.0), (1.0, 1e5), (1.0, -1e5)]:
            group = gaussian(rng, 100, 6, scale, offset)
            store(index, group, "both")
            stored += group
        assert not missed(index, stored, [[0.0] * 6, gaussian(rng, 1, 6)[0]]), f"build {build}"


# ---------------------------------------------------------------- any sequence of groups


def group_rows(kind, count, dim, rng):
    if kind == "spread":
        return gaussian(rng, count, dim)
    if kind == "tight":
        centre = rng.choice([[0.0] * dim, gaussian(rng, 1, dim)[0]])
        scale = rng.choice([1e-10, 1e-100, 1e-300, 5e-320])
        return [[c + scale * rng.gauss(0.0, 1.0) for c in centre] for _ in range(count)]
    if kind == "offset":
        return gaussian(rng, count, dim, offset=rng.choice([1e5, -1e5]))
    if kind == "line":
        start, step = rng.choice([(9.0, 1.0), (1e3, 100.0), (-50.0, -5.0)])
        return [[start + step * i] * dim for i in range(count)]
    row = gaussian(rng, 1, dim)[0]  # exact copies
    return [list(row) for _ in range(count)]


GROUP = st.tuples(
    st.sampled_from(["spread", "tight", "offset", "line", "copies"]),
    st.integers(1, 600),
    st.sampled_from(["insert", "create", "both"]),
)


@settings(max_examples=15, derandomize=True, database=None, deadline=None, suppress_health_check=list(HealthCheck))
@given(
    metric=st.sampled_from(METRICS),
    dim=st.sampled_from([2, 4, 6]),
    m=st.sampled_from([2, 4, 8]),
    groups=st.lists(GROUP, min_size=1, max_size=4),
    seed=st.integers(0, 2**32 - 1),
)
def test_every_vector_is_found_after_any_sequence_of_groups(metric, dim, m, groups, seed):
    rng = random.Random(seed)
    batches = [(group_rows(kind, count, dim, rng), how) for kind, count, how in groups]
    stored = [row for rows, _ in batches for row in rows]
    queries = [[0.0] * dim, stored[0], stored[-1], gaussian(rng, 1, dim, 100.0)[0]]
    for build in range(3):
        index = tamsel.PyHNSW(dim, metric=metric, m=m, ef_search=EVERY, ef_construction=4 * m)
        for rows, how in batches:
            store(index, rows, how)
        assert not missed(index, stored, queries), f"build {build}"
