"""Several threads at once on shared objects: conversions, dumps and
expression evaluation must give the same results as on one thread, and the
shared tables must come out unchanged."""
import importlib
import operator
import sys
import threading

import pytest

import sweep

THREADS = 6
ROUNDS = 150


def _module(name):
    # Only a module that a development build leaves out on purpose is
    # skipped; one that should be there and does not import fails the test.
    if name not in sweep.expected_modules():
        pytest.skip(sweep.NOT_BUILT)
    return importlib.import_module(name)


@pytest.fixture(autouse=True)
def fast_switching():
    # Switch threads as often as the interpreter allows, so that calls
    # interleave at every point where the native code gives the lock up.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def hammer(jobs):
    """Runs every job (a no-argument callable returning a value) ROUNDS times
    in each of THREADS threads and returns the results seen by each thread;
    re-raises the first exception."""
    barrier = threading.Barrier(THREADS)
    results = [None] * THREADS
    errors = []

    def work(k):
        try:
            barrier.wait()
            seen = []
            for r in range(ROUNDS):
                job = jobs[(r + k) % len(jobs)]
                seen.append((jobs.index(job), job()))
            results[k] = seen
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results


def check_against_single_thread(jobs):
    expected = [job() for job in jobs]
    for seen in hammer(jobs):
        for index, value in seen:
            assert value == expected[index], f"job {index}: {value!r} != {expected[index]!r}"


def test_conversions_from_many_threads():
    binary = _module("tavro.lib.binary")
    data = bytes(range(256)) * 4
    bits = binary.bytes2bits(data)
    jobs = [
        lambda: binary.integer2bits(-12345678901234567890, 90),
        lambda: binary.integer2bytes(2**61 + 17, 9),
        lambda: binary.bits2integer(bits[:200], True),
        lambda: binary.bytes2integer(data[:40], True),
        lambda: binary.bytes2bits(data),
        lambda: binary.bits2bytes(bits),
        lambda: binary.swapbitsinbytes(data),
    ]
    tables = {name: dict(getattr(binary, name)) for name in dir(binary) if name.endswith("_CACHE")}
    check_against_single_thread(jobs)
    for name, table in tables.items():
        now = getattr(binary, name)
        assert now == table and all(now[k] is table[k] for k in table), f"{name} changed"


def test_dumps_from_many_threads():
    hexmod = _module("tavro.lib.hex")
    payloads = [bytes(range(256)), b"", b"\x00" * 100, bytearray(b"abc" * 50)]
    jobs = []
    for p in payloads:
        for size in (1, 7, 16):
            jobs.append(lambda p=p, size=size: hexmod.hexundump(hexmod.hexdump(p, size), size))
            jobs.append(lambda p=p, size=size: hexmod.hexdump(p, size))
    check_against_single_thread(jobs)
    for seen in hammer(jobs[::2]):
        for index, value in seen:
            assert value == bytes(payloads[index // 3])


def test_expression_evaluation_from_many_threads():
    expr = _module("tavro.expr")
    this, len_, list_ = expr.this, expr.len_, expr.list_
    # Shared nodes, evaluated by every thread against its own contexts.
    nodes = [
        this.length * 2 + 1,
        (this.header.size - this.offset) // 3,
        len_(this.items) > 2,
        -this.length,
        ~(this.flags & 1 == 0),
        expr.BinExpr(operator.add, this.length, 5),
    ]
    reprs = [repr(n) for n in nodes]
    strs = [str(n) for n in nodes]

    def context(i):
        return {"length": i, "header": {"size": 100 + i}, "offset": i % 7, "items": list(range(i % 5)),
                "flags": i}

    def evaluate(i):
        ctx = context(i)
        return [n(ctx) for n in nodes] + [list_[1](ctx, [7, 8])]

    expected = {i: evaluate(i) for i in range(40)}
    jobs = [lambda i=i: evaluate(i) for i in range(40)]
    for seen in hammer(jobs):
        for index, value in seen:
            assert value == expected[index]
    assert [repr(n) for n in nodes] == reprs
    assert [str(n) for n in nodes] == strs


def test_stream_adapters_one_per_thread():
    bitstream = _module("tavro.lib.bitstream")
    import io

    data = bytes(range(256)) * 20

    def rebuffered_job():
        s = bitstream.RebufferedBytesIO(io.BytesIO(data), 64)
        out = [s.read(100) for _ in range(20)]
        s.seek(-30, 1)
        out.append(s.read(30))
        return b"".join(out)

    def restreamed_job():
        s = bitstream.RestreamedBytesIO(io.BytesIO(data), lambda b: b[::-1], 8, lambda b: b, 8)
        return s.read(len(data))

    check_against_single_thread([rebuffered_job, restreamed_job])
