// tavro.expr: lazy expression trees. Operators applied to expression objects
// build nodes; calling a node with a context computes its value.
//
// The classes are ordinary classes made by the `type` metaclass, with their
// behaviour in method descriptors. Building and evaluating are the hot paths
// (an expression is built once and evaluated for every parsed record), so the
// exact classes additionally get native slots (tp_call, tp_init, the number
// and comparison slots, Path's tp_getattro) that run the same code as the
// methods without the generic slot's look-up and argument packing. The
// interpreter recomputes a slot whenever the matching dunder is assigned on
// the class or a base, and gives subclasses generic slots that call the
// methods, so a native slot is only ever in place while the class's dunder is
// still our own method.
#include "native.hpp"
#include "legacy.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

using native::Ref;

// ---- attribute names ---------------------------------------------------------

// The names of every instance attribute the module's methods read. They are
// interned once at module execution, so the hot paths use them unchecked.
struct StateNames {
    PyObject* op;
    PyObject* operand;
    PyObject* lhs;
    PyObject* rhs;
    PyObject* path_name;
    PyObject* path_field;
    PyObject* path_parent;
    PyObject* path2_name;
    PyObject* path2_index;
    PyObject* path2_parent;
    PyObject* func_func;
    PyObject* func_operand;
};
StateNames names;

std::array<PyObject*, 12> all_state_names() {
    return {names.op,          names.operand,     names.lhs,         names.rhs,
            names.path_name,   names.path_field,  names.path_parent, names.path2_name,
            names.path2_index, names.path2_parent, names.func_func,  names.func_operand};
}

bool intern_names() {
    names = StateNames{native::legacy::name<"op">(),           native::legacy::name<"operand">(),
                       native::legacy::name<"lhs">(),          native::legacy::name<"rhs">(),
                       native::legacy::name<"_Path__name">(),  native::legacy::name<"_Path__field">(),
                       native::legacy::name<"_Path__parent">(), native::legacy::name<"_Path2__name">(),
                       native::legacy::name<"_Path2__index">(), native::legacy::name<"_Path2__parent">(),
                       native::legacy::name<"_FuncPath__func">(), native::legacy::name<"_FuncPath__operand">()};
    for (PyObject* key : all_state_names())
        if (key == nullptr) return false;
    return native::legacy::name<"__getattr__">() && native::legacy::name<"__getattribute__">() && native::legacy::name<"items">() &&
           native::legacy::name<"update">() && native::legacy::name<"__dict__">() && native::legacy::name<"__class__">() &&
           native::legacy::name<"__slots__">() && native::legacy::name<"__base__">() && native::legacy::name<"__name__">();
}

// ---- reading instance attributes ---------------------------------------------
//
// Generic attribute access on an instance first looks the name up in the
// class's MRO (a data descriptor there would win), then in the instance dict.
// When no class in the MRO defines any of the state names and attribute access
// is the generic one (or Path's, which differs only on a miss), the instance
// dict alone decides, and reading it directly gives the same object for the
// same single dict look-up. Whether that holds depends only on the contents of
// the type and its bases, which the interpreter's type version tag tracks: any
// change to them gives the type a new, never reused tag. So the answer is
// remembered per tag.

PyObject* path_getattro(PyObject* self, PyObject* key);

constexpr unsigned int kTagSlots = 64;
unsigned int dict_reading_tags[kTagSlots];
unsigned int generic_reading_tags[kTagSlots];

[[gnu::noinline, gnu::cold]] bool check_reads_from_dict(PyTypeObject* type) {
    bool plain = type->tp_getattro == PyObject_GenericGetAttr || type->tp_getattro == path_getattro;
    for (PyObject* key : all_state_names())
        if (plain && _PyType_Lookup(type, key) != nullptr) plain = false;
    if (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) {
        unsigned int tag = type->tp_version_tag;
        (plain ? dict_reading_tags : generic_reading_tags)[tag % kTagSlots] = tag;
    }
    return plain;
}

[[gnu::always_inline]] inline bool reads_from_dict(PyTypeObject* type) {
    if (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) {
        unsigned int tag = type->tp_version_tag;
        if (dict_reading_tags[tag % kTagSlots] == tag) return true;
        if (generic_reading_tags[tag % kTagSlots] == tag) return false;
    }
    return check_reads_from_dict(type);
}

// Look-ups in namespaces (the module's, the operator module's). When every key
// of a dict is an exact str, looking a key up runs no code of the caller's,
// and its answer can only change when the dict changes. Every change gives a
// dict a new, globally unique version (PEP 509), so a look-up answer
// remembered under (dict, key, version) is the answer a new look-up would
// give. The dict pointer is only compared, never followed: a freed dict's
// entry cannot match, since a dict at the same address has another version.
// The methods read a few dozen names in all.
struct NamespaceCacheEntry {
    PyDictObject* dict;
    PyObject* key;
    uint64_t version;
    PyObject* value;  // borrowed: the dict holds it while the version matches
};
constexpr std::size_t kNamespaceCacheSize = 256;
NamespaceCacheEntry namespace_cache[kNamespaceCacheSize];
static_assert(kNamespaceCacheSize == 1u << 8, "namespace_cache_entry takes the top 8 bits of the hash");

// A slot of a direct-mapped table of 2**Bits entries for the pair (a, b).
template <unsigned Bits>
[[gnu::always_inline]] inline std::size_t pair_slot(const void* a, const void* b) {
    const uint64_t mixed =
        ((reinterpret_cast<uintptr_t>(a) >> 4) ^ (reinterpret_cast<uintptr_t>(b) << 7)) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(mixed >> (64 - Bits));
}

// Whether every key of `dict` is an exact str, so that a look-up in it runs
// no code of the caller's (no __eq__ of a colliding key). Split tables only
// hold such keys; other dicts are checked once per version.
struct VerifiedDict {
    PyDictObject* dict;
    uint64_t version;
};
VerifiedDict verified_dicts[16];

bool keys_are_exact_strings(PyDictObject* dict) {
    if (dict->ma_values != nullptr) return true;
    VerifiedDict& slot = verified_dicts[(reinterpret_cast<uintptr_t>(dict) >> 4) % 16];
    if (slot.dict == dict && slot.version == native::legacy::dict_version(dict)) return true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(reinterpret_cast<PyObject*>(dict), &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    slot = VerifiedDict{dict, native::legacy::dict_version(dict)};
    return true;
}

// dict[key] for an exact-str key, as PyDict_GetItemWithError answers it
// (borrowed; null with or without an exception), memoised per dict version.
PyObject* cached_lookup(PyObject* mapping, PyObject* key) {
    auto* dict = reinterpret_cast<PyDictObject*>(mapping);
    NamespaceCacheEntry& entry = namespace_cache[pair_slot<8>(dict, key)];
    if (entry.dict == dict && entry.key == key && entry.version == native::legacy::dict_version(dict)) return entry.value;
    PyObject* value = PyDict_GetItemWithError(mapping, key);
    if (value != nullptr && keys_are_exact_strings(dict))
        entry = NamespaceCacheEntry{dict, key, native::legacy::dict_version(dict), value};
    return value;
}

// The module global `S`, read now: the module dict, then builtins, else
// NameError (native::global does the latter two).
template <native::Literal S>
Ref module_global(PyObject* module) {
    PyObject* key = native::legacy::name<S>();
    PyObject* value = cached_lookup(PyModule_GetDict(module), key);
    if (value != nullptr) return Ref::new_reference(value);
    if (PyErr_Occurred()) return Ref();
    return native::global(module, key);
}

// Answers of instance-attribute reads, remembered per (instance, key). An
// entry stands while the instance's class is the same class, unchanged (its
// version tag, which is never reused, so the dict lives at the same place),
// that place still holds the same dict, and the dict has the version it had
// (see NamespaceCacheEntry): then a new look-up would give the same object, and
// finding it costs no call into the interpreter. The instance pointer is only
// compared: an entry of a freed instance can only match a new instance of the
// same class at the same address, whose dict slot is then valid to read and
// holds another dict, or one with another version.
struct InstanceCacheEntry {
    PyObject* instance;
    PyObject* key;
    PyTypeObject* type;
    unsigned int type_tag;
    PyObject** dict_slot;
    PyDictObject* dict;
    uint64_t version;
    PyObject* value;  // borrowed: the dict holds it while the version matches
};
constexpr std::size_t kInstanceCacheSize = 1024;
InstanceCacheEntry instance_cache[kInstanceCacheSize];
static_assert(kInstanceCacheSize == 1u << 10, "read_attr takes the top 10 bits of the hash");

// self.<key>, exactly as attribute access would read it. New reference or
// null. `pure` is set when the read could not have run any code of the
// caller's (a split-table dict), so that reading the same key again before
// anything else runs necessarily gives the same object.
[[gnu::always_inline]] inline Ref read_attr(PyObject* self, PyObject* key, bool* pure = nullptr) {
    PyTypeObject* type = Py_TYPE(self);
    if (reads_from_dict(type)) {
        InstanceCacheEntry& entry = instance_cache[pair_slot<10>(self, key)];
        if (entry.instance == self && entry.key == key && entry.type == type &&
            entry.type_tag == type->tp_version_tag && *entry.dict_slot == reinterpret_cast<PyObject*>(entry.dict) &&
            native::legacy::dict_version(entry.dict) == entry.version) {
            if (pure) *pure = true;
            return Ref::new_reference(entry.value);
        }
        PyObject** dictptr = _PyObject_GetDictPtr(self);
        if (dictptr != nullptr && *dictptr != nullptr) {
            auto* dict = reinterpret_cast<PyDictObject*>(*dictptr);
            const bool split = dict->ma_values != nullptr;
            PyObject* value = PyDict_GetItemWithError(*dictptr, key);
            if (value != nullptr) {
                if (split && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG))
                    entry = InstanceCacheEntry{self, key, type, type->tp_version_tag, dictptr, dict,
                                               native::legacy::dict_version(dict), value};
                if (pure) *pure = split;
                return Ref::new_reference(value);
            }
            if (PyErr_Occurred()) return Ref();
        }
    }
    if (pure) *pure = false;
    return Ref::steal(PyObject_GetAttr(self, key));
}

