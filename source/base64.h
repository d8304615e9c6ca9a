/* Streaming Base64 encoder and decoder over byte-buffer queues, with limits, line wrapping,
 * the URL-safe alphabet and garbage skipping, and the one-shot forms. */
#ifndef TARVIK_BASE64_H
#define TARVIK_BASE64_H

#include "tarvik_abi.h"
#include "buffer.h"

TARVIK_BEGIN_DECLS

typedef struct tarvik_base64_s {
    size_t m_max_input;        /* most bytes held back in the input queue, 0: no limit */
    size_t m_max_output;       /* most bytes waiting in the output queue, 0: no limit */
    uint32_t m_wrap;           /* line width in characters, 0: no line breaks */
    int m_wrap_extension;      /* each break is a backslash and a newline */
    int m_ignore_garbage;      /* decoding skips bytes outside the alphabet instead of ending */
    int m_url_safe;            /* encoding uses "-" and "_" in place of "+" and "/" */
    uint32_t m_column;         /* characters on the current output line */
    int m_final;               /* the end of input was pushed (or decoding ended) */
    tarvik_buffer_t *m_input;  /* input held back: an incomplete group */
    tarvik_buffer_t *m_output; /* output not yet taken */
} tarvik_base64_t;

/* New handle (no limits, no wrapping) with its two queues, or null; close it. */
TARVIK_API tarvik_base64_t *tarvik_open_base64(void);
/* Frees both queues and the handle (null accepted); returns 0. */
TARVIK_API int tarvik_close_base64(tarvik_base64_t *handle);
/* Encodes size bytes (size 0 ends the input: padding and, when wrapping, a last break); 0, or
 * -1 for a null handle, a push after the end, no memory, or when a limit would be passed
 * (nothing is consumed then). */
TARVIK_API int tarvik_push_encode_base64(tarvik_base64_t *handle, const void *data, size_t size);
/* Decodes size characters (size 0 ends the input); 0 (also once decoding has ended, the
 * characters then being ignored), or -1 as for encoding. */
TARVIK_API int tarvik_push_decode_base64(tarvik_base64_t *handle, const void *data, size_t size);
/* Everything produced so far as a NUL-terminated string the caller frees, its length in
 * size_out (may be null); null (the output stays queued) when memory runs out. */
TARVIK_API char *tarvik_get_base64(tarvik_base64_t *handle, size_t *size_out);
/* One-shot forms (no wrapping): a NUL-terminated string the caller frees, or null. */
TARVIK_API char *tarvik_encode_base64(const void *data, size_t size, size_t *size_out);
TARVIK_API char *tarvik_decode_base64(const void *data, size_t size, size_t *size_out);

TARVIK_END_DECLS

#endif
