"""Argument binding, the receiver, and the conversion of the sizes, the metric
and the schema that the constructors and methods take."""

import fractions

import pytest
import tamsel
from helpers import AsFloat, AsIndex, IntSub, Outer, Raising, Text, TypeBoom


def new_hnsw():
    return tamsel.PyHNSW(2, metric="euclidean")


CALLABLES = {
    "PyFlat.__new__": lambda: tamsel.PyFlat,
    "PyFlat.insert": lambda: tamsel.PyFlat(2).insert,
    "PyFlat.search": lambda: tamsel.PyFlat(2).search,
    "PyFlat.create": lambda: tamsel.PyFlat(2).create,
    "PyHNSW.__new__": lambda: tamsel.PyHNSW,
    "PyHNSW.insert": lambda: new_hnsw().insert,
    "PyHNSW.search": lambda: new_hnsw().search,
    "PyHNSW.create": lambda: new_hnsw().create,
}

# Binding fails before anything is converted, so any object will do.
X = object()

# For each callable: (case, how many positional arguments, the keywords
# given, the message). The positional count is checked first, then the
# keywords, then the missing parameter.
BINDING_ERRORS = {
    "PyFlat.__new__": [
        ("missing", 0, "", "PyFlat.__new__() missing 1 required positional argument: 'dim'"),
        ("missing-with-optional", 0, "metric", "PyFlat.__new__() missing 1 required positional argument: 'dim'"),
        ("one-too-many", 3, "", "PyFlat.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        ("three-too-many", 5, "", "PyFlat.__new__() takes from 1 to 2 positional arguments but 5 were given"),
        ("unknown-keyword", 1, "bogus", "PyFlat.__new__() got an unexpected keyword argument 'bogus'"),
        ("keyword-case-matters", 1, "DIM", "PyFlat.__new__() got an unexpected keyword argument 'DIM'"),
        ("first-twice", 1, "dim", "PyFlat.__new__() got multiple values for argument 'dim'"),
        ("last-twice", 2, "metric", "PyFlat.__new__() got multiple values for argument 'metric'"),
        (
            "too-many-before-keyword",
            3,
            "bogus",
            "PyFlat.__new__() takes from 1 to 2 positional arguments but 3 were given",
        ),
        ("keyword-before-missing", 0, "bogus", "PyFlat.__new__() got an unexpected keyword argument 'bogus'"),
    ],
    "PyFlat.insert": [
        ("missing", 0, "", "PyFlat.insert() missing 1 required positional argument: 'vector'"),
        ("one-too-many", 2, "", "PyFlat.insert() takes 1 positional arguments but 2 were given"),
        ("three-too-many", 4, "", "PyFlat.insert() takes 1 positional arguments but 4 were given"),
        ("unknown-keyword", 1, "bogus", "PyFlat.insert() got an unexpected keyword argument 'bogus'"),
        ("keyword-case-matters", 1, "VECTOR", "PyFlat.insert() got an unexpected keyword argument 'VECTOR'"),
        ("first-twice", 1, "vector", "PyFlat.insert() got multiple values for argument 'vector'"),
        ("too-many-before-keyword", 2, "bogus", "PyFlat.insert() takes 1 positional arguments but 2 were given"),
        ("keyword-before-missing", 0, "bogus", "PyFlat.insert() got an unexpected keyword argument 'bogus'"),
    ],
    "PyFlat.search": [
        ("missing", 0, "", "PyFlat.search() missing 1 required positional argument: 'query'"),
        ("missing-with-optional", 0, "k", "PyFlat.search() missing 1 required positional argument: 'query'"),
        ("one-too-many", 3, "", "PyFlat.search() takes from 1 to 2 positional arguments but 3 were given"),
        ("three-too-many", 5, "", "PyFlat.search() takes from 1 to 2 positional arguments but 5 were given"),
        ("unknown-keyword", 1, "bogus", "PyFlat.search() got an unexpected keyword argument 'bogus'"),
        ("keyword-case-matters", 1, "QUERY", "PyFlat.search() got an unexpected keyword argument 'QUERY'"),
        ("first-twice", 1, "query", "PyFlat.search() got multiple values for argument 'query'"),
        ("last-twice", 2, "k", "PyFlat.search() got multiple values for argument 'k'"),
        (
            "too-many-before-keyword",
            3,
            "bogus",
            "PyFlat.search() takes from 1 to 2 positional arguments but 3 were given",
        ),
        ("keyword-before-missing", 0, "bogus", "PyFlat.search() got an unexpected keyword argument 'bogus'"),
    ],
    "PyFlat.create": [
        ("missing", 0, "", "PyFlat.create() missing 1 required positional argument: 'vectors'"),
        ("one-too-many", 2, "", "PyFlat.create() takes 1 positional arguments but 2 were given"),
        ("three-too-many", 4, "", "PyFlat.create() takes 1 positional arguments but 4 were given"),
        ("unknown-keyword", 1, "bogus", "PyFlat.create() got an unexpected keyword argument 'bogus'"),
        ("keyword-case-matters", 1, "VECTORS", "PyFlat.create() got an unexpected keyword argument 'VECTORS'"),
        ("first-twice", 1, "vectors", "PyFlat.create() got multiple values for argument 'vectors'"),
        ("too-many-before-keyword", 2, "bogus", "PyFlat.create() takes 1 positional arguments but 2 were given"),
        ("keyword-before-missing", 0, "bogus", "PyFlat.create() got an unexpected keyword argument 'bogus'"),
    ],
    "PyHNSW.__new__": [
        ("missing", 0, "", "PyHNSW.__new__() missing 1 required positional argument: 'dim'"),
        ("missing-with-optional", 0, "schema", "PyHNSW.__new__() missing 1 required positional argument: 'dim'"),
        ("one-too-many", 8, "", "PyHNSW.__new__() takes from 1 to 7 positional arguments but 8 were given"),
        ("three-too-many", 10, "", "PyHNSW.__new__() takes from 1 to 7 positional arguments but 10 were given"),
        ("unknown-keyword", 1, "bogus", "PyHNSW.__new__() got an unexpected keyword argument 'bogus'"),
        ("keyword-case-matters", 1, "DIM", "PyHNSW.__new__() got an unexpected keyword argument 'DIM'"),
        ("first-twice", 1, "dim", "PyHNSW.__new__() got multiple values for argument 'dim'"),
        ("last-twice", 7, "schema", "PyHNSW.__new__() got multiple values for argument 'schema'"),
        (
            "too-many-before-keyword",
            8,
            "bogus",
            "PyHNSW.__new__() takes from 1 to 7 positional arguments but 8 were given",
        ),
        ("keyword-before-missing", 0, "bogus", "PyHNSW.__new__() got an unexpected keyword argument 'bogus'"),
    ],
    "PyHNSW.insert": [
        ("missing", 0, "", "PyHNSW.insert() missing 1 required positional argument: 'vector'"),
        ("missing-with-optional", 0, "metadata", "PyHNSW.insert() missing 1 required positional argument: 'vector'"),
        ("one-too-many", 3, "", "PyHNSW.insert() takes from 1 to 2 positional arguments but 3 were given"),
        ("three-too-many", 5, "", "PyHNSW.insert() takes from 1 to 2 positional arguments but 5 were given"),
        ("unknown-keyword", 1, "bogus", "PyHNSW.insert() got an unexpected keyword argument 'bogus'"),
        ("keyword-case-matters", 1, "VECTOR", "PyHNSW.insert() got an unexpected keyword argument 'VECTOR'"),
        ("first-twice", 1, "vector", "PyHNSW.insert() got multiple values for argument 'vector'"),
        ("last-twice", 2, "metadata", "PyHNSW.insert() got multiple values for argument 'metadata'"),
        (
            "too-many-before-keyword",
            3,
            "bogus",
            "PyHNSW.insert() takes from 1 to 2 positional arguments but 3 were given",
        ),
        ("keyword-before-missing", 0, "bogus", "PyHNSW.insert() got an unexpected keyword argument 'bogus'"),
    ],
    "PyHNSW.search": [
        ("missing", 0, "", "PyHNSW.search() missing 1 required positional argument: 'query'"),
        ("missing-with-optional", 0, "filter", "PyHNSW.search() missing 1 required positional argument: 'query'"),
        ("one-too-many", 4, "", "PyHNSW.search() takes from 1 to 3 positional arguments but 4 were given"),
        ("three-too-many", 6, "", "PyHNSW.search() takes from 1 to 3 positional arguments but 6 were given"),
        ("unknown-keyword", 1, "bogus", "PyHNSW.search() got an unexpected keyword argument 'bogus'"),
        ("keyword-case-matters", 1, "QUERY", "PyHNSW.search() got an unexpected keyword argument 'QUERY'"),
        ("first-twice", 1, "query", "PyHNSW.search() got multiple values for argument 'query'"),
        ("last-twice", 3, "filter", "PyHNSW.search() got multiple values for argument 'filter'"),
        (
            "too-many-before-keyword",
            4,
            "bogus",
            "PyHNSW.search() takes from 1 to 3 positional arguments but 4 were given",
        ),
        ("keyword-before-missing", 0, "bogus", "PyHNSW.search() got an unexpected keyword argument 'bogus'"),
    ],
    "PyHNSW.create": [
        ("missing", 0, "", "PyHNSW.create() missing 1 required positional argument: 'vectors'"),
        ("missing-with-optional", 0, "metadata", "PyHNSW.create() missing 1 required positional argument: 'vectors'"),
        ("one-too-many", 3, "", "PyHNSW.create() takes from 1 to 2 positional arguments but 3 were given"),
        ("three-too-many", 5, "", "PyHNSW.create() takes from 1 to 2 positional arguments but 5 were given"),
        ("unknown-keyword", 1, "bogus", "PyHNSW.create() got an unexpected keyword argument 'bogus'"),
        ("keyword-case-matters", 1, "VECTORS", "PyHNSW.create() got an unexpected keyword argument 'VECTORS'"),
        ("first-twice", 1, "vectors", "PyHNSW.create() got multiple values for argument 'vectors'"),
        ("last-twice", 2, "metadata", "PyHNSW.create() got multiple values for argument 'metadata'"),
        (
            "too-many-before-keyword",
            3,
            "bogus",
            "PyHNSW.create() takes from 1 to 2 positional arguments but 3 were given",
        ),
        ("keyword-before-missing", 0, "bogus", "PyHNSW.create() got an unexpected keyword argument 'bogus'"),
    ],
}


@pytest.mark.parametrize(
    "qualified, positional, keywords, message",
    [
        pytest.param(qualified, n, keywords.split(), message, id=f"{qualified}-{case}")
        for qualified, cases in BINDING_ERRORS.items()
        for case, n, keywords, message in cases
    ],
)
def test_binding_errors(qualified, positional, keywords, message):
    target = CALLABLES[qualified]()
    with pytest.raises(TypeError) as excinfo:
        target(*(X,) * positional, **dict.fromkeys(keywords, X))
    assert type(excinfo.value) is TypeError
    assert excinfo.value.args == (message,)


@pytest.mark.parametrize("cls", [tamsel.PyFlat, tamsel.PyHNSW], ids=lambda c: c.__name__)
def test_constructor_keywords_must_be_strings(cls):
    # A constructor's keywords come in a dictionary whose keys nothing checked
    # before (the interpreter checks those of a method call itself).
    with pytest.raises(TypeError, match="keywords must be strings"):
        cls(2, **{1: 0})


def test_keywords_and_positions_bind_alike():
    vectors = [[1.0, 2.0, 3.0], [-1.0, 0.5, 2.0], [0.0, 0.0, 1.0], [4.0, -3.0, 0.0]]
    query = [0.5, 1.0, -1.0]
    by_position = tamsel.PyFlat(3, "cosine")
    by_position.insert(vectors[0])
    by_position.create(vectors[1:])
    by_keyword = tamsel.PyFlat(metric="cosine", dim=3)
    by_keyword.insert(vector=vectors[0])
    by_keyword.create(vectors=vectors[1:])
    expected = by_position.search(query, 3)
    assert len(expected) == 3
    assert by_position.search(query, k=3) == expected
    assert by_position.search(query=query, k=3) == expected
    assert by_keyword.search(k=3, query=query) == expected
    assert tamsel.PyFlat.search(by_keyword, query, k=3) == expected


def test_none_is_the_same_as_leaving_out():
    vectors = [[3.0, 4.0], [1.0, 0.0], [0.0, 2.0]]
    indexes = [
        tamsel.PyFlat(2),
        tamsel.PyFlat(2, None),
        tamsel.PyFlat(2, metric=None),
        tamsel.PyFlat(dim=2, metric=None),
    ]
    for index in indexes:
        index.create(vectors)
    query = [1.0, 1.0]
    expected = indexes[0].search(query)
    assert len(expected) == 1
    for index in indexes:
        assert index.search(query) == expected
        assert index.search(query, None) == expected
        assert index.search(query, k=None) == expected
        assert index.search(query, 3) == indexes[0].search(query, 3)
    tamsel.PyHNSW(3, None, None, None, None, "euclidean", None)
    tamsel.PyHNSW(dim=3, layers=None, m=None, ef_construction=None, ef_search=None, metric="euclidean", schema=None)


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: tamsel.PyFlat(2).insert(None),
            "argument 'vector': 'NoneType' object cannot be converted to 'Sequence'",
        ),
        (
            lambda: tamsel.PyFlat(2).search(None),
            "argument 'query': 'NoneType' object cannot be converted to 'Sequence'",
        ),
        (
            lambda: tamsel.PyFlat(2).create(None),
            "argument 'vectors': 'NoneType' object cannot be converted to 'Sequence'",
        ),
        (lambda: tamsel.PyFlat(None), None),
        (lambda: tamsel.PyFlat(dim=None, metric="cosine"), None),
        (lambda: tamsel.PyHNSW(None, metric="euclidean"), None),
    ],
    ids=["insert", "search", "create", "PyFlat", "PyFlat-keyword", "PyHNSW"],
)
def test_required_parameter_given_none_is_converted(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    if message is None:  # the integer conversion's own text follows the prefix
        assert str(excinfo.value).startswith("argument 'dim': ")
    else:
        assert excinfo.value.args == (message,)


@pytest.mark.parametrize("method", ["insert", "search", "create"])
@pytest.mark.parametrize(
    "cls, receiver",
    [
        (tamsel.PyFlat, lambda: object()),
        (tamsel.PyFlat, lambda: None),
        (tamsel.PyFlat, new_hnsw),
        (tamsel.PyHNSW, lambda: tamsel.PyFlat(2)),
        (tamsel.PyHNSW, lambda: [1.0, 2.0]),
    ],
    ids=["PyFlat-object", "PyFlat-None", "PyFlat-PyHNSW", "PyHNSW-PyFlat", "PyHNSW-list"],
)
def test_wrong_receiver_is_refused(cls, receiver, method):
    with pytest.raises(TypeError):
        getattr(cls, method)(receiver(), [1.0, 2.0])


# ---------------------------------------------------------------- unsigned sizes and text


def three_vectors():
    index = tamsel.PyFlat(1)
    index.create([[1.0], [2.0], [3.0]])
    return index


@pytest.mark.parametrize(
    "k, count",
    [(True, 1), (False, 0), (IntSub(2), 2), (AsIndex(2), 2), (2**64 - 1, 3), (AsIndex(2**64 - 1), 3)],
    ids=["True", "False", "int-subclass", "__index__", "largest", "__index__-largest"],
)
def test_k_accepts_integers(k, count):
    assert three_vectors().search([0.0], k=k) == [(0, 1.0), (1, 2.0), (2, 3.0)][:count]


@pytest.mark.parametrize(
    "value",
    [-1, -(2**70), 2**64, AsIndex(-1), AsIndex(2**64)],
    ids=["negative", "very-negative", "beyond-64-bits", "__index__-negative", "__index__-beyond"],
)
@pytest.mark.parametrize(
    "call",
    [
        lambda v: three_vectors().search([0.0], k=v),
        lambda v: tamsel.PyFlat(v),
        lambda v: tamsel.PyHNSW(v, metric="euclidean"),
        lambda v: tamsel.PyHNSW(2, ef_search=v, metric="euclidean"),
    ],
    ids=["k", "PyFlat-dim", "PyHNSW-dim", "PyHNSW-ef_search"],
)
def test_sizes_out_of_range_overflow_without_prefix(call, value):
    with pytest.raises(OverflowError) as excinfo:
        call(value)
    assert not str(excinfo.value).startswith("argument")


@pytest.mark.parametrize(
    "value",
    [2.0, "1", 1j, fractions.Fraction(2), AsFloat(2.0)],
    ids=["float", "str", "complex", "fraction", "__float__"],
)
@pytest.mark.parametrize(
    "call, parameter",
    [
        (lambda v: three_vectors().search([0.0], k=v), "k"),
        (lambda v: three_vectors().search([0.0], v), "k"),
        (lambda v: tamsel.PyFlat(v), "dim"),
        (lambda v: tamsel.PyFlat(dim=v, metric="cosine"), "dim"),
    ],
    ids=["k", "k-positional", "dim", "dim-keyword"],
)
def test_sizes_that_are_not_integers_get_the_prefix(call, parameter, value):
    with pytest.raises(TypeError) as excinfo:
        call(value)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value).startswith(f"argument '{parameter}': ")


