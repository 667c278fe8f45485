"""Writes a module-definition (.def) file of the names a Windows DLL exports,
from which `zig dlltool` makes an import library to link against the DLL.

    python pe_exports.py python313.dll > python313.def
"""

import os
import struct
import sys


def sections(data: bytes) -> tuple[int, list[tuple[int, int, int, int]]]:
    """(the offset of the optional header, [(virtual address, virtual size, raw size, raw offset)])."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    table = optional + optional_size
    found = []
    for index in range(count):
        vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8xIIII", data, table + 40 * index)
        found.append((vaddr, vsize, rawsize, rawptr))
    return optional, found


def file_offset(rva: int, table: list[tuple[int, int, int, int]]) -> int:
    for vaddr, vsize, rawsize, rawptr in table:
        if vaddr <= rva < vaddr + max(vsize, rawsize):
            return rva - vaddr + rawptr
    raise ValueError(f"address {rva:#x} is in no section")


def data_directory(data: bytes, index: int) -> tuple[int, int]:
    """(address, size) of a data directory: 0 exports, 1 imports."""
    optional, _ = sections(data)
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)  # PE32+ or PE32
    return struct.unpack_from("<II", data, directories + 8 * index)


def c_string(data: bytes, at: int) -> str:
    return data[at:data.index(b"\0", at)].decode()


def exports(data: bytes) -> list[str]:
    _, table = sections(data)
    rva, _ = data_directory(data, 0)
    base = file_offset(rva, table)
    count, names = struct.unpack_from("<I4xI", data, base + 24)
    names_at = file_offset(names, table)
    return [c_string(data, file_offset(struct.unpack_from("<I", data, names_at + 4 * k)[0], table))
            for k in range(count)]


def imports(data: bytes) -> list[str]:
    """The DLLs a PE file imports from, in the order of its import table."""
    _, table = sections(data)
    rva, _ = data_directory(data, 1)
    if rva == 0:
        return []
    at = file_offset(rva, table)
    found = []
    while True:
        name = struct.unpack_from("<12xI", data, at)[0]
        if name == 0:
            return found
        found.append(c_string(data, file_offset(name, table)))
        at += 20


if __name__ == "__main__":
    dll = sys.argv[1]
    with open(dll, "rb") as file:
        names = exports(file.read())
    print("LIBRARY", os.path.basename(dll))
    print("EXPORTS")
    for exported in names:
        print(exported)
