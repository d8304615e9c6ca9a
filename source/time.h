/* Monotonic millisecond clock, polled timers and the sleeps of every polling loop. */
#ifndef TARVIK_TIME_H
#define TARVIK_TIME_H

#include "tarvik_abi.h"
#include <time.h>

TARVIK_BEGIN_DECLS

/* POSIX type: strict C99 headers leave it undeclared. */
struct timespec;

/* All fields are milliseconds. A timer needs no release. */
typedef struct tarvik_timer_s {
    uint64_t m_last; /* last clock reading, fallback when the clock cannot be read */
    uint64_t m_start;
    uint64_t m_length;
    uint64_t m_elapsed; /* elapsed at the last check */
} tarvik_timer_t;

/* clock 0 real time, 1 monotonic; -1 for another clock or a null output. */
TARVIK_API int tarvik_clock_get_time(int clock, struct timespec *out);
TARVIK_API int tarvik_clock_set_time(int clock, const struct timespec *value);

/* Monotonic milliseconds; timer (may be null) supplies and keeps the fallback reading. */
TARVIK_API uint64_t tarvik_time_stamp_msec(tarvik_timer_t *timer);
TARVIK_API uint64_t tarvik_uptime_msec(void);
TARVIK_API uint64_t tarvik_uptime(void);

TARVIK_API tarvik_timer_t *tarvik_init_timer(tarvik_timer_t *timer, uint64_t length);
TARVIK_API tarvik_timer_t *tarvik_set_timer(tarvik_timer_t *timer, uint64_t length);
TARVIK_API tarvik_timer_t *tarvik_update_timer(tarvik_timer_t *timer, uint64_t extra);
/* 1 when expired (left 0), else 0 with the milliseconds left. */
TARVIK_API int tarvik_check_timer_ex(tarvik_timer_t *timer, uint64_t *left_out);
TARVIK_API int tarvik_check_timer(tarvik_timer_t *timer);

/* Sleeps (millisecond precision, rounded up); returns 0, or -1 when interrupted. */
TARVIK_API int tarvik_sleep_wait(long seconds, long microseconds);
/* About 1 ms, 10 ms and 100 ms. */
TARVIK_API int tarvik_load_balance_short(void);
TARVIK_API int tarvik_load_balance(void);
TARVIK_API int tarvik_load_balance_long(void);

/* The kernel's clock-tick rate behind /proc counters, detected once; 100 when unknown. */
TARVIK_API uint64_t tarvik_get_hertz(void);

TARVIK_END_DECLS

#endif
