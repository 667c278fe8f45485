"""Benchmarks of tavro.expr against the pure-Python one (the literal model, tavro._pure).

cases() returns (operation, native_fn, python_fn, stdlib_fn_or_None, target) for
the shared runner (the third function is the peer: the equivalent lambda, or
operator.itemgetter for a bare key path); run this file directly to measure
them all in one run:

    python bench/bench_expr.py [--repeat 7] [--number 20000]

Each case is timed interleaved (native, pure, lambda, ...) and the median of
the repeats is reported per call.
"""
import operator
import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tavro.expr as native  # noqa: E402
from tavro import _pure  # noqa: E402

pure = _pure.load(binder=False).expr  # the algorithm as plain Python


def cases():
    ctx = {"length": 21, "items": [1, 2, 3], "a": {"b": 7}}

    n_length = native.this.length * 2
    p_length = pure.this.length * 2
    l_length = lambda c: c["length"] * 2  # noqa: E731

    n_items = native.len_(native.this.items) > 0
    p_items = pure.len_(pure.this.items) > 0
    l_items = lambda c: len(c["items"]) > 0  # noqa: E731

    n_ab = native.this.a.b
    p_ab = pure.this.a.b
    l_ab = lambda c: c["a"]["b"]  # noqa: E731
    n_field, p_field = native.this.length, pure.this.length
    getter = operator.itemgetter("length")
    n_this, p_this = native.this, pure.this
    n_node, p_node = n_ab, p_ab

    eval_target = "<= 1.25x the lambda; >= 5x pure Python"
    build_target = ">= 10x pure Python"
    # Floor of building: a new dict holding the entries of the new instance's dict (a dict
    # display, BUILD_CONST_KEY_MAP: no call at all).
    op = native.operator.add
    return [
        ("eval this.length * 2", lambda: n_length(ctx), lambda: p_length(ctx), lambda: l_length(ctx), eval_target),
        ("eval len_(this.items) > 0", lambda: n_items(ctx), lambda: p_items(ctx), lambda: l_items(ctx),
         eval_target),
        ("eval this.a.b", lambda: n_ab(ctx), lambda: p_ab(ctx), lambda: l_ab(ctx), eval_target),
        ("eval this.length", lambda: n_field(ctx), lambda: p_field(ctx), lambda: getter(ctx),
         "<= 1.25x operator.itemgetter; >= 5x pure Python"),
        ("build this.a.b", lambda: n_this.a.b, lambda: p_this.a.b,
         lambda: {"name": "this", "field": "b", "parent": {"name": "this", "field": "a", "parent": n_this}},
         build_target),
        ("build e + 1", lambda: n_node + 1, lambda: p_node + 1, lambda: {"op": op, "lhs": n_node, "rhs": 1},
         build_target),
        ("build 1 - e", lambda: 1 - n_node, lambda: 1 - p_node, lambda: {"op": op, "lhs": 1, "rhs": n_node},
         build_target),
        ("build e == 1", lambda: n_node == 1, lambda: p_node == 1, lambda: {"op": op, "lhs": n_node, "rhs": 1},
         build_target),
        ("build len_(e)", lambda: native.len_(n_node), lambda: pure.len_(p_node),
         lambda: {"func": len, "operand": n_node}, build_target),
        ("build this['a']", lambda: n_this["a"], lambda: p_this["a"],
         lambda: {"name": "this", "field": "a", "parent": n_this}, build_target),
        # Floor: the three %-formattings alone, without walking the nodes.
        ("repr (this.a.b + 1)", lambda: repr(n_node + 1), lambda: repr(p_node + 1),
         lambda: "(%s %s %r)" % ("%s.%s" % ("%s.%s" % ("this", "a"), "b"), "+", 1), build_target),
    ]


def measure(repeat=7, number=20000):
    rows = []
    for name, native_fn, python_fn, stdlib_fn, target in cases():
        fns = [native_fn, python_fn] + ([stdlib_fn] if stdlib_fn else [])
        samples = [[] for _ in fns]
        for _ in range(repeat):
            for i, fn in enumerate(fns):
                samples[i].append(timeit.timeit(fn, number=number) / number * 1e9)
        medians = [sorted(s)[len(s) // 2] for s in samples]
        rows.append((name, medians, target))
    return rows


def main(argv):
    repeat = int(argv[argv.index("--repeat") + 1]) if "--repeat" in argv else 7
    number = int(argv[argv.index("--number") + 1]) if "--number" in argv else 20000
    print(f"{'operation':28} {'native ns':>10} {'pure ns':>10} {'lambda ns':>10} {'pure/nat':>9} {'nat/lambda':>10}")
    for name, medians, target in measure(repeat, number):
        nat, pur = medians[0], medians[1]
        lam = medians[2] if len(medians) > 2 else None
        lam_text = f"{lam:10.1f}" if lam else f"{'-':>10}"
        ratio = f"{nat / lam:10.2f}" if lam else f"{'-':>10}"
        print(f"{name:28} {nat:10.1f} {pur:10.1f} {lam_text} {pur / nat:9.1f} {ratio}   ({target})")


if __name__ == "__main__":
    main(sys.argv)
