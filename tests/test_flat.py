"""PyFlat: the exact index. Stored vectors, search results and their order,
every message and the state after each failure, and distances that are
bit-identical to the sequential sums."""

import math
import random
import struct

import pytest
import tamsel
from helpers import stored_vectors

ALL = 2**64 - 1  # a k larger than any index

# ---------------------------------------------------------------- reference arithmetic
#
# Sums from the first component to the last, starting at 0.0, each product
# rounded before it is added: exactly what Python's float operations do.


def euclidean(query, vector):
    total = 0.0
    for a, b in zip(query, vector):
        d = a - b
        total += d * d
    return math.sqrt(total)


def dot(query, vector):
    total = 0.0
    for a, b in zip(query, vector):
        total += a * b
    return total


def ieee_divide(a, b):
    if b == 0.0:
        if a == 0.0 or math.isnan(a):
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


def cosine(query, vector):
    return ieee_divide(dot(query, vector), math.sqrt(dot(query, query)) * math.sqrt(dot(vector, vector)))


REFERENCE = {None: euclidean, "inner_product": dot, "cosine": cosine}
METRICS = list(REFERENCE)


def bits(value):
    return struct.pack("<d", value)


def same_float(a, b):
    return (math.isnan(a) and math.isnan(b)) or bits(a) == bits(b)


def reference_search(metric, vectors, query, k):
    """All scores, ordered by (score, id) with NaN after every number."""
    scores = [REFERENCE[metric](query, vector) for vector in vectors]
    order = sorted(
        range(len(vectors)), key=lambda i: (math.isnan(scores[i]), 0.0 if math.isnan(scores[i]) else scores[i], i)
    )
    return [(i, scores[i]) for i in order[:k]]


def assert_same_results(found, expected):
    assert [i for i, _ in found] == [i for i, _ in expected]
    for (i, score), (_, wanted) in zip(found, expected):
        assert same_float(score, wanted), (i, score, wanted)


def random_component(rng):
    # Magnitudes far apart, so that any other order of the sums rounds differently.
    return rng.uniform(-1.0, 1.0) * 2.0 ** rng.randint(-30, 30)


def random_vectors(rng, n, dim):
    return [[random_component(rng) for _ in range(dim)] for _ in range(n)]


def flat(dim, metric=None, vectors=()):
    index = tamsel.PyFlat(dim, metric)
    if vectors:
        index.create(vectors)
    return index


# ---------------------------------------------------------------- results


def test_euclidean_example():
    index = flat(2, vectors=[[0, 0], [3, 4], [1, 0]])
    assert index.search([0, 0], k=2) == [(0, 0.0), (2, 1.0)]
    assert index.search([0, 0], k=10) == [(0, 0.0), (2, 1.0), (1, 5.0)]


def test_inner_product_lists_least_similar_first():
    index = flat(2, "inner_product", [[1, 0], [2, 0]])
    assert index.search([1, 0], k=2) == [(0, 1.0), (1, 2.0)]


def test_cosine_lists_least_similar_first():
    index = flat(2, "cosine", [[1, 0], [-1, 0], [0, 1]])
    assert index.search([1, 0], k=3) == [(1, -1.0), (2, 0.0), (0, 1.0)]


def test_results_are_lists_of_int_float_tuples():
    found = flat(2, vectors=[[0, 0], [3, 4]]).search([0, 0], k=2)
    assert type(found) is list
    for entry in found:
        assert type(entry) is tuple and len(entry) == 2
        assert type(entry[0]) is int and type(entry[1]) is float


@pytest.mark.parametrize(
    "k, count",
    [(None, 1), (0, 0), (1, 1), (4, 4), (5, 5), (6, 5), (1000, 5), (2**32, 5), (ALL, 5)],
)
def test_k_picks_the_first_k(k, count):
    vectors = [[4.0], [1.0], [3.0], [0.0], [2.0]]
    index = flat(1, vectors=vectors)
    everything = [(3, 0.0), (1, 1.0), (4, 2.0), (2, 3.0), (0, 4.0)]
    found = index.search([0.0]) if k is None else index.search([0.0], k=k)
    assert found == everything[:count]


@pytest.mark.parametrize("metric", METRICS)
def test_ties_are_listed_by_id(metric):
    same, other = [1.0, 2.0], [-3.0, 0.5]
    vectors = [other, same, other, same, same, other, same]
    index = flat(2, metric, vectors)
    query = [0.5, -1.0]
    for k in range(len(vectors) + 2):
        assert_same_results(index.search(query, k=k), reference_search(metric, vectors, query, k))
    groups = {}
    for i, score in index.search(query, k=ALL):
        groups.setdefault(score, []).append(i)
    assert sorted(groups.values()) == [[0, 2, 5], [1, 3, 4, 6]]


