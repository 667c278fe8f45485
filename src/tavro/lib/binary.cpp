// tavro.lib.binary: integers to and from bit strings and byte strings, and
// the byte-wise transforms of bit strings.
//
// Every function reads its collaborators (int2byte, byte2int, iterateints,
// bytes2bits, the three tables, binascii) from the module namespace at each
// call. When they are still the module's own objects with their original
// contents, the work is done natively and the result built once; otherwise
// each step goes through the objects found, one at a time, exactly as the
// algorithm describes it. Checking "still the original" must cost next to
// nothing, so the module remembers the namespace's dict version at which it
// last looked the collaborators up, and for each table the (dict, version)
// pair it last verified entry by entry. Dict version tags are unique per
// mutation, so a matching pair proves the table unchanged.
#include "native.hpp"
#include "legacy.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace {

using native::Ref;

// ---- constant lookup arrays ----------------------------------------------

// The 8-byte bit string (0x00/0x01 per bit, most significant first) of each
// byte value.
constexpr auto make_bit_patterns() {
    std::array<std::array<unsigned char, 8>, 256> table{};
    for (int i = 0; i < 256; ++i)
        for (int k = 0; k < 8; ++k) table[i][k] = static_cast<unsigned char>((i >> (7 - k)) & 1);
    return table;
}
constexpr auto bit_patterns = make_bit_patterns();

// Each byte value with its bit order reversed.
constexpr auto make_reversed_bits() {
    std::array<unsigned char, 256> table{};
    for (int i = 0; i < 256; ++i) {
        int reversed = 0;
        for (int k = 0; k < 8; ++k) reversed |= ((i >> k) & 1) << (7 - k);
        table[i] = static_cast<unsigned char>(reversed);
    }
    return table;
}
constexpr auto reversed_bits = make_reversed_bits();

// ---- module state --------------------------------------------------------

struct TableCheck {
    PyObject* table = nullptr;  // identity only, never dereferenced
    std::uint64_t version = 0;
    bool canonical = false;
};

struct State {
    // The collaborators as this module installed them (strong references);
    // null when the one found at initialisation was not portil's own.
    PyObject* int2byte;
    PyObject* byte2int;
    PyObject* iterateints;
    PyObject* bytes2bits;
    PyObject* portil_namespace;  // where the original int2byte reads INT2BYTE_CACHE
    PyObject* reversed_slice;    // slice(None, None, -1)

    // What the namespace held at `namespace_version`; the table pointers are
    // borrowed from the namespace, which keeps them alive while unchanged.
    bool namespace_seen;
    std::uint64_t namespace_version;
    bool int2byte_original, byte2int_original, iterateints_original, bytes2bits_original;
    PyObject* bytes2bits_cache;
    PyObject* bits2bytes_cache;
    PyObject* swapbitsinbytes_cache;

    bool portil_seen;
    std::uint64_t portil_version;
    PyObject* int2byte_cache;

    TableCheck int2byte_check, bytes2bits_check, bits2bytes_check, swapbitsinbytes_check;
};

State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

PyObject* lookup(PyObject* dict, PyObject* key) {  // borrowed, never raises
    if (key == nullptr) return nullptr;
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) PyErr_Clear();
    return value;
}

void refresh_namespace(State* st, PyObject* module) {
    PyObject* ns = PyModule_GetDict(module);
    const std::uint64_t version = native::legacy::dict_version(ns);
    if (st->namespace_seen && st->namespace_version == version) return;
    st->int2byte_original = st->int2byte && lookup(ns, native::legacy::name<"int2byte">()) == st->int2byte;
    st->byte2int_original = st->byte2int && lookup(ns, native::legacy::name<"byte2int">()) == st->byte2int;
    st->iterateints_original = st->iterateints && lookup(ns, native::legacy::name<"iterateints">()) == st->iterateints;
    st->bytes2bits_original = st->bytes2bits && lookup(ns, native::legacy::name<"bytes2bits">()) == st->bytes2bits;
    st->bytes2bits_cache = lookup(ns, native::legacy::name<"BYTES2BITS_CACHE">());
    st->bits2bytes_cache = lookup(ns, native::legacy::name<"BITS2BYTES_CACHE">());
    st->swapbitsinbytes_cache = lookup(ns, native::legacy::name<"SWAPBITSINBYTES_CACHE">());
    st->namespace_version = version;
    st->namespace_seen = true;
}

// Verifies a table entry by entry, at most once per (dict, version).
template <bool (*Verify)(PyObject*)>
bool table_canonical(TableCheck& check, PyObject* table) {
    if (table == nullptr || !PyDict_CheckExact(table)) return false;
    const std::uint64_t version = native::legacy::dict_version(table);
    if (table != check.table || version != check.version) {
        check.table = table;
        check.version = version;
        check.canonical = Verify(table);
    }
    return check.canonical;
}

// Reads an exact int key 0..255; -1 for anything else.
long byte_key(PyObject* key) {
    if (!PyLong_CheckExact(key)) return -1;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(key, &overflow);
    return (overflow || value < 0 || value > 255) ? -1 : value;
}

bool is_bytes_of(PyObject* value, const unsigned char* content, Py_ssize_t size) {
    return PyBytes_CheckExact(value) && PyBytes_GET_SIZE(value) == size &&
           std::memcmp(PyBytes_AS_STRING(value), content, static_cast<std::size_t>(size)) == 0;
}

// The tables hold exactly 256 entries, so 256 valid, distinct keys cover
// every byte value; no key comparison can run Python code.
template <class Expected>
bool verify_byte_keyed(PyObject* table, Expected expected) {
    if (PyDict_GET_SIZE(table) != 256) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(table, &pos, &key, &value)) {
        const long i = byte_key(key);
        if (i < 0 || !expected(static_cast<unsigned char>(i), value)) return false;
    }
    return true;
}

bool verify_one_byte_table(PyObject* table) {
    return verify_byte_keyed(table, [](unsigned char i, PyObject* v) { return is_bytes_of(v, &i, 1); });
}

