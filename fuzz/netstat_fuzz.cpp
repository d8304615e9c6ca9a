// Fuzzes the socket and route table parsers with whole table texts: the first byte picks the
// socket table, the rest is the text, parsed as a socket table and as the route table (from
// the start and as a later piece). Records must be well-formed and the heap left as found.
#include "detail/netstat.hpp"
#include "heap.h"
#include "netstat.h"

#include <cstdlib>
#include <cstring>

namespace {

bool terminated(const char *text, size_t size) { return memchr(text, '\0', size) != nullptr; }

void check_sockets(tarvik::detail::SocketKind kind, const char *text, size_t length, bool at_start)
{
    tarvik::detail::TableList<tarvik_netstat_t> list;
    tarvik::detail::parse_socket_table(kind, text, length, at_start, &list);
    for (const tarvik_netstat_t *record = list.m_head; record != nullptr; record = record->m_next) {
        if (!terminated(record->m_proto, sizeof(record->m_proto)) ||
            !terminated(record->m_local_address, sizeof(record->m_local_address)) ||
            !terminated(record->m_remote_address, sizeof(record->m_remote_address)) ||
            !terminated(record->m_state_text, sizeof(record->m_state_text)) ||
            record->m_local_port > 0xFFFF || record->m_remote_port > 0xFFFF ||
            record->m_local_address[0] == '\0' ||
            (record->m_next == nullptr) != (record == list.m_tail)) {
            abort();
        }
    }
    tarvik_close_netstat(list.m_head);
}

void check_routes(const char *text, size_t length, bool at_start)
{
    tarvik::detail::TableList<tarvik_route_ipv4_t> list;
    tarvik::detail::parse_route_table(text, length, at_start, &list);
    for (const tarvik_route_ipv4_t *record = list.m_head; record != nullptr;
         record = record->m_next) {
        if (record->m_name[0] == '\0' || !terminated(record->m_name, sizeof(record->m_name)) ||
            !terminated(record->m_flags_text, sizeof(record->m_flags_text)) ||
            strlen(record->m_destination_text) < 7 || strlen(record->m_mask_text) > 15) {
            abort();
        }
    }
    tarvik_close_route_ipv4(list.m_head);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    size_t blocks = tarvik_get_alloc_count();
    auto kind = static_cast<tarvik::detail::SocketKind>(data[0] % tarvik::detail::SOCKET_KINDS);
    const char *text = reinterpret_cast<const char *>(data + 1);
    check_sockets(kind, text, size - 1, true);
    check_sockets(kind, text, size - 1, false);
    check_routes(text, size - 1, true);
    check_routes(text, size - 1, false);
    if (tarvik_get_alloc_count() != blocks) {
        abort();
    }
    return 0;
}
