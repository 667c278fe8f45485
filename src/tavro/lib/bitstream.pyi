# Type stubs for tavro.lib.bitstream: stream adapters over a caller's substream.

from builtins import BlockingIOError as BlockingIOError
from collections.abc import Callable
from time import sleep as sleep
from typing import Any, Literal, NoReturn, Protocol, overload, type_check_only

from typing_extensions import deprecated

@type_check_only
class _Readable(Protocol):
    # May return None (or raise BlockingIOError) while a non-blocking stream has no data.
    def read(self, n: int, /) -> bytes | None: ...

@type_check_only
class _ReadWritable(_Readable, Protocol):
    def write(self, b: Any, /) -> object: ...

class RestreamedBytesIO:
    substream: Any
    encoder: Callable[[bytes], Any]
    encoderunit: int
    decoder: Callable[[Any], bytes]
    decoderunit: int
    rbuffer: bytes
    wbuffer: bytes
    sincereadwritten: int
    def __init__(
        self,
        substream: _ReadWritable,
        decoder: Callable[[Any], bytes],
        decoderunit: int,
        encoder: Callable[[bytes], Any],
        encoderunit: int,
    ) -> None: ...
    def read(self, count: int | None = None) -> bytes: ...
    def write(self, data: bytes) -> int: ...
    def close(self) -> None: ...
    def seek(self, at: object, whence: object = 0) -> NoReturn: ...
    def seekable(self) -> Literal[False]: ...
    def tell(self) -> int:
        """WARNING: tell is correct only on read-only and write-only instances."""

    def tellable(self) -> Literal[True]: ...

class RebufferedBytesIO:
    substream: Any
    offset: int
    rwbuffer: bytes
    moved: int
    tailcutoff: int | None
    # Seconds a run of empty (b"") polls may last before read or write gives up with
    # IOError; None waits for ever. A class attribute, overridable per instance.
    emptytimeout: float | None
    def __init__(self, substream: _Readable, tailcutoff: int | None = None) -> None: ...
    # Reading to the end of the substream is refused (ValueError): count is required in
    # practice. The call without one is flagged as deprecated rather than typed NoReturn,
    # which would make a type checker skip, as unreachable, all the code after it; its
    # result is an object, so that using it as bytes is an error too.
    @overload
    def read(self, count: int) -> bytes: ...
    @overload
    @deprecated("RebufferedBytesIO.read() needs a count: reading until EOF is not supported (ValueError)")
    def read(self, count: None = None) -> object: ...
    def write(self, data: bytes) -> int: ...
    def seek(self, at: int, whence: int = 0) -> int: ...
    def seekable(self) -> Literal[True]: ...
    def tell(self) -> int: ...
    def tellable(self) -> Literal[True]: ...
    def cachedfrom(self) -> int: ...
    def cachedto(self) -> int: ...
