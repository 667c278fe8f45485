// tavro.expr: lazy expression trees. Operators applied to expression objects
// build nodes; calling a node with a context computes its value.
//
// ExprMixin is a native base class (classes.hpp, NativeBase) whose instances
// carry a vectorcall entry and a memo of their own; UniExpr, BinExpr, Path,
// Path2 and FuncPath are ordinary classes made by the `type` metaclass below
// it, adding nothing to its layout, so that __class__ can be assigned between
// all of them. Behaviour lives in method descriptors. Building and evaluating
// are the hot paths (an expression is built once and evaluated for every
// parsed record), so the exact classes additionally get native slots (tp_call
// with the vectorcall entry, tp_init, the number and comparison slots, Path's
// tp_getattro) that run the same code as the methods without the generic
// slot's look-up and argument packing. The interpreter recomputes a slot
// whenever the matching dunder is assigned on the class or a base, and gives
// subclasses generic slots that call the methods, so a native slot is only
// ever in place while the class's dunder is still our own method.
//
// What each remembered verdict depends on (native.hpp, rule 4):
//   - the class verdict (ClassVerdicts: the state names are read from the
//     instance dict): the class's attribute hook and every class of its MRO
//     with its dict, all seen by the class's version tag; the verdict holds
//     only where no class defines any state name, so no object found there
//     (whose type could gain __set__ unseen) enters it;
//   - a node's memo (MemoEntry): the class's version tag, the identity and
//     stamp of the instance dict (every key an exact str), the values read
//     (held by the dict while the stamp holds);
//   - namespace look-ups (NamespaceMemo): the dict (this module's, the
//     operator module's) by its stamp, every key an exact str, the value
//     held by the dict meanwhile;
//   - operator functions applied natively (KnownFunctions): recognised by
//     their C entry point, checked at import; builtin functions do not
//     change.
#include "native.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>

namespace {

using native::Ref;
using native::name;

// ---- module state ------------------------------------------------------------

using ExprNames = native::Names<
    // instance attributes
    "op", "operand", "lhs", "rhs", "_Path__name", "_Path__field", "_Path__parent", "_Path2__name", "_Path2__index",
    "_Path2__parent", "_FuncPath__func", "_FuncPath__operand",
    // module globals
    "operator", "opnames", "UniExpr", "BinExpr", "Path", "Path2", "FuncPath",
    // operator functions, as attributes of the operator module
    "add", "sub", "mul", "div", "truediv", "floordiv", "mod", "pow", "xor", "lshift", "rshift", "and_", "or_",
    "neg", "pos", "not_", "contains", "gt", "ge", "lt", "le", "eq", "ne",
    // everything else
    "__getattr__", "__getattribute__", "__dict__", "__class__", "__slots__", "__base__", "__name__", "__iter__",
    "__hash__", "__vectorcalloffset__", "items", "update", "%s_", "len", "sum", "min", "max", "abs">;

// ---- operator functions applied natively ---------------------------------------
//
// Evaluation ends in a call of an operator function. When that function is
// the interpreter's own `_operator.mul` (or `len`, ...), calling the abstract
// API it wraps gives the same result and the same exceptions without the call
// machinery. Functions are recognised by their C entry point, which the
// genuine functions were checked to have at module execution.

enum class Apply : unsigned char { number2, power, compare, contains, number1, logical_not, length };

// The integer operations done here for two ints that fit a long long, as the
// interpreter's own int arithmetic does them (its specialised instructions
// do the same for the equivalent Python code).
enum class IntOp : unsigned char { none, add, sub, mul, and_, or_, xor_ };

struct KnownFunction {
    PyCFunction meth;  // null: an empty slot
    Apply kind;
    binaryfunc number2;
    unaryfunc number1;
    int compare;
    IntOp int_op;

    // Whether it is applied here to two arguments (else it is called, and
    // reports the count itself), or to one.
    bool binary() const { return kind <= Apply::contains; }
    bool unary() const { return kind >= Apply::number1; }
};

// An open-addressing table keyed by the C entry point. Filled while the
// module executes, read-only afterwards: shared by every thread as it is.
class KnownFunctions {
public:
    const KnownFunction* find(PyObject* function) const {
        if (!PyCFunction_CheckExact(function)) return nullptr;
        const PyCFunction meth = PyCFunction_GET_FUNCTION(function);
        for (std::size_t i = slot_of(meth);; i = (i + 1) % kSlots) {
            if (table_[i].meth == meth) return &table_[i];
            if (table_[i].meth == nullptr) return nullptr;
        }
    }

    // Records `source.attribute` if it is the genuine function `attribute`
    // of the module `module_name` (a replaced attribute is simply not
    // recognised). False with an exception only when the interpreter fails.
    bool learn(PyObject* source, const char* attribute, const char* module_name, KnownFunction entry) {
        Ref function = Ref::steal(PyObject_GetAttrString(source, attribute));
        if (!function) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            return true;
        }
        if (!PyCFunction_CheckExact(function.get())) return true;
        PyObject* owner = PyCFunction_GET_SELF(function.get());
        const PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(function.get())->m_ml;
        if (owner == nullptr || !PyModule_Check(owner) || std::strcmp(def->ml_name, attribute) != 0) return true;
        const char* owner_name = PyModule_GetName(owner);
        if (owner_name == nullptr) return false;
        if (std::strcmp(owner_name, module_name) != 0) return true;
        entry.meth = def->ml_meth;
        for (std::size_t i = slot_of(entry.meth);; i = (i + 1) % kSlots) {
            if (table_[i].meth == entry.meth) return true;
            if (table_[i].meth == nullptr) {
                table_[i] = entry;
                return true;
            }
        }
    }

private:
    static constexpr unsigned kHashShift = 58;
    static constexpr std::size_t kSlots = 64;
    static_assert(kSlots == std::size_t{1} << (64 - kHashShift), "slot_of takes the top bits of the hash");

    static std::size_t slot_of(PyCFunction meth) {
        const auto address = reinterpret_cast<std::uintptr_t>(meth);
        return static_cast<std::size_t>((static_cast<std::uint64_t>(address) * UINT64_C(0x9E3779B97F4A7C15)) >>
                                        kHashShift);
    }

    KnownFunction table_[kSlots];  // fewer than half full: probing ends
};

// ---- what the module remembers --------------------------------------------------

// Whether attribute access on the instances of a class reads the state
// names from the instance dict: no class in its MRO defines any of them (a
// data descriptor there would win, a plain attribute would answer a miss)
// and attribute access is the generic one (or Path's, which differs only on
// a miss). That depends only on the class and its bases, which the version
// tag tracks, and on nothing found there (nothing is): a native::
// ClassVerdicts remembers it per tag, per module.

// Look-ups in namespaces (the module's dict, the operator module's dict).
// When every key of a dict is an exact str, looking an exact str up in it
// runs no code of the caller's, and its answer changes only with the dict:
// the answer is remembered under the dict's stamp (changes.hpp), with the
// value borrowed from the dict, which holds it while the stamp matches. Per
// module, where the GIL serialises its users; disabled on free-threaded
// builds (the value is borrowed), which look every name up.
struct NamespaceEntry {
    native::DictStamp stamp;
    PyObject* key;    // interned, held by the module state's names
    PyObject* value;  // borrowed from the dict while the stamp matches
};

struct NamespaceMemo {
    static constexpr unsigned kBits = 6;
    static constexpr std::size_t kSlots = std::size_t{1} << kBits;
    NamespaceEntry entries[kSlots];
    native::Remembered<bool> exact_keys[4];  // per dict: every key an exact str
    unsigned int next_exact;                 // the slot of exact_keys to reuse next
};

struct ExprState : native::ModuleState<ExprNames> {
    KnownFunctions known;      // immutable after exec
    native::ClassVerdicts verdicts;  // atomics, shared by every thread
    NamespaceMemo namespaces;  // GIL builds only

    int traverse(visitproc visit, void* arg) { return traverse_shared(visit, arg); }
    void clear() {
        clear_shared();
        known = KnownFunctions{};
        verdicts.forget();
        namespaces = NamespaceMemo{};
    }
};

ExprState* state_of(PyObject* module) { return native::state_of<ExprState>(module); }

// The state of the module whose class `cls` is (a class of ours, or the class
// that defines a method being called). Null with an exception otherwise.
ExprState* state_of(PyTypeObject* cls) { return native::state_of<ExprState>(cls); }

// The module of the class that defines a method (or of our exact class, for
// a native slot). Borrowed; null with an exception.
PyObject* module_of(PyTypeObject* cls) { return PyType_GetModule(cls); }

// The state of the module of one of our exact classes, whose ht_module is
// that module (make_class and PyType_FromModuleAndSpec set it). Null with
// TypeError once the collector has cleared the class, which lets go of it.
inline ExprState* exact_class_state(PyTypeObject* cls) {
    PyObject* module = reinterpret_cast<PyHeapTypeObject*>(cls)->ht_module;
    if (module == nullptr) [[unlikely]]
        return static_cast<ExprState*>(PyType_GetModuleState(cls));  // raises the TypeError
    return static_cast<ExprState*>(PyModule_GetState(module));
}

// ---- the instances ----------------------------------------------------------------
//
// What every ExprMixin instance is, whatever class derives from ExprMixin
// (a class cannot derive from it and add a layout of another native class).
// Every function below that takes a node is reached only with an instance of
// ExprMixin: through a method descriptor (which checks the instance), a
// native slot of one of our exact classes, or a tp_call comparison.

enum class NodeKind : unsigned char { none, uniexpr, binexpr, path, path2, funcpath };

// What an evaluation of a node read from its instance dict, and the state
// in which it read it: while its class has the same version tag, the
// instance has the same dict and the dict the same stamp, reading the same
// names gives the same objects, and reading them runs no code of the
// caller's (the dict's keys were all exact str when the stamp was taken).
struct MemoEntry {
    native::DictStamp dict;  // the instance dict and its stamp
    unsigned int type_tag;   // the class's version tag then
    NodeKind kind;           // whose names `values` hold; none: nothing remembered
    PyObject* values[3];
};

// Where the GIL serialises the callers, a node remembers the last entry in
// itself, with the values borrowed from the dict, which holds them while the
// stamp matches.
class SerialMemo {
public:
    const MemoEntry* remembered() const { return &entry_; }

    // Keeps `entry`, whose values the dict holds (`held` are references to
    // them, kept by the caller until this returns).
    bool keep(MemoEntry entry, Ref (&held)[3]) {
        for (std::size_t i = 0; i < 3; ++i) entry.values[i] = held[i].get();
        entry_ = entry;
        return true;
    }
    // True the first time only.
    bool first_sight() { return !std::exchange(seen_, true); }
    void forget() {}
    int visit(visitproc, void*) const { return 0; }

private:
    MemoEntry entry_;
    bool seen_;  // evaluated once: the next evaluation remembers
};

// On free-threaded builds another thread may change the dict, and drop its
// values, while an evaluation uses them; and an evaluation that took a
// reference to each value would make every thread write to the reference
// counts of the shared nodes. So an entry is published as a record that
// holds strong references and never changes. Readers use a record without
// taking references, so a record is freed only with its node: a record
// replaced by a newer one stays on the newer one's `older` list. A node
// publishes at most kRecords records (a node whose attributes keep changing
// is read plainly from then on).
class SharedMemo {
public:
    static constexpr unsigned int kRecords = 4;

