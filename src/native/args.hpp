// The argument binder and the definitions of Python-callable functions.
//
// A function, method or slot is declared once, by its text signature (the
// form that inspect.signature reads) and its C++ body:
//
//     PyObject* seek(PyObject* self, PyTypeObject* defining_class, PyObject* at, PyObject* whence);
//     native::method<"seek($self, /, at, whence=0)", seek>()          // a PyMethodDef
//     native::function<"int2byte(character)", int2byte, "Converts ...">()
//
// The signature gives the names by which arguments may be passed, which are
// required, whether `self` counts in the messages, and whether surplus
// positional arguments are collected (*args). The binder reports mistakes
// with the library's four TypeError messages. The body receives one
// parameter per declared name (null for an omitted optional one), then, with
// *args, the surplus as (PyObject* const* rest, Py_ssize_t nrest). The same
// text also yields the slot forms (init_slot, call_slot) of a dunder method.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <utility>

#include "literal.hpp"
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
};

namespace detail {

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", filled as
// for a function that takes `min` to `max` positional arguments.
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

// ---- text signatures, read at compile time ----------------------------------

struct ParameterText {
    std::size_t begin = 0;
    std::size_t end = 0;
};

constexpr std::size_t kMaxParameters = 8;

struct SignatureText {
    std::size_t function_end = 0;
    std::size_t count = 0;
    std::size_t required = 0;
    bool self = false;
    bool star_args = false;
    std::array<ParameterText, kMaxParameters> parameters{};
    // What the binder cannot bind, found while reading (a compile error).
    bool keyword_only = false;             // a bare "*", or a parameter after "*args"
    bool compound_default = false;         // a default with brackets or quotes ("b=(1, 2)")
    bool required_after_optional = false;  // "f(a=1, b)"
    bool keywords_collected = false;       // "**kwargs"
    bool too_many = false;                 // more than kMaxParameters
};

constexpr bool is_compound_default(const char* text, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
        if (text[i] == '(' || text[i] == '[' || text[i] == '{' || text[i] == '\'' || text[i] == '"') return true;
    return false;
}

// Reads "name($self, /, a, b=None, *args)": a leading $-parameter is self,
// "/" ends the positional-only part, "*name" collects the surplus, "x=..."
// is optional. Required parameters come first. Defaults are simple values
// (no brackets, quotes or commas). Anything else is recorded as a problem,
// which ParsedSignature turns into a compile error.
constexpr SignatureText read_signature_text(const char* text, std::size_t length) {
    SignatureText out;
    std::size_t i = 0;
    while (i < length && text[i] != '(') ++i;
    out.function_end = i;
    if (i < length) ++i;
    while (i < length && text[i] != ')') {
        while (i < length && (text[i] == ' ' || text[i] == ',')) ++i;
        const std::size_t begin = i;
        while (i < length && text[i] != ',' && text[i] != ')' && text[i] != '=') ++i;
        const std::size_t end = i;
        bool optional = false;
        if (i < length && text[i] == '=') {
            optional = true;
            const std::size_t value = i + 1;
            while (i < length && text[i] != ',' && text[i] != ')') ++i;
            if (is_compound_default(text, value, i)) out.compound_default = true;
        }
        if (begin == end) continue;
        if (text[begin] == '$') {
            out.self = true;
        } else if (text[begin] == '/') {
        } else if (text[begin] == '*') {
            if (end - begin == 1) out.keyword_only = true;
            else if (text[begin + 1] == '*') out.keywords_collected = true;
            else out.star_args = true;
        } else {
            if (out.star_args) out.keyword_only = true;
            if (out.count == kMaxParameters) {
                out.too_many = true;
                continue;
            }
            if (!optional && out.count > out.required) out.required_after_optional = true;
            out.parameters[out.count++] = {begin, end};
            if (!optional) ++out.required;
        }
    }
    return out;
}

template <Literal Text>
struct ParsedSignature {
    static constexpr std::size_t length = sizeof(Text.text) - 1;
    static constexpr SignatureText parsed = read_signature_text(Text.text, length);
    static_assert(!parsed.too_many, "too many parameters for the binder");
    static_assert(!parsed.keyword_only, "the binder has no keyword-only parameters (a bare * or one after *args)");
    static_assert(!parsed.compound_default, "a default of the text signature must be a simple value");
    static_assert(!parsed.required_after_optional, "a required parameter follows an optional one");
    static_assert(!parsed.keywords_collected, "the binder collects no **keywords");
    static constexpr std::size_t size = parsed.count;

