import binascii
import contextlib
import doctest
import os
import random
import subprocess
import sys
import sysconfig
import threading
import time

import pytest
from hypothesis import given, settings, strategies as st

import tavro.lib.binary as binary
import tavro.lib.portil as portil
from interpreter import allocation_deltas

OWN_NAMES = [
    "binascii", "integer2bits", "integer2bytes", "bits2integer", "bytes2integer", "BYTES2BITS_CACHE", "bytes2bits",
    "BITS2BYTES_CACHE", "bits2bytes", "swapbytes", "swapbytesinbits", "SWAPBITSINBYTES_CACHE", "swapbitsinbytes",
    "hexlify", "unhexlify",
]
FUNCTIONS = [name for name in OWN_NAMES if name.islower() and name != "binascii"]


class Table(dict):
    """Same entries, but not the module's own kind of table: forces the step-by-step path."""


@contextlib.contextmanager
def generic_path():
    """Rebinds every collaborator to an equivalent stand-in, so each call goes step by step."""
    originals = {name: getattr(binary, name) for name in
                 ("int2byte", "byte2int", "iterateints", "bytes2bits", "BYTES2BITS_CACHE", "BITS2BYTES_CACHE",
                  "SWAPBITSINBYTES_CACHE")}
    calls = []
    int2byte, byte2int, iterateints, bytes2bits = (originals[n] for n in
                                                   ("int2byte", "byte2int", "iterateints", "bytes2bits"))

    def counted(name, function):
        def stand_in(argument):
            calls.append(name)
            return function(argument)
        return stand_in

    binary.int2byte = counted("int2byte", int2byte)
    binary.byte2int = counted("byte2int", byte2int)
    binary.iterateints = counted("iterateints", iterateints)
    binary.bytes2bits = counted("bytes2bits", bytes2bits)
    for name in ("BYTES2BITS_CACHE", "BITS2BYTES_CACHE", "SWAPBITSINBYTES_CACHE"):
        setattr(binary, name, Table(originals[name]))
    try:
        yield calls
    finally:
        for name, value in originals.items():
            setattr(binary, name, value)


@pytest.fixture(params=["native", "generic"])
def path(request):
    if request.param == "native":
        yield []
    else:
        with generic_path() as calls:
            yield calls


def bits(text):
    return bytes(int(c) for c in text.replace(" ", ""))


# ---- namespace, documentation, arguments ----------------------------------

def test_namespace_order():
    portil_names = [name for name in vars(portil) if not name.startswith("_")]
    assert [name for name in vars(binary) if not name.startswith("_")] == portil_names + OWN_NAMES
    assert binary.binascii is binascii
    assert all(getattr(binary, name) is getattr(portil, name) for name in portil_names)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_docstring_is_a_description_and_a_working_example(name):
    function = getattr(binary, name)
    description, example = function.__doc__.split("\n\n")
    assert description and example.startswith(f">>> {name}(")
    finder = doctest.DocTestFinder()
    runner = doctest.DocTestRunner()
    for test in finder.find(function, name, globs=vars(binary)):
        runner.run(test)
    assert runner.summarize(verbose=False) == (0, 1)


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("integer2bits", (1,), {}, "integer2bits() takes exactly 2 positional arguments (1 given)"),
    ("integer2bytes", (1, 2, 3), {}, "integer2bytes() takes exactly 2 positional arguments (3 given)"),
    ("integer2bits", (1, 2), {"width": 3}, "integer2bits() got multiple values for keyword argument 'width'"),
    ("integer2bytes", (1, 2), {"size": 3}, "integer2bytes() got an unexpected keyword argument 'size'"),
    ("bits2integer", (), {}, "bits2integer() takes at least 1 positional argument (0 given)"),
    ("bytes2integer", (b"", 1, 2), {}, "bytes2integer() takes at most 2 positional arguments (3 given)"),
    ("bytes2integer", (b"",), {"sign": 1}, "bytes2integer() got an unexpected keyword argument 'sign'"),
    ("bytes2bits", (), {}, "bytes2bits() takes exactly 1 positional argument (0 given)"),
    ("hexlify", (b"", b""), {}, "hexlify() takes exactly 1 positional argument (2 given)"),
    ("swapbytes", (b"",), {"data": b""}, "swapbytes() got multiple values for keyword argument 'data'"),
])
def test_argument_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as error:
        getattr(binary, name)(*args, **kwargs)
    assert str(error.value) == message


