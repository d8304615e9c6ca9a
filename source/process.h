/* Process control helpers. */
#ifndef TARVIK_PROCESS_H
#define TARVIK_PROCESS_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Number of CPUs in the affinity mask of pid (-1: the caller), -1 on failure. */
TARVIK_API int tarvik_get_cpu_count_ex(int pid);

TARVIK_END_DECLS

#endif
