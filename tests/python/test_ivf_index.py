import struct
import threading

import numpy as np
import pytest

import kovra_vector_db as kv


def ids(results):
    return [r["id"] for r in results]


def blobs(rng, n, dim, centres):
    c = rng.normal(size=(centres, dim)).astype(np.float32) * 10
    return (c[np.arange(n) % centres] + rng.normal(size=(n, dim)).astype(np.float32)).astype(np.float32)


def exact(data, q, metric):
    if metric == "l2":
        return np.sqrt(((data - q) ** 2).sum(1))
    if metric == "cosine":
        return 1 - data @ q / (np.linalg.norm(data, axis=1) * np.linalg.norm(q))
    return -(data @ q)


def test_surface():
    doc = kv.IvfIndex.__doc__
    assert doc == (
        "Inverted file index. Cluster-based ANN using k-means.\n\n"
        "Auto-trains after train_size inserts. Rule of thumb: n_lists = sqrt(N).\n\n"
        "Args:\n"
        "    dimensions: Number of dimensions per vector.\n"
        '    metric: Distance metric - "l2", "cosine", or "dot_product".\n'
        "    n_lists: Number of clusters (default 256).\n"
        "    nprobe: Clusters scanned per query (default 16).\n"
        "    train_size: Vectors buffered before auto-training (default 4096).")
    assert kv.IvfIndex.__text_signature__ == '(dimensions, metric="l2", n_lists=256, nprobe=16, train_size=4096)'
    sigs = {"add": "($self, id, vector)", "add_batch": "($self, entries)",
            "add_batch_np": "($self, vectors, start_id=0)", "search": "($self, query, k)",
            "delete": "($self, id)", "flush": "($self)", "save": "($self, path)", "load": "(path)"}
    for name, sig in sigs.items():
        assert getattr(kv.IvfIndex, name).__text_signature__ == sig
        if name != "add_batch_np":
            assert getattr(kv.IvfIndex, name).__doc__ is None
    assert kv.IvfIndex.add_batch_np.__doc__ == (
        "Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`.")
    index = kv.IvfIndex(3, metric="dot_product")
    assert repr(index) == 'IvfIndex(dimensions=3, metric="dot_product", len=0)'
    assert index.dimensions == 3 and index.metric == "dot_product"
    assert not index
    with pytest.raises(AttributeError):
        index.metric = "l2"


def test_constructor_arguments():
    with pytest.raises(ValueError, match="^invalid configuration: n_lists must be at least 1$"):
        kv.IvfIndex(4, n_lists=0)
    with pytest.raises(ValueError, match='^unknown metric "L2"'):
        kv.IvfIndex(4, "L2")
    with pytest.raises(OverflowError):
        kv.IvfIndex(4, nprobe=-1)
    with pytest.raises(TypeError, match="^argument 'train_size': "):
        kv.IvfIndex(4, train_size="many")
    index = kv.IvfIndex(dimensions=2, metric="cosine", n_lists=1, nprobe=0, train_size=1)
    index.add(1, [1.0, 0.0])
    # Trained on one vector with nprobe 0: no list is scanned.
    assert index.search([1.0, 0.0], 3) == []


def test_untrained_search_is_exact(rng):
    data = rng.normal(size=(60, 8)).astype(np.float32)
    for metric in ("l2", "cosine", "dot_product"):
        index = kv.IvfIndex(8, metric, n_lists=4)
        index.add_batch_np(data)
        q = rng.normal(size=8).astype(np.float32)
        d = exact(data, q, metric)
        res = index.search(q, 5)
        assert ids(res) == list(np.argsort(d, kind="stable")[:5])
        assert [r["distance"] for r in res] == pytest.approx(np.sort(d)[:5], rel=1e-4, abs=1e-4)


def test_training_triggers_and_flush(tmp_path, rng):
    index = kv.IvfIndex(2, n_lists=8, train_size=3)
    index.add(1, [0.0, 0.0])
    index.add(2, [5.0, 5.0])
    index.add(3, [9.0, 9.0])
    assert len(index) == 3
    assert ids(index.search([5.0, 5.1], 1)) == [2]
    # flush on a trained index and on an empty one changes nothing.
    index.flush()
    assert len(index) == 3
    kv.IvfIndex(2).flush()

    buffered = kv.IvfIndex(4)
    buffered.add_batch_np(rng.normal(size=(5, 4)).astype(np.float32), start_id=10)
    buffered.flush()
    path = tmp_path / "ivf.bin"
    buffered.save(str(path))
    raw = path.read_bytes()
    # Header: dims, metric, 4 config fields, 0 pending ids, 0 pending floats,
    # then 5 x 4 centroid floats: five centroids, k = min(5, 256).
    assert struct.unpack_from("<QI4QQQQ", raw) == (4, 0, 256, 16, 4096, 25, 0, 0, 20)
    assert raw[-1] == 1


