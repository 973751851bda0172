import math
import os

import numpy as np
import pytest

import kovra_vector_db as kv
from test_collection import reopen

f32 = np.float32


def fused(d, s, d_min, d_range, s_min, s_range, dw=0.7, sw=0.3):
    d, s, d_min, d_range, s_min, s_range, dw, sw = map(f32, (d, s, d_min, d_range, s_min, s_range, dw, sw))
    return float(dw * (f32(1) - (d - d_min) / d_range) + sw * ((s - s_min) / s_range))


@pytest.fixture
def line(tmp_path):
    """Ids 0..24 at [i, 0] (L2, so the distance from the origin is i), four with sparse vectors."""
    col = kv.Client(str(tmp_path / "db")).create_collection("h", 2, metric="l2", index_type="flat")
    sparse = {0: {1: 1.0}, 5: {1: 2.0, 2: 1.0}, 22: {1: 4.0}, 24: {2: 3.0}}
    for i in range(25):
        col.upsert_hybrid(i, [float(i), 0.0], sparse.get(i), {"far": True} if i == 24 else None)
    return col


# (sparse query, k, weights, filter, (d_min, d_range, s_min, s_range) of the pools,
#  expected hits as (id, dense_distance, sparse_score) in rank order)
HYBRID_CASES = [
    # Pools of 10 k: dense 0..19, sparse {0: 1, 5: 2, 22: 4}.
    ({1: 1.0}, 2, (0.7, 0.3), None, (0, 19, 1, 3), [(0, 0, 1), (5, 5, 2)]),
    # Dense pool 0..9: 22 is sparse-only and gets the largest distance of the pool.
    ({1: 1.0}, 1, (0.1, 0.9), None, (0, 9, 1, 3), [(22, 9, 4)]),
    # An empty sparse pool has the range 0..1: every sparse part is 0.
    ({}, 3, (0.7, 0.3), None, (0, 24, 0, 1), [(0, 0, 0), (1, 1, 0), (2, 2, 0)]),
    # Dense only: the best of the pool scores 1, the worst 0.
    ({}, 25, (1.0, 0.0), None, (0, 24, 0, 1), [(i, i, 0) for i in range(25)]),
    # A dense-only hit has the normalized sparse score (0 - 1) / 3 < 0.
    ({1: 1.0}, 3, (0.7, 0.3), None, (0, 24, 1, 3), [(0, 0, 1), (5, 5, 2), (1, 1, 0)]),
    # The filter runs after the pools: 24 is in the sparse pool here, and the
    # ranges are those of the unfiltered pools.
    ({2: 1.0}, 1, (0.7, 0.3), {"far": {"$eq": True}}, (0, 9, 1, 2), [(24, 9, 3)]),
    # ... but not here: the pools hold no match, so they are formed again
    # from the matches alone: 24 at distance 24 (range 1e-9) and no sparse
    # candidate (range 0..1).
    ({1: 1.0}, 1, (0.7, 0.3), {"far": {"$eq": True}}, (24, 1e-9, 0, 1), [(24, 24, 0)]),
]


@pytest.mark.parametrize("query,k,weights,flt,ranges,expected", HYBRID_CASES)
def test_hybrid_scores_to_the_last_bit(line, query, k, weights, flt, ranges, expected):
    hits = line.search_hybrid([0.0, 0.0], query, k, *weights, filter=flt)
    assert [(h["id"], h["dense_distance"], h["sparse_score"]) for h in hits] == expected
    for h, (_, d, s) in zip(hits, expected):
        assert h["score"] == fused(d, s, *ranges, *weights)
        assert list(h) == ["id", "score", "dense_distance", "sparse_score", "payload"]
    if expected and expected[0][0] == 24:
        assert hits[0]["payload"] == {"far": True}
    elif hits:
        assert hits[0]["payload"] is None


def test_hybrid_defaults_and_extremes(line):
    # 0.7 and 0.3 are narrowed to 32 bits before they weigh.
    hits = line.search_hybrid([0.0, 0.0], {1: 1.0}, 1)
    assert hits[0]["score"] == float(f32(0.7) * f32(1) + f32(0.3) * f32(0))
    assert line.search_hybrid([0.0, 0.0], {1: 1.0}, 0) == []
    # A NaN sparse score is left out of the range and ranks after every number.
    hits = line.search_hybrid([0.0, 0.0], {1: float("nan")}, 25)
    assert [h["id"] for h in hits[:22]] == [i for i in range(25) if i not in (0, 5, 22)]
    assert sorted(h["id"] for h in hits[22:]) == [0, 5, 22] and all(math.isnan(h["score"]) for h in hits[22:])
    assert hits[0]["score"] == fused(1, 0, 0, 24, 0, 1)


