// The traced lock (time-outs, FIFO order, recursion, reports), lock conditions and the
// reference spin lock, each exercised across real threads.
#include "capture.hpp"
#include "tarvik_test.hpp"

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Polls until predicate holds; false after limit_ms (a generous bound against hangs only).
template <typename Predicate> bool wait_until(Predicate predicate, int limit_ms = 20000)
{
    const auto start = Clock::now();
    while (!predicate()) {
        if (elapsed_ms(start) > limit_ms) {
            return false;
        }
        sleep_ms(1);
    }
    return true;
}

long count_list(const tarvik_lock_claim_t *claim)
{
    long count = 0;
    for (; claim != nullptr; claim = claim->m_next) {
        ++count;
    }
    return count;
}

long waiting_claims(tarvik_lock_t *lock)
{
    tarvik_short_lock(&lock->m_short_lock);
    long count = count_list(lock->m_wait_head);
    tarvik_short_unlock(&lock->m_short_lock);
    return count;
}

long owner_claims(tarvik_lock_t *lock)
{
    tarvik_short_lock(&lock->m_short_lock);
    long count = count_list(lock->m_owner);
    tarvik_short_unlock(&lock->m_short_lock);
    return count;
}

long condition_waiters(tarvik_lock_condition_t *condition)
{
    tarvik_short_lock(&condition->m_short_lock);
    long count = 0;
    for (auto *waiter = condition->m_wait_head; waiter != nullptr; waiter = waiter->m_next) {
        ++count;
    }
    tarvik_short_unlock(&condition->m_short_lock);
    return count;
}

// A lock call on another thread: its result, for locks whose holder is this thread.
int try_from_other_thread(tarvik_lock_t *lock)
{
    int result = -1;
    std::thread other([&] {
        result = tarvik_try_lock_tag(lock, "other", 1);
        if (result == 1) {
            tarvik_unlock_tag(lock, "other", 2);
        }
    });
    other.join();
    return result;
}

// Collects what the library writes to its error channel.
std::mutex s_error_mutex;
std::string s_error_text;

int collect_error(const char *text)
{
    std::lock_guard<std::mutex> guard(s_error_mutex);
    if (text != nullptr) {
        s_error_text += text;
    }
    return 0;
}

class ErrorCapture {
  public:
    ErrorCapture()
    {
        {
            std::lock_guard<std::mutex> guard(s_error_mutex);
            s_error_text.clear();
        }
        tarvik_set_error_puts_handler(collect_error, &m_old);
    }
    ~ErrorCapture() { tarvik_set_error_puts_handler(m_old, nullptr); }
    std::string text() const
    {
        std::lock_guard<std::mutex> guard(s_error_mutex);
        return s_error_text;
    }
    bool contains(const std::string &needle) const
    {
        return text().find(needle) != std::string::npos;
    }

  private:
    tarvik_puts_handler_t m_old = nullptr;
};

class LockTest : public TarvikTest {
  protected:
    void SetUp() override
    {
        TarvikTest::SetUp();
        tarvik_init_lock_tag(&m_lock, "init_tag", 7);
    }
    void TearDown() override
    {
        EXPECT_EQ(tarvik_uninit_lock_tag(&m_lock, "teardown", 9), 0);
        TarvikTest::TearDown();
    }
    tarvik_lock_t m_lock;
};

// ---- the lock ----------------------------------------------------------------------------