def test_cosine_zero_vectors_score_nan_after_every_number():
    vectors = [[0.0, 0.0], [1.0, 1.0], [0.0, 0.0], [-1.0, 0.0], [0.0, 0.0], [3.0, 0.0]]
    index = flat(2, "cosine", vectors)
    found = index.search([1.0, 0.0], k=ALL)
    assert [i for i, _ in found] == [3, 1, 5, 0, 2, 4]
    assert all(math.isnan(score) for _, score in found[3:])
    assert [score for _, score in found[:3]] == [-1.0, cosine([1.0, 0.0], [1.0, 1.0]), 1.0]
    # k stops inside the NaN group at the smallest ids.
    assert [i for i, _ in index.search([1.0, 0.0], k=5)] == [3, 1, 5, 0, 2]


@pytest.mark.parametrize("metric", METRICS)
def test_query_that_makes_every_score_nan(metric):
    query = [0.0, 0.0] if metric == "cosine" else [math.nan, 1.0]
    index = flat(2, metric, [[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]])
    found = index.search(query, k=ALL)
    assert [i for i, _ in found] == [0, 1, 2]
    assert all(math.isnan(score) for _, score in found)


def test_infinities_are_numbers_and_nan_comes_last():
    inf = math.inf
    vectors = [[inf, 0.0], [1.0, 0.0], [-inf, 0.0], [inf, 0.0], [0.0, 0.0]]
    index = flat(2, None, vectors)
    assert_same_results(index.search([inf, 0.0], k=ALL), reference_search(None, vectors, [inf, 0.0], ALL))
    found = index.search([inf, 0.0], k=ALL)
    assert [i for i, _ in found] == [1, 2, 4, 0, 3]  # inf for 1, 2, 4; inf - inf is NaN for 0 and 3
    assert found[2][1] == inf and math.isnan(found[3][1])


# ---------------------------------------------------------------- metric selection

METRIC_NAMES = [
    (None, None),
    ("cosine", "cosine"),
    ("inner_product", "inner_product"),
    (type("Name", (str,), {})("cosine"), "cosine"),
    ("Cosine", None),
    ("COSINE", None),
    ("cosine ", None),
    (" cosine", None),
    ("cosin", None),
    ("cosine\x00", None),
    ("inner-product", None),
    ("innerproduct", None),
    ("Inner_Product", None),
    ("inner_product\x00x", None),
    ("euclidean", None),
    ("angular", None),
    ("", None),
    ("cosiné", None),
]


@pytest.mark.parametrize("name, chosen", METRIC_NAMES, ids=[repr(name) for name, _ in METRIC_NAMES])
def test_metric_is_chosen_by_its_exact_name(name, chosen):
    # Vectors on which the three metrics give three different orders.
    vectors = [[4.0, 3.0], [1.0, 0.0], [-2.0, -1.0], [0.5, 2.0]]
    query = [1.0, 0.5]
    orders = {m: [i for i, _ in reference_search(m, vectors, query, ALL)] for m in METRICS}
    assert len({tuple(order) for order in orders.values()}) == 3
    found = flat(2, name, vectors).search(query, k=ALL)
    assert_same_results(found, reference_search(chosen, vectors, query, ALL))


# ---------------------------------------------------------------- insert, create and their failures


def test_insert_and_create_return_none_and_append_in_order():
    index = tamsel.PyFlat(2, "inner_product")
    assert index.insert([1.0, 2.0]) is None
    assert index.create([[3.0, 4.0], [5.0, 6.0]]) is None
    assert index.insert((7.0, 8.0)) is None
    assert index.create([[9.0, 10.0]]) is None
    assert stored_vectors(index, 2) == [[1.0, 2.0], [3.0, 4.0], [5.0, 6.0], [7.0, 8.0], [9.0, 10.0]]


def test_create_after_insert_continues_the_ids():
    index = tamsel.PyFlat(1)
    index.insert([5.0])
    index.create([[1.0], [2.0]])
    assert index.search([1.0], k=3) == [(1, 0.0), (2, 1.0), (0, 4.0)]


def test_indexes_share_nothing():
    first, second = tamsel.PyFlat(1, "inner_product"), tamsel.PyFlat(1, "inner_product")
    first.insert([1.0])
    second.create([[2.0], [3.0]])
    assert stored_vectors(first, 1) == [[1.0]]
    assert stored_vectors(second, 1) == [[2.0], [3.0]]


