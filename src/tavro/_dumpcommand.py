"""The `python -m tavro dump|undump` command (also installed as `tavro`).

`dump` writes exactly the text of `tavro.lib.hex.hexdump(data, linesize)` and
`undump` turns such text back into the bytes; both stream, so a file of any
size passes through a fixed amount of memory.

Streaming the dump is possible because the only property of the whole input
that the text depends on is the width of the offsets: four hex digits when the
input is shorter than 65536 bytes, eight otherwise.  So the command reads the
first 65536 bytes (all of them for a small input), which settles the width
whatever the input is -- a regular file, a pipe, or a file that grows while it
is read -- and from then on dumps block by block; `tavro._dump.dumplines`
writes each block's lines with their absolute offsets.  The size of a regular
file is used only to refuse one of 4 GiB or more before anything is written,
as `hexdump` does, and to show a percentage.  A stream of unknown size is
dumped until it ends; at 4 GiB, where the format ends, the command stops with
hexdump's message and without writing the closing line, so that the partial
dump cannot be mistaken for a whole one (`--length` dumps the start of an
endless stream such as /dev/zero).

`undump` is stricter than `hexundump`, which trusts its input: it checks the
opening and closing lines, every offset, and the layout of every data line,
and reports the first malformed line by its number instead of silently
dropping or misreading bytes (a dump cut short would otherwise lose its last
data line).  Empty lines after the closing line are accepted (editors and
`echo` add them); any other text there is refused.  The printable column is
not compared with the bytes, so a dump whose hex pairs were edited by hand
still reads back.  `tavro._dump.undumplines` reads and checks a block of lines
at a time.  On a malformed line the output holds the bytes of every line
before it.

Neither direction imports tavro.lib.hex: the text is that of the module's
standard tables, which nobody can have rebound in the command's own process,
and not loading the library keeps the start-up short (tavro.lib.portil, which
tavro.lib.hex imports, probes for numpy when it loads).

As a Unix tool: Ctrl-C exits with status 130 and a reader that goes away
(`| head`) with 141, the statuses of the two signals' default actions, and a
closed standard output (`>&-`) with 1, all without a message; any other
failure to write names standard output; a progress line
appears on standard error when it is a terminal and the work lasts more than
a second.
"""

import errno
import os
import stat
import sys
import time

from tavro._dump import LINESIZE_LIMIT, dumplines, undumplines

OPENING = b'hexundump("""'
CLOSING = b'""")'
# Inputs shorter than 16**4 bytes get four-digit offsets, longer ones eight.
SHORT_LIMIT = 65536
# hexdump refuses inputs of 16**8 bytes or more.
SIZE_LIMIT = 4294967296
TOO_LARGE = "hexdump cannot process more than 16**8 or 4294967296 bytes"
# Input bytes that dump writes at a time (rounded down to whole lines).
DUMP_BLOCK = 1 << 18
# Bytes of dump text that undump reads and checks at a time.
READ_BLOCK = 1 << 20
# The exit statuses of a process ended by SIGINT and by SIGPIPE, which a shell reports.
INTERRUPTED = 130
BROKEN_PIPE = 141
OUTPUT = "standard output"


class CommandError(Exception):
    """A failure to report on standard error, with exit status 1.

    `subject` is what failed (a file name, standard output); None stands for the input.
    """

    def __init__(self, message: str, subject: str | None = None) -> None:
        super().__init__(message)
        self.subject = subject


class MalformedLine(CommandError):
    def __init__(self, lineno: int, message: str) -> None:
        super().__init__(f"line {lineno}: {message}")
        self.lineno = lineno


def _reason(error: OSError) -> str:
    return error.strerror or str(error)


def _read(source, count: int) -> bytes:
    try:
        data = source.read(count)
        while data is None:  # a non-blocking input with nothing to read yet: wait, not EOF
            import select

            select.select([source], [], [])
            data = source.read(count)
        return data
    except OSError as error:
        raise CommandError(_reason(error)) from None


