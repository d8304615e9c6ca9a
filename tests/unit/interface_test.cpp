// Interface list: flag conversion, display texts, /proc line parsers, address nodes, searches
// over hand-built lists, refresh marks, and the loopback interface of the running system.
#include "tarvik_test.hpp"

#include "crc.h"
#include "detail/interface.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Record = tarvik_network_interface_t;

class InterfaceTest : public TarvikTest {};

sockaddr_in inet4(const char *text)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, text, &address.sin_addr);
    return address;
}

sockaddr_in6 inet6(const char *text)
{
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &address.sin6_addr);
    return address;
}

const sockaddr *sa(const void *address) { return static_cast<const sockaddr *>(address); }

size_t address_count(const Record *record)
{
    size_t count = 0;
    for (auto *node = record->address_head; node != nullptr; node = node->next) {
        EXPECT_EQ(node->owner, record);
        EXPECT_EQ(node->next == nullptr, node == record->address_tail);
        ++count;
    }
    return count;
}

// Builds a list by hand in the given order.
Record *make_list(const std::vector<const char *> &names)
{
    Record *head = nullptr;
    Record **link = &head;
    for (const char *name : names) {
        *link = tarvik_new_network_interface(name, nullptr);
        link = &(*link)->next;
    }
    return head;
}

std::string flags_text(uint32_t flags, const char *separator)
{
    char buffer[512];
    return tarvik_network_interface_ifflags_string(flags, separator, buffer, sizeof(buffer));
}

TEST_F(InterfaceTest, FlagsConversionSwapsMasterAndSlaveAndDropsHighBits)
{
    using tarvik::detail::convert_interface_flags;
    struct Row {
        uint32_t m_kernel;
        uint32_t m_record;
    } rows[] = {
        {0x1, 0x1},      {0x3FF, 0x3FF},       {0x400, 0x800},   {0x800, 0x400},
        {0xC00, 0xC00},  {0x1000, 0x1000},     {0xF000, 0xF000}, {0x10000, 0},
        {0x10041, 0x41}, {0xFFFFFFFF, 0xFFFF}, {0x1443, 0x1843}, {0, 0},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(convert_interface_flags(row.m_kernel), row.m_record) << std::hex << row.m_kernel;
    }
}

TEST_F(InterfaceTest, FlagsText)
{
    EXPECT_EQ(flags_text(0, nullptr), "NOFLAGS");
    EXPECT_EQ(flags_text(0x1, nullptr), "UP");
    EXPECT_EQ(flags_text(0x1043, nullptr), "UP,BROADCAST,RUNNING,MULTICAST");
    EXPECT_EQ(flags_text(0x1043, " "), "UP BROADCAST RUNNING MULTICAST");
    EXPECT_EQ(flags_text(0x9, " | "), "UP | LOOPBACK");
    EXPECT_EQ(flags_text(0x400, nullptr), "SLAVE");
    EXPECT_EQ(flags_text(0x800, nullptr), "MASTER");
    EXPECT_EQ(flags_text(1u << 26, nullptr), "ISATAP");
    EXPECT_EQ(flags_text(0x80000, nullptr), "802_1Q_VLAN");
    EXPECT_EQ(flags_text(1u << 27, nullptr), "UNKNOWN_FLAGS");
    EXPECT_EQ(flags_text(0xF8000000u, nullptr), "UNKNOWN_FLAGS");
    EXPECT_EQ(flags_text(0x80000001u, nullptr), "UP"); // unnamed bits beside named ones vanish
    char small[6];
    EXPECT_STREQ(tarvik_network_interface_ifflags_string(0x3, ",", small, sizeof(small)), "UP,BR");
    EXPECT_EQ(tarvik_network_interface_ifflags_string(0x3, ",", nullptr, 10), nullptr);
    EXPECT_EQ(tarvik_network_interface_ifflags_string(0x3, ",", small, 0), nullptr);
}

