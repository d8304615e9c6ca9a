// Internals of the memory figures shared with the tests: the /proc/meminfo text parser and
// the victim choice over a process list with the oom_score_adj lookup passed in.
#pragma once

#include "../meminfo.h"

#include <cstddef>
#include <cstdint>

namespace tarvik::detail {

// Fills values (TARVIK_MEMINFO_COUNT_EX counts) from a /proc/meminfo text; kernel_out (may be
// null) tells whether the available figure is the kernel's own. 0, or -1 when MemTotal or
// MemFree is missing or free + buffers + cached exceeds the total.
int parse_meminfo(const char *text, size_t length, uint64_t *values, int *kernel_out);

// oom_score_adj of pid into value_out; false when unknown.
using OomLookup = bool (*)(int pid, int *value_out);

// tarvik_meminfo_victim_ex with the parent (0: unknown) and the lookup given.
tarvik_ps_t *meminfo_victim(tarvik_ps_t *list, int self, int parent, const int *skip,
                            int skip_count, OomLookup lookup);

} // namespace tarvik::detail
