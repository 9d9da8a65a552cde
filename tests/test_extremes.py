"""Parameters at their extremes, and allocations that cannot succeed.

The cases run in child interpreters, one for each group of cases, whose
address space is limited to a little more than they use after importing
tamsel (`resource.setrlimit`), so a
buffer sized by a parameter (``ef_search``, ``ef_construction``, ``k``, ``m``,
``layers``) rather than by the data fails there instead of passing quietly on a
large machine. An allocation that cannot succeed must raise ``MemoryError``
and leave the index exactly as it was before the call.

Under AddressSanitizer the address-space limit cannot be used (the sanitizer
reserves terabytes of shadow memory) and a failing allocation aborts the
process by design, so the limit is left off there and the cases that make an
allocation fail are skipped.
"""

import functools
import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

from helpers import IS_PYPY, SANITIZED

HUGE = 2**64 - 1
HEADROOM = 1 << 30  # address space a case may use beyond its baseline


needs_failing_allocations = pytest.mark.skipif(
    SANITIZED, reason="AddressSanitizer aborts on a failed allocation instead of raising"
)


def max_layers():
    """The cap on `layers`, as the refusal of a larger value states it."""
    import tamsel

    with pytest.raises(ValueError, match=r"^layers must be at most (\d+), got \d+$") as refused:
        tamsel.PyHNSW(3, layers=HUGE, metric="euclidean")
    return int(re.search(r"\d+", str(refused.value)).group())


PRELUDE = """
import gc, json, resource, sys
import tamsel

HUGE = 2**64 - 1

def address_space():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * resource.getpagesize()

def limit_address_space(headroom):
    if {sanitized}:
        return
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + headroom, hard))

def outcome(call):
    try:
        result = call()
    except (TypeError, ValueError, OverflowError, RuntimeError, MemoryError) as error:
        return [type(error).__name__, str(error)]
    return ["ok", result if result is None or isinstance(result, int) else len(result)]

def flat_contents(index, dim):
    found = {{}}
    for probe in ([0.0] * dim, [float(j + 1) for j in range(dim)]):
        try:
            for vector_id, score in index.search(probe, k=HUGE):
                found.setdefault(vector_id, []).append(score)
        except ValueError as error:
            assert str(error) == "Search error: EmptyIndex"
    return sorted(found.items())

def hnsw_contents(index, dim):
    return [index.search(probe, k=1000) for probe in ([0.0] * dim, [float(j + 1) for j in range(dim)])]

limit_address_space({headroom})
"""


