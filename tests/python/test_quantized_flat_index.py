import struct

import numpy as np
import pytest

import kovra_vector_db as kv

KEYED = [kv.QuantizedFlatIndex, kv.Fp16FlatIndex, kv.BinaryFlatIndex]


def ids(results):
    return [r["id"] for r in results]


def test_class_surface():
    assert kv.QuantizedFlatIndex.__doc__ == (
        "Int8 quantized brute-force index. ~4x less RAM than FlatIndex with ~99% recall.\n"
        "\n"
        "Each f32 component is quantized to int8 using min/max scaling.\n"
        "Same API as FlatIndex."
    )
    assert kv.QuantizedFlatIndex.__text_signature__ is None
    signatures = {
        "add": "($self, id, vector)",
        "add_batch": "($self, entries)",
        "add_batch_np": "($self, vectors, start_id=0)",
        "search": "($self, query, k)",
        "delete": "($self, id)",
        "save": "($self, path)",
        "load": "(path)",
    }
    for cls in KEYED:
        for name, sig in signatures.items():
            method = getattr(cls, name)
            assert method.__text_signature__ == sig, (cls, name)
            if name != "add_batch_np":
                assert method.__doc__ is None, (cls, name)
        assert cls.add_batch_np.__doc__ == (
            "Add vectors from a 2D numpy array (N \u00d7 dim) with sequential IDs starting from `start_id`."
        )
        assert cls.dimensions.__doc__ == "" and cls.metric.__doc__ == ""
        index = cls(3, "cosine")
        assert repr(index) == f'{cls.__name__}(dimensions=3, metric="cosine", len=0)'
        assert index.dimensions == 3 and index.metric == "cosine"
        with pytest.raises(ValueError, match='unknown metric "L2"'):
            cls(3, "L2")


def test_quantized_codes_are_exact():
    index = kv.QuantizedFlatIndex(3)
    index.add(1, [0.5, -1.0, 0.25])
    [hit] = index.search(np.array([64 / 127, -1.0, 32 / 127], dtype=np.float32), 1)
    assert hit == {"id": 1, "distance": 0.0}
    zero = kv.QuantizedFlatIndex(3, "cosine")
    zero.add(1, [0.0, 0.0, 0.0])
    assert zero.search([1.0, 2.0, 3.0], 1)[0]["distance"] == 1.0
    inf = kv.QuantizedFlatIndex(2)
    inf.add(1, [float("inf"), 1.0])
    assert np.isnan(inf.search([0.0, 0.0], 1)[0]["distance"])


@pytest.mark.parametrize("cls", KEYED)
def test_map_semantics(cls):
    index = cls(3)
    index.add(1, [1.0, 2.0, 3.0])
    index.add(1, [3.0, 2.0, 1.0])
    assert len(index) == 1
    assert index.delete(1) is True and index.delete(1) is False
    assert not index
    with pytest.raises(ValueError, match="^dimension mismatch: expected 3, got 2$"):
        index.add_batch([(1, [1.0, 2.0, 3.0]), (2, [1.0, 2.0, 3.0]), (3, [1.0, 2.0]), (4, [1.0, 2.0, 3.0])])
    assert len(index) == 2
    # Empty index: no length check.
    assert cls(3).search([1.0], 5) == []
    with pytest.raises(ValueError, match="^dimension mismatch: expected 3, got 1$"):
        index.search([1.0], 5)
    assert index.search([1.0, 2.0, 3.0], 0) == []


@pytest.mark.parametrize("cls", KEYED)
def test_add_batch_np(cls):
    index = cls(4)
    index.add_batch_np(np.ones((2, 4), dtype=np.float32), start_id=7)
    assert sorted(ids(index.search([1.0] * 4, 10))) == [7, 8]
    with pytest.raises(ValueError, match="^dimension mismatch: expected 4, got 3$"):
        index.add_batch_np(np.ones((2, 3), dtype=np.float32))
    with pytest.raises(ValueError, match="vectors must support the buffer protocol"):
        index.add_batch_np(np.ones((2, 4)))
    index.add_batch_np(np.zeros((0, 4), dtype=np.float32))
    assert len(index) == 2


@pytest.mark.parametrize("cls", KEYED)
def test_save_and_load(cls, tmp_path, rng):
    data = rng.normal(size=(300, 24)).astype(np.float32)
    for metric in ("l2", "cosine", "dot_product"):
        index = cls(24, metric)
        index.add_batch_np(data, start_id=100)
        index.delete(150)
        path = str(tmp_path / f"{cls.__name__}.bin")
        index.save(path)
        loaded = cls.load(path)
        assert type(loaded) is cls
        assert repr(loaded) == repr(index)
        for q in data[:5]:
            assert [r["distance"] for r in loaded.search(q, 10)] == [r["distance"] for r in index.search(q, 10)]
    with open(path, "r+b") as f:
        f.seek(8)
        f.write(struct.pack("<I", 3))
    with pytest.raises(RuntimeError, match="^serialization error: "):
        cls.load(path)
    with pytest.raises(IOError):
        cls.load(str(tmp_path / "missing.bin"))
    with pytest.raises(IOError):
        index.save(str(tmp_path / "no" / "such" / "dir.bin"))


def test_quantized_file_bytes(tmp_path):
    index = kv.QuantizedFlatIndex(3, "dot_product")
    index.add(9, [0.5, -1.0, 0.25])
    path = tmp_path / "q.bin"
    index.save(str(path))
    assert path.read_bytes() == (
        struct.pack("<QIQQQ", 3, 2, 1, 9, 3) + bytes([64, 0x81, 32]) + struct.pack("<f", 127.0)
    )


@pytest.mark.parametrize("cls", [kv.QuantizedFlatIndex, kv.Fp16FlatIndex])
def test_recall_against_exact(cls, rng):
    data = rng.normal(size=(2000, 32)).astype(np.float32)
    queries = rng.normal(size=(20, 32)).astype(np.float32)
    index = cls(32)
    index.add_batch_np(data)
    exact = kv.FlatIndex(32)
    exact.add_batch_np(data)
    found = sum(len(set(ids(index.search(q, 10))) & set(ids(exact.search(q, 10)))) for q in queries)
    assert found / 200 >= 0.9
