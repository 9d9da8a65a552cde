"""What the test modules share: flags of the interpreter, a reader of the
stored vectors, and stand-ins for a caller's values (numbers and sequences
with protocol methods of their own, which may raise or call back into an
index).

Imported by name (``from helpers import Indexable``): pytest puts this
directory on ``sys.path`` for the tests in it, which are no package.
"""

import gc
import platform

IS_PYPY = platform.python_implementation() == "PyPy"
HUGE = 2**64 - 1  # a k, or a size, beyond any index


def _sanitized():
    """True when this interpreter runs with AddressSanitizer loaded. Its
    quarantine of freed memory makes resident-size readings meaningless, and
    it aborts on a failed allocation instead of raising; its own leak check
    covers such a run."""
    try:
        with open("/proc/self/maps") as maps:
            return "libasan" in maps.read()
    except OSError:
        return False


SANITIZED = _sanitized()


def full_gc():
    """Collect until nothing more is freed.

    CPython frees an object when its last reference goes; PyPy only at a
    collection, and objects reachable from C-API wrappers may need more than
    one. Call this before asserting that something was released.
    """
    for _ in range(4):
        if gc.collect() == 0 and not IS_PYPY:
            break


def stored_vectors(index, dim):
    """Read back every vector of an inner-product ``PyFlat`` of dimension ``dim``.

    Searching with the j-th unit vector scores each stored vector v as
    0.0 + v[0]*0.0 + ... + v[j]*1.0 + ..., which is v[j] exactly when every
    component is finite (the sign of a zero is lost). Returns the vectors in id order;
    an empty index gives an empty list.
    """
    rows = {}
    for j in range(dim):
        unit = [0.0] * dim
        unit[j] = 1.0
        try:
            found = index.search(unit, k=HUGE)
        except ValueError as error:
            if str(error) != "Search error: EmptyIndex":
                raise
            return []
        for vector_id, value in found:
            rows.setdefault(vector_id, [None] * dim)[j] = value
    assert sorted(rows) == list(range(len(rows))), "ids are not dense"
    return [rows[i] for i in range(len(rows))]


def hits(found, wanted):
    """How many of `found` are among `wanted`, by value and multiplicity."""
    left = {}
    for row in wanted:
        left[tuple(row)] = left.get(tuple(row), 0) + 1
    count = 0
    for row in found:
        if left.get(tuple(row), 0) > 0:
            left[tuple(row)] -= 1
            count += 1
    return count


def as_floats(sequence):
    """The elements of a sequence in iteration order, as floats.

    Written as a loop: a list display would trust the length hint, which some
    of the sequences here make up.
    """
    values = []
    for element in sequence:
        values.append(float(element))
    return values


def attempt(call):
    """("ok", what ``call`` returned), or ("refused", the arguments of the
    RuntimeError it raised, which must be a RuntimeError itself)."""
    try:
        return ("ok", call())
    except RuntimeError as error:
        assert type(error) is RuntimeError
        return ("refused", error.args)


# ---------------------------------------------------------------- exceptions


class Boom(Exception):
    """Raised by a caller's callback: must reach the caller unchanged."""


class TypeBoom(TypeError):
    """A TypeError subclass from a callback: passes without the argument prefix."""


def raising(error):
    """A callback that raises ``error`` (an exception or its class)."""

    def raise_it():
        raise error

    return raise_it


# ---------------------------------------------------------------- numbers


class Text(str):
    pass


class FloatSub(float):
    pass


class IntSub(int):
    pass


class TupleSub(tuple):
    pass


class PlainList(list):
    pass


class Outer:
    class Inner:
        """Named by its qualified name in messages."""


class AsFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"AsFloat({self.value!r})"


class AsIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"AsIndex({self.value!r})"


class Raising:
    """A number whose ``__float__`` and ``__index__`` raise ``error``: an
    exception, or a class raised as ``error("from float")`` or
    ``error("from index")``. With ``only`` ("float" or "index") the other
    conversion gives 1."""

    def __init__(self, error, only=None):
        self.error, self.only = error, only

    def _raise(self, name):
        if self.only in (None, name):
            raise self.error(f"from {name}") if isinstance(self.error, type) else self.error

    def __float__(self):
        self._raise("float")
        return 1.0

    def __index__(self):
        self._raise("index")
        return 1

    def __repr__(self):
        return f"Raising({self.error!r}, only={self.only!r})"


class Hook:
    """A number whose ``__float__`` (0.0) and ``__index__`` (1) run ``callback`` first."""

    def __init__(self, callback):
        self.callback = callback

    def __float__(self):
        self.callback()
        return 0.0

    def __index__(self):
        self.callback()
        return 1

    def __repr__(self):
        return f"Hook({self.callback!r})"


# ---------------------------------------------------------------- sequences


class Indexable:
    """A sequence by ``__len__`` and ``__getitem__`` alone. ``__len__`` claims
    ``length`` (the items' count by default); it and ``__getitem__`` run
    ``on_len`` and ``on_getitem`` first, which may raise or call back into an
    index."""

    def __init__(self, items, length=None, on_len=None, on_getitem=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length
        self.on_len, self.on_getitem = on_len, on_getitem

    def __len__(self):
        if self.on_len is not None:
            self.on_len()
        return self.length

    def __getitem__(self, i):
        if self.on_getitem is not None:
            self.on_getitem()
        return self.items[i]

    def __repr__(self):
        return f"{type(self).__name__}({self.items!r}, length={self.length!r})"


class Iterating(Indexable):
    """An ``Indexable`` with an ``__iter__`` of its own over the same items:
    ``on_iter`` runs when an iteration starts, ``midway`` when it reaches the
    middle item."""

    def __init__(self, items, length=None, on_len=None, on_getitem=None, on_iter=None, midway=None):
        super().__init__(items, length, on_len, on_getitem)
        self.on_iter, self.midway = on_iter, midway

    def __iter__(self):
        if self.on_iter is not None:
            self.on_iter()
        return self._items()

    def _items(self):
        for position, item in enumerate(self.items):
            if position == len(self.items) // 2 and self.midway is not None:
                self.midway()
            yield item