    const MemoEntry* remembered() const {
        const Record* record = current_.load(std::memory_order_acquire);
        return record == nullptr ? nullptr : &record->entry;
    }

    // Publishes `entry` with the references of `held`. False when the node
    // has published all it may, or another thread published meanwhile (its
    // record stays).
    bool keep(MemoEntry entry, Ref (&held)[3]) {
        if (published_.fetch_add(1, std::memory_order_relaxed) >= kRecords) return false;
        for (std::size_t i = 0; i < 3; ++i) entry.values[i] = held[i].get();
        auto* record = new (std::nothrow) Record{entry, current_.load(std::memory_order_acquire)};
        if (record == nullptr) return false;
        if (!current_.compare_exchange_strong(record->older, record, std::memory_order_acq_rel)) {
            delete record;
            return false;
        }
        for (Ref& value : held) static_cast<void>(value.release());  // the record's now
        return true;
    }
    bool first_sight() { return !seen_.exchange(true, std::memory_order_relaxed); }

    // Releases every record (when no thread can reach the node any more).
    void forget() {
        Record* record = current_.exchange(nullptr, std::memory_order_acq_rel);
        while (record != nullptr) {
            Record* older = record->older;
            for (PyObject* value : record->entry.values) Py_XDECREF(value);
            delete record;
            record = older;
        }
    }
    int visit(visitproc visit, void* arg) const {
        for (const Record* record = current_.load(std::memory_order_acquire); record != nullptr;
             record = record->older)
            for (PyObject* value : record->entry.values) Py_VISIT(value);
        return 0;
    }

private:
    struct Record {
        MemoEntry entry;  // the values are strong references
        Record* older;    // the record this one replaced
    };
    std::atomic<Record*> current_;
    std::atomic<unsigned int> published_;
    std::atomic<bool> seen_;
};

using NodeMemo = std::conditional_t<native::compat::free_threaded, SharedMemo, SerialMemo>;

struct ExprObject {
    native::NativeBase base;   // __dict__, __weakref__
    vectorcallfunc entry;      // null, or node_vectorcall (see install_call_slot)
    NodeMemo memo;
};

ExprObject* as_node(PyObject* self) { return reinterpret_cast<ExprObject*>(self); }

PyObject* node_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// Every node initialised by our code (__init__, the building path,
// __setstate__) calls through the fast entry from then on.
inline void set_entry(PyObject* self) {
    ExprObject* node = as_node(self);
    if (node->entry != node_vectorcall) node->entry = node_vectorcall;
}

// ---- the methods, each declared once by its text signature -------------------------
//
// The bodies follow with each class (__init__'s with the building of
// instances; the __call__ and printing wrappers that several classes share
// are below); here each method is declared by its text signature, once, and
// the native slots of the exact classes are derived from the same declaration.

// The evaluations take the module state, or null for a node of one of our
// exact classes (reached through its native tp_call), whose own module's state
// is then taken when it is needed: a path whose memo is current needs none.
Ref evaluate_uniexpr(PyObject* self, PyObject* obj, ExprState* st);
Ref evaluate_binexpr(PyObject* self, PyObject* obj, ExprState* st);
Ref evaluate_path(PyObject* self, PyObject* obj, ExprState* st);
Ref evaluate_path2(PyObject* self, PyObject* const* args, Py_ssize_t nargs, ExprState* st);
Ref evaluate_funcpath(PyObject* self, PyObject* argument, ExprState* st, PyTypeObject* defining_class);

// __call__(obj, *args) of UniExpr, BinExpr and Path: Evaluate with the state
// of the module of the class that defines the method; the rest is ignored.
template <Ref (*Evaluate)(PyObject*, PyObject*, ExprState*)>
PyObject* evaluate_method(PyObject* self, PyTypeObject* cls, PyObject* obj, PyObject* const*, Py_ssize_t) {
    ExprState* st = state_of(cls);
    if (st == nullptr) return nullptr;
    return Evaluate(self, obj, st).release();
}

// __repr__ or __str__: Body(self, module, state) under the recursion guard,
// with the module of the class that defines the method.
template <auto Body>
PyObject* printed(PyObject* self, PyTypeObject* cls) {
    PyObject* module = module_of(cls);
    if (module == nullptr) return nullptr;
    native::RecursionGuard guard(" while printing an expression");
    if (!guard) return nullptr;
    return Body(self, module, state_of(module)).release();
}

// One argument per attribute name: __init__ assigns self.<Keys> in order.
template <native::Literal>
using Arg = PyObject*;
template <native::Literal... Keys>
PyObject* init_method(PyObject* self, PyTypeObject* cls, Arg<Keys>... values);

template <bool Repr>
Ref uniexpr_print(PyObject* self, PyObject* module, ExprState* st);
template <bool Repr>
Ref binexpr_print(PyObject* self, PyObject* module, ExprState* st);
template <bool Repr>
Ref path_print(PyObject* self, PyObject* module, ExprState* st);
PyObject* path_getfield(PyObject* self, PyTypeObject* cls);
PyObject* path_getattr(PyObject* self, PyTypeObject* cls, PyObject* key);
PyObject* path_getitem(PyObject* self, PyTypeObject* cls, PyObject* key);
Ref path2_repr(PyObject* self, PyObject* module, ExprState* st);
PyObject* path2_call(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs);
PyObject* path2_getitem(PyObject* self, PyTypeObject* cls, PyObject* index);
template <bool Repr>
Ref funcpath_print(PyObject* self, PyObject* module, ExprState* st);
PyObject* funcpath_call(PyObject* self, PyTypeObject* cls, PyObject* operand, PyObject* const* rest, Py_ssize_t nrest);

// A method and the native slot forms derived from the same declaration.
template <native::Literal Text, auto Body>
struct Declared {
    static PyMethodDef def() { return native::method<Text, Body>(); }
    static constexpr initproc init() { return native::init_slot<Text, Body>; }
    static constexpr ternaryfunc call() { return native::call_slot<Text, Body>; }
    static constexpr reprfunc text() { return native::text_slot<Body>; }
};

using UniExprInit = Declared<"__init__($self, /, op, operand)", init_method<"op", "operand">>;
using UniExprRepr = Declared<"__repr__($self, /)", printed<uniexpr_print<true>>>;
using UniExprStr = Declared<"__str__($self, /)", printed<uniexpr_print<false>>>;
using UniExprCall = Declared<"__call__($self, /, obj, *args)", evaluate_method<evaluate_uniexpr>>;

using BinExprInit = Declared<"__init__($self, /, op, lhs, rhs)", init_method<"op", "lhs", "rhs">>;
using BinExprRepr = Declared<"__repr__($self, /)", printed<binexpr_print<true>>>;
using BinExprStr = Declared<"__str__($self, /)", printed<binexpr_print<false>>>;
using BinExprCall = Declared<"__call__($self, /, obj, *args)", evaluate_method<evaluate_binexpr>>;

using PathInit = Declared<"__init__($self, /, name, field=None, parent=None)",
                          init_method<"_Path__name", "_Path__field", "_Path__parent">>;
using PathRepr = Declared<"__repr__($self, /)", printed<path_print<true>>>;
using PathStr = Declared<"__str__($self, /)", printed<path_print<false>>>;
using PathCall = Declared<"__call__($self, /, obj, *args)", evaluate_method<evaluate_path>>;
using PathGetfield = Declared<"__getfield__($self, /)", path_getfield>;
using PathGetattr = Declared<"__getattr__($self, /, name)", path_getattr>;
using PathGetitem = Declared<"__getitem__($self, /, name)", path_getitem>;

using Path2Init = Declared<"__init__($self, /, name, index=None, parent=None)",
                           init_method<"_Path2__name", "_Path2__index", "_Path2__parent">>;
using Path2Repr = Declared<"__repr__($self, /)", printed<path2_repr>>;
using Path2Call = Declared<"__call__($self, /, *args)", path2_call>;
using Path2Getitem = Declared<"__getitem__($self, /, index)", path2_getitem>;

using FuncPathInit =
    Declared<"__init__($self, /, func, operand=None)", init_method<"_FuncPath__func", "_FuncPath__operand">>;
using FuncPathRepr = Declared<"__repr__($self, /)", printed<funcpath_print<true>>>;
using FuncPathStr = Declared<"__str__($self, /)", printed<funcpath_print<false>>>;
using FuncPathCall = Declared<"__call__($self, /, operand, *args)", funcpath_call>;

constexpr ternaryfunc uniexpr_call_slot = UniExprCall::call();
constexpr ternaryfunc binexpr_call_slot = BinExprCall::call();
constexpr ternaryfunc path_call_slot = PathCall::call();
constexpr ternaryfunc path2_call_slot = Path2Call::call();
constexpr ternaryfunc funcpath_call_slot = FuncPathCall::call();

constexpr initproc uniexpr_init_slot = UniExprInit::init();
constexpr initproc binexpr_init_slot = BinExprInit::init();
constexpr initproc path_init_slot = PathInit::init();
constexpr initproc path2_init_slot = Path2Init::init();
constexpr initproc funcpath_init_slot = FuncPathInit::init();

// ---- reading instance attributes ---------------------------------------------------

PyObject* path_getattro(PyObject* self, PyObject* key);

std::array<PyObject*, 12> state_names(const ExprState* st) {
    return {name<"op">(st),           name<"operand">(st),       name<"lhs">(st),
            name<"rhs">(st),          name<"_Path__name">(st),   name<"_Path__field">(st),
            name<"_Path__parent">(st), name<"_Path2__name">(st), name<"_Path2__index">(st),
            name<"_Path2__parent">(st), name<"_FuncPath__func">(st), name<"_FuncPath__operand">(st)};
}

// Whether a node of `type` reads its state from its dict (above). `tag` is
// the class's version tag, read before.
[[gnu::noinline]] bool check_reads_from_dict(PyTypeObject* type, unsigned int tag, ExprState* st) {
    bool plain = type->tp_getattro == PyObject_GenericGetAttr || type->tp_getattro == path_getattro;
    if (plain) {
        for (PyObject* key : state_names(st)) {
            if (native::compat::type_lookup(type, key)) {
                plain = false;
                break;
            }
        }
    }
    // A look-up in a class dict with keys of the caller's may have run code
    // that changed the class: then the verdict is not remembered.
    if (native::compat::type_version(type) == tag) st->verdicts.note(plain, tag);
    return plain;
}

inline bool reads_from_dict(PyTypeObject* type, unsigned int tag, ExprState* st) {
    if (std::optional<bool> known = st->verdicts.known(tag)) return *known;
    return check_reads_from_dict(type, tag, st);
}

// The node's dict, held; null when it has none. Taken in the node's critical
// section, where __dict__ assignment replaces it: on free-threaded builds
// another thread may replace it, and free it, at any moment.
Ref held_node_dict(PyObject* self) {
    return native::compat::in_critical_section(self, [self] { return Ref::new_reference(as_node(self)->base.dict); });
}

