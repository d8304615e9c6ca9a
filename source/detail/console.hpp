// Internals of the console channels shared with their tests: the system-log line
// splitter runs against any backend, so it can be exercised without a system logger.
#pragma once

namespace tarvik::detail {

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
