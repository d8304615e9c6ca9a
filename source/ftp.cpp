// The FTP client engine. A handle owns its control connection, its data sockets, the two
// control queues, the I/O block and the last reply line; it is used by one thread at a time
// and every wait happens inside the calls (select with time-outs). Reply lines are bounded
// by the I/O block and a reply by REPLY_LIMIT, so a peer cannot make the handle grow.
#include "ftp.h"

#include "console.h"
#include "detail/common.hpp"
#include "detail/ftp.hpp"
#include "file.h"
#include "format.h"
#include "heap.h"
#include "inet.h"
#include "socket.h"
#include "terminal.h"
#include "time.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using tarvik::detail::Cursor;
using tarvik::detail::FtpLine;

constexpr int DEFAULT_COMMAND_TIMEOUT_MS = 24000;
constexpr int DEFAULT_DATA_TIMEOUT_MS = 60000;
constexpr int PUMP_STEP_MS = 100;
// The control connection is not read while this much waits unparsed.
constexpr size_t RECEIVE_PAUSE = 2 * TARVIK_FTP_BLOCK_SIZE;
// One reply, all its lines together: a multi-line reply that never ends stops here.
constexpr size_t REPLY_LIMIT = 16 * TARVIK_FTP_BLOCK_SIZE;
// Downloads into memory stop here whatever max_size says.
constexpr uint64_t MEMORY_DOWNLOAD_LIMIT = 0xFFFFFFFFull;
constexpr const char *ANONYMOUS_USER = "anonymous";
constexpr const char *ANONYMOUS_PASSWORD = "xqv@";
constexpr size_t PROMPT_SIZE = 64;
// A download to a file is written under the target's name with this suffix and renamed over
// the target once complete; an interrupted one is resumed from it.
constexpr const char *PARTIAL_SUFFIX = ".part";

bool connected(const tarvik_ftp_t *ftp)
{
    return ftp != nullptr && (ftp->m_state & TARVIK_FTP_STATE_CONNECTED) != 0;
}

// ---- statistics ---------------------------------------------------------------------------

void reset_statistics(tarvik_ftp_t *ftp)
{
    ftp->m_start_time = tarvik_time_stamp_msec(nullptr);
    ftp->m_elapsed = 0;
    ftp->m_bytes = 0;
    ftp->m_rate = 0;
}

void count_transfer(tarvik_ftp_t *ftp, size_t count)
{
    ftp->m_elapsed = tarvik_time_stamp_msec(nullptr) - ftp->m_start_time;
    ftp->m_bytes += count;
    ftp->m_rate = ftp->m_bytes * 1000u / (ftp->m_elapsed != 0 ? ftp->m_elapsed : 1u);
}

// ---- the control pump ---------------------------------------------------------------------

// The control connection's peer (peer true) or local address; false when unknown.
bool control_address(const tarvik_ftp_t *ftp, bool peer, struct sockaddr_storage *address,
                     socklen_t *length)
{
    *length = sizeof(*address);
    memset(address, 0, sizeof(*address));
    const int result = peer ? tarvik_getpeername(ftp->m_control_socket,
                                                 reinterpret_cast<sockaddr *>(address), length)
                            : tarvik_getsockname(ftp->m_control_socket,
                                                 reinterpret_cast<sockaddr *>(address), length);
    return result == 0 && (address->ss_family == AF_INET || address->ss_family == AF_INET6);
}

void lose_connection(tarvik_ftp_t *ftp)
{
    ftp->m_state &= ~(TARVIK_FTP_STATE_CONNECTED | TARVIK_FTP_STATE_GREETED);
}

// Takes the server's connection to the listening socket. Only the control connection's peer
// may connect: anyone else is turned away and the listener stays open.
void accept_data(tarvik_ftp_t *ftp)
{
    struct sockaddr_storage from;
    socklen_t from_length = sizeof(from);
    const int fd =
        tarvik_accept(ftp->m_listen_socket, reinterpret_cast<sockaddr *>(&from), &from_length, 0);
    if (fd < 0) {
        return;
    }
    struct sockaddr_storage peer;
    socklen_t peer_length = 0;
    if (!control_address(ftp, true, &peer, &peer_length) ||
        tarvik_compare_sockaddr_address(reinterpret_cast<sockaddr *>(&from),
                                        reinterpret_cast<sockaddr *>(&peer)) != 0) {
        tarvik_close_socket(fd);
        return;
    }
    ftp->m_accepted_socket = fd;
    ftp->m_data_socket = fd;
    ftp->m_listen_socket = tarvik_close_socket(ftp->m_listen_socket);
}

// One step: waits up to timeout_ms, then sends one block from the send queue, receives one
// block into the receive queue and accepts the data connection, whichever is ready.
void pump(tarvik_ftp_t *ftp, int timeout_ms)
{
    ftp->m_state &= ~(TARVIK_FTP_STATE_SENT | TARVIK_FTP_STATE_RECEIVED);
    tarvik_clear_select(ftp->m_select);
    const int control = ftp->m_control_socket;
    int flags = 0;
    if (tarvik_get_buffer_size(ftp->m_send_queue) > 0) {
        flags |= def_tarvik_select_write;
    }
    if (tarvik_get_buffer_size(ftp->m_receive_queue) < RECEIVE_PAUSE) {
        flags |= def_tarvik_select_read;
    }
    if (flags != 0) {
        tarvik_add_select(ftp->m_select, control, flags);
    }
    const bool listening = ftp->m_listen_socket >= 0 && ftp->m_accepted_socket < 0;
    if (listening) {
        tarvik_add_select(ftp->m_select, ftp->m_listen_socket, def_tarvik_select_read);
    }
    if (flags == 0 && !listening) {
        tarvik_sleep_wait(0, static_cast<long>(timeout_ms < 0 ? PUMP_STEP_MS : timeout_ms) * 1000);
        return;
    }
    if (tarvik_select_dispatch(ftp->m_select, timeout_ms) <= 0) {
        return;
    }
    if (tarvik_is_select(ftp->m_select, control, def_tarvik_select_write) > 0) {
        const size_t length =
            tarvik_peek_buffer(ftp->m_send_queue, ftp->m_block, TARVIK_FTP_BLOCK_SIZE);
        const ssize_t sent =
            tarvik_sys_send(control, ftp->m_block, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            tarvik_pop_buffer(ftp->m_send_queue, nullptr, static_cast<size_t>(sent));
            ftp->m_state |= TARVIK_FTP_STATE_SENT;
        } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
            lose_connection(ftp);
        }
    }
    if (tarvik_is_select(ftp->m_select, control, def_tarvik_select_read) > 0) {
        const ssize_t received =
            tarvik_sys_recv(control, ftp->m_block, TARVIK_FTP_BLOCK_SIZE, MSG_DONTWAIT);
        if (received > 0) {
            tarvik_push_buffer(ftp->m_receive_queue, ftp->m_block, static_cast<size_t>(received));
            ftp->m_state |= TARVIK_FTP_STATE_RECEIVED;
        } else if (received == 0 || (errno != EAGAIN && errno != EINTR)) {
            lose_connection(ftp);
        }
    }
    if (listening &&
        tarvik_is_select(ftp->m_select, ftp->m_listen_socket, def_tarvik_select_read) > 0) {
        accept_data(ftp);
    }
}

