"""Sharded collections on a two-worker local Dask cluster, against one
ordinary collection holding the same data."""

import logging
import os
import signal
import threading
import time

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")

import kovra_vector_db as kv  # noqa: E402
from kovra_vector_db.distributed import (  # noqa: E402
    ShardedCollection,
    ShardError,
    ShardUnavailableError,
    SnapshotRestoreError,
    global_ids,
    local_ids,
    shard_of,
    shards_of,
)

DIM = 16
TIMEOUT = 20.0


def start_cluster():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None,
                                       silence_logs=logging.ERROR)
    client = distributed.Client(cluster, timeout=TIMEOUT)
    client.wait_for_workers(2, timeout=TIMEOUT)
    return cluster, client


def stop_cluster(cluster, client):
    client.close(timeout=TIMEOUT)
    cluster.close(timeout=TIMEOUT)


@pytest.fixture(scope="module")
def dask_client():
    cluster, client = start_cluster()
    yield client
    stop_cluster(cluster, client)


def single_collection(path, vectors, ids, payloads, metric, index_type="flat"):
    col = kv.Client(str(path)).create_collection("docs", DIM, metric, index_type)
    col.upsert_batch([(int(i), v, p) for i, v, p in zip(ids, vectors, payloads)])
    return col


def make_payloads(ids):
    return [{"cat": int(i) % 5, "year": 2000 + int(i) % 30} for i in ids]


# ------------------------------------------------------------- the hash rule

# Data on disk depends on the rule: these values must never change.
@pytest.mark.parametrize("id_, shards, expected", [
    (0, 2, shard_of(0, 2)), (1, 3, shard_of(1, 3)), (2**32, 7, shard_of(2**32, 7)),
    (2**64 - 1, 5, shard_of(2**64 - 1, 5)), (12345, 1, 0),
])
def test_array_and_scalar_rule_agree(id_, shards, expected):
    assert shards_of(np.array([id_], dtype=np.uint64), shards)[0] == expected == shard_of(id_, shards)


@pytest.mark.parametrize("id_, shards, expected", [
    (0, 2**64, 0xE220A8397B1DCDAF),  # splitmix64's first output from state 0, as published
    (0, 2, 1), (1, 2, 0), (2, 2, 1), (1000, 4, 0), (2**64 - 1, 3, 1), (123456789, 7, 2),
])
def test_rule_is_pinned(id_, shards, expected):
    assert shard_of(id_, shards) == expected


@pytest.mark.parametrize("shards, blocks", [(1, 50), (2, 1000), (3, 333), (7, 100)])
def test_dense_ids_give_every_shard_dense_local_ids(shards, blocks):
    # With ids 0..n-1 every shard stores exactly 0..n/shards-1: an even split,
    # and per-id structures of a shard no larger than its share.
    ids = np.arange(shards * blocks, dtype=np.uint64)
    owner, local = shards_of(ids, shards), local_ids(ids, shards)
    for shard in range(shards):
        assert sorted(local[owner == shard].tolist()) == list(range(blocks))
        assert np.array_equal(global_ids(local[owner == shard], shard, shards), ids[owner == shard])


@pytest.mark.parametrize("shards", [2, 3, 10])
def test_local_ids_map_back_to_global_ids(shards):
    ids = np.array([0, 1, 2**32 - 1, 2**40 + 3, 2**63 - 1], dtype=np.uint64)
    owner, local = shards_of(ids, shards), local_ids(ids, shards)
    for i, s, q in zip(ids, owner, local):
        assert global_ids([q, -1], s, shards).tolist() == [int(i), -1]


@pytest.mark.parametrize("stride, shards", [(1, 2), (2, 2), (4, 4), (1000, 3)])
def test_ids_with_a_common_stride_spread_over_every_shard(stride, shards):
    owner = shards_of(np.arange(0, 20_000 * stride, stride, dtype=np.uint64), shards)
    share = np.bincount(owner, minlength=shards) / len(owner)
    assert share.min() > 0.8 / shards


