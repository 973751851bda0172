import json
import os
import shutil

import pytest

import kovra_vector_db as kv
from test_collection import add_record, edit_meta, reopen


@pytest.fixture
def data_dir(tmp_path):
    return str(tmp_path / "db")


def files(data_dir, *parts):
    return sorted(os.listdir(os.path.join(data_dir, *parts)))


def read(data_dir, *parts, mode="rb"):
    with open(os.path.join(data_dir, *parts), mode) as f:
        return f.read()


def ids(col):
    return sorted(h["id"] for h in col.search([0.0, 0.0], 100))


def test_surface():
    docs = {
        kv.Collection.upsert_hybrid: ("($self, id, vector, sparse_vector=None, payload=None)",
                                      "Upsert with an optional sparse vector for hybrid search.\n\nArgs:\n"
                                      "    id: Vector ID.\n    vector: Dense vector.\n"
                                      "    sparse_vector: Optional dict `{dimension_index: weight}` for sparse search.\n"
                                      "    payload: Optional metadata dict."),
        kv.Collection.search_hybrid: (
            "($self, dense_query, sparse_query, k, dense_weight=0.7, sparse_weight=0.3, filter=None)",
            "Hybrid dense+sparse search with weighted score fusion.\n\nArgs:\n"
            "    dense_query: Dense query vector.\n"
            "    sparse_query: Sparse query dict `{dimension_index: weight}`.\n"
            "    k: Number of results.\n"
            "    dense_weight: Weight for dense similarity (default 0.7).\n"
            "    sparse_weight: Weight for sparse similarity (default 0.3).\n"
            "    filter: Optional payload filter dict.\n\nReturns:\n"
            "    List of dicts with keys: id, score, dense_distance, sparse_score, payload."),
        kv.Collection.create_snapshot: ("($self, name)", "Create a named snapshot of this collection's current state."),
        kv.Collection.list_snapshots: ("($self)", "List all snapshots for this collection, sorted by creation time."),
        kv.Collection.restore_snapshot: ("($self, name)",
                                         "Restore this collection to the state captured by snapshot `name`."),
        kv.Collection.delete_snapshot: ("($self, name)", "Delete a snapshot by name."),
    }
    for fn, (sig, doc) in docs.items():
        assert (fn.__text_signature__, fn.__doc__) == (sig, doc)
    methods = [m for m in vars(kv.Collection) if not m.startswith("__")]
    assert methods[:8] == ["upsert", "upsert_batch", "search", "upsert_hybrid", "search_hybrid", "delete",
                           "create_snapshot", "list_snapshots"]


def test_snapshot_files_and_description(data_dir):
    col = kv.Client(data_dir).create_collection("c", 2, metric="l2", index_type="flat")
    col.upsert(1, [1.0, 0.0], {"a": 1})
    col.upsert_hybrid(2, [2.0, 0.0], {4: 0.5})
    col.upsert(3, [3.0, 0.0])
    col.delete(1)
    made = col.create_snapshot("v1")
    assert list(made) == ["name", "created_at", "vector_count", "sparse_count"]
    assert (made["name"], made["vector_count"], made["sparse_count"]) == ("v1", 2, 1)
    assert files(data_dir, "c", "snapshots", "v1") == ["meta.json", "snapshot.json", "sparse.bin", "wal.log"]
    assert read(data_dir, "c", "snapshots", "v1", "snapshot.json", mode="r") == (
        '{\n  "name": "v1",\n  "created_at": %d,\n  "vector_count": 2,\n  "sparse_count": 1\n}' % made["created_at"])
    assert read(data_dir, "c", "snapshots", "v1", "meta.json") == read(data_dir, "c", "meta.json")
    log = read(data_dir, "c", "snapshots", "v1", "wal.log")
    sparse = b"\1\0\0\0\0\0\0\0\4\0\0\0" + b"\1\0\0\0\0\0\0\0\0\0\0\x3f"
    a, b = add_record(2, [2.0, 0.0], sparse=sparse), add_record(3, [3.0, 0.0])
    assert log in (a + b, b + a)
    assert col.list_snapshots() == [made]
    with pytest.raises(KeyError, match="snapshot already exists: v1"):
        col.create_snapshot("v1")
    # Without sparse vectors there is no sparse.bin.
    col.delete(2)
    assert col.create_snapshot("v2")["sparse_count"] == 0
    assert "sparse.bin" not in files(data_dir, "c", "snapshots", "v2")
    # The live collection is untouched.
    assert ids(col) == [3] and files(data_dir, "c") == ["meta.json", "snapshots", "wal.log"]


