from tavro.lib.portil import *
from tavro._pure._args import native_errors as _native_errors

import binascii


@_native_errors
def integer2bits(number, width):
    """Converts an integer into a bit string of width bytes 0x00 or 0x01, most significant bit first; negative
numbers are written in two's complement and only the low width bits are kept.

>>> integer2bits(19, 8)
b'\\x00\\x00\\x00\\x01\\x00\\x00\\x01\\x01'"""
    if width < 0:
        raise ValueError("width must be non-negative")
    number = int(number)
    if number < 0:
        number += 1 << width
    # The interpreter's own one-byte string 0x00, as int2byte(0) gives it (a
    # constant of the code would be a copy of its own), made without looking
    # up a name.
    bits = [b"\x00\x00"[:1]] * width
    i = width - 1
    while number and i >= 0:
        bits[i] = int2byte(number & 1)
        number >>= 1
        i -= 1
    return b"".join(bits)


@_native_errors
def integer2bytes(number, width):
    """Converts an integer into a big-endian byte string of width bytes, two's complement for negative numbers;
the number must lie in -256**width <= number < 256**width.

>>> integer2bytes(19, 4)
b'\\x00\\x00\\x00\\x13'"""
    if width < 0:
        raise ValueError("width must be non-negative")
    number = int(number)
    if number < 0:
        number += 1 << (width * 8)
    acc = [b"\x00\x00"[:1]] * width  # int2byte(0)'s own object, as in integer2bits
    # Outside -256**width <= number < 256**width the steps would write
    # through negative indexes: refused instead.
    if number < 0 or number >> (8 * len(acc)):
        raise ValueError("number out of range for width %d" % len(acc))
    i = width - 1
    while number > 0:
        acc[i] = int2byte(number & 255)
        number >>= 8
        i -= 1
    return b"".join(acc)


@_native_errors
def bits2integer(data, signed=False):
    """Converts a bit string (one byte 0x00 or 0x01 per bit, most significant first) into an integer, taking the
first bit as the sign when signed is true.

>>> bits2integer(b'\\x01\\x00\\x00\\x01\\x01', signed=True)
-13"""
    number = 0
    for b in iterateints(data):
        number = (number << 1) | b
    if signed and byte2int(data[0:1]):
        bias = 1 << len(data)
        return number - bias
    return number


@_native_errors
def bytes2integer(data, signed=False):
    """Converts a big-endian byte string into an integer, two's complement when signed is true.

>>> bytes2integer(b'\\x80\\x00', signed=True)
-32768"""
    number = 0
    for b in iterateints(data):
        number = (number << 8) | b
    if signed and byte2int(bytes2bits(data[0:1])[0:1]):
        bias = 1 << (len(data) * 8)
        return number - bias
    return number


BYTES2BITS_CACHE = {i: integer2bits(i, 8) for i in range(256)}


@_native_errors
def bytes2bits(data):
    """Expands a byte string into its bit string, 8 bytes 0x00 or 0x01 per byte, most significant bit first.

>>> bytes2bits(b'a')
b'\\x00\\x01\\x01\\x00\\x00\\x00\\x00\\x01'"""
    return b"".join([BYTES2BITS_CACHE[b] for b in iterateints(data)])


BITS2BYTES_CACHE = {bytes2bits(int2byte(i)): int2byte(i) for i in range(256)}


@_native_errors
def bits2bytes(data):
    """Packs a bit string (8 bytes 0x00 or 0x01 per byte, most significant bit first) into a byte string.

>>> bits2bytes(b'\\x00\\x01\\x01\\x00\\x00\\x00\\x00\\x01')
b'a'"""
    if len(data) % 8:
        raise ValueError("data length must be a multiple of 8")
    return b"".join([BITS2BYTES_CACHE[data[i:i + 8]] for i in range(0, len(data), 8)])


@_native_errors
def swapbytes(data):
    """Reverses the order of the bytes (of any sliceable sequence).

>>> swapbytes(b'abcd')
b'dcba'"""
    return data[::-1]


@_native_errors
def swapbytesinbits(data):
    """Reverses the order of the 8-bit groups of a bit string, leaving each group as it is.

>>> swapbytesinbits(b'0000000011111111')
b'1111111100000000'"""
    n = len(data)
    if n % 8:
        raise ValueError("data length must be multiple of 8")
    return b"".join([data[i:i + 8] for i in range(n - 8, -1, -8)])


SWAPBITSINBYTES_CACHE = {i: bits2bytes(bytes2bits(int2byte(i))[::-1]) for i in range(256)}


@_native_errors
def swapbitsinbytes(data):
    """Reverses the order of the bits inside every byte; byte order is unchanged.

>>> swapbitsinbytes(b'\\x12\\x34')
b'H,'"""
    return b"".join([SWAPBITSINBYTES_CACHE[b] for b in iterateints(data)])


@_native_errors
def hexlify(data):
    """Returns the hexadecimal representation of data, as binascii.hexlify does.

>>> hexlify(b'ab')
b'6162'"""
    return binascii.hexlify(data)


@_native_errors
def unhexlify(data):
    """Returns the bytes that a hexadecimal representation stands for, as binascii.unhexlify does.

>>> unhexlify(b'6162')
b'ab'"""
    return binascii.unhexlify(data)
