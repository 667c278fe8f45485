"""Parsing records with 1, 2 and 4 threads: what running without the GIL buys.

    python bench/parallel.py                  # this interpreter
    python bench/parallel.py --python 3.13t   # the free-threaded build's matrix environment
    python bench/parallel.py --records 100000 --repeat 3

Each record is a 4-byte big-endian length and a payload; parsing one is what
a parser built on tavro does: `bytes2integer` of the header, the data
description's `this.length * 2` evaluated against a context, a slice of the
payload, and a `hexdump` of every 64th record. The records are split evenly
between the threads; each thread holds its share in a bytes object of its
own, as one parser per file or connection would, and all of them share the
expression and the module tables. The parse function reads the expression
and the functions as module globals, where a parser module binds them
(free-threaded 3.13 takes a lock for every read of a closure variable,
which would measure the interpreter's cells rather than tavro). The figure
is the wall time of the whole parse (median of the repeats) and its ratio
to one thread; on a free-threaded interpreter two threads should take at
most 0.7 of the time of one on a two-core machine. With a GIL the threads
take turns and the ratio stays near 1 or above.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import subprocess
import sys
import sysconfig
import threading
import time
from pathlib import Path

TARGET = 0.7  # two threads against one, free-threaded


def make_records(count: int, seed: int = 1) -> tuple[bytes, list[int]]:
    rng = random.Random(seed)
    pieces, offsets, at = [], [], 0
    for _ in range(count):
        payload = rng.randbytes(rng.randrange(4, 64))
        record = len(payload).to_bytes(4, "big") + payload
        offsets.append(at)
        pieces.append(record)
        at += len(record)
    return b"".join(pieces), offsets


def parser():
    """The parse function, with what it uses bound as a parser module binds it."""
    global bytes2integer, hexdump, size
    from tavro.expr import this
    from tavro.lib.binary import bytes2integer
    from tavro.lib.hex import hexdump

    size = this.length * 2
    return parse


def parse(blob: bytes, offsets: list[int], start: int, stop: int) -> int:
    context: dict = {}
    total = 0
    for index in range(start, stop):
        at = offsets[index]
        length = bytes2integer(blob[at:at + 4])
        context["length"] = length
        payload = blob[at + 4:at + 4 + size(context) // 2]
        if index % 64 == 0:
            total += len(hexdump(payload, 16))
        total += len(payload)
    return total


def share(blob: bytes, offsets: list[int], start: int, stop: int) -> tuple[bytes, list[int]]:
    """Records start..stop as a bytes object of their own, as a thread reading its own file has them."""
    base = offsets[start]
    end = offsets[stop] if stop < len(offsets) else len(blob)
    return blob[base:end], [at - base for at in offsets[start:stop]]


def timed(parse, blob: bytes, offsets: list[int], threads: int) -> float:
    count = len(offsets)
    bounds = [(count * k // threads, count * (k + 1) // threads) for k in range(threads)]
    barrier = threading.Barrier(threads + 1)

    def work(start: int, stop: int) -> None:
        own, own_offsets = share(blob, offsets, start, stop)  # made by this thread
        barrier.wait()
        parse(own, own_offsets, 0, len(own_offsets))

    workers = [threading.Thread(target=work, args=b) for b in bounds]
    for worker in workers:
        worker.start()
    barrier.wait()
    begin = time.perf_counter()
    for worker in workers:
        worker.join()
    return time.perf_counter() - begin


def main(argv: list[str] | None = None) -> int:
    arguments = argparse.ArgumentParser(prog="python bench/parallel.py", description=__doc__.split("\n")[0])
    arguments.add_argument("--records", type=int, default=400_000)
    arguments.add_argument("--repeat", type=int, default=5)
    arguments.add_argument("--python", metavar="VERSION|PATH",
                           help="run with another interpreter (as bench/run.py --python)")
    args = arguments.parse_args(argv)
    if args.python:
        sys.path.insert(0, str(Path(__file__).resolve().parent))
        from run import interpreter_for

        rest = [word for word in (argv if argv is not None else sys.argv[1:])
                if word != args.python and not word.startswith("--python")]
        return subprocess.call([interpreter_for(args.python, "python bench/parallel.py"),
                                str(Path(__file__).resolve()), *rest])

    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"CPython {sys.version.split()[0]}{' free-threaded' if free_threaded else ''}, "
          f"GIL {'enabled' if gil else 'disabled'}, {os.cpu_count()} cores, "
          f"{args.records} records, median of {args.repeat}")
    blob, offsets = make_records(args.records)
    parse = parser()
    parse(blob, offsets, 0, min(len(offsets), 1000))  # warm-up
    results = {}
    for threads in (1, 2, 4):
        samples = [timed(parse, blob, offsets, threads) for _ in range(args.repeat)]
        results[threads] = statistics.median(samples)
    print("| threads | wall time | ratio to 1 thread |")
    print("|---|---|---|")
    for threads, seconds in results.items():
        print(f"| {threads} | {seconds:.3f} s | {seconds / results[1]:.2f} |")
    ratio = results[2] / results[1]
    verdict = "holds" if ratio <= TARGET else "missed"
    print(f"two threads: {ratio:.2f} of one (target <= {TARGET} without the GIL: "
          f"{verdict if not gil else 'not applicable with the GIL'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
