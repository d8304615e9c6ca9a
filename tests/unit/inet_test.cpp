// Unit tests of the addresses module: the address-string grammar (table rows and a
// differential run against the C library's parser), printing (rows and a differential run
// against the C library's printer), socket-address helpers, IPv6 classes and the checksum.
#if defined(__GNUC__) && !defined(__clang__)
// g++ 12 reports a false "maybe uninitialized" inside <regex>'s std::function states.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "tarvik_test.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

class InetTest : public TarvikTest {};

// Everything a parse produced, decoded with the platform's own structures.
struct Parsed {
    int rc = -1;
    int family = -1;
    std::vector<uint8_t> address;
    uint32_t port = 0;
    uint32_t scope = 0;
    std::string path;
};

Parsed parse(int family, const std::string &text, uint32_t default_port)
{
    alignas(8) uint8_t buffer[TARVIK_SOCKADDR_BUFFER_SIZE];
    memset(buffer, 0xA5, sizeof(buffer));
    Parsed out;
    out.rc = tarvik_inet_ptos(family, text.c_str(), default_port,
                              reinterpret_cast<struct sockaddr *>(buffer), sizeof(buffer));
    if (out.rc != 0) {
        return out;
    }
    sa_family_t sa_family = 0;
    memcpy(&sa_family, buffer, sizeof(sa_family));
    out.family = sa_family;
    if (sa_family == AF_INET) {
        struct sockaddr_in in;
        memcpy(&in, buffer, sizeof(in));
        const auto *bytes = reinterpret_cast<const uint8_t *>(&in.sin_addr);
        out.address.assign(bytes, bytes + 4);
        out.port = ntohs(in.sin_port);
    } else if (sa_family == AF_INET6) {
        struct sockaddr_in6 in6;
        memcpy(&in6, buffer, sizeof(in6));
        out.address.assign(in6.sin6_addr.s6_addr, in6.sin6_addr.s6_addr + 16);
        out.port = ntohs(in6.sin6_port);
        out.scope = in6.sin6_scope_id;
        EXPECT_EQ(in6.sin6_flowinfo, 0u) << text;
    } else if (sa_family == AF_UNIX) {
        struct sockaddr_un un;
        memcpy(&un, buffer, sizeof(un));
        out.path.assign(un.sun_path, strnlen(un.sun_path, sizeof(un.sun_path)));
    }
    return out;
}

std::vector<uint8_t> system_bytes(int family, const char *text)
{
    uint8_t bytes[16] = {};
    EXPECT_EQ(inet_pton(family, text, bytes), 1) << "bad reference text " << text;
    return std::vector<uint8_t>(bytes, bytes + (family == AF_INET ? 4 : 16));
}

struct ParseRow {
    int family;        // argument
    const char *text;  // argument
    uint32_t deflt;    // default port argument
    int result_family; // -1: the parse must fail
    const char *address;
    uint32_t port;
    uint32_t scope;
};

constexpr int FAIL = -1;