bool verify_bytes2bits_table(PyObject* table) {
    return verify_byte_keyed(table, [](unsigned char i, PyObject* v) { return is_bytes_of(v, bit_patterns[i].data(), 8); });
}

bool verify_swapbitsinbytes_table(PyObject* table) {
    return verify_byte_keyed(table, [](unsigned char i, PyObject* v) { return is_bytes_of(v, &reversed_bits[i], 1); });
}

// A valid 8-byte bit string as the byte it stands for, or -1.
int packed_group(const char* group) {
    std::uint64_t word;
    std::memcpy(&word, group, 8);
    if (word & ~UINT64_C(0x0101010101010101)) return -1;
    if constexpr (std::endian::native == std::endian::little) {
        // Moves the bit at 8k to 63 - k for every k at once.
        return static_cast<int>((word * UINT64_C(0x8040201008040201)) >> 56);
    } else {
        int packed = 0;
        for (int k = 0; k < 8; ++k) packed = (packed << 1) | group[k];
        return packed;
    }
}

bool verify_bits2bytes_table(PyObject* table) {
    if (PyDict_GET_SIZE(table) != 256) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(table, &pos, &key, &value)) {
        if (!PyBytes_CheckExact(key) || PyBytes_GET_SIZE(key) != 8) return false;
        const int i = packed_group(PyBytes_AS_STRING(key));
        const unsigned char byte = static_cast<unsigned char>(i);
        if (i < 0 || !is_bytes_of(value, &byte, 1)) return false;
    }
    return true;
}

// int2byte is native when it is portil's function and the INT2BYTE_CACHE it
// reads (in portil's namespace, now) is untouched.
bool int2byte_native(State* st) {
    if (!st->int2byte_original) return false;
    PyObject* ns = st->portil_namespace;
    const std::uint64_t version = native::legacy::dict_version(ns);
    if (!st->portil_seen || st->portil_version != version) {
        st->int2byte_cache = lookup(ns, native::legacy::name<"INT2BYTE_CACHE">());
        st->portil_version = version;
        st->portil_seen = true;
    }
    return table_canonical<verify_one_byte_table>(st->int2byte_check, st->int2byte_cache);
}

bool bytes2bits_table_native(State* st) {
    return table_canonical<verify_bytes2bits_table>(st->bytes2bits_check, st->bytes2bits_cache);
}

// bytes2bits(x) as the function found in the namespace would compute it.
bool bytes2bits_native(State* st) {
    return st->bytes2bits_original && st->iterateints_original && bytes2bits_table_native(st);
}

// ---- small helpers -------------------------------------------------------

// The bytes of an exact bytes or bytearray: iterating those yields their
// byte values without running Python code.
struct ByteView {
    const unsigned char* data = nullptr;
    Py_ssize_t size = 0;
};

bool plain_bytes(PyObject* object, ByteView& view) {
    if (PyBytes_CheckExact(object)) {
        view = {reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(object)), PyBytes_GET_SIZE(object)};
        return true;
    }
    if (PyByteArray_CheckExact(object)) {
        view = {reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(object)), PyByteArray_GET_SIZE(object)};
        return true;
    }
    return false;
}

Ref new_bytes(Py_ssize_t size) { return Ref::steal(PyBytes_FromStringAndSize(nullptr, size)); }

unsigned char* bytes_buffer(const Ref& bytes) { return reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get())); }

Ref small_int(long value) { return Ref::steal(PyLong_FromLong(value)); }

// b"".join(items)
PyObject* join_bytes(PyObject* items) {
    Ref empty = new_bytes(0);
    if (!empty) return nullptr;
    return _PyBytes_Join(empty.get(), items);
}

// data[start:stop]
Ref slice_of(PyObject* data, Py_ssize_t start, Py_ssize_t stop) {
    Ref lower = Ref::steal(PyLong_FromSsize_t(start));
    Ref upper = Ref::steal(PyLong_FromSsize_t(stop));
    if (!lower || !upper) return Ref();
    Ref range = Ref::steal(PySlice_New(lower.get(), upper.get(), nullptr));
    if (!range) return Ref();
    return Ref::steal(PyObject_GetItem(data, range.get()));
}

// global(name)(argument)
template <native::Literal Name>
Ref call_global(PyObject* module, PyObject* argument) {
    Ref function = native::legacy::global<Name>(module);
    if (!function) return Ref();
    return native::call(function.get(), argument);
}

// global(name)[key]
template <native::Literal Name>
Ref item_of_global(PyObject* module, PyObject* key) {
    Ref table = native::legacy::global<Name>(module);
    if (!table) return Ref();
    return Ref::steal(PyObject_GetItem(table.get(), key));
}

// `width < 0` raises ValueError; -1 error, 0 fine.
int check_width(PyObject* width) {
    int negative;
    if (PyLong_CheckExact(width)) {
        negative = _PyLong_Sign(width) < 0;
    } else {
        Ref zero = small_int(0);
        if (!zero) return -1;
        negative = PyObject_RichCompareBool(width, zero.get(), Py_LT);
        if (negative < 0) return -1;
    }
    if (negative) {
        PyErr_SetString(PyExc_ValueError, "width must be non-negative");
        return -1;
    }
    return 0;
}

// int(number)
Ref as_int(PyObject* number) {
    if (PyLong_CheckExact(number)) return Ref::new_reference(number);
    return Ref::steal(PyNumber_Long(number));
}

// A width usable natively: an exact int that fits Py_ssize_t, else -1.
Py_ssize_t native_width(PyObject* width) {
    if (!PyLong_CheckExact(width)) return -1;
    const Py_ssize_t value = PyLong_AsSsize_t(width);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    return value;
}

// The least significant `count` bytes of number's two's complement,
// least significant first.
bool low_bytes(PyObject* number, unsigned char* out, Py_ssize_t count) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (!overflow) {
        const auto bits = static_cast<unsigned long long>(value);
        const unsigned char fill = value < 0 ? 0xFF : 0x00;
        for (Py_ssize_t k = 0; k < count; ++k) out[k] = k < 8 ? static_cast<unsigned char>(bits >> (8 * k)) : fill;
        return true;
    }
    // Too few bytes for the whole value is an OverflowError, but the low
    // bytes are written all the same, and they are what is wanted here.
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(number), out, static_cast<std::size_t>(count), 1, 1) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
    }
    return true;
}