// Reads self.<key> a second time, as the methods do; skipped when the first
// read was pure (see read_attr), which makes no observable difference.
inline Ref read_again(PyObject* self, PyObject* key, Ref first, bool pure) {
    if (pure) return first;
    return read_attr(self, key);
}

// ---- operator functions applied natively ---------------------------------------
//
// Evaluation ends in a call of an operator function. When that function is
// the interpreter's own `_operator.mul` (or `len`, ...), calling the abstract
// API it wraps gives the same result and the same exceptions without the call
// machinery. Functions are recognised by their C entry point, which the
// genuine functions were checked to have at module execution.

enum class Kind : unsigned char { number2, power, compare, contains, number1, logical_not, length };

struct KnownFunction {
    PyCFunction meth;
    Kind kind;
    binaryfunc number2;
    unaryfunc number1;
    int compare;
};

// An open-addressing table keyed by the C entry point; empty slots have a
// null `meth`.
constexpr std::size_t kKnownSlots = 64;
KnownFunction known_functions[kKnownSlots];

inline std::size_t known_slot(PyCFunction meth) {
    return static_cast<std::size_t>((reinterpret_cast<uintptr_t>(meth) * 0x9E3779B97F4A7C15ull) >> 58);
}

const KnownFunction* find_known(PyObject* function) {
    if (!PyCFunction_CheckExact(function)) return nullptr;
    PyCFunction meth = PyCFunction_GET_FUNCTION(function);
    for (std::size_t i = known_slot(meth);; i = (i + 1) % kKnownSlots) {
        if (known_functions[i].meth == meth) return &known_functions[i];
        if (known_functions[i].meth == nullptr) return nullptr;
    }
}

// Records `source.attribute` if it is the genuine function `expected` of the
// module `module_name` (a replaced attribute is simply not recognised).
bool learn_function(PyObject* source, const char* attribute, const char* module_name, const char* expected,
                    KnownFunction entry) {
    Ref function = Ref::steal(PyObject_GetAttrString(source, attribute));
    if (!function) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!PyCFunction_CheckExact(function.get())) return true;
    auto* cfunction = reinterpret_cast<PyCFunctionObject*>(function.get());
    PyObject* owner = cfunction->m_self;
    if (owner == nullptr || !PyModule_Check(owner) || std::strcmp(cfunction->m_ml->ml_name, expected) != 0)
        return true;
    const char* owner_name = PyModule_GetName(owner);
    if (owner_name == nullptr) return false;
    if (std::strcmp(owner_name, module_name) != 0) return true;
    entry.meth = cfunction->m_ml->ml_meth;
    for (std::size_t i = known_slot(entry.meth);; i = (i + 1) % kKnownSlots) {
        if (known_functions[i].meth == entry.meth) return true;
        if (known_functions[i].meth == nullptr) {
            known_functions[i] = entry;
            return true;
        }
    }
}

bool learn_functions(PyObject* operator_module) {
    for (KnownFunction& slot : known_functions) slot = KnownFunction{};
    struct Entry {
        const char* name;
        KnownFunction entry;
    };
    const Entry operators[] = {
        {"add", {nullptr, Kind::number2, PyNumber_Add, nullptr, 0}},
        {"sub", {nullptr, Kind::number2, PyNumber_Subtract, nullptr, 0}},
        {"mul", {nullptr, Kind::number2, PyNumber_Multiply, nullptr, 0}},
        {"truediv", {nullptr, Kind::number2, PyNumber_TrueDivide, nullptr, 0}},
        {"floordiv", {nullptr, Kind::number2, PyNumber_FloorDivide, nullptr, 0}},
        {"mod", {nullptr, Kind::number2, PyNumber_Remainder, nullptr, 0}},
        {"pow", {nullptr, Kind::power, nullptr, nullptr, 0}},
        {"xor", {nullptr, Kind::number2, PyNumber_Xor, nullptr, 0}},
        {"lshift", {nullptr, Kind::number2, PyNumber_Lshift, nullptr, 0}},
        {"rshift", {nullptr, Kind::number2, PyNumber_Rshift, nullptr, 0}},
        {"and_", {nullptr, Kind::number2, PyNumber_And, nullptr, 0}},
        {"or_", {nullptr, Kind::number2, PyNumber_Or, nullptr, 0}},
        {"gt", {nullptr, Kind::compare, nullptr, nullptr, Py_GT}},
        {"ge", {nullptr, Kind::compare, nullptr, nullptr, Py_GE}},
        {"lt", {nullptr, Kind::compare, nullptr, nullptr, Py_LT}},
        {"le", {nullptr, Kind::compare, nullptr, nullptr, Py_LE}},
        {"eq", {nullptr, Kind::compare, nullptr, nullptr, Py_EQ}},
        {"ne", {nullptr, Kind::compare, nullptr, nullptr, Py_NE}},
        {"contains", {nullptr, Kind::contains, nullptr, nullptr, 0}},
        {"neg", {nullptr, Kind::number1, nullptr, PyNumber_Negative, 0}},
        {"pos", {nullptr, Kind::number1, nullptr, PyNumber_Positive, 0}},
        {"not_", {nullptr, Kind::logical_not, nullptr, nullptr, 0}},
    };
    for (const Entry& e : operators)
        if (!learn_function(operator_module, e.name, "_operator", e.name, e.entry)) return false;
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed dict
    PyObject* len = PyDict_GetItemString(builtins, "len");
    PyObject* abs = PyDict_GetItemString(builtins, "abs");
    if (len && PyCFunction_CheckExact(len)) {
        PyObject* owner = PyCFunction_GET_SELF(len);
        if (owner && !learn_function(owner, "len", "builtins", "len", {nullptr, Kind::length, nullptr, nullptr, 0}))
            return false;
    }
    if (abs && PyCFunction_CheckExact(abs)) {
        PyObject* owner = PyCFunction_GET_SELF(abs);
        if (owner &&
            !learn_function(owner, "abs", "builtins", "abs", {nullptr, Kind::number1, nullptr, PyNumber_Absolute, 0}))
            return false;
    }
    return true;
}

// op(left, right). New reference or null.
Ref apply_binary(PyObject* op, PyObject* left, PyObject* right) {
    if (const KnownFunction* known = find_known(op)) {
        switch (known->kind) {
            case Kind::number2:
                return Ref::steal(known->number2(left, right));
            case Kind::power:
                return Ref::steal(PyNumber_Power(left, right, Py_None));
            case Kind::compare:
                return Ref::steal(PyObject_RichCompare(left, right, known->compare));
            case Kind::contains: {
                int found = PySequence_Contains(left, right);
                if (found < 0) return Ref();
                return Ref::steal(PyBool_FromLong(found));
            }
            default:
                break;  // a one-argument function: let it report the count
        }
    }
    return native::call(op, left, right);
}

// op(value). New reference or null.
Ref apply_unary(PyObject* op, PyObject* value) {
    if (const KnownFunction* known = find_known(op)) {
        switch (known->kind) {
            case Kind::number1:
                return Ref::steal(known->number1(value));
            case Kind::logical_not: {
                int result = PyObject_Not(value);
                if (result < 0) return Ref();
                return Ref::steal(PyBool_FromLong(result));
            }
            case Kind::length: {
                Py_ssize_t size = PyObject_Size(value);
                if (size < 0) return Ref();
                return Ref::steal(PyLong_FromSsize_t(size));
            }
            default:
                break;
        }
    }
    return native::call(op, value);
}

