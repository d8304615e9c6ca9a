// Service threads: the start handshake, the stop request and the close wait. The record's lock
// guards request, state and ownership; the record is freed by exactly one of closer or thread.
#include "service.h"

#include "console.h"
#include "heap.h"
#include "lock.h"
#include "thread.h"
#include "time.h"
#include "detail/common.hpp"
#include "detail/thread.hpp"

#include <cstring>
#include <sched.h>

struct tarvik_service_s {
    tarvik_lock_t m_lock;
    tarvik_lock_condition_t m_condition;
    tarvik_short_lock_t m_short_lock; // guards m_flags and m_value
    uint32_t m_flags;
    const char *m_name;
    int32_t m_request;
    int32_t m_state;
    void *m_context;
    tarvik_service_entry_t m_entry;
    tarvik_service_notify_t m_notify;
    void *m_notify_context;
    uint32_t m_value;
    // Ownership: while the thread runs the body, the closer may leave early (a finite
    // time-out, or a failed start) and hand the record over; the thread then frees it.
    int32_t m_thread_alive;
    int32_t m_abandoned;
    // Set by the worker as its very last step, after its own record and count are gone: a
    // closer that frees the record waits for it, so nothing of the thread outlives the close.
    int32_t m_thread_gone;
};

namespace {

using tarvik::detail::ShortLockGuard;

constexpr const char *NO_NAME = "no service name";
constexpr uint64_t START_WAIT = 60000;
constexpr uint64_t REPORT_STEP = 4000;
// A close-notify handler that asked to be called again gets a pass at least this often.
constexpr uint64_t NOTIFY_REPEAT = 100;

#define SEPARATOR                                                                                  \
    "\n-=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=-\n"

inline int32_t load_word(const int32_t *word) { return __atomic_load_n(word, __ATOMIC_ACQUIRE); }

inline void store_word(int32_t *word, int32_t value)
{
    __atomic_store_n(word, value, __ATOMIC_RELEASE);
}

void lock_record(tarvik_service_t *service)
{
    while (tarvik_lock_tag(&service->m_lock, TARVIK_TAG) != 0) {
        tarvik_load_balance_short();
    }
}

void unlock_record(tarvik_service_t *service) { tarvik_unlock_tag(&service->m_lock, TARVIK_TAG); }

// Sleeps on the record's condition with the lock released; returns with the lock held.
void wait_record(tarvik_service_t *service, uint64_t timeout_ms)
{
    const int timeout = timeout_ms > 0x7fffffffu ? 0x7fffffff : static_cast<int>(timeout_ms);
    if (tarvik_lock_condition_wait_timeout_tag(&service->m_condition, &service->m_lock, timeout,
                                               TARVIK_TAG) != 0) {
        tarvik_load_balance_short();
        lock_record(service);
    }
}

void wake_record(tarvik_service_t *service)
{
    tarvik_lock_condition_wakeup_all_tag(&service->m_condition, TARVIK_TAG);
}

void mark_thread_gone(void *argument)
{
    store_word(&static_cast<tarvik_service_t *>(argument)->m_thread_gone, 1);
}

// The worker's last steps after the body take no lock of the record and no time to speak of.
void wait_thread_gone(tarvik_service_t *service)
{
    for (unsigned spins = 0; load_word(&service->m_thread_gone) == 0; ++spins) {
        if (spins < 64) {
            sched_yield();
        } else {
            tarvik_load_balance_short();
        }
    }
}

void free_record(tarvik_service_t *service)
{
    tarvik_uninit_lock_condition_tag(&service->m_condition, TARVIK_TAG);
    tarvik_uninit_lock_tag(&service->m_lock, TARVIK_TAG);
    tarvik_uninit_short_lock(&service->m_short_lock);
    tarvik_free_tag(service, TARVIK_TAG);
}

tarvik_service_t *new_record(const char *name, tarvik_service_entry_t entry, void *context)
{
    if (name == nullptr) {
        name = NO_NAME;
    }
    const size_t length = strlen(name);
    void *memory =
        tarvik_alloc_tag(sizeof(tarvik_service_t) + length + 1, "tarvik_open_service_ex", __LINE__);
    if (memory == nullptr) {
        return nullptr;
    }
    memset(memory, 0, sizeof(tarvik_service_t));
    auto *service = static_cast<tarvik_service_t *>(memory);
    char *copy = static_cast<char *>(memory) + sizeof(tarvik_service_t);
    memcpy(copy, name, length + 1);
    tarvik_init_lock_tag(&service->m_lock, TARVIK_TAG);
    tarvik_init_lock_condition_tag(&service->m_condition, TARVIK_TAG);
    tarvik_init_short_lock(&service->m_short_lock);
    service->m_name = copy;
    service->m_request = TARVIK_SERVICE_REQUEST_INITIAL;
    service->m_state = TARVIK_SERVICE_STATE_STARTING;
    service->m_context = context;
    service->m_entry = entry;
    service->m_thread_gone = 1;
    return service;
}

void report_wait(const char *what, const tarvik_service_t *service, uint64_t waited)
{
    tarvik_error_printf(SEPARATOR "tarvik_qvl: [WARNING] wait for %s service (name=\"%s\", "
                                  "%lu.%03lu sec)\n" SEPARATOR,
                        what, service->m_name, static_cast<unsigned long>(waited / 1000u),
                        static_cast<unsigned long>(waited % 1000u));
}

// Past the timer: one framed warning, then the timer grows in 4 s steps until it runs again.
void report_and_extend(const char *what, const tarvik_service_t *service, tarvik_timer_t *timer,
                       uint64_t start)
{
    report_wait(what, service, tarvik_time_stamp_msec(timer) - start);
    while (tarvik_check_timer(timer) != 0) {
        tarvik_update_timer(timer, REPORT_STEP);
    }
}

// Thread body: request 2 tells the starter the thread runs; the state settles once the entry
// returned. A record the closer handed over is freed here, after its last use; otherwise the
// worker marks the thread gone once it has finished its own steps.
void tarvik_service_thread(void *argument)
{
    auto *service = static_cast<tarvik_service_t *>(argument);
    lock_record(service);
    store_word(&service->m_request, TARVIK_SERVICE_REQUEST_STARTED);
    wake_record(service);
    unlock_record(service);

    service->m_entry(service, service->m_context);

    lock_record(service);
    if (load_word(&service->m_state) != TARVIK_SERVICE_STATE_FAILED) {
        store_word(&service->m_state, TARVIK_SERVICE_STATE_FINISHED);
    }
    service->m_thread_alive = 0;
    const bool abandoned = service->m_abandoned != 0;
    wake_record(service);
    unlock_record(service);
    if (abandoned) {
        free_record(service);
    } else {
        tarvik::detail::at_job_end(mark_thread_gone, service);
    }
}

// Lock held. Frees the record at once when its thread is gone, otherwise asks the thread to
// stop and leaves the record to it. Releases the lock either way.
void release_or_hand_over(tarvik_service_t *service)
{
    if (service->m_thread_alive == 0) {
        unlock_record(service);
        wait_thread_gone(service);
        free_record(service);
        return;
    }
    store_word(&service->m_request, TARVIK_SERVICE_REQUEST_STOP);
    service->m_abandoned = 1;
    unlock_record(service);
}

// Lock held. true once the service function acknowledged, false when it failed or finished.
bool wait_for_start(tarvik_service_t *service)
{
    tarvik_timer_t timer;
    tarvik_init_timer(&timer, START_WAIT);
    const uint64_t start = timer.m_start;
    for (;;) {
        if (load_word(&service->m_request) == TARVIK_SERVICE_REQUEST_STARTED) {
            const int32_t state = load_word(&service->m_state);
            if (state == TARVIK_SERVICE_STATE_RUNNING) {
                return true;
            }
            if (state == TARVIK_SERVICE_STATE_FAILED || state == TARVIK_SERVICE_STATE_FINISHED) {
                return false;
            }
        }
        uint64_t left = 0;
        if (tarvik_check_timer_ex(&timer, &left) != 0) {
            report_and_extend("start", service, &timer, start);
            tarvik_check_timer_ex(&timer, &left);
        }
        wait_record(service, left < START_WAIT ? left : START_WAIT);
    }
}

// Lock held on entry and exit. Calls the close-notify handler without the lock; it stays
// installed only when it asked to be called again (-1) and nobody replaced it meanwhile.
void call_close_notify(tarvik_service_t *service)
{
    tarvik_service_notify_t handler = service->m_notify;
    void *context = service->m_notify_context;
    if (handler == nullptr) {
        return;
    }
    service->m_notify = nullptr;
    unlock_record(service);
    const int result = handler(service, context);
    lock_record(service);
    if (result == -1 && service->m_notify == nullptr) {
        service->m_notify = handler;
        service->m_notify_context = context;
    }
}

// The service thread's report of how its start went; wakes whoever waits for it.
int report_state(tarvik_service_t *service, int32_t state)
{
    if (service == nullptr) {
        return -1;
    }
    lock_record(service);
    store_word(&service->m_state, state);
    wake_record(service);
    unlock_record(service);
    return 0;
}

} // namespace

