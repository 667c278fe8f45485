// The lines of the reversible hex dump: their layout, the tables that write
// them from a span of bytes, and the value of each hex digit that reads them
// back (hexundump and the dump command's undump).
//
// A dump is the opening line, one data line per `linesize` bytes and the
// closing line, each ended by a line feed. A data line is the offset of its
// first byte (uppercase hex, `digits` digits: 4 for dumps of fewer than
// 16**4 bytes, else 8), three spaces, the hex pairs of its bytes joined by
// single spaces and padded with spaces to 3 * linesize - 1 characters, three
// spaces, and one printable character per byte.
//
// The writer is a template over the character unit of its output, so that
// the same code fills a 1-, 2- or 4-byte str (whatever the tables hold) or a
// bytes object of ASCII text. It writes any stretch of a dump: a caller that
// streams a long input writes block after block, each from the absolute
// offset of its first byte, and the lines come out exactly as one call over
// the whole input would write them, provided every block but the last holds
// a whole number of lines.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <cstring>

namespace native::dumptext {

// The opening and closing lines, without their line feeds.
inline constexpr char kOpeningLine[] = "hexundump(\"\"\"";
inline constexpr char kClosingLine[] = "\"\"\")";
inline constexpr Py_ssize_t kOpeningLength = sizeof kOpeningLine - 1;
inline constexpr Py_ssize_t kClosingLength = sizeof kClosingLine - 1;

// Inputs below 16**4 bytes get 4-digit offsets, longer ones 8; a dump holds
// fewer than 16**8 bytes.
inline constexpr long long kFourDigitLimit = 65536;
inline constexpr long long kEightDigitLimit = 4294967296;

constexpr int offset_digits(long long size) { return size < kFourDigitLimit ? 4 : 8; }

// The characters written for each byte value. `pair` holds the two
// characters of the byte's hex pair and then two spaces: one fixed-size copy
// writes the pair and the space after it, and the fourth unit is always
// overwritten by what follows it on the line (another pair, or the padding
// and separator, which are never shorter than two characters).
template <class CharT>
struct Tables {
    CharT pair[256][4];
    CharT printable[256];

    constexpr void set(unsigned byte, Py_UCS4 high, Py_UCS4 low, Py_UCS4 shown) {
        pair[byte][0] = static_cast<CharT>(high);
        pair[byte][1] = static_cast<CharT>(low);
        pair[byte][2] = pair[byte][3] = static_cast<CharT>(' ');
        printable[byte] = static_cast<CharT>(shown);
    }
};

inline constexpr char kUpperDigits[] = "0123456789ABCDEF";

// The value of each character that is a hexadecimal digit (0-9, a-f, A-F),
// -1 for every other one.
inline constexpr std::array<signed char, 256> kHexValue = [] {
    std::array<signed char, 256> values{};
    for (int i = 0; i < 256; ++i) values[i] = -1;
    for (int i = 0; i < 10; ++i) values['0' + i] = static_cast<signed char>(i);
    for (int i = 0; i < 6; ++i) values['A' + i] = values['a' + i] = static_cast<signed char>(10 + i);
    return values;
}();

// The tables of a dump made with the standard tables: format(i, "02X") for
// the pair, and for the printable column the character i itself for
// 0x20 <= i < 0x80 (0x7F included), "." for every other byte.
template <class CharT>
constexpr Tables<CharT> standard_tables() {
    Tables<CharT> tables{};
    for (unsigned i = 0; i < 256; ++i) {
        const Py_UCS4 shown = i >= 0x20 && i < 0x80 ? i : '.';
        tables.set(i, kUpperDigits[i >> 4], kUpperDigits[i & 15], shown);
    }
    return tables;
}

// The number of characters in the data lines of `size` bytes, line feeds
// included, or -1 when that is more than PY_SSIZE_T_MAX. A line of `count`
// bytes has digits + 3 + (3 * linesize - 1) + 3 + count + 1 characters.
inline Py_ssize_t lines_length(Py_ssize_t size, Py_ssize_t linesize, int digits) {
    if (size <= 0 || linesize <= 0) return 0;
    const Py_ssize_t lines = size / linesize + (size % linesize != 0);
    Py_ssize_t per_line, fixed, total;
    if (__builtin_mul_overflow(linesize, Py_ssize_t{3}, &per_line) ||
        __builtin_add_overflow(per_line, static_cast<Py_ssize_t>(digits) + 6, &per_line) ||
        __builtin_mul_overflow(lines, per_line, &fixed) || __builtin_add_overflow(fixed, size, &total))
        return -1;
    return total;
}

namespace detail {

template <class CharT>
inline CharT* put_offset(CharT* out, std::uint64_t offset, int digits) {
    for (int d = digits - 1; d >= 0; --d, offset >>= 4) out[d] = static_cast<CharT>(kUpperDigits[offset & 15]);
    return out + digits;
}

template <class CharT>
inline CharT* put_spaces(CharT* out, Py_ssize_t count) {
    for (Py_ssize_t k = 0; k < count; ++k) out[k] = static_cast<CharT>(' ');
    return out + count;
}

}  // namespace detail

// Writes the opening or the closing line, with its line feed; returns the end.
template <class CharT>
CharT* write_opening_line(CharT* out) {
    for (Py_ssize_t i = 0; i < kOpeningLength; ++i) *out++ = static_cast<CharT>(kOpeningLine[i]);
    *out++ = static_cast<CharT>('\n');
    return out;
}

template <class CharT>
CharT* write_closing_line(CharT* out) {
    for (Py_ssize_t i = 0; i < kClosingLength; ++i) *out++ = static_cast<CharT>(kClosingLine[i]);
    *out++ = static_cast<CharT>('\n');
    return out;
}

// Writes the data lines of the `size` bytes at `bytes`, the first of which
// stands at `offset` in the dump, into `out`, which has room for
// lines_length(size, linesize, digits) units; returns the end of what was
// written. Offsets are written with `digits` digits (the caller keeps them
// below 16**digits). Runs no interpreter code and needs no lock: the caller
// may release the GIL around it.
template <class CharT>
CharT* write_lines(CharT* out, const unsigned char* bytes, Py_ssize_t size, Py_ssize_t linesize, int digits,
                   std::uint64_t offset, const Tables<CharT>& tables) {
    // The padded hex column and the separator after it.
    const Py_ssize_t field = 3 * linesize + 2;
    for (Py_ssize_t start = 0; start < size; start += linesize) {
        const Py_ssize_t count = size - start < linesize ? size - start : linesize;
        const unsigned char* chunk = bytes + start;
        out = detail::put_offset(out, offset + static_cast<std::uint64_t>(start), digits);
        out = detail::put_spaces(out, 3);
        for (Py_ssize_t k = 0; k < count; ++k, out += 3) std::memcpy(out, tables.pair[chunk[k]], sizeof tables.pair[0]);
        out = detail::put_spaces(out, field - 3 * count);
        for (Py_ssize_t k = 0; k < count; ++k) out[k] = tables.printable[chunk[k]];
        out += count;
        *out++ = static_cast<CharT>('\n');
    }
    return out;
}

}  // namespace native::dumptext
