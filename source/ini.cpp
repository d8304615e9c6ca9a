// The INI parser. A handle belongs to one thread at a time. Input waits in the handle's
// byte queue until a logical line is complete; the splitter remembers how far it has
// scanned, so a long line arriving in many pushes is scanned once. Records keep their
// strings in the same heap block unless a string was replaced later (then it is a block
// of its own, told apart by its address).
#include "ini.h"

#include "buffer.h"
#include "ctype.h"
#include "detail/common.hpp"
#include "detail/list.hpp"
#include "file.h"
#include "format.h"
#include "heap.h"
#include "pattern.h"
#include "scan.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace {

using tarvik::detail::equal_ignoring_case;
using tarvik::detail::is_space;
using tarvik::detail::Text;
using tarvik::detail::Writer;

constexpr uint32_t VARIABLE = TARVIK_INI_VARIABLE;
constexpr uint32_t SUBSTITUTED = TARVIK_INI_SUBSTITUTED;
constexpr uint32_t MARKED = TARVIK_INI_MARKED;
constexpr size_t READ_BLOCK = 4096;
constexpr size_t DUMP_LINE = 4096;
// Substitutions may not grow a value past this when the handle sets no input limit.
constexpr size_t DEFAULT_TEXT_LIMIT = TARVIK_INI_DEFAULT_MAX_SIZE;
// Includes nest at most this deep even with "no limit": each level is a stack frame
// chain, and a chain of distinct files this long is no configuration anyone writes.
constexpr int INCLUDE_NESTING_LIMIT = 64;

// ---- growable scratch text ------------------------------------------------------------

struct Builder {
    char *m_data;
    size_t m_length;
    size_t m_capacity;

    bool reserve(size_t length)
    {
        if (length < m_capacity) {
            return true;
        }
        size_t capacity = m_capacity < 64 ? 64 : m_capacity;
        while (capacity <= length) {
            if (capacity > SIZE_MAX / 2) {
                return false;
            }
            capacity *= 2;
        }
        void *grown = tarvik_realloc_tag(m_data, capacity, TARVIK_TAG);
        if (grown == nullptr) {
            return false;
        }
        m_data = static_cast<char *>(grown);
        m_capacity = capacity;
        return true;
    }
    bool append(const void *data, size_t length)
    {
        if (length == 0) {
            return reserve(m_length);
        }
        if (length > SIZE_MAX - 1 - m_length || !reserve(m_length + length)) {
            return false;
        }
        memcpy(m_data + m_length, data, length);
        m_length += length;
        return true;
    }
    bool put(char c) { return append(&c, 1); }
    bool puts(const char *text) { return text == nullptr || append(text, strlen(text)); }
    bool pad(size_t width)
    {
        while (m_length < width) {
            if (!put(' ')) {
                return false;
            }
        }
        return true;
    }
    Text text() const { return Text(m_data, m_length); }
    void clear() { m_length = 0; }
    void release()
    {
        tarvik_check_free_tag(m_data, TARVIK_TAG);
        *this = Builder{};
    }
};

// ---- the handle -------------------------------------------------------------------------

struct Handle {
    tarvik_ini_t m_public;
    Handle *m_parent;    // the handle whose include line loads into this one
    int m_include_level; // 0 for a handle the caller opened
    bool m_loading;      // a file is being loaded; m_device and m_inode name it
    uint64_t m_device;
    uint64_t m_inode;
    size_t m_scan_offset;                 // bytes of the pending line scanned as whole units
    uint32_t m_scan_lines;                // escaped line breaks among them
    tarvik_ini_node_t *m_last_in_section; // last node of the current section
    uint32_t m_error_line;                // first physical line of the last malformed line
    Builder m_line;                       // a line that spans queue nodes
    Builder m_name;
    Builder m_value;
};

Handle *handle_of(tarvik_ini_t *ini) { return reinterpret_cast<Handle *>(ini); }
tarvik_ini_data_t *data_of(Handle *handle) { return &handle->m_public.m_data_record; }
tarvik_ini_option_t *options_of(Handle *handle) { return &handle->m_public.m_option_record; }

// Whether pointer lies inside the tagged-heap block that starts at block.
bool inside_block(const void *block, const void *pointer)
{
    auto *header = static_cast<const tarvik_heap_block_t *>(block) - 1;
    auto *start = static_cast<const char *>(block);
    auto *at = static_cast<const char *>(pointer);
    return at >= start && at < start + header->m_size;
}

// One block: the record, then the name and the value (absent parts take no room).
template <typename Record> Record *new_record(Text name, bool has_name, Text value, bool has_value)
{
    size_t size =
        sizeof(Record) + (has_name ? name.m_length + 1 : 0) + (has_value ? value.m_length + 1 : 0);
    auto *record = static_cast<Record *>(tarvik_alloc_tag(size, TARVIK_TAG));
    if (record == nullptr) {
        return nullptr;
    }
    memset(record, 0, sizeof(Record));
    char *at = reinterpret_cast<char *>(record + 1);
    if (has_name) {
        record->m_name = at;
        if (name.m_length > 0) {
            memcpy(at, name.m_data, name.m_length);
        }
        at[name.m_length] = '\0';
        at += name.m_length + 1;
    }
    if (has_value) {
        record->m_value = at;
        if (value.m_length > 0) {
            memcpy(at, value.m_data, value.m_length);
        }
        at[value.m_length] = '\0';
    }
    return record;
}

template <typename Record> void free_records(Record *record)
{
    while (record != nullptr) {
        Record *next = record->m_next;
        if (record->m_value != nullptr && !inside_block(record, record->m_value)) {
            tarvik_free_tag(record->m_value, TARVIK_TAG);
        }
        if (record->m_name != nullptr && !inside_block(record, record->m_name)) {
            tarvik_free_tag(record->m_name, TARVIK_TAG);
        }
        tarvik_free_tag(record, TARVIK_TAG);
        record = next;
    }
}

// ---- character units ------------------------------------------------------------------

// How the input falls into units: what the splitter and the line reader both walk by, so
// that they always agree on where a line ends.
enum class Kind : uint8_t {
    PLAIN,         // one byte below 0x80
    ESCAPE,        // backslash and the byte after it
    ESCAPED_BREAK, // backslash, CR or LF, and the complementary break when it follows
    BREAK,         // CR, LF, CR LF or LF CR
    MULTIBYTE,     // a whole UTF-8 sequence
    PAIR,          // an invalid byte grouped with the one after it
    MORE,          // a byte needed to decide has not arrived
    CUT,           // the input ends inside a unit (a dangling backslash too)
};

struct Unit {
    Kind m_kind;
    uint8_t m_length;
};

constexpr int complement(int c) { return c == '\r' ? '\n' : '\r'; }

