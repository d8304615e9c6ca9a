// The mtunnel applet: carries UDP datagram streams across TCP and back. Every channel runs on
// its own service thread and alone owns its sockets, queues, save file and client records; the
// main thread parses, starts the channels, waits for a key or a signal, and stops them. The
// application record is shared and read-only while channels run (the stop word aside).
#include "applet.hpp"
#include "applets.h"

#include "buffer.h"
#include "console.h"
#include "file.h"
#include "format.h"
#include "heap.h"
#include "inet.h"
#include "ini.h"
#include "process_control.h"
#include "select.h"
#include "service.h"
#include "signal.h"
#include "socket.h"
#include "terminal.h"
#include "thread.h"
#include "time.h"

#include "detail/common.hpp"
#include "detail/list.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <netinet/in.h>
#include <unistd.h>

namespace {

using tarvik::detail::Cursor;
using tarvik::detail::Text;

// Rows of the option table, in usage order.
enum : size_t {
    HELP,
    VERBOSE,
    DEBUG,
    DAEMON,
    PIDFILE,
    LAUNCHER,
    CONFIG,
    DUMP_CONFIG,
    CHECK_INTERVAL,
    RX,
    TX,
    SAVE,
    TTL,
};
constexpr vexa::Option OPTIONS[] = {
    {"h|help", vexa::Takes::NOTHING, "\t-h, --help                       : help\n"},
    {"v|verbose", vexa::Takes::NOTHING, "\t-v, --verbose                    : verbose\n"},
    {"debug", vexa::Takes::NOTHING, "\t    --debug                      : debug mode\n"},
    {"d|daemon", vexa::Takes::NOTHING, "\t-d, --daemon                     : daemonize\n"},
    {"p|pidfile", vexa::Takes::VALUE, "\t-p, --pidfile=<pathname>         : make pidfile\n"},
    {"launcher", vexa::Takes::NOTHING,
     "\t    --launcher                   : launcher (make immortal process)\n"},
    {"c|conf|config", vexa::Takes::VALUE, "\t-c, --config=<config file>       : configuration\n"},
    {"dump_config|dump-config", vexa::Takes::NOTHING,
     "\t    --dump-config                : dump configuration\n"},
    {"check_interval|check-interval", vexa::Takes::VALUE,
     "\t    --check-interval=<msec>      : check interval (msec)\n"},
    {"r|rx", vexa::Takes::VALUE,
     "\t-r, --rx=<expr1> [<expr1>...]    : multicast(udp) to unicast(tcp)\n"},
    {"t|tx", vexa::Takes::VALUE,
     "\t-t, --tx=<expr2> [<expr2>...]    : unicast(tcp) to multicast(udp)\n"},
    {"s|save", vexa::Takes::NOTHING, "\t-s, --save                       : save to file\n"},
    {"ttl", vexa::Takes::VALUE, "\t    --ttl=<value>                : TTL (Time To Live value)\n"},
};
constexpr vexa::Usage USAGE = vexa::usage_of(
    "usage: %s [<options>]\noptions:\n", OPTIONS,
    "\n----\n\n<expr1>=<zone-ip>:<zone-port>[/<bind-ip>],[<listen-ip>]:<listen-port>\n"
    "<expr2>=<src-ip>:<src-port>[/<bind-ip>],<dst-ip>:<dst-port>[/<bind-ip>]\n\n");

constexpr const char *CONFIG_FILES[] = {"./tarvik_mtunnel.conf", "/etc/tarvik_mtunnel.conf"};

// Channel kinds; the flag keeps a record from getting a service of its own.
constexpr uint32_t KIND_RX = 0;
constexpr uint32_t KIND_TX = 1;
constexpr uint32_t KIND_CLIENT = 2;
constexpr uint32_t KIND_NO_SERVICE = 0x10000;

// The frame in front of every datagram on the TCP side: magic and payload length, big-endian.
constexpr unsigned MAGIC = 0x2744;
constexpr size_t HEADER = 4;
constexpr size_t MAX_PAYLOAD = 65532;
constexpr size_t AREA_SIZE = 65536;
// A stream queue or a client queue above this is not fed any more.
constexpr size_t QUEUE_LIMIT = 64u << 20;
constexpr int RECEIVE_BUFFER = 1 << 20;
constexpr int PASS_MS = 1000;
constexpr uint64_t RETRY_MS = 1000;
constexpr uint64_t IDLE_MS = 60000;
constexpr int CONNECT_MS = 16000;
constexpr int SAVE_WRITE_MS = 1000;
constexpr int FRAMES_PER_PASS = 16;
// Datagrams taken from the UDP socket per pass before the clients are served again.
constexpr int DATAGRAMS_PER_PASS = 32;
constexpr int STOP_THREADS_MS = 5000;
constexpr char ESC = 0x1b;
constexpr int KEY_WAIT_MS = 100;

struct Channel;

struct Application {
    volatile sig_atomic_t m_break; // set by the signal handler
    int m_argc;
    char **m_argv;
    const vexa::Arguments *m_arguments;
    bool m_help;
    bool m_verbose;
    bool m_debug;
    bool m_daemon;
    const char *m_pidfile;
    bool m_launcher;
    int m_check_interval;
    bool m_save;
    int m_ttl;
    tarvik_ini_t *m_ini;
    Channel *m_channels;
    int m_stopping; // the main thread asks every channel to end (atomic access)
};

// A channel, or (kind 2) one accepted client of an rx channel. A channel is one heap block
// with its expression twice behind it: as given, and cut into the host and bind strings.
struct Channel {
    Channel *m_next;
    Channel *m_clients;
    Application *m_application;
    uint32_t m_kind;
    const char *m_expression;
    const char *m_source_host;
    int m_source_port;
    const char *m_source_bind;
    const char *m_destination_host;
    int m_destination_port;
    const char *m_destination_bind;
    tarvik_service_t *m_service;
    int m_first_socket;  // rx: UDP socket; tx: TCP source connection
    int m_second_socket; // rx: listening socket; tx: UDP socket; client: its connection
    tarvik_buffer_t *m_queue;
    // "src=...:.../..., dst=...:.../..." of every message line (owned by the channel; a client
    // shares its channel's).
    char *m_endpoints;
    bool m_overflowing; // client: frames are being dropped for it
};

using ChannelList = tarvik::detail::SinglyLinked<Channel>;

// What one channel service keeps for itself on its own thread.
struct Service {
    Channel *m_channel;
    const Application *m_application;
    tarvik_select_t *m_table;
    uint8_t *m_area;
    int m_save;
    uint64_t m_retry;    // no socket is opened before this time
    uint64_t m_check;    // time of the last check line
    uint64_t m_in;       // bytes since the last check line
    uint64_t m_out;      //
    uint64_t m_activity; // tx: last byte from the source
    struct sockaddr_in m_destination;
};

const char *shown(const char *text) { return text != nullptr ? text : "<any>"; }

bool stopping(const Application *application)
{
    return __atomic_load_n(&application->m_stopping, __ATOMIC_RELAXED) != 0;
}

// ---- messages ----------------------------------------------------------------------------

enum Level { STATE, TRANSFER };

// One line "<head> (<endpoints><tail>": state lines with --verbose, transfer lines with
// --debug. Lines go out whole and at once, so that a reader behind a pipe sees them live.
void say(const Channel *channel, Level level, const char *head, const char *tail, ...)
{
    const Application *application = channel->m_application;
    if (!(level == STATE ? application->m_verbose : application->m_debug)) {
        return;
    }
    char text[160];
    va_list arguments;
    va_start(arguments, tail);
    tarvik_vsnprintf(text, sizeof(text), tail, arguments);
    va_end(arguments);
    tarvik_printf("%s (%s%s", head, channel->m_endpoints, text);
    tarvik_puts(nullptr);
}

// Bits per second over elapsed ms, printed as "<kbit>.<three digits>".
struct Rate {
    unsigned long m_whole;
    unsigned long m_fraction;
};

Rate rate_of(uint64_t bytes, uint64_t elapsed)
{
    uint64_t bits = elapsed != 0 ? bytes * 8000u / elapsed : 0;
    return Rate{static_cast<unsigned long>(bits / 1000u), static_cast<unsigned long>(bits % 1000u)};
}

void check_line(Service *service, uint64_t now)
{
    const Application *application = service->m_application;
    if (application->m_check_interval < 0 ||
        now - service->m_check < static_cast<uint64_t>(application->m_check_interval)) {
        return;
    }
    const Channel *channel = service->m_channel;
    Rate in = rate_of(service->m_in, now - service->m_check);
    Rate out = rate_of(service->m_out, now - service->m_check);
    if (channel->m_kind == KIND_TX) {
        say(channel, STATE, "tx service: check",
            ", in-queued=%lu.%03luKbps, out-queued=%lu.%03luKbps, buffered=%lubytes)\n", in.m_whole,
            in.m_fraction, out.m_whole, out.m_fraction,
            static_cast<unsigned long>(tarvik_get_buffer_size(channel->m_queue)));
    } else {
        unsigned count = 0;
        size_t buffered = 0;
        for (const Channel *client = channel->m_clients; client != nullptr;
             client = client->m_next) {
            if (client->m_second_socket >= 0) {
                ++count;
                buffered += tarvik_get_buffer_size(client->m_queue);
            }
        }
        say(channel, STATE, "rx service: check",
            ", in-queued=%lu.%03luKbps, out-queued=%lu.%03luKbps/%u, buffered=%lubytes)\n",
            in.m_whole, in.m_fraction, out.m_whole, out.m_fraction, count,
            static_cast<unsigned long>(buffered));
    }
    service->m_in = 0;
    service->m_out = 0;
    service->m_check = now;
}

// ---- channel records ---------------------------------------------------------------------

// Cuts the cursor's range at the first byte of set: the front piece comes back terminated
// in place (its separator, or the range's own terminator, becomes the NUL); the cursor keeps
// what follows the separator.
char *cut(Cursor *cursor, const char *set)
{
    Text front = cursor->take_until([set](int c) { return c != 0 && strchr(set, c) != nullptr; });
    cursor->skip(1);
    char *piece = const_cast<char *>(front.m_data);
    piece[front.m_length] = '\0';
    return piece;
}

const char *present(const char *text) { return *text != '\0' ? text : nullptr; }

// "host[:port][/bind]" (or "\bind"); empty pieces are absent. false for a port that is no
// decimal number up to 65535.
bool parse_half(char *half, const char **host, int *port, const char **bind)
{
    Cursor cursor = Cursor::of(half);
    Cursor address = Cursor::of(cut(&cursor, "/\\"));
    *bind = present(cursor.position());
    *host = present(cut(&address, ":"));
    *port = -1;
    uint64_t value = 0;
    if (address.at_end()) {
        return true;
    }
    if (!address.decimal(&value, 65535) || !address.at_end()) {
        return false;
    }
    *port = static_cast<int>(value);
    return true;
}

Channel *free_channel(Channel *channel)
{
    if (channel->m_kind != KIND_CLIENT) {
        tarvik_free_tag(channel->m_endpoints, TARVIK_TAG);
    }
    tarvik_free_tag(channel, TARVIK_TAG);
    return nullptr;
}

// A channel for "source,destination" (split at the first of , | ; &), or null when memory
// runs out or the expression holds a bad port (said on the error output).
Channel *new_channel(Application *application, uint32_t kind, const char *expression)
{
    size_t length = strlen(expression) + 1;
    Channel *channel =
        static_cast<Channel *>(tarvik_alloc_tag(sizeof(Channel) + 2 * length, TARVIK_TAG));
    if (channel == nullptr) {
        return nullptr;
    }
    memset(channel, 0, sizeof(Channel));
    char *given = reinterpret_cast<char *>(channel + 1);
    char *pieces = given + length;
    memcpy(given, expression, length);
    memcpy(pieces, expression, length);
    channel->m_application = application;
    channel->m_kind = kind;
    channel->m_expression = given;
    channel->m_first_socket = -1;
    channel->m_second_socket = -1;
    Cursor cursor = Cursor::of(pieces);
    char *source = cut(&cursor, ",|;&");
    char *destination = const_cast<char *>(cursor.position());
    if (!parse_half(source, &channel->m_source_host, &channel->m_source_port,
                    &channel->m_source_bind) ||
        !parse_half(destination, &channel->m_destination_host, &channel->m_destination_port,
                    &channel->m_destination_bind)) {
        tarvik_error_printf("mtunnel: invalid port in \"%s\" !\n", expression);
        return free_channel(channel);
    }
    channel->m_endpoints = tarvik_alloc_sprintf(
        "src=%s:%d/%s, dst=%s:%d/%s", shown(channel->m_source_host), channel->m_source_port,
        shown(channel->m_source_bind), shown(channel->m_destination_host),
        channel->m_destination_port, shown(channel->m_destination_bind));
    if (channel->m_endpoints == nullptr) {
        return free_channel(channel);
    }
    return channel;
}

void add_channel(Application *application, uint32_t kind, const char *expression)
{
    Channel *channel = new_channel(application, kind, expression);
    if (channel != nullptr) {
        ChannelList(&application->m_channels, nullptr).push_front(channel);
    }
}

void close_client(Channel *client)
{
    client->m_second_socket = tarvik_close_socket(client->m_second_socket);
    client->m_queue = tarvik_close_buffer(client->m_queue);
    client->m_overflowing = false;
}

void free_channels(Application *application)
{
    ChannelList channels(&application->m_channels, nullptr);
    while (Channel *channel = channels.pop_front()) {
        ChannelList clients(&channel->m_clients, nullptr);
        while (Channel *client = clients.pop_front()) {
            close_client(client);
            free_channel(client);
        }
        tarvik_close_socket(channel->m_first_socket);
        tarvik_close_socket(channel->m_second_socket);
        tarvik_close_buffer(channel->m_queue);
        free_channel(channel);
    }
}

// ---- what both services share -----------------------------------------------------------

void fail(Service *service, uint64_t now) { service->m_retry = now + RETRY_MS; }

void save(Service *service, const void *data, size_t length)
{
    if (service->m_save >= 0 && length != 0) {
        tarvik_write_fill(service->m_save, data, length, SAVE_WRITE_MS);
    }
}

void open_save_file(Service *service)
{
    const Channel *channel = service->m_channel;
    char *path = tarvik_alloc_sprintf(
        "./%s_%s_%d_%s-%s_%d_%s.mtunnel.save", channel->m_kind == KIND_TX ? "tx" : "rx",
        shown(channel->m_source_host), channel->m_source_port, shown(channel->m_source_bind),
        shown(channel->m_destination_host), channel->m_destination_port,
        shown(channel->m_destination_bind));
    if (path == nullptr) {
        return;
    }
    service->m_save = tarvik_open(
        path, def_tarvik_open_write | def_tarvik_open_create | def_tarvik_open_truncate, 0644u);
    if (service->m_save < 0) {
        tarvik_error_printf("mtunnel: can not open the save file \"%s\" !\n", path);
    }
    tarvik_free_tag(path, TARVIK_TAG);
}

// The wait of one pass: up to a second, shorter when a check line falls due sooner.
int pass_timeout(const Service *service, uint64_t now)
{
    int interval = service->m_application->m_check_interval;
    if (interval < 0 || !service->m_application->m_verbose) {
        return PASS_MS;
    }
    uint64_t due = service->m_check + static_cast<uint64_t>(interval);
    uint64_t left = due > now ? due - now : 0;
    return left < static_cast<uint64_t>(PASS_MS) ? static_cast<int>(left) : PASS_MS;
}

bool would_block() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

// ---- rx: UDP in, framed TCP out to every client -----------------------------------------

bool open_rx_sockets(Service *service, uint64_t now)
{
    Channel *channel = service->m_channel;
    if (channel->m_first_socket < 0) {
        // Without a group or a bind address the "any" address would be IPv6's, which takes
        // no IPv4 datagram: the port alone means IPv4, like every other socket of a channel.
        int family = channel->m_source_host == nullptr && channel->m_source_bind == nullptr ? 2 : 0;
        int fd = tarvik_open_udp_socket_ex(family, channel->m_source_bind, channel->m_source_port,
                                           channel->m_source_host);
        if (fd < 0) {
            say(channel, STATE, "rx service: udp socket open failed !", ")\n");
            fail(service, now);
            return false;
        }
        tarvik_set_reuse_address_socket(fd, 1);
        // The forced size passes a lower system maximum where the process may do so.
        if (tarvik_setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &RECEIVE_BUFFER,
                              sizeof(RECEIVE_BUFFER)) != 0) {
            tarvik_set_rx_socket_buffer_size(fd, RECEIVE_BUFFER);
        }
        channel->m_first_socket = fd;
        say(channel, STATE, "rx service: udp socket opened.", ")\n");
    }
    if (channel->m_second_socket < 0) {
        int fd = tarvik_open_listen_socket_ex(2, channel->m_destination_host,
                                              channel->m_destination_port);
        if (fd < 0) {
            say(channel, STATE, "rx service: listen socket open failed !", ")\n");
            fail(service, now);
            return false;
        }
        // A client gone between the wait and the accept must not stop the loop.
        tarvik_set_non_block_socket(fd, 1);
        channel->m_second_socket = fd;
        say(channel, STATE, "rx service: listen socket ready.", ")\n");
    }
    return true;
}

