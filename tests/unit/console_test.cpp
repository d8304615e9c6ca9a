// Tests of the output channels (handlers, colour stripping, terminal and redirected
// output), the system-log line splitter, the gadgets and the assertion report. The
// terminal flag is decided once per process, so every case that writes to a real
// descriptor runs in a forked child whose output the parent reads.
#include "tarvik_test.hpp"

#include "detail/console.hpp"

#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

std::string read_all(int fd)
{
    std::string text;
    char chunk[4096];
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

// Runs body in a child whose descriptor fd (1 or 2) is a pipe; the other one goes to
// /dev/null. Returns what the child wrote.
std::string capture(int fd, const std::function<void()> &body)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        ADD_FAILURE() << "pipe";
        return "";
    }
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, fd == 1 ? 2 : 1);
        dup2(pipe_fds[1], fd);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        close(null_fd);
        body();
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }
    close(pipe_fds[1]);
    std::string text = read_all(pipe_fds[0]);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child failed";
    return text;
}

// Same, with standard output on the slave side of a raw pseudo-terminal.
std::string capture_terminal(const std::function<void()> &body)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return "";
    }
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    struct termios mode;
    tcgetattr(slave, &mode);
    cfmakeraw(&mode);
    tcsetattr(slave, TCSANOW, &mode);
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        dup2(slave, 1);
        close(slave);
        close(master);
        body();
        fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    close(slave);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child failed";
    std::string text = read_all(master);
    close(master);
    return text;
}

class ConsoleTest : public TarvikTest {};

// Handlers of the tests record what reached them.
std::vector<std::string> *s_seen;
int record(const char *text)
{
    s_seen->push_back(text != nullptr ? text : "<null>");
    return 1000 + static_cast<int>(s_seen->size());
}

TEST_F(ConsoleTest, StripAnsiCodes)
{
    struct Row {
        const char *input;
        const char *expected;
    };
    const Row rows[] = {
        {"\x1b[1;32mok\x1b[0m\n", "ok\n"},
        {"plain text", "plain text"},
        {"a\x1b[mb", "ab"},
        {"x\x1b[1;31", "x"},
        {"x\x1b", "x"},
        {"\x1b"
         "Xabc",
         "abc"},
        {"\x1b[1;37m 50%\x1b[0m [\x1b[1;32m==\x1b[0m]", " 50% [==]"},
        {"\x1b[H\x1b[J", ""},
        {"\x1b[?25l", ""},
        {"1\x1b[0m2\x1b[0m3", "123"},
        {"", ""},
    };
    for (const Row &row : rows) {
        std::string text = row.input;
        EXPECT_STREQ(tarvik_strip_ansi_code(text.data()), row.expected) << row.input;
    }
    EXPECT_EQ(tarvik_strip_ansi_code(nullptr), nullptr);
}

TEST_F(ConsoleTest, HandlersReceiveTheTextAndDecideTheResult)
{
    std::vector<std::string> seen;
    s_seen = &seen;
    tarvik_puts_handler_t old = reinterpret_cast<tarvik_puts_handler_t>(1);
    EXPECT_EQ(tarvik_set_puts_handler(record, &old), 0);
    EXPECT_EQ(old, nullptr);
    tarvik_puts_handler_t old_error = reinterpret_cast<tarvik_puts_handler_t>(1);
    EXPECT_EQ(tarvik_set_error_puts_handler(record, &old_error), 0);
    EXPECT_EQ(old_error, nullptr);

    EXPECT_EQ(tarvik_puts("\x1b[1;31mred\x1b[0m"), 1001);
    EXPECT_EQ(tarvik_printf("%s=%d", "n", 5), 1002);
    EXPECT_EQ(tarvik_error_puts("err"), 1003);
    EXPECT_EQ(tarvik_error_printf("%05d", -3), 1004);
    EXPECT_EQ(tarvik_puts(nullptr), 1005);
    std::string long_text(2000, 'L');
    EXPECT_EQ(tarvik_printf("%s", long_text.c_str()), 1006);
    EXPECT_EQ(tarvik_printf("%*d", 65279, 1), 0) << "too long: nothing printed";
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0], "\x1b[1;31mred\x1b[0m") << "handlers see the colours";
    EXPECT_EQ(seen[1], "n=5");
    EXPECT_EQ(seen[2], "err");
    EXPECT_EQ(seen[3], "-0003");
    EXPECT_EQ(seen[4], "<null>");
    EXPECT_EQ(seen[5], long_text);

    tarvik_puts_handler_t previous = nullptr;
    EXPECT_EQ(tarvik_set_puts_handler(tarvik_quiet_puts, &previous), 0);
    EXPECT_EQ(previous, record);
    EXPECT_EQ(tarvik_printf("%s", "dropped"), 0);
    EXPECT_EQ(tarvik_quiet_puts("x"), 0);
    EXPECT_EQ(seen.size(), 6u);

    tarvik_set_puts_handler(nullptr, nullptr);
    tarvik_set_error_puts_handler(nullptr, nullptr);
    s_seen = nullptr;
}

