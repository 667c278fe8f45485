// tavro.lib.bitstream: stream adapters over a caller's substream.
//
// Both classes are ordinary Python classes whose state lives in the instance
// dict, and every method reads and writes it by name at each step. When the
// instance's type has nothing that could intercept those names (no data
// descriptor, no __getattribute__/__setattr__ hook; checked once per type
// version), the methods use the instance dict directly, which is exactly what
// generic attribute access would do, only cheaper.
//
// RebufferedBytesIO trims the front of its window on every read when a
// tailcutoff is set. Re-slicing an immutable bytes object each time copies up
// to a whole read-ahead chunk per read, so a trim leaves a TrimmedWindow (the
// untrimmed bytes plus a start index) in the instance dict instead. The class's
// `rwbuffer` data descriptor turns it back into a real bytes object, stored in
// its place, as soon as anyone reads the attribute; only vars()/__dict__ can
// see the stand-in, and it behaves as those bytes in everything but its type.

#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>

#include "native.hpp"
#include "legacy.hpp"

namespace {

using native::Ref;
using native::legacy::name;

constexpr Py_ssize_t read_ahead_chunk = 131072;

// ---- small integers --------------------------------------------------------

// Reads an exact int that fits comfortably in Py_ssize_t (sums of two of them
// cannot overflow). False, with no exception, for anything else.
inline bool small_index(PyObject* o, Py_ssize_t& out) {
    if (!PyLong_CheckExact(o)) return false;
#if PY_VERSION_HEX < 0x030C0000
    const Py_ssize_t digits = Py_SIZE(o);
    if (digits >= -1 && digits <= 1) {
        out = digits * static_cast<Py_ssize_t>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
        return true;
    }
#endif
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow || (value == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    constexpr long long limit = 1LL << 60;
    if (value <= -limit || value >= limit) return false;
    out = static_cast<Py_ssize_t>(value);
    return true;
}

// ---- bytes grown or overwritten in place -------------------------------------
//
// Only ever applied to a bytes object that nothing but the caller's own
// reference holds: the result is indistinguishable from a new object.

inline void forget_bytes_hash(PyObject* bytes) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    reinterpret_cast<PyBytesObject*>(bytes)->ob_shash = -1;
#pragma GCC diagnostic pop
}

// Resizes an exclusively held bytes object. Unlike _PyBytes_Resize, a failed
// reallocation leaves the object (and the data in it) intact.
bool resize_exclusive_bytes(Ref& bytes, Py_ssize_t size) {
#ifdef Py_TRACE_REFS
    Ref copy = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!copy) return false;
    std::memcpy(PyBytes_AS_STRING(copy.get()), PyBytes_AS_STRING(bytes.get()),
                static_cast<size_t>(std::min(size, Py_SIZE(bytes.get()))));
    bytes = std::move(copy);
    return true;
#else
    if (size > PY_SSIZE_T_MAX - static_cast<Py_ssize_t>(offsetof(PyBytesObject, ob_sval)) - 1) {
        PyErr_NoMemory();
        return false;
    }
    PyObject* old = bytes.get();
    void* grown = PyObject_Realloc(old, offsetof(PyBytesObject, ob_sval) + 1 + static_cast<size_t>(size));
    if (grown == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    PyObject* moved = static_cast<PyObject*>(grown);
    (void)bytes.release();
    bytes = Ref::steal(moved);
    Py_SET_SIZE(moved, size);
    PyBytes_AS_STRING(moved)[size] = '\0';
    forget_bytes_hash(moved);
    return true;
#endif
}

// bytes[lo:hi] with Python's clamping; the object itself when the slice is all
// of it, as bytes slicing does.
PyObject* bytes_slice(PyObject* bytes, Py_ssize_t lo, Py_ssize_t hi) {
    const Py_ssize_t size = Py_SIZE(bytes);
    PySlice_AdjustIndices(size, &lo, &hi, 1);
    if (lo == 0 && hi == size) return Py_NewRef(bytes);
    return PyBytes_FromStringAndSize(PyBytes_AS_STRING(bytes) + lo, hi - lo);
}

// ---- the trimmed window --------------------------------------------------------

struct TrimmedWindow {
    PyObject_HEAD
    PyObject* bytes;   // exact bytes, owned, never written to (it may be shared)
    Py_ssize_t start;  // 0 <= start <= len(bytes)
};

PyTypeObject* trimmed_window_type = nullptr;  // created once, kept for the process

inline bool is_trimmed_window(PyObject* o) { return Py_TYPE(o) == trimmed_window_type; }
inline TrimmedWindow* as_window(PyObject* o) { return reinterpret_cast<TrimmedWindow*>(o); }
inline const char* window_data(PyObject* o) { return PyBytes_AS_STRING(as_window(o)->bytes) + as_window(o)->start; }
inline Py_ssize_t window_size(PyObject* o) { return Py_SIZE(as_window(o)->bytes) - as_window(o)->start; }

PyObject* new_trimmed_window(PyObject* bytes, Py_ssize_t start) {
    TrimmedWindow* window = PyObject_New(TrimmedWindow, trimmed_window_type);
    if (window == nullptr) return nullptr;
    window->bytes = Py_NewRef(bytes);
    window->start = std::min(start, Py_SIZE(bytes));
    return reinterpret_cast<PyObject*>(window);
}

// The window's content as bytes; no copy while nothing was trimmed. New ref.
PyObject* window_to_bytes(PyObject* window) {
    return bytes_slice(as_window(window)->bytes, as_window(window)->start, PY_SSIZE_T_MAX);
}

void trimmed_window_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_DECREF(as_window(self)->bytes);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* trimmed_window_repr(PyObject* self) {
    Ref bytes = Ref::steal(window_to_bytes(self));
    return bytes ? PyObject_Repr(bytes.get()) : nullptr;
}

Py_hash_t trimmed_window_hash(PyObject* self) { return _Py_HashBytes(window_data(self), window_size(self)); }

PyObject* trimmed_window_richcompare(PyObject* self, PyObject* other, int op) {
    Ref left = Ref::steal(window_to_bytes(self));
    Ref right = Ref::steal(is_trimmed_window(other) ? window_to_bytes(other) : Py_NewRef(other));
    if (!left || !right) return nullptr;
    return PyObject_RichCompare(left.get(), right.get(), op);
}

Py_ssize_t trimmed_window_length(PyObject* self) { return window_size(self); }

PyObject* trimmed_window_subscript(PyObject* self, PyObject* key) {
    Ref bytes = Ref::steal(window_to_bytes(self));
    return bytes ? PyObject_GetItem(bytes.get(), key) : nullptr;
}

PyObject* trimmed_window_iter(PyObject* self) {
    Ref bytes = Ref::steal(window_to_bytes(self));
    return bytes ? PyObject_GetIter(bytes.get()) : nullptr;
}

PyObject* trimmed_window_concat(PyObject* self, PyObject* other) {
    Ref bytes = Ref::steal(window_to_bytes(self));
    return bytes ? PySequence_Concat(bytes.get(), other) : nullptr;
}

int trimmed_window_contains(PyObject* self, PyObject* item) {
    Ref bytes = Ref::steal(window_to_bytes(self));
    return bytes ? PySequence_Contains(bytes.get(), item) : -1;
}

// Anything else a bytes object offers (decode, hex, find, ...) is answered by
// the bytes the window stands for.
PyObject* trimmed_window_getattro(PyObject* self, PyObject* attribute) {
    PyObject* found = PyObject_GenericGetAttr(self, attribute);
    if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
    PyErr_Clear();
    Ref bytes = Ref::steal(window_to_bytes(self));
    return bytes ? PyObject_GetAttr(bytes.get(), attribute) : nullptr;
}

int trimmed_window_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    return PyBuffer_FillInfo(view, self, const_cast<char*>(window_data(self)), window_size(self), 1, flags);
}

