// Address exercise of the "test" applet: the grammar, printing and address classes; an
// operand, when given, is parsed with any family and printed as "family address port scope".
#include "test_exercises.h"

#include "inet.h"

#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tarvik::test {

int exercise_inet(const char *operand);

namespace {

struct AddressBuffer {
    alignas(8) uint8_t m_bytes[TARVIK_SOCKADDR_BUFFER_SIZE];
    struct sockaddr *sa() { return reinterpret_cast<struct sockaddr *>(m_bytes); }
};

// Parses text, prints it back and compares with the expected text and port.
bool prints_as(const char *text, const char *expected, uint32_t expected_port)
{
    AddressBuffer address;
    if (tarvik_inet_ptos(0, text, 80, address.sa(), sizeof(address.m_bytes)) != 0) {
        return false;
    }
    char printed[TARVIK_INET_STRING_SIZE];
    uint32_t port = 0;
    tarvik_inet_stopp(address.sa(), printed, sizeof(printed), &port);
    return strcmp(printed, expected) == 0 && port == expected_port;
}

bool scope_is(const char *text, int scope)
{
    AddressBuffer address;
    return tarvik_inet_ptos(0, text, 0, address.sa(), sizeof(address.m_bytes)) == 0 &&
           tarvik_sockaddr_scope(address.sa()) == scope;
}

void check_grammar(Checker &check)
{
    EXPECT(check, prints_as("192.168.0.1:8080", "192.168.0.1", 8080));
    EXPECT(check, prints_as("192.168.0.1", "192.168.0.1", 80));
    EXPECT(check, prints_as("[192.168.0.1]:8080", "192.168.0.1", 8080));
    EXPECT(check, prints_as("fe80::1%3", "fe80::1%3", 80));
    EXPECT(check, prints_as("[fe80:0:0:0:0:0:0:1%2]:81", "fe80::1%2", 81));
    EXPECT(check, prints_as("1:0:2:3:4:5:6:7", "1::2:3:4:5:6:7", 80));
    EXPECT(check, prints_as("::ffff:10.0.0.1", "::ffff:10.0.0.1", 80));
    EXPECT(check, prints_as("::1/128", "::1", 80));
    EXPECT(check, prints_as("/tmp/socket", "/tmp/socket", 0));
    EXPECT(check, tarvik_inet_pton(0, "1::2::3", nullptr) == -1);
    EXPECT(check, tarvik_inet_pton(0, "1.2.3.4/33", nullptr) == -1);
    EXPECT(check, tarvik_inet_pton(0, "192.168.0.1]", nullptr) == -1);
    EXPECT(check, tarvik_inet_pton(0, "tmp/s", nullptr) == -1);
    EXPECT(check, tarvik_inet_pton(0, "fe80::1%lo", nullptr) == 0);
}

void check_classes(Checker &check)
{
    EXPECT(check, scope_is("127.0.0.1", TARVIK_SCOPE_INTERFACE_LOCAL));
    EXPECT(check, scope_is("192.168.1.1", TARVIK_SCOPE_SITE_LOCAL));
    EXPECT(check, scope_is("fe80::1", TARVIK_SCOPE_LINK_LOCAL));
    EXPECT(check, scope_is("ff02::1", TARVIK_SCOPE_MULTICAST));
    EXPECT(check, scope_is("::ffff:1.2.3.4", TARVIK_SCOPE_V4_MAPPED));
    EXPECT(check, scope_is("8.8.8.8", TARVIK_SCOPE_GLOBAL));
    AddressBuffer address;
    AddressBuffer mask;
    AddressBuffer base;
    char text[TARVIK_INET_STRING_SIZE];
    tarvik_inet_ptos(0, "10.1.2.3", 0, address.sa(), sizeof(address.m_bytes));
    EXPECT(check, tarvik_prefix_sockaddr(address.sa(), 8, mask.sa(), base.sa()) == 0);
    EXPECT(check, strcmp(tarvik_inet_stop(base.sa(), text, sizeof(text)), "10.255.255.255") == 0);
    const uint8_t example[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT(check, tarvik_inet_checksum(example, sizeof(example)) == tarvik_be16_order(0x220d));
}

int show(Checker &check, const char *operand)
{
    AddressBuffer address;
    int rc = tarvik_inet_ptos(0, operand, 0, address.sa(), sizeof(address.m_bytes));
    EXPECT(check, rc == 0);
    if (rc != 0) {
        return check.status();
    }
    char printed[TARVIK_INET_STRING_SIZE];
    uint32_t port = 0;
    tarvik_inet_stopp(address.sa(), printed, sizeof(printed), &port);
    tarvik_printf("%d %s %u %d\n", static_cast<int>(address.sa()->sa_family), printed, port,
                  tarvik_sockaddr_scope(address.sa()));
    return check.status();
}

} // namespace

int exercise_inet(const char *operand)
{
    Checker check("inet");
    if (operand != nullptr && operand[0] != '\0') {
        return show(check, operand);
    }
    check_grammar(check);
    check_classes(check);
    return check.status();
}

} // namespace tarvik::test
