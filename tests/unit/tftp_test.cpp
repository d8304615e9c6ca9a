// Tests of the TFTP client against a scripted server on loopback: the request on the wire,
// blocks and their ACKs, the empty final block, duplicates acknowledged but delivered once,
// packets from a stranger's port ignored, ERROR packets, oversized DATA and time-outs; and
// the packet judge on its own.
#include "tarvik_test.hpp"

#include "detail/tftp.hpp"

#include <arpa/inet.h>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class TftpTest : public TarvikTest {};

using Packet = std::string;

Packet data_packet(uint16_t block, const std::string &payload)
{
    Packet packet = {0, 3, static_cast<char>(block >> 8), static_cast<char>(block & 0xFF)};
    return packet + payload;
}

Packet error_packet(uint16_t code, const char *message)
{
    Packet packet = {0, 5, static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    return packet + message + std::string(1, '\0');
}

int udp_socket(sockaddr_in *address)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(local);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof(local)), 0);
    getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length);
    timeval timeout = {3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    *address = local;
    return fd;
}

// A scripted server: a request socket (its port goes into the URL) and a transfer socket
// (another port, as a real server answers from), plus a stranger's socket on a third port.
struct Server {
    sockaddr_in m_request_address{};
    sockaddr_in m_transfer_address{};
    sockaddr_in m_stranger_address{};
    sockaddr_in m_client{};
    int m_request = udp_socket(&m_request_address);
    int m_transfer = udp_socket(&m_transfer_address);
    int m_stranger = udp_socket(&m_stranger_address);
    std::vector<Packet> m_acks; // what the client sent to the transfer port after the request
    std::vector<Packet> m_stranger_heard;
    Packet m_request_packet;

    ~Server()
    {
        close(m_request);
        close(m_transfer);
        close(m_stranger);
    }
    std::string url(const char *path) const
    {
        return "tftp://127.0.0.1:" + std::to_string(ntohs(m_request_address.sin_port)) + "/" + path;
    }
    bool receive_request()
    {
        char buffer[1024];
        socklen_t length = sizeof(m_client);
        ssize_t got = recvfrom(m_request, buffer, sizeof(buffer), 0,
                               reinterpret_cast<sockaddr *>(&m_client), &length);
        m_request_packet.assign(buffer, got > 0 ? static_cast<size_t>(got) : 0);
        return got > 0;
    }
    void send(int fd, const Packet &packet)
    {
        sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr *>(&m_client),
               sizeof(m_client));
    }
    // The next packet the client sent to fd, "" after the socket's time-out.
    Packet receive(int fd)
    {
        char buffer[1024];
        ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        return Packet(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    }
    Packet ack()
    {
        Packet packet = receive(m_transfer);
        m_acks.push_back(packet);
        return packet;
    }
};

Packet ack_of(uint16_t block)
{
    return {0, 4, static_cast<char>(block >> 8), static_cast<char>(block & 0xFF)};
}

std::string payload(size_t size, char seed)
{
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>(seed + i * 7);
    }
    return text;
}

// Runs the client over the whole file: the blocks delivered, and the final result (0 at a
// clean end, -1 on failure).
struct Download {
    std::vector<std::string> m_blocks;
    ssize_t m_last = 1;
};

Download download(tarvik_tftp_t *tftp, int timeout_ms)
{
    Download result;
    for (int guard = 0; guard < 1000; ++guard) {
        ssize_t got = tarvik_tftp_read_data(tftp, timeout_ms);
        if (got <= 0) {
            result.m_last = got;
            break;
        }
        result.m_blocks.emplace_back(reinterpret_cast<char *>(tftp->m_data),
                                     static_cast<size_t>(got));
    }
    return result;
}

