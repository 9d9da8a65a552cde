"""The conversion of the values a caller passes: which objects are vectors and
batches, the numbers their elements give, the errors of those that are not,
and the reads that trust neither length hints nor rebound names."""

import array
import builtins
import collections
import decimal
import fractions
import os
import random
import subprocess
import sys

import pytest
import tamsel
from helpers import (
    IS_PYPY,
    AsFloat,
    AsIndex,
    FloatSub,
    Indexable,
    IntSub,
    Outer,
    PlainList,
    Raising,
    Text,
    TypeBoom,
    as_floats,
    raising,
    stored_vectors,
)

LIE = 2**62  # a length hint beyond any memory that still fits a Py_ssize_t

# ---------------------------------------------------------------- the sequence rule


class GetitemOnly:
    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]


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
    "len-raises": lambda: Indexable([1.5, -2.0, 3.25], on_len=raising(ValueError("no length today"))),
    "len-huge": lambda: Indexable([1.5, -2.0, 3.25], length=LIE),
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
    index.create(Indexable([[1.0, 1.0, 1.0]], length=LIE))
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


# Each with the name that the message gives its type.
NON_SEQUENCES = {
    "None": (lambda: None, "NoneType"),
    "int": (lambda: 5, "int"),
    "float": (lambda: 2.5, "float"),
    "bool": (lambda: True, "bool"),
    "generator": (lambda: (x for x in [1.0, 2.0, 3.0]), "generator"),
    "iterator": (lambda: iter([1.0, 2.0, 3.0]), "sequenceiterator" if IS_PYPY else "list_iterator"),
    "set": (lambda: {1.0, 2.0, 3.0}, "set"),
    "frozenset": (lambda: frozenset([1.0, 2.0, 3.0]), "frozenset"),
    "dict": (lambda: {0: 1.0, 1: 2.0, 2: 3.0}, "dict"),
    "dict-subclass": (lambda: DictSub({0: 1.0, 1: 2.0, 2: 3.0}), "DictSub"),
    "dict-keys": (lambda: {0: 1.0}.keys(), "dict_keys"),
    "iterable-only": (OnlyIter, "OnlyIter"),
    "object": (object, "object"),
    "nested-class": (Outer.Inner, "Outer.Inner"),
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
@pytest.mark.parametrize("make, name", NON_SEQUENCES.values(), ids=NON_SEQUENCES.keys())
def test_non_sequences_are_refused(make, name, place):
    call, parameter = place
    value = make()
    index = populated()
    with pytest.raises(TypeError) as excinfo:
        call(index, value)
    assert type(excinfo.value) is TypeError
    assert excinfo.value.args == (f"argument '{parameter}': '{name}' object cannot be converted to 'Sequence'",)
    assert stored_vectors(index, 3) == [[0.5, 1.5, 2.5]]


@pytest.mark.parametrize("place", PLACES.values(), ids=PLACES.keys())
@pytest.mark.parametrize("cls", [Nameless, BadName], ids=["name-raises", "name-not-str"])
def test_unreadable_type_name(cls, place):
    call, parameter = place
    with pytest.raises(TypeError) as excinfo:
        call(populated(), cls())
    expected = f"argument '{parameter}': '<failed to extract type name>' object cannot be converted to 'Sequence'"
    assert excinfo.value.args == (expected,)


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


class OwnBaseException(BaseException):
    pass


@pytest.mark.parametrize("place", VECTOR_PLACES.values(), ids=VECTOR_PLACES.keys())
@pytest.mark.parametrize(
    "error",
    [TypeBoom("subclass of TypeError"), ValueError("not a number"), ArithmeticError("odd"), OwnBaseException()],
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
    pytest.param(3, lambda: ("insert", Indexable([1.0, 2.0, 3.0], length=LIE)), True, id="insert-vector"),
    pytest.param(3, lambda: ("create", Indexable([[1.0, 2.0, 3.0]], length=LIE)), True, id="create-outer"),
    pytest.param(3, lambda: ("create", [Indexable([1.0, 2.0, 3.0], length=LIE)]), True, id="create-inner"),
    pytest.param(
        3,
        lambda: ("create", Indexable([Indexable([1.0, 2.0, 3.0], length=LIE)], length=LIE)),
        True,
        id="create-both",
    ),
    pytest.param(
        3, lambda: ("create", [Indexable([1.0, 2.0, 3.0], length=LIE)] * 50000), True, id="create-many-lying-vectors"
    ),
    pytest.param(
        4000,
        lambda: ("create", Indexable([[0.5] * 4000], length=LIE)),
        True,
        id="create-outer-long-vector",
    ),
    # A reservation this large cannot succeed here; the call must still.
    pytest.param(
        100000, lambda: ("create", Indexable([[0.5] * 100000], length=LIE)), False, id="create-outer-huge-vector"
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