inline int leading_ones(int c)
{
    int count = 0;
    for (int bit = 0x80; bit != 0 && (c & bit) != 0; bit >>= 1) {
        ++count;
    }
    return count;
}

// peek(k) gives the byte k places ahead, or -1 past the input; final says that no more
// input will come (at the end of a line, or at the end of input).
template <typename Peek> Unit measure(Peek peek, bool final)
{
    int c = peek(0);
    Kind missing = final ? Kind::CUT : Kind::MORE;
    if (c < 0x80) {
        if (c == '\\') {
            int next = peek(1);
            if (next < 0) {
                return {missing, 1};
            }
            if (next != '\r' && next != '\n') {
                return {Kind::ESCAPE, 2};
            }
            int after = peek(2);
            if (after < 0 && !final) {
                return {Kind::MORE, 2};
            }
            return {Kind::ESCAPED_BREAK, static_cast<uint8_t>(after == complement(next) ? 3 : 2)};
        }
        if (c == '\r' || c == '\n') {
            int next = peek(1);
            if (next < 0 && !final) {
                return {Kind::MORE, 1};
            }
            return {Kind::BREAK, static_cast<uint8_t>(next == complement(c) ? 2 : 1)};
        }
        return {Kind::PLAIN, 1};
    }
    int ones = leading_ones(c);
    if (ones >= 2 && ones <= 4) {
        for (int i = 1; i < ones; ++i) {
            int following = peek(static_cast<size_t>(i));
            if (following < 0) {
                return {missing, 1};
            }
            if ((following & 0xC0) != 0x80) {
                return {Kind::PAIR, 2};
            }
        }
        return {Kind::MULTIBYTE, static_cast<uint8_t>(ones)};
    }
    return peek(1) < 0 ? Unit{missing, 1} : Unit{Kind::PAIR, 2};
}

// What each byte may stop: bit 1 a unit of its own (the splitter's fast path), bit 2 a
// bare name, bit 4 a bare value, bit 8 a quoted run. One table keeps the hot loops short.
constexpr uint8_t UNIT = 1;
constexpr uint8_t BARE_NAME = 2;
constexpr uint8_t BARE_VALUE = 4;
constexpr uint8_t QUOTED = 8;

struct ByteClasses {
    uint8_t m_class[256];
};

constexpr ByteClasses make_byte_classes()
{
    ByteClasses table = {};
    for (int c = 0; c < 256; ++c) {
        uint8_t bits = 0;
        if (c >= 0x80 || c == '\\' || c == '\r' || c == '\n' || c == '\0') {
            bits = UNIT | BARE_NAME | BARE_VALUE | QUOTED;
        } else if (c == '"' || c == '\'' || c == '#' || c == ';' || c == ',' || c == ']' ||
                   is_space(c)) {
            bits = BARE_NAME | BARE_VALUE;
        } else if (c == ':' || c == '=') {
            bits = BARE_NAME;
        }
        table.m_class[c] = bits;
    }
    return table;
}

constexpr ByteClasses BYTE_CLASSES = make_byte_classes();

inline bool is_plain(uint8_t c) { return (BYTE_CLASSES.m_class[c] & UNIT) == 0; }

// ---- a position in the input queue ------------------------------------------------------

// Walks the queued bytes without consuming them; offsets count from the queue's front.
class QueuePosition {
  public:
    QueuePosition(const tarvik_buffer_t *queue, size_t offset)
        : m_node(queue->m_first), m_index(m_node != nullptr ? m_node->m_consumed : 0)
    {
        advance(offset);
    }

    size_t offset() const { return m_offset; }
    bool at_end() const { return m_node == nullptr; }

    int peek(size_t ahead) const
    {
        const tarvik_buffer_node_t *node = m_node;
        size_t index = m_index + ahead;
        while (node != nullptr && index >= node->m_used) {
            index -= node->m_used;
            node = node->m_next;
            if (node != nullptr) {
                index += node->m_consumed;
            }
        }
        return node != nullptr ? node->m_data[index] : -1;
    }
    void advance(size_t count)
    {
        m_offset += count;
        m_index += count;
        settle();
    }
    // Steps over bytes that are a unit of their own and end nothing: most of the input.
    void skip_plain()
    {
        while (m_node != nullptr) {
            const uint8_t *data = m_node->m_data;
            size_t index = m_index;
            size_t used = m_node->m_used;
            while (index < used && is_plain(data[index])) {
                ++index;
            }
            m_offset += index - m_index;
            m_index = index;
            if (index < used) {
                return;
            }
            settle();
        }
    }

  private:
    void settle()
    {
        while (m_node != nullptr && m_index >= m_node->m_used) {
            m_index -= m_node->m_used;
            m_node = m_node->m_next;
            if (m_node != nullptr) {
                m_index += m_node->m_consumed;
            }
        }
    }

    const tarvik_buffer_node_t *m_node;
    size_t m_index; // into m_node's data area
    size_t m_offset = 0;
};

// ---- reading one logical line -----------------------------------------------------------

enum class Stop { END, COMMA, CLOSE, SEPARATOR, FAILED };

class LineParser {
  public:
    LineParser(Handle *handle, Text line, uint32_t line_number)
        : m_handle(handle), m_options(options_of(handle)), m_data(data_of(handle)),
          m_p(reinterpret_cast<const uint8_t *>(line.m_data)),
          m_end(reinterpret_cast<const uint8_t *>(line.end())), m_line(line_number),
          m_limit(line.m_length)
    {
        // A NUL byte cannot live in a C string: the line is read up to it and fails.
        if (const void *nul = memchr(line.m_data, '\0', line.m_length)) {
            m_end = static_cast<const uint8_t *>(nul);
            m_failed = true;
        }
        size_t option_limit =
            m_options->m_max_size != 0 ? m_options->m_max_size : DEFAULT_TEXT_LIMIT;
        if (option_limit > m_limit) {
            m_limit = option_limit;
        }
    }

    int parse();

  private:
    int peek(size_t ahead) const { return ahead < left() ? m_p[ahead] : -1; }
    size_t left() const { return static_cast<size_t>(m_end - m_p); }
    bool at_end() const { return m_p >= m_end; }
    Unit unit() const
    {
        return measure([this](size_t k) { return peek(k); }, true);
    }
    void skip_space()
    {
        while (!at_end() && is_space(*m_p)) {
            ++m_p;
        }
    }
    void skip_item_space();
    bool is_stop(int c, bool value) const
    {
        return value ? (c == ',' || c == ']' || c == '#' || c == ';')
                     : (c == ',' || c == '=' || c == ':' || c == ']' || c == '#' || c == ';');
    }
    size_t ordinary_run(bool value) const;
    Stop read_text(Builder &out, bool value);
    bool substitute(Builder &out);
    bool append_replacement(Builder &out, const char *text);
    bool store(bool section, uint32_t flags, bool has_value);
    bool store_node(uint32_t flags, bool has_value);
    bool include(bool optional);

