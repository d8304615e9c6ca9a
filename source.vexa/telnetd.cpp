// The telnetd applet: a small telnet server. Every connection gets a pseudo-terminal and a
// login program; one single-threaded select loop relays bytes both ways through two fixed
// areas per session. The server owns its sessions, their descriptors and their children;
// every child it started is reaped.
#include "applet.hpp"
#include "applets.h"
#include "telnet_input.hpp"

#include "console.h"
#include "file.h"
#include "heap.h"
#include "inet.h"
#include "interface.h"
#include "process.h"
#include "process_control.h"
#include "select.h"
#include "signal.h"
#include "socket.h"
#include "terminal.h"

#include "detail/common.hpp"
#include "detail/list.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Rows of the option table, in usage order.
enum : size_t {
    LOGIN,
    DAEMON,
    PORT,
    ISSUE,
    INTERFACE,
    BUFFER,
    SESSION,
    INET6,
    XINETD,
    RAW,
    HELP,
    VERBOSE,
};
constexpr vexa::Option OPTIONS[] = {
    {"l|login", vexa::Takes::VALUE,
     "\t-l, --login=<login>         : exec login program on connect (default: \"/bin/sh\")\n"},
    {"d|daemon", vexa::Takes::NOTHING, "\t-d, --daemon                : daemonize process\n"},
    {"p|port", vexa::Takes::VALUE,
     "\t-p, --port=<listen port>    : listen for connections on port (default: 23)\n"},
    {"f|issue", vexa::Takes::VALUE,
     "\t-f, --issue=<issue file>    : display issue file (default: \"/etc/issue.net\")\n"},
    {"i|interface", vexa::Takes::VALUE,
     "\t-i, --interface=<interface> : specify the network interface to listen on\n"},
    {"b|buffer", vexa::Takes::VALUE,
     "\t-b, --buffer=<buffer size>  : rx/tx fixed buffer size (default: %lu bytes x 2)\n"},
    {"s|session", vexa::Takes::VALUE,
     "\t-s, --session=<limit count> : session limit count (default: unlimited)\n"},
    {"6|inet6", vexa::Takes::NOTHING, "\t-6, --inet6                 : use IPv6 (default: IPv4)\n"},
    {"x|xinetd", vexa::Takes::NOTHING,
     "\t-x, --xinetd                : use xinetd mode (default: standalone)\n"},
    {"disable-telnet-protocol", vexa::Takes::NOTHING,
     "\t--disable-telnet-protocol   : disable telnet protocol (default: use telnet protocol)\n"},
    {"?|h|help", vexa::Takes::NOTHING, nullptr},
    {"v|verbose", vexa::Takes::NOTHING, nullptr},
};
constexpr vexa::Usage USAGE = vexa::usage_of("usage: %s [<options>]\noptions:\n", OPTIONS, "\n");

constexpr unsigned long DEFAULT_BUFFER = 2048;
// Terminal reads of one session in one pass at most, while each fills the whole area.
constexpr int RELAY_ROUNDS = 8;
constexpr long long SMALLEST_BUFFER = 256;
constexpr int PASS_TIMEOUT_MS = 1000;
// Terminal reads a session still makes once its login program has ended: what the program
// wrote last goes out, a background job that keeps writing does not keep the session.
constexpr uint8_t DRAIN_READS = 16;

// DO ECHO, DO NAWS, DO TOGGLE-FLOW-CONTROL, WILL ECHO, WILL SUPPRESS-GO-AHEAD.
constexpr uint8_t NEGOTIATION[] = {0xFF, 0xFD, 0x01, 0xFF, 0xFD, 0x1F, 0xFF, 0xFD,
                                   0x21, 0xFF, 0xFB, 0x01, 0xFF, 0xFB, 0x03};

struct Options {
    bool m_verbose;
    bool m_daemon;
    bool m_inet6;
    bool m_xinetd;
    bool m_telnet;
    int m_port;
    const char *m_login;
    const char *m_issue;
    const char *m_interface;
    size_t m_buffer;
    unsigned m_limit;
};