TEST_F(InterfaceTest, HardwareTypeNames)
{
    const char *names[] = {"UNSPEC",
                           "Local Loopback",
                           "Ethernet",
                           "Point-to-Point Protocol",
                           "IPv6-in-IPv4",
                           "InfiniBand",
                           "ATM",
                           "IEEE 802.11 wireless",
                           "Tunnel",
                           "IEEE 1394 (firewire)",
                           "ISO 88025 TokenRing"};
    char buffer[64];
    for (uint32_t code = 0; code < 11; ++code) {
        EXPECT_STREQ(tarvik_network_interface_hardware_type_string(code, buffer, sizeof(buffer)),
                     names[code]);
    }
    EXPECT_STREQ(tarvik_network_interface_hardware_type_string(11, buffer, sizeof(buffer)),
                 "UNKNOWN");
    EXPECT_STREQ(tarvik_network_interface_hardware_type_string(772, buffer, sizeof(buffer)),
                 "UNKNOWN");
    EXPECT_EQ(tarvik_network_interface_hardware_type_string(2, buffer, 0), nullptr);
}

TEST_F(InterfaceTest, PhysicalAddressText)
{
    const uint8_t mac[6] = {0x00, 0x1A, 0x2b, 0xC3, 0xff, 0x09};
    char buffer[64];
    EXPECT_STREQ(
        tarvik_network_interface_physical_address_string(2, mac, 6, buffer, sizeof(buffer)),
        "00:1a:2b:c3:ff:09");
    EXPECT_STREQ(
        tarvik_network_interface_physical_address_string(2, mac, 1, buffer, sizeof(buffer)), "00");
    EXPECT_STREQ(
        tarvik_network_interface_physical_address_string(2, mac, 0, buffer, sizeof(buffer)), "");
    EXPECT_STREQ(tarvik_network_interface_physical_address_string(2, nullptr, 6, buffer, 64), "");
    char small[9];
    EXPECT_STREQ(tarvik_network_interface_physical_address_string(2, mac, 6, small, sizeof(small)),
                 "00:1a:2b");
    EXPECT_EQ(tarvik_network_interface_physical_address_string(2, mac, 6, nullptr, 9), nullptr);
}

TEST_F(InterfaceTest, ScopeText)
{
    struct Row {
        uint32_t m_scope;
        const char *m_text;
    } rows[] = {{1, "Host"},
                {2, "Link"},
                {3, "Subnet"},
                {4, "Admin"},
                {5, "Site"},
                {8, "Org"},
                {14, "Global"},
                {0xFF01, "Mapped"},
                {0xFF02, "Compat"},
                {0xFF03, "Multicast"},
                {0, "Unknown"},
                {6, "Unknown"},
                {0xFFFFFFFFu, "Unknown"}};
    char buffer[32];
    for (const Row &row : rows) {
        EXPECT_STREQ(tarvik_network_interface_scope_string(row.m_scope, buffer, sizeof(buffer)),
                     row.m_text)
            << row.m_scope;
    }
    EXPECT_EQ(tarvik_network_interface_scope_string(1, nullptr, 32), nullptr);
}

TEST_F(InterfaceTest, LinkText)
{
    struct Row {
        int32_t m_link, m_autoneg, m_speed, m_duplex;
        const char *m_text;
    } rows[] = {
        {0, 1, 100, 1, "no link"},
        {-1, 1, 100, 1, "no link"},
        {1, 1, 100, 1, "negotiated, 100 Mbit/s, full duplex"},
        {1, 0, 10, 0, "no negotiation, 10 Mbit/s, half duplex"},
        {1, -1, 1000, -1, "1000 Mbit/s"},
        {1, -1, -1, 1, "full duplex"},
        {1, -1, -1, -1, "link"},
        {5, 0, -1, -1, "no negotiation"},
    };
    char buffer[64];
    for (const Row &row : rows) {
        EXPECT_STREQ(tarvik_network_interface_link_string(row.m_link, row.m_autoneg, row.m_speed,
                                                          row.m_duplex, buffer, sizeof(buffer)),
                     row.m_text);
    }
    EXPECT_EQ(tarvik_network_interface_link_string(1, 1, 1, 1, buffer, 0), nullptr);
}

