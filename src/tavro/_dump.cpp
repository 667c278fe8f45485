// tavro._dump: the per-line work of `python -m tavro dump` and `undump`.
//
// The command streams: it reads its input block by block and hands each
// block to one of these two functions. `dumplines` writes the data lines of
// a block of bytes, offsets counted from the block's place in the whole
// input; `undumplines` reads the data lines of a block of dump text, checks
// every one of them, and says where it stopped and why. Both write the text
// that the standard tables of tavro.lib.hex give (the command runs in a
// process of its own, where nobody has rebound them), and neither imports
// another tavro module: the command starts without loading them.
#include "native.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "dumptext.hpp"

namespace {

using native::Ref;
namespace dumptext = native::dumptext;

// ---- module state --------------------------------------------------------

// Nothing: the functions keep no state (a module state all the same, for
// the layer's one way of making modules).
struct DumpState {
    int traverse(visitproc, void*) { return 0; }
    void clear() {}
};

// ---- arguments -------------------------------------------------------------

// The bytes of a bytes-like argument, held for the duration of the call.
using Bytes = native::ByteView;

// An int argument between `low` and `high`; false with an exception.
bool ranged_index(PyObject* value, const char* what, Py_ssize_t low, Py_ssize_t high, Py_ssize_t& out) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an integer, not %.100s", what, Py_TYPE(value)->tp_name);
        return false;
    }
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (number == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || number < low || number > high) {
        PyErr_Format(PyExc_ValueError, "%s must be between %zd and %zd, not %S", what, low, high, value);
        return false;
    }
    out = static_cast<Py_ssize_t>(number);
    return true;
}

// A line holds 4 * linesize + 13 characters at most (8-digit offset, CR):
// this bound keeps every size computed from a line size far from overflow.
constexpr Py_ssize_t kLinesizeLimit = PY_SSIZE_T_MAX / 8;

bool digits_argument(PyObject* value, bool unsettled_allowed, int& out) {
    Py_ssize_t digits = 0;
    if (!ranged_index(value, "digits", 0, 8, digits)) return false;
    if (digits != 4 && digits != 8 && !(unsettled_allowed && digits == 0)) {
        PyErr_Format(PyExc_ValueError, "digits must be 4 or 8%s, not %zd", unsettled_allowed ? " (or 0)" : "",
                     digits);
        return false;
    }
    out = static_cast<int>(digits);
    return true;
}

// 16**digits: the first offset that `digits` digits cannot write.
constexpr std::uint64_t offset_limit(int digits) { return std::uint64_t{1} << (4 * digits); }

// Runs `work`, which runs no interpreter code, with the GIL released when
// it covers more than 64 KiB (`size` bytes), and returns its result.
template <class Work>
auto run_released_above(Py_ssize_t size, Work work) -> decltype(work()) {
    if (size <= Py_ssize_t{1} << 16) return work();
    decltype(work()) result;
    Py_BEGIN_ALLOW_THREADS
    result = work();
    Py_END_ALLOW_THREADS
    return result;
}

// ---- dumplines ---------------------------------------------------------------

PyObject* dumplines(PyObject*, PyObject* data, PyObject* linesize_argument, PyObject* offset_argument,
                    PyObject* digits_argument_) {
    Py_ssize_t linesize, offset;
    int digits;
    if (!ranged_index(linesize_argument, "linesize", 1, kLinesizeLimit, linesize)) return nullptr;
    if (!ranged_index(offset_argument, "offset", 0, PY_SSIZE_T_MAX, offset)) return nullptr;
    if (!digits_argument(digits_argument_, false, digits)) return nullptr;
    Bytes bytes;
    if (!bytes.export_buffer(data)) return nullptr;
    const Py_ssize_t size = bytes.size;
    if (size > 0) {
        const std::uint64_t last_line = static_cast<std::uint64_t>(offset) +
                                        static_cast<std::uint64_t>((size - 1) / linesize * linesize);
        if (last_line >= offset_limit(digits)) {
            PyErr_Format(PyExc_ValueError, "the offsets of these lines do not fit in %d digits", digits);
            return nullptr;
        }
    }
    const Py_ssize_t length = dumptext::lines_length(size, linesize, digits);
    if (length < 0) return PyErr_NoMemory();
    Ref text = Ref::steal(PyBytes_FromStringAndSize(nullptr, length));
    if (!text) return nullptr;
    static constexpr dumptext::Tables<char> tables = dumptext::standard_tables<char>();
    char* out = PyBytes_AS_STRING(text.get());
    // Only this call knows of `text`, and the buffer of `data` stays exported
    // until it returns.
    run_released_above(size, [&] {
        return dumptext::write_lines(out, bytes.data, size, linesize, digits, static_cast<std::uint64_t>(offset),
                                     tables);
    });
    return text.release();
}

