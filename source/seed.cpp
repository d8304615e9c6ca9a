// SEED (RFC 4269), compact: the two 8-bit S-boxes are computed at compile time from their
// algebraic form (a power in GF(2^8) modulo x^8+x^6+x^5+x+1 followed by an affine map) and the
// G function mixes their outputs with the four masks instead of four 1 KiB tables.
// Stateless; round keys belong to the caller.
#include "seed.h"

#include "cipher_mode.h"
#include "detail/common.hpp"
#include "detail/digest.hpp"

#include <cstring>

namespace {

using tarvik::detail::load_be32;
using tarvik::detail::store_be32;

constexpr uint8_t multiply(uint8_t a, uint8_t b)
{
    unsigned product = 0;
    unsigned x = a;
    for (; b != 0; b >>= 1) {
        if ((b & 1u) != 0) {
            product ^= x;
        }
        x <<= 1;
        if ((x & 0x100u) != 0) {
            x ^= 0x163u;
        }
    }
    return static_cast<uint8_t>(product);
}

// S(x) = A * x^exponent + constant, with A given by the images of the eight unit vectors.
constexpr uint8_t sbox_entry(uint8_t x, int exponent, const uint8_t (&columns)[8], uint8_t constant)
{
    uint8_t power = 1;
    for (int bit = 7; bit >= 0; --bit) {
        power = multiply(power, power);
        if ((exponent >> bit & 1) != 0) {
            power = multiply(power, x);
        }
    }
    uint8_t out = constant;
    for (int bit = 0; bit < 8; ++bit) {
        if ((power >> bit & 1u) != 0) {
            out ^= columns[bit];
        }
    }
    return out;
}

struct SBoxes {
    uint8_t m_s1[256];
    uint8_t m_s2[256];
};

constexpr SBoxes make_sboxes()
{
    constexpr uint8_t S1_COLUMNS[8] = {0x2C, 0xD0, 0x69, 0xC2, 0x41, 0x44, 0x58, 0xE2};
    constexpr uint8_t S2_COLUMNS[8] = {0xD0, 0x2A, 0xE1, 0x2C, 0x21, 0x30, 0xA2, 0x6C};
    SBoxes boxes{};
    for (int x = 0; x < 256; ++x) {
        boxes.m_s1[x] = sbox_entry(static_cast<uint8_t>(x), 247, S1_COLUMNS, 0xA9);
        boxes.m_s2[x] = sbox_entry(static_cast<uint8_t>(x), 251, S2_COLUMNS, 0x38);
    }
    return boxes;
}

constexpr SBoxes SBOX = make_sboxes();

uint32_t g_function(uint32_t x)
{
    const uint32_t y0 = SBOX.m_s1[x & 0xFFu];
    const uint32_t y1 = SBOX.m_s2[(x >> 8) & 0xFFu];
    const uint32_t y2 = SBOX.m_s1[(x >> 16) & 0xFFu];
    const uint32_t y3 = SBOX.m_s2[x >> 24];
    constexpr uint32_t M0 = 0xFC, M1 = 0xF3, M2 = 0xCF, M3 = 0x3F;
    const uint32_t z0 = (y0 & M0) ^ (y1 & M1) ^ (y2 & M2) ^ (y3 & M3);
    const uint32_t z1 = (y0 & M1) ^ (y1 & M2) ^ (y2 & M3) ^ (y3 & M0);
    const uint32_t z2 = (y0 & M2) ^ (y1 & M3) ^ (y2 & M0) ^ (y3 & M1);
    const uint32_t z3 = (y0 & M3) ^ (y1 & M0) ^ (y2 & M1) ^ (y3 & M2);
    return z3 << 24 | z2 << 16 | z1 << 8 | z0;
}

// The round function on the right half (r0, r1) with the round's two key words; the result
// replaces (r0, r1).
void f_function(uint32_t &r0, uint32_t &r1, const uint32_t *key)
{
    uint32_t c = r0 ^ key[0];
    uint32_t d = g_function(c ^ r1 ^ key[1]);
    c = g_function(c + d);
    d = g_function(d + c);
    r0 = c + d;
    r1 = d;
}

// Sixteen Feistel rounds; keys step by +2 words (encryption) or -2 (decryption).
void crypt_block(uint8_t *block, const uint32_t *keys, int step)
{
    uint32_t l0 = load_be32(block), l1 = load_be32(block + 4);
    uint32_t r0 = load_be32(block + 8), r1 = load_be32(block + 12);
    for (int round = 0; round < 16; ++round, keys += step) {
        uint32_t f0 = r0, f1 = r1;
        f_function(f0, f1, keys);
        const uint32_t t0 = l0 ^ f0, t1 = l1 ^ f1;
        l0 = r0;
        l1 = r1;
        r0 = t0;
        r1 = t1;
    }
    // The last round does not swap.
    store_be32(block, r0);
    store_be32(block + 4, r1);
    store_be32(block + 8, l0);
    store_be32(block + 12, l1);
}

void *crypt_ecb(void *data, size_t size, const void *round_keys, bool decrypt)
{
    if (data != nullptr && round_keys != nullptr) {
        uint32_t keys[32];
        memcpy(keys, round_keys, sizeof(keys));
        uint8_t *bytes = static_cast<uint8_t *>(data);
        for (size_t at = 0; at + 16 <= size; at += 16) {
            crypt_block(bytes + at, decrypt ? keys + 30 : keys, decrypt ? -2 : 2);
        }
    }
    return data;
}

} // namespace

