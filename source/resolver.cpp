// Address lists and the resolver cache. Each cache entry is resolved by its own service
// thread, which touches the entry only under the cache lock; an entry whose thread has not
// finished its last bookkeeping is never freed and its service never waited for under the lock.
#include "resolver.h"

#include "console.h"
#include "heap.h"
#include "inet.h"
#include "lock.h"
#include "service.h"
#include "short_lock.h"
#include "time.h"
#include "detail/common.hpp"

#include <cstring>
#include <cstdio>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>

#if defined(__mips__)
static_assert(sizeof(tarvik_resolver_t) == 24, "fixed fields of an address block");
#endif

namespace {

struct HandlerRecord {
    HandlerRecord *m_next;
    tarvik_resolver_cache_handler_t m_handler;
    void *m_context;
};

} // namespace

struct tarvik_resolver_cache_entry_s;
using CacheEntry = tarvik_resolver_cache_entry_s;

struct tarvik_resolver_cache_s {
    tarvik_lock_t m_lock;
    int32_t m_lifetime; // milliseconds; <= 0 keeps entries
    CacheEntry *m_head; // newest first
    int32_t m_closing;  // set by close: no new resolutions, no list changes
};

struct tarvik_resolver_cache_entry_s {
    CacheEntry *m_prev;
    CacheEntry *m_next;
    tarvik_resolver_cache_t *m_cache;
    uint64_t m_last_use;
    char *m_name; // null allowed
    uint32_t m_port;
    tarvik_resolver_t *m_list; // null until resolved
    HandlerRecord *m_handler_head;
    HandlerRecord *m_handler_tail;
    int32_t m_state; // -1 resolving, 1 resolved, 0 last attempt failed
    tarvik_service_t *m_service;
    // The service thread still needs the entry (resolving, or calling handlers).
    int32_t m_running;
    // A request arrived while the thread was calling handlers: it resolves once more.
    int32_t m_again;
    // Completed resolutions, so that a waiting get can tell a failure it waited for.
    uint32_t m_completed;
};

namespace {

constexpr int STATE_RESOLVING = -1;
constexpr int STATE_FAILED = 0;
constexpr int STATE_RESOLVED = 1;
constexpr uint64_t RELOAD_INTERVAL = 4000;
constexpr size_t TEXT_SIZE = 128;

tarvik_lock_t g_tarvik_resolver_cache_lock = TARVIK_LOCK_INITIALIZER;
tarvik_resolver_cache_t *g_tarvik_resolver_cache = nullptr;
size_t g_tarvik_resolver_cache_use_count = 0;

tarvik_short_lock_t s_reload_lock = 0;
uint64_t s_last_reload = 0;

uint64_t now_msec() { return tarvik_time_stamp_msec(nullptr); }

// ---- address lists ----

// One block: the fixed fields, then the socket address, then the text.
tarvik_resolver_t *new_resolver_block(const struct sockaddr *address, uint32_t length)
{
    char text[TEXT_SIZE];
    uint32_t port = 0;
    if (tarvik_inet_stopp(address, text, sizeof(text), &port) == nullptr) {
        text[0] = '\0';
    }
    size_t text_length = strlen(text);
    size_t size = sizeof(tarvik_resolver_t) + length + text_length + 1;
    auto *block = static_cast<tarvik_resolver_t *>(tarvik_alloc_tag(size, TARVIK_TAG));
    if (block == nullptr) {
        return nullptr;
    }
    char *tail = reinterpret_cast<char *>(block + 1);
    block->next = nullptr;
    block->family = address->sa_family;
    block->address_length = length;
    block->address = reinterpret_cast<struct sockaddr *>(tail);
    memcpy(tail, address, length);
    block->address_string = tail + length;
    memcpy(block->address_string, text, text_length + 1);
    block->port = port;
    return block;
}

void free_resolver_list(tarvik_resolver_t *list)
{
    tarvik::detail::free_chain_tag<tarvik_resolver_t, &tarvik_resolver_t::next>(list, TARVIK_TAG);
}

tarvik_resolver_t *list_from_answers(const struct addrinfo *answers)
{
    tarvik_resolver_t *head = nullptr;
    tarvik_resolver_t **link = &head;
    for (const struct addrinfo *answer = answers; answer != nullptr; answer = answer->ai_next) {
        if (answer->ai_addr == nullptr ||
            (answer->ai_family != AF_INET && answer->ai_family != AF_INET6)) {
            continue;
        }
        tarvik_resolver_t *block =
            new_resolver_block(answer->ai_addr, static_cast<uint32_t>(answer->ai_addrlen));
        if (block != nullptr) {
            *link = block;
            link = &block->next;
        }
    }
    return head;
}

bool is_literal_address(const char *name)
{
    return tarvik_inet_pton(AF_INET, name, nullptr) == 0 ||
           tarvik_inet_pton(AF_INET6, name, nullptr) == 0;
}

// Resolves (name, port) at once in the calling thread.
tarvik_resolver_t *open_resolver_internal(const char *name, uint32_t port)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    char service[16];
    const char *service_text = nullptr;
    // One socket type keeps the system to one answer per address.
    if (port < TARVIK_RESOLVER_NO_PORT) {
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_protocol = IPPROTO_UDP;
        snprintf(service, sizeof(service), "%u", static_cast<unsigned>(port));
        service_text = service;
    } else {
        hints.ai_socktype = SOCK_RAW;
    }
    const char *node = name;
    if (name != nullptr && name[0] == '\0') {
        node = nullptr;
        hints.ai_flags |= AI_PASSIVE;
    } else if (name != nullptr && is_literal_address(name)) {
        hints.ai_flags |= AI_NUMERICHOST;
    }
    struct addrinfo *answers = nullptr;
    int result = getaddrinfo(node, service_text, &hints, &answers);
    if (result != 0 && tarvik_reload_resolver() == 0) {
        answers = nullptr;
        result = getaddrinfo(node, service_text, &hints, &answers);
    }
    if (result != 0) {
        return nullptr;
    }
    tarvik_resolver_t *list = list_from_answers(answers);
    freeaddrinfo(answers);
    return list;
}

