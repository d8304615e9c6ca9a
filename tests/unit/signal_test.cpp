// Multiplexed signal handlers: order of calls, counters, the chain back to the disposition in
// force before the first handler, restores, dispatch racing with table changes, and faults
// raised by the CPU (which end the process) against the same signals sent by kill.
#include "tarvik_test.hpp"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <thread>

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Calls recorded by the handlers, in order (signal-safe: fixed array and atomics).
std::atomic<int> s_calls[16];
std::atomic<int> s_call_count{0};
std::atomic<int> s_plain_calls{0};

void record(int, void *context)
{
    const int index = s_call_count.fetch_add(1);
    if (index < 16) {
        s_calls[index] = static_cast<int>(reinterpret_cast<intptr_t>(context));
    }
}

void plain_handler(int) { s_plain_calls.fetch_add(1); }

void (*current_handler(int signal))(int)
{
    struct sigaction action;
    sigaction(signal, nullptr, &action);
    return action.sa_handler;
}

void *tag(int value) { return reinterpret_cast<void *>(static_cast<intptr_t>(value)); }

class SignalTest : public TarvikTest {
  protected:
    void SetUp() override
    {
        TarvikTest::SetUp();
        s_call_count = 0;
        s_plain_calls = 0;
        tarvik_reset_all_signal_count();
        // A plain handler of the test's own stands for "the disposition before": a signal that
        // reaches it is counted instead of ending the test process.
        struct sigaction action;
        memset(&action, 0, sizeof(action));
        action.sa_handler = plain_handler;
        sigemptyset(&action.sa_mask);
        for (int signal : {SIGUSR1, SIGUSR2}) {
            ASSERT_EQ(sigaction(signal, &action, &m_saved[signal == SIGUSR1 ? 0 : 1]), 0);
        }
    }
    void TearDown() override
    {
        tarvik_restore_all_signal();
        sigaction(SIGUSR1, &m_saved[0], nullptr);
        sigaction(SIGUSR2, &m_saved[1], nullptr);
        TarvikTest::TearDown();
    }

    struct sigaction m_saved[2];
};

TEST_F(SignalTest, HandlersRunInOrderAndTheLastRestoresTheOldDisposition)
{
    tarvik_signal_node_t *first = tarvik_add_signal(SIGUSR1, record, tag(1));
    tarvik_signal_node_t *second = tarvik_add_signal(SIGUSR1, record, tag(2));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(current_handler(SIGUSR1), plain_handler);

    raise(SIGUSR1);
    ASSERT_EQ(s_call_count.load(), 2);
    EXPECT_EQ(s_calls[0].load(), 1);
    EXPECT_EQ(s_calls[1].load(), 2);
    EXPECT_EQ(s_plain_calls.load(), 0);
    EXPECT_EQ(tarvik_get_last_signal(), SIGUSR1);

    // The older node goes: the younger still runs, nothing is restored yet.
    EXPECT_EQ(tarvik_del_signal(first), 0);
    raise(SIGUSR1);
    ASSERT_EQ(s_call_count.load(), 3);
    EXPECT_EQ(s_calls[2].load(), 2);
    EXPECT_EQ(s_plain_calls.load(), 0);

    EXPECT_EQ(tarvik_del_signal(second), 0);
    EXPECT_EQ(current_handler(SIGUSR1), plain_handler);
    EXPECT_EQ(tarvik_get_last_signal(), -1);
    EXPECT_EQ(tarvik_get_signal_count(SIGUSR1), 0ul);
    raise(SIGUSR1);
    EXPECT_EQ(s_plain_calls.load(), 1);
    EXPECT_EQ(s_call_count.load(), 3);
}

TEST_F(SignalTest, DeletingTheNewestFirstUnwindsTheChain)
{
    tarvik_signal_node_t *nodes[3];
    for (int i = 0; i < 3; ++i) {
        nodes[i] = tarvik_add_signal(SIGUSR2, record, tag(i));
        ASSERT_NE(nodes[i], nullptr);
    }
    for (int i = 2; i > 0; --i) {
        tarvik_del_signal(nodes[i]);
        EXPECT_NE(current_handler(SIGUSR2), plain_handler) << "after deleting node " << i;
    }
    raise(SIGUSR2);
    EXPECT_EQ(s_call_count.load(), 1);
    tarvik_del_signal(nodes[0]);
    EXPECT_EQ(current_handler(SIGUSR2), plain_handler);
}

