// The shared C++ layer of the tavro extension modules. Each module includes
// this one header:
//   literal.hpp    string literals as template arguments (names, signatures)
//   compat.hpp     every difference between the supported CPython versions
//                  and builds (3.10 to 3.15, free-threaded)
//   ref.hpp        owning references, the recursion guard
//   args.hpp       the argument binder and its exact TypeError messages
//   namespace.hpp  interned names in module state, module globals read at
//                  call time, recognising the built-in functions a fast
//                  path stands in for (module_function_code,
//                  is_builtin_with_code),
//                  imports, star import, binding names in order
//   changes.hpp    knowing that a dict or a class is unchanged since a fast
//                  path checked it (dict stamps, type version tags)
//   classes.hpp    ordinary classes made through the `type` metaclass, the
//                  native slots written into them, and native base classes
//                  that declare a field of their own (NativeBase)
// native.hpp itself holds the decline convention (Fast), calls, the part
// every module state shares (ModuleState), per-thread caches (PerThread),
// the byte view of a bytes-like argument (ByteView) and the module entry
// point (NATIVE_MODULE); and, included by the two modules that need it:
//   dumptext.hpp   the lines of the reversible hex dump: one writer and one
//                  digit table for hexdump/hexundump and the dump command
//
// Rules every fast path follows (the module files say at each fast path
// which guard it relies on):
//
// 1. No borrowed pointer across Python code. A dict look-up or store runs
//    Python code whenever the dict holds a key whose hash equals the one
//    looked up (its __eq__ runs); so do rich comparisons, __index__,
//    __bool__, attribute access and every call. That code can rebind,
//    delete or take a reference to anything. So a fast path takes a strong
//    reference to what it uses after such a call (PyDict_GetItemRef,
//    compat::type_lookup), or reads it again after the call. Where strong
//    references would cost too much, it requires that the dict's keys are
//    all exact str (or exact int, for the integer tables), whose look-ups
//    run no Python code, and falls back otherwise.
// 2. No object is changed after it was stored where Python code can reach
//    it. An int, bytes or str (or a stand-in that behaves as one) put into a
//    dict or an attribute is immutable from then on, even when its reference
//    count says only the dict holds it: another instance of the module, a
//    C extension holding a borrowed pointer, or a memo kept under a stamp
//    (which sees stores, not changes in place) can depend on its value.
//    Make a new object and store it; find the speed elsewhere. Only an
//    object no one else has seen yet (made by this call) is filled in.
// 3. A fast path that cannot serve a call declines: it returns
//    native::declined() (std::nullopt) with nothing done and no exception set,
//    and the generic path, which performs the documented steps one
//    interpreter operation at a time, runs instead. Otherwise it returns
//    the result, or null with an exception, exactly as the generic path
//    would. (native::Fast below.)
// 4. Caches. What a module remembers between calls lives in its module
//    state, never in a process-wide static, so that every interpreter and
//    every re-import has its own. A remembered verdict is only trusted
//    under a stamp (changes.hpp), and it records every object whose change
//    could change it: the dicts and classes it read (stamps, version tags),
//    and the type of every object it found there, which can change without
//    the dict or class changing (or it makes no verdict where one of them
//    cannot be watched cheaply). The comment at a verdict names them all.
//    A cache shared by threads is one of: immutable after the module's
//    exec; per thread on free-threaded builds (native::PerThread); or
//    guarded (critical sections, atomics). Each cache says which.
// 5. C++ exceptions never cross into the interpreter: a function returns a
//    result, or sets a Python exception and returns null.
// 6. After the collector's clear (tp_clear, a module's m_clear) every method
//    of the object still works: the object is left in a state its methods
//    recognise, and they raise or report exhaustion. A weak reference's
//    callback can hand a cleared object back to Python code. Module states
//    are kept whole until the module is freed.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "args.hpp"
#include "changes.hpp"
#include "classes.hpp"
#include "compat.hpp"
#include "namespace.hpp"
#include "ref.hpp"

namespace native {

// What a fast path gives back (rule 3): no value declines; a value is the
// result, or null with an exception set.
using Fast = std::optional<Ref>;

// The decline of a fast path: nothing done, and no exception set, so that
// the generic path starts from where the call began.
[[gnu::always_inline]] inline std::nullopt_t declined() {
    NATIVE_ASSERT(!PyErr_Occurred(), "a fast path declines with no exception set (rule 3)");
    return std::nullopt;
}

// The bytes of an object, readable while the view lives. A bytes object is
// read where it lies (its contents never change); any other buffer through an
// export of the view's own, which keeps the exporter from resizing or
// releasing it (from another thread, too) until the view is released. Which
// objects a caller accepts is its own decision; this is how it reads them.
class ByteView {
public:
    ByteView() = default;
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    ~ByteView() { release(); }

    // The contents of `bytes`, an instance of bytes (or a subclass that
    // keeps its storage).
    void of_bytes(PyObject* bytes) { of_memory(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes)); }

    // `length` bytes at `at`, which the caller knows stay where they are,
    // unchanged, while the view is read.
    void of_memory(const void* at, Py_ssize_t length) {
        release();
        data = static_cast<const unsigned char*>(at);
        size = length;
    }

