"""PyHNSW as a user sees it: what insert and create refuse and what they leave
stored, the order of the search errors, the results of a search (exact
distances, order, bounds, copies), metadata typing and filters, and recall
against the exact answer."""

import math
import random
import struct

import pytest
import tamsel
from helpers import HUGE, Raising, Text

NO_SCHEMA = "No schema provided in HNSW instance; cannot use metadata"


# ---------------------------------------------------------------- reference distances
# Written as plain loops: every sum starts at 0.0 and adds its terms in index
# order, each product rounded before it is added.


def euclidean(q, v):
    total = 0.0
    for i in range(min(len(q), len(v))):
        d = q[i] - v[i]
        total += d * d
    return math.sqrt(total)


def inner_product(q, v):
    total = 0.0
    for i in range(min(len(q), len(v))):
        total += q[i] * v[i]
    return total


def angular(q, v):
    try:
        return inner_product(q, v) / (math.sqrt(inner_product(q, q)) * math.sqrt(inner_product(v, v)))
    except ZeroDivisionError:
        return math.nan


METRICS = {"euclidean": euclidean, "angular": angular, "inner_product": inner_product}


def before(a, b):
    """True when distance a comes strictly before b: NaN after every number."""
    return a < b or (math.isnan(b) and not math.isnan(a))


def same_double(a, b):
    return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))


def key(vector):
    """A vector as a dictionary key that tells -0.0 from 0.0."""
    return tuple(float.hex(x) for x in vector)


# ---------------------------------------------------------------- construction


@pytest.mark.parametrize("layers", [4097, 2**32, HUGE])
def test_layers_above_the_cap_are_refused(layers):
    with pytest.raises(ValueError) as excinfo:
        tamsel.PyHNSW(3, layers, metric="angular")
    assert excinfo.value.args == (f"layers must be at most 4096, got {layers}",)


# ---------------------------------------------------------------- insert and create refusals

THREE = [[1, 2, 3], [4, 5, 6], [7, 8, 9]]
SEED = [0.5, 0.5, 0.5]

REFUSALS = {
    "insert-short": (None, "insert", ([1.0, 2.0],), "Expected vector of length 3, got 2"),
    "insert-length-before-metadata": (
        ["a"],
        "insert",
        ([1, 2, 3, 4], [("a", None)]),
        "Expected vector of length 3, got 4",
    ),
    "insert-empty-metadata-no-schema": (None, "insert", ([1, 2, 3], []), NO_SCHEMA),
    "insert-metadata-no-schema": (None, "insert", ([1, 2, 3], [("a", 1)]), NO_SCHEMA),
    "insert-empty-metadata": (["a"], "insert", ([1, 2, 3], []), "Missing metadata for attribute 'a'"),
    "insert-name-case": (["A"], "insert", ([1, 2, 3], [("a", 1)]), "Missing metadata for attribute 'A'"),
    "insert-first-missing": (["a", "b"], "insert", ([1, 2, 3], [("b", None)]), "Missing metadata for attribute 'a'"),
    "insert-first-unsupported": (
        ["a", "b"],
        "insert",
        ([1, 2, 3], [("a", None), ("b", 1)]),
        "Unsupported metadata type for attribute 'a'",
    ),
    "insert-second-unsupported": (
        ["a", "b"],
        "insert",
        ([1, 2, 3], [("a", 1), ("b", [1])]),
        "Unsupported metadata type for attribute 'b'",
    ),
    "insert-bytes-and-dict": (
        ["a", "b"],
        "insert",
        ([1, 2, 3], [("b", b"x"), ("a", {})]),
        "Unsupported metadata type for attribute 'a'",
    ),
    "create-empty": (None, "create", ([],), "Create error: EmptyVectors"),
    "create-empty-with-schema": (["a"], "create", ([], []), "Create error: EmptyVectors"),
    "create-empty-no-schema": (None, "create", ([], []), NO_SCHEMA),
    "create-count-before-schema": (
        None,
        "create",
        ([[1, 2, 3]], []),
        "Length of metadata list must match number of vectors",
    ),
    "create-count": (
        ["a"],
        "create",
        (THREE, [[("a", 1)]] * 2),
        "Length of metadata list must match number of vectors",
    ),
    "create-length-before-count": (
        ["a"],
        "create",
        ([[1, 2, 3], [4, 5]], [[("a", 1)]]),
        "Vector length 2 does not match index dimension 3",
    ),
    "create-third-too-long": (
        None,
        "create",
        (THREE[:2] + [[7, 8, 9, 10]],),
        "Vector length 4 does not match index dimension 3",
    ),
    "create-third-record-missing": (
        ["a"],
        "create",
        (THREE, [[("a", 1)], [("a", 2)], [("b", 3)]]),
        "Missing metadata for attribute 'a'",
    ),
    "create-second-record-unsupported": (
        ["a"],
        "create",
        (THREE, [[("a", 1)], [("a", None)], [("a", 3)]]),
        "Unsupported metadata type for attribute 'a'",
    ),
}