TEST_F(LockTest, FreshLockHasDefaultsAndLocksAndUnlocks)
{
    EXPECT_EQ(m_lock.m_flags, 0x80u);
    EXPECT_EQ(m_lock.m_report_period, -1);
    EXPECT_STREQ(m_lock.m_tag, "init_tag");
    EXPECT_EQ(m_lock.m_line, 7u);

    EXPECT_EQ(tarvik_lock_timeout_tag(&m_lock, -1, "first", 1), 0);
    ASSERT_NE(m_lock.m_owner, nullptr);
    EXPECT_STREQ(m_lock.m_owner->m_tag, "first");
    EXPECT_EQ(m_lock.m_owner->m_thread_id, 0u) << "thread ids are only kept for recursive locks";
    EXPECT_EQ(m_lock.m_owner->m_pipe_read, -1) << "an uncontended claim needs no pipe";
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "first", 2), 0);
    EXPECT_EQ(m_lock.m_owner, nullptr);

    EXPECT_EQ(tarvik_try_lock_tag(&m_lock, "try", 3), 1);
    EXPECT_EQ(try_from_other_thread(&m_lock), 0);
    EXPECT_EQ(waiting_claims(&m_lock), 0) << "a failed try leaves the queue";
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "try", 4), 0);
    EXPECT_EQ(tarvik_lock_tag(&m_lock, "plain", 5), 0);
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "plain", 6), 0);
}

TEST_F(LockTest, UnlockWithoutOwnerFailsAndReportsOnlyWithDiagnostics)
{
    ErrorCapture capture;
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "nobody", 3), -1);
    EXPECT_EQ(capture.text(), "");

    m_lock.m_flags |= 0x10;
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "nobody", 4), -1);
    EXPECT_EQ(capture.text(), "tarvik_lock: [ERROR] \x1b[1;31munlock failed !\x1b[0m (no-owner, "
                              "recursive_count=0, wait_count=0, caller=\"nobody:4\", initialized "
                              "by \"init_tag:7\")\n");

    // A second unlock after a good one is the classic double unlock.
    EXPECT_EQ(tarvik_lock_timeout_tag(&m_lock, -1, "once", 5), 0);
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "once", 6), 0);
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "twice", 7), -1);
}

TEST_F(LockTest, FiniteTimeOutGivesUpWhileHeldAndForeverWaitsForTheUnlock)
{
    ASSERT_EQ(tarvik_lock_timeout_tag(&m_lock, -1, "holder", 1), 0);

    int timed = 99;
    long took = 0;
    std::thread impatient([&] {
        const auto start = Clock::now();
        timed = tarvik_lock_timeout_tag(&m_lock, 100, "impatient", 2);
        took = elapsed_ms(start);
    });
    impatient.join();
    EXPECT_EQ(timed, -1);
    EXPECT_GE(took, 90);
    EXPECT_EQ(waiting_claims(&m_lock), 0) << "a timed-out claim leaves the queue";

    std::atomic<int> patient_result{99};
    std::thread patient([&] {
        patient_result = tarvik_lock_timeout_tag(&m_lock, -1, "patient", 3);
        if (patient_result == 0) {
            tarvik_unlock_tag(&m_lock, "patient", 4);
        }
    });
    ASSERT_TRUE(wait_until([&] { return waiting_claims(&m_lock) == 1; }));
    sleep_ms(30);
    EXPECT_EQ(patient_result.load(), 99) << "must still be waiting while the lock is held";
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "holder", 5), 0);
    patient.join();
    EXPECT_EQ(patient_result.load(), 0);
}

TEST_F(LockTest, TryOnBusyLockFailsWithoutJumpingTheQueue)
{
    ASSERT_EQ(tarvik_lock_timeout_tag(&m_lock, -1, "holder", 1), 0);
    std::atomic<int> waiter_result{99};
    std::thread waiter([&] {
        waiter_result = tarvik_lock_timeout_tag(&m_lock, -1, "waiter", 2);
        tarvik_unlock_tag(&m_lock, "waiter", 3);
    });
    ASSERT_TRUE(wait_until([&] { return waiting_claims(&m_lock) == 1; }));
    int tried = 99;
    std::thread trier([&] { tried = tarvik_lock_timeout_tag(&m_lock, 0, "trier", 4); });
    trier.join();
    EXPECT_EQ(tried, -1);
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "holder", 5), 0);
    waiter.join();
    EXPECT_EQ(waiter_result.load(), 0);
}

