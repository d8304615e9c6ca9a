// Monotonic millisecond clock, polled timers, sleeps and the kernel tick rate. Time-outs
// use the monotonic clock and never follow the wall clock (devices boot at 1970 and jump).
#include "time.h"

#include "console.h"
#include "cpu_ticks.h"
#include "select.h"
#include "detail/common.hpp"
#include "detail/cpu_ticks.hpp"
#include "detail/time.hpp"

#include <cerrno>
#include <climits>
#include <unistd.h>

namespace {

// Last good reading of the monotonic clock in 1024 ms units, only consulted when the clock
// fails. One 32-bit word keeps the fast path a plain store on 32-bit targets (64-bit
// atomics need libatomic there) and still covers 139 years.
uint32_t s_last_stamp_units;
constexpr unsigned STAMP_UNIT_SHIFT = 10;

tarvik_short_lock_t s_hertz_lock;
uint64_t s_hertz;

constexpr uint64_t DEFAULT_HERTZ = 100;
constexpr int HERTZ_ATTEMPTS = 1000;
// In the first minute after boot the tick counters lag the clock by the kernel's own start-up
// (a tenth of a second on a quick board, more on a slow one), enough to push the estimate off
// its row or onto a wrong one: until then the unit the kernel states is taken as it is.
constexpr uint64_t YOUNG_UPTIME_MSEC = 60000;

struct HertzRange {
    uint64_t m_low;
    uint64_t m_high;
    uint64_t m_hertz;
};

// Searched in order; the first closed range holding the estimate wins.
constexpr HertzRange HERTZ_RANGES[] = {
    {9, 11, 10},     {18, 22, 20},      {30, 34, 32},       {48, 52, 50},
    {58, 61, 60},    {62, 65, 64},      {95, 105, 100},     {124, 132, 128},
    {195, 204, 200}, {247, 252, 250},   {253, 260, 256},    {393, 408, 400},
    {790, 808, 800}, {990, 1010, 1000}, {1015, 1035, 1024}, {1180, 1220, 1200},
};

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

// Sums of the "cpu" lines at full width: 32-bit record totals of the aggregate line wrap
// after a few months of uptime on a multi-core board.
struct TickTotals {
    bool m_aggregate_found;
    uint64_t m_aggregate;
    uint64_t m_cpu_count;
};

int add_tick_line(const tarvik::detail::CpuTickLine &line, void *context)
{
    TickTotals *totals = static_cast<TickTotals *>(context);
    if (line.m_id == -1) {
        if (!totals->m_aggregate_found) {
            totals->m_aggregate_found = true;
            for (uint32_t i = 0; i < line.m_count; ++i) {
                totals->m_aggregate += line.m_values[i];
            }
        }
    } else {
        ++totals->m_cpu_count;
    }
    return 0;
}

uint64_t detect_hertz_nolock()
{
    // The tick counters stop while the board is suspended, and so does the monotonic
    // clock: the estimate compares them, not the boot-time uptime.
    char *text = nullptr;
    size_t length = 0;
    uint64_t uptime = 0;
    for (int attempt = 0; attempt < HERTZ_ATTEMPTS; ++attempt) {
        tarvik_check_free_tag(text, TARVIK_TAG);
        uint64_t before = tarvik_time_stamp_msec(nullptr);
        text =
            tarvik::detail::read_whole_file("/proc/stat", tarvik::detail::PROC_FILE_LIMIT, &length);
        uint64_t after = tarvik_time_stamp_msec(nullptr);
        uptime = before + (after - before) / 2;
        if (text == nullptr || before == after) {
            break;
        }
    }
    long stated = sysconf(_SC_CLK_TCK);
    uint64_t hertz = tarvik::detail::hertz_from_stat(
        text, length, uptime, stated > 0 ? static_cast<uint64_t>(stated) : DEFAULT_HERTZ);
    tarvik_check_free_tag(text, TARVIK_TAG);
    return hertz;
}

} // namespace

