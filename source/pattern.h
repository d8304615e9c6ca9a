/* Wildcard patterns ("*", "?", "\" escapes) and "|"-separated pattern lists.
 * Every function returns 0 on a match and -1 otherwise. */
#ifndef TARVIK_PATTERN_H
#define TARVIK_PATTERN_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

TARVIK_API int tarvik_check_pattern(const char *pattern, const char *text);
/* Compares after lower-casing both (ASCII). */
TARVIK_API int tarvik_check_case_pattern(const char *pattern, const char *text);
/* list split at any character of separators; a null text reads as "". */
TARVIK_API int tarvik_check_pattern_list(const char *list, const char *separators,
                                         const char *text);
TARVIK_API int tarvik_check_case_pattern_list(const char *list, const char *separators,
                                              const char *text);

TARVIK_END_DECLS

#endif
