// Tests of the terminal helpers. The size is measured once per process, so each case
// runs in a forked child (standard output on a pipe or on a pseudo-terminal) and sends
// its findings back through the pipe.
#include "tarvik_test.hpp"

#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
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

// A child whose controlling terminal is a new pseudo-terminal (on 0, 1 and 2, in the
// foreground); the parent holds the master and a pipe the child reports through.
struct TerminalChild {
    pid_t m_pid = -1;
    int m_master = -1;
    int m_report = -1;

    explicit TerminalChild(const std::function<void(int)> &body)
    {
        int report_pipe[2];
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0 ||
            pipe(report_pipe) != 0) {
            ADD_FAILURE() << "no pseudo-terminal";
            return;
        }
        std::string slave_name = ptsname(m_master);
        fflush(stdout);
        m_pid = fork();
        if (m_pid == 0) {
            close(report_pipe[0]);
            close(m_master);
            setsid();
            int slave = open(slave_name.c_str(), O_RDWR);
            dup2(slave, 0);
            dup2(slave, 1);
            dup2(slave, 2);
            if (slave > 2) {
                close(slave);
            }
            tcsetpgrp(0, getpgrp());
            body(report_pipe[1]);
            fflush(stdout);
            _exit(0);
        }
        close(report_pipe[1]);
        m_report = report_pipe[0];
    }

    // Reads the master until text shows (or two seconds pass); returns what came.
    std::string wait_for(const std::string &text)
    {
        std::string seen;
        while (seen.find(text) == std::string::npos) {
            struct pollfd ready = {m_master, POLLIN, 0};
            if (poll(&ready, 1, 2000) <= 0) {
                break;
            }
            char chunk[256];
            ssize_t n = read(m_master, chunk, sizeof(chunk));
            if (n <= 0) {
                break;
            }
            seen.append(chunk, static_cast<size_t>(n));
        }
        return seen;
    }

    void type(const std::string &keys) { (void)!write(m_master, keys.data(), keys.size()); }

    // Waits for the child; returns its report, and what else the terminal showed.
    std::string finish(std::string *shown = nullptr)
    {
        std::string text = read_all(m_report);
        int status = 0;
        waitpid(m_pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child failed";
        std::string rest;
        struct pollfd ready = {m_master, POLLIN, 0};
        while (poll(&ready, 1, 0) > 0) {
            char chunk[256];
            ssize_t n = read(m_master, chunk, sizeof(chunk));
            if (n <= 0) {
                break;
            }
            rest.append(chunk, static_cast<size_t>(n));
        }
        if (shown != nullptr) {
            *shown = rest;
        }
        close(m_report);
        close(m_master);
        return text;
    }
};

std::string zero_tail(const char *buffer, size_t size)
{
    size_t length = strlen(buffer);
    for (size_t i = length; i < size; ++i) {
        if (buffer[i] != '\0') {
            return "dirty";
        }
    }
    return "clean";
}

TEST_F(TerminalTest, PasswordIsReadWithoutEchoAndTheModeComesBack)
{
    TerminalChild child([](int fd) {
        struct termios before;
        tcgetattr(0, &before);
        char buffer[32];
        memset(buffer, 'x', sizeof(buffer));
        const char *result = tarvik_getpassword("Password: ", buffer, sizeof(buffer));
        struct termios after;
        tcgetattr(0, &after);
        report(fd, std::string(result != nullptr ? result : "(null)") + "|" +
                       zero_tail(buffer, sizeof(buffer)) + "|" +
                       (before.c_lflag == after.c_lflag && before.c_iflag == after.c_iflag
                            ? "restored"
                            : "changed"));
    });
    std::string prompt = child.wait_for("Password: ");
    EXPECT_NE(prompt.find("Password: "), std::string::npos);
    child.type("secret\r\n");
    std::string shown;
    EXPECT_EQ(child.finish(&shown), "secret|clean|restored");
    EXPECT_EQ(shown.find("secret"), std::string::npos) << "the password was echoed";
    EXPECT_EQ(shown.substr(0, 2), "\r\n");
}

TEST_F(TerminalTest, UserNameIsEchoed)
{
    TerminalChild child([](int fd) {
        char buffer[16];
        const char *result = tarvik_getusername("login: ", buffer, sizeof(buffer));
        report(fd, result != nullptr ? result : "(null)");
    });
    child.wait_for("login: ");
    child.type("admin\r");
    std::string shown;
    EXPECT_EQ(child.finish(&shown), "admin");
    EXPECT_NE(shown.find("admin"), std::string::npos);
}

