"""The "db" suite: collections (Client / Collection) against the bare indexes,
SQLite and LanceDB, side by side in one run.

    python3 -m bench db
    python3 -m bench db --dataset synthetic-small     # a quick check of the harness

On one data set (metric l2), every row i carries the payload
{"cat": i % 10, "price": ((i * 7919) % 10000) / 100, "tag": "tag<i % 37>"}.
Six phases, each reported as figures and ratios (see bench/README.md):

1. ingest in batches of 1,000: a "flat" collection against FlatIndex.add_batch
   of the same rows without payloads, an "hnsw" collection against
   HnswIndex.add_batch_parallel of the whole array on all cores, and against
   SQLite and LanceDB loading the same batches;
2. reopen: the collection opened again from its directory against loading the
   bare index from its file (plus parsing the payloads with json.loads for
   "flat"), and against SQLite loading every row into NumPy;
3. search, k = 10: unfiltered through a collection against the bare index, a
   filter of 10 % selectivity against unfiltered, the NumPy scan of the rows
   SQLite loaded, and LanceDB's exact scan and IVF_HNSW_SQ index;
4. single upserts into the "flat" collection of n rows: writes per second and
   p99 latency against SQLite autocommit inserts and LanceDB merge-inserts;
5. bulk reads and writes: get_batch of 1,000 random ids against SQLite's
   SELECT ... WHERE id IN (...) with the payloads parsed, ids(filter) and
   count_where at 10 % against SQLite's json_extract (without and with an
   index on it), upsert_batch_np against upsert_batch of tuples and SQLite's
   executemany, search_batch of 1,000 queries on two threads against single
   calls ("flat" and "hnsw"), and delete_where of 10 % against SQLite's DELETE.
6. writes with Client(sync=True): single upserts against SQLite in WAL mode
   with synchronous=FULL on the same disk, 4 writer threads against 1, and
   1,000-row batches with sync on against sync off.
"""

from __future__ import annotations

import dataclasses
import gc
import json
import os
import pathlib
import shutil
import sqlite3
import subprocess
import tempfile
import threading
import time

import numpy as np

from . import datasets

NAME = "db"
DESCRIPTION = ("collections: ingest, reopen, search and single upserts against the bare "
               "indexes, SQLite and LanceDB")
DEFAULT_DATASET = "synthetic"
METRIC = "l2"
BATCH = 1_000
FILTER = {"cat": {"$eq": 3}}
FILTER_CAT = 3
SINGLE_UPSERTS = 5_000
TAIL_WRITES = 1_000
DURABLE_UPSERTS = 1_000  # single upserts with sync on, and as many SQLite inserts
DURABLE_SECONDS = 3.0    # per writer-thread count
DURABLE_BATCHES = 10
INGEST_REPEATS = 3   # flat ingests are cheap: best of three
REOPEN_REPEATS = 3
HNSW = {"m": 12, "ef_construction": 200, "ef_search": 50}  # the collection's defaults
HNSW_HEADER = 36  # HnswIndex file: dims u64, metric u32, ef_construction, ef_search, m u64
BENCH_DIR = pathlib.Path(__file__).resolve().parent
LANCE_SCRIPT = BENCH_DIR / "lancedb_peer.mjs"
LANCE = {  # what the LanceDB peer times (its exact scan and upserts are slow)
    "exact_queries": 100, "index_queries": 1000, "filtered_queries": 200, "upserts": 150,
    "reopen_repeats": REOPEN_REPEATS, "hnsw": {}, "ef": None,
}


def payload(i: int) -> dict:
    return {"cat": i % 10, "price": ((i * 7919) % 10000) / 100, "tag": f"tag{i % 37}"}


# ------------------------------------------------------------------- helpers

@dataclasses.dataclass
class Target:
    figure: str
    value: float | None
    limit: float
    at_most: bool = False   # value <= limit (a time ratio) instead of >= limit
    condition: str = ""      # an extra condition, already folded into `met`
    cond_ok: bool = True
    suite: str = NAME

    @property
    def met(self) -> bool | None:
        if self.value is None:
            return None
        ok = self.value <= self.limit if self.at_most else self.value >= self.limit
        return ok and self.cond_ok

    def line(self) -> str:
        want = f"{'<=' if self.at_most else '>='} {self.limit:.2f}x"
        if self.value is None:
            return f"  {self.figure}: n/a (want {want})"
        extra = f", {self.condition}" if self.condition else ""
        return (f"  {self.figure} = {self.value:.2f}x (want {want}{extra}) "
                f"{'met' if self.met else 'MISSED'}")

    def as_dict(self) -> dict:
        return {"runner": self.suite, "figure": self.figure, "value": self.value,
                "want": f"{'<=' if self.at_most else '>='} {self.limit:.2f}x"
                        + (f", {self.condition}" if self.condition else ""),
                "met": self.met}


def _ratio(a, b):
    return a / b if a and b else None


def _fmt_s(v):
    if v is None:
        return "-"
    if v < 1e-3:
        return f"{v * 1e6:.0f} us"
    return f"{v * 1000:.1f} ms" if v < 1 else f"{v:.2f} s"


def _fmt_x(v):
    return "n/a" if v is None else f"{v:.2f}x"


SKIPPED = {"figures": {"status": "skipped"}, "targets": []}


def suite_setup(args, dataset: str, metric: str):
    """(module, data set name, metric) for a suite of this module: `--dataset
    name[:metric]` overrides the defaults. None, with a note printed, when the
    module cannot be imported."""
    try:
        import kovra_vector_db as kv
    except ImportError as e:
        print(f"  skipped: kovra_vector_db not importable ({e})")
        return None
    if args.dataset:
        name, _, m = args.dataset[0].partition(":")
        dataset, metric = name, m or metric
    return kv, dataset, metric


def _release():
    """Collects what the caller just dropped, so a directory's shared state goes."""
    gc.collect()


def _edit_meta(path: str, name: str, **changes) -> None:
    meta_path = os.path.join(path, name, "meta.json")
    with open(meta_path) as f:
        meta = json.load(f)
    meta.update(changes)
    with open(meta_path, "w") as f:
        json.dump(meta, f)


# ------------------------------------------------------------------ searches