// Native steps fail only when memory runs out; the generic steps then raise
// the error the algorithm itself meets for such a size.
bool out_of_memory_retry() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError) || PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        return true;
    }
    return false;
}

// ---- integer2bits / integer2bytes ----------------------------------------

PyObject* integer_to_bits_native(PyObject* number, Py_ssize_t width) {
    Ref result = new_bytes(width);
    if (!result) return nullptr;
    unsigned char* out = bytes_buffer(result);
    const Py_ssize_t whole = width / 8, rest = width % 8;
    const Py_ssize_t count = whole + (rest ? 1 : 0);
    unsigned char small[64];
    unsigned char* low = count <= 64 ? small : static_cast<unsigned char*>(PyMem_Malloc(static_cast<std::size_t>(count)));
    if (low == nullptr) return PyErr_NoMemory();
    const bool ok = low_bytes(number, low, count);
    if (ok) {
        for (Py_ssize_t k = 0; k < whole; ++k) std::memcpy(out + width - 8 * (k + 1), bit_patterns[low[k]].data(), 8);
        for (Py_ssize_t j = 0; j < rest; ++j) out[j] = static_cast<unsigned char>((low[whole] >> (rest - 1 - j)) & 1);
    }
    if (low != small) PyMem_Free(low);
    return ok ? result.release() : nullptr;
}

// Step by step: number += 1 << width when negative; bits = [b"\x00"] * width;
// fill from the end with int2byte(number & 1) while number and i >= 0.
// Bytewise (mask 255, shift 8, 1 << (width * 8)) the same loop serves
// integer2bytes.
PyObject* integer_to_entries_generic(PyObject* module, Ref number, PyObject* width, int shift, bool bytewise) {
    Ref zero = small_int(0), one = small_int(1), mask = small_int(bytewise ? 255 : 1), step = small_int(shift);
    if (!zero || !one || !mask || !step) return nullptr;
    const int negative = PyObject_RichCompareBool(number.get(), zero.get(), Py_LT);
    if (negative < 0) return nullptr;
    if (negative) {
        Ref exponent = bytewise ? Ref::steal(PyNumber_Multiply(width, step.get())) : Ref::new_reference(width);
        if (!exponent) return nullptr;
        Ref bias = Ref::steal(PyNumber_Lshift(one.get(), exponent.get()));
        if (!bias) return nullptr;
        number = Ref::steal(PyNumber_InPlaceAdd(number.get(), bias.get()));
        if (!number) return nullptr;
    }
    Ref zero_byte = Ref::steal(PyBytes_FromStringAndSize("\0", 1));
    Ref single = Ref::steal(PyList_New(1));
    if (!zero_byte || !single) return nullptr;
    PyList_SET_ITEM(single.get(), 0, Py_NewRef(zero_byte.get()));
    Ref entries = Ref::steal(PyNumber_Multiply(single.get(), width));
    if (!entries) return nullptr;
    if (bytewise && PyLong_Check(number.get()) && PyList_Check(entries.get())) {
        // A number outside -256**width <= n < 256**width would be written
        // through negative indexes or silently dropped; refuse it instead.
        const Py_ssize_t size = PyList_GET_SIZE(entries.get());
        bool fits = _PyLong_Sign(number.get()) >= 0;
        if (fits) {
            const std::size_t bits = _PyLong_NumBits(number.get());
            if (bits == static_cast<std::size_t>(-1)) return nullptr;
            fits = (bits + 7) / 8 <= static_cast<std::size_t>(size);
        }
        if (!fits) {
            PyErr_Format(PyExc_ValueError, "number out of range for width %zd", size);
            return nullptr;
        }
    }
    Ref index = Ref::steal(PyNumber_Subtract(width, one.get()));
    if (!index) return nullptr;
    for (;;) {
        const int more = PyObject_IsTrue(number.get());
        if (more <= 0) {
            if (more < 0) return nullptr;
            break;
        }
        const int inside = PyObject_RichCompareBool(index.get(), zero.get(), Py_GE);
        if (inside <= 0) {
            if (inside < 0) return nullptr;
            break;
        }
        Ref low = Ref::steal(PyNumber_And(number.get(), mask.get()));
        if (!low) return nullptr;
        Ref entry = call_global<"int2byte">(module, low.get());
        if (!entry || PyObject_SetItem(entries.get(), index.get(), entry.get()) < 0) return nullptr;
        number = Ref::steal(PyNumber_InPlaceRshift(number.get(), step.get()));
        if (!number) return nullptr;
        index = Ref::steal(PyNumber_InPlaceSubtract(index.get(), one.get()));
        if (!index) return nullptr;
    }
    return join_bytes(entries.get());
}


PyObject* integer_to_bytes_native(PyObject* number, Py_ssize_t width) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (!overflow && width <= 8) {
        if (width < 8) {
            const unsigned long long limit = 1ULL << (8 * width);
            const unsigned long long magnitude = value < 0 ? ~static_cast<unsigned long long>(value) : value;
            if (magnitude >= limit) {
                PyErr_Format(PyExc_ValueError, "number out of range for width %zd", width);
                return nullptr;
            }
        }
        Ref result = new_bytes(width);
        if (!result) return nullptr;
        unsigned char* out = bytes_buffer(result);
        auto bits = static_cast<unsigned long long>(value);
        for (Py_ssize_t k = width - 1; k >= 0; --k, bits >>= 8) out[k] = static_cast<unsigned char>(bits);
        return result.release();
    }
    // -256**width <= number < 256**width: the magnitude of number, or of
    // ~number when negative, needs at most 8 * width bits.
    Ref magnitude = _PyLong_Sign(number) < 0 ? Ref::steal(PyNumber_Invert(number)) : Ref::new_reference(number);
    if (!magnitude) return nullptr;
    const std::size_t bits = _PyLong_NumBits(magnitude.get());
    if (bits == static_cast<std::size_t>(-1)) return nullptr;
    if ((bits + 7) / 8 > static_cast<std::size_t>(width)) {
        PyErr_Format(PyExc_ValueError, "number out of range for width %zd", width);
        return nullptr;
    }
    Ref result = new_bytes(width);
    if (!result) return nullptr;
    unsigned char* out = bytes_buffer(result);
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(number), out, static_cast<std::size_t>(width), 0, 1) < 0) {
        // Only the sign bit did not fit; the bytes written are the low ones.
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
        PyErr_Clear();
    }
    return result.release();
}