@pytest.mark.parametrize("case", list(REFUSALS))
def test_refused_insert_or_create_stores_nothing(case):
    schema, method, args, message = REFUSALS[case]
    index = tamsel.PyHNSW(3, metric="euclidean", schema=schema)
    index.insert(SEED, None if schema is None else [(name, 0) for name in schema])
    with pytest.raises(ValueError) as excinfo:
        getattr(index, method)(*args)
    assert excinfo.value.args == (message,)
    assert index.search(SEED, k=HUGE) == [(0.0, SEED)]


def test_no_construction_breadth_keeps_each_failed_node_with_its_record():
    index = tamsel.PyHNSW(2, ef_construction=0, metric="euclidean", schema=["tag"])
    index.insert([0.0, 0.0], [("tag", 0)])
    with pytest.raises(ValueError) as excinfo:
        index.create([[1.0, 0.0], [2.0, 0.0], [3.0, 0.0]], [[("tag", 1)], [("tag", 2)], [("tag", 3)]])
    assert excinfo.value.args == ("Create error: InvalidEF",)
    with pytest.raises(ValueError) as excinfo:
        index.insert([4.0, 0.0], [("tag", 1)])
    assert excinfo.value.args == ("Insert error: InvalidEF",)
    # The failed nodes are stored but unlinked: the walk from node 0 meets no other node.
    assert index.search([4.0, 0.0], k=10) == [(4.0, [0.0, 0.0])]
    # Their records were stored with them, so a filter on a value they hold
    # alone reaches them; create stopped at its first failing vector.
    assert index.search([0.0, 0.0], k=10, filter=("tag", 1)) == [(1.0, [1.0, 0.0]), (4.0, [4.0, 0.0])]
    assert index.search([0.0, 0.0], k=10, filter=("tag", 2)) == []


# ---------------------------------------------------------------- search errors


UNSUPPORTED = "Unsupported type for metadata filter"
FILTERING = NO_SCHEMA + " filtering"

# layers, ef_search, schema, filter, message, raised by the Python layer
# (before the core looks at the index, so also on an empty index)
SEARCH_ERRORS = {
    "no-layers": (0, 50, ["a"], None, "Search error: InvalidLayer", False),
    "no-layers-before-breadth-and-filter": (0, 0, ["a"], ("zzz", 1), "Search error: InvalidLayer", False),
    "no-schema-before-layers": (0, 50, None, ("a", 1), FILTERING, True),
    "no-schema-before-value": (5, 0, None, ("a", None), FILTERING, True),
    "unsupported-before-layers": (0, 50, ["a"], ("a", None), UNSUPPORTED, True),
    "unsupported-bytes": (5, 50, ["a"], ("a", b"1"), UNSUPPORTED, True),
    "unsupported-list": (5, 50, ["a"], ("zzz", [1]), UNSUPPORTED, True),
    "unsupported-complex": (5, 50, [], ("a", 1j), UNSUPPORTED, True),
    "one-layer-breadth": (1, 0, ["a"], None, "Search error: InvalidEF", False),
    "one-layer-breadth-before-attribute": (1, 0, ["a"], ("zzz", 1), "Search error: InvalidEF", False),
    "one-layer-breadth-before-empty-schema": (1, 0, [], ("a", 1), "Search error: InvalidEF", False),
    "two-layers-attribute-before-breadth": (2, 0, ["a"], ("zzz", 1), "Search error: AttributeNotFound", False),
    "empty-schema-before-breadth": (5, 0, [], ("a", 1), "Search error: EmptySchema", False),
    "good-filter-then-breadth": (5, 0, ["a"], ("a", 1), "Search error: InvalidEF", False),
    "empty-schema": (1, 50, [], ("a", 1), "Search error: EmptySchema", False),
    "attribute-case": (5, 50, ["a"], ("A", 1), "Search error: AttributeNotFound", False),
    "attribute-trailing-blank": (5, 50, ["a"], ("a ", 1), "Search error: AttributeNotFound", False),
}