// Queues one frame for every client; a client whose queue already passed the limit gets
// nothing (one line when it starts to miss frames) and never holds back the others.
void fan_out(Service *service, size_t length)
{
    Channel *channel = service->m_channel;
    for (Channel *client = channel->m_clients; client != nullptr; client = client->m_next) {
        if (client->m_second_socket < 0) {
            continue;
        }
        size_t queued = tarvik_get_buffer_size(client->m_queue);
        if (queued > QUEUE_LIMIT) {
            if (!client->m_overflowing) {
                client->m_overflowing = true;
                say(channel, STATE, "rx service: overflow buffer !", ", total=%lu, fd=%d)\n",
                    static_cast<unsigned long>(queued), client->m_second_socket);
            }
            continue;
        }
        client->m_overflowing = false;
        // A frame cut short by a failed allocation would break the client's stream.
        if (tarvik_push_buffer(client->m_queue, service->m_area, HEADER + length) !=
            HEADER + length) {
            say(channel, STATE, "rx service: not acceptable memory !", ")\n");
            close_client(client);
        }
    }
}

// Takes what the UDP socket holds (a bounded number per pass), each datagram as one frame.
void receive_datagrams(Service *service, uint64_t now)
{
    Channel *channel = service->m_channel;
    uint8_t *area = service->m_area;
    for (int count = 0; count < DATAGRAMS_PER_PASS; ++count) {
        ssize_t length =
            tarvik_sys_recv(channel->m_first_socket, area + HEADER, MAX_PAYLOAD, MSG_DONTWAIT);
        if (length < 0) {
            if (!would_block()) {
                say(channel, STATE, "rx service: recv failed !", ")\n");
                channel->m_first_socket = tarvik_close_socket(channel->m_first_socket);
                fail(service, now);
            }
            return;
        }
        // An empty datagram is a datagram too: it travels as a header alone.
        save(service, area + HEADER, static_cast<size_t>(length));
        area[0] = static_cast<uint8_t>(MAGIC >> 8);
        area[1] = static_cast<uint8_t>(MAGIC & 0xff);
        area[2] = static_cast<uint8_t>(length >> 8);
        area[3] = static_cast<uint8_t>(length & 0xff);
        fan_out(service, static_cast<size_t>(length));
        service->m_in += static_cast<uint64_t>(length);
        say(channel, TRANSFER, "rx service: in-queued", ", %ld[push=%lu])\n",
            static_cast<long>(length), static_cast<unsigned long>(length) + HEADER);
    }
}

