// The socket layer: descriptor I/O with millisecond time-outs, options, support probes, the
// openers that walk a resolved address list, multicast membership, connected pairs, host names
// and the network start counter. Nothing here prints; state is limited to the lookup locks,
// the cached probes and the start counter, each under its own short lock.
#include "socket.h"

#include "console.h"
#include "format.h"
#include "inet.h"
#include "interface.h"
#include "resolver.h"
#include "select.h"

#include "detail/common.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using tarvik::detail::ShortLockGuard;

constexpr int PAIR_TIMEOUT_MS = 60000;
constexpr int RESOLVE_TIMEOUT_MS = 60000;
constexpr int LISTEN_BACKLOG = 128;
constexpr int MAX_PORT = 65535;
constexpr int MAX_HOPS = 255;
constexpr size_t HOSTNAME_SIZE = 64;
constexpr const char *SOURCE_NAME = "source/socket";

struct ProtocolName {
    const char *m_name;
    int m_number;
};

// The common protocols never reach the system database, whose lookup is slow and not
// reentrant (and may be missing on a small device).
constexpr ProtocolName PROTOCOLS[] = {
    {"tcp", 6}, {"udp", 17}, {"icmp", 1}, {"ipv6-icmp", 58}, {"ip", 0}, {"ipv6", 41}, {"raw", 255},
};

tarvik_short_lock_t s_protocol_lock = 0;
tarvik_short_lock_t s_service_lock = 0;
tarvik_short_lock_t s_network_lock = 0;
int s_network_count = 0;
tarvik_resolver_cache_t *sg_resolver_cache = nullptr;

// One cached probe: the answer is -2 until first asked.
struct Probe {
    tarvik_short_lock_t m_lock;
    int m_answer;
};
Probe s_local_probe = {0, -2};
Probe s_inet6_probe = {0, -2};
Probe s_inet4_probe = {0, -2};

int report_assertion(unsigned long line, const char *function, const char *message)
{
    return tarvik_assert_fail_tag(SOURCE_NAME, function, line, message);
}

// Closes fd keeping errno; returns -1.
int close_keeping_errno(int fd)
{
    const int error = errno;
    tarvik_close_socket(fd);
    errno = error;
    return -1;
}

socklen_t address_size(const struct sockaddr *address, socklen_t length)
{
    return static_cast<socklen_t>(tarvik_sockaddr_size(address, length));
}

// Waits for the wanted readiness; 1 ready, 0 time-out, -1 error. A negative time-out skips
// the wait entirely, since the call that follows blocks by itself.
int wait_ready(int fd, int flags, int timeout_ms)
{
    if (timeout_ms < 0) {
        return 1;
    }
    // The single wait treats descriptor -1 as a plain sleep: never let a bad descriptor turn
    // into a delay followed by a time-out result.
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    const int ready = tarvik_single_select(fd, flags, timeout_ms);
    if (ready < 0) {
        return -1;
    }
    return ready == 0 ? 0 : 1;
}

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// Receives and sends first try without waiting: on a busy connection the data is usually
// there (or the buffer has room), so a readiness wait first would cost a system call for
// nothing. The time-out still bounds only the wait for readiness, as a wait-first call would.
ssize_t recv_nolock(int fd, void *buffer, size_t size, struct sockaddr *address,
                    socklen_t *address_length, int timeout_ms)
{
    if (timeout_ms >= 0) {
        const ssize_t got =
            recvfrom(fd, buffer, size, MSG_NOSIGNAL | MSG_DONTWAIT, address, address_length);
        if (got >= 0 || !would_block(errno)) {
            return got;
        }
        const int ready = wait_ready(fd, def_tarvik_select_read, timeout_ms);
        if (ready <= 0) {
            return ready == 0 ? -2 : -1;
        }
    }
    return recvfrom(fd, buffer, size, MSG_NOSIGNAL, address, address_length);
}

// The part of a send left after a first try that did not take everything: wait for room,
// then hand over the rest. Bytes already accepted are never reported as a time-out.
ssize_t send_rest(int fd, const uint8_t *data, size_t size, size_t sent,
                  const struct sockaddr *address, socklen_t length, int timeout_ms)
{
    const int ready = wait_ready(fd, def_tarvik_select_write, timeout_ms);
    if (ready <= 0) {
        return sent > 0 ? static_cast<ssize_t>(sent) : ready;
    }
    const ssize_t more = sendto(fd, data + sent, size - sent, MSG_NOSIGNAL, address, length);
    if (more < 0) {
        return sent > 0 ? static_cast<ssize_t>(sent) : -1;
    }
    return static_cast<ssize_t>(sent) + more;
}

ssize_t send_nolock(int fd, const void *data, size_t size, const struct sockaddr *address,
                    socklen_t address_length, int timeout_ms)
{
    const socklen_t length = address != nullptr ? address_size(address, address_length) : 0;
    if (timeout_ms < 0) {
        return sendto(fd, data, size, MSG_NOSIGNAL, address, length);
    }
    const ssize_t first = sendto(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT, address, length);
    if (first < 0 && !would_block(errno)) {
        return -1;
    }
    if (first >= 0 && static_cast<size_t>(first) == size) {
        return first;
    }
    const size_t sent = first > 0 ? static_cast<size_t>(first) : 0;
    return send_rest(fd, static_cast<const uint8_t *>(data), size, sent, address, length,
                     timeout_ms);
}

