// tavro.lib.hex: hex-dump text that reads back into the same bytes, and values
// whose text form is hexadecimal.
//
// hexdump, hexundump and the unhexlify rendering each have two paths. The
// generic path performs the documented steps one interpreter operation at a
// time, so that rebound tables and helpers, unusual argument types and every
// failure behave exactly as the steps say. The fast path runs when the
// collaborators are the module's own (tables of canonical entries, portil's
// original helpers) and the data is a plain buffer or text, and writes the
// result in place. Both give the same result and the same exception for every
// input: a fast path that meets anything it does not know declines before it
// has run any Python code (native::Fast), and the generic path starts over.
//
// Guards (native.hpp, rules 1 and 2), said again at each fast path:
//   - the namespaces a fast path reads (this module's, and portil's for the
//     helpers that read their own globals) have exact str keys only, a
//     verdict remembered under the dict's stamp: their look-ups then run no
//     Python code, so reading a global once per call is what reading it at
//     each step would give;
//   - every object read from a namespace is held by a strong reference;
//   - INT2BYTE_CACHE is used as a snapshot only when its keys are all exact
//     ints (remembered under its stamp): a look-up of a byte value then runs
//     no Python code and finds exactly the entry read;
//   - list entries are read inside the list's critical section, and a
//     mutable buffer is read through a buffer export of our own, so that no
//     other thread can replace an entry or resize the buffer meanwhile.
//
// Every object each remembered verdict depends on (rule 4):
//   - own_namespace and helper_namespace: the dict of this module, and of
//     the module whose helper (int2byte, trimstring) is bound here, by its
//     stamp: every key an exact str;
//   - int2byte_cache (ByteTable): INT2BYTE_CACHE's stamp, every key an exact
//     int, the answers read from exact one-byte bytes entries (all of
//     immutable types);
//   - the helpers (iterateints, int2byte, trimstring, binascii.hexlify),
//     HEXPRINT's and PRINTABLE's entries and the argument's type are checked
//     at every call, not remembered: builtin functions by their C entry
//     point, table entries by identity with the objects made at import (held
//     by the state), a byte buffer by its type's slots.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "dumptext.hpp"
#include "native.hpp"

namespace {

using native::Ref;
using native::name;

// Larger line sizes are left to the generic path, whose padding arithmetic
// then fails (or succeeds) exactly as the interpreter's formatting does.
constexpr long long kFastLinesizeLimit = 1LL << 32;

namespace dumptext = native::dumptext;
using dumptext::kUpperDigits;
constexpr char kLowerDigits[] = "0123456789abcdef";
// The opening and the closing line with their line feeds.
constexpr Py_ssize_t kFramingLength = dumptext::kOpeningLength + dumptext::kClosingLength + 2;

// What the dump writes per byte value, in the units of its str: the hex pair
// and the printable character of each (dumptext::Tables).
template <class CharT>
using DumpGlyphs = dumptext::Tables<CharT>;

// ---- module state ----------------------------------------------------------

using HexNames =
    native::Names<"HEXPRINT", "PRINTABLE", "iterateints", "int2byte", "INT2BYTE_CACHE", "trimstring", "bytes",
                  "binascii", "hexlify", "hexdump", "HexDisplayedInteger", "fmtstr", "render", "data", "split", "find",
                  "lstrip", "join", "upper", "__format__", "__str__", "integertypes", "bytestringtype", "bytes2str",
                  " ", "", "\n", "X", "0x", "02X", "unhexlify(%s)", "%%04X   %%-%ds   %%s", "%%08X   %%-%ds   %%s">;

// What int2byte answers for the byte values, read from an INT2BYTE_CACHE
// whose keys are all exact ints: value[i] is the byte of a one-byte bytes
// entry, -1 where the entry is missing or anything else.
struct ByteTable {
    bool usable;    // every key an exact int
    bool identity;  // and every byte value answered by its own byte
    std::int16_t value[256];
};

// The verdicts the fast paths remember between calls, each under the stamp
// of the dict it is about. Values only, no references (see PerThread).
struct Verdicts {
    native::Remembered<bool> own_namespace;     // this module's dict: exact str keys
    native::Remembered<bool> helper_namespace;  // the dict of int2byte's or trimstring's module: likewise
    native::Remembered<ByteTable> int2byte_cache;
};

struct VerdictsTag;

struct HexState : native::ModuleState<HexNames> {
    // Code addresses of portil's helpers and binascii.hexlify, recorded when
    // the module executes. A namespace entry that runs this code is the
    // original helper: iterateints the identity, int2byte a look-up in its
    // module's INT2BYTE_CACHE, trimstring and hexlify the known conversions.
    PyCFunction iterateints_code;
    PyCFunction int2byte_code;
    PyCFunction trimstring_code;
    PyCFunction hexlify_code;
    // The entries HEXPRINT and PRINTABLE were made with (strong), and what
    // the dump writes for them, when they are ASCII: set in exec, read-only
    // afterwards. A table entry that is still the very object made then
    // needs no reading.
    PyObject* original_entries[2][256];
    bool original_glyphs_ready;
    DumpGlyphs<Py_UCS1> original_glyphs;
    // Per module where the GIL serialises the callers, per thread on
    // free-threaded builds (rule 4); values only, trusted under their stamps.
    native::PerThread<Verdicts, VerdictsTag> verdicts;

