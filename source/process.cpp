// Process control helpers: processor affinity queries.
#include "process.h"

#include <sched.h>
#include <sys/types.h>

namespace {

// The affinity mask the kernel is asked for: 1024 processors, 128 bytes.
constexpr size_t AFFINITY_BITS = 1024;
static_assert(sizeof(cpu_set_t) * 8 >= AFFINITY_BITS, "cpu_set_t holds the whole mask");

} // namespace

extern "C" {

TARVIK_API int tarvik_get_cpu_count_ex(int pid)
{
    if (pid < -1) {
        return -1;
    }
    cpu_set_t mask;
    CPU_ZERO_S(AFFINITY_BITS / 8, &mask);
    if (sched_getaffinity(pid == -1 ? 0 : static_cast<pid_t>(pid), AFFINITY_BITS / 8, &mask) != 0) {
        return -1;
    }
    return CPU_COUNT_S(AFFINITY_BITS / 8, &mask);
}

} // extern "C"
