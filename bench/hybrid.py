"""The "hybrid" suite: hybrid dense+sparse search and snapshots of one "hnsw"
collection, each against the same collection's own baseline, in one run.

    python3 -m bench hybrid
    python3 -m bench hybrid --dataset synthetic-small    # a quick check of the harness

Every row i of the data set (metric l2) gets the payload of the "db" suite and
a sparse vector of SPARSE_NNZ distinct dimensions over a vocabulary of VOCAB,
drawn from a Zipf law (exponent ZIPF_A, truncated to the vocabulary), with
positive weights. The collection is filled with one `upsert_hybrid` per row.
Three comparisons (see bench/README.md):

1. `search_hybrid` QPS at k against dense-only `search` QPS of the collection,
   single queries with sparse queries of QUERY_NNZ Zipf dimensions;
2. `create_snapshot` time against the time of one compaction of the log;
3. `restore_snapshot` time against a reopen of the collection.

A second set is real text (bench/realtext.py): docstrings of the installed
libraries as known-item pairs, BM25 sparse rows and an LSA dense stand-in; it
reports MRR@10 of the dense, sparse-only and hybrid rankings and QPS.
"""

from __future__ import annotations

import os
import pathlib
import shutil
import struct
import tempfile
import time

import numpy as np

from . import datasets, realtext
from .database import (SKIPPED, Target, _edit_meta, _fmt_s, _fmt_x, _ratio, _release, _reopen,
                       payload, suite_setup, time_searches)

NAME = "hybrid"
DESCRIPTION = ("hybrid dense+sparse search and snapshots of an \"hnsw\" collection against "
               "its dense search, compaction and reopen")
DEFAULT_DATASET = "synthetic"
METRIC = "l2"
VOCAB = 30_000
ZIPF_A = 1.1
SPARSE_NNZ = 20     # distinct dimensions per row
QUERY_NNZ = 5       # distinct dimensions per sparse query
SEED = 20240918
PLAIN_UPSERTS = 200   # replacing upserts timed without a compaction
COMPACTIONS = 3       # replacing upserts that each compact the log
SNAPSHOTS = 3
REOPEN_REPEATS = 3
SPARSE_QUERIES = 1_000
BATCH_REPEATS = 3
REAL_WEIGHTS = [(0.7, 0.3), (0.5, 0.5), (0.3, 0.7)]   # (dense, sparse) weights scored on the real text


# ------------------------------------------------------------------ the data

class ZipfDims:
    """Dimension indexes 0 .. VOCAB-1 with P(d) proportional to (d + 1)^-a:
    numpy's zipf, with draws beyond the vocabulary dropped (a truncated law,
    not a pile-up on the last dimension)."""

    def __init__(self, rng: np.random.Generator, vocab: int = VOCAB, a: float = ZIPF_A):
        self.rng, self.vocab, self.a = rng, vocab, a
        self.buf, self.pos = np.empty(0, dtype=np.int64), 0

    def _refill(self):
        draws = self.rng.zipf(self.a, 1 << 20)
        self.buf, self.pos = draws[draws <= self.vocab] - 1, 0

    def distinct(self, count: int) -> list:
        """`count` distinct dimensions, in the order they were drawn."""
        seen: dict = {}
        while len(seen) < count:
            if self.pos >= len(self.buf):
                self._refill()
            seen[int(self.buf[self.pos])] = None
            self.pos += 1
        return list(seen)


def sparse_rows(n: int, nnz: int, rng: np.random.Generator) -> list:
    """n dicts {dimension: weight}; weights are float32 values in [0.1, 1)."""
    dims = ZipfDims(rng)
    weights = (rng.random((n, nnz), dtype=np.float32) * 0.9 + 0.1).tolist()
    return [dict(zip(dims.distinct(nnz), weights[i])) for i in range(n)]


# ---------------------------------------------------------------------- suite

