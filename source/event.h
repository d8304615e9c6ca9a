/* The event base: a select-driven reactor dispatching descriptor, timer and signal events by
 * priority, with byte queues and watermarks, built-in non-blocking connects through the
 * resolver cache, cross-thread add/delete/activate and an optional dispatch service. */
#ifndef TARVIK_EVENT_H
#define TARVIK_EVENT_H

#include "tarvik_abi.h"
#include "buffer.h"
#include "lock.h"
#include "resolver.h"
#include "select.h"
#include "service.h"
#include "signal.h"
#include <sys/types.h>

TARVIK_BEGIN_DECLS

/* Event flags and "what" bits (one word per event, one per activation). */
#define def_tarvik_event_read 0x0001u
#define def_tarvik_event_write 0x0002u
#define def_tarvik_event_except 0x0004u
#define def_tarvik_event_signal 0x0008u
#define def_tarvik_event_persist 0x0010u
#define def_tarvik_event_timeout 0x0020u
#define def_tarvik_event_unassigned 0x0040u
#define def_tarvik_event_initialized 0x0080u
#define def_tarvik_event_allocated 0x0100u
#define def_tarvik_event_added 0x0200u
#define def_tarvik_event_active 0x0400u
#define def_tarvik_event_resolver 0x0800u
#define def_tarvik_event_connect 0x1000u
#define def_tarvik_event_connecting 0x2000u
#define def_tarvik_event_connected 0x4000u
#define def_tarvik_event_connect_failed 0x8000u

/* Loop flags of tarvik_event_base_loop. */
#define def_tarvik_event_loop_once 0x0001
#define def_tarvik_event_loop_nonblock 0x0002
#define def_tarvik_event_loop_global_break 0x8000

/* Priority levels of a base must stay below this. */
#define def_tarvik_event_max_priority 65536u

/* Queue selectors of the buffer calls. */
#define def_tarvik_event_buffer_receive 1
#define def_tarvik_event_buffer_send 2

struct tarvik_event_s;
struct tarvik_event_base_s;

/* Called on the loop thread without the base lock; the result is ignored. Also called once
 * with def_tarvik_event_initialized after assignment and once with
 * def_tarvik_event_unassigned after unassignment. */
typedef int32_t (*tarvik_event_handler_t)(struct tarvik_event_s *event, int fd, uint32_t what,
                                          void *context);

/* An event; callers may embed it (zeroed) in their own records. Fields marked internal are
 * the base's, guarded by its lock. */
typedef struct tarvik_event_s {
    struct tarvik_event_s *m_prev; /* event list (internal) */
    struct tarvik_event_s *m_next;
    struct tarvik_event_s *m_timer_prev; /* timer list, sorted by expiry (internal) */
    struct tarvik_event_s *m_timer_next;
    struct tarvik_event_s *m_active_prev; /* active queue of m_priority (internal) */
    struct tarvik_event_s *m_active_next;
    struct tarvik_event_base_s *m_base;
    uint32_t m_priority; /* 0 is served first */
    int32_t m_timeout;   /* ms; negative: none */
    uint64_t m_expire;   /* monotonic ms at which the timeout expires */
    uint32_t m_flags;
    uint32_t m_what; /* bits of the current activation */
    int32_t m_fd;    /* descriptor, signal number, or -1 */
    tarvik_event_handler_t m_handler;
    void *m_context;
    char *m_bind_address;  /* owned, or null */
    int32_t m_bind_port;   /* -1 when unset */
    char *m_resolver_name; /* owned, or null */
    int32_t m_resolver_port;
    tarvik_resolver_t *m_resolver_info; /* owned address list, or null */
    tarvik_buffer_t *m_rx_buffer;
    uint32_t m_rx_high_watermark; /* 0: no limit */
    tarvik_buffer_t *m_tx_buffer;
    uint32_t m_tx_low_watermark;
    tarvik_signal_node_t *m_signal_node; /* installed while a signal event is added */
} tarvik_event_t;

/* The base. Its loop holds m_lock for the whole run except around handler calls; everyone
 * else takes it by try-lock-or-wake through the notify pair. */
