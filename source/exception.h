/* Scope trace (exception entries) and the exit dump of heap, scopes and threads. */
#ifndef TARVIK_EXCEPTION_H
#define TARVIK_EXCEPTION_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

typedef struct tarvik_exception_s {
    struct tarvik_exception_s *m_prev;
    struct tarvik_exception_s *m_next;
    uint64_t m_time; /* milliseconds of the monotonic clock when added */
    const char *m_source_file;
    const char *m_function;
    unsigned long m_line;
} tarvik_exception_t;

#define TARVIK_EXCEPTION_LIMIT 4096

/* New scope entry or null (after an assertion report). Free with tarvik_del_exception_tag. */
TARVIK_API tarvik_exception_t *tarvik_add_exception_tag(const char *source_file,
                                                        const char *function, unsigned long line);
/* Returns 0. */
TARVIK_API int tarvik_del_exception_tag(tarvik_exception_t *entry);
/* Number of open scope entries. */
TARVIK_API unsigned long tarvik_get_exception_count(void);
/* 0 disables the exit dump, any other value enables it (initially -1). */
TARVIK_API void tarvik_set_force_dump_exception(int value);
TARVIK_API int tarvik_get_force_dump_exception(void);
/* Prints the dump when anything is left or force is non-zero (and the switch allows it). */
TARVIK_API void tarvik_dump_exception_tag(int force, const char *source_file, const char *function,
                                          unsigned long line);

TARVIK_END_DECLS

#endif
