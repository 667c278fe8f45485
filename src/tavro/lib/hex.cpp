// tavro.lib.hex: hex-dump text that reads back into the same bytes, and values
// whose text form is hexadecimal.
//
// hexdump and hexundump each have two paths. The generic path performs the
// documented steps one interpreter operation at a time, so that rebound tables
// and helpers, unusual argument types and every failure behave exactly as the
// steps say. The fast path runs when the collaborators are the module's own
// (tables of canonical entries, portil's original helpers) and the data is a
// plain buffer or text, and writes the result in place. Both give the same
// result and the same exception for every input.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "native.hpp"
#include "legacy.hpp"

namespace {

using native::Ref;
using native::legacy::name;

constexpr Py_ssize_t kFourDigitLimit = 65536;         // 16**4
constexpr long long kEightDigitLimit = 4294967296LL;  // 16**8
// Larger line sizes are left to the generic path, whose padding arithmetic
// then fails (or succeeds) exactly as the interpreter's formatting does.
constexpr long long kFastLinesizeLimit = 1LL << 32;

// ---- portil's helpers -------------------------------------------------------

// Code addresses of the helpers that the fast paths stand in for, recorded
// when this module executes. A namespace entry that still runs this code is
// the original helper: iterateints the identity, int2byte a pure look-up in
// portil's INT2BYTE_CACHE, trimstring and hexlify the known conversions, so
// the fast paths may skip, memoise or inline their calls. Code addresses are
// process-wide constants, unlike the objects themselves, which callers rebind.
PyCFunction portil_iterateints = nullptr;
PyCFunction portil_int2byte = nullptr;
PyCFunction portil_trimstring = nullptr;
PyCFunction binascii_hexlify = nullptr;

PyCFunction code_of(PyObject* function) {
    return function != nullptr && PyCFunction_Check(function) ? PyCFunction_GET_FUNCTION(function) : nullptr;
}

bool runs(PyObject* function, PyCFunction code) { return code != nullptr && code_of(function) == code; }

// The module global `key` (borrowed), or null when it is not bound. Raises
// nothing: a fast path that finds a name missing leaves the NameError to the
// generic path, which raises it where the documented steps would.
PyObject* peek_global(PyObject* module, PyObject* key) {
    if (key == nullptr) return PyErr_Clear(), nullptr;
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), key);
    if (value == nullptr && !PyErr_Occurred()) value = PyDict_GetItemWithError(PyEval_GetBuiltins(), key);
    if (value == nullptr) PyErr_Clear();
    return value;
}

// ---- hexdump, fast path -----------------------------------------------------

// The bytes of `data` when its length, its slices and the iteration of its
// slices are those of a byte buffer: bytes and bytearray (subclasses too, as
// long as they keep the inherited length and subscript) and one-dimensional
// contiguous memoryviews of unsigned bytes. Anything else is sliced and
// iterated through the interpreter.
struct ByteSpan {
    const unsigned char* bytes = nullptr;
    Py_ssize_t size = 0;
};

bool keeps_slots_of(PyObject* data, PyTypeObject* base) {
    PyTypeObject* type = Py_TYPE(data);
    return type->tp_as_sequence != nullptr && type->tp_as_mapping != nullptr &&
           type->tp_as_sequence->sq_length == base->tp_as_sequence->sq_length &&
           type->tp_as_mapping->mp_subscript == base->tp_as_mapping->mp_subscript;
}

bool dumpable_bytes(PyObject* data, ByteSpan& span) {
    if (PyBytes_Check(data) && keeps_slots_of(data, &PyBytes_Type)) {
        span = {reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data)), PyBytes_GET_SIZE(data)};
        return true;
    }
    if (PyByteArray_Check(data) && keeps_slots_of(data, &PyByteArray_Type)) {
        span = {reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(data)), PyByteArray_GET_SIZE(data)};
        return true;
    }
    if (Py_IS_TYPE(data, &PyMemoryView_Type)) {
        const Py_buffer* view = PyMemoryView_GET_BUFFER(data);
        if (view->buf == nullptr || view->ndim != 1 || view->itemsize != 1) return false;
        if (view->format == nullptr || std::strcmp(view->format, "B") != 0) return false;
        if (view->strides != nullptr && view->strides[0] != 1) return false;
        span = {static_cast<const unsigned char*>(view->buf), view->shape != nullptr ? view->shape[0] : view->len};
        return true;
    }
    return false;
}

// The HEXPRINT and PRINTABLE entries of the byte values a dump uses, read
// once per call. Reading a list entry runs no interpreter code, so the copy
// gives the same answer as a look-up per byte.
struct DumpTables {
    Py_UCS4 hex[256][2];
    Py_UCS4 printable[256];
    Py_UCS4 widest = 127;  // the widest character of the entries read
};

// False when a table is not a plain list of 256 texts of the expected length
// (only the entries in `used` are examined); the generic path then indexes
// whatever the name is bound to.
bool read_dump_tables(PyObject* module, const bool (&used)[256], DumpTables& tables) {
    PyObject* hexprint = peek_global(module, name<"HEXPRINT">());
    PyObject* printable = peek_global(module, name<"PRINTABLE">());
    if (hexprint == nullptr || printable == nullptr) return false;
    if (!PyList_CheckExact(hexprint) || PyList_GET_SIZE(hexprint) != 256) return false;
    if (!PyList_CheckExact(printable) || PyList_GET_SIZE(printable) != 256) return false;
    for (Py_ssize_t i = 0; i < 256; ++i) {
        if (!used[i]) continue;
        PyObject* pair = PyList_GET_ITEM(hexprint, i);
        PyObject* character = PyList_GET_ITEM(printable, i);
        if (!PyUnicode_Check(pair) || PyUnicode_GET_LENGTH(pair) != 2) return false;
        if (!PyUnicode_Check(character) || PyUnicode_GET_LENGTH(character) != 1) return false;
        tables.hex[i][0] = PyUnicode_READ_CHAR(pair, 0);
        tables.hex[i][1] = PyUnicode_READ_CHAR(pair, 1);
        tables.printable[i] = PyUnicode_READ_CHAR(character, 0);
        tables.widest = std::max({tables.widest, tables.hex[i][0], tables.hex[i][1], tables.printable[i]});
    }
    return true;
}

