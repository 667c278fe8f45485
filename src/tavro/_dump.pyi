# Type stubs for tavro._dump, the per-line work of the dump command (private).

from typing_extensions import Buffer

def dumplines(data: Buffer, linesize: int, offset: int, digits: int) -> bytes: ...
def undumplines(
    text: Buffer, linesize: int, offset: int, digits: int, lineno: int
) -> tuple[bytes, int, int, int, str | None]: ...

# The largest line size the two functions take (the command's bound for --linesize).
LINESIZE_LIMIT: int
