"""Coverage-guided fuzz targets (atheris) for the parsers, the conversions and
the two stream adapters. Every target compares the native module with the
literal model, the pure-Python tavro (tavro._pure); a difference, or any
exception other than the documented ones, is a finding.

    python fuzz/targets.py TARGET [libFuzzer options...]
    python fuzz/targets.py --list

The checks are plain functions (check_*) so that the regression tests can
replay what the fuzzer found without atheris.
"""
import sys

from tavro import _pure  # noqa: E402

MODEL = _pure.load()


class Mismatch(AssertionError):
    pass


def outcome(fn, *args):
    """(result, None) or (None, exception) of one call."""
    try:
        return fn(*args), None
    except (ValueError, TypeError, KeyError, OSError, IndexError, OverflowError, RuntimeError) as exc:
        return None, exc


def same(what, native, model, compare_messages=True):
    (nres, nexc), (mres, mexc) = native, model
    if nexc is None and mexc is None:
        if type(nres) is not type(mres) or nres != mres:
            raise Mismatch(f"{what}: native {nres!r} != model {mres!r}")
        return
    if (nexc is None) != (mexc is None) or type(nexc) is not type(mexc):
        raise Mismatch(f"{what}: native {nres!r}/{nexc!r} but model {mres!r}/{mexc!r}")
    if compare_messages and str(nexc) != str(mexc):
        raise Mismatch(f"{what}: native message {str(nexc)!r} != model {str(mexc)!r}")


# ---------------------------------------------------------------------------
# Checks (plain functions of plain values)


def check_hexundump(text, linesize):
    from tavro.lib import hex as native

    same(f"hexundump({text!r}, {linesize})", outcome(native.hexundump, text, linesize),
         outcome(MODEL.hex.hexundump, text, linesize))


def check_hexdump_roundtrip(data, linesize):
    from tavro.lib import hex as native

    dump = outcome(native.hexdump, data, linesize)
    same(f"hexdump({data!r}, {linesize})", dump, outcome(MODEL.hex.hexdump, data, linesize))
    if dump[1] is None:
        back = native.hexundump(dump[0], linesize)
        if back != bytes(data):
            raise Mismatch(f"hexundump(hexdump({data!r}, {linesize})) gave {back!r}")


def check_bits(data):
    from tavro.lib import binary as native

    same(f"bytes2bits({data!r})", outcome(native.bytes2bits, data), outcome(MODEL.binary.bytes2bits, data))
    same(f"bits2bytes({data!r})", outcome(native.bits2bytes, data), outcome(MODEL.binary.bits2bytes, data))
    same(f"swapbytesinbits({data!r})", outcome(native.swapbytesinbits, data),
         outcome(MODEL.binary.swapbytesinbits, data))
    same(f"swapbitsinbytes({data!r})", outcome(native.swapbitsinbytes, data),
         outcome(MODEL.binary.swapbitsinbytes, data))
    same(f"swapbytes({data!r})", outcome(native.swapbytes, data), outcome(MODEL.binary.swapbytes, data))
    bits = native.bytes2bits(data)
    if native.bits2bytes(bits) != data:
        raise Mismatch(f"bits2bytes(bytes2bits({data!r})) != input")
    if native.swapbitsinbytes(native.swapbitsinbytes(data)) != data:
        raise Mismatch(f"swapbitsinbytes twice changed {data!r}")


def check_integers(number, width, data, signed):
    from tavro.lib import binary as native

    same(f"integer2bits({number}, {width})", outcome(native.integer2bits, number, width),
         outcome(MODEL.binary.integer2bits, number, width))
    same(f"bits2integer({data!r}, {signed})", outcome(native.bits2integer, data, signed),
         outcome(MODEL.binary.bits2integer, data, signed))
    same(f"bytes2integer({data!r}, {signed})", outcome(native.bytes2integer, data, signed),
         outcome(MODEL.binary.bytes2integer, data, signed))
    bytewidth = width // 8
    if bytewidth:
        same(f"integer2bytes({number}, {bytewidth})", outcome(native.integer2bytes, number, bytewidth),
             outcome(MODEL.binary.integer2bytes, number, bytewidth))
    if width:
        lo, hi = -(1 << (width - 1)), 1 << (width - 1)
        if lo <= number < hi:
            back = native.bits2integer(native.integer2bits(number, width), True)
            if back != number:
                raise Mismatch(f"bits2integer(integer2bits({number}, {width}), True) == {back}")
        if bytewidth and -(1 << (8 * bytewidth - 1)) <= number < (1 << (8 * bytewidth - 1)):
            back = native.bytes2integer(native.integer2bytes(number, bytewidth), True)
            if back != number:
                raise Mismatch(f"bytes2integer(integer2bytes({number}, {bytewidth}), True) == {back}")
        if 0 <= number < 1 << width:
            back = native.bits2integer(native.integer2bits(number, width))
            if back != number:
                raise Mismatch(f"bits2integer(integer2bits({number}, {width})) == {back}")


