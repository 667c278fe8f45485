"""Bad-input sweep and reference-leak driver for the tavro extension modules:
the generic engine. The hostile values it substitutes are in
tools/sweep_values.py, the tavro tables (the modules, and valid calls to
start from) in tools/sweep_tables.py.

The sweep walks the namespaces of the modules (module functions, the classes
defined there, every callable in each class dict, and module-level callable
instances such as ``this`` or ``len_``) and calls each of them with a matrix
of wrong arguments, wrong argument counts and keywords, on instances whose
attributes were reassigned to bad values, and with module globals rebound to
bad values. A function or method that lands later is covered without editing
any file; the tables only make the calls reach deeper, by giving a valid call
to start from.

It runs in a child process (``python tools/sweep.py sweep MODULE``), printing
one line before and one after every call, so the parent can name the call
that killed the child and restart after it. ``refleak`` mode repeats one call
of every distinct outcome (success and each error path) many times and
reports memory growth and reference-count drift.

Protocol lines (stdout of the child):
    S <index> <description>          before the call
    R <index> <outcome>              after it: ok | exc <Type>: <message> |
                                     timeout | bug <text>
    L <index> <kind> <figures>       refleak mode: a leak was measured
    E                                the run reached the end
"""
from __future__ import annotations

import gc
import importlib
import os
import re
import signal
import subprocess
import sys
import time
import types
from dataclasses import dataclass, field
from typing import Any, Callable

import deadline
import sweep_tables
from sweep_tables import MODULES
from sweep_values import GLOBAL_VALUES, VALUES


class SweepTimeout(BaseException):
    """Raised inside a call that takes too long (tools/deadline.py)."""


# ---------------------------------------------------------------------------
# Discovery


def expected_modules():
    """The modules the suite must find built: all of MODULES, or, in a
    development build of some modules only, those that TAVRO_MATRIX_MODULES
    names (as tools/matrix.sh takes it: short names separated by ';', or
    "all"). This is the one place that decides which modules are swept; a
    module it returns that fails to import is a failure, never a skip."""
    chosen = os.environ.get("TAVRO_MATRIX_MODULES", "").strip()
    if not chosen or chosen == "all":
        return list(MODULES)
    short = {full.rsplit(".", 1)[1]: full for full in MODULES}
    # Private helper modules (_dump, of the dump command) are not swept.
    names = [part.strip() for part in chosen.split(";") if part.strip() and not part.strip().startswith("_")]
    unknown = [part for part in names if part not in short]
    if unknown:
        raise ValueError(f"TAVRO_MATRIX_MODULES names unknown modules: {', '.join(unknown)}")
    return [full for full in MODULES if full.rsplit(".", 1)[1] in names]


def import_modules():
    """The expected modules, imported (an ImportError propagates)."""
    return [importlib.import_module(name) for name in expected_modules()]


NOT_BUILT = "not built in this development build (TAVRO_MATRIX_MODULES)"


def module_params():
    """One pytest parameter per module; those a development build left out
    on purpose are marked skipped, with the reason."""
    import pytest

    expected = expected_modules()
    return [pytest.param(name, marks=() if name in expected else pytest.mark.skip(reason=NOT_BUILT))
            for name in MODULES]


# Py_TPFLAGS_METHOD_DESCRIPTOR: the type binds like a method (the interpreter's
# method_descriptor and function, and the modules' own method descriptor
# types, which are neither).
_METHOD_DESCRIPTOR_FLAG = 1 << 17


def is_function(obj):
    """A function or method object of any kind: Python functions, built-in
    functions, and instances of every method descriptor type."""
    if isinstance(obj, (types.FunctionType, types.BuiltinFunctionType)):
        return True
    return bool(type(obj).__flags__ & _METHOD_DESCRIPTOR_FLAG)


@dataclass
class Entry:
    """A public callable: a function, a class, a method or a callable instance."""

    name: str  # qualified, e.g. tavro.lib.binary.integer2bits, tavro.expr.Path.__call__
    kind: str  # function | class | method | instance | globals
    obj: Any = None
    cls: type | None = None
    attr: str = ""