ssize_t fill_nolock(int fd, void *buffer, size_t size, struct sockaddr *address,
                    socklen_t *address_length, int timeout_ms)
{
    auto *bytes = static_cast<uint8_t *>(buffer);
    size_t total = 0;
    while (total < size) {
        const ssize_t got =
            recv_nolock(fd, bytes + total, size - total, address, address_length, timeout_ms);
        if (got == 0) {
            break;
        }
        if (got == -2) {
            return total > 0 ? static_cast<ssize_t>(total) : -2;
        }
        if (got < 0) {
            return -1;
        }
        total += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(total);
}

ssize_t vsend_message(int fd, const struct sockaddr *address, socklen_t address_length,
                      int timeout_ms, const char *format, va_list arguments)
{
    char *text = tarvik_alloc_vsprintf(format, arguments);
    if (text == nullptr) {
        return -1;
    }
    const ssize_t sent = send_nolock(fd, text, strlen(text), address, address_length, timeout_ms);
    const int saved = errno;
    tarvik_free_tag(text, TARVIK_TAG);
    errno = saved;
    return sent;
}

// Integer option helpers.
int set_int_option(int fd, int level, int name, int value)
{
    if (fd < 0) {
        return -1;
    }
    return setsockopt(fd, level, name, &value, sizeof(value)) == 0 ? 0 : -1;
}

int get_int_option(int fd, int level, int name, int *value)
{
    socklen_t length = sizeof(*value);
    *value = 0;
    return getsockopt(fd, level, name, value, &length) == 0 ? 0 : -1;
}

int socket_family(int fd)
{
    struct sockaddr_storage address;
    socklen_t length = sizeof(address);
    memset(&address, 0, sizeof(address));
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&address), &length) != 0) {
        return -1;
    }
    return address.ss_family;
}

int probe_socket(int family, int type, int protocol)
{
    const int fd = tarvik_open_socket(family, type, protocol);
    if (fd < 0) {
        return -1;
    }
    tarvik_close_socket(fd);
    return 0;
}

int cached_probe(Probe *probe, int family)
{
    ShortLockGuard guard(&probe->m_lock);
    if (probe->m_answer == -2) {
        probe->m_answer = probe_socket(family, SOCK_DGRAM, 0);
    }
    return probe->m_answer;
}

// ---- connect ----------------------------------------------------------------------------

// Keeps the caller's descriptor flags, so a socket that was non-blocking stays so.
int connect_nolock(int fd, const struct sockaddr *address, socklen_t address_length, int timeout_ms)
{
    int saved_flags = -1;
    if (timeout_ms >= 0) {
        saved_flags = fcntl(fd, F_GETFL);
        if (saved_flags < 0 || fcntl(fd, F_SETFL, saved_flags | O_NONBLOCK) != 0) {
            return -1;
        }
    }
    const int result = connect(fd, address, address_size(address, address_length));
    const int error = errno;
    if (saved_flags >= 0) {
        fcntl(fd, F_SETFL, saved_flags);
    }
    if (result == 0) {
        return 0;
    }
    errno = error;
    // Only a connection still under way is worth waiting for: any other failure is final, and
    // a socket that never started connecting may well look ready with no pending error (a
    // local socket refused for a full backlog says EAGAIN and is not connecting at all).
    if (error != EINPROGRESS && error != EALREADY) {
        return -1;
    }
    if (timeout_ms < 1) {
        return -1;
    }
    const int ready = tarvik_single_select(
        fd, def_tarvik_select_read | def_tarvik_select_write | def_tarvik_select_except,
        timeout_ms);
    if (ready <= 0) {
        if (ready == 0) {
            errno = ETIMEDOUT;
        }
        return -1;
    }
    int pending = 0;
    if (get_int_option(fd, SOL_SOCKET, SO_ERROR, &pending) != 0) {
        return -1;
    }
    if (pending != 0) {
        errno = pending;
        return -1;
    }
    return 0;
}

// ---- local addresses for the openers ------------------------------------------------------

// A socket address for a local path; false when the path does not fit.
bool make_local_address(const char *path, struct sockaddr_un *address, socklen_t *length)
{
    memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    const size_t size = path != nullptr ? strlen(path) : 0;
    if (size == 0 || size >= sizeof(address->sun_path)) {
        return false;
    }
    memcpy(address->sun_path, path, size);
    *length = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + size + 1);
    return true;
}

// The any address (or the literal bind address) of family with port; false when the bind
// address is no literal of that family.
bool make_bind_address(int family, const char *bind_address, int port,
                       struct sockaddr_storage *address, socklen_t *length)
{
    memset(address, 0, sizeof(*address));
    if (family == AF_INET) {
        auto *in4 = reinterpret_cast<struct sockaddr_in *>(address);
        in4->sin_family = AF_INET;
        in4->sin_port = tarvik_be16_order(static_cast<uint16_t>(port));
        *length = sizeof(*in4);
        return bind_address == nullptr ||
               tarvik_inet_pton(AF_INET, bind_address, &in4->sin_addr) == 0;
    }
    if (family == AF_INET6) {
        auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = tarvik_be16_order(static_cast<uint16_t>(port));
        *length = sizeof(*in6);
        return bind_address == nullptr ||
               tarvik_inet_pton(AF_INET6, bind_address, &in6->sin6_addr) == 0;
    }
    return false;
}

// The resolved entry itself as the local address: the openers that resolve the bind address
// bind exactly what it named, so "localhost" never widens to every interface.
void copy_entry_address(const tarvik_resolver_t *entry, struct sockaddr_storage *address,
                        socklen_t *length)
{
    memset(address, 0, sizeof(*address));
    size_t size = entry->address_length;
    if (size > sizeof(*address)) {
        size = sizeof(*address);
    }
    memcpy(address, entry->address, size);
    *length = static_cast<socklen_t>(size);
}

bool family_wanted(int wanted, int family) { return wanted == 0 || wanted == family; }

// Tries open on each entry of the wanted family until one gives a descriptor; frees the
// list and keeps the errno of the last attempt.
template <typename Open> int first_opened(tarvik_resolver_t *list, int family, Open open)
{
    int fd = -1;
    for (const tarvik_resolver_t *entry = list; entry != nullptr && fd < 0; entry = entry->next) {
        if (family_wanted(family, entry->family)) {
            fd = open(entry);
        }
    }
    const int error = errno;
    tarvik_close_resolver(list);
    errno = error;
    return fd;
}

// ---- connect opener -----------------------------------------------------------------------

