"""Checks that built wheels keep what their platform tag promises.

    python tools/wheelcheck.py WHEEL...

Runs in the wheel toolchain's environment (tools/wheels-requirements.txt:
auditwheel and pyelftools). A wheel passes when

  * its platform tags are all manylinux, all musllinux or all one Windows
    architecture; for Linux the oldest C library among them (a wheel tagged
    manylinux2014 and manylinux_2_17 promises glibc 2.17) is what it promises;
  * on Linux, `auditwheel show` finds it consistent with a tag no newer than
    that promise (and of the same C library) and needing no library from
    outside the wheel;
  * every ELF file in it needs only the C library's own shared objects
    (glibc: libc, libm, libpthread, libdl, librt, the dynamic loader; musl:
    libc.so or libc.musl-ARCH.so.1, and the names that musl's loader takes
    for itself), and on glibc no symbol version newer than the promise (musl
    has no symbol versions: there the promise rests on auditwheel's reading);
  * every Windows module is built for the tag's architecture and imports only
    from the CPython DLL of the wheel's ABI tag (python313.dll for cp313),
    KERNEL32 and the universal C runtime (api-ms-win-crt-*, ucrtbase);
  * it carries no shared library of its own (a copy of the C library or of
    a C++ runtime above all). A C++ runtime (libstdc++, libc++, libc++abi,
    libgcc_s, libunwind; on Windows also libwinpthread and msvcp140) linked
    dynamically fails the wheel even though auditwheel's policy allows
    libstdc++ and libgcc_s: the wheels link their runtime statically, so that
    they run where another (or no) C++ runtime is installed.

Prints one line per wheel ("ok: ..." or "FAILED: ..." and its findings);
exits with 1 when any wheel fails.
"""

from __future__ import annotations

import io
import json
import re
import struct
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path, PurePosixPath

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

sys.path.insert(0, str(Path(__file__).resolve().parent / "platforms"))
import pe_exports  # noqa: E402  (tools/platforms: the PE reader)

# The legacy manylinux tags and the C library each stands for.
LEGACY = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}
GLIBC = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
         "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
# musl is one library, named libc.musl-ARCH.so.1 where it is installed; its
# loader also takes these link-time names for itself.
MUSL = re.compile(r"^(lib(c|pthread|rt|m|dl|util|xnet)\.so|(libc\.musl|ld-musl)-\w+\.so\.1)$")
CXX_RUNTIME = re.compile(r"^lib(stdc\+\+|c\+\+|c\+\+abi|gcc_s|unwind)\.so")
WINDOWS_CXX_RUNTIME = re.compile(r"^(lib(stdc\+\+|c\+\+|c\+\+abi|gcc_s|unwind|winpthread)[\w.-]*|msvcp\d+[\w.-]*)\.dll$",
                                 re.IGNORECASE)
WINDOWS_C_RUNTIME = re.compile(r"^(kernel32|ucrtbase|api-ms-win-crt-[\w-]+)\.dll$", re.IGNORECASE)
# Windows architectures: the tag's suffix and the PE machine type.
WINDOWS_MACHINE = {"win_amd64": 0x8664, "win_arm64": 0xAA64, "win32": 0x14C}


def glibc_of_tag(tag: str) -> tuple[int, int] | None:
    """The C library version a platform tag names, or None for a tag that is not manylinux."""
    match = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", tag)
    if match:
        return int(match[1]), int(match[2])
    match = re.fullmatch(r"(manylinux\d+)_\w+", tag)
    return LEGACY.get(match[1]) if match else None


def musl_of_tag(tag: str) -> tuple[int, int] | None:
    """The musl version a musllinux tag names, or None for another tag."""
    match = re.fullmatch(r"musllinux_(\d+)_(\d+)_\w+", tag)
    return (int(match[1]), int(match[2])) if match else None


def wheel_tags(wheel: Path) -> tuple[str, list[str]]:
    """(the ABI tag, the platform tags) of a wheel's file name."""
    parts = wheel.stem.split("-")
    return parts[-2], parts[-1].split(".")


def promise(wheel: Path) -> tuple[str, tuple[int, int] | None] | None:
    """What the platform tags promise: ("glibc", oldest version), ("musl",
    oldest version) or ("windows", None); None when the tags are of no one
    family (or of none that this checker knows)."""
    _, platforms = wheel_tags(wheel)
    for family, reader in (("glibc", glibc_of_tag), ("musl", musl_of_tag)):
        versions = [reader(tag) for tag in platforms]
        if None not in versions:
            return family, min(versions)
    if len(platforms) == 1 and platforms[0] in WINDOWS_MACHINE:
        return "windows", None
    return None


def dotted(version: tuple[int, ...]) -> str:
    return ".".join(map(str, version))


def elf_findings(name: str, data: bytes, family: str, version: tuple[int, int]) -> list[str]:
    """What is wrong with one ELF file of a Linux wheel."""
    findings = []
    elf = ELFFile(io.BytesIO(data))
    c_library = (lambda needed: needed in GLIBC) if family == "glibc" else MUSL.match
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags("DT_NEEDED"):
                needed = tag.needed
                if CXX_RUNTIME.match(needed):
                    findings.append(f"{name} links the C++ runtime dynamically ({needed})")
                elif not c_library(needed):
                    findings.append(f"{name} needs {needed}, a library outside the C library")
        elif isinstance(section, GNUVerNeedSection):
            for verneed, auxiliaries in section.iter_versions():
                for aux in auxiliaries:
                    match = re.fullmatch(r"GLIBC_(\d+(?:\.\d+)+)", aux.name)
                    if match is None:
                        continue  # other libraries' versions: the DT_NEEDED check names the library
                    if family == "musl":
                        findings.append(f"{name} needs {aux.name} from {verneed.name}: it was built for glibc, not musl")
                        continue
                    needed_version = tuple(int(part) for part in match[1].split("."))
                    if needed_version > version:
                        findings.append(f"{name} needs {aux.name} from {verneed.name}, "
                                        f"newer than the glibc {dotted(version)} its tag promises")
    return findings