// ---- undumplines ---------------------------------------------------------------

using dumptext::kHexValue;

bool is_hex(unsigned char c) { return kHexValue[c] >= 0; }

// The offset that line[0:width] writes in hex digits; false when they are not.
bool read_offset(const unsigned char* line, Py_ssize_t width, std::uint64_t& value) {
    value = 0;
    for (Py_ssize_t d = 0; d < width; ++d) {
        const signed char digit = kHexValue[line[d]];
        if (digit < 0) return false;
        value = value << 4 | static_cast<std::uint64_t>(digit);
    }
    return true;
}

// Where a run of the reader ended.
enum class Stop {
    text_end,  // every whole line has been read
    closing,   // at the closing line
    checking,  // at a line that the quick check does not take
};

// Reads the data lines of a block of dump text into `out`, which has room
// for every byte the block can hold.
struct Reader {
    const unsigned char* text;
    Py_ssize_t size;
    Py_ssize_t linesize;
    int digits;              // 0 until the first data line settles it
    std::uint64_t offset;    // of the next data byte in the whole dump
    unsigned char* out;
    Py_ssize_t written = 0;
    Py_ssize_t position = 0;  // of the next line
    Py_ssize_t lines = 0;     // read so far
    dumptext::PairReader read_pairs{};

    // The line feed that ends the line at `position`, or -1 when the rest of
    // the text is no whole line.
    Py_ssize_t line_feed() const {
        const Py_ssize_t found = dumptext::find_line_feed(text, position, size);
        return found == size ? -1 : found;
    }

    // The same, looked for first where a full data line would end. A line
    // feed found there may not be the first one after `position`: then the
    // stretch holds a line feed, which no quick check takes, and the careful
    // reading finds the true end.
    Py_ssize_t likely_line_feed() const {
        const Py_ssize_t full_line = digits + 4 * linesize + 5;  // no overflow: see kLinesizeLimit
        if (digits != 0 && size - position > full_line && text[position + full_line] == '\n')
            return position + full_line;
        return line_feed();
    }

    // The line from `position` to `line_end` without a carriage return at its end.
    static Py_ssize_t content_end(const unsigned char* text, Py_ssize_t start, Py_ssize_t line_end) {
        return line_end > start && text[line_end - 1] == '\r' ? line_end - 1 : line_end;
    }

    static bool is_closing(const unsigned char* line, Py_ssize_t length) {
        return length == dumptext::kClosingLength && std::memcmp(line, dumptext::kClosingLine, length) == 0;
    }

    // Takes the line if it is exactly what a data line looks like here; the
    // careful reading below decides about any other line.
    bool take_quickly(const unsigned char* line, Py_ssize_t length) {
        int width = digits;
        if (width == 0) width = length > 4 && line[4] == ' ' ? 4 : 8;
        const Py_ssize_t count = length - (width + 3 * linesize + 5);
        if (count < 1 || count > linesize) return false;
        std::uint64_t stated;
        if (!read_offset(line, width, stated) || stated != offset) return false;
        const unsigned char* hex = line + width + 3;
        if (hex[-3] != ' ' || hex[-2] != ' ' || hex[-1] != ' ') return false;
        // The pairs and the padding after them: the last pair is followed by
        // a space too.
        unsigned char* into = out + written;
        if (read_pairs(hex, 0, 3 * count, into) != 3 * count) return false;
        // Padding and separator, then one printable character per byte.
        const unsigned char* printable = hex + 3 * linesize + 2;
        for (const unsigned char* c = hex + 3 * count; c < printable; ++c)
            if (*c != ' ') return false;
        for (Py_ssize_t k = 0; k < count; ++k)
            if (printable[k] >= 0x80 || printable[k] == '\n') return false;
        digits = width;
        written += count;
        offset += static_cast<std::uint64_t>(count);
        return true;
    }

    // Reads lines until one needs a closer look, the closing line, or the
    // end of the whole lines. Runs no interpreter code.
    Stop run() {
        while (position < size) {
            const Py_ssize_t feed = likely_line_feed();
            if (feed < 0) return Stop::text_end;
            const unsigned char* line = text + position;
            const Py_ssize_t length = content_end(text, position, feed) - position;
            if (is_closing(line, length)) return Stop::closing;
            if (!take_quickly(line, length)) return Stop::checking;
            position = feed + 1;
            ++lines;
        }
        return Stop::text_end;
    }
};