// Session state bits.
constexpr uint32_t SYNCHRONISED = 0x1;    // the child said its terminal is ready
constexpr uint32_t LOGIN_GONE = 0x2;      // the login program was reaped
constexpr uint32_t IAC_SENT_ONCE = 0x4;   // the 0xFF at the front went out once, not yet twice
constexpr uint32_t PLAIN_SOCKET = 0x8;    // the client descriptor is no socket (a pipe from inetd)
constexpr uint32_t TERMINAL_READY = 0x10; // the terminal was readable in the last dispatch

struct Session {
    Session *m_next;
    uint32_t m_flags;
    int m_socket; // also the session id in messages
    int m_terminal;
    int m_child; // -1 before the fork and once reaped
    uint8_t *m_buffer;
    size_t m_to_terminal_count;
    size_t m_to_client_count;
    uint8_t *m_to_terminal;
    uint8_t *m_to_client;
    size_t m_verbatim; // bytes at the front of the to-client area that are not escaped
    vexa::telnet::Input m_input;
    uint8_t m_drain_reads;
};

using SessionList = tarvik::detail::SinglyLinked<Session>;

struct Server {
    volatile sig_atomic_t *m_break;
    Options m_options;
    char *m_login_argv[2];
    tarvik_select_t *m_select;
    int m_listen;
    Session *m_sessions; // newest first
    unsigned m_count;
    tarvik_signal_node_t *m_child_signal;
};

volatile sig_atomic_t s_break;

void on_break(int, void *context) { *static_cast<volatile sig_atomic_t *>(context) = 1; }

// The child signal only has to interrupt the wait; the loop reaps.
void on_child(int, void *) {}

void say(const Server *server, const char *format, ...) TARVIK_PRINTF(2, 3);
void say(const Server *server, const char *format, ...)
{
    if (!server->m_options.m_verbose) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    tarvik_vprintf(format, arguments);
    va_end(arguments);
    tarvik_puts(nullptr);
}

bool read_options(const vexa::Arguments &arguments, Options *options)
{
    long long port = 0;
    long long buffer = 0;
    long long limit = 0;
    if (!arguments.number(PORT, 0, 65535, 23, &port) ||
        !arguments.number(BUFFER, INT_MIN, INT_MAX / 2, DEFAULT_BUFFER, &buffer) ||
        !arguments.number(SESSION, 0, INT_MAX, 0, &limit)) {
        return false;
    }
    options->m_verbose = arguments.has(VERBOSE);
    options->m_daemon = arguments.has(DAEMON);
    options->m_inet6 = arguments.has(INET6);
    options->m_xinetd = arguments.has(XINETD);
    options->m_telnet = !arguments.has(RAW);
    options->m_port = static_cast<int>(port);
    options->m_login = arguments.value(LOGIN, 1, "/bin/sh");
    options->m_issue = arguments.value(ISSUE, 1, "/etc/issue.net");
    options->m_interface = arguments.value(INTERFACE);
    options->m_buffer = static_cast<size_t>(buffer < SMALLEST_BUFFER ? SMALLEST_BUFFER : buffer);
    options->m_limit = static_cast<unsigned>(limit);
    return options->m_login != nullptr && options->m_issue != nullptr &&
           (!arguments.has(INTERFACE) || options->m_interface != nullptr);
}

// ---- descriptors ---------------------------------------------------------------------

// The client side may be a socket or, from some super-servers, a pipe or terminal.
ssize_t client_io(Session *session, uint8_t *data, size_t size, bool sending)
{
    const int fd = session->m_socket;
    if ((session->m_flags & PLAIN_SOCKET) == 0) {
        ssize_t result = sending ? tarvik_sys_send(fd, data, size, MSG_DONTWAIT)
                                 : tarvik_sys_recv(fd, data, size, MSG_DONTWAIT);
        if (result >= 0 || errno != ENOTSOCK) {
            return result;
        }
        session->m_flags |= PLAIN_SOCKET;
    }
    return sending ? write(fd, data, size) : read(fd, data, size);
}

// A call that moved nothing for a passing reason: the session goes on.
bool transient(ssize_t result) { return result < 0 && (errno == EINTR || errno == EAGAIN); }

bool is_ready(const Server *server, int descriptor, int flag)
{
    return tarvik_is_select(server->m_select, descriptor, flag) > 0;
}