    int traverse(visitproc visit, void* arg) {
        for (auto& table : original_entries)
            for (PyObject* entry : table) Py_VISIT(entry);
        return traverse_shared(visit, arg);
    }
    void clear() {
        clear_shared();
        original_glyphs_ready = false;
        for (auto& table : original_entries)
            for (PyObject*& entry : table) Py_CLEAR(entry);
    }
};

HexState* state_of(PyObject* module) { return native::state_of<HexState>(module); }

// ---- guards shared by the fast paths -------------------------------------------


// Whether looking names up in the namespace of `module` runs no Python code.
bool plain_namespace(const HexState* st, PyObject* module, native::Remembered<bool>& memo) {
    return native::checked(st->changes, native::namespace_of(module), memo, native::keys_are_exact_str);
}

// The module of one of portil's native helpers (borrowed: the helper, which
// the caller holds, holds it), when its namespace is plain; else null.
PyObject* plain_helper_module(HexState* st, PyObject* helper) {
    PyObject* owner = PyCFunction_GET_SELF(helper);
    if (owner == nullptr || !PyModule_Check(owner)) return nullptr;
    return plain_namespace(st, owner, st->verdicts.get().helper_namespace) ? owner : nullptr;
}

// ---- hexdump, fast path ---------------------------------------------------------

namespace byte_buffer {

inline bool keeps_slots_of(PyObject* data, PyTypeObject* base) {
    PyTypeObject* type = Py_TYPE(data);
    return type->tp_as_sequence != nullptr && type->tp_as_mapping != nullptr && type->tp_as_buffer != nullptr &&
           type->tp_as_sequence->sq_length == base->tp_as_sequence->sq_length &&
           type->tp_as_mapping->mp_subscript == base->tp_as_mapping->mp_subscript &&
           type->tp_as_buffer->bf_getbuffer == base->tp_as_buffer->bf_getbuffer;
}

inline bool is_byte_memoryview(PyObject* data) {
    if (!Py_IS_TYPE(data, &PyMemoryView_Type)) return false;
    const Py_buffer* view = PyMemoryView_GET_BUFFER(data);
    if (view->ndim != 1 || view->itemsize != 1) return false;
    if (view->format == nullptr || std::strcmp(view->format, "B") != 0) return false;
    return view->strides == nullptr || view->strides[0] == 1;
}

}  // namespace byte_buffer

// The bytes of `data` when its length, its slices and the iteration of its
// slices are those of a byte buffer: bytes and bytearray (subclasses too, as
// long as they keep the inherited length, subscript and buffer) and
// one-dimensional contiguous memoryviews of unsigned bytes. A mutable buffer
// is read through an export of our own, which keeps it from being resized or
// released (by another thread) while the dump is written.
// False (no exception) for anything else.
bool view_byte_buffer(native::ByteView& span, PyObject* data) {
    if (PyBytes_Check(data) && byte_buffer::keeps_slots_of(data, &PyBytes_Type)) {
        span.of_bytes(data);
        return true;
    }
    if (!(PyByteArray_Check(data) && byte_buffer::keeps_slots_of(data, &PyByteArray_Type)) &&
        !byte_buffer::is_byte_memoryview(data))
        return false;
    if (!span.export_buffer(data)) {
        PyErr_Clear();
        return false;
    }
    return span.data != nullptr || span.size == 0;
}

// The HEXPRINT and PRINTABLE entries of the byte values a dump uses, read
// once per call: the same answer as a look-up per byte, since reading a list
// entry runs no Python code.
struct DumpTables {
    Py_UCS4 hex[256][2];
    Py_UCS4 printable[256][1];
    Py_UCS4 widest = 127;  // the widest character of the entries read
};

// Copies the characters of a text of `width` characters into out[0..width),
// noting the widest. False when the entry is not such a text.
template <std::size_t Width>
bool read_entry(PyObject* entry, Py_UCS4 (&out)[Width], Py_UCS4& widest) {
    if (!PyUnicode_Check(entry) || PyUnicode_GET_LENGTH(entry) != static_cast<Py_ssize_t>(Width)) return false;
    if (PyUnicode_IS_ASCII(entry)) {  // the usual entries
        const Py_UCS1* chars = PyUnicode_1BYTE_DATA(entry);
        for (std::size_t k = 0; k < Width; ++k) out[k] = chars[k];
        return true;
    }
    for (std::size_t k = 0; k < Width; ++k) {
        out[k] = PyUnicode_READ_CHAR(entry, static_cast<Py_ssize_t>(k));
        widest = std::max(widest, out[k]);
    }
    return true;
}

// Reads the entries of the byte values in `used` from HEXPRINT and
// PRINTABLE, which must be lists of 256 texts of two and one characters.
// The entries are borrowed, so they are read inside both lists' critical
// sections, where no other thread can replace them.
bool read_dump_tables(PyObject* hexprint, PyObject* printable, const bool (&used)[256], DumpTables& tables) {
    if (!PyList_CheckExact(hexprint) || !PyList_CheckExact(printable)) return false;
    bool usable = true;
    NATIVE_CRITICAL_SECTION_BEGIN(hexprint);
    NATIVE_CRITICAL_SECTION_BEGIN(printable);
    usable = PyList_GET_SIZE(hexprint) == 256 && PyList_GET_SIZE(printable) == 256;
    for (Py_ssize_t i = 0; usable && i < 256; ++i) {
        if (!used[i]) continue;
        usable = read_entry(PyList_GET_ITEM(hexprint, i), tables.hex[i], tables.widest) &&
                 read_entry(PyList_GET_ITEM(printable, i), tables.printable[i], tables.widest);
    }
    NATIVE_CRITICAL_SECTION_END;
    NATIVE_CRITICAL_SECTION_END;
    return usable;
}

template <class CharT>
void prepare_glyphs(const DumpTables& tables, const bool (&used)[256], DumpGlyphs<CharT>& glyphs) {
    for (unsigned i = 0; i < 256; ++i)
        if (used[i]) glyphs.set(i, tables.hex[i][0], tables.hex[i][1], tables.printable[i][0]);
}

// Writes the whole dump: the opening line, the data lines, the closing line.
template <class CharT>
void write_dump(CharT* out, const native::ByteView& span, Py_ssize_t linesize, int digits,
                const DumpGlyphs<CharT>& glyphs) {
    out = dumptext::write_framing_line(out, dumptext::kOpeningLine);
    out = dumptext::write_lines(out, span.data, span.size, linesize, digits, 0, glyphs);
    dumptext::write_framing_line(out, dumptext::kClosingLine);
}

template <class CharT>
void write_dump(CharT* out, const native::ByteView& span, Py_ssize_t linesize, int digits, const DumpTables& tables,
                const bool (&used)[256]) {
    DumpGlyphs<CharT> glyphs;
    prepare_glyphs(tables, used, glyphs);
    write_dump(out, span, linesize, digits, glyphs);
}

// Below this size the dump notes which byte values occur and reads only
// their table entries; above it reading all 256 is cheaper than the scan.
constexpr Py_ssize_t kScanUsedBelow = 2048;

void note_used_bytes(const native::ByteView& span, bool (&used)[256]) {
    const bool scan = span.size < kScanUsedBelow;
    std::fill(std::begin(used), std::end(used), !scan);
    if (scan)
        for (Py_ssize_t i = 0; i < span.size; ++i) used[span.data[i]] = true;
}

// A str for the whole dump, of the kind that holds `widest`, to be filled
// by write_dump. New reference or null.
Ref new_dump_text(const native::ByteView& span, Py_ssize_t linesize, int digits, Py_UCS4 widest) {
    const Py_ssize_t lines = dumptext::lines_length(span.size, linesize, digits);
    if (lines < 0 || lines > PY_SSIZE_T_MAX - kFramingLength) return Ref::steal(PyErr_NoMemory());
    return Ref::steal(PyUnicode_New(lines + kFramingLength, widest));
}

Ref render_dump(const native::ByteView& span, Py_ssize_t linesize, int digits, const DumpTables& tables,
                const bool (&used)[256]) {
    Ref text = new_dump_text(span, linesize, digits, tables.widest);
    if (!text) return Ref();
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
    return text;
}

// Whether every entry of `used` in both tables is still the object the
// module made: compared by identity only, inside both lists' critical
// sections, so no entry is read.
bool entries_are_original(const HexState* st, PyObject* hexprint, PyObject* printable, const bool (&used)[256]) {
    if (!st->original_glyphs_ready || !PyList_CheckExact(hexprint) || !PyList_CheckExact(printable)) return false;
    bool original = true;
    NATIVE_CRITICAL_SECTION_BEGIN(hexprint);
    NATIVE_CRITICAL_SECTION_BEGIN(printable);
    original = PyList_GET_SIZE(hexprint) == 256 && PyList_GET_SIZE(printable) == 256;
    for (Py_ssize_t i = 0; original && i < 256; ++i)
        original = !used[i] || (PyList_GET_ITEM(hexprint, i) == st->original_entries[0][i] &&
                                PyList_GET_ITEM(printable, i) == st->original_entries[1][i]);
    NATIVE_CRITICAL_SECTION_END;
    NATIVE_CRITICAL_SECTION_END;
    return original;
}

// The dump of a byte buffer with the module's own iterateints and tables of
// texts. Guards: this module's namespace has exact str keys (its look-ups run
// no Python code) and the globals read are held; the tables are read in
// their critical sections; the buffer through an export of our own.
native::Fast hexdump_fast(PyObject* module, PyObject* data, Py_ssize_t size, Py_ssize_t linesize, int digits) {
    if (size == 0)  // no slice is taken and no global is read
        return Ref::steal(PyUnicode_FromStringAndSize("hexundump(\"\"\"\n\"\"\")\n", kFramingLength));
    HexState* st = state_of(module);
    if (!plain_namespace(st, module, st->verdicts.get().own_namespace)) return native::declined();
    Ref iterateints = native::peek_global(module, name<"iterateints">(st));
    if (!native::is_builtin_with_code(iterateints.get(), st->iterateints_code)) return native::declined();
    Ref hexprint = native::peek_global(module, name<"HEXPRINT">(st));
    Ref printable = native::peek_global(module, name<"PRINTABLE">(st));
    if (!hexprint || !printable) return native::declined();
    native::ByteView span;
    if (!view_byte_buffer(span, data) || span.size != size) return native::declined();
    bool used[256];
    note_used_bytes(span, used);
    if (entries_are_original(st, hexprint.get(), printable.get(), used)) {
        Ref text = new_dump_text(span, linesize, digits, 127);
        if (text) write_dump(PyUnicode_1BYTE_DATA(text.get()), span, linesize, digits, st->original_glyphs);
        return text;
    }
    // Only the entries of bytes that occur are read, as by the generic path.
    DumpTables tables;
    if (!read_dump_tables(hexprint.get(), printable.get(), used, tables)) return native::declined();
    return render_dump(span, linesize, digits, tables, used);
}

// ---- hexdump, generic path ------------------------------------------------------

// `separator.join(table[b] for b in iterateints(chunk))`, with iterateints and
// the table read from the namespace where the expression reads them.
Ref joined_entries(PyObject* module, PyObject* chunk, PyObject* table_name, PyObject* separator) {
    HexState* st = state_of(module);
    Ref iterateints = native::global(module, name<"iterateints">(st));
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
    if (PyLong_IsZero(step) == 1)
        PyErr_SetString(PyExc_ValueError, "range() arg 3 must not be zero");
    else
        PyErr_Format(PyExc_ValueError, "hexdump linesize must be positive, got %S", step);
}

// 3 * linesize, computed by the interpreter (linesize may be any number).
Ref tripled_linesize(PyObject* linesize) {
    Ref three = Ref::steal(PyLong_FromLong(3));
    if (!three) return Ref();
    return Ref::steal(PyNumber_Multiply(three.get(), linesize));
}

// template % (3 * linesize - 1)
Ref line_format(HexState* st, PyObject* linesize, int digits) {
    PyObject* line_template = digits == 4 ? name<"%%04X   %%-%ds   %%s">(st) : name<"%%08X   %%-%ds   %%s">(st);
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return Ref();
    Ref tripled = tripled_linesize(linesize);
    if (!tripled) return Ref();
    Ref width = Ref::steal(PyNumber_Subtract(tripled.get(), one.get()));
    if (!width) return Ref();
    return Ref::steal(PyNumber_Remainder(line_template, width.get()));
}

// iter(range(0, size, linesize)), refusing line sizes below 1: a negative
// step would iterate nothing and silently drop every byte.
Ref line_offsets(PyObject* linesize, Py_ssize_t size) {
    Ref step = Ref::steal(PyNumber_Index(linesize));
    if (!step) return Ref();
    if (PyLong_IsPositive(step.get()) != 1) {
        raise_bad_linesize(step.get());
        return Ref();
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref stop = Ref::steal(PyLong_FromSsize_t(size));
    if (!zero || !stop) return Ref();
    Ref offsets = native::call(reinterpret_cast<PyObject*>(&PyRange_Type), zero.get(), stop.get(), step.get());
    if (!offsets) return Ref();
    return Ref::steal(PyObject_GetIter(offsets.get()));
}

// fmt % (i, hex column, printable column) for the chunk data[i:i + linesize].
Ref data_line(PyObject* module, PyObject* data, PyObject* linesize, PyObject* format, PyObject* offset) {
    HexState* st = state_of(module);
    Ref end = Ref::steal(PyNumber_Add(offset, linesize));
    if (!end) return Ref();
    Ref bounds = Ref::steal(PySlice_New(offset, end.get(), nullptr));
    if (!bounds) return Ref();
    Ref chunk = Ref::steal(PyObject_GetItem(data, bounds.get()));
    if (!chunk) return Ref();
    Ref hex_column = joined_entries(module, chunk.get(), name<"HEXPRINT">(st), name<" ">(st));
    if (!hex_column) return Ref();
    Ref printable_column = joined_entries(module, chunk.get(), name<"PRINTABLE">(st), name<"">(st));
    if (!printable_column) return Ref();
    Ref fields = Ref::steal(PyTuple_Pack(3, offset, hex_column.get(), printable_column.get()));
    if (!fields) return Ref();
    return Ref::steal(PyNumber_Remainder(format, fields.get()));
}

bool append_text(PyObject* lines, const char* text) {
    Ref line = Ref::steal(PyUnicode_FromString(text));
    return line && PyList_Append(lines, line.get()) == 0;
}

PyObject* hexdump_generic(PyObject* module, PyObject* data, PyObject* linesize, Py_ssize_t size, int digits) {
    HexState* st = state_of(module);
    Ref format = line_format(st, linesize, digits);
    if (!format) return nullptr;
    Ref lines = Ref::steal(PyList_New(0));
    if (!lines || !append_text(lines.get(), "hexundump(\"\"\"")) return nullptr;
    Ref offsets = line_offsets(linesize, size);
    if (!offsets) return nullptr;
    while (Ref offset = Ref::steal(PyIter_Next(offsets.get()))) {
        Ref line = data_line(module, data, linesize, format.get(), offset.get());
        if (!line || PyList_Append(lines.get(), line.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    if (!append_text(lines.get(), "\"\"\")") || PyList_Append(lines.get(), name<"">(st)) < 0) return nullptr;
    return PyUnicode_Join(name<"\n">(st), lines.get());
}

// ---- hexundump: the data lines ---------------------------------------------------
//
// The text split at line feeds loses its first piece, then the closing line
// and, only when present, the empty piece after it: a dump whose final line
// feed was lost keeps its last data line. Everything else is read as it
// stands.

// ---- hexundump, fast path --------------------------------------------------------

// Character classes for the parser: 0 to 15 a hexadecimal digit's value;
// kSpace what str.split() and str.lstrip() treat as whitespace (which
// includes 0x1C to 0x1F, 0x85 and 0xA0); kLineFeed the line separator, which
// is whitespace too but never occurs inside a line; kOther anything else.
constexpr unsigned char kSpace = 16;
constexpr unsigned char kLineFeed = 17;
constexpr unsigned char kOther = 18;

constexpr std::array<unsigned char, 256> kCharClasses = [] {
    std::array<unsigned char, 256> table{};
    for (unsigned c = 0; c < 256; ++c) {
        unsigned char value = kOther;
        if (dumptext::kHexValue[c] >= 0) value = static_cast<unsigned char>(dumptext::kHexValue[c]);
        else if (c == '\n') value = kLineFeed;
        else if ((c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0) value = kSpace;
        table[c] = value;
    }
    return table;
}();

template <class CharT>
inline unsigned char char_class(CharT c) {
    if constexpr (sizeof(CharT) == 1) {
        return kCharClasses[c];
    } else {
        if (c < 256) return kCharClasses[c];
        return Py_UNICODE_ISSPACE(c) ? kSpace : kOther;
    }
}

inline bool separates(unsigned char char_class) { return char_class == kSpace || char_class == kLineFeed; }

// Where the data lines of a text lie: chars[begin:end], with a line feed at
// chars[end]; begin == end when there are none.
struct DataLines {
    Py_ssize_t begin = 0;
    Py_ssize_t end = 0;
};

DataLines find_data_lines(PyObject* text) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t first = -1;
    for (Py_ssize_t i = 0; i < length && first < 0; ++i)
        if (PyUnicode_READ(kind, data, i) == '\n') first = i;
    // The closing line ends at the last line feed when the text ends with
    // one (the empty piece after it is dropped too), else it follows the
    // last line feed. The data lines end where the closing line begins.
    const bool final_line_feed = length > 0 && PyUnicode_READ(kind, data, length - 1) == '\n';
    Py_ssize_t skip = final_line_feed ? 1 : 0;
    for (Py_ssize_t i = length - 1; i > first; --i) {
        if (PyUnicode_READ(kind, data, i) != '\n') continue;
        if (skip-- == 0) return {first + 1, i};
    }
    return {};
}

// Where the pieces of a data line lie: from `begin` up to `limit` or the
// line feed, whichever comes first.
struct HexField {
    Py_ssize_t begin;
    Py_ssize_t limit;
};

// line[line.find(" "):].lstrip()[:3 * linesize] for the line that starts at
// chars[line]; without a space, the line's last character is the start.
template <class CharT>
[[gnu::always_inline]] inline HexField hex_field(const CharT* chars, Py_ssize_t line, Py_ssize_t end, Py_ssize_t stop) {
    Py_ssize_t at = line;
    while (chars[at] != ' ' && chars[at] != '\n') ++at;
    if (chars[at] == '\n' && at > line) --at;
    while (char_class(chars[at]) == kSpace) ++at;
    if (stop >= 0) return {at, stop < end - at ? at + stop : end};
    return {at, std::max(at, dumptext::find_line_feed(chars, at, end) + stop)};
}

// The data lines chars[begin:end] read into a new bytes object, or declined
// at the first piece that is not one or two ASCII hexadecimal digits of a
// byte value that the table knows (signs, 0x prefixes, underscores, other
// scripts' digits, junk, numbers above 255, entries other than one byte):
// the generic path then reads them with the interpreter, and raises where
// the documented steps raise. `stop` is 3 * linesize clamped as a slice
// bound. chars[end] is a line feed and every scan stops at one, so no scan
// needs a bounds check of its own. No Python code runs here. `Identity`
// (the usual table) lets the compiler drop the table look-up per byte.
template <bool Identity, class CharT>
native::Fast undump_lines(const CharT* chars, DataLines lines, Py_ssize_t stop, const ByteTable& table) {
    const auto answer = [&] {
        if constexpr (Identity) return dumptext::AsItself{};
        else return [&table](unsigned value) -> int { return table.value[value & 255]; };
    }();
    // Pieces are separated by at least one character, so at most half the
    // text (rounded up) are pieces.
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, (lines.end - lines.begin + 1) / 2 + 1));
    if (!bytes) return Ref();
    unsigned char* const out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get()));
    // Locals whose address is never taken stay in registers; the stores
    // through `next` could otherwise alias them.
    unsigned char* next = out;
    const Py_ssize_t end = lines.end;
    const dumptext::PairReader read_pairs;
    Py_ssize_t line = lines.begin;
    while (true) {
        const HexField field = hex_field(chars, line, end, stop);
        Py_ssize_t at = field.begin;
        const Py_ssize_t limit = field.limit;
        // .split() and int2byte(int(piece, 16)) of each piece
        while (true) {
            // The common pieces: two digits of a known byte and a space.
            at = read_pairs(chars, at, limit, next, answer);
            while (at < limit && char_class(chars[at]) == kSpace) ++at;
            if (at >= limit || chars[at] == '\n') break;
            Py_ssize_t piece_end = at;
            while (piece_end < limit && !separates(char_class(chars[piece_end]))) ++piece_end;
            const Py_ssize_t width = piece_end - at;
            const unsigned high = char_class(chars[at]);
            const unsigned low = width == 2 ? char_class(chars[at + 1]) : 0;
            if (width > 2 || (high | low) >= 16) return native::declined();
            const int known = answer(width == 2 ? high * 16 + low : high);
            if (known < 0) return native::declined();
            *next++ = static_cast<unsigned char>(known);
            at = piece_end;
        }
        const Py_ssize_t line_end = dumptext::find_line_feed(chars, at, end);
        if (line_end == end) break;
        line = line_end + 1;
    }
    // Made above and seen by nobody else since: only we hold it (rule 2).
    PyObject* shrunk = bytes.release();
    if (native::compat::bytes_resize(&shrunk, next - out) < 0) return Ref();
    return Ref::steal(shrunk);
}

template <bool Identity>
native::Fast undump_text(PyObject* text, DataLines lines, Py_ssize_t stop, const ByteTable& answers) {
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return undump_lines<Identity>(PyUnicode_1BYTE_DATA(text), lines, stop, answers);
        case PyUnicode_2BYTE_KIND:
            return undump_lines<Identity>(PyUnicode_2BYTE_DATA(text), lines, stop, answers);
        default:
            return undump_lines<Identity>(PyUnicode_4BYTE_DATA(text), lines, stop, answers);
    }
}

