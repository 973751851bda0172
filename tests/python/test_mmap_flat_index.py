import os
import struct
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import kovra_vector_db as kv


def ids(results):
    return sorted(r["id"] for r in results)


def test_class_surface(tmp_path):
    assert kv.MmapFlatIndex.__doc__ == (
        "Memory-mapped brute-force index. Near-zero RAM usage.\n"
        "Vectors are stored in a flat binary file and memory-mapped by the OS.\n"
        "Pages are loaded on demand. Best when dataset is larger than available RAM."
    )
    assert kv.MmapFlatIndex.add_batch_np.__text_signature__ == "($self, vectors, start_id=0)"
    assert kv.MmapFlatIndex.add_batch_np.__doc__ == (
        "Add vectors from a 2D numpy array (N \u00d7 dim) with sequential IDs starting from `start_id`.\n"
        "This is the fastest way to insert vectors \u2014 no per-element Python extraction."
    )
    assert kv.MmapFlatIndex.flush.__text_signature__ == "($self)"
    assert not hasattr(kv.MmapFlatIndex, "save") and not hasattr(kv.MmapFlatIndex, "load")
    index = kv.MmapFlatIndex(4, "dot_product", str(tmp_path / "v.kvec"))
    assert repr(index) == 'MmapFlatIndex(dimensions=4, metric="dot_product", len=0)'
    assert index.dimensions == 4 and index.metric == "dot_product"


def test_default_path_is_in_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    index = kv.MmapFlatIndex(2)
    assert not (tmp_path / "mmap_index.kvec").exists()
    index.add(1, [1.0, 2.0])
    index.flush()
    assert (tmp_path / "mmap_index.kvec").stat().st_size == 32 + 8 + 8


def test_file_layout_and_reopen(tmp_path):
    path = str(tmp_path / "v.kvec")
    index = kv.MmapFlatIndex(3, path=path)
    index.add(5, [1.0, 2.0, 3.0])
    assert index.search([1.0, 2.0, 3.0], 1) == [{"id": 5, "distance": 0.0}]  # before flush
    index.flush()
    raw = open(path, "rb").read()
    assert len(raw) == 32 + 8 + 12
    assert raw[:32] == b"KVEC" + struct.pack("<IIIQQ", 1, 3, 0, 1, 0)
    assert raw[32:] == struct.pack("<Q3f", 5, 1.0, 2.0, 3.0)
    again = kv.MmapFlatIndex(3, "l2", path)
    assert len(again) == 1
    with pytest.raises(ValueError, match="^dimension mismatch: expected 4, got 3$"):
        kv.MmapFlatIndex(4, "l2", path)
    with pytest.raises(ValueError, match="^invalid configuration: metric mismatch: file=L2, expected=Cosine$"):
        kv.MmapFlatIndex(3, "cosine", path)


def test_damaged_files(tmp_path):
    path = tmp_path / "bad.kvec"
    path.write_bytes(b"x" * 10)
    with pytest.raises(RuntimeError, match="^serialization error: mmap file too small$"):
        kv.MmapFlatIndex(2, path=str(path))
    path.write_bytes(b"x" * 32)
    with pytest.raises(RuntimeError, match="^serialization error: invalid KVEC magic$"):
        kv.MmapFlatIndex(2, path=str(path))
    path.write_bytes(b"KVEC" + struct.pack("<IIIQQ", 1, 2, 5, 0, 0))
    with pytest.raises(RuntimeError, match="^serialization error: unknown metric id 5$"):
        kv.MmapFlatIndex(2, path=str(path))
    path.write_bytes(b"KVEC" + struct.pack("<IIIQQ", 1, 2, 0, 3, 0) + b"\0" * 16)
    with pytest.raises(RuntimeError, match="^serialization error: "):
        kv.MmapFlatIndex(2, path=str(path))


