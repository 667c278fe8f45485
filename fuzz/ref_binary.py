"""Reference model of the integer, bit and byte conversions, written plainly
in Python from the documented algorithms. The fuzz targets compare the
native module against it."""


def integer2bits(number, width):
    if width < 0:
        raise ValueError("width must be non-negative")
    number = int(number)
    if number < 0:
        number += 1 << width
    bits = [b"\x00"] * width
    i = width - 1
    while number and i >= 0:
        bits[i] = bytes((number & 1,))
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
    i = width - 1
    while number > 0:
        acc[i] = bytes((number & 255,))
        number >>= 8
        i -= 1
    return b"".join(acc)


def bits2integer(data, signed=False):
    number = 0
    for b in data:
        number = (number << 1) | b
    if signed and data[0:1] and data[0] != 0:
        return number - (1 << len(data))
    if signed and not data[0:1]:
        raise TypeError("ord() expected a character, but string of length 0 found")
    return number


def bytes2integer(data, signed=False):
    number = 0
    for b in data:
        number = (number << 8) | b
    if signed:
        if not data[0:1]:
            raise TypeError("ord() expected a character, but string of length 0 found")
        if data[0] & 0x80:
            return number - (1 << (len(data) * 8))
    return number


def bytes2bits(data):
    return b"".join(integer2bits(b, 8) for b in data)


def bits2bytes(data):
    if len(data) % 8:
        raise ValueError("data length must be a multiple of 8")
    out = []
    for i in range(0, len(data), 8):
        group = data[i:i + 8]
        if any(b not in (0, 1) for b in group):
            raise KeyError(group)
        out.append(bytes((bits2integer(group),)))
    return b"".join(out)


def swapbytes(data):
    return data[::-1]


def swapbytesinbits(data):
    if len(data) % 8:
        raise ValueError("data length must be multiple of 8")
    return b"".join(data[i:i + 8] for i in reversed(range(0, len(data), 8)))


def swapbitsinbytes(data):
    return bytes(int(format(b, "08b")[::-1], 2) for b in data)
