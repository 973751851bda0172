import numpy as np
import pytest

import kovra_vector_db as kv

DIM = 8
METRICS = ["l2", "cosine", "dot_product"]


def make(name, metric, tmp_path):
    if name == "HnswIndex":
        return kv.HnswIndex(DIM, metric, ef_search=64)
    if name == "IvfIndex":
        return kv.IvfIndex(DIM, metric, n_lists=4, nprobe=2, train_size=200)
    if name == "IvfPqIndex":
        return kv.IvfPqIndex(DIM, metric, n_lists=4, nprobe=2, train_size=200, pq_m=4, pq_k_sub=16)
    if name == "MmapFlatIndex":
        return kv.MmapFlatIndex(DIM, metric, str(tmp_path / f"{metric}.kvec"))
    return getattr(kv, name)(DIM, metric)


CLASSES = ["FlatIndex", "HnswIndex", "QuantizedFlatIndex", "Fp16FlatIndex", "IvfIndex", "IvfPqIndex",
           "MmapFlatIndex", "BinaryFlatIndex"]
CASES = [(c, m) for c in CLASSES for m in METRICS]


@pytest.fixture(params=CASES, ids=[f"{c}-{m}" for c, m in CASES])
def filled(request, tmp_path):
    name, metric = request.param
    index = make(name, metric, tmp_path)
    data = np.random.default_rng(7).standard_normal((300, DIM)).astype(np.float32)
    index.add_batch_np(data, start_id=10)
    return index


def queries(n, seed=3):
    return np.random.default_rng(seed).standard_normal((n, DIM)).astype(np.float32)


def expect_rows_match(index, q, k, ids, distances):
    assert ids.shape == distances.shape == (len(q), k)
    assert ids.dtype == np.int64 and distances.dtype == np.float32
    for row, query in enumerate(q):
        hits = index.search(query, k)
        want = sorted((np.float32(h["distance"]), h["id"]) for h in hits)
        got = sorted(zip(distances[row, :len(hits)], ids[row, :len(hits)]))
        assert got == want, row
        # Closest first, then the padding.
        assert list(distances[row, :len(hits)]) == [np.float32(h["distance"]) for h in hits]
        assert (ids[row, len(hits):] == -1).all()
        assert np.isposinf(distances[row, len(hits):]).all()


@pytest.mark.parametrize("k", [1, 10])
def test_rows_equal_single_searches(filled, k):
    q = queries(40)
    ids, distances = filled.search_batch(q, k)
    expect_rows_match(filled, q, k, ids, distances)


def test_k_above_the_count_is_padded(filled):
    q = queries(5)
    ids, distances = filled.search_batch(q, len(filled) + 4)
    expect_rows_match(filled, q, len(filled) + 4, ids, distances)
    assert (ids[:, -4:] == -1).all()


def test_a_deleted_id_is_never_returned(filled):
    q = queries(20)
    first = filled.search_batch(q, 1)[0][:, 0]
    for gone in set(first.tolist()):
        assert filled.delete(gone)
    ids, distances = filled.search_batch(q, 5)
    assert not set(ids.ravel().tolist()) & set(first.tolist())
    expect_rows_match(filled, q, 5, ids, distances)


def test_thread_counts_agree(filled):
    q = queries(64)
    one = filled.search_batch(q, 7, num_threads=1)
    two = filled.search_batch(q, 7, num_threads=2)
    default = filled.search_batch(q, k=7)
    for a, b in [(one, two), (one, default)]:
        assert np.array_equal(a[0], b[0]) and np.array_equal(a[1], b[1])


@pytest.mark.parametrize("name", CLASSES)
@pytest.mark.parametrize("rows, k, shape", [(0, 5, (0, 5)), (3, 0, (3, 0)), (0, 0, (0, 0))])
def test_empty_shapes(name, rows, k, shape, tmp_path):
    index = make(name, "l2", tmp_path)
    index.add(1, [1.0] * DIM)
    ids, distances = index.search_batch(np.ones((rows, DIM), np.float32), k)
    assert ids.shape == distances.shape == shape
    assert ids.dtype == np.int64 and distances.dtype == np.float32


@pytest.mark.parametrize("name", CLASSES)
def test_an_empty_index_pads_every_row(name, tmp_path):
    ids, distances = make(name, "l2", tmp_path).search_batch(queries(3), 2)
    assert (ids == -1).all() and np.isposinf(distances).all()


@pytest.mark.parametrize("name", CLASSES)
def test_wrong_width_raises_as_search_does(name, tmp_path):
    index = make(name, "l2", tmp_path)
    index.add(1, [1.0] * DIM)
    with pytest.raises(ValueError) as single:
        index.search([1.0] * (DIM - 1), 2)
    for rows in [0, 2]:
        with pytest.raises(ValueError) as batch:
            index.search_batch(np.ones((rows, DIM - 1), np.float32), 2)
        assert str(batch.value) == str(single.value)


@pytest.mark.parametrize("name", CLASSES)
@pytest.mark.parametrize("bad", [np.ones((2, DIM)), np.ones(DIM, np.float32), [[1.0] * DIM]])
def test_blocks_refused_like_add_batch_np(name, bad, tmp_path):
    index = make(name, "l2", tmp_path)
    with pytest.raises(ValueError) as added:
        index.add_batch_np(bad)
    with pytest.raises(ValueError) as searched:
        index.search_batch(bad, 2)
    assert str(searched.value) == str(added.value)


def test_docstring_and_signature():
    for name in CLASSES:
        doc = getattr(kv, name).search_batch.__doc__
        assert doc.startswith("Search every row"), name
        assert getattr(kv, name).search_batch.__text_signature__ == "($self, queries, k, num_threads=0)"
