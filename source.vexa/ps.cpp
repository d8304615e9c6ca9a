// Process table applets: ps (the table with descriptor counts and CPU usage) and libdepend
// (processes mapping a library: listed in several forms, optionally terminated).
#include "applet.hpp"
#include "applets.h"

#include "argument.h"
#include "buffer.h"
#include "console.h"
#include "format.h"
#include "process.h"
#include "time.h"

#include "detail/common.hpp"
#include "detail/process.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

// The usage text stays a literal so that the formatter checks it.
#define LIBDEPEND_USAGE                                                                            \
    "usage: %s [<option>] <lib> [...]\n"                                                           \
    "\t--verbose|--debug         : debug mode\n"                                                   \
    "\t--all|--default           : print all\n"                                                    \
    "\t--process_name|--pname|-p : print process name\n"                                           \
    "\t--pathname|--abspath|-a   : print abspath\n"                                                \
    "\t--cmdline|--cmd|-c        : print cmdline\n"                                                \
    "\t--argv|--arg              : print argv\n"                                                   \
    "\t--pid                     : print pid\n"                                                    \
    "\t--kill                    : kill process\n"                                                 \
    "\n"

namespace {

// Option specs of ps.
constexpr const char *PS_CPU = "cpu";
constexpr const char *PS_RSS = "rss";
// Option specs of libdepend; the print modes are listed in the order in which later ones win.
constexpr const char *LIBDEPEND_VERBOSE = "verbose|debug";
constexpr const char *LIBDEPEND_ALL = "all|default";
constexpr const char *LIBDEPEND_KILL = "kill";
constexpr const char *LIBDEPEND_PROCESS_NAME = "process_name|pname|p";
constexpr const char *LIBDEPEND_PATHNAME = "pathname|abspath|abs|a";
constexpr const char *LIBDEPEND_CMDLINE = "cmdline|cmd|c";
constexpr const char *LIBDEPEND_ARGV = "argv|arg";
constexpr const char *LIBDEPEND_PID = "pid";

// The table is printed in pieces of about this size: one write per piece, little memory.
constexpr size_t PRINT_CHUNK = 16384;
constexpr size_t COMMAND_LINE_SIZE = tarvik::detail::PS_SCRATCH_SIZE + 1;
// Passes of the libdepend kill loop run every 100 ms; from this one on each pass kills.
constexpr int LATE_PASS = 600;

struct PsOptions {
    bool m_cpu;
    bool m_rss;
};

PsOptions ask_ps_options(tarvik_argument_t *arguments)
{
    PsOptions options{};
    options.m_cpu = tarvik_search_argument(arguments, PS_CPU, 0) != nullptr;
    options.m_rss = tarvik_search_argument(arguments, PS_RSS, 0) != nullptr;
    return options;
}

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
                  tarvik::detail::PsUserNames *users)
{
    bool mine = record->m_pid == self || record->m_ppid == self;
    tarvik_push_printf(out,
                       "%s %3d %5lu \e[1;32m%5lu\e[0m %-8s  %s  %3lu \e[1;36m%6llu\e[0mKb "
                       "\e[1;37m%6llu\e[0mKb ",
                       mine ? "*" : " ", index, static_cast<unsigned long>(record->m_ppid),
                       static_cast<unsigned long>(record->m_pid),
                       tarvik::detail::ps_user_name(users, record->m_uid), record->m_state,
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
    tarvik::detail::PsUserNames users;
    tarvik::detail::ps_user_names_init(&users);
    // A command line is at most the 32 KiB the table reader keeps of it.
    char *scratch = static_cast<char *>(tarvik_alloc_tag(COMMAND_LINE_SIZE, TARVIK_TAG));
    if (scratch == nullptr) {
        tarvik_close_buffer(out);
        return 1;
    }
    bool printed = true;
    uint64_t hertz = sampled ? tarvik_get_hertz() : 0;
    uint32_t self = static_cast<uint32_t>(getpid());
    tarvik_push_printf(out, "  %3s %5s %5s %-8s %5s %3s %8s %8s %6s %3s %-15s\n", "Idx", "PPID",
                       "PID", "UID", "State", "Thr", "VmSize", "RSS", "CPU", "fds", "Name");
    int index = 1;
    for (const tarvik_ps_t *record = list; record != nullptr && printed; record = record->m_next) {
        push_ps_line(out, record, index++, self, &users);
        push_cpu_column(out, before, record, sampled, hertz);
        tarvik_push_printf(out, "%3llu ", static_cast<unsigned long long>(record->m_fd_count));
        push_name_column(out, record, scratch, COMMAND_LINE_SIZE);
        printed = flush_output(out, false);
    }
    printed = printed && flush_output(out, true);
    tarvik_puts(nullptr);
    tarvik::detail::ps_user_names_free(&users);
    tarvik_free_tag(scratch, TARVIK_TAG);
    tarvik_close_buffer(out);
    return printed ? 0 : 1;
}

// A table that cannot be read, or printed whole, is an error with a reason, never an empty
// or partial table and status 0; so is output that does not reach its descriptor.
int run_ps(const PsOptions &options, const char *program_name)
{
    tarvik_ps_t *before = nullptr;
    if (options.m_cpu) {
        before = tarvik_open_ps_ex(0);
        tarvik_sleep_wait(1, 0);
    }
    uint32_t flags = TARVIK_PS_INODES | TARVIK_PS_CPU | (options.m_rss ? TARVIK_PS_SORT_RSS : 0u);
    // The table shows descriptor counts only: the inodes behind them are not kept.
    tarvik_ps_t *list = tarvik::detail::ps_open(flags, false);
    int status = 1;
    if (list == nullptr) {
        vexa::report_failure(program_name, "can not read the process table");
    } else if ((status = print_ps(list, before, options.m_cpu)) != 0) {
        errno = ENOMEM;
        vexa::report_failure(program_name, "can not print the process table");
    }
    tarvik_close_ps(list);
    tarvik_close_ps(before);
    return vexa::output_ok(program_name) ? status : 1;
}

enum class PrintMode { Default, ProcessName, Pathname, Cmdline, Argv, Pid };

struct LibdependOptions {
    bool m_verbose;
    bool m_kill;
    PrintMode m_mode;
};

LibdependOptions ask_libdepend_options(tarvik_argument_t *arguments)
{
    LibdependOptions options{};
    options.m_verbose = tarvik_search_argument(arguments, LIBDEPEND_VERBOSE, 0) != nullptr;
    options.m_kill = tarvik_search_argument(arguments, LIBDEPEND_KILL, 0) != nullptr;
    // Printing everything is what the default line does already; the option is accepted.
    (void)tarvik_search_argument(arguments, LIBDEPEND_ALL, 0);
    // Later modes win.
    options.m_mode = PrintMode::Default;
    static constexpr struct {
        const char *m_spec;
        PrintMode m_mode;
    } MODES[] = {
        {LIBDEPEND_PROCESS_NAME, PrintMode::ProcessName},
        {LIBDEPEND_PATHNAME, PrintMode::Pathname},
        {LIBDEPEND_CMDLINE, PrintMode::Cmdline},
        {LIBDEPEND_ARGV, PrintMode::Argv},
        {LIBDEPEND_PID, PrintMode::Pid},
    };
    for (const auto &mode : MODES) {
        if (tarvik_search_argument(arguments, mode.m_spec, 0) != nullptr) {
            options.m_mode = mode.m_mode;
        }
    }
    return options;
}

// Library names: the plain arguments no option question took (option-looking words that
// name no option of this applet are left out rather than taken for libraries).
int collect_libraries(tarvik_argument_t *arguments, const char **names, int capacity)
{
    int count = 0;
    for (int n = 1; count < capacity; ++n) {
        const char *word = tarvik_notouch_argument(arguments, n);
        if (word == nullptr) {
            break;
        }
        if (word[0] != '-') {
            names[count++] = word;
        }
    }
    return count;
}

// Names, paths and arguments come from other processes: their control characters are shown
// as "?", so that none can forge a line or send a sequence to the terminal. scratch holds
// COMMAND_LINE_SIZE bytes.
void print_libdepend_match(const tarvik_ps_t *record, PrintMode mode, char *scratch)
{
    auto shown = [scratch](const char *text) {
        return vexa::printable(text != nullptr ? text : "", scratch, COMMAND_LINE_SIZE);
    };
    switch (mode) {
    case PrintMode::Default:
        tarvik_printf("%lu ", static_cast<unsigned long>(record->m_pid));
        tarvik_printf("%s ", shown(record->m_name));
        tarvik_printf("%s\n", shown(record->m_exe));
        break;
    case PrintMode::ProcessName:
        tarvik_printf("%s\n", shown(record->m_name));
        break;
    case PrintMode::Pathname:
        tarvik_printf("%s\n", shown(record->m_exe));
        break;
    case PrintMode::Cmdline:
        tarvik_printf("%s\n", shown(record->m_command_line));
        break;
    case PrintMode::Argv:
        for (int32_t i = 0; i < record->m_argc; ++i) {
            tarvik_printf(i == 0 ? "%s" : " %s", shown(record->m_argv[i]));
        }
        tarvik_puts("\n");
        break;
    case PrintMode::Pid:
        tarvik_printf("%lu\n", static_cast<unsigned long>(record->m_pid));
        break;
    }
}

bool maps_any(const tarvik_ps_t *record, const char *const *names, int count)
{
    for (int i = 0; i < count; ++i) {
        if (tarvik::detail::ps_maps_library(record, names[i])) {
            return true;
        }
    }
    return false;
}

// One pass over the table: prints (first pass) and signals the matches; returns their number,
// or -1 when the table cannot be read.
int libdepend_pass(const LibdependOptions &options, const char *const *names, int count, int pass,
                   char *scratch)
{
    tarvik_ps_t *list = tarvik_open_ps_ex(TARVIK_PS_EXE | TARVIK_PS_MAPS);
    if (list == nullptr) {
        return -1;
    }
    uint32_t self = static_cast<uint32_t>(getpid());
    int signal = pass >= LATE_PASS ? SIGKILL : (pass % 10 == 0 ? SIGTERM : 0);
    int matches = 0;
    for (const tarvik_ps_t *record = list; record != nullptr; record = record->m_next) {
        if (!tarvik::detail::ps_is_library_user(record, self) || !maps_any(record, names, count)) {
            continue;
        }
        if (pass == 0) {
            print_libdepend_match(record, options.m_mode, scratch);
        }
        if (options.m_kill && signal != 0) {
            tarvik_kill(static_cast<int>(record->m_pid), signal);
        }
        ++matches;
    }
    tarvik_close_ps(list);
    return matches;
}

int run_libdepend(const LibdependOptions &options, const char *const *names, int count,
                  const char *program_name)
{
    char *scratch = static_cast<char *>(tarvik_alloc_tag(COMMAND_LINE_SIZE, TARVIK_TAG));
    if (scratch == nullptr) {
        vexa::report_failure(program_name, "not enough memory");
        return 1;
    }
    for (int pass = 0;;) {
        int matches = libdepend_pass(options, names, count, pass, scratch);
        if (matches < 0) {
            vexa::report_failure(program_name, "can not read the process table");
        }
        tarvik_puts(nullptr);
        if (!options.m_kill || matches <= 0) {
            tarvik_free_tag(scratch, TARVIK_TAG);
            return matches < 0 ? 1 : 0;
        }
        ++pass;
        tarvik_error_printf("Wait until the process is terminated... (%d.%1d sec)\n", pass / 10,
                            pass % 10);
        tarvik_sleep_wait(0, 100000);
    }
}

} // namespace

