"""Index runners with one shape, and the named suites that group them.

A runner builds one index over a data set (timed), then answers queries one at
a time from Python (timed as a loop), and hands back the ids it found so the
harness can score recall. Runners for this module name the class they need and
are skipped while the module does not have it yet, so a suite can list a class
before it exists.

To add an index:
  1. write a Runner subclass (or reuse Kovra / Faiss with other arguments),
  2. list it in a Suite below, next to the peers it should be compared with.
The first runner of a suite is the one every ratio is taken against.
"""

from __future__ import annotations

import dataclasses
import time
from typing import Callable

import numpy as np

from .datasets import recall_at_k


class Unavailable(Exception):
    """The runner cannot run here (package or class missing, metric unsupported)."""


class Runner:
    label = "runner"
    exact = True  # exact runners also get the memory-bandwidth bound
    build_repeats = 1  # cheap builds are repeated and the best time kept

    def check(self, metric: str) -> None:
        """Raise Unavailable when this runner cannot serve `metric`."""

    def build(self, base: np.ndarray, metric: str) -> None:
        """Create the index and add every row of `base` with id = row number."""
        raise NotImplementedError

    def prepare(self, queries: np.ndarray) -> list:
        """Per-query arguments, made before the timed loop (default 1 x d rows)."""
        return [queries[i:i + 1] for i in range(len(queries))]

    def searcher(self, k: int) -> Callable:
        """A function query -> native result, called once per query in the loop."""
        raise NotImplementedError

    def ids(self, result) -> list:
        """Ids of a native result, nearest first (outside the timed loop)."""
        raise NotImplementedError

    def bytes_per_query(self, base: np.ndarray) -> int | None:
        """Bytes of stored vectors one exact scan reads, if meaningful."""
        return base.nbytes if self.exact else None

    def close(self) -> None:
        """Drop the index so the next runner starts with free memory."""
        self.index = None


def _normalized(x: np.ndarray) -> np.ndarray:
    n = np.linalg.norm(x, axis=1, keepdims=True)
    return (x / np.where(n == 0, 1.0, n)).astype(np.float32)


# ---------------------------------------------------------------- this module

class Kovra(Runner):
    """Any index class of kovra_vector_db built as cls(dim, metric, **kwargs)."""

    def __init__(self, cls_name: str, exact: bool = True, label: str | None = None,
                 after_build: Callable | None = None, stored_bytes: Callable | None = None,
                 **kwargs):
        self.cls_name = cls_name
        self.stored_bytes = stored_bytes  # base -> bytes one scan reads, if not base.nbytes
        self.exact = exact
        self.build_repeats = 5 if exact else 1
        self.label = label or cls_name
        self.kwargs = kwargs
        self.after_build = after_build  # e.g. set a search-time parameter
        self.index = None

    def check(self, metric):
        try:
            import kovra_vector_db
        except ImportError as e:
            raise Unavailable(f"kovra_vector_db not importable ({e})") from None
        if not hasattr(kovra_vector_db, self.cls_name):
            raise Unavailable(f"kovra_vector_db has no {self.cls_name} yet")
        self.cls = getattr(kovra_vector_db, self.cls_name)

    def build(self, base, metric):
        self.index = self.cls(base.shape[1], metric, **self.kwargs)
        self.index.add_batch_np(base, 0)
        if self.after_build:
            self.after_build(self.index)

    def prepare(self, queries):
        return [queries[i] for i in range(len(queries))]

    def searcher(self, k):
        search = self.index.search
        return lambda q: search(q, k)

    def ids(self, result):
        return [hit["id"] for hit in result]

    def bytes_per_query(self, base):
        if self.stored_bytes and self.exact:
            return self.stored_bytes(base)
        return super().bytes_per_query(base)