TEST_F(LockTest, WaitersAcquireInArrivalOrderDespiteConcurrentTries)
{
    std::mutex order_mutex;
    std::string order;
    auto record = [&](char who) {
        std::lock_guard<std::mutex> guard(order_mutex);
        order += who;
    };

    ASSERT_EQ(tarvik_lock_timeout_tag(&m_lock, -1, "holder", 1), 0);
    std::vector<std::thread> waiters;
    for (char who : {'A', 'B', 'C'}) {
        const long before = waiting_claims(&m_lock);
        waiters.emplace_back([&, who] {
            ASSERT_EQ(tarvik_lock_timeout_tag(&m_lock, -1, "waiter", 2), 0);
            record(who);
            sleep_ms(5);
            tarvik_unlock_tag(&m_lock, "waiter", 3);
        });
        ASSERT_TRUE(wait_until([&] { return waiting_claims(&m_lock) == before + 1; }));
    }
    // The fourth thread keeps trying across every hand-off: a free instant must not let it in.
    std::atomic<bool> trying{false};
    std::thread intruder([&] {
        trying = true;
        for (;;) {
            if (tarvik_try_lock_tag(&m_lock, "intruder", 4) == 1) {
                record('T');
                tarvik_unlock_tag(&m_lock, "intruder", 5);
                return;
            }
        }
    });
    ASSERT_TRUE(wait_until([&] { return trying.load(); }));
    sleep_ms(25);
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "holder", 6), 0);
    for (auto &waiter : waiters) {
        waiter.join();
    }
    intruder.join();
    EXPECT_EQ(order, "ABCT");
}

TEST_F(LockTest, RecursionNeedsAsManyUnlocksAsLocks)
{
    m_lock.m_flags |= 0x100;
    for (int depth = 0; depth < 3; ++depth) {
        ASSERT_EQ(tarvik_lock_timeout_tag(&m_lock, 50, "outer", 10 + depth), 0);
    }
    EXPECT_EQ(owner_claims(&m_lock), 3);
    EXPECT_EQ(m_lock.m_owner->m_thread_id, tarvik_get_thread_id());
    for (int depth = 3; depth > 0; --depth) {
        EXPECT_EQ(try_from_other_thread(&m_lock), 0) << "still held " << depth << " times";
        EXPECT_EQ(tarvik_unlock_tag(&m_lock, "outer", 20), 0);
    }
    EXPECT_EQ(try_from_other_thread(&m_lock), 1);
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "outer", 21), -1);
}

TEST_F(LockTest, WithoutRecursionTheHolderWaitsForItself)
{
    ASSERT_EQ(tarvik_lock_timeout_tag(&m_lock, -1, "outer", 1), 0);
    EXPECT_EQ(tarvik_lock_timeout_tag(&m_lock, 50, "inner", 2), -1);
    EXPECT_EQ(owner_claims(&m_lock), 1);
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "outer", 3), 0);
}

TEST_F(LockTest, ForeverWaitReportsDeadLockAfterTheReportPeriod)
{
    ErrorCapture capture;
    m_lock.m_report_period = 100;
    ASSERT_EQ(tarvik_lock_timeout_tag(&m_lock, -1, "holder", 11), 0);
    std::atomic<int> result{99};
    std::thread waiter([&] { result = tarvik_lock_timeout_tag(&m_lock, -1, "waiter", 22); });
    ASSERT_TRUE(wait_until([&] { return capture.contains("  - locked by"); }));
    EXPECT_EQ(result.load(), 99);
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "holder", 12), 0);
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "waiter", 23), 0);

    const std::string text = capture.text();
    const std::string head = "tarvik_lock: [WARNING] \x1b[1;31mdead-lock !\x1b[0m (duration=";
    ASSERT_EQ(text.compare(0, head.size(), head), 0) << text;
    const size_t number_end = text.find(',', head.size());
    ASSERT_NE(number_end, std::string::npos);
    EXPECT_GE(std::stol(text.substr(head.size(), number_end - head.size())), 100);
    EXPECT_EQ(text.substr(number_end),
              ", caller=\"waiter:22\", recursive_count=1, wait_count=1, initialized by "
              "\"init_tag:7\")\n"
              "  - locked by \"holder:11\" (thread_id=0, initialized by \"init_tag:7\")\n");
}

