"""HnswIndex against hnswlib and FAISS IndexHNSWFlat on one data set.

    /usr/bin/python3 -m bench.hnsw_sweep [--build-dir build] [--dataset synthetic]
                                         [--only kovra,hnswlib,...]

All three are built with the same M and ef_construction. For each the report
gives the build time (one thread, and two threads: `add_batch_parallel` here,
`num_threads` in hnswlib, OpenMP threads in FAISS), the memory the index added
to the process per vector, and recall@10 with single-query QPS from Python at
each ef_search. Every build runs in a fresh process, so that memory freed by
an earlier index does not hide the next one's. A last section deletes half of
this module's index and measures what the deletion, which does not reconnect
the deleted nodes' neighbours, costs in recall.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import subprocess
import sys
import time

import numpy as np

M, EF_CONSTRUCTION = 12, 200
EF_SEARCH = (10, 20, 50, 100, 200)
RUNS = ("kovra", "kovra-2t", "hnswlib", "hnswlib-2t", "faiss", "faiss-2t", "delete")


def _rss() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS"):
                return int(line.split()[1]) * 1024
    return 0


def _interpolate(curve, recall):
    """QPS on a (recall, qps) curve at `recall`, linear between measured points."""
    pts = sorted(curve)
    for (r0, q0), (r1, q1) in zip(pts, pts[1:]):
        if r0 <= recall <= r1:
            return q0 if r1 == r0 else q0 + (q1 - q0) * (recall - r0) / (r1 - r0)
    return None


class Kovra:
    def __init__(self, threads):
        import kovra_vector_db as kv
        self.kv, self.threads = kv, threads

    def build(self, base):
        self.index = self.kv.HnswIndex(base.shape[1], "l2", ef_construction=EF_CONSTRUCTION, m=M)
        if self.threads == 1:
            self.index.add_batch_np(base)
        else:
            self.index.add_batch_parallel(base, num_threads=self.threads)

    def set_ef(self, ef):
        # ef_search is a constructor setting; the index file carries it, so a
        # saved copy with another value is loaded (header field at byte 20).
        path = pathlib.Path("/tmp") / f"kovra_hnsw_sweep_{id(self)}.bin"
        self.index.save(str(path))
        with open(path, "r+b") as f:
            f.seek(20)
            f.write(int(ef).to_bytes(8, "little"))
        self.index = self.kv.HnswIndex.load(str(path))
        path.unlink()

    def prepare(self, queries):
        return [queries[i] for i in range(len(queries))]

    def searcher(self):
        search = self.index.search
        return lambda q: [h["id"] for h in search(q, 10)]


class Hnswlib:
    def __init__(self, threads):
        import hnswlib
        self.hnswlib, self.threads = hnswlib, threads

    def build(self, base):
        self.index = self.hnswlib.Index(space="l2", dim=base.shape[1])
        self.index.init_index(max_elements=base.shape[0], M=M, ef_construction=EF_CONSTRUCTION,
                              random_seed=100)
        self.index.set_num_threads(self.threads)
        self.index.add_items(base, np.arange(base.shape[0]))
        self.index.set_num_threads(1)

    def set_ef(self, ef):
        self.index.set_ef(ef)

    def prepare(self, queries):
        return [queries[i:i + 1] for i in range(len(queries))]

    def searcher(self):
        query = self.index.knn_query
        return lambda q: query(q, k=10)[0][0]


class Faiss:
    def __init__(self, threads):
        import faiss
        self.faiss, self.threads = faiss, threads

    def build(self, base):
        self.faiss.omp_set_num_threads(self.threads)
        self.index = self.faiss.IndexHNSWFlat(base.shape[1], M)
        self.index.hnsw.efConstruction = EF_CONSTRUCTION
        self.index.add(base)
        self.faiss.omp_set_num_threads(1)

    def set_ef(self, ef):
        self.index.hnsw.efSearch = ef

    def prepare(self, queries):
        return [queries[i:i + 1] for i in range(len(queries))]

    def searcher(self):
        search = self.index.search
        return lambda q: search(q, 10)[1][0]


RUNNERS = {
    "kovra": ("kovra HnswIndex", lambda: Kovra(1)),
    "kovra-2t": ("kovra HnswIndex add_batch_parallel 2 threads", lambda: Kovra(2)),
    "hnswlib": ("hnswlib HNSW", lambda: Hnswlib(1)),
    "hnswlib-2t": ("hnswlib HNSW 2 threads", lambda: Hnswlib(2)),
    "faiss": ("faiss IndexHNSWFlat", lambda: Faiss(1)),
    "faiss-2t": ("faiss IndexHNSWFlat 2 threads", lambda: Faiss(2)),
}


def run_one(name, ds, passes):
    from .datasets import recall_at_k
    label, make = RUNNERS[name]
    runner = make()
    before = _rss()
    t = time.perf_counter()
    runner.build(ds.base)
    build_s = time.perf_counter() - t
    memory = (_rss() - before) / ds.n
    queries = runner.prepare(ds.queries)
    curve = []
    for ef in EF_SEARCH:
        runner.set_ef(ef)
        search = runner.searcher()
        for q in queries[:20]:
            search(q)
        best, found = float("inf"), None
        for _ in range(passes):
            t = time.perf_counter()
            out = [search(q) for q in queries]
            best = min(best, time.perf_counter() - t)
            found = found or out
        curve.append({"ef": ef, "recall": recall_at_k(ds, [list(map(int, r)) for r in found], 10),
                      "qps": len(queries) / best})
    return {"run": name, "label": label, "build_s": build_s, "bytes_per_vector": memory, "curve": curve}


def run_delete(ds):
    """Recall after deleting half of the index (deletion does not reconnect)."""
    import kovra_vector_db as kv
    from .datasets import exact_neighbours
    index = kv.HnswIndex(ds.dim, "l2", ef_construction=EF_CONSTRUCTION, m=M)
    index.add_batch_np(ds.base)
    rng = np.random.default_rng(5)
    gone = rng.permutation(ds.n)[: ds.n // 2]
    for i in gone:
        index.delete(int(i))
    keep = np.ones(ds.n, bool)
    keep[gone] = False
    live = np.nonzero(keep)[0]
    gt = live[exact_neighbours(ds.base[keep], ds.queries, "l2", depth=10)]
    sample = live[rng.permutation(len(live))[:5000]]
    runner = Kovra(1)
    runner.index = index
    out = []
    for ef in (50, 200):
        runner.set_ef(ef)
        search = runner.index.search
        hits = sum(len({h["id"] for h in search(q, 10)} & set(g.tolist())) for q, g in zip(ds.queries, gt))
        own = sum(search(ds.base[i], 1)[0]["id"] == i for i in sample)
        out.append({"ef": ef, "recall": hits / (10 * len(gt)), "self_recall": own / len(sample)})
    return {"run": "delete", "curve": out}


def report(results):
    ref = next((r for r in results if r["run"] == "kovra"), None)
    for r in results:
        if r["run"] == "delete":
            print("\nafter deleting half of the index (kovra HnswIndex):")
            for c in r["curve"]:
                print(f"  ef_search {c['ef']:4d}: recall@10 {c['recall']:.4f}, "
                      f"self-recall@1 {c['self_recall']:.4f}")
            continue
        ratio = f" ({r['build_s'] / ref['build_s']:.2f}x kovra)" if ref and r is not ref else ""
        print(f"\n{r['label']}: build {r['build_s']:.1f} s{ratio}, "
              f"{r['bytes_per_vector']:.0f} bytes per vector")
        for c in r["curve"]:
            print(f"  ef_search {c['ef']:4d}: recall@10 {c['recall']:.4f}  QPS {c['qps']:8.0f}")
    if ref:
        ours = [(c["recall"], c["qps"]) for c in ref["curve"]]
        for r in results:
            if r["run"] in ("hnswlib", "faiss"):
                theirs = [(c["recall"], c["qps"]) for c in r["curve"]]
                for target in (0.95, 0.99):
                    a, b = _interpolate(ours, target), _interpolate(theirs, target)
                    if a and b:
                        print(f"QPS at recall@10 {target}: kovra {a:.0f}, {r['label']} {b:.0f}, "
                              f"ratio {a / b:.2f}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", default="build")
    ap.add_argument("--dataset", default="synthetic")
    ap.add_argument("--only", default=",".join(RUNS))
    ap.add_argument("--passes", type=int, default=3)
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    sys.path.insert(0, str(pathlib.Path(args.build_dir).resolve() / "python"))
    from .datasets import load
    ds = load(args.dataset, "l2")
    if args.child:
        res = run_delete(ds) if args.child == "delete" else run_one(args.child, ds, args.passes)
        print(json.dumps(res))
        return
    print(ds.describe(), f"M={M} ef_construction={EF_CONSTRUCTION}", flush=True)
    results = []
    for name in args.only.split(","):
        cmd = [sys.executable, "-m", "bench.hnsw_sweep", "--build-dir", args.build_dir,
               "--dataset", args.dataset, "--passes", str(args.passes), "--child", name]
        out = subprocess.run(cmd, capture_output=True, text=True, cwd=pathlib.Path(__file__).parent.parent)
        if out.returncode != 0:
            print(f"{name}: failed\n{out.stderr}", file=sys.stderr)
            continue
        results.append(json.loads(out.stdout.strip().splitlines()[-1]))
        print(f"  {name} done", flush=True)
    report(results)
    results_dir = pathlib.Path(__file__).parent / "results"
    results_dir.mkdir(exist_ok=True)
    (results_dir / f"hnsw_sweep_{time.strftime('%Y%m%d_%H%M%S')}.json").write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
