"""The "distributed" suite: a sharded collection on a local Dask cluster
against one in-process collection holding the same vectors.

    python3 -m bench distributed                         # 1,000,000 x 128, several minutes
    python3 -m bench distributed --dataset small         # 100,000 x 128, a quick check

The vectors are a dask array of standard normal rows (seeded), generated and
kept on the workers; the in-process collection gets the same rows computed in
a process of its own, started as the workers are (the harness's process has
set OpenMP's default thread count for the peers). Both are "flat" collections
(exact, so both return the same answers and only the work around the scan
differs), metric l2, k = 10. For 2 workers and for 1 (one thread each), the
suite reports:

- ingest: `ShardedCollection.from_dask_array` (every partition routed and
  written by the worker that holds it) against `upsert_batch_np` calls of
  CALL rows into the in-process collection: rows per second;
- throughput: `search_batch` of the queries (each shard searches them all on
  one thread per worker, or two with one worker) against the in-process
  collection's `search_batch` on two threads (or, where collections have no
  `search_batch`, searched from two threads, one `Collection` object each):
  queries per second;
- latency: single `search` calls, sharded against in-process: p50 and p99
  (the scan included; a sharded flat scan runs on all shards at once); and
  the same calls with a filter no row matches ("call"), where the shards do
  next to no work, so that the difference ("+p50", "+p99") is the cost of the
  fan-out and the merge.

Target: ingest and `search_batch` throughput at least 0.8x the in-process
collection with 2 workers (both sides use both cores of this machine).
"""

from __future__ import annotations

import concurrent.futures
import gc
import logging
import multiprocessing
import pathlib
import shutil
import tempfile
import time

import numpy as np

from .database import SKIPPED, Target, _fmt_x, _ratio

NAME = "distributed"
DESCRIPTION = "sharded collection on a local Dask cluster against one in-process collection"
DEFAULT_DATASET = "dask-normal"
METRIC = "l2"
SIZES = {"dask-normal": 1_000_000, "small": 100_000}
DIM = 128
CHUNK = 50_000
CALL = 50_000
THROUGHPUT_QUERIES = 200
LATENCY_QUERIES = 100
LIMIT = 0.8
# No row has this field: a search with it costs the shards next to nothing,
# so its latency is the cost of the call itself (for the sharded collection,
# the fan-out and the merge).
NOTHING = {"absent": {"$eq": 1}}


def _dask():
    try:
        import dask.array as da
        import distributed
        return da, distributed
    except ImportError:
        return None


def _percentiles(times):
    return float(np.percentile(times, 50)), float(np.percentile(times, 99))


def _single_latencies(search, queries, k):
    out = []
    for q in queries:
        t = time.perf_counter()
        search(q, k)
        out.append(time.perf_counter() - t)
    return out


def _rows(n):
    import dask.array as da
    rows = da.random.RandomState(42).standard_normal((n, DIM), chunks=(CHUNK, DIM)).astype(np.float32)
    return rows


def _in_process_job(work, n, queries, lat_queries, k):
    """The baseline, in a process of its own started like a worker's: the
    harness's process has set OpenMP's default thread count for the peers."""
    import kovra_vector_db as kv
    base = np.ascontiguousarray(_rows(n).compute(scheduler="synchronous"))
    out = _in_process(kv, pathlib.Path(work), base, queries, lat_queries, k)
    col = kv.Client(str(pathlib.Path(work) / "single")).get_collection("base")
    out["expect"], _ = col.search_batch(queries, k) if hasattr(col, "search_batch") else (
        np.array([[h["id"] for h in col.search(q, k)] for q in queries]), None)
    return out


def _in_process(kv, work, base, queries, lat_queries, k):
    col = kv.Client(str(work / "single")).create_collection("base", DIM, METRIC, "flat")
    t = time.perf_counter()
    for start in range(0, len(base), CALL):
        rows = base[start:start + CALL]
        if hasattr(col, "upsert_batch_np"):
            col.upsert_batch_np(np.arange(start, start + len(rows), dtype=np.uint64), rows)
        else:
            col.upsert_batch([(start + j, rows[j]) for j in range(len(rows))])
    ingest = time.perf_counter() - t
    # Two threads, one collection object each: searches release the
    # interpreter lock and share the collection's lock.
    db = kv.Client(str(work / "single"))
    halves = np.array_split(queries, 2)

    def search_rows(rows):
        c = db.get_collection("base")
        for q in rows:
            c.search(q, k)

    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        best = float("inf")
        for _ in range(2):
            t = time.perf_counter()
            if hasattr(col, "search_batch"):
                col.search_batch(queries, k, num_threads=2)
            else:
                list(pool.map(search_rows, halves))
            best = min(best, time.perf_counter() - t)
    lat = _single_latencies(col.search, lat_queries, k)
    col.search(lat_queries[0], k, NOTHING)
    bare = _single_latencies(lambda q, k: col.search(q, k, NOTHING), lat_queries, k)
    return {"ingest_s": ingest, "search_s": best, "latency": lat, "bare": bare, "count": col.count}