void accept_client(Service *service)
{
    Channel *channel = service->m_channel;
    int fd = tarvik_accept(channel->m_second_socket, nullptr, nullptr, -1);
    if (fd < 0) {
        if (!would_block() && errno != ECONNABORTED) {
            say(channel, STATE, "rx service: accept failed !", ")\n");
        }
        return;
    }
    Channel *client = channel->m_clients;
    while (client != nullptr && client->m_second_socket >= 0) {
        client = client->m_next;
    }
    if (client == nullptr) {
        client = static_cast<Channel *>(tarvik_alloc_tag(sizeof(Channel), TARVIK_TAG));
        if (client != nullptr) {
            memset(client, 0, sizeof(Channel));
            client->m_application = channel->m_application;
            client->m_kind = KIND_CLIENT;
            client->m_endpoints = channel->m_endpoints;
            client->m_first_socket = -1;
            client->m_second_socket = -1;
            ChannelList(&channel->m_clients, nullptr).push_front(client);
        }
    }
    if (client == nullptr || (client->m_queue = tarvik_open_buffer()) == nullptr) {
        say(channel, STATE, "rx service: not acceptable memory !", ")\n");
        tarvik_close_socket(fd);
        return;
    }
    client->m_second_socket = fd;
    say(channel, STATE, "rx service: accepted", ", fd=%d)\n", fd);
}

