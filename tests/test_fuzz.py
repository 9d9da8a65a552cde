"""Generated calls into every constructor and method of both classes.

Each call gets arguments drawn from everything a Python caller can hand over:
positional and keyword mixes, unknown and repeated keywords, wrong types,
None, nested sequences of mixed types, huge and negative integers, NaN and
infinities, strings with lone surrogates, tuples of the wrong length, buffers
of odd formats, and objects whose ``__float__``, ``__index__``, ``__len__`` or
``__iter__`` raise or call back into the index being called.

Every call must return normally or raise one of the exception types the
calling frame documents (or the exception a caller's own callback raised);
afterwards the index must be free and usable, and a call that failed where the
failure changes nothing must leave the stored contents exactly as they were
(compared by searches before and after).

The example count is bounded and the generation is derandomised, so CI runs
the same examples every time. A longer run is one variable away:

    TAMSEL_FUZZ_EXAMPLES=20000 python -m pytest tests/test_fuzz.py
"""

import array
import functools
import math
import os
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import tamsel
from helpers import (
    HUGE,
    AsFloat,
    AsIndex,
    Boom,
    FloatSub,
    Hook,
    IntSub,
    Iterating,
    Raising,
    Text,
    TupleSub,
    TypeBoom,
    raising,
)

try:
    import numpy
except ImportError:  # numpy is optional on PyPy
    numpy = None

# A callback's `__index__` may return a bool, which the interpreter accepts
# with a deprecation warning; that warning is the interpreter's business.
# Generating the arguments (numpy casts of complex or out-of-range values)
# warns too; none of it concerns the calls under test.
pytestmark = [
    pytest.mark.filterwarnings("ignore::DeprecationWarning"),
    pytest.mark.filterwarnings("ignore::RuntimeWarning"),
    pytest.mark.filterwarnings("ignore:Casting complex values"),
]

EXAMPLES = int(os.environ.get("TAMSEL_FUZZ_EXAMPLES", "150"))

FUZZ = settings(
    max_examples=EXAMPLES,
    derandomize=True,
    database=None,
    deadline=None,
    print_blob=False,
    suppress_health_check=list(HealthCheck),
)


DOCUMENTED = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError, Boom)
BORROW_MESSAGES = ("Already borrowed", "Already mutably borrowed")

# The index the hostile objects call back into; set before every call.
TARGET = {"index": None, "dim": 0, "mutated": False}


# ---------------------------------------------------------------- hostile objects


def reenter(method, swallow=False):
    """Calls `method` on the index under test with valid arguments.

    A refused use must be one of the two borrow errors; unless swallowed, it
    is re-raised so that it travels out through the outer call. A re-entrant
    insert or create that succeeds (only possible while a constructor
    converts its arguments) is recorded, since the index then changed
    legitimately.
    """
    index = TARGET["index"]
    if index is None:
        return
    dim = TARGET["dim"]
    args = {
        "insert": ([0.5] * dim,),
        "create": ([[0.25] * dim],),
        "search": ([0.0] * dim,),
    }[method]
    try:
        getattr(index, method)(*args)
    except RuntimeError as error:
        assert str(error) in BORROW_MESSAGES, f"re-entrant {method}: {error!r}"
        if swallow:
            return
        raise
    if method != "search":
        TARGET["mutated"] = True


def reentering(method, swallow):
    """A number whose conversion calls `method` of the index under test."""
    return Hook(functools.partial(reenter, method, swallow))


def hostile_sequence(items, length=None, fail=None, reentry=None):
    """A sequence whose protocol methods may lie, raise (`fail`: "len", "iter",
    "getitem" or "midway") or re-enter the index (`reentry`: "len", whose
    search's refusal is swallowed, or the method its __iter__ calls)."""
    hooks = {}
    if reentry == "len":
        hooks["on_len"] = functools.partial(reenter, "search", True)
    elif reentry is not None:
        hooks["on_iter"] = functools.partial(reenter, reentry)
    if fail == "midway":
        hooks["midway"] = raising(Boom("midway"))
    elif fail is not None:
        hooks["on_" + fail] = raising(Boom(f"from __{fail}__"))
    return Iterating(items, length, **hooks)


