"""tavro.lib.portil as a type checker sees it."""

from typing_extensions import assert_type

from tavro.lib.portil import (
    PY,
    byte2int,
    bytes2str,
    int2byte,
    integers2bytes,
    iteratebytes,
    iterateints,
    reprstring,
    str2bytes,
    supportsnumpy,
    trimstring,
)

assert_type(PY, tuple[int, int])
assert_type(int2byte(65), bytes)
assert_type(byte2int(b"A") + byte2int("€"), int)
assert_type(bytes2str(str2bytes("tavro")), str)
assert_type(list(iteratebytes(b"abc")), list[bytes])
assert_type(iterateints(b"abc"), bytes)
assert_type(integers2bytes([116, 97, 118]), bytes)
assert_type(reprstring("abc"), str)
assert_type(trimstring(42), str | None)
print("numpy installed" if supportsnumpy else "no numpy")
