// The event base against libevent in the same run. Reactor: N socket pairs, A of them active;
// every read handler takes its byte and writes one to the next pair; a figure is the time of
// 10,000 activations (libevent with its select and its epoll back end). Timers: 100,000
// one-shot timers added, fired and gone. Each reading needs the same work from both sides.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include <event2/event.h>
#include <sys/select.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tarvik.h"

namespace {

constexpr int ACTIVATIONS = 10000;
constexpr int TIMERS = 100000;

bool raise_descriptor_limit(rlim_t wanted)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return false;
    }
    if (limit.rlim_cur >= wanted) {
        return true;
    }
    if (limit.rlim_max < wanted) {
        return false;
    }
    limit.rlim_cur = wanted;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// The pairs and the counting shared by both reactors.
struct Ring {
    std::vector<int> m_read;
    std::vector<int> m_write;
    int m_fired = 0;
    int m_writes = 0;

    bool open(int count)
    {
        for (int i = 0; i < count; ++i) {
            int pair[2];
            if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
                return false;
            }
            m_read.push_back(pair[0]);
            m_write.push_back(pair[1]);
        }
        return true;
    }
    ~Ring()
    {
        for (size_t i = 0; i < m_read.size(); ++i) {
            close(m_read[i]);
            close(m_write[i]);
        }
    }
    // Starts a round: A bytes spread over the ring.
    void start(int active)
    {
        m_fired = 0;
        m_writes = 0;
        const int count = static_cast<int>(m_read.size());
        for (int i = 0; i < active; ++i) {
            char byte = 'e';
            benchmark::DoNotOptimize(write(m_write[(i * count / active) % count], &byte, 1));
            ++m_writes;
        }
    }
    // One activation of pair index; true once the round is complete.
    bool activate(int index)
    {
        char byte;
        benchmark::DoNotOptimize(recv(m_read[index], &byte, 1, 0));
        ++m_fired;
        if (m_writes < ACTIVATIONS) {
            const int next = (index + 1) % static_cast<int>(m_write.size());
            benchmark::DoNotOptimize(write(m_write[next], &byte, 1));
            ++m_writes;
        }
        return m_fired >= m_writes;
    }
};

struct TarvikReactor {
    Ring *m_ring;
    tarvik_event_base_t *m_base;
    std::vector<tarvik_event_t> m_events;
};

int32_t tarvik_read(tarvik_event_t *event, int, uint32_t what, void *context)
{
    if ((what & def_tarvik_event_read) == 0) {
        return 0;
    }
    auto *reactor = static_cast<TarvikReactor *>(context);
    if (reactor->m_ring->activate(static_cast<int>(event - reactor->m_events.data()))) {
        tarvik_event_base_break_loop(reactor->m_base);
    }
    return 0;
}

void BM_Reactor_Tarvik(benchmark::State &state)
{
    const int count = static_cast<int>(state.range(0));
    const int active = static_cast<int>(state.range(1));
    Ring ring;
    if (!raise_descriptor_limit(static_cast<rlim_t>(2 * count + 64)) || !ring.open(count)) {
        state.SkipWithError("not enough descriptors");
        return;
    }
    TarvikReactor reactor = {&ring, tarvik_new_event_base(), std::vector<tarvik_event_t>(count)};
    for (int i = 0; i < count; ++i) {
        memset(&reactor.m_events[i], 0, sizeof(tarvik_event_t));
        tarvik_assign_event(reactor.m_base, &reactor.m_events[i], ring.m_read[i],
                            def_tarvik_event_read | def_tarvik_event_persist, tarvik_read,
                            &reactor);
        tarvik_add_event(&reactor.m_events[i], -1);
    }
    for (auto _ : state) {
        ring.start(active);
        tarvik_event_base_dispatch(reactor.m_base);
    }
    state.SetItemsProcessed(state.iterations() * ACTIVATIONS);
    for (tarvik_event_t &event : reactor.m_events) {
        tarvik_unassign_event(&event);
    }
    tarvik_free_event_base(reactor.m_base);
}

struct LibeventReactor {
    Ring *m_ring;
    struct event_base *m_base;
};

// The callback context: the pair index and the reactor.
struct LibeventEntry {
    int m_index;
    LibeventReactor *m_reactor;
};

void libevent_read(evutil_socket_t, short, void *context)
{
    auto *entry = static_cast<LibeventEntry *>(context);
    if (entry->m_reactor->m_ring->activate(entry->m_index)) {
        event_base_loopbreak(entry->m_reactor->m_base);
    }
}

// A libevent base using one back end only.
struct event_base *libevent_base(const char *method)
{
    struct event_config *config = event_config_new();
    for (const char *other : {"select", "poll", "epoll"}) {
        if (strcmp(other, method) != 0) {
            event_config_avoid_method(config, other);
        }
    }
    struct event_base *base = event_base_new_with_config(config);
    event_config_free(config);
    return base;
}

