"""Reference model of the hex-dump writer and reader."""

PRINTABLE = [chr(i) if 32 <= i < 128 else "." for i in range(256)]
HEXPRINT = [format(i, "02X") for i in range(256)]


def hexdump(data, linesize):
    n = len(data)
    if n < 65536:
        fmt = "%%04X   %%-%ds   %%s"
    elif n < 4294967296:
        fmt = "%%08X   %%-%ds   %%s"
    else:
        raise ValueError("hexdump cannot process more than 16**8 or 4294967296 bytes")
    fmt = fmt % (3 * linesize - 1)
    lines = ['hexundump("""']
    for i in range(0, n, linesize):
        chunk = data[i:i + linesize]
        hexs = " ".join(HEXPRINT[b] for b in chunk)
        text = "".join(PRINTABLE[b] for b in chunk)
        lines.append(fmt % (i, hexs, text))
    lines.append('""")')
    lines.append("")
    return "\n".join(lines)


def hexundump(data, linesize):
    out = []
    pieces = data.split("\n")
    # The first piece and the closing line, and the empty piece after it
    # only when the text ends with a line feed.
    for line in pieces[1:-2] if pieces[-1:] == [""] else pieces[1:-1]:
        p = line.find(" ")
        rest = line[p:].lstrip()
        for piece in rest[:3 * linesize].split():
            value = int(piece, 16)
            if not 0 <= value <= 255:
                raise KeyError(value)
            out.append(bytes((value,)))
    return b"".join(out)
