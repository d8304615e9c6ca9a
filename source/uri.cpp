// Resource locators and percent coding. A record and each option are one heap block whose
// strings live behind the fields, so a locator costs one allocation plus one per option and
// is released whole; nothing here keeps state between calls.
#include "uri.h"

#include "detail/common.hpp"
#include "heap.h"
#include "pattern.h"

#include <cstring>

namespace {

using tarvik::detail::Cursor;
using tarvik::detail::hex_digit_value;
using tarvik::detail::is_alnum;
using tarvik::detail::is_digit;
using tarvik::detail::is_space;
using tarvik::detail::Text;

constexpr uint32_t PLUS = TARVIK_PERCENT_PLUS;

// A part of the input; a null m_data means the part is absent (as opposed to empty).
bool present(Text part) { return part.m_data != nullptr; }

const char *find(Text text, char c)
{
    return text.empty() ? nullptr
                        : static_cast<const char *>(memchr(text.m_data, c, text.m_length));
}

const char *find_last(Text text, char c)
{
    return text.empty() ? nullptr
                        : static_cast<const char *>(memrchr(text.m_data, c, text.m_length));
}

Text between(const char *from, const char *to)
{
    return Text(from, static_cast<size_t>(to - from));
}

// Digits and sign characters, at least one: the port test of the splitter.
bool is_decimal(Text text)
{
    if (text.empty()) {
        return false;
    }
    for (size_t i = 0; i < text.m_length; ++i) {
        char c = text.m_data[i];
        if (!is_digit(c) && c != '+' && c != '-') {
            return false;
        }
    }
    return true;
}

// Decodes text into out, which has room for text.m_length + 1 bytes (decoding never
// lengthens); returns the decoded length, NUL bytes included, and terminates it.
size_t decode_into(Text text, uint32_t flags, char *out)
{
    Cursor cursor(text);
    size_t length = 0;
    while (!cursor.at_end()) {
        int c = cursor.take();
        if (c == '%') {
            int value = 0;
            for (int digits = 0; digits < 2 && hex_digit_value(cursor.peek()) >= 0; ++digits) {
                value = value * 16 + hex_digit_value(cursor.take());
            }
            c = value;
        } else if (c == '+' && (flags & PLUS) != 0) {
            c = ' ';
        }
        out[length++] = static_cast<char>(c);
    }
    out[length] = '\0';
    return length;
}

// Fills the strings area behind a record, one terminated string after the other.
class Packer {
  public:
    explicit Packer(char *area) : m_at(area) {}

    char *put(Text part)
    {
        if (!present(part)) {
            return nullptr;
        }
        char *start = m_at;
        memcpy(m_at, part.m_data, part.m_length);
        m_at += part.m_length;
        *m_at++ = '\0';
        return start;
    }
    // The decoded part, or null when it would hold a NUL byte (a cut text would be a
    // different name or path, so it is refused rather than shortened).
    char *put_decoded(Text part, uint32_t flags)
    {
        if (!present(part)) {
            return nullptr;
        }
        char *start = m_at;
        size_t length = decode_into(part, flags, m_at);
        m_at += part.m_length + 1;
        return strlen(start) == length ? start : nullptr;
    }