# ---------------------------------------------------------------------------
# Stream adapters: the same operations on the native class and on the model.


class ScriptedStream:
    """A substream that plays a script of read results: bytes, None, b'' or
    'block' (raises BlockingIOError); after the script it hands out
    deterministic bytes. Records every call for comparison."""

    def __init__(self, script, endless=True):
        self.script = list(script)
        self.endless = endless
        self.pos = 0
        self.log = []

    def read(self, n):
        self.log.append(("read", n))
        if self.script:
            item = self.script.pop(0)
            if item == "block":
                raise BlockingIOError()
            if item == "boom":
                raise RuntimeError("substream failed")
            return item
        if not self.endless:
            return b""
        size = max(0, min(n, 700))
        data = bytes((self.pos + i) % 251 for i in range(size))
        self.pos += size
        return data

    def write(self, data):
        self.log.append(("write", bytes(data)))
        return len(data)


def _codec(kind):
    if kind == 0:
        return lambda b: b
    if kind == 1:
        return lambda b: b + b
    if kind == 2:
        return lambda b: b[: (len(b) + 1) // 2]
    return lambda b: b[::-1]


def _state(obj):
    return {k: v for k, v in vars(obj).items() if k not in ("substream", "encoder", "decoder")}


def run_restreamed(native_module, setup, ops):
    """setup: (script, decoderkind, decoderunit, encoderkind, encoderunit);
    ops: list of (name, args). Raises Mismatch on the first difference."""
    script, dkind, dunit, ekind, eunit = setup
    subs = [ScriptedStream(script, endless=False), ScriptedStream(script, endless=False)]
    objs = [
        native_module.RestreamedBytesIO(subs[0], _codec(dkind), dunit, _codec(ekind), eunit),
        MODEL.bitstream.RestreamedBytesIO(subs[1], _codec(dkind), dunit, _codec(ekind), eunit),
    ]
    for step, (name, args) in enumerate(ops):
        if name == "setattr":
            for o in objs:
                setattr(o, *args)
            continue
        res = [outcome(getattr(o, name), *args) for o in objs]
        what = f"RestreamedBytesIO step {step}: {name}{args!r}"
        if name == "seek":
            same(what, res[0], res[1], compare_messages=False)
        else:
            same(what, res[0], res[1])
        if _state(objs[0]) != _state(objs[1]):
            raise Mismatch(f"{what}: state {_state(objs[0])!r} != model {_state(objs[1])!r}")
        if subs[0].log != subs[1].log:
            raise Mismatch(f"{what}: substream calls {subs[0].log!r} != model {subs[1].log!r}")


def run_rebuffered(native_module, setup, ops):
    """setup: (script, tailcutoff); ops as for run_restreamed. A negative
    tailcutoff, which the contract leaves out, and a window grown beyond a
    megabyte end the comparison: they only have to return or raise."""
    script, tailcutoff = setup
    subs = [ScriptedStream(script), ScriptedStream(script)]
    objs = [native_module.RebufferedBytesIO(subs[0], tailcutoff), MODEL.bitstream.RebufferedBytesIO(subs[1], tailcutoff)]
    for step, (name, args) in enumerate(ops):
        model = objs[1]
        if name == "setattr":
            for o in objs:
                setattr(o, *args)
            continue
        outside = (model.tailcutoff is not None and model.tailcutoff < 0) or model.moved > model.offset + 10**6
        if outside:
            outcome(getattr(objs[0], name), *args)
            return
        res = [outcome(getattr(o, name), *args) for o in objs]
        what = f"RebufferedBytesIO step {step}: {name}{args!r}"
        same(what, res[0], res[1])
        if _state(objs[0]) != _state(objs[1]):
            raise Mismatch(f"{what}: state {_state(objs[0])!r} != model {_state(objs[1])!r}")
        if subs[0].log != subs[1].log:
            raise Mismatch(f"{what}: substream calls differ: {subs[0].log[-5:]!r} vs {subs[1].log[-5:]!r}")


# ---------------------------------------------------------------------------
# atheris entry points


def _script(fdp, allow_boom=True):
    script = []
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        kind = fdp.ConsumeIntInRange(0, 5 if allow_boom else 4)
        if kind <= 1:
            script.append(fdp.ConsumeBytes(fdp.ConsumeIntInRange(1, 40)))
        elif kind == 2:
            script.append(None)
        elif kind == 3:
            script.append(b"")
        elif kind == 4:
            script.append("block")
        else:
            script.append("boom")
    return script


def fuzz_hexundump(data):
    import atheris

    fdp = atheris.FuzzedDataProvider(data)
    linesize = fdp.ConsumeIntInRange(-2, 40)
    if fdp.ConsumeBool():
        text = fdp.ConsumeUnicodeNoSurrogates(fdp.remaining_bytes())
    else:
        # A real dump with some damage: keeps the fuzzer near valid input.
        from tavro.lib import hex as native

        payload = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 80))
        text = native.hexdump(payload, max(linesize, 1))
        pos = fdp.ConsumeIntInRange(0, len(text))
        text = text[:pos] + fdp.ConsumeUnicodeNoSurrogates(8) + text[pos + fdp.ConsumeIntInRange(0, 4):]
    check_hexundump(text, linesize)


