"""The wheel checker fails the wheels it must fail.

Run in the wheel toolchain's environment (tools/wheels.sh does, before building):
    build/wheels/toolchain/bin/python -m pytest -q tools/test_wheelcheck.py

The wheels here are small stand-ins: a shared object built by the same zig
toolchain as the real wheels, for the old C library (C++, its runtime linked
in) or a newer one, given extra dependencies with patchelf where a case needs
them.
"""

import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import wheelcheck  # noqa: E402  (needs the path above)

CXX_SOURCE = r"""
#include <string>
extern "C" int probe(const char *text) { return static_cast<int>(std::string(text).size()); }
"""
# C, so that no second libc++ is built for the newer C library.
NEWER_SOURCE = r"""
#include <sys/random.h>
int probe(void) { char byte; return (int)getrandom(&byte, 1, 0); }  /* GLIBC_2.25 */
"""


@pytest.fixture(scope="module")
def objects(tmp_path_factory):
    """{"2.17": a C++ .so built for glibc 2.17, "newer": one that needs glibc 2.25}."""
    home = tmp_path_factory.mktemp("objects")
    built = {}
    for key, driver, target, suffix, source in (("2.17", "c++", "x86_64-linux-gnu.2.17", ".cpp", CXX_SOURCE),
                                                ("newer", "cc", "x86_64-linux-gnu.2.28", ".c", NEWER_SOURCE)):
        path = home / f"probe-{key}{suffix}"
        path.write_text(source)
        out = home / f"probe-{key}.so"
        subprocess.run([sys.executable, "-m", "ziglang", driver, "-target", target, "-O2", "-fPIC", "-shared",
                        str(path), "-o", str(out)], check=True, capture_output=True, timeout=900)
        built[key] = out
    return built


SO = "probe/_probe.cpython-311-x86_64-linux-gnu.so"


def make_wheel(directory: Path, platform: str, library: Path, add_needed: str | None = None) -> Path:
    if add_needed:
        patched = directory / f"patched-{library.name}"
        patched.write_bytes(library.read_bytes())
        # The toolchain's patchelf, beside its python.
        patchelf = Path(sys.executable).with_name("patchelf")
        subprocess.run([str(patchelf), "--add-needed", add_needed, str(patched)], check=True)
        library = patched
    wheel = directory / f"probe-1.0-cp311-cp311-{platform}.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        archive.writestr(SO, library.read_bytes())
        archive.writestr("probe-1.0.dist-info/METADATA", "Metadata-Version: 2.1\nName: probe\nVersion: 1.0\n")
        archive.writestr("probe-1.0.dist-info/WHEEL",
                         f"Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: false\nTag: cp311-cp311-{platform}\n")
        # auditwheel looks at the files RECORD lists.
        archive.writestr("probe-1.0.dist-info/RECORD", f"{SO},,\nprobe-1.0.dist-info/RECORD,,\n")
    return wheel


@pytest.mark.parametrize("platform", ["manylinux_2_17_x86_64", "manylinux2014_x86_64.manylinux_2_17_x86_64",
                                      "manylinux_2_28_x86_64"])
def test_a_wheel_for_its_c_library_with_the_runtime_linked_in_passes(objects, tmp_path, platform):
    assert wheelcheck.check(make_wheel(tmp_path, platform, objects["2.17"]))[0] == []


@pytest.mark.parametrize("platform", ["manylinux_2_17_x86_64",
                                      # several tags promise the oldest one
                                      "manylinux_2_17_x86_64.manylinux_2_28_x86_64"])
def test_a_wheel_needing_a_newer_c_library_than_its_tag_fails(objects, tmp_path, platform):
    findings, tag = wheelcheck.check(make_wheel(tmp_path, platform, objects["newer"]))
    assert wheelcheck.glibc_of_tag(tag) >= (2, 25)
    assert findings == [
        f"auditwheel finds it consistent with {tag} only, not with glibc 2.17",
        f"{SO} needs GLIBC_2.25 from libc.so.6, newer than the glibc 2.17 its tag promises",
    ]


@pytest.mark.parametrize("runtime", ["libstdc++.so.6", "libc++.so.1", "libc++abi.so.1", "libgcc_s.so.1"])
def test_a_dynamically_linked_cxx_runtime_fails(objects, tmp_path, runtime):
    # auditwheel's policy allows libstdc++ and libgcc_s: the checker's own reading catches them.
    findings, _ = wheelcheck.check(make_wheel(tmp_path, "manylinux_2_17_x86_64", objects["2.17"], runtime))
    assert f"{SO} links the C++ runtime dynamically ({runtime})" in findings


def test_any_other_shared_library_fails(objects, tmp_path):
    findings, _ = wheelcheck.check(make_wheel(tmp_path, "manylinux_2_17_x86_64", objects["2.17"], "libtavrotest.so.1"))
    assert findings == ["auditwheel finds it consistent with linux_x86_64 only, not with glibc 2.17",
                        "auditwheel: it needs libtavrotest.so.1 from outside the wheel",
                        f"{SO} needs libtavrotest.so.1, a library outside the C library"]


def test_a_wheel_not_tagged_manylinux_fails(objects, tmp_path):
    findings, _ = wheelcheck.check(make_wheel(tmp_path, "linux_x86_64", objects["2.17"]))
    assert findings == ["its platform tag is not manylinux (linux_x86_64)"]


def test_the_command_exits_1_and_names_each_wheel(objects, tmp_path):
    good = make_wheel(tmp_path, "manylinux_2_17_x86_64", objects["2.17"])
    (tmp_path / "bad").mkdir()
    bad = make_wheel(tmp_path / "bad", "linux_x86_64", objects["2.17"])
    done = subprocess.run([sys.executable, wheelcheck.__file__, str(good), str(bad)], capture_output=True, text=True)
    assert done.returncode == 1
    assert done.stdout.splitlines() == [
        f"ok: {good.name} (auditwheel: manylinux_2_17_x86_64; needs only the C library)",
        f"FAILED: {bad.name}", "    its platform tag is not manylinux (linux_x86_64)"]