struct PipelessWaiter {
    tarvik_lock_t *m_lock;
    int m_result;
};

void *pipeless_waiter(void *context)
{
    auto *waiter = static_cast<PipelessWaiter *>(context);
    waiter->m_result = tarvik_lock_timeout_tag(waiter->m_lock, 5000, "waiter", 5);
    tarvik_unlock_tag(waiter->m_lock, "waiter", 6);
    return nullptr;
}

TEST_F(LockTest, WaitingWorksWithoutPipes)
{
    // With every descriptor number taken, claims fall back to polling. (A plain pthread: the
    // sanitizers' checks of std::thread need descriptors of their own.)
    Captured child = run_in_child([] {
        tarvik_lock_t lock;
        tarvik_init_lock_tag(&lock, "child_init", 3);
        lock.m_flags |= 0x10;
        tarvik_lock_timeout_tag(&lock, -1, "holder", 4);
        int lowest_free = dup(0);
        close(lowest_free);
        struct rlimit limit = {static_cast<rlim_t>(lowest_free), static_cast<rlim_t>(lowest_free)};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            return 10;
        }
        PipelessWaiter waiter = {&lock, 99};
        pthread_t thread;
        if (pthread_create(&thread, nullptr, pipeless_waiter, &waiter) != 0) {
            return 12;
        }
        while (waiting_claims(&lock) == 0) {
            sleep_ms(1);
        }
        sleep_ms(30);
        tarvik_unlock_tag(&lock, "holder", 7);
        pthread_join(thread, nullptr);
        tarvik_uninit_lock_tag(&lock, "child", 8);
        return waiter.m_result == 0 ? 0 : 11;
    });
    EXPECT_EQ(child.status, 0) << child.err;
    EXPECT_NE(child.err.find("tarvik_lock: [ERROR] "), std::string::npos) << child.err;
    EXPECT_NE(child.err.find("pipe for claim failed !"), std::string::npos) << child.err;
    EXPECT_NE(child.err.find("(caller=\"waiter:5\", initialized by \"child_init:3\")"),
              std::string::npos)
        << child.err;
}

TEST_F(LockTest, UninitWaitsUntilTheLockIsIdleAndReportsWhenItTakesTooLong)
{
    ErrorCapture capture;
    m_lock.m_report_period = 50;
    m_lock.m_flags |= 0x20;
    ASSERT_EQ(tarvik_lock_timeout_tag(&m_lock, -1, "holder", 31), 0);
    std::atomic<bool> done{false};
    std::thread closer([&] {
        tarvik_uninit_lock_tag(&m_lock, "closer", 32);
        done = true;
    });
    ASSERT_TRUE(wait_until([&] { return capture.contains("  - locked by"); }));
    EXPECT_FALSE(done.load());
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "holder", 33), 0);
    closer.join();
    EXPECT_TRUE(done.load());

    const std::string text = capture.text();
    EXPECT_NE(text.find("tarvik_lock: [WARNING] pending lock wait... (locked by \"holder:31\", "
                        "recursive_count=1, wait_count=0, caller=\"closer:32\", initialized by "
                        "\"init_tag:7\")\n"),
              std::string::npos)
        << text;
    EXPECT_NE(
        text.find("tarvik_lock: [ERROR] \x1b[1;31mpending lock wait !\x1b[0m "
                  "(recursive_count=1, wait_count=0, caller=\"closer:32\", initialized by "
                  "\"init_tag:7\")\n"
                  "  - locked by \"holder:31\" (thread_id=0, initialized by \"init_tag:7\")\n"),
        std::string::npos)
        << text;
    tarvik_init_lock_tag(&m_lock, "init_tag", 7);
}

