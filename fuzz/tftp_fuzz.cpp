// Fuzzes the TFTP client's packet judge with a sequence of packets from three senders (the
// server's host on the request port, on a second port, another host): blocks are delivered
// strictly in sequence and at most 512 bytes each, the transfer port once fixed never
// changes, packets of strangers never change the transfer, and a failed or finished transfer
// stays so.
#include "detail/tftp.hpp"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>

namespace {

void require(bool condition)
{
    if (!condition) {
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    tarvik_tftp_t tftp;
    memset(&tftp, 0, sizeof(tftp));
    tftp.m_socket = -1;
    tftp.m_data = tftp.m_buffer + 4;
    auto *server = reinterpret_cast<sockaddr_in *>(&tftp.m_server_address);
    server->sin_family = AF_INET;
    server->sin_addr.s_addr = htonl(0x7F000001);
    server->sin_port = htons(69);
    tftp.m_server_address_length = sizeof(*server);
    sockaddr_in senders[3] = {*server, *server, *server};
    senders[1].sin_port = htons(40000);
    senders[2].sin_addr.s_addr = htonl(0x0A000001);
    uint16_t fixed_port = 0;
    // Each packet: one byte (sender in bits 0-1, length high bits above), one length byte,
    // then the bytes.
    while (size >= 2) {
        const uint8_t sender = data[0] % 3;
        size_t length = (static_cast<size_t>(data[0] >> 2) << 8 | data[1]) % 1100;
        data += 2;
        size -= 2;
        length = length < size ? length : size;
        if (length > sizeof(tftp.m_buffer)) {
            length = sizeof(tftp.m_buffer); // a receive never returns more than the buffer
        }
        memcpy(tftp.m_buffer, data, length);
        data += length;
        size -= length;

        const tarvik_tftp_t before = tftp;
        uint16_t block = 0;
        const sockaddr_in &from = senders[sender];
        if (before.m_state != TARVIK_TFTP_STATE_TRANSFER) {
            break; // the client judges nothing once the transfer ended
        }
        auto verdict = tarvik::detail::tftp_judge_packet(
            &tftp, length, reinterpret_cast<const sockaddr *>(&from), sizeof(from), &block);
        using tarvik::detail::TftpVerdict;
        switch (verdict) {
        case TftpVerdict::IGNORE:
        case TftpVerdict::STRANGER:
            require(memcmp(&before, &tftp, sizeof(tftp)) == 0);
            require(verdict == TftpVerdict::IGNORE ? sender == 2 : fixed_port != 0);
            break;
        case TftpVerdict::FAILED:
        case TftpVerdict::REFUSED:
            require(tftp.m_state == TARVIK_TFTP_STATE_ERROR && tftp.m_block == before.m_block);
            break;
        case TftpVerdict::DUPLICATE:
            require(tftp.m_block == before.m_block && tftp.m_state == TARVIK_TFTP_STATE_TRANSFER);
            require(block != static_cast<uint16_t>(before.m_block + 1));
            break;
        case TftpVerdict::DELIVER:
            require(tftp.m_block == static_cast<uint16_t>(before.m_block + 1) &&
                    block == tftp.m_block);
            require(tftp.m_data_size <= 512 && tftp.m_data_size == length - 4);
            require((tftp.m_state == TARVIK_TFTP_STATE_DONE) == (tftp.m_data_size < 512));
            break;
        }
        if (verdict == TftpVerdict::DUPLICATE || verdict == TftpVerdict::DELIVER) {
            const uint16_t port = ntohs(server->sin_port);
            require(fixed_port == 0 || port == fixed_port);
            fixed_port = port;
            require(port == ntohs(from.sin_port));
        }
    }
    return 0;
}
