// Socket and route tables: line rows (addresses, ports, states, queues, flags, short and
// malformed lines), table texts read in pieces, missing tables, and the system's own tables.
#include "tarvik_test.hpp"

#include "detail/netstat.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using tarvik::detail::SocketKind;
using tarvik::detail::TableList;
using tarvik::detail::Text;

class NetstatTest : public TarvikTest {};

bool socket_line(const std::string &line, SocketKind kind, tarvik_netstat_t *record)
{
    return tarvik::detail::parse_socket_line(Text(line.data(), line.size()), kind, record);
}

template <typename Record> std::vector<Record> copies(Record *list)
{
    std::vector<Record> all;
    for (; list != nullptr; list = list->m_next) {
        all.push_back(*list);
    }
    return all;
}

struct TempDirectory {
    std::string m_path;
    TempDirectory()
    {
        char pattern[] = "/tmp/netstat-test-XXXXXX";
        m_path = mkdtemp(pattern);
    }
    ~TempDirectory() { std::system(("rm -rf " + m_path).c_str()); }
    std::string write(const std::string &name, const std::string &text) const
    {
        std::string path = m_path + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
};

constexpr const char *TCP_HEADER = "  sl  local_address rem_address   st tx_queue rx_queue tr "
                                   "tm->when retrnsmt   uid  timeout inode\n";

TEST_F(NetstatTest, SocketLines)
{
    struct Row {
        SocketKind kind;
        const char *line;
        const char *local;
        uint32_t local_port;
        const char *remote;
        uint32_t remote_port;
        uint32_t state;
        const char *state_text;
        uint64_t tx, rx, inode;
    };
    const Row rows[] = {
        {tarvik::detail::TCP,
         "   0: 0100007F:0277 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0  "
         "      0 12345 1 0000000000000000 100 0 0 10 0",
         "127.0.0.1", 631, "0.0.0.0", 0, 10, "LISTEN", 0, 0, 12345},
        {tarvik::detail::TCP,
         "1: 0A01A8C0:D431 08080808:01BB 01 0000001A:000000FF 02:000001F4 00000000 1000 0 "
         "99887766",
         "192.168.1.10", 54321, "8.8.8.8", 443, 1, "ESTABLISHED", 0x1a, 0xff, 99887766},
        // Tabs, commas and a CR line end separate words too.
        {tarvik::detail::TCP, "2:\t0100007F:1F90,0100007F:C350\t06 0:0 0 0 0 0 7\r", "127.0.0.1",
         8080, "127.0.0.1", 50000, 6, "TIME_WAIT", 0, 0, 7},
        {tarvik::detail::TCP, "3: 0:0 0:0 0C 0:0 0 0 0 0 1", "0.0.0.0", 0, "0.0.0.0", 0, 12,
         "UNKNOWN", 0, 0, 1},
        {tarvik::detail::TCP, "4: 0:0 0:0 0 0:0", "0.0.0.0", 0, "0.0.0.0", 0, 0, "UNKNOWN", 0, 0,
         0},
        {tarvik::detail::TCP6,
         "0: 00000000000000000000000001000000:0016 00000000000000000000000000000000:0000 0A "
         "00000000:00000000 00:00000000 00000000 0 0 4242",
         "::1", 22, "::", 0, 10, "LISTEN", 0, 0, 4242},
        {tarvik::detail::TCP6,
         "1: 0000000000000000FFFF00000100007F:9C40 B80D0120000000000000000001000000:0050 08 "
         "0:0 0 0 0 0 55",
         "::ffff:127.0.0.1", 40000, "2001:db8::1", 80, 8, "CLOSE_WAIT", 0, 0, 55},
        {tarvik::detail::UDP, "0: 00000000:0044 00000000:0000 07 0:0 0 0 0 0 9", "0.0.0.0", 68,
         "0.0.0.0", 0, 7, "", 0, 0, 9},
        {tarvik::detail::UDP, "0: 0100007F:0035 0100007F:0035 01 0:0 0 0 0 0 9", "127.0.0.1", 53,
         "127.0.0.1", 53, 1, "ESTABLISHED", 0, 0, 9},
        {tarvik::detail::UDP6,
         "0: 00000000000000000000000000000000:0222 00000000000000000000000000000000:0000 02 0:0 "
         "0 0 0 0 9",
         "::", 546, "::", 0, 2, "UNKNOWN", 0, 0, 9},
        {tarvik::detail::RAW, "0: 00000000:0001 00000000:0000 07 0:0 0 0 0 0 3", "0.0.0.0", 1,
         "0.0.0.0", 0, 7, "7", 0, 0, 3},
        {tarvik::detail::RAW6,
         "0: 00000000000000000000000000000000:003A 00000000000000000000000000000000:0000 FF 0:0 "
         "0 0 0 0 3",
         "::", 58, "::", 0, 255, "255", 0, 0, 3},
        // An inode word that is no number counts 0.
        {tarvik::detail::TCP, "0: 1:1 1:1 1 1:1 0 0 0 0 12x", "1.0.0.0", 1, "1.0.0.0", 1, 1,
         "ESTABLISHED", 1, 1, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.line);
        tarvik_netstat_t record;
        ASSERT_TRUE(socket_line(row.line, row.kind, &record));
        const char *names[] = {"tcp", "tcp6", "udp", "udp6", "raw", "raw6"};
        EXPECT_STREQ(record.m_proto, names[row.kind]);
        EXPECT_STREQ(record.m_local_address, row.local);
        EXPECT_EQ(record.m_local_port, row.local_port);
        EXPECT_STREQ(record.m_remote_address, row.remote);
        EXPECT_EQ(record.m_remote_port, row.remote_port);
        EXPECT_EQ(record.m_state, row.state);
        EXPECT_STREQ(record.m_state_text, row.state_text);
        EXPECT_EQ(record.m_tx_queue, row.tx);
        EXPECT_EQ(record.m_rx_queue, row.rx);
        EXPECT_EQ(record.m_inode, row.inode);
    }
}

TEST_F(NetstatTest, RefusesShortAndMalformedSocketLines)
{
    const char *lines[] = {
        "",
        "   ",
        "0: 0100007F:0277 00000000:0000 0A",                            // no queue word
        "0: 0100007F:0277 00000000:0000",                               // no state
        "0: 0100007F 00000000:0000 0A 0:0",                             // no port
        "0: 0100007F:10000 00000000:0000 0A 0:0",                       // port beyond 16 bits
        "0: 0100007F:0277: 00000000:0000 0A 0:0",                       // trailing colon
        "0: 10100007F:0277 00000000:0000 0A 0:0",                       // 9 address digits
        "0: :0277 00000000:0000 0A 0:0",                                // no address digits
        "0: 0100007G:0277 00000000:0000 0A 0:0",                        // not hexadecimal
        "0: 0100007F:0277 00000000:0000 0X 0:0",                        // state not hexadecimal
        "0: 0100007F:0277 00000000:0000 100000000 0:0",                 // state beyond 32 bits
        "0: 0100007F:0277 00000000:0000 0A 00000000",                   // one queue only
        "0: 0100007F:0277 00000000:0000 0A 0:0:0",                      // three queues
        "0: 0100007F:0277 00000000:0000 0A 0:10000000000000000",        // queue beyond 64 bits
        "0: 0000000000000000000000000100000:0016 00000000:0000 0A 0:0", // 31 digits
        "  sl  local_address rem_address   st tx_queue rx_queue tr",
    };
    for (const char *line : lines) {
        SCOPED_TRACE(line);
        tarvik_netstat_t record;
        EXPECT_FALSE(socket_line(line, tarvik::detail::TCP, &record));
    }
}

TEST_F(NetstatTest, SocketTableSkipsOnlyAHeaderInItsFirstLine)
{
    std::string body = "0: 0100007F:0001 00000000:0000 0A 0:0 0 0 0 0 1\n"
                       "\n"
                       "garbage\n"
                       "1: 0100007F:0002 00000000:0000 0A 0:0 0 0 0 0 2";
    std::string text = std::string(TCP_HEADER) + body;
    TableList<tarvik_netstat_t> list;
    ASSERT_TRUE(tarvik::detail::parse_socket_table(tarvik::detail::TCP, text.data(), text.size(),
                                                   true, &list));
    std::vector<tarvik_netstat_t> all = copies(list.m_head);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].m_local_port, 1u);
    EXPECT_EQ(all[1].m_local_port, 2u);
    EXPECT_EQ(list.m_tail->m_inode, 2u);
    tarvik_close_netstat(list.m_head);

    // "SL" in another case is a header too; a socket line in front is never one.
    std::string upper = "SL whatever\n" + body;
    TableList<tarvik_netstat_t> second;
    ASSERT_TRUE(tarvik::detail::parse_socket_table(tarvik::detail::TCP, upper.data(), upper.size(),
                                                   true, &second));
    EXPECT_EQ(copies(second.m_head).size(), 2u);
    tarvik_close_netstat(second.m_head);
}

