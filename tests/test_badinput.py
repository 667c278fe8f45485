"""Bad-input sweep: every public callable of every module, called with wrong
arguments, on instances with bad attributes and with module globals rebound
to bad values, in child processes. A call must return or raise; a crash (a
signal, a sanitizer report) or a hang fails the test and names the call."""
import importlib
import warnings

import pytest

import sweep

AVAILABLE = []
for _name in sweep.MODULES:
    try:
        _module = importlib.import_module(_name)
    except ImportError:
        continue
    if any(e.kind != "globals" for e in sweep.discover(_module)):
        AVAILABLE.append(_name)

_results = {}


def sweep_of(module_name):
    if module_name not in _results:
        _results[module_name] = sweep.run("sweep", module_name)
    return _results[module_name]


def _entries():
    out = []
    for name in AVAILABLE:
        for e in sweep.discover(importlib.import_module(name)):
            out.append(pytest.param(name, e.name, id=e.name))
    return out


@pytest.mark.skipif(not AVAILABLE, reason="no module has public callables yet")
@pytest.mark.parametrize("module_name, entry", _entries())
def test_every_call_returns_or_raises(module_name, entry):
    result = sweep_of(module_name)
    mine = [(desc, detail) for (e, desc, detail) in result.crashes if e == entry or e == module_name]
    problems = [f"{desc}\n    -> {detail}" for desc, detail in mine]
    problems += [
        f"{desc}\n    -> {outcome}"
        for (e, desc, outcome) in result.outcomes.values()
        if e == entry and outcome.startswith("bug")
    ]
    slow = [desc for (e, desc, outcome) in result.outcomes.values() if e == entry and outcome == "timeout"]
    if slow:
        # Interrupted by the child's alarm and unwound by the exception: not
        # a crash, but worth a look (documented unbounded waits land here).
        warnings.warn(f"{entry}: {len(slow)} call(s) ran into the time limit, e.g. {slow[0]}")
    assert not problems, f"{len(problems)} call(s) of {entry} crashed or misbehaved:\n" + "\n".join(problems[:40])


@pytest.mark.skipif(not AVAILABLE, reason="no module has public callables yet")
@pytest.mark.parametrize("module_name", AVAILABLE)
def test_sweep_reached_the_end(module_name):
    result = sweep_of(module_name)
    calls = len(sweep.generate(importlib.import_module(module_name)))
    assert len(result.outcomes) == calls, f"swept {len(result.outcomes)} of {calls} calls"