// value[key]. For an exact dict that is what dict's own subscript does (the
// look-up, else KeyError(key); __missing__ only exists on subclasses).
inline Ref subscript(PyObject* value, PyObject* key) {
    if (PyDict_CheckExact(value)) {
        PyObject* item = PyDict_GetItemWithError(value, key);
        if (item != nullptr) return Ref::new_reference(item);
        if (!PyErr_Occurred()) _PyErr_SetKeyError(key);
        return Ref();
    }
    return Ref::steal(PyObject_GetItem(value, key));
}

// callable(value): its type has a call slot (PyCallable_Check, inlined).
inline bool is_callable(PyObject* value) { return Py_TYPE(value)->tp_call != nullptr; }

// ---- evaluation ------------------------------------------------------------------

PyObject* uniexpr_tp_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* binexpr_tp_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* path_tp_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* path2_tp_call(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* funcpath_tp_call(PyObject* self, PyObject* args, PyObject* kwargs);

Ref evaluate_uniexpr(PyObject* self, PyObject* obj);
Ref evaluate_binexpr(PyObject* self, PyObject* obj);
Ref evaluate_path(PyObject* self, PyObject* obj);
Ref evaluate_path2(PyObject* self, PyObject* const* args, Py_ssize_t nargs);
Ref evaluate_funcpath(PyObject* self, PyObject* operand, PyTypeObject* defining_class = nullptr);

Ref evaluate_funcpath_here(PyObject* self, PyObject* operand) { return evaluate_funcpath(self, operand); }

// What a native tp_call of ours runs for a plain call with the context, or
// null for any other callable.
using Evaluation = Ref (*)(PyObject* self, PyObject* obj);
inline Evaluation native_evaluation(PyObject* function) {
    ternaryfunc call = Py_TYPE(function)->tp_call;
    if (call == binexpr_tp_call) return evaluate_binexpr;
    if (call == path_tp_call) return evaluate_path;
    if (call == uniexpr_tp_call) return evaluate_uniexpr;
    if (call == funcpath_tp_call) return evaluate_funcpath_here;
    return nullptr;
}

// function(obj). Our own nodes, whose tp_call is still the native one, are
// evaluated in place: that is what their tp_call would do, minus the argument
// tuple. The interpreter's recursion guard is skipped with it, so it is done
// here, except for a path: evaluating one adds a fixed number of frames and
// guards its own recursion (a chain of parents), and any other callable it
// reaches is called through here.
Ref call_with_context(PyObject* function, PyObject* obj) {
    if (Evaluation evaluate = native_evaluation(function)) {
        if (evaluate == evaluate_path) return evaluate_path(function, obj);
        native::RecursionGuard guard(" while evaluating an expression");
        if (!guard) return Ref();
        return evaluate(function, obj);
    }
    return native::call(function, obj);
}

// The value of the operand stored under `key`: read it; if callable, read it
// again and call it with the context, else read it again and use it.
Ref operand_value(PyObject* self, PyObject* key, PyObject* obj) {
    bool pure = false;
    Ref value = read_attr(self, key, &pure);
    if (!value) return value;
    const bool callable = is_callable(value.get());
    value = read_again(self, key, std::move(value), pure);
    if (!value || !callable) return value;
    return call_with_context(value.get(), obj);
}

Ref evaluate_uniexpr(PyObject* self, PyObject* obj) {
    Ref operand = operand_value(self, names.operand, obj);
    if (!operand) return operand;
    Ref op = read_attr(self, names.op);
    if (!op) return op;
    return apply_unary(op.get(), operand.get());
}

Ref evaluate_binexpr(PyObject* self, PyObject* obj) {
    Ref left = operand_value(self, names.lhs, obj);
    if (!left) return left;
    Ref right = operand_value(self, names.rhs, obj);
    if (!right) return right;
    Ref op = read_attr(self, names.op);
    if (!op) return op;
    return apply_binary(op.get(), left.get(), right.get());
}

// Path.__call__ from its second step on: `parent` is the first read of
// _Path__parent (not None).
Ref evaluate_path_from(PyObject* self, PyObject* obj, Ref parent, bool pure) {
    parent = read_again(self, names.path_parent, std::move(parent), pure);
    if (!parent) return parent;
    Ref value;
    if (Py_TYPE(parent.get())->tp_call == path_tp_call) {
        // The parent is one of ours: its first step is done here, so that a
        // root parent (the common `this.x`) costs one read.
        bool parent_pure = false;
        Ref grandparent = read_attr(parent.get(), names.path_parent, &parent_pure);
        if (!grandparent) return grandparent;
        if (grandparent.get() == Py_None) {
            value = Ref::new_reference(obj);
        } else {
            native::RecursionGuard guard(" while evaluating an expression");
            if (!guard) return Ref();
            value = evaluate_path_from(parent.get(), obj, std::move(grandparent), parent_pure);
        }
    } else {
        value = call_with_context(parent.get(), obj);
    }
    if (!value) return value;
    Ref field = read_attr(self, names.path_field);
    if (!field) return field;
    return subscript(value.get(), field.get());
}

Ref evaluate_path(PyObject* self, PyObject* obj) {
    bool pure = false;
    Ref parent = read_attr(self, names.path_parent, &pure);
    if (!parent) return parent;
    if (parent.get() == Py_None) return Ref::new_reference(obj);
    return evaluate_path_from(self, obj, std::move(parent), pure);
}

Ref evaluate_path2(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    bool pure = false;
    Ref parent = read_attr(self, names.path2_parent, &pure);
    if (!parent) return parent;
    if (parent.get() == Py_None) {
        if (nargs < 2) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return Ref();
        }
        return Ref::new_reference(args[1]);
    }
    parent = read_again(self, names.path2_parent, std::move(parent), pure);
    if (!parent) return parent;
    Ref value;
    if (Py_TYPE(parent.get())->tp_call == path2_tp_call) {
        native::RecursionGuard guard(" while evaluating an expression");
        if (!guard) return Ref();
        value = evaluate_path2(parent.get(), args, nargs);
    } else {
        value = Ref::steal(PyObject_Vectorcall(parent.get(), args, static_cast<size_t>(nargs), nullptr));
    }
    if (!value) return value;
    Ref index = read_attr(self, names.path2_index);
    if (!index) return index;
    return subscript(value.get(), index.get());
}

// ---- building instances ----------------------------------------------------------

int uniexpr_tp_init(PyObject* self, PyObject* args, PyObject* kwargs);
int binexpr_tp_init(PyObject* self, PyObject* args, PyObject* kwargs);
int path_tp_init(PyObject* self, PyObject* args, PyObject* kwargs);
int path2_tp_init(PyObject* self, PyObject* args, PyObject* kwargs);
int funcpath_tp_init(PyObject* self, PyObject* args, PyObject* kwargs);

// self.<key> = value for each pair, in order. (Generic assignment keeps the
// values inline with keys shared by the class; the dict made from them later
// is a split table, which read_attr relies on for its speed.)
int set_attrs(PyObject* self, std::initializer_list<std::pair<PyObject*, PyObject*>> values) {
    if (Py_TYPE(self)->tp_setattro == PyObject_GenericSetAttr) {
        // What PyObject_SetAttr ends in for interned str names.
        for (const auto& [key, value] : values)
            if (_PyObject_GenericSetAttrWithDict(self, key, value ? value : Py_None, nullptr) < 0) return -1;
        return 0;
    }
    for (const auto& [key, value] : values)
        if (PyObject_SetAttr(self, key, value ? value : Py_None) < 0) return -1;
    return 0;
}

int init_uniexpr(PyObject* self, PyObject* op, PyObject* operand) {
    return set_attrs(self, {{names.op, op}, {names.operand, operand}});
}
int init_binexpr(PyObject* self, PyObject* op, PyObject* lhs, PyObject* rhs) {
    return set_attrs(self, {{names.op, op}, {names.lhs, lhs}, {names.rhs, rhs}});
}
int init_path(PyObject* self, PyObject* name, PyObject* field, PyObject* parent) {
    return set_attrs(self, {{names.path_name, name}, {names.path_field, field}, {names.path_parent, parent}});
}
int init_path2(PyObject* self, PyObject* name, PyObject* index, PyObject* parent) {
    return set_attrs(self, {{names.path2_name, name}, {names.path2_index, index}, {names.path2_parent, parent}});
}
int init_funcpath(PyObject* self, PyObject* func, PyObject* operand) {
    return set_attrs(self, {{names.func_func, func}, {names.func_operand, operand}});
}

// cls(*values). When cls is one of our classes with its native __init__ slot
// still in place and the plain `type` metaclass, that call is object.__new__
// followed by the slot's attribute assignments, done here without packing the
// arguments.
template <auto TpInit, auto Init, class... Values>
Ref instantiate(PyObject* cls, Values... values) {
    if (PyType_CheckExact(cls)) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        if (type->tp_init == TpInit && type->tp_new == PyBaseObject_Type.tp_new) {
            Ref empty = Ref::steal(PyTuple_New(0));
            if (!empty) return empty;
            Ref instance = Ref::steal(type->tp_new(type, empty.get(), nullptr));
            if (!instance || Init(instance.get(), values...) < 0) return Ref();
            return instance;
        }
    }
    return native::call(cls, values...);
}

