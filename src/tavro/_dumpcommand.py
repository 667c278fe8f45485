"""The `python -m tavro dump|undump` command.

`dump` writes exactly the text of `tavro.lib.hex.hexdump(data, linesize)` and
`undump` turns such text back into the bytes; both stream, so a file of any
size passes through a fixed amount of memory.

Streaming the dump is possible because the only property of the whole input
that the text depends on is the width of the offsets: four hex digits when the
input is shorter than 65536 bytes, eight otherwise.  So the command reads the
first 65536 bytes (all of them for a small input), which settles the width
whatever the input is -- a regular file, a pipe, or a file that grows while it
is read -- and from then on dumps block by block with the native `hexdump`,
rewriting each line's offset to the absolute one.  The size of a regular file
is used only to refuse one of 4 GiB or more before anything is written, as
`hexdump` does; from a pipe, that limit is noticed when it is reached.

`undump` is stricter than `hexundump`, which trusts its input: it checks the
opening and closing lines, every offset, and the layout of every data line,
and reports the first malformed line by its number instead of silently
dropping or misreading bytes (a dump cut short would otherwise lose its last
data line).  The printable column is not compared with the bytes, so a dump
whose hex pairs were edited by hand still reads back.  Text is read in blocks;
a block that is exactly what `dump` writes (checked by dumping its bytes again,
at native speed) needs no line-by-line reading.  On a malformed line the output
holds the bytes of every line before it.
"""

from __future__ import annotations

import argparse
import os
import re
import stat
import sys

OPENING = 'hexundump("""'
CLOSING = '""")'
# Inputs shorter than 16**4 bytes get four-digit offsets, longer ones eight.
SHORT_LIMIT = 65536
# hexdump refuses inputs of 16**8 bytes or more.
SIZE_LIMIT = 4294967296
TOO_LARGE = "hexdump cannot process more than 16**8 or 4294967296 bytes"
CLOSING_BYTES = CLOSING.encode()
# Bytes of dump text that undump reads and checks at a time.
READ_BLOCK = 1 << 18

_HEX_PAIRS = re.compile(r"[0-9A-Fa-f]{2}(?: [0-9A-Fa-f]{2})*\Z")
_HEX_DIGITS = re.compile(r"[0-9A-Fa-f]+\Z")


class CommandError(Exception):
    """A failure to report on standard error, with exit status 1."""


class MalformedLine(CommandError):
    def __init__(self, lineno: int, message: str) -> None:
        super().__init__(f"line {lineno}: {message}")
        self.lineno = lineno


def _read_full(source, count: int) -> bytes:
    """Up to `count` bytes; fewer only at the end of the input (pipes return short reads)."""
    pieces = []
    while count > 0:
        piece = source.read(count)
        if not piece:
            break
        pieces.append(piece)
        count -= len(piece)
    return b"".join(pieces)


def _blocks(source, head: bytes, size: int):
    """`head` and then the rest of `source`, in blocks of exactly `size` bytes but the last."""
    pending = head
    while True:
        if len(pending) < size:
            pending += _read_full(source, size - len(pending))
        if not pending:
            return
        yield pending[:size]
        pending = pending[size:]


def _render(hexdump, block: bytes, offset: int, linesize: int, offset_format: str) -> str:
    """The data lines of `block` within a dump, for `block` starting at `offset`, without line ends."""
    lines = hexdump(block, linesize).split("\n")[1:-2]
    relative_width = 4 if len(block) < SHORT_LIMIT else 8
    return "\n".join([offset_format % (offset + index * linesize) + line[relative_width:]
                      for index, line in enumerate(lines)])


