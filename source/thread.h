/* Thread accounting of the detached-thread pool. */
#ifndef TARVIK_THREAD_H
#define TARVIK_THREAD_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Number of pool threads; each output may be null (max_out: highest count seen). */
TARVIK_API unsigned long tarvik_get_thread_count(unsigned long *active_out,
                                                 unsigned long *ready_out,
                                                 unsigned long *max_out);

TARVIK_END_DECLS

#endif
