// Cost of one tagged-heap allocate/free pair against plain malloc/free, alone and with
// two threads contending for the heap's lock.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "tarvik.h"

namespace {

void tagged_pair(benchmark::State &state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        void *block = tarvik_alloc_tag(size, __func__, __LINE__);
        benchmark::DoNotOptimize(block);
        benchmark::ClobberMemory();
        tarvik_free_tag(block, __func__, __LINE__);
    }
    state.SetItemsProcessed(state.iterations());
}

void malloc_pair(benchmark::State &state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        void *block = std::malloc(size);
        benchmark::DoNotOptimize(block);
        benchmark::ClobberMemory();
        std::free(block);
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(tagged_pair)->Arg(16)->Arg(64)->Arg(256)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(malloc_pair)->Arg(16)->Arg(64)->Arg(256)->Threads(1)->Threads(2)->UseRealTime();

BENCHMARK_MAIN();
