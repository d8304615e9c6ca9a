/* Per-CPU tick counters of /proc/stat as a list of records, one per "cpu" line. */
#ifndef TARVIK_CPU_TICKS_H
#define TARVIK_CPU_TICKS_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Values in order: user, nice, system, idle, iowait, irq, softirq, stolen, then the rest;
 * missing ones are 0. Counters are kept in 32 bits (they wrap like the kernel's clock_t). */
typedef struct tarvik_cpu_ticks_s {
    struct tarvik_cpu_ticks_s *m_next;
    int32_t m_id;     /* -1 for the aggregate "cpu" line, n for "cpu<n>" */
    uint32_t m_total; /* sum of the values read */
    uint32_t m_values[15];
} tarvik_cpu_ticks_t;

/* Reads /proc/stat into list (null: a new list), reusing the records of known ids and
 * appending new ids at the tail; null on failure (a passed list then stays the caller's). */
TARVIK_API tarvik_cpu_ticks_t *tarvik_open_cpu_ticks(tarvik_cpu_ticks_t *list);
/* Frees the whole list (null accepted); returns 0. */
TARVIK_API int tarvik_close_cpu_ticks(tarvik_cpu_ticks_t *list);

struct tarvik_buffer_s;
/* Appends the aggregate counters as an XML document to buffer (null: prints it whole);
 * 0, or -1 when /proc/stat cannot be read or memory runs out. */
TARVIK_API int tarvik_push_cpu_ticks_xml(struct tarvik_buffer_s *buffer);

TARVIK_END_DECLS

#endif
