// tavro.lib.binary: integers to and from bit strings and byte strings, and
// the byte-wise transforms of bit strings.
//
// Every function reads its collaborators (int2byte, byte2int, iterateints,
// bytes2bits, the three tables, binascii) from the module namespace at each
// call. While they are the functions this module knows, with tables of the
// original contents, the work is done natively and the result built once;
// otherwise each step goes through the objects found, one at a time, as the
// algorithm describes it (the generic path). What was found about the
// namespace and each table is remembered under a dict stamp (changes.hpp),
// so that "still the original" costs a few comparisons per call.
//
// Fast paths and their guards (rules of native.hpp):
//   - The verdicts read nothing but exact-str namespaces (look-ups there run
//     no Python code) and tables whose keys are all exact int (or exact bytes
//     for BITS2BYTES_CACHE), walked with PyDict_Next. A verdict holds only
//     booleans and identities that are compared, never followed; a table is
//     read afresh through a strong reference (see table_canonical).
//   - Each fast path takes its verdicts first, then reads its argument, and
//     runs no Python code from then on: nothing it holds can change under
//     it. The objects it writes are bytes it has just made.
//   - The verdicts live in the module state where the GIL serialises the
//     callers, and per thread on free-threaded builds (native::PerThread).
//
// Every object each verdict depends on (rule 4):
//   - the collaborators (Collaborators): this module's namespace (its stamp;
//     exact str keys); int2byte, byte2int and iterateints recognised by
//     their C entry point and int2byte by its module (builtin functions: an
//     immutable type, and neither changes after creation); bytes2bits by its
//     entry point and module; the three tables by identity (the namespace
//     holds them while the stamp holds);
//   - int2byte's table: portil's namespace (its stamp; exact str keys) and
//     INT2BYTE_CACHE's identity there;
//   - each table's contents (int2byte's, BYTES2BITS_CACHE, BITS2BYTES_CACHE,
//     SWAPBITSINBYTES_CACHE): the table's stamp, an exact dict with exact int
//     (or exact bytes) keys and exact bytes values of the canonical content:
//     all of immutable types, so nothing but a store into the table (which
//     the stamp sees) can change what was checked.
#include "cpu.hpp"
#include "native.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace {

using native::Ref;
using native::name;

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

using BinaryNames = native::Names<"int2byte", "byte2int", "iterateints", "bytes2bits", "BYTES2BITS_CACHE",
                                  "BITS2BYTES_CACHE", "SWAPBITSINBYTES_CACHE", "INT2BYTE_CACHE", "binascii",
                                  "hexlify", "unhexlify">;

// What this module's namespace held when it was last read: which globals are
// the functions the fast paths stand in for, and which tables it bound
// (identities only, compared and never followed).
struct Collaborators {
    bool int2byte;     // portil's int2byte, of the portil this module imported
    bool byte2int;     // portil's byte2int
    bool iterateints;  // portil's iterateints (the identity)
    bool bytes2bits;   // this module's own bytes2bits
    PyObject* bytes2bits_table;
    PyObject* bits2bytes_table;
    PyObject* swapbitsinbytes_table;
};

// Every verdict the fast paths rest on, each under the stamp of the dict it
// is about.
struct Verdicts {
    native::Remembered<Collaborators> collaborators;  // this module's namespace
    native::Remembered<PyObject*> int2byte_table;     // portil's namespace: its INT2BYTE_CACHE (identity)
    native::Remembered<bool> int2byte_canonical;      // the tables: every byte maps to its canonical entry
    native::Remembered<bool> bytes2bits_canonical;
    native::Remembered<bool> bits2bytes_canonical;
    native::Remembered<bool> swapbitsinbytes_canonical;
};

struct VerdictsTag;

struct BinaryState : native::ModuleState<BinaryNames> {
    // The module's namespace (strong: the module lets go of it when the
    // collector clears the module, and the functions may still be called).
    PyObject* ns;
    // The module behind int2byte as the star import brought it (strong), whose
    // namespace int2byte reads; null when int2byte was not portil's.
    PyObject* portil;
    PyObject* portil_ns;       // portil's namespace (strong, as `ns`)
    PyObject* reversed_slice;  // slice(None, None, -1)
    // The code of portil's helpers (native::is_builtin_with_code), null where
    // the star import brought something else.
    PyCFunction int2byte_code;
    PyCFunction byte2int_code;
    PyCFunction iterateints_code;
    // Per module where the GIL serialises the callers, per thread on
    // free-threaded builds. Holds no references.
    native::PerThread<Verdicts, VerdictsTag> verdicts;

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(ns);
        Py_VISIT(portil_ns);
        Py_VISIT(portil);
        Py_VISIT(reversed_slice);
        return traverse_shared(visit, arg);
    }
    void clear() {
        clear_shared();
        Py_CLEAR(ns);
        Py_CLEAR(portil_ns);
        Py_CLEAR(portil);
        Py_CLEAR(reversed_slice);
        int2byte_code = byte2int_code = iterateints_code = nullptr;
    }
};

BinaryState* state_of(PyObject* module) { return native::state_of<BinaryState>(module); }

PyObject* bytes2bits(PyObject* module, PyObject* data);
extern PyMethodDef bytes2bits_def;

// ---- what the namespace holds ----------------------------------------------

// dict[key] as a new reference, or null (no exception) when it is missing or
// the look-up fails: the generic path then meets the failure itself.
Ref lookup(PyObject* dict, PyObject* key) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, key, &value) < 0) PyErr_Clear();
    return Ref::steal(value);
}

// Guard: only a namespace whose keys are all exact str is read, so that no
// look-up runs Python code and what one finds is still bound after the next;
// any other namespace gets no fast path. Runs in the namespace's critical
// section (native::checked).
Collaborators read_collaborators(BinaryState* st, PyObject* module, PyObject* ns) {
    Collaborators found{};
    if (!native::keys_are_exact_str(ns)) return found;
    Ref int2byte = lookup(ns, name<"int2byte">(st));
    Ref byte2int = lookup(ns, name<"byte2int">(st));
    Ref iterateints = lookup(ns, name<"iterateints">(st));
    Ref bytes2bits_function = lookup(ns, name<"bytes2bits">(st));
    found.int2byte = native::is_builtin_with_code(int2byte.get(), st->int2byte_code) &&
                     PyCFunction_GET_SELF(int2byte.get()) == st->portil;
    found.byte2int = native::is_builtin_with_code(byte2int.get(), st->byte2int_code);
    found.iterateints = native::is_builtin_with_code(iterateints.get(), st->iterateints_code);
    found.bytes2bits = native::is_builtin_with_code(bytes2bits_function.get(), bytes2bits_def.ml_meth) &&
                       PyCFunction_GET_SELF(bytes2bits_function.get()) == module;
    // The namespace holds the tables while it is unchanged.
    found.bytes2bits_table = lookup(ns, name<"BYTES2BITS_CACHE">(st)).get();
    found.bits2bytes_table = lookup(ns, name<"BITS2BYTES_CACHE">(st)).get();
    found.swapbitsinbytes_table = lookup(ns, name<"SWAPBITSINBYTES_CACHE">(st)).get();
    return found;
}

