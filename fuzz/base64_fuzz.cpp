// Fuzzes the Base64 decoder: the text decoded in input-derived pieces must give what one whole
// push gives, and the same bytes encoded (wrapped or not, in pieces) must decode back to
// themselves. Every run leaves the heap empty.
#include "base64.h"
#include "heap.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string take(tarvik_base64_t *handle)
{
    size_t size = 0;
    char *text = tarvik_get_base64(handle, &size);
    if (text == nullptr) {
        abort();
    }
    std::string out(text, size);
    tarvik_free_tag(text, "fuzz", 0);
    return out;
}

std::string run(bool encode, const std::string &data, uint32_t seed, uint32_t wrap, int ignore)
{
    tarvik_base64_t *handle = tarvik_open_base64();
    handle->m_wrap = wrap;
    handle->m_ignore_garbage = ignore;
    std::string out;
    uint32_t state = seed | 1u;
    for (size_t at = 0; at < data.size();) {
        state = state * 1103515245u + 12345u;
        size_t length = seed == 0 ? data.size() : 1u + (state >> 8) % 17u;
        if (length > data.size() - at) {
            length = data.size() - at;
        }
        const int result = encode ? tarvik_push_encode_base64(handle, data.data() + at, length)
                                  : tarvik_push_decode_base64(handle, data.data() + at, length);
        if (result != 0) {
            abort();
        }
        at += length;
        out += take(handle);
    }
    if ((encode ? tarvik_push_encode_base64(handle, nullptr, 0)
                : tarvik_push_decode_base64(handle, nullptr, 0)) != 0) {
        abort();
    }
    out += take(handle);
    tarvik_close_base64(handle);
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
    const int ignore = static_cast<int>(seed & 1u);
    if (run(false, text, seed | 2u, 0, ignore) != run(false, text, 0, 0, ignore)) {
        abort();
    }
    const std::string encoded = run(true, text, seed, (seed >> 4) % 80u, 0);
    if (run(false, encoded, seed >> 8, 0, 0) != text) {
        abort();
    }
    if (tarvik_get_alloc_count() != 0) {
        abort();
    }
    return 0;
}
