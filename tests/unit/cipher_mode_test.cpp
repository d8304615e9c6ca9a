// Feedback modes over a caller's block function: the CFB-8 steps over a toy cipher whose
// output is easy to predict, blocks larger than the stack work area, and null arguments.
#include "tarvik_test.hpp"

#include <cstring>
#include <vector>

namespace {

class CipherModeTest : public TarvikTest {};

// A toy block function: adds the key byte to every byte and reverses the block.
void *toy_cipher(void *block, size_t size, const void *key)
{
    uint8_t *bytes = static_cast<uint8_t *>(block);
    const uint8_t add = *static_cast<const uint8_t *>(key);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(bytes[i] + add);
    }
    for (size_t i = 0; i < size / 2; ++i) {
        std::swap(bytes[i], bytes[size - 1 - i]);
    }
    return block;
}

// CFB-8 and OFB-8 by their definitions, for any block size.
std::vector<uint8_t> reference(bool ofb, std::vector<uint8_t> data, std::vector<uint8_t> shift,
                               uint8_t key)
{
    for (uint8_t &byte : data) {
        std::vector<uint8_t> work = shift;
        toy_cipher(work.data(), work.size(), &key);
        const uint8_t out = static_cast<uint8_t>(byte ^ work[0]);
        shift.erase(shift.begin());
        shift.push_back(ofb ? work[0] : out);
        byte = out;
    }
    return data;
}

TEST_F(CipherModeTest, StackAndHeapWorkBlocks)
{
    const uint8_t key = 0x35;
    for (size_t block_size : {1u, 8u, 16u, 32u, 33u, 100u}) {
        std::vector<uint8_t> iv(block_size);
        std::vector<uint8_t> plain(77);
        for (size_t i = 0; i < iv.size(); ++i) {
            iv[i] = static_cast<uint8_t>(i * 13 + 1);
        }
        for (size_t i = 0; i < plain.size(); ++i) {
            plain[i] = static_cast<uint8_t>(i * 7);
        }
        for (bool ofb : {false, true}) {
            std::vector<uint8_t> data = plain;
            std::vector<uint8_t> shift = iv;
            auto encrypt = ofb ? tarvik_encrypt_mode_ofb8 : tarvik_encrypt_mode_cfb8;
            auto decrypt = ofb ? tarvik_decrypt_mode_ofb8 : tarvik_decrypt_mode_cfb8;
            EXPECT_EQ(encrypt(toy_cipher, block_size, data.data(), data.size(), shift.data(), &key),
                      data.data());
            EXPECT_EQ(data, reference(ofb, plain, iv, key)) << block_size << " ofb " << ofb;
            shift = iv;
            decrypt(toy_cipher, block_size, data.data(), 30, shift.data(), &key);
            decrypt(toy_cipher, block_size, data.data() + 30, data.size() - 30, shift.data(), &key);
            EXPECT_EQ(data, plain) << block_size << " ofb " << ofb;
        }
    }
}

TEST_F(CipherModeTest, NullArgumentsLeaveDataAlone)
{
    uint8_t data[4] = {1, 2, 3, 4};
    uint8_t iv[16] = {};
    const uint8_t key = 1;
    EXPECT_EQ(tarvik_encrypt_mode_cfb8(nullptr, 16, data, 4, iv, &key), data);
    EXPECT_EQ(tarvik_encrypt_mode_cfb8(toy_cipher, 0, data, 4, iv, &key), data);
    EXPECT_EQ(tarvik_encrypt_mode_ofb8(toy_cipher, 16, data, 4, nullptr, &key), data);
    EXPECT_EQ(tarvik_decrypt_mode_cfb8(toy_cipher, 16, nullptr, 4, iv, &key), nullptr);
    const uint8_t expected[4] = {1, 2, 3, 4};
    EXPECT_EQ(memcmp(data, expected, 4), 0);
}

} // namespace