# ------------------------------------------------- flat results equal a single collection

@pytest.fixture(scope="module", params=["l2", "cosine"])
def flat_pair(request, dask_client, tmp_path_factory):
    metric = request.param
    rng = np.random.default_rng(7)
    n = 3000
    vectors = rng.standard_normal((n, DIM)).astype(np.float32)
    ids = rng.choice(10**9, n, replace=False).astype(np.uint64)
    payloads = make_payloads(ids)
    single = single_collection(tmp_path_factory.mktemp("single"), vectors, ids, payloads, metric)
    sharded = ShardedCollection.create(dask_client, "docs", DIM, metric, "flat",
                                       data_dir=str(tmp_path_factory.mktemp("sharded")), timeout=TIMEOUT)
    sharded.upsert_batch_np(ids[:1000], vectors[:1000], payloads[:1000])
    sharded.upsert_batch([(int(i), v, p) for i, v, p in zip(ids[1000:2000], vectors[1000:2000],
                                                            payloads[1000:2000])])
    for i, v, p in zip(ids[2000:2100], vectors[2000:2100], payloads[2000:2100]):
        sharded.upsert(int(i), v, p)
    sharded.upsert_batch_np(ids[2100:], vectors[2100:], payloads[2100:])
    queries = rng.standard_normal((40, DIM)).astype(np.float32)
    yield single, sharded, queries, ids, vectors, payloads
    sharded.close()


FILTERS = [None, {"cat": {"$eq": 3}}, {"$and": [{"year": {"$gte": 2025}}, {"cat": {"$in": [1, 2]}}]},
           {"cat": {"$eq": 99}}]


@pytest.mark.parametrize("filter_", FILTERS, ids=["none", "20%", "3%", "no match"])
@pytest.mark.parametrize("k", [1, 10])
def test_flat_single_searches_equal(flat_pair, filter_, k):
    single, sharded, queries = flat_pair[:3]
    for q in queries:
        assert sharded.search(q, k, filter_) == single.search(q, k, filter_)


@pytest.mark.parametrize("filter_", FILTERS, ids=["none", "20%", "3%", "no match"])
def test_flat_batch_searches_equal(flat_pair, filter_):
    single, sharded, queries = flat_pair[:3]
    k = 10
    ids, dists, payloads = sharded.search_batch(queries, k, filter_, with_payloads=True)
    assert ids.shape == dists.shape == (len(queries), k)
    assert ids.dtype == np.int64 and dists.dtype == np.float32
    for row, q in enumerate(queries):
        hits = single.search(q, k, filter_)
        expect_ids = [h["id"] for h in hits] + [-1] * (k - len(hits))
        expect_d = [h["distance"] for h in hits] + [np.inf] * (k - len(hits))
        assert ids[row].tolist() == expect_ids
        assert dists[row].tolist() == pytest.approx(expect_d, abs=0, rel=0)
        assert payloads[row] == [h.get("payload") for h in hits] + [None] * (k - len(hits))
    plain = sharded.search_batch(queries, k, filter_)
    assert np.array_equal(plain[0], ids) and np.array_equal(plain[1], dists)


def test_counts_deletes_and_shards(flat_pair):
    single, sharded, queries, ids, vectors, payloads = flat_pair
    assert sharded.count == single.count == len(ids)
    shards = sharded.list_shards()
    assert [s["shard"] for s in shards] == [0, 1]
    assert len({s["pid"] for s in shards}) == 2  # one shard on each worker process
    owner = shards_of(ids, 2)
    assert [s["count"] for s in shards] == [int(np.sum(owner == 0)), int(np.sum(owner == 1))]
    assert sharded.delete(int(ids[0])) and not sharded.delete(int(ids[0]))
    assert sharded.count == len(ids) - 1
    assert int(ids[0]) not in sharded.search_batch(vectors[:1], 5)[0]
    sharded.upsert(int(ids[0]), vectors[0], payloads[0])
    assert sharded.count == len(ids)
    assert sharded.search(queries[0], 10) == single.search(queries[0], 10)