TEST_F(ConsoleTest, RedirectedOutputLosesItsColours)
{
    std::string out = capture(1, [] {
        tarvik_puts("\x1b[1;32mok\x1b[0m\n");
        tarvik_printf("%s: [ERROR] \x1b[1;31m%s\x1b[0m (fd=%d)\n", "fn", "bad", 3);
        tarvik_puts("no escapes\n");
    });
    EXPECT_EQ(out, "ok\nfn: [ERROR] bad (fd=3)\nno escapes\n");

    std::string err = capture(2, [] {
        tarvik_error_puts("\x1b[1;31mE\x1b[0m\n");
        tarvik_error_printf("%s [WARNING] \x1b[1;31mw\x1b[0m\n", "x:");
    });
    EXPECT_EQ(err, "E\nx: [WARNING] w\n");
}

TEST_F(ConsoleTest, RedirectedLongTextsAndResults)
{
    std::string body(3000, 'a');
    std::string colored = "\x1b[1;33m" + body + "\x1b[0m\n";
    std::string out = capture(1, [&] {
        // The results are written into the stream so that the parent can check them.
        int puts_result = tarvik_puts(colored.c_str());
        int printf_result = tarvik_printf("\x1b[1;36m%s\x1b[0m\n", body.c_str());
        int plain_result = tarvik_printf("%d\n", 12345);
        int empty_result = tarvik_puts("");
        int flush_result = tarvik_puts(nullptr);
        int refused = tarvik_printf("%*d", 65279, 1);
        char line[128];
        snprintf(line, sizeof(line), "%d %d %d %d %d %d\n", puts_result, printf_result,
                 plain_result, empty_result, flush_result, refused);
        fputs(line, stdout);
    });
    std::string expected = body + "\n" + body + "\n12345\n3001 3001 6 0 0 0\n";
    EXPECT_EQ(out, expected);
}

TEST_F(ConsoleTest, TerminalOutputKeepsItsColours)
{
    std::string out = capture_terminal([] {
        tarvik_puts("\x1b[1;32mok\x1b[0m\n");
        tarvik_printf("\x1b[1;31m%d\x1b[0m", 7);
    });
    EXPECT_EQ(out, "\x1b[1;32mok\x1b[0m\n\x1b[1;31m7\x1b[0m");
}

TEST_F(ConsoleTest, InstallingTheChannelItselfRestoresTheBuiltInPath)
{
    std::string out = capture(1, [] {
        tarvik_set_puts_handler(tarvik_quiet_puts, nullptr);
        tarvik_puts("hidden\n");
        tarvik_set_puts_handler(tarvik_puts, nullptr);
        tarvik_puts("\x1b[1;32mshown\x1b[0m\n");
        tarvik_set_puts_handler(nullptr, nullptr);
        tarvik_printf("%s\n", "again");
    });
    EXPECT_EQ(out, "shown\nagain\n");
    std::string err = capture(2, [] {
        tarvik_set_error_puts_handler(tarvik_error_puts, nullptr);
        tarvik_error_puts("err\n");
    });
    EXPECT_EQ(err, "err\n");
}

struct LogRecord {
    std::string identity;
    std::vector<std::string> lines;
    int opens = 0;
    int closes = 0;
};

tarvik::detail::LogBackend backend_for(LogRecord *record)
{
    return {[](void *context, const char *identity) {
                auto *r = static_cast<LogRecord *>(context);
                r->identity = identity;
                ++r->opens;
            },
            [](void *context, const char *message) {
                static_cast<LogRecord *>(context)->lines.push_back(message);
            },
            [](void *context) { ++static_cast<LogRecord *>(context)->closes; }, record};
}