const ParseRow PARSE_ROWS[] = {
    // IPv4: ports, brackets, prefixes, the optional final dot.
    {0, "192.168.0.1:8080", 80, AF_INET, "192.168.0.1", 8080, 0},
    {0, "192.168.0.1", 80, AF_INET, "192.168.0.1", 80, 0},
    {0, "[192.168.0.1]:8080", 80, AF_INET, "192.168.0.1", 8080, 0},
    {0, "[192.168.0.1]", 80, AF_INET, "192.168.0.1", 80, 0},
    {0, "192.168.0.1]", 80, FAIL},
    {0, "[192.168.0.1", 80, AF_INET, "192.168.0.1", 80, 0},
    {0, "[192.168.0.1:8080", 80, AF_INET, "192.168.0.1", 8080, 0},
    {0, "[192.168.0.1/24", 80, AF_INET, "192.168.0.1", 80, 0},
    {0, "[[192.168.0.1]", 80, FAIL},
    {0, "[192.168.0.1]]", 80, FAIL},
    {0, "1.2.3.4/32", 0, AF_INET, "1.2.3.4", 0, 0},
    {0, "1.2.3.4/0", 0, AF_INET, "1.2.3.4", 0, 0},
    {0, "[10.0.0.0/8]:53", 0, AF_INET, "10.0.0.0", 53, 0},
    {0, "1.2.3.4/24:99", 0, AF_INET, "1.2.3.4", 99, 0},
    {0, "1.2.3.4/33", 0, FAIL},
    {0, "1.2.3.4/", 0, FAIL},
    {0, "1.2.3.4/012", 0, FAIL},
    {0, "1.2.3.4.", 7, AF_INET, "1.2.3.4", 7, 0},
    {0, "1.2.3.4.:80", 7, AF_INET, "1.2.3.4", 80, 0},
    {0, "1.2.3.4..", 7, FAIL},
    {0, "01.02.003.255", 0, AF_INET, "1.2.3.255", 0, 0},
    {0, "0001.2.3.4", 0, FAIL},
    {0, "256.1.1.1", 0, FAIL},
    {0, "1.2.3.256", 0, FAIL},
    {0, "1.2.3", 0, FAIL},
    {0, "1.2.3.4.5", 0, FAIL},
    {0, "1111111111", 0, FAIL},
    {0, "1.2.34567", 0, FAIL},
    {0, "1.2.3.4:0", 9, AF_INET, "1.2.3.4", 0, 0},
    {0, "1.2.3.4:65535", 0, AF_INET, "1.2.3.4", 65535, 0},
    {0, "1.2.3.4:065535", 0, FAIL},
    {0, "1.2.3.4:65536", 0, FAIL},
    {0, "1.2.3.4:", 0, FAIL},
    {0, "1.2.3.4:8x", 0, FAIL},
    {0, "1.2.3.4%1", 0, FAIL},
    {0, " 1.2.3.4", 0, FAIL},
    {0, "1.2.3.4 ", 0, FAIL},
    {0, "-1.2.3.4", 0, FAIL},
    // IPv6: compression, quads, scopes by number, prefixes, ports.
    {0, "fe80::1%3", 0, AF_INET6, "fe80::1", 0, 3},
    {0, "::ffff:10.0.0.1", 0, AF_INET6, "::ffff:10.0.0.1", 0, 0},
    {0, "::1.2.3.4", 0, AF_INET6, "::1.2.3.4", 0, 0},
    {0, "1:2:3:4:5:6:1.2.3.4", 0, AF_INET6, "1:2:3:4:5:6:102:304", 0, 0},
    {0, "1:2:3:4:5:6:7:1.2.3.4", 0, FAIL},
    {0, "1::2:3:4:5:6:1.2.3.4", 0, FAIL},
    {0, "::ffff:1.2.3.4.5", 0, FAIL},
    {0, "::ffff:1.2.3", 0, FAIL},
    {0, "::ffff:1a.2.3.4", 0, FAIL},
    {0, "1::2::3", 0, FAIL},
    {0, "::1/128", 0, AF_INET6, "::1", 0, 0},
    {0, "::1/129", 0, FAIL},
    {0, "::1/0128", 0, FAIL},
    {0, "::", 5, AF_INET6, "::", 5, 0},
    {0, "::/0", 5, AF_INET6, "::", 5, 0},
    {0, "1::", 0, AF_INET6, "1::", 0, 0},
    {0, "FE80::ABCD:eF01", 0, AF_INET6, "fe80::abcd:ef01", 0, 0},
    {0, "0001:0002:0003:0004:0005:0006:0007:0008", 0, AF_INET6, "1:2:3:4:5:6:7:8", 0, 0},
    {0, "00001::", 0, FAIL},
    {0, "1:2:3:4:5:6:7", 0, FAIL},
    {0, "1:2:3:4:5:6:7:8:9:10", 0, FAIL},
    {0, ":::", 0, FAIL},
    {0, "1:::2", 0, FAIL},
    {0, ":1::", 0, FAIL},
    {0, "1::2:", 0, FAIL},
    {0, "1:", 0, FAIL},
    {0, "1::g", 0, FAIL},
    {0, "[::1]:8080", 0, AF_INET6, "::1", 8080, 0},
    {0, "[::1]", 0, AF_INET6, "::1", 0, 0},
    {0, "[::1", 0, AF_INET6, "::1", 0, 0},
    {0, "[fe80::1%2", 0, AF_INET6, "fe80::1", 0, 2},
    {0, "[::1]]", 0, FAIL},
    {0, "[", 0, FAIL},
    {0, "[]", 0, FAIL},
    {0, "::1]", 0, FAIL},
    {0, "[::1]:65536", 0, FAIL},
    // Without brackets the port is only told apart by a full group count.
    {0, "::1:8080", 0, AF_INET6, "::1:8080", 0, 0},
    {0, "1:2:3:4:5:6:7:8:80", 0, AF_INET6, "1:2:3:4:5:6:7:8", 80, 0},
    {0, "1::3:4:5:6:7:8:80", 0, AF_INET6, "1:0:3:4:5:6:7:8", 80, 0},
    {0, "1:2:3:4:5:6:7:8:a", 0, FAIL},
    {0, "::1.2.3.4:80", 0, AF_INET6, "::1.2.3.4", 80, 0},
    {0, "fe80::1%2/64", 0, AF_INET6, "fe80::1", 0, 2},
    {0, "[fe80::1%2/64]:80", 0, AF_INET6, "fe80::1", 80, 2},
    {0, "[fe80::1%2]:80", 0, AF_INET6, "fe80::1", 80, 2},
    {0, "fe80::1%2:80", 0, AF_INET6, "fe80::1", 80, 2},
    {0, "fe80::1%0", 0, AF_INET6, "fe80::1", 0, 0},
    {0, "fe80::1%4294967295", 0, AF_INET6, "fe80::1", 0, 4294967295u},
    {0, "fe80::1%4294967296", 0, FAIL},
    {0, "fe80::1%99999999999999999999", 0, FAIL},
    {0, "fe80::1%", 0, FAIL},
    {0, "[fe80::1%]", 0, FAIL},
    {0, "fe80::1%/64", 0, FAIL},
    {0, "fe80::1%-1", 0, FAIL},
    {0, "fe80::1%no-such-if0", 0, FAIL},
    {0, "fe80::1%an-interface-name-longer-than-any", 0, FAIL},
    {0, "fe80::1%2%3", 0, FAIL},
    // Local paths.
    {0, "/tmp/socket", 0, AF_UNIX, "/tmp/socket", 0, 0},
    {0, "./s", 0, AF_UNIX, "./s", 0, 0},
    {0, "../s", 0, AF_UNIX, "../s", 0, 0},
    {0, "~/s", 0, AF_UNIX, "~/s", 0, 0},
    {0, "", 0, AF_UNIX, "", 0, 0},
    {0, "tmp/s", 0, FAIL},
    {0, ".s", 0, FAIL},
    {0, "~s", 0, FAIL},
    // A family argument restricts the grammar.
    {AF_INET, "1.2.3.4", 0, AF_INET, "1.2.3.4", 0, 0},
    {AF_INET, "::1", 0, FAIL},
    {AF_INET, "/tmp/s", 0, FAIL},
    {AF_INET6, "::1", 0, AF_INET6, "::1", 0, 0},
    {AF_INET6, "1.2.3.4", 0, FAIL},
    {AF_INET6, "", 0, FAIL},
    {AF_UNIX, "/tmp/s", 0, AF_UNIX, "/tmp/s", 0, 0},
    {AF_UNIX, "1.2.3.4", 0, FAIL},
    {7, "1.2.3.4", 0, FAIL},
    {-1, "1.2.3.4", 0, FAIL},
};

void expect_row(const ParseRow &row, uint32_t scope)
{
    Parsed got = parse(row.family, row.text, row.deflt);
    SCOPED_TRACE(std::string("text \"") + row.text + "\" family " + std::to_string(row.family));
    if (row.result_family == FAIL) {
        EXPECT_EQ(got.rc, -1);
        uint8_t bytes[16];
        EXPECT_EQ(tarvik_inet_pton(row.family, row.text, bytes), -1);
        return;
    }
    ASSERT_EQ(got.rc, 0);
    ASSERT_EQ(got.family, row.result_family);
    if (row.result_family == AF_UNIX) {
        EXPECT_EQ(got.path, row.address);
        return;
    }
    EXPECT_EQ(got.address, system_bytes(row.result_family, row.address));
    EXPECT_EQ(got.port, row.port);
    EXPECT_EQ(got.scope, scope);
    uint8_t bytes[16] = {};
    EXPECT_EQ(tarvik_inet_pton(row.family, row.text, bytes), 0);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + got.address.size()), got.address);
}

TEST_F(InetTest, GrammarRows)
{
    for (const ParseRow &row : PARSE_ROWS) {
        expect_row(row, row.scope);
    }
}

TEST_F(InetTest, ScopeDigitsUpToSixtyFour)
{
    std::string digits(63, '0');
    Parsed got = parse(0, "fe80::1%" + digits + "7", 0);
    ASSERT_EQ(got.rc, 0);
    EXPECT_EQ(got.scope, 7u);
    EXPECT_EQ(parse(0, "fe80::1%" + digits + "07", 0).rc, -1);
    EXPECT_EQ(parse(0, "[fe80::1%" + digits + "7]:1", 0).port, 1u);
}

