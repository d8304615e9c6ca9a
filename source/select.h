/* The select multiplexer: growable select tables for hand-written loops and the
 * event base, and the single-descriptor wait behind every time-out of the library. */
#ifndef TARVIK_SELECT_H
#define TARVIK_SELECT_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

#define def_tarvik_select_read 0x1
#define def_tarvik_select_write 0x2
#define def_tarvik_select_except 0x4
/* Query only: whether any descriptor is registered in the table. */
#define def_tarvik_select_any 0x8

/* Sets use the kernel's layout: descriptor fd is bit (fd % 32) of 32-bit word (fd / 32).
 * The six sets live in one heap block owned by the table. */
typedef struct tarvik_select_s {
    uint32_t m_set_size;   /* bytes per set; a whole number of words, never below 8 */
    void *m_storage;       /* 6 x m_set_size bytes */
    uint32_t m_read_count; /* descriptors registered for read */
    uint32_t *m_read_set;  /* storage + 0 x m_set_size */
    uint32_t m_write_count;
    uint32_t *m_write_set; /* storage + 1 x m_set_size */
    uint32_t m_except_count;
    uint32_t *m_except_set;    /* storage + 2 x m_set_size */
    uint32_t *m_read_result;   /* last dispatch: storage + 3 x m_set_size */
    uint32_t *m_write_result;  /* storage + 4 x m_set_size */
    uint32_t *m_except_result; /* storage + 5 x m_set_size */
    int32_t m_highest;         /* highest registered descriptor, -1 when empty */
} tarvik_select_t;

/* New table sized for descriptor_hint; null when memory runs out. The caller closes it. */
TARVIK_API tarvik_select_t *tarvik_open_select_ex(int descriptor_hint);
/* tarvik_open_select_ex(0). */
TARVIK_API tarvik_select_t *tarvik_open_select(void);
/* Frees the table (null accepted); returns null. */
TARVIK_API tarvik_select_t *tarvik_close_select(tarvik_select_t *table);
/* Empties every set; -1 for a null or unallocated table. */
TARVIK_API int tarvik_clear_select(tarvik_select_t *table);
/* Adds descriptor to the sets named in flags; -1 for a null table, no memory or a descriptor
 * that is negative or at or above the descriptor limit (errno EBADF, the table not grown). */
TARVIK_API int tarvik_add_select(tarvik_select_t *table, int descriptor, int flags);
/* Makes the registration exactly flags (0 removes); -1 as for tarvik_add_select. */
TARVIK_API int tarvik_set_select(tarvik_select_t *table, int descriptor, int flags);
/* Registration as read/write/except bits; 0 for a null table or an unregistered descriptor. */
TARVIK_API int tarvik_get_select_flags(tarvik_select_t *table, int descriptor);
/* Last dispatch's result for descriptor within flags (plus 0x8 for the any query);
 * -1 for a null table or a descriptor above the highest. */
TARVIK_API int tarvik_is_select(tarvik_select_t *table, int descriptor, int flags);
/* Waits (negative timeout: no limit); select's result, -1 with errno on error (EBADF when a
 * registered descriptor is closed). */
TARVIK_API int tarvik_select_dispatch(tarvik_select_t *table, int timeout_ms);

/* Ready subset of flags for one descriptor, 0 on time-out, -1 on error (EBADF at once for a
 * descriptor that is not open); descriptor -1 sleeps. */
TARVIK_API int tarvik_single_select(int descriptor, int flags, int timeout_ms);
/* tarvik_single_select restricted to read/write/except bits. */
TARVIK_API int tarvik_poll_fd(int descriptor, int flags, int timeout_ms);
/* 1 when readable, 0 on time-out, -1 on error. */
TARVIK_API int tarvik_rx_poll_fd(int descriptor, int timeout_ms);
/* 1 when writable, 0 on time-out, -1 on error. */
TARVIK_API int tarvik_tx_poll_fd(int descriptor, int timeout_ms);

TARVIK_END_DECLS

#endif