TEST_F(TftpTest, BlocksAreAcknowledgedAndAFullLastBlockNeedsAnEmptyOne)
{
    Server server;
    tarvik_tftp_t *tftp = tarvik_open_tftp(0, server.url("dir/file.bin").c_str(), 1000);
    ASSERT_NE(tftp, nullptr);
    ASSERT_EQ(tarvik_tftp_read_request(tftp, nullptr, nullptr, 1000), 0);
    ASSERT_TRUE(server.receive_request());
    EXPECT_EQ(server.m_request_packet, std::string("\0\1dir/file.bin\0octet\0", 21));
    const std::string block1 = payload(512, 'a');
    std::thread peer([&] {
        server.send(server.m_transfer, data_packet(1, block1));
        server.ack();
        server.send(server.m_transfer, data_packet(2, ""));
        server.ack();
    });
    Download result = download(tftp, 2000);
    peer.join();
    // The empty block reads as the end: 0, like every read after it.
    ASSERT_EQ(result.m_blocks.size(), 1u);
    EXPECT_EQ(result.m_blocks[0], block1);
    EXPECT_EQ(result.m_last, 0);
    EXPECT_EQ(tftp->m_state, TARVIK_TFTP_STATE_DONE);
    EXPECT_EQ(tarvik_tftp_read_data(tftp, 100), 0) << "stays at the end";
    EXPECT_EQ(server.m_acks, (std::vector<Packet>{ack_of(1), ack_of(2)}));
    tarvik_close_tftp(tftp);
}

TEST_F(TftpTest, DuplicatesAreAcknowledgedButDeliveredOnce)
{
    Server server;
    tarvik_tftp_t *tftp = tarvik_open_tftp(0, server.url("f").c_str(), 1000);
    ASSERT_NE(tftp, nullptr);
    ASSERT_EQ(tarvik_tftp_write_request(tftp, "explicit", "netascii", 1000), 0);
    ASSERT_TRUE(server.receive_request());
    EXPECT_EQ(server.m_request_packet, std::string("\0\2explicit\0netascii\0", 20));
    ASSERT_EQ(tarvik_tftp_read_request(tftp, nullptr, nullptr, 1000), 0);
    ASSERT_TRUE(server.receive_request());
    const std::string one = payload(512, 'x');
    std::thread peer([&] {
        server.send(server.m_transfer, data_packet(1, one));
        server.ack();
        server.send(server.m_transfer, data_packet(1, one)); // our ACK "was lost"
        server.ack();
        server.send(server.m_transfer, data_packet(2, "end"));
        server.ack();
    });
    Download result = download(tftp, 2000);
    peer.join();
    EXPECT_EQ(result.m_blocks, (std::vector<std::string>{one, "end"}));
    EXPECT_EQ(result.m_last, 0);
    EXPECT_EQ(server.m_acks, (std::vector<Packet>{ack_of(1), ack_of(1), ack_of(2)}));
    tarvik_close_tftp(tftp);
}

TEST_F(TftpTest, OnlyTheTransferPortTakesPart)
{
    Server server;
    tarvik_tftp_t *tftp = tarvik_open_tftp(0, server.url("f").c_str(), 1000);
    ASSERT_NE(tftp, nullptr);
    ASSERT_EQ(tarvik_tftp_read_request(tftp, nullptr, nullptr, 1000), 0);
    ASSERT_TRUE(server.receive_request());
    const std::string one = payload(512, 'q');
    std::thread peer([&] {
        server.send(server.m_transfer, data_packet(1, one));
        server.ack();
        // A stranger on the server's host: a forged block 2 and a forged error.
        server.send(server.m_stranger, data_packet(2, "forged"));
        server.m_stranger_heard.push_back(server.receive(server.m_stranger));
        server.send(server.m_stranger, error_packet(1, "forged"));
        server.m_stranger_heard.push_back(server.receive(server.m_stranger));
        server.send(server.m_transfer, data_packet(2, "real"));
        server.ack();
    });
    Download result = download(tftp, 2000);
    peer.join();
    EXPECT_EQ(result.m_blocks, (std::vector<std::string>{one, "real"}));
    EXPECT_EQ(result.m_last, 0);
    EXPECT_EQ(server.m_acks, (std::vector<Packet>{ack_of(1), ack_of(2)}));
    ASSERT_EQ(server.m_stranger_heard.size(), 2u);
    for (const Packet &heard : server.m_stranger_heard) {
        EXPECT_EQ(heard.substr(0, 4), std::string("\0\5\0\5", 4)) << "unknown transfer ID";
    }
    tarvik_close_tftp(tftp);
}