int connect_entry(const tarvik_resolver_t *entry, const char *bind_address, int bind_port,
                  int timeout_ms)
{
    struct sockaddr_storage local;
    socklen_t local_length = 0;
    if (!make_bind_address(entry->family, bind_address, bind_port, &local, &local_length)) {
        return -1;
    }
    const int fd =
        tarvik_open_socket(entry->family, SOCK_STREAM, tarvik_get_protocol_by_name("tcp"));
    if (fd < 0) {
        return -1;
    }
    if (entry->family == AF_INET6 && set_int_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, 0) != 0) {
        return tarvik_close_socket(fd);
    }
    if (tarvik_bind(fd, reinterpret_cast<struct sockaddr *>(&local), local_length) != 0 ||
        connect_nolock(fd, entry->address, entry->address_length, timeout_ms) != 0) {
        return close_keeping_errno(fd);
    }
    return fd;
}

int connect_local(const char *bind_path, const char *path, int timeout_ms)
{
    struct sockaddr_un remote;
    socklen_t remote_length = 0;
    if (!make_local_address(path, &remote, &remote_length)) {
        errno = EINVAL;
        return -1;
    }
    const int fd = tarvik_open_socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_un local;
    socklen_t local_length = 0;
    bool ok = true;
    if (bind_path != nullptr) {
        ok = make_local_address(bind_path, &local, &local_length) &&
             bind(fd, reinterpret_cast<struct sockaddr *>(&local), local_length) == 0;
    }
    if (!ok || connect_nolock(fd, reinterpret_cast<struct sockaddr *>(&remote), remote_length,
                              timeout_ms) != 0) {
        return close_keeping_errno(fd);
    }
    return fd;
}

// ---- listen opener ------------------------------------------------------------------------

// Opens a socket of the entry's family for a listener or a datagram endpoint and works out
// the local address it will bind: the resolved bind address itself, or the any address with
// the port. Returns the descriptor or -1.
int open_bound_candidate(const tarvik_resolver_t *entry, const char *bind_address, int port,
                         int type, struct sockaddr_storage *local, socklen_t *local_length)
{
    *local_length = 0;
    if (bind_address != nullptr) {
        copy_entry_address(entry, local, local_length);
    } else if (!make_bind_address(entry->family, nullptr, port, local, local_length)) {
        return -1;
    }
    const char *protocol = type == SOCK_STREAM ? "tcp" : "udp";
    return tarvik_open_socket(entry->family, type, tarvik_get_protocol_by_name(protocol));
}

int listen_entry(int family, const tarvik_resolver_t *entry, const char *bind_address, int port)
{
    struct sockaddr_storage local;
    socklen_t local_length = 0;
    const int fd =
        open_bound_candidate(entry, bind_address, port, SOCK_STREAM, &local, &local_length);
    if (fd < 0) {
        return -1;
    }
    // Without a family asked for, an IPv6 listener keeps the system's dual-stack default.
    bool ok = !(entry->family == AF_INET6 && family != 0 &&
                set_int_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1) != 0);
    ok = ok && set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1) == 0 &&
         tarvik_bind(fd, reinterpret_cast<struct sockaddr *>(&local), local_length) == 0 &&
         tarvik_listen(fd, LISTEN_BACKLOG) == 0;
    if (!ok) {
        return close_keeping_errno(fd);
    }
    return fd;
}

int listen_local(const char *path)
{
    struct sockaddr_un local;
    socklen_t local_length = 0;
    if (!make_local_address(path, &local, &local_length)) {
        errno = EINVAL;
        return -1;
    }
    const int fd = tarvik_open_socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&local), local_length) != 0 ||
        tarvik_listen(fd, LISTEN_BACKLOG) != 0) {
        return close_keeping_errno(fd);
    }
    return fd;
}

// ---- datagram opener ----------------------------------------------------------------------

// Parses a multicast group (IPv4 first, then IPv6) into a socket address; false otherwise.
bool parse_group(const char *group, struct sockaddr_storage *address)
{
    memset(address, 0, sizeof(*address));
    auto *in4 = reinterpret_cast<struct sockaddr_in *>(address);
    if (tarvik_inet_pton(AF_INET, group, &in4->sin_addr) == 0) {
        in4->sin_family = AF_INET;
        return tarvik_inet_is_multicast(&in4->sin_addr) == 1;
    }
    memset(address, 0, sizeof(*address));
    auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(address);
    if (tarvik_inet_pton(AF_INET6, group, &in6->sin6_addr) == 0) {
        in6->sin6_family = AF_INET6;
        return tarvik_inet6_is_multicast(&in6->sin6_addr) == 1;
    }
    return false;
}

int udp_entry(const tarvik_resolver_t *entry, const char *bind_address, int port)
{
    struct sockaddr_storage local;
    socklen_t local_length = 0;
    const int fd =
        open_bound_candidate(entry, bind_address, port, SOCK_DGRAM, &local, &local_length);
    if (fd < 0) {
        return -1;
    }
    bool ok = true;
    if (entry->family == AF_INET) {
        // The outgoing interface for groups is a preference: a system that refuses the option
        // still sends through its routing table, so the socket stays usable without it.
        const auto *in4 = reinterpret_cast<const struct sockaddr_in *>(&local);
        ok = set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1) == 0;
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &in4->sin_addr, sizeof(in4->sin_addr));
    } else {
        ok = set_int_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1) == 0 &&
             set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1) == 0;
    }
    if (!ok || tarvik_bind(fd, reinterpret_cast<struct sockaddr *>(&local), local_length) != 0) {
        return close_keeping_errno(fd);
    }
    return fd;
}

// ---- multicast ------------------------------------------------------------------------------

bool is_any_address(const struct sockaddr *address)
{
    if (address->sa_family == AF_INET) {
        return reinterpret_cast<const struct sockaddr_in *>(address)->sin_addr.s_addr == 0;
    }
    if (address->sa_family == AF_INET6) {
        return tarvik_in6addr_is_unspecified(
                   &reinterpret_cast<const struct sockaddr_in6 *>(address)->sin6_addr) == 1;
    }
    return true;
}