@pytest.mark.parametrize("case", list(SEARCH_ERRORS))
def test_search_errors_in_order_and_on_an_empty_index(case):
    layers, ef_search, schema, filter_pair, message, before_core = SEARCH_ERRORS[case]

    def make():
        return tamsel.PyHNSW(2, layers=layers, ef_search=ef_search, metric="euclidean", schema=schema)

    empty = make()
    for k in (None, 0, 1, HUGE):
        if before_core:
            with pytest.raises(ValueError) as excinfo:
                empty.search([0.0, 0.0], k, filter_pair)
            assert excinfo.value.args == (message,)
        else:
            assert empty.search([0.0, 0.0], k, filter_pair) == []

    filled = make()
    # An empty schema takes any pairs and stores an empty record.
    metadata = {None: None, 0: [("x", object())], 1: [("a", 1)]}[None if schema is None else len(schema)]
    filled.insert([1.0, 1.0], metadata)
    with pytest.raises(ValueError) as excinfo:
        filled.search([0.0, 0.0], 3, filter_pair)
    assert type(excinfo.value) is ValueError
    assert excinfo.value.args == (message,)


# ---------------------------------------------------------------- results

CONTRACT_N, CONTRACT_DIM, CONTRACT_EF = 400, 6, 20


@pytest.fixture(scope="module", params=list(METRICS))
def small_index(request):
    metric = request.param
    rng = random.Random(7)
    vectors = [[rng.uniform(-1.0, 1.0) for _ in range(CONTRACT_DIM)] for _ in range(CONTRACT_N - 3)]
    # Zero vectors give NaN angular distances; one is the entry point.
    vectors = [[0.0] * CONTRACT_DIM] + vectors[:200] + [[0.0] * 5 + [-0.0]] + vectors[200:] + [[-0.0] * CONTRACT_DIM]
    index = tamsel.PyHNSW(CONTRACT_DIM, ef_search=CONTRACT_EF, metric=metric)
    index.create(vectors[:100])
    for vector in vectors[100:150]:
        index.insert(vector)
    index.create(vectors[150:])
    return metric, index, vectors


QUERIES = {
    "random": [0.3, -0.7, 0.1, 0.9, -0.2, 0.5],
    "stored": None,  # vector 5 of the index
    "zero": [0.0] * CONTRACT_DIM,
    "shorter": [0.4, -0.1, 0.8, 0.2],
    "longer": [0.4, -0.1, 0.8, 0.2, -0.6, 0.3, 5.0, -5.0, 1.0],
    "empty": [],
}


@pytest.mark.parametrize("k", [None, 0, 1, 7, CONTRACT_EF, 1000, HUGE])
@pytest.mark.parametrize("query_kind", list(QUERIES))
def test_results_are_exact_ordered_distinct_and_bounded(small_index, query_kind, k):
    metric, index, vectors = small_index
    query = vectors[5] if query_kind == "stored" else QUERIES[query_kind]
    found = index.search(query, k)
    assert type(found) is list
    assert len(found) == min(1 if k is None else k, CONTRACT_EF, CONTRACT_N)
    stored = {key(v) for v in vectors}
    seen = set()
    for distance, vector in found:
        assert type(distance) is float and type(vector) is list and len(vector) == CONTRACT_DIM
        assert key(vector) in stored and key(vector) not in seen
        seen.add(key(vector))
        assert same_double(distance, METRICS[metric](query, vector)), (distance, vector)
    for (a, _), (b, _) in zip(found, found[1:]):
        assert not before(b, a)
    again = index.search(query, k)
    assert [key(v) for _, v in again] == [key(v) for _, v in found]
    assert all(same_double(a, b) for (a, _), (b, _) in zip(again, found))


def test_returned_vectors_are_copies():
    index = tamsel.PyHNSW(2, metric="euclidean")
    index.create([[0.0, 0.0], [1.0, 0.0], [0.0, 2.0]])
    first = index.search([0.0, 0.0], k=3)
    for _, vector in first:
        vector[0] = 99.0
        vector.append(1.0)
    again = index.search([0.0, 0.0], k=3)
    assert again == [(0.0, [0.0, 0.0]), (1.0, [1.0, 0.0]), (2.0, [0.0, 2.0])]
    assert all(a[1] is not b[1] for a, b in zip(again, index.search([0.0, 0.0], k=3)))


def bits(values):
    return [struct.pack("<d", value) for value in values]


