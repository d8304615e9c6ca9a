// UTF-8 single-character decoder and encoder and the text measurements built on them.
// Only shortest forms of Unicode scalars count as characters, so that no byte sequence
// can smuggle a NUL, a slash or a surrogate past a check made on the decoded text.
#include "utf8.h"

namespace {

// Decodes the character at text; 0 when the bytes do not form one.
inline size_t decode(const unsigned char *text, size_t size, uint32_t *scalar_out)
{
    if (size == 0) {
        return 0;
    }
    uint32_t lead = text[0];
    if (lead < 0x80) {
        *scalar_out = lead;
        return 1;
    }
    size_t length;
    uint32_t scalar;
    uint32_t minimum;
    if (lead < 0xC2) {
        // Continuation bytes cannot start a character; C0 and C1 only start overlong forms.
        return 0;
    } else if (lead < 0xE0) {
        length = 2;
        scalar = lead & 0x1Fu;
        minimum = 0x80;
    } else if (lead < 0xF0) {
        length = 3;
        scalar = lead & 0x0Fu;
        minimum = 0x800;
    } else if (lead < 0xF5) {
        length = 4;
        scalar = lead & 0x07u;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (size < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        uint32_t next = text[i];
        if ((next & 0xC0u) != 0x80u) {
            return 0;
        }
        scalar = (scalar << 6) | (next & 0x3Fu);
    }
    if (scalar < minimum || (scalar >= 0xD800 && scalar <= 0xDFFF) || scalar > 0x10FFFF) {
        return 0;
    }
    *scalar_out = scalar;
    return length;
}

// What one step of a measurement walk found.
struct Step {
    size_t m_bytes; // at least 1; 0 only at the end of the text (size exhausted or a NUL)
    bool m_valid;
};

inline Step step(const unsigned char *text, size_t size)
{
    if (size == 0 || text[0] == 0) {
        return Step{0, true};
    }
    uint32_t scalar = 0;
    size_t length = decode(text, size, &scalar);
    return length == 0 ? Step{1, false} : Step{length, true};
}

} // namespace

extern "C" {

TARVIK_API size_t tarvik_utf8_character_decode(const char *text, size_t size, uint32_t *scalar_out)
{
    uint32_t scalar = 0;
    size_t length = 0;
    if (text != nullptr) {
        length = decode(reinterpret_cast<const unsigned char *>(text), size, &scalar);
    }
    if (scalar_out != nullptr) {
        *scalar_out = length != 0 ? scalar : 0;
    }
    return length;
}

TARVIK_API size_t tarvik_utf8_character_encode(uint32_t scalar, char *buffer, size_t size)
{
    size_t length;
    if (scalar < 0x80) {
        length = 1;
    } else if (scalar < 0x800) {
        length = 2;
    } else if (scalar < 0x10000) {
        if (scalar >= 0xD800 && scalar <= 0xDFFF) {
            return 0; // the decoder would refuse the bytes
        }
        length = 3;
    } else if (scalar < 0x110000) {
        length = 4;
    } else {
        return 0;
    }
    if (buffer == nullptr || size < length) {
        return 0;
    }
    auto *out = reinterpret_cast<unsigned char *>(buffer);
    switch (length) {
    case 1:
        out[0] = static_cast<unsigned char>(scalar);
        break;
    case 2:
        out[0] = static_cast<unsigned char>(0xC0u | (scalar >> 6));
        out[1] = static_cast<unsigned char>(0x80u | (scalar & 0x3Fu));
        break;
    case 3:
        out[0] = static_cast<unsigned char>(0xE0u | (scalar >> 12));
        out[1] = static_cast<unsigned char>(0x80u | ((scalar >> 6) & 0x3Fu));
        out[2] = static_cast<unsigned char>(0x80u | (scalar & 0x3Fu));
        break;
    default:
        out[0] = static_cast<unsigned char>(0xF0u | (scalar >> 18));
        out[1] = static_cast<unsigned char>(0x80u | ((scalar >> 12) & 0x3Fu));
        out[2] = static_cast<unsigned char>(0x80u | ((scalar >> 6) & 0x3Fu));
        out[3] = static_cast<unsigned char>(0x80u | (scalar & 0x3Fu));
        break;
    }
    if (size > length) {
        out[length] = 0;
    }
    return length;
}

TARVIK_API size_t tarvik_utf8_character_count(const char *text, size_t size)
{
    if (text == nullptr) {
        return 0;
    }
    auto *at = reinterpret_cast<const unsigned char *>(text);
    size_t count = 0;
    for (Step s = step(at, size); s.m_bytes != 0; s = step(at, size)) {
        at += s.m_bytes;
        size -= s.m_bytes;
        ++count;
    }
    return count;
}

TARVIK_API size_t tarvik_utf8_character_bytes(const char *text, size_t size, size_t count)
{
    if (text == nullptr) {
        return 0;
    }
    auto *at = reinterpret_cast<const unsigned char *>(text);
    size_t bytes = 0;
    for (; count > 0; --count) {
        Step s = step(at + bytes, size - bytes);
        if (s.m_bytes == 0) {
            break;
        }
        bytes += s.m_bytes;
    }
    return bytes;
}

TARVIK_API size_t tarvik_utf8_display_width(const char *text, size_t size)
{
    if (text == nullptr) {
        return 0;
    }
    auto *at = reinterpret_cast<const unsigned char *>(text);
    size_t width = 0;
    for (Step s = step(at, size); s.m_bytes != 0; s = step(at, size)) {
        width += s.m_bytes == 1 ? 1 : 2;
        at += s.m_bytes;
        size -= s.m_bytes;
    }
    return width;
}

TARVIK_API int tarvik_utf8_is_valid(const char *text, size_t size)
{
    if (text == nullptr) {
        return 0;
    }
    auto *at = reinterpret_cast<const unsigned char *>(text);
    for (Step s = step(at, size); s.m_bytes != 0; s = step(at, size)) {
        if (!s.m_valid) {
            return 0;
        }
        at += s.m_bytes;
        size -= s.m_bytes;
    }
    return 1;
}

} // extern "C"