def _defined_here(obj, module_name):
    return getattr(obj, "__module__", None) == module_name


def discover(module):
    """The module's public callables, in namespace order."""
    entries = []
    mname = module.__name__
    for name, obj in list(vars(module).items()):
        if name.startswith("_") or isinstance(obj, types.ModuleType):
            continue
        if isinstance(obj, type):
            if not _defined_here(obj, mname):
                continue
            entries.append(Entry(f"{mname}.{name}", "class", obj, obj))
            for attr, member in list(vars(obj).items()):
                if attr in ("__dict__", "__weakref__", "__doc__", "__module__", "__qualname__", "__hash__"):
                    continue
                if isinstance(member, type):
                    continue
                if isinstance(member, (staticmethod, classmethod)) or is_function(member) or callable(member):
                    entries.append(Entry(f"{mname}.{name}.{attr}", "method", member, obj, attr))
        elif callable(obj):
            if is_function(obj):
                if _defined_here(obj, mname) or getattr(obj, "__module__", None) is None:
                    entries.append(Entry(f"{mname}.{name}", "function", obj, attr=name))
            elif _defined_here(type(obj), mname):
                entries.append(Entry(f"{mname}.{name}", "instance", obj, type(obj), name))
    entries.append(Entry(f"{mname}.<globals>", "globals"))
    return entries


def module_globals(module):
    """Names of the module namespace that functions may look up at call time."""
    return [n for n, v in vars(module).items() if not n.startswith("__")]


def module_containers(modules):
    """The module-level tables and caches: (label, container) pairs."""
    seen = set()
    out = []
    for module in modules:
        for name, value in vars(module).items():
            if isinstance(value, (dict, list, tuple)) and not name.startswith("__") and id(value) not in seen:
                seen.add(id(value))
                out.append((f"{module.__name__}.{name}", value))
    return out


# ---------------------------------------------------------------------------
# Call generation


@dataclass
class Call:
    entry: str
    desc: str
    # setup() -> (callable, args, kwargs); everything made fresh.
    setup: Callable[[], tuple]
    hints: dict = field(default_factory=dict)


def _short(text, limit=80):
    text = str(text)
    return text if len(text) <= limit else text[: limit - 3] + "..."


def _argtext(args, kwargs, labels=None):
    parts = []
    args = tuple(args)
    for i, a in enumerate(args):
        parts.append(labels.get(i) if labels and i in labels else _safe_repr(a))
    for k, v in kwargs.items():
        parts.append(f"{k}={labels.get(k) if labels and k in labels else _safe_repr(v)}")
    return ", ".join(parts)


def _safe_repr(value):
    try:
        return _short(repr(value), 60)
    except BaseException:
        return f"<{type(value).__name__}>"


def _signature_names(obj):
    import inspect

    try:
        sig = inspect.signature(obj)
    except (TypeError, ValueError):
        return None
    names = []
    for p in sig.parameters.values():
        if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY) and p.name != "self":
            names.append(p.name)
    return tuple(names)


