// Process table applets: ps (the table with descriptor counts and CPU usage) and libdepend
// (processes mapping a library: listed in several forms, optionally terminated).
#include "applet.hpp"
#include "applets.h"

#include "buffer.h"
#include "console.h"
#include "format.h"
#include "heap.h"
#include "process.h"
#include "process_control.h"
#include "time.h"

#include "detail/common.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

enum : size_t { PS_CPU, PS_RSS };
constexpr vexa::Option PS_OPTIONS[] = {
    {"cpu", vexa::Takes::NOTHING, nullptr},
    {"rss", vexa::Takes::NOTHING, nullptr},
};
constexpr vexa::Usage PS_USAGE = vexa::usage_of("", PS_OPTIONS, "");

// The print modes run from PROCESS_NAME to PID in the order in which later ones win.
enum : size_t { VERBOSE, ALL, PROCESS_NAME, PATHNAME, CMDLINE, ARGV, PID, KILL };
constexpr vexa::Option LIBDEPEND_OPTIONS[] = {
    {"verbose|debug", vexa::Takes::NOTHING, "\t--verbose|--debug         : debug mode\n"},
    // Printing everything is what the default line does already; the option is accepted.
    {"all|default", vexa::Takes::NOTHING, "\t--all|--default           : print all\n"},
    {"process_name|pname|p", vexa::Takes::NOTHING,
     "\t--process_name|--pname|-p : print process name\n"},
    {"pathname|abspath|abs|a", vexa::Takes::NOTHING,
     "\t--pathname|--abspath|-a   : print abspath\n"},
    {"cmdline|cmd|c", vexa::Takes::NOTHING, "\t--cmdline|--cmd|-c        : print cmdline\n"},
    {"argv|arg", vexa::Takes::NOTHING, "\t--argv|--arg              : print argv\n"},
    {"pid", vexa::Takes::NOTHING, "\t--pid                     : print pid\n"},
    {"kill", vexa::Takes::NOTHING, "\t--kill                    : kill process\n"},
};
constexpr vexa::Usage LIBDEPEND_USAGE =
    vexa::usage_of("usage: %s [<option>] <lib> [...]\n", LIBDEPEND_OPTIONS, "\n");

// The table is printed in pieces of about this size: one write per piece, little memory.
constexpr size_t PRINT_CHUNK = 16384;
constexpr size_t COMMAND_LINE_SIZE = TARVIK_PS_CMDLINE_LIMIT + 1;

bool same_process(const tarvik_ps_t *old_record, const tarvik_ps_t *record)
{
    if (old_record->m_pid != record->m_pid) {
        return false;
    }
    if (old_record->m_command_line != nullptr && record->m_command_line != nullptr) {
        return strcmp(old_record->m_command_line, record->m_command_line) == 0;
    }
    return old_record->m_name != nullptr && record->m_name != nullptr &&
           strcmp(old_record->m_name, record->m_name) == 0;
}

// CPU share over the sampling second in tenths of a percent, -1 when the process is new.
int64_t sampled_cpu(const tarvik_ps_t *before, const tarvik_ps_t *record, uint64_t hertz)
{
    uint64_t now = record->m_utime + record->m_stime;
    for (const tarvik_ps_t *old_record = before; old_record != nullptr;
         old_record = old_record->m_next) {
        if (same_process(old_record, record) && old_record->m_utime + old_record->m_stime <= now) {
            uint64_t delta = now - (old_record->m_utime + old_record->m_stime);
            uint64_t divisor = hertz > delta ? hertz : delta;
            return divisor == 0 ? 0 : static_cast<int64_t>(delta * 1000u / divisor);
        }
    }
    return -1;
}

void push_cpu_column(tarvik_buffer_t *out, const tarvik_ps_t *before, const tarvik_ps_t *record,
                     bool sampled, uint64_t hertz)
{
    if (!sampled) {
        tarvik_push_printf(out, "%3u.%01u%% ", static_cast<unsigned>(record->m_cpu / 100u),
                           static_cast<unsigned>(record->m_cpu % 100u / 10u));
        return;
    }
    int64_t value = sampled_cpu(before, record, hertz);
    if (value < 0) {
        tarvik_push_puts(out, "###.#% ");
        return;
    }
    tarvik_push_printf(out, "%3d.%01d%% ", static_cast<int>(value / 10),
                       static_cast<int>(value % 10));
}