// operators.<Op>. For a plain module object that is its dict entry (module
// objects have no class attribute of these names); anything else, or a miss
// (the module's own __getattr__, the error), takes the generic route.
template <native::Literal Op>
Ref operator_function(PyObject* operators) {
    if (Py_IS_TYPE(operators, &PyModule_Type)) {
        PyObject* value = cached_lookup(PyModule_GetDict(operators), native::legacy::name<Op>());
        if (value != nullptr) return Ref::new_reference(value);
        if (PyErr_Occurred()) return Ref();
    }
    return native::legacy::attr<Op>(operators);
}

// BinExpr(operator.<Op>, lhs, rhs), every name read from the module now.
template <native::Literal Op>
Ref build_binary(PyObject* module, PyObject* lhs, PyObject* rhs) {
    Ref cls = module_global<"BinExpr">(module);
    if (!cls) return cls;
    Ref operators = module_global<"operator">(module);
    if (!operators) return operators;
    Ref op = operator_function<Op>(operators.get());
    if (!op) return op;
    return instantiate<binexpr_tp_init, init_binexpr>(cls.get(), op.get(), lhs, rhs);
}

template <native::Literal Op>
Ref build_unary(PyObject* module, PyObject* operand) {
    Ref cls = module_global<"UniExpr">(module);
    if (!cls) return cls;
    Ref operators = module_global<"operator">(module);
    if (!operators) return operators;
    Ref op = operator_function<Op>(operators.get());
    if (!op) return op;
    return instantiate<uniexpr_tp_init, init_uniexpr>(cls.get(), op.get(), operand);
}

// ---- printing ----------------------------------------------------------------------

// format % args, the interpreter's own string formatting. Consumes nothing.
Ref format(PyObject* fmt, PyObject* args) {
    if (fmt == nullptr) return Ref();
    return Ref::steal(PyUnicode_Format(fmt, args));
}

// fmt % (items...) for a format made of plain ASCII text, "%r" and "%s": the
// same text and the same calls of repr() and str(), left to right, as the
// interpreter's formatting, written without the argument tuple.
template <class... Items>
Ref format_tuple(const char* fmt, Items... items) {
    PyObject* values[] = {items...};
    _PyUnicodeWriter writer;
    _PyUnicodeWriter_Init(&writer);
    writer.overallocate = 1;
    std::size_t next = 0;
    const char* literal = fmt;
    for (const char* p = fmt;; ++p) {
        if (*p != '%' && *p != '\0') continue;
        bool ok = p == literal || _PyUnicodeWriter_WriteASCIIString(&writer, literal, p - literal) == 0;
        if (ok && *p == '%') {
            ++p;
            Ref text = Ref::steal(*p == 'r' ? PyObject_Repr(values[next]) : PyObject_Str(values[next]));
            ++next;
            ok = text && _PyUnicodeWriter_WriteStr(&writer, text.get()) == 0;
            literal = p + 1;
        }
        if (!ok) {
            _PyUnicodeWriter_Dealloc(&writer);
            return Ref();
        }
        if (*p == '\0') break;
    }
    return Ref::steal(_PyUnicodeWriter_Finish(&writer));
}

// opnames[op], with opnames read from the module now.
Ref symbol_of(PyObject* module, PyObject* op) {
    Ref table = native::legacy::global<"opnames">(module);
    if (!table) return table;
    return Ref::steal(PyObject_GetItem(table.get(), op));
}

// ---- ExprMixin ---------------------------------------------------------------------

template <native::Literal Method, native::Literal Op, bool Reflected>
PyObject* binary_method(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
    static constexpr native::Signature<1> sig{Method.text, {"other"}, 1, true};
    native::Bound<1> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    PyObject* module = native::legacy::module_of(cls);
    if (module == nullptr) return nullptr;
    if (Reflected) return build_binary<Op>(module, a[0], self).release();
    return build_binary<Op>(module, self, a[0]).release();
}

template <native::Literal Method, native::Literal Op>
PyObject* unary_method(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<0> sig{Method.text, {}, 0, true};
    native::Bound<0> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    PyObject* module = native::legacy::module_of(cls);
    if (module == nullptr) return nullptr;
    return build_unary<Op>(module, self).release();
}

// hasattr() as the state protocol defines it: any Exception while reading
// counts as absence. Returns 1, 0, or -1 with an exception set (one that is
// not an Exception, such as KeyboardInterrupt, is never swallowed).
int has_attr(PyObject* object, PyObject* key) {
    Ref value = Ref::steal(PyObject_GetAttr(object, key));
    if (value) return 1;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    return 0;
}

PyObject* exprmixin_getstate(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) {
    static constexpr native::Signature<0> sig{"__getstate__", {}, 0, true};
    native::Bound<0> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    Ref attrs = Ref::steal(PyDict_New());
    if (!attrs) return nullptr;
    int has = has_attr(self, native::legacy::name<"__dict__">());
    if (has < 0) return nullptr;
    if (has) {
        Ref dict = native::legacy::attr<"__dict__">(self);
        if (!dict) return nullptr;
        if (PyDict_Check(dict.get())) {
            if (PyDict_Update(attrs.get(), dict.get()) < 0) return nullptr;
        } else {
            Ref done = Ref::steal(PyObject_CallMethodOneArg(attrs.get(), native::legacy::name<"update">(), dict.get()));
            if (!done) return nullptr;
        }
    }
    Ref slots = Ref::steal(PyList_New(0));
    if (!slots) return nullptr;
    Ref cls = native::legacy::attr<"__class__">(self);
    if (!cls) return nullptr;
    while (cls.get() != Py_None) {
        has = has_attr(cls.get(), native::legacy::name<"__slots__">());
        if (has < 0) return nullptr;
        if (has) {
            Ref declared = native::legacy::attr<"__slots__">(cls.get());
            if (!declared) return nullptr;
            Ref extended = Ref::steal(PySequence_InPlaceConcat(slots.get(), declared.get()));
            if (!extended) return nullptr;
        }
        cls = native::legacy::attr<"__base__">(cls.get());
        if (!cls) return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(slots.get()); ++i) {
        Ref slot = Ref::new_reference(PyList_GET_ITEM(slots.get(), i));
        if (!PyUnicode_Check(slot.get())) {
            PyErr_SetString(PyExc_TypeError, "hasattr(): attribute name must be string");
            return nullptr;
        }
        has = has_attr(self, slot.get());
        if (has < 0) return nullptr;
        if (!has) continue;
        Ref value = Ref::steal(PyObject_GetAttr(self, slot.get()));
        if (!value || PyDict_SetItem(attrs.get(), slot.get(), value.get()) < 0) return nullptr;
    }
    return attrs.release();
}