def _matrix(entry, target_factory, names, starts, call_label):
    """Calls of one callable: the valid starts, each argument replaced by each
    bad value, missing and surplus arguments, keywords."""
    calls = []
    if not starts:
        width = len(names) if names else 1
        starts = [lambda w=width: (b"\x00\x01" * 4,) * w]

    def add(desc, make_args):
        def setup(make_args=make_args):
            fn = target_factory()
            args, kwargs = make_args()
            return fn, args, kwargs

        calls.append(Call(entry, f"{call_label}({desc})", setup))

    for s_index, start in enumerate(starts):
        sample = start()
        n = len(sample)
        add(_argtext(sample, {}), lambda start=start: (start(), {}))
        for i in range(max(n, 1) if n else 1):
            for label, value in VALUES:
                if n == 0:
                    add(label, lambda value=value: ((value(),), {}))
                    continue

                def make(start=start, i=i, value=value):
                    args = list(start())
                    args[i] = value()
                    return tuple(args), {}

                labels = {j: _safe_repr(a) for j, a in enumerate(sample)}
                labels[i] = label
                add(", ".join(labels[j] for j in range(n)), make)
        if s_index:
            continue
        # Argument counts and keywords.
        for j in range(n):
            add(_argtext(sample[:j], {}), lambda start=start, j=j: (start()[:j], {}))
        add(_argtext(sample, {}) + ", <extra>", lambda start=start: (start() + (None,), {}))
        add(_argtext(sample, {}) + ", <extra>, <extra>", lambda start=start: (start() + (1, 2), {}))
        add(_argtext(sample, {}) + ", bogus=1", lambda start=start: (start(), {"bogus": 1}))
        if names:
            usable = names[:n]
            if usable:
                add(
                    _argtext((), dict(zip(usable, sample))),
                    lambda start=start, usable=usable: ((), dict(zip(usable, start()))),
                )
                add(
                    _argtext(sample, {usable[0]: sample[0]}) + " <duplicate>",
                    lambda start=start, usable=usable: (start(), {usable[0]: start()[0]}),
                )
                for k, pname in enumerate(usable):
                    for label, value in VALUES[::3]:
                        add(
                            ", ".join(filter(None, [_argtext(sample[:k], {}), f"{pname}={label}"])),
                            lambda start=start, k=k, pname=pname, value=value: (start()[:k], {pname: value()}),
                        )
    return calls


def _instance_factories(module, cls):
    table = sweep_tables.INSTANCES.get(module.__name__)
    factories = table(module).get(cls.__name__, []) if table else []
    if not factories:
        factories = [cls]  # try a plain call; failures are just outcomes
    return factories


def _bare(cls):
    def make():
        return cls.__new__(cls)

    return make


def generate(module):
    """Every call of the sweep for `module`, in a fixed order."""
    calls: list[Call] = []
    entries = discover(module)
    mname = module.__name__
    functions = [e for e in entries if e.kind == "function"]
    for e in entries:
        if e.kind == "function":
            names, starts = sweep_tables.FUNCTIONS.get(e.attr, (None, []))
            names = names or _signature_names(e.obj)
            calls += _matrix(e.name, lambda m=module, a=e.attr: getattr(m, a), names, starts, e.attr)
        elif e.kind == "class":
            names, starts = sweep_tables.CONSTRUCTORS.get(e.obj.__name__, (None, []))
            names = names or _signature_names(e.obj)
            calls += _matrix(e.name, lambda c=e.obj: c, names, starts or [lambda: ()], e.obj.__name__)
            calls += _attribute_calls(module, e.obj)
        elif e.kind == "method":
            calls += _method_calls(module, e)
        elif e.kind == "instance":
            starts = sweep_tables.METHODS.get("__call__", [])
            calls += _matrix(e.name, lambda m=module, a=e.attr: getattr(m, a), None, starts, e.attr)
        elif e.kind == "globals":
            calls += _global_calls(module, functions, e.name)
    return calls


def _method_calls(module, e):
    cls, attr = e.cls, e.attr
    calls = []
    label = f"{cls.__name__}.{attr}"
    starts = sweep_tables.METHODS.get(attr)
    if starts is None:
        names = _signature_names(getattr(cls, attr, None)) if hasattr(cls, attr) else None
        if attr.startswith("__") and attr[2:-2] in _BINARY_DUNDERS:
            starts = sweep_tables.BINARY_DUNDER_ARGS
        elif names is not None:
            starts = [lambda n=len(names): (b"\x00\x01" * 4,) * n] if names else [lambda: ()]
        else:
            starts = [lambda: ()]
    if isinstance(e.obj, staticmethod):
        calls += _matrix(e.name, lambda c=cls, a=attr: getattr(c, a), None, starts, label)
        return calls
    for k, factory in enumerate(_instance_factories(module, cls) + [_bare(cls)]):
        who = "bare" if k == len(_instance_factories(module, cls)) else f"#{k}"
        calls += _matrix(
            e.name,
            lambda f=factory, a=attr: getattr(f(), a),
            _signature_names(getattr(cls, attr, None)) if attr not in sweep_tables.METHODS else None,
            starts,
            f"{label}[{who}]",
        )
    # The descriptor itself, with self of the wrong type.
    raw = vars(cls).get(attr)
    if raw is not None and callable(raw):
        for wrong in ("None", "0", "b''"):
            calls.append(
                Call(e.name, f"{label}(self={wrong})", lambda raw=raw, w=wrong: (raw, (eval(w),), {}))
            )
        calls.append(Call(e.name, f"{label}()", lambda raw=raw: (raw, (), {})))
    return calls