TEST_F(SignalTest, BadArgumentsAreRefused)
{
    EXPECT_EQ(tarvik_add_signal(128, record, nullptr), nullptr);
    EXPECT_EQ(tarvik_add_signal(TARVIK_SIGNAL_MAX + 5, record, nullptr), nullptr);
    EXPECT_EQ(tarvik_add_signal(0, record, nullptr), nullptr);
    EXPECT_EQ(tarvik_add_signal(-3, record, nullptr), nullptr);
    EXPECT_EQ(tarvik_add_signal(SIGUSR1, nullptr, nullptr), nullptr);
    // A number the kernel refuses (SIGKILL cannot be caught).
    EXPECT_EQ(tarvik_add_signal(SIGKILL, record, nullptr), nullptr);
    EXPECT_EQ(tarvik_del_signal(nullptr), 0);
    EXPECT_EQ(tarvik_restore_signal(128), -1);
    EXPECT_EQ(tarvik_get_signal_count(128), 0ul);
    EXPECT_EQ(tarvik_reset_signal_node_count(nullptr), 0ul);
    EXPECT_EQ(current_handler(SIGUSR1), plain_handler);
}

TEST_F(SignalTest, CountersAndTheirResets)
{
    tarvik_signal_node_t *one = tarvik_add_signal(SIGUSR1, record, tag(1));
    tarvik_signal_node_t *two = tarvik_add_signal(SIGUSR2, record, tag(2));
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    for (int i = 0; i < 3; ++i) {
        raise(SIGUSR1);
    }
    raise(SIGUSR2);
    EXPECT_EQ(tarvik_get_last_signal(), SIGUSR2);
    EXPECT_EQ(tarvik_get_signal_node_count(one), 3ul);
    EXPECT_EQ(tarvik_reset_signal_node_count(one), 3ul);
    EXPECT_EQ(tarvik_get_signal_node_count(one), 0ul);
    // The signal's own counter is separate from the node's.
    EXPECT_EQ(tarvik_get_signal_count(SIGUSR1), 3ul);
    EXPECT_EQ(tarvik_reset_signal_count(SIGUSR1), 3ul);
    EXPECT_EQ(tarvik_get_signal_count(SIGUSR1), 0ul);
    raise(SIGUSR1);
    EXPECT_EQ(tarvik_reset_all_signal_count(), 2ul); // one SIGUSR1 + one SIGUSR2
    EXPECT_EQ(tarvik_get_signal_count(SIGUSR2), 0ul);
    EXPECT_EQ(tarvik_get_signal_node_count(two), 1ul);
    tarvik_del_signal(one);
    tarvik_del_signal(two);
}

TEST_F(SignalTest, RestoreRemovesEveryNodeOfOneSignal)
{
    tarvik_add_signal(SIGUSR1, record, tag(1));
    tarvik_add_signal(SIGUSR1, record, tag(2));
    tarvik_signal_node_t *other = tarvik_add_signal(SIGUSR2, record, tag(3));
    EXPECT_EQ(tarvik_restore_signal(SIGUSR1), 0);
    EXPECT_EQ(current_handler(SIGUSR1), plain_handler);
    EXPECT_NE(current_handler(SIGUSR2), plain_handler);
    raise(SIGUSR1);
    raise(SIGUSR2);
    EXPECT_EQ(s_plain_calls.load(), 1);
    EXPECT_EQ(s_call_count.load(), 1);
    EXPECT_EQ(s_calls[0].load(), 3);
    EXPECT_EQ(tarvik_get_signal_node_count(other), 1ul);
    EXPECT_EQ(tarvik_restore_all_signal(), 0);
    EXPECT_EQ(current_handler(SIGUSR2), plain_handler);
}