// Clients only talk to be ignored; reading tells when they leave.
void read_client(Service *service, Channel *client)
{
    ssize_t length =
        tarvik_sys_recv(client->m_second_socket, service->m_area, AREA_SIZE, MSG_DONTWAIT);
    if (length < 0 && would_block()) {
        return;
    }
    if (length <= 0) {
        say(service->m_channel, STATE, "rx service: disconnected client(r) !", ", fd=%d)\n",
            client->m_second_socket);
        close_client(client);
        return;
    }
    say(service->m_channel, TRANSFER, "rx service: ignored client message !",
        ", fd=%d, %ld bytes)\n", client->m_second_socket, static_cast<long>(length));
}

// Sends what the client's socket takes now, without waiting for it.
void write_client(Service *service, Channel *client)
{
    size_t length = tarvik_peek_buffer(client->m_queue, service->m_area, AREA_SIZE);
    ssize_t sent = tarvik_sys_send(client->m_second_socket, service->m_area, length,
                                   MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0) {
        if (!would_block()) {
            say(service->m_channel, STATE, "rx service: disconnected client(t) !", ", fd=%d)\n",
                client->m_second_socket);
            close_client(client);
        }
        return;
    }
    tarvik_pop_buffer(client->m_queue, nullptr, static_cast<size_t>(sent));
    service->m_out += static_cast<uint64_t>(sent);
    say(service->m_channel, TRANSFER, "rx service: out-queued", ", fd=%d, %ld[remain=%lu])\n",
        client->m_second_socket, static_cast<long>(sent),
        static_cast<unsigned long>(tarvik_get_buffer_size(client->m_queue)));
}

