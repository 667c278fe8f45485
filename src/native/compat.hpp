// Every difference between the CPython versions the package supports (3.10
// to 3.15, and the free-threaded builds) lives in this header. Modules never
// test PY_VERSION_HEX or Py_GIL_DISABLED themselves: they call what is here.
//
// The rule for the C API: public functions first. A private symbol stays
// only where no public path exists on some supported version, behind a
// function here, with the versions it is known on and the public path taken
// where there is one. Nothing here silences a deprecation warning: a
// deprecation is the one-version notice before a removal, and the build runs
// with -Werror in CI so that it is seen.
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
//                          builds an exception per miss.
//   _PyLong_AsByteArray    the conversion int.to_bytes makes (3.10 to 3.15;
//                          a with_exceptions parameter from 3.13, which
//                          reports a value too large without raising). The
//                          public PyLong_AsNativeBytes (3.13+) wraps it in
//                          about 90 more instructions per call (flags, a
//                          bit count, an edge-case scan): 10 % of a 16-byte
//                          integer2bytes, whose target is int.to_bytes's
//                          own speed.
//   _PyLong_FromByteArray  3.10 to 3.12 only; PyLong_FromNativeBytes from
//                          3.13 on.
//   PyLongObject's layout  (3.10 to 3.15, as longintrepr.h documents it) a
//                          compact int's value on 3.10 and 3.11
//                          (PyUnstable_Long_CompactValue from 3.12 on) and
//                          an int's digits (LongDigits). The public path to
//                          the digits, PyLong_Export (3.14+), measured 160
//                          more instructions a call than reading them (it
//                          tries a 64-bit conversion first and takes a
//                          reference): more than converting a 16-byte
//                          number from the digits costs.
//   _PyLong_NumBits        the exact bit length of an int (3.10 to 3.15;
//                          int64_t from 3.14). The public paths are a call
//                          of int.bit_length(), or PyLong_AsNativeBytes
//                          with no buffer, whose answer is only an upper
//                          bound (a machine word's size for small values).
//   _PyLong_Sign           3.10 to 3.13; PyLong_GetSign from 3.14 on.
//   _Py_HashBytes          3.10 to 3.12; Py_HashBuffer from 3.14 on; 3.13
//                          hashes a bytes copy.
//   _PyUnicodeWriter       3.10 to 3.13; PyUnicodeWriter from 3.14 on.
//   _PyBytes_Join          3.10 to 3.13; PyBytes_Join from 3.14 on.
//   _PyObject_LookupAttr   3.10 to 3.12; PyObject_GetOptionalAttr from 3.13.
//   _PyType_GetModuleByDef 3.10 only; PyType_GetModuleByDef from 3.11 on.
//   PyDictObject.ma_version_tag
//                          3.10 and 3.11 only, where it is neither
//                          deprecated nor replaceable: dict watchers arrive
//                          in 3.12 (see changes.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

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

