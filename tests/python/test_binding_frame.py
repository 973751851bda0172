"""The behaviour every class shares: module setup, argument binding and
conversion, error mapping, borrow conflicts and the internal-failure class."""

import inspect
import threading

import numpy as np
import pytest

import kovra_vector_db as kv


def test_module_exports_classes_in_registration_order():
    expected = ["FlatIndex", "HnswIndex", "QuantizedFlatIndex", "Fp16FlatIndex", "IvfIndex",
                "IvfPqIndex", "MmapFlatIndex", "BinaryFlatIndex", "Client", "Collection"]
    # Classes appear in this order as they are implemented; whatever is present
    # must keep the order.
    assert kv.__all__ == [name for name in expected if name in kv.__all__]
    for name in kv.__all__:
        assert getattr(kv, name).__module__ == "kovra_vector_db"
    assert kv.__doc__ == ""


def test_reimport_returns_the_cached_module():
    # The package re-executes its __init__ on a fresh import; the extension
    # under it must come back as the same module with the same classes.
    import importlib
    import sys
    names = ["kovra_vector_db", "kovra_vector_db.kovra_vector_db"]
    saved = {name: sys.modules.pop(name) for name in names}
    try:
        again = importlib.import_module("kovra_vector_db")
        assert sys.modules["kovra_vector_db.kovra_vector_db"] is saved["kovra_vector_db.kovra_vector_db"]
        for name in kv.__all__:
            assert getattr(again, name) is getattr(kv, name)
    finally:
        sys.modules.update(saved)


