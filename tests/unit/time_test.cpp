// Clock, timers, sleeps and the tick-rate detection with its range table and reports.
#include "tarvik_test.hpp"

#include "detail/time.hpp"

#include <climits>
#include <ctime>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

class TimeTest : public TarvikTest {};

std::string s_reports;

int capture_report(const char *text)
{
    s_reports += text;
    return 0;
}

// Runs body with the error channel captured raw (colour codes kept).
template <typename F> std::string reports_of(F body)
{
    s_reports.clear();
    tarvik_puts_handler_t old = nullptr;
    tarvik_set_error_puts_handler(capture_report, &old);
    body();
    tarvik_set_error_puts_handler(old, nullptr);
    return s_reports;
}

uint64_t monotonic_msec()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

TEST_F(TimeTest, ClockArguments)
{
    struct timespec value {};
    EXPECT_EQ(tarvik_clock_get_time(0, &value), 0);
    EXPECT_GT(value.tv_sec, 0);
    EXPECT_EQ(tarvik_clock_get_time(1, &value), 0);
    EXPECT_EQ(tarvik_clock_get_time(2, &value), -1);
    EXPECT_EQ(tarvik_clock_get_time(-1, &value), -1);
    EXPECT_EQ(tarvik_clock_get_time(0, nullptr), -1);
    // Only refusals: the real-time clock of the machine is never touched.
    EXPECT_EQ(tarvik_clock_set_time(1, &value), -1);
    EXPECT_EQ(tarvik_clock_set_time(2, &value), -1);
    EXPECT_EQ(tarvik_clock_set_time(0, nullptr), -1);
}

TEST_F(TimeTest, TimeStampIsMonotonicMilliseconds)
{
    uint64_t before = monotonic_msec();
    uint64_t stamp = tarvik_time_stamp_msec(nullptr);
    uint64_t after = monotonic_msec();
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);

    tarvik_timer_t timer{};
    uint64_t with_timer = tarvik_time_stamp_msec(&timer);
    EXPECT_EQ(timer.m_last, with_timer);
    EXPECT_GE(with_timer, stamp);
    uint64_t previous = 0;
    for (int i = 0; i < 1000; ++i) {
        uint64_t now = tarvik_time_stamp_msec(nullptr);
        ASSERT_GE(now, previous);
        previous = now;
    }
}

TEST_F(TimeTest, UptimeIsTimeSinceBoot)
{
    std::ifstream proc("/proc/uptime");
    double seconds = 0;
    proc >> seconds;
    uint64_t msec = tarvik_uptime_msec();
    // Both read the boot-time clock; the margin only covers the reading order.
    EXPECT_NEAR(static_cast<double>(msec) / 1000.0, seconds, 2.0);
    uint64_t whole = tarvik_uptime();
    EXPECT_GE(whole, msec / 1000u);
    EXPECT_LE(whole, msec / 1000u + 2u);
    EXPECT_GE(msec, tarvik_time_stamp_msec(nullptr) - 1000u);
}

TEST_F(TimeTest, TimerOfLengthZeroExpiresAtFirstCheck)
{
    tarvik_timer_t timer;
    EXPECT_EQ(tarvik_init_timer(&timer, 0), &timer);
    uint64_t left = 99;
    EXPECT_EQ(tarvik_check_timer_ex(&timer, &left), 1);
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(tarvik_check_timer(&timer), 1);
}

TEST_F(TimeTest, UpdateRevivesAnExpiredTimer)
{
    tarvik_timer_t timer;
    tarvik_init_timer(&timer, 1000);
    // Expired 500 ms ago, without waiting for it.
    timer.m_start -= 1500;
    uint64_t left = 99;
    EXPECT_EQ(tarvik_check_timer_ex(&timer, &left), 1);
    EXPECT_EQ(left, 0u);
    EXPECT_GE(timer.m_elapsed, 1500u);
    EXPECT_EQ(tarvik_update_timer(&timer, 4000), &timer);
    EXPECT_EQ(timer.m_length, 5000u);
    EXPECT_EQ(tarvik_check_timer_ex(&timer, &left), 0);
    EXPECT_GT(left, 0u);
    EXPECT_LE(left, 3500u);
    EXPECT_EQ(left, timer.m_length - timer.m_elapsed);
}

