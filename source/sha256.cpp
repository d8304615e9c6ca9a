// SHA-256 (FIPS 180-4). The 64 rounds run as four passes over sixteen unrolled rounds, so the
// working words rotate through the names instead of being moved and the message schedule
// lives in a ring of sixteen words. Contexts belong to their caller, nothing is shared.
#include "sha256.h"

#include "detail/common.hpp"
#include "detail/digest.hpp"

#include <cstring>

namespace {

using tarvik::detail::load_be32;
using tarvik::detail::rotr32;

#if defined(__mips__) && !defined(__mips64)
static_assert(sizeof(tarvik_sha256_t) == 176, "the SHA-256 context is 176 bytes on the target");
#endif

constexpr uint32_t K[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u,
    0xab1c5ed5u, 0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu,
    0x9bdc06a7u, 0xc19bf174u, 0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu,
    0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau, 0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u,
    0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u, 0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu,
    0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u, 0xa2bfe8a1u, 0xa81a664bu,
    0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u, 0x19a4c116u,
    0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u,
    0xc67178f2u,
};

TARVIK_ROUND_INLINE uint32_t sigma0(uint32_t x) { return rotr32(x, 7) ^ rotr32(x, 18) ^ (x >> 3); }
TARVIK_ROUND_INLINE uint32_t sigma1(uint32_t x)
{
    return rotr32(x, 17) ^ rotr32(x, 19) ^ (x >> 10);
}
TARVIK_ROUND_INLINE uint32_t big_sigma0(uint32_t x)
{
    return rotr32(x, 2) ^ rotr32(x, 13) ^ rotr32(x, 22);
}
TARVIK_ROUND_INLINE uint32_t big_sigma1(uint32_t x)
{
    return rotr32(x, 6) ^ rotr32(x, 11) ^ rotr32(x, 25);
}
TARVIK_ROUND_INLINE uint32_t choose(uint32_t x, uint32_t y, uint32_t z)
{
    return z ^ (x & (y ^ z));
}

// One round; the caller rotates the names of the eight working words. The constant and the
// schedule word go in first: they do not wait for the words the previous round produced.
// Majority(a, b, c) is b ^ ((a ^ b) & (b ^ c)), and this round's b ^ c is the previous
// round's a ^ b: the two alternate between x and y.
#define SHA256_ROUND(a, b, c, d, e, f, g, h, n, x, y)                                              \
    h += K[t + (n)] + SHA256_WORD(n);                                                              \
    h += big_sigma1(e) + choose(e, f, g);                                                          \
    d += h;                                                                                        \
    x = a ^ b;                                                                                     \
    h += big_sigma0(a) + (b ^ (x & y))

// Word t + n of the schedule in a ring of sixteen, computed in place from round 16 on.
#define SHA256_WORD(n)                                                                             \
    (t == 0                                                                                        \
         ? w[n]                                                                                    \
         : (w[n] += sigma1(w[((n) + 14) & 15]) + w[((n) + 9) & 15] + sigma0(w[((n) + 1) & 15])))

// Sixteen rounds: the eight names turn once around.
#define SHA256_SIXTEEN_ROUNDS()                                                                    \
    SHA256_ROUND(a, b, c, d, e, f, g, h, 0, x, y);                                                 \
    SHA256_ROUND(h, a, b, c, d, e, f, g, 1, y, x);                                                 \
    SHA256_ROUND(g, h, a, b, c, d, e, f, 2, x, y);                                                 \
    SHA256_ROUND(f, g, h, a, b, c, d, e, 3, y, x);                                                 \
    SHA256_ROUND(e, f, g, h, a, b, c, d, 4, x, y);                                                 \
    SHA256_ROUND(d, e, f, g, h, a, b, c, 5, y, x);                                                 \
    SHA256_ROUND(c, d, e, f, g, h, a, b, 6, x, y);                                                 \
    SHA256_ROUND(b, c, d, e, f, g, h, a, 7, y, x);                                                 \
    SHA256_ROUND(a, b, c, d, e, f, g, h, 8, x, y);                                                 \
    SHA256_ROUND(h, a, b, c, d, e, f, g, 9, y, x);                                                 \
    SHA256_ROUND(g, h, a, b, c, d, e, f, 10, x, y);                                                \
    SHA256_ROUND(f, g, h, a, b, c, d, e, 11, y, x);                                                \
    SHA256_ROUND(e, f, g, h, a, b, c, d, 12, x, y);                                                \
    SHA256_ROUND(d, e, f, g, h, a, b, c, 13, y, x);                                                \
    SHA256_ROUND(c, d, e, f, g, h, a, b, 14, x, y);                                                \
    SHA256_ROUND(b, c, d, e, f, g, h, a, 15, y, x);

// Builds for speed unroll the three scheduled passes too.
#if defined(__OPTIMIZE_SIZE__)
#define SHA256_UNROLL _Pragma("GCC unroll 1")
#else
#define SHA256_UNROLL _Pragma("GCC unroll 4")
#endif

void sha256_blocks(uint32_t *state, const uint8_t *data, size_t count)
{
    for (; count > 0; --count, data += 64) {
        uint32_t w[16];
        for (int t = 0; t < 16; ++t) {
            w[t] = load_be32(data + 4 * t);
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        uint32_t x = 0, y = b ^ c;
        // The first sixteen rounds take the message words as they are; the loop computes the
        // schedule. Kept apart, neither tests which it is in, also where the loop stays rolled.
        {
            constexpr int t = 0;
            SHA256_SIXTEEN_ROUNDS();
        }
        SHA256_UNROLL for (int t = 16; t < 64; t += 16) { SHA256_SIXTEEN_ROUNDS(); }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#undef SHA256_UNROLL
#undef SHA256_SIXTEEN_ROUNDS
#undef SHA256_WORD
#undef SHA256_ROUND

} // namespace

extern "C" {

TARVIK_API tarvik_sha256_t *tarvik_init_sha256(tarvik_sha256_t *context)
{
    if (context == nullptr) {
        return nullptr;
    }
    memset(context, 0, sizeof(*context));
    static constexpr uint32_t INITIAL[8] = {0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
                                            0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u};
    memcpy(context->m_state, INITIAL, sizeof(INITIAL));
    return context;
}

TARVIK_API tarvik_sha256_t *tarvik_open_sha256(void)
{
    return tarvik_init_sha256(
        static_cast<tarvik_sha256_t *>(tarvik_alloc_tag(sizeof(tarvik_sha256_t), TARVIK_TAG)));
}

TARVIK_API int tarvik_close_sha256(tarvik_sha256_t *context, uint8_t *out)
{
    if (context == nullptr) {
        return 0;
    }
    if (out != nullptr) {
        tarvik_sha256_digest(context, out);
    }
    tarvik_free_tag(context, TARVIK_TAG);
    return 0;
}

TARVIK_API void tarvik_sha256_push(tarvik_sha256_t *context, const void *data, size_t size)
{
    if (context == nullptr || data == nullptr || size == 0) {
        return;
    }
    context->m_count += size;
    tarvik::detail::push_blocks(context->m_state, context->m_block, context->m_fill,
                                static_cast<const uint8_t *>(data), size, sha256_blocks);
    context->m_fill = static_cast<uint32_t>(context->m_count & 63u);
}

TARVIK_API const char *tarvik_sha256_digest(tarvik_sha256_t *context, uint8_t *out)
{
    if (context == nullptr) {
        return nullptr;
    }
    uint8_t length[8];
    tarvik::detail::store_be64(length, context->m_count << 3);
    tarvik::detail::pad_blocks(context->m_state, context->m_block, context->m_fill & 63u, length,
                               sha256_blocks);
    context->m_fill = 0;
    uint8_t digest[32];
    for (int n = 0; n < 8; ++n) {
        tarvik::detail::store_be32(digest + 4 * n, context->m_state[n]);
    }
    if (out != nullptr) {
        memcpy(out, digest, sizeof(digest));
    }
    tarvik::detail::hex_upper(digest, sizeof(digest), context->m_hex);
    return context->m_hex;
}

TARVIK_API int tarvik_sha256_push_file(tarvik_sha256_t *context, const char *path)
{
    if (context == nullptr) {
        return -1;
    }
    return tarvik::detail::push_file(
        path, tarvik::detail::push_adapter<tarvik_sha256_t, tarvik_sha256_push>, context);
}

TARVIK_API int tarvik_simple_sha256(const char *name, tarvik_sha256_t *context)
{
    if (tarvik_init_sha256(context) == nullptr) {
        return -1;
    }
    return tarvik::detail::push_stream(
        name, tarvik::detail::push_adapter<tarvik_sha256_t, tarvik_sha256_push>, context);
}

} // extern "C"