_BINARY_DUNDERS = {
    "add", "sub", "mul", "floordiv", "truediv", "mod", "pow", "xor", "rshift", "lshift", "and", "or",
    "radd", "rsub", "rmul", "rfloordiv", "rtruediv", "rmod", "rpow", "rxor", "rrshift", "rlshift", "rand",
    "ror", "div", "rdiv", "contains", "gt", "ge", "lt", "le", "eq", "ne",
}


def _attribute_calls(module, cls):
    """Instances whose attributes were reassigned to bad values, then used."""
    calls = []
    follow = sweep_tables.FOLLOW_UPS.get(cls.__name__)
    if follow is None:
        follow = [
            (a, ()) for a, v in vars(cls).items()
            if callable(v) and a in ("__repr__", "__str__", "__call__", "read", "tell", "close", "__getstate__")
        ]
    factories = _instance_factories(module, cls)
    for k, factory in enumerate(factories):
        try:
            sample = factory()
            attrs = list(vars(sample))
        except BaseException:
            continue
        attrs += [a for a in sweep_tables.EXTRA_ATTRIBUTES.get(cls.__name__, []) if a not in attrs]
        for attr in attrs:
            for label, value in VALUES:
                for method, args in follow:
                    def setup(factory=factory, attr=attr, value=value, method=method, args=args):
                        bad = value()

                        def run(*a, **kw):
                            inst = factory()
                            setattr(inst, attr, bad)
                            return getattr(inst, method)(*a, **kw)

                        return run, args, {}

                    calls.append(
                        Call(
                            f"{module.__name__}.{cls.__name__}.{method}",
                            f"{cls.__name__}#{k} with .{attr}={label}: .{method}({_argtext(args, {})})",
                            setup,
                        )
                    )
    return calls


def _global_calls(module, functions, entry):
    """Every function of the module with one module global rebound."""
    calls = []
    names = module_globals(module)
    for gname in names:
        for label, value in GLOBAL_VALUES:
            for f in functions:
                _, starts = sweep_tables.FUNCTIONS.get(f.attr, (None, []))
                if not starts:
                    continue
                start = starts[0]

                def setup(gname=gname, value=value, f=f, start=start):
                    bad = value()
                    args = start()

                    def run(*a, **kw):
                        old = module.__dict__[gname]
                        module.__dict__[gname] = bad
                        try:
                            return getattr(module, f.attr)(*a, **kw)
                        finally:
                            module.__dict__[gname] = old

                    return run, args, {}

                calls.append(
                    Call(entry, f"{f.attr}{_safe_repr(start())} with {module.__name__}.{gname}={label}", setup)
                )
    # Methods of the module's classes with a global rebound (tables, helper
    # functions, sleep and BlockingIOError for the stream adapters).
    for cls in [v for v in vars(module).values() if isinstance(v, type) and _defined_here(v, module.__name__)]:
        follow = sweep_tables.FOLLOW_UPS.get(cls.__name__, [])
        for gname in names:
            for label, value in GLOBAL_VALUES[::2]:
                for k, factory in enumerate(_instance_factories(module, cls)):
                    for method, args in follow:
                        def setup(gname=gname, value=value, factory=factory, method=method, args=args):
                            bad = value()

                            def run(*a, **kw):
                                inst = factory()
                                old = module.__dict__[gname]
                                module.__dict__[gname] = bad
                                try:
                                    return getattr(inst, method)(*a, **kw)
                                finally:
                                    module.__dict__[gname] = old

                            return run, args, {}

                        calls.append(
                            Call(entry, f"{cls.__name__}#{k}.{method}{_safe_repr(args)} with {gname}={label}", setup)
                        )
    return calls