# ------------------------------------------------------------- hnsw recall

def recall(found, truth):
    return np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found, truth)])


def test_hnsw_recall_is_at_least_the_single_collections(dask_client, tmp_path):
    rng = np.random.default_rng(3)
    n, k = 6000, 10
    centers = rng.standard_normal((30, DIM)).astype(np.float32) * 4
    vectors = (centers[rng.integers(0, 30, n)] + rng.standard_normal((n, DIM))).astype(np.float32)
    queries = (centers[rng.integers(0, 30, 100)] + rng.standard_normal((100, DIM))).astype(np.float32)
    ids = np.arange(n, dtype=np.uint64)
    d = ((queries[:, None, :] - vectors[None, :, :]) ** 2).sum(-1)
    truth = np.argsort(d, axis=1)[:, :k]
    single = kv.Client(str(tmp_path / "single")).create_collection("docs", DIM, "l2", "hnsw")
    single.upsert_batch([(int(i), v) for i, v in zip(ids, vectors)])
    single_recall = recall([[h["id"] for h in single.search(q, k)] for q in queries], truth)
    sharded = ShardedCollection.from_dask_array(
        dask_client, "docs", da.from_array(vectors, chunks=(1500, DIM)), metric="l2", index_type="hnsw",
        data_dir=str(tmp_path / "sharded"), timeout=TIMEOUT)
    with sharded:
        found, _ = sharded.search_batch(queries, k)
        assert recall(found, truth) >= single_recall - 0.01


# ------------------------------------------------------------- failures of writes

@pytest.mark.parametrize("call", [
    lambda col, ids, vecs: col.upsert_batch_np(ids, vecs[:, :-1]),
    lambda col, ids, vecs: col.upsert_batch([(int(ids[0]), vecs[0]), (int(ids[1]), vecs[1][:3])]),
    lambda col, ids, vecs: col.upsert(int(ids[0]), vecs[0][:-1]),
], ids=["array", "entries", "single"])
def test_vectors_of_the_wrong_length_are_refused_before_any_shard_writes(dask_client, tmp_path, call):
    rng = np.random.default_rng(1)
    vecs = rng.standard_normal((50, DIM)).astype(np.float32)
    ids = np.arange(50, dtype=np.uint64)
    with ShardedCollection.create(dask_client, "docs", DIM, "l2", "flat", data_dir=str(tmp_path),
                                  timeout=TIMEOUT) as col:
        with pytest.raises(ValueError):
            call(col, ids, vecs)
        assert col.count == 0


@pytest.mark.parametrize("index_type, bad_id, bad_payload", [
    ("flat", 7, {1: "a"}),                     # a payload key that is not text
    ("hnsw", 2**40, {"a": {2: "b"}}),          # the same, nested, on a graph
])
def test_a_refused_entry_is_named_with_its_shard_and_the_rest_is_written(dask_client, tmp_path, index_type,
                                                                          bad_id, bad_payload):
    rng = np.random.default_rng(2)
    n = 40
    vecs = rng.standard_normal((n, DIM)).astype(np.float32)
    ids = np.arange(n, dtype=np.uint64)
    ids[7] = bad_id
    payloads = [None] * n
    payloads[7] = bad_payload
    with ShardedCollection.create(dask_client, "docs", DIM, "l2", index_type, data_dir=str(tmp_path),
                                  timeout=TIMEOUT) as col:
        with pytest.raises(ShardError) as caught:
            col.upsert_batch_np(ids, vecs, payloads)
        err, shard = caught.value, shard_of(bad_id, 2)
        assert err.not_written == {shard: [bad_id]}
        assert err.succeeded == [1 - shard] and list(err.failures) == [shard]
        assert f"shard {shard}" in str(err) and str(bad_id) in str(err)
        assert col.count == n - 1


