"""Sharded collections on a Dask cluster.

A `ShardedCollection` spreads one collection over several ordinary
collections, the shards, each held by a Dask actor on a worker. Ids go to
shards by a fixed rule on the id (`shard_of`), so a write touches only the
shards of its ids; a search asks every shard in parallel and merges their k
best. Dask's distributed scheduler does the placement, the transport and the
membership; this module only routes and merges.

On disk, `data_dir/<name>/` holds `manifest.json` (dimensions, metric, index
type, shard count, hash rule, storage mode and placement) and one directory per
shard, `shard-<i>/`, which is an ordinary data directory holding the
collection `<name>`: `kovra_vector_db.Client(".../<name>/shard-0")` opens it.
A shard stores id i under i // shards (`local_ids`; `global_ids` goes back).
"""

from __future__ import annotations

import concurrent.futures
import json
import os
import pathlib
import threading
import time
from typing import Any, Iterable, Sequence

import numpy as np
from distributed import Actor, Client as DaskClient, get_worker

import kovra_vector_db as kv

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

MANIFEST = "manifest.json"
MANIFEST_FORMAT = 1
HASH_RULE = "splitmix64(id) % shards"
# Seconds a call waits for a shard before it names the shard and gives up.
# A worker that dies is noticed sooner: its connection fails at once, and the
# scheduler drops it from its list within a few seconds; this bound is for a
# worker that is alive but does not answer.
DEFAULT_TIMEOUT = 60.0
# How often a waiting call looks whether the workers it waits for are still there.
_POLL = 0.25
_MASK = (1 << 64) - 1
_METRICS = ("l2", "cosine", "dot_product")
_INDEX_TYPES = ("hnsw", "flat", "quantized_flat", "fp16_flat", "ivf", "ivf_pq", "mmap_flat", "binary_flat")


# ---------------------------------------------------------------- hash rule
#
# Id i with (q, r) = divmod(i, shards) goes to shard (r + splitmix64(q)) % shards
# and is stored there under the shard-local id q. Within each block of
# `shards` consecutive ids the rule is a rotation, so every block puts exactly
# one id on every shard (dense ids split evenly) and every shard's local ids
# stay as dense as the global ones. The rotation by a hash of the block keeps
# ids with a common stride (every id a multiple of the shard count, say) from
# piling up on one shard.

def _mix(q: int) -> int:
    """The splitmix64 finaliser."""
    z = (int(q) + 0x9E3779B97F4A7C15) & _MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
    return z ^ (z >> 31)


def _mix_array(q: np.ndarray) -> np.ndarray:
    z = q + np.uint64(0x9E3779B97F4A7C15)
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return z ^ (z >> np.uint64(31))


def shard_of(id: int, shards: int) -> int:
    """The shard of one id."""
    q, r = divmod(int(id), shards)
    return (r + _mix(q)) % shards


