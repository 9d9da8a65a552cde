"""tamsel sharded over Dask: one index per worker, searched in batches, merged exactly.

Run after `pip install ".[shards]"` (CPython; Dask does not run under PyPy):

    python examples/sharded.py               # 20,000 vectors of 32 dimensions on 2 shards

Each shard is a Dask actor holding one `PyFlat` or `PyHNSW`, built on its
worker from the rows sent to it in chunks (an index cannot be pickled, and
never travels). Shard s holds a contiguous block of the rows, so its local id
i is global id offsets[s] + i. A batch of queries costs one actor call per
shard, all sent before any answer is awaited; each shard returns its own top k
with the index's exact float64 scores, and the k best of their union are kept
in the order `PyFlat` uses: ascending score, NaN after every number, the
smaller global id first among equal scores. So the merge of `PyFlat` shards is
the answer of one `PyFlat` over all the rows, id for id and bit for bit.

`PyHNSW` returns vectors, not ids: its shard keeps a digest of each stored
vector's float64 values (NaN made canonical) with the local ids that hold it,
and gives copies of one vector their ids in ascending order (under a filter,
among the ids that pass it). The digest is 16 bytes of BLAKE2b: two distinct
vectors share one with a chance of about n^2 / 2^129.
"""

from __future__ import annotations

import hashlib
import time
from typing import Any, Callable, Literal, Optional, Protocol, Sequence, Tuple, TypeVar, cast

import numpy as np
import numpy.typing as npt
from distributed import Client, LocalCluster

from tamsel import PyFlat, PyHNSW

Rows = npt.NDArray[np.float64]
Ids = npt.NDArray[np.int64]
Metadata = Sequence[Tuple[str, Any]]
Filter = Tuple[str, Any]
Hit = Tuple[int, float]
Kind = Literal["flat", "hnsw"]

T_co = TypeVar("T_co", covariant=True)


def digests(rows: Rows) -> list[bytes]:
    """A key per row: 16 bytes of BLAKE2b over its float64 values, every NaN as one NaN."""
    rows = np.ascontiguousarray(rows, dtype=np.float64)
    nan = np.isnan(rows)
    if nan.any():
        rows = np.where(nan, np.nan, rows)
    return [hashlib.blake2b(row.tobytes(), digest_size=16).digest() for row in rows]


def matches(value: object, wanted: object) -> bool:
    """A filter's equality test as the index makes it: str, int (bool is an int)
    and float are kinds that never match each other, and NaN matches nothing."""
    kinds = (str, int, float)
    kind = [k for k in kinds if isinstance(value, k)][:1]
    return kind == [k for k in kinds if isinstance(wanted, k)][:1] and value == wanted