class KovraMmap(Kovra):
    """MmapFlatIndex over a vector file in a temporary directory.

    Every build starts from a missing file, adds the rows and flushes them, so
    the file is written whole and sits in the page cache when searches begin.
    """

    def __init__(self):
        super().__init__("MmapFlatIndex", stored_bytes=lambda b: b.shape[0] * (8 + 4 * b.shape[1]))
        self.dir = None

    def build(self, base, metric):
        import os
        import tempfile
        if self.dir is None:
            self.dir = tempfile.TemporaryDirectory(prefix="kovra_bench_")
        path = os.path.join(self.dir.name, "vectors.kvec")
        self.index = None
        if os.path.exists(path):
            os.remove(path)
        self.index = self.cls(base.shape[1], metric, path=path)
        self.index.add_batch_np(base, 0)
        self.index.flush()

    def close(self):
        self.index = None
        if self.dir is not None:
            self.dir.cleanup()
            self.dir = None


# ---------------------------------------------------------------------- FAISS

class Faiss(Runner):
    """A FAISS index made by `factory(faiss, dim, faiss_metric)`.

    Cosine runs as inner product over normalised vectors; the query is
    normalised inside the timed loop, as a caller would have to.
    """

    def __init__(self, label, factory: Callable, exact: bool, train: bool = False,
                 metrics=("l2", "cosine", "dot_product"), after_build: Callable | None = None):
        self.label_for = label if callable(label) else (lambda metric: label)
        self.label = self.label_for("l2")
        self.factory = factory
        self.exact = exact
        self.train = train
        self.metrics = metrics
        self.after_build = after_build
        self.build_repeats = 5 if exact else 1
        self.index = None

    def check(self, metric):
        self.label = self.label_for(metric)
        try:
            import faiss  # noqa: F401
        except ImportError as e:
            raise Unavailable(f"faiss not importable ({e})") from None
        if metric not in self.metrics:
            raise Unavailable(f"no {metric} variant")

    def build(self, base, metric):
        import faiss
        self.metric = metric
        fm = faiss.METRIC_L2 if metric == "l2" else faiss.METRIC_INNER_PRODUCT
        if metric == "cosine":
            base = _normalized(base)
        self.index = self.factory(faiss, base.shape[1], fm)
        if self.train:
            self.index.train(base)
        self.index.add(base)
        if self.after_build:
            self.after_build(self.index)

    def searcher(self, k):
        search = self.index.search
        if self.metric == "cosine":
            return lambda q: search(_normalized(q), k)
        return lambda q: search(q, k)

    def ids(self, result):
        return [int(i) for i in result[1][0] if i >= 0]


