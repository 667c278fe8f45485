"""A compact pure-Python rendition of tavro.lib.hex, following the same contract.

Used as the baseline of bench/bench_hex.py and as an executable reference in
tests/test_hex.py. The few helpers that the native module takes from
tavro.lib.portil are defined here in the same pure-Python style, so that this
file runs on its own.
"""

import binascii
import operator

INT2BYTE_CACHE = {i: bytes((i,)) for i in range(256)}


def int2byte(character):
    """Converts (0 through 255) integer into b'...' character."""
    return INT2BYTE_CACHE[character]


def bytes2str(string):
    return string.decode("utf8")


def iterateints(data):
    return data


def trimstring(data):
    if isinstance(data, bytes):
        return repr(data)[1:]
    if isinstance(data, str):
        return repr(data)
    return None


integertypes = (int,)
bytestringtype = bytes


class HexDisplayedInteger(integertypes[0]):
    """Used internally."""

    def __str__(self):
        fmtstr = self.fmtstr
        if (isinstance(fmtstr, str) and not fmtstr and type(self).__format__ is int.__format__
                and type(self).__str__ is HexDisplayedInteger.__str__):
            # format() with an empty format string would call this method again.
            fmtstr = "X"
        return "0x" + format(self, fmtstr).upper()

    @staticmethod
    def new(intvalue, fmtstr):
        obj = HexDisplayedInteger(intvalue)
        obj.fmtstr = fmtstr
        return obj


class HexDisplayedBytes(bytestringtype):
    """Used internally."""

    def __str__(self):
        try:
            self.render
        except BaseException:
            self.render = "unhexlify(%s)" % (trimstring(binascii.hexlify(self)),)
        return self.render


class HexDisplayedDict(dict):
    """Used internally."""

    def __str__(self):
        try:
            self.render
        except BaseException:
            self.render = "unhexlify(%s)" % (trimstring(binascii.hexlify(self["data"])),)
        return self.render


class HexDumpDisplayedBytes(bytestringtype):
    """Used internally."""

    def __str__(self):
        try:
            self.render
        except BaseException:
            self.render = hexdump(self, 16)
        return self.render


class HexDumpDisplayedDict(dict):
    """Used internally."""

    def __str__(self):
        try:
            self.render
        except BaseException:
            self.render = hexdump(self["data"], 16)
        return self.render


PRINTABLE = [bytes2str(int2byte(i)) if 32 <= i < 128 else "." for i in range(256)]
HEXPRINT = [format(i, "02X") for i in range(256)]


def hexdump(data, linesize):
    n = len(data)
    if n < 16**4:
        fmt = "%%04X   %%-%ds   %%s" % (3 * linesize - 1)
    elif n < 16**8:
        fmt = "%%08X   %%-%ds   %%s" % (3 * linesize - 1)
    else:
        raise ValueError("hexdump cannot process more than 16**8 or 4294967296 bytes")
    lines = ['hexundump("""']
    step = operator.index(linesize)
    if step < 0:
        raise ValueError("hexdump linesize must be positive, got %d" % step)
    for i in range(0, n, step):
        chunk = data[i:i + linesize]
        hexcol = " ".join([HEXPRINT[b] for b in iterateints(chunk)])
        printcol = "".join([PRINTABLE[b] for b in iterateints(chunk)])
        lines.append(fmt % (i, hexcol, printcol))
    lines.append('""")')
    lines.append("")
    return "\n".join(lines)


def hexundump(data, linesize):
    raw = []
    pieces = data.split("\n")
    # The first piece and the closing line, and the empty piece after it
    # only when the text ends with a line feed.
    for line in pieces[1:-2] if pieces[-1:] == [""] else pieces[1:-1]:
        line = line[line.find(" "):].lstrip()
        raw.extend([int2byte(int(h, 16)) for h in line[:3 * linesize].split()])
    return b"".join(raw)
