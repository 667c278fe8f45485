"""The tavro scenarios of the hostile-dict harness (tools/hostile.py), and
what a scenario and an intervention are (the harness imports this file, not
the other way round): for
every function and method of the five modules, an operation on a fresh
subject that reaches its native fast paths, the subject's own dicts (instance
dicts, contexts, the dict a HexDisplayedDict is) and what a caller can see
afterwards. Which dicts and keys each operation reads is found by the
harness's probe, not listed here.

Values that a hostile key may free are made afresh for every case (int("1000"),
bytes built at run time): a constant of a code object is never freed.
"""
from __future__ import annotations

import operator
import sys
from types import SimpleNamespace

from dataclasses import dataclass
from typing import Any, Callable


@dataclass
class Scenario:
    """One operation with native fast paths, run on a fresh subject."""

    module: str  # the module whose functions or methods it calls
    name: str  # e.g. "RebufferedBytesIO.read inside the window"
    covers: tuple  # qualified names (fnmatch patterns) of what it calls
    setup: Callable[[], Any]  # -> subject, made afresh for every case
    run: Callable[[Any], Any]  # subject -> result (consumed: generators listed)
    dicts: Callable[[Any], dict] = lambda subject: {}  # the subject's own dicts: label -> dict
    state: Callable[[Any], Any] = lambda subject: None  # what a caller can see afterwards
    absent: tuple = ()  # keys looked up in the subject's dicts though absent


@dataclass
class Intervention:
    """An operation whose steps are interleaved with a change that a dict
    stamp cannot see; `observe(literal)` makes its subjects (through the
    literal-path subclass when `literal` is true), runs the steps and the
    changes, and returns what a caller saw."""

    module: str
    name: str
    observe: Callable[[bool], list]

# Functions and methods that read no dict a caller can reach: nothing for a
# hostile key to act on. (The coverage test requires every other public
# callable to appear in a scenario.)
READS_NOTHING = (
    "tavro.lib.portil.byte2int",
    "tavro.lib.portil.str2unicode",
    "tavro.lib.portil.unicode2str",
    "tavro.lib.portil.iterateints",
    "tavro.lib.portil.bytes2integers",
    "tavro.lib.binary.swapbytes",
    "tavro.lib.binary.swapbytesinbits",
)


def _m(name):
    # Not importlib: its look-ups in the module's namespace would count as
    # the operation's own.
    return sys.modules[name]


def fresh_int(value):
    return int(str(value))


_LETTERS = bytes(97 + i % 26 for i in range(26 + (1 << 16)))


def pattern(size, start=0):
    """`size` fresh bytes of lower-case letters (never the spray's bytes)."""
    return _LETTERS[start % 26:start % 26 + size]


def consume(value):
    """Results as a caller uses them: generators are iterated."""
    if hasattr(value, "__next__"):
        return list(value)
    return value


SCENARIOS: list[Scenario] = []


def scenario(module, name, covers, setup, run, dicts=None, state=None, absent=()):
    SCENARIOS.append(Scenario(module, name, tuple(covers), setup, run,
                              dicts or (lambda subject: {}), state or (lambda subject: None), tuple(absent)))


def functions(module, name, covers, *steps):
    """A scenario that calls module functions: steps of (function name,
    arguments). The functions are looked up when the subject is made, so
    that the harness's own look-ups are not counted as the operation's."""

    def setup():
        m = _m(module)
        return [(getattr(m, function), args) for function, args in steps]

    def run(subject):
        return [consume(function(*args)) for function, args in subject]

    scenario(module, name, covers, setup, run)


def resolved(module, *names):
    """The module's objects `names`, looked up now (for subjects)."""
    m = _m(module)
    return SimpleNamespace(**{name: getattr(m, name) for name in names})


# ---------------------------------------------------------------------------
# tavro.lib.portil

P = "tavro.lib.portil"
functions(P, "int2byte", [f"{P}.int2byte"],
          ("int2byte", (0,)), ("int2byte", (65,)), ("int2byte", (255,)))
