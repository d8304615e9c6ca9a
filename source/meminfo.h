/* Memory figures of /proc/meminfo, and the choice of the process a memory watchdog ends. */
#ifndef TARVIK_MEMINFO_H
#define TARVIK_MEMINFO_H

#include "tarvik_abi.h"
#include "process.h"

TARVIK_BEGIN_DECLS

/* Indexes of the byte counts of a memory sample. */
#define TARVIK_MEMINFO_TOTAL 0
#define TARVIK_MEMINFO_USED 1 /* total - free - buffers - cached */
#define TARVIK_MEMINFO_FREE 2
#define TARVIK_MEMINFO_BUFFERS 3
#define TARVIK_MEMINFO_CACHED 4
#define TARVIK_MEMINFO_SWAP_TOTAL 5
#define TARVIK_MEMINFO_SWAP_USED 6
#define TARVIK_MEMINFO_SWAP_FREE 7
/* The memory still available: the kernel's MemAvailable when it reports one, else
 * free + buffers + cached (the _ex call only). */
#define TARVIK_MEMINFO_AVAILABLE 8
/* Counts of a sample of tarvik_get_meminfo and of tarvik_get_meminfo_ex. */
#define TARVIK_MEMINFO_COUNT 8
#define TARVIK_MEMINFO_COUNT_EX 9

/* The oom_score_adj that tells the kernel (and the watchdog) never to end a process. */
#define TARVIK_OOM_SCORE_ADJ_NEVER (-1000)

/* Eight byte counts (total, used, free, buffers, cached, swap total, swap used, swap free)
 * into values; 0, or -1 when /proc/meminfo cannot be read, lacks MemTotal or is inconsistent. */
TARVIK_API int tarvik_get_meminfo(uint64_t *values);
/* The same with values[TARVIK_MEMINFO_AVAILABLE] too; kernel_out (may be null) gets 1 when it
 * is the kernel's MemAvailable, 0 for the sum. 0 or -1. */
TARVIK_API int tarvik_get_meminfo_ex(uint64_t *values, int *kernel_out);

/* oom_score_adj of pid into value_out; 0, or -1 when it cannot be read. */
TARVIK_API int tarvik_get_oom_score_adj(int pid, int *value_out);
/* 1 while pid still holds resident memory (it exists and has not released its memory on
 * exit), else 0. */
TARVIK_API int tarvik_meminfo_holds_memory(int pid);
/* The record of list with the largest resident size that a watchdog running as self may end:
 * never pid 1, self or one of its ancestors, a kernel thread, a process without resident
 * memory or one marked TARVIK_OOM_SCORE_ADJ_NEVER. Null when there is none. */
TARVIK_API tarvik_ps_t *tarvik_meminfo_victim(tarvik_ps_t *list, int self);
/* The same, also passing over the skip_count pids of skip (may be null): processes ended
 * before that still hold their memory. */
TARVIK_API tarvik_ps_t *tarvik_meminfo_victim_ex(tarvik_ps_t *list, int self, const int *skip,
                                                 int skip_count);

TARVIK_END_DECLS

#endif