// ---- the child -------------------------------------------------------------------------

void set_terminal_modes(int terminal, bool telnet)
{
    struct termios mode;
    if (tcgetattr(terminal, &mode) != 0) {
        return;
    }
    if (telnet) {
        mode.c_iflag |= ICRNL;
        mode.c_iflag &= ~static_cast<tcflag_t>(IXOFF);
        mode.c_oflag |= ONLCR;
        mode.c_lflag |= ECHO;
    } else {
        mode.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON);
        mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        mode.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
        mode.c_cflag |= CS8;
        mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    }
    tcsetattr(terminal, TCSANOW, &mode);
}

// Copies the issue file to the terminal with CR LF line ends. A terminal that already turns
// LF into CR LF gets the text as it is, so that the client sees one CR per line either way.
void show_issue(int terminal, const char *path)
{
    int file = path[0] != '\0' ? tarvik_open(path, def_tarvik_open_read) : -1;
    if (file < 0) {
        return;
    }
    struct termios mode;
    bool add_cr = tcgetattr(terminal, &mode) != 0 || (mode.c_oflag & OPOST) == 0 ||
                  (mode.c_oflag & ONLCR) == 0;
    char in[256];
    char out[2 * sizeof(in)];
    ssize_t count;
    while ((count = tarvik_read(file, in, sizeof(in), -1)) > 0) {
        size_t used = 0;
        for (ssize_t at = 0; at < count; ++at) {
            if (in[at] == '\n' && add_cr) {
                out[used++] = '\r';
            }
            out[used++] = in[at];
        }
        if (tarvik_write_fill(terminal, out, used, -1) != static_cast<ssize_t>(used)) {
            break;
        }
    }
    tarvik_close(file);
}

void release_session(Session *session)
{
    tarvik_close_socket(session->m_socket);
    tarvik_close(session->m_terminal);
    tarvik_free_tag(session->m_buffer, TARVIK_TAG);
    tarvik_free_tag(session, TARVIK_TAG);
}

// Runs in the forked child: drops everything of the server, makes the slave its controlling
// terminal on 0, 1 and 2, reports ready with one zero byte, shows the issue and becomes the
// login program. Never returns.
[[noreturn]] void start_login(Server *server, Session *own, const char *slave_name)
{
    SessionList sessions(&server->m_sessions, nullptr);
    while (Session *session = sessions.pop_front()) {
        release_session(session);
    }
    release_session(own);
    tarvik_close_socket(server->m_listen);
    close(2);
    close(1);
    close(0);
    tarvik_setsid();
    int terminal = open(slave_name, O_RDWR);
    if (terminal != 0) {
        _exit(1);
    }
    dup2(terminal, 1);
    dup2(terminal, 2);
    tcsetpgrp(terminal, getpgrp());
    set_terminal_modes(terminal, server->m_options.m_telnet);
    const char zero = '\0';
    if (tarvik_write_fill(terminal, &zero, 1, -1) != 1) {
        _exit(1);
    }
    show_issue(terminal, server->m_options.m_issue);
    execv(server->m_login_argv[0], server->m_login_argv);
    perror("execv");
    close(terminal);
    _exit(1);
}

// ---- sessions --------------------------------------------------------------------------

void end_session(Server *server, Session *session)
{
    SessionList(&server->m_sessions, nullptr).remove(session);
    --server->m_count;
    if (session->m_child > 0) {
        if (tarvik_kill(session->m_child, SIGKILL) != 0) {
            perror("kill");
        }
        if (tarvik_waitpid(session->m_child, nullptr, 0) < 0) {
            perror("waitpid");
        }
    }
    release_session(session);
}

