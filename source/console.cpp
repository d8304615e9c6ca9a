// The output channels (standard output, error output, system log) with their handlers,
// colour stripping for non-terminals, the console gadgets and the assertion report.
// Channels take no lock: stdio's own stream lock keeps each write whole.
#include "console.h"

#include "date.h"
#include "detail/common.hpp"
#include "detail/console.hpp"
#include "format.h"
#include "heap.h"
#include "terminal.h"
#include "time.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr char ESC = '\x1b';
// Texts up to this size are formatted and stripped on the stack, without the heap.
constexpr size_t STACK_TEXT = 512;
constexpr uint64_t ROLL_STEP_MSEC = 100;
constexpr const char *ROLL_FRAMES[10] = {">  ", ">> ", ">>>", " >>", "  >",
                                         "  <", " <<", "<<<", "<< ", "<  "};
constexpr size_t DUMP_INDENT_INLINE = 64;

struct Channel {
    tarvik_puts_handler_t m_handler;
    int m_tty; // -1 until the first output, then 1 or 0 for the rest of the process
    int m_fd;
};

Channel s_out = {nullptr, -1, STDOUT_FILENO};
Channel s_err = {nullptr, -1, STDERR_FILENO};
tarvik_log_puts_handler_t s_log_handler;

tarvik_short_lock_t s_roll_lock;
unsigned s_roll_counter;
uint64_t s_roll_stamp;

FILE *stream_of(const Channel &channel) { return channel.m_fd == STDOUT_FILENO ? stdout : stderr; }

bool is_terminal(Channel &channel)
{
    int tty = __atomic_load_n(&channel.m_tty, __ATOMIC_RELAXED);
    if (tty < 0) {
        tty = isatty(channel.m_fd) == 1 ? 1 : 0;
        __atomic_store_n(&channel.m_tty, tty, __ATOMIC_RELAXED);
    }
    return tty == 1;
}

// One stdio call per text, so that concurrent writers do not interleave within it.
int write_text(FILE *stream, const char *text, size_t length)
{
    if (length == 0) {
        return 0;
    }
    return fwrite(text, 1, length, stream) == length ? static_cast<int>(length) : EOF;
}

int write_stripped(FILE *stream, char *text)
{
    tarvik_strip_ansi_code(text);
    return write_text(stream, text, strlen(text));
}

// writable says that text is a scratch copy the channel may strip in place.
int channel_puts(Channel &channel, tarvik_puts_handler_t self, const char *text, bool writable)
{
    tarvik_puts_handler_t handler = __atomic_load_n(&channel.m_handler, __ATOMIC_RELAXED);
    if (handler != nullptr && handler != self) {
        return handler(text);
    }
    bool tty = is_terminal(channel);
    FILE *stream = stream_of(channel);
    if (text == nullptr) {
        fflush(stream);
        return 0;
    }
    size_t length = strlen(text);
    if (tty || memchr(text, ESC, length) == nullptr) {
        return write_text(stream, text, length);
    }
    if (writable) {
        return write_stripped(stream, const_cast<char *>(text));
    }
    if (length < STACK_TEXT) {
        char copy[STACK_TEXT];
        memcpy(copy, text, length + 1);
        return write_stripped(stream, copy);
    }
    char *copy = tarvik_strdup_tag(text, TARVIK_TAG);
    if (copy == nullptr) {
        return 0;
    }
    int result = write_stripped(stream, copy);
    tarvik_free_tag(copy, TARVIK_TAG);
    return result;
}

int channel_vprintf(Channel &channel, tarvik_puts_handler_t self, const char *format,
                    va_list arguments)
{
    if (format == nullptr) {
        return 0;
    }
    char buffer[STACK_TEXT];
    int length = tarvik_vsnprintf(buffer, sizeof(buffer), format, arguments);
    if (static_cast<size_t>(length) < sizeof(buffer) - 1) {
        return channel_puts(channel, self, buffer, true);
    }
    char *text = tarvik_alloc_vsprintf(format, arguments);
    if (text == nullptr) {
        return 0;
    }
    int result = channel_puts(channel, self, text, true);
    tarvik_free_tag(text, TARVIK_TAG);
    return result;
}

int set_handler(Channel &channel, tarvik_puts_handler_t handler, tarvik_puts_handler_t *old_out)
{
    if (old_out != nullptr) {
        *old_out = __atomic_load_n(&channel.m_handler, __ATOMIC_RELAXED);
    }
    __atomic_store_n(&channel.m_handler, handler, __ATOMIC_RELAXED);
    return 0;
}

void syslog_open(void *, const char *identity) { openlog(identity, LOG_PID | LOG_CONS, LOG_USER); }
void syslog_write(void *, const char *message) { syslog(LOG_INFO, "%s", message); }
void syslog_close(void *) { closelog(); }