TEST_F(ConsoleTest, LogLinesAreSplitStrippedAndLocated)
{
    struct Row {
        const char *text;
        const char *tag;
        unsigned long line;
        const char *identity;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {"first\n\nsecond", "ftpd", 0, "ftpd", {"first", "second"}},
        {"first\n\nsecond\n", "ftpd", 42, "ftpd", {"first [ftpd:42]", "second [ftpd:42]"}},
        {"one", nullptr, 0, "TARVIK", {"one"}},
        {"one", nullptr, 7, "TARVIK", {"one [:7]"}},
        {"\r\n\r\na\r\nb\rc\n\n", "t", 0, "t", {"a", "b", "c"}},
        {"\x1b[1;31merror\x1b[0m text", "t", 0, "t", {"error text"}},
        {"\n\r\n", "t", 0, "t", {}},
        {"", "t", 0, "t", {}},
    };
    for (const Row &row : rows) {
        LogRecord record;
        int length = tarvik::detail::log_puts_to(backend_for(&record), row.text, row.tag, row.line);
        EXPECT_EQ(length, static_cast<int>(strlen(row.text)));
        EXPECT_EQ(record.identity, row.identity);
        EXPECT_EQ(record.lines, row.lines) << row.text;
        EXPECT_EQ(record.opens, 1);
        EXPECT_EQ(record.closes, 1);
    }
    LogRecord untouched;
    EXPECT_EQ(tarvik::detail::log_puts_to(backend_for(&untouched), nullptr, "t", 1), 0);
    EXPECT_EQ(untouched.opens, 0) << "a null text opens no log";
}

TEST_F(ConsoleTest, LongLogLinesKeepTheirSuffix)
{
    std::string first(5000, 'x');
    std::string text = first + "\n\x1b[1;31m" + std::string(700, 'y') + "\x1b[0m";
    LogRecord record;
    tarvik::detail::log_puts_to(backend_for(&record), text.c_str(), "update", 1234567);
    ASSERT_EQ(record.lines.size(), 2u);
    EXPECT_EQ(record.lines[0], first + " [update:1234567]");
    EXPECT_EQ(record.lines[1], std::string(700, 'y') + " [update:1234567]");
}

struct LogCall {
    std::string text;
    std::string tag;
    unsigned long line;
};
std::vector<LogCall> *s_log_calls;
int record_log(const char *text, const char *tag, unsigned long line)
{
    s_log_calls->push_back(
        {text != nullptr ? text : "<null>", tag != nullptr ? tag : "<null>", line});
    return 77;
}

TEST_F(ConsoleTest, LogHandlerReceivesTextTagAndLine)
{
    std::vector<LogCall> calls;
    s_log_calls = &calls;
    tarvik_log_puts_handler_t old = reinterpret_cast<tarvik_log_puts_handler_t>(1);
    EXPECT_EQ(tarvik_set_log_puts_handler(record_log, &old), 0);
    EXPECT_EQ(old, nullptr);
    EXPECT_EQ(tarvik_log_puts_tag("a\nb", "ftpd", 12), 77);
    EXPECT_EQ(tarvik_log_puts("plain"), 77);
    EXPECT_EQ(tarvik_log_printf("%s-%d", "v", 2), 77);
    EXPECT_EQ(tarvik_log_printf("%*d", 65279, 1), 0) << "too long for the formatter";
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].text, "a\nb");
    EXPECT_EQ(calls[0].tag, "ftpd");
    EXPECT_EQ(calls[0].line, 12u);
    EXPECT_EQ(calls[1].tag, "<null>");
    EXPECT_EQ(calls[1].line, 0u);
    EXPECT_EQ(calls[2].text, "v-2");

    // The built-in functions as handlers mean the built-in path (here: a null text,
    // which returns before any log is opened) instead of calling themselves forever.
    tarvik_set_log_puts_handler(tarvik_log_puts_tag, &old);
    EXPECT_EQ(old, record_log);
    EXPECT_EQ(tarvik_log_puts_tag(nullptr, "t", 1), 0);
    tarvik_set_log_puts_handler(
        reinterpret_cast<tarvik_log_puts_handler_t>(reinterpret_cast<void (*)()>(tarvik_log_puts)),
        nullptr);
    EXPECT_EQ(tarvik_log_puts(nullptr), 0);
    tarvik_set_log_puts_handler(nullptr, nullptr);
    s_log_calls = nullptr;
}

