"""Threads on one data directory: who waits for whom, and what survives."""
import faulthandler
import threading
import time

import numpy as np
import pytest

import kovra_vector_db as kv

# Generous: only a starved or deadlocked thread comes near it.
DEADLINE = 120.0


@pytest.fixture
def watchdog():
    # A deadlock shows every thread's stack instead of hanging the run.
    faulthandler.dump_traceback_later(DEADLINE + 60, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def run_threads(targets):
    threads = [threading.Thread(target=t) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(DEADLINE)
    return [t for t in threads if t.is_alive()]


@pytest.mark.parametrize("index_type, readers", [("flat", 3), ("hnsw", 3), ("flat", 8)])
def test_writer_makes_progress_while_readers_loop(tmp_path, watchdog, index_type, readers):
    dim, n = 32, 5000
    rng = np.random.default_rng(3)
    client = kv.Client(str(tmp_path / "db"))
    client.create_collection("c", dim, "l2", index_type).upsert_batch(
        [(i, v) for i, v in enumerate(rng.standard_normal((n, dim)).astype(np.float32))])
    done = threading.Event()
    searches = [0] * readers
    errors = []

    def reader(r):
        col = client.get_collection("c")  # one object per thread, as documented
        q = rng.standard_normal(dim).astype(np.float32)
        try:
            while not done.is_set():
                col.search(q, 10)
                searches[r] += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def writer():
        col = client.get_collection("c")
        try:
            # Readers must be running before the writes start.
            while sum(searches) < readers:
                time.sleep(0.001)
            for i in range(200):
                col.upsert(n + i, np.full(dim, i, np.float32))
        finally:
            done.set()

    stuck = run_threads([writer] + [lambda r=r: reader(r) for r in range(readers)])
    done.set()
    assert not stuck, "the writer was starved"
    assert not errors
    assert client.get_collection("c").count == n + 200


@pytest.mark.parametrize("index_type, writers", [("flat", 1), ("hnsw", 1), ("flat", 2)])
def test_readers_make_progress_while_writers_loop(tmp_path, watchdog, index_type, writers):
    # Writers on single upserts spend most of their time in the interpreter;
    # each reader must still get its searches in. The writers update ids of
    # their own, so every id's vector afterwards is the last one written.
    dim, n, readers, wanted = 16, 2000, 2, 100
    rng = np.random.default_rng(5)
    client = kv.Client(str(tmp_path / "db"))
    client.create_collection("c", dim, "l2", index_type).upsert_batch(
        [(i, v) for i, v in enumerate(rng.standard_normal((n, dim)).astype(np.float32))])
    done = threading.Event()
    latest = {}
    errors = []

    def writer(w):
        col = client.get_collection("c")
        mine = list(range(w, n, writers))
        i = 0
        try:
            while not done.is_set():
                id_ = mine[i % len(mine)]
                v = np.full(dim, float(i), np.float32)
                col.upsert(id_, v)
                latest[id_] = v
                i += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def reader():
        col = client.get_collection("c")
        q = rng.standard_normal(dim).astype(np.float32)
        try:
            for _ in range(wanted):
                assert len(col.search(q, 10)) == 10
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    writer_threads = [threading.Thread(target=writer, args=(w,)) for w in range(writers)]
    for t in writer_threads:
        t.start()
    stuck = run_threads([reader] * readers)
    done.set()
    for t in writer_threads:
        t.join(DEADLINE)
    assert not stuck, "a reader was starved"
    assert not errors
    col = client.get_collection("c")
    assert col.count == n
    for id_, v in latest.items():
        np.testing.assert_array_equal(col.get(id_)["vector"], v)


@pytest.mark.parametrize("sync", [False, True])
def test_every_acknowledged_write_is_there_after_reopen(tmp_path, watchdog, sync):
    dim, writers, readers, per_writer = 8, 4, 3, 60
    path = str(tmp_path / "db")
    client = kv.Client(path, sync=sync)
    client.create_collection("c", dim, "l2", "flat")
    client.create_collection("g", dim, "l2", "hnsw")
    acked = {}  # (collection, id) -> payload, or None for a delete, as each call returned
    lock = threading.Lock()
    stop = threading.Event()
    errors = []

    def vector(id_):
        return np.full(dim, id_, np.float32)

    def writer(w):
        cols = {name: client.get_collection(name) for name in ("c", "g")}
        try:
            for i in range(per_writer):
                name = "c" if i % 2 else "g"
                id_ = w * 10_000 + i
                if i % 10 == 9:
                    cols[name].upsert_batch([(id_, vector(id_), {"w": w, "i": i}), (id_ + 5000, vector(id_ + 5000))])
                    with lock:
                        acked[(name, id_)] = {"w": w, "i": i}
                        acked[(name, id_ + 5000)] = {}
                elif i % 7 == 6:
                    cols[name].delete(id_ - 2)
                    with lock:
                        acked[(name, id_ - 2)] = None
                else:
                    cols[name].upsert(id_, vector(id_), {"w": w, "i": i})
                    with lock:
                        acked[(name, id_)] = {"w": w, "i": i}
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def reader():
        cols = [client.get_collection(name) for name in ("c", "g")]
        try:
            while not stop.is_set():
                for col in cols:
                    col.search(np.zeros(dim, np.float32), 5)
                    _ = col.count
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    reader_threads = [threading.Thread(target=reader) for _ in range(readers)]
    for t in reader_threads:
        t.start()
    stuck = run_threads([lambda w=w: writer(w) for w in range(writers)])
    stop.set()
    for t in reader_threads:
        t.join(DEADLINE)
    assert not stuck and not any(t.is_alive() for t in reader_threads), "a thread never finished"
    assert not errors

    del client
    reopened = kv.Client(path)
    for name in ("c", "g"):
        live = {id_: p for (n, id_), p in acked.items() if n == name and p is not None}
        col = reopened.get_collection(name)
        assert col.count == len(live)
        # Read back by id: a graph search is approximate, and deletes may
        # leave a node that no search reaches, which is not what is tested.
        for id_, payload in live.items():
            got = col.get(id_)
            assert got is not None, id_
            np.testing.assert_array_equal(got["vector"], vector(id_))
            assert (got["payload"] or {}) == payload


@pytest.mark.parametrize("value, error", [
    ("yes", TypeError),
    (1, TypeError),
    (None, TypeError),
])
def test_sync_takes_only_a_bool(tmp_path, value, error):
    with pytest.raises(error, match="argument 'sync'"):
        kv.Client(str(tmp_path / "db"), sync=value)