TEST_F(LockTest, NewAndFreeOwnTheRecord)
{
    tarvik_lock_t *lock = tarvik_new_lock_tag("maker", 1);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(lock->m_flags, 0x8080u);
    EXPECT_EQ(tarvik_lock_timeout_tag(lock, -1, "user", 2), 0);
    EXPECT_EQ(tarvik_unlock_tag(lock, "user", 3), 0);
    EXPECT_EQ(tarvik_free_lock_tag(lock, "maker", 4), 0);
    EXPECT_EQ(tarvik_free_lock_tag(nullptr, "maker", 5), 0);

    // An embedded lock is only uninitialised: freeing it would corrupt the heap.
    tarvik_lock_t embedded = TARVIK_LOCK_INITIALIZER;
    EXPECT_EQ(tarvik_lock_timeout_tag(&embedded, -1, "user", 6), 0);
    EXPECT_EQ(tarvik_unlock_tag(&embedded, "user", 7), 0);
    EXPECT_EQ(tarvik_free_lock_tag(&embedded, "maker", 8), 0);

    std::string err =
        capture_stderr([] { EXPECT_EQ(tarvik_uninit_lock_tag(nullptr, "x", 1), -1); });
    EXPECT_NE(err.find("s_this_lock != ((tarvik_lock_t *)0)"), std::string::npos) << err;
}

TEST_F(LockTest, ManyThreadsLoseNoIncrement)
{
    constexpr long ROUNDS = 100000;
    constexpr int THREADS = 8;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&] {
            for (long i = 0; i < ROUNDS; ++i) {
                tarvik_lock_timeout_tag(&m_lock, -1, "stress", 1);
                ++counter;
                tarvik_unlock_tag(&m_lock, "stress", 2);
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, THREADS * ROUNDS);
}

TEST(ThreadId, IsTheKernelIdOfEachThread)
{
    const uint64_t mine = tarvik_get_thread_id();
    EXPECT_EQ(mine, static_cast<uint64_t>(syscall(SYS_gettid)));
    EXPECT_EQ(tarvik_get_thread_id(), mine);
    uint64_t other = 0;
    uint64_t other_kernel = 1;
    std::thread thread([&] {
        other = tarvik_get_thread_id();
        other_kernel = static_cast<uint64_t>(syscall(SYS_gettid));
    });
    thread.join();
    EXPECT_EQ(other, other_kernel);
    EXPECT_NE(other, mine);
    // A forked child is a new kernel thread: it must not inherit the cached id.
    Captured child = run_in_child([] {
        return tarvik_get_thread_id() == static_cast<uint64_t>(syscall(SYS_gettid)) ? 0 : 1;
    });
    EXPECT_EQ(child.status, 0);
}

// ---- lock conditions ----------------------------------------------------------------------

class ConditionTest : public LockTest {
  protected:
    void SetUp() override
    {
        LockTest::SetUp();
        tarvik_init_lock_condition_tag(&m_condition, "cond_init", 8);
    }
    void TearDown() override
    {
        EXPECT_EQ(tarvik_uninit_lock_condition_tag(&m_condition, "teardown", 9), 0);
        LockTest::TearDown();
    }
    tarvik_lock_condition_t m_condition;
};

TEST_F(ConditionTest, WakeUpWithoutWaiterIsNotRemembered)
{
    EXPECT_EQ(tarvik_lock_condition_wakeup_tag(&m_condition, "waker", 1), -1);
    EXPECT_EQ(tarvik_lock_condition_wakeup_all_tag(&m_condition, "waker", 2), -1);
    const auto start = Clock::now();
    EXPECT_EQ(tarvik_lock_condition_wait_timeout_tag(&m_condition, nullptr, 100, "late", 3), 0);
    EXPECT_GE(elapsed_ms(start), 90) << "an earlier wake-up must not end a later wait";
    EXPECT_EQ(tarvik_lock_condition_wait_timeout_tag(nullptr, nullptr, 10, "null", 4), -1);
    EXPECT_EQ(tarvik_lock_condition_wakeup_tag(nullptr, "null", 5), -1);
}

