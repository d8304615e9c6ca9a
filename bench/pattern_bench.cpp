// Cost per match of the wildcard list against fnmatch and of the regular-expression engine
// against std::regex; each iteration is one match, so the times read as ns per match.
#include <benchmark/benchmark.h>

#include <fnmatch.h>

#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "tarvik.h"

namespace {

// One million subjects, pre-built and cycled through.
constexpr size_t SUBJECTS = 1000000;
constexpr const char INTERFACE_LIST[] = "bond*|eth*|en*|wlan*|ra*|*";
constexpr const char *INTERFACE_PATTERNS[] = {"bond*", "eth*", "en*", "wlan*", "ra*", "*"};

// Names as a device lists them, spread over every pattern of the list.
const std::vector<std::string> &interface_names()
{
    static const std::vector<std::string> names = [] {
        static const char *const stems[] = {"eth", "wlan",   "bond", "enp",   "ra",
                                            "lo",  "br-lan", "veth", "apcli", "tun",
                                            "eno", "rai",    "ppp",  "wwan",  "sit"};
        std::mt19937 random(1);
        std::vector<std::string> out;
        out.reserve(SUBJECTS);
        for (size_t i = 0; i < SUBJECTS; ++i) {
            std::string name = stems[random() % (sizeof(stems) / sizeof(stems[0]))];
            name += std::to_string(random() % 12);
            if (random() % 4 == 0) {
                name += "s" + std::to_string(random() % 4);
            }
            out.push_back(name);
        }
        return out;
    }();
    return names;
}

// Subjects such as "1234-eth0".
const std::vector<std::string> &numbered_names()
{
    static const std::vector<std::string> subjects = [] {
        std::mt19937 random(2);
        std::vector<std::string> out;
        out.reserve(SUBJECTS);
        for (size_t i = 0; i < SUBJECTS; ++i) {
            out.push_back(std::to_string(random() % 100000) + "-" +
                          interface_names()[random() % SUBJECTS]);
        }
        return out;
    }();
    return subjects;
}

void wildcard_list(benchmark::State &state)
{
    const auto &names = interface_names();
    size_t at = 0;
    for (auto _ : state) {
        int result = tarvik_check_pattern_list(INTERFACE_LIST, "|", names[at].c_str());
        benchmark::DoNotOptimize(result);
        at = at + 1 == SUBJECTS ? 0 : at + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

// First pattern that matches wins, as the list does.
void fnmatch_list(benchmark::State &state)
{
    const auto &names = interface_names();
    size_t at = 0;
    for (auto _ : state) {
        int which = -1;
        for (int i = 0; i < 6; ++i) {
            if (fnmatch(INTERFACE_PATTERNS[i], names[at].c_str(), 0) == 0) {
                which = i;
                break;
            }
        }
        benchmark::DoNotOptimize(which);
        at = at + 1 == SUBJECTS ? 0 : at + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

// Compiles on every call, as the engine always does.
void regular_captures(benchmark::State &state)
{
    const auto &subjects = numbered_names();
    size_t at = 0;
    char number[16];
    char name[32];
    for (auto _ : state) {
        const std::string &subject = subjects[at];
        int result = tarvik_regular(0, "^(\\d+)-(\\S+)$", subject.data(), subject.size(), 1,
                                    static_cast<int>(sizeof(number)), number, 1,
                                    static_cast<int>(sizeof(name)), name);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(number);
        benchmark::DoNotOptimize(name);
        at = at + 1 == SUBJECTS ? 0 : at + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

// Compiled once, outside the loop; the captures are copied out like the engine's.
void std_regex_captures(benchmark::State &state)
{
    const auto &subjects = numbered_names();
    const std::regex expression("^(\\d+)-(\\S+)$", std::regex::ECMAScript);
    size_t at = 0;
    std::string number;
    std::string name;
    for (auto _ : state) {
        std::smatch match;
        bool found = std::regex_match(subjects[at], match, expression);
        if (found) {
            number.assign(match[1].first, match[1].second);
            name.assign(match[2].first, match[2].second);
        }
        benchmark::DoNotOptimize(found);
        benchmark::DoNotOptimize(number.data());
        benchmark::DoNotOptimize(name.data());
        at = at + 1 == SUBJECTS ? 0 : at + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(wildcard_list);
BENCHMARK(fnmatch_list);
BENCHMARK(regular_captures);
BENCHMARK(std_regex_captures);

BENCHMARK_MAIN();