# ---------------------------------------------------------------------------
# Child side


def _outcome(exc):
    if exc is None:
        return "ok"
    if isinstance(exc, SweepTimeout):
        return "timeout"
    if isinstance(exc, SystemError):
        return f"bug SystemError: {_short(exc, 300)}"
    try:
        text = str(exc)
    except BaseException:
        text = "<unprintable>"
    return f"exc {type(exc).__name__}: {_short(text, 200)}".replace("\n", "\\n")


def _exercise(obj):
    """Prints, copies and pickles an object the sweep made; failures are
    fine, crashes are charged to the call that made it."""
    import copy
    import pickle

    for use in (repr, str, copy.copy, lambda o: pickle.loads(pickle.dumps(o, 2)), lambda o: o.__getstate__()):
        try:
            use(obj)
        except SweepTimeout:
            raise
        except Exception:
            pass


def _invoke(call, timeout):
    exc = None
    try:
        with deadline.deadline(timeout):
            fn, args, kwargs = call.setup()
            result = fn(*args, **kwargs)
            # Results are used the way callers use them: printing and iterating
            # generators must not crash either.
            if isinstance(result, types.GeneratorType):
                for _ in zip(result, range(1000)):
                    pass
            elif type(result).__module__.startswith("tavro"):
                _exercise(result)
            del result
    except BaseException as e:  # noqa: BLE001 - outcomes are data here
        exc = e
    return exc


def child_sweep(module_name, start, timeout):
    module = importlib.import_module(module_name)
    deadline.arm(SweepTimeout)
    calls = generate(module)
    out = sys.stdout
    for index in range(start, len(calls)):
        call = calls[index]
        out.write(f"S {index} {call.entry} {call.desc}\n".replace("\r", "\\r"))
        out.flush()
        exc = _invoke(call, timeout)
        out.write(f"R {index} {_outcome(exc)}\n")
        out.flush()
        exc = None
    gc.collect()
    out.write("E\n")
    out.flush()


def _outcome_class(outcome):
    """An outcome without the values in it: one error path."""
    text = re.sub(r"0x[0-9a-f]+", "N", outcome)
    text = re.sub(r"\d+", "N", text)
    text = re.sub(r"'[^']*'", "'?'", text)
    return text[:120]


def _shared_singleton(obj):
    """Objects whose reference counts move with unrelated activity."""
    return obj is None or obj is True or obj is False or (type(obj) is int and -5 <= obj <= 256)


def _refcount_snapshot(objects):
    return [sys.getrefcount(o) for o in objects]


