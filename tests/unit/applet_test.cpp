// The applet kit: one option table answers every question, leaves the operands, checks
// number ranges and prints the usage text from the same rows.
#include "tarvik_test.hpp"

#include "applet.hpp"
#include "capture.hpp"

#include <fcntl.h>
#include <string>
#include <vector>

namespace {

enum : size_t { HELP, TIMEOUT, EXAMPLES, QUIET };
constexpr vexa::Option OPTIONS[] = {
    {"h|help", vexa::Takes::NOTHING, "\t-h, --help    : help\n"},
    {"t|timeout", vexa::Takes::VALUE, "\t-t <msec>     : %s\n"},
    {nullptr, vexa::Takes::NOTHING, "Examples:\n\t%s -t 5 file\n"},
    {"q|quiet", vexa::Takes::NOTHING, nullptr}, // accepted, left out of the usage
};
constexpr vexa::Usage USAGE = vexa::usage_of("usage: %s [<options>] <file>\n", OPTIONS, "\n");

class AppletTest : public TarvikTest {};

// A command line the kit may keep pointers into for as long as the test runs.
struct CommandLine {
    std::vector<std::string> m_words;
    std::vector<char *> m_argv;
    explicit CommandLine(std::vector<std::string> words) : m_words(std::move(words))
    {
        for (std::string &word : m_words) {
            m_argv.push_back(word.data());
        }
        m_argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(m_words.size()); }
    char **argv() { return m_argv.data(); }
};

std::vector<std::string> operands(const vexa::Arguments &arguments)
{
    std::vector<std::string> words;
    for (int n = 0; n < arguments.operand_count(); ++n) {
        words.emplace_back(arguments.operand(n));
    }
    return words;
}

TEST_F(AppletTest, EveryQuestionIsAskedOnceWhateverTheReadingOrder)
{
    CommandLine line(
        {"/usr/bin/prog", "file", "-t", "250", "--dump_exception", "-quiet", "--", "-t", "tail"});
    vexa::Arguments arguments(line.argc(), line.argv(), USAGE);
    ASSERT_TRUE(arguments.ok());
    EXPECT_STREQ(arguments.program_name(), "prog");
    // Operands first: the values of the options are already taken.
    EXPECT_EQ(operands(arguments), (std::vector<std::string>{"file", "-t", "tail"}));
    EXPECT_FALSE(arguments.has(HELP));
    EXPECT_FALSE(arguments.has(EXAMPLES)); // a usage line, never an option
    EXPECT_TRUE(arguments.has(QUIET));
    EXPECT_TRUE(arguments.has(TIMEOUT));
    EXPECT_STREQ(arguments.value(TIMEOUT), "250");
    EXPECT_STREQ(arguments.value(TIMEOUT, 0), "-t");
    EXPECT_EQ(arguments.integer(TIMEOUT, -1), 250);
    EXPECT_EQ(arguments.integer(HELP, -1), -1);
    EXPECT_EQ(arguments.value(HELP, 1, "none"), std::string("none"));
    EXPECT_EQ(arguments.operand(3), nullptr);
    EXPECT_EQ(arguments.operand(-1), nullptr);
}

TEST_F(AppletTest, NumbersAreCheckedAgainstTheirRange)
{
    const struct {
        std::vector<std::string> m_words;
        bool m_ok;
        long long m_value;
        std::string m_message;
    } rows[] = {
        {{"prog"}, true, 1000, ""},
        {{"prog", "-t", "0"}, true, 0, ""},
        {{"prog", "--timeout=60000"}, true, 60000, ""},
        {{"prog", "-t", "60001"},
         false,
         0,
         "prog: invalid value for --t: \"60001\" (expected 0..60000)\n"},
        {{"prog", "-t", "-5"},
         false,
         0,
         "prog: invalid value for --t: \"-5\" (expected 0..60000)\n"},
        {{"prog", "-t", "12ms"},
         false,
         0,
         "prog: invalid value for --t: \"12ms\" (expected 0..60000)\n"},
        {{"prog", "--timeout="},
         false,
         0,
         "prog: invalid value for --t: \"\" (expected 0..60000)\n"},
        {{"prog", "-t", "99999999999999999999"},
         false,
         0,
         "prog: invalid value for --t: \"99999999999999999999\" (expected 0..60000)\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.m_words.back());
        CommandLine line(row.m_words);
        vexa::Arguments arguments(line.argc(), line.argv(), USAGE);
        long long value = -1;
        bool ok = false;
        std::string message =
            capture_stderr([&] { ok = arguments.number(TIMEOUT, 0, 60000, 1000, &value); });
        EXPECT_EQ(ok, row.m_ok);
        if (row.m_ok) {
            EXPECT_EQ(value, row.m_value);
        }
        EXPECT_EQ(message, row.m_message);
    }
}

TEST_F(AppletTest, UsageIsPrintedFromTheTable)
{
    Captured printed = run_in_child([] {
        CommandLine line({"prog", "-h"});
        vexa::Arguments arguments(line.argc(), line.argv(), USAGE);
        arguments.usage(arguments.program_name(), "wait this long", arguments.program_name());
        tarvik_puts(nullptr);
        return 0;
    });
    EXPECT_EQ(printed.out, "usage: prog [<options>] <file>\n"
                           "\t-h, --help    : help\n"
                           "\t-t <msec>     : wait this long\n"
                           "Examples:\n"
                           "\tprog -t 5 file\n"
                           "\n");
    EXPECT_EQ(printed.err, "");
}

TEST_F(AppletTest, PrintableTextAndWriteErrors)
{
    char buffer[8];
    EXPECT_STREQ(vexa::printable("a\tb\x1b[2J", buffer, sizeof(buffer)), "a?b?[2J");
    EXPECT_STREQ(vexa::printable("caf\xc3\xa9!", buffer, sizeof(buffer)), "caf\xc3\xa9!");
    EXPECT_STREQ(vexa::printable("0123456789", buffer, sizeof(buffer)), "0123456");
    EXPECT_STREQ(vexa::printable(nullptr, buffer, sizeof(buffer)), "");
    EXPECT_EQ(vexa::printable("x", buffer, 0), buffer);

    Captured full = run_in_child([] {
        int device = open("/dev/full", O_WRONLY);
        if (device < 0 || dup2(device, 1) < 0) {
            return 3;
        }
        printf("%s", std::string(100000, 'x').c_str());
        return vexa::output_ok("prog") ? 0 : 1;
    });
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "prog: write error: No space left on device\n");
    Captured fine = run_in_child([] {
        printf("ok\n");
        return vexa::output_ok("prog") ? 0 : 1;
    });
    EXPECT_EQ(fine.status, 0);
    EXPECT_EQ(fine.out, "ok\n");
}

} // namespace
