"""Run tavro's benchmarks and print one table of times, ratios and targets.

    python bench/run.py                 # every case, careful timing
    python bench/run.py -k hexdump      # only cases whose name contains "hexdump"
    python bench/run.py --quick         # smoke run: every variant timed once, figures meaningless
    python bench/run.py --markdown      # the table as Markdown, for the README
    python bench/run.py --python 3.14   # the same with another interpreter (see --python)

Each bench/bench_*.py module has `cases()`, returning a list of
(operation_name, native_fn, python_fn, stdlib_fn_or_None, target_text); every fn
takes no arguments and does one operation.  The three variants of a case are
timed interleaved, median of repeats (see bench/_harness.py for how and why).

Columns: native, python and stdlib are seconds per operation; "nat/std" is
native ÷ stdlib (below 1: native is faster); "py/nat" is pure Python ÷ native
(the speed-up over pure Python); "py/std" is pure Python ÷ stdlib.  For rows
whose target is a speed-up over pure Python, the stdlib column is a floor: a C
routine doing no more work than the operation (the same call shape, the same
objects made).  "holds" reads "bound" when such a target is missed and the
floor itself is not that many times faster than pure Python: no implementation
can reach it.  The target grammar is in bench/_harness.py:
"<= 1.5 x stdlib" (or "<= 1.5x int.to_bytes": any reference but Python means the
stdlib column) bounds nat/std, ">= 20 x pure Python" bounds py/nat, and clauses
join with "and" or ";".  The run only reports: it never fails because a target does not
hold (the exit status is non-zero only when a case could not be run at all).
"""

from __future__ import annotations

import argparse
import importlib
import os
import platform
import subprocess
import sys
import traceback
from pathlib import Path

# tavro.lib.portil's optional-package probe imports numpy where it is
# installed, and numpy's OpenBLAS starts a thread per core that spins while
# waiting for work: on a two-core machine it takes a core from the timed code.
# One BLAS thread (the caller's) keeps the machine to the benchmark; set
# before any import, and inherited by --python's interpreter.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import _harness  # noqa: E402  (needs the path above)


def machine_description() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (f"{cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}, "
            f"{platform.python_implementation()} {platform.python_version()}")


def discover(errors: list) -> list:
    """[(bench module short name, case tuple)] from every bench/bench_*.py, in file order."""
    found = []
    for path in sorted(BENCH_DIR.glob("bench_*.py")):
        short = path.stem[len("bench_"):]
        try:
            module = importlib.import_module(path.stem)
            cases = list(module.cases())
        except Exception:  # a broken bench file must not hide the others
            errors.append(f"{path.name}: could not load its cases:\n{traceback.format_exc()}")
            continue
        for case in cases:
            if len(case) != 5:
                errors.append(f"{path.name}: a case must have 5 fields, got {case!r}")
                continue
            found.append((short, tuple(case)))
    return found


def selected(short: str, name: str, patterns: list) -> bool:
    if not patterns:
        return True
    label = f"{short}: {name}".lower()
    return any(pattern.lower() in label for pattern in patterns)


# Results of these types compare by value; other objects (adapters, nodes) would differ by identity.
VALUE_TYPES = (bytes, bytearray, str, int, float, tuple, list, dict, type(None))


def check_results(variants: dict) -> str:
    """Run each variant once (also a warm-up); say so when native and pure Python disagree."""
    results = {name: fn() for name, fn in variants.items()}
    if "native" not in results or "python" not in results:
        return ""  # nothing to compare with
    native, python = results["native"], results["python"]
    if isinstance(native, VALUE_TYPES) and isinstance(python, VALUE_TYPES) and native != python:
        return "native and pure-Python results differ"
    return ""


def run_case(short: str, case: tuple, args) -> dict:
    name, native_fn, python_fn, stdlib_fn, target = case
    row = {"bench": short, "operation": name, "target": target or "", "note": ""}
    variants = {key: fn for key, fn in (("native", native_fn), ("python", python_fn),
                                        ("stdlib", stdlib_fn)) if fn is not None}
    try:
        clauses = _harness.parse_target(target)
    except _harness.TargetError as error:
        clauses = None
        row["note"] = str(error)
    try:
        note = check_results(variants)
        timing = _harness.measure(variants, args.repeat, args.min_time, not args.raw)
    except Exception as error:
        row.update(error=f"{type(error).__name__}: {error}", holds="error")
        return row
    row["note"] = "; ".join(filter(None, [row["note"], note]))
    times = timing.times
    native, python, stdlib = (times.get(key) for key in ("native", "python", "stdlib"))
    row.update(native=native, python=python, stdlib=stdlib, baseline=timing.baseline)
    row["nat/std"] = native / stdlib if native is not None and stdlib is not None else None
    row["py/nat"] = python / native if native is not None and python is not None else None
    row["py/std"] = python / stdlib if python is not None and stdlib is not None else None
    if clauses is None:
        row["holds"] = "?"
    elif not clauses:
        row["holds"] = "-"
    else:
        verdict = _harness.evaluate_target(clauses, native, python, stdlib)
        row["holds"] = {True: "yes", False: "NO", None: "n/a"}[verdict]
        if verdict is False and _harness.out_of_reach(clauses, python, stdlib):
            row["holds"] = "bound"
    return row


