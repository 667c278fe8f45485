// tavro.lib.bitstream: stream adapters over a caller's substream.
//
// Both classes are ordinary Python classes whose state lives in the instance
// dict, and every method reads and writes it by name at each step. When the
// instance's class has nothing that could intercept those names (no data
// descriptor for them but the buffer descriptors below, no
// __getattribute__/__setattr__ hook; checked once per class version), a step
// reads and writes the instance dict directly, which is what generic
// attribute access would do, only cheaper: the direct path. Otherwise every
// step goes through attribute access and the number and sequence protocols,
// exactly as the steps are written: the literal path. Which one a step takes
// is decided at that step, since a substream or codec called in between may
// change the class or replace the instance's __dict__.
//
// Buffers that grow at one end and are consumed at the other (the window of
// RebufferedBytesIO, rbuffer and wbuffer of RestreamedBytesIO) would be
// copied whole at every step if each step built a new bytes object. On the
// direct path the instance dict may hold a BytesView instead: a read-only
// view of part of an append-only block that the views cut from it share. It
// behaves as the bytes it stands for in everything but its type, and the
// classes' `rwbuffer`, `rbuffer` and `wbuffer` data descriptors replace it by
// a real bytes object (stored in its place) as soon as anyone reads the
// attribute; only vars()/__dict__ can see the stand-in.
//
// The fast paths and what each relies on (rules 1, 2 and 4 of native.hpp):
//   the direct path (class Attributes): the class verdict (see "Whether a
//     class leaves the state names" below for every object it depends on:
//     the class's version tag, the type of every class attribute found under
//     a state name, our buffer descriptors, the module instance); every value
//     read from the dict is a strong reference (PyDict_GetItemRef).
//   RebufferedBytesIO.read from the window (read_from_window): every key of
//     the instance dict an exact str, checked by the walk that collects the
//     values (or known from the dict's stamp, ServedWindow: the instance dict
//     by identity and stamp, its values by identity, all held by the dict
//     while the stamp holds; ints and bytes or views, which never change),
//     so that nothing
//     it does runs Python code and borrowed values stay valid; on
//     free-threaded builds, the dict's critical section and a strong
//     reference to the window (see read_from_window).
//   views: never changed once made (rule 2): every step that changes a
//     buffer stores a new view; blocks are only appended to (an atomic claim
//     of the room after a view), which no existing view covers.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <new>
#include <utility>

#include "native.hpp"

extern PyModuleDef bitstream_definition;

namespace {

using native::Ref;
namespace compat = native::compat;

constexpr Py_ssize_t read_ahead_chunk = 131072;

// Buffers shorter than this stay plain bytes objects: copying them costs less
// than keeping a view.
constexpr Py_ssize_t view_threshold = 256;

// ---- module state ----------------------------------------------------------------

using BitstreamNames =
    native::Names<"substream", "encoder", "encoderunit", "decoder", "decoderunit", "rbuffer", "wbuffer",
                  "sincereadwritten", "offset", "rwbuffer", "moved", "tailcutoff", "read", "write", "emptytimeout",
                  "sleep", "BlockingIOError">;

// Whether a class leaves the state names to the instance dict is remembered
// per adapter under the class's version tag (native::ClassVerdicts). What
// the verdict depends on, and what sees each change of it:
//   - the class's attribute hooks, dict offset and every class of its MRO
//     with their dicts: the class's version tag, which any change of them
//     replaces;
//   - every object found in those dicts under a state name: of an immutable
//     type that is no data descriptor (answers_only_misses), so nothing can
//     make it one; a found object of any other type gives "no", which is
//     never wrong, only slower;
//   - the buffer descriptors found: our own, by identity, of a type that is
//     immutable;
//   - the module instance that checked it: the verdicts live in its state.

// What RebufferedBytesIO.read's fast path reads from the instance dict.
struct WindowState {
    PyObject* window;  // borrowed from the dict, as are the two ints
    PyObject* offset_int;
    PyObject* moved_int;
    Py_ssize_t offset;
    Py_ssize_t moved;
    Py_ssize_t tailcutoff;
    bool trims;  // tailcutoff is not None
};

// An instance dict as the read fast path left it, and what it held then.
struct ServedWindow {
    native::DictStamp stamp;
    WindowState state;
};

struct BitstreamState : native::ModuleState<BitstreamNames> {
    PyObject* view_type;        // BytesView
    PyObject* chunk;            // the int 131072
    // (The names, types, chunk and descriptors are made in exec and never
    // changed after: threads share them as they are.)
    // The classes' buffer descriptors, as they were made.
    PyObject* rwbuffer_descriptor;
    PyObject* rbuffer_descriptor;
    PyObject* wbuffer_descriptor;
    // The class verdicts per adapter (atomics, shared by every thread). They
    // hold no references.
    native::ClassVerdicts restreamed_verdicts;
    native::ClassVerdicts rebuffered_verdicts;
    // The instance dict that RebufferedBytesIO.read's fast path served last
    // (see read_from_window). It holds a borrowed value: per module, used
    // only where the GIL serialises the callers, never on free-threaded
    // builds.
    ServedWindow served_window;

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(view_type);
        Py_VISIT(rwbuffer_descriptor);
        Py_VISIT(rbuffer_descriptor);
        Py_VISIT(wbuffer_descriptor);
        return traverse_shared(visit, arg);
    }
    void clear() {
        clear_shared();
        Py_CLEAR(view_type);
        Py_CLEAR(chunk);
        Py_CLEAR(rwbuffer_descriptor);
        Py_CLEAR(rbuffer_descriptor);
        Py_CLEAR(wbuffer_descriptor);
        served_window = {};
    }
};

BitstreamState* state_of(PyTypeObject* defining_class) { return native::state_of<BitstreamState>(defining_class); }

// The module (and its state) whose class `self` is an instance of (or of a
// subclass of). Null with TypeError when there is none.
PyObject* module_of_instance(PyObject* self) {
    return PyType_GetModuleByDef(Py_TYPE(self), &bitstream_definition);  // borrowed: the class holds it
}

BitstreamState* state_of_instance(PyObject* self) {
    PyObject* module = module_of_instance(self);
    return module == nullptr ? nullptr : native::state_of<BitstreamState>(module);
}

using native::name;

// ---- small integers ------------------------------------------------------------------

// The value of an exact int within +-2**60, so that sums and differences of
// two such values cannot overflow. False, with no exception, for anything
// else.
inline bool small_index(PyObject* o, Py_ssize_t& out) {
    if (!PyLong_CheckExact(o)) return false;
    if (compat::long_compact_value(o, &out)) return true;  // below 2**30 in magnitude: read in place
    long long value = 0;
    constexpr long long limit = 1LL << 60;
    if (!compat::long_as_long_long(o, &value) || value <= -limit || value >= limit) return false;
    out = static_cast<Py_ssize_t>(value);
    return true;
}

inline Ref new_int(Py_ssize_t value) { return Ref::steal(PyLong_FromSsize_t(value)); }

inline Ref empty_bytes() { return Ref::steal(PyBytes_FromStringAndSize(nullptr, 0)); }

// ---- byte views ---------------------------------------------------------------------
//
// A block is append-only: the bytes below `used` are written once and never
// again, so every view of it ([start, end) with end <= used) stays what it
// was whoever appends after it. A view whose end is the block's `used`
// extends by claiming the room after it (compare-and-swap on `used`: of two
// views racing to extend, one wins and the other copies); any other append
// copies into a new block. The block is freed with its last view.

// A block is a plain struct (so that realloc may move it); its two shared
// counters are read and written atomically through atomic_ref.
struct Block {
    Py_ssize_t references;
    Py_ssize_t used;
    Py_ssize_t capacity;
    char* data() { return reinterpret_cast<char*>(this + 1); }
};

inline std::atomic_ref<Py_ssize_t> atomically(Py_ssize_t& counter) { return std::atomic_ref<Py_ssize_t>(counter); }

