"""tavro.lib.hex: the hex-dump format, its reader, and the hex-displayed values.

Both functions have a native fast path and a generic path that follows the
documented steps one interpreter operation at a time. Every behavioural test
here runs on both: the generic path is forced with argument types that the
fast path does not take (a bytes subclass with its own __getitem__, a str
subclass) or by rebinding a module global to an equivalent Python callable.
The literal algorithms below are the oracle for both paths.
"""

import binascii
import gc
import re
import os
import pickle
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from interpreter import CPYTHON, exactly, message_of, model_reading
from tavro import _pure
import tavro.lib.hex as hexmod
import tavro.lib.portil as portil
from tavro.lib.hex import (
    HexDisplayedBytes,
    HexDisplayedDict,
    HexDisplayedInteger,
    HexDumpDisplayedBytes,
    HexDumpDisplayedDict,
    hexdump,
    hexundump,
)

NEGATIVE_LINESIZE = "hexdump linesize must be positive, got %d"


# ---- the documented algorithms, read literally: the model's, reading this module's namespace


def literal_hexdump(data, linesize):
    return model_reading(hexmod, "hexdump")(data, linesize)


def literal_hexundump(data, linesize):
    return model_reading(hexmod, "hexundump")(data, linesize)


def outcome(function, *args):
    """The result, or the exception's type and text, for comparing paths."""
    try:
        return ("ok", function(*args))
    except Exception as error:  # noqa: BLE001 - any exception is part of the contract
        return (type(error), str(error))


class SlicedBytes(bytes):
    """Slices through its own __getitem__, which keeps hexdump off the fast path."""

    def __getitem__(self, key):
        return bytes.__getitem__(self, key)


class Text(str):
    """A str subclass: hexundump reads it through its methods, the generic path."""


def identity(data):
    return data


def int2byte_wrapper(value):
    return portil.int2byte(value)


UNDUMP_PATHS = ["fast", "str-subclass", "rebound-int2byte"]


@pytest.fixture(params=["fast", "sliced", "rebound-iterateints"])
def dump(request, monkeypatch):
    if request.param == "fast":
        return hexdump
    if request.param == "sliced":
        return lambda data, linesize: hexdump(SlicedBytes(data), linesize)
    monkeypatch.setattr(hexmod, "iterateints", identity)
    return hexdump


@pytest.fixture(params=UNDUMP_PATHS)
def undump(request, monkeypatch):
    if request.param == "fast":
        return hexundump
    if request.param == "str-subclass":
        return lambda data, linesize: hexundump(Text(data) if type(data) is str else data, linesize)
    monkeypatch.setattr(hexmod, "int2byte", int2byte_wrapper)
    return hexundump


# ---- namespace and documentation ---------------------------------------------

def test_namespace_order_follows_the_star_import():
    names = [name for name in vars(hexmod) if not name.startswith("_")]
    portil_names = [name for name in vars(portil) if not name.startswith("_")]
    own = ["binascii", "HexDisplayedInteger", "HexDisplayedBytes", "HexDisplayedDict",
           "HexDumpDisplayedBytes", "HexDumpDisplayedDict", "PRINTABLE", "HEXPRINT", "hexdump", "hexundump"]
    assert names == portil_names + own
    assert hexmod.binascii is binascii
    for name in portil_names:
        assert getattr(hexmod, name) is getattr(portil, name)


EXAMPLE_LINE = "   30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30   0000000000000000"
EXAMPLE_DUMP = ('hexundump("""\n'
                + "".join("%04X%s\n" % (offset, EXAMPLE_LINE) for offset in range(0, 0x60, 0x10))
                + "0060   30 30 30 30" + " " * 39 + "0000\n"
                + '""")\n')


def test_docstrings_are_exact():
    example = "".join("        " + line + "\n" for line in EXAMPLE_DUMP.replace('"', '\\"').splitlines())
    assert hexdump.__doc__ == (
        "\n    Turns bytes into a unicode string of the format:\n\n    ::\n\n"
        "        >>>print(hexdump(b'0' * 100, 16))\n" + example + "    ")
    assert '        hexundump(\\"\\"\\"\n' in hexdump.__doc__
    assert hexundump.__doc__ == "\n    Reverse of `hexdump`.\n    "
    assert hexdump.__name__ == "hexdump" and hexdump.__module__ == "tavro.lib.hex"


def test_tables():
    assert hexmod.PRINTABLE == [chr(i) if 32 <= i < 128 else "." for i in range(256)]
    assert hexmod.HEXPRINT == ["%02X" % i for i in range(256)]
    assert type(hexmod.PRINTABLE) is list and type(hexmod.HEXPRINT) is list


# ---- hexdump -------------------------------------------------------------------

def test_documented_example(dump):
    assert dump(b"0" * 100, 16) == EXAMPLE_DUMP
    assert len(EXAMPLE_DUMP.splitlines()[1]) == 73


@pytest.mark.parametrize("linesize", [1, 3, 16, 1000])
def test_empty_input(dump, linesize):
    assert dump(b"", linesize) == 'hexundump("""\n""")\n'


def test_single_byte_line(dump):
    assert dump(b"A", 1) == 'hexundump("""\n0000   41   A\n""")\n'


