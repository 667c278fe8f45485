# Type stubs for tavro.lib.hex: the reversible hex-dump format and values whose
# text form is hexadecimal.

import binascii as binascii
from collections.abc import Sequence
from typing import Any

from _typeshed import ConvertibleToInt
from typing_extensions import disjoint_base

# The module copies every public name of tavro.lib.portil into its own namespace.
from tavro.lib.portil import *

@disjoint_base
class HexDisplayedInteger(int):
    """Used internally."""

    fmtstr: str
    @staticmethod
    def new(intvalue: ConvertibleToInt, fmtstr: str) -> HexDisplayedInteger: ...

@disjoint_base
class HexDisplayedBytes(bytes):
    """Used internally."""

    render: str

class HexDisplayedDict(dict[Any, Any]):
    """Used internally."""

    render: str

@disjoint_base
class HexDumpDisplayedBytes(bytes):
    """Used internally."""

    render: str

class HexDumpDisplayedDict(dict[Any, Any]):
    """Used internally."""

    render: str

PRINTABLE: list[str]
HEXPRINT: list[str]

def hexdump(data: bytes | bytearray | Sequence[int], linesize: int) -> str: ...
def hexundump(data: str, linesize: int) -> bytes: ...