Block* new_block(Py_ssize_t capacity) {
    if (capacity < 0 || capacity > PY_SSIZE_T_MAX - static_cast<Py_ssize_t>(sizeof(Block))) {
        PyErr_NoMemory();
        return nullptr;
    }
    void* memory = PyMem_Malloc(sizeof(Block) + static_cast<size_t>(capacity));
    if (memory == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    return new (memory) Block{1, 0, capacity};
}

void release_block(Block* block) {
    if (atomically(block->references).fetch_sub(1, std::memory_order_acq_rel) == 1) PyMem_Free(block);
}

// Room for appends after `needed` bytes: doubling keeps the copies of a
// growing buffer linear in its final size.
inline Py_ssize_t grown(Py_ssize_t needed) { return needed <= PY_SSIZE_T_MAX / 2 ? 2 * needed : needed; }

struct BytesView {
    PyObject_HEAD
    Block* block;  // one reference of the block's
    Py_ssize_t start;
    Py_ssize_t end;  // start <= end <= block->used
};

void view_dealloc(PyObject* self);

// Any module's view type has this dealloc, and nothing else has: views of
// another instance of the module (a re-import) are recognised too.
inline bool is_view(PyObject* o) { return Py_TYPE(o)->tp_dealloc == view_dealloc; }
inline BytesView* as_view(PyObject* o) { return reinterpret_cast<BytesView*>(o); }
inline const char* view_data(PyObject* o) { return as_view(o)->block->data() + as_view(o)->start; }
inline Py_ssize_t view_size(PyObject* o) { return as_view(o)->end - as_view(o)->start; }

// Bytes or a view: what the direct path reads and cuts without a copy.
inline bool is_plain_or_view(PyObject* o) { return PyBytes_CheckExact(o) || is_view(o); }
inline const char* contents(PyObject* o) { return is_view(o) ? view_data(o) : PyBytes_AS_STRING(o); }
inline Py_ssize_t contents_size(PyObject* o) { return is_view(o) ? view_size(o) : Py_SIZE(o); }

// A new view of [start, end) of `block`, sharing it.
Ref new_view(PyTypeObject* type, Block* block, Py_ssize_t start, Py_ssize_t end) {
    BytesView* view = PyObject_New(BytesView, type);
    if (view == nullptr) return Ref();
    atomically(block->references).fetch_add(1, std::memory_order_relaxed);
    view->block = block;
    view->start = start;
    view->end = end;
    return Ref::steal(reinterpret_cast<PyObject*>(view));
}

inline PyTypeObject* view_type(const BitstreamState* st) { return reinterpret_cast<PyTypeObject*>(st->view_type); }

// A view of the bytes `a` followed by `b`, in a new block of `capacity`.
Ref joined_view(const BitstreamState* st, const char* a, Py_ssize_t na, const char* b, Py_ssize_t nb,
                Py_ssize_t capacity) {
    if (na > PY_SSIZE_T_MAX - nb) {
        PyErr_NoMemory();
        return Ref();
    }
    Block* block = new_block(std::max(capacity, na + nb));
    if (block == nullptr) return Ref();
    std::memcpy(block->data(), a, static_cast<size_t>(na));
    if (nb > 0) std::memcpy(block->data() + na, b, static_cast<size_t>(nb));
    atomically(block->used).store(na + nb, std::memory_order_relaxed);
    Ref view = new_view(view_type(st), block, 0, na + nb);
    release_block(block);
    return view;
}

// The bytes a view stands for, as a new bytes object.
Ref view_to_bytes(PyObject* view) { return Ref::steal(PyBytes_FromStringAndSize(view_data(view), view_size(view))); }

// `value` as Python code would see it after reading the attribute: a view
// becomes the bytes it stands for.
Ref plain(PyObject* value) { return is_view(value) ? view_to_bytes(value) : Ref::new_reference(value); }

// current + extra (exact bytes or a view, and exact bytes). An empty operand
// gives the other one back, as bytes concatenation does.
Ref concatenated(const BitstreamState* st, PyObject* current, PyObject* extra) {
    const Py_ssize_t n = Py_SIZE(extra);
    const Py_ssize_t size = contents_size(current);
    if (!is_view(current) && (size == 0 || n == 0 || size + n < view_threshold))
        return Ref::steal(PyNumber_Add(current, extra));
    if (n == 0) return Ref::new_reference(current);
    if (n > PY_SSIZE_T_MAX - size) {
        PyErr_NoMemory();
        return Ref();
    }
    if (is_view(current)) {
        BytesView* view = as_view(current);
        Block* block = view->block;
        Py_ssize_t expected = view->end;
        if (block->capacity - view->end >= n &&
            atomically(block->used).compare_exchange_strong(expected, view->end + n, std::memory_order_acq_rel)) {
            std::memcpy(block->data() + view->end, PyBytes_AS_STRING(extra), static_cast<size_t>(n));
            return new_view(Py_TYPE(current), block, view->start, view->end + n);
        }
    }
    return joined_view(st, contents(current), size, PyBytes_AS_STRING(extra), n, grown(size + n));
}

// current[removed:] for exact bytes or a view and 0 <= removed.
Ref front_cut(const BitstreamState* st, PyObject* current, Py_ssize_t removed) {
    const Py_ssize_t size = contents_size(current);
    if (removed == 0) return Ref::new_reference(current);  // bytes[0:] is the object itself
    if (removed >= size) return empty_bytes();
    const Py_ssize_t rest = size - removed;
    if (rest < view_threshold) return Ref::steal(PyBytes_FromStringAndSize(contents(current) + removed, rest));
    // A view keeps sharing its block while it covers a good part of it;
    // below a quarter its bytes move to a block of their own, so that a
    // small remainder does not keep a large block alive.
    if (is_view(current) && rest >= as_view(current)->block->capacity / 4)
        return new_view(Py_TYPE(current), as_view(current)->block, as_view(current)->start + removed,
                        as_view(current)->end);
    return joined_view(st, contents(current) + removed, rest, nullptr, 0, rest);
}

// current[:count] for exact bytes or a view and 0 <= count, as a new bytes
// object (or the bytes themselves when that is all of them).
Ref front_copy(PyObject* current, Py_ssize_t count) {
    const Py_ssize_t size = contents_size(current);
    if (count >= size && PyBytes_CheckExact(current)) return Ref::new_reference(current);
    return Ref::steal(PyBytes_FromStringAndSize(contents(current), std::min(count, size)));
}

// current[:lo] + data + current[lo + len(data):] for exact bytes or a view,
// exact bytes data and 0 <= lo <= len(current), as a new object.
Ref spliced(const BitstreamState* st, PyObject* current, Py_ssize_t lo, PyObject* data) {
    const Py_ssize_t size = contents_size(current);
    const Py_ssize_t n = Py_SIZE(data);
    if (lo == size) return concatenated(st, current, data);
    const Py_ssize_t hi = lo + n;
    const Py_ssize_t total = std::max(size, hi);
    const char* source = contents(current);
    if (total < view_threshold) {
        Ref result = Ref::steal(PyBytes_FromStringAndSize(nullptr, total));
        if (!result) return result;
        char* out = PyBytes_AS_STRING(result.get());
        std::memcpy(out, source, static_cast<size_t>(lo));
        std::memcpy(out + lo, PyBytes_AS_STRING(data), static_cast<size_t>(n));
        if (hi < size) std::memcpy(out + hi, source + hi, static_cast<size_t>(size - hi));
        return result;
    }
    Ref result = joined_view(st, source, lo, PyBytes_AS_STRING(data), n, total);
    if (result && hi < size)
        std::memcpy(as_view(result.get())->block->data() + hi, source + hi, static_cast<size_t>(size - hi));
    if (result) {
        as_view(result.get())->end = total;
        atomically(as_view(result.get())->block->used).store(total, std::memory_order_relaxed);
    }
    return result;
}

// -- the view type --

void view_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    release_block(as_view(self)->block);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* view_repr(PyObject* self) {
    Ref bytes = view_to_bytes(self);
    return bytes ? PyObject_Repr(bytes.get()) : nullptr;
}

Py_hash_t view_hash(PyObject* self) { return Py_HashBuffer(view_data(self), view_size(self)); }

PyObject* view_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op == Py_EQ || op == Py_NE) && is_plain_or_view(other)) {
        const bool equal = view_size(self) == contents_size(other) &&
                           std::memcmp(view_data(self), contents(other), static_cast<size_t>(view_size(self))) == 0;
        return Py_NewRef(equal == (op == Py_EQ) ? Py_True : Py_False);
    }
    Ref left = view_to_bytes(self);
    Ref right = plain(other);
    if (!left || !right) return nullptr;
    return PyObject_RichCompare(left.get(), right.get(), op);
}

