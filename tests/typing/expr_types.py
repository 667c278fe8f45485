"""tavro.expr as a type checker sees it."""

from typing import Any

from typing_extensions import assert_type

from tavro.expr import BinExpr, FuncPath, Path, UniExpr, len_, list_, this

assert_type(this, Path)
assert_type(this.header.length, Path)
size = this.header.length * 2
assert_type(size, BinExpr)
assert_type(-this.delta, UniExpr)
assert_type(len_(this.items), FuncPath)
assert_type(len_(this.items) > 0, BinExpr)
# Evaluating an expression gives whatever the context holds.
value: Any = size({"header": {"length": 21}})
print(value, (len_(this.items) > 0)({"items": [1]}), list_[-1]({}, [1, 2, 3]))
