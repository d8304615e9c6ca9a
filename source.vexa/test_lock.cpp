// Lock exercises of the "test" applet: hand-over between threads, time-outs, recursion,
// conditions and the reference spin lock, each checked against its expected result.
#include "test_exercises.h"

#include "detail/common.hpp"
#include "lock.h"
#include "time.h"

#include <pthread.h>

namespace tarvik::test {

namespace {

struct Shared {
    tarvik_lock_t m_lock;
    tarvik_lock_condition_t m_condition;
    volatile uint32_t m_ready;
    long m_counter;
};

void *hold_for_a_while(void *context)
{
    auto *shared = static_cast<Shared *>(context);
    tarvik_lock_timeout_tag(&shared->m_lock, -1, TARVIK_TAG);
    __atomic_store_n(&shared->m_ready, 1u, __ATOMIC_RELEASE);
    tarvik_sleep_wait(0, 150000);
    tarvik_unlock_tag(&shared->m_lock, TARVIK_TAG);
    return nullptr;
}

void *count_up(void *context)
{
    auto *shared = static_cast<Shared *>(context);
    for (int i = 0; i < 2000; ++i) {
        tarvik_lock_timeout_tag(&shared->m_lock, -1, TARVIK_TAG);
        ++shared->m_counter;
        tarvik_unlock_tag(&shared->m_lock, TARVIK_TAG);
    }
    return nullptr;
}

void *signal_later(void *context)
{
    auto *shared = static_cast<Shared *>(context);
    tarvik_sleep_wait(0, 50000);
    tarvik_lock_timeout_tag(&shared->m_lock, -1, TARVIK_TAG);
    shared->m_counter = 42;
    tarvik_lock_condition_wakeup_tag(&shared->m_condition, TARVIK_TAG);
    tarvik_unlock_tag(&shared->m_lock, TARVIK_TAG);
    return nullptr;
}

void check_hand_over(Checker &check, Shared &shared)
{
    pthread_t holder;
    __atomic_store_n(&shared.m_ready, 0u, __ATOMIC_RELEASE);
    EXPECT(check, pthread_create(&holder, nullptr, hold_for_a_while, &shared) == 0);
    while (__atomic_load_n(&shared.m_ready, __ATOMIC_ACQUIRE) == 0u) {
        tarvik_load_balance_short();
    }
    tarvik_timer_t timer;
    tarvik_init_timer(&timer, 0);
    EXPECT(check, tarvik_lock_timeout_tag(&shared.m_lock, 50, TARVIK_TAG) == -1);
    EXPECT(check, tarvik_time_stamp_msec(&timer) - timer.m_start >= 45u);
    EXPECT(check, tarvik_try_lock_tag(&shared.m_lock, TARVIK_TAG) == 0);
    EXPECT(check, tarvik_lock_timeout_tag(&shared.m_lock, -1, TARVIK_TAG) == 0);
    EXPECT(check, tarvik_unlock_tag(&shared.m_lock, TARVIK_TAG) == 0);
    EXPECT(check, tarvik_unlock_tag(&shared.m_lock, TARVIK_TAG) == -1);
    pthread_join(holder, nullptr);
}

void check_counting(Checker &check, Shared &shared)
{
    pthread_t workers[4];
    shared.m_counter = 0;
    for (auto &worker : workers) {
        EXPECT(check, pthread_create(&worker, nullptr, count_up, &shared) == 0);
    }
    for (auto &worker : workers) {
        pthread_join(worker, nullptr);
    }
    EXPECT(check, shared.m_counter == 4 * 2000);
}

void check_recursion(Checker &check)
{
    tarvik_lock_t *lock = tarvik_new_lock_tag(TARVIK_TAG);
    EXPECT(check, lock != nullptr);
    if (lock == nullptr) {
        return;
    }
    lock->m_flags |= TARVIK_LOCK_FLAG_RECURSIVE;
    for (int i = 0; i < 3; ++i) {
        EXPECT(check, tarvik_lock_timeout_tag(lock, 0, TARVIK_TAG) == 0);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT(check, tarvik_unlock_tag(lock, TARVIK_TAG) == 0);
    }
    EXPECT(check, tarvik_unlock_tag(lock, TARVIK_TAG) == -1);
    EXPECT(check, tarvik_free_lock_tag(lock, TARVIK_TAG) == 0);
}

void check_condition(Checker &check, Shared &shared)
{
    // A wake-up nobody waits for is not remembered.
    EXPECT(check, tarvik_lock_condition_wakeup_tag(&shared.m_condition, TARVIK_TAG) == -1);
    shared.m_counter = 0;
    pthread_t signaller;
    tarvik_lock_timeout_tag(&shared.m_lock, -1, TARVIK_TAG);
    EXPECT(check, pthread_create(&signaller, nullptr, signal_later, &shared) == 0);
    tarvik_timer_t timer;
    tarvik_init_timer(&timer, 5000);
    while (shared.m_counter != 42 && tarvik_check_timer(&timer) == 0) {
        tarvik_lock_condition_wait_timeout_tag(&shared.m_condition, &shared.m_lock, 1000,
                                               TARVIK_TAG);
    }
    EXPECT(check, shared.m_counter == 42);
    tarvik_unlock_tag(&shared.m_lock, TARVIK_TAG);
    pthread_join(signaller, nullptr);
}

void check_spin_lock(Checker &check)
{
    tarvik_spin_lock_t spin;
    tarvik_init_spin_lock(&spin);
    EXPECT(check,
           tarvik_reference_try_spin_lock_tag(&spin, TARVIK_SPIN_LOCK_SHARED, TARVIK_TAG) == 1);
    EXPECT(check,
           tarvik_reference_try_spin_lock_tag(&spin, TARVIK_SPIN_LOCK_SHARED, TARVIK_TAG) == 1);
    EXPECT(check, tarvik_try_spin_lock_tag(&spin, TARVIK_TAG) == 0);
    tarvik_spin_unlock_tag(&spin, TARVIK_TAG);
    tarvik_spin_unlock_tag(&spin, TARVIK_TAG);
    EXPECT(check, tarvik_try_spin_lock_tag(&spin, TARVIK_TAG) == 1);
    EXPECT(check,
           tarvik_reference_try_spin_lock_tag(&spin, TARVIK_SPIN_LOCK_SHARED, TARVIK_TAG) == 0);
    tarvik_spin_unlock_tag(&spin, TARVIK_TAG);
    tarvik_uninit_spin_lock(&spin);
}

} // namespace

int exercise_lock(const char *)
{
    Checker check("lock");
    Shared shared = {};
    tarvik_init_lock_tag(&shared.m_lock, TARVIK_TAG);
    tarvik_init_lock_condition_tag(&shared.m_condition, TARVIK_TAG);
    check_hand_over(check, shared);
    check_counting(check, shared);
    check_recursion(check);
    check_condition(check, shared);
    check_spin_lock(check);
    tarvik_uninit_lock_condition_tag(&shared.m_condition, TARVIK_TAG);
    tarvik_uninit_lock_tag(&shared.m_lock, TARVIK_TAG);
    return check.status();
}

} // namespace tarvik::test
