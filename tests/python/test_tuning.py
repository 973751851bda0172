import numpy as np
import pytest

import kovra_vector_db as kv

DIM, N_LISTS = 8, 4

# (class, constructor arguments, knob, default); the inverted files train at 64 vectors.
KNOBS = [
    (kv.HnswIndex, {}, "ef_search", 50),
    (kv.IvfIndex, {"n_lists": N_LISTS, "nprobe": 1, "train_size": 64}, "nprobe", 1),
    (kv.IvfPqIndex, {"n_lists": N_LISTS, "nprobe": 1, "train_size": 64, "pq_m": 2, "pq_k_sub": 16}, "nprobe", 1),
]
REFUSED = [(0, ValueError), (-1, ValueError), (-2**70, ValueError), (2**64, OverflowError),
           (2.0, TypeError), ("3", TypeError), (None, TypeError)]


@pytest.mark.parametrize("cls,kwargs,knob,default", KNOBS)
@pytest.mark.parametrize("value,error", REFUSED)
def test_bad_values_are_refused_and_change_nothing(cls, kwargs, knob, default, value, error):
    index = cls(DIM, **kwargs)
    match = {ValueError: f"^invalid configuration: {knob} must be at least 1$", TypeError: f"^argument '{knob}': "}
    with pytest.raises(error, match=match.get(error)):
        setattr(index, knob, value)
    with pytest.raises(AttributeError, match=f"^can't delete attribute '{knob}'$"):
        delattr(index, knob)
    assert getattr(index, knob) == default


@pytest.mark.parametrize("cls,kwargs,knob,default", KNOBS)
def test_knob_takes_effect_and_is_saved(tmp_path, rng, cls, kwargs, knob, default):
    data = rng.normal(size=(64, DIM)).astype(np.float32)
    index, flat = cls(DIM, **kwargs), kv.FlatIndex(DIM)
    index.add_batch_np(data)
    flat.add_batch_np(data)
    if cls is not kv.HnswIndex:
        # One list of four holds only part of the data; all four hold all of it.
        assert len(index.search(data[0], 64)) < 64
    setattr(index, knob, np.int64(N_LISTS))
    assert getattr(index, knob) == N_LISTS and len(index.search(data[0], 64)) == 64
    if cls is kv.IvfIndex:
        assert [index.search(q, 10) for q in data[:10]] == [flat.search(q, 10) for q in data[:10]]
    index.save(str(tmp_path / "index"))
    assert getattr(cls.load(str(tmp_path / "index")), knob) == N_LISTS


def test_ef_search_widens_the_beam(rng):
    data, queries = rng.normal(size=(2000, 16)).astype(np.float32), rng.normal(size=(100, 16)).astype(np.float32)
    hnsw, flat = kv.HnswIndex(16, ef_construction=16, m=4), kv.FlatIndex(16)
    hnsw.add_batch_np(data)
    flat.add_batch_np(data)
    truth = [{r["id"] for r in flat.search(q, 10)} for q in queries]

    def recall(ef):
        hnsw.ef_search = ef
        return sum(len({r["id"] for r in hnsw.search(q, 10)} & t) for q, t in zip(queries, truth)) / 1000

    narrow = recall(1)
    assert narrow < 0.8 and recall(2000) >= 0.95
    assert recall(10) == narrow  # the beam is never narrower than k