@pytest.mark.parametrize("size, first, last", [
    (65535, "0000   ", "FFF0   "),
    (65536, "00000000   ", "0000FFF0   "),
])
def test_offset_width_follows_the_length(dump, size, first, last):
    lines = dump(bytes(size), 16).split("\n")
    assert lines[1].startswith(first) and lines[-3].startswith(last)
    assert all(len(line.split("   ")[0]) == len(first) - 3 for line in lines[1:-2])


def test_printable_column(dump):
    data = bytes([0x20, 0x7E, 0x7F, 0x00, 0x1F, 0x80, 0xFF, 0x0A, 0x0D, 0xAB])
    line = dump(data, 16).split("\n")[1]
    assert line == "0000   20 7E 7F 00 1F 80 FF 0A 0D AB" + " " * 18 + "   " + " ~\x7f......."


@pytest.mark.parametrize("make", [bytes, bytearray, memoryview, HexDumpDisplayedBytes, HexDisplayedBytes,
                                  SlicedBytes, list],
                         ids=lambda make: make.__name__)
@pytest.mark.parametrize("size, linesize", [(0, 4), (1, 1), (15, 16), (16, 16), (17, 16), (100, 7), (300, 256)])
def test_input_types_agree_with_the_literal_steps(make, size, linesize):
    data = bytes(range(256)) * 2
    data = make(data[:size])
    assert hexdump(data, linesize) == literal_hexdump(data, linesize)


@settings(max_examples=150, deadline=None)
@given(data=st.binary(max_size=300), linesize=st.integers(1, 40))
def test_round_trip_property(data, linesize):
    text = hexdump(data, linesize)
    assert text == literal_hexdump(data, linesize) == hexdump(SlicedBytes(data), linesize)
    assert hexundump(text, linesize) == data
    assert hexundump(Text(text), linesize) == data


@pytest.mark.parametrize("linesize", [1, 16, 33])
def test_round_trip_at_the_boundaries(linesize):
    pattern = bytes(range(256)) * 260
    for size in (0, 1, linesize - 1, linesize, linesize + 1, 65535, 65536):
        data = pattern[:size]
        text = hexdump(data, linesize)
        assert hexundump(text, linesize) == data
        back = hexundump(hexdump(bytearray(data), linesize), linesize)
        assert back == data and type(back) is bytes


def test_strided_and_non_byte_memoryviews_take_the_interpreter_path():
    data = bytes(range(40))
    strided = memoryview(data)[::2]
    assert hexdump(strided, 8) == hexdump(data[::2], 8)
    signed = memoryview(data).cast("b")  # negative values index the tables from the end
    assert hexdump(signed, 8) == hexdump(data, 8)
    with pytest.raises(TypeError, match="list indices must be integers or slices, not bytes"):
        hexdump(memoryview(data).cast("c"), 8)


class TestRebinding:
    def test_printable_rebinding_changes_later_dumps(self, dump, monkeypatch):
        table = list(hexmod.PRINTABLE)
        table[0x41] = "\u20ac"  # a wider str kind than the rest of the dump
        monkeypatch.setattr(hexmod, "PRINTABLE", table)
        assert dump(b"AB", 4) == 'hexundump("""\n0000   41 42         \u20acB\n""")\n'
        table[0x42] = "\U0001F600"
        assert dump(b"AB", 4).split("\n")[1].endswith("\u20ac\U0001F600")
        table[0x42] = "\xe9"
        text = dump(b"B", 4)
        assert text.split("\n")[1].endswith("\xe9") and text == literal_hexdump(b"B", 4)

    @pytest.mark.parametrize("printable, hexprint", [
        (["<>"] * 256, None),                     # entries of another width
        ({i: "x" for i in range(256)}, None),     # not a list
        (None, [format(i, "02x") for i in range(256)]),
        (None, tuple("%02X" % i for i in range(256))),
        (None, ["h"] * 256),
    ])
    def test_other_tables_follow_the_literal_steps(self, monkeypatch, printable, hexprint):
        if printable is not None:
            monkeypatch.setattr(hexmod, "PRINTABLE", printable)
        if hexprint is not None:
            monkeypatch.setattr(hexmod, "HEXPRINT", hexprint)
        data = bytes(range(0, 256, 7))
        assert hexdump(data, 8) == literal_hexdump(data, 8)

    @pytest.mark.parametrize("table, error, message", [
        ([1] * 256, TypeError, re.escape(message_of(lambda: "".join([1])))),
        (["."] * 10, IndexError, "list index out of range"),
    ])
    def test_broken_tables_raise_the_interpreters_errors(self, dump, monkeypatch, table, error, message):
        monkeypatch.setattr(hexmod, "PRINTABLE", table)
        with pytest.raises(error, match=message):
            dump(b"0123456789ABCDEF", 4)
        assert dump(b"", 4) == 'hexundump("""\n""")\n'  # no table is read without data

    def test_missing_table_is_a_name_error(self, monkeypatch):
        monkeypatch.delattr(hexmod, "HEXPRINT")
        with pytest.raises(NameError, match="name 'HEXPRINT' is not defined"):
            hexdump(b"x", 4)

    def test_iterateints_is_called_twice_per_line(self, monkeypatch):
        calls = []

        def iterateints(data):
            calls.append(bytes(data))
            return data

        monkeypatch.setattr(hexmod, "iterateints", iterateints)
        hexdump(b"abcdefg", 3)
        assert calls == [b"abc", b"abc", b"def", b"def", b"g", b"g"]