def run(args) -> dict:
    setup = suite_setup(args, DEFAULT_DATASET, METRIC)
    if setup is None:
        return SKIPPED
    kv, ds_name, metric = setup
    k = args.k
    ds = datasets.load(ds_name, metric)
    nq = min(args.queries, len(ds.queries))
    rng = np.random.default_rng(SEED)
    t = time.perf_counter()
    sparse = sparse_rows(ds.n, SPARSE_NNZ, rng)
    squeries = sparse_rows(max(nq, 1), QUERY_NNZ, rng)
    print(f"{ds.describe()}; sparse: {SPARSE_NNZ} dims per row, {QUERY_NNZ} per query, "
          f"vocabulary {VOCAB}, Zipf a={ZIPF_A} (made in {time.perf_counter() - t:.1f} s); "
          f"k={k}, {nq} single queries")

    work = pathlib.Path(tempfile.mkdtemp(prefix="kovra_hybrid_bench_"))
    try:
        fig = _run(kv, args, ds, k, nq, sparse, squeries, work)
        print("real text: reading docstrings, BM25 and LSA ...", flush=True)
        fig["real_text"] = _real_text(kv, args, k, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    targets = _report(fig)
    return {"figures": fig, "targets": [x.as_dict() for x in targets]}


def _files(path: str) -> dict:
    return {f: os.path.getsize(os.path.join(path, f)) for f in sorted(os.listdir(path))
            if os.path.isfile(os.path.join(path, f))}


def _search(col, ds, squeries, k, nq, args) -> dict:
    """search_hybrid against dense-only search of the same collection, with
    the dense pool search_hybrid asks for and search_hybrid without a sparse
    query beside them. Holds the collection only while it runs."""
    pool = 10 * k   # search_hybrid asks the dense index for 10 k candidates
    queries = ds.queries
    # Runners get the query's row number: each looks up its queries the same way.

    def hybrid(i, s=col.search_hybrid):
        return s(queries[i], squeries[i], k)

    def hybrid_no_sparse(i, s=col.search_hybrid):
        return s(queries[i], {}, k)

    def dense(i, s=col.search):
        return s(queries[i], k)

    def dense_pool(i, s=col.search):
        return s(queries[i], pool)

    runners = [
        {"label": "search_hybrid", "fn": hybrid},
        {"label": "search (dense only)", "fn": dense},
        {"label": f"search, k = {pool} (the dense pool)", "fn": dense_pool},
        {"label": "search_hybrid, empty sparse query", "fn": hybrid_no_sparse},
    ]
    time_searches(runners, list(range(nq)), args.passes, args.budget)
    search = {}
    for r in runners:
        ids = [[h["id"] for h in res][:k] for res in r["results"]]
        search[r["label"]] = {"qps": r["qps"], "recall_dense": datasets.recall_at_k(ds, ids, k),
                              "mean_results": float(np.mean([len(x) for x in r["results"]]))}
    hy = runners[0]["results"]
    search["search_hybrid"]["share_with_sparse_score"] = float(
        np.mean([h["sparse_score"] > 0 for res in hy for h in res]))
    # The same queries in one search_hybrid_batch call on every core, best of
    # BATCH_REPEATS; its rows must be the single calls' results.
    block = np.ascontiguousarray(queries[:nq])
    sq = list(squeries[:nq])
    best = float("inf")
    for _ in range(BATCH_REPEATS):
        t = time.perf_counter()
        rows = col.search_hybrid_batch(block, sq, k)
        best = min(best, time.perf_counter() - t)
    assert [[h["id"] for h in r] for r in rows] == [[h["id"] for h in r] for r in hy]
    search["search_hybrid_batch"] = {"qps": nq / best, "threads": os.cpu_count()}
    return search


def _run(kv, args, ds, k, nq, sparse, squeries, work) -> dict:
    n, dim, metric = ds.n, ds.dim, ds.metric
    path = str(work / "hnsw")
    col_dir = os.path.join(path, "docs")
    payloads = [payload(i) for i in range(n)]
    df = {}
    for row in sparse:
        for d in row:
            df[d] = df.get(d, 0) + 1
    touched = [sum(df.get(d, 0) for d in q) for q in squeries[:nq]]
    fig: dict = {"dataset": ds.name, "metric": metric, "n": n, "dim": dim, "k": k, "queries": nq,
                 "sparse": {"vocab": VOCAB, "zipf_a": ZIPF_A, "nnz_per_row": SPARSE_NNZ,
                            "nnz_per_query": QUERY_NNZ, "dimensions_used": len(df),
                            "largest_posting_list": max(df.values()),
                            "mean_postings_per_query": float(np.mean(touched))}}

    # ---- fill: one upsert_hybrid per row; the compaction check runs once, at the last row (insert-only: it saves the graph)
    print("\nfill (upsert_hybrid, one row per call) ...", flush=True)
    db = kv.Client(path)
    db.create_collection("docs", dim, metric=metric, index_type="hnsw")
    del db
    _release()
    _edit_meta(path, "docs", wal_compact_threshold=n)
    db = kv.Client(path)
    col = db.get_collection("docs")
    upsert = col.upsert_hybrid
    lat = np.empty(n)
    t0 = time.perf_counter()
    for i in range(n):
        s = time.perf_counter()
        upsert(i, ds.base[i], sparse[i], payloads[i])
        lat[i] = time.perf_counter() - s
    fill = time.perf_counter() - t0
    assert (col.count, col.sparse_count) == (n, n), (col.count, col.sparse_count)
    fig["fill"] = {"seconds": fill, "rows_per_s": n / fill,
                   "p50_s": float(np.median(lat[:-1])), "p99_s": float(np.percentile(lat[:-1], 99)),
                   "last_row_with_compaction_s": float(lat[-1])}
    fig["files_after_fill"] = _files(col_dir)
    print(f"  {fill:.0f} s, {n / fill:.0f} rows/s", flush=True)

    # ---- 1. search: hybrid against dense-only on the same collection
    print("search ...", flush=True)
    fig["search"] = _search(col, ds, squeries, k, nq, args)

    # ---- 2. snapshots against a compaction of the same collection
    print("snapshots and compactions ...", flush=True)
    snaps = []
    for j in range(SNAPSHOTS):
        t = time.perf_counter()
        made = col.create_snapshot(f"s{j}")
        snaps.append(time.perf_counter() - t)
        assert (made["vector_count"], made["sparse_count"]) == (n, n), made
    snap_files = _files(os.path.join(col_dir, "snapshots", "s0"))
    for j in range(1, SNAPSHOTS):
        col.delete_snapshot(f"s{j}")

    # Replacing upserts (same row, sparse vector and payload again) leave the
    # contents as they were; first without a compaction, then with one each.
    rows = np.random.default_rng(SEED + 1).choice(n, PLAIN_UPSERTS + COMPACTIONS, replace=False)
    plain = []
    for i in rows[:PLAIN_UPSERTS]:
        i = int(i)
        t = time.perf_counter()
        upsert(i, ds.base[i], sparse[i], payloads[i])
        plain.append(time.perf_counter() - t)
    del col, db, upsert
    _release()
    _edit_meta(path, "docs", wal_compact_threshold=1)
    # The log is rewritten only once its dead records reach its live vectors:
    # before each compacting upsert, n deletes of ids the collection never
    # held are appended to the closed log (cheap to replay, and dead).
    dead = b"".join(struct.pack("<IIQ", 12, 1, 10 * n + j) for j in range(n))
    compacting = []
    for i in rows[PLAIN_UPSERTS:]:
        i = int(i)
        with open(os.path.join(col_dir, "wal.log"), "ab") as f:
            f.write(dead)
        db = kv.Client(path)
        col = db.get_collection("docs")
        t = time.perf_counter()
        col.upsert_hybrid(i, ds.base[i], sparse[i], payloads[i])
        compacting.append(time.perf_counter() - t)
        # The compacted log holds the rows the snapshot's log holds.
        assert os.path.getsize(os.path.join(col_dir, "wal.log")) == snap_files["wal.log"]
        del col, db
        _release()
    db = kv.Client(path)
    col = db.get_collection("docs")
    fig["snapshot"] = {
        "create_snapshot_s": min(snaps), "create_snapshot_all_s": snaps,
        "plain_upsert_median_s": float(np.median(plain)),
        "compacting_upsert_s": compacting,
        "compaction_s": min(compacting) - float(np.median(plain)),
        "snapshot_files": snap_files, "collection_files": _files(col_dir),
    }
    del col, db
    _release()
    _edit_meta(path, "docs", wal_compact_threshold=n)

    # ---- 3. restore against reopen
    print("reopen and restore ...", flush=True)
    reopen = []
    for _ in range(REOPEN_REPEATS):
        secs, db, col, count = _reopen(kv, path)
        assert count == n, (count, n)
        reopen.append(secs)
        del db, col
        _release()
    db = kv.Client(path)
    col = db.get_collection("docs")
    t = time.perf_counter()
    col.restore_snapshot("s0")
    restore = time.perf_counter() - t
    assert (col.count, col.sparse_count) == (n, n), (col.count, col.sparse_count)
    files_after_restore = _files(col_dir)
    del col, db
    _release()
    # The restored directory takes over the graph saved with the snapshot.
    after, db, col, count = _reopen(kv, path)
    assert count == n, (count, n)
    del col, db
    _release()
    fig["restore"] = {"reopen_s": min(reopen), "reopen_all_s": reopen,
                      "restore_snapshot_s": restore, "reopen_after_restore_s": after,
                      "files_after_restore": files_after_restore}
    return fig


# ------------------------------------------------------------------ real text

def _real_text(kv, args, k, work) -> dict:
    """Known-item search over docstrings: MRR@10 of the dense, sparse-only and
    hybrid rankings, and single-query QPS of search against search_hybrid."""
    rt = realtext.RealText()
    print(f"  {rt.describe()}", flush=True)
    db = kv.Client(str(work / "text"))
    col = db.create_collection("docs", rt.dim, metric="cosine", index_type="hnsw")
    for i in range(rt.n):
        col.upsert_hybrid(i, rt.dense[i], rt.sparse[i])
    dq, sq = rt.dense_queries, rt.sparse_queries
    targets = range(rt.n)
    mrr = {"dense (search)": realtext.mrr_at_10(
        [[h["id"] for h in col.search(dq[i], k)] for i in targets], targets)}
    for label, (dw, sw) in [("sparse only (weights 0 / 1)", (0.0, 1.0))] + [
            (f"hybrid (weights {dw} / {sw})", (dw, sw)) for dw, sw in REAL_WEIGHTS]:
        mrr[label] = realtext.mrr_at_10(
            [[h["id"] for h in col.search_hybrid(dq[i], sq[i], k, dw, sw)] for i in targets], targets)
    nq = min(args.queries, rt.n)

    def hybrid(i, s=col.search_hybrid):
        return s(dq[i], sq[i], k)

    def dense(i, s=col.search):
        return s(dq[i], k)

    runners = [{"label": "search_hybrid", "fn": hybrid}, {"label": "search (dense only)", "fn": dense}]
    time_searches(runners, list(range(nq)), args.passes, args.budget)
    out = {"describe": rt.describe(), "n": rt.n, "vocab": rt.vocab, "dim": rt.dim,
           "mean_postings_per_query": rt.mean_postings_per_query, "mrr_at_10": mrr,
           "qps": {r["label"]: r["qps"] for r in runners}}
    del col, db
    _release()
    return out


# -------------------------------------------------------------------- report

def _report(fig: dict) -> list:
    n, k = fig["n"], fig["k"]
    sp, fl, se = fig["sparse"], fig["fill"], fig["search"]
    sn, rs = fig["snapshot"], fig["restore"]
    print(f"\n{fig['dataset']} ({n} x {fig['dim']}, {fig['metric']}), \"hnsw\" collection, k={k}; "
          f"sparse rows of {sp['nnz_per_row']} dims over {sp['vocab']} (Zipf a={sp['zipf_a']}): "
          f"{sp['dimensions_used']} dims used, longest posting list {sp['largest_posting_list']}, "
          f"{sp['mean_postings_per_query']:.0f} postings per sparse query of {sp['nnz_per_query']}")
    print(f"\nfill: {n} upsert_hybrid calls in {fl['seconds']:.1f} s = {fl['rows_per_s']:.0f} rows/s, "
          f"p50 {_fmt_s(fl['p50_s'])}, p99 {_fmt_s(fl['p99_s'])}; the last one, which ran the compaction check "
          f": {_fmt_s(fl['last_row_with_compaction_s'])}")

    print("\nsearch, single queries (ratio: QPS / dense-only search QPS)")
    print(f"  {'runner':<40} {'QPS':>9} {'ratio':>7} {'recall':>8} {'results':>8}")
    base = se["search (dense only)"]["qps"]
    for label, e in se.items():
        if "recall_dense" not in e:
            continue
        print(f"  {label:<40} {e['qps']:>9.1f} {_fmt_x(_ratio(e['qps'], base)):>7} "
              f"{e['recall_dense']:>8.3f} {e['mean_results']:>8.2f}")
    bt = se["search_hybrid_batch"]
    print(f"  search_hybrid_batch of the {fig['queries']} queries on {bt['threads']} threads: "
          f"{bt['qps']:.1f} QPS, {_fmt_x(_ratio(bt['qps'], se['search_hybrid']['qps']))} the single calls")
    print("  (recall: of the first k against the dense truth; search_hybrid results "
          f"with a sparse score: {se['search_hybrid']['share_with_sparse_score']:.0%})")

    print("\nsnapshot against compaction")
    print(f"  create_snapshot: {_fmt_s(sn['create_snapshot_s'])} (best of "
          f"{len(sn['create_snapshot_all_s'])}: "
          f"{', '.join(_fmt_s(x) for x in sn['create_snapshot_all_s'])}); files "
          f"{sn['snapshot_files']}")
    print(f"  compaction: {_fmt_s(sn['compaction_s'])} = best compacting upsert "
          f"({', '.join(_fmt_s(x) for x in sn['compacting_upsert_s'])}) - median plain upsert "
          f"{_fmt_s(sn['plain_upsert_median_s'])}; files {sn['collection_files']}")

    print("\nrestore against reopen")
    print(f"  reopen: {_fmt_s(rs['reopen_s'])} (best of {len(rs['reopen_all_s'])}); "
          f"restore_snapshot: {_fmt_s(rs['restore_snapshot_s'])}; files after it "
          f"{rs['files_after_restore']}; a reopen after the restore: "
          f"{_fmt_s(rs['reopen_after_restore_s'])}")

    rt = fig.get("real_text")
    if rt:
        print(f"\n{rt['describe']}")
        print(f"  {'ranking':<40} {'MRR@10':>7}")
        for label, v in rt["mrr_at_10"].items():
            print(f"  {label:<40} {v:>7.3f}")
        print(f"  {'runner':<40} {'QPS':>9} {'ratio':>7}")
        for label, v in rt["qps"].items():
            print(f"  {label:<40} {v:>9.1f} {_fmt_x(_ratio(v, rt['qps']['search (dense only)'])):>7}")

    t = [
        Target("search: search_hybrid QPS / dense-only search QPS (Zipf set)",
               _ratio(se["search_hybrid"]["qps"], base), 0.3, suite=NAME),
        Target("search: search_hybrid_batch QPS / single search_hybrid QPS (Zipf set)",
               _ratio(se["search_hybrid_batch"]["qps"], se["search_hybrid"]["qps"]), 1.7, suite=NAME),
        Target("snapshot: create_snapshot time / compaction time",
               _ratio(sn["create_snapshot_s"], sn["compaction_s"]), 1.5, at_most=True, suite=NAME),
        Target("restore: restore_snapshot time / reopen time",
               _ratio(rs["restore_snapshot_s"], rs["reopen_s"]), 1.2, at_most=True, suite=NAME),
    ]
    if rt:
        t.append(Target("search: search_hybrid QPS / dense-only search QPS (real text)",
                        _ratio(rt["qps"]["search_hybrid"], rt["qps"]["search (dense only)"]), 0.4, suite=NAME))
    print(f"\ntargets of suite {NAME}:")
    for x in t:
        print(x.line())
    return t