void rx_pass(Service *service, uint64_t now)
{
    Channel *channel = service->m_channel;
    if (!open_rx_sockets(service, now)) {
        return;
    }
    tarvik_select_t *table = service->m_table;
    tarvik_clear_select(table);
    tarvik_add_select(table, channel->m_first_socket, def_tarvik_select_read);
    tarvik_add_select(table, channel->m_second_socket, def_tarvik_select_read);
    // Writability is asked only of clients with something to send: an idle socket is always
    // writable and would turn the wait into a spin.
    for (Channel *client = channel->m_clients; client != nullptr; client = client->m_next) {
        if (client->m_second_socket >= 0) {
            tarvik_add_select(
                table, client->m_second_socket,
                def_tarvik_select_read |
                    (tarvik_get_buffer_size(client->m_queue) != 0 ? def_tarvik_select_write : 0));
        }
    }
    if (tarvik_select_dispatch(table, pass_timeout(service, now)) <= 0) {
        return;
    }
    if (tarvik_is_select(table, channel->m_first_socket, def_tarvik_select_read) > 0) {
        receive_datagrams(service, now);
    }
    if (tarvik_is_select(table, channel->m_second_socket, def_tarvik_select_read) > 0) {
        accept_client(service);
    }
    for (Channel *client = channel->m_clients; client != nullptr; client = client->m_next) {
        int fd = client->m_second_socket;
        if (fd >= 0 && tarvik_is_select(table, fd, def_tarvik_select_read) > 0) {
            read_client(service, client);
        }
        // Frames queued in this pass go out at once to a client that was not waiting for
        // room; a non-waiting send costs nothing when the socket is full.
        fd = client->m_second_socket;
        if (fd >= 0 && tarvik_get_buffer_size(client->m_queue) != 0 &&
            (tarvik_is_select(table, fd, def_tarvik_select_write) > 0 ||
             (tarvik_get_select_flags(table, fd) & def_tarvik_select_write) == 0)) {
            write_client(service, client);
        }
    }
}

// ---- tx: framed TCP in, datagrams out ----------------------------------------------------

bool open_tx_sockets(Service *service, uint64_t now)
{
    Channel *channel = service->m_channel;
    if (channel->m_first_socket < 0) {
        tarvik_flush_buffer(channel->m_queue);
        say(channel, STATE, "tx service: connecting...", ")\n");
        int fd = tarvik_open_connect_socket_ex(2, channel->m_source_bind, 0, channel->m_source_host,
                                               channel->m_source_port, CONNECT_MS);
        if (fd < 0) {
            say(channel, STATE, "tx service: tcp socket open failed !", ")\n");
            fail(service, tarvik_time_stamp_msec(nullptr));
            return false;
        }
        channel->m_first_socket = fd;
        service->m_activity = tarvik_time_stamp_msec(nullptr);
        say(channel, STATE, "tx service: connected.", ")\n");
    }
    if (channel->m_second_socket < 0) {
        int fd = tarvik_open_udp_socket_ex(2, channel->m_destination_bind, 0, nullptr);
        if (fd < 0) {
            say(channel, STATE, "tx service: udp socket open failed !", ")\n");
            fail(service, now);
            return false;
        }
        tarvik_set_broadcast_socket(fd, 1);
        tarvik_hops_socket(fd, service->m_application->m_ttl, 1);
        tarvik_hops_socket(fd, service->m_application->m_ttl, 0);
        channel->m_second_socket = fd;
        say(channel, STATE, "tx service: udp socket opened.", ")\n");
    }
    if (channel->m_queue == nullptr && (channel->m_queue = tarvik_open_buffer()) == nullptr) {
        fail(service, now);
        return false;
    }
    return true;
}

void close_source(Service *service, uint64_t now)
{
    Channel *channel = service->m_channel;
    channel->m_first_socket = tarvik_close_socket(channel->m_first_socket);
    fail(service, now);
}