BAD_NAMES = ["", ".", "..", "a..b", "../c", "a/b", "a\\b", "a\0b"]


@pytest.mark.parametrize("name", BAD_NAMES)
@pytest.mark.parametrize("method", ["create_snapshot", "restore_snapshot", "delete_snapshot"])
def test_names_that_are_not_one_path_component_are_refused(data_dir, method, name):
    col = kv.Client(data_dir).create_collection("c", 2, index_type="flat")
    col.upsert(1, [1, 0])
    with pytest.raises(ValueError) as err:
        getattr(col, method)(name)
    assert str(err.value) == "invalid configuration: invalid snapshot name: " + name
    assert files(data_dir, "c") == ["meta.json", "wal.log"] and col.count == 1


@pytest.mark.parametrize("name", ["release1.2", ".hidden", "é x"])
def test_names_with_single_dots_are_accepted(data_dir, name):
    col = kv.Client(data_dir).create_collection("c", 2, index_type="flat")
    assert col.create_snapshot(name)["name"] == name
    col.restore_snapshot(name)
    col.delete_snapshot(name)
    assert col.list_snapshots() == []


def test_restore_rolls_back_every_part_of_the_state(data_dir):
    kv.Client(data_dir).create_collection("c", 2, metric="l2", index_type="hnsw")
    edit_meta(data_dir, "c", wal_compact_threshold=4)
    col = reopen(data_dir, "c")
    twin = kv.Client(data_dir).get_collection("c")  # another handle sees the restore too
    col.upsert(1, [1.0, 0.0], {"v": 1})
    col.upsert_hybrid(2, [2.0, 0.0], {3: 1.0})
    col.create_snapshot("before")
    col.upsert(1, [1.0, 0.0], {"v": 2})
    col.upsert_hybrid(5, [5.0, 0.0], {3: 2.0}, {"late": True})  # fourth write: compaction saves graph and sparse.bin
    col.delete(2)
    assert {"hnsw.graph", "sparse.bin"} <= set(files(data_dir, "c"))
    assert (col.count, col.sparse_count) == (2, 1)

    assert col.restore_snapshot("before") is None
    # The graph saved with the snapshot comes back with it: no rebuild.
    assert read(data_dir, "c", "hnsw.graph") == read(data_dir, "c", "snapshots", "before..hnsw.graph")
    for handle in (col, twin):
        assert (handle.count, handle.sparse_count) == (2, 1)
        hits = handle.search([5.0, 0.0], 10)
        assert [(h["id"], h.get("payload")) for h in hits] == [(2, None), (1, {"v": 1})]
        assert handle.search_hybrid([0, 0], {3: 1.0}, 1)[0]["id"] == 2
    # The snapshot stays and can be restored again; writes go to the restored log.
    col.upsert(6, [6.0, 0.0])
    col.restore_snapshot("before")
    col.upsert(7, [7.0, 0.0])
    del col, twin
    col = reopen(data_dir, "c")
    assert ids(col) == [1, 2, 7] and col.sparse_count == 1
    assert [s["name"] for s in col.list_snapshots()] == ["before"]


def test_a_snapshot_graph_that_does_not_match_its_log_is_not_used(data_dir):
    col = kv.Client(data_dir).create_collection("g", 2, metric="l2")
    for i in range(5):
        col.upsert(i, [float(i), 0.0])
    col.create_snapshot("five")
    col.delete(4)
    col.delete(3)
    col.create_snapshot("three")
    graphs = os.path.join(data_dir, "g", "snapshots")
    shutil.copy(os.path.join(graphs, "five..hnsw.graph"), os.path.join(graphs, "three..hnsw.graph"))
    col.restore_snapshot("three")
    assert ids(col) == [0, 1, 2]
    col.delete_snapshot("five")
    assert not os.path.exists(os.path.join(graphs, "five..hnsw.graph"))
    assert [s["name"] for s in col.list_snapshots()] == ["three"]


