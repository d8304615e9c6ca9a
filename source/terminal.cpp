// Controlling-terminal helpers: the terminal size (measured once per process and cached
// under a short lock), the tty test, screen clearing and the cursor switch.
#include "terminal.h"

#include "argument.h"
#include "console.h"
#include "detail/common.hpp"
#include "heap.h"
#include "scan.h"

#include <cerrno>
#include <sys/ioctl.h>
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

} // extern "C"
