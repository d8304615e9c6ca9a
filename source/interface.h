/* Network interface list: names, indexes, flags, hardware data, link state, counters and
 * IPv4/IPv6 addresses merged from getifaddrs, interface ioctls and /proc; searches, refresh
 * with change marks, and display texts. */
#ifndef TARVIK_INTERFACE_H
#define TARVIK_INTERFACE_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

struct sockaddr;

/* Request bits (the flags argument of the readers); the same bits mark what a record holds
 * in its valid field. */
#define TARVIK_NETIF_LISTED 0x1u
#define TARVIK_NETIF_INDEX 0x4u
#define TARVIK_NETIF_FLAGS 0x8u
#define TARVIK_NETIF_HW_TYPE 0x10u
#define TARVIK_NETIF_HW_ADDRESS 0x20u
#define TARVIK_NETIF_MTU 0x40u
#define TARVIK_NETIF_METRIC 0x80u
#define TARVIK_NETIF_METRIC6 0x100u
#define TARVIK_NETIF_MAP 0x200u
#define TARVIK_NETIF_LINK 0x800u
#define TARVIK_NETIF_COUNTERS 0x1000u
#define TARVIK_NETIF_IPV4 0x4000u
#define TARVIK_NETIF_IPV6 0x8000u
#define TARVIK_NETIF_ALL 0xffffu

/* Change marks left by the refresh in the changes field of records and address nodes. */
#define TARVIK_NETIF_CHANGE_NEW 0x1u
#define TARVIK_NETIF_CHANGE_GONE 0x2u
#define TARVIK_NETIF_CHANGE_CHANGED 0x4u
#define TARVIK_NETIF_CHANGE_SEEN 0x80u

/* Bits of the converted flags word (the kernel's MASTER and SLAVE bits trade places). */
#define TARVIK_NETIF_FLAG_UP 0x1u
#define TARVIK_NETIF_FLAG_BROADCAST 0x2u
#define TARVIK_NETIF_FLAG_DEBUG 0x4u
#define TARVIK_NETIF_FLAG_LOOPBACK 0x8u
#define TARVIK_NETIF_FLAG_POINTOPOINT 0x10u
#define TARVIK_NETIF_FLAG_NOTRAILERS 0x20u
#define TARVIK_NETIF_FLAG_RUNNING 0x40u
#define TARVIK_NETIF_FLAG_NOARP 0x80u
#define TARVIK_NETIF_FLAG_PROMISC 0x100u
#define TARVIK_NETIF_FLAG_ALLMULTI 0x200u
#define TARVIK_NETIF_FLAG_SLAVE 0x400u
#define TARVIK_NETIF_FLAG_MASTER 0x800u
#define TARVIK_NETIF_FLAG_MULTICAST 0x1000u
#define TARVIK_NETIF_FLAG_PORTSEL 0x2000u
#define TARVIK_NETIF_FLAG_AUTOMEDIA 0x4000u
#define TARVIK_NETIF_FLAG_DYNAMIC 0x8000u

/* Hardware type codes. */
#define TARVIK_NETIF_HW_UNSPEC 0u
#define TARVIK_NETIF_HW_LOOPBACK 1u
#define TARVIK_NETIF_HW_ETHERNET 2u
#define TARVIK_NETIF_HW_PPP 3u
#define TARVIK_NETIF_HW_SIT 4u
#define TARVIK_NETIF_HW_INFINIBAND 5u
#define TARVIK_NETIF_HW_ATM 6u
#define TARVIK_NETIF_HW_IEEE80211 7u
#define TARVIK_NETIF_HW_TUNNEL 8u
#define TARVIK_NETIF_HW_IEEE1394 9u
#define TARVIK_NETIF_HW_TOKENRING 10u

#define TARVIK_NETIF_HW_ADDRESS_MAX 32
#define TARVIK_NETIF_RX_COUNT 8
#define TARVIK_NETIF_TX_COUNT 9

struct tarvik_network_interface_s;

/* One address of an interface; the socket addresses live in the node's own allocation. */
typedef struct tarvik_network_interface_address_s {
    struct tarvik_network_interface_address_s *prev;
    struct tarvik_network_interface_address_s *next;
    struct tarvik_network_interface_s *owner;
    uint32_t changes;
    struct sockaddr *address; /* sockaddr_in (16 bytes) or sockaddr_in6 (28 bytes) */
    uint32_t prefix_length;
    struct sockaddr *second_address; /* broadcast or point-to-point peer; may be null */
} tarvik_network_interface_address_t;

