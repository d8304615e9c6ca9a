// AES: the FIPS-197 vectors and key expansion, ECB leaving a partial block alone, and the
// CFB-8 mode against openssl for random keys, IVs and lengths in random pieces; OFB-8 against
// a keystream built from the ECB function.
#include "tarvik_test.hpp"

#include "peer.hpp"

#include <cstring>

namespace {

class AesTest : public TarvikTest {};

struct Variant {
    int m_bits;
    uint8_t *(*m_expand)(uint8_t *, const uint8_t *);
    void *(*m_encrypt)(void *, size_t, const void *);
    void *(*m_decrypt)(void *, size_t, const void *);
    void *(*m_cfb_encrypt)(void *, size_t, uint8_t *, const void *);
    void *(*m_cfb_decrypt)(void *, size_t, uint8_t *, const void *);
    void *(*m_ofb_encrypt)(void *, size_t, uint8_t *, const void *);
    void *(*m_ofb_decrypt)(void *, size_t, uint8_t *, const void *);
};

const Variant VARIANTS[] = {
    {128, tarvik_make_round_key_aes128, tarvik_encrypt_aes128_ecb, tarvik_decrypt_aes128_ecb,
     tarvik_encrypt_aes128_cfb8, tarvik_decrypt_aes128_cfb8, tarvik_encrypt_aes128_ofb8,
     tarvik_decrypt_aes128_ofb8},
    {192, tarvik_make_round_key_aes192, tarvik_encrypt_aes192_ecb, tarvik_decrypt_aes192_ecb,
     tarvik_encrypt_aes192_cfb8, tarvik_decrypt_aes192_cfb8, tarvik_encrypt_aes192_ofb8,
     tarvik_decrypt_aes192_ofb8},
    {256, tarvik_make_round_key_aes256, tarvik_encrypt_aes256_ecb, tarvik_decrypt_aes256_ecb,
     tarvik_encrypt_aes256_cfb8, tarvik_decrypt_aes256_cfb8, tarvik_encrypt_aes256_ofb8,
     tarvik_decrypt_aes256_ofb8},
};

std::string bytes_of(const std::string &hex)
{
    const std::vector<unsigned char> bytes = from_hex(hex);
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(AesTest, Fips197Vectors)
{
    const char *expected[] = {"69c4e0d86a7b0430d8cdb78070b4c55a",
                              "dda97ca4864cdfe06eaf70a0ec0d7191",
                              "8ea2b7ca516745bfeafc49904b496089"};
    std::string key;
    for (int n = 0; n < 32; ++n) {
        key += static_cast<char>(n);
    }
    for (size_t v = 0; v < 3; ++v) {
        const Variant &variant = VARIANTS[v];
        uint8_t round_keys[240];
        ASSERT_EQ(variant.m_expand(round_keys, reinterpret_cast<const uint8_t *>(key.data())),
                  round_keys);
        // One whole block and a 5-byte tail that must stay as it is.
        std::string data = bytes_of("00112233445566778899aabbccddeeff") + "tail!";
        EXPECT_EQ(variant.m_encrypt(data.data(), data.size(), round_keys), data.data());
        EXPECT_EQ(to_hex(data.data(), 16), expected[v]) << variant.m_bits;
        EXPECT_EQ(data.substr(16), "tail!");
        variant.m_decrypt(data.data(), data.size(), round_keys);
        EXPECT_EQ(to_hex(data.data(), 16), "00112233445566778899aabbccddeeff");
    }
    // The worked example: its last round key and its cipher text.
    uint8_t round_keys[176];
    const std::string key128 = bytes_of("2b7e151628aed2a6abf7158809cf4f3c");
    tarvik_make_round_key_aes128(round_keys, reinterpret_cast<const uint8_t *>(key128.data()));
    EXPECT_EQ(to_hex(round_keys + 160, 16), "d014f9a8c9ee2589e13f0cc8b6630ca6");
    std::string block = bytes_of("3243f6a8885a308d313198a2e0370734");
    tarvik_encrypt_aes128_ecb(block.data(), 16, round_keys);
    EXPECT_EQ(to_hex(block.data(), 16), "3925841d02dc09fbdc118597196a0b32");
    EXPECT_EQ(tarvik_make_round_key_aes128(nullptr, round_keys), nullptr);
    EXPECT_EQ(tarvik_encrypt_aes128_ecb(nullptr, 16, round_keys), nullptr);
}

TEST_F(AesTest, Cfb8MatchesOpensslAndRoundTrips)
{
    const bool openssl = peer_available("openssl version");
    std::mt19937 random(197);
    for (int n = 0; n < 18; ++n) {
        const Variant &variant = VARIANTS[n % 3];
        const std::string key = random_bytes(random, static_cast<size_t>(variant.m_bits / 8));
        const std::string iv = random_bytes(random, 16);
        const std::string plain = random_bytes(random, random() % 700);
        uint8_t round_keys[240];
        variant.m_expand(round_keys, reinterpret_cast<const uint8_t *>(key.data()));
        // Encrypted in random pieces: the IV carries the stream from call to call.
        std::string cipher;
        uint8_t register_bytes[16];
        memcpy(register_bytes, iv.data(), 16);
        push_in_pieces(random, plain, 1 + random() % 40, [&](const char *p, size_t length) {
            std::string piece(p, length);
            variant.m_cfb_encrypt(piece.data(), length, register_bytes, round_keys);
            cipher += piece;
        });
        if (openssl) {
            ScratchFile input(plain);
            const std::string expected =
                run_peer("openssl enc -aes-" + std::to_string(variant.m_bits) + "-cfb8 -K " +
                         to_hex(key.data(), key.size()) + " -iv " + to_hex(iv.data(), 16) +
                         " -in " + input.path() + " | od -An -v -tx1 | tr -d ' \\n'");
            EXPECT_EQ(to_hex(cipher.data(), cipher.size()), expected) << variant.m_bits;
        }
        std::string back = cipher;
        memcpy(register_bytes, iv.data(), 16);
        variant.m_cfb_decrypt(back.data(), back.size(), register_bytes, round_keys);
        EXPECT_EQ(back, plain);
    }
}

// OFB-8: each keystream byte is the first byte of the encrypted register, which then shifts
// that byte in; decryption is the same operation.
TEST_F(AesTest, Ofb8FollowsItsKeystream)
{
    std::mt19937 random(8);
    for (const Variant &variant : VARIANTS) {
        const std::string key = random_bytes(random, static_cast<size_t>(variant.m_bits / 8));
        const std::string iv = random_bytes(random, 16);
        const std::string plain = random_bytes(random, 300);
        uint8_t round_keys[240];
        variant.m_expand(round_keys, reinterpret_cast<const uint8_t *>(key.data()));
        std::string expected = plain;
        uint8_t shift[16];
        memcpy(shift, iv.data(), 16);
        for (char &c : expected) {
            uint8_t block[16];
            memcpy(block, shift, 16);
            variant.m_encrypt(block, 16, round_keys);
            c = static_cast<char>(c ^ block[0]);
            memmove(shift, shift + 1, 15);
            shift[15] = block[0];
        }
        std::string data = plain;
        uint8_t register_bytes[16];
        memcpy(register_bytes, iv.data(), 16);
        variant.m_ofb_encrypt(data.data(), 100, register_bytes, round_keys);
        variant.m_ofb_encrypt(data.data() + 100, 200, register_bytes, round_keys);
        EXPECT_EQ(data, expected) << variant.m_bits;
        EXPECT_EQ(memcmp(register_bytes, shift, 16), 0);
        memcpy(register_bytes, iv.data(), 16);
        variant.m_ofb_decrypt(data.data(), data.size(), register_bytes, round_keys);
        EXPECT_EQ(data, plain);
    }
}

} // namespace