def test_restoring_a_snapshot_without_sparse_vectors_removes_sparse_bin(data_dir):
    kv.Client(data_dir).create_collection("c", 2, metric="l2", index_type="flat")
    edit_meta(data_dir, "c", wal_compact_threshold=2)
    col = reopen(data_dir, "c")
    col.upsert(1, [1.0, 0.0])
    col.create_snapshot("plain")
    col.upsert_hybrid(2, [2.0, 0.0], {1: 1.0})  # compacts: sparse.bin is written
    assert "sparse.bin" in files(data_dir, "c")
    col.restore_snapshot("plain")
    assert "sparse.bin" not in files(data_dir, "c") and (col.count, col.sparse_count) == (1, 0)


def write_description(data_dir, directory, text):
    path = os.path.join(data_dir, "c", "snapshots", directory)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, "snapshot.json"), "w") as f:
        f.write(text)


def description(name, created_at, **extra):
    return json.dumps({"name": name, "created_at": created_at, "vector_count": 1, "sparse_count": 0, **extra})


def test_listing_sorts_by_time_and_skips_what_does_not_parse(data_dir):
    col = kv.Client(data_dir).create_collection("c", 2, index_type="flat")
    assert col.list_snapshots() == []
    write_description(data_dir, "late", description("late", 30))
    write_description(data_dir, "early", description("stored name", 10, extra="ignored"))
    write_description(data_dir, "mid", description("mid", 20))
    broken = {
        "bad_json": "{ not json",
        "missing_key": json.dumps({"name": "x", "created_at": 1, "vector_count": 1}),
        "negative": description("x", -1),
        "float": description("x", 1.5),
        "name_not_text": description(5, 1),
    }
    for directory, text in broken.items():
        write_description(data_dir, directory, text)
    os.makedirs(os.path.join(data_dir, "c", "snapshots", "no_description"))
    with open(os.path.join(data_dir, "c", "snapshots", "a_file"), "w") as f:
        f.write(description("a_file", 0))
    listed = col.list_snapshots()
    assert [(s["name"], s["created_at"]) for s in listed] == [("stored name", 10), ("mid", 20), ("late", 30)]
    assert list(listed[0]) == ["name", "created_at", "vector_count", "sparse_count"]
    # Equal times keep the directory's order; every one of them is listed.
    for i in range(5):
        write_description(data_dir, "same%d" % i, description("same%d" % i, 15))
    names = [s["name"] for s in col.list_snapshots()]
    assert names[0] == "stored name" and sorted(names[1:6]) == ["same%d" % i for i in range(5)]
    assert names[6:] == ["mid", "late"]


def test_missing_snapshots_and_deleted_collections(data_dir):
    db = kv.Client(data_dir)
    col = db.create_collection("c", 2, index_type="flat")
    col.upsert(1, [1, 0])
    for method in ("restore_snapshot", "delete_snapshot"):
        with pytest.raises(KeyError) as err:
            getattr(col, method)("missing")
        assert err.value.args == ("snapshot not found: missing",)
    # A snapshot directory without its files is refused before anything is replaced.
    os.makedirs(os.path.join(data_dir, "c", "snapshots", "empty"))
    with pytest.raises(OSError):
        col.restore_snapshot("empty")
    col.upsert(2, [2, 0])
    assert files(data_dir, "c") == ["meta.json", "snapshots", "wal.log"]
    col.create_snapshot("s")
    col.delete_snapshot("s")
    assert files(data_dir, "c", "snapshots") == ["empty"]
    db.delete_collection("c")
    for call in (lambda: col.create_snapshot("s"), col.list_snapshots, lambda: col.restore_snapshot("s"),
                 lambda: col.delete_snapshot("s"), lambda: col.upsert_hybrid(1, [1, 0], {1: 1.0}),
                 lambda: col.search_hybrid([1, 0], {}, 0)):
        with pytest.raises(KeyError) as err:
            call()
        assert err.value.args == ("collection 'c' not found",)
    del col, db
    assert ids(kv.Client(data_dir).create_collection("c", 2, index_type="flat")) == []
