"""Reference and memory leaks: one call of every distinct outcome of the bad
input sweep (the success path and every error path it reaches) is repeated in
rounds, under tracemalloc, in a child process. Memory that grows with the
number of calls, or reference counts of the arguments and of the module
tables and caches that drift with it, fail the test and name the call."""
import os

import pytest

import sweep

pytestmark = [pytest.mark.refleak, pytest.mark.native_only("reference counts kept by native code")]

ROUNDS = int(os.environ.get("TAVRO_REFLEAK_ROUNDS", "4"))
REPS = int(os.environ.get("TAVRO_REFLEAK_REPS", "250"))


@pytest.mark.skipif(bool(os.environ.get("TAVRO_SANITIZED")), reason="PYTHONMALLOC=malloc hides block counts")
@pytest.mark.parametrize("module_name", sweep.module_params())
def test_no_leak_grows_with_the_call_count(module_name):
    result = sweep.run("refleak", module_name, rounds=ROUNDS, reps=REPS)
    problems = [f"{desc}\n    -> {detail}" for (entry, desc, detail) in result.leaks]
    problems += [f"{desc}\n    -> crashed: {detail}" for (entry, desc, detail) in result.crashes]
    assert result.total > 0
    assert not problems, f"{len(problems)} leak(s) in {module_name}:\n" + "\n".join(problems[:40])