class Shard:
    """One index and what it needs to name its results, living on one worker."""

    def __init__(self, kind: Kind, dim: int, params: dict[str, Any]) -> None:
        self.dim = dim
        self.flat = PyFlat(dim, **params) if kind == "flat" else None
        self.hnsw = PyHNSW(dim, **params) if kind == "hnsw" else None
        self.count = 0
        self.ids_of: dict[bytes, list[int]] = {}  # PyHNSW: the local ids of each vector value
        self.records: list[dict[str, Any]] = []  # PyHNSW with metadata: each row's, by name

    def ping(self) -> None:
        """Nothing: the round trip of a call."""

    def add(self, start: int, rows: Rows, metadata: Optional[Sequence[Metadata]] = None) -> int:
        """Appends a chunk of rows (with their metadata) whose first local id is `start`."""
        if start != self.count:
            raise RuntimeError(f"chunk for local id {start} reached a shard holding {self.count} rows")
        if self.flat is not None:
            self.flat.create(rows)
        elif self.hnsw is not None:
            self.hnsw.create(rows, metadata)
            for i, key in enumerate(digests(rows)):
                self.ids_of.setdefault(key, []).append(start + i)
            if metadata is not None:
                self.records.extend(dict(record) for record in metadata)
        self.count += len(rows)
        return self.count

    def search(self, queries: Rows, k: int, filter: Optional[Filter] = None) -> Tuple[Ids, Rows]:
        """Each query's top k as local ids and scores, (len(queries), min(k, rows)) arrays;
        id -1 where a query has fewer results."""
        width = min(k, self.count)
        ids = np.full((len(queries), width), -1, dtype=np.int64)
        scores = np.full((len(queries), width), np.nan)
        for row, query in enumerate(queries):
            if width == 0:
                break
            if self.flat is not None:
                flat_hits = self.flat.search(query, width)
                ids[row, : len(flat_hits)] = [i for i, _ in flat_hits]
                scores[row, : len(flat_hits)] = [score for _, score in flat_hits]
            elif self.hnsw is not None:
                hits = self.hnsw.search(query, width, filter)
                if hits:
                    ids[row, : len(hits)] = self.local_ids([vector for _, vector in hits], filter)
                    scores[row, : len(hits)] = [score for score, _ in hits]
        return ids, scores

    def local_ids(self, vectors: list[list[float]], filter: Optional[Filter]) -> list[int]:
        """The ids of returned vectors: the copies of one value take its ids in
        ascending order, under a filter among those that pass it."""
        taken: dict[bytes, int] = {}
        out: list[int] = []
        for key in digests(np.array(vectors, dtype=np.float64)):
            ids = self.ids_of[key]
            if filter is not None and len(ids) > 1:
                name, wanted = filter
                ids = [i for i in ids if i < len(self.records) and matches(self.records[i].get(name), wanted)]
            out.append(ids[taken.get(key, 0)])
            taken[key] = taken.get(key, 0) + 1
        return out


class Pending(Protocol[T_co]):
    def result(self, timeout: Optional[float] = None) -> T_co: ...


class DaskClient(Protocol):
    """What ShardedIndex takes of a distributed.Client, whose methods are only partly annotated."""

    def upload_file(self, filename: str) -> object: ...
    def scheduler_info(self) -> dict[str, Any]: ...
    def submit(
        self, func: Callable[..., Shard], *args: object, actor: bool, workers: list[str], pure: bool
    ) -> Pending[object]: ...


class ShardCalls(Protocol):
    """A Shard actor as the driver sees it: each call returns at once, its result later."""

    def ping(self) -> Pending[None]: ...
    def add(self, start: int, rows: Rows, metadata: Optional[Sequence[Metadata]]) -> Pending[int]: ...
    def search(self, queries: Rows, k: int, filter: Optional[Filter]) -> Pending[Tuple[Ids, Rows]]: ...


def merge(parts: Sequence[Tuple[Ids, Rows]], offsets: Sequence[int], k: int) -> list[list[Hit]]:
    """The k best of the shards' results for each query, as PyFlat orders them:
    ascending score, NaN after every number, the smaller global id first."""
    ids = np.concatenate([np.where(i >= 0, i + offset, -1) for (i, _), offset in zip(parts, offsets)], axis=1)
    scores = np.concatenate([s for _, s in parts], axis=1)
    missing = ids < 0
    nan = np.isnan(scores) & ~missing
    order = np.lexsort((ids, np.where(nan | missing, 0.0, scores), nan, missing), axis=-1)[:, :k]
    ids = np.take_along_axis(ids, order, axis=1)
    scores = np.take_along_axis(scores, order, axis=1)
    counts = np.minimum((~missing).sum(axis=1), k)
    return [list(zip(ids[q, :c].tolist(), scores[q, :c].tolist())) for q, c in enumerate(counts.tolist())]