TEST_F(ConsoleTest, HexDumpLayout)
{
    std::string out = capture(1, [] {
        const char data[] = "ABCDEFGHIJKLMNOPQRST";
        tarvik_dump_ex(2, 0, data, 20, 0x1000);
    });
    EXPECT_EQ(out,
              "  00001000 41 42 43 44 45 46 47 48 | 49 4A 4B 4C 4D 4E 4F 50 [ABCDEFGHIJKLMNOP]\n"
              "  00001010 51 52 53 54" +
                  std::string(12 + 5 + 21, ' ') + " [QRST            ]\n");
}

TEST_F(ConsoleTest, HexDumpEdges)
{
    std::string out = capture(1, [] {
        const unsigned char data[] = {0x00, 0x1F, 0x20, 0x7E, 0x7F, 0xFF, 'a', 'b', 'c', 'd'};
        // Offset 1, nine bytes, no indent, an address beyond 32 bits.
        if (tarvik_dump_ex(-3, 1, data, 9, 0x123456789ull) != data) {
            puts("wrong result");
        }
        if (tarvik_dump_ex(2, 0, nullptr, 16, 0) != nullptr) {
            puts("null base printed");
        }
        tarvik_dump_ex(0, 0, data, 0, 0);
        tarvik_dump_ex(70, 0, data, 1, 0);
    });
    std::string expected = "123456789 1F 20 7E 7F FF 61 62 63 | 64" + std::string(7 * 3, ' ') +
                           " [. ~..abcd       ]\n" + std::string(70, ' ') + "00000000 00" +
                           std::string(7 * 3 + 5 + 7 * 3, ' ') + " [.               ]\n";
    EXPECT_EQ(out, expected);
}

TEST_F(ConsoleTest, AssertionReportGoesStraightToErrorOutput)
{
    std::string err = capture(2, [] {
        // Neither a handler nor the redirection changes the report.
        tarvik_set_error_puts_handler(tarvik_quiet_puts, nullptr);
        tarvik_assert_fail_tag("source/heap", "tarvik_free_tag", 42, "s_size < 4");
        tarvik_assert_fail_tag(nullptr, nullptr, 0, nullptr);
        auto vassert = [](const char *format, ...) {
            va_list arguments;
            va_start(arguments, format);
            int result = tarvik_vassert_fail_tag("f", "g", 1, format, arguments);
            va_end(arguments);
            return result;
        };
        vassert("m_next=%p", static_cast<void *>(nullptr));
    });
    // Each line ends with the local time as fourteen digits; compare the rest exactly.
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = err.find('\n', start)) != std::string::npos;
         start = end + 1) {
        std::string line = err.substr(start, end - start);
        ASSERT_GE(line.size(), 15u) << line;
        std::string stamp = line.substr(line.size() - 14);
        EXPECT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos) << line;
        lines.push_back(line.substr(0, line.size() - 14));
    }
    ASSERT_EQ(lines.size(), 3u) << err;
    EXPECT_EQ(lines[0],
              "tarvik [\x1b[1;31mASSERT\x1b[0m:\x1b[1;34msource/heap\x1b[0m:\x1b[1;32m"
              "tarvik_free_tag\x1b[0m:\x1b[1;37m42\x1b[0m] <\x1b[1;31ms_size < 4\x1b[0m> ");
    EXPECT_EQ(lines[1], "tarvik [\x1b[1;31mASSERT\x1b[0m:\x1b[1;34mUNKNOWN\x1b[0m:\x1b[1;32m"
                        "UNKNOWN\x1b[0m:\x1b[1;37m0\x1b[0m] <\x1b[1;31mNO_MESSAGE\x1b[0m> ");
    EXPECT_EQ(lines[2], "tarvik [\x1b[1;31mASSERT\x1b[0m:\x1b[1;34mf\x1b[0m:\x1b[1;32mg\x1b[0m:"
                        "\x1b[1;37m1\x1b[0m] <\x1b[1;31mm_next=0000000000000000\x1b[0m> ");
}

// Progress lines are captured raw through a handler that writes to the pipe.
int raw_out(const char *text)
{
    if (text == nullptr) {
        return 0;
    }
    return static_cast<int>(write(1, text, strlen(text)));
}

std::string progress(const char *columns, const std::function<int()> &draw, bool raw)
{
    return capture(1, [&] {
        setenv("COLUMNS", columns, 1);
        if (raw) {
            tarvik_set_puts_handler(raw_out, nullptr);
        }
        int result = draw();
        tarvik_set_puts_handler(nullptr, nullptr);
        char line[32];
        snprintf(line, sizeof(line), "|%d", result);
        fflush(stdout);
        (void)!write(1, line, strlen(line));
    });
}

