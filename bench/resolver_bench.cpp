// A cached answer against asking the system: tarvik_get_resolver_cache of a name already
// resolved (each get hands out a private copy and starts a background refresh of the entry
// when none runs) against getaddrinfo of a literal address and of "localhost", and the
// direct open.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "tarvik.h"

namespace {

const char *const NAMES[] = {"127.0.0.1", "localhost"};

void BM_CacheGet(benchmark::State &state)
{
    const char *name = NAMES[state.range(0)];
    tarvik_resolver_cache_t *cache = tarvik_open_resolver_cache_ex(0, 0);
    tarvik_close_resolver(tarvik_get_resolver_cache(cache, name, 80, -1));
    for (auto _ : state) {
        tarvik_resolver_t *list = tarvik_get_resolver_cache(cache, name, 80, -1);
        if (list == nullptr) {
            state.SkipWithError("not resolved");
            break;
        }
        benchmark::DoNotOptimize(list->address);
        tarvik_close_resolver(list);
    }
    tarvik_close_resolver_cache(cache);
    state.SetLabel(name);
}
BENCHMARK(BM_CacheGet)->Arg(0)->Arg(1)->UseRealTime();

// The same with pooled threads, so the background refresh reuses a worker.
void BM_CacheGetPooled(benchmark::State &state)
{
    tarvik_set_thread_pool(2, 4);
    BM_CacheGet(state);
    tarvik_set_thread_pool(0, 0);
}
BENCHMARK(BM_CacheGetPooled)->Arg(0)->Arg(1)->UseRealTime();

// The hit alone: a handler that blocks keeps the entry's resolving thread busy, so the gets
// only copy the answer (no refresh can start while one is under way).
struct Blocker {
    std::atomic<bool> m_entered{false};
    std::atomic<bool> m_release{false};
};

void blocking_handler(tarvik_resolver_cache_t *, int, const char *, uint32_t, void *context)
{
    auto *blocker = static_cast<Blocker *>(context);
    blocker->m_entered = true;
    while (!blocker->m_release) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void BM_CacheHitOnly(benchmark::State &state)
{
    const char *name = NAMES[state.range(0)];
    tarvik_resolver_cache_t *cache = tarvik_open_resolver_cache_ex(0, 0);
    Blocker blocker;
    tarvik_request_resolver_cache_with_handler(cache, name, 80, blocking_handler, &blocker);
    while (!blocker.m_entered) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto _ : state) {
        tarvik_resolver_t *list = tarvik_get_resolver_cache(cache, name, 80, -1);
        if (list == nullptr) {
            state.SkipWithError("not resolved");
            break;
        }
        benchmark::DoNotOptimize(list->address);
        tarvik_close_resolver(list);
    }
    blocker.m_release = true;
    tarvik_close_resolver_cache(cache);
    state.SetLabel(name);
}
BENCHMARK(BM_CacheHitOnly)->Arg(0)->Arg(1)->UseRealTime();

void BM_Getaddrinfo(benchmark::State &state)
{
    const char *name = NAMES[state.range(0)];
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    hints.ai_flags = state.range(0) == 0 ? AI_NUMERICHOST : 0;
    for (auto _ : state) {
        struct addrinfo *answers = nullptr;
        if (getaddrinfo(name, "80", &hints, &answers) != 0) {
            state.SkipWithError("getaddrinfo failed");
            break;
        }
        benchmark::DoNotOptimize(answers->ai_addr);
        freeaddrinfo(answers);
    }
    state.SetLabel(name);
}
BENCHMARK(BM_Getaddrinfo)->Arg(0)->Arg(1)->UseRealTime();

void BM_OpenResolver(benchmark::State &state)
{
    const char *name = NAMES[state.range(0)];
    for (auto _ : state) {
        tarvik_resolver_t *list = tarvik_open_resolver(name, 80);
        if (list == nullptr) {
            state.SkipWithError("not resolved");
            break;
        }
        benchmark::DoNotOptimize(list->address);
        tarvik_close_resolver(list);
    }
    state.SetLabel(name);
}
BENCHMARK(BM_OpenResolver)->Arg(0)->Arg(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