def _sharded(kv, distributed, da, work, n, workers, queries, lat_queries, k, expect):
    from kovra_vector_db.distributed import ShardedCollection

    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as client:
        vectors = _rows(n).persist()
        distributed.wait(vectors)
        t = time.perf_counter()
        col = ShardedCollection.from_dask_array(client, "base", vectors, metric=METRIC, index_type="flat",
                                                data_dir=str(work / f"sharded{workers}"), timeout=600)
        ingest = time.perf_counter() - t
        assert col.count == n
        threads = 2 // workers
        col.search_batch(queries[:4], k, num_threads=threads)  # warm the connections
        best = float("inf")
        for _ in range(2):
            t = time.perf_counter()
            ids, _ = col.search_batch(queries, k, num_threads=threads)
            best = min(best, time.perf_counter() - t)
        agree = float(np.mean(ids == expect))
        lat = _single_latencies(col.search, lat_queries, k)
        col.search(lat_queries[0], k, NOTHING)
        bare = _single_latencies(lambda q, k: col.search(q, k, NOTHING), lat_queries, k)
        col.close()
        del vectors
    return {"ingest_s": ingest, "search_s": best, "latency": lat, "bare": bare, "agree": agree}


def run(args) -> dict:
    try:
        import kovra_vector_db as kv
    except ImportError as e:
        print(f"  skipped: kovra_vector_db not importable ({e})")
        return SKIPPED
    mods = _dask()
    if mods is None:
        print("  skipped: Dask is not installed (python3-distributed)")
        return SKIPPED
    da, distributed = mods
    name = args.dataset[0].partition(":")[0] if args.dataset else DEFAULT_DATASET
    if name not in SIZES:
        print(f"  unknown data set {name!r}; this suite knows {', '.join(SIZES)}")
        return SKIPPED
    n, k = SIZES[name], args.k
    rng = np.random.default_rng(5)
    queries = rng.standard_normal((THROUGHPUT_QUERIES, DIM)).astype(np.float32)
    lat_queries = rng.standard_normal((LATENCY_QUERIES, DIM)).astype(np.float32)
    print(f"{n} x {DIM} standard normal rows, flat, {METRIC}, k = {k}; "
          f"{len(queries)} queries for throughput, {len(lat_queries)} single searches for latency")
    work = pathlib.Path(tempfile.mkdtemp(prefix="kovra_distributed_bench_"))
    figures, targets = {"n": n, "dim": DIM}, []
    try:
        with concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
            single = pool.submit(_in_process_job, str(work), n, queries, lat_queries, k).result()
        # The answers the shards must give (exact search, same data).
        expect = single["expect"]
        gc.collect()
        shutil.rmtree(work / "single", ignore_errors=True)
        figures["in_process"] = _summary(single, n, len(queries))
        rows = [("in-process collection", figures["in_process"])]
        for workers in (2, 1):
            out = _sharded(kv, distributed, da, work, n, workers, queries, lat_queries, k, expect)
            shutil.rmtree(work / f"sharded{workers}", ignore_errors=True)
            s = _summary(out, n, len(queries))
            s["same_ids_as_in_process"] = out["agree"]
            s["ingest_ratio"] = _ratio(s["ingest_rows_per_s"], figures["in_process"]["ingest_rows_per_s"])
            s["search_ratio"] = _ratio(s["search_qps"], figures["in_process"]["search_qps"])
            s["fanout_p50_overhead_ms"] = s["bare_p50_ms"] - figures["in_process"]["bare_p50_ms"]
            s["fanout_p99_overhead_ms"] = s["bare_p99_ms"] - figures["in_process"]["bare_p99_ms"]
            figures[f"sharded_{workers}_workers"] = s
            rows.append((f"sharded, {workers} worker{'s' if workers > 1 else ''}", s))
        _print(rows)
        print("  same ids as the in-process collection: " + ", ".join(
            f"{w} worker(s) {figures[f'sharded_{w}_workers']['same_ids_as_in_process']:.4f}" for w in (2, 1)))
        two = figures["sharded_2_workers"]
        targets.append(Target("distributed ingest, 2 workers / in-process", two["ingest_ratio"], LIMIT,
                              suite=NAME))
        targets.append(Target("distributed search_batch, 2 workers / in-process", two["search_ratio"], LIMIT,
                              suite=NAME))
        for t in targets:
            print(t.line())
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return {"figures": figures, "targets": [t.as_dict() for t in targets]}


def _summary(out, n, queries):
    p50, p99 = _percentiles(out["latency"])
    b50, b99 = _percentiles(out["bare"])
    return {"ingest_s": out["ingest_s"], "ingest_rows_per_s": n / out["ingest_s"],
            "search_s": out["search_s"], "search_qps": queries / out["search_s"],
            "p50_ms": p50 * 1e3, "p99_ms": p99 * 1e3, "bare_p50_ms": b50 * 1e3, "bare_p99_ms": b99 * 1e3}


def _print(rows):
    print(f"  {'runner':<24} {'ingest rows/s':>13} {'x':>6} {'search QPS':>10} {'x':>6} "
          f"{'p50 ms':>7} {'p99 ms':>7} {'call p50':>9} {'call p99':>9} {'+p50':>6} {'+p99':>6}")
    for label, s in rows:
        print(f"  {label:<24} {s['ingest_rows_per_s']:>13,.0f} {_fmt_x(s.get('ingest_ratio')):>6} "
              f"{s['search_qps']:>10.1f} {_fmt_x(s.get('search_ratio')):>6} {s['p50_ms']:>7.2f} "
              f"{s['p99_ms']:>7.2f} {s['bare_p50_ms']:>9.3f} {s['bare_p99_ms']:>9.3f} "
              f"{s.get('fanout_p50_overhead_ms', 0):>6.2f} {s.get('fanout_p99_overhead_ms', 0):>6.2f}")