functions(P, "str2bytes and bytes2str", [f"{P}.str2bytes", f"{P}.bytes2str"],
          ("str2bytes", ("abc",)), ("bytes2str", (b"abc",)))
functions(P, "iteratebytes over bytes", [f"{P}.iteratebytes"],
          ("iteratebytes", (b"ab\x00\xff",)), ("iteratebytes", (b"ba",)))
functions(P, "iteratebytes over a list", [f"{P}.iteratebytes"],
          ("iteratebytes", ([1, 200, 3],)))
functions(P, "reprstring and trimstring", [f"{P}.reprstring", f"{P}.trimstring"],
          ("reprstring", (b"abc",)), ("reprstring", ("abc",)), ("reprstring", (5,)),
          ("trimstring", (b"abc",)), ("trimstring", ("abc",)), ("trimstring", (5,)))
functions(P, "integers2bytes", [f"{P}.integers2bytes"],
          ("integers2bytes", ([1, 2, 3],)))

# ---------------------------------------------------------------------------
# tavro.lib.binary

B = "tavro.lib.binary"
_BITS_AB = b"\x00\x01\x01\x00\x00\x00\x00\x01\x00\x01\x01\x00\x00\x00\x01\x00"
functions(B, "integer2bits", [f"{B}.integer2bits"],
          ("integer2bits", (19, 8)), ("integer2bits", (-300, 70)), ("integer2bits", ("7", 3)))
functions(B, "integer2bytes", [f"{B}.integer2bytes"],
          ("integer2bytes", (19, 4)), ("integer2bytes", (-200, 9)), ("integer2bytes", (2**70 + 5, 12)))
functions(B, "bits2integer", [f"{B}.bits2integer"],
          ("bits2integer", (b"\x01\x00\x00\x01\x01",)), ("bits2integer", (b"\x01" * 70, True)),
          ("bits2integer", (bytearray(b"\x01\x00"), 1)), ("bits2integer", ([1, 0, 1], True)))
functions(B, "bytes2integer", [f"{B}.bytes2integer"],
          ("bytes2integer", (b"\x00\x00\x00\x13",)), ("bytes2integer", (b"\x80" + b"\x00" * 9, True)),
          ("bytes2integer", (b"\xff", True)), ("bytes2integer", ([255, 1], True)))
functions(B, "bytes2bits", [f"{B}.bytes2bits"],
          ("bytes2bits", (b"ab\x00\xff",)), ("bytes2bits", ([1, 2],)))
functions(B, "bits2bytes", [f"{B}.bits2bytes"],
          ("bits2bytes", (_BITS_AB,)), ("bits2bytes", (memoryview(_BITS_AB),)))
functions(B, "swapbitsinbytes", [f"{B}.swapbitsinbytes"],
          ("swapbitsinbytes", (b"\x12\x34\xf0",)), ("swapbitsinbytes", ([1, 2],)))
functions(B, "hexlify and unhexlify", [f"{B}.hexlify", f"{B}.unhexlify"],
          ("hexlify", (b"ab",)), ("unhexlify", (b"6162",)))

# ---------------------------------------------------------------------------
# tavro.lib.hex

H = "tavro.lib.hex"
_DUMP = (
    'hexundump("""\n'
    "0000   30 31 32 33 34 35 36 37   01234567\n"
    "0008   41 42 FF                  AB.\n"
    '""")\n'
)
functions(H, "hexdump", [f"{H}.hexdump"],
          ("hexdump", (b"0" * 40 + bytes(range(200, 256)), 16)), ("hexdump", (bytearray(range(20)), 3)),
          ("hexdump", (memoryview(b"xyz"), 2)))
functions(H, "hexundump", [f"{H}.hexundump"],
          ("hexundump", (_DUMP, 8)), ("hexundump", (_DUMP.replace("30", "0x30"), 8)))


def _hex_new(m):
    x = m.HexDisplayedInteger.new(fresh_int(1000), "08x")
    return [str(x), str(m.HexDisplayedInteger.new(255, "02x")), str(m.HexDisplayedInteger(fresh_int(2000)))]