TEST_F(TimeTest, SetTimerRestartsAndNullIsExpired)
{
    tarvik_timer_t timer;
    tarvik_init_timer(&timer, 10);
    timer.m_start -= 100;
    EXPECT_EQ(tarvik_check_timer(&timer), 1);
    EXPECT_EQ(tarvik_set_timer(&timer, 60000), &timer);
    EXPECT_EQ(timer.m_elapsed, 0u);
    uint64_t left = 0;
    EXPECT_EQ(tarvik_check_timer_ex(&timer, &left), 0);
    EXPECT_GT(left, 59000u);
    EXPECT_LE(left, 60000u);

    // A start in the future counts as no time passed, not as a wrapped expiry.
    timer.m_start = tarvik_time_stamp_msec(nullptr) + 100000;
    EXPECT_EQ(tarvik_check_timer_ex(&timer, &left), 0);
    EXPECT_EQ(left, 60000u);

    left = 7;
    EXPECT_EQ(tarvik_check_timer_ex(nullptr, &left), 1);
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(tarvik_check_timer(nullptr), 1);
    EXPECT_EQ(tarvik_init_timer(nullptr, 5), nullptr);
    EXPECT_EQ(tarvik_set_timer(nullptr, 5), nullptr);
    EXPECT_EQ(tarvik_update_timer(nullptr, 5), nullptr);
}

TEST_F(TimeTest, SleepRoundsMicrosecondsUp)
{
    const struct {
        long seconds;
        long microseconds;
        int64_t milliseconds;
    } rows[] = {
        {0, 0, 0},
        {0, 1, 1},
        {0, 999, 1},
        {0, 1000, 1},
        {0, 1001, 2},
        {0, 10000, 10},
        {0, 100000, 100},
        {1, 500000, 1500},
        {2, 0, 2000},
        {-1, 0, 0},
        {0, -5000, 0},
        {1, -500000, 500},
        {0, 2500000, 2500},
        {LONG_MIN, LONG_MAX, 0},
        {3153600000L > LONG_MAX ? LONG_MAX : 3153600000L, 0,
         3153600000L > LONG_MAX ? INT64_C(2147483647000) : INT64_C(3153600000000)},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(tarvik::detail::sleep_milliseconds(row.seconds, row.microseconds),
                  row.milliseconds)
            << row.seconds << " s " << row.microseconds << " us";
    }
    EXPECT_EQ(tarvik_sleep_wait(0, 0), 0);
    EXPECT_EQ(tarvik_sleep_wait(-5, 0), 0);
    // A sleep never ends early (only a signal could cut it short).
    uint64_t start = monotonic_msec();
    EXPECT_EQ(tarvik_sleep_wait(0, 20000), 0);
    EXPECT_GE(monotonic_msec() - start, 19u);
    EXPECT_EQ(tarvik_load_balance_short(), 0);
    EXPECT_EQ(tarvik_load_balance(), 0);
    start = monotonic_msec();
    EXPECT_EQ(tarvik_load_balance_long(), 0);
    EXPECT_GE(monotonic_msec() - start, 99u);
}

TEST_F(TimeTest, HertzRangeTable)
{
    const uint64_t rows[][2] = {
        {0, 0},       {8, 0},       {9, 10},      {11, 10},        {12, 0},     {17, 0},
        {18, 20},     {22, 20},     {23, 0},      {29, 0},         {30, 32},    {34, 32},
        {35, 0},      {47, 0},      {48, 50},     {52, 50},        {53, 0},     {57, 0},
        {58, 60},     {61, 60},     {62, 64},     {65, 64},        {66, 0},     {90, 0},
        {94, 0},      {95, 100},    {100, 100},   {105, 100},      {106, 0},    {123, 0},
        {124, 128},   {132, 128},   {133, 0},     {194, 0},        {195, 200},  {204, 200},
        {205, 0},     {246, 0},     {247, 250},   {252, 250},      {253, 256},  {260, 256},
        {261, 0},     {392, 0},     {393, 400},   {408, 400},      {409, 0},    {789, 0},
        {790, 800},   {808, 800},   {809, 0},     {989, 0},        {990, 1000}, {1010, 1000},
        {1011, 0},    {1014, 0},    {1015, 1024}, {1035, 1024},    {1036, 0},   {1179, 0},
        {1180, 1200}, {1220, 1200}, {1221, 0},    {UINT64_MAX, 0},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(tarvik::detail::lookup_hertz(row[0]), row[1]) << "estimate " << row[0];
    }
}