PyObject* trimmed_window_bytes(PyObject* self, PyObject*) { return window_to_bytes(self); }

PyObject* trimmed_window_reduce(PyObject* self, PyObject*) {
    Ref bytes = Ref::steal(window_to_bytes(self));
    if (!bytes) return nullptr;
    return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(&PyBytes_Type), bytes.get());
}

PyMethodDef trimmed_window_methods[] = {
    {"__bytes__", trimmed_window_bytes, METH_NOARGS, nullptr},
    {"__reduce__", trimmed_window_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot trimmed_window_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(trimmed_window_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(trimmed_window_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(trimmed_window_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(trimmed_window_richcompare)},
    {Py_sq_length, reinterpret_cast<void*>(trimmed_window_length)},
    {Py_mp_length, reinterpret_cast<void*>(trimmed_window_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(trimmed_window_subscript)},
    {Py_tp_iter, reinterpret_cast<void*>(trimmed_window_iter)},
    {Py_sq_concat, reinterpret_cast<void*>(trimmed_window_concat)},
    {Py_sq_contains, reinterpret_cast<void*>(trimmed_window_contains)},
    {Py_tp_getattro, reinterpret_cast<void*>(trimmed_window_getattro)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(trimmed_window_getbuffer)},
    {Py_tp_methods, trimmed_window_methods},
    {0, nullptr},
};

PyType_Spec trimmed_window_type_def = {
    "tavro.lib.bitstream.TrimmedWindow", sizeof(TrimmedWindow), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, trimmed_window_slots,
};

bool ready_trimmed_window_type() {
    if (trimmed_window_type != nullptr) return true;
    trimmed_window_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&trimmed_window_type_def));
    return trimmed_window_type != nullptr;
}

// ---- instance state ----------------------------------------------------------

// One entry per class: the type (and its version) last found to leave the
// state names to the instance dict.
struct DirectDictCache {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
};

DirectDictCache restreamed_direct;
DirectDictCache rebuffered_direct;

PyObject* get_rwbuffer(PyObject* self, void*);
int set_rwbuffer(PyObject* self, PyObject* value, void*);
PyGetSetDef rwbuffer_getset = {"rwbuffer", get_rwbuffer, set_rwbuffer, nullptr, nullptr};

inline bool is_rwbuffer_descriptor(PyObject* o) {
    return o != nullptr && Py_TYPE(o) == &PyGetSetDescr_Type &&
           reinterpret_cast<PyGetSetDescrObject*>(o)->d_getset == &rwbuffer_getset;
}

inline bool known_to_use_instance_dict(PyTypeObject* type, const DirectDictCache& cache) {
    return type == cache.type && type->tp_version_tag == cache.tag &&
           PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
}

// True when, for instances of `type`, generic attribute access to `names`
// reads and writes the instance dict and `rwbuffer` (if `window`) is our
// descriptor.
bool uses_instance_dict(PyTypeObject* type, DirectDictCache& cache, std::initializer_list<PyObject*> names,
                        bool window) {
    if (known_to_use_instance_dict(type, cache)) return true;
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) return false;
    if (type->tp_dictoffset == 0) return false;
    for (PyObject* key : names) {
        PyObject* found = _PyType_Lookup(type, key);
        if (found != nullptr && Py_TYPE(found)->tp_descr_set != nullptr) return false;
    }
    if (window && !is_rwbuffer_descriptor(_PyType_Lookup(type, name<"rwbuffer">()))) return false;
    if (PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) cache = {type, type->tp_version_tag};
    return true;
}

using DirectCheck = bool (*)(PyTypeObject*);

// The state of one instance during one call: attribute reads and writes go
// to the instance dict when that is what attribute access would do anyway.
// That is decided afresh at every step, since a substream or codec called in
// between may change the class or replace the instance's __dict__.
class State {
public:
    State(PyObject* self, const DirectDictCache* cache, DirectCheck direct)
        : self_(self), cache_(cache), direct_(direct) {}
    PyObject* self() const { return self_; }

    // The instance dict (new reference) when it may be used directly, else
    // null with no exception set.
    Ref dict() const {
        if (direct_ == nullptr) return Ref();
        PyTypeObject* type = Py_TYPE(self_);
        if (!known_to_use_instance_dict(type, *cache_) && !direct_(type)) return Ref();
        // Where the dict pointer lives inside the instance does not change.
        if (slot_ == nullptr && (slot_ = _PyObject_GetDictPtr(self_)) == nullptr) return Ref();
        return Ref::new_reference(*slot_);
    }
    Ref get(PyObject* key) const {
        if (Ref d = dict()) {
            PyObject* value = PyDict_GetItemWithError(d.get(), key);
            if (value != nullptr) return Ref::new_reference(value);
            if (PyErr_Occurred()) return Ref();
        }
        return Ref::steal(PyObject_GetAttr(self_, key));
    }
    bool set(PyObject* key, PyObject* value) const {
        if (Ref d = dict()) return PyDict_SetItem(d.get(), key, value) == 0;
        // PyObject_SetAttr less its interning of the name, which ours are.
        if (Py_TYPE(self_)->tp_setattro == PyObject_GenericSetAttr)
            return PyObject_GenericSetAttr(self_, key, value) == 0;
        return PyObject_SetAttr(self_, key, value) == 0;
    }
    bool set(PyObject* key, Ref value) const { return value && set(key, value.get()); }

private:
    PyObject* self_;
    const DirectDictCache* cache_;
    DirectCheck direct_;
    mutable PyObject** slot_ = nullptr;
};

// Stores current + extra under `key` (Python's `self.key = self.key + extra`
// with `current` fetched first). When only the instance dict and `current`
// hold the bytes, it grows in place instead of being copied.
bool store_concatenation(const State& state, PyObject* key, Ref current, PyObject* extra) {
    constexpr Py_ssize_t worth_growing = 256;
    Ref owned_dict = state.dict();
    PyObject* dict = owned_dict.get();
    if (dict && PyBytes_CheckExact(current.get()) && PyBytes_CheckExact(extra) && Py_REFCNT(current.get()) == 2 &&
        Py_SIZE(current.get()) >= worth_growing && Py_SIZE(extra) > 0) {
        PyObject* held = PyDict_GetItemWithError(dict, key);
        if (held == current.get()) {
            const Py_ssize_t size = Py_SIZE(held), more = Py_SIZE(extra);
            if (more > PY_SSIZE_T_MAX - size) return PyErr_NoMemory(), false;
            if (PyDict_SetItem(dict, key, Py_None) < 0) return false;
            bool grown = resize_exclusive_bytes(current, size + more);
            if (grown) std::memcpy(PyBytes_AS_STRING(current.get()) + size, PyBytes_AS_STRING(extra), more);
            if (PyDict_SetItem(dict, key, current.get()) < 0) return false;
            return grown;
        }
        if (held == nullptr && PyErr_Occurred()) return false;
    }
    return state.set(key, Ref::steal(PyNumber_Add(current.get(), extra)));
}

// Python's `self.key = self.key + amount`.
bool add_to_attribute(const State& state, PyObject* key, PyObject* amount) {
    Ref value = state.get(key);
    if (!value) return false;
    return state.set(key, Ref::steal(PyNumber_InPlaceAdd(value.get(), amount)));
}

// `object.name(argument)` with the method looked up as Python code would.
Ref call_method(PyObject* object, PyObject* method_name, PyObject* argument) {
    PyObject* method = nullptr;
    const int unbound = _PyObject_GetMethod(object, method_name, &method);
    if (method == nullptr) return Ref();
    Ref owned = Ref::steal(method);
    if (unbound) return native::call(method, object, argument);
    return native::call(method, argument);
}

// Same, with the argument read only after the method was looked up, as in
// `self.substream.read(self.decoderunit)`.
Ref call_method_with_attribute(PyObject* object, PyObject* method_name, const State& state, PyObject* key) {
    PyObject* method = nullptr;
    const int unbound = _PyObject_GetMethod(object, method_name, &method);
    if (method == nullptr) return Ref();
    Ref owned = Ref::steal(method);
    Ref argument = state.get(key);
    if (!argument) return Ref();
    if (unbound) return native::call(method, object, argument.get());
    return native::call(method, argument.get());
}

inline Ref new_int(Py_ssize_t value) { return Ref::steal(PyLong_FromSsize_t(value)); }

// ---- waiting for the substream -----------------------------------------------

// Bounds a run of polls that returned empty data (not None): a substream that
// keeps returning b"" has most likely ended. The bound is the attribute
// `emptytimeout` (a class attribute, overridable per instance), in seconds;
// None waits for ever.
class EmptyPollClock {
public:
    void reset() { running_ = false; }
    // False with IOError set once the run has lasted the bound.
    bool note_empty(PyObject* self, const char* doing) {
        Ref limit = native::legacy::attr<"emptytimeout">(self);
        if (!limit) return false;
        if (limit.get() == Py_None) return true;
        const double seconds = PyFloat_AsDouble(limit.get());
        if (seconds == -1.0 && PyErr_Occurred()) return false;
        const auto now = std::chrono::steady_clock::now();
        if (!running_) {
            running_ = true;
            since_ = now;
        }
        if (std::chrono::duration<double>(now - since_).count() < seconds) return true;
        PyErr_Format(PyExc_OSError, "could not %s because substream returned no data for %R seconds", doing,
                     limit.get());
        return false;
    }

private:
    bool running_ = false;
    std::chrono::steady_clock::time_point since_;
};

bool pause(PyObject* module) {
    Ref sleep = native::legacy::global<"sleep">(module);
    if (!sleep) return false;
    Ref zero = new_int(0);
    return zero && native::call(sleep.get(), zero.get());
}

// substream.read(131072), with BlockingIOError (as the module currently binds
// it) turned into None.
Ref poll_for_read(const State& state, PyObject* module, PyObject* chunk) {
    Ref substream = state.get(name<"substream">());
    if (!substream) return Ref();
    Ref data = call_method(substream.get(), name<"read">(), chunk);
    if (data) return data;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref blocking = native::legacy::global<"BlockingIOError">(module);
    if (!blocking) {
        _PyErr_ChainExceptions(type, value, traceback);
        return Ref();
    }
    if (!PyExceptionClass_Check(blocking.get()) && !PyTuple_Check(blocking.get())) {
        PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
        _PyErr_ChainExceptions(type, value, traceback);
        return Ref();
    }
    if (!PyErr_GivenExceptionMatches(type, blocking.get())) {
        PyErr_Restore(type, value, traceback);
        return Ref();
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return Ref::new_reference(Py_None);
}

// =============================================================================
// RestreamedBytesIO
// =============================================================================

bool restreamed_uses_instance_dict(PyTypeObject* type) {
    if (known_to_use_instance_dict(type, restreamed_direct)) return true;
    return uses_instance_dict(type, restreamed_direct,
                              {name<"substream">(), name<"encoder">(), name<"encoderunit">(), name<"decoder">(),
                               name<"decoderunit">(), name<"rbuffer">(), name<"wbuffer">(),
                               name<"sincereadwritten">()},
                              false);
}

State restreamed_state(PyObject* self) { return State(self, &restreamed_direct, restreamed_uses_instance_dict); }

PyObject* empty_bytes() { return PyBytes_FromStringAndSize(nullptr, 0); }

// One substream read of `decoderunit` bytes, decoded and appended to rbuffer.
// Returns 1 when a unit was appended, 0 when the substream gave nothing.
int decode_one_unit(const State& state) {
    Ref substream = state.get(name<"substream">());
    if (!substream) return -1;
    Ref chunk = call_method_with_attribute(substream.get(), name<"read">(), state, name<"decoderunit">());
    if (!chunk) return -1;
    if (chunk.get() == Py_None) return 0;
    const Py_ssize_t size = PyObject_Length(chunk.get());
    if (size < 0) return -1;
    if (size == 0) return 0;
    Ref rbuffer = state.get(name<"rbuffer">());
    if (!rbuffer) return -1;
    Ref decoder = state.get(name<"decoder">());
    if (!decoder) return -1;
    Ref decoded = native::call(decoder.get(), chunk.get());
    if (!decoded) return -1;
    return store_concatenation(state, name<"rbuffer">(), std::move(rbuffer), decoded.get()) ? 1 : -1;
}

PyObject* restreamed_init(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<5> sig{
        "__init__", {"substream", "decoder", "decoderunit", "encoder", "encoderunit"}, 5, true};
    native::Bound<5> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    // Generic stores keep a fresh instance's attributes in the interpreter's
    // compact form; the dict is only made when a method first needs it.
    const State state(self, nullptr, nullptr);
    Ref empty = Ref::steal(empty_bytes());
    Ref zero = new_int(0);
    if (!empty || !zero) return nullptr;
    if (!state.set(name<"substream">(), a[0]) || !state.set(name<"encoder">(), a[3]) ||
        !state.set(name<"encoderunit">(), a[4]) || !state.set(name<"decoder">(), a[1]) ||
        !state.set(name<"decoderunit">(), a[2]) || !state.set(name<"rbuffer">(), empty.get()) ||
        !state.set(name<"wbuffer">(), empty.get()) || !state.set(name<"sincereadwritten">(), zero.get()))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* restreamed_read_all(const State& state) {
    for (;;) {
        const int got = decode_one_unit(state);
        if (got < 0) return nullptr;
        if (got == 0) break;
    }
    Ref data = state.get(name<"rbuffer">());
    if (!data) return nullptr;
    Ref empty = Ref::steal(empty_bytes());
    if (!state.set(name<"rbuffer">(), std::move(empty))) return nullptr;
    const Py_ssize_t size = PyObject_Length(data.get());
    if (size < 0) return nullptr;
    Ref amount = new_int(size);
    if (!amount || !add_to_attribute(state, name<"sincereadwritten">(), amount.get())) return nullptr;
    return data.release();
}

// len(self.rbuffer) < count
int rbuffer_short_of(const State& state, PyObject* count, Py_ssize_t small_count, bool count_is_small) {
    Ref rbuffer = state.get(name<"rbuffer">());
    if (!rbuffer) return -1;
    const Py_ssize_t size = PyObject_Length(rbuffer.get());
    if (size < 0) return -1;
    if (count_is_small) return size < small_count;
    Ref length = new_int(size);
    return length ? PyObject_RichCompareBool(length.get(), count, Py_LT) : -1;
}

PyObject* restreamed_read(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"read", {"count"}, 0, true};
    native::Bound<1> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    PyObject* count = a[0];
    const State state = restreamed_state(self);
    if (count == nullptr || count == Py_None) return restreamed_read_all(state);

    Py_ssize_t small_count = 0;
    const bool count_is_small = small_index(count, small_count);
    if (count_is_small ? small_count < 0 : false) {
        PyErr_SetString(PyExc_ValueError, "count cannot be negative");
        return nullptr;
    }
    if (!count_is_small) {
        Ref zero = new_int(0);
        const int negative = zero ? PyObject_RichCompareBool(count, zero.get(), Py_LT) : -1;
        if (negative < 0) return nullptr;
        if (negative) {
            PyErr_SetString(PyExc_ValueError, "count cannot be negative");
            return nullptr;
        }
    }
    for (;;) {
        const int short_of = rbuffer_short_of(state, count, small_count, count_is_small);
        if (short_of < 0) return nullptr;
        if (!short_of) break;
        const int got = decode_one_unit(state);
        if (got < 0) return nullptr;
        if (got == 0) return empty_bytes();
    }

    Ref rbuffer = state.get(name<"rbuffer">());
    if (!rbuffer) return nullptr;
    Ref data, rest;
    if (count_is_small && PyBytes_CheckExact(rbuffer.get())) {
        data = Ref::steal(bytes_slice(rbuffer.get(), 0, small_count));
        if (!data) return nullptr;
        rest = Ref::steal(bytes_slice(rbuffer.get(), small_count, PY_SSIZE_T_MAX));
    } else {
        Ref head = Ref::steal(PySlice_New(nullptr, count, nullptr));
        if (!head) return nullptr;
        data = Ref::steal(PyObject_GetItem(rbuffer.get(), head.get()));
        if (!data) return nullptr;
        rbuffer = state.get(name<"rbuffer">());
        Ref tail = Ref::steal(rbuffer ? PySlice_New(count, nullptr, nullptr) : nullptr);
        if (!tail) return nullptr;
        rest = Ref::steal(PyObject_GetItem(rbuffer.get(), tail.get()));
    }
    if (!state.set(name<"rbuffer">(), std::move(rest))) return nullptr;
    if (!add_to_attribute(state, name<"sincereadwritten">(), count)) return nullptr;
    return data.release();
}

// A positive encoderunit is what keeps the write loop finite.
bool check_encoderunit(PyObject* unit) {
    Py_ssize_t small = 0;
    int below_one;
    if (small_index(unit, small)) {
        below_one = small < 1;
    } else {
        if (!PyIndex_Check(unit)) return true;  // the loop itself reports what is wrong with it
        Ref one = new_int(1);
        below_one = one ? PyObject_RichCompareBool(unit, one.get(), Py_LT) : -1;
        if (below_one < 0) return false;
    }
    if (below_one) PyErr_SetString(PyExc_ValueError, "encoderunit must be at least 1");
    return !below_one;
}

PyObject* restreamed_write(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"write", {"data"}, 1, true};
    native::Bound<1> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    PyObject* data = a[0];
    const State state = restreamed_state(self);
    {
        Ref unit = state.get(name<"encoderunit">());
        if (!unit || !check_encoderunit(unit.get())) return nullptr;
    }
    Ref wbuffer = state.get(name<"wbuffer">());
    if (!wbuffer || !store_concatenation(state, name<"wbuffer">(), std::move(wbuffer), data)) return nullptr;
    const Py_ssize_t datalen = PyObject_Length(data);
    if (datalen < 0) return nullptr;

    for (;;) {
        wbuffer = state.get(name<"wbuffer">());
        if (!wbuffer) return nullptr;
        const Py_ssize_t waiting = PyObject_Length(wbuffer.get());
        if (waiting < 0) return nullptr;
        Ref unit = state.get(name<"encoderunit">());
        if (!unit || !check_encoderunit(unit.get())) return nullptr;
        Py_ssize_t small_unit = 0;
        const bool unit_is_small = small_index(unit.get(), small_unit);
        int enough;
        if (unit_is_small) {
            enough = waiting >= small_unit;
        } else {
            Ref length = new_int(waiting);
            enough = length ? PyObject_RichCompareBool(length.get(), unit.get(), Py_GE) : -1;
        }
        if (enough < 0) return nullptr;
        if (!enough) break;

        Ref piece, rest;
        if (unit_is_small && PyBytes_CheckExact(wbuffer.get())) {
            piece = Ref::steal(bytes_slice(wbuffer.get(), 0, small_unit));
            if (!piece) return nullptr;
            rest = Ref::steal(bytes_slice(wbuffer.get(), small_unit, PY_SSIZE_T_MAX));
        } else {
            Ref head = Ref::steal(PySlice_New(nullptr, unit.get(), nullptr));
            if (!head) return nullptr;
            piece = Ref::steal(PyObject_GetItem(wbuffer.get(), head.get()));
            if (!piece) return nullptr;
            wbuffer = state.get(name<"wbuffer">());
            unit = wbuffer ? state.get(name<"encoderunit">()) : Ref();
            Ref tail = Ref::steal(unit ? PySlice_New(unit.get(), nullptr, nullptr) : nullptr);
            if (!tail) return nullptr;
            rest = Ref::steal(PyObject_GetItem(wbuffer.get(), tail.get()));
        }
        if (!state.set(name<"wbuffer">(), std::move(rest))) return nullptr;

        Ref substream = state.get(name<"substream">());
        if (!substream) return nullptr;
        Ref write = native::legacy::attr<"write">(substream.get());
        if (!write) return nullptr;
        Ref encoder = state.get(name<"encoder">());
        if (!encoder) return nullptr;
        Ref encoded = native::call(encoder.get(), piece.get());
        if (!encoded || !native::call(write.get(), encoded.get())) return nullptr;
    }
    Ref amount = new_int(datalen);
    if (!amount || !add_to_attribute(state, name<"sincereadwritten">(), amount.get())) return nullptr;
    return amount.release();
}

PyObject* restreamed_close(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<0> sig{"close", {}, 0, true};
    native::Bound<0> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    const State state = restreamed_state(self);
    struct Check {
        PyObject* buffer;
        PyObject* unit;
        const char* format;
    };
    const Check checks[] = {
        {name<"rbuffer">(), name<"decoderunit">(), "closing stream but %d unread bytes remain, %d is decoded unit"},
        {name<"wbuffer">(), name<"encoderunit">(), "closing stream but %d unwritten bytes remain, %d is encoded unit"},
    };
    for (const Check& check : checks) {
        Ref buffer = state.get(check.buffer);
        if (!buffer) return nullptr;
        const Py_ssize_t size = PyObject_Length(buffer.get());
        if (size < 0) return nullptr;
        if (size == 0) continue;
        Ref unit = state.get(check.unit);
        Ref format = Ref::steal(PyUnicode_FromString(check.format));
        if (!unit || !format) return nullptr;
        Ref values = Ref::steal(Py_BuildValue("(nO)", size, unit.get()));
        Ref message = Ref::steal(values ? PyUnicode_Format(format.get(), values.get()) : nullptr);
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* restreamed_seek(PyObject*, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<2> sig{"seek", {"at", "whence"}, 1, true};
    native::Bound<2> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    PyErr_SetNone(PyExc_OSError);
    return nullptr;
}

PyObject* restreamed_seekable(PyObject*, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<0> sig{"seekable", {}, 0, true};
    native::Bound<0> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* restreamed_tell(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<0> sig{"tell", {}, 0, true};
    native::Bound<0> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return restreamed_state(self).get(name<"sincereadwritten">()).release();
}

PyObject* always_tellable(PyObject*, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<0> sig{"tellable", {}, 0, true};
    native::Bound<0> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    Py_RETURN_TRUE;
}

// =============================================================================
// RebufferedBytesIO
// =============================================================================

bool rebuffered_uses_instance_dict(PyTypeObject* type) {
    if (known_to_use_instance_dict(type, rebuffered_direct)) return true;
    return uses_instance_dict(type, rebuffered_direct,
                              {name<"substream">(), name<"offset">(), name<"moved">(), name<"tailcutoff">()}, true);
}

State rebuffered_state(PyObject* self) { return State(self, &rebuffered_direct, rebuffered_uses_instance_dict); }

inline PyObject* no_attribute(PyObject* self, PyObject* key) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(self)->tp_name, key);
    return nullptr;
}

// The `rwbuffer` descriptor: a plain instance attribute, except that a
// trimmed window left in the dict is turned into bytes (and stored) on read.
PyObject* get_rwbuffer(PyObject* self, void*) {
    PyObject* key = name<"rwbuffer">();
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) return nullptr;
    PyObject* value = PyDict_GetItemWithError(dict.get(), key);
    if (value == nullptr) return PyErr_Occurred() ? nullptr : no_attribute(self, key);
    if (!is_trimmed_window(value)) return Py_NewRef(value);
    Ref bytes = Ref::steal(window_to_bytes(value));
    if (!bytes || PyDict_SetItem(dict.get(), key, bytes.get()) < 0) return nullptr;
    return bytes.release();
}

int set_rwbuffer(PyObject* self, PyObject* value, void*) {
    PyObject* key = name<"rwbuffer">();
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) return -1;
    if (value != nullptr) return PyDict_SetItem(dict.get(), key, value);
    if (PyDict_DelItem(dict.get(), key) == 0) return 0;
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        no_attribute(self, key);
    }
    return -1;
}

