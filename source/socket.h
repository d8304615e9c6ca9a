/* The socket layer: descriptor I/O with millisecond time-outs, socket options, openers that
 * resolve a name and try every address, multicast membership, connected pairs and host names. */
#ifndef TARVIK_SOCKET_H
#define TARVIK_SOCKET_H

#include "tarvik_abi.h"
#include <sys/types.h>
#include <sys/socket.h>

TARVIK_BEGIN_DECLS

/* The descriptor value meaning "no socket"; every close returns it. */
#define def_tarvik_invalid_socket (-1)

/* Time-outs are in ms; negative blocks. On time-out the sends give 0, the receives -2,
 * accept and connect -1. Nothing here prints; errno is left as the system set it. */

/* Bytes sent, 0 on time-out, -1 on error. MSG_NOSIGNAL is always added. */
TARVIK_API ssize_t tarvik_send(int fd, const void *data, size_t size, int timeout_ms);
/* As tarvik_send, to address (its length passes the socket-address size rule). */
TARVIK_API ssize_t tarvik_sendto(int fd, const void *data, size_t size,
                                 const struct sockaddr *address, socklen_t address_length,
                                 int timeout_ms);
/* Formats and sends with tarvik_send; -1 when formatting fails. */
TARVIK_API ssize_t tarvik_send_message(int fd, int timeout_ms, const char *format, ...)
    TARVIK_PRINTF(3, 4);
/* Formats and sends with tarvik_sendto; -1 when formatting fails. */
TARVIK_API ssize_t tarvik_sendto_message(int fd, const struct sockaddr *address,
                                         socklen_t address_length, int timeout_ms,
                                         const char *format, ...) TARVIK_PRINTF(5, 6);
/* Bytes received, 0 when the peer closed, -2 on time-out, -1 on error. */
TARVIK_API ssize_t tarvik_recv(int fd, void *buffer, size_t size, int timeout_ms);
/* As tarvik_recv; address and length (both may be null) receive the sender. */
TARVIK_API ssize_t tarvik_recvfrom(int fd, void *buffer, size_t size, struct sockaddr *address,
                                   socklen_t *address_length, int timeout_ms);
/* Receives until size bytes arrived: the total so far when the peer closes or a wait times
 * out after some data, -2 on a time-out with nothing, -1 on error. */
TARVIK_API ssize_t tarvik_recv_fill(int fd, void *buffer, size_t size, int timeout_ms);
/* As tarvik_recv_fill with recvfrom (the last sender is kept). */
TARVIK_API ssize_t tarvik_recvfrom_fill(int fd, void *buffer, size_t size, struct sockaddr *address,
                                        socklen_t *address_length, int timeout_ms);

/* Direct system calls; the sendto form applies the socket-address size rule. */
TARVIK_API ssize_t tarvik_sys_send(int fd, const void *data, size_t size, int flags);
TARVIK_API ssize_t tarvik_sys_sendto(int fd, const void *data, size_t size, int flags,
                                     const struct sockaddr *address, socklen_t address_length);
TARVIK_API ssize_t tarvik_sys_recv(int fd, void *buffer, size_t size, int flags);
TARVIK_API ssize_t tarvik_sys_recvfrom(int fd, void *buffer, size_t size, int flags,
                                       struct sockaddr *address, socklen_t *address_length);

/* New descriptor the caller closes; -1 on error or time-out. */
TARVIK_API int tarvik_accept(int fd, struct sockaddr *address, socklen_t *address_length,
                             int timeout_ms);
/* 0 when connected; -1 on error, refusal or time-out. */
TARVIK_API int tarvik_connect(int fd, const struct sockaddr *address, socklen_t address_length,
                              int timeout_ms);
/* 0 or -1. */
TARVIK_API int tarvik_listen(int fd, int backlog);
/* 0 or -1; the length passes the socket-address size rule. */
TARVIK_API int tarvik_bind(int fd, const struct sockaddr *address, socklen_t address_length);
/* socket(family, type & 0xFFFF, protocol): a descriptor the caller closes, or -1. */
TARVIK_API int tarvik_open_socket(int family, int type, int protocol);
/* Closes (retrying on EINTR); -1 is refused without a system call. Always returns -1. */
TARVIK_API int tarvik_close_socket(int fd);
/* Shuts both sides, waits up to timeout_ms for the peer, closes. Always returns -1. */
TARVIK_API int tarvik_shutdown_close_socket(int fd, int timeout_ms);
/* how: 1 send side, 2 both, other values the receive side; 0 or -1 (also for fd -1). */
TARVIK_API int tarvik_shutdown_socket(int fd, int how);
/* Sets or clears O_NONBLOCK; 0, or -1 for fd -1 or failure. */
TARVIK_API int tarvik_set_non_block_socket(int fd, int on);

/* Direct system calls. */
TARVIK_API int tarvik_setsockopt(int fd, int level, int name, const void *value, socklen_t length);
TARVIK_API int tarvik_getsockopt(int fd, int level, int name, void *value, socklen_t *length);
TARVIK_API int tarvik_getpeername(int fd, struct sockaddr *address, socklen_t *address_length);
TARVIK_API int tarvik_getsockname(int fd, struct sockaddr *address, socklen_t *address_length);

