// Character-set detection and conversion to UTF-8 over the generated code page 949 and
// Shift-JIS tables (charset_tables.cpp). Stateless: the tables are constant data.
#include "charset.h"

#include <cstring>

#include "detail/common.hpp"
#include "utf8.h"

namespace tarvik::detail {
// Defined in the generated charset_tables.cpp: (code, scalar) pairs sorted by code, and
// for each first byte 0x80..0xFF the index of its row's first pair (the last entry is the
// pair count). Every scalar of a double-byte code is non-zero and below 0x10000.
extern const uint32_t g_cp949_pairs[];
extern const size_t g_cp949_pair_count;
extern const uint16_t g_cp949_rows[129];
extern const uint32_t g_shiftjis_pairs[];
extern const size_t g_shiftjis_pair_count;
extern const uint16_t g_shiftjis_rows[129];
} // namespace tarvik::detail

namespace {

using tarvik::detail::g_cp949_pairs;
using tarvik::detail::g_cp949_rows;
using tarvik::detail::g_shiftjis_pairs;
using tarvik::detail::g_shiftjis_rows;

constexpr uint32_t REFUSED = TARVIK_CHARSET_UNKNOWN_PAIR | TARVIK_CHARSET_TRUNCATED;

// Scalar of a double-byte code (0x8000..0xFFFF), 0 when absent. The same answer as a
// search of the whole table, but it looks inside the first byte's row only (at most 188
// pairs). Most rows are dense toward their end (and many toward their start), so the
// pair usually sits where counting back from the row's last code puts it; otherwise
// the row is bisected without branches on the data.
inline uint32_t find_pair(const uint32_t *pairs, const uint16_t *rows, uint32_t code)
{
    size_t row = (code >> 8) - 0x80;
    size_t begin = rows[row];
    size_t end = rows[row + 1];
    if (begin == end) {
        return 0;
    }
    uint32_t last = pairs[2 * (end - 1)];
    if (code <= last && last - code < end - begin) {
        const uint32_t *guess = pairs + 2 * (end - 1 - (last - code));
        if (guess[0] == code) {
            return guess[1];
        }
    }
    uint32_t first_code = pairs[2 * begin];
    if (code >= first_code && code - first_code < end - begin) {
        const uint32_t *guess = pairs + 2 * (begin + (code - first_code));
        if (guess[0] == code) {
            return guess[1];
        }
    }
    const uint32_t *first = pairs + 2 * begin;
    size_t count = end - begin;
    while (count > 1) {
        size_t half = count / 2;
        first = first[2 * half] <= code ? first + 2 * half : first;
        count -= half;
    }
    return first[0] == code ? first[1] : 0;
}

inline uint32_t find_cp949(uint32_t code) { return find_pair(g_cp949_pairs, g_cp949_rows, code); }

inline uint32_t find_shiftjis(uint32_t code)
{
    return find_pair(g_shiftjis_pairs, g_shiftjis_rows, code);
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
    return tarvik_binary_search_from_uint_table(g_cp949_pairs, tarvik::detail::g_cp949_pair_count,
                                                code, 0);
}

TARVIK_API uint32_t tarvik_shiftjs_to_ucs(uint32_t code)
{
    return tarvik_binary_search_from_uint_table(g_shiftjis_pairs,
                                                tarvik::detail::g_shiftjis_pair_count, code, 0);
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
