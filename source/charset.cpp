// Character-set detection and conversion to UTF-8 over the generated code page 949 and
// Shift-JIS tables (charset_tables.cpp). Stateless: the tables are constant data.
#include "charset.h"

#include <cstring>

#include "detail/charset_tables.hpp"
#include "detail/common.hpp"
#include "utf8.h"

namespace {

using tarvik::detail::g_cp949_hangul_member_bases;
using tarvik::detail::g_cp949_hangul_member_steps;
using tarvik::detail::g_cp949_hangul_other_bases;
using tarvik::detail::g_cp949_hangul_other_steps;
using tarvik::detail::g_cp949_rows;
using tarvik::detail::g_cp949_scalars;
using tarvik::detail::g_shiftjis_rows;
using tarvik::detail::g_shiftjis_scalars;
using tarvik::detail::HANGUL_GROUP;

constexpr uint32_t REFUSED = TARVIK_CHARSET_UNKNOWN_PAIR | TARVIK_CHARSET_TRUNCATED;

// Code page 949 Hangul: the 2350 member codes of rows B0..C8 (second byte A1..FE) and the
// 8822 extension codes each take their syllables in Unicode order.
constexpr uint32_t HANGUL_FIRST = 0xAC00;
constexpr uint32_t HANGUL_MEMBER_LEAD = 0xB0;
constexpr uint32_t HANGUL_MEMBER_ROWS = 25;
constexpr uint32_t HANGUL_EXTENSION_COUNT = 8822;
// Extension codes per first byte from 81 on: 178 (second bytes 41-5A, 61-7A, 81-FE) up to
// A0, then 84 (the same below A1), until all are numbered.
constexpr uint32_t HANGUL_WIDE_COLUMNS = 178;
constexpr uint32_t HANGUL_NARROW_COLUMNS = 84;

// Syllable offset of member code n (n < 2350).
inline uint32_t hangul_member(uint32_t n)
{
    return g_cp949_hangul_member_bases[n / HANGUL_GROUP] + g_cp949_hangul_member_steps[n];
}

// Syllable offset of extension code n (n < 8822).
inline uint32_t hangul_other(uint32_t n)
{
    uint32_t place = n % HANGUL_GROUP;
    return g_cp949_hangul_other_bases[n / HANGUL_GROUP] + place +
           ((g_cp949_hangul_other_steps[n / HANGUL_GROUP] >> (4 * place)) & 0xFu);
}

// Scalar of a double-byte code (0x8000..0xFFFF) from the rows of its first byte; 0 when
// the row does not map the second byte. Masks rather than a branch: in mixed text the
// caller's own choice of way is hard enough to predict.
inline uint32_t find_in_rows(const uint32_t *rows, const uint16_t *scalars, uint32_t code)
{
    uint32_t row = rows[(code >> 8) - 0x80];
    uint32_t index = (code & 0xFFu) - ((row >> 8) & 0xFFu);
    uint32_t in_row = 0u - static_cast<uint32_t>(index < (row & 0xFFu));
    return scalars[((row >> 16) + index) & in_row] & in_row;
}

// Column of an extension second byte among 41-5A, 61-7A and 81-FE, or 0xFF.
constexpr uint8_t hangul_column(uint32_t trail)
{
    return trail - 0x41 < 26    ? static_cast<uint8_t>(trail - 0x41)
           : trail - 0x61 < 26  ? static_cast<uint8_t>(trail - 0x61 + 26)
           : trail - 0x81 < 126 ? static_cast<uint8_t>(trail - 0x81 + 52)
                                : 0xFF;
}

struct HangulColumns {
    uint8_t m_column[256];
};

constexpr HangulColumns make_hangul_columns()
{
    HangulColumns columns{};
    for (uint32_t trail = 0; trail < 256; ++trail) {
        columns.m_column[trail] = hangul_column(trail);
    }
    return columns;
}

constexpr HangulColumns HANGUL_COLUMNS = make_hangul_columns();

// Per first byte 0x80..0xFF: (number of its first extension code << 8) | its columns.
struct HangulRows {
    uint32_t m_row[128];
};

constexpr HangulRows make_hangul_rows()
{
    HangulRows rows{};
    uint32_t n = 0;
    for (uint32_t lead = 0x81; lead < 0x100 && n < HANGUL_EXTENSION_COUNT; ++lead) {
        uint32_t columns = lead < 0xA1 ? HANGUL_WIDE_COLUMNS : HANGUL_NARROW_COLUMNS;
        columns = columns < HANGUL_EXTENSION_COUNT - n ? columns : HANGUL_EXTENSION_COUNT - n;
        rows.m_row[lead - 0x80] = n << 8 | columns;
        n += columns;
    }
    return rows;
}

constexpr HangulRows HANGUL_ROWS = make_hangul_rows();

// Scalar of a code page 949 double-byte code (0x8000..0xFFFF), 0 when absent. Member
// Hangul first, as most Korean text is made of them.
uint32_t find_cp949(uint32_t code)
{
    uint32_t lead = code >> 8;
    uint32_t trail = code & 0xFFu;
    if (lead - HANGUL_MEMBER_LEAD < HANGUL_MEMBER_ROWS && trail - 0xA1 < 94) {
        return HANGUL_FIRST + hangul_member((lead - HANGUL_MEMBER_LEAD) * 94 + (trail - 0xA1));
    }
    // From first byte A1 on the extension codes stop below second byte A1 (column 84).
    // Both remaining ways are computed and one is masked out, without a branch.
    uint32_t row = HANGUL_ROWS.m_row[lead - 0x80];
    uint32_t column = HANGUL_COLUMNS.m_column[trail];
    uint32_t other = 0u - static_cast<uint32_t>(column < (row & 0xFFu));
    uint32_t hangul = HANGUL_FIRST + hangul_other(((row >> 8) + column) & other);
    // The rows hold nothing below A1A1 or with a second byte below A1.
    uint32_t scalar = find_in_rows(g_cp949_rows, g_cp949_scalars, code);
    return (hangul & other) | (scalar & ~other);
}

// Scalar of a Shift-JIS double-byte code (0x8000..0xFFFF), 0 when absent.
inline uint32_t find_shiftjis(uint32_t code)
{
    return find_in_rows(g_shiftjis_rows, g_shiftjis_scalars, code);
}

inline size_t utf8_length(uint32_t scalar) { return scalar < 0x80 ? 1 : scalar < 0x800 ? 2 : 3; }

// Writes a scalar of the tables (below 0x10000) as UTF-8; returns the bytes written.
inline size_t put_scalar(unsigned char *out, uint32_t scalar)
{
    if (scalar < 0x80) {
        out[0] = static_cast<unsigned char>(scalar);
        return 1;
    }
    if (scalar < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0u | (scalar >> 6));
        out[1] = static_cast<unsigned char>(0x80u | (scalar & 0x3Fu));
        return 2;
    }
    out[0] = static_cast<unsigned char>(0xE0u | ((scalar >> 12) & 0x0Fu));
    out[1] = static_cast<unsigned char>(0x80u | ((scalar >> 6) & 0x3Fu));
    out[2] = static_cast<unsigned char>(0x80u | (scalar & 0x3Fu));
    return 3;
}

