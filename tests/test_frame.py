"""The calling frame shared by every constructor and method: argument binding,
the receiver, conversions of Python values and the per-object borrow."""

import array
import builtins
import collections
import decimal
import fractions
import os
import random
import signal
import subprocess
import sys
import threading
import time

import pytest
import tamsel
from conftest import stored_vectors

HUGE = 2**62


def as_floats(sequence):
    """The elements of a sequence in iteration order, as floats.

    Written as a loop: a list display would trust the length hint, which some
    of the sequences here make up.
    """
    values = []
    for element in sequence:
        values.append(float(element))
    return values


def new_hnsw():
    return tamsel.PyHNSW(2, metric="euclidean")


# Every callable of the module with its parameters in order; the first one is
# the only required parameter.
CALLABLES = {
    "PyFlat.__new__": (lambda: tamsel.PyFlat, ["dim", "metric"]),
    "PyFlat.insert": (lambda: tamsel.PyFlat(2).insert, ["vector"]),
    "PyFlat.search": (lambda: tamsel.PyFlat(2).search, ["query", "k"]),
    "PyFlat.create": (lambda: tamsel.PyFlat(2).create, ["vectors"]),
    "PyHNSW.__new__": (
        lambda: tamsel.PyHNSW,
        ["dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"],
    ),
    "PyHNSW.insert": (lambda: new_hnsw().insert, ["vector", "metadata"]),
    "PyHNSW.search": (lambda: new_hnsw().search, ["query", "k", "filter"]),
    "PyHNSW.create": (lambda: new_hnsw().create, ["vectors", "metadata"]),
}

# Binding fails before anything is converted, so any object will do.
X = object()


def binding_cases():
    for qualified, (_, names) in CALLABLES.items():
        name = qualified + "()"
        n = len(names)
        takes = str(n) if n == 1 else f"from 1 to {n}"
        missing = f"{name} missing 1 required positional argument: '{names[0]}'"
        cases = [
            ("missing", (), {}, missing),
            ("missing-with-optional", (), {names[-1]: X}, missing) if n > 1 else None,
            ("one-too-many", (X,) * (n + 1), {}, f"{name} takes {takes} positional arguments but {n + 1} were given"),
            ("three-too-many", (X,) * (n + 3), {}, f"{name} takes {takes} positional arguments but {n + 3} were given"),
            ("unknown-keyword", (X,), {"bogus": X}, f"{name} got an unexpected keyword argument 'bogus'"),
            (
                "keyword-case-matters",
                (X,),
                {names[0].upper(): X},
                f"{name} got an unexpected keyword argument '{names[0].upper()}'",
            ),
            ("first-twice", (X,), {names[0]: X}, f"{name} got multiple values for argument '{names[0]}'"),
            ("last-twice", (X,) * n, {names[-1]: X}, f"{name} got multiple values for argument '{names[-1]}'")
            if n > 1
            else None,
            # Positional count first, then keywords, then the missing parameter.
            (
                "too-many-before-keyword",
                (X,) * (n + 1),
                {"bogus": X},
                f"{name} takes {takes} positional arguments but {n + 1} were given",
            ),
            ("keyword-before-missing", (), {"bogus": X}, f"{name} got an unexpected keyword argument 'bogus'"),
        ]
        for case in filter(None, cases):
            label, args, kwargs, message = case
            yield pytest.param(qualified, args, kwargs, message, id=f"{qualified}-{label}")


@pytest.mark.parametrize("qualified, args, kwargs, message", list(binding_cases()))
def test_binding_errors(qualified, args, kwargs, message):
    target = CALLABLES[qualified][0]()
    with pytest.raises(TypeError) as excinfo:
        target(*args, **kwargs)
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


# ---------------------------------------------------------------- the sequence rule


class Indexable:
    """A sequence by __getitem__ and __len__ only."""

    def __init__(self, items, length=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class GetitemOnly:
    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]


class FailingLen(Indexable):
    def __len__(self):
        raise ValueError("no length today")


class IterList(list):
    """A list whose iteration, not its storage, gives the elements."""

    def __iter__(self):
        return iter([7.0, 8.0, 9.0])


class IterTuple(tuple):
    def __iter__(self):
        return iter([7.0, 8.0, 9.0])


class IterArray(array.array):
    def __iter__(self):
        return iter([7.0, 8.0, 9.0])


class IterBytes(bytes):
    def __iter__(self):
        return iter([7.0, 8.0, 9.0])


class IterAndIndex(Indexable):
    def __iter__(self):
        return iter([-1.0, -2.0, -3.0])


class PlainList(list):
    pass


class PlainArray(array.array):
    pass


VECTOR_KINDS = {
    "list": lambda: [1.5, -2.0, 3.25],
    "tuple": lambda: (1.5, -2.0, 3.25),
    "range": lambda: range(4, 7),
    "array-d": lambda: array.array("d", [1.5, -2.0, 3.25]),
    "array-f": lambda: array.array("f", [0.1, -2.0, 1e30]),
    "array-i": lambda: array.array("i", [-(2**31), 0, 2**31 - 1]),
    "array-Q": lambda: array.array("Q", [2**64 - 1, 2**53 + 1, 0]),
    "array-b": lambda: array.array("b", [-128, 0, 127]),
    "memoryview": lambda: memoryview(array.array("d", [1.5, -2.0, 3.25])),
    "deque": lambda: collections.deque([1.5, -2.0, 3.25]),
    "getitem-and-len": lambda: Indexable([1.5, -2.0, 3.25]),
    "getitem-only": lambda: GetitemOnly([1.5, -2.0, 3.25]),
    "list-subclass": lambda: PlainList([1.5, -2.0, 3.25]),
    "array-subclass": lambda: PlainArray("d", [1.5, -2.0, 3.25]),
    "list-subclass-own-iter": lambda: IterList([1.0, 2.0, 3.0]),
    "tuple-subclass-own-iter": lambda: IterTuple([1.0, 2.0, 3.0]),
    "array-subclass-own-iter": lambda: IterArray("d", [1.0, 2.0, 3.0]),
    "bytes-subclass-own-iter": lambda: IterBytes(b"\x01\x02\x03"),
    "iter-differs-from-getitem": lambda: IterAndIndex([1.0, 2.0, 3.0]),
    "len-raises": lambda: FailingLen([1.5, -2.0, 3.25]),
    "len-huge": lambda: Indexable([1.5, -2.0, 3.25], length=HUGE),
    "len-too-big-for-ssize": lambda: Indexable([1.5, -2.0, 3.25], length=2**64),
    "len-zero": lambda: Indexable([1.5, -2.0, 3.25], length=0),
    "mixed-numbers": lambda: [1, True, 2.5],
}


