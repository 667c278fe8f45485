import binascii
import copy
import io
import os
import pickle
import socket
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tavro import _pure
import tavro.lib.bitstream as bitstream
from tavro.lib.bitstream import RebufferedBytesIO, RestreamedBytesIO

DIGITS = b"0123456789abcdefghij"


class Scripted:
    """A substream that answers read() from a script and records every call."""

    def __init__(self, *answers):
        self.answers = list(answers)
        self.calls = []
        self.written = []

    def read(self, n):
        self.calls.append(n)
        answer = self.answers.pop(0) if self.answers else b""
        if isinstance(answer, type) and issubclass(answer, BaseException):
            raise answer()
        return answer

    def write(self, b):
        self.written.append(b)


class GenericRebuffered(RebufferedBytesIO):
    """Intercepts attribute writes, so every method takes the generic attribute path."""

    def __setattr__(self, key, value):
        object.__setattr__(self, key, value)


class GenericRestreamed(RestreamedBytesIO):
    def __setattr__(self, key, value):
        object.__setattr__(self, key, value)


@pytest.fixture(params=[RebufferedBytesIO, GenericRebuffered], ids=["direct", "generic"])
def Rebuffered(request):
    return request.param


@pytest.fixture(params=[RestreamedBytesIO, GenericRestreamed], ids=["direct", "generic"])
def Restreamed(request):
    return request.param


@pytest.fixture
def sleeps(monkeypatch):
    calls = []
    monkeypatch.setattr(bitstream, "sleep", calls.append)
    return calls


# ---- module and classes --------------------------------------------------------


def test_module_namespace_order_and_classes():
    names = [n for n in vars(bitstream) if not n.startswith("_")]
    assert names == ["BlockingIOError", "sleep", "RestreamedBytesIO", "RebufferedBytesIO"]
    assert bitstream.BlockingIOError is io.BlockingIOError and bitstream.sleep is time.sleep
    for cls in (RestreamedBytesIO, RebufferedBytesIO):
        assert cls.__bases__ == (object,) and cls.__module__ == "tavro.lib.bitstream" and cls.__doc__ is None
    assert RestreamedBytesIO.tell.__doc__ == "WARNING: tell is correct only on read-only and write-only instances."
    for name in ("read", "write", "close", "seek", "seekable", "tellable"):
        assert getattr(RestreamedBytesIO, name).__doc__ is None
    for name in ("read", "write", "seek", "seekable", "tell", "tellable", "cachedfrom", "cachedto"):
        assert getattr(RebufferedBytesIO, name).__doc__ is None
    assert not hasattr(RebufferedBytesIO, "close")


def test_instance_attributes_in_order():
    s = io.BytesIO()
    r = RestreamedBytesIO(s, "dec", 2, "enc", 3)
    assert vars(r) == {"substream": s, "encoder": "enc", "encoderunit": 3, "decoder": "dec", "decoderunit": 2,
                       "rbuffer": b"", "wbuffer": b"", "sincereadwritten": 0}
    assert list(vars(r)) == ["substream", "encoder", "encoderunit", "decoder", "decoderunit", "rbuffer", "wbuffer",
                             "sincereadwritten"]
    b = RebufferedBytesIO(s)
    assert list(vars(b).items()) == [("substream", s), ("offset", 0), ("rwbuffer", b""), ("moved", 0),
                                     ("tailcutoff", None)]
    assert RebufferedBytesIO(substream=s, tailcutoff=7).tailcutoff == 7


def test_construction_honours_class_level_interceptors():
    seen = []

    class Watched(RebufferedBytesIO):
        offset = property(lambda self: seen[-1][1], lambda self, value: seen.append(("offset", value)))

    w = Watched(io.BytesIO(), 3)
    assert seen == [("offset", 0)] and "offset" not in vars(w)
    assert list(vars(w)) == ["substream", "rwbuffer", "moved", "tailcutoff"]


