// The setcpu applet: shows and changes the processor affinity of processes chosen by pid
// or by a name pattern.
#include "applet.hpp"
#include "applets.h"

#include "console.h"
#include "fragment.h"
#include "heap.h"
#include "pattern.h"
#include "process.h"
#include "process_control.h"

#include "detail/common.hpp"

#include <climits>

namespace {

enum : size_t { PID, CPU, NAME, LIST };
constexpr vexa::Option OPTIONS[] = {
    {"p|pid|id", vexa::Takes::VALUE, nullptr},
    {"c|cpu|core", vexa::Takes::VALUE, nullptr},
    {"n|name|process", vexa::Takes::VALUE, nullptr},
    {"l|list", vexa::Takes::NOTHING, nullptr},
};
constexpr vexa::Usage USAGE = vexa::usage_of(
    "usage: --pid <pid> | --cpu <id> | --name <process name> | --list\n", OPTIONS, "");
constexpr const char *PATTERN_SEPARATORS = "|";

struct Options {
    int m_pid;
    int m_cpu;
    const char *m_name;
    bool m_list;
    const char *m_program;
};

// A number option's value within [minimum, maximum], or -1 when the option is absent; false
// (with a message) for an empty, malformed or out-of-range value, which would otherwise wrap
// (4294967297 was CPU 1) or read as the fallback ("" was every CPU).
bool read_number(const vexa::Arguments &arguments, size_t option, long long minimum,
                 long long maximum, int *out)
{
    long long value = -1;
    if (!arguments.number(option, minimum, maximum, -1, &value)) {
        return false;
    }
    *out = static_cast<int>(value);
    return true;
}

bool read_options(const vexa::Arguments &arguments, Options *options)
{
    *options = Options{};
    options->m_program = arguments.program_name();
    options->m_name = arguments.value(NAME);
    options->m_list = arguments.has(LIST);
    return read_number(arguments, PID, 1, INT_MAX, &options->m_pid) &&
           read_number(arguments, CPU, -1, TARVIK_AFFINITY_CPUS - 1, &options->m_cpu);
}

// Pins one process and says so; false when the kernel refused.
bool pin(int pid, int cpu)
{
    if (tarvik_set_running_cpu_ex(pid, cpu) != 0) {
        tarvik_printf("can not change running cpu !\n");
        return false;
    }
    if (cpu == -1) {
        tarvik_printf("set running on CPUs (pid=%d)\n", pid);
    } else {
        tarvik_printf("set running on CPU%d (pid=%d)\n", cpu, pid);
    }
    return true;
}

bool matches(const char *pattern, const char *text)
{
    return text != nullptr && tarvik_check_pattern_list(pattern, PATTERN_SEPARATORS, text) == 0;
}

bool record_matches(const tarvik_ps_t *record, const char *pattern)
{
    const char *first_word = record->m_argc > 0 ? record->m_argv[0] : nullptr;
    return matches(pattern, record->m_name) || matches(pattern, record->m_exe) ||
           matches(pattern, first_word);
}

// Every matching process is tried even after a refusal; the result tells whether all
// of them were moved (and the table could be read at all).
bool pin_by_name(const char *pattern, int cpu, const char *program)
{
    tarvik_printf("searching process \"%s\"\n", pattern);
    tarvik_ps_t *list = tarvik_open_ps_ex(TARVIK_PS_EXE);
    if (list == nullptr) {
        vexa::report_failure(program, "can not read the process table");
        return false;
    }
    bool all_moved = true;
    for (tarvik_ps_t *record = list; record != nullptr; record = record->m_next) {
        if (record_matches(record, pattern) && !pin(static_cast<int>(record->m_pid), cpu)) {
            all_moved = false;
        }
    }
    tarvik_close_ps(list);
    return all_moved;
}

// A process that vanished since the table was read has no mask and is left out. A name
// is another process's text: control characters are shown as "?". False when the table
// cannot be read.
bool print_list(const char *program)
{
    tarvik_ps_t *list = tarvik_open_ps_ex(0);
    if (list == nullptr) {
        vexa::report_failure(program, "can not read the process table");
        return false;
    }
    tarvik_printf("%5s %-32s %s\n", "PID", "Mask", "Name");
    for (tarvik_ps_t *record = list; record != nullptr; record = record->m_next) {
        int pid = static_cast<int>(record->m_pid);
        tarvik_fragment_t *mask = tarvik_get_cpu_mask_ex(pid);
        char *text = tarvik_fragment_to_string(mask);
        if (text != nullptr) {
            char name[256];
            tarvik_printf("%5d %-32s %s\n", pid, text,
                          vexa::printable(record->m_name, name, sizeof(name)));
            tarvik_free_tag(text, TARVIK_TAG);
        }
        tarvik_close_fragment(mask);
    }
    tarvik_close_ps(list);
    return true;
}

int run(const Options &options)
{
    int count = tarvik_get_cpu_count_ex(-1);
    if (count != -1) {
        tarvik_printf("CPU x %d\n", count);
    }
    bool all_moved = true;
    if (options.m_name != nullptr) {
        all_moved = pin_by_name(options.m_name, options.m_cpu, options.m_program);
    }
    if (options.m_pid != -1 && !pin(options.m_pid, options.m_cpu)) {
        return 1;
    }
    if (options.m_list && !print_list(options.m_program)) {
        return 1;
    }
    return all_moved ? 0 : 1;
}

} // namespace

int tarvik_multicall_setcpu_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, USAGE);
    // Without arguments the usage is printed and the processor count still follows.
    if (argc <= 1) {
        arguments.usage();
    }
    if (!arguments.ok()) {
        return 1;
    }
    Options options;
    int status = read_options(arguments, &options) ? run(options) : 1;
    if (!vexa::output_ok(arguments.program_name())) {
        status = 1;
    }
    return status;
}
