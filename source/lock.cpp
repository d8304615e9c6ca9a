// The traced lock, lock conditions and the reference spin lock. A lock's and a condition's
// lists live under their inner short lock; a waiting thread sleeps on a pipe of its own.
#include "lock.h"

#include "console.h"
#include "heap.h"
#include "select.h"
#include "thread.h"
#include "time.h"

#include "detail/common.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace {

constexpr const char *LOCK_NAME = "tarvik_lock";
constexpr const char *CLAIM_TAG = "__tarvik_new_lock_claim";
constexpr int ALLOC_ATTEMPTS = 64;
constexpr int WAKEUP_ATTEMPTS = 64;
constexpr int RELOCK_ATTEMPTS = 64;
constexpr uint64_t POLL_LIMIT = 30000;
constexpr uint64_t REPORT_STEP = 4000;
constexpr uint64_t CONDITION_PERIOD = 3600000;
constexpr int SPIN_EXCLUSIVE_BIT = 2;

#define RED "\033[1;31m"
#define PLAIN "\033[0m"
#define SEPARATOR                                                                                  \
    "\n-=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=-\n"

// ---- inner short lock -----------------------------------------------------------------
// The word follows the short lock's protocol (0 free, 1 held) so that tarvik_short_lock
// and these helpers mix. The sections behind it are a few instructions, sometimes one
// write to a pipe: spinning briefly and yielding beats the short lock's 1 ms sleep there.

inline void cpu_relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

void inner_lock_slow(tarvik_short_lock_t *word)
{
    for (int spin = 0; spin < 200; ++spin) {
        cpu_relax();
        if (__atomic_load_n(word, __ATOMIC_RELAXED) == 0u &&
            __atomic_exchange_n(word, 1u, __ATOMIC_ACQUIRE) == 0u) {
            return;
        }
    }
    for (int yield = 0; yield < 50; ++yield) {
        sched_yield();
        if (__atomic_exchange_n(word, 1u, __ATOMIC_ACQUIRE) == 0u) {
            return;
        }
    }
    tarvik_short_lock(word);
}

inline void inner_lock(tarvik_short_lock_t *word)
{
    if (__builtin_expect(__atomic_exchange_n(word, 1u, __ATOMIC_ACQUIRE) != 0u, 0)) {
        inner_lock_slow(word);
    }
}

inline void inner_unlock(tarvik_short_lock_t *word)
{
    __atomic_store_n(word, 0u, __ATOMIC_RELEASE);
}

inline uint64_t min_u64(uint64_t left, uint64_t right) { return left < right ? left : right; }

inline const char *text(const char *string) { return string != nullptr ? string : ""; }

// ---- wake-up pipes --------------------------------------------------------------------

// Both ends non-blocking: a wake-up is written under an inner lock and must never block.
int open_wakeup_pipe(int *read_out, int *write_out)
{
    int descriptors[2];
    if (pipe2(descriptors, O_CLOEXEC | O_NONBLOCK) != 0) {
        return -1;
    }
    *read_out = descriptors[0];
    *write_out = descriptors[1];
    return 0;
}

void close_wakeup_pipe(int *read_end, int *write_end)
{
    if (*read_end >= 0) {
        close(*read_end);
        *read_end = -1;
    }
    if (*write_end >= 0) {
        close(*write_end);
        *write_end = -1;
    }
}