def test_equal_dense_distances_give_every_hit_the_full_dense_weight(tmp_path):
    col = kv.Client(str(tmp_path / "db")).create_collection("e", 2, metric="l2", index_type="flat")
    for i, v in enumerate([[1, 0], [0, 1], [-1, 0]]):
        col.upsert_hybrid(i, v, {4: float(i)} if i else None)
    hits = col.search_hybrid([0, 0], {4: 1.0}, 3)
    # Dense range 1e-9: every dense part is 0.7; sparse pool {1: 1, 2: 2}.
    assert [(h["id"], h["score"]) for h in hits] == [
        (2, fused(1, 2, 1, 1e-9, 1, 1)), (1, fused(1, 1, 1, 1e-9, 1, 1)), (0, fused(1, 0, 1, 1e-9, 1, 1))]
    assert hits[1]["score"] == float(f32(0.7))
    # k beyond the collection returns what there is.
    assert len(col.search_hybrid([0, 0], {}, 3)) == 3 and len(col.search_hybrid([0, 0], {}, 10**6)) == 3


def test_sparse_vectors_are_kept_replaced_and_persisted(tmp_path):
    path = str(tmp_path / "db")
    col = kv.Client(path).create_collection("s", 2, metric="l2", index_type="hnsw")
    col.upsert_hybrid(1, [1, 0], {3: 2.0})
    col.upsert_hybrid(1, [1, 0])  # no sparse vector: the old one stays
    col.upsert(1, [1, 0], {"p": 1})  # neither does a plain upsert touch it
    assert col.sparse_count == 1
    assert col.search_hybrid([1, 0], {3: 1.0}, 1)[0]["sparse_score"] == 2.0
    col.upsert_hybrid(1, [1, 0], {7: 1.0})  # replaced: index 3 has no posting left
    col.upsert_hybrid(2, [2, 0], {})  # an empty sparse vector still counts
    assert col.sparse_count == 2
    assert [h["sparse_score"] for h in col.search_hybrid([1, 0], {3: 1.0}, 2)] == [0.0, 0.0]
    log_size = os.path.getsize(os.path.join(path, "s", "wal.log"))
    with pytest.raises(ValueError, match="dimension mismatch: expected 2, got 3"):
        col.upsert_hybrid(3, [1, 2, 3], {9: 1.0})
    with pytest.raises(TypeError, match="argument 'sparse_vector'"):
        col.upsert_hybrid(3, [1, 2], [(9, 1.0)])
    with pytest.raises(OverflowError):
        col.upsert_hybrid(3, [1, 2], {2**32: 1.0})
    with pytest.raises(ValueError, match="dimension mismatch"):
        col.upsert_hybrid(2**32, [1, 2, 3], {9: 1.0})
    assert (col.sparse_count, col.count) == (2, 2)
    assert os.path.getsize(os.path.join(path, "s", "wal.log")) == log_size
    del col
    col = reopen(path, "s")
    assert (col.sparse_count, col.count) == (2, 2)
    assert col.search_hybrid([1, 0], {7: 1.0}, 1)[0] == {
        "id": 1, "score": fused(0, 1, 0, 1, 1, 1e-9), "dense_distance": 0.0, "sparse_score": 1.0,
        "payload": None}
    col.delete(1)
    assert col.sparse_count == 1


@pytest.mark.parametrize("args,error,message", [
    (([0, 0, 0], {1: 1.0}, 3), ValueError, "dimension mismatch: expected 2, got 3"),
    (([0, 0], {1: 1.0}, 3, 0.7, 0.3, {"a": 1}), ValueError, "invalid filter: "),
    (([0, 0], None, 3), TypeError, "argument 'sparse_query'"),
    (([0, 0], {}, 1, "x"), TypeError, "argument 'dense_weight'"),
])
def test_hybrid_search_argument_errors(line, args, error, message):
    with pytest.raises(error, match=message):
        line.search_hybrid(*args)


# ---- the pruned sparse pool and batches against the plain definition

def zipf_rows(rng, n, nnz, vocab, a, low, high):
    """n dicts of nnz distinct dimensions, P(d) ~ (d + 1)^-a, weights uniform in [low, high)."""
    p = (np.arange(vocab) + 1.0) ** -a
    p /= p.sum()
    rows = []
    for _ in range(n):
        dims = rng.choice(vocab, size=nnz, replace=False, p=p)
        rows.append({int(d): float(w) for d, w in zip(dims, rng.uniform(low, high, nnz).astype(f32))})
    return rows


def sparse_pool(rows, query, pool):
    """The pool by definition: every shared dimension added in the query's order, in float32."""
    scores = {}
    for i, row in enumerate(rows):
        s, shared = f32(0), False
        for d in sorted(query):
            if d in row:
                s, shared = f32(s + f32(row[d]) * f32(query[d])), True
        if shared:
            scores[i] = s
    return sorted(scores.items(), key=lambda e: -e[1])[:pool]


def plain_hybrid(col, dense, query, rows, k, dw=0.7, sw=0.3):
    """search_hybrid as defined: dense pool from search(10 k), sparse pool by definition, fused."""
    dmap = {h["id"]: f32(h["distance"]) for h in col.search(dense, 10 * k)}
    smap = dict(sparse_pool(rows, query, 10 * k))
    d_min, d_max = (min(dmap.values()), max(dmap.values())) if dmap else (f32(0), f32(1))
    s_min, s_max = (min(smap.values()), max(smap.values())) if smap else (f32(0), f32(1))
    d_range, s_range = max(f32(d_max - d_min), f32(1e-9)), max(f32(s_max - s_min), f32(1e-9))
    hits = [(i, fused(dmap.get(i, d_max), smap.get(i, 0), d_min, d_range, s_min, s_range, dw, sw))
            for i in set(dmap) | set(smap)]
    return sorted(hits, key=lambda h: (-h[1], h[0]))[:k]