TEST_F(TftpTest, ErrorsEndTheTransferForGood)
{
    struct Case {
        const char *m_name;
        std::function<void(Server &)> m_after_first_block;
        bool m_told; // the client sends an ERROR back
    };
    const Case cases[] = {
        {"error packet", [](Server &s) { s.send(s.m_transfer, error_packet(2, "denied")); }, false},
        {"oversized data",
         [](Server &s) { s.send(s.m_transfer, data_packet(2, payload(513, 'o'))); }, true},
        {"unknown opcode", [](Server &s) { s.send(s.m_transfer, Packet("\0\7\0\2", 4)); }, true},
        {"short packet", [](Server &s) { s.send(s.m_transfer, Packet("\0\3\0", 3)); }, true},
    };
    for (const Case &test : cases) {
        Server server;
        tarvik_tftp_t *tftp = tarvik_open_tftp(0, server.url("f").c_str(), 1000);
        ASSERT_NE(tftp, nullptr);
        ASSERT_EQ(tarvik_tftp_read_request(tftp, nullptr, nullptr, 1000), 0);
        ASSERT_TRUE(server.receive_request());
        Packet told;
        std::thread peer([&] {
            server.send(server.m_transfer, data_packet(1, payload(512, 'e')));
            server.ack();
            test.m_after_first_block(server);
            told = server.receive(server.m_transfer);
        });
        Download result = download(tftp, 2000);
        peer.join();
        EXPECT_EQ(result.m_blocks.size(), 1u) << test.m_name;
        EXPECT_EQ(result.m_last, -1) << test.m_name;
        EXPECT_EQ(tftp->m_state, TARVIK_TFTP_STATE_ERROR) << test.m_name;
        EXPECT_EQ(tarvik_tftp_read_data(tftp, 100), -1) << test.m_name << ": stays failed";
        EXPECT_EQ(!told.empty() && told[1] == 5, test.m_told) << test.m_name;
        tarvik_close_tftp(tftp);
    }
}

TEST_F(TftpTest, AMissingLastBlockTimesOut)
{
    Server server;
    tarvik_tftp_t *tftp = tarvik_open_tftp(0, server.url("f").c_str(), 1000);
    ASSERT_NE(tftp, nullptr);
    ASSERT_EQ(tarvik_tftp_read_request(tftp, nullptr, nullptr, 1000), 0);
    ASSERT_TRUE(server.receive_request());
    server.send(server.m_transfer, data_packet(1, payload(512, 't')));
    EXPECT_EQ(tarvik_tftp_read_data(tftp, 1000), 512);
    EXPECT_EQ(tarvik_tftp_read_data(tftp, 200), -1);
    EXPECT_EQ(tftp->m_state, TARVIK_TFTP_STATE_ERROR);
    tarvik_close_tftp(tftp);
    // The client tells a server still sending that the transfer is over... only while it
    // runs: a failed transfer is not cancelled again.
    EXPECT_EQ(server.ack(), ack_of(1));
}

TEST_F(TftpTest, BlockNumbersWrapAround)
{
    Server server;
    tarvik_tftp_t *tftp = tarvik_open_tftp(0, server.url("f").c_str(), 1000);
    ASSERT_NE(tftp, nullptr);
    ASSERT_EQ(tarvik_tftp_read_request(tftp, nullptr, nullptr, 1000), 0);
    ASSERT_TRUE(server.receive_request());
    server.send(server.m_transfer, data_packet(1, payload(512, 'w')));
    ASSERT_EQ(tarvik_tftp_read_data(tftp, 1000), 512);
    EXPECT_EQ(server.ack(), ack_of(1));
    tftp->m_block = 65535; // as after 65535 blocks
    server.send(server.m_transfer, data_packet(0, "wrapped"));
    EXPECT_EQ(tarvik_tftp_read_data(tftp, 1000), 7);
    EXPECT_EQ(server.ack(), ack_of(0));
    EXPECT_EQ(tarvik_tftp_read_data(tftp, 1000), 0);
    tarvik_close_tftp(tftp);
}

TEST_F(TftpTest, OpeningResolvesAndDefaultsThePort)
{
    tarvik_tftp_t *tftp = tarvik_open_tftp(0, nullptr, 1000);
    ASSERT_NE(tftp, nullptr) << "tftp://localhost";
    EXPECT_EQ(tftp->m_request_port, 69u) << "the tftp service port (69 without /etc/services)";
    EXPECT_GE(tftp->m_socket, 0);
    EXPECT_EQ(tarvik_tftp_read_request(tftp, nullptr, nullptr, 1000), -1) << "no path";
    tarvik_close_tftp(tftp);
    EXPECT_EQ(tarvik_open_tftp(0, "tftp://host.invalid/f", 1000), nullptr);
    EXPECT_EQ(tarvik_close_tftp(nullptr), nullptr);
    EXPECT_EQ(tarvik_tftp_read_data(nullptr, 0), -1);
}