// self.rwbuffer as real bytes (or whatever object a caller stored there).
Ref get_window(const State& state) {
    Ref window = state.get(name<"rwbuffer">());
    if (!window || !is_trimmed_window(window.get())) return window;
    Ref bytes = Ref::steal(window_to_bytes(window.get()));
    if (!bytes || !state.set(name<"rwbuffer">(), bytes.get())) return Ref();
    return bytes;
}

// len(self.rwbuffer), without turning a trimmed window into bytes.
Py_ssize_t window_length(const State& state) {
    Ref window = state.get(name<"rwbuffer">());
    if (!window) return -1;
    if (is_trimmed_window(window.get())) return window_size(window.get());
    return PyObject_Length(window.get());
}

// self.moved + len(self.rwbuffer) < limit
int window_ends_before(const State& state, PyObject* limit) {
    Ref moved = state.get(name<"moved">());
    if (!moved) return -1;
    const Py_ssize_t size = window_length(state);
    if (size < 0) return -1;
    Ref length = new_int(size);
    Ref end = Ref::steal(length ? PyNumber_Add(moved.get(), length.get()) : nullptr);
    return end ? PyObject_RichCompareBool(end.get(), limit, Py_LT) : -1;
}

bool append_to_window(const State& state, PyObject* newdata) {
    Ref window = get_window(state);
    return window && store_concatenation(state, name<"rwbuffer">(), std::move(window), newdata);
}