  private:
    char *m_at;
};

size_t room(Text part) { return present(part) ? part.m_length + 1 : 0; }

struct Parts {
    Text m_protocol;
    Text m_username;
    Text m_password;
    Text m_host;
    Text m_port;
    Text m_path;
    Text m_type;
    Text m_sub_type;
    Text m_alt_path;
    Text m_only_path;
    Text m_options;
};

// Authority "[user[:password]@]host" (the port already cut off).
void split_authority(Text authority, Parts *parts)
{
    Text host = authority;
    if (const char *at = find_last(authority, '@')) {
        Text user = between(authority.m_data, at);
        host = between(at + 1, authority.end());
        if (const char *colon = find(user, ':')) {
            parts->m_username = between(user.m_data, colon);
            parts->m_password = between(colon + 1, user.end());
        } else {
            parts->m_username = user;
        }
    }
    if (host.m_length >= 2 && host.m_data[0] == '[' && host.m_data[host.m_length - 1] == ']') {
        host = Text(host.m_data + 1, host.m_length - 2);
    }
    parts->m_host = host;
}

Parts split(Text input)
{
    Parts parts;
    Text rest = input;
    for (const char *at = input.m_data; (at = find(between(at, input.end()), ':')) != nullptr;
         ++at) {
        if (between(at, input.end()).starts_with("://")) {
            parts.m_protocol = between(input.m_data, at);
            rest = between(at + 3, input.end());
            break;
        }
    }
    parts.m_alt_path = rest;

    if (const char *slash = find(rest, '/')) {
        parts.m_path = between(slash, rest.end());
        const char *question = find(parts.m_path, '?');
        parts.m_only_path = between(slash, question != nullptr ? question : rest.end());
        if (question != nullptr) {
            parts.m_options = between(question + 1, rest.end());
        }
        rest = between(rest.m_data, slash);
    }

    // The first ":" followed only by a number ends the host, so both "[v6]:554" and a bare
    // IPv6 address ending in a decimal group yield a port.
    for (const char *at = rest.m_data; (at = find(between(at, rest.end()), ':')) != nullptr; ++at) {
        Text after = between(at + 1, rest.end());
        if (is_decimal(after)) {
            parts.m_port = after;
            rest = between(rest.m_data, at);
            break;
        }
    }
    if (!rest.empty()) {
        split_authority(rest, &parts);
    }

    if (present(parts.m_protocol)) {
        const char *at = find(parts.m_protocol, '@');
        parts.m_type = at != nullptr ? between(parts.m_protocol.m_data, at) : parts.m_protocol;
        if (at != nullptr) {
            parts.m_sub_type = between(at + 1, parts.m_protocol.end());
        }
    }
    return parts;
}

// Value of the port text: an optional run of signs (the last "-" decides), then digits;
// 0 when negative or beyond an int.
int32_t port_value(Text text)
{
    Cursor cursor(text);
    bool negative = false;
    for (int c = cursor.peek(); c == '+' || c == '-'; c = cursor.peek()) {
        negative = cursor.take() == '-';
    }
    uint64_t value = 0;
    if (negative || !cursor.decimal(&value, INT32_MAX)) {
        return 0;
    }
    return static_cast<int32_t>(value);
}

tarvik_uri_option_t *new_option(Text item, uint32_t decode_flags)
{
    const char *equal = find(item, '=');
    Text name = equal != nullptr ? between(item.m_data, equal) : item;
    Text value = equal != nullptr ? between(equal + 1, item.end()) : Text(item.end(), 0);
    size_t size = sizeof(tarvik_uri_option_t) + room(item) + 2 * (room(name) + room(value));
    auto *option = static_cast<tarvik_uri_option_t *>(tarvik_alloc_tag(size, TARVIK_TAG));
    if (option == nullptr) {
        return nullptr;
    }
    Packer packer(reinterpret_cast<char *>(option + 1));
    option->m_next = nullptr;
    option->m_option = packer.put(item);
    option->m_name = packer.put(name);
    option->m_value = packer.put(value);
    option->m_decoded_name = packer.put_decoded(name, decode_flags);
    option->m_decoded_value = packer.put_decoded(value, decode_flags);
    return option;
}

tarvik_uri_option_t *append_options(tarvik_uri_option_t *list, Text text, uint32_t decode_flags)
{
    tarvik_uri_option_t **tail = &list;
    while (*tail != nullptr) {
        tail = &(*tail)->m_next;
    }
    Cursor cursor(text);
    while (!cursor.at_end()) {
        cursor.skip_space();
        Text item = cursor.take_until([](int c) { return c == '&'; });
        cursor.take_if('&');
        if (item.empty()) {
            continue;
        }
        tarvik_uri_option_t *option = new_option(item, decode_flags);
        if (option == nullptr) {
            break;
        }
        *tail = option;
        tail = &option->m_next;
    }
    return list;
}

const char *name_of(const tarvik_uri_option_t *option)
{
    return option->m_decoded_name != nullptr ? option->m_decoded_name : option->m_name;
}

bool is_unreserved(int c) { return is_alnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

} // namespace

TARVIK_API tarvik_uri_t *tarvik_open_uri(const char *text)
{
    if (text == nullptr) {
        return nullptr;
    }
    Text input = Text::of(text);
    Parts parts = split(input);
    size_t size = sizeof(tarvik_uri_t) + room(input) + room(parts.m_protocol) +
                  room(parts.m_username) + room(parts.m_password) + room(parts.m_host) +
                  room(parts.m_port) + room(parts.m_path) + room(parts.m_type) +
                  room(parts.m_sub_type) + room(parts.m_alt_path) + room(parts.m_only_path) +
                  (present(parts.m_only_path) ? room(parts.m_only_path) : 2) +
                  room(parts.m_options);
    auto *uri = static_cast<tarvik_uri_t *>(tarvik_alloc_tag(size, TARVIK_TAG));
    if (uri == nullptr) {
        return nullptr;
    }
    Packer packer(reinterpret_cast<char *>(uri + 1));
    uri->m_uri = packer.put(input);
    uri->m_protocol = packer.put(parts.m_protocol);
    uri->m_username = packer.put(parts.m_username);
    uri->m_password = packer.put(parts.m_password);
    uri->m_host = packer.put(parts.m_host);
    uri->m_port_string = packer.put(parts.m_port);
    uri->m_path = packer.put(parts.m_path);
    uri->m_type = packer.put(parts.m_type);
    uri->m_sub_type = packer.put(parts.m_sub_type);
    uri->m_port = present(parts.m_port) ? port_value(parts.m_port) : 0;
    uri->m_alt_path = packer.put(parts.m_alt_path);
    uri->m_only_path = packer.put(parts.m_only_path);
    uri->m_decoded_path =
        packer.put_decoded(present(parts.m_only_path) ? parts.m_only_path : Text("/", 1), 0);
    uri->m_option_text = packer.put(parts.m_options);
    uri->m_option = nullptr;
    if (present(parts.m_options)) {
        uri->m_option = append_options(nullptr, parts.m_options, 0);
    }
    return uri;
}

TARVIK_API tarvik_uri_t *tarvik_close_uri(tarvik_uri_t *uri)
{
    if (uri != nullptr) {
        tarvik_free_uri_option(uri->m_option);
        tarvik_free_tag(uri, TARVIK_TAG);
    }
    return nullptr;
}

TARVIK_API tarvik_uri_option_t *tarvik_parse_uri_option(tarvik_uri_option_t *list, const char *text,
                                                        uint32_t decode_flags)
{
    return text != nullptr ? append_options(list, Text::of(text), decode_flags) : list;
}

TARVIK_API tarvik_uri_option_t *tarvik_new_uri_option(const char *text, uint32_t decode_flags)
{
    return text != nullptr ? new_option(Text::of(text), decode_flags) : nullptr;
}

TARVIK_API tarvik_uri_option_t *tarvik_free_uri_option(tarvik_uri_option_t *list)
{
    while (list != nullptr) {
        tarvik_uri_option_t *next = list->m_next;
        tarvik_free_tag(list, TARVIK_TAG);
        list = next;
    }
    return nullptr;
}

TARVIK_API tarvik_uri_option_t *tarvik_search_uri_option_node(tarvik_uri_option_t *list,
                                                              const char *patterns)
{
    if (patterns == nullptr) {
        return nullptr;
    }
    for (; list != nullptr; list = list->m_next) {
        if (tarvik_check_case_pattern_list(patterns, "|", name_of(list)) == 0) {
            return list;
        }
    }
    return nullptr;
}

TARVIK_API const char *tarvik_get_uri_option_value(tarvik_uri_option_t *list, const char *patterns)
{
    tarvik_uri_option_t *option = tarvik_search_uri_option_node(list, patterns);
    if (option == nullptr) {
        return nullptr;
    }
    return option->m_decoded_value != nullptr ? option->m_decoded_value : option->m_value;
}

TARVIK_API const char *tarvik_get_uri_option_raw_value(tarvik_uri_option_t *list,
                                                       const char *patterns)
{
    tarvik_uri_option_t *option = tarvik_search_uri_option_node(list, patterns);
    return option != nullptr ? option->m_value : nullptr;
}

TARVIK_API char *tarvik_decode_percent_string_length(const char *text, uint32_t flags,
                                                     size_t *length_out)
{
    if (length_out != nullptr) {
        *length_out = 0;
    }
    if (text == nullptr) {
        return nullptr;
    }
    Text input = Text::of(text);
    auto *decoded = static_cast<char *>(tarvik_alloc_tag(input.m_length + 1, TARVIK_TAG));
    if (decoded == nullptr) {
        return nullptr;
    }
    size_t length = decode_into(input, flags, decoded);
    if (length_out != nullptr) {
        *length_out = length;
    }
    return decoded;
}

TARVIK_API char *tarvik_decode_percent_string_ex(const char *text, uint32_t flags)
{
    return tarvik_decode_percent_string_length(text, flags, nullptr);
}

TARVIK_API char *tarvik_decode_percent_string(const char *text)
{
    return tarvik_decode_percent_string_length(text, 0, nullptr);
}

TARVIK_API char *tarvik_encode_percent_string_ex(const char *text, uint32_t flags, const char *keep)
{
    if (text == nullptr) {
        return nullptr;
    }
    auto copied = [flags, keep](unsigned char c) {
        return is_unreserved(c) || (c == ' ' && (flags & PLUS) != 0) ||
               (keep != nullptr && c != '\0' && strchr(keep, c) != nullptr);
    };
    size_t length = 0;
    for (const char *at = text; *at != '\0'; ++at) {
        length += copied(static_cast<unsigned char>(*at)) ? 1 : 3;
    }
    auto *encoded = static_cast<char *>(tarvik_alloc_tag(length + 1, TARVIK_TAG));
    if (encoded == nullptr) {
        return nullptr;
    }
    char *out = encoded;
    for (const char *at = text; *at != '\0'; ++at) {
        auto c = static_cast<unsigned char>(*at);
        if (!copied(c)) {
            *out++ = '%';
            *out++ = "0123456789ABCDEF"[c >> 4];
            *out++ = "0123456789ABCDEF"[c & 15u];
        } else {
            *out++ = c == ' ' && (flags & PLUS) != 0 ? '+' : static_cast<char>(c);
        }
    }
    *out = '\0';
    return encoded;
}

TARVIK_API char *tarvik_encode_percent_string(const char *text)
{
    return tarvik_encode_percent_string_ex(text, 0, nullptr);
}
