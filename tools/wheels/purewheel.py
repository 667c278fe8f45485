"""The pure-Python wheel: tavro for every interpreter without a native build.

    python tools/wheels/purewheel.py [OUT_DIR]      (default dist/)

Writes tavro-<version>-py3-none-any.whl: the package's Python files, stubs and
py.typed (no C++), and each module of tavro/_pure copied to the place of the
native module it stands for (tavro/lib/binary.py, tavro/expr.py, ...), so that
`import tavro.lib.binary` finds it where a platform wheel has the extension
module. pip prefers a platform wheel where one exists; this one serves PyPy,
GraalPy, Pyodide and any platform without a wheel. The metadata is the one
scikit-build-core writes for the native wheels (its prepare-metadata hook,
run here), with the same name, version, entry points and licence.
"""

import base64
import hashlib
import os
import shutil
import sys
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PACKAGE = os.path.join(ROOT, "src", "tavro")

# tavro/_pure/<file> -> where the native module stands.
PLACES = {
    "portil.py": "tavro/lib/portil.py",
    "binary.py": "tavro/lib/binary.py",
    "hex.py": "tavro/lib/hex.py",
    "bitstream.py": "tavro/lib/bitstream.py",
    "expr.py": "tavro/expr.py",
    "_dump.py": "tavro/_dump.py",
}


def package_files():
    """(name in the wheel, bytes) of the package's Python files, stubs and markers."""
    for directory, subdirectories, names in os.walk(PACKAGE):
        subdirectories[:] = sorted(d for d in subdirectories if d != "__pycache__")
        for name in sorted(names):
            if name.endswith((".py", ".pyi")) or name == "py.typed":
                path = os.path.join(directory, name)
                relative = os.path.relpath(path, os.path.dirname(PACKAGE)).replace(os.sep, "/")
                with open(path, "rb") as source:
                    yield relative, source.read()
    for name, place in PLACES.items():
        with open(os.path.join(PACKAGE, "_pure", name), "rb") as source:
            yield place, source.read()


def metadata(scratch):
    """The .dist-info directory that scikit-build-core makes for this project."""
    from scikit_build_core.build import prepare_metadata_for_build_wheel

    here = os.getcwd()
    os.chdir(ROOT)
    try:
        name = prepare_metadata_for_build_wheel(scratch)
    finally:
        os.chdir(here)
    return name, os.path.join(scratch, name)


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def build(out_dir):
    with tempfile.TemporaryDirectory(prefix="tavro-purewheel-") as scratch:
        info, info_dir = metadata(scratch)
        distribution, version = info[: -len(".dist-info")].split("-")
        files = dict(package_files())
        for directory, _, names in os.walk(info_dir):
            for name in sorted(names):
                if name in ("RECORD", "WHEEL"):
                    continue
                path = os.path.join(directory, name)
                relative = os.path.relpath(path, scratch).replace(os.sep, "/")
                with open(path, "rb") as source:
                    files[relative] = source.read()
        licence = os.path.join(ROOT, "LICENSE")
        if not any(name.startswith(f"{info}/") and name.endswith("LICENSE") for name in files):
            with open(licence, "rb") as source:
                files[f"{info}/licenses/LICENSE"] = source.read()
        files[f"{info}/WHEEL"] = (
            "Wheel-Version: 1.0\nGenerator: tavro tools/wheels/purewheel.py\n"
            "Root-Is-Purelib: true\nTag: py3-none-any\n").encode()
        record = [record_line(name, data) for name, data in files.items()] + [f"{info}/RECORD,,"]
        files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    os.makedirs(out_dir, exist_ok=True)
    wheel = os.path.join(out_dir, f"{distribution}-{version}-py3-none-any.whl")
    with zipfile.ZipFile(wheel + ".part", "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in files.items():
            archive.writestr(zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0)), data,
                             compress_type=zipfile.ZIP_DEFLATED)
    shutil.move(wheel + ".part", wheel)
    return wheel


if __name__ == "__main__":
    print(build(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "dist")))