// self.rwbuffer = self.rwbuffer[removed:], without copying when the window
// can be kept as a trimmed window.
bool cut_window_front(const State& state, PyObject* removed) {
    PyObject* key = name<"rwbuffer">();
    Py_ssize_t amount = 0;
    Ref owned_dict = state.dict();
    PyObject* dict = owned_dict.get();
    if (dict && small_index(removed, amount) && amount >= 0) {
        PyObject* held = PyDict_GetItemWithError(dict, key);
        if (held == nullptr && PyErr_Occurred()) return false;
        if (held != nullptr && is_trimmed_window(held)) {
            if (Py_REFCNT(held) == 1) {
                TrimmedWindow* window = as_window(held);
                window->start = std::min(window->start + amount, Py_SIZE(window->bytes));
                return true;
            }
            Ref trimmed = Ref::steal(new_trimmed_window(as_window(held)->bytes, as_window(held)->start + amount));
            return state.set(key, std::move(trimmed));
        }
        if (held != nullptr && PyBytes_CheckExact(held)) {
            if (amount == 0) return true;  // bytes[0:] is the object itself
            Ref trimmed = Ref::steal(new_trimmed_window(held, amount));
            return state.set(key, std::move(trimmed));
        }
    }
    Ref window = get_window(state);
    if (!window) return false;
    Ref tail = Ref::steal(PySlice_New(removed, nullptr, nullptr));
    if (!tail) return false;
    return state.set(key, Ref::steal(PyObject_GetItem(window.get(), tail.get())));
}

