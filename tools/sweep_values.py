"""Hostile values of the bad-input sweep: objects whose protocol methods raise
or lie, substreams and codecs that misbehave, and the tables of labelled
factories the sweep substitutes for arguments, attributes and module globals.
Nothing here knows tavro; the sweep engine is tools/sweep.py and the tavro
tables (valid calls to start from) are tools/sweep_tables.py.

Every value is made afresh for every call: (label, factory) pairs.
"""
from __future__ import annotations

import sys

class Boom(Exception):
    """Raised by the hostile objects below."""


class BadIndex:
    def __index__(self):
        raise Boom("__index__")

    def __int__(self):
        raise Boom("__int__")

    def __repr__(self):
        return "BadIndex()"


class HugeIndex:
    def __index__(self):
        return 2**100

    def __repr__(self):
        return "HugeIndex()"


class BadLen:
    def __len__(self):
        raise Boom("__len__")

    def __getitem__(self, i):
        raise Boom("__getitem__")

    def __repr__(self):
        return "BadLen()"


class HugeLen:
    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        if isinstance(i, int) and not 0 <= i < 8:
            raise IndexError(i)
        return 0

    def __repr__(self):
        return "HugeLen()"


class BadEq:
    def __eq__(self, other):
        raise Boom("__eq__")

    def __ne__(self, other):
        raise Boom("__ne__")

    def __lt__(self, other):
        raise Boom("__lt__")

    __gt__ = __ge__ = __le__ = __lt__

    def __bool__(self):
        raise Boom("__bool__")

    __hash__ = object.__hash__

    def __repr__(self):
        return "BadEq()"


class BadHash:
    def __hash__(self):
        raise Boom("__hash__")

    def __repr__(self):
        return "BadHash()"


class BadIter:
    def __iter__(self):
        raise Boom("__iter__")

    def __repr__(self):
        return "BadIter()"


class BadIterLater:
    def __iter__(self):
        yield 1
        raise Boom("second item")

    def __repr__(self):
        return "BadIterLater()"


class BadRepr:
    def __repr__(self):
        raise Boom("__repr__")

    def __str__(self):
        raise Boom("__str__")

    def __call__(self, *args):
        raise Boom("__call__")


class IntSub(int):
    pass


class BytesSub(bytes):
    def __len__(self):
        raise Boom("BytesSub.__len__")

    def __getitem__(self, i):
        raise Boom("BytesSub.__getitem__")

    def __iter__(self):
        raise Boom("BytesSub.__iter__")


class StrSub(str):
    def split(self, *a):
        raise Boom("StrSub.split")


class DictSub(dict):
    def __getitem__(self, key):
        raise Boom("DictSub.__getitem__")

    def items(self):
        raise Boom("DictSub.items")


class WeirdStream:
    """A substream whose read and write return values of the wrong kind."""

    def __init__(self, result):
        self.result = result
        self.calls = 0

    def read(self, n=-1):
        self.calls += 1
        if self.calls > 1000:
            raise StreamDry("read 1000 times")
        return self.result

    def write(self, data):
        return self.result

    def __repr__(self):
        return f"WeirdStream({self.result!r})"


class RaisingStream:
    def read(self, n=-1):
        raise Boom("read")

    def write(self, data):
        raise Boom("write")

    def __repr__(self):
        return "RaisingStream()"


_PATTERN = bytes(range(256)) * 260


class StreamDry(Exception):
    pass


class Codec:
    """An identity (or repeating) encoder/decoder that refuses to be called
    without end, so a loop that never finishes ends in an exception."""

    def __init__(self, repeat=1, limit=10000):
        self.repeat = repeat
        self.left = limit

    def __call__(self, data):
        self.left -= 1
        if self.left < 0:
            raise StreamDry("codec called too often")
        return data * self.repeat if self.repeat != 1 else data


class FiniteStream:
    """Hands out `total` bytes in chunks of at most `chunk`, then only b''.

    Written in Python on purpose: the child's alarm can interrupt a caller
    that polls it without end."""

    def __init__(self, total=65536, chunk=1000):
        self.left = total
        self.chunk = chunk
        self.pos = 0
        self.written = 0
        self.dry_polls = 0

    def read(self, n=-1):
        if n is None or n < 0:
            n = self.left
        n = min(n, self.chunk, self.left)
        if n == 0:
            # Callers that poll an ended stream without bound are told so
            # quickly, instead of waiting for the sweep's alarm.
            self.dry_polls += 1
            if self.dry_polls > 20:
                raise StreamDry("polled 20 times after the end")
        self.left -= n
        start = self.pos & 0xFF
        self.pos += n
        return _PATTERN[start:start + n]

    def write(self, data):
        self.written += len(data)
        return len(data)