# ---------------------------------------------------------------- strategies

special_floats = st.sampled_from([0.0, -0.0, 1.0, -1.0, math.inf, -math.inf, math.nan, 5e-324, 1.7976931348623157e308])
floats = st.one_of(st.floats(allow_nan=True, allow_infinity=True), special_floats)
edge_ints = st.sampled_from(
    [0, 1, -1, 2, 3, 16, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63, -(2**63), HUGE, 2**64, -(2**64), 10**40, -(10**40)]
)
ints = st.one_of(st.integers(min_value=-(2**130), max_value=2**130), edge_ints, st.booleans())
surrogate_texts = st.sampled_from(["\ud800", "a\udfffb", "\udc80euclidean", "cosine\ud83d", "\x00", ""])
any_text = st.one_of(
    st.text(st.characters(min_codepoint=0, max_codepoint=0x10FFFF, blacklist_categories=()), max_size=12),
    surrogate_texts,
    st.sampled_from(["euclidean", "angular", "inner_product", "cosine", "Euclidean", "euclidean "]),
    st.builds(Text, st.sampled_from(["euclidean", "cosine", "a", "b"])),
)
errors = st.sampled_from([Boom, TypeBoom, TypeError, ValueError, OverflowError, MemoryError])
methods = st.sampled_from(["insert", "create", "search"])
hostile_numbers = st.one_of(
    st.builds(AsFloat, st.one_of(floats, ints, st.none(), any_text)),
    st.builds(AsIndex, st.one_of(ints, floats, st.none())),
    st.builds(Raising, errors, st.sampled_from(["float", "index"])),
    st.builds(reentering, methods, st.booleans()),
    st.builds(FloatSub, floats),
    st.builds(IntSub, st.integers(min_value=-5, max_value=2**70)),
    st.builds(Fraction, st.integers(-5, 5), st.integers(1, 7)),
    st.builds(complex, floats, floats),
)


def buffers(draw_dim=None):
    """Buffers that the fast path may read, in every format it knows and some it does not."""
    parts = [
        st.builds(lambda v: memoryview(bytes(v)).cast("?"), st.lists(st.integers(0, 255), max_size=4)),
        st.builds(lambda v: memoryview(bytes(v)).cast("b"), st.lists(st.integers(0, 255), max_size=4)),
        st.builds(lambda v: array.array("d", v), st.lists(floats, max_size=4)),
        st.builds(lambda v: array.array("q", v), st.lists(st.integers(-(2**63), 2**63 - 1), max_size=4)),
        st.builds(lambda v: array.array("Q", v), st.lists(st.integers(0, HUGE), max_size=4)),
        st.builds(lambda v: array.array("f", v), st.lists(st.floats(width=32), max_size=4)),
        st.builds(lambda v: array.array("u", v), st.text(max_size=3)),
        st.builds(bytes, st.lists(st.integers(0, 255), max_size=4)),
        st.builds(bytearray, st.lists(st.integers(0, 255), max_size=4)),
        st.builds(lambda v: memoryview(array.array("d", v))[::-1], st.lists(floats, max_size=4)),
    ]
    if numpy is not None:
        dtypes = st.sampled_from(["f8", "f4", "f2", "i1", "u8", "i8", "?", "c16", "O", ">f8", "U3"])
        parts.append(
            st.builds(
                lambda dt, shape, data: (
                    numpy.resize(numpy.array(data, dtype=object), shape).astype(dt)
                    if dt in ("O", "U3")
                    else numpy.resize(numpy.array(data), shape).astype(dt)
                ),
                dtypes,
                st.sampled_from([(0,), (1,), (3,), (2, 3), (3, 0), (0, 3), (1, 1), (2, 3, 1)]),
                st.lists(st.floats(-1e6, 1e6), min_size=1, max_size=6),
            )
        )
        parts.append(
            st.builds(lambda n: numpy.arange(n * 3, dtype="f8").reshape(3, n).T, st.integers(0, 4))
        )  # not C-contiguous
    return st.one_of(parts)