class TestHexdumpErrors:
    @pytest.mark.parametrize("linesize", [-1, -16, -(2**70)])
    def test_negative_linesize_is_refused(self, dump, linesize):
        with pytest.raises(ValueError) as caught:
            dump(b"some bytes", linesize)
        assert str(caught.value) == NEGATIVE_LINESIZE % linesize
        with pytest.raises(ValueError):
            dump(b"", linesize)

    def test_zero_linesize_keeps_the_range_error(self, dump):
        with pytest.raises(ValueError, match=exactly(message_of(lambda: range(0, 1, 0)))):
            dump(b"abc", 0)

    @pytest.mark.parametrize("linesize, error, message", [
        (2.5, TypeError, "'float' object cannot be interpreted as an integer"),
        ("4", TypeError, "unsupported operand type"),
        (None, TypeError, "unsupported operand type"),
    ])
    def test_bad_linesize_types(self, dump, linesize, error, message):
        with pytest.raises(error, match=message):
            dump(b"abc", linesize)

    def test_bool_linesize_counts_as_one(self):
        assert hexdump(b"ab", True) == hexdump(b"ab", 1)

    def test_huge_linesize_pads_one_line(self):
        assert hexdump(b"", 10**30) == 'hexundump("""\n""")\n'
        with pytest.raises((ValueError, OverflowError, MemoryError)):
            hexdump(b"x", 10**30)

    @pytest.mark.parametrize("data, error, message", [
        (12, TypeError, "object of type 'int' has no len()"),
        ("text", TypeError, "list indices must be integers or slices, not str"),
        ([0, 256], IndexError, "list index out of range"),
    ])
    def test_bad_data(self, data, error, message):
        with pytest.raises(error, match=message):
            hexdump(data, 16)

    def test_four_gibibytes_are_refused_before_anything_else(self):
        class Huge:
            def __len__(self):
                return 16**8

            def __getitem__(self, key):  # pragma: no cover - must not be reached
                raise AssertionError("sliced")

        for linesize in (16, 0, -1, "x"):
            with pytest.raises(ValueError, match=r"^hexdump cannot process more than 16\*\*8 or 4294967296 bytes$"):
                hexdump(Huge(), linesize)

    def test_just_below_four_gibibytes_is_sliced(self):
        class Big:
            def __len__(self):
                return 16**8 - 1

            def __getitem__(self, key):
                raise LookupError(key)

        with pytest.raises(LookupError) as caught:
            hexdump(Big(), 16)
        assert caught.value.args == (slice(0, 16),)

    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {}, "hexdump() takes exactly 2 positional arguments (0 given)"),
        ((b"",), {}, "hexdump() takes exactly 2 positional arguments (1 given)"),
        ((b"", 1, 2), {}, "hexdump() takes exactly 2 positional arguments (3 given)"),
        ((b"", 1), {"size": 1}, "hexdump() got an unexpected keyword argument 'size'"),
        ((b"", 1), {"data": b""}, "hexdump() got multiple values for keyword argument 'data'"),
    ])
    def test_argument_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as caught:
            hexdump(*args, **kwargs)
        assert str(caught.value) == message
        assert hexdump(linesize=2, data=b"a") == hexdump(b"a", 2)


# ---- hexundump -----------------------------------------------------------------

