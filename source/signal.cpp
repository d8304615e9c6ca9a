// Multiplexed signal handlers: the signal table (counters, handler lists, saved dispositions)
// under one short lock that the dispatcher only tries; nodes are freed once no dispatch runs.
#include "signal.h"

#include "heap.h"
#include "short_lock.h"
#include "time.h"
#include "detail/common.hpp"

#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <signal.h>

struct tarvik_signal_node_s {
    tarvik_signal_node_s *m_prev;
    tarvik_signal_node_s *m_next; // read by the dispatcher without the table lock
    int m_signal;
    uint32_t m_count;
    struct sigaction m_saved; // disposition to go back to
    tarvik_signal_handler_t m_handler;
    void *m_context;
};

namespace {

using tarvik_signal_node_t = tarvik_signal_node_s;

struct SignalSlot {
    uint32_t m_count;
    tarvik_signal_node_t *m_head;
    tarvik_signal_node_t *m_tail;
};

// Zero-filled storage is a valid empty table: no set-up run is needed.
tarvik_short_lock_t s_lock;
SignalSlot s_slots[TARVIK_SIGNAL_MAX];
int s_last_signal = -1;
// Dispatcher calls in progress in the whole process, and on this thread (a handler that
// deletes its own node must not wait for itself).
uint32_t s_dispatching;
thread_local uint32_t s_dispatching_here;

inline bool valid_signal(int signal) { return signal > 0 && signal < TARVIK_SIGNAL_MAX; }

inline tarvik_signal_node_t *load_link(tarvik_signal_node_t *const *link)
{
    return __atomic_load_n(link, __ATOMIC_ACQUIRE);
}

inline void store_link(tarvik_signal_node_t **link, tarvik_signal_node_t *value)
{
    __atomic_store_n(link, value, __ATOMIC_SEQ_CST);
}

// A fault the CPU raised for the running instruction (a bad access, a bad instruction, a
// division by zero) cannot wait for a loop: returning would run that instruction again and
// fault for ever. Sent by kill, raise or sigqueue, the same signals carry si_code <= 0.
bool is_cpu_fault(int signal, const siginfo_t *info)
{
    return info != nullptr && info->si_code > 0 &&
           (signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE || signal == SIGILL);
}

void tarvik_signal_dispatcher(int signal, siginfo_t *info, void *)
{
    const int saved_errno = errno;
    if (is_cpu_fault(signal, info)) {
        // The instruction faults once more on return and the default action ends the
        // process by the signal, so a supervisor sees it (with a core dump where enabled).
        struct sigaction fatal = {};
        fatal.sa_handler = SIG_DFL;
        sigemptyset(&fatal.sa_mask);
        sigaction(signal, &fatal, nullptr);
        errno = saved_errno;
        return;
    }
    __atomic_add_fetch(&s_dispatching, 1, __ATOMIC_SEQ_CST);
    ++s_dispatching_here;
    // Never wait here: the holder may be the very thread this signal interrupted.
    const bool locked = tarvik_try_short_lock(&s_lock) != 0;
    if (valid_signal(signal)) {
        SignalSlot *slot = &s_slots[signal];
        __atomic_add_fetch(&slot->m_count, 1, __ATOMIC_RELAXED);
        __atomic_store_n(&s_last_signal, signal, __ATOMIC_RELAXED);
        for (tarvik_signal_node_t *node = load_link(&slot->m_head); node != nullptr;
             node = load_link(&node->m_next)) {
            __atomic_add_fetch(&node->m_count, 1, __ATOMIC_RELAXED);
            node->m_handler(signal, node->m_context);
        }
    }
    if (locked) {
        tarvik_short_unlock(&s_lock);
    }
    --s_dispatching_here;
    __atomic_sub_fetch(&s_dispatching, 1, __ATOMIC_SEQ_CST);
    errno = saved_errno;
}

bool is_dispatcher(const struct sigaction &action)
{
    return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == tarvik_signal_dispatcher;
}

// Holds the table lock with every signal blocked on this thread, so that no dispatch on this
// thread ever sees a list half changed.
class TableGuard {
  public:
    TableGuard()
    {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &m_mask);
        tarvik_short_lock(&s_lock);
    }
    ~TableGuard()
    {
        tarvik_short_unlock(&s_lock);
        pthread_sigmask(SIG_SETMASK, &m_mask, nullptr);
    }
    TableGuard(const TableGuard &) = delete;
    TableGuard &operator=(const TableGuard &) = delete;

  private:
    sigset_t m_mask;
};

// Dispatchers on other threads may still hold an unlinked node: wait until they are gone.
void free_unlinked_node(tarvik_signal_node_t *node)
{
    while (__atomic_load_n(&s_dispatching, __ATOMIC_SEQ_CST) > s_dispatching_here) {
        tarvik_load_balance_short();
    }
    tarvik_free_tag(node, TARVIK_TAG);
}

void unlink_node_nolock(SignalSlot *slot, tarvik_signal_node_t *node)
{
    // The removed node keeps its m_next, so a dispatcher standing on it walks on safely.
    if (node->m_prev != nullptr) {
        store_link(&node->m_prev->m_next, node->m_next);
    } else {
        store_link(&slot->m_head, node->m_next);
    }
    if (node->m_next != nullptr) {
        node->m_next->m_prev = node->m_prev;
    } else {
        slot->m_tail = node->m_prev;
    }
}