def dump(source, sink, linesize: int, size_hint: int | None = None) -> None:
    """Write the dump of the binary stream `source` to the binary stream `sink`."""
    from tavro.lib.hex import hexdump

    if size_hint is not None and size_hint >= SIZE_LIMIT:
        raise CommandError(TOO_LARGE)
    head = _read_full(source, SHORT_LIMIT)
    offset_format = "%04X" if len(head) < SHORT_LIMIT else "%08X"
    # Blocks shorter than 65536 bytes, so that hexdump writes each with four-digit offsets,
    # and a whole number of lines, so that the lines fall where they fall in one dump.
    block_size = linesize * max(1, (SHORT_LIMIT - 1) // linesize)
    sink.write(OPENING.encode() + b"\n")
    offset = 0
    for block in _blocks(source, head, block_size):
        if offset + len(block) >= SIZE_LIMIT:
            raise CommandError(TOO_LARGE)
        sink.write(_render(hexdump, block, offset, linesize, offset_format).encode("utf-8") + b"\n")
        offset += len(block)
    sink.write(CLOSING.encode() + b"\n")


def _line_batches(source, limit: int, hint: str):
    """(number of the first line, [lines without their line feed]), read a block at a time.

    No line may be longer than `limit` bytes, so memory stays bounded whatever the input.
    """
    lineno = 1
    pending = b""
    while True:
        block = source.read(READ_BLOCK)
        if not block:
            if pending:
                yield lineno, [pending]
            return
        lines = (pending + block).split(b"\n")
        pending = lines.pop()
        for index, line in enumerate(lines + [pending]):
            if len(line) > limit:
                raise MalformedLine(lineno + index, f"longer than {limit} characters, more than "
                                                    "a dump line holds" + hint)
        if lines:
            yield lineno, lines
            lineno += len(lines)


def _decode_line(lineno: int, raw: bytes) -> str:
    if raw.endswith(b"\r"):
        raw = raw[:-1]
    try:
        return raw.decode("ascii")
    except UnicodeDecodeError:
        raise MalformedLine(lineno, "not ASCII text") from None


def _parse_data_line(lineno: int, line: str, linesize: int, width: int | None,
                     expected: int) -> tuple[int, bytes]:
    """(offset width, bytes) of one data line, checked against the dump's layout."""
    space = line.find(" ")
    field = line[:space] if space >= 0 else line
    if space not in (4, 8) or not _HEX_DIGITS.match(field):
        raise MalformedLine(lineno, f"expected a 4- or 8-digit hex offset, found {field[:16]!r}")
    if width is not None and space != width:
        raise MalformedLine(lineno, f"offset {field} has {space} digits, the lines before have {width}")
    if int(field, 16) != expected:
        raise MalformedLine(lineno, f"offset {field} where {expected:0{space}X} was expected "
                                    "(a line missing, repeated or of the wrong length?)")
    rest = line[space:]
    hex_width = 3 * linesize - 1
    hex_column = rest[3:3 + hex_width]
    printable = rest[3 + hex_width:]
    pairs = hex_column.rstrip(" ")
    if not rest.startswith("   ") or not _HEX_PAIRS.match(pairs):
        raise MalformedLine(lineno, f"expected hex byte pairs separated by single spaces "
                                    f"after the offset, found {hex_column.strip()[:24]!r}"
                                    + _linesize_hint(linesize))
    data = bytes.fromhex(pairs)
    if not printable.startswith("   ") or len(printable) - 3 != len(data):
        raise MalformedLine(lineno, f"the hex column of line size {linesize} is not followed by three "
                                    f"spaces and {len(data)} printable characters"
                                    + _linesize_hint(linesize))
    return space, data


def _linesize_hint(linesize: int) -> str:
    return f" (was the dump made with --linesize {linesize}?)"


def _canonical_batch(hexdump, lines: list, linesize: int, width: int | None, offset: int):
    """The bytes of `lines` if they are exactly what dump writes there, else None.

    Re-dumping the bytes and comparing the text checks offsets, layout and the printable
    column of a whole batch at native speed; anything else (hand-edited pairs, carriage
    returns, a malformed line) goes through the line-by-line reader, which names the line.
    """
    try:
        text = b"\n".join(lines).decode("ascii")
    except UnicodeDecodeError:
        return None
    width = width or text.find(" ")
    if width not in (4, 8):
        return None
    start = width + 3
    stop = start + 3 * linesize - 1
    try:
        data = bytes.fromhex(" ".join([line[start:stop] for line in text.split("\n")]))
    except ValueError:
        return None
    offset_format = "%04X" if width == 4 else "%08X"
    if not data or _render(hexdump, data, offset, linesize, offset_format) != text:
        return None
    return width, data


def undump(source, sink, linesize: int) -> None:
    """Write the bytes of the dump text read from the binary stream `source` to `sink`."""
    from tavro.lib.hex import hexdump

    # offset, three spaces, hex column, three spaces, printable column, and a carriage return
    limit = max(8 + 3 + (3 * linesize - 1) + 3 + linesize + 1, len(OPENING) + 1)
    width = None
    offset = 0
    opened = closed = False
    lineno = 0
    for first_lineno, lines in _line_batches(source, limit, _linesize_hint(linesize)):
        if not opened:
            line = _decode_line(1, lines[0])
            if line != OPENING:
                raise MalformedLine(1, f"expected the opening line {OPENING}, found {line[:40]!r}")
            opened = True
            lines, first_lineno = lines[1:], 2
        # The fast path takes the data lines before a closing line, if any.
        data_lines = lines
        if not closed and CLOSING_BYTES in lines:
            data_lines = lines[:lines.index(CLOSING_BYTES)]
        canonical = None if closed else _canonical_batch(hexdump, data_lines, linesize, width, offset)
        if canonical is not None:
            width, data = canonical
            sink.write(data)
            offset += len(data)
            lines, first_lineno = lines[len(data_lines):], first_lineno + len(data_lines)
        batch = []
        try:
            for lineno, raw in enumerate(lines, first_lineno):
                line = _decode_line(lineno, raw)
                if closed:
                    raise MalformedLine(lineno, f"text after the closing line {CLOSING}")
                if line == CLOSING:
                    closed = True
                    continue
                width, data = _parse_data_line(lineno, line, linesize, width, offset)
                offset += len(data)
                batch.append(data)
        finally:
            # On a malformed line, the output holds exactly the bytes of the lines before it.
            sink.write(b"".join(batch))
        lineno = first_lineno + len(lines) - 1
    if not opened:
        raise MalformedLine(1, f"the input is empty; a dump starts with the line {OPENING}")
    if not closed:
        raise MalformedLine(lineno + 1, f"the dump ends without its closing line {CLOSING} "
                                        "(was it cut short?)")


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m tavro",
        description="Write the reversible hex dump of a file (the text of tavro.lib.hex.hexdump), "
                    "or read such a dump back to bytes.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, help_text, input_help in (
            ("dump", "write the hex dump of FILE to standard output", "file to dump"),
            ("undump", "write the bytes of the hex dump in FILE to standard output",
             "hex dump to read")):
        command = commands.add_parser(name, help=help_text, description=help_text + ".")
        command.add_argument("file", metavar="FILE", help=f"{input_help}; - for standard input")
        command.add_argument("--linesize", type=_positive, default=16, metavar="N",
                             help="bytes per line (default 16)" if name == "dump" else
                             "bytes per line the dump was made with (default 16)")
    return parser