TEST_F(TimeTest, HertzFromStatTextAndReports)
{
    const std::string third =
        "tarvik_get_hertz: [ERROR] \x1b[1;31munknown HZ value !\x1b[0m (assume 100)\n";
    // The unit the system states for its counters: no real tick rate, so that a row shows
    // whether it was taken or the estimate was.
    constexpr uint64_t STATED = 300;
    const struct {
        const char *text;
        uint64_t uptime_msec;
        uint64_t hertz;
        std::string report;
    } rows[] = {
        // 100 ticks a second on one CPU for 100 s
        {"cpu  100 0 100 9800 0 0 0 0 0 0\ncpu0 100 0 100 9800 0 0 0 0 0 0\n", 100000, 100, ""},
        // 250 a second on each of two CPUs
        {"cpu 1000 0 1000 48000\ncpu0 500 0 500 24000\ncpu1 500 0 500 24000\nintr 5\n", 100000, 250,
         ""},
        // Totals past 32 bits: four CPUs, 200 days at 100 a second.
        {"cpu 6000000000 912000000\ncpu0\ncpu1\ncpu2\ncpu3\n", 17280000000ull, 100, ""},
        // An estimate of 90 matches no row, from the first minute on.
        {"cpu 9000\ncpu0 9000\n", 100000, 100, third},
        {"cpu 5400\ncpu0 5400\n", 60000, 100, third},
        // Young counters: the stated unit, silently, whatever the estimate would be. A booted
        // board 1.21 s after its start (estimate 94), one whose counters lag by a third
        // (estimate 64, a wrong row), the clock at 0, and the last millisecond before the
        // estimate is trusted.
        {"cpu  5 0 105 4 0 0 0 0 0 0\ncpu0 5 0 105 4 0 0 0 0 0 0\n", 1210, STATED, ""},
        {"cpu  64 0 64 1152\ncpu0 64 0 64 1152\n", 20000, STATED, ""},
        {"cpu 9000\ncpu0 9000\n", 0, STATED, ""},
        {"cpu 5400\ncpu0 5400\n", 59999, STATED, ""},
        {"cpu0 1 2 3\ncpu1 4\n", 100000, 100,
         "tarvik_get_hertz: [ERROR] \x1b[1;31munknown HZ value !\x1b[0m (assume 100, "
         "s_this_ticks=NOT_FOUND, cpu_count=2)\n"},
        {"cpu 1 2 3\nintr 4\n", 100000, 100,
         "tarvik_get_hertz: [ERROR] \x1b[1;31munknown HZ value !\x1b[0m (assume 100, "
         "s_this_ticks=FOUND-BUT, cpu_count=0)\n"},
        // No counters at all: an empty or unreadable file, or one without "cpu" lines; young
        // or not, a broken /proc is worth its report.
        {"", 100000, 100,
         "tarvik_get_hertz: [ERROR] \x1b[1;31munknown HZ value !\x1b[0m (assume 100, "
         "tarvik_open_cpu_ticks failed)\n"},
        {"intr 4\nctxt 5\n", 1000, 100,
         "tarvik_get_hertz: [ERROR] \x1b[1;31munknown HZ value !\x1b[0m (assume 100, "
         "tarvik_open_cpu_ticks failed)\n"},
    };
    for (const auto &row : rows) {
        uint64_t hertz = 0;
        std::string report = reports_of([&] {
            hertz = tarvik::detail::hertz_from_stat(row.text, strlen(row.text), row.uptime_msec,
                                                    STATED);
        });
        EXPECT_EQ(hertz, row.hertz) << row.text << " at " << row.uptime_msec;
        EXPECT_EQ(report, row.report) << row.text << " at " << row.uptime_msec;
    }
}

TEST_F(TimeTest, HertzOfThisMachine)
{
    uint64_t hertz = 0;
    std::string report = reports_of([&] { hertz = tarvik_get_hertz(); });
    EXPECT_EQ(hertz, static_cast<uint64_t>(sysconf(_SC_CLK_TCK)));
    EXPECT_EQ(report, "");
    EXPECT_EQ(tarvik_get_hertz(), hertz);
}

} // namespace
