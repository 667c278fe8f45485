// Every difference between the CPython versions the package supports (3.10
// to 3.15, and the free-threaded builds) lives in this header. Modules never
// test PY_VERSION_HEX or Py_GIL_DISABLED themselves.
//
// The rule for the C API: the interpreter's own names. Where a public
// function exists from some supported version on, modules call it by its
// name, and this header defines it (just below) only for the versions that
// lack it, with the version that brings it; dropping an old version deletes
// its block. What the interpreter has no public name for keeps a name of
// ours here (dict change counters, type version tags, an int's digits, the
// byte-array conversions), with the private symbol behind it, the versions
// it is known on and the public path taken where there is one. Nothing here
// silences a deprecation warning: a deprecation is the one-version notice
// before a removal, and the build runs with -Werror in CI so that it is seen.
//
// Private symbols that remain (known on 3.10 to 3.15 unless said otherwise):
//   _PyBytes_Resize        shrinks a bytes object we just made and still
//                          hold alone (3.15's PyBytesWriter is the public
//                          path there, not yet anywhere else).
//   _PyType_Lookup /       the MRO look-up without a bound-method or
//   _PyType_LookupRef      descriptor call; there is no public equivalent.
//                          The Ref form (3.13+) is used from 3.13 on, and
//                          always on free-threaded builds.
//   _PyObject_GenericGetAttrWithDict
//                          generic attribute look-up that reports a miss
//                          without raising AttributeError (Path's
//                          __getattr__ fallback); the public path,
//                          PyObject_GenericGetAttr and clearing the error,
//                          costs an exception per miss.
//   _PyLong_AsByteArray    the conversion int.to_bytes makes (3.10 to 3.15;
//                          a with_exceptions parameter from 3.13, which
//                          reports a value too large without raising). The
//                          public PyLong_AsNativeBytes (3.13+) wraps it in
//                          about 90 more instructions per call (flags, a
//                          bit count, an edge-case scan): 10 % of a 16-byte
//                          integer2bytes, whose target is int.to_bytes's
//                          own speed.
//   PyLongObject's layout  (3.10 to 3.15, as longintrepr.h documents it) an
//                          int's digits (LongDigits), and on 3.10 and 3.11
//                          whether an int is compact and its value. The
//                          public path to the digits, PyLong_Export
//                          (3.14+), measured 160 more instructions a call
//                          than reading them (it tries a 64-bit conversion
//                          first and takes a reference): more than
//                          converting a 16-byte number from the digits costs.
//   _PyLong_NumBits        the exact bit length of an int (3.10 to 3.15;
//                          int64_t from 3.14). The public paths are a call
//                          of int.bit_length(), or PyLong_AsNativeBytes
//                          with no buffer, whose answer is only an upper
//                          bound (a machine word's size for small values).
//   PyDictObject.ma_version_tag
//                          3.10 and 3.11 only, where it is neither
//                          deprecated nor replaceable: dict watchers arrive
//                          in 3.12 (DictVersions).
// and, behind the shims of CPython's own names for the versions that lack
// them: _PyType_GetModuleByDef (3.10), _PyObject_LookupAttr (3.10 to 3.12),
// _PyLong_FromByteArray (3.10 to 3.12), _PyLong_Sign, _PyBytes_Join,
// _PyUnicodeWriter (3.10 to 3.13) and _Py_HashBytes (3.10 to 3.12).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // PyLongObject's layout (Python.h includes it from 3.11 on)
#endif

#include "ref.hpp"

// ---- what this interpreter offers ------------------------------------------

#if PY_VERSION_HEX < 0x030A0000
#error "tavro needs CPython 3.10 or later"
#endif

#if PY_VERSION_HEX >= 0x030C0000
#define NATIVE_DICT_WATCHERS 1  // PyDict_AddWatcher and friends
#else
#define NATIVE_DICT_WATCHERS 0
#endif

// Member descriptions for PyType_Spec (named Py_T_* from 3.12 on).
#if PY_VERSION_HEX >= 0x030C0000
#define NATIVE_MEMBER_PYSSIZET Py_T_PYSSIZET
#define NATIVE_MEMBER_READONLY Py_READONLY
#else
#include <structmember.h>
#define NATIVE_MEMBER_PYSSIZET T_PYSSIZET
#define NATIVE_MEMBER_READONLY READONLY
#endif

