"""tavro: the native core of a declarative binary-data library.

The modules are tavro.lib.portil, tavro.lib.binary, tavro.expr, tavro.lib.hex
and tavro.lib.bitstream; `python -m tavro` (or the `tavro` command) writes and
reads hex dumps.
"""


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
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | {"__version__"})