class TestUndumpQuirks:
    def test_documented_example_and_empty_dump(self, undump):
        assert undump(EXAMPLE_DUMP, 16) == b"0" * 100
        assert undump('hexundump("""\n""")\n', 16) == b""
        assert undump("", 16) == b"" and undump("\n\n", 16) == b""

    @pytest.mark.parametrize("text, expected", [
        (EXAMPLE_DUMP[:-1], b"0" * 100),           # the final line feed lost
        (EXAMPLE_DUMP.strip(), b"0" * 100),
        (EXAMPLE_DUMP.replace('""")\n', ""), b"0" * 96),  # no closing line: the last line is taken for it
        ("head\n0000   41\n0000   42", b"A"),
        ("head\n0000   41\n0000   42\n", b"A"),
        ("head\n0000   41\n\n", b"A"),
        ("head\n0000   41", b""),
        ("0000   41", b""),
    ])
    def test_closing_line_with_or_without_final_line_feed(self, undump, text, expected):
        assert undump(text, 16) == expected == literal_hexundump(text, 16)

    def test_extra_line_feed_after_the_closing_line_reads_it_as_data(self, undump):
        with pytest.raises(ValueError, match=r"invalid literal for int\(\) with base 16: '\)'"):
            undump(EXAMPLE_DUMP + "\n", 16)

    def test_first_piece_is_dropped_whatever_it_holds(self, undump):
        assert undump("0000   41 42\n0000   43\n\n\n", 16) == b"C"

    def test_smaller_linesize_reads_the_head_of_each_line(self, undump):
        assert undump(hexdump(bytes(range(32)), 16), 4) == bytes(range(4)) + bytes(range(16, 20))

    def test_larger_linesize_reads_into_the_printable_column(self, undump):
        assert undump(hexdump(b"ABCD", 4), 5) == b"ABCD\n"  # the printable A read as 0x0A
        with pytest.raises(KeyError) as caught:
            undump(hexdump(b"ABCD", 4), 6)
        assert caught.value.args == (0xABCD,)
        with pytest.raises(ValueError, match="invalid literal for int"):
            undump(hexdump(b"\x00\x01", 2), 3)

    def test_indented_lines_read_the_offset_as_a_byte(self, undump):
        example = hexdump.__doc__.split("::\n\n")[1].splitlines()
        body = "\n".join(example[1:9]) + "\n\n"  # the opening and the seven data lines
        back = undump(body, 16)
        assert back == literal_hexundump(body, 16)
        assert back[:16] == b"\x00" + b"0" * 14 + b"\x10" and len(back) == 6 * 15 + 5

    def test_empty_and_spaceless_lines(self, undump):
        # Without a space, only the last character of the line is read.
        assert undump("x\n\nabc\n7\n0000\n\n\n", 16) == b"\x0c\x07\x00"

    def test_whitespace_and_number_forms_follow_the_interpreter(self, undump):
        line = "0   +f\x1c0x10\x1f0_1\x85\uff11\u3000\u0663\r-0\t0X_a\x0b\x0cB"
        text = "head\n" + line + "\n\n\n"
        assert undump(text, 100) == literal_hexundump(text, 100) == bytes([15, 16, 1, 1, 3, 0, 10, 11])

    @pytest.mark.parametrize("linesize, expected", [
        (1, b"\x01"), (2, b"\x01\x02"), (0, b""), (-1, b"\x01\x02"), (-2, b"\x01"), (-3, b""), (10**30, b"\x01\x02\x03"),
        (True, b"\x01"),
    ])
    def test_linesize_slices_like_the_interpreter(self, undump, linesize, expected):
        assert undump("\n0000   01 02 03\n\n\n", linesize) == expected

    def test_crlf_lines(self, undump):
        text = hexdump(b"hello world", 4).replace("\n", "\r\n")
        assert undump(text, 4) == b"hello world"


class TestUndumpErrors:
    @pytest.mark.parametrize("line, error, message", [
        ("0000   zz", ValueError, "invalid literal for int() with base 16: 'zz'"),
        ("0000   1\u00e9", ValueError, "invalid literal for int() with base 16: '1\u00e9'"),
        ("0000   100", KeyError, "256"),
        ("0000   -1", KeyError, "-1"),
        ("0000   " + "f" * 40, KeyError, str(int("f" * 40, 16))),
        ("0000   0x", ValueError, "invalid literal for int() with base 16: '0x'"),
        ("0000   _1", ValueError, "invalid literal for int() with base 16: '_1'"),
    ])
    def test_malformed_pieces(self, undump, line, error, message):
        with pytest.raises(error) as caught:
            undump("\n0000   01\n" + line + "\n\n\n", 16)
        assert str(caught.value) == message or caught.value.args == (int(message),)

    @pytest.mark.parametrize("data, error, message", [
        (b"\n0000   01\n\n\n", TypeError, "a bytes-like object is required, not 'str'"),
        (None, AttributeError, "'NoneType' object has no attribute 'split'"),
        (5, AttributeError, "'int' object has no attribute 'split'"),
    ])
    def test_bad_data(self, data, error, message):
        with pytest.raises(error, match=message):
            hexundump(data, 16)

    def test_linesize_is_only_used_for_data_lines(self, undump):
        assert undump("\n\n", "x") == b""
        with pytest.raises(TypeError, match="slice indices must be integers"):
            undump("\n0000   01\n\n\n", "x")
        with pytest.raises(TypeError, match="slice indices must be integers"):
            undump("\n0000   01\n\n\n", 1.5)

    def test_edited_int2byte_cache_is_honoured(self, monkeypatch):
        monkeypatch.setitem(portil.INT2BYTE_CACHE, 1, b"one")
        monkeypatch.setitem(portil.INT2BYTE_CACHE, 300, b"!")
        text = "\n0000   01 12C 02\n\n\n"
        assert hexundump(text, 16) == literal_hexundump(text, 16) == b"one!\x02"
        monkeypatch.setitem(portil.INT2BYTE_CACHE, 2, 2)
        with pytest.raises(TypeError, match=re.escape(message_of(lambda: b"".join([b"a", b"b", 2])))):
            hexundump(text, 16)

    @pytest.mark.parametrize("linesize", [16, 40])
    def test_a_permuted_int2byte_cache_answers_long_runs_of_pairs(self, monkeypatch, linesize):
        # Runs of sixteen pairs and more, read through the table's answers: each
        # byte answered by another, then one answer that is not a byte, mid-run.
        text = hexdump(bytes(range(256)), linesize)
        for value in range(256):
            monkeypatch.setitem(portil.INT2BYTE_CACHE, value, bytes([255 - value]))
        assert hexundump(text, linesize) == literal_hexundump(text, linesize) == bytes(range(255, -1, -1))
        monkeypatch.setitem(portil.INT2BYTE_CACHE, 0x85, b"..")
        expected = bytes(range(255, 0x7A, -1)) + b".." + bytes(range(0x79, -1, -1))
        assert hexundump(text, linesize) == literal_hexundump(text, linesize) == expected

    def test_colliding_key_in_the_cache_is_compared_per_piece(self, monkeypatch):
        # A key that hashes like 7 and was inserted before it is compared at
        # every look-up of 7, as reading the documented steps does.
        compared = []

        class Collider:
            def __hash__(self):
                return 7

            def __eq__(self, other):
                compared.append(other)
                return False

        table = {Collider(): b"?"}
        table.update(portil.INT2BYTE_CACHE)
        monkeypatch.setattr(portil, "INT2BYTE_CACHE", table)
        text = "\n0000   07 01 07 07\n\n\n"
        for data in (text, Text(text)):
            del compared[:]
            assert hexundump(data, 16) == b"\x07\x01\x07\x07"
            assert compared == [7, 7, 7]

    def test_rebound_int2byte_is_called_per_piece(self, monkeypatch):
        seen = []
        monkeypatch.setattr(hexmod, "int2byte", lambda value: seen.append(value) or b"%d," % value)
        assert hexundump("\n0000   01 01 0A\n\n\n", 16) == b"1,1,10,"
        assert seen == [1, 1, 10]
        monkeypatch.delattr(hexmod, "int2byte")
        assert hexundump("\n\n", 16) == b""
        with pytest.raises(NameError, match="name 'int2byte' is not defined"):
            hexundump("\n0000   01\n\n\n", 16)

    @pytest.mark.skipif(not CPYTHON, reason="PyPy's functions keep the builtins they were made with")
    def test_missing_globals_are_read_from_the_modules_builtins(self, monkeypatch):
        # As for a function of the module: its __builtins__, not the caller's.
        monkeypatch.delattr(hexmod, "int2byte")
        monkeypatch.delattr(hexmod, "PRINTABLE")
        monkeypatch.setitem(vars(hexmod), "__builtins__", {"int2byte": lambda value: b"<%d>" % value,
                                                           "PRINTABLE": ["*"] * 256})
        assert hexundump("\n0000   01 0A\n\n\n", 16) == b"<1><10>"
        assert hexdump(b"AB", 2) == 'hexundump("""\n0000   41 42   **\n""")\n'

    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {}, "hexundump() takes exactly 2 positional arguments (0 given)"),
        (("",), {"linesize": 1, "x": 2}, "hexundump() got an unexpected keyword argument 'x'"),
    ])
    def test_argument_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as caught:
            hexundump(*args, **kwargs)
        assert str(caught.value) == message


