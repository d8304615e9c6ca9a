/* TFTP client (RFC 1350) behind "tftp://" URLs: a handle per transfer, one request, then the
 * file block by block. Only downloads carry data; a write request can be sent. */
#ifndef TARVIK_TFTP_H
#define TARVIK_TFTP_H

#include "tarvik_abi.h"
#include "uri.h"

#include <sys/socket.h>
#include <sys/types.h>

TARVIK_BEGIN_DECLS

/* Transport flag: TFTP packets over a TCP connection instead of UDP datagrams. */
#define TARVIK_TFTP_TRANSPORT_TCP 1
#define TARVIK_TFTP_DEFAULT_PORT 69
#define TARVIK_TFTP_BLOCK_SIZE 512u
#define TARVIK_TFTP_BUFFER_SIZE 1024u

/* States. */
#define TARVIK_TFTP_STATE_TRANSFER 0
#define TARVIK_TFTP_STATE_DONE 1
#define TARVIK_TFTP_STATE_ERROR (-1)

/* One transfer. The server's address gets the port of its first DATA (the transfer port);
 * packets from any other address or port are not part of the transfer. */
typedef struct tarvik_tftp_s {
    int32_t m_transport; /* TARVIK_TFTP_TRANSPORT_TCP, anything else: UDP */
    tarvik_uri_t *m_uri;
    uint32_t m_local_address_length;
    struct sockaddr_storage m_local_address; /* wildcard address, port 0 */
    uint32_t m_server_address_length;
    struct sockaddr_storage m_server_address;
    int32_t m_socket; /* -1 when closed */
    uint8_t m_buffer[TARVIK_TFTP_BUFFER_SIZE];
    uint8_t *m_data;  /* the data of the last block, behind its 4-byte header */
    uint32_t m_block; /* last accepted block number */
    int32_t m_state;
    uint32_t m_data_size;         /* bytes of data in the last block received */
    uint32_t m_request_port;      /* where requests go (host order) */
    int32_t m_transfer_fixed;     /* 1 once the first DATA fixed the transfer port */
    int32_t m_receive_timeout_ms; /* the socket's receive time-out as last set, -2: none */
} tarvik_tftp_t;

/* Parses uri (null: "tftp://localhost"), resolves its host and opens a socket to the first
 * address that takes one (TCP: connected within timeout_ms). The handle, or null. */
TARVIK_API tarvik_tftp_t *tarvik_open_tftp(int transport, const char *uri, int timeout_ms);
/* Closes the socket, frees the URI and the handle (null accepted); returns null. */
TARVIK_API tarvik_tftp_t *tarvik_close_tftp(tarvik_tftp_t *tftp);
/* Sends a read (write) request for path (null: the URI's path without its leading "/") in
 * mode (null: "octet"), restarting the block count; 0 when the whole request went out. */
TARVIK_API int tarvik_tftp_read_request(tarvik_tftp_t *tftp, const char *path, const char *mode,
                                        int timeout_ms);
TARVIK_API int tarvik_tftp_write_request(tarvik_tftp_t *tftp, const char *path, const char *mode,
                                         int timeout_ms);
/* Bytes of the next block (0..512, in tftp->m_data), 0 once the last block was delivered,
 * -1 on an error, an ERROR packet or no block within timeout_ms (the transfer then stays
 * failed). */
TARVIK_API ssize_t tarvik_tftp_read_data(tarvik_tftp_t *tftp, int timeout_ms);

TARVIK_END_DECLS

#endif
