// Formatter speed against the C library on the library's typical diagnostic line, plus
// the allocating form and the number formatter.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "format.h"
#include "heap.h"

namespace {

constexpr const char *LINE = "%s: [ERROR] \x1b[1;31mbad thing !\x1b[0m (fd=%d, flags=%08XH)";

void BM_tarvik_snprintf_diagnostic(benchmark::State &state)
{
    char buffer[256];
    int fd = 17;
    unsigned flags = 0x80041u;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            tarvik_snprintf(buffer, sizeof(buffer), LINE, "tarvik_event_base_loop", fd, flags));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_tarvik_snprintf_diagnostic);

void BM_libc_snprintf_diagnostic(benchmark::State &state)
{
    char buffer[256];
    int fd = 17;
    unsigned flags = 0x80041u;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            snprintf(buffer, sizeof(buffer), LINE, "tarvik_event_base_loop", fd, flags));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_libc_snprintf_diagnostic);

void BM_tarvik_snprintf_numbers(benchmark::State &state)
{
    char buffer[256];
    long long big = 1234567890123ll;
    for (auto _ : state) {
        benchmark::DoNotOptimize(tarvik_snprintf(buffer, sizeof(buffer), "%d %5u %lld %x %.2f", -42,
                                                 7u, big, 0xBEEFu, 3.14159));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_tarvik_snprintf_numbers);

void BM_libc_snprintf_numbers(benchmark::State &state)
{
    char buffer[256];
    long long big = 1234567890123ll;
    for (auto _ : state) {
        benchmark::DoNotOptimize(snprintf(buffer, sizeof(buffer), "%d %5u %lld %x %.2f", -42, 7u,
                                          big, 0xBEEFu, 3.14159));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_libc_snprintf_numbers);

void BM_tarvik_alloc_sprintf(benchmark::State &state)
{
    for (auto _ : state) {
        char *text = tarvik_alloc_sprintf(LINE, "tarvik_event_base_loop", 17, 0x80041u);
        benchmark::DoNotOptimize(text);
        tarvik_free_tag(text, __func__, __LINE__);
    }
}
BENCHMARK(BM_tarvik_alloc_sprintf);

void BM_tarvik_xtoa_limit(benchmark::State &state)
{
    char buffer[32];
    unsigned long value = 4000000000ul;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            tarvik_xtoa_limit(buffer, sizeof(buffer), value, 10, TARVIK_XTOA_SPACE | 12, nullptr));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_tarvik_xtoa_limit);

} // namespace

BENCHMARK_MAIN();