// "lo" exists in every network namespace; its index comes from the system for comparison.
TEST_F(InetTest, ScopeByInterfaceName)
{
    unsigned index = if_nametoindex("lo");
    if (index == 0) {
        GTEST_SKIP() << "no loopback interface visible here";
    }
    const ParseRow rows[] = {
        {0, "[fe80::1%lo]:80", 0, AF_INET6, "fe80::1", 80, index},
        {0, "fe80::1%lo", 0, AF_INET6, "fe80::1", 0, index},
        {0, "fe80::1%lo/64", 0, AF_INET6, "fe80::1", 0, index},
        {0, "[fe80::1%lo/10]:1", 0, AF_INET6, "fe80::1", 1, index},
        {AF_INET6, "ff02::1%lo", 0, AF_INET6, "ff02::1", 0, index},
    };
    for (const ParseRow &row : rows) {
        expect_row(row, row.scope);
    }
    // Outside brackets a name runs to the end, so ":80" belongs to the name (an interface
    // alias at most) and is never read as the port.
    Parsed alias = parse(0, "fe80::1%lo:80", 0);
    if (alias.rc == 0) {
        EXPECT_EQ(alias.port, 0u);
        EXPECT_EQ(alias.scope, index);
    }
}

TEST_F(InetTest, LocalPathMustFitWhole)
{
    std::string longest = "/" + std::string(106, 'p');
    Parsed got = parse(AF_UNIX, longest, 0);
    ASSERT_EQ(got.rc, 0);
    EXPECT_EQ(got.path, longest);
    EXPECT_EQ(parse(AF_UNIX, longest + "q", 0).rc, -1);
    EXPECT_EQ(parse(0, "/" + std::string(500, 'p'), 0).rc, -1);
}

TEST_F(InetTest, FailureZeroesTheOutputAndNothingBeyond)
{
    uint8_t buffer[64];
    memset(buffer, 0xA5, sizeof(buffer));
    EXPECT_EQ(tarvik_inet_ptos(0, "1::2::3", 0, reinterpret_cast<struct sockaddr *>(buffer), 32),
              -1);
    for (size_t i = 0; i < sizeof(buffer); ++i) {
        EXPECT_EQ(buffer[i], i < 32 ? 0 : 0xA5) << "byte " << i;
    }
}

TEST_F(InetTest, OutputSizeMustHoldTheFamily)
{
    alignas(8) uint8_t buffer[TARVIK_SOCKADDR_BUFFER_SIZE];
    auto *sa = reinterpret_cast<struct sockaddr *>(buffer);
    EXPECT_EQ(tarvik_inet_ptos(0, "1.2.3.4", 0, sa, sizeof(struct sockaddr_in)), 0);
    EXPECT_EQ(tarvik_inet_ptos(0, "1.2.3.4", 0, sa, sizeof(struct sockaddr_in) - 1), -1);
    EXPECT_EQ(tarvik_inet_ptos(0, "::1", 0, sa, sizeof(struct sockaddr_in6)), 0);
    EXPECT_EQ(tarvik_inet_ptos(0, "::1", 0, sa, sizeof(struct sockaddr_in6) - 1), -1);
    EXPECT_EQ(tarvik_inet_ptos(0, "/s", 0, sa, 110), 0);
    EXPECT_EQ(tarvik_inet_ptos(0, "/s", 0, sa, 109), -1);
    EXPECT_EQ(tarvik_inet_ptos(0, "/s", 0, nullptr, 0), 0);
    EXPECT_EQ(tarvik_inet_ptos(0, nullptr, 0, sa, sizeof(buffer)), -1);
    EXPECT_EQ(tarvik_inet_ptos(0, "1.2.3.4", 65536, sa, sizeof(buffer)), -1);
    EXPECT_EQ(tarvik_inet_ptos(0, "1.2.3.4", 65535, sa, sizeof(buffer)), 0);
}

TEST_F(InetTest, PtonCopiesOnlyTheAddressBytes)
{
    uint8_t bytes[20];
    memset(bytes, 0xA5, sizeof(bytes));
    ASSERT_EQ(tarvik_inet_pton(0, "1.2.3.4:80", bytes), 0);
    const uint8_t v4[] = {1, 2, 3, 4, 0xA5};
    EXPECT_EQ(memcmp(bytes, v4, sizeof(v4)), 0);
    memset(bytes, 0xA5, sizeof(bytes));
    ASSERT_EQ(tarvik_inet_pton(0, "[ff02::1:2]:80", bytes), 0);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 16), system_bytes(AF_INET6, "ff02::1:2"));
    EXPECT_EQ(bytes[16], 0xA5);
    memset(bytes, 0xA5, sizeof(bytes));
    ASSERT_EQ(tarvik_inet_pton(0, "/tmp/s", bytes), 0);
    EXPECT_EQ(bytes[0], 0xA5);
    EXPECT_EQ(tarvik_inet_pton(AF_INET, "1.2.3.4", nullptr), 0);
    EXPECT_EQ(tarvik_inet_pton(AF_INET, nullptr, bytes), -1);
}

// ---- printing -------------------------------------------------------------------------

std::string print_v6(const char *text, uint32_t scope = 0)
{
    struct sockaddr_in6 in6;
    memset(&in6, 0, sizeof(in6));
    in6.sin6_family = AF_INET6;
    in6.sin6_scope_id = scope;
    EXPECT_EQ(inet_pton(AF_INET6, text, &in6.sin6_addr), 1) << text;
    char buffer[TARVIK_INET_STRING_SIZE];
    return tarvik_inet_stop(reinterpret_cast<struct sockaddr *>(&in6), buffer, sizeof(buffer));
}