void append_node_nolock(SignalSlot *slot, tarvik_signal_node_t *node)
{
    node->m_prev = slot->m_tail;
    node->m_next = nullptr;
    if (slot->m_tail != nullptr) {
        store_link(&slot->m_tail->m_next, node);
    } else {
        store_link(&slot->m_head, node);
    }
    slot->m_tail = node;
}

void clear_marks_nolock(int signal)
{
    __atomic_store_n(&s_slots[signal].m_count, 0u, __ATOMIC_RELAXED);
    int expected = signal;
    __atomic_compare_exchange_n(&s_last_signal, &expected, -1, false, __ATOMIC_RELAXED,
                                __ATOMIC_RELAXED);
}

// Unlinks every node of signal, newest first, re-installing each saved disposition so that
// the oldest node's (the one before any node) is the last in force. Returns the list.
tarvik_signal_node_t *restore_nolock(int signal)
{
    SignalSlot *slot = &s_slots[signal];
    tarvik_signal_node_t *head = slot->m_head;
    for (tarvik_signal_node_t *node = slot->m_tail; node != nullptr; node = node->m_prev) {
        sigaction(signal, &node->m_saved, nullptr);
    }
    store_link(&slot->m_head, nullptr);
    slot->m_tail = nullptr;
    if (head != nullptr) {
        clear_marks_nolock(signal);
    }
    return head;
}

void free_node_list(tarvik_signal_node_t *node)
{
    while (node != nullptr) {
        tarvik_signal_node_t *next = node->m_next;
        free_unlinked_node(node);
        node = next;
    }
}

} // namespace

extern "C" {

TARVIK_API tarvik_signal_node_t *tarvik_add_signal(int signal, tarvik_signal_handler_t handler,
                                                   void *context)
{
    if (!valid_signal(signal) || handler == nullptr) {
        return nullptr;
    }
    auto *node = static_cast<tarvik_signal_node_t *>(
        tarvik_alloc_tag(sizeof(tarvik_signal_node_t), TARVIK_TAG));
    if (node == nullptr) {
        return nullptr;
    }
    memset(node, 0, sizeof(*node));
    node->m_signal = signal;
    node->m_handler = handler;
    node->m_context = context;

    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_sigaction = tarvik_signal_dispatcher;
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    sigfillset(&action.sa_mask);
    {
        TableGuard guard;
        SignalSlot *slot = &s_slots[signal];
        if (sigaction(signal, &action, &node->m_saved) != 0) {
            tarvik_free_tag(node, TARVIK_TAG);
            return nullptr;
        }
        // Our own dispatcher is no disposition to go back to: the chain keeps the one that
        // was in force before the first node.
        if (is_dispatcher(node->m_saved) && slot->m_tail != nullptr) {
            node->m_saved = slot->m_tail->m_saved;
        }
        append_node_nolock(slot, node);
    }
    return node;
}

TARVIK_API int tarvik_del_signal(tarvik_signal_node_t *node)
{
    if (node == nullptr) {
        return 0;
    }
    {
        TableGuard guard;
        const int signal = node->m_signal;
        SignalSlot *slot = &s_slots[signal];
        if (slot->m_tail == node) {
            if (node->m_prev != nullptr) {
                node->m_prev->m_saved = node->m_saved;
            } else {
                sigaction(signal, &node->m_saved, nullptr);
                clear_marks_nolock(signal);
            }
        }
        unlink_node_nolock(slot, node);
    }
    free_unlinked_node(node);
    return 0;
}

TARVIK_API unsigned long tarvik_get_signal_node_count(tarvik_signal_node_t *node)
{
    return node != nullptr ? __atomic_load_n(&node->m_count, __ATOMIC_RELAXED) : 0;
}

TARVIK_API unsigned long tarvik_reset_signal_node_count(tarvik_signal_node_t *node)
{
    return node != nullptr ? __atomic_exchange_n(&node->m_count, 0u, __ATOMIC_RELAXED) : 0;
}

TARVIK_API unsigned long tarvik_get_signal_count(int signal)
{
    return valid_signal(signal) ? __atomic_load_n(&s_slots[signal].m_count, __ATOMIC_RELAXED) : 0;
}

TARVIK_API unsigned long tarvik_reset_signal_count(int signal)
{
    return valid_signal(signal)
               ? __atomic_exchange_n(&s_slots[signal].m_count, 0u, __ATOMIC_RELAXED)
               : 0;
}

TARVIK_API unsigned long tarvik_reset_all_signal_count(void)
{
    unsigned long sum = 0;
    for (SignalSlot &slot : s_slots) {
        sum += __atomic_exchange_n(&slot.m_count, 0u, __ATOMIC_RELAXED);
    }
    return sum;
}

TARVIK_API int tarvik_get_last_signal(void)
{
    return __atomic_load_n(&s_last_signal, __ATOMIC_RELAXED);
}

TARVIK_API int tarvik_restore_signal(int signal)
{
    if (!valid_signal(signal)) {
        return -1;
    }
    tarvik_signal_node_t *list = nullptr;
    {
        TableGuard guard;
        list = restore_nolock(signal);
    }
    free_node_list(list);
    return 0;
}

TARVIK_API int tarvik_restore_all_signal(void)
{
    for (int signal = 1; signal < TARVIK_SIGNAL_MAX; ++signal) {
        tarvik_signal_node_t *list = nullptr;
        {
            TableGuard guard;
            list = restore_nolock(signal);
        }
        free_node_list(list);
    }
    return 0;
}

} // extern "C"