def run_limited(cases, headroom=HEADROOM, timeout=300):
    """Runs the cases, each the body of a function that returns what it found,
    one after another in one child under the address-space limit; returns
    {name: what the case returned}. Each case's objects are gone before the
    next one starts."""
    code = PRELUDE.format(sanitized=SANITIZED, headroom=headroom) + "results = {}\n"
    for name, body in cases.items():
        code += "def case():\n" + textwrap.indent(textwrap.dedent(body).strip(), "    ") + "\n"
        code += f"results[{name!r}] = case()\ngc.collect()\n"
    code += "print(json.dumps(results))\n"
    child = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=dict(os.environ, PYTHONHASHSEED="0"),
    )
    assert child.returncode == 0, f"child failed (exit {child.returncode}):\n{child.stderr[-3000:]}"
    return json.loads(child.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- PyHNSW parameters


def hnsw_case(params, k=10, dim=4, count=300):
    """Builds an index with `params`, fills it by create and insert, searches it."""
    return f"""
        import random
        rng = random.Random(5)
        vectors = [[rng.uniform(-1, 1) for _ in range({dim})] for _ in range({count})]
        index = tamsel.PyHNSW({dim}, metric="euclidean", **{params!r})
        created = outcome(lambda: index.create(vectors[:-3]))
        inserted = [outcome(lambda v=v: index.insert(v)) for v in vectors[-3:]]
        searched = outcome(lambda: index.search(vectors[0], k={k}))
        exact = searched[0] == "ok" and searched[1] > 0 and index.search(vectors[0], k={k})[0][1] == vectors[0]
        return dict(created=created, inserted=inserted, searched=searched, exact=exact)
    """


HNSW_EXTREMES = {
    # name: (constructor parameters, k, what create, insert and search give)
    "ef_search=0": (dict(ef_search=0), 10, "ok", "ok", ["ValueError", "Search error: InvalidEF"]),
    "ef_search=1": (dict(ef_search=1), 10, "ok", "ok", ["ok", 1]),
    "ef_search=max": (dict(ef_search=HUGE), 10, "ok", "ok", ["ok", 10]),
    "ef_construction=0": (
        dict(ef_construction=0),
        10,
        ["ValueError", "Create error: InvalidEF"],
        ["ValueError", "Insert error: InvalidEF"],
        None,
    ),
    "ef_construction=1": (dict(ef_construction=1), 10, "ok", "ok", ["ok", 10]),
    "ef_construction=max": (dict(ef_construction=HUGE), 10, "ok", "ok", ["ok", 10]),
    "m=0": (dict(m=0), 10, "ok", "ok", ["ok", 10]),
    "m=1": (dict(m=1), 10, "ok", "ok", ["ok", 10]),
    "m=max": (dict(m=HUGE), 10, "ok", "ok", ["ok", 10]),
    "layers=0": (dict(layers=0), 10, "ok", "ok", ["ValueError", "Search error: InvalidLayer"]),
    "layers=1": (dict(layers=1), 10, "ok", "ok", ["ok", 10]),
    "k=0": (dict(), 0, "ok", "ok", ["ok", 0]),
    "k=1": (dict(), 1, "ok", "ok", ["ok", 1]),
    "k=max": (dict(), HUGE, "ok", "ok", ["ok", 50]),
    "k=max,ef_search=max": (dict(ef_search=HUGE), HUGE, "ok", "ok", ["ok", 300]),
    "everything=max": (dict(ef_search=HUGE, ef_construction=HUGE, m=HUGE), HUGE, "ok", "ok", ["ok", 300]),
}
LARGEST_LAYERS = {"defaults": dict(), "all-max": dict(m=HUGE, ef_construction=HUGE, ef_search=HUGE)}
LAYERS_ABOVE_THE_CAP = {"cap+1": 1, "cap+2^32": 2**32, "max": HUGE - 4096}


def smallest_dims_case(dim):
    return f"""
        index = tamsel.PyHNSW({dim}, metric="euclidean", schema=["a"])
        results = [outcome(lambda: index.insert([0.5] * {dim}, [("a", 1)])) for _ in range(3)]
        results.append(outcome(lambda: index.create([[i / 64] * {dim} for i in range(50)])))
        results.append(outcome(lambda: index.search([0.5] * {dim}, k=HUGE)))
        results.append(outcome(lambda: index.search([0.5] * {dim}, k=HUGE, filter=("a", 1))))
        results.append(outcome(lambda: index.search([], k=3)))
        return results
    """


@functools.cache
def hnsw_parameter_outcomes():
    """Every PyHNSW parameter case, in one child."""
    cases = {f"extreme {name}": hnsw_case(params, k=k) for name, (params, k, *_) in HNSW_EXTREMES.items()}
    for name, extra in LARGEST_LAYERS.items():
        cases[f"largest {name}"] = hnsw_case(dict(layers=max_layers(), **extra), k=HUGE, count=200)
    for name, excess in LAYERS_ABOVE_THE_CAP.items():
        layers = min(max_layers() + excess, HUGE)
        cases[f"above {name}"] = (
            f'return outcome(lambda: tamsel.PyHNSW(3, layers={layers}, metric="euclidean") and None)'
        )
    for dim in (0, 1):
        cases[f"dim {dim}"] = smallest_dims_case(dim)
    return run_limited(cases)


@pytest.mark.parametrize("case", list(HNSW_EXTREMES))
def test_hnsw_parameter_extremes_never_allocate_by_the_value(case):
    params, k, created, inserted, searched = HNSW_EXTREMES[case]
    got = hnsw_parameter_outcomes()[f"extreme {case}"]
    assert got["created"] == (["ok", None] if created == "ok" else created)
    expected_insert = ["ok", None] if inserted == "ok" else inserted
    assert got["inserted"] == [expected_insert] * 3
    if searched is not None:
        assert got["searched"] == searched
    if got["searched"][0] == "ok" and got["searched"][1] > 0:
        assert got["exact"], "the stored vector itself is not the nearest"


@pytest.mark.parametrize("extra", list(LARGEST_LAYERS))
def test_hnsw_largest_layers_is_served(extra):
    got = hnsw_parameter_outcomes()[f"largest {extra}"]
    assert got["created"] == ["ok", None]
    assert got["inserted"] == [["ok", None]] * 3
    assert got["searched"][0] == "ok" and 1 <= got["searched"][1] <= 200
    assert got["exact"]


@pytest.mark.parametrize("excess", list(LAYERS_ABOVE_THE_CAP))
def test_hnsw_layers_above_the_cap_are_refused(excess):
    got = hnsw_parameter_outcomes()[f"above {excess}"]
    assert got[0] == "ValueError"
    assert str(max_layers()) in got[1]


@pytest.mark.parametrize("dim", [0, 1])
def test_hnsw_smallest_dims(dim):
    got = hnsw_parameter_outcomes()[f"dim {dim}"]
    assert got[:4] == [["ok", None]] * 4
    if dim == 0:
        assert got[4:] == [["ok", 0]] * 3  # nothing to compare: every search is empty
    else:
        assert got[4] == ["ok", 50]  # every vector, up to ef_search
        assert got[5] == ["ok", 3]  # the three with the record
        assert got[6][0] == "ok"  # an empty query is compared over no components


@pytest.mark.parametrize("copies", [53, 1000, 20000])
def test_hnsw_every_copy_of_a_repeated_vector_stays_reachable(copies):
    import tamsel

    index = tamsel.PyHNSW(2, metric="euclidean", ef_search=HUGE)
    index.create([[0.25, 0.25]] * copies)
    index.insert([0.5, 0.5])
    found = index.search([0.0, 0.0], k=HUGE)
    assert len(found) == copies + 1


def test_hnsw_copies_among_other_vectors_are_found_by_their_own_metadata():
    import random
    import tamsel

    rng = random.Random(5)
    # ef_search small against the group's size, so the filtered search walks the graph
    index = tamsel.PyHNSW(4, metric="euclidean", ef_search=110, schema=["group"])
    others = [[rng.random() for _ in range(4)] for _ in range(8000)]
    index.create(others, [[("group", 0 if i == 7 else 2)] for i in range(len(others))])
    repeated = others[7]  # copies of a stored vector, inserted one by one and as a batch
    for i in range(150):
        index.insert(list(repeated), [("group", i % 3)])
    index.create([list(repeated)] * 150, [[("group", i % 3)] for i in range(150)])
    found = index.search(repeated, k=110)
    assert [vector for _, vector in found].count(repeated) == 110
    # the first stored one is in group 0; its copies in group 2 are found all the same
    in_group = index.search(repeated, k=100, filter=("group", 2))
    assert [distance for distance, _ in in_group] == [0.0] * 100


# ---------------------------------------------------------------- PyFlat parameters


FLAT_DIMS, FLAT_KS = [0, 1, HUGE], [0, 1, HUGE]


@functools.cache
def flat_parameter_outcomes():
    """Every PyFlat parameter case, in one child."""
    cases = {}
    for dim in FLAT_DIMS:
        for k in FLAT_KS:
            cases[f"{dim} {k}"] = f"""
                index = tamsel.PyFlat({dim})
                small = min({dim}, 4)
                return [
                    outcome(lambda: index.insert([0.5] * small)),
                    outcome(lambda: index.create([[0.25] * small] * 100)),
                    outcome(lambda: index.search([0.5] * small, k={k})),
                ]
            """
    return run_limited(cases)


@pytest.mark.parametrize("dim", FLAT_DIMS)
@pytest.mark.parametrize("k", FLAT_KS)
def test_flat_extremes(dim, k):
    got = flat_parameter_outcomes()[f"{dim} {k}"]
    if dim == HUGE:
        assert got == [
            ["ValueError", f"Expected vector of length {HUGE}, got 4"],
            ["ValueError", f"Vector length 4 does not match index dimension {HUGE}"],
            ["ValueError", f"Expected query of length {HUGE}, got 4"],
        ]
    elif dim == 0:
        assert got == [["ok", None], ["ok", None], ["ValueError", "Search error: EmptyIndex"]]
    else:
        assert got == [["ok", None], ["ok", None], ["ok", min(k, 101)]]


# ---------------------------------------------------------------- allocations that cannot succeed


def new_index(cls):
    return f'tamsel.PyFlat(1000) if "{cls}" == "PyFlat" else tamsel.PyHNSW(1000, metric="euclidean")'


def contents(cls):
    return "flat_contents" if cls == "PyFlat" else "hnsw_contents"


def batch_too_large_case(cls):
    # 200,000 vectors of 1,000 numbers: 1.6 GB of doubles from a list that
    # holds one row 200,000 times, under a 1 GiB limit.
    return f"""
        index = {new_index(cls)}
        index.create([[float(i)] * 1000 for i in range(5)])
        before = {contents(cls)}(index, 1000)
        row = [0.5] * 1000
        failed = outcome(lambda: index.create([row] * 200_000))
        after = {contents(cls)}(index, 1000)
        index.insert(row)
        return dict(failed=failed, unchanged=before == after, grew={contents(cls)}(index, 1000) != after)
    """


def one_long_vector_case(cls):
    # Ten million empty vectors after one of 1,000 numbers hold no more than
    # 80 MB of list; sizing the batch by its first vector would ask for 80 GB.
    stored = "len(hnsw_contents(index, 1000)[0])" if cls == "PyHNSW" else "len(flat_contents(index, 1000))"
    return f"""
        index = {new_index(cls)}
        failed = outcome(lambda: index.create([[0.5] * 1000] + [[]] * 10_000_000))
        return dict(failed=failed, stored={stored})
    """


# The store cannot grow from 400 MB to 800 MB beside a second batch of 400 MB
# that converts, under a 1 GiB limit.
FLAT_STORE_GROWTH = """
    index = tamsel.PyFlat(1000)
    row = [0.5] * 1000
    first = outcome(lambda: index.create([row] * 50_000))
    before = flat_contents(index, 1000)
    failed = outcome(lambda: index.create([[1.5] * 1000] * 50_000))
    after = flat_contents(index, 1000)
    failed_insert_after = outcome(lambda: index.insert([2.5] * 1000))
    return dict(first=first, failed=failed, unchanged=before == after, count=len(after), insert=failed_insert_after)
"""

# One million one-number vectors convert in 8 MB, but their layer-0 lists at
# the largest m need about a gigabyte more.
HNSW_GRAPH_GROWTH = """
    index = tamsel.PyHNSW(1, m=HUGE, metric="euclidean")
    index.create([[float(i)] for i in range(20)])
    before = hnsw_contents(index, 1)
    failed = outcome(lambda: index.create([[0.5]] * 1_000_000))
    after = hnsw_contents(index, 1)
    index.insert([100.0])
    return dict(failed=failed, unchanged=before == after, found=index.search([100.0])[0][1] == [100.0])
"""

# 40 vectors of a million numbers take 400 MB with the walk's copy; their
# copies as Python floats would need over a gigabyte more. A partial result
# left behind would leave no room for the searches that follow.
SEARCH_RESULT_TOO_LARGE = """
    dim = 1_000_000
    index = tamsel.PyHNSW(dim, metric="euclidean", ef_search=HUGE)
    index.create([[0.5] * dim] * 40)
    failed = [outcome(lambda: index.search([0.5] * dim, k=HUGE)) for _ in range(3)]
    found = [index.search([0.5] * dim, k=1) for _ in range(3)]
    return dict(failed=[f[0] for f in failed], found=all(len(f) == 1 and f[0] == (0.0, [0.5] * dim) for f in found))
"""


@functools.cache
def failed_allocation_outcomes(cls):
    """The cases of one class, in one child of its own."""
    cases = {"batch too large": batch_too_large_case(cls), "one long vector": one_long_vector_case(cls)}
    if cls == "PyFlat":
        cases["store growth"] = FLAT_STORE_GROWTH
    else:
        cases["graph growth"] = HNSW_GRAPH_GROWTH
        if not IS_PYPY:
            cases["search result"] = SEARCH_RESULT_TOO_LARGE
    return run_limited(cases)


@needs_failing_allocations
@pytest.mark.parametrize("cls", ["PyFlat", "PyHNSW"])
def test_batch_too_large_to_convert_raises_memory_error_and_changes_nothing(cls):
    got = failed_allocation_outcomes(cls)["batch too large"]
    assert got["failed"][0] == "MemoryError"
    assert got["unchanged"]
    assert got["grew"], "the index no longer takes vectors after the failure"


@needs_failing_allocations
def test_flat_store_growth_beyond_the_limit_raises_memory_error_and_changes_nothing():
    got = failed_allocation_outcomes("PyFlat")["store growth"]
    assert got["first"] == ["ok", None]
    assert got["failed"][0] == "MemoryError"
    assert got["unchanged"] and got["count"] == 50_000
    assert got["insert"][0] in ("ok", "MemoryError")


@needs_failing_allocations
def test_hnsw_graph_growth_beyond_the_limit_raises_memory_error_and_changes_nothing():
    got = failed_allocation_outcomes("PyHNSW")["graph growth"]
    assert got["failed"][0] == "MemoryError"
    assert got["unchanged"]
    assert got["found"]


@needs_failing_allocations
@pytest.mark.skipif(IS_PYPY, reason="PyPy ends the process when its own object allocations run out of memory")
def test_search_result_too_large_to_build_raises_memory_error_and_frees_what_was_built():
    got = failed_allocation_outcomes("PyHNSW")["search result"]
    assert got == dict(failed=["MemoryError"] * 3, found=True)


@needs_failing_allocations
@pytest.mark.parametrize("cls", ["PyFlat", "PyHNSW"])
def test_one_long_vector_among_many_short_ones_gives_the_length_error(cls):
    got = failed_allocation_outcomes(cls)["one long vector"]
    assert got["failed"] == ["ValueError", "Vector length 0 does not match index dimension 1000"]
    assert got["stored"] == (1 if cls == "PyFlat" else 0)


# ---------------------------------------------------------------- batches of empty rows


@pytest.mark.parametrize("held", [0, 5])
def test_hnsw_batch_beyond_the_id_range_is_refused_as_a_limit(held):
    numpy = pytest.importorskip("numpy")
    import tamsel

    index = tamsel.PyHNSW(0, metric="euclidean")
    if held:
        index.create(numpy.empty((held, 0)))
    # A limit of the ids, not a want of memory: no MemoryError.
    with pytest.raises(OverflowError, match=r"^HNSW: at most 4294967294 vectors \(32-bit ids\)$"):
        index.create(numpy.empty((2**32 - 1 - held, 0)))
    index.insert([])
    assert len(index.search([], k=10)) == 0


@functools.cache
def empty_rows_outcomes():
    cases = {}
    for cls in ("PyFlat", "PyHNSW"):
        make = "tamsel.PyFlat(0)" if cls == "PyFlat" else 'tamsel.PyHNSW(0, metric="euclidean")'
        cases[cls] = f"""
            import numpy, time
            index = {make}
            start = time.perf_counter()
            failed = outcome(lambda: index.create(numpy.empty((2**50, 0))))
            return dict(failed=failed, seconds=time.perf_counter() - start)
        """
    return run_limited(cases, timeout=60)


@pytest.mark.parametrize("cls", ["PyFlat", "PyHNSW"])
def test_batch_of_empty_rows_is_not_walked_row_by_row(cls):
    pytest.importorskip("numpy")
    assert empty_rows_outcomes()[cls]["seconds"] < 5
