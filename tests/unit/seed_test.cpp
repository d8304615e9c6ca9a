// SEED: the RFC 4269 vectors, random blocks against openssl's seed-ecb, and the CFB-8/OFB-8
// wrappers round-tripping across calls.
#include "tarvik_test.hpp"

#include "peer.hpp"

#include <cstring>

namespace {

class SeedTest : public TarvikTest {};

std::string bytes_of(const std::string &hex)
{
    const std::vector<unsigned char> bytes = from_hex(hex);
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(SeedTest, Rfc4269Vectors)
{
    const struct {
        const char *m_key;
        const char *m_plain;
        const char *m_cipher;
    } rows[] = {
        {"00000000000000000000000000000000", "000102030405060708090a0b0c0d0e0f",
         "5ebac6e0054e166819aff1cc6d346cdb"},
        {"000102030405060708090a0b0c0d0e0f", "00000000000000000000000000000000",
         "c11f22f20140505084483597e4370f43"},
        {"4706480851e61be85d74bfb3fd956185", "83a2f8a288641fb9a4e9a5cc2f131c7d",
         "ee54d13ebcae706d226bc3142cd40d4a"},
        {"28dbc3bc49ffd87dcfa509b11d422be7", "b41e6be2eba84a148e2eed84593c5ec7",
         "9b9b7bfcd1813cb95d0b3618f40f5122"},
    };
    for (const auto &row : rows) {
        uint32_t round_keys[32];
        const std::string key = bytes_of(row.m_key);
        ASSERT_EQ(
            tarvik_make_round_key_seed(round_keys, reinterpret_cast<const uint8_t *>(key.data())),
            round_keys);
        std::string data = bytes_of(row.m_plain) + "xyz";
        EXPECT_EQ(tarvik_encrypt_seed_ecb(data.data(), data.size(), round_keys), data.data());
        EXPECT_EQ(to_hex(data.data(), 16), row.m_cipher);
        EXPECT_EQ(data.substr(16), "xyz");
        tarvik_decrypt_seed_ecb(data.data(), data.size(), round_keys);
        EXPECT_EQ(to_hex(data.data(), 16), row.m_plain);
    }
    EXPECT_EQ(tarvik_make_round_key_seed(nullptr, nullptr), nullptr);
}

TEST_F(SeedTest, RandomBlocksMatchOpenssl)
{
    const std::string openssl = "openssl enc -seed-ecb -nopad -provider legacy -provider default";
    if (!peer_available("echo -n 0123456789abcdef | " + openssl +
                        " -K 00000000000000000000000000000000 | od -c")) {
        GTEST_SKIP() << "openssl with SEED cannot run here";
    }
    std::mt19937 random(4269);
    for (int n = 0; n < 10; ++n) {
        const std::string key = random_bytes(random, 16);
        const std::string plain = random_bytes(random, 16 * (1 + random() % 20));
        ScratchFile input(plain);
        const std::string expected = run_peer(openssl + " -K " + to_hex(key.data(), 16) + " -in " +
                                              input.path() + " | od -An -v -tx1 | tr -d ' \\n'");
        uint32_t round_keys[32];
        tarvik_make_round_key_seed(round_keys, reinterpret_cast<const uint8_t *>(key.data()));
        std::string data = plain;
        tarvik_encrypt_seed_ecb(data.data(), data.size(), round_keys);
        EXPECT_EQ(to_hex(data.data(), data.size()), expected);
    }
}

TEST_F(SeedTest, FeedbackModesRoundTripAcrossCalls)
{
    std::mt19937 random(16);
    const std::string key = random_bytes(random, 16);
    const std::string iv = random_bytes(random, 16);
    const std::string plain = random_bytes(random, 513);
    uint32_t round_keys[32];
    tarvik_make_round_key_seed(round_keys, reinterpret_cast<const uint8_t *>(key.data()));
    using Mode = void *(*)(void *, size_t, uint8_t *, const void *);
    const std::pair<Mode, Mode> modes[] = {
        {tarvik_encrypt_seed_cfb8, tarvik_decrypt_seed_cfb8},
        {tarvik_encrypt_seed_ofb8, tarvik_decrypt_seed_ofb8},
    };
    std::string previous;
    for (const auto &[encrypt, decrypt] : modes) {
        std::string data = plain;
        uint8_t shift[16];
        memcpy(shift, iv.data(), 16);
        encrypt(data.data(), 200, shift, round_keys);
        encrypt(data.data() + 200, data.size() - 200, shift, round_keys);
        EXPECT_NE(data, plain);
        EXPECT_NE(data, previous); // the two modes differ after the first byte
        previous = data;
        memcpy(shift, iv.data(), 16);
        decrypt(data.data(), 1, shift, round_keys);
        decrypt(data.data() + 1, data.size() - 1, shift, round_keys);
        EXPECT_EQ(data, plain);
    }
}

} // namespace