    Handle *m_handle;
    tarvik_ini_option_t *m_options;
    tarvik_ini_data_t *m_data;
    const uint8_t *m_p;
    const uint8_t *m_end;
    uint32_t m_line;
    size_t m_limit;
    char m_quote = 0;
    bool m_bracket = false;
    bool m_failed = false;
    bool m_substituted = false;
    tarvik_ini_node_t *m_previous_in_line = nullptr;
};

void LineParser::skip_item_space()
{
    while (!at_end()) {
        if (is_space(*m_p)) {
            ++m_p;
            continue;
        }
        Unit u = unit();
        if (u.m_kind != Kind::ESCAPED_BREAK) {
            return;
        }
        m_p += u.m_length;
    }
}

// Bytes from m_p that are stored as they are, whatever comes next: the bulk of any text.
size_t LineParser::ordinary_run(bool value) const
{
    // The prefix starts a substitution in values and the open quote ends a run: both
    // depend on the handle, so they are compared besides the table.
    int prefix = value ? static_cast<uint8_t>(m_options->m_variable_prefix) : -1;
    int quote = m_quote != 0 ? static_cast<uint8_t>(m_quote) : -1;
    uint8_t stops = m_quote != 0 ? QUOTED : value ? BARE_VALUE : BARE_NAME;
    const uint8_t *p = m_p;
    while (p < m_end && (BYTE_CLASSES.m_class[*p] & stops) == 0 && *p != prefix && *p != quote) {
        ++p;
    }
    return static_cast<size_t>(p - m_p);
}

// Collects a name or a value up to what ends it outside quotes.
Stop LineParser::read_text(Builder &out, bool value)
{
    while (!at_end()) {
        Unit u = unit();
        switch (u.m_kind) {
        case Kind::CUT:
            return Stop::FAILED;
        case Kind::ESCAPE:
        case Kind::ESCAPED_BREAK:
            if (!out.append(m_p + 1, u.m_length - 1u)) {
                return Stop::FAILED;
            }
            m_p += u.m_length;
            continue;
        case Kind::MULTIBYTE:
        case Kind::PAIR:
        case Kind::BREAK:
            if (!out.append(m_p, u.m_length)) {
                return Stop::FAILED;
            }
            m_p += u.m_length;
            continue;
        default:
            break;
        }
        size_t run = ordinary_run(value);
        if (run > 0) {
            if (!out.append(m_p, run)) {
                return Stop::FAILED;
            }
            m_p += run;
            continue;
        }
        char c = static_cast<char>(*m_p);
        if (value && c == m_options->m_variable_prefix && substitute(out)) {
            continue;
        }
        if (m_quote != 0) {
            if (c != m_quote && !out.put(c)) {
                return Stop::FAILED;
            }
            m_quote = c == m_quote ? 0 : m_quote;
            ++m_p;
            continue;
        }
        if (c == '"' || c == '\'') {
            m_quote = c;
            ++m_p;
            continue;
        }
        if (c == '#' || c == ';') {
            m_p = m_end;
            return Stop::END;
        }
        if (is_space(c)) {
            const uint8_t *blanks = m_p;
            while (!at_end() && is_space(*m_p)) {
                ++m_p;
            }
            if (!at_end() && !is_stop(*m_p, value) &&
                !out.append(blanks, static_cast<size_t>(m_p - blanks))) {
                return Stop::FAILED;
            }
            continue;
        }
        ++m_p;
        if (c == ',') {
            return Stop::COMMA;
        }
        if (c == ']' && m_bracket) {
            m_bracket = false;
            return Stop::CLOSE;
        }
        if (!value && ((c == ':' && m_bracket) || (c == '=' && !m_bracket))) {
            return Stop::SEPARATOR;
        }
        if (!out.put(c)) {
            return Stop::FAILED;
        }
    }
    return m_quote != 0 ? Stop::FAILED : Stop::END;
}

bool LineParser::append_replacement(Builder &out, const char *text)
{
    size_t length = text != nullptr ? strlen(text) : 0;
    // Self-referencing definitions double a value per line: the limit keeps that bounded.
    if (length > m_limit || out.m_length > m_limit - length) {
        m_failed = true;
        return false;
    }
    return out.append(text, length);
}

// Matches open + name + close right behind the "$" at m_p.
bool matches_at(const uint8_t *p, size_t left, const char *open, const char *name,
                const char *close, bool fold_case, size_t *length_out)
{
    size_t open_length = strlen(open);
    size_t name_length = strlen(name);
    size_t close_length = strlen(close);
    size_t length = open_length + name_length + close_length;
    auto *text = reinterpret_cast<const char *>(p);
    if (length > left || memcmp(text, open, open_length) != 0 ||
        memcmp(text + open_length + name_length, close, close_length) != 0) {
        return false;
    }
    bool same = fold_case ? equal_ignoring_case(text + open_length, name_length, name, name_length)
                          : memcmp(text + open_length, name, name_length) == 0;
    if (same) {
        *length_out = length;
    }
    return same;
}

// Tries the substitutions at a "$"; true when one was made (m_p is then behind it).
bool LineParser::substitute(Builder &out)
{
    const uint8_t *after = m_p + 1;
    size_t left_after = static_cast<size_t>(m_end - after);
    const char *replacement = nullptr;
    size_t matched = 0;
    for (tarvik_ini_node_t *entry = m_data->m_env_head; entry != nullptr; entry = entry->m_next) {
        if ((entry->m_flags & VARIABLE) != 0 && entry->m_name != nullptr &&
            matches_at(after, left_after, "{", entry->m_name, "}", false, &matched)) {
            replacement = tarvik_check_string(entry->m_value);
            break;
        }
    }
    bool found = replacement != nullptr;
    tarvik_ini_section_t *current = m_data->m_section_tail;
    if (m_options->m_substitute != 0) {
        // Every definition is tried: the most recent one wins.
        for (tarvik_ini_node_t *node = m_data->m_node_head; node != nullptr; node = node->m_next) {
            if ((node->m_flags & VARIABLE) == 0 || node->m_name == nullptr ||
                node->m_name[0] == '\0') {
                continue;
            }
            tarvik_ini_section_t *section = node->m_section;
            if (section != nullptr && section != current && section->m_name != nullptr &&
                section->m_name[0] != '\0') {
                continue;
            }
            size_t length = 0;
            if (matches_at(after, left_after, "(", node->m_name, ")", false, &length) ||
                matches_at(after, left_after, "", node->m_name, "", false, &length)) {
                replacement = tarvik_check_string(node->m_value);
                matched = length;
                found = true;
            }
        }
        if (!found) {
            const char *name = current != nullptr ? current->m_name : nullptr;
            const char *value = current != nullptr ? current->m_value : nullptr;
            if (m_handle->m_name.put('\0')) {
                --m_handle->m_name.m_length;
            }
            const struct {
                const char *m_macro;
                const char *m_text;
            } macros[] = {{"current_section_name", name},
                          {"current_section_value", value},
                          {"current_name", m_handle->m_name.m_data}};
            for (const auto &macro : macros) {
                if (matches_at(after, left_after, "{", macro.m_macro, "}", true, &matched)) {
                    replacement = tarvik_check_string(macro.m_text);
                    found = true;
                    break;
                }
            }
        }
    }
    if (!found) {
        return false;
    }
    // A replacement that would pass the limit fails the line; the "$" is then taken as
    // itself and the failure is reported when the line is stored.
    if (!append_replacement(out, replacement)) {
        return false;
    }
    m_p = after + matched;
    m_substituted = true;
    return true;
}

