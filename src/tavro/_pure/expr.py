import operator

from tavro._pure._args import native_errors as _native_errors

if not hasattr(operator, "div"):
    operator.div = operator.truediv

opnames = {}
opnames[operator.add] = "+"
opnames[operator.sub] = "-"
opnames[operator.mul] = "*"
opnames[operator.div] = "/"
opnames[operator.floordiv] = "//"
opnames[operator.mod] = "%"
opnames[operator.pow] = "**"
opnames[operator.xor] = "^"
opnames[operator.lshift] = "<<"
opnames[operator.rshift] = ">>"
opnames[operator.and_] = "and"
opnames[operator.or_] = "or"
opnames[operator.not_] = "not"
opnames[operator.neg] = "-"
opnames[operator.pos] = "+"
opnames[operator.contains] = "in"
opnames[operator.gt] = ">"
opnames[operator.ge] = ">="
opnames[operator.lt] = "<"
opnames[operator.le] = "<="
opnames[operator.eq] = "=="
opnames[operator.ne] = "!="


def _has(obj, name):
    """Whether reading the attribute succeeds; any exception counts as absence."""
    try:
        getattr(obj, name)
    except Exception:
        return False
    return True


class ExprMixin(object):
    @_native_errors
    def __add__(self, /, other):
        return BinExpr(operator.add, self, other)

    @_native_errors
    def __sub__(self, /, other):
        return BinExpr(operator.sub, self, other)

    @_native_errors
    def __mul__(self, /, other):
        return BinExpr(operator.mul, self, other)

    @_native_errors
    def __floordiv__(self, /, other):
        return BinExpr(operator.floordiv, self, other)

    @_native_errors
    def __truediv__(self, /, other):
        return BinExpr(operator.div, self, other)

    @_native_errors
    def __mod__(self, /, other):
        return BinExpr(operator.mod, self, other)

    @_native_errors
    def __pow__(self, /, other):
        return BinExpr(operator.pow, self, other)

    @_native_errors
    def __xor__(self, /, other):
        return BinExpr(operator.xor, self, other)

    @_native_errors
    def __rshift__(self, /, other):
        return BinExpr(operator.rshift, self, other)

    @_native_errors
    def __lshift__(self, /, other):
        return BinExpr(operator.lshift, self, other)

    @_native_errors
    def __and__(self, /, other):
        return BinExpr(operator.and_, self, other)

    @_native_errors
    def __or__(self, /, other):
        return BinExpr(operator.or_, self, other)

    @_native_errors
    def __radd__(self, /, other):
        return BinExpr(operator.add, other, self)

    @_native_errors
    def __rsub__(self, /, other):
        return BinExpr(operator.sub, other, self)

    @_native_errors
    def __rmul__(self, /, other):
        return BinExpr(operator.mul, other, self)

    @_native_errors
    def __rfloordiv__(self, /, other):
        return BinExpr(operator.floordiv, other, self)

    @_native_errors
    def __rtruediv__(self, /, other):
        return BinExpr(operator.div, other, self)

    @_native_errors
    def __rmod__(self, /, other):
        return BinExpr(operator.mod, other, self)

    @_native_errors
    def __rpow__(self, /, other):
        return BinExpr(operator.pow, other, self)

    @_native_errors
    def __rxor__(self, /, other):
        return BinExpr(operator.xor, other, self)

    @_native_errors
    def __rrshift__(self, /, other):
        return BinExpr(operator.rshift, other, self)

    @_native_errors
    def __rlshift__(self, /, other):
        return BinExpr(operator.lshift, other, self)

    @_native_errors
    def __rand__(self, /, other):
        return BinExpr(operator.and_, other, self)

    @_native_errors
    def __ror__(self, /, other):
        return BinExpr(operator.or_, other, self)

    @_native_errors
    def __neg__(self, /):
        return UniExpr(operator.neg, self)

    @_native_errors
    def __pos__(self, /):
        return UniExpr(operator.pos, self)

    @_native_errors
    def __invert__(self, /):
        return UniExpr(operator.not_, self)

    @_native_errors
    def __contains__(self, /, other):
        return BinExpr(operator.contains, self, other)

    @_native_errors
    def __gt__(self, /, other):
        return BinExpr(operator.gt, self, other)

    @_native_errors
    def __ge__(self, /, other):
        return BinExpr(operator.ge, self, other)

    @_native_errors
    def __lt__(self, /, other):
        return BinExpr(operator.lt, self, other)

    @_native_errors
    def __le__(self, /, other):
        return BinExpr(operator.le, self, other)

    @_native_errors
    def __eq__(self, /, other):
        return BinExpr(operator.eq, self, other)

    @_native_errors
    def __ne__(self, /, other):
        return BinExpr(operator.ne, self, other)

    @_native_errors
    def __getstate__(self, /):
        attrs = {}
        if _has(self, "__dict__"):
            attrs.update(self.__dict__)
        slots = []
        c = self.__class__
        while c is not None:
            if _has(c, "__slots__"):
                slots.extend(c.__slots__)
            c = c.__base__
        for name in slots:
            if not isinstance(name, str):
                raise TypeError("hasattr(): attribute name must be string")
            if _has(self, name):
                attrs[name] = getattr(self, name)
        return attrs

    @_native_errors
    def __setstate__(self, /, attrs):
        for name, value in attrs.items():
            setattr(self, name, value)

    __div__ = __floordiv__
    __rdiv__ = __rfloordiv__
    __inv__ = __invert__

    # Defining __eq__ makes the class unhashable: nodes are not keys.
    __hash__ = None