TEST_F(NetstatTest, RouteLines)
{
    struct Row {
        const char *line;
        const char *name;
        const char *destination, *gateway, *mask, *flags_text;
        uint32_t flags, refcnt, use, metric, mtu, window, irtt;
    };
    const Row rows[] = {
        {"eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0", "eth0", "0.0.0.0",
         "192.168.1.1", "0.0.0.0", "UG", 3, 0, 0, 100, 0, 0, 0},
        {"eth0\t0001A8C0\t00000000\t0001\t2\t17\t0\t00FFFFFF\t1500\t64\t9", "eth0", "192.168.1.0",
         "0.0.0.0", "255.255.255.0", "U", 1, 2, 17, 0, 1500, 64, 9},
        {"v0 0100000A 00000000 0005 0 0 0 FFFFFFFF 0 0 0", "v0", "10.0.0.1", "0.0.0.0",
         "255.255.255.255", "UH", 5, 0, 0, 0, 0, 0, 0},
        // Reject routes show "!" in place of "U".
        {"* 0000000A 00000000 0201 0 0 0 000000FF 0 0 0", "*", "10.0.0.0", "0.0.0.0", "255.0.0.0",
         "!", 0x201, 0, 0, 0, 0, 0, 0},
        // Every letter, in order; not up: no text at all.
        {"x 0 0 7FFF", "x", "0.0.0.0", "0.0.0.0", "0.0.0.0", "!GHRDMmWISXNTn", 0x7fff, 0, 0, 0, 0,
         0, 0},
        {"x 0 0 7DFF", "x", "0.0.0.0", "0.0.0.0", "0.0.0.0", "UGHRDMmWISXNTn", 0x7dff, 0, 0, 0, 0,
         0, 0},
        {"x 0 0 7FFE", "x", "0.0.0.0", "0.0.0.0", "0.0.0.0", "", 0x7ffe, 0, 0, 0, 0, 0, 0},
        // Missing columns are 0; numbers are read as far as their digits go, saturating.
        {"lo", "lo", "0.0.0.0", "0.0.0.0", "0.0.0.0", "", 0, 0, 0, 0, 0, 0, 0},
        {"lo 1 2 1x 99999999999 12z", "lo", "1.0.0.0", "2.0.0.0", "0.0.0.0", "U", 1, 0xffffffff, 12,
         0, 0, 0, 0},
        // A name of the full fifteen characters is kept.
        {"abcdefghijklmno 0 0 1", "abcdefghijklmno", "0.0.0.0", "0.0.0.0", "0.0.0.0", "U", 1, 0, 0,
         0, 0, 0, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.line);
        tarvik_route_ipv4_t record;
        ASSERT_TRUE(tarvik::detail::parse_route_line(Text::of(row.line), &record));
        EXPECT_EQ(record.m_ifindex, 0);
        EXPECT_STREQ(record.m_name, row.name);
        EXPECT_STREQ(record.m_destination_text, row.destination);
        EXPECT_STREQ(record.m_gateway_text, row.gateway);
        EXPECT_STREQ(record.m_mask_text, row.mask);
        EXPECT_STREQ(record.m_flags_text, row.flags_text);
        EXPECT_EQ(record.m_flags, row.flags);
        EXPECT_EQ(record.m_refcnt, row.refcnt);
        EXPECT_EQ(record.m_use, row.use);
        EXPECT_EQ(record.m_metric, row.metric);
        EXPECT_EQ(record.m_mtu, row.mtu);
        EXPECT_EQ(record.m_window, row.window);
        EXPECT_EQ(record.m_irtt, row.irtt);
        // Addresses are kept as the kernel stores them: network order in memory.
        in_addr destination{};
        inet_pton(AF_INET, row.destination, &destination);
        EXPECT_EQ(record.m_destination, destination.s_addr);
    }
    tarvik_route_ipv4_t record;
    EXPECT_FALSE(tarvik::detail::parse_route_line(Text::of(""), &record));
    EXPECT_FALSE(tarvik::detail::parse_route_line(Text::of(" \t, "), &record));
    EXPECT_FALSE(tarvik::detail::parse_route_line(Text::of("abcdefghijklmnop 0 0 1"), &record));
    // Found by fuzzing: a name with a NUL byte in it.
    EXPECT_FALSE(tarvik::detail::parse_route_line(Text("\0\0\0001", 4), &record));
    EXPECT_FALSE(tarvik::detail::parse_route_line(Text("e\0h0 0 0 1", 10), &record));
}

