/* Locale-independent ASCII character classes, string helpers and the tokenizer. */
#ifndef TARVIK_CTYPE_H
#define TARVIK_CTYPE_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

#define TARVIK_CTYPE_CONTROL 0x0001u
#define TARVIK_CTYPE_SPACE 0x0002u
#define TARVIK_CTYPE_PUNCT 0x0004u
#define TARVIK_CTYPE_DIGIT 0x0008u
#define TARVIK_CTYPE_UPPER 0x0010u
#define TARVIK_CTYPE_HEX 0x0020u
#define TARVIK_CTYPE_LOWER 0x0040u
#define TARVIK_CTYPE_HIGH 0x0080u /* every byte of 128 and above */
#define TARVIK_CTYPE_BASE64 0x0100u
#define TARVIK_CTYPE_LF 0x0200u
#define TARVIK_CTYPE_CR 0x0400u
#define TARVIK_CTYPE_TOKEN_SEP 0x0800u

/* Non-zero when character belongs to a class of mask; 0 for negative characters. */
TARVIK_API int tarvik_ctype_select(int character, unsigned int mask);
TARVIK_API int tarvik_to_upper(int character);
TARVIK_API int tarvik_to_lower(int character);
/* In place; return string (null stays null). */
TARVIK_API char *tarvik_strupper(char *string);
TARVIK_API char *tarvik_strlower(char *string);
/* 1 when non-empty and only digits, "+" and "-"; else 0 (also for null). */
TARVIK_API int tarvik_is_decimal_string(const char *string);
/* string, or "" / fallback for null. */
TARVIK_API const char *tarvik_check_string(const char *string);
TARVIK_API const char *tarvik_check_string_ex(const char *string, const char *fallback);

/* A null list means the white-space class. */
TARVIK_API char *tarvik_skip_space(const char *string);
TARVIK_API char *tarvik_skip_charlist(const char *string, const char *list);
/* 1 when character is in list (white space for a null list), else 0. */
TARVIK_API int tarvik_is_charlist(int character, const char *list);
/* Pointer past the leading members of list. */
TARVIK_API char *tarvik_trim_charlist_left(char *string, const char *list);
/* Cuts trailing members of list in place; returns string. */
TARVIK_API char *tarvik_trim_charlist_right(char *string, const char *list);
/* Both; returns the start of the trimmed text. */
TARVIK_API char *tarvik_trim_charlist(char *string, const char *list);

/* Token at *cursor up to the first separator (not consumed) or the end; the cursor is
 * left on the separator. skip_space skips leading white space first. Null for a null cursor. */
TARVIK_API char *tarvik_get_word_sep(int skip_space, const char *separators, char **cursor);
/* Same over constant text, returning a tagged copy the caller frees (null on failure,
 * the cursor still advances). */
TARVIK_API char *tarvik_get_word_sep_alloc_c(int skip_space, const char *separators,
                                             const char **cursor);
TARVIK_API char *tarvik_get_word_sep_alloc(int skip_space, const char *separators, char **cursor);

TARVIK_END_DECLS

#endif