def test_sub_interpreters_are_refused():
    import subprocess
    import sys
    code = (
        "import kovra_vector_db, _xxsubinterpreters as si\n"
        "i = si.create()\n"
        "try:\n"
        "    si.run_string(i, 'import kovra_vector_db')\n"
        "except Exception as e:\n"
        "    print('refused', 'sub-interpreter' in str(e))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "refused True", out.stderr


def test_text_signatures():
    assert str(inspect.signature(kv.FlatIndex)) == "(dimensions, metric='l2')"
    assert str(inspect.signature(kv.FlatIndex.search)) == "(self, /, query, k)"
    assert str(inspect.signature(kv.FlatIndex.load)) == "(path)"


@pytest.mark.parametrize("make", [
    lambda: [1, 2, 3],
    lambda: (1.0, 2.0, 3.0),
    lambda: np.array([1, 2, 3], dtype=np.float32),
    lambda: np.array([1, 2, 3], dtype=np.float64),
    lambda: np.array([1, 9, 2, 9, 3, 9], dtype=np.float32)[::2],
    lambda: np.array([1, 2, 3], dtype=np.dtype("<f4")),
])
def test_vector_forms_convert_to_the_same_floats(make):
    index = kv.FlatIndex(3)
    index.add(7, make())
    assert index.search([1, 2, 3], 1) == [{"id": 7, "distance": 0.0}]


def test_vector_conversion_errors():
    index = kv.FlatIndex(2)
    with pytest.raises(ValueError, match="^vector must be 1-dimensional$"):
        index.add(1, np.zeros((1, 2), dtype=np.float32))
    with pytest.raises(TypeError, match="^Can't extract `str` to `Vec`$"):
        index.add(1, "ab")
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'Sequence'$"):
        index.add(1, 5)
    with pytest.raises(TypeError):
        index.add(1, [1.0, "x"])
    # Doubles beyond the float range narrow to infinity.
    index.add(2, [1e300, -1e300])
    assert len(index) == 1


def test_id_conversion_errors():
    index = kv.FlatIndex(2)
    with pytest.raises(OverflowError):
        index.add(id=-1, vector=[0.0, 1.0])
    with pytest.raises(OverflowError):
        index.add(2 ** 64, [0.0, 1.0])
    with pytest.raises(TypeError, match="^argument 'id': ") as info:
        index.add(id="a", vector=[0.0, 1.0])
    assert isinstance(info.value.__cause__, TypeError)
    with pytest.raises(TypeError, match="^argument 'id': "):
        index.add(1.5, [0.0, 1.0])
    index.add(2 ** 64 - 1, [0.0, 1.0])
    assert index.search([0.0, 1.0], 1)[0]["id"] == 2 ** 64 - 1
    with pytest.raises(TypeError, match="^argument 'path': "):
        index.save(5)


def test_argument_binding_errors_name_the_method_and_argument():
    index = kv.FlatIndex(2)
    with pytest.raises(TypeError, match=r"FlatIndex\.add\(\).*'vector'"):
        index.add(1)
    with pytest.raises(TypeError, match=r"FlatIndex\.add\(\).*'id'"):
        index.add(1, [0.0, 0.0], id=2)
    with pytest.raises(TypeError, match=r"FlatIndex\.add\(\).*'bogus'"):
        index.add(1, [0.0, 0.0], bogus=2)
    with pytest.raises(TypeError, match=r"FlatIndex\.add\(\)"):
        index.add(1, [0.0, 0.0], 3)
    index.add(vector=[0.0, 0.0], id=3)
    assert len(index) == 1


def test_entries_conversion():
    index = kv.FlatIndex(2)
    with pytest.raises(ValueError, match=r"^each entry must be a tuple of \(id, vector\)$"):
        index.add_batch([(1, [0.0, 1.0]), [2, [0.0, 1.0]]])
    assert len(index) == 0
    with pytest.raises(TypeError, match="^argument 'entries': 'tuple' object cannot be converted to 'PyList'$"):
        index.add_batch(((1, [0.0, 1.0]),))
    with pytest.raises(ValueError, match="each entry must be a tuple"):
        index.add_batch([(1,)])
    # Elements after the second are ignored.
    index.add_batch([(1, [0.0, 1.0], "extra")])
    assert len(index) == 1


def test_block_conversion_errors():
    index = kv.FlatIndex(2)
    with pytest.raises(ValueError, match=r"^vectors must support the buffer protocol \(e\.g\. numpy array\)$"):
        index.add_batch_np(np.zeros((2, 2)))
    with pytest.raises(ValueError, match=r"^vectors must support the buffer protocol"):
        index.add_batch_np([[0.0, 1.0]])
    with pytest.raises(ValueError, match="^vectors must be 2-dimensional, got 3-dimensional$"):
        index.add_batch_np(np.zeros((1, 1, 2), dtype=np.float32))
    with pytest.raises(ValueError, match="^vectors must be 2-dimensional, got 1-dimensional$"):
        index.add_batch_np(np.zeros(2, dtype=np.float32))
    # A non-contiguous block is gathered in row-major order.
    block = np.arange(12, dtype=np.float32).reshape(3, 4)[:, ::2]
    index.add_batch_np(block, start_id=5)
    assert index.search([8.0, 10.0], 1) == [{"id": 7, "distance": 0.0}]


@pytest.mark.parametrize("layout", [
    lambda a: a,                                             # read in place
    lambda a: np.asfortranarray(a),                          # column-major: copied
    lambda a: np.repeat(a, 2, axis=1)[:, ::2],               # strided columns: copied
    lambda a: a[::-1][::-1],                                 # a view of the same rows
    lambda a: np.concatenate([a, a])[len(a):],               # an offset into a larger block
])
def test_blocks_of_every_layout_read_the_same(tmp_path, layout):
    rows = np.random.default_rng(3).standard_normal((40, 6)).astype(np.float32)
    block = layout(rows.copy())
    assert np.array_equal(block, rows)
    ids = np.arange(100, 140)
    col = kv.Client(str(tmp_path)).create_collection("c", 6, index_type="flat")
    col.upsert_batch_np(ids, block)
    graph = kv.HnswIndex(6)
    graph.add_batch_np(block, start_id=100)
    flat = kv.FlatIndex(6)
    flat.add_batch_np(block, start_id=100)
    found, _ = col.search_batch(block, 1)
    assert found[:, 0].tolist() == ids.tolist()
    for index in (graph, flat):
        found, _ = index.search_batch(block, 1)
        assert found[:, 0].tolist() == ids.tolist()
    assert np.array_equal(col.get(117)["vector"], rows[17])


def test_error_kinds_map_to_exceptions(tmp_path):
    index = kv.FlatIndex(3)
    with pytest.raises(ValueError, match="^dimension mismatch: expected 3, got 2$"):
        index.add(1, [1.0, 2.0])
    index.add(1, [1.0, 2.0, 3.0])
    with pytest.raises(KeyError) as info:
        index.add(1, [1.0, 2.0, 3.0])
    assert info.value.args == ("duplicate vector ID: 1",)
    with pytest.raises(IOError, match="^I/O error: "):
        kv.FlatIndex.load(str(tmp_path / "missing.bin"))
    bad = tmp_path / "bad.bin"
    bad.write_bytes(b"\x01")
    with pytest.raises(RuntimeError, match="^serialization error: "):
        kv.FlatIndex.load(str(bad))
    with pytest.raises(ValueError, match='^unknown metric "L2"; expected "l2", "cosine", or "dot_product"$'):
        kv.FlatIndex(3, "L2")
    with pytest.raises(ValueError, match=r'^unknown metric "a\\"b"'):
        kv.FlatIndex(3, 'a"b')


def test_self_must_be_an_instance():
    with pytest.raises(TypeError):
        kv.FlatIndex.search(object(), [1.0], 1)


def test_search_during_bulk_insert_reports_borrow_conflict():
    index = kv.FlatIndex(64)
    block = np.random.default_rng(0).random((400_000, 64), dtype=np.float32)
    errors = []
    started = threading.Event()

    def searcher():
        started.wait()
        for _ in range(20000):
            try:
                index.search(np.zeros(64, dtype=np.float32), 1)
            except RuntimeError as e:
                errors.append(str(e))
                return

    t = threading.Thread(target=searcher)
    t.start()
    started.set()
    for start in range(0, 2_000_000, 400_000):
        index.add_batch_np(block, start_id=start)
        if errors:
            break
    t.join()
    # The searcher either never overlapped an insertion or was refused at once.
    assert all(e == "Already mutably borrowed" for e in errors)


def test_exclusive_call_during_search_is_refused():
    index = kv.FlatIndex(64)
    index.add_batch_np(np.random.default_rng(1).random((300_000, 64), dtype=np.float32))
    errors = []
    stop = threading.Event()

    def searcher():
        while not stop.is_set():
            index.search(np.zeros(64, dtype=np.float32), 5)

    threads = [threading.Thread(target=searcher) for _ in range(2)]
    for t in threads:
        t.start()
    try:
        for i in range(200):
            try:
                index.add(10_000_000 + i, np.zeros(64, dtype=np.float32))
            except RuntimeError as e:
                errors.append(str(e))
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert all(e == "Already borrowed" for e in errors)


def test_panic_exception_is_a_base_exception():
    # The class is created at import; it is reachable through a raised instance
    # only, so check its place in the hierarchy through the C-level name.
    import gc
    panic = [c for c in gc.get_objects() if isinstance(c, type) and c.__name__ == "PanicException"
             and c.__module__ == "kovra_vector_db"]
    assert panic, "PanicException type exists"
    assert panic[0].__bases__ == (BaseException,)
    assert not issubclass(panic[0], Exception)
