// The shared C++ layer of the tavro extension modules. Each module includes
// this one header:
//   ref.hpp        owning references, the recursion guard
//   args.hpp       the argument binder and its exact TypeError messages
//   namespace.hpp  interned names, module globals read at call time, imports,
//                  star import, binding names in a fixed order
//   classes.hpp    ordinary classes made through the `type` metaclass
#pragma once

#include "args.hpp"
#include "classes.hpp"
#include "namespace.hpp"
#include "ref.hpp"

namespace native {

// Calls `callable` with positional arguments (borrowed), without building a
// tuple. New reference or null.
template <class... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* stack[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
}

}  // namespace native

// Declares the entry point of a multi-phase extension module whose namespace
// is built by `exec_function`.
#define NATIVE_MODULE(short_name, full_name, exec_function)                                   \
    static PyModuleDef_Slot short_name##_slots[] = {                                          \
        {Py_mod_exec, reinterpret_cast<void*>(exec_function)}, {0, nullptr}};                 \
    static PyModuleDef short_name##_definition = {                                            \
        PyModuleDef_HEAD_INIT, full_name, nullptr, 0, nullptr, short_name##_slots, nullptr,   \
        nullptr, nullptr};                                                                    \
    PyMODINIT_FUNC PyInit_##short_name() { return PyModuleDef_Init(&short_name##_definition); }
