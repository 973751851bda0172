"""The "filter" suite: filtered search of "flat" and "hnsw" collections at
falling selectivity, against the NumPy answer a user would write and LanceDB's
prefiltered search, in one run.

    python3 -m bench filter
    python3 -m bench filter --dataset synthetic-small    # a quick check of the harness

Every row i of the data set (metric l2) gets the payload {"r": r_i}, r_i drawn
uniformly from 0..999 (fixed seed), and the filter {"r": {"$lt": b}} selects
b / 1000 of the rows. For each selectivity and collection type it reports the
results returned per query (of k), recall against the exact filtered answer
(a row as close as the k-th true match counts), and single-query QPS against

- NumPy: r held as a NumPy column; per query the mask r < b, a scan of the
  masked rows (norms computed once) and argpartition, results with payloads;
- LanceDB 0.31 with its default prefiltering, by an exact scan (against
  "flat") and through its IVF_HNSW_SQ index (against "hnsw").

It also times the unfiltered search of both collections, the ingest (batches
of 1,000 with payloads) and the reopen, and the memory the payload table holds
once the filters have run (resident memory before and after the first
filtered search).
"""

from __future__ import annotations

import gc
import json
import pathlib
import shutil
import subprocess
import tempfile
import time

import numpy as np

from . import datasets
from .database import (BENCH_DIR, LANCE_SCRIPT, SKIPPED, Target, _fmt_x, _ratio, filtered_recall,
                       filtered_truth, numpy_scan, suite_setup, time_searches)

NAME = "filter"
DESCRIPTION = ("filtered search of \"flat\" and \"hnsw\" collections at 50 % to 0.1 % selectivity "
               "against NumPy and LanceDB")
DEFAULT_DATASET = "synthetic"
METRIC = "l2"
BATCH = 1_000
BOUNDS = (500, 100, 10, 1)   # r < b: 50 %, 10 %, 1 %, 0.1 %
SEED = 20261208
LANCE_QUERIES = {"exact_queries": 50, "index_queries": 200}


def _rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def run_lancedb(ds, r: np.ndarray, work: pathlib.Path, k: int, nq: int) -> dict:
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
    r_file = work / "lance_r.bin"
    r.astype("<u2").tofile(r_file)
    table_dir = work / "lancedb"
    table_dir.mkdir()
    opts = dict(mode="filter", r_file=str(r_file), bounds=list(BOUNDS), batch=BATCH, k=k,
                exact_queries=min(LANCE_QUERIES["exact_queries"], nq),
                index_queries=min(LANCE_QUERIES["index_queries"], nq))
    proc = subprocess.run([node, str(LANCE_SCRIPT), str(data), str(table_dir), json.dumps(opts)],
                          capture_output=True, text=True, cwd=BENCH_DIR, timeout=3600)
    if proc.returncode != 0:
        return {"status": f"failed: {proc.stderr.strip()[-500:]}"}
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    out["status"] = "ok"
    return out


