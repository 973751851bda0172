"""Deterministic benchmark data sets, cached as .npy files under bench/data/.

Every set has base vectors, held-out queries drawn from the same distribution,
and exact ground truth: the ids (row numbers in `base`) of the 100 nearest base
vectors of each query, per metric. Ground truth is computed once in float64
blocks with NumPy and cached next to the vectors, so later runs only load files.
"""

from __future__ import annotations

import dataclasses
import pathlib
import time

import numpy as np

DATA_DIR = pathlib.Path(__file__).resolve().parent / "data"
GT_DEPTH = 100  # neighbours kept per query in the ground truth
METRICS = ("l2", "cosine", "dot_product")


@dataclasses.dataclass
class Dataset:
    name: str
    base: np.ndarray      # (n, d) float32, C-contiguous; row r has id r
    queries: np.ndarray   # (q, d) float32, C-contiguous
    metric: str
    gt: np.ndarray        # (q, GT_DEPTH) int64, nearest first

    @property
    def n(self) -> int:
        return self.base.shape[0]

    @property
    def dim(self) -> int:
        return self.base.shape[1]

    def describe(self) -> str:
        return (f"{self.name}: {self.n} x {self.dim} float32, {len(self.queries)} queries, "
                f"metric {self.metric}")


def exact_neighbours(base: np.ndarray, queries: np.ndarray, metric: str,
                     depth: int = GT_DEPTH, block: int = 100) -> np.ndarray:
    """Ids of the `depth` nearest base rows per query, nearest first.

    Float64 keeps near-ties in the right order far more often than float32
    GEMM would; the cost is paid once per data set and metric.
    """
    depth = min(depth, base.shape[0])
    x = base.astype(np.float64)
    if metric == "cosine":
        norms = np.linalg.norm(x, axis=1, keepdims=True)
        x = x / np.where(norms == 0, 1.0, norms)
    x_sq = (x * x).sum(axis=1) if metric == "l2" else None
    out = np.empty((len(queries), depth), dtype=np.int64)
    for start in range(0, len(queries), block):
        q = queries[start:start + block].astype(np.float64)
        if metric == "cosine":
            qn = np.linalg.norm(q, axis=1, keepdims=True)
            q = q / np.where(qn == 0, 1.0, qn)
        dots = q @ x.T
        # Smaller is closer; the query norm is constant per row and dropped.
        score = x_sq[None, :] - 2.0 * dots if metric == "l2" else -dots
        part = np.argpartition(score, depth - 1, axis=1)[:, :depth]
        part_scores = np.take_along_axis(score, part, axis=1)
        order = np.argsort(part_scores, axis=1, kind="stable")
        out[start:start + len(q)] = np.take_along_axis(part, order, axis=1)
    return out


def _cached(path: pathlib.Path, make):
    if path.exists():
        return np.load(path)
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    arr = make()
    tmp = path.with_suffix(".tmp.npy")
    np.save(tmp, arr)
    tmp.replace(path)
    return arr


def _with_ground_truth(name: str, base: np.ndarray, queries: np.ndarray,
                       metric: str) -> Dataset:
    def make_gt():
        t = time.perf_counter()
        gt = exact_neighbours(base, queries, metric)
        print(f"  ground truth {name}/{metric}: {time.perf_counter() - t:.1f} s")
        return gt
    gt = _cached(DATA_DIR / f"{name}_gt_{metric}.npy", make_gt)
    return Dataset(name, base, queries, metric, gt)


def clustered(n: int, dim: int, n_queries: int, clusters: int, seed: int):
    """Gaussian mixture: unit-normal centres, per-cluster spread in [0.3, 0.7].

    Queries are the last `n_queries` draws of the same stream, so they follow
    the data distribution without being stored in the index.
    """
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, dim), dtype=np.float32)
    spread = rng.uniform(0.3, 0.7, clusters).astype(np.float32)
    labels = rng.integers(0, clusters, n + n_queries)
    noise = rng.standard_normal((n + n_queries, dim), dtype=np.float32)
    points = centres[labels] + noise * spread[labels, None]
    return np.ascontiguousarray(points[:n]), np.ascontiguousarray(points[n:])


def _synthetic(name: str, n: int, dim: int, n_queries: int, metric: str) -> Dataset:
    base_path = DATA_DIR / f"{name}_base.npy"
    query_path = DATA_DIR / f"{name}_queries.npy"
    if base_path.exists() and query_path.exists():
        base, queries = np.load(base_path), np.load(query_path)
    else:
        base, queries = clustered(n, dim, n_queries, clusters=256, seed=20240917)
        _cached(base_path, lambda: base)
        _cached(query_path, lambda: queries)
    return _with_ground_truth(name, base, queries, metric)