def pe_findings(name: str, data: bytes, abi: str, platform: str) -> list[str]:
    """What is wrong with one Windows module of a wheel."""
    try:
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        machine = struct.unpack_from("<H", data, pe + 4)[0]
        imported = pe_exports.imports(data)
    except (ValueError, struct.error) as error:
        return [f"{name} cannot be read as a Windows module ({error})"]
    findings = []
    if machine != WINDOWS_MACHINE[platform]:
        findings.append(f"{name} is built for machine type {machine:#x}, not for {platform}")
    match = re.fullmatch(r"cp(\d)(\d+)(t?)", abi)
    own_python = f"python{match[1]}{match[2]}{match[3]}.dll" if match else None
    for dll in imported:
        if WINDOWS_C_RUNTIME.match(dll) or dll.lower() == (own_python or "").lower():
            continue
        if WINDOWS_CXX_RUNTIME.match(dll):
            findings.append(f"{name} links the C++ runtime dynamically ({dll})")
        elif re.fullmatch(r"python\d+t?\.dll", dll, re.IGNORECASE):
            findings.append(f"{name} needs {dll}, not the {own_python} of its ABI tag {abi}")
        else:
            findings.append(f"{name} needs {dll}, a DLL outside the C runtime and CPython")
    return findings


def auditwheel_findings(wheel: Path, family: str, version: tuple[int, int]) -> tuple[list[str], str]:
    """auditwheel's verdict on a Linux wheel: (findings, the tag it finds the wheel consistent with)."""
    command = [sys.executable, "-m", "auditwheel", "show", "--json", str(wheel)]
    with tempfile.TemporaryDirectory() as nowhere:
        if family == "musl":
            # Not this machine's libraries: its glibc's libc.so (a linker
            # script) would stand for musl's.
            command[4:4] = ["--ldpaths", nowhere]
        done = subprocess.run(command, capture_output=True, text=True)
    try:
        report = json.loads(done.stdout)
    except json.JSONDecodeError:
        return [f"auditwheel show failed (status {done.returncode}): {done.stderr.strip()[-500:]}"], "?"
    if "error" in report:
        return [f"auditwheel show: {report['error']}"], "?"
    findings = []
    tag = report["overall_tag"]
    own = [library for library in report["external_libs"] if family == "musl" and MUSL.match(library)]
    if own and len(own) == len(report["external_libs"]):
        # musl itself, which is not on this machine: the verdict on everything else.
        tag = report["sym_tag"]
    found = (glibc_of_tag if family == "glibc" else musl_of_tag)(tag)
    if found is None or found > version:
        findings.append(f"auditwheel finds it consistent with {tag} only, not with {family} {dotted(version)}")
    for library in report["external_libs"]:
        if library in own:
            continue
        findings.append(f"auditwheel: it needs {library} from outside the wheel")
    return findings, tag


def check(wheel: Path) -> tuple[list[str], str]:
    """(findings, auditwheel's tag or the Windows tag) for one wheel."""
    promised = promise(wheel)
    if promised is None:
        return [f"its platform tag is not manylinux, musllinux or Windows ({wheel.stem.split('-')[-1]})"], "?"
    family, version = promised
    abi, platforms = wheel_tags(wheel)
    if family == "windows":
        findings, tag = [], platforms[0]
    else:
        findings, tag = auditwheel_findings(wheel, family, version)
    binaries = 0
    with zipfile.ZipFile(wheel) as archive:
        for name in archive.namelist():
            with archive.open(name) as member:
                magic = member.read(4)
            path = PurePosixPath(name)
            if magic == b"\x7fELF" and family != "windows":
                findings += elf_findings(name, archive.read(name), family, version)
            elif magic[:2] == b"MZ" and family == "windows":
                findings += pe_findings(name, archive.read(name), abi, tag)
            elif magic[:2] == b"MZ" or magic == b"\x7fELF":
                findings.append(f"{name} is not a {family} binary")
                continue
            else:
                continue
            # auditwheel grafts libraries into <package>.libs/; a module is a .so or .pyd elsewhere.
            if path.suffix.lower() in (".pyd", ".so") and not any(part.endswith(".libs") for part in path.parts):
                binaries += 1
            else:
                findings.append(f"it bundles a shared library of its own ({name})")
    if binaries == 0:
        findings.append("it holds no extension module")
    return findings, tag


def main(argv: list[str]) -> int:
    if not argv:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    failed = False
    for argument in argv:
        wheel = Path(argument)
        findings, tag = check(wheel)
        if findings:
            failed = True
            print(f"FAILED: {wheel.name}")
            for finding in findings:
                print(f"    {finding}")
        else:
            source = "its tag" if tag.startswith("win") else "auditwheel"
            print(f"ok: {wheel.name} ({source}: {tag}; needs only the C library)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
