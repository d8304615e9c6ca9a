// ASCII character classes (one constexpr table, locale-independent), the string helpers
// built on them and the tokenizer every parser splits its text with. Stateless.
#include "ctype.h"

#include "detail/common.hpp"

#include <cstring>

namespace {

constexpr bool is_in(char c, const char *list)
{
    for (; *list != '\0'; ++list) {
        if (*list == c) {
            return true;
        }
    }
    return false;
}

constexpr uint16_t class_of(int c)
{
    uint16_t bits = 0;
    if (c < 0x20 || c == 0x7F) {
        bits |= TARVIK_CTYPE_CONTROL;
    }
    if (c == ' ' || (c >= '\t' && c <= '\r')) {
        bits |= TARVIK_CTYPE_SPACE;
    }
    if (c > 0x20 && c < 0x7F && is_in(static_cast<char>(c), "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~")) {
        bits |= TARVIK_CTYPE_PUNCT;
    }
    if (c >= '0' && c <= '9') {
        bits |= TARVIK_CTYPE_DIGIT | TARVIK_CTYPE_BASE64;
    }
    if (c >= 'A' && c <= 'Z') {
        bits |= TARVIK_CTYPE_UPPER | TARVIK_CTYPE_BASE64;
    }
    if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) {
        bits |= TARVIK_CTYPE_HEX;
    }
    if (c >= 'a' && c <= 'z') {
        bits |= TARVIK_CTYPE_LOWER | TARVIK_CTYPE_BASE64;
    }
    if (c == '+' || c == '/' || c == '=') {
        bits |= TARVIK_CTYPE_BASE64;
    }
    if (c == '\n') {
        bits |= TARVIK_CTYPE_LF;
    }
    if (c == '\r') {
        bits |= TARVIK_CTYPE_CR;
    }
    if (c == '\t' || c == ' ' || (c > 0x20 && is_in(static_cast<char>(c), "\"(),/:;<=>?@[\\]{}"))) {
        bits |= TARVIK_CTYPE_TOKEN_SEP;
    }
    return bits;
}

struct ClassTable {
    uint16_t m_bits[128];
};

constexpr ClassTable make_table()
{
    ClassTable table{};
    for (int c = 0; c < 128; ++c) {
        table.m_bits[c] = class_of(c);
    }
    return table;
}

constexpr ClassTable s_class_table = make_table();

static_assert(s_class_table.m_bits[0x09] ==
              (TARVIK_CTYPE_CONTROL | TARVIK_CTYPE_SPACE | TARVIK_CTYPE_TOKEN_SEP));
static_assert(s_class_table.m_bits[0x61] ==
              (TARVIK_CTYPE_LOWER | TARVIK_CTYPE_HEX | TARVIK_CTYPE_BASE64));
static_assert(s_class_table.m_bits[0x5F] == TARVIK_CTYPE_PUNCT);

inline bool has_class(int c, unsigned int mask)
{
    if (c < 0) {
        return false;
    }
    if (c >= 128) {
        return (mask & TARVIK_CTYPE_HIGH) != 0;
    }
    return (s_class_table.m_bits[c] & mask) != 0;
}

// A null list stands for the white-space class. NUL is never a member.
inline bool in_list(int c, const char *list)
{
    if (c == 0) {
        return false;
    }
    if (list == nullptr) {
        return has_class(c, TARVIK_CTYPE_SPACE);
    }
    return strchr(list, c) != nullptr;
}

// Shared by the three tokenizer forms: start of the token, *end set to the stop.
const char *scan_word(int skip_space, const char *separators, const char *text, const char **end)
{
    if (skip_space != 0) {
        while (has_class(static_cast<unsigned char>(*text), TARVIK_CTYPE_SPACE)) {
            ++text;
        }
    }
    const char *stop = text;
    if (separators == nullptr) {
        stop += strlen(stop);
    } else {
        stop += strcspn(stop, separators);
    }
    *end = stop;
    return text;
}

char *copy_range(const char *start, const char *end, const char *tag, unsigned long line)
{
    return tarvik::detail::copy_range_tag(start, static_cast<size_t>(end - start), tag, line);
}

} // namespace

