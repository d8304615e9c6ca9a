// Memory figures: /proc/meminfo texts of several kernels and damaged ones, the real file, the
// victim choice over hand-made process lists, and the per-process probes.
#include "tarvik_test.hpp"

#include "detail/meminfo.hpp"

#include <csignal>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

class MeminfoTest : public TarvikTest {};

constexpr uint64_t KB = 1024;

struct Sample {
    int m_result = -2;
    int m_kernel = -1;
    uint64_t m_values[TARVIK_MEMINFO_COUNT_EX] = {};
};

Sample parse(const std::string &text)
{
    Sample sample;
    sample.m_result =
        tarvik::detail::parse_meminfo(text.data(), text.size(), sample.m_values, &sample.m_kernel);
    return sample;
}

std::vector<uint64_t> values(const Sample &sample)
{
    return std::vector<uint64_t>(sample.m_values, sample.m_values + TARVIK_MEMINFO_COUNT_EX);
}

TEST_F(MeminfoTest, ReadsTheFiguresOfKernelTexts)
{
    struct Row {
        const char *m_what;
        std::string m_text;
        int m_kernel;
        std::vector<uint64_t> m_values; // total used free buffers cached swap t/u/f available
    };
    const std::vector<Row> rows = {
        {"a current kernel: MemAvailable wins over the sum",
         "MemTotal:        1000000 kB\nMemFree:          200000 kB\nMemAvailable:     "
         "300000 kB\nBuffers:           10000 kB\nCached:           400000 kB\nSwapCached:"
         "            7 kB\nActive:           123456 kB\nSwapTotal:         50000 kB\n"
         "SwapFree:          20000 kB\n",
         1,
         {1000000 * KB, 390000 * KB, 200000 * KB, 10000 * KB, 400000 * KB, 50000 * KB, 30000 * KB,
          20000 * KB, 300000 * KB}},
        {"an old kernel without MemAvailable: the sum, no swap",
         "MemTotal:        65536 kB\nMemFree:          1024 kB\nBuffers:           512 kB\n"
         "Cached:           2048 kB\nSwapTotal:           0 kB\nSwapFree:            0 kB\n",
         0,
         {65536 * KB, 61952 * KB, 1024 * KB, 512 * KB, 2048 * KB, 0, 0, 0, 3584 * KB}},
        {"keys without case, CR LF lines, tabs, other units, bytes without a unit",
         "MEMTOTAL:\t2 MB\r\nmemfree: 1048576\r\nbuffers : 1 kb\r\nCACHED:\t0 kB\r\n"
         "swaptotal: 1 gB\r\nSwapFree: 2 GB\r\n",
         0,
         {2 << 20, (2 << 20) - 1048576 - 1024, 1048576, 1024, 0, 1ull << 30, 0, 2ull << 30,
          1048576 + 1024}},
        {"SwapCached and HugePages lines are other keys; the last of a repeated key counts",
         "MemTotal: 100 kB\nMemFree: 10 kB\nMemFree: 20 kB\nSwapCached: 50 kB\n"
         "HugePages_Total: 7\nCached: 30 kB\nMemAvailable: 500 kB\n",
         1,
         {100 * KB, 50 * KB, 20 * KB, 0, 30 * KB, 0, 0, 0, 100 * KB}},
        {"a line with an unknown unit, an overflow or no number is left out",
         "MemTotal: 100 kB\nMemFree: 10 kB\nBuffers: 5 pages\nCached: 18014398509481984 kB\n"
         "MemAvailable: kB\n",
         0,
         {100 * KB, 90 * KB, 10 * KB, 0, 0, 0, 0, 0, 10 * KB}},
    };
    for (const Row &row : rows) {
        Sample sample = parse(row.m_text);
        EXPECT_EQ(sample.m_result, 0) << row.m_what;
        EXPECT_EQ(sample.m_kernel, row.m_kernel) << row.m_what;
        EXPECT_EQ(values(sample), row.m_values) << row.m_what;
    }
}

TEST_F(MeminfoTest, RefusesInconsistentOrIncompleteTexts)
{
    const std::vector<std::pair<const char *, std::string>> rows = {
        {"empty", ""},
        {"no total", "MemFree: 10 kB\nBuffers: 1 kB\nCached: 1 kB\n"},
        {"no free", "MemTotal: 10 kB\nBuffers: 1 kB\nCached: 1 kB\n"},
        {"total of zero", "MemTotal: 0 kB\nMemFree: 0 kB\n"},
        {"free + buffers + cached above the total",
         "MemTotal: 100 kB\nMemFree: 50 kB\nBuffers: 25 kB\nCached: 26 kB\n"},
        {"a sum that wraps 64 bits",
         "MemTotal: 100 kB\nMemFree: 50 kB\nBuffers: 18446744073709551615\n"},
        {"a key without its colon run together", "MemTotal100 kB\nMemFree: 1 kB\n"},
    };
    for (const auto &row : rows) {
        Sample sample = parse(row.second);
        EXPECT_EQ(sample.m_result, -1) << row.first;
    }
    EXPECT_EQ(tarvik::detail::parse_meminfo(nullptr, 10, parse("").m_values, nullptr), -1);
}

