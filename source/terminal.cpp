// Controlling-terminal helpers: the terminal size (measured once per process and cached
// under a short lock), the tty test, screen clearing and the cursor switch, the raw keyboard
// handle (a record in the process-wide instance table), the line prompts and the
// pseudo-terminal calls.
#include "terminal.h"

#include "argument.h"
#include "console.h"
#include "detail/common.hpp"
#include "file.h"
#include "heap.h"
#include "instance.h"
#include "scan.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int DEFAULT_COLUMNS = 80;
constexpr int DEFAULT_LINES = 24;
// The kernel's window size is 16-bit; larger environment values are nonsense.
constexpr int SIZE_LIMIT = 65535;

tarvik_short_lock_t s_size_lock;
bool s_size_known;
int s_columns;
int s_lines;

int environment_size(const char *name)
{
    char *value = tarvik_alloc_getenv(name);
    if (value == nullptr) {
        return 0;
    }
    int size = tarvik_atoi(value);
    tarvik_free_tag(value, TARVIK_TAG);
    return size > 0 && size <= SIZE_LIMIT ? size : 0;
}

void measure(int *columns, int *lines)
{
    *columns = 0;
    *lines = 0;
    if (isatty(STDOUT_FILENO) == 1) {
        struct winsize size = {};
        int result;
        do {
            result = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size);
        } while (result != 0 && errno == EINTR);
        if (result == 0 && size.ws_col != 0) {
            *columns = size.ws_col;
            *lines = size.ws_row;
        }
    }
    if (*columns == 0) {
        *columns = environment_size("COLUMNS");
        *lines = environment_size("LINES");
    }
    if (*columns == 0) {
        *columns = DEFAULT_COLUMNS;
    }
    if (*lines == 0) {
        *lines = DEFAULT_LINES;
    }
}

constexpr size_t VT_BUFFER_SIZE = 128;

struct VirtualTerminal {
    int m_fd;
    bool m_changed; // the terminal runs in m_raw and must get m_saved back
    struct termios m_saved;
    struct termios m_raw;
    char m_buffer[VT_BUFFER_SIZE];
};

VirtualTerminal *find_vt(int handle)
{
    const char *mime_type = nullptr;
    void *object = tarvik_ginstance_search(handle, &mime_type);
    if (object == nullptr || tarvik_compare_mime_type(mime_type, TARVIK_VT_MIME_TYPE) != 0) {
        return nullptr;
    }
    return static_cast<VirtualTerminal *>(object);
}

ssize_t read_retrying(int fd, char *buffer, size_t size)
{
    ssize_t count;
    do {
        count = read(fd, buffer, size);
    } while (count < 0 && errno == EINTR);
    return count;
}

// One line from standard input after the prompt; without echo the terminal also stops
// honouring flow-control keys, so that any character can be part of a password.
char *read_line(const char *prompt, char *buffer, size_t size, bool echo)
{
    if (buffer == nullptr || size == 0) {
        return nullptr;
    }
    memset(buffer, 0, size);
    struct termios saved;
    bool changed = false;
    if (!echo && isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &saved) == 0) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
        quiet.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
        changed = tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
    }
    if (prompt != nullptr) {
        tarvik_puts(prompt);
        tarvik_puts(nullptr);
    }
    ssize_t count = read_retrying(STDIN_FILENO, buffer, size);
    // The read may fill the whole buffer: the line end is looked for within what came.
    size_t end = 0;
    size_t limit = count > 0 ? static_cast<size_t>(count) : 0;
    while (end < limit && end < size - 1 && buffer[end] != '\r' && buffer[end] != '\n') {
        ++end;
    }
    memset(buffer + end, 0, size - end);
    if (changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
    if (prompt != nullptr && !echo) {
        // The line end the user typed was not echoed.
        tarvik_puts("\n");
        tarvik_puts(nullptr);
    }
    return count > 0 ? buffer : nullptr;
}

} // namespace

