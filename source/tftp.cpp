// The TFTP client: one handle per transfer, used by one thread at a time. Every packet is
// judged before it touches the transfer: only the server's host takes part, and once its
// first DATA arrived only that packet's port (the transfer port), so a stranger on the
// network can neither end nor feed a download. Blocks are acknowledged as they come and
// delivered once each, in order.
#include "tftp.h"

#include "detail/common.hpp"
#include "detail/tftp.hpp"
#include "heap.h"
#include "inet.h"
#include "resolver.h"
#include "socket.h"
#include "time.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

using tarvik::detail::TftpVerdict;

constexpr uint16_t OPCODE_READ = 1;
constexpr uint16_t OPCODE_WRITE = 2;
constexpr uint16_t OPCODE_DATA = 3;
constexpr uint16_t OPCODE_ACK = 4;
constexpr uint16_t OPCODE_ERROR = 5;
constexpr uint16_t ERROR_UNDEFINED = 0;
constexpr uint16_t ERROR_ILLEGAL = 4;
constexpr uint16_t ERROR_UNKNOWN_TRANSFER = 5;
constexpr size_t HEADER_SIZE = 4;
// The largest packet of the protocol: a header and a full block.
constexpr size_t PACKET_LIMIT = HEADER_SIZE + TARVIK_TFTP_BLOCK_SIZE;
constexpr int RESOLVE_TIMEOUT_MS = 60000;
constexpr int HOP_LIMIT = 64;
constexpr int RECEIVE_BUFFER_SIZE = 0x100000;

uint16_t read_be16(const uint8_t *at) { return static_cast<uint16_t>((at[0] << 8) | at[1]); }