TEST_F(InterfaceTest, NetDevLineParser)
{
    struct Row {
        const char *m_line;
        int m_result;
        const char *m_name;
        int m_counters;
        uint64_t m_rx0, m_rx7, m_tx0, m_tx7;
    } rows[] = {
        {"Inter-|   Receive                            |  Transmit", -1, nullptr, 0, 0, 0, 0, 0},
        {" face |bytes    packets errs drop fifo frame compressed multicast|bytes", -1, nullptr, 0,
         0, 0, 0, 0},
        {"    lo:  123456     789    1    2    3     4          5         6   654321     987    7"
         "    8    9     10       11          12",
         0, "lo", 16, 123456, 6, 654321, 12},
        {"eth0:18446744073709551615 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15", 0, "eth0", 16,
         18446744073709551615ull, 7, 8, 15},
        {"  wlan0:1 2 3", 0, "wlan0", 3, 1, 0, 0, 0},
        {"a-very-long0:1,2|3 4 5 6 7 8 9 10 11 12 13 14 15 16", 0, "a-very-long0", 16, 1, 8, 9, 16},
        {"bad0: 1 x 3", 0, "bad0", 1, 1, 0, 0, 0},
        {"over0: 18446744073709551616 2", 0, "over0", 0, 0, 0, 0, 0},
        {"   : 1 2 3", -1, nullptr, 0, 0, 0, 0, 0},
        {"", -1, nullptr, 0, 0, 0, 0, 0},
        {"no colon at all", -1, nullptr, 0, 0, 0, 0, 0},
    };
    for (const Row &row : rows) {
        std::string line = row.m_line;
        tarvik::detail::NetDevLine parsed;
        ASSERT_EQ(tarvik::detail::parse_net_dev_line(line.data(), &parsed), row.m_result)
            << row.m_line;
        if (row.m_result != 0) {
            continue;
        }
        EXPECT_STREQ(parsed.m_name, row.m_name);
        EXPECT_EQ(parsed.m_counters, row.m_counters) << row.m_line;
        EXPECT_EQ(parsed.m_rx[0], row.m_rx0) << row.m_line;
        EXPECT_EQ(parsed.m_rx[7], row.m_rx7) << row.m_line;
        EXPECT_EQ(parsed.m_tx[0], row.m_tx0) << row.m_line;
        EXPECT_EQ(parsed.m_tx[7], row.m_tx7) << row.m_line;
    }
}

TEST_F(InterfaceTest, IfInet6LineParser)
{
    struct Row {
        const char *m_line;
        int m_result;
        const char *m_address;
        uint32_t m_index, m_prefix, m_scope, m_flags;
        const char *m_name;
    } rows[] = {
        {"00000000000000000000000000000001 01 80 10 80       lo", 0, "::1", 1, 128, 0x10, 0x80,
         "lo"},
        {"fe800000000000000c4669fffe6a9d2d 1a 40 20 80     eth0", 0, "fe80::c46:69ff:fe6a:9d2d",
         0x1a, 64, 0x20, 0x80, "eth0"},
        {"20010db8000000000000000000000005 04 38 00 80 d0", 0, "2001:db8::5", 4, 56, 0, 0x80, "d0"},
        {"20010DB8000000000000000000000005 04 d0", 0, "2001:db8::5", 4, 128, 0, 0, "d0"},
        {"20010db8000000000000000000000005 d0", 0, "2001:db8::5", 0, 128, 0, 0, "d0"},
        {"20010db800000000000000000000005 04 40 00 80 d0", -1, nullptr, 0, 0, 0, 0, nullptr},
        {"20010db8000000000000000000000g05 04 40 00 80 d0", -1, nullptr, 0, 0, 0, 0, nullptr},
        {"20010db8000000000000000000000005 04 81 00 80 d0", -1, nullptr, 0, 0, 0, 0, nullptr},
        {"20010db8000000000000000000000005 04 zz 00 80 d0", -1, nullptr, 0, 0, 0, 0, nullptr},
        {"20010db8000000000000000000000005", -1, nullptr, 0, 0, 0, 0, nullptr},
        {"", -1, nullptr, 0, 0, 0, 0, nullptr},
    };
    for (const Row &row : rows) {
        std::string line = row.m_line;
        tarvik::detail::IfInet6Line parsed;
        ASSERT_EQ(tarvik::detail::parse_if_inet6_line(line.data(), &parsed), row.m_result)
            << row.m_line;
        if (row.m_result != 0) {
            continue;
        }
        in6_addr expected{};
        inet_pton(AF_INET6, row.m_address, &expected);
        EXPECT_EQ(memcmp(parsed.m_address, &expected, 16), 0) << row.m_line;
        EXPECT_EQ(parsed.m_index, row.m_index);
        EXPECT_EQ(parsed.m_prefix_length, row.m_prefix);
        EXPECT_EQ(parsed.m_scope, row.m_scope);
        EXPECT_EQ(parsed.m_flags, row.m_flags);
        EXPECT_STREQ(parsed.m_name, row.m_name);
    }
}

