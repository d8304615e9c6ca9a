/* Small regular-expression engine: each call compiles its pattern, matches it by bounded
 * backtracking and delivers the captures into the caller's variables. */
#ifndef TARVIK_REGULAR_H
#define TARVIK_REGULAR_H

#include "tarvik_abi.h"

/* Syntax: "." any byte; "^" the subject's start (a pattern that begins with it is tried
 * at position 0 alone); "$" the subject's end; "( )" capture group; "|" alternative of the
 * whole pattern or of the enclosing group; "*", "+", "?" after an item, "*?" and "+?"
 * non-greedy; "[...]" and "[^...]" sets of single members (no ranges, "-" is a member,
 * escapes allowed); escapes "\n" "\r" "\t" "\0" (NUL), "\s" white space, "\S" anything
 * else, "\d" digit; any other escaped character stands for itself.
 * Alternatives are tried left to right, greedy repeats take the longest and lazy ones the
 * shortest run after which the rest matches; a repeat of a group refuses an optional
 * iteration that matches nothing (as ECMAScript does).
 *
 * The variable arguments carry one triple (int kind, int size, void *destination) per
 * capture group, in the order of the groups' opening parentheses (capture 0, the whole
 * match, has none). Pass size as an int: (int)sizeof(buffer).
 *   kind 1: destination is a char buffer of size bytes; the text is copied and
 *           terminated (-10 when it does not fit).
 *   kind 2: destination is an integer of size bytes (1, 2, 4 or 8) that receives the
 *           text read as a decimal number (-8 for another size, -9 when no number).
 *   kind 3: destination is a (char **) whose target must be null; it receives a new
 *           tagged-heap copy of the text, at most size - 1 characters when size > 0,
 *           that the caller frees with tarvik_free_tag (-12 when destination or its
 *           target is not as required, -13 when out of memory).
 * A group that took no part in the match delivers the empty text. Delivery stops at the
 * first capture that fails and returns its code; captures delivered before it stay with
 * the caller (kind-3 strings included). Nothing is delivered when the match fails. */

TARVIK_BEGIN_DECLS

/* flags: value 1 compares literal strings without regard to ASCII case (sets stay exact). */
#define TARVIK_REGULAR_IGNORE_CASE 0x1

/* Capture slots, capture 0 included: a pattern holds at most 19 groups. */
#define TARVIK_REGULAR_CAPTURES 20

/* Capture delivery kinds. */
#define TARVIK_REGULAR_COPY 1
#define TARVIK_REGULAR_INTEGER 2
#define TARVIK_REGULAR_ALLOC 3

/* Results. Compile: */
#define TARVIK_REGULAR_JUMP_TOO_FAR (-1)  /* a jump offset of 256 or more */
#define TARVIK_REGULAR_CODE_TOO_LONG (-2) /* byte code over 256 bytes */
#define TARVIK_REGULAR_DATA_TOO_LONG (-3) /* literals and set members over 256 bytes */
#define TARVIK_REGULAR_BAD_SET (-4)       /* missing "]" or a set over 255 bytes */
/* Unbalanced "(" ")", a quantifier without an item, a trailing "\", over 19 groups: */
#define TARVIK_REGULAR_SYNTAX (-5)
/* Match: */
#define TARVIK_REGULAR_NO_MATCH (-6)
/* A null pattern, a null subject with a length, a subject of 4 GiB or more: */
#define TARVIK_REGULAR_BAD_ARGUMENT (-7)
/* Delivery: */
#define TARVIK_REGULAR_BAD_SIZE (-8)
#define TARVIK_REGULAR_BAD_NUMBER (-9)
#define TARVIK_REGULAR_TOO_SMALL (-10)
#define TARVIK_REGULAR_BAD_KIND (-11)
#define TARVIK_REGULAR_BAD_DESTINATION (-12)
#define TARVIK_REGULAR_NO_MEMORY (-13)
/* Bounds of the backtracking matcher, so that no subject or pattern can exhaust the
 * stack or the processor: */
#define TARVIK_REGULAR_TOO_DEEP (-14) /* more than 8192 pending backtrack records */
#define TARVIK_REGULAR_TOO_SLOW (-15) /* over 1000000 + 100 x subject_length steps */

/* 0 on a match (and every capture delivered), otherwise one of the negative codes above. */
TARVIK_API int tarvik_regular(int flags, const char *pattern, const char *subject,
                              size_t subject_length, ...);

TARVIK_END_DECLS

#endif
