// The base plugin, built into the program: it serves the plain stream kinds (files,
// descriptors, TFTP and FTP URLs, pipes to commands, UDP with multicast groups, TCP) and the
// framebuffer device, keeping the kind in the context's plugin word and a Stream record
// behind its plugin pointer. Its initialisation loads the external plugins it knows of
// (once, however often it is initialised); every operation runs on the caller's thread.
#include "ctx.h"

#include "console.h"
#include "detail/common.hpp"
#include "detail/ctx.hpp"
#include "detail/fbdev.hpp"
#include "detail/fbmap.hpp"
#include "fbmap.h"
#include "file.h"
#include "ftp.h"
#include "heap.h"
#include "inet.h"
#include "select.h"
#include "short_lock.h"
#include "socket.h"
#include "tftp.h"
#include "time.h"
#include "uri.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using tarvik::detail::Cursor;
using tarvik::detail::FramebufferDevice;
using tarvik::detail::Text;

enum Kind : int32_t {
    KIND_BASE = 0,
    KIND_MULTICALL = 1,
    KIND_STREAM = 100,
    KIND_FILE = 101,
    KIND_TFTP = 102,
    KIND_FTP = 103,
    KIND_PIPE = 104,
    KIND_UDP = 105,
    KIND_TCP = 106,
    KIND_FB = 200,
    KIND_LINUXFB = 201,
    KIND_WINDOWS_DIB = 202,
};

struct NamedKind {
    const char *m_name;
    int16_t m_kind;
};

// MIME types after the common "application/qvl_" prefix.
constexpr const char *MIME_PREFIX = "application/qvl_";
constexpr NamedKind MIME_KINDS[] = {
    {"base", KIND_BASE},
    {"multicall", KIND_MULTICALL},
    {"multicall_builtin", KIND_MULTICALL},
    {"stream", KIND_STREAM},
    {"stream_file", KIND_FILE},
    {"stream_tftp", KIND_TFTP},
    {"stream_ftp", KIND_FTP},
    {"stream_pipe", KIND_PIPE},
    {"stream_udp", KIND_UDP},
    {"stream_tcp", KIND_TCP},
    {"fb", KIND_FB},
    {"linuxfb", KIND_LINUXFB},
    {"windows_dib", KIND_WINDOWS_DIB},
};
constexpr NamedKind SCHEME_KINDS[] = {
    {"file", KIND_FILE}, {"tftp", KIND_TFTP}, {"ftp", KIND_FTP},
    {"pipe", KIND_PIPE}, {"udp", KIND_UDP},   {"tcp", KIND_TCP},
};

constexpr const char *HINT = "application/qvl_base;application/qvl_stream*;application/qvl_fb;"
                             "application/qvl_linuxfb;application/qvl_windows_dib;"
                             "application/qvl_multicall*";
constexpr const char *EXTERNAL_PLUGINS[] = {"tarvik_plugin_curl.so"};
constexpr size_t EXTERNAL_COUNT = sizeof(EXTERNAL_PLUGINS) / sizeof(EXTERNAL_PLUGINS[0]);
constexpr const char *FB_DEVICES =
    "/dev/fb|/dev/fb0|/dev/fb/0|/dev/fb1|/dev/fb/1|/dev/fb2|/dev/fb/2|/dev/graphics/fb0";
constexpr int NETWORK_TIMEOUT_MS = 16000;
constexpr uint32_t DEFAULT_MISSED_TIME_MS = 300000;
constexpr int UDP_WAIT_STEP_MS = 1000;
constexpr int MAX_PORT = 65535;

tarvik_short_lock_t s_users_lock;
uint32_t s_users;
int s_external[EXTERNAL_COUNT] = {-1};

// One open stream or framebuffer, with the source text (and the device path) behind it.
struct Stream {
    int32_t m_kind;
    int m_fd;       // read side, -1 when none
    int m_write_fd; // write side (the same descriptor except for pipes), -1 when none
    bool m_owns_fd;
    bool m_reads;
    bool m_writes;
    int m_debug;
    pid_t m_pid; // pipes: the command
    tarvik_tftp_t *m_tftp;
    uint32_t m_block_offset; // TFTP: what of the current block was read
    uint32_t m_block_length;
    tarvik_ftp_t *m_ftp;
    bool m_multicast; // UDP
    struct sockaddr_storage m_group;
    uint64_t m_last_data;
    uint64_t m_missed_time;
    const char *m_mime_type;
    char *m_source;
    char *m_device;
    FramebufferDevice m_fb;
    tarvik_fbmap_t *m_master; // the window map over the screen memory
};

struct Settings {
    int m_debug;
    const char *m_source;
    const char *m_fd;
    const char *m_mode;
    uint64_t m_missed_time;
};

// ---- lookups -------------------------------------------------------------------------------

int kind_of(const NamedKind *table, size_t count, const char *name, bool fold_case)
{
    for (size_t index = 0; index < count; ++index) {
        if (fold_case ? tarvik::detail::equal_ignoring_case(table[index].m_name, name)
                      : strcmp(table[index].m_name, name) == 0) {
            return table[index].m_kind;
        }
    }
    return -1;
}

