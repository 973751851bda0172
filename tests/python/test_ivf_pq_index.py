import pathlib
import struct

import numpy as np
import pytest

import kovra_vector_db as kv


def ids(results):
    return [r["id"] for r in results]


def test_surface():
    assert kv.IvfPqIndex.__text_signature__ == (
        '(dimensions, metric="l2", n_lists=256, nprobe=16, train_size=4096, pq_m=8, pq_k_sub=256)')
    assert kv.IvfPqIndex.__doc__ == (
        "IVF with product quantization. Extreme memory reduction (~96x for 1536-dim).\n\n"
        "Combines IVF coarse quantizer with PQ compression for residual vectors.\n"
        "Ideal for million-scale datasets.\n\n"
        "Args:\n"
        "    dimensions: Number of dimensions per vector.\n"
        '    metric: Distance metric - "l2", "cosine", or "dot_product".\n'
        "    n_lists: Number of IVF clusters (default 256).\n"
        "    nprobe: Clusters scanned per query (default 16).\n"
        "    train_size: Vectors buffered before auto-training (default 4096).\n"
        "    pq_m: Number of PQ sub-quantizers (default 8, must divide dimensions).\n"
        "    pq_k_sub: Centroids per sub-quantizer (default 256).")
    for name in ("add", "add_batch", "search", "delete", "flush", "save", "load"):
        assert getattr(kv.IvfPqIndex, name).__text_signature__ == getattr(kv.IvfIndex, name).__text_signature__
        assert getattr(kv.IvfPqIndex, name).__doc__ is None
    assert kv.IvfPqIndex.add_batch_np.__doc__ == kv.IvfIndex.add_batch_np.__doc__
    index = kv.IvfPqIndex(16)
    assert repr(index) == 'IvfPqIndex(dimensions=16, metric="l2", len=0)'
    assert (index.dimensions, index.metric, len(index)) == (16, "l2", 0)


@pytest.mark.parametrize("kwargs, message", [
    (dict(n_lists=0), "n_lists must be at least 1"),
    (dict(pq_m=0), "pq_m must be at least 1"),
    (dict(pq_m=3), r"dimensions \(16\) must be divisible by m \(3\)"),
    (dict(pq_k_sub=0), "pq_k_sub must be between 1 and 256, got 0"),
    (dict(pq_k_sub=257), "pq_k_sub must be between 1 and 256, got 257"),
])
def test_untrainable_parameters_are_refused(kwargs, message):
    with pytest.raises(ValueError, match="^invalid configuration: " + message + "$"):
        kv.IvfPqIndex(16, **kwargs)


def test_cosine_distances_before_and_after_training(rng):
    data = rng.normal(size=(30, 8)).astype(np.float32)
    index = kv.IvfPqIndex(8, "cosine", n_lists=2, pq_m=4)
    index.add_batch_np(data)
    q = data[4]
    cos = 1 - data @ q / (np.linalg.norm(data, axis=1) * np.linalg.norm(q))
    res = index.search(q, 3)
    assert ids(res) == list(np.argsort(cos, kind="stable")[:3])
    assert [r["distance"] for r in res] == pytest.approx(np.sort(cos)[:3], abs=1e-5)
    index.flush()
    # Fewer residuals than k_sub: the codes are exact, so the estimates are
    # the squared Euclidean distances rather than cosine ones.
    sq = ((data - q) ** 2).sum(1)
    res = index.search(q, 30)
    assert len(res) == 30
    got = {r["id"]: r["distance"] for r in res}
    assert [got[i] for i in range(30)] == pytest.approx(sq, rel=1e-4, abs=1e-4)


def test_entries_and_errors():
    index = kv.IvfPqIndex(4, n_lists=2, train_size=4, pq_m=2, pq_k_sub=4)
    with pytest.raises(ValueError, match="^dimension mismatch: expected 4, got 3$"):
        index.add_batch_np(np.zeros((2, 3), dtype=np.float32))
    index.add_batch([(1, [0.0, 0.0, 0.0, 0.0]), (2, [1.0, 0.0, 0.0, 0.0])])
    assert index.delete(1) is True  # pending
    index.add_batch_np(np.eye(4, dtype=np.float32) * 10, start_id=10)  # trains on the 4th vector
    assert len(index) == 5
    assert index.delete(12) is True
    assert index.delete(12) is False
    assert 12 not in ids(index.search([0.0, 0.0, 10.0, 0.0], 10))
    with pytest.raises(ValueError, match="^dimension mismatch: expected 4, got 5$"):
        index.search([0.0] * 5, 1)