def time_searches(runners: list, queries: np.ndarray, passes: int, budget_s: float,
                  chunk: int = 50) -> None:
    """Times single queries of every runner, chunk by chunk in turn, as
    peers.measure does: each chunk's best pass counts, and a runner whose
    passes took `budget_s` makes no more. Fills runner["qps"] and
    runner["results"] (the first pass's native results)."""
    n = len(queries)
    rows = [queries[i] for i in range(n)]
    for r in runners:
        for q in rows[:20]:  # warm caches and lazy initialisation
            r["fn"](q)
        r.update(best={}, spent=0.0, results=[])
    for p in range(passes):
        running = [r for r in runners if p == 0 or r["spent"] <= budget_s]
        for start in range(0, n, chunk):
            for r in running:
                fn, out = r["fn"], []
                append = out.append
                t = time.perf_counter()
                for q in rows[start:start + chunk]:
                    append(fn(q))
                elapsed = time.perf_counter() - t
                r["spent"] += elapsed
                r["best"][start] = min(r["best"].get(start, float("inf")), elapsed)
                if p == 0:
                    r["results"] += out
    for r in runners:
        r["qps"] = n / sum(r["best"].values())


def filtered_truth(ds, mask: np.ndarray, k: int, n_queries: int) -> np.ndarray:
    """Float64 distance of the k-th nearest matching row, per query."""
    rows = np.flatnonzero(mask)
    gt = datasets.exact_neighbours(ds.base[rows], ds.queries[:n_queries], ds.metric, depth=k)
    kth_ids = rows[gt[:, k - 1]]
    return datasets.true_distances(ds, np.arange(n_queries), kth_ids[:, None])[:, 0]


def filtered_recall(ds, mask: np.ndarray, kth: np.ndarray, results: list, k: int) -> float:
    """Share of the k slots per query holding a matching row no farther than
    the k-th nearest matching row (ties count; missing or repeated ids miss)."""
    hits = 0
    for qi, ids in enumerate(results):
        seen = set()
        good = []
        for i in ids[:k]:
            i = int(i)
            if 0 <= i < ds.n and mask[i] and i not in seen:
                seen.add(i)
                good.append(i)
        if not good:
            continue
        d = datasets.true_distances(ds, np.full(1, qi), np.array([good]))[0]
        tol = 1e-6 * max(abs(kth[qi]), 1.0)
        hits += int((d <= kth[qi] + tol).sum())
    return hits / (len(results) * k)


# -------------------------------------------------------------------- SQLite

class Sqlite:
    """Python's sqlite3: table (id INTEGER PRIMARY KEY, vec BLOB, payload TEXT),
    WAL journal, synchronous=NORMAL."""

    def __init__(self, path: str):
        self.path = path

    def connect(self, autocommit=False):
        con = sqlite3.connect(self.path, isolation_level=None if autocommit else "DEFERRED")
        con.execute("PRAGMA journal_mode=WAL")
        con.execute("PRAGMA synchronous=NORMAL")
        return con

    def ingest(self, batches: list) -> float:
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(self.path + suffix):
                os.remove(self.path + suffix)
        t = time.perf_counter()
        con = self.connect()
        con.execute("CREATE TABLE docs (id INTEGER PRIMARY KEY, vec BLOB, payload TEXT)")
        for batch in batches:
            rows = [(i, v.tobytes(), json.dumps(p)) for i, v, p in batch]
            with con:
                con.executemany("INSERT INTO docs VALUES (?, ?, ?)", rows)
        con.close()
        return time.perf_counter() - t

    def load(self, dim: int):
        """Every row into a NumPy array, its ids and parsed payloads."""
        con = self.connect()
        rows = con.execute("SELECT id, vec, payload FROM docs ORDER BY id").fetchall()
        con.close()
        ids = np.fromiter((r[0] for r in rows), dtype=np.int64, count=len(rows))
        base = np.frombuffer(b"".join(r[1] for r in rows), dtype=np.float32).reshape(-1, dim)
        payloads = [json.loads(r[2]) for r in rows]
        return ids, base, payloads


def numpy_scan(ids, base, payloads, k, mask_of=None):
    """Exact L2 scan |x|^2 - 2 x.q over the loaded rows (norms computed once);
    with `mask_of`, a function of the query giving the matching rows, only
    those rows are scanned. Results carry id, distance and payload."""
    sq = np.einsum("ij,ij->i", base, base)

    def finish(rows_ids, score, q2):
        m = min(k, len(score))
        if m == 0:
            return []
        top = np.argpartition(score, m - 1)[:m] if m < len(score) else np.arange(len(score))
        top = top[np.argsort(score[top])]
        return [{"id": int(rows_ids[t]), "distance": float(score[t] + q2),
                 "payload": payloads[rows_ids[t]]} for t in top]

    if mask_of is None:
        def search(q):
            return finish(ids, sq - 2.0 * (base @ q), float(q @ q))
    else:
        def search(q):
            rows = np.flatnonzero(mask_of(q))
            return finish(ids[rows], sq[rows] - 2.0 * (base[rows] @ q), float(q @ q))
    return search


# ------------------------------------------------------------------- LanceDB

def run_lancedb(ds, work: pathlib.Path, k: int) -> dict:
    """Runs bench/lancedb_peer.mjs in Node on the same rows; {"status": ...}
    when Node or the packages are missing."""
    node = shutil.which("node")
    if node is None:
        return {"status": "skipped: node not found (make bench installs it)"}
    if not (BENCH_DIR / "node_modules" / "@lancedb" / "lancedb").is_dir():
        return {"status": "skipped: run `npm ci` in bench/ (make bench does)"}
    data = work / "lance_input.bin"
    with open(data, "wb") as f:
        f.write(np.array([ds.n, ds.dim, len(ds.queries)], dtype="<u4").tobytes())
        f.write(ds.base.astype("<f4").tobytes())
        f.write(ds.queries.astype("<f4").tobytes())
    table_dir = work / "lancedb"
    table_dir.mkdir()
    opts = dict(LANCE, batch=BATCH, k=k, filter_cat=FILTER_CAT)
    opts["index_queries"] = min(opts["index_queries"], len(ds.queries))
    opts["filtered_queries"] = min(opts["filtered_queries"], len(ds.queries))
    opts["exact_queries"] = min(opts["exact_queries"], len(ds.queries))
    proc = subprocess.run([node, str(LANCE_SCRIPT), str(data), str(table_dir), json.dumps(opts)],
                          capture_output=True, text=True, cwd=BENCH_DIR, timeout=1800)
    if proc.returncode != 0:
        return {"status": f"failed: {proc.stderr.strip()[-500:]}"}
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    out["status"] = "ok"
    return out