extern "C" {

TARVIK_API int tarvik_ctype_select(int character, unsigned int mask)
{
    return has_class(character, mask) ? 1 : 0;
}

TARVIK_API int tarvik_to_upper(int character)
{
    return has_class(character, TARVIK_CTYPE_LOWER) ? character - 32 : character;
}

TARVIK_API int tarvik_to_lower(int character)
{
    return has_class(character, TARVIK_CTYPE_UPPER) ? character + 32 : character;
}

TARVIK_API char *tarvik_strupper(char *string)
{
    if (string != nullptr) {
        for (char *at = string; *at != '\0'; ++at) {
            *at = static_cast<char>(tarvik_to_upper(static_cast<unsigned char>(*at)));
        }
    }
    return string;
}

TARVIK_API char *tarvik_strlower(char *string)
{
    if (string != nullptr) {
        for (char *at = string; *at != '\0'; ++at) {
            *at = static_cast<char>(tarvik_to_lower(static_cast<unsigned char>(*at)));
        }
    }
    return string;
}

TARVIK_API int tarvik_is_decimal_string(const char *string)
{
    if (string == nullptr || *string == '\0') {
        return 0;
    }
    for (; *string != '\0'; ++string) {
        char c = *string;
        if (!(c >= '0' && c <= '9') && c != '+' && c != '-') {
            return 0;
        }
    }
    return 1;
}

TARVIK_API const char *tarvik_check_string(const char *string)
{
    return string != nullptr ? string : "";
}

TARVIK_API const char *tarvik_check_string_ex(const char *string, const char *fallback)
{
    return string != nullptr ? string : fallback;
}

TARVIK_API char *tarvik_skip_space(const char *string)
{
    return tarvik_skip_charlist(string, nullptr);
}

TARVIK_API char *tarvik_skip_charlist(const char *string, const char *list)
{
    if (string == nullptr) {
        return nullptr;
    }
    while (in_list(static_cast<unsigned char>(*string), list)) {
        ++string;
    }
    return const_cast<char *>(string);
}

TARVIK_API int tarvik_is_charlist(int character, const char *list)
{
    return in_list(character, list) ? 1 : 0;
}

TARVIK_API char *tarvik_trim_charlist_left(char *string, const char *list)
{
    return tarvik_skip_charlist(string, list);
}

TARVIK_API char *tarvik_trim_charlist_right(char *string, const char *list)
{
    if (string == nullptr) {
        return nullptr;
    }
    size_t length = strlen(string);
    while (length > 0 && in_list(static_cast<unsigned char>(string[length - 1]), list)) {
        --length;
    }
    string[length] = '\0';
    return string;
}

TARVIK_API char *tarvik_trim_charlist(char *string, const char *list)
{
    return tarvik_trim_charlist_right(tarvik_trim_charlist_left(string, list), list);
}

TARVIK_API char *tarvik_get_word_sep(int skip_space, const char *separators, char **cursor)
{
    if (cursor == nullptr || *cursor == nullptr) {
        return nullptr;
    }
    const char *end = nullptr;
    const char *start = scan_word(skip_space, separators, *cursor, &end);
    *cursor = const_cast<char *>(end);
    return const_cast<char *>(start);
}

TARVIK_API char *tarvik_get_word_sep_alloc_c(int skip_space, const char *separators,
                                             const char **cursor)
{
    if (cursor == nullptr || *cursor == nullptr) {
        return nullptr;
    }
    const char *end = nullptr;
    const char *start = scan_word(skip_space, separators, *cursor, &end);
    *cursor = end;
    return copy_range(start, end, TARVIK_TAG);
}

TARVIK_API char *tarvik_get_word_sep_alloc(int skip_space, const char *separators, char **cursor)
{
    if (cursor == nullptr || *cursor == nullptr) {
        return nullptr;
    }
    const char *end = nullptr;
    const char *start = scan_word(skip_space, separators, *cursor, &end);
    *cursor = const_cast<char *>(end);
    return copy_range(start, end, TARVIK_TAG);
}

} // extern "C"
