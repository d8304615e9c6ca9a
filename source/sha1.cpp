// SHA-1 (FIPS 180-4). Each group of 20 rounds runs as a loop over five unrolled rounds, so the
// working words rotate through the names instead of being moved; the message schedule is kept
// in a ring of sixteen words. Contexts belong to their caller, nothing is shared.
#include "sha1.h"

#include "detail/common.hpp"
#include "detail/digest.hpp"

#include <cstring>

namespace {

using tarvik::detail::load_be32;
using tarvik::detail::rotl32;

TARVIK_ROUND_INLINE uint32_t choose(uint32_t x, uint32_t y, uint32_t z)
{
    return z ^ (x & (y ^ z));
}
TARVIK_ROUND_INLINE uint32_t parity(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
TARVIK_ROUND_INLINE uint32_t majority(uint32_t x, uint32_t y, uint32_t z)
{
    return (x & y) | (z & (x | y));
}

// One round: e takes the new word, b is rotated; the caller rotates the names.
#define SHA1_ROUND(F, K, a, b, c, d, e, w)                                                         \
    e += rotl32(a, 5) + F(b, c, d) + (K) + (w);                                                    \
    b = rotl32(b, 30)

// Word t of the schedule in a ring of sixteen, computed in place from t = 16 on.
#define SHA1_WORD(t)                                                                               \
    (w[(t)&15] = rotl32(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t)&15], 1))

// Twenty rounds of one kind as four passes over five unrolled rounds; builds for speed unroll
// the passes too, so that every schedule index is a constant.
#if defined(__OPTIMIZE_SIZE__)
#define SHA1_UNROLL _Pragma("GCC unroll 1")
#else
#define SHA1_UNROLL _Pragma("GCC unroll 4")
#endif
#define SHA1_TWENTY(F, K, first)                                                                   \
    SHA1_UNROLL for (int t = (first); t < (first) + 20; t += 5)                                    \
    {                                                                                              \
        SHA1_ROUND(F, K, a, b, c, d, e, t < 16 ? w[t] : SHA1_WORD(t));                             \
        SHA1_ROUND(F, K, e, a, b, c, d, t + 1 < 16 ? w[t + 1] : SHA1_WORD(t + 1));                 \
        SHA1_ROUND(F, K, d, e, a, b, c, t + 2 < 16 ? w[t + 2] : SHA1_WORD(t + 2));                 \
        SHA1_ROUND(F, K, c, d, e, a, b, t + 3 < 16 ? w[t + 3] : SHA1_WORD(t + 3));                 \
        SHA1_ROUND(F, K, b, c, d, e, a, t + 4 < 16 ? w[t + 4] : SHA1_WORD(t + 4));                 \
    }

void sha1_blocks(uint32_t *state, const uint8_t *data, size_t count)
{
    for (; count > 0; --count, data += 64) {
        uint32_t w[16];
        for (int t = 0; t < 16; ++t) {
            w[t] = load_be32(data + 4 * t);
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
        SHA1_TWENTY(choose, 0x5a827999u, 0)
        SHA1_TWENTY(parity, 0x6ed9eba1u, 20)
        SHA1_TWENTY(majority, 0x8f1bbcdcu, 40)
        SHA1_TWENTY(parity, 0xca62c1d6u, 60)
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
    }
}

#undef SHA1_TWENTY
#undef SHA1_UNROLL
#undef SHA1_WORD
#undef SHA1_ROUND

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
