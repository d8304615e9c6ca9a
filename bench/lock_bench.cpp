// Cost of the traced lock against a pthread mutex: an uncontended lock/unlock pair, and
// two threads handing a turn back and forth through a lock and a condition.
#include <benchmark/benchmark.h>

#include <atomic>
#include <pthread.h>
#include <thread>

#include "tarvik.h"

namespace {

void tarvik_lock_pair(benchmark::State &state)
{
    tarvik_lock_t lock;
    tarvik_init_lock_tag(&lock, __func__, __LINE__);
    for (auto _ : state) {
        tarvik_lock_timeout_tag(&lock, -1, __func__, __LINE__);
        benchmark::ClobberMemory();
        tarvik_unlock_tag(&lock, __func__, __LINE__);
    }
    tarvik_uninit_lock_tag(&lock, __func__, __LINE__);
    state.SetItemsProcessed(state.iterations());
}

// The floor of the lock pair: every lock attempt allocates and frees one claim.
void claim_alloc_pair(benchmark::State &state)
{
    for (auto _ : state) {
        void *claim =
            tarvik_alloc_tag(sizeof(tarvik_lock_claim_t), "__tarvik_new_lock_claim", __LINE__);
        benchmark::DoNotOptimize(claim);
        tarvik_free_tag(claim, "__tarvik_new_lock_claim", __LINE__);
    }
    state.SetItemsProcessed(state.iterations());
}

void pthread_mutex_pair(benchmark::State &state)
{
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : state) {
        pthread_mutex_lock(&mutex);
        benchmark::ClobberMemory();
        pthread_mutex_unlock(&mutex);
    }
    state.SetItemsProcessed(state.iterations());
}

void tarvik_spin_lock_pair(benchmark::State &state)
{
    tarvik_spin_lock_t lock = TARVIK_SPIN_LOCK_INITIALIZER;
    for (auto _ : state) {
        tarvik_spin_lock_tag(&lock, __func__, __LINE__);
        benchmark::ClobberMemory();
        tarvik_spin_unlock_tag(&lock, __func__, __LINE__);
    }
    state.SetItemsProcessed(state.iterations());
}

// Ping-pong: the turn word says who may go; each side waits for its turn, passes it on and
// wakes the other. One benchmark iteration is a round trip, two hand-offs.
struct TarvikTurn {
    tarvik_lock_t m_lock;
    tarvik_lock_condition_t m_condition;
    int m_turn = 0;
    bool m_stop = false;

    // Returns false once stopped.
    bool play(int me)
    {
        tarvik_lock_timeout_tag(&m_lock, -1, "play", __LINE__);
        while (m_turn != me && !m_stop) {
            tarvik_lock_condition_wait_timeout_tag(&m_condition, &m_lock, -1, "play", __LINE__);
        }
        const bool going = !m_stop;
        m_turn = 1 - me;
        tarvik_lock_condition_wakeup_tag(&m_condition, "play", __LINE__);
        tarvik_unlock_tag(&m_lock, "play", __LINE__);
        return going;
    }
    void stop()
    {
        tarvik_lock_timeout_tag(&m_lock, -1, "stop", __LINE__);
        m_stop = true;
        tarvik_lock_condition_wakeup_all_tag(&m_condition, "stop", __LINE__);
        tarvik_unlock_tag(&m_lock, "stop", __LINE__);
    }
};

struct PthreadTurn {
    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_condition = PTHREAD_COND_INITIALIZER;
    int m_turn = 0;
    bool m_stop = false;

    bool play(int me)
    {
        pthread_mutex_lock(&m_mutex);
        while (m_turn != me && !m_stop) {
            pthread_cond_wait(&m_condition, &m_mutex);
        }
        const bool going = !m_stop;
        m_turn = 1 - me;
        pthread_cond_signal(&m_condition);
        pthread_mutex_unlock(&m_mutex);
        return going;
    }
    void stop()
    {
        pthread_mutex_lock(&m_mutex);
        m_stop = true;
        pthread_cond_broadcast(&m_condition);
        pthread_mutex_unlock(&m_mutex);
    }
};

template <typename Turn> void run_hand_off(benchmark::State &state, Turn &turn)
{
    std::thread partner([&] {
        while (turn.play(1)) {
        }
    });
    for (auto _ : state) {
        turn.play(0);
    }
    turn.stop();
    partner.join();
    state.SetItemsProcessed(state.iterations() * 2);
}

void tarvik_hand_off(benchmark::State &state)
{
    TarvikTurn turn;
    tarvik_init_lock_tag(&turn.m_lock, __func__, __LINE__);
    tarvik_init_lock_condition_tag(&turn.m_condition, __func__, __LINE__);
    run_hand_off(state, turn);
    tarvik_uninit_lock_condition_tag(&turn.m_condition, __func__, __LINE__);
    tarvik_uninit_lock_tag(&turn.m_lock, __func__, __LINE__);
}

void pthread_hand_off(benchmark::State &state)
{
    PthreadTurn turn;
    run_hand_off(state, turn);
}

} // namespace

BENCHMARK(tarvik_lock_pair);
BENCHMARK(claim_alloc_pair);
BENCHMARK(pthread_mutex_pair);
BENCHMARK(tarvik_spin_lock_pair);
BENCHMARK(tarvik_hand_off)->UseRealTime()->MinTime(2.0);
BENCHMARK(pthread_hand_off)->UseRealTime()->MinTime(2.0);

// glibc drops the bus lock of its mutexes while a process has never had a second thread;
// a lock exists for threaded programs, so every figure is taken in one.
int main(int argc, char **argv)
{
    std::thread([] {}).join();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
