// The argument binder: binds vectorcall arguments (METH_FASTCALL |
// METH_KEYWORDS) to a fixed parameter list and reports mistakes with the
// library's four TypeError messages.
//
//     constexpr native::Signature<2> sig{"integer2bits", {"number", "width"}, 2};
//     native::Bound<2> a;
//     if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
//     PyObject* number = a[0];   // borrowed; null for an omitted optional
//
// For methods declare `self = true`: self counts as a positional argument in
// the messages, as it does for Python functions (`read() takes at most 2
// positional arguments (3 given)`). With `star_args = true` surplus
// positional arguments are collected in Bound::rest instead of refused.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>

#include "ref.hpp"

namespace native {

template <std::size_t N>
struct Signature {
    const char* function;
    std::array<const char*, N> names;
    std::size_t required;
    bool self = false;
    bool star_args = false;
};

template <std::size_t N>
struct Bound {
    std::array<PyObject*, N> values{};  // borrowed
    PyObject* const* rest = nullptr;    // surplus positional arguments (star_args)
    Py_ssize_t nrest = 0;
    PyObject* operator[](std::size_t i) const { return values[i]; }
    // The argument, or `fallback` when it was omitted.
    PyObject* get_or(std::size_t i, PyObject* fallback) const { return values[i] ? values[i] : fallback; }
};

namespace detail {

inline void raise_count(const char* function, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
    Py_ssize_t expected;
    const char* more_or_less;
    if (given < min) {
        expected = min;
        more_or_less = "at least";
    } else {
        expected = max;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function,
                 more_or_less, expected, expected == 1 ? "" : "s", given);
}

inline bool keyword_is(PyObject* keyword, const char* parameter) {
    return PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, parameter) == 0;
}

}  // namespace detail

template <std::size_t N>
bool bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound<N>& out) {
    const Py_ssize_t offset = sig.self ? 1 : 0;
    const Py_ssize_t count = static_cast<Py_ssize_t>(N);
    const Py_ssize_t required = static_cast<Py_ssize_t>(sig.required);
    const bool exact = required == count && !sig.star_args;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (nargs > count && !sig.star_args) {
        detail::raise_count(sig.function, exact, required + offset, count + offset, nargs + offset);
        return false;
    }
    const Py_ssize_t npositional = nargs < count ? nargs : count;
    for (Py_ssize_t i = 0; i < npositional; ++i) out.values[i] = args[i];
    if (nargs > count) {
        out.rest = args + count;
        out.nrest = nargs - count;
    }

    // Parameters not filled by position are looked up by keyword, in order;
    // the first required one that is missing is reported with its position.
    Py_ssize_t matched = 0;
    for (Py_ssize_t i = npositional; i < count; ++i) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (detail::keyword_is(PyTuple_GET_ITEM(kwnames, k), sig.names[i])) {
                out.values[i] = args[nargs + k];
                ++matched;
                break;
            }
        }
        if (out.values[i] == nullptr && i < required) {
            detail::raise_count(sig.function, exact, required + offset, count + offset, i + offset);
            return false;
        }
    }
    if (matched == nkw) return true;

    // Some keyword did not bind: report the first offending one.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.function);
            return false;
        }
        Py_ssize_t index = -1;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (detail::keyword_is(keyword, sig.names[i])) {
                index = i;
                break;
            }
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, keyword);
            return false;
        }
        if (index < npositional) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.function,
                         keyword);
            return false;
        }
    }
    return true;
}

// Flattens tp_call-style arguments (a tuple and a dict of keywords, which
// has entries) into vectorcall form: `flat` holds the positional values and
// then the keyword values, `names` the keywords. False with an exception set
// when memory runs out.
inline bool flatten_arguments(PyObject* args, PyObject* kwargs, Ref& flat, Ref& names) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    flat = Ref::steal(PyTuple_New(nargs + nkw));
    names = Ref::steal(PyTuple_New(nkw));
    if (!flat || !names) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyObject* v = PyTuple_GET_ITEM(args, i);
        Py_INCREF(v);
        PyTuple_SET_ITEM(flat.get(), i, v);
    }
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_INCREF(key);
        Py_INCREF(value);
        PyTuple_SET_ITEM(names.get(), k, key);
        PyTuple_SET_ITEM(flat.get(), nargs + k, value);
        ++k;
    }
    return true;
}

// bind() for arguments given as a tuple and a dict (a tp_call or tp_init
// slot). The bound values may be borrowed from `keep_alive`.
template <std::size_t N>
bool bind_tuple(const Signature<N>& sig, PyObject* args, PyObject* kwargs, Bound<N>& out, Ref& keep_alive) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0)
        return bind(sig, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, out);
    Ref flat, names;
    if (!flatten_arguments(args, kwargs, flat, names)) return false;
    if (!bind(sig, &PyTuple_GET_ITEM(flat.get(), 0), nargs, names.get(), out)) return false;
    keep_alive = std::move(flat);  // the bound values are borrowed from it
    return true;
}

}  // namespace native