def test_errors_of_index_pass_by_their_type():
    original = TypeError("not today")
    with pytest.raises(TypeError) as excinfo:
        three_vectors().search([0.0], k=Raising(original))
    assert excinfo.value.args == ("argument 'k': not today",)
    subclassed = TypeBoom("mine")
    with pytest.raises(TypeBoom) as excinfo:
        tamsel.PyFlat(Raising(subclassed))
    assert excinfo.value is subclassed
    other = ValueError("nope")
    with pytest.raises(ValueError) as excinfo:
        three_vectors().search([0.0], k=Raising(other))
    assert excinfo.value is other


@pytest.mark.parametrize(
    "dim", [True, IntSub(3), AsIndex(3), 2**64 - 1], ids=["True", "int-subclass", "__index__", "largest"]
)
def test_dim_accepts_integers(dim):
    index = tamsel.PyFlat(dim)
    size = int(dim.value if isinstance(dim, AsIndex) else dim)
    with pytest.raises(ValueError) as excinfo:
        index.insert([])
    assert excinfo.value.args == (f"Expected vector of length {size}, got 0",)


@pytest.mark.parametrize(
    "metric, message",
    [
        (3, "argument 'metric': 'int' object cannot be converted to 'PyString'"),
        (b"cosine", "argument 'metric': 'bytes' object cannot be converted to 'PyString'"),
        (["cosine"], "argument 'metric': 'list' object cannot be converted to 'PyString'"),
        (Outer.Inner(), "argument 'metric': 'Outer.Inner' object cannot be converted to 'PyString'"),
    ],
    ids=["int", "bytes", "list", "nested-class"],
)
def test_metric_must_be_text(metric, message):
    with pytest.raises(TypeError) as excinfo:
        tamsel.PyFlat(2, metric)
    assert excinfo.value.args == (message,)


