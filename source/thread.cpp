// The detached-thread pool: workers, the ready list and the thread counters live under the
// pool lock; a job (or the order to end) reaches a worker through its own semaphore.
#include "thread.h"

#include "console.h"
#include "heap.h"
#include "lock.h"
#include "time.h"

#include "detail/list.hpp"
#include "detail/thread.hpp"

#include <climits>
#include <cstring>
#include <pthread.h>
#include <semaphore.h>
#include <sys/syscall.h>
#include <unistd.h>

struct tarvik_thread_worker_s {
    tarvik_thread_worker_s *m_next; // ready list
    unsigned long m_id;
    // The worker sleeps here between jobs. Each post carries one event, a job or the order
    // to end, written before the post: whoever takes a worker off the ready list (or makes
    // it) is the only one who may post. No mutex: a woken worker never queues behind its
    // waker, which keeps a reused worker far cheaper than a new thread.
    sem_t m_wake;
    uint32_t m_thread_option;
    int m_end; // told to end (a wake-up without job)
    tarvik_thread_entry_t m_entry;
    void *m_context;
    const char *m_tag;
    unsigned long m_line;
};

namespace {

using tarvik_thread_worker_t = tarvik_thread_worker_s;

constexpr const char *WORKER_TAG = "tarvik_new_thread_worker";
constexpr const char *POOL_TAG = "tarvik_thread_pool";
constexpr uint64_t WAIT_REPORT_AFTER = 60000;
constexpr uint64_t WAIT_REPORT_PERIOD = 1000;

struct ThreadPool {
    tarvik_lock_t m_lock;
    unsigned long m_spare_minimum;
    unsigned long m_idle_maximum;
    unsigned long m_worker_id;
    tarvik_thread_worker_t *m_ready_head;
    // Written under m_lock, read without it by the exit dump: accessed atomically.
    unsigned long m_active;
    unsigned long m_ready;
    unsigned long m_threads;
    unsigned long m_maximum;
};

ThreadPool s_pool = {TARVIK_LOCK_INITIALIZER, 0, 0, 0, nullptr, 0, 0, 0, 0};

// What the running job asked its worker to call once the worker is done with it.
struct JobEnd {
    void (*m_done)(void *);
    void *m_context;
};
thread_local JobEnd s_job_end;

// The kernel id never changes for a thread; the system call is made once per thread.
thread_local uint64_t s_thread_id;
pthread_once_t s_thread_id_once = PTHREAD_ONCE_INIT;

// A forked child runs on a new kernel thread: the forking thread's cached id is stale there.
void forget_thread_id() { s_thread_id = 0; }
void watch_fork() { pthread_atfork(nullptr, nullptr, forget_thread_id); }

inline unsigned long load_counter(const unsigned long *counter)
{
    return __atomic_load_n(counter, __ATOMIC_ACQUIRE);
}

inline void store_counter(unsigned long *counter, unsigned long value)
{
    __atomic_store_n(counter, value, __ATOMIC_RELEASE);
}

inline bool pooling_nolock() { return s_pool.m_spare_minimum != 0 || s_pool.m_idle_maximum != 0; }

void lock_pool() { tarvik_lock_tag(&s_pool.m_lock, POOL_TAG, __LINE__); }
void unlock_pool() { tarvik_unlock_tag(&s_pool.m_lock, POOL_TAG, __LINE__); }

// ---- ready list (pool lock held) ----------------------------------------------------------

// Newest first: the worker that just finished has the warmest caches; the oldest idle
// ones are the ones that end when there are too many.
tarvik::detail::SinglyLinked<tarvik_thread_worker_t> ready_nolock()
{
    return tarvik::detail::SinglyLinked<tarvik_thread_worker_t>(&s_pool.m_ready_head, nullptr);
}

void push_ready_nolock(tarvik_thread_worker_t *worker)
{
    ready_nolock().push_front(worker);
    store_counter(&s_pool.m_ready, s_pool.m_ready + 1);
}

// Newest ready worker made with thread_option, taken off the list; null when none.
tarvik_thread_worker_t *take_ready_nolock(uint32_t thread_option)
{
    tarvik_thread_worker_t *worker = s_pool.m_ready_head;
    while (worker != nullptr && worker->m_thread_option != thread_option) {
        worker = worker->m_next;
    }
    if (worker != nullptr) {
        ready_nolock().remove(worker);
        store_counter(&s_pool.m_ready, s_pool.m_ready - 1);
    }
    return worker;
}

tarvik_thread_worker_t *take_any_ready_nolock()
{
    tarvik_thread_worker_t *worker = s_pool.m_ready_head;
    return worker != nullptr ? take_ready_nolock(worker->m_thread_option) : nullptr;
}

// A wake-up without job: the worker ends. It frees itself, so nothing touches it afterwards.
void tell_worker_to_end(tarvik_thread_worker_t *worker)
{
    worker->m_end = 1;
    sem_post(&worker->m_wake);
}

// Ends ready workers until at most keep are left.
void trim_ready_nolock(unsigned long keep)
{
    while (s_pool.m_ready > keep) {
        tell_worker_to_end(take_any_ready_nolock());
    }
}

// ---- workers --------------------------------------------------------------------------------

void free_worker(tarvik_thread_worker_t *worker)
{
    sem_destroy(&worker->m_wake);
    tarvik_free_tag(worker, WORKER_TAG, __LINE__);
}

// Pool bookkeeping after a job. Returns true when the worker went back to the ready list.
bool finish_job(tarvik_thread_worker_t *worker)
{
    lock_pool();
    const unsigned long active = s_pool.m_active - 1;
    store_counter(&s_pool.m_active, active);
    bool keep = false;
    if (active == 0) {
        // Nothing runs any more: an idle process keeps no threads behind.
        trim_ready_nolock(0);
    } else if (pooling_nolock() &&
               (s_pool.m_idle_maximum == 0 || s_pool.m_ready < s_pool.m_idle_maximum)) {
        push_ready_nolock(worker);
        keep = true;
    }
    unlock_pool();
    return keep;
}

void *worker_main(void *argument)
{
    auto *worker = static_cast<tarvik_thread_worker_t *>(argument);
    for (;;) {
        while (sem_wait(&worker->m_wake) != 0) {
            // interrupted by a signal: wait on
        }
        if (worker->m_end != 0) {
            break;
        }
        s_job_end = JobEnd{nullptr, nullptr};
        worker->m_entry(worker->m_context);
        const JobEnd end = s_job_end;
        s_job_end = JobEnd{nullptr, nullptr};
        const bool keep = finish_job(worker);
        if (!keep) {
            free_worker(worker);
            __atomic_sub_fetch(&s_pool.m_threads, 1, __ATOMIC_ACQ_REL);
        }
        // After the bookkeeping: whoever waits for this job may free what the call touches.
        if (end.m_done != nullptr) {
            end.m_done(end.m_context);
        }
        if (!keep) {
            return nullptr;
        }
    }
    free_worker(worker);
    // Last touch of shared state: once the count drops, waiters may check the heap.
    __atomic_sub_fetch(&s_pool.m_threads, 1, __ATOMIC_ACQ_REL);
    return nullptr;
}

bool start_worker_thread(tarvik_thread_worker_t *worker)
{
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return false;
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    const uint32_t kib = worker->m_thread_option & TARVIK_THREAD_OPTION_STACK_KIB_MASK;
    if (kib != 0) {
        size_t size = static_cast<size_t>(kib) * 1024u;
        if (size < static_cast<size_t>(PTHREAD_STACK_MIN)) {
            size = static_cast<size_t>(PTHREAD_STACK_MIN);
        }
        pthread_attr_setstacksize(&attributes, size);
    }
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, worker_main, worker) == 0;
    pthread_attr_destroy(&attributes);
    return started;
}

