// Byte-buffer queue throughput: 4 KiB chunks pushed and popped (copied and referenced) against
// plain memcpy of the same bytes, line splitting of a log of 80-byte lines, and line splitting
// of 64 MiB arriving in 64-byte pieces with a pop after each against the same bytes pushed
// whole (80-byte lines, 64 KiB lines and one 64 MiB line).
#include "buffer.h"
#include "heap.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

constexpr size_t CHUNK = 4096;
constexpr size_t LOG_SIZE = 64u << 20;
constexpr size_t LINE = 80;

// Source and target areas: one chunk (stays in the first-level cache) or 64 MiB (streams
// through memory, the way a queue between a socket and a file sees its bytes).
struct Areas {
    std::vector<char> source;
    std::vector<char> target;
    explicit Areas(size_t size) : source(size, 'x'), target(size, 0) {}
};

void BM_Memcpy(benchmark::State &state)
{
    Areas areas(static_cast<size_t>(state.range(0)));
    const size_t size = areas.source.size();
    for (auto _ : state) {
        for (size_t at = 0; at < size; at += CHUNK) {
            memcpy(areas.target.data() + at, areas.source.data() + at, CHUNK);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_PushPop(benchmark::State &state)
{
    Areas areas(static_cast<size_t>(state.range(0)));
    const size_t size = areas.source.size();
    tarvik_buffer_t *buffer = tarvik_open_buffer();
    for (auto _ : state) {
        for (size_t at = 0; at < size; at += CHUNK) {
            tarvik_push_buffer(buffer, areas.source.data() + at, CHUNK);
            tarvik_pop_buffer(buffer, areas.target.data() + at, CHUNK);
        }
        benchmark::ClobberMemory();
    }
    tarvik_close_buffer(buffer);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_PushPopReference(benchmark::State &state)
{
    Areas areas(static_cast<size_t>(state.range(0)));
    const size_t size = areas.source.size();
    tarvik_buffer_t *buffer = tarvik_open_buffer();
    for (auto _ : state) {
        for (size_t at = 0; at < size; at += CHUNK) {
            tarvik_push_buffer_ex(buffer, areas.source.data() + at, CHUNK, TARVIK_BUFFER_REFERENCE);
            tarvik_pop_buffer(buffer, areas.target.data() + at, CHUNK);
        }
        benchmark::ClobberMemory();
    }
    tarvik_close_buffer(buffer);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

std::vector<char> make_log()
{
    std::vector<char> log(LOG_SIZE);
    for (size_t at = 0; at < LOG_SIZE; at += LINE) {
        for (size_t i = 0; i < LINE - 1; ++i) {
            log[at + i] = static_cast<char>('a' + (at / LINE + i) % 26);
        }
        log[at + LINE - 1] = '\n';
    }
    return log;
}

size_t pop_lines(tarvik_buffer_t *buffer)
{
    size_t count = 0;
    while (char *line = tarvik_pop_buffer_line(buffer)) {
        ++count;
        tarvik_free_tag(line, "bench", 0);
    }
    return count;
}

// A reader's loop: a chunk arrives, every complete line is taken out.
void BM_PushChunkPopLines(benchmark::State &state)
{
    const std::vector<char> log = make_log();
    for (auto _ : state) {
        tarvik_buffer_t *buffer = tarvik_open_buffer();
        size_t lines = 0;
        for (size_t at = 0; at < LOG_SIZE; at += CHUNK) {
            tarvik_push_buffer(buffer, log.data() + at, CHUNK);
            lines += pop_lines(buffer);
        }
        if (lines != LOG_SIZE / LINE) {
            state.SkipWithError("wrong line count");
        }
        tarvik_close_buffer(buffer);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * LOG_SIZE));
}

// Line popping alone, over the whole log queued in 4 KiB pushes beforehand.
void BM_PopLineOnly(benchmark::State &state)
{
    const std::vector<char> log = make_log();
    for (auto _ : state) {
        state.PauseTiming();
        tarvik_buffer_t *buffer = tarvik_open_buffer();
        for (size_t at = 0; at < LOG_SIZE; at += CHUNK) {
            tarvik_push_buffer(buffer, log.data() + at, CHUNK);
        }
        state.ResumeTiming();
        if (pop_lines(buffer) != LOG_SIZE / LINE) {
            state.SkipWithError("wrong line count");
        }
        state.PauseTiming();
        tarvik_close_buffer(buffer);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * LOG_SIZE));
}

constexpr size_t PIECE = 64;

// 64 MiB of lines of the given length (break included); the last line takes what is left.
std::vector<char> make_lines(size_t length)
{
    std::vector<char> text(LOG_SIZE);
    for (size_t at = 0; at < LOG_SIZE; ++at) {
        text[at] = static_cast<char>('a' + at % 26);
    }
    for (size_t at = length - 1; at < LOG_SIZE; at += length) {
        text[at] = '\n';
    }
    text[LOG_SIZE - 1] = '\n';
    return text;
}

size_t line_count(size_t length) { return (LOG_SIZE + length - 1) / length; }

// A network reader's loop at its worst: 64 bytes arrive, one line is asked for.
void BM_LinesInSmallPieces(benchmark::State &state)
{
    const size_t length = static_cast<size_t>(state.range(0));
    const std::vector<char> text = make_lines(length);
    for (auto _ : state) {
        tarvik_buffer_t *buffer = tarvik_open_buffer();
        size_t lines = 0;
        for (size_t at = 0; at < LOG_SIZE; at += PIECE) {
            tarvik_push_buffer(buffer, text.data() + at, PIECE);
            if (char *line = tarvik_pop_buffer_line(buffer)) {
                ++lines;
                tarvik_free_tag(line, "bench", 0);
            }
        }
        lines += pop_lines(buffer);
        if (lines != line_count(length)) {
            state.SkipWithError("wrong line count");
        }
        tarvik_close_buffer(buffer);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * LOG_SIZE));
}

// The baseline: the same bytes in one push, then every line taken out.
void BM_LinesPushedWhole(benchmark::State &state)
{
    const size_t length = static_cast<size_t>(state.range(0));
    const std::vector<char> text = make_lines(length);
    for (auto _ : state) {
        tarvik_buffer_t *buffer = tarvik_open_buffer();
        tarvik_push_buffer(buffer, text.data(), LOG_SIZE);
        if (pop_lines(buffer) != line_count(length)) {
            state.SkipWithError("wrong line count");
        }
        tarvik_close_buffer(buffer);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * LOG_SIZE));
}

} // namespace

BENCHMARK(BM_Memcpy)->Arg(CHUNK)->Arg(LOG_SIZE);
BENCHMARK(BM_PushPop)->Arg(CHUNK)->Arg(LOG_SIZE);
BENCHMARK(BM_PushPopReference)->Arg(CHUNK)->Arg(LOG_SIZE);
BENCHMARK(BM_PushChunkPopLines)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PopLineOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LinesInSmallPieces)
    ->Arg(LINE)
    ->Arg(64 << 10)
    ->Arg(LOG_SIZE)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LinesPushedWhole)
    ->Arg(LINE)
    ->Arg(64 << 10)
    ->Arg(LOG_SIZE)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
