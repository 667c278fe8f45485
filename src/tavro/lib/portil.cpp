// tavro.lib.portil: interpreter flags, type tuples, the two one-byte caches
// and the small conversion helpers every other library module imports.
#include "native.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace {

using native::Ref;

// ---- the iteratebytes generator ------------------------------------------
//
// A native object that behaves like the generator expression
// `(ITERATEBYTES_CACHE[i] for i in data)` would, except that it asks for the
// iterator over `data` only when the first item is requested. It keeps the
// module (not the cache) so that every item reads ITERATEBYTES_CACHE afresh.

enum class GenState : unsigned char { created, suspended, running, finished };

struct Genexpr {
    PyObject_HEAD
    PyObject* module;    // whose namespace holds ITERATEBYTES_CACHE
    PyObject* data;      // until the iterator has been taken from it
    PyObject* iterator;  // after the first request
    PyObject* name;
    PyObject* qualname;
    PyObject* weakreflist;
    GenState state;
    // Iterating an exact bytes object runs no Python code, so it is walked
    // by position instead of through an iterator object.
    bool over_bytes;
    Py_ssize_t position;
    // ITERATEBYTES_CACHE as found in the namespace at `namespace_version`
    // (borrowed: the namespace holds it while unchanged).
    std::uint64_t namespace_version;
    PyObject* cache;
};

// The entries of the table last seen by any generator, indexed by byte
// value. Dict version tags are unique per mutation, so a matching (table,
// version) pair proves the entries still in the table, alive and unchanged.
struct CacheEntries {
    PyObject* table = nullptr;  // identity only
    std::uint64_t version = 0;
    bool usable = false;
    PyObject* entries[256] = {};  // borrowed from the table; null where it has no such key
};
CacheEntries cache_entries;

// Every key an exact int: then the lookup of a byte value finds exactly the
// entry under that int, and no key comparison can run Python code.
bool read_cache_entries(PyObject* table) {
    std::fill(std::begin(cache_entries.entries), std::end(cache_entries.entries), nullptr);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(table, &pos, &key, &value)) {
        if (!PyLong_CheckExact(key)) return false;
        int overflow = 0;
        const long i = PyLong_AsLongAndOverflow(key, &overflow);
        if (!overflow && i >= 0 && i < 256) cache_entries.entries[i] = value;
    }
    return true;
}

// The cache entry for `byte` without running Python code, or null when the
// lookup has to go the ordinary way.
PyObject* cached_entry(Genexpr* gen, unsigned char byte) {
    PyObject* ns = PyModule_GetDict(gen->module);
    const std::uint64_t version = native::dict_version(ns);
    if (version != gen->namespace_version) {
        gen->cache = PyDict_GetItemWithError(ns, native::name<"ITERATEBYTES_CACHE">());
        if (gen->cache == nullptr) PyErr_Clear();
        gen->namespace_version = version;
    }
    PyObject* table = gen->cache;
    if (table == nullptr || !PyDict_CheckExact(table)) return nullptr;
    if (table != cache_entries.table || native::dict_version(table) != cache_entries.version) {
        cache_entries.table = table;
        cache_entries.version = native::dict_version(table);
        cache_entries.usable = read_cache_entries(table);
    }
    return cache_entries.usable ? cache_entries.entries[byte] : nullptr;
}

PyTypeObject genexpr_type{};  // filled in by genexpr_type_ready()

Genexpr* as_genexpr(PyObject* self) { return reinterpret_cast<Genexpr*>(self); }

// A finished generator lets go of everything it was iterating, as a finished
// frame does.
void genexpr_finish(Genexpr* gen) {
    gen->state = GenState::finished;
    Py_CLEAR(gen->iterator);
    Py_CLEAR(gen->data);
}

PyObject* genexpr_already_executing() {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
}

// An exception that leaves the generator's body ends it; StopIteration is
// turned into RuntimeError on the way out, as for every generator.
PyObject* genexpr_fail(Genexpr* gen) {
    genexpr_finish(gen);
    if (PyErr_ExceptionMatches(PyExc_StopIteration))
        _PyErr_FormatFromCause(PyExc_RuntimeError, "generator raised StopIteration");
    return nullptr;
}

