// Service threads: the start handshake, failures, the stop request, close-notify, the record
// handed to a thread that outlives a finite close, and the user flags and value.
#include "capture.hpp"
#include "tarvik_test.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <sched.h>
#include <unistd.h>

namespace {

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// One-shot gate for a service function to wait on.
struct Gate {
    std::mutex m_mutex;
    std::condition_variable m_signal;
    bool m_open = false;

    void open()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_open = true;
        m_signal.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_signal.wait(lock, [this] { return m_open; });
    }
};

struct Probe {
    std::atomic<bool> m_prepared{false};
    std::atomic<int> m_polls{0};
    std::atomic<int> m_breaks_seen{0};
    std::atomic<bool> m_returned{false};
    std::atomic<int> m_notified{0};
    int m_pipe[2] = {-1, -1};
    int m_notify_result = 0;    // what the notify handler answers before it writes
    int m_notify_writes_at = 1; // call number that writes the wake-up byte
    Gate m_gate;
    Gate m_finish;
};

// Prepares (slowly), acknowledges, then polls the stop request.
int polling_service(tarvik_service_t *service, void *context)
{
    auto *probe = static_cast<Probe *>(context);
    sleep_ms(30);
    probe->m_prepared = true;
    tarvik_ack_service(service);
    while (tarvik_break_service(service) == 0) {
        ++probe->m_polls;
        sleep_ms(5);
    }
    ++probe->m_breaks_seen;
    probe->m_returned = true;
    return 0;
}

// Acknowledges and returns as soon as it is asked to.
int quick_service(tarvik_service_t *service, void *)
{
    tarvik_ack_service(service);
    while (tarvik_break_service(service) == 0) {
        sched_yield();
    }
    return 0;
}

int failing_service(tarvik_service_t *service, void *context)
{
    tarvik_error_service(service);
    static_cast<Probe *>(context)->m_returned = true;
    return -1;
}

int silent_service(tarvik_service_t *, void *context)
{
    static_cast<Probe *>(context)->m_returned = true;
    return 0;
}

// Reports the failure, then keeps using its record until the test lets it go.
int lingering_failure(tarvik_service_t *service, void *context)
{
    auto *probe = static_cast<Probe *>(context);
    tarvik_error_service(service);
    probe->m_gate.wait();
    probe->m_breaks_seen += tarvik_break_service(service);
    tarvik_set_service_flags(service, 0x1u);
    probe->m_finish.open();
    return 0;
}

// Sleeps on a pipe: only the close-notify handler's byte wakes it.
int pipe_service(tarvik_service_t *service, void *context)
{
    auto *probe = static_cast<Probe *>(context);
    tarvik_ack_service(service);
    char byte = 0;
    while (read(probe->m_pipe[0], &byte, 1) < 0) {
    }
    probe->m_breaks_seen += tarvik_break_service(service);
    probe->m_returned = true;
    return 0;
}

int nudge(tarvik_service_t *service, void *context)
{
    auto *probe = static_cast<Probe *>(context);
    EXPECT_EQ(tarvik_break_service(service), 1); // the stop was requested before the nudge
    const int call = ++probe->m_notified;
    if (call < probe->m_notify_writes_at) {
        return probe->m_notify_result;
    }
    const char byte = 1;
    EXPECT_EQ(write(probe->m_pipe[1], &byte, 1), 1);
    return 0;
}

// Sees the stop request, then ignores it until the test opens the gate; afterwards it still
// works on its own record before returning.
int stubborn_service(tarvik_service_t *service, void *context)
{
    auto *probe = static_cast<Probe *>(context);
    tarvik_ack_service(service);
    while (tarvik_break_service(service) == 0) {
        sleep_ms(2);
    }
    probe->m_gate.wait();
    tarvik_set_service_value(service, 7);
    probe->m_breaks_seen += tarvik_break_service(service);
    probe->m_finish.open();
    return 0;
}

class ServiceTest : public TarvikTest {
  protected:
    void TearDown() override
    {
        // Service threads are pool threads: they must all be gone before the heap check.
        EXPECT_EQ(tarvik_thread_pool_wait(20000), 0);
        TarvikTest::TearDown();
    }
};

TEST_F(ServiceTest, OpensOnlyAfterAcknowledgeAndClosesOnItsNextPoll)
{
    Probe probe;
    std::string errors = capture_stderr([&] {
        tarvik_service_t *service = tarvik_open_service_ex("poller", polling_service, &probe, 0);
        ASSERT_NE(service, nullptr);
        EXPECT_TRUE(probe.m_prepared.load());
        EXPECT_EQ(tarvik_check_service(service), 1);
        EXPECT_EQ(tarvik_break_service(service), 0);
        EXPECT_STREQ(tarvik_get_service_name(service), "poller");
        EXPECT_EQ(tarvik_get_service_state(service), TARVIK_SERVICE_STATE_RUNNING);
        EXPECT_EQ(tarvik_get_service_request(service), TARVIK_SERVICE_REQUEST_STARTED);
        EXPECT_EQ(tarvik_close_service(service), 0);
    });
    // close waited for the function to return after it saw the request once.
    EXPECT_TRUE(probe.m_returned.load());
    EXPECT_EQ(probe.m_breaks_seen.load(), 1);
    EXPECT_EQ(errors.find("wait for stop service"), std::string::npos) << errors;
}

