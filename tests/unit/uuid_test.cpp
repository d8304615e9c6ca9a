// Time-based UUIDs: layout and text form, version and variant bits, the clock and the clock
// sequence over many UUIDs taken at once and from several threads, and the node.
#include "tarvik_test.hpp"

#include <cstring>
#include <set>
#include <string>
#include <sys/time.h>
#include <thread>
#include <vector>

namespace {

class UuidTest : public TarvikTest {};

uint64_t timestamp_of(const tarvik_uuid_t &uuid)
{
    return static_cast<uint64_t>(uuid.m_time_hi_and_version & 0x0FFFu) << 48 |
           static_cast<uint64_t>(uuid.m_time_mid) << 32 | uuid.m_time_low;
}

TEST_F(UuidTest, TextLayoutAndBits)
{
    tarvik_uuid_t uuid;
    memset(&uuid, 0, sizeof(uuid));
    uuid.m_time_low = 0x0123ABCDu;
    uuid.m_time_mid = 0x4567;
    uuid.m_time_hi_and_version = 0x189A;
    uuid.m_clock_seq_hi_and_reserved = 0xBC;
    uuid.m_clock_seq_low = 0x0D;
    const uint8_t node[6] = {0xEF, 0x01, 0x23, 0x45, 0x67, 0x89};
    memcpy(uuid.m_node, node, 6);
    char text[37];
    memset(text, 'x', sizeof(text));
    EXPECT_EQ(tarvik_uuid_to_string(&uuid, text), text);
    EXPECT_STREQ(text, "0123abcd-4567-189a-bc0d-ef0123456789");
    EXPECT_EQ(tarvik_uuid_to_string(nullptr, text), nullptr);
    EXPECT_EQ(tarvik_uuid_generate(nullptr), nullptr);

    struct timeval before = {};
    gettimeofday(&before, nullptr);
    ASSERT_EQ(tarvik_uuid_generate(&uuid), &uuid);
    EXPECT_EQ(uuid.m_time_hi_and_version >> 12, 1);
    EXPECT_EQ(uuid.m_clock_seq_hi_and_reserved & 0xC0u, 0x80u);
    // The timestamp counts 100 ns steps from 1582-10-15.
    const uint64_t expected = static_cast<uint64_t>(before.tv_sec) * 10000000u +
                              static_cast<uint64_t>(before.tv_usec) * 10u + 0x01B21DD213814000ull;
    EXPECT_GE(timestamp_of(uuid), expected);
    EXPECT_LT(timestamp_of(uuid), expected + 50000000u); // within five seconds
    tarvik_uuid_generate_ex(&uuid, 0);
    EXPECT_EQ(uuid.m_time_hi_and_version >> 12, 0);
    tarvik_uuid_generate_ex(&uuid, 7); // anything from 2 on is version 1
    EXPECT_EQ(uuid.m_time_hi_and_version >> 12, 1);
}

// UUIDs taken faster than the clock advances stay distinct through the clock sequence.
TEST_F(UuidTest, DistinctAcrossThreads)
{
    constexpr int THREADS = 4;
    constexpr int EACH = 2000;
    std::vector<std::vector<std::string>> taken(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < EACH; ++n) {
                tarvik_uuid_t uuid;
                char text[37];
                tarvik_uuid_generate(&uuid);
                taken[t].push_back(tarvik_uuid_to_string(&uuid, text));
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    std::set<std::string> all;
    for (const auto &list : taken) {
        all.insert(list.begin(), list.end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(THREADS * EACH));
}

// The node is the first interface's non-zero 6-byte hardware address, or zeros.
TEST_F(UuidTest, NodeFromTheFirstHardwareAddress)
{
    uint8_t expected[6] = {};
    tarvik_network_interface_t *list = tarvik_get_network_interface(TARVIK_NETIF_HW_ADDRESS);
    for (auto *record = list; record != nullptr; record = record->next) {
        static const uint8_t zeros[6] = {};
        if (record->hw_address_size == 6 && memcmp(record->hw_address, zeros, 6) != 0) {
            memcpy(expected, record->hw_address, 6);
            break;
        }
    }
    tarvik_free_network_interface(list);
    tarvik_uuid_t first;
    tarvik_uuid_t second;
    tarvik_uuid_generate(&first);
    tarvik_uuid_generate(&second);
    EXPECT_EQ(memcmp(first.m_node, expected, 6), 0);
    EXPECT_EQ(memcmp(second.m_node, expected, 6), 0);
    EXPECT_TRUE(timestamp_of(second) > timestamp_of(first) ||
                (second.m_clock_seq_low | (second.m_clock_seq_hi_and_reserved & 0x3F) << 8) !=
                    (first.m_clock_seq_low | (first.m_clock_seq_hi_and_reserved & 0x3F) << 8));
}

} // namespace
