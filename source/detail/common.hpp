// C++-only helpers shared by the library's modules: tagging shorthands and small
// scope guards. Never installed, never crosses the C ABI.
#pragma once

#include "../heap.h"
#include "../short_lock.h"

// Tag of the calling function and its line, for the tagged heap and lock traces.
#define TARVIK_TAG __func__, static_cast<unsigned long>(__LINE__)

namespace tarvik::detail {

// Holds a short lock for the rest of the scope.
class ShortLockGuard {
  public:
    explicit ShortLockGuard(tarvik_short_lock_t *lock) : m_lock(lock) { tarvik_short_lock(m_lock); }
    ~ShortLockGuard() { tarvik_short_unlock(m_lock); }
    ShortLockGuard(const ShortLockGuard &) = delete;
    ShortLockGuard &operator=(const ShortLockGuard &) = delete;

  private:
    tarvik_short_lock_t *m_lock;
};

// Runs a callable when the scope ends (early returns included).
template <typename F> class ScopeExit {
  public:
    explicit ScopeExit(F f) : m_f(f) {}
    ~ScopeExit() { m_f(); }
    ScopeExit(const ScopeExit &) = delete;
    ScopeExit &operator=(const ScopeExit &) = delete;

  private:
    F m_f;
};

// Value of a hexadecimal digit in either case, or -1 for any other character.
inline int hex_digit_value(int c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace tarvik::detail
