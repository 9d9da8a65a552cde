from typing import Any, List, Optional, Sequence, Tuple, Union, final

_Number = Union[float, int]
_Vector = Sequence[_Number]
_Metadata = Sequence[Tuple[str, Any]]

__all__ = ["PyFlat", "PyHNSW"]

@final
class PyFlat:
    """Our Python-facing Flat index."""

    def __new__(cls, dim: int, metric: Optional[str] = None) -> "PyFlat": ...
    def insert(self, vector: _Vector) -> None:
        """Insert a vector into the index."""
    def search(self, query: _Vector, k: Optional[int] = None) -> List[Tuple[int, float]]:
        """Search for the k nearest neighbors. Returns a list of tuples `(id, distance)`."""
    def create(self, vectors: Sequence[_Vector]) -> None:
        """Create an index from a list of vectors."""

@final
class PyHNSW:
    def __new__(
        cls,
        dim: int,
        layers: Optional[int] = None,
        m: Optional[int] = None,
        ef_construction: Optional[int] = None,
        ef_search: Optional[int] = None,
        metric: Optional[str] = None,
        schema: Optional[Sequence[str]] = None,
    ) -> "PyHNSW": ...
    def insert(self, vector: _Vector, metadata: Optional[_Metadata] = None) -> None:
        """Insert a vector into the index."""
    def search(
        self, query: _Vector, k: Optional[int] = None, filter: Optional[Tuple[str, Any]] = None
    ) -> List[Tuple[float, List[float]]]:
        """Search for the k nearest neighbors. Returns a list of tuples `(distance, vector)`."""
    def create(self, vectors: Sequence[_Vector], metadata: Optional[Sequence[_Metadata]] = None) -> None: ...