// Milliseconds left on timer (command time-out -1: a step, for ever); -1 when expired.
int time_left(tarvik_timer_t *timer, int timeout_ms)
{
    if (timeout_ms < 0) {
        return PUMP_STEP_MS;
    }
    uint64_t left = 0;
    if (tarvik_check_timer_ex(timer, &left) != 0) {
        return -1;
    }
    return left < PUMP_STEP_MS ? static_cast<int>(left) : PUMP_STEP_MS;
}

// Sends everything queued; false when the connection drops or the command time-out passes.
bool flush_send_queue(tarvik_ftp_t *ftp)
{
    tarvik_timer_t timer;
    tarvik_init_timer(&timer, static_cast<uint64_t>(ftp->m_command_timeout));
    while (tarvik_get_buffer_size(ftp->m_send_queue) > 0) {
        const int step = time_left(&timer, ftp->m_command_timeout);
        if (step < 0 || !connected(ftp)) {
            return false;
        }
        pump(ftp, step);
    }
    return connected(ftp);
}

// ---- replies ------------------------------------------------------------------------------

void set_line(tarvik_ftp_t *ftp, char *line, size_t length)
{
    tarvik_check_free_tag(ftp->m_line, TARVIK_TAG);
    ftp->m_line = line;
    ftp->m_line_length = length;
}

// Prints a received line with control characters shown as "?", so that a peer cannot drive
// the terminal.
void print_line(const char *line, size_t length)
{
    char *copy = static_cast<char *>(tarvik_alloc_tag(length + 1, TARVIK_TAG));
    if (copy == nullptr) {
        return;
    }
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        copy[i] = tarvik::detail::is_control(c) ? '?' : static_cast<char>(c);
    }
    copy[length] = '\0';
    tarvik_printf("%s\n", copy);
    tarvik_free_tag(copy, TARVIK_TAG);
}

// Reads lines until a final reply line; its code, or -1 when the connection drops, a line
// takes longer than the command time-out, or the reply outgrows its limits (the control
// connection is then given up, since it can no longer be read in step).
int read_reply(tarvik_ftp_t *ftp)
{
    size_t reply_bytes = 0;
    for (;;) {
        tarvik_timer_t timer;
        tarvik_init_timer(&timer, static_cast<uint64_t>(ftp->m_command_timeout));
        FtpLine result;
        while ((result = tarvik::detail::ftp_take_line(ftp)) == FtpLine::MORE) {
            const int step = time_left(&timer, ftp->m_command_timeout);
            if (step < 0 || !connected(ftp)) {
                return -1;
            }
            pump(ftp, step);
        }
        if (result == FtpLine::TOO_LONG) {
            lose_connection(ftp);
            return -1;
        }
        if (ftp->m_verbose != 0) {
            print_line(ftp->m_line, ftp->m_line_length);
        }
        reply_bytes += ftp->m_line_length + 1;
        const int code = tarvik::detail::ftp_reply_code(ftp->m_line, ftp->m_line_length);
        if (code >= 0) {
            ftp->m_reply_code = code;
            ftp->m_reply_text = ftp->m_line + 4;
            return code;
        }
        if (reply_bytes > REPLY_LIMIT) {
            lose_connection(ftp);
            return -1;
        }
    }
}

int command_nolock(tarvik_ftp_t *ftp, const char *text)
{
    if (!connected(ftp)) {
        return -1;
    }
    ftp->m_reply_code = -1;
    ftp->m_reply_text = nullptr;
    if (text != nullptr) {
        // Wiped when sent: the text may be a password.
        const size_t length = strlen(text);
        if (tarvik_push_buffer_ex(ftp->m_send_queue, text, length, TARVIK_BUFFER_WIPE) != length ||
            !flush_send_queue(ftp)) {
            return -1;
        }
    }
    return read_reply(ftp);
}

// "VERB argument\r\n" (or "VERB\r\n" for a null argument unless required); an argument with
// a line break would smuggle in a command of its own and is refused.
int command_with(tarvik_ftp_t *ftp, const char *verb, const char *argument, bool required)
{
    if (ftp == nullptr || (argument == nullptr && required) ||
        (argument != nullptr && strpbrk(argument, "\r\n") != nullptr)) {
        return -1;
    }
    char *text = argument != nullptr ? tarvik_alloc_sprintf("%s %s\r\n", verb, argument)
                                     : tarvik_alloc_sprintf("%s\r\n", verb);
    if (text == nullptr) {
        return -1;
    }
    const int code = command_nolock(ftp, text);
    memset(text, 0, strlen(text));
    tarvik_free_tag(text, TARVIK_TAG);
    return code;
}

int command_formatted(tarvik_ftp_t *ftp, const char *verb, const char *format, va_list arguments)
{
    if (ftp == nullptr || format == nullptr) {
        return -1;
    }
    char *argument = tarvik_alloc_vsprintf(format, arguments);
    const int code = argument != nullptr ? command_with(ftp, verb, argument, true) : -1;
    tarvik_check_free_tag(argument, TARVIK_TAG);
    return code;
}

// Sends NOOP and skips replies until its 200: replies of an aborted exchange may still be on
// their way, and must not be taken for the answers to later commands.
void resynchronise(tarvik_ftp_t *ftp)
{
    int code = command_with(ftp, "NOOP", nullptr, false);
    for (int extra = 0; extra < 3 && code >= 0 && code != 200; ++extra) {
        code = command_nolock(ftp, nullptr);
    }
}

// ---- data connections ---------------------------------------------------------------------

void close_data_sockets(tarvik_ftp_t *ftp)
{
    if (ftp->m_data_socket != ftp->m_accepted_socket &&
        ftp->m_data_socket != ftp->m_connected_socket) {
        tarvik_close_socket(ftp->m_data_socket);
    }
    ftp->m_data_socket = -1;
    ftp->m_listen_socket = tarvik_close_socket(ftp->m_listen_socket);
    ftp->m_accepted_socket = tarvik_close_socket(ftp->m_accepted_socket);
    ftp->m_connected_socket = tarvik_close_socket(ftp->m_connected_socket);
    ftp->m_state &= ~TARVIK_FTP_STATE_DATA;
}

