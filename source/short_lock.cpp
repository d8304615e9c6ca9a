// Atomic word primitives and the short lock. The short lock is the only primitive of
// the library that spins; it guards a few instructions of bookkeeping at a time.
#include "short_lock.h"

#include "console.h"
#include "time.h"

extern "C" {

TARVIK_API uint32_t tarvik_atomic_exchange(volatile uint32_t *word, uint32_t value)
{
    // A sequentially consistent exchange is itself a full barrier.
    return __atomic_exchange_n(word, value, __ATOMIC_SEQ_CST);
}

TARVIK_API void tarvik_atomic_release(volatile uint32_t *word)
{
    // A release store orders every access of the critical section before it (on MIPS it
    // is a full "sync" ahead of the store) without a second locked instruction.
    __atomic_store_n(word, 0u, __ATOMIC_RELEASE);
}

TARVIK_API tarvik_short_lock_t *tarvik_init_short_lock(tarvik_short_lock_t *lock)
{
    if (lock == nullptr) {
        tarvik_assert_fail_tag("source/short_lock", __func__, __LINE__,
                               "s_short_lock != ((tarvik_short_lock_t *)0)");
        return nullptr;
    }
    __atomic_store_n(lock, 0u, __ATOMIC_SEQ_CST);
    return lock;
}

TARVIK_API int tarvik_uninit_short_lock(tarvik_short_lock_t *lock)
{
    (void)lock;
    return 0;
}

TARVIK_API void tarvik_short_lock(tarvik_short_lock_t *lock)
{
    // A short lock is held for a handful of instructions, so a few immediate retries
    // almost always win; after that the holder may have been preempted: sleep.
    for (int spin = 0; tarvik_atomic_exchange(lock, 1u) != 0u; ++spin) {
        if (spin < 64) {
            continue;
        }
        tarvik_load_balance_short();
    }
}

TARVIK_API int tarvik_try_short_lock(tarvik_short_lock_t *lock)
{
    return tarvik_atomic_exchange(lock, 1u) == 0u ? 1 : 0;
}

TARVIK_API void tarvik_short_unlock(tarvik_short_lock_t *lock) { tarvik_atomic_release(lock); }

} // extern "C"