def fuzz_hexdump(data):
    import atheris

    fdp = atheris.FuzzedDataProvider(data)
    linesize = fdp.ConsumeIntInRange(1, 40)
    payload = fdp.ConsumeBytes(fdp.remaining_bytes())
    check_hexdump_roundtrip(payload if len(payload) % 2 else bytearray(payload), linesize)


def fuzz_bits(data):
    import atheris

    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        # Mostly valid bit strings, some damaged.
        raw = fdp.ConsumeBytes(fdp.remaining_bytes())
        check_bits(bytes(b & 1 if b & 0x80 else b for b in raw))
    else:
        check_bits(fdp.ConsumeBytes(fdp.remaining_bytes()))


def fuzz_integers(data):
    import atheris

    fdp = atheris.FuzzedDataProvider(data)
    width = fdp.ConsumeIntInRange(0, 160)
    number = fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 24))
    signed = fdp.ConsumeBool()
    check_integers(number, width, fdp.ConsumeBytes(fdp.remaining_bytes()), signed)
    check_integers(number, width, bytes(b & 1 for b in fdp.ConsumeBytes(16)), signed)


def fuzz_restreamed(data):
    import atheris
    from tavro.lib import bitstream

    fdp = atheris.FuzzedDataProvider(data)
    setup = (_script(fdp), fdp.ConsumeIntInRange(0, 3), fdp.ConsumeIntInRange(0, 9),
             fdp.ConsumeIntInRange(0, 3), fdp.ConsumeIntInRange(1, 9))
    ops = []
    for _ in range(fdp.ConsumeIntInRange(1, 12)):
        op = fdp.ConsumeIntInRange(0, 8)
        if op <= 1:
            ops.append(("read", (fdp.ConsumeIntInRange(-1, 40),)))
        elif op == 2:
            ops.append(("read", ()))
        elif op <= 4:
            ops.append(("write", (fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 30)),)))
        elif op == 5:
            ops.append(("close", ()))
        elif op == 6:
            name = ["tell", "seekable", "tellable", "seek"][fdp.ConsumeIntInRange(0, 3)]
            ops.append((name, (fdp.ConsumeIntInRange(-5, 5),) if name == "seek" else ()))
        elif op == 7:
            attr = ["rbuffer", "wbuffer", "sincereadwritten", "decoderunit", "encoderunit"][fdp.ConsumeIntInRange(0, 4)]
            if attr in ("rbuffer", "wbuffer"):
                value = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 12))
            elif attr == "encoderunit":
                value = fdp.ConsumeIntInRange(1, 9)
            else:
                value = fdp.ConsumeIntInRange(0, 50)
            ops.append(("setattr", (attr, value)))
        else:
            ops.append(("read", (None,)))
    run_restreamed(bitstream, setup, ops)


