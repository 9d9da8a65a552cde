"""The module as Python sees it: import, the two classes, their documentation,
and the life of an instance."""

import copy
import importlib
import inspect
import os
import pickle
import subprocess
import sys
import weakref

import pytest
import tamsel
from helpers import IS_PYPY, SANITIZED, full_gc

CLASSES = [tamsel.PyFlat, tamsel.PyHNSW]

FLAT_SIGNATURE = "(dim, metric=None)"
HNSW_SIGNATURE = "(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None)"

# Each method's docstring as the method table holds it: signature, "--", a
# blank line, then the text.
METHOD_DOCS = {
    (tamsel.PyFlat, "insert"): "insert($self, vector)\n--\n\nInsert a vector into the index.\n\n"
    "The vector is expected as a list of floats whose length equals the index dimension.",
    (tamsel.PyFlat, "search"): "search($self, query, k=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
    "Returns a list of tuples `(id, distance)`.",
    (tamsel.PyFlat, "create"): "create($self, vectors)\n--\n\nCreate an index from a list of vectors.",
    (tamsel.PyHNSW, "insert"): "insert($self, vector, metadata=None)\n--\n\nInsert a vector into the index.\n\n"
    "The vector is expected as a list of floats.\n"
    "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
    '`[("color", "blue"), ("size", 42)]`',
    (tamsel.PyHNSW, "search"): "search($self, query, k=None, filter=None)\n--\n\n"
    "Search for the k nearest neighbors.\n\nReturns a list of tuples `(distance, vector)`.",
    (tamsel.PyHNSW, "create"): "create($self, vectors, metadata=None)\n--\n\n",
}


def new_instance(cls):
    if cls is tamsel.PyHNSW:
        return cls(2, metric="euclidean")
    return cls(2)


def test_all_lists_both_classes_in_order():
    assert type(tamsel.__all__) is list
    assert tamsel.__all__ == ["PyFlat", "PyHNSW"]
    namespace = {}
    exec("from tamsel import *", namespace)
    assert namespace["PyFlat"] is tamsel.PyFlat
    assert namespace["PyHNSW"] is tamsel.PyHNSW
    assert sorted(name for name in namespace if name != "__builtins__") == ["PyFlat", "PyHNSW"]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_are_types_named_without_prefix(cls):
    assert isinstance(cls, type)
    assert cls.__name__ == cls.__qualname__ == tamsel.__all__[CLASSES.index(cls)]
    assert cls.__bases__ == (object,)


def test_module_docstring_is_empty():
    assert tamsel.__doc__ == ""


def test_panic_exception_is_made_with_the_module():
    # Made on first need, it could fail there and leave a failure unreported.
    script = (
        "import tamsel\n"
        "print([(c.__module__, c.__name__) for c in BaseException.__subclasses__() if c.__module__ == 'tamsel'])"
    )
    found = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert found.strip() == "[('tamsel', 'PanicException')]"


# Exact answers under each metric, for a length with tails after every vector
# width (tests/cpp/kernels_tests.cpp compares the walk's measures too).
KERNEL_ANSWERS = """
import random, tamsel
rng = random.Random(7)
vectors = [[rng.gauss(0, 1) for _ in range(37)] for _ in range(203)]
print(tamsel._kernels)
for metric in ("euclidean", "cosine", "inner_product"):
    flat = tamsel.PyFlat(37, metric)
    flat.create(vectors)
    for q in vectors[:5]:
        print([(i, d.hex()) for i, d in flat.search([x + 0.5 for x in q], 20)])
"""


def kernel_answers(kernel_set):
    env = dict(os.environ, TAMSEL_KERNELS=kernel_set)
    done = subprocess.run([sys.executable, "-c", KERNEL_ANSWERS], env=env, capture_output=True, text=True)
    if "this processor does not run it" in done.stderr:
        pytest.skip(f"this processor does not run the {kernel_set} kernels")
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("kernel_set", ["avx2", "avx512"])
def test_every_set_of_kernels_gives_the_baseline_answers_bit_for_bit(kernel_set):
    forced, answers = kernel_answers(kernel_set).split("\n", 1)
    baseline, baseline_answers = kernel_answers("baseline").split("\n", 1)
    assert (forced, baseline) == (kernel_set, "baseline")
    assert answers == baseline_answers


@pytest.mark.parametrize("requested", ["sse9", "AVX2"])
def test_an_unknown_set_of_kernels_fails_the_import(requested):
    script = "import tamsel"
    env = dict(os.environ, TAMSEL_KERNELS=requested)
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert done.returncode != 0
    assert f"ImportError: TAMSEL_KERNELS={requested}: not a set of kernels of this build (baseline" in done.stderr


def test_second_import_gives_the_same_module_and_types():
    first = sys.modules.pop("tamsel")
    try:
        second = importlib.import_module("tamsel")
        if not IS_PYPY:  # PyPy wraps the cached module in a new module object
            assert second is first
        assert second.PyFlat is first.PyFlat
        assert second.PyHNSW is first.PyHNSW
        assert second.__all__ == ["PyFlat", "PyHNSW"]
        index = first.PyFlat(1)
        index.insert([2.0])
        assert isinstance(index, second.PyFlat)
        assert second.PyFlat.search(index, [2.0]) == [(0, 0.0)]
    finally:
        sys.modules["tamsel"] = first


