import re

import numpy as np
import pytest

import kovra_vector_db as kv

DIM = 8
CLASSES = ["FlatIndex", "HnswIndex", "QuantizedFlatIndex", "Fp16FlatIndex", "IvfIndex", "IvfPqIndex",
           "MmapFlatIndex", "BinaryFlatIndex"]
CASES = [(c, m) for c in CLASSES for m in ["l2", "cosine", "dot_product"]]
EXTRA = {"HnswIndex": dict(ef_search=64), "IvfIndex": dict(n_lists=4, nprobe=2, train_size=200),
         "IvfPqIndex": dict(n_lists=4, nprobe=2, train_size=200, pq_m=4, pq_k_sub=16)}


def make(name, metric, tmp_path):
    if name == "MmapFlatIndex":
        return kv.MmapFlatIndex(DIM, metric, str(tmp_path / "m.kvec"))
    return getattr(kv, name)(DIM, metric, **EXTRA.get(name, {}))


def queries(n):
    return np.random.default_rng(3).standard_normal((n, DIM)).astype(np.float32)


@pytest.mark.parametrize("name, metric", CASES)
def test_rows_equal_single_searches(name, metric, tmp_path):
    index = make(name, metric, tmp_path)
    index.add_batch_np(np.random.default_rng(7).standard_normal((300, DIM)).astype(np.float32), start_id=10)
    q = queries(40)
    gone = set(index.search_batch(q, 1)[0][:, 0].tolist())
    for i in gone:
        assert index.delete(i)
    for k in [1, 10, len(index) + 4]:
        ids, distances = index.search_batch(q, k)
        assert ids.shape == distances.shape == (len(q), k)
        assert ids.dtype == np.int64 and distances.dtype == np.float32
        assert not gone & set(ids.ravel().tolist())
        for row, query in enumerate(q):
            hits = index.search(query, k)
            n = len(hits)
            assert sorted(zip(distances[row, :n], ids[row, :n])) == sorted(
                (np.float32(h["distance"]), h["id"]) for h in hits)
            assert list(distances[row, :n]) == [np.float32(h["distance"]) for h in hits]
            assert (ids[row, n:] == -1).all() and np.isposinf(distances[row, n:]).all()
        if k > len(index):
            assert (ids[:, -1] == -1).all()
    one, two = index.search_batch(q, 7, num_threads=1), index.search_batch(q, 7, num_threads=2)
    assert np.array_equal(one[0], two[0]) and np.array_equal(one[1], two[1])


@pytest.mark.parametrize("name", CLASSES)
@pytest.mark.parametrize("stored, rows, k", [(1, 0, 5), (1, 3, 0), (1, 0, 0), (0, 3, 2)])
def test_empty_shapes_and_padding(name, stored, rows, k, tmp_path):
    index = make(name, "l2", tmp_path)
    if stored:
        index.add(1, [1.0] * DIM)
    ids, distances = index.search_batch(np.ones((rows, DIM), np.float32), k)
    assert ids.shape == distances.shape == (rows, k)
    if not stored:
        assert (ids == -1).all() and np.isposinf(distances).all()


@pytest.mark.parametrize("name", CLASSES)
def test_bad_blocks_refused_like_search_and_add_batch_np(name, tmp_path):
    index = make(name, "l2", tmp_path)
    index.add(1, [1.0] * DIM)
    with pytest.raises(ValueError) as single:
        index.search([1.0] * (DIM - 1), 2)
    for rows in [0, 2]:
        with pytest.raises(ValueError, match=re.escape(str(single.value))):
            index.search_batch(np.ones((rows, DIM - 1), np.float32), 2)
    for bad in [np.ones((2, DIM)), np.ones(DIM, np.float32), [[1.0] * DIM]]:
        with pytest.raises(ValueError) as added:
            index.add_batch_np(bad)
        with pytest.raises(ValueError, match=re.escape(str(added.value))):
            index.search_batch(bad, 2)
    method = getattr(kv, name).search_batch
    assert method.__text_signature__ == "($self, queries, k, num_threads=0)"
    assert method.__doc__.startswith("Search every row")