// ---- cache entries (callers hold the cache lock unless stated) ----

void free_handler_records(HandlerRecord *record)
{
    tarvik::detail::free_chain_tag(record, TARVIK_TAG);
}

bool same_name(const char *a, const char *b)
{
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    return strcmp(a, b) == 0;
}

CacheEntry *new_entry(tarvik_resolver_cache_t *cache, const char *name, uint32_t port)
{
    auto *entry = static_cast<CacheEntry *>(tarvik_alloc_tag(sizeof(CacheEntry), TARVIK_TAG));
    if (entry == nullptr) {
        return nullptr;
    }
    memset(entry, 0, sizeof(*entry));
    if (name != nullptr) {
        entry->m_name = tarvik_strdup_tag(name, TARVIK_TAG);
        if (entry->m_name == nullptr) {
            tarvik_free_tag(entry, TARVIK_TAG);
            return nullptr;
        }
    }
    entry->m_cache = cache;
    entry->m_last_use = now_msec();
    entry->m_port = port;
    entry->m_state = STATE_RESOLVING;
    return entry;
}

tarvik::detail::DoublyLinked<CacheEntry> entries(tarvik_resolver_cache_t *cache)
{
    return tarvik::detail::DoublyLinked<CacheEntry>(&cache->m_head, nullptr);
}

// The entry's thread must be done with it (m_running 0): closing its service then only waits
// for the thread's last steps, which never take the cache lock.
void free_entry(CacheEntry *entry)
{
    tarvik_close_service(entry->m_service);
    free_handler_records(entry->m_handler_head);
    free_resolver_list(entry->m_list);
    if (entry->m_name != nullptr) {
        tarvik_free_tag(entry->m_name, TARVIK_TAG);
    }
    tarvik_free_tag(entry, TARVIK_TAG);
}

