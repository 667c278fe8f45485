"""Benchmarks of tavro.lib.hex against the pure-Python one (the literal model, tavro._pure) and binascii.

    python bench/bench_hex.py            # prints medians and ratios

cases() returns (operation, native_fn, python_fn, stdlib_fn_or_None, target);
each function performs one operation.
"""

import binascii
import os
import random
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tavro.lib.hex as native  # noqa: E402
from tavro import _pure  # noqa: E402

pure = _pure.load(binder=False).hex  # the algorithm as plain Python


def _uncached(value):
    """A function that renders `value` afresh on every call."""
    attributes = value.__dict__

    def render():
        attributes.pop("render", None)
        return str(value)

    return render


def cases():
    rng = random.Random(4)
    mib = bytes(rng.getrandbits(8) for _ in range(1 << 20))
    dump = native.hexdump(mib, 16)
    assert dump == pure.hexdump(mib, 16)
    hex_digits = binascii.hexlify(mib)  # 2 MiB of hex digits
    small = bytes(rng.getrandbits(8) for _ in range(100))
    small_dump = native.hexdump(small, 16)
    kib = mib[:1024]

    integer_native = native.HexDisplayedInteger.new(0xBEEF, "08x")
    integer_python = pure.HexDisplayedInteger.new(0xBEEF, "08x")
    cached_native = native.HexDumpDisplayedBytes(kib)
    cached_python = pure.HexDumpDisplayedBytes(kib)
    rendered = str(cached_native)
    str(cached_python)

    return [
        ("hexdump 1 MiB, 16", lambda: native.hexdump(mib, 16), lambda: pure.hexdump(mib, 16),
         lambda: binascii.hexlify(mib, b" "), "<= 3x binascii.hexlify with a separator"),
        ("hexundump of that dump", lambda: native.hexundump(dump, 16), lambda: pure.hexundump(dump, 16),
         lambda: binascii.unhexlify(hex_digits), "<= 3x binascii.unhexlify(2 MiB of digits)"),
        ("hexdump 100 B, 16", lambda: native.hexdump(small, 16), lambda: pure.hexdump(small, 16),
         lambda: binascii.hexlify(small, b" "), ">= 10x pure Python"),
        ("hexundump 100 B", lambda: native.hexundump(small_dump, 16), lambda: pure.hexundump(small_dump, 16),
         lambda: binascii.unhexlify(small.hex()), ">= 10x pure Python"),
        ("HexDumpDisplayedBytes(1 KiB) str, first", _uncached(native.HexDumpDisplayedBytes(kib)),
         _uncached(pure.HexDumpDisplayedBytes(kib)), None, ">= 10x pure Python"),
        # Floors: a C call the rendering cannot do without (hexlify of the bytes; str() of a str;
        # str() of a plain int, the same call making a string of the same kind).
        ("HexDisplayedBytes(1 KiB) str, first", _uncached(native.HexDisplayedBytes(kib)),
         _uncached(pure.HexDisplayedBytes(kib)), lambda: binascii.hexlify(kib), ">= 10x pure Python"),
        ("HexDumpDisplayedBytes str, cached", lambda: str(cached_native), lambda: str(cached_python),
         lambda: str(rendered), ">= 10x pure Python"),
        ("HexDisplayedInteger str", lambda: str(integer_native), lambda: str(integer_python),
         lambda: str(0xBEEF), ">= 10x pure Python"),
    ]


def measure(functions, repeats=7, budget=0.02):
    """Median seconds per call of each function, repeats interleaved."""
    numbers = []
    for function in functions:
        number = 1
        while True:
            if timeit.timeit(function, number=number) >= budget or number >= 1 << 20:
                break
            number *= 4
        numbers.append(number)
    samples = [[] for _ in functions]
    for _ in range(repeats):
        for i, function in enumerate(functions):
            samples[i].append(timeit.timeit(function, number=numbers[i]) / numbers[i])
    return [sorted(s)[len(s) // 2] for s in samples]


def _format_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return "%.3g %s" % (seconds / scale, unit)
    return "%.3g ns" % (seconds / 1e-9)


def main():
    print("%-42s %10s %10s %10s %9s %9s  %s" % ("operation", "native", "python", "stdlib", "py/nat", "nat/std",
                                                  "target"))
    for name, native_fn, python_fn, stdlib_fn, target in cases():
        functions = [native_fn, python_fn] + ([stdlib_fn] if stdlib_fn else [])
        times = measure(functions)
        stdlib_time = times[2] if stdlib_fn else None
        print("%-42s %10s %10s %10s %8.1fx %9s  %s" % (
            name, _format_time(times[0]), _format_time(times[1]),
            _format_time(stdlib_time) if stdlib_time else "-", times[1] / times[0],
            "%.2fx" % (times[0] / stdlib_time) if stdlib_time else "-", target))


if __name__ == "__main__":
    main()
