"""tavro written in Python, step by step as the native modules are documented.

Two uses. On an interpreter for which there is no native build (PyPy,
GraalPy, Pyodide, a platform without a wheel) the pure-Python wheel installs
these modules in the native ones' places, so `import tavro.lib.binary` gets
them. Beside the native modules, they are the one literal model that the
tests, benchmarks and fuzz targets compare the native modules with:

    from tavro import _pure
    model = _pure.load()            # model.binary, model.expr, ... under their real names
    with _pure.activated():         # sys.modules holds the model's modules meanwhile
        ...

Each file here is written as the module it stands for and is executed under
that module's name (`tavro.lib.binary`, ...): it imports its siblings by
those names, and its classes and functions carry them, so that pickling by
module name, namespace order and globals read at call time come out as they
do for the native modules.
"""

import contextlib
import importlib.util
import os
import sys
import types

# Short name, the module it stands for, in an order in which each one's
# imports of the others are already loaded.
MODULES = (
    ("portil", "tavro.lib.portil"),
    ("binary", "tavro.lib.binary"),
    ("expr", "tavro.expr"),
    ("hex", "tavro.lib.hex"),
    ("bitstream", "tavro.lib.bitstream"),
    ("_dump", "tavro._dump"),
    # The command's own code, loaded again so that it binds the pure _dump.
    ("_dumpcommand", "tavro._dumpcommand"),
)

_HERE = os.path.dirname(os.path.abspath(__file__))
_SOURCES = {"_dumpcommand": os.path.join(os.path.dirname(_HERE), "_dumpcommand.py")}
_loaded = {}


def load(binder=True):
    """The pure modules, as a namespace of their short names (portil, binary, expr, hex, bitstream,
    _dump), loaded once per process. With `binder` false, a separate copy whose functions and
    methods are plain Python functions, with the interpreter's own argument errors instead of
    the native modules' (for the benchmarks, which time the algorithm as plain Python)."""
    if binder not in _loaded:
        _loaded[binder] = _load_all(binder)
    return _loaded[binder]


def _load_all(binder):
    from tavro._pure import _args

    modules = {}
    saved = _swap({})
    previous = _args.enabled
    _args.enabled = binder
    try:
        for short, full in MODULES:
            source = _SOURCES.get(short, os.path.join(_HERE, short + ".py"))
            spec = importlib.util.spec_from_file_location(full, source)
            module = importlib.util.module_from_spec(spec)
            sys.modules[full] = module  # the modules loaded after it import it by name
            _set_parent_attribute(full, module)
            spec.loader.exec_module(module)
            modules[short] = module
    finally:
        _args.enabled = previous
        _swap(saved)
    return types.SimpleNamespace(**modules)


@contextlib.contextmanager
def activated(binder=True):
    """Puts the pure modules where `import tavro.expr` (and pickle) find them, for the duration."""
    model = load(binder)
    saved = _swap({full: getattr(model, short) for short, full in MODULES})
    try:
        yield model
    finally:
        _swap(saved)


class _Finder:
    """Finds the pure module wherever the native one would be imported."""

    @staticmethod
    def find_spec(fullname, path=None, target=None):
        for short, full in MODULES:
            if fullname == full:
                source = _SOURCES.get(short, os.path.join(_HERE, short + ".py"))
                return importlib.util.spec_from_file_location(fullname, source)
        return None


def install():
    """From now on, importing one of the modules gives the pure one, loaded then (for a child
    process of a test, which must see the imports happen as the installed package's would)."""
    sys.meta_path.insert(0, _Finder)


def child_code():
    """Python code that makes a child process use the implementation this one uses now: empty
    where that is the installed one, else a call of install()."""
    current = sys.modules.get("tavro.lib.portil")
    if current is not None and any(current is getattr(model, "portil") for model in _loaded.values()):
        return "from tavro import _pure; _pure.install()\n"
    return ""


def _set_parent_attribute(full, module):
    parent_name, _, child = full.rpartition(".")
    parent = sys.modules.get(parent_name)
    if parent is not None:
        if module is None:
            if child in vars(parent):
                delattr(parent, child)
        else:
            setattr(parent, child, module)


def _swap(entries):
    """Puts `entries` (full name -> module, or None for absent) into sys.modules and the packages'
    attributes, removing every other pure module name; returns what was there before."""
    import tavro.lib  # noqa: F401 - the packages whose attributes are set

    saved = {}
    for _, full in MODULES:
        saved[full] = sys.modules.get(full)
        module = entries.get(full)
        if module is None:
            sys.modules.pop(full, None)
        else:
            sys.modules[full] = module
        _set_parent_attribute(full, module)
    return saved
