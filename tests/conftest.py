import contextlib
import importlib.machinery
import importlib.util
import os
import subprocess
import sys
import sysconfig

import pytest

# The sweep and fuzz drivers live in tools/ and fuzz/ (test tooling, not part
# of the package).
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
for sub in ("tools", "fuzz"):
    path = os.path.join(ROOT, sub)
    if path not in sys.path:
        sys.path.insert(0, path)

SANITIZED = bool(os.environ.get("TAVRO_SANITIZED"))

# ---- the two implementations -----------------------------------------------------------
#
# The tests of the modules' behaviour run against both implementations of
# tavro: the native modules, and the pure-Python ones (tavro/_pure), which
# the pure wheel installs where there is no native build. Each such test file
# is collected once per implementation: its module is imported a second time
# while the pure modules stand in sys.modules, so that everything it binds at
# import (`import tavro.lib.binary as binary`, subclasses of the classes) is
# the pure one, and the pure modules stand there again while its tests run
# (for pickling and for imports inside tests). Tests of what only the native
# modules have (fast paths, free threading, sizes, the collector's clear) are
# marked native_only and say so.
#
# Which implementation is installed follows from the files: the pure wheel
# puts Python files where the native wheel puts extension modules, so a
# native build that failed to install is an import error here, never a quiet
# run of the pure modules only.


def _installed_implementation():
    spec = importlib.util.find_spec("tavro.lib.portil")
    if spec is None or spec.origin is None:
        raise ImportError("tavro.lib.portil is not installed")
    extension = spec.origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    return "native" if extension else "pure"


INSTALLED = _installed_implementation()
IMPLEMENTATIONS = ["native", "pure"] if INSTALLED == "native" else ["pure"]
# TAVRO_TEST_IMPLEMENTATIONS=native: the native modules only, for runs on more
# interpreters than the pure modules need (the pure ones are Python, tested
# once per run with the installed implementation and on PyPy).
if os.environ.get("TAVRO_TEST_IMPLEMENTATIONS") == "native" and INSTALLED == "native":
    IMPLEMENTATIONS = ["native"]

# The test files whose tests run against both implementations.
BOTH_IMPLEMENTATIONS = {"test_portil.py", "test_binary.py", "test_expr.py", "test_hex.py", "test_bitstream.py",
                        "test_cli.py"}


class ImplementedModule(pytest.Module):
    """A test file, imported for one implementation (see above)."""

    implementation = INSTALLED

    def _getobj(self):
        if self.implementation == INSTALLED:
            return super()._getobj()
        from tavro import _pure

        name = f"{self.path.stem}__{self.implementation}"
        spec = importlib.util.spec_from_file_location(name, self.path)
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module
        with _pure.activated():
            spec.loader.exec_module(module)
        return module


class Implementations(pytest.File):
    """A test file collected once for each implementation."""

    def collect(self):
        for implementation in IMPLEMENTATIONS:
            module = ImplementedModule.from_parent(self, path=self.path, name=implementation,
                                                   nodeid=f"{self.nodeid}::{implementation}")
            module.implementation = implementation
            yield module


def pytest_pycollect_makemodule(module_path, parent):
    if module_path.name in BOTH_IMPLEMENTATIONS and len(IMPLEMENTATIONS) > 1:
        return Implementations.from_parent(parent, path=module_path)
    return None


def implementation_of(node):
    module = node.getparent(ImplementedModule)
    return module.implementation if module is not None else INSTALLED


@pytest.fixture(scope="module", autouse=True)
def _implementation_in_place(request):
    """While the pure variant of a test file runs, the pure modules stand in sys.modules."""
    if request.node.getparent(ImplementedModule) is None or implementation_of(request.node) == INSTALLED:
        yield
        return
    from tavro import _pure

    with _pure.activated():
        yield


@pytest.fixture
def implementation(request):
    """The implementation of tavro that this test runs against: "native" or "pure"."""
    return implementation_of(request.node)

try:
    from hypothesis import HealthCheck, settings

    # Under the sanitizers every call is several times slower; fewer examples
    # still exercise every path and keep the run inside the CI budget.
    settings.register_profile(
        "sanitize", max_examples=25, deadline=None, suppress_health_check=list(HealthCheck)
    )
    if SANITIZED:
        settings.load_profile("sanitize")
except ImportError:  # pragma: no cover - hypothesis is a test extra
    pass


def pytest_configure(config):
    config.addinivalue_line("markers", "native_only(reason): tests what only the native modules have")
    config.addinivalue_line("markers", "installed_package: runs the installed package in a child process")


def pytest_collection_modifyitems(config, items):
    for item in items:
        implementation = implementation_of(item)
        if implementation == "pure":
            native_only = item.get_closest_marker("native_only")
            if native_only is not None:
                reason = native_only.args[0] if native_only.args else "what only the native modules have"
                item.add_marker(pytest.mark.skip(reason=f"native only: {reason}"))
        if implementation != INSTALLED and item.get_closest_marker("installed_package") is not None:
            # A child process imports the installed package: the run of the
            # installed implementation covers it.
            item.add_marker(pytest.mark.skip(reason=f"runs the installed ({INSTALLED}) package in a child process"))
    # The refleak tests repeat every operation thousands of times: they run
    # when selected (-m refleak, as CI does), not in every plain run.
    markexpr = config.getoption("-m") or ""
    if "refleak" in markexpr:
        return
    skip = pytest.mark.skip(reason="reference-leak check: select with -m refleak")
    for item in items:
        if "refleak" in item.keywords:
            item.add_marker(skip)


@contextlib.contextmanager
def _namespace_restored(*modules):
    """Undoes every change to the modules' namespaces, keeping their order."""
    saved = [(vars(module), dict(vars(module))) for module in modules]
    try:
        yield
    finally:
        for namespace, contents in saved:
            namespace.clear()
            namespace.update(contents)


@pytest.fixture
def namespace_restored():
    """`with namespace_restored(module, ...):` undoes every change to those namespaces."""
    return _namespace_restored


def _collision_scenarios(operation):
    """Runs tests/collisions.py for `operation` in a child process, where freed
    memory is poisoned, and fails with the mismatches or the scenario that
    crashed."""
    env = dict(os.environ)
    if not SANITIZED:  # the sanitizer build brings its own allocator settings
        # The debug hooks fill freed blocks; free-threaded builds allocate
        # with mimalloc only.
        free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
        env["PYTHONMALLOC"] = "mimalloc_debug" if free_threaded else "malloc_debug"
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "collisions.py")
    result = subprocess.run([sys.executable, script, operation], capture_output=True, text=True, env=env,
                            timeout=900)
    scenarios = result.stderr.strip().splitlines()
    assert result.returncode == 0 and "scenarios:" in result.stdout, (
        f"exit status {result.returncode}\n{result.stdout[-4000:]}\n"
        f"last scenario: {scenarios[-1:] if scenarios else None}\n{result.stderr[-2000:]}")


@pytest.fixture
def collision_scenarios():
    """collision_scenarios(operation): see tests/collisions.py."""
    return _collision_scenarios