int LineParser::parse()
{
    for (;;) {
        skip_item_space();
        if (at_end() || *m_p == '#' || *m_p == ';') {
            break;
        }
        if (*m_p == ',') {
            ++m_p;
            continue;
        }
        bool section = false;
        if (*m_p == '[' && !m_bracket) {
            ++m_p;
            section = true;
            m_bracket = true;
            skip_item_space();
        }
        if (!at_end() && (*m_p == '"' || *m_p == '\'')) {
            m_quote = static_cast<char>(*m_p++);
        }
        uint32_t flags = 0;
        if (!at_end() && *m_p == static_cast<uint8_t>(m_options->m_variable_prefix)) {
            flags = VARIABLE;
        } else if (!at_end() && *m_p == static_cast<uint8_t>(m_options->m_mark_prefix)) {
            flags = MARKED;
        }
        if (flags != 0) {
            ++m_p;
            skip_space();
        }
        m_handle->m_name.clear();
        m_handle->m_value.clear();
        m_substituted = false;
        Stop stop = read_text(m_handle->m_name, false);
        bool has_value = stop == Stop::SEPARATOR;
        if (has_value) {
            skip_space();
            stop = read_text(m_handle->m_value, true);
        }
        m_quote = 0;
        if (m_substituted) {
            flags |= SUBSTITUTED;
        }
        // An open bracket carries over to the next item ("[a,b]" is section a, then b);
        // still open at the end of the line, it fails the line after the item is kept.
        if (!store(section, flags, has_value) || stop == Stop::FAILED ||
            (stop == Stop::END && m_bracket)) {
            m_failed = true;
            break;
        }
        if (stop == Stop::END) {
            break;
        }
    }
    return m_failed ? -1 : 0;
}

bool LineParser::store(bool section, uint32_t flags, bool has_value)
{
    Text name = m_handle->m_name.text();
    Text value = m_handle->m_value.text();
    if (section) {
        auto *record = new_record<tarvik_ini_section_t>(name, true, value, has_value);
        if (record == nullptr) {
            return false;
        }
        record->m_flags = flags;
        record->m_line = m_line;
        tarvik::detail::SinglyLinked<tarvik_ini_section_t>(&m_data->m_section_head,
                                                           &m_data->m_section_tail)
            .push_back(record);
        m_handle->m_last_in_section = nullptr;
        return true;
    }
    int32_t depth = m_options->m_include_depth;
    if ((depth == -1 || depth > 0) &&
        (name.equals_ignoring_case("include") || name.equals_ignoring_case("-include"))) {
        return include(name.m_data[0] == '-');
    }
    return store_node(flags, has_value);
}

bool LineParser::store_node(uint32_t flags, bool has_value)
{
    if (m_data->m_section_tail == nullptr) {
        auto *implicit = new_record<tarvik_ini_section_t>(Text(), false, Text(), false);
        if (implicit == nullptr) {
            return false;
        }
        m_data->m_section_head = implicit;
        m_data->m_section_tail = implicit;
        m_handle->m_last_in_section = nullptr;
    }
    auto *node = new_record<tarvik_ini_node_t>(m_handle->m_name.text(), true,
                                               m_handle->m_value.text(), has_value);
    if (node == nullptr) {
        return false;
    }
    node->m_section = m_data->m_section_tail;
    node->m_flags = flags;
    node->m_line = m_line;
    tarvik::detail::SinglyLinked<tarvik_ini_node_t>(&m_data->m_node_head, &m_data->m_node_tail)
        .push_back(node);
    if (m_previous_in_line != nullptr) {
        m_previous_in_line->m_next_in_line = node;
    }
    m_previous_in_line = node;
    if (m_handle->m_last_in_section != nullptr) {
        m_handle->m_last_in_section->m_next_in_section = node;
    } else {
        node->m_section->m_node = node;
    }
    m_handle->m_last_in_section = node;
    return true;
}

// ---- includes -------------------------------------------------------------------------

Handle *open_handle();
int close_handle(Handle *handle);
int load_file(Handle *handle, const char *path);
int set_env(Handle *handle, const char *name, const char *value, bool replace);

bool is_loading(const Handle *handle, const struct stat &status)
{
    for (; handle != nullptr; handle = handle->m_parent) {
        if (handle->m_loading && handle->m_device == static_cast<uint64_t>(status.st_dev) &&
            handle->m_inode == static_cast<uint64_t>(status.st_ino)) {
            return true;
        }
    }
    return false;
}

// Moves the child's sections and nodes to the end of the parent's lists.
void adopt(Handle *parent, Handle *child)
{
    tarvik_ini_data_t *to = data_of(parent);
    tarvik_ini_data_t *from = data_of(child);
    if (from->m_section_head != nullptr) {
        if (to->m_section_tail != nullptr) {
            to->m_section_tail->m_next = from->m_section_head;
        } else {
            to->m_section_head = from->m_section_head;
        }
        to->m_section_tail = from->m_section_tail;
        parent->m_last_in_section = child->m_last_in_section;
    }
    if (from->m_node_head != nullptr) {
        if (to->m_node_tail != nullptr) {
            to->m_node_tail->m_next = from->m_node_head;
        } else {
            to->m_node_head = from->m_node_head;
        }
        to->m_node_tail = from->m_node_tail;
    }
    from->m_section_head = from->m_section_tail = nullptr;
    from->m_node_head = from->m_node_tail = nullptr;
}

