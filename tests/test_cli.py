"""`python -m tavro dump|undump`: the reversible hex dump of a file, streamed."""

import os
import io
import random
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

hexmodule = pytest.importorskip("tavro.lib.hex")
if not hasattr(hexmodule, "hexdump"):
    pytest.skip("tavro.lib.hex is not built yet", allow_module_level=True)

from tavro._dumpcommand import main  # noqa: E402  (after the skip)

hexdump = hexmodule.hexdump
hexundump = hexmodule.hexundump


def command(*args, input=None):
    return subprocess.run([sys.executable, "-m", "tavro", *args], input=input,
                          capture_output=True, timeout=300)


def in_process(*args, input=b""):
    out, err = io.BytesIO(), io.StringIO()
    status = main(list(args), stdin=io.BytesIO(input), stdout=out, stderr=err)
    return status, out.getvalue(), err.getvalue()


def test_binary_file_round_trips_through_both_commands(tmp_path):
    data = bytes(range(256)) + random.Random(7).randbytes(100_000)
    original = tmp_path / "data.bin"
    original.write_bytes(data)
    dumped = command("dump", str(original))
    assert dumped.returncode == 0, dumped.stderr
    assert dumped.stdout.decode() == hexdump(data, 16)
    dump_file = tmp_path / "data.hex"
    dump_file.write_bytes(dumped.stdout)
    restored = command("undump", str(dump_file))
    assert restored.returncode == 0, restored.stderr
    assert restored.stdout == data


def test_standard_input_and_linesize_option():
    data = b"tavro\x00\xff" * 300
    dumped = command("dump", "-", "--linesize", "7", input=data)
    assert dumped.returncode == 0, dumped.stderr
    assert dumped.stdout.decode() == hexdump(data, 7)
    restored = command("undump", "--linesize", "7", "-", input=dumped.stdout)
    assert (restored.returncode, restored.stdout) == (0, data)


# Sizes around the switch from 4- to 8-digit offsets and around the command's 64 KiB blocks,
# with line sizes that divide the block, that don't, and one larger than a block.
@pytest.mark.parametrize("size, linesize", [
    (0, 16), (1, 1), (15, 16), (65535, 16), (65535, 7), (65536, 16), (65536, 7),
    (65537, 1), (65551, 33), (200_003, 16), (140_001, 70_000), (65535, 70_000),
])
def test_dump_is_the_text_of_hexdump(size, linesize):
    data = random.Random(size).randbytes(size)
    status, out, err = in_process("dump", "-", "--linesize", str(linesize), input=data)
    assert status == 0, err
    assert out.decode() == hexdump(data, linesize)
    assert in_process("undump", "-", "--linesize", str(linesize), input=out)[:2] == (0, data)


@settings(max_examples=60, deadline=None)
@given(data=st.binary(max_size=600), linesize=st.integers(1, 40))
def test_undump_reads_what_hexundump_reads(data, linesize):
    text = hexdump(data, linesize)
    status, out, err = in_process("undump", "-", "--linesize", str(linesize), input=text.encode())
    assert (status, err) == (0, "")
    assert out == hexundump(text, linesize) == data


GOOD = hexdump(bytes(range(100)), 16)
LINES = GOOD.split("\n")


@pytest.mark.parametrize("text, lineno, words", [
    pytest.param(GOOD.replace("0020   20 21", "0020   2G 21"), 4, "hex byte pairs", id="bad-pair"),
    pytest.param(GOOD.replace("0020   20 21", "0020   20  21"), 4, "hex byte pairs", id="bad-spacing"),
    pytest.param("\n".join(LINES[:3] + LINES[4:]), 4, "offset 0030 where 0020", id="missing-line"),
    pytest.param(GOOD.replace("0030   ", "30   "), 5, "hex offset", id="bad-offset"),
    pytest.param("\n".join(LINES[:-2]) + "\n", 9, "closing line", id="cut-short"),
    pytest.param(GOOD + "more\n", 10, "after the closing line", id="trailing-text"),
    pytest.param(GOOD[1:], 1, "opening line", id="no-opening-line"),
    pytest.param("", 1, "empty", id="empty-input"),
    pytest.param(GOOD.replace("   0123", "   012"), 5, "printable", id="short-printable-column"),
    pytest.param(GOOD.replace("0000   00", "0000   \u00e9\u00e9"), 2, "ASCII", id="not-ascii"),
])
def test_undump_reports_the_malformed_line(text, lineno, words):
    status, _, err = in_process("undump", "-", input=text.encode())
    assert status == 1
    assert f"line {lineno}: " in err and words in err