void push_ps_line(tarvik_buffer_t *out, const tarvik_ps_t *record, int index, uint32_t self,
                  tarvik_ps_users_t *users)
{
    bool mine = record->m_pid == self || record->m_ppid == self;
    tarvik_push_printf(out,
                       "%s %3d %5lu \e[1;32m%5lu\e[0m %-8s  %s  %3lu \e[1;36m%6llu\e[0mKb "
                       "\e[1;37m%6llu\e[0mKb ",
                       mine ? "*" : " ", index, static_cast<unsigned long>(record->m_ppid),
                       static_cast<unsigned long>(record->m_pid),
                       tarvik_ps_user_name(users, record->m_uid), record->m_state,
                       static_cast<unsigned long>(record->m_threads),
                       static_cast<unsigned long long>(record->m_vmsize),
                       static_cast<unsigned long long>(record->m_rss));
}

// Control characters of a command line or name become '?': a process must not be able to
// break its line, forge rows or send terminal sequences through the table.
void push_name_column(tarvik_buffer_t *out, const tarvik_ps_t *record, char *scratch, size_t size)
{
    if (record->m_command_line != nullptr) {
        tarvik_push_printf(out, "\e[1;33m%-16s\e[0m\n",
                           vexa::printable(record->m_command_line, scratch, size));
        return;
    }
    char text[4096];
    tarvik_snprintf(text, sizeof(text), "[\e[1;34m%s\e[0m]",
                    record->m_name != nullptr ? vexa::printable(record->m_name, scratch, size)
                                              : "<NULL>");
    tarvik_push_printf(out, "%-17s\n", text);
}

// False when the text could not be taken out of the queue (no memory): the table would have
// a hole, so printing stops.
bool flush_output(tarvik_buffer_t *out, bool force)
{
    size_t size = tarvik_get_buffer_size(out);
    if (size == 0 || (!force && size < PRINT_CHUNK)) {
        return true;
    }
    char *text = static_cast<char *>(tarvik_alloc_tag(size + 1, TARVIK_TAG));
    if (text == nullptr) {
        tarvik_flush_buffer(out);
        return false;
    }
    text[tarvik_pop_buffer(out, text, size)] = '\0';
    tarvik_puts(text);
    tarvik_free_tag(text, TARVIK_TAG);
    return true;
}

int print_ps(const tarvik_ps_t *list, const tarvik_ps_t *before, bool sampled)
{
    tarvik_buffer_t *out = tarvik_open_buffer();
    if (out == nullptr) {
        return 1;
    }
    // A command line is at most what the table reader keeps of it. Without the lookups
    // each name is asked of the password database again.
    tarvik_ps_users_t *users = tarvik_open_ps_users();
    char *scratch = static_cast<char *>(tarvik_alloc_tag(COMMAND_LINE_SIZE, TARVIK_TAG));
    if (scratch == nullptr) {
        tarvik_close_ps_users(users);
        tarvik_close_buffer(out);
        return 1;
    }
    bool printed = true;
    uint64_t hertz = sampled ? tarvik_get_hertz() : 0;
    uint32_t self = static_cast<uint32_t>(tarvik_getpid());
    tarvik_push_printf(out, "  %3s %5s %5s %-8s %5s %3s %8s %8s %6s %3s %-15s\n", "Idx", "PPID",
                       "PID", "UID", "State", "Thr", "VmSize", "RSS", "CPU", "fds", "Name");
    int index = 1;
    for (const tarvik_ps_t *record = list; record != nullptr && printed; record = record->m_next) {
        push_ps_line(out, record, index++, self, users);
        push_cpu_column(out, before, record, sampled, hertz);
        tarvik_push_printf(out, "%3llu ", static_cast<unsigned long long>(record->m_fd_count));
        push_name_column(out, record, scratch, COMMAND_LINE_SIZE);
        printed = flush_output(out, false);
    }
    printed = printed && flush_output(out, true);
    tarvik_puts(nullptr);
    tarvik_close_ps_users(users);
    tarvik_free_tag(scratch, TARVIK_TAG);
    tarvik_close_buffer(out);
    return printed ? 0 : 1;
}

// A table that cannot be read, or printed whole, is an error with a reason, never an empty
// or partial table and status 0; so is output that does not reach its descriptor.
int run_ps(bool cpu, bool rss, const char *program_name)
{
    tarvik_ps_t *before = nullptr;
    if (cpu) {
        before = tarvik_open_ps_ex(0);
        tarvik_sleep_wait(1, 0);
    }
    // The table shows descriptor counts only: the inodes behind them are not kept.
    uint32_t flags = TARVIK_PS_FD_COUNT | TARVIK_PS_CPU | (rss ? TARVIK_PS_SORT_RSS : 0u);
    tarvik_ps_t *list = tarvik_open_ps_ex(flags);
    int status = 1;
    if (list == nullptr) {
        vexa::report_failure(program_name, "can not read the process table");
    } else if ((status = print_ps(list, before, cpu)) != 0) {
        errno = ENOMEM;
        vexa::report_failure(program_name, "can not print the process table");
    }
    tarvik_close_ps(list);
    tarvik_close_ps(before);
    return vexa::output_ok(program_name) ? status : 1;
}

