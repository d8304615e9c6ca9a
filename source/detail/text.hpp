// C++-only text toolkit shared by the library's readers and writers: ASCII classes, a
// byte-range view, a cursor that parses a range without copying, a bounded writer and a
// walker for "a|b|c" lists. Nothing here allocates; nothing crosses the C ABI.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarvik::detail {

// ---- ASCII classes (locale-free, bytes above 0x7f belong to no class) --------------------

constexpr bool is_digit(int c) { return c >= '0' && c <= '9'; }
constexpr bool is_upper(int c) { return c >= 'A' && c <= 'Z'; }
constexpr bool is_lower(int c) { return c >= 'a' && c <= 'z'; }
constexpr bool is_alpha(int c) { return is_upper(c) || is_lower(c); }
constexpr bool is_alnum(int c) { return is_alpha(c) || is_digit(c); }
// Space and tab only: the separators inside one line.
constexpr bool is_blank(int c) { return c == ' ' || c == '\t'; }
// The six white-space characters of the C locale.
constexpr bool is_space(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
// Bytes below 0x20 and DEL: what must never reach a terminal raw.
constexpr bool is_control(int c) { return (c >= 0 && c < 0x20) || c == 0x7f; }
constexpr char to_lower(char c) { return is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char to_upper(char c) { return is_lower(c) ? static_cast<char>(c - 'a' + 'A') : c; }

// Value of a hexadecimal digit in either case, or -1 for any other character.
constexpr int hex_digit_value(int c)
{
    if (is_digit(c)) {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

inline bool equal_ignoring_case(const char *left, size_t left_length, const char *right,
                                size_t right_length)
{
    if (left_length != right_length) {
        return false;
    }
    for (size_t i = 0; i < left_length; ++i) {
        if (to_lower(left[i]) != to_lower(right[i])) {
            return false;
        }
    }
    return true;
}

inline bool equal_ignoring_case(const char *left, const char *right)
{
    return equal_ignoring_case(left, strlen(left), right, strlen(right));
}

// ---- a byte range -------------------------------------------------------------------------

// A view of bytes owned elsewhere; not NUL-terminated.
struct Text {
    const char *m_data = nullptr;
    size_t m_length = 0;

    constexpr Text() = default;
    constexpr Text(const char *data, size_t length) : m_data(data), m_length(length) {}
    static Text of(const char *text) { return text ? Text(text, strlen(text)) : Text(); }

    bool empty() const { return m_length == 0; }
    const char *end() const { return m_data + m_length; }
    // Empty ranges may have no data pointer: memcmp is never asked to compare zero bytes.
    bool equals(Text other) const
    {
        return other.m_length == m_length &&
               (m_length == 0 || memcmp(m_data, other.m_data, m_length) == 0);
    }
    bool equals(const char *word) const { return equals(Text::of(word)); }
    bool equals_ignoring_case(const char *word) const
    {
        return equal_ignoring_case(m_data, m_length, word, strlen(word));
    }
    bool starts_with(const char *word) const
    {
        size_t length = strlen(word);
        return length <= m_length && (length == 0 || memcmp(m_data, word, length) == 0);
    }
    // Copies into buffer (always terminated, cut to fit); false when cut or size is 0.
    bool copy_to(char *buffer, size_t size) const
    {
        if (size == 0) {
            return false;
        }
        size_t length = m_length < size - 1 ? m_length : size - 1;
        memcpy(buffer, m_data, length);
        buffer[length] = '\0';
        return length == m_length;
    }
};

// ---- the cursor -----------------------------------------------------------------------------

// Reads a byte range front to back. Every reader stops at the end of the range, so a
// range need not be terminated and may hold NUL bytes.
class Cursor {
  public:
    Cursor(const char *data, size_t length) : m_p(data), m_end(data + length) {}
    Cursor(const char *data, const char *end) : m_p(data), m_end(end) {}
    explicit Cursor(Text text) : m_p(text.m_data), m_end(text.end()) {}
    static Cursor of(const char *text) { return Cursor(text, text ? strlen(text) : 0); }

    bool at_end() const { return m_p >= m_end; }
    size_t left() const { return static_cast<size_t>(m_end - m_p); }
    const char *position() const { return m_p; }
    const char *end() const { return m_end; }
    Text rest() const { return Text(m_p, left()); }
    void seek(const char *p) { m_p = p < m_end ? p : m_end; }

    // The next byte as 0..255, or -1 at the end.
    int peek() const { return at_end() ? -1 : static_cast<unsigned char>(*m_p); }
    int peek_at(size_t offset) const
    {
        return offset < left() ? static_cast<unsigned char>(m_p[offset]) : -1;
    }
    int take() { return at_end() ? -1 : static_cast<unsigned char>(*m_p++); }
    void skip(size_t count) { m_p += count < left() ? count : left(); }
    // Takes c when it is next.
    bool take_if(char c)
    {
        if (!at_end() && *m_p == c) {
            ++m_p;
            return true;
        }
        return false;
    }
    // Takes word when the range continues with it.
    bool take_text(const char *word)
    {
        size_t length = strlen(word);
        if (length > left() || (length > 0 && memcmp(m_p, word, length) != 0)) {
            return false;
        }
        m_p += length;
        return true;
    }

    template <typename Predicate> Text take_while(Predicate predicate)
    {
        const char *start = m_p;
        while (m_p < m_end && predicate(static_cast<unsigned char>(*m_p))) {
            ++m_p;
        }
        return Text(start, static_cast<size_t>(m_p - start));
    }
    template <typename Predicate> Text take_until(Predicate predicate)
    {
        return take_while([&](int c) { return !predicate(c); });
    }
    void skip_blanks() { take_while(is_blank); }
    void skip_space() { take_while(is_space); }

    // A run of digits as an unsigned number; false (and nothing taken) when there is no
    // digit or the value would pass limit.
    bool decimal(uint64_t *out, uint64_t limit = UINT64_MAX) { return number(out, 10, limit); }
    // An optional sign and digits, within [minimum, maximum]; nothing taken on failure.
    bool signed_decimal(int64_t *out, int64_t minimum = INT64_MIN, int64_t maximum = INT64_MAX)
    {
        const char *start = m_p;
        bool negative = take_if('-');
        if (!negative) {
            take_if('+');
        }
        uint64_t magnitude = 0;
        uint64_t limit = negative ? static_cast<uint64_t>(-(minimum + 1)) + 1u
                                  : static_cast<uint64_t>(maximum < 0 ? 0 : maximum);
        if ((negative && minimum >= 0) || !decimal(&magnitude, limit)) {
            m_p = start;
            return false;
        }
        // The limits above only stop overflow: a range such as 1..N or -5..-1 is checked whole.
        int64_t value =
            negative ? static_cast<int64_t>(0u - magnitude) : static_cast<int64_t>(magnitude);
        if (value < minimum || value > maximum) {
            m_p = start;
            return false;
        }
        *out = value;
        return true;
    }
    // A run of hexadecimal digits (no prefix); false when none or on overflow.
    bool hexadecimal(uint64_t *out) { return number(out, 16, UINT64_MAX); }
    // Skips blanks, then takes a word up to the next blank or line end (empty at the end).
    Text word()
    {
        skip_blanks();
        return take_until([](int c) { return is_space(c); });
    }
    // Skips separators, then takes a word up to the next separator.
    template <typename Separator> Text word(Separator separator)
    {
        take_while(separator);
        return take_until(separator);
    }
    // Takes one line without its end: the line break is LF, CR LF or a lone CR. false only
    // at the end of the range; a last line without a break is still a line.
    bool line(Text *out)
    {
        if (at_end()) {
            return false;
        }
        const char *start = m_p;
        while (m_p < m_end && *m_p != '\n' && *m_p != '\r') {
            ++m_p;
        }
        *out = Text(start, static_cast<size_t>(m_p - start));
        if (take_if('\r')) {
            take_if('\n');
        } else {
            take_if('\n');
        }
        return true;
    }

  private:
    bool number(uint64_t *out, unsigned base, uint64_t limit)
    {
        // One division per number, not per digit: 64-bit division is a library call on
        // 32-bit targets.
        const uint64_t cap = limit / base;
        const unsigned rest = static_cast<unsigned>(limit % base);
        const char *start = m_p;
        uint64_t value = 0;
        for (int digit;
             m_p < m_end && (digit = hex_digit_value(static_cast<unsigned char>(*m_p))) >= 0 &&
             static_cast<unsigned>(digit) < base;
             ++m_p) {
            if (value > cap || (value == cap && static_cast<unsigned>(digit) > rest)) {
                m_p = start;
                return false;
            }
            value = value * base + static_cast<unsigned>(digit);
        }
        if (m_p == start) {
            return false;
        }
        *out = value;
        return true;
    }

    const char *m_p;
    const char *m_end;
};

// ---- the bounded writer ----------------------------------------------------------------------

// Appends into a caller's buffer, always terminated (when size > 0), cutting what does
// not fit and remembering that it did. raw() makes a writer that stores at most limit
// characters and no terminator, or with a null buffer only counts them.
class Writer {
  public:
    Writer(char *buffer, size_t size)
        : Writer(buffer, size > 0 ? size - 1 : 0, size > 0 && buffer != nullptr)
    {
        if (m_terminated) {
            m_buffer[0] = '\0';
        }
    }
    static Writer raw(char *buffer, size_t limit) { return Writer(buffer, limit, false); }

    size_t length() const { return m_length; }
    bool truncated() const { return m_truncated; }
    bool full() const { return m_length >= m_limit; }
    const char *text() const { return m_buffer; }

    Writer &write(const char *data, size_t length) { return store(data, length, 0); }
    // count copies of c; a huge count costs no more than what fits.
    Writer &fill(char c, size_t count) { return store(nullptr, count, c); }
    Writer &put(char c) { return write(&c, 1); }
    Writer &puts(const char *text) { return text ? write(text, strlen(text)) : *this; }
    Writer &puts(Text text) { return write(text.m_data, text.m_length); }
    // Values that fit 32 bits take 32-bit arithmetic (64-bit division is a library call).
    Writer &decimal(uint64_t value)
    {
        return value <= UINT32_MAX ? digits(static_cast<uint32_t>(value), 10, 1)
                                   : digits(value, 10, 1);
    }
    Writer &signed_decimal(int64_t value)
    {
        if (value < 0) {
            put('-');
            return decimal(0u - static_cast<uint64_t>(value));
        }
        return decimal(static_cast<uint64_t>(value));
    }
    // Lower-case hexadecimal digits, at least width of them (20 at the most).
    Writer &hexadecimal(uint64_t value, unsigned width = 1) { return digits(value, 16, width); }

  private:
    template <typename T> Writer &digits(T value, unsigned base, unsigned width)
    {
        char digits[20];
        size_t count = 0;
        do {
            digits[sizeof(digits) - 1 - count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while ((value != 0 || count < width) && count < sizeof(digits));
        return write(digits + sizeof(digits) - count, count);
    }
    Writer(char *buffer, size_t limit, bool terminated)
        : m_buffer(buffer), m_limit(limit), m_terminated(terminated)
    {
    }
    // Stores length bytes of data, or length copies of c when data is null.
    Writer &store(const char *data, size_t length, char c)
    {
        if (length > m_limit - m_length) {
            length = m_limit - m_length;
            m_truncated = true;
        }
        if (m_buffer != nullptr && data != nullptr) {
            memcpy(m_buffer + m_length, data, length);
        } else if (m_buffer != nullptr) {
            memset(m_buffer + m_length, c, length);
        }
        m_length += length;
        if (m_terminated) {
            m_buffer[m_length] = '\0';
        }
        return *this;
    }

    char *m_buffer;
    size_t m_limit;
    size_t m_length = 0;
    bool m_terminated;
    bool m_truncated = false;
};

// ---- "a|b|c" lists ---------------------------------------------------------------------------

// Walks a separated list: a leading separator gives an empty first element, "||" an empty
// one between, and a trailing separator nothing more (so "|v|vexa" is "", "v", "vexa").
class ListWalker {
  public:
    explicit ListWalker(const char *list, char separator = '|')
        : m_cursor(list), m_separator(separator)
    {
    }

    bool next(Text *element)
    {
        if (m_cursor == nullptr || *m_cursor == '\0') {
            return false;
        }
        const char *start = m_cursor;
        while (*m_cursor != '\0' && *m_cursor != m_separator) {
            ++m_cursor;
        }
        *element = Text(start, static_cast<size_t>(m_cursor - start));
        if (*m_cursor == m_separator) {
            ++m_cursor;
        }
        return true;
    }

  private:
    const char *m_cursor;
    char m_separator;
};

// Whether name is one of the elements of list (compared exactly).
inline bool list_has(const char *list, Text name)
{
    ListWalker walker(list);
    Text element;
    while (walker.next(&element)) {
        if (element.equals(name)) {
            return true;
        }
    }
    return false;
}

} // namespace tarvik::detail