def test_probing_all_lists_is_exact_and_few_lists_recall_well(rng):
    data = blobs(rng, 4000, 16, 40)
    queries = data[::97] + rng.normal(size=(len(data[::97]), 16)).astype(np.float32) * 0.1
    full = kv.IvfIndex(16, n_lists=40, nprobe=40, train_size=4000)
    few = kv.IvfIndex(16, n_lists=40, nprobe=2, train_size=4000)
    full.add_batch_np(data)
    few.add_batch_np(data)
    hits = 0
    for q in queries:
        d = exact(data, q, "l2")
        truth = list(np.argsort(d, kind="stable")[:10])
        got = full.search(q, 10)
        assert [r["distance"] for r in got] == pytest.approx(np.sort(d)[:10], rel=1e-4)
        hits += len(set(ids(few.search(q, 10))) & set(truth))
    assert hits / (10 * len(queries)) > 0.9


def test_batches_and_errors(rng):
    index = kv.IvfIndex(3, n_lists=2, train_size=4)
    with pytest.raises(ValueError, match="^dimension mismatch: expected 3, got 2$"):
        index.add_batch_np(np.zeros((4, 2), dtype=np.float32))
    with pytest.raises(ValueError, match=r"^vectors must support the buffer protocol \(e.g. numpy array\)$"):
        index.add_batch_np(np.zeros((4, 3)))
    with pytest.raises(ValueError, match="^vectors must be 2-dimensional, got 3-dimensional$"):
        index.add_batch_np(np.zeros((1, 4, 3), dtype=np.float32))
    # The first failing entry stops the batch; earlier entries stay.
    with pytest.raises(ValueError, match="^dimension mismatch: expected 3, got 1$"):
        index.add_batch([(1, [0.0, 0.0, 0.0]), (2, [1.0]), (3, [0.0, 0.0, 1.0])])
    assert len(index) == 1
    # Training happens part-way through a block; later rows go to the lists.
    block = rng.normal(size=(10, 3)).astype(np.float32)
    index.add_batch_np(block, start_id=100)
    assert len(index) == 11
    for i in range(10):
        assert 100 + i in ids(index.search(block[i], 11))
    with pytest.raises(ValueError, match="^dimension mismatch: expected 3, got 4$"):
        index.search([0.0] * 4, 1)
    assert index.search(block[0], 0) == []


def test_delete_semantics():
    index = kv.IvfIndex(2, n_lists=2, train_size=4)
    for i in range(3):
        index.add(i, [float(i), 0.0])
    assert index.delete(0) is True
    assert index.delete(0) is False
    index.add(3, [50.0, 0.0])
    index.add(4, [51.0, 0.0])  # trains
    index.add(1, [100.0, 0.0])  # id 1 again, kept twice
    assert len(index) == 5
    assert ids(index.search([75.0, 0.0], 10)).count(1) == 2
    assert index.delete(1) is True  # the newer entry
    assert len(index) == 4
    assert ids(index.search([100.0, 0.0], 1)) == [4]
    assert index.delete(1) is False
    assert index.delete(99) is False


def test_save_load(tmp_path, rng):
    data = blobs(rng, 300, 8, 6)
    for train_size in (1000, 200):
        index = kv.IvfIndex(8, "cosine", n_lists=6, nprobe=2, train_size=train_size)
        index.add_batch_np(data)
        index.delete(5)
        path = str(tmp_path / "ivf.bin")
        index.save(path)
        loaded = kv.IvfIndex.load(path)
        assert repr(loaded) == repr(index)
        for q in data[:20]:
            assert loaded.search(q, 7) == index.search(q, 7)
        assert (tmp_path / "ivf.bin").read_bytes()[8] == 1  # metric id of cosine


def test_damaged_files(tmp_path):
    path = tmp_path / "ivf.bin"
    index = kv.IvfIndex(2, n_lists=2, train_size=3)
    index.add_batch([(1, [0.0, 0.0]), (2, [1.0, 1.0]), (3, [9.0, 9.0])])
    index.save(str(path))
    good = path.read_bytes()

    def load(data):
        path.write_bytes(data)
        return kv.IvfIndex.load(str(path))

    with pytest.raises(RuntimeError, match="^serialization error: .*0 <= i < 3"):
        load(good[:8] + struct.pack("<I", 3) + good[12:])
    with pytest.raises(RuntimeError, match="^serialization error: "):
        load(good[:-1] + b"\x02")
    with pytest.raises(RuntimeError, match="^serialization error: "):
        load(good[:len(good) // 2])
    with pytest.raises(OSError):
        kv.IvfIndex.load(str(tmp_path / "missing.bin"))
    # A list index outside the lists: the last map entry's value is just
    # before the trained byte.
    with pytest.raises(RuntimeError, match="^serialization error: "):
        load(good[:-9] + struct.pack("<Q", 7) + good[-1:])


def test_flush_and_add_batch_np_release_the_interpreter(rng):
    data = rng.normal(size=(20000, 32)).astype(np.float32)
    index = kv.IvfIndex(32, n_lists=256, train_size=10 ** 9)
    index.add_batch_np(data)
    errors = []
    done = threading.Event()

    def train():
        index.flush()
        done.set()

    t = threading.Thread(target=train)
    t.start()
    while not done.is_set():
        try:
            index.search(data[0], 1)
        except RuntimeError as e:
            errors.append(str(e))
    t.join()
    assert errors and set(errors) == {"Already mutably borrowed"}
    assert index.search(data[0], 1)[0]["id"] == 0