// The parts of a line that a message quotes, as text.
Ref ascii_text(const unsigned char* chars, Py_ssize_t length) {
    return Ref::steal(PyUnicode_DecodeASCII(reinterpret_cast<const char*>(chars), length, "strict"));
}

Ref linesize_hint(Py_ssize_t linesize) {
    return Ref::steal(PyUnicode_FromFormat(" (was the dump made with --linesize %zd?)", linesize));
}

// The hex byte pairs of a data line after its offset: three spaces, then
// "hh" pairs separated by single spaces. Where they end, or the first fault.
struct LineShape {
    enum Fault { none, no_separator, not_a_digit, half_a_pair, no_single_space } fault = none;
    Py_ssize_t fault_at = 0;    // the character at fault, counted from the offset's end
    Py_ssize_t pairs = 0;
    Py_ssize_t pairs_end = 0;   // just after the last pair's digits
};

LineShape shape_of(const unsigned char* rest, Py_ssize_t length) {
    LineShape shape;
    if (length < 3 || std::memcmp(rest, "   ", 3) != 0 || length == 3 || rest[3] == ' ') {
        shape.fault = LineShape::no_separator;
        return shape;
    }
    Py_ssize_t at = 3;
    for (;;) {
        for (int digit = 0; digit < 2; ++digit, ++at) {
            if (at == length) {
                shape.fault = LineShape::half_a_pair;
                shape.fault_at = at - 1;
                return shape;
            }
            if (!is_hex(rest[at])) {
                shape.fault = LineShape::not_a_digit;
                shape.fault_at = at;
                return shape;
            }
        }
        ++shape.pairs;
        shape.pairs_end = at;
        if (at == length) return shape;
        if (rest[at] != ' ') {
            shape.fault = LineShape::no_single_space;
            shape.fault_at = at;
            return shape;
        }
        // A second space ends the pairs (padding or separator); anything else
        // after one space must be the next pair.
        if (at + 1 == length || rest[at + 1] == ' ') return shape;
        ++at;
    }
}

// The line size whose complete data line this is: the pairs, spaces up to
// where that size's printable column starts, and one character per pair
// there; 0 when there is none.
Py_ssize_t fitting_linesize(const unsigned char* rest, Py_ssize_t length, Py_ssize_t pairs,
                            Py_ssize_t pairs_end) {
    const Py_ssize_t layout = length - pairs - 5;  // 3 * size, for a complete line of that size
    if (layout < 3 * pairs || layout % 3 != 0) return 0;
    const Py_ssize_t printable_start = layout + 5;
    for (Py_ssize_t i = pairs_end; i < printable_start; ++i)
        if (rest[i] != ' ') return 0;
    return layout / 3;
}