// What int2byte answers for each byte value, when every key of the table is
// an exact int (then a look-up of a byte value runs no Python code and finds
// exactly the entry read here). Runs in the table's critical section.
ByteTable read_byte_table(PyObject* table) {
    ByteTable verdict{};
    std::fill(std::begin(verdict.value), std::end(verdict.value), static_cast<std::int16_t>(-1));
    const bool usable = native::for_each_byte_entry(table, [&verdict](int byte, PyObject* value) {
        if (byte >= 0 && PyBytes_CheckExact(value) && PyBytes_GET_SIZE(value) == 1)
            verdict.value[byte] = static_cast<unsigned char>(PyBytes_AS_STRING(value)[0]);
        return true;
    });
    if (!usable) return verdict;
    verdict.usable = true;
    verdict.identity = true;
    for (int i = 0; i < 256; ++i) verdict.identity = verdict.identity && verdict.value[i] == i;
    return verdict;
}

// The answers of the namespace's int2byte, when it is portil's own. Guards:
// both namespaces read have exact str keys, everything read from them is
// held, and the table's keys are all exact ints (remembered under its stamp).
bool int2byte_answers(HexState* st, PyObject* module, ByteTable& answers) {
    Ref int2byte = native::peek_global(module, name<"int2byte">(st));
    if (!native::is_builtin_with_code(int2byte.get(), st->int2byte_code)) return false;
    PyObject* owner = plain_helper_module(st, int2byte.get());
    if (owner == nullptr) return false;
    Ref table = native::peek_global(owner, name<"INT2BYTE_CACHE">(st));
    if (!table || !PyDict_CheckExact(table.get())) return false;
    answers = native::checked(st->changes, table.get(), st->verdicts.get().int2byte_cache, read_byte_table);
    return answers.usable;
}