    // The text with a NUL after the function name and after each parameter
    // name, so that the names can be used where they stand.
    static constexpr std::array<char, length + 1> storage = [] {
        std::array<char, length + 1> s{};
        for (std::size_t i = 0; i < length; ++i) s[i] = Text.text[i];
        s[parsed.function_end] = '\0';
        for (std::size_t k = 0; k < parsed.count; ++k) s[parsed.parameters[k].end] = '\0';
        return s;
    }();
    static constexpr std::array<const char*, size> names = [] {
        std::array<const char*, size> n{};
        for (std::size_t k = 0; k < size; ++k) n[k] = storage.data() + parsed.parameters[k].begin;
        return n;
    }();
    static constexpr Signature<size> value{storage.data(), names, parsed.required, parsed.self, parsed.star_args};
};

// Text + "\n--\n\n" + Doc: the __doc__ from which the interpreter (and our
// method descriptor) takes __text_signature__ and the docstring.
template <Literal Text, Literal Doc>
struct InternalDoc {
    static constexpr std::size_t text_length = sizeof(Text.text) - 1;
    static constexpr std::size_t doc_length = sizeof(Doc.text) - 1;
    static constexpr std::array<char, text_length + 5 + doc_length + 1> value = [] {
        std::array<char, text_length + 5 + doc_length + 1> s{};
        std::size_t at = 0;
        for (std::size_t i = 0; i < text_length; ++i) s[at++] = Text.text[i];
        for (char c : {'\n', '-', '-', '\n', '\n'}) s[at++] = c;
        for (std::size_t i = 0; i < doc_length; ++i) s[at++] = Doc.text[i];
        s[at] = '\0';
        return s;
    }();
};

}  // namespace detail

template <std::size_t N>
bool bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound<N>& out) {
    const Py_ssize_t offset = sig.self ? 1 : 0;
    const Py_ssize_t count = static_cast<Py_ssize_t>(N);
    const Py_ssize_t required = static_cast<Py_ssize_t>(sig.required);
    const bool exact = required == count && !sig.star_args;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (nkw == 0 && nargs == count && !sig.star_args) {  // the common call: every parameter by position
        for (Py_ssize_t i = 0; i < count; ++i) out.values[i] = args[i];
        return true;
    }
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
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(flat.get(), i, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {  // a fresh dict of the call: no code runs
        if (k == nkw) break;
        PyTuple_SET_ITEM(names.get(), k, Py_NewRef(key));
        PyTuple_SET_ITEM(flat.get(), nargs + k, Py_NewRef(value));
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

// ---- entry points derived from a text signature ---------------------------------

namespace detail {

// Body(first, second..., bound values..., [rest, nrest])
template <auto Body, Literal Text, class... Leading, std::size_t... I>
PyObject* call_body(const Bound<ParsedSignature<Text>::size>& a, std::index_sequence<I...>, Leading... leading) {
    if constexpr (ParsedSignature<Text>::value.star_args)
        return Body(leading..., a.values[I]..., a.rest, a.nrest);
    else
        return Body(leading..., a.values[I]...);
}

template <Literal Text, auto Body, class... Leading>
PyObject* bind_and_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Leading... leading) {
    using P = ParsedSignature<Text>;
    Bound<P::size> a;
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(P::size)) [[likely]] {
        // The common call, every parameter by position: nothing to check.
        for (std::size_t i = 0; i < P::size; ++i) a.values[i] = args[i];
    } else if (!bind(P::value, args, nargs, kwnames, a)) {
        return nullptr;
    }
    return call_body<Body, Text>(a, std::make_index_sequence<P::size>{}, leading...);
}

// Module functions and static methods: self is the module or the class.
template <Literal Text, auto Body>
PyObject* function_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bind_and_call<Text, Body>(args, nargs, kwnames, self);
}

// A method called with no self at all (through the class, `Class.tell()`;
// our method descriptor passes a null self): the argument-count message,
// self counted, as for every other argument error.
template <Literal Text>
[[gnu::cold, gnu::noinline]] PyObject* missing_self() {
    constexpr auto& sig = ParsedSignature<Text>::value;
    raise_count(sig.function, sig.required == ParsedSignature<Text>::size && !sig.star_args,
                static_cast<Py_ssize_t>(sig.required) + 1, static_cast<Py_ssize_t>(ParsedSignature<Text>::size) + 1,
                0);
    return nullptr;
}

// Instance methods (METH_METHOD): the class that defines the method leads to
// the module and its state.
template <Literal Text, auto Body>
PyObject* method_entry(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames) {
    if (self == nullptr) [[unlikely]] return missing_self<Text>();
    return bind_and_call<Text, Body>(args, PyVectorcall_NARGS(nargsf), kwnames, self, defining_class);
}

// Instance methods that find their module from self's class themselves.
template <Literal Text, auto Body>
PyObject* plain_method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (self == nullptr) [[unlikely]] return missing_self<Text>();
    return bind_and_call<Text, Body>(args, nargs, kwnames, self);
}

}  // namespace detail