// Holds the critical section of one object for the rest of the enclosing
// block, on builds that have them (3.13+; a no-op unless free-threaded).
#if PY_VERSION_HEX >= 0x030D0000
#define NATIVE_CRITICAL_SECTION_BEGIN(object) Py_BEGIN_CRITICAL_SECTION(object)
#define NATIVE_CRITICAL_SECTION_END Py_END_CRITICAL_SECTION()
#else
#define NATIVE_CRITICAL_SECTION_BEGIN(object) {
#define NATIVE_CRITICAL_SECTION_END }
#endif

// ---- CPython's own names, where the running version lacks them ---------------
//
// The modules call the interpreter's API by its own name. Each function here
// is defined only for the versions that lack it, with the version that
// brings it: dropping an old version deletes its block and touches no
// module.

#if PY_VERSION_HEX < 0x030B0000  // 3.11 brings them
inline PyObject* PyType_GetModuleByDef(PyTypeObject* type, PyModuleDef* def) {
    return _PyType_GetModuleByDef(type, def);
}
#endif

#if PY_VERSION_HEX < 0x030C0000  // 3.12 brings them
inline PyObject* PyErr_GetRaisedException() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

inline void PyErr_SetRaisedException(PyObject* exception) {
    if (exception == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
}

// An int of at most one internal digit: the sign of ob_size is the int's and
// its magnitude the count of 30-bit digits (longintrepr.h, fixed for 3.10
// and 3.11).
inline int PyUnstable_Long_IsCompact(const PyLongObject* op) {
    const Py_ssize_t size = Py_SIZE(op);
    return size >= -1 && size <= 1;
}

inline Py_ssize_t PyUnstable_Long_CompactValue(const PyLongObject* op) {
    const Py_ssize_t size = Py_SIZE(op);
    return size == 0 ? 0 : size * static_cast<Py_ssize_t>(op->ob_digit[0]);
}
#endif

#if PY_VERSION_HEX < 0x030D0000  // 3.13 brings them
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    *result = Py_XNewRef(value);
    if (value != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

inline int PyDict_SetDefaultRef(PyObject* dict, PyObject* key, PyObject* default_value, PyObject** result) {
    const Py_ssize_t before = PyDict_GET_SIZE(dict);
    PyObject* held = PyDict_SetDefault(dict, key, default_value);
    *result = Py_XNewRef(held);
    if (held == nullptr) return -1;
    return PyDict_GET_SIZE(dict) == before ? 1 : 0;
}

inline int PyObject_GetOptionalAttr(PyObject* object, PyObject* name, PyObject** result) {
    return _PyObject_LookupAttr(object, name, result);
}

#define Py_ASNATIVEBYTES_BIG_ENDIAN 0
#define Py_ASNATIVEBYTES_LITTLE_ENDIAN 1

inline PyObject* PyLong_FromNativeBytes(const void* buffer, std::size_t n_bytes, int flags) {
    return _PyLong_FromByteArray(static_cast<const unsigned char*>(buffer), n_bytes, flags & 1, 1);
}

inline PyObject* PyLong_FromUnsignedNativeBytes(const void* buffer, std::size_t n_bytes, int flags) {
    return _PyLong_FromByteArray(static_cast<const unsigned char*>(buffer), n_bytes, flags & 1, 0);
}
#endif

#if PY_VERSION_HEX < 0x030E0000  // 3.14 brings them
inline int PyLong_GetSign(PyObject* number, int* sign) {
    *sign = _PyLong_Sign(number);
    return 0;
}

inline int PyLong_IsPositive(PyObject* number) { return _PyLong_Sign(number) > 0; }
inline int PyLong_IsNegative(PyObject* number) { return _PyLong_Sign(number) < 0; }
inline int PyLong_IsZero(PyObject* number) { return _PyLong_Sign(number) == 0; }

inline Py_hash_t Py_HashBuffer(const void* data, Py_ssize_t size) {
#if PY_VERSION_HEX >= 0x030D0000
    // 3.13 has neither this nor its former private name: hash a bytes copy.
    PyObject* copy = PyBytes_FromStringAndSize(static_cast<const char*>(data), size);
    if (copy == nullptr) return -1;
    const Py_hash_t hash = PyObject_Hash(copy);
    Py_DECREF(copy);
    return hash;
#else
    return _Py_HashBytes(data, size);
#endif
}

inline PyObject* PyBytes_Join(PyObject* separator, PyObject* iterable) { return _PyBytes_Join(separator, iterable); }

// The str builder, over the private writer the interpreter had before.
struct PyUnicodeWriter {
    _PyUnicodeWriter writer;
};

inline PyUnicodeWriter* PyUnicodeWriter_Create(Py_ssize_t) {
    auto* made = static_cast<PyUnicodeWriter*>(PyMem_Malloc(sizeof(PyUnicodeWriter)));
    if (made == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    _PyUnicodeWriter_Init(&made->writer);
    made->writer.overallocate = 1;
    return made;
}

inline void PyUnicodeWriter_Discard(PyUnicodeWriter* writer) {
    if (writer == nullptr) return;
    _PyUnicodeWriter_Dealloc(&writer->writer);
    PyMem_Free(writer);
}

inline PyObject* PyUnicodeWriter_Finish(PyUnicodeWriter* writer) {
    PyObject* text = _PyUnicodeWriter_Finish(&writer->writer);
    PyMem_Free(writer);
    return text;
}

inline int PyUnicodeWriter_WriteASCII(PyUnicodeWriter* writer, const char* text, Py_ssize_t size) {
    return _PyUnicodeWriter_WriteASCIIString(&writer->writer, text, size);
}

// Appends str(object), as the interpreter's own does.
inline int PyUnicodeWriter_WriteStr(PyUnicodeWriter* writer, PyObject* object) {
    PyObject* text = PyObject_Str(object);
    if (text == nullptr) return -1;
    const int written = _PyUnicodeWriter_WriteStr(&writer->writer, text);
    Py_DECREF(text);
    return written;
}

// Appends repr(object).
inline int PyUnicodeWriter_WriteRepr(PyUnicodeWriter* writer, PyObject* object) {
    PyObject* text = PyObject_Repr(object);
    if (text == nullptr) return -1;
    const int written = _PyUnicodeWriter_WriteStr(&writer->writer, text);
    Py_DECREF(text);
    return written;
}
#endif

namespace native::compat {

#ifdef Py_GIL_DISABLED
inline constexpr bool free_threaded = true;
#else
inline constexpr bool free_threaded = false;
#endif

// Runs `work` in the critical section of `object` (free-threaded builds; a
// plain call elsewhere) and returns its result.
template <class Work>
auto in_critical_section(PyObject* object, Work work) -> decltype(work()) {
    decltype(work()) result;
    (void)object;  // unused where there are no critical sections
    NATIVE_CRITICAL_SECTION_BEGIN(object);
    result = work();
    NATIVE_CRITICAL_SECTION_END;
    return result;
}

// generator.throw(type, value[, traceback]) warns from 3.12 on.
inline constexpr bool generator_throw_signature_deprecated = PY_VERSION_HEX >= 0x030C0000;
// From 3.12 on an exception thrown into a generator that has not started
// leaves it as it is: a StopIteration is not turned into RuntimeError, since
// no frame of the generator ran.
inline constexpr bool generator_unstarted_throw_unchanged = PY_VERSION_HEX >= 0x030C0000;
// From 3.14 on, unpacking too many values from an exact tuple or list says
// how many there were: "too many values to unpack (expected 2, got 3)".
inline constexpr bool unpacking_counts_sequences = PY_VERSION_HEX >= 0x030E0000;

// ---- module definition slots -------------------------------------------------

// The slots every module declares after its exec slot: support for several
// interpreters (3.12+), each with its own GIL, and for running without the
// GIL (3.13+). Both are true of the modules: their state lives in module
// state, their caches are per module or per thread, and what they share
// between interpreters (the dict-change counters) is atomic.
#if PY_VERSION_HEX >= 0x030D0000
#define NATIVE_MODULE_CAPABILITY_SLOTS                                                               \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},                            \
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#elif PY_VERSION_HEX >= 0x030C0000
#define NATIVE_MODULE_CAPABILITY_SLOTS \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define NATIVE_MODULE_CAPABILITY_SLOTS
#endif


// ---- dictionaries ----------------------------------------------------------------

// How a dict's changes are seen (changes.hpp builds its stamps on this):
// a number that moves on with every change of the dict, and where to read
// it again.
//   3.10, 3.11  every dict carries a version tag that changes with every
//               mutation and is unique within the process (PEP 509), so a
//               new dict at a freed dict's address has another tag.
//   3.12 on     the tag is deprecated (and gone in 3.14); the package
//               registers one dict watcher per interpreter (a watcher is
//               scarce: 8 per interpreter), shared by its five modules
//               through the interpreter's state dict. A watched dict's
//               watcher is told of every mutation, clearing and
//               deallocation of it, before it happens, and bumps a counter
//               chosen by the dict's address: a change, or the dict's death
//               (after which another dict may live at the same address),
//               moves the counter on. Dicts that share a counter only cost
//               each other a re-check.
using DictCounter = std::atomic<std::uint64_t>;

#if NATIVE_DICT_WATCHERS
namespace detail {

constexpr unsigned kChangeCounterBits = 12;
constexpr std::size_t kChangeCounters = std::size_t{1} << kChangeCounterBits;

// The counters that this library's watcher bumps. Every module of the
// package uses the counters of the library whose watcher the interpreter
// runs (see DictVersions::attach); they are shared by all interpreters of
// the process, which can only cost a re-check.
inline DictCounter change_counters[kChangeCounters];

inline std::size_t change_counter_slot(const void* dict) {
    const auto address = reinterpret_cast<std::uintptr_t>(dict) >> 4;
    return static_cast<std::size_t>((address * UINT64_C(0x9E3779B97F4A7C15)) >> (64 - kChangeCounterBits));
}

inline int count_dict_change(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    change_counters[change_counter_slot(dict)].fetch_add(1, std::memory_order_acq_rel);
    return 0;
}

// What one interpreter's capsule holds: the watcher and its counters.
struct Watcher {
    int id;
    DictCounter* counters;
};

inline constexpr char kWatcherCapsule[] = "tavro.native.dict_watcher";

inline void release_watcher(PyObject* capsule) {
    delete static_cast<Watcher*>(PyCapsule_GetPointer(capsule, kWatcherCapsule));
}

}  // namespace detail

class DictVersions {
public:
    // Joins the package's dict watcher of this interpreter, registering it
    // first if no module of the package has. When the interpreter has no
    // watcher left, no dict can be watched. False with an exception only
    // when the interpreter fails.
    bool attach() {
        PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
        if (shared == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "the interpreter has no state dict");
            return false;
        }
        Ref key = Ref::steal(PyUnicode_FromString(detail::kWatcherCapsule));
        if (!key) return false;
        PyObject* found = nullptr;
        const int known = PyDict_GetItemRef(shared, key.get(), &found);
        if (known < 0) return false;
        if (known == 0) {
            auto* mine = new (std::nothrow)
                detail::Watcher{PyDict_AddWatcher(detail::count_dict_change), detail::change_counters};
            if (mine == nullptr) {
                PyErr_NoMemory();
                return false;
            }
            if (mine->id < 0) PyErr_Clear();  // all taken: run without one
            Ref capsule = Ref::steal(PyCapsule_New(mine, detail::kWatcherCapsule, detail::release_watcher));
            if (!capsule) {
                delete mine;
                return false;
            }
            // Another thread may have registered one meanwhile: the first
            // stored wins, and the other is given back.
            if (PyDict_SetDefaultRef(shared, key.get(), capsule.get(), &found) < 0) return false;
            if (found != capsule.get() && mine->id >= 0) PyDict_ClearWatcher(mine->id);
        }
        Ref holder = Ref::steal(found);
        auto* watcher = static_cast<detail::Watcher*>(PyCapsule_GetPointer(holder.get(), detail::kWatcherCapsule));
        if (watcher == nullptr) return false;
        watcher_id_ = watcher->id;
        counters_ = watcher->counters;
        return true;
    }

    // Watches `dict` from now on and gives the counter that shows its
    // changes, or null when it cannot be watched.
    const DictCounter* watch(PyObject* dict) const {
        if (counters_ == nullptr || watcher_id_ < 0) return nullptr;
        // In the dict's critical section: free-threaded 3.13 sets the
        // watcher's bit with a plain read-modify-write of the word that a
        // mutation rewrites under that lock, and a lost bit would hide every
        // later change. (Not to be called inside that section already.)
        if (in_critical_section(dict, [&] { return PyDict_Watch(watcher_id_, dict); }) < 0) {
            PyErr_Clear();
            return nullptr;
        }
        return &counters_[detail::change_counter_slot(dict)];
    }

    // The number that moves on with every change of a dict `watch` gave
    // `counter` for.
    static std::uint64_t version(PyObject*, const DictCounter* counter) {
        return counter->load(std::memory_order_acquire);
    }

private:
    int watcher_id_ = 0;
    DictCounter* counters_ = nullptr;
};
#else
class DictVersions {
public:
    bool attach() { return true; }
    // Every dict carries its tag: nothing to watch, and a counter that is
    // never read.
    const DictCounter* watch(PyObject*) const { return &unused_; }
    static std::uint64_t version(PyObject* dict, const DictCounter*) {
        return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    }

private:
    DictCounter unused_{};
};
#endif

// ---- types and attributes ------------------------------------------------------

// The attribute `name` found along type's MRO, without calling descriptors.
// New reference, or null (no exception) when no class defines it.
inline Ref type_lookup(PyTypeObject* type, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    return Ref::steal(_PyType_LookupRef(type, name));
#else
    return Ref::new_reference(_PyType_Lookup(type, name));
#endif
}

namespace detail {

// The slow half of type_version: the type has no valid tag now.
[[gnu::cold, gnu::noinline]] inline unsigned int assign_type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Type_AssignVersionTag(type)) return 0;
    return __atomic_load_n(&type->tp_version_tag, __ATOMIC_ACQUIRE);
#else
    // A look-up of a str name assigns a new tag as a side effect.
    Ref probe = Ref::steal(PyUnicode_FromString("__class__"));
    if (!probe) {
        PyErr_Clear();
        return 0;
    }
    (void)_PyType_Lookup(type, probe.get());
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
    return type->tp_version_tag;
#endif
}

}  // namespace detail

// The type's version tag: unique to one state of the type and its bases,
// never reused, or 0 when the type has none (then nothing may be remembered
// about it). Assigns one when the type has none yet.
[[gnu::always_inline]] inline unsigned int type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    // A change to the type or a base sets the tag to 0, which no type has.
    const unsigned int tag = __atomic_load_n(&type->tp_version_tag, __ATOMIC_ACQUIRE);
    if (tag != 0) [[likely]] return tag;
#else
    // A change clears the flag and leaves the old number in place.
    if (PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) [[likely]] return type->tp_version_tag;
#endif
    return detail::assign_type_version(type);
}

