// The event base. One traced lock per base guards its lists, its select table and every
// event's links, flags and queues. The loop holds it for its whole run except around handler
// calls; every other caller takes it by try-lock-or-wake, waking the loop out of select
// through the base's socket pair. The timer list only ever holds added events.
#include "event.h"

#include "console.h"
#include "format.h"
#include "heap.h"
#include "inet.h"
#include "socket.h"
#include "thread.h"
#include "time.h"
#include "detail/common.hpp"
#include "detail/event.hpp"
#include "detail/list.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#if defined(__mips__)
static_assert(sizeof(tarvik_event_t) == 112, "event record of the 32-bit target");
#endif

namespace {

using tarvik::detail::DoublyLinked;
using EventList = DoublyLinked<tarvik_event_t>;
using TimerList =
    DoublyLinked<tarvik_event_t, &tarvik_event_t::m_timer_next, &tarvik_event_t::m_timer_prev>;
using ActiveList =
    DoublyLinked<tarvik_event_t, &tarvik_event_t::m_active_next, &tarvik_event_t::m_active_prev>;

#define RED "\033[1;31m"
#define PLAIN "\033[0m"
#define ERROR_HEAD "%s: [ERROR] " RED
#define WARNING_HEAD "%s: [WARNING] " RED
#define F_HEAD " (base=%p, fd=%ld, flags=%08XH, handler=%p, context=%p"
#define F_TAIL ", bind_address=\"%s\", bind_port=%d, resolver_name=\"%s\", resolver_port=%d)\n"
#define L_PARAMETERS                                                                               \
    " (base=%p, flags=%08XH, event_count=%lu, timer_event_count=%lu, active_event_count=%lu)\n"
#define Q_TAIL                                                                                     \
    "=%08XH, base=%p, event=%p, priority=%lu, fd=%ld, flags=%08XH, handler=%p, context=%p)\n"

// Bits the caller may set on assignment: read, write, except, signal, persist, allocated,
// resolver, connect.
constexpr uint32_t ASSIGN_MASK = 0x191Fu;
// What bits of the assignment and unassignment calls.
constexpr uint32_t LIFECYCLE_CALL = def_tarvik_event_unassigned | def_tarvik_event_initialized;
constexpr uint32_t WATCHED = def_tarvik_event_read | def_tarvik_event_write |
                             def_tarvik_event_except | def_tarvik_event_connect;
constexpr uint32_t PENDING_STATE = 0xF00Fu;
constexpr uint32_t PENDING_ASKABLE = 0xF02Fu;
// Lists named in queue insert and delete flags.
constexpr uint32_t IN_EVENT_LIST = def_tarvik_event_added;
constexpr uint32_t IN_TIMER_LIST = def_tarvik_event_timeout;
constexpr uint32_t IN_ACTIVE_QUEUE = def_tarvik_event_active;
constexpr int SELECT_ALL =
    def_tarvik_select_read | def_tarvik_select_write | def_tarvik_select_except;
// Internal, above the event bits: the pending connect runs on a socket the base opened. When
// it fails the base closes that socket, as it does after an attempt that fails at once: the
// socket is bound and spent, and the next attempt needs a new one. Deleting the event or
// connecting hands the socket over to the caller.
constexpr uint32_t OWN_SOCKET = 0x10000u;
constexpr int32_t RESOLVER_LIFETIME = 3600000;
// A persistent connect event whose every address failed waits this long before the next
// attempt when it has no timeout of its own: without a pause it would retry on every pass.
constexpr int32_t CONNECT_RETRY_MS = 1000;
constexpr int NOTIFY_ATTEMPTS = 128;
constexpr size_t NOTIFY_DRAIN = 1024;

const uint8_t WAKE_BYTE[1] = {0};

int s_debug;
int s_global_break;
tarvik_short_lock_t s_current_lock;
tarvik_event_base_t *g_tarvik_current_event_base;

// The one-shot record: one allocation holds the event and the user's handler and context.
struct OnceRecord {
    tarvik_event_t m_event;
    tarvik_event_handler_t m_handler;
    void *m_context;
};
#if defined(__mips__)
static_assert(sizeof(OnceRecord) == 120, "one-shot record of the 32-bit target");
#endif

// The parameters of an assign, new or once call, printed with their failures.
struct CallParameters {
    tarvik_event_base_t *m_base;
    int m_fd;
    uint32_t m_flags;
    tarvik_event_handler_t m_handler;
    void *m_context;
    int m_timeout;
    const char *m_bind_address;
    int m_bind_port;
    const char *m_resolver_name;
    int m_resolver_port;
};

// Handlers are printed as plain pointers.
inline const void *pointer(tarvik_event_handler_t handler)
{
    return reinterpret_cast<const void *>(handler);
}

inline bool debugging() { return __atomic_load_n(&s_debug, __ATOMIC_RELAXED) != 0; }

tarvik_event_base_t *current_base()
{
    return __atomic_load_n(&g_tarvik_current_event_base, __ATOMIC_ACQUIRE);
}

// Trace lines name the record they are about.
void trace(const char *function, const char *text, const void *subject)
{
    if (debugging()) {
        tarvik_printf("%s: [MESSAGE] %s (%p)\n", function, text, subject);
    }
}

void trace_format(const char *function, const char *format, ...) TARVIK_PRINTF(2, 3);
void trace_format(const char *function, const char *format, ...)
{
    if (!debugging()) {
        return;
    }
    char line[96];
    va_list arguments;
    va_start(arguments, format);
    tarvik_vsnprintf(line, sizeof(line), format, arguments);
    va_end(arguments);
    tarvik_printf("%s: [MESSAGE] %s\n", function, line);
}

void report_call(const char *function, const char *text, const CallParameters &call,
                 bool with_timeout)
{
    const long fd = call.m_fd;
    if (with_timeout) {
        tarvik_error_printf(ERROR_HEAD "%s" PLAIN F_HEAD ", timeout=%d" F_TAIL, function, text,
                            static_cast<void *>(call.m_base), fd, call.m_flags,
                            pointer(call.m_handler), call.m_context, call.m_timeout,
                            call.m_bind_address, call.m_bind_port, call.m_resolver_name,
                            call.m_resolver_port);
    } else {
        tarvik_error_printf(ERROR_HEAD "%s" PLAIN F_HEAD F_TAIL, function, text,
                            static_cast<void *>(call.m_base), fd, call.m_flags,
                            pointer(call.m_handler), call.m_context, call.m_bind_address,
                            call.m_bind_port, call.m_resolver_name, call.m_resolver_port);
    }
}

CallParameters parameters_of(const tarvik_event_t *event)
{
    return {event->m_base,         event->m_fd,        event->m_flags,
            event->m_handler,      event->m_context,   event->m_timeout,
            event->m_bind_address, event->m_bind_port, event->m_resolver_name,
            event->m_resolver_port};
}

void report_loop(const char *text, const tarvik_event_base_t *base, int flags)
{
    tarvik_error_printf(ERROR_HEAD "%s" PLAIN L_PARAMETERS, "tarvik_event_base_loop", text,
                        static_cast<const void *>(base), static_cast<uint32_t>(flags),
                        static_cast<unsigned long>(base->m_event_count),
                        static_cast<unsigned long>(base->m_timer_event_count),
                        static_cast<unsigned long>(base->m_active_event_count));
}

void report_queue(const char *function, const char *text, const char *flags_name, uint32_t flags,
                  const tarvik_event_base_t *base, const tarvik_event_t *event)
{
    tarvik_error_printf(WARNING_HEAD "%s" PLAIN " (%s" Q_TAIL, function, text, flags_name, flags,
                        static_cast<const void *>(base), static_cast<const void *>(event),
                        static_cast<unsigned long>(event->m_priority),
                        static_cast<long>(event->m_fd), event->m_flags, pointer(event->m_handler),
                        event->m_context);
}

void report_null_base(const char *function)
{
    tarvik_error_printf(ERROR_HEAD "s_base is null !" PLAIN "\n", function);
}

void report_base(const char *function, const char *text, const tarvik_event_base_t *base)
{
    tarvik_error_printf(ERROR_HEAD "%s" PLAIN " (base=%p)\n", function, text,
                        static_cast<const void *>(base));
}

EventList event_list(tarvik_event_base_t *base)
{
    return EventList(&base->m_event_head, &base->m_event_tail);
}

TimerList timer_list(tarvik_event_base_t *base)
{
    return TimerList(&base->m_timer_event_head, &base->m_timer_event_tail);
}

ActiveList active_queue(tarvik_event_base_t *base, uint32_t level)
{
    return ActiveList(&base->m_active_event_head[level], &base->m_active_event_tail[level]);
}

inline uint64_t now_msec() { return tarvik_time_stamp_msec(nullptr); }

// ---- base lock and wake-ups ---------------------------------------------------------------

int tarvik_event_base_wakeup(tarvik_event_base_t *base)
{
    if (base == nullptr) {
        report_null_base(__func__);
        return -1;
    }
    const int fd = base->m_notify_fd[1];
    if (fd == -1) {
        tarvik_error_printf(ERROR_HEAD "invalid notify fd !" PLAIN "\n", __func__);
        return -1;
    }
    for (int failures = 0;;) {
        // A pair too full for one more byte wakes the loop all the same: that counts too.
        if (tarvik_send(fd, WAKE_BYTE, sizeof(WAKE_BYTE), 0) >= 0) {
            return 0;
        }
        if (++failures >= NOTIFY_ATTEMPTS) {
            tarvik_error_printf(ERROR_HEAD "notify by fd failed !" PLAIN "\n", __func__);
            return -1;
        }
        if (failures >= 96) {
            tarvik_load_balance();
        } else if (failures >= 64) {
            tarvik_load_balance_short();
        }
    }
}

// The loop holds the lock while it waits in select: waking it makes it let go soon.
void lock_base(tarvik_event_base_t *base)
{
    while (tarvik_try_lock_tag(base->m_lock, TARVIK_TAG) == 0) {
        tarvik_event_base_wakeup(base);
    }
}

void unlock_base(tarvik_event_base_t *base) { tarvik_unlock_tag(base->m_lock, TARVIK_TAG); }

// Lock held. One wake byte at most is outstanding on this path.
int tarvik_event_base_notify(tarvik_event_base_t *base)
{
    if (base->m_notify_pending != 0 || base->m_looping == 0 ||
        base->m_thread_id == tarvik_get_thread_id()) {
        return 0;
    }
    base->m_notify_pending = 1;
    if (tarvik_event_base_wakeup(base) != 0) {
        base->m_notify_pending = 0;
        return -1;
    }
    trace(__func__, "notify.", base);
    return 0;
}

int32_t tarvik_event_base_notify_event_handler(tarvik_event_t *event, int fd, uint32_t what, void *)
{
    if ((what & def_tarvik_event_read) == 0) {
        return 0;
    }
    uint8_t drain[NOTIFY_DRAIN];
    for (int attempt = 1; attempt < NOTIFY_ATTEMPTS; ++attempt) {
        // Nothing left to read (-2) is as good as a read: the byte was taken meanwhile.
        const ssize_t got = tarvik_recv(fd, drain, sizeof(drain), 0);
        if (got >= 0 || got == -2) {
            break;
        }
        if (attempt >= 96) {
            tarvik_load_balance();
        } else if (attempt >= 64) {
            tarvik_load_balance_short();
        }
    }
    tarvik_event_base_t *base = event->m_base;
    trace(__func__, "notify read.", base);
    tarvik_lock_tag(base->m_lock, TARVIK_TAG);
    base->m_notify_pending = 0;
    tarvik_unlock_tag(base->m_lock, TARVIK_TAG);
    return 0;
}

// Checks the event and takes its base's lock; null (after the report) when it cannot be used.
tarvik_event_base_t *lock_event(const char *function, tarvik_event_t *event)
{
    if (event == nullptr) {
        tarvik_error_printf("%s: [ERROR] event is null !\n", function);
        return nullptr;
    }
    tarvik_event_base_t *base = event->m_base;
    if (base != nullptr) {
        lock_base(base);
        if ((event->m_flags & def_tarvik_event_initialized) != 0) {
            return base;
        }
        unlock_base(base);
    }
    if ((event->m_flags & def_tarvik_event_initialized) == 0) {
        tarvik_error_printf("%s: [ERROR] event is not initialized ! (event=%p\n", function,
                            static_cast<void *>(event));
    } else {
        tarvik_error_printf("%s: [ERROR] event->m_base is null ! (event=%p)\n", function,
                            static_cast<void *>(event));
    }
    return nullptr;
}

// ---- interest and lists (lock held) ---------------------------------------------------------

// A pure timer or signal event watches no descriptor.
bool watches_nothing(const tarvik_event_t *event)
{
    return (event->m_flags & WATCHED) == 0 && event->m_rx_buffer == nullptr &&
           event->m_tx_buffer == nullptr;
}

bool waits_for_connection(const tarvik_event_t *event)
{
    return (event->m_flags & (def_tarvik_event_connect | def_tarvik_event_connected)) ==
           def_tarvik_event_connect;
}

int select_interest(const tarvik_event_t *event)
{
    const uint32_t flags = event->m_flags;
    if (waits_for_connection(event)) {
        return (flags & def_tarvik_event_connecting) != 0 ? SELECT_ALL : 0;
    }
    int interest = (flags & def_tarvik_event_except) != 0 ? def_tarvik_select_except : 0;
    if (event->m_rx_buffer != nullptr) {
        const uint32_t high = event->m_rx_high_watermark;
        if (high == 0 || tarvik_get_buffer_size(event->m_rx_buffer) < high) {
            interest |= def_tarvik_select_read;
        }
    } else if ((flags & def_tarvik_event_read) != 0) {
        interest |= def_tarvik_select_read;
    }
    if (event->m_tx_buffer != nullptr) {
        if (tarvik_get_buffer_size(event->m_tx_buffer) >= event->m_tx_low_watermark) {
            interest |= def_tarvik_select_write;
        }
    } else if ((flags & def_tarvik_event_write) != 0) {
        interest |= def_tarvik_select_write;
    }
    return interest;
}

// After a queue changed: an added event watches what its queues ask for from now on.
int update_registration(tarvik_event_t *event)
{
    if ((event->m_flags & def_tarvik_event_added) == 0 || event->m_fd < 0 ||
        watches_nothing(event)) {
        return 0;
    }
    return tarvik_set_select(event->m_base->m_select, event->m_fd, select_interest(event));
}

void set_registration(tarvik_event_t *event, int interest)
{
    if (event->m_fd >= 0) {
        tarvik_set_select(event->m_base->m_select, event->m_fd, interest);
    }
}

// The first timer of the run of equal expiries that ends the list, found again when it was
// lost (lock held, list not empty).
tarvik_event_t *timer_run_head(tarvik_event_base_t *base)
{
    tarvik_event_t *run = base->m_timer_run_head;
    if (run == nullptr) {
        run = base->m_timer_event_tail;
        while (run->m_timer_prev != nullptr && run->m_timer_prev->m_expire == run->m_expire) {
            run = run->m_timer_prev;
        }
        base->m_timer_run_head = run;
    }
    return run;
}

// Puts the event before the first one expiring no sooner, so that among equal expiries the
// newcomer leads. Timers mostly arrive in expiry order: they go to the front, behind the
// list, or before the run of equal expiries that ends it without a walk; others are placed
// walking back from that run.
void insert_timer(tarvik_event_base_t *base, tarvik_event_t *event)
{
    TimerList timers = timer_list(base);
    const uint64_t expire = event->m_expire;
    tarvik_event_t *head = base->m_timer_event_head;
    tarvik_event_t *tail = base->m_timer_event_tail;
    if (head == nullptr || expire > tail->m_expire) {
        timers.push_back(event);
        base->m_timer_run_head = event;
        return;
    }
    if (expire <= head->m_expire) {
        timers.push_front(event);
        if (expire == tail->m_expire) {
            base->m_timer_run_head = event;
        }
        return;
    }
    tarvik_event_t *at = timer_run_head(base);
    if (expire == tail->m_expire) {
        timers.insert_before(at, event);
        base->m_timer_run_head = event;
        return;
    }
    while (at->m_timer_prev->m_expire >= expire) { // stops at the head, which expires earlier
        at = at->m_timer_prev;
    }
    timers.insert_before(at, event);
}

void remove_timer(tarvik_event_base_t *base, tarvik_event_t *event)
{
    if (event == base->m_timer_run_head) {
        // The next one, when there is one, is of the same run and now leads it.
        base->m_timer_run_head = event->m_timer_next;
    }
    timer_list(base).remove(event);
    event->m_flags &= ~def_tarvik_event_timeout;
    --base->m_timer_event_count;
}

// Takes the event off the timer list and puts it back at now + timeout when it has one (a
// connect event waiting to retry without a timeout uses the retry pause).
void arm_timer(tarvik_event_base_t *base, tarvik_event_t *event)
{
    if ((event->m_flags & def_tarvik_event_timeout) != 0) {
        remove_timer(base, event);
    }
    int32_t delay = event->m_timeout;
    const uint32_t retry = def_tarvik_event_connect | def_tarvik_event_connect_failed;
    if (delay < 0 && (event->m_flags & retry) == retry) {
        delay = CONNECT_RETRY_MS;
    }
    // A timer of an event that is not added would never be looked at by a pass, yet it
    // would set every wait to 0.
    if (delay < 0 || (event->m_flags & def_tarvik_event_added) == 0) {
        return;
    }
    event->m_expire = now_msec() + static_cast<uint64_t>(delay);
    insert_timer(base, event);
    event->m_flags |= def_tarvik_event_timeout;
    ++base->m_timer_event_count;
}

// Unlinks the event from the lists named in flags that hold it; true when one did.
bool unlink_event(tarvik_event_base_t *base, tarvik_event_t *event, uint32_t flags)
{
    const uint32_t held = event->m_flags & flags;
    if ((held & IN_TIMER_LIST) != 0) {
        remove_timer(base, event);
    }
    if ((held & IN_ACTIVE_QUEUE) != 0) {
        if (event->m_priority < base->m_max_priority) {
            active_queue(base, event->m_priority).remove(event);
            event->m_flags &= ~def_tarvik_event_active;
            --base->m_active_event_count;
        } else {
            report_queue("tarvik_delete_event_queue",
                         "s_event->m_priority >= s_base->m_max_priority !", "delete_flags", flags,
                         base, event);
        }
    }
    if ((held & IN_EVENT_LIST) != 0) {
        event_list(base).remove(event);
        event->m_flags &= ~def_tarvik_event_added;
        --base->m_event_count;
    }
    return held != 0;
}

int tarvik_delete_event_queue(tarvik_event_base_t *base, tarvik_event_t *event, uint32_t flags)
{
    if (!unlink_event(base, event, flags)) {
        report_queue(__func__, "already deleted.", "delete_flags", flags, base, event);
        return -1;
    }
    return 0;
}

void tarvik_insert_event_queue(tarvik_event_base_t *base, tarvik_event_t *event, uint32_t flags)
{
    unlink_event(base, event, flags);
    if ((flags & IN_EVENT_LIST) != 0) {
        event_list(base).push_back(event);
        event->m_flags |= def_tarvik_event_added;
        ++base->m_event_count;
    }
    if ((flags & IN_TIMER_LIST) != 0) {
        arm_timer(base, event);
    }
    if ((flags & IN_ACTIVE_QUEUE) != 0) {
        if (event->m_priority >= base->m_max_priority) {
            report_queue(__func__, "s_event->m_priority >= s_base->m_max_priority !",
                         "insert_flags", flags, base, event);
            event->m_priority = base->m_max_priority / 2;
        }
        active_queue(base, event->m_priority).push_back(event);
        event->m_flags |= def_tarvik_event_active;
        ++base->m_active_event_count;
    }
}

// ---- resolver and signal hooks -----------------------------------------------------------

void tarvik_event_resolver_cache_handler(tarvik_resolver_cache_t *, int is_new, const char *,
                                         uint32_t, void *context)
{
    if (is_new != 0) {
        tarvik_event_base_wakeup(static_cast<tarvik_event_base_t *>(context));
    }
    trace(__func__, "\033[1;37mresolver handler called.\033[0m", context);
}

// Signal context: only the wake-up (a send) happens here; the pass reads the hook's count.
void tarvik_event_signal_handler(int, void *context)
{
    tarvik_event_base_wakeup(static_cast<tarvik_event_base_t *>(context));
    trace(__func__, "signal handler.", context);
}

uint32_t resolver_port(const tarvik_event_t *event)
{
    return event->m_resolver_port < 0 ? TARVIK_RESOLVER_NO_PORT
                                      : static_cast<uint32_t>(event->m_resolver_port);
}

tarvik_resolver_cache_t *resolver_cache(tarvik_event_base_t *base)
{
    if (base->m_resolver_cache == nullptr) {
        base->m_resolver_cache = tarvik_open_resolver_cache_ex(0, RESOLVER_LIFETIME);
    }
    return base->m_resolver_cache;
}

bool wants_resolution(const tarvik_event_t *event)
{
    return (event->m_flags & def_tarvik_event_resolver) != 0 && event->m_resolver_name != nullptr &&
           event->m_resolver_info == nullptr;
}

// ---- add and delete (lock held) ------------------------------------------------------------

int tarvik_add_event_internal(tarvik_event_t *event, int timeout)
{
    tarvik_event_base_t *base = event->m_base;
    // A pure timer without timeout fires on the next pass. A connect event has no descriptor
    // until its socket exists: it keeps "no timeout", or it would time out while resolving.
    const bool no_descriptor =
        event->m_fd == -1 && (event->m_flags & def_tarvik_event_connect) == 0;
    event->m_timeout = no_descriptor && timeout < 0 ? 0 : timeout;
    bool wake = false;
    if ((event->m_flags & def_tarvik_event_added) == 0) {
        if (watches_nothing(event)) {
            if ((event->m_flags & def_tarvik_event_signal) != 0 && event->m_fd >= 0 &&
                event->m_signal_node == nullptr) {
                event->m_signal_node =
                    tarvik_add_signal(event->m_fd, tarvik_event_signal_handler, base);
                if (event->m_signal_node == nullptr) {
                    report_call("tarvik_add_event", "tarvik_add_signal failed !",
                                parameters_of(event), true);
                    return -1;
                }
            }
        } else if (event->m_fd >= 0 &&
                   tarvik_set_select(base->m_select, event->m_fd, select_interest(event)) != 0) {
            report_call("tarvik_add_event", "tarvik_set_select failed !", parameters_of(event),
                        true);
            return -1;
        }
        event_list(base).push_back(event);
        event->m_flags |= def_tarvik_event_added;
        ++base->m_event_count;
        if (wants_resolution(event)) {
            tarvik_resolver_cache_t *cache = resolver_cache(base);
            wake = cache == nullptr || tarvik_request_resolver_cache_with_handler(
                                           cache, event->m_resolver_name, resolver_port(event),
                                           tarvik_event_resolver_cache_handler, base) != 0;
        }
    }
    arm_timer(base, event);
    trace(__func__, "add event.", event);
    if (wake) {
        tarvik_event_base_wakeup(base);
    } else {
        tarvik_event_base_notify(base);
    }
    return 0;
}

int tarvik_del_event_internal(tarvik_event_t *event)
{
    tarvik_event_base_t *base = event->m_base;
    const bool was_added = (event->m_flags & def_tarvik_event_added) != 0;
    bool select_ok = true;
    unlink_event(base, event, IN_TIMER_LIST | IN_ACTIVE_QUEUE | IN_EVENT_LIST);
    if (was_added) {
        event->m_flags &=
            ~(def_tarvik_event_connecting | def_tarvik_event_connect_failed | OWN_SOCKET);
        if (event->m_signal_node != nullptr) {
            tarvik_del_signal(event->m_signal_node);
            event->m_signal_node = nullptr;
        }
        if (!watches_nothing(event) && event->m_fd >= 0 &&
            tarvik_set_select(base->m_select, event->m_fd, 0) != 0) {
            report_call(__func__, "tarvik_set_select failed !", parameters_of(event), true);
            select_ok = false;
        }
        event->m_resolver_info = tarvik_close_resolver(event->m_resolver_info);
    }
    trace(__func__, "del event.", event);
    if (was_added && select_ok) {
        tarvik_event_base_notify(base);
    }
    return 0;
}

// ---- built-in connect (lock held) ---------------------------------------------------------------

// The local address of a connect to an address of family; false when the bind address is no
// address of that family.
bool local_address(const tarvik_event_t *event, int family, struct sockaddr_storage *local)
{
    memset(local, 0, sizeof(*local));
    const uint16_t port = event->m_bind_port >= 0 && event->m_bind_port <= 65535
                              ? static_cast<uint16_t>(event->m_bind_port)
                              : 0;
    const char *bind = event->m_bind_address;
    if (family == AF_INET) {
        auto *in = reinterpret_cast<struct sockaddr_in *>(local);
        in->sin_family = AF_INET;
        in->sin_port = tarvik_be16_order(port);
        in->sin_addr.s_addr = tarvik_be32_order(0);
        return bind == nullptr || tarvik_inet_pton(AF_INET, bind, &in->sin_addr) == 0;
    }
    auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(local);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = tarvik_be16_order(port);
    return bind == nullptr || tarvik_inet_pton(AF_INET6, bind, &in6->sin6_addr) == 0;
}

// One address: -1 when it is skipped, else the descriptor with *in_progress telling a pending
// connect from a finished one.
int connect_to(tarvik_event_t *event, const tarvik_resolver_t *address, bool *in_progress)
{
    const int family = address->family;
    struct sockaddr_storage local;
    if ((family != AF_INET && family != AF_INET6) || !local_address(event, family, &local)) {
        return -1;
    }
    int fd = event->m_fd;
    const bool opened = fd < 0;
    if (opened) {
        fd = tarvik_open_socket(family, SOCK_STREAM, tarvik_get_protocol_by_name("tcp"));
        if (fd < 0) {
            return -1;
        }
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        if (family == AF_INET6) {
            const int off = 0;
            tarvik_setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
        }
    }
    int result = tarvik_bind(fd, reinterpret_cast<struct sockaddr *>(&local), 128);
    int error = errno;
    if (result == 0) {
        tarvik_set_non_block_socket(fd, 1);
        result = connect(fd, address->address,
                         static_cast<socklen_t>(
                             tarvik_sockaddr_size(address->address, address->address_length)));
        error = errno;
        tarvik_set_non_block_socket(fd, 0);
    }
    *in_progress = result != 0 && error == EINPROGRESS;
    if (result == 0 || *in_progress) {
        return fd;
    }
    if (opened) {
        tarvik_close_socket(fd);
    }
    return -1;
}

// Every attempt that failed marks a persistent event to hold its retry until its timer runs
// out; what always reports the failure once.
void connect_failed(tarvik_event_t *event)
{
    event->m_what |= def_tarvik_event_connect_failed;
    if ((event->m_flags & def_tarvik_event_persist) != 0) {
        event->m_flags |= def_tarvik_event_connect_failed;
    }
}

void tarvik_connecting_event_process(tarvik_event_t *event)
{
    for (const tarvik_resolver_t *address = event->m_resolver_info; address != nullptr;
         address = address->next) {
        bool in_progress = false;
        const bool opened = event->m_fd < 0;
        const int fd = connect_to(event, address, &in_progress);
        if (fd < 0) {
            continue;
        }
        event->m_fd = fd;
        const uint32_t state =
            in_progress ? def_tarvik_event_connecting : def_tarvik_event_connected;
        event->m_flags |= state | (opened && in_progress ? OWN_SOCKET : 0);
        event->m_what |= state;
        set_registration(event, select_interest(event));
        trace(__func__, in_progress ? "connecting..." : "connected immediately.", event);
        return;
    }
    set_registration(event, 0);
    connect_failed(event);
    trace(__func__, "immediately connect failed !", event);
}

void tarvik_check_connection_event_process(tarvik_event_t *event)
{
    int error = 0;
    socklen_t length = sizeof(error);
    const bool own_socket = (event->m_flags & OWN_SOCKET) != 0;
    event->m_flags &= ~(def_tarvik_event_connecting | OWN_SOCKET);
    if (tarvik_getsockopt(event->m_fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
        event->m_flags |= def_tarvik_event_connected;
        event->m_what |= def_tarvik_event_connected;
        set_registration(event, select_interest(event));
        trace(__func__, "connected.", event);
        return;
    }
    set_registration(event, 0);
    if (own_socket) {
        event->m_fd = tarvik_close_socket(event->m_fd);
    }
    connect_failed(event);
    trace(__func__, "connect failed !", event);
}

void connect_step(tarvik_event_t *event, uint32_t ready, uint64_t now)
{
    if ((event->m_flags & def_tarvik_event_connect_failed) != 0) {
        if ((event->m_flags & def_tarvik_event_timeout) != 0 && now < event->m_expire) {
            return;
        }
        event->m_flags &= ~def_tarvik_event_connect_failed;
    }
    if ((event->m_flags & def_tarvik_event_connecting) != 0) {
        if (ready != 0) {
            tarvik_check_connection_event_process(event);
        }
    } else if (event->m_resolver_info != nullptr) {
        tarvik_connecting_event_process(event);
    }
}

// ---- one pass (lock held) -------------------------------------------------------------------

void resolve_step(tarvik_event_base_t *base, tarvik_event_t *event)
{
    tarvik_resolver_cache_t *cache = resolver_cache(base);
    if (cache == nullptr) {
        tarvik_event_base_wakeup(base);
        return;
    }
    tarvik_resolver_t *list =
        tarvik_get_resolver_cache_with_handler(cache, event->m_resolver_name, resolver_port(event),
                                               0, tarvik_event_resolver_cache_handler, base);
    if (list != nullptr) {
        event->m_resolver_info = list;
        event->m_what |= def_tarvik_event_resolver;
    }
}

// Readiness of the event's descriptor in the last dispatch; *ready counts down the bits
// select reported, so the lookups stop once all were found.
uint32_t readiness(tarvik_event_base_t *base, const tarvik_event_t *event, int *ready)
{
    uint32_t bits = 0;
    if (*ready <= 0 || event->m_fd < 0) {
        return 0;
    }
    const int registered = tarvik_get_select_flags(base->m_select, event->m_fd);
    for (int bit = def_tarvik_select_read; bit <= def_tarvik_select_except && *ready > 0;
         bit <<= 1) {
        if ((registered & bit) != 0 && tarvik_is_select(base->m_select, event->m_fd, bit) > 0) {
            bits |= static_cast<uint32_t>(bit);
            --*ready;
        }
    }
    return bits;
}

// Works out every event's what bits and queues the events that have some.
void collect_events(tarvik_event_base_t *base, int ready, uint64_t now)
{
    for (tarvik_event_t *event = base->m_event_head; event != nullptr; event = event->m_next) {
        if ((event->m_flags & def_tarvik_event_active) == 0) {
            event->m_what = 0;
        }
        if (wants_resolution(event)) {
            resolve_step(base, event);
        }
        if (watches_nothing(event)) {
            if ((event->m_flags & def_tarvik_event_signal) != 0 &&
                event->m_signal_node != nullptr && event->m_fd >= 0 &&
                tarvik_reset_signal_node_count(event->m_signal_node) > 0) {
                event->m_what |= def_tarvik_event_signal;
            }
        } else {
            const uint32_t bits = readiness(base, event, &ready);
            if (waits_for_connection(event)) {
                connect_step(event, bits, now);
            } else {
                event->m_what |= bits;
            }
        }
        if (event->m_what == 0 && event->m_timeout >= 0 &&
            (event->m_flags & def_tarvik_event_timeout) != 0 && now >= event->m_expire) {
            event->m_what = def_tarvik_event_timeout;
        }
        if (event->m_what != 0 && (event->m_flags & def_tarvik_event_active) == 0) {
            tarvik_insert_event_queue(base, event, IN_ACTIVE_QUEUE);
        }
    }
}

// Serves the first level that has active events; the number served, *stopped when the break
// flag ended the serving.
uint32_t tarvik_process_active_event(tarvik_event_base_t *base, bool *stopped)
{
    uint32_t level = 0;
    while (level < base->m_max_priority && base->m_active_event_head[level] == nullptr) {
        ++level;
    }
    uint32_t served = 0;
    // A handler may have replaced the levels (when nothing else was active): check each time.
    while (level < base->m_max_priority && base->m_active_event_head[level] != nullptr) {
        tarvik_event_t *event = base->m_active_event_head[level];
        if ((event->m_flags & def_tarvik_event_persist) == 0) {
            tarvik_del_event_internal(event);
        } else {
            tarvik_delete_event_queue(base, event, IN_ACTIVE_QUEUE);
            tarvik_insert_event_queue(base, event, IN_TIMER_LIST);
        }
        ++served;
        tarvik_event_handler_t handler = event->m_handler;
        if (handler != nullptr) {
            const int fd = event->m_fd;
            const uint32_t what = event->m_what;
            void *context = event->m_context;
            unlock_base(base);
            handler(event, fd, what, context);
            tarvik_lock_tag(base->m_lock, TARVIK_TAG);
        }
        if (base->m_break != 0) {
            *stopped = true;
            break;
        }
    }
    return served;
}

int wait_time(tarvik_event_base_t *base, int flags)
{
    if (base->m_active_event_count != 0 || (flags & def_tarvik_event_loop_nonblock) != 0) {
        return 0;
    }
    const tarvik_event_t *first = base->m_timer_event_head;
    if (first == nullptr) {
        return -1;
    }
    const uint64_t now = now_msec();
    if (first->m_expire <= now) {
        return 0;
    }
    const uint64_t left = first->m_expire - now;
    return left > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
}

// The passes of one loop call; the lock is held throughout except around handler calls.
int run_passes(tarvik_event_base_t *base, int flags)
{
    const char *name = "tarvik_event_base_loop";
    for (;;) {
        if (__atomic_load_n(&base->m_exit, __ATOMIC_ACQUIRE) != 0) {
            trace(name, "exit event base loop.", base);
            return 0;
        }
        if (base->m_break != 0) {
            base->m_break = 0;
            trace(name, "break event base loop.", base);
            return 0;
        }
        const int wait = wait_time(base, flags);
        if (base->m_event_count == 0 && base->m_active_event_count == 0) {
            trace(name, "no event registered.", base);
            return 0;
        }
        trace_format(name, "select dispatch waiting... %d msec", wait);
        const int ready = tarvik_select_dispatch(base->m_select, wait);
        if (ready == -1) {
            if (errno != EINTR) {
                report_loop("tarvik_select_dispatch failed !", base, flags);
            }
            return -1;
        }
        trace_format(name, "select dispatched %d", ready);
        collect_events(base, ready, now_msec());
        uint32_t served = 0;
        bool stopped = false;
        if (base->m_active_event_count == 0) {
            if ((flags & def_tarvik_event_loop_nonblock) != 0) {
                trace(name, "break event base non-block loop.", base);
                return 0;
            }
        } else {
            served = tarvik_process_active_event(base, &stopped);
        }
        if ((flags & def_tarvik_event_loop_once) != 0 && base->m_active_event_count == 0 &&
            (served != 0 || stopped)) {
            trace(name, "break event base once loop.", base);
            return 0;
        }
        if ((flags & def_tarvik_event_loop_global_break) != 0 && tarvik_get_global_break() != 0) {
            __atomic_store_n(&base->m_exit, 1, __ATOMIC_RELEASE);
            trace(name, "global-break event base loop.", base);
            return 0;
        }
    }
}

// ---- assignment -----------------------------------------------------------------------------

// Both assign forms; base is not null. A failed string copy unassigns the record again.
int assign_event(tarvik_event_base_t *base, tarvik_event_t *event, const CallParameters &call,
                 bool with_resolver)
{
    const char *name = "__tarvik_assign_event_with_resolver";
    // Zeroing the links of a queued record would cut the base's lists.
    const uint32_t queued = def_tarvik_event_added | def_tarvik_event_active;
    if ((event->m_flags & def_tarvik_event_initialized) != 0 && (event->m_flags & queued) != 0 &&
        event->m_base != nullptr) {
        report_call(name, "s_event is already added !", call, false);
        return -1;
    }
    memset(event, 0, offsetof(tarvik_event_t, m_base));
    event->m_base = base;
    event->m_priority = base->m_max_priority / 2;
    event->m_timeout = -1;
    event->m_expire = 0;
    event->m_flags = (call.m_flags & ASSIGN_MASK) | def_tarvik_event_initialized |
                     (with_resolver ? def_tarvik_event_resolver : 0u);
    event->m_what = 0;
    event->m_fd = call.m_fd;
    event->m_handler = call.m_handler;
    event->m_context = call.m_context;
    event->m_bind_address = nullptr;
    event->m_bind_port = -1;
    event->m_resolver_name = nullptr;
    event->m_resolver_port = -1;
    event->m_resolver_info = nullptr;
    event->m_rx_buffer = nullptr;
    event->m_rx_high_watermark = 0;
    event->m_tx_buffer = nullptr;
    event->m_tx_low_watermark = 1;
    event->m_signal_node = nullptr;
    const char *kind = base == current_base()                               ? "set"
                       : (event->m_flags & def_tarvik_event_allocated) != 0 ? "new"
                                                                            : "assign";
    const char *copy_failed = nullptr;
    if (call.m_bind_address != nullptr &&
        (event->m_bind_address = tarvik_strdup_tag(call.m_bind_address, TARVIK_TAG)) == nullptr) {
        copy_failed = "bind_address";
    } else if (call.m_resolver_name != nullptr &&
               (event->m_resolver_name = tarvik_strdup_tag(call.m_resolver_name, TARVIK_TAG)) ==
                   nullptr) {
        copy_failed = "resolver_name";
    }
    if (copy_failed != nullptr) {
        char text[80];
        tarvik_snprintf(text, sizeof(text), "not enough memory for %s ! %s event failed !",
                        copy_failed, kind);
        tarvik_error_printf(
            ERROR_HEAD "%s" PLAIN " (event=%p, base=%p, priority=%lu, fd=%ld, flags=%08XH, "
                       "handler=%p, context=%p, bind_address=\"%s\", bind_port=%d, "
                       "resolver_name=\"%s\", resolver_port=%d, resolver_info=%p)\n",
            name, text, static_cast<void *>(event), static_cast<void *>(base),
            static_cast<unsigned long>(event->m_priority), static_cast<long>(call.m_fd),
            event->m_flags, pointer(call.m_handler), call.m_context, call.m_bind_address,
            call.m_bind_port, call.m_resolver_name, call.m_resolver_port,
            static_cast<void *>(event->m_resolver_info));
        tarvik_unassign_event(event);
        return -1;
    }
    if (call.m_bind_port >= 0 && call.m_bind_port < 65536) {
        event->m_bind_port = call.m_bind_port;
    }
    if (call.m_resolver_port >= 0 && call.m_resolver_port < 65536) {
        event->m_resolver_port = call.m_resolver_port;
    }
    trace_format(name, "%s event%s.", kind, with_resolver ? " with resolver" : "");
    if (call.m_handler != nullptr) {
        call.m_handler(event, call.m_fd, def_tarvik_event_initialized, call.m_context);
    }
    return 0;
}

int assign_form(const char *function, tarvik_event_base_t *base, tarvik_event_t *event,
                const CallParameters &call, bool with_resolver)
{
    if (event == nullptr) {
        if (with_resolver) {
            report_call(function, "s_event is null !", call, false);
        } else {
            tarvik_error_printf(ERROR_HEAD "s_event is null !" PLAIN F_HEAD ")\n", function,
                                static_cast<void *>(call.m_base), static_cast<long>(call.m_fd),
                                call.m_flags, pointer(call.m_handler), call.m_context);
        }
        return -1;
    }
    if (base == nullptr) {
        base = tarvik_init_event_base();
        if (base == nullptr) {
            return -1;
        }
    }
    return assign_event(base, event, call, with_resolver);
}

void report_new(const char *function, const char *text, const void *event,
                const CallParameters &call, bool with_resolver)
{
    char head[48];
    if (event == nullptr) {
        tarvik_snprintf(head, sizeof(head), "s_event is null");
    } else {
        tarvik_snprintf(head, sizeof(head), "event=%p", event);
    }
    if (with_resolver) {
        tarvik_error_printf(ERROR_HEAD "%s" PLAIN " (%s, fd=%ld, flags=%08XH, handler=%p, "
                                       "context=%p" F_TAIL,
                            function, text, head, static_cast<long>(call.m_fd), call.m_flags,
                            pointer(call.m_handler), call.m_context, call.m_bind_address,
                            call.m_bind_port, call.m_resolver_name, call.m_resolver_port);
    } else {
        tarvik_error_printf(ERROR_HEAD "%s" PLAIN " (%s, fd=%ld, flags=%08XH, handler=%p, "
                                       "context=%p)\n",
                            function, text, head, static_cast<long>(call.m_fd), call.m_flags,
                            pointer(call.m_handler), call.m_context);
    }
}

tarvik_event_t *new_event(const char *function, tarvik_event_base_t *base, CallParameters call,
                          bool with_resolver)
{
    auto *event = static_cast<tarvik_event_t *>(
        tarvik_alloc_tag(sizeof(tarvik_event_t), function, static_cast<unsigned long>(__LINE__)));
    if (event == nullptr) {
        report_new(function, "not enough memory !", nullptr, call, with_resolver);
        return nullptr;
    }
    memset(event, 0, sizeof(*event));
    call.m_flags |= def_tarvik_event_allocated;
    if (assign_form(function, base, event, call, with_resolver) != 0) {
        report_new(function, "tarvik_assign_event failed !", event, call, with_resolver);
        tarvik_free_tag(event, function, static_cast<unsigned long>(__LINE__));
        return nullptr;
    }
    return event;
}

// ---- one-shot events and the loop's own handlers ---------------------------------------------

int32_t tarvik_event_base_once_handler(tarvik_event_t *event, int fd, uint32_t what, void *context)
{
    auto *once = static_cast<OnceRecord *>(context);
    int32_t result = 0;
    if (once->m_handler != nullptr) {
        result = once->m_handler(event, fd, what, once->m_context);
    }
    if ((what & def_tarvik_event_unassigned) != 0) {
        tarvik_free_tag(once, TARVIK_TAG);
    } else if ((what & def_tarvik_event_initialized) == 0 &&
               (event->m_flags & def_tarvik_event_persist) == 0) {
        tarvik_unassign_event(event); // calls this handler again, which frees the record
    }
    return result;
}

int32_t tarvik_event_base_exit_loop_handler(tarvik_event_t *, int, uint32_t what, void *context)
{
    if ((what & LIFECYCLE_CALL) != 0) {
        return 0;
    }
    auto *base = static_cast<tarvik_event_base_t *>(context);
    lock_base(base);
    __atomic_store_n(&base->m_exit, 1, __ATOMIC_RELEASE);
    unlock_base(base);
    return 0;
}

int tarvik_event_base_dispatch_service_handler(tarvik_service_t *service, void *context)
{
    auto *base = static_cast<tarvik_event_base_t *>(context);
    const char *name = "tarvik_event_base_dispatch_service_handler";
    tarvik_ack_service(service);
    trace(name, "event_base_dispatch_service starting...", base);
    while (tarvik_break_service(service) == 0 &&
           __atomic_load_n(&base->m_exit, __ATOMIC_ACQUIRE) == 0) {
        if (tarvik_event_base_dispatch(base) == -1) {
            tarvik_load_balance_short();
        }
    }
    trace(name, "event_base_dispatch_service stoping...", base);
    return 0;
}

int tarvik_event_base_dispatch_service_notify_handler(tarvik_service_t *, void *context)
{
    tarvik_event_base_exit_loop(static_cast<tarvik_event_base_t *>(context), 0);
    trace("tarvik_event_base_dispatch_service_notify_handler",
          "event_base_dispatch_service close notify.", context);
    return 0;
}

// Ends the process so that its parent sees the signal, not a normal exit.
[[noreturn]] void end_by_signal(int signal)
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    _exit(128 + signal);
}

// The queue field chosen by one which bit.
tarvik_buffer_t **queue_of(tarvik_event_t *event, int which)
{
    return which == def_tarvik_event_buffer_receive ? &event->m_rx_buffer : &event->m_tx_buffer;
}

ssize_t push_nolock(tarvik_event_t *event, int which, const void *data, size_t size)
{
    if ((which & (def_tarvik_event_buffer_receive | def_tarvik_event_buffer_send)) == 0) {
        return -1;
    }
    ssize_t total = 0;
    for (int chosen = def_tarvik_event_buffer_receive; chosen <= def_tarvik_event_buffer_send;
         chosen <<= 1) {
        if ((which & chosen) == 0) {
            continue;
        }
        tarvik_buffer_t **queue = queue_of(event, chosen);
        if (*queue == nullptr && (*queue = tarvik_open_buffer()) == nullptr) {
            total = -1;
            break;
        }
        total += static_cast<ssize_t>(tarvik_push_buffer(*queue, data, size));
    }
    update_registration(event);
    return total;
}

} // namespace