// `name, value = item`, with the interpreter's unpacking errors.
bool unpack_pair(PyObject* item, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        first = Ref::new_reference(PyTuple_GET_ITEM(item, 0));
        second = Ref::new_reference(PyTuple_GET_ITEM(item, 1));
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return false;
    }
    Ref* targets[] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        *targets[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!*targets[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

PyObject* exprmixin_setstate(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"__setstate__", {"attrs"}, 1, true};
    native::Bound<1> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(a[0], native::legacy::name<"items">()));
    if (!items) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
    if (!iterator) return nullptr;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref key, value;
        if (!unpack_pair(item.get(), key, value)) return nullptr;
        if (PyObject_SetAttr(self, key.get(), value.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// __repr__/__str__ as methods (the module is the defining class's) and as
// native slots of the exact classes (the module is their own).
using Printer = PyObject* (*)(PyObject* module, PyObject* self);

template <Printer Print, bool Repr>
PyObject* print_method(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<0> sig{Repr ? "__repr__" : "__str__", {}, 0, true};
    native::Bound<0> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    PyObject* module = native::legacy::module_of(cls);
    if (module == nullptr) return nullptr;
    return Print(module, self);
}

template <Printer Print>
PyObject* print_slot(PyObject* self) {
    PyObject* module = PyType_GetModule(Py_TYPE(self));
    if (module == nullptr) return nullptr;
    return Print(module, self);
}

// ---- UniExpr ------------------------------------------------------------------------

PyObject* uniexpr_init(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<2> sig{"__init__", {"op", "operand"}, 2, true};
    native::Bound<2> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    if (init_uniexpr(self, a[0], a[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

template <bool Repr>
PyObject* uniexpr_print(PyObject* module, PyObject* self) {
    native::RecursionGuard guard(" while printing an expression");
    if (!guard) return nullptr;
    Ref op = read_attr(self, names.op);
    if (!op) return nullptr;
    Ref symbol = symbol_of(module, op.get());
    if (!symbol) return nullptr;
    Ref operand = read_attr(self, names.operand);
    if (!operand) return nullptr;
    const char* fmt = Repr ? "%s %r" : "%s %s";
    return format_tuple(fmt, symbol.get(), operand.get()).release();
}

PyObject* uniexpr_call(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"__call__", {"obj"}, 1, true, true};
    native::Bound<1> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return evaluate_uniexpr(self, a[0]).release();
}

// ---- BinExpr ------------------------------------------------------------------------

PyObject* binexpr_init(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<3> sig{"__init__", {"op", "lhs", "rhs"}, 3, true};
    native::Bound<3> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    if (init_binexpr(self, a[0], a[1], a[2]) < 0) return nullptr;
    Py_RETURN_NONE;
}

template <bool Repr>
PyObject* binexpr_print(PyObject* module, PyObject* self) {
    native::RecursionGuard guard(" while printing an expression");
    if (!guard) return nullptr;
    Ref lhs = read_attr(self, names.lhs);
    if (!lhs) return nullptr;
    Ref op = read_attr(self, names.op);
    if (!op) return nullptr;
    Ref symbol = symbol_of(module, op.get());
    if (!symbol) return nullptr;
    Ref rhs = read_attr(self, names.rhs);
    if (!rhs) return nullptr;
    const char* fmt = Repr ? "(%r %s %r)" : "(%s %s %s)";
    return format_tuple(fmt, lhs.get(), symbol.get(), rhs.get()).release();
}

PyObject* binexpr_call(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"__call__", {"obj"}, 1, true, true};
    native::Bound<1> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return evaluate_binexpr(self, a[0]).release();
}

// ---- Path ----------------------------------------------------------------------------

PyObject* path_init(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<3> sig{"__init__", {"name", "field", "parent"}, 1, true};
    native::Bound<3> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    if (init_path(self, a[0], a[1], a[2]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Path.__repr__ (dotted) and Path.__str__ (bracketed).
template <bool Repr>
PyObject* path_print(PyObject*, PyObject* self) {
    native::RecursionGuard guard(" while printing an expression");
    if (!guard) return nullptr;
    Ref parent = read_attr(self, names.path_parent);
    if (!parent) return nullptr;
    if (parent.get() == Py_None) return read_attr(self, names.path_name).release();
    parent = read_attr(self, names.path_parent);
    if (!parent) return nullptr;
    Ref field = read_attr(self, names.path_field);
    if (!field) return nullptr;
    const char* fmt = Repr ? "%r.%s" : "%s[%r]";
    return format_tuple(fmt, parent.get(), field.get()).release();
}

PyObject* path_call(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"__call__", {"obj"}, 1, true, true};
    native::Bound<1> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return evaluate_path(self, a[0]).release();
}

PyObject* path_getfield(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<0> sig{"__getfield__", {}, 0, true};
    native::Bound<0> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return read_attr(self, names.path_field).release();
}

// Path(self's name, key, self), with Path read from the module now.
Ref path_child(PyObject* module, PyObject* self, PyObject* key) {
    // Reading the name goes through attribute access, which comes back here
    // for an instance that lacks it.
    native::RecursionGuard guard(" while building a path");
    if (!guard) return Ref();
    Ref cls = module_global<"Path">(module);
    if (!cls) return cls;
    Ref name = read_attr(self, names.path_name);
    if (!name) return name;
    return instantiate<path_tp_init, init_path>(cls.get(), name.get(), key, self);
}

// Names that begin and end with two underscores are protocol probes
// (__deepcopy__, __length_hint__, ...), never field names: answering them with
// a path makes copy, pickle and friends call the path.
bool is_protocol_name(PyObject* key) {
    if (!PyUnicode_Check(key)) return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    if (length < 5) return false;
    return PyUnicode_READ_CHAR(key, 0) == '_' && PyUnicode_READ_CHAR(key, 1) == '_' &&
           PyUnicode_READ_CHAR(key, length - 1) == '_' && PyUnicode_READ_CHAR(key, length - 2) == '_';
}

Ref path_fallback(PyObject* module, PyObject* self, PyObject* key) {
    if (is_protocol_name(key)) {
        PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%U'", Py_TYPE(self)->tp_name, key);
        return Ref();
    }
    return path_child(module, self, key);
}

PyObject* path_getattr(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"__getattr__", {"name"}, 1, true};
    native::Bound<1> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    PyObject* module = native::legacy::module_of(cls);
    if (module == nullptr) return nullptr;
    return path_fallback(module, self, a[0]).release();
}

PyObject* path_getitem(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"__getitem__", {"name"}, 1, true};
    native::Bound<1> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    PyObject* module = native::legacy::module_of(cls);
    if (module == nullptr) return nullptr;
    return path_child(module, self, a[0]).release();
}

// ---- Path2 ---------------------------------------------------------------------------

PyObject* path2_init(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<3> sig{"__init__", {"name", "index", "parent"}, 1, true};
    native::Bound<3> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    if (init_path2(self, a[0], a[1], a[2]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* path2_repr(PyObject*, PyObject* self) {
    native::RecursionGuard guard(" while printing an expression");
    if (!guard) return nullptr;
    Ref parent = read_attr(self, names.path2_parent);
    if (!parent) return nullptr;
    if (parent.get() == Py_None) return read_attr(self, names.path2_name).release();
    parent = read_attr(self, names.path2_parent);
    if (!parent) return nullptr;
    Ref index = read_attr(self, names.path2_index);
    if (!index) return nullptr;
    return format_tuple("%r[%r]", parent.get(), index.get()).release();
}

PyObject* path2_call(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<0> sig{"__call__", {}, 0, true, true};
    native::Bound<0> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return evaluate_path2(self, args, PyVectorcall_NARGS(nargsf)).release();
}

PyObject* path2_getitem(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"__getitem__", {"index"}, 1, true};
    native::Bound<1> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    PyObject* module = native::legacy::module_of(cls);
    if (module == nullptr) return nullptr;
    Ref path2 = module_global<"Path2">(module);
    if (!path2) return nullptr;
    Ref name = read_attr(self, names.path2_name);
    if (!name) return nullptr;
    return instantiate<path2_tp_init, init_path2>(path2.get(), name.get(), a[0], self).release();
}

// ---- FuncPath ------------------------------------------------------------------------

PyObject* funcpath_init(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<2> sig{"__init__", {"func", "operand"}, 1, true};
    native::Bound<2> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    if (init_funcpath(self, a[0], a[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

template <bool Repr>
PyObject* funcpath_print(PyObject*, PyObject* self) {
    native::RecursionGuard guard(" while printing an expression");
    if (!guard) return nullptr;
    Ref operand = read_attr(self, names.func_operand);
    if (!operand) return nullptr;
    const bool bound = operand.get() != Py_None;
    Ref func = read_attr(self, names.func_func);
    if (!func) return nullptr;
    Ref name = native::legacy::attr<"__name__">(func.get());
    if (!name) return nullptr;
    if (!bound) return format(native::legacy::name<"%s_">(), name.get()).release();
    operand = read_attr(self, names.func_operand);
    if (!operand) return nullptr;
    const char* fmt = Repr ? "%s_(%r)" : "%s_(%s)";
    return format_tuple(fmt, name.get(), operand.get()).release();
}

// FuncPath.__call__. The module whose FuncPath global binds a new path is
// that of `defining_class`; the native slot, only ever on the exact class,
// passes none and the instance's own class is it.
Ref evaluate_funcpath(PyObject* self, PyObject* argument, PyTypeObject* defining_class) {
    bool operand_was_pure = false;
    Ref operand = read_attr(self, names.func_operand, &operand_was_pure);
    if (!operand) return operand;
    if (operand.get() == Py_None) {
        if (!is_callable(argument)) return Ref::new_reference(argument);
        PyObject* module = PyType_GetModule(defining_class ? defining_class : Py_TYPE(self));
        if (module == nullptr) return Ref();
        Ref cls = module_global<"FuncPath">(module);
        if (!cls) return cls;
        Ref func = read_attr(self, names.func_func);
        if (!func) return func;
        return instantiate<funcpath_tp_init, init_funcpath>(cls.get(), func.get(), argument);
    }
    bool pure = false;
    Ref func = read_attr(self, names.func_func, &pure);
    if (!func) return func;
    Ref value;
    if (pure && operand_was_pure) {
        // Nothing ran since the operand was read: reading it again, twice,
        // gives the same object.
        value = is_callable(operand.get()) ? call_with_context(operand.get(), argument) : std::move(operand);
    } else {
        value = operand_value(self, names.func_operand, argument);
    }
    if (!value) return value;
    return apply_unary(func.get(), value.get());
}

PyObject* funcpath_call(PyObject* self, PyTypeObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"__call__", {"operand"}, 1, true, true};
    native::Bound<1> a;
    if (!native::bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return evaluate_funcpath(self, a[0], cls).release();
}

// ---- native slots --------------------------------------------------------------------
//
// Each slot below is written into the type object of one of the module's
// classes after its methods were added, and runs the code of the method that
// the generic slot would have looked up and called.

// A tp_call slot reached with a plain positional call skips the binder.
template <Ref (*Evaluate)(PyObject*, PyObject*)>
PyObject* call_slot(PyObject* self, PyObject* args, PyObject* kwargs) {
    if ((kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) && PyTuple_GET_SIZE(args) >= 1)
        return Evaluate(self, PyTuple_GET_ITEM(args, 0)).release();
    static constexpr native::Signature<1> sig{"__call__", {"obj"}, 1, true, true};
    native::Bound<1> a;
    Ref keep_alive;
    if (!native::bind_tuple(sig, args, kwargs, a, keep_alive)) return nullptr;
    return Evaluate(self, a[0]).release();
}

PyObject* uniexpr_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_slot<evaluate_uniexpr>(self, args, kwargs);
}
PyObject* binexpr_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_slot<evaluate_binexpr>(self, args, kwargs);
}
PyObject* path_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_slot<evaluate_path>(self, args, kwargs);
}
PyObject* funcpath_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    if ((kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) && PyTuple_GET_SIZE(args) >= 1)
        return evaluate_funcpath(self, PyTuple_GET_ITEM(args, 0)).release();
    static constexpr native::Signature<1> sig{"__call__", {"operand"}, 1, true, true};
    native::Bound<1> a;
    Ref keep_alive;
    if (!native::bind_tuple(sig, args, kwargs, a, keep_alive)) return nullptr;
    return evaluate_funcpath(self, a[0]).release();
}
PyObject* path2_tp_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr native::Signature<0> sig{"__call__", {}, 0, true, true};
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        native::Bound<0> a;
        Ref keep_alive;
        if (!native::bind_tuple(sig, args, kwargs, a, keep_alive)) return nullptr;
    }
    return evaluate_path2(self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args)).release();
}

// self(*args, **kwargs) through the tp_call slot of self's class: what the
// interpreter does for an object without a vectorcall entry.
PyObject* call_through_slot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ternaryfunc call = Py_TYPE(self)->tp_call;
    if (call == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    Ref positional = Ref::steal(PyTuple_New(nargs));
    if (!positional) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(positional.get(), i, args[i]);
    }
    Ref keywords;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        keywords = Ref::steal(PyDict_New());
        if (!keywords) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
    }
    native::RecursionGuard guard(" while calling a Python object");
    if (!guard) return nullptr;
    return call(self, positional.get(), keywords.get());
}

// The vectorcall entry of node instances (see add_vectorcall_entry). A plain
// positional call of a node whose class still has our tp_call evaluates in
// place; anything else goes through the class's tp_call, which also covers a
// class whose __call__ was reassigned after the entry was installed.
PyObject* node_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        if (nargs >= 1) {
            if (Evaluation evaluate = native_evaluation(self)) {
                native::RecursionGuard guard(" while evaluating an expression");
                if (!guard) return nullptr;
                return evaluate(self, args[0]).release();
            }
        }
        if (Py_TYPE(self)->tp_call == path2_tp_call) {
            native::RecursionGuard guard(" while evaluating an expression");
            if (!guard) return nullptr;
            return evaluate_path2(self, args, nargs).release();
        }
    }
    return call_through_slot(self, args, nargs, kwnames);
}

