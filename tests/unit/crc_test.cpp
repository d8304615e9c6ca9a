// Checksums: CRC-32 (IEEE 802.3) check values, continuation over split input, raw registers,
// null data; CRC-16/IBM and CCITT, CRC-64/ISO and Adler-32 check values; CRC-32 and Adler-32
// of random inputs in random pieces against Python's zlib.
#include "tarvik_test.hpp"

#include "crc.h"
#include "detail/crc.hpp"
#include "peer.hpp"

#include <sstream>

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

TEST_F(CrcTest, OtherChecksumsCheckValues)
{
    const char *text = "123456789";
    EXPECT_EQ(tarvik_crc16_ibm(0, 0, text, 9), 0xBB3Du);               // CRC-16/ARC
    EXPECT_EQ(tarvik::detail::crc16_ccitt(0, text, 9), 0x2189u);       // CRC-16/KERMIT
    EXPECT_EQ(tarvik::detail::crc16_ccitt(0xFFFF, text, 9), 0x6F91u);  // CRC-16/MCRF4XX
    EXPECT_EQ(tarvik_crc64_iso(0, 0, text, 9), 0xB90956C775A41001ull); // CRC-64/GO-ISO
    EXPECT_EQ(tarvik_update_adler32(1, "Wikipedia", 9), 0x11E60398u);
    EXPECT_EQ(tarvik_update_adler32(1, "", 0), 1u);
    // Only the low 16 bits are the register; no inversion, so splitting just carries it.
    EXPECT_EQ(tarvik_crc16_ibm(1, 0xABCD0000u, text, 9), 0xBB3Du);
    for (size_t cut = 0; cut <= 9; ++cut) {
        EXPECT_EQ(tarvik_crc16_ibm(0, tarvik_crc16_ibm(0, 0, text, cut), text + cut, 9 - cut),
                  0xBB3Du);
        EXPECT_EQ(tarvik_crc64_iso(0, tarvik_crc64_iso(0, 0, text, cut), text + cut, 9 - cut),
                  0xB90956C775A41001ull);
        EXPECT_EQ(tarvik_update_adler32(tarvik_update_adler32(1, text, cut), text + cut, 9 - cut),
                  tarvik_update_adler32(1, text, 9));
    }
    EXPECT_EQ(tarvik_crc64_iso(1, ~0ull, text, 9), 0xB90956C775A41001ull);
    // A null data gives the value back unchanged.
    EXPECT_EQ(tarvik_crc16_ibm(0, 0x12345u, nullptr, 4), 0x12345u);
    EXPECT_EQ(tarvik_crc64_iso(0, 42u, nullptr, 4), 42u);
    EXPECT_EQ(tarvik_update_adler32(7u, nullptr, 4), 7u);
}

// Long runs of 0xFF drive Adler-32's sums to their largest before each reduction.
TEST_F(CrcTest, AdlerLongRunsOfHighBytes)
{
    const std::string ones(100000, '\xFF');
    uint32_t a = 1;
    uint32_t b = 0;
    for (unsigned char c : ones) {
        a = (a + c) % 65521u;
        b = (b + a) % 65521u;
    }
    EXPECT_EQ(tarvik_update_adler32(1, ones.data(), ones.size()), b << 16 | a);
}

TEST_F(CrcTest, RandomPiecesMatchPythonZlib)
{
    const std::string python = "/usr/bin/python3";
    if (!peer_available(python + " -c 'import zlib; print(1)'")) {
        GTEST_SKIP() << "Python's zlib cannot run here";
    }
    std::mt19937 random(1950);
    std::vector<std::unique_ptr<ScratchFile>> files;
    std::vector<std::string> inputs;
    std::string names;
    for (int n = 0; n < 30; ++n) {
        inputs.push_back(random_bytes(random, random() % (n < 25 ? 5000 : 400000)));
        files.push_back(std::make_unique<ScratchFile>(inputs.back()));
        names += " " + files.back()->path();
    }
    std::istringstream peer(run_peer(python +
                                     " -c 'import sys, zlib\nfor name in sys.argv[1:]:\n"
                                     "    data = open(name, \"rb\").read()\n"
                                     "    print(zlib.crc32(data), zlib.adler32(data))'" +
                                     names));
    for (const std::string &input : inputs) {
        uint32_t expected_crc = 0;
        uint32_t expected_adler = 0;
        ASSERT_TRUE(peer >> expected_crc >> expected_adler);
        uint32_t crc = 0;
        uint32_t adler = 1;
        push_in_pieces(random, input, 1 + random() % 300, [&](const char *piece, size_t length) {
            crc = tarvik_crc32_ieee_802_3(0, crc, piece, length);
            adler = tarvik_update_adler32(adler, piece, length);
        });
        EXPECT_EQ(crc, expected_crc) << input.size() << " bytes";
        EXPECT_EQ(adler, expected_adler) << input.size() << " bytes";
    }
}

} // namespace
