/* MD5 message digest (RFC 1321) with an upper-case hex string; taking the digest leaves the
 * context unchanged, so intermediate digests can be taken while pushing goes on. */
#ifndef TARVIK_MD5_H
#define TARVIK_MD5_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

typedef struct tarvik_md5_s {
    uint64_t m_count;    /* bytes pushed */
    uint32_t m_state[4]; /* chaining words A, B, C, D */
    uint64_t m_bits;     /* message length in bits */
    uint8_t m_block[64]; /* bytes of the block not yet compressed */
    char m_hex[33];      /* the last digest: 32 upper-case hex digits and a NUL */
} tarvik_md5_t;

/* Initial chaining values, counts zero; returns context (null for null). */
TARVIK_API tarvik_md5_t *tarvik_init_md5(tarvik_md5_t *context);
/* New initialised context from the tagged heap, or null; release it with tarvik_close_md5. */
TARVIK_API tarvik_md5_t *tarvik_open_md5(void);
/* Writes the 16-byte digest to out (may be null) and frees the context; returns 0. */
TARVIK_API int tarvik_close_md5(tarvik_md5_t *context, uint8_t *out);
/* Feeds size bytes; a null context, null data or size 0 is ignored. */
TARVIK_API void tarvik_md5_push(tarvik_md5_t *context, const void *data, size_t size);
/* Digest of everything pushed so far: 16 bytes to out (may be null); returns the hex string
 * inside the context (null for a null context). The context itself is left unchanged. */
TARVIK_API const char *tarvik_md5_digest(tarvik_md5_t *context, uint8_t *out);
/* Pushes the whole file; 0, or -1 when it cannot be opened or read or memory runs out. */
TARVIK_API int tarvik_md5_push_file(tarvik_md5_t *context, const char *path);
/* Initialises the context and pushes the read stream name; 0 at its end, -1 on open or read
 * failure or when it delivers nothing for more than 60 s in total. */
TARVIK_API int tarvik_simple_md5(const char *name, tarvik_md5_t *context);

TARVIK_END_DECLS

#endif
