// AES (FIPS-197), byte-oriented for small code: the two 256-byte S-boxes are computed at
// compile time from the field inverse and the affine map, MixColumns uses doublings in
// GF(2^8). Stateless; round keys belong to the caller.
#include "aes.h"

#include "cipher_mode.h"
#include "detail/common.hpp"

#include <cstring>

namespace {

constexpr uint8_t double_byte(uint8_t x)
{
    return static_cast<uint8_t>(x << 1 ^ ((x & 0x80u) != 0 ? 0x1Bu : 0u));
}

constexpr uint8_t multiply(uint8_t a, uint8_t b)
{
    uint8_t product = 0;
    for (; b != 0; b >>= 1, a = double_byte(a)) {
        if ((b & 1u) != 0) {
            product ^= a;
        }
    }
    return product;
}

constexpr uint8_t rotl8(uint8_t x, int count)
{
    return static_cast<uint8_t>(x << count | x >> (8 - count));
}

struct SBoxes {
    uint8_t m_forward[256];
    uint8_t m_inverse[256];
};

// S(x) = affine(x^254): x^254 is the multiplicative inverse (0 for 0).
constexpr SBoxes make_sboxes()
{
    SBoxes boxes{};
    for (int x = 0; x < 256; ++x) {
        uint8_t inverse = 1;
        for (int bit = 7; bit >= 0; --bit) {
            inverse = multiply(inverse, inverse);
            if ((254 >> bit & 1) != 0) {
                inverse = multiply(inverse, static_cast<uint8_t>(x));
            }
        }
        const uint8_t s = static_cast<uint8_t>(inverse ^ rotl8(inverse, 1) ^ rotl8(inverse, 2) ^
                                               rotl8(inverse, 3) ^ rotl8(inverse, 4) ^ 0x63u);
        boxes.m_forward[x] = s;
        boxes.m_inverse[s] = static_cast<uint8_t>(x);
    }
    return boxes;
}

constexpr SBoxes SBOX = make_sboxes();

void add_round_key(uint8_t *state, const uint8_t *key)
{
    for (int n = 0; n < 16; ++n) {
        state[n] ^= key[n];
    }
}

// SubBytes and ShiftRows together: row r of column c comes from column c + r.
void sub_shift(uint8_t *state)
{
    uint8_t out[16];
    for (int n = 0; n < 16; ++n) {
        out[n] = SBOX.m_forward[state[(n + 4 * (n & 3)) & 15]];
    }
    memcpy(state, out, 16);
}

void inverse_sub_shift(uint8_t *state)
{
    uint8_t out[16];
    for (int n = 0; n < 16; ++n) {
        out[(n + 4 * (n & 3)) & 15] = SBOX.m_inverse[state[n]];
    }
    memcpy(state, out, 16);
}

void mix_columns(uint8_t *state)
{
    for (int c = 0; c < 16; c += 4) {
        const uint8_t a0 = state[c], a1 = state[c + 1], a2 = state[c + 2], a3 = state[c + 3];
        const uint8_t all = a0 ^ a1 ^ a2 ^ a3;
        state[c] = a0 ^ all ^ double_byte(a0 ^ a1);
        state[c + 1] = a1 ^ all ^ double_byte(a1 ^ a2);
        state[c + 2] = a2 ^ all ^ double_byte(a2 ^ a3);
        state[c + 3] = a3 ^ all ^ double_byte(a3 ^ a0);
    }
}

// InvMixColumns = MixColumns after multiplying the even and odd pairs by 4.
void inverse_mix_columns(uint8_t *state)
{
    for (int c = 0; c < 16; c += 4) {
        const uint8_t u = double_byte(double_byte(state[c] ^ state[c + 2]));
        const uint8_t v = double_byte(double_byte(state[c + 1] ^ state[c + 3]));
        state[c] ^= u;
        state[c + 1] ^= v;
        state[c + 2] ^= u;
        state[c + 3] ^= v;
    }
    mix_columns(state);
}

void encrypt_block(uint8_t *state, const uint8_t *keys, int rounds)
{
    add_round_key(state, keys);
    for (int round = 1; round < rounds; ++round) {
        sub_shift(state);
        mix_columns(state);
        add_round_key(state, keys + 16 * round);
    }
    sub_shift(state);
    add_round_key(state, keys + 16 * rounds);
}

void decrypt_block(uint8_t *state, const uint8_t *keys, int rounds)
{
    add_round_key(state, keys + 16 * rounds);
    for (int round = rounds - 1; round > 0; --round) {
        inverse_sub_shift(state);
        add_round_key(state, keys + 16 * round);
        inverse_mix_columns(state);
    }
    inverse_sub_shift(state);
    add_round_key(state, keys);
}

// The key schedule of FIPS-197 for a key of key_words 32-bit words.
uint8_t *expand_key(uint8_t *round_keys, const uint8_t *key, int key_words)
{
    if (round_keys == nullptr || key == nullptr) {
        return nullptr;
    }
    const int rounds = key_words + 6;
    const int total = 4 * (rounds + 1);
    memcpy(round_keys, key, 4u * static_cast<unsigned>(key_words));
    uint8_t constant = 1;
    for (int word = key_words; word < total; ++word) {
        uint8_t temp[4];
        memcpy(temp, round_keys + 4 * (word - 1), 4);
        if (word % key_words == 0) {
            const uint8_t first = temp[0];
            temp[0] = static_cast<uint8_t>(SBOX.m_forward[temp[1]] ^ constant);
            temp[1] = SBOX.m_forward[temp[2]];
            temp[2] = SBOX.m_forward[temp[3]];
            temp[3] = SBOX.m_forward[first];
            constant = double_byte(constant);
        } else if (key_words > 6 && word % key_words == 4) {
            for (uint8_t &byte : temp) {
                byte = SBOX.m_forward[byte];
            }
        }
        for (int n = 0; n < 4; ++n) {
            round_keys[4 * word + n] = round_keys[4 * (word - key_words) + n] ^ temp[n];
        }
    }
    return round_keys;
}

template <int ROUNDS> void *encrypt_ecb(void *data, size_t size, const void *round_keys)
{
    if (data != nullptr && round_keys != nullptr) {
        uint8_t *bytes = static_cast<uint8_t *>(data);
        for (size_t at = 0; at + 16 <= size; at += 16) {
            encrypt_block(bytes + at, static_cast<const uint8_t *>(round_keys), ROUNDS);
        }
    }
    return data;
}

template <int ROUNDS> void *decrypt_ecb(void *data, size_t size, const void *round_keys)
{
    if (data != nullptr && round_keys != nullptr) {
        uint8_t *bytes = static_cast<uint8_t *>(data);
        for (size_t at = 0; at + 16 <= size; at += 16) {
            decrypt_block(bytes + at, static_cast<const uint8_t *>(round_keys), ROUNDS);
        }
    }
    return data;
}

} // namespace

