"""The per-line work of `python -m tavro dump` and `undump`, written in Python.

`dumplines` writes the data lines of a block of bytes, offsets counted from
the block's place in the whole input; `undumplines` reads the data lines of a
block of dump text, checks every one of them, and says where it stopped and
why. Both write the text that the standard tables of tavro.lib.hex give.
"""

import sys as _sys

from tavro._pure._args import native_errors as _native_errors

# A line holds 4 * linesize + 13 characters at most (8-digit offset, CR):
# this bound keeps every size computed from a line size far from overflow.
LINESIZE_LIMIT = _sys.maxsize // 8

_PAIRS = [b"%02X " % i for i in range(256)]
_PRINTABLE = [bytes([i]) if 32 <= i < 128 else b"." for i in range(256)]
_HEX = frozenset(b"0123456789abcdefABCDEF")
_CLOSING = b'""")'


def _ranged_index(value, what, low, high):
    if not isinstance(value, int):
        raise TypeError("%s must be an integer, not %.100s" % (what, type(value).__name__))
    if not low <= value <= high:
        raise ValueError("%s must be between %d and %d, not %s" % (what, low, high, value))
    return int(value)


def _contents(data):
    """The bytes of a bytes-like object, as a buffer export reads them."""
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError("a bytes-like object is required, not '%.100s'" % type(data).__name__) from None
    with view:
        return view.tobytes()


def _digits(value, unsettled_allowed):
    digits = _ranged_index(value, "digits", 0, 8)
    if digits not in (4, 8) and not (unsettled_allowed and digits == 0):
        raise ValueError("digits must be 4 or 8%s, not %d" % (" (or 0)" if unsettled_allowed else "", digits))
    return digits


@_native_errors
def dumplines(data, linesize, offset, digits):
    """The data lines of `data`, bytes, as they stand in a dump in which its first byte has the offset
`offset`: `linesize` bytes per line, offsets of `digits` (4 or 8) hex digits, every line ended by
a line feed. Unless it is the last block of a dump, `data` holds a whole number of lines."""
    linesize = _ranged_index(linesize, "linesize", 1, LINESIZE_LIMIT)
    offset = _ranged_index(offset, "offset", 0, _sys.maxsize)
    digits = _digits(digits, False)
    chunk = _contents(data)
    if chunk and offset + (len(chunk) - 1) // linesize * linesize >= 1 << (4 * digits):
        raise ValueError("the offsets of these lines do not fit in %d digits" % digits)
    field = 3 * linesize + 2
    lines = []
    for start in range(0, len(chunk), linesize):
        part = chunk[start:start + linesize]
        pairs = b"".join([_PAIRS[byte] for byte in part])
        lines.append(b"%0*X   %s%s%s\n" % (digits, offset + start, pairs, b" " * (field - len(pairs)),
                                          b"".join([_PRINTABLE[byte] for byte in part])))
    return b"".join(lines)


def _shape(rest):
    """The hex byte pairs after a line's offset: (fault, where, pairs, end of the pairs)."""
    if len(rest) < 4 or rest[:3] != b"   " or rest[3:4] == b" ":
        return "no separator", 0, 0, 0
    at, pairs = 3, 0
    while True:
        for _ in range(2):
            if at == len(rest):
                return "half a pair", at - 1, pairs, 0
            if rest[at] not in _HEX:
                return "not a digit", at, pairs, 0
            at += 1
        pairs += 1
        end = at
        if at == len(rest):
            return None, 0, pairs, end
        if rest[at] != 0x20:
            return "no single space", at, pairs, end
        if at + 1 == len(rest) or rest[at + 1] == 0x20:
            return None, 0, pairs, end
        at += 1


def _fitting_linesize(rest, pairs, pairs_end):
    layout = len(rest) - pairs - 5
    if layout < 3 * pairs or layout % 3:
        return 0
    if rest[pairs_end:layout + 5].strip(b" "):
        return 0
    return layout // 3