// Found in a namespace that changed while it was read (on a free-threaded
// build, by another thread): nothing is served natively.
constexpr Collaborators nothing_native{};

const Collaborators& read_collaborators_afresh(BinaryState* st, PyObject* module, Verdicts& verdicts) {
    if (st->ns == nullptr) return nothing_native;  // the state was cleared with the module
    native::checked(st->changes, st->ns, verdicts.collaborators,
                    [&](PyObject* ns) { return read_collaborators(st, module, ns); });
    return verdicts.collaborators.stamp.dict == st->ns ? verdicts.collaborators.verdict : nothing_native;
}

// The verdict about the namespace as it is now: at most calls, one stamp
// comparison.
[[gnu::always_inline]] inline const Collaborators& collaborators(BinaryState* st, PyObject* module,
                                                                 Verdicts& verdicts) {
    if (st->changes.unchanged(st->ns, verdicts.collaborators.stamp)) [[likely]]
        return verdicts.collaborators.verdict;
    return read_collaborators_afresh(st, module, verdicts);
}

bool is_bytes_of(PyObject* value, const unsigned char* content, Py_ssize_t size) {
    return PyBytes_CheckExact(value) && PyBytes_GET_SIZE(value) == size &&
           std::memcmp(PyBytes_AS_STRING(value), content, static_cast<std::size_t>(size)) == 0;
}

// The tables hold exactly 256 entries, so 256 valid, distinct keys cover
// every byte value. Exact int keys: no key comparison runs Python code.
template <class Expected>
bool verify_byte_keyed(PyObject* table, Expected expected) {
    if (PyDict_GET_SIZE(table) != 256) return false;
    return native::for_each_byte_entry(table, [&expected](int byte, PyObject* value) {
        return byte >= 0 && expected(static_cast<unsigned char>(byte), value);
    });
}

bool verify_one_byte_table(PyObject* table) {
    return verify_byte_keyed(table, [](unsigned char i, PyObject* v) { return is_bytes_of(v, &i, 1); });
}

bool verify_bytes2bits_table(PyObject* table) {
    return verify_byte_keyed(table,
                             [](unsigned char i, PyObject* v) { return is_bytes_of(v, bit_patterns[i].data(), 8); });
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

// Exact bytes keys, each a valid bit string, and every value its byte.
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

// Whether `table`, bound under `key` in `ns` when a namespace verdict was
// reached, holds the canonical entries. The verdict is remembered under the
// table's stamp: a table that changed, or died and left its address to
// another dict, no longer matches it. To be checked afresh, the table is
// looked up again with a strong reference (on free-threaded builds another
// thread may have dropped it meanwhile) and must still be the same object.
template <class Verify>
bool table_canonical_afresh(BinaryState* st, native::Remembered<bool>& memo, PyObject* ns, PyObject* key,
                            PyObject* table, Verify verify) {
    Ref held = lookup(ns, key);
    if (held.get() != table || !PyDict_CheckExact(table)) return false;
    return native::checked(st->changes, table, memo, verify);
}

template <class Verify>
[[gnu::always_inline]] inline bool table_canonical(BinaryState* st, native::Remembered<bool>& memo, PyObject* ns,
                                                  PyObject* key, PyObject* table, Verify verify) {
    if (table == nullptr) return false;
    if (st->changes.unchanged(table, memo.stamp)) [[likely]] return memo.verdict;
    return table_canonical_afresh(st, memo, ns, key, table, verify);
}

// INT2BYTE_CACHE as portil's namespace binds it (an identity), when that
// namespace has only exact-str keys (as above).
PyObject* read_int2byte_table_afresh(BinaryState* st, Verdicts& verdicts) {
    PyObject* key = name<"INT2BYTE_CACHE">(st);
    return native::checked(st->changes, st->portil_ns, verdicts.int2byte_table, [&](PyObject* ns) {
        return native::keys_are_exact_str(ns) ? lookup(ns, key).get() : nullptr;  // the namespace holds it
    });
}

// Whether int2byte(i) is the canonical one-byte string of i: portil's
// int2byte, reading a canonical INT2BYTE_CACHE in portil's namespace.
[[gnu::always_inline]] inline bool int2byte_native(BinaryState* st, Verdicts& verdicts, const Collaborators& found) {
    if (!found.int2byte) return false;
    PyObject* table = st->changes.unchanged(st->portil_ns, verdicts.int2byte_table.stamp)
                          ? verdicts.int2byte_table.verdict
                          : read_int2byte_table_afresh(st, verdicts);
    return table_canonical(st, verdicts.int2byte_canonical, st->portil_ns, name<"INT2BYTE_CACHE">(st), table,
                           verify_one_byte_table);
}

// Whether bytes2bits(x) of this namespace expands x with the canonical
// patterns: iterateints portil's identity and BYTES2BITS_CACHE canonical.
bool bytes2bits_table_native(BinaryState* st, Verdicts& verdicts, const Collaborators& found) {
    return found.iterateints && table_canonical(st, verdicts.bytes2bits_canonical, st->ns,
                                                name<"BYTES2BITS_CACHE">(st), found.bytes2bits_table,
                                                verify_bytes2bits_table);
}

// ---- small helpers -------------------------------------------------------

// Views `object` when it is an exact bytes or bytearray, whose iteration
// yields their byte values without running Python code; false, with no
// exception, for anything else. On free-threaded builds a bytearray is held
// through an export while it is read, so that no other thread can resize it
// (and free its storage) meanwhile; where the GIL serialises the callers,
// nothing runs between the check and the reading, and the bytearray is read
// where it lies. Release the view before running Python code.
using native::ByteView;

bool view_exact_bytes(ByteView& view, PyObject* object) {
    if (PyBytes_CheckExact(object)) {
        view.of_bytes(object);
        return true;
    }
    if (!PyByteArray_CheckExact(object)) return false;
    if constexpr (native::compat::free_threaded) {
        if (view.export_buffer(object)) return true;
        PyErr_Clear();  // the generic path meets it again
        return false;
    } else {
        view.of_memory(PyByteArray_AS_STRING(object), PyByteArray_GET_SIZE(object));
        return true;
    }
}

Ref new_bytes(Py_ssize_t size) { return Ref::steal(PyBytes_FromStringAndSize(nullptr, size)); }

unsigned char* bytes_buffer(const Ref& bytes) { return reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get())); }

Ref small_int(long value) { return Ref::steal(PyLong_FromLong(value)); }

// b"".join(items)
PyObject* join_bytes(PyObject* items) {
    Ref empty = new_bytes(0);
    if (!empty) return nullptr;
    return PyBytes_Join(empty.get(), items);
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
    Ref function = native::global<Name>(module, state_of(module));
    if (!function) return Ref();
    return native::call(function.get(), argument);
}