// The first usable address of family on the interface, or null.
const struct sockaddr *interface_address(const tarvik_network_interface_t *record, int family)
{
    for (const tarvik_network_interface_address_t *node = record->address_head; node != nullptr;
         node = node->next) {
        if (node->address != nullptr && node->address->sa_family == family &&
            !is_any_address(node->address)) {
            return node->address;
        }
    }
    return nullptr;
}

// The interface's IPv4 address: asked of the kernel first, else taken from the list.
struct in_addr ipv4_of_interface(int fd, const tarvik_network_interface_t *record)
{
    struct in_addr result;
    result.s_addr = 0;
    if (record == nullptr) {
        return result;
    }
    struct ifreq request;
    memset(&request, 0, sizeof(request));
    strncpy(request.ifr_name, record->name, sizeof(request.ifr_name) - 1);
    if (ioctl(fd, SIOCGIFADDR, &request) == 0 && request.ifr_addr.sa_family == AF_INET) {
        memcpy(&result, &reinterpret_cast<struct sockaddr_in *>(&request.ifr_addr)->sin_addr,
               sizeof(result));
        return result;
    }
    const struct sockaddr *address = interface_address(record, AF_INET);
    if (address != nullptr) {
        result = reinterpret_cast<const struct sockaddr_in *>(address)->sin_addr;
    }
    return result;
}

bool join_by_address(int fd, const struct sockaddr *group, int join,
                     const tarvik_network_interface_t *record, int index)
{
    if (group->sa_family == AF_INET) {
        struct ip_mreqn request;
        memset(&request, 0, sizeof(request));
        request.imr_multiaddr = reinterpret_cast<const struct sockaddr_in *>(group)->sin_addr;
        request.imr_address = ipv4_of_interface(fd, record);
        // The index keeps two interfaces that share an address apart.
        request.imr_ifindex = index;
        return setsockopt(fd, IPPROTO_IP, join != 0 ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP,
                          &request, sizeof(request)) == 0;
    }
    struct ipv6_mreq request;
    memset(&request, 0, sizeof(request));
    request.ipv6mr_multiaddr = reinterpret_cast<const struct sockaddr_in6 *>(group)->sin6_addr;
    request.ipv6mr_interface = static_cast<unsigned>(index);
    return setsockopt(fd, IPPROTO_IPV6, join != 0 ? IPV6_ADD_MEMBERSHIP : IPV6_DROP_MEMBERSHIP,
                      &request, sizeof(request)) == 0;
}

bool join_by_group_request(int fd, const struct sockaddr *group, int join, int index)
{
    struct group_req request;
    memset(&request, 0, sizeof(request));
    request.gr_interface = static_cast<uint32_t>(index);
    memcpy(&request.gr_group, group, tarvik_sockaddr_size(group, 0));
    const int level = group->sa_family == AF_INET ? IPPROTO_IP : IPPROTO_IPV6;
    return setsockopt(fd, level, join != 0 ? MCAST_JOIN_GROUP : MCAST_LEAVE_GROUP, &request,
                      sizeof(request)) == 0;
}

bool join_one(int fd, const struct sockaddr *group, int join,
              const tarvik_network_interface_t *record)
{
    int index = 0;
    if (record != nullptr) {
        index = record->index > 0 ? record->index
                                  : static_cast<int>(tarvik_interface_name_to_index(record->name));
    }
    return join_by_address(fd, group, join, record, index) ||
           join_by_group_request(fd, group, join, index);
}

int join_all_nolock(int fd, const struct sockaddr *group, int join)
{
    tarvik_network_interface_t *list = tarvik_get_network_interface(
        TARVIK_NETIF_INDEX | TARVIK_NETIF_FLAGS | TARVIK_NETIF_IPV4 | TARVIK_NETIF_IPV6);
    if (list == nullptr) {
        return join_one(fd, group, join, nullptr) ? 0 : -1;
    }
    int taken = 0;
    int error = 0;
    for (const tarvik_network_interface_t *record = list; record != nullptr;
         record = record->next) {
        if ((record->flags & TARVIK_NETIF_FLAG_UP) == 0 ||
            interface_address(record, group->sa_family) == nullptr) {
            continue;
        }
        if (join_one(fd, group, join, record)) {
            ++taken;
        } else {
            error = errno;
        }
    }
    tarvik_free_network_interface(list);
    if (taken == 0 && error != 0) {
        errno = error;
    }
    return taken > 0 ? 0 : -1;
}

// ---- connected pair -------------------------------------------------------------------------

bool make_loopback(int family, struct sockaddr_storage *address, socklen_t *length)
{
    memset(address, 0, sizeof(*address));
    if (family == AF_INET) {
        auto *in4 = reinterpret_cast<struct sockaddr_in *>(address);
        in4->sin_family = AF_INET;
        in4->sin_addr.s_addr = tarvik_be32_order(INADDR_LOOPBACK);
        *length = sizeof(*in4);
        return true;
    }
    if (family == AF_INET6) {
        auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(address);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        *length = sizeof(*in6);
        return true;
    }
    if (family == AF_UNIX) {
        // Binding only the family makes the kernel pick an unused abstract name.
        address->ss_family = AF_UNIX;
        *length = sizeof(sa_family_t);
        return true;
    }
    return false;
}

// Same length and the same endpoint (port and address for the Internet families, the name
// for a local one).
bool same_endpoint(const struct sockaddr_storage *a, socklen_t a_length,
                   const struct sockaddr_storage *b, socklen_t b_length)
{
    if (a_length != b_length || a->ss_family != b->ss_family) {
        return false;
    }
    if (a->ss_family == AF_INET) {
        const auto *x = reinterpret_cast<const struct sockaddr_in *>(a);
        const auto *y = reinterpret_cast<const struct sockaddr_in *>(b);
        return x->sin_port == y->sin_port && x->sin_addr.s_addr == y->sin_addr.s_addr;
    }
    if (a->ss_family == AF_INET6) {
        const auto *x = reinterpret_cast<const struct sockaddr_in6 *>(a);
        const auto *y = reinterpret_cast<const struct sockaddr_in6 *>(b);
        return x->sin6_port == y->sin6_port &&
               memcmp(&x->sin6_addr, &y->sin6_addr, sizeof(x->sin6_addr)) == 0;
    }
    return memcmp(a, b, a_length) == 0;
}