class UniExpr(ExprMixin):
    @_native_errors
    def __init__(self, /, op, operand):
        self.op = op
        self.operand = operand

    @_native_errors
    def __repr__(self, /):
        return "%s %r" % (opnames[self.op], self.operand)

    @_native_errors
    def __str__(self, /):
        return "%s %s" % (opnames[self.op], self.operand)

    @_native_errors
    def __call__(self, /, obj, *args):
        operand = self.operand(obj) if callable(self.operand) else self.operand
        return self.op(operand)


class BinExpr(ExprMixin):
    @_native_errors
    def __init__(self, /, op, lhs, rhs):
        self.op = op
        self.lhs = lhs
        self.rhs = rhs

    @_native_errors
    def __repr__(self, /):
        return "(%r %s %r)" % (self.lhs, opnames[self.op], self.rhs)

    @_native_errors
    def __str__(self, /):
        return "(%s %s %s)" % (self.lhs, opnames[self.op], self.rhs)

    @_native_errors
    def __call__(self, /, obj, *args):
        lhs = self.lhs(obj) if callable(self.lhs) else self.lhs
        rhs = self.rhs(obj) if callable(self.rhs) else self.rhs
        return self.op(lhs, rhs)



def _is_dunder(name):
    return isinstance(name, str) and len(name) > 4 and name.startswith("__") and name.endswith("__")


class Path(ExprMixin):
    @_native_errors
    def __init__(self, /, name, field=None, parent=None):
        self.__name = name
        self.__field = field
        self.__parent = parent

    @_native_errors
    def __repr__(self, /):
        if self.__parent is None:
            return self.__name
        return "%r.%s" % (self.__parent, self.__field)

    @_native_errors
    def __str__(self, /):
        if self.__parent is None:
            return self.__name
        return "%s[%r]" % (self.__parent, self.__field)

    @_native_errors
    def __call__(self, /, obj, *args):
        if self.__parent is None:
            return obj
        return self.__parent(obj)[self.__field]

    @_native_errors
    def __getfield__(self, /):
        return self.__field

    @_native_errors
    def __getattr__(self, /, name):
        # Protocol probes (__deepcopy__, __length_hint__, ...) are not fields.
        if _is_dunder(name):
            raise AttributeError(f"'{type(self).__name__}' object has no attribute '{name}'")
        return Path(self.__name, name, self)

    @_native_errors
    def __getitem__(self, /, name):
        return Path(self.__name, name, self)

    # Item access without __len__ would make the interpreter iterate paths
    # by index without end.
    __iter__ = None


class Path2(ExprMixin):
    @_native_errors
    def __init__(self, /, name, index=None, parent=None):
        self.__name = name
        self.__index = index
        self.__parent = parent

    @_native_errors
    def __repr__(self, /):
        if self.__parent is None:
            return self.__name
        return "%r[%r]" % (self.__parent, self.__index)

    @_native_errors
    def __call__(self, /, *args):
        if self.__parent is None:
            return args[1]
        return self.__parent(*args)[self.__index]

    @_native_errors
    def __getitem__(self, /, index):
        return Path2(self.__name, index, self)

    __iter__ = None


class FuncPath(ExprMixin):
    @_native_errors
    def __init__(self, /, func, operand=None):
        self.__func = func
        self.__operand = operand

    @_native_errors
    def __repr__(self, /):
        if self.__operand is None:
            return "%s_" % (self.__func.__name__,)
        return "%s_(%r)" % (self.__func.__name__, self.__operand)

    @_native_errors
    def __str__(self, /):
        if self.__operand is None:
            return "%s_" % (self.__func.__name__,)
        return "%s_(%s)" % (self.__func.__name__, self.__operand)

    @_native_errors
    def __call__(self, /, operand, *args):
        if self.__operand is None:
            return FuncPath(self.__func, operand) if callable(operand) else operand
        return self.__func(self.__operand(operand) if callable(self.__operand) else self.__operand)


this = Path("this")
obj_ = Path("obj_")
list_ = Path2("list_")
len_ = FuncPath(len)
sum_ = FuncPath(sum)
min_ = FuncPath(min)
max_ = FuncPath(max)
abs_ = FuncPath(abs)