# ---------------------------------------------------------------------- suite

def run(args) -> dict:
    setup = suite_setup(args, DEFAULT_DATASET, METRIC)
    if setup is None:
        return SKIPPED
    kv, ds_name, metric = setup
    k = args.k
    ds = datasets.load(ds_name, metric)
    n, dim = ds.n, ds.dim
    nq = min(args.queries, len(ds.queries))
    print(f"{ds.describe()}; batches of {BATCH}, k={k}, {nq} single queries")

    payloads = [payload(i) for i in range(n)]
    entries = [(i, ds.base[i], payloads[i]) for i in range(n)]
    batches = [entries[s:s + BATCH] for s in range(0, n, BATCH)]
    bare_batches = [[(i, v) for i, v, _ in b] for b in batches]
    cats = np.array([p["cat"] for p in payloads])
    mask = cats == FILTER_CAT

    work = pathlib.Path(tempfile.mkdtemp(prefix="kovra_db_bench_"))
    fig: dict = {"dataset": ds.name, "metric": metric, "n": n, "dim": dim, "k": k,
                 "batch": BATCH, "queries": nq}
    try:
        return _run(kv, args, ds, k, nq, payloads, batches, bare_batches, cats, mask, work, fig)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _ingest_collection(kv, path, index_type, batches, dim, metric, threshold=None):
    """Creates the collection (with `threshold` written into its meta.json,
    then reopened) and times the batches. Returns (seconds, per-batch seconds)."""
    if threshold is not None:
        db = kv.Client(path)
        db.create_collection("docs", dim, metric=metric, index_type=index_type)
        del db
        _release()
        _edit_meta(path, "docs", wal_compact_threshold=threshold)
    t = time.perf_counter()
    db = kv.Client(path)
    col = (db.get_collection("docs") if threshold is not None
           else db.create_collection("docs", dim, metric=metric, index_type=index_type))
    per_batch = []
    for b in batches:
        s = time.perf_counter()
        col.upsert_batch(b)
        per_batch.append(time.perf_counter() - s)
    total = time.perf_counter() - t
    return total, per_batch, db, col


def _reopen(kv, path):
    t = time.perf_counter()
    db = kv.Client(path)
    col = db.get_collection("docs")
    count = col.count
    return time.perf_counter() - t, db, col, count