// The trimming rule that ends read and write.
bool trim_window(const State& state) {
    Ref tailcutoff = state.get(name<"tailcutoff">());
    if (!tailcutoff) return false;
    if (tailcutoff.get() == Py_None) return true;
    Ref moved = state.get(name<"moved">());
    if (!moved) return false;
    Ref offset = state.get(name<"offset">());
    if (!offset) return false;
    Ref keepfrom = Ref::steal(PyNumber_Subtract(offset.get(), tailcutoff.get()));
    if (!keepfrom) return false;
    const int behind = PyObject_RichCompareBool(moved.get(), keepfrom.get(), Py_LT);
    if (behind <= 0) return behind == 0;
    Ref removed = Ref::steal(PyNumber_Subtract(keepfrom.get(), moved.get()));
    if (!removed || !add_to_attribute(state, name<"moved">(), removed.get())) return false;
    return cut_window_front(state, removed.get());
}

PyObject* raise_tail_cut_off(const char* doing) {
    PyErr_Format(PyExc_OSError, "could not %s because tail was cut off", doing);
    return nullptr;
}

// The common read: everything already in the window, all state plain ints,
// the window bytes or a trimmed window. Returns null with no exception set
// (and nothing changed) when the call needs the general path.
PyObject* read_from_window(PyObject* dict, Py_ssize_t count) {
    PyObject* offset_object = PyDict_GetItemWithError(dict, name<"offset">());
    PyObject* moved_object = PyDict_GetItemWithError(dict, name<"moved">());
    PyObject* window = PyDict_GetItemWithError(dict, name<"rwbuffer">());
    PyObject* tailcutoff = PyDict_GetItemWithError(dict, name<"tailcutoff">());
    if (!offset_object || !moved_object || !window || !tailcutoff) return nullptr;
    Py_ssize_t startsat, moved, limit = 0;
    if (!small_index(offset_object, startsat) || !small_index(moved_object, moved)) return nullptr;
    if (tailcutoff != Py_None && !small_index(tailcutoff, limit)) return nullptr;
    const char* data;
    Py_ssize_t size;
    if (PyBytes_CheckExact(window)) {
        data = PyBytes_AS_STRING(window);
        size = Py_SIZE(window);
    } else if (is_trimmed_window(window)) {
        data = window_data(window);
        size = window_size(window);
    } else {
        return nullptr;
    }
    const Py_ssize_t endsat = startsat + count;
    if (startsat < moved || moved + size < endsat) return nullptr;

    Ref result = Ref::steal(PyBytes_FromStringAndSize(data + (startsat - moved), count));
    Ref offset = new_int(endsat);
    if (!result || !offset || PyDict_SetItem(dict, name<"offset">(), offset.get()) < 0) return nullptr;
    if (tailcutoff == Py_None || !(moved < endsat - limit)) return result.release();

    const Py_ssize_t removed = endsat - limit - moved;
    Ref new_moved = new_int(moved + removed);
    if (!new_moved || PyDict_SetItem(dict, name<"moved">(), new_moved.get()) < 0) return nullptr;
    if (is_trimmed_window(window) && Py_REFCNT(window) == 1) {
        as_window(window)->start = std::min(as_window(window)->start + removed, Py_SIZE(as_window(window)->bytes));
        return result.release();
    }
    Ref trimmed = Ref::steal(is_trimmed_window(window)
                                 ? new_trimmed_window(as_window(window)->bytes, as_window(window)->start + removed)
                                 : new_trimmed_window(window, removed));
    if (!trimmed || PyDict_SetItem(dict, name<"rwbuffer">(), trimmed.get()) < 0) return nullptr;
    return result.release();
}

