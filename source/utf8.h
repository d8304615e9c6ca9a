/* UTF-8 single-character decoder and encoder, and measurements of UTF-8 texts
 * (characters, bytes of a prefix, display columns, validity). */
#ifndef TARVIK_UTF8_H
#define TARVIK_UTF8_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Bytes (1 to 4) of the character at text within size bytes, its scalar in scalar_out
 * (may be null); 0 and a scalar of 0 when they do not form a character. Overlong
 * forms, surrogates and scalars above 0x10FFFF do not form characters. */
TARVIK_API size_t tarvik_utf8_character_decode(const char *text, size_t size, uint32_t *scalar_out);
/* Bytes written (1 to 4); 0 for surrogates, scalars of 0x110000 and above, or a buffer
 * too small. A NUL follows the character when the buffer has room for it. */
TARVIK_API size_t tarvik_utf8_character_encode(uint32_t scalar, char *buffer, size_t size);

/* The measurements below read at most size bytes and stop at a NUL (pass SIZE_MAX for a
 * NUL-terminated text); a byte that does not start a character counts as one character
 * of one byte and one column. A null text measures 0. */

/* Number of characters. */
TARVIK_API size_t tarvik_utf8_character_count(const char *text, size_t size);
/* Bytes taken by the first count characters (all of them when there are fewer). */
TARVIK_API size_t tarvik_utf8_character_bytes(const char *text, size_t size, size_t count);
/* Display columns: one per ASCII character, two per multi-byte character. */
TARVIK_API size_t tarvik_utf8_display_width(const char *text, size_t size);
/* 1 when every character decodes (also for an empty text), else 0 (also for null). */
TARVIK_API int tarvik_utf8_is_valid(const char *text, size_t size);

TARVIK_END_DECLS

#endif