void write_be16(uint8_t *at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

uint16_t port_of(const struct sockaddr *address)
{
    if (address->sa_family == AF_INET6) {
        return ntohs(reinterpret_cast<const struct sockaddr_in6 *>(address)->sin6_port);
    }
    return ntohs(reinterpret_cast<const struct sockaddr_in *>(address)->sin_port);
}

struct sockaddr *server_of(tarvik_tftp_t *tftp)
{
    return reinterpret_cast<struct sockaddr *>(&tftp->m_server_address);
}

bool is_tcp(const tarvik_tftp_t *tftp) { return tftp->m_transport == TARVIK_TFTP_TRANSPORT_TCP; }

// Sends one packet to the server (its transfer port once fixed): true when all of it went.
bool send_packet(tarvik_tftp_t *tftp, const uint8_t *packet, size_t size, int timeout_ms)
{
    ssize_t sent = is_tcp(tftp) ? tarvik_send(tftp->m_socket, packet, size, timeout_ms)
                                : tarvik_sendto(tftp->m_socket, packet, size, server_of(tftp),
                                                tftp->m_server_address_length, timeout_ms);
    return sent == static_cast<ssize_t>(size);
}

bool send_ack(tarvik_tftp_t *tftp, uint16_t block, int timeout_ms)
{
    uint8_t packet[HEADER_SIZE];
    write_be16(packet, OPCODE_ACK);
    write_be16(packet + 2, block);
    return send_packet(tftp, packet, sizeof(packet), timeout_ms);
}

// An ERROR packet to address (null: the server). Best effort: the transfer ends either way.
void send_error(tarvik_tftp_t *tftp, uint16_t code, const char *message,
                const struct sockaddr *address, socklen_t address_length)
{
    uint8_t packet[64];
    write_be16(packet, OPCODE_ERROR);
    write_be16(packet + 2, code);
    size_t length = strlen(message);
    memcpy(packet + HEADER_SIZE, message, length + 1);
    size_t size = HEADER_SIZE + length + 1;
    if (address == nullptr) {
        send_packet(tftp, packet, size, 0);
    } else {
        tarvik_sendto(tftp->m_socket, packet, size, address, address_length, 0);
    }
}

int send_request(tarvik_tftp_t *tftp, uint16_t opcode, const char *path, const char *mode,
                 int timeout_ms)
{
    if (tftp == nullptr || tftp->m_socket < 0) {
        return -1;
    }
    if (path == nullptr) {
        path = tftp->m_uri->m_decoded_path;
        if (path == nullptr) {
            return -1;
        }
        while (*path == '/') {
            ++path;
        }
    }
    if (*path == '\0') {
        return -1; // no server serves a file without a name
    }
    if (mode == nullptr) {
        mode = "octet";
    }
    tftp->m_block = 0;
    tftp->m_state = TARVIK_TFTP_STATE_TRANSFER;
    tftp->m_data_size = 0;
    tftp->m_transfer_fixed = 0;
    tarvik_sockaddr_set_port(server_of(tftp), tftp->m_request_port);

    uint8_t packet[PACKET_LIMIT];
    const size_t path_length = strlen(path);
    const size_t mode_length = strlen(mode);
    if (path_length + mode_length + 4 > sizeof(packet)) {
        return -1;
    }
    write_be16(packet, opcode);
    memcpy(packet + 2, path, path_length + 1);
    memcpy(packet + 3 + path_length, mode, mode_length + 1);
    return send_packet(tftp, packet, path_length + mode_length + 4, timeout_ms) ? 0 : -1;
}

// A socket of the transport for one resolved address; -1 when any step fails.
int open_socket(tarvik_tftp_t *tftp, const tarvik_resolver_t *entry, int timeout_ms)
{
    const int type = is_tcp(tftp) ? SOCK_STREAM : SOCK_DGRAM;
    int fd = tarvik_open_socket(entry->family, type, 0);
    if (fd < 0) {
        return -1;
    }
    int on = 1;
    bool ok = (is_tcp(tftp) || tarvik_hops_socket(fd, HOP_LIMIT, 0) == 0) &&
              (entry->family != AF_INET6 ||
               tarvik_setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) == 0);
    tarvik_set_rx_socket_buffer_size(fd, RECEIVE_BUFFER_SIZE);
    // The wildcard address of the family with port 0: the system picks our transfer port.
    memset(&tftp->m_local_address, 0, sizeof(tftp->m_local_address));
    tftp->m_local_address.ss_family = entry->family;
    tftp->m_local_address_length = static_cast<uint32_t>(
        tarvik_sockaddr_size(reinterpret_cast<struct sockaddr *>(&tftp->m_local_address), 0));
    ok = ok && tarvik_bind(fd, reinterpret_cast<struct sockaddr *>(&tftp->m_local_address),
                           tftp->m_local_address_length) == 0;
    if (ok && entry->address_length <= sizeof(tftp->m_server_address)) {
        memcpy(&tftp->m_server_address, entry->address, entry->address_length);
        tftp->m_server_address_length = entry->address_length;
    } else {
        ok = false;
    }
    if (ok && is_tcp(tftp)) {
        ok = tarvik_connect(fd, entry->address, entry->address_length, timeout_ms) == 0;
    }
    return ok ? fd : tarvik_close_socket(fd);
}

// One packet, waiting at most wait_ms (negative: no limit): the bytes, -2 after the time-out,
// -1 on an error. The socket's own receive time-out does the waiting, so a transfer in step
// with its server costs one system call per packet; it is set again only when it changes.
ssize_t receive(tarvik_tftp_t *tftp, struct sockaddr_storage *from, socklen_t *from_length,
                int wait_ms)
{
    int flags = MSG_NOSIGNAL;
    if (wait_ms == 0) {
        flags |= MSG_DONTWAIT;
    } else if (wait_ms != tftp->m_receive_timeout_ms) {
        struct timeval timeout = {wait_ms > 0 ? wait_ms / 1000 : 0,
                                  wait_ms > 0 ? (wait_ms % 1000) * 1000 : 0};
        if (setsockopt(tftp->m_socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
            return -1;
        }
        tftp->m_receive_timeout_ms = wait_ms;
    }
    for (;;) {
        ssize_t got = is_tcp(tftp)
                          ? recv(tftp->m_socket, tftp->m_buffer, sizeof(tftp->m_buffer), flags)
                          : recvfrom(tftp->m_socket, tftp->m_buffer, sizeof(tftp->m_buffer), flags,
                                     reinterpret_cast<struct sockaddr *>(from), from_length);
        if (got >= 0) {
            return got;
        }
        if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? -2 : -1;
        }
    }
}