TEST_F(InetTest, PrintRows)
{
    const struct {
        const char *address;
        uint32_t scope;
        const char *printed;
    } rows[] = {
        {"fe80:0:0:0:0:0:0:1", 2, "fe80::1%2"},
        {"1:0:2:3:4:5:6:7", 0, "1::2:3:4:5:6:7"},
        {"::ffff:1.2.3.4", 0, "::ffff:1.2.3.4"},
        {"::", 0, "::"},
        {"::1", 0, "::1"},
        {"1::", 0, "1::"},
        {"1::2", 0, "1::2"},
        {"::1.2.3.4", 0, "::1.2.3.4"},
        {"::2", 0, "::0.0.0.2"},
        {"::ffff:0.0.0.0", 0, "::ffff:0.0.0.0"},
        {"1:0:0:2:0:0:0:3", 0, "1:0:0:2::3"},
        {"1:0:0:2:3:0:0:4", 0, "1::2:3:0:0:4"},
        {"1:2:3:4:5:6:7:8", 0, "1:2:3:4:5:6:7:8"},
        {"0:1:2:3:4:5:6:7", 0, "::1:2:3:4:5:6:7"},
        {"1:2:3:4:5:6:7:0", 0, "1:2:3:4:5:6:7::"},
        {"ABCD:EF00::", 0, "abcd:ef00::"},
        {"ff02::1", 4294967295u, "ff02::1%4294967295"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(print_v6(row.address, row.scope), row.printed);
    }
}

TEST_F(InetTest, PrintOtherFamiliesAndPorts)
{
    char buffer[TARVIK_INET_STRING_SIZE];
    uint32_t port = 7;
    struct sockaddr_in in;
    memset(&in, 0, sizeof(in));
    in.sin_family = AF_INET;
    in.sin_port = htons(8080);
    in.sin_addr.s_addr = htonl(0xC0A80001);
    EXPECT_STREQ(
        tarvik_inet_stopp(reinterpret_cast<struct sockaddr *>(&in), buffer, sizeof(buffer), &port),
        "192.168.0.1");
    EXPECT_EQ(port, 8080u);

    struct sockaddr_un un;
    memset(&un, 0, sizeof(un));
    un.sun_family = AF_UNIX;
    strcpy(un.sun_path, "/tmp/socket");
    EXPECT_STREQ(
        tarvik_inet_stopp(reinterpret_cast<struct sockaddr *>(&un), buffer, sizeof(buffer), &port),
        "/tmp/socket");
    EXPECT_EQ(port, 0u);
    memset(un.sun_path, 0, sizeof(un.sun_path));
    memcpy(un.sun_path, "\0abstract", 9);
    EXPECT_STREQ(tarvik_inet_stop(reinterpret_cast<struct sockaddr *>(&un), buffer, sizeof(buffer)),
                 "abstract");
    // A path field filled to its last byte has no terminator of its own.
    memset(un.sun_path, 'x', sizeof(un.sun_path));
    EXPECT_EQ(std::string(tarvik_inet_stop(reinterpret_cast<struct sockaddr *>(&un), buffer,
                                           sizeof(buffer))),
              std::string(108, 'x'));

    struct sockaddr other;
    memset(&other, 0, sizeof(other));
    EXPECT_STREQ(tarvik_inet_stop(&other, buffer, sizeof(buffer)), "?UNSPEC");
    other.sa_family = AF_PACKET;
    EXPECT_STREQ(tarvik_inet_stopp(&other, buffer, sizeof(buffer), &port), "");
    EXPECT_EQ(port, 0u);
    EXPECT_STREQ(tarvik_inet_stop(nullptr, buffer, sizeof(buffer)), "");
}

TEST_F(InetTest, NtopRawBytes)
{
    char buffer[TARVIK_INET_STRING_SIZE];
    const uint8_t v4[] = {10, 0, 0, 255};
    EXPECT_STREQ(tarvik_inet_ntop(AF_INET, v4, buffer, sizeof(buffer)), "10.0.0.255");
    EXPECT_STREQ(tarvik_inet_ntop(AF_INET, nullptr, buffer, sizeof(buffer)), "0.0.0.0");
    EXPECT_STREQ(tarvik_inet_ntop(AF_INET6, nullptr, buffer, sizeof(buffer)), "::");
    std::vector<uint8_t> v6 = system_bytes(AF_INET6, "2001:db8::8:800:200c:417a");
    EXPECT_STREQ(tarvik_inet_ntop(AF_INET6, v6.data(), buffer, sizeof(buffer)),
                 "2001:db8::8:800:200c:417a");
    EXPECT_STREQ(tarvik_inet_ntop(AF_UNIX, "/run/s", buffer, sizeof(buffer)), "/run/s");
    EXPECT_STREQ(tarvik_inet_ntop(0, v4, buffer, sizeof(buffer)), "");
    EXPECT_STREQ(tarvik_inet_ntop(99, v4, buffer, sizeof(buffer)), "");
    EXPECT_EQ(tarvik_inet_ntop(AF_INET, v4, nullptr, 16), nullptr);
    EXPECT_EQ(tarvik_inet_ntop(AF_INET, v4, buffer, 0), nullptr);
}

// Every size from 0 to past the full text: the output is a terminated prefix and the byte
// after the given size is never touched.
TEST_F(InetTest, PrintingNeverOverrunsTheBuffer)
{
    struct sockaddr_in6 in6;
    memset(&in6, 0, sizeof(in6));
    in6.sin6_family = AF_INET6;
    in6.sin6_scope_id = 4000000000u;
    inet_pton(AF_INET6, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe", &in6.sin6_addr);
    const std::string full = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe%4000000000";
    for (size_t size = 0; size <= full.size() + 2; ++size) {
        std::vector<char> buffer(size + 1, '#');
        char *result =
            tarvik_inet_stop(reinterpret_cast<struct sockaddr *>(&in6), buffer.data(), size);
        EXPECT_EQ(buffer[size], '#') << "size " << size;
        if (size == 0) {
            EXPECT_EQ(result, nullptr);
            continue;
        }
        ASSERT_EQ(result, buffer.data());
        EXPECT_EQ(std::string(result), full.substr(0, size - 1)) << "size " << size;
    }
    char small[5];
    const uint8_t v4[] = {192, 168, 0, 1};
    EXPECT_STREQ(tarvik_inet_ntop(AF_INET, v4, small, sizeof(small)), "192.");
    EXPECT_STREQ(tarvik_inet_ntop(AF_UNIX, "/tmp/socket", small, sizeof(small)), "/tmp");
}

// ---- differential runs against the C library ------------------------------------------

// Our grammar accepts more than the C library's parser on purpose: brackets, a scope, a
// prefix and a port around the address (for IPv6 without brackets only after a full group
// count or a quad), a final "." after an IPv4 address and leading zeros in IPv4 numbers
// (read as decimal). A difference is explained when undoing exactly those makes the C
// library accept the same bytes.
std::string strip_quad_zeros(const std::string &quad)
{
    std::string out;
    size_t start = 0;
    while (start <= quad.size()) {
        size_t dot = quad.find('.', start);
        std::string part =
            quad.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        size_t first = part.find_first_not_of('0');
        out += first == std::string::npos ? (part.empty() ? "" : "0") : part.substr(first);
        if (dot == std::string::npos) {
            break;
        }
        out += '.';
        start = dot + 1;
    }
    return out;
}

std::vector<std::string> undecorated(int family, const std::string &text)
{
    static const std::regex PORT(R"(^(.*):[0-9]{1,5}$)");
    static const std::regex CLOSE(R"(^\[(.*?)\]?$)");
    static const std::regex PREFIX4(R"(^(.*)/[0-9]{1,2}$)");
    static const std::regex PREFIX6(R"(^(.*)/[0-9]{1,3}$)");
    static const std::regex SCOPE(R"(^(.*)%[0-9]+$)");
    const std::regex *steps[] = {&PORT, &CLOSE, family == AF_INET ? &PREFIX4 : &PREFIX6, &SCOPE};
    // Every subset of the steps, in order: an unclosed "[" may be stripped with or without
    // the trailing ":digits", which may be a port or the last group.
    std::vector<std::string> out{text};
    for (const std::regex *step : steps) {
        const size_t known = out.size();
        for (size_t i = 0; i < known; ++i) {
            std::smatch match;
            const std::string current = out[i];
            if (std::regex_match(current, match, *step)) {
                out.push_back(match[1].str());
            }
        }
    }
    return out;
}

bool explained(int family, const std::string &text, const std::vector<uint8_t> &ours)
{
    static const std::regex QUAD(R"(^(.*:)([0-9.]+)$)");
    std::vector<std::string> candidates;
    for (std::string base : undecorated(family, text)) {
        if (family == AF_INET) {
            if (!base.empty() && base.back() == '.') {
                base.pop_back();
            }
            candidates.push_back(strip_quad_zeros(base));
            continue;
        }
        candidates.push_back(base);
        std::smatch match;
        if (std::regex_match(base, match, QUAD)) {
            candidates.push_back(match[1].str() + strip_quad_zeros(match[2].str()));
        }
    }
    for (const std::string &candidate : candidates) {
        uint8_t bytes[16] = {};
        if (candidate != text && inet_pton(family, candidate.c_str(), bytes) == 1 &&
            std::vector<uint8_t>(bytes, bytes + ours.size()) == ours) {
            return true;
        }
    }
    return false;
}

void compare_parse(int family, const std::string &text, int *differences)
{
    uint8_t theirs[16] = {};
    uint8_t ours[16] = {};
    int their_rc = inet_pton(family, text.c_str(), theirs) == 1 ? 0 : -1;
    int our_rc = tarvik_inet_pton(family, text.c_str(), ours);
    size_t length = family == AF_INET ? 4 : 16;
    if (their_rc == 0) {
        ASSERT_EQ(our_rc, 0) << "rejected what the C library accepts: \"" << text << "\"";
        ASSERT_EQ(memcmp(ours, theirs, length), 0) << "different bytes for \"" << text << "\"";
        return;
    }
    if (our_rc == 0) {
        ++*differences;
        ASSERT_TRUE(explained(family, text, std::vector<uint8_t>(ours, ours + length)))
            << "accepted what the C library refuses, unexplained: \"" << text << "\"";
    }
}

std::string random_ipv4_text(std::mt19937 &random)
{
    std::uniform_int_distribution<int> pick(0, 99);
    int parts = pick(random) < 80 ? 4 : (pick(random) < 50 ? 3 : 5);
    std::string text;
    for (int i = 0; i < parts; ++i) {
        int value = pick(random) < 85 ? static_cast<int>(random() % 256)
                                      : static_cast<int>(random() % 1200);
        std::string number = std::to_string(value);
        int roll = pick(random);
        if (roll < 10) {
            number = "0" + number;
        } else if (roll < 14) {
            number = "00" + number;
        } else if (roll < 16) {
            number.clear();
        }
        text += number;
        if (i + 1 < parts) {
            text += pick(random) < 97 ? "." : "";
        }
    }
    if (pick(random) < 10) {
        text += ".";
    }
    return text;
}

std::string hex_group(std::mt19937 &random, uint16_t value)
{
    char digits[8];
    snprintf(digits, sizeof(digits), random() % 4 == 0 ? "%04x" : "%x", value);
    std::string group = digits;
    if (random() % 50 == 0) {
        group = "0" + group;
    }
    if (random() % 5 == 0) {
        for (char &c : group) {
            c = static_cast<char>(toupper(c));
        }
    }
    return group;
}

std::string random_ipv6_text(std::mt19937 &random)
{
    uint16_t words[8];
    for (uint16_t &word : words) {
        word =
            random() % 3 == 0 ? 0 : static_cast<uint16_t>(random() % (random() % 2 ? 16 : 65536));
    }
    int groups = 8;
    int roll = static_cast<int>(random() % 100);
    if (roll < 5) {
        groups = 7;
    } else if (roll < 10) {
        groups = 9;
    }
    bool quad = random() % 5 == 0;
    int gap_start = random() % 3 == 0 ? -1 : static_cast<int>(random() % 8);
    int gap_length = gap_start < 0 ? 0 : static_cast<int>(random() % 4);
    std::string text;
    bool need_colon = false;
    int hex_groups = quad ? groups - 2 : groups;
    for (int i = 0; i < hex_groups; ++i) {
        if (i == gap_start) {
            // The gap may stand for no group at all, which the grammar refuses.
            text += random() % 40 == 0 ? "::::" : "::";
            need_colon = false;
            i += gap_length;
            if (i >= hex_groups) {
                break;
            }
        } else if (need_colon) {
            text += ":";
        }
        text += hex_group(random, words[i % 8]);
        need_colon = true;
    }
    if (quad) {
        if (need_colon) {
            text += ":";
        }
        std::string q = std::to_string(random() % 256) + "." + std::to_string(random() % 256) +
                        "." + std::to_string(random() % 300) + "." + std::to_string(random() % 256);
        text += random() % 10 == 0 ? "0" + q : q;
    }
    if (random() % 10 == 0) {
        text += ":" + std::to_string(random() % 70000);
    }
    return text;
}

std::string mutate(std::mt19937 &random, std::string text)
{
    static const char ALPHABET[] = "0123456789abcdefABCDEFg:.]/[%";
    int edits = static_cast<int>(random() % 3);
    for (int i = 0; i < edits; ++i) {
        size_t at = text.empty() ? 0 : random() % (text.size() + 1);
        int kind = static_cast<int>(random() % 3);
        if (kind == 0 && at < text.size()) {
            text.erase(at, 1);
        } else if (kind == 1) {
            text.insert(text.begin() + static_cast<long>(at),
                        ALPHABET[random() % (sizeof(ALPHABET) - 1)]);
        } else if (at < text.size()) {
            text[at] = ALPHABET[random() % (sizeof(ALPHABET) - 1)];
        }
    }
    return text;
}

TEST_F(InetTest, DifferentialParseIpv4)
{
    const char *edges[] = {"0.0.0.0",   "255.255.255.255", "1.2.3.4.", "01.2.3.4",   "1.2.3",
                           "1.2.3.4.5", "001.002.003.004", "1..2.3",   "",           ".",
                           "1.2.3.4..", "256.0.0.0",       "1.2.3.04", "1.2.3.0004", "0x1.2.3.4",
                           "1.2.3.4 "};
    int differences = 0;
    for (const char *edge : edges) {
        compare_parse(AF_INET, edge, &differences);
    }
    std::mt19937 random(1234);
    for (int i = 0; i < 20000; ++i) {
        std::string text = random_ipv4_text(random);
        compare_parse(AF_INET, i % 4 == 0 ? mutate(random, text) : text, &differences);
    }
    // The intended differences must actually have been exercised.
    EXPECT_GT(differences, 100);
}

TEST_F(InetTest, DifferentialParseIpv6)
{
    const char *edges[] = {"::",
                           "::1",
                           "1::",
                           "::ffff:1.2.3.4",
                           "::1.2.3.4",
                           "1:2:3:4:5:6:7:8",
                           "1:2:3:4:5:6:7:8:9",
                           "1:2:3:4:5:6:7",
                           "1::2:3:4:5:6:7:8",
                           "1:2:3:4::5:6:7:8",
                           "12345::",
                           "1:2:3:4:5:6:1.2.3.4",
                           "1:2:3:4:5:6:7:1.2.3.4",
                           "::ffff:01.2.3.4",
                           "::ffff:1.2.3.4.",
                           ":::",
                           "::1::",
                           "1:::2",
                           ":1::",
                           "1::2:",
                           "ffff:FFFF::",
                           "0:0:0:0:0:0:0:0",
                           "0000:0000:0000:0000:0000:0000:0000:00000",
                           "::1.2.3",
                           "g::"};
    int differences = 0;
    for (const char *edge : edges) {
        compare_parse(AF_INET6, edge, &differences);
    }
    std::mt19937 random(4321);
    for (int i = 0; i < 20000; ++i) {
        std::string text = random_ipv6_text(random);
        compare_parse(AF_INET6, i % 4 == 0 ? mutate(random, text) : text, &differences);
    }
    EXPECT_GT(differences, 50);
}

// Our printer compresses even a single zero group, and writes every IPv4-compatible
// address (::a.b.c.d other than :: and ::1) with a quad; the C library does neither for a
// lone zero group nor for ::0.0.c.d. The expected text is derived from the C library's
// output by undoing exactly those two rules.
std::string expected_print(const uint8_t *bytes)
{
    char theirs[INET6_ADDRSTRLEN];
    EXPECT_NE(inet_ntop(AF_INET6, bytes, theirs, sizeof(theirs)), nullptr);
    std::string text = theirs;
    bool compatible = true;
    for (int i = 0; i < 12; ++i) {
        compatible = compatible && bytes[i] == 0;
    }
    uint32_t tail =
        static_cast<uint32_t>(bytes[12] << 24 | bytes[13] << 16 | bytes[14] << 8 | bytes[15]);
    if (compatible && tail > 1) {
        return "::" + std::to_string(bytes[12]) + "." + std::to_string(bytes[13]) + "." +
               std::to_string(bytes[14]) + "." + std::to_string(bytes[15]);
    }
    if (text.find("::") != std::string::npos || text.find('.') != std::string::npos) {
        return text;
    }
    std::vector<std::string> groups;
    size_t start = 0;
    for (size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1) {
        groups.push_back(text.substr(start, colon - start));
    }
    groups.push_back(text.substr(start));
    for (size_t i = 0; i < groups.size(); ++i) {
        if (groups[i] == "0") {
            std::string before;
            std::string after;
            for (size_t j = 0; j < i; ++j) {
                before += (j ? ":" : "") + groups[j];
            }
            for (size_t j = i + 1; j < groups.size(); ++j) {
                after += (j > i + 1 ? ":" : "") + groups[j];
            }
            return before + "::" + after;
        }
    }
    return text;
}

TEST_F(InetTest, DifferentialPrintIpv6)
{
    std::mt19937 random(99);
    char ours[TARVIK_INET_STRING_SIZE];
    for (int i = 0; i < 30000; ++i) {
        uint8_t bytes[16];
        for (int g = 0; g < 8; ++g) {
            uint16_t word = random() % 2 ? 0 : static_cast<uint16_t>(random());
            bytes[2 * g] = static_cast<uint8_t>(word >> 8);
            bytes[2 * g + 1] = static_cast<uint8_t>(word);
        }
        int shape = static_cast<int>(random() % 10);
        if (shape == 0 || shape == 1) {
            memset(bytes, 0, 12);
            bytes[10] = bytes[11] = shape == 0 ? 0xFF : 0;
        } else if (shape == 2) {
            memset(bytes, 0, 14);
        }
        ASSERT_EQ(tarvik_inet_ntop(AF_INET6, bytes, ours, sizeof(ours)), ours);
        ASSERT_EQ(std::string(ours), expected_print(bytes));
        uint8_t back[16];
        ASSERT_EQ(inet_pton(AF_INET6, ours, back), 1) << ours;
        ASSERT_EQ(memcmp(back, bytes, 16), 0) << ours;
    }
    for (uint32_t value = 0; value < 70000; value += 7) {
        uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value * 31), static_cast<uint8_t>(value >> 3)};
        char theirs[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, bytes, theirs, sizeof(theirs));
        ASSERT_STREQ(tarvik_inet_ntop(AF_INET, bytes, ours, sizeof(ours)), theirs);
    }
}