COLUMNS = ["bench", "operation", "native", "python", "stdlib", "nat/std", "py/nat", "py/std", "target", "holds"]


def cells(row: dict) -> list:
    out = []
    for column in COLUMNS:
        value = row.get(column)
        if column in ("native", "python", "stdlib"):
            out.append(_harness.format_time(value))
        elif column in ("nat/std", "py/nat", "py/std"):
            out.append(_harness.format_ratio(value))
        else:
            out.append(str(value if value is not None else ""))
    return out


def print_table(rows: list, markdown: bool, out) -> None:
    table = [cells(row) for row in rows]
    if markdown:
        out.write("| " + " | ".join(COLUMNS) + " |\n")
        out.write("|" + "|".join("---" for _ in COLUMNS) + "|\n")
        for line in table:
            out.write("| " + " | ".join(cell.replace("|", "\\|") for cell in line) + " |\n")
        return
    widths = [max([len(c)] + [len(line[i]) for line in table]) for i, c in enumerate(COLUMNS)]
    numeric = {"native", "python", "stdlib", "nat/std", "py/nat", "py/std"}

    def render(line):
        return "  ".join(cell.rjust(w) if COLUMNS[i] in numeric else cell.ljust(w)
                         for i, (cell, w) in enumerate(zip(line, widths))).rstrip()

    out.write(render(COLUMNS) + "\n")
    out.write("  ".join("-" * w for w in widths) + "\n")
    for line in table:
        out.write(render(line) + "\n")


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python bench/run.py",
        description="Time tavro's native operations against pure Python and the standard library.")
    parser.add_argument("-k", "--filter", action="append", default=[], metavar="TEXT",
                        help="run only cases whose 'bench: operation' label contains TEXT "
                             "(case-insensitive; repeat for several)")
    parser.add_argument("--quick", action="store_true",
                        help="smoke run for CI: one sample of one call per variant (figures meaningless)")
    parser.add_argument("--repeat", type=int, default=5, help="samples per variant (default 5)")
    parser.add_argument("--min-time", type=float, default=0.02,
                        help="seconds each sample lasts at least (default 0.02)")
    parser.add_argument("--raw", action="store_true",
                        help="do not subtract the cost of calling an empty function")
    parser.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    parser.add_argument("--list", action="store_true", help="list the cases and exit")
    parser.add_argument("--python", metavar="VERSION|PATH",
                        help="run the benchmarks with another interpreter: a path to it, or a version "
                             "such as 3.14 for the environment that tools/matrix.sh made for it "
                             "(build/matrix/VERSION/venv), where tavro is installed")
    args = parser.parse_args(argv)
    if args.quick:
        # One call per variant: subtracting a one-call baseline would only add noise.
        args.repeat, args.min_time, args.raw = 1, 0.0, True
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    return args


def interpreter_for(choice: str, prog: str = "python bench/run.py") -> str:
    """The python that --python names: a path, or the matrix environment of a version. `prog`, the
    command that asks, names itself in the error."""
    if os.sep in choice or os.path.exists(choice):
        return choice
    python = BENCH_DIR.parent / "build" / "matrix" / choice / "venv" / "bin" / "python"
    if not python.exists():
        raise SystemExit(f"{prog}: no environment for CPython {choice} at {python}; "
                         f"make it with: tools/matrix.sh {choice}")
    return str(python)


def main(argv=None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    args = parse_args(argv)
    if args.python:
        rest, skip = [], False
        for word in argv:
            if skip:
                skip = False
            elif word == "--python":
                skip = True
            elif not word.startswith("--python="):
                rest.append(word)
        return subprocess.call([interpreter_for(args.python), str(Path(__file__).resolve()), *rest])
    errors: list = []
    cases = [(short, case) for short, case in discover(errors) if selected(short, case[0], args.filter)]
    if args.list:
        for short, case in cases:
            print(f"{short}: {case[0]}    target: {case[4] or '-'}")
        return 1 if errors else 0
    print(f"machine: {machine_description()}")
    print(f"timing: median of {args.repeat} interleaved samples of at least {args.min_time:g} s each"
          + ("" if args.raw else "; net of an empty call")
          + (" (quick smoke run: figures are meaningless)" if args.quick else ""))
    rows = []
    for short, case in cases:
        row = run_case(short, case, args)
        rows.append(row)
        if "error" in row:
            errors.append(f"{short}: {row['operation']}: {row['error']}")
        if sys.stderr.isatty():
            print(f"  {short}: {row['operation']}: {row['holds']}", file=sys.stderr, flush=True)
    print()
    if rows:
        print_table(rows, args.markdown, sys.stdout)
        baselines = [row["baseline"] for row in rows if row.get("baseline")]
        if baselines:
            print(f"\nempty call subtracted: {_harness.format_time(min(baselines))} "
                  f"to {_harness.format_time(max(baselines))}")
    else:
        print("no benchmark cases found" + (f" matching {args.filter}" if args.filter else ""))
    if any(row.get("holds") == "bound" for row in rows):
        print("bound: the target is missed, and the floor in the stdlib column (a C routine doing no more "
              "work) is itself less than that much faster than pure Python (see py/std)")
    notes = [f"{row['bench']}: {row['operation']}: {row['note']}" for row in rows if row.get("note")]
    for note in notes:
        print(f"note: {note}")
    for error in errors:
        print(f"error: {error}", file=sys.stderr)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