@pytest.mark.parametrize("dim", [1, 3, 40])
def test_returned_vectors_keep_every_stored_bit(dim):
    # Values no float32 holds, signed zeros and NaNs with payloads come back
    # exactly as stored, each vector with its own distance.
    specials = [
        math.inf,
        -math.inf,
        1e308,
        5e-324,
        -0.0,
        math.nan,
        struct.unpack("<d", bytes.fromhex("0100000000f8ff7f"))[0],
        -1.5e-310,
    ]
    vectors = [
        [specials[(i + j) % len(specials)] if (i + j) % 3 == 0 else float(i * dim + j) for j in range(dim)]
        for i in range(30)
    ]
    index = tamsel.PyHNSW(dim, metric="inner_product", ef_search=HUGE)
    index.create(vectors)
    query = [1.0] * dim
    found = index.search(query, k=HUGE)
    stored = {tuple(bits(v)): inner_product(query, v) for v in vectors}
    assert len(found) == len(vectors)
    for distance, vector in found:
        assert same_double(distance, stored[tuple(bits(vector))])


@pytest.mark.parametrize("query_length", [3, 5])
def test_query_of_another_length_walks_past_a_nan_entry_node(query_length):
    # Node 0, where every walk starts, has a NaN: its distance to any query is
    # NaN, which must rank as the farthest so that the walk goes on.
    rng = random.Random(13)
    data = [[math.nan, 0.0, 0.0, 0.0]] + [[rng.random() for _ in range(4)] for _ in range(1500)]
    index = tamsel.PyHNSW(4, metric="euclidean", ef_search=20)
    index.create(data)
    for target in range(1, 1500, 75):
        query = (data[target] + [0.0])[:query_length]
        found = index.search(query, k=1)
        assert found and found[0][0] == 0.0 and found[0][1] == data[target]


# ---------------------------------------------------------------- metadata and filters


def typed(value):
    """The stored form of a metadata value: typed by its Python type, text
    before integer before float."""
    if isinstance(value, str):
        return "text", value.encode("utf-8")
    if isinstance(value, int) and -(2**63) <= value < 2**63:
        return "integer", int(value)
    return "float", float(value)


def same_value(a, b):
    (kind_a, payload_a), (kind_b, payload_b) = typed(a), typed(b)
    return kind_a == kind_b and payload_a == payload_b  # IEEE equality for floats


VALUES = [
    1,
    True,
    1.0,
    0,
    False,
    0.0,
    -0.0,
    math.nan,
    2**63,
    float(2**63),
    -(2**63),
    2**63 - 1,
    2**70,
    "a",
    "A",
    "a ",
    "1",
    Text("1"),
    "\u00e9",
    "e\u0301",
    "",
    3.5,
]
PROBES = VALUES + [2, "b", float(2**70), 1.0000000000000002]


@pytest.fixture(scope="module")
def typed_index():
    """Vector i at (i, 0); one value of attribute "v" per vector, or none."""
    index = tamsel.PyHNSW(2, metric="euclidean", schema=["v", "w"])
    held = []

    def add(value, record=True):
        vector = [float(len(held)), 0.0]
        index.insert(vector, [("w", "x"), ("v", value)] if record else None)
        held.append((value, record))

    add(VALUES[0])
    add("a", record=False)  # every later vector must keep its own value
    for value in VALUES[1:]:
        add(value)
    index.create([[float(len(held)), 0.0], [float(len(held) + 1), 0.0]])  # no records
    held += [(1, False), ("a", False)]
    add(1)
    return index, held


@pytest.mark.parametrize("probe", PROBES, ids=[f"{type(p).__name__}-{p!r}" for p in PROBES])
def test_filter_matches_by_type_and_value(typed_index, probe):
    index, held = typed_index
    found = index.search([-1.0, 0.0], k=HUGE, filter=("v", probe))
    expected = [i for i, (value, record) in enumerate(held) if record and same_value(value, probe)]
    assert [int(vector[0]) for _, vector in found] == expected
    assert all(distance == euclidean([-1.0, 0.0], vector) for distance, vector in found)


@pytest.mark.parametrize(
    "filter_pair, expected",
    [
        (("size", 7), [0]),
        (("size", 42), [1]),
        (("color", "blue"), [0]),
        (("color", "red"), [1]),
        (("twice", 5), [0, 1]),
        (("extra", 1), "Search error: AttributeNotFound"),
    ],
)
def test_record_follows_the_schema_order_and_the_last_pair_of_a_name(filter_pair, expected):
    index = tamsel.PyHNSW(2, metric="euclidean", schema=["color", "twice", "size", "twice"])
    # Pair order plays no part, the last pair of a name wins, unknown names are never converted.
    index.insert([0.0, 0.0], [("size", 42), ("twice", 5), ("color", "blue"), ("extra", None), ("size", 7)])
    index.insert([1.0, 0.0], (("twice", 5), ("color", "red"), ("size", 42)))
    if isinstance(expected, str):
        with pytest.raises(ValueError) as excinfo:
            index.search([0.0, 0.0], k=5, filter=filter_pair)
        assert excinfo.value.args == (expected,)
    else:
        found = index.search([0.0, 0.0], k=5, filter=filter_pair)
        assert [int(vector[0]) for _, vector in found] == expected


