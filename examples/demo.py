"""A short tour. First the database: a persistent collection with payloads,
filled in batches, searched with and without a payload filter, dropped and
opened again from its directory, finding everything again; then sparse
vectors beside the dense ones and a hybrid search, a snapshot, more writes,
a restore, and a reopen that finds exactly the restored state. Then the bare
indexes: an exact index from a NumPy array, saved and loaded, and a graph
index built on two threads with its recall against the exact answers."""

import os
import tempfile
import time

import numpy as np

import kovra_vector_db as kv


def timed(label, fn):
    start = time.perf_counter()
    result = fn()
    print(f"  {label:<40} {1000 * (time.perf_counter() - start):9.2f} ms")
    return result


def clustered(rng, n, dim, centers):
    return (centers[rng.integers(0, len(centers), n)] + rng.normal(size=(n, dim))).astype(np.float32)


def database_tour(data, queries, directory):
    n, dim = data.shape
    tags = ["red", "green", "blue"]
    payloads = [{"cat": i % 10, "price": round(1.5 * (i % 97), 2), "tag": tags[i % 3]} for i in range(n)]
    print(f"Collection: {n} vectors of {dim} float32 with payloads, in {directory}\n")

    db = kv.Client(directory)
    docs = db.create_collection("docs", dim, metric="l2", index_type="hnsw")

    def ingest():
        for start in range(0, n, 1000):
            docs.upsert_batch([(i, data[i], payloads[i]) for i in range(start, min(n, start + 1000))])

    timed("upsert_batch, 1,000 at a time", ingest)
    timed("one upsert", lambda: docs.upsert(n, queries[0], {"cat": 3, "price": 9.5, "tag": "new"}))
    deleted = timed("delete two ids", lambda: [docs.delete(7), docs.delete(8)])
    print(f"  {db!r}, {docs!r}, deleted: {deleted}\n")

    flt = {"$and": [{"cat": {"$eq": 3}}, {"price": {"$lt": 50}}]}
    plain = timed("search, k = 5", lambda: docs.search(queries[1], 5))
    filtered = timed(f"search, k = 5, filter {flt}", lambda: docs.search(queries[1], 5, filter=flt))
    for hit in filtered[:3]:
        print(f"    id {hit['id']:>6}  distance {hit['distance']:8.3f}  payload {hit['payload']}")
    batch = timed(f"{len(queries)} filtered searches", lambda: [docs.search(q, 10, filter=flt) for q in queries])

    # Drop every object of the directory: the next Client reads it from disk.
    del docs, db
    db = timed("Client(directory): reopen from the log", lambda: kv.Client(directory))
    docs = db.get_collection("docs")
    print(f"  reopened: {db!r}, {docs!r}")
    again = [docs.search(q, 10, filter=flt) for q in queries]
    same = again == batch and docs.search(queries[1], 5) == plain
    print(f"  the same answers, payloads included, after the reopen: {same}\n")
    hybrid_and_snapshots(docs, db, data, payloads, directory)


def hybrid_and_snapshots(docs, db, data, payloads, directory):
    # Sparse "term" weights: the category and the tag as two dimensions.
    def sparse(i):
        return {payloads[i]["cat"]: 1.0, 10 + i % 3: 0.5}

    timed("upsert_hybrid, 500 one by one", lambda: [docs.upsert_hybrid(i, data[i], sparse(i), payloads[i])
                                                     for i in range(500)])
    # Near id 42 and with its terms: the dense and the sparse side agree on it.
    query, terms = data[42] + 0.05, sparse(42)
    mixed = timed(f"search_hybrid, k = 5, sparse query {terms}", lambda: docs.search_hybrid(query, terms, 5))
    for hit in mixed[:3]:
        print(f"    id {hit['id']:>6}  score {hit['score']:6.3f}  dense {hit['dense_distance']:8.3f}"
              f"  sparse {hit['sparse_score']:4.2f}")

    snap = timed('create_snapshot("v1")', lambda: docs.create_snapshot("v1"))
    print(f"  {snap}")
    docs.upsert_batch([(100_000 + i, data[i], {"late": True}) for i in range(100)])
    docs.delete(3)
    print(f"  after 100 upserts and a delete: {docs!r}")
    timed('restore_snapshot("v1")', lambda: docs.restore_snapshot("v1"))
    # (Equal hybrid scores come in no defined order: only the best hit is compared.)
    def state():
        return docs.count, docs.sparse_count, docs.search(query, 10), docs.search_hybrid(query, terms, 5)[0]

    restored = state()
    print(f"  restored: {docs!r}, sparse_count {docs.sparse_count}, snapshots {docs.list_snapshots()}")
    del docs, db
    docs = kv.Client(directory).get_collection("docs")
    same = state() == restored
    print(f"  a reopen finds exactly the restored state: {same}\n")


def index_tour(data, queries):
    n, dim = data.shape
    print(f"FlatIndex and HnswIndex: {n} vectors, {len(queries)} queries, k = 10\n")
    index = kv.FlatIndex(dim, "l2")
    timed("FlatIndex.add_batch_np (whole array)", lambda: index.add_batch_np(data))
    exact = timed(f"{len(queries)} single searches", lambda: [index.search(q, 10) for q in queries])
    brute = np.argsort(((data[None, :, :] - queries[:3, None, :]) ** 2).sum(-1), axis=1)[:, :10]
    agree = all([r["id"] for r in exact[i]] == list(brute[i]) for i in range(3))
    print(f"  matches NumPy brute force on the first queries: {agree}")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "demo.kovra")
        timed("save", lambda: index.save(path))
        loaded = timed("load", lambda: kv.FlatIndex.load(path))
        print(f"  loaded {loaded!r}; same answers: {[loaded.search(q, 10) for q in queries] == exact}")

    graph = kv.HnswIndex(dim, "l2", ef_construction=200, ef_search=50, m=12)
    timed("HnswIndex.add_batch_parallel (2 threads)", lambda: graph.add_batch_parallel(data, num_threads=2))
    approx = timed(f"{len(queries)} single HNSW searches", lambda: [graph.search(q, 10) for q in queries])
    hits = sum(len({r["id"] for r in a} & {r["id"] for r in e}) for a, e in zip(approx, exact))
    print(f"  recall@10 against the exact answers: {hits / (10 * len(queries)):.3f}")


def main():
    rng = np.random.default_rng(42)
    dim = 128
    centers = rng.normal(size=(64, dim)).astype(np.float32) * 4
    data = clustered(rng, 50_000, dim, centers)
    queries = clustered(rng, 200, dim, centers)
    with tempfile.TemporaryDirectory() as tmp:
        database_tour(data[:20_000], queries, os.path.join(tmp, "data"))
    index_tour(data, queries)


if __name__ == "__main__":
    main()
