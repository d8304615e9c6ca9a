// Socket, route and throughput monitors: netstat (every TCP, UDP and raw socket with its
// owning process, then the listening ports of each owner), route (the IPv4 routing table).
#include "applet.hpp"
#include "applets.h"

#include "console.h"
#include "format.h"
#include "fragment.h"
#include "heap.h"
#include "netstat.h"
#include "process.h"

#include "detail/common.hpp"

namespace {

// Room for a process name shown through vexa::printable.
constexpr size_t NAME_SIZE = 64;
constexpr const char *NO_OWNER = "-";

// Socket inodes to the first process of the table that holds them. The process table is read
// once per run with every descriptor; one lookup per socket then costs a few probes instead
// of a walk over every descriptor of every process.
struct OwnerIndex {
    struct Slot {
        uint64_t m_inode;
        const tarvik_ps_t *m_owner; // null: free slot
    };
    Slot *m_slots = nullptr;
    size_t m_mask = 0;
    const tarvik_ps_t *m_processes = nullptr;
};

size_t slot_of(const OwnerIndex &index, uint64_t inode)
{
    // Inodes are handed out in sequence: spreading them with a multiplier keeps runs apart.
    uint64_t hash = inode * 0x9E3779B97F4A7C15ull;
    size_t slot = static_cast<size_t>(hash >> 32) & index.m_mask;
    while (index.m_slots[slot].m_owner != nullptr && index.m_slots[slot].m_inode != inode) {
        slot = (slot + 1) & index.m_mask;
    }
    return slot;
}

// Without memory for the slots the index stays empty and lookups walk the table instead.
void build_index(OwnerIndex *index, const tarvik_ps_t *processes)
{
    index->m_processes = processes;
    size_t count = 0;
    for (const tarvik_ps_t *record = processes; record != nullptr; record = record->m_next) {
        for (const tarvik_ps_inode_t *node = record->m_inodes; node != nullptr;
             node = node->m_next) {
            ++count;
        }
    }
    size_t size = 16;
    while (size < count * 2) {
        size *= 2;
    }
    index->m_slots = static_cast<OwnerIndex::Slot *>(
        tarvik_calloc_tag(size, sizeof(OwnerIndex::Slot), TARVIK_TAG));
    if (index->m_slots == nullptr) {
        return;
    }
    index->m_mask = size - 1;
    // In table order, so that a socket shared by several processes keeps the first one.
    for (const tarvik_ps_t *record = processes; record != nullptr; record = record->m_next) {
        for (const tarvik_ps_inode_t *node = record->m_inodes; node != nullptr;
             node = node->m_next) {
            OwnerIndex::Slot &slot = index->m_slots[slot_of(*index, node->m_inode)];
            if (slot.m_owner == nullptr) {
                slot.m_inode = node->m_inode;
                slot.m_owner = record;
            }
        }
    }
}

const tarvik_ps_t *owner_of(const OwnerIndex &index, uint64_t inode)
{
    if (index.m_slots == nullptr) {
        return tarvik_ps_search_by_inode(const_cast<tarvik_ps_t *>(index.m_processes), inode);
    }
    return index.m_slots[slot_of(index, inode)].m_owner;
}

const char *owner_name(const OwnerIndex &index, uint64_t inode, char *buffer)
{
    const tarvik_ps_t *owner = owner_of(index, inode);
    if (owner == nullptr || owner->m_name == nullptr) {
        return NO_OWNER;
    }
    return vexa::printable(owner->m_name, buffer, NAME_SIZE);
}

bool is_tcp(const tarvik_netstat_t *socket) { return socket->m_proto[0] == 't'; }
bool is_udp(const tarvik_netstat_t *socket) { return socket->m_proto[0] == 'u'; }

void print_socket(const tarvik_netstat_t *socket, const char *owner)
{
    char local[TARVIK_NETSTAT_ADDRESS_SIZE + 16];
    char remote[TARVIK_NETSTAT_ADDRESS_SIZE + 16];
    char state[TARVIK_NETSTAT_STATE_SIZE + 8];
    tarvik_snprintf(local, sizeof(local), "[%s]:%d", socket->m_local_address,
                    static_cast<int>(socket->m_local_port));
    tarvik_snprintf(remote, sizeof(remote), "[%s]:%d", socket->m_remote_address,
                    static_cast<int>(socket->m_remote_port));
    tarvik_snprintf(state, sizeof(state), "%s(%02XH)", socket->m_state_text, socket->m_state);
    tarvik_printf("%-4s %-6lu %-6lu %-32s %-32s %-16s %s\n", socket->m_proto,
                  static_cast<unsigned long>(socket->m_rx_queue),
                  static_cast<unsigned long>(socket->m_tx_queue), local, remote, state, owner);
}

void print_ports(const char *protocol, const tarvik_fragment_t *ports)
{
    char *text = tarvik_fragment_to_string(ports);
    tarvik_printf("%s Listen port list: %s\n", protocol, text != nullptr ? text : "");
    if (text != nullptr) {
        tarvik_free_tag(text, TARVIK_TAG);
    }
}

} // namespace