def child_refleak(module_name, rounds, reps, timeout):
    import tracemalloc

    module = importlib.import_module(module_name)
    loaded = [importlib.import_module(m) for m in MODULES if m in sys.modules or m == module_name]
    deadline.arm(SweepTimeout)
    calls = generate(module)
    # One pass to learn the outcomes, then one representative per entry and
    # distinct outcome: the success path and every error path reached.
    chosen = {}
    out = sys.stdout
    for index, call in enumerate(calls):
        out.write(f"S {index} {call.entry} {call.desc}\n")
        out.flush()
        exc = _invoke(call, timeout)
        outcome = _outcome(exc)
        out.write(f"R {index} first pass\n")
        if outcome == "timeout" or outcome.startswith("bug"):
            continue
        key = (call.entry, _outcome_class(outcome))
        chosen.setdefault(key, index)
    tables = []
    for label, container in module_containers(loaded):
        items = container.items() if isinstance(container, dict) else enumerate(container)
        for key, value in items:
            if not _shared_singleton(value):
                tables.append((f"{label}[{key!r}]", value))
            if isinstance(container, dict) and not _shared_singleton(key):
                tables.append((f"{label} key {key!r}", key))
    table_objects = [v for _, v in tables]
    out = sys.stdout
    out.write(f"N {len(chosen)} {len(calls)}\n")
    tracemalloc.start()
    for index in sorted(chosen.values()):
        call = calls[index]
        out.write(f"S {index} {call.entry} {call.desc}\n")
        out.flush()
        try:
            fn, args, kwargs = call.setup()
        except BaseException:
            continue
        watched = [fn, *args, *kwargs.values()]

        def run(n):
            with deadline.deadline(timeout * 5):
                for _ in range(n):
                    try:
                        fn(*args, **kwargs)
                    except SweepTimeout:
                        raise
                    except Exception:
                        pass

        def measure(collect):
            run(max(reps // 10, 5))
            if collect:
                gc.collect()
            before_args = _refcount_snapshot(watched)
            before_tables = _refcount_snapshot(table_objects)
            blocks, traced = [], []
            for _ in range(rounds):
                if collect:
                    gc.collect()
                b0 = sys.getallocatedblocks()
                t0 = tracemalloc.get_traced_memory()[0]
                run(reps)
                if collect:
                    gc.collect()
                blocks.append(sys.getallocatedblocks() - b0)
                traced.append(tracemalloc.get_traced_memory()[0] - t0)
            after_args = _refcount_snapshot(watched)
            after_tables = _refcount_snapshot(table_objects)
            return before_args, after_args, before_tables, after_tables, blocks, traced

        def suspicious(m):
            before_args, after_args, before_tables, after_tables, blocks, traced = m
            return (
                min(blocks) >= reps // 2
                or min(traced) >= reps * 16
                or any(abs(a - b) >= total // 2 for a, b in zip(before_args, after_args))
                or any(abs(a - b) >= total // 2 for a, b in zip(before_tables, after_tables))
            )

        total = rounds * reps
        try:
            # A cheap pass first; only what looks like a leak is measured
            # again with the cycle collector run around every round.
            figures = measure(False)
            if suspicious(figures):
                figures = measure(True)
        except SweepTimeout:
            out.write(f"R {index} timeout\n")
            continue
        before_args, after_args, before_tables, after_tables, blocks, traced = figures
        # A leak grows with the count: every round adds about as much.
        if min(blocks) >= reps // 2:
            out.write(f"L {index} blocks per-round={blocks} reps={reps}\n")
        elif min(traced) >= reps * 16:
            out.write(f"L {index} bytes per-round={traced} reps={reps}\n")
        for pos, (b, a) in enumerate(zip(before_args, after_args)):
            if abs(a - b) >= total // 2 and not _shared_singleton(watched[pos]):
                what = "callable" if pos == 0 else f"argument {pos}"
                out.write(f"L {index} refcount {what} {_safe_repr(watched[pos])}: {b} -> {a} over {total} calls\n")
        for (label, _), b, a in zip(tables, before_tables, after_tables):
            if abs(a - b) >= total // 2:
                out.write(f"L {index} refcount {_short(label, 60)}: {b} -> {a} over {total} calls\n")
        out.write(f"R {index} ok\n")
        out.flush()
    tracemalloc.stop()
    out.write("E\n")
    out.flush()


# ---------------------------------------------------------------------------
# Parent side


@dataclass
class Result:
    outcomes: dict = field(default_factory=dict)  # index -> (entry, desc, outcome)
    crashes: list = field(default_factory=list)  # (entry, desc, detail)
    leaks: list = field(default_factory=list)  # (entry, desc, detail)
    total: int = 0
    restarts: int = 0
    seconds: float = 0.0


def _child_env(skipped):
    env = dict(os.environ)
    env.setdefault("PYTHONFAULTHANDLER", "1")
    env["TAVRO_REFLEAK_SKIP"] = ",".join(map(str, skipped))
    return env


def run(mode, module_name, *, timeout=None, idle=60.0, rounds=4, reps=250, max_restarts=50):
    """Runs the sweep (or the refleak pass) for one module in child processes,
    restarting after each crash, and collects what happened."""
    if timeout is None:
        timeout = 2.0 if os.environ.get("TAVRO_SANITIZED") else 0.5
    result = Result()
    begin = time.monotonic()
    start = 0
    skipped = []
    while True:
        cmd = [sys.executable, __file__, mode, module_name, str(start), str(timeout), str(rounds), str(reps)]
        proc = subprocess.Popen(
            cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, env=_child_env(skipped),
            text=True, errors="replace",
        )
        current = None
        ended = False
        import threading

        err_chunks = []
        t = threading.Thread(target=lambda: err_chunks.append(proc.stderr.read()), daemon=True)
        t.start()
        hung = False
        received = deadline.lines(proc.stdout, idle)
        while True:
            try:
                line = next(received, None)
            except deadline.Silent:
                hung = True
                proc.kill()
                break
            if line is None:
                break
            line = line.rstrip("\n")
            tag, _, rest = line.partition(" ")
            if tag == "S":
                idx, _, what = rest.partition(" ")
                entry, _, desc = what.partition(" ")
                current = (int(idx), entry, desc)
            elif tag == "R" and current is not None:
                idx, _, outcome = rest.partition(" ")
                result.outcomes[int(idx)] = (current[1], current[2], outcome)
                current = None
            elif tag == "L" and current is not None:
                result.leaks.append((current[1], current[2], rest.partition(" ")[2]))
            elif tag == "N":
                result.total = int(rest.split()[0])
            elif tag == "E":
                ended = True
        proc.wait()
        t.join(5)
        stderr = "".join(err_chunks)
        if ended and proc.returncode == 0:
            break
        if current is None:
            # Died outside any call (import, generation): nothing to restart from.
            result.crashes.append((module_name, "<child>", f"exit {proc.returncode}: {_short(stderr[-2000:], 2000)}"))
            break
        idx, entry, desc = current
        if hung:
            detail = f"hang: no progress for {idle:.0f}s (killed)"
        elif proc.returncode < 0:
            detail = f"killed by signal {-proc.returncode} ({signal.Signals(-proc.returncode).name})"
        else:
            detail = f"exit status {proc.returncode}"
        report = _sanitizer_report(stderr)
        result.crashes.append((entry, desc, detail + (f"\n{report}" if report else "")))
        result.outcomes[idx] = (entry, desc, "crash")
        result.restarts += 1
        if result.restarts > max_restarts:
            break
        start = idx + 1
        if mode == "refleak":
            # Representatives are chosen afresh in the child; skip what died.
            skipped.append(idx)
            start = 0
    result.seconds = time.monotonic() - begin
    if mode == "sweep":
        result.total = len(result.outcomes)
    return result


def _sanitizer_report(stderr):
    lines = stderr.splitlines()
    keep = [
        ln for ln in lines
        if "ERROR: AddressSanitizer" in ln or "runtime error:" in ln or "SUMMARY:" in ln
        or "Fatal Python error" in ln or re.match(r"\s+#\d+ 0x[0-9a-f]+ in .*(tavro|native)", ln)
    ]
    if not keep:
        keep = lines[-12:]
    return "\n".join(_short(ln, 200) for ln in keep[:16])


def main(argv):
    # Messages may quote a lone surrogate as it is (PyPy's do): the protocol
    # lines must still reach the parent.
    sys.stdout.reconfigure(errors="backslashreplace")
    mode, module_name = argv[1], argv[2]
    start = int(argv[3]) if len(argv) > 3 else 0
    timeout = float(argv[4]) if len(argv) > 4 else 0.5
    rounds = int(argv[5]) if len(argv) > 5 else 4
    reps = int(argv[6]) if len(argv) > 6 else 250
    if mode == "sweep":
        child_sweep(module_name, start, timeout)
    elif mode == "refleak":
        skip = {int(x) for x in os.environ.get("TAVRO_REFLEAK_SKIP", "").split(",") if x}
        global generate
        original = generate

        def generate_without_skipped(module):
            calls = original(module)
            for i in skip:
                if i < len(calls):
                    calls[i] = Call(calls[i].entry, calls[i].desc + " <skipped: crashed>",
                                    lambda: ((lambda: None), (), {}))
            return calls

        generate = generate_without_skipped
        child_refleak(module_name, rounds, reps, timeout)
    elif mode == "list":
        module = importlib.import_module(module_name)
        for e in discover(module):
            print(e.kind, e.name)
        print(len(generate(module)), "calls")
    else:
        raise SystemExit(f"unknown mode {mode}")


if __name__ == "__main__":
    main(sys.argv)
