import inspect
import struct
import threading

import numpy as np
import pytest

import kovra_vector_db as kv


def ids(results):
    return [r["id"] for r in results]


def test_surface():
    index = kv.HnswIndex(4)
    assert repr(index) == 'HnswIndex(dimensions=4, metric="l2", len=0)'
    assert len(index) == 0 and not index
    assert index.search([0.0] * 4, 3) == []
    assert index.delete(0) is False
    assert index.dimensions == 4 and index.metric == "l2"
    assert str(inspect.signature(kv.HnswIndex)) == (
        "(dimensions, metric='l2', ef_construction=200, ef_search=50, m=12)")
    assert str(inspect.signature(kv.HnswIndex.add_batch_parallel)) == (
        "(self, /, vectors, start_id=0, num_threads=0, micro_batch_size=256)")
    assert kv.HnswIndex.__doc__.startswith(
        "Graph-based approximate nearest-neighbour index (HNSW). 95-99% recall.")
    assert "ef_search: Query beam width (default 50). Tunable at runtime." in kv.HnswIndex.__doc__
    assert kv.HnswIndex.flush.__doc__ == "Build the HNSW graph. Call after bulk inserts for best performance."
    assert "neighbor search using `num_threads` threads." in kv.HnswIndex.add_batch_parallel.__doc__
    assert index.flush() is None
    with pytest.raises(ValueError, match="unknown metric"):
        kv.HnswIndex(4, "L2")


def test_recall_against_flat(rng):
    data = rng.normal(size=(3000, 16)).astype(np.float32)
    queries = rng.normal(size=(50, 16)).astype(np.float32)
    for metric in ("l2", "cosine", "dot_product"):
        hnsw = kv.HnswIndex(16, metric, ef_construction=100, ef_search=64)
        flat = kv.FlatIndex(16, metric)
        hnsw.add_batch_np(data)
        flat.add_batch_np(data)
        found = sum(len(set(ids(hnsw.search(q, 10))) & set(ids(flat.search(q, 10)))) for q in queries)
        assert found / 500 >= 0.95, metric
        assert [r["distance"] for r in hnsw.search(queries[0], 3)] == pytest.approx(
            [r["distance"] for r in flat.search(queries[0], 3)], rel=1e-5, abs=1e-5)


def test_bulk_ids_and_edge_cases(rng):
    index = kv.HnswIndex(4)
    block = rng.normal(size=(3, 4)).astype(np.float32)
    index.add_batch_np(block, start_id=5)
    res = index.search(block[1], 3)
    assert res[0] == {"id": 6, "distance": 0.0}
    assert sorted(ids(res)) == [5, 6, 7]
    for method in (index.add_batch_np, index.add_batch_parallel):
        method(np.zeros((0, 4), np.float32), start_id=2**40)
        with pytest.raises(ValueError, match="^dimension mismatch: expected 4, got 5$"):
            method(np.zeros((2, 5), np.float32))
    assert len(index) == 3
    index.add_batch_np(block, start_id=5)  # over live ids
    assert len(index) == 3
    with pytest.raises(KeyError, match="duplicate vector ID: 5"):
        index.add(5, block[0])
    with pytest.raises(ValueError, match="^dimension mismatch: expected 4, got 3$"):
        index.add_batch([(10, [0.0] * 4), (11, [0.0] * 3)])
    assert len(index) == 3
    dot = kv.HnswIndex(2, "dot_product")
    dot.add(1, [1.0, 2.0])
    assert dot.search([3.0, 4.0], 1) == [{"id": 1, "distance": -11.0}]


SPREAD_IDS = [0, 2**32, 2**63, 2**64 - 1, 2**32 - 1] + [
    int(v) for v in np.random.default_rng(17).integers(0, 2**63, 195, dtype=np.uint64) * 2 + 1
]
ADD_PATHS = {
    "add": lambda index, ids, rows: [index.add(i, r) for i, r in zip(ids, rows)],
    "add_batch": lambda index, ids, rows: index.add_batch(list(zip(ids, rows))),
}


