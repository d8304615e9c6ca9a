// Timer and date exercises of the "test" applet: the millisecond clock, polled timers,
// sleeps, calendar arithmetic and the fixed time-stamp styles.
#include "test_exercises.h"

#include "date.h"
#include "time.h"

#include <cstring>

namespace tarvik::test {

namespace {

void check_timers(Checker &check)
{
    tarvik_timer_t timer;
    uint64_t left = 1;
    tarvik_init_timer(&timer, 0);
    EXPECT(check, tarvik_check_timer_ex(&timer, &left) == 1 && left == 0);
    tarvik_set_timer(&timer, 60);
    EXPECT(check, tarvik_check_timer_ex(&timer, &left) == 0 && left > 0 && left <= 60);
    uint64_t before = tarvik_time_stamp_msec(nullptr);
    tarvik_sleep_wait(0, 80000);
    uint64_t after = tarvik_time_stamp_msec(nullptr);
    EXPECT(check, after - before >= 75);
    EXPECT(check, tarvik_check_timer(&timer) == 1);
    tarvik_update_timer(&timer, 4000);
    EXPECT(check, tarvik_check_timer(&timer) == 0);
    EXPECT(check, tarvik_uptime() > 0);
    uint64_t hertz = tarvik_get_hertz();
    EXPECT(check, hertz >= 10 && hertz <= 1200);
}

void check_dates(Checker &check)
{
    EXPECT(check, tarvik_is_leap_year(2000) == 1 && tarvik_is_leap_year(2016) == 1);
    EXPECT(check, tarvik_is_leap_year(1900) == 0 && tarvik_is_leap_year(2017) == 0);
    // 2000-02-29 12:34:56 UTC
    EXPECT(check, tarvik_date_to_time(2000, 2, 29, 12, 34, 56) == 951827696);
    struct tm tm;
    EXPECT(check, tarvik_gmtime(951827696, &tm) != nullptr);
    char text[64];
    tarvik_asctime(text, sizeof(text), &tm, 5);
    EXPECT(check, strcmp(text, "2000-02-29 12:34:56") == 0);
    tarvik_strftime(text, sizeof(text), "%a %b %-e %j", &tm);
    EXPECT(check, strcmp(text, "Tue Feb 29 060") == 0);
    tm.tm_hour = 24;
    tarvik_asctime(text, sizeof(text), &tm, 2);
    EXPECT(check, strcmp(text, "ERR(tm)") == 0);
    EXPECT(check, tarvik_parse_asctime("2000-02-29 12:34:56", 0, 0) == 951827696u);
    EXPECT(check, tarvik_month_index("February") == 1 && tarvik_week_index("Tue") == 2);
}

} // namespace

int exercise_timer(const char *)
{
    Checker check("timer");
    check_timers(check);
    check_dates(check);
    return check.status();
}

} // namespace tarvik::test
