"""`python -m tavro dump|undump`: the reversible hex dump of a file, streamed."""

import errno
import io
import os
import random
import shlex
import signal
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

try:
    import pty
    import select
except ImportError:  # Windows: no pseudo-terminals
    pty = None

import pytest
from hypothesis import given, settings, strategies as st

from tavro import _dump, _dumpcommand, _pure
from tavro._dumpcommand import Arguments, main, quick_arguments


def model_dump(data, linesize):
    """The dump text: what the literal model's hexdump(data, linesize) returns."""
    return _pure.load().hex.hexdump(data, linesize)


def tavro_command():
    """The command line of `python -m tavro`, run with the implementation this test runs against."""
    prelude = _pure.child_code()
    if not prelude:
        return [sys.executable, "-m", "tavro"]
    return [sys.executable, "-c", prelude + "import runpy; runpy.run_module('tavro', run_name='__main__')"]


def command(*args, input=None, **options):
    return subprocess.run([*tavro_command(), *args], input=input,
                          capture_output=True, timeout=300, **options)


def in_process(*args, input=b""):
    out, err = io.BytesIO(), io.StringIO()
    status = main(list(args), stdin=io.BytesIO(input), stdout=out, stderr=err)
    return status, out.getvalue(), err.getvalue()


def random_bytes(size, seed=None):
    return random.Random(size if seed is None else seed).randbytes(size)


# ---- the text of the dump, and reading it back -----------------------------------------