int tarvik_multicall_ps_main(int argc, char **argv)
{
    tarvik_argument_t *arguments = tarvik_open_argument(argc, argv);
    if (arguments == nullptr) {
        return 1;
    }
    PsOptions options = ask_ps_options(arguments);
    int status = run_ps(options, tarvik_argument_get_program_name(arguments));
    tarvik_close_argument(arguments);
    return status;
}

int tarvik_multicall_libdepend_main(int argc, char **argv)
{
    tarvik_argument_t *arguments = tarvik_open_argument(argc, argv);
    if (arguments == nullptr) {
        return 1;
    }
    LibdependOptions options = ask_libdepend_options(arguments);
    const char **names = static_cast<const char **>(
        tarvik_alloc_tag(sizeof(char *) * (argc > 0 ? argc : 1), TARVIK_TAG));
    int count = names != nullptr ? collect_libraries(arguments, names, argc) : 0;
    int status = 0;
    if (count == 0) {
        tarvik_printf(LIBDEPEND_USAGE, argc > 0 ? argv[0] : "libdepend");
        status = 1;
    } else {
        for (int i = 0; options.m_verbose && i < count; ++i) {
            tarvik_printf("ARG: \"%s\"\n", names[i]);
        }
        status = run_libdepend(options, names, count, tarvik_argument_get_program_name(arguments));
    }
    if (!vexa::output_ok(tarvik_argument_get_program_name(arguments))) {
        status = 1;
    }
    tarvik_check_free_tag(names, TARVIK_TAG);
    tarvik_close_argument(arguments);
    return status;
}