    // The contents of `object` through the buffer protocol (PyBUF_SIMPLE).
    // False with the exception the export raised.
    //
    // On free-threaded builds the export and its release run in the object's
    // critical section: 3.13's bytearray counts its exports without a lock
    // (3.14 takes the lock itself), and two exports racing on the count could
    // leave it at zero while one is still read, letting a resize free the
    // storage under it.
    bool export_buffer(PyObject* object) {
        release();
        if (compat::in_critical_section(object, [&] { return PyObject_GetBuffer(object, &buffer_, PyBUF_SIMPLE); }) < 0)
            return false;
        exported_ = true;
        data = static_cast<const unsigned char*>(buffer_.buf);
        size = buffer_.len;
        return true;
    }

    // Ends an export (before running Python code that may resize the
    // object: an exported bytearray refuses to change size).
    void release() {
        if (exported_) {
            // Held until the section ends: the release drops the export's
            // reference, which may be the last.
            Ref owner = Ref::new_reference(buffer_.obj);
            if (!owner) {
                PyBuffer_Release(&buffer_);
            } else {
                NATIVE_CRITICAL_SECTION_BEGIN(owner.get());
                PyBuffer_Release(&buffer_);
                NATIVE_CRITICAL_SECTION_END;
            }
        }
        exported_ = false;
        data = nullptr;
        size = 0;
    }

    const unsigned char* data = nullptr;
    Py_ssize_t size = 0;

private:
    Py_buffer buffer_{};
    bool exported_ = false;
};

// ---- exceptions ----------------------------------------------------------------------

// The exception being raised, taken out of the thread state (so that code
// can run) and put back, or chained under a new one, later.
class PendingError {
public:
    // Takes the current exception, if any.
    PendingError() : exception_(PyErr_GetRaisedException()) {}
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
        PyErr_SetRaisedException(exception);
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
            NATIVE_ASSERT(exception_ != nullptr, "a steal receives a reference");
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

// Calls `callable` with positional arguments (borrowed), without building a
// tuple. New reference or null.
template <class... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* stack[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
}

// object.<method>(args...), with the method looked up as Python code does.
template <class... Args>
Ref call_method(PyObject* object, PyObject* method, Args... args) {
    PyObject* stack[] = {nullptr, object, args...};
    return Ref::steal(PyObject_VectorcallMethod(method, stack + 1,
                                                (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// What every module state begins with: the module's interned names, its
// change detection and, for a module that makes classes, its method
// descriptor type. A module's state derives from it and calls the three
// shared steps from its own exec, traverse and clear.
template <class NameTable>
struct ModuleState {
    NameTable names;
    DictChanges changes;
    PyObject* descriptor_type;  // null for a module that makes no classes

    // In the module's exec. False with an exception.
    bool prepare_shared(PyObject* module, bool makes_classes) {
        if (!names.intern() || !changes.attach()) return false;
        if (!makes_classes) return true;
        descriptor_type = make_method_descriptor_type(module).release();
        return descriptor_type != nullptr;
    }
    int traverse_shared(visitproc visit, void* arg) {
        Py_VISIT(descriptor_type);
        return 0;
    }
    void clear_shared() {
        names.clear();
        Py_CLEAR(descriptor_type);
    }
};

// A cache of type T that a module keeps for the calls it serves (rule 4):
// one per module where the GIL serialises them, one per thread (each thread
// filling its own) on free-threaded builds. `Tag` tells the caches of one
// module apart; T must be valid all-zero and hold no references.
//
// On free-threaded builds a thread's slot is shared by every instance of the
// module in the process (a re-import, another interpreter). It remembers
// which instance filled it and starts afresh for another, so that no instance
// trusts what another remembered: the stamps of another interpreter's
// instance come from that interpreter's change counters.
template <class T, class Tag>
class PerThread {
public:
    T& get() {
        if constexpr (compat::free_threaded) {
            struct Slot {
                std::uint64_t owner;
                T value;
            };
            static thread_local Slot mine{};
            const std::uint64_t owner = identity();
            if (mine.owner != owner) {
                mine = Slot{};
                mine.owner = owner;
            }
            return mine.value;
        } else {
            return shared_;
        }
    }

private:
    // A number that no other instance of this cache in the process has, given
    // on first use (the module state starts all-zero).
    std::uint64_t identity() {
        std::uint64_t id = id_.load(std::memory_order_acquire);
        if (id != 0) return id;
        static std::atomic<std::uint64_t> issued{0};
        const std::uint64_t fresh = issued.fetch_add(1, std::memory_order_relaxed) + 1;
        if (id_.compare_exchange_strong(id, fresh, std::memory_order_acq_rel)) return fresh;
        return id;  // another thread gave it one first
    }

    T shared_;
    std::atomic<std::uint64_t> id_;
};

}  // namespace native

// Declares the entry point of a multi-phase extension module whose state is
// `State` (see native::state_of) and whose namespace is built by
// `exec_function`. The definition is named <short_name>_definition.
#define NATIVE_MODULE(short_name, full_name, State, exec_function)                                        \
    static PyModuleDef_Slot short_name##_slots[] = {                                                      \
        {Py_mod_exec, reinterpret_cast<void*>(exec_function)}, NATIVE_MODULE_CAPABILITY_SLOTS{0, nullptr}}; \
    PyModuleDef short_name##_definition = {PyModuleDef_HEAD_INIT,                                         \
                                           full_name,                                                      \
                                           nullptr,                                                        \
                                           sizeof(State),                                                  \
                                           nullptr,                                                        \
                                           short_name##_slots,                                             \
                                           native::traverse_state<State>,                                  \
                                           native::clear_state<State>,                                     \
                                           native::free_state<State>};                                     \
    PyMODINIT_FUNC PyInit_##short_name() { return PyModuleDef_Init(&short_name##_definition); }
