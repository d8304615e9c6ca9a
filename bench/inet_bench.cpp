// Cost per address of the address grammar against the C library's inet_pton and of the
// printer against inet_ntop; each iteration handles one address, so times read as ns each.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <random>
#include <string>
#include <vector>

#include "tarvik.h"

namespace {

constexpr size_t COUNT = 4096;

const std::vector<std::string> &ipv4_texts()
{
    static const std::vector<std::string> texts = [] {
        std::mt19937 random(1);
        std::vector<std::string> out;
        for (size_t i = 0; i < COUNT; ++i) {
            out.push_back(std::to_string(random() % 256) + "." + std::to_string(random() % 256) +
                          "." + std::to_string(random() % 256) + "." +
                          std::to_string(random() % 256));
        }
        return out;
    }();
    return texts;
}

// Random addresses printed by the C library: a mix of compressed and full forms.
const std::vector<std::string> &ipv6_texts()
{
    static const std::vector<std::string> texts = [] {
        std::mt19937 random(2);
        std::vector<std::string> out;
        for (size_t i = 0; i < COUNT; ++i) {
            uint8_t bytes[16];
            for (uint8_t &byte : bytes) {
                byte = random() % 3 == 0 ? 0 : static_cast<uint8_t>(random());
            }
            char text[INET6_ADDRSTRLEN];
            inet_ntop(AF_INET6, bytes, text, sizeof(text));
            out.push_back(text);
        }
        return out;
    }();
    return texts;
}

void parse_ours(benchmark::State &state, const std::vector<std::string> &texts, int family)
{
    alignas(8) uint8_t address[TARVIK_SOCKADDR_BUFFER_SIZE];
    size_t i = 0;
    for (auto _ : state) {
        int rc = tarvik_inet_ptos(family, texts[i++ % COUNT].c_str(), 80,
                                  reinterpret_cast<struct sockaddr *>(address), sizeof(address));
        benchmark::DoNotOptimize(rc);
        benchmark::DoNotOptimize(address);
    }
}

void parse_theirs(benchmark::State &state, const std::vector<std::string> &texts, int family)
{
    uint8_t address[16];
    size_t i = 0;
    for (auto _ : state) {
        int rc = inet_pton(family, texts[i++ % COUNT].c_str(), address);
        benchmark::DoNotOptimize(rc);
        benchmark::DoNotOptimize(address);
    }
}

void BM_ptos_ipv4(benchmark::State &state) { parse_ours(state, ipv4_texts(), AF_INET); }
void BM_inet_pton_ipv4(benchmark::State &state) { parse_theirs(state, ipv4_texts(), AF_INET); }
void BM_ptos_ipv6(benchmark::State &state) { parse_ours(state, ipv6_texts(), AF_INET6); }
void BM_inet_pton_ipv6(benchmark::State &state) { parse_theirs(state, ipv6_texts(), AF_INET6); }

std::vector<struct sockaddr_in6> ipv6_addresses()
{
    std::vector<struct sockaddr_in6> out(COUNT);
    for (size_t i = 0; i < COUNT; ++i) {
        out[i] = {};
        out[i].sin6_family = AF_INET6;
        inet_pton(AF_INET6, ipv6_texts()[i].c_str(), &out[i].sin6_addr);
    }
    return out;
}

void BM_stop_ipv6(benchmark::State &state)
{
    static const std::vector<struct sockaddr_in6> addresses = ipv6_addresses();
    char text[TARVIK_INET_STRING_SIZE];
    size_t i = 0;
    for (auto _ : state) {
        const auto *address = reinterpret_cast<const struct sockaddr *>(&addresses[i++ % COUNT]);
        benchmark::DoNotOptimize(tarvik_inet_stop(address, text, sizeof(text)));
    }
}

void BM_inet_ntop_ipv6(benchmark::State &state)
{
    static const std::vector<struct sockaddr_in6> addresses = ipv6_addresses();
    char text[INET6_ADDRSTRLEN];
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            inet_ntop(AF_INET6, &addresses[i++ % COUNT].sin6_addr, text, sizeof(text)));
    }
}

void BM_stop_ipv4(benchmark::State &state)
{
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    char text[TARVIK_INET_STRING_SIZE];
    uint32_t value = 0;
    for (auto _ : state) {
        address.sin_addr.s_addr = value += 0x01010101u;
        benchmark::DoNotOptimize(tarvik_inet_stop(
            reinterpret_cast<const struct sockaddr *>(&address), text, sizeof(text)));
    }
}

void BM_inet_ntop_ipv4(benchmark::State &state)
{
    struct in_addr address = {};
    char text[INET_ADDRSTRLEN];
    uint32_t value = 0;
    for (auto _ : state) {
        address.s_addr = value += 0x01010101u;
        benchmark::DoNotOptimize(inet_ntop(AF_INET, &address, text, sizeof(text)));
    }
}

} // namespace

BENCHMARK(BM_ptos_ipv4);
BENCHMARK(BM_inet_pton_ipv4);
BENCHMARK(BM_ptos_ipv6);
BENCHMARK(BM_inet_pton_ipv6);
BENCHMARK(BM_stop_ipv4);
BENCHMARK(BM_inet_ntop_ipv4);
BENCHMARK(BM_stop_ipv6);
BENCHMARK(BM_inet_ntop_ipv6);

BENCHMARK_MAIN();