int tarvik_multicall_netstat_main(int argc, char **argv)
{
    const char *program_name = argc > 0 ? argv[0] : "netstat";
    tarvik_netstat_t *sockets = tarvik_open_netstat();
    tarvik_ps_t *processes = tarvik_open_ps_ex(TARVIK_PS_INODES);
    OwnerIndex index;
    build_index(&index, processes);
    // The unnamed head of each set stays empty: every port goes to its owner's group.
    tarvik_fragment_t *tcp_ports = tarvik_open_fragment();
    tarvik_fragment_t *udp_ports = tarvik_open_fragment();
    char name[NAME_SIZE];
    for (const tarvik_netstat_t *socket = sockets; socket != nullptr; socket = socket->m_next) {
        const char *owner = owner_name(index, socket->m_inode, name);
        if (is_tcp(socket) && socket->m_state == TARVIK_NETSTAT_TCP_LISTEN) {
            tarvik_add_fragment_ex(tcp_ports, owner, socket->m_local_port, 1);
        } else if (is_udp(socket) && socket->m_state == TARVIK_NETSTAT_UDP_CLOSE) {
            tarvik_add_fragment_ex(udp_ports, owner, socket->m_local_port, 1);
        }
        print_socket(socket, owner);
    }
    print_ports("TCP", tcp_ports);
    print_ports("UDP", udp_ports);
    tarvik_close_fragment(tcp_ports);
    tarvik_close_fragment(udp_ports);
    if (index.m_slots != nullptr) {
        tarvik_free_tag(index.m_slots, TARVIK_TAG);
    }
    tarvik_close_ps(processes);
    tarvik_close_netstat(sockets);
    return vexa::output_ok(program_name) ? 0 : 1;
}

int tarvik_multicall_route_main(int argc, char **argv)
{
    const char *program_name = argc > 0 ? argv[0] : "route";
    tarvik_route_ipv4_t *routes = tarvik_open_route_ipv4();
    char name[TARVIK_ROUTE_NAME_SIZE];
    for (const tarvik_route_ipv4_t *route = routes; route != nullptr; route = route->m_next) {
        // Interface names may hold control characters; they must not reach the terminal raw.
        tarvik_printf("%-15s %-15s %-15s %-5s %-6u %-6u %3u %s\n", route->m_destination_text,
                      route->m_gateway_text, route->m_mask_text, route->m_flags_text,
                      route->m_metric, route->m_refcnt, route->m_use,
                      vexa::printable(route->m_name, name, sizeof(name)));
    }
    tarvik_close_route_ipv4(routes);
    return vexa::output_ok(program_name) ? 0 : 1;
}