TEST_F(InterfaceTest, PrefixFromNetmask)
{
    using tarvik::detail::interface_prefix_from_mask;
    sockaddr_in mask24 = inet4("255.255.255.0");
    sockaddr_in mask0 = inet4("0.0.0.0");
    sockaddr_in mask32 = inet4("255.255.255.255");
    sockaddr_in mask_hole = inet4("255.0.255.0"); // only the leading run counts
    sockaddr_in6 mask64 = inet6("ffff:ffff:ffff:ffff::");
    sockaddr_in6 mask57 = inet6("ffff:ffff:ffff:ff80::");
    EXPECT_EQ(interface_prefix_from_mask(sa(&mask24), AF_INET), 24u);
    EXPECT_EQ(interface_prefix_from_mask(sa(&mask0), AF_INET), 0u);
    EXPECT_EQ(interface_prefix_from_mask(sa(&mask32), AF_INET), 32u);
    EXPECT_EQ(interface_prefix_from_mask(sa(&mask_hole), AF_INET), 8u);
    EXPECT_EQ(interface_prefix_from_mask(nullptr, AF_INET), 32u);
    EXPECT_EQ(interface_prefix_from_mask(nullptr, AF_INET6), 128u);
    EXPECT_EQ(interface_prefix_from_mask(sa(&mask64), AF_INET6), 64u);
    EXPECT_EQ(interface_prefix_from_mask(sa(&mask57), AF_INET6), 57u);
    EXPECT_EQ(interface_prefix_from_mask(sa(&mask24), AF_INET6), 128u); // other family
}

TEST_F(InterfaceTest, SameAddressTwiceGivesOneNode)
{
    Record *record = tarvik_new_network_interface("eth0", nullptr);
    ASSERT_NE(record, nullptr);
    sockaddr_in a = inet4("10.0.0.1");
    sockaddr_in b = inet4("10.0.0.255");
    sockaddr_in6 c = inet6("fe80::1");
    sockaddr_in6 c_scoped = c;
    c_scoped.sin6_scope_id = 7; // the same address as another source reports it
    tarvik::detail::add_interface_address(record, sa(&a), 24, sa(&b));
    tarvik::detail::add_interface_address(record, sa(&a), 24, sa(&b));
    EXPECT_EQ(address_count(record), 1u);
    EXPECT_EQ(record->valid, TARVIK_NETIF_LISTED | TARVIK_NETIF_IPV4);
    tarvik::detail::add_interface_address(record, sa(&a), 16, sa(&b));  // other prefix
    tarvik::detail::add_interface_address(record, sa(&a), 24, nullptr); // no broadcast
    EXPECT_EQ(address_count(record), 3u);
    tarvik::detail::add_interface_address(record, sa(&c), 64, nullptr);
    tarvik::detail::add_interface_address(record, sa(&c_scoped), 64, nullptr);
    EXPECT_EQ(address_count(record), 4u);
    EXPECT_NE(record->valid & TARVIK_NETIF_IPV6, 0u);
    // A second address equal to the address itself is no broadcast or peer.
    Record *other = tarvik_new_network_interface("eth1", nullptr);
    tarvik::detail::add_interface_address(other, sa(&a), 8, sa(&a));
    ASSERT_NE(other->address_head, nullptr);
    EXPECT_EQ(other->address_head->second_address, nullptr);
    // The copies live in the node: the caller's structures may go.
    const auto *stored = reinterpret_cast<const sockaddr_in *>(record->address_head->address);
    EXPECT_NE(static_cast<const void *>(stored), static_cast<const void *>(&a));
    EXPECT_EQ(stored->sin_addr.s_addr, a.sin_addr.s_addr);
    EXPECT_EQ(record->address_head->prefix_length, 24u);
    EXPECT_EQ(tarvik_free_network_interface(record), 0);
    EXPECT_EQ(tarvik_free_network_interface(other), 0);
    EXPECT_EQ(tarvik_free_network_interface(nullptr), 0);
}