# (vocabulary, Zipf exponent, weights low..high, query dimensions, query weights low..high)
SPARSE_SETS = {
    "skewed": (400, 1.1, 0.1, 1.0, 5, 0.1, 1.0),
    "flat": (60, 0.0, 0.1, 1.0, 4, 0.1, 1.0),
    "negative": (200, 1.0, -1.0, 1.0, 4, -1.0, 1.0),
    "one_term": (100, 1.0, 0.1, 1.0, 1, 0.5, 1.0),
}


@pytest.fixture(scope="module", params=list(SPARSE_SETS), ids=list(SPARSE_SETS))
def sparse_set(request, tmp_path_factory):
    vocab, a, low, high, qn, qlow, qhigh = SPARSE_SETS[request.param]
    rng = np.random.default_rng(7)
    n, dim = 1500, 8
    dense = rng.standard_normal((n, dim)).astype(f32)
    rows = zipf_rows(rng, n, 12, vocab, a, low, high)
    queries = zipf_rows(rng, 12, qn, vocab, a, qlow, qhigh) + [{}]
    path = str(tmp_path_factory.mktemp("sparse_set") / "db")
    col = kv.Client(path).create_collection("z", dim, metric="l2", index_type="flat")
    # A third of the rows are deleted and a tenth replaced, so that slots are reused.
    for i in range(n):
        col.upsert_hybrid(i, dense[i], {5000 + i: 1.0}, {"odd": i % 2})
    for i in range(0, n, 3):
        col.delete(i)
    for i in range(n):
        if i % 3 == 0 or i % 10 == 1:
            col.upsert_hybrid(i, dense[i], rows[i], {"odd": i % 2})
    return path, dense, rows, queries, rng.standard_normal((len(queries), dim)).astype(f32)


def test_hybrid_equals_its_definition_on_skewed_flat_and_negative_weights(sparse_set):
    path, dense, rows, queries, dq = sparse_set
    live_rows = list(rows)
    for i in range(len(rows)):
        if not (i % 3 == 0 or i % 10 == 1):
            live_rows[i] = {5000 + i: 1.0}
    col = reopen(path, "z")
    for k in (1, 10):
        for q, d in zip(queries, dq):
            got = [(h["id"], h["score"]) for h in col.search_hybrid(d, q, k)]
            assert sorted(got, key=lambda h: (-h[1], h[0])) == plain_hybrid(col, d, q, live_rows, k)


@pytest.mark.parametrize("index_type", ["flat", "hnsw"])
@pytest.mark.parametrize("flt", [None, {"odd": {"$eq": 1}}], ids=["unfiltered", "filtered"])
@pytest.mark.parametrize("k", [0, 1, 10])
def test_hybrid_batch_equals_single_calls(tmp_path, index_type, flt, k):
    rng = np.random.default_rng(3)
    n, dim = 600, 6
    dense = rng.standard_normal((n, dim)).astype(f32)
    rows = zipf_rows(rng, n, 8, 150, 1.1, 0.1, 1.0)
    col = kv.Client(str(tmp_path / "db")).create_collection("b", dim, metric="l2", index_type=index_type)
    for i in range(n):
        col.upsert_hybrid(i, dense[i], rows[i], {"odd": i % 2})
    queries = zipf_rows(rng, 40, 3, 150, 1.1, 0.1, 1.0) + [{}]
    dq = rng.standard_normal((len(queries), dim)).astype(f32)
    got = col.search_hybrid_batch(dq, queries, k, 0.6, 0.4, filter=flt)
    assert got == [col.search_hybrid(d, q, k, 0.6, 0.4, filter=flt) for d, q in zip(dq, queries)]
    assert col.search_hybrid_batch(dq[:0], [], k) == []


@pytest.mark.parametrize("args,error,message", [
    ((np.zeros((2, 3), f32), [{}, {}], 3), ValueError, "dimension mismatch: expected 2, got 3"),
    ((np.zeros((2, 2), f32), [{}], 3), ValueError, "one dict per row, got 1 for 2 rows"),
    ((np.zeros((1, 2), f32), ({},), 3), TypeError, "argument 'sparse_queries'"),
    ((np.zeros((1, 2), f32), [[1]], 3), TypeError, "argument 'sparse_queries'"),
    ((np.zeros((1, 2), f32), [{}], 3, 0.7, 0.3, {"a": 1}), ValueError, "invalid filter: "),
    (([[0.0, 0.0]], [{}], 3), ValueError, "buffer protocol"),
])
def test_hybrid_batch_argument_errors(line, args, error, message):
    with pytest.raises(error, match=message):
        line.search_hybrid_batch(*args)