// Whether the type's version tag is `tag` (not 0: a tag type_version gave):
// the type is in the state it was in when the tag was taken. Assigns no tag.
[[gnu::always_inline]] inline bool type_version_is(PyTypeObject* type, unsigned int tag) {
#if PY_VERSION_HEX >= 0x030C0000
    return __atomic_load_n(&type->tp_version_tag, __ATOMIC_ACQUIRE) == tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == tag;
#endif
}

// Generic attribute look-up (class, then instance dict) that reports a miss
// as null without an exception instead of raising AttributeError. `dict`,
// when given, is the instance dict, held by the caller: free-threaded 3.13
// reads a dict at tp_dictoffset and then takes its reference, with nothing
// to stop another thread replacing and freeing it in between.
inline PyObject* generic_getattr_or_null(PyObject* object, PyObject* name, PyObject* dict = nullptr) {
    return _PyObject_GenericGetAttrWithDict(object, name, dict, 1);
}


// ---- integers ----------------------------------------------------------------------

// The value of an exact int or subclass as a long long: true with *value set,
// false (no exception) when it does not fit. Ints of one internal digit,
// the common case, are read inline where the interpreter offers it (3.12+).
inline bool long_as_long_long(PyObject* number, long long* value) {
    auto* as_long = reinterpret_cast<PyLongObject*>(number);
    if (PyUnstable_Long_IsCompact(as_long)) {
        *value = static_cast<long long>(PyUnstable_Long_CompactValue(as_long));
        return true;
    }
    int overflow = 0;
    *value = PyLong_AsLongLongAndOverflow(number, &overflow);  // raises nothing for an int
    return overflow == 0;
}