// The flags, and what the converter needs to know beyond them.
struct Detection {
    uint32_t m_flags;
    // Table to try first: Shift-JIS when it accepted every pair, or, when both tables met
    // an unknown pair, when it held out longer than code page 949.
    bool m_shiftjis_first;
    // Converted size without the NUL when every pair is known to the first table; 0 when
    // it cannot be known in advance.
    size_t m_output_size;
};

bool is_utf8(const unsigned char *text, size_t size, uint32_t *flags_out)
{
    uint32_t flags = 0;
    size_t at = 0;
    while (at < size) {
        if (text[at] < 0x80) {
            flags |= TARVIK_CHARSET_SINGLE_BYTE;
            ++at;
            continue;
        }
        size_t length = tarvik_utf8_character_decode(reinterpret_cast<const char *>(text + at),
                                                     size - at, nullptr);
        if (length == 0) {
            return false;
        }
        flags |= TARVIK_CHARSET_UTF8;
        at += length;
    }
    *flags_out = flags;
    return true;
}

Detection detect(const unsigned char *text, size_t size)
{
    Detection result{0, false, 0};
    if (is_utf8(text, size, &result.m_flags)) {
        return result;
    }
    uint32_t flags = 0;
    bool cp949 = true;
    bool shiftjis = true;
    size_t cp949_accepted = 0;
    size_t shiftjis_accepted = 0;
    size_t cp949_bytes = 0;
    size_t shiftjis_bytes = 0;
    size_t plain_bytes = 0;
    for (size_t at = 0; at < size && text[at] != 0;) {
        uint32_t lead = text[at];
        if (lead < 0x80) {
            flags |= TARVIK_CHARSET_SINGLE_BYTE;
            ++plain_bytes;
            ++at;
            continue;
        }
        flags |= TARVIK_CHARSET_DOUBLE_BYTE;
        if (at + 1 >= size || text[at + 1] == 0) {
            flags |= TARVIK_CHARSET_TRUNCATED;
            ++plain_bytes; // the converter writes "?" for it
            break;
        }
        uint32_t code = (lead << 8) | text[at + 1];
        at += 2;
        if (!cp949 && !shiftjis) {
            continue;
        }
        if (cp949) {
            uint32_t scalar = find_cp949(code);
            cp949 = scalar != 0;
            cp949_accepted += cp949 ? 1 : 0;
            cp949_bytes += cp949 ? utf8_length(scalar) : 0;
        }
        if (shiftjis) {
            uint32_t scalar = find_shiftjis(code);
            shiftjis = scalar != 0;
            shiftjis_accepted += shiftjis ? 1 : 0;
            shiftjis_bytes += shiftjis ? utf8_length(scalar) : 0;
        }
        if (!cp949 && !shiftjis) {
            flags |= TARVIK_CHARSET_UNKNOWN_PAIR;
        }
    }
    result.m_flags = flags;
    if ((flags & TARVIK_CHARSET_UNKNOWN_PAIR) != 0) {
        result.m_shiftjis_first = shiftjis_accepted > cp949_accepted;
        return result;
    }
    result.m_flags |=
        (cp949 ? TARVIK_CHARSET_CP949 : 0u) | (shiftjis ? TARVIK_CHARSET_SHIFTJIS : 0u);
    result.m_shiftjis_first = shiftjis;
    result.m_output_size = plain_bytes + (shiftjis ? shiftjis_bytes : cp949_bytes);
    return result;
}