def test_reassigned_init_is_honoured():
    code = """
        import io
        from tavro.lib.bitstream import RebufferedBytesIO, RestreamedBytesIO
        original = RebufferedBytesIO.__init__
        RebufferedBytesIO.__init__ = lambda self, *a, **k: original(self, io.BytesIO(b"xy"), tailcutoff=k.get("t"))
        RestreamedBytesIO.__init__ = lambda self: setattr(self, "made", True)
        r = RebufferedBytesIO(t=5)
        print(r.read(2), r.tailcutoff, RestreamedBytesIO().made)
    """
    done = subprocess.run([sys.executable, "-c", _pure.child_code() + textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)
    assert done.stdout.split() == ["b'xy'", "5", "True"], done.stderr[-2000:]


@pytest.mark.parametrize("call, message", [
    (lambda: RebufferedBytesIO(), "__init__() takes at least 2 positional arguments (1 given)"),
    (lambda: RebufferedBytesIO(1, 2, 3), "__init__() takes at most 3 positional arguments (4 given)"),
    (lambda: RestreamedBytesIO(1), "__init__() takes exactly 6 positional arguments (2 given)"),
    (lambda: RestreamedBytesIO(1, 2, 3, 4, encoderunit=5, unit=6), "__init__() got an unexpected keyword argument 'unit'"),
    (lambda: RebufferedBytesIO(1, substream=2), "__init__() got multiple values for keyword argument 'substream'"),
    (lambda: RebufferedBytesIO(io.BytesIO()).read(1, 2), "read() takes at most 2 positional arguments (3 given)"),
    (lambda: RebufferedBytesIO(io.BytesIO()).tell(1), "tell() takes exactly 1 positional argument (2 given)"),
    (lambda: RebufferedBytesIO(io.BytesIO()).seek(whence=1), "seek() takes at least 2 positional arguments (1 given)"),
    (lambda: RebufferedBytesIO(io.BytesIO()).read(size=1), "read() got an unexpected keyword argument 'size'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# ---- RebufferedBytesIO ---------------------------------------------------------


def test_worked_example_tailcutoff_4(Rebuffered):
    s = Scripted(DIGITS)
    r = Rebuffered(s, 4)
    assert r.read(10) == b"0123456789" and s.calls == [131072]
    assert (r.tell(), r.cachedfrom(), r.cachedto()) == (10, 6, 20)
    assert r.rwbuffer == b"6789abcdefghij" and type(r.rwbuffer) is bytes
    assert r.seek(-4, 1) == 6 and r.read(2) == b"67" and len(s.calls) == 1
    assert (r.tell(), r.cachedfrom()) == (8, 6)
    assert r.seek(5) == 5
    with pytest.raises(OSError) as info:
        r.read(1)
    assert str(info.value) == "could not read because tail was cut off"
    assert (r.tell(), r.cachedfrom(), r.cachedto()) == (5, 6, 20)


def test_no_tailcutoff_keeps_everything_and_zero_keeps_nothing(Rebuffered):
    r = Rebuffered(Scripted(DIGITS))
    for _ in range(5):
        r.read(3)
    assert r.cachedfrom() == 0 and r.seek(0) == 0 and r.read(4) == b"0123"
    r = Rebuffered(Scripted(DIGITS), 0)
    for n in (1, 3, 0, 5):
        r.read(n)
        assert r.cachedfrom() == r.tell()
    r.seek(-1, 1)
    with pytest.raises(OSError, match="tail was cut off"):
        r.read(0)


def test_overwrite_example_and_extension(Rebuffered):
    s = Scripted(b"ABCDEFGHIJ", b"KL")
    r = Rebuffered(s)
    r.seek(3)
    assert r.write(b"xy") == 2 and r.tell() == 5
    r.seek(0)
    assert r.read(10) == b"ABCxyFGHIJ" and s.written == []
    r.seek(8)
    assert r.write(b"1234") == 4 and r.cachedto() == 12
    assert r.read(2) == b"KL" and r.rwbuffer == b"ABCxyFGH1234KL"


def test_write_past_the_window_reads_ahead_only_to_the_start(Rebuffered):
    s = Scripted(b"abc", b"", b"def", b"ghi")
    r = Rebuffered(s, 2)
    r.seek(5)
    assert r.write(b"XYZW") == 4
    assert len(s.calls) == 3 and r.tell() == 9
    assert (r.cachedfrom(), r.cachedto(), r.rwbuffer) == (7, 9, b"ZW")


def test_waits_through_not_ready_answers(Rebuffered, sleeps):
    class Later(BlockingIOError):
        pass

    s = Scripted(BlockingIOError, None, b"", Later, b"0123")
    r = Rebuffered(s)
    assert r.read(3) == b"012" and len(sleeps) == 4 and sleeps == [0] * 4
    assert r.cachedto() == 4


def test_blocking_error_is_the_one_the_module_binds(Rebuffered, monkeypatch, sleeps):
    monkeypatch.setattr(bitstream, "BlockingIOError", KeyError)
    r = Rebuffered(Scripted(KeyError, b"ab"))
    assert r.read(2) == b"ab" and sleeps == [0]
    with pytest.raises(BlockingIOError):
        Rebuffered(Scripted(BlockingIOError)).read(1)


def test_other_substream_errors_propagate_and_keep_the_window(Rebuffered, sleeps):
    r = Rebuffered(Scripted(b"abc", ValueError))
    with pytest.raises(ValueError):
        r.read(5)
    assert (r.tell(), r.rwbuffer) == (0, b"abc")
    assert r.read(3) == b"abc"


def test_read_zero_and_forward_seek(Rebuffered):
    s = Scripted(b"abcdef", b"ghij")
    r = Rebuffered(s, 3)
    assert r.read(0) == b"" and s.calls == []
    assert r.read(1) == b"a" and r.read(0) == b"" and len(s.calls) == 1
    r.seek(8)
    assert r.read(2) == b"ij" and r.cachedfrom() == 7 and r.rwbuffer == b"hij"


@pytest.mark.parametrize("whence, expected", [(0, 7), (False, 7), (0.0, 7), (1, 9), (True, 9)])
def test_seek_whence_by_equality(Rebuffered, whence, expected):
    r = Rebuffered(io.BytesIO())
    r.seek(2)
    assert r.seek(7, whence) == expected == r.tell()


@pytest.mark.parametrize("whence", [2, -1, None, "0"])
def test_seek_other_whence(Rebuffered, whence):
    r = Rebuffered(io.BytesIO())
    with pytest.raises(ValueError) as info:
        r.seek(0, whence)
    assert str(info.value) == "this class seeks only with whence: 0 and 1 (excluded 2)" and r.tell() == 0


def test_read_without_count():
    r = RebufferedBytesIO(Scripted(b"abc"))
    for call in (r.read, lambda: r.read(None), lambda: r.read(count=None)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "count must be integer, reading until EOF not supported"


def test_write_fill_loop_does_not_absorb_not_ready(Rebuffered, sleeps):
    r = Rebuffered(Scripted(None))
    r.seek(1)
    with pytest.raises(TypeError):
        r.write(b"x")
    r = Rebuffered(Scripted(b"a", BlockingIOError))
    r.seek(2)
    with pytest.raises(BlockingIOError):
        r.write(b"x")
    assert (r.tell(), r.rwbuffer) == (2, b"a")


def test_reassigned_state_is_obeyed(Rebuffered):
    r = Rebuffered(Scripted(DIGITS))
    r.read(2)
    r.tailcutoff = 1
    r.read(2)
    assert (r.cachedfrom(), r.rwbuffer) == (3, DIGITS[3:])
    r.offset = 10
    assert r.read(1) == b"a" and r.cachedfrom() == 10
    r.rwbuffer = b"XYZ"
    r.moved = 100
    r.offset = 101
    r.tailcutoff = None
    assert r.read(2) == b"YZ" and r.cachedto() == 103
    r.substream = Scripted(b"more")
    assert r.read(2) == b"mo"
    r.rwbuffer = bytearray(b"abc")
    r.seek(100)
    assert r.read(2) == bytearray(b"ab")


# ---- faults mended -------------------------------------------------------------


def test_negative_count_is_refused(Rebuffered):
    s = Scripted(DIGITS)
    r = Rebuffered(s, 4)
    r.read(3)
    before = dict(vars(r))
    with pytest.raises(ValueError) as info:
        r.read(-1)
    assert str(info.value) == "count cannot be negative" and vars(r) == before and len(s.calls) == 1


def test_write_before_the_window_start_is_refused(Rebuffered):
    r = Rebuffered(Scripted(DIGITS), 2)
    r.read(8)
    r.seek(3)
    before = dict(vars(r))
    with pytest.raises(OSError) as info:
        r.write(b"xyz")
    assert str(info.value) == "could not write because tail was cut off"
    assert vars(r) == before and r.rwbuffer == DIGITS[6:]


@pytest.mark.parametrize("doing", ["read", "write"])
def test_empty_substream_wait_is_bounded(Rebuffered, doing):
    r = Rebuffered(Scripted(b"abc"), 4)
    r.emptytimeout = 0.05
    r.read(2)
    started = time.monotonic()
    r.seek(1, 1)
    with pytest.raises(OSError) as info:
        r.read(5) if doing == "read" else (r.seek(5), r.write(b"x"))
    assert 0.05 <= time.monotonic() - started < 5
    asked = "5 bytes at offset 3" if doing == "read" else "1 byte at offset 5"
    assert str(info.value) == f"could not {doing} {asked} because substream returned no data for 0.05 seconds"
    # Nothing lost: what arrived is still there and the position did not move.
    assert r.tell() == (3 if doing == "read" else 5) and r.rwbuffer == b"abc"
    r.seek(0)
    assert r.read(3) == b"abc"


def test_empty_wait_bound_default_and_overrides(Rebuffered, monkeypatch, sleeps):
    assert RebufferedBytesIO.emptytimeout == 1.0 and "emptytimeout" not in vars(Rebuffered(io.BytesIO()))
    # A substream that returns b"" for a while and then delivers is still waited for.
    r = Rebuffered(Scripted(*[b""] * 500, b"late"))
    assert r.read(4) == b"late" and len(sleeps) == 500
    r = Rebuffered(Scripted(*[b""] * 5, b"late"))
    r.emptytimeout = None
    assert r.read(4) == b"late"
    monkeypatch.setattr(RebufferedBytesIO, "emptytimeout", 0)
    with pytest.raises(OSError, match="returned no data for 0 seconds"):
        Rebuffered(Scripted()).read(1)


def test_not_ready_answers_are_not_bounded(Rebuffered, monkeypatch):
    answers = iter([None] * 30 + [b"ok"])
    substream = type("S", (), {"read": lambda self, n: next(answers)})()
    monkeypatch.setattr(bitstream, "sleep", lambda s: time.sleep(0.002))
    r = Rebuffered(substream)
    r.emptytimeout = 0.01
    assert r.read(2) == b"ok"


def test_ended_file_raises_instead_of_spinning(Rebuffered, tmp_path):
    path = tmp_path / "data"
    path.write_bytes(b"short")
    with open(path, "rb") as f:
        r = Rebuffered(f)
        r.emptytimeout = 0.02
        with pytest.raises(OSError, match="could not read 6 bytes at offset 0 because substream returned no data"):
            r.read(6)
        assert r.read(5) == b"short"


# ---- the window stand-in ---------------------------------------------------------


def test_trimmed_window_looks_like_its_bytes():
    r = RebufferedBytesIO(io.BytesIO(DIGITS * 20), 4)
    r.read(50)
    raw = vars(r)["rwbuffer"]
    content = (DIGITS * 20)[46:]
    assert raw == content and content == raw and not raw != content and hash(raw) == hash(content)
    assert len(raw) == len(content) and bytes(raw) == content and raw[1:3] == content[1:3]
    assert repr(raw) == repr(content) and memoryview(raw).tobytes() == content
    assert list(raw) == list(content) and raw + b"!" == content + b"!" and b"!" + raw == b"!" + content
    assert b"89" in raw and raw.hex() == content.hex() and raw.find(b"a") == content.find(b"a")
    assert pickle.loads(pickle.dumps(raw)) == content
    # Reading the attribute hands out real bytes and keeps them.
    assert r.rwbuffer is r.rwbuffer is vars(r)["rwbuffer"]


def test_copies_and_pickles_are_independent():
    r = RebufferedBytesIO(io.BytesIO(DIGITS), 4)
    r.read(6)
    held = vars(r)["rwbuffer"]
    twin = copy.copy(r)
    assert twin.read(2) == b"67" and r.read(3) == b"678"
    assert (twin.cachedfrom(), r.cachedfrom()) == (4, 5)
    assert held == DIGITS[2:] and twin.rwbuffer == DIGITS[4:] and r.rwbuffer == DIGITS[5:]
    r = RebufferedBytesIO(io.BytesIO(DIGITS), 4)
    r.read(7)
    clone = pickle.loads(pickle.dumps(r))
    assert type(vars(clone)["rwbuffer"]) is bytes and vars(clone) == vars(r) | {"substream": clone.substream}
    assert clone.read(13) == r.read(13) == DIGITS[7:]
    deep = copy.deepcopy(RebufferedBytesIO(io.BytesIO(DIGITS), 1))
    assert deep.read(3) == b"012"


@pytest.mark.parametrize("make, attribute, use", [
    (lambda: RebufferedBytesIO(io.BytesIO()), "rwbuffer", lambda r: r.cachedto()),
    (lambda: RestreamedBytesIO(io.BytesIO(), None, 1, None, 1), "rbuffer", lambda r: r.read(1)),
    (lambda: RestreamedBytesIO(io.BytesIO(), None, 1, None, 1), "wbuffer", lambda r: r.close()),
])
def test_buffer_attribute_protocol(make, attribute, use):
    r = make()
    cls = type(r).__name__
    delattr(r, attribute)
    with pytest.raises(AttributeError, match=f"'{cls}' object has no attribute '{attribute}'"):
        getattr(r, attribute)
    with pytest.raises(AttributeError):
        delattr(r, attribute)
    with pytest.raises(AttributeError):
        use(r)
    setattr(r, attribute, b"abc")
    # Where the name comes back in the dict is the interpreter's own order of
    # an attribute deleted and set again.
    plain = type("Plain", (), {})()
    vars(plain).update((key, None) for key in vars(r))
    delattr(plain, attribute)
    setattr(plain, attribute, None)
    assert list(vars(r)) == list(vars(plain)) and getattr(r, attribute) == b"abc"


def test_large_buffers_read_back_as_real_bytes():
    r = RestreamedBytesIO(io.BytesIO(b"q" * 5000), bytes.upper, 5000, bytes, 5000)
    r.read(10)
    r.write(b"z" * 7000)
    for name, content in (("rbuffer", b"Q" * 4990), ("wbuffer", b"z" * 2000)):
        assert vars(r)[name] == content and len(vars(r)[name]) == len(content)
        value = getattr(r, name)
        assert type(value) is bytes and value == content and value is getattr(r, name) is vars(r)[name]


def test_windows_are_not_written_through_while_shared():
    r = RebufferedBytesIO(io.BytesIO(b"x" * 1000))
    r.read(500)
    outside = r.rwbuffer
    r.seek(0)
    r.write(b"yy")
    assert outside == b"x" * 1000 and r.rwbuffer[:3] == b"yyx"
    r.seek(999)
    r.write(b"zz")
    assert outside == b"x" * 1000 and r.cachedto() == 1001


@pytest.mark.parametrize("tailcutoff", [None, 64])
def test_positions_held_outside_keep_their_values(tailcutoff):
    # An int once stored as offset (or moved) keeps its value for whoever
    # holds it, and the state must read as the literal steps'.
    r = RebufferedBytesIO(io.BytesIO(bytes(range(256)) * 64), tailcutoff)
    for step in range(300):
        kept = {name: vars(r)[name] for name in ("offset", "moved")}
        values = {name: repr(value) for name, value in kept.items()}
        assert r.read(4) == bytes((4 * step + k) % 256 for k in range(4))
        assert {name: repr(value) for name, value in kept.items()} == values
        assert r.offset == 4 * step + 4
        assert r.moved == (0 if tailcutoff is None else max(0, r.offset - tailcutoff))
        del kept, values


def test_positions_past_one_digit_are_stored_afresh():
    # 2**30 is past one digit of an int: the values there are new ints.
    r = RebufferedBytesIO(io.BytesIO(b""))
    start = 2**30 - 12
    vars(r).update(moved=start, offset=start, rwbuffer=bytes(range(100)))
    got = [r.read(4) for _ in range(10)]
    assert got == [bytes(range(4 * i, 4 * i + 4)) for i in range(10)]
    assert r.offset == start + 40 and type(r.offset) is int
    assert [r.seek(start), r.read(8)] == [start, bytes(range(8))]


# ---- RestreamedBytesIO ---------------------------------------------------------


def test_restreamed_read_modes(Restreamed):
    s = Scripted(b"ab", b"cd", b"", b"ef")
    r = Restreamed(s, lambda chunk: chunk.upper() * 2, 2, None, 1)
    assert r.read(0) == b"" and s.calls == []
    assert r.read(3) == b"ABA" and s.calls == [2] and r.rbuffer == b"B"
    assert r.read(6) == b"" and r.tell() == 3 and r.rbuffer == b"BCDCD"
    assert r.read() == b"BCDCDEFEF" and r.tell() == 12 and s.calls == [2, 2, 2, 2, 2]
    assert r.read() == b"" and r.tell() == 12
    r = Restreamed(Scripted(None), bytes.upper, 1, None, 1)
    assert r.read(1) == b"" and r.read() == b""
    with pytest.raises(ValueError) as info:
        r.read(-1)
    assert str(info.value) == "count cannot be negative"


def test_restreamed_write_and_close(Restreamed):
    s = Scripted()
    r = Restreamed(s, None, 1, lambda unit: unit[::-1], 8)
    assert r.write(bytes(range(20))) == 20
    assert s.written == [bytes(range(7, -1, -1)), bytes(range(15, 7, -1))] and r.wbuffer == bytes(range(16, 20))
    assert r.tell() == 20
    with pytest.raises(ValueError) as info:
        r.close()
    assert str(info.value) == "closing stream but 4 unwritten bytes remain, 8 is encoded unit"
    assert r.write(bytes(4)) == 4 and r.wbuffer == b"" and r.close() is None and r.close() is None
    d = Restreamed(Scripted(b"x"), lambda b: b * 8, 1, None, 1)
    assert d.read(3) == b"xxx" and d.rbuffer == b"xxxxx"
    d.wbuffer = b"zz"
    with pytest.raises(ValueError) as info:
        d.close()
    assert str(info.value) == "closing stream but 5 unread bytes remain, 1 is decoded unit"
    assert d.read() == b"xxxxx"
    with pytest.raises(ValueError, match="2 unwritten bytes remain, 1 is encoded unit"):
        d.close()


def test_restreamed_seek_and_flags(Restreamed):
    r = Restreamed(Scripted(b"ab"), bytes, 2, bytes, 1)
    for args in [(0,), (5, 1), ("x", "y")]:
        with pytest.raises(OSError) as info:
            r.seek(*args)
        assert type(info.value) is OSError and info.value.args == ()
    assert (r.seekable(), r.tellable()) == (False, True)
    r.read(1)
    r.write(b"abc")
    assert r.tell() == 4


@pytest.mark.parametrize("unit", [0, -1, False])
def test_restreamed_encoderunit_below_one_is_refused(Restreamed, unit):
    s = Scripted()
    r = Restreamed(s, None, 1, bytes, unit)
    with pytest.raises(ValueError) as info:
        r.write(b"abc")
    assert str(info.value) == "encoderunit must be at least 1"
    assert (r.wbuffer, r.tell(), s.written) == (b"", 0, [])
    r.encoderunit = 2
    assert r.write(b"abc") == 3 and s.written == [b"ab"]


def test_restreamed_failures_keep_what_the_contract_keeps(Restreamed):
    def failing(unit):
        raise KeyError(unit)

    s = Scripted()
    r = Restreamed(s, failing, 1, failing, 2)
    with pytest.raises(KeyError):
        r.write(b"abc")
    assert r.wbuffer == b"c" and r.tell() == 0
    r.substream = Scripted(b"q")
    with pytest.raises(KeyError):
        r.read(1)
    assert r.rbuffer == b"" and r.tell() == 0


@pytest.mark.parametrize("unit", [1, 2])
def test_restreamed_real_codecs(Restreamed, unit):
    plain = bytes(range(256)) * 3
    decoded = Restreamed(io.BytesIO(binascii.hexlify(plain)), binascii.unhexlify, 2 * unit, None, 1)
    pieces = [decoded.read(5) for _ in range(100)] + [decoded.read()]
    assert b"".join(pieces) == plain and decoded.tell() == len(plain) and decoded.close() is None
    out = io.BytesIO()
    encoded = Restreamed(out, None, 1, binascii.hexlify, unit)
    for i in range(0, len(plain), 7):
        encoded.write(plain[i:i + 7])
    assert out.getvalue() == binascii.hexlify(plain) and encoded.close() is None


def test_restreamed_reassigned_state_is_obeyed(Restreamed):
    s = Scripted(b"ab", b"cd", b"ef")
    r = Restreamed(s, bytes.upper, 2, None, 1)
    assert r.read(1) == b"A"
    r.decoder = lambda b: b * 2
    r.decoderunit = 5
    assert r.read(4) == b"Bcdc" and s.calls == [2, 5]
    r.rbuffer = b"xyz"
    r.sincereadwritten = 100
    assert r.read(2) == b"xy" and r.tell() == 102
    r.encoderunit, r.encoder = 1, bytes.lower
    r.write(b"Q")
    assert s.written == [b"q"]


@pytest.mark.parametrize("size, unit, writes", [(3000, 7, 1), (70000, 4096, 1), (9000, 2, 3), (1000, 300, 4)])
def test_restreamed_fast_and_literal_paths_show_the_codecs_the_same_buffers(size, unit, writes):
    """A large write (or read) is consumed unit by unit; the codecs see wbuffer (rbuffer) as the
    documented steps leave it, through the attribute or the instance dict."""
    data = bytes(range(251)) * (size // 251 + 1)

    def run(cls):
        seen, out = [], []

        def encoder(piece):
            # Every other call reads the attribute; the others look into the dict only.
            now = r.wbuffer if len(seen) % 2 else vars(r)["wbuffer"]
            seen.append((piece, bytes(now), r.tell()))
            return piece[::-1]

        def decoder(chunk):
            seen.append((chunk, bytes(vars(r)["rbuffer"] if len(seen) % 2 else r.rbuffer)))
            return chunk * 2

        substream = type("S", (), {"write": out.append, "read": io.BytesIO(data[:size]).read})()
        r = cls(substream, decoder, unit, encoder, unit)
        step = size // writes
        results = [r.write(data[i:i + step]) for i in range(0, size, step)]
        results += [r.read(size // 3), r.read(5), r.read()]
        state = {k: bytes(v) if isinstance(v, (bytes, bytearray)) or k.endswith("buffer") else v
                 for k, v in vars(r).items() if k != "substream" and not callable(v)}
        return results, seen, out, state

    assert run(RestreamedBytesIO) == run(GenericRestreamed)


def test_decoder_sees_and_loses_to_the_pending_store():
    r = RestreamedBytesIO(None, None, 1, None, 1)
    seen = []

    def decoder(chunk):
        seen.append(r.rbuffer)
        r.rbuffer = b"replaced"
        return chunk

    r.substream = Scripted(b"a" * 300, b"b")
    r.decoder = decoder
    assert r.read(301) == b"a" * 300 + b"b"
    assert seen == [b"", b"a" * 300] and r.rbuffer == b""


# ---- properties against a reference model ---------------------------------------


# The read/write/seek/trim rules, literally: the model's class.
ModelRebuffered = _pure.load().bitstream.RebufferedBytesIO


class Endless:
    def __init__(self, chunk):
        self.chunk, self.count = chunk, 0

    def read(self, n):
        self.count += 1
        return bytes((self.count + i) % 256 for i in range(self.chunk))


operations = st.lists(st.one_of(
    st.tuples(st.just("read"), st.integers(0, 300)),
    st.tuples(st.just("write"), st.binary(max_size=40)),
    st.tuples(st.just("seek"), st.integers(-300, 300), st.sampled_from([0, 1])),
    st.tuples(st.just("peek"), st.booleans()),
    st.tuples(st.just("tailcutoff"), st.sampled_from([None, 0, 3, 100])),
), max_size=40)


@settings(max_examples=300, deadline=None)
@given(ops=operations, tailcutoff=st.sampled_from([None, 0, 1, 7, 64, 300]), chunk=st.sampled_from([1, 5, 97, 700]),
       generic=st.booleans())
def test_rebuffered_agrees_with_the_rules(ops, tailcutoff, chunk, generic):
    cls = GenericRebuffered if generic else RebufferedBytesIO
    native, model = cls(Endless(chunk), tailcutoff), ModelRebuffered(Endless(chunk), tailcutoff)
    for op, *args in ops:
        if op == "peek":  # reading the attribute must not change anything
            native.rwbuffer if args[0] else vars(native)["rwbuffer"]
            continue
        if op == "tailcutoff":  # reassigned between calls, obeyed from the next trim on
            native.tailcutoff = model.tailcutoff = args[0]
            continue
        if op == "seek" and args[1] == 0:
            args[0] = abs(args[0])
        results = []
        for target in (native, model):
            try:
                results.append(getattr(target, op)(*args))
            except OSError as error:
                results.append(str(error))
        assert results[0] == results[1]
        assert (native.offset, native.moved, native.cachedto()) == (model.offset, model.moved,
                                                                     model.moved + len(model.rwbuffer))
    assert native.rwbuffer == model.rwbuffer


@settings(max_examples=60, deadline=None)
@given(plain=st.binary(max_size=300), reads=st.lists(st.integers(0, 40), max_size=20), unit=st.integers(1, 6))
def test_restreamed_round_trip(plain, reads, unit):
    r = RestreamedBytesIO(io.BytesIO(binascii.hexlify(plain)), binascii.unhexlify, 2 * unit, None, 1)
    got, position = [], 0
    for n in reads:
        piece = r.read(n)
        if piece:
            got.append(piece)
            position += n
        assert r.tell() == position
    got.append(r.read())
    assert b"".join(got) == plain


# ---- real substreams -------------------------------------------------------------


def feed(sock, pieces, delay=0.005):
    def run():
        for piece in pieces:
            time.sleep(delay)
            sock.sendall(piece)
        sock.close()

    thread = threading.Thread(target=run)
    thread.start()
    return thread


@pytest.mark.parametrize("make_substream", [
    lambda sock: sock.makefile("rb", buffering=0),  # None while no data is ready
    lambda sock: type("Raw", (), {"read": lambda self, n: sock.recv(n)})(),  # raises BlockingIOError
], ids=["socketio", "recv"])
def test_non_blocking_socket_in_delayed_pieces(make_substream):
    reader, writer = socket.socketpair()
    reader.setblocking(False)
    records = [bytes([n]) * n for n in (3, 200, 1, 77)]
    wire = b"".join(len(rec).to_bytes(4, "big") + rec for rec in records)
    thread = feed(writer, [wire[i:i + 13] for i in range(0, len(wire), 13)])
    try:
        r = RebufferedBytesIO(make_substream(reader), tailcutoff=8)
        for rec in records:
            length = int.from_bytes(r.read(4), "big")
            assert r.read(length) == rec
            r.seek(-2, 1)
            assert r.read(2) == (len(rec).to_bytes(4, "big") + rec)[-2:]
        r.emptytimeout = 0.05
        with pytest.raises(OSError, match="returned no data"):
            r.read(1)
    finally:
        thread.join()
        reader.close()


def test_typical_road():
    from tavro.expr import this
    from tavro.lib.binary import bytes2integer

    size = this.length * 2
    reader, writer = socket.socketpair()
    reader.setblocking(False)
    body = bytes(range(256)) * 2
    thread = feed(writer, [(256).to_bytes(4, "big"), body[:100], body[100:]])
    try:
        r = RebufferedBytesIO(reader.makefile("rb", buffering=0), tailcutoff=16)
        context = {"length": bytes2integer(r.read(4))}
        assert context["length"] == 256
        assert r.read(size(context)) == body
        assert r.tell() == 516 and r.cachedfrom() == 500
    finally:
        thread.join()
        reader.close()


# ---- resources -------------------------------------------------------------------


@pytest.mark.refleak
def test_no_reference_leaks():
    def workload():
        r = RebufferedBytesIO(io.BytesIO(DIGITS * 50), 16)
        for _ in range(40):
            r.read(3)
        r.seek(-5, 1)
        r.write(b"abcdefg")
        vars(r)["rwbuffer"] == b""
        r.rwbuffer
        try:
            r.read(-1)
        except ValueError:
            pass
        s = RestreamedBytesIO(io.BytesIO(binascii.hexlify(DIGITS)), binascii.unhexlify, 2, binascii.hexlify, 3)
        s.read(3), s.read(), s.write(b"abcdefgh")
        try:
            s.close()
        except ValueError:
            pass
        g = GenericRebuffered(Scripted(BlockingIOError, None, b"x" * 300, b""), 2)
        g.read(100), g.write(b"yz"), g.seek(-1, 1), g.cachedto()
        g.emptytimeout = 0
        for call in (lambda: g.read(500), lambda: g.seek(0) and g.read(1), lambda: g.seek(0, 2)):
            try:
                call()
            except (OSError, ValueError):
                pass

    for _ in range(20):
        workload()
    deltas = []
    for _ in range(5):
        before = sys.getallocatedblocks()
        for _ in range(20):
            workload()
        deltas.append(sys.getallocatedblocks() - before)
    assert min(deltas) <= 0, deltas


def test_a_substream_that_replaces_the_instance_dict_is_obeyed(Rebuffered):
    r = Rebuffered(None)
    old = vars(r)

    class Swapping:
        def read(self, n):
            r.__dict__ = dict(old, rwbuffer=b"zz" * 200)
            return b"ab"

    r.substream = Swapping()
    assert r.read(401) == b"zz" * 200 + b"a"
    assert (vars(r)["offset"], vars(r)["rwbuffer"], old["offset"], old["rwbuffer"]) == (401, b"zz" * 200 + b"ab",
                                                                                        0, b"")


@pytest.mark.parametrize("at, whence, expected", [
    (2.5, 1, 5.5), ("x", 0, "x"), (-7, 1, -4), (1 << 80, 0, 1 << 80), (1 << 80, 1, (1 << 80) + 3),
])
def test_seek_stores_what_python_arithmetic_gives(Rebuffered, at, whence, expected):
    r = Rebuffered(io.BytesIO())
    r.seek(3)
    assert r.seek(at, whence) == expected and r.tell() == expected and type(r.offset) is type(expected)
    with pytest.raises(TypeError):
        r.seek("y", 1) if not isinstance(expected, str) else r.seek(1, 1)


def test_writes_into_a_trimmed_window_leave_held_copies_alone(Rebuffered):
    r = Rebuffered(io.BytesIO(DIGITS), 4)
    r.read(6)
    r.seek(3)
    assert r.write(b"XY") == 2 and r.read(1) == b"5"
    held = vars(r)["rwbuffer"]
    r.seek(4)
    r.write(b"QQ")
    assert held == b"2XY56789abcdefghij" and r.rwbuffer == b"2XQQ6789abcdefghij" and r.cachedfrom() == 2
    assert r.seek(3) == 3 and r.read(4) == b"XQQ6" and r.rwbuffer == b"XQQ6789abcdefghij"


@settings(max_examples=100, deadline=None)
@given(ops=st.lists(st.one_of(st.tuples(st.just("read"), st.one_of(st.none(), st.integers(0, 700))),
                              st.tuples(st.just("write"), st.binary(max_size=600))), max_size=12),
       decoderunit=st.integers(1, 4), encoderunit=st.integers(1, 5))
def test_restreamed_direct_and_generic_paths_agree(ops, decoderunit, encoderunit):
    source = bytes(range(256)) * 4
    decoder = lambda b: b[::-1] * 2  # noqa: E731
    streams = []
    for cls in (RestreamedBytesIO, GenericRestreamed):
        out = io.BytesIO()
        substream = type("Both", (), {"read": io.BytesIO(source).read, "write": out.write})()
        streams.append((cls(substream, decoder, decoderunit, bytes.upper, encoderunit), out))
    for op, arg in ops:
        results = [getattr(r, op)(arg) for r, _ in streams]
        assert results[0] == results[1]
        (a, out_a), (b, out_b) = streams
        assert {k: v for k, v in vars(a).items() if k != "substream"} == \
               {k: v for k, v in vars(b).items() if k != "substream"}
        assert out_a.getvalue() == out_b.getvalue()


# ---- hostile instance dicts -------------------------------------------------------
#
# A dict look-up runs Python code when the dict holds a key whose hash equals
# the name looked up: the key's __eq__. These cases plant such a key ahead of
# a state name, and its k-th comparison rebinds a value, or keeps a reference
# to one, while a method is working. Each runs in a child process with the
# interpreter's debug allocator, which fills freed memory, so that a use after
# free shows as a crash or wrong bytes.

HOSTILE_PRELUDE = """
import io
import os
from tavro.lib.bitstream import RebufferedBytesIO


class Colliding:
    def __init__(self, name, k, action):
        self.name, self.k, self.action, self.calls = name, k, action, None

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.calls is not None:
            self.calls += 1
            if self.calls == self.k:
                self.action()
        return False


def plant(obj, name, k, action):
    # The colliding key goes in first, so that it comes first on the probe path of `name`.
    d = vars(obj)
    items = list(d.items())
    d.clear()
    key = Colliding(name, k, action)
    d[key] = None
    d.update(items)
    key.calls = 0  # armed from here on
    return key


def value(obj, name):
    return next(v for k, v in vars(obj).items() if type(k) is str and k == name)


def keep(kept, obj, name):
    held = value(obj, name)
    kept.append((held, bytes(bytearray(held))))


class Fresh:
    # Hands out new bytes objects that nothing else holds.
    def __init__(self, *pieces):
        self.pieces = list(pieces)

    def read(self, n):
        return bytes(bytearray(self.pieces.pop(0))) if self.pieces else b""
"""

HOSTILE_CASES = {
    # The read fast path borrowed the window across the look-up of tailcutoff, which rebinds it.
    "window rebound during the tailcutoff look-up": """
for k in range(1, 4):
    r = RebufferedBytesIO(Fresh(b"a" * 4000), None)
    r.read(10)
    r.seek(0)
    plant(r, "tailcutoff", k, lambda: vars(r).__setitem__("rwbuffer", bytes(bytearray(b"b" * 4000))))
    assert r.read(100) == b"a" * 100, k
""",
    # cachedto borrowed `moved` across the look-up of rwbuffer, which rebinds it.
    "moved rebound during the rwbuffer look-up of cachedto": """
for k in range(1, 4):
    r = RebufferedBytesIO(Fresh(), None)
    vars(r)["moved"] = int("1000001")
    plant(r, "rwbuffer", k, lambda: vars(r).__setitem__("moved", int("5")))
    assert r.cachedto() == 1000001, k
""",
    # Growing the window in place after a look-up took a reference to it.
    "window kept while the window grows": """
for k in range(1, 12):
    r = RebufferedBytesIO(Fresh(b"a" * 300, b"b" * 300), None)
    r.read(300)
    kept = []
    plant(r, "rwbuffer", k, lambda: keep(kept, r, "rwbuffer"))
    r.seek(0)
    assert r.read(600) == b"a" * 300 + b"b" * 300, k
    for held, snapshot in kept:
        assert held == snapshot and len(held) == len(snapshot), k
""",
    # Writing into the window in place after a look-up or store took a reference to it
    # (or saw a temporary None in its place).
    "window kept while the window is written": """
for k in range(1, 12):
    r = RebufferedBytesIO(Fresh(b"a" * 1024), None)
    r.read(1024)
    kept = []
    plant(r, "rwbuffer", k, lambda: keep(kept, r, "rwbuffer"))
    r.seek(1000)
    assert r.write(b"w" * 96) == 96
    r.seek(0)
    assert r.read(1096) == b"a" * 1000 + b"w" * 96, k
    for held, snapshot in kept:
        assert held is not None and held == snapshot and len(held) == len(snapshot), k
""",
}


@pytest.mark.native_only("hash-colliding keys against the native fast paths")
@pytest.mark.parametrize("case", list(HOSTILE_CASES))
def test_hostile_keys_in_the_instance_dict(case):
    code = HOSTILE_PRELUDE + HOSTILE_CASES[case] + "print('ok')\n"
    # The debug hooks fill freed memory; free-threaded builds have them over their own allocator only.
    env = dict(os.environ, PYTHONMALLOC="debug" if sysconfig.get_config_var("Py_GIL_DISABLED") else "malloc_debug")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300, env=env)
    assert (done.returncode, done.stdout.strip()) == (0, "ok"), done.stderr[-3000:]


# ---- interpreters and threads ------------------------------------------------------


@pytest.mark.native_only("each interpreter's instance of the extension module")
@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters with a GIL of their own arrived in 3.12")
def test_each_interpreter_has_its_own_module():
    code = """
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
use = '''
import io
from tavro.lib.bitstream import RebufferedBytesIO, RestreamedBytesIO
r = RebufferedBytesIO(io.BytesIO(bytes(range(256)) * 8), 16)
assert [r.read(300), r.seek(290), r.read(20)][2] == (bytes(range(256)) * 8)[290:310]
assert r.cachedfrom() == 294 and type(r.rwbuffer) is bytes
s = RestreamedBytesIO(io.BytesIO(b"ab" * 500), bytes.upper, 2, None, 1)
assert s.read(999) == b"AB" * 499 + b"A"
'''
exec(use)
for _ in range(2):
    interp = interpreters.create()
    failed = interpreters.run_string(interp, use)
    assert failed is None, failed
    interpreters.destroy(interp)
exec(use)
print("ok")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.stdout.strip() == "ok", done.stderr[-3000:]


class LockedSource:
    """A substream that any number of threads may call: endless, but every 7th read comes back empty."""

    def __init__(self):
        self.lock, self.count, self.written = threading.Lock(), 0, 0

    def read(self, n):
        with self.lock:
            self.count += 1
            return b"" if self.count % 7 == 0 else bytes([self.count % 256]) * min(n, 4099)

    def write(self, b):
        with self.lock:
            self.written += len(b)


def test_adapters_shared_by_threads_without_locking():
    """As unsafe as the same Python classes would be, but nothing crashes and only the documented
    errors escape."""
    import random

    rebuffered = RebufferedBytesIO(LockedSource(), 64)
    rebuffered.emptytimeout = None
    restreamed = RestreamedBytesIO(LockedSource(), lambda b: b + b, 5, lambda b: b[::-1], 3)
    ending = time.monotonic() + 1.5
    failures = []

    def work(seed):
        rng = random.Random(seed)
        try:
            while time.monotonic() < ending:
                op = rng.randrange(10)
                try:
                    if op == 0:
                        rebuffered.read(rng.randrange(300))
                    elif op == 1:
                        rebuffered.seek(rng.randrange(-90, 60), 1)
                    elif op == 2:
                        rebuffered.write(bytes(rng.randrange(300)))
                    elif op == 3:
                        rebuffered.cachedto(), bytes(vars(rebuffered)["rwbuffer"][:5]), rebuffered.rwbuffer[:5]
                    elif op == 4:
                        rebuffered.tailcutoff = rng.choice([None, 0, 64, 5000])
                    elif op == 5:
                        restreamed.write(bytes(rng.randrange(2000)))
                    elif op == 6:
                        restreamed.read(rng.randrange(2000))
                    elif op == 7:
                        restreamed.read()
                    elif op == 8:
                        bytes(vars(restreamed)["wbuffer"]), restreamed.rbuffer, restreamed.tell()
                    else:
                        restreamed.close()
                except OSError as error:
                    assert str(error).startswith("could not "), error
                except ValueError as error:
                    assert str(error).startswith(("closing stream but", "count cannot be negative")), error
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old)
    assert not failures, failures[0]
    # Still usable, and consistent once the threads are done.
    rebuffered.tailcutoff = None
    start = rebuffered.seek(rebuffered.cachedfrom())
    assert len(rebuffered.read(100)) == 100 and rebuffered.tell() == start + 100
    assert type(restreamed.read()) is bytes


@pytest.mark.parametrize("between", [
    lambda r, other: vars(r).__setitem__("offset", 3),
    lambda r, other: setattr(r, "offset", 3),
    lambda r, other: vars(r).__setitem__("rwbuffer", b"0123456789" * 40),
    lambda r, other: vars(r).__setitem__("moved", 1),
    lambda r, other: vars(r).update(tailcutoff=2),
    lambda r, other: (other.read(7), other.seek(0)),
    lambda r, other: setattr(r, "__dict__", dict(vars(other))),
    lambda r, other: vars(r).pop("offset") and vars(r).__setitem__("offset", 2),
], ids=["offset", "offset attribute", "window", "moved", "tailcutoff", "another instance", "another dict",
        "reinserted"])
def test_reads_follow_changes_made_between_them(between):
    """What a read remembers of the dict it served must not outlive a change to it."""
    made = [cls(Endless(97), 50) for cls in (RebufferedBytesIO, ModelRebuffered) for _ in range(2)]
    (r, other), (model, model_other) = made[:2], made[2:]
    for target, peer in ((r, other), (model, model_other)):
        target.read(5), target.read(5)
        peer.read(3)
    between(r, other)
    # The model is given the state that the change left (the other model's, when r took the other's dict).
    if vars(r)["substream"] is vars(other)["substream"]:
        model.__dict__ = dict(vars(model_other))
    else:
        for key, value in vars(r).items():
            if key != "substream":
                setattr(model, key, bytes(value) if key == "rwbuffer" else value)
    for _ in range(4):
        assert r.read(6) == model.read(6)
        assert (r.tell(), r.cachedfrom(), r.cachedto()) == (model.offset, model.moved,
                                                            model.moved + len(model.rwbuffer))


@pytest.mark.parametrize("name, value", [
    ("offset", lambda: 100), ("moved", lambda: 0), ("tailcutoff", lambda: 3),
    ("substream", lambda: io.BytesIO(bytes(range(200, 256)) * 40)),
])
def test_a_class_attribute_that_becomes_a_data_descriptor_is_obeyed(name, value):
    """The class's version tag does not change when the type of an attribute it holds gains __set__:
    every step must still read and write through the descriptor from then on."""
    seen = []
    for cls in (RebufferedBytesIO, GenericRebuffered):
        class Plain:
            pass

        held = value()
        R = type("R", (cls,), {name: Plain()})
        r = R(Endless(97), 8)
        steps = [r.read(5), r.read(5)]
        Plain.__get__ = lambda self, obj, owner=None: held
        Plain.__set__ = lambda self, obj, given: None
        for count in (4, 4, 200, 4):
            steps += [r.read(count), r.tell(), r.cachedfrom(), r.cachedto()]
        r.seek(2, 1)
        steps += [r.tell(), r.write(b"xy"), r.tell(), r.cachedto()]
        seen.append(steps)
    assert seen[0] == seen[1]


@pytest.mark.parametrize("tailcutoff", [None, 64])
def test_two_module_instances_serving_one_instance_dict(tailcutoff):
    """Each instance of the module remembers the dict it served last; the other one's steps must show."""
    import importlib.util

    spec = importlib.util.find_spec("tavro.lib.bitstream")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    data = bytes(range(256)) * 100
    a = RebufferedBytesIO(io.BytesIO(data), tailcutoff)
    b = other.RebufferedBytesIO(io.BytesIO(b""), tailcutoff)
    b.__dict__ = a.__dict__
    position = 0
    for step in range(600):
        reader = (a, b)[step % 3 == 2]
        count = 4 + step % 5
        assert reader.read(count) == data[position:position + count], step
        position += count
        assert a.tell() == b.tell() == position
        if tailcutoff is not None:
            assert a.cachedfrom() == max(0, position - tailcutoff)


@pytest.mark.native_only("the native classes' methods are method descriptors, as a builtin class's are")
@pytest.mark.parametrize("cls, method", [
    (RebufferedBytesIO, "tell"), (RebufferedBytesIO, "cachedfrom"), (RestreamedBytesIO, "read"),
])
def test_a_method_refuses_an_object_of_another_type(cls, method):
    # Called through the class, or bound to another object, as dict.keys(5) refuses it.
    message = f"descriptor '{method}' for '{cls.__name__}' objects doesn't apply to a 'int' object"
    descriptor = vars(cls)[method]
    for attempt in (lambda: descriptor(5), lambda: descriptor.__get__(5), lambda: descriptor.__get__(5, int)):
        with pytest.raises(TypeError) as caught:
            attempt()
        assert str(caught.value) == message