bool LineParser::include(bool optional)
{
    if (!m_handle->m_value.put('\0')) {
        return optional;
    }
    const char *path = m_handle->m_value.m_data;
    struct stat status = {};
    if (stat(path, &status) == 0 && is_loading(m_handle, status)) {
        tarvik_error_printf("tarvik_ini_include: [ERROR] \033[1;31minclude cycle\033[0m "
                            "(path=\"%s\", line=%lu)\n",
                            path, static_cast<unsigned long>(m_line));
        return optional;
    }
    if (m_handle->m_include_level >= INCLUDE_NESTING_LIMIT) {
        tarvik_error_printf("tarvik_ini_include: [ERROR] \033[1;31mincludes nested too deep\033[0m "
                            "(path=\"%s\", level=%d)\n",
                            path, m_handle->m_include_level);
        return optional;
    }
    Handle *child = open_handle();
    if (child == nullptr) {
        return optional;
    }
    tarvik_ini_option_t *options = options_of(child);
    *options = *m_options;
    if (m_options->m_max_size != 0) {
        size_t queued = tarvik_get_buffer_size(m_data->m_queue);
        options->m_max_size = queued < m_options->m_max_size
                                  ? m_options->m_max_size - static_cast<uint32_t>(queued)
                                  : 1u;
    }
    if (m_options->m_include_depth > 0) {
        --options->m_include_depth;
    }
    child->m_parent = m_handle;
    child->m_include_level = m_handle->m_include_level + 1;
    bool ok = true;
    for (tarvik_ini_node_t *entry = m_data->m_env_head; entry != nullptr && ok;
         entry = entry->m_next) {
        ok = set_env(child, entry->m_name, entry->m_value, false) == 0;
    }
    ok = ok && load_file(child, path) == 0;
    if (!ok && !optional) {
        tarvik_error_printf("tarvik_ini_include: [ERROR] \033[1;31mcannot include\033[0m "
                            "(path=\"%s\", line=%lu)\n",
                            path, static_cast<unsigned long>(m_line));
    }
    if (ok) {
        adopt(m_handle, child);
    }
    close_handle(child);
    return ok || optional;
}

// ---- lines out of the queue -----------------------------------------------------------

int parse_line(Handle *handle, Text line, uint32_t escaped_breaks)
{
    tarvik_ini_data_t *data = data_of(handle);
    uint32_t line_number = data->m_line_count + 1;
    int result = LineParser(handle, line, line_number).parse();
    data->m_line_count += 1 + escaped_breaks;
    if (result != 0) {
        handle->m_error_line = line_number;
    }
    return result;
}

// Parses the first length bytes of the queue as a line, then drops them and the break.
int take_line(Handle *handle, size_t length, size_t break_length)
{
    tarvik_buffer_t *queue = data_of(handle)->m_queue;
    const tarvik_buffer_node_t *first = queue->m_first;
    Text line;
    if (first != nullptr && first->m_used - first->m_consumed >= length) {
        line = Text(reinterpret_cast<const char *>(first->m_data + first->m_consumed), length);
    } else {
        handle->m_line.clear();
        if (!handle->m_line.reserve(length) ||
            tarvik_peek_buffer_ex(queue, handle->m_line.m_data, length, 0, 1) != length) {
            tarvik_pop_buffer_ex(queue, nullptr, length + break_length, 0);
            return -1;
        }
        line = Text(handle->m_line.m_data, length);
    }
    int result = parse_line(handle, line, handle->m_scan_lines);
    tarvik_pop_buffer_ex(queue, nullptr, length + break_length, 0);
    handle->m_scan_offset = 0;
    handle->m_scan_lines = 0;
    return result;
}

// Parses every complete line, and at the end of input the rest; -1 when any line failed.
int parse_queued(Handle *handle)
{
    tarvik_ini_data_t *data = data_of(handle);
    tarvik_buffer_t *queue = data->m_queue;
    bool final = data->m_end != 0;
    int result = 0;
    while (queue != nullptr && queue->m_size > 0) {
        QueuePosition at(queue, handle->m_scan_offset);
        Unit found = {Kind::MORE, 0};
        for (;;) {
            at.skip_plain();
            if (at.at_end()) {
                break;
            }
            Unit u = measure([&at](size_t k) { return at.peek(k); }, final);
            if (u.m_kind == Kind::MORE || u.m_kind == Kind::CUT || u.m_kind == Kind::BREAK) {
                found = u;
                break;
            }
            handle->m_scan_lines += u.m_kind == Kind::ESCAPED_BREAK ? 1u : 0u;
            at.advance(u.m_length);
        }
        if (found.m_kind == Kind::BREAK) {
            if (take_line(handle, at.offset(), found.m_length) != 0) {
                result = -1;
            }
            continue;
        }
        handle->m_scan_offset = at.offset();
        if (final && take_line(handle, queue->m_size, 0) != 0) {
            result = -1;
        }
        break;
    }
    return result;
}

int push(Handle *handle, const void *bytes, size_t size, uint32_t queue_flags)
{
    tarvik_ini_data_t *data = data_of(handle);
    bool hand_over = (queue_flags & TARVIK_BUFFER_HAND_OVER) != 0;
    if (size == 0) {
        if (hand_over && bytes != nullptr) {
            tarvik_free_tag(const_cast<void *>(bytes), TARVIK_TAG);
        }
        if (data->m_end != 0) {
            return 1;
        }
        data->m_end = 1;
        return parse_queued(handle) == 0 ? 1 : -1;
    }
    uint32_t limit = options_of(handle)->m_max_size;
    size_t queued = tarvik_get_buffer_size(data->m_queue);
    if (data->m_queue == nullptr) {
        data->m_queue = tarvik_open_buffer();
    }
    if (bytes == nullptr || data->m_queue == nullptr ||
        (limit != 0 && (queued >= limit || size > limit - queued))) {
        if (hand_over && bytes != nullptr) {
            tarvik_free_tag(const_cast<void *>(bytes), TARVIK_TAG);
        }
        return -1;
    }
    // An unfinished line stays queued after the call: the caller's memory cannot be
    // referenced past it, so a reference push is copied.
    queue_flags &= ~TARVIK_BUFFER_REFERENCE;
    if (tarvik_push_buffer_ex(data->m_queue, bytes, size, queue_flags) != size) {
        return -1;
    }
    if (parse_queued(handle) != 0) {
        return -1;
    }
    return data->m_end != 0 ? 1 : 0;
}

// ---- handles, files and the environment ---------------------------------------------------

Handle *open_handle()
{
    auto *handle = static_cast<Handle *>(tarvik_alloc_tag(sizeof(Handle), TARVIK_TAG));
    if (handle == nullptr) {
        return nullptr;
    }
    memset(handle, 0, sizeof(Handle));
    tarvik_ini_t *ini = &handle->m_public;
    ini->m_option = &ini->m_option_record;
    ini->m_data = &ini->m_data_record;
    ini->m_option_record.m_max_size = TARVIK_INI_DEFAULT_MAX_SIZE;
    ini->m_option_record.m_variable_prefix = '$';
    ini->m_option_record.m_mark_prefix = '!';
    return handle;
}