@pytest.mark.parametrize("make", VECTOR_KINDS.values(), ids=VECTOR_KINDS.keys())
def test_sequences_of_every_kind_are_vectors(make):
    expected = as_floats(make())
    assert len(expected) == 3
    inserted = tamsel.PyFlat(3, "inner_product")
    inserted.insert(make())
    assert stored_vectors(inserted, 3) == [expected]
    created = tamsel.PyFlat(3, "inner_product")
    created.create([make(), make()])
    assert stored_vectors(created, 3) == [expected, expected]
    assert created.search(make(), k=2) == created.search(expected, k=2)


# Each typecode of the array module at the ends of its range, and values that
# a double rounds (finite: stored_vectors reads them back exactly).
ARRAY_EXTREMES = {
    "b": [-128, 0, 127],
    "B": [0, 1, 255],
    "h": [-(2**15), -1, 2**15 - 1],
    "H": [0, 1, 2**16 - 1],
    "i": [-(2**31), 0, 2**31 - 1],
    "I": [0, 2**31, 2**32 - 1],
    "l": [-(2**63), 2**53 + 1, 2**63 - 1],
    "L": [0, 2**63 + 1, 2**64 - 1],
    "q": [-(2**63), -(2**53) - 1, 2**63 - 1],
    "Q": [2**53 + 1, 2**63 + 1025, 2**64 - 1],
    "f": [1e-45, -0.1, 3.4e38],
    "d": [5e-324, -0.1, 1.7976931348623157e308],
}


@pytest.mark.parametrize("typecode", ARRAY_EXTREMES)
def test_arrays_hold_the_values_of_their_elements(typecode):
    vector = array.array(typecode, ARRAY_EXTREMES[typecode])
    expected = as_floats(vector)
    index = tamsel.PyFlat(3, "inner_product")
    index.insert(vector)
    index.create([vector, vector.tolist()])
    assert stored_vectors(index, 3) == [expected] * 3
    assert index.search(vector, k=3) == index.search(expected, k=3)
    hnsw = tamsel.PyHNSW(3, metric="inner_product")
    hnsw.insert(vector)
    assert hnsw.search(vector) == hnsw.search(expected) == [(hnsw.search(expected)[0][0], expected)]


@pytest.mark.parametrize(
    "vector", [array.array("d", [1.0, 2.0]), array.array("q", []), array.array("u", "abc")], ids=["short", "empty", "u"]
)
def test_arrays_are_refused_as_their_elements_are(vector):
    """The message of an array refused is that of a list of its elements."""
    messages = []
    for given in (vector, vector.tolist()):
        index = tamsel.PyFlat(3)
        index.insert([0.0, 0.0, 0.0])
        for call in (lambda: index.insert(given), lambda: index.search(given), lambda: index.create([given])):
            with pytest.raises((TypeError, ValueError)) as refused:
                call()
            messages.append((type(refused.value), str(refused.value)))
    assert messages[:3] == messages[3:]


BYTES_SCRIPT = r"""
import sys
import tamsel

wrong = []
junk = []
for round_ in range(16):
    for make in (bytes, bytearray):
        for length in range(1, 65):
            junk.append([0.0] * ((length * 37 + round_ * 101) % 3000))  # vary the state of the allocator
            data = make((7 * i + round_) % 256 for i in range(length))
            index = tamsel.PyFlat(length, "inner_product")
            try:
                index.insert(data)
                index.create([data])
                found = [index.search([1.0 if i == j else 0.0 for i in range(length)], k=2) for j in range(length)]
            except Exception as error:
                wrong.append((make.__name__, length, repr(error)))
                continue
            if found != [[(0, float(b)), (1, float(b))] for b in data]:
                wrong.append((make.__name__, length, "wrong values"))
        if len(junk) > 500: del junk[:250]
print(len(wrong), wrong[:3])
sys.exit(1 if wrong else 0)
"""


def test_bytes_and_bytearray_are_sequences_of_small_integers():
    # Run apart: a broken read of a buffer can take the interpreter down.
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(tamsel.__file__)] + sys.path))
    finished = subprocess.run(
        [sys.executable, "-c", BYTES_SCRIPT], env=environment, capture_output=True, text=True, check=False
    )
    assert finished.returncode == 0, finished.stdout + finished.stderr


def test_create_reads_every_level_by_the_sequence_rule():
    index = tamsel.PyFlat(3, "inner_product")
    index.create(
        (
            [1.0, 2.0, 3.0],
            (4.0, 5.0, 6.0),
            range(3),
            array.array("d", [7.0, 8.0, 9.0]),
            IterList(),
            Indexable([0.5, 0.25, 0.125]),
        )
    )
    index.create(Indexable([[1.0, 1.0, 1.0]], length=HUGE))
    index.create(GetitemOnly([[2.0, 2.0, 2.0]]))
    assert stored_vectors(index, 3) == [
        [1.0, 2.0, 3.0],
        [4.0, 5.0, 6.0],
        [0.0, 1.0, 2.0],
        [7.0, 8.0, 9.0],
        [7.0, 8.0, 9.0],
        [0.5, 0.25, 0.125],
        [1.0, 1.0, 1.0],
        [2.0, 2.0, 2.0],
    ]


class Outer:
    class Inner:
        pass


class OnlyIter:
    """Iterable, yet not a sequence."""

    def __iter__(self):
        return iter([1.0, 2.0, 3.0])


class NamelessMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return type.__getattribute__(cls, name)


class Nameless(metaclass=NamelessMeta):
    pass


class BadNameMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 42
        return type.__getattribute__(cls, name)


class BadName(metaclass=BadNameMeta):
    pass


class DictSub(dict):
    pass


NON_SEQUENCES = {
    "None": lambda: None,
    "int": lambda: 5,
    "float": lambda: 2.5,
    "bool": lambda: True,
    "generator": lambda: (x for x in [1.0, 2.0, 3.0]),
    "iterator": lambda: iter([1.0, 2.0, 3.0]),
    "set": lambda: {1.0, 2.0, 3.0},
    "frozenset": lambda: frozenset([1.0, 2.0, 3.0]),
    "dict": lambda: {0: 1.0, 1: 2.0, 2: 3.0},
    "dict-subclass": lambda: DictSub({0: 1.0, 1: 2.0, 2: 3.0}),
    "dict-keys": lambda: {0: 1.0}.keys(),
    "iterable-only": OnlyIter,
    "object": object,
    "nested-class": Outer.Inner,
}

