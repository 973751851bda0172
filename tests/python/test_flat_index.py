import struct

import numpy as np
import pytest

import kovra_vector_db as kv


def ids(results):
    return [r["id"] for r in results]


def test_exact_search_matches_numpy(rng):
    data = rng.normal(size=(500, 16)).astype(np.float32)
    queries = rng.normal(size=(5, 16)).astype(np.float32)
    for metric in ("l2", "cosine", "dot_product"):
        index = kv.FlatIndex(16, metric)
        index.add_batch_np(data)
        for q in queries:
            if metric == "l2":
                d = np.sqrt(((data - q) ** 2).sum(1))
            elif metric == "cosine":
                d = 1 - data @ q / (np.linalg.norm(data, axis=1) * np.linalg.norm(q))
            else:
                d = -(data @ q)
            res = index.search(q, 10)
            assert ids(res) == list(np.argsort(d, kind="stable")[:10])
            assert [r["distance"] for r in res] == pytest.approx(np.sort(d)[:10], rel=1e-4, abs=1e-4)
            assert list(res[0].keys()) == ["id", "distance"]


def test_search_edge_cases():
    index = kv.FlatIndex(2)
    assert index.search([0.0, 0.0], 5) == []
    with pytest.raises(ValueError, match="^dimension mismatch: expected 2, got 3$"):
        index.search([0.0, 0.0, 0.0], 5)
    index.add_batch([(1, [0.0, 0.0]), (2, [3.0, 4.0]), (3, [1.0, 0.0])])
    assert index.search([0.0, 0.0], 0) == []
    res = index.search([0.0, 0.0], 100)
    assert ids(res) == [1, 3, 2]
    assert [r["distance"] for r in res] == [0.0, 1.0, 5.0]


def test_delete_and_readd():
    index = kv.FlatIndex(2)
    index.add(1, [1.0, 1.0])
    assert index.delete(99) is False
    assert index.delete(1) is True
    assert index.delete(1) is False
    assert len(index) == 0 and not index
    index.add(1, [2.0, 2.0])
    assert len(index) == 1
    assert index.search([2.0, 2.0], 5) == [{"id": 1, "distance": 0.0}]


def test_failed_adds_change_nothing():
    index = kv.FlatIndex(2)
    index.add(1, [1.0, 1.0])
    with pytest.raises(KeyError, match="duplicate vector ID: 1"):
        index.add(1, [0.0, 0.0])
    assert len(index) == 1
    entries = [(10, [0.0, 0.0]), (11, [0.0, 0.0]), (12, [0.0]), (13, [0.0, 0.0]), (14, [0.0, 0.0])]
    with pytest.raises(ValueError, match="^dimension mismatch: expected 2, got 1$"):
        index.add_batch(entries)
    assert len(index) == 1


def test_repeated_ids_in_bulk_adds_are_refused():
    index = kv.FlatIndex(2)
    with pytest.raises(KeyError, match="^'duplicate vector ID: 5'$"):
        index.add_batch([(5, [0.0, 0.0]), (6, [0.0, 0.0]), (5, [1.0, 1.0])])
    assert len(index) == 0
    index.add_batch_np(np.zeros((3, 2), dtype=np.float32), start_id=10)
    with pytest.raises(KeyError, match="duplicate vector ID: 11"):
        index.add_batch_np(np.zeros((3, 2), dtype=np.float32), start_id=11)
    assert len(index) == 3


def test_add_batch_np(rng):
    index = kv.FlatIndex(8)
    with pytest.raises(ValueError, match="^dimension mismatch: expected 8, got 7$"):
        index.add_batch_np(np.zeros((4, 7), dtype=np.float32))
    block = rng.normal(size=(3, 8)).astype(np.float32)
    index.add_batch_np(block, start_id=10)
    assert sorted(ids(index.search(block[0], 10))) == [10, 11, 12]
    assert index.search(block[2], 1)[0]["id"] == 12
    # An empty block adds nothing; so does a zero-column block on a 0-d index.
    index.add_batch_np(np.zeros((0, 8), dtype=np.float32))
    assert len(index) == 3
    zero = kv.FlatIndex(0)
    zero.add_batch_np(np.zeros((5, 0), dtype=np.float32))
    assert len(zero) == 0


def test_zero_dimension_index():
    index = kv.FlatIndex(0)
    index.add(1, [])
    assert index.search([], 3) == [{"id": 1, "distance": 0.0}]


def test_properties_and_repr():
    index = kv.FlatIndex(4, metric="cosine")
    index.add(1, [1.0, 0.0, 0.0, 0.0])
    assert index.dimensions == 4
    assert index.metric == "cosine"
    assert repr(index) == 'FlatIndex(dimensions=4, metric="cosine", len=1)'
    with pytest.raises(AttributeError):
        index.dimensions = 3


