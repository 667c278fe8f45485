"""tavro.lib.binary as a type checker sees it."""

from typing_extensions import assert_type

from tavro.lib.binary import (
    bits2integer,
    bytes2bits,
    bytes2integer,
    hexlify,
    integer2bits,
    integer2bytes,
    swapbytes,
)

assert_type(integer2bits(19, 8), bytes)
assert_type(bits2integer(b"\x01\x00\x00\x01\x01", signed=True), int)
assert_type(integer2bytes(-1, 2), bytes)
assert_type(bytes2integer(bytearray(b"\x80\x00"), True), int)
assert_type(bytes2bits(b"\x0f"), bytes)
# swapbytes gives back the kind of sequence it is given.
assert_type(swapbytes(bytearray(b"ab")), bytearray)
assert_type(swapbytes(b"ab"), bytes)
assert_type(swapbytes([1, 2, 3]), list[int])
assert_type(hexlify(b"\xff"), bytes)
print(integer2bytes(bytes2integer(b"\x01\x02") + 1, 2).hex())