struct Endpoints {
    struct sockaddr_storage m_local;
    socklen_t m_local_length;
    struct sockaddr_storage m_peer;
    socklen_t m_peer_length;
};

bool read_endpoints(int fd, Endpoints *out)
{
    memset(out, 0, sizeof(*out));
    out->m_local_length = sizeof(out->m_local);
    out->m_peer_length = sizeof(out->m_peer);
    return getsockname(fd, reinterpret_cast<struct sockaddr *>(&out->m_local),
                       &out->m_local_length) == 0 &&
           getpeername(fd, reinterpret_cast<struct sockaddr *>(&out->m_peer),
                       &out->m_peer_length) == 0;
}

// Both ends must see each other: a stranger that raced us to the listening port would show
// up as a peer that is not our connecting end.
bool pair_matches(int first, int second)
{
    Endpoints a;
    Endpoints b;
    return read_endpoints(first, &a) && read_endpoints(second, &b) &&
           same_endpoint(&a.m_peer, a.m_peer_length, &b.m_local, b.m_local_length) &&
           same_endpoint(&b.m_peer, b.m_peer_length, &a.m_local, a.m_local_length);
}

bool pair_protocol_ok(int family, int type, int protocol)
{
    if (family == AF_UNIX) {
        return type == SOCK_STREAM || type == SOCK_DGRAM;
    }
    if (family != AF_INET && family != AF_INET6) {
        return false;
    }
    if (type == SOCK_STREAM) {
        return protocol == tarvik_get_protocol_by_name("tcp");
    }
    if (type == SOCK_DGRAM) {
        return protocol == tarvik_get_protocol_by_name("udp");
    }
    return false;
}

// First end: named on the loopback (and listening for a stream); its name goes to address.
int open_named_end(int family, int type, int protocol, struct sockaddr_storage *address,
                   socklen_t *length)
{
    const int fd = tarvik_open_socket(family, type, protocol);
    if (fd < 0) {
        return -1;
    }
    make_loopback(family, address, length);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(address), *length) != 0) {
        return close_keeping_errno(fd);
    }
    *length = sizeof(*address);
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(address), length) != 0 ||
        (type == SOCK_STREAM && tarvik_listen(fd, 1) != 0)) {
        return close_keeping_errno(fd);
    }
    return fd;
}

// Second end: named on the loopback too (a local datagram socket is not named by connect, and
// the other end must be able to answer it), then connected to the first.
int open_connecting_end(int family, int type, int protocol, const struct sockaddr_storage *address,
                        socklen_t length)
{
    const int fd = tarvik_open_socket(family, type, protocol);
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_storage own;
    socklen_t own_length = 0;
    make_loopback(family, &own, &own_length);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&own), own_length) != 0 ||
        connect_nolock(fd, reinterpret_cast<const struct sockaddr *>(address), length,
                       PAIR_TIMEOUT_MS) != 0) {
        return close_keeping_errno(fd);
    }
    return fd;
}

// Third end: the accepted connection for a stream (the first end is closed), or the first end
// itself connected back to the second for datagrams, so that either end can send.
int open_answering_end(int first, int second, int type)
{
    if (type == SOCK_STREAM) {
        const int accepted = tarvik_accept(first, nullptr, nullptr, PAIR_TIMEOUT_MS);
        close_keeping_errno(first);
        return accepted;
    }
    struct sockaddr_storage back;
    socklen_t back_length = sizeof(back);
    if (getsockname(second, reinterpret_cast<struct sockaddr *>(&back), &back_length) != 0 ||
        connect_nolock(first, reinterpret_cast<struct sockaddr *>(&back), back_length,
                       PAIR_TIMEOUT_MS) != 0) {
        return close_keeping_errno(first);
    }
    return first;
}

int emulate_pair(int family, int type, int protocol, int *out)
{
    if (!pair_protocol_ok(family, type, protocol)) {
        errno = EPROTONOSUPPORT;
        return -1;
    }
    const int kernel_protocol = family == AF_UNIX ? 0 : protocol;
    struct sockaddr_storage address;
    socklen_t length = 0;
    const int first = open_named_end(family, type, kernel_protocol, &address, &length);
    if (first < 0) {
        return -1;
    }
    const int second = open_connecting_end(family, type, kernel_protocol, &address, length);
    if (second < 0) {
        return close_keeping_errno(first);
    }
    const int third = open_answering_end(first, second, type);
    if (third < 0 || !pair_matches(second, third)) {
        close_keeping_errno(third);
        errno = third < 0 ? errno : ECONNABORTED;
        return close_keeping_errno(second);
    }
    out[0] = second;
    out[1] = third;
    return 0;
}

int socket_pair_nolock(int family, int type, int protocol, int *out)
{
    if (family == AF_UNIX && socketpair(AF_UNIX, type, 0, out) == 0) {
        return 0;
    }
    return emulate_pair(family, type, protocol, out);
}

// ---- host names ------------------------------------------------------------------------------

char *canonical_name(const char *host, const char *tag, unsigned long line, int *status)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    struct addrinfo *answers = nullptr;
    *status = getaddrinfo(host, "http", &hints, &answers);
    if (*status != 0) {
        return nullptr;
    }
    char *result = nullptr;
    for (const struct addrinfo *answer = answers; answer != nullptr; answer = answer->ai_next) {
        if (answer->ai_canonname != nullptr && answer->ai_canonname[0] != '\0') {
            result = tarvik_strdup_tag(answer->ai_canonname, tag, line);
            break;
        }
    }
    freeaddrinfo(answers);
    return result;
}

} // namespace

// ---- descriptor I/O --------------------------------------------------------------------------

TARVIK_API ssize_t tarvik_send(int fd, const void *data, size_t size, int timeout_ms)
{
    return send_nolock(fd, data, size, nullptr, 0, timeout_ms);
}

