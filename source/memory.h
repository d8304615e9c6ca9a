/* Stack-scoped allocation and memory primitives that report null pointers. */
#ifndef TARVIK_MEMORY_H
#define TARVIK_MEMORY_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Block freed automatically at the next call from a shallower frame; null for size 0
 * (which only reclaims) or on failure. Main thread only. */
TARVIK_API void *tarvik_alloca(size_t size);
/* Number of live stack-scoped blocks. */
TARVIK_API unsigned long tarvik_get_alloca_count(void);
/* 1 when the stack grows toward higher addresses, -1 otherwise. */
TARVIK_API int tarvik_detect_stack_direction(void);

/* The standard operations, preceded by an assertion report for a null pointer. */
TARVIK_API void *tarvik_memcpy_wrapper(void *to, const void *from, size_t size);
TARVIK_API void *tarvik_memmove_wrapper(void *to, const void *from, size_t size);
TARVIK_API void *tarvik_memset_wrapper(void *to, int value, size_t size);
TARVIK_API void tarvik_bzero_wrapper(void *to, size_t size);
TARVIK_API int tarvik_memcmp_wrapper(const void *left, const void *right, size_t size);
/* Fill size bytes with a 16-bit / 32-bit pattern; returns to. */
TARVIK_API void *tarvik_memset16_wrapper(void *to, uint16_t pattern, size_t size);
TARVIK_API void *tarvik_memset32_wrapper(void *to, uint32_t pattern, size_t size);
/* 1 when every byte equals value (also for null data), else 0. */
TARVIK_API int tarvik_is_data_fill(const void *data, size_t length, int value);

TARVIK_END_DECLS

#endif
