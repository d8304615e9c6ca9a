/* Thread accounting of the detached-thread pool. */
#ifndef TARVIK_THREAD_H
#define TARVIK_THREAD_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Number of pool threads; each output may be null (max_out: highest count seen). */
TARVIK_API unsigned long tarvik_get_thread_count(unsigned long *active_out,
                                                 unsigned long *ready_out,
                                                 unsigned long *max_out);

/* The calling thread's kernel id. */
TARVIK_API uint64_t tarvik_get_thread_id(void);

TARVIK_END_DECLS

#endif