bool append_handler(CacheEntry *entry, tarvik_resolver_cache_handler_t handler, void *context)
{
    auto *record =
        static_cast<HandlerRecord *>(tarvik_alloc_tag(sizeof(HandlerRecord), TARVIK_TAG));
    if (record == nullptr) {
        return false;
    }
    record->m_handler = handler;
    record->m_context = context;
    tarvik::detail::SinglyLinked<HandlerRecord>(&entry->m_handler_head, &entry->m_handler_tail)
        .push_back(record);
    return true;
}

int tarvik_resolver_cache_service_handler(tarvik_service_t *service, void *context);

// Finds the (name, port) entry, refreshing it, and drops the expired ones on the way.
CacheEntry *scan_entries_nolock(tarvik_resolver_cache_t *cache, const char *name, uint32_t port,
                                uint64_t now)
{
    CacheEntry *match = nullptr;
    CacheEntry *entry = cache->m_head;
    while (entry != nullptr) {
        CacheEntry *next = entry->m_next;
        if (match == nullptr && entry->m_port == port && same_name(entry->m_name, name)) {
            match = entry;
            match->m_last_use = now;
            if (cache->m_lifetime <= 0) {
                break;
            }
        } else if (cache->m_lifetime > 0 && entry->m_running == 0 &&
                   now - entry->m_last_use >= static_cast<uint64_t>(cache->m_lifetime)) {
            // An entry whose thread still runs (resolving, or calling its handlers after
            // publishing) is kept: the thread reads it after the answer is out.
            entries(cache).remove(entry);
            free_entry(entry);
        }
        entry = next;
    }
    return match;
}

// Makes sure a resolution of the entry runs (or will run once more); false when none can start.
bool start_resolution_nolock(CacheEntry *entry)
{
    if (entry->m_running != 0) {
        // The thread resolves or is calling handlers; in the latter case it resolves again.
        if (entry->m_state != STATE_RESOLVING) {
            entry->m_again = 1;
        }
        return true;
    }
    tarvik_close_service(entry->m_service);
    entry->m_service = nullptr;
    entry->m_state = STATE_RESOLVING;
    entry->m_running = 1;
    entry->m_again = 0;
    entry->m_service =
        tarvik_open_service("resolver_cache", tarvik_resolver_cache_service_handler, entry);
    if (entry->m_service == nullptr) {
        entry->m_running = 0;
        entry->m_state = STATE_FAILED;
        return false;
    }
    return true;
}

// The request step: the entry of (name, port) with a resolution under way, or null.
CacheEntry *request_nolock(tarvik_resolver_cache_t *cache, const char *name, uint32_t port,
                           tarvik_resolver_cache_handler_t handler, void *context)
{
    if (cache->m_closing != 0) {
        return nullptr;
    }
    uint64_t now = now_msec();
    CacheEntry *entry = scan_entries_nolock(cache, name, port, now);
    if (entry == nullptr) {
        entry = new_entry(cache, name, port);
        if (entry == nullptr) {
            return nullptr;
        }
        entries(cache).push_front(entry);
    }
    if (handler != nullptr && !append_handler(entry, handler, context)) {
        return nullptr;
    }
    return start_resolution_nolock(entry) ? entry : nullptr;
}

// Publishes one resolution; returns the handlers to call (success only).
HandlerRecord *publish_nolock(CacheEntry *entry, tarvik_resolver_t *list)
{
    ++entry->m_completed;
    if (list == nullptr) {
        entry->m_state = STATE_FAILED;
        return nullptr;
    }
    free_resolver_list(entry->m_list);
    entry->m_list = list;
    entry->m_last_use = now_msec();
    entry->m_state = STATE_RESOLVED;
    HandlerRecord *handlers = entry->m_handler_head;
    entry->m_handler_head = nullptr;
    entry->m_handler_tail = nullptr;
    return handlers;
}

void call_handlers(tarvik_resolver_cache_t *cache, const CacheEntry *entry, HandlerRecord *record)
{
    while (record != nullptr) {
        HandlerRecord *next = record->m_next;
        record->m_handler(cache, 1, entry->m_name, entry->m_port, record->m_context);
        tarvik_free_tag(record, TARVIK_TAG);
        record = next;
    }
}

