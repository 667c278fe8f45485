"""Checks that files are macOS extension modules for a zig target.

    python macho.py aarch64-macos.11.0 DIR/hex.so ...

Each file must be a 64-bit Mach-O bundle or dynamic library for the target's
architecture, marked for the target's oldest macOS (LC_BUILD_VERSION or
LC_VERSION_MIN_MACOSX), link no C++ runtime dynamically (libc++ is linked in)
and export PyInit_<its name>. Prints one line per file; exits with 1 when
any fails.
"""

import struct
import sys
from pathlib import Path

CPU = {"aarch64": 0x0100000C, "x86_64": 0x01000007}
LC_BUILD_VERSION, LC_VERSION_MIN_MACOSX = 0x32, 0x24
LOAD_DYLIB = (0xC, 0x80000018)  # LC_LOAD_DYLIB, LC_LOAD_WEAK_DYLIB
DYLIB, BUNDLE = 6, 8


def findings(path: Path, architecture: str, oldest: str) -> list[str]:
    data = path.read_bytes()
    magic, cpu, _, filetype, commands, _, _ = struct.unpack_from("<IiiIIII", data, 0)
    if magic != 0xFEEDFACF:
        return ["not a 64-bit Mach-O file"]
    found = []
    if cpu != CPU[architecture]:
        found.append(f"built for CPU type {cpu:#x}, not {architecture}")
    if filetype not in (DYLIB, BUNDLE):
        found.append(f"file type {filetype}, not a loadable module")
    at, minimum, libraries = 32, None, []
    for _ in range(commands):
        command, size = struct.unpack_from("<II", data, at)
        if command in (LC_BUILD_VERSION, LC_VERSION_MIN_MACOSX):
            version = struct.unpack_from("<I", data, at + (12 if command == LC_BUILD_VERSION else 8))[0]
            minimum = f"{version >> 16}.{(version >> 8) & 255}"
        elif command in LOAD_DYLIB:
            offset = struct.unpack_from("<I", data, at + 8)[0]
            libraries.append(data[at + offset:at + size].split(b"\0")[0].decode())
        at += size
    if minimum != oldest:
        found.append(f"marked for macOS {minimum}, not {oldest}")
    found += [f"links {library} dynamically" for library in libraries if "c++" in library.rsplit("/", 1)[-1]]
    if f"_PyInit_{path.name.split('.')[0]}\0".encode() not in data:
        found.append(f"does not export PyInit_{path.name.split('.')[0]}")
    return found


def main(argv: list[str]) -> int:
    architecture, _, oldest = argv[0].partition("-macos.")
    failed = False
    for argument in argv[1:]:
        found = findings(Path(argument), architecture, oldest)
        failed |= bool(found)
        print(f"{argument}: " + ("; ".join(found) if found else f"ok ({architecture}, macOS {oldest})"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