int mime_kind(const char *mime_type)
{
    const size_t prefix = strlen(MIME_PREFIX);
    if (mime_type == nullptr || strncmp(mime_type, MIME_PREFIX, prefix) != 0) {
        return -1;
    }
    return kind_of(MIME_KINDS, sizeof(MIME_KINDS) / sizeof(MIME_KINDS[0]), mime_type + prefix,
                   false);
}

int fail(tarvik_ctx_t *record, int code)
{
    record->m_error = code;
    return -1;
}

Stream *stream_of(int ctx, tarvik_ctx_t **record)
{
    *record = tarvik::detail::find_ctx(ctx);
    return *record != nullptr ? static_cast<Stream *>((*record)->m_plugin_pointer) : nullptr;
}

const char *option_text(int ctx, const char *first, const char *second)
{
    const char *text = tarvik_ctx_get_option_string(ctx, first);
    return text != nullptr || second == nullptr ? text : tarvik_ctx_get_option_string(ctx, second);
}

// A decimal option value; an empty value counts as `empty`, anything else unreadable as 0.
uint64_t option_number(const char *text, uint64_t empty)
{
    if (text == nullptr) {
        return 0;
    }
    uint64_t value = 0;
    Cursor cursor = Cursor::of(text);
    if (cursor.at_end()) {
        return empty;
    }
    return cursor.decimal(&value, UINT32_MAX) && cursor.at_end() ? value : 0;
}

Settings read_settings(int ctx)
{
    Settings settings{};
    settings.m_debug = static_cast<int>(option_number(option_text(ctx, "debug", "verbose"), 1));
    settings.m_source = option_text(ctx, "src", "source");
    settings.m_fd = option_text(ctx, "fd", nullptr);
    settings.m_mode = option_text(ctx, "mode", nullptr);
    const char *missed = option_text(ctx, "missed_time", nullptr);
    settings.m_missed_time =
        missed != nullptr ? option_number(missed, DEFAULT_MISSED_TIME_MS) : DEFAULT_MISSED_TIME_MS;
    return settings;
}

// ---- descriptor helpers ----------------------------------------------------------------------

// Writes all of data to a pipe; a reader that went away gives -1 (EPIPE) instead of the
// signal that would end the whole program.
ssize_t write_pipe(int fd, const void *data, size_t size)
{
    sigset_t pipe_signal;
    sigset_t old;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &old);
    ssize_t written = tarvik_write_fill(fd, data, size, -1);
    if (written < 0 && errno == EPIPE && !sigismember(&old, SIGPIPE)) {
        const struct timespec now = {0, 0};
        sigtimedwait(&pipe_signal, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return written;
}

ssize_t send_all(int fd, const uint8_t *data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t sent = tarvik_send(fd, data + done, size - done, -1);
        if (sent <= 0) {
            return -1;
        }
        done += static_cast<size_t>(sent);
    }
    return static_cast<ssize_t>(size);
}