// hexundump of an exact str with an int (or bool) linesize. Guards: see
// int2byte_answers; after them no Python code runs (the text is immutable).
native::Fast hexundump_fast(PyObject* module, PyObject* text, PyObject* linesize) {
    HexState* st = state_of(module);
    if (!plain_namespace(st, module, st->verdicts.get().own_namespace)) return native::declined();
    ByteTable answers{};
    if (!int2byte_answers(st, module, answers)) return native::declined();
    const DataLines lines = find_data_lines(text);
    if (lines.begin >= lines.end) return Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    // 3 * linesize, clamped the way a slice bound is.
    Ref tripled = tripled_linesize(linesize);
    if (!tripled) return Ref();
    const Py_ssize_t stop = PyNumber_AsSsize_t(tripled.get(), nullptr);
    if (stop == -1 && PyErr_Occurred()) return Ref();
    return answers.identity ? undump_text<true>(text, lines, stop, answers)
                            : undump_text<false>(text, lines, stop, answers);
}

// ---- hexundump, generic path -----------------------------------------------------

// data.split("\n") without its first piece, its closing line and, when the
// text ends with a line feed, the empty piece after it:
//     pieces[1:-2] if pieces[-1:] == [""] else pieces[1:-1]
Ref data_line_pieces(HexState* st, PyObject* data) {
    Ref pieces = native::call_method(data, name<"split">(st), name<"\n">(st));
    if (!pieces) return Ref();
    Ref minus_one = Ref::steal(PyLong_FromLong(-1));
    if (!minus_one) return Ref();
    Ref last_bound = Ref::steal(PySlice_New(minus_one.get(), nullptr, nullptr));
    if (!last_bound) return Ref();
    Ref last = Ref::steal(PyObject_GetItem(pieces.get(), last_bound.get()));
    Ref empty_piece = Ref::steal(PyList_New(1));
    if (!last || !empty_piece) return Ref();
    PyList_SET_ITEM(empty_piece.get(), 0, Py_NewRef(name<"">(st)));
    const int ends_empty = PyObject_RichCompareBool(last.get(), empty_piece.get(), Py_EQ);
    if (ends_empty < 0) return Ref();
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref stop = Ref::steal(PyLong_FromLong(ends_empty ? -2 : -1));
    if (!one || !stop) return Ref();
    Ref inner = Ref::steal(PySlice_New(one.get(), stop.get(), nullptr));
    if (!inner) return Ref();
    return Ref::steal(PyObject_GetItem(pieces.get(), inner.get()));
}