// self.<key>, read once, as attribute access reads it. New reference or null.
// Where the class reads the state names from the instance dict, that read is
// the dict look-up, made here directly; a miss goes the generic way, which
// raises the AttributeError (or builds a child, for a Path) and looks the
// dict up once more.
Ref read_attr(PyObject* self, PyObject* key, ExprState* st) {
    PyTypeObject* type = Py_TYPE(self);
    const unsigned int tag = native::compat::type_version(type);
    if (tag != 0 && reads_from_dict(type, tag, st)) {
        Ref dict = held_node_dict(self);  // the look-up may run code that replaces it
        if (dict && PyDict_CheckExact(dict.get())) {
            PyObject* value = nullptr;
            const int found = PyDict_GetItemRef(dict.get(), key, &value);
            if (found != 0) return Ref::steal(value);
        }
    }
    return native::attr(self, key);
}

// The names that a node of each kind reads when it is evaluated, in the
// order of its attributes.
template <NodeKind Kind>
struct EvaluationNames;
template <>
struct EvaluationNames<NodeKind::uniexpr> {
    enum : std::size_t { op, operand, size };
    static std::array<PyObject*, size> of(const ExprState* st) { return {name<"op">(st), name<"operand">(st)}; }
};
template <>
struct EvaluationNames<NodeKind::binexpr> {
    enum : std::size_t { op, lhs, rhs, size };
    static std::array<PyObject*, size> of(const ExprState* st) {
        return {name<"op">(st), name<"lhs">(st), name<"rhs">(st)};
    }
};
template <>
struct EvaluationNames<NodeKind::path> {
    enum : std::size_t { field, parent, size };
    static std::array<PyObject*, size> of(const ExprState* st) {
        return {name<"_Path__field">(st), name<"_Path__parent">(st)};
    }
};
template <>
struct EvaluationNames<NodeKind::path2> {
    enum : std::size_t { index, parent, size };
    static std::array<PyObject*, size> of(const ExprState* st) {
        return {name<"_Path2__index">(st), name<"_Path2__parent">(st)};
    }
};
template <>
struct EvaluationNames<NodeKind::funcpath> {
    enum : std::size_t { func, operand, size };
    static std::array<PyObject*, size> of(const ExprState* st) {
        return {name<"_FuncPath__func">(st), name<"_FuncPath__operand">(st)};
    }
};

// The dict of a node, for comparison only: another thread may replace it
// (__dict__ assignment) at any time on free-threaded builds.
inline PyObject* node_dict(const ExprObject* node) { return __atomic_load_n(&node->base.dict, __ATOMIC_ACQUIRE); }

// The values a node of kind `Kind` remembers, when they are current (see
// MemoEntry): they are then what reading the attributes gives, and stay so
// until code of the caller's runs (or, on free-threaded builds, another
// thread changes the node: the values then stay alive, and the evaluation
// is one that ran before the change). Null otherwise.
template <NodeKind Kind>
[[gnu::always_inline]] inline PyObject* const* current_values(PyObject* self) {
    const ExprObject* node = as_node(self);
    const MemoEntry* m = node->memo.remembered();
    // An entry of a kind always has a non-zero tag (see remember_reads).
    if (m != nullptr && m->kind == Kind && m->dict.unchanged(node_dict(node)) &&
        native::compat::type_version_is(Py_TYPE(self), m->type_tag))
        return m->values;
    return nullptr;
}

// Remembers what the node's dict holds now, if the state allows: the class
// reads the state names from the dict, the dict is an exact dict whose keys
// are all exact str and that holds every name. True when it did.
template <NodeKind Kind>
[[gnu::noinline]] bool remember_reads(PyObject* self, ExprState* st) {
    using Names = EvaluationNames<Kind>;
    PyTypeObject* type = Py_TYPE(self);
    const unsigned int tag = native::compat::type_version(type);
    if (tag == 0 || !reads_from_dict(type, tag, st)) return false;
    Ref dict = held_node_dict(self);
    if (!dict || !PyDict_CheckExact(dict.get())) return false;
    MemoEntry entry{st->changes.stamp(dict.get()), tag, Kind, {}};
    if (entry.dict.dict == nullptr) return false;
    // Walked in its critical section.
    if (!native::compat::in_critical_section(dict.get(), [&] { return native::keys_are_exact_str(dict.get()); }))
        return false;
    // Exact str keys only: none of these look-ups runs code.
    const auto keys = Names::of(st);
    Ref values[3];
    for (std::size_t i = 0; i < Names::size; ++i) {
        PyObject* value = nullptr;
        const int found = PyDict_GetItemRef(dict.get(), keys[i], &value);
        if (found <= 0) {
            if (found < 0) PyErr_Clear();  // the plain reads report it
            return false;
        }
        values[i] = Ref::steal(value);
    }
    if (!entry.dict.unchanged(dict.get()) || native::compat::type_version(type) != tag) return false;
    return as_node(self)->memo.keep(entry, values);
}

// The values of the node's memo if it is current for an evaluation about to
// start: it is, or it was filled now. A node evaluated for the first time is
// not remembered yet (many nodes are built, evaluated once and dropped).
template <NodeKind Kind>
PyObject* const* acquire_memo(PyObject* self, ExprState* st) {
    if (PyObject* const* values = current_values<Kind>(self)) return values;
    if (as_node(self)->memo.first_sight()) return nullptr;
    return remember_reads<Kind>(self, st) ? current_values<Kind>(self) : nullptr;
}

// The attribute reads of one evaluation of a node, step by step. Evaluation
// reads each attribute as attribute access does, and an operand twice (once
// to see whether it is callable, once to use it). While the node's memo is
// current, a read is the memo's value and the second read is the first one:
// the same object, and no code of the caller's runs either way. Anything
// that can run code (calling an operand) is followed by recheck(), which
// drops to plain reads if that code changed the node.
template <NodeKind Kind>
class NodeReads {
public:
    using Names = EvaluationNames<Kind>;

    NodeReads(PyObject* self, ExprState* st, PyObject* const* values) : self_(self), st_(st), values_(values) {}

    Ref read(std::size_t i) const {
        if (values_ != nullptr) return Ref::new_reference(values_[i]);
        return read_attr(self_, Names::of(st_)[i], st_);
    }
    // The second read of attribute i, whose first read gave `first`.
    Ref read_again(std::size_t i, Ref first) const {
        if (values_ != nullptr) return first;
        return read_attr(self_, Names::of(st_)[i], st_);
    }
    // After running code of the caller's.
    void recheck() {
        if (values_ != nullptr) values_ = current_values<Kind>(self_);
    }
    ExprState* state() const { return st_; }

private:
    PyObject* self_;
    ExprState* st_;
    PyObject* const* values_;  // the memo's, while it is current
};

// ---- namespaces ----------------------------------------------------------------------

// A slot of a direct-mapped table of 2**Bits entries for the pair (a, b).
template <unsigned Bits>
inline std::size_t pair_slot(const void* a, const void* b) {
    const std::uint64_t mixed = ((reinterpret_cast<std::uintptr_t>(a) >> 4) ^
                                 (reinterpret_cast<std::uintptr_t>(b) << 7)) * UINT64_C(0x9E3779B97F4A7C15);
    return static_cast<std::size_t>(mixed >> (64 - Bits));
}

// native::keys_are_exact_str(dict), remembered under the dict's stamp for
// the few namespaces the module reads (GIL builds only).
bool keys_known_exact(PyObject* dict, ExprState* st) {
    NamespaceMemo& memo = st->namespaces;
    for (native::Remembered<bool>& known : memo.exact_keys)
        if (known.stamp.dict == dict) return native::checked(st->changes, dict, known, native::keys_are_exact_str);
    native::Remembered<bool>& known = memo.exact_keys[memo.next_exact++ % std::size(memo.exact_keys)];
    known = {};
    return native::checked(st->changes, dict, known, native::keys_are_exact_str);
}

// dict[key] for an exact dict and an interned str key: 1 with a new
// reference, 0 when missing, -1 with an exception. See NamespaceMemo.
int namespace_lookup(PyObject* dict, PyObject* key, ExprState* st, Ref& out) {
    PyObject* value = nullptr;
    if constexpr (native::compat::free_threaded) {
        const int found = PyDict_GetItemRef(dict, key, &value);
        out = Ref::steal(value);
        return found;
    } else {
        NamespaceMemo& memo = st->namespaces;
        NamespaceEntry& entry = memo.entries[pair_slot<NamespaceMemo::kBits>(dict, key)];
        if (entry.key == key && st->changes.unchanged(dict, entry.stamp)) {
            out = Ref::new_reference(entry.value);
            return 1;
        }
        const native::DictStamp before = st->changes.stamp(dict);
        const int found = PyDict_GetItemRef(dict, key, &value);
        out = Ref::steal(value);
        if (found > 0 && before.dict != nullptr && keys_known_exact(dict, st) && st->changes.unchanged(dict, before))
            entry = NamespaceEntry{before, key, value};
        return found;
    }
}

// The module global `key`, read now: the module dict, then builtins, else
// NameError (native::global does the latter two).
Ref module_global(PyObject* module, PyObject* key, ExprState* st) {
    Ref value;
    PyObject* ns = native::namespace_of(module);
    const int found = ns == nullptr ? 0 : namespace_lookup(ns, key, st, value);
    if (found != 0) return value;
    return native::global(module, key);
}

template <native::Literal Name>
Ref module_global(PyObject* module, ExprState* st) {
    return module_global(module, name<Name>(st), st);
}

// operators.<Op>. For a plain module object that is its dict entry (module
// objects have no class attribute of these names); anything else, or a miss
// (the module's own __getattr__, the error), takes the generic route.
template <native::Literal Op>
Ref operator_function(PyObject* operators, ExprState* st) {
    if (PyObject* ns = Py_IS_TYPE(operators, &PyModule_Type) ? native::namespace_of(operators) : nullptr) {
        Ref value;
        const int found = namespace_lookup(ns, name<Op>(st), st, value);
        if (found != 0) return value;
    }
    return native::attr(operators, name<Op>(st));
}

// ---- applying operators -----------------------------------------------------------

// known(left, right) for two exact compact ints (below 2**30 in magnitude),
// computed here; declines for anything else (other values, a result that
// would not fit a long long).
native::Fast small_int_binary(const KnownFunction& known, PyObject* left, PyObject* right) {
    Py_ssize_t left_value, right_value;
    if (!PyLong_CheckExact(left) || !PyLong_CheckExact(right) ||
        !native::compat::long_compact_value(left, &left_value) ||
        !native::compat::long_compact_value(right, &right_value))
        return native::declined();
    const long long a = left_value, b = right_value;
    if (known.kind == Apply::compare) {
        bool result = false;
        switch (known.compare) {
            case Py_LT: result = a < b; break;
            case Py_LE: result = a <= b; break;
            case Py_EQ: result = a == b; break;
            case Py_NE: result = a != b; break;
            case Py_GT: result = a > b; break;
            case Py_GE: result = a >= b; break;
            default: return native::declined();
        }
        return Ref::new_reference(result ? Py_True : Py_False);
    }
    long long result = 0;
    switch (known.int_op) {
        case IntOp::add:
            if (__builtin_add_overflow(a, b, &result)) return native::declined();
            break;
        case IntOp::sub:
            if (__builtin_sub_overflow(a, b, &result)) return native::declined();
            break;
        case IntOp::mul:
            if (__builtin_mul_overflow(a, b, &result)) return native::declined();
            break;
        case IntOp::and_: result = a & b; break;
        case IntOp::or_: result = a | b; break;
        case IntOp::xor_: result = a ^ b; break;
        default: return native::declined();
    }
    return Ref::steal(PyLong_FromLongLong(result));
}