scenario(H, "HexDisplayedInteger.new and str", [f"{H}.HexDisplayedInteger", f"{H}.HexDisplayedInteger.*"],
         lambda: resolved(H, "HexDisplayedInteger"), _hex_new)


def _hex_integer():
    x = _m(H).HexDisplayedInteger(fresh_int(1000))
    x.fmtstr = "08x"
    return x


scenario(H, "str of a HexDisplayedInteger", [f"{H}.HexDisplayedInteger.__str__"], _hex_integer,
         lambda x: [str(x), str(x)], dicts=lambda x: {"instance": vars(x)})


def _displayed(cls_name, *args, **kwargs):
    def setup():
        return getattr(_m(H), cls_name)(*args, **kwargs)

    return setup


def _own_dicts(obj):
    out = {"instance": vars(obj)}
    if isinstance(obj, dict):
        out["the dict itself"] = obj
    return out


for _cls, _args, _kwargs in (
    ("HexDisplayedBytes", (b"\x01\xab" * 40,), {}),
    ("HexDisplayedDict", (), {"data": b"\x01\xab" * 40, "other": 1}),
    ("HexDumpDisplayedBytes", (b"0" * 40,), {}),
    ("HexDumpDisplayedDict", (), {"data": b"0" * 40}),
):
    scenario(H, f"str of a {_cls}", [f"{H}.{_cls}", f"{H}.{_cls}.*"], _displayed(_cls, *_args, **_kwargs),
             lambda x: [str(x), str(x)], dicts=_own_dicts, state=lambda x: x.render, absent=("render",))

# ---------------------------------------------------------------------------
# tavro.expr

E = "tavro.expr"


def _tree():
    m = _m(E)
    root = m.Path("this")
    a = m.Path("this", "a", root)
    b = m.Path("this", "b", a)
    items = m.Path("this", "items", root)
    length = m.FuncPath(len, items)
    total = m.BinExpr(operator.add, b, fresh_int(1000))
    negated = m.UniExpr(operator.neg, total)
    top = m.BinExpr(operator.mul, negated, length)
    ctx = {"a": {"b": fresh_int(5000)}, "items": [1, 2, 3]}
    nodes = {"this": root, "this.a": a, "this.a.b": b, "this.items": items, "len_(this.items)": length,
             "sum": total, "negation": negated, "product": top}
    return SimpleNamespace(top=top, ctx=ctx, nodes=nodes)


def _tree_dicts(t):
    out = {f"node {label}": vars(node) for label, node in t.nodes.items()}
    out["context"] = t.ctx
    out["context['a']"] = t.ctx["a"]
    return out


scenario(E, "evaluating a tree", [f"{E}.BinExpr.__call__", f"{E}.UniExpr.__call__", f"{E}.Path.__call__",
                                  f"{E}.FuncPath.__call__"],
         _tree, lambda t: t.top(t.ctx), dicts=_tree_dicts)
scenario(E, "printing a tree", [f"{E}.BinExpr.__repr__", f"{E}.BinExpr.__str__", f"{E}.UniExpr.__repr__",
                                f"{E}.UniExpr.__str__", f"{E}.Path.__repr__", f"{E}.Path.__str__",
                                f"{E}.FuncPath.__repr__", f"{E}.FuncPath.__str__"],
         _tree, lambda t: [repr(t.top), str(t.top)], dicts=_tree_dicts)


def _list_path():
    m = _m(E)
    root = m.Path2("list_")
    one = m.Path2("list_", 1, root)
    zero = m.Path2("list_", 0, one)
    return SimpleNamespace(top=zero, nodes={"list_": root, "list_[1]": one, "list_[1][0]": zero})


scenario(E, "evaluating and printing a Path2", [f"{E}.Path2.__call__", f"{E}.Path2.__repr__"], _list_path,
         lambda t: [t.top({}, [[7], [fresh_int(9000), 8]]), repr(t.top), str(t.top)],
         dicts=lambda t: {f"node {label}": vars(node) for label, node in t.nodes.items()})


