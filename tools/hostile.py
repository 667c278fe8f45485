"""Hostile-dict harness: finds native fast paths that keep a borrowed pointer,
or a verdict such as "only the dict and I hold this bytes", across a dict
look-up or store that can run Python code.

A dict look-up runs Python code whenever the dict holds a key whose hash
equals the key looked up: that key's ``__eq__`` is called. The harness plants
such a key (a Collider) into every dict an operation reads, for every key the
operation looks up there, and lets its ``__eq__`` act at the n-th comparison:

    rebind      the value of a key is replaced by an equal, distinct copy
    everywhere  a table is replaced by one equal copy in every module that
                binds it
    mutate      a table (dict or list) is refilled in place with equal copies
    delete      a key is deleted
    keep        Python code takes and keeps a reference to a value

Rebinding, mutating and deleting drop the last reference to the old object,
so it is freed. With PYTHONMALLOC=malloc_debug freed memory is filled with a
dead pattern, and the harness then reallocates blocks of the same type and
size with other content (a "spray"), so that a fast path that reads a freed
object reads garbage, or another object's data, instead of the old value;
the free lists of dicts and lists are filled first, so that freed tables go
back to the allocator. Under AddressSanitizer every read of freed memory in
the native code is reported.

What each case checks:
  - the child process does not crash, abort or hang (a sanitizer report, a
    malloc_debug report or a signal fails the case, and names it);
  - rebinding, mutating, keeping: every value stays equal, so a literal
    Python reading of the operation gives the same result as without the
    hostile key; the result and the subject's state must be exactly those of
    the same operation run without it (the baseline);
  - deleting: the result is the baseline's or the AttributeError, NameError
    or KeyError of the missing name;
  - an object Python code holds never changes (bytes are immutable; tables
    are never changed by the modules), and Python code never sees a value of
    a type that no literal reading stores under that key (a temporary None).

Which dicts an operation reads, which keys it looks up there and how often,
is found by a probe: inert colliders for every key of one dict at a time
(the subject's own dicts, the module namespaces, every dict table bound in
them, plus names that are looked up though absent) count the comparisons.
Collisions are exact: a collider hashes as the key it collides with, in the
same process, and children run with PYTHONHASHSEED=0.

Beside the dicts, a remembered verdict can miss other changes: the type of
an object it found in a class's MRO (which may gain __set__ without the
class's version tag changing), or another instance of the module (a
re-import) serving the same instance dict. Interventions make such a change
between the steps of an operation that is run twice, on subjects made alike:
once where the fast paths serve it, once through a subclass whose attribute
hook sends every step down the literal path. Both runs must observe the same.

Layout: this file is the generic engine; the tavro scenarios (subjects,
operations, observable state, interventions) are tools/hostile_cases.py.

    python tools/hostile.py intervene [MODULE...]  run the interventions, report

    python tools/hostile.py run [MODULE...]       run in child processes, report
    python tools/hostile.py list [MODULE...]      print the cases
    python tools/hostile.py child MODULE START    (internal) run cases from START

Protocol lines (stdout of the child):
    N <count>                      cases generated
    S <index> <description>        before a case
    R <index> ok|vacuous|fail <detail>
    E                              the run reached the end
"""
from __future__ import annotations

import builtins
import gc
import importlib
import os
import re
import signal
import subprocess
import sys
import sysconfig
import threading
import time
import traceback
from dataclasses import dataclass, field
from typing import Any, Callable

import deadline

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

# The scenarios and interventions (tools/hostile_cases.py), and what they are.
import hostile_cases  # noqa: E402
from hostile_cases import Scenario  # noqa: E402


class Timeout(BaseException):
    """Raised inside a case that takes too long (tools/deadline.py)."""


# ---------------------------------------------------------------------------
# Colliders


class Collider:
    """A dict key that hashes as `key` and compares unequal to everything.
    Its __eq__ counts the comparisons with `key` and runs `act(count)` at
    each (not while an earlier act is still running)."""

    def __init__(self, key, act=None):
        self.key = key
        self.hash = hash(key)
        self.act = act
        self.count = 0
        self.acting = False

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        if self.acting:
            return False
        key = self.key
        if other is key or (type(other) is type(key) and other == key):
            self.count += 1
            if self.act is not None:
                self.acting = True
                try:
                    self.act(self.count)
                finally:
                    self.acting = False
        return False

    def __repr__(self):
        return f"<collides with {self.key!r}>"