def test_keyword_arguments():
    assert binary.integer2bits(number=19, width=8) == bits("00010011")
    assert binary.integer2bytes(width=2, number=-1) == b"\xff\xff"
    assert binary.bytes2integer(data=b"\xff", signed=True) == -1
    assert binary.bits2integer(b"\x01", signed=1) == -1
    for name in ("bytes2bits", "bits2bytes", "swapbytes", "swapbytesinbits", "swapbitsinbytes"):
        assert getattr(binary, name)(data=b"") == b""


# ---- the Part's examples, on both paths -----------------------------------

@pytest.mark.parametrize("function, args, expected", [
    ("integer2bits", (19, 8), bits("00010011")),
    ("integer2bits", (-1, 8), bits("11111111")),
    ("integer2bits", (-19, 8), bits("11101101")),
    ("integer2bits", (275, 8), bits("00010011")),
    ("integer2bits", (-300, 8), bits("11010100")),
    ("integer2bits", (12345, 0), b""),
    ("integer2bits", ("19", 8), bits("00010011")),
    ("integer2bits", (19.9, 8), bits("00010011")),
    ("integer2bits", (True, 2), bits("01")),
    ("integer2bits", (2 ** 100 + 5, 3), bits("101")),
    ("integer2bits", (-(2 ** 100) - 1, 4), bits("1111")),
    ("integer2bits", (-5, 70), bits("1" * 67 + "011")),
    ("integer2bits", (5, 70), bits("0" * 67 + "101")),
    ("integer2bytes", (19, 4), b"\x00\x00\x00\x13"),
    ("integer2bytes", (-1, 2), b"\xff\xff"),
    ("integer2bytes", (-200, 1), b"\x38"),
    ("integer2bytes", (0, 0), b""),
    ("integer2bytes", (-1, 0), b""),
    ("integer2bytes", (255, 1), b"\xff"),
    ("integer2bytes", (-256, 1), b"\x00"),
    ("integer2bytes", (2 ** 64 - 1, 8), b"\xff" * 8),
    ("integer2bytes", (-(2 ** 64), 8), b"\x00" * 8),
    ("integer2bytes", (2 ** 72 - 1, 9), b"\xff" * 9),
    ("integer2bytes", (-(2 ** 72), 9), b"\x00" * 9),
    ("integer2bytes", (-(2 ** 71) - 1, 9), b"\x7f" + b"\xff" * 8),
    ("integer2bytes", (1, 12), b"\x00" * 11 + b"\x01"),
    ("integer2bytes", ("-2", 3), b"\xff\xff\xfe"),
    ("bits2integer", (bits("10011"),), 19),
    ("bits2integer", (bits("10011"), True), -13),
    ("bits2integer", (b"",), 0),
    ("bits2integer", (b"\x01" * 64, True), -1),
    ("bits2integer", (b"\x01" * 100, True), -1),
    ("bits2integer", (b"\x01" + b"\x00" * 99, True), -(2 ** 99)),
    ("bits2integer", (b"\x01" * 100,), 2 ** 100 - 1),
    ("bits2integer", (b"\x02\x01",), 5),
    ("bits2integer", (b"\x02\x01", True), 1),
    ("bits2integer", (bytearray(b"\x01\x01"), True), -1),
    ("bits2integer", ([1, 0, 1],), 5),
    ("bytes2integer", (b"\x00\x00\x00\x13",), 19),
    ("bytes2integer", (b"\xff", True), -1),
    ("bytes2integer", (b"\xff\xff\xff\xff", True), -1),
    ("bytes2integer", (b"\x80\x00", True), -32768),
    ("bytes2integer", (b"\x7f\xff", True), 32767),
    ("bytes2integer", (b"\x80\x00",), 32768),
    ("bytes2integer", (b"\x80" + b"\x00" * 15, True), -(2 ** 127)),
    ("bytes2integer", (b"\xff" * 16, False), 2 ** 128 - 1),
    ("bytes2integer", (bytearray(b"\xff\xfe"), True), -2),
    ("bytes2integer", ([1, 2],), 258),
    ("bytes2integer", (b"",), 0),
    ("bytes2bits", (b"ab",), bits("0110000101100010")),
    ("bytes2bits", (b"",), b""),
    ("bytes2bits", (bytearray(b"\x80"),), bits("10000000")),
    ("bytes2bits", ([1],), bits("00000001")),
    ("bits2bytes", (bits("0110000101100010"),), b"ab"),
    ("bits2bytes", (b"",), b""),
    ("bits2bytes", (memoryview(bits("00000001")),), b"\x01"),
    ("swapbytes", (b"abcd",), b"dcba"),
    ("swapbytes", ("abc",), "cba"),
    ("swapbytes", (b"",), b""),
    ("swapbytes", (bytes(range(19)),), bytes(reversed(range(19)))),
    ("swapbytesinbits", (b"0000000011111111",), b"1111111100000000"),
    ("swapbytesinbits", (bytearray(b"abcdefgh12345678"),), b"12345678abcdefgh"),
    ("swapbytesinbits", (b"",), b""),
    ("swapbitsinbytes", (b"\xf0",), b"\x0f"),
    ("swapbitsinbytes", (b"\x12\x34",), b"\x48\x2c"),
    ("swapbitsinbytes", (b"",), b""),
    ("swapbitsinbytes", ([1],), b"\x80"),
    ("hexlify", (b"ab",), b"6162"),
    ("unhexlify", (b"6162",), b"ab"),
])
def test_examples(path, function, args, expected):
    result = getattr(binary, function)(*args)
    assert result == expected and type(result) is type(expected)