PyObject* rebuffered_init(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<2> sig{"__init__", {"substream", "tailcutoff"}, 1, true};
    native::Bound<2> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    // Storing rwbuffer through its descriptor makes the instance dict anyway,
    // so every attribute goes straight into it when plain assignment would.
    const State state = rebuffered_state(self);
    Ref empty = Ref::steal(empty_bytes());
    Ref zero = new_int(0);
    if (!empty || !zero) return nullptr;
    if (!state.set(name<"substream">(), a[0]) || !state.set(name<"offset">(), zero.get()) ||
        !state.set(name<"rwbuffer">(), empty.get()) || !state.set(name<"moved">(), zero.get()) ||
        !state.set(name<"tailcutoff">(), a.get_or(1, Py_None)))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* rebuffered_read(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"read", {"count"}, 0, true};
    native::Bound<1> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    PyObject* count = a[0];
    if (count == nullptr || count == Py_None) {
        PyErr_SetString(PyExc_ValueError, "count must be integer, reading until EOF not supported");
        return nullptr;
    }
    const State state = rebuffered_state(self);
    Py_ssize_t small_count = 0;
    const bool count_is_small = small_index(count, small_count);
    int negative = count_is_small ? small_count < 0 : -1;
    if (negative < 0) {
        Ref zero = new_int(0);
        negative = zero ? PyObject_RichCompareBool(count, zero.get(), Py_LT) : -1;
        if (negative < 0) return nullptr;
    }
    if (negative) {
        PyErr_SetString(PyExc_ValueError, "count cannot be negative");
        return nullptr;
    }
    if (count_is_small) {
        if (Ref dict = state.dict()) {
            PyObject* data = read_from_window(dict.get(), small_count);
            if (data || PyErr_Occurred()) return data;
        }
    }

    PyObject* module = native::legacy::module_of(cls);
    Ref startsat = state.get(name<"offset">());
    if (!startsat) return nullptr;
    Ref endsat = Ref::steal(PyNumber_Add(startsat.get(), count));
    if (!endsat) return nullptr;
    Ref moved = state.get(name<"moved">());
    if (!moved) return nullptr;
    const int cut_off = PyObject_RichCompareBool(startsat.get(), moved.get(), Py_LT);
    if (cut_off < 0) return nullptr;
    if (cut_off) return raise_tail_cut_off("read");

    Ref chunk = new_int(read_ahead_chunk);
    if (!chunk) return nullptr;
    EmptyPollClock clock;
    for (;;) {
        const int short_of = window_ends_before(state, endsat.get());
        if (short_of < 0) return nullptr;
        if (!short_of) break;
        Ref newdata = poll_for_read(state, module, chunk.get());
        if (!newdata) return nullptr;
        const int truth = PyObject_IsTrue(newdata.get());
        if (truth < 0) return nullptr;
        if (truth) {
            clock.reset();
            if (!append_to_window(state, newdata.get())) return nullptr;
            continue;
        }
        if (newdata.get() == Py_None)
            clock.reset();
        else if (!clock.note_empty(self, "read"))
            return nullptr;
        if (!pause(module)) return nullptr;
    }

    Ref window = get_window(state);
    if (!window) return nullptr;
    moved = state.get(name<"moved">());
    if (!moved) return nullptr;
    Ref lo = Ref::steal(PyNumber_Subtract(startsat.get(), moved.get()));
    Ref hi = Ref::steal(lo ? PyNumber_Subtract(endsat.get(), moved.get()) : nullptr);
    Ref bounds = Ref::steal(hi ? PySlice_New(lo.get(), hi.get(), nullptr) : nullptr);
    Ref data = Ref::steal(bounds ? PyObject_GetItem(window.get(), bounds.get()) : nullptr);
    if (!data) return nullptr;
    if (!add_to_attribute(state, name<"offset">(), count) || !trim_window(state)) return nullptr;

    const Py_ssize_t got = PyObject_Length(data.get());
    if (got < 0) return nullptr;
    Ref length = new_int(got);
    const int too_short = length ? PyObject_RichCompareBool(length.get(), count, Py_LT) : -1;
    if (too_short < 0) return nullptr;
    if (too_short) {
        PyErr_SetString(PyExc_OSError, "could not read enough bytes, something went wrong");
        return nullptr;
    }
    return data.release();
}

