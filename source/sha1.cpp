// SHA-1 (FIPS 180-4). The message schedule is expanded first; each group of 20 rounds then
// runs as a loop over five unrolled rounds, so the chaining words rotate through the names
// instead of being moved. Contexts belong to their caller, nothing is shared.
#include "sha1.h"

#include "detail/common.hpp"
#include "detail/digest.hpp"

#include <cstring>

namespace {

using tarvik::detail::load_be32;
using tarvik::detail::rotl32;

inline uint32_t choose(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t parity(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t majority(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (z & (x | y)); }

#define SHA1_ROUND(a, b, c, d, e, w)                                                               \
    e += rotl32(a, 5) + F(b, c, d) + K + (w);                                                      \
    b = rotl32(b, 30)

// Twenty rounds of one kind over w[0..19].
template <uint32_t (*F)(uint32_t, uint32_t, uint32_t), uint32_t K>
void twenty_rounds(uint32_t &a, uint32_t &b, uint32_t &c, uint32_t &d, uint32_t &e,
                   const uint32_t *w)
{
    for (int t = 0; t < 20; t += 5) {
        SHA1_ROUND(a, b, c, d, e, w[t]);
        SHA1_ROUND(e, a, b, c, d, w[t + 1]);
        SHA1_ROUND(d, e, a, b, c, w[t + 2]);
        SHA1_ROUND(c, d, e, a, b, w[t + 3]);
        SHA1_ROUND(b, c, d, e, a, w[t + 4]);
    }
}

#undef SHA1_ROUND

void sha1_blocks(uint32_t *state, const uint8_t *data, size_t count)
{
    for (; count > 0; --count, data += 64) {
        uint32_t w[80];
        for (int t = 0; t < 16; ++t) {
            w[t] = load_be32(data + 4 * t);
        }
        for (int t = 16; t < 80; ++t) {
            w[t] = rotl32(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
        twenty_rounds<choose, 0x5a827999u>(a, b, c, d, e, w);
        twenty_rounds<parity, 0x6ed9eba1u>(a, b, c, d, e, w + 20);
        twenty_rounds<majority, 0x8f1bbcdcu>(a, b, c, d, e, w + 40);
        twenty_rounds<parity, 0xca62c1d6u>(a, b, c, d, e, w + 60);
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
    }
}

} // namespace

extern "C" {

TARVIK_API tarvik_sha1_t *tarvik_init_sha1(tarvik_sha1_t *context)
{
    if (context == nullptr) {
        return nullptr;
    }
    memset(context, 0, sizeof(*context));
    static constexpr uint32_t INITIAL[5] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u,
                                            0xc3d2e1f0u};
    memcpy(context->m_state, INITIAL, sizeof(INITIAL));
    return context;
}

TARVIK_API tarvik_sha1_t *tarvik_open_sha1(void)
{
    return tarvik_init_sha1(
        static_cast<tarvik_sha1_t *>(tarvik_alloc_tag(sizeof(tarvik_sha1_t), TARVIK_TAG)));
}

TARVIK_API int tarvik_close_sha1(tarvik_sha1_t *context, uint8_t *out)
{
    if (context == nullptr) {
        return 0;
    }
    if (out != nullptr) {
        tarvik_sha1_digest(context, out);
    }
    tarvik_free_tag(context, TARVIK_TAG);
    return 0;
}

TARVIK_API void tarvik_sha1_push(tarvik_sha1_t *context, const void *data, size_t size)
{
    if (context == nullptr || data == nullptr || size == 0) {
        return;
    }
    const size_t fill = static_cast<size_t>(context->m_count & 63u);
    context->m_count += size;
    tarvik::detail::push_blocks(context->m_state, context->m_block, fill,
                                static_cast<const uint8_t *>(data), size, sha1_blocks);
}

TARVIK_API const char *tarvik_sha1_digest(tarvik_sha1_t *context, uint8_t *out)
{
    if (context == nullptr) {
        return nullptr;
    }
    uint8_t length[8];
    tarvik::detail::store_be64(length, context->m_count << 3);
    tarvik::detail::pad_blocks(context->m_state, context->m_block,
                               static_cast<size_t>(context->m_count & 63u), length, sha1_blocks);
    uint8_t digest[20];
    for (int n = 0; n < 5; ++n) {
        tarvik::detail::store_be32(digest + 4 * n, context->m_state[n]);
    }
    if (out != nullptr) {
        memcpy(out, digest, sizeof(digest));
    }
    tarvik::detail::hex_upper(digest, sizeof(digest), context->m_hex);
    return context->m_hex;
}

TARVIK_API int tarvik_sha1_push_file(tarvik_sha1_t *context, const char *path)
{
    if (context == nullptr) {
        return -1;
    }
    return tarvik::detail::push_file(
        path, tarvik::detail::push_adapter<tarvik_sha1_t, tarvik_sha1_push>, context);
}

TARVIK_API int tarvik_simple_sha1(const char *name, tarvik_sha1_t *context)
{
    if (tarvik_init_sha1(context) == nullptr) {
        return -1;
    }
    return tarvik::detail::push_stream(
        name, tarvik::detail::push_adapter<tarvik_sha1_t, tarvik_sha1_push>, context);
}

} // extern "C"