@pytest.mark.parametrize("length", [0, 2, 4, 30])
def test_insert_of_wrong_length_changes_nothing(length):
    index = flat(3, "inner_product", [[1.0, 2.0, 3.0]])
    with pytest.raises(ValueError) as excinfo:
        index.insert([0.5] * length)
    assert type(excinfo.value) is ValueError
    assert excinfo.value.args == (f"Expected vector of length 3, got {length}",)
    assert stored_vectors(index, 3) == [[1.0, 2.0, 3.0]]


@pytest.mark.parametrize("filled", [False, True], ids=["empty", "filled"])
@pytest.mark.parametrize("length", [0, 2, 4])
def test_search_checks_the_query_length_before_emptiness(filled, length):
    index = flat(3, None, [[1.0, 2.0, 3.0]] if filled else ())
    with pytest.raises(ValueError) as excinfo:
        index.search([0.0] * length)
    assert excinfo.value.args == (f"Expected query of length 3, got {length}",)


def test_search_on_an_empty_index():
    index = tamsel.PyFlat(3)
    for k in (None, 0, 1, ALL):
        with pytest.raises(ValueError) as excinfo:
            index.search([0, 0, 0], k=k)
        assert type(excinfo.value) is ValueError
        assert excinfo.value.args == ("Search error: EmptyIndex",)


@pytest.mark.parametrize("empty", [[], (), range(0)], ids=["list", "tuple", "range"])
def test_create_with_no_vectors(empty):
    index = flat(2, "inner_product", [[1.0, 2.0]])
    with pytest.raises(ValueError) as excinfo:
        index.create(empty)
    assert excinfo.value.args == ("Create error: EmptyVectors",)
    assert stored_vectors(index, 2) == [[1.0, 2.0]]


@pytest.mark.parametrize(
    "batch, bad, kept",
    [
        ([[1, 2], [3], [5, 6]], 1, [[1, 2]]),
        ([[7, 8, 9], [1, 2]], 3, []),
        ([[1, 2], [3, 4], [5, 6], []], 0, [[1, 2], [3, 4], [5, 6]]),
        ([[1, 2], [3, 4, 5], [6]], 3, [[1, 2]]),
    ],
    ids=["middle", "first", "last", "two-wrong"],
)
@pytest.mark.parametrize("before", [[], [[-1.0, -2.0]]], ids=["fresh", "after-insert"])
def test_create_stops_at_the_first_wrong_length(batch, bad, kept, before):
    index = tamsel.PyFlat(2, "inner_product")
    for vector in before:
        index.insert(vector)
    with pytest.raises(ValueError) as excinfo:
        index.create(batch)
    assert excinfo.value.args == (f"Vector length {bad} does not match index dimension 2",)
    assert stored_vectors(index, 2) == before + [[float(x) for x in v] for v in kept]


@pytest.mark.parametrize(
    "batch, error",
    [
        ([[1, 2], [3], "ab"], "argument 'vectors': Can't extract `str` to `Vec`"),
        ([[1, 2], [3], None], "argument 'vectors': 'NoneType' object cannot be converted to 'Sequence'"),
        ([[1, 2], [3, 4], [5, "x"]], None),
    ],
    ids=["str-after-short", "None-after-short", "bad-element-last"],
)
def test_create_converts_everything_before_checking(batch, error):
    index = flat(2, "inner_product", [[1.0, 1.0]])
    with pytest.raises(TypeError) as excinfo:
        index.create(batch)
    if error is None:
        assert str(excinfo.value).startswith("argument 'vectors': ")
    else:
        assert excinfo.value.args == (error,)
    assert stored_vectors(index, 2) == [[1.0, 1.0]]


@pytest.mark.parametrize(
    "filled, query, k, error",
    [
        (False, "ab", -1, TypeError),  # the query first
        (False, [0.0], -1, OverflowError),  # then k, before the length check
        (True, [0.0], 2.0, TypeError),
        (False, [0.0, 0.0, 0.0], 2.0, TypeError),  # k before emptiness
        (False, [0.0, 0.0, 0.0], -1, OverflowError),
    ],
    ids=["query-before-k", "k-before-length", "k-type-before-length", "k-type-before-empty", "k-range-before-empty"],
)
def test_search_converts_before_it_checks(filled, query, k, error):
    index = flat(3, None, [[1.0, 2.0, 3.0]] if filled else ())
    with pytest.raises(error) as excinfo:
        index.search(query, k=k)
    if error is TypeError:
        parameter = "query" if isinstance(query, str) else "k"
        assert str(excinfo.value).startswith(f"argument '{parameter}': ")


