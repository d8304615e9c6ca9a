// Thread accounting of the detached-thread pool: counters read by the exit dump.
#include "thread.h"

namespace {

unsigned long s_active;
unsigned long s_ready;
unsigned long s_threads;
unsigned long s_maximum;

} // namespace

extern "C" {

TARVIK_API unsigned long tarvik_get_thread_count(unsigned long *active_out,
                                                 unsigned long *ready_out,
                                                 unsigned long *max_out)
{
    if (active_out != nullptr) {
        *active_out = __atomic_load_n(&s_active, __ATOMIC_ACQUIRE);
    }
    if (ready_out != nullptr) {
        *ready_out = __atomic_load_n(&s_ready, __ATOMIC_ACQUIRE);
    }
    if (max_out != nullptr) {
        *max_out = __atomic_load_n(&s_maximum, __ATOMIC_ACQUIRE);
    }
    return __atomic_load_n(&s_threads, __ATOMIC_ACQUIRE);
}

} // extern "C"