def test_bytes_results_are_exact_bytes():
    assert type(binary.swapbytesinbits(bytearray(8))) is bytes
    assert type(binary.swapbytes(bytearray(b"ab"))) is bytearray


def test_caches():
    assert list(binary.BYTES2BITS_CACHE) == list(range(256))
    assert binary.BYTES2BITS_CACHE[0x61] == bits("01100001")
    assert list(binary.BITS2BYTES_CACHE.values()) == [bytes([i]) for i in range(256)]
    assert binary.BITS2BYTES_CACHE[bits("01100001")] == b"a"
    assert all(binary.BITS2BYTES_CACHE[binary.BYTES2BITS_CACHE[i]] is portil.INT2BYTE_CACHE[i] for i in range(256))
    assert len(binary.SWAPBITSINBYTES_CACHE) == 256
    assert [binary.SWAPBITSINBYTES_CACHE[i] for i in (0xF0, 0x01, 0x12)] == [b"\x0f", b"\x80", b"\x48"]


# ---- failures ---------------------------------------------------------------

@pytest.mark.parametrize("function, args, error, message", [
    ("integer2bits", ("not a number", -1), ValueError, "width must be non-negative"),
    ("integer2bytes", (None, -5), ValueError, "width must be non-negative"),
    ("integer2bits", (1, None), TypeError, None),
    ("integer2bits", (-1, 8.0), TypeError, None),
    ("integer2bytes", (1, 8.0), TypeError, None),
    ("integer2bits", ("x", 8), ValueError, None),
    ("integer2bytes", (None, 8), TypeError, None),
    ("integer2bytes", (256, 1), ValueError, "number out of range for width 1"),
    ("integer2bytes", (-257, 1), ValueError, "number out of range for width 1"),
    ("integer2bytes", (1, 0), ValueError, "number out of range for width 0"),
    ("integer2bytes", (-2, 0), ValueError, "number out of range for width 0"),
    ("integer2bytes", (2 ** 64, 8), ValueError, "number out of range for width 8"),
    ("integer2bytes", (-(2 ** 64) - 1, 8), ValueError, "number out of range for width 8"),
    ("integer2bytes", (2 ** 200, 20), ValueError, "number out of range for width 20"),
    ("integer2bytes", (-(2 ** 200) - 1, 25), ValueError, "number out of range for width 25"),
    ("bits2integer", (b"", True), TypeError, "ord() expected a character, but string of length 0 found"),
    ("bytes2integer", (b"", True), TypeError, "ord() expected a character, but string of length 0 found"),
    ("bits2integer", ([1, "a"],), TypeError, None),
    ("bytes2integer", (5,), TypeError, None),
    ("bytes2bits", ([256],), KeyError, "256"),
    ("bytes2bits", (5,), TypeError, None),
    ("bits2bytes", (b"\x00" * 7,), ValueError, "data length must be a multiple of 8"),
    ("bits2bytes", (b"01100001",), KeyError, "b'01100001'"),
    ("bits2bytes", (b"\x00" * 8 + b"\x00\x02" + b"\x00" * 6,), KeyError, repr(b"\x00\x02" + b"\x00" * 6)),
    ("bits2bytes", ("01100001",), KeyError, "'01100001'"),
    ("bits2bytes", (bytearray(8),), TypeError, None),
    ("bits2bytes", (5,), TypeError, None),
    ("swapbytesinbits", (b"\x00" * 9,), ValueError, "data length must be multiple of 8"),
    ("swapbytesinbits", ("abcdefgh",), TypeError, None),
    ("swapbytesinbits", (5,), TypeError, None),
    ("swapbitsinbytes", ([300],), KeyError, "300"),
    ("swapbitsinbytes", (5,), TypeError, None),
    ("swapbytes", (5,), TypeError, None),
    ("unhexlify", (b"6",), binascii.Error, None),
])
def test_failures(path, function, args, error, message):
    with pytest.raises(error) as raised:
        getattr(binary, function)(*args)
    if message is not None:
        assert str(raised.value) == message