// Opens the pseudo-terminal; the slave's name is a heap copy the caller frees.
char *open_terminal(const Server *server, Session *session)
{
    session->m_terminal = tarvik_getpt();
    if (session->m_terminal < 0) {
        perror("getpt");
        return nullptr;
    }
    if (tarvik_grantpt(session->m_terminal) != 0) {
        perror("grantpt");
        return nullptr;
    }
    if (tarvik_unlockpt(session->m_terminal) != 0) {
        perror("unlockpt");
        return nullptr;
    }
    const char *name = tarvik_ptsname(session->m_terminal);
    char *copy = name != nullptr ? tarvik_strdup_tag(name, TARVIK_TAG) : nullptr;
    if (copy == nullptr) {
        tarvik_error_printf("pts name: not enough memory\n");
        return nullptr;
    }
    // One slow login program must not stall every session on a full terminal.
    fcntl(session->m_terminal, F_SETFL, fcntl(session->m_terminal, F_GETFL) | O_NONBLOCK);
    say(server, "new pts name: \"%s\"\n", copy);
    return copy;
}

Session *new_session(Server *server, int socket)
{
    auto *session = static_cast<Session *>(tarvik_alloc_tag(sizeof(Session), TARVIK_TAG));
    if (session == nullptr) {
        tarvik_close_socket(socket);
        return nullptr;
    }
    memset(session, 0, sizeof(*session));
    session->m_socket = socket;
    session->m_terminal = -1;
    session->m_child = -1;
    const int on = 1;
    tarvik_setsockopt(socket, SOL_SOCKET, SO_OOBINLINE, &on, sizeof(on));
    const size_t size = server->m_options.m_buffer;
    session->m_buffer = static_cast<uint8_t *>(tarvik_alloc_tag(2 * size, TARVIK_TAG));
    if (session->m_buffer == nullptr) {
        tarvik_error_printf("session buffer: not enough memory\n");
        release_session(session);
        return nullptr;
    }
    session->m_to_terminal = session->m_buffer;
    session->m_to_client = session->m_buffer + size;
    if (server->m_options.m_telnet) {
        memcpy(session->m_to_client, NEGOTIATION, sizeof(NEGOTIATION));
        session->m_to_client_count = sizeof(NEGOTIATION);
        session->m_verbatim = sizeof(NEGOTIATION);
    }
    char *slave_name = open_terminal(server, session);
    if (slave_name == nullptr) {
        release_session(session);
        return nullptr;
    }
    fflush(nullptr);
    int child = tarvik_fork();
    if (child == 0) {
        start_login(server, session, slave_name);
    }
    tarvik_free_tag(slave_name, TARVIK_TAG);
    if (child < 0) {
        perror("fork");
        release_session(session);
        return nullptr;
    }
    session->m_child = child;
    SessionList(&server->m_sessions, nullptr).push_front(session);
    ++server->m_count;
    return session;
}

// Marks the sessions whose login program ended; those drain what it wrote and then end.
void reap_children(Server *server)
{
    if (tarvik_reset_signal_node_count(server->m_child_signal) == 0) {
        return;
    }
    int pid;
    while ((pid = tarvik_waitpid(-1, nullptr, WNOHANG)) > 0) {
        for (Session *session = server->m_sessions; session != nullptr; session = session->m_next) {
            if (session->m_child == pid) {
                session->m_child = -1;
                session->m_flags |= LOGIN_GONE;
                session->m_drain_reads = DRAIN_READS;
            }
        }
    }
}

void accept_client(Server *server)
{
    unsigned char storage[TARVIK_SOCKADDR_BUFFER_SIZE];
    auto *address = reinterpret_cast<struct sockaddr *>(storage);
    socklen_t length = sizeof(storage);
    int socket = tarvik_accept(server->m_listen, address, &length, -1);
    if (socket < 0) {
        perror("accept");
        return;
    }
    if (address->sa_family != AF_INET && address->sa_family != AF_INET6) {
        tarvik_close_socket(socket);
        return;
    }
    char text[TARVIK_INET_STRING_SIZE];
    uint32_t port = 0;
    tarvik_inet_stopp(address, text, sizeof(text), &port);
    const unsigned limit = server->m_options.m_limit;
    if (limit != 0 && server->m_count >= limit) {
        tarvik_close_socket(socket);
        say(server, "limited session: refuse connection (%s:%u)\n", text, port);
        return;
    }
    if (new_session(server, socket) != nullptr) {
        say(server, "connection from %s:%u (id=%d, sessions=%u/%u)\n", text, port, socket,
            server->m_count, limit);
    }
}

