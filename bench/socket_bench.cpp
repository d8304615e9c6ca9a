// Loopback TCP throughput through the time-out calls (tarvik_send / tarvik_recv with 1000 ms)
// against plain send / recv and against a wait-before-every-call loop, 64 KiB blocks, a thread
// on the receiving end; same run.
#include <benchmark/benchmark.h>

#include "tarvik.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t BLOCK = 64 * 1024;
constexpr int TIMEOUT_MS = 1000;

struct Connection {
    int m_sender = -1;
    int m_receiver = -1;
};

Connection connect_loopback()
{
    Connection connection;
    const int listener = tarvik_open_listen_socket_ex(AF_INET, "127.0.0.1", 0);
    struct sockaddr_in address = {};
    socklen_t length = sizeof(address);
    getsockname(listener, reinterpret_cast<struct sockaddr *>(&address), &length);
    connection.m_sender = tarvik_open_connect_socket("127.0.0.1", ntohs(address.sin_port), 1000);
    connection.m_receiver = tarvik_accept(listener, nullptr, nullptr, 1000);
    tarvik_close_socket(listener);
    return connection;
}

ssize_t plain_send(int fd, const void *data, size_t size)
{
    return send(fd, data, size, MSG_NOSIGNAL);
}
ssize_t plain_recv(int fd, void *buffer, size_t size) { return recv(fd, buffer, size, 0); }
ssize_t timed_send(int fd, const void *data, size_t size)
{
    return tarvik_send(fd, data, size, TIMEOUT_MS);
}
ssize_t timed_recv(int fd, void *buffer, size_t size)
{
    return tarvik_recv(fd, buffer, size, TIMEOUT_MS);
}

// What a wait-before-every-call layer costs: the readiness wait, then the call.
ssize_t wait_first_send(int fd, const void *data, size_t size)
{
    const int ready = tarvik_single_select(fd, def_tarvik_select_write, TIMEOUT_MS);
    return ready <= 0 ? ready : send(fd, data, size, MSG_NOSIGNAL);
}
ssize_t wait_first_recv(int fd, void *buffer, size_t size)
{
    const int ready = tarvik_single_select(fd, def_tarvik_select_read, TIMEOUT_MS);
    return ready <= 0 ? (ready == 0 ? -2 : -1) : recv(fd, buffer, size, 0);
}

template <ssize_t (*Send)(int, const void *, size_t), ssize_t (*Recv)(int, void *, size_t)>
void transfer(benchmark::State &state)
{
    Connection connection = connect_loopback();
    if (connection.m_sender < 0 || connection.m_receiver < 0) {
        state.SkipWithError("no loopback connection");
        return;
    }
    std::thread drain([fd = connection.m_receiver]() {
        std::vector<char> buffer(BLOCK);
        while (Recv(fd, buffer.data(), buffer.size()) > 0) {
        }
    });
    std::vector<char> block(BLOCK, 'x');
    for (auto _ : state) {
        size_t sent = 0;
        while (sent < BLOCK) {
            const ssize_t n = Send(connection.m_sender, block.data() + sent, BLOCK - sent);
            if (n <= 0) {
                state.SkipWithError("send failed");
                break;
            }
            sent += static_cast<size_t>(n);
        }
    }
    shutdown(connection.m_sender, SHUT_WR);
    drain.join();
    tarvik_close_socket(connection.m_sender);
    tarvik_close_socket(connection.m_receiver);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(BLOCK));
}

void BM_PlainSendRecv(benchmark::State &state) { transfer<plain_send, plain_recv>(state); }
void BM_TimedSendRecv(benchmark::State &state) { transfer<timed_send, timed_recv>(state); }

void BM_WaitFirstSendRecv(benchmark::State &state)
{
    transfer<wait_first_send, wait_first_recv>(state);
}

// Loopback figures on a shared machine are noisy: the rounds alternate, and the medians of
// repeated runs (--benchmark_repetitions) are the figures to compare.
BENCHMARK(BM_PlainSendRecv)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_TimedSendRecv)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_WaitFirstSendRecv)->MinTime(0.5)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
