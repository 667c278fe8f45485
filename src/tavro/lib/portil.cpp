// tavro.lib.portil: interpreter flags, type tuples, the two one-byte caches
// and the small conversion helpers every other library module imports.
//
// The one fast path, and every object its verdict depends on (native.hpp,
// rules 1, 2 and 4):
//   iteratebytes's items from ITERATEBYTES_CACHE (cached_entry), GIL builds
//   only: this module's namespace (its stamp; every key an exact str, so
//   the look-up runs no code and the table found stays bound while the
//   stamp holds), the table's identity (held by the namespace meanwhile),
//   the table's contents (its stamp; every key an exact int, whose type
//   cannot change). The entries are borrowed from the table and taken with
//   a reference before anything else runs.
#include "native.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace {

using native::Ref;
using native::name;

// ---- module state --------------------------------------------------------

using PortilNames = native::Names<"ITERATEBYTES_CACHE", "INT2BYTE_CACHE", "bytes", "encode", "decode", "utf8",
                                  "genexpr", "iteratebytes.<locals>.genexpr", "PY3", "__import__">;

// The entries of the ITERATEBYTES_CACHE table last read by a generator,
// indexed by byte value (null where the table has no such key), and how the
// namespace and the table were when they were read.
struct CacheEntries {
    native::DictStamp namespace_stamp;
    PyObject* table;  // identity only; the namespace held it at namespace_stamp
    native::DictStamp table_stamp;
    bool usable;
    PyObject* entries[256];  // borrowed from the table, valid under table_stamp
};

struct PortilState : native::ModuleState<PortilNames> {
    PyObject* generator_type;  // tavro.lib.portil.generator
    // Per module, where the GIL serialises its users; never used on
    // free-threaded builds, whose generators look every item up (rule 1:
    // the entries are borrowed).
    CacheEntries cache_entries;

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(generator_type);
        return traverse_shared(visit, arg);
    }
    void clear() {
        clear_shared();
        Py_CLEAR(generator_type);
        cache_entries = {};
    }
};

PortilState* state_of(PyObject* module) { return native::state_of<PortilState>(module); }

// ---- the iteratebytes generator ------------------------------------------
//
// A native object that behaves like the generator expression
// `(ITERATEBYTES_CACHE[i] for i in data)` would, except that it asks for the
// iterator over `data` only when the first item is requested. Its class
// belongs to the module, whose namespace every item reads afresh.

enum class GenState : unsigned char { created, suspended, running, finished };

struct Genexpr {
    PyObject_HEAD
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
};

Genexpr* as_genexpr(PyObject* self) { return reinterpret_cast<Genexpr*>(self); }

PyObject* module_of_generator(PyObject* self) { return PyType_GetModule(Py_TYPE(self)); }

// Every key an exact int: then the look-up of a byte value finds exactly the
// entry under that int, and no key comparison can run Python code.
bool read_cache_entries(PyObject* table, PyObject* (&entries)[256]) {
    std::fill(std::begin(entries), std::end(entries), nullptr);
    return native::for_each_byte_entry(table, [&entries](int byte, PyObject* value) {
        if (byte >= 0) entries[byte] = value;
        return true;
    });
}