def _read_up_to(source, count: int) -> bytes:
    """Up to `count` bytes; fewer only at the end of the input (pipes return short reads)."""
    data = _read(source, count)
    if len(data) == count or not data:
        return data
    pieces = [data]
    count -= len(data)
    while count > 0:
        piece = _read(source, count)
        if not piece:
            break
        pieces.append(piece)
        count -= len(piece)
    return b"".join(pieces)


def _output_error(error: OSError) -> Exception:
    """What a failed write to standard output becomes: BrokenPipeError when the reader went away."""
    if isinstance(error, BrokenPipeError):
        return error
    # Windows's C runtime reports a write to a pipe whose reader has gone as
    # EINVAL: the event that is EPIPE elsewhere.
    if sys.platform == "win32" and error.errno == errno.EINVAL:
        return BrokenPipeError(errno.EPIPE, os.strerror(errno.EPIPE))
    return CommandError(_reason(error), OUTPUT)


def _write(sink, data: bytes) -> None:
    try:
        sink.write(data)
    except OSError as error:
        raise _output_error(error) from None


def _flush(sink) -> None:
    try:
        sink.flush()
    except OSError as error:
        raise _output_error(error) from None


class _NoProgress:
    def update(self, done: int) -> None:
        pass

    def clear(self) -> None:
        pass