def _run(kv, args, ds, k, nq, payloads, batches, bare_batches, cats, mask, work, fig):
    n, dim, metric = ds.n, ds.dim, ds.metric
    targets: list = []
    sql = Sqlite(str(work / "sqlite.db"))

    # ---- 1. ingest
    print("\ningest ...", flush=True)
    flat_dir = str(work / "flat")
    t_coll, t_bare, t_sql = [], [], []
    flat_batch_times = None
    for rep in range(INGEST_REPEATS):
        shutil.rmtree(flat_dir, ignore_errors=True)
        _release()
        secs, per_batch, db, col = _ingest_collection(kv, flat_dir, "flat", batches, dim, metric)
        if not t_coll or secs < min(t_coll):
            flat_batch_times = per_batch
        t_coll.append(secs)
        del db, col
        _release()
        bare = kv.FlatIndex(dim, metric)
        t = time.perf_counter()
        for b in bare_batches:
            bare.add_batch(b)
        t_bare.append(time.perf_counter() - t)
        if rep < INGEST_REPEATS - 1:
            del bare
        t_sql.append(sql.ingest(batches))
    flat_meta = json.load(open(os.path.join(flat_dir, "docs", "meta.json")))
    thr = flat_meta.get("wal_compact_threshold", 0)
    compaction_batches = [i for i in range(len(batches)) if thr and ((i + 1) * BATCH) % thr == 0]
    fig["ingest"] = {
        "flat_collection_s": min(t_coll), "flat_bare_s": min(t_bare), "sqlite_s": min(t_sql),
        "flat_wal_compact_threshold": thr,
        "flat_median_batch_s": float(np.median(flat_batch_times)),
        "flat_compaction_batches_s": [flat_batch_times[i] for i in compaction_batches],
    }

    hnsw_dir = str(work / "hnsw")
    bare_hnsw = kv.HnswIndex(dim, metric, **HNSW)
    t = time.perf_counter()
    bare_hnsw.add_batch_parallel(ds.base, start_id=0, num_threads=0)
    fig["ingest"]["hnsw_bare_parallel_s"] = time.perf_counter() - t
    secs, per_batch, hdb, hcol = _ingest_collection(kv, hnsw_dir, "hnsw", batches, dim, metric,
                                                    threshold=n)
    fig["ingest"]["hnsw_collection_s"] = secs
    fig["ingest"]["hnsw_median_batch_s"] = float(np.median(per_batch))
    fig["ingest"]["hnsw_last_batch_s"] = per_batch[-1]  # includes the compaction check at n writes
    print(f"  done ({time.perf_counter() - t:.0f} s for the two graphs)", flush=True)

    # ---- 2. reopen "flat" (the "hnsw" one after its searches and tail writes)
    print("reopen ...", flush=True)
    bare_file = str(work / "bare.flat")
    bare.save(bare_file)
    texts = [json.dumps(p, separators=(",", ":")) for p in payloads]
    r_coll, r_bare, r_sql = [], [], []
    col = db = None
    for _ in range(REOPEN_REPEATS):
        del col, db
        _release()
        secs, db, col, count = _reopen(kv, flat_dir)
        assert count == n, (count, n)
        r_coll.append(secs)
        t = time.perf_counter()
        loaded = kv.FlatIndex.load(bare_file)
        parsed = [json.loads(s) for s in texts]
        r_bare.append(time.perf_counter() - t)
        del loaded, parsed
        t = time.perf_counter()
        s_ids, s_base, s_payloads = sql.load(dim)
        r_sql.append(time.perf_counter() - t)
    assert len(s_ids) == n
    fig["reopen"] = {"flat_collection_s": min(r_coll), "flat_load_plus_json_s": min(r_bare),
                     "sqlite_load_s": min(r_sql)}

    # ---- 3. search
    print("search ...", flush=True)
    s_cats = np.array([p["cat"] for p in s_payloads])
    runners = [
        {"label": "flat collection", "fn": lambda q, s=col.search: s(q, k)},
        {"label": "flat collection filtered",
         "fn": lambda q, s=col.search: s(q, k, filter=FILTER)},
        {"label": "FlatIndex", "fn": lambda q, s=bare.search: s(q, k)},
        {"label": "SQLite rows, NumPy scan", "fn": numpy_scan(s_ids, s_base, s_payloads, k)},
        {"label": "SQLite rows, masked NumPy scan",
         "fn": numpy_scan(s_ids, s_base, s_payloads, k, mask_of=lambda q: s_cats == FILTER_CAT)},
        {"label": "hnsw collection", "fn": lambda q, s=hcol.search: s(q, k)},
        {"label": "hnsw collection filtered",
         "fn": lambda q, s=hcol.search: s(q, k, filter=FILTER)},
        {"label": "HnswIndex", "fn": lambda q, s=bare_hnsw.search: s(q, k)},
    ]
    time_searches(runners, ds.queries[:nq], args.passes, args.budget)
    kth = filtered_truth(ds, mask, k, len(ds.queries))  # LanceDB may run other queries
    search = {}
    for r in runners:
        ids = [[h["id"] for h in res] for res in r["results"]]
        entry = {"qps": r["qps"], "mean_results": float(np.mean([len(x) for x in ids]))}
        if "filtered" in r["label"] or "masked" in r["label"]:
            entry["recall_filtered"] = filtered_recall(ds, mask, kth, ids, k)
        else:
            entry["recall"] = datasets.recall_at_k(ds, ids, k)
        search[r["label"]] = entry
    fig["search"] = search
    del runners

    # ---- 2b. reopen "hnsw": its graph was saved at the check at n writes; a tail of
    # single upserts follows (new ids, rows near existing ones).
    print("reopen hnsw ...", flush=True)
    rng = np.random.default_rng(5)
    for j in range(TAIL_WRITES):
        row = ds.base[j % n] + rng.normal(0, 0.01, dim).astype(np.float32)
        hcol.upsert(n + j, row, payloads[j % n])
    graph_file = os.path.join(hnsw_dir, "docs", "hnsw.graph")
    bare_hnsw_file = str(work / "bare.hnsw")
    bare_hnsw.save(bare_hnsw_file)
    with open(bare_hnsw_file, "rb") as f:
        header = f.read(HNSW_HEADER)
    same_graph = str(work / "collection_graph.hnsw")
    with open(same_graph, "wb") as out, open(graph_file, "rb") as f:
        out.write(header)
        shutil.copyfileobj(f, out)
    del bare_hnsw
    hr_coll, hr_bare = [], []
    for _ in range(REOPEN_REPEATS):
        del hcol, hdb
        _release()
        secs, hdb, hcol, count = _reopen(kv, hnsw_dir)
        assert count == n + TAIL_WRITES, (count, n + TAIL_WRITES)
        hr_coll.append(secs)
        t = time.perf_counter()
        loaded = kv.HnswIndex.load(same_graph)
        hr_bare.append(time.perf_counter() - t)
        assert len(loaded) == n, len(loaded)
        del loaded
    fig["reopen"].update({"hnsw_collection_s": min(hr_coll), "hnsw_load_s": min(hr_bare),
                          "hnsw_tail_writes": TAIL_WRITES,
                          "hnsw_graph_bytes": os.path.getsize(graph_file),
                          "hnsw_log_bytes": os.path.getsize(os.path.join(hnsw_dir, "docs",
                                                                         "wal.log"))})
    del hcol, hdb
    _release()

    # ---- 4. single upserts into the "flat" collection and SQLite, alternating
    print("single upserts ...", flush=True)
    lat_coll, lat_sql = [], []
    con = sql.connect(autocommit=True)
    stmt = "INSERT OR REPLACE INTO docs VALUES (?, ?, ?)"
    upsert, execute = col.upsert, con.execute
    step = 500
    wall_coll = wall_sql = 0.0
    for start in range(0, SINGLE_UPSERTS, step):
        js = range(start, min(start + step, SINGLE_UPSERTS))
        t0 = time.perf_counter()
        for j in js:
            s = time.perf_counter()
            upsert(n + j, ds.base[j % n], payloads[j % n])
            lat_coll.append(time.perf_counter() - s)
        t1 = time.perf_counter()
        for j in js:
            s = time.perf_counter()
            execute(stmt, (n + j, ds.base[j % n].tobytes(), json.dumps(payloads[j % n])))
            lat_sql.append(time.perf_counter() - s)
        t2 = time.perf_counter()
        wall_coll += t1 - t0
        wall_sql += t2 - t1
    con.close()
    fig["upserts"] = {
        "count": SINGLE_UPSERTS,
        "collection_per_s": SINGLE_UPSERTS / wall_coll, "sqlite_per_s": SINGLE_UPSERTS / wall_sql,
        "collection_p50_s": float(np.percentile(lat_coll, 50)),
        "collection_p99_s": float(np.percentile(lat_coll, 99)),
        "sqlite_p50_s": float(np.percentile(lat_sql, 50)),
        "sqlite_p99_s": float(np.percentile(lat_sql, 99)),
    }
    del col, db, upsert
    _release()

    # ---- 5. bulk reads and writes
    print("bulk reads and writes ...", flush=True)
    fig["bulk"] = _bulk(kv, ds, k, payloads, batches, flat_dir, hnsw_dir, sql, work)

    # ---- 6. writes that must reach the disk before they return
    print("durable writes (sync=True) ...", flush=True)
    fig["durable"] = durable_writes(kv, ds, payloads, work)

    # ---- LanceDB, in Node
    print("LanceDB (Node) ...", flush=True)
    lance = run_lancedb(ds, work, k)
    if lance["status"] == "ok":
        lf = {key: lance[key] for key in ("ingest_s", "reopen_s", "index_build_s")}
        lf["exact_qps"] = lance["exact"]["qps"]
        lf["exact_recall"] = datasets.recall_at_k(ds, lance["exact"]["ids"], k)
        lf["hnsw_sq_qps"] = lance["hnsw_sq"]["qps"]
        lf["hnsw_sq_recall"] = datasets.recall_at_k(ds, lance["hnsw_sq"]["ids"], k)
        lf["hnsw_sq_params"] = lance["hnsw_sq"]["params"]
        lf["prefiltered_qps"] = lance["prefiltered"]["qps"]
        pf_ids = lance["prefiltered"]["ids"]
        lf["prefiltered_recall"] = filtered_recall(ds, mask, kth, pf_ids, k)
        lf["prefiltered_mean_results"] = float(np.mean([len(x) for x in pf_ids]))
        lat = lance["upserts"]["latencies"]
        lf["upserts"] = lance["upserts"]["count"]
        lf["upserts_per_s"] = lance["upserts"]["per_s"]
        lf["upsert_p50_s"] = float(np.percentile(lat, 50))
        lf["upsert_p99_s"] = float(np.percentile(lat, 99))
        lf["queries"] = {key: lance[key]["queries"] for key in ("exact", "hnsw_sq", "prefiltered")}
        fig["lancedb"] = lf
    else:
        fig["lancedb"] = {"status": lance["status"]}
        print(f"  LanceDB {lance['status']}")

    targets = _report(fig)
    return {"figures": fig, "targets": [t.as_dict() for t in targets]}