// line = line[line.find(" "):].lstrip(); line[:3 * linesize].split()
Ref line_pieces(HexState* st, PyObject* line, PyObject* linesize) {
    Ref position = native::call_method(line, name<"find">(st), name<" ">(st));
    if (!position) return Ref();
    Ref tail = Ref::steal(PySlice_New(position.get(), nullptr, nullptr));
    if (!tail) return Ref();
    Ref rest = Ref::steal(PyObject_GetItem(line, tail.get()));
    if (!rest) return Ref();
    Ref stripped = native::call_method(rest.get(), name<"lstrip">(st));
    if (!stripped) return Ref();
    Ref count = tripled_linesize(linesize);
    if (!count) return Ref();
    Ref head = Ref::steal(PySlice_New(nullptr, count.get(), nullptr));
    if (!head) return Ref();
    Ref field = Ref::steal(PyObject_GetItem(stripped.get(), head.get()));
    if (!field) return Ref();
    return native::call_method(field.get(), name<"split">(st));
}

// raw.extend(int2byte(int(h, 16)) for h in pieces), int2byte read per piece.
bool append_bytes_of(PyObject* module, PyObject* pieces, PyObject* raw) {
    HexState* st = state_of(module);
    Ref iterator = Ref::steal(PyObject_GetIter(pieces));
    Ref sixteen = Ref::steal(PyLong_FromLong(16));
    if (!iterator || !sixteen) return false;
    while (Ref piece = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref int2byte = native::global(module, name<"int2byte">(st));
        if (!int2byte) return false;
        Ref number = native::call(reinterpret_cast<PyObject*>(&PyLong_Type), piece.get(), sixteen.get());
        if (!number) return false;
        Ref byte = native::call(int2byte.get(), number.get());
        if (!byte || PyList_Append(raw, byte.get()) < 0) return false;
    }
    return !PyErr_Occurred();
}