scalars = st.one_of(floats, ints, st.none(), any_text, hostile_numbers, st.binary(max_size=3))


def junk(depth_children):
    return st.one_of(
        st.lists(depth_children, max_size=4),
        st.lists(depth_children, max_size=4).map(tuple),
        st.lists(depth_children, max_size=4).map(TupleSub),
        st.dictionaries(st.text(max_size=2), depth_children, max_size=2),
        st.frozensets(st.integers(0, 3), max_size=3),
        st.builds(
            hostile_sequence,
            st.lists(depth_children, max_size=4),
            st.one_of(st.none(), st.integers(-3, 2**70)),
            st.sampled_from([None, "len", "iter", "getitem", "midway"]),
            st.sampled_from([None, "len", "insert", "create", "search"]),
        ),
    )


anything = st.recursive(st.one_of(scalars, buffers()), junk, max_leaves=12)


def mostly(valid, *others):
    """`valid` about two draws in three, one of `others` otherwise.

    `one_of` draws its branches alike and drops repeated ones, so the valid
    branch is repeated as distinct (identity-mapped) strategies.
    """
    copies = [valid.map(lambda value: value) for _ in range(2 * len(others))]
    return st.one_of(*copies, *others)


def vector_of(dim):
    """Mostly well-formed vectors of `dim` numbers, with poisoned elements now and then."""
    good = st.lists(st.floats(-1e3, 1e3), min_size=dim, max_size=dim)
    element = st.one_of(floats, ints, hostile_numbers, st.none(), any_text)
    return mostly(
        st.one_of(good, good.map(tuple)),
        st.lists(floats, min_size=dim, max_size=dim),
        st.lists(element, min_size=dim, max_size=dim),
        st.lists(st.floats(-1e3, 1e3), min_size=0, max_size=dim + 2),
        st.builds(
            hostile_sequence,
            good,
            st.one_of(st.none(), st.integers(-3, 2**70)),
            st.sampled_from([None, None, "len", "iter", "midway"]),
            st.sampled_from([None, "len", "insert", "create", "search"]),
        ),
        buffers(),
        anything,
    )


def vectors_of(dim):
    row = vector_of(dim)
    good = st.lists(st.lists(st.floats(-1e3, 1e3), min_size=dim, max_size=dim), min_size=1, max_size=5)
    parts = [
        st.lists(row, max_size=5),
        st.lists(row, max_size=5).map(tuple),
        st.builds(
            hostile_sequence,
            st.lists(row, max_size=4),
            st.one_of(st.none(), st.integers(-3, 2**70)),
            st.sampled_from([None, "len", "iter", "midway"]),
            st.sampled_from([None, "insert", "create", "search"]),
        ),
        anything,
    ]
    if numpy is not None:
        parts.append(
            st.builds(lambda n, c: numpy.ones((n, c)), st.integers(0, 4), st.sampled_from([dim, dim, 0, dim + 1]))
        )
    return mostly(good, *parts)


NAMES = ["a", "b", "c"]
metadata_value = st.one_of(st.integers(-3, 3), st.sampled_from(["x", "y"]), st.floats(), scalars)
pair = st.one_of(
    st.tuples(st.sampled_from(NAMES), metadata_value),
    st.tuples(st.sampled_from(NAMES), metadata_value).map(TupleSub),
    st.tuples(any_text, metadata_value),
    st.lists(scalars, max_size=3).map(tuple),
    st.lists(st.sampled_from(NAMES), min_size=2, max_size=2),  # a list, not a tuple
    scalars,
)
good_pairs = st.lists(
    st.tuples(st.sampled_from(NAMES), st.one_of(st.integers(-3, 3), st.sampled_from(["x", "y"]))), max_size=4
)
pairs = mostly(good_pairs, st.lists(pair, max_size=4), st.lists(pair, max_size=4).map(tuple), anything)
metadata_lists = mostly(st.lists(good_pairs, min_size=1, max_size=5), st.lists(pairs, max_size=5), anything)
filters = mostly(
    st.tuples(st.sampled_from(NAMES), st.integers(0, 2)),
    st.tuples(st.sampled_from(NAMES), metadata_value),
    pair,
    anything,
)
sizes = mostly(st.one_of(st.none(), st.integers(0, 70)), ints, hostile_numbers, floats, any_text, anything)