namespace tarvik::detail {

uint64_t lookup_hertz(uint64_t estimate)
{
    for (const HertzRange &range : HERTZ_RANGES) {
        if (estimate >= range.m_low && estimate <= range.m_high) {
            return range.m_hertz;
        }
    }
    return 0;
}

uint64_t hertz_from_stat(const char *text, size_t length, uint64_t uptime_msec,
                         uint64_t stated_hertz)
{
    TickTotals totals{false, 0, 0};
    // No "cpu" line at all (or no file): the tick list could not be read.
    if (for_each_cpu_line(text, length, add_tick_line, &totals) == 0) {
        tarvik_error_printf("%s: [ERROR] \e[1;31munknown HZ value !\e[0m (assume %llu, "
                            "tarvik_open_cpu_ticks failed)\n",
                            "tarvik_get_hertz", static_cast<unsigned long long>(DEFAULT_HERTZ));
        return DEFAULT_HERTZ;
    }
    if (!totals.m_aggregate_found || totals.m_cpu_count == 0) {
        tarvik_error_printf("%s: [ERROR] \e[1;31munknown HZ value !\e[0m (assume %llu, "
                            "s_this_ticks=%s, cpu_count=%llu)\n",
                            "tarvik_get_hertz", static_cast<unsigned long long>(DEFAULT_HERTZ),
                            totals.m_aggregate_found ? "FOUND-BUT" : "NOT_FOUND",
                            static_cast<unsigned long long>(totals.m_cpu_count));
        return DEFAULT_HERTZ;
    }
    if (uptime_msec < YOUNG_UPTIME_MSEC) {
        return stated_hertz;
    }
    uint64_t estimate = totals.m_aggregate / totals.m_cpu_count * 1000u / uptime_msec;
    uint64_t hertz = lookup_hertz(estimate);
    if (hertz == 0) {
        tarvik_error_printf("%s: [ERROR] \e[1;31munknown HZ value !\e[0m (assume %llu)\n",
                            "tarvik_get_hertz", static_cast<unsigned long long>(DEFAULT_HERTZ));
        return DEFAULT_HERTZ;
    }
    return hertz;
}

int64_t sleep_milliseconds(long seconds, long microseconds)
{
    // Beyond a century the count only has to stay positive and free of overflow.
    constexpr int64_t CENTURY = INT64_C(3153600000);
    auto clamp = [](int64_t value, int64_t limit) {
        return value > limit ? limit : (value < -limit ? -limit : value);
    };
    int64_t total = clamp(seconds, CENTURY) * 1000000 + clamp(microseconds, CENTURY * 1000000);
    return total > 0 ? (total + 999) / 1000 : 0;
}

} // namespace tarvik::detail

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
        // Written about once a second, so that threads reading the clock do not fight
        // over the cache line.
        uint32_t units = static_cast<uint32_t>(now >> STAMP_UNIT_SHIFT);
        if (__atomic_load_n(&s_last_stamp_units, __ATOMIC_RELAXED) != units) {
            __atomic_store_n(&s_last_stamp_units, units, __ATOMIC_RELAXED);
        }
        return now;
    }
    return static_cast<uint64_t>(__atomic_load_n(&s_last_stamp_units, __ATOMIC_RELAXED))
           << STAMP_UNIT_SHIFT;
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
    uint64_t now = tarvik_time_stamp_msec(timer);
    // A reading before the start (a record copied between owners) counts as no time passed
    // rather than wrapping into an instant expiry.
    uint64_t elapsed = now >= timer->m_start ? now - timer->m_start : 0;
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

TARVIK_API int tarvik_check_timer(tarvik_timer_t *timer)
{
    return tarvik_check_timer_ex(timer, nullptr);
}

TARVIK_API int tarvik_sleep_wait(long seconds, long microseconds)
{
    // Rounded up, so that a 1000 us yield never turns into a busy 0 ms poll.
    int64_t left = tarvik::detail::sleep_milliseconds(seconds, microseconds);
    do {
        int slice = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        if (tarvik_single_select(-1, 0, slice) < 0) {
            return -1;
        }
        left -= slice;
    } while (left > 0);
    return 0;
}

TARVIK_API int tarvik_load_balance_short(void) { return tarvik_sleep_wait(0, 1000); }
TARVIK_API int tarvik_load_balance(void) { return tarvik_sleep_wait(0, 10000); }
TARVIK_API int tarvik_load_balance_long(void) { return tarvik_sleep_wait(0, 100000); }

TARVIK_API uint64_t tarvik_get_hertz(void)
{
    tarvik::detail::ShortLockGuard guard(&s_hertz_lock);
    if (s_hertz == 0) {
        s_hertz = detect_hertz_nolock();
    }
    return s_hertz;
}

} // extern "C"
