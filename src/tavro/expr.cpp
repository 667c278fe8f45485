// tavro.expr: not built yet.
#include "native.hpp"

namespace {

int exec_expr(PyObject* /*module*/) { return 0; }

}  // namespace

NATIVE_MODULE(expr, "tavro.expr", exec_expr)