@pytest.mark.parametrize("path", ADD_PATHS)
def test_any_64_bit_id_is_added_found_deleted_and_saved(path, rng, tmp_path):
    data = rng.random((len(SPREAD_IDS), 8), dtype=np.float32)
    index = kv.HnswIndex(8, ef_search=256, m=8)
    ADD_PATHS[path](index, SPREAD_IDS, data)
    assert len(index) == len(SPREAD_IDS)
    assert [index.search(v, 1)[0]["id"] for v in data] == SPREAD_IDS
    for i in SPREAD_IDS[::3]:
        assert index.delete(i) is True
    assert index.delete(SPREAD_IDS[0]) is False
    gone = set(SPREAD_IDS[::3])
    assert not gone & {h["id"] for v in data for h in index.search(v, 3)}
    index.save(str(tmp_path / "g"))
    loaded = kv.HnswIndex.load(str(tmp_path / "g"))
    assert len(loaded) == len(index)
    assert [loaded.search(v, 3) for v in data] == [index.search(v, 3) for v in data]
    loaded.save(str(tmp_path / "again"))
    assert open(tmp_path / "again", "rb").read() == open(tmp_path / "g", "rb").read()


@pytest.mark.parametrize("start", [2**32 - 2, 2**63, 2**64 - 2])
@pytest.mark.parametrize("method", ["add_batch_np", "add_batch_parallel"])
def test_blocks_start_anywhere_and_wrap_like_every_index(method, start):
    index = kv.HnswIndex(2)
    index.add(5, [1.0, 1.0])
    getattr(index, method)(np.array([[0, 0], [0, 1], [0, 2]], np.float32), start_id=start)
    assert len(index) == 4
    assert [index.search([0.0, float(r)], 1)[0]["id"] for r in range(3)] == [(start + r) % 2**64 for r in range(3)]


def test_parallel_build_finds_every_row(rng):
    data = rng.normal(size=(2000, 16)).astype(np.float32)
    index = kv.HnswIndex(16, ef_construction=100, ef_search=64, m=8)
    index.add_batch_parallel(data, start_id=100, num_threads=2, micro_batch_size=200)
    assert len(index) == 2000
    found = sum(index.search(v, 1)[0]["id"] == i + 100 for i, v in enumerate(data))
    assert found >= 1980
    small = kv.HnswIndex(16)
    small.add_batch_parallel(data[:100], micro_batch_size=0, num_threads=0)
    assert len(small) == 100


def test_save_load_gives_identical_results(rng, tmp_path):
    data = rng.normal(size=(1500, 8)).astype(np.float32)
    queries = rng.normal(size=(30, 8)).astype(np.float32)
    index = kv.HnswIndex(8, "cosine", ef_construction=64, ef_search=32, m=6)
    index.add_batch_np(data)
    for i in range(0, 1500, 5):
        index.delete(i)
    index.delete(1499)
    path = str(tmp_path / "index.bin")
    index.save(path)
    loaded = kv.HnswIndex.load(path)
    assert repr(loaded) == repr(index)
    for q in queries:
        assert loaded.search(q, 10) == index.search(q, 10)

    empty = str(tmp_path / "empty.bin")
    kv.HnswIndex(3).save(empty)
    with open(empty, "rb") as f:
        raw = f.read()
    assert len(raw) == 77
    assert struct.unpack_from("<QIQQQ", raw) == (3, 0, 200, 50, 12)
    with pytest.raises(OSError):
        kv.HnswIndex.load(str(tmp_path / "missing"))
    with open(str(tmp_path / "junk"), "wb") as f:
        f.write(b"\x01\x02\x03")
    with pytest.raises(RuntimeError, match="^serialization error: "):
        kv.HnswIndex.load(str(tmp_path / "junk"))


def test_legacy_file_loads(tmp_path):
    vectors = {3: [1.0, 0.0], 9: [0.0, 1.0], 4: [2.0, 2.0]}
    raw = struct.pack("<QIQQQQ", 2, 0, 200, 50, 12, len(vectors))
    for i, v in vectors.items():
        raw += struct.pack("<QQ2f", i, 2, *v)
    path = str(tmp_path / "legacy.bin")
    with open(path, "wb") as f:
        f.write(raw)
    index = kv.HnswIndex.load(path)
    assert len(index) == 3
    for i, v in vectors.items():
        assert index.search(v, 1) == [{"id": i, "distance": 0.0}]


def test_searches_from_several_threads(rng):
    data = rng.normal(size=(2000, 16)).astype(np.float32)
    index = kv.HnswIndex(16, ef_search=64)
    index.add_batch_np(data)
    expected = [index.search(v, 5) for v in data[:200]]
    assert sum(e[0]["id"] == i for i, e in enumerate(expected)) >= 198
    errors = []

    def worker(offset):
        try:
            for rep in range(3):
                for i in range(offset, 200, 4):
                    if index.search(data[i], 5) != expected[i]:
                        errors.append(i)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
