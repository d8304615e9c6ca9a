/* The byte-buffer queue: an unbounded FIFO of bytes in chained nodes, with push, peek,
 * pop, line splitting, formatted pushes, file loading and an optional handler thread. */
#ifndef TARVIK_BUFFER_H
#define TARVIK_BUFFER_H

#include "tarvik_abi.h"
#include "lock.h"
#include <sys/types.h>

TARVIK_BEGIN_DECLS

/* Push flags (also accepted as open flags, then applied to every push). */
#define TARVIK_BUFFER_WIPE 0x1u      /* zero the node's bytes before they are released */
#define TARVIK_BUFFER_REFERENCE 0x2u /* queue the caller's memory; it stays the caller's */
#define TARVIK_BUFFER_HAND_OVER 0x4u /* queue a tagged-heap block; the queue frees it */
#define TARVIK_BUFFER_EXACT 0x8u     /* a copying node holds exactly the pushed length */
/* Set in the flags word while a handler service runs (same bit as exact). */
#define TARVIK_BUFFER_HANDLER 0x8u
/* Line-scanner state and end of input, kept in the flags word. */
#define TARVIK_BUFFER_SCAN_DOUBLE_BYTE 0x1000u
#define TARVIK_BUFFER_SCAN_LINE_FEED 0x2000u
#define TARVIK_BUFFER_SCAN_CARRIAGE_RETURN 0x4000u
#define TARVIK_BUFFER_END 0x8000u
/* Set while the rest of an overlong line is being discarded up to its break. */
#define TARVIK_BUFFER_SCAN_OVERLONG 0x10000u

/* Minimum data capacity of a copying node. */
#define TARVIK_BUFFER_UNIT_SIZE 4096u

struct tarvik_service_s;

/* One chunk of the queue; a copying node's data area follows the header. */
typedef struct tarvik_buffer_node_s {
    struct tarvik_buffer_node_s *m_next;
    uint32_t m_flags;    /* push flags | the buffer's queue flags */
    uint32_t m_capacity; /* bytes the data area holds */
    uint32_t m_used;     /* bytes written */
    uint32_t m_consumed; /* bytes already popped */
    uint8_t *m_data;     /* own area, or the caller's memory (reference, hand-over) */
} tarvik_buffer_node_t;

/* Called on the handler thread for every push, in order, with the pushed piece (valid
 * during the call only), the consumed offset before it and the bytes still queued. */
typedef int (*tarvik_buffer_handler_t)(void *context, const void *data, size_t length,
                                       uint64_t offset, size_t remaining);

typedef struct tarvik_buffer_s {
    tarvik_buffer_node_t *m_first;
    tarvik_buffer_node_t *m_last;
    uint32_t m_flags;           /* open flags, handler bit, scanner state, end mark */
    uint32_t m_unit_size;       /* TARVIK_BUFFER_UNIT_SIZE */
    uint64_t m_consumed_offset; /* bytes ever popped */
    uint32_t m_size;            /* bytes queued */
    tarvik_lock_t m_lock;       /* taken only while a handler service exists */
    struct tarvik_service_s *m_service;
    void *m_handler_context;
    tarvik_buffer_handler_t m_handler;
    /* Where line splitting stopped: bytes of the pending line already scanned (the state at
     * that point is in m_flags), and the node and index of the next byte to scan. */
    uint32_t m_scanned;
    uint32_t m_scan_at;
    tarvik_buffer_node_t *m_scan_node;
} tarvik_buffer_t;

/* New empty buffer (flags: push flags applied to every push), or null; close it. */
TARVIK_API tarvik_buffer_t *tarvik_open_buffer_ex(uint32_t flags);
TARVIK_API tarvik_buffer_t *tarvik_open_buffer(void);
/* As above with a handler thread ("buffer handler") fed every push; null when it cannot start. */
TARVIK_API tarvik_buffer_t *tarvik_open_buffer_ex2(uint32_t flags, tarvik_buffer_handler_t handler,
                                                   void *context);
/* Stops the handler thread, releases every node and the handle; null accepted; returns null. */
TARVIK_API tarvik_buffer_t *tarvik_close_buffer(tarvik_buffer_t *buffer);

/* Bytes queued (short after an allocation failure). Null data queues zeros when copying and
 * nothing for a reference or hand-over push. A handed-over block belongs to the buffer from
 * this call on, even when nothing could be queued. */
TARVIK_API size_t tarvik_push_buffer_ex(tarvik_buffer_t *buffer, const void *data, size_t length,
                                        uint32_t flags);