def _best(fn, repeats=3):
    best = float("inf")
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def _bulk(kv, ds, k, payloads, batches, flat_dir, hnsw_dir, sql, work) -> dict:
    """get_batch, ids(filter), upsert_batch_np, search_batch and delete_where
    against their plain counterparts and SQLite (the table the ingest phase
    filled, plus the single upserts)."""
    n, dim = ds.n, ds.dim
    out = {}
    rng = np.random.default_rng(17)

    # Writes: NumPy in against tuples, into fresh "flat" collections, with
    # the same payloads and without.
    ids_all = np.arange(n, dtype=np.int64)
    # The rows start as arrays (and a list of payloads), as NumPy users hold
    # them: the tuples are built inside the clock.
    for label, with_payloads in (("payloads", True), ("vectors only", False)):
        def by_tuples():
            path = str(work / "bulk_tuples")
            shutil.rmtree(path, ignore_errors=True)
            c = kv.Client(path).create_collection("b", dim, metric=METRIC, index_type="flat")
            for s in range(0, n, BATCH):
                rows = range(s, min(n, s + BATCH))
                c.upsert_batch([(i, ds.base[i], payloads[i]) for i in rows] if with_payloads
                               else [(i, ds.base[i]) for i in rows])

        def by_arrays():
            path = str(work / "bulk_np")
            shutil.rmtree(path, ignore_errors=True)
            c = kv.Client(path).create_collection("b", dim, metric=METRIC, index_type="flat")
            for s in range(0, n, BATCH):
                c.upsert_batch_np(ids_all[s:s + BATCH], ds.base[s:s + BATCH],
                                  payloads[s:s + BATCH] if with_payloads else None)

        out[f"upsert_batch_s ({label})"] = _best(by_tuples)
        _release()
        out[f"upsert_batch_np_s ({label})"] = _best(by_arrays)
        _release()

    # Reads on the ingested "flat" collection and on SQLite.
    _release()
    db = kv.Client(flat_dir)
    col = db.get_collection("docs")
    con = sql.connect()
    asked = [rng.choice(n, 1000, replace=False).tolist() for _ in range(20)]

    def get_ours():
        for a in asked:
            col.get_batch(a)

    def get_sqlite():
        for a in asked:
            rows = con.execute(f"SELECT id, vec, payload FROM docs WHERE id IN ({','.join('?' * len(a))})",
                               a).fetchall()
            [(r[0], np.frombuffer(r[1], dtype=np.float32), json.loads(r[2])) for r in rows]

    out["get_batch_1000_s"] = _best(get_ours) / len(asked)
    out["sqlite_in_1000_s"] = _best(get_sqlite) / len(asked)

    cat_filter = FILTER
    out["ids_filter_s"] = _best(lambda: col.ids(cat_filter), 5)
    out["count_where_s"] = _best(lambda: col.count_where(cat_filter), 5)
    select = "SELECT id FROM docs WHERE json_extract(payload, '$.cat') = 3"
    out["sqlite_select_s"] = _best(lambda: con.execute(select).fetchall(), 3)
    con.execute("CREATE INDEX IF NOT EXISTS docs_cat ON docs (json_extract(payload, '$.cat'))")
    out["sqlite_select_indexed_s"] = _best(lambda: con.execute(select).fetchall(), 5)
    con.execute("DROP INDEX docs_cat")

    # search_batch on two threads against single calls, both collections.
    queries = np.ascontiguousarray(ds.queries[:1000])
    for kind, path in (("flat", flat_dir), ("hnsw", hnsw_dir)):
        c = col if kind == "flat" else kv.Client(path).get_collection("docs")
        rows = [queries[i] for i in range(len(queries))]
        out[f"{kind}_single_s"] = _best(lambda: [c.search(q, k) for q in rows])
        out[f"{kind}_search_batch_s"] = _best(lambda: c.search_batch(queries, k, num_threads=2))
        del c

    # delete_where of a tenth against SQLite's DELETE of the same rows.
    t = time.perf_counter()
    deleted = col.delete_where(cat_filter)
    out["delete_where_s"] = time.perf_counter() - t
    out["delete_where_count"] = deleted
    t = time.perf_counter()
    with con:
        con.execute("DELETE FROM docs WHERE json_extract(payload, '$.cat') = 3")
    out["sqlite_delete_s"] = time.perf_counter() - t
    con.close()
    del col, db
    _release()
    return out


