// Tests of the terminal helpers. The size is measured once per process, so each case
// runs in a forked child (standard output on a pipe or on a pseudo-terminal) and sends
// its findings back through the pipe.
#include "tarvik_test.hpp"

#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string read_all(int fd)
{
    std::string text;
    char chunk[1024];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return text;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
}

void report(int fd, const std::string &text) { (void)!write(fd, text.data(), text.size()); }

// Runs body(report_fd) in a child with standard output on the slave of a pseudo-terminal
// (tty) or on a pipe; the child reports through report_fd. Returns the report, and
// what reached the terminal into terminal_out.
std::string in_child(bool tty, const std::function<void(int)> &body,
                     std::string *terminal_out = nullptr)
{
    int report_pipe[2];
    if (pipe(report_pipe) != 0) {
        ADD_FAILURE() << "pipe";
        return "";
    }
    int master = -1;
    int slave = -1;
    if (tty) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            ADD_FAILURE() << "no pseudo-terminal";
            return "";
        }
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        struct termios mode;
        tcgetattr(slave, &mode);
        cfmakeraw(&mode);
        tcsetattr(slave, TCSANOW, &mode);
        struct winsize size = {};
        size.ws_col = 100;
        size.ws_row = 30;
        ioctl(slave, TIOCSWINSZ, &size);
    }
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        close(report_pipe[0]);
        if (tty) {
            dup2(slave, 1);
            close(slave);
            close(master);
        } else {
            dup2(report_pipe[1], 1);
        }
        body(report_pipe[1]);
        fflush(stdout);
        _exit(0);
    }
    close(report_pipe[1]);
    std::string text = read_all(report_pipe[0]);
    close(report_pipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child failed";
    if (tty) {
        close(slave);
        std::string shown = read_all(master);
        close(master);
        if (terminal_out != nullptr) {
            *terminal_out = shown;
        }
    }
    return text;
}

std::string size_now()
{
    int columns = -1;
    int lines = -1;
    EXPECT_EQ(tarvik_get_terminal_size(&columns, &lines), 0);
    return std::to_string(columns) + "x" + std::to_string(lines);
}

class TerminalTest : public TarvikTest {};

TEST_F(TerminalTest, SizeFromTheEnvironmentWhenRedirected)
{
    struct Row {
        const char *columns; // null: unset
        const char *lines;
        const char *expected;
    };
    const Row rows[] = {
        {"132", nullptr, "132x24"}, {"132", "50", "132x50"}, {nullptr, nullptr, "80x24"},
        {nullptr, "40", "80x40"},   {"0", "0", "80x24"},     {"-5", "junk", "80x24"},
        {"9999999", "1", "80x1"},
    };
    for (const Row &row : rows) {
        std::string result = in_child(false, [&](int fd) {
            row.columns != nullptr ? setenv("COLUMNS", row.columns, 1) : unsetenv("COLUMNS");
            row.lines != nullptr ? setenv("LINES", row.lines, 1) : unsetenv("LINES");
            report(fd, size_now());
        });
        EXPECT_EQ(result, row.expected)
            << (row.columns ? row.columns : "-") << " " << (row.lines ? row.lines : "-");
    }
}

TEST_F(TerminalTest, SizeIsMeasuredOnce)
{
    std::string result = in_child(false, [](int fd) {
        setenv("COLUMNS", "132", 1);
        std::string first = size_now();
        setenv("COLUMNS", "60", 1);
        int columns = 0;
        tarvik_get_terminal_size(&columns, nullptr);
        tarvik_get_terminal_size(nullptr, nullptr);
        report(fd, first + " " + std::to_string(columns));
    });
    EXPECT_EQ(result, "132x24 132");
}

TEST_F(TerminalTest, SizeFromTheTerminalWinsOverTheEnvironment)
{
    std::string result = in_child(true, [](int fd) {
        setenv("COLUMNS", "132", 1);
        report(fd, size_now());
    });
    EXPECT_EQ(result, "100x30");
}

TEST_F(TerminalTest, IsATerminal)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(tarvik_isatty(fds[0]), 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(tarvik_isatty(-1), 0);
    std::string result =
        in_child(true, [](int fd) { report(fd, std::to_string(tarvik_isatty(1))); });
    EXPECT_EQ(result, "1");
}

TEST_F(TerminalTest, ClearingAndTheCursorReachATerminalUnchanged)
{
    std::string shown;
    in_child(
        true,
        [](int) {
            tarvik_clear_terminal();
            tarvik_show_cursor(0);
            tarvik_show_cursor(1);
        },
        &shown);
    EXPECT_EQ(shown, "\x1b[H\x1b[J\x1b[?25l\x1b[?25h");
}

TEST_F(TerminalTest, ClearingAndTheCursorLeaveNothingInARedirectedOutput)
{
    std::string result = in_child(false, [](int) {
        tarvik_clear_terminal();
        tarvik_show_cursor(0);
        tarvik_show_cursor(1);
        tarvik_puts("end");
    });
    EXPECT_EQ(result, "end");
}

} // namespace