// Bytes of the to-client area for the next send. In telnet mode a 0xFF is data only when
// doubled: a span ends on the first one, which then goes out a second time.
size_t send_span(const Session *session, bool telnet, bool *ends_on_iac)
{
    *ends_on_iac = false;
    size_t count = session->m_to_client_count;
    if (session->m_verbatim > 0) {
        return count < session->m_verbatim ? count : session->m_verbatim;
    }
    if (!telnet) {
        return count;
    }
    size_t from = (session->m_flags & IAC_SENT_ONCE) != 0 ? 1 : 0;
    const void *iac = memchr(session->m_to_client + from, vexa::telnet::IAC, count - from);
    if (iac == nullptr) {
        return count;
    }
    *ends_on_iac = true;
    return static_cast<size_t>(static_cast<const uint8_t *>(iac) - session->m_to_client) + 1;
}

void consume(uint8_t *area, size_t *count, size_t used)
{
    *count -= used;
    memmove(area, area + used, *count);
}

// What a relay call did: bytes moved (> 0), nothing for a passing reason (0), or the end
// of the session (-1), reported as "<what> (id=<id>, <direction>=<result>)".
ssize_t settle(Server *server, Session *session, ssize_t result, const char *what,
               const char *direction)
{
    if (transient(result)) {
        return 0;
    }
    if (result <= 0) {
        say(server, "%s (id=%d, %s=%d)\n", what, session->m_socket, direction,
            static_cast<int>(result));
        end_session(server, session);
        return -1;
    }
    return result;
}

// Each step returns false when it ended the session.
bool write_terminal(Server *server, Session *session)
{
    ssize_t written =
        settle(server, session,
               write(session->m_terminal, session->m_to_terminal, session->m_to_terminal_count),
               "terminated login", "tx");
    if (written > 0) {
        consume(session->m_to_terminal, &session->m_to_terminal_count,
                static_cast<size_t>(written));
    }
    return written >= 0;
}

bool send_client(Server *server, Session *session)
{
    bool ends_on_iac = false;
    size_t span = send_span(session, server->m_options.m_telnet, &ends_on_iac);
    ssize_t sent = settle(server, session, client_io(session, session->m_to_client, span, true),
                          "disconnected from client", "tx");
    if (sent <= 0) {
        return sent == 0;
    }
    size_t used = static_cast<size_t>(sent);
    session->m_verbatim -= used < session->m_verbatim ? used : session->m_verbatim;
    session->m_flags &= ~IAC_SENT_ONCE;
    if (ends_on_iac && used == span) {
        // The 0xFF stays at the front to go out once more.
        --used;
        session->m_flags |= IAC_SENT_ONCE;
    }
    consume(session->m_to_client, &session->m_to_client_count, used);
    return true;
}

void set_window_size(int terminal, const vexa::telnet::WindowSize &asked)
{
    struct winsize size = {};
    if (ioctl(terminal, TIOCGWINSZ, &size) != 0) {
        return;
    }
    if (asked.m_columns != 0) {
        size.ws_col = asked.m_columns;
    }
    if (asked.m_rows != 0) {
        size.ws_row = asked.m_rows;
    }
    ioctl(terminal, TIOCSWINSZ, &size);
}

bool receive_client(Server *server, Session *session)
{
    uint8_t *room = session->m_to_terminal + session->m_to_terminal_count;
    ssize_t received = settle(
        server, session,
        client_io(session, room, server->m_options.m_buffer - session->m_to_terminal_count, false),
        "disconnected from client", "rx");
    if (received <= 0) {
        return received == 0;
    }
    size_t kept = static_cast<size_t>(received);
    if (server->m_options.m_telnet) {
        vexa::telnet::WindowSize asked = {};
        kept = vexa::telnet::filter_input(&session->m_input, room, kept, &asked);
        if (asked.m_columns != 0 || asked.m_rows != 0) {
            set_window_size(session->m_terminal, asked);
        }
    }
    session->m_to_terminal_count += kept;
    return true;
}