// `width < 0` raises ValueError (-1); otherwise 0, with in *size the width
// when it is served natively: an exact int up to a size whose generic list
// ([b"\x00"] * width, 8 bytes an entry) could still be allocated, else -1
// (wider ones go the generic way, which raises the error the algorithm
// meets).
[[gnu::noinline]] int check_any_width(PyObject* width, Py_ssize_t* size) {
    *size = -1;
    int negative;
    if (PyLong_CheckExact(width)) {
        Py_ssize_t small;
        if (native::compat::long_compact_value(width, &small)) {
            negative = small < 0;
            *size = small;
        } else {
            negative = PyLong_IsNegative(width) == 1;
            int overflow = 0;
            const long long value = PyLong_AsLongLongAndOverflow(width, &overflow);
            if (!overflow && value >= 0 && value <= PY_SSIZE_T_MAX / 8) *size = static_cast<Py_ssize_t>(value);
        }
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

// check_any_width, with the common width (a small exact int) checked in
// place.
[[gnu::always_inline]] inline int check_width(PyObject* width, Py_ssize_t* size) {
    Py_ssize_t small;
    if (PyLong_CheckExact(width) && native::compat::long_compact_value(width, &small) && small >= 0) [[likely]] {
        *size = small;
        return 0;
    }
    return check_any_width(width, size);
}

// ---- integer2bits / integer2bytes ----------------------------------------

// The least significant `count` bytes of number's two's complement, least
// significant first. False with an exception on a failure of the
// interpreter's own.
bool low_bytes(PyObject* number, unsigned char* out, Py_ssize_t count) {
    Py_ssize_t small;
    unsigned long long bits;
    unsigned char fill = 0x00;
    if (native::compat::long_compact_value(number, &small)) {
        bits = static_cast<unsigned long long>(static_cast<long long>(small));
        if (small < 0) fill = 0xFF;
    } else if (count <= 8) {
        bits = PyLong_AsUnsignedLongLongMask(number);  // number modulo 2**64: never fails for an int
    } else {
        // Signed for a negative number and unsigned otherwise: then the
        // bytes hold the whole value whenever it fits the width, which costs
        // no exception on any version.
        return native::compat::long_as_bytes(number, out, count, false, PyLong_IsNegative(number) == 1) >= 0;
    }
    for (Py_ssize_t k = 0; k < count; ++k) out[k] = k < 8 ? static_cast<unsigned char>(bits >> (8 * k)) : fill;
    return true;
}

Ref integer_to_bits_native(PyObject* number, Py_ssize_t width) {
    Ref result = new_bytes(width);
    if (!result) return result;
    unsigned char* out = bytes_buffer(result);
    const Py_ssize_t whole = width / 8, rest = width % 8;
    const Py_ssize_t count = whole + (rest ? 1 : 0);
    unsigned char small[64];
    unsigned char* low = count <= 64 ? small : static_cast<unsigned char*>(PyMem_Malloc(static_cast<std::size_t>(count)));
    if (low == nullptr) {
        PyErr_NoMemory();
        return Ref();
    }
    const bool ok = low_bytes(number, low, count);
    if (ok) {
        for (Py_ssize_t k = 0; k < whole; ++k) std::memcpy(out + width - 8 * (k + 1), bit_patterns[low[k]].data(), 8);
        for (Py_ssize_t j = 0; j < rest; ++j) out[j] = static_cast<unsigned char>((low[whole] >> (rest - 1 - j)) & 1);
    }
    if (low != small) PyMem_Free(low);
    return ok ? std::move(result) : Ref();
}

Ref out_of_range(Py_ssize_t width) {
    PyErr_Format(PyExc_ValueError, "number out of range for width %zd", width);
    return Ref();
}

// Stores `word` (an unsigned integer of 2, 4 or 8 bytes) at `out`, most
// significant byte first.
template <class Word>
inline void store_big_endian(unsigned char* out, Word word) {
    if constexpr (std::endian::native == std::endian::little) {
        if constexpr (sizeof(Word) == 8) word = __builtin_bswap64(word);
        else if constexpr (sizeof(Word) == 4) word = __builtin_bswap32(word);
        else word = __builtin_bswap16(word);
    }
    std::memcpy(out, &word, sizeof word);
}

// Writes `width` bytes of `bits` (number modulo 2**64), big-endian, the
// bytes above the eighth being `fill`. Up to 16 bytes are written with no
// call: below 8 as 4, 2 and 1 bytes from the end, from 9 to 16 as two
// overlapping words.
inline void write_big_endian(unsigned char* out, Py_ssize_t width, std::uint64_t bits, unsigned char fill) {
    if (width < 8) {
        unsigned char* end = out + width;
        if (width & 4) {
            store_big_endian(end -= 4, static_cast<std::uint32_t>(bits));
            bits >>= 32;
        }
        if (width & 2) {
            store_big_endian(end -= 2, static_cast<std::uint16_t>(bits));
            bits >>= 16;
        }
        if (width & 1) *--end = static_cast<unsigned char>(bits);
        return;
    }
    if (width <= 16) {
        store_big_endian(out, fill ? ~std::uint64_t{0} : std::uint64_t{0});
    } else {
        std::memset(out, fill, static_cast<std::size_t>(width - 8));
    }
    store_big_endian(out + width - 8, bits);
}

// Writes number modulo 256**width into `width` bytes, big-endian, from its
// base 2**30 digits (two's complement for a negative number, built digit by
// digit); false, with nothing written, when number lies outside
// -256**width <= number < 256**width. Fifteen bytes are stored at a time
// from four digits, then four from the digits left.
bool digits_to_big_endian(const native::compat::LongDigits& number, unsigned char* out, Py_ssize_t width) {
    using Digits = native::compat::LongDigits;
    const std::uint64_t limit = static_cast<std::uint64_t>(width) * 8;
    if (number.count > 0) {
        const std::uint32_t top = number.digits[number.count - 1];
        const std::uint64_t length =
            static_cast<std::uint64_t>(number.count - 1) * Digits::kShift + static_cast<std::uint64_t>(std::bit_width(top));
        if (length > limit) {
            // -256**width itself: |number| is 1 << limit.
            bool power = number.negative && length == limit + 1 && std::has_single_bit(top);
            for (Py_ssize_t i = 0; power && i < number.count - 1; ++i) power = number.digits[i] == 0;
            if (!power) return false;
        }
    }
    const bool negative = number.negative;
    const std::uint32_t extension = negative ? Digits::kMask : 0;  // the digits above the top one
    const unsigned char fill = negative ? 0xFF : 0x00;
    Py_ssize_t next = 0;
    std::uint32_t carry = negative ? 1 : 0;  // -m is ~m + 1, the one carried from the bottom up
    unsigned char* end = out + width;        // filled from the end down to `out`
    // Four digits at a time while they lie well inside the width: 120 bits,
    // 15 bytes, stored as 16 whose top one the next group overwrites.
    while (number.count - next >= 4 && end - out >= 16) {
        const std::uint32_t* group = number.digits + next;
        constexpr std::uint64_t kHigh = (std::uint64_t{1} << 56) - 1;  // the 56 bits above the low 64
        std::uint64_t low = group[0] | std::uint64_t{group[1]} << 30 | std::uint64_t{group[2]} << 60;
        std::uint64_t high = group[2] >> 4 | std::uint64_t{group[3]} << 26;
        if (negative) {
            low = ~low + carry;
            high = (~high & kHigh) + (low < carry ? 1 : 0);
            carry = static_cast<std::uint32_t>(high >> 56);
            high &= kHigh;
        }
        store_big_endian(end - 8, low);
        store_big_endian(end - 16, high);
        end -= 15;
        next += 4;
    }
    std::uint64_t pending = 0;  // bits not yet stored, the lowest first
    int pending_bits = 0;
    auto take_digit = [&] {
        std::uint32_t digit = extension;
        if (next < number.count) {
            digit = number.digits[next++];
            if (negative) {
                const std::uint32_t sum = (~digit & Digits::kMask) + carry;
                carry = sum >> Digits::kShift;
                digit = sum & Digits::kMask;
            }
        }
        pending |= static_cast<std::uint64_t>(digit) << pending_bits;
        pending_bits += Digits::kShift;
    };
    while (end - out >= 4) {
        if (next >= number.count && pending == (negative ? (std::uint64_t{1} << pending_bits) - 1 : 0)) {
            // Nothing but the sign's extension is left.
            std::memset(out, fill, static_cast<std::size_t>(end - out));
            return true;
        }
        if (pending_bits < 32) take_digit();
        if (pending_bits >= 32) {
            store_big_endian(end -= 4, static_cast<std::uint32_t>(pending));
            pending >>= 32;
            pending_bits -= 32;
        }
    }
    while (end > out) {
        if (pending_bits < 8) take_digit();
        *--end = static_cast<unsigned char>(pending);
        pending >>= 8;
        pending_bits -= 8;
    }
    return true;
}

// integer_to_bytes_native for a number of 2**64 or more in magnitude.
Ref integer_to_bytes_from_digits(PyObject* number, const native::compat::LongDigits& digits, Py_ssize_t width) {
    Ref result = new_bytes(width);
    if (!result) return result;
    unsigned char* out = bytes_buffer(result);
    if (digits.available) return digits_to_big_endian(digits, out, width) ? std::move(result) : out_of_range(width);
    // Where the digits cannot be read: unsigned for a number that is not
    // negative, two's complement for one that is.
    const bool negative = PyLong_IsNegative(number) == 1;
    int fits = native::compat::long_as_bytes(number, out, width, true, negative);
    if (fits < 0) return Ref();
    if (!fits && negative) {
        // Below the signed range: still in range while ~number (which is
        // -number - 1) fits the width unsigned; number's bytes are the
        // complement of its bytes.
        Ref inverted = Ref::steal(PyNumber_Invert(number));
        if (!inverted) return inverted;
        fits = native::compat::long_as_bytes(inverted.get(), out, width, true, false);
        if (fits < 0) return Ref();
        for (Py_ssize_t k = 0; fits && k < width; ++k) out[k] = static_cast<unsigned char>(~out[k]);
    }
    if (!fits) return out_of_range(width);
    return result;
}

// number modulo 256**width, big-endian, for -256**width <= number <
// 256**width; outside that range the same ValueError as the generic path.
// A number below 2**64 in magnitude (a compact int, or two or three digits)
// is written from one machine word; a larger one from its digits where they
// can be read, which is faster than any conversion the interpreter offers;
// else with the conversion int.to_bytes makes.
Ref integer_to_bytes_native(PyObject* number, Py_ssize_t width) {
    Py_ssize_t small;
    bool negative;
    std::uint64_t magnitude;
    if (native::compat::long_compact_value(number, &small)) {  // below 2**30 in magnitude
        negative = small < 0;
        magnitude = negative ? 0 - static_cast<std::uint64_t>(small) : static_cast<std::uint64_t>(small);
    } else {
        native::compat::LongDigits digits(number);
        if (!digits.available || digits.count > 3 || (digits.count == 3 && digits.digits[2] >= 16))
            return integer_to_bytes_from_digits(number, digits, width);
        negative = digits.negative;
        magnitude = digits.digits[0] | std::uint64_t{digits.digits[1]} << 30 |
                    (digits.count == 3 ? std::uint64_t{digits.digits[2]} << 60 : 0);
    }
    // In range while |number| < 256**width, or <= for a negative number.
    if (width < 8 && ((negative ? magnitude - 1 : magnitude) >> (8 * width))) return out_of_range(width);
    const std::uint64_t bits = negative ? 0 - magnitude : magnitude;
    if (width == 1) {
        // The interpreter's own one-byte string, as int2byte's canonical
        // entries are: nothing is allocated.
        const char byte = static_cast<char>(bits);
        return Ref::steal(PyBytes_FromStringAndSize(&byte, 1));
    }
    Ref result = new_bytes(width);
    if (!result) return result;
    write_big_endian(bytes_buffer(result), width, bits, negative ? 0xFF : 0x00);
    return result;
}

// Guard: int2byte is portil's, reading a canonical INT2BYTE_CACHE (so each
// entry the algorithm joins is the canonical one-byte string); number and
// width are exact ints; the conversion runs no Python code.
template <Ref (*Native)(PyObject*, Py_ssize_t)>
native::Fast integer_to_entries_fast(PyObject* module, PyObject* number, Py_ssize_t size) {
    if (size < 0) return native::declined();
    BinaryState* st = state_of(module);
    Verdicts& verdicts = st->verdicts.get();
    if (!int2byte_native(st, verdicts, collaborators(st, module, verdicts))) return native::declined();
    return Native(number, size);
}

// Step by step: number += 1 << width when negative; bits = [b"\x00"] * width;
// fill from the end with int2byte(number & 1) while number and i >= 0.
// Bytewise (mask 255, shift 8, 1 << (width * 8)) the same loop serves
// integer2bytes, which refuses a number outside -256**width <= n <
// 256**width instead of writing it through negative indexes.
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
        const Py_ssize_t size = PyList_GET_SIZE(entries.get());
        bool fits = PyLong_IsNegative(number.get()) == 0;
        if (fits) {
            const Py_ssize_t needed = native::compat::long_unsigned_byte_length(number.get());
            if (needed < 0) return nullptr;
            fits = needed <= size;
        }
        if (!fits) return out_of_range(size).release();
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

// integer2bits and integer2bytes: `width` entries of `shift` bits each.
template <Ref (*Native)(PyObject*, Py_ssize_t), int Shift, bool Bytewise>
PyObject* integer_to_entries(PyObject* module, PyObject* number, PyObject* width) {
    Py_ssize_t size;
    if (check_width(width, &size) < 0) return nullptr;
    Ref converted;  // int(number), unless number is an exact int already
    PyObject* integer = number;
    if (!PyLong_CheckExact(number)) {
        converted = Ref::steal(PyNumber_Long(number));
        if (!converted) return nullptr;
        integer = converted.get();
    }
    if (native::Fast fast = integer_to_entries_fast<Native>(module, integer, size)) return fast->release();
    return integer_to_entries_generic(module, Ref::new_reference(integer), width, Shift, Bytewise);
}

PyObject* integer2bits(PyObject* module, PyObject* number, PyObject* width) {
    return integer_to_entries<integer_to_bits_native, 1, false>(module, number, width);
}

PyObject* integer2bytes(PyObject* module, PyObject* number, PyObject* width) {
    return integer_to_entries<integer_to_bytes_native, 8, true>(module, number, width);
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

// The integer whose big-endian bytes are `data`: two's complement when
// `negative` (that is, minus 1 << (8 * size)), else unsigned.
PyObject* big_endian_to_int(const unsigned char* data, Py_ssize_t size, bool negative) {
    if (size <= 8) {
        std::uint64_t value = 0;
        for (Py_ssize_t k = 0; k < size; ++k) value = (value << 8) | data[k];
        if (!negative) return PyLong_FromUnsignedLongLong(value);
        if (size < 8) value |= ~UINT64_C(0) << (8 * size);
        return PyLong_FromLongLong(static_cast<long long>(value));
    }
    const auto length = static_cast<std::size_t>(size);
    return negative ? PyLong_FromNativeBytes(data, length, Py_ASNATIVEBYTES_BIG_ENDIAN)
                    : PyLong_FromUnsignedNativeBytes(data, length, Py_ASNATIVEBYTES_BIG_ENDIAN);
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
        return big_endian_to_int(bytes_, size_, negative);
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

// The truth of these runs no Python code, so nothing can change between the
// accumulation and the sign test.
bool plain_flag(PyObject* flag) {
    return flag == nullptr || flag == Py_None || PyBool_Check(flag) || PyLong_CheckExact(flag);
}

// Of a plain flag (or an omitted one): its truth, which cannot fail.
bool plain_truth(PyObject* flag) { return flag != nullptr && PyObject_IsTrue(flag) == 1; }

Ref raise_empty_character() {
    PyErr_SetString(PyExc_TypeError, "ord() expected a character, but string of length 0 found");
    return Ref();
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

// byte2int(bits[0:1]) != 0, as the functions in the namespace say. As in
// Python's evaluation of the call, byte2int is looked up before its argument
// is made (slicing may run code of the caller's, which may rebind it).
int first_bit_set_generic(PyObject* module, PyObject* bits) {
    Ref byte2int = native::global<"byte2int">(module, state_of(module));
    if (!byte2int) return -1;
    Ref first = slice_of(bits, 0, 1);
    if (!first) return -1;
    Ref value = native::call(byte2int.get(), first.get());
    if (!value) return -1;
    return PyObject_IsTrue(value.get());
}

// bits2integer and bytes2integer: the fast path (`Fast`); else the
// accumulation, unless the fast path made it, then the sign test through the
// namespace's functions (`SignBitSet`) and the bias.
template <native::Fast (*Fast)(PyObject*, PyObject*, PyObject*, Ref&), int (*SignBitSet)(PyObject*, PyObject*),
          int BitsPerElement>
PyObject* integer_from_entries(PyObject* module, PyObject* data, PyObject* is_signed) {
    Ref number;
    if (native::Fast fast = Fast(module, data, is_signed, number)) return fast->release();
    if (!number) number = accumulate_generic(module, data, BitsPerElement);
    if (!number) return nullptr;
    const int negative_requested = is_signed ? PyObject_IsTrue(is_signed) : 0;
    if (negative_requested < 0) return nullptr;
    if (!negative_requested) return number.release();
    const int negative = SignBitSet(module, data);
    if (negative < 0) return nullptr;
    if (!negative) return number.release();
    return subtract_power_of_two(std::move(number), data, BitsPerElement);
}

// Guard: iterateints is portil's identity (byte2int portil's too, for the
// sign), `data` an exact bytes or bytearray read through a ByteView, and
// `signed` a flag whose truth runs no Python code. Otherwise, with a plain
// argument, the accumulation alone is native (`number`) and the rest generic.
native::Fast bits_to_integer_fast(PyObject* module, PyObject* data, PyObject* is_signed, Ref& number) {
    BinaryState* st = state_of(module);
    Verdicts& verdicts = st->verdicts.get();
    const Collaborators& found = collaborators(st, module, verdicts);
    if (!found.iterateints) return native::declined();
    ByteView view;
    if (!view_exact_bytes(view, data)) return native::declined();
    PackedInteger packed;
    if (!packed.reserve((view.size + 7) / 8)) return Ref();
    if (!pack_bit_string(view.data, view.size, packed.data())) return native::declined();
    if (plain_flag(is_signed)) {
        if (!plain_truth(is_signed)) return Ref::steal(packed.to_int(view.size, false));
        if (found.byte2int) {
            if (view.size == 0) return raise_empty_character();
            return Ref::steal(packed.to_int(view.size, view.data[0] != 0));
        }
    }
    number = Ref::steal(packed.to_int(view.size, false));
    if (!number) return Ref();
    return native::declined();
}

// byte2int(bytes2bits(data[0:1])[0:1]) != 0, through the namespace, in
// Python's order of evaluation: both functions are looked up before the
// slices are made and the calls run.
int sign_bit_set_generic(PyObject* module, PyObject* data) {
    BinaryState* st = state_of(module);
    Ref byte2int = native::global<"byte2int">(module, st);
    if (!byte2int) return -1;
    Ref bytes2bits_function = native::global<"bytes2bits">(module, st);
    if (!bytes2bits_function) return -1;
    Ref first = slice_of(data, 0, 1);
    if (!first) return -1;
    Ref bits = native::call(bytes2bits_function.get(), first.get());
    if (!bits) return -1;
    Ref first_bit = slice_of(bits.get(), 0, 1);
    if (!first_bit) return -1;
    Ref value = native::call(byte2int.get(), first_bit.get());
    if (!value) return -1;
    return PyObject_IsTrue(value.get());
}

// Guard: iterateints is portil's identity, `data` an exact bytes or bytearray
// read through a ByteView, `signed` a plain flag; for the sign, byte2int is
// portil's and bytes2bits this module's own over a canonical table (all
// verdicts taken before the data is read). Otherwise, with a plain argument,
// the accumulation alone is native (`number`).
native::Fast bytes_to_integer_fast(PyObject* module, PyObject* data, PyObject* is_signed, Ref& number) {
    BinaryState* st = state_of(module);
    Verdicts& verdicts = st->verdicts.get();
    const Collaborators& found = collaborators(st, module, verdicts);
    if (!found.iterateints) return native::declined();
    const bool native_sign =
        found.byte2int && found.bytes2bits && bytes2bits_table_native(st, verdicts, found);
    ByteView view;
    if (!view_exact_bytes(view, data)) return native::declined();
    if (plain_flag(is_signed)) {
        if (!plain_truth(is_signed)) return Ref::steal(big_endian_to_int(view.data, view.size, false));
        if (native_sign) {
            if (view.size == 0) return raise_empty_character();
            return Ref::steal(big_endian_to_int(view.data, view.size, (view.data[0] & 0x80) != 0));
        }
    }
    number = Ref::steal(big_endian_to_int(view.data, view.size, false));
    if (!number) return Ref();
    return native::declined();
}

// ---- bytes2bits ----------------------------------------------------------

// Joins TABLE[key_of(element)] for every element that `next_element`
// produces. As a comprehension does, each step takes the element, then looks
// the table up in the namespace, then makes the key.
template <native::Literal Table, class NextElement, class KeyOf>
PyObject* join_table_entries(PyObject* module, NextElement next_element, KeyOf key_of) {
    Ref entries = Ref::steal(PyList_New(0));
    if (!entries) return nullptr;
    for (;;) {
        bool done = false;
        Ref element = next_element(done);
        if (done) break;
        if (!element) return nullptr;
        Ref table = native::global<Table>(module, state_of(module));
        if (!table) return nullptr;
        Ref key = key_of(std::move(element));
        if (!key) return nullptr;
        Ref entry = Ref::steal(PyObject_GetItem(table.get(), key.get()));
        if (!entry || PyList_Append(entries.get(), entry.get()) < 0) return nullptr;
    }
    return join_bytes(entries.get());
}

// b"".join(TABLE[b] for b in iterateints(data))
template <native::Literal Table>
PyObject* join_table_entries_of_ints(PyObject* module, PyObject* data) {
    Ref elements = call_global<"iterateints">(module, data);
    if (!elements) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(elements.get()));
    if (!iterator) return nullptr;
    return join_table_entries<Table>(
        module,
        [&](bool& done) {
            Ref element = Ref::steal(PyIter_Next(iterator.get()));
            done = !element && !PyErr_Occurred();
            return element;
        },
        [](Ref element) { return element; });
}

Ref bytes_to_bits_native(const ByteView& view) {
    if (view.size > PY_SSIZE_T_MAX / 8) {
        PyErr_NoMemory();
        return Ref();
    }
    Ref result = new_bytes(view.size * 8);
    if (!result) return result;
    unsigned char* out = bytes_buffer(result);
    // The view's fields in locals: the stores go through unsigned char, which
    // may alias anything, so a compiler would otherwise read them again for
    // every byte (clang does, and then does not vectorise the loop).
    const unsigned char* const in = view.data;
    const Py_ssize_t size = view.size;
    for (Py_ssize_t k = 0; k < size; ++k) std::memcpy(out + 8 * k, bit_patterns[in[k]].data(), 8);
    return result;
}

// Guard: iterateints portil's identity and BYTES2BITS_CACHE canonical; `data`
// an exact bytes or bytearray read through a ByteView.
native::Fast bytes_to_bits_fast(PyObject* module, PyObject* data) {
    BinaryState* st = state_of(module);
    Verdicts& verdicts = st->verdicts.get();
    if (!bytes2bits_table_native(st, verdicts, collaborators(st, module, verdicts))) return native::declined();
    ByteView view;
    if (!view_exact_bytes(view, data)) return native::declined();
    return bytes_to_bits_native(view);
}

PyObject* bytes2bits(PyObject* module, PyObject* data) {
    if (native::Fast fast = bytes_to_bits_fast(module, data)) return fast->release();
    return join_table_entries_of_ints<"BYTES2BITS_CACHE">(module, data);
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

#if NATIVE_X86_DISPATCH
// One bit per byte of 32 bytes that are 0 or 1, each group of eight bytes
// reversed first (its first bit is the most significant): bit 0 of each
// byte moved to bit 7 (nothing crosses into the next byte: the other bits
// are 0), the bytes of each group swapped end for end, the top bits gathered.
[[gnu::target("avx2")]] inline std::uint32_t pack32_avx2(__m256i bytes) {
    const __m256i reversed = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,  //
                                              7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_shuffle_epi8(_mm256_slli_epi64(bytes, 7), reversed)));
}

// pack_valid_groups with 32-byte vectors: per 64 bytes, one check that no
// byte has a bit above bit 0, then two pack32_avx2.
[[gnu::target("avx2")]] Py_ssize_t pack_valid_groups_avx2(const char* bits, Py_ssize_t groups, unsigned char* out) {
    const __m256i above_bit0 = _mm256_set1_epi8(static_cast<char>(0xFE));
    Py_ssize_t g = 0;
    for (; g + 8 <= groups; g += 8) {
        const char* at = bits + 8 * g;
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 32));
        if (!_mm256_testz_si256(_mm256_or_si256(a, b), above_bit0)) break;
        const std::uint64_t packed = pack32_avx2(a) | static_cast<std::uint64_t>(pack32_avx2(b)) << 32;
        std::memcpy(out + g, &packed, sizeof packed);
    }
    return g;
}
#endif

// Packs groups eight at a time while all their 64 bytes are 0 or 1; returns
// how many groups it packed (it stops before a run holding any other byte,
// which the group-by-group loop then reports). Little-endian x86-64 only:
// with AVX2 where the processor has it, else with SSE2.
Py_ssize_t pack_valid_groups(const char* bits, Py_ssize_t groups, unsigned char* out) {
    Py_ssize_t g = 0;
#if NATIVE_X86_DISPATCH
    if (native::cpu::has_avx2()) return pack_valid_groups_avx2(bits, groups, out);
#endif
#if NATIVE_SSE2
    static_assert(std::endian::native == std::endian::little);
    const __m128i ones = _mm_set1_epi8(1);
    const __m128i zero = _mm_setzero_si128();
    const auto load = [](const char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
    // Bit k of the mask is byte k's bit 0, moved to its bit 7 first (no bit
    // crosses into the next byte: the others are 0).
    const auto low_bits = [](__m128i v) {
        return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_slli_epi64(v, 7))));
    };
    for (; g + 8 <= groups; g += 8) {
        const char* at = bits + 8 * g;
        const __m128i a = load(at), b = load(at + 16), c = load(at + 32), d = load(at + 48);
        const __m128i either = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_andnot_si128(ones, either), zero)) != 0xFFFF) break;
        // Byte j of `packed` is group j, its first bit in bit 0: reverse the
        // bits of every byte, as the first bit is the most significant.
        std::uint64_t packed = low_bits(a) | low_bits(b) << 16 | low_bits(c) << 32 | low_bits(d) << 48;
        packed = (packed >> 1 & UINT64_C(0x5555555555555555)) | (packed & UINT64_C(0x5555555555555555)) << 1;
        packed = (packed >> 2 & UINT64_C(0x3333333333333333)) | (packed & UINT64_C(0x3333333333333333)) << 2;
        packed = (packed >> 4 & UINT64_C(0x0F0F0F0F0F0F0F0F)) | (packed & UINT64_C(0x0F0F0F0F0F0F0F0F)) << 4;
        std::memcpy(out + g, &packed, sizeof packed);
    }