// integer2bits and integer2bytes: `width` entries of `shift` bits each, built
// natively while int2byte is the module's own, else step by step.
template <PyObject* (*Native)(PyObject*, Py_ssize_t), int Shift, bool Bytewise>
PyObject* integer_to_entries(PyObject* module, const native::Signature<2>& sig, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
    native::Bound<2> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* width = a[1];
    if (check_width(width) < 0) return nullptr;
    Ref number = as_int(a[0]);
    if (!number) return nullptr;
    State* st = state_of(module);
    refresh_namespace(st, module);
    const Py_ssize_t size = native_width(width);
    if (size >= 0 && PyLong_CheckExact(number.get()) && int2byte_native(st)) {
        PyObject* result = Native(number.get(), size);
        if (result != nullptr || !out_of_memory_retry()) return result;
    }
    return integer_to_entries_generic(module, std::move(number), width, Shift, Bytewise);
}

PyObject* integer2bits(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<2> sig{"integer2bits", {"number", "width"}, 2};
    return integer_to_entries<integer_to_bits_native, 1, false>(module, sig, args, nargs, kwnames);
}

PyObject* integer2bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<2> sig{"integer2bytes", {"number", "width"}, 2};
    return integer_to_entries<integer_to_bytes_native, 8, true>(module, sig, args, nargs, kwnames);
}

// ---- bits2integer / bytes2integer ----------------------------------------

// number = (number << shift) | b for each b of iterateints(data).
Ref accumulate_generic(PyObject* module, PyObject* data, int shift) {
    Ref elements = call_global<"iterateints">(module, data);
    if (!elements) return Ref();
    Ref iterator = Ref::steal(PyObject_GetIter(elements.get()));
    Ref number = small_int(0);
    Ref step = small_int(shift);
    if (!iterator || !number || !step) return Ref();
    for (;;) {
        Ref element = Ref::steal(PyIter_Next(iterator.get()));
        if (!element) {
            if (PyErr_Occurred()) return Ref();
            return number;
        }
        Ref shifted = Ref::steal(PyNumber_Lshift(number.get(), step.get()));
        if (!shifted) return Ref();
        number = Ref::steal(PyNumber_Or(shifted.get(), element.get()));
        if (!number) return Ref();
    }
}

// Big-endian bytes holding an integer while its sign is not yet known.
// Small values stay in one machine word; longer ones go to the heap.
class PackedInteger {
public:
    PackedInteger() = default;
    PackedInteger(const PackedInteger&) = delete;
    PackedInteger& operator=(const PackedInteger&) = delete;
    ~PackedInteger() {
        if (bytes_ != small_) PyMem_Free(bytes_);
    }

    // Room for `size` bytes; false with MemoryError set.
    bool reserve(Py_ssize_t size) {
        size_ = size;
        if (size <= static_cast<Py_ssize_t>(sizeof small_)) return true;
        bytes_ = static_cast<unsigned char*>(PyMem_Malloc(static_cast<std::size_t>(size)));
        if (bytes_ == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }
    unsigned char* data() { return bytes_; }

    // The integer, read as two's complement of `bits` bits when `negative`
    // (that is, minus 1 << bits), else as unsigned.
    PyObject* to_int(Py_ssize_t bits, bool negative) {
        const Py_ssize_t pad = size_ * 8 - bits;  // unused leading bits of the first byte
        if (negative && pad > 0) bytes_[0] |= static_cast<unsigned char>(0xFF << (8 - pad));
        if (size_ <= 8) {
            std::uint64_t value = 0;
            for (Py_ssize_t k = 0; k < size_; ++k) value = (value << 8) | bytes_[k];
            if (!negative) return PyLong_FromUnsignedLongLong(value);
            if (size_ < 8) value |= ~UINT64_C(0) << (8 * size_);
            return PyLong_FromLongLong(static_cast<long long>(value));
        }
        return _PyLong_FromByteArray(bytes_, static_cast<std::size_t>(size_), 0, negative);
    }

private:
    unsigned char small_[8];
    unsigned char* bytes_ = small_;
    Py_ssize_t size_ = 0;
};

// Packs a bit string into `out` (its last bit the lowest bit of the last
// byte); false when some element is not 0 or 1.
bool pack_bit_string(const unsigned char* bits, Py_ssize_t count, unsigned char* out) {
    const Py_ssize_t head = count % 8;
    Py_ssize_t k = 0;
    if (head) {
        unsigned int first = 0;
        for (; k < head; ++k) {
            if (bits[k] > 1) return false;
            first = (first << 1) | bits[k];
        }
        *out++ = static_cast<unsigned char>(first);
    }
    for (; k < count; k += 8) {
        const int packed = packed_group(reinterpret_cast<const char*>(bits) + k);
        if (packed < 0) return false;
        *out++ = static_cast<unsigned char>(packed);
    }
    return true;
}

// Truth values of these run no Python code, so the data cannot change
// between the accumulation and the sign test.
bool plain_flag(PyObject* flag) {
    return flag == nullptr || flag == Py_None || PyBool_Check(flag) || PyLong_CheckExact(flag);
}

PyObject* raise_empty_character() {
    PyErr_SetString(PyExc_TypeError, "ord() expected a character, but string of length 0 found");
    return nullptr;
}

// number - (1 << bit_count)
PyObject* subtract_power_of_two(Ref number, PyObject* data, int bits_per_element) {
    const Py_ssize_t length = PyObject_Size(data);
    if (length < 0) return nullptr;
    Ref exponent = Ref::steal(PyLong_FromSsize_t(length));
    if (!exponent) return nullptr;
    if (bits_per_element != 1) {
        Ref factor = small_int(bits_per_element);
        if (!factor) return nullptr;
        exponent = Ref::steal(PyNumber_Multiply(exponent.get(), factor.get()));
        if (!exponent) return nullptr;
    }
    Ref one = small_int(1);
    if (!one) return nullptr;
    Ref bias = Ref::steal(PyNumber_Lshift(one.get(), exponent.get()));
    if (!bias) return nullptr;
    return PyNumber_Subtract(number.get(), bias.get());
}

// byte2int(bits[0:1]) != 0, as the functions in the namespace say.
int first_bit_set_generic(PyObject* module, PyObject* bits) {
    Ref first = slice_of(bits, 0, 1);
    if (!first) return -1;
    Ref value = call_global<"byte2int">(module, first.get());
    if (!value) return -1;
    return PyObject_IsTrue(value.get());
}

PyObject* bits2integer(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<2> sig{"bits2integer", {"data", "signed"}, 1};
    native::Bound<2> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0];
    State* st = state_of(module);
    refresh_namespace(st, module);
    ByteView view;
    PackedInteger packed;
    bool native_bits = false;
    if (st->iterateints_original && plain_bytes(data, view)) {
        if (!packed.reserve((view.size + 7) / 8)) return nullptr;
        native_bits = pack_bit_string(view.data, view.size, packed.data());
    }
    if (native_bits && plain_flag(a[1])) {
        const int is_signed = a[1] ? PyObject_IsTrue(a[1]) : 0;
        if (!is_signed) return packed.to_int(view.size, false);
        if (st->byte2int_original) {
            if (view.size == 0) return raise_empty_character();
            return packed.to_int(view.size, view.data[0] != 0);
        }
    }
    Ref number = native_bits ? Ref::steal(packed.to_int(view.size, false)) : accumulate_generic(module, data, 1);
    if (!number) return nullptr;
    const int is_signed = a[1] ? PyObject_IsTrue(a[1]) : 0;
    if (is_signed < 0) return nullptr;
    if (!is_signed) return number.release();
    const int negative = first_bit_set_generic(module, data);
    if (negative < 0) return nullptr;
    if (!negative) return number.release();
    return subtract_power_of_two(std::move(number), data, 1);
}