// Copies one line, strips it and adds the location suffix; hands it to the backend.
void log_line(const tarvik::detail::LogBackend &backend, const char *start, size_t length,
              const char *tag, unsigned long line)
{
    const char *where = tag != nullptr ? tag : "";
    size_t size = length + 1 + (line != 0 ? strlen(where) + 32 : 0);
    char stack[STACK_TEXT];
    char *message =
        size <= sizeof(stack) ? stack : static_cast<char *>(tarvik_alloc_tag(size, TARVIK_TAG));
    if (message == nullptr) {
        return;
    }
    memcpy(message, start, length);
    message[length] = '\0';
    tarvik_strip_ansi_code(message);
    if (line != 0) {
        size_t used = strlen(message);
        tarvik_snprintf(message + used, size - used, " [%s:%lu]", where, line);
    }
    backend.m_write(backend.m_context, message);
    if (message != stack) {
        tarvik_free_tag(message, TARVIK_TAG);
    }
}

bool is_line_break(char c) { return c == '\n' || c == '\r'; }

// value * scale / total, exact for any 64-bit value and total (scale below 2^32): the
// 96-bit product is divided bit by bit.
uint64_t scale_of(uint64_t value, uint64_t total, uint32_t scale)
{
    uint64_t high_part = (value >> 32) * scale;
    uint64_t low_part = (value & 0xFFFFFFFFu) * scale;
    uint64_t low = low_part + (high_part << 32);
    uint64_t high = (high_part >> 32) + (low < low_part ? 1u : 0u);
    uint64_t remainder = 0;
    uint64_t quotient = 0;
    for (int bit = 95; bit >= 0; --bit) {
        uint64_t next = bit >= 64 ? (high >> (bit - 64)) & 1u : (low >> bit) & 1u;
        bool carry = (remainder >> 63) != 0;
        remainder = (remainder << 1) | next;
        quotient <<= 1;
        if (carry || remainder >= total) {
            remainder -= total;
            quotient |= 1u;
        }
    }
    return quotient;
}

// Bar text of width cells into bar (room for width + 32 bytes).
void build_bar(char *bar, int width, int filled, const char *label)
{
    const char *text = label != nullptr ? label : "";
    size_t label_length = strlen(text);
    char *p = bar;
    auto append = [&p](const char *s) {
        size_t n = strlen(s);
        memcpy(p, s, n);
        p += n;
    };
    append("\x1b[1;32m");
    for (int i = 0; i < filled; ++i) {
        *p++ = static_cast<size_t>(i) < label_length ? text[i] : '=';
    }
    if (filled < width) {
        append("\x1b[1;37m>");
        if (label != nullptr) {
            append("\x1b[0;31m");
        }
        for (int i = filled + 1; i < width; ++i) {
            *p++ = label != nullptr && static_cast<size_t>(i) < label_length ? text[i] : ' ';
        }
    }
    append("\x1b[0m");
    *p = '\0';
}

} // namespace

namespace tarvik::detail {

size_t dump_line(char *line, size_t size, const unsigned char *data, size_t count, uint64_t address)
{
    static constexpr char HEX[] = "0123456789ABCDEF";
    int head = tarvik_snprintf(line, size, "%08llX", static_cast<unsigned long long>(address));
    char *p = line + head;
    char text[17];
    for (size_t j = 0; j < 16; ++j) {
        if (j < count) {
            unsigned char byte = data[j];
            memcpy(p, j == 8 ? " | " : " ", j == 8 ? 3 : 1);
            p += j == 8 ? 3 : 1;
            *p++ = HEX[byte >> 4];
            *p++ = HEX[byte & 15u];
            text[j] = byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.';
        } else {
            size_t blanks = j == 8 ? 5 : 3;
            memset(p, ' ', blanks);
            p += blanks;
            text[j] = ' ';
        }
    }
    text[16] = '\0';
    memcpy(p, " [", 2);
    p += 2;
    memcpy(p, text, 16);
    p += 16;
    memcpy(p, "]\n", 3);
    return static_cast<size_t>(p + 2 - line);
}

int log_puts_to(const LogBackend &backend, const char *text, const char *tag, unsigned long line)
{
    if (text == nullptr) {
        return 0;
    }
    backend.m_open(backend.m_context, tag != nullptr ? tag : "TARVIK");
    const char *p = text;
    while (*p != '\0') {
        // Runs of line breaks are skipped, so no empty line reaches the log.
        while (is_line_break(*p)) {
            ++p;
        }
        const char *start = p;
        while (*p != '\0' && !is_line_break(*p)) {
            ++p;
        }
        if (p > start) {
            log_line(backend, start, static_cast<size_t>(p - start), tag, line);
        }
    }
    backend.m_close(backend.m_context);
    return static_cast<int>(p - text);
}

} // namespace tarvik::detail

