// C++-only helpers shared by the library's modules: tagging shorthands and small
// scope guards. Never installed, never crosses the C ABI.
#pragma once

#include "../console.h"
#include "../heap.h"
#include "../short_lock.h"
#include "list.hpp"
#include "text.hpp"

// Tag of the calling function and its line, for the tagged heap and lock traces.
#define TARVIK_TAG __func__, static_cast<unsigned long>(__LINE__)

// Checks a condition that should always hold: when it does not, the assertion report names
// the condition, file, function and line, and the caller goes on (with false to act on).
#define TARVIK_CHECK(condition)                                                                    \
    (static_cast<bool>(condition) ||                                                               \
     tarvik::detail::check_failed(__FILE__, __func__, __LINE__, #condition))

namespace tarvik::detail {

inline bool check_failed(const char *file, const char *function, unsigned long line,
                         const char *condition)
{
    tarvik_assert_fail_tag(file, function, line, condition);
    return false;
}

// A tagged heap copy of the length bytes at text, NUL-terminated; null without memory.
inline char *copy_range_tag(const char *text, size_t length, const char *tag, unsigned long line)
{
    char *copy = static_cast<char *>(tarvik_alloc_tag(length + 1, tag, line));
    if (copy != nullptr) {
        memcpy(copy, text, length);
        copy[length] = '\0';
    }
    return copy;
}

// Frees every node of a chain from the tagged heap, reporting as tag and line.
template <typename Node, Node *Node::*Next = &Node::m_next>
void free_chain_tag(Node *node, const char *tag, unsigned long line)
{
    release_all<Node, Next>(node, [=](Node *each) { tarvik_free_tag(each, tag, line); });
}

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

} // namespace tarvik::detail
