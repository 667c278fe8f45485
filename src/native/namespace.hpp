// Interned names, module globals read at call time, the built-in functions
// that fast paths stand in for, imports, and the building of a module
// namespace in a fixed order.
#pragma once

#include <cstddef>
#include <cstring>

#include "compat.hpp"
#include "literal.hpp"
#include "ref.hpp"

namespace native {

// ---- interned names --------------------------------------------------------------

// The names a module uses, each declared once, interned when the module
// executes and kept in its state (so every interpreter has its own):
//     using ModuleNames = native::Names<"op", "operand", "lhs">;
//     PyObject* key = native::name<"lhs">(state);   // borrowed, never null
// Asking for a name that the table does not declare does not compile.
template <Literal... Texts>
class Names {
public:
    static constexpr std::size_t size = sizeof...(Texts);

    // Interns every name; false with an exception set.
    bool intern() {
        const char* texts[] = {Texts.text...};
        for (std::size_t i = 0; i < size; ++i) {
            if (items_[i] != nullptr) continue;
            items_[i] = PyUnicode_InternFromString(texts[i]);
            if (items_[i] == nullptr) return false;
        }
        return true;
    }
    void clear() {
        for (PyObject*& item : items_) Py_CLEAR(item);
    }

    template <Literal Text>
    PyObject* get() const {
        constexpr std::size_t index = index_of<Text>();
        static_assert(index < size, "the name is not declared in the module's Names table");
        return items_[index];
    }

private:
    template <Literal Text>
    static constexpr std::size_t index_of() {
        constexpr bool matches[] = {(Text == Texts)...};
        for (std::size_t i = 0; i < size; ++i)
            if (matches[i]) return i;
        return size;
    }

    PyObject* items_[size];
};

// name<"x">(state): the interned "x" of a module state that has `names`.
template <Literal Text, class State>
PyObject* name(const State* state) {
    return state->names.template get<Text>();
}

// ---- module state ------------------------------------------------------------------

// A module's state struct. It must be valid when all-zero (the interpreter
// zeroes it before the module executes) and provide
//     int traverse(visitproc visit, void* arg);
//     void clear();
template <class State>
State* state_of(PyObject* module) {
    return static_cast<State*>(PyModule_GetState(module));
}

// The state of the module that made `defining_class` (METH_METHOD methods
// receive that class; the slots of our own exact classes pass their type).
template <class State>
State* state_of(PyTypeObject* defining_class) {
    return static_cast<State*>(PyType_GetModuleState(defining_class));
}

template <class State>
int traverse_state(PyObject* module, visitproc visit, void* arg) {
    State* state = state_of<State>(module);
    return state == nullptr ? 0 : state->traverse(visit, arg);
}

template <class State>
int clear_state(PyObject* module) {
    (void)module;
    return 0;
}

template <class State>
void free_state(void* module) {
    if (State* state = state_of<State>(static_cast<PyObject*>(module))) state->clear();
}

// ---- module globals -------------------------------------------------------------------

// The namespace of `module` (borrowed), or null once the collector has cleared
// the module: its dict is gone then, and every global reads as unbound.
inline PyObject* namespace_of(PyObject* module) { return PyModule_GetDict(module); }

// The builtins that code of `module` sees, as a Python function of that
// module would: its namespace's __builtins__ (a module stands for its dict),
// else the interpreter's own. New reference or null.
inline Ref builtins_of(PyObject* module) {
    PyObject* found = nullptr;
    Ref key = Ref::steal(PyUnicode_FromString("__builtins__"));
    if (!key) return Ref();
    if (PyObject* ns = namespace_of(module); ns != nullptr && PyDict_GetItemRef(ns, key.get(), &found) < 0)
        return Ref();
    Ref builtins = Ref::steal(found);
    if (builtins && PyModule_Check(builtins.get())) return Ref::new_reference(PyModule_GetDict(builtins.get()));
    if (builtins) return builtins;
    // Not PyImport_ImportModule, which reads __builtins__ from the globals
    // of the calling frame (a Python function whose namespace lacks it gets
    // KeyError): the interpreter's builtins module, whoever calls.
    Ref module_builtins = Ref::steal(PyImport_ImportModuleLevel("builtins", nullptr, nullptr, nullptr, 0));
    if (!module_builtins) return Ref();
    return Ref::new_reference(PyModule_GetDict(module_builtins.get()));
}

// Reads the module global `key` the way Python code does at every call: the
// module dict first, then builtins, else NameError. New reference or null.
inline Ref global(PyObject* module, PyObject* key) {
    PyObject* value = nullptr;
    PyObject* ns = namespace_of(module);
    const int found = ns == nullptr ? 0 : PyDict_GetItemRef(ns, key, &value);
    if (found != 0) return Ref::steal(value);
    Ref builtins = builtins_of(module);
    if (!builtins) return Ref();
    if (PyDict_Check(builtins.get())) {
        if (PyDict_GetItemRef(builtins.get(), key, &value) != 0) return Ref::steal(value);
    } else {
        value = PyObject_GetItem(builtins.get(), key);
        if (value != nullptr || !PyErr_ExceptionMatches(PyExc_KeyError)) return Ref::steal(value);
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return Ref();
}

template <Literal Text, class State>
Ref global(PyObject* module, const State* state) {
    return global(module, name<Text>(state));
}

// The module global `key` when the module dict binds it (new reference),
// else null, with no exception either way: for fast paths that leave the
// NameError, and anything unusual, to the generic path.
inline Ref peek_global(PyObject* module, PyObject* key) {
    PyObject* value = nullptr;
    PyObject* ns = namespace_of(module);
    if (ns != nullptr && PyDict_GetItemRef(ns, key, &value) < 0) PyErr_Clear();
    return Ref::steal(value);
}

// Whether every key of `dict` is an exact str. Then looking a str up in it
// compares str with str only and runs no Python code (no __eq__ of a
// colliding key), so what one look-up finds is still bound after the next:
// the guard of rule 1 (native.hpp) for a fast path that reads several names
// of a namespace. Reads the keys with PyDict_Next, which runs no code; on
// free-threaded builds hold the dict's critical section (native::checked
// runs its check in it).
inline bool keys_are_exact_str(PyObject* dict) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

// The entries of a table keyed by byte values (INT2BYTE_CACHE and the like),
// walked without running code: `visit(byte, value)` for each entry whose key
// is an exact int from 0 to 255, `visit(-1, value)` for an exact int outside
// that range. False as soon as a key is not an exact int (then a look-up of
// a byte value could run Python code, or find another entry than the one
// read here) or `visit` returns false. The values are borrowed from the
// table: use them only while nothing runs that could change it (or under a
// stamp of it, changes.hpp). On free-threaded builds hold the table's
// critical section (native::checked runs its check in it).
template <class Visit>
bool for_each_byte_entry(PyObject* table, Visit visit) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(table, &position, &key, &value)) {
        if (!PyLong_CheckExact(key)) return false;
        Py_ssize_t number = 0;
        const bool small = compat::long_compact_value(key, &number) && number >= 0 && number <= 255;
        if (!visit(small ? static_cast<int>(number) : -1, value)) return false;
    }
    return true;
}