def plant(d, collider):
    """Puts `collider` into `d` ahead of its key: the key is taken out,
    the collider inserted and the key put back, so that a look-up of the key
    meets the collider first on its probe sequence."""
    key = collider.key
    if key in d:
        value = d.pop(key)
        d[collider] = None
        d[key] = value
    else:
        d[collider] = None
    collider.count = 0


def unplant(d, collider):
    for k in [k for k in list(d) if k is collider]:
        del d[k]


def without_colliders(d):
    return {k: v for k, v in d.items() if not isinstance(k, Collider)}


# ---------------------------------------------------------------------------
# Equal copies, snapshots and sprays


def twin(value):
    """An equal object that is not `value` (None when there is none)."""
    t = type(value)
    try:
        if t is bytes:
            copy = bytes(bytearray(value))
        elif t is int:
            copy = int(repr(value))
        elif t is str:
            copy = (value + "\0")[:-1]
        elif t is float:
            copy = float(repr(value))
        elif t is bytearray:
            copy = bytearray(value)
        elif t is tuple:
            copy = tuple(list(value))
        elif t is dict:
            copy = without_colliders(value)
        elif t is list:
            copy = list(value)
        elif t is not bool and _has_buffer(value):
            copy = bytes(memoryview(value))
        else:
            return None
    except Exception:
        return None
    return None if copy is value else copy


def _has_buffer(value):
    try:
        memoryview(value).release()
        return True
    except TypeError:
        return False


def kind_of(value):
    """The type a caller would say the value has: buffers count as bytes."""
    if isinstance(value, (bytes, bytearray)) or (not isinstance(value, (str, int)) and _has_buffer(value)):
        return "bytes"
    return type(value).__name__


def snapshot(value):
    """A copy to tell later whether `value` changed, or None."""
    if kind_of(value) == "bytes":
        data = bytes(memoryview(value))
        return ("bytes", len(data), data)
    if type(value) in (int, str, float, tuple, bool, type(None)):
        return ("repr", repr(value))
    if type(value) is dict:
        return ("dict", without_colliders(value))
    if type(value) is list:
        return ("list", list(value))
    return None


def changed(value, snap):
    """How `value` differs from its snapshot, or None."""
    kind = snap[0]
    if kind == "bytes":
        data = bytes(memoryview(value))
        if len(data) != snap[1] or data != snap[2]:
            return f"{snap[1]} bytes became {len(data)} bytes ({_short(repr(data[:24]))}...)"
    elif kind == "repr":
        now = repr(value)
        if now != snap[1]:
            return f"{_short(snap[1])} became {_short(now)}"
    elif kind == "dict":
        now = without_colliders(value)
        if now.keys() != snap[1].keys() or any(now[k] is not v for k, v in snap[1].items()):
            return f"a table of {len(snap[1])} entries changed ({len(now)} entries now)"
    elif kind == "list":
        if len(value) != len(snap[1]) or any(a is not b for a, b in zip(value, snap[1])):
            return f"a list of {len(snap[1])} entries changed"
    return None


def shape_of(value):
    """What spray() needs to know of `value`, without keeping it alive."""
    t = type(value)
    if t is bytes and len(value) >= 2:
        return (bytes, len(value), b"\xa5" if value[:1] == b"\x5a" else b"\x5a")
    if t is int and abs(value) > 300:
        return (int, 0, value ^ 0x40)  # not the value itself: that would keep it alive
    if t is str and len(value) >= 2 and value.isascii():
        return (str, len(value), "~" if value[:1] != "~" else "^")
    if t is list and value and type(value[0]) is str:
        # A table of texts (HEXPRINT): other texts of the same length.
        return (list, len(value), "~" * len(value[0]) if value[0][:1] != "~" else "^" * len(value[0]))
    return None


def spray(shape, out):
    """Allocates objects of the type and size of a value that was just freed
    (its `shape`), with other content, into `out`: the block the value left
    behind is reused at once, so that a stale pointer to it reads another
    object instead of the old value."""
    if shape is None:
        return
    t, size, other = shape
    if t is bytes:
        out.extend(other * size for _ in range(8))
    elif t is int:
        out.extend(other ^ i for i in range(1, 9))
    elif t is list:
        # New lists come from the free list first (filled before the free),
        # so enough of them to reach the allocator.
        out.extend([other] * size for _ in range(100))
    else:
        out.extend(other * size for _ in range(8))