def test_metric_that_cannot_be_utf8_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        tamsel.PyFlat(2, "cosine\ud800")


# ---------------------------------------------------------------- PyHNSW construction

HNSW_SIZES = ["dim", "layers", "m", "ef_construction", "ef_search"]


def hnsw_arguments(**changes):
    arguments = {"dim": 3, "metric": "euclidean"}
    arguments.update(changes)
    return arguments


@pytest.mark.parametrize("parameter", HNSW_SIZES)
@pytest.mark.parametrize("value", [2.0, "3", [3]], ids=["float", "str", "list"])
def test_hnsw_sizes_must_be_integers(parameter, value):
    with pytest.raises(TypeError) as excinfo:
        tamsel.PyHNSW(**hnsw_arguments(**{parameter: value}))
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value).startswith(f"argument '{parameter}': ")


@pytest.mark.parametrize("parameter", HNSW_SIZES)
@pytest.mark.parametrize("value", [-1, 2**64], ids=["negative", "beyond-64-bits"])
def test_hnsw_sizes_out_of_range(parameter, value):
    with pytest.raises(OverflowError) as excinfo:
        tamsel.PyHNSW(**hnsw_arguments(**{parameter: value}))
    assert not str(excinfo.value).startswith("argument")


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"metric": 5}, "argument 'metric': 'int' object cannot be converted to 'PyString'"),
        ({"metric": b"euclidean"}, "argument 'metric': 'bytes' object cannot be converted to 'PyString'"),
        ({"schema": "color"}, "argument 'schema': Can't extract `str` to `Vec`"),
        ({"schema": Text("color")}, "argument 'schema': Can't extract `str` to `Vec`"),
        ({"schema": 5}, "argument 'schema': 'int' object cannot be converted to 'Sequence'"),
        ({"schema": {"color"}}, "argument 'schema': 'set' object cannot be converted to 'Sequence'"),
        ({"schema": ["color", 1]}, "argument 'schema': 'int' object cannot be converted to 'PyString'"),
        ({"schema": [b"color"]}, "argument 'schema': 'bytes' object cannot be converted to 'PyString'"),
        ({"schema": [None]}, "argument 'schema': 'NoneType' object cannot be converted to 'PyString'"),
        # Conversions run in parameter order and come before the metric check.
        ({"dim": "x", "metric": 5}, None),
        ({"metric": "nonsense", "schema": 5}, "argument 'schema': 'int' object cannot be converted to 'Sequence'"),
        ({"metric": None, "schema": "color"}, "argument 'schema': Can't extract `str` to `Vec`"),
        ({"metric": 5, "schema": 5}, "argument 'metric': 'int' object cannot be converted to 'PyString'"),
    ],
    ids=[
        "metric-int",
        "metric-bytes",
        "schema-str",
        "schema-str-subclass",
        "schema-int",
        "schema-set",
        "schema-item-int",
        "schema-item-bytes",
        "schema-item-None",
        "dim-before-metric",
        "schema-before-metric-check",
        "schema-before-missing-metric",
        "metric-before-schema",
    ],
)
def test_hnsw_conversion_errors(arguments, message):
    with pytest.raises(TypeError) as excinfo:
        tamsel.PyHNSW(**hnsw_arguments(**arguments))
    if message is None:
        assert str(excinfo.value).startswith("argument 'dim': ")
    else:
        assert excinfo.value.args == (message,)


