"""The "memory" suite: resident memory per stored vector, every index class.

    python3 -m bench memory
    python3 -m bench memory --dataset synthetic-small     # a quick check

Each class runs in a fresh process: the data set is loaded first, then the
resident set size (RSS, /proc/self/statm) is read before and after the index
is filled, and the difference is divided by the number of vectors. The
figure is what the index costs the process, allocator overhead and spare
capacity included. `add_batch_np` fills every class (ids 0 to n - 1) except
the "HnswIndex (random ids)" row, whose ids are drawn at random from the
whole 64-bit range and added with `add`, one row at a time; hnswlib (M 12,
ef_construction 200) is measured the same way beside it. IvfPqIndex uses 256
lists, m 16 and 8-bit codes; the graphs m 12 and ef_construction 200. The
two random-id graphs are then saved and loaded again (best of three), which
times `HnswIndex.load` against hnswlib's `load_index`.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys

import numpy as np

from . import datasets
from .database import SKIPPED, Target, suite_setup

NAME = "memory"
DESCRIPTION = "resident memory per vector of every index class, each in a fresh process"
DEFAULT_DATASET = "synthetic"
METRIC = "l2"

# (row label, bytes per vector the class must stay within, or None to report only)
ROWS = (
    ("FlatIndex", 540),
    ("QuantizedFlatIndex", 160),
    ("Fp16FlatIndex", 290),
    ("BinaryFlatIndex", 40),
    ("IvfIndex", None),
    ("IvfPqIndex", 40),
    ("HnswIndex", None),
    ("HnswIndex (random ids)", 640),
    ("hnswlib (random ids)", None),
)


def _rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _measure(label: str, ds_name: str) -> dict:
    """Runs in the child: fills one index and returns its bytes per vector."""
    import gc

    base = np.ascontiguousarray(datasets.load(ds_name, METRIC).base)
    n, dim = base.shape
    ids = None
    if "random ids" in label:
        ids = np.random.default_rng(5).integers(0, 2**64 - 1, n, dtype=np.uint64, endpoint=True)
        id_list = [int(i) for i in ids]  # made before the first reading
    if label.startswith("hnswlib"):
        import hnswlib
        gc.collect()
        before = _rss()
        index = hnswlib.Index(space="l2", dim=dim)
        index.init_index(max_elements=n, M=12, ef_construction=200)
        for start in range(0, n, 1000):
            index.add_items(base[start:start + 1000], ids[start:start + 1000], num_threads=1)
    else:
        import kovra_vector_db as kv
        cls = label.split()[0]
        gc.collect()
        before = _rss()
        if cls == "IvfIndex":
            index = kv.IvfIndex(dim, METRIC, n_lists=256, train_size=4096)
        elif cls == "IvfPqIndex":
            index = kv.IvfPqIndex(dim, METRIC, n_lists=256, train_size=4096, pq_m=16)
        elif cls == "HnswIndex":
            index = kv.HnswIndex(dim, METRIC, m=12, ef_construction=200)
        else:
            index = getattr(kv, cls)(dim, METRIC)
        if ids is None:
            index.add_batch_np(base, start_id=0)
        else:
            for i in range(n):
                index.add(id_list[i], base[i])
        if hasattr(index, "flush"):
            index.flush()
    gc.collect()
    after = _rss()
    count = index.get_current_count() if label.startswith("hnswlib") else len(index)
    out = {"label": label, "n": n, "bytes_per_vector": (after - before) / n, "count": count}
    if "random ids" in label:
        out["load_s"] = _graph_load_seconds(index, label.startswith("hnswlib"), dim)
    return out


def _graph_load_seconds(index, is_hnswlib: bool, dim: int) -> float:
    """Best of three loads of the graph just filled, saved to a file first
    (HnswIndex.load against hnswlib's load_index of a graph of the same
    rows, m and ef_construction)."""
    import tempfile
    import time

    path = tempfile.mktemp(prefix="kovra_memory_graph_")
    best = float("inf")
    try:
        if is_hnswlib:
            import hnswlib
            index.save_index(path)
        else:
            import kovra_vector_db as kv
            index.save(path)
        for _ in range(3):
            t = time.perf_counter()
            if is_hnswlib:
                loaded = hnswlib.Index(space="l2", dim=dim)
                loaded.load_index(path)
            else:
                loaded = kv.HnswIndex.load(path)
            best = min(best, time.perf_counter() - t)
            del loaded
    finally:
        if os.path.exists(path):
            os.remove(path)
    return best


def run(args) -> dict:
    setup = suite_setup(args, DEFAULT_DATASET, METRIC)
    if setup is None:
        return SKIPPED
    kv, ds_name, _ = setup
    datasets.load(ds_name, METRIC)  # generated once, before the children read it
    module_dir = os.path.dirname(os.path.dirname(os.path.abspath(kv.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(kv.__file__), module_dir,
                                         env.get("PYTHONPATH", "")])
    figures, targets, loads = {}, [], {}
    print(f"\n  {'index':<26} {'bytes / vector':>15}")
    for label, limit in ROWS:
        code = ("import json, sys; from bench import memory; "
                f"print(json.dumps(memory._measure({label!r}, {ds_name!r})))")
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                              cwd=str(memory_repo()))
        if proc.returncode != 0:
            print(f"  {label:<26} failed: {proc.stderr.strip().splitlines()[-1:]}")
            figures[label] = None
            continue
        result = json.loads(proc.stdout.strip().splitlines()[-1])
        per = result["bytes_per_vector"]
        figures[label] = per
        if "load_s" in result:
            loads[label] = result["load_s"]
        print(f"  {label:<26} {per:>15.1f}")
        if limit is not None:
            # A ratio against the limit: at most 1.0x means within it.
            targets.append(Target(f"{label} bytes per vector / {limit}", per / limit, 1.0, at_most=True,
                                  suite=NAME))
    ours, theirs = loads.get("HnswIndex (random ids)"), loads.get("hnswlib (random ids)")
    if ours and theirs:
        figures["graph_load_s"] = {"HnswIndex.load": ours, "hnswlib load_index": theirs}
        print(f"\n  graph load, the random-id graphs saved and loaded again: HnswIndex.load {ours * 1e3:.1f} ms,"
              f" hnswlib load_index {theirs * 1e3:.1f} ms")
        targets.append(Target("graph load: hnswlib load_index time / HnswIndex.load time", theirs / ours, 1.0,
                              suite=NAME))
    print(f"\ntargets of suite {NAME}:")
    for x in targets:
        print(x.line())
    return {"figures": figures, "targets": [x.as_dict() for x in targets]}


def memory_repo():
    import pathlib
    return pathlib.Path(__file__).resolve().parent.parent