TEST_F(ConditionTest, TwoWakeUpsBeforeTheWaiterRunsWakeOnlyThatWaiter)
{
    std::atomic<int> woken{0};
    std::thread first([&] {
        tarvik_lock_condition_wait_timeout_tag(&m_condition, nullptr, -1, "first", 1);
        ++woken;
    });
    ASSERT_TRUE(wait_until([&] { return condition_waiters(&m_condition) == 1; }));
    // Back to back: the waiter is usually still queued for the second call, which then
    // finds it woken already.
    EXPECT_EQ(tarvik_lock_condition_wakeup_tag(&m_condition, "waker", 2), 0);
    const int second = tarvik_lock_condition_wakeup_tag(&m_condition, "waker", 3);
    first.join();
    EXPECT_EQ(woken.load(), 1);
    // 0 when the waiter was still queued (already woken), -1 when it had already left.
    EXPECT_TRUE(second == 0 || second == -1) << second;

    const auto start = Clock::now();
    EXPECT_EQ(tarvik_lock_condition_wait_timeout_tag(&m_condition, nullptr, 100, "later", 4), 0);
    EXPECT_GE(elapsed_ms(start), 90) << "the surplus wake-up must not reach a later waiter";
}

TEST_F(ConditionTest, SecondWakeUpGoesToTheSecondWaiter)
{
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            tarvik_lock_condition_wait_timeout_tag(&m_condition, nullptr, -1, "waiter", 1);
            ++woken;
        });
    }
    ASSERT_TRUE(wait_until([&] { return condition_waiters(&m_condition) == 2; }));
    // Back to back, so that the first waiter has usually not left when the second call comes.
    EXPECT_EQ(tarvik_lock_condition_wakeup_tag(&m_condition, "waker", 2), 0);
    EXPECT_EQ(tarvik_lock_condition_wakeup_tag(&m_condition, "waker", 3), 0);
    const bool both = wait_until([&] { return woken.load() == 2; }, 5000);
    EXPECT_TRUE(both) << "a second wake-up was swallowed by the first waiter";
    if (!both) {
        tarvik_lock_condition_wakeup_all_tag(&m_condition, "rescue", 4);
    }
    for (auto &waiter : waiters) {
        waiter.join();
    }
}

TEST_F(ConditionTest, WakeAllWakesEveryWaiter)
{
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            tarvik_lock_condition_wait_timeout_tag(&m_condition, nullptr, -1, "waiter", 1);
            ++woken;
        });
    }
    ASSERT_TRUE(wait_until([&] { return condition_waiters(&m_condition) == 3; }));
    EXPECT_EQ(tarvik_lock_condition_wakeup_all_tag(&m_condition, "waker", 2), 0);
    for (auto &waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(woken.load(), 3);
}

TEST_F(ConditionTest, WaitReleasesTheLockAndTakesItBack)
{
    ASSERT_EQ(tarvik_lock_timeout_tag(&m_lock, -1, "waiter", 1), 0);
    std::atomic<int> taken{0};
    std::thread helper([&] {
        // Gets the lock only because the waiter released it while waiting.
        taken = tarvik_lock_timeout_tag(&m_lock, 5000, "helper", 2) == 0 ? 1 : -1;
        tarvik_lock_condition_wakeup_tag(&m_condition, "helper", 3);
        tarvik_unlock_tag(&m_lock, "helper", 4);
    });
    EXPECT_EQ(tarvik_lock_condition_wait_timeout_tag(&m_condition, &m_lock, -1, "waiter", 5), 0);
    helper.join();
    EXPECT_EQ(taken.load(), 1);
    EXPECT_EQ(owner_claims(&m_lock), 1) << "the waiter holds the lock again";
    EXPECT_EQ(try_from_other_thread(&m_lock), 0);
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "waiter", 6), 0);

    // A time-out also comes back holding the lock.
    ASSERT_EQ(tarvik_lock_timeout_tag(&m_lock, -1, "waiter", 7), 0);
    EXPECT_EQ(tarvik_lock_condition_wait_timeout_tag(&m_condition, &m_lock, 20, "waiter", 8), 0);
    EXPECT_EQ(owner_claims(&m_lock), 1);
    EXPECT_EQ(tarvik_unlock_tag(&m_lock, "waiter", 9), 0);
}