extern "C" {

TARVIK_API int tarvik_get_terminal_size(int *columns_out, int *lines_out)
{
    tarvik_short_lock(&s_size_lock);
    bool known = s_size_known;
    tarvik_short_unlock(&s_size_lock);
    if (!known) {
        // Measured outside the lock (the environment copy allocates); the first result
        // stored wins, so every caller sees the same size.
        int columns = 0;
        int lines = 0;
        measure(&columns, &lines);
        tarvik_short_lock(&s_size_lock);
        if (!s_size_known) {
            s_columns = columns;
            s_lines = lines;
            s_size_known = true;
        }
        tarvik_short_unlock(&s_size_lock);
    }
    tarvik_short_lock(&s_size_lock);
    int columns = s_columns;
    int lines = s_lines;
    tarvik_short_unlock(&s_size_lock);
    if (columns_out != nullptr) {
        *columns_out = columns;
    }
    if (lines_out != nullptr) {
        *lines_out = lines;
    }
    return 0;
}

TARVIK_API int tarvik_isatty(int descriptor) { return isatty(descriptor) == 1 ? 1 : 0; }

TARVIK_API int tarvik_clear_terminal(void)
{
    tarvik_puts("\x1b[H\x1b[J");
    tarvik_puts(nullptr);
    return 0;
}

TARVIK_API int tarvik_show_cursor(int show)
{
    tarvik_puts(show != 0 ? "\x1b[?25h" : "\x1b[?25l");
    tarvik_puts(nullptr);
    return 0;
}

TARVIK_API int tarvik_open_vt(void)
{
    // A background job may not change the terminal (and would be stopped trying).
    if (isatty(STDIN_FILENO) != 1 || tcgetpgrp(STDIN_FILENO) != getpgrp()) {
        return -1;
    }
    auto *vt =
        static_cast<VirtualTerminal *>(tarvik_alloc_tag(sizeof(VirtualTerminal), TARVIK_TAG));
    if (vt == nullptr) {
        return -1;
    }
    memset(vt, 0, sizeof(*vt));
    vt->m_fd = STDIN_FILENO;
    if (tcgetattr(vt->m_fd, &vt->m_saved) != 0) {
        tarvik_free_tag(vt, TARVIK_TAG);
        return -1;
    }
    int handle = tarvik_ginstance_new_ex(vt, TARVIK_VT_MIME_TYPE);
    if (handle < 0) {
        tarvik_free_tag(vt, TARVIK_TAG);
        return -1;
    }
    vt->m_raw = vt->m_saved;
    vt->m_raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    vt->m_raw.c_cc[VMIN] = 1;
    vt->m_raw.c_cc[VTIME] = 0;
    if (tcsetattr(vt->m_fd, TCSAFLUSH, &vt->m_raw) != 0) {
        return tarvik_close_vt(handle);
    }
    vt->m_changed = true;
    return handle;
}

TARVIK_API char *tarvik_get_vt(int handle, int *length_out, int timeout_ms)
{
    if (length_out != nullptr) {
        *length_out = 0;
    }
    VirtualTerminal *vt = find_vt(handle);
    if (vt == nullptr) {
        return nullptr;
    }
    ssize_t count = tarvik_read(vt->m_fd, vt->m_buffer, VT_BUFFER_SIZE - 1, timeout_ms);
    if (count <= 0) {
        return nullptr;
    }
    vt->m_buffer[count] = '\0';
    if (length_out != nullptr) {
        *length_out = static_cast<int>(count);
    }
    return vt->m_buffer;
}

TARVIK_API int tarvik_get_vt_fd(int handle)
{
    VirtualTerminal *vt = find_vt(handle);
    return vt != nullptr ? vt->m_fd : -1;
}

TARVIK_API int tarvik_close_vt(int handle)
{
    VirtualTerminal *vt = find_vt(handle);
    if (vt == nullptr) {
        return -1;
    }
    if (vt->m_changed) {
        tcsetattr(vt->m_fd, TCSAFLUSH, &vt->m_saved);
    }
    tarvik_ginstance_delete(handle);
    tarvik_free_tag(vt, TARVIK_TAG);
    return -1;
}

TARVIK_API char *tarvik_getpassword(const char *prompt, char *buffer, size_t size)
{
    return read_line(prompt, buffer, size, false);
}

TARVIK_API char *tarvik_getusername(const char *prompt, char *buffer, size_t size)
{
    return read_line(prompt, buffer, size, true);
}

TARVIK_API int tarvik_getpt(void)
{
    return tarvik_open("/dev/ptmx", def_tarvik_open_read_write | def_tarvik_open_no_ctty);
}

TARVIK_API int tarvik_grantpt(int master) { return grantpt(master) == 0 ? 0 : -1; }

TARVIK_API int tarvik_unlockpt(int master) { return unlockpt(master) == 0 ? 0 : -1; }

TARVIK_API char *tarvik_ptsname(int master) { return ptsname(master); }

} // extern "C"