constexpr char kUpperDigits[] = "0123456789ABCDEF";
constexpr char kOpeningLine[] = "hexundump(\"\"\"\n";
constexpr char kClosingLine[] = "\"\"\")\n";
constexpr Py_ssize_t kOpeningLength = sizeof kOpeningLine - 1;
constexpr Py_ssize_t kClosingLength = sizeof kClosingLine - 1;

template <class CharT>
CharT* put_ascii(CharT* out, const char* text, Py_ssize_t length) {
    for (Py_ssize_t i = 0; i < length; ++i) *out++ = static_cast<CharT>(text[i]);
    return out;
}

// Writes the whole dump. A data line is: offset, three spaces, "HH " per
// byte, spaces up to 3 * linesize + 2 characters (the padded hex column and
// the three-space separator), the printable characters, a line feed.
template <class CharT>
void write_dump(CharT* out, const ByteSpan& span, Py_ssize_t linesize, int digits, const DumpTables& tables,
                const bool (&used)[256]) {
    // "HH " per byte in four units, so that one fixed-size copy writes a
    // triple; the fourth unit is overwritten by what follows (something
    // always does: at least the padding).
    CharT triple[256][4];
    CharT printable[256];
    for (int i = 0; i < 256; ++i) {
        if (!used[i]) continue;
        triple[i][0] = static_cast<CharT>(tables.hex[i][0]);
        triple[i][1] = static_cast<CharT>(tables.hex[i][1]);
        triple[i][2] = triple[i][3] = static_cast<CharT>(' ');
        printable[i] = static_cast<CharT>(tables.printable[i]);
    }
    const Py_ssize_t field = 3 * linesize + 2;
    out = put_ascii(out, kOpeningLine, kOpeningLength);
    for (Py_ssize_t offset = 0; offset < span.size; offset += linesize) {
        const Py_ssize_t count = std::min(linesize, span.size - offset);
        const unsigned char* chunk = span.bytes + offset;
        for (int d = 0; d < digits; ++d)
            out[d] = static_cast<CharT>(kUpperDigits[(offset >> (4 * (digits - 1 - d))) & 15]);
        out += digits;
        out[0] = out[1] = out[2] = static_cast<CharT>(' ');
        out += 3;
        for (Py_ssize_t k = 0; k < count; ++k, out += 3) std::memcpy(out, triple[chunk[k]], sizeof triple[0]);
        for (Py_ssize_t k = 3 * count; k < field; ++k) *out++ = static_cast<CharT>(' ');
        for (Py_ssize_t k = 0; k < count; ++k) *out++ = printable[chunk[k]];
        *out++ = static_cast<CharT>('\n');
    }
    put_ascii(out, kClosingLine, kClosingLength);
}

// Below this size the dump notes which byte values occur and reads only
// their table entries; above it reading all 256 is cheaper than the scan.
constexpr Py_ssize_t kScanUsedBelow = 2048;

// The dump of a byte buffer with the module's own tables and iterateints, or
// false (nothing done, no exception) when the generic path must run.
bool hexdump_fast(PyObject* module, PyObject* data, Py_ssize_t size, Py_ssize_t linesize, int digits,
                  PyObject** result) {
    if (size == 0) {  // no slice is taken and no table is read
        *result = PyUnicode_FromStringAndSize("hexundump(\"\"\"\n\"\"\")\n", kOpeningLength + kClosingLength);
        return true;
    }
    if (!runs(peek_global(module, name<"iterateints">()), portil_iterateints)) return false;
    ByteSpan span;
    if (!dumpable_bytes(data, span) || span.size != size) return false;
    bool used[256];
    if (size < kScanUsedBelow) {
        std::fill(std::begin(used), std::end(used), false);
        for (Py_ssize_t i = 0; i < size; ++i) used[span.bytes[i]] = true;
    } else {
        std::fill(std::begin(used), std::end(used), true);
    }
    // Only the entries of bytes that occur are read, as by the generic path;
    // the str is created with the narrowest kind that holds them all.
    DumpTables tables;
    if (!read_dump_tables(module, used, tables)) return false;
    const long long lines = (static_cast<long long>(size) + linesize - 1) / linesize;
    // lines * linesize < size + linesize <= 2**33, so nothing here overflows.
    const long long length = kOpeningLength + kClosingLength + lines * (digits + 6) +
                             3 * (lines * static_cast<long long>(linesize)) + size;
    if (length > PY_SSIZE_T_MAX) {
        *result = PyErr_NoMemory();
        return true;
    }
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(length), tables.widest));
    if (!text) {
        *result = nullptr;
        return true;
    }
    // No interpreter code ran since the span was taken (allocating a str
    // does not collect garbage), so it still describes the buffer.
    switch (PyUnicode_KIND(text.get())) {
        case PyUnicode_1BYTE_KIND:
            write_dump(PyUnicode_1BYTE_DATA(text.get()), span, linesize, digits, tables, used);
            break;
        case PyUnicode_2BYTE_KIND:
            write_dump(PyUnicode_2BYTE_DATA(text.get()), span, linesize, digits, tables, used);
            break;
        default:
            write_dump(PyUnicode_4BYTE_DATA(text.get()), span, linesize, digits, tables, used);
            break;
    }
    *result = text.release();
    return true;
}

// ---- hexdump, generic path --------------------------------------------------

// `separator.join(table[b] for b in iterateints(chunk))`, with iterateints and
// the table read from the namespace where the expression reads them.
Ref joined_entries(PyObject* module, PyObject* chunk, PyObject* table_name, PyObject* separator) {
    Ref iterateints = native::global(module, name<"iterateints">());
    if (!iterateints) return Ref();
    Ref values = native::call(iterateints.get(), chunk);
    if (!values) return Ref();
    Ref iterator = Ref::steal(PyObject_GetIter(values.get()));
    Ref entries = Ref::steal(PyList_New(0));
    if (!iterator || !entries) return Ref();
    while (true) {
        Ref value = Ref::steal(PyIter_Next(iterator.get()));
        if (!value) break;
        Ref table = native::global(module, table_name);
        if (!table) return Ref();
        Ref entry = Ref::steal(PyObject_GetItem(table.get(), value.get()));
        if (!entry || PyList_Append(entries.get(), entry.get()) < 0) return Ref();
    }
    if (PyErr_Occurred()) return Ref();
    return Ref::steal(PyUnicode_Join(separator, entries.get()));
}

