// tavro.lib.portil: not built yet.
#include "native.hpp"

namespace {

int exec_portil(PyObject* /*module*/) { return 0; }

}  // namespace

NATIVE_MODULE(portil, "tavro.lib.portil", exec_portil)