// ITERATEBYTES_CACHE[byte] without running Python code (a new reference),
// or null (no exception) when the look-up has to go the ordinary way.
// Guards: the namespace is read only while its keys are all exact str (then
// the look-up runs no Python code, and the table found is bound as long as
// the namespace is unchanged); the table's entries are read only while its
// keys are all exact int; both are remembered under stamps; the entry is
// taken with a reference before anything else runs. Only where the GIL
// serialises the callers: the entries are borrowed (rule 1).
PyObject* cached_entry(PyObject* module, unsigned char byte) {
    if constexpr (native::compat::free_threaded) {
        return nullptr;
    } else {
        PortilState* st = state_of(module);
        CacheEntries& cache = st->cache_entries;
        PyObject* ns = native::namespace_of(module);
        if (ns == nullptr) return nullptr;
        if (!st->changes.unchanged(ns, cache.namespace_stamp)) {
            cache.namespace_stamp = st->changes.stamp(ns);
            cache.table = nullptr;
            cache.table_stamp = {};
            if (native::keys_are_exact_str(ns)) {
                Ref table = native::peek_global(module, name<"ITERATEBYTES_CACHE">(st));
                cache.table = table.get();  // the namespace holds it while unchanged
            }
        }
        PyObject* table = cache.table;
        if (table == nullptr || !PyDict_CheckExact(table)) return nullptr;
        if (!st->changes.unchanged(table, cache.table_stamp)) {
            cache.table_stamp = st->changes.stamp(table);
            cache.usable = read_cache_entries(table, cache.entries);
        }
        PyObject* entry = cache.usable ? cache.entries[byte] : nullptr;
        return Py_XNewRef(entry);
    }
}

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
        native::raise_from_current(PyExc_RuntimeError, "generator raised StopIteration");
    return nullptr;
}

// The element after the last one, as an int: null with an exception on
// failure, null without one when `data` is exhausted.
Ref next_element(Genexpr* gen, unsigned char& byte, bool& is_byte) {
    is_byte = false;
    if (gen->over_bytes || (gen->iterator == nullptr && PyBytes_CheckExact(gen->data))) {
        gen->over_bytes = true;
        if (gen->position >= PyBytes_GET_SIZE(gen->data)) return Ref();
        byte = static_cast<unsigned char>(PyBytes_AS_STRING(gen->data)[gen->position++]);
        is_byte = true;
        return Ref::steal(PyLong_FromLong(byte));
    }
    if (gen->iterator == nullptr) {
        gen->iterator = PyObject_GetIter(gen->data);
        if (gen->iterator == nullptr) return Ref();
        Py_CLEAR(gen->data);
    }
    return Ref::steal(PyIter_Next(gen->iterator));
}

// The next item, or null: with an exception set on failure, without one when
// the generator is exhausted. The state moves under the generator's critical
// section, so two threads stepping one generator see "already executing" as
// two interleaved callers would.
PyObject* genexpr_step_locked(Genexpr* gen) {
    if (gen->state == GenState::finished) return nullptr;
    if (gen->state == GenState::running) return genexpr_already_executing();
    gen->state = GenState::running;
    PyObject* module = module_of_generator(reinterpret_cast<PyObject*>(gen));
    if (module == nullptr) return genexpr_fail(gen);  // the collector cleared the class
    unsigned char byte = 0;
    bool is_byte = false;
    Ref element = next_element(gen, byte, is_byte);
    if (!element) {
        if (PyErr_Occurred()) return genexpr_fail(gen);
        genexpr_finish(gen);
        return nullptr;
    }
    if (is_byte) {
        if (PyObject* entry = cached_entry(module, byte)) {
            gen->state = GenState::suspended;
            return entry;
        }
    }
    Ref cache = native::global(module, name<"ITERATEBYTES_CACHE">(state_of(module)));
    if (!cache) return genexpr_fail(gen);
    PyObject* item = PyObject_GetItem(cache.get(), element.get());
    if (item == nullptr) return genexpr_fail(gen);
    gen->state = GenState::suspended;
    return item;
}

PyObject* genexpr_step(Genexpr* gen) {
    PyObject* object = reinterpret_cast<PyObject*>(gen);
    return native::compat::in_critical_section(object, [gen] { return genexpr_step_locked(gen); });
}

PyObject* genexpr_iternext(PyObject* self) { return genexpr_step(as_genexpr(self)); }

