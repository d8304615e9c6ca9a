// Fuzzes the quoted-printable decoder: the text decoded in input-derived pieces must give what
// one whole push gives, and the same bytes encoded must decode back to themselves. Every run
// leaves the heap empty.
#include "heap.h"
#include "quoted_printable.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string take(tarvik_quoted_printable_t *handle)
{
    size_t size = 0;
    char *text = tarvik_get_quoted_printable(handle, &size);
    if (text == nullptr) {
        abort();
    }
    std::string out(text, size);
    tarvik_free_tag(text, "fuzz", 0);
    return out;
}

std::string run(bool encode, const std::string &data, uint32_t seed)
{
    tarvik_quoted_printable_t *handle = tarvik_open_quoted_printable();
    std::string out;
    uint32_t state = seed | 1u;
    for (size_t at = 0; at < data.size();) {
        state = state * 1103515245u + 12345u;
        size_t length = seed == 0 ? data.size() : 1u + (state >> 8) % 7u;
        if (length > data.size() - at) {
            length = data.size() - at;
        }
        const int result =
            encode ? tarvik_push_encode_quoted_printable(handle, data.data() + at, length)
                   : tarvik_push_decode_quoted_printable(handle, data.data() + at, length);
        if (result != 0) {
            abort();
        }
        at += length;
        out += take(handle);
    }
    if ((encode ? tarvik_push_encode_quoted_printable(handle, nullptr, 0)
                : tarvik_push_decode_quoted_printable(handle, nullptr, 0)) != 0) {
        abort();
    }
    out += take(handle);
    tarvik_close_quoted_printable(handle);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4) {
        return 0;
    }
    uint32_t seed = 0;
    memcpy(&seed, data, sizeof(seed));
    const std::string text(reinterpret_cast<const char *>(data) + 4, size - 4);
    if (run(false, text, seed | 2u) != run(false, text, 0)) {
        abort();
    }
    if (run(false, run(true, text, seed), seed >> 8) != text) {
        abort();
    }
    if (tarvik_get_alloc_count() != 0) {
        abort();
    }
    return 0;
}
