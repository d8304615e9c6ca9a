// The daemonize applet (also registered as the hidden daemon): detaches, supervises and
// records a command, then replaces itself with it.
#include "applets.h"

#include "argument.h"
#include "console.h"
#include "process_control.h"

#include "detail/common.hpp"

#include <cstdio>

namespace {

constexpr const char *ENTRY_NAME = "tarvik_multicall_daemonize_main";
constexpr const char *USAGE =
    "usage: %s [<options>] -- <arg0> [<arg1> ...]\n"
    "\t-d, --daemon                     : daemonize\n"
    "\t    --nochdir                    : no chdir\n"
    "\t    --noclose                    : no close\n"
    "\t    --pidfile=<pathname>         : pidfile pathname\n"
    "\t    --launcher                   : launcher (make immortal process)\n"
    "\n";
// The usage text offers "-d" as the short form of --daemon, so the option accepts it.
constexpr const char *OPTION_DAEMON = "d|daemon";
constexpr const char *OPTION_NOCHDIR = "nochdir";
constexpr const char *OPTION_NOCLOSE = "noclose";
constexpr const char *OPTION_PIDFILE = "pidfile";
constexpr const char *OPTION_LAUNCHER = "launcher";

struct Options {
    bool m_daemon;
    bool m_nochdir;
    bool m_noclose;
    bool m_launcher;
    bool m_pidfile_given;
    const char *m_pidfile;
};

bool has_option(tarvik_argument_t *handle, const char *spec)
{
    return tarvik_search_argument(handle, spec, 0) != nullptr;
}

Options read_options(tarvik_argument_t *handle)
{
    Options options{};
    options.m_daemon = has_option(handle, OPTION_DAEMON);
    options.m_nochdir = has_option(handle, OPTION_NOCHDIR);
    options.m_noclose = has_option(handle, OPTION_NOCLOSE);
    options.m_launcher = has_option(handle, OPTION_LAUNCHER);
    options.m_pidfile_given = has_option(handle, OPTION_PIDFILE);
    options.m_pidfile = tarvik_search_argument(handle, OPTION_PIDFILE, 1);
    return options;
}

// The command words are what no option question took, behind the applet's own name.
int count_words(tarvik_argument_t *handle)
{
    int count = 0;
    while (tarvik_notouch_argument(handle, count + 1) != nullptr) {
        ++count;
    }
    return count;
}

char **collect_words(tarvik_argument_t *handle, int count)
{
    char **words = static_cast<char **>(
        tarvik_alloc_tag((static_cast<size_t>(count) + 1) * sizeof(char *), TARVIK_TAG));
    if (words == nullptr) {
        return nullptr;
    }
    for (int index = 0; index < count; ++index) {
        words[index] = const_cast<char *>(tarvik_notouch_argument(handle, index + 1));
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
    tarvik_argument_t *handle = tarvik_open_argument(argc, argv);
    if (handle == nullptr) {
        return 1;
    }
    Options options = read_options(handle);
    int count = count_words(handle);
    if (count < 1 || (options.m_pidfile_given && options.m_pidfile == nullptr)) {
        tarvik_printf(USAGE, tarvik_argument_get_program_name(handle));
        tarvik_close_argument(handle);
        return 1;
    }
    char **words = collect_words(handle, count);
    if (words == nullptr) {
        tarvik_error_printf("not enough memory !\n");
        tarvik_close_argument(handle);
        return 1;
    }
    int status = run(options, words);
    tarvik_free_tag(words, TARVIK_TAG);
    tarvik_close_argument(handle);
    return status;
}
