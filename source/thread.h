/* The detached-thread pool: reusable workers, thread accounting and waiting for the
 * pool to drain. */
#ifndef TARVIK_THREAD_H
#define TARVIK_THREAD_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Job function run on a pool worker. */
typedef void (*tarvik_thread_entry_t)(void *context);

/* Thread option: 0 for the default stack, else the stack size in KiB (at least the system
 * minimum). Workers are reused only for jobs with the same option. */
#define TARVIK_THREAD_OPTION_DEFAULT 0u
#define TARVIK_THREAD_OPTION_STACK_KIB_MASK 0xffffu

/* Runs entry(context) on a detached pool worker; 0, or -1 for a null entry or when no thread
 * can be started. */
TARVIK_API int tarvik_detached_thread_ex_tag(tarvik_thread_entry_t entry, void *context,
                                             uint32_t thread_option, const char *tag,
                                             unsigned long line);
/* tarvik_detached_thread_ex_tag with thread option 0. */
TARVIK_API int tarvik_detached_thread_tag(tarvik_thread_entry_t entry, void *context,
                                          const char *tag, unsigned long line);

/* Spare workers kept ready and the most idle workers kept; both 0 (the default): every job
 * gets a new thread that ends with it. Returns 0. */
TARVIK_API int tarvik_set_thread_pool(unsigned long spare_minimum, unsigned long idle_maximum);
/* Number of pool threads; each output may be null (max_out: highest count seen). */
TARVIK_API unsigned long tarvik_get_thread_count(unsigned long *active_out,
                                                 unsigned long *ready_out, unsigned long *max_out);
/* 0 once at most threads_left pool threads are left, -1 on time-out (timeout_ms -1: for
 * ever); verbose prints progress after 60 s and the time-out. */
TARVIK_API int tarvik_thread_pool_wait_ex(unsigned long threads_left, int timeout_ms, int verbose);
/* Waits up to timeout_ms for every pool thread to end, silently; 0, or -1 on time-out. */
TARVIK_API int tarvik_thread_pool_wait(int timeout_ms);

/* The calling thread's kernel id. */
TARVIK_API uint64_t tarvik_get_thread_id(void);

TARVIK_END_DECLS

#endif
