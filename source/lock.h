/* The traced lock (fair, queue-ordered, time-outs, optional recursion, dead-lock
 * reports), lock conditions and the reference (readers/writer) spin lock. */
#ifndef TARVIK_LOCK_H
#define TARVIK_LOCK_H

#include "tarvik_abi.h"
#include "short_lock.h"

TARVIK_BEGIN_DECLS

/* Lock flags. */
#define TARVIK_LOCK_FLAG_DEFAULT 0x80u
#define TARVIK_LOCK_FLAG_DEBUG_LOW 0x10u
#define TARVIK_LOCK_FLAG_DEBUG_MIDDLE 0x20u
#define TARVIK_LOCK_FLAG_DEBUG_HIGH 0x40u
/* A thread that holds the lock may lock it again (as many unlocks are needed). */
#define TARVIK_LOCK_FLAG_RECURSIVE 0x100u
/* Set by tarvik_new_lock_tag: tarvik_free_lock_tag frees the record. */
#define TARVIK_LOCK_FLAG_ALLOCATED 0x8000u
/* Error reports need one of these bits, warnings one of the second set. */
#define TARVIK_LOCK_FLAG_ERRORS 0x70u
#define TARVIK_LOCK_FLAG_WARNINGS 0x30u

/* Report period -1: 30 minutes before the first dead-lock report. */
#define TARVIK_LOCK_DEFAULT_REPORT_PERIOD 1800000

/* One lock attempt: lives while the call waits or while its thread holds the lock. */
typedef struct tarvik_lock_claim_s {
    struct tarvik_lock_claim_s *m_prev;
    struct tarvik_lock_claim_s *m_next;
    uint64_t m_thread_id; /* 0 unless the lock is recursive */
    int m_pipe_read;      /* -1 without pipe */
    int m_pipe_write;
    const char *m_tag; /* caller */
    unsigned long m_line;
} tarvik_lock_claim_t;

typedef struct tarvik_lock_s {
    uint32_t m_flags;
    int32_t m_report_period;          /* milliseconds, -1 for the default */
    tarvik_short_lock_t m_short_lock; /* guards the fields below */
    tarvik_lock_claim_t *m_owner;     /* holder's claims, newest first */
    tarvik_lock_claim_t *m_wait_head; /* waiters in arrival order */
    tarvik_lock_claim_t *m_wait_tail;
    const char *m_tag; /* initializer */
    unsigned long m_line;
} tarvik_lock_t;

/* Static initialiser for a process-wide lock (no initializer location). */
#define TARVIK_LOCK_INITIALIZER                                                                    \
    {                                                                                              \
        TARVIK_LOCK_FLAG_DEFAULT, -1, 0, 0, 0, 0, 0, 0                                             \
    }

/* Waiter record of a condition; lives on the waiting thread's stack. */
typedef struct tarvik_lock_condition_waiter_s {
    struct tarvik_lock_condition_waiter_s *m_prev;
    struct tarvik_lock_condition_waiter_s *m_next;
    int m_signalled;
    int m_pipe_read;
    int m_pipe_write;
} tarvik_lock_condition_waiter_t;

typedef struct tarvik_lock_condition_s {
    tarvik_short_lock_t m_short_lock;
    tarvik_lock_condition_waiter_t *m_wait_head;
    tarvik_lock_condition_waiter_t *m_wait_tail;
    const char *m_tag; /* initializer */
    unsigned long m_line;
} tarvik_lock_condition_t;

#define TARVIK_LOCK_CONDITION_INITIALIZER                                                          \
    {                                                                                              \
        0, 0, 0, 0, 0                                                                              \
    }

/* Reference spin lock modes: any number of shared holders, or one exclusive holder. */
#define TARVIK_SPIN_LOCK_SHARED 1
#define TARVIK_SPIN_LOCK_EXCLUSIVE 3

typedef struct tarvik_spin_lock_s {
    tarvik_short_lock_t m_lock; /* guards the fields below */
    const char *m_tag;          /* first holder */
    unsigned long m_line;
    uint32_t m_exclusive;
    uint32_t m_count; /* holders */
} tarvik_spin_lock_t;

#define TARVIK_SPIN_LOCK_INITIALIZER                                                               \
    {                                                                                              \
        0, 0, 0, 0, 0                                                                              \
    }

/* ---- lock ---- */

/* Returns lock (null for a null lock). */
TARVIK_API tarvik_lock_t *tarvik_init_lock_tag(tarvik_lock_t *lock, const char *tag,
                                               unsigned long line);
/* New initialised lock from the tagged heap, or null; release with tarvik_free_lock_tag. */
TARVIK_API tarvik_lock_t *tarvik_new_lock_tag(const char *tag, unsigned long line);
/* Waits until nobody holds or waits for the lock; returns 0 (-1 for a null lock). */
TARVIK_API int tarvik_uninit_lock_tag(tarvik_lock_t *lock, const char *tag, unsigned long line);
/* Uninitialises, then frees a lock made by tarvik_new_lock_tag; null accepted; returns 0. */
TARVIK_API int tarvik_free_lock_tag(tarvik_lock_t *lock, const char *tag, unsigned long line);
/* 0 when acquired, -1 when not; timeout_ms -1 waits for ever, 0 tries. */
TARVIK_API int tarvik_lock_timeout_tag(tarvik_lock_t *lock, int timeout_ms, const char *tag,
                                       unsigned long line);