// The value of an int that CPython keeps "compact" (below 2**30 in
// magnitude on these builds), read without a call; false for a larger one.
inline bool long_compact_value(PyObject* number, Py_ssize_t* value) {
    auto* op = reinterpret_cast<PyLongObject*>(number);
    if (!PyUnstable_Long_IsCompact(op)) return false;
    *value = PyUnstable_Long_CompactValue(op);
    return true;
}

// The magnitude of an int as base 2**30 digits, least significant first,
// and its sign, read in place from the int's layout as longintrepr.h
// (included by Python.h) describes it: valid while the int lives, which
// cannot change. Unavailable where the interpreter's digits are another size
// (then `available` is false and nothing else is set).
class LongDigits {
public:
    static constexpr int kShift = 30;
    static constexpr std::uint32_t kMask = (std::uint32_t{1} << kShift) - 1;

    explicit LongDigits(PyObject* number) {
        if constexpr (PyLong_SHIFT == kShift && sizeof(digit) == 4) {
            auto* op = reinterpret_cast<PyLongObject*>(number);
#if PY_VERSION_HEX >= 0x030C0000
            const std::uintptr_t tag = op->long_value.lv_tag;
            count = static_cast<Py_ssize_t>(tag >> _PyLong_NON_SIZE_BITS);
            negative = (tag & _PyLong_SIGN_MASK) == 2;
            digits = reinterpret_cast<const std::uint32_t*>(op->long_value.ob_digit);
#else
            const Py_ssize_t size = Py_SIZE(number);
            count = size < 0 ? -size : size;
            negative = size < 0;
            digits = reinterpret_cast<const std::uint32_t*>(op->ob_digit);
#endif
            available = true;
        }
    }