def fill_free_lists():
    """Fills the free lists of dicts and lists, so that the next one freed
    goes back to the allocator (where malloc_debug and ASan see it)."""
    junk = [{} for _ in range(200)] + [[] for _ in range(200)]
    del junk


# ---------------------------------------------------------------------------
# Outcomes


def normalize(value, depth=0):
    """A comparable picture of a result: never compares expression nodes
    (their == builds a node), drops colliders, reads buffers as bytes."""
    if depth > 30:
        return ("deep",)
    if value is None or type(value) in (bool, int, float, str, complex):
        return value
    if isinstance(value, (bytes, bytearray, memoryview)):
        return ("bytes", type(value).__name__, bytes(value))
    if type(value) in (list, tuple):
        return (type(value).__name__, [normalize(v, depth + 1) for v in value])
    if type(value) is dict:
        return ("dict", {k: normalize(v, depth + 1) for k, v in without_colliders(value).items()})
    module = getattr(type(value), "__module__", "") or ""
    if module.startswith("tavro"):
        base = None
        for kind in (int, bytes, dict):
            if isinstance(value, kind):
                base = normalize(kind(value) if kind is not dict else dict(value), depth + 1)
        attrs = getattr(value, "__dict__", None)
        attrs = normalize(dict(attrs), depth + 1) if attrs is not None else None
        return (type(value).__qualname__, base, attrs)
    if callable(value) or isinstance(value, type) or type(value).__name__ == "module":
        return ("object", id(value))
    return ("object", type(value).__qualname__, repr(value))


def outcome_of(fn, *args):
    try:
        return ("ok", normalize(fn(*args)))
    except Timeout:
        raise
    except BaseException as exc:  # noqa: BLE001 - outcomes are data here
        return ("raise", type(exc).__name__, _short(str(exc), 200))


def _short(text, limit=80):
    text = str(text).replace("\n", "\\n")
    return text if len(text) <= limit else text[: limit - 3] + "..."


# ---------------------------------------------------------------------------
# The modules' namespaces, kept restorable without holding their tables


class Namespaces:
    """The namespaces of the modules under test (and of `operator`, which
    expression nodes read). Tables (dicts and lists bound to public names)
    are recorded as equal copies and re-installed as fresh copies, one shared
    object per table, before every case, so that the only references to a
    table are its modules' own: a hostile key that rebinds it frees it."""

    def __init__(self, module_names):
        self.modules = [importlib.import_module(name) for name in module_names]
        import operator

        if operator not in self.modules:
            self.modules.append(operator)
        self.plain = {}  # module name -> {name: value} of everything but tables
        self.tables = []  # (pristine copy, [(module dict, name)])
        by_id = {}
        for module in self.modules:
            plain = {}
            for name, value in vars(module).items():
                if type(value) in (dict, list) and not name.startswith("__"):
                    if id(value) not in by_id:
                        by_id[id(value)] = len(self.tables)
                        self.tables.append((twin(value), []))
                    self.tables[by_id[id(value)]][1].append((vars(module), name))
                else:
                    plain[name] = value
            self.plain[module.__name__] = plain
        by_id.clear()
        self.table_names = {m.__name__: {name for _, holders in self.tables for d, name in holders if d is vars(m)}
                            for m in self.modules}
        self.restore()

    def restore(self):
        """Every namespace as it was, with fresh copies of the tables."""
        for module in self.modules:
            vars(module).update(self.plain[module.__name__])
        for pristine, holders in self.tables:
            fresh = pristine.copy()
            for d, name in holders:
                d[name] = fresh
        # Every name is bound again; anything more is a collider or a name
        # a case added.
        for module in self.modules:
            d = vars(module)
            plain, tables = self.plain[module.__name__], self.table_names[module.__name__]
            if len(d) != len(plain) + len(tables):
                for key in [k for k in d if type(k) is not str or (k not in plain and k not in tables)]:
                    del d[key]

    def dicts(self):
        """(label, dict, kind): the namespaces, then the dict tables."""
        out = [(f"{m.__name__} namespace", vars(m), "namespace") for m in self.modules]
        for pristine, holders in self.tables:
            d, name = holders[0]
            if type(pristine) is dict:
                out.append((f"{d['__name__']}.{name}", d[name], "table"))
        return out

    def holder_of_table(self, label):
        """(namespace dict, name) through which the table `label` is reached."""
        for pristine, holders in self.tables:
            d, name = holders[0]
            if f"{d['__name__']}.{name}" == label:
                return d, name
        raise LookupError(label)

    def holders_of(self, table):
        """Every (namespace dict, name) that binds `table`."""
        return [(vars(m), n) for m in self.modules for n, v in list(vars(m).items())
                if v is table and type(n) is str and not n.startswith("__")]


