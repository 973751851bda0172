"""The module as users install it: its stubs, its shared-library needs, and the
README's examples, run as they stand and checked by mypy."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import kovra_vector_db as kv

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUBS_DIR = ROOT / "python" / "kovra_vector_db-stubs"
STUBS = STUBS_DIR / "__init__.pyi"
# The package directory, its extension, and the directory on sys.path that holds them
# (and the stubs, once installed).
PACKAGE_DIR = pathlib.Path(kv.__file__).resolve().parent
EXTENSION = PACKAGE_DIR / "kovra_vector_db.abi3.so"
MODULE_DIR = PACKAGE_DIR.parent


def test_installed_where_the_test_command_put_it():
    if os.environ.get("KOVRA_EXPECT_INSTALLED") != "1":
        pytest.skip("running against the build tree")
    assert MODULE_DIR.is_relative_to(pathlib.Path(sys.prefix).resolve())
    for stub in STUBS_DIR.glob("*.pyi"):
        assert (MODULE_DIR / "kovra_vector_db-stubs" / stub.name).read_bytes() == stub.read_bytes()
    for source in (ROOT / "python" / "kovra_vector_db").glob("*.py"):
        assert (PACKAGE_DIR / source.name).read_bytes() == source.read_bytes()
    assert pathlib.Path(kv.kovra_vector_db.__file__).resolve() == EXTENSION


def test_needs_only_the_cpp_runtime_openmp_and_libc():
    if shutil.which("readelf") is None:
        pytest.skip("readelf is not installed")
    out = subprocess.run(["readelf", "-d", str(EXTENSION)], check=True, capture_output=True, text=True).stdout
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out))
    allowed = {"libstdc++.so.6", "libgcc_s.so.1", "libgomp.so.1", "libm.so.6", "libc.so.6",
               "ld-linux-x86-64.so.2"}
    assert needed and needed <= allowed, needed - allowed


@pytest.fixture(scope="module")
def mypy_env(tmp_path_factory):
    """mypy finds the installed stubs beside an installed module; against the
    build tree it gets a copy of the stubs on MYPYPATH."""
    pytest.importorskip("mypy")
    env = dict(os.environ)
    if not (MODULE_DIR / "kovra_vector_db-stubs").is_dir():
        stubs = tmp_path_factory.mktemp("stubs")
        shutil.copytree(STUBS_DIR, stubs / "kovra_vector_db")
        env["MYPYPATH"] = str(stubs)
        env["PYTHONPATH"] = os.pathsep.join([str(MODULE_DIR), env.get("PYTHONPATH", "")])
    return env


def run(args, cwd, env, stdin=None):
    return subprocess.run(args, cwd=cwd, env=env, input=stdin, capture_output=True, text=True, timeout=600)


def test_stubs_match_the_module(mypy_env, tmp_path):
    r = run([sys.executable, "-m", "mypy.stubtest", "kovra_vector_db"], tmp_path, mypy_env)
    assert r.returncode == 0, r.stdout + r.stderr


def test_readme_examples_run_as_pasted_and_type_check(mypy_env, tmp_path):
    # The blocks build on one another (the hybrid example uses the collection
    # of the quick start), so they run in order in one interpreter.
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(encoding="utf-8"), re.S)
    assert len(blocks) >= 3
    code = "\n".join(blocks)
    r = run([sys.executable, "-"], tmp_path, mypy_env, stdin=code)
    assert r.returncode == 0, r.stderr
    (tmp_path / "readme_examples.py").write_text(code, encoding="utf-8")
    r = run([sys.executable, "-m", "mypy", "--no-incremental", "readme_examples.py"], tmp_path, mypy_env)
    assert r.returncode == 0, r.stdout + r.stderr