TEST_F(InterfaceTest, NewRecord)
{
    Record *record = tarvik_new_network_interface("eth0", "LAN port");
    ASSERT_NE(record, nullptr);
    EXPECT_STREQ(record->name, "eth0");
    EXPECT_STREQ(record->friendly_name, "LAN port");
    EXPECT_EQ(record->name_crc, tarvik_crc32_ieee_802_3(0, 0, "eth0", 4));
    EXPECT_EQ(record->link, -1);
    EXPECT_EQ(record->autoneg, -1);
    EXPECT_EQ(record->speed, -1);
    EXPECT_EQ(record->duplex, -1);
    EXPECT_EQ(record->rx, nullptr);
    Record *same = tarvik_new_network_interface("eth1", "eth1");
    EXPECT_EQ(same->friendly_name, same->name);
    EXPECT_EQ(tarvik_new_network_interface(nullptr, "x"), nullptr);
    tarvik_free_network_interface(record);
    tarvik_free_network_interface(same);
}

int accept_with_ipv4(Record *record, void *context)
{
    ++*static_cast<int *>(context);
    return (record->valid & TARVIK_NETIF_IPV4) != 0 ? 0 : -1;
}

TEST_F(InterfaceTest, SearchByFilterUsesThePatternOrder)
{
    Record *list = make_list({"lo", "wlan0", "eth1", "en0", "bond0", "ra0", "eth0"});
    EXPECT_STREQ(tarvik_search_network_interface_by_filter(list, nullptr, nullptr, nullptr)->name,
                 "bond0");
    Record *bond = tarvik_search_network_interface_by_name(list, "bond0");
    Record *eth1 = tarvik_search_network_interface_by_name(list, "eth1");
    ASSERT_NE(bond, nullptr);
    ASSERT_NE(eth1, nullptr);
    // Only eth1 has an IPv4 address: the filter skips bond0, and eth1 comes before eth0.
    sockaddr_in a = inet4("10.0.0.1");
    tarvik::detail::add_interface_address(eth1, sa(&a), 24, nullptr);
    int calls = 0;
    EXPECT_EQ(tarvik_search_network_interface_by_filter(list, nullptr, accept_with_ipv4, &calls),
              eth1);
    EXPECT_EQ(calls, 2); // bond0, then eth1
    EXPECT_STREQ(
        tarvik_search_network_interface_by_filter(list, "en*|wlan*", nullptr, nullptr)->name,
        "en0");
    EXPECT_STREQ(tarvik_search_network_interface_by_filter(list, "x*|ra*", nullptr, nullptr)->name,
                 "ra0");
    EXPECT_EQ(tarvik_search_network_interface_by_filter(list, "x*|y*", nullptr, nullptr), nullptr);
    EXPECT_EQ(tarvik_search_network_interface_by_filter(nullptr, nullptr, nullptr, nullptr),
              nullptr);
    Record *only_lo = make_list({"lo", "dummy0"});
    EXPECT_STREQ(
        tarvik_search_network_interface_by_filter(only_lo, nullptr, nullptr, nullptr)->name, "lo");
    tarvik_free_network_interface(only_lo);
    tarvik_free_network_interface(list);
}

