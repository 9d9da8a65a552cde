"""What the type stub accepts and refuses, for mypy --strict and pyright (.ci/lint.sh, part docs).

Never run: the type checkers read it. Each refused call carries a
`# type: ignore[...]`; both checkers report an ignore that no longer
suppresses anything, so a call the stub starts to accept fails the check
as surely as an accepted call it starts to refuse.
"""

import array

import numpy as np
import numpy.typing as npt

from tamsel import PyFlat, PyHNSW

data = np.random.default_rng(0).normal(size=(100, 4))
singles: npt.NDArray[np.float32] = data.astype(np.float32)
ints = np.arange(8, dtype=np.int64).reshape(2, 4)
doubles = array.array("d", [1.0, 2.0, 3.0, 4.0])

flat = PyFlat(4, metric="cosine")
for batch in (data, singles, ints, list(data), [data[0], singles[1]], memoryview(doubles)):
    flat.create(batch)
flat.create([[1.0, 2.0, 3.0, 4.0], [1, 2, 3, 4]])
flat.create(((1.0, 2.0, 3.0, 4.0),))
flat.create([doubles, memoryview(doubles), range(4)])
for vector in (data[0], singles[0], ints[0], doubles, memoryview(doubles), array.array("i", [1, 2, 3, 4])):
    flat.insert(vector)
flat.insert([1.0, 2, True, np.float64(1.0)])
flat.insert((1.0, 2.0, 3.0, 4.0))
flat.insert(range(4))
hits: list[tuple[int, float]] = flat.search(-data[3], k=np.int64(5))
best = flat.search([-x for x in data[3].tolist()], k=10)

hnsw = PyHNSW(data.shape[1], metric="angular", schema=["color"], ef_search=np.int32(60))
hnsw.create(data, metadata=[[("color", "red")] for _ in range(len(data))])
hnsw.insert(data[0], metadata=[("color", "blue")])
found: list[tuple[float, list[float]]] = hnsw.search(-data[3], k=10, filter=("color", "red"))
PyHNSW(4, metric="euclidean")
PyHNSW(4, metric="inner_product")

flat.insert("abcd")  # type: ignore[arg-type]
flat.insert(4)  # type: ignore[arg-type]
flat.insert(["a", "b", "c", "d"])  # type: ignore[list-item]
flat.insert({0: 1.0, 1: 2.0, 2: 3.0, 3: 4.0})  # type: ignore[arg-type]
flat.create([1.0, 2.0, 3.0, 4.0])  # type: ignore[list-item]
flat.create("abcd")  # type: ignore[arg-type]
flat.create(["abcd"])  # type: ignore[list-item]
flat.search("abcd")  # type: ignore[arg-type]
flat.search(data[0], k=1.5)  # type: ignore[arg-type]
PyHNSW(4, metric="euclidian")  # type: ignore[arg-type]
PyHNSW(4, metric="cosine")  # type: ignore[arg-type]
