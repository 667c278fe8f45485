"""Timing harness of the benchmark runner (bench/run.py).

Why a harness of our own on top of `timeit` rather than pyperf: it needs no
extra dependency (the benchmarks run from a plain `pip install .`), and the
order in which variants are timed is under our control.  The three variants of
an operation (native, pure Python, standard library) are timed in turns, one
sample each per round, rotating which goes first; on a shared two-core machine
the load drifts, and interleaving makes every variant see the same drift, so
the ratios stay meaningful even when the absolute times wander.

Each variant is a function of no arguments doing one operation.  Calling it
costs a Python call on top of the operation; an empty function (the
*baseline*) is timed in the same rounds and its median is subtracted, so the
figures are comparable with `python -m timeit "<statement>"`, where the
statement is inlined into the timing loop.
"""

from __future__ import annotations

import re
import statistics
import timeit
from dataclasses import dataclass, field
from typing import Callable, Optional

# Below this a net time is noise; ratios are computed from this floor instead.
NET_FLOOR = 0.5e-9


def _baseline() -> None:
    return None


def calibrate(timer: timeit.Timer, min_time: float) -> int:
    """Loops per sample so that one sample lasts at least `min_time` seconds."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= min_time or number >= 1 << 30:
            return number
        # Aim a little past the goal so that one more try usually suffices.
        if elapsed <= 0:
            number *= 10
        else:
            number = max(number * 2, int(number * min_time * 1.2 / elapsed) + 1)


@dataclass
class Timing:
    """Median seconds per call of each variant, net of the baseline."""

    times: dict = field(default_factory=dict)
    baseline: float = 0.0


def measure(variants: dict, repeats: int, min_time: float, subtract: bool) -> Timing:
    """Time the callables of `variants` (name -> callable) interleaved.

    Returns the median seconds per call for each name.  With `subtract`, the
    median of an empty call measured in the same rounds is taken off each.
    """
    timers = {name: timeit.Timer(fn) for name, fn in variants.items()}
    if subtract:
        timers["<baseline>"] = timeit.Timer(_baseline)
    numbers = {name: calibrate(timer, min_time) for name, timer in timers.items()}
    samples: dict = {name: [] for name in timers}
    order = list(timers)
    for round_ in range(repeats):
        shift = round_ % len(order)
        for name in order[shift:] + order[:shift]:
            samples[name].append(timers[name].timeit(numbers[name]) / numbers[name])
    medians = {name: statistics.median(values) for name, values in samples.items()}
    baseline = medians.pop("<baseline>", 0.0)
    return Timing({name: max(t - baseline, NET_FLOOR) for name, t in medians.items()}, baseline)


# --- targets -------------------------------------------------------------------------------
#
# A target is one or more clauses joined by "and" or ";", each of the form
#     <op> <number> x <reference> [words]
# <op> is <=, <, >= or > (or the signs ≤ and ≥); "x" may be written × and may touch the
# number ("1.5x").  The reference is pure Python when it reads "python" or "pure Python"
# (optionally after "faster than" or "the"); anything else ("stdlib", a routine's name such
# as "int.from_bytes", "the lambda") means the stdlib column.  Words after it are ignored.
#   "<= 1.5 x stdlib"   native time ≤ 1.5 × the stdlib time           (the nat/std column)
#   ">= 20 x python"    native at least 20 × faster than pure Python  (the py/nat column)

_CLAUSE = re.compile(r"^\s*(<=|>=|<|>|≤|≥)\s*(\d+(?:\.\d*)?|\.\d+)\s*[x×]\s*(\S.*)$", re.IGNORECASE)
_PYTHON_REFERENCE = re.compile(r"(?:faster\s+than\s+)?(?:the\s+)?(?:pure[\s-]*)?python\b(?!\s+lambda)",
                               re.IGNORECASE)
_SPLIT = re.compile(r"\s+and\s+|;")
_COMPARE = {
    "<=": lambda a, b: a <= b,
    "≤": lambda a, b: a <= b,
    "<": lambda a, b: a < b,
    ">=": lambda a, b: a >= b,
    "≥": lambda a, b: a >= b,
    ">": lambda a, b: a > b,
}


class TargetError(ValueError):
    pass


def parse_target(text: Optional[str]) -> list:
    """[(compare, bound, reference)] for a target text; [] for none."""
    if text is None or not text.strip() or text.strip() in {"-", "n/a"}:
        return []
    clauses = []
    for piece in _SPLIT.split(text):
        match = _CLAUSE.match(piece)
        if not match:
            raise TargetError(f"cannot read target clause {piece.strip()!r}")
        op, number, reference = match.groups()
        clauses.append((op, float(number), "python" if _PYTHON_REFERENCE.match(reference) else "stdlib"))
    return clauses


def evaluate_target(clauses: list, native: Optional[float], python: Optional[float],
                    stdlib: Optional[float]) -> Optional[bool]:
    """True/False when every clause can be evaluated, None when a time it needs is missing."""
    verdict = True
    for op, bound, reference in clauses:
        if native is None:
            return None
        if reference == "stdlib":
            if stdlib is None:
                return None
            value = native / stdlib
        else:
            if python is None:
                return None
            value = python / native
        verdict = verdict and _COMPARE[op](value, bound)
    return verdict


def out_of_reach(clauses: list, python: Optional[float], stdlib: Optional[float]) -> bool:
    """Whether a ">= N x pure Python" clause is beyond any implementation.

    For such rows the stdlib column holds a floor: a C routine that does no
    more work than the operation (the same call shape, the same objects made).
    When even that routine is less than N times faster than pure Python, no
    native implementation of the operation can be.
    """
    if python is None or stdlib is None:
        return False
    return any(reference == "python" and op in (">=", "≥", ">") and python / stdlib < bound
               for op, bound, reference in clauses)


def format_time(seconds: Optional[float]) -> str:
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def format_ratio(value: Optional[float]) -> str:
    return "-" if value is None else f"{value:.3g}"


Variant = Optional[Callable[[], object]]