// The last print mode given wins; without any, ALL: the default line.
size_t print_mode(const vexa::Arguments &arguments)
{
    size_t mode = ALL;
    for (size_t row = PROCESS_NAME; row <= PID; ++row) {
        mode = arguments.has(row) ? row : mode;
    }
    return mode;
}

// Library names: the operands (option-looking words that name no option of this applet
// are left out rather than taken for libraries).
int collect_libraries(const vexa::Arguments &arguments, const char **names)
{
    int count = 0;
    for (int n = 0; arguments.operand(n) != nullptr; ++n) {
        if (arguments.operand(n)[0] != '-') {
            names[count++] = arguments.operand(n);
        }
    }
    return count;
}

// Names, paths and arguments come from other processes: their control characters are shown
// as "?", so that none can forge a line or send a sequence to the terminal. scratch holds
// COMMAND_LINE_SIZE bytes.
void print_libdepend_match(const tarvik_ps_t *record, size_t mode, char *scratch)
{
    auto shown = [scratch](const char *text) {
        return vexa::printable(text != nullptr ? text : "", scratch, COMMAND_LINE_SIZE);
    };
    switch (mode) {
    case PROCESS_NAME:
        tarvik_printf("%s\n", shown(record->m_name));
        break;
    case PATHNAME:
        tarvik_printf("%s\n", shown(record->m_exe));
        break;
    case CMDLINE:
        tarvik_printf("%s\n", shown(record->m_command_line));
        break;
    case ARGV:
        for (int32_t i = 0; i < record->m_argc; ++i) {
            tarvik_printf(i == 0 ? "%s" : " %s", shown(record->m_argv[i]));
        }
        tarvik_puts("\n");
        break;
    case PID:
        tarvik_printf("%lu\n", static_cast<unsigned long>(record->m_pid));
        break;
    default:
        tarvik_printf("%lu ", static_cast<unsigned long>(record->m_pid));
        tarvik_printf("%s ", shown(record->m_name));
        tarvik_printf("%s\n", shown(record->m_exe));
        break;
    }
}

// Lists the processes mapping any of the libraries; with kill, the library's kill loop then
// ends them (a SIGTERM every second, SIGKILL after a minute) and says it is waiting.
int run_libdepend(const vexa::Arguments &arguments, const char *const *names, int count)
{
    const char *program_name = arguments.program_name();
    char *scratch = static_cast<char *>(tarvik_alloc_tag(COMMAND_LINE_SIZE, TARVIK_TAG));
    if (scratch == nullptr) {
        vexa::report_failure(program_name, "not enough memory");
        return 1;
    }
    size_t mode = print_mode(arguments);
    tarvik_ps_t *list = tarvik_open_ps_ex(TARVIK_PS_EXE | TARVIK_PS_MAPS);
    if (list == nullptr) {
        vexa::report_failure(program_name, "can not read the process table");
    }
    for (const tarvik_ps_t *record = list; record != nullptr; record = record->m_next) {
        for (int i = 0; i < count; ++i) {
            if (tarvik_ps_maps_library(record, names[i])) {
                print_libdepend_match(record, mode, scratch);
                break;
            }
        }
    }
    tarvik_close_ps(list);
    tarvik_free_tag(scratch, TARVIK_TAG);
    tarvik_puts(nullptr);
    if (list == nullptr) {
        return 1;
    }
    if (arguments.has(KILL)) {
        tarvik_kill_libdepend_ex(names, count, SIGTERM, SIGKILL, TARVIK_KILL_WAIT_LINES);
    }
    return 0;
}

} // namespace

int tarvik_multicall_ps_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, PS_USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    return run_ps(arguments.has(PS_CPU), arguments.has(PS_RSS), arguments.program_name());
}

int tarvik_multicall_libdepend_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, LIBDEPEND_USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    const char **names = static_cast<const char **>(
        tarvik_alloc_tag(sizeof(char *) * (argc > 0 ? argc : 1), TARVIK_TAG));
    int count = names != nullptr ? collect_libraries(arguments, names) : 0;
    int status = 0;
    if (count == 0) {
        arguments.usage(argc > 0 ? argv[0] : "libdepend");
        status = 1;
    } else {
        for (int i = 0; arguments.has(VERBOSE) && i < count; ++i) {
            char shown[256];
            tarvik_printf("ARG: \"%s\"\n", vexa::printable(names[i], shown, sizeof(shown)));
        }
        status = run_libdepend(arguments, names, count);
    }
    if (!vexa::output_ok(arguments.program_name())) {
        status = 1;
    }
    tarvik_check_free_tag(names, TARVIK_TAG);
    return status;
}