// self.rwbuffer = self.rwbuffer[:lo] + data + self.rwbuffer[hi:], in place
// when only the instance dict holds the window bytes.
bool overwrite_window(const State& state, PyObject* lo_object, PyObject* hi_object, PyObject* data) {
    PyObject* key = name<"rwbuffer">();
    Py_ssize_t lo, hi;
    Ref owned_dict = state.dict();
    PyObject* dict = owned_dict.get();
    // A trimmed window that nothing else can see is patched where it lies, so
    // that writes between reads do not copy the read-ahead each time.
    if (dict && PyBytes_CheckExact(data) && small_index(lo_object, lo) && small_index(hi_object, hi)) {
        PyObject* held = PyDict_GetItemWithError(dict, key);
        if (held == nullptr && PyErr_Occurred()) return false;
        if (held != nullptr && is_trimmed_window(held) && Py_REFCNT(held) == 1 &&
            Py_REFCNT(as_window(held)->bytes) == 1 && lo >= 0 && hi == lo + Py_SIZE(data) &&
            hi <= window_size(held)) {
            PyObject* bytes = as_window(held)->bytes;
            std::memcpy(PyBytes_AS_STRING(bytes) + as_window(held)->start + lo, PyBytes_AS_STRING(data),
                        Py_SIZE(data));
            forget_bytes_hash(bytes);
            return true;
        }
    }
    Ref window = get_window(state);
    if (!window) return false;
    owned_dict = state.dict();
    dict = owned_dict.get();
    if (dict && PyBytes_CheckExact(window.get()) && PyBytes_CheckExact(data) && small_index(lo_object, lo) &&
        small_index(hi_object, hi) && lo >= 0 && lo <= Py_SIZE(window.get()) && hi == lo + Py_SIZE(data)) {
        const Py_ssize_t size = Py_SIZE(window.get());
        const Py_ssize_t result_size = std::max(size, hi);
        PyObject* held = PyDict_GetItemWithError(dict, key);
        if (held == nullptr && PyErr_Occurred()) return false;
        if (held == window.get() && Py_REFCNT(held) == 2 && Py_SIZE(data) > 0 && size > 1) {
            if (PyDict_SetItem(dict, key, Py_None) < 0) return false;
            const bool sized = result_size == size || resize_exclusive_bytes(window, result_size);
            if (sized) {
                std::memcpy(PyBytes_AS_STRING(window.get()) + lo, PyBytes_AS_STRING(data), Py_SIZE(data));
                forget_bytes_hash(window.get());
            }
            if (PyDict_SetItem(dict, key, window.get()) < 0) return false;
            return sized;
        }
        Ref result = Ref::steal(PyBytes_FromStringAndSize(nullptr, result_size));
        if (!result) return false;
        char* out = PyBytes_AS_STRING(result.get());
        std::memcpy(out, PyBytes_AS_STRING(window.get()), lo);
        std::memcpy(out + lo, PyBytes_AS_STRING(data), Py_SIZE(data));
        if (hi < size) std::memcpy(out + hi, PyBytes_AS_STRING(window.get()) + hi, size - hi);
        return state.set(key, std::move(result));
    }
    Ref head_bounds = Ref::steal(PySlice_New(nullptr, lo_object, nullptr));
    Ref head = Ref::steal(head_bounds ? PyObject_GetItem(window.get(), head_bounds.get()) : nullptr);
    Ref joined = Ref::steal(head ? PyNumber_Add(head.get(), data) : nullptr);
    if (!joined) return false;
    Ref tail_bounds = Ref::steal(PySlice_New(hi_object, nullptr, nullptr));
    Ref tail = Ref::steal(tail_bounds ? PyObject_GetItem(window.get(), tail_bounds.get()) : nullptr);
    Ref result = Ref::steal(tail ? PyNumber_Add(joined.get(), tail.get()) : nullptr);
    return state.set(key, std::move(result));
}

PyObject* rebuffered_write(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"write", {"data"}, 1, true};
    native::Bound<1> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    PyObject* data = a[0];
    const State state = rebuffered_state(self);
    PyObject* module = native::legacy::module_of(cls);

    Ref startsat = state.get(name<"offset">());
    if (!startsat) return nullptr;
    const Py_ssize_t datalen = PyObject_Length(data);
    if (datalen < 0) return nullptr;
    Ref length = new_int(datalen);
    Ref endsat = Ref::steal(length ? PyNumber_Add(startsat.get(), length.get()) : nullptr);
    if (!endsat) return nullptr;
    // Writing before the window start would splice the data at a wrong place.
    for (int check = 0; check < 2; ++check) {
        Ref moved = state.get(name<"moved">());
        if (!moved) return nullptr;
        const int cut_off = PyObject_RichCompareBool(startsat.get(), moved.get(), Py_LT);
        if (cut_off < 0) return nullptr;
        if (cut_off) return raise_tail_cut_off("write");
        if (check == 1) break;

        Ref chunk = new_int(read_ahead_chunk);
        if (!chunk) return nullptr;
        EmptyPollClock clock;
        for (;;) {
            const int short_of = window_ends_before(state, startsat.get());
            if (short_of < 0) return nullptr;
            if (!short_of) break;
            Ref substream = state.get(name<"substream">());
            if (!substream) return nullptr;
            Ref newdata = call_method(substream.get(), name<"read">(), chunk.get());
            if (!newdata || !append_to_window(state, newdata.get())) return nullptr;
            const int truth = PyObject_IsTrue(newdata.get());
            if (truth < 0) return nullptr;
            if (truth) {
                clock.reset();
                continue;
            }
            if (!clock.note_empty(self, "write") || !pause(module)) return nullptr;
        }
    }

    Ref moved = state.get(name<"moved">());
    if (!moved) return nullptr;
    Ref lo = Ref::steal(PyNumber_Subtract(startsat.get(), moved.get()));
    Ref hi = Ref::steal(lo ? PyNumber_Subtract(endsat.get(), moved.get()) : nullptr);
    if (!hi || !overwrite_window(state, lo.get(), hi.get(), data)) return nullptr;
    if (!state.set(name<"offset">(), endsat.get()) || !trim_window(state)) return nullptr;
    return length.release();
}

PyObject* rebuffered_seek(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<2> sig{"seek", {"at", "whence"}, 1, true};
    native::Bound<2> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    PyObject* at = a[0];
    PyObject* whence = a[1];
    const State state = rebuffered_state(self);
    Py_ssize_t small_whence = 0;
    if (whence == nullptr) {
        small_whence = 0;
    } else if (!small_index(whence, small_whence)) {
        Ref zero = new_int(0);
        const int absolute = zero ? PyObject_RichCompareBool(whence, zero.get(), Py_EQ) : -1;
        if (absolute < 0) return nullptr;
        small_whence = 0;
        if (!absolute) {
            Ref one = new_int(1);
            const int relative = one ? PyObject_RichCompareBool(whence, one.get(), Py_EQ) : -1;
            if (relative < 0) return nullptr;
            small_whence = relative ? 1 : 2;
        }
    }
    if (Ref dict = state.dict(); dict && (small_whence == 0 || small_whence == 1)) {
        // One look at the dict: nothing in between can run caller code when
        // the old offset is a plain int.
        PyObject* offset = PyDict_GetItemWithError(dict.get(), name<"offset">());
        Py_ssize_t old_offset, step;
        if (offset && small_index(offset, old_offset) && (small_whence == 0 || small_index(at, step))) {
            Ref result = small_whence == 0 ? Ref::new_reference(at) : new_int(old_offset + step);
            if (!result || PyDict_SetItem(dict.get(), name<"offset">(), result.get()) < 0) return nullptr;
            return result.release();
        }
        if (PyErr_Occurred()) return nullptr;
    }
    if (small_whence == 0) {
        if (!state.set(name<"offset">(), at)) return nullptr;
    } else if (small_whence == 1) {
        if (!add_to_attribute(state, name<"offset">(), at)) return nullptr;
    } else {
        PyErr_SetString(PyExc_ValueError, "this class seeks only with whence: 0 and 1 (excluded 2)");
        return nullptr;
    }
    return state.get(name<"offset">()).release();
}

