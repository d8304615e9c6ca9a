/* Atomic word primitives and the short lock: a one-word spin lock for a few
 * instructions of bookkeeping (heap statistics, process-wide tables). */
#ifndef TARVIK_SHORT_LOCK_H
#define TARVIK_SHORT_LOCK_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* 0 free, 1 held. */
typedef uint32_t tarvik_short_lock_t;

/* Atomic swap followed by a full barrier; returns the old value. */
TARVIK_API uint32_t tarvik_atomic_exchange(volatile uint32_t *word, uint32_t value);
/* Full barrier, then the word becomes 0. */
TARVIK_API void tarvik_atomic_release(volatile uint32_t *word);

/* Returns lock (null after an assertion report for a null lock). */
TARVIK_API tarvik_short_lock_t *tarvik_init_short_lock(tarvik_short_lock_t *lock);
/* Returns 0. */
TARVIK_API int tarvik_uninit_short_lock(tarvik_short_lock_t *lock);
/* Spins with about 1 ms sleeps until the lock is taken. */
TARVIK_API void tarvik_short_lock(tarvik_short_lock_t *lock);
/* Returns 1 when acquired, else 0. */
TARVIK_API int tarvik_try_short_lock(tarvik_short_lock_t *lock);
TARVIK_API void tarvik_short_unlock(tarvik_short_lock_t *lock);

TARVIK_END_DECLS

#endif
