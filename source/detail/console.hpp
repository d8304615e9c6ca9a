// Internals of the console channels shared with their tests and the heap: the system-log
// line splitter runs against any backend, so it can be exercised without a system logger, and
// the hex-dump line is written by the heap's corruption report straight to the error output.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik::detail {

// One hex-dump line of count (at most 16) bytes, without indent, into line (128 bytes hold
// it); returns its length.
size_t dump_line(char *line, size_t size, const unsigned char *data, size_t count,
                 uint64_t address);

// Where tarvik_log_puts_tag sends its lines: open with an identity, one write per
// line (already stripped and suffixed), close.
struct LogBackend {
    void (*m_open)(void *context, const char *identity);
    void (*m_write)(void *context, const char *message);
    void (*m_close)(void *context);
    void *m_context;
};

// Splits text into non-empty lines, strips colour codes, appends " [tag:line]" when line
// is non-zero, and hands each to the backend. Returns the length of text (0 for null).
int log_puts_to(const LogBackend &backend, const char *text, const char *tag, unsigned long line);

} // namespace tarvik::detail
