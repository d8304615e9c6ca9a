// Socket exercise of the "test" applet: pairs, the wake pipe, time-outs and the openers over
// loopback; the operand "multicast" also joins groups on every interface and checks the kernel's
// membership tables (run it inside a private network namespace with addressed links).
#include "test_exercises.h"

#include "inet.h"
#include "interface.h"
#include "socket.h"

#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tarvik::test {

int exercise_socket(const char *operand);

namespace {

constexpr const char GROUP4[] = "239.1.2.3";
constexpr const char GROUP4_TABLE[] = "030201EF"; // as /proc/net/igmp prints it
constexpr const char GROUP6[] = "ff12::1234";
constexpr const char GROUP6_TABLE[] = "ff120000000000000000000000001234";

int bound_port(int fd)
{
    struct sockaddr_storage address;
    socklen_t length = sizeof(address);
    memset(&address, 0, sizeof(address));
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&address), &length) != 0) {
        return -1;
    }
    char text[TARVIK_INET_STRING_SIZE];
    uint32_t port = 0;
    tarvik_inet_stopp(reinterpret_cast<struct sockaddr *>(&address), text, sizeof(text), &port);
    return static_cast<int>(port);
}

bool talks(int a, int b)
{
    char buffer[8] = {};
    return tarvik_send(a, "ping", 4, 1000) == 4 &&
           tarvik_recv(b, buffer, sizeof(buffer), 1000) == 4 && memcmp(buffer, "ping", 4) == 0 &&
           tarvik_send(b, "pong", 4, 1000) == 4 &&
           tarvik_recv(a, buffer, sizeof(buffer), 1000) == 4 && memcmp(buffer, "pong", 4) == 0;
}

void check_pairs(Checker &check)
{
    const int kinds[][3] = {
        {AF_UNIX, SOCK_STREAM, 6}, {AF_INET, SOCK_STREAM, 6}, {AF_INET, SOCK_DGRAM, 17}};
    for (const auto &kind : kinds) {
        int pair[2] = {-1, -1};
        EXPECT(check, tarvik_socket_pair(kind[0], kind[1], kind[2], pair) == 0);
        EXPECT(check, talks(pair[0], pair[1]));
        tarvik_close_socket(pair[0]);
        tarvik_close_socket(pair[1]);
    }
    int pair[2] = {0, 0};
    EXPECT(check, tarvik_socket_pair(AF_INET, SOCK_STREAM, 17, pair) == -1);
    EXPECT(check, pair[0] == -1 && pair[1] == -1);
    EXPECT(check, tarvik_socket_pipe(pair) == 0);
    char byte = 0;
    EXPECT(check, tarvik_send(pair[1], "w", 1, 0) == 1 && tarvik_recv(pair[0], &byte, 1, 100) == 1);
    EXPECT(check, byte == 'w');
    EXPECT(check, tarvik_recv(pair[0], &byte, 1, 0) == -2);
    tarvik_close_socket(pair[0]);
    tarvik_close_socket(pair[1]);
    EXPECT(check, tarvik_close_socket(-1) == -1);
}

void check_openers(Checker &check)
{
    const int listener = tarvik_open_listen_socket("127.0.0.1", 0);
    EXPECT(check, listener >= 0);
    EXPECT(check, tarvik_accept(listener, nullptr, nullptr, 0) == -1);
    const int client = tarvik_open_connect_socket("localhost", bound_port(listener), 2000);
    EXPECT(check, client >= 0);
    const int served = tarvik_accept(listener, nullptr, nullptr, 2000);
    EXPECT(check, served >= 0 && talks(client, served));
    tarvik_close_socket(served);
    tarvik_close_socket(client);
    tarvik_close_socket(listener);

    const int receiver = tarvik_open_udp_socket("127.0.0.1", 0, nullptr);
    EXPECT(check, receiver >= 0);
    EXPECT(check,
           tarvik_send_udp_packet("127.0.0.1", bound_port(receiver), 64, "dgram", 5, 1000) == 5);
    char buffer[8] = {};
    EXPECT(check, tarvik_recv(receiver, buffer, sizeof(buffer), 1000) == 5);
    EXPECT(check, memcmp(buffer, "dgram", 5) == 0);
    tarvik_close_socket(receiver);
}

