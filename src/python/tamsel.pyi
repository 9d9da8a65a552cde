from typing import (
    Any,
    List,
    Literal,
    Optional,
    Protocol,
    Sequence,
    SupportsFloat,
    SupportsIndex,
    Tuple,
    Union,
    final,
    overload,
)

from typing_extensions import Buffer

# A number: what float() or operator.index() takes (float, int, bool, numpy's
# scalars).
_Number = Union[SupportsFloat, SupportsIndex]

# Indexable by position and by slice, as a list, a tuple, a range, an
# array.array or a numpy array is; the slice overload keeps out a dict keyed
# by ints, which the module refuses.
class _NumberSequence(Protocol):
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int, /) -> _Number: ...
    @overload
    def __getitem__(self, index: slice, /) -> Any: ...

# A vector: a buffer of numbers (bytes, memoryview, array.array; a numpy array
# where its stubs declare the buffer protocol, Python 3.12 and later) or a
# sequence of numbers (a list, a tuple, a 1-D numpy array under any version).
# A str is neither.
_Vector = Union[Buffer, _NumberSequence]

class _VectorSequence(Protocol):
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int, /) -> _Vector: ...
    @overload
    def __getitem__(self, index: slice, /) -> Any: ...

# Several vectors: a 2-D buffer (a memoryview of one) or a sequence of vectors
# (a list of lists or of arrays, a 2-D numpy array). A checker cannot tell a
# 1-D numpy array from a 2-D one: the module refuses a 1-D array here.
_Vectors = Union[Buffer, _VectorSequence]

_Metadata = Sequence[Tuple[str, Any]]
# PyHNSW's metric names, spelled exactly; None is refused at run time.
_HNSWMetric = Literal["euclidean", "angular", "inner_product"]

__all__ = ["PyFlat", "PyHNSW"]

@final
class PyFlat:
    """Our Python-facing Flat index."""

    # Any name but "cosine" and "inner_product" (None too) is the Euclidean distance.
    def __new__(cls, dim: SupportsIndex, metric: Optional[str] = None) -> "PyFlat": ...
    def insert(self, vector: _Vector) -> None:
        """Insert a vector into the index."""
    def search(self, query: _Vector, k: Optional[SupportsIndex] = None) -> List[Tuple[int, float]]:
        """Search for the k nearest neighbors. Returns a list of tuples `(id, distance)`."""
    def create(self, vectors: _Vectors) -> None:
        """Create an index from a list of vectors."""

@final
class PyHNSW:
    def __new__(
        cls,
        dim: SupportsIndex,
        layers: Optional[SupportsIndex] = None,
        m: Optional[SupportsIndex] = None,
        ef_construction: Optional[SupportsIndex] = None,
        ef_search: Optional[SupportsIndex] = None,
        metric: Optional[_HNSWMetric] = None,
        schema: Optional[Sequence[str]] = None,
    ) -> "PyHNSW": ...
    def insert(self, vector: _Vector, metadata: Optional[_Metadata] = None) -> None:
        """Insert a vector into the index."""
    def search(
        self, query: _Vector, k: Optional[SupportsIndex] = None, filter: Optional[Tuple[str, Any]] = None
    ) -> List[Tuple[float, List[float]]]:
        """Search for the k nearest neighbors. Returns a list of tuples `(distance, vector)`."""
    def create(self, vectors: _Vectors, metadata: Optional[Sequence[_Metadata]] = None) -> None: ...