int close_handle(Handle *handle)
{
    tarvik_ini_data_t *data = data_of(handle);
    free_records(data->m_env_head);
    free_records(data->m_node_head);
    free_records(data->m_section_head);
    tarvik_close_buffer(data->m_queue);
    handle->m_line.release();
    handle->m_name.release();
    handle->m_value.release();
    tarvik_free_tag(handle, TARVIK_TAG);
    return 0;
}

int load_file(Handle *handle, const char *path)
{
    int descriptor = tarvik_open(path, def_tarvik_open_read | def_tarvik_open_large_file);
    if (descriptor < 0) {
        return -1;
    }
    auto *block = static_cast<char *>(tarvik_alloc_tag(READ_BLOCK, TARVIK_TAG));
    if (block == nullptr) {
        tarvik_close(descriptor);
        return -1;
    }
    struct stat status = {};
    bool was_loading = handle->m_loading;
    uint64_t device = handle->m_device;
    uint64_t inode = handle->m_inode;
    if (fstat(descriptor, &status) == 0) {
        handle->m_loading = true;
        handle->m_device = static_cast<uint64_t>(status.st_dev);
        handle->m_inode = static_cast<uint64_t>(status.st_ino);
    }
    uint32_t first_error = 0;
    int result = 0;
    for (;;) {
        ssize_t count = read(descriptor, block, READ_BLOCK);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            result = count < 0 ? -1 : 0;
            break;
        }
        // A refused block would splice the lines around it: the load stops there.
        size_t queued = tarvik_get_buffer_size(data_of(handle)->m_queue);
        uint32_t limit = options_of(handle)->m_max_size;
        if (limit != 0 && (queued >= limit || static_cast<size_t>(count) > limit - queued)) {
            result = -1;
            break;
        }
        if (push(handle, block, static_cast<size_t>(count), 0) < 0 && first_error == 0) {
            first_error = handle->m_error_line;
        }
    }
    if (push(handle, nullptr, 0, 0) < 0 && first_error == 0) {
        first_error = handle->m_error_line;
    }
    handle->m_loading = was_loading;
    handle->m_device = device;
    handle->m_inode = inode;
    tarvik_free_tag(block, TARVIK_TAG);
    tarvik_close(descriptor);
    if (first_error != 0) {
        tarvik_error_printf("tarvik_ini_load_file: [WARNING] \033[1;31mmalformed line\033[0m "
                            "(path=\"%s\", line=%lu)\n",
                            path, static_cast<unsigned long>(first_error));
    }
    if (result != 0) {
        tarvik_error_printf("tarvik_ini_load_file: [ERROR] \033[1;31mfile not loaded whole\033[0m "
                            "(path=\"%s\", max_size=%lu)\n",
                            path, static_cast<unsigned long>(options_of(handle)->m_max_size));
    }
    return result;
}

int set_env(Handle *handle, const char *name, const char *value, bool replace)
{
    tarvik_ini_data_t *data = data_of(handle);
    if (replace) {
        for (tarvik_ini_node_t *entry = data->m_env_head; entry != nullptr; entry = entry->m_next) {
            if (entry->m_name == nullptr || strcmp(entry->m_name, name) != 0) {
                continue;
            }
            char *copy = nullptr;
            if (value != nullptr && (copy = tarvik_strdup_tag(value, TARVIK_TAG)) == nullptr) {
                return -1;
            }
            if (entry->m_value != nullptr && !inside_block(entry, entry->m_value)) {
                tarvik_free_tag(entry->m_value, TARVIK_TAG);
            }
            entry->m_value = copy;
            return 0;
        }
    }
    auto *entry =
        new_record<tarvik_ini_node_t>(Text::of(name), true, Text::of(value), value != nullptr);
    if (entry == nullptr) {
        return -1;
    }
    entry->m_flags = VARIABLE;
    tarvik::detail::SinglyLinked<tarvik_ini_node_t>(&data->m_env_head, &data->m_env_tail)
        .push_back(entry);
    return 0;
}

// ---- save and dump ------------------------------------------------------------------------

bool starts_unit(const uint8_t *p, size_t left)
{
    Unit u = measure([p, left](size_t k) { return k < left ? p[k] : -1; }, true);
    return u.m_kind == Kind::MULTIBYTE;
}

// Writes text so that reading it back gives the same bytes: inside double quotes (quoted)
// or bare as a name or section part, with a backslash before every byte that would be
// read otherwise.
bool append_escaped(Builder &out, const char *text, bool quoted, const tarvik_ini_option_t *options)
{
    auto *p = reinterpret_cast<const uint8_t *>(tarvik_check_string(text));
    size_t length = strlen(reinterpret_cast<const char *>(p));
    // Escaped line breaks are skipped where an item starts: an empty quoted run in front
    // keeps a leading one.
    if (!quoted && length > 0 && (p[0] == '\r' || p[0] == '\n') && !out.puts("\"\"")) {
        return false;
    }
    for (size_t i = 0; i < length;) {
        uint8_t c = p[i];
        if (c >= 0x80) {
            if (starts_unit(p + i, length - i)) {
                size_t unit = static_cast<size_t>(leading_ones(c));
                if (!out.append(p + i, unit)) {
                    return false;
                }
                i += unit;
                continue;
            }
        }
        bool escape = c >= 0x80 || c == '"' || c == '\'' || c == '\\' || c == '\r' || c == '\n' ||
                      c == static_cast<uint8_t>(options->m_variable_prefix);
        if (!quoted) {
            escape = escape || strchr(",=:]#;[", c) != nullptr ||
                     c == static_cast<uint8_t>(options->m_mark_prefix) ||
                     (is_space(c) && (i == 0 || i + 1 == length));
        }
        if ((escape && !out.put('\\')) || !out.put(static_cast<char>(c))) {
            return false;
        }
        ++i;
    }
    // An escaped break at the end would take the line's own break as its pair.
    return quoted || length == 0 || (p[length - 1] != '\r' && p[length - 1] != '\n') ||
           out.puts("\"\"");
}

bool append_section_header(Builder &out, const tarvik_ini_section_t *section,
                           const tarvik_ini_option_t *options)
{
    if (!out.puts("\n[") || !append_escaped(out, section->m_name, false, options)) {
        return false;
    }
    if (section->m_value != nullptr &&
        (!out.put(':') || !append_escaped(out, section->m_value, false, options))) {
        return false;
    }
    return out.puts("]\n");
}

bool append_node(Builder &out, const tarvik_ini_node_t *node, const tarvik_ini_option_t *options)
{
    size_t start = out.m_length;
    if (node->m_name[0] == '\0' && node->m_value == nullptr) {
        return out.puts("\"\"");
    }
    if (!append_escaped(out, node->m_name, false, options) || !out.pad(start + 30)) {
        return false;
    }
    if (node->m_value == nullptr) {
        return true;
    }
    return out.puts(" = \"") && append_escaped(out, node->m_value, true, options) && out.put('"');
}