def parameter_values(cls, method, dim):
    """One strategy per parameter, in the parameter table's order."""
    if cls is tamsel.PyFlat:
        return {
            "__new__": [("dim", sizes), ("metric", st.one_of(st.none(), any_text, anything))],
            "insert": [("vector", vector_of(dim))],
            "search": [("query", vector_of(dim)), ("k", sizes)],
            "create": [("vectors", vectors_of(dim))],
        }[method]
    return {
        "__new__": [
            ("dim", sizes),
            ("layers", sizes),
            ("m", sizes),
            ("ef_construction", sizes),
            ("ef_search", sizes),
            ("metric", st.one_of(st.just("euclidean"), st.none(), any_text, anything)),
            ("schema", st.one_of(st.none(), st.lists(st.sampled_from(NAMES)), st.lists(any_text), anything)),
        ],
        "insert": [("vector", vector_of(dim)), ("metadata", st.one_of(st.none(), pairs))],
        "search": [("query", vector_of(dim)), ("k", sizes), ("filter", st.one_of(st.none(), filters))],
        "create": [("vectors", vectors_of(dim)), ("metadata", st.one_of(st.none(), metadata_lists))],
    }[method]


@st.composite
def calls(draw, cls, method, dim):
    """(positional, keywords, values): a binding of generated values to the parameters."""
    params = parameter_values(cls, method, dim)
    given_values = {}
    for name, strategy in params:
        required = name == params[0][0]
        if required or draw(st.booleans()):
            given_values[name] = draw(strategy)
        # Hypothesis favours the ends of a range, so rare choices sit in the middle.
        if required and draw(st.integers(0, 30)) == 13:
            del given_values[name]  # a missing required argument
    names = [name for name, _ in params]
    n_positional = draw(st.integers(0, len(names)))
    positional = [given_values.get(name) for name in names[:n_positional]]
    keywords = {name: value for name, value in given_values.items() if name not in names[:n_positional]}
    # A few binding faults: an extra positional, an unknown keyword, a repeated one.
    fault = draw(st.integers(0, 20))
    if fault == 7:
        positional.append(draw(scalars))
    elif fault == 8:
        keywords[draw(st.sampled_from(["x", "Vector", "self", "\ud800", "kwargs"]))] = 1
    elif fault == 9 and n_positional:
        keywords[names[0]] = positional[0]
    effective = dict(zip(names, positional))
    effective.update(keywords)
    return positional, keywords, effective


# ---------------------------------------------------------------- observing an index


def flat_snapshot(index, dim):
    """Every stored vector's score against two probes, by id; an empty index gives {}."""
    if dim == 0:
        return {}
    snapshot = {}
    for probe in ([0.0] * dim, [1.0 + j for j in range(dim)]):
        try:
            found = index.search(probe, k=HUGE)
        except ValueError as error:
            assert str(error) == "Search error: EmptyIndex"
            return {}
        for vector_id, score in found:
            snapshot.setdefault(vector_id, []).append(repr(score))
    assert sorted(snapshot) == list(range(len(snapshot))), "ids are not dense"
    return snapshot


def hnsw_snapshot(index, dim):
    """The answers of a few searches: what an unchanged index must repeat exactly."""
    answers = []
    for probe in ([0.0] * dim, [1.0 + j for j in range(dim)], [-3.0] * dim):
        answers.append(repr(index.search(probe, k=1000)))
    return answers


def assert_free(index, dim):
    """Neither use of the object is still held: an exclusive and a shared call both get
    past the borrow to the conversion of their first argument."""
    with pytest.raises(TypeError, match="^argument 'vectors?': Can't extract `str` to `Vec`$"):
        index.create("not a batch")
    with pytest.raises(TypeError, match="^argument 'query': Can't extract `str` to `Vec`$"):
        index.search("not a query")


