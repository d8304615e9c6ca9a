// Service, thread-pool and signal exercises of the "test" applet: the start handshake and the
// stop request, worker reuse and thread counts, and two handlers multiplexed on one signal.
#include "test_exercises.h"

#include "service.h"
#include "signal.h"
#include "thread.h"
#include "time.h"

#include <cstring>
#include <signal.h>

namespace tarvik::test {

namespace {

constexpr int WAIT_LIMIT_MS = 10000;

struct Probe {
    uint32_t m_prepared;
    uint32_t m_returned;
    uint32_t m_release;
    uint32_t m_started;
    uint64_t m_thread_id;
};

inline uint32_t load(const uint32_t *word) { return __atomic_load_n(word, __ATOMIC_ACQUIRE); }
inline void store(uint32_t *word, uint32_t value)
{
    __atomic_store_n(word, value, __ATOMIC_RELEASE);
}

// Polls word until it holds value; false after WAIT_LIMIT_MS.
bool wait_for(const uint32_t *word, uint32_t value)
{
    for (int waited = 0; load(word) != value; ++waited) {
        if (waited >= WAIT_LIMIT_MS) {
            return false;
        }
        tarvik_load_balance_short();
    }
    return true;
}

int polling_service(tarvik_service_t *service, void *context)
{
    auto *probe = static_cast<Probe *>(context);
    tarvik_sleep_wait(0, 20000);
    store(&probe->m_prepared, 1);
    tarvik_ack_service(service);
    while (tarvik_break_service(service) == 0) {
        tarvik_sleep_wait(0, 5000);
    }
    store(&probe->m_returned, 1);
    return 0;
}

int failing_service(tarvik_service_t *service, void *)
{
    tarvik_error_service(service);
    return -1;
}

void check_services(Checker &check)
{
    Probe probe = {};
    tarvik_service_t *service = tarvik_open_service_ex("exercise", polling_service, &probe, 0);
    EXPECT(check, service != nullptr);
    if (service == nullptr) {
        return;
    }
    EXPECT(check, load(&probe.m_prepared) == 1);
    EXPECT(check, tarvik_check_service(service) == 1);
    EXPECT(check, tarvik_break_service(service) == 0);
    EXPECT(check, strcmp(tarvik_get_service_name(service), "exercise") == 0);
    EXPECT(check, tarvik_set_service_flags(service, 0x3u) == 0x3u);
    EXPECT(check, tarvik_toggle_service_flags(service, 0x1u) == 0x2u);
    EXPECT(check,
           tarvik_set_service_value(service, 9) == 0 && tarvik_get_service_value(service) == 9);
    EXPECT(check, tarvik_close_service(service) == 0);
    EXPECT(check, load(&probe.m_returned) == 1);
    EXPECT(check, tarvik_open_service("failing", failing_service, nullptr) == nullptr);
    EXPECT(check, tarvik_open_service("none", nullptr, nullptr) == nullptr);
}

void hold(void *context)
{
    auto *probe = static_cast<Probe *>(context);
    store(&probe->m_started, 1);
    wait_for(&probe->m_release, 1);
}

void note_thread(void *context)
{
    auto *probe = static_cast<Probe *>(context);
    probe->m_thread_id = tarvik_get_thread_id();
    store(&probe->m_returned, 1);
}

// Runs one short job and waits until its worker is back among the ready ones.
uint64_t run_short_job(Checker &check)
{
    Probe probe = {};
    EXPECT(check, tarvik_detached_thread_ex_tag(note_thread, &probe, 0, __func__, __LINE__) == 0);
    EXPECT(check, wait_for(&probe.m_returned, 1));
    unsigned long ready = 0;
    for (int waited = 0; waited < WAIT_LIMIT_MS; ++waited) {
        tarvik_get_thread_count(nullptr, &ready, nullptr);
        if (ready != 0) {
            break;
        }
        tarvik_load_balance_short();
    }
    EXPECT(check, ready == 1);
    return probe.m_thread_id;
}

void check_pool(Checker &check)
{
    EXPECT(check, tarvik_thread_pool_wait(WAIT_LIMIT_MS) == 0);
    tarvik_set_thread_pool(1, 2);
    // Idle workers stay only while something runs: one job holds the pool open.
    Probe anchor = {};
    EXPECT(check, tarvik_detached_thread_ex_tag(hold, &anchor, 0, __func__, __LINE__) == 0);
    EXPECT(check, wait_for(&anchor.m_started, 1));
    const uint64_t first = run_short_job(check);
    const uint64_t second = run_short_job(check);
    EXPECT(check, first == second && first != tarvik_get_thread_id());
    unsigned long active = 0;
    unsigned long highest = 0;
    EXPECT(check, tarvik_get_thread_count(&active, nullptr, &highest) == 2);
    EXPECT(check, active == 1 && highest >= 2);
    EXPECT(check, tarvik_thread_pool_wait_ex(0, 20, 0) == -1);
    store(&anchor.m_release, 1);
    EXPECT(check, tarvik_thread_pool_wait(WAIT_LIMIT_MS) == 0);
    EXPECT(check, tarvik_get_thread_count(&active, nullptr, nullptr) == 0 && active == 0);
    tarvik_set_thread_pool(0, 0);
}

uint32_t s_order[4];
uint32_t s_calls;

void note_signal(int, void *context)
{
    const uint32_t index = __atomic_fetch_add(&s_calls, 1u, __ATOMIC_RELAXED);
    if (index < 4) {
        s_order[index] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(context));
    }
}

void check_signals(Checker &check)
{
    // Ignoring the signal beforehand keeps the process alive whatever happens below.
    struct sigaction ignore;
    struct sigaction original;
    memset(&ignore, 0, sizeof(ignore));
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGUSR1, &ignore, &original);

    tarvik_signal_node_t *one =
        tarvik_add_signal(SIGUSR1, note_signal, reinterpret_cast<void *>(1));
    tarvik_signal_node_t *two =
        tarvik_add_signal(SIGUSR1, note_signal, reinterpret_cast<void *>(2));
    EXPECT(check, one != nullptr && two != nullptr);
    EXPECT(check, tarvik_add_signal(128, note_signal, nullptr) == nullptr);
    raise(SIGUSR1);
    EXPECT(check, __atomic_load_n(&s_calls, __ATOMIC_RELAXED) == 2);
    EXPECT(check, s_order[0] == 1 && s_order[1] == 2);
    EXPECT(check, tarvik_get_last_signal() == SIGUSR1);
    EXPECT(check,
           tarvik_reset_signal_node_count(one) == 1 && tarvik_get_signal_node_count(one) == 0);
    EXPECT(check, tarvik_reset_signal_count(SIGUSR1) == 1);
    tarvik_del_signal(one);
    tarvik_del_signal(two);
    struct sigaction now;
    sigaction(SIGUSR1, nullptr, &now);
    EXPECT(check, now.sa_handler == SIG_IGN);
    EXPECT(check, tarvik_get_last_signal() == -1);
    sigaction(SIGUSR1, &original, nullptr);
}

} // namespace

// Also declared with the other exercises; repeated here so that this file stands alone.
int exercise_service(const char *operand);

int exercise_service(const char *)
{
    Checker check("service");
    check_services(check);
    check_pool(check);
    check_signals(check);
    return check.status();
}

} // namespace tarvik::test