def _operators(path):
    out = []
    for name in ("add", "sub", "mul", "floordiv", "truediv", "mod", "pow", "xor", "rshift", "lshift", "and",
                 "or", "radd", "rsub", "rmul", "rfloordiv", "rtruediv", "rmod", "rpow", "rxor", "rrshift",
                 "rlshift", "rand", "ror", "div", "rdiv", "gt", "ge", "lt", "le", "eq", "ne", "contains"):
        out.append(getattr(path, f"__{name}__")(2))
    out += [-path, +path, ~path, path.__inv__()]
    return out


scenario(E, "building nodes with operators", [f"{E}.ExprMixin", f"{E}.ExprMixin.__*__"],
         lambda: _m(E).Path("this", "a", _m(E).Path("this")), _operators,
         dicts=lambda p: {"node this.a": vars(p)})


def _children(t):
    p = t.nodes["this.a"]
    return [p.x, p["y"], p.__getfield__(), t.nodes["this"].__getfield__(), t.list_[3], t.len_(p),
            t.abs_(fresh_int(7000)), t.len_(t.len_(p))]


def _tree_and_functions():
    t = _tree()
    t.list_, t.len_, t.abs_ = _m(E).Path2("list_"), _m(E).FuncPath(len), _m(E).FuncPath(abs)
    t.nodes.update({"list_": t.list_, "len_": t.len_, "abs_": t.abs_})
    return t


scenario(E, "building paths", [f"{E}.Path.__getattr__", f"{E}.Path.__getitem__", f"{E}.Path.__getfield__",
                               f"{E}.Path2.__getitem__", f"{E}.FuncPath.__call__", f"{E}.this", f"{E}.obj_",
                               f"{E}.list_", f"{E}.len_", f"{E}.sum_", f"{E}.min_", f"{E}.max_", f"{E}.abs_"],
         _tree_and_functions, _children, dicts=_tree_dicts)


def _state_round_trip():
    m = _m(E)
    node = m.BinExpr(operator.add, fresh_int(1000), m.Path("this"))
    attrs = {"op": operator.sub, "lhs": fresh_int(3000), "extra": "x" * 10}
    return SimpleNamespace(node=node, attrs=attrs)


scenario(E, "__getstate__ and __setstate__", [f"{E}.ExprMixin.__getstate__", f"{E}.ExprMixin.__setstate__"],
         _state_round_trip, lambda s: [s.node.__getstate__(), s.node.__setstate__(s.attrs), s.node.__getstate__()],
         dicts=lambda s: {"node": vars(s.node), "state given": s.attrs})


def _construct(m):
    return [m.BinExpr(operator.add, 1, 2), m.UniExpr(operator.neg, 1), m.Path("this", "a", None),
            m.Path2("list_", 0, None), m.FuncPath(len, None)]


scenario(E, "constructors", [f"{E}.BinExpr", f"{E}.UniExpr", f"{E}.Path", f"{E}.Path2", f"{E}.FuncPath",
                             f"{E}.*.__init__"],
         lambda: resolved(E, "BinExpr", "UniExpr", "Path", "Path2", "FuncPath"), _construct)

# ---------------------------------------------------------------------------
# tavro.lib.bitstream

S = "tavro.lib.bitstream"


class Source:
    """A substream of fresh chunks of letters, of at most `chunk` bytes,
    without end unless `limit` bytes end it; first `stalls` polls that give
    nothing (BlockingIOError, None, empty bytes in turn). Records what was
    written to it."""

    def __init__(self, chunk=600, stalls=0, limit=None):
        self.chunk = chunk
        self.limit = limit
        self.position = 0
        self.stalls = stalls
        self.polls = 0
        self.written = []

    def read(self, n=-1):
        self.polls += 1
        if self.polls <= self.stalls:
            kind = self.polls % 3
            if kind == 1:
                raise BlockingIOError()
            return None if kind == 2 else b""
        size = min(n, self.chunk) if n is not None and n >= 0 else self.chunk
        if self.limit is not None:
            size = max(0, min(size, self.limit - self.position))
        data = pattern(size, self.position)
        self.position += size
        return data

    def write(self, data):
        self.written.append(bytes(data))
        return len(data)