def test_delete_flush_and_duplicates(tmp_path):
    path = str(tmp_path / "v.kvec")
    index = kv.MmapFlatIndex(2, path=path)
    index.add_batch([(1, [0.0, 0.0]), (2, [3.0, 4.0]), (3, [1.0, 1.0])])
    index.flush()
    assert index.delete(2) is True
    assert index.delete(2) is False
    assert len(index) == 2
    assert ids(index.search([0.0, 0.0], 10)) == [1, 3]
    index.flush()
    assert os.path.getsize(path) == 32 + 2 * 16
    index.add(1, [5.0, 5.0])  # already in the file: now present twice
    assert len(index) == 3
    assert ids(index.search([0.0, 0.0], 10)) == [1, 1, 3]
    index.delete(1)
    index.add(1, [6.0, 8.0])  # re-added after delete: only the new vector shows
    res = index.search([0.0, 0.0], 10)
    assert ids(res) == [1, 3]
    assert [r["distance"] for r in res if r["id"] == 1] == [10.0]
    index.flush()
    assert len(kv.MmapFlatIndex(2, path=path)) == 2


def test_large_ids_and_euclidean_distances(tmp_path):
    index = kv.MmapFlatIndex(2, path=str(tmp_path / "v.kvec"))
    index.add_batch_np(np.array([[0.0, 3.0], [1.0, 1.0]], dtype=np.float32), start_id=2**40)
    index.flush()
    res = index.search([0.0, 0.0], 1)
    assert res == [{"id": 2**40 + 1, "distance": float(np.float32(np.sqrt(2)))}]
    assert index.search([0.0, 0.0], 2)[1] == {"id": 2**40, "distance": 3.0}
    with pytest.raises(ValueError, match="^dimension mismatch: expected 2, got 3$"):
        index.add_batch_np(np.ones((2, 3), dtype=np.float32))


def test_failed_flush_raises_and_keeps_vectors(tmp_path):
    index = kv.MmapFlatIndex(2, path=str(tmp_path / "missing" / "v.kvec"))
    index.add(1, [1.0, 1.0])
    with pytest.raises(IOError):
        index.flush()
    assert len(index) == 1
    assert ids(index.search([1.0, 1.0], 5)) == [1]


def test_flush_releases_the_interpreter_lock(tmp_path):
    index = kv.MmapFlatIndex(64, path=str(tmp_path / "v.kvec"))
    index.add_batch_np(np.ones((200000, 64), dtype=np.float32))
    seen = []
    worker = threading.Thread(target=index.flush)
    worker.start()
    while worker.is_alive():
        try:
            len(index)
        except RuntimeError as e:
            seen.append(str(e))
            break
    worker.join()
    assert seen in ([], ["Already mutably borrowed"])
    assert len(index) == 200000


CHILD = textwrap.dedent(
    """
    import sys
    import kovra_vector_db as kv
    path, first = sys.argv[1], int(sys.argv[2])
    index = kv.MmapFlatIndex(32, path=path)
    for i in range(first, first + 2000, 10):
        index.delete(i)
    print("ready", flush=True)
    index.flush()
    print("done", flush=True)
    """
)


def test_sigkill_during_flush_leaves_old_or_new_file(tmp_path):
    path = str(tmp_path / "big.kvec")
    n = 150000
    data = (np.arange(n * 32, dtype=np.float32) % 977).reshape(n, 32)
    data[:, 0] = np.arange(n)  # every row distinct
    index = kv.MmapFlatIndex(32, path=path)
    index.add_batch_np(data)
    index.flush()
    del index
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    for round_, delay in enumerate([0.0, 0.002, 0.01, 0.03, 0.1, None]):
        old = len(kv.MmapFlatIndex(32, path=path))
        first = round_ * 2000
        child = subprocess.Popen([sys.executable, "-c", CHILD, path, str(first)], stdout=subprocess.PIPE, env=env)
        assert child.stdout.readline() == b"ready\n"
        if delay is None:
            assert child.wait() == 0
        else:
            time.sleep(delay)
            child.kill()
            child.wait()
        child.stdout.close()
        reopened = kv.MmapFlatIndex(32, path=path)
        count = len(reopened)
        assert count in (old, old - 200)
        assert os.path.getsize(path) == 32 + count * (8 + 4 * 32)
        sample = range(first, first + 2000, 100)
        gone = [i for i in sample if reopened.search(data[i], 1)[0]["id"] != i]
        assert len(gone) == (len(sample) if count != old else 0)
        if delay is None:
            assert count == old - 200