class FaissBinaryFlat(Runner):
    """faiss IndexBinaryFlat over the sign bits of the vectors (bit set for a
    component >= 0, component i in byte i / 8, bit i % 8), ranked by Hamming
    distance: the same codes BinaryFlatIndex keeps. L2 only."""

    label = "faiss IndexBinaryFlat"
    build_repeats = 5

    @staticmethod
    def _bits(x):
        return np.packbits(x >= 0, axis=1, bitorder="little")

    def check(self, metric):
        try:
            import faiss  # noqa: F401
        except ImportError as e:
            raise Unavailable(f"faiss not importable ({e})") from None
        if metric != "l2":
            raise Unavailable("Hamming ranking only")

    def build(self, base, metric):
        import faiss
        self.index = faiss.IndexBinaryFlat(base.shape[1])
        self.index.add(self._bits(base))

    def prepare(self, queries):
        bits = self._bits(queries)
        return [bits[i:i + 1] for i in range(len(bits))]

    def searcher(self, k):
        search = self.index.search
        return lambda q: search(q, k)

    def ids(self, result):
        return [int(i) for i in result[1][0] if i >= 0]

    def bytes_per_query(self, base):
        return base.shape[0] * ((base.shape[1] + 7) // 8)


# -------------------------------------------------------------------- hnswlib

_HNSW_SPACE = {"l2": "l2", "cosine": "cosine", "dot_product": "ip"}


class HnswlibBF(Runner):
    label = "hnswlib BFIndex"
    build_repeats = 5

    def check(self, metric):
        try:
            import hnswlib  # noqa: F401
        except ImportError as e:
            raise Unavailable(f"hnswlib not importable ({e})") from None

    def build(self, base, metric):
        import hnswlib
        self.index = hnswlib.BFIndex(space=_HNSW_SPACE[metric], dim=base.shape[1])
        self.index.init_index(max_elements=base.shape[0])
        self.index.add_items(base, np.arange(base.shape[0]))

    def searcher(self, k):
        search = self.index.knn_query
        return lambda q: search(q, k=k)

    def ids(self, result):
        return [int(i) for i in result[0][0]]


class HnswlibHNSW(HnswlibBF):
    exact = False
    build_repeats = 1

    def __init__(self, M: int = 16, ef_construction: int = 200, ef: int = 64,
                 threads: int = 1):
        self.M, self.ef_construction, self.ef = M, ef_construction, ef
        self.threads = threads
        self.label = f"hnswlib HNSW M={M} ef={ef}"

    def build(self, base, metric):
        import hnswlib
        self.index = hnswlib.Index(space=_HNSW_SPACE[metric], dim=base.shape[1])
        self.index.init_index(max_elements=base.shape[0], M=self.M,
                              ef_construction=self.ef_construction, random_seed=100)
        self.index.set_num_threads(self.threads)
        self.index.add_items(base, np.arange(base.shape[0]))
        self.index.set_ef(self.ef)


# ---------------------------------------------------------------------- NumPy

class NumpyBrute(Runner):
    """Brute force in NumPy: all distances, argpartition, sort of the k.

    The textbook form computes ((X - q) ** 2).sum(1) for L2. With
    `expanded`, L2 uses |x|^2 - 2 x.q over precomputed row norms instead: one
    matrix-vector product, about as fast as NumPy gets (cosine and dot product
    are a matrix-vector product either way, so that variant is L2 only).
    """

    build_repeats = 5

    def __init__(self, expanded: bool = False):
        self.expanded = expanded
        self.label = "numpy |x|^2-2x.q" if expanded else "numpy"

    def check(self, metric):
        if self.expanded and metric != "l2":
            raise Unavailable("same as numpy for this metric")

    def build(self, base, metric):
        self.metric = metric
        self.base = _normalized(base) if metric == "cosine" else base
        self.sq = (self.base * self.base).sum(axis=1) if self.expanded else None
        self.index = self.base

    def searcher(self, k):
        base, sq, metric, expanded = self.base, self.sq, self.metric, self.expanded

        def search(q):
            q = q[0]
            if metric == "l2":
                score = sq - 2.0 * (base @ q) if expanded else ((base - q) ** 2).sum(axis=1)
            elif metric == "cosine":
                score = -(base @ (q / (np.linalg.norm(q) or 1.0)))
            else:
                score = -(base @ q)
            top = np.argpartition(score, k - 1)[:k] if k < len(score) else np.arange(len(score))
            return top[np.argsort(score[top])]
        return search

    def ids(self, result):
        return [int(i) for i in result]


# ---------------------------------------------------------------------- suites

@dataclasses.dataclass
class Target:
    """A ratio the reference runner should reach on one configuration.

    figure "qps": reference QPS / peer QPS >= limit; "build": peer build time /
    reference build time >= limit; "bound": bandwidth-bound QPS / reference
    QPS <= limit (peer unused). `runner` names another runner of the suite to
    stand in for the reference (a suite comparing several classes of this
    module with their own peers).
    """
    config: tuple
    figure: str
    peer: str | None
    limit: float
    runner: str | None = None


@dataclasses.dataclass
class Suite:
    name: str
    description: str
    configs: list          # (data set name, metric) pairs, see datasets.DATASETS
    runners: Callable      # () -> list of fresh Runner objects; first is the reference
    targets: list = dataclasses.field(default_factory=list)


def _faiss_flat():
    return Faiss(lambda m: "faiss IndexFlatL2" if m == "l2" else "faiss IndexFlatIP",
                 lambda f, d, m: f.IndexFlat(d, m), exact=True)


def _flat_runners():
    return [
        Kovra("FlatIndex"),
        HnswlibBF(),
        _faiss_flat(),
        NumpyBrute(),
        NumpyBrute(expanded=True),
    ]


def _hnsw_runners():
    # Same M, ef_construction and ef_search for all three; bench/hnsw_sweep.py
    # sweeps ef_search and times the two-thread builds.
    m, ef_construction, ef = 12, 200, 50

    def faiss_hnsw(f, d, metric):
        index = f.IndexHNSWFlat(d, m, metric)
        index.hnsw.efConstruction = ef_construction
        return index

    def set_ef(index):
        index.hnsw.efSearch = ef

    return [
        Kovra("HnswIndex", exact=False, label=f"HnswIndex M={m} ef={ef}",
              ef_construction=ef_construction, ef_search=ef, m=m),
        HnswlibHNSW(M=m, ef_construction=ef_construction, ef=ef),
        Faiss(f"faiss IndexHNSWFlat M={m} ef={ef}", faiss_hnsw, exact=False, after_build=set_ef),
    ]


# Inverted files are compared one probe count at a time: a suite per (kind,
# nprobe), this module's index first and the FAISS index of the same shape
# second. Both sides train on every base vector (FAISS would otherwise subsample
# to 256 points per list) with 25 k-means iterations. Training dominates the
# build, so the trained indexes are kept for the rest of the run: the first
# suite of a kind (nprobe 1) reports the real build, later suites of that kind
# only set the probe count and their build figure means nothing.
IVF_LISTS = 256
IVF_PROBES = (1, 4, 16, 64)
PQ_SHAPES = (8, 16)
_trained: dict = {}


class KovraIvf(Kovra):
    """IvfIndex or IvfPqIndex with `train_size` = the base size, trained once
    per run; the probe count is set by reloading the saved index with another
    nprobe in its header (the Python class fixes nprobe at construction)."""

    def __init__(self, cls_name: str, nprobe: int, label: str, **kwargs):
        super().__init__(cls_name, exact=False, label=label, **kwargs)
        self.nprobe = nprobe

    def build(self, base, metric):
        import atexit
        import os
        import tempfile
        key = (self.cls_name, metric, base.shape, tuple(sorted(self.kwargs.items())))
        if key not in _trained:
            index = self.cls(base.shape[1], metric, nprobe=self.nprobe, train_size=base.shape[0],
                             **self.kwargs)
            index.add_batch_np(base, 0)
            fd, path = tempfile.mkstemp(suffix=".ivf")
            os.close(fd)
            atexit.register(os.remove, path)
            index.save(path)
            _trained[key] = (path, bytes(open(path, "rb").read(28)))
            self.index = index
            return
        path, head = _trained[key]
        # dims u64, metric u32, n_lists u64, then nprobe u64.
        with open(path, "r+b") as f:
            f.write(head[:20] + self.nprobe.to_bytes(8, "little"))
        self.index = self.cls.load(path)


class FaissIvf(Faiss):
    """A FAISS inverted file trained on every base vector, kept for the run."""

    def __init__(self, label: str, factory: Callable, key: tuple, nprobe: int):
        def set_probe(index):
            index.nprobe = nprobe
        super().__init__(label, factory, exact=False, train=True, metrics=("l2",),
                         after_build=set_probe)
        self.key = key

    def build(self, base, metric):
        key = (self.key, metric, base.shape)
        if key not in _trained:
            super().build(base, metric)
            _trained[key] = self.index
        else:
            self.metric = metric
            self.index = _trained[key]
            self.after_build(self.index)

    def close(self):
        self.index = None  # the trained index itself stays in _trained


def _faiss_all_points(index, n_lists):
    """Lets FAISS k-means use every training point (no subsampling)."""
    index.cp.max_points_per_centroid = 1 << 30
    index.cp.niter = 25
    if hasattr(index, "pq"):
        index.pq.cp.max_points_per_centroid = 1 << 30
        index.pq.cp.niter = 25
    return index


def _ivf_runners(nprobe: int):
    def ivf_flat(f, d, m):
        return _faiss_all_points(f.IndexIVFFlat(f.IndexFlat(d, m), d, IVF_LISTS, m), IVF_LISTS)

    return lambda: [
        KovraIvf("IvfIndex", nprobe, f"IvfIndex nlist={IVF_LISTS} nprobe={nprobe}", n_lists=IVF_LISTS),
        FaissIvf(f"faiss IndexIVFFlat nlist={IVF_LISTS} nprobe={nprobe}", ivf_flat, ("ivf",), nprobe),
    ]


def _ivf_pq_runners(m: int, nprobe: int):
    def ivf_pq(f, d, metric):
        return _faiss_all_points(f.IndexIVFPQ(f.IndexFlat(d, metric), d, IVF_LISTS, m, 8, metric),
                                 IVF_LISTS)

    return lambda: [
        KovraIvf("IvfPqIndex", nprobe, f"IvfPqIndex nlist={IVF_LISTS} nprobe={nprobe} m={m}",
                 n_lists=IVF_LISTS, pq_m=m, pq_k_sub=256),
        FaissIvf(f"faiss IndexIVFPQ nlist={IVF_LISTS} nprobe={nprobe} m={m}", ivf_pq, ("ivfpq", m),
                 nprobe),
    ]


def _ivf_suites():
    out = []
    for nprobe in IVF_PROBES:
        peer = f"faiss IndexIVFFlat nlist={IVF_LISTS} nprobe={nprobe}"
        targets = [Target(("synthetic", "l2"), "qps", peer, 1.5)]
        if nprobe == IVF_PROBES[0]:
            targets.append(Target(("synthetic", "l2"), "build", peer, 1.0))
        out.append(Suite(f"ivf-np{nprobe}", f"IvfIndex against IndexIVFFlat, nprobe {nprobe}",
                         [("synthetic", "l2")], _ivf_runners(nprobe), targets))
    for m in PQ_SHAPES:
        for nprobe in IVF_PROBES:
            peer = f"faiss IndexIVFPQ nlist={IVF_LISTS} nprobe={nprobe} m={m}"
            out.append(Suite(f"ivfpq{m}-np{nprobe}",
                             f"IvfPqIndex against IndexIVFPQ, m {m} (8-bit codes), nprobe {nprobe}",
                             [("synthetic", "l2")], _ivf_pq_runners(m, nprobe),
                             [Target(("synthetic", "l2"), "qps", peer, 1.0)]))
    return out


def _quantized_runners():
    # The reduced-precision and mapped scans of this module, each beside the
    # full-precision scan and the FAISS index that stores the same codes.
    def sq(kind):
        return lambda f, d, m: f.IndexScalarQuantizer(d, getattr(f.ScalarQuantizer, kind), m)

    words = lambda b: b.shape[0] * (((b.shape[1] + 63) // 64) * 8 + 4)  # noqa: E731
    return [
        Kovra("QuantizedFlatIndex", stored_bytes=lambda b: b.shape[0] * (b.shape[1] + 4)),
        Kovra("Fp16FlatIndex", stored_bytes=lambda b: b.shape[0] * 2 * b.shape[1]),
        Kovra("BinaryFlatIndex", stored_bytes=words),
        KovraMmap(),
        Kovra("FlatIndex"),
        Faiss("faiss IndexScalarQuantizer QT_8bit", sq("QT_8bit"), exact=False, train=True),
        Faiss("faiss IndexScalarQuantizer QT_fp16", sq("QT_fp16"), exact=False, train=True),
        FaissBinaryFlat(),
        _faiss_flat(),
    ]


def _quantized_targets():
    cfg = ("synthetic", "l2")
    return [
        Target(cfg, "qps", "FlatIndex", 1.0),
        Target(cfg, "qps", "faiss IndexScalarQuantizer QT_8bit", 4.0),
        Target(cfg, "qps", "FlatIndex", 1.0, runner="Fp16FlatIndex"),
        Target(cfg, "qps", "faiss IndexScalarQuantizer QT_fp16", 4.0, runner="Fp16FlatIndex"),
        Target(cfg, "qps", "faiss IndexBinaryFlat", 3.0, runner="BinaryFlatIndex"),
        Target(cfg, "qps", "FlatIndex", 0.9, runner="MmapFlatIndex"),
    ]


SUITES = {s.name: s for s in [
    Suite("flat", "exact scans: FlatIndex against the exact peers",
          [("synthetic", "l2"), ("digits", "l2"), ("digits", "cosine"),
           ("digits", "dot_product")], _flat_runners,
          [Target(("synthetic", "l2"), "qps", "hnswlib BFIndex", 1.0),
           Target(("synthetic", "l2"), "qps", "faiss IndexFlatL2", 3.0),
           Target(("synthetic", "l2"), "qps", "numpy", 3.0),
           Target(("synthetic", "l2"), "bound", None, 1.3),
           Target(("synthetic", "l2"), "build", "faiss IndexFlatL2", 1.0)]),
    Suite("hnsw", "graph indexes (slow to build: minutes on two cores)",
          [("synthetic", "l2")], _hnsw_runners,
          [Target(("synthetic", "l2"), "build", "hnswlib HNSW M=12 ef=50", 1.0),
           Target(("synthetic", "l2"), "qps", "hnswlib HNSW M=12 ef=50", 1.0),
           Target(("synthetic", "l2"), "qps", "faiss IndexHNSWFlat M=12 ef=50", 1.0)]),
    Suite("quantized", "reduced-precision and memory-mapped exact scans",
          [("synthetic", "l2")], _quantized_runners, _quantized_targets()),
    Suite("smoke", "every peer on a small set, to check the harness quickly",
          [("synthetic-small", "l2"), ("digits", "cosine")],
          lambda: _flat_runners() + _hnsw_runners()[:1]),
] + _ivf_suites()}
# Every inverted-file suite in order: `python3 -m bench ivf` runs them all.
IVF_SUITES = [name for name in SUITES if name.startswith(("ivf-", "ivfpq"))]


# ---------------------------------------------------------------- measurement

@dataclasses.dataclass
class Result:
    runner: str
    dataset: str
    metric: str
    exact: bool
    status: str = "ok"             # or the reason it was skipped
    build_s: float | None = None   # best build (construct + train + add) time
    qps: float | None = None       # best pass over the queries
    recall: float | None = None    # tie-aware recall@k
    bytes_per_query: int | None = None
    bandwidth_gbs: float | None = None    # memory read bandwidth probed next to this run
    working_set_gbs: float | None = None  # read rate over a buffer the size of the data


def measure(runners: list, ds, k: int, n_queries: int, passes: int,
            budget_s: float, chunk: int = 50) -> list:
    """Builds every runner's index, then times single queries.

    The queries are cut into chunks of `chunk`; each chunk is run by every
    runner in turn, so all runners see the same machine load, and each chunk's
    best time over the passes counts (a burst of load elsewhere then spoils one
    chunk of one pass, not a whole figure). A runner makes no further pass once
    its passes took `budget_s` seconds.
    """
    results, active = [], []
    for runner in runners:
        try:
            runner.check(ds.metric)
        except Unavailable as e:
            results.append(Result(runner.label, ds.name, ds.metric, runner.exact,
                                  status=f"skipped: {e}"))
            continue
        res = Result(runner.label, ds.name, ds.metric, runner.exact)
        best_build = float("inf")
        for _ in range(runner.build_repeats):
            runner.close()
            t = time.perf_counter()
            runner.build(ds.base, ds.metric)
            best_build = min(best_build, time.perf_counter() - t)
        res.build_s = best_build
        res.bytes_per_query = runner.bytes_per_query(ds.base)
        queries = runner.prepare(ds.queries[:n_queries])
        search = runner.searcher(k)
        for q in queries[:20]:  # warm caches and lazy initialisation
            search(q)
        results.append(res)
        active.append({"runner": runner, "res": res, "queries": queries, "search": search,
                       "best": {}, "spent": 0.0, "found": []})

    n = min(n_queries, len(ds.queries))
    for p in range(passes):
        running = [a for a in active if p == 0 or a["spent"] <= budget_s]
        for start in range(0, n, chunk):
            for a in running:
                search, out = a["search"], []
                append = out.append
                t = time.perf_counter()
                for q in a["queries"][start:start + chunk]:
                    append(search(q))
                elapsed = time.perf_counter() - t
                a["spent"] += elapsed
                a["best"][start] = min(a["best"].get(start, float("inf")), elapsed)
                if p == 0:
                    a["found"] += [a["runner"].ids(r) for r in out]

    for a in active:
        a["res"].qps = n / sum(a["best"].values())
        a["res"].recall = recall_at_k(ds, a["found"], k)
        a["runner"].close()
    return results