typedef struct tarvik_event_base_s {
    tarvik_lock_t *m_lock;
    uint64_t m_thread_id; /* creator, then the thread of the running loop */
    int32_t m_looping;
    int32_t m_exit;
    int32_t m_break;
    tarvik_select_t *m_select;
    uint32_t m_event_count; /* the notify event included */
    tarvik_event_t *m_event_head;
    tarvik_event_t *m_event_tail;
    uint32_t m_timer_event_count;
    tarvik_event_t *m_timer_event_head;
    tarvik_event_t *m_timer_event_tail;
    uint32_t m_max_priority; /* levels, 1 .. def_tarvik_event_max_priority - 1 */
    uint32_t m_active_event_count;
    tarvik_event_t **m_active_event_head; /* m_max_priority heads, then the tails */
    tarvik_event_t **m_active_event_tail;
    int32_t m_notify_pending;
    int m_notify_fd[2];
    tarvik_event_t m_notify_event;
    tarvik_resolver_cache_t *m_resolver_cache; /* private, opened on first use */
    tarvik_service_t *m_dispatch_service;
    int (*m_check_service)(struct tarvik_event_base_s *base);
    int (*m_start_service)(struct tarvik_event_base_s *base);
    int (*m_stop_service)(struct tarvik_event_base_s *base);
    /* First timer of the run of equal expiries that ends the timer list, or null when not
     * known (internal): new timers mostly join that run. */
    tarvik_event_t *m_timer_run_head;
} tarvik_event_base_t;

/* ---- bases ---- */

/* New base with one priority level; null on failure. Free with tarvik_free_event_base. */
TARVIK_API tarvik_event_base_t *tarvik_new_event_base(void);
/* The process's current base, created on first call; null when it cannot be created. */
TARVIK_API tarvik_event_base_t *tarvik_init_event_base(void);
/* Frees base (null: the current base) and every event still added; returns 0. */
TARVIK_API int tarvik_free_event_base(tarvik_event_base_t *base);
/* Replaces the active queues with count empty levels; -1 for a bad count or active events. */
TARVIK_API int tarvik_event_base_init_priority(tarvik_event_base_t *base, size_t count);
/* Runs passes until exit, break or a loop-flag condition; 0, or -1 on a select failure
 * (also EINTR), a null base or a loop already running on base. */
TARVIK_API int tarvik_event_base_loop(tarvik_event_base_t *base, int flags);
/* tarvik_event_base_loop(base, 0). */
TARVIK_API int tarvik_event_base_dispatch(tarvik_event_base_t *base);
/* Sets the exit flag after delay_ms (0: next pass) through a one-shot timer; 0 or -1. */
TARVIK_API int tarvik_event_base_exit_loop(tarvik_event_base_t *base, int delay_ms);
/* Ends the current loop call; 0, or -1 for a null base. */
TARVIK_API int tarvik_event_base_break_loop(tarvik_event_base_t *base);
/* The exit flag (1 or 0), -1 for a null base. */
TARVIK_API int tarvik_event_base_get_exit(tarvik_event_base_t *base);
/* One-shot event (its record is freed after its first activation, or when unassigned with
 * def_tarvik_event_persist); 0 or -1. */
TARVIK_API int tarvik_event_base_once(tarvik_event_base_t *base, int fd, uint32_t flags,
                                      tarvik_event_handler_t handler, void *context,
                                      int timeout_ms);
/* As tarvik_event_base_once with connect parameters (ports -1: unset); 0 or -1. */
TARVIK_API int tarvik_event_base_once_with_resolver(tarvik_event_base_t *base, int fd,
                                                    uint32_t flags, tarvik_event_handler_t handler,
                                                    void *context, int timeout_ms,
                                                    const char *bind_address, int bind_port,
                                                    const char *resolver_name, int resolver_port);
/* Runs the loop on a service thread of its own; 0, or -1 when running already or failing. */
TARVIK_API int tarvik_event_base_dispatch_start_service(tarvik_event_base_t *base);
/* Ends the loop and waits for the service; 0, or -1 without a service. */
TARVIK_API int tarvik_event_base_dispatch_stop_service(tarvik_event_base_t *base);
/* 1 running, -1 failed, 0 otherwise or without a service. */
TARVIK_API int tarvik_event_base_dispatch_check_service(tarvik_event_base_t *base);
/* Non-zero turns the event-base trace lines on, 0 off; returns 0. */
TARVIK_API int tarvik_event_debug_mode(int on);

/* ---- events ---- */

/* Initialises a zeroed or unassigned record for base (null: the current base); 0 or -1. */
TARVIK_API int tarvik_assign_event(tarvik_event_base_t *base, tarvik_event_t *event, int fd,
                                   uint32_t flags, tarvik_event_handler_t handler, void *context);
/* As above with connect parameters (copied; ports -1: unset); 0 or -1. */
TARVIK_API int tarvik_assign_event_with_resolver(tarvik_event_base_t *base, tarvik_event_t *event,
                                                 int fd, uint32_t flags,
                                                 tarvik_event_handler_t handler, void *context,
                                                 const char *bind_address, int bind_port,
                                                 const char *resolver_name, int resolver_port);
