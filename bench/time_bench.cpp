// Cost of the library's millisecond time stamp against a bare monotonic clock reading.
#include <benchmark/benchmark.h>

#include <ctime>

#include "tarvik.h"

namespace {

void bare_clock_gettime(benchmark::State &state)
{
    for (auto _ : state) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        benchmark::DoNotOptimize(now);
    }
}

void time_stamp_null(benchmark::State &state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(tarvik_time_stamp_msec(nullptr));
    }
}

void time_stamp_timer(benchmark::State &state)
{
    tarvik_timer_t timer{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(tarvik_time_stamp_msec(&timer));
    }
}

void check_timer(benchmark::State &state)
{
    tarvik_timer_t timer;
    tarvik_init_timer(&timer, 60000);
    for (auto _ : state) {
        benchmark::DoNotOptimize(tarvik_check_timer(&timer));
    }
}

void strftime_style5(benchmark::State &state)
{
    struct tm tm;
    time_t t = 1709644029;
    gmtime_r(&t, &tm);
    char buffer[64];
    for (auto _ : state) {
        benchmark::DoNotOptimize(tarvik_strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", &tm));
    }
}

} // namespace

BENCHMARK(bare_clock_gettime)->Threads(1)->Threads(2);
BENCHMARK(time_stamp_null)->Threads(1)->Threads(2);
BENCHMARK(time_stamp_timer);
BENCHMARK(check_timer);
BENCHMARK(strftime_style5);

BENCHMARK_MAIN();