PyObject* hexundump_generic(PyObject* module, PyObject* data, PyObject* linesize) {
    HexState* st = state_of(module);
    Ref lines = data_line_pieces(st, data);
    if (!lines) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(lines.get()));
    Ref raw = Ref::steal(PyList_New(0));
    if (!iterator || !raw) return nullptr;
    while (Ref line = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref pieces = line_pieces(st, line.get(), linesize);
        if (!pieces || !append_bytes_of(module, pieces.get(), raw.get())) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!empty) return nullptr;
    return native::call_method(empty.get(), name<"join">(st), raw.get()).release();
}

// ---- the display classes ----------------------------------------------------------

PyObject* hex_displayed_integer_str(PyObject* self, PyTypeObject* defining_class);

PyMethodDef hex_displayed_integer_methods[] = {
    native::method<"__str__($self, /)", hex_displayed_integer_str>(),
    native::end_of_methods,
};

// True when format(self, "") would call this very __str__ again: int's own
// __format__ answers an empty format string with str(self).
bool empty_format_comes_back(HexState* st, PyObject* self) {
    Ref format_method = native::compat::type_lookup(Py_TYPE(self), name<"__format__">(st));
    Ref int_format = native::compat::type_lookup(&PyLong_Type, name<"__format__">(st));
    if (!format_method || format_method.get() != int_format.get()) return false;
    Ref str_method = native::compat::type_lookup(Py_TYPE(self), name<"__str__">(st));
    return native::is_native_method(str_method.get(), hex_displayed_integer_methods[0].ml_meth);
}

// The width and flag of the usual format strings: x or X after an optional
// zero flag and a width of up to two digits.
struct HexFormat {
    bool usual = false;
    bool zero_fill = false;
    int width = 0;
};

HexFormat read_hex_format(PyObject* format_text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(format_text);
    if (length < 1 || length > 4 || !PyUnicode_IS_ASCII(format_text)) return {};
    const Py_UCS1* chars = PyUnicode_1BYTE_DATA(format_text);
    if (chars[length - 1] != 'x' && chars[length - 1] != 'X') return {};
    HexFormat format;
    Py_ssize_t at = 0;
    format.zero_fill = at < length - 1 && chars[at] == '0';
    if (format.zero_fill) ++at;
    if (at < length - 1) {
        if (chars[at] < '1' || chars[at] > '9') return {};
        format.width = chars[at++] - '0';
    }
    if (at < length - 1) {
        if (chars[at] < '0' || chars[at] > '9') return {};
        format.width = format.width * 10 + (chars[at++] - '0');
    }
    format.usual = at == length - 1;
    return format;
}

// "0x" followed by the value in uppercase hexadecimal, aligned as int's
// formatting aligns it.
Ref prefixed_hex(long long value, const HexFormat& format) {
    char digits[16];
    int count = 0;
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
    do {
        digits[count++] = kUpperDigits[magnitude & 15];
        magnitude >>= 4;
    } while (magnitude != 0);
    const int sign = value < 0 ? 1 : 0;
    const int padding = std::max(0, format.width - sign - count);
    Ref text = Ref::steal(PyUnicode_New(2 + padding + sign + count, 127));
    if (!text) return Ref();
    Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
    *out++ = '0';
    *out++ = 'x';
    // Numbers align right: spaces before the sign, or zeros after it.
    if (!format.zero_fill) out = std::fill_n(out, padding, static_cast<Py_UCS1>(' '));
    if (sign) *out++ = '-';
    if (format.zero_fill) out = std::fill_n(out, padding, static_cast<Py_UCS1>('0'));
    while (count > 0) *out++ = static_cast<Py_UCS1>(digits[--count]);
    return text;
}

// "0x" + format(self, format_text).upper() written directly for the usual
// format strings of a value within 64 bits, when int's own __format__ serves
// self. Guards: the type look-ups are held; reading an int's value runs no
// Python code. Declines (no exception) when format() has to do it.
native::Fast hex_text_of_int(HexState* st, PyObject* self, PyObject* format_text) {
    const HexFormat format = read_hex_format(format_text);
    if (!format.usual) return native::declined();
    Ref int_format = native::compat::type_lookup(&PyLong_Type, name<"__format__">(st));
    Ref own_format = native::compat::type_lookup(Py_TYPE(self), name<"__format__">(st));
    if (!int_format || own_format.get() != int_format.get()) return native::declined();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(self, &overflow);
    if (overflow != 0) return native::declined();
    if (value == -1 && PyErr_Occurred()) return Ref();
    return prefixed_hex(value, format);
}

// The built-in format() takes only a str as its format string, and names
// None by value and other objects by their type when it refuses one.
void raise_format_text_type(PyObject* format_text) {
    PyErr_Format(PyExc_TypeError, "format() argument 2 must be str, not %.50s",
                 format_text == Py_None ? "None" : Py_TYPE(format_text)->tp_name);
}

PyObject* hex_displayed_integer_str(PyObject* self, PyTypeObject* defining_class) {
    HexState* st = native::state_of<HexState>(defining_class);
    Ref fmtstr = native::attr(self, name<"fmtstr">(st));
    if (!fmtstr) return nullptr;
    PyObject* format_text = fmtstr.get();
    if (!PyUnicode_Check(format_text)) {
        raise_format_text_type(format_text);
        return nullptr;
    }
    // An empty format string would make format() call str(self), which is
    // this method: show the uppercase hexadecimal digits instead of recursing.
    if (PyUnicode_GET_LENGTH(format_text) == 0 && empty_format_comes_back(st, self)) format_text = name<"X">(st);
    if (native::Fast text = hex_text_of_int(st, self, format_text)) return text->release();
    Ref formatted = Ref::steal(PyObject_Format(self, format_text));
    if (!formatted) return nullptr;
    Ref upper = native::call_method(formatted.get(), name<"upper">(st));
    if (!upper) return nullptr;
    if (PyUnicode_CheckExact(upper.get())) return PyUnicode_Concat(name<"0x">(st), upper.get());
    return PyNumber_Add(name<"0x">(st), upper.get());
}

// HexDisplayedInteger.new: the class as the namespace binds it, called with
// intvalue, then given fmtstr. `cls` is the class that defines new.
PyObject* hex_displayed_integer_new(PyObject* cls, PyObject* intvalue, PyObject* fmtstr) {
    auto* defining_class = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* module = PyType_GetModule(defining_class);  // borrowed: the class holds it
    if (module == nullptr) return nullptr;
    HexState* st = state_of(module);
    Ref made_by = native::global(module, name<"HexDisplayedInteger">(st));
    if (!made_by) return nullptr;
    Ref object = native::call(made_by.get(), intvalue);
    if (!object || PyObject_SetAttr(object.get(), name<"fmtstr">(st), fmtstr) < 0) return nullptr;
    return object.release();
}