# Hex digits, separators the interpreter treats as whitespace (some only
# outside ASCII), sign and prefix characters, and other scripts' digits.
UNDUMP_ALPHABET = "0123456789abcdefABCDEF  \t\n\r\x0b\x0c\x1c\x1f\x85\xa0\u3000+-_xX\uff11\u0663g\xe9\u20ac\U0001F600"


@settings(max_examples=400, deadline=None)
@given(text=st.text(alphabet=UNDUMP_ALPHABET, max_size=60), linesize=st.integers(-4, 12))
def test_undump_paths_agree_on_any_text(text, linesize):
    expected = outcome(literal_hexundump, text, linesize)
    assert outcome(hexundump, text, linesize) == expected
    assert outcome(hexundump, Text(text), linesize) == expected


@pytest.mark.parametrize("linesize", [16, 17, 20, 32, 33, 64])
def test_undump_reads_a_dump_with_any_one_character_changed(linesize):
    # Lines of 16 or more pieces are read sixteen pieces at a time where
    # the processor allows: every character of such a run, changed to
    # another digit, a letter, a separator or junk, must be read (or
    # refused) exactly as the documented reader does.
    data = bytes(range(256))[: 3 * linesize]
    text = hexdump(data, linesize)
    second_line = text.index("\n") + 1
    hex_start = text.index("   ", second_line) + 3
    replacements = "0F9aAfG g+\t\xa0_x"
    for offset in range(0, 3 * linesize + 2):
        for replacement in replacements:
            at = hex_start + offset
            changed = text[:at] + replacement + text[at + 1:]
            assert outcome(hexundump, changed, linesize) == outcome(literal_hexundump, changed, linesize), (
                offset, replacement)


# ---- the display classes -------------------------------------------------------

CLASSES = [
    (HexDisplayedInteger, int),
    (HexDisplayedBytes, bytes),
    (HexDisplayedDict, dict),
    (HexDumpDisplayedBytes, bytes),
    (HexDumpDisplayedDict, dict),
]


@pytest.mark.parametrize("cls, base", CLASSES, ids=lambda c: getattr(c, "__name__", ""))
def test_classes_are_ordinary_subclasses(cls, base):
    assert cls.__bases__ == (base,)
    assert cls.__doc__ == "Used internally."
    assert cls.__module__ == "tavro.lib.hex" and cls.__qualname__ == cls.__name__
    assert cls.__str__.__qualname__ == cls.__name__ + ".__str__"
    instance = cls()
    instance.anything = 1
    assert vars(instance) == {"anything": 1}
    assert pickle.loads(pickle.dumps(instance)) == instance
    with pytest.raises(TypeError, match=r"^__str__\(\) takes exactly 1 positional argument \(2 given\)$"):
        instance.__str__(1)
    with pytest.raises(TypeError, match=r"^__str__\(\) takes exactly 1 positional argument \(0 given\)$"):
        cls.__str__()
    assert outcome(cls.__str__, instance) == outcome(str, instance)


