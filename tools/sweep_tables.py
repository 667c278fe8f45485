"""The tavro tables of the bad-input sweep: the modules swept, and for their
functions, classes and methods a valid call to start from (parameter names and
argument tuples), the instances to call methods on, and the methods worth
calling after an attribute was set to a bad value. Names not listed here are
still swept, with generic starting arguments, so a function that lands later
is covered without editing this file.
"""
from __future__ import annotations

import operator
from typing import Callable

from sweep_values import Codec, FiniteStream

# The modules, in the order in which the package builds them up.
MODULES = ["tavro.lib.portil", "tavro.lib.binary", "tavro.expr", "tavro.lib.hex", "tavro.lib.bitstream"]

def _hexdump_text():
    return (
        'hexundump("""\n'
        "0000   30 31 32 33 34 35 36 37   01234567\n"
        "0008   41 42 FF                  AB.\n"
        '""")\n'
    )


FUNCTIONS: dict[str, tuple[tuple[str, ...], list[Callable[[], tuple]]]] = {
    "int2byte": (("character",), [lambda: (65,)]),
    "byte2int": (("character",), [lambda: (b"A",), lambda: ("\u20ac",), lambda: (bytearray(b"z"),)]),
    "str2bytes": (("string",), [lambda: ("abc",)]),
    "bytes2str": (("string",), [lambda: (b"abc",)]),
    "str2unicode": (("string",), [lambda: ("abc",)]),
    "unicode2str": (("string",), [lambda: ("abc",)]),
    "iteratebytes": (("data",), [lambda: (b"abc",)]),
    "iterateints": (("data",), [lambda: (b"abc",)]),
    "reprstring": (("data",), [lambda: (b"abc",), lambda: ("abc",)]),
    "trimstring": (("data",), [lambda: (b"abc",), lambda: ("abc",)]),
    "integers2bytes": (("ints",), [lambda: ([1, 2, 3],)]),
    "bytes2integers": (("data",), [lambda: (b"abc",)]),
    "integer2bits": (("number", "width"), [lambda: (19, 8), lambda: (-300, 70)]),
    "integer2bytes": (("number", "width"), [lambda: (19, 4), lambda: (-200, 9)]),
    "bits2integer": (("data", "signed"), [lambda: (b"\x01\x00\x00\x01\x01",), lambda: (b"\x01" * 70, True)]),
    "bytes2integer": (("data", "signed"), [lambda: (b"\x00\x00\x00\x13",), lambda: (b"\x80" + b"\x00" * 9, True)]),
    "bytes2bits": (("data",), [lambda: (b"ab",)]),
    "bits2bytes": (("data",), [lambda: (b"\x00\x01\x01\x00\x00\x00\x00\x01" * 2,)]),
    "swapbytes": (("data",), [lambda: (b"abcd",)]),
    "swapbytesinbits": (("data",), [lambda: (b"\x00" * 8 + b"\x01" * 8,)]),
    "swapbitsinbytes": (("data",), [lambda: (b"\x12\x34",)]),
    "hexlify": (("data",), [lambda: (b"ab",)]),
    "unhexlify": (("data",), [lambda: (b"6162",)]),
    "hexdump": (("data", "linesize"), [lambda: (b"0" * 40, 16), lambda: (bytearray(range(20)), 3)]),
    "hexundump": (("data", "linesize"), [lambda: (_hexdump_text(), 8)]),
}


def _expr_instances(m):
    return {
        "ExprMixin": [lambda: m.ExprMixin()],
        "UniExpr": [lambda: m.UniExpr(operator.neg, 5), lambda: m.UniExpr(operator.not_, m.this.a)],
        "BinExpr": [lambda: m.BinExpr(operator.add, 1, 2), lambda: m.BinExpr(operator.mul, m.this.a, m.this.b)],
        "Path": [lambda: m.Path("this"), lambda: m.Path("this", "b", m.Path("this", "a", m.Path("this")))],
        "Path2": [lambda: m.Path2("list_"), lambda: m.Path2("list_", 0, m.Path2("list_"))],
        "FuncPath": [lambda: m.FuncPath(len), lambda: m.FuncPath(len, m.Path("this", "a", m.Path("this")))],
    }


def _hex_instances(m):
    return {
        "HexDisplayedInteger": [lambda: m.HexDisplayedInteger.new(255, "02x"), lambda: m.HexDisplayedInteger(7)],
        "HexDisplayedBytes": [lambda: m.HexDisplayedBytes(b"\x01\xab")],
        "HexDisplayedDict": [lambda: m.HexDisplayedDict(data=b"\x01\xab", other=1)],
        "HexDumpDisplayedBytes": [lambda: m.HexDumpDisplayedBytes(b"0" * 40)],
        "HexDumpDisplayedDict": [lambda: m.HexDumpDisplayedDict(data=b"0" * 40)],
    }


