// Wait-and-wake latency of the single-descriptor wait against poll(): two threads bounce a
// byte over two pipes, each side blocking until its pipe is readable. Argument 1 moves the
// pipes to descriptors above 1024, where the wait builds its sets on the heap.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include "tarvik.h"

namespace {

enum class Wait { Select, Poll };

int wait_readable(Wait how, int fd)
{
    if (how == Wait::Select) {
        return tarvik_single_select(fd, def_tarvik_select_read, -1);
    }
    struct pollfd entry = {fd, POLLIN, 0};
    return poll(&entry, 1, -1);
}

// Moves a descriptor to target (when target >= 0) and returns the one to use.
int place(int fd, int target)
{
    if (target < 0 || dup2(fd, target) != target) {
        return fd;
    }
    close(fd);
    return target;
}

bool raise_descriptor_limit()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max < 1600) {
        return false;
    }
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

void ping_pong(benchmark::State &state, Wait how)
{
    const bool high = state.range(0) != 0;
    if (high && !raise_descriptor_limit()) {
        state.SkipWithError("descriptor limit too low for descriptors above 1024");
        return;
    }
    int there[2];
    int back[2];
    if (pipe(there) != 0 || pipe(back) != 0) {
        state.SkipWithError("pipe failed");
        return;
    }
    there[0] = place(there[0], high ? 1500 : -1);
    there[1] = place(there[1], high ? 1501 : -1);
    back[0] = place(back[0], high ? 1502 : -1);
    back[1] = place(back[1], high ? 1503 : -1);

    std::thread echo([&] {
        char byte = 0;
        for (;;) {
            if (wait_readable(how, there[0]) <= 0 || read(there[0], &byte, 1) != 1 || byte == 'q') {
                return;
            }
            if (write(back[1], &byte, 1) != 1) {
                return;
            }
        }
    });
    char byte = 'p';
    for (auto _ : state) {
        if (write(there[1], &byte, 1) != 1 || wait_readable(how, back[0]) <= 0 ||
            read(back[0], &byte, 1) != 1) {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    byte = 'q';
    (void)!write(there[1], &byte, 1);
    echo.join();
    for (int fd : {there[0], there[1], back[0], back[1]}) {
        close(fd);
    }
    state.SetItemsProcessed(state.iterations());
}

void single_select_round_trip(benchmark::State &state) { ping_pong(state, Wait::Select); }
void poll_round_trip(benchmark::State &state) { ping_pong(state, Wait::Poll); }

// Console output plus the select/poll ratio of round trips per second for each argument.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(isatty(1) != 0 ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            const auto found = run.counters.find("items_per_second");
            if (found != run.counters.end() && !run.error_occurred) {
                m_rates[run.run_name.function_name + "/" + run.run_name.args] = found->second.value;
            }
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const char *arg : {"0", "1"}) {
            const std::string suffix = std::string("/") + arg;
            const auto select = m_rates.find("single_select_round_trip" + suffix);
            const auto poll_rate = m_rates.find("poll_round_trip" + suffix);
            if (select != m_rates.end() && poll_rate != m_rates.end() && select->second > 0) {
                printf("descriptors %s: poll/single_select round-trip ratio %.3f "
                       "(%.0f vs %.0f round trips/s)\n",
                       arg[0] == '0' ? "below 1024" : "above 1024",
                       poll_rate->second / select->second, poll_rate->second, select->second);
            }
        }
    }

  private:
    std::map<std::string, double> m_rates;
};

} // namespace

BENCHMARK(single_select_round_trip)->Arg(0)->Arg(1)->UseRealTime()->MinTime(1.0);
BENCHMARK(poll_round_trip)->Arg(0)->Arg(1)->UseRealTime()->MinTime(1.0);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