Py_ssize_t view_length(PyObject* self) { return view_size(self); }

PyObject* view_subscript(PyObject* self, PyObject* key) {
    Ref bytes = view_to_bytes(self);
    return bytes ? PyObject_GetItem(bytes.get(), key) : nullptr;
}

PyObject* view_iter(PyObject* self) {
    Ref bytes = view_to_bytes(self);
    return bytes ? PyObject_GetIter(bytes.get()) : nullptr;
}

PyObject* view_concat(PyObject* self, PyObject* other) {
    Ref bytes = view_to_bytes(self);
    return bytes ? PySequence_Concat(bytes.get(), other) : nullptr;
}

int view_contains(PyObject* self, PyObject* item) {
    Ref bytes = view_to_bytes(self);
    return bytes ? PySequence_Contains(bytes.get(), item) : -1;
}

// Anything else a bytes object offers (decode, hex, find, ...) is answered by
// the bytes the view stands for.
PyObject* view_getattro(PyObject* self, PyObject* attribute) {
    PyObject* found = PyObject_GenericGetAttr(self, attribute);
    if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
    PyErr_Clear();
    Ref bytes = view_to_bytes(self);
    return bytes ? PyObject_GetAttr(bytes.get(), attribute) : nullptr;
}

int view_getbuffer(PyObject* self, Py_buffer* buffer, int flags) {
    return PyBuffer_FillInfo(buffer, self, const_cast<char*>(view_data(self)), view_size(self), 1, flags);
}

PyObject* view_bytes(PyObject* self, PyObject*) { return view_to_bytes(self).release(); }

PyObject* view_reduce(PyObject* self, PyObject*) {
    Ref bytes = view_to_bytes(self);
    if (!bytes) return nullptr;
    return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(&PyBytes_Type), bytes.get());
}

PyMethodDef view_methods[] = {
    {"__bytes__", view_bytes, METH_NOARGS, nullptr},
    {"__reduce__", view_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot view_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(view_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(view_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(view_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(view_richcompare)},
    {Py_sq_length, reinterpret_cast<void*>(view_length)},
    {Py_mp_length, reinterpret_cast<void*>(view_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(view_subscript)},
    {Py_tp_iter, reinterpret_cast<void*>(view_iter)},
    {Py_sq_concat, reinterpret_cast<void*>(view_concat)},
    {Py_sq_contains, reinterpret_cast<void*>(view_contains)},
    {Py_tp_getattro, reinterpret_cast<void*>(view_getattro)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(view_getbuffer)},
    {Py_tp_methods, view_methods},
    {0, nullptr},
};

PyType_Spec view_spec = {
    "tavro.lib.bitstream.BytesView",
    sizeof(BytesView),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    view_slots,
};

// ---- instance state ---------------------------------------------------------------------

enum class Adapter { restreamed, rebuffered };

// Whether generic attribute access to the state names of `adapter` reads and
// writes the instance dict for instances of `type`, and its buffer names are
// served by our descriptors. Remembered under the class's version tag.
bool check_class(BitstreamState* st, PyTypeObject* type, Adapter adapter, unsigned int tag);

inline native::ClassVerdicts& verdicts_of(BitstreamState* st, Adapter adapter) {
    return adapter == Adapter::restreamed ? st->restreamed_verdicts : st->rebuffered_verdicts;
}

inline bool leaves_state_to_dict(BitstreamState* st, PyTypeObject* type, Adapter adapter) {
    const unsigned int tag = compat::type_version(type);
    if (std::optional<bool> known = verdicts_of(st, adapter).known(tag)) return *known;
    return check_class(st, type, adapter, tag);
}

// Whether a class attribute found under a state name leaves that name to the
// instance dict for good: an object of an immutable type that is no data
// descriptor (None, a number, a string) can never become one. An object of
// any other type could: its type may gain __set__ later, which changes
// neither the adapter class nor its version tag, so no verdict could see it.
bool answers_only_misses(PyObject* found) {
    const PyTypeObject* type = Py_TYPE(found);
    return (type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) != 0 && type->tp_descr_set == nullptr;
}

bool reach_class_verdict(BitstreamState* st, PyTypeObject* type, Adapter adapter) {
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) return false;
    if (type->tp_dictoffset == 0) return false;
    const bool restreamed = adapter == Adapter::restreamed;
    PyObject* const restreamed_names[] = {name<"substream">(st), name<"encoder">(st),     name<"encoderunit">(st),
                                          name<"decoder">(st),   name<"decoderunit">(st), name<"sincereadwritten">(st)};
    PyObject* const rebuffered_names[] = {name<"substream">(st), name<"offset">(st), name<"moved">(st),
                                          name<"tailcutoff">(st)};
    const std::pair<PyObject* const*, std::size_t> plain_names =
        restreamed ? std::pair{+restreamed_names, std::size(restreamed_names)}
                   : std::pair{+rebuffered_names, std::size(rebuffered_names)};
    for (std::size_t i = 0; i < plain_names.second; ++i) {
        Ref found = compat::type_lookup(type, plain_names.first[i]);
        if (found && !answers_only_misses(found.get())) return false;
    }
    const std::pair<PyObject*, PyObject*> buffers[] = {
        {restreamed ? name<"rbuffer">(st) : name<"rwbuffer">(st),
         restreamed ? st->rbuffer_descriptor : st->rwbuffer_descriptor},
        {restreamed ? name<"wbuffer">(st) : name<"rwbuffer">(st),
         restreamed ? st->wbuffer_descriptor : st->rwbuffer_descriptor},
    };
    for (const auto& [key, ours] : buffers) {
        Ref found = compat::type_lookup(type, key);
        if (found.get() != ours) return false;
    }
    return true;
}

[[gnu::noinline]] bool check_class(BitstreamState* st, PyTypeObject* type, Adapter adapter, unsigned int tag) {
    const bool verdict = reach_class_verdict(st, type, adapter);
    // A look-up in a class dict holding a key that is not a str may have run
    // code that changed the class: then the verdict is not remembered.
    if (compat::type_version(type) == tag) verdicts_of(st, adapter).note(verdict, tag);
    return verdict;
}

// How one call reads and writes an instance's state (see the top of the
// file). Every value it returns is a strong reference.
class Attributes {
public:
    Attributes(BitstreamState* st, PyObject* self, Adapter adapter) : st_(st), self_(self), adapter_(adapter) {}
    BitstreamState* state() const { return st_; }
    PyObject* self() const { return self_; }

    // Whether this step may use the instance dict (and store views in it).
    bool direct() const { return leaves_state_to_dict(st_, Py_TYPE(self_), adapter_); }

    // The instance dict (new reference) when this step may use it, else null
    // with no exception set.
    Ref dict() const {
        if (!direct()) return Ref();
        Ref dict = Ref::steal(PyObject_GenericGetDict(self_, nullptr));
        if (!dict) PyErr_Clear();  // attribute access reports it
        return dict;
    }
    Ref get(PyObject* key) const {
        if (Ref d = dict()) {
            PyObject* value = nullptr;
            if (PyDict_GetItemRef(d.get(), key, &value) != 0) return Ref::steal(value);  // found, or failed
        }
        return native::attr(self_, key);  // a missing key: the class, else AttributeError
    }
    bool set(PyObject* key, PyObject* value) const {
        if (Ref d = dict()) return PyDict_SetItem(d.get(), key, value) == 0;
        return PyObject_SetAttr(self_, key, value) == 0;
    }
    bool set(PyObject* key, const Ref& value) const { return value && set(key, value.get()); }

private:
    BitstreamState* st_;
    PyObject* self_;
    Adapter adapter_;
};

// value[lo:hi] as Python slices it (None for an omitted bound).
Ref slice_of(PyObject* value, PyObject* lo, PyObject* hi) {
    Ref whole = plain(value);
    Ref bounds = Ref::steal(whole ? PySlice_New(lo, hi, nullptr) : nullptr);
    return Ref::steal(bounds ? PyObject_GetItem(whole.get(), bounds.get()) : nullptr);
}

// The stores of __init__, in order: into the instance dict, fetched once,
// when the class leaves the names to it; else by attribute assignment.
bool store_in_order(const Attributes& attrs, std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
    if (Ref dict = attrs.dict()) {
        for (const auto& [key, value] : items)
            if (PyDict_SetItem(dict.get(), key, value) < 0) return false;
        return true;
    }
    for (const auto& [key, value] : items)
        if (!attrs.set(key, value)) return false;
    return true;
}

// `self.<key> = current + extra`, with `current` already read: on the
// direct path bytes and views are joined without copying what is there.
bool store_concatenation(const Attributes& attrs, PyObject* key, Ref current, PyObject* extra) {
    if (is_plain_or_view(current.get()) && PyBytes_CheckExact(extra) && attrs.direct())
        return attrs.set(key, concatenated(attrs.state(), current.get(), extra));
    Ref left = plain(current.get());
    return left && attrs.set(key, Ref::steal(PyNumber_Add(left.get(), extra)));
}

// `self.<key> = current[removed:]` (current: bytes or a view; 0 <= removed).
bool store_front_cut(const Attributes& attrs, PyObject* key, Ref current, Py_ssize_t removed) {
    if (attrs.direct()) return attrs.set(key, front_cut(attrs.state(), current.get(), removed));
    Ref from = new_int(removed);
    return from && attrs.set(key, slice_of(current.get(), from.get(), nullptr));
}

// `self.<key> += amount`.
bool add_to_attribute(const Attributes& attrs, PyObject* key, PyObject* amount) {
    Ref value = attrs.get(key);
    return value && attrs.set(key, Ref::steal(PyNumber_InPlaceAdd(value.get(), amount)));
}

// len(value), without turning a view into bytes.
Py_ssize_t length_of(PyObject* value) { return is_view(value) ? view_size(value) : PyObject_Length(value); }

// len(value) < limit (op Py_LT) or len(value) >= limit (op Py_GE).
int compare_length(PyObject* value, PyObject* limit, int op) {
    const Py_ssize_t size = length_of(value);
    if (size < 0) return -1;
    Py_ssize_t small_limit = 0;
    if (small_index(limit, small_limit)) return op == Py_LT ? size < small_limit : size >= small_limit;
    Ref length = new_int(size);
    return length ? PyObject_RichCompareBool(length.get(), limit, op) : -1;
}

inline PyObject* no_attribute(PyObject* self, PyObject* key) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(self)->tp_name, key);
    return nullptr;
}

// ---- the buffer descriptors -----------------------------------------------------------
//
// `rwbuffer` (RebufferedBytesIO), `rbuffer` and `wbuffer`
// (RestreamedBytesIO): plain instance attributes, except that a view left in
// the dict is replaced by the bytes it stands for when read.

enum class Buffer : std::uintptr_t { rwbuffer, rbuffer, wbuffer };

PyObject* buffer_key(const BitstreamState* st, void* closure) {
    switch (static_cast<Buffer>(reinterpret_cast<std::uintptr_t>(closure))) {
        case Buffer::rbuffer:
            return name<"rbuffer">(st);
        case Buffer::wbuffer:
            return name<"wbuffer">(st);
        case Buffer::rwbuffer:
            break;
    }
    return name<"rwbuffer">(st);
}

PyObject* get_buffer(PyObject* self, void* closure) {
    BitstreamState* st = state_of_instance(self);
    if (st == nullptr) return nullptr;
    PyObject* key = buffer_key(st, closure);
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) return nullptr;
    PyObject* found = nullptr;
    const int present = PyDict_GetItemRef(dict.get(), key, &found);
    Ref value = Ref::steal(found);
    if (present <= 0) return present < 0 ? nullptr : no_attribute(self, key);
    if (!is_view(value.get())) return value.release();
    Ref bytes = view_to_bytes(value.get());
    if (!bytes || PyDict_SetItem(dict.get(), key, bytes.get()) < 0) return nullptr;
    return bytes.release();
}

