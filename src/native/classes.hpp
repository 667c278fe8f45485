// The class builder: makes the documented classes ordinary Python classes by
// calling the `type` metaclass, then adds native methods to them; and native
// base classes for them that declare fields of their own (NativeBase).
//
// A class made this way has everything a class statement gives: an instance
// __dict__ and __weakref__, subclassing (also of int, bytes and dict),
// pickling and copying by the standard machinery, and slots that follow later
// assignments to its dunder attributes.
//
// Methods are PyMethodDefs with static storage (args.hpp makes them):
//   instance methods (native::method): METH_METHOD | METH_FASTCALL |
//     METH_KEYWORDS. They become method descriptors of the class, of the
//     module's own descriptor type (below); `defining_class` leads to the
//     module and its state. native::plain_method: METH_FASTCALL |
//     METH_KEYWORDS, the same descriptors; the body finds its module itself.
//   static methods (ClassRecipe::static_methods, native::function): the
//     function's `self` is the defining class, so that its __qualname__ reads
//     "Class.name" and the module is found through the class.
//
// Changes made to a class after `type` made it, each in this file only:
//   - ht_module is set, as PyType_FromModuleAndSpec sets it (make_class);
//   - native slots (install_slot): a dunder method's own code is written into
//     the type's slot, so that the interpreter calls it without looking the
//     method up and packing the arguments. This stays correct because the
//     interpreter rewrites a slot whenever the matching dunder is assigned on
//     the class or a base, and gives subclasses its generic slots (their
//     dunder is found by look-up): a native slot runs only for instances of
//     that very class while its dunder is still our method, so the class
//     that defines the method is the instance's own type;
//   - a vectorcall entry (install_call_slot): the native __call__ slot, and
//     the flag that makes the interpreter call an instance through the entry
//     pointer its native base declares (see NativeBase below).
//
// Nothing else of a finished class is changed: its size, its layout and its
// allocator are the ones `type` gave it.
#pragma once

#include <initializer_list>
#include <cstddef>

#include "args.hpp"
#include "compat.hpp"
#include "namespace.hpp"

namespace native {

// ---- the method descriptor ---------------------------------------------------
//
// What the class dict holds for an instance method. It behaves as the
// interpreter's method_descriptor (binding gives the same built-in method
// object, the same __name__, __qualname__, __text_signature__, __doc__,
// pickling and repr) and keeps the interpreter's method-call fast path
// (Py_TPFLAGS_METHOD_DESCRIPTOR: `obj.m(...)` calls it with obj first,
// without binding). One difference, the reason it exists: called through
// the class with no argument at all (`Class.tell()`), it reports the missing
// self with the library's argument-count message, self counted
// ("tell() takes exactly 1 positional argument (0 given)"), like every other
// argument error, instead of "unbound method ... needs an argument".

struct MethodDescriptor {
    PyObject_HEAD
    PyMethodDef* def;
    PyTypeObject* owner;  // strong
    vectorcallfunc vectorcall;
};

namespace detail {

inline MethodDescriptor* as_descriptor(PyObject* object) { return reinterpret_cast<MethodDescriptor*>(object); }

// Whether the descriptor applies to `object`; false with the interpreter's TypeError.
inline bool applies_to(const MethodDescriptor* descriptor, PyObject* object) {
    if (PyObject_TypeCheck(object, descriptor->owner)) return true;
    PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%.100s' objects doesn't apply to a '%.100s' object",
                 descriptor->def->ml_name, descriptor->owner->tp_name, Py_TYPE(object)->tp_name);
    return false;
}

inline PyObject* descriptor_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    MethodDescriptor* descriptor = as_descriptor(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // With no self, the method's entry raises its own count message.
    PyObject* self = nargs < 1 ? nullptr : args[0];
    if (self != nullptr && !applies_to(descriptor, self)) return nullptr;
    if (descriptor->def->ml_flags & METH_METHOD) {
        auto method = reinterpret_cast<PyCMethod>(reinterpret_cast<void (*)()>(descriptor->def->ml_meth));
        return method(self, descriptor->owner, args + 1, static_cast<size_t>(nargs > 0 ? nargs - 1 : 0), kwnames);
    }
    using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    auto method = reinterpret_cast<FastWithKeywords>(reinterpret_cast<void (*)()>(descriptor->def->ml_meth));
    return method(self, args + 1, nargs > 0 ? nargs - 1 : 0, kwnames);
}

inline PyObject* descriptor_get(PyObject* self, PyObject* object, PyObject* /*type*/) {
    MethodDescriptor* descriptor = as_descriptor(self);
    if (object == nullptr) return Py_NewRef(self);
    if (!applies_to(descriptor, object)) return nullptr;
    const bool with_class = (descriptor->def->ml_flags & METH_METHOD) != 0;
    return PyCMethod_New(descriptor->def, object, nullptr, with_class ? descriptor->owner : nullptr);
}

// The part of the internal doc "name(signature)\n--\n\ndocstring" after the
// marker, or the whole doc when it has none.
inline const char* docstring_of(const char* doc) {
    if (doc == nullptr) return nullptr;
    const char* marker = std::strstr(doc, ")\n--\n\n");
    return marker == nullptr ? doc : marker + 6;
}

inline PyObject* descriptor_get_doc(PyObject* self, void*) {
    const char* doc = docstring_of(as_descriptor(self)->def->ml_doc);
    if (doc == nullptr || *doc == '\0') Py_RETURN_NONE;
    return PyUnicode_FromString(doc);
}

inline PyObject* descriptor_get_text_signature(PyObject* self, void*) {
    const char* doc = as_descriptor(self)->def->ml_doc;
    const char* marker = doc == nullptr ? nullptr : std::strstr(doc, ")\n--\n\n");
    const char* open = doc == nullptr ? nullptr : std::strchr(doc, '(');
    if (marker == nullptr || open == nullptr || open > marker) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(open, marker + 1 - open);
}

inline PyObject* descriptor_get_name(PyObject* self, void*) {
    return PyUnicode_FromString(as_descriptor(self)->def->ml_name);
}

inline PyObject* descriptor_get_qualname(PyObject* self, void*) {
    MethodDescriptor* descriptor = as_descriptor(self);
    Ref owner_name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(descriptor->owner), "__qualname__"));
    if (!owner_name) return nullptr;
    return PyUnicode_FromFormat("%S.%s", owner_name.get(), descriptor->def->ml_name);
}

