// Wake-on-LAN magic packet: six 0xFF bytes and the address sixteen times, refused for a short
// buffer or missing arguments.
#include "tarvik_test.hpp"

#include <cstring>
#include <vector>

namespace {

class WolTest : public TarvikTest {};

TEST_F(WolTest, PacketIsSyncBytesThenSixteenCopies)
{
    const uint8_t mac[6] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab};
    std::vector<uint8_t> packet(TARVIK_WOL_PACKET_SIZE + 4, 0x5a);
    ASSERT_EQ(tarvik_wol_packet(mac, packet.data(), packet.size()), 102);
    for (int n = 0; n < 6; ++n) {
        EXPECT_EQ(packet[n], 0xff);
    }
    for (int copy = 0; copy < 16; ++copy) {
        EXPECT_EQ(memcmp(packet.data() + 6 + 6 * copy, mac, 6), 0) << copy;
    }
    EXPECT_EQ(packet[102], 0x5a) << "nothing written past the packet";
}

TEST_F(WolTest, RefusesShortBuffersAndNulls)
{
    const uint8_t mac[6] = {};
    uint8_t packet[TARVIK_WOL_PACKET_SIZE];
    memset(packet, 0x5a, sizeof(packet));
    EXPECT_EQ(tarvik_wol_packet(mac, packet, sizeof(packet) - 1), -1);
    EXPECT_EQ(packet[0], 0x5a);
    EXPECT_EQ(tarvik_wol_packet(nullptr, packet, sizeof(packet)), -1);
    EXPECT_EQ(tarvik_wol_packet(mac, nullptr, sizeof(packet)), -1);
}

} // namespace