TEST_F(TerminalTest, PromptsReadFromAPipe)
{
    struct Row {
        const char *input;
        size_t size;
        const char *expected; // null: no result
    };
    const Row rows[] = {
        {"abcdef\r\n", 32, "abcdef"},
        {"abcdef\n", 4, "abc"},
        {"abc", 4, "abc"},
        {"\r\n", 8, ""},
        {"", 8, nullptr},
        {"abcdef\r\n", 0, nullptr},
        {"abcdefgh", 8, "abcdefg"},
    };
    for (const Row &row : rows) {
        std::string result = in_child(false, [&](int fd) {
            int input[2];
            if (pipe(input) != 0) {
                _exit(1);
            }
            (void)!write(input[1], row.input, strlen(row.input));
            close(input[1]);
            dup2(input[0], 0);
            char buffer[32];
            memset(buffer, 'x', sizeof(buffer));
            const char *got =
                tarvik_getpassword(nullptr, row.size != 0 ? buffer : nullptr, row.size);
            std::string text = got != nullptr ? std::string(got) : std::string("(null)");
            if (got != nullptr) {
                text += "|" + zero_tail(buffer, row.size);
            }
            report(fd, text);
        });
        std::string expected =
            row.expected != nullptr ? std::string(row.expected) + "|clean" : "(null)";
        EXPECT_EQ(result, expected) << row.input << " " << row.size;
    }
}

TEST_F(TerminalTest, KeyboardHandleReadsSingleKeysAndRestoresTheTerminal)
{
    TerminalChild child([](int fd) {
        std::string text;
        size_t blocks = tarvik_get_alloc_count();
        struct termios before;
        tcgetattr(0, &before);
        // A background process group gets no handle and leaves the terminal alone.
        pid_t background = fork();
        if (background == 0) {
            setpgid(0, 0);
            int handle = tarvik_open_vt();
            struct termios now;
            tcgetattr(0, &now);
            _exit(handle == -1 && now.c_lflag == before.c_lflag ? 0 : 1);
        }
        int status = -1;
        waitpid(background, &status, 0);
        text += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "background refused" : "BAD";
        int handle = tarvik_open_vt();
        struct termios raw;
        tcgetattr(0, &raw);
        text += handle >= 0 ? "|open" : "|not open";
        text += (raw.c_lflag & (ICANON | ECHO)) == 0 && (raw.c_lflag & ISIG) != 0 &&
                        raw.c_cc[VMIN] == 1 && raw.c_cc[VTIME] == 0
                    ? "|raw"
                    : "|cooked";
        text += "|fd" + std::to_string(tarvik_get_vt_fd(handle));
        report(fd, "R");
        int length = -1;
        const char *keys = tarvik_get_vt(handle, &length, 5000);
        text += "|" + std::string(keys != nullptr ? keys : "(null)") + ":" + std::to_string(length);
        keys = tarvik_get_vt(handle, &length, 50);
        text += keys == nullptr && length == 0 ? "|quiet" : "|noise";
        text += "|" + std::to_string(tarvik_close_vt(handle));
        struct termios after;
        tcgetattr(0, &after);
        text += after.c_lflag == before.c_lflag && after.c_cc[VMIN] == before.c_cc[VMIN]
                    ? "|restored"
                    : "|changed";
        text += tarvik_get_vt(handle, &length, 0) == nullptr && tarvik_get_vt_fd(handle) == -1 &&
                        tarvik_close_vt(handle) == -1
                    ? "|gone"
                    : "|alive";
        // A handle of another kind is no keyboard.
        int other = tarvik_ginstance_new_ex(&text, "application/other");
        text += tarvik_get_vt_fd(other) == -1 && tarvik_close_vt(other) == -1 ? "|typed" : "|any";
        tarvik_ginstance_delete(other);
        text += tarvik_get_alloc_count() == blocks ? "|freed" : "|leaked";
        report(fd, text);
    });
    char ready = 0;
    ASSERT_EQ(read(child.m_report, &ready, 1), 1);
    child.type("q\x1b[A");
    EXPECT_EQ(child.finish(), "background refused|open|raw|fd0|q\x1b[A:4|quiet|-1|restored|gone|"
                              "typed|freed");
}

TEST_F(TerminalTest, KeyboardHandleNeedsATerminal)
{
    std::string result = in_child(false, [](int fd) {
        int input[2];
        if (pipe(input) != 0) {
            _exit(1);
        }
        dup2(input[0], 0);
        report(fd, std::to_string(tarvik_open_vt()));
    });
    EXPECT_EQ(result, "-1");
}

TEST_F(TerminalTest, PseudoTerminalCalls)
{
    int master = tarvik_getpt();
    ASSERT_GE(master, 0);
    EXPECT_EQ(fcntl(master, F_GETFL) & O_ACCMODE, O_RDWR);
    EXPECT_EQ(tarvik_grantpt(master), 0);
    EXPECT_EQ(tarvik_unlockpt(master), 0);
    const char *name = tarvik_ptsname(master);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::string(name).rfind("/dev/pts/", 0), 0u) << name;
    int slave = open(name, O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    ASSERT_EQ(write(slave, "hi\n", 3), 3);
    char buffer[16] = {};
    struct pollfd ready = {master, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 2000), 1);
    EXPECT_EQ(read(master, buffer, sizeof(buffer)), 4);
    EXPECT_STREQ(buffer, "hi\r\n");
    close(slave);
    close(master);
    EXPECT_EQ(tarvik_grantpt(-1), -1);
    EXPECT_EQ(tarvik_unlockpt(-1), -1);
    EXPECT_EQ(tarvik_ptsname(-1), nullptr);
}

} // namespace