template <std::size_t N, auto Init>
int init_slot(const native::Signature<N>& sig, PyObject* self, PyObject* args, PyObject* kwargs) {
    native::Bound<N> a;
    Ref keep_alive;
    if (!native::bind_tuple(sig, args, kwargs, a, keep_alive)) return -1;
    if constexpr (N == 2) return Init(self, a[0], a[1]);
    else return Init(self, a[0], a[1], a[2]);
}

int uniexpr_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr native::Signature<2> sig{"__init__", {"op", "operand"}, 2, true};
    return init_slot<2, init_uniexpr>(sig, self, args, kwargs);
}
int binexpr_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr native::Signature<3> sig{"__init__", {"op", "lhs", "rhs"}, 3, true};
    return init_slot<3, init_binexpr>(sig, self, args, kwargs);
}
int path_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr native::Signature<3> sig{"__init__", {"name", "field", "parent"}, 1, true};
    return init_slot<3, init_path>(sig, self, args, kwargs);
}
int path2_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr native::Signature<3> sig{"__init__", {"name", "index", "parent"}, 1, true};
    return init_slot<3, init_path2>(sig, self, args, kwargs);
}
int funcpath_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr native::Signature<2> sig{"__init__", {"func", "operand"}, 1, true};
    return init_slot<2, init_funcpath>(sig, self, args, kwargs);
}

// nb_<op>(a, b) is reached for `a op b` and, reflected, when `a` did not
// handle it. The generic slot would call a.__op__(b) when the slot is a's own,
// else b.__rop__(a); both of our methods build the same node in written
// order. If the node built is NotImplemented (a rebound BinExpr), the generic
// slot would still try b.__rop__ when b's class has the same slot, since the
// interpreter does not call the same slot twice.
template <binaryfunc PyNumberMethods::*Slot, native::Literal Op>
PyObject* binary_slot(PyObject* a, PyObject* b) {
    constexpr binaryfunc self_slot = &binary_slot<Slot, Op>;
    PyNumberMethods* a_number = Py_TYPE(a)->tp_as_number;
    const bool forward = a_number != nullptr && a_number->*Slot == self_slot;
    PyObject* module = PyType_GetModule(Py_TYPE(forward ? a : b));
    if (module == nullptr) return nullptr;
    Ref node = build_binary<Op>(module, a, b);
    if (!forward || node.get() != Py_NotImplemented || Py_IS_TYPE(b, Py_TYPE(a))) return node.release();
    PyNumberMethods* b_number = Py_TYPE(b)->tp_as_number;
    if (b_number == nullptr || b_number->*Slot != self_slot) return node.release();
    module = PyType_GetModule(Py_TYPE(b));
    if (module == nullptr) return nullptr;
    return build_binary<Op>(module, a, b).release();
}

template <native::Literal Op>
PyObject* unary_slot(PyObject* a) {
    PyObject* module = PyType_GetModule(Py_TYPE(a));
    if (module == nullptr) return nullptr;
    return build_unary<Op>(module, a).release();
}

PyObject* richcompare_slot(PyObject* a, PyObject* b, int op) {
    PyObject* module = PyType_GetModule(Py_TYPE(a));
    if (module == nullptr) return nullptr;
    switch (op) {
        case Py_LT: return build_binary<"lt">(module, a, b).release();
        case Py_LE: return build_binary<"le">(module, a, b).release();
        case Py_EQ: return build_binary<"eq">(module, a, b).release();
        case Py_NE: return build_binary<"ne">(module, a, b).release();
        case Py_GT: return build_binary<"gt">(module, a, b).release();
        case Py_GE: return build_binary<"ge">(module, a, b).release();
        default: Py_RETURN_NOTIMPLEMENTED;
    }
}

extern PyMethodDef path_methods[];

// Attribute access on a Path: the generic look-up, then the __getattr__
// fallback, as the interpreter's hook does, but without raising and clearing
// an AttributeError on every miss.
PyObject* path_getattro(PyObject* self, PyObject* key) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject* getattr = _PyType_Lookup(type, native::legacy::name<"__getattr__">());
    if (getattr == nullptr) return PyObject_GenericGetAttr(self, key);
    Ref hook = Ref::new_reference(getattr);
    PyObject* getattribute = _PyType_Lookup(type, native::legacy::name<"__getattribute__">());
    if (getattribute == nullptr ||
        (Py_IS_TYPE(getattribute, &PyWrapperDescr_Type) &&
         reinterpret_cast<PyWrapperDescrObject*>(getattribute)->d_wrapped ==
             reinterpret_cast<void*>(PyObject_GenericGetAttr))) {
        PyObject* found = _PyObject_GenericGetAttrWithDict(self, key, nullptr, 1);
        if (found != nullptr || PyErr_Occurred()) return found;
    } else {
        Ref method = Ref::new_reference(getattribute);
        descrgetfunc get = Py_TYPE(getattribute)->tp_descr_get;
        if (get) method = Ref::steal(get(getattribute, self, reinterpret_cast<PyObject*>(type)));
        if (!method) return nullptr;
        PyObject* found = PyObject_CallOneArg(method.get(), key);
        if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
        PyErr_Clear();
    }
    if (Py_IS_TYPE(getattr, &PyMethodDescr_Type)) {
        auto* descriptor = reinterpret_cast<PyMethodDescrObject*>(getattr);
        if (descriptor->d_method->ml_meth == path_methods[5].ml_meth) {
            PyObject* module = PyType_GetModule(descriptor->d_common.d_type);
            if (module == nullptr) return nullptr;
            return path_fallback(module, self, key).release();
        }
    }
    Ref method = Ref::new_reference(getattr);
    descrgetfunc get = Py_TYPE(getattr)->tp_descr_get;
    if (get) method = Ref::steal(get(getattr, self, reinterpret_cast<PyObject*>(type)));
    if (!method) return nullptr;
    return PyObject_CallOneArg(method.get(), key);
}

