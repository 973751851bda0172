"""The "reopen" suite: does a collection's cost follow what changed, not the
length of its log?

    python3 -m bench reopen
    python3 -m bench reopen --dataset synthetic-small   # a quick check of the harness

Three parts, each in one run (see bench/README.md):

1. "hnsw" collection of the data set (100,000 x 128, payloads of the "db"
   suite), filled with `upsert_batch` calls of BATCH rows by a child process
   that is then killed (SIGKILL: nothing saved at close): reopen to the first
   answer after the kill, after a normal close, and from the whole log (the
   graph checkpoint moved away: every vector re-inserted, as a log without a
   usable checkpoint costs). Then half the ids deleted (the compaction check
   rewrites the log), TAIL later writes, a normal close and a reopen. Each
   normal reopen is set against `HnswIndex.load` of the same graph plus one
   read of the log file.
2. "flat" collection of FLAT_ROWS x 128 rows filled with `upsert_batch`
   calls of BATCH rows: the last tenth of the rows against the first tenth,
   and the whole ingest against SQLite (`executemany`, WAL, NORMAL) on the
   same rows.
3. a mixed workload of MIXED_WRITES writes into a "flat" collection, half of
   them updates of ids written earlier: the log's size at the end against its
   compacted size (a snapshot's log), and the ingest against SQLite's
   `INSERT OR REPLACE` of the same writes.
"""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np

from . import datasets
from .database import SKIPPED, Sqlite, Target, _fmt_s, _ratio, _release, payload, suite_setup

NAME = "reopen"
DESCRIPTION = ("reopen after writes, kills and compactions against HnswIndex.load plus a log read; "
               "long flat and mixed ingests against SQLite")
DEFAULT_DATASET = "synthetic"
METRIC = "l2"
BATCH = 1_000
TAIL = 20_000
FLAT_ROWS = 1_000_000
MIXED_WRITES = 1_000_000
REPEATS = 3
HNSW_HEADER = 36  # HnswIndex file: dims u64, metric u32, ef_construction, ef_search, m u64

# The child that fills the graph collection and dies without closing it.
FILL_AND_DIE = r"""
import os, signal, sys
import numpy as np
import kovra_vector_db as kv
path, data, batch = sys.argv[1], sys.argv[2], int(sys.argv[3])
base = np.load(data)
col = kv.Client(path).create_collection("docs", base.shape[1], "l2", "hnsw")
for s in range(0, len(base), batch):
    col.upsert_batch([(i, base[i], {"cat": i % 10, "price": ((i * 7919) % 10000) / 100, "tag": f"tag{i % 37}"})
                      for i in range(s, min(s + batch, len(base)))])
print("filled", flush=True)
os.kill(os.getpid(), signal.SIGKILL)
"""


def _reopen_first_answer(kv, path: str, query: np.ndarray):
    """Seconds from Client() to the first search result, and the handles."""
    t = time.perf_counter()
    db = kv.Client(path)
    col = db.get_collection("docs")
    col.search(query, 10)
    return time.perf_counter() - t, db, col


def _read_log(path: str) -> float:
    t = time.perf_counter()
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass
    return time.perf_counter() - t


def _bare_load(kv, graph_file: str, header: bytes, work: pathlib.Path, query: np.ndarray):
    """HnswIndex.load of the collection's graph behind an index header, with
    a first search; the best of REPEATS. Returns (seconds, vectors)."""
    same = str(work / "same_graph.hnsw")
    with open(same, "wb") as out, open(graph_file, "rb") as f:
        out.write(header)
        shutil.copyfileobj(f, out)
    best, n = float("inf"), 0
    for _ in range(REPEATS):
        t = time.perf_counter()
        index = kv.HnswIndex.load(same)
        index.search(query, 10)
        best = min(best, time.perf_counter() - t)
        n = len(index)
        del index
    os.remove(same)
    return best, n


def _normal_reopens(kv, path: str, query: np.ndarray) -> float:
    best = float("inf")
    for _ in range(REPEATS):
        _release()
        secs, db, col = _reopen_first_answer(kv, path, query)
        best = min(best, secs)
        del col, db
        _release()
    return best