int remaining_ms(uint64_t deadline, int timeout_ms)
{
    if (timeout_ms < 0) {
        return -1;
    }
    uint64_t now = tarvik_time_stamp_msec(nullptr);
    return now >= deadline ? 0 : static_cast<int>(deadline - now);
}

} // namespace

namespace tarvik::detail {

TftpVerdict tftp_judge_packet(tarvik_tftp_t *tftp, size_t size, const struct sockaddr *from,
                              socklen_t from_length, uint16_t *ack_block)
{
    if (!is_tcp(tftp)) {
        // Only the server's host takes part; once fixed, only its transfer port.
        if (from == nullptr || from_length == 0 ||
            tarvik_compare_sockaddr_address(from, server_of(tftp)) != 0) {
            return TftpVerdict::IGNORE;
        }
        if (tftp->m_transfer_fixed != 0 && port_of(from) != port_of(server_of(tftp))) {
            return TftpVerdict::STRANGER;
        }
    }
    const uint8_t *packet = tftp->m_buffer;
    const uint16_t opcode = size >= 2 ? read_be16(packet) : 0;
    tftp->m_state = TARVIK_TFTP_STATE_ERROR;
    if (opcode == OPCODE_ERROR) {
        return TftpVerdict::FAILED;
    }
    if (size < HEADER_SIZE || opcode != OPCODE_DATA || size > PACKET_LIMIT) {
        return TftpVerdict::REFUSED;
    }
    tftp->m_state = TARVIK_TFTP_STATE_TRANSFER;
    if (tftp->m_transfer_fixed == 0 && !is_tcp(tftp)) {
        tarvik_sockaddr_set_port(server_of(tftp), port_of(from));
        tftp->m_transfer_fixed = 1;
    }
    const uint16_t block = read_be16(packet + 2);
    *ack_block = block;
    if (block != static_cast<uint16_t>(tftp->m_block + 1)) {
        return TftpVerdict::DUPLICATE;
    }
    tftp->m_block = block;
    tftp->m_data = tftp->m_buffer + HEADER_SIZE;
    tftp->m_data_size = static_cast<uint32_t>(size - HEADER_SIZE);
    if (tftp->m_data_size < TARVIK_TFTP_BLOCK_SIZE) {
        tftp->m_state = TARVIK_TFTP_STATE_DONE;
    }
    return TftpVerdict::DELIVER;
}

} // namespace tarvik::detail