char *copy_text(const char *text, size_t size)
{
    auto *copy = static_cast<char *>(tarvik_alloc_tag(size + 1, TARVIK_TAG));
    if (copy != nullptr) {
        memcpy(copy, text, size);
        copy[size] = '\0';
    }
    return copy;
}

// UTF-8 input, one character at a time; stops at the first byte that starts none.
char *reencode_utf8(const char *text, size_t size)
{
    auto *out = static_cast<char *>(tarvik_alloc_tag(size + 1, TARVIK_TAG));
    if (out == nullptr) {
        return nullptr;
    }
    size_t in = 0;
    size_t written = 0;
    while (in < size) {
        uint32_t scalar = 0;
        size_t length = tarvik_utf8_character_decode(text + in, size - in, &scalar);
        if (length == 0) {
            break;
        }
        char encoded[4];
        size_t encoded_length = tarvik_utf8_character_encode(scalar, encoded, sizeof(encoded));
        if (encoded_length == 0 || encoded_length > length) {
            memcpy(out + written, text + in, length);
            written += length;
        } else {
            memcpy(out + written, encoded, encoded_length);
            written += encoded_length;
        }
        in += length;
    }
    out[written] = '\0';
    return out;
}

// Double-byte input up to its NUL into capacity bytes (the NUL included).
size_t convert_double_byte(const unsigned char *text, size_t size, const Detection &detection,
                           unsigned char *out, size_t capacity)
{
    bool shiftjis_first = detection.m_shiftjis_first;
    unsigned char *start = out;
    unsigned char *last = out + capacity - 1; // room for the NUL
    size_t at = 0;
    while (at < size && text[at] != 0 && out < last) {
        uint32_t lead = text[at];
        if (lead < 0x80) {
            *out++ = static_cast<unsigned char>(lead);
            ++at;
            continue;
        }
        if (at + 1 >= size || text[at + 1] == 0) {
            *out++ = '?';
            break;
        }
        uint32_t code = (lead << 8) | text[at + 1];
        at += 2;
        // Pairs that one table knows are converted even in a text that neither table
        // accepts as a whole (forced conversion); only unknown pairs become "?".
        uint32_t scalar = shiftjis_first ? find_shiftjis(code) : find_cp949(code);
        if (scalar == 0) {
            scalar = shiftjis_first ? find_cp949(code) : find_shiftjis(code);
        }
        if (scalar == 0 || static_cast<size_t>(last - out) < utf8_length(scalar)) {
            *out++ = '?';
        } else {
            out += put_scalar(out, scalar);
        }
    }
    *out = '\0';
    return static_cast<size_t>(out - start);
}