def run(args) -> dict:
    setup = suite_setup(args, DEFAULT_DATASET, METRIC)
    if setup is None:
        return SKIPPED
    kv, ds_name, metric = setup
    ds = datasets.load(ds_name, metric)
    small = ds.n < 100_000
    work = pathlib.Path(tempfile.mkdtemp(prefix="kovra_reopen_bench_"))
    fig: dict = {"dataset": ds.name, "n": ds.n, "dim": ds.dim, "batch": BATCH}
    try:
        fig["hnsw"] = _graph_part(kv, ds, work)
        rows = ds.n if small else FLAT_ROWS
        fig["flat"] = _flat_part(kv, ds.dim, rows, work)
        fig["mixed"] = _mixed_part(kv, ds.dim, ds.n if small else MIXED_WRITES, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    targets = _report(fig)
    return {"figures": fig, "targets": [t.as_dict() for t in targets]}


# ------------------------------------------------------------ 1. the graph

def _graph_part(kv, ds, work: pathlib.Path) -> dict:
    out: dict = {}
    path = str(work / "hnsw")
    data = work / "base.npy"
    np.save(data, ds.base)
    query = ds.queries[0]
    print(f"hnsw: a child fills {ds.n} rows in batches of {BATCH}, then is killed ...", flush=True)
    module_dir = os.path.dirname(os.path.dirname(os.path.abspath(kv.__file__)))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([os.path.dirname(os.path.abspath(kv.__file__)),
                                                         module_dir, os.environ.get("PYTHONPATH", "")])}
    t = time.perf_counter()
    proc = subprocess.run([sys.executable, "-c", FILL_AND_DIE, path, str(data), str(BATCH)],
                          capture_output=True, text=True, env=env)
    out["fill_s"] = time.perf_counter() - t
    if proc.returncode != -signal.SIGKILL or "filled" not in proc.stdout:
        raise RuntimeError(f"the filling child failed: {proc.returncode} {proc.stderr[-500:]}")
    coll = os.path.join(path, "docs")
    log = os.path.join(coll, "wal.log")
    graph = os.path.join(coll, "hnsw.graph")
    out["log_bytes_after_fill"] = os.path.getsize(log)
    out["graph_bytes_after_kill"] = os.path.getsize(graph) if os.path.exists(graph) else 0

    # After the kill: the last growth checkpoint, and the log past it re-inserted.
    _release()
    secs, db, col = _reopen_first_answer(kv, path, query)
    assert col.count == ds.n, col.count
    out["reopen_after_kill_s"] = secs
    del col, db  # a normal close: the checkpoint now covers the whole log
    _release()

    # The whole log re-inserted: the checkpoint moved away for one open.
    shutil.move(graph, graph + ".aside")
    secs, db, col = _reopen_first_answer(kv, path, query)
    out["reopen_whole_log_s"] = secs
    del col, db
    _release()
    shutil.move(graph + ".aside", graph)

    header = _index_header(kv, ds.dim)
    out["reopen_closed_s"] = _normal_reopens(kv, path, query)
    out["load_s"], n = _bare_load(kv, graph, header, work, query)
    assert n == ds.n, n
    out["log_read_s"] = min(_read_log(log) for _ in range(REPEATS))
    out["log_bytes"] = os.path.getsize(log)
    out["graph_bytes"] = os.path.getsize(graph)

    # Half the ids deleted: at the compaction check the dead records reach
    # the live vectors and the log is rewritten. Then TAIL later writes.
    print("hnsw: deletes, a compaction, later writes ...", flush=True)
    db = kv.Client(path)
    col = db.get_collection("docs")
    half = ds.n // 2
    before = os.path.getsize(log)
    for i in range(half):
        col.delete(i)
    out["log_bytes_before_compaction"] = before
    out["log_bytes_after_compaction"] = os.path.getsize(log)
    tail = min(TAIL, half)
    for s in range(0, tail, BATCH):
        col.upsert_batch([(i, ds.base[i], payload(i)) for i in range(s, min(s + BATCH, tail))])
    live = col.count
    del col, db
    _release()
    out["compacted_tail_writes"] = tail
    out["compacted_reopen_s"] = _normal_reopens(kv, path, query)
    out["compacted_load_s"], n = _bare_load(kv, graph, header, work, query)
    assert n == live, (n, live)
    out["compacted_log_read_s"] = min(_read_log(log) for _ in range(REPEATS))
    out["compacted_log_bytes"] = os.path.getsize(log)
    return out


def _index_header(kv, dim: int) -> bytes:
    tmp = tempfile.NamedTemporaryFile(delete=False)
    tmp.close()
    kv.HnswIndex(dim, "l2", m=12, ef_construction=200, ef_search=50).save(tmp.name)
    with open(tmp.name, "rb") as f:
        header = f.read(HNSW_HEADER)
    os.remove(tmp.name)
    return header


# -------------------------------------------------------------- 2. flat ingest