def integer2bytes_model(number, width):
    if not -(256 ** width) <= number < 256 ** width:
        return ValueError
    return (number % 256 ** width).to_bytes(width, "big")


@pytest.mark.parametrize("width", [0, 1, 2, 3, 4, 5, 7, 8, 9, 11, 15, 16, 17, 31, 32, 33, 64, 65, 300])
def test_integer2bytes_at_the_edges_of_every_width(path, width):
    top = 256 ** width
    edges = [0, 1, -1, top - 1, top, top + 1, -top, -top - 1, -top + 1, top // 2, top // 2 - 1, -(top // 2),
             -(top // 2) - 1, 2 ** 29, 2 ** 30, -(2 ** 30), 2 ** 63, 2 ** 64, -(2 ** 63), -(2 ** 64) - 1,
             (top - 1) // 3, -((top - 1) // 5), 2 ** (8 * width + 30), -(2 ** (8 * width + 30))]
    for number in edges:
        expected = integer2bytes_model(number, width)
        if expected is ValueError:
            with pytest.raises(ValueError, match=f"number out of range for width {width}"):
                binary.integer2bytes(number, width)
        else:
            assert binary.integer2bytes(number, width) == expected, number


def test_integer2bytes_of_one_byte_is_the_int2byte_entry():
    # b"".join of the one entry returns that entry itself.
    for number in range(-256, 256):
        assert binary.integer2bytes(number, 1) is portil.int2byte(number % 256)


@pytest.mark.parametrize("width", [15, 16, 17, 29, 30, 31, 45, 46, 60, 61, 64, 100, 1000])
def test_integer2bytes_of_long_numbers_with_runs_of_equal_digits(path, width):
    # Numbers of many 30-bit digits, some of them runs of zeros or ones, so
    # that a negative number's carry crosses whole groups of digits.
    rng = random.Random(width)
    pieces = [0, (1 << 30) - 1, 1, 1 << 29]
    for _ in range(40):
        digits = [rng.choice(pieces) if rng.random() < 0.6 else rng.getrandbits(30) for _ in range(width * 8 // 30 + 2)]
        magnitude = sum(d << (30 * i) for i, d in enumerate(digits)) >> rng.randrange(0, 40)
        for number in (magnitude, -magnitude, magnitude % 256 ** width, -(magnitude % 256 ** width)):
            expected = integer2bytes_model(number, width)
            if expected is ValueError:
                with pytest.raises(ValueError):
                    binary.integer2bytes(number, width)
            else:
                assert binary.integer2bytes(number, width) == expected, number


@pytest.mark.parametrize("function, args", [
    ("integer2bits", (1, 2 ** 62)),
    ("integer2bits", (-1, 2 ** 62)),
    ("integer2bits", (1, 2 ** 100)),
    ("integer2bytes", (1, 2 ** 61)),
    ("integer2bytes", (-1, 2 ** 100)),
])
def test_impossible_sizes_raise(path, function, args):
    with pytest.raises((MemoryError, OverflowError)):
        getattr(binary, function)(*args)


def test_signed_is_tested_after_accumulating():
    class Truth:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(TypeError):
        binary.bytes2integer([1, "x"], Truth())
    for function in (binary.bytes2integer, binary.bits2integer):
        with pytest.raises(ZeroDivisionError):
            function(b"\x01", Truth())


@pytest.mark.parametrize("function, data, expected", [
    (binary.bytes2integer, b"\x80\x00", 0x8000 - 2 ** 32),
    (binary.bits2integer, b"\x00\x01", 1 - 2 ** 4),
])
def test_sign_is_read_from_the_data_as_it_is_after_the_flag(path, function, data, expected):
    data = bytearray(data)

    class Flag:
        def __bool__(self):
            data[:] = b"\xff\xff\xff\xff" if function is binary.bytes2integer else b"\x01\x00\x00\x00"
            return True

    assert function(data, Flag()) == expected


# ---- collaborators are read at every call ----------------------------------

def test_generic_integer2bits_calls_int2byte_only_while_bits_remain():
    with generic_path() as calls:
        assert binary.integer2bits(19, 8) == bits("00010011")
        assert calls == ["int2byte"] * 5
        calls.clear()
        binary.integer2bits(0, 8)
        assert calls == []
        binary.bytes2integer(b"\x80", True)
        assert calls == ["iterateints", "bytes2bits", "iterateints", "byte2int"]


def test_rebound_functions_change_results(monkeypatch):
    monkeypatch.setattr(binary, "int2byte", lambda value: b"<%d>" % value)
    assert binary.integer2bytes(0x0102, 3) == b"\x00<1><2>"
    assert binary.integer2bits(2, 3) == b"\x00<1><0>"
    monkeypatch.setattr(binary, "iterateints", lambda data: [1, 1])
    assert binary.bytes2integer(b"") == 257
    assert binary.bits2integer(b"\x00\x00") == 3
    assert binary.bytes2bits(b"") == bits("0000000100000001")
    monkeypatch.setattr(binary, "byte2int", lambda value: 1)
    assert binary.bits2integer(b"\x00\x00", True) == -1
    monkeypatch.undo()
    monkeypatch.setattr(binary, "bytes2bits", lambda data: b"\x01")
    assert binary.bytes2integer(b"\x01", True) == 1 - 256
    monkeypatch.undo()
    assert binary.integer2bytes(0x0102, 3) == b"\x00\x01\x02"
    assert binary.bytes2integer(b"\x01", True) == 1


@pytest.mark.parametrize("table, index, replacement, call, expected", [
    ("BYTES2BITS_CACHE", 0x61, b"X", lambda: binary.bytes2bits(b"aa"), b"XX"),
    ("BYTES2BITS_CACHE", 0x80, b"\x00", lambda: binary.bytes2integer(b"\x80", True), 128),
    ("BITS2BYTES_CACHE", bits("01100001"), b"Z", lambda: binary.bits2bytes(bits("01100001")), b"Z"),
    ("SWAPBITSINBYTES_CACHE", 0x12, b"!!", lambda: binary.swapbitsinbytes(b"\x12\x12"), b"!!!!"),
])
def test_replaced_table_entries_are_used_then_restored(table, index, replacement, call, expected):
    cache = getattr(binary, table)
    original_result = call()
    original = cache[index]
    cache[index] = replacement
    try:
        assert call() == expected
    finally:
        cache[index] = original
    assert call() == original_result
    del cache[index]
    try:
        with pytest.raises(KeyError):
            call()
    finally:
        cache[index] = original
    assert call() == original_result


def test_int2byte_follows_portil_cache(namespace_restored):
    entry = portil.INT2BYTE_CACHE[0x13]
    portil.INT2BYTE_CACHE[0x13] = b"#"
    try:
        assert binary.integer2bytes(0x13, 2) == b"\x00#"
    finally:
        portil.INT2BYTE_CACHE[0x13] = entry
    assert binary.integer2bytes(0x13, 2) == b"\x00\x13"
    with namespace_restored(portil):
        portil.INT2BYTE_CACHE = {1: b"1", 0: b"0"}
        assert binary.integer2bits(5, 4) == b"\x00101"
        del portil.INT2BYTE_CACHE
        with pytest.raises(NameError):
            binary.integer2bits(5, 4)
    assert binary.integer2bits(5, 4) == bits("0101")


@pytest.mark.parametrize("module, name, call, entry", [
    (binary, "BYTES2BITS_CACHE", lambda: binary.bytes2bits(b"a"), lambda table: table[0x61]),
    (binary, "BITS2BYTES_CACHE", lambda: binary.bits2bytes(bits("01100001")), lambda table: table[bits("01100001")]),
    (binary, "SWAPBITSINBYTES_CACHE", lambda: binary.swapbitsinbytes(b"a"), lambda table: table[0x61]),
    (portil, "INT2BYTE_CACHE", lambda: binary.integer2bytes(0x61, 1), lambda table: table[0x61]),
    (portil, "ITERATEBYTES_CACHE", lambda: list(portil.iteratebytes(b"a")), lambda table: [table[0x61]]),
], ids=lambda value: value if isinstance(value, str) else "")
@pytest.mark.native_only("a verdict remembered about a table at its address")
def test_a_new_table_at_a_checked_tables_address_is_checked_afresh(namespace_restored, module, name, call, entry):
    with namespace_restored(module):
        original = getattr(module, name)
        copy = dict(original)
        setattr(module, name, copy)
        assert call() == entry(original)  # the copy is checked, and the verdict remembered
        address = id(copy)
        del copy
        delattr(module, name)  # freed: the interpreter keeps the dict for its next one
        others = []
        for _ in range(1000):
            other = {key: b"~" + value for key, value in original.items()}
            if id(other) == address:
                break
            others.append(other)
        assert id(other) == address
        setattr(module, name, other)
        assert call() == entry(other)
    assert call() == entry(original)


def test_missing_names_raise_name_error(namespace_restored):
    with namespace_restored(binary):
        del binary.BITS2BYTES_CACHE
        with pytest.raises(NameError, match="BITS2BYTES_CACHE"):
            binary.bits2bytes(b"\x00" * 8)
        assert binary.bits2bytes(b"") == b""
        del binary.iterateints
        with pytest.raises(NameError, match="iterateints"):
            binary.bytes2bits(b"")
    assert binary.bytes2bits(b"\x01") == bits("00000001")


def test_hexlify_reads_binascii_at_each_call(monkeypatch):
    class Fake:
        hexlify = staticmethod(lambda data: ("hex", data))
        unhexlify = staticmethod(lambda data: ("unhex", data))

    monkeypatch.setattr(binary, "binascii", Fake)
    assert binary.hexlify(1) == ("hex", 1) and binary.unhexlify(2) == ("unhex", 2)
    monkeypatch.setattr(binascii, "hexlify", lambda data: "patched")
    monkeypatch.setattr(binary, "binascii", binascii)
    assert binary.hexlify(b"") == "patched"


# ---- properties -------------------------------------------------------------

WIDTHS_IN_BITS = [1, 2, 7, 8, 9, 30, 31, 32, 33, 63, 64, 65, 70, 128, 200]


@settings(max_examples=60, deadline=None)
@given(st.sampled_from(WIDTHS_IN_BITS), st.data())
def test_bit_round_trips(width, data):
    signed_number = data.draw(st.integers(-(2 ** (width - 1)), 2 ** (width - 1) - 1))
    unsigned_number = data.draw(st.integers(0, 2 ** width - 1))
    encoded = binary.integer2bits(signed_number, width)
    assert len(encoded) == width and set(encoded) <= {0, 1}
    assert binary.bits2integer(encoded, True) == signed_number
    assert binary.bits2integer(binary.integer2bits(unsigned_number, width)) == unsigned_number
    assert encoded == bytes(int(c) for c in format(signed_number % 2 ** width, f"0{width}b"))


# Numbers around a machine word (two and three 30-bit digits, 2**60 and
# 2**64) in every width up to 17, inside and outside the width's range.
WORD_EDGES = [2 ** k + d for k in (30, 31, 32, 40, 48, 56, 59, 60, 61, 63, 64, 65) for d in (-1, 0, 1)]


def check_integer2bytes(number, width):
    expected = integer2bytes_model(number, width)
    if expected is ValueError:
        with pytest.raises(ValueError, match=f"number out of range for width {width}"):
            binary.integer2bytes(number, width)
    else:
        assert binary.integer2bytes(number, width) == expected, (number, width)


@pytest.mark.parametrize("width", range(18))
def test_integer2bytes_of_numbers_near_a_machine_word(width):
    for number in WORD_EDGES + [-n for n in WORD_EDGES]:
        check_integer2bytes(number, width)


@settings(max_examples=200, deadline=None)
@given(st.integers(-(2 ** 66), 2 ** 66), st.integers(0, 17))
def test_integer2bytes_of_any_number_up_to_three_words(number, width):
    check_integer2bytes(number, width)


@settings(max_examples=60, deadline=None)
@given(st.integers(1, 17), st.data())
def test_byte_round_trips(width, data):
    signed_number = data.draw(st.integers(-(2 ** (8 * width - 1)), 2 ** (8 * width - 1) - 1))
    unsigned_number = data.draw(st.integers(0, 2 ** (8 * width) - 1))
    encoded = binary.integer2bytes(signed_number, width)
    assert encoded == signed_number.to_bytes(width, "big", signed=True)
    assert binary.bytes2integer(encoded, True) == signed_number
    assert binary.integer2bytes(unsigned_number, width) == unsigned_number.to_bytes(width, "big")
    assert binary.bytes2integer(binary.integer2bytes(unsigned_number, width)) == unsigned_number


@settings(max_examples=80, deadline=None)
@given(st.integers(-(2 ** 150), 2 ** 150), st.integers(0, 40), st.binary(max_size=40), st.booleans())
def test_native_and_generic_paths_agree(number, width, data, signed):
    bit_data = bytes(b % 3 for b in data)  # mostly bits, some 2s
    group_data = bytes(b & 1 for b in data[: len(data) // 8 * 8])
    calls = [
        lambda: binary.integer2bits(number, width),
        lambda: binary.integer2bytes(number, width),
        lambda: binary.bits2integer(bit_data, signed),
        lambda: binary.bytes2integer(data, signed),
        lambda: binary.bytes2bits(data),
        lambda: binary.bits2bytes(group_data),
        lambda: binary.swapbytes(data),
        lambda: binary.swapbytesinbits(group_data),
        lambda: binary.swapbitsinbytes(data),
    ]

    def outcome(call):
        try:
            return call()
        except Exception as error:  # the same exception, with the same message
            return type(error), str(error)

    fast = [outcome(call) for call in calls]
    with generic_path():
        slow = [outcome(call) for call in calls]
    assert fast == slow


@settings(max_examples=40, deadline=None)
@given(st.binary(max_size=300))
def test_transforms_are_inverse(data):
    assert binary.bits2bytes(binary.bytes2bits(data)) == data
    assert binary.swapbitsinbytes(binary.swapbitsinbytes(data)) == data
    assert binary.swapbytes(data) == data[::-1]
    assert binary.bits2bytes(binary.swapbytesinbits(binary.bytes2bits(data))) == data[::-1]
    assert binary.bytes2integer(data) == int.from_bytes(data, "big")


@pytest.mark.parametrize("at", [0, 7, 8, 63, 64, 100, 127, 128, 511, 1000])
@pytest.mark.parametrize("stray", [b"\x02", b"\x80", b"\xff", b"1"])
def test_a_stray_byte_anywhere_in_long_bits_is_the_key_error_of_its_group(at, stray):
    # Bits are packed many groups at a time; a byte other than 0 or 1 stops
    # that at its run, and its group is the one the look-up fails on.
    data = bytes(range(256)) * 4
    bits = bytearray(binary.bytes2bits(data))
    assert binary.bits2bytes(bytes(bits)) == data
    bits[at:at + 1] = stray
    group = at // 8 * 8
    with pytest.raises(KeyError) as raised:
        binary.bits2bytes(bytes(bits))
    assert raised.value.args == (bytes(bits[group:group + 8]),)


@pytest.mark.refleak
def test_no_leaks_on_either_path():
    def operation():
        binary.integer2bits(-5, 70)
        binary.integer2bytes(2 ** 70, 12)
        binary.bits2integer(b"\x01" * 70, True)
        binary.bytes2integer(b"\xff" * 12, True)
        binary.bits2bytes(binary.bytes2bits(b"abc"))
        binary.swapbitsinbytes(binary.swapbytesinbits(binary.swapbytes(b"\x00" * 16)))
        try:
            binary.bits2bytes(b"01234567")
        except KeyError:
            pass
        try:
            binary.integer2bytes(256, 1)
        except ValueError:
            pass

    assert min(allocation_deltas(operation)) < 20
    with generic_path():
        assert min(allocation_deltas(operation, repeat=50)) < 20


# ---- free-threaded builds ---------------------------------------------------

@pytest.mark.native_only("the extension modules' declaration for free-threaded builds")
def test_importing_keeps_the_gil_off_on_a_free_threaded_build():
    # PYTHON_GIL would decide instead of the modules' declaration.
    env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    code = "import sys, tavro.lib.binary; print(getattr(sys, '_is_gil_enabled', lambda: True)())"
    result = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, env=env)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    assert result.stdout.strip() == str(not free_threaded)


def test_conversions_agree_while_another_thread_rebinds_the_tables(namespace_restored):
    """Equal copies of the tables are bound and dropped in a loop while other
    threads convert: every result stays the single-threaded one (on a
    free-threaded build the threads run at once)."""
    data = bytes(range(256))
    jobs = [
        lambda: binary.integer2bytes(2 ** 70 + 5, 9), lambda: binary.integer2bits(-5, 70),
        lambda: binary.bytes2bits(data), lambda: binary.bits2bytes(binary.BYTES2BITS_CACHE[7] * 8),
        lambda: binary.swapbitsinbytes(bytearray(data)), lambda: binary.bytes2integer(data[:9], True),
        lambda: list(portil.iteratebytes(data[:16])),
    ]
    expected = [job() for job in jobs]
    stop = threading.Event()
    failures = []

    def convert():
        while not stop.is_set():
            for job, result in zip(jobs, expected):
                if job() != result:
                    failures.append(job)

    def rebind():
        originals = [(module, name, getattr(module, name)) for module, name in [
            (binary, "BYTES2BITS_CACHE"), (binary, "BITS2BYTES_CACHE"), (binary, "SWAPBITSINBYTES_CACHE"),
            (portil, "INT2BYTE_CACHE"), (portil, "ITERATEBYTES_CACHE")]]
        while not stop.is_set():
            for module, name, table in originals:
                setattr(module, name, dict(table))

    with namespace_restored(binary, portil):
        threads = [threading.Thread(target=convert) for _ in range(3)] + [threading.Thread(target=rebind)]
        for thread in threads:
            thread.start()
        time.sleep(0.5)
        stop.set()
        for thread in threads:
            thread.join()
    assert failures == []


# ---- hash-colliding keys in the namespaces and tables ---------------------

@pytest.mark.parametrize("operation", [
    "integer2bits", "integer2bits_negative", "integer2bytes", "integer2bytes_large", "bits2integer", "bytes2integer",
    "bytes2integer_bytearray", "bytes2bits", "bits2bytes", "swapbitsinbytes", "swapbytesinbits", "swapbytes",
    "hexlify",
])
@pytest.mark.native_only("hash-colliding keys against the native fast paths")
def test_colliding_keys_give_the_literal_outcome(collision_scenarios, operation):
    collision_scenarios(operation)


@pytest.mark.parametrize("groups", [1, 5, 8, 9, 17])
@pytest.mark.parametrize("bad_value", [0x02, 0x80, 0xFF, ord("1")])
def test_bits2bytes_reports_the_first_invalid_group_wherever_it_stands(groups, bad_value):
    # Valid groups are packed eight at a time; the first group holding
    # another byte is the KeyError, wherever it stands in a run of eight.
    for group in range(groups):
        for position in (0, 3, 7):
            data = bytearray(binary.bytes2bits(bytes(range(groups))))
            data[8 * group + position] = bad_value
            with pytest.raises(KeyError) as info:
                binary.bits2bytes(bytes(data))
            assert info.value.args == (bytes(data[8 * group:8 * group + 8]),)
