// The detached-thread pool: worker reuse, spare and idle rules, thread counts, thread options
// and waiting for the pool to drain.
#include "capture.hpp"
#include "tarvik_test.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Polls until predicate holds; false after limit_ms (a bound against hangs, not a timing check).
template <typename Predicate> bool wait_until(Predicate predicate, int limit_ms = 20000)
{
    const auto start = Clock::now();
    while (!predicate()) {
        if (Clock::now() - start > std::chrono::milliseconds(limit_ms)) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A job that blocks until the test opens its gate, and tells which thread ran it.
struct Job {
    std::mutex m_mutex;
    std::condition_variable m_open_signal;
    bool m_open = false;
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_done{false};
    std::atomic<uint64_t> m_thread_id{0};
    std::atomic<size_t> m_stack_size{0};

    void open()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_open = true;
        m_open_signal.notify_all();
    }

    static void run(void *context)
    {
        auto *job = static_cast<Job *>(context);
        job->m_thread_id = tarvik_get_thread_id();
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            size_t size = 0;
            pthread_attr_getstacksize(&attributes, &size);
            job->m_stack_size = size;
            pthread_attr_destroy(&attributes);
        }
        job->m_started = true;
        {
            std::unique_lock<std::mutex> lock(job->m_mutex);
            job->m_open_signal.wait(lock, [job] { return job->m_open; });
        }
        // Last touch: the test may destroy the job as soon as it sees this.
        job->m_done = true;
    }
};

// Submits an already opened job and waits until it ran.
uint64_t run_to_end(Job &job, uint32_t option = 0)
{
    job.open();
    EXPECT_EQ(tarvik_detached_thread_ex_tag(Job::run, &job, option, "run_to_end", __LINE__), 0);
    EXPECT_TRUE(wait_until([&] { return job.m_done.load(); }));
    return job.m_thread_id;
}

unsigned long active_count()
{
    unsigned long active = 0;
    tarvik_get_thread_count(&active, nullptr, nullptr);
    return active;
}

unsigned long ready_count()
{
    unsigned long ready = 0;
    tarvik_get_thread_count(nullptr, &ready, nullptr);
    return ready;
}

class ThreadTest : public TarvikTest {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(tarvik_thread_pool_wait(20000), 0) << "threads left by an earlier test";
        TarvikTest::SetUp();
    }
    void TearDown() override
    {
        for (std::unique_ptr<Job> &job : m_gates) {
            job->open();
        }
        tarvik_set_thread_pool(0, 0);
        EXPECT_EQ(tarvik_thread_pool_wait(20000), 0);
        TarvikTest::TearDown();
    }

    // Starts a job that holds the pool busy until the test ends (or opens it). The fixture
    // owns it, so that it outlives its thread.
    Job &start_blocked(uint32_t option = 0)
    {
        m_gates.push_back(std::make_unique<Job>());
        Job &job = *m_gates.back();
        EXPECT_EQ(tarvik_detached_thread_ex_tag(Job::run, &job, option, "start_blocked", __LINE__),
                  0);
        EXPECT_TRUE(wait_until([&] { return job.m_started.load(); }));
        return job;
    }

    std::vector<std::unique_ptr<Job>> m_gates;
};

TEST_F(ThreadTest, NullEntryIsRefused)
{
    EXPECT_EQ(tarvik_detached_thread_ex_tag(nullptr, nullptr, 0, "test", __LINE__), -1);
    EXPECT_EQ(tarvik_get_thread_count(nullptr, nullptr, nullptr), 0ul);
}

TEST_F(ThreadTest, JobRunsOnItsOwnThreadAndTheThreadEnds)
{
    Job job;
    EXPECT_NE(run_to_end(job), tarvik_get_thread_id());
    EXPECT_EQ(tarvik_thread_pool_wait(20000), 0);
    EXPECT_EQ(tarvik_get_thread_count(nullptr, nullptr, nullptr), 0ul);
    EXPECT_EQ(active_count(), 0ul);
}

TEST_F(ThreadTest, WithoutPoolingEveryJobEndsItsThread)
{
    start_blocked();
    EXPECT_EQ(tarvik_get_thread_count(nullptr, nullptr, nullptr), 1ul);
    Job second;
    run_to_end(second);
    // Something is still active, yet nothing is pooled: the second thread goes.
    EXPECT_EQ(tarvik_thread_pool_wait_ex(1, 20000, 0), 0);
    EXPECT_EQ(ready_count(), 0ul);
    EXPECT_EQ(active_count(), 1ul);
}

TEST_F(ThreadTest, PooledWorkerRunsConsecutiveJobs)
{
    tarvik_set_thread_pool(1, 4);
    Job &anchor = start_blocked();
    uint64_t previous = 0;
    for (int round = 0; round < 4; ++round) {
        Job job;
        const uint64_t thread_id = run_to_end(job);
        ASSERT_TRUE(wait_until([] { return active_count() == 1 && ready_count() == 1; }));
        if (round > 0) {
            EXPECT_EQ(thread_id, previous) << "round " << round;
        }
        previous = thread_id;
    }
    EXPECT_EQ(tarvik_get_thread_count(nullptr, nullptr, nullptr), 2ul);
    EXPECT_NE(previous, anchor.m_thread_id.load());
}