extern "C" {

TARVIK_API int tarvik_quiet_puts(const char *text)
{
    (void)text;
    return 0;
}

TARVIK_API int tarvik_puts(const char *text)
{
    return channel_puts(s_out, tarvik_puts, text, false);
}

TARVIK_API int tarvik_vprintf(const char *format, va_list arguments)
{
    return channel_vprintf(s_out, tarvik_puts, format, arguments);
}

TARVIK_API int tarvik_printf(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int result = channel_vprintf(s_out, tarvik_puts, format, arguments);
    va_end(arguments);
    return result;
}

TARVIK_API int tarvik_set_puts_handler(tarvik_puts_handler_t handler,
                                       tarvik_puts_handler_t *old_out)
{
    return set_handler(s_out, handler, old_out);
}

TARVIK_API int tarvik_error_puts(const char *text)
{
    return channel_puts(s_err, tarvik_error_puts, text, false);
}

TARVIK_API int tarvik_error_vprintf(const char *format, va_list arguments)
{
    return channel_vprintf(s_err, tarvik_error_puts, format, arguments);
}

TARVIK_API int tarvik_error_printf(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int result = channel_vprintf(s_err, tarvik_error_puts, format, arguments);
    va_end(arguments);
    return result;
}

TARVIK_API int tarvik_set_error_puts_handler(tarvik_puts_handler_t handler,
                                             tarvik_puts_handler_t *old_out)
{
    return set_handler(s_err, handler, old_out);
}

TARVIK_API int tarvik_log_puts_tag(const char *text, const char *tag, unsigned long line)
{
    tarvik_log_puts_handler_t handler = __atomic_load_n(&s_log_handler, __ATOMIC_RELAXED);
    // tarvik_log_puts (installed through a cast) or this function itself mean the
    // built-in path; calling them would recurse.
    uintptr_t address = reinterpret_cast<uintptr_t>(handler);
    if (handler != nullptr && handler != tarvik_log_puts_tag &&
        address != reinterpret_cast<uintptr_t>(tarvik_log_puts)) {
        return handler(text, tag, line);
    }
    static constexpr tarvik::detail::LogBackend backend = {syslog_open, syslog_write, syslog_close,
                                                           nullptr};
    return tarvik::detail::log_puts_to(backend, text, tag, line);
}

TARVIK_API int tarvik_log_puts(const char *text) { return tarvik_log_puts_tag(text, nullptr, 0); }

TARVIK_API int tarvik_log_vprintf(const char *format, va_list arguments)
{
    char *text = tarvik_alloc_vsprintf(format, arguments);
    if (text == nullptr) {
        return 0;
    }
    int result = tarvik_log_puts(text);
    tarvik_free_tag(text, TARVIK_TAG);
    return result;
}

TARVIK_API int tarvik_log_printf(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int result = tarvik_log_vprintf(format, arguments);
    va_end(arguments);
    return result;
}

TARVIK_API int tarvik_set_log_puts_handler(tarvik_log_puts_handler_t handler,
                                           tarvik_log_puts_handler_t *old_out)
{
    if (old_out != nullptr) {
        *old_out = __atomic_load_n(&s_log_handler, __ATOMIC_RELAXED);
    }
    __atomic_store_n(&s_log_handler, handler, __ATOMIC_RELAXED);
    return 0;
}

TARVIK_API char *tarvik_strip_ansi_code(char *text)
{
    if (text == nullptr) {
        return nullptr;
    }
    char *to = text;
    bool in_sequence = false;
    for (const char *from = text; *from != '\0'; ++from) {
        char c = *from;
        if (in_sequence) {
            // Parameters continue the sequence; its final character ends it. Both go.
            // "?" is the private-mode marker of the cursor switch ("\e[?25l"), which
            // would otherwise leave "25l" behind in redirected output.
            in_sequence = (c >= '0' && c <= '9') || c == ';' || c == '[' || c == '?';
        } else if (c == ESC) {
            in_sequence = true;
        } else {
            *to++ = c;
        }
    }
    *to = '\0';
    return text;
}

TARVIK_API const char *tarvik_roll_string(void)
{
    tarvik::detail::ShortLockGuard guard(&s_roll_lock);
    uint64_t now = tarvik_time_stamp_msec(nullptr);
    if (now - s_roll_stamp >= ROLL_STEP_MSEC) {
        ++s_roll_counter;
        s_roll_stamp = now;
    }
    return ROLL_FRAMES[s_roll_counter % 10u];
}

TARVIK_API int tarvik_progress_bar(uint64_t value, uint64_t total, const char *prefix,
                                   const char *label, const char *suffix_format, ...)
{
    int columns = 0;
    tarvik_get_terminal_size(&columns, nullptr);
    if (columns <= 0) {
        columns = 80;
    }
    char *bar =
        static_cast<char *>(tarvik_alloc_tag(static_cast<size_t>(columns) + 128, TARVIK_TAG));
    if (bar == nullptr) {
        return -1;
    }
    char *suffix = nullptr;
    if (suffix_format != nullptr) {
        va_list arguments;
        va_start(arguments, suffix_format);
        suffix = tarvik_alloc_vsprintf(suffix_format, arguments);
        va_end(arguments);
    }
    int64_t room = static_cast<int64_t>(columns) -
                   static_cast<int64_t>(prefix != nullptr ? strlen(prefix) : 1) - 7 -
                   static_cast<int64_t>(suffix != nullptr ? strlen(suffix) : 1) - 2;
    int width = room > 0 ? static_cast<int>(room) : 0;
    bool full = total == 0 || value >= total;
    int percent = full ? 100 : static_cast<int>(scale_of(value, total, 100));
    const char *shown_prefix = prefix != nullptr ? prefix : " ";
    const char *shown_suffix = suffix != nullptr ? suffix : " ";
    int result;
    if (width > 0) {
        int filled =
            full ? width : static_cast<int>(scale_of(value, total, static_cast<uint32_t>(width)));
        build_bar(bar, width, filled, label);
        result = tarvik_printf("\r%s\x1b[1;37m%3d%%\x1b[0m [%s]%s ", shown_prefix, percent, bar,
                               shown_suffix);
    } else {
        result =
            tarvik_printf("\r%s\x1b[1;37m%3d%%\x1b[0m%s ", shown_prefix, percent, shown_suffix);
    }
    tarvik_puts(nullptr);
    tarvik_check_free_tag(suffix, TARVIK_TAG);
    tarvik_free_tag(bar, TARVIK_TAG);
    return result;
}

TARVIK_API const void *tarvik_dump_ex(int indent, size_t offset, const void *base, size_t size,
                                      uint64_t display_address)
{
    if (base == nullptr) {
        return nullptr;
    }
    static constexpr char SPACES[] =
        "                                                                ";
    static_assert(sizeof(SPACES) - 1 == DUMP_INDENT_INLINE);
    const unsigned char *data = static_cast<const unsigned char *>(base) + offset;
    size_t spaces = indent > 0 ? static_cast<size_t>(indent) : 0;
    // Each line goes out in one write (indent included when it is reasonable), so that
    // a handler such as the system log sees whole lines.
    char line[DUMP_INDENT_INLINE + 128];
    for (size_t i = 0; i < size; i += 16) {
        size_t count = size - i < 16 ? size - i : 16;
        size_t inline_spaces = spaces;
        if (spaces > DUMP_INDENT_INLINE) {
            for (size_t left = spaces; left > 0;) {
                size_t chunk = left < DUMP_INDENT_INLINE ? left : DUMP_INDENT_INLINE;
                tarvik_puts(SPACES + DUMP_INDENT_INLINE - chunk);
                left -= chunk;
            }
            inline_spaces = 0;
        }
        memset(line, ' ', inline_spaces);
        tarvik::detail::dump_line(line + inline_spaces, sizeof(line) - inline_spaces, data + i,
                                  count, display_address + i);
        tarvik_puts(line);
    }
    tarvik_puts(nullptr);
    return base;
}

TARVIK_API int tarvik_assert_fail_tag(const char *source_file, const char *function,
                                      unsigned long line, const char *message)
{
    char stamp[32];
    tarvik_asctime(stamp, sizeof(stamp), nullptr, 2);
    fprintf(stderr,
            "tarvik [\x1b[1;31mASSERT\x1b[0m:\x1b[1;34m%s\x1b[0m:\x1b[1;32m%s\x1b[0m:\x1b[1;37m%lu"
            "\x1b[0m] <\x1b[1;31m%s\x1b[0m> %s\n",
            source_file != nullptr ? source_file : "UNKNOWN",
            function != nullptr ? function : "UNKNOWN", line,
            message != nullptr ? message : "NO_MESSAGE", stamp);
    return fflush(stderr);
}

TARVIK_API int tarvik_vassert_fail_tag(const char *source_file, const char *function,
                                       unsigned long line, const char *format, va_list arguments)
{
    char *message = tarvik_alloc_vsprintf(format, arguments);
    int result =
        tarvik_assert_fail_tag(source_file, function, line, message != nullptr ? message : format);
    tarvik_check_free_tag(message, TARVIK_TAG);
    return result;
}

} // extern "C"
