"""Real parallelism. On a free-threaded interpreter the modules run without
the GIL: importing them must leave it disabled, and threads working at once
on shared expressions, shared module tables (rebound by another thread while
they convert), their own dumps and their own adapters must get exactly what
one thread gets. Adapters shared without locking may misbehave as the same
Python class would, but must never crash. On an interpreter with a GIL the
same tests exercise the modules' thread switches."""
import io
import operator
import os
import random
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time
from pathlib import Path

import pytest

pytestmark = pytest.mark.native_only("the extension modules on free-threaded builds")

import tavro
import tavro.lib.binary as binary
import tavro.lib.hex as hexmodule
import tavro.lib.portil as portil
from tavro.expr import len_, this
from tavro.lib.bitstream import RebufferedBytesIO, RestreamedBytesIO

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
THREADS = 8
SECONDS = 2.0


def native_modules():
    """Every extension module of the installed package, as an importable name."""
    root = Path(tavro.__file__).parent
    suffixes = tuple(s for s in (".so", ".pyd") if s)
    names = []
    for path in sorted(root.rglob("*")):
        if path.name.endswith(suffixes) and "." in path.name:
            relative = path.relative_to(root.parent).with_suffix("")
            names.append(".".join(relative.parts[:-1] + (relative.name.split(".")[0],)))
    return names


def test_the_package_has_its_five_modules():
    assert {"tavro.lib.portil", "tavro.lib.binary", "tavro.expr", "tavro.lib.hex",
            "tavro.lib.bitstream"} <= set(native_modules())


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded interpreter can run without the GIL")
def test_importing_every_module_keeps_the_gil_disabled():
    code = textwrap.dedent(f"""
        import importlib, sys, warnings
        warnings.simplefilter("error")
        for name in {native_modules()!r}:
            importlib.import_module(name)
        print(sys._is_gil_enabled())
    """)
    env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "False"
    assert run.stderr == ""