// getattr(object, key). New reference or null.
inline Ref attr(PyObject* object, PyObject* key) { return Ref::steal(PyObject_GetAttr(object, key)); }

// ---- recognising a known built-in function ----------------------------------------
//
// A fast path may stand in for a call to a module global (portil's int2byte,
// the operator module's add) only while that global is still the built-in
// function whose work the fast path knows: a caller may bind anything in its
// place. A built-in function is recognised by its C code, the entry point of
// its PyMethodDef, which every instance of the defining module shares; its
// __self__ (PyCFunction_GET_SELF) tells which instance it serves, hence which
// namespace and state it reads. A module records the code of each function
// it stands in for once, when it executes, and tests globals with
// `is_builtin_with_code` at
// each call.

// The C code of `function` when it is the built-in function `function_name`
// defined by a module whose definition names it `module_name` (an exact
// built-in function, bound to such a module, under that name); null
// otherwise. Runs no Python code and raises nothing.
inline PyCFunction module_function_code(PyObject* function, const char* module_name, const char* function_name) {
    if (function == nullptr || !PyCFunction_CheckExact(function)) return nullptr;
    PyObject* owner = PyCFunction_GET_SELF(function);
    if (owner == nullptr || !PyModule_Check(owner)) return nullptr;
    PyModuleDef* definition = PyModule_GetDef(owner);
    if (definition == nullptr || definition->m_name == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    const PyMethodDef* method = reinterpret_cast<PyCFunctionObject*>(function)->m_ml;
    if (std::strcmp(definition->m_name, module_name) != 0 || std::strcmp(method->ml_name, function_name) != 0)
        return nullptr;
    return method->ml_meth;
}

// Whether `object` is a built-in function whose C code is `code` (a null
// code is never run).
inline bool is_builtin_with_code(PyObject* object, PyCFunction code) {
    return code != nullptr && object != nullptr && PyCFunction_CheckExact(object) &&
           PyCFunction_GET_FUNCTION(object) == code;
}

// ---- building a namespace ----------------------------------------------------------

// module.<key> = value (consumes value). False with an exception set.
inline bool set_module_attribute(PyObject* module, const char* key, Ref value) {
    if (!value) return false;
    return PyModule_AddObjectRef(module, key, value.get()) == 0;
}

// Creates module-level functions from the static PyMethodDefs `Defs` and
// binds each under its own name, in their order. They are made as the
// interpreter makes the functions of a module's method table
// (PyModule_AddFunctions), so that free-threaded builds treat them as they
// treat those: with deferred reference counting, which 3.13 turns into
// immortality once a second thread starts. Threads that call a function
// found in a module then do not all write to its reference count.
template <PyMethodDef&... Defs>
bool bind_functions(PyObject* module) {
    static PyMethodDef table[] = {Defs..., {nullptr, nullptr, 0, nullptr}};
    return PyModule_AddFunctions(module, table) == 0;
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
    Ref all_name = Ref::steal(PyUnicode_FromString("__all__"));
    if (!all_name) return false;
    PyObject* all = nullptr;
    const int has_all = PyObject_GetOptionalAttr(source.get(), all_name.get(), &all);
    Py_XDECREF(all);
    if (has_all < 0) return false;
    if (has_all > 0) {
        PyErr_SetString(PyExc_RuntimeError, "star import of a module with __all__ is not supported here");
        return false;
    }
    PyObject* from = PyModule_GetDict(source.get());  // borrowed: `source` holds it
    PyObject* into = PyModule_GetDict(module);        // borrowed: `module` holds it
    Ref items = Ref::steal(PyDict_Items(from));       // a snapshot, in order
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);  // the snapshot holds it
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        if (!PyUnicode_Check(key)) continue;
        if (PyUnicode_GET_LENGTH(key) > 0 && PyUnicode_READ_CHAR(key, 0) == '_') continue;
        if (PyDict_SetItem(into, key, PyTuple_GET_ITEM(item, 1)) < 0) return false;
    }
    return true;
}

}  // namespace native
