/* Range sets: sorted, merged ranges of non-negative 64-bit integers, optionally named
 * and chained, with allocation of free ranges and a compact text form. */
#ifndef TARVIK_FRAGMENT_H
#define TARVIK_FRAGMENT_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* m_total is a hard upper bound; completeness is measured against it. */
#define TARVIK_FRAGMENT_BOUNDED 0x1u
/* Allocation continues after the most recently added range instead of first fit. */
#define TARVIK_FRAGMENT_ROTATING 0x2u

/* Nodes per block of the node pool. */
#define TARVIK_FRAGMENT_POOL_BLOCK 128

typedef struct tarvik_fragment_node_s {
    struct tarvik_fragment_node_s *m_next;
    uint64_t m_offset;
    uint64_t m_length; /* never 0 in a stored node */
} tarvik_fragment_node_t;

/* Slab of range nodes: blocks of TARVIK_FRAGMENT_POOL_BLOCK nodes and a free list. */
typedef struct tarvik_fragment_pool_s {
    void *m_blocks;
    tarvik_fragment_node_t *m_free;
} tarvik_fragment_pool_t;

typedef struct tarvik_fragment_s {
    struct tarvik_fragment_s *m_next; /* chain of named fragments */
    unsigned m_flags;                 /* TARVIK_FRAGMENT_* */
    char *m_name;                     /* heap string, may be null */
    tarvik_fragment_pool_t m_pool;
    tarvik_fragment_node_t *m_first;
    tarvik_fragment_node_t *m_last;
    uint64_t m_total;    /* bounded: the bound; otherwise the highest end ever added */
    uint64_t m_covered;  /* integers currently in the set */
    uint64_t m_last_end; /* end of the most recently added range */
} tarvik_fragment_t;

TARVIK_API tarvik_fragment_t *tarvik_open_fragment(void);
TARVIK_API tarvik_fragment_t *tarvik_open_fragment_ex(const char *name);
/* 0, or -1 for a null fragment or when the name cannot be copied. */
TARVIK_API int tarvik_init_fragment(tarvik_fragment_t *fragment);
TARVIK_API int tarvik_init_fragment_ex(tarvik_fragment_t *fragment, const char *name);
TARVIK_API void tarvik_close_fragment(tarvik_fragment_t *fragment);
TARVIK_API void tarvik_uninit_fragment(tarvik_fragment_t *fragment);
TARVIK_API void tarvik_reset_fragment(tarvik_fragment_t *fragment);
/* Sets the flags (and, with TARVIK_FRAGMENT_BOUNDED, the bound); chained fragments
 * created later inherit both. */
TARVIK_API void tarvik_set_fragment_flags(tarvik_fragment_t *fragment, unsigned flags,
                                          uint64_t total);
/* Looks up a fragment of the chain by name (null name: the head). */
TARVIK_API tarvik_fragment_t *tarvik_find_fragment(tarvik_fragment_t *fragment, const char *name);

/* 0, or -1 when no node can be allocated (or a null fragment). Length 0 does nothing.
 * A range running past the largest 64-bit value is cut there. */
TARVIK_API int tarvik_add_fragment(tarvik_fragment_t *fragment, uint64_t offset, uint64_t length);
TARVIK_API int tarvik_add_fragment_ex(tarvik_fragment_t *fragment, const char *name,
                                      uint64_t offset, uint64_t length);
/* 0, or -1 when a split needs a node that cannot be allocated (set unchanged). */
TARVIK_API int tarvik_del_fragment(tarvik_fragment_t *fragment, uint64_t offset, uint64_t length);
/* Removes from the named fragment, unlinking it from the chain when it becomes empty
 * (the head is never unlinked); -1 when the name is not in the chain. */
TARVIK_API int tarvik_del_fragment_ex(tarvik_fragment_t *fragment, const char *name,
                                      uint64_t offset, uint64_t length);
/* 0 when [offset, offset + length) lies inside one stored range, else -1. */
TARVIK_API int tarvik_check_fragment(const tarvik_fragment_t *fragment, uint64_t offset,
                                     uint64_t length);
/* The same against the unnamed ranges of a set in text form. */
TARVIK_API int tarvik_check_fragment_string(const char *text, uint64_t offset, uint64_t length);
/* 0 complete, 1 incomplete, -1 empty/invalid (see the module documentation). */
TARVIK_API int tarvik_is_complete_fragment(const tarvik_fragment_t *fragment);
TARVIK_API int tarvik_is_complete_fragment_ex(tarvik_fragment_t *fragment, const char *name);
/* 0 with the offset of a newly added range of length integers, or -1 when none fits. */
TARVIK_API int tarvik_alloc_fragment(tarvik_fragment_t *fragment, uint64_t length,
                                     uint64_t *offset_out);

/* Heap string such as "0-7", "0-1|4" or "x=0-1|4,y=2"; null for a null fragment or
 * when out of memory. */
TARVIK_API char *tarvik_fragment_to_string(const tarvik_fragment_t *fragment);
/* Parses into fragment (a new one when null; reset first unless append). Returns the
 * fragment, or null when memory runs out (a fragment created here is then freed). */
TARVIK_API tarvik_fragment_t *tarvik_string_to_fragment(tarvik_fragment_t *fragment,
                                                        const char *text, int append);

TARVIK_END_DECLS

#endif