// New worker on its own detached thread, counted in the thread count (pool lock held). The
// count rises before the thread runs so that a waiter never misses a thread being born.
tarvik_thread_worker_t *tarvik_new_thread_worker(uint32_t thread_option)
{
    void *memory = tarvik_alloc_tag(sizeof(tarvik_thread_worker_t), WORKER_TAG, __LINE__);
    if (memory == nullptr) {
        return nullptr;
    }
    memset(memory, 0, sizeof(tarvik_thread_worker_t));
    auto *worker = static_cast<tarvik_thread_worker_t *>(memory);
    worker->m_id = ++s_pool.m_worker_id;
    sem_init(&worker->m_wake, 0, 0);
    worker->m_thread_option = thread_option;
    const unsigned long threads = __atomic_add_fetch(&s_pool.m_threads, 1, __ATOMIC_ACQ_REL);
    if (!start_worker_thread(worker)) {
        __atomic_sub_fetch(&s_pool.m_threads, 1, __ATOMIC_ACQ_REL);
        free_worker(worker);
        return nullptr;
    }
    if (threads > s_pool.m_maximum) {
        store_counter(&s_pool.m_maximum, threads);
    }
    return worker;
}

void hand_over_job(tarvik_thread_worker_t *worker, tarvik_thread_entry_t entry, void *context,
                   const char *tag, unsigned long line)
{
    worker->m_entry = entry;
    worker->m_context = context;
    worker->m_tag = tag;
    worker->m_line = line;
    sem_post(&worker->m_wake);
}

// Thread count under a try-lock; false when the lock was busy.
bool try_read_thread_count(unsigned long *threads_out)
{
    if (tarvik_try_lock_tag(&s_pool.m_lock, POOL_TAG, __LINE__) == 0) {
        return false;
    }
    *threads_out = load_counter(&s_pool.m_threads);
    unlock_pool();
    return true;
}

