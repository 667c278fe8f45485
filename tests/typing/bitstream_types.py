"""tavro.lib.bitstream as a type checker sees it."""

import binascii
import io

from typing_extensions import assert_type

from tavro.lib.bitstream import RebufferedBytesIO, RestreamedBytesIO

stream = RebufferedBytesIO(io.BytesIO(b"0123456789abcdefghij"), tailcutoff=4)
assert_type(stream.read(10), bytes)
assert_type(stream.seek(-4, 1), int)
assert_type(stream.read(2), bytes)


def read_to_the_end(stream: RebufferedBytesIO) -> object:
    """Reading to the end raises ValueError; the stubs flag the call as deprecated.

    The lines after the call are still checked: were it typed NoReturn, a type checker
    would take them for unreachable (and --warn-unreachable would say so here).
    """
    data = stream.read()  # type: ignore[deprecated]
    assert_type(data, object)
    return data


try:
    read_to_the_end(stream)
except ValueError as refused:
    print(refused)
assert_type(stream.cachedfrom(), int)

restreamed = RestreamedBytesIO(io.BytesIO(b"616263"), binascii.unhexlify, 2, binascii.hexlify, 1)
assert_type(restreamed.read(2), bytes)
assert_type(restreamed.read(), bytes)
print(stream.tell(), restreamed.tell())