PyObject* bytes_to_int(const ByteView& view, bool negative) {
    if (view.size <= 8) {
        std::uint64_t value = 0;
        for (Py_ssize_t k = 0; k < view.size; ++k) value = (value << 8) | view.data[k];
        if (!negative) return PyLong_FromUnsignedLongLong(value);
        if (view.size < 8) value |= ~UINT64_C(0) << (8 * view.size);
        return PyLong_FromLongLong(static_cast<long long>(value));
    }
    return _PyLong_FromByteArray(view.data, static_cast<std::size_t>(view.size), 0, negative);
}

// byte2int(bytes2bits(data[0:1])[0:1]) != 0, through the namespace.
int sign_bit_set_generic(PyObject* module, PyObject* data) {
    Ref first = slice_of(data, 0, 1);
    if (!first) return -1;
    Ref bits = call_global<"bytes2bits">(module, first.get());
    if (!bits) return -1;
    return first_bit_set_generic(module, bits.get());
}

PyObject* bytes2integer(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<2> sig{"bytes2integer", {"data", "signed"}, 1};
    native::Bound<2> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0];
    State* st = state_of(module);
    refresh_namespace(st, module);
    ByteView view;
    const bool native_bytes = st->iterateints_original && plain_bytes(data, view);
    if (native_bytes && plain_flag(a[1])) {
        const int is_signed = a[1] ? PyObject_IsTrue(a[1]) : 0;
        if (!is_signed) return bytes_to_int(view, false);
        if (st->byte2int_original && bytes2bits_native(st)) {
            if (view.size == 0) return raise_empty_character();
            return bytes_to_int(view, view.data[0] & 0x80);
        }
    }
    Ref number = native_bytes ? Ref::steal(bytes_to_int(view, false)) : accumulate_generic(module, data, 8);
    if (!number) return nullptr;
    const int is_signed = a[1] ? PyObject_IsTrue(a[1]) : 0;
    if (is_signed < 0) return nullptr;
    if (!is_signed) return number.release();
    const int negative = sign_bit_set_generic(module, data);
    if (negative < 0) return nullptr;
    if (!negative) return number.release();
    return subtract_power_of_two(std::move(number), data, 8);
}

// ---- bytes2bits ----------------------------------------------------------

// Joins TABLE[key] for every key that `next_key` produces; the table is read
// from the namespace for every element, as a generator expression would.
template <native::Literal Table, class NextKey>
PyObject* join_table_entries(PyObject* module, NextKey next_key) {
    Ref entries = Ref::steal(PyList_New(0));
    if (!entries) return nullptr;
    for (;;) {
        bool done = false;
        Ref key = next_key(done);
        if (done) break;
        if (!key) return nullptr;
        Ref entry = item_of_global<Table>(module, key.get());
        if (!entry || PyList_Append(entries.get(), entry.get()) < 0) return nullptr;
    }
    return join_bytes(entries.get());
}

template <native::Literal Table>
PyObject* join_table_entries_of_ints(PyObject* module, PyObject* data) {
    Ref elements = call_global<"iterateints">(module, data);
    if (!elements) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(elements.get()));
    if (!iterator) return nullptr;
    return join_table_entries<Table>(module, [&](bool& done) {
        Ref element = Ref::steal(PyIter_Next(iterator.get()));
        done = !element && !PyErr_Occurred();
        return element;
    });
}

