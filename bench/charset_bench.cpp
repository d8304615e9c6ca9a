// Conversion of a 16 MiB code page 949 text (Hangul mixed with ASCII) to UTF-8 against
// the C library's iconv, plus detection alone and the UTF-8 fast path; and single-code
// lookups against the earlier layout (sorted (code, scalar) pairs of 32 bits with a row
// index, searched within the first byte's row), rebuilt here from the lookups themselves.
#include <benchmark/benchmark.h>

#include <iconv.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// ---- single-code lookups -------------------------------------------------------------

// The earlier layout: (code, scalar) pairs sorted by code, and for each first byte
// 0x80..0xFF the index of its row's first pair (the last entry is the pair count).
struct PairTable {
    std::vector<uint32_t> m_pairs;
    std::vector<uint16_t> m_rows;
};

PairTable make_pair_table(uint32_t (*lookup)(uint32_t))
{
    PairTable table;
    for (uint32_t code = 0; code <= 0xFFFF; ++code) {
        if ((code >= 0x100 && code < 0x8000) || (lookup(code) == 0 && code != 0)) {
            continue;
        }
        table.m_pairs.push_back(code);
        table.m_pairs.push_back(lookup(code));
    }
    size_t index = 0;
    for (uint32_t lead = 0x80; lead <= 0x100; ++lead) {
        while (index < table.m_pairs.size() / 2 && table.m_pairs[2 * index] < lead * 256) {
            ++index;
        }
        table.m_rows.push_back(static_cast<uint16_t>(index));
    }
    return table;
}

const PairTable &old_cp949()
{
    static const PairTable table = make_pair_table(tarvik_cp949_to_ucs);
    return table;
}

const PairTable &old_shiftjis()
{
    static const PairTable table = make_pair_table(tarvik_shiftjs_to_ucs);
    return table;
}

// The earlier lookup of a double-byte code: guesses from the row's ends, then a
// branch-free bisection of the row. Not inlined, as the library's lookups are not.
__attribute__((noinline)) uint32_t old_find(const PairTable &table, uint32_t code)
{
    if (code - 0x8000 >= 0x8000) {
        return 0;
    }
    const uint32_t *pairs = table.m_pairs.data();
    size_t row = (code >> 8) - 0x80;
    size_t begin = table.m_rows[row];
    size_t end = table.m_rows[row + 1];
    if (begin == end) {
        return 0;
    }
    uint32_t last = pairs[2 * (end - 1)];
    if (code <= last && last - code < end - begin) {
        const uint32_t *guess = pairs + 2 * (end - 1 - (last - code));
        if (guess[0] == code) {
            return guess[1];
        }
    }
    uint32_t first_code = pairs[2 * begin];
    if (code >= first_code && code - first_code < end - begin) {
        const uint32_t *guess = pairs + 2 * (begin + (code - first_code));
        if (guess[0] == code) {
            return guess[1];
        }
    }
    const uint32_t *first = pairs + 2 * begin;
    size_t count = end - begin;
    while (count > 1) {
        size_t half = count / 2;
        first = first[2 * half] <= code ? first + 2 * half : first;
        count -= half;
    }
    return first[0] == code ? first[1] : 0;
}

// 64 Ki codes in a fixed random order: every double-byte code the lookup maps, or
// only those of the Hangul rows B0..C8 (second byte A1..FE), or any double-byte code.
enum class Codes { MAPPED, COMMON_HANGUL, ANY };

std::vector<uint32_t> make_codes(uint32_t (*lookup)(uint32_t), Codes kind)
{
    std::vector<uint32_t> pool;
    for (uint32_t code = 0x8000; code <= 0xFFFF; ++code) {
        bool common = (code >> 8) >= 0xB0 && (code >> 8) <= 0xC8 && (code & 0xFF) >= 0xA1 &&
                      (code & 0xFF) <= 0xFE;
        if (kind == Codes::ANY || (kind == Codes::MAPPED && lookup(code) != 0) ||
            (kind == Codes::COMMON_HANGUL && common)) {
            pool.push_back(code);
        }
    }
    std::vector<uint32_t> codes(1u << 16);
    uint32_t state = 0x2545F491u;
    for (uint32_t &code : codes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        code = pool[state % pool.size()];
    }
    return codes;
}

template <typename Find>
void run_lookups(benchmark::State &state, const std::vector<uint32_t> &codes, Find find)
{
    for (auto _ : state) {
        uint32_t sum = 0;
        for (uint32_t code : codes) {
            sum += find(code);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * codes.size()));
}

// Argument: 0 every mapped code, 1 the common Hangul rows, 2 any double-byte code.
void BM_old_cp949_lookup(benchmark::State &state)
{
    static const std::vector<uint32_t> sets[] = {
        make_codes(tarvik_cp949_to_ucs, Codes::MAPPED),
        make_codes(tarvik_cp949_to_ucs, Codes::COMMON_HANGUL),
        make_codes(tarvik_cp949_to_ucs, Codes::ANY)};
    const PairTable &table = old_cp949();
    run_lookups(state, sets[state.range(0)],
                [&table](uint32_t code) { return old_find(table, code); });
}
BENCHMARK(BM_old_cp949_lookup)->Arg(0)->Arg(1)->Arg(2);

// The earlier public lookup: a bisection of the whole table.
void BM_old_cp949_whole_table(benchmark::State &state)
{
    static const std::vector<uint32_t> codes = make_codes(tarvik_cp949_to_ucs, Codes::MAPPED);
    const PairTable &table = old_cp949();
    run_lookups(state, codes, [&table](uint32_t code) {
        return tarvik_binary_search_from_uint_table(table.m_pairs.data(), table.m_pairs.size() / 2,
                                                    code, 0);
    });
}
BENCHMARK(BM_old_cp949_whole_table);

void BM_tarvik_cp949_lookup(benchmark::State &state)
{
    static const std::vector<uint32_t> sets[] = {
        make_codes(tarvik_cp949_to_ucs, Codes::MAPPED),
        make_codes(tarvik_cp949_to_ucs, Codes::COMMON_HANGUL),
        make_codes(tarvik_cp949_to_ucs, Codes::ANY)};
    run_lookups(state, sets[state.range(0)], tarvik_cp949_to_ucs);
}
BENCHMARK(BM_tarvik_cp949_lookup)->Arg(0)->Arg(1)->Arg(2);

// Argument: 0 every mapped code, 2 any double-byte code.
void BM_old_shiftjis_lookup(benchmark::State &state)
{
    static const std::vector<uint32_t> sets[] = {make_codes(tarvik_shiftjs_to_ucs, Codes::MAPPED),
                                                 {},
                                                 make_codes(tarvik_shiftjs_to_ucs, Codes::ANY)};
    const PairTable &table = old_shiftjis();
    run_lookups(state, sets[state.range(0)],
                [&table](uint32_t code) { return old_find(table, code); });
}
BENCHMARK(BM_old_shiftjis_lookup)->Arg(0)->Arg(2);

void BM_tarvik_shiftjis_lookup(benchmark::State &state)
{
    static const std::vector<uint32_t> sets[] = {make_codes(tarvik_shiftjs_to_ucs, Codes::MAPPED),
                                                 {},
                                                 make_codes(tarvik_shiftjs_to_ucs, Codes::ANY)};
    run_lookups(state, sets[state.range(0)], tarvik_shiftjs_to_ucs);
}
BENCHMARK(BM_tarvik_shiftjis_lookup)->Arg(0)->Arg(2);

} // namespace

BENCHMARK_MAIN();