// Whether the kernel's table lists group on interface. The IPv4 table names the interface
// on a heading line and the groups on indented lines below; the IPv6 table has one line each.
bool table_lists(const char *path, const char *interface, const char *group, bool per_line)
{
    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        return false;
    }
    char line[256];
    char current[64] = "";
    bool found = false;
    while (!found && fgets(line, sizeof(line), file) != nullptr) {
        char first[64] = "";
        char second[64] = "";
        char third[64] = "";
        const int words = sscanf(line, "%63s %63s %63s", first, second, third);
        if (per_line) {
            found = words == 3 && strcmp(second, interface) == 0 && strcmp(third, group) == 0;
        } else if (line[0] != '\t' && words >= 2) {
            snprintf(current, sizeof(current), "%s", second);
        } else if (words >= 1) {
            found = strcmp(current, interface) == 0 && strcmp(first, group) == 0;
        }
    }
    fclose(file);
    return found;
}

bool has_address(const tarvik_network_interface_t *record, int family)
{
    for (const tarvik_network_interface_address_t *node = record->address_head; node != nullptr;
         node = node->next) {
        if (node->address != nullptr && node->address->sa_family == family &&
            tarvik_sockaddr_scope(node->address) != TARVIK_SCOPE_NONE) {
            return true;
        }
    }
    return false;
}

// Every up interface with an address of the family must list the group; returns how many.
int check_membership(Checker &check, int family, const char *path, const char *group)
{
    tarvik_network_interface_t *list =
        tarvik_get_network_interface(TARVIK_NETIF_FLAGS | TARVIK_NETIF_IPV4 | TARVIK_NETIF_IPV6);
    int joined = 0;
    for (const tarvik_network_interface_t *record = list; record != nullptr;
         record = record->next) {
        if ((record->flags & TARVIK_NETIF_FLAG_UP) == 0 || !has_address(record, family)) {
            continue;
        }
        const bool listed = table_lists(path, record->name, group, family == AF_INET6);
        if (!listed) {
            tarvik_error_printf("test socket: [ERROR] %s has not joined %s\n", record->name, group);
        }
        EXPECT(check, listed);
        joined += listed ? 1 : 0;
    }
    tarvik_free_network_interface(list);
    return joined;
}

void check_group(Checker &check, int family, const char *group, const char *path,
                 const char *table_group)
{
    const int receiver = tarvik_open_udp_socket_ex(family, nullptr, 0, group);
    EXPECT(check, receiver >= 0);
    if (receiver < 0) {
        return;
    }
    const int joined = check_membership(check, family, path, table_group);
    EXPECT(check, joined >= 2);
    tarvik_printf("%s joined on %d interfaces\n", group, joined);
    EXPECT(check, tarvik_send_udp_packet(group, bound_port(receiver), 1, "group", 5, 1000) == 5);
    char buffer[8] = {};
    EXPECT(check, tarvik_recv(receiver, buffer, sizeof(buffer), 2000) == 5);
    EXPECT(check, memcmp(buffer, "group", 5) == 0);
    tarvik_close_socket(receiver);
}

} // namespace

int exercise_socket(const char *operand)
{
    Checker check("socket");
    check_pairs(check);
    check_openers(check);
    if (operand != nullptr && strcmp(operand, "multicast") == 0) {
        check_group(check, AF_INET, GROUP4, "/proc/net/igmp", GROUP4_TABLE);
        if (tarvik_check_inet6_support() == 0) {
            check_group(check, AF_INET6, GROUP6, "/proc/net/igmp6", GROUP6_TABLE);
        }
    }
    return check.status();
}

} // namespace tarvik::test