TEST_F(ServiceTest, FailedOrSilentServiceFailsToOpen)
{
    Probe failed;
    EXPECT_EQ(tarvik_open_service_ex("failing", failing_service, &failed, 0), nullptr);
    EXPECT_EQ(tarvik_thread_pool_wait(20000), 0);
    EXPECT_TRUE(failed.m_returned.load());
    Probe silent;
    EXPECT_EQ(tarvik_open_service_ex("silent", silent_service, &silent, 0), nullptr);
    // The state settles only after the function returned.
    EXPECT_TRUE(silent.m_returned.load());
    EXPECT_EQ(tarvik_open_service_ex("none", nullptr, nullptr, 0), nullptr);
}

TEST_F(ServiceTest, FailedServiceStillRunningKeepsItsRecord)
{
    // open gives up at once; the function goes on using the record, which it then frees.
    Probe probe;
    EXPECT_EQ(tarvik_open_service_ex("lingering", lingering_failure, &probe, 0), nullptr);
    probe.m_gate.open();
    probe.m_finish.wait();
    EXPECT_EQ(tarvik_thread_pool_wait(20000), 0);
    EXPECT_EQ(probe.m_breaks_seen.load(), 1); // the failed open asked it to stop
}

TEST_F(ServiceTest, NullArgumentsAreHarmless)
{
    EXPECT_EQ(tarvik_close_service(nullptr), 0);
    EXPECT_EQ(tarvik_close_service_ex(nullptr, 10), 0);
    EXPECT_EQ(tarvik_break_service(nullptr), -1);
    EXPECT_EQ(tarvik_check_service(nullptr), -1);
    EXPECT_EQ(tarvik_ack_service(nullptr), -1);
    EXPECT_EQ(tarvik_error_service(nullptr), -1);
    EXPECT_EQ(tarvik_service_register_close_notify_handler(nullptr, nudge, nullptr), -1);
    EXPECT_EQ(tarvik_get_service_name(nullptr), nullptr);
    EXPECT_EQ(tarvik_get_service_flags(nullptr), 0u);
    EXPECT_EQ(tarvik_set_service_value(nullptr, 3), 0u);
}

TEST_F(ServiceTest, CloseNotifyWakesASleepingService)
{
    Probe probe;
    ASSERT_EQ(pipe(probe.m_pipe), 0);
    std::string errors = capture_stderr([&] {
        tarvik_service_t *service = tarvik_open_service("sleeper", pipe_service, &probe);
        ASSERT_NE(service, nullptr);
        EXPECT_EQ(tarvik_service_register_close_notify_handler(service, nudge, &probe), 0);
        EXPECT_EQ(tarvik_close_service(service), 0);
    });
    EXPECT_EQ(probe.m_notified.load(), 1);
    EXPECT_TRUE(probe.m_returned.load());
    EXPECT_EQ(probe.m_breaks_seen.load(), 1);
    // The nudge came with the request, not after a long wait.
    EXPECT_EQ(errors.find("wait for stop service"), std::string::npos) << errors;
    close(probe.m_pipe[0]);
    close(probe.m_pipe[1]);
}

TEST_F(ServiceTest, CloseNotifyAskingAgainIsCalledUntilTheServiceEnds)
{
    Probe probe;
    ASSERT_EQ(pipe(probe.m_pipe), 0);
    probe.m_notify_result = -1;
    probe.m_notify_writes_at = 3;
    tarvik_service_t *service = tarvik_open_service("sleeper", pipe_service, &probe);
    ASSERT_NE(service, nullptr);
    tarvik_service_register_close_notify_handler(service, nudge, &probe);
    EXPECT_EQ(tarvik_close_service(service), 0);
    EXPECT_EQ(probe.m_notified.load(), 3);
    close(probe.m_pipe[0]);
    close(probe.m_pipe[1]);
}

TEST_F(ServiceTest, FiniteCloseHandsTheRecordToTheRunningThread)
{
    Probe probe;
    tarvik_service_t *service = tarvik_open_service("stubborn", stubborn_service, &probe);
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(tarvik_close_service_ex(service, 100), 0);
    // close has returned while the function still runs on the record.
    probe.m_gate.open();
    probe.m_finish.wait();
    EXPECT_EQ(probe.m_breaks_seen.load(), 1);
    EXPECT_EQ(tarvik_thread_pool_wait(20000), 0);
}