// parse -> print -> parse keeps address, port and scope.
TEST_F(InetTest, PrintParseRoundTrip)
{
    std::mt19937 random(7);
    for (int i = 0; i < 5000; ++i) {
        alignas(8) uint8_t first[TARVIK_SOCKADDR_BUFFER_SIZE] = {};
        struct sockaddr_in6 in6;
        memset(&in6, 0, sizeof(in6));
        in6.sin6_family = AF_INET6;
        for (uint8_t &byte : in6.sin6_addr.s6_addr) {
            byte = random() % 3 == 0 ? static_cast<uint8_t>(random()) : 0;
        }
        in6.sin6_port = htons(static_cast<uint16_t>(random()));
        in6.sin6_scope_id = random() % 2 ? static_cast<uint32_t>(random()) : 0;
        memcpy(first, &in6, sizeof(in6));
        char text[TARVIK_INET_STRING_SIZE];
        uint32_t port = 0;
        tarvik_inet_stopp(reinterpret_cast<struct sockaddr *>(first), text, sizeof(text), &port);
        std::string bracketed = std::string("[") + text + "]:" + std::to_string(port);
        Parsed again = parse(0, bracketed, 0);
        ASSERT_EQ(again.rc, 0) << bracketed;
        EXPECT_EQ(memcmp(again.address.data(), in6.sin6_addr.s6_addr, 16), 0) << bracketed;
        EXPECT_EQ(again.port, ntohs(in6.sin6_port));
        EXPECT_EQ(again.scope, in6.sin6_scope_id);
    }
}

