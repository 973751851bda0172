"""A short tour: build an exact index from a NumPy array, search it, save it,
load it back and check that the answers are the same; then build a graph index
on two threads and measure its recall against the exact answers."""

import os
import tempfile
import time

import numpy as np

import kovra_vector_db as kv


def timed(label, fn):
    start = time.perf_counter()
    result = fn()
    print(f"  {label:<36} {1000 * (time.perf_counter() - start):9.2f} ms")
    return result


def main():
    rng = np.random.default_rng(42)
    n, dim, n_queries = 50_000, 128, 200
    centers = rng.normal(size=(64, dim)).astype(np.float32) * 4
    data = (centers[rng.integers(0, 64, n)] + rng.normal(size=(n, dim))).astype(np.float32)
    queries = (centers[rng.integers(0, 64, n_queries)] + rng.normal(size=(n_queries, dim))).astype(np.float32)

    print(f"kovra_vector_db: {n} vectors of {dim} float32, {n_queries} queries, k = 10\n")
    index = kv.FlatIndex(dim, "l2")
    timed("add_batch_np (whole array)", lambda: index.add_batch_np(data))
    print(f"  {index!r}\n")

    results = timed(f"{n_queries} single searches", lambda: [index.search(q, 10) for q in queries])
    exact = np.argsort(((data[None, :, :] - queries[:3, None, :]) ** 2).sum(-1), axis=1)[:, :10]
    agree = all([r["id"] for r in results[i]] == list(exact[i]) for i in range(3))
    print(f"  first query's neighbours: {[r['id'] for r in results[0]]}")
    print(f"  closest distance:         {results[0][0]['distance']:.4f}")
    print(f"  matches NumPy brute force on the first queries: {agree}\n")

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "demo.kovra")
        timed("save", lambda: index.save(path))
        print(f"  file size: {os.path.getsize(path) / 1e6:.1f} MB")
        loaded = timed("load", lambda: kv.FlatIndex.load(path))
        again = [loaded.search(q, 10) for q in queries]
        print(f"  loaded {loaded!r}; same answers: {again == results}\n")

    removed = index.delete(int(results[0][0]["id"]))
    print(f"  delete({results[0][0]['id']}) -> {removed}; now {len(index)} vectors")
    print(f"  new best for the first query: {index.search(queries[0], 1)}\n")

    # The same data in an approximate graph index, built on two threads.
    graph = kv.HnswIndex(dim, "l2", ef_construction=200, ef_search=50, m=12)
    timed("HnswIndex add_batch_parallel (2 threads)", lambda: graph.add_batch_parallel(data, num_threads=2))
    approx = timed(f"{n_queries} single HNSW searches", lambda: [graph.search(q, 10) for q in queries])
    hits = sum(len({r["id"] for r in a} & {r["id"] for r in e}) for a, e in zip(approx, results))
    print(f"  recall@10 against the exact answers: {hits / (10 * n_queries):.3f}")


if __name__ == "__main__":
    main()