// The resolving service: resolves outside the lock, publishes under it, calls the handlers
// without it (they may call back into the cache), and resolves again when asked meanwhile.
// The entry stays alive until m_running drops to 0, its last touch.
int tarvik_resolver_cache_service_handler(tarvik_service_t *service, void *context)
{
    auto *entry = static_cast<CacheEntry *>(context);
    tarvik_resolver_cache_t *cache = entry->m_cache;
    tarvik_ack_service(service);
    for (;;) {
        tarvik_resolver_t *list = open_resolver_internal(entry->m_name, entry->m_port);
        tarvik_lock_tag(&cache->m_lock, TARVIK_TAG);
        HandlerRecord *handlers = publish_nolock(entry, list);
        tarvik_unlock_tag(&cache->m_lock, TARVIK_TAG);
        // The entry cannot go while m_running is set, so its name may be read unlocked.
        call_handlers(cache, entry, handlers);
        tarvik_lock_tag(&cache->m_lock, TARVIK_TAG);
        bool again = entry->m_again != 0 && cache->m_closing == 0;
        entry->m_again = 0;
        if (again) {
            entry->m_state = STATE_RESOLVING;
        } else {
            entry->m_running = 0;
        }
        tarvik_unlock_tag(&cache->m_lock, TARVIK_TAG);
        if (!again) {
            return 0;
        }
    }
}

// ---- caches ----

tarvik_resolver_cache_t *new_cache(int32_t lifetime)
{
    auto *cache = static_cast<tarvik_resolver_cache_t *>(
        tarvik_alloc_tag(sizeof(tarvik_resolver_cache_t), TARVIK_TAG));
    if (cache == nullptr) {
        return nullptr;
    }
    memset(cache, 0, sizeof(*cache));
    tarvik_init_lock_tag(&cache->m_lock, TARVIK_TAG);
    cache->m_lifetime = lifetime;
    return cache;
}

// Stops new resolutions, waits for every running service (outside the lock, since a service
// publishes under it), then frees the entries with their queued handlers.
void free_cache(tarvik_resolver_cache_t *cache)
{
    tarvik_lock_tag(&cache->m_lock, TARVIK_TAG);
    cache->m_closing = 1;
    tarvik_unlock_tag(&cache->m_lock, TARVIK_TAG);
    // With m_closing set nobody links, unlinks or restarts entries: the list is stable.
    for (CacheEntry *entry = cache->m_head; entry != nullptr; entry = entry->m_next) {
        tarvik_close_service(entry->m_service);
        entry->m_service = nullptr;
    }
    tarvik_lock_tag(&cache->m_lock, TARVIK_TAG);
    CacheEntry *entry = cache->m_head;
    cache->m_head = nullptr;
    tarvik_unlock_tag(&cache->m_lock, TARVIK_TAG);
    tarvik::detail::release_all(entry, free_entry);
    tarvik_uninit_lock_tag(&cache->m_lock, TARVIK_TAG);
    tarvik_free_tag(cache, TARVIK_TAG);
}

tarvik_resolver_cache_t *open_shared_cache(int32_t lifetime)
{
    tarvik_lock_tag(&g_tarvik_resolver_cache_lock, TARVIK_TAG);
    if (g_tarvik_resolver_cache == nullptr) {
        if (g_tarvik_resolver_cache_use_count != static_cast<size_t>(0u)) {
            tarvik_assert_fail_tag("source/resolver", __func__, __LINE__,
                                   "g_tarvik_resolver_cache_use_count == (size_t)0u");
        }
        g_tarvik_resolver_cache = new_cache(lifetime);
    }
    tarvik_resolver_cache_t *cache = g_tarvik_resolver_cache;
    if (cache != nullptr) {
        ++g_tarvik_resolver_cache_use_count;
    }
    tarvik_unlock_tag(&g_tarvik_resolver_cache_lock, TARVIK_TAG);
    return cache;
}

CacheEntry *find_entry_nolock(tarvik_resolver_cache_t *cache, const char *name, uint32_t port)
{
    for (CacheEntry *entry = cache->m_head; entry != nullptr; entry = entry->m_next) {
        if (entry->m_port == port && same_name(entry->m_name, name)) {
            return entry;
        }
    }
    return nullptr;
}