# ------------------------------------------------------------- snapshots and reopening

def test_snapshot_and_restore_across_shards(dask_client, tmp_path):
    rng = np.random.default_rng(5)
    vecs = rng.standard_normal((400, DIM)).astype(np.float32)
    queries = rng.standard_normal((10, DIM)).astype(np.float32)
    with ShardedCollection.create(dask_client, "docs", DIM, "l2", "flat", data_dir=str(tmp_path),
                                  timeout=TIMEOUT) as col:
        col.upsert_batch_np(np.arange(300), vecs[:300], make_payloads(range(300)))
        before = col.search_batch(queries, 5, with_payloads=True)
        record = col.create_snapshot("s1")
        assert record["vector_count"] == 300 and len(record["shards"]) == 2
        assert sum(r["vector_count"] for r in record["shards"]) == 300
        col.upsert_batch_np(np.arange(300, 400), vecs[300:])
        for i in range(0, 300, 3):
            col.delete(i)
        assert col.count == 300
        with pytest.raises(SnapshotRestoreError) as missing:
            col.restore_snapshot("nope")
        assert missing.value.failures.keys() == {0, 1} and col.count == 300
        col.restore_snapshot("s1")
        assert col.count == 300
        after = col.search_batch(queries, 5, with_payloads=True)
        assert np.array_equal(before[0], after[0]) and before[2] == after[2]
        assert [s["name"] for s in col.list_snapshots()] == ["s1"]
        with pytest.raises(ShardError):
            col.create_snapshot("s1")


def test_a_snapshot_missing_on_one_shard_restores_none(dask_client, tmp_path):
    with ShardedCollection.create(dask_client, "docs", DIM, "l2", "flat", data_dir=str(tmp_path),
                                  timeout=TIMEOUT) as col:
        col.upsert_batch_np(np.arange(100), np.ones((100, DIM), np.float32))
        col.create_snapshot("s1")
        kept = col.list_shards()[1]["path"]
        col.upsert_batch_np(np.arange(100, 150), np.ones((50, DIM), np.float32))
        # Remove the snapshot of shard 1 behind the collection's back.
        import shutil
        shutil.rmtree(os.path.join(kept, "docs", "snapshots", "s1"))
        with pytest.raises(SnapshotRestoreError) as err:
            col.restore_snapshot("s1")
        assert list(err.value.failures) == [1] and err.value.succeeded == []
        assert col.count == 150
        assert col.list_snapshots() == []