    bool available = false;
    const std::uint32_t* digits = nullptr;
    Py_ssize_t count = 0;  // 0 for zero; else digits[count - 1] is not 0
    bool negative = false;
};

// Writes number into `size` bytes at out, most significant first when
// `big_endian`, else least significant first: as two's complement when
// `is_signed`, else as an unsigned number (then number must not be
// negative). 1 when the bytes hold the whole value; 0 when it needs more of
// them, the bytes written being its least significant ones all the same; -1
// with an exception on a failure of the interpreter's own. When the value
// fits, no exception is raised, not even for a moment.
inline int long_as_bytes(PyObject* number, unsigned char* out, Py_ssize_t size, bool big_endian, bool is_signed) {
    int sign = 0;
    if (size == 0) return PyLong_GetSign(number, &sign) == 0 && sign == 0 ? 1 : 0;
    auto* op = reinterpret_cast<PyLongObject*>(number);
    const auto count = static_cast<std::size_t>(size);
    const int little_endian = big_endian ? 0 : 1;
#if PY_VERSION_HEX >= 0x030D0000
    // Without exceptions: -1 only says that the value did not fit (the low
    // bytes are written all the same); nothing else can fail.
    return _PyLong_AsByteArray(op, out, count, little_endian, is_signed ? 1 : 0, 0) == 0 ? 1 : 0;
#else
    // Too few bytes for the whole value is an OverflowError here, raised
    // after the low bytes were written.
    if (_PyLong_AsByteArray(op, out, count, little_endian, is_signed ? 1 : 0) == 0) return 1;
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
    PyErr_Clear();
    return 0;
#endif
}

// The number of bits of the absolute value of an int (0 for zero), or
// (std::size_t)-1 with OverflowError when that count does not fit.
inline std::size_t long_bit_length(PyObject* number) {
    return static_cast<std::size_t>(_PyLong_NumBits(number));
}

// The number of bytes that the unsigned value of a non-negative int needs
// (0 for zero), or -1 with an exception.
inline Py_ssize_t long_unsigned_byte_length(PyObject* nonnegative) {
    const std::size_t bits = long_bit_length(nonnegative);
    if (bits == static_cast<std::size_t>(-1)) return -1;
    return static_cast<Py_ssize_t>((bits + 7) / 8);
}

// ---- bytes and text ------------------------------------------------------------------

// Shrinks (or grows) a bytes object that was just created and is held by
// nobody else. On failure *bytes is released and set to null.
inline int bytes_resize(PyObject** bytes, Py_ssize_t size) { return _PyBytes_Resize(bytes, size); }

}  // namespace native::compat