extern "C" {

TARVIK_API uint8_t *tarvik_make_round_key_aes128(uint8_t *round_keys, const uint8_t *key)
{
    return expand_key(round_keys, key, 4);
}

TARVIK_API uint8_t *tarvik_make_round_key_aes192(uint8_t *round_keys, const uint8_t *key)
{
    return expand_key(round_keys, key, 6);
}

TARVIK_API uint8_t *tarvik_make_round_key_aes256(uint8_t *round_keys, const uint8_t *key)
{
    return expand_key(round_keys, key, 8);
}

// The ECB functions double as the block functions of the feedback modes.
#define TARVIK_AES_FUNCTIONS(bits, rounds)                                                         \
    TARVIK_API void *tarvik_encrypt_aes##bits##_ecb(void *data, size_t size,                       \
                                                    const void *round_keys)                        \
    {                                                                                              \
        return encrypt_ecb<rounds>(data, size, round_keys);                                        \
    }                                                                                              \
    TARVIK_API void *tarvik_decrypt_aes##bits##_ecb(void *data, size_t size,                       \
                                                    const void *round_keys)                        \
    {                                                                                              \
        return decrypt_ecb<rounds>(data, size, round_keys);                                        \
    }                                                                                              \
    TARVIK_API void *tarvik_encrypt_aes##bits##_cfb8(void *data, size_t size, uint8_t *iv,         \
                                                     const void *round_keys)                       \
    {                                                                                              \
        return tarvik_encrypt_mode_cfb8(encrypt_ecb<rounds>, 16, data, size, iv, round_keys);      \
    }                                                                                              \
    TARVIK_API void *tarvik_decrypt_aes##bits##_cfb8(void *data, size_t size, uint8_t *iv,         \
                                                     const void *round_keys)                       \
    {                                                                                              \
        return tarvik_decrypt_mode_cfb8(encrypt_ecb<rounds>, 16, data, size, iv, round_keys);      \
    }                                                                                              \
    TARVIK_API void *tarvik_encrypt_aes##bits##_ofb8(void *data, size_t size, uint8_t *iv,         \
                                                     const void *round_keys)                       \
    {                                                                                              \
        return tarvik_encrypt_mode_ofb8(encrypt_ecb<rounds>, 16, data, size, iv, round_keys);      \
    }                                                                                              \
    TARVIK_API void *tarvik_decrypt_aes##bits##_ofb8(void *data, size_t size, uint8_t *iv,         \
                                                     const void *round_keys)                       \
    {                                                                                              \
        return tarvik_decrypt_mode_ofb8(encrypt_ecb<rounds>, 16, data, size, iv, round_keys);      \
    }

TARVIK_AES_FUNCTIONS(128, 10)
TARVIK_AES_FUNCTIONS(192, 12)
TARVIK_AES_FUNCTIONS(256, 14)

#undef TARVIK_AES_FUNCTIONS

} // extern "C"