// Reads the line at the reader's position with every check spelled out, in
// the order in which its message is chosen. Takes the line (1), or leaves a
// message saying what is wrong with it in `message` (0); -1 with an
// exception.
int read_carefully(Reader& reader, Ref& message) {
    const unsigned char* text = reader.text;
    const Py_ssize_t start = reader.position;
    const Py_ssize_t feed = reader.line_feed();  // not -1: the quick reader found a line feed after it
    const unsigned char* line = text + start;
    const Py_ssize_t length = Reader::content_end(text, start, feed) - start;
    const Py_ssize_t linesize = reader.linesize;

    for (Py_ssize_t i = 0; i < length; ++i) {
        if (line[i] >= 0x80) {
            message = Ref::steal(PyUnicode_FromString("not ASCII text"));
            return message ? 0 : -1;
        }
    }
    // The offset: everything before the first space.
    const void* space_found = std::memchr(line, ' ', static_cast<std::size_t>(length));
    const Py_ssize_t space = space_found ? static_cast<const unsigned char*>(space_found) - line : -1;
    const Py_ssize_t field_length = space >= 0 ? space : length;
    std::uint64_t stated;
    if (!((space == 4 || space == 8) && read_offset(line, space, stated))) {
        Ref field = ascii_text(line, field_length < 16 ? field_length : 16);
        if (!field) return -1;
        message = Ref::steal(PyUnicode_FromFormat("expected a 4- or 8-digit hex offset, found %R", field.get()));
        return message ? 0 : -1;
    }
    const int width = static_cast<int>(space);
    const Ref field = ascii_text(line, space);
    if (!field) return -1;
    if (reader.digits != 0 && width != reader.digits) {
        message = Ref::steal(PyUnicode_FromFormat("offset %U has %d digits, the lines before have %d", field.get(),
                                                  width, reader.digits));
        return message ? 0 : -1;
    }
    if (stated != reader.offset) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "%0*llX", width, static_cast<unsigned long long>(reader.offset));
        message = Ref::steal(PyUnicode_FromFormat(
            "offset %U where %s was expected (a line missing, repeated or of the wrong length?)", field.get(),
            expected));
        return message ? 0 : -1;
    }
    // After the offset: three spaces, the hex column of 3 * linesize - 1
    // characters (pairs, then spaces), three spaces, the printable column.
    const unsigned char* rest = line + space;
    const Py_ssize_t rest_length = length - space;
    const LineShape shape = shape_of(rest, rest_length);
    // Columns as an editor counts them, from 1.
    const auto column_of = [space](Py_ssize_t at) { return space + at + 1; };
    if (shape.fault != LineShape::none) {
        const Py_ssize_t at = shape.fault_at;
        Ref found = ascii_text(rest + at, at < rest_length ? 1 : 0);
        if (!found) return -1;
        switch (shape.fault) {
            case LineShape::no_separator:
                message = Ref::steal(PyUnicode_FromFormat(
                    "expected three spaces and hex byte pairs after the offset %U", field.get()));
                break;
            case LineShape::not_a_digit:
                message = Ref::steal(
                    PyUnicode_FromFormat("not a hex digit at column %zd: %R", column_of(at), found.get()));
                break;
            case LineShape::half_a_pair:
                message = Ref::steal(PyUnicode_FromFormat(
                    "the line ends in the middle of a hex pair at column %zd (was it cut short?)", column_of(at)));
                break;
            default:
                message = Ref::steal(PyUnicode_FromFormat(
                    "expected a single space after the hex pair at column %zd, found %R", column_of(at) - 2,
                    found.get()));
                break;
        }
        return message ? 0 : -1;
    }
    const Py_ssize_t count = shape.pairs;
    // Where the printable column starts for this line size; the padding and
    // the separator before it are spaces. A dump whose trailing white space
    // an editor stripped keeps a shorter printable column, or none when the
    // line's last characters were all spaces: taken as it is (the printable
    // column is not compared with the pairs), as long as the line does not
    // end in a space, which such a stripping would have removed.
    const Py_ssize_t printable_start = 3 * linesize + 5;  // no overflow: see kLinesizeLimit
    const Py_ssize_t after_pairs = shape.pairs_end;
    const Py_ssize_t spaces_end = rest_length < printable_start ? rest_length : printable_start;
    Py_ssize_t blank = after_pairs;
    while (blank < spaces_end && rest[blank] == ' ') ++blank;
    const Py_ssize_t printable_length = rest_length - printable_start;
    const bool stripped_whole_line = rest_length == after_pairs && count <= linesize;
    const bool laid_out = count <= linesize && blank == printable_start && printable_length <= count &&
                          (printable_length == count || rest[rest_length - 1] != ' ');
    // The characters a stripping removed stood for spaces: bytes 0x20.
    const unsigned char* column = rest + 3;
    const auto byte_at = [column](Py_ssize_t k) {
        return static_cast<unsigned char>(kHexValue[column[3 * k]] << 4 | kHexValue[column[3 * k + 1]]);
    };
    const Py_ssize_t kept = stripped_whole_line ? 0 : printable_length;
    bool only_spaces_lost = true;
    for (Py_ssize_t k = kept < 0 ? 0 : kept; only_spaces_lost && k < count; ++k) only_spaces_lost = byte_at(k) == ' ';
    if (!(stripped_whole_line || laid_out) || !only_spaces_lost) {
        // Another line size that this line's shape fits: its pairs, then the
        // padding and separator of that size, then one character per pair.
        const Py_ssize_t other = fitting_linesize(rest, rest_length, count, after_pairs);
        if (other > 0 && other != linesize) {
            Ref hint = linesize_hint(other);
            if (!hint) return -1;
            message = Ref::steal(
                PyUnicode_FromFormat("the line does not have the layout of line size %zd%U", linesize, hint.get()));
        } else if (count > linesize) {
            message = Ref::steal(PyUnicode_FromFormat("%zd hex byte pairs, more than a line of line size %zd holds",
                                                      count, linesize));
        } else if (blank < spaces_end) {
            Ref found = ascii_text(rest + blank, 1);
            if (!found) return -1;
            message = Ref::steal(PyUnicode_FromFormat(
                "expected spaces up to column %zd, where the printable column of line size %zd starts, found %R at "
                "column %zd",
                column_of(printable_start), linesize, found.get(), column_of(blank)));
        } else {
            message = Ref::steal(PyUnicode_FromFormat(
                "the hex column of line size %zd is not followed by three spaces and %zd printable characters%s",
                linesize, count, kept < count ? " (was the line cut short?)" : ""));
        }
        return message ? 0 : -1;
    }
    // A line that only the careful reading takes: its offset or its pairs
    // differ from what the quick check expects only in ways that the dump
    // format allows.
    unsigned char* into = reader.out + reader.written;
    for (Py_ssize_t k = 0; k < count; ++k) into[k] = byte_at(k);
    reader.digits = width;
    reader.written += count;
    reader.offset += static_cast<std::uint64_t>(count);
    reader.position = feed + 1;
    ++reader.lines;
    return 1;
}