def _rebuffered(tailcutoff=None, window=600, moved=1000, offset=1200, stalls=0, trim_first=0):
    def setup():
        s = _m(S).RebufferedBytesIO(Source(stalls=stalls), tailcutoff)
        s.rwbuffer = pattern(window)
        s.moved = fresh_int(moved)
        s.offset = fresh_int(offset)
        if trim_first:
            s.read(trim_first)
        return s

    return setup


def _rebuffered_state(s):
    return (s.offset, s.moved, bytes(s.rwbuffer), s.tailcutoff, s.substream.position, s.substream.polls)


def _instance(s):
    return {"instance": vars(s)}


_RB = f"{S}.RebufferedBytesIO"
for _name, _covers, _setup, _run in (
    ("read inside the window", ["read"], _rebuffered(), lambda s: [s.read(50), s.read(10)]),
    ("read inside the window, trimming", ["read"], _rebuffered(tailcutoff=100), lambda s: [s.read(50), s.read(300)]),
    ("read of a trimmed window", ["read"], _rebuffered(tailcutoff=100, trim_first=30),
     lambda s: [s.read(40), s.read(20)]),
    ("read past the window", ["read"], _rebuffered(), lambda s: [s.read(500), s.read(700)]),
    ("read past the window, trimming", ["read"], _rebuffered(tailcutoff=50), lambda s: [s.read(500), s.read(10)]),
    ("read after stalled polls", ["read"], _rebuffered(stalls=3), lambda s: [s.read(500)]),
    ("write inside the window", ["write"], _rebuffered(), lambda s: [s.write(b"XY" * 20), s.write(b"Z" * 7)]),
    ("write past the window end", ["write"], _rebuffered(), lambda s: [s.seek(1500), s.write(b"XY" * 200)]),
    ("write ahead of the window", ["write"], _rebuffered(offset=1700), lambda s: [s.write(b"XY" * 20)]),
    ("write into a trimmed window", ["write"], _rebuffered(tailcutoff=100, trim_first=30),
     lambda s: [s.seek(-20, 1), s.write(b"XY" * 5), s.write(b"Q" * 3)]),
    ("seek and tell", ["seek", "tell", "seekable", "tellable"],
     _rebuffered(), lambda s: [s.seek(fresh_int(1300)), s.seek(fresh_int(-5), 1), s.tell(), s.seekable(),
                               s.tellable()]),
    # A result that is a state value (cachedfrom() returns `moved`) keeps it
    # alive: cachedto comes first, or alone.
    ("cachedto", ["cachedto"], _rebuffered(), lambda s: [s.cachedto(), s.cachedto()]),
    ("the window's bounds when trimmed", ["cachedfrom", "cachedto", "tell"], _rebuffered(tailcutoff=100, trim_first=30),
     lambda s: [s.cachedto(), s.cachedto(), s.cachedfrom(), s.tell()]),
):
    scenario(S, f"RebufferedBytesIO: {_name}", [f"{_RB}.{c}" for c in _covers], _setup, _run,
             dicts=_instance, state=_rebuffered_state, absent=("emptytimeout",))


def _reconstruct_rebuffered(s):
    made = s.cls(s.made.substream, 5)
    made.__init__(s.made.substream, None)
    s.made.__init__(s.made.substream, 7)
    return [_rebuffered_state(made), _rebuffered_state(s.made)]


scenario(S, "RebufferedBytesIO: constructing", [_RB, f"{_RB}.__init__"],
         lambda: SimpleNamespace(cls=_m(S).RebufferedBytesIO, made=_rebuffered()()), _reconstruct_rebuffered,
         dicts=lambda s: {"instance": vars(s.made)})


def _upper(data):
    return bytes(data).upper()


