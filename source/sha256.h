/* SHA-256 message digest (FIPS 180-4) with an upper-case hex string. Taking the digest pads
 * and finishes the context in place. */
#ifndef TARVIK_SHA256_H
#define TARVIK_SHA256_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

typedef struct tarvik_sha256_s {
    uint64_t m_count;    /* bytes pushed */
    uint32_t m_state[8]; /* chaining words */
    uint32_t m_fill;     /* bytes in the block buffer */
    uint8_t m_block[64]; /* bytes of the block not yet compressed */
    char m_hex[65];      /* the digest: 64 upper-case hex digits and a NUL */
} tarvik_sha256_t;

/* Initial chaining values, counts zero; returns context (null for null). */
TARVIK_API tarvik_sha256_t *tarvik_init_sha256(tarvik_sha256_t *context);
/* New initialised context from the tagged heap, or null; release it with tarvik_close_sha256. */
TARVIK_API tarvik_sha256_t *tarvik_open_sha256(void);
/* Writes the 32-byte digest to out (may be null) and frees the context; returns 0. */
TARVIK_API int tarvik_close_sha256(tarvik_sha256_t *context, uint8_t *out);
/* Feeds size bytes; a null context, null data or size 0 is ignored. */
TARVIK_API void tarvik_sha256_push(tarvik_sha256_t *context, const void *data, size_t size);
/* Finishes the context: 32 bytes to out (may be null); returns the hex string inside the
 * context (null for a null context). Pushing afterwards is not meaningful. */
TARVIK_API const char *tarvik_sha256_digest(tarvik_sha256_t *context, uint8_t *out);
/* Pushes the whole file; 0, or -1 when it cannot be opened or read or memory runs out. */
TARVIK_API int tarvik_sha256_push_file(tarvik_sha256_t *context, const char *path);
/* Initialises the context and pushes the read stream name; 0 at its end, -1 on open or read
 * failure or when it delivers nothing for more than 60 s in total. */
TARVIK_API int tarvik_simple_sha256(const char *name, tarvik_sha256_t *context);

TARVIK_END_DECLS

#endif