bool read_terminal(Server *server, Session *session)
{
    const int id = session->m_socket;
    if ((session->m_flags & SYNCHRONISED) == 0) {
        uint8_t byte = 0xFF;
        ssize_t count = read(session->m_terminal, &byte, 1);
        if (transient(count)) {
            return true;
        }
        if (count == 1 && byte == 0) {
            session->m_flags |= SYNCHRONISED;
            say(server, "pt sync (id=%d, rx=%d)\n", id, static_cast<int>(count));
            return true;
        }
        say(server, "terminated login by sync (id=%d, rx=%d)\n", id, static_cast<int>(count));
        end_session(server, session);
        return false;
    }
    ssize_t count =
        settle(server, session,
               read(session->m_terminal, session->m_to_client + session->m_to_client_count,
                    server->m_options.m_buffer - session->m_to_client_count),
               "terminated login", "rx");
    if (count < 0) {
        return false;
    }
    if (count == 0) {
        session->m_flags &= ~TERMINAL_READY;
        return true;
    }
    session->m_to_client_count += static_cast<size_t>(count);
    if ((session->m_flags & LOGIN_GONE) != 0 && session->m_drain_reads > 0) {
        --session->m_drain_reads;
    }
    return true;
}

// A session whose login program ended goes once nothing of it is left to relay.
bool drained(const Session *session)
{
    return (session->m_flags & LOGIN_GONE) != 0 &&
           (session->m_to_client_count == 0 || (session->m_flags & SYNCHRONISED) == 0) &&
           (session->m_drain_reads == 0 || (session->m_flags & TERMINAL_READY) == 0);
}

bool wants_terminal_read(const Server *server, const Session *session)
{
    return session->m_to_client_count < server->m_options.m_buffer &&
           ((session->m_flags & LOGIN_GONE) == 0 || session->m_drain_reads > 0);
}

// Registers what every session waits for; false when nothing is to be waited for.
bool register_waits(Server *server, bool *poll_only)
{
    tarvik_select_t *table = server->m_select;
    tarvik_clear_select(table);
    bool any = false;
    if (server->m_listen >= 0) {
        any = tarvik_add_select(table, server->m_listen, def_tarvik_select_read) == 0;
    }
    const size_t size = server->m_options.m_buffer;
    for (Session *session = server->m_sessions; session != nullptr; session = session->m_next) {
        int socket_flags = 0;
        int terminal_flags = 0;
        if ((session->m_flags & SYNCHRONISED) != 0) {
            terminal_flags |= session->m_to_terminal_count > 0 ? def_tarvik_select_write : 0;
            socket_flags |= session->m_to_client_count > 0 ? def_tarvik_select_write : 0;
            socket_flags |= session->m_to_terminal_count < size ? def_tarvik_select_read : 0;
        }
        terminal_flags |= wants_terminal_read(server, session) ? def_tarvik_select_read : 0;
        if (socket_flags != 0) {
            any |= tarvik_add_select(table, session->m_socket, socket_flags) == 0;
        }
        if (terminal_flags != 0) {
            any |= tarvik_add_select(table, session->m_terminal, terminal_flags) == 0;
        }
        // A session that is only draining must not wait for the full pass time-out.
        *poll_only |= (session->m_flags & LOGIN_GONE) != 0 && session->m_to_client_count == 0;
    }
    return any;
}