def fuzz_rebuffered(data):
    import atheris
    from tavro.lib import bitstream

    fdp = atheris.FuzzedDataProvider(data)
    tail = fdp.ConsumeIntInRange(-1, 64)
    setup = (_script(fdp), None if tail < 0 else tail)
    ops = []
    for _ in range(fdp.ConsumeIntInRange(1, 14)):
        op = fdp.ConsumeIntInRange(0, 9)
        if op <= 2:
            ops.append(("read", (fdp.ConsumeIntInRange(0, 2000 if op == 2 else 40),)))
        elif op == 3:
            ops.append(("read", (None,) if fdp.ConsumeBool() else ()))
        elif op == 4:
            ops.append(("write", (fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 30)),)))
        elif op == 5:
            ops.append(("seek", (fdp.ConsumeIntInRange(-60, 400), fdp.ConsumeIntInRange(0, 2))))
        elif op == 6:
            ops.append((["tell", "seekable", "tellable", "cachedfrom", "cachedto"][fdp.ConsumeIntInRange(0, 4)], ()))
        elif op == 7:
            ops.append(("setattr", ("tailcutoff", None if fdp.ConsumeBool() else fdp.ConsumeIntInRange(0, 64))))
        elif op == 8:
            ops.append(("setattr", ("offset", fdp.ConsumeIntInRange(0, 300))))
        else:
            ops.append(("setattr", ("rwbuffer", fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40)))))
    run_rebuffered(bitstream, setup, ops)


TARGETS = {
    "hexundump": fuzz_hexundump,
    "hexdump": fuzz_hexdump,
    "bits": fuzz_bits,
    "integers": fuzz_integers,
    "restreamed": fuzz_restreamed,
    "rebuffered": fuzz_rebuffered,
}
# Which module each target needs; a target whose module has not landed is skipped.
NEEDS = {
    "hexundump": ("tavro.lib.hex", "hexundump"),
    "hexdump": ("tavro.lib.hex", "hexdump"),
    "bits": ("tavro.lib.binary", "swapbitsinbytes"),
    "integers": ("tavro.lib.binary", "bytes2integer"),
    "restreamed": ("tavro.lib.bitstream", "RestreamedBytesIO"),
    "rebuffered": ("tavro.lib.bitstream", "RebufferedBytesIO"),
}


def available(name):
    import importlib

    module, attr = NEEDS[name]
    try:
        return hasattr(importlib.import_module(module), attr)
    except ImportError:
        return False


def main(argv):
    if len(argv) > 1 and argv[1] == "--list":
        for name in TARGETS:
            print(name, "ready" if available(name) else "missing")
        return 0
    name = argv[1]
    if not available(name):
        print(f"fuzz: {name}: {NEEDS[name][0]}.{NEEDS[name][1]} is not there yet, skipped")
        return 0
    import atheris

    # The native modules are imported before fuzzing starts so that their
    # coverage counters (instrumented builds) are registered with libFuzzer.
    import importlib

    importlib.import_module(NEEDS[name][0])
    # Python-level coverage of the targets and the models (the native code
    # adds its own when the modules were built with -fsanitize=fuzzer-no-link).
    for module in (sys.modules[__name__], MODEL.binary, MODEL.bitstream, MODEL.hex):
        for value in list(vars(module).values()):
            if callable(value) and getattr(value, "__module__", None) == module.__name__:
                if isinstance(value, type):
                    for attr, member in list(vars(value).items()):
                        if isinstance(member, type(main)):
                            setattr(value, attr, atheris.instrument_func(member))
                elif isinstance(value, type(main)):
                    setattr(module, value.__name__, atheris.instrument_func(value))
    atheris.Setup([argv[0]] + argv[2:], getattr(sys.modules[__name__], TARGETS[name].__name__))
    atheris.Fuzz()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