def _bitstream_instances(m):
    return {
        "RestreamedBytesIO": [
            lambda: m.RestreamedBytesIO(FiniteStream(64, 64), Codec(), 4, Codec(), 4),
            lambda: m.RestreamedBytesIO(FiniteStream(64, 64), Codec(8), 1, Codec(), 8),
        ],
        "RebufferedBytesIO": [
            lambda: m.RebufferedBytesIO(FiniteStream(), None),
            lambda: m.RebufferedBytesIO(FiniteStream(), 4),
        ],
    }


INSTANCES = {
    "tavro.expr": _expr_instances,
    "tavro.lib.hex": _hex_instances,
    "tavro.lib.bitstream": _bitstream_instances,
}

# Starting arguments for methods, keyed by method name (any class).
METHODS: dict[str, list[Callable[[], tuple]]] = {
    "read": [lambda: (), lambda: (3,), lambda: (0,)],
    "write": [lambda: (b"abcdef",)],
    "seek": [lambda: (2,), lambda: (1, 1)],
    "new": [lambda: (255, "02x")],
    "__setstate__": [lambda: ({"x": 1},)],
    "__getattr__": [lambda: ("field",)],
    "__getitem__": [lambda: ("field",), lambda: (0,)],
    "__call__": [lambda: ({"a": 2, "b": 3, "field": [1, 2]}, [5, 6]), lambda: ({"a": [1, 2], "b": 3},)],
    "__format__": [lambda: ("x",)],
}
BINARY_DUNDER_ARGS = [lambda: (2,)]

# Constructor arguments for the documented classes (parameter names, calls).
CONSTRUCTORS: dict[str, tuple[tuple[str, ...], list[Callable[[], tuple]]]] = {
    "UniExpr": (("op", "operand"), [lambda: (operator.neg, 5)]),
    "BinExpr": (("op", "lhs", "rhs"), [lambda: (operator.add, 1, 2)]),
    "Path": (("name", "field", "parent"), [lambda: ("this",), lambda: ("this", "a", None)]),
    "Path2": (("name", "index", "parent"), [lambda: ("list_",)]),
    "FuncPath": (("func", "operand"), [lambda: (len,), lambda: (len, [1, 2])]),
    "HexDisplayedInteger": ((), [lambda: (5,)]),
    "HexDisplayedBytes": ((), [lambda: (b"ab",)]),
    "HexDisplayedDict": ((), [lambda: ({"data": b"ab"},)]),
    "HexDumpDisplayedBytes": ((), [lambda: (b"ab",)]),
    "HexDumpDisplayedDict": ((), [lambda: ({"data": b"ab"},)]),
    "RestreamedBytesIO": (
        ("substream", "decoder", "decoderunit", "encoder", "encoderunit"),
        [lambda: (FiniteStream(64, 64), Codec(), 4, Codec(), 4)],
    ),
    "RebufferedBytesIO": (("substream", "tailcutoff"), [lambda: (FiniteStream(),), lambda: (FiniteStream(), 4)]),
}

# Methods worth calling after an attribute was set to a bad value.
FOLLOW_UPS = {
    "RestreamedBytesIO": [("read", (3,)), ("read", ()), ("write", (b"abcdefghi",)), ("close", ()), ("tell", ())],
    "RebufferedBytesIO": [
        ("read", (3,)), ("read", (0,)), ("write", (b"xy",)), ("seek", (2, 1)),
        ("tell", ()), ("cachedfrom", ()), ("cachedto", ()),
    ],
    "UniExpr": [("__call__", ({"a": 1},)), ("__repr__", ()), ("__str__", ()), ("__getstate__", ())],
    "BinExpr": [("__call__", ({"a": 1, "b": 2},)), ("__repr__", ()), ("__str__", ()), ("__getstate__", ())],
    "Path": [("__call__", ({"a": {"b": 1}, "b": 2},)), ("__repr__", ()), ("__str__", ()), ("__getattr__", ("x",))],
    "Path2": [("__call__", ({}, [[1, 2]])), ("__repr__", ()), ("__getitem__", (0,))],
    "FuncPath": [("__call__", ({"a": [1, 2]},)), ("__repr__", ()), ("__str__", ())],
    "HexDisplayedInteger": [("__str__", ())],
    "HexDisplayedBytes": [("__str__", ())],
    "HexDisplayedDict": [("__str__", ())],
    "HexDumpDisplayedBytes": [("__str__", ())],
    "HexDumpDisplayedDict": [("__str__", ())],
}

# Attributes to reassign on instances, besides those found in the instance
# dict (render and fmtstr are absent until set).
EXTRA_ATTRIBUTES = {
    "HexDisplayedInteger": ["fmtstr"],
    "HexDisplayedBytes": ["render"],
    "HexDisplayedDict": ["render"],
    "HexDumpDisplayedBytes": ["render"],
    "HexDumpDisplayedDict": ["render"],
}