@pytest.mark.parametrize(
    "cls, signature, doc",
    [
        (tamsel.PyFlat, FLAT_SIGNATURE, "Our Python-facing Flat index."),
        (tamsel.PyHNSW, HNSW_SIGNATURE, ""),
    ],
    ids=["PyFlat", "PyHNSW"],
)
def test_class_doc_and_text_signature(cls, signature, doc):
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc
    assert str(inspect.signature(cls)) == signature


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_methods_in_table_order_and_nothing_else_public(cls):
    assert [name for name in vars(cls) if not name.startswith("_")] == ["insert", "search", "create"]
    for name in ("insert", "search", "create"):
        method = vars(cls)[name]
        assert type(method).__name__ == "method_descriptor"
        assert method.__qualname__ == f"{cls.__name__}.{name}"


@pytest.mark.parametrize("cls, name", list(METHOD_DOCS), ids=lambda v: getattr(v, "__name__", v))
def test_method_docstring_and_text_signature(cls, name):
    if IS_PYPY:
        pytest.skip("PyPy keeps no docstring for methods of the vectorcall convention")
    head, separator, text = METHOD_DOCS[cls, name].partition("\n--\n\n")
    assert separator and head.startswith(name + "(")
    method = getattr(cls, name)
    assert method.__text_signature__ == head[len(name) :]
    assert method.__doc__ == (text or None)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_not_subclassable(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):

        class Derived(cls):
            pass

    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (cls,), {})


class SwallowsInitSubclass:
    def __init_subclass__(cls, **kwargs):
        pass


def refused_or_unusable(make):
    """Every way to an instance either raises TypeError or gives an object whose
    methods all raise TypeError."""
    try:
        instance = make()
    except TypeError:
        return
    for call in (lambda: instance.insert([0.0, 0.0]), lambda: instance.search([]), lambda: instance.create([[0.0]])):
        with pytest.raises(TypeError, match="not made by its constructor|not an acceptable base type"):
            call()


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_subclass_through_a_mixin_makes_no_instance(cls):
    # PyPy calls no hook of the class once an earlier base's __init_subclass__
    # does not chain: the subclass is made there, but never an instance of it.
    try:

        class Derived(SwallowsInitSubclass, cls):
            pass

    except TypeError as error:
        assert "not an acceptable base type" in str(error)
        return
    assert IS_PYPY
    for make in (Derived, lambda: Derived(2, metric="euclidean"), lambda: Derived.__new__(Derived, 2)):
        refused_or_unusable(make)
    refused_or_unusable(lambda: object.__new__(Derived))


OTHER_TYPES = {"other-class": None, "dict": dict, "list": list, "not-a-type": 3}


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("other", OTHER_TYPES.values(), ids=OTHER_TYPES.keys())
def test_constructor_builds_only_its_own_class(cls, other):
    if other is None:
        other = tamsel.PyFlat if cls is tamsel.PyHNSW else tamsel.PyHNSW
    with pytest.raises(TypeError, match=r"__new__\(.*(is not a subtype of|is not a type object)"):
        cls.__new__(other, 3, metric="euclidean")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_object_new_gives_no_usable_index(cls):
    # CPython refuses object.__new__ here; PyPy cannot be stopped there, so
    # the methods of what it makes refuse instead.
    refused_or_unusable(lambda: object.__new__(cls))


COPIES = {
    f"pickle-{protocol}": lambda i, p=protocol: pickle.dumps(i, p) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)
}
COPIES.update({"copy": copy.copy, "deepcopy": copy.deepcopy, "reduce": lambda i: i.__reduce__()})


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("duplicate", COPIES.values(), ids=COPIES.keys())
def test_pickling_and_copying_are_refused(cls, duplicate):
    with pytest.raises(TypeError, match=r"cannot pickle '(tamsel\.)?Py(Flat|HNSW)' object"):
        duplicate(new_instance(cls))


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_instance_dict_cannot_be_written(cls):
    instance = new_instance(cls)
    with pytest.raises((AttributeError, TypeError)):
        instance.__dict__["anything"] = 1
    assert getattr(instance, "__dict__", {}) == {}
    with pytest.raises(AttributeError):
        instance.anything  # noqa: B018 (the read is what must raise)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("name", ["anything", "dim", "insert", "__doc__"])
def test_setting_an_attribute_is_refused(cls, name):
    instance = new_instance(cls)
    with pytest.raises(AttributeError):
        setattr(instance, name, 1)
    with pytest.raises(AttributeError):
        delattr(instance, name)
    assert getattr(instance, name, None) != 1


@pytest.mark.skipif(IS_PYPY, reason="PyPy gives every instance of an extension type a __dict__")
@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_instances_have_no_dict(cls):
    instance = new_instance(cls)
    assert not hasattr(instance, "__dict__")
    with pytest.raises((AttributeError, TypeError)):
        object.__setattr__(instance, "anything", 1)


@pytest.mark.skipif(IS_PYPY, reason="PyPy allows weak references to every instance of an extension type")
@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_instances_refuse_weak_references(cls):
    with pytest.raises(TypeError):
        weakref.ref(new_instance(cls))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer keeps freed memory in quarantine")
def test_dropping_an_index_frees_its_vectors():
    dim, rows_per_batch, batches = 512, 8192, 8
    stored = dim * rows_per_batch * batches * 8  # 256 MiB of doubles
    batch = [[0.25] * dim] * rows_per_batch  # one row object repeated: little Python memory
    full_gc()
    before = resident_bytes()
    for _ in range(3):
        index = tamsel.PyFlat(dim)
        for _ in range(batches):
            index.create(batch)
        built = resident_bytes()
        # The measurement sees the store at all.
        assert built - before > stored * 3 // 4
        del index
        full_gc()
        # Everything but noise is returned, and repeating does not accumulate.
        assert resident_bytes() - before < stored // 8