// Steps of one session for one dispatch; false when the session ended.
bool serve_session(Server *server, Session *session)
{
    const int socket = session->m_socket;
    const int terminal = session->m_terminal;
    const bool synchronised = (session->m_flags & SYNCHRONISED) != 0;
    const size_t size = server->m_options.m_buffer;
    if (synchronised && session->m_to_terminal_count > 0 &&
        is_ready(server, terminal, def_tarvik_select_write) && !write_terminal(server, session)) {
        return false;
    }
    if (synchronised && session->m_to_client_count > 0 &&
        is_ready(server, socket, def_tarvik_select_write) && !send_client(server, session)) {
        return false;
    }
    if (synchronised && session->m_to_terminal_count < size &&
        is_ready(server, socket, def_tarvik_select_read)) {
        if (!receive_client(server, session)) {
            return false;
        }
        // Typed keys reach the terminal at once when it takes them.
        if (session->m_to_terminal_count > 0 && !write_terminal(server, session)) {
            return false;
        }
    }
    session->m_flags &= ~TERMINAL_READY;
    if (wants_terminal_read(server, session) &&
        is_ready(server, terminal, def_tarvik_select_read)) {
        session->m_flags |= TERMINAL_READY;
        // A busy terminal fills whole areas: while one fills and leaves at once, it is read
        // again without a wait (a few rounds, so that other sessions still get their turn).
        for (int round = 0; round < RELAY_ROUNDS; ++round) {
            if (!read_terminal(server, session)) {
                return false;
            }
            const bool filled = session->m_to_client_count == size;
            // What just came (or the negotiation, once the child is ready) goes out at once
            // when the socket takes it, instead of a whole pass later.
            if ((session->m_flags & SYNCHRONISED) != 0 && session->m_to_client_count > 0 &&
                !send_client(server, session)) {
                return false;
            }
            if (!filled || session->m_to_client_count != 0 ||
                !wants_terminal_read(server, session)) {
                break;
            }
        }
    }
    if (drained(session)) {
        say(server, "terminated login (id=%d, rx=%d)\n", socket, 0);
        end_session(server, session);
        return false;
    }
    return true;
}

void run_pass(Server *server)
{
    reap_children(server);
    bool poll_only = false;
    if (!register_waits(server, &poll_only)) {
        return;
    }
    int ready = tarvik_select_dispatch(server->m_select, poll_only ? 0 : PASS_TIMEOUT_MS);
    if (ready < 0) {
        // A signal (a child ending, a stop request) only cuts the wait short.
        if (errno != EINTR) {
            perror("select");
        }
        return;
    }
    if (ready == 0 && !poll_only) {
        return;
    }
    if (server->m_listen >= 0 && is_ready(server, server->m_listen, def_tarvik_select_read)) {
        accept_client(server);
    }
    Session *next = nullptr;
    for (Session *session = server->m_sessions; session != nullptr; session = next) {
        next = session->m_next;
        serve_session(server, session);
    }
}

// ---- start-up --------------------------------------------------------------------------

// The first usable address of the interface for the family, with the port; false if none.
bool interface_address(const Options &options, int family, unsigned char *storage)
{
    tarvik_network_interface_t *list = tarvik_get_network_interface(
        TARVIK_NETIF_LISTED | (family == AF_INET6 ? TARVIK_NETIF_IPV6 : TARVIK_NETIF_IPV4));
    tarvik_network_interface_t *record =
        tarvik_search_network_interface_by_name(list, options.m_interface);
    bool found = false;
    for (tarvik_network_interface_address_t *node = record != nullptr ? record->address_head
                                                                      : nullptr;
         node != nullptr && !found; node = node->next) {
        const struct sockaddr *address = node->address;
        if (address == nullptr || address->sa_family != family) {
            continue;
        }
        if (family == AF_INET6) {
            auto *in6 = reinterpret_cast<const struct sockaddr_in6 *>(address);
            found = tarvik_in6addr_is_unspecified(&in6->sin6_addr) == 0;
        } else {
            auto *in4 = reinterpret_cast<const struct sockaddr_in *>(address);
            found = in4->sin_addr.s_addr != 0;
        }
        if (found) {
            memcpy(storage, address,
                   family == AF_INET6 ? sizeof(struct sockaddr_in6) : sizeof(struct sockaddr_in));
        }
    }
    tarvik_free_network_interface(list);
    return found;
}