def _restreamed(rbuffer=600, wbuffer=600, unit=4, limit=None):
    def setup():
        s = _m(S).RestreamedBytesIO(Source(chunk=unit, limit=limit), _upper, unit, _upper, unit)
        s.rbuffer = pattern(rbuffer)
        s.wbuffer = pattern(wbuffer, 3)
        s.sincereadwritten = fresh_int(5000)
        return s

    return setup


def _restreamed_state(s):
    return (bytes(s.rbuffer), bytes(s.wbuffer), s.sincereadwritten, s.substream.position, s.substream.written)


_RS = f"{S}.RestreamedBytesIO"
for _name, _covers, _setup, _run in (
    ("read from the buffer", ["read"], _restreamed(), lambda s: [s.read(50), s.read(0)]),
    ("read past the buffer", ["read"], _restreamed(), lambda s: [s.read(700), s.read(13)]),
    ("read to the end", ["read"], _restreamed(limit=80), lambda s: [s.read(None)]),
    ("write less than a unit", ["write"], _restreamed(wbuffer=0), lambda s: [s.write(b"xy")]),
    ("write many units", ["write"], _restreamed(), lambda s: [s.write(b"abcdefghij" * 30)]),
    ("close, tell, seek", ["close", "tell", "seek", "seekable", "tellable"], _restreamed(rbuffer=0, wbuffer=0),
     lambda s: [s.close(), s.tell(), s.seekable(), s.tellable(), _raises(s.seek, 0)]),
    ("close with bytes left", ["close"], _restreamed(), lambda s: [_raises(s.close)]),
):
    scenario(S, f"RestreamedBytesIO: {_name}", [f"{_RS}.{c}" for c in _covers], _setup, _run,
             dicts=_instance, state=_restreamed_state)


def _raises(fn, *args):
    try:
        fn(*args)
    except Exception as exc:  # noqa: BLE001 - the message is the result here
        return (type(exc).__name__, str(exc))
    return None


def _reconstruct_restreamed(s):
    made = s.cls(s.made.substream, _upper, 4, _upper, 4)
    made.__init__(s.made.substream, _upper, 8, _upper, 8)
    s.made.__init__(s.made.substream, _upper, 2, _upper, 2)
    return [_restreamed_state(made), _restreamed_state(s.made)]


scenario(S, "RestreamedBytesIO: constructing", [_RS, f"{_RS}.__init__"],
         lambda: SimpleNamespace(cls=_m(S).RestreamedBytesIO, made=_restreamed()()), _reconstruct_restreamed,
         dicts=lambda s: {"instance": vars(s.made)})


# ---------------------------------------------------------------------------
# Interventions: changes that no dict stamp sees (tools/hostile.py)

INTERVENTIONS: list[Intervention] = []


def _module_instance(name):
    """Another instance of the module, as a re-import makes it."""
    import importlib.util

    spec = importlib.util.find_spec(name)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def _literal_class(cls):
    """A subclass whose attribute hooks send every step down the literal path."""
    return type(cls.__name__, (cls,), {
        "__setattr__": lambda self, key, value: object.__setattr__(self, key, value),
        "__getattribute__": lambda self, key: object.__getattribute__(self, key),
    })


class _Endless:
    """A substream that never runs dry and keeps what is written to it."""

    def __init__(self, chunk):
        self.chunk, self.count, self.written = chunk, 0, []

    def read(self, n):
        self.count += 1
        return bytes((self.count + i) % 256 for i in range(self.chunk))

    def write(self, data):
        self.written.append(data)


def _rebuffered_found_type_changes(name, value):
    def observe(literal):
        class Found:  # an attribute of the class, shadowed by the instance dict
            pass

        base = _m(S).RebufferedBytesIO
        cls = type("R", (_literal_class(base) if literal else base,), {name: Found()})
        s = cls(_Endless(97), 8)
        seen = [s.read(5), s.read(5)]
        held = value()
        Found.__get__ = lambda self, obj, owner=None: held
        Found.__set__ = lambda self, obj, given: None
        for count in (4, 4, 200, 4):
            seen += [_raises(s.read, count) or "ok", s.tell(), s.cachedfrom(), s.cachedto()]
        s.seek(2, 1)
        seen += [s.tell(), s.write(b"xy"), s.tell(), s.cachedto()]
        return seen

    INTERVENTIONS.append(Intervention(S, f"RebufferedBytesIO: the type of a class attribute {name} gains __set__",
                                      observe))