bool is_blank_section(const tarvik_ini_section_t *section)
{
    return (section->m_name == nullptr || section->m_name[0] == '\0') &&
           (section->m_value == nullptr || section->m_value[0] == '\0');
}

bool build_saved_text(Builder &out, tarvik_ini_t *ini)
{
    if (!out.puts("# INI SAVE (RE-FORM)\n\n")) {
        return false;
    }
    for (tarvik_ini_section_t *section = ini->m_data->m_section_head; section != nullptr;
         section = section->m_next) {
        if (!(section == ini->m_data->m_section_head && is_blank_section(section)) &&
            !append_section_header(out, section, ini->m_option)) {
            return false;
        }
        for (tarvik_ini_node_t *node = section->m_node; node != nullptr;) {
            uint32_t line = node->m_line;
            for (bool first = true; node != nullptr && node->m_line == line;
                 node = node->m_next_in_section, first = false) {
                if ((!first && !out.puts(", ")) || !append_node(out, node, ini->m_option)) {
                    return false;
                }
            }
            if (!out.put('\n')) {
                return false;
            }
        }
    }
    return out.puts("\n# END OF INI\n");
}

constexpr const char NAME_PLAIN[2][32] = {"\033[0;31m\"\033[0m", "\033[0;31m\"\033[0m"};
constexpr const char NAME_VARIABLE[2][32] = {"\033[0;31m\"\033[1;32m", "\033[0;31m\"\033[0m"};
constexpr const char NAME_MARKED[2][32] = {"\033[0;31m\"\033[1;36m", "\033[0;31m\"\033[0m"};
constexpr const char VALUE_PLAIN[2][32] = {"=\033[0;31m\"\033[0m", "\033[0;31m\"\033[0m"};
constexpr const char VALUE_SUBSTITUTED[2][32] = {"=\033[0;31m\"\033[1;35m", "\033[0;31m\"\033[0m"};
constexpr const char SECTION_NAME[2][32] = {"\033[0;31m\"\033[1;33m", "\033[0;31m\"\033[0m"};
constexpr const char SECTION_VALUE[2][32] = {":\033[0;31m\"\033[1;37m", "\033[0;31m\"\033[0m"};

void put_piece(Writer &line, const char (&piece)[2][32], const char *text)
{
    line.puts(piece[0]).puts(tarvik_check_string(text)).puts(piece[1]);
}

void put_item(Writer &line, const tarvik_ini_node_t *node)
{
    const auto &name = (node->m_flags & VARIABLE) != 0 ? NAME_VARIABLE
                       : (node->m_flags & MARKED) != 0 ? NAME_MARKED
                                                       : NAME_PLAIN;
    put_piece(line, name, node->m_name);
    if (node->m_value != nullptr) {
        put_piece(line, (node->m_flags & SUBSTITUTED) != 0 ? VALUE_SUBSTITUTED : VALUE_PLAIN,
                  node->m_value);
    }
}

void print_line(const char *prefix, const char *buffer)
{
    tarvik_printf("%s%s\n", tarvik_check_string(prefix), buffer);
}

} // namespace

TARVIK_API tarvik_ini_t *tarvik_open_ini(void)
{
    Handle *handle = open_handle();
    return handle != nullptr ? &handle->m_public : nullptr;
}

TARVIK_API int tarvik_close_ini(tarvik_ini_t *ini)
{
    return ini != nullptr ? close_handle(handle_of(ini)) : 0;
}

TARVIK_API int tarvik_ini_free_node(tarvik_ini_node_t *node)
{
    free_records(node);
    return 0;
}

TARVIK_API int tarvik_ini_free_section(tarvik_ini_section_t *section)
{
    free_records(section);
    return 0;
}

TARVIK_API int tarvik_ini_push_ex(tarvik_ini_t *ini, const void *data, size_t size,
                                  uint32_t queue_flags)
{
    if (ini == nullptr) {
        if ((queue_flags & TARVIK_BUFFER_HAND_OVER) != 0 && data != nullptr) {
            tarvik_free_tag(const_cast<void *>(data), TARVIK_TAG);
        }
        return -1;
    }
    return push(handle_of(ini), data, size, queue_flags);
}

TARVIK_API int tarvik_ini_push(tarvik_ini_t *ini, const void *data, size_t size)
{
    return tarvik_ini_push_ex(ini, data, size, 0);
}

TARVIK_API int tarvik_ini_vprintf(tarvik_ini_t *ini, const char *format, va_list arguments)
{
    if (ini == nullptr || format == nullptr) {
        return -1;
    }
    char *text = tarvik_alloc_vsprintf(format, arguments);
    if (text == nullptr) {
        return -1;
    }
    return push(handle_of(ini), text, strlen(text), TARVIK_BUFFER_HAND_OVER);
}

TARVIK_API int tarvik_ini_printf(tarvik_ini_t *ini, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int result = tarvik_ini_vprintf(ini, format, arguments);
    va_end(arguments);
    return result;
}

TARVIK_API int tarvik_ini_set_value(tarvik_ini_t *ini, const char *name, const char *value)
{
    if (ini == nullptr) {
        return -1;
    }
    Builder line = {};
    if (!line.puts(name) || !line.puts("=\"") || !line.puts(value) || !line.puts("\"\n")) {
        line.release();
        return -1;
    }
    return push(handle_of(ini), line.m_data, line.m_length, TARVIK_BUFFER_HAND_OVER);
}

TARVIK_API int tarvik_ini_do_parse_line(tarvik_ini_t *ini, const char *line, size_t size)
{
    if (ini == nullptr || line == nullptr) {
        return -1;
    }
    // The line ends at its first line break, as the splitter would end it.
    auto *p = reinterpret_cast<const uint8_t *>(line);
    size_t length = 0;
    uint32_t escaped_breaks = 0;
    while (length < size) {
        Unit u = measure([&](size_t k) { return length + k < size ? p[length + k] : -1; }, true);
        if (u.m_kind == Kind::BREAK) {
            break;
        }
        escaped_breaks += u.m_kind == Kind::ESCAPED_BREAK ? 1u : 0u;
        length += u.m_length;
    }
    return parse_line(handle_of(ini), Text(line, length < size ? length : size), escaped_breaks);
}

TARVIK_API int tarvik_ini_load_file(tarvik_ini_t *ini, const char *path)
{
    if (ini == nullptr || path == nullptr) {
        return -1;
    }
    return load_file(handle_of(ini), path);
}

TARVIK_API int tarvik_ini_set_env(tarvik_ini_t *ini, const char *name, const char *value)
{
    if (ini == nullptr || name == nullptr) {
        return -1;
    }
    return set_env(handle_of(ini), name, value, true);
}