/* One interface; records form a singly linked list in discovery order. */
typedef struct tarvik_network_interface_s {
    struct tarvik_network_interface_s *next;
    uint32_t reserved0;
    uint32_t valid;
    uint32_t changes;
    uint32_t name_crc;
    char *name;          /* inside the record's allocation */
    char *friendly_name; /* equal to name unless it differs */
    int32_t index;
    uint32_t flags;
    uint32_t hw_type;
    uint32_t hw_address_size;
    uint8_t hw_address[TARVIK_NETIF_HW_ADDRESS_MAX];
    uint32_t mtu;
    uint32_t metric;
    uint32_t metric6;
    uint32_t mem_start;
    uint32_t mem_end;
    uint32_t base_addr;
    uint32_t irq;
    uint32_t dma;
    uint32_t port;
    char *text; /* optional heap text, freed with the record */
    int32_t link;
    int32_t autoneg;
    int32_t speed;
    int32_t duplex;
    uint64_t *rx; /* 8 counters: bytes packets errors dropped fifo frame compressed multicast */
    uint64_t *tx; /* 9 counters: bytes packets errors dropped fifo colls carrier compressed 0 */
    tarvik_network_interface_address_t *address_head;
    tarvik_network_interface_address_t *address_tail;
    uint32_t reserved[8];
} tarvik_network_interface_t;

/* Filter for the search by filter: 0 accepts the record. */
typedef int (*tarvik_network_interface_filter_t)(tarvik_network_interface_t *record, void *context);

/* New list of the interfaces whose names match name_patterns (null: all); null when empty
 * or on failure; the caller frees it with tarvik_free_network_interface. */
TARVIK_API tarvik_network_interface_t *tarvik_get_network_interface_ex(const char *name_patterns,
                                                                       uint32_t flags);
/* The same for every interface; null when empty or on failure; caller frees. */
TARVIK_API tarvik_network_interface_t *tarvik_get_network_interface(uint32_t flags);
/* Frees the records, their addresses, counters and texts (null accepted); returns 0. */
TARVIK_API int tarvik_free_network_interface(tarvik_network_interface_t *list);
/* Refreshes list in place with change marks and returns the (possibly new) head, which the
 * caller keeps owning; a null list reads a new one. */
TARVIK_API tarvik_network_interface_t *
tarvik_update_network_interface_ex(tarvik_network_interface_t *list, const char *name_patterns,
                                   uint32_t flags);
/* New empty record (link data -1, valid 0x1); null on failure; caller frees it. */
TARVIK_API tarvik_network_interface_t *tarvik_new_network_interface(const char *name,
                                                                    const char *friendly_name);

/* Record with that name (CRC compared first); null when absent. The list keeps ownership. */
TARVIK_API tarvik_network_interface_t *
tarvik_search_network_interface_by_name(tarvik_network_interface_t *list, const char *name);
/* First record whose name matches pattern and that meets require (0x20, 0x4000, 0x8000);
 * null when none. */
TARVIK_API tarvik_network_interface_t *
tarvik_search_network_interface_by_name_pattern(tarvik_network_interface_t *list,
                                                const char *pattern, uint32_t require);
/* Tries each "|"-separated pattern in turn; null when none matches. */
TARVIK_API tarvik_network_interface_t *
tarvik_search_network_interface_by_name_pattern_list(tarvik_network_interface_t *list,
                                                     const char *patterns, uint32_t require);
/* First record (patterns tried in order, default "bond*|eth*|en*|wlan*|ra*|*") that the
 * filter (optional) accepts; null when none. */
TARVIK_API tarvik_network_interface_t *
tarvik_search_network_interface_by_filter(tarvik_network_interface_t *list, const char *patterns,
                                          tarvik_network_interface_filter_t filter, void *context);

/* Interface index of name; 0 for null or unknown names. */
TARVIK_API uint32_t tarvik_interface_name_to_index(const char *name);
/* New text (at most 16 characters) naming the interface index; null if none; caller frees. */
TARVIK_API char *tarvik_interface_index_to_name_alloc(uint32_t index);
/* Writes the name of interface index into buffer; null if none or the buffer is unusable. */
TARVIK_API char *tarvik_interface_index_to_name(uint32_t index, char *buffer, size_t size);

/* Names of the set flag bits joined by separator (null: ","); null for a null/empty buffer. */
TARVIK_API char *tarvik_network_interface_ifflags_string(uint32_t flags, const char *separator,
                                                         char *buffer, size_t size);
/* Name of a hardware type code ("UNKNOWN" for others); null for a null/empty buffer. */
TARVIK_API char *tarvik_network_interface_hardware_type_string(uint32_t code, char *buffer,
                                                               size_t size);
/* Hardware address as lower-case hex pairs joined by ":"; null for a null/empty buffer. */
TARVIK_API char *tarvik_network_interface_physical_address_string(uint32_t type,
                                                                  const uint8_t *address,
                                                                  size_t size, char *buffer,
                                                                  size_t buffer_size);
/* Name of an address scope class; null for a null/empty buffer. */
TARVIK_API char *tarvik_network_interface_scope_string(uint32_t scope, char *buffer, size_t size);
/* Link state text ("no link", "negotiated, 100 Mbit/s, full duplex", ...); null for a
 * null/empty buffer. */
TARVIK_API char *tarvik_network_interface_link_string(int32_t link, int32_t autoneg, int32_t speed,
                                                      int32_t duplex, char *buffer, size_t size);

TARVIK_END_DECLS

#endif
