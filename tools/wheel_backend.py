"""The project's PEP 517 build backend: builds the extension module with the
project's CMake build and packs it, with the package's pure-Python modules
and its type stubs, into one wheel tagged for the stable ABI (cp311-abi3).

The wheel holds the package `kovra_vector_db/` (`__init__.py`, which
re-exports the extension's classes, the extension `kovra_vector_db.abi3.so`
and the other modules of python/kovra_vector_db/) and the stub package
`kovra_vector_db-stubs/` (every .pyi of python/kovra_vector_db-stubs/).

It needs nothing beyond the standard library, so `pip install
--no-build-isolation .` and `python3 -m build --wheel --no-isolation` work
with any Python 3.11 that has pip, without setuptools or wheel. The C++
build needs cmake, g++, the Python headers, nlohmann-json and OpenBLAS's
serial build; when configuring fails, `make deps` installs them from
Debian's packages and the build is tried once more.

Environment: KOVRA_BUILD_DIR names the CMake build directory to use (relative
to the source tree; default build-wheel/, the Makefile passes its own build/).
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import pathlib
import subprocess
import sys
import sysconfig
import tarfile
import tomllib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULE = "kovra_vector_db"
MODULE_FILE = f"{MODULE}.abi3.so"
# The extension's place inside the package, in the build tree and in the wheel.
EXTENSION = f"{MODULE}/{MODULE_FILE}"
STUBS = f"{MODULE}-stubs"
ABI_TAG = "cp311-abi3"
# Fixed time stamps inside the archives, so that two builds of the same tree
# give the same bytes (1980-01-01 is the earliest a zip entry can hold).
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


def _project() -> dict:
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def _dist_name(project: dict) -> str:
    return project["name"].replace("-", "_").replace(".", "_")


def _platform_tag() -> str:
    return sysconfig.get_platform().replace("-", "_").replace(".", "_")


def _metadata(project: dict) -> str:
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"Requires-Python: {project['requires-python']}",
    ]
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    for extra, deps in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {d}; extra == "{extra}"' for d in deps]
    readme = (ROOT / project["readme"]).read_text(encoding="utf-8")
    lines.append("Description-Content-Type: text/markdown")
    return "\n".join(lines) + "\n\n" + readme


def _wheel_file(tag: str) -> str:
    return f"Wheel-Version: 1.0\nGenerator: {MODULE} wheel_backend\nRoot-Is-Purelib: false\nTag: {tag}\n"


def _dist_info(project: dict) -> str:
    return f"{_dist_name(project)}-{project['version']}.dist-info"


def _write_dist_info(directory: pathlib.Path, project: dict, tag: str) -> dict:
    files = {"METADATA": _metadata(project), "WHEEL": _wheel_file(tag), "top_level.txt": f"{MODULE}\n"}
    for name, text in files.items():
        (directory / name).write_text(text, encoding="utf-8")
    return files


def _build_module() -> pathlib.Path:
    build = pathlib.Path(os.environ.get("KOVRA_BUILD_DIR", "build-wheel"))
    if not build.is_absolute():
        build = ROOT / build
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                 f"-DPython3_EXECUTABLE={sys.executable}"]
    if not (build / "CMakeCache.txt").exists():
        configure.append("-DKOVRA_BUILD_TESTS=OFF")  # GoogleTest is not needed for the module

    def run_configure() -> bool:
        try:
            return subprocess.run(configure, stdout=sys.stderr).returncode == 0
        except OSError:  # no cmake at all
            return False

    if not run_configure():
        print("configuring the C++ build failed; installing the build's Debian packages "
              "with `make deps` and trying again", file=sys.stderr)
        if subprocess.run(["make", "-C", str(ROOT), "deps"], stdout=sys.stderr).returncode != 0 \
                or not run_configure():
            raise SystemExit("cannot configure the C++ build: it needs cmake, g++, python3-dev, "
                             "nlohmann-json3-dev and libopenblas-serial-dev (see `make deps`)")
    jobs = str(os.cpu_count() or 1)
    subprocess.run(["cmake", "--build", str(build), "--target", MODULE, "-j", jobs],
                   stdout=sys.stderr, check=True)
    return build / "python" / EXTENSION


def _record_line(arcname: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{arcname},sha256={digest},{len(data)}"


# ------------------------------------------------------------------ PEP 517

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    project = _project()
    directory = pathlib.Path(metadata_directory) / _dist_info(project)
    directory.mkdir(parents=True, exist_ok=True)
    _write_dist_info(directory, project, f"{ABI_TAG}-{_platform_tag()}")
    return directory.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    tag = f"{ABI_TAG}-{_platform_tag()}"
    module = _build_module()
    dist_info = _dist_info(project)
    contents = {EXTENSION: module.read_bytes()}
    for source in sorted((ROOT / "python" / MODULE).glob("*.py")):
        contents[f"{MODULE}/{source.name}"] = source.read_bytes()
    for stub in sorted((ROOT / "python" / STUBS).glob("*.pyi")):
        contents[f"{STUBS}/{stub.name}"] = stub.read_bytes()
    meta = {"METADATA": _metadata(project), "WHEEL": _wheel_file(tag), "top_level.txt": f"{MODULE}\n"}
    for name, text in meta.items():
        contents[f"{dist_info}/{name}"] = text.encode("utf-8")
    record = [_record_line(name, data) for name, data in contents.items()]
    record.append(f"{dist_info}/RECORD,,")
    contents[f"{dist_info}/RECORD"] = ("\n".join(record) + "\n").encode("utf-8")

    filename = f"{_dist_name(project)}-{project['version']}-{tag}.whl"
    out = pathlib.Path(wheel_directory)
    out.mkdir(parents=True, exist_ok=True)
    tmp = out / (filename + ".tmp")
    with zipfile.ZipFile(tmp, "w", compression=zipfile.ZIP_DEFLATED) as whl:
        for name, data in contents.items():
            info = zipfile.ZipInfo(name, ZIP_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            # rwxr-xr-x for the module, rw-r--r-- for the rest, as regular files
            info.external_attr = ((0o100755 if name == EXTENSION else 0o100644) << 16)
            whl.writestr(info, data)
    tmp.replace(out / filename)
    return filename


def build_sdist(sdist_directory, config_settings=None):
    """The tracked source tree (git ls-files), or the tree without build
    output when it is not a git checkout."""
    project = _project()
    base = f"{_dist_name(project)}-{project['version']}"
    try:
        names = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z"], check=True,
                               capture_output=True).stdout.decode().split("\0")
        names = [n for n in names if n and (ROOT / n).is_file()]
    except (OSError, subprocess.CalledProcessError):
        skip = {".git", "dist", "__pycache__", "node_modules"}
        names = [str(p.relative_to(ROOT)) for p in ROOT.rglob("*")
                 if p.is_file() and not any(part in skip or part.startswith("build")
                                             for part in p.relative_to(ROOT).parts)]
    filename = f"{base}.tar.gz"
    out = pathlib.Path(sdist_directory)
    out.mkdir(parents=True, exist_ok=True)
    with tarfile.open(out / filename, "w:gz") as tar:
        for name in sorted(names):
            tar.add(ROOT / name, arcname=f"{base}/{name}", recursive=False)
        pkg_info = _metadata(project).encode("utf-8")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        info.size = len(pkg_info)
        tar.addfile(info, io.BytesIO(pkg_info))
    return filename


if __name__ == "__main__":  # python3 tools/wheel_backend.py [outdir]: a wheel without pip
    print(build_wheel(sys.argv[1] if len(sys.argv) > 1 else str(ROOT / "dist")))