TEST_F(InterfaceTest, SearchByNameAndPattern)
{
    Record *list = make_list({"eth0", "eth1", "wlan0"});
    Record *eth1 = list->next;
    EXPECT_EQ(tarvik_search_network_interface_by_name(list, "eth1"), eth1);
    EXPECT_EQ(tarvik_search_network_interface_by_name(list, "eth"), nullptr);
    EXPECT_EQ(tarvik_search_network_interface_by_name(list, nullptr), nullptr);
    // The CRC decides first: a record whose CRC disagrees is not taken even if the text matches.
    eth1->name_crc ^= 1u;
    EXPECT_EQ(tarvik_search_network_interface_by_name(list, "eth1"), nullptr);
    eth1->name_crc ^= 1u;

    EXPECT_EQ(tarvik_search_network_interface_by_name_pattern(list, "eth*", 0), list);
    EXPECT_EQ(tarvik_search_network_interface_by_name_pattern(list, "eth*", TARVIK_NETIF_IPV4),
              nullptr);
    sockaddr_in zero = inet4("0.0.0.0");
    tarvik::detail::add_interface_address(list, sa(&zero), 32, nullptr);
    EXPECT_EQ(tarvik_search_network_interface_by_name_pattern(list, "eth*", TARVIK_NETIF_IPV4),
              nullptr); // 0.0.0.0 does not count
    sockaddr_in a = inet4("192.168.1.2");
    tarvik::detail::add_interface_address(eth1, sa(&a), 24, nullptr);
    EXPECT_EQ(tarvik_search_network_interface_by_name_pattern(list, "eth*", TARVIK_NETIF_IPV4),
              eth1);
    sockaddr_in6 any6 = inet6("::");
    tarvik::detail::add_interface_address(eth1, sa(&any6), 128, nullptr);
    EXPECT_EQ(tarvik_search_network_interface_by_name_pattern(list, "*", TARVIK_NETIF_IPV6),
              nullptr);
    Record *wlan = eth1->next;
    sockaddr_in6 b = inet6("2001:db8::1");
    tarvik::detail::add_interface_address(wlan, sa(&b), 64, nullptr);
    EXPECT_EQ(tarvik_search_network_interface_by_name_pattern(list, "*", TARVIK_NETIF_IPV6), wlan);
    EXPECT_EQ(tarvik_search_network_interface_by_name_pattern(list, "*", TARVIK_NETIF_HW_ADDRESS),
              nullptr);
    wlan->valid |= TARVIK_NETIF_HW_ADDRESS;
    wlan->hw_address_size = 6;
    EXPECT_EQ(tarvik_search_network_interface_by_name_pattern(list, "*", TARVIK_NETIF_HW_ADDRESS),
              wlan);

    EXPECT_EQ(tarvik_search_network_interface_by_name_pattern_list(list, "wlan*|eth*", 0), wlan);
    EXPECT_EQ(tarvik_search_network_interface_by_name_pattern_list(list, "x*|eth1|eth0", 0), eth1);
    EXPECT_EQ(
        tarvik_search_network_interface_by_name_pattern_list(list, "eth*|wlan*", TARVIK_NETIF_IPV6),
        wlan);
    // A pattern longer than any stack buffer still works.
    std::string long_pattern = std::string(200, 'x') + "|" + std::string(100, '*') + "0";
    EXPECT_EQ(tarvik_search_network_interface_by_name_pattern_list(list, long_pattern.c_str(), 0),
              list);
    EXPECT_EQ(tarvik_search_network_interface_by_name_pattern_list(list, "a||", 0), nullptr);
    tarvik_free_network_interface(list);
}