@pytest.mark.parametrize(
    "arguments, error",
    [
        ({"layers": 2.0, "m": -1}, TypeError),
        ({"m": -1, "ef_search": 2.0}, OverflowError),
        ({"ef_construction": "x", "schema": 5}, TypeError),
    ],
    ids=["layers-before-m", "m-before-ef_search", "ef_construction-before-schema"],
)
def test_hnsw_first_failing_conversion_wins(arguments, error):
    with pytest.raises(error) as excinfo:
        tamsel.PyHNSW(**hnsw_arguments(**arguments))
    first = next(iter(arguments))
    if error is TypeError:
        assert str(excinfo.value).startswith(f"argument '{first}': ")


@pytest.mark.parametrize(
    "metric", [None, "Euclidean", "euclidean ", " euclidean", "cosine", "", "euclidean\x00", "ANGULAR", "inner-product"]
)
def test_hnsw_unsupported_metric(metric):
    with pytest.raises(ValueError) as excinfo:
        tamsel.PyHNSW(3, 4, 8, 100, 20, metric, ["a"])
    assert type(excinfo.value) is ValueError
    assert excinfo.value.args == ("Unsupported metric",)


def test_hnsw_metric_has_no_default():
    for call in (lambda: tamsel.PyHNSW(3), lambda: tamsel.PyHNSW(dim=3, schema=["a"])):
        with pytest.raises(ValueError) as excinfo:
            call()
        assert excinfo.value.args == ("Unsupported metric",)


@pytest.mark.parametrize("metric", ["euclidean", "angular", "inner_product", Text("angular")])
@pytest.mark.parametrize(
    "arguments",
    [
        {},
        {"layers": 0, "m": 0, "ef_construction": 0, "ef_search": 0, "schema": []},
        {"schema": ("color", "size")},
        {"schema": ["a", "a", ""]},
    ],
    ids=["defaults", "zeros-empty-schema", "tuple-schema", "duplicate-names"],
)
def test_hnsw_accepted_construction(metric, arguments):
    assert type(tamsel.PyHNSW(**hnsw_arguments(metric=metric, **arguments))) is tamsel.PyHNSW