for _name, _value in (("offset", lambda: 100), ("moved", lambda: 0), ("tailcutoff", lambda: 3),
                      ("substream", lambda: _Endless(51))):
    _rebuffered_found_type_changes(_name, _value)


def _restreamed_found_type_changes(name, value):
    def observe(literal):
        class Found:
            pass

        base = _m(S).RestreamedBytesIO
        cls = type("R", (_literal_class(base) if literal else base,), {name: Found()})
        s = cls(_Endless(5), _upper, 3, _upper, 4)
        seen = [s.read(7), s.write(b"abcdef")]
        held = value()
        Found.__get__ = lambda self, obj, owner=None: held
        Found.__set__ = lambda self, obj, given: None
        seen += [s.read(4), s.write(b"ghijklmn"), s.tell(), _raises(s.close), s.substream.written]
        return seen

    INTERVENTIONS.append(Intervention(S, f"RestreamedBytesIO: the type of a class attribute {name} gains __set__",
                                      observe))


for _name, _value in (("sincereadwritten", lambda: 1000), ("decoderunit", lambda: 1), ("encoderunit", lambda: 2)):
    _restreamed_found_type_changes(_name, _value)


def _rebuffered_shared_by_two_modules(tailcutoff):
    def observe(literal):
        first, second = _m(S).RebufferedBytesIO, _module_instance(S).RebufferedBytesIO
        if literal:
            first, second = _literal_class(first), _literal_class(second)
        import io

        # All the data arrives at the first read: every later read is served
        # from the window, where each instance remembers the dict it served.
        a, b = first(io.BytesIO(bytes(range(256)) * 100), tailcutoff), second(io.BytesIO(), tailcutoff)
        b.__dict__ = a.__dict__
        seen = []
        for step in range(300):
            reader = (a, b)[step % 3 == 2]
            # Positions kept as text: holding the ints would keep them shared.
            seen += [reader.read(4 + step % 5), str(a.tell()), str(b.cachedfrom()), str(a.cachedto())]
        return seen

    INTERVENTIONS.append(Intervention(S, f"RebufferedBytesIO: two module instances share one instance dict, "
                                         f"tailcutoff {tailcutoff}", observe))


for _tailcutoff in (None, 64):
    _rebuffered_shared_by_two_modules(_tailcutoff)


def _node_found_type_changes(name):
    def observe(literal):
        class Found:
            pass

        expr = _m(E)
        base = _literal_class(expr.BinExpr) if literal else expr.BinExpr
        cls = type("B", (base,), {name: Found()})
        node = cls(operator.add, expr.this.a, 2)
        seen = [node({"a": 1}), node({"a": 2})]
        Found.__get__ = lambda self, obj, owner=None: {"op": operator.mul, "lhs": 10, "rhs": 7}[name]
        Found.__set__ = lambda self, obj, given: None
        seen += [node({"a": 3}), repr(node)]
        return seen

    INTERVENTIONS.append(Intervention(E, f"BinExpr: the type of a class attribute {name} gains __set__", observe))


for _name in ("op", "lhs", "rhs"):
    _node_found_type_changes(_name)


def _nodes_shared_by_two_modules():
    def observe(literal):
        first, second = _m(E), _module_instance(E)
        classes = [m.BinExpr for m in (first, second)]
        if literal:
            classes = [_literal_class(c) for c in classes]
        a = classes[0](operator.add, first.this.a, 1)
        b = classes[1](operator.sub, second.this.a, 1)
        b.__dict__ = a.__dict__
        seen = []
        for step in range(20):
            seen += [a({"a": step}), b({"a": step})]
            (a, b)[step % 2].rhs = step
        return seen

    INTERVENTIONS.append(Intervention(E, "BinExpr: two module instances share one instance dict", observe))


_nodes_shared_by_two_modules()
