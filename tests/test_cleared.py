"""Objects used again after the cyclic collector cleared them.

The collector breaks a cycle of garbage by clearing its objects one by one
(tp_clear), and Python code can still reach a cleared object: a __del__ in
the cycle makes a weak reference whose callback runs while the cycle is torn
down. Every method must then raise or report exhaustion, never touch what
was cleared. Each case runs in a child process, so that a crash fails the
test instead of ending the run.
"""
import functools
import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

pytestmark = pytest.mark.native_only("the collector's clear of the native modules' objects")

# The object is made first, so that the collector clears it before the rest
# of the cycle; the sentinel dies with the finalizer's dict, after the object
# was cleared, and its weak reference's callback then uses the object.
HARNESS = textwrap.dedent("""
    import gc, importlib.util, sys, weakref

    def fresh(name):
        spec = importlib.util.find_spec(name)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module

    def after_clear(make, use):
        outcomes, keep = [], []
        target = make()

        class Sentinel:
            pass

        class Finalizer:
            def __del__(self):
                target_ref = weakref.ref(self.target)

                def callback(_):
                    target = target_ref()
                    if target is None:
                        outcomes.append("freed")
                        return
                    try:
                        use(target)
                        outcomes.append("returned")
                    except BaseException as error:
                        outcomes.append(type(error).__name__)

                keep.append(weakref.ref(self.sentinel, callback))

        finalizer = Finalizer()
        finalizer.sentinel = Sentinel()
        finalizer.target = target
        finalizer.cycle = finalizer
        del finalizer, target
        gc.collect()
        return outcomes
""")

CASES = {
    "iteratebytes, not started": (
        "from tavro.lib.portil import iteratebytes", "lambda: iteratebytes(b'abc')", "next"),
    "iteratebytes, suspended": (
        "from tavro.lib.portil import iteratebytes",
        "lambda: (lambda g: (next(g), g)[1])(iteratebytes(iter([1, 2, 3])))", "next"),
    "iteratebytes, send": (
        "from tavro.lib.portil import iteratebytes", "lambda: iteratebytes(b'abc')", "lambda g: g.send(None)"),
    "iteratebytes, throw": (
        "from tavro.lib.portil import iteratebytes", "lambda: iteratebytes(b'abc')",
        "lambda g: g.throw(ValueError)"),
    "iteratebytes, close and repr": (
        "from tavro.lib.portil import iteratebytes", "lambda: iteratebytes(b'abc')",
        "lambda g: (g.close(), repr(g), g.gi_running, g.__name__)"),
    "node, evaluated": (
        "from tavro.expr import this", "lambda: this.a * 2", "lambda node: node({'a': 1})"),
    "node, printed": ("from tavro.expr import this", "lambda: this.a * 2", "repr"),
    "node, operator": ("from tavro.expr import this", "lambda: this.a", "lambda node: node + 1"),
    "path, child": ("from tavro.expr import this", "lambda: this.a", "lambda path: path.b"),
    "node, state": ("from tavro.expr import this", "lambda: this.a", "lambda node: node.__getstate__()"),
}

# A function of a module instance that the collector cleared, called with
# arguments that reach the module's namespace and state. (The module itself
# cannot be used: the interpreter's own attribute access of a cleared module
# is what would fail.)
MODULE_CALLS = [
    ("tavro.lib.portil", "int2byte", "1"),
    ("tavro.lib.portil", "iteratebytes", "b'ab'"),
    ("tavro.lib.portil", "trimstring", "b'a'"),
    ("tavro.lib.binary", "integer2bytes", "5, 2"),
    ("tavro.lib.binary", "bytes2bits", "b'a'"),
    ("tavro.lib.binary", "bits2bytes", "bytes(8)"),
    ("tavro.lib.binary", "swapbitsinbytes", "b'a'"),
    ("tavro.lib.binary", "bytes2integer", "b'a', True"),
    ("tavro.expr", "this", "{'a': 1}"),
    ("tavro.lib.hex", "hexdump", "b'a', 16"),
    ("tavro.lib.hex", "hexundump", "'x\\n0000   61\\n\"\"\")\\n', 16"),
    ("tavro.lib.bitstream", "RebufferedBytesIO", "__import__('io').BytesIO(b'abc')"),
    ("tavro._dump", "dumplines", "b'abc', 16, 0, 4"),
]
for module, function, args in MODULE_CALLS:
    CASES[f"{module}.{function} of a cleared module"] = (
        "", f"lambda: getattr(fresh({module!r}), {function!r})", f"lambda f: list(f({args}))")