PyObject* bytes_to_bits_native(const ByteView& view) {
    if (view.size > PY_SSIZE_T_MAX / 8) return PyErr_NoMemory();
    Ref result = new_bytes(view.size * 8);
    if (!result) return nullptr;
    unsigned char* out = bytes_buffer(result);
    for (Py_ssize_t k = 0; k < view.size; ++k) std::memcpy(out + 8 * k, bit_patterns[view.data[k]].data(), 8);
    return result.release();
}

PyObject* bytes2bits(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"bytes2bits", {"data"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    State* st = state_of(module);
    refresh_namespace(st, module);
    ByteView view;
    if (st->iterateints_original && plain_bytes(a[0], view) && bytes2bits_table_native(st))
        return bytes_to_bits_native(view);
    return join_table_entries_of_ints<"BYTES2BITS_CACHE">(module, a[0]);
}

// ---- bits2bytes, swapbytes, swapbytesinbits, swapbitsinbytes -------------

// len(data), which must be a multiple of 8.
Py_ssize_t group_count(PyObject* data, const char* message) {
    const Py_ssize_t length = PyObject_Size(data);
    if (length < 0) return -1;
    if (length % 8 != 0) {
        PyErr_SetString(PyExc_ValueError, message);
        return -1;
    }
    return length / 8;
}

PyObject* bits_to_bytes_native(const char* bits, Py_ssize_t groups) {
    Ref result = new_bytes(groups);
    if (!result) return nullptr;
    unsigned char* out = bytes_buffer(result);
    for (Py_ssize_t g = 0; g < groups; ++g) {
        const int packed = packed_group(bits + 8 * g);
        if (packed < 0) {
            // The table has no such key: the same KeyError a lookup raises.
            Ref key = Ref::steal(PyBytes_FromStringAndSize(bits + 8 * g, 8));
            if (key) _PyErr_SetKeyError(key.get());
            return nullptr;
        }
        out[g] = static_cast<unsigned char>(packed);
    }
    return result.release();
}

PyObject* bits2bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"bits2bytes", {"data"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0];
    const Py_ssize_t groups = group_count(data, "data length must be a multiple of 8");
    if (groups < 0) return nullptr;
    State* st = state_of(module);
    refresh_namespace(st, module);
    if (PyBytes_CheckExact(data) &&
        table_canonical<verify_bits2bytes_table>(st->bits2bytes_check, st->bits2bytes_cache))
        return bits_to_bytes_native(PyBytes_AS_STRING(data), groups);
    Py_ssize_t g = 0;
    return join_table_entries<"BITS2BYTES_CACHE">(module, [&](bool& done) {
        done = g == groups;
        if (done) return Ref();
        ++g;
        return slice_of(data, 8 * (g - 1), 8 * g);
    });
}

PyObject* reversed_bytes(const char* data, Py_ssize_t size) {
    Ref result = new_bytes(size);
    if (!result) return nullptr;
    unsigned char* out = bytes_buffer(result);
    const auto* in = reinterpret_cast<const unsigned char*>(data);
    Py_ssize_t k = 0;
    for (; k + 8 <= size; k += 8) {
        std::uint64_t word;
        std::memcpy(&word, in + size - k - 8, 8);
        word = __builtin_bswap64(word);
        std::memcpy(out + k, &word, 8);
    }
    for (; k < size; ++k) out[k] = in[size - 1 - k];
    return result.release();
}

PyObject* swapbytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"swapbytes", {"data"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0];
    if (PyBytes_CheckExact(data)) return reversed_bytes(PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data));
    return PyObject_GetItem(data, state_of(module)->reversed_slice);
}

PyObject* swapbytesinbits(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"swapbytesinbits", {"data"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0];
    const Py_ssize_t groups = group_count(data, "data length must be multiple of 8");
    if (groups < 0) return nullptr;
    ByteView view;
    if (plain_bytes(data, view)) {
        Ref result = new_bytes(view.size);
        if (!result) return nullptr;
        unsigned char* out = bytes_buffer(result);
        for (Py_ssize_t g = 0; g < groups; ++g) std::memcpy(out + 8 * g, view.data + 8 * (groups - 1 - g), 8);
        return result.release();
    }
    Ref pieces = Ref::steal(PyList_New(groups));
    if (!pieces) return nullptr;
    for (Py_ssize_t g = 0; g < groups; ++g) {
        const Py_ssize_t start = 8 * (groups - 1 - g);
        Ref piece = slice_of(data, start, start + 8);
        if (!piece) return nullptr;
        PyList_SET_ITEM(pieces.get(), g, piece.release());
    }
    return join_bytes(pieces.get());
}

PyObject* bits_reversed_in_bytes(const ByteView& view) {
    Ref result = new_bytes(view.size);
    if (!result) return nullptr;
    unsigned char* out = bytes_buffer(result);
    Py_ssize_t k = 0;
    // Eight bytes at a time: swap neighbouring bits, then pairs, then nibbles.
    for (; k + 8 <= view.size; k += 8) {
        std::uint64_t word;
        std::memcpy(&word, view.data + k, 8);
        word = ((word >> 1) & UINT64_C(0x5555555555555555)) | ((word & UINT64_C(0x5555555555555555)) << 1);
        word = ((word >> 2) & UINT64_C(0x3333333333333333)) | ((word & UINT64_C(0x3333333333333333)) << 2);
        word = ((word >> 4) & UINT64_C(0x0F0F0F0F0F0F0F0F)) | ((word & UINT64_C(0x0F0F0F0F0F0F0F0F)) << 4);
        std::memcpy(out + k, &word, 8);
    }
    for (; k < view.size; ++k) out[k] = reversed_bits[view.data[k]];
    return result.release();
}

PyObject* swapbitsinbytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"swapbitsinbytes", {"data"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    State* st = state_of(module);
    refresh_namespace(st, module);
    ByteView view;
    if (st->iterateints_original && plain_bytes(a[0], view) &&
        table_canonical<verify_swapbitsinbytes_table>(st->swapbitsinbytes_check, st->swapbitsinbytes_cache)) {
        return bits_reversed_in_bytes(view);
    }
    return join_table_entries_of_ints<"SWAPBITSINBYTES_CACHE">(module, a[0]);
}