// known(left, right), applied here (known.binary()). New reference or null.
Ref apply_known_binary(const KnownFunction& known, PyObject* left, PyObject* right) {
    if (known.int_op != IntOp::none || known.kind == Apply::compare) {
        if (native::Fast done = small_int_binary(known, left, right)) return std::move(*done);
    }
    switch (known.kind) {
        case Apply::number2:
            return Ref::steal(known.number2(left, right));
        case Apply::power:
            return Ref::steal(PyNumber_Power(left, right, Py_None));
        case Apply::compare:
            return Ref::steal(PyObject_RichCompare(left, right, known.compare));
        default: {  // contains
            const int found = PySequence_Contains(left, right);
            if (found < 0) return Ref();
            return Ref::new_reference(found ? Py_True : Py_False);
        }
    }
}

// known(value), applied here (known.unary()). New reference or null.
Ref apply_known_unary(const KnownFunction& known, PyObject* value) {
    switch (known.kind) {
        case Apply::number1:
            return Ref::steal(known.number1(value));
        case Apply::logical_not: {
            const int result = PyObject_Not(value);
            if (result < 0) return Ref();
            return Ref::new_reference(result ? Py_True : Py_False);
        }
        default: {  // length
            const Py_ssize_t size = PyObject_Size(value);
            if (size < 0) return Ref();
            return Ref::steal(PyLong_FromSsize_t(size));
        }
    }
}

// The known function that `op` is and that is applied here to `arguments`
// arguments, or null (then it is called).
inline const KnownFunction* applied_here(const ExprState* st, PyObject* op, int arguments) {
    const KnownFunction* known = st->known.find(op);
    if (known == nullptr || (arguments == 2 ? !known->binary() : !known->unary())) return nullptr;
    return known;
}

// op(left, right). New reference or null.
Ref apply_binary(const ExprState* st, PyObject* op, PyObject* left, PyObject* right) {
    if (const KnownFunction* known = applied_here(st, op, 2)) return apply_known_binary(*known, left, right);
    return native::call(op, left, right);
}

// op(value). New reference or null.
Ref apply_unary(const ExprState* st, PyObject* op, PyObject* value) {
    if (const KnownFunction* known = applied_here(st, op, 1)) return apply_known_unary(*known, value);
    return native::call(op, value);
}

// value[key] for anything but an exact dict.
[[gnu::noinline]] Ref subscript_generic(PyObject* value, PyObject* key) {
    return Ref::steal(PyObject_GetItem(value, key));
}

// value[key]. For an exact dict, dict's own subscript, called directly.
[[gnu::always_inline]] inline Ref subscript(PyObject* value, PyObject* key) {
    if (!PyDict_CheckExact(value)) return subscript_generic(value, key);
    return Ref::steal(PyDict_Type.tp_as_mapping->mp_subscript(value, key));
}

// callable(value): its type has a call slot (PyCallable_Check, inlined).
inline bool is_callable(PyObject* value) { return Py_TYPE(value)->tp_call != nullptr; }

// ---- evaluation ------------------------------------------------------------------

// Which of our evaluations a native tp_call of ours runs for a plain call
// with the context (none: any other callable).
enum class Evaluator : unsigned char { none, uniexpr, binexpr, path, funcpath };

inline Evaluator evaluator_of(PyObject* function) {
    const ternaryfunc call = Py_TYPE(function)->tp_call;
    if (call == binexpr_call_slot) return Evaluator::binexpr;
    if (call == path_call_slot) return Evaluator::path;
    if (call == uniexpr_call_slot) return Evaluator::uniexpr;
    if (call == funcpath_call_slot) return Evaluator::funcpath;
    return Evaluator::none;
}

inline Ref evaluate_as(Evaluator evaluator, PyObject* node, PyObject* obj, ExprState* st) {
    switch (evaluator) {
        case Evaluator::binexpr: return evaluate_binexpr(node, obj, st);
        case Evaluator::path: return evaluate_path(node, obj, st);
        case Evaluator::uniexpr: return evaluate_uniexpr(node, obj, st);
        case Evaluator::funcpath: return evaluate_funcpath(node, obj, st, Py_TYPE(node));
        default: return native::call(node, obj);
    }
}

// function(obj). Our own nodes, whose tp_call is still the native one, are
// evaluated in place: that is what their tp_call would do, minus the argument
// tuple. The interpreter's recursion guard is skipped with it, so it is done
// here, except for a path: evaluating one adds a fixed number of frames and
// guards its own recursion (a chain of parents), and any other callable it
// reaches is called through here.
Ref call_with_context(PyObject* function, PyObject* obj, ExprState* st) {
    const Evaluator evaluator = evaluator_of(function);
    if (evaluator == Evaluator::none) return native::call(function, obj);
    if (evaluator == Evaluator::path) return evaluate_path(function, obj, st);
    native::RecursionGuard guard(" while evaluating an expression");
    if (!guard) return Ref();
    return evaluate_as(evaluator, function, obj, st);
}

// The field of `root.field` (borrowed): a Path of our exact class whose memo
// is current, whose parent is one whose memo is current and says it is a
// root. Evaluating such a path is subscripting the context with the field,
// and finding that out runs no code. Null for anything else.
[[gnu::always_inline]] inline PyObject* root_field(PyObject* path) {
    using N = EvaluationNames<NodeKind::path>;
    PyObject* const* values = current_values<NodeKind::path>(path);
    if (values == nullptr) return nullptr;
    PyObject* parent = values[N::parent];
    if (Py_TYPE(parent)->tp_call != path_call_slot) return nullptr;
    PyObject* const* parent_values = current_values<NodeKind::path>(parent);
    if (parent_values == nullptr || parent_values[N::parent] != Py_None) return nullptr;
    return values[N::field];
}

// `func(root.field)` (the common `len_(this.items)`) evaluated in place: a
// FuncPath of our exact class whose memo is current, with a known function
// and a `root.field` operand. That is what its evaluation does (the function
// read first, then the operand evaluated, then the function applied), minus
// the call and the recursion guard: nothing here nests. Declines for any
// other node.
native::Fast known_function_of_root_field(PyObject* node, PyObject* obj, const ExprState* st) {
    using N = EvaluationNames<NodeKind::funcpath>;
    PyObject* const* values = current_values<NodeKind::funcpath>(node);
    if (values == nullptr) return native::declined();
    PyObject* operand = values[N::operand];
    if (Py_TYPE(operand)->tp_call != path_call_slot) return native::declined();
    const KnownFunction* known = applied_here(st, values[N::func], 1);
    PyObject* field = known ? root_field(operand) : nullptr;
    if (field == nullptr) return native::declined();
    Ref held = Ref::new_reference(field);  // the look-up may run code
    Ref value = subscript(obj, held.get());
    if (!value) return value;
    return apply_known_unary(*known, value.get());
}

// The value of an operand whose reads are done: `operand` itself, or, when
// it is callable, what calling it with the context gives. `called` tells
// whether code of the caller's may have run.
[[gnu::always_inline]] inline Ref value_of(PyObject* operand, PyObject* obj, ExprState* st, bool& called) {
    const ternaryfunc call = Py_TYPE(operand)->tp_call;
    called = call != nullptr;
    if (!called) return Ref::new_reference(operand);
    if (call == path_call_slot) {
        if (PyObject* field = root_field(operand)) {
            Ref held = Ref::new_reference(field);  // the look-up may run code
            return subscript(obj, held.get());
        }
    } else if (call == funcpath_call_slot) {
        if (native::Fast done = known_function_of_root_field(operand, obj, st)) return std::move(*done);
    }
    Ref held = Ref::new_reference(operand);  // the call may drop the node's reference
    return call_with_context(held.get(), obj, st);
}

// The value of operand i: read it; if callable, read it again and call it
// with the context, else read it again and use it.
template <NodeKind Kind>
Ref operand_value(NodeReads<Kind>& reads, std::size_t i, PyObject* obj) {
    Ref value = reads.read(i);
    if (!value) return value;
    const bool callable = is_callable(value.get());
    value = reads.read_again(i, std::move(value));
    if (!value || !callable) return value;
    Ref result = call_with_context(value.get(), obj, reads.state());
    reads.recheck();
    return result;
}

// UniExpr.__call__ step by step (see NodeReads).
[[gnu::noinline]] Ref uniexpr_steps(NodeReads<NodeKind::uniexpr> reads, PyObject* obj, ExprState* st) {
    using N = EvaluationNames<NodeKind::uniexpr>;
    Ref operand = operand_value(reads, N::operand, obj);
    if (!operand) return operand;
    Ref op = reads.read(N::op);
    if (!op) return op;
    return apply_unary(st, op.get(), operand.get());
}

Ref evaluate_uniexpr(PyObject* self, PyObject* obj, ExprState* st) {
    using N = EvaluationNames<NodeKind::uniexpr>;
    if (st == nullptr && (st = exact_class_state(Py_TYPE(self))) == nullptr) return Ref();
    PyObject* const* values = current_values<NodeKind::uniexpr>(self);
    if (values == nullptr) return uniexpr_steps({self, st, acquire_memo<NodeKind::uniexpr>(self, st)}, obj, st);
    bool called;
    Ref operand = value_of(values[N::operand], obj, st, called);
    if (!operand) return operand;
    if (called && (values = current_values<NodeKind::uniexpr>(self)) == nullptr) {
        Ref op = read_attr(self, name<"op">(st), st);
        if (!op) return op;
        return apply_unary(st, op.get(), operand.get());
    }
    PyObject* op = values[N::op];  // the memo's, nothing run since: a known one is not held
    if (const KnownFunction* known = applied_here(st, op, 1)) return apply_known_unary(*known, operand.get());
    Ref held = Ref::new_reference(op);
    return native::call(held.get(), operand.get());
}

// BinExpr.__call__ step by step (see NodeReads); `left`, when given, is the
// left value, computed already.
[[gnu::noinline]] Ref binexpr_steps(NodeReads<NodeKind::binexpr> reads, PyObject* obj, ExprState* st,
                                    Ref left = Ref()) {
    using N = EvaluationNames<NodeKind::binexpr>;
    if (!left) left = operand_value(reads, N::lhs, obj);
    if (!left) return left;
    Ref right = operand_value(reads, N::rhs, obj);
    if (!right) return right;
    Ref op = reads.read(N::op);
    if (!op) return op;
    return apply_binary(st, op.get(), left.get(), right.get());
}

