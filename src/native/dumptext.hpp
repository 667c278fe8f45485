// The lines of the reversible hex dump: their layout, the tables that write
// them from a span of bytes, and the reader of their hex pairs (hexundump and
// the dump command's undump read the same column, each with its own checks
// around it).
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
#include <type_traits>

#include "cpu.hpp"

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

// Writes the opening or the closing line (kOpeningLine, kClosingLine) with
// its line feed; returns the end.
template <class CharT, std::size_t Size>
CharT* write_framing_line(CharT* out, const char (&line)[Size]) {
    for (std::size_t i = 0; i + 1 < Size; ++i) *out++ = static_cast<CharT>(line[i]);
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

// ---- reading -----------------------------------------------------------------

// The value of a character of any width as a hexadecimal digit, -1 for
// every character that is not one.
template <class CharT>
inline int hex_value(CharT c) {
    if constexpr (sizeof(CharT) == 1) return kHexValue[static_cast<unsigned char>(c)];
    else return c < 256 ? kHexValue[c] : -1;
}

// The position of the first line feed in text[from:to], `to` when there is none.
template <class CharT>
Py_ssize_t find_line_feed(const CharT* text, Py_ssize_t from, Py_ssize_t to) {
    if constexpr (sizeof(CharT) == 1) {
        const void* hit = std::memchr(text + from, '\n', static_cast<std::size_t>(to - from));
        return hit ? static_cast<const CharT*>(hit) - text : to;
    } else {
        while (from < to && text[from] != '\n') ++from;
        return from;
    }
}

// What a pair's byte value is written as: the byte itself, or (a table's
// answers) another byte or -1, which stops the reading there.
struct AsItself {
    int operator()(unsigned value) const { return static_cast<int>(value); }
};

#if NATIVE_X86_DISPATCH
// Sixteen pairs at once: 48 characters that are, sixteen times over, two
// ASCII hexadecimal digits and a space, read into 16 bytes at `out`. False,
// with nothing read, when any of them is not. Where the processor has SSSE3:
// one byte shuffle per role (high digit, low digit, space) and per 16
// characters gathers each role's sixteen characters.
namespace sixteen_pairs {

// The shuffle that takes, from characters [16 * part, 16 * part + 16), the
// character of `role` (0 the high digit, 1 the low digit, 2 the space) of
// each pair that lies there, and 0 for the others.
constexpr std::array<char, 16> gather(int part, int role) {
    std::array<char, 16> picks{};
    for (int pair = 0; pair < 16; ++pair) {
        const int at = 3 * pair + role - 16 * part;
        picks[pair] = at >= 0 && at < 16 ? static_cast<char>(at) : static_cast<char>(0x80);
    }
    return picks;
}

template <int Role>
[[gnu::target("ssse3")]] inline __m128i role_of(__m128i a, __m128i b, __m128i c) {
    const auto mask = [](int part) {
        constexpr std::array<std::array<char, 16>, 3> masks = {gather(0, Role), gather(1, Role), gather(2, Role)};
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(masks[part].data()));
    };
    return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, mask(0)), _mm_shuffle_epi8(b, mask(1))),
                        _mm_shuffle_epi8(c, mask(2)));
}

// Each character's value as a hexadecimal digit (0-9, a-f, A-F) in `value`;
// false when any is not one.
[[gnu::target("ssse3")]] inline bool digit_values(__m128i chars, __m128i& value) {
    const __m128i decimal = _mm_sub_epi8(chars, _mm_set1_epi8('0'));
    const __m128i is_decimal = _mm_cmpeq_epi8(_mm_min_epu8(decimal, _mm_set1_epi8(9)), decimal);
    // 'A'-'F' and 'a'-'f', and nothing else, fold onto 'a'-'f'.
    const __m128i letter = _mm_sub_epi8(_mm_or_si128(chars, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    const __m128i is_letter = _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter);
    if (_mm_movemask_epi8(_mm_or_si128(is_decimal, is_letter)) != 0xFFFF) return false;
    value = _mm_or_si128(_mm_and_si128(is_decimal, decimal),
                         _mm_and_si128(is_letter, _mm_add_epi8(letter, _mm_set1_epi8(10))));
    return true;
}

[[gnu::target("ssse3")]] inline bool read(const unsigned char* chars, unsigned char* out) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chars));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chars + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chars + 32));
    const __m128i spaces = _mm_cmpeq_epi8(role_of<2>(a, b, c), _mm_set1_epi8(' '));
    if (_mm_movemask_epi8(spaces) != 0xFFFF) return false;
    __m128i high, low;
    if (!digit_values(role_of<0>(a, b, c), high) || !digit_values(role_of<1>(a, b, c), low)) return false;
    // Each high value is below 16: shifting the 16-bit lanes moves no bit
    // into the next byte.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(_mm_slli_epi16(high, 4), low));
    return true;
}

}  // namespace sixteen_pairs
#endif

// Reads the pairs of a hex column: the pieces of three characters, two
// hexadecimal digits and a space. A reader asks the processor once, when it
// is made; a caller makes one per call and reads every line with it.
class PairReader {
public:
    // The pairs that lie wholly in chars[at:limit], each as answer(its byte
    // value) into `out`, which it advances. Returns where it stopped: at
    // the end of the last pair before `limit`, or at a piece that is not
    // such a pair or whose value has a negative answer. Runs no interpreter
    // code.
    template <class CharT, class Answer = AsItself>
    [[gnu::always_inline]] Py_ssize_t operator()(const CharT* chars, Py_ssize_t at, Py_ssize_t limit,
                                                 unsigned char*& out, Answer answer = {}) const {
        constexpr bool as_itself = std::is_same_v<Answer, AsItself>;
        unsigned char* next = out;
#if NATIVE_X86_DISPATCH
        if constexpr (as_itself && sizeof(CharT) == 1) {
            if (sixteen_at_once_) {
                while (at + 48 <= limit &&
                       sixteen_pairs::read(reinterpret_cast<const unsigned char*>(chars + at), next)) {
                    next += 16;
                    at += 48;
                }
            }
        }
#endif
        // The step does not depend on the characters read, so iterations
        // overlap instead of waiting for each other's table look-ups.
        while (at + 2 < limit) {
            const int high = hex_value(chars[at]), low = hex_value(chars[at + 1]);
            if ((high | low) < 0 || chars[at + 2] != ' ') break;
            const int known = answer(static_cast<unsigned>(high << 4 | low));
            if constexpr (!as_itself) {
                if (known < 0) break;
            }
            *next++ = static_cast<unsigned char>(known);
            at += 3;
        }
        out = next;
        return at;
    }

private:
#if NATIVE_X86_DISPATCH
    bool sixteen_at_once_ = cpu::has_ssse3();
#endif
};

}  // namespace native::dumptext