class TestHexDisplayedInteger:
    @pytest.mark.parametrize("value, fmtstr, text", [
        (255, "02x", "0xFF"), (255, "08x", "0x000000FF"), (10, "x", "0xA"), (-1, "02x", "0x-1"),
        ("12", "x", "0xC"), (True, "b", "0x1"), (2**70, "x", "0x400000000000000000"),
        (255, "", "0xFF"), (-255, "", "0x-FF"),  # an empty format string shows hex digits
    ])
    def test_text_form(self, value, fmtstr, text):
        number = HexDisplayedInteger.new(value, fmtstr)
        assert type(number) is HexDisplayedInteger and number.fmtstr is fmtstr
        assert str(number) == text and "%s" % number == text
        assert number == int(value) and repr(number) == repr(int(value))

    @pytest.mark.parametrize("format_text", ["x", "X", "02x", "08x", "0x", "2x", "10X", "010x", "020x", "99x", "x ",
                                      "#x", "+x", "_x", "03d", "o", "<5x", "00x", "100x", "\uff10x"])
    def test_format_strings_follow_format(self, format_text):
        for value in (0, 1, 9, 10, 255, -1, -255, 2**63 - 1, -2**63, 2**64, -2**70):
            plain = HexDisplayedInteger(value)  # formatted by int's __format__ alone
            assert outcome(str, HexDisplayedInteger.new(value, format_text)) == outcome(
                lambda: "0x" + format(plain, format_text).upper())

    def test_new_is_a_static_method(self):
        assert HexDisplayedInteger.new.__qualname__ == "HexDisplayedInteger.new"
        assert isinstance(vars(HexDisplayedInteger)["new"], staticmethod)
        assert str(HexDisplayedInteger(3).new(intvalue=4, fmtstr="x")) == "0x4"

        class Sub(HexDisplayedInteger):
            pass

        assert type(Sub.new(1, "x")) is HexDisplayedInteger
        with pytest.raises(TypeError, match=r"^new\(\) takes exactly 2 positional arguments \(1 given\)$"):
            HexDisplayedInteger.new(1)

    def test_new_reads_the_class_from_the_namespace(self, monkeypatch):
        class Other(HexDisplayedInteger):
            pass

        monkeypatch.setattr(hexmod, "HexDisplayedInteger", Other)
        assert type(HexDisplayedInteger.new(1, "x")) is Other

    @pytest.mark.parametrize("format_text", [None, 2, b"x", 1.5, ["x"], NotImplemented])
    def test_format_text_that_is_not_str_fails_as_format_does(self, format_text):
        number = HexDisplayedInteger.new(255, format_text)
        expected = outcome(format, 255, format_text)
        assert expected[0] is TypeError
        assert outcome(str, number) == expected
        if format_text is None and CPYTHON:
            assert expected[1] == "format() argument 2 must be str, not None"

    @pytest.mark.parametrize("make, error", [
        (lambda: HexDisplayedInteger(5), AttributeError),
        (lambda: HexDisplayedInteger.new(5, "q"), ValueError),
        (lambda: HexDisplayedInteger.new(5, 2), TypeError),
        (lambda: HexDisplayedInteger.new("zz", "x"), ValueError),
    ])
    def test_errors(self, make, error):
        with pytest.raises(error):
            str(make())

    def test_pickled_with_its_format_string(self):
        number = pickle.loads(pickle.dumps(HexDisplayedInteger.new(300, "04x")))
        assert type(number) is HexDisplayedInteger and str(number) == "0x012C"

    def test_inherited_operations_give_plain_ints(self):
        number = HexDisplayedInteger.new(255, "02x")
        assert type(number + 1) is int and number + 1 == 256

    def test_empty_format_string_keeps_a_subclass_format(self):
        class Formatted(HexDisplayedInteger):
            def __format__(self, format_text):
                return "dec%d" % int(self)

        class Shown(HexDisplayedInteger):
            def __str__(self):
                return "0x" + format(self, self.fmtstr).upper()

        number = Formatted(7)
        number.fmtstr = ""
        assert str(number) == "0xDEC7"
        shown = Shown(7)
        shown.fmtstr = ""
        with pytest.raises(RecursionError):  # its own __str__ recurses, not ours
            str(shown)


BYTES_RENDERINGS = [
    (lambda data: HexDisplayedBytes(data), "unhexlify('%s')"),
    (lambda data: HexDisplayedDict(data=data, other=1), "unhexlify('%s')"),
    (lambda data: HexDumpDisplayedBytes(data), None),
    (lambda data: HexDumpDisplayedDict(data=data), None),
]