@pytest.mark.skipif(not FREE_THREADED, reason="deferred reference counting exists on free-threaded builds only")
def test_module_functions_are_counted_as_the_interpreters_own():
    # Threads calling a function found in a module must not all write to its
    # reference count: like the functions of a module's method table, ours
    # are deferred, which 3.13 makes immortal once a second thread runs.
    code = textwrap.dedent(f"""
        import importlib, sys, threading
        threading.Thread(target=lambda: None).start()
        functions = [value for name in {native_modules()!r}
                     for value in vars(importlib.import_module(name)).values()
                     if type(value).__name__ == "builtin_function_or_method"
                     and getattr(value.__self__, "__name__", None) == name]
        assert len(functions) > 20, functions
        if hasattr(sys, "_is_immortal"):
            print(sum(not sys._is_immortal(f) for f in functions))
        else:
            print(sum(sys.getrefcount(f) < 2 ** 30 for f in functions))
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "0"


# ---- many threads, each checked against one thread ----------------------------------

def records(seed, count=200):
    """Length-prefixed records: a 4-byte big-endian length, then that many bytes."""
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        payload = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 80)))
        out.append(len(payload).to_bytes(4, "big") + payload)
    return out


SIZE = this.length * 2
NONEMPTY = len_(this.items) > 0
NESTED = this.header.length + 1


def parse(record):
    """What a parser does with one record, through every module."""
    length = binary.bytes2integer(record[:4])
    context = {"length": length, "items": record[4:], "header": {"length": length}}
    payload = record[4:4 + length]
    return (length, SIZE(context), NONEMPTY(context), NESTED(context),
            hexmodule.hexundump(hexmodule.hexdump(payload, 16), 16) == payload,
            binary.integer2bytes(length, 4), binary.bits2bytes(binary.bytes2bits(payload)),
            binary.swapbitsinbytes(payload), b"".join(portil.iteratebytes(payload[:8])))


class Feed:
    """A substream fed by a producer thread: read() gives what has arrived, None while nothing has."""

    def __init__(self):
        self._lock = threading.Lock()
        self._pending = bytearray()

    def put(self, data):
        with self._lock:
            self._pending += data

    def read(self, count):
        with self._lock:
            if not self._pending:
                return None
            data = bytes(self._pending[:count])
            del self._pending[:count]
            return data


def read_records(stream, count):
    out = []
    for _ in range(count):
        header = stream.read(4)
        out.append(header + stream.read(int.from_bytes(header, "big")))
    return out


def run_threads(targets):
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(target,)) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]


@pytest.fixture
def tables_restored():
    saved = {module: dict(vars(module)) for module in (portil, binary, hexmodule)}
    yield
    for module, namespace in saved.items():
        for name in ("INT2BYTE_CACHE", "ITERATEBYTES_CACHE", "BYTES2BITS_CACHE", "BITS2BYTES_CACHE",
                     "SWAPBITSINBYTES_CACHE", "HEXPRINT", "PRINTABLE", "int2byte"):
            if name in namespace:
                setattr(module, name, namespace[name])


def test_parallel_work_gives_what_one_thread_gives(tables_restored):
    work = [records(seed) for seed in range(THREADS)]
    expected = [[parse(record) for record in batch] for batch in work]
    seen = [[] for _ in range(THREADS)]
    deadline = time.monotonic() + SECONDS
    stop = threading.Event()

    def converter(k):
        def run():
            while not stop.is_set():
                seen[k].append([parse(record) for record in work[k]])
                if time.monotonic() > deadline:
                    return
        return run

    def rebinder():
        # Equal tables under new objects, and a helper that is not portil's own:
        # every fast path has to notice and check again, and the results stay.
        originals = {(module, name): getattr(module, name)
                     for module in (portil, binary, hexmodule)
                     for name in ("INT2BYTE_CACHE", "ITERATEBYTES_CACHE", "BYTES2BITS_CACHE",
                                  "BITS2BYTES_CACHE", "SWAPBITSINBYTES_CACHE", "HEXPRINT", "PRINTABLE")
                     if hasattr(module, name)}
        int2byte = portil.int2byte
        rounds = 0
        while time.monotonic() < deadline:
            for (module, name), table in originals.items():
                setattr(module, name, type(table)(table) if rounds % 2 else table)
            for module in (binary, hexmodule):
                module.int2byte = (lambda value: int2byte(value)) if rounds % 2 else int2byte
            rounds += 1
            time.sleep(0.001)
        stop.set()

    def adapters(k):
        def run():
            feed = Feed()
            stream = RebufferedBytesIO(feed, tailcutoff=64 if k % 2 else None)
            producer = threading.Thread(target=lambda: [feed.put(record) for record in work[k]])
            producer.start()
            got = read_records(stream, len(work[k]))
            producer.join()
            assert got == work[k]
        return run

    run_threads([converter(k) for k in range(THREADS - 2)] + [rebinder] + [adapters(k) for k in range(2)])
    for k in range(THREADS - 2):
        assert seen[k], "a converter never finished a round"
        for round_results in seen[k]:
            assert round_results == expected[k]


# ---- adapters shared without locking ---------------------------------------------------

SHARED_ADAPTERS = textwrap.dedent("""
    import random, sys, threading, time
    from tavro.lib.bitstream import RebufferedBytesIO, RestreamedBytesIO

    OWN = {
        "could not read because tail was cut off",
        "could not read enough bytes, something went wrong",
        "could not write because tail was cut off",
        "count cannot be negative",
    }
    PATTERN = bytes(range(256)) * 512

    class Endless:
        # A substream that always has data and takes every write; thread-safe itself.
        def __init__(self):
            self.lock = threading.Lock()
            self.written = 0
        def read(self, count):
            return PATTERN[:count]
        def write(self, data):
            with self.lock:
                self.written += len(data)

    rebuffered = RebufferedBytesIO(Endless(), tailcutoff=512)
    restreamed = RestreamedBytesIO(Endless(), bytes, 16, bytes, 8)
    deadline = time.monotonic() + float(sys.argv[1])
    unexpected = []

    def hammer(seed):
        rng = random.Random(seed)
        while time.monotonic() < deadline:
            choice = rng.randrange(9)
            try:
                if choice == 0: rebuffered.read(rng.randrange(64))
                elif choice == 1: rebuffered.seek(rng.randrange(-64, 64), 1)
                elif choice == 2: rebuffered.write(bytes(rng.randrange(16)))
                elif choice == 3: rebuffered.cachedto(); rebuffered.cachedfrom(); rebuffered.tell()
                elif choice == 4: rebuffered.seek(rng.randrange(1 << 16))
                elif choice == 5: restreamed.read(rng.randrange(40))
                elif choice == 6: restreamed.write(bytes(rng.randrange(20)))
                elif choice == 7: restreamed.read(0); restreamed.tell()
                else: rebuffered.rwbuffer
            except (OSError, ValueError) as error:
                if str(error) not in OWN and not str(error).startswith("closing stream but"):
                    unexpected.append(repr(error))
            except BaseException as error:
                unexpected.append(repr(error))

    threads = [threading.Thread(target=hammer, args=(k,)) for k in range(8)]
    for thread in threads: thread.start()
    for thread in threads: thread.join()
    print("\\n".join(unexpected[:5]))
    sys.exit(1 if unexpected else 0)
""")


def test_a_shared_node_changed_while_threads_evaluate_it():
    # An evaluation reads the operator and the operands one at a time, as the
    # same Python code would, so one that overlaps a change may combine an
    # operator and an operand of different states; but whatever it read must
    # stay alive while it uses it, and its result is one that some operator
    # and some operand give.
    node = this.a * 2
    context = {"a": 3}
    states = [(operator.mul, 2), (operator.add, 1), (operator.add, 1000)]
    allowed = {op(3, rhs) for op, _ in states for _, rhs in states}
    stop = time.monotonic() + SECONDS / 2
    seen = set()

    def change():
        rng = random.Random(1)
        while time.monotonic() < stop:
            op, rhs = rng.choice(states)
            node.__dict__ = {"op": op, "lhs": this.a, "rhs": rhs}

    def evaluate():
        while time.monotonic() < stop:
            seen.add(node(context))

    run_threads([change] + [evaluate] * (THREADS - 1))
    assert seen <= allowed and seen


def test_adapters_shared_without_locking_never_crash():
    run = subprocess.run([sys.executable, "-X", "faulthandler", "-c", SHARED_ADAPTERS, str(SECONDS)],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, (run.stdout, run.stderr[-3000:])