TARVIK_API size_t tarvik_push_buffer(tarvik_buffer_t *buffer, const void *data, size_t length);
/* The string without its NUL; bytes queued (0 for a null string). */
TARVIK_API size_t tarvik_push_puts_ex(tarvik_buffer_t *buffer, const char *string, uint32_t flags);
TARVIK_API size_t tarvik_push_puts(tarvik_buffer_t *buffer, const char *string);
/* Formats with the library's formatter and queues a copy; bytes queued, 0 on failure. */
TARVIK_API size_t tarvik_push_vprintf(tarvik_buffer_t *buffer, const char *format,
                                      va_list arguments);
TARVIK_API size_t tarvik_push_printf(tarvik_buffer_t *buffer, const char *format, ...)
    TARVIK_PRINTF(2, 3);

/* Appends the file from offset, at most max_bytes (0: all); bytes queued, -1 for a null
 * buffer or when the file cannot be opened or positioned. */
TARVIK_API ssize_t tarvik_push_buffer_from_file(tarvik_buffer_t *buffer, const char *path,
                                                uint64_t offset, size_t max_bytes);
/* The file (from offset, at most max_bytes, 0: all) in a new block with a NUL after the
 * data, its length in length_out (may be null); null when it cannot be read. Caller frees. */
TARVIK_API void *tarvik_alloc_buffer_from_file(const char *path, uint64_t offset, size_t max_bytes,
                                               size_t *length_out);

/* Bytes copied from offset bytes behind the front, nothing consumed; with exact, 0 unless
 * offset + length bytes are queued. A null out only counts. */
TARVIK_API size_t tarvik_peek_buffer_ex(tarvik_buffer_t *buffer, void *out, size_t length,
                                        size_t offset, int exact);
TARVIK_API size_t tarvik_peek_buffer(tarvik_buffer_t *buffer, void *out, size_t length);
/* The byte at offset, or -1 when not queued. */
TARVIK_API int tarvik_peek_buffer_uint8(tarvik_buffer_t *buffer, size_t offset);

/* Bytes removed (copied to out unless null); with exact, 0 unless length bytes are queued. */
TARVIK_API size_t tarvik_pop_buffer_ex(tarvik_buffer_t *buffer, void *out, size_t length,
                                       int exact);
TARVIK_API size_t tarvik_pop_buffer(tarvik_buffer_t *buffer, void *out, size_t length);
/* The front byte, removed, or -1 when empty. */
TARVIK_API int tarvik_pop_buffer_uint8(tarvik_buffer_t *buffer);
/* New block of min(size, length) bytes popped from the front (a handed-over block itself when
 * it is exactly the front chunk); null for length 0, empty, exact unmet or no memory. */
TARVIK_API void *tarvik_alloc_pop_buffer_ex(tarvik_buffer_t *buffer, size_t length, int exact);
TARVIK_API void *tarvik_alloc_pop_buffer(tarvik_buffer_t *buffer, size_t length);
/* The rest of the front node as a new block, its length in length_out (may be null); null
 * and 0 when empty. Caller frees. */
TARVIK_API void *tarvik_get_buffer_node(tarvik_buffer_t *buffer, size_t *length_out);
/* Next line without its break (CR, LF, CR LF or LF CR) as a new string the caller frees;
 * null when no complete line is queued (after tarvik_end_buffer: the rest as last line). */
TARVIK_API char *tarvik_pop_buffer_line(tarvik_buffer_t *buffer);
/* As above with lines of at most max_length bytes (0: no bound). A longer line is reported as
 * soon as max_length + 1 of its bytes are queued: its first max_length bytes come back with
 * *overlong_out (may be null) set to 1, and the rest of it, up to and including its break, is
 * discarded as it arrives, never queued whole. *overlong_out is 0 for every other line. */
TARVIK_API char *tarvik_pop_buffer_line_ex(tarvik_buffer_t *buffer, size_t max_length,
                                           int *overlong_out);
/* Bytes discarded (everything queued). */
TARVIK_API size_t tarvik_flush_buffer(tarvik_buffer_t *buffer);
/* Marks the end of input for tarvik_pop_buffer_line; returns 0, for null too. */
TARVIK_API int tarvik_end_buffer(tarvik_buffer_t *buffer);

/* Bytes queued (0 for null). */
TARVIK_API size_t tarvik_get_buffer_size(tarvik_buffer_t *buffer);
/* Bytes ever popped (0 for null). */
TARVIK_API uint64_t tarvik_get_buffer_offset(tarvik_buffer_t *buffer);
/* Sets the count of bytes ever popped; 0, or -1 for null. */
TARVIK_API int tarvik_set_buffer_offset(tarvik_buffer_t *buffer, uint64_t offset);

TARVIK_END_DECLS

#endif
