"""The "growth" suite: does a batch add cost what its own rows cost, whatever
the index already holds?

    python3 -m bench growth
    python3 -m bench growth --dataset synthetic-small     # a quick check

For every index class and both batch methods (`add_batch` of (id, vector)
tuples and `add_batch_np` of an array), and for a flat and an "hnsw"
collection's `upsert_batch`, the base vectors go in in calls of CALL rows;
the figure is the mean time of the last ten calls over the mean of calls 6 to
15. A store that reserved exactly what each call needs would copy itself on
every call and the ratio would grow with the count; geometric growth keeps it
near 1. HNSW's insert cost grows with the graph (a deeper search per row), so
its ratio is reported but not held to the target.
"""

from __future__ import annotations

import ctypes
import gc
import pathlib
import shutil
import tempfile
import time

import numpy as np

from . import datasets
from .database import SKIPPED, Target, suite_setup

NAME = "growth"
DESCRIPTION = "cost of the last batch adds against the early ones, every index class and collections"
DEFAULT_DATASET = "synthetic"
METRIC = "l2"
CALL = 1_000
LIMIT = 1.5
CLASSES = ("FlatIndex", "QuantizedFlatIndex", "Fp16FlatIndex", "BinaryFlatIndex", "MmapFlatIndex",
           "IvfIndex", "IvfPqIndex", "HnswIndex")


def _fresh_heap():
    """Frees what the previous runner left and hands it back to the system, so
    that every runner starts on fresh pages: memory another index freed would
    make a runner's first calls cheaper than its last ones."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def _times(add, base: np.ndarray) -> list:
    _fresh_heap()
    out = []
    for start in range(0, len(base), CALL):
        t = time.perf_counter()
        add(start, base[start:start + CALL])
        out.append(time.perf_counter() - t)
    return out


def _ratio(times: list) -> float:
    early = np.mean(times[5:15])
    return float(np.mean(times[-10:]) / early) if early > 0 else float("nan")


def run(args) -> dict:
    setup = suite_setup(args, DEFAULT_DATASET, METRIC)
    if setup is None:
        return SKIPPED
    kv, ds_name, _ = setup
    base = datasets.load(ds_name, METRIC).base
    # The base twice over (under new ids): 200,000 rows from the default set.
    base = np.ascontiguousarray(np.concatenate([base, base]))
    print(f"{ds_name} twice: {base.shape[0]} x {base.shape[1]} added in calls of {CALL}")
    work = pathlib.Path(tempfile.mkdtemp(prefix="kovra_growth_bench_"))
    figures, targets = {}, []
    try:
        for cls in CLASSES:
            for method in ("add_batch", "add_batch_np"):
                index = _make(kv, cls, base.shape[1], work / f"{cls}-{method}.kvec")
                if method == "add_batch":
                    def add(start, rows, i=index):
                        i.add_batch([(start + r, rows[r]) for r in range(len(rows))])
                else:
                    def add(start, rows, i=index):
                        i.add_batch_np(rows, start_id=start)
                figures[f"{cls}.{method}"] = _times(add, base)
                del index
        for index_type in ("flat", "hnsw"):
            client = kv.Client(str(work / f"db-{index_type}"))
            col = client.create_collection("c", base.shape[1], "l2", index_type)

            def upsert(start, rows, c=col):
                c.upsert_batch([(start + r, rows[r]) for r in range(len(rows))])
            figures[f"Collection({index_type}).upsert_batch"] = _times(upsert, base)
            del col, client
    finally:
        shutil.rmtree(work, ignore_errors=True)

    # Medians beside the means: one call of the last ten may carry a whole
    # rehash or, in a collection, a compaction of the log (every
    # wal_compact_threshold writes, by design proportional to the size).
    print(f"\n  {'batch method':<40} {'calls 6-15':>11} {'last 10':>10} {'ratio':>7} {'median ratio':>13}")
    for label, times in figures.items():
        r = _ratio(times)
        med = float(np.median(times[-10:]) / np.median(times[5:15]))
        print(f"  {label:<40} {np.mean(times[5:15]) * 1e3:>8.2f} ms {np.mean(times[-10:]) * 1e3:>7.2f} ms "
              f"{r:>6.2f}x {med:>12.2f}x")
        if "Hnsw" in label or "hnsw" in label:
            continue
        if label.startswith("Collection"):
            # A compaction among the last ten calls rewrites the whole log by
            # design; the median shows what an ordinary write costs.
            targets.append(Target(f"{label}: median of the last ten calls / of calls 6 to 15", med, LIMIT,
                                  at_most=True, suite=NAME))
        else:
            targets.append(Target(f"{label}: last ten calls / calls 6 to 15", r, LIMIT, at_most=True,
                                  suite=NAME))
    print(f"\ntargets of suite {NAME} (HNSW reported only):")
    for x in targets:
        print(x.line())
    return {"figures": {k: [float(t) for t in v] for k, v in figures.items()},
            "targets": [x.as_dict() for x in targets]}


def _make(kv, cls, dim, path):
    if cls == "MmapFlatIndex":
        return kv.MmapFlatIndex(dim, "l2", str(path))
    if cls == "IvfIndex":
        return kv.IvfIndex(dim, "l2", n_lists=256, train_size=4096)
    if cls == "IvfPqIndex":
        return kv.IvfPqIndex(dim, "l2", n_lists=256, train_size=4096, pq_m=16)
    return getattr(kv, cls)(dim, "l2")
