// Fuzzes the address-string grammar: the first byte picks the family (any, local, IPv4,
// IPv6), the rest is the text. Whatever parses must print and parse back to the same
// address, port and scope, printing must stay inside its buffer, and the heap stays empty.
#include "heap.h"
#include "inet.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Decoded {
    int family = 0;
    uint8_t address[16] = {};
    uint32_t port = 0;
    uint32_t scope = 0;
    std::string path;
};

Decoded decode(const uint8_t *buffer)
{
    Decoded out;
    sa_family_t family = 0;
    memcpy(&family, buffer, sizeof(family));
    out.family = family;
    if (family == AF_INET) {
        struct sockaddr_in in;
        memcpy(&in, buffer, sizeof(in));
        memcpy(out.address, &in.sin_addr, 4);
        out.port = ntohs(in.sin_port);
    } else if (family == AF_INET6) {
        struct sockaddr_in6 in6;
        memcpy(&in6, buffer, sizeof(in6));
        memcpy(out.address, &in6.sin6_addr, 16);
        out.port = ntohs(in6.sin6_port);
        out.scope = in6.sin6_scope_id;
    } else if (family == AF_UNIX) {
        struct sockaddr_un un;
        memcpy(&un, buffer, sizeof(un));
        out.path.assign(un.sun_path, strnlen(un.sun_path, sizeof(un.sun_path)));
    } else {
        abort();
    }
    return out;
}

bool same(const Decoded &a, const Decoded &b)
{
    return a.family == b.family && memcmp(a.address, b.address, 16) == 0 && a.port == b.port &&
           a.scope == b.scope && a.path == b.path;
}

void round_trip(const uint8_t *buffer)
{
    Decoded first = decode(buffer);
    char printed[TARVIK_INET_STRING_SIZE + 1];
    printed[TARVIK_INET_STRING_SIZE] = '#';
    uint32_t port = 0;
    tarvik_inet_stopp(reinterpret_cast<const struct sockaddr *>(buffer), printed,
                      TARVIK_INET_STRING_SIZE, &port);
    if (printed[TARVIK_INET_STRING_SIZE] != '#' || port != first.port) {
        abort();
    }
    std::string text = printed;
    if (first.family == AF_INET) {
        text += ":" + std::to_string(port);
    } else if (first.family == AF_INET6) {
        text = "[" + text + "]:" + std::to_string(port);
    }
    alignas(8) uint8_t again[TARVIK_SOCKADDR_BUFFER_SIZE];
    if (tarvik_inet_ptos(first.family, text.c_str(), 0, reinterpret_cast<struct sockaddr *>(again),
                         sizeof(again)) != 0 ||
        !same(first, decode(again))) {
        abort();
    }
    // A short buffer gets a terminated prefix of the same text.
    char small[7];
    small[6] = '#';
    tarvik_inet_stop(reinterpret_cast<const struct sockaddr *>(buffer), small, 6);
    if (small[6] != '#' || strncmp(small, printed, 5) != 0 || strlen(small) > 5) {
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    static const int FAMILIES[] = {0, AF_UNIX, AF_INET, AF_INET6};
    int family = FAMILIES[data[0] & 3];
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    alignas(8) uint8_t buffer[TARVIK_SOCKADDR_BUFFER_SIZE];
    memset(buffer, 0xA5, sizeof(buffer));
    int rc = tarvik_inet_ptos(family, text.c_str(), 80, reinterpret_cast<struct sockaddr *>(buffer),
                              sizeof(buffer));
    uint8_t bytes[16];
    if (tarvik_inet_pton(family, text.c_str(), bytes) != rc) {
        abort();
    }
    if (rc == 0) {
        round_trip(buffer);
    } else {
        for (uint8_t byte : buffer) {
            if (byte != 0) {
                abort();
            }
        }
    }
    if (tarvik_get_alloc_count() != 0) {
        abort();
    }
    return 0;
}