TEST_F(SignalTest, DispatchRacesWithTableChanges)
{
    // One node stays for the whole run so that the signal never reaches the old disposition;
    // others come and go while another thread keeps raising the signal.
    tarvik_signal_node_t *anchor = tarvik_add_signal(SIGUSR1, record, tag(9));
    ASSERT_NE(anchor, nullptr);
    constexpr int RAISES = 20000;
    std::atomic<bool> done{false};
    std::thread raiser([&] {
        for (int i = 0; i < RAISES; ++i) {
            raise(SIGUSR1);
        }
        done = true;
    });
    int rounds = 0;
    while (!done.load() || rounds < 50) {
        tarvik_signal_node_t *passing = tarvik_add_signal(SIGUSR1, record, tag(rounds));
        ASSERT_NE(passing, nullptr);
        tarvik_del_signal(passing);
        ++rounds;
    }
    raiser.join();
    EXPECT_EQ(tarvik_get_signal_node_count(anchor), static_cast<unsigned long>(RAISES));
    EXPECT_EQ(s_plain_calls.load(), 0);
    tarvik_del_signal(anchor);
    EXPECT_EQ(current_handler(SIGUSR1), plain_handler);
}

// Faults raised by the instruction that runs: the sanitizers must not catch them first.
volatile uintptr_t s_null_address = 0;
#if defined(__x86_64__) || defined(__i386__)
volatile int s_zero = 0;
volatile int s_dividend = 7;
#endif

__attribute__((no_sanitize_undefined)) void write_through_null()
{
    *reinterpret_cast<volatile int *>(s_null_address) = 1;
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((no_sanitize_undefined)) void divide_by_zero()
{
    volatile int quotient = s_dividend / s_zero;
    (void)quotient;
}
#endif

// Reads a page of a file mapped beyond its end.
void read_past_mapped_end()
{
    FILE *file = tmpfile();
    if (file == nullptr) {
        _exit(3);
    }
    void *page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fileno(file), 0);
    if (page == MAP_FAILED) {
        _exit(3);
    }
    (void)*static_cast<volatile char *>(page);
}

void send_to_self(int signal) { kill(getpid(), signal); }

// Runs body in a child with a handler of the module on signal; the child's wait status, or
// -1 when it was still running after the time-out (and was killed).
int status_of_child(int signal, void (*body)(int))
{
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        if (tarvik_add_signal(signal, record, tag(1)) == nullptr) {
            _exit(2);
        }
        body(signal);
        // Only a delivered signal comes back here: its handler ran once.
        _exit(s_call_count.load() == 1 ? 0 : 4);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status;
}

TEST_F(SignalTest, FaultsOfTheCpuEndTheProcessSentSignalsAreDispatched)
{
    struct Row {
        const char *m_name;
        int m_signal;
        void (*m_body)(int);
        bool m_fault;
    };
    const Row rows[] = {
        {"null write", SIGSEGV, [](int) { write_through_null(); }, true},
        {"read past a mapped end", SIGBUS, [](int) { read_past_mapped_end(); }, true},
#if defined(__x86_64__) || defined(__i386__)
        // MIPS divides by zero without a fault (the compiler's check raises a trap instead),
        // and its trap instruction is no illegal one: these two are for hosts that fault.
        {"integer division by zero", SIGFPE, [](int) { divide_by_zero(); }, true},
        {"illegal instruction", SIGILL, [](int) { __builtin_trap(); }, true},
#endif
        {"kill SIGSEGV", SIGSEGV, send_to_self, false},
        {"kill SIGFPE", SIGFPE, send_to_self, false},
        {"kill SIGBUS", SIGBUS, send_to_self, false},
        {"kill SIGILL", SIGILL, send_to_self, false},
    };
    for (const Row &row : rows) {
        const int status = status_of_child(row.m_signal, row.m_body);
        // A fault that returns to its instruction would fault for ever: killed at the time-out.
        ASSERT_NE(status, -1) << row.m_name << ": the child kept faulting";
        if (row.m_fault) {
            ASSERT_TRUE(WIFSIGNALED(status)) << row.m_name << ": status " << status;
            EXPECT_EQ(WTERMSIG(status), row.m_signal) << row.m_name;
        } else {
            ASSERT_TRUE(WIFEXITED(status)) << row.m_name << ": status " << status;
            EXPECT_EQ(WEXITSTATUS(status), 0) << row.m_name;
        }
    }
}

} // namespace
