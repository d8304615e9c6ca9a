// Check-file lines of the GNU and BSD sum tools: the hash and the listed name. Holds no state.
#include "digest_check.h"

#include "detail/common.hpp"

namespace {

using tarvik::detail::Cursor;
using tarvik::detail::Text;

bool hex_of_length(Text text, size_t digits)
{
    return text.m_length == digits &&
           Cursor(text)
                   .take_while([](int c) { return tarvik::detail::hex_digit_value(c) >= 0; })
                   .m_length == digits;
}

// "TAG (NAME) = HASH": the name runs to the last ") = ", so it may hold that text itself.
bool split_tagged(Cursor cursor, const char *tag, Text *name, Text *hash)
{
    if (!cursor.take_text(tag) || !cursor.take_text(" (")) {
        return false;
    }
    Text rest = cursor.rest();
    for (size_t at = rest.m_length; at-- > 0;) {
        if (Text(rest.m_data + at, rest.m_length - at).starts_with(") = ")) {
            *name = Text(rest.m_data, at);
            *hash = Text(rest.m_data + at + 4, rest.m_length - at - 4);
            return true;
        }
    }
    return false;
}

// "HASH  NAME" (text mode) or "HASH *NAME" (binary mode).
bool split_plain(Cursor cursor, Text *name, Text *hash)
{
    *hash = cursor.take_until([](int c) { return c == ' '; });
    if (!cursor.take_if(' ') || (!cursor.take_if(' ') && !cursor.take_if('*'))) {
        return false;
    }
    *name = cursor.rest();
    return true;
}

char *unescaped_copy(Text name, bool escaped)
{
    char *copy = static_cast<char *>(tarvik_alloc_tag(name.m_length + 1, TARVIK_TAG));
    if (copy == nullptr) {
        return nullptr;
    }
    size_t length = 0;
    for (size_t at = 0; at < name.m_length; ++at) {
        char c = name.m_data[at];
        if (escaped && c == '\\' && at + 1 < name.m_length) {
            char next = name.m_data[++at];
            c = next == 'n' ? '\n' : next == 'r' ? '\r' : next;
        }
        copy[length++] = c;
    }
    copy[length] = '\0';
    return copy;
}

} // namespace

extern "C" {

TARVIK_API int tarvik_parse_digest_check_line(const char *line, const char *tag, size_t digits,
                                              char *hash_out, char **name_out)
{
    if (line == nullptr || tag == nullptr || hash_out == nullptr || name_out == nullptr) {
        return -1;
    }
    Cursor cursor = Cursor::of(line);
    bool escaped = cursor.take_if('\\');
    Text name;
    Text hash;
    if ((!split_tagged(cursor, tag, &name, &hash) && !split_plain(cursor, &name, &hash)) ||
        name.empty() || !hex_of_length(hash, digits)) {
        return -1;
    }
    *name_out = unescaped_copy(name, escaped);
    if (*name_out == nullptr) {
        return -1;
    }
    hash.copy_to(hash_out, digits + 1);
    return 0;
}

} // extern "C"
