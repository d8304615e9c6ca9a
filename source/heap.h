/* The tagged heap: every allocation of the system carries its allocating
 * function's name and line, a self pointer and a trailing guard word. */
#ifndef TARVIK_HEAP_H
#define TARVIK_HEAP_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Header in front of every block's user data; the guard word follows the data. */
typedef struct tarvik_heap_block_s {
    struct tarvik_heap_block_s *m_prev; /* toward the newest; null for the newest */
    struct tarvik_heap_block_s *m_next; /* toward the oldest */
    const char *m_tag;                  /* allocating function, static lifetime */
    unsigned long m_line;
    struct tarvik_heap_block_s *m_self; /* address of this header */
    size_t m_size;                      /* user size rounded up to 4 */
} tarvik_heap_block_t;

#define TARVIK_HEAP_GUARD 0xA55A55AAu
/* Bytes each block costs beyond its rounded size: header plus guard word. */
#define TARVIK_HEAP_OVERHEAD (sizeof(tarvik_heap_block_t) + sizeof(uint32_t))

/* The single entry: allocate, free (size 0; returns null), or resize. */
TARVIK_API void *tarvik_heap_tag(void *pointer, size_t size, const char *tag, unsigned long line);
/* Null on failure; the caller frees with tarvik_free_tag. */
TARVIK_API void *tarvik_alloc_tag(size_t size, const char *tag, unsigned long line);
/* Returns 0; a null pointer is reported unless tag is "operator delete". */
TARVIK_API int tarvik_free_tag(void *pointer, const char *tag, unsigned long line);
/* Returns 0; a null pointer is accepted silently. */
TARVIK_API int tarvik_check_free_tag(void *pointer, const char *tag, unsigned long line);
/* Tagged copy or null (also for a null string); the caller frees it. */
TARVIK_API char *tarvik_strdup_tag(const char *string, const char *tag, unsigned long line);
/* Resize with the caller's tag; null on failure (the old block stays valid). */
TARVIK_API void *tarvik_realloc_tag(void *pointer, size_t size, const char *tag,
                                    unsigned long line);
/* Untagged resize ("<NOTAG>", line 0). */
TARVIK_API void *tarvik_realloc(void *pointer, size_t size);
/* Zeroed count x size bytes; null on failure or overflow. */
TARVIK_API void *tarvik_calloc_tag(size_t count, size_t size, const char *tag, unsigned long line);
/* Usable size of a plain malloc block (0 for null). */
TARVIK_API size_t tarvik_malloc_usable_size(void *pointer);

/* Copies the statistics (each output may be null); returns 0. */
TARVIK_API int tarvik_get_alloc_info(size_t *count_out, size_t *bytes_out, size_t *peak_out);
TARVIK_API size_t tarvik_get_alloc_count(void);
TARVIK_API size_t tarvik_get_alloc_bytes(void);
TARVIK_API size_t tarvik_get_alloc_peak(void);

/* Called under the heap lock: must neither allocate nor free. Non-zero stops the walk. */
typedef int (*tarvik_alloc_list_callback_t)(const tarvik_heap_block_t *block, void *context);
/* Visits live blocks newest first, at most limit (0: all); returns the number visited. */
TARVIK_API size_t tarvik_get_alloc_list(size_t limit, tarvik_alloc_list_callback_t callback,
                                        void *context);

TARVIK_END_DECLS

#endif