TEST_F(InterfaceTest, IndexAndNameOfLoopback)
{
    uint32_t index = tarvik_interface_name_to_index("lo");
    if (index == 0) {
        GTEST_SKIP() << "no loopback interface visible (emulator without interface requests)";
    }
    EXPECT_EQ(index, if_nametoindex("lo"));
    char *name = tarvik_interface_index_to_name_alloc(index);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "lo");
    tarvik_free_tag(name, "test", 0);
    char buffer[IF_NAMESIZE];
    EXPECT_STREQ(tarvik_interface_index_to_name(index, buffer, sizeof(buffer)), "lo");
    char tiny[2];
    EXPECT_STREQ(tarvik_interface_index_to_name(index, tiny, sizeof(tiny)), "l");
    EXPECT_EQ(tarvik_interface_index_to_name(index, nullptr, 16), nullptr);
    EXPECT_EQ(tarvik_interface_index_to_name(index, buffer, 0), nullptr);
    EXPECT_EQ(tarvik_interface_name_to_index(nullptr), 0u);
    EXPECT_EQ(tarvik_interface_name_to_index("no-such-if0"), 0u);
    EXPECT_EQ(tarvik_interface_index_to_name_alloc(0x7FFFFFF0u), nullptr);
    EXPECT_EQ(tarvik_interface_index_to_name(0x7FFFFFF0u, buffer, sizeof(buffer)), nullptr);
}

// The running system's loopback: listed once although several sources name it, with the
// loopback type and addresses that are not duplicated between getifaddrs and /proc.
TEST_F(InterfaceTest, LoopbackFromTheSystem)
{
    Record *list = tarvik_get_network_interface(TARVIK_NETIF_ALL);
    Record *lo = tarvik_search_network_interface_by_name(list, "lo");
    if (lo == nullptr) {
        tarvik_free_network_interface(list);
        GTEST_SKIP() << "loopback not listed (emulator without netlink/interface requests)";
    }
    std::vector<std::string> names;
    for (Record *record = list; record != nullptr; record = record->next) {
        for (const std::string &seen : names) {
            EXPECT_NE(seen, record->name) << "listed twice";
        }
        names.push_back(record->name);
        EXPECT_NE(record->valid & TARVIK_NETIF_LISTED, 0u);
    }
    EXPECT_NE(lo->valid & TARVIK_NETIF_INDEX, 0u);
    EXPECT_EQ(static_cast<uint32_t>(lo->index), tarvik_interface_name_to_index("lo"));
    EXPECT_NE(lo->flags & TARVIK_NETIF_FLAG_LOOPBACK, 0u);
    if ((lo->valid & TARVIK_NETIF_HW_TYPE) != 0) {
        EXPECT_EQ(lo->hw_type, TARVIK_NETIF_HW_LOOPBACK);
        EXPECT_EQ(lo->valid & TARVIK_NETIF_HW_ADDRESS, 0u);
    }
    if ((lo->valid & TARVIK_NETIF_COUNTERS) != 0) {
        ASSERT_NE(lo->rx, nullptr);
        EXPECT_EQ(lo->tx, lo->rx + 8);
        EXPECT_EQ(lo->tx[8], 0u);
    }
    // Every address at most once.
    for (auto *a = lo->address_head; a != nullptr; a = a->next) {
        for (auto *b = a->next; b != nullptr; b = b->next) {
            bool same =
                a->address->sa_family == b->address->sa_family &&
                a->prefix_length == b->prefix_length &&
                (a->address->sa_family == AF_INET
                     ? memcmp(&reinterpret_cast<sockaddr_in *>(a->address)->sin_addr,
                              &reinterpret_cast<sockaddr_in *>(b->address)->sin_addr, 4)
                     : memcmp(&reinterpret_cast<sockaddr_in6 *>(a->address)->sin6_addr,
                              &reinterpret_cast<sockaddr_in6 *>(b->address)->sin6_addr, 16)) == 0;
            EXPECT_FALSE(same) << "address listed twice on lo";
        }
    }
    if ((lo->valid & TARVIK_NETIF_IPV4) != 0) {
        EXPECT_EQ(tarvik_search_network_interface_by_name_pattern(list, "l?", TARVIK_NETIF_IPV4),
                  lo);
    }
    tarvik_free_network_interface(list);

    // Patterns keep other names out, whichever source reported them.
    list = tarvik_get_network_interface_ex("l*", TARVIK_NETIF_ALL);
    for (Record *record = list; record != nullptr; record = record->next) {
        EXPECT_EQ(record->name[0], 'l') << record->name;
    }
    tarvik_free_network_interface(list);
}

