"""Benchmark cases for tavro.lib.binary (and the portil helpers it rests on).

cases() returns (operation, native_fn, python_fn, stdlib_fn_or_None, target);
each fn does one operation. Run directly for a quick table:

    python bench/bench_binary.py [--quick]

Each case is timed as the median of interleaved repeats, native, pure Python
and standard library in turn, all in one run.
"""

import binascii
import os
import random
import statistics
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tavro.lib.binary as native  # noqa: E402
from tavro import _pure  # noqa: E402

# The literal model without its argument binder: the algorithm as plain Python
# (the portil helpers come with the star import).
pure = _pure.load(binder=False).binary
import tavro.lib.portil as portil  # noqa: E402

MIB = 1 << 20


def integer2bytes_cases():
    """integer2bytes against int.to_bytes for each width, signed and unsigned,
    with the top bit of the encoding set and clear."""
    rows = []
    for width in (1, 2, 4, 8, 16, 64, MIB):
        bits = 8 * width
        rng = random.Random(width)
        low = rng.getrandbits(bits - 2) | 1  # below the top two bits
        numbers = {
            ("unsigned", "top bit clear"): low,
            ("unsigned", "top bit set"): (1 << (bits - 1)) | low,
            ("signed", "top bit clear"): low,
            ("signed", "top bit set"): low - (1 << (bits - 1)),
        }
        label = "1 MiB" if width == MIB else str(width)
        for (kind, top), number in numbers.items():
            if kind == "signed":
                peer = (lambda n, w: lambda: n.to_bytes(w, "big", signed=True))(number, width)
            else:
                peer = (lambda n, w: lambda: n.to_bytes(w, "big"))(number, width)
            python = (lambda n, w: lambda: pure.integer2bytes(n, w))(number, width) if width <= 64 else None
            rows.append((f"integer2bytes(n, {label}) {kind}, {top}",
                         (lambda n, w: lambda: native.integer2bytes(n, w))(number, width), python, peer,
                         "<= 1.0x int.to_bytes"))
    return rows


def numpy_guard_cases():
    """bits2bytes and bytes2bits against numpy's packbits and unpackbits (numpy
    is a peer for the benchmark only)."""
    mib = os.urandom(MIB)
    bits = native.bytes2bits(mib)  # 8 Mi bits
    try:
        import numpy
    except ImportError:
        numpy = None
    if numpy is None:
        return [("bits2bytes(8 Mi bits) (numpy not installed)", lambda: native.bits2bytes(bits), None, None,
                 "<= 1.0x numpy.packbits"),
                ("bytes2bits(1 MiB) (numpy not installed)", lambda: native.bytes2bits(mib), None, None,
                 "<= 0.75x numpy.unpackbits")]
    bit_array = numpy.frombuffer(bits, dtype=numpy.uint8)
    byte_array = numpy.frombuffer(mib, dtype=numpy.uint8)
    return [
        ("bits2bytes(8 Mi bits)", lambda: native.bits2bytes(bits), None,
         lambda: numpy.packbits(bit_array).tobytes(), "<= 1.0x numpy.packbits"),
        ("bytes2bits(1 MiB) vs numpy", lambda: native.bytes2bits(mib), None,
         lambda: numpy.unpackbits(byte_array).tobytes(), "<= 0.75x numpy.unpackbits"),
    ]


