// TRANSITIONAL: the process-wide helpers that modules used before module
// state and change detection (namespace.hpp, changes.hpp). Each module moves
// off them; this header goes when the last one has.
#pragma once

#include <cstdint>

#include "compat.hpp"
#include "namespace.hpp"

namespace native::legacy {

template <Literal S>
PyObject* name() {
    static PyObject* interned = nullptr;
    if (interned == nullptr) interned = PyUnicode_InternFromString(S.text);
    return interned;
}

inline PyObject* module_of(PyTypeObject* defining_class) { return PyType_GetModule(defining_class); }

template <Literal S>
Ref global(PyObject* module) {
    PyObject* key = name<S>();
    if (key == nullptr) return Ref();
    return native::global(module, key);
}

template <Literal S>
Ref attr(PyObject* object) {
    PyObject* key = name<S>();
    if (key == nullptr) return Ref();
    return Ref::steal(PyObject_GetAttr(object, key));
}

#if !NATIVE_DICT_WATCHERS || PY_VERSION_HEX < 0x030E0000
#if NATIVE_DICT_WATCHERS
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
inline std::uint64_t dict_version(PyDictObject* dict) { return dict->ma_version_tag; }
inline std::uint64_t dict_version(PyObject* dict) { return dict_version(reinterpret_cast<PyDictObject*>(dict)); }
#if NATIVE_DICT_WATCHERS
#pragma GCC diagnostic pop
#endif
#endif

using NativeMethod = PyObject* (*)(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                                   size_t nargsf, PyObject* kwnames);

// tp_init running the native `__init__` method `Method`.
template <NativeMethod Method>
int init_slot(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* result;
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        result = Method(self, Py_TYPE(self), &PyTuple_GET_ITEM(args, 0), static_cast<size_t>(PyTuple_GET_SIZE(args)),
                        nullptr);
    } else {
        Ref flat, names;
        if (!flatten_arguments(args, kwargs, flat, names)) return -1;
        result = Method(self, Py_TYPE(self), &PyTuple_GET_ITEM(flat.get(), 0),
                        static_cast<size_t>(PyTuple_GET_SIZE(args)), names.get());
    }
    if (result == nullptr) return -1;
    Py_DECREF(result);  // None: our __init__ methods return nothing else
    return 0;
}

// tp_str running the native `__str__` method `Method`.
template <NativeMethod Method>
PyObject* str_slot(PyObject* self) {
    return Method(self, Py_TYPE(self), nullptr, 0, nullptr);
}

}  // namespace native::legacy

#define NATIVE_LEGACY_MODULE(short_name, full_name, exec_function)                                \
    static PyModuleDef_Slot short_name##_slots[] = {                                              \
        {Py_mod_exec, reinterpret_cast<void*>(exec_function)}, {0, nullptr}};                     \
    static PyModuleDef short_name##_definition = {                                                \
        PyModuleDef_HEAD_INIT, full_name, nullptr, 0, nullptr, short_name##_slots, nullptr,       \
        nullptr, nullptr};                                                                        \
    PyMODINIT_FUNC PyInit_##short_name() { return PyModuleDef_Init(&short_name##_definition); }
