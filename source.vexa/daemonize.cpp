// The daemonize applet (also registered as the hidden daemon): detaches, supervises and
// records a command, then replaces itself with it.
#include "applet.hpp"
#include "applets.h"

#include "console.h"
#include "process_control.h"

#include "detail/common.hpp"

#include <cstdio>

namespace {

constexpr const char *ENTRY_NAME = "tarvik_multicall_daemonize_main";

// Rows of the option table, in usage order.
enum : size_t { DAEMON, NOCHDIR, NOCLOSE, PIDFILE, LAUNCHER };
// The usage text offers "-d" as the short form of --daemon, so the option accepts it.
constexpr vexa::Option OPTIONS[] = {
    {"d|daemon", vexa::Takes::NOTHING, "\t-d, --daemon                     : daemonize\n"},
    {"nochdir", vexa::Takes::NOTHING, "\t    --nochdir                    : no chdir\n"},
    {"noclose", vexa::Takes::NOTHING, "\t    --noclose                    : no close\n"},
    {"pidfile", vexa::Takes::VALUE, "\t    --pidfile=<pathname>         : pidfile pathname\n"},
    {"launcher", vexa::Takes::NOTHING,
     "\t    --launcher                   : launcher (make immortal process)\n"},
};
constexpr vexa::Usage USAGE =
    vexa::usage_of("usage: %s [<options>] -- <arg0> [<arg1> ...]\n", OPTIONS, "\n");

struct Options {
    bool m_daemon;
    bool m_nochdir;
    bool m_noclose;
    bool m_launcher;
    bool m_pidfile_given;
    const char *m_pidfile;
};

Options read_options(const vexa::Arguments &arguments)
{
    Options options{};
    options.m_daemon = arguments.has(DAEMON);
    options.m_nochdir = arguments.has(NOCHDIR);
    options.m_noclose = arguments.has(NOCLOSE);
    options.m_launcher = arguments.has(LAUNCHER);
    options.m_pidfile_given = arguments.has(PIDFILE);
    options.m_pidfile = arguments.value(PIDFILE);
    return options;
}

// The command words are what no option question took, behind the applet's own name.
char **collect_words(const vexa::Arguments &arguments, int count)
{
    char **words = static_cast<char **>(
        tarvik_alloc_tag((static_cast<size_t>(count) + 1) * sizeof(char *), TARVIK_TAG));
    if (words == nullptr) {
        return nullptr;
    }
    for (int index = 0; index < count; ++index) {
        words[index] = const_cast<char *>(arguments.operand(index));
    }
    words[count] = nullptr;
    return words;
}

// Silences the console before detaching; a failed detach gives the console back so the
// failure can still be reported where the user is looking.
bool detach(const Options &options)
{
    tarvik_puts_handler_t old_out = nullptr;
    tarvik_puts_handler_t old_err = nullptr;
    if (!options.m_noclose) {
        tarvik_set_puts_handler(tarvik_quiet_puts, &old_out);
        tarvik_set_error_puts_handler(tarvik_quiet_puts, &old_err);
    }
    if (tarvik_daemon(options.m_nochdir ? 1 : 0, options.m_noclose ? 1 : 0) == 0) {
        return true;
    }
    if (!options.m_noclose) {
        tarvik_set_puts_handler(old_out, nullptr);
        tarvik_set_error_puts_handler(old_err, nullptr);
    }
    tarvik_error_printf("daemonize failed !\n");
    return false;
}

int run(const Options &options, char **words)
{
    if (options.m_daemon && !detach(options)) {
        return 1;
    }
    if (options.m_launcher) {
        // A failed fork leaves this process to run the command unsupervised.
        tarvik_launcher();
    }
    if (options.m_pidfile != nullptr &&
        tarvik_write_pidfile(options.m_pidfile, tarvik_getpid()) != 0) {
        // The command still runs: a missing pid file must not keep a service down.
        tarvik_error_printf("%s: [WARNING] \e[1;31mcan not write the pidfile !\e[0m "
                            "(pathname=\"%s\")\n",
                            ENTRY_NAME, options.m_pidfile);
    }
    fflush(nullptr);
    tarvik_execvp(words[0], words);
    tarvik_error_printf("can not execute \"%s\" !\n", words[0]);
    return 1;
}

} // namespace

int tarvik_multicall_daemonize_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    Options options = read_options(arguments);
    int count = arguments.operand_count();
    if (count < 1 || (options.m_pidfile_given && options.m_pidfile == nullptr)) {
        arguments.usage(arguments.program_name());
        return 1;
    }
    char **words = collect_words(arguments, count);
    if (words == nullptr) {
        tarvik_error_printf("not enough memory !\n");
        return 1;
    }
    int status = run(options, words);
    tarvik_free_tag(words, TARVIK_TAG);
    return status;
}