def _digits(metric: str) -> Dataset:
    """scikit-learn's bundled 8x8 digits (1797 x 64): a small real set.

    A fixed permutation holds out 100 images as queries.
    """
    from sklearn.datasets import load_digits

    x = load_digits().data.astype(np.float32)
    order = np.random.default_rng(7).permutation(len(x))
    queries = np.ascontiguousarray(x[order[:100]])
    base = np.ascontiguousarray(x[order[100:]])
    return _with_ground_truth("digits", base, queries, metric)


def _patches(metric: str) -> Dataset:
    """8 x 8 colour patches of scikit-learn's two sample photographs (192 dims).

    Real data in its natural order: the base holds the patches at even
    coordinates in raster order, one image after the other, so the near
    duplicates of each patch (its overlapping neighbours) arrive together, as
    consecutive tiles of an image or chunks of a document do in real loads.
    The 1,000 queries are patches at odd coordinates, drawn with a fixed seed:
    they are in no base row but have near duplicates there.
    """
    from sklearn.datasets import load_sample_images

    images = [np.asarray(im, dtype=np.float32) for im in load_sample_images().images]
    size, stride = 8, 2
    base, pool = [], []
    for im in images:
        win = np.lib.stride_tricks.sliding_window_view(im, (size, size), axis=(0, 1))
        # win[y, x] is (3, 8, 8); flatten each window as rows of pixels.
        win = win.transpose(0, 1, 3, 4, 2)
        base.append(win[::stride, ::stride].reshape(-1, size * size * 3))
        pool.append(win[1::stride, 1::stride].reshape(-1, size * size * 3))
    pool = np.concatenate(pool)
    pick = np.random.default_rng(11).choice(len(pool), 1_000, replace=False)
    return _with_ground_truth("patches", np.ascontiguousarray(np.concatenate(base)),
                              np.ascontiguousarray(pool[pick]), metric)


# name -> loader(metric). Add new sets here; the suites in peers.py refer to
# them by name.
DATASETS = {
    "synthetic": lambda metric: _synthetic("synthetic", 100_000, 128, 1_000, metric),
    "synthetic-small": lambda metric: _synthetic("synthetic-small", 10_000, 128, 200, metric),
    "digits": _digits,
    "patches": _patches,
}


def load(name: str, metric: str = "l2") -> Dataset:
    if name not in DATASETS:
        raise KeyError(f"unknown data set {name!r}; known: {', '.join(DATASETS)}")
    if metric not in METRICS:
        raise KeyError(f"unknown metric {metric!r}; known: {', '.join(METRICS)}")
    return DATASETS[name](metric)


def true_distances(ds: Dataset, qi: np.ndarray, ids: np.ndarray) -> np.ndarray:
    """Float64 distances of base rows `ids` (q, m) to the queries `qi` (q,)."""
    x = ds.base[ids].astype(np.float64)           # (q, m, d)
    q = ds.queries[qi].astype(np.float64)[:, None, :]
    if ds.metric == "l2":
        return ((x - q) ** 2).sum(axis=2)
    dots = (x * q).sum(axis=2)
    if ds.metric == "dot_product":
        return -dots
    norms = np.linalg.norm(x, axis=2) * np.linalg.norm(q, axis=2)
    return 1.0 - dots / np.where(norms == 0, 1.0, norms)


def recall_at_k(ds: Dataset, results: list, k: int) -> float:
    """Share of returned ids that are among the true k nearest, counting ties.

    A returned id counts when its true distance is no larger than that of the
    k-th true neighbour, so an exact method that breaks a tie differently from
    the ground truth is not penalised (digits has many tied integer
    distances). Missing or repeated ids count as misses.
    """
    q = len(results)
    ids = np.full((q, k), -1, dtype=np.int64)
    for i, r in enumerate(results):
        r = [int(x) for x in r[:k] if 0 <= int(x) < ds.n]
        ids[i, :len(r)] = r
    valid = ids >= 0
    for i in range(q):  # a repeated id is a miss the second time
        _, first = np.unique(ids[i], return_index=True)
        dup = np.ones(k, dtype=bool)
        dup[first] = False
        valid[i] &= ~dup
    qi = np.arange(q)
    kth = true_distances(ds, qi, ds.gt[:q, k - 1:k])       # (q, 1)
    d = true_distances(ds, qi, np.where(valid, ids, 0))
    tol = 1e-6 * np.maximum(np.abs(kth), 1.0)
    hits = valid & (d <= kth + tol)
    return float(hits.sum()) / (q * k)
