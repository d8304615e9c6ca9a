// Range-set text parsing: 16,000 and 160,000 ranges in ascending order, shuffled, and as
// groups of their own names. Parsing is linear when ten times the text costs about ten times
// the time (the ratio of the two sizes is the figure to read).
#include "fragment.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

enum Order { ASCENDING, SHUFFLED, NAMED };

std::string make_text(size_t count, Order order)
{
    std::vector<size_t> items(count);
    for (size_t i = 0; i < count; ++i) {
        items[i] = i;
    }
    if (order != ASCENDING) {
        std::mt19937 random(1);
        std::shuffle(items.begin(), items.end(), random);
    }
    std::string text;
    for (size_t i : items) {
        if (order == NAMED) {
            text += "n" + std::to_string(i) + "=";
        }
        text += std::to_string(i * 3) + "-" + std::to_string(i * 3 + 1);
        text += order == NAMED ? "," : "|";
    }
    return text;
}

void BM_ParseRanges(benchmark::State &state)
{
    const std::string text =
        make_text(static_cast<size_t>(state.range(0)), static_cast<Order>(state.range(1)));
    for (auto _ : state) {
        tarvik_fragment_t *set = tarvik_string_to_fragment(nullptr, text.c_str(), 0);
        if (set == nullptr) {
            state.SkipWithError("parse failed");
        }
        tarvik_close_fragment(set);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

} // namespace

BENCHMARK(BM_ParseRanges)
    ->ArgsProduct({{16000, 160000}, {ASCENDING, SHUFFLED, NAMED}})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
