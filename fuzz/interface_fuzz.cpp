// Fuzzes the /proc/net/dev and /proc/net/if_inet6 line parsers with every input line: the
// results must stay within their bounds, and the address nodes built from them must leave
// nothing on the heap.
#include "detail/interface.hpp"
#include "heap.h"
#include "interface.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check_net_dev(std::string line)
{
    tarvik::detail::NetDevLine parsed;
    if (tarvik::detail::parse_net_dev_line(line.data(), &parsed) != 0) {
        return;
    }
    if (parsed.m_name == nullptr || *parsed.m_name == '\0' || strchr(parsed.m_name, ':') ||
        parsed.m_counters < 0 || parsed.m_counters > 16) {
        abort();
    }
}

void check_if_inet6(std::string line, tarvik_network_interface_t *record)
{
    tarvik::detail::IfInet6Line parsed;
    if (tarvik::detail::parse_if_inet6_line(line.data(), &parsed) != 0) {
        return;
    }
    if (parsed.m_name == nullptr || parsed.m_prefix_length > 128) {
        abort();
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    memcpy(&address.sin6_addr, parsed.m_address, 16);
    tarvik::detail::add_interface_address(record, reinterpret_cast<sockaddr *>(&address),
                                          parsed.m_prefix_length, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t blocks = tarvik_get_alloc_count();
    std::string input(reinterpret_cast<const char *>(data), size);
    tarvik_network_interface_t *record = tarvik_new_network_interface("fuzz0", nullptr);
    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) {
            end = input.size();
        }
        std::string line = input.substr(start, end - start);
        check_net_dev(line.c_str()); // up to the first NUL, as the reader sees the file
        check_if_inet6(line.c_str(), record);
        start = end + 1;
    }
    tarvik_free_network_interface(record);
    if (tarvik_get_alloc_count() != blocks) {
        abort();
    }
    return 0;
}