PyMethodDef hex_displayed_integer_static_methods[] = {
    native::function<"new(intvalue, fmtstr)", hex_displayed_integer_new>(),
    native::end_of_methods,
};

// The bytes a caching class renders: itself, or its item "data" read through
// the generic item access (a subclass's __getitem__ takes part).
enum class Source { self, data_item };

template <Source source>
Ref rendered_bytes(HexState* st, PyObject* self) {
    if constexpr (source == Source::self) return Ref::new_reference(self);
    else return Ref::steal(PyObject_GetItem(self, name<"data">(st)));
}

// The digits of bytes whose buffer is bytes' own: hexlify reads that buffer
// (a subclass's __buffer__ would take part otherwise).
bool has_bytes_buffer(PyObject* bytes) {
    return PyBytes_Check(bytes) && Py_TYPE(bytes)->tp_as_buffer != nullptr &&
           Py_TYPE(bytes)->tp_as_buffer->bf_getbuffer == PyBytes_Type.tp_as_buffer->bf_getbuffer;
}

// "unhexlify('" + the lowercase digits + "')", what
// "unhexlify(%s)" % (trimstring(hexlify(bytes)),) gives with the original
// helpers when trimstring's module binds `bytes` to the built-in type.
// Guards: everything read is held; portil's namespace has exact str keys.
native::Fast unhexlify_text_fast(HexState* st, PyObject* trimstring, PyObject* hexlify, PyObject* bytes) {
    if (!has_bytes_buffer(bytes) || !native::is_builtin_with_code(hexlify, st->hexlify_code) ||
        !native::is_builtin_with_code(trimstring, st->trimstring_code))
        return native::declined();
    PyObject* owner = plain_helper_module(st, trimstring);
    if (owner == nullptr) return native::declined();
    Ref bytes_type = native::peek_global(owner, name<"bytes">(st));
    if (bytes_type.get() != reinterpret_cast<PyObject*>(&PyBytes_Type)) return native::declined();
    const Py_ssize_t size = PyBytes_GET_SIZE(bytes);
    if (size > (PY_SSIZE_T_MAX - 13) / 2) return Ref::steal(PyErr_NoMemory());
    Ref text = Ref::steal(PyUnicode_New(13 + 2 * size, 127));
    if (!text) return Ref();
    Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
    std::memcpy(out, "unhexlify('", 11);
    out += 11;
    const auto* in = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes));
    for (Py_ssize_t i = 0; i < size; ++i) {
        *out++ = static_cast<Py_UCS1>(kLowerDigits[in[i] >> 4]);
        *out++ = static_cast<Py_UCS1>(kLowerDigits[in[i] & 15]);
    }
    std::memcpy(out, "')", 2);
    return text;
}

// "unhexlify(%s)" % (trimstring(binascii.hexlify(bytes)),), names read in the
// order in which the expression reads them.
template <Source source>
Ref render_unhexlify(PyObject* module, PyObject* self) {
    HexState* st = state_of(module);
    Ref trimstring = native::global(module, name<"trimstring">(st));
    if (!trimstring) return Ref();
    Ref binascii = native::global(module, name<"binascii">(st));
    if (!binascii) return Ref();
    Ref hexlify = native::attr(binascii.get(), name<"hexlify">(st));
    if (!hexlify) return Ref();
    Ref bytes = rendered_bytes<source>(st, self);
    if (!bytes) return Ref();
    if (native::Fast text = unhexlify_text_fast(st, trimstring.get(), hexlify.get(), bytes.get()))
        return std::move(*text);
    Ref digits = native::call(hexlify.get(), bytes.get());
    if (!digits) return Ref();
    Ref trimmed = native::call(trimstring.get(), digits.get());
    if (!trimmed) return Ref();
    Ref fields = Ref::steal(PyTuple_Pack(1, trimmed.get()));
    if (!fields) return Ref();
    return Ref::steal(PyNumber_Remainder(name<"unhexlify(%s)">(st), fields.get()));
}

// hexdump(bytes, 16), hexdump read from the namespace.
template <Source source>
Ref render_hexdump(PyObject* module, PyObject* self) {
    HexState* st = state_of(module);
    Ref hexdump = native::global(module, name<"hexdump">(st));
    if (!hexdump) return Ref();
    Ref bytes = rendered_bytes<source>(st, self);
    if (!bytes) return Ref();
    Ref sixteen = Ref::steal(PyLong_FromLong(16));
    if (!sixteen) return Ref();
    return native::call(hexdump.get(), bytes.get(), sixteen.get());
}

// The caching __str__: the attribute render when it can be read (any failure
// to read it is discarded), otherwise the rendering, stored as render first.
template <Ref (*render)(PyObject*, PyObject*)>
PyObject* cached_str(PyObject* self, PyTypeObject* defining_class) {
    PyObject* module = PyType_GetModule(defining_class);  // borrowed: the class holds it
    if (module == nullptr) return nullptr;
    HexState* st = state_of(module);
    Ref cached = native::attr(self, name<"render">(st));
    if (!cached) {
        PyErr_Clear();
        Ref rendering = render(module, self);
        if (!rendering || PyObject_SetAttr(self, name<"render">(st), rendering.get()) < 0) return nullptr;
    }
    return PyObject_GetAttr(self, name<"render">(st));
}

template <Ref (*render)(PyObject*, PyObject*)>
PyMethodDef cached_str_methods[2] = {
    native::method<"__str__($self, /)", cached_str<render>>(),
    native::end_of_methods,
};

constexpr char kUsedInternally[] = "Used internally.";

// ---- hexdump and hexundump --------------------------------------------------------

PyObject* hexdump(PyObject* module, PyObject* data, PyObject* linesize) {
    const Py_ssize_t size = PyObject_Size(data);
    if (size < 0) return nullptr;
    if (static_cast<long long>(size) >= dumptext::kEightDigitLimit) {
        PyErr_SetString(PyExc_ValueError, "hexdump cannot process more than 16**8 or 4294967296 bytes");
        return nullptr;
    }
    const int digits = dumptext::offset_digits(size);
    if (PyLong_CheckExact(linesize)) {
        if (PyLong_IsPositive(linesize) != 1) {
            raise_bad_linesize(linesize);
            return nullptr;
        }
        int overflow = 0;
        const long long lines_of = PyLong_AsLongLongAndOverflow(linesize, &overflow);
        if (overflow == 0 && lines_of <= kFastLinesizeLimit) {
            if (native::Fast result = hexdump_fast(module, data, size, static_cast<Py_ssize_t>(lines_of), digits))
                return result->release();
        }
    }
    return hexdump_generic(module, data, linesize, size, digits);
}