// The front frame's header: 0 while incomplete, 1 when the whole frame is queued (its
// payload length in *length), -1 for a header no source may send (bad magic, or a length
// beyond what a datagram frame carries).
int front_frame(tarvik_buffer_t *queue, unsigned *magic, size_t *length)
{
    uint8_t header[HEADER];
    if (tarvik_peek_buffer_ex(queue, header, HEADER, 0, 1) != HEADER) {
        return 0;
    }
    *magic = static_cast<unsigned>(header[0]) << 8 | header[1];
    *length = static_cast<size_t>(header[2]) << 8 | header[3];
    if (*magic != MAGIC || *length > MAX_PAYLOAD) {
        return -1;
    }
    return tarvik_get_buffer_size(queue) >= HEADER + *length ? 1 : 0;
}

// Sends up to limit whole frames, one datagram each. The first send of a call may wait,
// the others go only while the socket takes them at once (all may wait when draining).
void send_frames(Service *service, int limit, bool draining, uint64_t now)
{
    Channel *channel = service->m_channel;
    uint8_t *area = service->m_area;
    for (int count = 0; count < limit && channel->m_second_socket >= 0; ++count) {
        unsigned magic = 0;
        size_t length = 0;
        int state = front_frame(channel->m_queue, &magic, &length);
        if (state == 0) {
            return;
        }
        if (state < 0) {
            // Nothing behind a broken header can be trusted: start over on a new connection.
            if (magic != MAGIC) {
                say(channel, STATE, "tx service: invalid magic !", ", magic=%u)\n", magic);
            } else {
                say(channel, STATE, "tx service: invalid length !", ", length=%lu)\n",
                    static_cast<unsigned long>(length));
            }
            tarvik_flush_buffer(channel->m_queue);
            close_source(service, now);
            return;
        }
        tarvik_peek_buffer_ex(channel->m_queue, area, HEADER + length, 0, 1);
        ssize_t sent =
            tarvik_sys_sendto(channel->m_second_socket, area + HEADER, length,
                              count == 0 || draining ? 0 : MSG_DONTWAIT,
                              reinterpret_cast<const struct sockaddr *>(&service->m_destination),
                              sizeof(service->m_destination));
        if (sent < 0) {
            if (would_block()) {
                return;
            }
            bool too_long = errno == EMSGSIZE;
            say(channel, STATE, "tx service: out-stream failed !", ", fd=%d)\n",
                channel->m_second_socket);
            if (too_long) {
                // Longer than one datagram can be on this path: no retry would ever send it,
                // and it must not hold up the frames behind it.
                tarvik_pop_buffer(channel->m_queue, nullptr, HEADER + length);
                continue;
            }
            channel->m_second_socket = tarvik_close_socket(channel->m_second_socket);
            fail(service, now);
            return;
        }
        save(service, area + HEADER, length);
        tarvik_pop_buffer(channel->m_queue, nullptr, HEADER + length);
        service->m_out += length;
        say(channel, TRANSFER, "tx service: out-queued(stream)", ", fd=%d, %ld[remain=%lu])\n",
            channel->m_second_socket, static_cast<long>(sent),
            static_cast<unsigned long>(tarvik_get_buffer_size(channel->m_queue)));
    }
}

void receive_stream(Service *service, uint64_t now)
{
    Channel *channel = service->m_channel;
    ssize_t length =
        tarvik_sys_recv(channel->m_first_socket, service->m_area, AREA_SIZE, MSG_DONTWAIT);
    if (length < 0 && would_block()) {
        return;
    }
    if (length <= 0) {
        // What the source completed before it left still goes out; a cut frame does not.
        send_frames(service, INT_MAX, true, now);
        say(channel, STATE, "tx service: disconnected client(t) !", ")\n");
        close_source(service, now);
        return;
    }
    if (tarvik_push_buffer(channel->m_queue, service->m_area, static_cast<size_t>(length)) !=
        static_cast<size_t>(length)) {
        close_source(service, now);
        return;
    }
    service->m_in += static_cast<uint64_t>(length);
    service->m_activity = now;
    say(channel, TRANSFER, "tx service: in-queued", ", %ld[total=%lu])\n",
        static_cast<long>(length),
        static_cast<unsigned long>(tarvik_get_buffer_size(channel->m_queue)));
}

void tx_pass(Service *service, uint64_t now)
{
    Channel *channel = service->m_channel;
    if (channel->m_first_socket >= 0 && now - service->m_activity >= IDLE_MS) {
        channel->m_first_socket = tarvik_close_socket(channel->m_first_socket);
        say(channel, STATE, "tx service: disconnect client(t) by idle timeout !", ")\n");
    }
    if (!open_tx_sockets(service, now)) {
        return;
    }
    tarvik_select_t *table = service->m_table;
    tarvik_clear_select(table);
    if (tarvik_get_buffer_size(channel->m_queue) <= QUEUE_LIMIT) {
        tarvik_add_select(table, channel->m_first_socket, def_tarvik_select_read);
    }
    unsigned magic = 0;
    size_t length = 0;
    if (front_frame(channel->m_queue, &magic, &length) != 0) {
        tarvik_add_select(table, channel->m_second_socket, def_tarvik_select_write);
    }
    if (tarvik_select_dispatch(table, pass_timeout(service, now)) <= 0) {
        return;
    }
    if (tarvik_is_select(table, channel->m_first_socket, def_tarvik_select_read) > 0) {
        receive_stream(service, now);
    }
    send_frames(service, FRAMES_PER_PASS, false, now);
}