extern "C" {

TARVIK_API tarvik_service_t *tarvik_open_service_ex(const char *name, tarvik_service_entry_t entry,
                                                    void *context, uint32_t thread_option)
{
    if (entry == nullptr) {
        return nullptr;
    }
    tarvik_service_t *service = new_record(name, entry, context);
    if (service == nullptr) {
        return nullptr;
    }
    lock_record(service);
    service->m_thread_alive = 1;
    service->m_thread_gone = 0;
    if (tarvik_detached_thread_ex_tag(tarvik_service_thread, service, thread_option, TARVIK_TAG) !=
        0) {
        service->m_thread_alive = 0;
        service->m_thread_gone = 1;
        release_or_hand_over(service);
        return nullptr;
    }
    if (wait_for_start(service)) {
        unlock_record(service);
        return service;
    }
    release_or_hand_over(service);
    // Gives a failing service function the moment it needs to return.
    tarvik_load_balance_short();
    return nullptr;
}

TARVIK_API tarvik_service_t *tarvik_open_service(const char *name, tarvik_service_entry_t entry,
                                                 void *context)
{
    return tarvik_open_service_ex(name, entry, context, 0);
}

TARVIK_API int tarvik_ack_service(tarvik_service_t *service)
{
    return report_state(service, TARVIK_SERVICE_STATE_RUNNING);
}

TARVIK_API int tarvik_error_service(tarvik_service_t *service)
{
    return report_state(service, TARVIK_SERVICE_STATE_FAILED);
}

TARVIK_API int tarvik_break_service(tarvik_service_t *service)
{
    if (service == nullptr) {
        return -1;
    }
    return load_word(&service->m_request) == TARVIK_SERVICE_REQUEST_STOP ? 1 : 0;
}

TARVIK_API int tarvik_check_service(tarvik_service_t *service)
{
    if (service == nullptr) {
        return -1;
    }
    const int32_t state = load_word(&service->m_state);
    if (state == TARVIK_SERVICE_STATE_RUNNING) {
        return 1;
    }
    return state == TARVIK_SERVICE_STATE_FAILED ? -1 : 0;
}

TARVIK_API int tarvik_close_service_ex(tarvik_service_t *service, int timeout_ms)
{
    if (service == nullptr) {
        return 0;
    }
    const bool forever = timeout_ms < 0;
    tarvik_timer_t timer;
    tarvik_init_timer(&timer, forever ? START_WAIT : static_cast<uint64_t>(timeout_ms));
    const uint64_t start = timer.m_start;
    lock_record(service);
    for (;;) {
        if (service->m_thread_alive == 0) {
            release_or_hand_over(service);
            return 0;
        }
        store_word(&service->m_request, TARVIK_SERVICE_REQUEST_STOP);
        // The nudge comes right after the request: a service asleep on a pipe wakes now,
        // not when the wait runs out.
        call_close_notify(service);
        if (service->m_thread_alive == 0) {
            continue;
        }
        uint64_t left = 0;
        if (tarvik_check_timer_ex(&timer, &left) != 0) {
            if (!forever) {
                release_or_hand_over(service);
                return 0;
            }
            report_and_extend("stop", service, &timer, start);
            tarvik_check_timer_ex(&timer, &left);
        }
        if (service->m_notify != nullptr && left > NOTIFY_REPEAT) {
            left = NOTIFY_REPEAT;
        }
        wait_record(service, left);
    }
}

TARVIK_API int tarvik_close_service(tarvik_service_t *service)
{
    return tarvik_close_service_ex(service, -1);
}

TARVIK_API int tarvik_service_register_close_notify_handler(tarvik_service_t *service,
                                                            tarvik_service_notify_t handler,
                                                            void *context)
{
    if (service == nullptr) {
        return -1;
    }
    lock_record(service);
    service->m_notify = handler;
    service->m_notify_context = context;
    unlock_record(service);
    return 0;
}

TARVIK_API const char *tarvik_get_service_name(tarvik_service_t *service)
{
    return service != nullptr ? service->m_name : nullptr;
}

TARVIK_API int tarvik_get_service_request(tarvik_service_t *service)
{
    return service != nullptr ? load_word(&service->m_request) : -1;
}

TARVIK_API int tarvik_get_service_state(tarvik_service_t *service)
{
    return service != nullptr ? load_word(&service->m_state) : -1;
}

TARVIK_API uint32_t tarvik_set_service_flags(tarvik_service_t *service, uint32_t flags)
{
    if (service == nullptr) {
        return 0;
    }
    ShortLockGuard guard(&service->m_short_lock);
    service->m_flags |= flags;
    return service->m_flags;
}

TARVIK_API uint32_t tarvik_clear_service_flags(tarvik_service_t *service, uint32_t flags)
{
    if (service == nullptr) {
        return 0;
    }
    ShortLockGuard guard(&service->m_short_lock);
    service->m_flags &= ~flags;
    return service->m_flags;
}

TARVIK_API uint32_t tarvik_toggle_service_flags(tarvik_service_t *service, uint32_t flags)
{
    if (service == nullptr) {
        return 0;
    }
    ShortLockGuard guard(&service->m_short_lock);
    service->m_flags ^= flags;
    return service->m_flags;
}

TARVIK_API uint32_t tarvik_get_service_flags(tarvik_service_t *service)
{
    if (service == nullptr) {
        return 0;
    }
    ShortLockGuard guard(&service->m_short_lock);
    return service->m_flags;
}

TARVIK_API uint32_t tarvik_get_service_value(tarvik_service_t *service)
{
    if (service == nullptr) {
        return 0;
    }
    ShortLockGuard guard(&service->m_short_lock);
    return service->m_value;
}

TARVIK_API uint32_t tarvik_set_service_value(tarvik_service_t *service, uint32_t value)
{
    if (service == nullptr) {
        return 0;
    }
    ShortLockGuard guard(&service->m_short_lock);
    const uint32_t previous = service->m_value;
    service->m_value = value;
    return previous;
}

} // extern "C"