TEST_F(ServiceTest, ErrorAfterAcknowledgeShowsInCheck)
{
    struct Local {
        static int entry(tarvik_service_t *service, void *context)
        {
            tarvik_ack_service(service);
            static_cast<Gate *>(context)->wait();
            tarvik_error_service(service);
            return 0;
        }
    };
    Gate gate;
    tarvik_service_t *service = tarvik_open_service_ex(nullptr, Local::entry, &gate, 256);
    ASSERT_NE(service, nullptr);
    EXPECT_STREQ(tarvik_get_service_name(service), "no service name");
    gate.open();
    while (tarvik_check_service(service) == 1) {
        sleep_ms(1);
    }
    EXPECT_EQ(tarvik_check_service(service), -1);
    EXPECT_EQ(tarvik_close_service(service), 0);
}

TEST_F(ServiceTest, UserFlagsAndValue)
{
    Probe probe;
    tarvik_service_t *service = tarvik_open_service("flags", polling_service, &probe);
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(tarvik_get_service_flags(service), 0u);
    EXPECT_EQ(tarvik_set_service_flags(service, 0x5u), 0x5u);
    EXPECT_EQ(tarvik_set_service_flags(service, 0x2u), 0x7u);
    EXPECT_EQ(tarvik_clear_service_flags(service, 0x4u), 0x3u);
    EXPECT_EQ(tarvik_toggle_service_flags(service, 0x9u), 0xau);
    EXPECT_EQ(tarvik_get_service_flags(service), 0xau);
    EXPECT_EQ(tarvik_get_service_value(service), 0u);
    EXPECT_EQ(tarvik_set_service_value(service, 42), 0u);
    EXPECT_EQ(tarvik_set_service_value(service, 43), 42u);
    EXPECT_EQ(tarvik_get_service_value(service), 43u);
    tarvik_close_service(service);
}

TEST_F(ServiceTest, ManyServicesSideBySide)
{
    constexpr int COUNT = 6;
    Probe probes[COUNT];
    tarvik_service_t *services[COUNT];
    for (int i = 0; i < COUNT; ++i) {
        services[i] = tarvik_open_service("many", polling_service, &probes[i]);
        ASSERT_NE(services[i], nullptr);
    }
    EXPECT_GE(tarvik_get_thread_count(nullptr, nullptr, nullptr),
              static_cast<unsigned long>(COUNT));
    for (int i = COUNT - 1; i >= 0; --i) {
        EXPECT_EQ(tarvik_close_service_ex(services[i], 20000), 0);
        EXPECT_TRUE(probes[i].m_returned.load());
    }
}

// A close returns only once the service's thread holds nothing any more: no heap block, no
// place in the thread count. Checked at once after each close, without waiting for the pool,
// as the exit dump of a program that closes its services and returns does.
TEST_F(ServiceTest, CloseLeavesNothingOfTheThreadBehind)
{
    ASSERT_EQ(tarvik_thread_pool_wait(20000), 0);
    size_t count = 0;
    tarvik_get_alloc_info(&count, nullptr, nullptr);
    const size_t baseline = count;
    const struct {
        const char *m_name;
        void (*m_cycle)();
    } rows[] = {
        {"service stopped by close",
         [] {
             Probe probe;
             tarvik_service_t *service = tarvik_open_service("quick", quick_service, &probe);
             ASSERT_NE(service, nullptr);
             EXPECT_EQ(tarvik_close_service(service), 0);
         }},
        {"service that never came up",
         [] {
             Probe probe;
             EXPECT_EQ(tarvik_open_service("silent", silent_service, &probe), nullptr);
         }},
        {"name resolved through the shared cache",
         [] {
             EXPECT_EQ(tarvik_init_network(), 0);
             tarvik_resolver_t *list = tarvik_open_resolver_ex("localhost", 9, 8000);
             EXPECT_NE(list, nullptr);
             tarvik_close_resolver(list);
             EXPECT_EQ(tarvik_uninit_network(), 0);
         }},
    };
    for (const auto &row : rows) {
        int dirty = 0;
        unsigned long threads = 0;
        for (int i = 0; i < 300 && dirty == 0; ++i) {
            row.m_cycle();
            tarvik_get_alloc_info(&count, nullptr, nullptr);
            threads = tarvik_get_thread_count(nullptr, nullptr, nullptr);
            if (count != baseline || threads != 0) {
                dirty = i + 1;
            }
        }
        EXPECT_EQ(dirty, 0) << row.m_name << ": " << count << " blocks (of " << baseline << "), "
                            << threads << " threads right after cycle " << dirty;
        ASSERT_EQ(tarvik_thread_pool_wait(20000), 0);
    }
}

} // namespace