def invoke(callee, positional, keywords):
    """The call's result, or the exception it raised; anything undocumented fails the test."""
    try:
        return callee(*positional, **keywords), None
    except DOCUMENTED as error:
        if type(error).__name__ == "PanicException":
            raise AssertionError(f"internal failure: {error!r}") from error
        return None, error
    except BaseException as error:  # PanicException derives from BaseException
        raise AssertionError(f"undocumented exception {type(error).__qualname__}: {error!r}") from error


def check_flat_search_result(result, n, k):
    assert type(result) is list
    if isinstance(k, int) and not isinstance(k, bool) and k >= 0 or k is None or isinstance(k, bool):
        expected = min(1 if k is None else int(k), n)
        assert len(result) == expected
    ids = [entry[0] for entry in result]
    assert len(set(ids)) == len(ids)
    for entry in result:
        assert type(entry) is tuple and len(entry) == 2
        assert type(entry[0]) is int and 0 <= entry[0] < n
        assert type(entry[1]) is float
    keys = [(math.isnan(score), 0.0 if math.isnan(score) else score, i) for i, score in result]
    assert keys == sorted(keys), "results out of (score, id) order"


def check_hnsw_search_result(result, dim, k, ef_search):
    assert type(result) is list
    if isinstance(k, int) and k >= 0:
        assert len(result) <= min(k, ef_search)
    for entry in result:
        assert type(entry) is tuple and len(entry) == 2
        assert type(entry[0]) is float
        assert type(entry[1]) is list and len(entry[1]) == dim
        assert all(type(x) is float for x in entry[1])


# ---------------------------------------------------------------- PyFlat


@FUZZ
@given(data=st.data())
def test_flat_constructor_accepts_or_refuses_cleanly(data):
    positional, keywords, values = data.draw(calls(tamsel.PyFlat, "__new__", 0))
    TARGET.update(index=None, dim=0)
    index, error = invoke(tamsel.PyFlat, positional, keywords)
    if error is not None:
        return
    assert type(index) is tamsel.PyFlat
    dim = values["dim"]
    dim = int(dim)
    if dim <= 4:
        index.insert([0.5] * dim)
        index.create([[0.25] * dim, [1.0] * dim])
        if dim:
            assert len(index.search([0.0] * dim, k=10)) == 3
    with pytest.raises(ValueError):
        index.search([0.0] * (dim + 1) if dim < 8 else [])


FLAT_CONFIGS = [(0, None), (1, "inner_product"), (3, None), (3, "cosine")]


@settings(FUZZ, max_examples=2 * EXAMPLES)
@given(data=st.data())
def test_flat_methods_fail_cleanly_and_change_nothing(data):
    dim, metric = data.draw(st.sampled_from(FLAT_CONFIGS), label="dim, metric")
    method = data.draw(st.sampled_from(["insert", "search", "create"]), label="method")
    index = tamsel.PyFlat(dim, metric)
    seed = data.draw(st.lists(st.lists(st.floats(-10, 10), min_size=dim, max_size=dim), max_size=4))
    if seed:
        index.create(seed)
    TARGET.update(index=index, dim=dim, mutated=False)
    before = flat_snapshot(index, dim)
    positional, keywords, values = data.draw(calls(tamsel.PyFlat, method, dim))
    result, error = invoke(getattr(index, method), positional, keywords)
    TARGET["index"] = None
    event(f"PyFlat.{method}: {type(error).__name__ if error else 'ok'}")
    assert_free(index, dim)
    after = flat_snapshot(index, dim)
    n_before = len(seed) if dim else 0

    for vector_id, scores in before.items():
        assert after[vector_id] == scores, "a stored vector changed"
    added = len(after) - len(before)
    if method == "search":
        assert after == before
        if error is None:
            check_flat_search_result(result, n_before, values.get("k"))
    elif error is None:
        assert result is None
        if dim:
            assert added >= 1 and (method == "create" or added == 1)
    elif str(error).startswith("Vector length ") and method == "create":
        assert added >= 0  # the vectors before the offending one stay
    else:
        # Every other failure of insert and create changes nothing.
        assert after == before, f"{error!r} changed the index"


