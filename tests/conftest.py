"""Shared fixtures and flags for the tamsel test suite.

Importable from test modules as ``from conftest import IS_PYPY, full_gc``.
"""

import gc
import platform
import sys

import pytest

IS_PYPY = platform.python_implementation() == "PyPy"


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


@pytest.fixture
def is_pypy():
    return IS_PYPY


@pytest.fixture(scope="session")
def numpy():
    """The numpy module, or skip the test when numpy is not installed."""
    return pytest.importorskip("numpy")


def pytest_report_header(config):
    lines = [f"interpreter: {platform.python_implementation()} {platform.python_version()} ({sys.executable})"]
    try:
        import tamsel
    except ImportError as exc:
        lines.append(f"tamsel: not importable ({exc})")
    else:
        lines.append(f"tamsel: {getattr(tamsel, '__file__', '?')} (kernels: {getattr(tamsel, '_kernels', '?')})")
    try:
        import numpy
    except ImportError:
        lines.append("numpy: not installed (numpy tests skip)")
    else:
        lines.append(f"numpy: {numpy.__version__}")
    return lines


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
            found = index.search(unit, k=2**64 - 1)
        except ValueError as error:
            if str(error) != "Search error: EmptyIndex":
                raise
            return []
        for vector_id, value in found:
            rows.setdefault(vector_id, [None] * dim)[j] = value
    assert sorted(rows) == list(range(len(rows))), "ids are not dense"
    return [rows[i] for i in range(len(rows))]
