import contextlib
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


def pytest_collection_modifyitems(config, items):
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
