# Type stubs for tavro.lib.portil: interpreter flags, type tuples and conversion helpers.
#
# The optional packages probed at import (`numpy`, the top-level `ruamel`) are bound
# only when installed, so they are not declared here; test `supportsnumpy` and
# `supportsksyexport` instead.

import builtins as builtins
import sys as sys
from builtins import bytes as bytes
from collections.abc import Generator, Iterable
from enum import IntEnum as IntEnum, IntFlag as IntFlag
from typing import SupportsIndex, TypeVar, overload

from _typeshed import ReadableBuffer

_T = TypeVar("_T")

PY: tuple[int, int]
PY2: bool
PY3: bool
PYPY: bool
supportsnumpy: bool
supportsksyexport: bool
supportsintenum: bool
supportsintflag: bool
supportskwordered: bool

stringtypes: tuple[type[bytes], type[str]]
integertypes: tuple[type[int]]
unicodestringtype: type[str]
bytestringtype: type[bytes]

INT2BYTE_CACHE: dict[int, bytes]
ITERATEBYTES_CACHE: dict[int, bytes]

def int2byte(character: int) -> bytes:
    """Converts (0 through 255) integer into b'...' character."""

def byte2int(character: str | bytes | bytearray) -> int:
    """Converts b'...' character into (0 through 255) integer."""

def str2bytes(string: str) -> bytes:
    """Converts '...' string into b'...' string. On PY2 they are equivalent. On PY3 its utf8 encoded."""

def bytes2str(string: bytes | bytearray) -> str:
    """Converts b'...' string into '...' string. On PY2 they are equivalent. On PY3 its utf8 decoded."""

# The identity helpers return the very object they are given, of any type.
def str2unicode(string: _T) -> _T:
    """Converts '...' string into u'...' string. On PY2 its utf8 encoded. On PY3 they are equivalent."""

def unicode2str(string: _T) -> _T:
    """Converts u'...' string into '...' string. On PY2 its utf8 decoded. On PY3 they are equivalent."""

def iteratebytes(data: Iterable[int]) -> Generator[bytes, None, None]:
    """Iterates though b'...' string yielding b'...' characters."""

def iterateints(data: _T) -> _T:
    """Iterates though b'...' string yielding (0 through 255) integers."""

@overload
def reprstring(data: bytes | str) -> str: ...
@overload
def reprstring(data: object) -> str | None: ...
@overload
def trimstring(data: bytes | str) -> str: ...
@overload
def trimstring(data: object) -> str | None: ...
def integers2bytes(ints: Iterable[SupportsIndex] | SupportsIndex | ReadableBuffer) -> bytes:
    """Converts integer generator into bytes."""

def bytes2integers(data: _T) -> _T:
    """Converts bytes into bytes/bytearray, so indexing/iterating yields integers."""
