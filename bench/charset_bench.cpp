// Conversion of a 16 MiB code page 949 text (Hangul mixed with ASCII) to UTF-8 against
// the C library's iconv, plus detection alone and the UTF-8 fast path.
#include <benchmark/benchmark.h>

#include <iconv.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "charset.h"
#include "heap.h"

namespace {

constexpr size_t TEXT_SIZE = 16u << 20;

// Words of two to five Hangul syllables (KS X 1001 rows B0..C8) separated by spaces,
// with ASCII words, digits and punctuation between them: about a third ASCII bytes.
const std::string &korean_text()
{
    static const std::string text = [] {
        std::string out;
        out.reserve(TEXT_SIZE);
        uint32_t state = 0x12345678u;
        auto next = [&state] {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            return state;
        };
        while (out.size() + 16 < TEXT_SIZE) {
            uint32_t kind = next() % 4;
            if (kind == 0) {
                static const char *words[] = {"vexa", "2024", "TV", "OK", "(c)", "net", "id=7"};
                out += words[next() % 7];
            } else {
                for (uint32_t n = 2 + next() % 4; n > 0; --n) {
                    out += static_cast<char>(0xB0 + next() % 25);
                    out += static_cast<char>(0xA1 + next() % 94);
                }
            }
            out += (next() % 8 == 0) ? ". " : " ";
        }
        out.resize(TEXT_SIZE - (out.size() % 2), ' ');
        return out;
    }();
    return text;
}

void BM_tarvik_convert_cp949(benchmark::State &state)
{
    const std::string &text = korean_text();
    for (auto _ : state) {
        char *converted = tarvik_convert_to_utf8_string(text.data(), text.size(), 0);
        if (converted == nullptr) {
            state.SkipWithError("conversion refused");
            break;
        }
        benchmark::DoNotOptimize(converted);
        tarvik_free_tag(converted, __func__, __LINE__);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_tarvik_convert_cp949)->Unit(benchmark::kMillisecond);

void BM_iconv_cp949(benchmark::State &state)
{
    const std::string &text = korean_text();
    iconv_t converter = iconv_open("UTF-8", "CP949");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        state.SkipWithError("no CP949 converter");
        return;
    }
    for (auto _ : state) {
        // Sized for the worst case, as a caller of iconv must; then NUL-terminated.
        size_t capacity = text.size() + text.size() / 2 + 1;
        char *out = static_cast<char *>(malloc(capacity));
        char *in_at = const_cast<char *>(text.data());
        size_t in_left = text.size();
        char *out_at = out;
        size_t out_left = capacity - 1;
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
        if (iconv(converter, &in_at, &in_left, &out_at, &out_left) == static_cast<size_t>(-1)) {
            state.SkipWithError("iconv failed");
            free(out);
            break;
        }
        *out_at = '\0';
        benchmark::DoNotOptimize(out);
        free(out);
    }
    iconv_close(converter);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_iconv_cp949)->Unit(benchmark::kMillisecond);

void BM_tarvik_detect_cp949(benchmark::State &state)
{
    const std::string &text = korean_text();
    for (auto _ : state) {
        benchmark::DoNotOptimize(tarvik_detect_string_charset(text.data(), text.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_tarvik_detect_cp949)->Unit(benchmark::kMillisecond);

void BM_tarvik_convert_utf8(benchmark::State &state)
{
    static const std::string utf8 = [] {
        char *converted =
            tarvik_convert_to_utf8_string(korean_text().data(), korean_text().size(), 0);
        std::string copy(converted);
        tarvik_free_tag(converted, __func__, __LINE__);
        return copy;
    }();
    for (auto _ : state) {
        char *converted = tarvik_convert_to_utf8_string(utf8.data(), utf8.size(), 0);
        benchmark::DoNotOptimize(converted);
        tarvik_free_tag(converted, __func__, __LINE__);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * utf8.size()));
}
BENCHMARK(BM_tarvik_convert_utf8)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