def test_save_load(tmp_path, rng):
    data = rng.normal(size=(120, 8)).astype(np.float32)
    path = tmp_path / "pq.bin"
    for train_size, present in ((1000, 0), (100, 1)):
        index = kv.IvfPqIndex(8, "dot_product", n_lists=4, nprobe=2, train_size=train_size, pq_m=2, pq_k_sub=16)
        index.add_batch_np(data)
        index.save(str(path))
        raw = path.read_bytes()
        pending = 0 if present else 120
        at = 8 + 4 + 56 + 8 + 8 * pending + 8 + 32 * pending
        (n_floats,) = struct.unpack_from("<Q", raw, at)
        at += 8 + 4 * n_floats + 8
        assert raw[at] == present
        loaded = kv.IvfPqIndex.load(str(path))
        assert repr(loaded) == repr(index)
        for q in data[:10]:
            assert loaded.search(q, 5) == index.search(q, 5)
    raw = path.read_bytes()
    path.write_bytes(raw[:8] + struct.pack("<I", 7) + raw[12:])
    with pytest.raises(RuntimeError, match="^serialization error: "):
        kv.IvfPqIndex.load(str(path))
    path.write_bytes(raw[:-1] + b"\x05")
    with pytest.raises(RuntimeError, match="^serialization error: "):
        kv.IvfPqIndex.load(str(path))


def _sections(raw):
    """Splits a save file into its leading part, the exact copies, the id map
    and the trained byte; copies and map are lists of records."""
    at = 8 + 4 + 56

    def u64():
        nonlocal at
        (v,) = struct.unpack_from("<Q", raw, at)
        at += 8
        return v

    dims = struct.unpack_from("<Q", raw, 0)[0]
    def skip(width):                    # a counted array
        nonlocal at
        n = u64()
        at += width * n

    skip(8)                             # pending ids
    skip(4)                             # pending vectors
    skip(4)                             # centroids
    at += 8                             # n_centroids
    at += 1
    if raw[at - 1] == 1:
        at += 24
        skip(4)                         # codebooks
    for _ in range(u64()):              # lists
        for _ in range(u64()):
            at += 8
            skip(1)
    head = raw[:at]
    width = 16 + 4 * dims
    n = u64()
    copies = [raw[at + i * width: at + (i + 1) * width] for i in range(n)]
    at += n * width
    n = u64()
    pairs = [raw[at + 16 * i: at + 16 * (i + 1)] for i in range(n)]
    at += 16 * n
    return head, copies, pairs, raw[at:]


@pytest.mark.parametrize("over_itself", [False, True])
def test_an_earlier_file_saves_back_with_the_same_records(tmp_path, over_itself):
    # Written by the version that kept every exact vector in memory: 40
    # vectors, one re-added after training (its stale entry still listed),
    # one deleted, one added. The copies and the id map were in hash order; now
    # they follow the lists, and every record is the same.
    earlier = (pathlib.Path(__file__).parent / "data" / "ivf_pq_earlier_layout.bin").read_bytes()
    source = tmp_path / "earlier.bin"
    source.write_bytes(earlier)
    index = kv.IvfPqIndex.load(str(source))
    target = source if over_itself else tmp_path / "again.bin"
    index.save(str(target))
    head, copies, pairs, tail = _sections(target.read_bytes())
    e_head, e_copies, e_pairs, e_tail = _sections(earlier)
    assert (head, tail) == (e_head, e_tail)
    assert sorted(copies) == sorted(e_copies) and len(copies) == 40
    assert sorted(pairs) == sorted(e_pairs)
    again = kv.IvfPqIndex.load(str(target))
    rng = np.random.default_rng(3)
    data = rng.normal(size=(40, 8)).astype(np.float32)
    for q in data[:10]:
        assert again.search(q, 5) == index.search(q, 5)
    # Saved again, byte for byte the same.
    again.save(str(tmp_path / "third.bin"))
    assert (tmp_path / "third.bin").read_bytes() == target.read_bytes()
