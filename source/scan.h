/* Number scanning over a peek/pop source, its string front ends, a fixed-point
 * parser and the library's scanf. */
#ifndef TARVIK_SCAN_H
#define TARVIK_SCAN_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Current byte, 0 at the end. */
typedef int (*tarvik_scan_peek_t)(void *context);
/* Advance by one byte; returns 0. */
typedef int (*tarvik_scan_pop_t)(void *context);

/* Sources over a NUL-terminated string: context is a (const char **) cursor. */
TARVIK_API int tarvik_scan_peek_mem(void *context);
TARVIK_API int tarvik_scan_pop_mem(void *context);

#define TARVIK_SCAN_DEFAULT_LIMIT 4096

/* Each returns the number of characters consumed. Outputs (may be null) get up to
 * limit characters plus a NUL. */
TARVIK_API size_t tarvik_scan_skip_space(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                         void *context);
TARVIK_API size_t tarvik_scan_skip_space_limit(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                               void *context, size_t limit);
TARVIK_API size_t tarvik_scan_until_space_limit(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                                void *context, char *output, size_t limit);
/* Stops at a character c with table[c] == value. */
TARVIK_API size_t tarvik_scan_until_xtable_limit(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                                 void *context, char *output, size_t limit,
                                                 const uint8_t *table, int value);

/* base <= 0: automatic ("0x" hexadecimal, otherwise decimal; no octal). Values wrap on
 * overflow. Returns characters consumed after leading white space (0: no number). */
TARVIK_API size_t tarvik_scan_atointmax_limit(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                              void *context, size_t limit, intmax_t *result,
                                              int base);
TARVIK_API size_t tarvik_scan_atollx_limit(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                           void *context, size_t limit, long long *result,
                                           int base);
TARVIK_API size_t tarvik_scan_atolx_limit(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                          void *context, size_t limit, long *result, int base);
TARVIK_API size_t tarvik_scan_atox_limit(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                         void *context, size_t limit, int *result, int base);
TARVIK_API size_t tarvik_scan_atointmax(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                        void *context, intmax_t *result, int base);
TARVIK_API size_t tarvik_scan_atollx(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop, void *context,
                                     long long *result, int base);
TARVIK_API size_t tarvik_scan_atolx(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop, void *context,
                                    long *result, int base);
TARVIK_API size_t tarvik_scan_atox(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop, void *context,
                                   int *result, int base);

/* String front ends; a null string gives 0. */
TARVIK_API intmax_t tarvik_atointmax(const char *string, int base);
/* end_out (may be null) receives the first character not consumed. */
TARVIK_API intmax_t tarvik_strtointmax(const char *string, char **end_out, int base);
TARVIK_API long tarvik_strtol(const char *string, char **end_out, int base);
TARVIK_API int tarvik_atoi(const char *string);
TARVIK_API int tarvik_atox(const char *string, int base);
TARVIK_API double tarvik_atof(const char *string);

/* base raised to exponent in 64 bits (wrapping). */
TARVIK_API int64_t tarvik_ipow(int64_t base, unsigned int exponent);
/* Optional sign, digits, "." and up to decimals digits; value x 10^decimals
 * (missing decimals are zeros, further ones ignored). end_out may be null. */
TARVIK_API int64_t tarvik_atofixed(const char *string, unsigned int decimals, char **end_out);

/* scanf over a source: number of fields assigned, -1 when the source ended first. */
TARVIK_API int tarvik_context_vscanf(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop, void *context,
                                     const char *format, va_list arguments);
TARVIK_API int tarvik_context_scanf(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop, void *context,
                                    const char *format, ...);
TARVIK_API int tarvik_vsscanf(const char *string, const char *format, va_list arguments);
TARVIK_API int tarvik_sscanf(const char *string, const char *format, ...);

TARVIK_END_DECLS

#endif
