"""Distributions: `python -m build` makes an sdist and a wheel, and the sdist installs.

Slow (two compilations and a fresh virtual environment), so it is deselected by
default; run it with `python -m pytest -m dist tests/test_dist.py`.
"""

import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.dist

ROOT = Path(__file__).resolve().parent.parent
MODULES = ["tavro.lib.portil", "tavro.lib.binary", "tavro.expr", "tavro.lib.hex", "tavro.lib.bitstream", "tavro._dump"]


def tracked_sources():
    """Files under git that a build from the sdist needs: the sources, build files, README and licence."""
    listed = subprocess.run(["git", "ls-files", "src", "CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE"],
                            cwd=ROOT, capture_output=True, text=True)
    if listed.returncode != 0:
        pytest.skip("not a git checkout: cannot tell which files are sources")
    return set(listed.stdout.split())


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    pytest.importorskip("build")
    out = tmp_path_factory.mktemp("dist")
    # Like a user: the sdist from the tree, then the wheel from the sdist.
    subprocess.run([sys.executable, "-m", "build", "--outdir", str(out), str(ROOT)],
                   check=True, capture_output=True, timeout=1800)
    (sdist,) = out.glob("tavro-*.tar.gz")
    (wheel,) = out.glob("tavro-*.whl")
    return sdist, wheel


def test_sdist_carries_every_source_file(dist):
    sdist, _ = dist
    with tarfile.open(sdist) as archive:
        # Members are "tavro-<version>/<path>".
        members = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    assert tracked_sources() - members == set()


def test_sdist_carries_the_licence(dist):
    sdist, _ = dist
    with tarfile.open(sdist) as archive:
        (member,) = [name for name in archive.getnames() if name.endswith("/LICENSE") and name.count("/") == 1]
        assert archive.extractfile(member).read() == (ROOT / "LICENSE").read_bytes()
        (info,) = [name for name in archive.getnames() if name.endswith("/PKG-INFO") and name.count("/") == 1]
        metadata = archive.extractfile(info).read().decode()
    assert "License: MIT\n" in metadata and "Classifier: License :: OSI Approved :: MIT License\n" in metadata


def test_wheel_holds_modules_stubs_command_and_licence(dist):
    _, wheel = dist
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        info = sorted({name.split("/", 1)[0] for name in names if ".dist-info/" in name})
        assert len(info) == 1
        licence = archive.read(f"{info[0]}/licenses/LICENSE")
        entry_points = archive.read(f"{info[0]}/entry_points.txt").decode()
    for module in MODULES:
        path = module.replace(".", "/")
        assert any(name.startswith(path + ".") and name.endswith(".so") for name in names), module
        assert path + ".pyi" in names
    assert {"tavro/py.typed", "tavro/__main__.py", "tavro/__init__.py", "tavro/__init__.pyi",
            "tavro/_dumpcommand.py", "tavro/lib/__init__.py"} <= names
    assert not [name for name in names if name.endswith((".cpp", ".hpp"))]
    assert licence == (ROOT / "LICENSE").read_bytes()
    assert "tavro = tavro._dumpcommand:script" in entry_points


def test_sdist_installs_into_a_fresh_environment(dist, tmp_path):
    sdist, _ = dist
    env = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(env)], check=True, timeout=300)
    python = env / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", str(sdist)],
                   check=True, capture_output=True, timeout=1800)
    probe = ("import importlib, tavro\n"
             f"for name in {MODULES!r}:\n"
             "    module = importlib.import_module(name)\n"
             "    assert module.__file__.endswith('.so'), module.__file__\n"
             "print(tavro.__file__)\n")
    # Run from an empty directory, so the source tree cannot be imported by accident.
    result = subprocess.run([str(python), "-c", probe], cwd=tmp_path, capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().startswith(str(env))
    # The console script, installed with the package.
    version = subprocess.run([str(env / "bin" / "tavro"), "--version"], cwd=tmp_path, capture_output=True,
                             text=True, timeout=60)
    assert version.returncode == 0 and version.stdout.startswith("tavro ")