PyObject* genexpr_send_locked(Genexpr* gen, PyObject* value) {
    if (gen->state == GenState::running) return genexpr_already_executing();
    if (gen->state == GenState::created && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* item = genexpr_step_locked(gen);
    if (item == nullptr && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return item;
}

PyObject* genexpr_send(PyObject* self, PyObject* value) {
    return native::compat::in_critical_section(self, [&] { return genexpr_send_locked(as_genexpr(self), value); });
}

// The exception that throw(type[, value[, traceback]]) raises, as the
// interpreter makes it: a class is called with the value (a tuple spread as
// its arguments), an instance is used as it is. Null with the TypeError of
// a bad combination.
Ref exception_to_throw(PyObject* type, PyObject* value, PyObject* traceback) {
    Ref exception;
    if (PyExceptionClass_Check(type)) {
        if (value != nullptr && PyExceptionInstance_Check(value) && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) {
            exception = Ref::new_reference(value);
        } else if (value == nullptr || value == Py_None) {
            exception = Ref::steal(PyObject_CallNoArgs(type));
        } else if (PyTuple_Check(value)) {
            exception = Ref::steal(PyObject_Call(type, value, nullptr));
        } else {
            exception = Ref::steal(PyObject_CallOneArg(type, value));
        }
        if (!exception) return exception;
        if (!PyExceptionInstance_Check(exception.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s", type,
                         Py_TYPE(exception.get())->tp_name);
            return Ref();
        }
    } else if (PyExceptionInstance_Check(type)) {
        if (value != nullptr && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return Ref();
        }
        exception = Ref::new_reference(type);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return Ref();
    }
    if (traceback != nullptr && PyException_SetTraceback(exception.get(), traceback) < 0) return Ref();
    return exception;
}

// throw(value) or throw(type[, value[, traceback]]): the exception is raised
// where the generator is paused; nothing in its body catches it, so it ends
// the generator and leaves through throw().
PyObject* genexpr_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Genexpr* gen = as_genexpr(self);
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1 && native::compat::generator_throw_signature_deprecated &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead.",
                     1) < 0)
        return nullptr;
    PyObject* traceback = nargs > 2 ? args[2] : nullptr;
    if (traceback == Py_None) traceback = nullptr;
    if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Ref exception = exception_to_throw(args[0], nargs > 1 ? args[1] : nullptr, traceback);
    if (!exception) return nullptr;
    NATIVE_CRITICAL_SECTION_BEGIN(self);
    if (gen->state == GenState::running) {
        genexpr_already_executing();
    } else {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
        if (gen->state == GenState::created && native::compat::generator_unstarted_throw_unchanged)
            genexpr_finish(gen);
        else if (gen->state != GenState::finished)
            genexpr_fail(gen);
    }
    NATIVE_CRITICAL_SECTION_END;
    return nullptr;
}

PyObject* genexpr_close(PyObject* self, PyObject* /*unused*/) {
    Genexpr* gen = as_genexpr(self);
    bool running;
    NATIVE_CRITICAL_SECTION_BEGIN(self);
    running = gen->state == GenState::running;
    if (!running) genexpr_finish(gen);
    NATIVE_CRITICAL_SECTION_END;
    if (running) return genexpr_already_executing();
    Py_RETURN_NONE;
}

// The generator's name or qualified name, read under its critical section
// (another thread may be replacing it).
Ref genexpr_text(PyObject* self, PyObject* Genexpr::*field) {
    return native::compat::in_critical_section(self, [&] { return Ref::new_reference(as_genexpr(self)->*field); });
}

PyObject* genexpr_repr(PyObject* self) {
    Ref qualname = genexpr_text(self, &Genexpr::qualname);
    return PyUnicode_FromFormat("<generator object %S at %p>", qualname.get(), self);
}

