"""Durability, checked on the system calls themselves: every file that
replaces another is written, synced, renamed and its directory synced, in that
order; with sync=True each write reaches the disk before it returns."""
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

STRACE = shutil.which("strace")
pytestmark = pytest.mark.skipif(STRACE is None, reason="strace is not installed")

# Opens a collection with changed metadata: the first client creates it, the
# second reads the edited "meta.json".
PRELUDE = textwrap.dedent(
    """
    import json, os, sys
    import numpy as np
    import kovra_vector_db as kv
    D = sys.argv[1]
    rng = np.random.default_rng(7)

    def collection(name, index_type, **meta):
        kv.Client(D).create_collection(name, 8, "l2", index_type)
        path = os.path.join(D, name, "meta.json")
        with open(path) as f:
            m = json.load(f)
        m.update(meta)
        with open(path, "w") as f:
            json.dump(m, f)
        return kv.Client(D).get_collection(name)

    def vec():
        return rng.standard_normal(8).astype(np.float32)
    """
)

# Each way a file is replaced, with the names it must replace.
SCENARIOS = {
    "compaction_of_a_graph_with_sparse_vectors": (
        """
        c = collection("c", "hnsw", wal_compact_threshold=6)
        for i in range(6):  # three vectors written twice: as many dead records as live
            c.upsert_hybrid(i % 3, vec(), {i: 1.0})
        """,
        {"wal.log", "hnsw.graph", "sparse.bin"},
    ),
    "promotion_to_a_graph": (
        """
        c = collection("p", "flat", auto_promote_threshold=3)
        for i in range(3):
            c.upsert(i, vec())
        """,
        {"meta.json"},
    ),
    "snapshot_and_restore": (
        """
        c = collection("s", "hnsw")
        c.upsert_hybrid(1, vec(), {1: 1.0})
        c.upsert(2, vec())
        c.create_snapshot("one")
        c.upsert(3, vec())
        c.restore_snapshot("one")
        """,
        {"wal.log", "one..hnsw.graph", "meta.json", "sparse.bin", "hnsw.graph"},
    ),
    "index_saves": (
        """
        os.makedirs(D)
        for cls, args in [(kv.FlatIndex, (8,)), (kv.HnswIndex, (8,)), (kv.QuantizedFlatIndex, (8,)),
                          (kv.Fp16FlatIndex, (8,)), (kv.BinaryFlatIndex, (8,))]:
            index = cls(*args)
            index.add(1, vec())
            for _ in range(2):
                index.save(os.path.join(D, cls.__name__ + ".bin"))
        """,
        {"FlatIndex.bin", "HnswIndex.bin", "QuantizedFlatIndex.bin", "Fp16FlatIndex.bin", "BinaryFlatIndex.bin"},
    ),
    "vector_file_rewrite": (
        """
        os.makedirs(D, exist_ok=True)
        index = kv.MmapFlatIndex(8, path=os.path.join(D, "v.kvec"))
        index.add_batch([(i, vec()) for i in range(4)])
        index.flush()
        index.delete(1)
        index.flush()
        """,
        {"v.kvec"},
    ),
}

CALL = re.compile(r"^(?:\[pid\s+)?\d+\]?\s+(?:<\.\.\. )?(\w+)(?:\(| resumed>)(.*)$")
FD_PATH = re.compile(r"^\d+<([^>]*)>")
STRINGS = re.compile(r'"((?:[^"\\]|\\.)*)"')


def trace(tmp_path, body):
    data = tmp_path / "db"
    script = tmp_path / "scenario.py"
    script.write_text(PRELUDE + textwrap.dedent(body))
    log = tmp_path / "strace.log"
    env = dict(os.environ)
    subprocess.run(
        [STRACE, "-f", "-y", "-qq", "-o", str(log),
         "-e", "trace=write,pwrite64,writev,fsync,fdatasync,rename,renameat,renameat2",
         sys.executable, str(script), str(data)],
        check=True, env=env, timeout=300,
    )
    calls = []  # (name, path) in the order the calls started
    for line in log.read_text(errors="replace").splitlines():
        m = CALL.match(line)
        if not m or "resumed>" in line:
            continue
        name, rest = m.groups()
        if name.startswith("rename"):
            paths = STRINGS.findall(rest)
            if len(paths) >= 2:
                calls.append(("rename", paths[0], paths[1]))
            continue
        fd = FD_PATH.match(rest)
        if fd:
            calls.append((name, fd.group(1)))
    return calls


def resolve(path):
    return os.path.join(os.path.realpath(os.path.dirname(path)), os.path.basename(path))


@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
def test_every_replacement_is_written_synced_renamed_and_its_directory_synced(tmp_path, scenario):
    body, expected = SCENARIOS[scenario]
    calls = trace(tmp_path, body)
    renamed = set()
    for at, call in enumerate(calls):
        if call[0] != "rename":
            continue
        source, target = resolve(call[1]), resolve(call[2])
        renamed.add(os.path.basename(target))
        before = calls[:at]
        syncs = [i for i, c in enumerate(before) if c[0] in ("fsync", "fdatasync") and c[1] == source]
        assert syncs, f"{source} renamed without a sync"
        writes = [i for i, c in enumerate(before) if c[0] != "rename" and "write" in c[0] and c[1] == source]
        assert not writes or writes[-1] < syncs[-1], f"{source} written after its sync"
        directory = os.path.dirname(target)
        assert any(c[0] == "fsync" and c[1] == directory for c in calls[at + 1:]), \
            f"directory of {target} not synced after the rename"
    assert expected <= renamed, f"expected replacements missing: {expected - renamed}"


@pytest.mark.parametrize("sync, writes, at_least, at_most", [
    (False, 20, 0, 0),   # handed to the operating system only
    (True, 20, 20, 20),  # one writer: one sync per write
])
def test_sync_keyword_syncs_the_log_once_per_write(tmp_path, sync, writes, at_least, at_most):
    calls = trace(tmp_path, f"""
        c = kv.Client(D, sync={sync}).create_collection("w", 8, "l2", "flat")
        for i in range({writes // 2}):
            c.upsert(i, vec())
        c.upsert_batch([(i, vec()) for i in range(100, 110)])
        for i in range({writes // 2 - 1}):
            c.delete(i)
        """)
    log_syncs = [c for c in calls if c[0] == "fdatasync" and c[1].endswith("/w/wal.log")]
    assert at_least <= len(log_syncs) <= at_most
