// The class builder: makes the documented classes ordinary Python classes by
// calling the `type` metaclass, then adds native methods to them.
//
// A class made this way has everything a class statement gives: an instance
// __dict__ and __weakref__, subclassing (also of int, bytes and dict),
// pickling and copying by the standard machinery, and slots that follow later
// assignments to its dunder attributes.
//
// Methods are PyMethodDefs with static storage:
//   instance methods: METH_METHOD | METH_FASTCALL | METH_KEYWORDS, signature
//       PyObject* f(PyObject* self, PyTypeObject* defining_class,
//                   PyObject* const* args, size_t nargsf, PyObject* kwnames)
//     They become method descriptors of the class; `defining_class` leads to
//     the module (module_of), whose namespace the method reads at each call.
//   static methods (ClassRecipe::static_methods): METH_FASTCALL | METH_KEYWORDS;
//     the function's `self` is the defining class, so that its __qualname__
//     reads "Class.name" and module_of() finds the module.
#pragma once

#include <initializer_list>

#include "args.hpp"
#include "namespace.hpp"

namespace native {

struct ClassRecipe {
    const char* name;
    const char* doc = nullptr;  // null: __doc__ is None
    PyMethodDef* methods = nullptr;         // terminated by a {nullptr} entry
    PyMethodDef* static_methods = nullptr;  // likewise
    bool unhashable = false;         // sets __hash__ = None (the class defines __eq__)
};

namespace detail {

inline Ref make_method(PyTypeObject* cls, PyMethodDef* def, bool is_static) {
    if (is_static) {
        Ref module_name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(cls), "__module__"));
        if (!module_name) return Ref();
        Ref function = Ref::steal(PyCFunction_NewEx(def, reinterpret_cast<PyObject*>(cls), module_name.get()));
        if (!function) return Ref();
        return Ref::steal(PyStaticMethod_New(function.get()));
    }
    return Ref::steal(PyDescr_NewMethod(cls, def));
}

}  // namespace detail

// Adds the methods of `defs` (terminated by {nullptr}) to an existing class.
inline bool add_methods(PyObject* cls, PyMethodDef* defs, bool are_static = false) {
    for (PyMethodDef* def = defs; def && def->ml_name; ++def) {
        Ref method = detail::make_method(reinterpret_cast<PyTypeObject*>(cls), def, are_static);
        if (!method || PyObject_SetAttrString(cls, def->ml_name, method.get()) < 0) return false;
    }
    return true;
}

// Binds `alias` on the class to the very object bound under `original`.
inline bool add_alias(PyObject* cls, const char* alias, const char* original) {
    Ref key = Ref::steal(PyUnicode_FromString(original));
    if (!key) return false;
    PyObject* value = nullptr;
    const int found = compat::dict_get_ref(reinterpret_cast<PyTypeObject*>(cls)->tp_dict, key.get(), &value);
    Ref held = Ref::steal(value);
    if (found < 0) return false;
    if (found == 0) {
        PyErr_Format(PyExc_AttributeError, "class has no attribute '%s' to alias", original);
        return false;
    }
    return PyObject_SetAttrString(cls, alias, held.get()) == 0;
}

// type(name, bases, {"__module__": ..., "__qualname__": name, "__doc__": doc})
// plus the methods; the class remembers `module` for its methods' look-ups.
inline Ref make_class(PyObject* module, const ClassRecipe& recipe, std::initializer_list<PyObject*> bases) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref name = Ref::steal(PyUnicode_FromString(recipe.name));
    Ref base_tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
    Ref ns = Ref::steal(PyDict_New());
    if (!module_name || !name || !base_tuple || !ns) return Ref();
    Py_ssize_t i = 0;
    for (PyObject* base : bases) {
        Py_INCREF(base);
        PyTuple_SET_ITEM(base_tuple.get(), i++, base);
    }
    if (PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", name.get()) < 0)
        return Ref();
    if (recipe.doc) {
        Ref doc = Ref::steal(PyUnicode_FromString(recipe.doc));
        if (!doc || PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0) return Ref();
    }
    Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), name.get(),
                                                       base_tuple.get(), ns.get(), nullptr));
    if (!cls) return Ref();
    // Methods with METH_METHOD receive this class and find the module (and
    // its state) through it, as for a class made by PyType_FromModuleAndSpec,
    // which is the only other writer of this field. The type owns the
    // reference: the interpreter visits it in the type's traverse and
    // releases it in the type's dealloc.
    auto* heap = reinterpret_cast<PyHeapTypeObject*>(cls.get());
    Py_INCREF(module);
    Py_XSETREF(heap->ht_module, module);
    if (!add_methods(cls.get(), recipe.methods) || !add_methods(cls.get(), recipe.static_methods, true)) return Ref();
    if (recipe.unhashable && PyObject_SetAttrString(cls.get(), "__hash__", Py_None) < 0) return Ref();
    return cls;
}

// ---- native slots for native dunder methods ---------------------------------
//
// A class made by `type` gets the interpreter's generic slots, which look the
// dunder method up on every use and call it. Writing the method's code into
// the slot of the class itself skips both. It stays correct because the
// interpreter puts its generic slot back whenever the dunder is assigned on
// the class or a base, and gives subclasses the generic slot (their dunder is
// a method descriptor, not a slot wrapper): the native slot only runs for
// instances of that very class while the method is still ours, so the class
// that defines the method is the instance's own.

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

}  // namespace native
