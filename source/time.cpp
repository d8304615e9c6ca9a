// Monotonic millisecond clock, polled timers and sleeps. Time-outs use the monotonic
// clock and never follow the wall clock (devices boot at 1970 and then jump).
#include "time.h"

#include "detail/common.hpp"

#include <cerrno>
#include <sys/select.h>

namespace {

tarvik_short_lock_t s_stamp_lock;
uint64_t s_last_stamp;

uint64_t to_msec(const struct timespec &value)
{
    return static_cast<uint64_t>(value.tv_sec) * 1000u +
           static_cast<uint64_t>(value.tv_nsec) / 1000000u;
}

int read_monotonic(uint64_t *out)
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return -1;
    }
    *out = to_msec(now);
    return 0;
}

} // namespace

extern "C" {

TARVIK_API int tarvik_clock_get_time(int clock, struct timespec *out)
{
    if (out == nullptr || (clock != 0 && clock != 1)) {
        return -1;
    }
    return clock_gettime(clock == 0 ? CLOCK_REALTIME : CLOCK_MONOTONIC, out) == 0 ? 0 : -1;
}

TARVIK_API int tarvik_clock_set_time(int clock, const struct timespec *value)
{
    if (value == nullptr || (clock != 0 && clock != 1)) {
        return -1;
    }
    return clock_settime(clock == 0 ? CLOCK_REALTIME : CLOCK_MONOTONIC, value) == 0 ? 0 : -1;
}

TARVIK_API uint64_t tarvik_time_stamp_msec(tarvik_timer_t *timer)
{
    uint64_t now = 0;
    if (timer != nullptr) {
        if (read_monotonic(&now) != 0) {
            return timer->m_last;
        }
        timer->m_last = now;
        return now;
    }
    if (read_monotonic(&now) == 0) {
        // The cache only matters when the clock fails; a plain store keeps the fast path
        // free of the lock.
        __atomic_store_n(&s_last_stamp, now, __ATOMIC_RELAXED);
        return now;
    }
    tarvik::detail::ShortLockGuard guard(&s_stamp_lock);
    return s_last_stamp;
}

TARVIK_API uint64_t tarvik_uptime_msec(void)
{
    // Time since boot includes suspend: the boot-time clock, not the monotonic one.
    struct timespec now;
    if (clock_gettime(CLOCK_BOOTTIME, &now) == 0) {
        return to_msec(now);
    }
    return tarvik_time_stamp_msec(nullptr);
}

TARVIK_API uint64_t tarvik_uptime(void) { return tarvik_uptime_msec() / 1000u; }

TARVIK_API tarvik_timer_t *tarvik_init_timer(tarvik_timer_t *timer, uint64_t length)
{
    if (timer == nullptr) {
        return nullptr;
    }
    timer->m_last = 0;
    timer->m_start = 0;
    timer->m_length = 0;
    timer->m_elapsed = 0;
    return tarvik_set_timer(timer, length);
}

TARVIK_API tarvik_timer_t *tarvik_set_timer(tarvik_timer_t *timer, uint64_t length)
{
    if (timer == nullptr) {
        return nullptr;
    }
    timer->m_start = tarvik_time_stamp_msec(timer);
    timer->m_length = length;
    timer->m_elapsed = 0;
    return timer;
}

TARVIK_API tarvik_timer_t *tarvik_update_timer(tarvik_timer_t *timer, uint64_t extra)
{
    if (timer != nullptr) {
        timer->m_length += extra;
    }
    return timer;
}

TARVIK_API int tarvik_check_timer_ex(tarvik_timer_t *timer, uint64_t *left_out)
{
    if (timer == nullptr) {
        if (left_out != nullptr) {
            *left_out = 0;
        }
        return 1;
    }
    uint64_t elapsed = tarvik_time_stamp_msec(timer) - timer->m_start;
    timer->m_elapsed = elapsed;
    if (elapsed >= timer->m_length) {
        if (left_out != nullptr) {
            *left_out = 0;
        }
        return 1;
    }
    if (left_out != nullptr) {
        *left_out = timer->m_length - elapsed;
    }
    return 0;
}

TARVIK_API int tarvik_check_timer(tarvik_timer_t *timer) { return tarvik_check_timer_ex(timer, nullptr); }

TARVIK_API int tarvik_sleep_wait(long seconds, long microseconds)
{
    struct timeval wait;
    wait.tv_sec = seconds + microseconds / 1000000L;
    wait.tv_usec = microseconds % 1000000L;
    return select(0, nullptr, nullptr, nullptr, &wait) < 0 ? -1 : 0;
}

TARVIK_API int tarvik_load_balance_short(void) { return tarvik_sleep_wait(0, 1000); }
TARVIK_API int tarvik_load_balance(void) { return tarvik_sleep_wait(0, 10000); }
TARVIK_API int tarvik_load_balance_long(void) { return tarvik_sleep_wait(0, 100000); }

} // extern "C"
