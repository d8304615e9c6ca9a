// INI parsing of a 16 MiB configuration of simple "name = value" lines pushed in 64 KiB
// blocks, against inih parsing the same text from memory with a handler that counts.
#include <benchmark/benchmark.h>

#include <ini.h> // inih, from the system

#include <cstdio>
#include <string>

#include "ini.h"

namespace {

constexpr size_t TEXT_SIZE = 16u << 20;
constexpr size_t BLOCK = 64u << 10;

const std::string &configuration()
{
    static const std::string text = [] {
        std::string out;
        out.reserve(TEXT_SIZE + 64);
        char line[64];
        for (unsigned n = 0; out.size() < TEXT_SIZE - 64; ++n) {
            if (n % 1000 == 0) {
                snprintf(line, sizeof(line), "[section%u]\n", n / 1000);
                out += line;
            }
            snprintf(line, sizeof(line), "name%07u = value %u\n", n, n * 7u);
            out += line;
        }
        return out;
    }();
    return text;
}

void BM_tarvik_ini(benchmark::State &state)
{
    const std::string &text = configuration();
    size_t nodes = 0;
    for (auto _ : state) {
        tarvik_ini_t *ini = tarvik_open_ini();
        for (size_t at = 0; at < text.size(); at += BLOCK) {
            size_t length = text.size() - at < BLOCK ? text.size() - at : BLOCK;
            tarvik_ini_push(ini, text.data() + at, length);
        }
        tarvik_ini_push(ini, nullptr, 0);
        state.PauseTiming();
        nodes = 0;
        for (tarvik_ini_node_t *node = ini->m_data->m_node_head; node; node = node->m_next) {
            ++nodes;
        }
        state.ResumeTiming();
        tarvik_close_ini(ini);
    }
    state.counters["nodes"] = static_cast<double>(nodes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_tarvik_ini)->Unit(benchmark::kMillisecond);

int count_pair(void *user, const char *, const char *, const char *)
{
    ++*static_cast<size_t *>(user);
    return 1;
}

void BM_inih(benchmark::State &state)
{
    const std::string &text = configuration();
    size_t pairs = 0;
    for (auto _ : state) {
        pairs = 0;
        if (ini_parse_string(text.c_str(), count_pair, &pairs) != 0) {
            state.SkipWithError("inih reported an error");
            break;
        }
    }
    state.counters["nodes"] = static_cast<double>(pairs);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_inih)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
