/* Socket tables (TCP, UDP and raw, IPv4 and IPv6) and the IPv4 routing table of /proc/net,
 * read into lists of records in file order. */
#ifndef TARVIK_NETSTAT_H
#define TARVIK_NETSTAT_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Text sizes of the records, terminator included. */
#define TARVIK_NETSTAT_PROTO_SIZE 8
#define TARVIK_NETSTAT_ADDRESS_SIZE 48 /* the longest IPv6 text without scope is 45 */
#define TARVIK_NETSTAT_STATE_SIZE 16
#define TARVIK_ROUTE_NAME_SIZE 16 /* interface names are at most 15 characters */
#define TARVIK_ROUTE_TEXT_SIZE 16

/* State numbers of the TCP tables that the tools look at. */
#define TARVIK_NETSTAT_TCP_LISTEN 10u
/* State of an unconnected UDP socket. */
#define TARVIK_NETSTAT_UDP_CLOSE 7u

/* Route flag bits of the kernel. */
#define TARVIK_ROUTE_UP 0x1u
#define TARVIK_ROUTE_GATEWAY 0x2u
#define TARVIK_ROUTE_HOST 0x4u
#define TARVIK_ROUTE_REJECT 0x200u

/* One socket, one line of a table. */
typedef struct tarvik_netstat_s {
    struct tarvik_netstat_s *m_next;
    char m_proto[TARVIK_NETSTAT_PROTO_SIZE]; /* "tcp", "tcp6", "udp", "udp6", "raw", "raw6" */
    char m_local_address[TARVIK_NETSTAT_ADDRESS_SIZE];
    uint32_t m_local_port;
    char m_remote_address[TARVIK_NETSTAT_ADDRESS_SIZE];
    uint32_t m_remote_port;
    uint32_t m_state;
    char m_state_text[TARVIK_NETSTAT_STATE_SIZE];
    uint64_t m_tx_queue;
    uint64_t m_rx_queue;
    uint64_t m_inode;
} tarvik_netstat_t;

/* One route of /proc/net/route; addresses and mask as the kernel stores them (network order). */
typedef struct tarvik_route_ipv4_s {
    struct tarvik_route_ipv4_s *m_next;
    int32_t m_ifindex; /* 0 when the interface cannot be asked */
    char m_name[TARVIK_ROUTE_NAME_SIZE];
    char m_destination_text[TARVIK_ROUTE_TEXT_SIZE];
    char m_gateway_text[TARVIK_ROUTE_TEXT_SIZE];
    char m_mask_text[TARVIK_ROUTE_TEXT_SIZE];
    char m_flags_text[TARVIK_ROUTE_TEXT_SIZE]; /* "U", "UG", "!H", ... */
    uint32_t m_destination;
    uint32_t m_gateway;
    uint32_t m_mask;
    uint32_t m_flags;
    uint32_t m_refcnt;
    uint32_t m_use;
    uint32_t m_metric;
    uint32_t m_mtu;
    uint32_t m_window;
    uint32_t m_irtt;
} tarvik_route_ipv4_t;

/* Every socket of the six tables (missing tables are skipped); null when there is none or
 * memory runs out. Free it with tarvik_close_netstat. */
TARVIK_API tarvik_netstat_t *tarvik_open_netstat(void);
/* Frees the whole list (null accepted); returns 0. */
TARVIK_API int tarvik_close_netstat(tarvik_netstat_t *list);
/* The IPv4 routes; null when there is none, the table cannot be read or memory runs out.
 * Free it with tarvik_close_route_ipv4. */
TARVIK_API tarvik_route_ipv4_t *tarvik_open_route_ipv4(void);
/* Frees the whole list (null accepted); returns 0. */
TARVIK_API int tarvik_close_route_ipv4(tarvik_route_ipv4_t *list);

TARVIK_END_DECLS

#endif