def test_the_model_is_hexdump():
    # The model stands in for tavro.lib.hex.hexdump throughout this file.
    from tavro.lib.hex import hexdump

    for size, linesize in [(0, 16), (1, 1), (100, 16), (65535, 16), (65536, 7), (300, 70_000)]:
        data = bytes(range(256)) * (size // 256) + bytes(range(size % 256))
        assert model_dump(data, linesize) == hexdump(data, linesize)


def test_binary_file_round_trips_through_both_commands(tmp_path):
    data = bytes(range(256)) + random_bytes(100_000, seed=7)
    original = tmp_path / "data.bin"
    original.write_bytes(data)
    dumped = command("dump", str(original))
    assert dumped.returncode == 0, dumped.stderr
    assert dumped.stdout.decode() == model_dump(data, 16)
    dump_file = tmp_path / "data.hex"
    dump_file.write_bytes(dumped.stdout)
    restored = command("undump", str(dump_file))
    assert (restored.returncode, restored.stderr) == (0, b"")
    assert restored.stdout == data


def test_standard_input_and_linesize_option():
    data = b"tavro\x00\xff" * 300
    dumped = command("dump", "-", "--linesize", "7", input=data)
    assert dumped.returncode == 0, dumped.stderr
    assert dumped.stdout.decode() == model_dump(data, 7)
    restored = command("undump", "--linesize", "7", "-", input=dumped.stdout)
    assert (restored.returncode, restored.stdout) == (0, data)


# Sizes around the switch from 4- to 8-digit offsets and around the command's blocks (the
# 64 KiB head, 256 KiB of input dumped and 1 MiB of text read at a time), with line sizes
# that divide a block, that don't, and one larger than a block.
@pytest.mark.parametrize("size, linesize", [
    (0, 16), (1, 1), (15, 16), (65535, 16), (65535, 7), (65536, 16), (65536, 7),
    (65537, 1), (65551, 33), (200_003, 16), (262_144, 16), (262_145, 16), (600_001, 3),
    (140_001, 70_000), (65535, 70_000), (300_000, 262_147),
])
def test_dump_is_the_text_of_hexdump(size, linesize):
    data = random_bytes(size)
    status, out, err = in_process("dump", "-", "--linesize", str(linesize), input=data)
    assert (status, err) == (0, "")
    assert out.decode() == model_dump(data, linesize)
    assert in_process("undump", "-", "--linesize", str(linesize), input=out)[:2] == (0, data)


@settings(max_examples=60, deadline=None)
@given(data=st.binary(max_size=600), linesize=st.integers(1, 40))
def test_dump_and_undump_agree_with_the_format(data, linesize):
    text = model_dump(data, linesize).encode()
    assert in_process("dump", "-", "--linesize", str(linesize), input=data) == (0, text, "")
    assert in_process("undump", "-", "--linesize", str(linesize), input=text) == (0, data, "")


DATA = random_bytes(70_000, seed=5)


# --skip and --length: the text of hexdump(data[skip:skip + length]), its offsets counted from
# the first byte dumped and their width set by the length of what is dumped.
@pytest.mark.parametrize("skip, length", [
    (0, None), (100, None), (10_000, None), (0, 0), (0, 65535), (0, 65536), (4463, 70),
    (69_999, None), (70_000, None), (80_000, None), (5, 10**9), ("0x10", "0X20"),
])
@pytest.mark.parametrize("source", ["file", "pipe"])
def test_skip_and_length_dump_a_slice(tmp_path, skip, length, source):
    path = tmp_path / "data.bin"
    path.write_bytes(DATA)
    options = ["--skip", str(skip)] + (["--length", str(length)] if length is not None else [])
    if source == "file":  # seeks
        result = command("dump", str(path), *options)
    else:  # reads and drops
        result = command("dump", "-", *options, input=DATA)
    start = int(skip, 0) if isinstance(skip, str) else skip
    stop = None if length is None else start + (int(length, 0) if isinstance(length, str) else length)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == model_dump(DATA[start:stop], 16)


def test_length_ends_an_endless_stream():
    result = command("dump", "/dev/zero", "--length", "100000", "--linesize", "20")
    assert result.returncode == 0
    assert result.stdout.decode() == model_dump(bytes(100_000), 20)


# ---- the native helpers ------------------------------------------------------------------

@settings(max_examples=40, deadline=None)
@given(data=st.binary(max_size=400), linesize=st.integers(1, 24), lines=st.integers(0, 30))
def test_blocks_dumped_from_their_offsets_make_the_whole_dump(data, linesize, lines):
    # Blocks of whole lines, each written from its absolute offset, give the lines of one dump;
    # and reading them back, block after block, gives the bytes.
    split = min(len(data) // linesize, lines) * linesize
    first = _dump.dumplines(data[:split], linesize, 0, 4)
    second = _dump.dumplines(data[split:], linesize, split, 4)
    assert b'hexundump("""\n' + first + second + b'""")\n' == model_dump(data, linesize).encode()
    head, end, lineno, digits, error = _dump.undumplines(first, linesize, 0, 0, 2)
    assert (head, end, lineno, error) == (data[:split], len(first), 2 + split // linesize, None)
    rest, end, _, _, error = _dump.undumplines(second, linesize, split, digits, lineno)
    assert (rest, end, error) == (data[split:], len(second), None)


@pytest.mark.parametrize("linesize", [16, 40])
def test_every_character_of_a_hex_column_changed_in_turn(linesize):
    # The pairs are read sixteen at a time where the processor allows it: a change anywhere in
    # such a run must be seen, and the line must then read (or be refused) as the model says.
    line = _dump.dumplines(random_bytes(linesize), linesize, 0, 4)
    model = _pure.load()._dump.undumplines
    for at in range(4, 4 + 3 * linesize + 5):
        for char in b"0aF g\t\x80":
            text = line[:at] + bytes([char]) + line[at + 1:]
            assert _dump.undumplines(text, linesize, 0, 0, 2) == model(text, linesize, 0, 0, 2)


def test_undumplines_stops_at_the_closing_line_and_before_an_unfinished_line():
    lines = model_dump(bytes(range(40)), 16).encode().split(b"\n")[1:]
    body = b"\n".join(lines[:3]) + b"\n"
    assert _dump.undumplines(body + b'""")\nanything', 16, 0, 0, 2) == (bytes(range(40)), len(body), 5, 4, None)
    # The last line has no line feed: it is left for the caller.
    cut = len(lines[0]) + 1
    assert _dump.undumplines(body[:-1], 16, 0, 0, 2)[1:] == (cut * 2, 4, 4, None)
    assert _dump.undumplines(b"", 16, 0, 8, 7) == (b"", 0, 7, 8, None)


@pytest.mark.parametrize("call, error, words", [
    (lambda: _dump.dumplines(b"x", 0, 0, 4), ValueError, "linesize must be between 1"),
    (lambda: _dump.dumplines(b"x", 16, -1, 4), ValueError, "offset must be between 0"),
    (lambda: _dump.dumplines(b"x", 16, 0, 6), ValueError, "digits must be 4 or 8"),
    (lambda: _dump.dumplines(b"x", 16, 0, 0), ValueError, "digits must be 4 or 8, not 0"),
    (lambda: _dump.dumplines(b"x" * 17, 16, 65520, 4), ValueError, "do not fit in 4 digits"),
    (lambda: _dump.dumplines("text", 16, 0, 4), TypeError, "bytes-like"),
    (lambda: _dump.dumplines(b"x", 16.0, 0, 4), TypeError, "linesize must be an integer"),
    (lambda: _dump.dumplines(b"x", 2**200, 0, 4), ValueError, "linesize must be between"),
    (lambda: _dump.dumplines(b"x", 16, 0), TypeError, "dumplines() takes exactly 4 positional arguments (3 given)"),
    (lambda: _dump.undumplines(b"", 16, 0, 3, 1), ValueError, "digits must be 4 or 8 (or 0), not 3"),
    (lambda: _dump.undumplines(b"", 16, 0, 0, 0), ValueError, "lineno must be between 1"),
    (lambda: _dump.undumplines(b"", 16, 0, 0, 1, 2), TypeError, "takes exactly 5 positional arguments (6 given)"),
])
def test_helper_argument_errors(call, error, words):
    with pytest.raises(error, match=None) as raised:
        call()
    assert words in str(raised.value)


def test_helpers_take_any_byte_buffer():
    data = bytes(range(200))
    text = _dump.dumplines(data, 16, 0, 4)
    assert _dump.dumplines(bytearray(data), 16, 0, 4) == _dump.dumplines(memoryview(data), 16, 0, 4) == text
    assert _dump.undumplines(bytearray(text), 16, 0, 0, 2)[0] == _dump.undumplines(memoryview(text), 16, 0, 0, 2)[0]
    # The last line of an 8-digit dump below 4 GiB.
    assert _dump.dumplines(b"\x41", 16, 0xFFFFFFF0, 8).startswith(b"FFFFFFF0   41 ")


# ---- what undump refuses, and says --------------------------------------------------------

GOOD = model_dump(bytes(range(100)), 16)
LINES = GOOD.split("\n")


@pytest.mark.parametrize("text, lineno, words", [
    pytest.param(GOOD.replace("0020   20 21", "0020   2G 21"), 4, "not a hex digit at column 9: 'G'", id="bad-pair"),
    pytest.param(GOOD.replace("0020   20 21", "0020   20  21"), 4, "expected spaces up to column 58, where the "
                 "printable column of line size 16 starts, found '2' at column 12", id="bad-spacing"),
    pytest.param(GOOD.replace("0020   20 21", "0020   20-21"), 4, "expected a single space after the hex pair at "
                 "column 8, found '-'", id="bad-separator"),
    pytest.param("\n".join(LINES[:4]) + "\n" + LINES[4][:14], 5, "the line ends in the middle of a hex pair at "
                 "column 14 (was it cut short?)", id="cut-in-a-pair"),
    pytest.param("\n".join(LINES[:4]) + "\n" + LINES[4][:60], 5, "the hex column of line size 16 is not followed by "
                 "three spaces and 16 printable characters (was the line cut short?)", id="cut-in-the-printable-column"),
    pytest.param(GOOD.replace("0030   ", "0030 "), 5, "expected three spaces and hex byte pairs after the offset 0030",
                 id="no-separator"),
    pytest.param("\n".join(LINES[:3] + LINES[4:]), 4, "offset 0030 where 0020 was expected (a line missing, "
                 "repeated or of the wrong length?)", id="missing-line"),
    pytest.param("\n".join(LINES[:4] + LINES[3:]), 5, "offset 0020 where 0030", id="repeated-line"),
    pytest.param(GOOD.replace("0030   ", "30   "), 5, "expected a 4- or 8-digit hex offset, found '30'",
                 id="bad-offset"),
    pytest.param(GOOD.replace("0030   ", "00000030   "), 5, "offset 00000030 has 8 digits, the lines before have 4",
                 id="offset-width-changes"),
    pytest.param("\n".join(LINES[:-2]) + "\n", 9, 'the dump ends without its closing line """) (was it cut short?)',
                 id="cut-short"),
    pytest.param(GOOD + "more\n", 10, 'text after the closing line """)', id="trailing-text"),
    pytest.param(GOOD + "\n\n  \n", 12, "text after the closing line", id="trailing-spaces"),
    pytest.param(GOOD + "\nmore", 11, "text after the closing line", id="trailing-text-without-line-feed"),
    pytest.param(GOOD[1:], 1, "expected the opening line hexundump(\"\"\"", id="no-opening-line"),
    pytest.param("", 1, 'the input is empty; a dump starts with the line hexundump("""', id="empty-input"),
    pytest.param(GOOD.replace("   0123", "   012"), 5, "the hex column of line size 16 is not followed by three "
                 "spaces and 16 printable characters", id="short-printable-column"),
    pytest.param(GOOD.replace("0000   00", "0000   \u00e9\u00e9"), 2, "not ASCII text", id="not-ascii"),
    pytest.param(GOOD.replace("0010   10", "0010\n   10"), 3, "hex offset", id="line-feed-inside"),
    pytest.param(GOOD.replace("0000   00", "0000 " + "0" * 300), 2, "hex byte pairs", id="long-line"),
    pytest.param('hexundump("""\n' + "0" * 20_000, 2, "longer than 78 characters, more than a dump line holds\n",
                 id="unfinished-long-line"),
    pytest.param('hexundump("""\n0000   ' + "00 " * 7000, 2, "longer than 78 characters, more than a dump line "
                 "holds (was the dump made with a larger --linesize?)", id="unfinished-line-of-a-larger-size"),
    pytest.param("x" * 20_000, 1, "expected the opening line", id="unfinished-long-first-line"),
])
def test_undump_reports_the_malformed_line(text, lineno, words):
    status, _, err = in_process("undump", "-", input=text.encode())
    assert status == 1
    assert err.startswith(f"python -m tavro undump: standard input: line {lineno}: "), err
    assert words in err


@pytest.mark.parametrize("tail", ["\n", "\n\n\n", "\r\n", "\r\n\r\n", "\n\r", "\r"])
def test_undump_accepts_empty_lines_after_the_closing_line(tail):
    assert in_process("undump", "-", input=(GOOD + tail).encode()) == (0, bytes(range(100)), "")


@pytest.mark.parametrize("linesize", ["8", "32"])
def test_undump_with_the_wrong_linesize_says_so(linesize):
    status, _, err = in_process("undump", "-", "--linesize", linesize, input=GOOD.encode())
    assert status == 1
    assert err.endswith(f"line 2: the line does not have the layout of line size {linesize} "
                        "(was the dump made with --linesize 16?)\n"), err


@pytest.mark.parametrize("text", [
    "\n".join(LINES[:4]) + "\n" + LINES[4][:30] + "\n",  # cut short
    GOOD.replace("0020   20 21", "0020   20 2x"),  # a typo
    GOOD.replace("0020   20 21", "0020   20 21 22"),  # a pair too many
])
def test_the_linesize_hint_comes_only_where_another_size_fits(text):
    status, _, err = in_process("undump", "-", input=text.encode())
    assert status == 1 and "line " in err and "--linesize" not in err, err


def stripped(text):
    """What an editor that drops trailing white space leaves of the text."""
    return "\n".join(line.rstrip(" \t") for line in text.split("\n"))


@settings(max_examples=150, deadline=None)
@given(data=st.binary(max_size=300).map(lambda b: bytes(b" A\x00"[byte % 3] for byte in b)),
       linesize=st.integers(1, 20), crlf=st.booleans())
def test_a_dump_whose_trailing_spaces_were_stripped_reads_back(data, linesize, crlf):
    text = stripped(model_dump(data, linesize))
    if crlf:
        text = text.replace("\n", "\r\n")
    assert in_process("undump", "-", "--linesize", str(linesize), input=text.encode()) == (0, data, "")


@pytest.mark.parametrize("text, lineno, words", [
    # A printable character lost that stood for a byte other than a space.
    (stripped(model_dump(b"AB  ", 4)).replace("   AB", "   A"), 2, "(was the line cut short?)"),
    # Spaces kept at the end of a shortened line: no stripping made it.
    (stripped(model_dump(b"AB  ", 4)) .replace("   AB", "   AB "), 2, "(was the line cut short?)"),
    (stripped(model_dump(b"    ", 4)).replace("20 20 20 20", "20 20 20 20 "), 2, "(was the line cut short?)"),
])
def test_a_stripped_looking_line_that_lost_more_than_spaces_is_refused(text, lineno, words):
    status, _, err = in_process("undump", "-", "--linesize", "4", input=text.encode())
    assert status == 1 and f"line {lineno}: " in err and words in err, err


def test_malformed_line_from_the_command_line(tmp_path):
    broken = tmp_path / "broken.hex"
    broken.write_text(GOOD.replace("0040   40", "0040   4X"))
    result = command("undump", str(broken))
    assert result.returncode == 1
    assert result.stderr.decode().startswith(f"python -m tavro undump: {broken}: line 6: ")
    assert result.stdout == bytes(range(64))


def test_hand_edited_pairs_read_back():
    edited = GOOD.replace("0000   00 01", "0000   ff 01").replace("0010   10", "0010   aB")
    assert in_process("undump", "-", input=edited.encode())[:2] == (0, b"\xff" + bytes(range(1, 16)) + b"\xab"
                                                                     + bytes(range(17, 100)))


BIG = random_bytes(1_200_003, seed=11)
BIG_LINES = model_dump(BIG, 16).split("\n")


def with_line(lineno, text):
    lines = list(BIG_LINES)
    lines[lineno - 1] = text
    return "\n".join(lines).encode()


def test_edits_and_errors_deep_in_a_large_dump():
    # The dump is read in blocks of 1 MiB, whose edges fall inside lines; the line numbers
    # and the bytes written before an error must not depend on where they fall.
    edited = BIG_LINES[5000][:11] + "00" + BIG_LINES[5000][13:]
    expected = bytearray(BIG)
    expected[4999 * 16] = 0
    assert in_process("undump", "-", input=with_line(5001, edited))[:2] == (0, bytes(expected))
    for lineno in (9000, 13_444, 13_445, 13_446, 26_888, 70_000):  # lines around the blocks' ends
        status, out, err = in_process("undump", "-", input=with_line(lineno, BIG_LINES[lineno - 1][:-1] + "\u00ff"))
        assert status == 1 and f"line {lineno}: not ASCII text" in err
        assert out == BIG[:(lineno - 2) * 16]  # the bytes of every line before it
    status, _, err = in_process("undump", "-", input=with_line(12000, BIG_LINES[12000]))
    assert status == 1 and "line 12000: offset" in err


@pytest.mark.parametrize("transform", [
    lambda text: text.replace("\n", "\r\n"),
    lambda text: text.rstrip("\n"),
    lambda text: text.replace("\n", "\r\n").rstrip("\n"),
], ids=["crlf", "no-final-line-feed", "crlf-no-final-line-feed"])
def test_windows_line_ends_and_missing_final_line_feed_are_accepted(transform):
    for data in (bytes(range(100)), BIG[:300_000]):
        assert in_process("undump", "-", input=transform(model_dump(data, 16)).encode())[:2] == (0, data)


# ---- inputs too large for the format ---------------------------------------------------------

def test_a_stream_stops_where_the_format_ends(monkeypatch):
    # The limit is 4 GiB; the command reads it from its module at each run.
    monkeypatch.setattr(_dumpcommand, "SIZE_LIMIT", 300_000)
    status, out, err = in_process("dump", "-", input=random_bytes(700_000))
    assert status == 1
    assert err == ("python -m tavro dump: standard input: "
                   "hexdump cannot process more than 16**8 or 4294967296 bytes\n")
    assert not out.endswith(b'""")\n')  # no closing line: undump refuses the partial dump
    assert in_process("undump", "-", input=out)[0] == 1


def test_a_file_too_large_is_refused_before_anything_is_written(monkeypatch, tmp_path):
    monkeypatch.setattr(_dumpcommand, "SIZE_LIMIT", 1000)
    path = tmp_path / "data.bin"
    path.write_bytes(bytes(1500))
    out, err = io.BytesIO(), io.StringIO()
    assert main(["dump", str(path)], stdout=out, stderr=err) == 1
    assert out.getvalue() == b"" and "hexdump cannot process" in err.getvalue()
    # The slice that --skip and --length leave is what counts.
    assert main(["dump", str(path), "--skip", "600"], stdout=out, stderr=err) == 0


# ---- the command line ---------------------------------------------------------------------------

@pytest.mark.parametrize("args, status, words", [
    (["dump", "-", "--linesize", "0"], 2, "--linesize: must be at least 1, not 0"),
    (["dump", "-", "--linesize", str(2**60)], 2,
     f"--linesize: must be at most {2**60 - 1}, not {2**60}\n"),
    (["undump", "-", f"--linesize={2**60}"], 2, f"--linesize: must be at most {2**60 - 1}, not {2**60}\n"),
    (["dump", "-", "--linesize", "x"], 2, "not an integer: 'x'"),
    (["dump", "-", "--skip", "-1"], 2, "--skip: must be at least 0, not -1"),
    (["dump", "-", "--length", "0xZ"], 2, "not a byte count: '0xZ'"),
    (["undump", "-", "--skip", "1"], 2, "unrecognized arguments: --skip"),
    (["dump", "a", "b"], 2, "unrecognized arguments: b"),
    ([], 2, "COMMAND"),
    (["undump", "/nonexistent/file.hex"], 1, f"cannot open /nonexistent/file.hex: {os.strerror(errno.ENOENT)}"),
    pytest.param(["dump", "/"], 1, f"cannot open /: {os.strerror(errno.EISDIR)}",
                 marks=pytest.mark.skipif(sys.platform == "win32", reason="Windows refuses to open / otherwise")),
])
def test_usage_errors(args, status, words):
    result = command(*args)
    assert result.returncode == status
    assert words.encode() in result.stderr.replace(b"\r\n", b"\n")  # argparse's text stream on Windows
    assert b"Traceback" not in result.stderr


def test_version():
    from importlib.metadata import version

    for args in (["--version"], ["--version", "dump", "-"]):
        result = command(*args)
        assert (result.returncode, result.stdout, result.stderr) == (0, f"tavro {version('tavro')}\n".encode(), b"")


ON_WINDOWS = sys.platform == "win32"
POSIX_SHELL = pytest.mark.skipif(ON_WINDOWS, reason="Windows has no /dev/full and no POSIX shell")


@POSIX_SHELL
@pytest.mark.parametrize("unbuffered", ["", "1"])
@pytest.mark.parametrize("args", [["--version"], ["--help"], ["dump", "--help"]])
def test_help_and_version_report_a_full_output(args, unbuffered):
    env = dict(os.environ, PYTHONUNBUFFERED=unbuffered)
    result = subprocess.run(["sh", "-c", f'{shlex.join(tavro_command())} "$@" > /dev/full', "sh", *args],
                            capture_output=True, timeout=120, env=env)
    assert (result.returncode, result.stderr.decode()) == (
        1, f"python -m tavro: standard output: {os.strerror(errno.ENOSPC)}\n")


@pytest.mark.parametrize("args", [["--version"], ["--help"]])
def test_help_and_version_end_quietly_on_a_closed_pipe(args):
    reading, writing = os.pipe()
    os.close(reading)  # the reader has gone before anything is written
    try:
        result = subprocess.run([*tavro_command(), *args], stdout=writing, stderr=subprocess.PIPE,
                                timeout=120)
    finally:
        os.close(writing)
    assert (result.returncode, result.stderr) == (141, b"")


def test_help_and_version_in_process():
    out = io.BytesIO()
    assert main(["--version"], stdout=out) == 0 and out.getvalue().startswith(b"tavro ")
    out = io.BytesIO()
    assert main(["undump", "--help"], stdout=out) == 0 and out.getvalue().startswith(b"usage: python -m tavro undump")


@pytest.mark.installed_package
def test_the_tavro_script():
    script = Path(sysconfig.get_path("scripts")) / ("tavro.exe" if ON_WINDOWS else "tavro")
    if ON_WINDOWS and not script.exists() and not os.path.exists(os.path.join(sys.prefix, "pyvenv.cfg")):
        pytest.skip("Windows's embeddable CPython has no installer to make scripts (pip install --target)")
    result = subprocess.run([str(script), "dump", "-", "--linesize", "4"], input=b"tavro",
                            capture_output=True, timeout=60)
    assert (result.returncode, result.stdout.decode()) == (0, model_dump(b"tavro", 4))
    result = subprocess.run([str(script), "undump", "-"], input=b"", capture_output=True, timeout=60)
    assert result.returncode == 1 and result.stderr.startswith(b"tavro undump: standard input: line 1: ")


TOKENS = ["dump", "undump", "-", "data.bin", "", "x y", "--linesize", "--linesize=8", "--linesize=0", "8", "0",
          "-5", "0x1f", "--skip", "--skip=3", "--length", "--length=0x10", "--no-progress", "--no-progress=1",
          "--len", "--line", "--", "-h", "--version", "--skip=-1"]


@settings(max_examples=400, deadline=None)
@given(argv=st.lists(st.sampled_from(TOKENS), max_size=7))
def test_quick_reading_of_the_command_line_agrees_with_argparse(argv):
    quick = quick_arguments(argv)
    if quick is None:
        return
    namespace = _dumpcommand._parser("python -m tavro").parse_args(argv)
    assert quick == Arguments(**vars(namespace))


@pytest.mark.parametrize("argv, expected", [
    (["dump", "f"], Arguments("dump", "f")),
    (["undump", "-", "--linesize", "32", "--no-progress"], Arguments("undump", "-", linesize=32, progress=False)),
    (["dump", "--skip=0x10", "f", "--length", "7", "--linesize=3"],
     Arguments("dump", "f", linesize=3, skip=16, length=7)),
])
def test_ordinary_command_lines_are_read_without_argparse(argv, expected):
    assert quick_arguments(argv) == expected


@pytest.mark.installed_package
@pytest.mark.skipif(sys.implementation.name != "cpython", reason="-X importtime is CPython's")
def test_the_command_starts_without_the_library_modules(tmp_path):
    # No tavro.lib module (their import probes for numpy), no argparse for an ordinary
    # command line, no package metadata.
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    result = subprocess.run([sys.executable, "-X", "importtime", "-m", "tavro", "dump", str(empty)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and result.stdout == model_dump(b"", 16)
    imported = {line.rsplit("|", 1)[1].strip() for line in result.stderr.splitlines() if "|" in line}
    assert "tavro._dump" in imported
    assert not {name for name in imported
                if name.startswith(("tavro.lib", "numpy", "argparse", "importlib.metadata"))}


# ---- as a Unix tool: signals, closed and full outputs, progress ------------------------------

@pytest.mark.skipif(ON_WINDOWS, reason="Windows delivers Ctrl-C to a console's process group, not as a signal")
def test_ctrl_c_exits_130_quietly_keeping_what_was_written():
    # As from an interactive shell: a test run in the background inherits an ignored SIGINT.
    process = subprocess.Popen([*tavro_command(), "dump", "-"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    data = random_bytes(300_000)
    process.stdin.write(data)
    process.stdin.flush()
    # The first block (256 KiB of input) is dumped; then the command waits for more input.
    first_block = model_dump(data[:262_144] + bytes(70_000), 16).encode()
    first_block = first_block[:first_block.index(b"\n00040000 ") + 1]
    received = b""
    while len(received) < len(first_block):
        piece = process.stdout.read1(1 << 20)
        assert piece, process.stderr.read()
        received += piece
    time.sleep(0.2)
    process.send_signal(signal.SIGINT)
    rest, err = process.communicate(timeout=60)
    assert (process.returncode, err) == (130, b"")
    assert received + rest == first_block


def test_ctrl_c_in_process():
    class Interrupted(io.BytesIO):
        def read(self, size=-1):
            raise KeyboardInterrupt

    out, err = io.BytesIO(), io.StringIO()
    assert main(["undump", "-"], stdin=Interrupted(), stdout=out, stderr=err) == 130
    assert err.getvalue() == ""


def test_a_reader_that_goes_away_ends_the_command_quietly(tmp_path):
    path = tmp_path / "data.bin"
    data = random_bytes(4_000_000)
    path.write_bytes(data)
    process = subprocess.Popen([*tavro_command(), "dump", str(path)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    head = process.stdout.read(100_000)
    process.stdout.close()
    err = process.stderr.read()
    assert (process.wait(timeout=60), err) == (141, b"")
    assert head == model_dump(data, 16).encode()[:100_000]


@pytest.mark.parametrize("redirect, message", [
    (">&-", ""),  # closed standard output: quiet, as a broken pipe is
    ("> /dev/full", f"python -m tavro {{direction}}: standard output: {os.strerror(errno.ENOSPC)}\n"),
])
@pytest.mark.parametrize("size", [1, 3_000_000])
@pytest.mark.parametrize("direction", ["dump", "undump"])
@POSIX_SHELL
def test_an_output_that_fails_ends_the_command(tmp_path, redirect, message, size, direction):
    path = tmp_path / "input"
    data = random_bytes(size)
    path.write_bytes(data if direction == "dump" else model_dump(data, 16).encode())
    result = subprocess.run(["sh", "-c", f'{shlex.join(tavro_command())} {direction} "$1" {redirect}', "sh",
                             str(path)],
                            capture_output=True, timeout=120)
    assert result.returncode == 1
    assert result.stderr.decode() == message.format(direction=direction)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux's /proc only")
def test_a_failing_input_is_named():
    # Reading a process's memory from offset 0 fails (unmapped): an input error, after the open.
    result = command("dump", "/proc/self/mem")
    assert result.returncode == 1
    assert result.stderr.decode() == f"python -m tavro dump: /proc/self/mem: {os.strerror(errno.EIO)}\n"


def slow_dump(*options, stderr):
    """Runs dump over a pipe that delivers 300 KB, waits 1.3 s, then delivers 300 KB more."""
    process = subprocess.Popen([*tavro_command(), "dump", "-", *options], stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL, stderr=stderr)
    data = random_bytes(300_000)
    process.stdin.write(data)
    process.stdin.flush()
    time.sleep(1.3)
    process.stdin.write(data)
    process.stdin.close()
    return process


def terminal_output(*options):
    """What the command writes on a terminal as its standard error."""
    master, slave = pty.openpty()
    try:
        process = slow_dump(*options, stderr=slave)
        os.close(slave)
        shown = b""
        while True:
            if not select.select([master], [], [], 30)[0]:
                break
            try:
                piece = os.read(master, 4096)
            except OSError:  # EIO: the terminal's last writer has gone
                break
            if not piece:
                break
            shown += piece
        assert process.wait(timeout=60) == 0
        return shown.decode()
    finally:
        os.close(master)


NEEDS_PTY = pytest.mark.skipif(pty is None, reason="Windows has no pseudo-terminals")


@NEEDS_PTY
def test_progress_on_a_terminal():
    shown = terminal_output()
    # One line redrawn in place, then erased: bytes done and the rate (the size of a pipe is unknown).
    assert shown.startswith("\rpython -m tavro dump: ") and shown.endswith("\r\x1b[K")
    assert "KiB" in shown and "/s\x1b[K" in shown and "%" not in shown


@NEEDS_PTY
def test_no_progress_with_the_option_or_off_a_terminal():
    assert terminal_output("--no-progress") == ""
    process = slow_dump(stderr=subprocess.PIPE)
    assert (process.wait(timeout=60), process.stderr.read()) == (0, b"")


def test_the_progress_line(monkeypatch):
    clock = [100.0]
    monkeypatch.setattr(_dumpcommand._Progress, "clock", staticmethod(lambda: clock[0]))
    shown = io.StringIO()
    progress = _dumpcommand._Progress(shown, "tavro dump", 200 << 20)
    progress.update(1 << 20)
    assert shown.getvalue() == ""  # nothing during the first second
    clock[0] += 2
    progress.update(50 << 20)
    assert shown.getvalue() == "\rtavro dump: 50.0 MiB of 200.0 MiB (25%), 25.0 MiB/s\x1b[K"
    progress.update(60 << 20)  # within a quarter of a second of the last drawing
    clock[0] += 1
    progress.update(3 << 30)
    progress.clear()
    assert shown.getvalue().split("\r")[2:] == ["tavro dump: 3.0 GiB of 200.0 MiB (100%), 1.0 GiB/s\x1b[K", "\x1b[K"]
    size_unknown = _dumpcommand._Progress(io.StringIO(), "tavro undump", None)
    clock[0] += 5
    size_unknown.update(1000)
    assert size_unknown.stream.getvalue() == "\rtavro undump: 1000 B, 200 B/s\x1b[K"


@pytest.mark.skipif(os.environ.get("TAVRO_SANITIZED") == "1",
                    reason="the sanitizer's shadow memory and quarantine inflate the resident size")
@pytest.mark.skipif(ON_WINDOWS, reason="the resident size is read with the resource module, which Windows lacks")
@pytest.mark.skipif(sys.implementation.name != "cpython", reason="the bound is CPython's; PyPy's JIT takes more")
@pytest.mark.installed_package
def test_large_file_streams_in_bounded_memory(tmp_path):
    # 24 MiB in: holding it (and its 100 MiB of dump text) would take far more than the limit.
    big = tmp_path / "big.bin"
    block = random_bytes(1 << 20, seed=3)
    with open(big, "wb") as sink:
        for _ in range(24):
            sink.write(block)
    probe = (
        "import resource, subprocess, sys\n"
        f"with open({str(tmp_path / 'big.hex')!r}, 'wb') as out:\n"
        f"    subprocess.run([sys.executable, '-m', 'tavro', 'dump', {str(big)!r}], stdout=out, check=True)\n"
        f"with open({str(tmp_path / 'big.hex')!r}, 'rb') as dump, open({str(tmp_path / 'back.bin')!r}, 'wb') as out:\n"
        "    subprocess.run([sys.executable, '-m', 'tavro', 'undump', '-'], stdin=dump, stdout=out, check=True)\n"
        "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
    )
    peak_kib = int(subprocess.run([sys.executable, "-c", probe], capture_output=True,
                                  check=True, timeout=600).stdout)
    assert peak_kib < 80 * 1024
    with open(tmp_path / "big.hex", "rb") as dumped:
        assert dumped.readline() == b'hexundump("""\n'
        assert dumped.readline().startswith(b"00000000   ")
    assert (tmp_path / "back.bin").read_bytes() == big.read_bytes()


@pytest.mark.refleak
def test_the_helpers_keep_no_references():
    # Every outcome of the two helpers, repeated in rounds: the number of allocated blocks
    # must not grow with the number of calls (the interpreter's own leak check).
    body = GOOD.encode()[len('hexundump("""\n'):]
    calls = {
        "dumplines": lambda: _dump.dumplines(DATA[:5000], 16, 4096, 4),
        "dumplines, large": lambda: _dump.dumplines(DATA, 7, 0, 8),
        "undumplines": lambda: _dump.undumplines(body, 16, 0, 0, 2),
        "undumplines, bytearray": lambda: _dump.undumplines(bytearray(body), 16, 0, 4, 2),
        "undumplines, malformed": lambda: _dump.undumplines(body.replace(b"0020   20", b"0020   2x"), 16, 0, 0, 2),
        "undumplines, bad offset": lambda: _dump.undumplines(body, 16, 5, 0, 2),
        "undumplines, not ascii": lambda: _dump.undumplines(b"\xff" + body, 16, 0, 0, 2),
        "argument error": lambda: _dump.dumplines(b"", 0, 0, 4),
        "buffer error": lambda: _dump.undumplines("text", 16, 0, 0, 2),
    }
    for name, call in calls.items():
        growth = []
        for _ in range(6):
            before = sys.getallocatedblocks()
            for _ in range(300):
                try:
                    call()
                except (TypeError, ValueError):
                    pass
            growth.append(sys.getallocatedblocks() - before)
        # A leak keeps at least a block per call; the measuring keeps one or two.
        assert max(growth[2:]) <= 2, (name, growth)


@pytest.mark.skipif(ON_WINDOWS, reason="a non-blocking pipe is a POSIX notion")
def test_a_non_blocking_input_is_waited_for():
    # A non-blocking pipe with no data yet reads as None, which is not the end of the input.
    read_end, write_end = os.pipe()
    os.set_blocking(read_end, False)
    data = random_bytes(100_000)
    with os.fdopen(read_end, "rb") as source, io.BytesIO() as out:
        import threading

        def feed():
            time.sleep(0.3)
            with os.fdopen(write_end, "wb") as sink:
                sink.write(data)

        feeder = threading.Thread(target=feed)
        feeder.start()
        status = main(["dump", "-"], stdin=source, stdout=out, stderr=io.StringIO())
        feeder.join()
        assert (status, out.getvalue().decode()) == (0, model_dump(data, 16))