// A resolution completed after the call's first attempt, and it failed (before a next
// attempt would start another one).
bool failed_since_nolock(tarvik_resolver_cache_t *cache, const char *name, uint32_t port,
                         uint32_t first_seen)
{
    const CacheEntry *entry = find_entry_nolock(cache, name, port);
    return entry != nullptr && entry->m_list == nullptr && entry->m_state == STATE_FAILED &&
           entry->m_completed != first_seen;
}

tarvik_resolver_t *get_from_cache(tarvik_resolver_cache_t *cache, const char *name, uint32_t port,
                                  int timeout_ms, tarvik_resolver_cache_handler_t handler,
                                  void *context)
{
    uint64_t start = now_msec();
    uint32_t first_seen = 0;
    for (bool first = true;; first = false) {
        tarvik_lock_tag(&cache->m_lock, TARVIK_TAG);
        // A resolution that ran during this call failed: waiting longer would only repeat it,
        // starting one lookup after the other against the name server until the time-out (or
        // for ever without one), so the failure is the answer.
        if (!first && failed_since_nolock(cache, name, port, first_seen)) {
            tarvik_unlock_tag(&cache->m_lock, TARVIK_TAG);
            return nullptr;
        }
        // The handler is queued by the first attempt only: it is called once per call. Queuing
        // it on every poll would pile up one record per pass and call it that many times.
        CacheEntry *entry = request_nolock(cache, name, port, first ? handler : nullptr, context);
        tarvik_resolver_t *copy = nullptr;
        if (entry != nullptr) {
            if (first) {
                first_seen = entry->m_completed;
            }
            if (entry->m_list != nullptr) {
                copy = tarvik_duplicate_resolver(entry->m_list);
            }
        }
        tarvik_unlock_tag(&cache->m_lock, TARVIK_TAG);
        if (copy != nullptr) {
            return copy;
        }
        if (entry == nullptr) {
            return nullptr;
        }
        // Only -1 waits without limit; any other negative time-out is already over.
        if (timeout_ms != -1 &&
            (timeout_ms < 0 || now_msec() - start >= static_cast<uint64_t>(timeout_ms))) {
            return nullptr;
        }
        tarvik_load_balance();
    }
}

} // namespace

TARVIK_API tarvik_resolver_t *tarvik_duplicate_resolver(const tarvik_resolver_t *list)
{
    tarvik_resolver_t *head = nullptr;
    tarvik_resolver_t **link = &head;
    for (; list != nullptr; list = list->next) {
        size_t text_length = list->address_string != nullptr ? strlen(list->address_string) : 0;
        size_t size = sizeof(tarvik_resolver_t) + list->address_length + text_length + 1;
        auto *block = static_cast<tarvik_resolver_t *>(tarvik_alloc_tag(size, TARVIK_TAG));
        if (block == nullptr) {
            continue;
        }
        char *tail = reinterpret_cast<char *>(block + 1);
        *block = *list;
        block->next = nullptr;
        block->address = reinterpret_cast<struct sockaddr *>(tail);
        memcpy(tail, list->address, list->address_length);
        block->address_string = tail + list->address_length;
        if (text_length != 0) {
            memcpy(block->address_string, list->address_string, text_length);
        }
        block->address_string[text_length] = '\0';
        *link = block;
        link = &block->next;
    }
    return head;
}

TARVIK_API tarvik_resolver_t *tarvik_close_resolver(tarvik_resolver_t *list)
{
    free_resolver_list(list);
    return nullptr;
}

TARVIK_API tarvik_resolver_t *tarvik_open_resolver(const char *name, uint32_t port)
{
    return open_resolver_internal(name, port);
}