TEST_F(NetstatTest, RouteTableSkipsItsHeader)
{
    std::string text = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU"
                       "\tWindow\tIRTT\n"
                       "eth0\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
                       "\n"
                       "iface 0 0 1\n";
    TableList<tarvik_route_ipv4_t> list;
    ASSERT_TRUE(tarvik::detail::parse_route_table(text.data(), text.size(), true, &list));
    std::vector<tarvik_route_ipv4_t> all = copies(list.m_head);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_STREQ(all[0].m_name, "eth0");
    // Only the first line is a header, whatever its case.
    EXPECT_STREQ(all[1].m_name, "iface");
    tarvik_close_route_ipv4(list.m_head);
}

// Tables far larger than one read: every line is found once, in order, whatever the piece
// boundaries cut; an overlong line is dropped without taking its neighbours along.
TEST_F(NetstatTest, ReadsLargeTablesInPieces)
{
    TempDirectory directory;
    std::string tcp = TCP_HEADER;
    const int count = 5000;
    for (int i = 0; i < count; ++i) {
        char line[200];
        snprintf(line, sizeof(line),
                 "%5d: 0100007F:%04X 0100007F:%04X 01 %08X:%08X 00:00000000 00000000     0    "
                 "    0 %d 1 0000000000000000 20 4 30 10 -1\n",
                 i, i + 1, 65535 - i, i, i * 2, 100000 + i);
        tcp += line;
        if (i == 1234) {
            // Valid words in front do not make a row of an overlong line.
            tcp += "9999: 0100007F:FFFF 0100007F:FFFF 01 0:0 0 0 0 0 7 " + std::string(70000, 'x') +
                   "\n";
        }
    }
    tcp.pop_back(); // the last line has no break
    directory.write("tcp", tcp);
    directory.write("udp", "  sl  local_address\n0: 00000000:0035 00000000:0000 07 0:0 0 0 0 0 "
                           "77\n");
    // The IPv6 and raw tables are missing, as on a kernel without them.
    tarvik_netstat_t *list = tarvik::detail::open_netstat_in(directory.m_path.c_str());
    std::vector<tarvik_netstat_t> all = copies(list);
    ASSERT_EQ(all.size(), static_cast<size_t>(count + 1));
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(all[i].m_local_port, static_cast<uint32_t>(i + 1)) << i;
        ASSERT_EQ(all[i].m_remote_port, static_cast<uint32_t>(65535 - i)) << i;
        ASSERT_EQ(all[i].m_tx_queue, static_cast<uint64_t>(i)) << i;
        ASSERT_EQ(all[i].m_rx_queue, static_cast<uint64_t>(i) * 2) << i;
        ASSERT_EQ(all[i].m_inode, static_cast<uint64_t>(100000 + i)) << i;
    }
    EXPECT_STREQ(all[count].m_proto, "udp");
    EXPECT_EQ(all[count].m_inode, 77u);
    EXPECT_EQ(tarvik_close_netstat(list), 0);

    std::string route = "Iface\tDestination\n";
    for (int i = 0; i < count; ++i) {
        char line[160];
        snprintf(line, sizeof(line),
                 "r%-14d\t%08X\t00000000\t0001\t0\t0\t%d\t00FFFFFF\t0\t0\t0"
                 "                                                        \n",
                 i % 7, i, i);
        route += line;
    }
    std::string path = directory.write("route", route);
    tarvik_route_ipv4_t *routes = tarvik::detail::open_route_ipv4_from(path.c_str());
    std::vector<tarvik_route_ipv4_t> all_routes = copies(routes);
    ASSERT_EQ(all_routes.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(all_routes[i].m_metric, static_cast<uint32_t>(i));
        ASSERT_EQ(all_routes[i].m_name, "r" + std::to_string(i % 7));
        ASSERT_EQ(all_routes[i].m_ifindex, 0); // no such interfaces here
    }
    EXPECT_EQ(tarvik_close_route_ipv4(routes), 0);

    EXPECT_EQ(tarvik::detail::open_route_ipv4_from((directory.m_path + "/none").c_str()), nullptr);
    EXPECT_EQ(tarvik::detail::open_route_ipv4_from(directory.write("empty", "").c_str()), nullptr);
    EXPECT_EQ(tarvik::detail::open_netstat_in((directory.m_path + "/none").c_str()), nullptr);
    EXPECT_EQ(tarvik_close_netstat(nullptr), 0);
    EXPECT_EQ(tarvik_close_route_ipv4(nullptr), 0);
}

// The system's own tables: a listener of this process is there, and the loopback route
// names its interface with its index when the table has one.
TEST_F(NetstatTest, ReadsTheSystemTables)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t length = sizeof(address);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    uint32_t port = ntohs(address.sin_port);

    tarvik_netstat_t *list = tarvik_open_netstat();
    bool found = false;
    for (tarvik_netstat_t *record = list; record != nullptr; record = record->m_next) {
        if (std::string(record->m_proto) == "tcp" && record->m_local_port == port &&
            std::string(record->m_local_address) == "127.0.0.1") {
            found = std::string(record->m_state_text) == "LISTEN" && record->m_inode != 0;
        }
    }
    EXPECT_TRUE(found);
    tarvik_close_netstat(list);
    close(listener);

    tarvik_route_ipv4_t *routes = tarvik_open_route_ipv4();
    for (tarvik_route_ipv4_t *route = routes; route != nullptr; route = route->m_next) {
        if (std::string(route->m_name) != "*") {
            EXPECT_NE(route->m_ifindex, 0) << route->m_name;
        }
    }
    tarvik_close_route_ipv4(routes);
}

} // namespace
