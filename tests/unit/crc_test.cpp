// CRC-32 (IEEE 802.3): check values, continuation over split input, raw registers, null data.
#include "tarvik_test.hpp"

#include "crc.h"

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

class CrcTest : public TarvikTest {};

TEST_F(CrcTest, KnownValues)
{
    struct Row {
        const char *m_text;
        uint32_t m_crc;
    } rows[] = {
        {"123456789", 0xCBF43926u},
        {"", 0x00000000u},
        {"a", 0xE8B7BE43u},
        {"abc", 0x352441C2u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(tarvik_crc32_ieee_802_3(0, 0, row.m_text, strlen(row.m_text)), row.m_crc)
            << row.m_text;
    }
    const uint8_t zeros[32] = {};
    EXPECT_EQ(tarvik_crc32_ieee_802_3(0, 0, zeros, sizeof(zeros)), 0x190A55ADu);
}

TEST_F(CrcTest, SplitInputContinuesFromThePreviousResult)
{
    const char *text = "123456789";
    for (size_t cut = 0; cut <= 9; ++cut) {
        uint32_t first = tarvik_crc32_ieee_802_3(0, 0, text, cut);
        EXPECT_EQ(tarvik_crc32_ieee_802_3(0, first, text + cut, 9 - cut), 0xCBF43926u) << cut;
    }
    // Raw mode takes the register as given: starting from all ones is the standard CRC.
    EXPECT_EQ(tarvik_crc32_ieee_802_3(1, 0xFFFFFFFFu, text, 9), 0xCBF43926u);
    EXPECT_NE(tarvik_crc32_ieee_802_3(1, 0, text, 9), 0xCBF43926u);
    uint32_t partial = tarvik_crc32_ieee_802_3(0, 0, text, 4);
    EXPECT_EQ(tarvik_crc32_ieee_802_3(1, ~partial, text + 4, 5), 0xCBF43926u);
}

TEST_F(CrcTest, NullDataReturnsTheCrc)
{
    EXPECT_EQ(tarvik_crc32_ieee_802_3(0, 0x12345678u, nullptr, 10), 0x12345678u);
    EXPECT_EQ(tarvik_crc32_ieee_802_3(1, 0xDEADBEEFu, nullptr, 0), 0xDEADBEEFu);
    // No data but a pointer: the complement in, the complement out.
    EXPECT_EQ(tarvik_crc32_ieee_802_3(0, 0x12345678u, "", 0), 0x12345678u);
}

// The table is built on first use; concurrent first users must all see a complete table.
TEST_F(CrcTest, ConcurrentUseAgrees)
{
    std::string data(4096, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7 + 3);
    }
    const uint32_t expected = tarvik_crc32_ieee_802_3(0, 0, data.data(), data.size());
    std::vector<std::thread> threads;
    std::vector<uint32_t> results(4, 0);
    for (size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                results[t] |= tarvik_crc32_ieee_802_3(0, 0, data.data(), data.size()) ^ expected;
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    for (uint32_t difference : results) {
        EXPECT_EQ(difference, 0u);
    }
}

} // namespace