TEST_F(ThreadTest, SpareMinimumKeepsWorkersReady)
{
    tarvik_set_thread_pool(3, 0);
    start_blocked();
    // One job active, one spare ready.
    EXPECT_EQ(tarvik_get_thread_count(nullptr, nullptr, nullptr), 2ul);
    EXPECT_EQ(ready_count(), 1ul);
    start_blocked();
    // The spare took the job and a new spare was made: 2 active + 1 ready.
    EXPECT_EQ(tarvik_get_thread_count(nullptr, nullptr, nullptr), 3ul);
    EXPECT_EQ(active_count(), 2ul);
    EXPECT_EQ(ready_count(), 1ul);
    start_blocked();
    // active + ready reached the minimum: no further spare.
    EXPECT_EQ(tarvik_get_thread_count(nullptr, nullptr, nullptr), 3ul);
    EXPECT_EQ(ready_count(), 0ul);
    unsigned long highest = 0;
    tarvik_get_thread_count(nullptr, nullptr, &highest);
    EXPECT_GE(highest, 3ul);
}

TEST_F(ThreadTest, IdleMaximumEndsSurplusWorkers)
{
    tarvik_set_thread_pool(0, 1);
    start_blocked();
    Job *jobs[3];
    for (Job *&job : jobs) {
        job = &start_blocked();
    }
    EXPECT_EQ(tarvik_get_thread_count(nullptr, nullptr, nullptr), 4ul);
    for (Job *job : jobs) {
        job->open();
    }
    // One finished worker stays ready, the other two end.
    EXPECT_EQ(tarvik_thread_pool_wait_ex(2, 20000, 0), 0);
    ASSERT_TRUE(wait_until([] { return active_count() == 1; }));
    EXPECT_EQ(ready_count(), 1ul);
    EXPECT_EQ(tarvik_get_thread_count(nullptr, nullptr, nullptr), 2ul);
}

TEST_F(ThreadTest, LastActiveJobEndsEveryReadyWorker)
{
    tarvik_set_thread_pool(2, 0);
    Job &anchor = start_blocked();
    Job job;
    run_to_end(job);
    ASSERT_TRUE(wait_until([] { return ready_count() == 1; }));
    EXPECT_EQ(tarvik_get_thread_count(nullptr, nullptr, nullptr), 2ul);
    anchor.open();
    EXPECT_EQ(tarvik_thread_pool_wait(20000), 0);
    EXPECT_EQ(ready_count(), 0ul);
    EXPECT_EQ(active_count(), 0ul);
}

TEST_F(ThreadTest, SwitchingPoolingOffEndsReadyWorkers)
{
    tarvik_set_thread_pool(0, 4);
    start_blocked();
    Job job;
    run_to_end(job);
    ASSERT_TRUE(wait_until([] { return ready_count() == 1; }));
    tarvik_set_thread_pool(0, 0);
    EXPECT_EQ(ready_count(), 0ul);
    EXPECT_EQ(tarvik_thread_pool_wait_ex(1, 20000, 0), 0);
}

TEST_F(ThreadTest, WorkersAreReusedOnlyForTheSameThreadOption)
{
    tarvik_set_thread_pool(0, 4);
    start_blocked();
    Job plain;
    const uint64_t plain_thread = run_to_end(plain);
    ASSERT_TRUE(wait_until([] { return ready_count() == 1; }));
    const uint32_t option = 512; // KiB of stack
    Job big;
    const uint64_t big_thread = run_to_end(big, option);
    EXPECT_NE(big_thread, plain_thread);
    EXPECT_GE(big.m_stack_size.load(), static_cast<size_t>(option) * 1024u);
    ASSERT_TRUE(wait_until([] { return ready_count() == 2; }));
    // Each option finds its own ready worker.
    Job again;
    EXPECT_EQ(run_to_end(again, option), big_thread);
    Job plain_again;
    EXPECT_EQ(run_to_end(plain_again), plain_thread);
}

TEST_F(ThreadTest, PoolWaitTimesOutThenSucceeds)
{
    Job &job = start_blocked();
    const std::string text =
        capture_stderr([] { EXPECT_EQ(tarvik_thread_pool_wait_ex(0, 50, 1), -1); });
    EXPECT_EQ(
        text.rfind("tarvik_thread_pool_wait_ex: [debug] thread-pool wait timeout ! (timeout=", 0),
        0u)
        << text;
    EXPECT_NE(text.find(" msec, threads=1/0)\n"), std::string::npos) << text;
    // Not verbose: silent.
    EXPECT_EQ(capture_stderr([] { EXPECT_EQ(tarvik_thread_pool_wait_ex(0, 20, 0), -1); }), "");
    // Already at or below the mark.
    EXPECT_EQ(tarvik_thread_pool_wait_ex(1, 0, 1), 0);
    job.open();
    EXPECT_EQ(tarvik_thread_pool_wait_ex(0, 20000, 1), 0);
}

TEST_F(ThreadTest, CountsRiseAndFallUnderLoad)
{
    tarvik_set_thread_pool(2, 3);
    Job &anchor = start_blocked();
    constexpr int JOBS = 200;
    std::atomic<int> ran{0};
    auto count = [](void *context) { static_cast<std::atomic<int> *>(context)->fetch_add(1); };
    std::vector<std::thread> submitters;
    for (int t = 0; t < 4; ++t) {
        submitters.emplace_back([&] {
            for (int i = 0; i < JOBS / 4; ++i) {
                EXPECT_EQ(tarvik_detached_thread_ex_tag(count, &ran, 0, "load", __LINE__), 0);
            }
        });
    }
    for (std::thread &submitter : submitters) {
        submitter.join();
    }
    ASSERT_TRUE(wait_until([&] { return ran.load() == JOBS && active_count() == 1; }));
    EXPECT_LE(ready_count(), 3ul);
    EXPECT_GE(tarvik_get_thread_count(nullptr, nullptr, nullptr), 1ul);
    anchor.open();
    EXPECT_EQ(tarvik_thread_pool_wait(20000), 0);
    EXPECT_EQ(ready_count(), 0ul);
}

} // namespace
