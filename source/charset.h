/* Character-set detection (UTF-8, code page 949, Shift-JIS) and conversion to UTF-8,
 * with the code page 949 and Shift-JIS to Unicode lookups. */
#ifndef TARVIK_CHARSET_H
#define TARVIK_CHARSET_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Detection flags. */
#define TARVIK_CHARSET_SINGLE_BYTE 0x00000001u  /* contains single-byte (ASCII) characters */
#define TARVIK_CHARSET_DOUBLE_BYTE 0x00000002u  /* contains double-byte characters */
#define TARVIK_CHARSET_UTF8 0x00000004u         /* valid UTF-8 with a multi-byte character */
#define TARVIK_CHARSET_CP949 0x00000010u        /* every pair is a code page 949 character */
#define TARVIK_CHARSET_SHIFTJIS 0x00000020u     /* every pair is a Shift-JIS character */
#define TARVIK_CHARSET_UNKNOWN_PAIR 0x40000000u /* neither table accepts some pair */
#define TARVIK_CHARSET_TRUNCATED 0x80000000u    /* the text ends inside a pair */

/* Conversion options. */
#define TARVIK_CHARSET_REENCODE 0x1u /* re-encode UTF-8 input character by character */
#define TARVIK_CHARSET_FORCE 0x2u    /* convert despite unknown or truncated pairs */

/* Detection flags of size bytes at text; 0 for a null or empty text. */
TARVIK_API uint32_t tarvik_detect_string_charset(const char *text, size_t size);
/* New NUL-terminated UTF-8 heap string that the caller frees (tarvik_free_tag); null for
 * a null text, when out of memory, or when the text is refused (see the flags). */
TARVIK_API char *tarvik_convert_to_utf8_string(const char *text, size_t size, uint32_t options);

/* Unicode scalar of a code (first byte * 256 + second byte, or a single byte); 0 when
 * the table does not hold the code. */
TARVIK_API uint32_t tarvik_cp949_to_ucs(uint32_t code);
TARVIK_API uint32_t tarvik_shiftjs_to_ucs(uint32_t code);

/* Value paired with key in a table of count (key, value) pairs sorted by key, found by
 * bisection from the middle; fallback when key is absent or the table is null. */
TARVIK_API uint32_t tarvik_binary_search_from_uint_table(const uint32_t *table, size_t count,
                                                         uint32_t key, uint32_t fallback);

TARVIK_END_DECLS

#endif
