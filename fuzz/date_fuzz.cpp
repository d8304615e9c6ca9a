// Fuzz target of the date-text parser (and of strftime formats): no crash, no leak, and
// every accepted UTC text reads back from its own standard rendering.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tarvik.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    for (int flags = 0; flags < 4; ++flags) {
        uint64_t seconds = tarvik_parse_asctime(text.c_str(), flags & 1, flags & 2);
        if (seconds == static_cast<uint64_t>(-1) || (flags & 2) != 0) {
            continue;
        }
        struct tm tm;
        time_t t = static_cast<time_t>(seconds);
        if (static_cast<uint64_t>(t) != seconds || gmtime_r(&t, &tm) == nullptr) {
            continue;
        }
        char again[64];
        tarvik_asctime(again, sizeof(again), &tm, 5);
        if (tarvik_parse_asctime(again, 0, 0) != seconds) {
            abort();
        }
    }
    // The same bytes as a strftime format.
    struct tm fixed;
    time_t when = 1709644029;
    gmtime_r(&when, &fixed);
    char out[256];
    size_t n = tarvik_strftime(out, sizeof(out), text.c_str(), &fixed);
    if (n >= sizeof(out) || out[n] != '\0') {
        abort();
    }
    if (tarvik_get_alloc_count() != 0) {
        abort();
    }
    return 0;
}