# ---------------------------------------------------------------------------
# Cases


ACTIONS_OWN = ("rebind", "delete", "keep")
ACTIONS_NAMESPACE = ("rebind", "delete", "keep", "mutate")
ACTIONS_TABLE_ENTRY = ("rebind", "delete", "keep")
ACTIONS_TABLE_ITSELF = ("everywhere", "mutate", "keep")


@dataclass
class Case:
    scenario: Scenario
    label: str  # the dict's label
    kind: str  # own | namespace | table
    key: Any  # the key the collider collides with
    n: int  # act at the n-th comparison
    target: Any  # the key whose value is acted on, or TABLE (the table itself)
    action: str

    def describe(self):
        target = "the table" if self.target is TABLE else repr(self.target)
        return (f"{self.scenario.name} | {self.label}: key colliding with {self.key!r}, "
                f"comparison {self.n}: {self.action} {target}")


TABLE = object()


def _samples(count):
    if count <= 8:
        return list(range(1, count + 1))
    return sorted({1, 2, 3, 4, count // 2, count - 1, count})


def _key_samples(keys):
    if len(keys) <= 6:
        return keys
    picks = [0, 1, len(keys) // 2, len(keys) - 1]
    return [keys[i] for i in sorted(set(picks))]


def find_dict(scenario, subject, spaces, label):
    for own_label, d in scenario.dicts(subject).items():
        if own_label == label:
            return d, "own"
    for ns_label, d, kind in spaces.dicts():
        if ns_label == label:
            return d, kind
    raise LookupError(label)


def candidate_dicts(scenario, subject, spaces):
    out = [(label, d, "own") for label, d in scenario.dicts(subject).items()]
    return out + spaces.dicts()


def absent_candidates(kind, scenario, d):
    if kind == "namespace":
        return [n for n in dir(builtins) if n not in d]
    if kind == "own":
        return [n for n in scenario.absent if n not in d]
    return []


def probe(scenario, spaces, timeout):
    """For each dict the operation reads: the keys it compares, in the order
    of their first comparison, with the number of comparisons."""
    found = []
    spaces.restore()
    subject = scenario.setup()
    labels = [label for label, _, _ in candidate_dicts(scenario, subject, spaces)]
    del subject
    for label in labels:
        spaces.restore()
        subject = scenario.setup()
        d, kind = find_dict(scenario, subject, spaces, label)
        order = []
        colliders = []
        for key in list(without_colliders(d)) + absent_candidates(kind, scenario, d):
            if _hashable(key):
                c = Collider(key)
                plant(d, c)
                colliders.append(c)
        for c in colliders:
            c.act = lambda count, c=c: order.append(c) if count == 1 else None
        present = without_colliders(d)
        # What each action can do to the value under a key when the
        # operation starts (a key absent then may be set by the operation).
        able = {k: {"rebind": twin(v) is not None, "keep": snapshot(v) is not None, "mutate": type(v) in (dict, list)}
                for k, v in present.items()}
        del present
        with deadline.deadline(timeout):
            outcome = outcome_of(scenario.run, subject)
        compared = [(c.key, c.count) for c in order]
        for c in colliders:
            c.act = None
            unplant(d, c)
        if compared:
            found.append((label, kind, compared, able, outcome))
        del subject, d, colliders, order
    spaces.restore()
    return found


def _hashable(key):
    try:
        hash(key)
        return True
    except TypeError:
        return False


def generate(scenarios, spaces, timeout):
    """Every case, in a fixed order; with the probe outcomes (for the check
    that inert colliders change nothing)."""
    cases = []
    probes = []
    for scenario in scenarios:
        for label, kind, compared, able, outcome in probe(scenario, spaces, timeout):
            probes.append((scenario, label, outcome))
            # Every key looked up is a target: one absent when the operation
            # starts (a cache such as `render`) may be there when it acts.
            targets = [k for k, _ in compared]
            # In a namespace, besides the name looked up, the values a hostile
            # key can free: tables, numbers, strings (functions, classes and
            # modules live on elsewhere).
            freeable = [k for k, _ in compared if able.get(k, {}).get("rebind")]
            if kind == "table":
                chosen = set(_key_samples([k for k, _ in compared]))
                compared = [(k, c) for k, c in compared if k in chosen]
            for key, count in compared:
                for n in _samples(count):
                    if kind == "table":
                        for action in ACTIONS_TABLE_ENTRY:
                            cases.append(Case(scenario, label, kind, key, n, key, action))
                        for action in ACTIONS_TABLE_ITSELF:
                            cases.append(Case(scenario, label, kind, key, n, TABLE, action))
                        continue
                    actions = ACTIONS_OWN if kind == "own" else ACTIONS_NAMESPACE
                    for target in (targets if kind == "own" else [key] + [t for t in freeable if t != key]):
                        for action in actions:
                            if able.get(target, {}).get(action, True):
                                cases.append(Case(scenario, label, kind, key, n, target, action))
    return cases, probes


# ---------------------------------------------------------------------------
# Running a case


class Acts:
    """What the collider's __eq__ does, and what it saw and kept. It reaches
    the dict through `get_dict` and holds no reference to it between calls:
    a table must be freeable."""

    def __init__(self, case, get_dict, spaces):
        self.case = case
        self.get_dict = get_dict
        self.spaces = spaces
        self.fired = False
        self.kept = []  # (what, object, snapshot)
        self.seen = []  # (what, kind)
        self.spray = []

    def __call__(self, count):
        if count != self.case.n or self.fired:
            return
        case = self.case
        d = self.get_dict()
        if case.target is TABLE:
            self.fired = True
            self._on_table(d)
            return
        target = case.target
        if target not in d:
            return
        value = d[target]
        what = repr(target)
        self.seen.append((what, kind_of(value)))
        copy = None
        if case.action == "keep":
            snap = snapshot(value)
            if snap is not None:
                self.fired = True
                self.kept.append((what, value, snap))
            return
        if case.action == "rebind":
            copy = twin(value)
            if copy is None:
                return
            fill_free_lists()
            if type(value) in (dict, list) and case.kind == "namespace":
                holders = self.spaces.holders_of(value)
            else:
                holders = [(d, target)]
            for holder, name in holders:
                holder[name] = copy
            del holders
        elif case.action == "delete":
            fill_free_lists()
            del d[target]
        elif case.action == "mutate":
            if type(value) not in (dict, list):
                return
            self._refill(value)
        self.fired = True
        shape = shape_of(value)
        del value, copy, d  # the old value dies here, unless something else holds it
        spray(shape, self.spray)

    def _on_table(self, table):
        action = self.case.action
        self.seen.append(("the table", kind_of(table)))
        if action == "keep":
            self.kept.append(("the table", table, snapshot(table)))
        elif action == "mutate":
            self._refill(table)
        elif action == "everywhere":
            copy = twin(table)
            fill_free_lists()
            for holder, name in self.spaces.holders_of(table):
                holder[name] = copy

    def _refill(self, container):
        fill_free_lists()
        if type(container) is dict:
            items = [(k, twin(v) or v) for k, v in container.items() if not isinstance(k, Collider)]
            olds = list(container.values())
            container.clear()
            container.update(items)
        else:
            items = [twin(v) or v for v in container]
            olds = list(container)
            container.clear()
            container.extend(items)
        del items
        shapes = [shape_of(v) for v in olds[:4]]
        del olds
        for shape in shapes:
            spray(shape, self.spray)


def _kinds_under(d, target):
    if target is TABLE or target not in d:
        return set()
    return {kind_of(d[target])}


def run_case(case, spaces, baseline, timeout):
    """("ok" | "vacuous" | "fail", detail): vacuous when the collider never
    reached its n-th comparison or found nothing to act on."""
    base_outcome, base_state, base_kinds = baseline
    spaces.restore()
    subject = case.scenario.setup()
    d, kind = find_dict(case.scenario, subject, spaces, case.label)
    allowed = _kinds_under(d, case.target) | base_kinds.get(case.label, {}).get(case.target, set())
    if kind == "table":
        # Only its modules may hold a table, or rebinding it frees nothing.
        holder, name = spaces.holder_of_table(case.label)
        get_dict = lambda: holder[name]  # noqa: E731
    else:
        get_dict = lambda d=d: d  # noqa: E731
    acts = Acts(case, get_dict, spaces)
    collider = Collider(case.key)
    plant(d, collider)
    collider.act = acts
    del d
    try:
        with deadline.deadline(timeout):
            outcome = outcome_of(case.scenario.run, subject)
    except Timeout:
        return "fail", f"did not finish within {timeout} s"
    finally:
        d = get_dict()
        unplant(d, collider)
    with deadline.deadline(timeout):
        state = outcome_of(case.scenario.state, subject)
    if kind != "table":
        allowed |= _kinds_under(d, case.target)
    del d
    problems = []
    for what, obj, snap in acts.kept:
        difference = changed(obj, snap)
        if difference:
            problems.append(f"an object Python code holds changed: {what}: {difference}")
    if case.target is not TABLE:
        for what, seen in acts.seen:
            if seen not in allowed:
                problems.append(f"Python code saw a {seen} under {what}, where only {sorted(allowed)} is stored")
    if outcome[0] == "raise" and outcome[1] == "SystemError":
        problems.append(f"SystemError: {outcome[2]}")
    elif case.action == "delete":
        # Without the name a literal reading falls back on whatever Python
        # code would (a class attribute, builtins, Path.__getattr__), so any
        # result or exception may be right: here only crashes, changed
        # objects and internal errors count.
        pass
    elif outcome != base_outcome:
        problems.append(f"result {_short(outcome, 300)}, expected {_short(base_outcome, 300)}")
    elif state != base_state:
        problems.append(f"state afterwards {_short(state, 300)}, expected {_short(base_state, 300)}")
    fired = acts.fired
    del subject, acts, collider
    if problems:
        return "fail", "; ".join(problems)
    return ("ok" if fired else "vacuous"), ""


def baseline(scenario, spaces, timeout):
    """The outcome and state of the operation without hostile keys, and the
    kinds of value its own dicts hold under each key before and after it."""
    spaces.restore()
    subject = scenario.setup()
    kinds = {}

    def note():
        for label, d in scenario.dicts(subject).items():
            for key, value in without_colliders(d).items():
                kinds.setdefault(label, {}).setdefault(key, set()).add(kind_of(value))

    note()
    with deadline.deadline(timeout):
        result = outcome_of(scenario.run, subject)
        state = outcome_of(scenario.state, subject)
    note()
    return result, state, kinds


# ---------------------------------------------------------------------------
# Child side


def scenarios_of(module_names):
    return [s for s in hostile_cases.SCENARIOS if s.module in module_names]


def cached_cases(scenarios, spaces, timeout):
    """The cases of `scenarios`: generated (probing), or, in a child that
    restarts after a crash, read back from the file TAVRO_HOSTILE_CASES
    names, where the first child of the run left them."""
    path = os.environ.get("TAVRO_HOSTILE_CASES")
    if path and os.path.exists(path):
        import pickle

        by_name = {s.name: s for s in scenarios}
        with open(path, "rb") as f:
            rows = pickle.load(f)
        cases = [Case(by_name[name], label, kind, key, n, TABLE if table else target, action)
                 for name, label, kind, key, n, table, target, action in rows]
        return cases, []
    cases, probes = generate(scenarios, spaces, timeout)
    if path:
        import pickle

        rows = [(c.scenario.name, c.label, c.kind, c.key, c.n, c.target is TABLE,
                 None if c.target is TABLE else c.target, c.action) for c in cases]
        with open(path + ".tmp", "wb") as f:
            pickle.dump(rows, f)
        os.replace(path + ".tmp", path)
    return cases, probes


def child(module_name, start, timeout, only=None):
    deadline.arm(Timeout)
    import sweep

    spaces = Namespaces(sweep.expected_modules())
    scenarios = scenarios_of([module_name])
    out = sys.stdout
    baselines = {}
    for scenario in scenarios:
        baselines[scenario.name] = baseline(scenario, spaces, timeout)
    cases, probes = cached_cases(scenarios, spaces, timeout)
    out.write(f"N {len(cases)}\n")
    # Inert colliders in every dict at once: nothing may change.
    if start == 0 and only is None:
        for scenario, label, outcome in probes:
            if outcome != baselines[scenario.name][0]:
                out.write(f"P {scenario.name} | {label}: with inert colliding keys the result is "
                          f"{_short(outcome, 300)}, without them {_short(baselines[scenario.name][0], 300)}\n")
    out.flush()
    indexes = [only] if only is not None else range(start, len(cases))
    for index in indexes:
        case = cases[index]
        out.write(f"S {index} {case.describe()}\n")
        out.flush()
        try:
            verdict, detail = run_case(case, spaces, baselines[case.scenario.name], timeout)
        except BaseException:  # noqa: BLE001 - a harness fault is reported, not hidden
            verdict, detail = "fail", "harness error: " + _short(traceback.format_exc(), 600)
        out.write(f"R {index} {verdict} {detail}\n")
        out.flush()
    spaces.restore()
    gc.collect()
    out.write("E\n")
    out.flush()


# ---------------------------------------------------------------------------
# Parent side


@dataclass
class Result:
    cases: int = 0
    passed: int = 0
    vacuous: int = 0  # the collider never acted
    failures: list = field(default_factory=list)  # (description, detail)
    crashes: list = field(default_factory=list)  # (index, description, detail)
    seconds: float = 0.0


def sanitized():
    return bool(os.environ.get("TAVRO_SANITIZED"))


def child_env():
    env = dict(os.environ)
    env["PYTHONHASHSEED"] = "0"
    env["PYTHONFAULTHANDLER"] = "1"
    # Freed blocks are filled with a dead pattern and checked on release (a
    # free-threaded build allocates with mimalloc only); the sanitizer build
    # instead needs every allocation to reach its runtime.
    if sanitized():
        env["PYTHONMALLOC"] = "malloc"
    else:
        env["PYTHONMALLOC"] = "mimalloc_debug" if sysconfig.get_config_var("Py_GIL_DISABLED") else "malloc_debug"
    path = [HERE] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(path)
    return env


def default_timeout():
    return 20.0 if sanitized() else 5.0


def _spawn(module_name, start, timeout, cache, only=None):
    cmd = [sys.executable, os.path.join(HERE, "hostile.py"), "child", module_name, str(start), str(timeout)]
    if only is not None:
        cmd.append(str(only))
    env = child_env()
    env["TAVRO_HOSTILE_CASES"] = cache
    return subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                            env=env, text=True, errors="replace")


def _read(proc, idle, on_line):
    err = []
    reader = threading.Thread(target=lambda: err.append(proc.stderr.read()), daemon=True)
    reader.start()
    hung = False
    try:
        for line in deadline.lines(proc.stdout, idle):
            on_line(line.rstrip("\n"))
    except deadline.Silent:
        hung = True
        proc.kill()
    proc.wait()
    reader.join(5)
    return "".join(err), hung


def crash_report(stderr):
    lines = stderr.splitlines()
    keep = [
        ln for ln in lines
        if "ERROR: AddressSanitizer" in ln or "runtime error:" in ln or "SUMMARY:" in ln
        or "Fatal Python error" in ln or "Debug memory block" in ln or "Segmentation fault" in ln
        or re.match(r"\s+#[0-5] 0x[0-9a-f]+ ", ln)
        or re.match(r'\s+File ".*hostile', ln)
    ]
    if not keep:
        keep = lines[-12:]
    return "\n".join(_short(ln, 200) for ln in keep[:20])


# Crashes run again alone, to tell a case's own crash from damage an earlier
# case of the same child left behind; beyond these the cost outweighs it.
CONFIRMED_CRASHES = 12


def run(module_name, *, timeout=None, idle=120.0, max_restarts=200, confirm=True):
    """Runs every case of `module_name` in child processes, restarting after
    each crash; a crashed case is then run again alone, to confirm that it,
    and not an earlier case of the same child, is the cause."""
    import tempfile

    if timeout is None:
        timeout = default_timeout()
    with tempfile.TemporaryDirectory(prefix="tavro-hostile-") as scratch:
        return _run(module_name, timeout, idle, max_restarts, confirm, os.path.join(scratch, "cases.pickle"))


def _run(module_name, timeout, idle, max_restarts, confirm, cache):
    result = Result()
    begin = time.monotonic()
    start = 0
    descriptions = {}
    restarts = 0
    while True:
        state = {"current": None, "ended": False}

        def on_line(line):
            tag, _, rest = line.partition(" ")
            if tag == "N":
                result.cases = int(rest)
            elif tag == "P":
                result.failures.append(("inert colliding keys", rest))
            elif tag == "S":
                index, _, desc = rest.partition(" ")
                descriptions[int(index)] = desc
                state["current"] = int(index)
            elif tag == "R":
                index, _, verdict = rest.partition(" ")
                state["current"] = None
                verdict, _, detail = verdict.partition(" ")
                if verdict == "ok":
                    result.passed += 1
                elif verdict == "vacuous":
                    result.vacuous += 1
                else:
                    result.failures.append((descriptions[int(index)], detail))
            elif tag == "E":
                state["ended"] = True

        proc = _spawn(module_name, start, timeout, cache)
        stderr, hung = _read(proc, idle, on_line)
        if state["ended"] and proc.returncode == 0:
            break
        index = state["current"]
        if hung:
            detail = f"hang: no progress for {idle:.0f} s (killed)"
        elif proc.returncode < 0:
            detail = f"killed by signal {-proc.returncode} ({signal.Signals(-proc.returncode).name})"
        else:
            detail = f"exit status {proc.returncode}"
        detail += "\n" + crash_report(stderr)
        if index is None:
            result.crashes.append((-1, f"{module_name} (outside any case)", detail))
            break
        result.crashes.append((index, descriptions[index], detail))
        restarts += 1
        if restarts > max_restarts:
            result.crashes.append((-1, f"{module_name}: more than {max_restarts} crashes, stopped", ""))
            break
        start = index + 1
    if confirm:
        confirmed = []
        for number, (index, desc, detail) in enumerate(result.crashes):
            if index < 0 or number >= CONFIRMED_CRASHES:
                confirmed.append((index, desc, detail))
                continue
            proc = _spawn(module_name, 0, timeout, cache, only=index)
            _read(proc, idle, lambda line: None)
            if proc.returncode == 0:
                detail += ("\n(no crash when run alone: what a read after a free finds depends on what the "
                           "earlier cases of the child left in memory; or an earlier case did the damage)")
            confirmed.append((index, desc, detail))
        result.crashes = confirmed
    result.seconds = time.monotonic() - begin
    return result


def report(module_name, result, limit=40):
    lines = []
    for index, desc, detail in result.crashes:
        lines.append(f"CRASH {desc}\n    {detail.replace(chr(10), chr(10) + '    ')}")
    for desc, detail in result.failures:
        lines.append(f"FAIL {desc}\n    -> {detail}")
    head = (f"{module_name}: {result.cases} cases, {result.passed} passed, {result.vacuous} never acted, "
            f"{len(result.crashes)} crashed, {len(result.failures)} failed ({result.seconds:.1f} s)")
    return "\n".join([head] + lines[:limit] + ([f"... and {len(lines) - limit} more"] if len(lines) > limit else []))


def interventions_of(module_names):
    return [i for i in hostile_cases.INTERVENTIONS if i.module in module_names]


def intervene(module_names):
    """Runs every intervention of `module_names` in a child process (the
    debug allocator, or the sanitizer's runtime); a list of (name, problem),
    empty when every one observed the same both ways."""
    problems = []
    for intervention in interventions_of(module_names):
        code = (f"import importlib, hostile, hostile_cases\n"
                f"importlib.import_module({intervention.module!r})\n"
                f"[i] = [i for i in hostile_cases.INTERVENTIONS if i.name == {intervention.name!r}]\n"
                f"fast, literal = i.observe(False), i.observe(True)\n"
                f"print('same' if fast == literal else f'fast path: {{fast!r}}\\nliteral: {{literal!r}}')\n")
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=child_env(),
                              timeout=600)
        lines = done.stdout.strip().splitlines()
        if done.returncode != 0:
            problems.append((intervention.name, f"exit status {done.returncode}: {crash_report(done.stderr)}"))
        elif lines[:1] != ["same"]:
            problems.append((intervention.name, _short("\n".join(lines), 600)))
    return problems


def main(argv):
    if len(argv) < 2:
        raise SystemExit(__doc__)
    mode = argv[1]
    import sweep

    if mode == "child":
        module_name, start, timeout = argv[2], int(argv[3]), float(argv[4])
        only = int(argv[5]) if len(argv) > 5 else None
        child(module_name, start, timeout, only)
    elif mode == "run":
        status = 0
        for name in argv[2:] or sweep.expected_modules():
            result = run(name)
            print(report(name, result, limit=10**6), flush=True)
            status |= bool(result.crashes or result.failures)
        raise SystemExit(status)
    elif mode == "intervene":
        names = argv[2:] or sweep.expected_modules()
        problems = intervene(names)
        for name, problem in problems:
            print(f"FAIL {name}: {problem}")
        print(f"{len(interventions_of(names))} interventions, {len(problems)} failed")
        raise SystemExit(bool(problems))
    elif mode == "list":
        deadline.arm(Timeout)
        spaces = Namespaces(sweep.expected_modules())
        for name in argv[2:] or sweep.expected_modules():
            cases, _ = generate(scenarios_of([name]), spaces, default_timeout())
            for index, case in enumerate(cases):
                print(f"{name} {index} {case.describe()}")
    else:
        raise SystemExit(f"unknown mode {mode}")


if __name__ == "__main__":
    main(sys.argv)