// ---- socket-address helpers --------------------------------------------------------------

struct Address {
    alignas(8) uint8_t m_bytes[TARVIK_SOCKADDR_BUFFER_SIZE] = {};
    struct sockaddr *sa() { return reinterpret_cast<struct sockaddr *>(m_bytes); }
};

Address make(const char *text, uint32_t port = 0)
{
    Address address;
    EXPECT_EQ(tarvik_inet_ptos(0, text, port, address.sa(), sizeof(address.m_bytes)), 0) << text;
    return address;
}

TEST_F(InetTest, SockaddrSize)
{
    Address v4 = make("1.2.3.4");
    Address v6 = make("::1");
    Address local = make("/s");
    const struct {
        struct sockaddr *address;
        size_t length;
        size_t size;
    } rows[] = {
        {v4.sa(), 0, 16},   {v4.sa(), 200, 16}, {v4.sa(), 8, 8},      {v4.sa(), 16, 16},
        {v4.sa(), 17, 16},  {v4.sa(), 1, 1},    {v6.sa(), 0, 28},     {v6.sa(), 28, 28},
        {v6.sa(), 29, 28},  {v6.sa(), 20, 20},  {local.sa(), 0, 110}, {local.sa(), 111, 110},
        {local.sa(), 5, 5}, {nullptr, 16, 0},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(tarvik_sockaddr_size(row.address, row.length), row.size) << row.length;
    }
    Address other;
    other.m_bytes[0] = AF_PACKET;
    EXPECT_EQ(tarvik_sockaddr_size(other.sa(), 0), 0u);
    EXPECT_EQ(tarvik_sockaddr_size(other.sa(), 500), 500u);
}