// The next item, or null: with an exception set on failure, without one when
// the generator is exhausted.
PyObject* genexpr_step(Genexpr* gen) {
    if (gen->state == GenState::finished) return nullptr;
    if (gen->state == GenState::running) return genexpr_already_executing();
    gen->state = GenState::running;
    Ref element;
    if (gen->over_bytes || (gen->iterator == nullptr && PyBytes_CheckExact(gen->data))) {
        gen->over_bytes = true;
        if (gen->position >= PyBytes_GET_SIZE(gen->data)) {
            genexpr_finish(gen);
            return nullptr;
        }
        const auto byte = static_cast<unsigned char>(PyBytes_AS_STRING(gen->data)[gen->position++]);
        if (PyObject* entry = cached_entry(gen, byte)) {
            gen->state = GenState::suspended;
            return Py_NewRef(entry);
        }
        element = Ref::steal(PyLong_FromLong(byte));
        if (!element) return genexpr_fail(gen);
    } else {
        if (gen->iterator == nullptr) {
            gen->iterator = PyObject_GetIter(gen->data);
            if (gen->iterator == nullptr) return genexpr_fail(gen);
            Py_CLEAR(gen->data);
        }
        element = Ref::steal(PyIter_Next(gen->iterator));
        if (!element) {
            if (PyErr_Occurred()) return genexpr_fail(gen);
            genexpr_finish(gen);
            return nullptr;
        }
    }
    Ref cache = native::global<"ITERATEBYTES_CACHE">(gen->module);
    if (!cache) return genexpr_fail(gen);
    PyObject* item = PyObject_GetItem(cache.get(), element.get());
    if (item == nullptr) return genexpr_fail(gen);
    gen->state = GenState::suspended;
    return item;
}

PyObject* genexpr_iternext(PyObject* self) { return genexpr_step(as_genexpr(self)); }