template <auto Function>
constexpr PyCFunction cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

// A module-level function (or a static method): Body(self, parameters...).
template <Literal Text, auto Body, Literal Doc = "">
constexpr PyMethodDef function() {
    return {detail::ParsedSignature<Text>::value.function, cfunction<detail::function_entry<Text, Body>>(),
            METH_FASTCALL | METH_KEYWORDS, detail::InternalDoc<Text, Doc>::value.data()};
}

// An instance method: Body(self, defining_class, parameters...).
template <Literal Text, auto Body, Literal Doc = "">
constexpr PyMethodDef method() {
    return {detail::ParsedSignature<Text>::value.function, cfunction<detail::method_entry<Text, Body>>(),
            METH_METHOD | METH_FASTCALL | METH_KEYWORDS, detail::InternalDoc<Text, Doc>::value.data()};
}

// An instance method without the defining class: Body(self, parameters...),
// which finds its module through self's class (compat::module_by_def).
// METH_FASTCALL | METH_KEYWORDS without METH_METHOD: the interpreter's call
// specialisations serve the bound method of such a method directly, which
// saves a hot method a good part of its call overhead.
template <Literal Text, auto Body, Literal Doc = "">
constexpr PyMethodDef plain_method() {
    return {detail::ParsedSignature<Text>::value.function, cfunction<detail::plain_method_entry<Text, Body>>(),
            METH_FASTCALL | METH_KEYWORDS, detail::InternalDoc<Text, Doc>::value.data()};
}

inline constexpr PyMethodDef end_of_methods = {nullptr, nullptr, 0, nullptr};

// The tp_init slot running the __init__ method declared by Text: the
// interpreter calls it with a tuple and a dict; the body is the method's.
template <Literal Text, auto Body>
int init_slot(PyObject* self, PyObject* args, PyObject* kwargs) {
    using P = detail::ParsedSignature<Text>;
    Bound<P::size> a;
    Ref keep_alive;
    if (!bind_tuple(P::value, args, kwargs, a, keep_alive)) return -1;
    Ref result =
        Ref::steal(detail::call_body<Body, Text>(a, std::make_index_sequence<P::size>{}, self, Py_TYPE(self)));
    return result ? 0 : -1;  // None: an __init__ returns nothing else
}

// The tp_call slot running the __call__ method declared by Text.
template <Literal Text, auto Body>
PyObject* call_slot(PyObject* self, PyObject* args, PyObject* kwargs) {
    using P = detail::ParsedSignature<Text>;
    Bound<P::size> a;
    Ref keep_alive;
    if (!bind_tuple(P::value, args, kwargs, a, keep_alive)) return nullptr;
    return detail::call_body<Body, Text>(a, std::make_index_sequence<P::size>{}, self, Py_TYPE(self));
}

// A tp_str or tp_repr slot running a method without parameters.
template <auto Body>
PyObject* text_slot(PyObject* self) {
    return Body(self, Py_TYPE(self));
}

}  // namespace native