CASES["tavro.expr nodes of a cleared module"] = (
    "", "lambda: fresh('tavro.expr').this.a * 2", "lambda node: (node({'a': 1}), repr(node), node + 1)")
CASES["tavro.lib.bitstream methods of a cleared module"] = (
    "", "lambda: fresh('tavro.lib.bitstream').RebufferedBytesIO(__import__('io').BytesIO(b'abcdef'), 2)",
    "lambda s: (s.read(3), s.seek(1), s.read(2), s.write(b'x'), s.tell())")


# The debug hooks fill freed memory (free-threaded builds have them over
# their own allocator only); the sanitizer build brings its own settings.
DEBUG_ALLOCATOR = "mimalloc_debug" if sysconfig.get_config_var("Py_GIL_DISABLED") else "malloc_debug"


def run_case(imports, make, use):
    code = HARNESS + f"\n{imports}\nprint(after_clear({make}, {use}))\n"
    env = dict(os.environ)
    if not os.environ.get("TAVRO_SANITIZED"):
        env["PYTHONMALLOC"] = DEBUG_ALLOCATOR
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env)


@functools.cache
def finalizers_reach_the_garbage():
    """Whether a weak reference that a finalizer made survives to the clear, so
    that its callback can reach a cleared object: asked of this interpreter with
    an instance of a plain class. The collector of 3.14, and of later 3.13
    releases (3.13.18 does), clears such references before it clears any object."""
    result = run_case("", "lambda: type('Plain', (), {})()", "lambda target: None")
    assert result.returncode == 0, result.stderr[-3000:]
    return eval(result.stdout.strip().splitlines()[-1]) != []


@pytest.mark.parametrize("case", CASES)
def test_a_cleared_object_raises_or_is_exhausted(case):
    result = run_case(*CASES[case])
    assert result.returncode == 0, result.stderr[-3000:]
    outcomes = eval(result.stdout.strip().splitlines()[-1])
    if not finalizers_reach_the_garbage():
        # The callback never runs, and nothing can reach a cleared object this
        # way: what remains to check is that the collection did not crash.
        return
    if sysconfig.get_config_var("Py_GIL_DISABLED") and outcomes == ["freed"]:
        # The free-threaded collector clears and frees the garbage in the order
        # of the allocator's heaps, not of the objects' making: a bitstream
        # adapter (not in the heap of objects with a managed dict, where the
        # sentinel is) is then freed before the sentinel dies, whatever the
        # order of making. The same cases reach the cleared object on the
        # builds with the GIL.
        return
    # The harness must really reach the cleared object: a test that only ever
    # sees it freed proves nothing.
    assert outcomes and "freed" not in outcomes, outcomes


def test_a_module_instance_nobody_holds_is_freed():
    # The module states keep what they hold until the module is freed (the
    # collector's clear of a module leaves them whole, for the functions that
    # may still be called): each cycle through a state must still be broken.
    code = HARNESS + textwrap.dedent(f"""
        modules = {MODULES_FREED!r}
        refs = [weakref.ref(fresh(name)) for name in modules for _ in range(2)]
        gc.collect()
        print([ref() is None for ref in refs])
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-3000:]
    assert eval(result.stdout.strip().splitlines()[-1]) == [True] * 2 * len(MODULES_FREED)


MODULES_FREED = ["tavro.lib.portil", "tavro.lib.binary", "tavro.expr", "tavro.lib.hex", "tavro.lib.bitstream",
                 "tavro._dump"]
