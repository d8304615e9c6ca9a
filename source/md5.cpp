// MD5 (RFC 1321). The compression runs its 64 steps unrolled over little-endian words read
// byte by byte (no alignment needed); contexts belong to their caller, nothing is shared.
#include "md5.h"

#include "detail/common.hpp"
#include "detail/digest.hpp"

#include <cstring>

namespace {

using tarvik::detail::load_le32;
using tarvik::detail::rotl32;

#if defined(__mips__) && !defined(__mips64)
static_assert(sizeof(tarvik_md5_t) == 136, "the MD5 context is 136 bytes on the target");
#endif

TARVIK_ROUND_INLINE uint32_t f(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
TARVIK_ROUND_INLINE uint32_t h(uint32_t x, uint32_t y, uint32_t z) { return x ^ (y ^ z); }
TARVIK_ROUND_INLINE uint32_t i(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

// The message word and constant are added first: they do not wait for b, the word the
// previous step has just produced.
#define MD5_STEP(function, a, b, c, d, word, constant, shift)                                      \
    a += (word) + (constant);                                                                      \
    a += function(b, c, d);                                                                        \
    a = rotl32(a, shift) + b

// G(b, c, d) = (b & d) | (c & ~d): the two parts share no bits, so they are added one by one
// and the part without b goes first.
#define MD5_STEP_G(a, b, c, d, word, constant, shift)                                              \
    a += (word) + (constant);                                                                      \
    a += c & ~d;                                                                                   \
    a += b & d;                                                                                    \
    a = rotl32(a, shift) + b

// A word that may be read where bytes were written.
typedef uint32_t __attribute__((may_alias)) AliasedWord;
constexpr bool LITTLE_ENDIAN_WORDS = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

void md5_blocks(uint32_t *state, const uint8_t *data, size_t count)
{
    uint32_t a = state[0];
    uint32_t b = state[1];
    uint32_t c = state[2];
    uint32_t d = state[3];
    for (; count > 0; --count, data += 64) {
        // The words as the block holds them when the processor reads little-endian words
        // from where they lie; otherwise a copy in that order.
        uint32_t copy[16];
        const AliasedWord *x = reinterpret_cast<const AliasedWord *>(data);
        if (!LITTLE_ENDIAN_WORDS || (reinterpret_cast<uintptr_t>(data) & 3u) != 0) {
            for (int n = 0; n < 16; ++n) {
                copy[n] = load_le32(data + 4 * n);
            }
            x = copy;
        }
        const uint32_t aa = a, bb = b, cc = c, dd = d;
        MD5_STEP(f, a, b, c, d, x[0], 0xd76aa478u, 7);
        MD5_STEP(f, d, a, b, c, x[1], 0xe8c7b756u, 12);
        MD5_STEP(f, c, d, a, b, x[2], 0x242070dbu, 17);
        MD5_STEP(f, b, c, d, a, x[3], 0xc1bdceeeu, 22);
        MD5_STEP(f, a, b, c, d, x[4], 0xf57c0fafu, 7);
        MD5_STEP(f, d, a, b, c, x[5], 0x4787c62au, 12);
        MD5_STEP(f, c, d, a, b, x[6], 0xa8304613u, 17);
        MD5_STEP(f, b, c, d, a, x[7], 0xfd469501u, 22);
        MD5_STEP(f, a, b, c, d, x[8], 0x698098d8u, 7);
        MD5_STEP(f, d, a, b, c, x[9], 0x8b44f7afu, 12);
        MD5_STEP(f, c, d, a, b, x[10], 0xffff5bb1u, 17);
        MD5_STEP(f, b, c, d, a, x[11], 0x895cd7beu, 22);
        MD5_STEP(f, a, b, c, d, x[12], 0x6b901122u, 7);
        MD5_STEP(f, d, a, b, c, x[13], 0xfd987193u, 12);
        MD5_STEP(f, c, d, a, b, x[14], 0xa679438eu, 17);
        MD5_STEP(f, b, c, d, a, x[15], 0x49b40821u, 22);

        MD5_STEP_G(a, b, c, d, x[1], 0xf61e2562u, 5);
        MD5_STEP_G(d, a, b, c, x[6], 0xc040b340u, 9);
        MD5_STEP_G(c, d, a, b, x[11], 0x265e5a51u, 14);
        MD5_STEP_G(b, c, d, a, x[0], 0xe9b6c7aau, 20);
        MD5_STEP_G(a, b, c, d, x[5], 0xd62f105du, 5);
        MD5_STEP_G(d, a, b, c, x[10], 0x02441453u, 9);
        MD5_STEP_G(c, d, a, b, x[15], 0xd8a1e681u, 14);
        MD5_STEP_G(b, c, d, a, x[4], 0xe7d3fbc8u, 20);
        MD5_STEP_G(a, b, c, d, x[9], 0x21e1cde6u, 5);
        MD5_STEP_G(d, a, b, c, x[14], 0xc33707d6u, 9);
        MD5_STEP_G(c, d, a, b, x[3], 0xf4d50d87u, 14);
        MD5_STEP_G(b, c, d, a, x[8], 0x455a14edu, 20);
        MD5_STEP_G(a, b, c, d, x[13], 0xa9e3e905u, 5);
        MD5_STEP_G(d, a, b, c, x[2], 0xfcefa3f8u, 9);
        MD5_STEP_G(c, d, a, b, x[7], 0x676f02d9u, 14);
        MD5_STEP_G(b, c, d, a, x[12], 0x8d2a4c8au, 20);

        MD5_STEP(h, a, b, c, d, x[5], 0xfffa3942u, 4);
        MD5_STEP(h, d, a, b, c, x[8], 0x8771f681u, 11);
        MD5_STEP(h, c, d, a, b, x[11], 0x6d9d6122u, 16);
        MD5_STEP(h, b, c, d, a, x[14], 0xfde5380cu, 23);
        MD5_STEP(h, a, b, c, d, x[1], 0xa4beea44u, 4);
        MD5_STEP(h, d, a, b, c, x[4], 0x4bdecfa9u, 11);
        MD5_STEP(h, c, d, a, b, x[7], 0xf6bb4b60u, 16);
        MD5_STEP(h, b, c, d, a, x[10], 0xbebfbc70u, 23);
        MD5_STEP(h, a, b, c, d, x[13], 0x289b7ec6u, 4);
        MD5_STEP(h, d, a, b, c, x[0], 0xeaa127fau, 11);
        MD5_STEP(h, c, d, a, b, x[3], 0xd4ef3085u, 16);
        MD5_STEP(h, b, c, d, a, x[6], 0x04881d05u, 23);
        MD5_STEP(h, a, b, c, d, x[9], 0xd9d4d039u, 4);
        MD5_STEP(h, d, a, b, c, x[12], 0xe6db99e5u, 11);
        MD5_STEP(h, c, d, a, b, x[15], 0x1fa27cf8u, 16);
        MD5_STEP(h, b, c, d, a, x[2], 0xc4ac5665u, 23);

        MD5_STEP(i, a, b, c, d, x[0], 0xf4292244u, 6);
        MD5_STEP(i, d, a, b, c, x[7], 0x432aff97u, 10);
        MD5_STEP(i, c, d, a, b, x[14], 0xab9423a7u, 15);
        MD5_STEP(i, b, c, d, a, x[5], 0xfc93a039u, 21);
        MD5_STEP(i, a, b, c, d, x[12], 0x655b59c3u, 6);
        MD5_STEP(i, d, a, b, c, x[3], 0x8f0ccc92u, 10);
        MD5_STEP(i, c, d, a, b, x[10], 0xffeff47du, 15);
        MD5_STEP(i, b, c, d, a, x[1], 0x85845dd1u, 21);
        MD5_STEP(i, a, b, c, d, x[8], 0x6fa87e4fu, 6);
        MD5_STEP(i, d, a, b, c, x[15], 0xfe2ce6e0u, 10);
        MD5_STEP(i, c, d, a, b, x[6], 0xa3014314u, 15);
        MD5_STEP(i, b, c, d, a, x[13], 0x4e0811a1u, 21);
        MD5_STEP(i, a, b, c, d, x[4], 0xf7537e82u, 6);
        MD5_STEP(i, d, a, b, c, x[11], 0xbd3af235u, 10);
        MD5_STEP(i, c, d, a, b, x[2], 0x2ad7d2bbu, 15);
        MD5_STEP(i, b, c, d, a, x[9], 0xeb86d391u, 21);
        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef MD5_STEP
#undef MD5_STEP_G

// Finishes a copy of context into out (16 bytes).
void finish(const tarvik_md5_t *context, uint8_t *out)
{
    tarvik_md5_t copy;
    memcpy(&copy, context, sizeof(copy));
    uint8_t length[8];
    const uint64_t bits = copy.m_count << 3;
    for (int n = 0; n < 8; ++n) {
        length[n] = static_cast<uint8_t>(bits >> (8 * n));
    }
    tarvik::detail::pad_blocks(copy.m_state, copy.m_block, static_cast<size_t>(copy.m_count & 63u),
                               length, md5_blocks);
    for (int n = 0; n < 4; ++n) {
        tarvik::detail::store_le32(out + 4 * n, copy.m_state[n]);
    }
}

} // namespace

extern "C" {

TARVIK_API tarvik_md5_t *tarvik_init_md5(tarvik_md5_t *context)
{
    if (context == nullptr) {
        return nullptr;
    }
    memset(context, 0, sizeof(*context));
    context->m_state[0] = 0x67452301u;
    context->m_state[1] = 0xefcdab89u;
    context->m_state[2] = 0x98badcfeu;
    context->m_state[3] = 0x10325476u;
    return context;
}

TARVIK_API tarvik_md5_t *tarvik_open_md5(void)
{
    return tarvik_init_md5(
        static_cast<tarvik_md5_t *>(tarvik_alloc_tag(sizeof(tarvik_md5_t), TARVIK_TAG)));
}

TARVIK_API int tarvik_close_md5(tarvik_md5_t *context, uint8_t *out)
{
    if (context == nullptr) {
        return 0;
    }
    if (out != nullptr) {
        finish(context, out);
    }
    tarvik_free_tag(context, TARVIK_TAG);
    return 0;
}

TARVIK_API void tarvik_md5_push(tarvik_md5_t *context, const void *data, size_t size)
{
    if (context == nullptr || data == nullptr || size == 0) {
        return;
    }
    const size_t fill = static_cast<size_t>(context->m_count & 63u);
    context->m_count += size;
    context->m_bits = context->m_count << 3;
    tarvik::detail::push_blocks(context->m_state, context->m_block, fill,
                                static_cast<const uint8_t *>(data), size, md5_blocks);
}

TARVIK_API const char *tarvik_md5_digest(tarvik_md5_t *context, uint8_t *out)
{
    if (context == nullptr) {
        return nullptr;
    }
    uint8_t digest[16];
    finish(context, digest);
    if (out != nullptr) {
        memcpy(out, digest, sizeof(digest));
    }
    tarvik::detail::hex_upper(digest, sizeof(digest), context->m_hex);
    return context->m_hex;
}

TARVIK_API int tarvik_md5_push_file(tarvik_md5_t *context, const char *path)
{
    if (context == nullptr) {
        return -1;
    }
    return tarvik::detail::push_file(
        path, tarvik::detail::push_adapter<tarvik_md5_t, tarvik_md5_push>, context);
}

TARVIK_API int tarvik_simple_md5(const char *name, tarvik_md5_t *context)
{
    if (tarvik_init_md5(context) == nullptr) {
        return -1;
    }
    return tarvik::detail::push_stream(
        name, tarvik::detail::push_adapter<tarvik_md5_t, tarvik_md5_push>, context);
}

} // extern "C"