class TestCachingClasses:
    @pytest.mark.parametrize("make, template", BYTES_RENDERINGS)
    @pytest.mark.parametrize("data", [b"\x01\xab", b"", b"0" * 100])
    def test_rendering(self, make, template, data):
        expected = template % data.hex() if template else hexdump(data, 16)
        value = make(data)
        assert not hasattr(value, "render")
        text = str(value)
        assert text == expected and value.render is text and str(value) is text

    def test_documented_renderings(self):
        assert str(HexDisplayedBytes(b"\x01\xab")) == "unhexlify('01ab')"
        assert str(HexDisplayedBytes()) == "unhexlify('')"
        assert str(HexDumpDisplayedBytes(b"0" * 100)) == EXAMPLE_DUMP

    @pytest.mark.parametrize("make, template", BYTES_RENDERINGS)
    def test_render_set_beforehand_wins(self, make, template):
        value = make(b"abc")
        value.render = "preset"
        assert str(value) == "preset"
        del value.render
        assert str(value) != "preset"

    def test_later_changes_do_not_show(self):
        value = HexDumpDisplayedDict(data=b"one")
        first = str(value)
        value["data"] = b"two"
        assert str(value) is first

    @pytest.mark.parametrize("cls", [HexDisplayedDict, HexDumpDisplayedDict])
    def test_data_item_errors_leave_no_cache(self, cls):
        value = cls()
        with pytest.raises(KeyError, match="'data'"):
            str(value)
        assert not hasattr(value, "render")
        value["data"] = b"\x00"
        assert str(value) == str(cls(data=b"\x00"))
        with pytest.raises(TypeError):
            str(cls(data="text"))

    def test_data_item_is_read_through_getitem(self):
        class Keyed(HexDisplayedDict):
            def __getitem__(self, key):
                return b"\xff" if key == "data" else dict.__getitem__(self, key)

        assert str(Keyed()) == "unhexlify('ff')"

    def test_failing_render_lookup_is_discarded(self):
        class Flaky(HexDisplayedBytes):
            reads = 0

            def __getattribute__(self, name):
                if name == "render":
                    type(self).reads += 1
                    if type(self).reads == 1:
                        raise RuntimeError("first read fails")
                return object.__getattribute__(self, name)

        assert str(Flaky(b"\x02")) == "unhexlify('02')"

    def test_helpers_are_read_from_the_namespace(self, monkeypatch):
        monkeypatch.setattr(hexmod, "trimstring", lambda data: "<%s>" % data.decode())
        assert str(HexDisplayedBytes(b"\x0f")) == "unhexlify(<0f>)"
        monkeypatch.setattr(hexmod, "hexdump", lambda data, linesize: "dump %d %r" % (linesize, bytes(data)))
        assert str(HexDumpDisplayedBytes(b"x")) == "dump 16 b'x'"
        monkeypatch.delattr(hexmod, "binascii")
        with pytest.raises(NameError, match="binascii"):
            str(HexDisplayedBytes(b"\x0f"))

    @pytest.mark.parametrize("data", [b"", b"\x00\xff", bytes(range(256)), HexDisplayedBytes(b"\x10"),
                                      bytearray(b"\x01\x02"), memoryview(b"\x7f")])
    def test_unhexlify_rendering_with_rebound_helpers(self, monkeypatch, data):
        expected = "unhexlify(%s)" % (portil.trimstring(binascii.hexlify(data)),)
        assert str(HexDisplayedDict(data=data)) == expected
        monkeypatch.setattr(hexmod, "trimstring", lambda value: portil.trimstring(value))
        assert str(HexDisplayedDict(data=data)) == expected

    def test_trimstring_reads_portils_bytes(self, monkeypatch):
        # trimstring tests its argument against portil's module attribute bytes.
        monkeypatch.setattr(portil, "bytes", bytearray)
        assert str(HexDisplayedBytes(b"\x01")) == "unhexlify(None)"
        assert str(HexDisplayedDict(data=b"\x01")) == "unhexlify(None)"

    @pytest.mark.skipif(sys.version_info < (3, 12), reason="__buffer__ is honoured from 3.12 on")
    def test_a_subclass_buffer_is_what_hexlify_reads(self):
        class Shown(HexDisplayedBytes):
            def __buffer__(self, flags):
                return memoryview(b"\xee")

        assert str(Shown(b"\x01")) == "unhexlify('ee')"
        assert str(HexDisplayedDict(data=Shown(b"\x01"))) == "unhexlify('ee')"

    def test_inherited_operations_give_base_types(self):
        assert type(HexDumpDisplayedBytes(b"abc")[1:]) is bytes
        assert type(HexDisplayedDict(data=b"").copy()) is dict


# ---- memory ------------------------------------------------------------------