int set_buffer(PyObject* self, PyObject* value, void* closure) {
    BitstreamState* st = state_of_instance(self);
    if (st == nullptr) return -1;
    PyObject* key = buffer_key(st, closure);
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

PyGetSetDef buffer_getsets[] = {
    {"rwbuffer", get_buffer, set_buffer, nullptr, reinterpret_cast<void*>(Buffer::rwbuffer)},
    {"rbuffer", get_buffer, set_buffer, nullptr, reinterpret_cast<void*>(Buffer::rbuffer)},
    {"wbuffer", get_buffer, set_buffer, nullptr, reinterpret_cast<void*>(Buffer::wbuffer)},
};

// ---- calling out ------------------------------------------------------------------------

// Bounds a run of polls that returned empty data (not None): a substream that
// keeps returning b"" has most likely ended. The bound is the attribute
// `emptytimeout` (a class attribute, overridable per instance), in seconds;
// None waits for ever.
class EmptyPollClock {
public:
    void reset() { running_ = false; }
    // False with IOError set once the run has lasted the bound; the message
    // says what was asked for (`count` bytes at `offset`), so that a cut-off
    // input can be told from a slow one in a log.
    bool note_empty(const Attributes& attrs, const char* doing, PyObject* count, PyObject* offset) {
        Ref limit = native::attr(attrs.self(), name<"emptytimeout">(attrs.state()));
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
        Py_ssize_t small_count = 0;
        const bool one = small_index(count, small_count) && small_count == 1;
        PyErr_Format(PyExc_OSError,
                     "could not %s %S byte%s at offset %S because substream returned no data for %R seconds", doing,
                     count, one ? "" : "s", offset, limit.get());
        return false;
    }

private:
    bool running_ = false;
    std::chrono::steady_clock::time_point since_;
};

// sleep(0), with `sleep` as the module binds it now.
bool pause(PyObject* module, const BitstreamState* st) {
    Ref sleep = native::global(module, name<"sleep">(st));
    if (!sleep) return false;
    Ref zero = new_int(0);
    return zero && native::call(sleep.get(), zero.get());
}

// substream.read(131072), with BlockingIOError (as the module binds it now)
// turned into None.
Ref poll_for_read(const Attributes& attrs, PyObject* module) {
    const BitstreamState* st = attrs.state();
    Ref substream = attrs.get(name<"substream">(st));
    if (!substream) return Ref();
    Ref data = native::call_method(substream.get(), name<"read">(st), st->chunk);
    if (data) return data;
    native::PendingError raised;
    Ref blocking = native::global(module, name<"BlockingIOError">(st));
    if (!blocking) {
        raised.chain_under_current();
        return Ref();
    }
    if (!PyExceptionClass_Check(blocking.get()) && !PyTuple_Check(blocking.get())) {
        PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
        raised.chain_under_current();
        return Ref();
    }
    if (!PyErr_GivenExceptionMatches(raised.exception(), blocking.get())) {
        raised.restore();
        return Ref();
    }
    return Ref::new_reference(Py_None);
}

// =============================================================================
// RestreamedBytesIO
// =============================================================================



// self.substream.<method>, the bound method, read as Python code reads it
// (the substream first). Null with an exception.
Ref substream_method(const Attributes& attrs, PyObject* method) {
    Ref substream = attrs.get(name<"substream">(attrs.state()));
    return substream ? native::attr(substream.get(), method) : Ref();
}

// One substream read of `decoderunit` bytes, decoded and appended to rbuffer,
// as `self.rbuffer = self.rbuffer + self.decoder(self.substream.read(self.decoderunit))`
// with the chunk tested first. 1 when a unit was appended, 0 when the
// substream gave nothing, -1 with an exception.
int decode_one_unit(const Attributes& attrs) {
    const BitstreamState* st = attrs.state();
    Ref read = substream_method(attrs, name<"read">(st));
    if (!read) return -1;
    Ref unit = attrs.get(name<"decoderunit">(st));
    if (!unit) return -1;
    Ref chunk = native::call(read.get(), unit.get());
    if (!chunk) return -1;
    if (chunk.get() == Py_None) return 0;
    const Py_ssize_t size = PyObject_Length(chunk.get());
    if (size < 0) return -1;
    if (size == 0) return 0;
    Ref rbuffer = attrs.get(name<"rbuffer">(st));
    if (!rbuffer) return -1;
    Ref decoder = attrs.get(name<"decoder">(st));
    if (!decoder) return -1;
    Ref decoded = native::call(decoder.get(), chunk.get());
    if (!decoded) return -1;
    return store_concatenation(attrs, name<"rbuffer">(st), std::move(rbuffer), decoded.get()) ? 1 : -1;
}

PyObject* restreamed_init(PyObject* self, PyTypeObject* cls, PyObject* substream, PyObject* decoder,
                          PyObject* decoderunit, PyObject* encoder, PyObject* encoderunit) {
    BitstreamState* const own = state_of(cls);
    if (own == nullptr) return nullptr;  // the collector cleared the class
    const Attributes attrs(own, self, Adapter::restreamed);
    const BitstreamState* st = attrs.state();
    Ref empty = empty_bytes();
    Ref zero = new_int(0);
    if (!empty || !zero) return nullptr;
    if (!store_in_order(attrs, {{name<"substream">(st), substream},
                                {name<"encoder">(st), encoder},
                                {name<"encoderunit">(st), encoderunit},
                                {name<"decoder">(st), decoder},
                                {name<"decoderunit">(st), decoderunit},
                                {name<"rbuffer">(st), empty.get()},
                                {name<"wbuffer">(st), empty.get()},
                                {name<"sincereadwritten">(st), zero.get()}}))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* restreamed_read_all(const Attributes& attrs) {
    const BitstreamState* st = attrs.state();
    for (;;) {
        const int got = decode_one_unit(attrs);
        if (got < 0) return nullptr;
        if (got == 0) break;
    }
    Ref rbuffer = attrs.get(name<"rbuffer">(st));
    if (!rbuffer) return nullptr;
    Ref data = plain(rbuffer.get());
    if (!data || !attrs.set(name<"rbuffer">(st), empty_bytes())) return nullptr;
    const Py_ssize_t size = PyObject_Length(data.get());
    if (size < 0) return nullptr;
    Ref amount = new_int(size);
    if (!amount || !add_to_attribute(attrs, name<"sincereadwritten">(st), amount.get())) return nullptr;
    return data.release();
}

// count < 0, for the refusal of negative counts.
int is_negative(PyObject* count, Py_ssize_t small_count, bool count_is_small) {
    if (count_is_small) return small_count < 0;
    Ref zero = new_int(0);
    return zero ? PyObject_RichCompareBool(count, zero.get(), Py_LT) : -1;
}

// read's count check: false with ValueError "count cannot be negative" (or
// the comparison's own error); otherwise true, with count_is_small telling
// whether small_count holds its value.
bool count_is_not_negative(PyObject* count, Py_ssize_t& small_count, bool& count_is_small) {
    count_is_small = small_index(count, small_count);
    const int negative = is_negative(count, small_count, count_is_small);
    if (negative < 0) return false;
    if (negative) {
        PyErr_SetString(PyExc_ValueError, "count cannot be negative");
        return false;
    }
    return true;
}

PyObject* restreamed_read(PyObject* self, PyObject* count) {
    BitstreamState* st = state_of_instance(self);
    if (st == nullptr) return nullptr;
    const Attributes attrs(st, self, Adapter::restreamed);
    if (count == nullptr || count == Py_None) return restreamed_read_all(attrs);

    Py_ssize_t small_count = 0;
    bool count_is_small = false;
    if (!count_is_not_negative(count, small_count, count_is_small)) return nullptr;
    for (;;) {
        Ref rbuffer = attrs.get(name<"rbuffer">(st));
        if (!rbuffer) return nullptr;
        const int short_of = compare_length(rbuffer.get(), count, Py_LT);
        if (short_of < 0) return nullptr;
        if (!short_of) break;
        const int got = decode_one_unit(attrs);
        if (got < 0) return nullptr;
        if (got == 0) return empty_bytes().release();
    }

    Ref rbuffer = attrs.get(name<"rbuffer">(st));
    if (!rbuffer) return nullptr;
    Ref data;
    if (count_is_small && is_plain_or_view(rbuffer.get()) && attrs.direct()) {
        data = front_copy(rbuffer.get(), small_count);
        if (!data || !store_front_cut(attrs, name<"rbuffer">(st), std::move(rbuffer), small_count)) return nullptr;
    } else {
        data = slice_of(rbuffer.get(), nullptr, count);
        if (!data) return nullptr;
        rbuffer = attrs.get(name<"rbuffer">(st));
        if (!rbuffer || !attrs.set(name<"rbuffer">(st), slice_of(rbuffer.get(), count, nullptr))) return nullptr;
    }
    if (!add_to_attribute(attrs, name<"sincereadwritten">(st), count)) return nullptr;
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

// One turn of the write loop: when wbuffer holds a unit, takes it off and
// passes it through the encoder to the substream. 1 when a unit was written,
// 0 when wbuffer is short of one, -1 with an exception.
int encode_one_unit(const Attributes& attrs) {
    const BitstreamState* st = attrs.state();
    Ref wbuffer = attrs.get(name<"wbuffer">(st));
    if (!wbuffer) return -1;
    Ref unit = attrs.get(name<"encoderunit">(st));
    if (!unit || !check_encoderunit(unit.get())) return -1;
    const int enough = compare_length(wbuffer.get(), unit.get(), Py_GE);
    if (enough <= 0) return enough;

    // The unit and the rest of wbuffer, both before anything is called. On
    // the direct path the rest is a view that shares the buffer, so that one
    // large write costs time linear in its size.
    Ref piece;
    Py_ssize_t small_unit = 0;
    if (small_index(unit.get(), small_unit) && is_plain_or_view(wbuffer.get()) && attrs.direct()) {
        piece = front_copy(wbuffer.get(), small_unit);
        if (!piece || !store_front_cut(attrs, name<"wbuffer">(st), std::move(wbuffer), small_unit)) return -1;
    } else {
        piece = slice_of(wbuffer.get(), nullptr, unit.get());
        if (!piece) return -1;
        wbuffer = attrs.get(name<"wbuffer">(st));
        unit = wbuffer ? attrs.get(name<"encoderunit">(st)) : Ref();
        if (!unit || !attrs.set(name<"wbuffer">(st), slice_of(wbuffer.get(), unit.get(), nullptr))) return -1;
    }

    Ref write = substream_method(attrs, name<"write">(st));
    if (!write) return -1;
    Ref encoder = attrs.get(name<"encoder">(st));
    if (!encoder) return -1;
    Ref encoded = native::call(encoder.get(), piece.get());
    if (!encoded || !native::call(write.get(), encoded.get())) return -1;
    return 1;
}

PyObject* restreamed_write(PyObject* self, PyObject* data) {
    BitstreamState* st = state_of_instance(self);
    if (st == nullptr) return nullptr;
    const Attributes attrs(st, self, Adapter::restreamed);
    {
        Ref unit = attrs.get(name<"encoderunit">(st));
        if (!unit || !check_encoderunit(unit.get())) return nullptr;
    }
    Ref wbuffer = attrs.get(name<"wbuffer">(st));
    if (!wbuffer || !store_concatenation(attrs, name<"wbuffer">(st), std::move(wbuffer), data)) return nullptr;
    const Py_ssize_t datalen = PyObject_Length(data);
    if (datalen < 0) return nullptr;
    for (;;) {
        const int wrote = encode_one_unit(attrs);
        if (wrote < 0) return nullptr;
        if (wrote == 0) break;
    }
    Ref amount = new_int(datalen);
    if (!amount || !add_to_attribute(attrs, name<"sincereadwritten">(st), amount.get())) return nullptr;
    return amount.release();
}

PyObject* restreamed_close(PyObject* self) {
    BitstreamState* st = state_of_instance(self);
    if (st == nullptr) return nullptr;
    const Attributes attrs(st, self, Adapter::restreamed);
    struct Check {
        PyObject* buffer;
        PyObject* unit;
        const char* format;
    };
    const Check checks[] = {
        {name<"rbuffer">(st), name<"decoderunit">(st), "closing stream but %d unread bytes remain, %d is decoded unit"},
        {name<"wbuffer">(st), name<"encoderunit">(st),
         "closing stream but %d unwritten bytes remain, %d is encoded unit"},
    };
    for (const Check& check : checks) {
        Ref buffer = attrs.get(check.buffer);
        if (!buffer) return nullptr;
        const Py_ssize_t size = length_of(buffer.get());
        if (size < 0) return nullptr;
        if (size == 0) continue;
        Ref unit = attrs.get(check.unit);
        Ref format = Ref::steal(PyUnicode_FromString(check.format));
        if (!unit || !format) return nullptr;
        Ref values = Ref::steal(Py_BuildValue("(nO)", size, unit.get()));
        Ref message = Ref::steal(values ? PyUnicode_Format(format.get(), values.get()) : nullptr);
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* restreamed_seek(PyObject*, PyObject*, PyObject*) {
    PyErr_SetNone(PyExc_OSError);
    return nullptr;
}

PyObject* restreamed_seekable(PyObject*) { Py_RETURN_FALSE; }

// tell() and cachedfrom(): one state attribute of the adapter, read as it stands.
template <Adapter Kind, native::Literal Key>
PyObject* state_attribute(PyObject* self) {
    BitstreamState* st = state_of_instance(self);
    if (st == nullptr) return nullptr;
    const Attributes attrs(st, self, Kind);
    return attrs.get(name<Key>(attrs.state())).release();
}

PyObject* always_tellable(PyObject*) { Py_RETURN_TRUE; }

// =============================================================================
// RebufferedBytesIO
// =============================================================================


// self.moved + len(self.rwbuffer) < limit
int window_ends_before(const Attributes& attrs, PyObject* limit) {
    const BitstreamState* st = attrs.state();
    Ref moved = attrs.get(name<"moved">(st));
    if (!moved) return -1;
    Ref window = attrs.get(name<"rwbuffer">(st));
    if (!window) return -1;
    const Py_ssize_t size = length_of(window.get());
    if (size < 0) return -1;
    Py_ssize_t start = 0, small_limit = 0;
    if (small_index(moved.get(), start) && small_index(limit, small_limit)) return start + size < small_limit;
    Ref length = new_int(size);
    Ref end = Ref::steal(length ? PyNumber_Add(moved.get(), length.get()) : nullptr);
    return end ? PyObject_RichCompareBool(end.get(), limit, Py_LT) : -1;
}

bool append_to_window(const Attributes& attrs, PyObject* newdata) {
    Ref window = attrs.get(name<"rwbuffer">(attrs.state()));
    return window && store_concatenation(attrs, name<"rwbuffer">(attrs.state()), std::move(window), newdata);
}

// The trimming rule that ends read and write.
bool trim_window(const Attributes& attrs) {
    const BitstreamState* st = attrs.state();
    Ref tailcutoff = attrs.get(name<"tailcutoff">(st));
    if (!tailcutoff) return false;
    if (tailcutoff.get() == Py_None) return true;
    Ref moved = attrs.get(name<"moved">(st));
    if (!moved) return false;
    Ref offset = attrs.get(name<"offset">(st));
    if (!offset) return false;
    Ref keepfrom = Ref::steal(PyNumber_Subtract(offset.get(), tailcutoff.get()));
    if (!keepfrom) return false;
    const int behind = PyObject_RichCompareBool(moved.get(), keepfrom.get(), Py_LT);
    if (behind <= 0) return behind == 0;
    Ref removed = Ref::steal(PyNumber_Subtract(keepfrom.get(), moved.get()));
    if (!removed || !add_to_attribute(attrs, name<"moved">(st), removed.get())) return false;

    // self.rwbuffer = self.rwbuffer[removed:]
    Ref window = attrs.get(name<"rwbuffer">(st));
    if (!window) return false;
    Py_ssize_t amount = 0;
    if (small_index(removed.get(), amount) && amount >= 0 && is_plain_or_view(window.get()) && attrs.direct())
        return store_front_cut(attrs, name<"rwbuffer">(st), std::move(window), amount);
    return attrs.set(name<"rwbuffer">(st), slice_of(window.get(), removed.get(), nullptr));
}

PyObject* raise_tail_cut_off(const char* doing) {
    PyErr_Format(PyExc_OSError, "could not %s because tail was cut off", doing);
    return nullptr;
}

// The common read: everything already in the window, the state plain ints,
// the window bytes or a view. Declines, with nothing done, when the call
// needs the documented steps one by one.
//
// Guard: every key of the instance dict is an exact str, checked by the
// walk that collects the values. Then no look-up or store in the dict runs
// Python code (comparing exact str keys runs none), and the values it
// replaces are ints and windows, whose deallocation runs none either; so the
// values borrowed from the walk stay the dict's until the store that
// replaces them. On free-threaded builds the call runs in the dict's
// critical section, so that it starts from one state of the dict, and holds
// the window it reads (see read_from_window).
//
// Where the GIL serialises callers, the module remembers the dict it served
// last as it left it (ServedWindow): while the dict's stamp says it has not
// changed since, its keys are still all exact str and its values are still
// those, and the walk is skipped. Only where a stamp sees attribute stores
// (DictChanges::sees_instance_stores: not on CPython 3.13.0).

bool walk_instance_dict(const BitstreamState* st, PyObject* dict, WindowState& out) {
    constexpr Py_ssize_t most_keys = 16;  // beyond this the walk costs more than look-ups
    const Py_ssize_t entries = PyDict_GET_SIZE(dict);
    if (entries > most_keys) return false;
    PyObject* const offset_key = name<"offset">(st);
    PyObject* const moved_key = name<"moved">(st);
    PyObject* const window_key = name<"rwbuffer">(st);
    PyObject* const tailcutoff_key = name<"tailcutoff">(st);
    PyObject *offset = nullptr, *moved = nullptr, *window = nullptr, *tailcutoff = nullptr;
    Py_ssize_t position = 0, seen = 0;
    PyObject *key, *value;
    while (seen < entries && PyDict_Next(dict, &position, &key, &value)) {
        ++seen;
        if (!PyUnicode_CheckExact(key)) return false;
        if (key == offset_key)
            offset = value;
        else if (key == moved_key)
            moved = value;
        else if (key == window_key)
            window = value;
        else if (key == tailcutoff_key)
            tailcutoff = value;
    }
    if (offset == nullptr || moved == nullptr || window == nullptr || tailcutoff == nullptr) return false;
    out.window = window;
    out.offset_int = offset;
    out.moved_int = moved;
    out.trims = tailcutoff != Py_None;
    out.tailcutoff = 0;
    return small_index(offset, out.offset) && small_index(moved, out.moved) &&
           (!out.trims || small_index(tailcutoff, out.tailcutoff)) && is_plain_or_view(window);
}

// dict[key] = value, where `held` is the int the dict binds to key now
// (borrowed; updated to the one it binds after). Always a new int: the one
// the dict held may be known to others by its value (another instance of
// the module serving this dict remembers it). The store runs no Python code
// (exact str keys, an int replaced).
bool store_int(PyObject* dict, PyObject* key, PyObject*& held, Py_ssize_t value) {
    Ref number = new_int(value);
    if (!number || PyDict_SetItem(dict, key, number.get()) < 0) return false;
    held = number.get();  // the dict holds it
    return true;
}

native::Fast read_from_window(BitstreamState* st, PyObject* dict, Py_ssize_t count) {
    WindowState now;
    // The module's memo is read and written only where `remembers` holds:
    // never on free-threaded builds, where threads would race on it.
    ServedWindow& served = st->served_window;
    const bool remembers = !compat::free_threaded && st->changes.sees_instance_stores();
    const native::DictStamp earlier = remembers ? served.stamp : native::DictStamp{};
    const bool known = remembers && st->changes.unchanged(dict, earlier);
    if (known)
        now = served.state;
    else if (!walk_instance_dict(st, dict, now))
        return native::declined();
    // On free-threaded builds the window is held: the dict's critical section
    // does not keep other threads out for the whole call, because on 3.13 a
    // store that locks the same dict again (PyDict_SetItem below) suspends
    // the outer section while it takes the lock, and another thread may
    // replace the window (and drop the last reference to it) meanwhile.
    Ref held_window;
    if constexpr (compat::free_threaded) held_window = Ref::new_reference(now.window);
    const char* data = contents(now.window);
    const Py_ssize_t size = contents_size(now.window);
    const Py_ssize_t startsat = now.offset, endsat = startsat + count;
    if (startsat < now.moved || now.moved + size < endsat) return native::declined();

    if (remembers) served.stamp = {};  // until the dict is as this call leaves it
    Ref result = Ref::steal(PyBytes_FromStringAndSize(data + (startsat - now.moved), count));
    if (!result) return Ref();
    if (!store_int(dict, name<"offset">(st), now.offset_int, endsat)) return Ref();
    now.offset = endsat;
    // The old offset may be freed now; the window and the others are still the dict's.
    if (now.trims && now.moved < endsat - now.tailcutoff) {
        const Py_ssize_t removed = endsat - now.tailcutoff - now.moved;
        if (!store_int(dict, name<"moved">(st), now.moved_int, now.moved + removed)) return Ref();
        now.moved += removed;
        Ref trimmed = front_cut(st, now.window, removed);
        if (!trimmed || PyDict_SetItem(dict, name<"rwbuffer">(st), trimmed.get()) < 0) return Ref();
        now.window = trimmed.get();  // the dict holds it
    }
    if (remembers) served = {known ? st->changes.restamp(dict, earlier) : st->changes.stamp(dict), now};
    return result;
}

PyObject* rebuffered_init(PyObject* self, PyTypeObject* cls, PyObject* substream, PyObject* tailcutoff) {
    BitstreamState* const own = state_of(cls);
    if (own == nullptr) return nullptr;  // the collector cleared the class
    const Attributes attrs(own, self, Adapter::rebuffered);
    const BitstreamState* st = attrs.state();
    Ref empty = empty_bytes();
    Ref zero = new_int(0);
    if (!empty || !zero) return nullptr;
    if (!store_in_order(attrs, {{name<"substream">(st), substream},
                                {name<"offset">(st), zero.get()},
                                {name<"rwbuffer">(st), empty.get()},
                                {name<"moved">(st), zero.get()},
                                {name<"tailcutoff">(st), tailcutoff ? tailcutoff : Py_None}}))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* rebuffered_read(PyObject* self, PyObject* count) {
    if (count == nullptr || count == Py_None) {
        PyErr_SetString(PyExc_ValueError, "count must be integer, reading until EOF not supported");
        return nullptr;
    }
    BitstreamState* st = state_of_instance(self);
    if (st == nullptr) return nullptr;
    const Attributes attrs(st, self, Adapter::rebuffered);
    Py_ssize_t small_count = 0;
    bool count_is_small = false;
    if (!count_is_not_negative(count, small_count, count_is_small)) return nullptr;
    if (count_is_small) {
        if (Ref dict = attrs.dict()) {
            native::Fast done = native::compat::in_critical_section(
                dict.get(), [&] { return read_from_window(st, dict.get(), small_count); });
            if (done) return done->release();
        }
    }

    PyObject* module = module_of_instance(self);  // borrowed: self's class holds it
    Ref startsat = attrs.get(name<"offset">(st));
    if (!startsat) return nullptr;
    Ref endsat = Ref::steal(PyNumber_Add(startsat.get(), count));
    if (!endsat) return nullptr;
    Ref moved = attrs.get(name<"moved">(st));
    if (!moved) return nullptr;
    const int cut_off = PyObject_RichCompareBool(startsat.get(), moved.get(), Py_LT);
    if (cut_off < 0) return nullptr;
    if (cut_off) return raise_tail_cut_off("read");

    EmptyPollClock clock;
    for (;;) {
        const int short_of = window_ends_before(attrs, endsat.get());
        if (short_of < 0) return nullptr;
        if (!short_of) break;
        Ref newdata = poll_for_read(attrs, module);
        if (!newdata) return nullptr;
        const int truth = PyObject_IsTrue(newdata.get());
        if (truth < 0) return nullptr;
        if (truth) {
            clock.reset();
            if (!append_to_window(attrs, newdata.get())) return nullptr;
            continue;
        }
        if (newdata.get() == Py_None)
            clock.reset();
        else if (!clock.note_empty(attrs, "read", count, startsat.get()))
            return nullptr;
        if (!pause(module, st)) return nullptr;
    }

    // data = self.rwbuffer[startsat - self.moved:endsat - self.moved]
    Ref window = attrs.get(name<"rwbuffer">(st));
    if (!window) return nullptr;
    moved = attrs.get(name<"moved">(st));
    if (!moved) return nullptr;
    Ref lo = Ref::steal(PyNumber_Subtract(startsat.get(), moved.get()));
    Ref hi = Ref::steal(lo ? PyNumber_Subtract(endsat.get(), moved.get()) : nullptr);
    if (!hi) return nullptr;
    Ref data;
    Py_ssize_t small_lo = 0, small_hi = 0;
    if (is_plain_or_view(window.get()) && small_index(lo.get(), small_lo) && small_index(hi.get(), small_hi) &&
        small_lo >= 0 && small_lo <= small_hi) {
        const Py_ssize_t size = contents_size(window.get());
        const Py_ssize_t from = std::min(small_lo, size), to = std::min(small_hi, size);
        data = Ref::steal(PyBytes_FromStringAndSize(contents(window.get()) + from, to - from));
    } else {
        data = slice_of(window.get(), lo.get(), hi.get());
    }
    if (!data) return nullptr;
    window = Ref();
    if (!add_to_attribute(attrs, name<"offset">(st), count) || !trim_window(attrs)) return nullptr;

    const int too_short = compare_length(data.get(), count, Py_LT);
    if (too_short < 0) return nullptr;
    if (too_short) {
        PyErr_SetString(PyExc_OSError, "could not read enough bytes, something went wrong");
        return nullptr;
    }
    return data.release();
}

// self.rwbuffer = self.rwbuffer[:lo] + data + self.rwbuffer[hi:]. On the
// direct path a view is written into where it lies when nothing but the
// instance dict holds it and its block has no other view; otherwise the
// result is a new view, so that the read-ahead after the written bytes is
// not copied by every write.
bool overwrite_window(const Attributes& attrs, PyObject* lo_object, PyObject* hi_object, PyObject* data) {
    const BitstreamState* st = attrs.state();
    PyObject* key = name<"rwbuffer">(st);
    Ref window = attrs.get(key);
    if (!window) return false;
    Py_ssize_t lo = 0, hi = 0;
    if (is_plain_or_view(window.get()) && PyBytes_CheckExact(data) && small_index(lo_object, lo) &&
        small_index(hi_object, hi) && lo >= 0 && lo <= contents_size(window.get()) && hi == lo + Py_SIZE(data) &&
        attrs.direct())
        return attrs.set(key, spliced(st, window.get(), lo, data));
    Ref head = slice_of(window.get(), nullptr, lo_object);
    Ref joined = Ref::steal(head ? PyNumber_Add(head.get(), data) : nullptr);
    if (!joined) return false;
    Ref tail = slice_of(window.get(), hi_object, nullptr);
    return attrs.set(key, Ref::steal(tail ? PyNumber_Add(joined.get(), tail.get()) : nullptr));
}

PyObject* rebuffered_write(PyObject* self, PyObject* data) {
    BitstreamState* st = state_of_instance(self);
    if (st == nullptr) return nullptr;
    const Attributes attrs(st, self, Adapter::rebuffered);
    PyObject* module = module_of_instance(self);  // borrowed: self's class holds it

    Ref startsat = attrs.get(name<"offset">(st));
    if (!startsat) return nullptr;
    const Py_ssize_t datalen = PyObject_Length(data);
    if (datalen < 0) return nullptr;
    Ref length = new_int(datalen);
    Ref endsat = Ref::steal(length ? PyNumber_Add(startsat.get(), length.get()) : nullptr);
    if (!endsat) return nullptr;
    // Writing before the window start would splice the data at a wrong
    // place: refused before and after the fill loop (which runs code that may
    // move the window).
    for (int check = 0; check < 2; ++check) {
        Ref moved = attrs.get(name<"moved">(st));
        if (!moved) return nullptr;
        const int cut_off = PyObject_RichCompareBool(startsat.get(), moved.get(), Py_LT);
        if (cut_off < 0) return nullptr;
        if (cut_off) return raise_tail_cut_off("write");
        if (check == 1) break;

        EmptyPollClock clock;
        for (;;) {
            const int short_of = window_ends_before(attrs, startsat.get());
            if (short_of < 0) return nullptr;
            if (!short_of) break;
            Ref substream = attrs.get(name<"substream">(st));
            if (!substream) return nullptr;
            Ref newdata = native::call_method(substream.get(), name<"read">(st), st->chunk);
            if (!newdata || !append_to_window(attrs, newdata.get())) return nullptr;
            const int truth = PyObject_IsTrue(newdata.get());
            if (truth < 0) return nullptr;
            if (truth) {
                clock.reset();
                continue;
            }
            if (!clock.note_empty(attrs, "write", length.get(), startsat.get()) || !pause(module, st)) return nullptr;
        }
    }

    Ref moved = attrs.get(name<"moved">(st));
    if (!moved) return nullptr;
    Ref lo = Ref::steal(PyNumber_Subtract(startsat.get(), moved.get()));
    Ref hi = Ref::steal(lo ? PyNumber_Subtract(endsat.get(), moved.get()) : nullptr);
    if (!hi || !overwrite_window(attrs, lo.get(), hi.get(), data)) return nullptr;
    if (!attrs.set(name<"offset">(st), endsat.get()) || !trim_window(attrs)) return nullptr;
    return length.release();
}

PyObject* rebuffered_seek(PyObject* self, PyObject* at, PyObject* whence) {
    BitstreamState* st = state_of_instance(self);
    if (st == nullptr) return nullptr;
    const Attributes attrs(st, self, Adapter::rebuffered);
    // whence == 0, then whence == 1: equality tests, so False, 0.0 and True count.
    Py_ssize_t small_whence = 0;
    if (whence != nullptr && !small_index(whence, small_whence)) {
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
    if (small_whence == 0) {
        if (!attrs.set(name<"offset">(st), at)) return nullptr;
    } else if (small_whence == 1) {
        Ref offset = attrs.get(name<"offset">(st));
        if (!offset) return nullptr;
        Py_ssize_t old_offset = 0, step = 0;
        Ref moved_to = small_index(offset.get(), old_offset) && small_index(at, step)
                           ? new_int(old_offset + step)
                           : Ref::steal(PyNumber_InPlaceAdd(offset.get(), at));
        if (!attrs.set(name<"offset">(st), moved_to)) return nullptr;
    } else {
        PyErr_SetString(PyExc_ValueError, "this class seeks only with whence: 0 and 1 (excluded 2)");
        return nullptr;
    }
    return attrs.get(name<"offset">(st)).release();
}

PyObject* always_seekable(PyObject*) { Py_RETURN_TRUE; }

PyObject* rebuffered_cachedto(PyObject* self) {
    BitstreamState* st = state_of_instance(self);
    if (st == nullptr) return nullptr;
    const Attributes attrs(st, self, Adapter::rebuffered);
    Ref moved = attrs.get(name<"moved">(st));
    if (!moved) return nullptr;
    Ref window = attrs.get(name<"rwbuffer">(st));
    if (!window) return nullptr;
    const Py_ssize_t size = length_of(window.get());
    if (size < 0) return nullptr;
    Py_ssize_t start = 0;
    if (small_index(moved.get(), start)) return PyLong_FromSsize_t(start + size);
    Ref length = new_int(size);
    return length ? PyNumber_Add(moved.get(), length.get()) : nullptr;
}

// ---- the classes ---------------------------------------------------------------------

constexpr native::Literal restreamed_init_text = "__init__($self, /, substream, decoder, decoderunit, encoder, encoderunit)";
constexpr native::Literal rebuffered_init_text = "__init__($self, /, substream, tailcutoff=None)";

PyMethodDef restreamed_methods[] = {
    native::method<restreamed_init_text, restreamed_init>(),
    native::plain_method<"read($self, /, count=None)", restreamed_read>(),
    native::plain_method<"write($self, /, data)", restreamed_write>(),
    native::plain_method<"close($self, /)", restreamed_close>(),
    native::plain_method<"seek($self, /, at, whence=0)", restreamed_seek>(),
    native::plain_method<"seekable($self, /)", restreamed_seekable>(),
    native::plain_method<"tell($self, /)", state_attribute<Adapter::restreamed, "sincereadwritten">,
                   "WARNING: tell is correct only on read-only and write-only instances.">(),
    native::plain_method<"tellable($self, /)", always_tellable>(),
    native::end_of_methods,
};

PyMethodDef rebuffered_methods[] = {
    native::method<rebuffered_init_text, rebuffered_init>(),
    native::plain_method<"read($self, /, count=None)", rebuffered_read>(),
    native::plain_method<"write($self, /, data)", rebuffered_write>(),
    native::plain_method<"seek($self, /, at, whence=0)", rebuffered_seek>(),
    native::plain_method<"seekable($self, /)", always_seekable>(),
    native::plain_method<"tell($self, /)", state_attribute<Adapter::rebuffered, "offset">>(),
    native::plain_method<"tellable($self, /)", always_tellable>(),
    native::plain_method<"cachedfrom($self, /)", state_attribute<Adapter::rebuffered, "moved">>(),
    native::plain_method<"cachedto($self, /)", rebuffered_cachedto>(),
    native::end_of_methods,
};

// Binds the buffer descriptor `def` on the class and keeps it in `slot`.
bool add_buffer_descriptor(PyObject* cls, PyGetSetDef* def, PyObject*& slot) {
    Ref descriptor = Ref::steal(PyDescr_NewGetSet(reinterpret_cast<PyTypeObject*>(cls), def));
    if (!descriptor || PyObject_SetAttrString(cls, def->name, descriptor.get()) < 0) return false;
    slot = descriptor.release();
    return true;
}

// The classes get their __init__ as a native slot too: constructing an
// adapter is common, and the generic slot's look-up and method call cost as
// much as the rest of the constructor.
Ref make_restreamed_class(PyObject* module, BitstreamState* st) {
    Ref cls = native::make_class(module, {"RestreamedBytesIO", nullptr, restreamed_methods}, {}, st->descriptor_type);
    if (!cls || !add_buffer_descriptor(cls.get(), &buffer_getsets[1], st->rbuffer_descriptor) ||
        !add_buffer_descriptor(cls.get(), &buffer_getsets[2], st->wbuffer_descriptor))
        return Ref();
    native::install_slot(cls.get(), &PyTypeObject::tp_init, native::init_slot<restreamed_init_text, restreamed_init>);
    return cls;
}

// RebufferedBytesIO plus the default bound on waiting for a substream that
// keeps returning empty data.
Ref make_rebuffered_class(PyObject* module, BitstreamState* st) {
    Ref cls = native::make_class(module, {"RebufferedBytesIO", nullptr, rebuffered_methods}, {}, st->descriptor_type);
    if (!cls || !add_buffer_descriptor(cls.get(), &buffer_getsets[0], st->rwbuffer_descriptor)) return Ref();
    Ref emptytimeout = Ref::steal(PyFloat_FromDouble(1.0));
    if (!emptytimeout || PyObject_SetAttrString(cls.get(), "emptytimeout", emptytimeout.get()) < 0) return Ref();
    native::install_slot(cls.get(), &PyTypeObject::tp_init, native::init_slot<rebuffered_init_text, rebuffered_init>);
    return cls;
}

// The module's own state: names, the method descriptor and view types, the
// read-ahead size as an int.
bool prepare_state(PyObject* module, BitstreamState* st) {
    if (!st->prepare_shared(module, true) || !st->changes.check_instance_stores()) return false;
    st->view_type = PyType_FromModuleAndSpec(module, &view_spec, nullptr);
    if (st->view_type == nullptr) return false;
    st->chunk = PyLong_FromSsize_t(read_ahead_chunk);
    return st->chunk != nullptr;
}

int exec_bitstream(PyObject* module) {
    BitstreamState* st = native::state_of<BitstreamState>(module);
    if (!prepare_state(module, st)) return -1;
    if (!native::set_module_attribute(module, "BlockingIOError", native::import_from("io", "BlockingIOError"))) return -1;
    if (!native::set_module_attribute(module, "sleep", native::import_from("time", "sleep"))) return -1;
    if (!native::set_module_attribute(module, "RestreamedBytesIO", make_restreamed_class(module, st))) return -1;
    if (!native::set_module_attribute(module, "RebufferedBytesIO", make_rebuffered_class(module, st))) return -1;
    return 0;
}

}  // namespace

NATIVE_MODULE(bitstream, "tavro.lib.bitstream", BitstreamState, exec_bitstream)