char *convert_double_byte_string(const char *text, size_t size, const Detection &detection)
{
    auto *in = reinterpret_cast<const unsigned char *>(text);
    const void *nul = memchr(text, 0, size);
    size_t span =
        nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - text) : size;
    // A pair becomes at most three bytes (the tables hold no scalar above 0xFFFF).
    size_t capacity = detection.m_output_size + 1;
    bool exact = detection.m_output_size != 0;
    if (!exact) {
        if (span / 2 > SIZE_MAX - span - 1) {
            return nullptr;
        }
        capacity = span + span / 2 + 1;
    }
    auto *out = static_cast<unsigned char *>(tarvik_alloc_tag(capacity, TARVIK_TAG));
    if (out == nullptr) {
        return nullptr;
    }
    size_t length = convert_double_byte(in, span, detection, out, capacity);
    if (!exact && capacity - length - 1 > capacity / 8) {
        // Give back the worst-case reserve when it is worth a copy.
        void *smaller = tarvik_realloc_tag(out, length + 1, TARVIK_TAG);
        if (smaller != nullptr) {
            out = static_cast<unsigned char *>(smaller);
        }
    }
    return reinterpret_cast<char *>(out);
}

} // namespace

extern "C" {

TARVIK_API uint32_t tarvik_binary_search_from_uint_table(const uint32_t *table, size_t count,
                                                         uint32_t key, uint32_t fallback)
{
    if (table == nullptr) {
        return fallback;
    }
    size_t low = 0;
    size_t high = count;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        uint32_t probe = table[2 * middle];
        if (probe == key) {
            return table[2 * middle + 1];
        }
        if (probe < key) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return fallback;
}

TARVIK_API uint32_t tarvik_cp949_to_ucs(uint32_t code)
{
    if (code < 0x80) {
        return code;
    }
    return code - 0x8000 < 0x8000 ? find_cp949(code) : 0;
}

TARVIK_API uint32_t tarvik_shiftjs_to_ucs(uint32_t code)
{
    if (code < 0x80) {
        return code == 0x5C ? 0x00A5 : code == 0x7E ? 0x203E : code;
    }
    if (code - 0xA1 < 0xE0 - 0xA1) {
        return 0xFF61 + (code - 0xA1); // half-width katakana
    }
    return code - 0x8000 < 0x8000 ? find_shiftjis(code) : 0;
}

TARVIK_API uint32_t tarvik_detect_string_charset(const char *text, size_t size)
{
    if (text == nullptr || size == 0) {
        return 0;
    }
    return detect(reinterpret_cast<const unsigned char *>(text), size).m_flags;
}

TARVIK_API char *tarvik_convert_to_utf8_string(const char *text, size_t size, uint32_t options)
{
    if (text == nullptr) {
        return nullptr;
    }
    if (size == 0) {
        return copy_text(text, 0);
    }
    Detection detection = detect(reinterpret_cast<const unsigned char *>(text), size);
    if ((detection.m_flags & REFUSED) != 0 && (options & TARVIK_CHARSET_FORCE) == 0) {
        return nullptr;
    }
    if ((detection.m_flags & TARVIK_CHARSET_UTF8) != 0) {
        return (options & TARVIK_CHARSET_REENCODE) != 0 ? reencode_utf8(text, size)
                                                        : copy_text(text, size);
    }
    if ((detection.m_flags & TARVIK_CHARSET_DOUBLE_BYTE) == 0) {
        const void *nul = memchr(text, 0, size);
        return copy_text(text, nul != nullptr
                                   ? static_cast<size_t>(static_cast<const char *>(nul) - text)
                                   : size);
    }
    return convert_double_byte_string(text, size, detection);
}

} // extern "C"