TEST_F(TftpTest, TcpTransportCarriesTheSamePackets)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    std::string url = "tftp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/t";
    const std::string one = payload(512, 'T');
    std::vector<Packet> heard;
    std::thread peer([&] {
        int client = accept(listener, nullptr, nullptr);
        char buffer[1024];
        auto next = [&] {
            ssize_t got = recv(client, buffer, sizeof(buffer), 0);
            heard.emplace_back(buffer, got > 0 ? static_cast<size_t>(got) : 0);
        };
        next();
        Packet packet = data_packet(1, one);
        send(client, packet.data(), packet.size(), 0);
        next();
        packet = data_packet(1, one); // a duplicate is fatal on a stream
        send(client, packet.data(), packet.size(), 0);
        next();
        close(client);
    });
    tarvik_tftp_t *tftp = tarvik_open_tftp(TARVIK_TFTP_TRANSPORT_TCP, url.c_str(), 1000);
    ASSERT_NE(tftp, nullptr);
    ASSERT_EQ(tarvik_tftp_read_request(tftp, nullptr, nullptr, 1000), 0);
    EXPECT_EQ(tarvik_tftp_read_data(tftp, 2000), 512);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(tftp->m_data), 512), one);
    EXPECT_EQ(tarvik_tftp_read_data(tftp, 2000), -1);
    tarvik_close_tftp(tftp);
    peer.join();
    close(listener);
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[0], std::string("\0\1t\0octet\0", 10));
    EXPECT_EQ(heard[1], ack_of(1));
    EXPECT_EQ(heard[2], ack_of(1));
}

TEST_F(TftpTest, JudgeIgnoresOtherHostsAndTakesTheFirstPort)
{
    tarvik_tftp_t tftp;
    memset(&tftp, 0, sizeof(tftp));
    auto *server = reinterpret_cast<sockaddr_in *>(&tftp.m_server_address);
    server->sin_family = AF_INET;
    server->sin_addr.s_addr = htonl(0x7F000001);
    server->sin_port = htons(69);
    sockaddr_in from = *server;
    from.sin_port = htons(4000);
    sockaddr_in other_host = from;
    other_host.sin_addr.s_addr = htonl(0x7F000002);
    uint16_t block = 0;
    const Packet one = data_packet(1, "x");
    memcpy(tftp.m_buffer, one.data(), one.size());
    using tarvik::detail::TftpVerdict;
    auto judge = [&](const sockaddr_in &sender, const Packet &packet) {
        memcpy(tftp.m_buffer, packet.data(), packet.size());
        return tarvik::detail::tftp_judge_packet(&tftp, packet.size(),
                                                 reinterpret_cast<const sockaddr *>(&sender),
                                                 sizeof(sender), &block);
    };
    EXPECT_EQ(judge(other_host, one), TftpVerdict::IGNORE);
    EXPECT_EQ(tftp.m_transfer_fixed, 0);
    EXPECT_EQ(judge(from, data_packet(1, std::string(512, 'y'))), TftpVerdict::DELIVER);
    EXPECT_EQ(ntohs(server->sin_port), 4000);
    from.sin_port = htons(4001);
    EXPECT_EQ(judge(from, data_packet(2, "z")), TftpVerdict::STRANGER);
    EXPECT_EQ(tftp.m_state, TARVIK_TFTP_STATE_TRANSFER);
    from.sin_port = htons(4000);
    EXPECT_EQ(judge(from, data_packet(1, "old")), TftpVerdict::DUPLICATE);
    EXPECT_EQ(block, 1);
    EXPECT_EQ(judge(from, data_packet(3, "ahead")), TftpVerdict::DUPLICATE);
    EXPECT_EQ(tftp.m_block, 1u);
    EXPECT_EQ(judge(from, data_packet(2, "z")), TftpVerdict::DELIVER);
    EXPECT_EQ(tftp.m_state, TARVIK_TFTP_STATE_DONE);
}

} // namespace
