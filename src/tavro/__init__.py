"""tavro: the native core of a declarative binary-data library.

The modules are tavro.lib.portil, tavro.lib.binary, tavro.expr, tavro.lib.hex
and tavro.lib.bitstream; `python -m tavro` (or the `tavro` command) writes and
reads hex dumps. `tavro.implementation` says which implementation is
installed: "native" (the C++ extension modules of a platform wheel) or "pure"
(the pure-Python wheel, for interpreters without a native build).
"""


def _implementation():
    # The pure wheel puts Python files where a platform wheel has extension
    # modules; found without importing a module (portil's import probes for numpy).
    from importlib.machinery import EXTENSION_SUFFIXES
    from importlib.util import find_spec

    origin = find_spec("tavro.lib.portil").origin or ""
    return "native" if origin.endswith(tuple(EXTENSION_SUFFIXES)) else "pure"


def __getattr__(name):
    # The version comes from the installed distribution's metadata. It is read on
    # first use: importing the metadata machinery would slow every import of the
    # package, and the start of the dump command, for a value few callers ask for.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            value = version("tavro")
        except PackageNotFoundError:  # the source tree, not installed
            value = "0+unknown"
        globals()["__version__"] = value
        return value
    if name == "implementation":  # "native", or "pure" where the pure-Python wheel is installed
        value = _implementation()
        globals()["implementation"] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | {"__version__", "implementation"})