def _values():
    big = 2**100
    return [
        ("None", lambda: None),
        ("0", lambda: 0),
        ("-1", lambda: -1),
        ("1", lambda: 1),
        ("255", lambda: 255),
        ("256", lambda: 256),
        ("2**62", lambda: 2**62),
        ("2**63", lambda: 2**63),
        ("2**64", lambda: 2**64),
        ("2**100", lambda: big),
        ("-2**100", lambda: -big),
        ("sys.maxsize", lambda: sys.maxsize),
        ("-sys.maxsize-1", lambda: -sys.maxsize - 1),
        ("True", lambda: True),
        ("IntSub(3)", lambda: IntSub(3)),
        ("0.5", lambda: 0.5),
        ("-0.0", lambda: -0.0),
        ("nan", lambda: float("nan")),
        ("inf", lambda: float("inf")),
        ("1j", lambda: 1j),
        ("''", lambda: ""),
        ("'abc'", lambda: "abc"),
        ("'\\ud800'", lambda: "\ud800"),
        ("'\\u20ac'*3", lambda: "\u20ac" * 3),
        ("StrSub('0 1')", lambda: StrSub("0 1")),
        ("b''", lambda: b""),
        ("b'\\x01'", lambda: b"\x01"),
        ("b'\\x00\\x01'*4", lambda: b"\x00\x01" * 4),
        ("b'\\x00\\xff'*5", lambda: b"\x00\xff" * 5),
        ("b'01'*8", lambda: b"01" * 8),
        ("BytesSub(b'\\x01'*8)", lambda: BytesSub(b"\x01" * 8)),
        ("bytearray(b'\\x01'*8)", lambda: bytearray(b"\x01" * 8)),
        ("memoryview(b'\\x00\\x01'*4)", lambda: memoryview(b"\x00\x01" * 4)),
        ("memoryview(array('I'))", lambda: memoryview(__import__("array").array("I", [1, 2]))),
        ("[]", lambda: []),
        ("[1, 0, 300]", lambda: [1, 0, 300]),
        ("[b'a', 'b']", lambda: [b"a", "b"]),
        ("(1, None)", lambda: (1, None)),
        ("{}", lambda: {}),
        ("{'data': b'ab'}", lambda: {"data": b"ab"}),
        ("{1: 2}", lambda: {1: 2}),
        ("DictSub(data=b'a')", lambda: DictSub(data=b"a")),
        ("object()", lambda: object()),
        ("int", lambda: int),
        ("len", lambda: len),
        ("lambda: 1/0", lambda: (lambda *a, **k: 1 / 0)),
        ("BadIndex()", BadIndex),
        ("HugeIndex()", HugeIndex),
        ("BadLen()", BadLen),
        ("HugeLen()", HugeLen),
        ("BadEq()", BadEq),
        ("BadHash()", BadHash),
        ("BadIter()", BadIter),
        ("BadIterLater()", BadIterLater),
        ("BadRepr()", BadRepr),
        ("RaisingStream()", RaisingStream),
        ("WeirdStream(5)", lambda: WeirdStream(5)),
        ("WeirdStream('ab')", lambda: WeirdStream("ab")),
        ("WeirdStream(None)", lambda: WeirdStream(None)),
        ("FiniteStream(16)", lambda: FiniteStream(16, 3)),
    ]


VALUES = _values()

# A smaller set for rebinding module globals (each rebinding is tried against
# every function of the module).
GLOBAL_VALUES = [
    ("None", lambda: None),
    ("0", lambda: 0),
    ("b''", lambda: b""),
    ("'x'", lambda: "x"),
    ("[]", lambda: []),
    ("[1]*256", lambda: [1] * 256),
    ("['ab']*256", lambda: ["ab"] * 256),
    ("[None]*300", lambda: [None] * 300),
    ("{}", lambda: {}),
    ("{i: 'x'*i for i in range(256)}", lambda: {i: "x" * i for i in range(256)}),
    ("{i: b'ab' for i in range(256)}", lambda: {i: b"ab" for i in range(256)}),
    ("{i: None for i in range(256)}", lambda: {i: None for i in range(256)}),
    ("DictSub()", lambda: DictSub()),
    ("lambda *a: 1/0", lambda: (lambda *a, **k: 1 / 0)),
    ("lambda *a: None", lambda: (lambda *a, **k: None)),
    ("lambda *a: 7", lambda: (lambda *a, **k: 7)),
    ("lambda *a: b'\\x01\\x02'", lambda: (lambda *a, **k: b"\x01\x02")),
    ("BadIndex()", BadIndex),
    ("BadHash()", BadHash),
    ("object()", lambda: object()),
    ("int", lambda: int),
]