def test_dimension_zero():
    index = tamsel.PyFlat(0)
    for _ in range(3):
        assert index.insert([]) is None
    assert index.create([[], [], ()]) is None
    # Nothing is ever stored, so the index stays empty.
    with pytest.raises(ValueError) as excinfo:
        index.search([])
    assert excinfo.value.args == ("Search error: EmptyIndex",)
    with pytest.raises(ValueError) as excinfo:
        index.search([], k=0)
    assert excinfo.value.args == ("Search error: EmptyIndex",)
    with pytest.raises(ValueError) as excinfo:
        index.insert([1.0])
    assert excinfo.value.args == ("Expected vector of length 0, got 1",)
    with pytest.raises(ValueError) as excinfo:
        index.create([[], [1.0], []])
    assert excinfo.value.args == ("Vector length 1 does not match index dimension 0",)
    with pytest.raises(ValueError) as excinfo:
        index.search([1.0])
    assert excinfo.value.args == ("Expected query of length 0, got 1",)
    with pytest.raises(ValueError) as excinfo:
        index.create([])
    assert excinfo.value.args == ("Create error: EmptyVectors",)


# ---------------------------------------------------------------- exact arithmetic


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 6, 7, 8, 9, 37, 261])
@pytest.mark.parametrize("dim", [1, 3, 17, 128])
@pytest.mark.parametrize("metric", METRICS, ids=str)
def test_distances_are_the_sequential_sums(metric, dim, n):
    rng = random.Random(f"{metric}-{dim}-{n}")
    vectors = random_vectors(rng, n, dim)
    index = tamsel.PyFlat(dim, metric)
    index.insert(vectors[0])
    if n > 1:
        index.create(vectors[1:])
    for query in (random_vectors(rng, 1, dim)[0], vectors[-1]):
        scores = dict(index.search(query, k=n))
        assert sorted(scores) == list(range(n))
        for i, vector in enumerate(vectors):
            assert same_float(scores[i], REFERENCE[metric](query, vector)), (i, scores[i])


@pytest.mark.parametrize("n", [1, 4, 5, 9])
def test_sums_start_from_positive_zero(n):
    # Every product is -0.0; 0.0 + -0.0 is +0.0, while a sum started from the
    # first product would stay -0.0.
    index = flat(3, "inner_product", [[1.0, 2.0, 3.0]] * n)
    for i, score in index.search([-0.0, -0.0, -0.0], k=n):
        assert bits(score) == bits(0.0), (i, score)


def test_sums_run_from_first_to_last_component():
    vectors = [[1e16, 1.0, -1e16, 1.0], [1.0, 1e16, 1.0, -1e16], [1e16, -1e16, 1.0, 1.0]] * 3
    index = flat(4, "inner_product", vectors)
    found = dict(index.search([1.0, 1.0, 1.0, 1.0], k=ALL))
    # Left to right: 1e16 swallows the 1.0 added to it.
    assert [found[i] for i in range(3)] == [1.0, 0.0, 2.0]
    assert [found[i] for i in range(len(vectors))] == [dot([1.0] * 4, v) for v in vectors]


# ---------------------------------------------------------------- against a brute-force reference


def random_dataset(rng):
    dim = rng.randint(1, 8)
    n = rng.randint(1, 70)
    vectors = []
    for _ in range(n):
        roll = rng.random()
        if vectors and roll < 0.15:
            vectors.append(list(rng.choice(vectors)))  # a duplicate: a tie
        elif roll < 0.22:
            vectors.append([0.0] * dim)  # NaN for cosine
        elif roll < 0.26:
            vector = [random_component(rng) for _ in range(dim)]
            vector[rng.randrange(dim)] = rng.choice([math.inf, -math.inf])
            vectors.append(vector)
        else:
            vectors.append([float(rng.randint(-3, 3)) if roll < 0.5 else random_component(rng) for _ in range(dim)])
    return dim, vectors


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("metric", METRICS, ids=str)
def test_search_matches_a_brute_force_reference(metric, seed):
    rng = random.Random(seed * 31 + METRICS.index(metric))
    dim, vectors = random_dataset(rng)
    n = len(vectors)
    index = tamsel.PyFlat(dim, metric)
    split = rng.randint(0, n)
    for vector in vectors[:split]:
        index.insert(vector)
    if split < n:
        index.create(vectors[split:])
    queries = [[random_component(rng) for _ in range(dim)], list(rng.choice(vectors)), [0.0] * dim]
    queries.append([float(rng.randint(-3, 3)) for _ in range(dim)])
    ks = sorted({0, 1, 2, 3, n // 2, n - 1, n, n + 1, 10 * n, ALL, rng.randint(0, n)})
    for query in queries:
        for k in ks:
            assert_same_results(index.search(query, k=k), reference_search(metric, vectors, query, k))