/* tarvik_lock_timeout_tag with -1: 0 when acquired, -1 when not. */
TARVIK_API int tarvik_lock_tag(tarvik_lock_t *lock, const char *tag, unsigned long line);
/* 1 when acquired, 0 when not (about 10 ms on a busy lock). */
TARVIK_API int tarvik_try_lock_tag(tarvik_lock_t *lock, const char *tag, unsigned long line);
/* 0, or -1 when the lock has no owner. */
TARVIK_API int tarvik_unlock_tag(tarvik_lock_t *lock, const char *tag, unsigned long line);

/* ---- lock condition ---- */

/* Returns condition (null for a null condition). */
TARVIK_API tarvik_lock_condition_t *
tarvik_init_lock_condition_tag(tarvik_lock_condition_t *condition, const char *tag,
                               unsigned long line);
/* New initialised condition from the tagged heap, or null; release with the free companion. */
TARVIK_API tarvik_lock_condition_t *tarvik_new_lock_condition_tag(const char *tag,
                                                                  unsigned long line);
/* Waits until no thread waits on the condition; returns 0 (-1 for a null condition). */
TARVIK_API int tarvik_uninit_lock_condition_tag(tarvik_lock_condition_t *condition, const char *tag,
                                                unsigned long line);
/* Uninitialises and frees a condition of tarvik_new_lock_condition_tag; null accepted; returns 0.
 */
TARVIK_API int tarvik_free_lock_condition_tag(tarvik_lock_condition_t *condition, const char *tag,
                                              unsigned long line);
/* Releases lock (may be null) while waiting, takes it back; 0, or -1 for a null condition or
 * when the lock cannot be taken back. A wake-up and a time-out look the same. */
TARVIK_API int tarvik_lock_condition_wait_timeout_tag(tarvik_lock_condition_t *condition,
                                                      tarvik_lock_t *lock, int timeout_ms,
                                                      const char *tag, unsigned long line);
/* tarvik_lock_condition_wait_timeout_tag with -1. */
TARVIK_API int tarvik_lock_condition_wait_tag(tarvik_lock_condition_t *condition,
                                              tarvik_lock_t *lock, const char *tag,
                                              unsigned long line);
/* Wakes the oldest waiter not yet woken; 0 when woken (or every waiter already was), -1 when
 * nobody waits or the wake-up cannot be written. Nothing is remembered for later waiters. */
TARVIK_API int tarvik_lock_condition_wakeup_tag(tarvik_lock_condition_t *condition, const char *tag,
                                                unsigned long line);
/* Wakes every waiter; 0 when at least one wake-up succeeded, else -1. */
TARVIK_API int tarvik_lock_condition_wakeup_all_tag(tarvik_lock_condition_t *condition,
                                                    const char *tag, unsigned long line);

/* ---- reference spin lock ---- */

/* Returns lock (null for a null lock). */
TARVIK_API tarvik_spin_lock_t *tarvik_init_spin_lock(tarvik_spin_lock_t *lock);
/* New zeroed spin lock from the tagged heap, or null; release with tarvik_free_spin_lock. */
TARVIK_API tarvik_spin_lock_t *tarvik_new_spin_lock(void);
/* Returns 0. */
TARVIK_API int tarvik_uninit_spin_lock(tarvik_spin_lock_t *lock);
/* Frees a lock of tarvik_new_spin_lock; null accepted; returns 0. */
TARVIK_API int tarvik_free_spin_lock(tarvik_spin_lock_t *lock);
/* mode TARVIK_SPIN_LOCK_SHARED or _EXCLUSIVE; 1 when acquired, 0 when not. */
TARVIK_API int tarvik_reference_try_spin_lock_tag(tarvik_spin_lock_t *lock, int mode,
                                                  const char *tag, unsigned long line);
/* Waits for ever; returns 1 (0 for a null lock). */
TARVIK_API int tarvik_reference_spin_lock_tag(tarvik_spin_lock_t *lock, int mode, const char *tag,
                                              unsigned long line);
/* 1 when acquired, 0 on time-out (negative timeout waits for ever). */
TARVIK_API int tarvik_reference_spin_lock_timeout_tag(tarvik_spin_lock_t *lock, int mode,
                                                      int timeout_ms, const char *tag,
                                                      unsigned long line);
/* Drops one holder; 0, or -1 (after a warning) when nobody held the lock. */
TARVIK_API int tarvik_reference_spin_unlock_tag(tarvik_spin_lock_t *lock, const char *tag,
                                                unsigned long line);
/* Exclusive-mode forms of the above. */
TARVIK_API int tarvik_spin_lock_tag(tarvik_spin_lock_t *lock, const char *tag, unsigned long line);
TARVIK_API int tarvik_try_spin_lock_tag(tarvik_spin_lock_t *lock, const char *tag,
                                        unsigned long line);
TARVIK_API int tarvik_spin_lock_timeout_tag(tarvik_spin_lock_t *lock, int timeout_ms,
                                            const char *tag, unsigned long line);
TARVIK_API int tarvik_spin_unlock_tag(tarvik_spin_lock_t *lock, const char *tag,
                                      unsigned long line);

TARVIK_END_DECLS

#endif
