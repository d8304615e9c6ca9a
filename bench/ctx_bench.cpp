// A file read through a stream context in 64 KiB pieces against plain read(2) of the same
// file in the same pieces (the page cache warm for both): the forwarders' cost per piece.
#include "tarvik.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t FILE_SIZE = 64u << 20;
constexpr size_t PIECE = 64u << 10;

const std::string &sample_file()
{
    static std::string path = [] {
        char name[] = "/tmp/ctx_bench_XXXXXX";
        int fd = mkstemp(name);
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<char>(i * 131 + (i >> 9));
        }
        for (size_t done = 0; fd >= 0 && done < FILE_SIZE; done += block.size()) {
            if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
                abort();
            }
        }
        close(fd);
        return std::string(name);
    }();
    return path;
}

void BM_plain_read(benchmark::State &state)
{
    std::vector<char> buffer(PIECE);
    for (auto _ : state) {
        int fd = open(sample_file().c_str(), O_RDONLY);
        size_t total = 0;
        for (ssize_t got; (got = read(fd, buffer.data(), buffer.size())) > 0;) {
            total += static_cast<size_t>(got);
        }
        close(fd);
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FILE_SIZE));
}
BENCHMARK(BM_plain_read)->Unit(benchmark::kMillisecond);

void BM_ctx_read(benchmark::State &state)
{
    std::vector<char> buffer(PIECE);
    for (auto _ : state) {
        int ctx = tarvik_open_ctx_stream(sample_file().c_str(), "rb", 0);
        size_t total = 0;
        for (ssize_t got; (got = tarvik_ctx_read(ctx, buffer.data(), buffer.size())) > 0;) {
            total += static_cast<size_t>(got);
        }
        tarvik_destroy_ctx(ctx);
        if (total != FILE_SIZE) {
            state.SkipWithError("short read");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FILE_SIZE));
}
BENCHMARK(BM_ctx_read)->Unit(benchmark::kMillisecond);

// Opening and destroying a file context: the registry and option work around each stream.
void BM_ctx_open_close(benchmark::State &state)
{
    for (auto _ : state) {
        int ctx = tarvik_open_ctx_stream(sample_file().c_str(), "rb", 0);
        tarvik_destroy_ctx(ctx);
    }
}
BENCHMARK(BM_ctx_open_close);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    unlink(sample_file().c_str());
    return 0;
}