TARVIK_API tarvik_resolver_t *tarvik_open_resolver_ex(const char *name, uint32_t port,
                                                      int timeout_ms)
{
    // Without a name to look up (none, the wildcard, or a literal address) the answer is at
    // hand: no thread, no cache entry.
    if (timeout_ms == -1 || name == nullptr || name[0] == '\0' || is_literal_address(name)) {
        return open_resolver_internal(name, port);
    }
    tarvik_resolver_cache_t *cache = tarvik_open_resolver_cache();
    if (cache == nullptr) {
        return open_resolver_internal(name, port);
    }
    tarvik_resolver_t *list = nullptr;
    if (tarvik_request_resolver_cache(cache, name, port) == 0) {
        list = tarvik_get_resolver_cache(cache, name, port, timeout_ms);
    } else {
        list = open_resolver_internal(name, port);
    }
    tarvik_close_resolver_cache(cache);
    return list;
}

TARVIK_API int tarvik_reload_resolver(void)
{
    tarvik::detail::ShortLockGuard guard(&s_reload_lock);
    uint64_t now = now_msec();
    if (s_last_reload != 0 && now - s_last_reload < RELOAD_INTERVAL) {
        return -1;
    }
    // A clock that starts near 0 must not look like "never reloaded".
    s_last_reload = now != 0 ? now : 1;
    return res_init();
}

TARVIK_API tarvik_resolver_cache_t *tarvik_open_resolver_cache_ex(int shared, int32_t lifetime_ms)
{
    if (shared != 0) {
        return open_shared_cache(lifetime_ms);
    }
    return new_cache(lifetime_ms);
}

TARVIK_API tarvik_resolver_cache_t *tarvik_open_resolver_cache(void)
{
    return tarvik_open_resolver_cache_ex(1, TARVIK_RESOLVER_CACHE_DEFAULT_LIFETIME);
}

TARVIK_API int tarvik_close_resolver_cache(tarvik_resolver_cache_t *cache)
{
    if (cache == nullptr) {
        return 0;
    }
    tarvik_lock_tag(&g_tarvik_resolver_cache_lock, TARVIK_TAG);
    if (cache != g_tarvik_resolver_cache) {
        tarvik_unlock_tag(&g_tarvik_resolver_cache_lock, TARVIK_TAG);
        free_cache(cache);
        return 0;
    }
    if (g_tarvik_resolver_cache == nullptr) {
        tarvik_assert_fail_tag("source/resolver", __func__, __LINE__,
                               "g_tarvik_resolver_cache != ((tarvik_resolver_cache_t *)0)");
    }
    bool last = --g_tarvik_resolver_cache_use_count == 0;
    if (last) {
        g_tarvik_resolver_cache = nullptr;
    }
    tarvik_unlock_tag(&g_tarvik_resolver_cache_lock, TARVIK_TAG);
    if (last) {
        free_cache(cache);
    }
    return 0;
}

TARVIK_API int tarvik_request_resolver_cache_with_handler(tarvik_resolver_cache_t *cache,
                                                          const char *name, uint32_t port,
                                                          tarvik_resolver_cache_handler_t handler,
                                                          void *context)
{
    if (cache == nullptr) {
        return -1;
    }
    tarvik_lock_tag(&cache->m_lock, TARVIK_TAG);
    CacheEntry *entry = request_nolock(cache, name, port, handler, context);
    tarvik_unlock_tag(&cache->m_lock, TARVIK_TAG);
    return entry != nullptr ? 0 : -1;
}

TARVIK_API int tarvik_request_resolver_cache(tarvik_resolver_cache_t *cache, const char *name,
                                             uint32_t port)
{
    return tarvik_request_resolver_cache_with_handler(cache, name, port, nullptr, nullptr);
}

TARVIK_API tarvik_resolver_t *
tarvik_get_resolver_cache_with_handler(tarvik_resolver_cache_t *cache, const char *name,
                                       uint32_t port, int timeout_ms,
                                       tarvik_resolver_cache_handler_t handler, void *context)
{
    if (cache == nullptr) {
        return open_resolver_internal(name, port);
    }
    return get_from_cache(cache, name, port, timeout_ms, handler, context);
}

TARVIK_API tarvik_resolver_t *tarvik_get_resolver_cache(tarvik_resolver_cache_t *cache,
                                                        const char *name, uint32_t port,
                                                        int timeout_ms)
{
    return tarvik_get_resolver_cache_with_handler(cache, name, port, timeout_ms, nullptr, nullptr);
}
