"""Pure-Python renditions of tavro.lib.portil's helpers and tavro.lib.binary's
operations, following the same contract step by step. The benchmarks time the
native modules against these."""

import binascii

INT2BYTE_CACHE = {i: bytes([i]) for i in range(256)}


def int2byte(character):
    return INT2BYTE_CACHE[character]


def byte2int(character):
    return ord(character)


def iterateints(data):
    return data


ITERATEBYTES_CACHE = {i: bytes([i]) for i in range(256)}


def iteratebytes(data):
    return (ITERATEBYTES_CACHE[i] for i in data)


def integer2bits(number, width):
    if width < 0:
        raise ValueError("width must be non-negative")
    number = int(number)
    if number < 0:
        number += 1 << width
    bits = [b"\x00"] * width
    i = width - 1
    while number and i >= 0:
        bits[i] = int2byte(number & 1)
        number >>= 1
        i -= 1
    return b"".join(bits)


def integer2bytes(number, width):
    if width < 0:
        raise ValueError("width must be non-negative")
    number = int(number)
    if number < 0:
        number += 1 << (width * 8)
    acc = [b"\x00"] * width
    if number < 0 or number >> (width * 8):
        raise ValueError("number out of range for width %d" % width)
    i = width - 1
    while number > 0:
        acc[i] = int2byte(number & 255)
        number >>= 8
        i -= 1
    return b"".join(acc)


def bits2integer(data, signed=False):
    number = 0
    for b in iterateints(data):
        number = (number << 1) | b
    if signed and byte2int(data[0:1]):
        bias = 1 << len(data)
        return number - bias
    return number


def bytes2integer(data, signed=False):
    number = 0
    for b in iterateints(data):
        number = (number << 8) | b
    if signed and byte2int(bytes2bits(data[0:1])[0:1]):
        bias = 1 << (len(data) * 8)
        return number - bias
    return number


BYTES2BITS_CACHE = {i: integer2bits(i, 8) for i in range(256)}


def bytes2bits(data):
    return b"".join(BYTES2BITS_CACHE[b] for b in iterateints(data))


BITS2BYTES_CACHE = {bytes2bits(int2byte(i)): int2byte(i) for i in range(256)}


def bits2bytes(data):
    if len(data) & 7:
        raise ValueError("data length must be a multiple of 8")
    return b"".join(BITS2BYTES_CACHE[data[i:i + 8]] for i in range(0, len(data), 8))


def swapbytes(data):
    return data[::-1]


def swapbytesinbits(data):
    n = len(data)
    if n % 8:
        raise ValueError("data length must be multiple of 8")
    return b"".join(data[i:i + 8] for i in reversed(range(0, n, 8)))


SWAPBITSINBYTES_CACHE = {i: bits2bytes(bytes2bits(int2byte(i))[::-1]) for i in range(256)}


def swapbitsinbytes(data):
    return b"".join(SWAPBITSINBYTES_CACHE[b] for b in iterateints(data))


def hexlify(data):
    return binascii.hexlify(data)


def unhexlify(data):
    return binascii.unhexlify(data)