@pytest.mark.refleak
def test_reassigned_str_is_honoured():
    # str() of the display classes runs natively until __str__ is reassigned.
    code = """
        from tavro.lib.hex import (HexDisplayedInteger, HexDisplayedBytes, HexDisplayedDict,
                                   HexDumpDisplayedBytes, HexDumpDisplayedDict)
        values = [HexDisplayedInteger.new(5, "x"), HexDisplayedBytes(b"a"), HexDisplayedDict(data=b"a"),
                  HexDumpDisplayedBytes(b"a"), HexDumpDisplayedDict(data=b"a")]
        before = [str(v) for v in values]
        for value in values:
            type(value).__str__ = lambda self: "patched " + type(self).__name__
        print(before[0], [str(v) for v in values] == ["patched " + type(v).__name__ for v in values],
              f"{values[0]}")
    """
    done = subprocess.run([sys.executable, "-c", _pure.child_code() + textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)
    assert done.stdout.split() == ["0x5", "True", "patched", "HexDisplayedInteger"], done.stderr[-2000:]


@pytest.mark.native_only("references kept by native code")
def test_no_leaks_on_success_and_failure_paths(monkeypatch):
    text = hexdump(bytes(range(256)), 16)

    def exercise():
        hexdump(bytes(range(200)), 16)
        hexdump(SlicedBytes(b"abc"), 2)
        hexundump(text, 16)
        hexundump(Text(text), 16)
        for bad in ("\n0000 zz\n\n\n", "\n0000 100\n\n\n", "\n0000 0x1FF\n\n\n"):
            with pytest.raises((ValueError, KeyError)):
                hexundump(bad, 16)
        with pytest.raises(ValueError):
            hexdump(b"abc", -1)
        value = HexDumpDisplayedDict(data=b"abc")
        str(value)
        str(HexDisplayedInteger.new(-7, ""))

    for _ in range(3):
        exercise()
    deltas = []
    for _ in range(4):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(50):
            exercise()
        gc.collect()
        deltas.append(sys.getallocatedblocks() - before)
    assert min(deltas) <= 0, deltas


REBIND_TABLE_WHILE_PROBED = """
    import tavro.lib.hex as hexmod
    import tavro.lib.portil as portil

    holders = [portil, hexmod]  # every module that holds the table

    class Collider:
        # Hashes like 5: each comparison rebinds INT2BYTE_CACHE in every module
        # that holds it, which frees the table being looked up.
        calls = 0

        def __hash__(self):
            return 5

        def __eq__(self, other):
            Collider.calls += 1
            if Collider.calls <= 50:
                fresh = {i: bytes([i]) for i in range(256)}
                for module in holders:
                    module.INT2BYTE_CACHE = fresh
            return False

    table = {Collider(): b"?"}
    table.update((i, bytes([i])) for i in range(256))
    for module in holders:
        module.INT2BYTE_CACHE = table
    del table
    text = hexmod.hexdump(bytes(range(40)), 16)
    print(hexmod.hexundump(text, 16) == bytes(range(40)))
"""


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# malloc_debug poisons freed blocks; free-threaded builds allocate with mimalloc.
ALLOCATORS = ["mimalloc_debug", "mimalloc"] if FREE_THREADED else ["malloc_debug", "pymalloc"]


@pytest.mark.native_only("a table the fast path reads, freed during its own look-up")
@pytest.mark.parametrize("allocator", ALLOCATORS)
def test_cache_rebound_and_freed_during_its_own_look_up(allocator):
    env = dict(os.environ, PYTHONMALLOC=allocator)
    try:
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(REBIND_TABLE_WHILE_PROBED)],
                              capture_output=True, text=True, timeout=60, env=env)
    except subprocess.TimeoutExpired:
        pytest.fail("hexundump did not finish")
    assert (done.returncode, done.stdout.strip()) == (0, "True"), done.stderr[-2000:]


@pytest.mark.native_only("the extension modules' declaration for free-threaded builds")
def test_import_keeps_the_gil_disabled():
    code = ("import sys, warnings; warnings.simplefilter('error'); import tavro.lib.hex; "
            "print(getattr(sys, '_is_gil_enabled', lambda: True)())")
    done = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0 and done.stderr == "", done.stderr[-2000:]
    assert done.stdout.strip() == ("False" if FREE_THREADED else "True")


def test_tables_and_caches_replaced_while_other_threads_read_them():
    # Entries and tables are replaced by equal new objects (the old ones are
    # freed) while other threads dump and read back: every result must be
    # the one a single thread gets.
    data = [bytes(range(i, 256)) + bytes(range(i)) for i in range(0, 256, 37)]
    expected = [(hexdump(d, 16), d) for d in data]
    stop = threading.Event()
    mismatches = []

    def replace_entries():
        k = 0
        while not stop.is_set():
            k = (k + 1) % 256
            hexmod.PRINTABLE[k] = "".join([hexmod.PRINTABLE[k]])
            hexmod.HEXPRINT[k] = "".join([hexmod.HEXPRINT[k]])
            if k % 64 == 0:
                fresh = dict(portil.INT2BYTE_CACHE)
                portil.INT2BYTE_CACHE = hexmod.INT2BYTE_CACHE = fresh

    def read_back():
        while not stop.is_set():
            for d, (text, raw) in zip(data, expected):
                if hexdump(d, 16) != text or hexundump(text, 16) != raw:
                    mismatches.append(d)

    original = portil.INT2BYTE_CACHE
    threads = [threading.Thread(target=replace_entries)] + [threading.Thread(target=read_back) for _ in range(3)]
    try:
        for thread in threads:
            thread.start()
        time.sleep(1.5)
    finally:
        stop.set()
        for thread in threads:
            thread.join()
        portil.INT2BYTE_CACHE = hexmod.INT2BYTE_CACHE = original
    assert not mismatches
