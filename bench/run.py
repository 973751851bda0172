"""Runs benchmark suites and prints the side-by-side report.

    python3 -m bench                 # the "flat" suite
    python3 -m bench hnsw ivf        # other suites
    python3 -m bench db              # collections against SQLite and LanceDB
    python3 -m bench hybrid          # hybrid search and snapshots of a collection
    python3 -m bench batch           # batch search, cosine scans, parallel builds
    python3 -m bench growth          # batch adds as an index grows
    python3 -m bench reopen          # reopen, long ingests and compaction of collections
    python3 -m bench memory          # resident memory per vector, every index class
    python3 -m bench concurrency     # threads searching and upserting one collection
    python3 -m bench distributed     # a sharded collection on a local Dask cluster
    python3 -m bench --list          # suites and data sets
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import time

REPO = pathlib.Path(__file__).resolve().parent.parent

if __package__ in (None, ""):  # run as a script: make `bench` importable
    sys.path.insert(0, str(REPO))

# Peers use one thread unless asked otherwise: this module's scan is
# single-threaded, and BLAS must be limited before NumPy loads it.
_threads = "1"
for i, a in enumerate(sys.argv):
    if a.startswith("--threads="):
        _threads = a.split("=", 1)[1]
    elif a == "--threads" and i + 1 < len(sys.argv):
        _threads = sys.argv[i + 1]
for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, _threads)

import numpy as np  # noqa: E402

from bench import (batch, concurrency, database, datasets, distributed, filter, growth, hybrid,  # noqa: E402
                   memory, peers, reopen, report)

# Suites with a runner and figures of their own, by name.
MODULE_SUITES = {m.NAME: m for m in (database, filter, hybrid, batch, growth, reopen, memory, concurrency,
                                     distributed)}


def read_bandwidth(build_dir: pathlib.Path, nbytes: int = 512 << 20) -> dict:
    """Single-thread sequential read bandwidth over `nbytes`, in GB/s (1e9 B/s).

    The default 512 MiB is far beyond any cache: memory bandwidth. Given the
    size of a data set, it is the rate a scan over that working set can reach.
    """
    exe = build_dir / "read_bandwidth"
    if exe.exists():
        out = subprocess.run([str(exe), str(nbytes)], check=True, capture_output=True,
                             text=True).stdout.split()
        return {"gb_per_s": float(out[0]), "bytes": int(out[1]), "passes": int(out[2]),
                "source": "read_bandwidth (AVX2 loads, best pass)"}
    # Without the probe, a NumPy reduction is a rougher (lower) estimate.
    x = np.ones(max(nbytes // 4, 64), dtype=np.float32)
    passes = int(min(max((4 << 30) // nbytes, 5), 2000))
    best = float("inf")
    for _ in range(passes):
        t = time.perf_counter()
        np.add.reduce(x)
        best = min(best, time.perf_counter() - t)
    return {"gb_per_s": x.nbytes / best / 1e9, "bytes": x.nbytes, "passes": passes,
            "source": "numpy add.reduce (probe not built)"}


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="python3 -m bench", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("suites", nargs="*", default=["flat"], help="suite names (default: flat)")
    p.add_argument("--list", action="store_true", help="list suites and data sets")
    p.add_argument("--dataset", action="append",
                   help="run only these data sets (name or name:metric; repeatable)")
    p.add_argument("-k", type=int, default=10)
    p.add_argument("--queries", type=int, default=1000, help="queries timed per configuration")
    p.add_argument("--passes", type=int, default=3,
                   help="passes over the queries; the best is kept")
    p.add_argument("--budget", type=float, default=10.0,
                   help="seconds of passes per runner after which it makes no more")
    p.add_argument("--threads", type=int, default=1, help="threads the peers may use")
    p.add_argument("--build-dir", type=pathlib.Path, default=REPO / "build",
                   help="CMake build directory (module in <dir>/python, read_bandwidth)")
    p.add_argument("--no-json", action="store_true", help="do not write bench/results/*.json")
    args = p.parse_args(argv)

    if args.list:
        for s in peers.SUITES.values():
            configs = ", ".join(f"{d}:{m}" for d, m in s.configs)
            print(f"{s.name:<10} {s.description}\n{'':<10} data: {configs}")
        for m in MODULE_SUITES.values():
            print(f"{m.NAME:<10} {m.DESCRIPTION}\n{'':<10} data: {m.DEFAULT_DATASET}:{m.METRIC}")
        print("data sets:", ", ".join(datasets.DATASETS), "| metrics:", ", ".join(datasets.METRICS))
        return 0
    # "ivf" stands for every inverted-file suite, in order.
    args.suites = [n for s in args.suites for n in (peers.IVF_SUITES if s == "ivf" else [s])]
    known = [*peers.SUITES, *MODULE_SUITES]
    unknown = [s for s in args.suites if s not in known]
    if unknown:
        p.error(f"unknown suite {', '.join(unknown)}; known: {', '.join(known)}")

    module_dir = args.build_dir / "python"
    if module_dir.is_dir():
        sys.path.insert(0, str(module_dir))
    try:
        import faiss
        faiss.omp_set_num_threads(args.threads)
    except ImportError:
        pass

    bw = read_bandwidth(args.build_dir)
    print(f"single-thread read bandwidth: {bw['gb_per_s']:.1f} GB/s ({bw['source']})")
    try:
        import kovra_vector_db as kv
        print(f"kovra_vector_db: {kv.__file__}")
    except ImportError as e:
        print(f"kovra_vector_db not importable ({e}); running the peers only")

    all_results, targets, extra = [], [], {}
    for name in args.suites:
        if name in MODULE_SUITES:
            module = MODULE_SUITES[name]
            print(f"\n=== suite {name}: {module.DESCRIPTION}")
            out = module.run(args)
            extra[name] = out["figures"]
            targets += out["targets"]
            continue
        suite = peers.SUITES[name]
        print(f"\n=== suite {name}: {suite.description}")
        suite_results = []
        for ds_name, metric in _configs(suite, args.dataset):
            ds = datasets.load(ds_name, metric)
            # The machine may be shared: probe the bandwidth before and after the
            # searches it bounds and keep the best probe, as the searches keep
            # their best passes.
            gbs = max(bw["gb_per_s"], read_bandwidth(args.build_dir)["gb_per_s"])
            ws_gbs = read_bandwidth(args.build_dir, ds.base.nbytes)["gb_per_s"]
            results = peers.measure(suite.runners(), ds, args.k, args.queries, args.passes,
                                    args.budget)
            gbs = max(gbs, read_bandwidth(args.build_dir)["gb_per_s"])
            ws_gbs = max(ws_gbs, read_bandwidth(args.build_dir, ds.base.nbytes)["gb_per_s"])
            for r in results:
                r.bandwidth_gbs, r.working_set_gbs = gbs, ws_gbs
            report.print_config(ds, args.k, args.queries, results, gbs, ws_gbs)
            suite_results += results
        if suite.targets and args.k == 10:
            print(f"\ntargets of suite {name} (ratios > 1 favour the first runner):")
            targets += report.print_targets(suite, suite_results)
        all_results += suite_results

    if not args.no_json:
        path = report.write_json(args.suites, bw, {k: str(v) for k, v in vars(args).items()},
                                 all_results, targets, extra)
        print(f"\nresults: {path.relative_to(REPO)}")
    return 0


def _configs(suite, wanted):
    if not wanted:
        return suite.configs
    out = []
    for w in wanted:
        name, _, metric = w.partition(":")
        out += [(d, m) for d, m in suite.configs if d == name and (not metric or m == metric)]
        if metric and (name, metric) not in suite.configs:
            out.append((name, metric))
    return list(dict.fromkeys(out))


if __name__ == "__main__":
    raise SystemExit(main())
