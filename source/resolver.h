/* Name resolution: address lists (one heap block per address), the resolver cache that
 * resolves (name, port) pairs on background services, and the process-wide shared cache. */
#ifndef TARVIK_RESOLVER_H
#define TARVIK_RESOLVER_H

#include <sys/socket.h>

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* A port of this value or more means "no port". */
#define TARVIK_RESOLVER_NO_PORT 65536u

/* Default lifetime of the shared cache's entries (one hour). */
#define TARVIK_RESOLVER_CACHE_DEFAULT_LIFETIME 3600000

/* One resolved address. Each block holds the socket address and its printed text behind
 * the fixed fields; the list is released with tarvik_close_resolver. */
typedef struct tarvik_resolver_s {
    struct tarvik_resolver_s *next;
    uint16_t family;          /* 2 IPv4, 10 IPv6 */
    uint32_t address_length;  /* size of *address */
    struct sockaddr *address; /* inside this block */
    char *address_string;     /* inside this block, as tarvik_inet_stopp prints it */
    uint32_t port;            /* host order */
} tarvik_resolver_t;

/* Opaque resolver cache. */
typedef struct tarvik_resolver_cache_s tarvik_resolver_cache_t;

/* Completion handler: called once from the resolving thread, without the cache lock, after a
 * successful resolution (is_new 1); it may call back into the cache. */
typedef void (*tarvik_resolver_cache_handler_t)(tarvik_resolver_cache_t *cache, int is_new,
                                                const char *name, uint32_t port, void *context);

/* shared 1: the process-wide cache (created on first use with this lifetime, counted per
 * open); 0: a new private cache. lifetime_ms <= 0 keeps entries. Null on failure. */
TARVIK_API tarvik_resolver_cache_t *tarvik_open_resolver_cache_ex(int shared, int32_t lifetime_ms);
/* The shared cache with a lifetime of one hour; null on failure. */
TARVIK_API tarvik_resolver_cache_t *tarvik_open_resolver_cache(void);
/* Shared: one use less, freed at 0 uses; private: freed after its resolutions end. Null
 * accepted. Returns 0. */
TARVIK_API int tarvik_close_resolver_cache(tarvik_resolver_cache_t *cache);

/* Starts (or joins) the background resolution of (name, port); handler (may be null) is
 * called once when it succeeds. 0, or -1 for a null cache or when it cannot start. */
TARVIK_API int tarvik_request_resolver_cache_with_handler(tarvik_resolver_cache_t *cache,
                                                          const char *name, uint32_t port,
                                                          tarvik_resolver_cache_handler_t handler,
                                                          void *context);
/* tarvik_request_resolver_cache_with_handler without handler. */
TARVIK_API int tarvik_request_resolver_cache(tarvik_resolver_cache_t *cache, const char *name,
                                             uint32_t port);

/* A copy of the address list of (name, port), waiting up to timeout_ms (-1: no limit; 0 or
 * another negative value: one attempt); null when not resolved in time or when a resolution that
 * ran during the call failed. handler is queued once per call. A null cache resolves at once in the
 * calling thread. The caller frees the copy with tarvik_close_resolver. */
TARVIK_API tarvik_resolver_t *
tarvik_get_resolver_cache_with_handler(tarvik_resolver_cache_t *cache, const char *name,
                                       uint32_t port, int timeout_ms,
                                       tarvik_resolver_cache_handler_t handler, void *context);
/* tarvik_get_resolver_cache_with_handler without handler. */
TARVIK_API tarvik_resolver_t *tarvik_get_resolver_cache(tarvik_resolver_cache_t *cache,
                                                        const char *name, uint32_t port,
                                                        int timeout_ms);

/* The address list of (name, port): with a timeout other than -1 through the shared cache,
 * otherwise resolved at once. Null on failure; the caller frees it with
 * tarvik_close_resolver. */
TARVIK_API tarvik_resolver_t *tarvik_open_resolver_ex(const char *name, uint32_t port,
                                                      int timeout_ms);
/* Resolves (name, port) at once in the calling thread; null on failure; caller frees. */
TARVIK_API tarvik_resolver_t *tarvik_open_resolver(const char *name, uint32_t port);
/* A new copy of the whole list (entries that fail to allocate are left out); null for an
 * empty list; caller frees. */
TARVIK_API tarvik_resolver_t *tarvik_duplicate_resolver(const tarvik_resolver_t *list);
/* Frees every block of the list (null accepted); returns null. */
TARVIK_API tarvik_resolver_t *tarvik_close_resolver(tarvik_resolver_t *list);

/* Re-reads the system resolver configuration, at most once per 4000 ms: res_init's result,
 * or -1 when skipped. */
TARVIK_API int tarvik_reload_resolver(void);

TARVIK_END_DECLS

#endif
