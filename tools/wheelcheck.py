"""Checks that built wheels keep what their manylinux platform tag promises.

    python tools/wheelcheck.py WHEEL...

Runs in the wheel toolchain's environment (tools/wheels-requirements.txt:
auditwheel and pyelftools). A wheel passes when

  * its platform tag is a manylinux one; the oldest C library among its tags
    (a wheel tagged manylinux2014 and manylinux_2_17 promises glibc 2.17) is
    what the wheel promises;
  * `auditwheel show` finds it consistent with a tag no newer than that
    promise and needing no library from outside the wheel;
  * every ELF file in it needs only the C library's own shared objects
    (libc, libm, libpthread, libdl, librt, the dynamic loader), and no
    symbol version newer than the promise. A C++ runtime (libstdc++, libc++,
    libc++abi, libgcc_s, libunwind) linked dynamically fails the wheel even
    though auditwheel's policy allows libstdc++ and libgcc_s: the wheels link
    their runtime statically, so that they run where another (or no) C++
    runtime is installed.

Prints one line per wheel ("ok: ..." or "FAILED: ..." and its findings);
exits with 1 when any wheel fails.
"""

from __future__ import annotations

import io
import json
import re
import subprocess
import sys
import zipfile
from pathlib import Path

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

# The legacy manylinux tags and the C library each stands for.
LEGACY = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}
C_LIBRARY = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "ld-linux-x86-64.so.2"}
CXX_RUNTIME = re.compile(r"^lib(stdc\+\+|c\+\+|c\+\+abi|gcc_s|unwind)\.so")


def glibc_of_tag(tag: str) -> tuple[int, int] | None:
    """The C library version a platform tag names, or None for a tag that is not manylinux."""
    match = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", tag)
    if match:
        return int(match[1]), int(match[2])
    match = re.fullmatch(r"(manylinux\d+)_\w+", tag)
    return LEGACY.get(match[1]) if match else None


def promised_glibc(wheel: Path) -> tuple[int, int] | None:
    """The oldest C library among the wheel's platform tags (None if any tag is not manylinux)."""
    platforms = wheel.stem.split("-")[-1].split(".")
    versions = [glibc_of_tag(tag) for tag in platforms]
    return None if None in versions else min(versions)


def dotted(version: tuple[int, ...]) -> str:
    return ".".join(map(str, version))


def elf_findings(name: str, data: bytes, promise: tuple[int, int]) -> list[str]:
    """What is wrong with one ELF file of the wheel."""
    findings = []
    elf = ELFFile(io.BytesIO(data))
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags("DT_NEEDED"):
                needed = tag.needed
                if CXX_RUNTIME.match(needed):
                    findings.append(f"{name} links the C++ runtime dynamically ({needed})")
                elif needed not in C_LIBRARY:
                    findings.append(f"{name} needs {needed}, a library outside the C library")
        elif isinstance(section, GNUVerNeedSection):
            for verneed, auxiliaries in section.iter_versions():
                for aux in auxiliaries:
                    match = re.fullmatch(r"GLIBC_(\d+(?:\.\d+)+)", aux.name)
                    if match is None:
                        continue  # other libraries' versions: the DT_NEEDED check names the library
                    version = tuple(int(part) for part in match[1].split("."))
                    if version > promise:
                        findings.append(f"{name} needs {aux.name} from {verneed.name}, "
                                        f"newer than the glibc {dotted(promise)} its tag promises")
    return findings


def auditwheel_findings(wheel: Path, promise: tuple[int, int]) -> tuple[list[str], str]:
    """auditwheel's verdict on the wheel: (findings, the tag it finds the wheel consistent with)."""
    done = subprocess.run([sys.executable, "-m", "auditwheel", "show", "--json", str(wheel)],
                          capture_output=True, text=True)
    try:
        report = json.loads(done.stdout)
    except json.JSONDecodeError:
        return [f"auditwheel show failed (status {done.returncode}): {done.stderr.strip()[-500:]}"], "?"
    if "error" in report:
        return [f"auditwheel show: {report['error']}"], "?"
    findings = []
    tag = report["overall_tag"]
    version = glibc_of_tag(tag)
    if version is None or version > promise:
        findings.append(f"auditwheel finds it consistent with {tag} only, not with glibc {dotted(promise)}")
    for library in report["external_libs"]:
        findings.append(f"auditwheel: it needs {library} from outside the wheel")
    return findings, tag


def check(wheel: Path) -> tuple[list[str], str]:
    """(findings, auditwheel's tag) for one wheel."""
    promise = promised_glibc(wheel)
    if promise is None:
        return [f"its platform tag is not manylinux ({wheel.stem.split('-')[-1]})"], "?"
    findings, tag = auditwheel_findings(wheel, promise)
    elves = 0
    with zipfile.ZipFile(wheel) as archive:
        for name in archive.namelist():
            with archive.open(name) as member:
                if member.read(4) != b"\x7fELF":
                    continue
            elves += 1
            findings += elf_findings(name, archive.read(name), promise)
    if elves == 0:
        findings.append("it holds no ELF file")
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
            print(f"ok: {wheel.name} (auditwheel: {tag}; needs only the C library)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