std::map<std::string, uint64_t> proc_meminfo()
{
    std::ifstream file("/proc/meminfo");
    std::map<std::string, uint64_t> figures;
    std::string key;
    uint64_t value = 0;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        if (words >> key >> value) {
            figures[key.substr(0, key.size() - 1)] = value * KB;
        }
    }
    return figures;
}

TEST_F(MeminfoTest, TheRealFileAgreesWithItsOwnReading)
{
    uint64_t values[TARVIK_MEMINFO_COUNT_EX] = {};
    uint64_t plain[TARVIK_MEMINFO_COUNT] = {};
    int kernel = -1;
    ASSERT_EQ(tarvik_get_meminfo_ex(values, &kernel), 0);
    ASSERT_EQ(tarvik_get_meminfo(plain), 0);
    std::map<std::string, uint64_t> figures = proc_meminfo();
    EXPECT_EQ(values[TARVIK_MEMINFO_TOTAL], figures["MemTotal"]);
    EXPECT_EQ(plain[TARVIK_MEMINFO_TOTAL], figures["MemTotal"]);
    EXPECT_EQ(values[TARVIK_MEMINFO_SWAP_TOTAL], figures["SwapTotal"]);
    EXPECT_EQ(kernel, figures.count("MemAvailable") != 0 ? 1 : 0);
    EXPECT_EQ(values[TARVIK_MEMINFO_USED],
              values[TARVIK_MEMINFO_TOTAL] - values[TARVIK_MEMINFO_FREE] -
                  values[TARVIK_MEMINFO_BUFFERS] - values[TARVIK_MEMINFO_CACHED]);
    EXPECT_LE(values[TARVIK_MEMINFO_AVAILABLE], values[TARVIK_MEMINFO_TOTAL]);
    EXPECT_GT(values[TARVIK_MEMINFO_AVAILABLE], 0u);
}

// ---- the victim choice ----------------------------------------------------------------------

struct Process {
    uint32_t m_pid;
    uint32_t m_ppid;
    uint64_t m_rss;
    const char *m_state = "S";
    bool m_kernel_thread = false;
};

// A process list of records linked in the given order (the choice must not rely on it).
class List {
  public:
    explicit List(const std::vector<Process> &processes) : m_records(processes.size())
    {
        for (size_t i = 0; i < processes.size(); ++i) {
            tarvik_ps_t &record = m_records[i];
            record = tarvik_ps_t{};
            record.m_pid = processes[i].m_pid;
            record.m_ppid = processes[i].m_ppid;
            record.m_rss = processes[i].m_rss;
            snprintf(record.m_state, sizeof(record.m_state), "%s", processes[i].m_state);
            record.m_vmsize = processes[i].m_kernel_thread ? 0 : processes[i].m_rss + 100;
            record.m_cmdline_size = processes[i].m_kernel_thread ? 0 : 5;
            record.m_next = i + 1 < processes.size() ? &m_records[i + 1] : nullptr;
        }
    }
    tarvik_ps_t *head() { return m_records.empty() ? nullptr : &m_records[0]; }

  private:
    std::vector<tarvik_ps_t> m_records;
};

std::map<int, int> g_adjustments;
std::vector<int> g_asked;

bool lookup(int pid, int *value_out)
{
    g_asked.push_back(pid);
    auto found = g_adjustments.find(pid);
    if (found == g_adjustments.end()) {
        return false;
    }
    *value_out = found->second;
    return true;
}

int victim(const std::vector<Process> &processes, int self, int parent = 0,
           const std::vector<int> &skip = {})
{
    List list(processes);
    tarvik_ps_t *chosen = tarvik::detail::meminfo_victim(list.head(), self, parent, skip.data(),
                                                         static_cast<int>(skip.size()), lookup);
    return chosen != nullptr ? static_cast<int>(chosen->m_pid) : 0;
}