inline PyObject* descriptor_get_objclass(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<PyObject*>(as_descriptor(self)->owner));
}

inline PyObject* descriptor_repr(PyObject* self) {
    MethodDescriptor* descriptor = as_descriptor(self);
    return PyUnicode_FromFormat("<method '%s' of '%s' objects>", descriptor->def->ml_name,
                                descriptor->owner->tp_name);
}

// Pickled as getattr(owner, name), like the interpreter's descriptors.
inline PyObject* descriptor_reduce(PyObject* self, PyObject*) {
    MethodDescriptor* descriptor = as_descriptor(self);
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    Ref getattr = Ref::steal(builtins ? PyObject_GetAttrString(builtins.get(), "getattr") : nullptr);
    if (!getattr) return nullptr;
    return Py_BuildValue("O(Os)", getattr.get(), reinterpret_cast<PyObject*>(descriptor->owner),
                         descriptor->def->ml_name);
}

inline int descriptor_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PyObject*>(as_descriptor(self)->owner));
    return 0;
}

// No tp_clear, as for the interpreter's own method descriptors: every method
// reads `owner`, and the cycle through the owner's dict is broken by the
// owner's own clear.
inline void descriptor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_descriptor(self)->owner);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

inline PyGetSetDef descriptor_getset[] = {
    {"__doc__", descriptor_get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", descriptor_get_text_signature, nullptr, nullptr, nullptr},
    {"__name__", descriptor_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", descriptor_get_qualname, nullptr, nullptr, nullptr},
    {"__objclass__", descriptor_get_objclass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMethodDef descriptor_methods[] = {
    {"__reduce__", descriptor_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyMemberDef descriptor_members[] = {
    {"__vectorcalloffset__", NATIVE_MEMBER_PYSSIZET, offsetof(MethodDescriptor, vectorcall), NATIVE_MEMBER_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyType_Slot descriptor_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(descriptor_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(descriptor_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(descriptor_traverse)},
    {Py_tp_getset, descriptor_getset},
    {Py_tp_methods, descriptor_methods},
    {Py_tp_members, descriptor_members},
    {0, nullptr},
};

}  // namespace detail

// The module's method descriptor type (one per module, kept in its state).
// New reference or null.
inline Ref make_method_descriptor_type(PyObject* module) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return Ref();
    static PyType_Spec descriptor_shape = {
        nullptr,
        sizeof(MethodDescriptor),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
        detail::descriptor_slots,
    };
    // The shape is only read while the type is made: its name may be a
    // temporary. Each module's type is named after the module.
    PyType_Spec named = descriptor_shape;
    Ref type_name = Ref::steal(PyUnicode_FromFormat("%U.method_descriptor", module_name.get()));
    if (!type_name) return Ref();
    named.name = PyUnicode_AsUTF8(type_name.get());
    if (named.name == nullptr) return Ref();
    return Ref::steal(PyType_FromModuleAndSpec(module, &named, nullptr));
}

// Whether `object` is a method descriptor made here for the method whose
// C entry point is `entry` (a method of ours that nobody has replaced).
inline bool is_native_method(PyObject* object, PyCFunction entry) {
    if (object == nullptr || Py_TYPE(object)->tp_descr_get != detail::descriptor_get) return false;
    return detail::as_descriptor(object)->def->ml_meth == entry;
}

// Writes a dunder method's native code into the slot of a class that
// defines the method (`slot` is a member such as &PyTypeObject::tp_str), as
// described at the top of this file: the interpreter rewrites the slot when
// the dunder is assigned, and subclasses get its generic slot.
// For example
//     native::install_slot(cls, &PyTypeObject::tp_init, native::init_slot<Text, body>);
// where the class's `__init__` is the method declared by the same Text.
template <class Slot>
void install_slot(PyObject* cls, Slot PyTypeObject::*slot, Slot code) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    type->*slot = code;
    PyType_Modified(type);  // nothing cached about the type outlives the change
}

struct ClassRecipe {
    const char* name;
    const char* doc = nullptr;  // null: __doc__ is None
    PyMethodDef* methods = nullptr;         // terminated by end_of_methods
    PyMethodDef* static_methods = nullptr;  // likewise
};

namespace detail {

// A descriptor for `def` on `cls`, of the module's descriptor type.
inline Ref make_descriptor(PyTypeObject* descriptor_type, PyTypeObject* cls, PyMethodDef* def) {
    MethodDescriptor* descriptor = PyObject_GC_New(MethodDescriptor, descriptor_type);
    if (descriptor == nullptr) return Ref();
    descriptor->def = def;
    descriptor->owner = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(cls)));
    descriptor->vectorcall = descriptor_vectorcall;
    PyObject_GC_Track(descriptor);
    return Ref::steal(reinterpret_cast<PyObject*>(descriptor));
}

inline Ref make_method(PyTypeObject* cls, PyMethodDef* def, bool is_static, PyTypeObject* descriptor_type) {
    if (is_static) {
        Ref module_name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(cls), "__module__"));
        if (!module_name) return Ref();
        Ref function = Ref::steal(PyCFunction_NewEx(def, reinterpret_cast<PyObject*>(cls), module_name.get()));
        if (!function) return Ref();
        return Ref::steal(PyStaticMethod_New(function.get()));
    }
    return make_descriptor(descriptor_type, cls, def);
}

}  // namespace detail

// Adds the methods of `defs` (terminated by end_of_methods) to an existing
// class, as descriptors of `descriptor_type` (static methods as staticmethod
// objects).
inline bool add_methods(PyObject* cls, PyMethodDef* defs, bool are_static, PyTypeObject* descriptor_type) {
    for (PyMethodDef* def = defs; def && def->ml_name; ++def) {
        Ref method = detail::make_method(reinterpret_cast<PyTypeObject*>(cls), def, are_static, descriptor_type);
        if (!method || PyObject_SetAttrString(cls, def->ml_name, method.get()) < 0) return false;
    }
    return true;
}

// Binds `alias` on the class to the very object bound under `original`.
inline bool add_alias(PyObject* cls, const char* alias, const char* original) {
    Ref key = Ref::steal(PyUnicode_FromString(original));
    if (!key) return false;
    PyObject* value = nullptr;
    const int found = PyDict_GetItemRef(reinterpret_cast<PyTypeObject*>(cls)->tp_dict, key.get(), &value);
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
inline Ref make_class(PyObject* module, const ClassRecipe& recipe, std::initializer_list<PyObject*> bases,
                      PyObject* descriptor_type) {
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
    auto* descriptors = reinterpret_cast<PyTypeObject*>(descriptor_type);
    if (!add_methods(cls.get(), recipe.methods, false, descriptors) ||
        !add_methods(cls.get(), recipe.static_methods, true, descriptors))
        return Ref();
    return cls;
}

// ---- native base classes ------------------------------------------------------
//
// A class whose instances need a native field (a vectorcall entry, say)
// derives from a native base made by PyType_FromModuleAndSpec that declares
// it; the classes below it are still made by `type` and add nothing to the
// layout, so that __class__ can be assigned between all of them. The base
// keeps what a class statement gives its instances: an instance __dict__ and
// weak references (__dict__ and __weakref__ descriptors), GC, subclassing,
// pickling and copying by the standard machinery (no tp_new of its own: the
// object's, which pickling at every protocol expects). Its instances begin
// with NativeBase:
//
//     struct Node { native::NativeBase base; vectorcallfunc entry; ... };
//
// The dict and the weak-reference list are plain fields on every version:
// one layout everywhere, and the dict is reached by a field read (the
// interpreter's own "managed" dict of 3.12+ is reachable only through a call
// that returns a new reference). The type's tp_dealloc stays the one
// PyType_FromModuleAndSpec gives a heap type without one (the same as a
// class statement's), which clears weak references and the dict and drops
// the reference to the type; traverse and clear below visit and clear the
// dict and visit the type, which the subclasses' generic traverse leaves to
// the nearest base with a traverse of its own.
//
// The price: the base has a layout of its own, so a class cannot derive from
// it and from another class with one (int, bytes, dict, ...) at once.

struct NativeBase {
    PyObject_HEAD
    PyObject* dict;      // the instance __dict__, null until first needed
    PyObject* weaklist;  // the interpreter's list of weak references
};

namespace detail {

inline NativeBase* as_native_base(PyObject* object) { return reinterpret_cast<NativeBase*>(object); }

inline PyObject* native_base_get_dict(PyObject* self, void* context) {
    return PyObject_GenericGetDict(self, context);
}

// As a class statement's __dict__: a dict (or subclass) replaces it, and
// deleting it leaves the instance with a new empty one on the next access.
inline int native_base_set_dict(PyObject* self, PyObject* value, void*) {
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_Format(PyExc_TypeError, "__dict__ must be set to a dictionary, not a '%.200s'",
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    // Stored atomically: code that only compares the dict's address reads
    // it without the critical section.
    PyObject* old = nullptr;
    NATIVE_CRITICAL_SECTION_BEGIN(self);
    old = __atomic_exchange_n(&as_native_base(self)->dict, Py_XNewRef(value), __ATOMIC_ACQ_REL);
    NATIVE_CRITICAL_SECTION_END;
    Py_XDECREF(old);
    return 0;
}

inline PyObject* native_base_get_weakref(PyObject* self, void*) {
    PyObject* head = as_native_base(self)->weaklist;
    return Py_NewRef(head == nullptr ? Py_None : head);
}

}  // namespace detail

// The __dict__ and __weakref__ descriptors of a native base (its Py_tp_getset).
inline PyGetSetDef native_base_getset[] = {
    {"__dict__", detail::native_base_get_dict, detail::native_base_set_dict, "dictionary for instance variables",
     nullptr},
    {"__weakref__", detail::native_base_get_weakref, nullptr, "list of weak references to the object", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// What the Py_tp_members of a native base whose instances are `Instance`
// (beginning with NativeBase) start with; PyType_FromModuleAndSpec takes the
// dict and weak-reference offsets from them.
#define NATIVE_BASE_MEMBERS(Instance)                                                                       \
    {"__dictoffset__", NATIVE_MEMBER_PYSSIZET, offsetof(Instance, base.dict), NATIVE_MEMBER_READONLY, nullptr}, \
    {"__weaklistoffset__", NATIVE_MEMBER_PYSSIZET, offsetof(Instance, base.weaklist), NATIVE_MEMBER_READONLY,   \
     nullptr}

// tp_traverse and tp_clear of a native base whose fields hold no references
// besides the dict.
inline int native_base_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(detail::as_native_base(self)->dict);
    return 0;
}

inline int native_base_clear(PyObject* self) {
    Py_CLEAR(detail::as_native_base(self)->dict);
    return 0;
}

// Makes the class `cls` (made by `type` below a native base that declares
// __vectorcalloffset__) call its instances through their entry pointer, with
// `call` as its native __call__ slot. The invariants that keep this correct:
//   1. The entry pointer of every instance is null (the interpreter then
//      uses tp_call) or an entry that does the native work only while
//      Py_TYPE(self)->tp_call is still `call`, and otherwise calls through
//      tp_call: before 3.12 the interpreter keeps the flag when __call__ is
//      assigned on the class, and only rewrites tp_call.
//   2. Subclasses do not call through the entry: before 3.12 the flag is not
//      inherited by classes made by `type`; from 3.12 on it is, but is
//      cleared again with the generic __call__ slot every such subclass gets
//      (its __call__ is found by look-up), and when __call__ is assigned.
//   3. The entry is written by the code that initialises an instance, never
//      by the allocator: instances made by object.__new__ alone (pickling,
//      copying) carry null until our code initialises them.
inline void install_call_slot(PyObject* cls, ternaryfunc call) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    type->tp_call = call;
    if (type->tp_vectorcall_offset > 0) type->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
}

}  // namespace native