/* New assigned record, or null; release with tarvik_free_event. */
TARVIK_API tarvik_event_t *tarvik_new_event(tarvik_event_base_t *base, int fd, uint32_t flags,
                                            tarvik_event_handler_t handler, void *context);
/* As above with connect parameters; null on failure. */
TARVIK_API tarvik_event_t *tarvik_new_event_with_resolver(tarvik_event_base_t *base, int fd,
                                                          uint32_t flags,
                                                          tarvik_event_handler_t handler,
                                                          void *context, const char *bind_address,
                                                          int bind_port, const char *resolver_name,
                                                          int resolver_port);
/* Registers the event (an added event only gets its timer re-armed); 0 or -1. */
TARVIK_API int tarvik_add_event(tarvik_event_t *event, int timeout_ms);
/* Unregisters the event, which stays assigned; 0 or -1. */
TARVIK_API int tarvik_del_event(tarvik_event_t *event);
/* Deletes and releases what the event owns (not its descriptor); 0 or -1. */
TARVIK_API int tarvik_unassign_event(tarvik_event_t *event);
/* Unassigns, and frees a record of tarvik_new_event; null accepted; returns 0. */
TARVIK_API int tarvik_free_event(tarvik_event_t *event);
/* Activates the event by hand with what; 0 or -1. */
TARVIK_API int tarvik_active_event(tarvik_event_t *event, uint32_t what);
/* Which of flags are pending; remaining_ms (may be null) gets the ms left on the timer.
 * 0 on any error. */
TARVIK_API uint32_t tarvik_event_pending(tarvik_event_t *event, uint32_t flags, int *remaining_ms);
/* 0, or -1 when the event is active or priority is not below the base's level count. */
TARVIK_API int tarvik_event_set_priority(tarvik_event_t *event, size_t priority);
/* Moves a (deleted) event to base, priority reset to the middle level; 0 or -1. */
TARVIK_API int tarvik_event_set_base(tarvik_event_t *event, tarvik_event_base_t *base);

/* ---- byte queues (which: 1 receive, 2 send, 3 both) ---- */

/* Creates the missing queues; 0 or -1. */
TARVIK_API int tarvik_event_enable_buffer(tarvik_event_t *event, int which);
/* Closes the queues; 0 or -1. */
TARVIK_API int tarvik_event_disable_buffer(tarvik_event_t *event, int which);
/* Receive: high is the receive high watermark; send: low is the send low watermark; 0 or -1. */
TARVIK_API int tarvik_event_set_buffer_watermark(tarvik_event_t *event, int which, size_t low,
                                                 size_t high);
/* Bytes queued in the chosen queues; 0 on error. */
TARVIK_API size_t tarvik_event_get_buffer_size(tarvik_event_t *event, int which);
/* Appends to the chosen queues (created when missing); bytes appended or -1. */
TARVIK_API ssize_t tarvik_event_push_buffer(tarvik_event_t *event, int which, const void *data,
                                            size_t size);
/* Formats and appends; bytes appended or -1. */
TARVIK_API ssize_t tarvik_event_push_vprintf(tarvik_event_t *event, int which, const char *format,
                                             va_list arguments);
TARVIK_API ssize_t tarvik_event_push_printf(tarvik_event_t *event, int which, const char *format,
                                            ...) TARVIK_PRINTF(3, 4);
/* Appends the string without its terminator; bytes appended or -1. */
TARVIK_API ssize_t tarvik_event_push_puts(tarvik_event_t *event, int which, const char *string);
/* Removes up to size bytes of the receive queue (which & 1) or else the send queue; bytes or -1. */
TARVIK_API ssize_t tarvik_event_pop_buffer(tarvik_event_t *event, int which, void *data,
                                           size_t size);
/* Copies up to size bytes from offset without removing them; bytes or -1. */
TARVIK_API ssize_t tarvik_event_peek_buffer(tarvik_event_t *event, int which, void *data,
                                            size_t size, size_t offset);

/* Ready-made handler of signal events: SIGSEGV prints a line and ends the process by the
 * signal; other activations end the loop. Returns 0. */
TARVIK_API int32_t tarvik_event_default_handler_exit(tarvik_event_t *event, int fd, uint32_t what,
                                                     void *context);

/* ---- process-wide break flag (async-signal-safe) ---- */

/* Sets the flag; returns 0. */
TARVIK_API int tarvik_set_global_break(void);
/* Clears the flag; returns 0. */
TARVIK_API int tarvik_clear_global_break(void);
/* The flag: non-zero once set. */
TARVIK_API int tarvik_get_global_break(void);

TARVIK_END_DECLS

#endif