PyObject* hexundump(PyObject* module, PyObject* data, PyObject* linesize) {
    // bool shares int's multiplication; other int subclasses may not.
    if (PyUnicode_CheckExact(data) && (PyLong_CheckExact(linesize) || PyBool_Check(linesize))) {
        if (native::Fast result = hexundump_fast(module, data, linesize)) return result->release();
    }
    return hexundump_generic(module, data, linesize);
}

#define TAVRO_DUMP_LINE(offset) \
    "        " offset "   30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30   0000000000000000\n"

PyMethodDef hexdump_def = native::function<"hexdump(data, linesize)", hexdump,
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
                                           "    ">();

#undef TAVRO_DUMP_LINE

PyMethodDef hexundump_def = native::function<"hexundump(data, linesize)", hexundump,
                                             "\n"
                                             "    Reverse of `hexdump`.\n"
                                             "    ">();

// ---- module initialisation ----------------------------------------------------------

bool record_helpers(PyObject* module) {
    HexState* st = state_of(module);
    // Each helper's code when the namespace holds the function portil made.
    const auto portil_code = [&](PyObject* key, const char* function_name) {
        return native::module_function_code(native::peek_global(module, key).get(), "tavro.lib.portil", function_name);
    };
    st->iterateints_code = portil_code(name<"iterateints">(st), "iterateints");
    st->int2byte_code = portil_code(name<"int2byte">(st), "int2byte");
    st->trimstring_code = portil_code(name<"trimstring">(st), "trimstring");
    Ref binascii = native::import("binascii");
    if (!binascii) return false;
    Ref hexlify = native::attr(binascii.get(), name<"hexlify">(st));
    if (!hexlify) return false;
    st->hexlify_code = native::module_function_code(hexlify.get(), "binascii", "hexlify");
    return true;
}

Ref integer_base(PyObject* module) {
    Ref integertypes = native::global(module, name<"integertypes">(state_of(module)));
    if (!integertypes) return Ref();
    return Ref::steal(PySequence_GetItem(integertypes.get(), 0));
}

Ref bytes_base(PyObject* module) { return native::global(module, name<"bytestringtype">(state_of(module))); }

Ref dict_base() { return Ref::new_reference(reinterpret_cast<PyObject*>(&PyDict_Type)); }

// Makes a display class whose exact instances get `str` as their native
// slot, and binds it under its name.
bool add_display_class(PyObject* module, const char* class_name, PyMethodDef* methods, PyMethodDef* static_methods,
                       Ref base, reprfunc str) {
    if (!base) return false;
    const native::ClassRecipe recipe{class_name, kUsedInternally, methods, static_methods};
    Ref cls = native::make_class(module, recipe, {base.get()}, state_of(module)->descriptor_type);
    if (cls) native::install_slot(cls.get(), &PyTypeObject::tp_str, str);
    return native::set_module_attribute(module, class_name, std::move(cls));
}

template <Ref (*render)(PyObject*, PyObject*)>
bool add_caching_class(PyObject* module, const char* class_name, Ref base) {
    return add_display_class(module, class_name, cached_str_methods<render>, nullptr, std::move(base),
                             native::text_slot<cached_str<render>>);
}

// Entry i: the character i for 32 <= i < 128, made with int2byte and
// bytes2str; "." for every other byte.
Ref build_printable(PyObject* module) {
    HexState* st = state_of(module);
    Ref int2byte = native::global(module, name<"int2byte">(st));
    Ref bytes2str = native::global(module, name<"bytes2str">(st));
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
Ref build_hexprint(PyObject* module) {
    HexState* st = state_of(module);
    Ref table = Ref::steal(PyList_New(256));
    if (!table) return Ref();
    for (long i = 0; i < 256; ++i) {
        Ref number = Ref::steal(PyLong_FromLong(i));
        if (!number) return Ref();
        Ref entry = Ref::steal(PyObject_Format(number.get(), name<"02X">(st)));
        if (!entry) return Ref();
        PyList_SET_ITEM(table.get(), i, entry.release());
    }
    return table;
}

// Keeps the entries HEXPRINT and PRINTABLE were made with, and what the dump
// writes for them when they are all ASCII.
bool remember_original_tables(PyObject* module) {
    HexState* st = state_of(module);
    Ref hexprint = native::peek_global(module, name<"HEXPRINT">(st));
    Ref printable = native::peek_global(module, name<"PRINTABLE">(st));
    if (!hexprint || !printable) return !PyErr_Occurred();
    bool all[256];
    std::fill(std::begin(all), std::end(all), true);
    DumpTables tables;
    if (!read_dump_tables(hexprint.get(), printable.get(), all, tables) || tables.widest > 127) return true;
    for (Py_ssize_t i = 0; i < 256; ++i) {
        st->original_entries[0][i] = Py_NewRef(PyList_GET_ITEM(hexprint.get(), i));
        st->original_entries[1][i] = Py_NewRef(PyList_GET_ITEM(printable.get(), i));
    }
    prepare_glyphs(tables, all, st->original_glyphs);
    st->original_glyphs_ready = true;
    return true;
}

int exec_hex(PyObject* module) {
    // The module's own state: names, change detection, its method descriptor type.
    if (!state_of(module)->prepare_shared(module, true)) return -1;
    if (!native::star_import(module, "tavro.lib.portil")) return -1;
    if (!record_helpers(module)) return -1;
    if (!native::set_module_attribute(module, "binascii", native::import("binascii"))) return -1;
    if (!add_display_class(module, "HexDisplayedInteger", hex_displayed_integer_methods,
                           hex_displayed_integer_static_methods, integer_base(module),
                           native::text_slot<hex_displayed_integer_str>) ||
        !add_caching_class<render_unhexlify<Source::self>>(module, "HexDisplayedBytes", bytes_base(module)) ||
        !add_caching_class<render_unhexlify<Source::data_item>>(module, "HexDisplayedDict", dict_base()) ||
        !add_caching_class<render_hexdump<Source::self>>(module, "HexDumpDisplayedBytes", bytes_base(module)) ||
        !add_caching_class<render_hexdump<Source::data_item>>(module, "HexDumpDisplayedDict", dict_base()))
        return -1;
    if (!native::set_module_attribute(module, "PRINTABLE", build_printable(module))) return -1;
    if (!native::set_module_attribute(module, "HEXPRINT", build_hexprint(module))) return -1;
    if (!remember_original_tables(module)) return -1;
    return native::bind_functions<hexdump_def, hexundump_def>(module) ? 0 : -1;
}

}  // namespace

NATIVE_MODULE(hex, "tavro.lib.hex", HexState, exec_hex)