// ---- hexlify, unhexlify --------------------------------------------------

template <native::Literal Function>
PyObject* call_binascii(PyObject* module, PyObject* data) {
    Ref binascii = native::legacy::global<"binascii">(module);
    if (!binascii) return nullptr;
    Ref function = native::legacy::attr<Function>(binascii.get());
    if (!function) return nullptr;
    return native::call(function.get(), data).release();
}

PyObject* hexlify(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"hexlify", {"data"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    return call_binascii<"hexlify">(module, a[0]);
}

PyObject* unhexlify(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<1> sig{"unhexlify", {"data"}, 1};
    native::Bound<1> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    return call_binascii<"unhexlify">(module, a[0]);
}

template <auto F>
constexpr PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

constexpr int FASTCALL_KEYWORDS = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef integer2bits_def = {
    "integer2bits", fastcall<integer2bits>(), FASTCALL_KEYWORDS,
    "integer2bits(number, width)\n--\n\n"
    "Converts an integer into a bit string of width bytes 0x00 or 0x01, most significant bit first; negative\n"
    "numbers are written in two's complement and only the low width bits are kept.\n\n"
    ">>> integer2bits(19, 8)\n"
    "b'\\x00\\x00\\x00\\x01\\x00\\x00\\x01\\x01'"};
PyMethodDef integer2bytes_def = {
    "integer2bytes", fastcall<integer2bytes>(), FASTCALL_KEYWORDS,
    "integer2bytes(number, width)\n--\n\n"
    "Converts an integer into a big-endian byte string of width bytes, two's complement for negative numbers;\n"
    "the number must lie in -256**width <= number < 256**width.\n\n"
    ">>> integer2bytes(19, 4)\n"
    "b'\\x00\\x00\\x00\\x13'"};
PyMethodDef bits2integer_def = {
    "bits2integer", fastcall<bits2integer>(), FASTCALL_KEYWORDS,
    "bits2integer(data, signed=False)\n--\n\n"
    "Converts a bit string (one byte 0x00 or 0x01 per bit, most significant first) into an integer, taking the\n"
    "first bit as the sign when signed is true.\n\n"
    ">>> bits2integer(b'\\x01\\x00\\x00\\x01\\x01', signed=True)\n"
    "-13"};
PyMethodDef bytes2integer_def = {
    "bytes2integer", fastcall<bytes2integer>(), FASTCALL_KEYWORDS,
    "bytes2integer(data, signed=False)\n--\n\n"
    "Converts a big-endian byte string into an integer, two's complement when signed is true.\n\n"
    ">>> bytes2integer(b'\\x80\\x00', signed=True)\n"
    "-32768"};
PyMethodDef bytes2bits_def = {
    "bytes2bits", fastcall<bytes2bits>(), FASTCALL_KEYWORDS,
    "bytes2bits(data)\n--\n\n"
    "Expands a byte string into its bit string, 8 bytes 0x00 or 0x01 per byte, most significant bit first.\n\n"
    ">>> bytes2bits(b'a')\n"
    "b'\\x00\\x01\\x01\\x00\\x00\\x00\\x00\\x01'"};
PyMethodDef bits2bytes_def = {
    "bits2bytes", fastcall<bits2bytes>(), FASTCALL_KEYWORDS,
    "bits2bytes(data)\n--\n\n"
    "Packs a bit string (8 bytes 0x00 or 0x01 per byte, most significant bit first) into a byte string.\n\n"
    ">>> bits2bytes(b'\\x00\\x01\\x01\\x00\\x00\\x00\\x00\\x01')\n"
    "b'a'"};
PyMethodDef swapbytes_def = {"swapbytes", fastcall<swapbytes>(), FASTCALL_KEYWORDS,
                             "swapbytes(data)\n--\n\n"
                             "Reverses the order of the bytes (of any sliceable sequence).\n\n"
                             ">>> swapbytes(b'abcd')\n"
                             "b'dcba'"};
PyMethodDef swapbytesinbits_def = {
    "swapbytesinbits", fastcall<swapbytesinbits>(), FASTCALL_KEYWORDS,
    "swapbytesinbits(data)\n--\n\n"
    "Reverses the order of the 8-bit groups of a bit string, leaving each group as it is.\n\n"
    ">>> swapbytesinbits(b'0000000011111111')\n"
    "b'1111111100000000'"};
PyMethodDef swapbitsinbytes_def = {"swapbitsinbytes", fastcall<swapbitsinbytes>(), FASTCALL_KEYWORDS,
                                   "swapbitsinbytes(data)\n--\n\n"
                                   "Reverses the order of the bits inside every byte; byte order is unchanged.\n\n"
                                   ">>> swapbitsinbytes(b'\\x12\\x34')\n"
                                   "b'H,'"};
PyMethodDef hexlify_def = {"hexlify", fastcall<hexlify>(), FASTCALL_KEYWORDS,
                           "hexlify(data)\n--\n\n"
                           "Returns the hexadecimal representation of data, as binascii.hexlify does.\n\n"
                           ">>> hexlify(b'ab')\n"
                           "b'6162'"};
PyMethodDef unhexlify_def = {"unhexlify", fastcall<unhexlify>(), FASTCALL_KEYWORDS,
                             "unhexlify(data)\n--\n\n"
                             "Returns the bytes that a hexadecimal representation stands for, as binascii.unhexlify "
                             "does.\n\n"
                             ">>> unhexlify(b'6162')\n"
                             "b'ab'"};

// ---- the namespace -------------------------------------------------------

PyObject* namespace_get(PyObject* module, const char* key) {  // borrowed
    return PyDict_GetItemString(PyModule_GetDict(module), key);
}

// The collaborator found at initialisation, if it is portil's own function.
PyObject* portil_function(PyObject* module, const char* key) {
    PyObject* function = namespace_get(module, key);
    if (function == nullptr || !PyCFunction_CheckExact(function)) return nullptr;
    auto* c_function = reinterpret_cast<PyCFunctionObject*>(function);
    PyObject* owner = c_function->m_self;
    if (owner == nullptr || !PyModule_Check(owner) || std::strcmp(c_function->m_ml->ml_name, key) != 0) return nullptr;
    const char* owner_name = PyModule_GetName(owner);
    if (owner_name == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    return std::strcmp(owner_name, "tavro.lib.portil") == 0 ? Py_NewRef(function) : nullptr;
}

// key -> table[key] for i in 0..255, through the namespace's functions.
template <class MakeKey, class MakeValue>
Ref build_table(MakeKey make_key, MakeValue make_value) {
    Ref table = Ref::steal(PyDict_New());
    if (!table) return Ref();
    for (long i = 0; i < 256; ++i) {
        Ref key = make_key(i);
        if (!key) return Ref();
        Ref value = make_value(i, key.get());
        if (!value || PyDict_SetItem(table.get(), key.get(), value.get()) < 0) return Ref();
    }
    return table;
}

template <PyObject* (*Function)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
Ref call_native(PyObject* module, PyObject* argument) {
    PyObject* args[] = {argument};
    return Ref::steal(Function(module, args, 1, nullptr));
}

Ref int2byte_of(PyObject* module, long i) {
    Ref number = small_int(i);
    if (!number) return Ref();
    return call_global<"int2byte">(module, number.get());
}

int exec_binary(PyObject* module) {
    State* st = state_of(module);
    if (!native::star_import(module, "tavro.lib.portil")) return -1;
    st->int2byte = portil_function(module, "int2byte");
    st->byte2int = portil_function(module, "byte2int");
    st->iterateints = portil_function(module, "iterateints");
    if (st->int2byte) st->portil_namespace = Py_NewRef(PyModule_GetDict(PyCFunction_GET_SELF(st->int2byte)));
    Ref minus_one = small_int(-1);
    if (!minus_one) return -1;
    st->reversed_slice = PySlice_New(nullptr, nullptr, minus_one.get());
    if (st->reversed_slice == nullptr) return -1;

    if (!native::bind(module, "binascii", native::import("binascii"))) return -1;
    if (!native::bind_function(module, &integer2bits_def)) return -1;
    if (!native::bind_function(module, &integer2bytes_def)) return -1;
    if (!native::bind_function(module, &bits2integer_def)) return -1;
    if (!native::bind_function(module, &bytes2integer_def)) return -1;
    Ref eight = small_int(8);
    if (!eight) return -1;
    Ref bytes2bits_cache = build_table([](long i) { return small_int(i); },
                                       [&](long, PyObject* key) {
                                           PyObject* args[] = {key, eight.get()};
                                           return Ref::steal(integer2bits(module, args, 2, nullptr));
                                       });
    if (!native::bind(module, "BYTES2BITS_CACHE", std::move(bytes2bits_cache))) return -1;
    if (!native::bind_function(module, &bytes2bits_def)) return -1;
    st->bytes2bits = Py_XNewRef(namespace_get(module, "bytes2bits"));
    Ref bits2bytes_cache = build_table(
        [&](long i) {
            Ref byte = int2byte_of(module, i);
            return byte ? call_native<bytes2bits>(module, byte.get()) : Ref();
        },
        [&](long i, PyObject*) { return int2byte_of(module, i); });
    if (!native::bind(module, "BITS2BYTES_CACHE", std::move(bits2bytes_cache))) return -1;
    if (!native::bind_function(module, &bits2bytes_def)) return -1;
    if (!native::bind_function(module, &swapbytes_def)) return -1;
    if (!native::bind_function(module, &swapbytesinbits_def)) return -1;
    Ref swap_cache = build_table([](long i) { return small_int(i); },
                                 [&](long i, PyObject*) {
                                     Ref byte = int2byte_of(module, i);
                                     Ref bits = byte ? call_native<bytes2bits>(module, byte.get()) : Ref();
                                     Ref reversed = bits ? Ref::steal(PyObject_GetItem(bits.get(), st->reversed_slice))
                                                         : Ref();
                                     return reversed ? call_native<bits2bytes>(module, reversed.get()) : Ref();
                                 });
    if (!native::bind(module, "SWAPBITSINBYTES_CACHE", std::move(swap_cache))) return -1;
    if (!native::bind_function(module, &swapbitsinbytes_def)) return -1;
    if (!native::bind_function(module, &hexlify_def)) return -1;
    if (!native::bind_function(module, &unhexlify_def)) return -1;
    return 0;
}

int traverse_binary(PyObject* module, visitproc visit, void* arg) {
    State* st = state_of(module);
    if (st == nullptr) return 0;
    Py_VISIT(st->int2byte);
    Py_VISIT(st->byte2int);
    Py_VISIT(st->iterateints);
    Py_VISIT(st->bytes2bits);
    Py_VISIT(st->portil_namespace);
    Py_VISIT(st->reversed_slice);
    return 0;
}

int clear_binary(PyObject* module) {
    State* st = state_of(module);
    if (st == nullptr) return 0;
    Py_CLEAR(st->int2byte);
    Py_CLEAR(st->byte2int);
    Py_CLEAR(st->iterateints);
    Py_CLEAR(st->bytes2bits);
    Py_CLEAR(st->portil_namespace);
    Py_CLEAR(st->reversed_slice);
    st->namespace_seen = false;
    st->portil_seen = false;
    return 0;
}

void free_binary(void* module) { clear_binary(static_cast<PyObject*>(module)); }

PyModuleDef_Slot binary_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_binary)}, {0, nullptr}};

// The module keeps state (the originals and the verified table versions), so
// it is declared here rather than with NATIVE_MODULE.
PyModuleDef binary_definition = {
    PyModuleDef_HEAD_INIT, "tavro.lib.binary", nullptr, sizeof(State), nullptr, binary_slots,
    traverse_binary,       clear_binary,       free_binary,
};

}  // namespace

PyMODINIT_FUNC PyInit_binary() { return PyModuleDef_Init(&binary_definition); }