bool spawn_command(Stream *stream, const char *command)
{
    int from_child[2] = {-1, -1};
    int to_child[2] = {-1, -1};
    if ((stream->m_reads && pipe2(from_child, O_CLOEXEC) != 0) ||
        (stream->m_writes && pipe2(to_child, O_CLOEXEC) != 0)) {
        tarvik_close(from_child[0]);
        tarvik_close(from_child[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stream->m_reads) {
        posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
    }
    if (stream->m_writes) {
        posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
    }
    char shell[] = "sh";
    char option[] = "-c";
    char *arguments[] = {shell, option, const_cast<char *>(command), nullptr};
    int result = posix_spawn(&stream->m_pid, "/bin/sh", &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    tarvik_close(from_child[1]);
    tarvik_close(to_child[0]);
    stream->m_fd = from_child[0];
    stream->m_write_fd = to_child[1];
    stream->m_owns_fd = true;
    if (result != 0) {
        stream->m_pid = 0;
    }
    return result == 0;
}

// Waits for the command; false when it failed (a reader that stopped early is no failure).
bool reap_command(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return (WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
           (WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE);
}

// ---- opening streams ---------------------------------------------------------------------------

// The file a URI names: a plain path as written, "file://" paths decoded.
char *file_path(const tarvik_uri_t *uri, const char *source)
{
    if (uri->m_protocol == nullptr) {
        return tarvik_strdup_tag(source, TARVIK_TAG);
    }
    const char *host = uri->m_host;
    if (host == nullptr || *host == '\0' || strcmp(host, "localhost") == 0) {
        return uri->m_decoded_path != nullptr ? tarvik_strdup_tag(uri->m_decoded_path, TARVIK_TAG)
                                              : nullptr;
    }
    return tarvik_decode_percent_string(uri->m_alt_path);
}

int open_file(Stream *stream, const tarvik_uri_t *uri, uint32_t flags)
{
    char *path = file_path(uri, stream->m_source);
    if (path == nullptr) {
        return TARVIK_CTX_ERROR_OPEN;
    }
    stream->m_fd = tarvik_open(path, flags, 0666u);
    tarvik_free_tag(path, TARVIK_TAG);
    stream->m_write_fd = stream->m_fd;
    stream->m_owns_fd = true;
    return stream->m_fd >= 0 ? 0 : TARVIK_CTX_ERROR_OPEN;
}

int open_tftp(Stream *stream)
{
    stream->m_tftp = tarvik_open_tftp(0, stream->m_source, NETWORK_TIMEOUT_MS);
    if (stream->m_tftp == nullptr) {
        return TARVIK_CTX_ERROR_NETWORK;
    }
    if (stream->m_writes) {
        return tarvik_tftp_write_request(stream->m_tftp, nullptr, nullptr, NETWORK_TIMEOUT_MS) == 0
                   ? 0
                   : TARVIK_CTX_ERROR_NETWORK;
    }
    // The first block shows at once whether the server has the file.
    ssize_t got = -1;
    if (tarvik_tftp_read_request(stream->m_tftp, nullptr, nullptr, NETWORK_TIMEOUT_MS) == 0) {
        got = tarvik_tftp_read_data(stream->m_tftp, NETWORK_TIMEOUT_MS);
    }
    stream->m_block_length = got > 0 ? static_cast<uint32_t>(got) : 0;
    return got >= 0 ? 0 : TARVIK_CTX_ERROR_NETWORK;
}

int open_ftp(Stream *stream, uint32_t flags)
{
    tarvik_ftp_t *ftp = stream->m_ftp = tarvik_open_ftp();
    uint64_t size = 0;
    const bool append = (flags & def_tarvik_open_append) != 0;
    if (ftp == nullptr || tarvik_ftp_connect(ftp, stream->m_source, 21) != 0 ||
        tarvik_ftp_login(ftp, nullptr, nullptr, "I") != 0) {
        return TARVIK_CTX_ERROR_NETWORK;
    }
    if (tarvik_ftp_get_size(ftp, nullptr, &size) != 0) {
        size = 0;
    }
    const char *mode = append ? "a" : stream->m_writes ? "w" : "r";
    return tarvik_ftp_open_stream(ftp, 0, nullptr, mode) == 0 ? 0 : TARVIK_CTX_ERROR_NETWORK;
}

bool parse_group(const char *host, struct sockaddr_storage *group)
{
    memset(group, 0, sizeof(*group));
    auto *in4 = reinterpret_cast<struct sockaddr_in *>(group);
    auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(group);
    if (host == nullptr) {
        return false;
    }
    if (tarvik_inet_pton(AF_INET, host, &in4->sin_addr) == 0) {
        in4->sin_family = AF_INET;
        return tarvik_inet_is_multicast(&in4->sin_addr) == 1;
    }
    if (tarvik_inet_pton(AF_INET6, host, &in6->sin6_addr) == 0) {
        in6->sin6_family = AF_INET6;
        return tarvik_inet6_is_multicast(&in6->sin6_addr) == 1;
    }
    return false;
}

int open_socket(Stream *stream, const tarvik_uri_t *uri, int kind)
{
    const int port = uri->m_port;
    if (port < 1 || port > MAX_PORT || (kind == KIND_UDP && stream->m_writes)) {
        return TARVIK_CTX_ERROR_NOT_SUPPORTED;
    }
    if (kind == KIND_TCP) {
        stream->m_fd = tarvik_open_connect_socket(uri->m_host, port, NETWORK_TIMEOUT_MS);
    } else {
        stream->m_multicast = parse_group(uri->m_host, &stream->m_group);
        stream->m_fd = stream->m_multicast ? tarvik_open_udp_socket(nullptr, port, uri->m_host)
                                           : tarvik_open_udp_socket(uri->m_host, port, nullptr);
        stream->m_last_data = tarvik_time_stamp_msec(nullptr);
    }
    stream->m_write_fd = stream->m_fd;
    stream->m_owns_fd = true;
    return stream->m_fd >= 0 ? 0 : TARVIK_CTX_ERROR_NETWORK;
}

int open_descriptor(Stream *stream, const char *text, uint32_t flags)
{
    const int fd = static_cast<int>(option_number(text, UINT32_MAX));
    if ((flags & def_tarvik_open_append) != 0) {
        return TARVIK_CTX_ERROR_NOT_SUPPORTED;
    }
    if (fd < 0 || fcntl(fd, F_GETFD) < 0) {
        return TARVIK_CTX_ERROR_OPEN;
    }
    stream->m_fd = stream->m_write_fd = fd;
    stream->m_kind = KIND_FILE;
    return 0;
}

int open_stream(Stream *stream, int kind, const Settings &settings)
{
    uint32_t flags = 0;
    if (tarvik_fopen_mode_to_open_flags(settings.m_mode, &flags, nullptr) != 0) {
        return TARVIK_CTX_ERROR_NOT_SUPPORTED;
    }
    stream->m_writes = (flags & (def_tarvik_open_write | def_tarvik_open_read_write)) != 0;
    stream->m_reads = !stream->m_writes || (flags & def_tarvik_open_read_write) != 0;
    if (settings.m_fd != nullptr) {
        return open_descriptor(stream, settings.m_fd, flags);
    }
    if (settings.m_source == nullptr) {
        return TARVIK_CTX_ERROR_NOT_SUPPORTED;
    }
    tarvik_uri_t *uri = tarvik_open_uri(settings.m_source);
    if (uri == nullptr) {
        return TARVIK_CTX_ERROR_NO_MEMORY;
    }
    if (kind == KIND_STREAM) {
        kind = uri->m_protocol == nullptr
                   ? KIND_FILE
                   : kind_of(SCHEME_KINDS, sizeof(SCHEME_KINDS) / sizeof(SCHEME_KINDS[0]),
                             uri->m_protocol, true);
    }
    stream->m_kind = kind;
    int error = TARVIK_CTX_ERROR_NOT_SUPPORTED;
    switch (kind) {
    case KIND_FILE:
        error = open_file(stream, uri, flags);
        break;
    case KIND_TFTP:
        error = open_tftp(stream);
        break;
    case KIND_FTP:
        error = open_ftp(stream, flags);
        break;
    case KIND_PIPE:
        if ((flags & def_tarvik_open_append) == 0) {
            char *command = tarvik_decode_percent_string(uri->m_alt_path);
            error =
                command != nullptr && spawn_command(stream, command) ? 0 : TARVIK_CTX_ERROR_OPEN;
            if (command != nullptr) {
                tarvik_free_tag(command, TARVIK_TAG);
            }
        }
        break;
    case KIND_UDP:
    case KIND_TCP:
        error = open_socket(stream, uri, kind);
        break;
    default:
        break;
    }
    tarvik_close_uri(uri);
    return error;
}

// ---- the framebuffer ---------------------------------------------------------------------------

// The colour interface code of the device's pixels: its channels from the most significant
// bits down, a padding channel for unused bits, a palette for indexed visuals.
uint32_t color_interface_of(const FramebufferDevice &device)
{
    const struct fb_var_screeninfo &var = device.m_var;
    if (device.m_fix.visual == FB_VISUAL_PSEUDOCOLOR ||
        device.m_fix.visual == FB_VISUAL_STATIC_PSEUDOCOLOR) {
        return 0xF0u | (var.bits_per_pixel & 0xFu);
    }
    if (var.grayscale == 1) {
        return 0x30u | (var.bits_per_pixel & 0xFu);
    }
    struct Channel {
        uint32_t m_kind;
        const struct fb_bitfield *m_field;
    } channels[] = {{1, &var.transp}, {4, &var.red}, {5, &var.green}, {6, &var.blue}};
    uint32_t code = 0;
    uint32_t used = 0;
    uint32_t count = 0;
    for (uint32_t offset = 32; offset-- > 0;) {
        for (const Channel &channel : channels) {
            if (channel.m_field->length != 0 && channel.m_field->offset == offset) {
                code = (code << 8) | (channel.m_kind << 4) | (channel.m_field->length & 0xFu);
                used += channel.m_field->length;
                ++count;
            }
        }
    }
    if (count < 4 && used < var.bits_per_pixel) {
        code |= ((var.bits_per_pixel - used) & 0xFu) << (8 * count);
    }
    return code;
}

tarvik_ctx_fb_channel_t channel_of(const struct fb_bitfield &field)
{
    return {static_cast<uint8_t>(field.offset), static_cast<uint8_t>(field.length),
            static_cast<uint8_t>(field.msb_right), 0};
}

void fill_fbinfo(const Stream *stream, tarvik_ctx_fbinfo_t *info)
{
    const FramebufferDevice &device = stream->m_fb;
    memset(info, 0, sizeof(*info));
    info->m_device = stream->m_device;
    info->m_fd = device.m_fd;
    info->m_map = device.m_map;
    info->m_map_size = static_cast<uint32_t>(device.m_map_size);
    info->m_line_length = device.m_fix.line_length;
    info->m_resx = device.m_var.xres;
    info->m_resy = device.m_var.yres;
    info->m_virtual_resx = device.m_var.xres_virtual;
    info->m_virtual_resy = device.m_var.yres_virtual;
    info->m_xoffset = device.m_var.xoffset;
    info->m_yoffset = device.m_var.yoffset;
    info->m_bits_per_pixel = device.m_var.bits_per_pixel;
    info->m_color_interface = color_interface_of(device);
    info->m_red = channel_of(device.m_var.red);
    info->m_green = channel_of(device.m_var.green);
    info->m_blue = channel_of(device.m_var.blue);
    info->m_transp = channel_of(device.m_var.transp);
    info->m_master = stream->m_master;
}

// Names of the words of the variable screen information, in their order.
constexpr const char VAR_NAMES[] =
    "xres\0yres\0xres_virtual\0yres_virtual\0xoffset\0yoffset\0bits_per_pixel\0grayscale\0"
    "red.offset\0red.length\0red.msb_right\0green.offset\0green.length\0green.msb_right\0"
    "blue.offset\0blue.length\0blue.msb_right\0transp.offset\0transp.length\0"
    "transp.msb_right\0nonstd\0activate\0height\0width\0accel_flags\0pixclock\0left_margin\0"
    "right_margin\0upper_margin\0lower_margin\0hsync_len\0vsync_len\0sync\0vmode\0rotate\0"
    "colorspace\0";

void print_framebuffer(const Stream *stream)
{
    const FramebufferDevice &device = stream->m_fb;
    tarvik_printf("Frame buffer information.\n~~~~~~~~~~~~~~~~~~~~~~~~~\n");
    tarvik_printf("\tdevice               = \"\e[1;33m%s\e[0m\"\n", stream->m_device);
    tarvik_printf("\t%-21s= \"%.16s\"\n", "id", device.m_fix.id);
    const uint32_t fixed[] = {device.m_fix.smem_len, device.m_fix.type, device.m_fix.visual,
                              device.m_fix.line_length};
    const char *fixed_names[] = {"smem_len", "type", "visual", "line_length"};
    for (size_t index = 0; index < 4; ++index) {
        tarvik_printf("\t%-21s= %lu\n", fixed_names[index],
                      static_cast<unsigned long>(fixed[index]));
    }
    uint32_t words[sizeof(device.m_var) / sizeof(uint32_t)];
    memcpy(words, &device.m_var, sizeof(words));
    const char *name = VAR_NAMES;
    for (size_t index = 0; *name != '\0' && index < sizeof(words) / sizeof(words[0]); ++index) {
        tarvik_printf("\t%-21s= %lu\n", name, static_cast<unsigned long>(words[index]));
        name += strlen(name) + 1;
    }
}

// Room for the device's name: the longest path of the source, or the virtual device's name.
constexpr size_t DEVICE_NAME_SIZE = 32;
size_t device_name_size(const char *source)
{
    const size_t size = strlen(source) + 1;
    return size > DEVICE_NAME_SIZE ? size : DEVICE_NAME_SIZE;
}

// An 8-bit pseudo-colour device gets the palette the window maps convert colours with.
void load_palette(int fd)
{
    uint16_t red[256], green[256], blue[256];
    for (uint32_t index = 0; index < 256; ++index) {
        const uint32_t rgb = tarvik_fbmap_palette_color(index);
        red[index] = static_cast<uint16_t>(((rgb >> 16) & 0xFFu) * 0x101u);
        green[index] = static_cast<uint16_t>(((rgb >> 8) & 0xFFu) * 0x101u);
        blue[index] = static_cast<uint16_t>((rgb & 0xFFu) * 0x101u);
    }
    struct fb_cmap map = {0, 256, red, green, blue, nullptr};
    ioctl(fd, FBIOPUTCMAP, &map);
}

int open_framebuffer(Stream *stream, const Settings &settings)
{
    tarvik::detail::ListWalker walker(settings.m_source != nullptr ? settings.m_source
                                                                   : FB_DEVICES);
    Text path;
    bool opened = false;
    // A virtual framebuffer, when named, stands in for every device.
    const char *virtual_fb = getenv(tarvik::detail::VIRTUAL_FB_VARIABLE);
    if (virtual_fb != nullptr) {
        memcpy(stream->m_device, tarvik::detail::VIRTUAL_FB_NAME,
               strlen(tarvik::detail::VIRTUAL_FB_NAME) + 1);
        opened = tarvik::detail::open_virtual_framebuffer(virtual_fb, &stream->m_fb);
    }
    while (virtual_fb == nullptr && !opened && walker.next(&path)) {
        path.copy_to(stream->m_device, device_name_size(stream->m_source));
        opened = tarvik::detail::open_framebuffer_device(stream->m_device, &stream->m_fb);
    }
    if (!opened) {
        return TARVIK_CTX_ERROR_OPEN;
    }
    stream->m_kind = KIND_LINUXFB;
    if (settings.m_debug != 0) {
        print_framebuffer(stream);
    }
    const FramebufferDevice &device = stream->m_fb;
    if (virtual_fb == nullptr && device.m_fix.visual == FB_VISUAL_PSEUDOCOLOR &&
        device.m_var.bits_per_pixel == 8) {
        load_palette(device.m_fd);
    }
    tarvik::detail::FbmapScreen screen = {stream,
                                          device.m_map,
                                          static_cast<uint32_t>(device.m_map_size),
                                          device.m_fix.line_length,
                                          device.m_var.xres,
                                          device.m_var.yres,
                                          device.m_var.bits_per_pixel,
                                          color_interface_of(device),
                                          settings.m_debug != 0};
    stream->m_master = tarvik::detail::new_master_fbmap(screen);
    return stream->m_master != nullptr ? 0 : TARVIK_CTX_ERROR_OPEN;
}

// ---- the slots ---------------------------------------------------------------------------------

void close_stream(Stream *stream)
{
    switch (stream->m_kind) {
    case KIND_TFTP:
        tarvik_close_tftp(stream->m_tftp);
        break;
    case KIND_FTP:
        tarvik_close_ftp(stream->m_ftp);
        break;
    case KIND_LINUXFB:
        if (stream->m_master != nullptr) {
            tarvik_free_fbmap(stream->m_master);
        }
        tarvik::detail::close_framebuffer_device(&stream->m_fb);
        break;
    default:
        if (stream->m_owns_fd) {
            if (stream->m_write_fd != stream->m_fd) {
                tarvik_close(stream->m_write_fd);
            }
            tarvik_close(stream->m_fd);
        }
        break;
    }
}

int base_open(int ctx)
{
    tarvik_ctx_t *record = tarvik::detail::find_ctx(ctx);
    if (record == nullptr) {
        return -1;
    }
    const int kind = mime_kind(record->m_mime_type);
    if (kind < 0 || kind == KIND_WINDOWS_DIB) {
        return fail(record, TARVIK_CTX_ERROR_NOT_SUPPORTED);
    }
    record->m_plugin_word = kind;
    if (kind < KIND_STREAM) {
        return 0;
    }
    const Settings settings = read_settings(ctx);
    const char *source = settings.m_source != nullptr ? settings.m_source : FB_DEVICES;
    const size_t source_size = strlen(source) + 1;
    auto *stream = static_cast<Stream *>(
        tarvik_alloc_tag(sizeof(Stream) + source_size + device_name_size(source), TARVIK_TAG));
    if (stream == nullptr) {
        return fail(record, TARVIK_CTX_ERROR_NO_MEMORY);
    }
    memset(stream, 0, sizeof(*stream));
    stream->m_fd = stream->m_write_fd = stream->m_fb.m_fd = -1;
    stream->m_debug = settings.m_debug;
    stream->m_missed_time = settings.m_missed_time;
    stream->m_mime_type = record->m_mime_type;
    stream->m_source = reinterpret_cast<char *>(stream + 1);
    memcpy(stream->m_source, source, source_size);
    stream->m_device = stream->m_source + source_size;
    const int error =
        kind >= KIND_FB ? open_framebuffer(stream, settings) : open_stream(stream, kind, settings);
    if (error != 0) {
        close_stream(stream);
        if (stream->m_pid > 0) {
            reap_command(stream->m_pid);
        }
        tarvik_free_tag(stream, TARVIK_TAG);
        return fail(record, error);
    }
    record->m_plugin_word = stream->m_kind;
    record->m_plugin_pointer = stream;
    return 0;
}

int base_close(int ctx)
{
    tarvik_ctx_t *record = nullptr;
    Stream *stream = stream_of(ctx, &record);
    if (stream == nullptr) {
        return 0;
    }
    int result = 0;
    // An upload counts once the server confirmed it; a download the reader left early ends
    // with the server's complaint, which is no failure of the reader.
    if (stream->m_kind == KIND_FTP && tarvik_ftp_close_stream(stream->m_ftp) != 0 &&
        stream->m_writes) {
        result = -1;
    }
    close_stream(stream);
    if (stream->m_pid > 0 && !reap_command(stream->m_pid)) {
        result = -1;
    }
    record->m_plugin_pointer = nullptr;
    tarvik_free_tag(stream, TARVIK_TAG);
    return result;
}

// Waits for a datagram; a multicast group silent for the missed time is joined again (a
// router may have dropped the membership).
int wait_udp(Stream *stream, int timeout_ms)
{
    const uint64_t start = tarvik_time_stamp_msec(nullptr);
    for (;;) {
        uint64_t now = tarvik_time_stamp_msec(nullptr);
        if (stream->m_multicast && now - stream->m_last_data >= stream->m_missed_time) {
            const auto *group = reinterpret_cast<const struct sockaddr *>(&stream->m_group);
            tarvik_multicast_join_all(stream->m_fd, group, 0);
            tarvik_multicast_join_all(stream->m_fd, group, 1);
            stream->m_last_data = now;
            if (stream->m_debug != 0) {
                tarvik_printf("need multicast stream ! (mime_type=\"\e[1;37m%s\e[0m\", "
                              "url=\"\e[1;32m%s\e[0m\")\n",
                              stream->m_mime_type, stream->m_source);
            }
        }
        uint64_t step = UDP_WAIT_STEP_MS;
        if (stream->m_multicast && stream->m_missed_time - (now - stream->m_last_data) < step) {
            step = stream->m_missed_time - (now - stream->m_last_data);
        }
        if (timeout_ms >= 0 && start + static_cast<uint64_t>(timeout_ms) - now < step) {
            step = start + static_cast<uint64_t>(timeout_ms) - now;
        }
        const int ready = tarvik_rx_poll_fd(stream->m_fd, static_cast<int>(step));
        if (ready != 0) {
            return ready;
        }
        now = tarvik_time_stamp_msec(nullptr);
        if (stream->m_debug != 0) {
            const uint64_t waited = now - stream->m_last_data;
            tarvik_printf("wait udp stream ! (mime_type=\"\e[1;37m%s\e[0m\", "
                          "url=\"\e[1;32m%s\e[0m\", %lu.%03lu sec)\n",
                          stream->m_mime_type, stream->m_source,
                          static_cast<unsigned long>(waited / 1000),
                          static_cast<unsigned long>(waited % 1000));
        }
        if (timeout_ms >= 0 && now - start >= static_cast<uint64_t>(timeout_ms)) {
            return 0;
        }
    }
}

// Copies buffered block bytes and takes further blocks while whole ones still fit: a large
// read gathers many 512-byte blocks (one write for the reader instead of one per block). An
// error after some bytes were copied shows at the next read (the transfer stays failed).
ssize_t read_tftp(Stream *stream, void *buffer, size_t size)
{
    auto *out = static_cast<uint8_t *>(buffer);
    size_t done = 0;
    while (done < size) {
        if (stream->m_block_offset == stream->m_block_length) {
            if (done != 0 && (size - done < TARVIK_TFTP_BLOCK_SIZE ||
                              stream->m_tftp->m_state != TARVIK_TFTP_STATE_TRANSFER)) {
                break;
            }
            const ssize_t got = tarvik_tftp_read_data(stream->m_tftp, NETWORK_TIMEOUT_MS);
            if (got <= 0) {
                return done != 0 ? static_cast<ssize_t>(done) : got;
            }
            stream->m_block_offset = 0;
            stream->m_block_length = static_cast<uint32_t>(got);
        }
        size_t count = stream->m_block_length - stream->m_block_offset;
        count = count < size - done ? count : size - done;
        memcpy(out + done, stream->m_tftp->m_data + stream->m_block_offset, count);
        stream->m_block_offset += static_cast<uint32_t>(count);
        done += count;
    }
    return static_cast<ssize_t>(done);
}

ssize_t base_read(int ctx, void *buffer, size_t size)
{
    tarvik_ctx_t *record = nullptr;
    Stream *stream = stream_of(ctx, &record);
    if (stream == nullptr || !stream->m_reads) {
        return record != nullptr ? fail(record, TARVIK_CTX_ERROR_NOT_SUPPORTED) : -1;
    }
    switch (stream->m_kind) {
    case KIND_TFTP:
        return read_tftp(stream, buffer, size);
    case KIND_FTP: {
        ssize_t got =
            tarvik_ftp_recv_stream(stream->m_ftp, buffer, size, stream->m_ftp->m_data_timeout);
        return got >= 0 ? got : -1;
    }
    case KIND_UDP:
        for (;;) {
            if (wait_udp(stream, -1) < 0) {
                return -1;
            }
            // An empty datagram would read as the end of the stream: skip it.
            ssize_t got = tarvik_recv(stream->m_fd, buffer, size, 0);
            if (got > 0) {
                stream->m_last_data = tarvik_time_stamp_msec(nullptr);
                return got;
            }
            if (got == -1) {
                return -1;
            }
        }
    case KIND_TCP:
        return tarvik_recv(stream->m_fd, buffer, size, -1);
    case KIND_FILE:
    case KIND_PIPE:
        return tarvik_read(stream->m_fd, buffer, size, -1);
    default:
        return fail(record, TARVIK_CTX_ERROR_NOT_SUPPORTED);
    }
}

ssize_t base_write(int ctx, const void *data, size_t size)
{
    tarvik_ctx_t *record = nullptr;
    Stream *stream = stream_of(ctx, &record);
    if (stream == nullptr || !stream->m_writes) {
        return record != nullptr ? fail(record, TARVIK_CTX_ERROR_NOT_SUPPORTED) : -1;
    }
    const auto *bytes = static_cast<const uint8_t *>(data);
    switch (stream->m_kind) {
    case KIND_FILE:
        return tarvik_write_fill(stream->m_write_fd, data, size, -1);
    case KIND_PIPE:
        return write_pipe(stream->m_write_fd, data, size);
    case KIND_TCP:
        return send_all(stream->m_write_fd, bytes, size);
    case KIND_FTP:
        for (size_t done = 0; done < size;) {
            ssize_t sent = tarvik_ftp_send_stream(stream->m_ftp, bytes + done, size - done,
                                                  stream->m_ftp->m_data_timeout);
            if (sent <= 0) {
                return -1;
            }
            done += static_cast<size_t>(sent);
        }
        return static_cast<ssize_t>(size);
    default:
        return fail(record, TARVIK_CTX_ERROR_NOT_SUPPORTED);
    }
}

int base_is_readable(int ctx, int timeout_ms)
{
    tarvik_ctx_t *record = nullptr;
    Stream *stream = stream_of(ctx, &record);
    if (stream == nullptr || !stream->m_reads || stream->m_kind == KIND_LINUXFB) {
        return record != nullptr ? fail(record, TARVIK_CTX_ERROR_NOT_SUPPORTED) : -1;
    }
    switch (stream->m_kind) {
    case KIND_TFTP:
        if (stream->m_block_offset < stream->m_block_length ||
            stream->m_tftp->m_state != TARVIK_TFTP_STATE_TRANSFER) {
            return 1;
        }
        return tarvik_rx_poll_fd(stream->m_tftp->m_socket, timeout_ms);
    case KIND_FTP:
        return tarvik_rx_poll_fd(stream->m_ftp->m_data_socket, timeout_ms);
    case KIND_UDP:
        return wait_udp(stream, timeout_ms);
    default:
        return tarvik_rx_poll_fd(stream->m_fd, timeout_ms);
    }
}

int base_is_writable(int ctx, int timeout_ms)
{
    tarvik_ctx_t *record = nullptr;
    Stream *stream = stream_of(ctx, &record);
    if (stream == nullptr || !stream->m_writes || stream->m_kind == KIND_TFTP) {
        return record != nullptr ? fail(record, TARVIK_CTX_ERROR_NOT_SUPPORTED) : -1;
    }
    const int fd = stream->m_kind == KIND_FTP ? stream->m_ftp->m_data_socket : stream->m_write_fd;
    return tarvik_tx_poll_fd(fd, timeout_ms);
}

int64_t base_seek(int ctx, uint64_t offset, int whence)
{
    tarvik_ctx_t *record = nullptr;
    Stream *stream = stream_of(ctx, &record);
    if (stream == nullptr || stream->m_kind != KIND_FILE) {
        return record != nullptr ? fail(record, TARVIK_CTX_ERROR_NOT_SUPPORTED) : -1;
    }
    const off_t position = lseek(stream->m_fd, static_cast<off_t>(offset), whence);
    return position >= 0 ? static_cast<int64_t>(position) : -1;
}

int base_flush(int ctx)
{
    tarvik_ctx_t *record = nullptr;
    Stream *stream = stream_of(ctx, &record);
    if (stream == nullptr || (stream->m_kind != KIND_FILE && stream->m_kind != KIND_PIPE)) {
        return record != nullptr ? fail(record, TARVIK_CTX_ERROR_NOT_SUPPORTED) : -1;
    }
    return 0; // nothing is buffered on this side
}

int base_vxcontrol(int ctx, uint32_t command, void *data, size_t size)
{
    tarvik_ctx_t *record = nullptr;
    Stream *stream = stream_of(ctx, &record);
    if (stream == nullptr || stream->m_kind != KIND_LINUXFB ||
        command != TARVIK_CTX_XCONTROL_GET_FBINFO || data == nullptr ||
        size < sizeof(tarvik_ctx_fbinfo_t)) {
        return record != nullptr ? fail(record, TARVIK_CTX_ERROR_NOT_SUPPORTED) : -1;
    }
    fill_fbinfo(stream, static_cast<tarvik_ctx_fbinfo_t *>(data));
    return 0;
}

int not_supported(int ctx)
{
    tarvik_ctx_t *record = tarvik::detail::find_ctx(ctx);
    return record != nullptr ? fail(record, TARVIK_CTX_ERROR_NOT_SUPPORTED) : -1;
}

int base_vcontrol(int ctx, uint32_t, va_list) { return not_supported(ctx); }

int base_vbcontrol(int ctx, void *argument) { return argument != nullptr ? not_supported(ctx) : 0; }

int base_db(int ctx, void *) { return not_supported(ctx); }

int base_get_error(int ctx)
{
    tarvik_ctx_t *record = tarvik::detail::find_ctx(ctx);
    return record != nullptr ? record->m_error : -1;
}

int base_set_error(int ctx, int code)
{
    tarvik_ctx_t *record = tarvik::detail::find_ctx(ctx);
    if (record == nullptr) {
        return -1;
    }
    record->m_error = code;
    return 0;
}

int base_main(int, char **) { return 1; }

constexpr tarvik_ctx0_v1_interface_t BASE_INTERFACE = {
    {TARVIK_INTERFACE_TYPE_CTX0,
     sizeof(tarvik_ctx0_v1_interface_t),
     TARVIK_CTX0_VERSION_1,
     0,
     base_open,
     base_close,
     base_vbcontrol,
     base_vxcontrol,
     base_vcontrol,
     base_is_readable,
     base_read,
     base_is_writable,
     base_write,
     base_seek,
     base_flush,
     base_db,
     base_db,
     base_get_error,
     base_set_error,
     base_main},
    {},
};

} // namespace

namespace tarvik::detail {

bool open_framebuffer_device(const char *path, FramebufferDevice *device)
{
    memset(device, 0, sizeof(*device));
    device->m_fd = open(path, O_RDWR | O_CLOEXEC);
    if (device->m_fd < 0) {
        return false;
    }
    if (ioctl(device->m_fd, FBIOGET_FSCREENINFO, &device->m_fix) == 0 &&
        ioctl(device->m_fd, FBIOGET_VSCREENINFO, &device->m_var) == 0 &&
        device->m_fix.smem_len != 0) {
        device->m_map_size = device->m_fix.smem_len;
        device->m_map =
            mmap(nullptr, device->m_map_size, PROT_READ | PROT_WRITE, MAP_SHARED, device->m_fd, 0);
        if (device->m_map != MAP_FAILED) {
            return true;
        }
    }
    device->m_fd = tarvik_close(device->m_fd);
    device->m_map = nullptr;
    return false;
}

void close_framebuffer_device(FramebufferDevice *device)
{
    if (device->m_map != nullptr) {
        munmap(device->m_map, device->m_map_size);
    }
    device->m_fd = tarvik_close(device->m_fd);
    device->m_map = nullptr;
}

} // namespace tarvik::detail

extern "C" {

TARVIK_API int tarvik_plugin_initialize_builtin_plugin(const char **hint_out,
                                                       const void **interface_out,
                                                       uint32_t *size_out)
{
    if (hint_out != nullptr) {
        *hint_out = HINT;
    }
    if (interface_out != nullptr) {
        *interface_out = &BASE_INTERFACE;
    }
    if (size_out != nullptr) {
        *size_out = sizeof(BASE_INTERFACE);
    }
    tarvik_short_lock(&s_users_lock);
    const bool first = s_users++ == 0;
    tarvik_short_unlock(&s_users_lock);
    if (first) {
        for (size_t index = 0; index < EXTERNAL_COUNT; ++index) {
            s_external[index] = tarvik_load_plugin(EXTERNAL_PLUGINS[index], nullptr, nullptr);
        }
    }
    return 0;
}

TARVIK_API int tarvik_plugin_uninitialize_builtin_plugin(void)
{
    tarvik_short_lock(&s_users_lock);
    const bool last = s_users > 0 && --s_users == 0;
    tarvik_short_unlock(&s_users_lock);
    if (last) {
        for (int &handle : s_external) {
            handle = tarvik_unload_plugin(handle);
        }
    }
    return 0;
}

} // extern "C"