// Raises the error for a line size below 1; `step` is an int.
void raise_bad_linesize(PyObject* step) {
    if (_PyLong_Sign(step) == 0)
        PyErr_SetString(PyExc_ValueError, "range() arg 3 must not be zero");
    else
        PyErr_Format(PyExc_ValueError, "hexdump linesize must be positive, got %S", step);
}

PyObject* hexdump_generic(PyObject* module, PyObject* data, PyObject* linesize, Py_ssize_t size, int digits) {
    PyObject* line_template = digits == 4 ? name<"%%04X   %%-%ds   %%s">() : name<"%%08X   %%-%ds   %%s">();
    Ref three = Ref::steal(PyLong_FromLong(3));
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!line_template || !three || !one) return nullptr;
    Ref tripled = Ref::steal(PyNumber_Multiply(three.get(), linesize));
    if (!tripled) return nullptr;
    Ref width = Ref::steal(PyNumber_Subtract(tripled.get(), one.get()));
    if (!width) return nullptr;
    Ref line_format = Ref::steal(PyNumber_Remainder(line_template, width.get()));
    if (!line_format) return nullptr;
    Ref lines = Ref::steal(PyList_New(0));
    Ref opening = Ref::steal(PyUnicode_FromString("hexundump(\"\"\""));
    if (!lines || !opening || PyList_Append(lines.get(), opening.get()) < 0) return nullptr;

    // range(0, size, linesize), refusing line sizes below 1: a negative step
    // would iterate nothing and silently drop every byte.
    Ref step = Ref::steal(PyNumber_Index(linesize));
    if (!step) return nullptr;
    if (_PyLong_Sign(step.get()) <= 0) {
        raise_bad_linesize(step.get());
        return nullptr;
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref stop = Ref::steal(PyLong_FromSsize_t(size));
    if (!zero || !stop) return nullptr;
    Ref offsets = native::call(reinterpret_cast<PyObject*>(&PyRange_Type), zero.get(), stop.get(), step.get());
    if (!offsets) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(offsets.get()));
    if (!iterator) return nullptr;
    PyObject* space = name<" ">();
    PyObject* empty = name<"">();
    if (!space || !empty) return nullptr;
    while (true) {
        Ref offset = Ref::steal(PyIter_Next(iterator.get()));
        if (!offset) break;
        Ref end = Ref::steal(PyNumber_Add(offset.get(), linesize));
        if (!end) return nullptr;
        Ref bounds = Ref::steal(PySlice_New(offset.get(), end.get(), nullptr));
        if (!bounds) return nullptr;
        Ref chunk = Ref::steal(PyObject_GetItem(data, bounds.get()));
        if (!chunk) return nullptr;
        Ref hex_column = joined_entries(module, chunk.get(), name<"HEXPRINT">(), space);
        if (!hex_column) return nullptr;
        Ref printable_column = joined_entries(module, chunk.get(), name<"PRINTABLE">(), empty);
        if (!printable_column) return nullptr;
        Ref fields = Ref::steal(PyTuple_Pack(3, offset.get(), hex_column.get(), printable_column.get()));
        if (!fields) return nullptr;
        Ref line = Ref::steal(PyNumber_Remainder(line_format.get(), fields.get()));
        if (!line || PyList_Append(lines.get(), line.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref closing = Ref::steal(PyUnicode_FromString("\"\"\")"));
    if (!closing || PyList_Append(lines.get(), closing.get()) < 0 || PyList_Append(lines.get(), empty) < 0)
        return nullptr;
    return PyUnicode_Join(name<"\n">(), lines.get());
}

// ---- hexundump, fast path ---------------------------------------------------

// Character classes for the parser: 0 to 15 a hexadecimal digit's value;
// kSpace what str.split() and str.lstrip() treat as whitespace (which
// includes 0x1C to 0x1F, 0x85 and 0xA0); kLineFeed the line separator, which
// is whitespace too but never occurs inside a line; kOther anything else.
constexpr unsigned char kSpace = 16;
constexpr unsigned char kLineFeed = 17;
constexpr unsigned char kOther = 18;
unsigned char char_class_table[256];

void build_char_class_table() {
    for (Py_UCS4 c = 0; c < 256; ++c) {
        unsigned char value = kOther;
        if (c >= '0' && c <= '9') value = static_cast<unsigned char>(c - '0');
        else if (c >= 'a' && c <= 'f') value = static_cast<unsigned char>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') value = static_cast<unsigned char>(c - 'A' + 10);
        else if (c == '\n') value = kLineFeed;
        else if (Py_UNICODE_ISSPACE(c)) value = kSpace;
        char_class_table[c] = value;
    }
}

template <class CharT>
inline unsigned char char_class(CharT c) {
    if constexpr (sizeof(CharT) == 1) {
        return char_class_table[c];
    } else {
        if (c < 256) return char_class_table[c];
        return Py_UNICODE_ISSPACE(c) ? kSpace : kOther;
    }
}

inline bool separates(unsigned char char_class) { return char_class == kSpace || char_class == kLineFeed; }

template <class CharT>
Py_ssize_t find_char(const CharT* text, Py_ssize_t from, Py_ssize_t to, CharT wanted) {
    if constexpr (sizeof(CharT) == 1) {
        const void* hit = std::memchr(text + from, wanted, static_cast<size_t>(to - from));
        return hit ? static_cast<const CharT*>(hit) - text : to;
    } else {
        while (from < to && text[from] != wanted) ++from;
        return from;
    }
}

enum class Outcome { done, failed, declined };

// What int2byte gives for each byte value; -1 where it has not been asked.
// `identity`: every value is known and gives its own byte (the usual case).
struct ByteMemo {
    int value[256];
    bool identity = false;
};

// int2byte's answers for 0 to 255 when int2byte is portil's original and its
// INT2BYTE_CACHE is a dict that maps each of them to a one-byte byte string.
// Checking that takes 256 look-ups, so the outcome is kept with the dict's
// identity and version tag: every change to a dict gives it a new tag and
// tags are never reused, so the pair names one state of one dict.
struct CheckedCache {
    const PyObject* dict = nullptr;
    uint64_t version = 0;
    unsigned char bytes[256];
};
CheckedCache checked_int2byte_cache;

bool fill_from_int2byte_cache(PyObject* int2byte, ByteMemo& memo) {
#if PY_VERSION_HEX < 0x030C0000
    PyObject* owner = PyCFunction_GET_SELF(int2byte);
    if (owner == nullptr || !PyModule_Check(owner)) return false;
    PyObject* cache = peek_global(owner, name<"INT2BYTE_CACHE">());
    if (cache == nullptr || !PyDict_CheckExact(cache)) return false;
    const uint64_t version = native::legacy::dict_version(cache);
    CheckedCache& checked = checked_int2byte_cache;
    if (checked.dict != cache || checked.version != version) {
        checked.dict = nullptr;
        for (long i = 0; i < 256; ++i) {
            Ref key = Ref::steal(PyLong_FromLong(i));
            if (!key) return PyErr_Clear(), false;
            PyObject* entry = PyDict_GetItemWithError(cache, key.get());
            if (entry == nullptr || !PyBytes_Check(entry) || PyBytes_GET_SIZE(entry) != 1) return PyErr_Clear(), false;
            checked.bytes[i] = static_cast<unsigned char>(PyBytes_AS_STRING(entry)[0]);
        }
        // The look-ups ran no interpreter code for these int keys unless the
        // dict holds other keys of equal hash; a changed tag then tells.
        if (native::legacy::dict_version(cache) != version) return false;
        checked.dict = cache;
        checked.version = version;
    }
    memo.identity = true;
    for (int i = 0; i < 256; ++i) {
        memo.value[i] = checked.bytes[i];
        memo.identity = memo.identity && checked.bytes[i] == i;
    }
    return true;
#else
    (void)int2byte;
    (void)memo;
    return false;
#endif
}

// int2byte(number) for 0 <= number <= 255, asked of the original helper once
// per value and call. Declines when the helper answers with anything but a
// one-byte byte string (its cache was edited), which only the generic join
// handles.
Outcome byte_of(PyObject* int2byte, long number, ByteMemo& memo, unsigned char& byte) {
    if (memo.value[number] < 0) {
        Ref key = Ref::steal(PyLong_FromLong(number));
        if (!key) return Outcome::failed;
        Ref result = native::call(int2byte, key.get());
        if (!result) return Outcome::failed;
        if (!PyBytes_Check(result.get()) || PyBytes_GET_SIZE(result.get()) != 1) return Outcome::declined;
        memo.value[number] = static_cast<unsigned char>(PyBytes_AS_STRING(result.get())[0]);
    }
    byte = static_cast<unsigned char>(memo.value[number]);
    return Outcome::done;
}

// int(piece, 16) for a piece that is not one or two ASCII hexadecimal digits
// (signs, 0x prefixes, underscores, other scripts' digits, or junk), done by
// the interpreter itself, then int2byte of it.
Outcome byte_of_piece(PyObject* text, Py_ssize_t from, Py_ssize_t to, PyObject* int2byte, ByteMemo& memo,
                      unsigned char& byte) {
    Ref piece = Ref::steal(PyUnicode_Substring(text, from, to));
    if (!piece) return Outcome::failed;
    Ref number = Ref::steal(PyLong_FromUnicodeObject(piece.get(), 16));
    if (!number) return Outcome::failed;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(number.get(), &overflow);
    if (overflow == 0 && value >= 0 && value <= 255) return byte_of(int2byte, value, memo, byte);
    if (value == -1 && PyErr_Occurred()) return Outcome::failed;
    // Out of the cache's range: the helper raises its KeyError; if it answers
    // instead, its cache was extended and the generic path takes over.
    Ref result = native::call(int2byte, number.get());
    return result ? Outcome::declined : Outcome::failed;
}

// Parses the data lines chars[begin:end] (the pieces that remain once the
// first one and the last two are dropped) into out. `stop` is 3 * linesize
// clamped as a slice bound. chars[end] is a line feed, and every scan stops
// at one, so no scan needs a bounds check of its own.
template <class CharT>
Outcome undump_lines(PyObject* text, const CharT* chars, Py_ssize_t begin, Py_ssize_t end, Py_ssize_t stop,
                     PyObject* int2byte, ByteMemo& memo, unsigned char* out, Py_ssize_t& written) {
    // Locals whose address is never taken stay in registers; the stores
    // through `out` could otherwise alias them.
    unsigned char* next = out;
    Py_ssize_t line = begin;
    Outcome outcome = Outcome::done;
    while (true) {
        // line[line.find(" "):].lstrip(); without a space, the last character
        Py_ssize_t at = line;
        while (chars[at] != ' ' && chars[at] != '\n') ++at;
        if (chars[at] == '\n' && at > line) --at;
        while (char_class(chars[at]) == kSpace) ++at;
        // [:3 * linesize]: the field ends there or at the line feed
        Py_ssize_t limit;
        if (stop >= 0) {
            limit = stop < end - at ? at + stop : end;
        } else {
            const Py_ssize_t line_end = find_char(chars, at, end, static_cast<CharT>('\n'));
            limit = std::max(at, line_end + stop);
        }
        // .split() and int(piece, 16) of each piece
        while (true) {
            // The common piece: two digits of a known byte and a space. The
            // step does not depend on the characters read, so iterations
            // overlap instead of waiting for each other's table look-ups.
            if (memo.identity) {
                while (at + 2 < limit) {
                    const unsigned high = char_class(chars[at]);
                    const unsigned low = char_class(chars[at + 1]);
                    if ((high | low) >= 16 || chars[at + 2] != ' ') break;
                    *next++ = static_cast<unsigned char>(high * 16 + low);
                    at += 3;
                }
            } else {
                while (at + 2 < limit) {
                    const unsigned high = char_class(chars[at]);
                    const unsigned low = char_class(chars[at + 1]);
                    const int known = memo.value[(high * 16 + low) & 255];
                    if ((high | low) >= 16 || known < 0 || chars[at + 2] != ' ') break;
                    *next++ = static_cast<unsigned char>(known);
                    at += 3;
                }
            }
            while (at < limit && char_class(chars[at]) == kSpace) ++at;
            if (at >= limit || chars[at] == '\n') break;
            Py_ssize_t piece_end = at;
            while (piece_end < limit && !separates(char_class(chars[piece_end]))) ++piece_end;
            const Py_ssize_t width = piece_end - at;
            const unsigned high = char_class(chars[at]);
            const unsigned low = width == 2 ? char_class(chars[at + 1]) : 0;
            unsigned char byte;
            if (width <= 2 && (high | low) < 16)
                outcome = byte_of(int2byte, width == 2 ? high * 16 + low : high, memo, byte);
            else
                outcome = byte_of_piece(text, at, piece_end, int2byte, memo, byte);
            if (outcome != Outcome::done) break;
            *next++ = byte;
            at = piece_end;
        }
        if (outcome != Outcome::done) break;
        const Py_ssize_t line_end = find_char(chars, at, end, static_cast<CharT>('\n'));
        if (line_end == end) break;
        line = line_end + 1;
    }
    written = next - out;
    return outcome;
}

// hexundump of an exact str with portil's own int2byte, or false (no
// exception) when the generic path must run.
bool hexundump_fast(PyObject* text, PyObject* linesize, PyObject* int2byte, PyObject** result) {
    *result = nullptr;
    // 3 * linesize, clamped the way a slice bound is.
    Ref three = Ref::steal(PyLong_FromLong(3));
    if (!three) return true;
    Ref tripled = Ref::steal(PyNumber_Multiply(three.get(), linesize));
    if (!tripled) return true;
    const Py_ssize_t stop = PyNumber_AsSsize_t(tripled.get(), nullptr);
    if (stop == -1 && PyErr_Occurred()) return true;

    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    // Pieces 1 to m-2 of the m+1 pieces around m line feeds: the text between
    // the first line feed and the last but one.
    Py_ssize_t first = -1, last = -1, before_last = -1;
    for (Py_ssize_t i = 0; i < length; ++i)
        if (PyUnicode_READ(kind, data, i) == '\n') {
            first = i;
            break;
        }
    for (Py_ssize_t i = length - 1; i > first && before_last < 0; --i)
        if (PyUnicode_READ(kind, data, i) == '\n') (last < 0 ? last : before_last) = i;
    if (first < 0 || before_last < 0) {
        *result = PyBytes_FromStringAndSize(nullptr, 0);
        return true;
    }
    const Py_ssize_t begin = first + 1, end = before_last;
    ByteMemo memo;
    if (!fill_from_int2byte_cache(int2byte, memo)) std::fill(std::begin(memo.value), std::end(memo.value), -1);
    // Pieces are separated by at least one character, so at most half the
    // text (rounded up) are pieces.
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, (end - begin + 1) / 2 + 1));
    if (!bytes) return true;
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get()));
    Py_ssize_t written = 0;
    Outcome outcome;
    switch (kind) {
        case PyUnicode_1BYTE_KIND:
            outcome = undump_lines(text, PyUnicode_1BYTE_DATA(text), begin, end, stop, int2byte, memo, out, written);
            break;
        case PyUnicode_2BYTE_KIND:
            outcome = undump_lines(text, PyUnicode_2BYTE_DATA(text), begin, end, stop, int2byte, memo, out, written);
            break;
        default:
            outcome = undump_lines(text, PyUnicode_4BYTE_DATA(text), begin, end, stop, int2byte, memo, out, written);
            break;
    }
    if (outcome == Outcome::declined) return false;
    if (outcome == Outcome::failed) return true;
    PyObject* shrunk = bytes.release();
    if (_PyBytes_Resize(&shrunk, written) < 0) return true;
    *result = shrunk;
    return true;
}