def _amount(count: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    raise AssertionError("unreachable")


class _Progress(_NoProgress):
    """One line on a terminal, redrawn in place: bytes done, rate, and the percentage of a known size.

    Nothing is shown during the first second, so quick runs leave the terminal as it was.
    """

    DELAY = 1.0
    INTERVAL = 0.25
    clock = staticmethod(time.monotonic)

    def __init__(self, stream, name: str, total: int | None) -> None:
        self.stream = stream
        self.name = name
        self.total = total
        self.start = self.clock()
        self.due = self.start + self.DELAY
        self.shown = False

    def update(self, done: int) -> None:
        now = self.clock()
        if now < self.due:
            return
        self.due = now + self.INTERVAL
        text = f"{self.name}: {_amount(done)}"
        if self.total:
            text += f" of {_amount(self.total)} ({min(100, done * 100 // self.total)}%)"
        text += f", {_amount(done / (now - self.start))}/s"
        self._draw(text)

    def clear(self) -> None:
        if self.shown:
            self._draw("")
            self.shown = False

    def _draw(self, text: str) -> None:
        # Carriage return, the text, and "erase to the end of the line" for a shorter text.
        try:
            self.stream.write(f"\r{text}\x1b[K")
            self.stream.flush()
        except (OSError, ValueError):
            self.due = float("inf")  # the terminal has gone: stop drawing
            return
        self.shown = bool(text)


def _skip(source, count: int) -> None:
    """Moves `count` bytes on: by seeking where the input can, else by reading and dropping them."""
    try:
        if source.seekable():
            source.seek(count, os.SEEK_CUR)
            return
    except (OSError, AttributeError, ValueError):
        pass
    while count > 0:
        piece = _read(source, min(count, READ_BLOCK))
        if not piece:
            return
        count -= len(piece)


def dump(source, sink, linesize: int, size: int | None = None, length: int | None = None,
         progress: _NoProgress | None = None) -> None:
    """Write the dump of the binary stream `source` to the binary stream `sink`.

    At most `length` bytes are read when it is given; `size`, when known, is the number of
    bytes that will be dumped.
    """
    progress = progress or _NoProgress()
    if size is not None and size >= SIZE_LIMIT:
        raise CommandError(TOO_LARGE)

    remaining = length  # bytes that --length still allows; None: no limit

    def read(count: int) -> bytes:
        nonlocal remaining
        if remaining is not None:
            count = min(count, remaining)
        data = _read_up_to(source, count) if count > 0 else b""
        if remaining is not None:
            remaining -= len(data)
        return data

    head = read(SHORT_LIMIT)
    digits = 4 if len(head) < SHORT_LIMIT else 8
    # A whole number of lines per block, so that lines fall where they fall in one dump,
    # and never fewer bytes than the head.
    block_size = linesize * max(1, DUMP_BLOCK // linesize)
    _write(sink, OPENING + b"\n")
    block = head
    if len(head) == SHORT_LIMIT:
        block += read(block_size - len(head))
    done = 0
    while block:
        if done + len(block) >= SIZE_LIMIT:
            raise CommandError(TOO_LARGE)
        _write(sink, dumplines(block, linesize, done, digits))
        done += len(block)
        progress.update(done)
        if len(block) < block_size:
            break  # the end of the input, or of --length
        block = read(block_size)
    _write(sink, CLOSING + b"\n")


_HEX_DIGITS = frozenset(b"0123456789abcdefABCDEF")


def _starts_like_a_longer_line(line: bytes, linesize: int) -> bool:
    """Whether the start of an unfinished line is an offset and more hex pairs than `linesize`."""
    offset, _, rest = bytes(line[:8 + 3 + 3 * (linesize + 1)]).partition(b"   ")
    pairs = rest.split(b" ")[:linesize + 1]
    return (len(offset) in (4, 8) and set(offset) <= _HEX_DIGITS and len(pairs) > linesize
            and all(len(pair) == 2 and set(pair) <= _HEX_DIGITS for pair in pairs))


def _without_cr(line: bytes) -> bytes:
    return line[:-1] if line.endswith(b"\r") else line


def _ascii(lineno: int, line: bytes) -> str:
    try:
        return line.decode("ascii")
    except UnicodeDecodeError:
        raise MalformedLine(lineno, "not ASCII text") from None


class _Undump:
    """Reads dump text, whole lines at a time, and writes the bytes of its data lines."""

    def __init__(self, sink, linesize: int) -> None:
        self.sink = sink
        self.linesize = linesize
        self.lineno = 1  # of the next line
        self.offset = 0  # of the next byte
        self.digits = 0  # the offset width, once a data line has settled it
        self.state = "opening"

    def lines(self, text: bytes, start: int, stop: int) -> None:
        """Reads the lines of text[start:stop], each ended by a line feed."""
        position = start
        while position < stop:
            if self.state == "opening":
                feed = text.index(b"\n", position)
                line = _ascii(1, _without_cr(text[position:feed]))
                if line != OPENING.decode():
                    raise MalformedLine(1, f"expected the opening line {OPENING.decode()}, found {line[:40]!r}")
                position = feed + 1
                self.lineno = 2
                self.state = "data"
            elif self.state == "data":
                with memoryview(text) as view, view[position:stop] as block:
                    data, end, self.lineno, self.digits, error = undumplines(
                        block, self.linesize, self.offset, self.digits, self.lineno)
                if data:
                    _write(self.sink, data)
                    self.offset += len(data)
                if error is not None:
                    raise MalformedLine(self.lineno, error)
                position += end
                if position < stop:  # at the closing line
                    position = text.index(b"\n", position) + 1
                    self.lineno += 1
                    self.state = "closed"
            else:
                self.after_closing(text[position:stop])
                return

    def after_closing(self, text: bytes) -> None:
        """Lines after the closing line: empty ones (a carriage return at most) are allowed."""
        if text.replace(b"\r\n", b"").replace(b"\n", b""):
            for index, line in enumerate(text.split(b"\n")):
                if line not in (b"", b"\r"):
                    raise MalformedLine(self.lineno + index, f"text after the closing line {CLOSING.decode()}")
        self.lineno += text.count(b"\n")

    def check_unfinished(self, line: bytes, limit: int) -> None:
        """The start of a line whose line feed has not come yet: refuse what no complete line can mend."""
        if self.state == "closed":
            if line not in (b"", b"\r"):
                raise MalformedLine(self.lineno, f"text after the closing line {CLOSING.decode()}")
        elif len(line) > limit:
            if self.state == "opening":
                found = line[:40].decode("ascii", "replace")
                raise MalformedLine(1, f"expected the opening line {OPENING.decode()}, found {found!r}")
            hint = " (was the dump made with a larger --linesize?)" if _starts_like_a_longer_line(
                line, self.linesize) else ""
            raise MalformedLine(self.lineno, f"longer than {limit} characters, more than a dump line holds" + hint)

    def finish(self) -> None:
        if self.state == "opening":
            raise MalformedLine(1, f"the input is empty; a dump starts with the line {OPENING.decode()}")
        if self.state == "data":
            raise MalformedLine(self.lineno, f"the dump ends without its closing line {CLOSING.decode()} "
                                             "(was it cut short?)")


def undump(source, sink, linesize: int, progress: _NoProgress | None = None) -> None:
    """Write the bytes of the dump text read from the binary stream `source` to `sink`."""
    progress = progress or _NoProgress()
    reader = _Undump(sink, linesize)
    # offset, three spaces, hex column, three spaces, printable column, and a carriage return
    limit = max(8 + 3 + (3 * linesize - 1) + 3 + linesize + 1, len(OPENING) + 1)
    # The start of a line whose line feed is still to come. A bytearray grows
    # in place, so that a line longer than a block costs time in proportion
    # to its length, not to its length times the number of its blocks.
    pending = bytearray()
    done = 0
    while True:
        chunk = _read(source, READ_BLOCK)
        done += len(chunk)
        if not chunk:
            if pending:
                # The last line has no line feed: read it as if it had one.
                pending += b"\n"
                reader.lines(pending, 0, len(pending))
            break
        start = 0
        if pending:
            feed = chunk.find(b"\n")
            if feed < 0:
                pending += chunk
                reader.check_unfinished(pending, limit)
                progress.update(done)
                continue
            pending += chunk[:feed + 1]
            reader.lines(pending, 0, len(pending))
            start = feed + 1
        whole = chunk.rfind(b"\n") + 1
        if whole > start:
            reader.lines(chunk, start, whole)
        pending = bytearray(chunk[max(start, whole):])
        reader.check_unfinished(pending, limit)
        progress.update(done)
    reader.finish()


def _linesize(text: str) -> int:
    """A line size: 1 up to the bound of the line helpers (the one check of it)."""
    try:
        value = int(text)
    except ValueError:
        raise ValueError(f"not an integer: {text!r}") from None
    if value < 1:
        raise ValueError(f"must be at least 1, not {value}")
    if value > LINESIZE_LIMIT:
        raise ValueError(f"must be at most {LINESIZE_LIMIT}, not {value}")
    return value


def _count(text: str) -> int:
    """A byte count: decimal, or hexadecimal after 0x."""
    try:
        value = int(text, 16) if text.lower().startswith("0x") else int(text, 10)
    except ValueError:
        raise ValueError(f"not a byte count: {text!r}") from None
    if value < 0:
        raise ValueError(f"must be at least 0, not {value}")
    return value


class Arguments:
    """What the command line asks for (the attributes of argparse's namespace)."""

    def __init__(self, command: str, file: str, linesize: int = 16, skip: int = 0,
                 length: int | None = None, progress: bool = True) -> None:
        self.command = command
        self.file = file
        self.linesize = linesize
        self.skip = skip
        self.length = length
        self.progress = progress

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Arguments) and vars(self) == vars(other)

    def __repr__(self) -> str:
        return f"Arguments({', '.join(f'{key}={value!r}' for key, value in vars(self).items())})"


_OPTIONS = {"--linesize": ("linesize", _linesize), "--skip": ("skip", _count), "--length": ("length", _count)}


def quick_arguments(argv: list[str]) -> Arguments | None:
    """The arguments of an ordinary command line, read without argparse; None for any other.

    Importing and setting up argparse takes longer than the rest of the command's start,
    so the common forms -- `dump|undump FILE` with the options spelt out, as `--opt N` or
    `--opt=N` -- are read here. Everything else (help, --version, abbreviated options, `--`,
    mistakes) goes to argparse, which gives the same result for what is read here.
    """
    if not argv or argv[0] not in ("dump", "undump"):
        return None
    values: dict = {}
    file = None
    index = 1
    while index < len(argv):
        token = argv[index]
        index += 1
        if token == "-" or not token.startswith("-"):
            if file is not None:
                return None
            file = token
        elif token == "--no-progress":
            values["progress"] = False
        else:
            option, equals, value = token.partition("=")
            if option not in _OPTIONS or (option != "--linesize" and argv[0] != "dump"):
                return None
            if not equals:
                if index == len(argv) or argv[index].startswith("-"):
                    return None
                value = argv[index]
                index += 1
            key, convert = _OPTIONS[option]
            try:
                values[key] = convert(value)
            except ValueError:
                return None
    if file is None:
        return None
    return Arguments(argv[0], file, **values)


def _parser(prog: str):
    import argparse

    def checked(convert):
        def argument_type(text: str) -> int:
            try:
                return convert(text)
            except ValueError as error:
                raise argparse.ArgumentTypeError(str(error)) from None
        argument_type.__name__ = convert.__name__
        return argument_type

    class VersionAction(argparse.Action):
        """--version, reading the version from the installed metadata only when asked."""

        def __init__(self, option_strings, dest, **kwargs) -> None:
            super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                             help="show the version of tavro and exit")

        def __call__(self, parser, namespace, values, option_string=None) -> None:
            import tavro

            sys.stdout.write(f"tavro {tavro.__version__}\n")
            parser.exit()

    parser = argparse.ArgumentParser(
        prog=prog,
        description="Write the reversible hex dump of a file (the text of tavro.lib.hex.hexdump), "
                    "or read such a dump back to bytes.")
    parser.add_argument("--version", action=VersionAction)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, help_text, input_help in (
            ("dump", "write the hex dump of FILE to standard output", "file to dump"),
            ("undump", "write the bytes of the hex dump in FILE to standard output",
             "hex dump to read")):
        command = commands.add_parser(name, help=help_text, description=help_text + ".")
        command.add_argument("file", metavar="FILE", help=f"{input_help}; - for standard input")
        command.add_argument("--linesize", type=checked(_linesize), default=16, metavar="N",
                             help="bytes per line (default 16)" if name == "dump" else
                             "bytes per line the dump was made with (default 16)")
        if name == "dump":
            command.add_argument("--skip", type=checked(_count), default=0, metavar="N",
                                 help="start at byte N of FILE (decimal, or hex after 0x)")
            command.add_argument("--length", type=checked(_count), default=None, metavar="N",
                                 help="dump at most N bytes (decimal, or hex after 0x)")
        command.add_argument("--no-progress", dest="progress", action="store_false",
                             help="no progress line on standard error (shown only on a terminal, "
                                  "for work that lasts more than a second)")
    return parser


