// tavro.lib.bitstream: not built yet.
#include "native.hpp"

namespace {

int exec_bitstream(PyObject* /*module*/) { return 0; }

}  // namespace

NATIVE_MODULE(bitstream, "tavro.lib.bitstream", exec_bitstream)