// ---- method tables -------------------------------------------------------------------

// `signature` is the text signature that inspect.signature() reads; the
// methods have no docstring, so __doc__ stays None.
template <auto Fn>
constexpr PyMethodDef method(const char* name, const char* signature) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fn)),
            METH_METHOD | METH_FASTCALL | METH_KEYWORDS, signature};
}

PyMethodDef exprmixin_methods[] = {
    method<binary_method<"__add__", "add", false>>("__add__", "__add__($self, /, other)\n--\n\n"),
    method<binary_method<"__sub__", "sub", false>>("__sub__", "__sub__($self, /, other)\n--\n\n"),
    method<binary_method<"__mul__", "mul", false>>("__mul__", "__mul__($self, /, other)\n--\n\n"),
    method<binary_method<"__floordiv__", "floordiv", false>>("__floordiv__", "__floordiv__($self, /, other)\n--\n\n"),
    method<binary_method<"__truediv__", "div", false>>("__truediv__", "__truediv__($self, /, other)\n--\n\n"),
    method<binary_method<"__mod__", "mod", false>>("__mod__", "__mod__($self, /, other)\n--\n\n"),
    method<binary_method<"__pow__", "pow", false>>("__pow__", "__pow__($self, /, other)\n--\n\n"),
    method<binary_method<"__xor__", "xor", false>>("__xor__", "__xor__($self, /, other)\n--\n\n"),
    method<binary_method<"__rshift__", "rshift", false>>("__rshift__", "__rshift__($self, /, other)\n--\n\n"),
    method<binary_method<"__lshift__", "lshift", false>>("__lshift__", "__lshift__($self, /, other)\n--\n\n"),
    method<binary_method<"__and__", "and_", false>>("__and__", "__and__($self, /, other)\n--\n\n"),
    method<binary_method<"__or__", "or_", false>>("__or__", "__or__($self, /, other)\n--\n\n"),
    method<binary_method<"__radd__", "add", true>>("__radd__", "__radd__($self, /, other)\n--\n\n"),
    method<binary_method<"__rsub__", "sub", true>>("__rsub__", "__rsub__($self, /, other)\n--\n\n"),
    method<binary_method<"__rmul__", "mul", true>>("__rmul__", "__rmul__($self, /, other)\n--\n\n"),
    method<binary_method<"__rfloordiv__", "floordiv", true>>("__rfloordiv__", "__rfloordiv__($self, /, other)\n--\n\n"),
    method<binary_method<"__rtruediv__", "div", true>>("__rtruediv__", "__rtruediv__($self, /, other)\n--\n\n"),
    method<binary_method<"__rmod__", "mod", true>>("__rmod__", "__rmod__($self, /, other)\n--\n\n"),
    method<binary_method<"__rpow__", "pow", true>>("__rpow__", "__rpow__($self, /, other)\n--\n\n"),
    method<binary_method<"__rxor__", "xor", true>>("__rxor__", "__rxor__($self, /, other)\n--\n\n"),
    method<binary_method<"__rrshift__", "rshift", true>>("__rrshift__", "__rrshift__($self, /, other)\n--\n\n"),
    method<binary_method<"__rlshift__", "lshift", true>>("__rlshift__", "__rlshift__($self, /, other)\n--\n\n"),
    method<binary_method<"__rand__", "and_", true>>("__rand__", "__rand__($self, /, other)\n--\n\n"),
    method<binary_method<"__ror__", "or_", true>>("__ror__", "__ror__($self, /, other)\n--\n\n"),
    method<unary_method<"__neg__", "neg">>("__neg__", "__neg__($self, /)\n--\n\n"),
    method<unary_method<"__pos__", "pos">>("__pos__", "__pos__($self, /)\n--\n\n"),
    method<unary_method<"__invert__", "not_">>("__invert__", "__invert__($self, /)\n--\n\n"),
    method<binary_method<"__contains__", "contains", false>>("__contains__", "__contains__($self, /, other)\n--\n\n"),
    method<binary_method<"__gt__", "gt", false>>("__gt__", "__gt__($self, /, other)\n--\n\n"),
    method<binary_method<"__ge__", "ge", false>>("__ge__", "__ge__($self, /, other)\n--\n\n"),
    method<binary_method<"__lt__", "lt", false>>("__lt__", "__lt__($self, /, other)\n--\n\n"),
    method<binary_method<"__le__", "le", false>>("__le__", "__le__($self, /, other)\n--\n\n"),
    method<binary_method<"__eq__", "eq", false>>("__eq__", "__eq__($self, /, other)\n--\n\n"),
    method<binary_method<"__ne__", "ne", false>>("__ne__", "__ne__($self, /, other)\n--\n\n"),
    method<exprmixin_getstate>("__getstate__", "__getstate__($self, /)\n--\n\n"),
    method<exprmixin_setstate>("__setstate__", "__setstate__($self, /, attrs)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef uniexpr_methods[] = {
    method<uniexpr_init>("__init__", "__init__($self, /, op, operand)\n--\n\n"),
    method<print_method<uniexpr_print<true>, true>>("__repr__", "__repr__($self, /)\n--\n\n"),
    method<print_method<uniexpr_print<false>, false>>("__str__", "__str__($self, /)\n--\n\n"),
    method<uniexpr_call>("__call__", "__call__($self, /, obj, *args)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef binexpr_methods[] = {
    method<binexpr_init>("__init__", "__init__($self, /, op, lhs, rhs)\n--\n\n"),
    method<print_method<binexpr_print<true>, true>>("__repr__", "__repr__($self, /)\n--\n\n"),
    method<print_method<binexpr_print<false>, false>>("__str__", "__str__($self, /)\n--\n\n"),
    method<binexpr_call>("__call__", "__call__($self, /, obj, *args)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef path_methods[] = {
    method<path_init>("__init__", "__init__($self, /, name, field=None, parent=None)\n--\n\n"),
    method<print_method<path_print<true>, true>>("__repr__", "__repr__($self, /)\n--\n\n"),
    method<print_method<path_print<false>, false>>("__str__", "__str__($self, /)\n--\n\n"),
    method<path_call>("__call__", "__call__($self, /, obj, *args)\n--\n\n"),
    method<path_getfield>("__getfield__", "__getfield__($self, /)\n--\n\n"),
    method<path_getattr>("__getattr__", "__getattr__($self, /, name)\n--\n\n"),  // index 5: path_getattro recognises it
    method<path_getitem>("__getitem__", "__getitem__($self, /, name)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef path2_methods[] = {
    method<path2_init>("__init__", "__init__($self, /, name, index=None, parent=None)\n--\n\n"),
    method<print_method<path2_repr, true>>("__repr__", "__repr__($self, /)\n--\n\n"),
    method<path2_call>("__call__", "__call__($self, /, *args)\n--\n\n"),
    method<path2_getitem>("__getitem__", "__getitem__($self, /, index)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef funcpath_methods[] = {
    method<funcpath_init>("__init__", "__init__($self, /, func, operand=None)\n--\n\n"),
    method<print_method<funcpath_print<true>, true>>("__repr__", "__repr__($self, /)\n--\n\n"),
    method<print_method<funcpath_print<false>, false>>("__str__", "__str__($self, /)\n--\n\n"),
    method<funcpath_call>("__call__", "__call__($self, /, operand, *args)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

// ---- module execution ----------------------------------------------------------------

void install_operator_slots(PyObject* cls) {
    PyNumberMethods* number = reinterpret_cast<PyTypeObject*>(cls)->tp_as_number;
    number->nb_add = binary_slot<&PyNumberMethods::nb_add, "add">;
    number->nb_subtract = binary_slot<&PyNumberMethods::nb_subtract, "sub">;
    number->nb_multiply = binary_slot<&PyNumberMethods::nb_multiply, "mul">;
    number->nb_floor_divide = binary_slot<&PyNumberMethods::nb_floor_divide, "floordiv">;
    number->nb_true_divide = binary_slot<&PyNumberMethods::nb_true_divide, "div">;
    number->nb_remainder = binary_slot<&PyNumberMethods::nb_remainder, "mod">;
    number->nb_xor = binary_slot<&PyNumberMethods::nb_xor, "xor">;
    number->nb_rshift = binary_slot<&PyNumberMethods::nb_rshift, "rshift">;
    number->nb_lshift = binary_slot<&PyNumberMethods::nb_lshift, "lshift">;
    number->nb_and = binary_slot<&PyNumberMethods::nb_and, "and_">;
    number->nb_or = binary_slot<&PyNumberMethods::nb_or, "or_">;
    number->nb_negative = unary_slot<"neg">;
    number->nb_positive = unary_slot<"pos">;
    number->nb_invert = unary_slot<"not_">;
    reinterpret_cast<PyTypeObject*>(cls)->tp_richcompare = richcompare_slot;
}

// Calling an object whose class has only tp_call packs the arguments into a
// tuple first, which is a fifth of the time of evaluating `this.length * 2`.
// Node classes therefore give their instances a vectorcall entry: one pointer
// more of instance layout, written when an instance is allocated, whether by
// the class or by pickle's object.__new__. Subclasses made in Python keep the
// pointer in their layout but, being mutable classes, do not inherit the entry
// and call through tp_call. The five classes record the pointer as the same
// added slot, so that __class__ can still be assigned between them.
PyObject* allocate_node(PyTypeObject* type, Py_ssize_t nitems) {
    PyObject* self = PyType_GenericAlloc(type, nitems);
    if (self != nullptr) {
        vectorcallfunc entry = node_vectorcall;
        std::memcpy(reinterpret_cast<char*>(self) + type->tp_vectorcall_offset, &entry, sizeof entry);
    }
    return self;
}

bool add_vectorcall_entry(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    auto* heap = reinterpret_cast<PyHeapTypeObject*>(cls);
    Ref added = Ref::steal(Py_BuildValue("(s)", "<vectorcall>"));
    if (!added) return false;
    Py_XSETREF(heap->ht_slots, added.release());
    type->tp_vectorcall_offset = type->tp_basicsize;
    type->tp_basicsize += static_cast<Py_ssize_t>(sizeof(vectorcallfunc));
    type->tp_alloc = allocate_node;
    type->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    return true;
}

bool install_node_slots(PyObject* cls, ternaryfunc call, initproc init, reprfunc repr, reprfunc str) {
    if (!add_vectorcall_entry(cls)) return false;
    install_operator_slots(cls);
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    type->tp_call = call;
    type->tp_init = init;
    type->tp_repr = repr;
    if (str) type->tp_str = str;  // Path2 has no __str__: object's, which calls tp_repr
    return true;
}

// Iterating a path would fall back to item access with 0, 1, 2, ... and, since
// every item is a new path, never end. `__iter__ = None` is the interpreter's
// own way to say "not iterable" (TypeError: 'Path' object is not iterable),
// and subclasses inherit it.
bool forbid_iteration(PyObject* cls) { return PyObject_SetAttrString(cls, "__iter__", Py_None) == 0; }

bool set_div(PyObject* operators) {
    Ref div = native::legacy::attr<"div">(operators);
    if (div) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    Ref truediv = native::legacy::attr<"truediv">(operators);
    return truediv && PyObject_SetAttrString(operators, "div", truediv.get()) == 0;
}

Ref make_opnames(PyObject* operators) {
    static const char* const entries[][2] = {
        {"add", "+"},       {"sub", "-"},      {"mul", "*"},      {"div", "/"},         {"floordiv", "//"},
        {"mod", "%"},       {"pow", "**"},     {"xor", "^"},      {"lshift", "<<"},     {"rshift", ">>"},
        {"and_", "and"},    {"or_", "or"},     {"not_", "not"},   {"neg", "-"},         {"pos", "+"},
        {"contains", "in"}, {"gt", ">"},       {"ge", ">="},      {"lt", "<"},          {"le", "<="},
        {"eq", "=="},       {"ne", "!="},
    };
    Ref table = Ref::steal(PyDict_New());
    if (!table) return table;
    for (const auto& entry : entries) {
        Ref key = Ref::steal(PyObject_GetAttrString(operators, entry[0]));
        Ref symbol = Ref::steal(PyUnicode_InternFromString(entry[1]));
        if (!key || !symbol || PyDict_SetItem(table.get(), key.get(), symbol.get()) < 0) return Ref();
    }
    return table;
}

Ref make_node_class(PyObject* module, const char* name, PyMethodDef* methods, PyObject* base) {
    return native::make_class(module, native::ClassRecipe{name, nullptr, methods}, {base});
}

// Builtins::name, for the module-level function paths.
Ref builtin(const char* name) {
    PyObject* value = PyDict_GetItemString(PyEval_GetBuiltins(), name);  // borrowed
    if (value == nullptr) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return Ref::new_reference(value);
}

Ref call_class(PyObject* module, const char* cls, PyObject* argument) {
    Ref type = Ref::steal(PyObject_GetAttrString(module, cls));
    if (!type) return type;
    return native::call(type.get(), argument);
}

Ref make_path(PyObject* module, const char* cls, const char* name) {
    Ref text = Ref::steal(PyUnicode_InternFromString(name));
    if (!text) return text;
    return call_class(module, cls, text.get());
}

Ref make_funcpath(PyObject* module, const char* name) {
    Ref function = builtin(name);
    if (!function) return function;
    return call_class(module, "FuncPath", function.get());
}

int exec_expr(PyObject* module) {
    if (!intern_names()) return -1;
    Ref operators = native::import("operator");
    if (!operators || !native::bind(module, "operator", Ref::new_reference(operators.get()))) return -1;
    if (!set_div(operators.get())) return -1;
    if (!native::bind(module, "opnames", make_opnames(operators.get()))) return -1;
    if (!learn_functions(operators.get())) return -1;

    Ref mixin = native::make_class(module, native::ClassRecipe{"ExprMixin", nullptr, exprmixin_methods, nullptr, true},
                                   {reinterpret_cast<PyObject*>(&PyBaseObject_Type)});
    if (!mixin || !native::add_alias(mixin.get(), "__div__", "__floordiv__") ||
        !native::add_alias(mixin.get(), "__rdiv__", "__rfloordiv__") ||
        !native::add_alias(mixin.get(), "__inv__", "__invert__"))
        return -1;
    install_operator_slots(mixin.get());
    if (!native::bind(module, "ExprMixin", Ref::new_reference(mixin.get()))) return -1;

    Ref uniexpr = make_node_class(module, "UniExpr", uniexpr_methods, mixin.get());
    if (!uniexpr || !install_node_slots(uniexpr.get(), uniexpr_tp_call, uniexpr_tp_init,
                                        print_slot<uniexpr_print<true>>, print_slot<uniexpr_print<false>>))
        return -1;
    if (!native::bind(module, "UniExpr", std::move(uniexpr))) return -1;

    Ref binexpr = make_node_class(module, "BinExpr", binexpr_methods, mixin.get());
    if (!binexpr || !install_node_slots(binexpr.get(), binexpr_tp_call, binexpr_tp_init,
                                        print_slot<binexpr_print<true>>, print_slot<binexpr_print<false>>))
        return -1;
    if (!native::bind(module, "BinExpr", std::move(binexpr))) return -1;

    Ref path = make_node_class(module, "Path", path_methods, mixin.get());
    if (!path || !forbid_iteration(path.get()) ||
        !install_node_slots(path.get(), path_tp_call, path_tp_init, print_slot<path_print<true>>,
                            print_slot<path_print<false>>))
        return -1;
    reinterpret_cast<PyTypeObject*>(path.get())->tp_getattro = path_getattro;
    if (!native::bind(module, "Path", std::move(path))) return -1;

    Ref path2 = make_node_class(module, "Path2", path2_methods, mixin.get());
    if (!path2 || !forbid_iteration(path2.get()) ||
        !install_node_slots(path2.get(), path2_tp_call, path2_tp_init, print_slot<path2_repr>, nullptr))
        return -1;
    if (!native::bind(module, "Path2", std::move(path2))) return -1;

    Ref funcpath = make_node_class(module, "FuncPath", funcpath_methods, mixin.get());
    if (!funcpath || !install_node_slots(funcpath.get(), funcpath_tp_call, funcpath_tp_init,
                                         print_slot<funcpath_print<true>>, print_slot<funcpath_print<false>>))
        return -1;
    if (!native::bind(module, "FuncPath", std::move(funcpath))) return -1;

    if (!native::bind(module, "this", make_path(module, "Path", "this"))) return -1;
    if (!native::bind(module, "obj_", make_path(module, "Path", "obj_"))) return -1;
    if (!native::bind(module, "list_", make_path(module, "Path2", "list_"))) return -1;
    if (!native::bind(module, "len_", make_funcpath(module, "len"))) return -1;
    if (!native::bind(module, "sum_", make_funcpath(module, "sum"))) return -1;
    if (!native::bind(module, "min_", make_funcpath(module, "min"))) return -1;
    if (!native::bind(module, "max_", make_funcpath(module, "max"))) return -1;
    if (!native::bind(module, "abs_", make_funcpath(module, "abs"))) return -1;
    return 0;
}

}  // namespace

NATIVE_LEGACY_MODULE(expr, "tavro.expr", exec_expr)