def cases():
    n = 0x12345678
    four = b"\x92\x34\x56\x78"
    bits32 = native.integer2bits(n, 32)
    mib = os.urandom(MIB)
    mib_bits = native.bytes2bits(mib)[:MIB]  # 1 MiB of bit string
    small = os.urandom(64)
    small_bits = native.bytes2bits(small)
    hex_small = binascii.hexlify(small)
    n_big = int.from_bytes(os.urandom(64), "big") - (1 << 511)
    ten_x = ">= 10x pure Python"
    return [
        ("integer2bytes(n, 4)", lambda: native.integer2bytes(n, 4), lambda: pure.integer2bytes(n, 4),
         lambda: n.to_bytes(4, "big"), "<= 1.5x int.to_bytes"),
        ("bytes2integer(4 bytes)", lambda: native.bytes2integer(four), lambda: pure.bytes2integer(four),
         lambda: int.from_bytes(four, "big"), "<= 1.0x int.from_bytes"),
        ("bytes2integer(4 bytes, True)", lambda: native.bytes2integer(four, True),
         lambda: pure.bytes2integer(four, True), lambda: int.from_bytes(four, "big", signed=True),
         "<= 1.0x int.from_bytes"),
        ("integer2bits(n, 32)", lambda: native.integer2bits(n, 32), lambda: pure.integer2bits(n, 32), None,
         ">= 20x pure Python"),
        ("bits2integer(32 bits)", lambda: native.bits2integer(bits32), lambda: pure.bits2integer(bits32), None,
         ">= 20x pure Python"),
        ("bits2integer(32 bits, True)", lambda: native.bits2integer(bits32, True),
         lambda: pure.bits2integer(bits32, True), None, ">= 20x pure Python"),
        ("bytes2bits(1 MiB)", lambda: native.bytes2bits(mib), lambda: pure.bytes2bits(mib),
         lambda: binascii.hexlify(mib), "<= 1.5x binascii.hexlify"),
        ("bits2bytes(1 MiB)", lambda: native.bits2bytes(mib_bits), lambda: pure.bits2bytes(mib_bits),
         lambda: binascii.hexlify(mib), "<= 1.5x binascii.hexlify"),
        ("swapbitsinbytes(1 MiB)", lambda: native.swapbitsinbytes(mib), lambda: pure.swapbitsinbytes(mib),
         lambda: binascii.hexlify(mib), "<= 1.5x binascii.hexlify"),
        ("integer2bytes(n, 64)", lambda: native.integer2bytes(n_big, 64), lambda: pure.integer2bytes(n_big, 64),
         lambda: (n_big % (1 << 512)).to_bytes(64, "big"), ten_x),
        ("bytes2integer(64 bytes, True)", lambda: native.bytes2integer(small, True),
         lambda: pure.bytes2integer(small, True), lambda: int.from_bytes(small, "big", signed=True), ten_x),
        ("integer2bits(n, 512)", lambda: native.integer2bits(n_big, 512), lambda: pure.integer2bits(n_big, 512),
         None, ten_x),
        ("bits2integer(512 bits, True)", lambda: native.bits2integer(small_bits, True),
         lambda: pure.bits2integer(small_bits, True), None, ten_x),
        ("bytes2bits(64 bytes)", lambda: native.bytes2bits(small), lambda: pure.bytes2bits(small), None, ten_x),
        ("bits2bytes(512 bits)", lambda: native.bits2bytes(small_bits), lambda: pure.bits2bytes(small_bits), None,
         ten_x),
        ("swapbitsinbytes(64 bytes)", lambda: native.swapbitsinbytes(small), lambda: pure.swapbitsinbytes(small),
         None, ten_x),
        ("swapbytesinbits(512 bits)", lambda: native.swapbytesinbits(small_bits),
         lambda: pure.swapbytesinbits(small_bits), None, ten_x),
        ("swapbytesinbits(1 MiB)", lambda: native.swapbytesinbits(mib_bits), lambda: pure.swapbytesinbits(mib_bits),
         None, ten_x),
        ("swapbytes(64 bytes)", lambda: native.swapbytes(small), lambda: pure.swapbytes(small),
         lambda: small[::-1], ten_x),
        ("swapbytes(1 MiB)", lambda: native.swapbytes(mib), lambda: pure.swapbytes(mib), lambda: mib[::-1],
         ten_x),
        ("hexlify(64 bytes)", lambda: native.hexlify(small), lambda: pure.hexlify(small),
         lambda: binascii.hexlify(small), ten_x),
        ("unhexlify(128 digits)", lambda: native.unhexlify(hex_small), lambda: pure.unhexlify(hex_small),
         lambda: binascii.unhexlify(hex_small), ten_x),
        # Floor: a one-argument builtin that returns a cached object.
        ("int2byte(65)", lambda: portil.int2byte(65), lambda: pure.int2byte(65), lambda: chr(65), ten_x),
        ("byte2int(b'A')", lambda: portil.byte2int(b"A"), lambda: pure.byte2int(b"A"), lambda: ord(b"A"), ten_x),
        ("list(iteratebytes(64 bytes))", lambda: list(portil.iteratebytes(small)),
         lambda: list(pure.iteratebytes(small)), lambda: list(small), ten_x),  # floor: list of the 64 ints
    ] + integer2bytes_cases() + numpy_guard_cases()


def measure(case, repeats):
    name, native_fn, python_fn, stdlib_fn, target = case
    fns = [native_fn, python_fn] + ([stdlib_fn] if stdlib_fn else [])
    loops = [max(1, timeit.Timer(fn).autorange()[0] // 50) for fn in fns]
    samples = [[] for _ in fns]
    for _ in range(repeats):  # interleaved, so drift hits all alike
        for k, fn in enumerate(fns):
            samples[k].append(timeit.Timer(fn).timeit(loops[k]) / loops[k])
    return [statistics.median(s) for s in samples]


def main():
    repeats = 5 if "--quick" in sys.argv else 15
    print(f"{'operation':32} {'native':>11} {'python':>11} {'speed-up':>9} {'stdlib':>11} {'ratio':>7}  target")
    for case in cases():
        medians = measure(case, repeats)
        native_t, python_t = medians[0], medians[1]
        stdlib = f"{medians[2] * 1e9:9.0f}ns" if len(medians) > 2 else " " * 11
        ratio = f"{native_t / medians[2]:6.2f}x" if len(medians) > 2 else " " * 7
        print(f"{case[0]:32} {native_t * 1e9:9.0f}ns {python_t * 1e9:9.0f}ns {python_t / native_t:8.1f}x "
              f"{stdlib} {ratio}  {case[4]}")


if __name__ == "__main__":
    main()