# ---------------------------------------------------------------- PyHNSW


@FUZZ
@given(data=st.data())
def test_hnsw_constructor_accepts_or_refuses_cleanly(data):
    positional, keywords, values = data.draw(calls(tamsel.PyHNSW, "__new__", 0))
    TARGET.update(index=None, dim=0)
    index, error = invoke(tamsel.PyHNSW, positional, keywords)
    if error is not None:
        return
    assert type(index) is tamsel.PyHNSW
    dim = int(values["dim"])
    if dim > 4:
        assert index.search([0.0], k=HUGE) == []  # an empty index answers anything
        return
    for _ in range(3):
        try:
            index.insert([0.5] * dim)
        except ValueError as error:  # ef_construction 0 refuses every later node
            assert str(error) == "Insert error: InvalidEF"
    try:
        found = index.search([0.0] * dim, k=HUGE)
    except ValueError as error:  # layers 0, ef_search 0
        assert str(error) in ("Search error: InvalidLayer", "Search error: InvalidEF")
    else:
        if dim == 0:
            assert found == []  # empty vectors are stored, but there is nothing to compare
        else:
            assert found and len(found) <= 3 and all(v == [0.5] * dim for _, v in found)


HNSW_CONFIGS = [
    dict(dim=3, metric="euclidean", schema=["a", "b"]),
    dict(dim=2, metric="angular", schema=None, m=2, ef_construction=4),
    dict(dim=1, metric="inner_product", schema=[]),
    dict(dim=0, metric="euclidean", schema=["a"]),
    dict(dim=3, metric="euclidean", schema=["a", "a"], ef_construction=0),
    dict(dim=2, metric="euclidean", schema=["b"], layers=0),
    dict(dim=2, metric="euclidean", schema=["a"], layers=1, ef_search=0),
]


def hnsw_seed(data, dim, schema):
    vectors = data.draw(st.lists(st.lists(st.floats(-10, 10), min_size=dim, max_size=dim), min_size=1, max_size=12))
    if schema is None:
        return vectors, None
    values = st.one_of(st.integers(0, 2), st.sampled_from(["x", "y"]), st.sampled_from([0.5, -0.0]))
    metadata = [[(name, data.draw(values)) for name in NAMES] for _ in vectors]
    return vectors, metadata


@settings(FUZZ, max_examples=3 * EXAMPLES)
@given(data=st.data())
def test_hnsw_methods_fail_cleanly_and_change_nothing(data):
    config = data.draw(st.sampled_from(HNSW_CONFIGS), label="config")
    method = data.draw(st.sampled_from(["insert", "search", "create"]), label="method")
    index = tamsel.PyHNSW(**config)
    dim, schema = config["dim"], config["schema"]
    vectors, metadata = hnsw_seed(data, dim, schema)
    try:
        index.create(vectors, metadata)
    except ValueError as error:
        assert str(error) == "Create error: InvalidEF"
    searchable = config.get("layers", 1) > 0 and config.get("ef_search", 1) > 0
    TARGET.update(index=index, dim=dim, mutated=False)
    before = hnsw_snapshot(index, dim) if searchable else None
    positional, keywords, values = data.draw(calls(tamsel.PyHNSW, method, dim))
    result, error = invoke(getattr(index, method), positional, keywords)
    TARGET["index"] = None
    event(f"PyHNSW.{method}: {type(error).__name__ if error else 'ok'}")
    if searchable:
        assert_free(index, dim)
    else:
        with pytest.raises(TypeError):
            index.create("not a batch")
    after = hnsw_snapshot(index, dim) if searchable else None

    if method == "search":
        assert after == before
        if error is None:
            check_hnsw_search_result(
                result, dim, values.get("k") if values.get("k") is not None else 1, config.get("ef_search", 50)
            )
    elif error is None:
        assert result is None
    elif str(error).startswith(("Insert error: ", "Create error: ")) and "EmptyVectors" not in str(error):
        pass  # the core stored what it had stored before it failed
    else:
        assert after == before, f"{error!r} changed the index"