def test_docstrings():
    assert kv.FlatIndex.add.__doc__ == "Add a single vector with the given ID."
    assert kv.FlatIndex.add_batch.__doc__ == "Add multiple vectors at once. Takes a list of (id, vector) tuples."
    assert kv.FlatIndex.add_batch_np.__doc__ == (
        "Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`.\n"
        "This is the fastest way to insert vectors — no per-element Python extraction.")
    assert kv.FlatIndex.search.__doc__ == (
        'Search for the k nearest vectors. Returns list of {"id": int, "distance": float}.')
    assert kv.FlatIndex.delete.__doc__ == "Remove a vector by ID. Returns True if found and removed."
    assert kv.FlatIndex.save.__doc__ == "Save index to a binary file."
    assert kv.FlatIndex.load.__doc__ == "Load a previously saved index from a binary file."
    assert kv.FlatIndex.dimensions.__doc__ == "Number of dimensions per vector."
    assert kv.FlatIndex.metric.__doc__ == 'Distance metric ("l2", "cosine", or "dot_product").'
    doc = kv.FlatIndex.__doc__
    assert "100% recall" in doc and "O(N*D)" in doc and "<100K vectors" in doc and "384" in doc


def test_save_file_layout(tmp_path):
    index = kv.FlatIndex(2, "dot_product")
    index.add_batch([(7, [1.0, 2.0]), (9, [3.0, 4.0])])
    index.delete(7)
    path = tmp_path / "flat.bin"
    index.save(str(path))
    expected = (struct.pack("<Q", 2) + struct.pack("<I", 2)
                + struct.pack("<Q4f", 4, 1.0, 2.0, 3.0, 4.0)
                + struct.pack("<QQQ", 2, 7, 9)
                + struct.pack("<Q", 2) + bytes([0, 1]))
    assert path.read_bytes() == expected


def test_save_load_round_trip(tmp_path, rng):
    index = kv.FlatIndex(16, "cosine")
    data = rng.normal(size=(200, 16)).astype(np.float32)
    index.add_batch_np(data)
    for i in range(0, 200, 3):
        index.delete(i)
    path = str(tmp_path / "f.bin")
    index.save(path)
    loaded = kv.FlatIndex.load(path)
    assert len(loaded) == len(index)
    assert repr(loaded) == repr(index)
    for q in data[:10]:
        assert loaded.search(q, 15) == index.search(q, 15)
    assert 0 not in ids(loaded.search(data[0], 200))
    # Bytes after the record are not read.
    with open(path, "ab") as f:
        f.write(b"trailing")
    assert len(kv.FlatIndex.load(path)) == len(index)


def test_damaged_files_are_rejected(tmp_path):
    path = tmp_path / "f.bin"
    good = (struct.pack("<QI", 2, 0) + struct.pack("<Q2f", 2, 1.0, 2.0)
            + struct.pack("<QQ", 1, 5) + struct.pack("<Q", 1) + b"\x01")
    path.write_bytes(good)
    assert len(kv.FlatIndex.load(str(path))) == 1

    def load(data):
        path.write_bytes(data)
        return kv.FlatIndex.load(str(path))

    with pytest.raises(RuntimeError, match="^serialization error: "):
        load(good[:8] + struct.pack("<I", 3) + good[12:])  # metric id 3
    with pytest.raises(RuntimeError, match="^serialization error: "):
        load(good[:-1] + b"\x02")  # flag byte other than 0/1
    for cut in range(len(good)):
        with pytest.raises(RuntimeError, match="^serialization error: "):
            load(good[:cut])
    # Arrays that disagree would let a search read out of bounds.
    with pytest.raises(RuntimeError, match="^serialization error: "):
        load(struct.pack("<QI", 3, 0) + struct.pack("<Q2f", 2, 1.0, 2.0)
             + struct.pack("<QQ", 1, 5) + struct.pack("<Q", 1) + b"\x01")
    with pytest.raises(RuntimeError, match="^serialization error: "):
        load(struct.pack("<QI", 2, 0) + struct.pack("<Q2f", 2, 1.0, 2.0)
             + struct.pack("<QQ", 1, 5) + struct.pack("<Q", 2) + b"\x01\x01")
    # A huge count must fail cleanly, not allocate.
    with pytest.raises(RuntimeError, match="^serialization error: "):
        load(struct.pack("<QI", 2, 0) + struct.pack("<Q", 2 ** 61))


def test_duplicate_slots_in_a_file_are_counted_as_stored(tmp_path):
    # Files written before duplicate ids were refused may hold one id twice.
    path = tmp_path / "dup.bin"
    path.write_bytes(struct.pack("<QI", 1, 0) + struct.pack("<Q2f", 2, 1.0, 2.0)
                     + struct.pack("<QQQ", 2, 4, 4) + struct.pack("<Q", 2) + b"\x01\x01")
    index = kv.FlatIndex.load(str(path))
    assert len(index) == 2
    assert index.delete(4) is True
    assert index.search([2.0], 5) == [{"id": 4, "distance": 1.0}]


def test_searches_from_several_threads(rng):
    import threading
    data = rng.normal(size=(2000, 32)).astype(np.float32)
    index = kv.FlatIndex(32)
    index.add_batch_np(data)
    failures = []

    def worker(offset):
        for i in range(offset, 2000, 97):
            if index.search(data[i], 1)[0]["id"] != i:
                failures.append(i)

    threads = [threading.Thread(target=worker, args=(o,)) for o in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
