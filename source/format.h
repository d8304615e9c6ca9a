/* The library's printf-style formatter and number formatting. */
#ifndef TARVIK_FORMAT_H
#define TARVIK_FORMAT_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Number-formatting flags word of tarvik_xtoa_limit / tarvik_llxtoa_limit. */
#define TARVIK_XTOA_WIDTH_MASK 0x0FFFFFFFu
#define TARVIK_XTOA_SPACE 0x80000000u    /* pad with spaces */
#define TARVIK_XTOA_NEGATIVE 0x40000000u /* print a minus sign */
#define TARVIK_XTOA_LEFT 0x20000000u     /* left-justify (with TARVIK_XTOA_SPACE) */
#define TARVIK_XTOA_ZERO 0x10000000u     /* pad with "0" even with TARVIK_XTOA_SPACE */

/* Characters stored (always NUL-terminated when size > 0); size - 1 means possibly cut. */
TARVIK_API int tarvik_vsnprintf(char *buffer, size_t size, const char *format, va_list arguments);
TARVIK_API int tarvik_snprintf(char *buffer, size_t size, const char *format, ...)
    TARVIK_PRINTF(3, 4);
TARVIK_API int tarvik_vsprintf(char *buffer, const char *format, va_list arguments);
TARVIK_API int tarvik_sprintf(char *buffer, const char *format, ...) TARVIK_PRINTF(2, 3);

/* New tagged string the caller frees; null for a null format, on failure or past 65,278 characters.
 */
TARVIK_API char *tarvik_alloc_vsprintf(const char *format, va_list arguments);
TARVIK_API char *tarvik_alloc_sprintf(const char *format, ...) TARVIK_PRINTF(1, 2);
/* Like the allocating form; old (which may be an argument) is freed afterwards. */
TARVIK_API char *tarvik_realloc_vsprintf(char *old, const char *format, va_list arguments);
TARVIK_API char *tarvik_realloc_sprintf(char *old, const char *format, ...) TARVIK_PRINTF(2, 3);

/* Characters written (at most size, no NUL); digits null means "0123456789ABCDEF". */
TARVIK_API int tarvik_xtoa_limit(char *buffer, size_t size, unsigned long value, int base,
                                 uint32_t flags, const char *digits);
TARVIK_API int tarvik_llxtoa_limit(char *buffer, size_t size, uint64_t value, int base,
                                   uint32_t flags, const char *digits);

TARVIK_END_DECLS

#endif