TARVIK_API ssize_t tarvik_sendto(int fd, const void *data, size_t size,
                                 const struct sockaddr *address, socklen_t address_length,
                                 int timeout_ms)
{
    return send_nolock(fd, data, size, address, address_length, timeout_ms);
}

TARVIK_API ssize_t tarvik_send_message(int fd, int timeout_ms, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const ssize_t sent = vsend_message(fd, nullptr, 0, timeout_ms, format, arguments);
    va_end(arguments);
    return sent;
}

TARVIK_API ssize_t tarvik_sendto_message(int fd, const struct sockaddr *address,
                                         socklen_t address_length, int timeout_ms,
                                         const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const ssize_t sent = vsend_message(fd, address, address_length, timeout_ms, format, arguments);
    va_end(arguments);
    return sent;
}

TARVIK_API ssize_t tarvik_recv(int fd, void *buffer, size_t size, int timeout_ms)
{
    return recv_nolock(fd, buffer, size, nullptr, nullptr, timeout_ms);
}

TARVIK_API ssize_t tarvik_recvfrom(int fd, void *buffer, size_t size, struct sockaddr *address,
                                   socklen_t *address_length, int timeout_ms)
{
    return recv_nolock(fd, buffer, size, address, address_length, timeout_ms);
}

TARVIK_API ssize_t tarvik_recv_fill(int fd, void *buffer, size_t size, int timeout_ms)
{
    return fill_nolock(fd, buffer, size, nullptr, nullptr, timeout_ms);
}

TARVIK_API ssize_t tarvik_recvfrom_fill(int fd, void *buffer, size_t size, struct sockaddr *address,
                                        socklen_t *address_length, int timeout_ms)
{
    return fill_nolock(fd, buffer, size, address, address_length, timeout_ms);
}

TARVIK_API ssize_t tarvik_sys_send(int fd, const void *data, size_t size, int flags)
{
    return send(fd, data, size, flags);
}

TARVIK_API ssize_t tarvik_sys_sendto(int fd, const void *data, size_t size, int flags,
                                     const struct sockaddr *address, socklen_t address_length)
{
    return sendto(fd, data, size, flags, address, address_size(address, address_length));
}

TARVIK_API ssize_t tarvik_sys_recv(int fd, void *buffer, size_t size, int flags)
{
    return recv(fd, buffer, size, flags);
}

TARVIK_API ssize_t tarvik_sys_recvfrom(int fd, void *buffer, size_t size, int flags,
                                       struct sockaddr *address, socklen_t *address_length)
{
    return recvfrom(fd, buffer, size, flags, address, address_length);
}

TARVIK_API int tarvik_accept(int fd, struct sockaddr *address, socklen_t *address_length,
                             int timeout_ms)
{
    const int ready = wait_ready(fd, def_tarvik_select_read, timeout_ms);
    if (ready <= 0) {
        if (ready == 0) {
            errno = ETIMEDOUT;
        }
        return -1;
    }
    return accept(fd, address, address_length);
}

TARVIK_API int tarvik_connect(int fd, const struct sockaddr *address, socklen_t address_length,
                              int timeout_ms)
{
    return connect_nolock(fd, address, address_length, timeout_ms);
}

TARVIK_API int tarvik_listen(int fd, int backlog) { return listen(fd, backlog) == 0 ? 0 : -1; }

TARVIK_API int tarvik_bind(int fd, const struct sockaddr *address, socklen_t address_length)
{
    return bind(fd, address, address_size(address, address_length)) == 0 ? 0 : -1;
}

TARVIK_API int tarvik_open_socket(int family, int type, int protocol)
{
    return socket(family, type & 0xFFFF, protocol);
}

// Linux releases the descriptor even when close reports EINTR, so the call is never repeated:
// a retry could close a descriptor that another thread has just been given.
TARVIK_API int tarvik_close_socket(int fd)
{
    if (fd >= 0) {
        close(fd);
    }
    return def_tarvik_invalid_socket;
}

TARVIK_API int tarvik_shutdown_close_socket(int fd, int timeout_ms)
{
    if (fd < 0) {
        return def_tarvik_invalid_socket;
    }
    if (tarvik_shutdown_socket(fd, 2) == 0) {
        tarvik_single_select(fd, def_tarvik_select_read | def_tarvik_select_except, timeout_ms);
    }
    return tarvik_close_socket(fd);
}

TARVIK_API int tarvik_shutdown_socket(int fd, int how)
{
    if (fd < 0) {
        return -1;
    }
    const int side = how == 1 ? SHUT_WR : (how == 2 ? SHUT_RDWR : SHUT_RD);
    return shutdown(fd, side) == 0 ? 0 : -1;
}

TARVIK_API int tarvik_set_non_block_socket(int fd, int on)
{
    if (fd < 0) {
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return -1;
    }
    const int wanted = on != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(fd, F_SETFL, wanted) == 0 ? 0 : -1;
}

// ---- options ---------------------------------------------------------------------------------

TARVIK_API int tarvik_setsockopt(int fd, int level, int name, const void *value, socklen_t length)
{
    return setsockopt(fd, level, name, value, length);
}

TARVIK_API int tarvik_getsockopt(int fd, int level, int name, void *value, socklen_t *length)
{
    return getsockopt(fd, level, name, value, length);
}

TARVIK_API int tarvik_getpeername(int fd, struct sockaddr *address, socklen_t *address_length)
{
    return getpeername(fd, address, address_length);
}

TARVIK_API int tarvik_getsockname(int fd, struct sockaddr *address, socklen_t *address_length)
{
    return getsockname(fd, address, address_length);
}

TARVIK_API int tarvik_set_broadcast_socket(int fd, int on)
{
    return set_int_option(fd, SOL_SOCKET, SO_BROADCAST, on != 0 ? 1 : 0);
}

TARVIK_API int tarvik_set_reuse_address_socket(int fd, int on)
{
    return set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, on != 0 ? 1 : 0);
}

TARVIK_API int tarvik_set_linger_socket(int fd, int on, int seconds)
{
    if (fd < 0) {
        return -1;
    }
    struct linger value;
    value.l_onoff = on != 0 ? 1 : 0;
    value.l_linger = on != 0 ? seconds : 0;
    return setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof(value)) == 0 ? 0 : -1;
}

