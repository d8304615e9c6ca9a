/* Streaming quoted-printable encoder and decoder over byte-buffer queues, with limits, and the
 * one-shot forms. The encoder escapes every byte outside "!" to "~" (and "=" itself) and
 * writes no soft line breaks. */
#ifndef TARVIK_QUOTED_PRINTABLE_H
#define TARVIK_QUOTED_PRINTABLE_H

#include "tarvik_abi.h"
#include "buffer.h"

TARVIK_BEGIN_DECLS

typedef struct tarvik_quoted_printable_s {
    size_t m_max_input;        /* most bytes held in the input queue, 0: no limit */
    size_t m_max_output;       /* most bytes waiting in the output queue, 0: no limit */
    int m_final;               /* the end of input was pushed */
    tarvik_buffer_t *m_input;  /* input not yet converted */
    tarvik_buffer_t *m_output; /* output not yet taken */
} tarvik_quoted_printable_t;

/* New handle (no limits) with its two queues, or null; close it. */
TARVIK_API tarvik_quoted_printable_t *tarvik_open_quoted_printable(void);
/* Frees both queues and the handle (null accepted); returns 0. */
TARVIK_API int tarvik_close_quoted_printable(tarvik_quoted_printable_t *handle);
/* Queues size bytes; size 0 ends the input and encodes everything queued. 0, or -1 for a null
 * handle, a push after the end, no memory, or when a limit would be passed (nothing is
 * consumed then). */
TARVIK_API int tarvik_push_encode_quoted_printable(tarvik_quoted_printable_t *handle,
                                                   const void *data, size_t size);
/* Decodes size characters ("=" and two upper-case hex digits), size 0 ends the input; 0, or
 * -1 as for encoding. */
TARVIK_API int tarvik_push_decode_quoted_printable(tarvik_quoted_printable_t *handle,
                                                   const void *data, size_t size);
/* Everything produced so far as a NUL-terminated string the caller frees, its length in
 * size_out (may be null); null (the output stays queued) when memory runs out. */
TARVIK_API char *tarvik_get_quoted_printable(tarvik_quoted_printable_t *handle, size_t *size_out);
/* One-shot forms: a NUL-terminated string the caller frees, or null. */
TARVIK_API char *tarvik_encode_quoted_printable(const void *data, size_t size, size_t *size_out);
TARVIK_API char *tarvik_decode_quoted_printable(const void *data, size_t size, size_t *size_out);

TARVIK_END_DECLS

#endif
