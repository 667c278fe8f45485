// tavro.lib.binary: not built yet.
#include "native.hpp"

namespace {

int exec_binary(PyObject* /*module*/) { return 0; }

}  // namespace

NATIVE_MODULE(binary, "tavro.lib.binary", exec_binary)
