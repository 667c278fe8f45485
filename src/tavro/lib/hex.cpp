// tavro.lib.hex: not built yet.
#include "native.hpp"

namespace {

int exec_hex(PyObject* /*module*/) { return 0; }

}  // namespace

NATIVE_MODULE(hex, "tavro.lib.hex", exec_hex)
