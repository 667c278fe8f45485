"""tavro.expr: nodes, operators, paths, function paths, printing, pickling.

Nodes define __eq__ and are always true, so they are compared with `is`,
repr() or their evaluated values, never with ==.
"""
import copy
import gc
import operator
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from interpreter import message_of
from tavro import _pure
import tavro.expr as expr
from tavro.expr import BinExpr, ExprMixin, FuncPath, Path, Path2, UniExpr
from tavro.expr import abs_, len_, list_, max_, min_, obj_, sum_, this


def run_python(code):
    """Runs code in a fresh interpreter; returns (returncode, stdout, stderr)."""
    done = subprocess.run([sys.executable, "-c", _pure.child_code() + textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=300)
    return done.returncode, done.stdout, done.stderr


# ---- module ---------------------------------------------------------------------

def test_namespace_order_and_no_all():
    public = [n for n in vars(expr) if not n.startswith("_")]
    assert public == ["operator", "opnames", "ExprMixin", "UniExpr", "BinExpr", "Path", "Path2", "FuncPath",
                      "this", "obj_", "list_", "len_", "sum_", "min_", "max_", "abs_"]
    assert not hasattr(expr, "__all__")
    assert expr.operator is operator
    assert operator.div is operator.truediv


def test_operator_div_is_added_at_import():
    code = """
        import operator
        assert not hasattr(operator, "div")
        import tavro.expr
        assert operator.div is operator.truediv
        print("ok")
    """
    assert run_python(code)[1].strip() == "ok"


def test_opnames_entries_in_order():
    expected = [
        (operator.add, "+"), (operator.sub, "-"), (operator.mul, "*"), (operator.truediv, "/"),
        (operator.floordiv, "//"), (operator.mod, "%"), (operator.pow, "**"), (operator.xor, "^"),
        (operator.lshift, "<<"), (operator.rshift, ">>"), (operator.and_, "and"), (operator.or_, "or"),
        (operator.not_, "not"), (operator.neg, "-"), (operator.pos, "+"), (operator.contains, "in"),
        (operator.gt, ">"), (operator.ge, ">="), (operator.lt, "<"), (operator.le, "<="), (operator.eq, "=="),
        (operator.ne, "!="),
    ]
    assert type(expr.opnames) is dict
    assert list(expr.opnames.items()) == expected


# ---- classes ----------------------------------------------------------------------

CLASSES = [ExprMixin, UniExpr, BinExpr, Path, Path2, FuncPath]


@pytest.mark.parametrize("cls", CLASSES)
def test_ordinary_classes(cls):
    assert cls.__module__ == "tavro.expr"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == ((object,) if cls is ExprMixin else (ExprMixin,))
    assert cls.__doc__ is None
    assert cls.__hash__ is None
    assert "__hash__" in vars(cls) if cls is ExprMixin else "__hash__" not in vars(cls)
    assert hasattr(cls, "__weakref__")

    class Sub(cls):
        pass

    assert isinstance(Sub.__new__(Sub), cls)


@pytest.mark.parametrize("method, text", [
    (BinExpr.__init__, "(self, /, op, lhs, rhs)"), (UniExpr.__init__, "(self, /, op, operand)"),
    (Path.__init__, "(self, /, name, field=None, parent=None)"), (FuncPath.__init__, "(self, /, func, operand=None)"),
    (ExprMixin.__radd__, "(self, /, other)"), (ExprMixin.__neg__, "(self, /)"), (Path2.__call__, "(self, /, *args)"),
    (BinExpr.__call__, "(self, /, obj, *args)"), (ExprMixin.__setstate__, "(self, /, attrs)"),
])
def test_method_signatures_and_docs(method, text):
    import inspect
    assert str(inspect.signature(method)) == text
    assert method.__doc__ is None


def test_exprmixin_namespace():
    assert ExprMixin.__div__ is ExprMixin.__dict__["__floordiv__"]
    assert ExprMixin.__rdiv__ is ExprMixin.__dict__["__rfloordiv__"]
    assert ExprMixin.__inv__ is ExprMixin.__dict__["__invert__"]
    for name in ("__abs__", "__matmul__", "__divmod__", "__index__", "__int__", "__iter__", "__len__", "__bool__",
                 "__iadd__"):
        assert name not in vars(ExprMixin)
    assert "__str__" not in vars(Path2) and "__getattr__" not in vars(Path2)


@pytest.mark.parametrize("node", [BinExpr(operator.add, 1, 2), UniExpr(operator.neg, 5), this.a, list_[0], len_])
def test_nodes_unhashable_and_true(node):
    with pytest.raises(TypeError):
        hash(node)
    assert bool(node) is True
    assert node in [1]  # == builds a node, which is true


def test_instance_dicts_hold_exactly_the_documented_names():
    assert list(vars(UniExpr(operator.neg, 5))) == ["op", "operand"]
    assert list(vars(BinExpr(operator.add, 1, 2))) == ["op", "lhs", "rhs"]
    assert vars(this.a) == {"_Path__name": "this", "_Path__field": "a", "_Path__parent": this}.__class__(
        _Path__name="this", _Path__field="a", _Path__parent=vars(this.a)["_Path__parent"])
    assert list(vars(this.a)) == ["_Path__name", "_Path__field", "_Path__parent"]
    assert list(vars(list_[1])) == ["_Path2__name", "_Path2__index", "_Path2__parent"]
    assert list(vars(len_)) == ["_FuncPath__func", "_FuncPath__operand"]
    assert this.__getstate__() == {"_Path__name": "this", "_Path__field": None, "_Path__parent": None}


@pytest.mark.parametrize("call, message", [
    (lambda: BinExpr(1), "__init__() takes exactly 4 positional arguments (2 given)"),
    (lambda: BinExpr(1, 2, 3, 4), "__init__() takes exactly 4 positional arguments (5 given)"),
    (lambda: UniExpr(op=1), "__init__() takes exactly 3 positional arguments (2 given)"),
    (lambda: BinExpr(1, 2, 3, x=1), "__init__() got an unexpected keyword argument 'x'"),
    (lambda: BinExpr(1, 2, 3, op=1), "__init__() got multiple values for keyword argument 'op'"),
    (lambda: Path(), "__init__() takes at least 2 positional arguments (1 given)"),
    (lambda: Path("a", 1, 2, 3), "__init__() takes at most 4 positional arguments (5 given)"),
    (lambda: FuncPath(), "__init__() takes at least 2 positional arguments (1 given)"),
    (lambda: this.__add__(), "__add__() takes exactly 2 positional arguments (1 given)"),
    (lambda: this.__neg__(1), "__neg__() takes exactly 1 positional argument (2 given)"),
    (lambda: pow(this, 2, 3), "__pow__() takes exactly 2 positional arguments (3 given)"),
    (lambda: this(), "__call__() takes at least 2 positional arguments (1 given)"),
    (lambda: this.a(), "__call__() takes at least 2 positional arguments (1 given)"),
    (lambda: (this + 1)(), "__call__() takes at least 2 positional arguments (1 given)"),
    (lambda: (-this)(), "__call__() takes at least 2 positional arguments (1 given)"),
    (lambda: len_(), "__call__() takes at least 2 positional arguments (1 given)"),
    (lambda: this({}, obj={}), "__call__() got multiple values for keyword argument 'obj'"),
    (lambda: list_({}, [], key=1), "__call__() got an unexpected keyword argument 'key'"),
    (lambda: this.__getstate__(1), "__getstate__() takes exactly 1 positional argument (2 given)"),
    (lambda: this.__setstate__(), "__setstate__() takes exactly 2 positional arguments (1 given)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_arguments():
    e = BinExpr(op=operator.sub, rhs=1, lhs=10)
    assert e({}) == 9
    assert Path(name="x", parent=this, field="f").__getfield__() == "f"
    assert (this.a + 1)(obj={"a": 1}) == 2
    assert FuncPath(func=len, operand=this)(operand=[1, 2]) == 2


# ---- operators ----------------------------------------------------------------------

BINARY = [
    ("__add__", operator.add, "+"), ("__sub__", operator.sub, "-"), ("__mul__", operator.mul, "*"),
    ("__floordiv__", operator.floordiv, "//"), ("__truediv__", operator.truediv, "/"),
    ("__mod__", operator.mod, "%"), ("__pow__", operator.pow, "**"), ("__xor__", operator.xor, "^"),
    ("__rshift__", operator.rshift, ">>"), ("__lshift__", operator.lshift, "<<"),
    ("__and__", operator.and_, "and"), ("__or__", operator.or_, "or"),
]
COMPARE = [("__gt__", operator.gt, ">"), ("__ge__", operator.ge, ">="), ("__lt__", operator.lt, "<"),
           ("__le__", operator.le, "<="), ("__eq__", operator.eq, "=="), ("__ne__", operator.ne, "!="),
           ("__contains__", operator.contains, "in")]
REFLECTED = {"__gt__": "<", "__ge__": "<=", "__lt__": ">", "__le__": ">=", "__eq__": "==", "__ne__": "!="}


@pytest.mark.parametrize("method, op, symbol", BINARY)
def test_binary_operators_keep_written_order(method, op, symbol):
    x = this.x
    infix = getattr(operator, method.strip("_").rstrip("_") if method != "__and__" and method != "__or__"
                    else method.strip("_") + "_")
    for node, lhs, rhs in [(infix(x, 3), x, 3), (infix(3, x), 3, x), (getattr(x, method)(3), x, 3),
                           (getattr(x, "__r" + method[2:])(3), 3, x)]:
        assert type(node) is BinExpr
        assert node.op is op and node.lhs is lhs and node.rhs is rhs
        assert repr(node) == "(%r %s %r)" % (lhs, symbol, rhs)


@pytest.mark.parametrize("method, op, symbol", COMPARE)
def test_comparisons(method, op, symbol):
    node = getattr(this.x, method)(3)
    assert type(node) is BinExpr and node.op is op and node.lhs is not None and node.rhs == 3
    assert repr(node) == "(this.x %s 3)" % symbol
    if method in REFLECTED:
        reflected = eval("3 %s e" % REFLECTED[method], {"e": this.x})
        assert repr(reflected) == "(this.x %s 3)" % symbol


def test_unary_operators_and_membership():
    for node, op, symbol in [(-this.x, operator.neg, "-"), (+this.x, operator.pos, "+"),
                             (~this.x, operator.not_, "not")]:
        assert type(node) is UniExpr and node.op is op and repr(node.operand) == "this.x"
        assert repr(node) == symbol + " this.x"
    assert (~this.x)({"x": 0}) is True
    assert (3 in this.x) is True  # the node built by __contains__ is true
    node = this.x.__contains__(3)
    assert node({"x": [1, 3]}) is True and node({"x": [1]}) is False


def test_inplace_falls_back_and_div_aliases():
    e = this.x
    original = e
    e += 1
    assert repr(e) == "(this.x + 1)" and e is not original
    assert repr(this.x.__div__(2)) == "(this.x // 2)"
    assert repr(this.x.__rdiv__(2)) == "(2 // this.x)"
    assert repr(this.x.__inv__()) == "not this.x"


def test_operators_with_foreign_operands():
    class Left:
        def __add__(self, other):
            return NotImplemented

    class Greedy:
        def __radd__(self, other):
            return "greedy"

    left = Left()
    node = left + this.x
    assert node.lhs is left and repr(node.rhs) == "this.x"
    assert this.x + Greedy() is not None and type(this.x + Greedy()) is BinExpr  # ours is asked first
    sub = type("Sub", (BinExpr,), {"__radd__": lambda self, other: "sub radd"})
    instance = sub(operator.add, 1, 2)
    assert (this + instance) == "sub radd"  # a subclass on the right is asked first
    plain_sub = type("PlainSub", (BinExpr,), {})(operator.add, 1, 2)
    node = this + plain_sub
    assert node.lhs is this and node.rhs is plain_sub


# ---- printing ----------------------------------------------------------------------

@pytest.mark.parametrize("node, text_repr, text_str", [
    (BinExpr(operator.add, 1, 2), "(1 + 2)", "(1 + 2)"),
    (BinExpr(operator.add, "a", "b"), "('a' + 'b')", "(a + b)"),
    (UniExpr(operator.neg, 5), "- 5", "- 5"),
    (this, "this", "this"),
    (obj_, "obj_", "obj_"),
    (list_, "list_", "list_"),
    (this.a.b, "this.a.b", "this['a']['b']"),
    (this["a"], "this.a", "this['a']"),
    (this[0], "this.0", "this[0]"),
    (this.a + 1, "(this.a + 1)", "(this['a'] + 1)"),
    (list_[-1], "list_[-1]", "list_[-1]"),
    (list_["k"][0], "list_['k'][0]", "list_['k'][0]"),
    (len_, "len_", "len_"),
    (len_(this.items), "len_(this.items)", "len_(this['items'])"),
    (len_(len_(this.x)), "len_(len_(this.x))", "len_(len_(this['x']))"),
    (FuncPath(lambda v: v), "<lambda>_", "<lambda>_"),
    (FuncPath(len, "ab"), "len_('ab')", "len_(ab)"),
    (this.x & 1, "(this.x and 1)", "(this['x'] and 1)"),
    (this.x / 2, "(this.x / 2)", "(this['x'] / 2)"),
])
def test_printing(node, text_repr, text_str):
    assert repr(node) == text_repr
    assert str(node) == text_str


class Loud(str):
    def __str__(self):
        return "LOUD"

    def __repr__(self):
        return "Loud!"


@pytest.mark.parametrize("field", [(1, 2), Loud("q"), "é€", None, {"k": 1}])
def test_printing_formats_like_percent(field, monkeypatch):
    assert repr(this[field]) == "%r.%s" % (this, field)
    assert str(this[field]) == "%s[%r]" % (this, field)
    assert repr(list_[field]) == "%r[%r]" % (list_, field)
    assert repr(FuncPath(len, field)) == "len_(%r)" % (field,) if field is not None else "len_"
    monkeypatch.setitem(expr.opnames, operator.add, field)
    assert repr(BinExpr(operator.add, field, 1)) == "(%r %s %r)" % (field, field, 1)
    assert str(UniExpr(operator.add, field)) == "%s %s" % (field, field)


def test_printing_errors_and_opnames_lookup(monkeypatch):
    with pytest.raises(KeyError) as info:
        repr(BinExpr(abs, 1, 2))
    assert info.value.args == (abs,)
    with pytest.raises(KeyError):
        str(UniExpr(abs, 1))
    assert BinExpr(abs, 1, 2) is not None
    monkeypatch.setitem(expr.opnames, abs, "ABS")
    assert repr(UniExpr(abs, -1)) == "ABS -1"
    monkeypatch.setattr(expr, "opnames", {operator.add: "plus"})
    assert repr(this.a + 1) == "(this.a plus 1)"
    with pytest.raises(TypeError):
        repr(Path(5))
    with pytest.raises(AttributeError):
        repr(FuncPath(object()))


# ---- evaluation ----------------------------------------------------------------------

def test_evaluation_examples():
    assert BinExpr(operator.add, 1, 2)(None) == 3
    seen = []

    def lookup(c, *rest):
        seen.append((c, rest))
        return c["n"]

    e = BinExpr(operator.mul, lookup, 2)
    assert e({"n": 3}) == 6 and e({"n": 3}, "extra", 7) == 6
    assert seen == [({"n": 3}, ()), ({"n": 3}, ())]
    assert BinExpr(operator.add, int, 1)("41") == 42  # callable constants are called
    assert (this.count * 2)({"count": 5}) == 10
    ctx = {"a": {"b": 7}}
    assert this(ctx) is ctx and this.a.b(ctx) == 7 and obj_.a(ctx) is ctx["a"]
    assert (this.x / 2)({"x": 3}) == 1.5 and (this.x // 2)({"x": 3}) == 1
    assert (this.x & 1)({"x": 3}) == 1 and (this.x | 4)({"x": 3}) == 7
    assert (this.x ** 2)({"x": 3}) == 9 and (2 ** this.x)({"x": 3}) == 8
    assert (1 < this.x)({"x": 3}) is True


@pytest.mark.parametrize("parent, expected", [
    (this.a, 1),
    (Path("m", "a", this), 1),
    (type("Sub", (Path,), {})("m", "a", this), 1),
    (lambda c, *rest: c["a"], 1),
    (BinExpr(operator.getitem, this.b, 0), 7),
    (type("Sub", (Path,), {})("root").b[0], 7),
])
def test_path_parents_of_every_kind(parent, expected):
    ctx = {"a": {"k": 1}, "b": [{"k": 7}]}
    assert Path("n", "k", parent)(ctx, "dropped") == expected


def test_context_lookups_follow_item_access():
    class Defaulting(dict):
        def __missing__(self, key):
            return "default " + key

    assert this.a(Defaulting()) == "default a" and list_["k"]({}, Defaulting()) == "default k"
    with pytest.raises(KeyError) as info:
        list_[("t", 1)]({}, {})
    assert info.value.args == (("t", 1),)
    with pytest.raises(TypeError):
        this[[1]]({})
    assert this[("t", 1)]({("t", 1): 5}) == 5 and this[0]([7]) == 7


def test_evaluation_errors_propagate():
    with pytest.raises(KeyError) as info:
        this.a({})
    assert info.value.args == ("a",)
    with pytest.raises(ZeroDivisionError):
        (this.x / 0)({"x": 1})
    with pytest.raises(TypeError):
        (this.x + 1)({"x": "s"})
    with pytest.raises(IndexError):
        list_({})
    with pytest.raises(IndexError):
        (list_[-1] == 6)({}, [5, 6])
    with pytest.raises(TypeError):
        this.a(5)


def test_paths_and_function_paths():
    ctx = {"items": [1, 2, 3], "a": [3, 9, 4], "x": 3}
    assert list_(ctx, [5, 6]) == [5, 6] and list_[-1](ctx, [5, 6]) == 6
    assert len_(this.items)(ctx) == 3 and repr(len_) == "len_"
    assert len_([1, 2, 3]) == [1, 2, 3] and FuncPath(len, [1, 2])("anything") == 2
    assert max_(this.a)(ctx) == 9 and min_(this.a)(ctx) == 3 and sum_(this.a)(ctx) == 16
    assert abs_(this.x - 10)(ctx) == 7
    node = len_(this.items) > 0
    assert type(node) is BinExpr and node(ctx) is True and node({"items": []}) is False
    bound = len_(this.items)
    assert bound(ctx, "ignored") == 3 and bound({"items": "ab"}) == 2  # re-evaluates, never rebinds
    assert this.a.__getfield__() == "a" and this.__getfield__() is None
    assert this.a is not this.a


def test_paths_build_from_fallback_only():
    assert type(this.keys) is Path and type(this._private) is Path
    assert repr(this._private) == "this._private"
    assert this.__getstate__.__name__ == "__getstate__"
    assert repr(this["__getstate__"]) == "this.__getstate__" and repr(this["__name__"]) == "this.__name__"
    for probe in ("__deepcopy__", "__length_hint__", "__reduce_foo__", "__x__"):
        with pytest.raises(AttributeError) as info:
            getattr(this.a, probe)
        assert str(info.value) == "'Path' object has no attribute '%s'" % probe
    assert not hasattr(this, "__fspath__")
    assert type(getattr(this, "__")) is Path  # not a probe: nothing between the underscores
    with pytest.raises(AttributeError) as info:
        list_.size
    assert str(info.value) == "'Path2' object has no attribute 'size'"
    assert Path.__getattr__(this, 5).__getfield__() == 5


@pytest.mark.parametrize("path", [this, this.a, list_, list_[0], type("P", (Path,), {})("p")])
def test_paths_are_not_iterable(path):
    with pytest.raises(TypeError) as info:
        iter(path)
    assert str(info.value) == "'%s' object is not iterable" % type(path).__name__
    with pytest.raises(TypeError):
        list(path)


def test_attributes_are_read_at_every_call():
    e = this.a + 1
    ctx = {"a": 1, "b": 10}
    assert e(ctx) == 2
    e.rhs = 5
    assert e(ctx) == 6
    e.op = operator.mul
    assert e(ctx) == 5
    e.lhs = this.b
    assert e(ctx) == 50
    vars(e)["rhs"] = 2
    assert e(ctx) == 20
    e.__dict__ = {"op": operator.sub, "lhs": 9, "rhs": 4}
    assert e(ctx) == 5
    del e.rhs
    with pytest.raises(AttributeError):
        e(ctx)
    p = this.a
    p(ctx)
    p._Path__field = "b"
    assert p(ctx) == 10
    f = len_(this.a)
    f._FuncPath__func = lambda v: "f"
    assert f({"a": 1}) == "f"


def test_nodes_made_where_freed_nodes_were_are_read_afresh():
    # Reads are remembered per instance; a new node often takes the memory of
    # one just freed, and must not see its predecessor's attributes.
    ctx = {"a": 3}
    for i in range(300):
        node = BinExpr(operator.add, this.a, i)
        assert node(ctx) == 3 + i and (this.a * i)(ctx) == 3 * i
        del node
    for cls_a, cls_b in [(BinExpr, UniExpr), (UniExpr, BinExpr)]:
        for i in range(50):
            a = cls_a(operator.neg, i, i) if cls_a is BinExpr else cls_a(operator.neg, i)
            a.__class__ = cls_b  # same dict, different attributes wanted
            with pytest.raises((AttributeError, TypeError)):
                a({})
            del a


class Tracked:
    """A non-callable operand whose life a weak reference watches."""

    def __radd__(self, other):
        return other


@pytest.mark.parametrize("cls", [BinExpr, type("Sub", (BinExpr,), {"__del__": lambda self: None})])
@pytest.mark.native_only("what a native node remembers of its reads")
def test_remembered_values_live_no_longer_than_their_node(cls):
    # A node remembers what it read (free-threaded builds keep a reference to
    # every value read, and to the values it read before a change, until the
    # node goes): nothing it read may outlive it, also in a cycle through it.
    operands = [Tracked() for _ in range(8)]
    watched = [weakref.ref(operand) for operand in operands]
    node = cls(operator.add, this.a, operands[0])
    for operand in operands:  # more changes than a node remembers
        node.rhs = operand
        assert node({"a": 1}) == 1 and node({"a": 2}) == 2
    operands[0].node = node  # a cycle through what the node read first
    operands[-1].node = node  # and through its dict
    died = []
    probe = weakref.ref(node, died.append)
    del node, operands, operand
    gc.collect()
    assert died and probe() is None
    assert [ref() for ref in watched] == [None] * 8


def test_a_node_dict_replaced_between_evaluations_is_read_afresh():
    node = this.a + 1
    assert node({"a": 1}) == 2 and node({"a": 1}) == 2
    node.__dict__ = {"op": operator.sub, "lhs": this.a, "rhs": 10}
    assert node({"a": 1}) == -9 and node({"a": 1}) == -9
    del node.__dict__
    with pytest.raises(AttributeError):
        node({"a": 1})


def test_class_attributes_that_shadow_state_are_honoured():
    class Shadow(BinExpr):
        lhs = property(lambda self: 100, lambda self, value: None)

    node = Shadow(operator.add, 1, 2)
    assert node({}) == 102
    class Getter(Path):
        def __getattr__(self, name):
            return "got " + name

    assert Getter("x").anything == "got anything"

    class CountingOp(UniExpr):
        reads = 0

        def __getattribute__(self, name):
            if name == "operand":
                type(self).reads += 1
            return object.__getattribute__(self, name)

    node = CountingOp(operator.neg, 4)
    assert node({}) == -4 and CountingOp.reads == 2  # read, then read again


# ---- module globals at call time --------------------------------------------------

@pytest.mark.parametrize("base", [BinExpr, UniExpr, Path, Path2, FuncPath])
def test_subclasses_use_the_methods(base):
    sub = type("Sub", (base,), {})
    node = {BinExpr: lambda: sub(operator.add, this.x, 1), UniExpr: lambda: sub(operator.neg, this.x),
            Path: lambda: sub("this", "x", this), Path2: lambda: sub("list_", 0, list_),
            FuncPath: lambda: sub(abs)}[base]()
    if base is FuncPath:
        bound = node(this.x)
        assert type(bound) is FuncPath and bound({"x": -2}) == 2 and node(-3) == -3
    elif base is Path2:
        assert node({}, [7]) == 7 and type(node[1]) is Path2 and repr(node[1]) == "list_[0][1]"
    else:
        assert node({"x": 2}) in (3, -2, 2)
        assert type(node + 1) is BinExpr and type(-node) is UniExpr and type(node == 1) is BinExpr
    if base is Path:
        assert type(node.y) is Path and repr(node.y) == "this.x.y" and type(node["y"]) is Path
        with pytest.raises(AttributeError):
            node.__deepcopy__
    assert repr(copy.deepcopy(node)) == repr(node)


def test_module_globals_are_read_at_call_time(monkeypatch):
    class MyBin(BinExpr):
        pass

    class MyUni(UniExpr):
        pass

    class MyPath(Path):
        pass

    monkeypatch.setattr(expr, "BinExpr", MyBin)
    monkeypatch.setattr(expr, "UniExpr", MyUni)
    monkeypatch.setattr(expr, "Path", MyPath)
    assert type(this + 1) is MyBin and type(1 - this) is MyBin and type(this == 1) is MyBin
    assert type(-this) is MyUni and type(this.a) is MyPath and type(this["a"]) is MyPath
    assert ((this.a * 2) + 1)({"a": 3}) == 7  # generic slots of subclasses, same answers
    monkeypatch.setattr(expr, "BinExpr", lambda *a: ("built",) + a)
    assert (this + 1) == ("built", operator.add, this, 1)
    fake = type("FakeOperator", (), {"add": "ADD", "neg": "NEG"})()
    monkeypatch.setattr(expr, "operator", fake)
    assert (this + 1)[1] == "ADD" and (-this).op == "NEG"


def test_generic_slots_give_the_same_answers():
    # Assigning a dunder makes the interpreter put its generic slot back, which
    # then calls the method: every operation must answer as the native slot did.
    code = '''
        import copy, operator, pickle
        import tavro.expr as m
        from tavro.expr import this, list_, len_, abs_, BinExpr, UniExpr, Path, Path2, FuncPath, ExprMixin

        def results():
            ctx = {"a": {"b": 3}, "items": [1, 2], "x": -4}
            out = []
            for build in (lambda: this.a.b * 2 + 1, lambda: 1 - this.x, lambda: -this.x, lambda: ~this.x,
                          lambda: this.x < 3, lambda: 3 < this.x, lambda: len_(this.items) > 0,
                          lambda: abs_(this.x - 10), lambda: this["a"]["b"] // 2, lambda: this.x & 1 | 2 ^ 3,
                          lambda: this.x << 2 >> 1, lambda: this.x % 3 / 2):
                node = build()
                out.append((type(node).__name__, repr(node), str(node), node(ctx),
                            repr(pickle.loads(pickle.dumps(node))), repr(copy.deepcopy(node))))
            out.append(list_[1]({}, [5, 6]))
            for probe in (lambda: this.__deepcopy__, lambda: BinExpr(1), lambda: this(), lambda: list(this)):
                try:
                    probe()
                except Exception as exc:
                    out.append((type(exc).__name__, str(exc)))
            return out

        before = results()
        for cls in (ExprMixin, UniExpr, BinExpr, Path, Path2, FuncPath):
            for name, value in list(vars(cls).items()):
                if name.startswith("__") and name.endswith("__") and callable(value):
                    setattr(cls, name, value)
        after = results()
        assert before == after, (before, after)
        print("same")
    '''
    code_, out, err = run_python(code)
    assert out.strip() == "same", err[-3000:]


def test_reassigned_call_is_honoured_by_every_caller():
    # Node instances are called through a fast entry; once __call__ is
    # replaced on the class, every way of calling a node must reach the new one.
    code = """
        from tavro.expr import this, len_, list_, BinExpr, UniExpr, Path, Path2, FuncPath
        nodes = [this.a + 1, -this.a, this.a, list_[0], len_(this.a)]
        for cls in (BinExpr, UniExpr, Path, Path2, FuncPath):
            cls.__call__ = lambda self, *args, **kwargs: (type(self).__name__, len(args), sorted(kwargs))
        direct = [node({}) for node in nodes]
        keyword = [node({}, k=1) for node in nodes]
        nested = BinExpr(lambda l, r: (l, r), nodes[0], nodes[1])
        print(direct, keyword, BinExpr.__call__.__get__(nested)({}))
    """
    code_, out, err = run_python(code)
    assert out.split() == (
        "[('BinExpr', 1, []), ('UniExpr', 1, []), ('Path', 1, []), ('Path2', 1, []), ('FuncPath', 1, [])]"
        " [('BinExpr', 1, ['k']), ('UniExpr', 1, ['k']), ('Path', 1, ['k']), ('Path2', 1, ['k']),"
        " ('FuncPath', 1, ['k'])] ('BinExpr', 1, [])").split(), err[-3000:]


def test_class_assignment_between_node_classes():
    node = this.a + 1
    node.__class__ = UniExpr
    node.operand = this.a
    node.op = operator.neg
    assert node({"a": 4}) == -4 and repr(node) == "- this.a"

    class MyBin(BinExpr):
        pass

    node.__class__ = MyBin
    node.lhs, node.op, node.rhs = this.a, operator.add, 1
    assert node({"a": 4}) == 5 and type(node) is MyBin
    node.__class__ = FuncPath
    with pytest.raises(AttributeError, match="_FuncPath__operand"):
        node({})
    rebuilt = object.__new__(BinExpr)
    rebuilt.__setstate__({"op": operator.sub, "lhs": 10, "rhs": this.a})
    assert rebuilt({"a": 4}) == 6


def test_module_dict_with_foreign_keys(monkeypatch):
    monkeypatch.setitem(vars(expr), 12345, "not a name")
    assert repr(this.a + 1) == "(this.a + 1)"
    monkeypatch.setattr(expr, "BinExpr", BinExpr)  # a new version of the module dict
    assert type(this.a + 1) is BinExpr


def test_not_implemented_from_a_rebound_class(monkeypatch):
    calls = []

    def refuse(op, lhs, rhs):
        calls.append((lhs, rhs))
        return NotImplemented

    monkeypatch.setattr(expr, "BinExpr", refuse)
    left, right = this.a, UniExpr(operator.neg, 1)
    for a, b, expected_calls in [(left, 1, 1), (1, left, 1), (left, this.b, 1), (left, right, 2)]:
        calls.clear()
        with pytest.raises(TypeError):
            a + b
        assert len(calls) == expected_calls and all(c[0] is a and c[1] is b for c in calls)


def test_path2_and_funcpath_globals(monkeypatch):
    monkeypatch.setattr(expr, "Path2", lambda *a: a)
    assert list_[3] == ("list_", 3, list_)
    monkeypatch.setattr(expr, "FuncPath", lambda *a: a)
    assert len_(this) == (len, this)


def test_missing_global_raises_name_error(monkeypatch):
    monkeypatch.delattr(expr, "BinExpr")
    with pytest.raises(NameError):
        this + 1


def test_operator_functions_are_not_assumed(monkeypatch):
    calls = []

    def fake_add(a, b):
        calls.append((a, b))
        return "sum"

    monkeypatch.setattr(operator, "add", fake_add)
    assert (this.x + 1)({"x": 1}) == "sum" and calls == [(1, 1)]
    assert BinExpr(operator.neg, 1, 2) is not None
    with pytest.raises(TypeError):
        BinExpr(operator.neg, 1, 2)({})
    assert UniExpr(len, "abc")({}) == 3 and UniExpr(abs, -3)({}) == 3


# ---- random trees against plain Python ------------------------------------------------

SAFE_BINARY = [(operator.add, "+"), (operator.sub, "-"), (operator.mul, "*"), (operator.xor, "^"),
               (operator.and_, "&"), (operator.or_, "|"), (operator.lt, "<"), (operator.ge, ">="),
               (operator.eq, "=="), (operator.ne, "!=")]


@st.composite
def trees(draw, depth=0):
    """(node, python source of the same computation over the dict c)."""
    choice = draw(st.integers(0, 5 if depth < 5 else 1))
    if choice == 0:
        value = draw(st.integers(-50, 50))
        return value, repr(value)
    if choice == 1:
        key = draw(st.sampled_from("abc"))
        return getattr(this, key), "c[%r]" % key
    if choice == 2:
        node, source = draw(trees(depth + 1))
        kind = draw(st.sampled_from(["neg", "not", "abs"]))
        if kind == "neg":
            return -node if not isinstance(node, int) else UniExpr(operator.neg, node), "(-(%s))" % source
        if kind == "not":
            return UniExpr(operator.not_, node), "(not (%s))" % source
        return abs_(node) if callable(node) else FuncPath(abs, node), "abs(%s)" % source
    op, symbol = draw(st.sampled_from(SAFE_BINARY))
    left, left_source = draw(trees(depth + 1))
    right, right_source = draw(trees(depth + 1))
    return BinExpr(op, left, right), "((%s) %s (%s))" % (left_source, symbol, right_source)


@settings(max_examples=200, deadline=None)
@given(trees(), st.integers(-20, 20), st.integers(-20, 20), st.integers(-20, 20))
def test_random_trees_evaluate_like_python(tree, a, b, c_value):
    node, source = tree
    ctx = {"a": a, "b": b, "c": c_value}
    expected = eval(source, {}, {"c": ctx})
    value = node(ctx) if callable(node) else node
    assert value == expected and type(value) is type(expected)
    if callable(node):
        again = pickle.loads(pickle.dumps(node, 2))
        assert again(ctx) == expected and repr(again) == repr(node)


# ---- state, pickling, copying -----------------------------------------------------------

TREES = [BinExpr(operator.add, 1, 2), UniExpr(operator.neg, this.x), this, this.a.b, list_[-1]["k"],
         len_, len_(this.items) > 0, abs_(this.x - 10), ~(this.flags & 1 == 0), this["__name__"]]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("node", TREES, ids=repr)
def test_pickle_round_trip(node, protocol):
    data = pickle.dumps(node, protocol)
    again = pickle.loads(data)
    assert type(again) is type(node) and again is not node
    assert repr(again) == repr(node) and str(again) == str(node)
    assert b"tavro.expr" in data


@pytest.mark.parametrize("node", TREES, ids=repr)
def test_copy_and_deepcopy(node):
    ctx = {"x": 3, "items": [1], "a": {"b": 2}, "flags": 2, "__name__": "n"}
    for duplicate in (copy.copy(node), copy.deepcopy(node)):
        assert type(duplicate) is type(node) and duplicate is not node
        assert repr(duplicate) == repr(node)
        if isinstance(node, Path2):
            assert duplicate(ctx, [{"k": 5}]) == 5
        else:
            assert duplicate(ctx) == node(ctx)
    shallow = copy.copy(this.a.b)
    assert vars(shallow)["_Path__parent"] is vars(this.a.b)["_Path__parent"] or True
    deep = copy.deepcopy(this.a + this.b)
    assert deep.lhs is not deep.rhs


def test_pickle_refers_to_module_classes():
    data = pickle.dumps(BinExpr(operator.add, 1, this), 0)
    assert b"ctavro.expr\nBinExpr" in data or b"tavro.expr\nBinExpr" in data
    assert b"tavro.expr\nPath" in data


def test_getstate_is_a_copy_and_setstate_sets():
    node = UniExpr(operator.neg, 5)
    state = node.__getstate__()
    assert state == {"op": operator.neg, "operand": 5}
    state["operand"] = 9
    assert node.operand == 5
    assert node.__setstate__({"x": 1}) is None
    assert node.x == 1 and node.operand == 5
    node.__setstate__([("a", 1)].__iter__().__class__ and type("M", (), {"items": lambda s: [("y", 2)]})())
    assert node.y == 2


def _unpacked(item):
    name, value = item
    return name, value


@pytest.mark.parametrize("items, error, message", [
    # The interpreter's own text (3.14 counts the items of a tuple or list).
    ([("a", 1), ("b", 2, 3)], ValueError, message_of(lambda: _unpacked(("b", 2, 3)))),
    ([("a", 1), iter(("b", 2, 3))], ValueError, "too many values to unpack (expected 2)"),
    ([("a", 1), ("b",)], ValueError, "not enough values to unpack (expected 2, got 1)"),
    ([("a", 1), 5], TypeError, "cannot unpack non-iterable int object"),
    ([("a", 1), (5, 1)], TypeError, None),
])
def test_setstate_errors_keep_earlier_items(items, error, message):
    node = BinExpr(operator.add, 1, 2)
    holder = type("Holder", (), {"items": lambda self: items})()
    with pytest.raises(error) as info:
        node.__setstate__(holder)
    if message:
        assert str(info.value) == message
    assert node.a == 1


def test_getstate_walks_slots():
    class Slotted(BinExpr):
        __slots__ = ("x", "y")

    class Deeper(Slotted):
        __slots__ = "zz"  # a string: its characters are the names

    node = Deeper(operator.add, 1, 2)
    node.x = 10
    node.z = 3
    state = node.__getstate__()
    assert state == {"op": operator.add, "lhs": 1, "rhs": 2, "x": 10, "z": 3}
    again = copy.copy(node)
    assert again.x == 10 and again.z == 3 and again({}) == 3

    class BadSlots(BinExpr):
        pass

    BadSlots.__slots__ = (1,)
    with pytest.raises(TypeError) as info:
        BadSlots(operator.add, 1, 2).__getstate__()
    assert str(info.value) == "hasattr(): attribute name must be string"

    class RaisingDict(BinExpr):
        @property
        def __dict__(self):
            raise ValueError("no dict")

    assert RaisingDict(operator.add, 1, 2).__getstate__() == {}


# ---- deep trees and safety ---------------------------------------------------------------

def test_deep_trees_raise_recursion_error():
    code = """
        import operator, sys
        from tavro.expr import this, list_, len_, BinExpr, UniExpr, FuncPath
        depth = 100000
        trees = {}
        e = this.x
        for _ in range(depth):
            e = e + 1
        trees["binexpr"] = e
        u = this.x
        for _ in range(depth):
            u = -u
        trees["uniexpr"] = u
        p = this
        for _ in range(depth):
            p = p.a
        trees["path"] = p
        f = this.x
        for _ in range(depth):
            f = FuncPath(abs, f)
        trees["funcpath"] = f
        l = list_
        for _ in range(depth):
            l = l[0]
        trees["path2"] = l
        for name, tree in trees.items():
            for what, action in [("repr", repr), ("str", str), ("eval", lambda t: t({"x": 1}, [0]))]:
                try:
                    action(tree)
                except RecursionError:
                    pass
                else:
                    raise SystemExit("%s %s did not raise" % (name, what))
        print("ok")
    """
    code_, out, err = run_python(code)
    assert (code_, out.strip()) == (0, "ok"), err[-2000:]


def test_uninitialised_path_does_not_crash():
    bare = Path.__new__(Path)
    with pytest.raises(RecursionError):
        bare.anything
    with pytest.raises(RecursionError):  # reading the missing parent builds a path from the missing name
        bare({})


@pytest.mark.refleak
def test_no_reference_leaks():
    ctx = {"length": 4, "items": [1, 2], "a": {"b": 1}}
    e1, e2 = this.length * 2, len_(this.items) > 0

    def work():
        for _ in range(200):
            e1(ctx), e2(ctx), this.a.b(ctx), repr(e1), str(e2), this.a + 1, 1 - this, -this, this == 2
            list_[0]({}, [1]), len_(this.x), pickle.loads(pickle.dumps(e2)), copy.deepcopy(e1)
            try:
                this.missing(ctx)
            except KeyError:
                pass

    work()
    deltas = []
    for _ in range(5):
        before = sys.getallocatedblocks()
        work()
        deltas.append(sys.getallocatedblocks() - before)
    assert min(deltas) <= 0, deltas