TEST_F(InetTest, ScopeClasses)
{
    const struct {
        const char *text;
        int scope;
    } rows[] = {
        {"0.0.0.0", -1},
        {"127.0.0.1", 1},
        {"127.255.255.254", 1},
        {"169.254.1.1", 2},
        {"169.255.1.1", 14},
        {"10.1.2.3", 5},
        {"172.16.0.1", 5},
        {"172.31.255.255", 5},
        {"172.32.0.1", 14},
        {"172.15.0.1", 14},
        {"192.168.10.1", 5},
        {"192.169.0.1", 14},
        {"255.255.255.255", 5},
        {"224.0.0.1", 0xFF03},
        {"239.255.255.250", 0xFF03},
        {"240.0.0.1", 14},
        {"8.8.8.8", 14},
        {"::", -1},
        {"::1", 1},
        {"ff02::1", 0xFF03},
        {"ff0e::1", 0xFF03},
        {"fe80::1", 2},
        {"febf::1", 2},
        {"fec0::1", 5},
        {"feff::1", 5},
        {"::ffff:1.2.3.4", 0xFF01},
        {"::ffff:127.0.0.1", 0xFF01},
        {"::1.2.3.4", 0xFF02},
        {"::2", 0xFF02},
        {"2001:db8::1", 14},
        {"fe00::1", 14},
    };
    for (const auto &row : rows) {
        Address address = make(row.text);
        EXPECT_EQ(tarvik_sockaddr_scope(address.sa()), row.scope) << row.text;
    }
    EXPECT_EQ(tarvik_sockaddr_scope(nullptr), -1);
    Address local = make("/s");
    EXPECT_EQ(tarvik_sockaddr_scope(local.sa()), -1);
}

TEST_F(InetTest, SetPortAndCompare)
{
    Address v4 = make("1.2.3.4", 1);
    ASSERT_EQ(tarvik_sockaddr_set_port(v4.sa(), 65535), 0);
    uint32_t port = 0;
    char text[TARVIK_INET_STRING_SIZE];
    tarvik_inet_stopp(v4.sa(), text, sizeof(text), &port);
    EXPECT_EQ(port, 65535u);
    EXPECT_EQ(tarvik_sockaddr_set_port(v4.sa(), 65536), -1);
    EXPECT_EQ(tarvik_sockaddr_set_port(v4.sa(), static_cast<uint32_t>(-1)), -1);
    tarvik_inet_stopp(v4.sa(), text, sizeof(text), &port);
    EXPECT_EQ(port, 65535u);
    Address v6 = make("[::1]:5");
    ASSERT_EQ(tarvik_sockaddr_set_port(v6.sa(), 80), 0);
    tarvik_inet_stopp(v6.sa(), text, sizeof(text), &port);
    EXPECT_EQ(port, 80u);
    Address local = make("/s");
    Address copy = local;
    EXPECT_EQ(tarvik_sockaddr_set_port(local.sa(), 80), 0);
    EXPECT_EQ(memcmp(local.m_bytes, copy.m_bytes, sizeof(copy.m_bytes)), 0);
    EXPECT_EQ(tarvik_sockaddr_set_port(nullptr, 80), -1);

    EXPECT_EQ(tarvik_compare_sockaddr_address(nullptr, nullptr), 0);
    EXPECT_EQ(tarvik_compare_sockaddr_address(v4.sa(), nullptr), -1);
    EXPECT_EQ(tarvik_compare_sockaddr_address(nullptr, v4.sa()), -1);
    Address v4_other_port = make("1.2.3.4:99");
    EXPECT_EQ(tarvik_compare_sockaddr_address(v4.sa(), v4_other_port.sa()), 0);
    Address v4_other = make("1.2.3.5");
    EXPECT_EQ(tarvik_compare_sockaddr_address(v4.sa(), v4_other.sa()), -1);
    Address v6_scoped = make("[::1%3]:7");
    EXPECT_EQ(tarvik_compare_sockaddr_address(v6.sa(), v6_scoped.sa()), 0);
    Address v6_other = make("::2");
    EXPECT_EQ(tarvik_compare_sockaddr_address(v6.sa(), v6_other.sa()), -1);
    Address mapped = make("::ffff:1.2.3.4");
    EXPECT_EQ(tarvik_compare_sockaddr_address(v4.sa(), mapped.sa()), -1);
    EXPECT_EQ(tarvik_compare_sockaddr_address(local.sa(), local.sa()), -1);
}

std::string address_text(struct sockaddr *address)
{
    char text[TARVIK_INET_STRING_SIZE];
    return tarvik_inet_stop(address, text, sizeof(text));
}