bool open_listener(Server *server)
{
    const Options &options = server->m_options;
    const int family = options.m_inet6 ? AF_INET6 : AF_INET;
    server->m_listen = tarvik_open_socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (server->m_listen < 0) {
        perror("socket");
        return false;
    }
    if (tarvik_set_reuse_address_socket(server->m_listen, 1) != 0) {
        perror("reuse socket");
    }
    unsigned char storage[TARVIK_SOCKADDR_BUFFER_SIZE] = {};
    auto *address = reinterpret_cast<struct sockaddr *>(storage);
    address->sa_family = static_cast<sa_family_t>(family);
    if (options.m_interface != nullptr) {
        if (!interface_address(options, family, storage)) {
            tarvik_error_printf("not found interface\n");
            return false;
        }
        tarvik_sockaddr_set_port(address, static_cast<uint32_t>(options.m_port));
        char text[TARVIK_INET_STRING_SIZE];
        say(server, "interface %s binding (%s:%u)\n", options.m_interface,
            tarvik_inet_stop(address, text, sizeof(text)), static_cast<unsigned>(options.m_port));
    }
    tarvik_sockaddr_set_port(address, static_cast<uint32_t>(options.m_port));
    socklen_t length = static_cast<socklen_t>(tarvik_sockaddr_size(address, 0));
    const char *failed = nullptr;
    if (tarvik_bind(server->m_listen, address, length) != 0) {
        failed = "bind";
    } else if (tarvik_listen(server->m_listen, 1) != 0) {
        failed = "listen";
    }
    if (failed != nullptr) {
        perror(failed);
        tarvik_error_printf("not found interface\n");
        return false;
    }
    return true;
}

constexpr int BREAK_SIGNALS[] = {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP};

int serve(Server *server)
{
    tarvik_signal_node_t *nodes[sizeof(BREAK_SIGNALS) / sizeof(BREAK_SIGNALS[0])] = {};
    for (size_t index = 0; index < sizeof(BREAK_SIGNALS) / sizeof(BREAK_SIGNALS[0]); ++index) {
        nodes[index] = tarvik_add_signal(BREAK_SIGNALS[index], on_break,
                                         const_cast<sig_atomic_t *>(server->m_break));
    }
    server->m_child_signal = tarvik_add_signal(SIGCHLD, on_child, nullptr);
    int status = 0;
    if (server->m_options.m_xinetd) {
        if (new_session(server, STDIN_FILENO) == nullptr) {
            status = 1;
        }
        while (server->m_sessions != nullptr && *server->m_break == 0) {
            run_pass(server);
        }
    } else {
        while (*server->m_break == 0) {
            run_pass(server);
        }
    }
    while (server->m_sessions != nullptr) {
        end_session(server, server->m_sessions);
    }
    for (tarvik_signal_node_t *node : nodes) {
        tarvik_del_signal(node);
    }
    tarvik_del_signal(server->m_child_signal);
    return status;
}

int run(Server *server)
{
    const Options &options = server->m_options;
    if (tarvik_access(options.m_login, def_tarvik_access_exist) != 0) {
        perror("executable login program check");
        return 1;
    }
    server->m_select = tarvik_open_select();
    if (server->m_select == nullptr) {
        tarvik_error_printf("tarvik_open_select failed !\n");
        return 1;
    }
    if (!options.m_xinetd && !open_listener(server)) {
        return 1;
    }
    if (options.m_daemon && tarvik_daemon(0, 1) != 0) {
        perror("daemon");
        return 1;
    }
    return serve(server);
}

} // namespace

int tarvik_multicall_telnetd_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    Server server = {};
    server.m_listen = -1;
    // The argument parser reads "-6" as a negative number, so the short form of --inet6
    // that the usage offers comes back as an operand; it is taken as the option here.
    bool inet6 = false;
    int operands = arguments.operand_count();
    for (int index = 0; index < arguments.operand_count(); ++index) {
        if (strcmp(arguments.operand(index), "-6") == 0) {
            inet6 = true;
            --operands;
        }
    }
    if (arguments.has(HELP) || operands != 0) {
        arguments.usage(arguments.program_name(), DEFAULT_BUFFER);
        return 1;
    }
    if (!read_options(arguments, &server.m_options)) {
        arguments.usage(arguments.program_name(), DEFAULT_BUFFER);
        return 1;
    }
    server.m_options.m_inet6 |= inet6;
    s_break = 0;
    server.m_break = &s_break;
    server.m_login_argv[0] = const_cast<char *>(server.m_options.m_login);
    server.m_login_argv[1] = nullptr;
    say(&server, "verbose mode (inet%d,%s)\n", server.m_options.m_inet6 ? 6 : 4,
        server.m_options.m_xinetd ? "xinetd" : "standalong");
    tarvik_init_network();
    int status = run(&server);
    tarvik_close_socket(server.m_listen);
    tarvik_close_select(server.m_select);
    tarvik_uninit_network();
    return status;
}
