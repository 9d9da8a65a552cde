"""Fixtures and the report header of the tamsel test suite; the helpers the
test modules import are in helpers.py."""

import platform
import sys

import pytest
from helpers import IS_PYPY


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