TEST_F(ConsoleTest, ProgressBar)
{
    // 40 columns, prefix "pfx", no suffix: a bar of 40 - 3 - 7 - 1 - 2 = 27 cells. The
    // raw handler returns the bytes written, which becomes the result.
    std::string full =
        "\rpfx\x1b[1;37m100%\x1b[0m [\x1b[1;32m" + std::string(27, '=') + "\x1b[0m]  ";
    EXPECT_EQ(progress(
                  "40", [] { return tarvik_progress_bar(0, 0, "pfx", nullptr, nullptr); }, true),
              full + "|" + std::to_string(full.size()));
    // No prefix, suffix "50/100": 40 - 1 - 7 - 6 - 2 = 24 cells, half of them filled.
    std::string half = "\r \x1b[1;37m 50%\x1b[0m [\x1b[1;32mabc=========\x1b[1;37m>\x1b[0;31m" +
                       std::string(11, ' ') + "\x1b[0m]50/100 ";
    EXPECT_EQ(progress(
                  "40",
                  [] { return tarvik_progress_bar(50, 100, nullptr, "abc", "%d/%d", 50, 100); },
                  true),
              half + "|" + std::to_string(half.size()));
    std::string label = progress(
        "40",
        [] {
            return tarvik_progress_bar(1, 2, nullptr, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ", "%s",
                                       "sfx");
        },
        false);
    // 40 - 1 - 7 - 3 - 2 = 27 cells, 13 filled; stripped because the output is a pipe.
    EXPECT_EQ(label, "\r  50% [0123456789ABC>EFGHIJKLMNOPQ]sfx |40");
    std::string plain = progress(
        "40", [] { return tarvik_progress_bar(3, 4, nullptr, nullptr, nullptr); }, false);
    // 40 - 1 - 7 - 1 - 2 = 29 cells, 21 filled, no label: spaces after the arrow.
    EXPECT_EQ(plain, "\r  75% [" + std::string(21, '=') + ">" + std::string(7, ' ') + "]  |40");
    std::string narrow = progress(
        "10", [] { return tarvik_progress_bar(5, 10, "prefix", nullptr, nullptr); }, false);
    EXPECT_EQ(narrow, "\rprefix 50%  |13");
    std::string huge = progress(
        "20", [] { return tarvik_progress_bar(UINT64_MAX - 1, UINT64_MAX, "", nullptr, nullptr); },
        false);
    // 10 cells: (2^64 - 2) x 10 / (2^64 - 1) is 9 filled cells, not an overflowed product.
    EXPECT_EQ(huge, "\r 99% [=========>]  |20") << "no 64-bit overflow";
    std::string over = progress(
        "20", [] { return tarvik_progress_bar(7, 5, "", nullptr, nullptr); }, false);
    EXPECT_EQ(over, "\r100% [" + std::string(10, '=') + "]  |20") << "value past total is full";
}

TEST_F(ConsoleTest, SpinnerStepsThroughItsFramesEveryHundredMilliseconds)
{
    const std::vector<std::string> frames = {">  ", ">> ", ">>>", " >>", "  >",
                                             "  <", " <<", "<<<", "<< ", "<  "};
    auto index_of = [&](const char *frame) {
        for (size_t i = 0; i < frames.size(); ++i) {
            if (frames[i] == frame) {
                return static_cast<int>(i);
            }
        }
        return -1;
    };
    int previous = index_of(tarvik_roll_string());
    ASSERT_GE(previous, 0);
    for (int step = 0; step < 3; ++step) {
        // Wait for the next step, then ask twice right after it.
        const char *frame = tarvik_roll_string();
        while (index_of(frame) == previous) {
            usleep(2000);
            frame = tarvik_roll_string();
        }
        uint64_t changed = tarvik_time_stamp_msec(nullptr);
        const char *again = tarvik_roll_string();
        uint64_t asked = tarvik_time_stamp_msec(nullptr);
        int current = index_of(frame);
        EXPECT_EQ(current, (previous + 1) % 10) << "frames advance one at a time, in order";
        if (asked - changed < 90) {
            EXPECT_EQ(again, frame) << "same frame within 100 ms";
        }
        previous = current;
    }
}

} // namespace