def _bulk_report(b: dict, ingest: dict) -> list:
    print("\nbulk reads and writes (ratio: peer time / collection time)")
    rows = [
        ("upsert_batch_np, payloads", b["upsert_batch_np_s (payloads)"], "upsert_batch of tuples",
         b["upsert_batch_s (payloads)"]),
        ("", b["upsert_batch_np_s (payloads)"], "SQLite executemany", ingest["sqlite_s"]),
        ("upsert_batch_np, vectors only", b["upsert_batch_np_s (vectors only)"], "upsert_batch of tuples",
         b["upsert_batch_s (vectors only)"]),
        ("get_batch of 1,000 ids", b["get_batch_1000_s"], "SQLite IN (...) + json.loads", b["sqlite_in_1000_s"]),
        ("ids(filter), 10 %", b["ids_filter_s"], "SQLite json_extract (no index)", b["sqlite_select_s"]),
        ("", b["ids_filter_s"], "SQLite json_extract (indexed)", b["sqlite_select_indexed_s"]),
        ("count_where, 10 %", b["count_where_s"], "SQLite json_extract (no index)", b["sqlite_select_s"]),
        ("flat search_batch, 2 threads", b["flat_search_batch_s"], "1,000 single searches", b["flat_single_s"]),
        ("hnsw search_batch, 2 threads", b["hnsw_search_batch_s"], "1,000 single searches", b["hnsw_single_s"]),
        (f"delete_where, {b['delete_where_count']} rows", b["delete_where_s"], "SQLite DELETE json_extract",
         b["sqlite_delete_s"]),
    ]
    for title, mine, label, peer in rows:
        print(f"  {title:<34} {_fmt_s(mine):>12}   {label:<34} {_fmt_s(peer):>12}   "
              f"{_fmt_x(_ratio(peer, mine)):>7}")
    return [
        Target("get_batch 1,000: SQLite IN time / collection time", _ratio(b["sqlite_in_1000_s"],
                                                                          b["get_batch_1000_s"]), 3.0),
        Target("ids(filter) 10 %: SQLite json_extract time / collection time",
               _ratio(b["sqlite_select_s"], b["ids_filter_s"]), 3.0),
        Target("upsert_batch_np: upsert_batch of tuples time / np time (payloads)",
               _ratio(b["upsert_batch_s (payloads)"], b["upsert_batch_np_s (payloads)"]), 3.0),
        Target("upsert_batch_np: SQLite executemany time / np time",
               _ratio(ingest["sqlite_s"], b["upsert_batch_np_s (payloads)"]), 2.0),
        Target("search_batch flat, 2 threads: single calls time / batch time",
               _ratio(b["flat_single_s"], b["flat_search_batch_s"]), 1.7),
        Target("search_batch hnsw, 2 threads: single calls time / batch time",
               _ratio(b["hnsw_single_s"], b["hnsw_search_batch_s"]), 1.7),
        Target("delete_where 10 %: SQLite DELETE time / collection time",
               _ratio(b["sqlite_delete_s"], b["delete_where_s"]), 2.0),
    ]
def durable_writes(kv, ds, payloads, work: pathlib.Path) -> dict:
    """Writes with `Client(path, sync=True)`, on the disk of `work`: single
    upserts against SQLite in WAL mode with synchronous=FULL (autocommit, so
    one sync per insert), alternating in chunks; 1 and 4 writer threads (each
    with its own Collection object) for a fixed time; 1,000-row batches with
    sync on and off."""
    n = len(payloads)
    db = kv.Client(str(work / "durable"), sync=True)
    col = db.create_collection("docs", ds.dim, metric=METRIC, index_type="flat")
    con = sqlite3.connect(str(work / "durable.sqlite"), isolation_level=None)
    con.execute("PRAGMA journal_mode=WAL")
    con.execute("PRAGMA synchronous=FULL")
    con.execute("CREATE TABLE docs (id INTEGER PRIMARY KEY, vec BLOB, payload TEXT)")
    stmt = "INSERT OR REPLACE INTO docs VALUES (?, ?, ?)"
    wall_coll = wall_sql = 0.0
    lat_coll, lat_sql = [], []
    for start in range(0, DURABLE_UPSERTS, 100):
        js = range(start, start + 100)
        t0 = time.perf_counter()
        for j in js:
            s = time.perf_counter()
            col.upsert(j, ds.base[j % n], payloads[j % n])
            lat_coll.append(time.perf_counter() - s)
        t1 = time.perf_counter()
        for j in js:
            s = time.perf_counter()
            con.execute(stmt, (j, ds.base[j % n].tobytes(), json.dumps(payloads[j % n])))
            lat_sql.append(time.perf_counter() - s)
        t2 = time.perf_counter()
        wall_coll += t1 - t0
        wall_sql += t2 - t1
    con.close()

    def threaded(writers: int) -> float:
        stop = threading.Event()
        counts = [0] * writers

        def write(w):
            c = db.get_collection("docs")
            i = 0
            while not stop.is_set():
                j = (w * 100_003 + i) % n
                c.upsert(j, ds.base[j], payloads[j])
                i += 1
            counts[w] = i

        threads = [threading.Thread(target=write, args=(w,)) for w in range(writers)]
        t = time.perf_counter()
        for th in threads:
            th.start()
        time.sleep(DURABLE_SECONDS)
        stop.set()
        for th in threads:
            th.join()
        return sum(counts) / (time.perf_counter() - t)

    one, four = threaded(1), threaded(4)

    # Batches of new rows, alternating with and without sync, into a "flat"
    # collection (the batch is mostly its bytes: the sync's cost shows in
    # full) and an "hnsw" one (the batch is mostly the graph's work).
    batch_s = {}
    for index_type in ("flat", "hnsw"):
        db.create_collection(f"batch_{index_type}", ds.dim, metric=METRIC, index_type=index_type)
        synced = db.get_collection(f"batch_{index_type}")
        plain = kv.Client(str(work / "durable")).get_collection(f"batch_{index_type}")  # sync off
        synced_s, plain_s = [], []
        for b in range(DURABLE_BATCHES):
            for target, times in ((synced, synced_s), (plain, plain_s)):
                first = (2 * b + (target is plain)) * BATCH
                rows = [(first + i, ds.base[(first + i) % n], payloads[(first + i) % n]) for i in range(BATCH)]
                t = time.perf_counter()
                target.upsert_batch(rows)
                times.append(time.perf_counter() - t)
        batch_s[index_type] = (float(np.median(synced_s)), float(np.median(plain_s)))
        del synced, plain
    del col, db
    _release()
    return {
        "upserts": DURABLE_UPSERTS,
        "collection_per_s": DURABLE_UPSERTS / wall_coll, "sqlite_per_s": DURABLE_UPSERTS / wall_sql,
        "collection_p50_s": float(np.percentile(lat_coll, 50)),
        "collection_p99_s": float(np.percentile(lat_coll, 99)),
        "sqlite_p50_s": float(np.percentile(lat_sql, 50)),
        "sqlite_p99_s": float(np.percentile(lat_sql, 99)),
        "one_writer_per_s": one, "four_writers_per_s": four,
        "batch_rows": BATCH,
        "batch_sync_s": batch_s["flat"][0], "batch_plain_s": batch_s["flat"][1],
        "hnsw_batch_sync_s": batch_s["hnsw"][0], "hnsw_batch_plain_s": batch_s["hnsw"][1],
    }