def run(args) -> dict:
    setup = suite_setup(args, DEFAULT_DATASET, METRIC)
    if setup is None:
        return SKIPPED
    kv, ds_name, metric = setup
    k = args.k
    ds = datasets.load(ds_name, metric)
    n = ds.n
    nq = min(args.queries, len(ds.queries), 300)
    print(f"{ds.describe()}; payload r uniform over 0..999, k={k}, {nq} single queries")
    r = np.random.default_rng(SEED).integers(0, 1000, size=n)
    payloads = [{"r": int(x)} for x in r]
    queries = ds.queries[:nq]
    work = pathlib.Path(tempfile.mkdtemp(prefix="kovra_filter_bench_"))
    fig: dict = {"dataset": ds.name, "n": n, "dim": ds.dim, "k": k, "queries": nq}
    try:
        return _run(kv, args, ds, r, payloads, queries, k, nq, work, fig)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def _run(kv, args, ds, r, payloads, queries, k, nq, work, fig):
    n = ds.n
    entries = [(i, ds.base[i], payloads[i]) for i in range(n)]
    batches = [entries[s:s + BATCH] for s in range(0, n, BATCH)]
    cols = {}
    for kind in ("flat", "hnsw"):
        path = str(work / kind)
        gc.collect()
        t = time.perf_counter()
        col = kv.Client(path).create_collection("c", ds.dim, metric="l2", index_type=kind)
        for b in batches:
            col.upsert_batch(b)
        fig[f"{kind}_ingest_s"] = time.perf_counter() - t
        del col
        gc.collect()
        t = time.perf_counter()
        col = kv.Client(path).get_collection("c")
        col.search(queries[0], k)
        fig[f"{kind}_reopen_s"] = time.perf_counter() - t
        cols[kind] = col
        print(f"  {kind}: ingest {fig[f'{kind}_ingest_s']:.2f} s, reopen to first answer "
              f"{fig[f'{kind}_reopen_s']:.2f} s")

    # Unfiltered, for the record of what filtering costs beside it.
    runners = [{"name": kind, "fn": (lambda q, c=c: c.search(q, k))} for kind, c in cols.items()]
    time_searches(runners, queries, args.passes, args.budget)
    fig["unfiltered_qps"] = {r_["name"]: r_["qps"] for r_ in runners}
    fig["unfiltered_recall"] = {r_["name"]: datasets.recall_at_k(
        ds, [[h["id"] for h in res] for res in r_["results"]], k) for r_ in runners}

    rss_before = _rss()
    fig["rows"] = []
    for b in BOUNDS:
        flt = {"r": {"$lt": b}}
        mask = r < b
        kth = filtered_truth(ds, mask, k, nq)
        runners = [{"name": kind, "fn": (lambda q, c=c, flt=flt: c.search(q, k, flt))}
                   for kind, c in cols.items()]
        scan = numpy_scan(np.arange(n), ds.base, payloads, k, mask_of=lambda q, b=b: r < b)
        runners.append({"name": "numpy", "fn": scan})
        time_searches(runners, queries, args.passes, args.budget)
        row = {"selectivity": b / 1000, "matches": int(mask.sum())}
        for rn in runners:
            ids = [[h["id"] for h in res] for res in rn["results"]]
            row[rn["name"]] = {"qps": rn["qps"], "returned": float(np.mean([len(x) for x in ids])),
                               "recall": filtered_recall(ds, mask, kth, ids, k)}
        fig["rows"].append(row)
        print(f"  r < {b} ({row['matches']} matches): "
              + ", ".join(f"{name} {row[name]['qps']:.0f} QPS, {row[name]['returned']:.1f} of {k}, "
                          f"recall {row[name]['recall']:.3f}" for name in ("flat", "hnsw", "numpy")))
    fig["payload_table_bytes_per_vector"] = max(0, _rss() - rss_before) / n / 2  # two collections

    lance = run_lancedb(ds, r, work, k, nq)
    fig["lancedb"] = lance
    if lance["status"] != "ok":
        print(f"  LanceDB: {lance['status']}")
    print()
    for line in _report(fig):
        print(line)
    targets = _targets(fig)
    print(f"\ntargets of suite {NAME}:")
    for t in targets:
        print(t.line())
    return {"figures": fig, "targets": [t.as_dict() for t in targets]}


def _targets(fig) -> list:
    out = []
    lance = fig.get("lancedb", {})
    for row in fig["rows"]:
        s = f"{row['selectivity'] * 100:g} %"
        for kind in ("flat", "hnsw"):
            mine = row[kind]
            out.append(Target(f"{kind} {s}: recall", mine["recall"], 1.0 if kind == "flat" else 0.95,
                              condition=f"{mine['returned']:.1f} of {fig['k']} returned",
                              cond_ok=mine["returned"] >= fig["k"] - 1e-9, suite=NAME))
            out.append(Target(f"{kind} {s}: QPS vs NumPy", _ratio(mine["qps"], row["numpy"]["qps"]), 1.0,
                              suite=NAME))
            if lance.get("status") == "ok":
                peer = lance["exact" if kind == "flat" else "indexed"][str(int(row["selectivity"] * 1000))]
                out.append(Target(f"{kind} {s}: QPS vs LanceDB prefiltered", _ratio(mine["qps"], peer["qps"]),
                                  10.0, suite=NAME))
    return out


def _report(fig) -> list:
    lines = [f"unfiltered QPS: " + ", ".join(f"{k} {v:.0f} (recall {fig['unfiltered_recall'][k]:.3f})"
                                             for k, v in fig["unfiltered_qps"].items()),
             f"ingest: flat {fig['flat_ingest_s']:.2f} s, hnsw {fig['hnsw_ingest_s']:.2f} s; reopen to "
             f"first answer: flat {fig['flat_reopen_s']:.2f} s, hnsw {fig['hnsw_reopen_s']:.2f} s",
             f"payload table after the filters: about {fig['payload_table_bytes_per_vector']:.0f} bytes "
             f"per vector (resident memory)"]
    lance = fig.get("lancedb", {})
    lines.append(f"{'selectivity':>11} {'runner':>8} {'QPS':>9} {'returned':>9} {'recall':>7} "
                 f"{'vs NumPy':>9} {'vs LanceDB':>11}")
    for row in fig["rows"]:
        b = str(int(row["selectivity"] * 1000))
        for name in ("flat", "hnsw", "numpy"):
            m = row[name]
            vs_np = _fmt_x(_ratio(m["qps"], row["numpy"]["qps"])) if name != "numpy" else ""
            vs_lance = ""
            if name != "numpy" and lance.get("status") == "ok":
                peer = lance["exact" if name == "flat" else "indexed"][b]
                vs_lance = f"{_fmt_x(_ratio(m['qps'], peer['qps']))} ({peer['qps']:.0f})"
            lines.append(f"{row['selectivity'] * 100:>10g}% {name:>8} {m['qps']:>9.0f} {m['returned']:>9.1f} "
                         f"{m['recall']:>7.3f} {vs_np:>9} {vs_lance:>11}")
    if lance.get("status") != "ok":
        lines.append(f"LanceDB: {lance.get('status')}")
    return lines