TARVIK_API int tarvik_set_rx_socket_buffer_size(int fd, int bytes)
{
    return set_int_option(fd, SOL_SOCKET, SO_RCVBUF, bytes);
}

TARVIK_API int tarvik_set_tx_socket_buffer_size(int fd, int bytes)
{
    return set_int_option(fd, SOL_SOCKET, SO_SNDBUF, bytes);
}

TARVIK_API int tarvik_hops_socket(int fd, int hops, int multicast)
{
    if (fd < 0 || hops < -1 || hops > MAX_HOPS) {
        return -1;
    }
    const int family = socket_family(fd);
    int level = 0;
    int name = 0;
    if (family == AF_INET) {
        level = IPPROTO_IP;
        name = multicast != 0 ? IP_MULTICAST_TTL : IP_TTL;
    } else if (family == AF_INET6) {
        level = IPPROTO_IPV6;
        name = multicast != 0 ? IPV6_MULTICAST_HOPS : IPV6_UNICAST_HOPS;
    } else if (family == AF_UNIX) {
        return 0;
    } else {
        return -1;
    }
    if (hops >= 0) {
        return set_int_option(fd, level, name, hops);
    }
    int value = 0;
    return get_int_option(fd, level, name, &value) == 0 ? value : -1;
}

// ---- probes and lookups ----------------------------------------------------------------------

TARVIK_API int tarvik_check_socket_support(int family, int type, int protocol)
{
    return probe_socket(family, type, protocol);
}

TARVIK_API int tarvik_check_inet_support(int family, int type, int protocol)
{
    return probe_socket(family, type, protocol);
}

TARVIK_API int tarvik_check_local_socket_support(void)
{
    return cached_probe(&s_local_probe, AF_UNIX);
}

TARVIK_API int tarvik_check_inet6_support(void) { return cached_probe(&s_inet6_probe, AF_INET6); }

TARVIK_API int tarvik_check_inet4_support(void) { return cached_probe(&s_inet4_probe, AF_INET); }

TARVIK_API int tarvik_get_protocol_by_name(const char *name)
{
    if (name == nullptr) {
        return 0;
    }
    for (const ProtocolName &entry : PROTOCOLS) {
        if (strcmp(entry.m_name, name) == 0) {
            return entry.m_number;
        }
    }
    ShortLockGuard guard(&s_protocol_lock);
    const struct protoent *found = getprotobyname(name);
    return found != nullptr ? found->p_proto : 0;
}

TARVIK_API int tarvik_get_service_by_name(const char *name, const char *protocol)
{
    if (name == nullptr) {
        return -1;
    }
    ShortLockGuard guard(&s_service_lock);
    const struct servent *found = getservbyname(name, protocol != nullptr ? protocol : "tcp");
    return found != nullptr ? tarvik_be16_order(static_cast<uint16_t>(found->s_port)) : 0;
}

// ---- openers ---------------------------------------------------------------------------------

TARVIK_API int tarvik_open_connect_socket_ex(int family, const char *bind_address, int bind_port,
                                             const char *host, int port, int timeout_ms)
{
    if (bind_port < 0 || bind_port > MAX_PORT || host == nullptr) {
        return -1;
    }
    if (family == AF_UNIX) {
        return connect_local(bind_address, host, timeout_ms);
    }
    if (port < 1 || port > MAX_PORT) {
        return -1;
    }
    return first_opened(
        tarvik_open_resolver_ex(host, static_cast<uint32_t>(port), RESOLVE_TIMEOUT_MS), family,
        [&](const tarvik_resolver_t *entry) {
            return connect_entry(entry, bind_address, bind_port, timeout_ms);
        });
}

TARVIK_API int tarvik_open_connect_socket(const char *host, int port, int timeout_ms)
{
    return tarvik_open_connect_socket_ex(0, nullptr, 0, host, port, timeout_ms);
}

TARVIK_API int tarvik_open_listen_socket_ex(int family, const char *bind_address, int port)
{
    if (port < 0 || port > MAX_PORT) {
        return -1;
    }
    if (family == AF_UNIX) {
        return listen_local(bind_address);
    }
    return first_opened(tarvik_open_resolver(bind_address, static_cast<uint32_t>(port)), family,
                        [&](const tarvik_resolver_t *entry) {
                            return listen_entry(family, entry, bind_address, port);
                        });
}

TARVIK_API int tarvik_open_listen_socket(const char *bind_address, int port)
{
    return tarvik_open_listen_socket_ex(0, bind_address, port);
}

TARVIK_API int tarvik_open_udp_socket_ex(int family, const char *bind_address, int port,
                                         const char *group)
{
    if (port == -1) {
        port = 0;
    }
    if (port < 0 || port > MAX_PORT) {
        return -1;
    }
    struct sockaddr_storage group_address;
    if (group != nullptr) {
        if (!parse_group(group, &group_address) ||
            !family_wanted(family, group_address.ss_family)) {
            errno = EINVAL;
            return -1;
        }
        family = group_address.ss_family;
    }
    tarvik_resolver_t *list =
        tarvik_open_resolver_ex(bind_address, static_cast<uint32_t>(port), RESOLVE_TIMEOUT_MS);
    int fd = -1;
    for (const tarvik_resolver_t *entry = list; entry != nullptr && fd < 0; entry = entry->next) {
        if (family_wanted(family, entry->family)) {
            fd = udp_entry(entry, bind_address, port);
        }
    }
    const int error = errno;
    tarvik_close_resolver(list);
    errno = error;
    if (fd >= 0 && group != nullptr) {
        join_all_nolock(fd, reinterpret_cast<struct sockaddr *>(&group_address), 1);
    }
    return fd;
}

TARVIK_API int tarvik_open_udp_socket(const char *bind_address, int port, const char *group)
{
    return tarvik_open_udp_socket_ex(0, bind_address, port, group);
}