#else
    (void)bits;
    (void)groups;
    (void)out;
#endif
    return g;
}

Ref bits_to_bytes_native(const char* bits, Py_ssize_t groups) {
    Ref result = new_bytes(groups);
    if (!result) return result;
    unsigned char* out = bytes_buffer(result);
    for (Py_ssize_t g = pack_valid_groups(bits, groups, out); g < groups; ++g) {
        const int packed = packed_group(bits + 8 * g);
        if (packed < 0) {
            // The table has no such key: the same KeyError a lookup raises.
            Ref key = Ref::steal(PyBytes_FromStringAndSize(bits + 8 * g, 8));
            if (key) native::raise_key_error(key.get());
            return Ref();
        }
        out[g] = static_cast<unsigned char>(packed);
    }
    return result;
}

// Guard: BITS2BYTES_CACHE canonical and `data` an exact bytes (immutable;
// a bytearray's groups are unhashable, which the generic path reports).
native::Fast bits_to_bytes_fast(PyObject* module, PyObject* data, Py_ssize_t groups) {
    BinaryState* st = state_of(module);
    Verdicts& verdicts = st->verdicts.get();
    const Collaborators& found = collaborators(st, module, verdicts);
    if (!PyBytes_CheckExact(data) ||
        !table_canonical(st, verdicts.bits2bytes_canonical, st->ns, name<"BITS2BYTES_CACHE">(st),
                         found.bits2bytes_table, verify_bits2bytes_table))
        return native::declined();
    return bits_to_bytes_native(PyBytes_AS_STRING(data), groups);
}

