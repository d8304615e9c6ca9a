// Job dispatch cost: a reused pool worker (submit, wait for the job, repeat) against a fresh
// pthread per job (create + join, or detached + wait), with the ratio printed at the end.
#include "thread.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <pthread.h>
#include <string>
#include <unistd.h>

namespace {

// The job: tells the submitter it ran. Every variant waits the same way (a futex wait).
void finish(void *context)
{
    auto *done = static_cast<std::atomic<int> *>(context);
    done->store(1, std::memory_order_release);
    done->notify_one();
}

void *finish_thread(void *context)
{
    finish(context);
    return nullptr;
}

void wait_done(std::atomic<int> &done)
{
    done.wait(0, std::memory_order_acquire);
    done.store(0, std::memory_order_relaxed);
}

// Keeps one job active for the pool benchmarks: the pool drops its idle workers as soon as
// nothing runs, as a quiet process should.
struct Anchor {
    std::mutex m_mutex;
    std::condition_variable m_signal;
    bool m_open = false;

    static void run(void *context)
    {
        auto *anchor = static_cast<Anchor *>(context);
        std::unique_lock<std::mutex> lock(anchor->m_mutex);
        anchor->m_signal.wait(lock, [anchor] { return anchor->m_open; });
    }
    void open()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_open = true;
        m_signal.notify_all();
    }
};

void BM_PoolDispatch(benchmark::State &state)
{
    // Enough spares that the previous worker need not be back in the ready list yet.
    tarvik_set_thread_pool(3, 4);
    Anchor anchor;
    tarvik_detached_thread_ex_tag(Anchor::run, &anchor, 0, "bench", __LINE__);
    std::atomic<int> done{0};
    unsigned long before = 0;
    tarvik_get_thread_count(nullptr, nullptr, &before);
    for (auto _ : state) {
        tarvik_detached_thread_ex_tag(finish, &done, 0, "bench", __LINE__);
        wait_done(done);
    }
    unsigned long highest = 0;
    tarvik_get_thread_count(nullptr, nullptr, &highest);
    state.counters["threads_made"] = static_cast<double>(highest);
    anchor.open();
    tarvik_set_thread_pool(0, 0);
    tarvik_thread_pool_wait(10000);
}

void BM_PoolOffNewThreadPerJob(benchmark::State &state)
{
    tarvik_set_thread_pool(0, 0);
    std::atomic<int> done{0};
    for (auto _ : state) {
        tarvik_detached_thread_ex_tag(finish, &done, 0, "bench", __LINE__);
        wait_done(done);
    }
    tarvik_thread_pool_wait(10000);
}

void BM_PthreadCreateJoin(benchmark::State &state)
{
    std::atomic<int> done{0};
    for (auto _ : state) {
        pthread_t thread;
        pthread_create(&thread, nullptr, finish_thread, &done);
        pthread_join(thread, nullptr);
        done.store(0, std::memory_order_relaxed);
    }
}

void BM_PthreadDetachedWait(benchmark::State &state)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    std::atomic<int> done{0};
    for (auto _ : state) {
        pthread_t thread;
        pthread_create(&thread, &attributes, finish_thread, &done);
        wait_done(done);
    }
    pthread_attr_destroy(&attributes);
}

BENCHMARK(BM_PoolDispatch)->UseRealTime();
BENCHMARK(BM_PoolOffNewThreadPerJob)->UseRealTime();
BENCHMARK(BM_PthreadCreateJoin)->UseRealTime();
BENCHMARK(BM_PthreadDetachedWait)->UseRealTime();

// Console output as usual, plus the real time per job of each benchmark for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(isatty(1) != 0 ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            m_times[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double time(const std::string &name) const
    {
        auto found = m_times.find(name);
        return found != m_times.end() ? found->second : 0.0;
    }

  private:
    std::map<std::string, double> m_times;
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double pool = reporter.time("BM_PoolDispatch/real_time");
    if (pool > 0.0) {
        printf("\nfresh pthread per job (create+join) / pooled worker: %.1fx\n",
               reporter.time("BM_PthreadCreateJoin/real_time") / pool);
        printf("fresh pthread per job (detached+wait) / pooled worker: %.1fx\n",
               reporter.time("BM_PthreadDetachedWait/real_time") / pool);
        printf("library without pooling / pooled worker: %.1fx\n",
               reporter.time("BM_PoolOffNewThreadPerJob/real_time") / pool);
    }
    benchmark::Shutdown();
    return 0;
}