# Where a vector is read, and the parameter a message names.
PLACES = {
    "insert": (lambda index, v: index.insert(v), "vector"),
    "search": (lambda index, v: index.search(v), "query"),
    "create-outer": (lambda index, v: index.create(v), "vectors"),
    "create-inner": (lambda index, v: index.create([[1.0, 2.0, 3.0], v]), "vectors"),
}
VECTOR_PLACES = {name: PLACES[name] for name in ("insert", "search", "create-inner")}


def populated():
    index = tamsel.PyFlat(3, "inner_product")
    index.insert([0.5, 1.5, 2.5])
    return index


@pytest.mark.parametrize("place", PLACES.values(), ids=PLACES.keys())
@pytest.mark.parametrize("make", NON_SEQUENCES.values(), ids=NON_SEQUENCES.keys())
def test_non_sequences_are_refused(make, place):
    call, parameter = place
    value = make()
    index = populated()
    with pytest.raises(TypeError) as excinfo:
        call(index, value)
    assert type(excinfo.value) is TypeError
    expected = f"argument '{parameter}': '{type(value).__qualname__}' object cannot be converted to 'Sequence'"
    assert excinfo.value.args == (expected,)
    assert stored_vectors(index, 3) == [[0.5, 1.5, 2.5]]


@pytest.mark.parametrize("place", PLACES.values(), ids=PLACES.keys())
@pytest.mark.parametrize("cls", [Nameless, BadName], ids=["name-raises", "name-not-str"])
def test_unreadable_type_name(cls, place):
    call, parameter = place
    with pytest.raises(TypeError) as excinfo:
        call(populated(), cls())
    expected = f"argument '{parameter}': '<failed to extract type name>' object cannot be converted to 'Sequence'"
    assert excinfo.value.args == (expected,)


class Text(str):
    pass


@pytest.mark.parametrize("place", PLACES.values(), ids=PLACES.keys())
@pytest.mark.parametrize("text", ["abc", "", Text("abc")], ids=["str", "empty", "subclass"])
def test_strings_are_refused(text, place):
    call, parameter = place
    index = populated()
    with pytest.raises(TypeError) as excinfo:
        call(index, text)
    assert excinfo.value.args == (f"argument '{parameter}': Can't extract `str` to `Vec`",)
    assert stored_vectors(index, 3) == [[0.5, 1.5, 2.5]]


# ---------------------------------------------------------------- elements


class AsFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class AsIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raising:
    """Raises the given exception from every numeric conversion."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    def __index__(self):
        raise self.error


class FloatSub(float):
    pass


class IntSub(int):
    pass


ELEMENTS = {
    "int": 7,
    "negative-int": -3,
    "int-rounded": 2**60 + 1,
    "bool": True,
    "int-subclass": IntSub(4),
    "float-subclass": FloatSub(1.25),
    "__float__": AsFloat(2.75),
    "__index__": AsIndex(2**53 + 1),
    "fraction": fractions.Fraction(1, 3),
    "decimal": decimal.Decimal("0.1"),
}


@pytest.mark.parametrize("element", ELEMENTS.values(), ids=ELEMENTS.keys())
def test_number_like_elements_are_floats(element):
    index = tamsel.PyFlat(3, "inner_product")
    index.insert([element, 0.5, element])
    index.create([[0.5, element, 0.5]])
    value = float(element)
    assert stored_vectors(index, 3) == [[value, 0.5, value], [0.5, value, 0.5]]


class OwnTypeError(TypeError):
    pass


class OwnBaseException(BaseException):
    pass


@pytest.mark.parametrize("place", VECTOR_PLACES.values(), ids=VECTOR_PLACES.keys())
@pytest.mark.parametrize(
    "error",
    [OwnTypeError("subclass of TypeError"), ValueError("not a number"), ArithmeticError("odd"), OwnBaseException()],
    ids=["TypeError-subclass", "ValueError", "ArithmeticError", "BaseException"],
)
def test_other_element_errors_pass_unchanged(error, place):
    call, _ = place
    index = populated()
    with pytest.raises(type(error)) as excinfo:
        call(index, [1.0, Raising(error), 3.0])
    assert excinfo.value is error
    assert stored_vectors(index, 3) == [[0.5, 1.5, 2.5]]


@pytest.mark.parametrize("place", VECTOR_PLACES.values(), ids=VECTOR_PLACES.keys())
def test_exact_type_error_of_an_element_gets_the_prefix(place):
    call, parameter = place
    index = populated()
    original = TypeError("no float here")
    with pytest.raises(TypeError) as excinfo:
        call(index, [1.0, 2.0, Raising(original)])
    assert type(excinfo.value) is TypeError
    assert excinfo.value is not original
    assert excinfo.value.args == (f"argument '{parameter}': no float here",)
    assert stored_vectors(index, 3) == [[0.5, 1.5, 2.5]]


@pytest.mark.parametrize("place", VECTOR_PLACES.values(), ids=VECTOR_PLACES.keys())
@pytest.mark.parametrize(
    "element", ["1.0", None, [1.0], AsFloat("1.0"), object()], ids=["str", "None", "list", "__float__-str", "object"]
)
def test_interpreter_type_errors_of_elements_get_the_prefix(element, place):
    call, parameter = place
    with pytest.raises(TypeError) as excinfo:
        call(populated(), [1.0, element, 3.0])
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value).startswith(f"argument '{parameter}': ")


@pytest.mark.parametrize("place", VECTOR_PLACES.values(), ids=VECTOR_PLACES.keys())
def test_element_overflow_has_no_prefix(place):
    call, _ = place
    with pytest.raises(OverflowError) as excinfo:
        call(populated(), [1.0, 2**2000, 3.0])
    assert not str(excinfo.value).startswith("argument")


# ---------------------------------------------------------------- lists of plain numbers

# PyPy reads exact lists and tuples of exact floats and word-sized ints by
# their storage, in one go (from stretches of a batch); every other sequence
# element by element. Both ways give the same numbers and the same errors.
PLAIN_ROWS = {
    "floats": lambda i: [0.5 * i, -1.25, 3.0e300],
    "word-ints": lambda i: [i, -(2**63), 2**63 - 1],
    "ints-rounded": lambda i: [2**60 + 1 + i, -(2**53) - 1, 0],
    "ints-and-floats": lambda i: [i, 2.5, -7],
    "empty": lambda i: [],
}


@pytest.mark.parametrize("make_row", PLAIN_ROWS.values(), ids=PLAIN_ROWS.keys())
@pytest.mark.parametrize("container", [list, tuple], ids=["list", "tuple"])
def test_plain_numbers_keep_their_values(make_row, container):
    rows = [container(make_row(i)) for i in range(3)]
    dim = len(rows[0])
    expected = [[float(x) for x in row] for row in rows]
    created, inserted = tamsel.PyFlat(dim, "inner_product"), tamsel.PyFlat(dim, "inner_product")
    created.create(container(rows))
    for row in rows:
        inserted.insert(row)
    if dim:
        assert stored_vectors(created, dim) == stored_vectors(inserted, dim) == expected
        assert created.search(rows[1], k=3) == created.search(PlainList(expected[1]), k=3)


# Around the longest vector that PyPy packs into memory of the module's own
# (longer ones come back as arrays of their own).
@pytest.mark.parametrize("length", [4095, 4096, 4097])
def test_long_plain_vectors_keep_their_values(length):
    rng = random.Random(length)
    row = [rng.uniform(-1.0, 1.0) for _ in range(length - 1)] + [2**60 + 1]
    index = tamsel.PyFlat(length, "inner_product")
    index.insert(row)
    assert stored_vectors(index, length) == [[float(x) for x in row]]


def long_batch(kind):
    """5,000 rows of 40: several of the stretches PyPy reads a batch in."""
    rng = random.Random(7)
    batch = [[rng.uniform(-1.0, 1.0) for _ in range(40)] for _ in range(5000)]
    if kind == "mixed":
        batch[10] = [int(x * 1000) for x in batch[10]]
        batch[4500] = tuple(batch[4500])
    elif kind == "last-row-not-plain":
        batch[-1] = [True] + batch[-1][1:]
    return batch


@pytest.mark.parametrize("kind", ["floats", "mixed", "last-row-not-plain"])
def test_long_batch_reads_as_element_by_element(kind):
    batch = long_batch(kind)
    read, by_elements = tamsel.PyFlat(40), tamsel.PyFlat(40)
    read.create(batch)
    by_elements.create(PlainList(batch))
    for query in (batch[0], batch[4321], [0.0] * 40):
        assert read.search(query, k=2**64 - 1) == by_elements.search(query, k=2**64 - 1)


@pytest.mark.parametrize("position", [0, 4096, 4999])
@pytest.mark.parametrize("cls", [tamsel.PyFlat, tamsel.PyHNSW], ids=lambda c: c.__name__)
def test_wrong_length_deep_in_a_long_batch(cls, position):
    batch = long_batch("floats")
    batch[position] = batch[position][:39]
    index = tamsel.PyFlat(40) if cls is tamsel.PyFlat else tamsel.PyHNSW(40, metric="euclidean")
    with pytest.raises(ValueError) as excinfo:
        index.create(batch)
    assert excinfo.value.args == ("Vector length 39 does not match index dimension 40",)
    if cls is tamsel.PyFlat and position > 0:
        assert len(index.search([0.0] * 40, k=2**64 - 1)) == position


@pytest.mark.parametrize(
    "module, name",
    [
        ("builtins", "map"),
        ("builtins", "len"),
        ("builtins", "list"),
        ("builtins", "set"),
        ("builtins", "type"),
        ("array", "array"),
        ("__pypy__", "strategy"),
    ],
)
def test_conversions_do_not_depend_on_rebound_names(module, name):
    owner = pytest.importorskip(module)
    batch, vector, query = [[1.0, 2.0], (3, 4.5)], [5.0, 6.0], [0.5, 0.25]
    expected = tamsel.PyFlat(2)
    expected.create(batch)
    expected.insert(vector)
    original = getattr(owner, name)
    setattr(owner, name, lambda *args: original(()))
    try:
        index = tamsel.PyFlat(2)
        index.create(batch)
        index.insert(vector)
        found = index.search(query, k=3)
    finally:
        setattr(owner, name, original)
    assert found == expected.search(query, k=3)


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
    subclassed = OwnTypeError("mine")
    with pytest.raises(OwnTypeError) as excinfo:
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
    "metric", [3, b"cosine", ["cosine"], Outer.Inner()], ids=["int", "bytes", "list", "nested-class"]
)
def test_metric_must_be_text(metric):
    with pytest.raises(TypeError) as excinfo:
        tamsel.PyFlat(2, metric)
    assert excinfo.value.args == (
        f"argument 'metric': '{type(metric).__qualname__}' object cannot be converted to 'PyString'",
    )


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


# ---------------------------------------------------------------- length hints


def vm_status(key):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    pytest.skip(f"no {key} in /proc/self/status")


LIMIT = 256 << 20

# (dim, the call, whether to bound the address space it reserves)
LYING_LENGTHS = [
    pytest.param(3, lambda: ("insert", Indexable([1.0, 2.0, 3.0], length=HUGE)), True, id="insert-vector"),
    pytest.param(3, lambda: ("create", Indexable([[1.0, 2.0, 3.0]], length=HUGE)), True, id="create-outer"),
    pytest.param(3, lambda: ("create", [Indexable([1.0, 2.0, 3.0], length=HUGE)]), True, id="create-inner"),
    pytest.param(
        3,
        lambda: ("create", Indexable([Indexable([1.0, 2.0, 3.0], length=HUGE)], length=HUGE)),
        True,
        id="create-both",
    ),
    pytest.param(
        3, lambda: ("create", [Indexable([1.0, 2.0, 3.0], length=HUGE)] * 50000), True, id="create-many-lying-vectors"
    ),
    pytest.param(
        4000,
        lambda: ("create", Indexable([[0.5] * 4000], length=HUGE)),
        True,
        id="create-outer-long-vector",
    ),
    # A reservation this large cannot succeed here; the call must still.
    pytest.param(
        100000, lambda: ("create", Indexable([[0.5] * 100000], length=HUGE)), False, id="create-outer-huge-vector"
    ),
]


@pytest.mark.parametrize("dim, make, bounded", LYING_LENGTHS)
def test_length_hints_that_lie(dim, make, bounded):
    method, argument = make()
    expected = as_floats(argument if method == "insert" else next(iter(argument)))
    count = 1 if method == "insert" else sum(1 for _ in argument)
    index = tamsel.PyFlat(dim, "inner_product")
    size_before, peak_before = vm_status("VmSize"), vm_status("VmPeak")
    getattr(index, method)(argument)
    if bounded:
        # A reservation beyond the limit raises the peak of the address space.
        assert vm_status("VmPeak") <= max(peak_before, size_before + LIMIT)
    if dim == 3:
        assert stored_vectors(index, 3) == [expected] * count
    else:
        assert index.search(expected, k=5) == [(0, sum(x * x for x in expected))]


# ---------------------------------------------------------------- the borrow


class Hook:
    """An element whose conversion runs a callback first."""

    def __init__(self, callback):
        self.callback = callback

    def __float__(self):
        self.callback()
        return 0.0

    def __index__(self):
        self.callback()
        return 1


class HookedIter(list):
    def __init__(self, callback):
        super().__init__([0.0, 0.0])
        self.callback = callback

    def __iter__(self):
        self.callback()
        return iter([0.0, 0.0])


class HookedLen(Indexable):
    def __init__(self, callback):
        super().__init__([0.0, 0.0])
        self.callback = callback

    def __len__(self):
        self.callback()
        return 2


HOOKS = {
    "__float__": lambda cb: [Hook(cb), 0.0],
    "__iter__": HookedIter,
    "__len__": HookedLen,
}

# The outer calls: each converts a vector (or k) whose conversion runs the
# callback; the second item tells whether the call takes the shared use.
OUTER = {
    "insert": (lambda index, vector: index.insert(vector), False),
    "create": (lambda index, vector: index.create([vector]), False),
    "search": (lambda index, vector: index.search(vector), True),
}
OUTER_HOOKS = [(outer, hook) for outer in OUTER for hook in HOOKS] + [("search", "k.__index__")]


def run_outer(outer, hook, index, callback):
    if hook == "k.__index__":
        return index.search([0.0, 0.0], k=Hook(callback))
    call, _ = OUTER[outer]
    return call(index, HOOKS[hook](callback))


INNER = {
    "search": lambda index: index.search([1.0, 1.0]),
    "insert": lambda index: index.insert([2.0, 2.0]),
    "create": lambda index: index.create([[2.0, 2.0]]),
}


def attempt(call):
    try:
        return ("ok", call())
    except RuntimeError as error:
        assert type(error) is RuntimeError
        return ("refused", error.args)


def new_borrow_index():
    index = tamsel.PyFlat(2, "inner_product")
    index.insert([1.0, 1.0])
    return index


@pytest.mark.parametrize("inner", INNER.keys())
@pytest.mark.parametrize("outer, hook", OUTER_HOOKS, ids=[f"{o}-{h}" for o, h in OUTER_HOOKS])
def test_reentrant_calls(outer, hook, inner):
    index = new_borrow_index()
    outcomes = []
    shared = OUTER[outer][1]
    result = run_outer(outer, hook, index, lambda: outcomes.append(attempt(lambda: INNER[inner](index))))
    assert outcomes, "the callback ran"
    for outcome in outcomes:
        if inner == "search" and shared:
            assert outcome == ("ok", [(0, 2.0)])
        elif inner == "search":
            assert outcome == ("refused", ("Already mutably borrowed",))
        else:
            assert outcome == ("refused", ("Already borrowed",))
    # The outer call did its work, and the index is free again.
    expected = [[1.0, 1.0]] if shared else [[1.0, 1.0], [0.0, 0.0]]
    assert stored_vectors(index, 2) == expected
    if shared:
        assert result == [(0, 0.0)]
    index.insert([3.0, 3.0])
    index.create([[4.0, 4.0]])
    assert stored_vectors(index, 2) == expected + [[3.0, 3.0], [4.0, 4.0]]


def test_nested_shared_uses_are_counted():
    index = new_borrow_index()
    seen = []

    def during_outer_search():
        seen.append(attempt(lambda: index.insert([2.0, 2.0])))
        seen.append(attempt(lambda: index.search([1.0, 1.0])))
        # The inner search gave back its own use only: the outer one still holds.
        seen.append(attempt(lambda: index.insert([2.0, 2.0])))
        seen.append(
            attempt(lambda: index.search([Hook(lambda: seen.append(attempt(lambda: index.create([[2.0, 2.0]])))), 1.0]))
        )
        seen.append(attempt(lambda: index.create([[2.0, 2.0]])))

    index.search([Hook(during_outer_search), 1.0])
    refused = ("refused", ("Already borrowed",))
    assert seen == [refused, ("ok", [(0, 2.0)]), refused, refused, ("ok", [(0, 1.0)]), refused]
    index.insert([2.0, 2.0])
    assert stored_vectors(index, 2) == [[1.0, 1.0], [2.0, 2.0]]


def test_refused_exclusive_use_leaves_the_exclusive_holder_in_place():
    index = new_borrow_index()
    seen = []

    def during_insert():
        seen.append(attempt(lambda: index.insert([2.0, 2.0])))
        seen.append(attempt(lambda: index.search([1.0, 1.0])))
        seen.append(attempt(lambda: index.create([[2.0, 2.0]])))
        seen.append(attempt(lambda: index.search([1.0, 1.0])))

    index.insert([Hook(during_insert), 5.0])
    assert seen == [
        ("refused", ("Already borrowed",)),
        ("refused", ("Already mutably borrowed",)),
        ("refused", ("Already borrowed",)),
        ("refused", ("Already mutably borrowed",)),
    ]
    assert stored_vectors(index, 2) == [[1.0, 1.0], [0.0, 5.0]]


def test_binding_comes_before_the_borrow_and_conversion_after():
    index = new_borrow_index()
    seen = []

    def during_insert():
        for call in (lambda: index.search(), lambda: index.search([1.0, 1.0], bogus=1), lambda: index.insert(1, 2)):
            try:
                call()
            except TypeError as error:
                seen.append(error.args[0])
        # The borrow is taken before the arguments are looked at.
        seen.append(attempt(lambda: index.search("not a vector")))
        seen.append(attempt(lambda: index.insert(None)))

    index.insert([Hook(during_insert), 0.0])
    assert seen == [
        "PyFlat.search() missing 1 required positional argument: 'query'",
        "PyFlat.search() got an unexpected keyword argument 'bogus'",
        "PyFlat.insert() takes 1 positional arguments but 2 were given",
        ("refused", ("Already mutably borrowed",)),
        ("refused", ("Already borrowed",)),
    ]


class Abort(Exception):
    pass


def abort():
    raise Abort()


# A failing __len__ is no failure of the conversion: the length only sizes a buffer.
FAILING_HOOKS = [(outer, hook) for outer, hook in OUTER_HOOKS if hook != "__len__"]


@pytest.mark.parametrize("outer, hook", FAILING_HOOKS, ids=[f"{o}-{h}" for o, h in FAILING_HOOKS])
@pytest.mark.parametrize("failure", ["conversion", "operation"])
def test_index_is_free_after_a_failed_call(outer, hook, failure):
    index = tamsel.PyFlat(2, "inner_product")
    if failure == "conversion":
        index.insert([1.0, 1.0])
        with pytest.raises(Abort):
            run_outer(outer, hook, index, abort)
    elif outer == "search":  # on an empty index
        with pytest.raises(ValueError) as excinfo:
            run_outer(outer, hook, index, lambda: None)
        assert excinfo.value.args == ("Search error: EmptyIndex",)
    else:
        with pytest.raises(ValueError):
            OUTER[outer][0](index, [1.0, 2.0, 3.0])
    before = stored_vectors(index, 2)
    index.insert([3.0, 3.0])
    index.create([[4.0, 4.0]])
    assert stored_vectors(index, 2) == before + [[3.0, 3.0], [4.0, 4.0]]


def test_other_indexes_are_not_borrowed():
    first, second = new_borrow_index(), new_borrow_index()
    seen = []
    first.insert([Hook(lambda: seen.append((second.insert([2.0, 2.0]), second.search([1.0, 1.0], k=2)))), 0.0])
    assert seen == [(None, [(0, 2.0), (1, 4.0)])]


def index_of(cls):
    if cls is tamsel.PyFlat:
        return tamsel.PyFlat(8)
    return tamsel.PyHNSW(8, metric="euclidean")


@pytest.mark.parametrize("cls", [tamsel.PyFlat, tamsel.PyHNSW], ids=lambda c: c.__name__)
def test_threads_never_meet_a_borrowed_index(cls):
    # Every call holds the interpreter lock while it holds the index, so a
    # search in one thread and insertions in another never collide.
    index = index_of(cls)
    index.create([[float(i + j) for j in range(8)] for i in range(100)])
    refused, end = [], time.monotonic() + 0.4

    def repeat(call):
        while time.monotonic() < end:
            try:
                call()
            except RuntimeError as error:
                refused.append(error)

    threads = [
        threading.Thread(target=repeat, args=(lambda: index.search([0.0] * 8, k=10),)),
        threading.Thread(target=repeat, args=(lambda: index.insert([1.0] * 8),)),
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not refused, f"{len(refused)} calls met a borrowed index: {refused[0]}"


@pytest.mark.parametrize("inner", INNER.keys())
@pytest.mark.parametrize("outer", OUTER.keys())
def test_another_thread_meets_a_call_converting_its_arguments_as_a_reentry_would(outer, inner):
    # The conversion may run code that waits for the other thread, as it does
    # here: a conflicting call of that thread is refused at once, not held.
    def outcomes_when(run):
        index = new_borrow_index()
        outcomes = []
        run_outer(outer, "__float__", index, lambda: run(lambda: outcomes.append(attempt(lambda: INNER[inner](index)))))
        return outcomes

    def in_another_thread(call):
        thread = threading.Thread(target=call)
        thread.start()
        thread.join(timeout=5)

    same_thread = outcomes_when(lambda call: call())
    assert outcomes_when(in_another_thread) == same_thread


@pytest.mark.parametrize("name", ["range", "len", "zip", "list"])
def test_results_do_not_depend_on_rebound_builtins(name):
    hnsw = tamsel.PyHNSW(2, metric="euclidean")
    hnsw.create([[0.0, 0.0], [1.0, 1.0]])
    flat = tamsel.PyFlat(2)
    flat.create([[float(i), 0.0] for i in range(10)])
    expected = hnsw.search([0, 0], k=2), flat.search([0, 0], k=5)
    original = getattr(builtins, name)
    setattr(builtins, name, lambda *args: original(()))
    try:
        found = hnsw.search([0, 0], k=2), flat.search([0, 0], k=5)
    finally:
        setattr(builtins, name, original)
    assert found == expected and len(expected[0]) == 2


def viewed_batch(rows, columns, offset=0):
    """A 2-D buffer of doubles in place, as memoryviews make one without numpy;
    `offset` bytes into its memory (1: not where a double may be read)."""
    memory = bytearray(offset + 8 * rows * columns)
    view = memoryview(memory)[offset:]
    values = view.cast("d")
    for i in range(rows * columns):
        values[i] = float(i)
    return memory, values.cast("B").cast("d", [rows, columns])


@pytest.mark.parametrize("cls", [tamsel.PyFlat, tamsel.PyHNSW], ids=lambda c: c.__name__)
def test_misaligned_batch_is_read_by_copying(cls):
    # Read in place through a double*, it was undefined behaviour (UBSan).
    _, batch = viewed_batch(8, 4, offset=1)
    index = tamsel.PyFlat(4, "inner_product") if cls is tamsel.PyFlat else tamsel.PyHNSW(4, metric="euclidean")
    index.create(batch)
    expected = [[float(4 * r + c) for c in range(4)] for r in range(8)]
    if cls is tamsel.PyFlat:
        assert stored_vectors(index, 4) == expected
    else:
        assert sorted(vector for _, vector in index.search([0.0] * 4, k=8)) == expected


@pytest.mark.parametrize("offset", [0, 1], ids=["aligned", "misaligned"])
def test_batch_is_read_before_the_metadata_runs_python_code(offset):
    memory, batch = viewed_batch(8, 4, offset)
    expected = [[float(4 * r + c) for c in range(4)] for r in range(8)]

    class Changes:
        def __index__(self):
            batch[0, 0] = -1.0
            try:
                memory.extend(bytes(1 << 20))  # PyPy lets an exported buffer move
            except BufferError:
                pass
            return 1

    index = tamsel.PyHNSW(4, metric="euclidean", schema=["a"])
    index.create(batch, [[("a", Changes())] for _ in range(8)])
    assert sorted(vector for _, vector in index.search([0.0] * 4, k=8)) == expected


# ---------------------------------------------------------------- numpy arrays

DTYPES = ["f8", "f4", "f2", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "?", "<f8", ">f8", ">i4", "O"]


def sample(numpy, dtype, shape):
    dtype = numpy.dtype(dtype)
    rng = numpy.random.default_rng(12)
    if dtype.kind in "iu":
        native = dtype.newbyteorder("=")
        info = numpy.iinfo(native)
        values = rng.integers(info.min, info.max, size=shape, dtype=native, endpoint=True).ravel()
        values[:2] = [info.min, info.max]
        return values.reshape(shape).astype(dtype)
    if dtype.kind == "b":
        return rng.integers(0, 2, size=shape).astype(dtype)
    return (rng.standard_normal(shape) * 100).astype(dtype)


@pytest.mark.parametrize("dtype", DTYPES)
def test_numpy_arrays_convert_like_their_elements(numpy, dtype):
    rows = sample(numpy, dtype, (4, 5))
    expected = [[float(x) for x in row] for row in rows]
    inserted = tamsel.PyFlat(5, "inner_product")
    for row in rows:
        inserted.insert(row)
    assert stored_vectors(inserted, 5) == expected
    created = tamsel.PyFlat(5, "inner_product")
    created.create(rows)
    assert stored_vectors(created, 5) == expected
    assert created.search(rows[1], k=4) == created.search(expected[1], k=4)


@pytest.mark.parametrize(
    "layout",
    [
        lambda a: a,
        lambda a: a.copy(order="F"),
        lambda a: a[::2],
        lambda a: a[::-1],
        lambda a: a[:, ::2],
        lambda a: a[:, ::-1],
        lambda a: a.T.copy().T,
        lambda a: a[1:2],
        lambda a: a[:, 1:2],
    ],
    ids=[
        "C",
        "F",
        "row-step",
        "rows-reversed",
        "column-step",
        "columns-reversed",
        "transposed",
        "one-row",
        "one-column",
    ],
)
@pytest.mark.parametrize("dtype", ["f8", "f4", "i2", "u8"])
def test_numpy_layouts(numpy, layout, dtype):
    rows = layout((numpy.arange(30.0).reshape(6, 5) * 1.25 + 7.0).astype(dtype))
    dim = rows.shape[1]
    index = tamsel.PyFlat(dim, "inner_product")
    index.create(rows)
    assert stored_vectors(index, dim) == [[float(x) for x in row] for row in rows]


def test_numpy_arrays_are_copied(numpy):
    rows = numpy.arange(6.0).reshape(2, 3)
    index = tamsel.PyFlat(3, "inner_product")
    index.create(rows)
    index.insert(rows[0])
    rows[:] = -1.0
    assert stored_vectors(index, 3) == [[0.0, 1.0, 2.0], [3.0, 4.0, 5.0], [0.0, 1.0, 2.0]]


@pytest.mark.parametrize("offset", [0, 1], ids=["aligned", "misaligned"])
def test_numpy_batch_is_read_before_the_metadata_runs_python_code(numpy, offset):
    memory = bytearray(offset + 8 * 12)
    rows = numpy.frombuffer(memory, "f8", offset=offset).reshape(4, 3)
    rows[:] = numpy.arange(12.0).reshape(4, 3)
    expected = rows.tolist()

    class Writes:
        def __index__(self):
            rows[:] = -1.0
            return 1

    index = tamsel.PyHNSW(3, metric="euclidean", schema=["a"])
    index.create(rows, [[("a", Writes())] for _ in range(4)])
    assert sorted(vector for _, vector in index.search([0.0] * 3, k=4)) == expected


def test_numpy_subclass_with_its_own_iteration(numpy):
    class Reordered(numpy.ndarray):
        def __iter__(self):
            return iter([7.0, 8.0, 9.0])

    index = tamsel.PyFlat(3, "inner_product")
    index.insert(numpy.array([1.0, 2.0, 3.0]).view(Reordered))
    assert stored_vectors(index, 3) == [[7.0, 8.0, 9.0]]


def test_numpy_refusals(numpy):
    index = tamsel.PyFlat(3, "inner_product")
    index.insert([1.0, 1.0, 1.0])
    flat = numpy.arange(3.0)
    with pytest.raises(TypeError) as excinfo:
        index.create(flat)
    assert excinfo.value.args == (
        f"argument 'vectors': '{type(flat[0]).__qualname__}' object cannot be converted to 'Sequence'",
    )
    for call, parameter in ((index.insert, "vector"), (index.search, "query")):
        with pytest.raises(TypeError) as excinfo:
            call(numpy.array(5.0))
        assert str(excinfo.value).startswith(f"argument '{parameter}': ")
    with pytest.raises(ValueError) as excinfo:
        index.create(numpy.empty((0, 3)))
    assert excinfo.value.args == ("Create error: EmptyVectors",)
    with pytest.raises(ValueError) as excinfo:
        index.create(numpy.ones((2, 4)))
    assert excinfo.value.args == ("Vector length 4 does not match index dimension 3",)
    assert stored_vectors(index, 3) == [[1.0, 1.0, 1.0]]


# ---------------------------------------------------------------- signals during long calls


class Stop(Exception):
    pass


class Alarms:
    """SIGALRM every millisecond while in use; the handler counts, tries
    `probe` (a call into the index being worked on), recording the
    RuntimeError it raised, if any (ticks between two calls find the index
    free), and raises Stop once `stop_at` probes were refused (never when None)."""

    def __init__(self, stop_at=None, probe=None):
        self.ticks, self.stop_at, self.probe, self.probed, self.stopped = 0, stop_at, probe, [], False

    def handle(self, signum, frame):
        self.ticks += 1
        if self.probe is not None:
            try:
                self.probe()
            except RuntimeError as error:
                self.probed.append(str(error))
            except ValueError:
                pass
        if len(self.probed) == self.stop_at and not self.stopped:
            self.stopped = True
            raise Stop

    def __enter__(self):
        self.previous = signal.signal(signal.SIGALRM, self.handle)
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        return self

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.previous)


needs_alarms = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs signal.setitimer")


@needs_alarms
def test_interrupted_create_keeps_the_vectors_stored_before():
    rng = random.Random(14)
    n = 4000
    data = [[rng.random() for _ in range(8)] for _ in range(n)]
    metadata = [[("i", i)] for i in range(n)]
    index = tamsel.PyHNSW(8, metric="euclidean", ef_construction=100, schema=["i"])
    with Alarms(stop_at=2, probe=lambda: index.search(data[0])) as alarms:
        with pytest.raises(Stop):
            index.create(data, metadata)
    # A handler runs while create holds the index: calls into it are refused.
    assert alarms.probed and set(alarms.probed) == {"Already mutably borrowed"}
    stored = [i for i in range(n) if index.search(data[i], k=1, filter=("i", i))]
    assert 0 < len(stored) < n and stored == list(range(len(stored)))
    # Linked: the walk finds each of them.
    assert all(index.search(data[i], k=1) == [(0.0, data[i])] for i in stored)
    index.insert(data[-1], [("i", n - 1)])
    assert index.search(data[-1], k=1, filter=("i", n - 1)) == [(0.0, data[-1])]


@needs_alarms
def test_long_flat_search_runs_signal_handlers_and_stops_when_one_raises():
    rows, dim = 300_000, 16
    index = tamsel.PyFlat(dim)
    values = array.array("d", [0.5]) * (rows * dim)
    index.create(memoryview(values).cast("B").cast("d", [rows, dim]))
    query = [0.0] * dim
    with Alarms(probe=lambda: index.search(query, k=0)) as alarms:
        for _ in range(3):
            index.search(query)
    # The handlers ran during the scans, not once after each; a search from a
    # handler shares the index with the search it interrupts.
    assert alarms.ticks > 3 and not alarms.probed
    with Alarms(stop_at=2, probe=lambda: index.insert([0.0])) as alarms:
        with pytest.raises(Stop):
            for _ in range(100):
                index.search(query)
    assert alarms.probed and set(alarms.probed) == {"Already borrowed"}
    assert index.search(query, k=2) == [(0, 2.0), (1, 2.0)]


@needs_alarms
@pytest.mark.parametrize("row", [list, tuple])
def test_no_python_code_runs_while_a_batch_is_read(row):
    # A handler that ran inside the conversion would find the index in use.
    index = tamsel.PyFlat(64)
    batch = [row([float(i + j) for j in range(64)]) for i in range(20000)]
    with Alarms(probe=lambda: index.search([0.0] * 64, k=0)) as alarms:
        for _ in range(5):
            index.create(batch)
    assert not alarms.probed


# ---------------------------------------------------------------- other threads during long calls


def hnsw_create_case(meanwhile):
    rng = random.Random(10)
    data = [[rng.random() for _ in range(8)] for _ in range(2000)]
    index = tamsel.PyHNSW(8, metric="euclidean", ef_construction=100)
    index.insert(data[0])
    added = []

    def call_meanwhile(i):
        if meanwhile == "search":
            assert index.search(data[0], k=1) == [(0.0, data[0])]
        else:
            added.append([rng.random() for _ in range(8)])
            index.insert(added[-1])

    def check():
        assert all(index.search(vector, k=1) == [(0.0, vector)] for vector in data + added)

    probe = (lambda: index.search(data[0]), "Already mutably borrowed")
    return lambda: index.create(data[1:]), call_meanwhile, probe, check


def flat_search_case():
    rows, dim = 300_000, 16
    index = tamsel.PyFlat(dim)
    values = array.array("d", [0.5]) * (rows * dim)
    index.create(memoryview(values).cast("B").cast("d", [rows, dim]))
    added = []

    def searches():
        for _ in range(50):
            assert index.search([0.0] * dim, k=1) == [(0, 2.0)]

    def call_meanwhile(i):
        added.append([1.0 + i] * dim)
        index.insert(added[-1])

    def check():
        first_and_last = [index.search(added[i], k=1) for i in (0, -1)]
        assert first_and_last == [[(rows, 0.0)], [(rows + len(added) - 1, 0.0)]]

    return searches, call_meanwhile, (lambda: index.insert([0.0]), "Already borrowed"), check


LONG_CALLS = {
    "PyHNSW.create-search": lambda: hnsw_create_case("search"),
    "PyHNSW.create-insert": lambda: hnsw_create_case("insert"),
    "PyFlat.search-insert": flat_search_case,
}


@needs_alarms
@pytest.mark.parametrize("case", LONG_CALLS)
def test_another_thread_waits_for_a_long_call_to_end(case):
    # At a signal point of a long call a handler, and under PyPy the signal
    # point itself, may let another thread run: that thread's calls into the
    # index wait for the long call to end, while the handler's own calls are
    # refused as re-entries.
    long_call, call_meanwhile, (probe, refusal), check = LONG_CALLS[case]()
    done, calls, failures = threading.Event(), [0], []

    def meanwhile():
        while not done.is_set():
            calls[0] += 1
            try:
                call_meanwhile(calls[0])
            except Exception as error:
                failures.append(error)

    switch_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # the other thread runs at every chance
    thread = threading.Thread(target=meanwhile)
    try:
        with Alarms(probe=probe) as alarms:
            thread.start()
            long_call()
    finally:
        done.set()
        thread.join()
        sys.setswitchinterval(switch_interval)
    assert not failures, f"{len(failures)} of {calls[0]} calls failed meanwhile: {failures[0]!r}"
    assert alarms.probed and set(alarms.probed) == {refusal}
    check()


EXIT_WHILE_WAITING_SCRIPT = r"""
import random, signal, threading
import tamsel

rng = random.Random(1)
data = [[rng.random() for _ in range(8)] for _ in range(20000)]
index = tamsel.PyHNSW(8, metric="euclidean")
index.insert(data[0])
ticks = []

def stop(signum, frame):
    ticks.append(signum)
    if len(ticks) == 50:
        signal.setitimer(signal.ITIMER_REAL, 0)
        raise SystemExit(3)

def search():
    while True:
        index.search(data[0], k=1)

signal.signal(signal.SIGALRM, stop)
signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
threading.Thread(target=search, daemon=True).start()
index.create(data)
"""


@needs_alarms
def test_program_ends_cleanly_while_a_daemon_thread_waits_for_an_index():
    # A handler stops the create and the program; the searching thread is
    # still waiting for the index, or for the lock, when the interpreter ends it.
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(tamsel.__file__)] + sys.path))
    finished = subprocess.run(
        [sys.executable, "-c", EXIT_WHILE_WAITING_SCRIPT], env=environment, capture_output=True, text=True, check=False
    )
    assert (finished.returncode, finished.stderr) == (3, "")