int genexpr_traverse(PyObject* self, visitproc visit, void* arg) {
    Genexpr* gen = as_genexpr(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(gen->data);
    Py_VISIT(gen->iterator);
    return 0;
}

// A generator the collector cleared is finished: what it iterated is gone,
// and every later step reports exhaustion, as a cleared frame's generator does.
int genexpr_clear(PyObject* self) {
    genexpr_finish(as_genexpr(self));
    return 0;
}

void genexpr_dealloc(PyObject* self) {
    Genexpr* gen = as_genexpr(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (gen->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    genexpr_clear(self);
    Py_CLEAR(gen->name);
    Py_CLEAR(gen->qualname);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* genexpr_get_name(PyObject* self, void*) { return genexpr_text(self, &Genexpr::name).release(); }
PyObject* genexpr_get_qualname(PyObject* self, void*) { return genexpr_text(self, &Genexpr::qualname).release(); }

// Replaced under the generator's critical section, which its readers take.
int genexpr_set_text(PyObject* self, PyObject* Genexpr::*field, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Ref old;
    NATIVE_CRITICAL_SECTION_BEGIN(self);
    PyObject*& slot = as_genexpr(self)->*field;
    old = Ref::steal(slot);
    slot = Py_NewRef(value);
    NATIVE_CRITICAL_SECTION_END;
    return 0;
}

int genexpr_set_name(PyObject* self, PyObject* value, void*) {
    return genexpr_set_text(self, &Genexpr::name, value, "__name__ must be set to a string object");
}

int genexpr_set_qualname(PyObject* self, PyObject* value, void*) {
    return genexpr_set_text(self, &Genexpr::qualname, value, "__qualname__ must be set to a string object");
}

PyObject* genexpr_get_running(PyObject* self, void*) {
    bool running;
    NATIVE_CRITICAL_SECTION_BEGIN(self);
    running = as_genexpr(self)->state == GenState::running;
    NATIVE_CRITICAL_SECTION_END;
    return PyBool_FromLong(running);
}

PyMethodDef genexpr_methods[] = {
    {"send", genexpr_send, METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", native::cfunction<genexpr_throw>(), METH_FASTCALL,
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

PyMemberDef genexpr_members[] = {
    {"__weaklistoffset__", NATIVE_MEMBER_PYSSIZET, offsetof(Genexpr, weakreflist), NATIVE_MEMBER_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot genexpr_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(genexpr_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(genexpr_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(genexpr_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(genexpr_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(genexpr_iternext)},
    {Py_tp_methods, genexpr_methods},
    {Py_tp_getset, genexpr_getset},
    {Py_tp_members, genexpr_members},
    {0, nullptr},
};

PyType_Spec genexpr_spec = {
    "tavro.lib.portil.generator",
    sizeof(Genexpr),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    genexpr_slots,
};

// isinstance(iteratebytes(b""), collections.abc.Generator) holds, as it does
// for the generator it stands in for.
bool register_as_generator(PyObject* generator_type) {
    Ref abc = native::import("collections.abc");
    if (!abc) return false;
    Ref generator = Ref::steal(PyObject_GetAttrString(abc.get(), "Generator"));
    if (!generator) return false;
    Ref registered = Ref::steal(PyObject_CallMethod(generator.get(), "register", "O", generator_type));
    return static_cast<bool>(registered);
}

PyObject* new_genexpr(PyObject* module, PyObject* data) {
    PortilState* st = state_of(module);
    auto* type = reinterpret_cast<PyTypeObject*>(st->generator_type);
    Genexpr* gen = PyObject_GC_New(Genexpr, type);
    if (gen == nullptr) return nullptr;
    gen->data = Py_NewRef(data);
    gen->iterator = nullptr;
    gen->name = Py_NewRef(name<"genexpr">(st));
    gen->qualname = Py_NewRef(name<"iteratebytes.<locals>.genexpr">(st));
    gen->weakreflist = nullptr;
    gen->state = GenState::created;
    gen->over_bytes = false;
    gen->position = 0;
    PyObject_GC_Track(gen);
    return reinterpret_cast<PyObject*>(gen);
}

// ---- helpers -------------------------------------------------------------

// isinstance(data, <the module attribute bytes>), read at the call.
int is_module_bytes(PyObject* module, PyObject* data) {
    Ref bytes_type = native::global(module, name<"bytes">(state_of(module)));
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
        PyList_SET_ITEM(sequence.get(), 0, Py_NewRef(key.get()));
        Ref value = native::call(reinterpret_cast<PyObject*>(&PyBytes_Type), sequence.get());
        if (!value || PyDict_SetItem(cache.get(), key.get(), value.get()) < 0) return Ref();
    }
    return cache;
}

// `import name` as the statement does it, through builtins.__import__:
// __import__(name, globals, globals, fromlist, 0). Without a fromlist it
// returns the top-level package.
Ref import_statement(PyObject* module, const char* dotted, PyObject* fromlist = Py_None) {
    Ref import = native::global(module, name<"__import__">(state_of(module)));
    if (!import) return Ref();
    Ref module_name = Ref::steal(PyUnicode_FromString(dotted));
    Ref level = Ref::steal(PyLong_FromLong(0));
    if (!module_name || !level) return Ref();
    PyObject* globals = PyModule_GetDict(module);
    PyObject* args[] = {module_name.get(), globals, globals, fromlist, level.get()};
    return Ref::steal(PyObject_Vectorcall(import.get(), args, 5, nullptr));
}

// `from enum import <attribute>` as the statement does it.
Ref import_from_statement(PyObject* module, const char* source, const char* attribute) {
    Ref attribute_name = Ref::steal(PyUnicode_FromString(attribute));
    Ref fromlist = Ref::steal(attribute_name ? PyTuple_Pack(1, attribute_name.get()) : nullptr);
    if (!fromlist) return Ref();
    Ref imported = import_statement(module, source, fromlist.get());
    if (!imported) return Ref();
    Ref value = native::attr(imported.get(), attribute_name.get());
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
    Ref flags = Ref::new_reference(PySys_GetObject("flags"));
    if (!flags) return true;
    Ref optimize = Ref::steal(PyObject_GetAttrString(flags.get(), "optimize"));
    if (!optimize) {
        PyErr_Clear();
        return true;
    }
    return PyObject_IsTrue(optimize.get()) == 0;
}

// ---- the Python-visible functions ----------------------------------------

PyObject* int2byte(PyObject* module, PyObject* character) {
    Ref cache = native::global(module, name<"INT2BYTE_CACHE">(state_of(module)));
    if (!cache) return nullptr;
    return PyObject_GetItem(cache.get(), character);
}

PyObject* byte2int(PyObject* /*module*/, PyObject* character) {
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
    unsigned char value = 0;
    if (PyBytes_Check(character)) {
        length = PyBytes_GET_SIZE(character);
        if (length == 1) value = static_cast<unsigned char>(PyBytes_AS_STRING(character)[0]);
    } else if (PyByteArray_Check(character)) {
        // Length and content read together: on free-threaded builds another
        // thread may resize the bytearray, and its storage with it.
        NATIVE_CRITICAL_SECTION_BEGIN(character);
        length = PyByteArray_GET_SIZE(character);
        if (length == 1) value = static_cast<unsigned char>(PyByteArray_AS_STRING(character)[0]);
        NATIVE_CRITICAL_SECTION_END;
    } else {
        PyErr_Format(PyExc_TypeError, "ord() expected string of length 1, but %.200s found",
                     Py_TYPE(character)->tp_name);
        return nullptr;
    }
    if (length != 1) {
        PyErr_Format(PyExc_TypeError, "ord() expected a character, but string of length %zd found", length);
        return nullptr;
    }
    return PyLong_FromLong(value);
}

// str2bytes and bytes2str: string.encode("utf8") and string.decode("utf8").
template <native::Literal Method>
PyObject* utf8_method(PyObject* module, PyObject* string) {
    PortilState* st = state_of(module);
    return native::call_method(string, name<Method>(st), name<"utf8">(st)).release();
}

// str2unicode, unicode2str, iterateints and bytes2integers return their
// argument. Each definition still has an entry point of its own (its text
// signature is part of it), by which binary and hex recognise iterateints.
PyObject* identity(PyObject* /*module*/, PyObject* value) {
    return Py_NewRef(value);
}

PyObject* iteratebytes(PyObject* module, PyObject* data) {
    return new_genexpr(module, data);
}

PyObject* reprstring(PyObject* module, PyObject* data) {
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

PyObject* trimstring(PyObject* module, PyObject* data) {
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

PyObject* integers2bytes(PyObject* module, PyObject* ints) {
    Ref bytes_type = native::global(module, name<"bytes">(state_of(module)));
    if (!bytes_type) return nullptr;
    return native::call(bytes_type.get(), ints).release();
}

// ---- the functions, as the namespace binds them -------------------------

PyMethodDef int2byte_def = native::function<"int2byte(character)", int2byte,
                                   "Converts (0 through 255) integer into b'...' character.">();
PyMethodDef byte2int_def = native::function<"byte2int(character)", byte2int,
                                   "Converts b'...' character into (0 through 255) integer.">();
PyMethodDef str2bytes_def = native::function<"str2bytes(string)", utf8_method<"encode">,
                                   "Converts '...' string into b'...' string. On PY2 they are equivalent. On PY3 its utf8 "
                                   "encoded.">();
PyMethodDef bytes2str_def = native::function<"bytes2str(string)", utf8_method<"decode">,
                                   "Converts b'...' string into '...' string. On PY2 they are equivalent. On PY3 its utf8 "
                                   "decoded.">();
PyMethodDef str2unicode_def = native::function<"str2unicode(string)", identity,
                                   "Converts '...' string into u'...' string. On PY2 its utf8 encoded. On PY3 they are "
                                   "equivalent.">();
PyMethodDef unicode2str_def = native::function<"unicode2str(string)", identity,
                                   "Converts u'...' string into '...' string. On PY2 its utf8 decoded. On PY3 they are "
                                   "equivalent.">();
PyMethodDef iteratebytes_def = native::function<"iteratebytes(data)", iteratebytes,
                                   "Iterates though b'...' string yielding b'...' characters.">();
PyMethodDef iterateints_def = native::function<"iterateints(data)", identity,
                                   "Iterates though b'...' string yielding (0 through 255) integers.">();
PyMethodDef reprstring_def = native::function<"reprstring(data)", reprstring,
                                   "Ensures there is b- u- prefix before the string.">();
PyMethodDef trimstring_def = native::function<"trimstring(data)", trimstring,
                                   "Trims b- u- prefix">();
PyMethodDef integers2bytes_def = native::function<"integers2bytes(ints)", integers2bytes,
                                   "Converts integer generator into bytes.">();
PyMethodDef bytes2integers_def = native::function<"bytes2integers(data)", identity,
                                   "Converts bytes into bytes/bytearray, so indexing/iterating yields integers.">();

// ---- the namespace -------------------------------------------------------

Ref get(PyObject* module, const char* key) {
    Ref name_object = Ref::steal(PyUnicode_FromString(key));
    if (!name_object) return Ref();
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(module), name_object.get(), &value) == 0)
        PyErr_Format(PyExc_KeyError, "%s", key);
    return Ref::steal(value);
}

Ref boolean(bool value) { return Ref::new_reference(value ? Py_True : Py_False); }

// A probe by import, given what the import returned: module.<key> = it when
// the import worked, and module.<flag> = whether it did (an ImportError
// says no; any other failure is the module's).
bool probe_import(PyObject* module, Ref found, const char* key, const char* flag) {
    const int outcome = probe_outcome(static_cast<bool>(found), PyExc_ImportError);
    if (outcome < 0) return false;
    if (outcome && !native::set_module_attribute(module, key, std::move(found))) return false;
    return native::set_module_attribute(module, flag, boolean(outcome));
}

bool probe_ruamel(PyObject* module) {
    Ref ruamel = import_statement(module, "ruamel.yaml");
    bool ok = static_cast<bool>(ruamel);
    if (ok) {
        if (!native::set_module_attribute(module, "ruamel", std::move(ruamel))) return false;
        if (assertions_enabled()) {
            Ref py3 = native::global(module, name<"PY3">(state_of(module)));
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
    return native::set_module_attribute(module, "supportsksyexport", boolean(outcome));
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

// The module's own state: names, change detection and the generator class.
bool prepare_state(PyObject* module) {
    PortilState* st = state_of(module);
    if (!st->prepare_shared(module, false)) return false;
    st->generator_type = PyType_FromModuleAndSpec(module, &genexpr_spec, nullptr);
    return st->generator_type != nullptr && register_as_generator(st->generator_type);
}

int exec_portil(PyObject* module) {
    if (!prepare_state(module)) return -1;

    Ref sys = native::import("sys");
    if (!sys) return -1;
    Ref version_info = Ref::steal(PyObject_GetAttrString(sys.get(), "version_info"));
    if (!version_info) return -1;
    Ref major = Ref::steal(PySequence_GetItem(version_info.get(), 0));
    Ref two = Ref::steal(PyLong_FromLong(2));
    Ref three = Ref::steal(PyLong_FromLong(3));
    Ref pypy_name = Ref::steal(PyUnicode_FromString("__pypy__"));
    Ref builtin_names = Ref::steal(PyObject_GetAttrString(sys.get(), "builtin_module_names"));
    if (!major || !two || !three || !pypy_name || !builtin_names) return -1;
    const int pypy = PySequence_Contains(builtin_names.get(), pypy_name.get());
    if (pypy < 0) return -1;

    if (!native::set_module_attribute(module, "sys", std::move(sys))) return -1;
    if (!native::set_module_attribute(module, "PY", Ref::steal(PySequence_GetSlice(version_info.get(), 0, 2)))) return -1;
    if (!native::set_module_attribute(module, "PY2", Ref::steal(PyObject_RichCompare(major.get(), two.get(), Py_EQ)))) return -1;
    if (!native::set_module_attribute(module, "PY3", Ref::steal(PyObject_RichCompare(major.get(), three.get(), Py_EQ)))) return -1;
    if (!native::set_module_attribute(module, "PYPY", boolean(pypy))) return -1;
    if (!probe_import(module, import_statement(module, "numpy"), "numpy", "supportsnumpy")) return -1;
    if (!probe_ruamel(module)) return -1;
    if (!probe_import(module, import_from_statement(module, "enum", "IntEnum"), "IntEnum", "supportsintenum"))
        return -1;
    if (!probe_import(module, import_from_statement(module, "enum", "IntFlag"), "IntFlag", "supportsintflag"))
        return -1;
    if (!native::set_module_attribute(module, "supportskwordered", keyword_order_supported(module))) return -1;
    if (!native::set_module_attribute(module, "stringtypes", Ref::steal(PyTuple_Pack(2, &PyBytes_Type, &PyUnicode_Type)))) return -1;
    if (!native::set_module_attribute(module, "integertypes", Ref::steal(PyTuple_Pack(1, &PyLong_Type)))) return -1;
    if (!native::set_module_attribute(module, "unicodestringtype", Ref::new_reference(reinterpret_cast<PyObject*>(&PyUnicode_Type))))
        return -1;
    if (!native::set_module_attribute(module, "bytestringtype", Ref::new_reference(reinterpret_cast<PyObject*>(&PyBytes_Type))))
        return -1;
    if (!native::set_module_attribute(module, "INT2BYTE_CACHE", one_byte_cache())) return -1;
    if (!native::bind_functions<int2byte_def, byte2int_def, str2bytes_def, bytes2str_def, str2unicode_def,
                                unicode2str_def>(module))
        return -1;
    if (!native::set_module_attribute(module, "ITERATEBYTES_CACHE", one_byte_cache())) return -1;
    if (!native::bind_functions<iteratebytes_def, iterateints_def, reprstring_def, trimstring_def>(module)) return -1;
    Ref builtins = native::import("builtins");
    if (!builtins) return -1;
    Ref bytes_type = Ref::steal(PyObject_GetAttrString(builtins.get(), "bytes"));
    if (!native::set_module_attribute(module, "builtins", std::move(builtins))) return -1;
    if (!native::set_module_attribute(module, "bytes", std::move(bytes_type))) return -1;
    return native::bind_functions<integers2bytes_def, bytes2integers_def>(module) ? 0 : -1;
}

}  // namespace

NATIVE_MODULE(portil, "tavro.lib.portil", PortilState, exec_portil)