namespace native::compat {

#ifdef Py_GIL_DISABLED
inline constexpr bool free_threaded = true;
#else
inline constexpr bool free_threaded = false;
#endif

inline constexpr bool dict_watchers = NATIVE_DICT_WATCHERS;

// generator.throw(type, value[, traceback]) warns from 3.12 on.
inline constexpr bool generator_throw_signature_deprecated = PY_VERSION_HEX >= 0x030C0000;
// From 3.12 on an exception thrown into a generator that has not started
// leaves it as it is: a StopIteration is not turned into RuntimeError, since
// no frame of the generator ran.
inline constexpr bool generator_unstarted_throw_unchanged = PY_VERSION_HEX >= 0x030C0000;

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

// PyType_GetModuleByDef: the module of the first class in type's MRO that was
// made by a module of `def`. Borrowed; null with TypeError when none was.
inline PyObject* module_by_def(PyTypeObject* type, PyModuleDef* def) {
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetModuleByDef(type, def);
#else
    return _PyType_GetModuleByDef(type, def);
#endif
}

// ---- dictionaries ----------------------------------------------------------------

// PyDict_GetItemRef: 1 with a new reference in *result, 0 when the key is
// missing, -1 with an exception.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, result);
#else
    PyObject* value = PyDict_GetItemWithError(dict, key);
    *result = Py_XNewRef(value);
    if (value != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// dict.setdefault(key, value), with a new reference to what the dict holds
// under key afterwards in *result. 0, or -1 with an exception.
inline int dict_set_default_ref(PyObject* dict, PyObject* key, PyObject* value, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_SetDefaultRef(dict, key, value, result) < 0 ? -1 : 0;
#else
    PyObject* held = PyDict_SetDefault(dict, key, value);
    *result = Py_XNewRef(held);
    return held == nullptr ? -1 : 0;
#endif
}

// The version tag of a dict (3.10 and 3.11 only: unique per mutation and
// never reused within the process). Later versions detect changes with dict
// watchers instead; see changes.hpp.
#if !NATIVE_DICT_WATCHERS
inline std::uint64_t dict_version_tag(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
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

// getattr(object, name) that tells a missing attribute from an error: 1 with
// a new reference in *result, 0 when AttributeError was raised (and cleared),
// -1 with any other exception.
inline int get_optional_attr(PyObject* object, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(object, name, result);
#else
    return _PyObject_LookupAttr(object, name, result);
#endif
}

// ---- integers ----------------------------------------------------------------------

// The value of an exact int or subclass as a long long: true with *value set,
// false (no exception) when it does not fit. Ints of one internal digit,
// the common case, are read inline where the interpreter offers it (3.12+).
inline bool long_as_long_long(PyObject* number, long long* value) {
#if PY_VERSION_HEX >= 0x030C0000
    auto* as_long = reinterpret_cast<PyLongObject*>(number);
    if (PyUnstable_Long_IsCompact(as_long)) {
        *value = static_cast<long long>(PyUnstable_Long_CompactValue(as_long));
        return true;
    }
#endif
    int overflow = 0;
    *value = PyLong_AsLongLongAndOverflow(number, &overflow);  // raises nothing for an int
    return overflow == 0;
}

// The value of an int that CPython keeps "compact" (below 2**30 in
// magnitude on these builds), read without a call; false for a larger one.
inline bool long_compact_value(PyObject* number, Py_ssize_t* value) {
    auto* op = reinterpret_cast<PyLongObject*>(number);
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(op)) return false;
    *value = PyUnstable_Long_CompactValue(op);
    return true;
#else
    // 3.10 and 3.11: the sign of ob_size is the int's and its magnitude the
    // count of 30-bit digits (longintrepr.h, fixed for these versions).
    const Py_ssize_t size = Py_SIZE(number);
    if (size < -1 || size > 1) return false;
    *value = size == 0 ? 0 : size * static_cast<Py_ssize_t>(op->ob_digit[0]);
    return true;
#endif
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

// The sign of an exact int or subclass: -1, 0 or 1.
inline int long_sign(PyObject* number) {
#if PY_VERSION_HEX >= 0x030E0000
    int sign = 0;
    (void)PyLong_GetSign(number, &sign);  // cannot fail for an int
    return sign;
#else
    return _PyLong_Sign(number);
#endif
}

// Writes number into `size` bytes at out, most significant first when
// `big_endian`, else least significant first: as two's complement when
// `is_signed`, else as an unsigned number (then number must not be
// negative). 1 when the bytes hold the whole value; 0 when it needs more of
// them, the bytes written being its least significant ones all the same; -1
// with an exception on a failure of the interpreter's own. When the value
// fits, no exception is raised, not even for a moment.
inline int long_as_bytes(PyObject* number, unsigned char* out, Py_ssize_t size, bool big_endian, bool is_signed) {
    if (size == 0) return long_sign(number) == 0 ? 1 : 0;
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

// Writes the least significant `size` bytes of number's two's complement
// into out, least significant first, however large the number is. False with
// an exception only on a failure of the interpreter's own.
inline bool long_low_bytes_little_endian(PyObject* number, unsigned char* out, Py_ssize_t size) {
    return long_as_bytes(number, out, size, false, true) >= 0;
}

// The same, most significant byte first.
inline bool long_low_bytes_big_endian(PyObject* number, unsigned char* out, Py_ssize_t size) {
    return long_as_bytes(number, out, size, true, true) >= 0;
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

// The int that `size` big-endian bytes stand for, as two's complement when
// `is_signed`, else unsigned. New reference or null.
inline PyObject* long_from_big_endian(const unsigned char* bytes, Py_ssize_t size, bool is_signed) {
#if PY_VERSION_HEX >= 0x030D0000
    if (is_signed) return PyLong_FromNativeBytes(bytes, static_cast<std::size_t>(size), Py_ASNATIVEBYTES_BIG_ENDIAN);
    return PyLong_FromUnsignedNativeBytes(bytes, static_cast<std::size_t>(size), Py_ASNATIVEBYTES_BIG_ENDIAN);
#else
    return _PyLong_FromByteArray(bytes, static_cast<std::size_t>(size), 0, is_signed ? 1 : 0);
#endif
}

// ---- bytes and text ------------------------------------------------------------------

// The hash that a bytes object holding these bytes has. -1 with an exception
// on failure.
inline Py_hash_t hash_buffer(const void* data, Py_ssize_t size) {
#if PY_VERSION_HEX >= 0x030E0000
    return Py_HashBuffer(data, size);
#elif PY_VERSION_HEX >= 0x030D0000
    Ref copy = Ref::steal(PyBytes_FromStringAndSize(static_cast<const char*>(data), size));
    return copy ? PyObject_Hash(copy.get()) : -1;
#else
    return _Py_HashBytes(data, size);
#endif
}

// separator.join(iterable) for a bytes separator, with bytes.join's errors.
inline PyObject* bytes_join(PyObject* separator, PyObject* iterable) {
#if PY_VERSION_HEX >= 0x030E0000
    return PyBytes_Join(separator, iterable);
#else
    return _PyBytes_Join(separator, iterable);
#endif
}

// Shrinks (or grows) a bytes object that was just created and is held by
// nobody else. On failure *bytes is released and set to null.
inline int bytes_resize(PyObject** bytes, Py_ssize_t size) { return _PyBytes_Resize(bytes, size); }

// Builds a str piece by piece: ASCII text and str() or repr() of objects, in
// the order written.
class TextWriter {
public:
    TextWriter() {
#if PY_VERSION_HEX >= 0x030E0000
        writer_ = PyUnicodeWriter_Create(0);
#else
        _PyUnicodeWriter_Init(&writer_);
        writer_.overallocate = 1;
#endif
    }
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;
    ~TextWriter() {
#if PY_VERSION_HEX >= 0x030E0000
        if (writer_ != nullptr) PyUnicodeWriter_Discard(writer_);
#else
        if (!finished_) _PyUnicodeWriter_Dealloc(&writer_);
#endif
    }
    // False with MemoryError when the writer could not be created.
    explicit operator bool() const {
#if PY_VERSION_HEX >= 0x030E0000
        return writer_ != nullptr;
#else
        return true;
#endif
    }
    bool write_ascii(const char* text, Py_ssize_t length) {
#if PY_VERSION_HEX >= 0x030E0000
        return PyUnicodeWriter_WriteASCII(writer_, text, length) == 0;
#else
        return _PyUnicodeWriter_WriteASCIIString(&writer_, text, length) == 0;
#endif
    }
    // Appends a str object as it is.
    bool write_text(PyObject* text) {
#if PY_VERSION_HEX >= 0x030E0000
        return PyUnicodeWriter_WriteStr(writer_, text) == 0;
#else
        return _PyUnicodeWriter_WriteStr(&writer_, text) == 0;
#endif
    }
    // The text written. New reference or null; the writer is spent either way.
    Ref finish() {
#if PY_VERSION_HEX >= 0x030E0000
        PyUnicodeWriter* writer = writer_;
        writer_ = nullptr;
        return Ref::steal(PyUnicodeWriter_Finish(writer));
#else
        finished_ = true;
        return Ref::steal(_PyUnicodeWriter_Finish(&writer_));
#endif
    }

private:
#if PY_VERSION_HEX >= 0x030E0000
    PyUnicodeWriter* writer_;
#else
    _PyUnicodeWriter writer_;
    bool finished_ = false;
#endif
};

// ---- exceptions ----------------------------------------------------------------------

// The exception being raised, taken out of the thread state (so that code
// can run) and put back, or chained under a new one, later.
class PendingError {
public:
    // Takes the current exception, if any.
    PendingError() {
#if PY_VERSION_HEX >= 0x030C0000
        exception_ = PyErr_GetRaisedException();
#else
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (type != nullptr) {
            PyErr_NormalizeException(&type, &value, &traceback);
            if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
            Py_XDECREF(type);
            Py_XDECREF(traceback);
        }
        exception_ = value;
#endif
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() { Py_XDECREF(exception_); }

    PyObject* exception() const { return exception_; }
    explicit operator bool() const { return exception_ != nullptr; }

    // Raises it again, as it was.
    void restore() {
        PyObject* exception = exception_;
        exception_ = nullptr;
        if (exception == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exception);
#else
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
        Py_INCREF(type);
        PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
    }

    // While handling it, another exception was raised (and is set now): the
    // new one gets it as its __context__, as an except block would chain it.
    // With no new exception set, it is raised again.
    void chain_under_current() {
        if (exception_ == nullptr) return;
        if (!PyErr_Occurred()) {
            restore();
            return;
        }
        PendingError current;
        PyObject* outer = current.exception();
        if (outer != nullptr && outer != exception_) {
            PyException_SetContext(outer, exception_);  // steals
            exception_ = nullptr;
        }
        current.restore();
    }

private:
    PyObject* exception_ = nullptr;
};

// raise <type>(message) from <the current exception>: the current exception
// becomes the new one's __cause__ and __context__.
inline void raise_from_current(PyObject* type, const char* message) {
    PendingError cause;
    PyErr_SetString(type, message);
    if (!cause) return;
    PendingError raised;
    PyObject* exception = raised.exception();
    if (exception != nullptr) {
        PyException_SetCause(exception, Py_NewRef(cause.exception()));
        PyException_SetContext(exception, Py_NewRef(cause.exception()));
    }
    raised.restore();
}

// raise KeyError(key), as dict subscripting raises it: the key is wrapped in
// a tuple so that a tuple key is not taken for the exception's arguments.
inline void raise_key_error(PyObject* key) {
    Ref arguments = Ref::steal(PyTuple_Pack(1, key));
    if (arguments) PyErr_SetObject(PyExc_KeyError, arguments.get());
}

// ---- sharing between threads -----------------------------------------------------------

// A lock for what threads share, on free-threaded builds; nothing at all
// where the GIL serialises the callers.
class Mutex {
public:
    void lock() {
#ifdef Py_GIL_DISABLED
        PyMutex_Lock(&mutex_);
#endif
    }
    void unlock() {
#ifdef Py_GIL_DISABLED
        PyMutex_Unlock(&mutex_);
#endif
    }

private:
#ifdef Py_GIL_DISABLED
    PyMutex mutex_{};
#endif
};

class MutexLock {
public:
    explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    ~MutexLock() { mutex_.unlock(); }

private:
    Mutex& mutex_;
};

}  // namespace native::compat

// Holds the critical section of one object for the rest of the enclosing
// block, on builds that have them (3.13+; a no-op unless free-threaded).
#if PY_VERSION_HEX >= 0x030D0000
#define NATIVE_CRITICAL_SECTION_BEGIN(object) Py_BEGIN_CRITICAL_SECTION(object)
#define NATIVE_CRITICAL_SECTION_END Py_END_CRITICAL_SECTION()
#else
#define NATIVE_CRITICAL_SECTION_BEGIN(object) {
#define NATIVE_CRITICAL_SECTION_END }
#endif
