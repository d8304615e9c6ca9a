// Fuzzes the number scanner (memory and stream sources must agree), the string front
// ends, fixed point and the scanf subset with a fixed set of formats.
#include "heap.h"
#include "scan.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A stream source over a byte range, ending at its length or at a NUL.
struct Stream {
    const char *m_data;
    size_t m_size;
    size_t m_at;
};

int stream_peek(void *context)
{
    auto *s = static_cast<Stream *>(context);
    return s->m_at < s->m_size ? static_cast<unsigned char>(s->m_data[s->m_at]) : 0;
}

int stream_pop(void *context)
{
    auto *s = static_cast<Stream *>(context);
    if (s->m_at < s->m_size && s->m_data[s->m_at] != '\0') {
        ++s->m_at;
    }
    return 0;
}

void check_numbers(const std::string &text)
{
    const int bases[] = {0, -5, 2, 8, 10, 16, 36, 100};
    for (int base : bases) {
        for (size_t limit : {size_t{0}, size_t{1}, size_t{3}, size_t{TARVIK_SCAN_DEFAULT_LIMIT}}) {
            const char *cursor = text.c_str();
            intmax_t from_memory = 0;
            size_t memory_count = tarvik_scan_atointmax_limit(
                tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor, limit, &from_memory, base);
            Stream stream{text.data(), text.size(), 0};
            intmax_t from_stream = 0;
            size_t stream_count = tarvik_scan_atointmax_limit(stream_peek, stream_pop, &stream,
                                                              limit, &from_stream, base);
            if (from_memory != from_stream || memory_count != stream_count ||
                static_cast<size_t>(cursor - text.c_str()) != stream.m_at || memory_count > limit ||
                stream.m_at > limit) {
                abort();
            }
        }
        char *end = nullptr;
        tarvik_strtointmax(text.c_str(), &end, base);
        if (end < text.c_str() || end > text.c_str() + strlen(text.c_str())) {
            abort();
        }
    }
    tarvik_atof(text.c_str());
    char *end = nullptr;
    tarvik_atofixed(text.c_str(), 3, &end);
    if (end < text.c_str() || end > text.c_str() + strlen(text.c_str())) {
        abort();
    }
}

void check_scanf(const std::string &text)
{
    unsigned int mac[6];
    tarvik_sscanf(text.c_str(), "%02x:%02x:%02x:%02x:%02x:%02x", &mac[0], &mac[1], &mac[2], &mac[3],
                  &mac[4], &mac[5]);
    int d;
    long ld;
    long long lld;
    unsigned int u;
    unsigned long lu;
    unsigned long long llu;
    tarvik_sscanf(text.c_str(), "%d %ld %lld %u %lu %llu %i", &d, &ld, &lld, &u, &lu, &llu, &d);
    char word[16];
    char characters[4];
    int n = -1;
    int fields = tarvik_sscanf(text.c_str(), "%15s %*s %c %3c%n", word, characters, characters, &n);
    if (fields < -1 || fields > 3 || (n != -1 && static_cast<size_t>(n) > text.size())) {
        abort();
    }
    short h;
    size_t z;
    intmax_t j;
    tarvik_sscanf(text.c_str(), "%*d %% x%x %hhd %hd %zu %jd %o", &u, characters, &h, &z, &j, &u);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    check_numbers(text);
    check_scanf(text);
    if (tarvik_get_alloc_count() != 0) {
        abort();
    }
    return 0;
}