TEST_F(MeminfoTest, VictimIsTheLargestProcessNobodyProtects)
{
    g_adjustments = {{40, -1000}, {41, -999}, {42, 500}};
    struct Row {
        const char *m_what;
        std::vector<Process> m_processes;
        int m_self;
        int m_parent;
        int m_victim;
        std::vector<int> m_skip = {};
    };
    const std::vector<Row> rows = {
        {"the largest wins wherever it stands",
         {{1, 0, 10}, {7, 1, 300}, {8, 1, 900}, {9, 1, 200}},
         5,
         0,
         8},
        {"equal sizes: the lower pid",
         {{1, 0, 10}, {12, 1, 900}, {11, 1, 900}, {13, 1, 900}},
         5,
         0,
         11},
        {"never process 1, even when largest", {{1, 0, 9000}, {7, 1, 100}}, 5, 0, 7},
        {"never the watchdog itself", {{1, 0, 10}, {5, 1, 9000}, {7, 1, 100}}, 5, 0, 7},
        {"never its ancestors: the launcher and the launcher's parent",
         {{1, 0, 10}, {3, 1, 9000}, {4, 3, 8000}, {5, 4, 100}, {6, 1, 50}},
         5,
         0,
         6},
        {"the parent the caller knows is kept even when the list lacks the watchdog",
         {{1, 0, 10}, {4, 1, 8000}, {6, 1, 50}},
         5,
         4,
         6},
        {"never a kernel thread, zombies and empty processes bring nothing back",
         {{1, 0, 10}, {2, 0, 9000, "S", true}, {20, 1, 9000, "Z"}, {21, 1, 0}, {22, 1, 30}},
         5,
         0,
         22},
        {"oom_score_adj -1000 is skipped, -999 and others are not",
         {{1, 0, 10}, {40, 1, 9000}, {41, 1, 8000}, {42, 1, 7000}},
         5,
         0,
         41},
        {"processes ended before that still hold their memory are passed over",
         {{1, 0, 10}, {7, 1, 300}, {8, 1, 900}, {9, 1, 200}},
         5,
         0,
         9,
         {8, 7}},
        {"only protected processes: none", {{1, 0, 10}, {5, 1, 100}, {40, 1, 9000}}, 5, 0, 0},
        {"an empty list: none", {}, 5, 0, 0},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(victim(row.m_processes, row.m_self, row.m_parent, row.m_skip), row.m_victim)
            << row.m_what;
    }
}

TEST_F(MeminfoTest, OnlyTheLargestCandidatesAreLookedUp)
{
    g_adjustments = {{40, -1000}, {41, -1000}};
    g_asked.clear();
    std::vector<Process> processes = {{1, 0, 1}};
    for (uint32_t pid = 100; pid < 200; ++pid) {
        processes.push_back({pid, 1, pid});
    }
    processes.push_back({40, 1, 5000});
    processes.push_back({41, 1, 5000});
    EXPECT_EQ(victim(processes, 5), 199);
    EXPECT_EQ(g_asked, (std::vector<int>{40, 41, 199}));
}

// ---- probes of real processes -----------------------------------------------------------------

TEST_F(MeminfoTest, ProbesOfRealProcesses)
{
    int value = 1;
    ASSERT_EQ(tarvik_get_oom_score_adj(getpid(), &value), 0);
    std::ifstream file("/proc/self/oom_score_adj");
    int expected = 0;
    file >> expected;
    EXPECT_EQ(value, expected);
    EXPECT_EQ(tarvik_get_oom_score_adj(0, &value), -1);
    EXPECT_EQ(tarvik_get_oom_score_adj(getpid(), nullptr), -1);
    EXPECT_EQ(tarvik_meminfo_holds_memory(getpid()), 1);
    EXPECT_EQ(tarvik_meminfo_holds_memory(0), 0);
    EXPECT_EQ(tarvik_meminfo_holds_memory(-1), 0);

    // A child that has ended but is not reaped yet holds no memory any more.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pause();
        _exit(0);
    }
    EXPECT_EQ(tarvik_meminfo_holds_memory(child), 1);
    kill(child, SIGKILL);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(tarvik_meminfo_holds_memory(child), 0);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(tarvik_meminfo_holds_memory(child), 0);

    // The real table: the test itself is never chosen, its parent neither.
    tarvik_ps_t *list = tarvik_open_ps();
    ASSERT_NE(list, nullptr);
    tarvik_ps_t *chosen = tarvik_meminfo_victim(list, getpid());
    if (chosen != nullptr) {
        EXPECT_NE(chosen->m_pid, static_cast<uint32_t>(getpid()));
        EXPECT_NE(chosen->m_pid, static_cast<uint32_t>(getppid()));
        EXPECT_NE(chosen->m_pid, 1u);
        EXPECT_GT(chosen->m_rss, 0u);
    }
    tarvik_close_ps(list);
}

} // namespace