// ---- the service thread -------------------------------------------------------------------

int channel_service(tarvik_service_t *handle, void *context)
{
    Channel *channel = static_cast<Channel *>(context);
    Service service{};
    service.m_channel = channel;
    service.m_application = channel->m_application;
    service.m_save = -1;
    service.m_table = tarvik_open_select();
    service.m_area = static_cast<uint8_t *>(tarvik_alloc_tag(AREA_SIZE, TARVIK_TAG));
    if (service.m_table == nullptr || service.m_area == nullptr) {
        tarvik_close_select(service.m_table);
        tarvik_free_tag(service.m_area, TARVIK_TAG);
        tarvik_error_service(handle);
        return -1;
    }
    if (channel->m_application->m_save) {
        open_save_file(&service);
    }
    bool tx = channel->m_kind == KIND_TX;
    service.m_destination.sin_family = AF_INET;
    service.m_destination.sin_port = tarvik_be16_order(
        static_cast<uint16_t>(channel->m_destination_port > 0 ? channel->m_destination_port : 0));
    if (tx) {
        tarvik_inet_pton(2, channel->m_destination_host, &service.m_destination.sin_addr);
    }
    say(channel, STATE, tx ? "running tx service..." : "running rx service...", ")\n");
    service.m_check = tarvik_time_stamp_msec(nullptr);
    tarvik_ack_service(handle);
    while (tarvik_break_service(handle) == 0 && !stopping(channel->m_application)) {
        uint64_t now = tarvik_time_stamp_msec(nullptr);
        check_line(&service, now);
        if (now < service.m_retry) {
            tarvik_load_balance();
        } else if (tx) {
            tx_pass(&service, now);
        } else {
            rx_pass(&service, now);
        }
    }
    tarvik_free_tag(service.m_area, TARVIK_TAG);
    if (service.m_save >= 0) {
        fsync(service.m_save);
        tarvik_close(service.m_save);
    }
    tarvik_close_select(service.m_table);
    return 0;
}

// ---- the main thread --------------------------------------------------------------------

void on_break(int, void *context) { *static_cast<volatile sig_atomic_t *>(context) = 1; }

bool read_options(const vexa::Arguments &arguments, Application *application)
{
    long long check_interval = -1;
    long long ttl = 255;
    if (!arguments.number(CHECK_INTERVAL, INT_MIN, INT_MAX, -1, &check_interval) ||
        !arguments.number(TTL, 0, 255, 255, &ttl)) {
        return false;
    }
    application->m_help = arguments.has(HELP);
    application->m_debug = arguments.has(DEBUG);
    application->m_verbose = arguments.has(VERBOSE) || application->m_debug;
    application->m_daemon = arguments.has(DAEMON);
    application->m_pidfile = arguments.value(PIDFILE);
    application->m_launcher = arguments.has(LAUNCHER);
    application->m_check_interval = static_cast<int>(check_interval);
    application->m_save = arguments.has(SAVE);
    application->m_ttl = static_cast<int>(ttl);
    return true;
}

// With --config only that file; else the first of the usual places that loads.
void load_configuration(Application *application, const char *path)
{
    tarvik_ini_t *ini = tarvik_open_ini();
    application->m_ini = ini;
    if (ini == nullptr) {
        return;
    }
    ini->m_option->m_substitute = 1;
    tarvik_ini_load_env(ini);
    for (const char *candidate : CONFIG_FILES) {
        const char *tried = path != nullptr ? path : candidate;
        if (access(tried, R_OK) == 0 && tarvik_ini_load_file(ini, tried) == 0) {
            if (application->m_verbose) {
                tarvik_printf("config(\"%s\") found.\n", tried);
            }
            return;
        }
        if (path != nullptr) {
            tarvik_error_printf("mtunnel: can not load config(\"%s\") !\n", path);
            return;
        }
    }
}

void build_channels(Application *application, const vexa::Arguments &arguments)
{
    constexpr size_t ROWS[] = {RX, TX};
    for (size_t row : ROWS) {
        const char *expression = nullptr;
        for (int index = 1; (expression = arguments.value(row, index)) != nullptr; ++index) {
            add_channel(application, row == RX ? KIND_RX : KIND_TX, expression);
        }
    }
    if (application->m_channels != nullptr || application->m_ini == nullptr) {
        return;
    }
    for (const tarvik_ini_node_t *node = application->m_ini->m_data->m_node_head; node != nullptr;
         node = node->m_next) {
        bool rx = tarvik::detail::equal_ignoring_case(node->m_name, "rx");
        if (node->m_value != nullptr &&
            (rx || tarvik::detail::equal_ignoring_case(node->m_name, "tx"))) {
            add_channel(application, rx ? KIND_RX : KIND_TX, node->m_value);
        }
    }
}

void print_channels(const Application *application)
{
    for (const Channel *channel = application->m_channels; channel != nullptr;
         channel = channel->m_next) {
        tarvik_printf("[\e[1;31m%s\e[0m] src=\e[1;33m%s\e[0m:\e[1;33m%d\e[0m/\e[1;33m%s\e[0m, "
                      "dst=\e[1;33m%s\e[0m:\e[1;33m%d\e[0m/\e[1;33m%s\e[0m\n",
                      channel->m_kind == KIND_TX ? "TX" : "RX", shown(channel->m_source_host),
                      channel->m_source_port, shown(channel->m_source_bind),
                      shown(channel->m_destination_host), channel->m_destination_port,
                      shown(channel->m_destination_bind));
    }
}