# -------------------------------------------------------------------- report

def _report(fig: dict) -> list:
    ing, ro, se, up = fig["ingest"], fig["reopen"], fig["search"], fig["upserts"]
    lf = fig.get("lancedb", {})
    has_lance = "ingest_s" in lf
    n = fig["n"]

    def row(title, mine, peer_label, peer, ratio, note=""):
        print(f"  {title:<34} {mine:>12}   {peer_label:<34} {peer:>12}   {ratio:>7}  {note}")

    print(f"\n{fig['dataset']} ({n} x {fig['dim']}, {fig['metric']}), batches of {fig['batch']}, "
          f"k={fig['k']}")
    print("\ningest (ratio: peer time / collection time; for the bare indexes, collection / bare)")
    row("flat collection upsert_batch", _fmt_s(ing["flat_collection_s"]),
        "FlatIndex.add_batch", _fmt_s(ing["flat_bare_s"]),
        _fmt_x(_ratio(ing["flat_collection_s"], ing["flat_bare_s"])), "(collection / bare)")
    row("", "", "SQLite executemany", _fmt_s(ing["sqlite_s"]),
        _fmt_x(_ratio(ing["sqlite_s"], ing["flat_collection_s"])))
    if has_lance:
        row("", "", "LanceDB add", _fmt_s(lf["ingest_s"]),
            _fmt_x(_ratio(lf["ingest_s"], ing["flat_collection_s"])))
    row("hnsw collection upsert_batch", _fmt_s(ing["hnsw_collection_s"]),
        "HnswIndex.add_batch_parallel", _fmt_s(ing["hnsw_bare_parallel_s"]),
        _fmt_x(_ratio(ing["hnsw_collection_s"], ing["hnsw_bare_parallel_s"])),
        "(collection / bare)")
    if has_lance:
        row("", "", "LanceDB IVF_HNSW_SQ build", _fmt_s(lf["index_build_s"]), "",
            "(after its ingest)")
    comp = ", ".join(_fmt_s(s) for s in ing["flat_compaction_batches_s"])
    print(f"  flat: median batch {_fmt_s(ing['flat_median_batch_s'])}; the batches that ran the compaction "
          f"check (every {ing['flat_wal_compact_threshold']} writes): {comp or '-'}")
    print(f"  hnsw: median batch {_fmt_s(ing['hnsw_median_batch_s'])}; last batch, with the "
          f"compaction at {n} writes: {_fmt_s(ing['hnsw_last_batch_s'])}")

    print("\nreopen (ratio: collection / baseline, or peer / collection)")
    row("flat collection", _fmt_s(ro["flat_collection_s"]),
        "FlatIndex.load + json.loads", _fmt_s(ro["flat_load_plus_json_s"]),
        _fmt_x(_ratio(ro["flat_collection_s"], ro["flat_load_plus_json_s"])), "(collection / bare)")
    row("", "", "SQLite rows into NumPy", _fmt_s(ro["sqlite_load_s"]),
        _fmt_x(_ratio(ro["sqlite_load_s"], ro["flat_collection_s"])))
    if has_lance:
        row("", "", "LanceDB open (lazy)", _fmt_s(lf["reopen_s"]),
            _fmt_x(_ratio(lf["reopen_s"], ro["flat_collection_s"])))
    row(f"hnsw collection (+{ro['hnsw_tail_writes']} tail)", _fmt_s(ro["hnsw_collection_s"]),
        "HnswIndex.load of its graph", _fmt_s(ro["hnsw_load_s"]),
        _fmt_x(_ratio(ro["hnsw_collection_s"], ro["hnsw_load_s"])), "(collection / bare)")
    row("", "", "SQLite rows into NumPy", _fmt_s(ro["sqlite_load_s"]),
        _fmt_x(_ratio(ro["sqlite_load_s"], ro["hnsw_collection_s"])))

    print("\nsearch, single queries (ratio: collection QPS / peer QPS)")
    print(f"  {'runner':<34} {'QPS':>9} {'recall':>8} {'results':>8}")
    for label, e in se.items():
        rec = e.get("recall", e.get("recall_filtered"))
        tag = " (filtered truth)" if "recall_filtered" in e else ""
        print(f"  {label:<34} {e['qps']:>9.1f} {rec:>8.3f} {e['mean_results']:>8.2f}{tag}")
    if has_lance:
        q = lf["queries"]
        print(f"  {'LanceDB exact scan':<34} {lf['exact_qps']:>9.1f} {lf['exact_recall']:>8.3f}"
              f"          ({q['exact']} queries)")
        print(f"  {'LanceDB IVF_HNSW_SQ':<34} {lf['hnsw_sq_qps']:>9.1f} {lf['hnsw_sq_recall']:>8.3f}"
              f"          ({q['hnsw_sq']} queries; {json.dumps(lf['hnsw_sq_params'])})")
        print(f"  {'LanceDB prefiltered (index)':<34} {lf['prefiltered_qps']:>9.1f} "
              f"{lf['prefiltered_recall']:>8.3f} {lf['prefiltered_mean_results']:>8.2f}"
              f" (filtered truth; {q['prefiltered']} queries)")

    print("\nsingle upserts into the flat collection of n rows (ratio: collection / peer writes/s)")
    print(f"  collection: {up['collection_per_s']:.0f}/s, p50 {_fmt_s(up['collection_p50_s'])}, "
          f"p99 {_fmt_s(up['collection_p99_s'])} ({up['count']} upserts)")
    print(f"  SQLite autocommit INSERT OR REPLACE: {up['sqlite_per_s']:.0f}/s, "
          f"p50 {_fmt_s(up['sqlite_p50_s'])}, p99 {_fmt_s(up['sqlite_p99_s'])} "
          f"({_fmt_x(_ratio(up['collection_per_s'], up['sqlite_per_s']))})")
    if has_lance:
        print(f"  LanceDB merge-insert: {lf['upserts_per_s']:.1f}/s, p50 {_fmt_s(lf['upsert_p50_s'])}, "
              f"p99 {_fmt_s(lf['upsert_p99_s'])} ({lf['upserts']} upserts; "
              f"{_fmt_x(_ratio(up['collection_per_s'], lf['upserts_per_s']))})")

    du = fig["durable"]
    print("\ndurable writes, Client(sync=True), on the same disk (ratio: collection / peer writes/s)")
    print(f"  collection single upserts: {du['collection_per_s']:.0f}/s, p50 {_fmt_s(du['collection_p50_s'])}, "
          f"p99 {_fmt_s(du['collection_p99_s'])} ({du['upserts']} upserts)")
    print(f"  SQLite WAL, synchronous=FULL, autocommit: {du['sqlite_per_s']:.0f}/s, "
          f"p50 {_fmt_s(du['sqlite_p50_s'])}, p99 {_fmt_s(du['sqlite_p99_s'])} "
          f"({_fmt_x(_ratio(du['collection_per_s'], du['sqlite_per_s']))})")
    print(f"  4 writer threads: {du['four_writers_per_s']:.0f}/s against 1 thread "
          f"{du['one_writer_per_s']:.0f}/s ({_fmt_x(_ratio(du['four_writers_per_s'], du['one_writer_per_s']))})")
    for kind, prefix in (("flat", ""), ("hnsw", "hnsw_")):
        on, off = du[f"{prefix}batch_sync_s"], du[f"{prefix}batch_plain_s"]
        print(f"  upsert_batch of {du['batch_rows']} into {kind}: sync on {_fmt_s(on)}, off {_fmt_s(off)} "
              f"(off / on time {_fmt_x(_ratio(off, on))})")

    fc, ff, fb = se["flat collection"], se["flat collection filtered"], se["FlatIndex"]
    hc, hf, hb = se["hnsw collection"], se["hnsw collection filtered"], se["HnswIndex"]
    t = [
        Target("ingest flat: collection / FlatIndex.add_batch time",
               _ratio(ing["flat_collection_s"], ing["flat_bare_s"]), 1.5, at_most=True),
        Target("ingest hnsw: collection / HnswIndex.add_batch_parallel time",
               _ratio(ing["hnsw_collection_s"], ing["hnsw_bare_parallel_s"]), 1.3, at_most=True),
        Target("ingest flat: SQLite time / collection time",
               _ratio(ing["sqlite_s"], ing["flat_collection_s"]), 1.0),
        Target("ingest flat: LanceDB time / collection time",
               _ratio(lf.get("ingest_s"), ing["flat_collection_s"]), 1.0),
        Target("reopen flat: collection / (FlatIndex.load + json.loads)",
               _ratio(ro["flat_collection_s"], ro["flat_load_plus_json_s"]), 3.0, at_most=True),
        Target("reopen hnsw (+tail): collection / HnswIndex.load",
               _ratio(ro["hnsw_collection_s"], ro["hnsw_load_s"]), 3.0, at_most=True),
        Target("reopen flat: SQLite load / collection",
               _ratio(ro["sqlite_load_s"], ro["flat_collection_s"]), 1.0),
        Target("search flat: collection QPS / FlatIndex QPS", _ratio(fc["qps"], fb["qps"]), 0.9),
        Target("search hnsw: collection QPS / HnswIndex QPS", _ratio(hc["qps"], hb["qps"]), 0.9),
        Target("search flat: filtered QPS / unfiltered QPS", _ratio(ff["qps"], fc["qps"]), 0.8),
        Target("search hnsw: filtered QPS / unfiltered QPS", _ratio(hf["qps"], hc["qps"]), 0.4),
        Target("search flat: collection QPS / SQLite-rows NumPy scan QPS",
               _ratio(fc["qps"], se["SQLite rows, NumPy scan"]["qps"]), 2.0),
    ]
    if has_lance:
        t.append(Target("search hnsw: collection QPS / LanceDB IVF_HNSW_SQ QPS",
                        _ratio(hc["qps"], lf["hnsw_sq_qps"]), 20.0,
                        condition=f"recall {hc['recall']:.3f} >= {lf['hnsw_sq_recall']:.3f}",
                        cond_ok=hc["recall"] >= lf["hnsw_sq_recall"]))
    else:
        t.append(Target("search hnsw: collection QPS / LanceDB IVF_HNSW_SQ QPS", None, 20.0))
    t.append(Target("single upserts: collection / SQLite writes per second",
                    _ratio(up["collection_per_s"], up["sqlite_per_s"]), 1.0))
    t += _bulk_report(fig["bulk"], ing)
    t += [
        Target("sync on, single upserts: collection / SQLite (WAL, synchronous=FULL) writes per second",
               _ratio(du["collection_per_s"], du["sqlite_per_s"]), 1.0),
        Target("sync on: 4 writer threads / 1 thread writes per second",
               _ratio(du["four_writers_per_s"], du["one_writer_per_s"]), 2.0),
        Target("sync on, upsert_batch of 1,000 into flat: time with sync off / with sync on",
               _ratio(du["batch_plain_s"], du["batch_sync_s"]), 0.8),
        Target("sync on, upsert_batch of 1,000 into hnsw: time with sync off / with sync on",
               _ratio(du["hnsw_batch_plain_s"], du["hnsw_batch_sync_s"]), 0.8),
    ]
    print("\ntargets of suite db:")
    for x in t:
        print(x.line())
    return t
