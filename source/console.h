/* The three output channels (standard output, error output, system log) with
 * replaceable handlers, the console gadgets and the assertion report. */
#ifndef TARVIK_CONSOLE_H
#define TARVIK_CONSOLE_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

typedef int (*tarvik_puts_handler_t)(const char *text);
typedef int (*tarvik_log_puts_handler_t)(const char *text, const char *tag, unsigned long line);

/* Built-in handler that writes nothing; returns 0. */
TARVIK_API int tarvik_quiet_puts(const char *text);

/* Standard output. A null text flushes and returns 0. Colour codes are stripped
 * when the output is not a terminal. */
TARVIK_API int tarvik_puts(const char *text);
TARVIK_API int tarvik_vprintf(const char *format, va_list arguments);
TARVIK_API int tarvik_printf(const char *format, ...) TARVIK_PRINTF(1, 2);
/* Stores the current handler into old_out (may be null), installs handler; returns 0. */
TARVIK_API int tarvik_set_puts_handler(tarvik_puts_handler_t handler,
                                       tarvik_puts_handler_t *old_out);

/* Error output, same contracts. */
TARVIK_API int tarvik_error_puts(const char *text);
TARVIK_API int tarvik_error_vprintf(const char *format, va_list arguments);
TARVIK_API int tarvik_error_printf(const char *format, ...) TARVIK_PRINTF(1, 2);
TARVIK_API int tarvik_set_error_puts_handler(tarvik_puts_handler_t handler,
                                             tarvik_puts_handler_t *old_out);

/* System log under identity tag ("TARVIK" for null); returns the length of text. */
TARVIK_API int tarvik_log_puts_tag(const char *text, const char *tag, unsigned long line);
TARVIK_API int tarvik_log_puts(const char *text);
TARVIK_API int tarvik_log_vprintf(const char *format, va_list arguments);
TARVIK_API int tarvik_log_printf(const char *format, ...) TARVIK_PRINTF(1, 2);
TARVIK_API int tarvik_set_log_puts_handler(tarvik_log_puts_handler_t handler,
                                           tarvik_log_puts_handler_t *old_out);

/* Removes ANSI colour sequences in place; returns text. */
TARVIK_API char *tarvik_strip_ansi_code(char *text);

/* Current spinner frame (three characters, static). */
TARVIK_API const char *tarvik_roll_string(void);
/* Draws a progress line in place; returns the printed count, -1 when out of memory. */
TARVIK_API int tarvik_progress_bar(uint64_t value, uint64_t total, const char *prefix,
                                   const char *label, const char *suffix_format, ...)
    TARVIK_PRINTF(5, 6);
/* Hex dump of size bytes at base + offset; returns base (null prints nothing). */
TARVIK_API const void *tarvik_dump_ex(int indent, size_t offset, const void *base, size_t size,
                                      uint64_t display_address);

/* Assertion report on error output; the program continues. Returns the flush result. */
TARVIK_API int tarvik_assert_fail_tag(const char *source_file, const char *function,
                                      unsigned long line, const char *message);
TARVIK_API int tarvik_vassert_fail_tag(const char *source_file, const char *function,
                                       unsigned long line, const char *format, va_list arguments);

TARVIK_END_DECLS

#endif
