"""Hostile dicts: keys whose hash collides with every name and key the native
fast paths look up, planted in every dict they read, whose __eq__ rebinds,
deletes, keeps or mutates what the fast path holds (tools/hostile.py). Each
module's cases run in child processes with the debug allocator (and with the
sanitizer's runtime under tools/sanitize.sh); a crash, a changed object that
Python code holds, or a result other than a literal reading gives fails the
test and names the case."""
import fnmatch

import pytest

pytestmark = pytest.mark.native_only("hash-colliding keys against the native fast paths")

import hostile
import hostile_cases
import sweep


@pytest.mark.parametrize("module_name", sweep.module_params())
def test_no_fast_path_trusts_a_dict_across_python_code(module_name):
    result = hostile.run(module_name)
    report = hostile.report(module_name, result)
    assert result.passed > 0, report
    clean = not result.crashes and not result.failures
    assert clean, report


@pytest.mark.parametrize("module_name", ["tavro.expr", "tavro.lib.bitstream"])
def test_changes_that_no_stamp_sees_are_seen(module_name):
    # A class attribute's type that gains __set__, another module instance
    # serving the same instance dict: the fast paths must observe what the
    # literal path observes.
    assert hostile.interventions_of([module_name])
    problems = hostile.intervene([module_name])
    assert not problems, "\n".join(f"{name}: {problem}" for name, problem in problems)


def test_every_function_and_method_has_a_scenario():
    patterns = [p for s in hostile_cases.SCENARIOS for p in s.covers]
    missing = [
        e.name
        for module in sweep.import_modules()
        for e in sweep.discover(module)
        if e.kind != "globals" and e.name not in hostile_cases.READS_NOTHING
        and not any(fnmatch.fnmatchcase(e.name, p) for p in patterns)
    ]
    assert not missing, f"no hostile scenario calls {missing}"


# ---------------------------------------------------------------------------
# The harness's own footing: if a collider stopped being compared, or a
# check stopped looking, every case above would pass without testing
# anything.


@pytest.mark.parametrize("key", ["rwbuffer", 200, b"\x00\x01" * 4, len])
@pytest.mark.parametrize("present", [True, False])
def test_a_planted_key_is_compared_on_every_look_up(key, present):
    d = {"other": 1, 7: 2}
    if present:
        d[key] = "value"
    collider = hostile.Collider(key)
    hostile.plant(d, collider)
    collider.act = lambda count: None
    compared = []
    for look_up in [d.get] * 3 + [lambda k: d.__setitem__(k, "again")]:
        before = collider.count
        look_up(key)
        # More than once where the probe sequence passes the slot again.
        compared.append(collider.count > before)
    assert compared == [True] * 4
    hostile.unplant(d, collider)
    assert hostile.without_colliders(d) == d


def _fake(run):
    """A scenario whose subject is a dict holding `w` and `t`, read by
    subscription (whose look-ups the interpreter never skips)."""

    def setup():
        return {"w": bytearray(b"abc" * 100), "t": 1}

    return hostile_cases.Scenario("fake", "fake", (), setup, run, dicts=lambda s: {"instance": s},
                            state=lambda s: bytes(s["w"]))


def _verdict(scenario, key, n, target, action):
    spaces = hostile.Namespaces([])
    baseline = hostile.baseline(scenario, spaces, 5.0)
    return hostile.run_case(hostile.Case(scenario, "instance", "own", key, n, target, action), spaces, baseline, 5.0)


def _grows_w_after_reading_t(s):
    s["t"]
    s["w"].extend(b"x")  # a held object changes: what an in-place grow does
    return len(s["w"])


def _compares_w_across_reading_t(s):
    w = s["w"]
    s["t"]
    return w is s["w"]  # stale: what a pointer kept across the look-up sees


def _hides_w_while_reading_t(s):
    w = s["w"]
    s["w"] = None  # a placeholder Python code can see: what a store of None does
    s["t"]
    s["w"] = w


def _reads_t(s):
    s["t"]


@pytest.mark.parametrize("run, n, action, verdict", [
    (_grows_w_after_reading_t, 1, "keep", "fail"),
    (_grows_w_after_reading_t, 1, "rebind", "ok"),
    (_compares_w_across_reading_t, 1, "rebind", "fail"),
    (_compares_w_across_reading_t, 1, "keep", "ok"),
    (_hides_w_while_reading_t, 1, "keep", "fail"),
    (_reads_t, 1, "delete", "ok"),
    (_reads_t, 50, "rebind", "vacuous"),  # never reached: counted apart, not as a pass
])
def test_the_checks_see_what_they_are_for(run, n, action, verdict):
    assert _verdict(_fake(run), "t", n, "w", action)[0] == verdict
