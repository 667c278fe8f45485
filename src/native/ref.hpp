// Owning references and small RAII helpers around the C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>

// Checks a rule of the layer where breaking it would go unseen: active in
// the sanitizer build (NATIVE_CHECKED, set by CMake) and in debug builds,
// free in release builds. A broken rule ends the process with the rule,
// where it was broken, and the interpreter's traceback.
#if defined(NATIVE_CHECKED) || !defined(NDEBUG)
#define NATIVE_ASSERT(condition, rule) \
    ((condition) ? void(0) : ::native::assertion_failed(#condition, rule, __FILE__, __LINE__))
#else
#define NATIVE_ASSERT(condition, rule) ((void)0)
#endif

namespace native {

[[noreturn, gnu::cold]] inline void assertion_failed(const char* condition, const char* rule, const char* file,
                                                     int line) {
    char message[512];
    std::snprintf(message, sizeof message, "%s:%d: %s (broken: %s)", file, line, rule, condition);
    Py_FatalError(message);
}

// Owns one strong reference (or nothing). Borrowed references stay plain
// PyObject*; every transfer of ownership is spelled out by name:
//   Ref::steal(p)          takes over a new reference returned by the C API
//   Ref::new_reference(p)  adds a reference to a borrowed object and owns it
//   ref.release()          hands the reference back, e.g. as a result
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    // (Py_DECREF is always inlined by the interpreter's headers, Py_XDECREF
    // is left to the compiler, which often calls it out of line; so would be
    // this destructor, one call on every path that drops a reference.)
    [[gnu::always_inline]] ~Ref() {
        if (p_ != nullptr) Py_DECREF(p_);
    }

    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    [[nodiscard]] static Ref new_reference(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Guards one level of a recursive walk over caller-built structures, so that
// a structure deeper than the recursion limit raises RecursionError instead of
// exhausting the C stack. Check it before recursing:
//     RecursionGuard guard(" while printing an expression");
//     if (!guard) return nullptr;
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) noexcept : entered_(Py_EnterRecursiveCall(where) == 0) {}
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    explicit operator bool() const noexcept { return entered_; }

private:
    bool entered_;
};

}  // namespace native