// Refresh against the running system with hand-made old lists: lo pairs up, a made-up name
// goes, a made-up address goes, real addresses arrive, and seen marks are cleaned.
TEST_F(InterfaceTest, RefreshMarks)
{
    Record *probe = tarvik_get_network_interface_ex("lo", TARVIK_NETIF_ALL);
    Record *probe_lo = tarvik_search_network_interface_by_name(probe, "lo");
    bool usable = probe_lo != nullptr && (probe_lo->valid & TARVIK_NETIF_IPV4) != 0;
    tarvik_free_network_interface(probe);
    if (!usable) {
        GTEST_SKIP() << "loopback with an IPv4 address not visible here";
    }
    Record *list = make_list({"nosuch0", "lo"});
    Record *gone = list;
    Record *lo = list->next;
    sockaddr_in fake = inet4("10.254.254.254");
    tarvik::detail::add_interface_address(lo, sa(&fake), 8, nullptr);

    list = tarvik_update_network_interface_ex(list, "lo|nosuch0", TARVIK_NETIF_ALL);
    ASSERT_EQ(list, gone);
    ASSERT_EQ(list->next, lo);
    EXPECT_EQ(lo->next, nullptr);
    EXPECT_EQ(gone->changes, TARVIK_NETIF_CHANGE_GONE);
    EXPECT_EQ(lo->changes, TARVIK_NETIF_CHANGE_CHANGED);
    EXPECT_NE(lo->valid & TARVIK_NETIF_INDEX, 0u);
    EXPECT_NE(lo->flags & TARVIK_NETIF_FLAG_LOOPBACK, 0u);
    ASSERT_NE(lo->address_head, nullptr);
    EXPECT_EQ(lo->address_head->changes, TARVIK_NETIF_CHANGE_GONE); // the made-up address
    size_t arrived = 0;
    for (auto *node = lo->address_head->next; node != nullptr; node = node->next) {
        EXPECT_EQ(node->changes, TARVIK_NETIF_CHANGE_NEW);
        EXPECT_EQ(node->owner, lo);
        ++arrived;
    }
    EXPECT_GE(arrived, 1u);
    address_count(lo);

    // Unchanged second refresh: marks accumulate until the caller says it has seen them.
    list = tarvik_update_network_interface_ex(list, "lo|nosuch0", TARVIK_NETIF_ALL);
    EXPECT_EQ(gone->changes, TARVIK_NETIF_CHANGE_GONE);
    EXPECT_EQ(lo->changes, TARVIK_NETIF_CHANGE_CHANGED);

    gone->changes |= TARVIK_NETIF_CHANGE_SEEN;
    lo->changes |= TARVIK_NETIF_CHANGE_SEEN;
    list = tarvik_update_network_interface_ex(list, "lo|nosuch0", TARVIK_NETIF_ALL);
    ASSERT_EQ(list, lo); // the seen gone record is freed
    EXPECT_EQ(lo->next, nullptr);
    EXPECT_EQ(lo->changes, 0u); // nothing differs from the last read
    EXPECT_EQ(address_count(lo), arrived);
    for (auto *node = lo->address_head; node != nullptr; node = node->next) {
        EXPECT_EQ(node->changes, 0u);
    }

    // A changed part is copied and marked.
    const uint32_t real_mtu = lo->mtu;
    lo->mtu = real_mtu + 1;
    list = tarvik_update_network_interface_ex(list, "lo", TARVIK_NETIF_ALL);
    EXPECT_EQ(lo->changes, TARVIK_NETIF_CHANGE_CHANGED);
    EXPECT_EQ(lo->mtu, real_mtu); // copied back from the system
    tarvik_free_network_interface(list);

    // No old list: everything is new.
    list = tarvik_update_network_interface_ex(nullptr, "lo", TARVIK_NETIF_ALL);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->changes, TARVIK_NETIF_CHANGE_NEW);
    tarvik_free_network_interface(list);
}

} // namespace