PyObject* always_seekable(PyObject*, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<0> sig{"seekable", {}, 0, true};
    native::Bound<0> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    Py_RETURN_TRUE;
}

PyObject* rebuffered_tell(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<0> sig{"tell", {}, 0, true};
    native::Bound<0> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return rebuffered_state(self).get(name<"offset">()).release();
}

PyObject* rebuffered_cachedfrom(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf,
                                PyObject* kwnames) {
    static constexpr native::Signature<0> sig{"cachedfrom", {}, 0, true};
    native::Bound<0> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return rebuffered_state(self).get(name<"moved">()).release();
}

PyObject* rebuffered_cachedto(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    static constexpr native::Signature<0> sig{"cachedto", {}, 0, true};
    native::Bound<0> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    const State state = rebuffered_state(self);
    if (Ref dict = state.dict()) {
        PyObject* moved = PyDict_GetItemWithError(dict.get(), name<"moved">());
        PyObject* window = moved ? PyDict_GetItemWithError(dict.get(), name<"rwbuffer">()) : nullptr;
        Py_ssize_t start;
        if (window && small_index(moved, start)) {
            if (PyBytes_CheckExact(window)) return PyLong_FromSsize_t(start + Py_SIZE(window));
            if (is_trimmed_window(window)) return PyLong_FromSsize_t(start + window_size(window));
        }
        if (PyErr_Occurred()) return nullptr;
    }
    Ref moved = state.get(name<"moved">());
    if (!moved) return nullptr;
    const Py_ssize_t size = window_length(state);
    if (size < 0) return nullptr;
    Ref length = new_int(size);
    return length ? PyNumber_Add(moved.get(), length.get()) : nullptr;
}

// ---- the module ----------------------------------------------------------------

template <class F>
constexpr PyCFunction as_cfunction(F fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int method_flags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

PyMethodDef restreamed_methods[] = {
    {"__init__", as_cfunction(restreamed_init), method_flags,
     "__init__($self, /, substream, decoder, decoderunit, encoder, encoderunit)\n--\n\n"},
    {"read", as_cfunction(restreamed_read), method_flags, "read($self, /, count=None)\n--\n\n"},
    {"write", as_cfunction(restreamed_write), method_flags, "write($self, /, data)\n--\n\n"},
    {"close", as_cfunction(restreamed_close), method_flags, "close($self, /)\n--\n\n"},
    {"seek", as_cfunction(restreamed_seek), method_flags, "seek($self, /, at, whence=0)\n--\n\n"},
    {"seekable", as_cfunction(restreamed_seekable), method_flags, "seekable($self, /)\n--\n\n"},
    {"tell", as_cfunction(restreamed_tell), method_flags,
     "tell($self, /)\n--\n\nWARNING: tell is correct only on read-only and write-only instances."},
    {"tellable", as_cfunction(always_tellable), method_flags, "tellable($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef rebuffered_methods[] = {
    {"__init__", as_cfunction(rebuffered_init), method_flags,
     "__init__($self, /, substream, tailcutoff=None)\n--\n\n"},
    {"read", as_cfunction(rebuffered_read), method_flags, "read($self, /, count=None)\n--\n\n"},
    {"write", as_cfunction(rebuffered_write), method_flags, "write($self, /, data)\n--\n\n"},
    {"seek", as_cfunction(rebuffered_seek), method_flags, "seek($self, /, at, whence=0)\n--\n\n"},
    {"seekable", as_cfunction(always_seekable), method_flags, "seekable($self, /)\n--\n\n"},
    {"tell", as_cfunction(rebuffered_tell), method_flags, "tell($self, /)\n--\n\n"},
    {"tellable", as_cfunction(always_tellable), method_flags, "tellable($self, /)\n--\n\n"},
    {"cachedfrom", as_cfunction(rebuffered_cachedfrom), method_flags, "cachedfrom($self, /)\n--\n\n"},
    {"cachedto", as_cfunction(rebuffered_cachedto), method_flags, "cachedto($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The classes get their __init__ as a native slot too (see native::init_slot):
// constructing an adapter is common, and the generic slot's look-up and
// method call cost as much as the rest of the constructor.
Ref make_restreamed_class(PyObject* module) {
    Ref descriptors = native::make_method_descriptor_type(module);
    if (!descriptors) return Ref();
    Ref cls = native::make_class(module, {"RestreamedBytesIO", nullptr, restreamed_methods}, {}, descriptors.get());
    if (cls) reinterpret_cast<PyTypeObject*>(cls.get())->tp_init = native::legacy::init_slot<restreamed_init>;
    return cls;
}

// RebufferedBytesIO plus its `rwbuffer` descriptor and the default bound on
// waiting for a substream that keeps returning empty data.
Ref make_rebuffered_class(PyObject* module) {
    Ref descriptors = native::make_method_descriptor_type(module);
    if (!descriptors) return Ref();
    Ref cls = native::make_class(module, {"RebufferedBytesIO", nullptr, rebuffered_methods}, {}, descriptors.get());
    if (!cls) return Ref();
    reinterpret_cast<PyTypeObject*>(cls.get())->tp_init = native::legacy::init_slot<rebuffered_init>;
    Ref descriptor =
        Ref::steal(PyDescr_NewGetSet(reinterpret_cast<PyTypeObject*>(cls.get()), &rwbuffer_getset));
    Ref emptytimeout = Ref::steal(PyFloat_FromDouble(1.0));
    if (!descriptor || !emptytimeout || PyObject_SetAttrString(cls.get(), "rwbuffer", descriptor.get()) < 0 ||
        PyObject_SetAttrString(cls.get(), "emptytimeout", emptytimeout.get()) < 0)
        return Ref();
    return cls;
}

int exec_bitstream(PyObject* module) {
    if (!ready_trimmed_window_type()) return -1;
    if (!native::bind(module, "BlockingIOError", native::import_from("io", "BlockingIOError"))) return -1;
    if (!native::bind(module, "sleep", native::import_from("time", "sleep"))) return -1;
    if (!native::bind(module, "RestreamedBytesIO", make_restreamed_class(module))) return -1;
    if (!native::bind(module, "RebufferedBytesIO", make_rebuffered_class(module))) return -1;
    return 0;
}

}  // namespace

NATIVE_LEGACY_MODULE(bitstream, "tavro.lib.bitstream", exec_bitstream)