void report_waiting(bool counted, unsigned long threads, uint64_t waited, int timeout_ms,
                    unsigned long threads_left)
{
    if (counted) {
        tarvik_error_printf(
            "%s: [DEBUG] thread-pool waiting... (timeout=%llu/%d msec, threads=%lu/%lu)\n",
            "tarvik_thread_pool_wait_ex", static_cast<unsigned long long>(waited), timeout_ms,
            threads, threads_left);
    } else {
        tarvik_error_printf("%s: [DEBUG] thread-pool waiting... (timeout=%llu/%d msec, "
                            "threads=<CAN NOT ACQUIRED LOCK>/%lu)\n",
                            "tarvik_thread_pool_wait_ex", static_cast<unsigned long long>(waited),
                            timeout_ms, threads_left);
    }
}

} // namespace

void tarvik::detail::at_job_end(void (*done)(void *), void *context)
{
    s_job_end = JobEnd{done, context};
}

extern "C" {

TARVIK_API int tarvik_detached_thread_ex_tag(tarvik_thread_entry_t entry, void *context,
                                             uint32_t thread_option, const char *tag,
                                             unsigned long line)
{
    if (entry == nullptr) {
        return -1;
    }
    lock_pool();
    tarvik_thread_worker_t *worker = take_ready_nolock(thread_option);
    if (worker == nullptr) {
        worker = tarvik_new_thread_worker(thread_option);
        if (worker == nullptr) {
            unlock_pool();
            return -1;
        }
    }
    store_counter(&s_pool.m_active, s_pool.m_active + 1);
    if (pooling_nolock() && s_pool.m_active + s_pool.m_ready < s_pool.m_spare_minimum) {
        tarvik_thread_worker_t *spare = tarvik_new_thread_worker(thread_option);
        if (spare != nullptr) {
            push_ready_nolock(spare);
        }
    }
    unlock_pool();
    hand_over_job(worker, entry, context, tag, line);
    return 0;
}

TARVIK_API int tarvik_detached_thread_tag(tarvik_thread_entry_t entry, void *context,
                                          const char *tag, unsigned long line)
{
    return tarvik_detached_thread_ex_tag(entry, context, TARVIK_THREAD_OPTION_DEFAULT, tag, line);
}

TARVIK_API int tarvik_set_thread_pool(unsigned long spare_minimum, unsigned long idle_maximum)
{
    lock_pool();
    s_pool.m_spare_minimum = spare_minimum;
    s_pool.m_idle_maximum = idle_maximum;
    if (!pooling_nolock()) {
        trim_ready_nolock(0);
    } else if (idle_maximum != 0) {
        trim_ready_nolock(idle_maximum);
    }
    unlock_pool();
    return 0;
}

TARVIK_API unsigned long tarvik_get_thread_count(unsigned long *active_out,
                                                 unsigned long *ready_out, unsigned long *max_out)
{
    if (active_out != nullptr) {
        *active_out = load_counter(&s_pool.m_active);
    }
    if (ready_out != nullptr) {
        *ready_out = load_counter(&s_pool.m_ready);
    }
    if (max_out != nullptr) {
        *max_out = load_counter(&s_pool.m_maximum);
    }
    return load_counter(&s_pool.m_threads);
}

TARVIK_API int tarvik_thread_pool_wait_ex(unsigned long threads_left, int timeout_ms, int verbose)
{
    const uint64_t start = tarvik_time_stamp_msec(nullptr);
    uint64_t reported = 0;
    bool reported_once = false;
    for (;;) {
        unsigned long threads = 0;
        const bool counted = try_read_thread_count(&threads);
        if (counted && threads <= threads_left) {
            return 0;
        }
        const uint64_t now = tarvik_time_stamp_msec(nullptr);
        const uint64_t waited = now - start;
        if (timeout_ms >= 0 && waited >= static_cast<uint64_t>(timeout_ms)) {
            if (verbose != 0) {
                tarvik_error_printf("%s: [debug] thread-pool wait timeout ! (timeout=%llu/%d msec, "
                                    "threads=%lu/%lu)\n",
                                    __func__, static_cast<unsigned long long>(waited), timeout_ms,
                                    load_counter(&s_pool.m_threads), threads_left);
            }
            return -1;
        }
        if (verbose != 0 && waited >= WAIT_REPORT_AFTER &&
            (!reported_once || now - reported >= WAIT_REPORT_PERIOD)) {
            report_waiting(counted, threads, waited, timeout_ms, threads_left);
            reported = now;
            reported_once = true;
        }
        tarvik_load_balance();
    }
}

TARVIK_API int tarvik_thread_pool_wait(int timeout_ms)
{
    return tarvik_thread_pool_wait_ex(0, timeout_ms, 0);
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