void reactor_libevent(benchmark::State &state, const char *method)
{
    const int count = static_cast<int>(state.range(0));
    const int active = static_cast<int>(state.range(1));
    Ring ring;
    struct event_base *base = libevent_base(method);
    if (base == nullptr || strcmp(event_base_get_method(base), method) != 0) {
        state.SkipWithError("libevent back end not available");
        return;
    }
    // libevent's select back end is built with fixed-size sets: past FD_SETSIZE it aborts.
    if (strcmp(method, "select") == 0 && 2 * count + 16 > FD_SETSIZE) {
        state.SkipWithError("libevent's select back end stops at FD_SETSIZE descriptors");
        event_base_free(base);
        return;
    }
    if (!raise_descriptor_limit(static_cast<rlim_t>(2 * count + 64)) || !ring.open(count)) {
        state.SkipWithError("not enough descriptors");
        event_base_free(base);
        return;
    }
    LibeventReactor reactor = {&ring, base};
    std::vector<LibeventEntry> entries(static_cast<size_t>(count));
    std::vector<struct event *> events;
    for (int i = 0; i < count; ++i) {
        entries[i] = {i, &reactor};
        struct event *event =
            event_new(base, ring.m_read[i], EV_READ | EV_PERSIST, libevent_read, &entries[i]);
        event_add(event, nullptr);
        events.push_back(event);
    }
    for (auto _ : state) {
        ring.start(active);
        event_base_dispatch(base);
    }
    state.SetItemsProcessed(state.iterations() * ACTIVATIONS);
    for (struct event *event : events) {
        event_free(event);
    }
    event_base_free(base);
}

void BM_Reactor_LibeventSelect(benchmark::State &state) { reactor_libevent(state, "select"); }
void BM_Reactor_LibeventEpoll(benchmark::State &state) { reactor_libevent(state, "epoll"); }

// ---- timers ---------------------------------------------------------------------------------

int32_t tarvik_timer(tarvik_event_t *, int, uint32_t what, void *context)
{
    if ((what & def_tarvik_event_timeout) != 0) {
        ++*static_cast<int *>(context);
    }
    return 0;
}

void BM_Timers_Tarvik(benchmark::State &state)
{
    tarvik_event_base_t *base = tarvik_new_event_base();
    std::vector<tarvik_event_t> events(TIMERS);
    int fired = 0;
    for (tarvik_event_t &event : events) {
        memset(&event, 0, sizeof(event));
        tarvik_assign_event(base, &event, -1, 0, tarvik_timer, &fired);
    }
    for (auto _ : state) {
        fired = 0;
        for (tarvik_event_t &event : events) {
            tarvik_add_event(&event, 1);
        }
        while (fired < TIMERS) {
            tarvik_event_base_loop(base, def_tarvik_event_loop_once);
        }
    }
    state.SetItemsProcessed(state.iterations() * TIMERS);
    for (tarvik_event_t &event : events) {
        tarvik_unassign_event(&event);
    }
    tarvik_free_event_base(base);
}

void libevent_timer(evutil_socket_t, short, void *context) { ++*static_cast<int *>(context); }

void timers_libevent(benchmark::State &state, const char *method)
{
    struct event_base *base = libevent_base(method);
    std::vector<struct event *> events(TIMERS);
    int fired = 0;
    for (struct event *&event : events) {
        event = evtimer_new(base, libevent_timer, &fired);
    }
    const struct timeval one_ms = {0, 1000};
    for (auto _ : state) {
        fired = 0;
        for (struct event *event : events) {
            evtimer_add(event, &one_ms);
        }
        while (fired < TIMERS) {
            event_base_loop(base, EVLOOP_ONCE);
        }
    }
    state.SetItemsProcessed(state.iterations() * TIMERS);
    for (struct event *event : events) {
        event_free(event);
    }
    event_base_free(base);
}

void BM_Timers_LibeventSelect(benchmark::State &state) { timers_libevent(state, "select"); }
void BM_Timers_LibeventEpoll(benchmark::State &state) { timers_libevent(state, "epoll"); }

void reactor_arguments(benchmark::internal::Benchmark *bench)
{
    bench->Args({100, 1})->Args({100, 10})->Args({1000, 1})->Args({1000, 100});
    bench->Unit(benchmark::kMicrosecond);
}

} // namespace

BENCHMARK(BM_Reactor_Tarvik)->Apply(reactor_arguments);
BENCHMARK(BM_Reactor_LibeventSelect)->Apply(reactor_arguments);
BENCHMARK(BM_Reactor_LibeventEpoll)->Apply(reactor_arguments);
BENCHMARK(BM_Timers_Tarvik)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Timers_LibeventSelect)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Timers_LibeventEpoll)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
