// C++-only line parsers of the interface module, for /proc/net/dev and /proc/net/if_inet6.
// Shared with the unit tests and the fuzz target; never installed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../interface.h"

namespace tarvik::detail {

// One counter line of /proc/net/dev. The name points into the parsed line.
struct NetDevLine {
    const char *m_name;
    uint64_t m_rx[8];
    uint64_t m_tx[8];
    int m_counters; // number of counters found (16 for a complete line)
};

// One line of /proc/net/if_inet6. The name points into the parsed line.
struct IfInet6Line {
    uint8_t m_address[16];
    uint32_t m_index;
    uint32_t m_prefix_length; // 128 when the word is absent
    uint32_t m_scope;
    uint32_t m_flags;
    const char *m_name;
};

// The kernel's flags word in the record's form (MASTER and SLAVE swapped, high bits dropped).
uint32_t convert_interface_flags(uint32_t kernel);
// Leading one bits of a netmask; 32 or 128 (by family) when it is null or of another family.
uint32_t interface_prefix_from_mask(const struct sockaddr *mask, int family);
// Appends an IPv4/IPv6 address node unless an equal one exists, and sets the family's valid bit.
void add_interface_address(tarvik_network_interface_t *record, const struct sockaddr *address,
                           uint32_t prefix_length, const struct sockaddr *second);

// 0 when the line names an interface before its first ':' (counters filled as far as they
// parse, the rest 0); -1 for a header line or garbage. The line is cut up in place.
int parse_net_dev_line(char *line, NetDevLine *out);
// 0 for a line with a valid 32-digit address and a name; -1 otherwise. Cut up in place.
int parse_if_inet6_line(char *line, IfInet6Line *out);

} // namespace tarvik::detail
