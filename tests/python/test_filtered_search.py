"""A filtered search returns the k nearest matching vectors (every match when
fewer match), on every index type and at every selectivity, through writes,
deletes and a reopen; hybrid search re-forms its pools when they hold fewer
than k matches."""

import numpy as np
import pytest

import kovra_vector_db as kv
from test_collection import reopen

N = 2000
DIM = 8
K = 10
INDEX_TYPES = ["flat", "hnsw", "quantized_flat", "fp16_flat", "ivf", "ivf_pq", "mmap_flat", "binary_flat"]
EXACT = {"flat", "quantized_flat", "fp16_flat", "mmap_flat", "binary_flat"}


def payload(i, generation=0):
    """Unique r (so selectivity is exact), a string, a bool, a nested number,
    a field only some rows have, and rows without any payload."""
    if i % 23 == 22:
        return None
    p = {"r": (i + generation * 7) % N, "s": f"s{i % 7}", "flag": i % 3 == 0}
    if i % 4:
        p["nested"] = {"v": i % 50}
    if i % 5 == 0:
        p["opt"] = i % 2
    return p


# (filter, reference predicate on a payload that exists). Rows without payload
# never match a field, and match {"$and": []} only.
FILTERS = {
    "every row": ({"$and": []}, lambda p: True),
    "half": ({"r": {"$lt": N // 2}}, lambda p: p["r"] < N // 2),
    "a tenth": ({"r": {"$lt": N // 10}}, lambda p: p["r"] < N // 10),
    "one in a hundred": ({"r": {"$lt": N // 100}}, lambda p: p["r"] < N // 100),
    "a single match": ({"r": {"$eq": 7}}, lambda p: p["r"] == 7),
    "no match": ({"r": {"$lt": 0}}, lambda p: False),
    "kind-strict equality": ({"r": {"$eq": 7.0}}, lambda p: False),
    "range over floats": ({"r": {"$gte": 1999.5}}, lambda p: p["r"] >= 1999.5),
    "string": ({"s": {"$eq": "s3"}}, lambda p: p["s"] == "s3"),
    "string range": ({"s": {"$gt": "s4"}}, lambda p: p["s"] > "s4"),
    "bool": ({"flag": {"$eq": True}}, lambda p: p["flag"] is True),
    "nested path": ({"nested.v": {"$lt": 3}}, lambda p: "nested" in p and p["nested"]["v"] < 3),
    "$in": ({"r": {"$in": [3, 30, 300, 5000, "3", 3.0]}}, lambda p: p["r"] in (3, 30, 300)),
    "$or": ({"$or": [{"r": {"$lt": 4}}, {"nested.v": {"$eq": 49}}]},
            lambda p: p["r"] < 4 or p.get("nested", {}).get("v") == 49),
    "$and": ({"$and": [{"flag": {"$eq": True}}, {"r": {"$gte": 1900}}, {"s": {"$ne": "s0"}}]},
             lambda p: p["flag"] and p["r"] >= 1900 and p["s"] != "s0"),
    "missing field, $ne": ({"opt": {"$ne": 1}}, lambda p: "opt" in p and p["opt"] != 1),
}


def matching(payloads, live, pred, flt):
    every = flt == {"$and": []}
    return {i for i in live if (every or (payloads[i] is not None and pred(payloads[i])))}


@pytest.fixture(scope="module", params=INDEX_TYPES)
def filled(request, tmp_path_factory):
    path = str(tmp_path_factory.mktemp(request.param))
    rng = np.random.default_rng(3)
    vectors = rng.standard_normal((N, DIM)).astype(np.float32)
    col = kv.Client(path).create_collection("c", DIM, metric="l2", index_type=request.param)
    col.upsert_batch([(i, vectors[i], payload(i)) for i in range(N)])
    queries = rng.standard_normal((4, DIM)).astype(np.float32)
    return request.param, col, vectors, [payload(i) for i in range(N)], set(range(N)), queries


def check_results(index_type, col, vectors, payloads, live, queries, flt, pred):
    want = matching(payloads, live, pred, flt)
    for q in queries:
        hits = col.search(q, K, flt)
        ids = [h["id"] for h in hits]
        assert len(ids) == min(K, len(want)), (len(ids), len(want))
        assert set(ids) <= want and len(set(ids)) == len(ids)
        assert all(h.get("payload") == payloads[h["id"]] for h in hits)
        if index_type in EXACT:
            # The unfiltered search of everything, filtered afterwards: the same
            # distances, each hit at its own distance (the 1-bit index orders
            # equal distances its own way, so ids may differ among ties).
            everything = col.search(q, len(live))
            distance_of = {h["id"]: h["distance"] for h in everything}
            expected = [(h["id"], h["distance"]) for h in everything if h["id"] in want][:K]
            assert [h["distance"] for h in hits] == [d for _, d in expected]
            assert all(distance_of[h["id"]] == h["distance"] for h in hits)
            if index_type != "binary_flat":
                assert [h["id"] for h in hits] == [i for i, _ in expected]
        elif index_type == "hnsw" and want:
            rows = np.array(sorted(want))
            d = np.linalg.norm(vectors[rows] - q, axis=1)
            kth = np.sort(d)[min(K, len(rows)) - 1]
            got = np.linalg.norm(vectors[ids] - q, axis=1)
            assert np.mean(got <= kth + 1e-5) >= 0.9


@pytest.mark.parametrize("case", FILTERS)
def test_filtered_search_returns_the_nearest_matches(filled, case):
    index_type, col, vectors, payloads, live, queries = filled
    flt, pred = FILTERS[case]
    check_results(index_type, col, vectors, payloads, live, queries, flt, pred)


@pytest.mark.parametrize("index_type", INDEX_TYPES)
def test_filtered_search_follows_writes_deletes_and_a_reopen(tmp_path, index_type):
    path = str(tmp_path / "db")
    rng = np.random.default_rng(5)
    vectors = rng.standard_normal((N, DIM)).astype(np.float32)
    col = kv.Client(path).create_collection("c", DIM, metric="l2", index_type=index_type)
    col.upsert_batch([(i, vectors[i], payload(i)) for i in range(N)])
    payloads = [payload(i) for i in range(N)]
    live = set(range(N))
    queries = rng.standard_normal((3, DIM)).astype(np.float32)
    cases = ["half", "one in a hundred", "a single match", "string", "$or", "missing field, $ne"]
    for case in cases:  # builds the columns the writes below must keep up to date
        check_results(index_type, col, vectors, payloads, live, queries, *FILTERS[case])

    # New payloads (and vectors) for a third, single upserts for some, deletes.
    changed = rng.choice(N, N // 3, replace=False)
    vectors[changed] = rng.standard_normal((len(changed), DIM)).astype(np.float32)
    for i in changed:
        payloads[i] = payload(int(i), generation=1)
    col.upsert_batch([(int(i), vectors[i], payloads[i]) for i in changed[:-50]])
    for i in changed[-50:]:
        col.upsert(int(i), vectors[i], payloads[i])
    for i in rng.choice(N, N // 5, replace=False):
        col.delete(int(i))
        live.discard(int(i))
    for case in cases:
        check_results(index_type, col, vectors, payloads, live, queries, *FILTERS[case])

    del col
    col = reopen(path, "c")
    assert col.count == len(live)
    for case in cases:
        check_results(index_type, col, vectors, payloads, live, queries, *FILTERS[case])


def test_filtered_search_errors_and_edges(tmp_path):
    col = kv.Client(str(tmp_path / "db")).create_collection("c", 2, metric="l2", index_type="flat")
    flt = {"a": {"$eq": 1}}
    # Nothing matches, but a query of the wrong length still fails as it does unfiltered.
    with pytest.raises(ValueError, match="dimension mismatch: expected 2, got 3"):
        col.search([0, 0, 0], 3, flt)
    assert col.search([0, 0], 3, flt) == []
    col.upsert(1, [1, 0], {"a": 1})
    with pytest.raises(ValueError, match="dimension mismatch: expected 2, got 3"):
        col.search([0, 0, 0], 3, flt)
    assert col.search([0, 0], 0, flt) == []
    assert [h["id"] for h in col.search([0, 0], 2**62, flt)] == [1]


def sparse_dot(doc, query):
    s = np.float32(0)
    for dim in sorted(query):
        if dim in doc:
            s = np.float32(s + np.float32(np.float32(doc[dim]) * np.float32(query[dim])))
    return float(s)


def hybrid_reference(col, sparse, dense_q, sparse_q, k, flt_pred, dw=0.7, sw=0.3):
    """The pools of 10 k formed over every vector (dense from the collection's
    own search), fused, then filtered, as documented."""
    f32 = np.float32
    dense = {h["id"]: h["distance"] for h in col.search(dense_q, 10 * k)}
    scores = {i: sparse_dot(v, sparse_q) for i, v in sparse.items() if any(d in v for d in sparse_q)}
    pool = sorted(scores.items(), key=lambda t: -t[1])[:10 * k]
    sp = dict(pool)
    d_min, d_max = (min(dense.values()), max(dense.values())) if dense else (0.0, 1.0)
    s_min, s_max = (min(sp.values()), max(sp.values())) if sp else (0.0, 1.0)
    d_range = max(f32(d_max) - f32(d_min), f32(1e-9))
    s_range = max(f32(s_max) - f32(s_min), f32(1e-9))
    out = []
    for i in set(dense) | set(sp):
        if not flt_pred(i):
            continue
        d, s = dense.get(i, d_max), sp.get(i, 0.0)
        score = f32(dw) * (f32(1) - (f32(d) - f32(d_min)) / d_range) + f32(sw) * ((f32(s) - f32(s_min)) / s_range)
        out.append((float(score), i))
    return sorted(out, reverse=True)[:k]


@pytest.mark.parametrize("index_type", ["flat", "hnsw"])
def test_hybrid_filter_keeps_the_pools_when_they_suffice_and_reforms_them_when_not(tmp_path, index_type):
    rng = np.random.default_rng(11)
    n = 600
    vectors = rng.standard_normal((n, DIM)).astype(np.float32)
    sparse = {i: {int(d): float(rng.random() + 0.1) for d in rng.choice(40, 4, replace=False)}
              for i in range(n) if i % 3}
    col = kv.Client(str(tmp_path / "db")).create_collection("h", DIM, metric="l2", index_type=index_type)
    for i in range(n):
        col.upsert_hybrid(i, vectors[i], sparse.get(i), {"g": i % 4, "rare": i in (5, 77, 400)})
    q = rng.standard_normal(DIM).astype(np.float32)
    sq = {1: 1.0, 7: 0.5, 13: 2.0}
    # A quarter matches: the pools hold k matches, and the result is the one
    # formed over every vector.
    hits = col.search_hybrid(q, sq, K, filter={"g": {"$eq": 2}})
    assert [(h["score"], h["id"]) for h in hits] == hybrid_reference(col, sparse, q, sq, K, lambda i: i % 4 == 2)
    # Three rows match and the pools hold at most one of them: every match comes back.
    hits = col.search_hybrid(q, sq, K, filter={"rare": {"$eq": True}})
    assert sorted(h["id"] for h in hits) == [5, 77, 400]
    assert all(h["payload"]["rare"] for h in hits)
    assert len(col.search_hybrid(q, sq, 2, filter={"rare": {"$eq": True}})) == 2
    assert col.search_hybrid(q, sq, K, filter={"g": {"$eq": 9}}) == []