extern "C" {

TARVIK_API uint32_t *tarvik_make_round_key_seed(uint32_t *round_keys, const uint8_t *key)
{
    if (round_keys == nullptr || key == nullptr) {
        return nullptr;
    }
    uint32_t k0 = load_be32(key), k1 = load_be32(key + 4);
    uint32_t k2 = load_be32(key + 8), k3 = load_be32(key + 12);
    uint32_t constant = 0x9E3779B9u; // the golden ratio, rotated left by one bit per round
    uint32_t keys[32];
    for (int round = 0; round < 16; ++round) {
        keys[2 * round] = g_function(k0 + k2 - constant);
        keys[2 * round + 1] = g_function(k1 - k3 + constant);
        if (round % 2 == 0) {
            const uint32_t t = k0; // (k0, k1) rotated right by 8 bits
            k0 = k0 >> 8 | k1 << 24;
            k1 = k1 >> 8 | t << 24;
        } else {
            const uint32_t t = k2; // (k2, k3) rotated left by 8 bits
            k2 = k2 << 8 | k3 >> 24;
            k3 = k3 << 8 | t >> 24;
        }
        constant = tarvik::detail::rotl32(constant, 1);
    }
    memcpy(round_keys, keys, sizeof(keys));
    return round_keys;
}

TARVIK_API void *tarvik_encrypt_seed_ecb(void *data, size_t size, const void *round_keys)
{
    return crypt_ecb(data, size, round_keys, false);
}

TARVIK_API void *tarvik_decrypt_seed_ecb(void *data, size_t size, const void *round_keys)
{
    return crypt_ecb(data, size, round_keys, true);
}

TARVIK_API void *tarvik_encrypt_seed_cfb8(void *data, size_t size, uint8_t *iv,
                                          const void *round_keys)
{
    return tarvik_encrypt_mode_cfb8(tarvik_encrypt_seed_ecb, 16, data, size, iv, round_keys);
}

TARVIK_API void *tarvik_decrypt_seed_cfb8(void *data, size_t size, uint8_t *iv,
                                          const void *round_keys)
{
    return tarvik_decrypt_mode_cfb8(tarvik_encrypt_seed_ecb, 16, data, size, iv, round_keys);
}

TARVIK_API void *tarvik_encrypt_seed_ofb8(void *data, size_t size, uint8_t *iv,
                                          const void *round_keys)
{
    return tarvik_encrypt_mode_ofb8(tarvik_encrypt_seed_ecb, 16, data, size, iv, round_keys);
}

TARVIK_API void *tarvik_decrypt_seed_ofb8(void *data, size_t size, uint8_t *iv,
                                          const void *round_keys)
{
    return tarvik_decrypt_mode_ofb8(tarvik_encrypt_seed_ecb, 16, data, size, iv, round_keys);
}

} // extern "C"