// The printers go to the system log (verbose) or nowhere while detached; a failed detach
// gives the console back so that the failure is seen.
bool detach(const Application *application)
{
    tarvik_puts_handler_t route = application->m_verbose ? tarvik_log_puts : tarvik_quiet_puts;
    tarvik_puts_handler_t old_out = nullptr;
    tarvik_puts_handler_t old_err = nullptr;
    tarvik_set_puts_handler(route, &old_out);
    tarvik_set_error_puts_handler(route, &old_err);
    if (tarvik_daemon(0, 0) == 0) {
        // Detaching silences both printers; a verbose daemon keeps its lines in the log.
        tarvik_set_puts_handler(route, nullptr);
        tarvik_set_error_puts_handler(route, nullptr);
        return true;
    }
    tarvik_set_puts_handler(old_out, nullptr);
    tarvik_set_error_puts_handler(old_err, nullptr);
    tarvik_error_printf("daemonize failed !\n");
    return false;
}

void start_services(Application *application)
{
    for (Channel *channel = application->m_channels; channel != nullptr;
         channel = channel->m_next) {
        if ((channel->m_kind & KIND_NO_SERVICE) != 0) {
            continue;
        }
        channel->m_service = tarvik_open_service_ex("mtunnel", channel_service, channel, 0);
        if (channel->m_service == nullptr) {
            tarvik_error_printf("mtunnel: can not start the channel \"%s\" !\n",
                                channel->m_expression);
        }
    }
}

// Until a signal, or on the console ESC alone (not the start of an arrow key's sequence)
// or q.
void wait_for_stop(Application *application)
{
    int keyboard = application->m_daemon ? -1 : tarvik_open_vt();
    while (application->m_break == 0) {
        if (keyboard < 0) {
            tarvik_load_balance();
            continue;
        }
        int length = 0;
        uint64_t start = tarvik_time_stamp_msec(nullptr);
        const char *keys = tarvik_get_vt(keyboard, &length, KEY_WAIT_MS);
        if (keys != nullptr && (keys[0] == 'q' || (length == 1 && keys[0] == ESC))) {
            break;
        }
        // A terminal that hung up answers at once, and with nothing.
        if (keys == nullptr && tarvik_time_stamp_msec(nullptr) - start < KEY_WAIT_MS / 2) {
            tarvik_sleep_wait(0, KEY_WAIT_MS * 1000);
        }
    }
    tarvik_close_vt(keyboard);
}

void stop_services(Application *application)
{
    // Every channel sees the stop word within one pass, so they end together.
    __atomic_store_n(&application->m_stopping, 1, __ATOMIC_RELAXED);
    for (Channel *channel = application->m_channels; channel != nullptr;
         channel = channel->m_next) {
        tarvik_close_service(channel->m_service);
        channel->m_service = nullptr;
    }
}

int run(Application *application)
{
    if (application->m_daemon && !detach(application)) {
        return 1;
    }
    if (application->m_launcher) {
        tarvik_launcher();
    }
    // Written by the process that carries the channels (anew after every restart), so that
    // the pid file always names the one to signal.
    if (application->m_pidfile != nullptr &&
        tarvik_write_pidfile(application->m_pidfile, tarvik_getpid()) != 0) {
        tarvik_error_printf("mtunnel: can not write the pidfile \"%s\" !\n",
                            application->m_pidfile);
    }
    start_services(application);
    wait_for_stop(application);
    stop_services(application);
    return 0;
}

} // namespace

int tarvik_multicall_mtunnel_main(int argc, char **argv)
{
    Application application{};
    application.m_argc = argc;
    application.m_argv = argv;
    tarvik_signal_node_t *signals[] = {
        tarvik_add_signal(SIGINT, on_break, const_cast<sig_atomic_t *>(&application.m_break)),
        tarvik_add_signal(SIGTERM, on_break, const_cast<sig_atomic_t *>(&application.m_break)),
        tarvik_add_signal(SIGQUIT, on_break, const_cast<sig_atomic_t *>(&application.m_break)),
    };
    int status = 1;
    vexa::Arguments arguments(argc, argv, USAGE);
    application.m_arguments = &arguments;
    if (arguments.ok() && read_options(arguments, &application)) {
        tarvik_init_network();
        load_configuration(&application, arguments.value(CONFIG));
        if (arguments.has(DUMP_CONFIG) && application.m_ini != nullptr) {
            tarvik_ini_dump(application.m_ini, nullptr);
        }
        build_channels(&application, arguments);
        if (application.m_verbose) {
            print_channels(&application);
        }
        if (application.m_help || application.m_channels == nullptr) {
            arguments.usage(arguments.program_name());
        } else {
            status = run(&application);
        }
        free_channels(&application);
        tarvik_close_ini(application.m_ini);
        tarvik_uninit_network();
        // The channel threads are past their last step once closed; let them finish.
        tarvik_thread_pool_wait(STOP_THREADS_MS);
        if (application.m_verbose && status == 0) {
            tarvik_printf("\nEnd of mtunnel.\n");
        }
    }
    for (tarvik_signal_node_t *node : signals) {
        tarvik_del_signal(node);
    }
    return status;
}
