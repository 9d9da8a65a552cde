"""Vectors and batches read from buffers (memoryviews, arrays, bytes, numpy
arrays): the values of their elements, every layout, and reads that finish
before the caller's code can change or move the memory."""

import array

import pytest
import tamsel
from helpers import HUGE, stored_vectors


# ---------------------------------------------------------------- memoryviews


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
    assert excinfo.value.args == ("argument 'vectors': 'float64' object cannot be converted to 'Sequence'",)
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


# ---------------------------------------------------------------- buffers
#
# A buffer of numbers is read without a Python object per element; the values
# must be exactly those the element-by-element rule gives.

BUFFER_CASES = {
    "bool-bytes": lambda: memoryview(bytes([0, 1, 2, 255])).cast("?"),
    "signed-bytes": lambda: memoryview(bytes([0, 1, 128, 255])).cast("b"),
    "unsigned-bytes": lambda: bytes([0, 1, 128, 255]),
    "int64": lambda: array.array("q", [-(2**63), -1, 0, 2**63 - 1]),
    "uint64": lambda: array.array("Q", [0, 1, 2**53 + 1, HUGE]),
    "float32": lambda: array.array("f", [0.1, -2.5, 1e30, -0.0]),
    "reversed": lambda: memoryview(array.array("d", [1.0, 2.0, 3.0, 4.0]))[::-1],
}


@pytest.mark.parametrize("case", sorted(BUFFER_CASES))
def test_buffer_vectors_hold_the_values_of_their_elements(case):
    vector = BUFFER_CASES[case]()
    expected = [float(x) for x in vector]
    index = tamsel.PyFlat(4, "inner_product")
    index.insert(vector)
    index.create([vector, list(vector)])
    for j in range(4):
        unit = [0.0] * 4
        unit[j] = 1.0
        scores = [score for _, score in sorted(index.search(unit, k=3))]
        assert scores == [expected[j]] * 3, f"component {j}"


@pytest.mark.parametrize("dtype", ["?", "i1", "u1", "i8", "u8", "f4", "f8"])
def test_numpy_batches_hold_the_values_of_their_elements(numpy, dtype):
    raw = numpy.array([[0, 1, 2, 255], [3, 250, 7, 128]], dtype="u1")
    batch = raw.view(numpy.bool_) if dtype == "?" else raw.astype(dtype)
    expected = [[float(x) for x in row] for row in batch]
    index = tamsel.PyFlat(4, "inner_product")
    index.create(batch)
    for j in range(4):
        unit = [0.0] * 4
        unit[j] = 1.0
        assert [score for _, score in sorted(index.search(unit, k=2))] == [expected[0][j], expected[1][j]]