namespace tarvik::detail {

bool event_base_validate(const tarvik_event_base_t *base)
{
    auto *mutable_base = const_cast<tarvik_event_base_t *>(base);
    bool ok = TARVIK_CHECK(base != nullptr);
    if (!ok) {
        return false;
    }
    const EventList events = event_list(mutable_base);
    ok = TARVIK_CHECK(events.validate(base->m_event_count)) && ok;
    ok = TARVIK_CHECK(events.count() == base->m_event_count) && ok;
    for (const tarvik_event_t *event = base->m_event_head; event != nullptr;
         event = event->m_next) {
        ok = TARVIK_CHECK((event->m_flags & def_tarvik_event_added) != 0) && ok;
        ok = TARVIK_CHECK(event->m_base == base) && ok;
    }
    const TimerList timers = timer_list(mutable_base);
    ok = TARVIK_CHECK(timers.validate(base->m_timer_event_count)) && ok;
    ok = TARVIK_CHECK(timers.count() == base->m_timer_event_count) && ok;
    for (const tarvik_event_t *event = base->m_timer_event_head; event != nullptr;
         event = event->m_timer_next) {
        ok = TARVIK_CHECK((event->m_flags & def_tarvik_event_timeout) != 0) && ok;
        ok = TARVIK_CHECK((event->m_flags & def_tarvik_event_added) != 0) && ok;
        ok = TARVIK_CHECK(event->m_timer_next == nullptr ||
                          event->m_expire <= event->m_timer_next->m_expire) &&
             ok;
    }
    const tarvik_event_t *run = base->m_timer_run_head;
    if (run != nullptr) {
        ok = TARVIK_CHECK(timers.contains(run)) && ok;
        ok = TARVIK_CHECK(run->m_expire == base->m_timer_event_tail->m_expire) && ok;
        ok = TARVIK_CHECK(run->m_timer_prev == nullptr ||
                          run->m_timer_prev->m_expire < run->m_expire) &&
             ok;
    }
    size_t active = 0;
    ok = TARVIK_CHECK(base->m_max_priority >= 1 &&
                      base->m_max_priority < def_tarvik_event_max_priority) &&
         ok;
    for (uint32_t level = 0; level < base->m_max_priority; ++level) {
        const ActiveList queue = active_queue(mutable_base, level);
        ok = TARVIK_CHECK(queue.validate(base->m_active_event_count)) && ok;
        for (const tarvik_event_t *event = base->m_active_event_head[level]; event != nullptr;
             event = event->m_active_next) {
            ok = TARVIK_CHECK((event->m_flags & def_tarvik_event_active) != 0) && ok;
            ok = TARVIK_CHECK(event->m_priority == level) && ok;
            ++active;
        }
    }
    ok = TARVIK_CHECK(active == base->m_active_event_count) && ok;
    return ok;
}

} // namespace tarvik::detail