def main(argv=None, stdin=None, stdout=None, stderr=None) -> int:
    """Run the command; the streams are binary (standard input and output by default)."""
    stdin = stdin if stdin is not None else sys.stdin.buffer
    stdout = stdout if stdout is not None else sys.stdout.buffer
    stderr = stderr if stderr is not None else sys.stderr
    args = _parser().parse_args(argv)
    label = "standard input" if args.file == "-" else args.file
    try:
        if args.file == "-":
            source, size_hint = stdin, None
        else:
            source = open(args.file, "rb")
            status = os.fstat(source.fileno())
            size_hint = status.st_size if stat.S_ISREG(status.st_mode) else None
    except OSError as error:
        stderr.write(f"python -m tavro {args.command}: cannot open {label}: {error.strerror}\n")
        return 1
    try:
        if args.command == "dump":
            dump(source, stdout, args.linesize, size_hint)
        else:
            undump(source, stdout, args.linesize)
        stdout.flush()
    except CommandError as error:
        _flush_quietly(stdout)
        stderr.write(f"python -m tavro {args.command}: {label}: {error}\n")
        return 1
    except BrokenPipeError:
        # The reader went away (as with `| head`): stop quietly, like other filters.
        _silence(stdout)
        return 1
    except OSError as error:
        _flush_quietly(stdout)
        stderr.write(f"python -m tavro {args.command}: {label}: {error.strerror or error}\n")
        return 1
    finally:
        if source is not stdin:
            source.close()
    return 0


def _flush_quietly(stream) -> None:
    try:
        stream.flush()
    except OSError:
        pass


def _silence(stream) -> None:
    # Point the descriptor at /dev/null so the interpreter's final flush does not fail again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass
