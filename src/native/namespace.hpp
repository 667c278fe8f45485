// Interned names, module-namespace look-ups at call time, imports and the
// building of a module namespace in a fixed order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "ref.hpp"

namespace native {

// A string literal usable as a template argument: name<"BinExpr">().
template <std::size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// The interned str for a literal, created at first use and kept for the life
// of the process. It is a constant, not module state. Borrowed; null with
// MemoryError set if it could not be created.
template <Literal S>
PyObject* name() {
    static PyObject* interned = nullptr;
    if (interned == nullptr) interned = PyUnicode_InternFromString(S.text);
    return interned;
}

// The module whose namespace a method reads: the class that defines the
// method carries it (see classes.hpp). Borrowed.
inline PyObject* module_of(PyTypeObject* defining_class) { return PyType_GetModule(defining_class); }

// Reads the module global `key` the way Python code does at every call: the
// module dict first, then builtins, else NameError. New reference or null.
inline Ref global(PyObject* module, PyObject* key) {
    if (key == nullptr) return Ref();
    PyObject* dict = PyModule_GetDict(module);
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), key);
        if (value == nullptr && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    }
    return Ref::new_reference(value);
}

template <Literal S>
Ref global(PyObject* module) {
    return global(module, name<S>());
}

// Reads an attribute by interned name. New reference or null.
template <Literal S>
Ref attr(PyObject* object) {
    PyObject* key = name<S>();
    if (key == nullptr) return Ref();
    return Ref::steal(PyObject_GetAttr(object, key));
}

// The version tag of a dict: unique per mutation, so a (dict, version) pair
// that was verified once stays valid until the dict changes. Lets a fast
// path re-verify a 256-entry table only after someone edited it.
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
inline std::uint64_t dict_version(PyDictObject* dict) { return dict->ma_version_tag; }
inline std::uint64_t dict_version(PyObject* dict) { return dict_version(reinterpret_cast<PyDictObject*>(dict)); }
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic pop
#endif

// ---- building a namespace ------------------------------------------------

// Binds module.<key> = value (consumes value). False with an exception set.
inline bool bind(PyObject* module, const char* key, Ref value) {
    if (!value) return false;
    return PyModule_AddObjectRef(module, key, value.get()) == 0;
}

// Creates a module-level function from a static PyMethodDef and binds it
// under its own name.
inline bool bind_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    return bind(module, def->ml_name, Ref::steal(PyCFunction_NewEx(def, module, module_name.get())));
}

inline Ref import(const char* module_name) { return Ref::steal(PyImport_ImportModule(module_name)); }

// `from module_name import attribute`: a missing name is an ImportError, as
// the import statement reports it.
inline Ref import_from(const char* module_name, const char* attribute) {
    Ref module = import(module_name);
    if (!module) return Ref();
    Ref value = Ref::steal(PyObject_GetAttrString(module.get(), attribute));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", attribute, module_name);
    }
    return value;
}

// `from module_name import *` for a module without __all__: every name that
// does not begin with an underscore, in that module's order.
inline bool star_import(PyObject* module, const char* module_name) {
    Ref source = import(module_name);
    if (!source) return false;
    Ref all = attr<"__all__">(source.get());
    if (all) {
        PyErr_SetString(PyExc_RuntimeError, "star import of a module with __all__ is not supported here");
        return false;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    PyObject* from = PyModule_GetDict(source.get());  // borrowed
    PyObject* into = PyModule_GetDict(module);        // borrowed
    Ref items = Ref::steal(PyDict_Items(from));      // a snapshot, in order
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        if (!PyUnicode_Check(key)) continue;
        if (PyUnicode_GET_LENGTH(key) > 0 && PyUnicode_READ_CHAR(key, 0) == '_') continue;
        if (PyDict_SetItem(into, key, PyTuple_GET_ITEM(item, 1)) < 0) return false;
    }
    return true;
}

}  // namespace native