CONVERSION_PLACES = {
    "insert": lambda index, value: index.insert([0.0, 0.0], [("a", value)]),
    "create": lambda index, value: index.create([[0.0, 0.0]], [[("a", value)]]),
    "filter": lambda index, value: index.search([0.0, 0.0], filter=("a", value)),
}


@pytest.mark.parametrize("place", CONVERSION_PLACES.values(), ids=CONVERSION_PLACES.keys())
@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
def test_interrupts_in_a_metadata_conversion_are_not_a_failed_try(place, error):
    index = tamsel.PyHNSW(2, metric="euclidean", schema=["a"])
    index.insert([1.0, 1.0], [("a", 0)])
    raised = error("while converted")
    with pytest.raises(error) as excinfo:
        place(index, Raising(raised))
    assert excinfo.value is raised
    # Any other failure is a failed try: the value is of no supported type.
    with pytest.raises(ValueError, match="Unsupported"):
        place(index, Raising(LookupError()))
    assert index.search([1.0, 1.0], k=5) == [(0.0, [1.0, 1.0])]


# ---------------------------------------------------------------- recall
#
# Which path answers a filter (the holders scored, or a walk) is the planner's
# choice from the holder count, the dimension and ef_search (src/core/hnsw.cpp);
# the C++ core tests force each path. Here the filters run at the default
# ef_search and at ef_search 10.

N, DIM, K = 3000, 12, 10
UNRECORDED = set(range(5, 15))  # stored without metadata: they match nothing
HOLDERS = {"half": 1500, "three": 90, "rare": 24, "most": 2400}
MATCH = {"half": 1, "three": "in", "rare": 1.5, "most": 1}


@pytest.fixture(scope="module")
def dataset():
    rng = random.Random(2024)
    vectors = [[rng.gauss(0.0, 1.0) for _ in range(DIM)] for _ in range(N)]
    holders = {}
    for name, count in HOLDERS.items():
        others = list(range(1, N))  # node 0, the entry point, matches none of the filters
        rng.shuffle(others)
        holders[name] = set(others[:count]) - UNRECORDED
    miss = {"half": 0, "three": "out", "rare": 0.0, "most": 0}
    metadata = [[(name, MATCH[name] if i in holders[name] else miss[name]) for name in HOLDERS] for i in range(N)]
    queries = [[rng.gauss(0.0, 1.0) for _ in range(DIM)] for _ in range(40)] + [vectors[0], vectors[17]]
    indexes = {}
    for label, params in {"default": {}, "narrow": {"ef_construction": 64, "ef_search": K}}.items():
        index = tamsel.PyHNSW(DIM, metric="euclidean", schema=list(HOLDERS), **params)
        index.create(vectors[:5], metadata[:5])
        index.create(vectors[5:15])
        index.create(vectors[15:], metadata[15:])
        indexes[label] = index
    return vectors, holders, queries, indexes


@pytest.mark.parametrize(
    "label, attribute, least",
    [
        ("default", None, 0.95),
        ("default", "three", 0.9),
        ("default", "half", 0.9),
        ("default", "rare", 0.9),
        ("narrow", "half", 0.9),
        ("narrow", "most", 0.9),
        ("narrow", "three", 0.9),
    ],
    ids=["unfiltered", "3%", "50%", "0.8%", "50%-ef10", "80%-ef10", "3%-ef10"],
)
def test_recall_at_10(dataset, label, attribute, least):
    vectors, holders, queries, indexes = dataset
    ids = list(range(N)) if attribute is None else sorted(holders[attribute])
    position = {tuple(v): i for i, v in enumerate(vectors)}
    filter_pair = None if attribute is None else (attribute, MATCH[attribute])
    flat = tamsel.PyFlat(DIM)
    flat.create([vectors[i] for i in ids])
    total = 0
    for query in queries:
        found = [position[tuple(vector)] for _, vector in indexes[label].search(query, K, filter_pair)]
        assert len(found) == K
        assert set(found) <= set(ids), "a vector that does not match the filter was returned"
        total += len(set(found) & {ids[j] for j, _ in flat.search(query, K)})
    assert total / (K * len(queries)) >= least
