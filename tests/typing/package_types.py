"""The tavro package and its dump helpers as a type checker sees them."""

from typing_extensions import assert_type

import tavro
from tavro._dump import dumplines, undumplines

assert_type(tavro.__version__, str)
lines = dumplines(b"tavro", 16, 0, 4)
assert_type(lines, bytes)
data, end, lineno, digits, error = undumplines(lines, 16, 0, 0, 2)
assert_type(data, bytes)
assert_type(error, str | None)
print(tavro.__version__, lines.decode(), data == b"tavro", end, lineno, digits, error)
