/* CGI programs: the request read from the CGI environment and standard input, response
 * headers and body collected in queues and written to standard output, Basic and Digest
 * (RFC 2617) authentication against a list of accounts, and the Digest computation. */
#ifndef TARVIK_CGI_H
#define TARVIK_CGI_H

#include "tarvik_abi.h"
#include "argument.h"
#include "buffer.h"
#include "uri.h"

TARVIK_BEGIN_DECLS

/* Bytes of the work area behind the handle; also the size of one body read. */
#define TARVIK_CGI_WORK_SIZE 65536u
/* Method indexes of the method table (0: a method not in it). */
#define TARVIK_CGI_METHOD_COUNT 8u
#define TARVIK_CGI_GET 1u
#define TARVIK_CGI_HEAD 2u
#define TARVIK_CGI_POST 3u

/* One account; user and password are stored behind the record and wiped when it is freed. */
typedef struct tarvik_cgi_account_s {
    struct tarvik_cgi_account_s *m_next;
    char *m_user;
    char *m_password;
} tarvik_cgi_account_t;

/* One response header; name and value are stored behind the record. */
typedef struct tarvik_cgi_header_s {
    struct tarvik_cgi_header_s *m_next;
    char *m_name;
    char *m_value;
} tarvik_cgi_header_t;

struct tarvik_cgi_s;
/* Writes the body (and any header lines of its own, then the empty line) to standard
 * output in place of the response-body queue; 0 or -1. */
typedef int (*tarvik_cgi_output_handler_t)(struct tarvik_cgi_s *cgi);

/* The handle: one heap block that also holds the work area. Callers may set
 * m_output_handler, m_max_body_size (before tarvik_cgi_incoming) and m_file_name. */
typedef struct tarvik_cgi_s {
    const char *m_cr;
    const char *m_lf;
    const char *m_crlf; /* ends every header line */
    tarvik_argument_t *m_argument;
    tarvik_cgi_account_t *m_account; /* newest first */
    const char *m_method_table[TARVIK_CGI_METHOD_COUNT];
    const char *m_method; /* REQUEST_METHOD as given ("" when unset) */
    uint32_t m_method_index;
    uint64_t m_content_length;
    int32_t m_content_length_valid;
    uint64_t m_in_size; /* body bytes read */
    tarvik_uri_option_t *m_query_option;
    tarvik_uri_option_t *m_body_option;
    const char *m_user_agent;   /* or null */
    const char *m_content_type; /* or null */
    tarvik_cgi_output_handler_t m_output_handler;
    tarvik_cgi_header_t *m_header;
    tarvik_cgi_header_t *m_header_tail;
    tarvik_buffer_t *m_request_body;
    tarvik_buffer_t *m_response_body;
    tarvik_buffer_t *m_error;
    unsigned long m_max_body_size; /* 0: unlimited */
    char *m_file_name;             /* the caller's, for tarvik_cgi_file_output_handler */
    uint8_t *m_work;               /* TARVIK_CGI_WORK_SIZE bytes behind the record */
} tarvik_cgi_t;

/* New handle over argv and environment (null: the process environment; both must outlive
 * it), or null when memory runs out. Close it with tarvik_close_cgi. */
TARVIK_API tarvik_cgi_t *tarvik_open_cgi(int argc, char **argv, char **environment);
/* Frees everything the handle owns, account memory wiped (null accepted); returns 0. */
TARVIK_API int tarvik_close_cgi(tarvik_cgi_t *cgi);
/* Reads method, query, length and body; 0, or -1 on a refused, short or unreadable body. */
TARVIK_API int tarvik_cgi_incoming(tarvik_cgi_t *cgi);
/* Value of the query parameter name (then of the form body), decoded; null when absent.
 * Owned by the handle. */
TARVIK_API const char *tarvik_cgi_get_parameter(tarvik_cgi_t *cgi, const char *name);
/* Appends a header (null value: empty); 0, or -1 for a null handle or name or no memory. */
TARVIK_API int tarvik_cgi_set_response_header(tarvik_cgi_t *cgi, const char *name,
                                              const char *value);
/* Writes headers and body to standard output, then the error queue to the error output;
 * the output handler's result, or 0 (-1 when standard output refused the response). */
TARVIK_API int tarvik_cgi_outgoing(tarvik_cgi_t *cgi);
/* Output handler that sends the file m_file_name; 0, or -1 with a line in the error queue. */
TARVIK_API int tarvik_cgi_file_output_handler(tarvik_cgi_t *cgi);
/* Adds an account unless the same user and password exist; 0, or -1 (null handle, no memory). */
TARVIK_API int tarvik_cgi_new_account(tarvik_cgi_t *cgi, const char *user, const char *password);
/* 0 when the request may proceed (no accounts, or valid credentials), else sets the
 * challenge and returns -1. */
TARVIK_API int tarvik_cgi_digest_check(tarvik_cgi_t *cgi);
/* Sets the 401 status and the Digest challenge headers; 0, or -1 (null handle, no memory). */
TARVIK_API int tarvik_cgi_unauthorization(tarvik_cgi_t *cgi);

/* The Digest steps; each writes 32 lower-case hex digits and a NUL into out (33 bytes) and
 * returns out (null only for a null out). Null texts count as empty. */
TARVIK_API char *tarvik_http_digest_ha1(const char *algorithm, const char *user, const char *realm,
                                        const char *password, const char *nonce, const char *cnonce,
                                        char *out);
TARVIK_API char *tarvik_http_digest_ha2(const char *method, const char *uri, const char *qop,
                                        const char *entity_hash, char *out);
TARVIK_API char *tarvik_http_digest_response(const char *ha1, const char *ha2, const char *nonce,
                                             const char *nc, const char *cnonce, const char *qop,
                                             char *out);
TARVIK_API char *tarvik_http_digest(const char *algorithm, const char *user, const char *realm,
                                    const char *password, const char *nonce, const char *cnonce,
                                    const char *method, const char *uri, const char *qop,
                                    const char *entity_hash, const char *nc, char *out);

TARVIK_END_DECLS

#endif