extern "C" {

// ---- bases ---------------------------------------------------------------------------------

TARVIK_API tarvik_event_base_t *tarvik_new_event_base(void)
{
    auto *base = static_cast<tarvik_event_base_t *>(
        tarvik_alloc_tag(sizeof(tarvik_event_base_t), TARVIK_TAG));
    if (base == nullptr) {
        tarvik_error_printf(ERROR_HEAD "not enough memory !" PLAIN " (s_base is null)\n", __func__);
        return nullptr;
    }
    memset(base, 0, sizeof(*base));
    base->m_thread_id = tarvik_get_thread_id();
    base->m_notify_fd[0] = -1;
    base->m_notify_fd[1] = -1;
    base->m_check_service = tarvik_event_base_dispatch_check_service;
    base->m_start_service = tarvik_event_base_dispatch_start_service;
    base->m_stop_service = tarvik_event_base_dispatch_stop_service;
    const char *failure = nullptr;
    if ((base->m_lock = tarvik_new_lock_tag(TARVIK_TAG)) == nullptr) {
        failure = "tarvik_new_lock failed !";
    } else if ((base->m_select = tarvik_open_select()) == nullptr) {
        failure = "tarvik_open_select failed !";
    } else if (tarvik_event_base_init_priority(base, 1) != 0) {
        failure = "tarvik_event_base_init_priority failed !";
    } else if (tarvik_socket_pipe(base->m_notify_fd) != 0) {
        failure = "tarvik_socket_pipe for notify failed !";
    } else if (tarvik_assign_event(base, &base->m_notify_event, base->m_notify_fd[0],
                                   def_tarvik_event_read | def_tarvik_event_persist,
                                   tarvik_event_base_notify_event_handler, nullptr) != 0) {
        failure = "tarvik_assign_event for notify failed !";
    } else if (tarvik_add_event(&base->m_notify_event, -1) != 0) {
        failure = "tarvik_add_event for notify failed !";
    }
    if (failure != nullptr) {
        report_base(__func__, failure, base);
        tarvik_free_event_base(base);
        return nullptr;
    }
    // Programs started by a handler do not inherit the pair.
    fcntl(base->m_notify_fd[0], F_SETFD, FD_CLOEXEC);
    fcntl(base->m_notify_fd[1], F_SETFD, FD_CLOEXEC);
    trace(__func__, "new event_base.", base);
    return base;
}

TARVIK_API tarvik_event_base_t *tarvik_init_event_base(void)
{
    tarvik::detail::ShortLockGuard guard(&s_current_lock);
    tarvik_event_base_t *base = current_base();
    if (base == nullptr) {
        base = tarvik_new_event_base();
        if (base == nullptr) {
            tarvik_error_printf(ERROR_HEAD "unable to construct event_base !" PLAIN
                                           " (__g_tarvik_current_event_base is null)\n",
                                __func__);
            return nullptr;
        }
        __atomic_store_n(&g_tarvik_current_event_base, base, __ATOMIC_RELEASE);
    }
    return base;
}

TARVIK_API int tarvik_free_event_base(tarvik_event_base_t *base)
{
    {
        tarvik::detail::ShortLockGuard guard(&s_current_lock);
        tarvik_event_base_t *current = current_base();
        if (base == nullptr) {
            base = current;
        }
        if (base != nullptr && base == current) {
            __atomic_store_n(&g_tarvik_current_event_base, nullptr, __ATOMIC_RELEASE);
        }
    }
    if (base == nullptr) {
        tarvik_error_printf(WARNING_HEAD "no base to free !" PLAIN "\n", __func__);
        return 0;
    }
    if (base->m_dispatch_service != nullptr) {
        tarvik_event_base_dispatch_stop_service(base);
    }
    tarvik_close_resolver_cache(base->m_resolver_cache);
    base->m_resolver_cache = nullptr;
    if ((base->m_notify_event.m_flags & def_tarvik_event_initialized) != 0) {
        tarvik_unassign_event(&base->m_notify_event);
    }
    base->m_notify_fd[0] = tarvik_close_socket(base->m_notify_fd[0]);
    base->m_notify_fd[1] = tarvik_close_socket(base->m_notify_fd[1]);
    // Added events first, then any activated by hand without being added.
    for (tarvik_event_t *event; (event = base->m_event_head) != nullptr;) {
        tarvik_free_event(event);
        if (!TARVIK_CHECK(base->m_event_head != event)) {
            break;
        }
    }
    for (uint32_t level = 0; base->m_active_event_head != nullptr && level < base->m_max_priority;
         ++level) {
        for (tarvik_event_t *event; (event = base->m_active_event_head[level]) != nullptr;) {
            tarvik_free_event(event);
            if (!TARVIK_CHECK(base->m_active_event_head[level] != event)) {
                break;
            }
        }
    }
    if (base->m_event_count != 0) {
        tarvik_assert_fail_tag("source/event", __func__, __LINE__,
                               "s_base->m_event_count == ((size_t)0u)");
    }
    if (base->m_timer_event_count != 0) {
        tarvik_assert_fail_tag("source/event", __func__, __LINE__,
                               "s_base->m_timer_event_count == ((size_t)0u)");
    }
    if (base->m_active_event_count != 0) {
        tarvik_assert_fail_tag("source/event", __func__, __LINE__,
                               "s_base->m_active_event_count == ((size_t)0u)");
    }
    if (base->m_active_event_head != nullptr) {
        tarvik_free_tag(base->m_active_event_head, TARVIK_TAG);
    }
    tarvik_close_select(base->m_select);
    tarvik_free_lock_tag(base->m_lock, TARVIK_TAG);
    trace(__func__, "free event_base.", base);
    tarvik_free_tag(base, TARVIK_TAG);
    return 0;
}

TARVIK_API int tarvik_event_base_init_priority(tarvik_event_base_t *base, size_t count)
{
    const unsigned long levels = static_cast<unsigned long>(count);
    if (count < 1) {
        tarvik_error_printf(ERROR_HEAD "s_max_priority < 1 !" PLAIN
                                       " (base=%p, max_priority=%lu)\n",
                            __func__, static_cast<void *>(base), levels);
        return -1;
    }
    if (count >= def_tarvik_event_max_priority) {
        tarvik_error_printf(ERROR_HEAD
                            "s_max_priority >= def_tarvik_event_max_priority !" PLAIN
                            " (base=%p, max_priority=%lu, def_tarvik_event_max_priority=%lu)\n",
                            __func__, static_cast<void *>(base), levels,
                            static_cast<unsigned long>(def_tarvik_event_max_priority));
        return -1;
    }
    if (base == nullptr) {
        tarvik_error_printf(ERROR_HEAD "s_base is null !" PLAIN " (base=%p, max_priority=%lu)\n",
                            __func__, static_cast<void *>(base), levels);
        return -1;
    }
    lock_base(base);
    if (base->m_active_event_count != 0) {
        unlock_base(base);
        tarvik_error_printf(ERROR_HEAD "active event to be zero !" PLAIN
                                       " (base=%p, max_priority=%lu)\n",
                            __func__, static_cast<void *>(base), levels);
        return -1;
    }
    const size_t bytes = 2 * count * sizeof(tarvik_event_t *);
    auto **heads = static_cast<tarvik_event_t **>(tarvik_alloc_tag(bytes, TARVIK_TAG));
    if (heads == nullptr) {
        unlock_base(base);
        tarvik_error_printf(ERROR_HEAD
                            "not enough memory !" PLAIN
                            " (s_base->m_active_event_head is null, base=%p, max_priority=%lu)\n",
                            __func__, static_cast<void *>(base), levels);
        return -1;
    }
    if (base->m_active_event_head != nullptr) {
        tarvik_free_tag(base->m_active_event_head, TARVIK_TAG);
    }
    memset(heads, 0, bytes);
    base->m_active_event_head = heads;
    base->m_active_event_tail = heads + count;
    base->m_max_priority = static_cast<uint32_t>(count);
    trace(__func__, "base init priority.", base);
    unlock_base(base);
    return 0;
}

TARVIK_API int tarvik_event_base_loop(tarvik_event_base_t *base, int flags)
{
    if (base == nullptr) {
        tarvik_error_printf(ERROR_HEAD "s_base is null !" PLAIN " (base=%p, flags=%08XH)\n",
                            __func__, static_cast<void *>(base), static_cast<uint32_t>(flags));
        return -1;
    }
    tarvik_lock_tag(base->m_lock, TARVIK_TAG);
    if (base->m_looping != 0) {
        report_loop("reentrant invocation ! only one loop !", base, flags);
        tarvik_unlock_tag(base->m_lock, TARVIK_TAG);
        return -1;
    }
    __atomic_store_n(&base->m_looping, 1, __ATOMIC_RELEASE);
    base->m_thread_id = tarvik_get_thread_id();
    trace(__func__, "event base loop.", base);
    __atomic_store_n(&base->m_exit, 0, __ATOMIC_RELEASE);
    base->m_break = 0;
    const int result = run_passes(base, flags);
    __atomic_store_n(&base->m_looping, 0, __ATOMIC_RELEASE);
    tarvik_unlock_tag(base->m_lock, TARVIK_TAG);
    return result;
}

TARVIK_API int tarvik_event_base_dispatch(tarvik_event_base_t *base)
{
    return tarvik_event_base_loop(base, 0);
}

TARVIK_API int tarvik_event_base_exit_loop(tarvik_event_base_t *base, int delay_ms)
{
    return tarvik_event_base_once(base, -1, 0, tarvik_event_base_exit_loop_handler, base, delay_ms);
}

TARVIK_API int tarvik_event_base_break_loop(tarvik_event_base_t *base)
{
    if (base == nullptr) {
        report_null_base(__func__);
        return -1;
    }
    lock_base(base);
    base->m_break = 1;
    tarvik_event_base_notify(base);
    trace(__func__, "event loop break.", base);
    unlock_base(base);
    return 0;
}

TARVIK_API int tarvik_event_base_get_exit(tarvik_event_base_t *base)
{
    if (base == nullptr) {
        report_null_base(__func__);
        return -1;
    }
    return __atomic_load_n(&base->m_exit, __ATOMIC_ACQUIRE) != 0 ? 1 : 0;
}

TARVIK_API int tarvik_event_base_once(tarvik_event_base_t *base, int fd, uint32_t flags,
                                      tarvik_event_handler_t handler, void *context, int timeout_ms)
{
    return tarvik_event_base_once_with_resolver(base, fd, flags, handler, context, timeout_ms,
                                                nullptr, -1, nullptr, -1);
}

TARVIK_API int tarvik_event_base_once_with_resolver(tarvik_event_base_t *base, int fd,
                                                    uint32_t flags, tarvik_event_handler_t handler,
                                                    void *context, int timeout_ms,
                                                    const char *bind_address, int bind_port,
                                                    const char *resolver_name, int resolver_port)
{
    if (base == nullptr) {
        report_null_base(__func__);
        return -1;
    }
    const CallParameters call = {base,       fd,           flags,     handler,       context,
                                 timeout_ms, bind_address, bind_port, resolver_name, resolver_port};
    auto *once = static_cast<OnceRecord *>(tarvik_alloc_tag(sizeof(OnceRecord), TARVIK_TAG));
    if (once == nullptr) {
        report_call(__func__, "not enough memory !", call, true);
        return -1;
    }
    memset(once, 0, sizeof(*once));
    once->m_handler = handler;
    once->m_context = context;
    // The record is the once handler's to free: never marked as allocated.
    CallParameters own = call;
    own.m_flags = flags & ~def_tarvik_event_allocated;
    own.m_handler = tarvik_event_base_once_handler;
    own.m_context = once;
    if (assign_event(base, &once->m_event, own, true) != 0) {
        // A failed assignment has unassigned the record, and its handler has freed it.
        report_call(__func__, "tarvik_assign_event failed !", call, true);
        return -1;
    }
    if (tarvik_add_event(&once->m_event, timeout_ms) != 0) {
        report_call(__func__, "tarvik_add_event failed !", call, true);
        tarvik_unassign_event(&once->m_event);
        return -1;
    }
    trace(__func__, "event base once.", base);
    return 0;
}

TARVIK_API int tarvik_event_base_dispatch_start_service(tarvik_event_base_t *base)
{
    if (base == nullptr) {
        tarvik_error_printf(ERROR_HEAD "s_base is null" PLAIN "\n", __func__);
        return -1;
    }
    if (base->m_dispatch_service != nullptr) {
        report_base(__func__, "already started service !", base);
        return -1;
    }
    // An exit left over from an earlier loop would stop the service before it ran.
    __atomic_store_n(&base->m_exit, 0, __ATOMIC_RELEASE);
    tarvik_service_t *service = tarvik_open_service_ex(
        "event_base_dispatch service", tarvik_event_base_dispatch_service_handler, base, 0);
    if (service == nullptr) {
        report_base(__func__, "tarvik_open_service failed ! !", base);
        return -1;
    }
    tarvik_service_register_close_notify_handler(
        service, tarvik_event_base_dispatch_service_notify_handler, base);
    base->m_dispatch_service = service;
    trace(__func__, "event_base_dispatch_service started.", base);
    return 0;
}

TARVIK_API int tarvik_event_base_dispatch_stop_service(tarvik_event_base_t *base)
{
    if (base == nullptr) {
        tarvik_error_printf(ERROR_HEAD "s_base is null" PLAIN "\n", __func__);
        return -1;
    }
    tarvik_service_t *service = base->m_dispatch_service;
    if (service == nullptr) {
        report_base(__func__, "already stopped service !", base);
        return -1;
    }
    tarvik_close_service(service);
    base->m_dispatch_service = nullptr;
    trace(__func__, "event_base_dispatch_service stopped.", base);
    return 0;
}

TARVIK_API int tarvik_event_base_dispatch_check_service(tarvik_event_base_t *base)
{
    if (base == nullptr || base->m_dispatch_service == nullptr) {
        return 0;
    }
    return tarvik_check_service(base->m_dispatch_service);
}

TARVIK_API int tarvik_event_debug_mode(int on)
{
    __atomic_store_n(&s_debug, on != 0 ? 1 : 0, __ATOMIC_RELAXED);
    return 0;
}

// ---- events --------------------------------------------------------------------------------

TARVIK_API int tarvik_assign_event(tarvik_event_base_t *base, tarvik_event_t *event, int fd,
                                   uint32_t flags, tarvik_event_handler_t handler, void *context)
{
    const CallParameters call = {base, fd, flags, handler, context, -1, nullptr, -1, nullptr, -1};
    return assign_form(__func__, base, event, call, false);
}

TARVIK_API int tarvik_assign_event_with_resolver(tarvik_event_base_t *base, tarvik_event_t *event,
                                                 int fd, uint32_t flags,
                                                 tarvik_event_handler_t handler, void *context,
                                                 const char *bind_address, int bind_port,
                                                 const char *resolver_name, int resolver_port)
{
    const CallParameters call = {base, fd,           flags,     handler,       context,
                                 -1,   bind_address, bind_port, resolver_name, resolver_port};
    return assign_form(__func__, base, event, call, true);
}

TARVIK_API tarvik_event_t *tarvik_new_event(tarvik_event_base_t *base, int fd, uint32_t flags,
                                            tarvik_event_handler_t handler, void *context)
{
    const CallParameters call = {base, fd, flags, handler, context, -1, nullptr, -1, nullptr, -1};
    return new_event(__func__, base, call, false);
}

TARVIK_API tarvik_event_t *tarvik_new_event_with_resolver(tarvik_event_base_t *base, int fd,
                                                          uint32_t flags,
                                                          tarvik_event_handler_t handler,
                                                          void *context, const char *bind_address,
                                                          int bind_port, const char *resolver_name,
                                                          int resolver_port)
{
    const CallParameters call = {base, fd,           flags,     handler,       context,
                                 -1,   bind_address, bind_port, resolver_name, resolver_port};
    return new_event(__func__, base, call, true);
}

TARVIK_API int tarvik_add_event(tarvik_event_t *event, int timeout_ms)
{
    tarvik_event_base_t *base = lock_event(__func__, event);
    if (base == nullptr) {
        return -1;
    }
    const int result = tarvik_add_event_internal(event, timeout_ms);
    unlock_base(base);
    return result;
}

TARVIK_API int tarvik_del_event(tarvik_event_t *event)
{
    tarvik_event_base_t *base = lock_event(__func__, event);
    if (base == nullptr) {
        return -1;
    }
    const int result = tarvik_del_event_internal(event);
    unlock_base(base);
    return result;
}

TARVIK_API int tarvik_unassign_event(tarvik_event_t *event)
{
    if (tarvik_del_event(event) != 0) {
        tarvik_error_printf(ERROR_HEAD "tarvik_del_event failed !" PLAIN " (event=%p)\n", __func__,
                            static_cast<void *>(event));
        return -1;
    }
    tarvik_event_base_t *base = event->m_base;
    lock_base(base);
    trace(__func__, "unassign event.", event);
    tarvik_signal_node_t *hook = event->m_signal_node;
    tarvik_buffer_t *send_queue = event->m_tx_buffer;
    tarvik_buffer_t *receive_queue = event->m_rx_buffer;
    tarvik_resolver_t *info = event->m_resolver_info;
    char *resolver_name = event->m_resolver_name;
    char *bind_address = event->m_bind_address;
    event->m_signal_node = nullptr;
    event->m_tx_buffer = nullptr;
    event->m_rx_buffer = nullptr;
    event->m_resolver_info = nullptr;
    event->m_resolver_name = nullptr;
    event->m_bind_address = nullptr;
    event->m_flags &= ~def_tarvik_event_initialized;
    tarvik_event_handler_t handler = event->m_handler;
    const int fd = event->m_fd;
    void *context = event->m_context;
    unlock_base(base);
    tarvik_del_signal(hook);
    tarvik_close_buffer(send_queue);
    tarvik_close_buffer(receive_queue);
    tarvik_close_resolver(info);
    tarvik_check_free_tag(resolver_name, TARVIK_TAG);
    tarvik_check_free_tag(bind_address, TARVIK_TAG);
    if (handler != nullptr) {
        handler(event, fd, def_tarvik_event_unassigned, context);
    }
    return 0;
}

TARVIK_API int tarvik_free_event(tarvik_event_t *event)
{
    if (event == nullptr) {
        return 0;
    }
    const bool allocated = (event->m_flags & def_tarvik_event_allocated) != 0;
    if (tarvik_unassign_event(event) != 0) {
        tarvik_error_printf(ERROR_HEAD "tarvik_unassign failed !" PLAIN " (event=%p)\n", __func__,
                            static_cast<void *>(event));
    }
    if (allocated) {
        trace(__func__, "free event.", event);
        tarvik_free_tag(event, TARVIK_TAG);
    }
    return 0;
}

TARVIK_API int tarvik_active_event(tarvik_event_t *event, uint32_t what)
{
    tarvik_event_base_t *base = lock_event(__func__, event);
    if (base == nullptr) {
        return -1;
    }
    if ((event->m_flags & def_tarvik_event_active) == 0) {
        event->m_what = what;
        tarvik_insert_event_queue(base, event, IN_ACTIVE_QUEUE | IN_TIMER_LIST);
        tarvik_event_base_notify(base);
    } else {
        event->m_what |= what;
    }
    unlock_base(base);
    return 0;
}

TARVIK_API uint32_t tarvik_event_pending(tarvik_event_t *event, uint32_t flags, int *remaining_ms)
{
    if (remaining_ms != nullptr) {
        *remaining_ms = 0;
    }
    tarvik_event_base_t *base = lock_event(__func__, event);
    if (base == nullptr) {
        return 0;
    }
    uint32_t result = 0;
    const uint32_t state = event->m_flags;
    if ((state & def_tarvik_event_added) != 0) {
        result = state & PENDING_STATE;
        result |= event->m_rx_buffer != nullptr ? def_tarvik_event_read : 0u;
        result |= event->m_tx_buffer != nullptr ? def_tarvik_event_write : 0u;
    }
    result |= state & def_tarvik_event_timeout;
    if ((state & def_tarvik_event_active) != 0) {
        result |= event->m_what;
    }
    if (remaining_ms != nullptr && (flags & result & def_tarvik_event_timeout) != 0 &&
        (state & def_tarvik_event_timeout) != 0) {
        const uint64_t now = now_msec();
        const uint64_t left = event->m_expire > now ? event->m_expire - now : 0;
        *remaining_ms = left > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
    }
    trace(__func__, "event pending.", event);
    unlock_base(base);
    return result & (flags & PENDING_ASKABLE);
}

TARVIK_API int tarvik_event_set_priority(tarvik_event_t *event, size_t priority)
{
    tarvik_event_base_t *base = lock_event(__func__, event);
    if (base == nullptr) {
        return -1;
    }
    int result = -1;
    if ((event->m_flags & def_tarvik_event_active) != 0) {
        tarvik_error_printf(ERROR_HEAD "already active event !" PLAIN " (event=%p, flags=%08XH)\n",
                            __func__, static_cast<void *>(event), event->m_flags);
    } else if (priority >= base->m_max_priority) {
        tarvik_error_printf(ERROR_HEAD "s_priority >= max_priority !" PLAIN
                                       " (event=%p, priority=%lu, max_priority=%lu)\n",
                            __func__, static_cast<void *>(event),
                            static_cast<unsigned long>(priority),
                            static_cast<unsigned long>(base->m_max_priority));
    } else {
        event->m_priority = static_cast<uint32_t>(priority);
        trace(__func__, "event set priority.", event);
        result = 0;
    }
    unlock_base(base);
    return result;
}

TARVIK_API int tarvik_event_set_base(tarvik_event_t *event, tarvik_event_base_t *base)
{
    if (base == nullptr) {
        report_null_base(__func__);
        return -1;
    }
    // Deleted first: the lists of the old base must not keep it.
    if (tarvik_del_event(event) != 0) {
        return -1;
    }
    event->m_base = base;
    event->m_priority = base->m_max_priority / 2;
    trace(__func__, "event set base.", event);
    return 0;
}

// ---- byte queues ------------------------------------------------------------------------------

TARVIK_API int tarvik_event_enable_buffer(tarvik_event_t *event, int which)
{
    tarvik_event_base_t *base = lock_event(__func__, event);
    if (base == nullptr) {
        return -1;
    }
    int result = 0;
    for (int chosen = def_tarvik_event_buffer_receive; chosen <= def_tarvik_event_buffer_send;
         chosen <<= 1) {
        tarvik_buffer_t **queue = queue_of(event, chosen);
        if ((which & chosen) != 0 && *queue == nullptr &&
            (*queue = tarvik_open_buffer()) == nullptr) {
            result = -1;
        }
    }
    update_registration(event);
    unlock_base(base);
    return result;
}

TARVIK_API int tarvik_event_disable_buffer(tarvik_event_t *event, int which)
{
    tarvik_event_base_t *base = lock_event(__func__, event);
    if (base == nullptr) {
        return -1;
    }
    for (int chosen = def_tarvik_event_buffer_receive; chosen <= def_tarvik_event_buffer_send;
         chosen <<= 1) {
        tarvik_buffer_t **queue = queue_of(event, chosen);
        if ((which & chosen) != 0) {
            *queue = tarvik_close_buffer(*queue);
        }
    }
    update_registration(event);
    unlock_base(base);
    return 0;
}

TARVIK_API int tarvik_event_set_buffer_watermark(tarvik_event_t *event, int which, size_t low,
                                                 size_t high)
{
    tarvik_event_base_t *base = lock_event(__func__, event);
    if (base == nullptr) {
        return -1;
    }
    if ((which & def_tarvik_event_buffer_receive) != 0) {
        event->m_rx_high_watermark = high > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(high);
    }
    if ((which & def_tarvik_event_buffer_send) != 0) {
        event->m_tx_low_watermark = low > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(low);
    }
    update_registration(event);
    unlock_base(base);
    return 0;
}

TARVIK_API size_t tarvik_event_get_buffer_size(tarvik_event_t *event, int which)
{
    tarvik_event_base_t *base = lock_event(__func__, event);
    if (base == nullptr) {
        return 0;
    }
    size_t size = 0;
    if ((which & def_tarvik_event_buffer_receive) != 0) {
        size += tarvik_get_buffer_size(event->m_rx_buffer);
    }
    if ((which & def_tarvik_event_buffer_send) != 0) {
        size += tarvik_get_buffer_size(event->m_tx_buffer);
    }
    unlock_base(base);
    return size;
}

TARVIK_API ssize_t tarvik_event_push_buffer(tarvik_event_t *event, int which, const void *data,
                                            size_t size)
{
    tarvik_event_base_t *base = lock_event(__func__, event);
    if (base == nullptr) {
        return -1;
    }
    const ssize_t result = push_nolock(event, which, data, size);
    unlock_base(base);
    return result;
}

TARVIK_API ssize_t tarvik_event_push_vprintf(tarvik_event_t *event, int which, const char *format,
                                             va_list arguments)
{
    char *text = tarvik_alloc_vsprintf(format, arguments);
    if (text == nullptr) {
        return -1;
    }
    const ssize_t result = tarvik_event_push_buffer(event, which, text, strlen(text));
    tarvik_free_tag(text, TARVIK_TAG);
    return result;
}

TARVIK_API ssize_t tarvik_event_push_printf(tarvik_event_t *event, int which, const char *format,
                                            ...)
{
    va_list arguments;
    va_start(arguments, format);
    const ssize_t result = tarvik_event_push_vprintf(event, which, format, arguments);
    va_end(arguments);
    return result;
}

TARVIK_API ssize_t tarvik_event_push_puts(tarvik_event_t *event, int which, const char *string)
{
    if (string == nullptr) {
        return -1;
    }
    return tarvik_event_push_buffer(event, which, string, strlen(string));
}

TARVIK_API ssize_t tarvik_event_pop_buffer(tarvik_event_t *event, int which, void *data,
                                           size_t size)
{
    tarvik_event_base_t *base = lock_event(__func__, event);
    if (base == nullptr) {
        return -1;
    }
    tarvik_buffer_t *queue =
        (which & def_tarvik_event_buffer_receive) != 0 ? event->m_rx_buffer : event->m_tx_buffer;
    ssize_t result = -1;
    if (queue != nullptr) {
        result = static_cast<ssize_t>(tarvik_pop_buffer(queue, data, size));
        update_registration(event);
    }
    unlock_base(base);
    return result;
}

TARVIK_API ssize_t tarvik_event_peek_buffer(tarvik_event_t *event, int which, void *data,
                                            size_t size, size_t offset)
{
    tarvik_event_base_t *base = lock_event(__func__, event);
    if (base == nullptr) {
        return -1;
    }
    tarvik_buffer_t *queue =
        (which & def_tarvik_event_buffer_receive) != 0 ? event->m_rx_buffer : event->m_tx_buffer;
    const ssize_t result =
        queue != nullptr ? static_cast<ssize_t>(tarvik_peek_buffer_ex(queue, data, size, offset, 0))
                         : -1;
    unlock_base(base);
    return result;
}

TARVIK_API int32_t tarvik_event_default_handler_exit(tarvik_event_t *event, int fd, uint32_t what,
                                                     void *)
{
    if ((what & LIFECYCLE_CALL) != 0) {
        return 0;
    }
    if ((what & def_tarvik_event_signal) != 0 && fd == SIGSEGV) {
        tarvik_puts(nullptr);
        fprintf(stderr, "%s: %s - [SIGNAL] segment fault.\n", "./source/event.c", __func__);
        fflush(stderr);
        end_by_signal(SIGSEGV);
    }
    if (event != nullptr) {
        tarvik_event_base_exit_loop(event->m_base, 0);
    }
    return 0;
}

// ---- global break ----------------------------------------------------------------------------

TARVIK_API int tarvik_set_global_break(void)
{
    __atomic_store_n(&s_global_break, 1, __ATOMIC_SEQ_CST);
    return 0;
}

TARVIK_API int tarvik_clear_global_break(void)
{
    __atomic_store_n(&s_global_break, 0, __ATOMIC_SEQ_CST);
    return 0;
}

TARVIK_API int tarvik_get_global_break(void)
{
    return __atomic_load_n(&s_global_break, __ATOMIC_SEQ_CST);
}

} // extern "C"