// ---- hexundump, generic path ------------------------------------------------

PyObject* hexundump_generic(PyObject* module, PyObject* data, PyObject* linesize) {
    Ref pieces = Ref::steal(PyObject_CallMethodOneArg(data, name<"split">(), name<"\n">()));
    if (!pieces) return nullptr;
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref minus_two = Ref::steal(PyLong_FromLong(-2));
    Ref three = Ref::steal(PyLong_FromLong(3));
    Ref sixteen = Ref::steal(PyLong_FromLong(16));
    if (!one || !minus_two || !three || !sixteen) return nullptr;
    Ref inner = Ref::steal(PySlice_New(one.get(), minus_two.get(), nullptr));
    if (!inner) return nullptr;
    Ref lines = Ref::steal(PyObject_GetItem(pieces.get(), inner.get()));
    if (!lines) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(lines.get()));
    Ref raw = Ref::steal(PyList_New(0));
    if (!iterator || !raw) return nullptr;
    while (true) {
        Ref line = Ref::steal(PyIter_Next(iterator.get()));
        if (!line) break;
        // line = line[line.find(" "):].lstrip()
        Ref position = Ref::steal(PyObject_CallMethodOneArg(line.get(), name<"find">(), name<" ">()));
        if (!position) return nullptr;
        Ref tail = Ref::steal(PySlice_New(position.get(), nullptr, nullptr));
        if (!tail) return nullptr;
        Ref rest = Ref::steal(PyObject_GetItem(line.get(), tail.get()));
        if (!rest) return nullptr;
        Ref stripped = Ref::steal(PyObject_CallMethodNoArgs(rest.get(), name<"lstrip">()));
        if (!stripped) return nullptr;
        // line[:3 * linesize].split()
        Ref count = Ref::steal(PyNumber_Multiply(three.get(), linesize));
        if (!count) return nullptr;
        Ref head = Ref::steal(PySlice_New(nullptr, count.get(), nullptr));
        if (!head) return nullptr;
        Ref field = Ref::steal(PyObject_GetItem(stripped.get(), head.get()));
        if (!field) return nullptr;
        Ref parts = Ref::steal(PyObject_CallMethodNoArgs(field.get(), name<"split">()));
        if (!parts) return nullptr;
        Ref part_iterator = Ref::steal(PyObject_GetIter(parts.get()));
        if (!part_iterator) return nullptr;
        while (true) {
            Ref part = Ref::steal(PyIter_Next(part_iterator.get()));
            if (!part) break;
            Ref int2byte = native::global(module, name<"int2byte">());
            if (!int2byte) return nullptr;
            Ref number = native::call(reinterpret_cast<PyObject*>(&PyLong_Type), part.get(), sixteen.get());
            if (!number) return nullptr;
            Ref byte = native::call(int2byte.get(), number.get());
            if (!byte || PyList_Append(raw.get(), byte.get()) < 0) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!empty) return nullptr;
    return PyObject_CallMethodOneArg(empty.get(), name<"join">(), raw.get());
}

