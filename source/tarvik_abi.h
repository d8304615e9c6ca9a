/* Export and linkage macros shared by every public header of the library.
 * Public headers are plain C99 so that plugin files written in C can use them. */
#ifndef TARVIK_ABI_H
#define TARVIK_ABI_H

#include <stddef.h>
#include <stdint.h>
#include <stdarg.h>

#define TARVIK_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define TARVIK_BEGIN_DECLS extern "C" {
#define TARVIK_END_DECLS }
#else
#define TARVIK_BEGIN_DECLS
#define TARVIK_END_DECLS
#endif

/* printf-style checking for the library's own formatter (its conversions are a subset). */
#define TARVIK_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))

#endif
