// C++-only parsers and readers of the socket and route tables, shared with the unit tests and
// the fuzz target; never installed.
#pragma once

#include "../netstat.h"
#include "text.hpp"

#include <cstddef>

namespace tarvik::detail {

// The six socket tables, in reading order; the index is the kind the parsers take.
enum SocketKind : unsigned { TCP, TCP6, UDP, UDP6, RAW, RAW6, SOCKET_KINDS };

// A list being built in reading order.
template <typename Record> struct TableList {
    Record *m_head = nullptr;
    Record *m_tail = nullptr;

    void append(Record *record)
    {
        record->m_next = nullptr;
        if (m_tail == nullptr) {
            m_head = record;
        } else {
            m_tail->m_next = record;
        }
        m_tail = record;
    }
};

// One line of a socket table into record (all fields but the link); false for a header
// line (first word "sl"), a short line or an endpoint, state or queue word that is malformed.
bool parse_socket_line(Text line, SocketKind kind, tarvik_netstat_t *record);
// One line of /proc/net/route into record (ifindex 0); false for a header line (first
// word "Iface"), a line without words or a name too long to keep.
bool parse_route_line(Text line, tarvik_route_ipv4_t *record);

// Appends a record for every valid line of text; false when memory ran out (records
// appended so far stay in list). A header is looked for only in the first line, and only
// when at_start says that text begins the table.
bool parse_socket_table(SocketKind kind, const char *text, size_t length, bool at_start,
                        TableList<tarvik_netstat_t> *list);
bool parse_route_table(const char *text, size_t length, bool at_start,
                       TableList<tarvik_route_ipv4_t> *list);

// The six socket tables named by their protocol under directory ("/proc/net" for the
// system's); tables that are missing are skipped. Null when none has a socket or memory ran out.
tarvik_netstat_t *open_netstat_in(const char *directory);
// The route table at path, interface indexes filled; null when empty or unreadable.
tarvik_route_ipv4_t *open_route_ipv4_from(const char *path);

// The flags column as text ("" unless up; "!" for reject, else "U"; then GHRDMmWISXNTn).
void route_flags_text(uint32_t flags, char *buffer, size_t size);

} // namespace tarvik::detail