@pytest.mark.parametrize("linesize", ["8", "32"])
def test_undump_with_the_wrong_linesize_says_so(linesize):
    status, _, err = in_process("undump", "-", "--linesize", linesize, input=GOOD.encode())
    assert status == 1
    assert "line 2: " in err and f"--linesize {linesize}" in err


def test_malformed_line_from_the_command_line(tmp_path):
    broken = tmp_path / "broken.hex"
    broken.write_text(GOOD.replace("0040   40", "0040   4X"))
    result = command("undump", str(broken))
    assert result.returncode != 0
    assert b"line 6: " in result.stderr and str(broken).encode() in result.stderr


def test_hand_edited_pairs_read_back():
    edited = GOOD.replace("0000   00 01", "0000   FF 01")
    assert in_process("undump", "-", input=edited.encode())[:2] == (0, b"\xff" + bytes(range(1, 100)))


BIG = random.Random(11).randbytes(200_003)
BIG_LINES = hexdump(BIG, 16).split("\n")


def with_line(lineno, text):
    lines = list(BIG_LINES)
    lines[lineno - 1] = text
    return "\n".join(lines).encode()


def test_edits_and_errors_deep_in_a_large_dump():
    # The dump is read in blocks, checked whole where it is exactly what dump writes and
    # line by line elsewhere: both must give the same bytes and the right line numbers.
    edited = BIG_LINES[5000][:11] + "00" + BIG_LINES[5000][13:]
    expected = bytearray(BIG)
    expected[4999 * 16] = 0
    assert in_process("undump", "-", input=with_line(5001, edited))[:2] == (0, bytes(expected))
    status, out, err = in_process("undump", "-", input=with_line(9000, BIG_LINES[8999][:-1] + "\u00ff"))
    assert status == 1 and "line 9000: " in err
    assert out == BIG[:8998 * 16]  # the bytes of every line before it
    status, _, err = in_process("undump", "-", input=with_line(12000, BIG_LINES[12000]))
    assert status == 1 and "line 12000: offset" in err


def test_windows_line_ends_and_missing_final_line_feed_are_accepted():
    data = bytes(range(100))
    for text in (GOOD.replace("\n", "\r\n"), GOOD.rstrip("\n")):
        assert in_process("undump", "-", input=text.encode())[:2] == (0, data)


@pytest.mark.parametrize("args, status, words", [
    (["dump", "-", "--linesize", "0"], 2, "at least 1"),
    (["dump", "-", "--linesize", "x"], 2, "not an integer"),
    ([], 2, "COMMAND"),
    (["undump", "/nonexistent/file.hex"], 1, "cannot open"),
])
def test_usage_errors(args, status, words):
    result = command(*args)
    assert result.returncode == status
    assert words.encode() in result.stderr


@pytest.mark.skipif(os.environ.get("TAVRO_SANITIZED") == "1",
                    reason="the sanitizer's shadow memory and quarantine inflate the resident size")
def test_large_file_streams_in_bounded_memory(tmp_path):
    # 24 MiB in: holding it (and its 100 MiB of dump text) would take far more than the limit.
    big = tmp_path / "big.bin"
    block = random.Random(3).randbytes(1 << 20)
    with open(big, "wb") as sink:
        for _ in range(24):
            sink.write(block)
    probe = (
        "import resource, subprocess, sys\n"
        f"with open({str(tmp_path / 'big.hex')!r}, 'wb') as out:\n"
        f"    subprocess.run([sys.executable, '-m', 'tavro', 'dump', {str(big)!r}], stdout=out, check=True)\n"
        "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
    )
    peak_kib = int(subprocess.run([sys.executable, "-c", probe], capture_output=True,
                                  check=True, timeout=600).stdout)
    assert peak_kib < 80 * 1024
    with open(tmp_path / "big.hex", "rb") as dumped:
        assert dumped.readline() == b'hexundump("""\n'
        assert dumped.readline().startswith(b"00000000   ")
