"""Type stubs for kovra_vector_db.distributed: sharded collections on Dask."""

from types import TracebackType
from typing import Any, Literal, Mapping, Sequence, TypeAlias, overload

import numpy as np
import numpy.typing as npt
from distributed import Client as DaskClient

__all__ = [
    "ShardedCollection",
    "ShardError",
    "ShardUnavailableError",
    "SnapshotRestoreError",
    "shard_of",
    "shards_of",
    "local_ids",
    "global_ids",
    "DEFAULT_TIMEOUT",
]

_Vector: TypeAlias = Sequence[float] | npt.NDArray[Any]
_Payload: TypeAlias = Mapping[str, Any]
_Sparse: TypeAlias = Mapping[int, float]
_BatchResult: TypeAlias = tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]
_BatchPayloads: TypeAlias = tuple[npt.NDArray[np.int64], npt.NDArray[np.float32], list[list[Any]]]

DEFAULT_TIMEOUT: float

def shard_of(id: int, shards: int) -> int: ...
def shards_of(ids: npt.ArrayLike, shards: int) -> npt.NDArray[np.int64]: ...
def local_ids(ids: npt.ArrayLike, shards: int) -> npt.NDArray[np.uint64]: ...
def global_ids(local: npt.ArrayLike, shard: int, shards: int) -> npt.NDArray[np.int64]: ...

class ShardError(RuntimeError):
    failures: dict[int, str]
    succeeded: list[int]
    not_written: dict[int, list[int]]
    def __init__(
        self,
        action: str,
        failures: dict[int, str],
        succeeded: Sequence[int] = (),
        not_written: dict[int, list[int]] | None = None,
    ) -> None: ...

class ShardUnavailableError(ShardError): ...
class SnapshotRestoreError(ShardError): ...

class ShardedCollection:
    def __init__(
        self, client: DaskClient, path: Any, manifest: dict[str, Any], actors: list[Any], futures: list[Any],
        timeout: float,
    ) -> None: ...
    @classmethod
    def create(
        cls,
        client: DaskClient,
        name: str,
        dimensions: int,
        metric: str = "cosine",
        index_type: str = "hnsw",
        shards: int | None = None,
        data_dir: str = "./data",
        storage: str = "shared",
        timeout: float = ...,
    ) -> ShardedCollection: ...
    @classmethod
    def open(cls, client: DaskClient, name: str, data_dir: str = "./data", timeout: float = ...) -> ShardedCollection: ...
    @classmethod
    def from_dask_array(
        cls,
        client: DaskClient,
        name: str,
        vectors: Any,
        ids: Any = None,
        metric: str = "cosine",
        index_type: str = "hnsw",
        shards: int | None = None,
        data_dir: str = "./data",
        storage: str = "shared",
        timeout: float = ...,
    ) -> ShardedCollection: ...
    def close(self) -> None: ...
    def __enter__(self) -> ShardedCollection: ...
    def __exit__(
        self, *exc: type[BaseException] | BaseException | TracebackType | None
    ) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def dimensions(self) -> int: ...
    @property
    def shards(self) -> int: ...
    @property
    def manifest(self) -> dict[str, Any]: ...
    @property
    def count(self) -> int: ...
    def list_shards(self) -> list[dict[str, Any]]: ...
    def upsert(self, id: int, vector: _Vector, payload: _Payload | None = None) -> None: ...
    def upsert_batch(
        self, entries: list[tuple[int, _Vector]] | list[tuple[int, _Vector, _Payload | None]]
    ) -> None: ...
    def upsert_batch_np(
        self, ids: npt.ArrayLike, vectors: npt.ArrayLike, payloads: Sequence[_Payload | None] | None = None
    ) -> None: ...
    def upsert_hybrid(
        self, id: int, vector: _Vector, sparse_vector: _Sparse | None = None, payload: _Payload | None = None
    ) -> None: ...
    def delete(self, id: int) -> bool: ...
    def search(self, query: _Vector, k: int, filter: _Payload | None = None) -> list[dict[str, Any]]: ...
    @overload
    def search_batch(
        self, queries: npt.ArrayLike, k: int, filter: _Payload | None = None, num_threads: int = 0,
        with_payloads: Literal[False] = False,
    ) -> _BatchResult: ...
    @overload
    def search_batch(
        self, queries: npt.ArrayLike, k: int, filter: _Payload | None = None, num_threads: int = 0, *,
        with_payloads: Literal[True],
    ) -> _BatchPayloads: ...
    def search_hybrid(
        self,
        dense_query: _Vector,
        sparse_query: _Sparse,
        k: int,
        dense_weight: float = 0.7,
        sparse_weight: float = 0.3,
        filter: _Payload | None = None,
    ) -> list[dict[str, Any]]: ...
    def create_snapshot(self, name: str) -> dict[str, Any]: ...
    def list_snapshots(self) -> list[dict[str, Any]]: ...
    def restore_snapshot(self, name: str) -> None: ...
    def delete_snapshot(self, name: str) -> None: ...
