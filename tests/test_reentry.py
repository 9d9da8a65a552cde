"""The per-object borrow: calls that re-enter an index from a conversion, from
another index or from another thread, and the index free again after each."""

import threading
import time

import pytest
import tamsel
from helpers import Boom, Hook, Indexable, Iterating, Raising, TypeBoom, attempt, raising, stored_vectors

# ---------------------------------------------------------------- the borrow


HOOKS = {
    "__float__": lambda cb: [Hook(cb), 0.0],
    "__iter__": lambda cb: Iterating([0.0, 0.0], on_iter=cb),
    "__len__": lambda cb: Indexable([0.0, 0.0], on_len=cb),
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


# A failing __len__ is no failure of the conversion: the length only sizes a buffer.
FAILING_HOOKS = [(outer, hook) for outer, hook in OUTER_HOOKS if hook != "__len__"]


@pytest.mark.parametrize("outer, hook", FAILING_HOOKS, ids=[f"{o}-{h}" for o, h in FAILING_HOOKS])
@pytest.mark.parametrize("failure", ["conversion", "operation"])
def test_index_is_free_after_a_failed_call(outer, hook, failure):
    index = tamsel.PyFlat(2, "inner_product")
    if failure == "conversion":
        index.insert([1.0, 1.0])
        with pytest.raises(Boom):
            run_outer(outer, hook, index, raising(Boom))
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


# ---------------------------------------------------------------- re-entry from both classes
#
# A conversion callback that calls back into the object being called gets the
# borrow error the frame defines; a shared use admits another search. The
# index is free again as soon as the outer call returns.


def make_index(cls):
    if cls is tamsel.PyFlat:
        index = tamsel.PyFlat(2)
    else:
        index = tamsel.PyHNSW(2, metric="euclidean", schema=["a"])
    index.create([[0.0, 0.0], [1.0, 1.0]])
    return index


def reentrant_calls(index):
    """Every method of the index, each with valid arguments."""
    calls = {
        "insert": lambda: index.insert([2.0, 2.0]),
        "create": lambda: index.create([[3.0, 3.0]]),
        "search": lambda: index.search([0.0, 0.0], k=1),
    }
    return calls


OUTER_CALLS = {
    # (method, its arguments given the callback): the callback goes where the
    # conversion runs it.
    "insert-element": ("insert", lambda cb: ([Hook(cb), 0.0],)),
    "insert-iter": ("insert", lambda cb: (Iterating([0.0, 0.0], on_iter=cb),)),
    "create-element": ("create", lambda cb: ([[0.0, Hook(cb)]],)),
    "create-iter": ("create", lambda cb: (Iterating([[0.0, 0.0]], on_iter=cb),)),
    "search-element": ("search", lambda cb: ([Hook(cb), 0.0],)),
    "search-k": ("search", lambda cb: ([0.0, 0.0], Hook(cb))),
    "search-iter": ("search", lambda cb: (Iterating([0.0, 0.0], on_iter=cb),)),
}


@pytest.mark.parametrize("inner", ["insert", "create", "search"])
@pytest.mark.parametrize("outer", sorted(OUTER_CALLS))
@pytest.mark.parametrize("cls", [tamsel.PyFlat, tamsel.PyHNSW], ids=["PyFlat", "PyHNSW"])
def test_reentrant_call_gets_the_borrow_error_and_the_index_is_free_after(cls, outer, inner):
    index = make_index(cls)
    method, arguments = OUTER_CALLS[outer]
    call, outcomes = reentrant_calls(index)[inner], []
    getattr(index, method)(*arguments(lambda: outcomes.append(attempt(call))))
    assert outcomes, "the callback never ran"
    kind, detail = outcomes[0]
    if method == "search" and inner == "search":
        assert kind == "ok"  # shared uses coexist
        assert len(detail) == 1
    elif method == "search":
        assert (kind, detail) == ("refused", ("Already borrowed",))
    elif inner == "search":
        assert (kind, detail) == ("refused", ("Already mutably borrowed",))
    else:
        assert (kind, detail) == ("refused", ("Already borrowed",))
    # Free again: every method goes through.
    for call in reentrant_calls(index).values():
        call()


@pytest.mark.parametrize("cls", [tamsel.PyFlat, tamsel.PyHNSW], ids=["PyFlat", "PyHNSW"])
def test_reentrant_error_propagates_out_and_releases_the_use(cls):
    index = make_index(cls)
    before = repr(index.search([0.5, 0.5], k=10))
    searching = Hook(lambda: index.search([0.0, 0.0]))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        index.insert([searching, 0.0])
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        index.create([[0.0, 0.0], [searching, 0.0]])
    assert repr(index.search([0.5, 0.5], k=10)) == before
    index.insert([5.0, 5.0])


def test_reentrant_mutation_from_a_filter_value_is_refused():
    index = tamsel.PyHNSW(2, metric="euclidean", schema=["a"])
    index.create([[0.0, 0.0], [1.0, 1.0]], [[("a", 1)], [("a", 2)]])
    seen = []

    class Value:
        def __index__(self):
            try:
                index.insert([9.0, 9.0])
            except RuntimeError as error:
                seen.append(str(error))
            return 2

    found = index.search([0.0, 0.0], k=5, filter=("a", Value()))
    assert seen == ["Already borrowed"]
    assert [vector for _, vector in found] == [[1.0, 1.0]]
    index.insert([9.0, 9.0])


def test_callback_exceptions_pass_through_unchanged():
    index = tamsel.PyFlat(2)
    with pytest.raises(Boom, match="^from float$"):
        index.insert([Raising(Boom, only="float"), 0.0])
    with pytest.raises(TypeBoom, match="^from float$"):  # a subclass is not prefixed
        index.insert([Raising(TypeBoom, only="float"), 0.0])
    with pytest.raises(TypeError, match="^argument 'vector': from float$"):
        index.insert([Raising(TypeError, only="float"), 0.0])
    with pytest.raises(Boom, match="^from __iter__$"):
        index.create(Iterating([[0.0, 0.0]], on_iter=raising(Boom("from __iter__"))))
    with pytest.raises(Boom, match="^midway$"):
        index.create(Iterating([[0.0, 0.0]] * 4, midway=raising(Boom("midway"))))
    with pytest.raises(ValueError, match="^Search error: EmptyIndex$"):
        index.search([0.0, 0.0])