// ---- the display classes ----------------------------------------------------

constexpr native::Signature<0> kStrSignature{"__str__", {}, 0, true};

PyObject* hex_displayed_integer_str(PyObject* self, PyTypeObject*, PyObject* const*, size_t, PyObject*);

PyMethodDef hex_displayed_integer_methods[] = {
    {"__str__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hex_displayed_integer_str)),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS, "__str__($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

// True when format(self, "") would call this very __str__ again: int's own
// __format__ answers an empty format string with str(self).
bool empty_format_comes_back(PyObject* self) {
    PyObject* format_method = _PyType_Lookup(Py_TYPE(self), name<"__format__">());
    PyObject* int_format = _PyType_Lookup(&PyLong_Type, name<"__format__">());
    if (format_method == nullptr || format_method != int_format) return false;
    PyObject* str_method = _PyType_Lookup(Py_TYPE(self), name<"__str__">());
    return str_method != nullptr && Py_IS_TYPE(str_method, &PyMethodDescr_Type) &&
           reinterpret_cast<PyMethodDescrObject*>(str_method)->d_method == &hex_displayed_integer_methods[0];
}

// "0x" + format(self, format_text).upper() written directly for the usual
// format strings (x or X after an optional zero flag and a width of up to two
// digits) of a value within 64 bits, when int's own __format__ serves self.
// Null without an exception when format() has to do it.
Ref hex_text_of_int(PyObject* self, PyObject* format_text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(format_text);
    if (length < 1 || length > 4 || !PyUnicode_IS_ASCII(format_text)) return Ref();
    const Py_UCS1* chars = PyUnicode_1BYTE_DATA(format_text);
    if (chars[length - 1] != 'x' && chars[length - 1] != 'X') return Ref();
    Py_ssize_t at = 0;
    const bool zero_fill = at < length - 1 && chars[at] == '0';
    if (zero_fill) ++at;
    int width = 0;
    if (at < length - 1) {
        if (chars[at] < '1' || chars[at] > '9') return Ref();
        width = chars[at++] - '0';
    }
    if (at < length - 1) {
        if (chars[at] < '0' || chars[at] > '9') return Ref();
        width = width * 10 + (chars[at++] - '0');
    }
    if (at != length - 1) return Ref();
    PyObject* int_format = _PyType_Lookup(&PyLong_Type, name<"__format__">());
    if (int_format == nullptr || _PyType_Lookup(Py_TYPE(self), name<"__format__">()) != int_format) return Ref();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(self, &overflow);
    if (overflow != 0 || (value == -1 && PyErr_Occurred())) return PyErr_Clear(), Ref();

    char digits[16];
    int count = 0;
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
    do {
        digits[count++] = kUpperDigits[magnitude & 15];
        magnitude >>= 4;
    } while (magnitude != 0);
    const int sign = value < 0 ? 1 : 0;
    const int padding = std::max(0, width - sign - count);
    Ref text = Ref::steal(PyUnicode_New(2 + padding + sign + count, 127));
    if (!text) return Ref();
    Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
    *out++ = '0';
    *out++ = 'x';
    // Numbers align right: spaces before the sign, or zeros after it.
    if (!zero_fill) out = std::fill_n(out, padding, static_cast<Py_UCS1>(' '));
    if (sign) *out++ = '-';
    if (zero_fill) out = std::fill_n(out, padding, static_cast<Py_UCS1>('0'));
    while (count > 0) *out++ = static_cast<Py_UCS1>(digits[--count]);
    return text;
}

PyObject* hex_displayed_integer_str(PyObject* self, PyTypeObject*, PyObject* const* args, size_t nargsf,
                                    PyObject* kwnames) {
    native::Bound<0> bound;
    if (!native::bind(kStrSignature, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    Ref fmtstr = native::legacy::attr<"fmtstr">(self);
    if (!fmtstr) return nullptr;
    PyObject* format_text = fmtstr.get();
    // An empty format string would make format() call str(self), which is
    // this method: show the uppercase hexadecimal digits instead of recursing.
    if (PyUnicode_Check(format_text) && PyUnicode_GET_LENGTH(format_text) == 0 && empty_format_comes_back(self))
        format_text = name<"X">();
    if (!PyUnicode_Check(format_text)) {  // the built-in format() refuses it before formatting
        PyErr_Format(PyExc_TypeError, "format() argument 2 must be str, not %.200s", Py_TYPE(format_text)->tp_name);
        return nullptr;
    }
    if (Ref text = hex_text_of_int(self, format_text)) return text.release();
    if (PyErr_Occurred()) return nullptr;
    Ref formatted = Ref::steal(PyObject_Format(self, format_text));
    if (!formatted) return nullptr;
    Ref upper = Ref::steal(PyObject_CallMethodNoArgs(formatted.get(), name<"upper">()));
    if (!upper) return nullptr;
    if (PyUnicode_CheckExact(upper.get())) return PyUnicode_Concat(name<"0x">(), upper.get());
    return PyNumber_Add(name<"0x">(), upper.get());
}

PyObject* hex_displayed_integer_new(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<2> sig{"new", {"intvalue", "fmtstr"}, 2};
    native::Bound<2> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* module = native::legacy::module_of(reinterpret_cast<PyTypeObject*>(cls));
    if (module == nullptr) return nullptr;
    Ref made_by = native::legacy::global<"HexDisplayedInteger">(module);
    if (!made_by) return nullptr;
    Ref object = native::call(made_by.get(), a[0]);
    if (!object || PyObject_SetAttr(object.get(), name<"fmtstr">(), a[1]) < 0) return nullptr;
    return object.release();
}

PyMethodDef hex_displayed_integer_static_methods[] = {
    {"new", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hex_displayed_integer_new)),
     METH_FASTCALL | METH_KEYWORDS, "new(intvalue, fmtstr)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

// The bytes a caching class renders: itself, or its item "data" read through
// the generic item access (a subclass's __getitem__ takes part).
enum class Source { self, data_item };

template <Source source>
Ref rendered_bytes(PyObject* self) {
    if constexpr (source == Source::self) return Ref::new_reference(self);
    else return Ref::steal(PyObject_GetItem(self, name<"data">()));
}

// "unhexlify(%s)" % (trimstring(binascii.hexlify(bytes)),), names read in the
// order in which the expression reads them.
template <Source source>
Ref render_unhexlify(PyObject* module, PyObject* self) {
    Ref trimstring = native::legacy::global<"trimstring">(module);
    if (!trimstring) return Ref();
    Ref binascii = native::legacy::global<"binascii">(module);
    if (!binascii) return Ref();
    Ref hexlify = native::legacy::attr<"hexlify">(binascii.get());
    if (!hexlify) return Ref();
    Ref bytes = rendered_bytes<source>(self);
    if (!bytes) return Ref();
    if (PyBytes_Check(bytes.get()) && runs(hexlify.get(), binascii_hexlify) &&
        runs(trimstring.get(), portil_trimstring)) {
        // trimstring(hexlify(b)): the lowercase digits between single quotes.
        const Py_ssize_t size = PyBytes_GET_SIZE(bytes.get());
        if (size > (PY_SSIZE_T_MAX - 13) / 2) return Ref::steal(PyErr_NoMemory());
        Ref text = Ref::steal(PyUnicode_New(13 + 2 * size, 127));
        if (!text) return Ref();
        Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
        std::memcpy(out, "unhexlify('", 11);
        out += 11;
        const auto* in = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get()));
        static constexpr char kLowerDigits[] = "0123456789abcdef";
        for (Py_ssize_t i = 0; i < size; ++i) {
            *out++ = static_cast<Py_UCS1>(kLowerDigits[in[i] >> 4]);
            *out++ = static_cast<Py_UCS1>(kLowerDigits[in[i] & 15]);
        }
        std::memcpy(out, "')", 2);
        return text;
    }
    Ref digits = native::call(hexlify.get(), bytes.get());
    if (!digits) return Ref();
    Ref trimmed = native::call(trimstring.get(), digits.get());
    if (!trimmed) return Ref();
    Ref fields = Ref::steal(PyTuple_Pack(1, trimmed.get()));
    if (!fields) return Ref();
    return Ref::steal(PyNumber_Remainder(name<"unhexlify(%s)">(), fields.get()));
}

// hexdump(bytes, 16), hexdump read from the namespace.
template <Source source>
Ref render_hexdump(PyObject* module, PyObject* self) {
    Ref hexdump = native::legacy::global<"hexdump">(module);
    if (!hexdump) return Ref();
    Ref bytes = rendered_bytes<source>(self);
    if (!bytes) return Ref();
    Ref sixteen = Ref::steal(PyLong_FromLong(16));
    if (!sixteen) return Ref();
    return native::call(hexdump.get(), bytes.get(), sixteen.get());
}

// The caching __str__: the attribute render when it can be read (any failure
// to read it is discarded), otherwise the rendering, stored as render first.
template <Ref (*render)(PyObject*, PyObject*)>
PyObject* cached_str(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames) {
    native::Bound<0> bound;
    if (!native::bind(kStrSignature, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    Ref cached = native::legacy::attr<"render">(self);
    if (!cached) {
        PyErr_Clear();
        PyObject* module = native::legacy::module_of(defining_class);
        if (module == nullptr) return nullptr;
        Ref rendering = render(module, self);
        if (!rendering || PyObject_SetAttr(self, name<"render">(), rendering.get()) < 0) return nullptr;
    }
    return PyObject_GetAttr(self, name<"render">());
}

#define TAVRO_CACHED_STR_METHODS(render)                                                                  \
    {{"__str__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cached_str<render>)),           \
      METH_METHOD | METH_FASTCALL | METH_KEYWORDS, "__str__($self, /)\n--\n\n"},                            \
     {nullptr, nullptr, 0, nullptr}}

PyMethodDef hex_displayed_bytes_methods[] = TAVRO_CACHED_STR_METHODS(render_unhexlify<Source::self>);
PyMethodDef hex_displayed_dict_methods[] = TAVRO_CACHED_STR_METHODS(render_unhexlify<Source::data_item>);
PyMethodDef hex_dump_displayed_bytes_methods[] = TAVRO_CACHED_STR_METHODS(render_hexdump<Source::self>);
PyMethodDef hex_dump_displayed_dict_methods[] = TAVRO_CACHED_STR_METHODS(render_hexdump<Source::data_item>);

#undef TAVRO_CACHED_STR_METHODS

constexpr char kUsedInternally[] = "Used internally.";

// ---- hexdump and hexundump --------------------------------------------------

PyObject* hexdump(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<2> sig{"hexdump", {"data", "linesize"}, 2};
    native::Bound<2> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0];
    PyObject* linesize = a[1];
    const Py_ssize_t size = PyObject_Size(data);
    if (size < 0) return nullptr;
    if (static_cast<long long>(size) >= kEightDigitLimit) {
        PyErr_SetString(PyExc_ValueError, "hexdump cannot process more than 16**8 or 4294967296 bytes");
        return nullptr;
    }
    const int digits = size < kFourDigitLimit ? 4 : 8;
    if (PyLong_CheckExact(linesize)) {
        if (_PyLong_Sign(linesize) <= 0) {
            raise_bad_linesize(linesize);
            return nullptr;
        }
        int overflow = 0;
        const long long lines_of = PyLong_AsLongLongAndOverflow(linesize, &overflow);
        if (overflow == 0 && lines_of <= kFastLinesizeLimit) {
            PyObject* result;
            if (hexdump_fast(module, data, size, static_cast<Py_ssize_t>(lines_of), digits, &result)) return result;
        }
    }
    return hexdump_generic(module, data, linesize, size, digits);
}

#define TAVRO_DUMP_LINE(offset) "        " offset "   30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30   0000000000000000\n"

PyMethodDef hexdump_def = {
    "hexdump", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hexdump)), METH_FASTCALL | METH_KEYWORDS,
    "hexdump(data, linesize)\n--\n\n"
    "\n"
    "    Turns bytes into a unicode string of the format:\n"
    "\n"
    "    ::\n"
    "\n"
    "        >>>print(hexdump(b'0' * 100, 16))\n"
    "        hexundump(\\\"\\\"\\\"\n"
    TAVRO_DUMP_LINE("0000")
    TAVRO_DUMP_LINE("0010")
    TAVRO_DUMP_LINE("0020")
    TAVRO_DUMP_LINE("0030")
    TAVRO_DUMP_LINE("0040")
    TAVRO_DUMP_LINE("0050")
    "        0060   30 30 30 30                                       0000\n"
    "        \\\"\\\"\\\")\n"
    "    "};

#undef TAVRO_DUMP_LINE

PyObject* hexundump(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr native::Signature<2> sig{"hexundump", {"data", "linesize"}, 2};
    native::Bound<2> a;
    if (!native::bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* data = a[0];
    PyObject* linesize = a[1];
    // bool shares int's multiplication; other int subclasses may not.
    if (PyUnicode_CheckExact(data) && (PyLong_CheckExact(linesize) || PyBool_Check(linesize))) {
        PyObject* int2byte = peek_global(module, name<"int2byte">());
        PyObject* result;
        if (runs(int2byte, portil_int2byte) && hexundump_fast(data, linesize, int2byte, &result)) return result;
    }
    return hexundump_generic(module, data, linesize);
}

PyMethodDef hexundump_def = {
    "hexundump", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hexundump)),
    METH_FASTCALL | METH_KEYWORDS,
    "hexundump(data, linesize)\n--\n\n"
    "\n"
    "    Reverse of `hexdump`.\n"
    "    "};

// ---- module initialisation ---------------------------------------------------

bool record_helpers(PyObject* module) {
    portil_iterateints = code_of(peek_global(module, name<"iterateints">()));
    portil_int2byte = code_of(peek_global(module, name<"int2byte">()));
    portil_trimstring = code_of(peek_global(module, name<"trimstring">()));
    Ref binascii = native::import("binascii");
    if (!binascii) return false;
    Ref hexlify = native::legacy::attr<"hexlify">(binascii.get());
    if (!hexlify) return false;
    binascii_hexlify = code_of(hexlify.get());
    return true;
}

Ref integer_base(PyObject* module) {
    Ref integertypes = native::legacy::global<"integertypes">(module);
    if (!integertypes) return Ref();
    return Ref::steal(PySequence_GetItem(integertypes.get(), 0));
}

Ref make_display_class(PyObject* module, const char* class_name, PyMethodDef* methods, PyMethodDef* static_methods,
                       Ref base, reprfunc str) {
    if (!base) return Ref();
    Ref cls = native::make_class(module, native::ClassRecipe{class_name, kUsedInternally, methods, static_methods},
                                 {base.get()});
    if (cls) reinterpret_cast<PyTypeObject*>(cls.get())->tp_str = str;  // see native::str_slot
    return cls;
}

Ref bytes_base(PyObject* module) { return native::legacy::global<"bytestringtype">(module); }

Ref dict_base() { return Ref::new_reference(reinterpret_cast<PyObject*>(&PyDict_Type)); }

// Entry i: the character i for 32 <= i < 128, made with int2byte and
// bytes2str; "." for every other byte.
Ref build_printable(PyObject* module) {
    Ref int2byte = native::legacy::global<"int2byte">(module);
    Ref bytes2str = native::legacy::global<"bytes2str">(module);
    Ref dot = Ref::steal(PyUnicode_FromString("."));
    Ref table = Ref::steal(PyList_New(256));
    if (!int2byte || !bytes2str || !dot || !table) return Ref();
    for (long i = 0; i < 256; ++i) {
        Ref entry;
        if (i >= 32 && i < 128) {
            Ref number = Ref::steal(PyLong_FromLong(i));
            if (!number) return Ref();
            Ref byte = native::call(int2byte.get(), number.get());
            if (!byte) return Ref();
            entry = native::call(bytes2str.get(), byte.get());
        } else {
            entry = Ref::new_reference(dot.get());
        }
        if (!entry) return Ref();
        PyList_SET_ITEM(table.get(), i, entry.release());
    }
    return table;
}

// Entry i: format(i, "02X").
Ref build_hexprint() {
    Ref table = Ref::steal(PyList_New(256));
    if (!table) return Ref();
    for (long i = 0; i < 256; ++i) {
        Ref number = Ref::steal(PyLong_FromLong(i));
        if (!number) return Ref();
        Ref entry = Ref::steal(PyObject_Format(number.get(), name<"02X">()));
        if (!entry) return Ref();
        PyList_SET_ITEM(table.get(), i, entry.release());
    }
    return table;
}

int exec_hex(PyObject* module) {
    build_char_class_table();
    if (!native::star_import(module, "tavro.lib.portil")) return -1;
    if (!record_helpers(module)) return -1;
    if (!native::bind(module, "binascii", native::import("binascii"))) return -1;
    if (!native::bind(module, "HexDisplayedInteger",
                      make_display_class(module, "HexDisplayedInteger", hex_displayed_integer_methods,
                                         hex_displayed_integer_static_methods, integer_base(module),
                                         native::legacy::str_slot<hex_displayed_integer_str>)))
        return -1;
    if (!native::bind(module, "HexDisplayedBytes",
                      make_display_class(module, "HexDisplayedBytes", hex_displayed_bytes_methods, nullptr,
                                         bytes_base(module), native::legacy::str_slot<cached_str<render_unhexlify<Source::self>>>)))
        return -1;
    if (!native::bind(module, "HexDisplayedDict",
                      make_display_class(module, "HexDisplayedDict", hex_displayed_dict_methods, nullptr,
                                         dict_base(), native::legacy::str_slot<cached_str<render_unhexlify<Source::data_item>>>)))
        return -1;
    if (!native::bind(module, "HexDumpDisplayedBytes",
                      make_display_class(module, "HexDumpDisplayedBytes", hex_dump_displayed_bytes_methods,
                                         nullptr, bytes_base(module),
                                         native::legacy::str_slot<cached_str<render_hexdump<Source::self>>>)))
        return -1;
    if (!native::bind(module, "HexDumpDisplayedDict",
                      make_display_class(module, "HexDumpDisplayedDict", hex_dump_displayed_dict_methods, nullptr,
                                         dict_base(), native::legacy::str_slot<cached_str<render_hexdump<Source::data_item>>>)))
        return -1;
    if (!native::bind(module, "PRINTABLE", build_printable(module))) return -1;
    if (!native::bind(module, "HEXPRINT", build_hexprint())) return -1;
    if (!native::bind_function(module, &hexdump_def)) return -1;
    if (!native::bind_function(module, &hexundump_def)) return -1;
    return 0;
}

}  // namespace

NATIVE_LEGACY_MODULE(hex, "tavro.lib.hex", exec_hex)
