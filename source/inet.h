/* Addresses: the address-string grammar (IPv4, bracketed IPv6 with scope, local paths, with
 * optional prefix and port), printing, socket-address helpers, IPv6 address classes, the
 * Internet checksum and the byte-order helpers. Stateless; every call may run on any thread. */
#ifndef TARVIK_INET_H
#define TARVIK_INET_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

struct sockaddr;

/* Address families (the platform's values). */
#define TARVIK_FAMILY_UNSPEC 0
#define TARVIK_FAMILY_LOCAL 1
#define TARVIK_FAMILY_INET 2
#define TARVIK_FAMILY_INET6 10

/* Bytes of a buffer that holds any socket address. */
#define TARVIK_SOCKADDR_BUFFER_SIZE 128
/* Bytes of a text buffer that holds any printed address (a local path is at most 108). */
#define TARVIK_INET_STRING_SIZE 128

/* Scope classes of tarvik_sockaddr_scope. */
#define TARVIK_SCOPE_NONE (-1)
#define TARVIK_SCOPE_INTERFACE_LOCAL 1
#define TARVIK_SCOPE_LINK_LOCAL 2
#define TARVIK_SCOPE_SITE_LOCAL 5
#define TARVIK_SCOPE_GLOBAL 14
#define TARVIK_SCOPE_V4_MAPPED 0xFF01
#define TARVIK_SCOPE_V4_COMPATIBLE 0xFF02
#define TARVIK_SCOPE_MULTICAST 0xFF03

/* Host <-> big-endian order (symmetric). */
TARVIK_API uint16_t tarvik_be16_order(uint16_t value);
TARVIK_API uint32_t tarvik_be32_order(uint32_t value);

/* 0, or -1 when the text is no address of the family (0: IPv4, IPv6, local); copies 4 or 16
 * address bytes to address when not null (nothing for a local path). */
TARVIK_API int tarvik_inet_pton(int family, const char *string, void *address);
/* 0, or -1 with the output zeroed; fills a socket address of at most size bytes (the text's
 * port, else default_port, which must be below 65536). */
TARVIK_API int tarvik_inet_ptos(int family, const char *string, uint32_t default_port,
                                struct sockaddr *address, size_t size);

/* Prints raw address bytes (null: the any address) into buffer (always terminated, truncated
 * to size); returns buffer, or null when buffer is null or size is 0. */
TARVIK_API char *tarvik_inet_ntop(int family, const void *address, char *buffer, size_t size);
/* Prints a socket address without its port; returns buffer, or null for no buffer/size 0. */
TARVIK_API char *tarvik_inet_stop(const struct sockaddr *address, char *buffer, size_t size);
/* As tarvik_inet_stop and stores the host-order port when port is not null (0 if none). */
TARVIK_API char *tarvik_inet_stopp(const struct sockaddr *address, char *buffer, size_t size,
                                   uint32_t *port);

/* The length to pass for an address: the family's size unless length is 1..that size; 0 for
 * a null address; other families keep length. */
TARVIK_API size_t tarvik_sockaddr_size(const struct sockaddr *address, size_t length);
/* One of TARVIK_SCOPE_*; TARVIK_SCOPE_NONE for null, any, unspecified or other families. */
TARVIK_API int tarvik_sockaddr_scope(const struct sockaddr *address);
/* 0; -1 for a null address or a port of 65536 or more. Other families are left alone. */
TARVIK_API int tarvik_sockaddr_set_port(struct sockaddr *address, uint32_t port);
/* 0 when both are null or both carry the same IPv4/IPv6 address (ports ignored), else -1. */
TARVIK_API int tarvik_compare_sockaddr_address(const struct sockaddr *a, const struct sockaddr *b);
/* 0, filling mask (top bits set) and base (IPv4: broadcast address; IPv6: cleared); -1 for a
 * null address or another family (first two bytes of both outputs cleared). Outputs may be
 * null; each must hold the family's socket address size. */
TARVIK_API int tarvik_prefix_sockaddr(const struct sockaddr *address, uint32_t bits,
                                      struct sockaddr *mask, struct sockaddr *base);

/* 1 for 224.0.0.0/4 (4 address bytes), else 0 (also for null). */
TARVIK_API int tarvik_inet_is_multicast(const void *address);
/* 1 for ff00::/8 (16 address bytes), else 0 (also for null). */
TARVIK_API int tarvik_inet6_is_multicast(const void *address);

/* IPv6 address classes over 16 address bytes: 1 or 0 (0 for null). */
TARVIK_API int tarvik_in6addr_is_unspecified(const void *address);
TARVIK_API int tarvik_in6addr_is_loopback(const void *address);
/* fe80::/10 */
TARVIK_API int tarvik_in6addr_is_link_local(const void *address);
/* fec0::/10 */
TARVIK_API int tarvik_in6addr_is_site_local(const void *address);
TARVIK_API int tarvik_in6addr_is_multicast(const void *address);
/* ::ffff:0:0/96 */
TARVIK_API int tarvik_in6addr_is_v4_mapped(const void *address);
/* ::/96 except ::0 and ::1 */
TARVIK_API int tarvik_in6addr_is_v4_compatible(const void *address);
/* Multicast with scope 1. */
TARVIK_API int tarvik_in6addr_is_multicast_interface_local(const void *address);
/* Multicast with scope 2. */
TARVIK_API int tarvik_in6addr_is_multicast_link_local(const void *address);
/* Link-local unicast or multicast with scope 2. */
TARVIK_API int tarvik_in6addr_is_scope_link_local(const void *address);
/* Low 4 bits of the second byte (meaningful for multicast); 0 for null. */
TARVIK_API int tarvik_in6addr_multicast_scope(const void *address);

/* The Internet checksum of length bytes (0xFFFF for none). */
TARVIK_API uint16_t tarvik_inet_checksum(const void *data, size_t length);

TARVIK_END_DECLS

#endif