TARVIK_API ssize_t tarvik_send_udp_packet_ex(int family, const char *bind_address, int bind_port,
                                             const char *host, int port, int hops, const void *data,
                                             size_t size, int timeout_ms)
{
    if (host == nullptr || port < 1 || port > MAX_PORT || bind_port < -1 || bind_port > MAX_PORT) {
        return -1;
    }
    tarvik_resolver_t *list =
        tarvik_open_resolver_ex(host, static_cast<uint32_t>(port), RESOLVE_TIMEOUT_MS);
    ssize_t result = -1;
    for (const tarvik_resolver_t *entry = list; entry != nullptr; entry = entry->next) {
        if (!family_wanted(family, entry->family)) {
            continue;
        }
        char text[TARVIK_INET_STRING_SIZE];
        const bool multicast =
            tarvik_sockaddr_scope(entry->address) == TARVIK_SCOPE_MULTICAST &&
            tarvik_inet_stopp(entry->address, text, sizeof(text), nullptr) != nullptr;
        int fd = tarvik_open_udp_socket_ex(entry->family, bind_address, bind_port,
                                           multicast ? text : nullptr);
        if (fd < 0) {
            continue;
        }
        tarvik_set_broadcast_socket(fd, 1);
        if (hops >= 0 && hops <= MAX_HOPS) {
            tarvik_hops_socket(fd, hops, multicast ? 1 : 0);
        }
        result = tarvik_sendto(fd, data, size, entry->address, entry->address_length, timeout_ms);
        const int error = errno;
        fd = tarvik_close_socket(fd);
        errno = error;
    }
    tarvik_close_resolver(list);
    return result;
}

TARVIK_API ssize_t tarvik_send_udp_packet(const char *host, int port, int hops, const void *data,
                                          size_t size, int timeout_ms)
{
    return tarvik_send_udp_packet_ex(0, nullptr, 0, host, port, hops, data, size, timeout_ms);
}

TARVIK_API int tarvik_multicast_join_all(int fd, const struct sockaddr *group, int join)
{
    if (fd < 0 || group == nullptr ||
        (group->sa_family != AF_INET && group->sa_family != AF_INET6)) {
        return -1;
    }
    return join_all_nolock(fd, group, join);
}

// ---- pairs -----------------------------------------------------------------------------------

TARVIK_API int tarvik_socket_pair(int family, int type, int protocol, int *out)
{
    if (out == nullptr) {
        return -1;
    }
    out[0] = def_tarvik_invalid_socket;
    out[1] = def_tarvik_invalid_socket;
    if (socket_pair_nolock(family, type, protocol, out) != 0) {
        out[0] = def_tarvik_invalid_socket;
        out[1] = def_tarvik_invalid_socket;
        return -1;
    }
    if (out[0] == def_tarvik_invalid_socket) {
        report_assertion(__LINE__, __func__, "s_socket[0] != def_tarvik_invalid_socket");
    }
    if (out[1] == def_tarvik_invalid_socket) {
        report_assertion(__LINE__, __func__, "s_socket[1] != def_tarvik_invalid_socket");
    }
    return 0;
}

TARVIK_API int tarvik_socket_pipe(int *out)
{
    if (out == nullptr) {
        return -1;
    }
    const int tcp = tarvik_get_protocol_by_name("tcp");
    constexpr int FAMILIES[] = {AF_UNIX, AF_INET, AF_INET6};
    for (const int family : FAMILIES) {
        if (tarvik_socket_pair(family, SOCK_STREAM, tcp, out) == 0) {
            return 0;
        }
    }
    if (pipe(out) == 0) {
        return 0;
    }
    out[0] = def_tarvik_invalid_socket;
    out[1] = def_tarvik_invalid_socket;
    return -1;
}

// ---- host names ------------------------------------------------------------------------------

// The system allows names of a full 64 bytes; the buffer holds one more for the terminator,
// or such a name would be refused as too long.
TARVIK_API char *tarvik_get_hostname_alloc_tag(const char *tag, unsigned long line)
{
    char name[HOSTNAME_SIZE + 1];
    memset(name, 0, sizeof(name));
    if (gethostname(name, sizeof(name)) != 0) {
        return nullptr;
    }
    name[HOSTNAME_SIZE] = '\0';
    return tarvik_strdup_tag(name, tag, line);
}

TARVIK_API char *tarvik_get_fqdn_alloc_tag(const char *tag, unsigned long line)
{
    char name[HOSTNAME_SIZE + 1];
    memset(name, 0, sizeof(name));
    if (gethostname(name, sizeof(name)) != 0) {
        return nullptr;
    }
    name[HOSTNAME_SIZE] = '\0';
    int status = 0;
    char *result = canonical_name(name, tag, line, &status);
    if (status != 0) {
        // The resolver configuration may have changed since the process started.
        tarvik_reload_resolver();
        result = canonical_name(name, tag, line, &status);
    }
    return result;
}

// ---- network start ---------------------------------------------------------------------------

TARVIK_API int tarvik_init_network(void)
{
    ShortLockGuard guard(&s_network_lock);
    if (s_network_count == 0) {
        if (sg_resolver_cache != nullptr) {
            report_assertion(__LINE__, __func__,
                             "sg_resolver_cache == ((tarvik_resolver_cache_t *)0)");
        }
        sg_resolver_cache = tarvik_open_resolver_cache();
        if (sg_resolver_cache == nullptr) {
            report_assertion(__LINE__, __func__,
                             "sg_resolver_cache != ((tarvik_resolver_cache_t *)0)");
            return -1;
        }
    }
    ++s_network_count;
    return 0;
}

TARVIK_API int tarvik_uninit_network(void)
{
    ShortLockGuard guard(&s_network_lock);
    if (s_network_count <= 0) {
        return -1;
    }
    --s_network_count;
    if (s_network_count == 0) {
        tarvik_close_resolver_cache(sg_resolver_cache);
        sg_resolver_cache = nullptr;
    }
    return 0;
}

TARVIK_API int tarvik_is_network_initialized(void)
{
    ShortLockGuard guard(&s_network_lock);
    return s_network_count > 0 ? 1 : 0;
}