TEST_F(ConditionTest, UninitWakesAndWaitsForEveryWaiter)
{
    tarvik_lock_condition_t *condition = tarvik_new_lock_condition_tag("maker", 1);
    ASSERT_NE(condition, nullptr);
    std::atomic<int> returned{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            tarvik_lock_condition_wait_timeout_tag(condition, nullptr, -1, "waiter", 2);
            ++returned;
        });
    }
    ASSERT_TRUE(wait_until([&] { return condition_waiters(condition) == 2; }));
    EXPECT_EQ(tarvik_uninit_lock_condition_tag(condition, "closer", 3), 0);
    EXPECT_EQ(returned.load(), 2) << "uninit returned while threads still waited";
    for (auto &waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(tarvik_free_lock_condition_tag(condition, "maker", 4), 0);
    EXPECT_EQ(tarvik_free_lock_condition_tag(nullptr, "maker", 5), 0);
}

TEST_F(ConditionTest, ProducersAndConsumersLoseNoWakeUp)
{
    constexpr int PRODUCERS = 2;
    constexpr int CONSUMERS = 3;
    constexpr int ITEMS = 5000;
    std::deque<int> queue;
    bool done = false;
    std::atomic<long> consumed{0};
    std::atomic<long> sum{0};

    std::vector<std::thread> consumers;
    for (int c = 0; c < CONSUMERS; ++c) {
        consumers.emplace_back([&] {
            tarvik_lock_timeout_tag(&m_lock, -1, "consumer", 1);
            for (;;) {
                while (queue.empty() && !done) {
                    tarvik_lock_condition_wait_timeout_tag(&m_condition, &m_lock, -1, "consumer",
                                                           2);
                }
                if (queue.empty()) {
                    break;
                }
                sum += queue.front();
                queue.pop_front();
                ++consumed;
            }
            tarvik_unlock_tag(&m_lock, "consumer", 3);
        });
    }
    std::vector<std::thread> producers;
    for (int p = 0; p < PRODUCERS; ++p) {
        producers.emplace_back([&] {
            for (int i = 1; i <= ITEMS; ++i) {
                tarvik_lock_timeout_tag(&m_lock, -1, "producer", 4);
                queue.push_back(i);
                tarvik_lock_condition_wakeup_tag(&m_condition, "producer", 5);
                tarvik_unlock_tag(&m_lock, "producer", 6);
            }
        });
    }
    for (auto &producer : producers) {
        producer.join();
    }
    // Every item must be taken while the consumers still wait for more: a lost wake-up
    // would leave items queued behind sleeping consumers.
    const bool drained = wait_until([&] { return consumed.load() == PRODUCERS * ITEMS; });
    EXPECT_TRUE(drained) << "items left behind sleeping consumers";
    tarvik_lock_timeout_tag(&m_lock, -1, "closer", 7);
    done = true;
    tarvik_lock_condition_wakeup_all_tag(&m_condition, "closer", 8);
    tarvik_unlock_tag(&m_lock, "closer", 9);
    for (auto &consumer : consumers) {
        consumer.join();
    }
    EXPECT_EQ(consumed.load(), PRODUCERS * ITEMS);
    EXPECT_EQ(sum.load(), static_cast<long>(PRODUCERS) * ITEMS * (ITEMS + 1) / 2);
}

// ---- reference spin lock --------------------------------------------------------------------

class SpinLockTest : public TarvikTest {};