// 0 when a byte is in the pipe. A full pipe counts as delivered: its reader wakes anyway.
int send_wakeup(int descriptor)
{
    const char byte = 1;
    for (int attempt = 0; attempt < WAKEUP_ATTEMPTS; ++attempt) {
        ssize_t written = write(descriptor, &byte, 1);
        if (written == 1 || (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
            return 0;
        }
        tarvik_load_balance_short();
    }
    return -1;
}

enum WakeupResult { WAKEUP_NONE = 0, WAKEUP_BYTE = 1, WAKEUP_ERROR = -1, WAKEUP_EOF = -2 };

// Waits up to timeout_ms for the pipe; drains what is there, since every byte says the same.
WakeupResult receive_wakeup(int descriptor, uint64_t timeout_ms)
{
    int ready =
        tarvik_single_select(descriptor, def_tarvik_select_read, static_cast<int>(timeout_ms));
    if (ready < 0) {
        return WAKEUP_ERROR;
    }
    if (ready == 0) {
        return WAKEUP_NONE;
    }
    char bytes[16];
    ssize_t got = read(descriptor, bytes, sizeof(bytes));
    if (got > 0) {
        return WAKEUP_BYTE;
    }
    if (got == 0) {
        return WAKEUP_EOF;
    }
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? WAKEUP_NONE : WAKEUP_ERROR;
}

// ---- lock: flags and counts -------------------------------------------------------------

inline uint32_t flags_of(const tarvik_lock_t *lock)
{
    return __atomic_load_n(&lock->m_flags, __ATOMIC_RELAXED);
}

inline bool reports_errors(const tarvik_lock_t *lock)
{
    return (flags_of(lock) & TARVIK_LOCK_FLAG_ERRORS) != 0;
}

inline bool reports_warnings(const tarvik_lock_t *lock)
{
    return (flags_of(lock) & TARVIK_LOCK_FLAG_WARNINGS) != 0;
}

uint64_t report_period(const tarvik_lock_t *lock)
{
    int32_t period = __atomic_load_n(&lock->m_report_period, __ATOMIC_RELAXED);
    return period > 0 ? static_cast<uint64_t>(period) : TARVIK_LOCK_DEFAULT_REPORT_PERIOD;
}

long count_claims(const tarvik_lock_claim_t *claim)
{
    long count = 0;
    for (; claim != nullptr; claim = claim->m_next) {
        ++count;
    }
    return count;
}

// ---- lock: claims and lists (callers hold the inner lock) --------------------------------

tarvik_lock_claim_t *new_lock_claim(const tarvik_lock_t *lock, const char *tag, unsigned long line)
{
    void *memory = tarvik_alloc_tag(sizeof(tarvik_lock_claim_t), CLAIM_TAG, __LINE__);
    for (int attempt = 1; memory == nullptr && attempt < ALLOC_ATTEMPTS; ++attempt) {
        tarvik_load_balance();
        memory = tarvik_alloc_tag(sizeof(tarvik_lock_claim_t), CLAIM_TAG, __LINE__);
    }
    if (memory == nullptr) {
        return nullptr;
    }
    auto *claim = static_cast<tarvik_lock_claim_t *>(memory);
    claim->m_prev = nullptr;
    claim->m_next = nullptr;
    claim->m_thread_id =
        (flags_of(lock) & TARVIK_LOCK_FLAG_RECURSIVE) != 0 ? tarvik_get_thread_id() : 0;
    claim->m_pipe_read = -1;
    claim->m_pipe_write = -1;
    claim->m_tag = tag;
    claim->m_line = line;
    return claim;
}

void free_lock_claim(tarvik_lock_claim_t *claim)
{
    close_wakeup_pipe(&claim->m_pipe_read, &claim->m_pipe_write);
    tarvik_free_tag(claim, CLAIM_TAG, __LINE__);
}

using Claims = tarvik::detail::DoublyLinked<tarvik_lock_claim_t>;
using Waiters = tarvik::detail::DoublyLinked<tarvik_lock_condition_waiter_t>;

// The held claims, innermost first, and the queued ones in arrival order.
Claims owners(tarvik_lock_t *lock) { return Claims(&lock->m_owner, nullptr); }
Claims waiters(tarvik_lock_t *lock) { return Claims(&lock->m_wait_head, &lock->m_wait_tail); }

// The uncontended cases: a free lock with nobody queued, or the holder's own thread again.
bool take_at_once(tarvik_lock_t *lock, tarvik_lock_claim_t *claim)
{
    if (lock->m_owner == nullptr && lock->m_wait_head == nullptr) {
        owners(lock).push_front(claim);
        return true;
    }
    if (claim->m_thread_id != 0 && lock->m_owner != nullptr &&
        lock->m_owner->m_thread_id == claim->m_thread_id) {
        owners(lock).push_front(claim);
        return true;
    }
    return false;
}

// ---- lock: reports ------------------------------------------------------------------------

// One line per claim: how is "locked" for the holders, "wait" for the queue.
void report_claims(const tarvik_lock_t *lock, const tarvik_lock_claim_t *claim, const char *how)
{
    for (; claim != nullptr; claim = claim->m_next) {
        tarvik_error_printf("  - %s by \"%s:%lu\" (thread_id=%llu, initialized by \"%s:%lu\")\n",
                            how, text(claim->m_tag), claim->m_line,
                            static_cast<unsigned long long>(claim->m_thread_id), text(lock->m_tag),
                            lock->m_line);
    }
}

void report_dead_lock(const tarvik_lock_t *lock, const tarvik_lock_claim_t *claim, uint64_t waited)
{
    tarvik_error_printf("%s: [WARNING] " RED "dead-lock !" PLAIN
                        " (duration=%llu, caller=\"%s:%lu\", recursive_count=%ld, wait_count=%ld,"
                        " initialized by \"%s:%lu\")\n",
                        LOCK_NAME, static_cast<unsigned long long>(waited), text(claim->m_tag),
                        claim->m_line, count_claims(lock->m_owner), count_claims(lock->m_wait_head),
                        text(lock->m_tag), lock->m_line);
    report_claims(lock, lock->m_owner, "locked");
}

void report_pending(const tarvik_lock_t *lock, WakeupResult result, const char *tag,
                    unsigned long line)
{
    if (result == WAKEUP_ERROR) {
        tarvik_error_printf(
            "%s: [WARNING] " RED "lock pending !" PLAIN
            " (interrupted or error, caller=\"%s:%lu\", initialized by \"%s:%lu\")\n",
            LOCK_NAME, text(tag), line, text(lock->m_tag), lock->m_line);
    } else {
        tarvik_error_printf("%s: [WARNING] " RED "lock pending !" PLAIN
                            " (broken pipe, caller=\"%s:%lu\", initialized by \"%s:%lu\")\n",
                            LOCK_NAME, text(tag), line, text(lock->m_tag), lock->m_line);
    }
}

// ---- lock: waiting -----------------------------------------------------------------------

// Gives the claim a pipe outside the inner lock (a system call there would stall every
// other user of the lock), then queues it unless the lock could be taken meanwhile.
// Returns true when the claim became the owner instead.
bool queue_claim(tarvik_lock_t *lock, tarvik_lock_claim_t *claim, int timeout)
{
    if (timeout != 0) {
        inner_unlock(&lock->m_short_lock);
        if (open_wakeup_pipe(&claim->m_pipe_read, &claim->m_pipe_write) != 0 &&
            reports_errors(lock)) {
            tarvik_error_printf("%s: [ERROR] " RED "pipe for claim failed !" PLAIN
                                " (caller=\"%s:%lu\", initialized by \"%s:%lu\")\n",
                                LOCK_NAME, text(claim->m_tag), claim->m_line, text(lock->m_tag),
                                lock->m_line);
        }
        inner_lock(&lock->m_short_lock);
        if (take_at_once(lock, claim)) {
            inner_unlock(&lock->m_short_lock);
            close_wakeup_pipe(&claim->m_pipe_read, &claim->m_pipe_write);
            return true;
        }
    }
    waiters(lock).push_back(claim);
    inner_unlock(&lock->m_short_lock);
    return false;
}

// Sleeps until the claim reaches the head of a free lock (0) or its time runs out (-1).
// With timeout -1 it never gives up and reports a dead-lock every few seconds instead.
int wait_for_turn(tarvik_lock_t *lock, tarvik_lock_claim_t *claim, int timeout)
{
    const bool forever = timeout < 0;
    tarvik_timer_t timer;
    tarvik_init_timer(&timer, forever ? report_period(lock) : static_cast<uint64_t>(timeout));
    const uint64_t start = timer.m_start;
    uint64_t poll = min_u64(timer.m_length, POLL_LIMIT);
    for (;;) {
        WakeupResult result = WAKEUP_NONE;
        if (claim->m_pipe_read >= 0) {
            result = receive_wakeup(claim->m_pipe_read, poll);
        } else {
            tarvik_load_balance();
        }
        inner_lock(&lock->m_short_lock);
        if (lock->m_wait_head == claim && lock->m_owner == nullptr) {
            waiters(lock).remove(claim);
            owners(lock).push_front(claim);
            inner_unlock(&lock->m_short_lock);
            // Only waiters receive wake-ups: the pipe is of no further use.
            close_wakeup_pipe(&claim->m_pipe_read, &claim->m_pipe_write);
            return 0;
        }
        uint64_t left = 0;
        if (tarvik_check_timer_ex(&timer, &left) != 0) {
            if (!forever) {
                waiters(lock).remove(claim);
                inner_unlock(&lock->m_short_lock);
                free_lock_claim(claim);
                return -1;
            }
            report_dead_lock(lock, claim, tarvik_time_stamp_msec(&timer) - start);
            while (tarvik_check_timer_ex(&timer, &left) != 0) {
                tarvik_update_timer(&timer, REPORT_STEP);
            }
        }
        poll = min_u64(left, POLL_LIMIT);
        inner_unlock(&lock->m_short_lock);
        if (result == WAKEUP_ERROR || result == WAKEUP_EOF) {
            if (reports_warnings(lock)) {
                report_pending(lock, result, claim->m_tag, claim->m_line);
            }
            tarvik_load_balance_short();
        }
    }
}

// ---- lock condition -------------------------------------------------------------------------

// Marks the waiter woken and writes its byte; 0 when the byte went out (or no pipe is needed).
int signal_waiter(tarvik_lock_condition_waiter_t *waiter)
{
    waiter->m_signalled = 1;
    return waiter->m_pipe_write < 0 ? 0 : send_wakeup(waiter->m_pipe_write);
}

// Under the inner lock. A waiter that was woken already counts as woken: a second wake-up
// goes to the next waiter, and is lost (by design) only when every waiter was woken.
int wake_condition_waiters(tarvik_lock_condition_t *condition, bool every)
{
    int result = -1;
    for (tarvik_lock_condition_waiter_t *waiter = condition->m_wait_head; waiter != nullptr;
         waiter = waiter->m_next) {
        if (waiter->m_signalled != 0) {
            result = 0;
            continue;
        }
        if (!every) {
            return signal_waiter(waiter);
        }
        if (signal_waiter(waiter) == 0) {
            result = 0;
        }
    }
    return result;
}

// Returns when woken, on time-out (finite timeout), or never for -1 without a wake-up.
void wait_condition_signal(tarvik_lock_condition_t *condition,
                           tarvik_lock_condition_waiter_t *waiter, int timeout)
{
    tarvik_timer_t timer;
    tarvik_init_timer(&timer, timeout < 0 ? CONDITION_PERIOD : static_cast<uint64_t>(timeout));
    uint64_t left = 0;
    tarvik_check_timer_ex(&timer, &left);
    for (;;) {
        WakeupResult result = WAKEUP_NONE;
        if (waiter->m_pipe_read >= 0) {
            result = receive_wakeup(waiter->m_pipe_read, min_u64(left, POLL_LIMIT));
        } else if (left != 0) {
            tarvik_load_balance();
        }
        if (result == WAKEUP_BYTE) {
            return;
        }
        // The flag covers a waker that could not write its byte.
        inner_lock(&condition->m_short_lock);
        const bool signalled = waiter->m_signalled != 0;
        inner_unlock(&condition->m_short_lock);
        if (signalled) {
            return;
        }
        if (tarvik_check_timer_ex(&timer, &left) != 0) {
            if (timeout >= 0) {
                return;
            }
            while (tarvik_check_timer_ex(&timer, &left) != 0) {
                tarvik_update_timer(&timer, REPORT_STEP);
            }
        }
        if (result == WAKEUP_ERROR) {
            tarvik_load_balance();
        } else if (result == WAKEUP_EOF) {
            tarvik_load_balance_short();
        }
    }
}

// ---- reference spin lock ------------------------------------------------------------------

// Blocking forms: the first retry after about 1 ms, then every 10 ms.
void spin_back_off(int attempt)
{
    if (attempt == 0) {
        tarvik_load_balance_short();
    } else {
        tarvik_load_balance();
    }
}

} // namespace