def _check_line(line, linesize, digits, offset):
    """The bytes of one data line (without its line end), or a message saying what is wrong."""
    if any(c >= 0x80 for c in line):
        return None, "not ASCII text"
    space = line.find(b" ")
    field = line[:space] if space >= 0 else line
    if space not in (4, 8) or not set(field) <= _HEX:
        return None, "expected a 4- or 8-digit hex offset, found %r" % field[:16].decode("ascii")
    text = field.decode("ascii")
    if digits and space != digits:
        return None, "offset %s has %d digits, the lines before have %d" % (text, space, digits)
    if int(field, 16) != offset:
        return None, ("offset %s where %0*X was expected (a line missing, repeated or of the wrong length?)"
                      % (text, space, offset))
    rest = line[space:]

    def column(at):  # as an editor counts, from 1
        return space + at + 1

    fault, at, count, pairs_end = _shape(rest)
    if fault is not None:
        found = rest[at:at + 1].decode("ascii")
        if fault == "no separator":
            return None, "expected three spaces and hex byte pairs after the offset %s" % text
        if fault == "not a digit":
            return None, "not a hex digit at column %d: %r" % (column(at), found)
        if fault == "half a pair":
            return None, "the line ends in the middle of a hex pair at column %d (was it cut short?)" % column(at)
        return None, "expected a single space after the hex pair at column %d, found %r" % (column(at) - 2, found)
    data = bytes.fromhex(rest[3:pairs_end].decode("ascii"))
    # A dump whose trailing white space an editor stripped keeps a shorter
    # printable column, or none: taken when what it lost stood for spaces.
    printable_start = 3 * linesize + 5
    spaces_end = min(len(rest), printable_start)
    blank = pairs_end
    while blank < spaces_end and rest[blank] == 0x20:
        blank += 1
    printable_length = len(rest) - printable_start
    stripped_whole_line = len(rest) == pairs_end and count <= linesize
    laid_out = (count <= linesize and blank == printable_start and printable_length <= count
                and (printable_length == count or rest[-1] != 0x20))
    kept = 0 if stripped_whole_line else printable_length
    only_spaces_lost = all(byte == 0x20 for byte in data[max(kept, 0):])
    if (stripped_whole_line or laid_out) and only_spaces_lost:
        return data, None
    other = _fitting_linesize(rest, count, pairs_end)
    if other > 0 and other != linesize:
        return None, ("the line does not have the layout of line size %d (was the dump made with --linesize %d?)"
                      % (linesize, other))
    if count > linesize:
        return None, "%d hex byte pairs, more than a line of line size %d holds" % (count, linesize)
    if blank < spaces_end:
        return None, ("expected spaces up to column %d, where the printable column of line size %d starts, "
                      "found %r at column %d" % (column(printable_start), linesize,
                                                 rest[blank:blank + 1].decode("ascii"), column(blank)))
    return None, ("the hex column of line size %d is not followed by three spaces and %d printable characters%s"
                  % (linesize, count, " (was the line cut short?)" if kept < count else ""))


@_native_errors
def undumplines(text, linesize, offset, digits, lineno):
    """Reads the data lines at the start of `text`, a block of dump text whose first line has the number
`lineno` and whose first data byte has the offset `offset` in the dump; `digits` is the offset width
of the lines before (0 when there were none). Returns (data, end, lineno, digits, error): the bytes
of the lines read, the position after them, the number of the line there, the offset width, and
None or what is wrong with that line. Without an error, it stopped at the closing line or at the
end of the last whole line of `text`; a last line without a line feed is not read."""
    linesize = _ranged_index(linesize, "linesize", 1, LINESIZE_LIMIT)
    offset = _ranged_index(offset, "offset", 0, _sys.maxsize)
    digits = _digits(digits, True)
    lineno = _ranged_index(lineno, "lineno", 1, _sys.maxsize // 2)
    block = _contents(text)
    out = []
    position = lines = 0
    error = None
    while position < len(block):
        feed = block.find(b"\n", position)
        if feed < 0:
            break
        end = feed - 1 if feed > position and block[feed - 1] == 0x0D else feed
        line = block[position:end]
        if line == _CLOSING:
            break
        data, error = _check_line(line, linesize, digits, offset)
        if error is not None:
            break
        digits = line.find(b" ")
        offset += len(data)
        out.append(data)
        position = feed + 1
        lines += 1
    return b"".join(out), position, lineno + lines, digits, error
