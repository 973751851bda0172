"""The "concurrency" suite: searches and single upserts from threads on one
collection, each thread with its own Collection object (as the docs advise).

    python3 -m bench concurrency

For "flat" and "hnsw" collections of 50,000 random 64-dimensional vectors
(l2), every combination of 0, 1 and 3 reader threads (searching k = 10 in a
loop) and 1 or 2 writer threads (single upserts over existing ids) runs for 5
seconds; the readers also run alone, as the baseline of their throughput.
Reported per run: writes done, upsert p50/p99/max, searches per second.

Targets, per index type and writer count:
- with 3 readers the writers complete >= 20 % of the writes they complete
  with 1 reader (a steady stream of searches does not hold writes off);
- upsert p99 <= 5 x one search (median, alone) + 10 ms;
- readers keep >= 0.7x of the searches per second they make without a writer.
"""

from __future__ import annotations

import shutil
import tempfile
import threading
import time

import numpy as np

from .database import Target, _fmt_s, _ratio, _release

NAME = "concurrency"
DESCRIPTION = "threads searching and upserting one collection: who waits for whom"
DEFAULT_DATASET = "random-50000x64"
METRIC = "l2"
N, DIM, K = 50_000, 64, 10
SECONDS = 5.0
READERS = (0, 1, 3)
WRITERS = (1, 2)
INDEX_TYPES = ("flat", "hnsw")


def _run_mix(client, name, readers, writers, queries, rows, seconds):
    stop = threading.Event()
    start = threading.Barrier(readers + writers + 1)
    searches = [0] * readers
    latencies = [[] for _ in range(writers)]

    def reader(r):
        col = client.get_collection(name)
        qs = queries[r::max(readers, 1)]
        start.wait()
        i = 0
        while not stop.is_set():
            col.search(qs[i % len(qs)], K)
            i += 1
        searches[r] = i

    def writer(w):
        col = client.get_collection(name)
        lat = latencies[w]
        rng = np.random.default_rng(100 + w)
        ids = rng.integers(0, N, size=1 << 16)
        start.wait()
        i = 0
        while not stop.is_set():
            id_ = int(ids[i & 0xFFFF])
            t = time.perf_counter()
            col.upsert(id_, rows[(id_ + i) % N])
            lat.append(time.perf_counter() - t)
            i += 1

    threads = [threading.Thread(target=reader, args=(r,)) for r in range(readers)]
    threads += [threading.Thread(target=writer, args=(w,)) for w in range(writers)]
    for t in threads:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    wall = time.perf_counter() - t0
    lat = np.array([x for ls in latencies for x in ls]) if writers else np.array([])
    return {
        "readers": readers, "writers": writers, "seconds": wall,
        "writes": int(lat.size), "searches": int(sum(searches)),
        "searches_per_s": sum(searches) / wall,
        "upsert_p50_s": float(np.percentile(lat, 50)) if lat.size else None,
        "upsert_p99_s": float(np.percentile(lat, 99)) if lat.size else None,
        "upsert_max_s": float(lat.max()) if lat.size else None,
    }


def run(args) -> dict:
    try:
        import kovra_vector_db as kv
    except ImportError as e:
        print(f"  skipped: kovra_vector_db not importable ({e})")
        return {"figures": {"status": "skipped"}, "targets": []}
    rng = np.random.default_rng(42)
    rows = rng.standard_normal((N, DIM)).astype(np.float32)
    queries = rng.standard_normal((1000, DIM)).astype(np.float32)
    print(f"{N} x {DIM} ({METRIC}), k={K}, {SECONDS:.0f} s per run")
    work = tempfile.mkdtemp(prefix="kovra_concurrency_bench_")
    fig: dict = {"n": N, "dim": DIM, "k": K, "seconds": SECONDS}
    targets = []
    try:
        for index_type in INDEX_TYPES:
            client = kv.Client(f"{work}/{index_type}")
            col = client.create_collection("c", DIM, METRIC, index_type)
            t = time.perf_counter()
            for s in range(0, N, 5000):
                col.upsert_batch([(i, rows[i]) for i in range(s, min(s + 5000, N))])
            build_s = time.perf_counter() - t
            # One search alone: the median of 1,000.
            lat = []
            for q in queries:
                t = time.perf_counter()
                col.search(q, K)
                lat.append(time.perf_counter() - t)
            search_s = float(np.median(lat))
            runs = [_run_mix(client, "c", r, 0, queries, rows, SECONDS) for r in READERS if r]
            runs += [_run_mix(client, "c", r, w, queries, rows, SECONDS) for w in WRITERS for r in READERS]
            fig[index_type] = {"build_s": build_s, "search_s": search_s, "runs": runs}
            del col, client
            _release()
            targets += _report(index_type, fig[index_type])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("\ntargets of suite concurrency:")
    for x in targets:
        print(x.line())
    return {"figures": fig, "targets": [t.as_dict() for t in targets]}


def _report(index_type: str, f: dict) -> list:
    print(f"\n{index_type}: built in {_fmt_s(f['build_s'])}; one search alone {_fmt_s(f['search_s'])} "
          f"(median)")
    print(f"  {'writers':>7} {'readers':>7} {'writes':>9} {'upsert p50':>11} {'p99':>9} {'max':>9} "
          f"{'searches/s':>11}")
    alone = {r["readers"]: r["searches_per_s"] for r in f["runs"] if r["writers"] == 0}
    for r in f["runs"]:
        print(f"  {r['writers']:>7} {r['readers']:>7} {r['writes']:>9} {_fmt_s(r['upsert_p50_s']):>11} "
              f"{_fmt_s(r['upsert_p99_s']):>9} {_fmt_s(r['upsert_max_s']):>9} {r['searches_per_s']:>11.0f}")
    out = []
    bound = 5 * f["search_s"] + 0.010
    for w in WRITERS:
        by_readers = {r["readers"]: r for r in f["runs"] if r["writers"] == w}
        out.append(Target(f"{index_type}, {w} writer(s): writes with 3 readers / with 1 reader",
                          _ratio(by_readers[3]["writes"], by_readers[1]["writes"]), 0.2, suite=NAME))
        worst = max(r["upsert_p99_s"] for r in by_readers.values())
        out.append(Target(f"{index_type}, {w} writer(s): worst upsert p99 / (5 x search + 10 ms)",
                          worst / bound, 1.0, at_most=True, suite=NAME,
                          condition=f"p99 {_fmt_s(worst)}, bound {_fmt_s(bound)}"))
        for readers in (1, 3):
            out.append(Target(f"{index_type}, {w} writer(s), {readers} reader(s): searches/s with / without "
                              f"writers", _ratio(by_readers[readers]["searches_per_s"], alone[readers]), 0.7,
                              suite=NAME))
    return out
