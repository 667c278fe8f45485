"""The wheel checker fails the wheels it must fail.

Run in the wheel toolchain's environment (tools/wheels/wheels.sh does, before building):
    ~/.cache/tavro-platforms/toolchain-*/bin/python -m pytest -q tools/test_wheelcheck.py

The wheels here are small stand-ins: a shared object built by the same zig
toolchain as the real wheels, for the old C library (C++, its runtime linked
in), a newer one or musl, given extra dependencies with patchelf where a case
needs them, and Windows modules linked against import libraries of the DLLs
a case needs them to import from.
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


def zig(*arguments, cwd=None):
    subprocess.run([sys.executable, "-m", "ziglang", *map(str, arguments)], check=True, capture_output=True,
                   timeout=900, cwd=cwd)


# A Windows module that calls one function of the DLL `dll`, linked against
# an import library of that DLL made from a one-name definition file.
WINDOWS_SOURCE = r"""
#include <string>
extern "C" __declspec(dllimport) int imported_probe(void);
extern "C" __declspec(dllexport) int probe(const char *text) {
    return static_cast<int>(std::string(text).size()) + imported_probe();
}
"""
WINDOWS_IMPORTS = {"python": "python313.dll", "cxx-runtime": "libstdc++-6.dll", "other": "libtavrotest.dll"}


@pytest.fixture(scope="module")
def objects(tmp_path_factory):
    """{"2.17": a C++ .so built for glibc 2.17, "newer": one that needs glibc 2.25,
    "musl": a C++ .so built for musl, "windows-<kind>": a C++ Windows module
    importing from the DLL WINDOWS_IMPORTS[kind]}."""
    home = tmp_path_factory.mktemp("objects")
    built = {}
    for key, driver, target, suffix, source in (("2.17", "c++", "x86_64-linux-gnu.2.17", ".cpp", CXX_SOURCE),
                                                ("newer", "cc", "x86_64-linux-gnu.2.28", ".c", NEWER_SOURCE),
                                                ("musl", "c++", "x86_64-linux-musl", ".cpp", CXX_SOURCE)):
        path = home / f"probe-{key}{suffix}"
        path.write_text(source)
        out = home / f"probe-{key}.so"
        zig(driver, "-target", target, "-O2", "-fPIC", "-shared", path, "-o", out)
        built[key] = out
    source = home / "probe-windows.cpp"
    source.write_text(WINDOWS_SOURCE)
    for kind, dll in WINDOWS_IMPORTS.items():
        (home / f"{kind}.def").write_text(f"LIBRARY {dll}\nEXPORTS\nimported_probe\n")
        zig("dlltool", "-d", f"{kind}.def", "-l", f"lib{kind}.a", "-m", "i386:x86-64", cwd=home)
        out = home / f"probe-windows-{kind}.pyd"
        zig("c++", "-target", "x86_64-windows-gnu", "-O2", "-shared", source, "-L", home, f"-l{kind}", "-o", out)
        built[f"windows-{kind}"] = out
    return built


SO = "probe/_probe.cpython-311-x86_64-linux-gnu.so"
SO_MUSL = "probe/_probe.cpython-311-x86_64-linux-musl.so"
PYD = "probe/_probe.cp313-win_amd64.pyd"


def make_wheel(directory: Path, platform: str, library: Path, add_needed: str | None = None,
               abi: str = "cp311", member: str = SO, extra: dict[str, bytes] | None = None) -> Path:
    if add_needed:
        patched = directory / f"patched-{library.name}"
        patched.write_bytes(library.read_bytes())
        # The toolchain's patchelf, beside its python.
        patchelf = Path(sys.executable).with_name("patchelf")
        subprocess.run([str(patchelf), "--add-needed", add_needed, str(patched)], check=True)
        library = patched
    wheel = directory / f"probe-1.0-{abi}-{abi}-{platform}.whl"
    members = {member: library.read_bytes(), **(extra or {})}
    with zipfile.ZipFile(wheel, "w") as archive:
        for name, data in members.items():
            archive.writestr(name, data)
        archive.writestr("probe-1.0.dist-info/METADATA", "Metadata-Version: 2.1\nName: probe\nVersion: 1.0\n")
        archive.writestr("probe-1.0.dist-info/WHEEL",
                         f"Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: false\nTag: {abi}-{abi}-{platform}\n")
        # auditwheel looks at the files RECORD lists.
        record = "".join(f"{name},,\n" for name in members)
        archive.writestr("probe-1.0.dist-info/RECORD", f"{record}probe-1.0.dist-info/RECORD,,\n")
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


@pytest.mark.parametrize("platform", ["linux_x86_64", "manylinux_2_17_x86_64.musllinux_1_2_x86_64", "macosx_11_0_arm64"])
def test_a_wheel_of_no_known_platform_fails(objects, tmp_path, platform):
    findings, _ = wheelcheck.check(make_wheel(tmp_path, platform, objects["2.17"]))
    assert findings == [f"its platform tag is not manylinux, musllinux or Windows ({platform})"]


def test_a_copy_of_a_library_in_the_wheel_fails(objects, tmp_path):
    copy = "probe.libs/libc-0123abcd.so"
    findings, _ = wheelcheck.check(make_wheel(tmp_path, "manylinux_2_17_x86_64", objects["2.17"],
                                              extra={copy: objects["2.17"].read_bytes()}))
    assert f"it bundles a shared library of its own ({copy})" in findings


def test_a_musl_wheel_linked_to_musl_passes(objects, tmp_path):
    assert wheelcheck.check(make_wheel(tmp_path, "musllinux_1_2_x86_64", objects["musl"], member=SO_MUSL)) == (
        [], "musllinux_1_2_x86_64")


def test_a_glibc_module_in_a_musl_wheel_fails(objects, tmp_path):
    findings, _ = wheelcheck.check(make_wheel(tmp_path, "musllinux_1_2_x86_64", objects["2.17"], member=SO_MUSL))
    assert f"{SO_MUSL} needs libc.so.6, a library outside the C library" in findings
    assert f"{SO_MUSL} needs GLIBC_2.2.5 from libc.so.6: it was built for glibc, not musl" in findings


@pytest.mark.parametrize("runtime", ["libstdc++.so.6", "libc++.so.1"])
def test_a_musl_wheel_with_a_dynamically_linked_cxx_runtime_fails(objects, tmp_path, runtime):
    findings, _ = wheelcheck.check(make_wheel(tmp_path, "musllinux_1_2_x86_64", objects["musl"], runtime,
                                              member=SO_MUSL))
    assert f"{SO_MUSL} links the C++ runtime dynamically ({runtime})" in findings


def windows_wheel(directory, objects, kind="python", platform="win_amd64", abi="cp313", extra=None):
    return make_wheel(directory, platform, objects[f"windows-{kind}"], abi=abi, member=PYD, extra=extra)


def test_a_windows_wheel_importing_only_its_cpython_and_the_c_runtime_passes(objects, tmp_path):
    assert wheelcheck.check(windows_wheel(tmp_path, objects)) == ([], "win_amd64")


@pytest.mark.parametrize(("kind", "abi", "finding"), [
    ("cxx-runtime", "cp313", "links the C++ runtime dynamically (libstdc++-6.dll)"),
    ("other", "cp313", "needs libtavrotest.dll, a DLL outside the C runtime and CPython"),
    ("python", "cp312", "needs python313.dll, not the python312.dll of its ABI tag cp312"),
    ("python", "cp313t", "needs python313.dll, not the python313t.dll of its ABI tag cp313t"),
])
def test_a_windows_module_importing_another_dll_fails(objects, tmp_path, kind, abi, finding):
    findings, _ = wheelcheck.check(windows_wheel(tmp_path, objects, kind, abi=abi))
    assert findings == [f"{PYD} {finding}"]


def test_a_windows_module_of_another_architecture_fails(objects, tmp_path):
    findings, _ = wheelcheck.check(windows_wheel(tmp_path, objects, platform="win_arm64"))
    assert findings == [f"{PYD} is built for machine type 0x8664, not for win_arm64"]


def test_a_windows_wheel_with_a_dll_or_a_linux_module_beside_its_own_fails(objects, tmp_path):
    findings, _ = wheelcheck.check(windows_wheel(tmp_path, objects, extra={
        "probe/libc++.dll": objects["windows-python"].read_bytes(), SO: objects["2.17"].read_bytes()}))
    assert findings == ["it bundles a shared library of its own (probe/libc++.dll)", f"{SO} is not a windows binary"]


def test_the_command_exits_1_and_names_each_wheel(objects, tmp_path):
    good = make_wheel(tmp_path, "manylinux_2_17_x86_64", objects["2.17"])
    (tmp_path / "bad").mkdir()
    bad = make_wheel(tmp_path / "bad", "linux_x86_64", objects["2.17"])
    done = subprocess.run([sys.executable, wheelcheck.__file__, str(good), str(bad)], capture_output=True, text=True)
    assert done.returncode == 1
    assert done.stdout.splitlines() == [
        f"ok: {good.name} (auditwheel: manylinux_2_17_x86_64; needs only the C library)",
        f"FAILED: {bad.name}", "    its platform tag is not manylinux, musllinux or Windows (linux_x86_64)"]