def shards_of(ids: Any, shards: int) -> np.ndarray:
    """`shard_of` for an array of ids."""
    ids = np.asarray(ids, dtype=np.uint64)
    s = np.uint64(shards)
    return ((ids % s + _mix_array(ids // s) % s) % s).astype(np.int64)


def local_ids(ids: Any, shards: int) -> np.ndarray:
    """The ids under which their shards store `ids`."""
    return np.asarray(ids, dtype=np.uint64) // np.uint64(shards)


def _global_id(local: int, shard: int, shards: int) -> int:
    return int(local) * shards + (shard - _mix(local)) % shards


def global_ids(local: Any, shard: int, shards: int) -> np.ndarray:
    """The ids that shard `shard` stores under `local` (-1 stays -1)."""
    local = np.asarray(local, dtype=np.int64)
    q = np.where(local < 0, 0, local).astype(np.uint64)
    s = np.uint64(shards)
    r = (np.uint64(shard) + s - _mix_array(q) % s) % s
    return np.where(local < 0, -1, (q * s + r).astype(np.int64))


# ------------------------------------------------------------------- errors

class ShardError(RuntimeError):
    """A call failed on some shards.

    `failures` maps each failed shard to the reason; `not_written` maps a shard
    to the ids of this call it did not acknowledge (writes only); `succeeded`
    lists the shards that did their part.
    """

    def __init__(self, action: str, failures: dict[int, str], succeeded: Sequence[int] = (),
                 not_written: dict[int, list[int]] | None = None):
        self.failures = dict(failures)
        self.succeeded = sorted(succeeded)
        self.not_written = dict(not_written or {})
        parts = []
        for shard in sorted(self.failures):
            text = f"shard {shard}: {self.failures[shard]}"
            ids = self.not_written.get(shard)
            if ids:
                shown = ", ".join(str(i) for i in ids[:10])
                more = f", ... ({len(ids)} ids)" if len(ids) > 10 else ""
                text += f"; ids not written: [{shown}{more}]"
            parts.append(text)
        super().__init__(f"{action} failed on {len(self.failures)} shard(s): " + "; ".join(parts))


class ShardUnavailableError(ShardError):
    """A shard's worker is gone or did not answer in time. Ids it was sent are
    not acknowledged: each may or may not be in its log."""


class SnapshotRestoreError(ShardError):
    """A restore that did not complete on every shard: `succeeded` were restored,
    `failures` were not (they keep their state from before the call)."""


# --------------------------------------------------------------- shard side

def _aligned(array: Any, dtype) -> Any:
    """An array as it arrived from the network may sit at any byte offset of
    its message; the collection refuses float32 rows that are not aligned to
    4 bytes, so such an array is copied once here."""
    if isinstance(array, np.ndarray):
        return np.require(array, dtype, ["C_CONTIGUOUS", "ALIGNED"])
    return array


class ShardActor:
    """One shard: an ordinary collection held open on a worker.

    Methods are coroutines that hand the work to the actor's own thread, so the
    worker's event loop stays free for heartbeats and several shards on one
    worker run side by side. The thread is one per shard: its collection
    object sees one call at a time, as the collection's borrow rules want.
    """

    def __init__(self, data_dir: str, name: str, create: dict | None = None):
        self._data_dir = data_dir
        self._name = name
        self._client = kv.Client(data_dir)
        if create is not None:
            self._collection = self._client.create_collection(name, **create)
        else:
            self._collection = self._client.get_collection(name)
        self._thread = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix=f"kovra-shard-{name}")
        self._searchers: concurrent.futures.ThreadPoolExecutor | None = None

    async def _run(self, fn, *args):
        import asyncio
        return await asyncio.get_running_loop().run_in_executor(self._thread, fn, *args)

    # Writes. A batch goes in as one collection batch (one log flush); if the
    # collection refuses it, its entries go in again one by one, which is safe
    # because an upsert is idempotent, so that exactly the refused ids are
    # reported and every other one is logged.
    def _write(self, ids: np.ndarray, vectors: Any, payloads: list | None) -> list[tuple[int, str]]:
        col = self._collection
        try:
            if isinstance(vectors, np.ndarray) and hasattr(col, "upsert_batch_np"):
                col.upsert_batch_np(ids, vectors, payloads)
            elif payloads is None:
                col.upsert_batch([(int(i), v) for i, v in zip(ids, vectors)])
            else:
                col.upsert_batch([(int(i), v, p) for i, v, p in zip(ids, vectors, payloads)])
            return []
        except Exception:  # noqa: BLE001 - every refusal is reported per id below
            pass
        refused = []
        for j, i in enumerate(ids):
            try:
                col.upsert(int(i), vectors[j], None if payloads is None else payloads[j])
            except Exception as e:  # noqa: BLE001
                refused.append((int(i), f"{type(e).__name__}: {e}"))
        return refused

    async def write(self, ids, vectors, payloads=None):
        return await self._run(self._write, _aligned(ids, np.uint64), _aligned(vectors, np.float32), payloads)

    async def upsert_hybrid(self, id, vector, sparse_vector, payload):
        return await self._run(self._collection.upsert_hybrid, id, vector, sparse_vector, payload)

    async def delete(self, ids):
        return await self._run(lambda: [self._collection.delete(int(i)) for i in ids])

    # Reads.
    async def search(self, query, k, filter):
        return await self._run(self._collection.search, query, k, filter)

    async def search_hybrid(self, dense, sparse, k, dense_weight, sparse_weight, filter):
        return await self._run(self._collection.search_hybrid, dense, sparse, k, dense_weight,
                               sparse_weight, filter)

    def _search_rows(self, col, queries, k, filter, with_payloads):
        n = len(queries)
        ids = np.full((n, k), -1, dtype=np.int64)
        dists = np.full((n, k), np.inf, dtype=np.float32)
        payloads: list[list[Any]] | None = [] if with_payloads else None
        for row, query in enumerate(queries):
            hits = col.search(query, k, filter)
            for j, hit in enumerate(hits):
                ids[row, j] = hit["id"]
                dists[row, j] = hit["distance"]
            if payloads is not None:
                payloads.append([hit.get("payload") for hit in hits] + [None] * (k - len(hits)))
        return ids, dists, payloads

    def _search_batch(self, queries, k, filter, num_threads, with_payloads):
        col = self._collection
        if hasattr(col, "search_batch") and (not with_payloads or hasattr(col, "get_batch")):
            ids, dists = col.search_batch(queries, k, filter=filter, num_threads=num_threads)
            if not with_payloads:
                return ids, dists, None
            # Only this shard's thread writes to the collection, so the
            # payloads read back are those of the vectors just found.
            records = iter(col.get_batch(ids[ids >= 0].astype(np.uint64), with_vectors=False))
            payloads = [[(next(records) or {}).get("payload") if i >= 0 else None for i in row] for row in ids]
            return ids, dists, payloads
        threads = num_threads or os.cpu_count() or 1
        threads = max(1, min(threads, len(queries) // 16 or 1))
        if threads == 1:
            return self._search_rows(col, queries, k, filter, with_payloads)
        # Collection searches release the interpreter lock and take the
        # collection's lock shared, so rows searched on several threads run in
        # parallel; each thread uses its own collection object (a shared one
        # would refuse the second borrower).
        if self._searchers is None or self._searchers._max_workers < threads:
            self._searchers = concurrent.futures.ThreadPoolExecutor(threads)
        bounds = np.linspace(0, len(queries), threads + 1).astype(int)
        parts = [self._searchers.submit(self._search_rows, self._client.get_collection(self._name),
                                        queries[a:b], k, filter, with_payloads)
                 for a, b in zip(bounds[:-1], bounds[1:])]
        results = [p.result() for p in parts]
        ids = np.concatenate([r[0] for r in results])
        dists = np.concatenate([r[1] for r in results])
        payloads = None
        if with_payloads:
            payloads = [row for r in results for row in r[2]]
        return ids, dists, payloads

    async def search_batch(self, queries, k, filter, num_threads, with_payloads):
        return await self._run(self._search_batch, _aligned(queries, np.float32), k, filter, num_threads,
                               with_payloads)

    async def count(self):
        return await self._run(lambda: self._collection.count)

    async def describe(self):
        def info():
            return {"path": str(pathlib.Path(self._data_dir).resolve()), "count": self._collection.count,
                    "sparse_count": self._collection.sparse_count, "pid": os.getpid()}
        return await self._run(info)

    async def create_snapshot(self, name):
        return await self._run(self._collection.create_snapshot, name)

    async def list_snapshots(self):
        return await self._run(self._collection.list_snapshots)

    async def restore_snapshot(self, name):
        return await self._run(self._collection.restore_snapshot, name)

    async def delete_snapshot(self, name):
        return await self._run(self._collection.delete_snapshot, name)

    async def close(self):
        # Drops the collection and the client: the log is flushed and closed,
        # and the directory is free for another process.
        def drop():
            self._collection = None
            self._client = None
            if self._searchers is not None:
                self._searchers.shutdown()
        await self._run(drop)
        self._thread.shutdown(wait=False)


# ------------------------------------------------------------- placement

def _read_text(path: str) -> str | None:
    try:
        return pathlib.Path(path).read_text(encoding="utf-8")
    except OSError:
        return None


def _write_text(path: str, text: str) -> None:
    target = pathlib.Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    # Each writer its own temporary name: with local storage on one machine,
    # or a shared filesystem, several workers write the same manifest at once.
    tmp = target.with_name(f"{target.name}.{os.getpid()}.{threading.get_ident()}.tmp")
    tmp.write_text(text, encoding="utf-8")
    os.replace(tmp, target)


def _live_workers(client: DaskClient) -> dict[str, dict]:
    return dict(client.scheduler_info()["workers"])


def _merge_hits(lists: Iterable[list[dict]], k: int, key) -> list[dict]:
    hits = [hit for hits in lists for hit in hits]
    hits.sort(key=key)
    return hits[:k]


def _by_distance(hit: dict):
    return (hit["distance"], hit["id"])


def _by_score(hit: dict):
    return (-hit["score"], hit["id"])


def _merge_batches(ids: Sequence[np.ndarray], dists: Sequence[np.ndarray], k: int,
                  payloads: Sequence[list] | None = None):
    """Merges per-shard (n, k) results row by row: the k smallest distances,
    ties by id, padding (id -1) last."""
    all_ids = np.concatenate(ids, axis=1)
    all_dists = np.concatenate(dists, axis=1)
    padding = all_ids < 0
    order = np.lexsort((all_ids, all_dists, padding), axis=1)[:, :k]
    out_ids = np.take_along_axis(all_ids, order, axis=1)
    out_dists = np.take_along_axis(all_dists, order, axis=1)
    if payloads is None:
        return out_ids, out_dists, None
    rows = [sum((p[r] for p in payloads), []) for r in range(len(out_ids))]
    return out_ids, out_dists, [[rows[r][j] for j in order[r]] for r in range(len(out_ids))]


# ---------------------------------------------------------------- client side

class ShardedCollection:
    """One collection spread over Dask workers; see the module's docstring.

    Made by `create`, `open` or `from_dask_array`, never directly. Every call
    waits at most `timeout` seconds for its shards (`DEFAULT_TIMEOUT` unless
    given) and fails with `ShardUnavailableError` naming the shard whose worker
    is gone or silent.
    """

    def __init__(self, client: DaskClient, path: pathlib.Path, manifest: dict,
                 actors: list[Actor], futures: list, timeout: float):
        self._client = client
        self._path = path
        self._manifest = manifest
        self._actors = actors
        self._futures = futures  # the actors live as long as these
        self._timeout = timeout

    # ---------------------------------------------------------- life cycle

    @classmethod
    def create(cls, client: DaskClient, name: str, dimensions: int, metric: str = "cosine",
               index_type: str = "hnsw", shards: int | None = None, data_dir: str = "./data",
               storage: str = "shared", timeout: float = DEFAULT_TIMEOUT) -> ShardedCollection:
        """Creates the shards (one per worker by default), one per worker in
        turn, and writes the manifest. `storage` is "shared" when every worker
        reaches `data_dir` (a shared file system: any worker can later open
        any shard) or "local" when each worker has its own `data_dir` (shards
        stay pinned to the workers, by name, that hold their files)."""
        if storage not in ("shared", "local"):
            raise ValueError(f'storage must be "shared" or "local", not {storage!r}')
        workers = _live_workers(client)
        if not workers:
            raise RuntimeError("the Dask cluster has no workers")
        shards = len(workers) if shards is None else int(shards)
        if shards < 1:
            raise ValueError("shards must be at least 1")
        path = pathlib.Path(data_dir) / name
        if (path / MANIFEST).exists():
            raise FileExistsError(f"sharded collection already exists: {path}")
        ordered = sorted(workers)
        manifest = {
            "format": MANIFEST_FORMAT,
            "name": name,
            "dimensions": int(dimensions),
            "metric": metric,
            "index_type": index_type,
            "shards": shards,
            "hash": HASH_RULE,
            "storage": storage,
            "placement": [],
        }
        # A bad metric or index type fails here, before any shard exists.
        if metric not in _METRICS:
            raise ValueError(f"unknown metric {metric!r}")
        if index_type not in _INDEX_TYPES:
            raise ValueError(f"unknown index_type {index_type!r}")
        placement = []
        for shard in range(shards):
            address = ordered[shard % len(ordered)]
            placement.append({"shard": shard, "directory": f"shard-{shard}", "worker": address,
                              "worker_name": str(workers[address].get("name", address))})
        manifest["placement"] = placement
        settings = {"dimensions": int(dimensions), "metric": metric, "index_type": index_type}
        actors, futures = cls._start(client, path, name, placement, settings, timeout)
        text = json.dumps(manifest, indent=2)
        _write_text(str(path / MANIFEST), text)
        if storage == "local":
            client.run(_write_text, str(path / MANIFEST), text,
                       workers=sorted({p["worker"] for p in placement}))
        return cls(client, path, manifest, actors, futures, timeout)

    @classmethod
    def open(cls, client: DaskClient, name: str, data_dir: str = "./data",
             timeout: float = DEFAULT_TIMEOUT) -> ShardedCollection:
        """Opens every shard from its files on the workers there are now: a
        shard goes back to the worker recorded for it when that worker is still
        there, else (shared storage) to the live worker with the fewest shards.
        With local storage a shard whose worker (by name) is missing cannot
        open and is named in the error."""
        path = pathlib.Path(data_dir) / name
        text = _read_text(str(path / MANIFEST))
        if text is None:  # the client may not see a worker's local disk
            found = [t for t in client.run(_read_text, str(path / MANIFEST)).values() if t]
            if not found:
                raise FileNotFoundError(f"no sharded collection at {path} (no {MANIFEST})")
            text = found[0]
        manifest = json.loads(text)
        if manifest.get("format") != MANIFEST_FORMAT or manifest.get("hash") != HASH_RULE:
            raise ValueError(f"{path / MANIFEST}: unknown format or hash rule")
        workers = _live_workers(client)
        if not workers:
            raise RuntimeError("the Dask cluster has no workers")
        by_name = {str(info.get("name", address)): address for address, info in workers.items()}
        load = {address: 0 for address in workers}
        placement = [dict(p) for p in manifest["placement"]]
        missing = {}
        for p in placement:
            address = by_name.get(p["worker_name"]) if p["worker"] not in workers else p["worker"]
            if address is None and manifest["storage"] == "local":
                missing[p["shard"]] = f"its worker {p['worker_name']!r} is not in the cluster"
                continue
            if address is None:
                address = min(sorted(load), key=lambda a: load[a])
            p["worker"] = address
            p["worker_name"] = str(workers[address].get("name", address))
            load[address] += 1
        if missing:
            raise ShardUnavailableError("open", missing,
                                        [p["shard"] for p in placement if p["shard"] not in missing])
        actors, futures = cls._start(client, path, name, placement, None, timeout)
        manifest["placement"] = placement
        text = json.dumps(manifest, indent=2)
        try:
            _write_text(str(path / MANIFEST), text)
        except OSError:
            pass  # the client's view of a local-storage collection; the workers keep theirs
        return cls(client, path, manifest, actors, futures, timeout)

    @staticmethod
    def _start(client, path, name, placement, settings, timeout):
        futures = {}
        for p in placement:
            futures[p["shard"]] = client.submit(
                ShardActor, str(path / p["directory"]), name, settings, actor=True, pure=False,
                workers=[p["worker"]], allow_other_workers=False)
        failures, actors = {}, {}
        deadline = time.monotonic() + timeout
        for shard, future in futures.items():
            try:
                actors[shard] = future.result(timeout=max(0.0, deadline - time.monotonic()))
            except Exception as e:  # noqa: BLE001 - named per shard below
                failures[shard] = f"could not open on {placement[shard]['worker']}: {type(e).__name__}: {e}"
        if failures:
            for future in futures.values():
                future.release()
            raise ShardUnavailableError("opening the shards", failures, sorted(actors))
        return [actors[s] for s in sorted(actors)], [futures[s] for s in sorted(futures)]

    def close(self) -> None:
        """Closes every shard (logs flushed, directories free for another
        process) and lets go of the actors."""
        try:
            self._call_all("close", [() for _ in self._actors])
        finally:
            for future in self._futures:
                future.release()
            self._futures = []

    def __enter__(self) -> ShardedCollection:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # -------------------------------------------------------------- calls

    def _worker(self, shard: int) -> str:
        return self._manifest["placement"][shard]["worker"]

    def _wait(self, action: str, calls: dict[int, Any], not_written: dict[int, list[int]] | None = None):
        """Waits for one actor call per shard. Returns {shard: result}, or
        raises naming the shards that failed, were lost or did not answer."""
        deadline = time.monotonic() + self._timeout
        results, failures, lost = {}, {}, False
        pending = dict(calls)
        while pending:
            for shard, future in list(pending.items()):
                if not future.done():
                    continue
                del pending[shard]
                try:
                    results[shard] = future.result()
                except OSError as e:
                    lost = True
                    failures[shard] = f"worker {self._worker(shard)} is unreachable ({e})"
                except Exception as e:  # noqa: BLE001 - the shard's own error, named
                    failures[shard] = f"{type(e).__name__}: {e}"
            if not pending:
                break
            workers = _live_workers(self._client)
            for shard in list(pending):
                if self._worker(shard) not in workers:
                    lost = True
                    failures[shard] = f"worker {self._worker(shard)} has left the cluster"
                    del pending[shard]
            if time.monotonic() >= deadline:
                for shard in pending:
                    lost = True
                    failures[shard] = (f"worker {self._worker(shard)} did not answer within "
                                       f"{self._timeout:g} s")
                break
            if pending:
                shard, future = next(iter(pending.items()))
                try:
                    future.result(timeout=min(_POLL, max(0.0, deadline - time.monotonic())))
                except Exception:  # noqa: BLE001 - read again at the top of the loop
                    pass
        if failures:
            unwritten = {s: ids for s, ids in (not_written or {}).items() if s in failures}
            kind = ShardUnavailableError if lost else ShardError
            raise kind(action, failures, sorted(results), unwritten)
        return results

    def _call(self, action: str, method: str, args: dict[int, tuple],
              not_written: dict[int, list[int]] | None = None):
        calls = {}
        for shard, a in args.items():
            try:
                calls[shard] = getattr(self._actors[shard], method)(*a)
            except Exception as e:  # noqa: BLE001 - a lost actor refuses the call itself
                err = ShardUnavailableError(action, {shard: f"worker {self._worker(shard)}: {e}"},
                                            [], {shard: (not_written or {}).get(shard, [])})
                raise err from e
        return self._wait(action, calls, not_written)

    def _call_all(self, method: str, args: list[tuple], action: str | None = None):
        return self._call(action or method, method, dict(enumerate(args)))

    # ---------------------------------------------------------- properties

    @property
    def name(self) -> str:
        return self._manifest["name"]

    @property
    def dimensions(self) -> int:
        return self._manifest["dimensions"]

    @property
    def shards(self) -> int:
        return self._manifest["shards"]

    @property
    def manifest(self) -> dict:
        return json.loads(json.dumps(self._manifest))

    @property
    def count(self) -> int:
        return sum(self._call_all("count", [() for _ in self._actors]).values())

    def list_shards(self) -> list[dict]:
        """One dict per shard: "shard", "worker", "worker_name", "path",
        "count", "sparse_count" and the worker's "pid"."""
        info = self._call_all("describe", [() for _ in self._actors])
        out = []
        for p in self._manifest["placement"]:
            row = {"shard": p["shard"], "worker": p["worker"], "worker_name": p["worker_name"]}
            row.update(info[p["shard"]])
            out.append(row)
        return out

    def __repr__(self) -> str:
        return f'ShardedCollection(name="{self.name}", shards={self.shards})'

    # --------------------------------------------------------------- writes

    def _route(self, ids: np.ndarray) -> dict[int, np.ndarray]:
        owner = shards_of(ids, self.shards)
        return {s: np.flatnonzero(owner == s) for s in range(self.shards) if np.any(owner == s)}

    def _send_rows(self, action: str, ids: np.ndarray, vectors: Any, payloads: list | None) -> None:
        rows = self._route(ids)
        args, pending = {}, {}
        for shard, picked in rows.items():
            part = vectors[picked] if isinstance(vectors, np.ndarray) else [vectors[j] for j in picked]
            part_payloads = None if payloads is None else [payloads[j] for j in picked]
            args[shard] = (local_ids(ids[picked], self.shards), part, part_payloads)
            pending[shard] = [int(i) for i in ids[picked]]
        refused = self._call(action, "write", args, pending)
        refused = {s: [(_global_id(i, s, self.shards), why) for i, why in r] for s, r in refused.items()}
        failures = {s: "; ".join(f"id {i}: {why}" for i, why in r[:3]) + (" ..." if len(r) > 3 else "")
                    for s, r in refused.items() if r}
        if failures:
            raise ShardError(action, failures, [s for s in refused if not refused[s]],
                             {s: [i for i, _ in r] for s, r in refused.items() if r})

    def _check_vector(self, vector: Any) -> None:
        if len(vector) != self.dimensions:
            raise ValueError(f"dimension mismatch: expected {self.dimensions}, got {len(vector)}")

    def upsert(self, id: int, vector: Any, payload: dict | None = None) -> None:
        """Writes one vector; returns once its shard has logged it."""
        self._check_vector(vector)
        self._send_rows("upsert", np.array([id], dtype=np.uint64), [vector],
                        None if payload is None else [payload])

    def upsert_batch(self, entries: list) -> None:
        """Writes (id, vector) or (id, vector, payload) tuples; returns once
        every shard they go to has logged its part. Vectors of the wrong length
        are refused before anything is sent."""
        if not isinstance(entries, list):
            raise TypeError("entries must be a list of (id, vector) or (id, vector, payload) tuples")
        for entry in entries:
            if not isinstance(entry, tuple) or len(entry) not in (2, 3):
                raise ValueError("each entry must be a tuple of (id, vector) or (id, vector, payload)")
            self._check_vector(entry[1])
        if not entries:
            return
        ids = np.array([e[0] for e in entries], dtype=np.uint64)
        vectors = [e[1] for e in entries]
        payloads = [e[2] if len(e) == 3 else None for e in entries]
        self._send_rows("upsert_batch", ids, vectors,
                        payloads if any(p is not None for p in payloads) else None)

    def upsert_batch_np(self, ids: Any, vectors: Any, payloads: list | None = None) -> None:
        """Writes row i of a 2-D float32 array under ids[i] (with payloads[i]
        when given); returns once every shard touched has logged its part."""
        ids = np.asarray(ids)
        if ids.ndim != 1 or not (np.issubdtype(ids.dtype, np.integer)):
            raise ValueError("ids must be a 1-dimensional array of integers")
        if np.issubdtype(ids.dtype, np.signedinteger) and len(ids) and ids.min() < 0:
            raise OverflowError("ids must not be negative")
        vectors = np.ascontiguousarray(vectors, dtype=np.float32)
        if vectors.ndim != 2 or vectors.shape[1] != self.dimensions:
            raise ValueError(f"vectors must be an array of shape (n, {self.dimensions}), "
                             f"not {vectors.shape}")
        if len(ids) != len(vectors) or (payloads is not None and len(payloads) != len(ids)):
            raise ValueError("ids, vectors and payloads must have the same length")
        if len(ids):
            self._send_rows("upsert_batch_np", ids.astype(np.uint64), vectors,
                            None if payloads is None else list(payloads))

    def upsert_hybrid(self, id: int, vector: Any, sparse_vector: dict | None = None,
                      payload: dict | None = None) -> None:
        """Writes one dense vector with an optional sparse vector and payload."""
        self._check_vector(vector)
        shard = shard_of(id, self.shards)
        self._call("upsert_hybrid", "upsert_hybrid",
                   {shard: (int(id) // self.shards, vector, sparse_vector, payload)}, {shard: [int(id)]})

    def delete(self, id: int) -> bool:
        """Deletes one id; True if its shard held it."""
        shard = shard_of(id, self.shards)
        local = int(id) // self.shards
        return self._call("delete", "delete", {shard: ([local],)}, {shard: [int(id)]})[shard][0]

    # ---------------------------------------------------------------- reads

    def search(self, query: Any, k: int, filter: dict | None = None) -> list[dict]:
        """The k nearest vectors over all shards, as `Collection.search`
        gives them, ties by id."""
        results = self._call_all("search", [(query, k, filter) for _ in self._actors])
        return _merge_hits(self._global_hits(results), k, _by_distance)

    def search_batch(self, queries: Any, k: int, filter: dict | None = None, num_threads: int = 0,
                     with_payloads: bool = False):
        """Many queries at once: `(ids, distances)` arrays of shape (n, k),
        int64 and float32, padded with -1 and inf, as the index classes give
        them; with `with_payloads` a third element, one list of payloads (None
        where a vector has none) per row. `num_threads` is per shard (0: all of
        its worker's cores)."""
        queries = np.ascontiguousarray(queries, dtype=np.float32)
        if queries.ndim != 2 or queries.shape[1] != self.dimensions:
            raise ValueError(f"queries must be an array of shape (n, {self.dimensions})")
        results = self._call_all("search_batch", [(queries, k, filter, num_threads, with_payloads)
                                                  for _ in self._actors])
        parts = [results[s] for s in sorted(results)]
        ids, dists, payloads = _merge_batches([global_ids(p[0], s, self.shards) for s, p in enumerate(parts)],
                                              [p[1] for p in parts], k,
                                             [p[2] for p in parts] if with_payloads else None)
        return (ids, dists, payloads) if with_payloads else (ids, dists)

    def search_hybrid(self, dense_query: Any, sparse_query: dict, k: int, dense_weight: float = 0.7,
                      sparse_weight: float = 0.3, filter: dict | None = None) -> list[dict]:
        """Each shard ranks its own hybrid candidates; the k best scores are
        merged, ties by id. Scores are scaled within each shard's candidate
        pools, so this ranking approximates one collection's, not equals it."""
        results = self._call_all("search_hybrid", [(dense_query, sparse_query, k, dense_weight,
                                                    sparse_weight, filter) for _ in self._actors])
        return _merge_hits(self._global_hits(results), k, _by_score)

    def _global_hits(self, results: dict[int, list[dict]]) -> list[list[dict]]:
        for shard, hits in results.items():
            for hit in hits:
                hit["id"] = _global_id(hit["id"], shard, self.shards)
        return list(results.values())

    # ------------------------------------------------------------ snapshots

    def create_snapshot(self, name: str) -> dict:
        """A snapshot of every shard under one name: "name", "created_at" (the
        latest shard's), "vector_count" and "sparse_count" (sums) and the
        per-shard records under "shards"."""
        per_shard = self._call_all("create_snapshot", [(name,) for _ in self._actors])
        records = [per_shard[s] for s in sorted(per_shard)]
        return {"name": name, "created_at": max(r["created_at"] for r in records),
                "vector_count": sum(r["vector_count"] for r in records),
                "sparse_count": sum(r["sparse_count"] for r in records), "shards": records}

    def list_snapshots(self) -> list[dict]:
        """Snapshots that every shard holds, oldest first, summed as
        `create_snapshot` returns them."""
        per_shard = self._call_all("list_snapshots", [() for _ in self._actors])
        by_name: dict[str, list[dict]] = {}
        for shard in sorted(per_shard):
            for record in per_shard[shard]:
                by_name.setdefault(record["name"], []).append(record)
        out = []
        for name, records in by_name.items():
            if len(records) == self.shards:
                out.append({"name": name, "created_at": max(r["created_at"] for r in records),
                            "vector_count": sum(r["vector_count"] for r in records),
                            "sparse_count": sum(r["sparse_count"] for r in records)})
        return sorted(out, key=lambda r: r["created_at"])

    def restore_snapshot(self, name: str) -> None:
        """Restores every shard. Every shard is first asked whether it holds the
        snapshot, so that a missing one stops the restore before any shard
        changes; a restore that then fails on some shards raises
        `SnapshotRestoreError` with the shards restored and not."""
        held = self._call_all("list_snapshots", [() for _ in self._actors], "restore_snapshot")
        missing = {s: f"has no snapshot {name!r}" for s, records in held.items()
                   if not any(r["name"] == name for r in records)}
        if missing:
            raise SnapshotRestoreError("restore_snapshot", missing)
        try:
            self._call_all("restore_snapshot", [(name,) for _ in self._actors])
        except ShardError as e:
            raise SnapshotRestoreError("restore_snapshot", e.failures, e.succeeded) from e

    def delete_snapshot(self, name: str) -> None:
        self._call_all("delete_snapshot", [(name,) for _ in self._actors])

    # ------------------------------------------------------------- ingest

    @classmethod
    def from_dask_array(cls, client: DaskClient, name: str, vectors: Any, ids: Any = None,
                        metric: str = "cosine", index_type: str = "hnsw", shards: int | None = None,
                        data_dir: str = "./data", storage: str = "shared",
                        timeout: float = DEFAULT_TIMEOUT) -> ShardedCollection:
        """Creates a sharded collection from a 2-D dask array: each partition is
        routed and written by a task on the worker that holds it, nothing is
        gathered to the client. Row i gets ids[i] (a 1-D dask or NumPy array of
        integers) or, without ids, its row number. A partition is idempotent, so
        Dask may run one again after a worker is lost."""
        import dask
        import dask.array as da

        if vectors.ndim != 2:
            raise ValueError("vectors must be a 2-dimensional dask array")
        vectors = vectors.astype(np.float32).rechunk({1: -1})
        collection = cls.create(client, name, int(vectors.shape[1]), metric, index_type, shards,
                                data_dir, storage, timeout)
        rows = vectors.chunks[0]
        starts = np.concatenate([[0], np.cumsum(rows)[:-1]]).astype(int)
        if ids is not None:
            ids = da.asarray(ids)
            if ids.shape != (vectors.shape[0],):
                raise ValueError("ids must have one entry per row of vectors")
            id_blocks = list(ids.rechunk((rows,)).to_delayed().ravel())
        else:
            id_blocks = [None] * len(rows)
        handles = [(actor.key, actor._address) for actor in collection._actors]
        tasks = [dask.delayed(_ingest_block, pure=False)(block, id_block, int(start), handles,
                                                         collection.shards, timeout)
                 for block, id_block, start in zip(vectors.to_delayed().ravel(), id_blocks, starts)]
        futures = client.compute(tasks)
        try:
            client.gather(futures)
        finally:
            for future in futures:
                future.release()
        return collection


def _ingest_block(block: np.ndarray, ids: np.ndarray | None, start: int, handles: list, shards: int,
                  timeout: float) -> int:
    """One partition of `from_dask_array`, run on a worker: its rows go to
    their shards' actors directly, worker to worker."""
    worker = get_worker()
    block = np.ascontiguousarray(block, dtype=np.float32)
    ids = (np.arange(start, start + len(block), dtype=np.uint64) if ids is None
           else np.asarray(ids).astype(np.uint64))
    owner = shards_of(ids, shards)
    calls = {}
    for shard in range(shards):
        picked = np.flatnonzero(owner == shard)
        if len(picked):
            actor = Actor(ShardActor, handles[shard][1], handles[shard][0], worker=worker)
            calls[shard] = actor.write(local_ids(ids[picked], shards), block[picked], None)
    failures = {}
    for shard, future in calls.items():
        try:
            refused = future.result(timeout=timeout)
        except Exception as e:  # noqa: BLE001 - named per shard below
            failures[shard] = f"{type(e).__name__}: {e}"
            continue
        if refused:
            failures[shard] = "; ".join(f"id {_global_id(i, shard, shards)}: {why}" for i, why in refused[:3])
    if failures:
        raise ShardError(f"writing rows {start}..{start + len(block) - 1}", failures)
    return len(block)