TEST_F(SpinLockTest, SharedHoldersExcludeTheExclusiveOne)
{
    tarvik_spin_lock_t lock = TARVIK_SPIN_LOCK_INITIALIZER;
    EXPECT_EQ(tarvik_init_spin_lock(&lock), &lock);
    EXPECT_EQ(tarvik_reference_try_spin_lock_tag(&lock, TARVIK_SPIN_LOCK_SHARED, "reader1", 1), 1);
    EXPECT_STREQ(lock.m_tag, "reader1");
    EXPECT_EQ(tarvik_reference_try_spin_lock_tag(&lock, TARVIK_SPIN_LOCK_SHARED, "reader2", 2), 1);
    EXPECT_EQ(lock.m_count, 2u);
    EXPECT_STREQ(lock.m_tag, "reader1") << "the first holder is remembered";
    EXPECT_EQ(tarvik_try_spin_lock_tag(&lock, "writer", 3), 0);
    EXPECT_EQ(tarvik_spin_lock_timeout_tag(&lock, 30, "writer", 4), 0);

    EXPECT_EQ(tarvik_reference_spin_unlock_tag(&lock, "reader1", 5), 0);
    EXPECT_EQ(tarvik_try_spin_lock_tag(&lock, "writer", 6), 0) << "one shared holder is left";
    EXPECT_EQ(tarvik_reference_spin_unlock_tag(&lock, "reader2", 7), 0);

    EXPECT_EQ(tarvik_try_spin_lock_tag(&lock, "writer", 8), 1);
    EXPECT_EQ(lock.m_exclusive, 1u);
    EXPECT_STREQ(lock.m_tag, "writer");
    EXPECT_EQ(tarvik_reference_try_spin_lock_tag(&lock, TARVIK_SPIN_LOCK_SHARED, "reader", 9), 0);
    EXPECT_EQ(tarvik_try_spin_lock_tag(&lock, "writer2", 10), 0);
    EXPECT_EQ(tarvik_spin_unlock_tag(&lock, "writer", 11), 0);
    EXPECT_EQ(lock.m_exclusive, 0u);
    EXPECT_EQ(lock.m_count, 0u);
    EXPECT_EQ(tarvik_uninit_spin_lock(&lock), 0);
}

TEST_F(SpinLockTest, BlockingFormsWaitForTheHolder)
{
    tarvik_spin_lock_t *lock = tarvik_new_spin_lock();
    ASSERT_NE(lock, nullptr);
    ASSERT_EQ(tarvik_spin_lock_tag(lock, "writer", 1), 1);
    std::atomic<int> got{0};
    std::thread reader([&] {
        got = tarvik_reference_spin_lock_tag(lock, TARVIK_SPIN_LOCK_SHARED, "reader", 2);
        tarvik_reference_spin_unlock_tag(lock, "reader", 3);
    });
    sleep_ms(30);
    EXPECT_EQ(got.load(), 0);
    EXPECT_EQ(tarvik_spin_unlock_tag(lock, "writer", 4), 0);
    reader.join();
    EXPECT_EQ(got.load(), 1);
    EXPECT_EQ(tarvik_reference_spin_lock_timeout_tag(lock, TARVIK_SPIN_LOCK_EXCLUSIVE, 0, "w", 5),
              1);
    EXPECT_EQ(tarvik_spin_unlock_tag(lock, "w", 6), 0);
    EXPECT_EQ(tarvik_free_spin_lock(lock), 0);
    EXPECT_EQ(tarvik_free_spin_lock(nullptr), 0);
}

TEST_F(SpinLockTest, ExclusiveHoldersNeverOverlap)
{
    tarvik_spin_lock_t lock = TARVIK_SPIN_LOCK_INITIALIZER;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                tarvik_spin_lock_tag(&lock, "writer", 1);
                if (inside.fetch_add(1) != 0) {
                    ++overlaps;
                }
                inside.fetch_sub(1);
                tarvik_spin_unlock_tag(&lock, "writer", 2);
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(lock.m_count, 0u);
}

TEST_F(SpinLockTest, UnlockOfUnheldLockPrintsFramedWarning)
{
    tarvik_spin_lock_t lock = TARVIK_SPIN_LOCK_INITIALIZER;
    int result = 0;
    std::string err = capture_stderr([&] { result = tarvik_spin_unlock_tag(&lock, "loose", 42); });
    EXPECT_EQ(result, -1);
    const std::string separator =
        "\n-=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=- -=*=-\n";
    EXPECT_EQ(err, separator +
                       "tarvik: [WARNING] unlock - invalid reference count (already unlocked ?, "
                       "\"loose:42\")\n" +
                       separator);
    EXPECT_EQ(lock.m_count, 0u) << "the count must not wrap below zero";
}

} // namespace
