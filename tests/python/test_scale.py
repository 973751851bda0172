"""Sizes that the machine cannot serve: damaged size fields are refused with
catchable exceptions before anything grows or changes; huge ids cost no more
than small ones."""

import struct

import numpy as np
import pytest

import kovra_vector_db as kv

HUGE = 10**9  # a graph sized by its largest id would need far more than any test machine has


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def patch_u64(path, old, new):
    data = bytearray(open(path, "rb").read())
    pattern = struct.pack("<Q", old)
    assert data.count(pattern) >= 1
    open(path, "wb").write(data.replace(pattern, struct.pack("<Q", new)))


@pytest.mark.parametrize("name", ["QuantizedFlatIndex", "Fp16FlatIndex", "BinaryFlatIndex", "FlatIndex"])
def test_extreme_dimensions_in_a_file_are_a_serialization_error(name, tmp_path):
    index = getattr(kv, name)(4)
    index.add_batch_np(np.ones((3, 4), np.float32))
    path = str(tmp_path / "i")
    index.save(path)
    data = bytearray(open(path, "rb").read())
    struct.pack_into("<Q", data, 0, 2**64 - 1)  # the dimensions field leads the file
    open(path, "wb").write(data)
    with pytest.raises(RuntimeError, match="^serialization error: "):
        getattr(kv, name).load(path)


GROWTH_CALLS = {
    "add": lambda i: i.add(HUGE, [0.5] * 8),
    "add_batch": lambda i: i.add_batch([(60, [0.5] * 8), (HUGE, [0.5] * 8)]),
    "add_batch_np": lambda i: i.add_batch_np(np.ones((2, 8), np.float32), start_id=HUGE),
    "add_batch_parallel": lambda i: i.add_batch_parallel(np.ones((2, 8), np.float32), start_id=HUGE),
}


@pytest.mark.parametrize("call", GROWTH_CALLS)
@pytest.mark.parametrize("huge", [HUGE, 2**63 + 1])
def test_hnsw_huge_ids_take_one_node_each(call, huge, monkeypatch):
    monkeypatch.setitem(globals(), "HUGE", huge)
    index = kv.HnswIndex(8)
    index.add_batch_np(np.random.default_rng(1).random((50, 8), dtype=np.float32))
    grown = rss()
    GROWTH_CALLS[call](index)
    assert rss() - grown < 16 << 20
    assert len(index) == 50 + (2 if call.startswith("add_batch_") else 1) + (call == "add_batch")
    query = [1.0 if call.startswith("add_batch_") else 0.5] * 8
    assert huge in [h["id"] for h in index.search(query, 2)]


def test_graph_file_with_a_huge_key_loads_without_growing(tmp_path):
    index = kv.HnswIndex(8)
    index.add(123_457, [0.25] * 8)  # the only node, and so the entry point too
    path = str(tmp_path / "g")
    index.save(path)
    patch_u64(path, 123_457, HUGE)
    start = rss()
    loaded = kv.HnswIndex.load(path)
    assert rss() - start < 16 << 20
    assert loaded.search([0.0] * 8, 1) == [{"id": HUGE, "distance": pytest.approx(0.7071068)}]


def test_collection_takes_a_huge_hnsw_id_like_any_other(tmp_path):
    col = kv.Client(str(tmp_path)).create_collection("c", 4, "l2")
    col.upsert(1, [1.0, 2.0, 3.0, 4.0], {"a": 1})
    start = rss()
    col.upsert(HUGE, [1.0, 2.0, 3.0, 5.0])
    col.upsert_batch([(2, [0.0] * 4), (2**64 - 1, [0.0] * 3 + [1.0])])
    assert rss() - start < 16 << 20
    del col
    reopened = kv.Client(str(tmp_path)).get_collection("c")
    assert reopened.count == 4
    assert [h["id"] for h in reopened.search([0.0] * 4, 5)] == [2, 2**64 - 1, 1, HUGE]