/* Option setters: 0 or -1 (-1 for fd -1 without a system call). */
TARVIK_API int tarvik_set_broadcast_socket(int fd, int on);
TARVIK_API int tarvik_set_reuse_address_socket(int fd, int on);
TARVIK_API int tarvik_set_linger_socket(int fd, int on, int seconds);
TARVIK_API int tarvik_set_rx_socket_buffer_size(int fd, int bytes);
TARVIK_API int tarvik_set_tx_socket_buffer_size(int fd, int bytes);
/* hops -1 reads the TTL / hop limit (multicast flavour when multicast is non-zero) and returns
 * it; 0..255 sets it (0 or -1). -1 for fd -1 or hops out of range; local sockets give 0. */
TARVIK_API int tarvik_hops_socket(int fd, int hops, int multicast);

/* Open and close a socket of that kind: 0 when possible, else -1. */
TARVIK_API int tarvik_check_socket_support(int family, int type, int protocol);
TARVIK_API int tarvik_check_inet_support(int family, int type, int protocol);
/* Probed once per process: 0 when local-domain / IPv6 / IPv4 datagram sockets open, else -1. */
TARVIK_API int tarvik_check_local_socket_support(void);
TARVIK_API int tarvik_check_inet6_support(void);
TARVIK_API int tarvik_check_inet4_support(void);

/* Protocol number (built-in table first, then the system); 0 for unknown or null. */
TARVIK_API int tarvik_get_protocol_by_name(const char *name);
/* Service port in host order (protocol null: "tcp"); 0 when unknown, -1 for a null name. */
TARVIK_API int tarvik_get_service_by_name(const char *name, const char *protocol);

/* Openers: resolve the names and try each address in order (family 0: any); each returns a
 * descriptor the caller closes, or -1 with nothing left open. */
/* Connected stream socket; bind port 0..65535 (0: the system picks), port 1..65535. With
 * family 1 the host (and the bind address) are local socket paths and the ports are unused. */
TARVIK_API int tarvik_open_connect_socket_ex(int family, const char *bind_address, int bind_port,
                                             const char *host, int port, int timeout_ms);
/* tarvik_open_connect_socket_ex(0, null, 0, host, port, timeout_ms). */
TARVIK_API int tarvik_open_connect_socket(const char *host, int port, int timeout_ms);
/* Listening stream socket (backlog 128) on bind_address (null: any; a name binds what it
 * resolves to) and port 0..65535. With family 1 the bind address is a local socket path. */
TARVIK_API int tarvik_open_listen_socket_ex(int family, const char *bind_address, int port);
/* tarvik_open_listen_socket_ex(0, bind_address, port). */
TARVIK_API int tarvik_open_listen_socket(const char *bind_address, int port);
/* Bound datagram socket (port -1 means 0); with a multicast group, joined on every interface. */
TARVIK_API int tarvik_open_udp_socket_ex(int family, const char *bind_address, int port,
                                         const char *group);
/* tarvik_open_udp_socket_ex(0, bind_address, port, group). */
TARVIK_API int tarvik_open_udp_socket(const char *bind_address, int port, const char *group);
/* Sends one datagram to every resolved address of host; hops 0..255 sets the TTL (256 or more
 * leaves it). The result of the last send, or -1. */
TARVIK_API ssize_t tarvik_send_udp_packet_ex(int family, const char *bind_address, int bind_port,
                                             const char *host, int port, int hops, const void *data,
                                             size_t size, int timeout_ms);
/* tarvik_send_udp_packet_ex(0, null, 0, ...). */
TARVIK_API ssize_t tarvik_send_udp_packet(const char *host, int port, int hops, const void *data,
                                          size_t size, int timeout_ms);
/* Joins (join 1) or leaves (0) group on every up interface with an address of its family;
 * 0 when at least one interface took it, else -1. */
TARVIK_API int tarvik_multicast_join_all(int fd, const struct sockaddr *group, int join);

/* Connected pair in out[0], out[1] (the caller closes both); 0, or -1 with both set to -1. */
TARVIK_API int tarvik_socket_pair(int family, int type, int protocol, int *out);
/* Wake pipe: out[0] is read, out[1] written (the caller closes both); 0, or -1 with both -1. */
TARVIK_API int tarvik_socket_pipe(int *out);

/* Host name (at most 64 bytes) as a heap string the caller frees; null on failure. */
TARVIK_API char *tarvik_get_hostname_alloc_tag(const char *tag, unsigned long line);
/* Canonical host name as a heap string the caller frees; null on failure. */
TARVIK_API char *tarvik_get_fqdn_alloc_tag(const char *tag, unsigned long line);

/* Reference-counted start of the process-wide resolver cache; 0, or -1 when it cannot open. */
TARVIK_API int tarvik_init_network(void);
/* One start less (the last closes the cache); 0, or -1 when not started. */
TARVIK_API int tarvik_uninit_network(void);
/* 1 while started, else 0. */
TARVIK_API int tarvik_is_network_initialized(void);

TARVIK_END_DECLS

#endif