extern "C" {

// ---- lock ------------------------------------------------------------------------------------

TARVIK_API tarvik_lock_t *tarvik_init_lock_tag(tarvik_lock_t *lock, const char *tag,
                                               unsigned long line)
{
    if (lock == nullptr) {
        tarvik_assert_fail_tag("source/lock", __func__, __LINE__,
                               "s_this_lock != ((tarvik_lock_t *)0)");
        return nullptr;
    }
    lock->m_flags = TARVIK_LOCK_FLAG_DEFAULT;
    lock->m_report_period = -1;
    tarvik_init_short_lock(&lock->m_short_lock);
    lock->m_owner = nullptr;
    lock->m_wait_head = nullptr;
    lock->m_wait_tail = nullptr;
    lock->m_tag = tag;
    lock->m_line = line;
    return lock;
}

TARVIK_API tarvik_lock_t *tarvik_new_lock_tag(const char *tag, unsigned long line)
{
    auto *lock = static_cast<tarvik_lock_t *>(tarvik_alloc_tag(sizeof(tarvik_lock_t), tag, line));
    if (lock == nullptr) {
        return nullptr;
    }
    tarvik_init_lock_tag(lock, tag, line);
    lock->m_flags |= TARVIK_LOCK_FLAG_ALLOCATED;
    return lock;
}

TARVIK_API int tarvik_uninit_lock_tag(tarvik_lock_t *lock, const char *tag, unsigned long line)
{
    if (lock == nullptr) {
        tarvik_assert_fail_tag("source/lock", __func__, __LINE__,
                               "s_this_lock != ((tarvik_lock_t *)0)");
        return -1;
    }
    tarvik_timer_t timer;
    tarvik_init_timer(&timer, report_period(lock));
    for (;;) {
        inner_lock(&lock->m_short_lock);
        const tarvik_lock_claim_t *owner = lock->m_owner;
        tarvik_lock_claim_t *first = lock->m_wait_head;
        if (owner == nullptr && first == nullptr) {
            inner_unlock(&lock->m_short_lock);
            tarvik_uninit_short_lock(&lock->m_short_lock);
            return 0;
        }
        if (owner != nullptr) {
            if (reports_warnings(lock)) {
                tarvik_error_printf("%s: [WARNING] pending lock wait... (locked by \"%s:%lu\","
                                    " recursive_count=%ld, wait_count=%ld, caller=\"%s:%lu\","
                                    " initialized by \"%s:%lu\")\n",
                                    LOCK_NAME, text(owner->m_tag), owner->m_line,
                                    count_claims(owner), count_claims(first), text(tag), line,
                                    text(lock->m_tag), lock->m_line);
            }
        } else {
            if (first->m_pipe_write >= 0) {
                send_wakeup(first->m_pipe_write);
            }
            if (reports_warnings(lock)) {
                tarvik_error_printf("%s: [WARNING] pending lock wait... (wait by \"%s:%lu\","
                                    " recursive_count=%ld, wait_count=%ld, caller=\"%s:%lu\","
                                    " initialized by \"%s:%lu\")\n",
                                    LOCK_NAME, text(first->m_tag), first->m_line, 0L,
                                    count_claims(first), text(tag), line, text(lock->m_tag),
                                    lock->m_line);
            }
        }
        if (tarvik_check_timer(&timer) != 0) {
            tarvik_error_printf("%s: [ERROR] " RED "pending lock wait !" PLAIN
                                " (recursive_count=%ld, wait_count=%ld, caller=\"%s:%lu\","
                                " initialized by \"%s:%lu\")\n",
                                LOCK_NAME, count_claims(owner), count_claims(first), text(tag),
                                line, text(lock->m_tag), lock->m_line);
            report_claims(lock, lock->m_owner, "locked");
            report_claims(lock, lock->m_wait_head, "wait");
            while (tarvik_check_timer(&timer) != 0) {
                tarvik_update_timer(&timer, REPORT_STEP);
            }
        }
        inner_unlock(&lock->m_short_lock);
        tarvik_load_balance();
    }
}

TARVIK_API int tarvik_free_lock_tag(tarvik_lock_t *lock, const char *tag, unsigned long line)
{
    if (lock == nullptr) {
        return 0;
    }
    tarvik_uninit_lock_tag(lock, tag, line);
    // The allocation mark is the sign bit of the low 16 bits of the flags.
    if (static_cast<int16_t>(lock->m_flags & 0xFFFFu) < 0) {
        tarvik_free_tag(lock, tag, line);
    }
    return 0;
}

TARVIK_API int tarvik_lock_timeout_tag(tarvik_lock_t *lock, int timeout_ms, const char *tag,
                                       unsigned long line)
{
    if (lock == nullptr) {
        tarvik_assert_fail_tag("source/lock", __func__, __LINE__,
                               "s_this_lock != ((tarvik_lock_t *)0)");
        return -1;
    }
    tarvik_lock_claim_t *claim = new_lock_claim(lock, tag, line);
    if (claim == nullptr) {
        if (reports_errors(lock)) {
            tarvik_error_printf("%s: [ERROR] " RED "__tarvik_new_lock_claim failed !" PLAIN
                                " (caller=\"%s:%lu\", initialized by \"%s:%lu\")\n",
                                LOCK_NAME, text(tag), line, text(lock->m_tag), lock->m_line);
        }
        return -1;
    }
    inner_lock(&lock->m_short_lock);
    if (take_at_once(lock, claim)) {
        inner_unlock(&lock->m_short_lock);
        return 0;
    }
    // A newcomer queues even when the lock is free at this instant: waiters go first.
    if (queue_claim(lock, claim, timeout_ms)) {
        return 0;
    }
    return wait_for_turn(lock, claim, timeout_ms);
}

TARVIK_API int tarvik_lock_tag(tarvik_lock_t *lock, const char *tag, unsigned long line)
{
    return tarvik_lock_timeout_tag(lock, -1, tag, line);
}

TARVIK_API int tarvik_try_lock_tag(tarvik_lock_t *lock, const char *tag, unsigned long line)
{
    return tarvik_lock_timeout_tag(lock, 0, tag, line) == 0 ? 1 : 0;
}

TARVIK_API int tarvik_unlock_tag(tarvik_lock_t *lock, const char *tag, unsigned long line)
{
    if (lock == nullptr) {
        tarvik_assert_fail_tag("source/lock", __func__, __LINE__,
                               "s_this_lock != ((tarvik_lock_t *)0)");
        return -1;
    }
    inner_lock(&lock->m_short_lock);
    if (lock->m_owner == nullptr) {
        const long waiting = count_claims(lock->m_wait_head);
        inner_unlock(&lock->m_short_lock);
        if (reports_errors(lock)) {
            tarvik_error_printf(
                "%s: [ERROR] " RED "unlock failed !" PLAIN
                " (no-owner, recursive_count=%ld, wait_count=%ld, caller=\"%s:%lu\","
                " initialized by \"%s:%lu\")\n",
                LOCK_NAME, 0L, waiting, text(tag), line, text(lock->m_tag), lock->m_line);
        }
        return -1;
    }
    tarvik_lock_claim_t *claim = owners(lock).pop_front();
    const tarvik_lock_claim_t *next = lock->m_owner == nullptr ? lock->m_wait_head : nullptr;
    // A claim without pipe polls on its own; the write happens under the inner lock because
    // a waiter that times out frees its claim and pipe as soon as it has left the list.
    if (next != nullptr && next->m_pipe_write >= 0 && send_wakeup(next->m_pipe_write) != 0 &&
        reports_errors(lock)) {
        tarvik_error_printf("%s: [ERROR] " RED "__tarvik_wakeup_lock_claim failed by unlock !" PLAIN
                            " (caller=\"%s:%lu\", wakeup_claim=\"%s:%lu\", recursive_count=%ld,"
                            " wait_count=%ld, initialized by \"%s:%lu\")\n",
                            LOCK_NAME, text(tag), line, text(next->m_tag), next->m_line,
                            count_claims(lock->m_owner), count_claims(lock->m_wait_head),
                            text(lock->m_tag), lock->m_line);
    }
    inner_unlock(&lock->m_short_lock);
    free_lock_claim(claim);
    return 0;
}

// ---- lock condition -------------------------------------------------------------------------

TARVIK_API tarvik_lock_condition_t *
tarvik_init_lock_condition_tag(tarvik_lock_condition_t *condition, const char *tag,
                               unsigned long line)
{
    if (condition == nullptr) {
        tarvik_assert_fail_tag("source/lock", __func__, __LINE__,
                               "s_condition != ((tarvik_lock_condition_t *)0)");
        return nullptr;
    }
    tarvik_init_short_lock(&condition->m_short_lock);
    condition->m_wait_head = nullptr;
    condition->m_wait_tail = nullptr;
    condition->m_tag = tag;
    condition->m_line = line;
    return condition;
}

TARVIK_API tarvik_lock_condition_t *tarvik_new_lock_condition_tag(const char *tag,
                                                                  unsigned long line)
{
    auto *condition = static_cast<tarvik_lock_condition_t *>(
        tarvik_alloc_tag(sizeof(tarvik_lock_condition_t), tag, line));
    if (condition == nullptr) {
        return nullptr;
    }
    return tarvik_init_lock_condition_tag(condition, tag, line);
}

TARVIK_API int tarvik_uninit_lock_condition_tag(tarvik_lock_condition_t *condition, const char *tag,
                                                unsigned long line)
{
    if (condition == nullptr) {
        return -1;
    }
    tarvik_timer_t timer;
    tarvik_init_timer(&timer, CONDITION_PERIOD);
    const uint64_t start = timer.m_start;
    for (;;) {
        inner_lock(&condition->m_short_lock);
        if (condition->m_wait_head == nullptr) {
            inner_unlock(&condition->m_short_lock);
            tarvik_uninit_short_lock(&condition->m_short_lock);
            return 0;
        }
        wake_condition_waiters(condition, true);
        inner_unlock(&condition->m_short_lock);
        if (tarvik_check_timer(&timer) != 0) {
            tarvik_error_printf(
                "tarvik_lock_condition: [ERROR] " RED "pending too long time lock condition !" PLAIN
                " (%llu msec, caller=\"%s:%lu\")\n",
                static_cast<unsigned long long>(tarvik_time_stamp_msec(&timer) - start), text(tag),
                line);
            while (tarvik_check_timer(&timer) != 0) {
                tarvik_update_timer(&timer, REPORT_STEP);
            }
        }
        tarvik_load_balance();
    }
}

TARVIK_API int tarvik_free_lock_condition_tag(tarvik_lock_condition_t *condition, const char *tag,
                                              unsigned long line)
{
    if (condition == nullptr) {
        return 0;
    }
    tarvik_uninit_lock_condition_tag(condition, tag, line);
    tarvik_free_tag(condition, tag, line);
    return 0;
}

TARVIK_API int tarvik_lock_condition_wait_timeout_tag(tarvik_lock_condition_t *condition,
                                                      tarvik_lock_t *lock, int timeout_ms,
                                                      const char *tag, unsigned long line)
{
    if (condition == nullptr) {
        return -1;
    }
    tarvik_lock_condition_waiter_t waiter;
    waiter.m_prev = nullptr;
    waiter.m_next = nullptr;
    waiter.m_signalled = 0;
    waiter.m_pipe_read = -1;
    waiter.m_pipe_write = -1;
    // Without a pipe the waiter still works: it polls its flag every 10 ms.
    open_wakeup_pipe(&waiter.m_pipe_read, &waiter.m_pipe_write);

    inner_lock(&condition->m_short_lock);
    Waiters(&condition->m_wait_head, &condition->m_wait_tail).push_back(&waiter);
    inner_unlock(&condition->m_short_lock);
    // Queued before the lock goes: a wake-up sent by the next holder cannot be missed.
    if (lock != nullptr) {
        tarvik_unlock_tag(lock, tag, line);
    }
    wait_condition_signal(condition, &waiter, timeout_ms);

    inner_lock(&condition->m_short_lock);
    Waiters(&condition->m_wait_head, &condition->m_wait_tail).remove(&waiter);
    inner_unlock(&condition->m_short_lock);
    close_wakeup_pipe(&waiter.m_pipe_read, &waiter.m_pipe_write);

    if (lock == nullptr) {
        return 0;
    }
    for (int attempt = 0; attempt < RELOCK_ATTEMPTS; ++attempt) {
        if (tarvik_lock_timeout_tag(lock, -1, tag, line) == 0) {
            return 0;
        }
    }
    return -1;
}

TARVIK_API int tarvik_lock_condition_wait_tag(tarvik_lock_condition_t *condition,
                                              tarvik_lock_t *lock, const char *tag,
                                              unsigned long line)
{
    return tarvik_lock_condition_wait_timeout_tag(condition, lock, -1, tag, line);
}

TARVIK_API int tarvik_lock_condition_wakeup_tag(tarvik_lock_condition_t *condition, const char *tag,
                                                unsigned long line)
{
    (void)tag;
    (void)line;
    if (condition == nullptr) {
        return -1;
    }
    inner_lock(&condition->m_short_lock);
    int result = wake_condition_waiters(condition, false);
    inner_unlock(&condition->m_short_lock);
    return result;
}

TARVIK_API int tarvik_lock_condition_wakeup_all_tag(tarvik_lock_condition_t *condition,
                                                    const char *tag, unsigned long line)
{
    (void)tag;
    (void)line;
    if (condition == nullptr) {
        return -1;
    }
    inner_lock(&condition->m_short_lock);
    int result = wake_condition_waiters(condition, true);
    inner_unlock(&condition->m_short_lock);
    return result;
}

// ---- reference spin lock ------------------------------------------------------------------

TARVIK_API tarvik_spin_lock_t *tarvik_init_spin_lock(tarvik_spin_lock_t *lock)
{
    if (lock == nullptr) {
        return nullptr;
    }
    tarvik_init_short_lock(&lock->m_lock);
    lock->m_tag = nullptr;
    lock->m_line = 0;
    lock->m_exclusive = 0;
    lock->m_count = 0;
    return lock;
}

TARVIK_API tarvik_spin_lock_t *tarvik_new_spin_lock(void)
{
    auto *lock = static_cast<tarvik_spin_lock_t *>(
        tarvik_alloc_tag(sizeof(tarvik_spin_lock_t), __func__, __LINE__));
    return tarvik_init_spin_lock(lock);
}

TARVIK_API int tarvik_uninit_spin_lock(tarvik_spin_lock_t *lock)
{
    (void)lock;
    return 0;
}

TARVIK_API int tarvik_free_spin_lock(tarvik_spin_lock_t *lock)
{
    if (lock != nullptr) {
        tarvik_uninit_spin_lock(lock);
        tarvik_free_tag(lock, __func__, __LINE__);
    }
    return 0;
}

TARVIK_API int tarvik_reference_try_spin_lock_tag(tarvik_spin_lock_t *lock, int mode,
                                                  const char *tag, unsigned long line)
{
    if (lock == nullptr || __atomic_exchange_n(&lock->m_lock, 1u, __ATOMIC_ACQUIRE) != 0u) {
        return 0;
    }
    bool granted = lock->m_exclusive == 0 && lock->m_count != UINT32_MAX;
    if (granted && (mode & SPIN_EXCLUSIVE_BIT) != 0) {
        granted = lock->m_count == 0;
        lock->m_exclusive = granted ? 1u : 0u;
    }
    if (granted) {
        if (lock->m_count == 0) {
            lock->m_tag = tag;
            lock->m_line = line;
        }
        ++lock->m_count;
    }
    inner_unlock(&lock->m_lock);
    return granted ? 1 : 0;
}

TARVIK_API int tarvik_reference_spin_lock_tag(tarvik_spin_lock_t *lock, int mode, const char *tag,
                                              unsigned long line)
{
    return tarvik_reference_spin_lock_timeout_tag(lock, mode, -1, tag, line);
}

TARVIK_API int tarvik_reference_spin_lock_timeout_tag(tarvik_spin_lock_t *lock, int mode,
                                                      int timeout_ms, const char *tag,
                                                      unsigned long line)
{
    if (lock == nullptr) {
        return 0;
    }
    if (tarvik_reference_try_spin_lock_tag(lock, mode, tag, line) != 0) {
        return 1;
    }
    // The clock is read only once the lock turned out to be busy.
    tarvik_timer_t timer;
    tarvik_init_timer(&timer, timeout_ms < 0 ? 0 : static_cast<uint64_t>(timeout_ms));
    for (int attempt = 0;; ++attempt) {
        if (timeout_ms >= 0 && tarvik_check_timer(&timer) != 0) {
            return 0;
        }
        spin_back_off(attempt);
        if (tarvik_reference_try_spin_lock_tag(lock, mode, tag, line) != 0) {
            return 1;
        }
    }
}

TARVIK_API int tarvik_reference_spin_unlock_tag(tarvik_spin_lock_t *lock, const char *tag,
                                                unsigned long line)
{
    if (lock == nullptr) {
        return -1;
    }
    inner_lock(&lock->m_lock);
    const bool held = lock->m_count != 0;
    if (held) {
        --lock->m_count;
    }
    lock->m_exclusive = 0;
    inner_unlock(&lock->m_lock);
    if (!held) {
        fprintf(stderr,
                SEPARATOR "tarvik: [WARNING] unlock - invalid reference count (already unlocked ?,"
                          " \"%s:%lu\")\n" SEPARATOR,
                text(tag), line);
        return -1;
    }
    return 0;
}

TARVIK_API int tarvik_spin_lock_tag(tarvik_spin_lock_t *lock, const char *tag, unsigned long line)
{
    return tarvik_reference_spin_lock_tag(lock, TARVIK_SPIN_LOCK_EXCLUSIVE, tag, line);
}

TARVIK_API int tarvik_try_spin_lock_tag(tarvik_spin_lock_t *lock, const char *tag,
                                        unsigned long line)
{
    return tarvik_reference_try_spin_lock_tag(lock, TARVIK_SPIN_LOCK_EXCLUSIVE, tag, line);
}

TARVIK_API int tarvik_spin_lock_timeout_tag(tarvik_spin_lock_t *lock, int timeout_ms,
                                            const char *tag, unsigned long line)
{
    return tarvik_reference_spin_lock_timeout_tag(lock, TARVIK_SPIN_LOCK_EXCLUSIVE, timeout_ms, tag,
                                                  line);
}

TARVIK_API int tarvik_spin_unlock_tag(tarvik_spin_lock_t *lock, const char *tag, unsigned long line)
{
    return tarvik_reference_spin_unlock_tag(lock, tag, line);
}

} // extern "C"