def test_reopen_after_the_cluster_restarts(tmp_path):
    rng = np.random.default_rng(9)
    vecs = rng.standard_normal((500, DIM)).astype(np.float32)
    queries = rng.standard_normal((20, DIM)).astype(np.float32)
    cluster, client = start_cluster()
    try:
        col = ShardedCollection.create(client, "docs", DIM, "cosine", "hnsw", data_dir=str(tmp_path),
                                       timeout=TIMEOUT)
        col.upsert_batch_np(np.arange(500), vecs, make_payloads(range(500)))
        col.delete(3)
        before = col.search_batch(queries, 10, with_payloads=True)
    finally:
        stop_cluster(cluster, client)
    # A shard directory is an ordinary data directory, holding local ids.
    shard = kv.Client(str(tmp_path / "docs" / "shard-0")).get_collection("docs")
    expect = set(local_ids(np.arange(500), 2)[shards_of(np.arange(500), 2) == 0].tolist())
    expect.discard(3 // 2 if shard_of(3, 2) == 0 else -1)
    assert shard.count == len(expect)
    assert {h["id"] for h in shard.search(vecs[0], 50)} <= expect
    del shard
    cluster, client = start_cluster()
    try:
        with ShardedCollection.open(client, "docs", data_dir=str(tmp_path), timeout=TIMEOUT) as col:
            assert col.count == 499
            after = col.search_batch(queries, 10, with_payloads=True)
            assert np.array_equal(before[0], after[0]) and before[2] == after[2]
    finally:
        stop_cluster(cluster, client)


def test_acknowledged_writes_survive_a_worker_killed_mid_ingest(tmp_path):
    rng = np.random.default_rng(11)
    batch = 300
    cluster, client = start_cluster()
    try:
        col = ShardedCollection.create(client, "docs", DIM, "l2", "flat", data_dir=str(tmp_path),
                                       timeout=TIMEOUT)
        victim = col.list_shards()[1]
        acknowledged, vectors = [], {}
        started = threading.Event()

        def kill():
            started.wait(TIMEOUT)
            os.kill(victim["pid"], signal.SIGKILL)

        killer = threading.Thread(target=kill)
        killer.start()
        error = None
        start = time.monotonic()
        for b in range(2000):
            ids = np.arange(b * batch, (b + 1) * batch, dtype=np.uint64)
            vecs = rng.standard_normal((batch, DIM)).astype(np.float32)
            vectors.update(zip(ids.tolist(), vecs))
            try:
                col.upsert_batch_np(ids, vecs)
            except ShardError as e:
                error = e
                owner = shards_of(ids, 2)
                acknowledged += [int(i) for i, s in zip(ids, owner) if s in e.succeeded]
                break
            acknowledged += ids.tolist()
            if b == 3:
                started.set()
        killer.join(TIMEOUT)
        assert isinstance(error, ShardUnavailableError), error
        assert list(error.failures) == [1] and "shard 1" in str(error)
        assert time.monotonic() - start < TIMEOUT + 10  # no hang
        with pytest.raises(ShardUnavailableError):
            col.count  # noqa: B018 - every later call names the lost shard too
        try:
            col.close()
        except ShardError:
            pass
        client.wait_for_workers(2, timeout=TIMEOUT)  # the nanny brings a fresh worker
        with ShardedCollection.open(client, "docs", data_dir=str(tmp_path), timeout=TIMEOUT) as again:
            assert again.count >= len(acknowledged)
            ack = np.array(acknowledged, dtype=np.int64)
            found, dist = again.search_batch(np.stack([vectors[i] for i in acknowledged]), 1)
            assert np.array_equal(found[:, 0], ack)
            assert np.all(dist[:, 0] == 0)
    finally:
        stop_cluster(cluster, client)


def test_from_dask_array_with_ids_equals_a_single_collection(dask_client, tmp_path):
    rng = np.random.default_rng(13)
    n = 2500
    vectors = rng.standard_normal((n, DIM)).astype(np.float32)
    ids = rng.choice(2**40, n, replace=False).astype(np.uint64)
    single = single_collection(tmp_path / "single", vectors, ids, [None] * n, "l2")
    with ShardedCollection.from_dask_array(
            dask_client, "docs", da.from_array(vectors, chunks=(700, 8)), da.from_array(ids, chunks=500),
            metric="l2", index_type="flat", data_dir=str(tmp_path / "sharded"), timeout=TIMEOUT) as col:
        assert col.count == n
        queries = rng.standard_normal((20, DIM)).astype(np.float32)
        for q in queries:
            assert col.search(q, 7) == single.search(q, 7)


def test_local_storage_pins_shards_to_their_workers(dask_client, tmp_path):
    with ShardedCollection.create(dask_client, "docs", DIM, "l2", "flat", data_dir=str(tmp_path),
                                  storage="local", timeout=TIMEOUT) as col:
        col.upsert_batch_np(np.arange(100), np.ones((100, DIM), np.float32))
        placed = [(s["worker_name"], s["pid"]) for s in col.list_shards()]
    with ShardedCollection.open(dask_client, "docs", data_dir=str(tmp_path), timeout=TIMEOUT) as col:
        assert [(s["worker_name"], s["pid"]) for s in col.list_shards()] == placed
        assert col.count == 100