def _rows(n: int, dim: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((n, dim), dtype=np.float32)


def _flat_part(kv, dim: int, n: int, work: pathlib.Path) -> dict:
    print(f"flat: {n} x {dim} in batches of {BATCH}, and SQLite ...", flush=True)
    base = _rows(n, dim, 1)
    batches = [[(i, base[i], payload(i)) for i in range(s, min(s + BATCH, n))] for s in range(0, n, BATCH)]
    path = str(work / "flat")
    _release()
    db = kv.Client(path)
    col = db.create_collection("docs", dim, "l2", "flat")
    times = []
    t0 = time.perf_counter()
    for b in batches:
        t = time.perf_counter()
        col.upsert_batch(b)
        times.append(time.perf_counter() - t)
    total = time.perf_counter() - t0
    log_bytes = os.path.getsize(os.path.join(path, "docs", "wal.log"))
    del col, db
    _release()
    shutil.rmtree(path)
    sql = Sqlite(str(work / "flat.sqlite"))
    sqlite_s = sql.ingest(batches)
    os.remove(sql.path)
    tenth = max(len(times) // 10, 1)
    # Medians beside the sums: a batch that grows a store or a hash table
    # geometrically copies it once, wherever that batch falls.
    return {"rows": n, "total_s": total, "sqlite_s": sqlite_s, "first_tenth_s": sum(times[:tenth]),
            "last_tenth_s": sum(times[-tenth:]), "first_tenth_median_s": float(np.median(times[:tenth])),
            "last_tenth_median_s": float(np.median(times[-tenth:])), "slowest_batch_s": max(times),
            "slowest_batch": int(np.argmax(times)), "median_batch_s": float(np.median(times)),
            "log_bytes": log_bytes}


# ------------------------------------------------------------- 3. mixed writes

class _SqliteReplace(Sqlite):
    def ingest(self, batches: list) -> float:
        t = time.perf_counter()
        con = self.connect()
        con.execute("CREATE TABLE docs (id INTEGER PRIMARY KEY, vec BLOB, payload TEXT)")
        for batch in batches:
            rows = [(i, v.tobytes(), json.dumps(p)) for i, v, p in batch]
            with con:
                con.executemany("INSERT OR REPLACE INTO docs VALUES (?, ?, ?)", rows)
        con.close()
        return time.perf_counter() - t


def _mixed_part(kv, dim: int, writes: int, work: pathlib.Path) -> dict:
    print(f"mixed: {writes} writes, half of them updates, and SQLite ...", flush=True)
    rng = np.random.default_rng(2)
    rows = _rows(writes, dim, 3)
    batches, next_id = [], 0
    for s in range(0, writes, BATCH):
        m = min(BATCH, writes - s)
        if next_id == 0:
            ids = np.arange(m)
        else:
            fresh = np.arange(next_id, next_id + m // 2)
            ids = np.concatenate([fresh, rng.integers(0, next_id, m - len(fresh))])
        next_id = max(next_id, int(ids.max()) + 1)
        batches.append([(int(i), rows[s + j], payload(int(i))) for j, i in enumerate(ids)])
    path = str(work / "mixed")
    _release()
    db = kv.Client(path)
    col = db.create_collection("docs", dim, "l2", "flat")
    t = time.perf_counter()
    for b in batches:
        col.upsert_batch(b)
    total = time.perf_counter() - t
    log = os.path.join(path, "docs", "wal.log")
    log_bytes = os.path.getsize(log)
    col.create_snapshot("compacted")  # its log is the compacted log of this state
    compacted = os.path.getsize(os.path.join(path, "docs", "snapshots", "compacted", "wal.log"))
    live = col.count
    del col, db
    _release()
    shutil.rmtree(path)
    sql = _SqliteReplace(str(work / "mixed.sqlite"))
    sqlite_s = sql.ingest(batches)
    os.remove(sql.path)
    return {"writes": writes, "live": live, "total_s": total, "sqlite_s": sqlite_s,
            "log_bytes": log_bytes, "compacted_log_bytes": compacted}


# ------------------------------------------------------------------ report

def _report(fig: dict) -> list:
    h, f, m = fig["hnsw"], fig["flat"], fig["mixed"]
    print(f"\n{fig['dataset']} ({fig['n']} x {fig['dim']}, l2), batches of {fig['batch']}")
    base = h["load_s"] + h["log_read_s"]
    print("\nhnsw collection, reopen to the first answer")
    print(f"  filled by a child in {_fmt_s(h['fill_s'])}; log {h['log_bytes'] / 2**20:.1f} MiB, "
          f"graph {h['graph_bytes'] / 2**20:.1f} MiB")
    print(f"  after the kill (last growth checkpoint + its tail): {_fmt_s(h['reopen_after_kill_s'])}")
    print(f"  from the whole log (no checkpoint):                 {_fmt_s(h['reopen_whole_log_s'])}")
    print(f"  after a normal close:                               {_fmt_s(h['reopen_closed_s'])}   "
          f"HnswIndex.load {_fmt_s(h['load_s'])} + log read {_fmt_s(h['log_read_s'])} = {_fmt_s(base)}"
          f"   ratio {h['reopen_closed_s'] / base:.2f}x")
    cbase = h["compacted_load_s"] + h["compacted_log_read_s"]
    print(f"  deletes of half the ids: log {h['log_bytes_before_compaction'] / 2**20:.1f} MiB -> "
          f"{h['log_bytes_after_compaction'] / 2**20:.1f} MiB (rewritten)")
    print(f"  after the compaction + {h['compacted_tail_writes']} writes, closed: "
          f"{_fmt_s(h['compacted_reopen_s'])}   HnswIndex.load {_fmt_s(h['compacted_load_s'])} + log read "
          f"{_fmt_s(h['compacted_log_read_s'])} = {_fmt_s(cbase)}   ratio {h['compacted_reopen_s'] / cbase:.2f}x")
    print(f"\nflat collection, {f['rows']} rows in batches of {fig['batch']}")
    print(f"  first tenth {_fmt_s(f['first_tenth_s'])}, last tenth {_fmt_s(f['last_tenth_s'])} "
          f"({f['last_tenth_s'] / f['first_tenth_s']:.2f}x); their median batches "
          f"{_fmt_s(f['first_tenth_median_s'])} and {_fmt_s(f['last_tenth_median_s'])} "
          f"({f['last_tenth_median_s'] / f['first_tenth_median_s']:.2f}x)")
    print(f"  median batch {_fmt_s(f['median_batch_s'])}, slowest {_fmt_s(f['slowest_batch_s'])} "
          f"(batch {f['slowest_batch']}); log {f['log_bytes'] / 2**20:.0f} MiB, never rewritten")
    print(f"  total {_fmt_s(f['total_s'])}, SQLite {_fmt_s(f['sqlite_s'])} "
          f"({f['sqlite_s'] / f['total_s']:.2f}x)")
    print(f"\nmixed workload, {m['writes']} writes (half updates), {m['live']} live at the end")
    print(f"  log {m['log_bytes'] / 2**20:.0f} MiB, compacted {m['compacted_log_bytes'] / 2**20:.0f} MiB "
          f"({m['log_bytes'] / m['compacted_log_bytes']:.2f}x)")
    print(f"  total {_fmt_s(m['total_s'])}, SQLite INSERT OR REPLACE {_fmt_s(m['sqlite_s'])} "
          f"({m['sqlite_s'] / m['total_s']:.2f}x)")
    t = [
        Target("hnsw reopen after 100,000 writes, closed: collection / (HnswIndex.load + log read)",
               _ratio(h["reopen_closed_s"], base), 2.0, at_most=True, suite=NAME),
        Target("hnsw reopen after a compaction + later writes, closed: collection / (load + log read)",
               _ratio(h["compacted_reopen_s"], cbase), 2.0, at_most=True, suite=NAME),
        Target("hnsw reopen after SIGKILL / reopen from the whole log",
               _ratio(h["reopen_after_kill_s"], h["reopen_whole_log_s"]), 1.0, at_most=True, suite=NAME),
        Target("flat ingest: last tenth / first tenth", _ratio(f["last_tenth_s"], f["first_tenth_s"]), 1.3,
               at_most=True, suite=NAME),
        Target("flat ingest: median batch of the last tenth / of the first tenth",
               _ratio(f["last_tenth_median_s"], f["first_tenth_median_s"]), 1.3, at_most=True, suite=NAME),
        Target("flat ingest: SQLite time / collection time", _ratio(f["sqlite_s"], f["total_s"]), 1.0, suite=NAME),
        Target("mixed writes: log size / compacted size", _ratio(m["log_bytes"], m["compacted_log_bytes"]), 3.0,
               at_most=True, suite=NAME),
        Target("mixed writes: SQLite time / collection time", _ratio(m["sqlite_s"], m["total_s"]), 1.0,
               suite=NAME),
    ]
    print(f"\ntargets of suite {NAME}:")
    for x in t:
        print(x.line())
    return t
