// Thread accounting of the detached-thread pool: counters read by the exit dump.
#include "thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

unsigned long s_active;
unsigned long s_ready;
unsigned long s_threads;
unsigned long s_maximum;
// The kernel id never changes for a thread; the system call is made once per thread.
thread_local uint64_t s_thread_id;
pthread_once_t s_thread_id_once = PTHREAD_ONCE_INIT;

// A forked child runs on a new kernel thread: the forking thread's cached id is stale there.
void forget_thread_id() { s_thread_id = 0; }
void watch_fork() { pthread_atfork(nullptr, nullptr, forget_thread_id); }

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

TARVIK_API uint64_t tarvik_get_thread_id(void)
{
    if (s_thread_id == 0) {
        pthread_once(&s_thread_id_once, watch_fork);
        s_thread_id = static_cast<uint64_t>(syscall(SYS_gettid));
    }
    return s_thread_id;
}

} // extern "C"