// Connects to port on the control connection's peer: the address a passive reply names is
// never used, so a reply cannot send the client to a third host.
int connect_data(tarvik_ftp_t *ftp, int port)
{
    struct sockaddr_storage address;
    socklen_t length = 0;
    if (port < 1 || port > 65535 || !control_address(ftp, true, &address, &length) ||
        tarvik_sockaddr_set_port(reinterpret_cast<sockaddr *>(&address),
                                 static_cast<uint32_t>(port)) != 0) {
        return -1;
    }
    const int fd = tarvik_open_socket(address.ss_family, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    if (tarvik_connect(fd, reinterpret_cast<sockaddr *>(&address), length, ftp->m_data_timeout) !=
        0) {
        return tarvik_close_socket(fd);
    }
    ftp->m_connected_socket = fd;
    ftp->m_data_socket = fd;
    ftp->m_state |= TARVIK_FTP_STATE_DATA;
    return 0;
}

int passive_nolock(tarvik_ftp_t *ftp)
{
    close_data_sockets(ftp);
    const bool ipv4 = ftp->m_family == AF_INET;
    const int code = ipv4 ? tarvik_ftp_pasv(ftp) : tarvik_ftp_epsv(ftp);
    int port = -1;
    if (code == 227 && ipv4) {
        port = tarvik::detail::ftp_pasv_port(ftp->m_reply_text);
    } else if (code == 229) {
        port = tarvik::detail::ftp_epsv_port(ftp->m_reply_text);
    }
    return port > 0 ? connect_data(ftp, port) : -1;
}

// The PORT or EPRT argument for the listening address.
char *port_argument(const struct sockaddr_storage &address)
{
    if (address.ss_family == AF_INET) {
        const auto *in4 = reinterpret_cast<const sockaddr_in *>(&address);
        uint8_t bytes[4];
        memcpy(bytes, &in4->sin_addr, sizeof(bytes));
        const unsigned port = tarvik_be16_order(in4->sin_port);
        return tarvik_alloc_sprintf("%u,%u,%u,%u,%u,%u", bytes[0], bytes[1], bytes[2], bytes[3],
                                    port >> 8, port & 0xFFu);
    }
    char text[64];
    uint32_t port = 0;
    tarvik_inet_stopp(reinterpret_cast<const sockaddr *>(&address), text, sizeof(text), &port);
    return tarvik_alloc_sprintf("|%d|%s|%d|", 2, text, static_cast<int>(port));
}

// Listens on the control connection's own local address (the one the server can reach us
// at), not on every interface.
int active_nolock(tarvik_ftp_t *ftp)
{
    close_data_sockets(ftp);
    struct sockaddr_storage local;
    socklen_t length = 0;
    if (!control_address(ftp, false, &local, &length)) {
        return -1;
    }
    tarvik_sockaddr_set_port(reinterpret_cast<sockaddr *>(&local), 0);
    const int fd = tarvik_open_socket(local.ss_family, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    if (local.ss_family == AF_INET6) {
        const int off = 0;
        tarvik_setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
    }
    length = sizeof(local);
    if (tarvik_bind(fd, reinterpret_cast<sockaddr *>(&local), length) != 0 ||
        tarvik_listen(fd, 1) != 0 ||
        tarvik_getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        tarvik_close_socket(fd);
        return -1;
    }
    ftp->m_listen_socket = fd;
    ftp->m_state |= TARVIK_FTP_STATE_DATA;
    char *argument = port_argument(local);
    if (argument == nullptr) {
        close_data_sockets(ftp);
        return -1;
    }
    const bool ipv4 = local.ss_family == AF_INET;
    if (ftp->m_verbose != 0) {
        tarvik_printf("ftp: [MESSAGE] %s command (control_socket=%d, listen_socket=%d, "
                      "port_string=\"%s\")\n",
                      ipv4 ? "port" : "eprt", ftp->m_control_socket, fd, argument);
    }
    const int code = command_with(ftp, ipv4 ? "PORT" : "EPRT", argument, true);
    tarvik_free_tag(argument, TARVIK_TAG);
    if (code != 200) {
        close_data_sockets(ftp);
        return -1;
    }
    return 0;
}

// After a 125/150 reply in active mode, the server's connection may still be on its way.
void await_accept(tarvik_ftp_t *ftp)
{
    tarvik_timer_t timer;
    tarvik_init_timer(&timer, static_cast<uint64_t>(ftp->m_data_timeout));
    while (ftp->m_data_socket < 0 && ftp->m_listen_socket >= 0 && connected(ftp)) {
        const int step = time_left(&timer, ftp->m_data_timeout);
        if (step < 0) {
            return;
        }
        pump(ftp, step);
    }
}

// The URI's path without its leading "/", or null.
const char *uri_relative_path(const tarvik_ftp_t *ftp)
{
    if (ftp->m_uri == nullptr || ftp->m_uri->m_path == nullptr ||
        ftp->m_uri->m_decoded_path == nullptr) {
        return nullptr;
    }
    const char *path = ftp->m_uri->m_decoded_path;
    return *path == '/' ? path + 1 : path;
}

int open_stream_nolock(tarvik_ftp_t *ftp, uint64_t offset, const char *path, const char *mode)
{
    static constexpr struct {
        char m_letter;
        const char *m_verb;
        bool m_path_needed;
    } COMMANDS[] = {
        {'r', "RETR", true},  {'w', "STOR", true},  {'a', "APPE", true},
        {'l', "LIST", false}, {'n', "NLST", false},
    };
    if (mode == nullptr) {
        return -1;
    }
    for (const auto &command : COMMANDS) {
        if (tarvik::detail::to_lower(mode[0]) != command.m_letter) {
            continue;
        }
        if (path == nullptr && command.m_path_needed &&
            (path = uri_relative_path(ftp)) == nullptr) {
            return -1;
        }
        reset_statistics(ftp);
        if ((ftp->m_passive != 0 ? passive_nolock(ftp) : active_nolock(ftp)) != 0) {
            return -1;
        }
        if (offset != 0 && tarvik_ftp_rest(ftp, offset) != 350) {
            close_data_sockets(ftp);
            return -1;
        }
        const int code = command_with(ftp, command.m_verb, path, false);
        if (code == 125 || code == 150) {
            await_accept(ftp);
        }
        if ((code != 125 && code != 150) || ftp->m_data_socket < 0) {
            close_data_sockets(ftp);
            return -1;
        }
        reset_statistics(ftp);
        return 0;
    }
    return -1;
}

// ---- login --------------------------------------------------------------------------------

struct Credentials {
    char m_user[PROMPT_SIZE];
    char m_password[PROMPT_SIZE];
    // Passwords typed at the prompt never outlive the login.
    ~Credentials() { memset(this, 0, sizeof(*this)); }
};

const char *pick_user(tarvik_ftp_t *ftp, const char *user, Credentials &typed)
{
    if (user != nullptr) {
        return user;
    }
    if (ftp->m_uri != nullptr && ftp->m_uri->m_username != nullptr && *ftp->m_uri->m_username) {
        return ftp->m_uri->m_username;
    }
    if (ftp->m_ask_username != 0 &&
        tarvik_getusername("Username: ", typed.m_user, sizeof(typed.m_user)) != nullptr &&
        typed.m_user[0] != '\0') {
        return typed.m_user;
    }
    return ANONYMOUS_USER;
}

const char *pick_password(tarvik_ftp_t *ftp, const char *user, const char *password,
                          Credentials &typed)
{
    if (password != nullptr) {
        return password;
    }
    if (ftp->m_uri != nullptr && ftp->m_uri->m_password != nullptr) {
        return ftp->m_uri->m_password;
    }
    if (ftp->m_ask_password != 0 && strcmp(user, ANONYMOUS_USER) != 0) {
        return tarvik_getpassword("Password: ", typed.m_password, sizeof(typed.m_password));
    }
    return ANONYMOUS_PASSWORD;
}

int login_nolock(tarvik_ftp_t *ftp, const char *user_argument, const char *password_argument,
                 const char *type)
{
    Credentials typed;
    const char *user = pick_user(ftp, user_argument, typed);
    const char *password = nullptr;
    int refused = 0;
    for (;;) {
        int code = tarvik_ftp_user(ftp, user);
        if (code == 230) {
            break;
        }
        if (code != 331) {
            return -1;
        }
        if (password == nullptr) {
            password = pick_password(ftp, user, password_argument, typed);
            if (password == nullptr) {
                return -1;
            }
        }
        code = tarvik_ftp_pass(ftp, password);
        if (code == 230) {
            break;
        }
        ++refused;
        if (code != 530 || ftp->m_ask_password == 0 ||
            (ftp->m_login_retry >= 0 && refused >= ftp->m_login_retry)) {
            return -1;
        }
        password = tarvik_getpassword("Password: ", typed.m_password, sizeof(typed.m_password));
        if (password == nullptr) {
            return -1;
        }
    }
    tarvik_ftp_type(ftp, type);
    return 0;
}

// ---- downloads ----------------------------------------------------------------------------

// Where a download's blocks go; false stops the transfer.
struct Sink {
    bool (*m_write)(void *context, const uint8_t *data, size_t size);
    void *m_context;
};

// Receives the opened stream into sink, counting from done (bytes already there), and closes
// or aborts it. 0 when every byte arrived and the server confirmed the transfer.
int receive_stream(tarvik_ftp_t *ftp, uint32_t flags, const Sink &sink, tarvik_md5_t *md5,
                   const char *label, uint64_t done, uint64_t size)
{
    for (;;) {
        const ssize_t length =
            tarvik_ftp_recv_stream(ftp, ftp->m_block, TARVIK_FTP_BLOCK_SIZE, ftp->m_data_timeout);
        if (length == 0) {
            break;
        }
        // A failed or timed-out receive is not the end of the file.
        if (length < 0 ||
            !sink.m_write(sink.m_context, ftp->m_block, static_cast<size_t>(length))) {
            if ((flags & TARVIK_FTP_PROGRESS) != 0) {
                tarvik_puts("\n");
            }
            tarvik_ftp_abort_stream(ftp);
            return -1;
        }
        tarvik_md5_push(md5, ftp->m_block, static_cast<size_t>(length));
        done += static_cast<uint64_t>(length);
        if ((flags & TARVIK_FTP_PROGRESS) != 0) {
            tarvik_ftp_download_progress_bar(ftp, label, flags, done, size);
        }
    }
    if ((flags & TARVIK_FTP_PROGRESS) != 0) {
        tarvik_ftp_download_progress_bar(ftp, label, flags, done, size);
        tarvik_puts("\n");
    }
    return tarvik_ftp_close_stream(ftp);
}

// Applies the handle flags and asks for the size; false when SIZE must succeed and failed.
bool prepare_download(tarvik_ftp_t *ftp, uint32_t flags, const char *path, uint64_t *size)
{
    if ((flags & TARVIK_FTP_VERBOSE) != 0) {
        ftp->m_verbose = 1;
    }
    if ((flags & TARVIK_FTP_NO_DATA_TIMEOUT) != 0) {
        ftp->m_data_timeout = -1;
    }
    *size = 0;
    if (tarvik_ftp_get_size(ftp, path, size) != 0) {
        *size = 0;
        return (flags & TARVIK_FTP_SIZE_REQUIRED) == 0;
    }
    return true;
}

struct MemorySink {
    tarvik_buffer_t *m_queue;
    tarvik_ini_t *m_ini;
    uint64_t m_limit;
    uint64_t m_total;
};

bool write_memory(void *context, const uint8_t *data, size_t size)
{
    auto *sink = static_cast<MemorySink *>(context);
    sink->m_total += size;
    if (sink->m_total > sink->m_limit) {
        return false;
    }
    if (sink->m_queue != nullptr) {
        return tarvik_push_buffer(sink->m_queue, data, size) == size;
    }
    // A malformed line does not stop the INI reader, and does not stop the download.
    tarvik_ini_push(sink->m_ini, data, size);
    return true;
}

int download_to_memory(tarvik_ftp_t *ftp, uint32_t flags, const char *path, MemorySink &memory,
                       tarvik_md5_t *md5)
{
    tarvik_init_md5(md5);
    if (memory.m_limit == 0 || memory.m_limit > MEMORY_DOWNLOAD_LIMIT) {
        memory.m_limit = MEMORY_DOWNLOAD_LIMIT;
    }
    uint64_t size = 0;
    if (!prepare_download(ftp, flags, path, &size) ||
        tarvik_ftp_open_stream(ftp, 0, path, "r") != 0) {
        return -1;
    }
    const Sink sink = {write_memory, &memory};
    return receive_stream(ftp, flags, sink, md5, nullptr, 0, size);
}

// The local file: written under its partial name, opened when the first byte arrives (an
// empty remote file creates nothing), renamed over the target once complete.
struct FileSink {
    const char *m_partial;
    uint32_t m_mode;
    uint32_t m_flags;
    bool m_append;
    int m_fd;
};

bool open_partial(FileSink &file)
{
    char *created = nullptr;
    if ((file.m_flags & TARVIK_FTP_MAKE_PARENTS) != 0) {
        char *directory = tarvik_alloc_dirname_tag(file.m_partial, TARVIK_TAG);
        if (directory != nullptr && tarvik_is_directory(directory) != 1) {
            tarvik_mkdir_ex(directory, 0755, &created);
        }
        tarvik_check_free_tag(directory, TARVIK_TAG);
    }
    // Never through a link or into a device, FIFO or socket planted at the partial name
    // (a shared temporary directory): only a regular file of its own is written.
    const int open_flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK |
                           (file.m_append ? O_APPEND : O_TRUNC);
    file.m_fd = open(file.m_partial, open_flags, file.m_mode);
    struct stat status;
    if (file.m_fd >= 0 && (fstat(file.m_fd, &status) != 0 || !S_ISREG(status.st_mode))) {
        close(file.m_fd);
        file.m_fd = -1;
        errno = EINVAL;
    }
    if (file.m_fd >= 0) {
        fcntl(file.m_fd, F_SETFL, fcntl(file.m_fd, F_GETFL) & ~O_NONBLOCK);
    }
    if (file.m_fd < 0 && created != nullptr) {
        tarvik_delete(created);
    }
    tarvik_check_free_tag(created, TARVIK_TAG);
    return file.m_fd >= 0;
}

bool write_file(void *context, const uint8_t *data, size_t size)
{
    auto *file = static_cast<FileSink *>(context);
    if (file->m_fd < 0 && !open_partial(*file)) {
        return false;
    }
    return tarvik_write_fill(file->m_fd, data, size, -1) == static_cast<ssize_t>(size);
}

// Flushes the partial file to storage, gives it its mode and puts it in place.
bool complete_file(FileSink &file, const char *local)
{
    if (file.m_fd < 0) {
        return true; // nothing arrived: no file
    }
    const bool stored = fsync(file.m_fd) == 0 && fchmod(file.m_fd, file.m_mode) == 0;
    file.m_fd = tarvik_close(file.m_fd);
    return stored && rename(file.m_partial, local) == 0;
}

// Bytes of an earlier attempt to continue from (0: start over).
uint64_t resumable_bytes(const char *partial, uint64_t size)
{
    tarvik_stat_t status;
    if (tarvik_stat(partial, &status) != 0 || !S_ISREG(status.m_mode) || status.m_size <= 0) {
        return 0;
    }
    const uint64_t existing = static_cast<uint64_t>(status.m_size);
    return size != 0 && existing > size ? 0 : existing;
}

int download_to_file(tarvik_ftp_t *ftp, uint32_t flags, const char *path, const char *local,
                     uint32_t mode, tarvik_md5_t *md5)
{
    uint64_t size = 0;
    if (!prepare_download(ftp, flags, path, &size)) {
        return -1;
    }
    char *partial = tarvik_alloc_sprintf("%s%s", local, PARTIAL_SUFFIX);
    if (partial == nullptr) {
        return -1;
    }
    FileSink file = {partial, mode, flags, false, -1};
    uint64_t offset = (flags & TARVIK_FTP_RESUME) != 0 ? resumable_bytes(partial, size) : 0;
    int result = -1;
    if (offset != 0 && tarvik_ftp_open_stream(ftp, offset, path, "r") == 0) {
        file.m_append = true;
        tarvik_md5_push_file(md5, partial);
        if (!open_partial(file)) {
            tarvik_ftp_abort_stream(ftp);
            offset = UINT64_MAX;
        }
    } else if (tarvik_ftp_open_stream(ftp, 0, path, "r") == 0) {
        offset = 0; // no partial file, or the server cannot resume
    } else {
        offset = UINT64_MAX;
    }
    if (offset != UINT64_MAX) {
        const Sink sink = {write_file, &file};
        result = receive_stream(ftp, flags, sink, md5, local, offset, size);
        if (result == 0 && !complete_file(file, local)) {
            result = -1;
        }
    }
    file.m_fd = tarvik_close(file.m_fd);
    if (result != 0 && (flags & TARVIK_FTP_REMOVE_ON_FAILURE) != 0) {
        unlink(partial);
    }
    tarvik_free_tag(partial, TARVIK_TAG);
    return result;
}

// Opens a handle for a URL with the helper flags, connects and logs in; null on failure.
tarvik_ftp_t *open_for_url(uint32_t flags, const char *url)
{
    tarvik_ftp_t *ftp = tarvik_open_ftp();
    if (ftp == nullptr) {
        return nullptr;
    }
    ftp->m_verbose = (flags & TARVIK_FTP_VERBOSE) != 0 ? 1 : 0;
    ftp->m_ask_username = (flags & TARVIK_FTP_ASK_USERNAME) != 0 ? 1 : 0;
    ftp->m_ask_password = (flags & TARVIK_FTP_ASK_PASSWORD) != 0 ? 1 : 0;
    if ((flags & TARVIK_FTP_NO_DATA_TIMEOUT) != 0) {
        ftp->m_data_timeout = -1;
    }
    if (tarvik_ftp_connect(ftp, url, 21) != 0 ||
        tarvik_ftp_login(ftp, nullptr, nullptr, "I") != 0) {
        return tarvik_close_ftp(ftp);
    }
    return ftp;
}

// Connects to url, logs in and runs download(ftp, path) over the URI's path (decoded, with
// its leading "/"); the digest is initialised even when nothing can be downloaded.
template <typename Download>
int simple_download(uint32_t flags, const char *url, tarvik_md5_t *md5, Download download)
{
    tarvik_init_md5(md5);
    tarvik_ftp_t *ftp = open_for_url(flags, url);
    if (ftp == nullptr) {
        return -1;
    }
    const char *path = ftp->m_uri->m_path != nullptr ? ftp->m_uri->m_decoded_path : nullptr;
    const int result = download(ftp, path);
    tarvik_close_ftp(ftp);
    return result;
}

} // namespace

// ---- the line splitter and reply parsers --------------------------------------------------

namespace tarvik::detail {

FtpLine ftp_take_line(tarvik_ftp_t *ftp)
{
    tarvik_buffer_t *queue = ftp->m_receive_queue;
    size_t offset = ftp->m_scan_offset;
    uint8_t chunk[256];
    for (;;) {
        const size_t count = tarvik_peek_buffer_ex(queue, chunk, sizeof(chunk), offset, 0);
        if (count == 0) {
            break;
        }
        for (size_t i = 0; i < count; ++i, ++offset) {
            const uint8_t c = chunk[i];
            uint32_t &state = ftp->m_state;
            if (offset == 0 && (state & (TARVIK_FTP_STATE_CR | TARVIK_FTP_STATE_LF)) != 0) {
                const bool pair = ((state & TARVIK_FTP_STATE_CR) != 0 && c == '\n') ||
                                  ((state & TARVIK_FTP_STATE_LF) != 0 && c == '\r');
                state &= ~(TARVIK_FTP_STATE_CR | TARVIK_FTP_STATE_LF);
                if (pair) {
                    tarvik_pop_buffer(queue, nullptr, 1);
                    ftp->m_scan_offset = 0;
                    return ftp_take_line(ftp);
                }
            }
            if ((state & TARVIK_FTP_STATE_HIGH) != 0) {
                state &= ~TARVIK_FTP_STATE_HIGH;
                continue;
            }
            if (c >= 0x80) {
                state |= TARVIK_FTP_STATE_HIGH;
                continue;
            }
            if (c != '\r' && c != '\n') {
                continue;
            }
            if (offset > TARVIK_FTP_BLOCK_SIZE) {
                ftp->m_scan_offset = offset;
                return FtpLine::TOO_LONG;
            }
            char *line = static_cast<char *>(tarvik_alloc_tag(offset + 1, TARVIK_TAG));
            if (line == nullptr) {
                ftp->m_scan_offset = offset;
                return FtpLine::MORE;
            }
            tarvik_pop_buffer(queue, line, offset);
            tarvik_pop_buffer(queue, nullptr, 1);
            line[offset] = '\0';
            state |= c == '\r' ? TARVIK_FTP_STATE_CR : TARVIK_FTP_STATE_LF;
            ftp->m_scan_offset = 0;
            set_line(ftp, line, offset);
            return FtpLine::LINE;
        }
        if (offset > TARVIK_FTP_BLOCK_SIZE) {
            ftp->m_scan_offset = offset;
            return FtpLine::TOO_LONG;
        }
    }
    ftp->m_scan_offset = offset;
    return offset > TARVIK_FTP_BLOCK_SIZE ? FtpLine::TOO_LONG : FtpLine::MORE;
}

int ftp_reply_code(const char *line, size_t length)
{
    if (length < 4 || !is_digit(line[0]) || !is_digit(line[1]) || !is_digit(line[2]) ||
        line[3] != ' ') {
        return -1;
    }
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

int ftp_pasv_port(const char *text)
{
    const char *open = text != nullptr ? strchr(text, '(') : nullptr;
    const char *close = open != nullptr ? strchr(open, ')') : nullptr;
    if (close == nullptr) {
        return -1;
    }
    Cursor cursor(open + 1, close + 1);
    uint64_t numbers[6];
    for (int n = 0; n < 6; ++n) {
        cursor.skip_space();
        if (!cursor.decimal(&numbers[n], 255)) {
            return -1;
        }
        cursor.skip_space();
        if (!cursor.take_if(n < 5 ? ',' : ')')) {
            return -1;
        }
    }
    const uint64_t port = numbers[4] * 256u + numbers[5];
    return port >= 1 && port <= 65535 ? static_cast<int>(port) : -1;
}

int ftp_epsv_port(const char *text)
{
    const char *bar = text != nullptr ? strchr(text, '|') : nullptr;
    if (bar == nullptr) {
        return -1;
    }
    // Fields after the first "|", separated by ",", "|" or ")": the third is the port.
    Cursor cursor = Cursor::of(bar + 1);
    auto separator = [](int c) { return c == ',' || c == '|' || c == ')'; };
    for (int field = 0; field < 2; ++field) {
        cursor.take_until(separator);
        if (!separator(cursor.take())) {
            return -1;
        }
    }
    uint64_t port = 0;
    if (!cursor.decimal(&port, 65535) || !separator(cursor.peek()) || port < 1) {
        return -1;
    }
    return static_cast<int>(port);
}

} // namespace tarvik::detail

extern "C" {

// ---- handle and connection ----------------------------------------------------------------

TARVIK_API tarvik_ftp_t *tarvik_open_ftp(void)
{
    auto *ftp = static_cast<tarvik_ftp_t *>(tarvik_alloc_tag(sizeof(tarvik_ftp_t), TARVIK_TAG));
    if (ftp == nullptr) {
        return nullptr;
    }
    memset(ftp, 0, sizeof(*ftp));
    ftp->m_command_timeout = DEFAULT_COMMAND_TIMEOUT_MS;
    ftp->m_data_timeout = DEFAULT_DATA_TIMEOUT_MS;
    ftp->m_login_retry = 1;
    ftp->m_passive = 1;
    ftp->m_family = AF_UNSPEC;
    ftp->m_control_socket = -1;
    ftp->m_listen_socket = -1;
    ftp->m_accepted_socket = -1;
    ftp->m_connected_socket = -1;
    ftp->m_data_socket = -1;
    ftp->m_reply_code = -1;
    reset_statistics(ftp);
    ftp->m_select = tarvik_open_select();
    if (ftp->m_select == nullptr) {
        tarvik_free_tag(ftp, TARVIK_TAG);
        return nullptr;
    }
    return ftp;
}

TARVIK_API tarvik_ftp_t *tarvik_close_ftp(tarvik_ftp_t *ftp)
{
    if (ftp != nullptr) {
        tarvik_ftp_disconnect(ftp);
        tarvik_close_select(ftp->m_select);
        tarvik_free_tag(ftp, TARVIK_TAG);
    }
    return nullptr;
}

TARVIK_API int tarvik_ftp_connect(tarvik_ftp_t *ftp, const char *uri, int default_port)
{
    return tarvik_ftp_set_connect_socket(ftp, -1, uri, default_port);
}

TARVIK_API int tarvik_ftp_set_connect_socket(tarvik_ftp_t *ftp, int socket, const char *uri,
                                             int default_port)
{
    if (ftp == nullptr) {
        tarvik_close_socket(socket);
        return -1;
    }
    tarvik_ftp_disconnect(ftp);
    ftp->m_control_socket = socket;
    ftp->m_uri = tarvik_open_uri(uri);
    const tarvik_uri_t *parsed = ftp->m_uri;
    if (parsed == nullptr || parsed->m_host == nullptr || parsed->m_host[0] == '\0') {
        tarvik_ftp_disconnect(ftp);
        return -1;
    }
    if (parsed->m_sub_type != nullptr) {
        if (tarvik::detail::equal_ignoring_case(parsed->m_sub_type, "active")) {
            ftp->m_passive = 0;
        } else if (tarvik::detail::equal_ignoring_case(parsed->m_sub_type, "passive")) {
            ftp->m_passive = 1;
        }
    }
    const int port = parsed->m_port > 0 ? parsed->m_port : (default_port < 1 ? 21 : default_port);
    if (ftp->m_control_socket < 0) {
        ftp->m_control_socket =
            tarvik_open_connect_socket(parsed->m_host, port, ftp->m_command_timeout);
    }
    struct sockaddr_storage address;
    socklen_t length = 0;
    if (ftp->m_control_socket < 0) {
        tarvik_ftp_disconnect(ftp);
        return -1;
    }
    ftp->m_family = control_address(ftp, true, &address, &length) ||
                            control_address(ftp, false, &address, &length)
                        ? address.ss_family
                        : AF_UNSPEC;
    const int on = 1;
    tarvik_setsockopt(ftp->m_control_socket, SOL_SOCKET, SO_OOBINLINE, &on, sizeof(on));
    ftp->m_send_queue = tarvik_open_buffer();
    ftp->m_receive_queue = tarvik_open_buffer();
    ftp->m_block = static_cast<uint8_t *>(tarvik_alloc_tag(TARVIK_FTP_BLOCK_SIZE, TARVIK_TAG));
    if (ftp->m_send_queue == nullptr || ftp->m_receive_queue == nullptr ||
        ftp->m_block == nullptr) {
        tarvik_ftp_disconnect(ftp);
        return -1;
    }
    ftp->m_state = TARVIK_FTP_STATE_CONNECTED;
    if (command_nolock(ftp, nullptr) != 220) {
        tarvik_ftp_disconnect(ftp);
        return -1;
    }
    ftp->m_state |= TARVIK_FTP_STATE_GREETED;
    return 0;
}

TARVIK_API int tarvik_ftp_disconnect(tarvik_ftp_t *ftp)
{
    if (ftp == nullptr) {
        return 0;
    }
    const uint32_t due = TARVIK_FTP_STATE_CONNECTED | TARVIK_FTP_STATE_GREETED;
    if ((ftp->m_state & due) == due) {
        tarvik_ftp_quit(ftp);
    }
    close_data_sockets(ftp);
    ftp->m_control_socket = tarvik_close_socket(ftp->m_control_socket);
    set_line(ftp, nullptr, 0);
    tarvik_check_free_tag(ftp->m_block, TARVIK_TAG);
    ftp->m_block = nullptr;
    ftp->m_send_queue = tarvik_close_buffer(ftp->m_send_queue);
    ftp->m_receive_queue = tarvik_close_buffer(ftp->m_receive_queue);
    ftp->m_uri = tarvik_close_uri(ftp->m_uri);
    ftp->m_scan_offset = 0;
    ftp->m_reply_code = -1;
    ftp->m_reply_text = nullptr;
    ftp->m_state = 0;
    return 0;
}

TARVIK_API int tarvik_ftp_login(tarvik_ftp_t *ftp, const char *user, const char *password,
                                const char *type)
{
    return connected(ftp) ? login_nolock(ftp, user, password, type) : -1;
}

// ---- commands -----------------------------------------------------------------------------

TARVIK_API int tarvik_ftp_command_puts(tarvik_ftp_t *ftp, const char *text)
{
    return command_nolock(ftp, text);
}

TARVIK_API int tarvik_ftp_command_vprintf(tarvik_ftp_t *ftp, const char *format, va_list arguments)
{
    if (ftp == nullptr || format == nullptr) {
        return -1;
    }
    char *text = tarvik_alloc_vsprintf(format, arguments);
    const int code = text != nullptr ? command_nolock(ftp, text) : -1;
    tarvik_check_free_tag(text, TARVIK_TAG);
    return code;
}

TARVIK_API int tarvik_ftp_command_printf(tarvik_ftp_t *ftp, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int code = tarvik_ftp_command_vprintf(ftp, format, arguments);
    va_end(arguments);
    return code;
}

// The plain commands: each sends its verb with the argument (required, optional, or none)
// and returns the reply code.
#define TARVIK_FTP_COMMAND(name, verb, required)                                                   \
    TARVIK_API int tarvik_ftp_##name(tarvik_ftp_t *ftp, const char *argument)                      \
    {                                                                                              \
        return command_with(ftp, verb, argument, required);                                        \
    }
#define TARVIK_FTP_BARE_COMMAND(name, verb)                                                        \
    TARVIK_API int tarvik_ftp_##name(tarvik_ftp_t *ftp)                                            \
    {                                                                                              \
        return command_with(ftp, verb, nullptr, false);                                            \
    }

TARVIK_FTP_COMMAND(user, "USER", true)
TARVIK_FTP_COMMAND(pass, "PASS", true)
TARVIK_FTP_COMMAND(acct, "ACCT", true)
TARVIK_FTP_COMMAND(stru, "STRU", true)
TARVIK_FTP_COMMAND(mode, "MODE", true)
TARVIK_FTP_COMMAND(cwd, "CWD", true)
TARVIK_FTP_COMMAND(mkd, "MKD", true)
TARVIK_FTP_COMMAND(rmd, "RMD", true)
TARVIK_FTP_COMMAND(dele, "DELE", true)
TARVIK_FTP_COMMAND(rnfr, "RNFR", true)
TARVIK_FTP_COMMAND(rnto, "RNTO", true)
TARVIK_FTP_COMMAND(mdtm, "MDTM", true)
TARVIK_FTP_COMMAND(size, "SIZE", true)
TARVIK_FTP_COMMAND(site, "SITE", true)
TARVIK_FTP_COMMAND(opts, "OPTS", true)
TARVIK_FTP_COMMAND(stat, "STAT", false)
TARVIK_FTP_COMMAND(help, "HELP", false)
TARVIK_FTP_BARE_COMMAND(cdup, "CDUP")
TARVIK_FTP_BARE_COMMAND(pwd, "PWD")
TARVIK_FTP_BARE_COMMAND(syst, "SYST")
TARVIK_FTP_BARE_COMMAND(noop, "NOOP")
TARVIK_FTP_BARE_COMMAND(abor, "ABOR")
TARVIK_FTP_BARE_COMMAND(pasv, "PASV")

#undef TARVIK_FTP_BARE_COMMAND
#undef TARVIK_FTP_COMMAND

TARVIK_API int tarvik_ftp_type(tarvik_ftp_t *ftp, const char *type)
{
    return command_with(ftp, "TYPE", type != nullptr ? type : "I", true);
}

TARVIK_API int tarvik_ftp_chdir(tarvik_ftp_t *ftp, const char *path)
{
    return tarvik_ftp_cwd(ftp, path) == 250 ? 0 : -1;
}

TARVIK_API int tarvik_ftp_get_pwd(tarvik_ftp_t *ftp, char **text)
{
    if (text == nullptr || tarvik_ftp_pwd(ftp) != 257) {
        return -1;
    }
    const char *first = strchr(ftp->m_reply_text, '"');
    const char *last = first != nullptr ? strrchr(first + 1, '"') : nullptr;
    if (last == nullptr || last == first + 1) {
        return -1;
    }
    const size_t length = static_cast<size_t>(last - first - 1);
    *text = static_cast<char *>(tarvik_alloc_tag(length + 1, TARVIK_TAG));
    if (*text == nullptr) {
        return -1;
    }
    memcpy(*text, first + 1, length);
    (*text)[length] = '\0';
    return 0;
}

TARVIK_API int tarvik_ftp_get_system(tarvik_ftp_t *ftp, char **text)
{
    if (text == nullptr || tarvik_ftp_syst(ftp) != 215) {
        return -1;
    }
    *text = tarvik_strdup_tag(ftp->m_reply_text, TARVIK_TAG);
    return *text != nullptr ? 0 : -1;
}

TARVIK_API int tarvik_ftp_check(tarvik_ftp_t *ftp) { return tarvik_ftp_noop(ftp) == 200 ? 0 : -1; }

TARVIK_API int tarvik_ftp_quit(tarvik_ftp_t *ftp)
{
    if (ftp == nullptr) {
        return -1;
    }
    ftp->m_state &= ~TARVIK_FTP_STATE_GREETED;
    return command_with(ftp, "QUIT", nullptr, false);
}

TARVIK_API int tarvik_ftp_delete(tarvik_ftp_t *ftp, const char *path)
{
    return tarvik_ftp_dele(ftp, path) == 250 ? 0 : -1;
}

TARVIK_API int tarvik_ftp_rename(tarvik_ftp_t *ftp, const char *from, const char *to)
{
    return tarvik_ftp_rnfr(ftp, from) == 350 && tarvik_ftp_rnto(ftp, to) == 250 ? 0 : -1;
}

TARVIK_API int tarvik_ftp_get_size(tarvik_ftp_t *ftp, const char *path, uint64_t *size)
{
    if (ftp == nullptr || size == nullptr) {
        return -1;
    }
    if (path == nullptr && (path = uri_relative_path(ftp)) == nullptr) {
        return -1;
    }
    if (tarvik_ftp_size(ftp, path) != 213) {
        return -1;
    }
    Cursor cursor = Cursor::of(ftp->m_reply_text);
    cursor.take_until(tarvik::detail::is_digit);
    uint64_t value = 0;
    *size = cursor.decimal(&value) ? value : 0;
    return 0;
}

TARVIK_API int tarvik_ftp_rest(tarvik_ftp_t *ftp, uint64_t offset)
{
    char text[24];
    tarvik::detail::Writer(text, sizeof(text)).decimal(offset);
    return command_with(ftp, "REST", text, true);
}

TARVIK_API int tarvik_ftp_epsv(tarvik_ftp_t *ftp)
{
    if (ftp == nullptr) {
        return -1;
    }
    return command_with(ftp, "EPSV", ftp->m_family == AF_INET ? "1" : "2", true);
}

TARVIK_API int tarvik_ftp_port(tarvik_ftp_t *ftp, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int code = command_formatted(ftp, "PORT", format, arguments);
    va_end(arguments);
    return code;
}

TARVIK_API int tarvik_ftp_eprt(tarvik_ftp_t *ftp, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int code = command_formatted(ftp, "EPRT", format, arguments);
    va_end(arguments);
    return code;
}

TARVIK_API int tarvik_ftp_set_option(tarvik_ftp_t *ftp, const char *name, const char *value)
{
    if (name == nullptr) {
        return -1;
    }
    char *text = value != nullptr ? tarvik_alloc_sprintf("%s %s", name, value)
                                  : tarvik_strdup_tag(name, TARVIK_TAG);
    const int code = text != nullptr ? tarvik_ftp_opts(ftp, text) : -1;
    tarvik_check_free_tag(text, TARVIK_TAG);
    return code == 200 ? 0 : -1;
}

// ---- data transfers -----------------------------------------------------------------------

TARVIK_API int tarvik_ftp_passive(tarvik_ftp_t *ftp)
{
    return connected(ftp) ? passive_nolock(ftp) : -1;
}

TARVIK_API int tarvik_ftp_active(tarvik_ftp_t *ftp)
{
    return connected(ftp) ? active_nolock(ftp) : -1;
}

TARVIK_API int tarvik_ftp_open_stream(tarvik_ftp_t *ftp, uint64_t offset, const char *path,
                                      const char *mode)
{
    return connected(ftp) ? open_stream_nolock(ftp, offset, path, mode) : -1;
}

TARVIK_API ssize_t tarvik_ftp_recv_stream(tarvik_ftp_t *ftp, void *buffer, size_t size,
                                          int timeout_ms)
{
    if (ftp == nullptr || ftp->m_data_socket < 0) {
        return -1;
    }
    const ssize_t length = tarvik_recv(ftp->m_data_socket, buffer, size, timeout_ms);
    if (length >= 0) {
        count_transfer(ftp, static_cast<size_t>(length));
    }
    return length;
}

TARVIK_API ssize_t tarvik_ftp_send_stream(tarvik_ftp_t *ftp, const void *data, size_t size,
                                          int timeout_ms)
{
    if (ftp == nullptr || ftp->m_data_socket < 0) {
        return -1;
    }
    const ssize_t length = tarvik_send(ftp->m_data_socket, data, size, timeout_ms);
    if (length >= 0) {
        count_transfer(ftp, static_cast<size_t>(length));
    }
    return length;
}

TARVIK_API int tarvik_ftp_close_stream(tarvik_ftp_t *ftp)
{
    if (ftp == nullptr) {
        return -1;
    }
    close_data_sockets(ftp);
    return command_nolock(ftp, nullptr) == 226 ? 0 : -1;
}

// Servers answer ABOR in the middle of a transfer with a 4xx for the transfer and then the
// ABOR's own reply.
TARVIK_API int tarvik_ftp_abort_stream(tarvik_ftp_t *ftp)
{
    if (ftp == nullptr) {
        return -1;
    }
    close_data_sockets(ftp);
    int code = tarvik_ftp_abor(ftp);
    if (code >= 400 && code < 500) {
        code = command_nolock(ftp, nullptr);
    }
    resynchronise(ftp);
    return code == 226 ? 0 : -1;
}

TARVIK_API int tarvik_ftp_disconnect_data(tarvik_ftp_t *ftp)
{
    if (ftp != nullptr) {
        close_data_sockets(ftp);
    }
    return 0;
}

// ---- downloads ----------------------------------------------------------------------------

TARVIK_API int tarvik_ftp_download_to_buffer_with_md5(tarvik_ftp_t *ftp, uint32_t flags,
                                                      const char *path, tarvik_buffer_t *queue,
                                                      uint64_t max_size, tarvik_md5_t *md5)
{
    tarvik_init_md5(md5);
    if (!connected(ftp) || path == nullptr || queue == nullptr) {
        return -1;
    }
    MemorySink memory = {queue, nullptr, max_size, 0};
    return download_to_memory(ftp, flags, path, memory, md5);
}

TARVIK_API int tarvik_ftp_download_to_ini_with_md5(tarvik_ftp_t *ftp, uint32_t flags,
                                                   const char *path, tarvik_ini_t *ini,
                                                   uint64_t max_size, tarvik_md5_t *md5)
{
    tarvik_init_md5(md5);
    if (!connected(ftp) || path == nullptr || ini == nullptr) {
        return -1;
    }
    MemorySink memory = {nullptr, ini, max_size, 0};
    const int result = download_to_memory(ftp, flags, path, memory, md5);
    tarvik_ini_push(ini, nullptr, 0);
    return result;
}

TARVIK_API int tarvik_ftp_download_to_file_with_md5(tarvik_ftp_t *ftp, uint32_t flags,
                                                    const char *path, const char *local_path,
                                                    uint32_t mode, tarvik_md5_t *md5)
{
    tarvik_init_md5(md5);
    if (!connected(ftp) || path == nullptr) {
        return -1;
    }
    char *local = local_path != nullptr ? tarvik_strdup_tag(local_path, TARVIK_TAG)
                                        : tarvik_alloc_basename_tag(path, TARVIK_TAG);
    int result = -1;
    if (local != nullptr && local[0] != '\0' && strcmp(local, "/") != 0) {
        result = download_to_file(ftp, flags, path, local, mode, md5);
    }
    tarvik_check_free_tag(local, TARVIK_TAG);
    return result;
}

TARVIK_API int tarvik_ftp_simple_download_to_buffer_with_md5(uint32_t flags, const char *url,
                                                             tarvik_buffer_t *queue,
                                                             uint64_t max_size, tarvik_md5_t *md5)
{
    return simple_download(flags, url, md5, [&](tarvik_ftp_t *ftp, const char *path) {
        return tarvik_ftp_download_to_buffer_with_md5(ftp, flags, path, queue, max_size, md5);
    });
}

TARVIK_API int tarvik_ftp_simple_download_to_ini_with_md5(uint32_t flags, const char *url,
                                                          tarvik_ini_t *ini, uint64_t max_size,
                                                          tarvik_md5_t *md5)
{
    return simple_download(flags, url, md5, [&](tarvik_ftp_t *ftp, const char *path) {
        return tarvik_ftp_download_to_ini_with_md5(ftp, flags, path, ini, max_size, md5);
    });
}

TARVIK_API int tarvik_ftp_simple_download_to_file_with_md5(uint32_t flags, const char *url,
                                                           const char *local_path, uint32_t mode,
                                                           tarvik_md5_t *md5)
{
    return simple_download(flags, url, md5, [&](tarvik_ftp_t *ftp, const char *path) {
        return tarvik_ftp_download_to_file_with_md5(ftp, flags, path, local_path, mode, md5);
    });
}

TARVIK_API int tarvik_ftp_simple_download_to_buffer(uint32_t flags, const char *url,
                                                    tarvik_buffer_t *queue, uint64_t max_size)
{
    return tarvik_ftp_simple_download_to_buffer_with_md5(flags, url, queue, max_size, nullptr);
}

TARVIK_API int tarvik_ftp_simple_download_to_ini(uint32_t flags, const char *url, tarvik_ini_t *ini,
                                                 uint64_t max_size)
{
    return tarvik_ftp_simple_download_to_ini_with_md5(flags, url, ini, max_size, nullptr);
}

TARVIK_API int tarvik_ftp_simple_download_to_file(uint32_t flags, const char *url,
                                                  const char *local_path, uint32_t mode)
{
    return tarvik_ftp_simple_download_to_file_with_md5(flags, url, local_path, mode, nullptr);
}

TARVIK_API int tarvik_ftp_download_progress_bar(tarvik_ftp_t *ftp, const char *label,
                                                uint32_t flags, uint64_t done, uint64_t size)
{
    (void)flags;
    if (ftp == nullptr) {
        return -1;
    }
    const uint64_t bits = ftp->m_rate * 8u;
    uint64_t whole = bits;
    uint64_t hundredths = 0;
    const char *unit = " ";
    if (bits >= 1000000000u) {
        whole = bits / 1000000000u;
        hundredths = (bits / 1000000u) % 1000u / 10u;
        unit = "G";
    } else if (bits >= 1000000u) {
        whole = bits / 1000000u;
        hundredths = (bits / 1000u) % 1000u / 10u;
        unit = "M";
    } else if (bits >= 1000u) {
        whole = bits / 1000u;
        hundredths = bits % 1000u / 10u;
        unit = "K";
    }
    const uint64_t remaining = size >= done ? size - done : size;
    const uint64_t eta = ftp->m_rate != 0 ? remaining * 100u / ftp->m_rate : remaining * 100u;
    return tarvik_progress_bar(
        done, size, nullptr, label, "%10lu, %3lu.%02lu%sbps, ETA %02lu:%02lu",
        static_cast<unsigned long>(done), static_cast<unsigned long>(whole),
        static_cast<unsigned long>(hundredths), unit, static_cast<unsigned long>(eta / 6000u),
        static_cast<unsigned long>(eta / 100u % 60u));
}

} // extern "C"
