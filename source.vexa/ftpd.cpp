// The ftpd applet: runs the FTP server on port 21 (2211 when 21 cannot be bound) with the
// system's accounts and the passwordless names test, ftp and anonymous, until SIGINT.
#include "applet.hpp"
#include "applets.h"

#include "console.h"
#include "ftpd.h"
#include "signal.h"
#include "thread.h"

#include <csignal>
#include <unistd.h>

namespace {

// Rows of the option table, in usage order.
enum : size_t { PORT, MAX_SESSIONS, IDLE_TIMEOUT, HELP };
constexpr vexa::Option OPTIONS[] = {
    {"p|port", vexa::Takes::VALUE,
     "\t-p, --port=<port>             : listen port (default 21, else 2211)\n"},
    {"max-sessions", vexa::Takes::VALUE,
     "\t    --max-sessions=<count>     : concurrent sessions (default 32)\n"},
    {"idle-timeout", vexa::Takes::VALUE,
     "\t    --idle-timeout=<seconds>   : idle time per command (default 300, 0: none)\n"},
    {"h|help", vexa::Takes::NOTHING, "\t-h, --help                    : this text\n"},
};
constexpr vexa::Usage USAGE = vexa::usage_of("usage: %s [<options>] [<address>]\n", OPTIONS, "\n");

volatile sig_atomic_t s_stop = 0;

void on_break(int, void *)
{
    static const char TEXT[] = "break signal.\n";
    ssize_t ignored = write(2, TEXT, sizeof(TEXT) - 1);
    (void)ignored;
    s_stop = 1;
}

// The system's accounts first, then the three names that need no password.
bool add_accounts(tarvik_ftpd_t *server)
{
    if (tarvik_ftpd_add_user(server, nullptr, def_tarvik_ftpd_account_system, nullptr, nullptr,
                             nullptr) != 0) {
        return false;
    }
    static constexpr const char *NAMES[] = {"test", "ftp", "anonymous"};
    for (const char *name : NAMES) {
        if (tarvik_ftpd_add_user(server, nullptr, 0x4u, name, nullptr, nullptr) != 0) {
            return false;
        }
    }
    return true;
}

tarvik_ftpd_t *open_server(const char *address, bool port_given, long long port, int *bound)
{
    *bound = port_given ? static_cast<int>(port) : 21;
    tarvik_ftpd_t *server = tarvik_open_ftpd(address, *bound);
    if (server == nullptr && !port_given) {
        *bound = 2211;
        server = tarvik_open_ftpd(nullptr, *bound);
    }
    return server;
}

int serve(tarvik_ftpd_t *server)
{
    tarvik_signal_node_t *node = tarvik_add_signal(SIGINT, on_break, nullptr);
    while (s_stop == 0) {
        tarvik_ftpd_do(server, 1000);
    }
    tarvik_close_ftpd(server);
    tarvik_del_signal(node);
    // Session threads are gone; their workers end right behind them.
    tarvik_thread_pool_wait(5000);
    tarvik_printf("stop server.\n");
    return 0;
}

} // namespace

int tarvik_multicall_ftpd_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    long long port = 21;
    long long sessions = def_tarvik_ftpd_max_sessions;
    long long idle = def_tarvik_ftpd_idle_timeout_ms / 1000;
    if (arguments.has(HELP) || arguments.operand_count() > 1) {
        arguments.usage(arguments.program_name());
        return arguments.has(HELP) ? 0 : 1;
    }
    if (!arguments.number(PORT, 1, 65535, 21, &port) ||
        !arguments.number(MAX_SESSIONS, 1, 4096, sessions, &sessions) ||
        !arguments.number(IDLE_TIMEOUT, 0, 86400, idle, &idle)) {
        return 1;
    }
    int bound = 0;
    tarvik_ftpd_t *server = open_server(arguments.operand(0), arguments.has(PORT), port, &bound);
    if (server == nullptr) {
        tarvik_error_printf("can not open ftp server !\n");
        return 1;
    }
    tarvik_ftpd_set_limits(server, static_cast<uint32_t>(sessions),
                           idle == 0 ? -1 : static_cast<int>(idle * 1000));
    if (!add_accounts(server)) {
        tarvik_close_ftpd(server);
        tarvik_error_printf("not enough memory !\n");
        return 1;
    }
    tarvik_printf("starting ftp server (listen_port=%d)\n", bound);
    tarvik_puts(nullptr);
    return serve(server);
}