def parse_arguments(argv: list[str], prog: str = "python -m tavro") -> Arguments:
    """The command line's arguments; argparse exits (SystemExit) on help, --version and mistakes."""
    quick = quick_arguments(argv)
    if quick is not None:
        return quick
    namespace = _parser(prog).parse_args(argv)
    return Arguments(**vars(namespace))


class _Answer(Exception):
    """Help or version text that argparse wrote instead of parsing, and the status it exits with."""

    def __init__(self, text: str, status: int) -> None:
        super().__init__(text)
        self.text = text
        self.status = status


def _parse_or_answer(argv: list[str], prog: str) -> Arguments:
    """parse_arguments, with what argparse would print on standard output (help, the version) kept
    and raised as an _Answer, so that it is written as the command writes everything: a closed
    pipe ends it quietly, a failed write is reported (argparse itself ignores a failed write)."""
    import io

    real, sys.stdout = sys.stdout, io.StringIO()
    try:
        return parse_arguments(argv, prog)
    except SystemExit as done:
        text = sys.stdout.getvalue()
        status = done.code if isinstance(done.code, int) else 0 if done.code is None else 1
        if not text:
            raise
        raise _Answer(text, status) from None
    finally:
        sys.stdout = real


def _regular_size(stream) -> int | None:
    """The size of a regular file from the current position on; None for pipes, terminals, devices."""
    try:
        status = os.fstat(stream.fileno())
        if not stat.S_ISREG(status.st_mode):
            return None
        return max(0, status.st_size - stream.tell())
    except (OSError, AttributeError, ValueError):
        return None