PyObject* undumplines(PyObject*, PyObject* text_argument, PyObject* linesize_argument,
                      PyObject* offset_argument, PyObject* digits_argument_, PyObject* lineno_argument) {
    Py_ssize_t linesize, offset, lineno;
    int digits;
    if (!ranged_index(linesize_argument, "linesize", 1, kLinesizeLimit, linesize)) return nullptr;
    if (!ranged_index(offset_argument, "offset", 0, PY_SSIZE_T_MAX, offset)) return nullptr;
    if (!digits_argument(digits_argument_, true, digits)) return nullptr;
    if (!ranged_index(lineno_argument, "lineno", 1, PY_SSIZE_T_MAX / 2, lineno)) return nullptr;
    Bytes text;
    if (!text.export_buffer(text_argument)) return nullptr;
    // A data line of n bytes takes at least 4 * n + 10 characters.
    Ref data = Ref::steal(PyBytes_FromStringAndSize(nullptr, text.size / 4 + 1));
    if (!data) return nullptr;
    Reader reader{text.data, text.size, linesize, digits, static_cast<std::uint64_t>(offset),
                  reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(data.get()))};
    Ref message;
    for (;;) {
        if (run_released_above(text.size - reader.position, [&] { return reader.run(); }) != Stop::checking) break;
        const int taken = read_carefully(reader, message);
        if (taken < 0) return nullptr;
        if (taken == 0) break;
    }
    PyObject* bytes = data.release();
    if (native::compat::bytes_resize(&bytes, reader.written) < 0) return nullptr;
    data = Ref::steal(bytes);
    Ref end = Ref::steal(PyLong_FromSsize_t(reader.position));
    Ref next_lineno = Ref::steal(PyLong_FromSsize_t(lineno + reader.lines));
    Ref width = Ref::steal(PyLong_FromLong(reader.digits));
    if (!end || !next_lineno || !width) return nullptr;
    return PyTuple_Pack(5, data.get(), end.get(), next_lineno.get(), width.get(), message ? message.get() : Py_None);
}

PyMethodDef dumplines_def = native::function<
    "dumplines(data, linesize, offset, digits)", dumplines,
    "The data lines of `data`, bytes, as they stand in a dump in which its first byte has the offset\n"
    "`offset`: `linesize` bytes per line, offsets of `digits` (4 or 8) hex digits, every line ended by\n"
    "a line feed. Unless it is the last block of a dump, `data` holds a whole number of lines.">();

PyMethodDef undumplines_def = native::function<
    "undumplines(text, linesize, offset, digits, lineno)", undumplines,
    "Reads the data lines at the start of `text`, a block of dump text whose first line has the number\n"
    "`lineno` and whose first data byte has the offset `offset` in the dump; `digits` is the offset width\n"
    "of the lines before (0 when there were none). Returns (data, end, lineno, digits, error): the bytes\n"
    "of the lines read, the position after them, the number of the line there, the offset width, and\n"
    "None or what is wrong with that line. Without an error, it stopped at the closing line or at the\n"
    "end of the last whole line of `text`; a last line without a line feed is not read.">();

// ---- module initialisation -----------------------------------------------------

int exec_dump(PyObject* module) {
    // The largest line size the functions take: the command's own bound.
    if (!native::set_module_attribute(module, "LINESIZE_LIMIT", Ref::steal(PyLong_FromSsize_t(kLinesizeLimit)))) return -1;
    return native::bind_functions<dumplines_def, undumplines_def>(module) ? 0 : -1;
}

}  // namespace

NATIVE_MODULE(_dump, "tavro._dump", DumpState, exec_dump)