extern "C" {

TARVIK_API tarvik_tftp_t *tarvik_open_tftp(int transport, const char *uri, int timeout_ms)
{
    auto *tftp = static_cast<tarvik_tftp_t *>(tarvik_alloc_tag(sizeof(tarvik_tftp_t), TARVIK_TAG));
    if (tftp == nullptr) {
        return nullptr;
    }
    memset(tftp, 0, sizeof(*tftp));
    tftp->m_transport = transport;
    tftp->m_socket = -1;
    tftp->m_receive_timeout_ms = -2;
    tftp->m_data = tftp->m_buffer + HEADER_SIZE;
    tftp->m_uri = tarvik_open_uri(uri != nullptr ? uri : "tftp://localhost");
    if (tftp->m_uri == nullptr) {
        return tarvik_close_tftp(tftp);
    }
    const char *host = tftp->m_uri->m_host != nullptr ? tftp->m_uri->m_host : "localhost";
    int port = tftp->m_uri->m_port;
    if (port <= 0 || port > 65535) {
        port = tarvik_get_service_by_name("tftp", is_tcp(tftp) ? "tcp" : "udp");
        if (port <= 0) {
            port = TARVIK_TFTP_DEFAULT_PORT;
        }
    }
    tftp->m_request_port = static_cast<uint32_t>(port);
    // A literal address needs no resolver service (and its thread): it is looked up at once.
    uint8_t literal[16];
    const bool numeric = tarvik_inet_pton(AF_INET, host, literal) == 0 ||
                         tarvik_inet_pton(AF_INET6, host, literal) == 0;
    tarvik_resolver_t *list = tarvik_open_resolver_ex(host, static_cast<uint32_t>(port),
                                                      numeric ? -1 : RESOLVE_TIMEOUT_MS);
    for (const tarvik_resolver_t *entry = list; entry != nullptr && tftp->m_socket < 0;
         entry = entry->next) {
        tftp->m_socket = open_socket(tftp, entry, timeout_ms);
    }
    tarvik_close_resolver(list);
    return tftp->m_socket >= 0 ? tftp : tarvik_close_tftp(tftp);
}

TARVIK_API tarvik_tftp_t *tarvik_close_tftp(tarvik_tftp_t *tftp)
{
    if (tftp == nullptr) {
        return nullptr;
    }
    // A server still sending would retransmit for a while: tell it the transfer is over.
    if (tftp->m_socket >= 0 && tftp->m_state == TARVIK_TFTP_STATE_TRANSFER &&
        tftp->m_transfer_fixed != 0) {
        send_error(tftp, ERROR_UNDEFINED, "transfer cancelled", nullptr, 0);
    }
    tarvik_close_socket(tftp->m_socket);
    tarvik_close_uri(tftp->m_uri);
    tarvik_free_tag(tftp, TARVIK_TAG);
    return nullptr;
}

TARVIK_API int tarvik_tftp_read_request(tarvik_tftp_t *tftp, const char *path, const char *mode,
                                        int timeout_ms)
{
    return send_request(tftp, OPCODE_READ, path, mode, timeout_ms);
}

TARVIK_API int tarvik_tftp_write_request(tarvik_tftp_t *tftp, const char *path, const char *mode,
                                         int timeout_ms)
{
    return send_request(tftp, OPCODE_WRITE, path, mode, timeout_ms);
}

TARVIK_API ssize_t tarvik_tftp_read_data(tarvik_tftp_t *tftp, int timeout_ms)
{
    if (tftp == nullptr || tftp->m_state == TARVIK_TFTP_STATE_ERROR || tftp->m_socket < 0) {
        return -1;
    }
    if (tftp->m_state == TARVIK_TFTP_STATE_DONE) {
        return 0;
    }
    const uint64_t deadline =
        tarvik_time_stamp_msec(nullptr) + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
    bool first = true;
    for (;;) {
        struct sockaddr_storage from;
        socklen_t from_length = sizeof(from);
        // The first wait of a call is the whole time-out (the same each call, so the socket
        // keeps it); after a stranger's packet, what is left of it.
        const int wait = first ? timeout_ms : remaining_ms(deadline, timeout_ms);
        first = false;
        const ssize_t received = receive(tftp, &from, &from_length, wait);
        if (received < 0 || (received == 0 && is_tcp(tftp))) {
            tftp->m_state = TARVIK_TFTP_STATE_ERROR;
            return -1;
        }
        const auto *sender = reinterpret_cast<const struct sockaddr *>(&from);
        uint16_t block = 0;
        switch (tarvik::detail::tftp_judge_packet(tftp, static_cast<size_t>(received), sender,
                                                  from_length, &block)) {
        case TftpVerdict::IGNORE:
            continue;
        case TftpVerdict::STRANGER:
            send_error(tftp, ERROR_UNKNOWN_TRANSFER, "unknown transfer ID", sender, from_length);
            continue;
        case TftpVerdict::FAILED:
            return -1;
        case TftpVerdict::REFUSED:
            send_error(tftp, ERROR_ILLEGAL, "illegal TFTP operation", nullptr, 0);
            return -1;
        case TftpVerdict::DUPLICATE:
            if (!send_ack(tftp, block, wait) || is_tcp(tftp)) {
                tftp->m_state = TARVIK_TFTP_STATE_ERROR;
                return -1;
            }
            continue;
        case TftpVerdict::DELIVER:
            if (!send_ack(tftp, block, wait)) {
                tftp->m_state = TARVIK_TFTP_STATE_ERROR;
                return -1;
            }
            return static_cast<ssize_t>(tftp->m_data_size);
        }
    }
}

} // extern "C"