class ShardedIndex:
    """`shards` indexes of one kind, one per worker of `client`'s cluster (round robin)."""

    def __init__(self, client: Client, shards: int, kind: Kind, dim: int, **params: Any) -> None:
        dask = cast(DaskClient, client)
        # The workers unpickle Shard by its module's name: send them this file.
        dask.upload_file(__file__)
        workers: list[str] = sorted(dask.scheduler_info()["workers"])
        futures = [
            dask.submit(Shard, kind, dim, params, actor=True, workers=[workers[s % len(workers)]], pure=False)
            for s in range(shards)
        ]
        self.shards = [cast(ShardCalls, future.result()) for future in futures]
        self.kind = kind
        self.offsets: list[int] = []

    def create(self, rows: Rows, metadata: Optional[Sequence[Metadata]] = None, chunk: int = 10_000) -> None:
        """Stores the rows, a contiguous block per shard, sent in chunks; once per index."""
        if self.offsets:
            raise RuntimeError("a ShardedIndex is created once")
        bounds = [len(rows) * s // len(self.shards) for s in range(len(self.shards) + 1)]
        self.offsets = bounds[:-1]
        for step in range(0, max(b - a for a, b in zip(bounds, bounds[1:])), chunk):
            calls: list[Pending[int]] = []
            for shard, begin, end in zip(self.shards, bounds, bounds[1:]):
                lo, hi = begin + step, min(begin + step + chunk, end)
                if lo < hi:
                    calls.append(shard.add(step, rows[lo:hi], None if metadata is None else metadata[lo:hi]))
            for call in calls:
                call.result()

    def search(self, queries: Rows, k: int = 1, filter: Optional[Filter] = None, batch: int = 1000) -> list[list[Hit]]:
        """For each query, the k best (global id, score) over every shard."""
        if filter is not None and self.kind == "flat":
            raise ValueError("PyFlat shards take no filter")
        out: list[list[Hit]] = []
        for start in range(0, len(queries), batch):
            calls = [shard.search(queries[start : start + batch], k, filter) for shard in self.shards]
            out.extend(merge([call.result() for call in calls], self.offsets, k))
        return out


# distributed's constructors carry no annotations: typed names for the two used here.
new_cluster: Callable[..., LocalCluster] = LocalCluster
new_client: Callable[..., Client] = Client


def local_cluster(workers: int) -> LocalCluster:
    """Worker processes on this machine, on 127.0.0.1, without a dashboard."""
    return new_cluster(
        n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    )


def main() -> None:
    n, dim, nq, k = 20_000, 32, 200, 10
    rng = np.random.default_rng(7)
    rows = rng.normal(size=(n, dim))
    queries = rng.normal(size=(nq, dim))
    colors = [str(c) for c in rng.choice(["red", "green", "blue"], size=n)]
    metadata = [[("color", c)] for c in colors]
    cluster = local_cluster(2)
    # Actor calls straight to the workers, not through the scheduler: docs/sharding.md.
    client = new_client(cluster, direct_to_workers=True)
    with cluster, client:
        flat = ShardedIndex(client, 2, "flat", dim)
        flat.create(rows)
        t = time.perf_counter()
        merged = flat.search(queries, k)
        seconds = time.perf_counter() - t
        one = PyFlat(dim)
        one.create(rows)
        same = merged == [one.search(q, k) for q in queries]
        print(f"PyFlat on 2 shards: {nq} queries in {seconds:.3f} s; equal to one PyFlat: {same}")

        hnsw = ShardedIndex(client, 2, "hnsw", dim, metric="euclidean", ef_search=40, schema=["color"])
        hnsw.create(rows, metadata)
        found = hnsw.search(queries, k)
        recall = np.mean([len({i for i, _ in f} & {i for i, _ in e}) / k for f, e in zip(found, merged)])
        print(f"PyHNSW on 2 shards: recall@{k} {recall:.3f} at ef_search 40")
        red = hnsw.search(queries[:3], k, filter=("color", "red"))
        print("filtered on red:", all(colors[i] == "red" for hits in red for i, _ in hits))


if __name__ == "__main__":
    main()