TARVIK_API int tarvik_ini_set_env_line(tarvik_ini_t *ini, const char *text)
{
    if (ini == nullptr || text == nullptr) {
        return -1;
    }
    tarvik::detail::Cursor cursor = tarvik::detail::Cursor::of(text);
    cursor.skip_space();
    Text name = cursor.take_until([](int c) { return c == '=' || c == '\n'; });
    Text value;
    bool has_value = cursor.take_if('=');
    if (has_value) {
        cursor.skip_space();
        // The value runs to the end of the line: values such as "a=b" stay whole.
        value = cursor.take_until([](int c) { return c == '\n'; });
    }
    Builder copy = {};
    if (!copy.append(name.m_data, name.m_length) || !copy.put('\0') ||
        (has_value && (!copy.append(value.m_data, value.m_length) || !copy.put('\0')))) {
        copy.release();
        return -1;
    }
    int result = set_env(handle_of(ini), copy.m_data,
                         has_value ? copy.m_data + name.m_length + 1 : nullptr, true);
    copy.release();
    return result;
}

TARVIK_API int tarvik_ini_load_env(tarvik_ini_t *ini)
{
    if (ini == nullptr) {
        return -1;
    }
    int result = 0;
    for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (tarvik_ini_set_env_line(ini, *entry) != 0) {
            result = -1;
        }
    }
    return result;
}

TARVIK_API tarvik_ini_node_t *tarvik_ini_search_node(tarvik_ini_t *ini, tarvik_ini_node_t **start,
                                                     const char *section_patterns, const char *name)
{
    if (ini == nullptr) {
        return nullptr;
    }
    tarvik_ini_node_t *node = start != nullptr ? *start : ini->m_data->m_node_head;
    for (; node != nullptr; node = node->m_next) {
        if (section_patterns != nullptr &&
            (node->m_section == nullptr ||
             tarvik_check_pattern_list(section_patterns, "|", node->m_section->m_name) != 0)) {
            continue;
        }
        if (name != nullptr && (node->m_name == nullptr || strcmp(node->m_name, name) != 0)) {
            continue;
        }
        return node;
    }
    return nullptr;
}

TARVIK_API const char *tarvik_ini_get_value(tarvik_ini_t *ini, const char *section_patterns,
                                            const char *name, const char *fallback)
{
    tarvik_ini_node_t *node = tarvik_ini_search_node(ini, nullptr, section_patterns, name);
    return node != nullptr ? node->m_value : fallback;
}

TARVIK_API int tarvik_ini_get_int(tarvik_ini_t *ini, const char *section_patterns, const char *name,
                                  int *out, int fallback)
{
    if (out != nullptr) {
        *out = fallback;
    }
    tarvik_ini_node_t *node = tarvik_ini_search_node(ini, nullptr, section_patterns, name);
    if (node == nullptr) {
        return out != nullptr ? -1 : fallback;
    }
    int value = static_cast<int>(tarvik_atointmax(tarvik_check_string(node->m_value), 0));
    if (out == nullptr) {
        return value;
    }
    *out = value;
    return 0;
}

TARVIK_API char *tarvik_ini_value_encode_ex(const char *escape_set, const char *text, size_t size,
                                            size_t *out_size)
{
    if (out_size != nullptr) {
        *out_size = 0;
    }
    if (text == nullptr) {
        return nullptr;
    }
    const char *set = escape_set != nullptr ? escape_set : "'\"\n\r";
    auto escaped = [set](char c) { return c == '\0' || strchr(set, c) != nullptr; };
    size_t length = size;
    for (size_t i = 0; i < size; ++i) {
        length += escaped(text[i]) ? 1 : 0;
    }
    auto *encoded = static_cast<char *>(tarvik_alloc_tag(length + 1, TARVIK_TAG));
    if (encoded == nullptr) {
        return nullptr;
    }
    char *out = encoded;
    for (size_t i = 0; i < size; ++i) {
        if (escaped(text[i])) {
            *out++ = '\\';
        }
        *out++ = text[i];
    }
    *out = '\0';
    if (out_size != nullptr) {
        *out_size = length;
    }
    return encoded;
}

TARVIK_API char *tarvik_ini_value_encode(const char *text)
{
    return text != nullptr ? tarvik_ini_value_encode_ex("'\"\n\r", text, strlen(text), nullptr)
                           : nullptr;
}

TARVIK_API int tarvik_ini_save_file(tarvik_ini_t *ini, const char *path)
{
    if (ini == nullptr || path == nullptr) {
        return -1;
    }
    Builder text = {};
    if (!build_saved_text(text, ini)) {
        text.release();
        return -1;
    }
    int descriptor = tarvik_open(path,
                                 def_tarvik_open_write | def_tarvik_open_create |
                                     def_tarvik_open_truncate | def_tarvik_open_large_file,
                                 0644u);
    int result = -1;
    if (descriptor >= 0) {
        ssize_t written = write(descriptor, text.m_data, text.m_length);
        result = written == static_cast<ssize_t>(text.m_length) ? 0 : -1;
        if (close(descriptor) != 0) {
            result = -1;
        }
    }
    text.release();
    return result;
}

TARVIK_API int tarvik_ini_dump(tarvik_ini_t *ini, const char *prefix)
{
    if (ini == nullptr) {
        return -1;
    }
    auto *buffer = static_cast<char *>(tarvik_alloc_tag(DUMP_LINE, TARVIK_TAG));
    if (buffer == nullptr) {
        return -1;
    }
    for (tarvik_ini_node_t *entry = ini->m_data->m_env_head; entry != nullptr;
         entry = entry->m_next) {
        Writer line(buffer, DUMP_LINE);
        put_item(line, entry);
        print_line(prefix, buffer);
    }
    for (tarvik_ini_section_t *section = ini->m_data->m_section_head; section != nullptr;
         section = section->m_next) {
        if (!(section == ini->m_data->m_section_head && section->m_name == nullptr &&
              section->m_value == nullptr)) {
            Writer line(buffer, DUMP_LINE);
            line.put('[');
            put_piece(line, SECTION_NAME, section->m_name);
            if (section->m_value != nullptr) {
                put_piece(line, SECTION_VALUE, section->m_value);
            }
            line.put(']');
            print_line(prefix, buffer);
        }
        for (tarvik_ini_node_t *node = section->m_node; node != nullptr;) {
            Writer line(buffer, DUMP_LINE);
            uint32_t number = node->m_line;
            for (bool first = true; node != nullptr && node->m_line == number;
                 node = node->m_next_in_section, first = false) {
                if (!first) {
                    line.puts(", ");
                }
                put_item(line, node);
            }
            print_line(prefix, buffer);
        }
    }
    tarvik_free_tag(buffer, TARVIK_TAG);
    return 0;
}