def _silence(stream) -> None:
    """Points standard output at /dev/null, so that the interpreter's last flush cannot fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, stream.fileno())
        finally:
            os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def _flush_quietly(stream) -> None:
    try:
        stream.flush()
    except (OSError, ValueError):
        _silence(stream)


def main(argv: list[str] | None = None, stdin=None, stdout=None, stderr=None,
         prog: str = "python -m tavro") -> int:
    """Run the command; the streams are binary (standard input and output by default)."""
    stderr = stderr if stderr is not None else sys.stderr
    name = prog

    def report(message: str) -> None:
        if stderr is not None:
            try:
                stderr.write(f"{name}: {message}\n")
                stderr.flush()
            except (OSError, ValueError):
                pass

    try:
        args = _parse_or_answer(sys.argv[1:] if argv is None else list(argv), prog)
    except _Answer as answer:
        if stdout is None and sys.stdout is None:
            return 1
        return _write_answer(answer, stdout if stdout is not None else sys.stdout.buffer, report)
    name = f"{prog} {args.command}"
    if stdout is None:
        if sys.stdout is None:  # started with standard output closed (>&-): nothing to say it to
            return 1
        stdout = sys.stdout.buffer
    label = "standard input" if args.file == "-" else args.file
    opened = args.file != "-"
    try:
        if not opened and stdin is None and sys.stdin is None:  # started with standard input closed (<&-)
            raise OSError(9, os.strerror(9))
        source = open(args.file, "rb") if opened else stdin if stdin is not None else sys.stdin.buffer
    except OSError as error:
        report(f"cannot open {label}: {_reason(error)}")
        return 1
    progress = _NoProgress()
    try:
        if args.command == "dump" and args.skip:
            _skip(source, args.skip)
        size = _regular_size(source)
        if args.command == "dump" and args.length is not None and size is not None:
            size = min(size, args.length)
        if args.progress and stderr is not None and stderr.isatty():
            progress = _Progress(stderr, name, size)
        if args.command == "dump":
            dump(source, stdout, args.linesize, size, args.length, progress)
        else:
            undump(source, stdout, args.linesize, progress)
        progress.clear()
        _flush(stdout)
    except CommandError as error:
        progress.clear()
        if error.subject == OUTPUT:
            _silence(stdout)
        else:
            _flush_quietly(stdout)  # the bytes of what was read before the failure
        report(f"{error.subject or label}: {error}")
        return 1
    except MemoryError:
        progress.clear()
        _flush_quietly(stdout)
        report(f"{label}: out of memory (a line of {args.linesize} bytes is too long?)")
        return 1
    except BrokenPipeError:
        # The reader went away (as with `| head`): stop quietly, as a filter does.
        progress.clear()
        _silence(stdout)
        return BROKEN_PIPE
    except KeyboardInterrupt:
        progress.clear()
        _flush_quietly(stdout)
        return INTERRUPTED
    finally:
        if opened:
            source.close()
    return 0


def _write_answer(answer: _Answer, stdout, report) -> int:
    """Writes help or version text to standard output as dump and undump write their output."""
    encoding = getattr(sys.stdout, "encoding", None) or "utf-8"
    try:
        _write(stdout, answer.text.encode(encoding, "replace"))
        _flush(stdout)
    except BrokenPipeError:
        _silence(stdout)
        return BROKEN_PIPE
    except CommandError as error:
        _silence(stdout)
        report(f"{error.subject}: {error}")
        return 1
    return answer.status


def run(prog: str = "python -m tavro") -> int:
    """The process's entry: main(), a Ctrl-C outside the work itself, and the last flush."""
    try:
        status = main(prog=prog)
    except KeyboardInterrupt:
        status = INTERRUPTED
    except SystemExit as done:  # argparse: --help, --version, usage errors
        status = done.code if isinstance(done.code, int) else 1
    # Help and usage text go through sys.stdout: flush it here, where a failure can still
    # be dealt with, rather than at the interpreter's exit, where it would print a traceback.
    if sys.stdout is not None:
        try:
            _flush(sys.stdout)
        except BrokenPipeError:
            _silence(sys.stdout)
            status = status or BROKEN_PIPE
        except (CommandError, ValueError):
            _silence(sys.stdout)
            status = status or 1
    return status


def script() -> int:
    """The `tavro` console script."""
    return run("tavro")