Ref evaluate_binexpr(PyObject* self, PyObject* obj, ExprState* st) {
    using N = EvaluationNames<NodeKind::binexpr>;
    if (st == nullptr && (st = exact_class_state(Py_TYPE(self))) == nullptr) return Ref();
    PyObject* const* values = current_values<NodeKind::binexpr>(self);
    if (values == nullptr) return binexpr_steps({self, st, acquire_memo<NodeKind::binexpr>(self, st)}, obj, st);
    bool called;
    Ref left = value_of(values[N::lhs], obj, st, called);
    if (!left) return left;
    if (called && (values = current_values<NodeKind::binexpr>(self)) == nullptr)
        return binexpr_steps({self, st, nullptr}, obj, st, std::move(left));
    PyObject* rhs = values[N::rhs];
    if (!is_callable(rhs)) {
        // A constant right operand: nothing runs before the operator is read,
        // so it and the operator are the memo's, and a known operator is
        // applied without holding it (it is not called).
        PyObject* op = values[N::op];
        if (const KnownFunction* known = applied_here(st, op, 2)) {
            Ref right = Ref::new_reference(rhs);  // applying it may run code
            return apply_known_binary(*known, left.get(), right.get());
        }
        Ref right = Ref::new_reference(rhs);
        Ref held = Ref::new_reference(op);
        return native::call(held.get(), left.get(), right.get());
    }
    Ref right = value_of(rhs, obj, st, called);
    if (!right) return right;
    Ref op = (values = current_values<NodeKind::binexpr>(self)) == nullptr ? read_attr(self, name<"op">(st), st)
                                                                          : Ref::new_reference(values[N::op]);
    if (!op) return op;
    return apply_binary(st, op.get(), left.get(), right.get());
}

// The value of a path's parent (not None) for the context, a new reference
// or null: a Path of ours is evaluated in place under the recursion guard
// (see call_with_context). A pointer, not a Ref: a Ref returned is built in
// the caller's memory, a pointer stays in a register.
[[gnu::always_inline]] inline PyObject* parent_value(PyObject* parent, PyObject* obj, ExprState* st) {
    if (Py_TYPE(parent)->tp_call == path_call_slot) {
        native::RecursionGuard guard(" while evaluating an expression");
        if (!guard) return nullptr;
        return evaluate_path(parent, obj, st).release();
    }
    return call_with_context(parent, obj, st).release();
}

// Path.__call__ from its second step on, step by step (see NodeReads):
// `parent` is the first read of _Path__parent (not None).
[[gnu::noinline]] Ref path_steps(NodeReads<NodeKind::path> reads, PyObject* obj, Ref parent) {
    using N = EvaluationNames<NodeKind::path>;
    ExprState* st = reads.state();
    parent = reads.read_again(N::parent, std::move(parent));
    if (!parent) return parent;
    Ref value = Ref::steal(parent_value(parent.get(), obj, st));
    if (!value) return value;
    reads.recheck();
    Ref field = reads.read(N::field);
    if (!field) return field;
    return subscript(value.get(), field.get());
}

// Path.__call__ when the memo was not current at the start.
[[gnu::noinline]] Ref path_by_reads(PyObject* self, PyObject* obj, ExprState* st) {
    using N = EvaluationNames<NodeKind::path>;
    if (st == nullptr && (st = exact_class_state(Py_TYPE(self))) == nullptr) return Ref();
    NodeReads<NodeKind::path> reads(self, st, acquire_memo<NodeKind::path>(self, st));
    Ref parent = reads.read(N::parent);
    if (!parent || parent.get() == Py_None) return parent ? Ref::new_reference(obj) : std::move(parent);
    return path_steps(reads, obj, std::move(parent));
}

// Path.__call__ with a current memo whose parent (borrowed from it, no code
// run since) is neither None nor a root: evaluate the parent, then read the
// field again from the memo if it is still current, else plainly.
[[gnu::noinline]] Ref path_below(PyObject* self, PyObject* parent, PyObject* obj, ExprState* st) {
    using N = EvaluationNames<NodeKind::path>;
    Ref held = Ref::new_reference(parent);
    Ref value = Ref::steal(parent_value(held.get(), obj, st));
    if (!value) return value;
    PyObject* const* values = current_values<NodeKind::path>(self);
    if (values == nullptr && st == nullptr && (st = exact_class_state(Py_TYPE(self))) == nullptr) return Ref();
    Ref field = values != nullptr ? Ref::new_reference(values[N::field]) : read_attr(self, name<"_Path__field">(st), st);
    if (!field) return field;
    return subscript(value.get(), field.get());
}

// Path.__call__. While the memos are current, `root.field` (the common
// `this.length`) is the context subscripted with the field, read from the
// memos with no code run in between; a longer chain evaluates its parent,
// then reads the field again (path_below).
[[gnu::always_inline]] inline Ref evaluate_path_here(PyObject* self, PyObject* obj, ExprState* st) {
    using N = EvaluationNames<NodeKind::path>;
    PyObject* const* values = current_values<NodeKind::path>(self);
    if (values == nullptr) return path_by_reads(self, obj, st);
    PyObject* parent = values[N::parent];
    if (parent == Py_None) return Ref::new_reference(obj);
    if (Py_TYPE(parent)->tp_call == path_call_slot) {
        PyObject* const* parent_values = current_values<NodeKind::path>(parent);
        if (parent_values != nullptr && parent_values[N::parent] == Py_None) {
            Ref field = Ref::new_reference(values[N::field]);  // held: the look-up may run code
            return subscript(obj, field.get());
        }
    }
    return path_below(self, parent, obj, st);
}

Ref evaluate_path(PyObject* self, PyObject* obj, ExprState* st) { return evaluate_path_here(self, obj, st); }

Ref evaluate_path2(PyObject* self, PyObject* const* args, Py_ssize_t nargs, ExprState* st) {
    using N = EvaluationNames<NodeKind::path2>;
    NodeReads<NodeKind::path2> reads(self, st, acquire_memo<NodeKind::path2>(self, st));
    Ref parent = reads.read(N::parent);
    if (!parent) return parent;
    if (parent.get() == Py_None) {
        if (nargs < 2) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return Ref();
        }
        return Ref::new_reference(args[1]);
    }
    parent = reads.read_again(N::parent, std::move(parent));
    if (!parent) return parent;
    Ref value;
    if (Py_TYPE(parent.get())->tp_call == path2_call_slot) {
        native::RecursionGuard guard(" while evaluating an expression");
        if (!guard) return Ref();
        value = evaluate_path2(parent.get(), args, nargs, st);
    } else {
        value = Ref::steal(PyObject_Vectorcall(parent.get(), args, static_cast<size_t>(nargs), nullptr));
    }
    if (!value) return value;
    reads.recheck();
    Ref index = reads.read(N::index);
    if (!index) return index;
    return subscript(value.get(), index.get());
}

// ---- building instances ----------------------------------------------------------

// self.<key> = value for each pair, in order.
int set_attrs(PyObject* self, std::initializer_list<std::pair<PyObject*, PyObject*>> values) {
    const bool generic = Py_TYPE(self)->tp_setattro == PyObject_GenericSetAttr;
    for (const auto& [key, value] : values) {
        PyObject* stored = value ? value : Py_None;
        if ((generic ? PyObject_GenericSetAttr(self, key, stored) : PyObject_SetAttr(self, key, stored)) < 0)
            return -1;
    }
    return 0;
}

// Sets the call entry, then self.<Keys> = values (None for a null), in order.
template <native::Literal... Keys>
int init_node(PyObject* self, ExprState* st, Arg<Keys>... values) {
    set_entry(self);
    return set_attrs(self, {{name<Keys>(st), values}...});
}
constexpr auto init_uniexpr = init_node<"op", "operand">;
constexpr auto init_binexpr = init_node<"op", "lhs", "rhs">;
constexpr auto init_path = init_node<"_Path__name", "_Path__field", "_Path__parent">;
constexpr auto init_path2 = init_node<"_Path2__name", "_Path2__index", "_Path2__parent">;
constexpr auto init_funcpath = init_node<"_FuncPath__func", "_FuncPath__operand">;

// A node class's __init__: init_node, with the state of the module of the
// class that defines the method.
template <native::Literal... Keys>
PyObject* init_method(PyObject* self, PyTypeObject* cls, Arg<Keys>... values) {
    ExprState* st = state_of(cls);
    if (st == nullptr || init_node<Keys...>(self, st, values...) < 0) return nullptr;
    Py_RETURN_NONE;
}

// cls(*values). When cls is one of our classes with its native __init__ slot
// still in place and the plain `type` metaclass, that call is object.__new__
// followed by the slot's attribute assignments, done here without packing the
// arguments.
template <initproc TpInit, auto Init, class... Values>
Ref instantiate(PyObject* cls, ExprState* st, Values... values) {
    if (PyType_CheckExact(cls)) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        if (type->tp_init == TpInit && type->tp_new == PyBaseObject_Type.tp_new) {
            Ref empty = Ref::steal(PyTuple_New(0));
            if (!empty) return empty;
            Ref instance = Ref::steal(type->tp_new(type, empty.get(), nullptr));
            if (!instance || Init(instance.get(), st, values...) < 0) return Ref();
            return instance;
        }
    }
    return native::call(cls, values...);
}

// BinExpr(operator.<Op>, lhs, rhs) or UniExpr(operator.<Op>, operand), by
// the number of operands, every name read from the module now.
template <native::Literal Op, class... Operands>
Ref build_node(PyObject* module, Operands... operands) {
    constexpr bool binary = sizeof...(Operands) == 2;
    ExprState* st = state_of(module);
    Ref cls = binary ? module_global<"BinExpr">(module, st) : module_global<"UniExpr">(module, st);
    if (!cls) return cls;
    Ref operators = module_global<"operator">(module, st);
    if (!operators) return operators;
    Ref op = operator_function<Op>(operators.get(), st);
    if (!op) return op;
    if constexpr (binary)
        return instantiate<binexpr_init_slot, init_binexpr>(cls.get(), st, op.get(), operands...);
    else
        return instantiate<uniexpr_init_slot, init_uniexpr>(cls.get(), st, op.get(), operands...);
}

// ---- printing ----------------------------------------------------------------------

// fmt % (items...) for a format made of plain ASCII text, "%r" and "%s": the
// same text and the same calls of repr() and str(), left to right, as the
// interpreter's formatting, written without the argument tuple.
template <class... Items>
Ref format_tuple(const char* fmt, Items... items) {
    PyObject* values[] = {items...};
    PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
    if (writer == nullptr) return Ref();
    std::size_t next = 0;
    const char* literal = fmt;
    for (const char* p = fmt;; ++p) {
        if (*p != '%' && *p != '\0') continue;
        if (p != literal && PyUnicodeWriter_WriteASCII(writer, literal, p - literal) < 0) break;
        if (*p == '\0') return Ref::steal(PyUnicodeWriter_Finish(writer));
        ++p;
        PyObject* value = values[next++];
        if ((*p == 'r' ? PyUnicodeWriter_WriteRepr(writer, value) : PyUnicodeWriter_WriteStr(writer, value)) < 0)
            break;
        literal = p + 1;
    }
    PyUnicodeWriter_Discard(writer);
    return Ref();
}

// opnames[op], with opnames read from the module now.
Ref symbol_of(PyObject* module, ExprState* st, PyObject* op) {
    Ref table = module_global<"opnames">(module, st);
    if (!table) return table;
    return Ref::steal(PyObject_GetItem(table.get(), op));
}

// ---- ExprMixin ---------------------------------------------------------------------

template <native::Literal Op, bool Reflected>
PyObject* binary_method(PyObject* self, PyTypeObject* cls, PyObject* other) {
    PyObject* module = module_of(cls);
    if (module == nullptr) return nullptr;
    if (Reflected) return build_node<Op>(module, other, self).release();
    return build_node<Op>(module, self, other).release();
}

template <native::Literal Op>
PyObject* unary_method(PyObject* self, PyTypeObject* cls) {
    PyObject* module = module_of(cls);
    if (module == nullptr) return nullptr;
    return build_node<Op>(module, self).release();
}

// hasattr() as the state protocol defines it: any Exception while reading
// counts as absence. Returns 1, 0, or -1 with an exception set (one that is
// not an Exception, such as KeyboardInterrupt, is never swallowed).
int has_attr(PyObject* object, PyObject* key) {
    Ref value = native::attr(object, key);
    if (value) return 1;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    return 0;
}

PyObject* exprmixin_getstate(PyObject* self, PyTypeObject* cls) {
    ExprState* st = state_of(cls);
    if (st == nullptr) return nullptr;
    Ref attrs = Ref::steal(PyDict_New());
    if (!attrs) return nullptr;
    int has = has_attr(self, name<"__dict__">(st));
    if (has < 0) return nullptr;
    if (has) {
        Ref dict = native::attr(self, name<"__dict__">(st));
        if (!dict) return nullptr;
        if (PyDict_Check(dict.get())) {
            if (PyDict_Update(attrs.get(), dict.get()) < 0) return nullptr;
        } else {
            Ref done = native::call_method(attrs.get(), name<"update">(st), dict.get());
            if (!done) return nullptr;
        }
    }
    Ref slots = Ref::steal(PyList_New(0));
    if (!slots) return nullptr;
    Ref c = native::attr(self, name<"__class__">(st));
    if (!c) return nullptr;
    while (c.get() != Py_None) {
        has = has_attr(c.get(), name<"__slots__">(st));
        if (has < 0) return nullptr;
        if (has) {
            Ref declared = native::attr(c.get(), name<"__slots__">(st));
            if (!declared) return nullptr;
            Ref extended = Ref::steal(PySequence_InPlaceConcat(slots.get(), declared.get()));
            if (!extended) return nullptr;
        }
        c = native::attr(c.get(), name<"__base__">(st));
        if (!c) return nullptr;
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
        Ref value = native::attr(self, slot.get());
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
        if (native::compat::unpacking_counts_sequences && (PyTuple_CheckExact(item) || PyList_CheckExact(item)))
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", Py_SIZE(item));
        else
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

// Pickling and copying make the instance with object.__new__ and hand its
// state to __setstate__, which is also where it gets its call entry.
PyObject* exprmixin_setstate(PyObject* self, PyTypeObject* cls, PyObject* attrs) {
    ExprState* st = state_of(cls);
    if (st == nullptr) return nullptr;
    set_entry(self);
    Ref items = native::call_method(attrs, name<"items">(st));
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

// ---- UniExpr ------------------------------------------------------------------------

template <bool Repr>
Ref uniexpr_print(PyObject* self, PyObject* module, ExprState* st) {
    Ref op = read_attr(self, name<"op">(st), st);
    if (!op) return op;
    Ref symbol = symbol_of(module, st, op.get());
    if (!symbol) return symbol;
    Ref operand = read_attr(self, name<"operand">(st), st);
    if (!operand) return operand;
    return format_tuple(Repr ? "%s %r" : "%s %s", symbol.get(), operand.get());
}

// ---- BinExpr ------------------------------------------------------------------------

template <bool Repr>
Ref binexpr_print(PyObject* self, PyObject* module, ExprState* st) {
    Ref lhs = read_attr(self, name<"lhs">(st), st);
    if (!lhs) return lhs;
    Ref op = read_attr(self, name<"op">(st), st);
    if (!op) return op;
    Ref symbol = symbol_of(module, st, op.get());
    if (!symbol) return symbol;
    Ref rhs = read_attr(self, name<"rhs">(st), st);
    if (!rhs) return rhs;
    return format_tuple(Repr ? "(%r %s %r)" : "(%s %s %s)", lhs.get(), symbol.get(), rhs.get());
}

// ---- Path ----------------------------------------------------------------------------

// Path.__repr__ (dotted) and Path.__str__ (bracketed).
template <bool Repr>
Ref path_print(PyObject* self, PyObject*, ExprState* st) {
    Ref parent = read_attr(self, name<"_Path__parent">(st), st);
    if (!parent) return parent;
    if (parent.get() == Py_None) return read_attr(self, name<"_Path__name">(st), st);
    parent = read_attr(self, name<"_Path__parent">(st), st);
    if (!parent) return parent;
    Ref field = read_attr(self, name<"_Path__field">(st), st);
    if (!field) return field;
    return format_tuple(Repr ? "%r.%s" : "%s[%r]", parent.get(), field.get());
}

PyObject* path_getfield(PyObject* self, PyTypeObject* cls) {
    ExprState* st = state_of(cls);
    if (st == nullptr) return nullptr;
    return read_attr(self, name<"_Path__field">(st), st).release();
}

// Path(self's name, key, self), with Path read from the module now.
Ref path_child(PyObject* module, PyObject* self, PyObject* key) {
    // Reading the name goes through attribute access, which comes back here
    // for an instance that lacks it.
    native::RecursionGuard guard(" while building a path");
    if (!guard) return Ref();
    ExprState* st = state_of(module);
    Ref cls = module_global<"Path">(module, st);
    if (!cls) return cls;
    Ref path_name = read_attr(self, name<"_Path__name">(st), st);
    if (!path_name) return path_name;
    return instantiate<path_init_slot, init_path>(cls.get(), st, path_name.get(), key, self);
}

// Names that begin and end with two underscores are protocol probes
// (__deepcopy__, __length_hint__, ...), never field names: answering them with
// a path makes copy, pickle and friends call the path.
bool is_protocol_name(PyObject* key) {
    if (!PyUnicode_Check(key)) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
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

PyObject* path_getattr(PyObject* self, PyTypeObject* cls, PyObject* key) {
    PyObject* module = module_of(cls);
    if (module == nullptr) return nullptr;
    return path_fallback(module, self, key).release();
}

PyObject* path_getitem(PyObject* self, PyTypeObject* cls, PyObject* key) {
    PyObject* module = module_of(cls);
    if (module == nullptr) return nullptr;
    return path_child(module, self, key).release();
}

// ---- Path2 ---------------------------------------------------------------------------

Ref path2_repr(PyObject* self, PyObject*, ExprState* st) {
    Ref parent = read_attr(self, name<"_Path2__parent">(st), st);
    if (!parent) return parent;
    if (parent.get() == Py_None) return read_attr(self, name<"_Path2__name">(st), st);
    parent = read_attr(self, name<"_Path2__parent">(st), st);
    if (!parent) return parent;
    Ref index = read_attr(self, name<"_Path2__index">(st), st);
    if (!index) return index;
    return format_tuple("%r[%r]", parent.get(), index.get());
}

PyObject* path2_call(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs) {
    ExprState* st = state_of(cls);
    if (st == nullptr) return nullptr;
    return evaluate_path2(self, args, nargs, st).release();
}

PyObject* path2_getitem(PyObject* self, PyTypeObject* cls, PyObject* index) {
    PyObject* module = module_of(cls);
    if (module == nullptr) return nullptr;
    ExprState* st = state_of(module);
    Ref path2 = module_global<"Path2">(module, st);
    if (!path2) return nullptr;
    Ref path_name = read_attr(self, name<"_Path2__name">(st), st);
    if (!path_name) return nullptr;
    return instantiate<path2_init_slot, init_path2>(path2.get(), st, path_name.get(), index, self).release();
}

// ---- FuncPath ------------------------------------------------------------------------

template <bool Repr>
Ref funcpath_print(PyObject* self, PyObject*, ExprState* st) {
    Ref operand = read_attr(self, name<"_FuncPath__operand">(st), st);
    if (!operand) return operand;
    const bool bound = operand.get() != Py_None;
    Ref func = read_attr(self, name<"_FuncPath__func">(st), st);
    if (!func) return func;
    Ref func_name = native::attr(func.get(), name<"__name__">(st));
    if (!func_name) return func_name;
    if (!bound) return Ref::steal(PyUnicode_Format(name<"%s_">(st), func_name.get()));
    operand = read_attr(self, name<"_FuncPath__operand">(st), st);
    if (!operand) return operand;
    return format_tuple(Repr ? "%s_(%r)" : "%s_(%s)", func_name.get(), operand.get());
}

// FuncPath.__call__. The module whose FuncPath global binds a new path is
// that of `defining_class` (the instance's own class, for the native slot).
// Bound, while the memo is current: the function and the operand from the
// memo (every read of the operand gives the same object), then the call.
Ref evaluate_funcpath(PyObject* self, PyObject* argument, ExprState* st, PyTypeObject* defining_class) {
    using N = EvaluationNames<NodeKind::funcpath>;
    if (st == nullptr && (st = exact_class_state(Py_TYPE(self))) == nullptr) return Ref();
    if (PyObject* const* values = current_values<NodeKind::funcpath>(self)) {
        if (values[N::operand] != Py_None) {
            // The function is read before the operand is evaluated: a known
            // one is applied later without holding it (it is not called).
            PyObject* func = values[N::func];
            const KnownFunction* known = applied_here(st, func, 1);
            Ref held = known ? Ref() : Ref::new_reference(func);
            bool called;
            Ref value = value_of(values[N::operand], argument, st, called);
            if (!value) return value;
            if (known) return apply_known_unary(*known, value.get());
            return native::call(held.get(), value.get());
        }
    }
    NodeReads<NodeKind::funcpath> reads(self, st, acquire_memo<NodeKind::funcpath>(self, st));
    Ref operand = reads.read(N::operand);
    if (!operand) return operand;
    if (operand.get() == Py_None) {
        if (!is_callable(argument)) return Ref::new_reference(argument);
        PyObject* module = module_of(defining_class);
        if (module == nullptr) return Ref();
        ExprState* own = state_of(module);
        Ref cls = module_global<"FuncPath">(module, own);
        if (!cls) return cls;
        Ref func = read_attr(self, name<"_FuncPath__func">(own), own);
        if (!func) return func;
        return instantiate<funcpath_init_slot, init_funcpath>(cls.get(), own, func.get(), argument);
    }
    Ref func = reads.read(N::func);
    if (!func) return func;
    Ref value = operand_value(reads, N::operand, argument);
    if (!value) return value;
    return apply_unary(st, func.get(), value.get());
}

PyObject* funcpath_call(PyObject* self, PyTypeObject* cls, PyObject* operand, PyObject* const*, Py_ssize_t) {
    ExprState* st = state_of(cls);
    if (st == nullptr) return nullptr;
    return evaluate_funcpath(self, operand, st, cls).release();
}

// ---- native slots --------------------------------------------------------------------

// self(*args, **kwargs) through the tp_call slot of self's class: what the
// interpreter does for an object without a vectorcall entry.
PyObject* call_through_slot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const ternaryfunc call = Py_TYPE(self)->tp_call;
    if (call == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    Ref positional = Ref::steal(PyTuple_New(nargs));
    if (!positional) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
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

// node_vectorcall for everything but the common case.
[[gnu::noinline]] PyObject* node_vectorcall_general(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) {
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        const Evaluator evaluator = evaluator_of(self);
        if (evaluator != Evaluator::none && nargs >= 1) {
            native::RecursionGuard guard(" while evaluating an expression");
            if (!guard) return nullptr;
            return evaluate_as(evaluator, self, args[0], nullptr).release();
        }
        if (Py_TYPE(self)->tp_call == path2_call_slot) {
            native::RecursionGuard guard(" while evaluating an expression");
            if (!guard) return nullptr;
            ExprState* st = exact_class_state(Py_TYPE(self));
            if (st == nullptr) return nullptr;
            return evaluate_path2(self, args, nargs, st).release();
        }
    }
    return call_through_slot(self, args, nargs, kwnames);
}

// The vectorcall entry of node instances (see native::install_call_slot). A
// plain positional call of a node whose class still has our tp_call
// evaluates in place; anything else goes through the class's tp_call, which
// also covers a class whose __call__ was reassigned after the entry was
// installed. The common calls, a node with the context, are dispatched here
// directly, the rest by node_vectorcall_general. A path or a BinExpr takes no
// recursion guard of its own here: one evaluation adds a fixed number of
// frames, and each way it can nest (a chain of parents, a node operand)
// passes a guard (see call_with_context).
PyObject* node_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames != nullptr || nargs < 1) return node_vectorcall_general(self, args, nargs, kwnames);
    const ternaryfunc call = Py_TYPE(self)->tp_call;
    if (call == path_call_slot) return evaluate_path_here(self, args[0], nullptr).release();
    if (call == binexpr_call_slot) return evaluate_binexpr(self, args[0], nullptr).release();
    return node_vectorcall_general(self, args, nargs, kwnames);
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
    PyObject* module = module_of(Py_TYPE(forward ? a : b));
    if (module == nullptr) return nullptr;
    Ref node = build_node<Op>(module, a, b);
    if (!forward || node.get() != Py_NotImplemented || Py_IS_TYPE(b, Py_TYPE(a))) return node.release();
    PyNumberMethods* b_number = Py_TYPE(b)->tp_as_number;
    if (b_number == nullptr || b_number->*Slot != self_slot) return node.release();
    module = module_of(Py_TYPE(b));
    if (module == nullptr) return nullptr;
    return build_node<Op>(module, a, b).release();
}

template <native::Literal Op>
PyObject* unary_slot(PyObject* a) {
    PyObject* module = module_of(Py_TYPE(a));
    if (module == nullptr) return nullptr;
    return build_node<Op>(module, a).release();
}

PyObject* richcompare_slot(PyObject* a, PyObject* b, int op) {
    PyObject* module = module_of(Py_TYPE(a));
    if (module == nullptr) return nullptr;
    switch (op) {
        case Py_LT: return build_node<"lt">(module, a, b).release();
        case Py_LE: return build_node<"le">(module, a, b).release();
        case Py_EQ: return build_node<"eq">(module, a, b).release();
        case Py_NE: return build_node<"ne">(module, a, b).release();
        case Py_GT: return build_node<"gt">(module, a, b).release();
        case Py_GE: return build_node<"ge">(module, a, b).release();
        default: Py_RETURN_NOTIMPLEMENTED;
    }
}

// Attribute access on a Path: the generic look-up, then the __getattr__
// fallback, as the interpreter's hook does, but without raising and clearing
// an AttributeError on every miss.
PyObject* path_getattro(PyObject* self, PyObject* key) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject* module = module_of(type);  // the slot is only ever on our exact Path
    if (module == nullptr) return nullptr;
    ExprState* st = state_of(module);
    Ref getattr = native::compat::type_lookup(type, name<"__getattr__">(st));
    if (!getattr) return PyObject_GenericGetAttr(self, key);
    Ref getattribute = native::compat::type_lookup(type, name<"__getattribute__">(st));
    Ref generic = native::compat::type_lookup(&PyBaseObject_Type, name<"__getattribute__">(st));
    if (!getattribute || getattribute.get() == generic.get()) {
        Ref dict = held_node_dict(self);
        PyObject* found = native::compat::generic_getattr_or_null(self, key, dict.get());
        if (found != nullptr || PyErr_Occurred()) return found;
    } else {
        Ref method = std::move(getattribute);
        if (descrgetfunc get = Py_TYPE(method.get())->tp_descr_get)
            method = Ref::steal(get(method.get(), self, reinterpret_cast<PyObject*>(type)));
        if (!method) return nullptr;
        PyObject* found = PyObject_CallOneArg(method.get(), key);
        if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
        PyErr_Clear();
    }
    if (native::is_native_method(getattr.get(), PathGetattr::def().ml_meth))
        return path_fallback(module, self, key).release();
    Ref method = std::move(getattr);
    if (descrgetfunc get = Py_TYPE(method.get())->tp_descr_get)
        method = Ref::steal(get(method.get(), self, reinterpret_cast<PyObject*>(type)));
    if (!method) return nullptr;
    return PyObject_CallOneArg(method.get(), key);
}

// ---- method tables -------------------------------------------------------------------

PyMethodDef exprmixin_methods[] = {
    native::method<"__add__($self, /, other)", binary_method<"add", false>>(),
    native::method<"__sub__($self, /, other)", binary_method<"sub", false>>(),
    native::method<"__mul__($self, /, other)", binary_method<"mul", false>>(),
    native::method<"__floordiv__($self, /, other)", binary_method<"floordiv", false>>(),
    native::method<"__truediv__($self, /, other)", binary_method<"div", false>>(),
    native::method<"__mod__($self, /, other)", binary_method<"mod", false>>(),
    native::method<"__pow__($self, /, other)", binary_method<"pow", false>>(),
    native::method<"__xor__($self, /, other)", binary_method<"xor", false>>(),
    native::method<"__rshift__($self, /, other)", binary_method<"rshift", false>>(),
    native::method<"__lshift__($self, /, other)", binary_method<"lshift", false>>(),
    native::method<"__and__($self, /, other)", binary_method<"and_", false>>(),
    native::method<"__or__($self, /, other)", binary_method<"or_", false>>(),
    native::method<"__radd__($self, /, other)", binary_method<"add", true>>(),
    native::method<"__rsub__($self, /, other)", binary_method<"sub", true>>(),
    native::method<"__rmul__($self, /, other)", binary_method<"mul", true>>(),
    native::method<"__rfloordiv__($self, /, other)", binary_method<"floordiv", true>>(),
    native::method<"__rtruediv__($self, /, other)", binary_method<"div", true>>(),
    native::method<"__rmod__($self, /, other)", binary_method<"mod", true>>(),
    native::method<"__rpow__($self, /, other)", binary_method<"pow", true>>(),
    native::method<"__rxor__($self, /, other)", binary_method<"xor", true>>(),
    native::method<"__rrshift__($self, /, other)", binary_method<"rshift", true>>(),
    native::method<"__rlshift__($self, /, other)", binary_method<"lshift", true>>(),
    native::method<"__rand__($self, /, other)", binary_method<"and_", true>>(),
    native::method<"__ror__($self, /, other)", binary_method<"or_", true>>(),
    native::method<"__neg__($self, /)", unary_method<"neg">>(),
    native::method<"__pos__($self, /)", unary_method<"pos">>(),
    native::method<"__invert__($self, /)", unary_method<"not_">>(),
    native::method<"__contains__($self, /, other)", binary_method<"contains", false>>(),
    native::method<"__gt__($self, /, other)", binary_method<"gt", false>>(),
    native::method<"__ge__($self, /, other)", binary_method<"ge", false>>(),
    native::method<"__lt__($self, /, other)", binary_method<"lt", false>>(),
    native::method<"__le__($self, /, other)", binary_method<"le", false>>(),
    native::method<"__eq__($self, /, other)", binary_method<"eq", false>>(),
    native::method<"__ne__($self, /, other)", binary_method<"ne", false>>(),
    native::method<"__getstate__($self, /)", exprmixin_getstate>(),
    native::method<"__setstate__($self, /, attrs)", exprmixin_setstate>(),
    native::end_of_methods,
};

PyMethodDef uniexpr_methods[] = {
    UniExprInit::def(), UniExprRepr::def(), UniExprStr::def(), UniExprCall::def(), native::end_of_methods,
};

PyMethodDef binexpr_methods[] = {
    BinExprInit::def(), BinExprRepr::def(), BinExprStr::def(), BinExprCall::def(), native::end_of_methods,
};

PyMethodDef path_methods[] = {
    PathInit::def(),    PathRepr::def(),    PathStr::def(),   PathCall::def(),
    PathGetfield::def(), PathGetattr::def(), PathGetitem::def(), native::end_of_methods,
};

PyMethodDef path2_methods[] = {
    Path2Init::def(), Path2Repr::def(), Path2Call::def(), Path2Getitem::def(), native::end_of_methods,
};

PyMethodDef funcpath_methods[] = {
    FuncPathInit::def(), FuncPathRepr::def(), FuncPathStr::def(), FuncPathCall::def(), native::end_of_methods,
};

// ---- ExprMixin, the native base ---------------------------------------------------

PyMemberDef exprmixin_members[] = {
    NATIVE_BASE_MEMBERS(ExprObject),
    {"__vectorcalloffset__", NATIVE_MEMBER_PYSSIZET, offsetof(ExprObject, entry), NATIVE_MEMBER_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// A node holds its dict, its weak references and, on free-threaded builds,
// its memo's records (SharedMemo). The interpreter deallocates a subclass's
// own parts and then calls this, as for any native base with a dict.
int exprmixin_traverse(PyObject* self, visitproc visit, void* arg) {
    if (const int failed = native::native_base_traverse(self, visit, arg)) return failed;
    return as_node(self)->memo.visit(visit, arg);
}

int exprmixin_clear(PyObject* self) {
    as_node(self)->memo.forget();
    return native::native_base_clear(self);
}

void exprmixin_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_node(self)->base.weaklist != nullptr) PyObject_ClearWeakRefs(self);
    exprmixin_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot exprmixin_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(exprmixin_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(exprmixin_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(exprmixin_clear)},
    {Py_tp_members, exprmixin_members},
    {Py_tp_getset, native::native_base_getset},
    {0, nullptr},
};

PyType_Spec exprmixin_spec = {
    "tavro.expr.ExprMixin",
    sizeof(ExprObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    exprmixin_slots,
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

// ExprMixin: the native base, then its methods, aliases and __hash__ = None
// (a class that defines __eq__ is unhashable), as a class statement makes it.
Ref make_exprmixin(PyObject* module, ExprState* st) {
    Ref mixin = Ref::steal(PyType_FromModuleAndSpec(module, &exprmixin_spec, nullptr));
    if (!mixin) return mixin;
    // The interpreter read the offset from the member while it made the
    // class; the class statement's namespace has no such entry.
    if (PyObject_DelAttr(mixin.get(), name<"__vectorcalloffset__">(st)) < 0) return Ref();
    if (!native::add_methods(mixin.get(), exprmixin_methods, false,
                             reinterpret_cast<PyTypeObject*>(st->descriptor_type)) ||
        !native::add_alias(mixin.get(), "__div__", "__floordiv__") ||
        !native::add_alias(mixin.get(), "__rdiv__", "__rfloordiv__") ||
        !native::add_alias(mixin.get(), "__inv__", "__invert__") ||
        PyObject_SetAttr(mixin.get(), name<"__hash__">(st), Py_None) < 0)
        return Ref();
    install_operator_slots(mixin.get());
    return mixin;
}

struct NodeSlots {
    ternaryfunc call;
    initproc init;
    reprfunc repr;
    reprfunc str;  // null: Path2 has no __str__ (object's calls tp_repr)
};

Ref make_node_class(PyObject* module, ExprState* st, const char* class_name, PyMethodDef* methods, PyObject* mixin,
                    NodeSlots slots) {
    Ref cls = native::make_class(module, native::ClassRecipe{class_name, nullptr, methods}, {mixin},
                                 st->descriptor_type);
    if (!cls) return cls;
    install_operator_slots(cls.get());
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    type->tp_init = slots.init;
    type->tp_repr = slots.repr;
    if (slots.str) type->tp_str = slots.str;
    native::install_call_slot(cls.get(), slots.call);
    return cls;
}

// Iterating a path would fall back to item access with 0, 1, 2, ... and, since
// every item is a new path, never end. `__iter__ = None` is the interpreter's
// own way to say "not iterable" (TypeError: 'Path' object is not iterable),
// and subclasses inherit it.
bool forbid_iteration(PyObject* cls, ExprState* st) {
    return PyObject_SetAttr(cls, name<"__iter__">(st), Py_None) == 0;
}

bool set_div(PyObject* operators, ExprState* st) {
    Ref div = native::attr(operators, name<"div">(st));
    if (div) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    Ref truediv = native::attr(operators, name<"truediv">(st));
    return truediv && PyObject_SetAttr(operators, name<"div">(st), truediv.get()) == 0;
}

Ref make_opnames(PyObject* operators) {
    static constexpr const char* entries[][2] = {
        {"add", "+"},       {"sub", "-"},  {"mul", "*"},    {"div", "/"},     {"floordiv", "//"},
        {"mod", "%"},       {"pow", "**"}, {"xor", "^"},    {"lshift", "<<"}, {"rshift", ">>"},
        {"and_", "and"},    {"or_", "or"}, {"not_", "not"}, {"neg", "-"},     {"pos", "+"},
        {"contains", "in"}, {"gt", ">"},   {"ge", ">="},    {"lt", "<"},      {"le", "<="},
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

// The operator functions (and len, abs) whose work evaluation does itself.
// `len` and `abs` are those of the builtins the module's code sees.
bool learn_functions(PyObject* module, PyObject* operators, ExprState* st) {
    struct Entry {
        const char* name;
        KnownFunction entry;
    };
    // const, not constexpr: where the interpreter is a DLL (Windows) the
    // addresses of its functions are known only once it is loaded.
    static const Entry kOperators[] = {
        {"add", {nullptr, Apply::number2, PyNumber_Add, nullptr, 0, IntOp::add}},
        {"sub", {nullptr, Apply::number2, PyNumber_Subtract, nullptr, 0, IntOp::sub}},
        {"mul", {nullptr, Apply::number2, PyNumber_Multiply, nullptr, 0, IntOp::mul}},
        {"truediv", {nullptr, Apply::number2, PyNumber_TrueDivide, nullptr, 0, IntOp::none}},
        {"floordiv", {nullptr, Apply::number2, PyNumber_FloorDivide, nullptr, 0, IntOp::none}},
        {"mod", {nullptr, Apply::number2, PyNumber_Remainder, nullptr, 0, IntOp::none}},
        {"pow", {nullptr, Apply::power, nullptr, nullptr, 0, IntOp::none}},
        {"xor", {nullptr, Apply::number2, PyNumber_Xor, nullptr, 0, IntOp::xor_}},
        {"lshift", {nullptr, Apply::number2, PyNumber_Lshift, nullptr, 0, IntOp::none}},
        {"rshift", {nullptr, Apply::number2, PyNumber_Rshift, nullptr, 0, IntOp::none}},
        {"and_", {nullptr, Apply::number2, PyNumber_And, nullptr, 0, IntOp::and_}},
        {"or_", {nullptr, Apply::number2, PyNumber_Or, nullptr, 0, IntOp::or_}},
        {"gt", {nullptr, Apply::compare, nullptr, nullptr, Py_GT, IntOp::none}},
        {"ge", {nullptr, Apply::compare, nullptr, nullptr, Py_GE, IntOp::none}},
        {"lt", {nullptr, Apply::compare, nullptr, nullptr, Py_LT, IntOp::none}},
        {"le", {nullptr, Apply::compare, nullptr, nullptr, Py_LE, IntOp::none}},
        {"eq", {nullptr, Apply::compare, nullptr, nullptr, Py_EQ, IntOp::none}},
        {"ne", {nullptr, Apply::compare, nullptr, nullptr, Py_NE, IntOp::none}},
        {"contains", {nullptr, Apply::contains, nullptr, nullptr, 0, IntOp::none}},
        {"neg", {nullptr, Apply::number1, nullptr, PyNumber_Negative, 0, IntOp::none}},
        {"pos", {nullptr, Apply::number1, nullptr, PyNumber_Positive, 0, IntOp::none}},
        {"not_", {nullptr, Apply::logical_not, nullptr, nullptr, 0, IntOp::none}},
    };
    for (const Entry& e : kOperators)
        if (!st->known.learn(operators, e.name, "_operator", e.entry)) return false;
    static const Entry kBuiltins[] = {
        {"len", {nullptr, Apply::length, nullptr, nullptr, 0, IntOp::none}},
        {"abs", {nullptr, Apply::number1, nullptr, PyNumber_Absolute, 0, IntOp::none}},
    };
    for (const Entry& e : kBuiltins) {
        Ref key = Ref::steal(PyUnicode_InternFromString(e.name));
        if (!key) return false;
        Ref function = native::global(module, key.get());
        if (!function) {
            if (!PyErr_ExceptionMatches(PyExc_NameError)) return false;
            PyErr_Clear();
            continue;
        }
        if (!PyCFunction_CheckExact(function.get())) continue;
        PyObject* owner = PyCFunction_GET_SELF(function.get());
        if (owner != nullptr && !st->known.learn(owner, e.name, "builtins", e.entry)) return false;
    }
    return true;
}

Ref call_class(PyObject* module, const char* cls, PyObject* argument) {
    Ref type = Ref::steal(PyObject_GetAttrString(module, cls));
    if (!type) return type;
    return native::call(type.get(), argument);
}

Ref make_path(PyObject* module, const char* cls, const char* path_name) {
    Ref text = Ref::steal(PyUnicode_InternFromString(path_name));
    if (!text) return text;
    return call_class(module, cls, text.get());
}

// FuncPath(<builtin>), the builtin read as the module's code reads it.
Ref make_funcpath(PyObject* module, PyObject* builtin_name) {
    Ref function = native::global(module, builtin_name);
    if (!function) return function;
    return call_class(module, "FuncPath", function.get());
}

int exec_expr(PyObject* module) {
    ExprState* st = state_of(module);
    // The module state: names, change detection, the method descriptor type.
    if (!st->prepare_shared(module, true)) return -1;

    Ref operators = native::import("operator");
    if (!operators || !native::set_module_attribute(module, "operator", Ref::new_reference(operators.get()))) return -1;
    if (!set_div(operators.get(), st)) return -1;
    if (!native::set_module_attribute(module, "opnames", make_opnames(operators.get()))) return -1;
    if (!learn_functions(module, operators.get(), st)) return -1;

    Ref mixin = make_exprmixin(module, st);
    if (!mixin || !native::set_module_attribute(module, "ExprMixin", Ref::new_reference(mixin.get()))) return -1;

    const NodeSlots uniexpr{UniExprCall::call(), UniExprInit::init(), UniExprRepr::text(), UniExprStr::text()};
    if (!native::set_module_attribute(module, "UniExpr", make_node_class(module, st, "UniExpr", uniexpr_methods, mixin.get(), uniexpr)))
        return -1;

    const NodeSlots binexpr{BinExprCall::call(), BinExprInit::init(), BinExprRepr::text(), BinExprStr::text()};
    if (!native::set_module_attribute(module, "BinExpr", make_node_class(module, st, "BinExpr", binexpr_methods, mixin.get(), binexpr)))
        return -1;

    const NodeSlots path_slots{PathCall::call(), PathInit::init(), PathRepr::text(), PathStr::text()};
    Ref path = make_node_class(module, st, "Path", path_methods, mixin.get(), path_slots);
    if (!path || !forbid_iteration(path.get(), st)) return -1;
    reinterpret_cast<PyTypeObject*>(path.get())->tp_getattro = path_getattro;
    if (!native::set_module_attribute(module, "Path", std::move(path))) return -1;

    const NodeSlots path2_slots{Path2Call::call(), Path2Init::init(), Path2Repr::text(), nullptr};
    Ref path2 = make_node_class(module, st, "Path2", path2_methods, mixin.get(), path2_slots);
    if (!path2 || !forbid_iteration(path2.get(), st)) return -1;
    if (!native::set_module_attribute(module, "Path2", std::move(path2))) return -1;

    const NodeSlots funcpath{FuncPathCall::call(), FuncPathInit::init(), FuncPathRepr::text(), FuncPathStr::text()};
    if (!native::set_module_attribute(module, "FuncPath",
                      make_node_class(module, st, "FuncPath", funcpath_methods, mixin.get(), funcpath)))
        return -1;

    if (!native::set_module_attribute(module, "this", make_path(module, "Path", "this"))) return -1;
    if (!native::set_module_attribute(module, "obj_", make_path(module, "Path", "obj_"))) return -1;
    if (!native::set_module_attribute(module, "list_", make_path(module, "Path2", "list_"))) return -1;
    if (!native::set_module_attribute(module, "len_", make_funcpath(module, name<"len">(st)))) return -1;
    if (!native::set_module_attribute(module, "sum_", make_funcpath(module, name<"sum">(st)))) return -1;
    if (!native::set_module_attribute(module, "min_", make_funcpath(module, name<"min">(st)))) return -1;
    if (!native::set_module_attribute(module, "max_", make_funcpath(module, name<"max">(st)))) return -1;
    if (!native::set_module_attribute(module, "abs_", make_funcpath(module, name<"abs">(st)))) return -1;
    return 0;
}

}  // namespace

NATIVE_MODULE(expr, "tavro.expr", ExprState, exec_expr)
