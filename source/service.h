/* Service threads: a named function on a pooled detached thread, with a start
 * handshake (ack/error), a polled stop request and a close that waits for the end. */
#ifndef TARVIK_SERVICE_H
#define TARVIK_SERVICE_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Opaque service record; made by tarvik_open_service_ex, freed by its close. */
typedef struct tarvik_service_s tarvik_service_t;

/* Service function: runs on the service thread; its return value is ignored. */
typedef int (*tarvik_service_entry_t)(tarvik_service_t *service, void *context);
/* Close-notify handler: return -1 to be called again on the next pass of the close wait. */
typedef int (*tarvik_service_notify_t)(tarvik_service_t *service, void *context);

/* Request word values. */
#define TARVIK_SERVICE_REQUEST_INITIAL 5
#define TARVIK_SERVICE_REQUEST_STARTED 2
#define TARVIK_SERVICE_REQUEST_STOP 6

/* State word values. */
#define TARVIK_SERVICE_STATE_FAILED 1
#define TARVIK_SERVICE_STATE_STARTING 4
#define TARVIK_SERVICE_STATE_RUNNING 5
#define TARVIK_SERVICE_STATE_FINISHED 6

/* Starts entry on a detached thread and returns once it acknowledged; null when entry is
 * null, the thread cannot start, or entry fails or returns without acknowledging. name may
 * be null. thread_option as for tarvik_detached_thread_ex_tag. Close with the close calls. */
TARVIK_API tarvik_service_t *tarvik_open_service_ex(const char *name, tarvik_service_entry_t entry,
                                                    void *context, uint32_t thread_option);
/* tarvik_open_service_ex with thread option 0. */
TARVIK_API tarvik_service_t *tarvik_open_service(const char *name, tarvik_service_entry_t entry,
                                                 void *context);
/* Called by the service function once it is ready: the opener returns. 0, -1 for null. */
TARVIK_API int tarvik_ack_service(tarvik_service_t *service);
/* Called by the service function when it cannot start or fails. 0, -1 for null. */
TARVIK_API int tarvik_error_service(tarvik_service_t *service);
/* 1 when a stop has been requested, 0 otherwise, -1 for null. */
TARVIK_API int tarvik_break_service(tarvik_service_t *service);
/* 1 running, -1 failed (or null), 0 otherwise. */
TARVIK_API int tarvik_check_service(tarvik_service_t *service);
/* Requests the stop and waits for the service function to return (timeout_ms -1: for ever,
 * with a warning every 4 s after the first 60 s); then frees the record. A service still
 * running when a finite time-out passes frees its own record when it ends. Null accepted;
 * returns 0. */
TARVIK_API int tarvik_close_service_ex(tarvik_service_t *service, int timeout_ms);
/* tarvik_close_service_ex with -1. */
TARVIK_API int tarvik_close_service(tarvik_service_t *service);
/* Handler called (from the closing thread) while close waits, to nudge the service;
 * handler may be null to remove it. 0, -1 for a null service. */
TARVIK_API int tarvik_service_register_close_notify_handler(tarvik_service_t *service,
                                                            tarvik_service_notify_t handler,
                                                            void *context);

/* Service name ("no service name" when opened without one); null for null. */
TARVIK_API const char *tarvik_get_service_name(tarvik_service_t *service);
/* Request word (TARVIK_SERVICE_REQUEST_*), -1 for null. */
TARVIK_API int tarvik_get_service_request(tarvik_service_t *service);
/* State word (TARVIK_SERVICE_STATE_*), -1 for null. */
TARVIK_API int tarvik_get_service_state(tarvik_service_t *service);

/* User flags word: each returns the flags after the change (0 for null). */
TARVIK_API uint32_t tarvik_set_service_flags(tarvik_service_t *service, uint32_t flags);
TARVIK_API uint32_t tarvik_clear_service_flags(tarvik_service_t *service, uint32_t flags);
TARVIK_API uint32_t tarvik_toggle_service_flags(tarvik_service_t *service, uint32_t flags);
TARVIK_API uint32_t tarvik_get_service_flags(tarvik_service_t *service);
/* User value: get returns it (0 for null); set returns the previous value (0 for null). */
TARVIK_API uint32_t tarvik_get_service_value(tarvik_service_t *service);
TARVIK_API uint32_t tarvik_set_service_value(tarvik_service_t *service, uint32_t value);

TARVIK_END_DECLS

#endif