TEST_F(InetTest, PrefixMasks)
{
    const struct {
        const char *address;
        uint32_t bits;
        const char *mask;
        const char *base;
    } rows[] = {
        {"192.168.1.77", 24, "255.255.255.0", "192.168.1.255"},
        {"192.168.1.77", 0, "0.0.0.0", "255.255.255.255"},
        {"192.168.1.77", 32, "255.255.255.255", "192.168.1.77"},
        {"192.168.1.77", 33, "255.255.255.255", "192.168.1.77"},
        {"10.1.2.3", 13, "255.248.0.0", "10.7.255.255"},
        {"fe80::1", 64, "ffff:ffff:ffff:ffff::", nullptr},
        {"fe80::1", 10, "ffc0::", nullptr},
        {"fe80::1", 0, "::", nullptr},
        {"fe80::1", 128, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", nullptr},
        {"fe80::1", 500, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", nullptr},
        {"2001:db8::", 127, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe", nullptr},
    };
    for (const auto &row : rows) {
        Address address = make(row.address, 8080);
        Address mask;
        Address base;
        memset(base.m_bytes, 0xA5, sizeof(base.m_bytes));
        ASSERT_EQ(tarvik_prefix_sockaddr(address.sa(), row.bits, mask.sa(), base.sa()), 0);
        EXPECT_EQ(address_text(mask.sa()), row.mask) << row.address << "/" << row.bits;
        if (row.base != nullptr) {
            EXPECT_EQ(address_text(base.sa()), row.base) << row.address << "/" << row.bits;
            EXPECT_EQ(base.sa()->sa_family, AF_INET);
        } else {
            for (size_t i = 0; i < sizeof(struct sockaddr_in6); ++i) {
                EXPECT_EQ(base.m_bytes[i], 0) << "byte " << i;
            }
            EXPECT_EQ(base.m_bytes[sizeof(struct sockaddr_in6)], 0xA5);
        }
    }
    Address local = make("/s");
    Address mask;
    Address base;
    memset(mask.m_bytes, 0xA5, sizeof(mask.m_bytes));
    memset(base.m_bytes, 0xA5, sizeof(base.m_bytes));
    EXPECT_EQ(tarvik_prefix_sockaddr(local.sa(), 8, mask.sa(), base.sa()), -1);
    EXPECT_EQ(mask.m_bytes[0] | mask.m_bytes[1] | base.m_bytes[0] | base.m_bytes[1], 0);
    EXPECT_EQ(mask.m_bytes[2], 0xA5);
    EXPECT_EQ(tarvik_prefix_sockaddr(nullptr, 8, mask.sa(), base.sa()), -1);
    Address v4 = make("1.2.3.4");
    EXPECT_EQ(tarvik_prefix_sockaddr(v4.sa(), 8, nullptr, nullptr), 0);
}

TEST_F(InetTest, Ipv6Classes)
{
    using Predicate = int (*)(const void *);
    const struct {
        const char *name;
        Predicate predicate;
        std::vector<const char *> yes;
        std::vector<const char *> no;
    } rows[] = {
        {"unspecified", tarvik_in6addr_is_unspecified, {"::"}, {"::1", "::100"}},
        {"loopback", tarvik_in6addr_is_loopback, {"::1"}, {"::", "::2", "1::1"}},
        {"link_local", tarvik_in6addr_is_link_local, {"fe80::", "febf::1"}, {"fec0::", "fe7f::"}},
        {"site_local", tarvik_in6addr_is_site_local, {"fec0::", "feff::1"}, {"febf::", "ff00::"}},
        {"multicast", tarvik_in6addr_is_multicast, {"ff00::", "ff02::1"}, {"fe80::", "::"}},
        {"inet6_multicast", tarvik_inet6_is_multicast, {"ff0e::1"}, {"fe00::1"}},
        {"v4_mapped",
         tarvik_in6addr_is_v4_mapped,
         {"::ffff:0.0.0.0", "::ffff:1.2.3.4"},
         {"::fffe:1.2.3.4", "1::ffff:1.2.3.4", "::1.2.3.4"}},
        {"v4_compatible",
         tarvik_in6addr_is_v4_compatible,
         {"::2", "::1.2.3.4", "::255.255.255.255"},
         {"::", "::1", "::ffff:1.2.3.4", "1::1.2.3.4"}},
        {"multicast_interface_local",
         tarvik_in6addr_is_multicast_interface_local,
         {"ff01::1", "ff11::2"},
         {"ff02::1", "fe81::1"}},
        {"multicast_link_local",
         tarvik_in6addr_is_multicast_link_local,
         {"ff02::1", "ff32::1"},
         {"ff05::1", "fe82::1"}},
        {"scope_link_local",
         tarvik_in6addr_is_scope_link_local,
         {"fe80::1", "ff02::1"},
         {"ff05::1", "fec0::1", "::1"}},
    };
    for (const auto &row : rows) {
        for (const char *text : row.yes) {
            EXPECT_EQ(row.predicate(system_bytes(AF_INET6, text).data()), 1)
                << row.name << " " << text;
        }
        for (const char *text : row.no) {
            EXPECT_EQ(row.predicate(system_bytes(AF_INET6, text).data()), 0)
                << row.name << " " << text;
        }
        EXPECT_EQ(row.predicate(nullptr), 0) << row.name;
    }
    EXPECT_EQ(tarvik_in6addr_multicast_scope(system_bytes(AF_INET6, "ff05::1").data()), 5);
    EXPECT_EQ(tarvik_in6addr_multicast_scope(system_bytes(AF_INET6, "ff3e::1").data()), 14);
    const uint8_t v4[][4] = {
        {224, 0, 0, 1}, {239, 255, 255, 255}, {223, 255, 255, 255}, {240, 0, 0, 0}};
    EXPECT_EQ(tarvik_inet_is_multicast(v4[0]), 1);
    EXPECT_EQ(tarvik_inet_is_multicast(v4[1]), 1);
    EXPECT_EQ(tarvik_inet_is_multicast(v4[2]), 0);
    EXPECT_EQ(tarvik_inet_is_multicast(v4[3]), 0);
    EXPECT_EQ(tarvik_inet_is_multicast(nullptr), 0);
}

// ---- checksum and byte order -----------------------------------------------------------

// Straightforward reference: big-endian 16-bit words, odd byte as the high half, full fold.
uint16_t reference_checksum_be(const std::vector<uint8_t> &data)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < data.size(); i += 2) {
        sum += static_cast<uint32_t>(data[i] << 8) + (i + 1 < data.size() ? data[i + 1] : 0);
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

// The result is stored in native order, so its memory bytes are the wire bytes.
std::vector<uint8_t> wire(uint16_t checksum)
{
    uint8_t bytes[2];
    memcpy(bytes, &checksum, 2);
    return {bytes[0], bytes[1]};
}

TEST_F(InetTest, Checksum)
{
    // The worked example of the classic description of the algorithm.
    const uint8_t example[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(wire(tarvik_inet_checksum(example, sizeof(example))),
              (std::vector<uint8_t>{0x22, 0x0d}));
    EXPECT_EQ(tarvik_inet_checksum(nullptr, 0), 0xFFFF);
    EXPECT_EQ(tarvik_inet_checksum(example, 0), 0xFFFF);
    std::mt19937 random(5);
    for (size_t length : {1u, 2u, 3u, 7u, 20u, 21u, 1499u, 1500u, 70001u, 300001u}) {
        std::vector<uint8_t> data(length);
        for (uint8_t &byte : data) {
            byte = length > 1500 ? 0xFF : static_cast<uint8_t>(random());
        }
        uint16_t expected = reference_checksum_be(data);
        const uint8_t expected_wire[] = {static_cast<uint8_t>(expected >> 8),
                                         static_cast<uint8_t>(expected)};
        // Unaligned start too: the target traps on unaligned word loads.
        std::vector<uint8_t> shifted(length + 1);
        memcpy(shifted.data() + 1, data.data(), length);
        EXPECT_EQ(wire(tarvik_inet_checksum(data.data(), length)),
                  (std::vector<uint8_t>{expected_wire[0], expected_wire[1]}))
            << "length " << length;
        EXPECT_EQ(tarvik_inet_checksum(shifted.data() + 1, length),
                  tarvik_inet_checksum(data.data(), length));
    }
    // A header carrying its own checksum sums to zero.
    std::vector<uint8_t> header = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                                   0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    uint16_t sum = tarvik_inet_checksum(header.data(), header.size());
    memcpy(&header[10], &sum, 2);
    EXPECT_EQ(header[10], 0xb8);
    EXPECT_EQ(header[11], 0x61);
    EXPECT_EQ(tarvik_inet_checksum(header.data(), header.size()), 0);
}

TEST_F(InetTest, ByteOrder)
{
    uint16_t short_value = tarvik_be16_order(0x1234);
    uint32_t long_value = tarvik_be32_order(0x12345678);
    uint8_t bytes[4];
    memcpy(bytes, &short_value, 2);
    EXPECT_EQ(bytes[0], 0x12);
    EXPECT_EQ(bytes[1], 0x34);
    memcpy(bytes, &long_value, 4);
    EXPECT_EQ(bytes[0], 0x12);
    EXPECT_EQ(bytes[3], 0x78);
    EXPECT_EQ(tarvik_be16_order(tarvik_be16_order(0xBEEF)), 0xBEEF);
    EXPECT_EQ(tarvik_be32_order(tarvik_be32_order(0xDEADBEEF)), 0xDEADBEEFu);
}

} // namespace