PyObject* bits2bytes(PyObject* module, PyObject* data) {
    const Py_ssize_t groups = group_count(data, "data length must be a multiple of 8");
    if (groups < 0) return nullptr;
    if (native::Fast fast = bits_to_bytes_fast(module, data, groups)) return fast->release();
    // b"".join(BITS2BYTES_CACHE[data[i:i + 8]] for i in range(0, len(data), 8))
    Py_ssize_t g = 0;
    return join_table_entries<"BITS2BYTES_CACHE">(
        module,
        [&](bool& done) {
            done = g == groups;
            return done ? Ref() : Ref::steal(PyLong_FromSsize_t(8 * g++));
        },
        [&](Ref start) {
            const Py_ssize_t at = PyLong_AsSsize_t(start.get());  // one we made
            return slice_of(data, at, at + 8);
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

// An exact bytes (immutable) is reversed natively; anything else is sliced.
PyObject* swapbytes(PyObject* module, PyObject* data) {
    if (PyBytes_CheckExact(data)) return reversed_bytes(PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data));
    return PyObject_GetItem(data, state_of(module)->reversed_slice);
}

// No collaborator: an exact bytes or bytearray, read through a ByteView, has
// its groups copied natively; anything else is sliced and joined.
PyObject* swapbytesinbits(PyObject* /*module*/, PyObject* data) {
    {
        ByteView view;
        if (view_exact_bytes(view, data)) {
            if (view.size % 8 != 0) {
                PyErr_SetString(PyExc_ValueError, "data length must be multiple of 8");
                return nullptr;
            }
            const Py_ssize_t groups = view.size / 8;
            Ref result = new_bytes(view.size);
            if (!result) return nullptr;
            unsigned char* out = bytes_buffer(result);
            const unsigned char* const in = view.data;  // in a local, as in bytes_to_bits_native
            for (Py_ssize_t g = 0; g < groups; ++g) std::memcpy(out + 8 * g, in + 8 * (groups - 1 - g), 8);
            return result.release();
        }
    }
    const Py_ssize_t groups = group_count(data, "data length must be multiple of 8");
    if (groups < 0) return nullptr;
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

Ref bits_reversed_in_bytes(const ByteView& view) {
    Ref result = new_bytes(view.size);
    if (!result) return result;
    unsigned char* out = bytes_buffer(result);
    const unsigned char* const in = view.data;  // in locals, as in bytes_to_bits_native
    const Py_ssize_t size = view.size;
    Py_ssize_t k = 0;
    // Eight bytes at a time: swap neighbouring bits, then pairs, then nibbles.
    for (; k + 8 <= size; k += 8) {
        std::uint64_t word;
        std::memcpy(&word, in + k, 8);
        word = ((word >> 1) & UINT64_C(0x5555555555555555)) | ((word & UINT64_C(0x5555555555555555)) << 1);
        word = ((word >> 2) & UINT64_C(0x3333333333333333)) | ((word & UINT64_C(0x3333333333333333)) << 2);
        word = ((word >> 4) & UINT64_C(0x0F0F0F0F0F0F0F0F)) | ((word & UINT64_C(0x0F0F0F0F0F0F0F0F)) << 4);
        std::memcpy(out + k, &word, 8);
    }
    for (; k < size; ++k) out[k] = reversed_bits[in[k]];
    return result;
}

// Guard: iterateints portil's identity and SWAPBITSINBYTES_CACHE canonical;
// `data` an exact bytes or bytearray read through a ByteView.
native::Fast swap_bits_in_bytes_fast(PyObject* module, PyObject* data) {
    BinaryState* st = state_of(module);
    Verdicts& verdicts = st->verdicts.get();
    const Collaborators& found = collaborators(st, module, verdicts);
    if (!found.iterateints ||
        !table_canonical(st, verdicts.swapbitsinbytes_canonical, st->ns,
                         name<"SWAPBITSINBYTES_CACHE">(st), found.swapbitsinbytes_table, verify_swapbitsinbytes_table))
        return native::declined();
    ByteView view;
    if (!view_exact_bytes(view, data)) return native::declined();
    return bits_reversed_in_bytes(view);
}

PyObject* swapbitsinbytes(PyObject* module, PyObject* data) {
    if (native::Fast fast = swap_bits_in_bytes_fast(module, data)) return fast->release();
    return join_table_entries_of_ints<"SWAPBITSINBYTES_CACHE">(module, data);
}

// ---- hexlify, unhexlify --------------------------------------------------

template <native::Literal Function>
PyObject* call_binascii(PyObject* module, PyObject* data) {
    BinaryState* st = state_of(module);
    Ref binascii = native::global<"binascii">(module, st);
    if (!binascii) return nullptr;
    Ref function = native::attr(binascii.get(), name<Function>(st));
    if (!function) return nullptr;
    return native::call(function.get(), data).release();
}

PyObject* hexlify(PyObject* module, PyObject* data) { return call_binascii<"hexlify">(module, data); }

PyObject* unhexlify(PyObject* module, PyObject* data) { return call_binascii<"unhexlify">(module, data); }

// ---- the functions, as the namespace binds them -------------------------

PyMethodDef integer2bits_def = native::function<
    "integer2bits(number, width)", integer2bits,
    "Converts an integer into a bit string of width bytes 0x00 or 0x01, most significant bit first; negative\n"
    "numbers are written in two's complement and only the low width bits are kept.\n\n"
    ">>> integer2bits(19, 8)\n"
    "b'\\x00\\x00\\x00\\x01\\x00\\x00\\x01\\x01'">();
PyMethodDef integer2bytes_def = native::function<
    "integer2bytes(number, width)", integer2bytes,
    "Converts an integer into a big-endian byte string of width bytes, two's complement for negative numbers;\n"
    "the number must lie in -256**width <= number < 256**width.\n\n"
    ">>> integer2bytes(19, 4)\n"
    "b'\\x00\\x00\\x00\\x13'">();
PyMethodDef bits2integer_def = native::function<
    "bits2integer(data, signed=False)", integer_from_entries<bits_to_integer_fast, first_bit_set_generic, 1>,
    "Converts a bit string (one byte 0x00 or 0x01 per bit, most significant first) into an integer, taking the\n"
    "first bit as the sign when signed is true.\n\n"
    ">>> bits2integer(b'\\x01\\x00\\x00\\x01\\x01', signed=True)\n"
    "-13">();
PyMethodDef bytes2integer_def = native::function<
    "bytes2integer(data, signed=False)", integer_from_entries<bytes_to_integer_fast, sign_bit_set_generic, 8>,
    "Converts a big-endian byte string into an integer, two's complement when signed is true.\n\n"
    ">>> bytes2integer(b'\\x80\\x00', signed=True)\n"
    "-32768">();
PyMethodDef bytes2bits_def = native::function<
    "bytes2bits(data)", bytes2bits,
    "Expands a byte string into its bit string, 8 bytes 0x00 or 0x01 per byte, most significant bit first.\n\n"
    ">>> bytes2bits(b'a')\n"
    "b'\\x00\\x01\\x01\\x00\\x00\\x00\\x00\\x01'">();
PyMethodDef bits2bytes_def = native::function<
    "bits2bytes(data)", bits2bytes,
    "Packs a bit string (8 bytes 0x00 or 0x01 per byte, most significant bit first) into a byte string.\n\n"
    ">>> bits2bytes(b'\\x00\\x01\\x01\\x00\\x00\\x00\\x00\\x01')\n"
    "b'a'">();
PyMethodDef swapbytes_def = native::function<
    "swapbytes(data)", swapbytes,
    "Reverses the order of the bytes (of any sliceable sequence).\n\n"
    ">>> swapbytes(b'abcd')\n"
    "b'dcba'">();
PyMethodDef swapbytesinbits_def = native::function<
    "swapbytesinbits(data)", swapbytesinbits,
    "Reverses the order of the 8-bit groups of a bit string, leaving each group as it is.\n\n"
    ">>> swapbytesinbits(b'0000000011111111')\n"
    "b'1111111100000000'">();
PyMethodDef swapbitsinbytes_def = native::function<
    "swapbitsinbytes(data)", swapbitsinbytes,
    "Reverses the order of the bits inside every byte; byte order is unchanged.\n\n"
    ">>> swapbitsinbytes(b'\\x12\\x34')\n"
    "b'H,'">();
PyMethodDef hexlify_def = native::function<
    "hexlify(data)", hexlify,
    "Returns the hexadecimal representation of data, as binascii.hexlify does.\n\n"
    ">>> hexlify(b'ab')\n"
    "b'6162'">();
PyMethodDef unhexlify_def = native::function<
    "unhexlify(data)", unhexlify,
    "Returns the bytes that a hexadecimal representation stands for, as binascii.unhexlify does.\n\n"
    ">>> unhexlify(b'6162')\n"
    "b'ab'">();

// ---- the namespace -------------------------------------------------------

// The code of portil's helpers as the star import brought them, and the
// portil module whose namespace int2byte reads.
void learn_portil(PyObject* module, BinaryState* st) {
    Ref int2byte = native::peek_global(module, name<"int2byte">(st));
    Ref byte2int = native::peek_global(module, name<"byte2int">(st));
    Ref iterateints = native::peek_global(module, name<"iterateints">(st));
    st->int2byte_code = native::module_function_code(int2byte.get(), "tavro.lib.portil", "int2byte");
    st->byte2int_code = native::module_function_code(byte2int.get(), "tavro.lib.portil", "byte2int");
    st->iterateints_code = native::module_function_code(iterateints.get(), "tavro.lib.portil", "iterateints");
    if (st->int2byte_code == nullptr) return;
    st->portil = Py_NewRef(PyCFunction_GET_SELF(int2byte.get()));
    st->portil_ns = Py_XNewRef(PyModule_GetDict(st->portil));
}

// key -> value for i in 0..255, through the namespace's functions.
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

Ref int2byte_of(PyObject* module, long i) {
    Ref number = small_int(i);
    if (!number) return Ref();
    return call_global<"int2byte">(module, number.get());
}

// bytes2bits(int2byte(i)), with the function just bound.
Ref bit_string_of(PyObject* module, long i) {
    Ref byte = int2byte_of(module, i);
    return byte ? Ref::steal(bytes2bits(module, byte.get())) : Ref();
}

int exec_binary(PyObject* module) {
    BinaryState* st = state_of(module);
    st->ns = Py_NewRef(PyModule_GetDict(module));
    if (!st->prepare_shared(module, false)) return -1;
    if (!native::star_import(module, "tavro.lib.portil")) return -1;
    learn_portil(module, st);
    Ref minus_one = small_int(-1);
    if (!minus_one) return -1;
    st->reversed_slice = PySlice_New(nullptr, nullptr, minus_one.get());
    if (st->reversed_slice == nullptr) return -1;

    if (!native::set_module_attribute(module, "binascii", native::import("binascii"))) return -1;
    if (!native::bind_functions<integer2bits_def, integer2bytes_def, bits2integer_def, bytes2integer_def>(module))
        return -1;
    Ref eight = small_int(8);
    if (!eight) return -1;
    Ref bytes2bits_cache = build_table([](long i) { return small_int(i); },
                                       [&](long, PyObject* key) {
                                           return Ref::steal(integer2bits(module, key, eight.get()));
                                       });
    if (!native::set_module_attribute(module, "BYTES2BITS_CACHE", std::move(bytes2bits_cache))) return -1;
    if (!native::bind_functions<bytes2bits_def>(module)) return -1;
    Ref bits2bytes_cache = build_table([&](long i) { return bit_string_of(module, i); },
                                       [&](long i, PyObject*) { return int2byte_of(module, i); });
    if (!native::set_module_attribute(module, "BITS2BYTES_CACHE", std::move(bits2bytes_cache))) return -1;
    if (!native::bind_functions<bits2bytes_def, swapbytes_def, swapbytesinbits_def>(module)) return -1;
    Ref swap_cache = build_table([](long i) { return small_int(i); },
                                 [&](long i, PyObject*) {
                                     Ref bits = bit_string_of(module, i);
                                     Ref reversed =
                                         bits ? Ref::steal(PyObject_GetItem(bits.get(), st->reversed_slice)) : Ref();
                                     return reversed ? Ref::steal(bits2bytes(module, reversed.get())) : Ref();
                                 });
    if (!native::set_module_attribute(module, "SWAPBITSINBYTES_CACHE", std::move(swap_cache))) return -1;
    return native::bind_functions<swapbitsinbytes_def, hexlify_def, unhexlify_def>(module) ? 0 : -1;
}

}  // namespace

NATIVE_MODULE(binary, "tavro.lib.binary", BinaryState, exec_binary)