PyObject* genexpr_send(PyObject* self, PyObject* value) {
    Genexpr* gen = as_genexpr(self);
    if (gen->state == GenState::running) return genexpr_already_executing();
    if (gen->state == GenState::created && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* item = genexpr_step(gen);
    if (item == nullptr && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return item;
}

// throw(typ[, val[, tb]]): the exception is raised where the generator is
// paused; nothing in its body catches it, so it ends the generator and leaves
// through throw().
PyObject* genexpr_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Genexpr* gen = as_genexpr(self);
    if (nargs < 1 || nargs > 3) {
        if (nargs < 1)
            PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        else
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : nullptr;
    PyObject* traceback = nargs > 2 ? args[2] : nullptr;
    if (traceback == Py_None) traceback = nullptr;
    if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Py_INCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(traceback);
    if (PyExceptionClass_Check(type)) {
        PyErr_NormalizeException(&type, &value, &traceback);
    } else if (PyExceptionInstance_Check(type)) {
        if (value != nullptr && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            Py_DECREF(type);
            Py_DECREF(value);
            Py_XDECREF(traceback);
            return nullptr;
        }
        Py_XDECREF(value);
        value = type;
        type = reinterpret_cast<PyObject*>(Py_TYPE(value));
        Py_INCREF(type);
        if (traceback == nullptr) traceback = PyException_GetTraceback(value);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        Py_DECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return nullptr;
    }
    if (gen->state == GenState::running) {
        Py_DECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return genexpr_already_executing();
    }
    const bool was_live = gen->state != GenState::finished;
    PyErr_Restore(type, value, traceback);
    if (was_live) return genexpr_fail(gen);
    return nullptr;
}

PyObject* genexpr_close(PyObject* self, PyObject* /*unused*/) {
    Genexpr* gen = as_genexpr(self);
    if (gen->state == GenState::running) return genexpr_already_executing();
    genexpr_finish(gen);
    Py_RETURN_NONE;
}

PyObject* genexpr_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %S at %p>", as_genexpr(self)->qualname, self);
}

int genexpr_traverse(PyObject* self, visitproc visit, void* arg) {
    Genexpr* gen = as_genexpr(self);
    Py_VISIT(gen->module);
    Py_VISIT(gen->data);
    Py_VISIT(gen->iterator);
    return 0;
}

int genexpr_clear(PyObject* self) {
    Genexpr* gen = as_genexpr(self);
    Py_CLEAR(gen->module);
    Py_CLEAR(gen->data);
    Py_CLEAR(gen->iterator);
    return 0;
}

void genexpr_dealloc(PyObject* self) {
    Genexpr* gen = as_genexpr(self);
    PyObject_GC_UnTrack(self);
    if (gen->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    genexpr_clear(self);
    Py_CLEAR(gen->name);
    Py_CLEAR(gen->qualname);
    PyObject_GC_Del(self);
}

PyObject* genexpr_get_name(PyObject* self, void*) { return Py_NewRef(as_genexpr(self)->name); }
PyObject* genexpr_get_qualname(PyObject* self, void*) { return Py_NewRef(as_genexpr(self)->qualname); }

int genexpr_set_text(PyObject** slot, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

int genexpr_set_name(PyObject* self, PyObject* value, void*) {
    return genexpr_set_text(&as_genexpr(self)->name, value, "__name__ must be set to a string object");
}

int genexpr_set_qualname(PyObject* self, PyObject* value, void*) {
    return genexpr_set_text(&as_genexpr(self)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* genexpr_get_running(PyObject* self, void*) {
    return PyBool_FromLong(as_genexpr(self)->state == GenState::running);
}

PyMethodDef genexpr_methods[] = {
    {"send", genexpr_send, METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(genexpr_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded value or raise\n"
     "StopIteration."},
    {"close", genexpr_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef genexpr_getset[] = {
    {"__name__", genexpr_get_name, genexpr_set_name, "name of the generator", nullptr},
    {"__qualname__", genexpr_get_qualname, genexpr_set_qualname, "qualified name of the generator", nullptr},
    {"gi_running", genexpr_get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The type is process-wide and immutable; every instance carries its module.
bool genexpr_type_ready() {
    if (genexpr_type.tp_flags & Py_TPFLAGS_READY) return true;
    Py_SET_REFCNT(&genexpr_type, 1);  // a static type: never deallocated
    genexpr_type.tp_name = "tavro.lib.portil.generator";
    genexpr_type.tp_basicsize = sizeof(Genexpr);
    genexpr_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    genexpr_type.tp_dealloc = genexpr_dealloc;
    genexpr_type.tp_repr = genexpr_repr;
    genexpr_type.tp_traverse = genexpr_traverse;
    genexpr_type.tp_clear = genexpr_clear;
    genexpr_type.tp_weaklistoffset = offsetof(Genexpr, weakreflist);
    genexpr_type.tp_iter = PyObject_SelfIter;
    genexpr_type.tp_iternext = genexpr_iternext;
    genexpr_type.tp_methods = genexpr_methods;
    genexpr_type.tp_getset = genexpr_getset;
    return PyType_Ready(&genexpr_type) == 0;
}

// isinstance(iteratebytes(b""), collections.abc.Generator) holds, as it does
// for the generator it stands in for.
bool register_as_generator() {
    Ref abc = native::import("collections.abc");
    if (!abc) return false;
    Ref generator = native::attr<"Generator">(abc.get());
    if (!generator) return false;
    Ref registered = Ref::steal(PyObject_CallMethod(generator.get(), "register", "O", &genexpr_type));
    return static_cast<bool>(registered);
}

PyObject* new_genexpr(PyObject* module, PyObject* data) {
    PyObject* name = native::name<"genexpr">();
    PyObject* qualname = native::name<"iteratebytes.<locals>.genexpr">();
    if (name == nullptr || qualname == nullptr) return nullptr;
    Genexpr* gen = PyObject_GC_New(Genexpr, &genexpr_type);
    if (gen == nullptr) return nullptr;
    gen->module = Py_NewRef(module);
    gen->data = Py_NewRef(data);
    gen->iterator = nullptr;
    gen->name = Py_NewRef(name);
    gen->qualname = Py_NewRef(qualname);
    gen->weakreflist = nullptr;
    gen->state = GenState::created;
    gen->over_bytes = false;
    gen->position = 0;
    gen->namespace_version = 0;
    gen->cache = nullptr;
    PyObject_GC_Track(gen);
    return reinterpret_cast<PyObject*>(gen);
}

// ---- helpers -------------------------------------------------------------

// Calls `method_name` on `object` with the one argument "utf8".
template <native::Literal Method>
PyObject* call_with_utf8(PyObject* object) {
    PyObject* method = native::name<Method>();
    PyObject* encoding = native::name<"utf8">();
    if (method == nullptr || encoding == nullptr) return nullptr;
    return PyObject_CallMethodOneArg(object, method, encoding);
}

// isinstance(data, <the module attribute bytes>), read at the call.
int is_module_bytes(PyObject* module, PyObject* data) {
    Ref bytes_type = native::global<"bytes">(module);
    if (!bytes_type) return -1;
    return PyObject_IsInstance(data, bytes_type.get());
}

Ref one_byte_cache() {
    Ref cache = Ref::steal(PyDict_New());
    if (!cache) return Ref();
    for (long i = 0; i < 256; ++i) {
        Ref key = Ref::steal(PyLong_FromLong(i));
        if (!key) return Ref();
        Ref sequence = Ref::steal(PyList_New(1));
        if (!sequence) return Ref();
        PyList_SET_ITEM(sequence.get(), 0, key.get());
        Py_INCREF(key.get());
        Ref value = native::call(reinterpret_cast<PyObject*>(&PyBytes_Type), sequence.get());
        if (!value || PyDict_SetItem(cache.get(), key.get(), value.get()) < 0) return Ref();
    }
    return cache;
}

// `import name` as the statement does it, through builtins.__import__.
// Returns the top-level package.
Ref import_statement(PyObject* module, const char* dotted) {
    Ref import = native::global<"__import__">(module);
    if (!import) return Ref();
    Ref module_name = Ref::steal(PyUnicode_FromString(dotted));
    if (!module_name) return Ref();
    PyObject* globals = PyModule_GetDict(module);
    Ref level = Ref::steal(PyLong_FromLong(0));
    if (!level) return Ref();
    PyObject* args[] = {module_name.get(), globals, globals, Py_None, level.get()};
    return Ref::steal(PyObject_Vectorcall(import.get(), args, 5, nullptr));
}

// `from enum import <attribute>` as the statement does it.
Ref import_from_statement(PyObject* module, const char* source, const char* attribute) {
    Ref import = native::global<"__import__">(module);
    if (!import) return Ref();
    Ref source_name = Ref::steal(PyUnicode_FromString(source));
    Ref attribute_name = Ref::steal(PyUnicode_FromString(attribute));
    Ref fromlist = Ref::steal(PyTuple_Pack(1, attribute_name.get()));
    Ref level = Ref::steal(PyLong_FromLong(0));
    if (!source_name || !attribute_name || !fromlist || !level) return Ref();
    PyObject* globals = PyModule_GetDict(module);
    PyObject* args[] = {source_name.get(), globals, globals, fromlist.get(), level.get()};
    Ref imported = Ref::steal(PyObject_Vectorcall(import.get(), args, 5, nullptr));
    if (!imported) return Ref();
    Ref value = Ref::steal(PyObject_GetAttr(imported.get(), attribute_name.get()));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", attribute, source);
    }
    return value;
}

// The outcome of a probe: true when it worked, false when it failed with one
// of the exception types the probe expects; -1 for anything else.
int probe_outcome(bool succeeded, PyObject* expected1, PyObject* expected2 = nullptr) {
    if (succeeded) return 1;
    if (PyErr_ExceptionMatches(expected1) || (expected2 && PyErr_ExceptionMatches(expected2))) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// `assert` statements run unless the interpreter was started with -O.
bool assertions_enabled() {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (flags == nullptr) return true;
    Ref optimize = Ref::steal(PyObject_GetAttrString(flags, "optimize"));
    if (!optimize) {
        PyErr_Clear();
        return true;
    }
    return PyObject_IsTrue(optimize.get()) == 0;
}

// ---- the Python-visible functions ----------------------------------------

PyObject* int2byte(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"int2byte", {"character"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    Ref cache = native::global<"INT2BYTE_CACHE">(module);
    if (!cache) return nullptr;
    return PyObject_GetItem(cache.get(), a[0]);
}

PyObject* byte2int(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"byte2int", {"character"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* character = a[0];
    if (PyUnicode_Check(character)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(character);
        if (length != 1) {
            PyErr_Format(PyExc_ValueError,
                         "only single character unicode strings can be converted to Py_UCS4, got length %zd", length);
            return nullptr;
        }
        return PyLong_FromLong(static_cast<long>(PyUnicode_READ_CHAR(character, 0)));
    }
    Py_ssize_t length;
    const char* content;
    if (PyBytes_Check(character)) {
        length = PyBytes_GET_SIZE(character);
        content = PyBytes_AS_STRING(character);
    } else if (PyByteArray_Check(character)) {
        length = PyByteArray_GET_SIZE(character);
        content = PyByteArray_AS_STRING(character);
    } else {
        PyErr_Format(PyExc_TypeError, "ord() expected string of length 1, but %.200s found",
                     Py_TYPE(character)->tp_name);
        return nullptr;
    }
    if (length != 1) {
        PyErr_Format(PyExc_TypeError, "ord() expected a character, but string of length %zd found", length);
        return nullptr;
    }
    return PyLong_FromLong(static_cast<unsigned char>(content[0]));
}

PyObject* str2bytes(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"str2bytes", {"string"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    return call_with_utf8<"encode">(a[0]);
}

PyObject* bytes2str(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"bytes2str", {"string"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    return call_with_utf8<"decode">(a[0]);
}

PyObject* str2unicode(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"str2unicode", {"string"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    return Py_NewRef(a[0]);
}

PyObject* unicode2str(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"unicode2str", {"string"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    return Py_NewRef(a[0]);
}

PyObject* iteratebytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"iteratebytes", {"data"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    return new_genexpr(module, a[0]);
}

PyObject* iterateints(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"iterateints", {"data"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    return Py_NewRef(a[0]);
}

PyObject* reprstring(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"reprstring", {"data"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0];
    const int is_bytes = is_module_bytes(module, data);
    if (is_bytes < 0) return nullptr;
    if (is_bytes) return PyObject_Repr(data);
    if (PyUnicode_Check(data)) {
        Ref text = Ref::steal(PyObject_Repr(data));
        if (!text) return nullptr;
        return PyUnicode_FromFormat("u%U", text.get());
    }
    Py_RETURN_NONE;
}

PyObject* trimstring(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"trimstring", {"data"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0];
    const int is_bytes = is_module_bytes(module, data);
    if (is_bytes < 0) return nullptr;
    if (is_bytes) {
        Ref text = Ref::steal(PyObject_Repr(data));
        if (!text) return nullptr;
        if (PyUnicode_CheckExact(text.get()))
            return PyUnicode_Substring(text.get(), 1, PyUnicode_GET_LENGTH(text.get()));
        return PySequence_GetSlice(text.get(), 1, PY_SSIZE_T_MAX);
    }
    if (PyUnicode_Check(data)) return PyObject_Repr(data);
    Py_RETURN_NONE;
}

PyObject* integers2bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"integers2bytes", {"ints"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    Ref bytes_type = native::global<"bytes">(module);
    if (!bytes_type) return nullptr;
    return native::call(bytes_type.get(), a[0]).release();
}

PyObject* bytes2integers(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"bytes2integers", {"data"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    return Py_NewRef(a[0]);
}

template <auto F>
constexpr PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

constexpr int FASTCALL_KEYWORDS = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef int2byte_def = {"int2byte", fastcall<int2byte>(), FASTCALL_KEYWORDS,
                            "int2byte(character)\n--\n\nConverts (0 through 255) integer into b'...' character."};
PyMethodDef byte2int_def = {"byte2int", fastcall<byte2int>(), FASTCALL_KEYWORDS,
                            "byte2int(character)\n--\n\nConverts b'...' character into (0 through 255) integer."};
PyMethodDef str2bytes_def = {
    "str2bytes", fastcall<str2bytes>(), FASTCALL_KEYWORDS,
    "str2bytes(string)\n--\n\nConverts '...' string into b'...' string. On PY2 they are equivalent. On PY3 its utf8 "
    "encoded."};
PyMethodDef bytes2str_def = {
    "bytes2str", fastcall<bytes2str>(), FASTCALL_KEYWORDS,
    "bytes2str(string)\n--\n\nConverts b'...' string into '...' string. On PY2 they are equivalent. On PY3 its utf8 "
    "decoded."};
PyMethodDef str2unicode_def = {
    "str2unicode", fastcall<str2unicode>(), FASTCALL_KEYWORDS,
    "str2unicode(string)\n--\n\nConverts '...' string into u'...' string. On PY2 its utf8 encoded. On PY3 they are "
    "equivalent."};
PyMethodDef unicode2str_def = {
    "unicode2str", fastcall<unicode2str>(), FASTCALL_KEYWORDS,
    "unicode2str(string)\n--\n\nConverts u'...' string into '...' string. On PY2 its utf8 decoded. On PY3 they are "
    "equivalent."};
PyMethodDef iteratebytes_def = {
    "iteratebytes", fastcall<iteratebytes>(), FASTCALL_KEYWORDS,
    "iteratebytes(data)\n--\n\nIterates though b'...' string yielding b'...' characters."};
PyMethodDef iterateints_def = {
    "iterateints", fastcall<iterateints>(), FASTCALL_KEYWORDS,
    "iterateints(data)\n--\n\nIterates though b'...' string yielding (0 through 255) integers."};
PyMethodDef reprstring_def = {"reprstring", fastcall<reprstring>(), FASTCALL_KEYWORDS,
                              "reprstring(data)\n--\n\nEnsures there is b- u- prefix before the string."};
PyMethodDef trimstring_def = {"trimstring", fastcall<trimstring>(), FASTCALL_KEYWORDS,
                              "trimstring(data)\n--\n\nTrims b- u- prefix"};
PyMethodDef integers2bytes_def = {"integers2bytes", fastcall<integers2bytes>(), FASTCALL_KEYWORDS,
                                  "integers2bytes(ints)\n--\n\nConverts integer generator into bytes."};
PyMethodDef bytes2integers_def = {
    "bytes2integers", fastcall<bytes2integers>(), FASTCALL_KEYWORDS,
    "bytes2integers(data)\n--\n\nConverts bytes into bytes/bytearray, so indexing/iterating yields integers."};

// ---- the namespace -------------------------------------------------------

Ref get(PyObject* module, const char* key) {
    return Ref::new_reference(PyDict_GetItemString(PyModule_GetDict(module), key));
}

Ref boolean(bool value) { return Ref::new_reference(value ? Py_True : Py_False); }

bool probe_numpy(PyObject* module) {
    Ref numpy = import_statement(module, "numpy");
    const int outcome = probe_outcome(static_cast<bool>(numpy), PyExc_ImportError);
    if (outcome < 0) return false;
    if (outcome && !native::bind(module, "numpy", std::move(numpy))) return false;
    return native::bind(module, "supportsnumpy", boolean(outcome));
}

bool probe_ruamel(PyObject* module) {
    Ref ruamel = import_statement(module, "ruamel.yaml");
    bool ok = static_cast<bool>(ruamel);
    if (ok) {
        if (!native::bind(module, "ruamel", std::move(ruamel))) return false;
        if (assertions_enabled()) {
            Ref py3 = native::global<"PY3">(module);
            if (!py3) return false;
            const int truth = PyObject_IsTrue(py3.get());
            if (truth < 0) return false;
            if (!truth) {
                PyErr_SetNone(PyExc_AssertionError);
                ok = false;
            }
        }
    }
    const int outcome = probe_outcome(ok, PyExc_ImportError, PyExc_AssertionError);
    if (outcome < 0) return false;
    return native::bind(module, "supportsksyexport", boolean(outcome));
}

bool probe_enum_class(PyObject* module, const char* class_name, const char* flag_name) {
    Ref cls = import_from_statement(module, "enum", class_name);
    const int outcome = probe_outcome(static_cast<bool>(cls), PyExc_ImportError);
    if (outcome < 0) return false;
    if (outcome && !native::bind(module, class_name, std::move(cls))) return false;
    return native::bind(module, flag_name, boolean(outcome));
}

// PY >= (3, 6) or PYPY
Ref keyword_order_supported(PyObject* module) {
    Ref version = get(module, "PY");
    Ref minimum = Ref::steal(Py_BuildValue("(ii)", 3, 6));
    if (!version || !minimum) return Ref();
    Ref result = Ref::steal(PyObject_RichCompare(version.get(), minimum.get(), Py_GE));
    if (!result) return Ref();
    const int truth = PyObject_IsTrue(result.get());
    if (truth < 0) return Ref();
    if (truth) return result;
    return get(module, "PYPY");
}

int exec_portil(PyObject* module) {
    if (!genexpr_type_ready() || !register_as_generator()) return -1;

    Ref sys = native::import("sys");
    if (!sys) return -1;
    Ref version_info = native::attr<"version_info">(sys.get());
    if (!version_info) return -1;
    Ref major = Ref::steal(PySequence_GetItem(version_info.get(), 0));
    Ref two = Ref::steal(PyLong_FromLong(2));
    Ref three = Ref::steal(PyLong_FromLong(3));
    Ref pypy_name = Ref::steal(PyUnicode_FromString("__pypy__"));
    Ref builtin_names = native::attr<"builtin_module_names">(sys.get());
    if (!major || !two || !three || !pypy_name || !builtin_names) return -1;
    const int pypy = PySequence_Contains(builtin_names.get(), pypy_name.get());
    if (pypy < 0) return -1;

    if (!native::bind(module, "sys", std::move(sys))) return -1;
    if (!native::bind(module, "PY", Ref::steal(PySequence_GetSlice(version_info.get(), 0, 2)))) return -1;
    if (!native::bind(module, "PY2", Ref::steal(PyObject_RichCompare(major.get(), two.get(), Py_EQ)))) return -1;
    if (!native::bind(module, "PY3", Ref::steal(PyObject_RichCompare(major.get(), three.get(), Py_EQ)))) return -1;
    if (!native::bind(module, "PYPY", boolean(pypy))) return -1;
    if (!probe_numpy(module)) return -1;
    if (!probe_ruamel(module)) return -1;
    if (!probe_enum_class(module, "IntEnum", "supportsintenum")) return -1;
    if (!probe_enum_class(module, "IntFlag", "supportsintflag")) return -1;
    if (!native::bind(module, "supportskwordered", keyword_order_supported(module))) return -1;
    if (!native::bind(module, "stringtypes", Ref::steal(PyTuple_Pack(2, &PyBytes_Type, &PyUnicode_Type)))) return -1;
    if (!native::bind(module, "integertypes", Ref::steal(PyTuple_Pack(1, &PyLong_Type)))) return -1;
    if (!native::bind(module, "unicodestringtype", Ref::new_reference(reinterpret_cast<PyObject*>(&PyUnicode_Type))))
        return -1;
    if (!native::bind(module, "bytestringtype", Ref::new_reference(reinterpret_cast<PyObject*>(&PyBytes_Type))))
        return -1;
    if (!native::bind(module, "INT2BYTE_CACHE", one_byte_cache())) return -1;
    if (!native::bind_function(module, &int2byte_def)) return -1;
    if (!native::bind_function(module, &byte2int_def)) return -1;
    if (!native::bind_function(module, &str2bytes_def)) return -1;
    if (!native::bind_function(module, &bytes2str_def)) return -1;
    if (!native::bind_function(module, &str2unicode_def)) return -1;
    if (!native::bind_function(module, &unicode2str_def)) return -1;
    if (!native::bind(module, "ITERATEBYTES_CACHE", one_byte_cache())) return -1;
    if (!native::bind_function(module, &iteratebytes_def)) return -1;
    if (!native::bind_function(module, &iterateints_def)) return -1;
    if (!native::bind_function(module, &reprstring_def)) return -1;
    if (!native::bind_function(module, &trimstring_def)) return -1;
    Ref builtins = native::import("builtins");
    if (!builtins) return -1;
    Ref bytes_type = native::attr<"bytes">(builtins.get());
    if (!native::bind(module, "builtins", std::move(builtins))) return -1;
    if (!native::bind(module, "bytes", std::move(bytes_type))) return -1;
    if (!native::bind_function(module, &integers2bytes_def)) return -1;
    if (!native::bind_function(module, &bytes2integers_def)) return -1;
    return 0;
}

}  // namespace

NATIVE_MODULE(portil, "tavro.lib.portil", exec_portil)
