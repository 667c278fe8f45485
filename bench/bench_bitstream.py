"""Benchmark cases for tavro.lib.bitstream (run through bench/run.py).

    python bench/run.py -k bitstream
    python bench/bench_bitstream.py --memory    # peak resident memory over 100 MiB, tailcutoff 64

Reading rows time one whole pass over the data (one operation = all the reads),
as do the rows that write 1 or 16 MiB; the other rows time one call.
"""

import binascii
import io
import os
import subprocess
import sys

from tavro import _pure
from tavro.lib import bitstream as native

pure = _pure.load(binder=False).bitstream  # the algorithm as plain Python

FOUR_MIB = bytes(range(256)) * (4 * 4096)
ONE_MIB = FOUR_MIB[:1 << 20]
HEX_OF_ONE_MIB = binascii.hexlify(ONE_MIB)


_hundred_mib = []


def hundred_mib():
    """The 100 MiB source, made when a case first needs it."""
    if not _hundred_mib:
        _hundred_mib.append(FOUR_MIB * 25)
    return _hundred_mib[0]


def rebuffered_pass(module, tailcutoff, source=lambda: FOUR_MIB):
    def run():
        data = source()
        read = module.RebufferedBytesIO(io.BytesIO(data), tailcutoff).read
        for _ in range(len(data) // 4):
            last = read(4)
        return last
    return run


def buffered_reader_pass(source=lambda: FOUR_MIB):
    def run():
        data = source()
        read = io.BufferedReader(io.BytesIO(data)).read
        for _ in range(len(data) // 4):
            last = read(4)
        return last
    return run


def unhexlify_pass(module, unit):
    def run():
        read = module.RestreamedBytesIO(io.BytesIO(HEX_OF_ONE_MIB), binascii.unhexlify, 2, None, 1).read
        return [read(unit) for _ in range(len(ONE_MIB) // unit)][-1]
    return run


def codec_calls_only_unhexlify():
    """The substream and decoder calls that reading 1 MiB makes, with no adapter: the floor."""
    read, decode = io.BytesIO(HEX_OF_ONE_MIB).read, binascii.unhexlify
    for _ in range(len(ONE_MIB)):
        last = decode(read(2))
    return last


def codec_calls_only_hexlify():
    write, encode = io.BytesIO().write, binascii.hexlify
    for i in range(0, len(ONE_MIB), 2):
        write(encode(ONE_MIB[i:i + 2]))
    return 2 * len(ONE_MIB)


def hexlify_pass(module, unit):
    def run():
        out = io.BytesIO()
        write = module.RestreamedBytesIO(out, None, 1, binascii.hexlify, 2).write
        for i in range(0, len(ONE_MIB), unit):
            write(ONE_MIB[i:i + unit])
        return out.tell()
    return run


def rebuffered_in_window(module, tailcutoff=None):
    """An adapter that already holds 1 MiB in its window, positioned at 1000."""
    r = module.RebufferedBytesIO(io.BytesIO(ONE_MIB), tailcutoff)
    r.read(len(ONE_MIB))
    r.seek(1000)
    return r


def overwrite(module):
    r = rebuffered_in_window(module)
    write, seek = r.write, r.seek

    def run():
        write(b"abcd")
        return seek(1000)
    return run


def python_hexlify(unit):
    """An encoder written in Python."""
    return binascii.hexlify(unit)


def large_write(module, size, encoder, piece):
    """RestreamedBytesIO.write of `size` bytes in writes of `piece` bytes (16-byte units)."""
    data = FOUR_MIB * (size // len(FOUR_MIB)) if size >= len(FOUR_MIB) else FOUR_MIB[:size]

    def run():
        out = io.BytesIO()
        write = module.RestreamedBytesIO(out, None, 1, encoder, 16).write
        for i in range(0, len(data), piece):
            write(data[i:i + piece])
        return out.tell()
    return run


class Zeros:
    """A substream that never ends."""

    def read(self, n):
        return bytes(n)


def read_then_write(module):
    r = module.RebufferedBytesIO(Zeros(), 64)
    read, write = r.read, r.write

    def run():
        read(4)
        return write(b"abcd")
    return run


def method(module, cls, name, *args):
    if cls == "RebufferedBytesIO":
        bound = getattr(rebuffered_in_window(module, 1 << 30), name)
    else:
        bound = getattr(module.RestreamedBytesIO(io.BytesIO(), None, 1, None, 1), name)
    return call_with(bound, args)


def call_with(fn, args):
    """A no-argument function making the call with the arguments spelled out, as the other columns do."""
    if not args:
        return lambda: fn()
    if len(args) == 1:
        (a,) = args
        return lambda: fn(a)
    a, b = args
    return lambda: fn(a, b)


def cases():
    faster = ">= 10 x python"
    linear = "<= 1.5 x 4 KiB writes"
    rows = [
        ("RebufferedBytesIO read(4) over 4 MiB, tailcutoff None",
         rebuffered_pass(native, None), rebuffered_pass(pure, None), buffered_reader_pass(), "<= 1.2 x stdlib"),
        ("RebufferedBytesIO read(4) over 4 MiB, tailcutoff 64",
         rebuffered_pass(native, 64), rebuffered_pass(pure, 64), buffered_reader_pass(), "<= 1.35 x stdlib"),
        # Pure Python takes minutes over 100 MiB: only the native code and its peer are timed.
        ("RebufferedBytesIO read(4) over 100 MiB, tailcutoff None",
         rebuffered_pass(native, None, hundred_mib), None, buffered_reader_pass(hundred_mib), "<= 1.2 x stdlib"),
        ("RebufferedBytesIO read(4) over 100 MiB, tailcutoff 64",
         rebuffered_pass(native, 64, hundred_mib), None, buffered_reader_pass(hundred_mib), "<= 1.35 x stdlib"),
        # One large write against the same data in 4 KiB writes (the stdlib column), both native: the
        # time of a write must be linear in its size. Pure Python re-slices wbuffer for every unit
        # (quadratic: minutes at 16 MiB) and is not timed.
        ("RestreamedBytesIO.write(1 MiB), hexlify, 16-byte units",
         large_write(native, 1 << 20, binascii.hexlify, 1 << 20), None,
         large_write(native, 1 << 20, binascii.hexlify, 4096), linear),
        ("RestreamedBytesIO.write(1 MiB), Python encoder, 16-byte units",
         large_write(native, 1 << 20, python_hexlify, 1 << 20), None,
         large_write(native, 1 << 20, python_hexlify, 4096), linear),
        ("RestreamedBytesIO.write(16 MiB), hexlify, 16-byte units",
         large_write(native, 16 << 20, binascii.hexlify, 16 << 20), None,
         large_write(native, 16 << 20, binascii.hexlify, 4096), linear),
        ("RestreamedBytesIO.write(16 MiB), Python encoder, 16-byte units",
         large_write(native, 16 << 20, python_hexlify, 16 << 20), None,
         large_write(native, 16 << 20, python_hexlify, 4096), linear),
        ("RestreamedBytesIO 1 MiB through unhexlify, 2-byte units, read(1)",
         unhexlify_pass(native, 1), unhexlify_pass(pure, 1), codec_calls_only_unhexlify, faster),
        ("RestreamedBytesIO 1 MiB through unhexlify, 2-byte units, read(4096)",
         unhexlify_pass(native, 4096), unhexlify_pass(pure, 4096), codec_calls_only_unhexlify, faster),
        ("RestreamedBytesIO 1 MiB through hexlify, 2-byte units, write(64 bytes)",
         hexlify_pass(native, 64), hexlify_pass(pure, 64), codec_calls_only_hexlify, faster),
        ("RebufferedBytesIO write(4 bytes) + seek in a 1 MiB window",
         overwrite(native), overwrite(pure), None, faster),
        ("RebufferedBytesIO read(4) + write(4 bytes), tailcutoff 64",
         read_then_write(native), read_then_write(pure), None, faster),
        # Floor of a constructor: a new dict holding the entries of the new instance's dict.
        ("RebufferedBytesIO(substream, 64)",
         lambda: native.RebufferedBytesIO(None, 64), lambda: pure.RebufferedBytesIO(None, 64),
         lambda: {"substream": None, "offset": 0, "rwbuffer": b"", "moved": 0, "tailcutoff": 64}, faster),
        ("RestreamedBytesIO(substream, ...)",
         lambda: native.RestreamedBytesIO(None, None, 1, None, 1),
         lambda: pure.RestreamedBytesIO(None, None, 1, None, 1),
         lambda: {"substream": None, "encoder": None, "encoderunit": 1, "decoder": None, "decoderunit": 1,
                  "rbuffer": b"", "wbuffer": b"", "sincereadwritten": 0}, faster),
    ]
    # The standard-library column of single calls is the nearest call on io.BytesIO: the cost of
    # calling a native method at all, which bounds how much faster than pure Python these can be.
    floor = io.BytesIO(ONE_MIB)
    for cls, name, args, stdlib in [
        ("RebufferedBytesIO", "seek", (1000,), call_with(floor.seek, (1000,))),
        ("RebufferedBytesIO", "seek", (0, 1), call_with(floor.seek, (0, 1))),
        ("RebufferedBytesIO", "tell", (), call_with(floor.tell, ())),
        ("RebufferedBytesIO", "seekable", (), call_with(floor.seekable, ())),
        ("RebufferedBytesIO", "cachedfrom", (), call_with(floor.tell, ())),
        ("RebufferedBytesIO", "cachedto", (), call_with(floor.tell, ())),
        ("RestreamedBytesIO", "tell", (), call_with(floor.tell, ())),
        ("RestreamedBytesIO", "close", (), call_with(floor.seekable, ())),
        ("RestreamedBytesIO", "read", (0,), call_with(floor.read, (0,))),
    ]:
        label = f"{cls}.{name}({', '.join(map(repr, args))})"
        rows.append((label, method(native, cls, name, *args), method(pure, cls, name, *args), stdlib, faster))
    return rows


# ---- memory ----------------------------------------------------------------------

MEMORY_PROBE = r"""
import sys
from tavro.lib.bitstream import RebufferedBytesIO


def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field))


total, size = 100 << 20, int(sys.argv[1])
substream = open("/dev/zero", "rb", buffering=0)  # a fresh 128 KiB bytes object per read
r = RebufferedBytesIO(substream, 64)
read = r.read
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak (VmHWM) to the current resident size
start = status("VmRSS:")
for _ in range(total // size):
    read(size)
peak = status("VmHWM:")
assert r.tell() == total and r.cachedfrom() == total - 64
print(start, peak)
"""


def memory_report():
    for size in (4096, 4):
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(size)], check=True, capture_output=True,
                             text=True).stdout.split()
        start, peak = map(int, out)
        print(f"100 MiB in read({size}) calls, tailcutoff 64: resident {start} KiB at the start, peak {peak} KiB: "
              f"+{peak - start} KiB (bound: 1024 KiB + one 128 KiB chunk = 1152 KiB)")


if __name__ == "__main__":
    if "--memory" in sys.argv:
        memory_report()
