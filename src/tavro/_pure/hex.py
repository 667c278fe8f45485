from tavro.lib.portil import *
from tavro._pure._args import native_errors as _native_errors

import binascii


class HexDisplayedInteger(integertypes[0]):
    """Used internally."""

    @_native_errors
    def __str__(self, /):
        fmtstr = self.fmtstr
        # An empty format string makes format() call str(self), this very
        # method: the uppercase digits are shown instead of recursing.
        if isinstance(fmtstr, str) and not fmtstr and _empty_format_comes_back(self):
            fmtstr = "X"
        return "0x" + builtins.format(self, fmtstr).upper()

    @staticmethod
    @_native_errors
    def new(intvalue, fmtstr):
        obj = HexDisplayedInteger(intvalue)
        obj.fmtstr = fmtstr
        return obj


def _empty_format_comes_back(value):
    cls = type(value)
    return cls.__format__ is int.__format__ and cls.__str__ is HexDisplayedInteger.__dict__["__str__"]


class HexDisplayedBytes(bytestringtype):
    """Used internally."""

    @_native_errors
    def __str__(self, /):
        try:
            self.render
        except Exception:
            self.render = "unhexlify(%s)" % (trimstring(binascii.hexlify(self)),)
        return self.render


class HexDisplayedDict(dict):
    """Used internally."""

    @_native_errors
    def __str__(self, /):
        try:
            self.render
        except Exception:
            self.render = "unhexlify(%s)" % (trimstring(binascii.hexlify(self["data"])),)
        return self.render


class HexDumpDisplayedBytes(bytestringtype):
    """Used internally."""

    @_native_errors
    def __str__(self, /):
        try:
            self.render
        except Exception:
            self.render = hexdump(self, 16)
        return self.render


class HexDumpDisplayedDict(dict):
    """Used internally."""

    @_native_errors
    def __str__(self, /):
        try:
            self.render
        except Exception:
            self.render = hexdump(self["data"], 16)
        return self.render


PRINTABLE = [bytes2str(int2byte(i)) if 32 <= i < 128 else "." for i in range(256)]
HEXPRINT = [format(i, "02X") for i in range(256)]


@_native_errors
def hexdump(data, linesize):
    # The built-ins the steps call are read from the module `builtins` that
    # the star import binds here, as the native module holds them: a
    # namespace whose __builtins__ was replaced still reaches them.
    size = builtins.len(data)
    if size < 16**4:
        fmt = "%%04X   %%-%ds   %%s"
    elif size < 16**8:
        fmt = "%%08X   %%-%ds   %%s"
    else:
        raise ValueError("hexdump cannot process more than 16**8 or 4294967296 bytes")
    fmt = fmt % (3 * linesize - 1,)
    lines = ['hexundump("""']
    # A negative step would make range() iterate nothing and drop every byte.
    offsets = builtins.range(0, size, linesize)
    if offsets.step < 0:
        raise ValueError("hexdump linesize must be positive, got %s" % (offsets.step,))
    for i in offsets:
        hexline = " ".join(HEXPRINT[b] for b in iterateints(data[i:i + linesize]))
        printline = "".join(PRINTABLE[b] for b in iterateints(data[i:i + linesize]))
        lines.append(fmt % (i, hexline, printline))
    lines.append('""")')
    lines.append("")
    return "\n".join(lines)


@_native_errors
def hexundump(data, linesize):
    raw = []
    pieces = data.split("\n")
    # The first piece, the closing line and, only when the text ends with a
    # line feed, the empty piece after it: a dump whose final line feed was
    # stripped keeps its last data line.
    for line in pieces[1:-2 if pieces[-1:] == [""] else -1]:
        line = line[line.find(" "):].lstrip()
        raw.extend(int2byte(builtins.int(h, 16)) for h in line[:3 * linesize].split())
    return b"".join(raw)


# The docstrings as the native functions have them, indentation included
# (from 3.13 on the compiler would strip the indentation of a docstring).
hexdump.__doc__ = """
    Turns bytes into a unicode string of the format:

    ::

        >>>print(hexdump(b'0' * 100, 16))
        hexundump(\\"\\"\\"
""" + "".join(f"        {offset:04X}   {'30 ' * 15}30   {'0' * 16}\n" for offset in range(0, 96, 16)) + """\
        0060   30 30 30 30                                       0000
        \\"\\"\\")
    """
hexundump.__doc__ = """
    Reverse of `hexdump`.
    """
