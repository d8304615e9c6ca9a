// Argument handle: classification, searches and their match sequences, touched
// operands, the handle's environment and the process-environment helpers.
#include "tarvik_test.hpp"

#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

class ArgumentTest : public TarvikTest {
  protected:
    // Opens over argv[0] = "prog" followed by args; the storage outlives the handle.
    tarvik_argument_t *open(std::vector<const char *> args, const char *program = "prog")
    {
        m_argv.clear();
        m_argv.push_back(const_cast<char *>(program));
        for (const char *arg : args) {
            m_argv.push_back(const_cast<char *>(arg));
        }
        m_argv.push_back(nullptr);
        m_handle = tarvik_open_argument(static_cast<int>(m_argv.size() - 1), m_argv.data());
        return m_handle;
    }
    void TearDown() override
    {
        tarvik_close_argument(m_handle);
        TarvikTest::TearDown();
    }
    std::string search(const char *spec, int index)
    {
        const char *found = tarvik_search_argument_ex(m_handle, spec, index, "<none>");
        return found;
    }
    std::vector<std::string> operands()
    {
        std::vector<std::string> left;
        for (int n = 1;; ++n) {
            const char *text = tarvik_notouch_argument(m_handle, n);
            if (text == nullptr) {
                return left;
            }
            left.push_back(text);
        }
    }

    std::vector<char *> m_argv;
    tarvik_argument_t *m_handle = nullptr;
};

TEST_F(ArgumentTest, MatchSequenceExamples)
{
    const struct {
        std::vector<const char *> m_args;
        std::vector<std::string> m_sequence; // indexes 0, 1, 2, 3
    } rows[] = {
        {{"-t", "5"}, {"-t", "5", "<none>", "<none>"}},
        {{"--timeout=5"}, {"--timeout=5", "5", "<none>", "<none>"}},
        {{"-timeout", "5"}, {"-timeout", "5", "<none>", "<none>"}},
        {{"--t", "5"}, {"--t", "5", "<none>", "<none>"}},
        {{"-t", "5", "6"}, {"-t", "5", "6", "<none>"}},
        {{"-t", "5", "-x", "6"}, {"-t", "5", "<none>", "<none>"}},
        {{"-t", "5", "-t", "7"}, {"-t", "5", "7", "<none>"}},
        {{"-t=5", "6", "-t=7", "8"}, {"-t=5", "5", "6", "8"}},
        {{"--", "-t", "5"}, {"<none>", "<none>", "<none>", "<none>"}},
        {{"-", "-t", "5"}, {"<none>", "<none>", "<none>", "<none>"}},
        {{"-t", "5", "--", "6"}, {"-t", "5", "<none>", "<none>"}},
        {{"a", "-t", "-5"}, {"-t", "-5", "<none>", "<none>"}},
        {{"-t="}, {"-t=", "<none>", "<none>", "<none>"}},
        {{"-t=", "9"}, {"-t=", "9", "<none>", "<none>"}},
        {{"-t=a=b"}, {"-t=a=b", "a=b", "<none>", "<none>"}},
        {{"-T", "5"}, {"<none>", "<none>", "<none>", "<none>"}},
        {{"-tx", "5"}, {"<none>", "<none>", "<none>", "<none>"}},
        {{"---t"}, {"<none>", "<none>", "<none>", "<none>"}},
        {{}, {"<none>", "<none>", "<none>", "<none>"}},
    };
    for (const auto &row : rows) {
        std::string line;
        for (const char *arg : row.m_args) {
            line += std::string(arg) + " ";
        }
        SCOPED_TRACE(line);
        ASSERT_NE(open(row.m_args), nullptr);
        for (int index = 0; index < 4; ++index) {
            EXPECT_EQ(search("t|timeout", index), row.m_sequence[static_cast<size_t>(index)])
                << "index " << index;
        }
        tarvik_close_argument(m_handle);
        m_handle = nullptr;
    }
}

TEST_F(ArgumentTest, ShortAndLongPrefixesAreInterchangeable)
{
    for (const char *form : {"-help", "--help", "-h", "--h"}) {
        open({form});
        EXPECT_STREQ(tarvik_search_argument(m_handle, "h|help", 0), form);
        tarvik_close_argument(m_handle);
    }
    open({"-H"});
    EXPECT_EQ(tarvik_search_argument(m_handle, "h|help", 0), nullptr);
    tarvik_close_argument(m_handle);
    open({"-vd"}); // no bundling of short options
    EXPECT_EQ(tarvik_search_argument(m_handle, "v", 0), nullptr);
    EXPECT_EQ(tarvik_search_argument(m_handle, "d", 0), nullptr);
    EXPECT_STREQ(tarvik_search_argument(m_handle, "vd", 0), "-vd");
}

TEST_F(ArgumentTest, NegativeNumbersArePlainArguments)
{
    open({"-5", "-12", "-1-2", "--5"});
    EXPECT_EQ(tarvik_search_argument(m_handle, "5", 0), std::string("--5"));
    EXPECT_EQ(tarvik_search_argument(m_handle, "12", 0), nullptr);
    EXPECT_EQ(tarvik_search_argument(m_handle, "1-2", 0), nullptr);
    EXPECT_EQ(operands(), (std::vector<std::string>{"-5", "-12", "-1-2"}));
}

TEST_F(ArgumentTest, SpecAlternatives)
{
    open({"-n", "x"});
    EXPECT_STREQ(tarvik_search_argument(m_handle, "q|n|no-progress", 0), "-n");
    EXPECT_EQ(tarvik_search_argument(m_handle, "", 0), nullptr);
    EXPECT_EQ(tarvik_search_argument(m_handle, "n|", 2), nullptr); // a trailing "|" adds nothing
    EXPECT_EQ(tarvik_search_argument(m_handle, "N", 0), nullptr);
    tarvik_close_argument(m_handle);

    // An empty alternative (leading "|" or "||") matches plain arguments from the start.
    open({"a", "b", "-x", "c"});
    EXPECT_STREQ(tarvik_search_argument(m_handle, "|q", 0), "prog");
    EXPECT_STREQ(tarvik_search_argument(m_handle, "q||r", 2), "b");
    EXPECT_EQ(tarvik_search_argument(m_handle, "|q", 3), nullptr);
}

TEST_F(ArgumentTest, RawAccessWithoutSpec)
{
    open({"-t", "5"});
    EXPECT_STREQ(tarvik_search_argument(m_handle, nullptr, 0), "prog");
    EXPECT_STREQ(tarvik_search_argument(m_handle, nullptr, 2), "5");
    EXPECT_STREQ(tarvik_search_argument_ex(m_handle, nullptr, 3, "d"), "d");
    EXPECT_STREQ(tarvik_search_argument_ex(m_handle, "t", -1, "d"), "d");
    EXPECT_STREQ(tarvik_search_argument_ex(m_handle, nullptr, -1, "d"), "d");
    // Raw access touches nothing.
    EXPECT_EQ(operands(), (std::vector<std::string>{"-t", "5"}));
}

TEST_F(ArgumentTest, SearchIntegers)
{
    open({"-a", "12", "-b", "abc", "-c", "0x10", "-d", "-7", "-e"});
    EXPECT_EQ(tarvik_search_argument_int(m_handle, "a", 1, -1), 12);
    EXPECT_EQ(tarvik_search_argument_int(m_handle, "b", 1, -1), -1);
    EXPECT_EQ(tarvik_search_argument_int(m_handle, "c", 1, -1), -1);
    EXPECT_EQ(tarvik_search_argument_int(m_handle, "d", 1, -1), -7);
    EXPECT_EQ(tarvik_search_argument_int(m_handle, "e", 1, -1), -1);
    EXPECT_EQ(tarvik_search_argument_int(m_handle, "z", 1, 33), 33);
    EXPECT_EQ(tarvik_search_argument_int(m_handle, "a", 0, 44), 44); // "-a" is not a number
    EXPECT_EQ(tarvik_search_argument_int(nullptr, "a", 1, 55), 55);
}

TEST_F(ArgumentTest, NotouchListsWhatNoSearchTook)
{
    open({"-v", "-t", "5", "file1", "-x", "file2", "--", "-t", "file3"});
    EXPECT_STREQ(tarvik_notouch_argument(m_handle, 0), "prog");
    // Asking for presence only touches the option, not its value.
    EXPECT_NE(tarvik_search_argument(m_handle, "v|verbose", 0), nullptr);
    EXPECT_NE(tarvik_search_argument(m_handle, "t", 0), nullptr);
    EXPECT_EQ(operands(), (std::vector<std::string>{"5", "file1", "-x", "file2", "-t", "file3"}));
    // Walking further touches the values; an option nobody asked for stays an operand.
    EXPECT_STREQ(tarvik_search_argument(m_handle, "t", 1), "5");
    EXPECT_EQ(operands(), (std::vector<std::string>{"file1", "-x", "file2", "-t", "file3"}));
    // A failed search walks the whole sequence and touches all of it.
    EXPECT_EQ(tarvik_search_argument(m_handle, "t", 9), nullptr);
    EXPECT_EQ(operands(), (std::vector<std::string>{"-x", "file2", "-t", "file3"}));
    EXPECT_EQ(tarvik_notouch_argument(m_handle, 5), nullptr);
    EXPECT_EQ(tarvik_notouch_argument(m_handle, -1), nullptr);
}

TEST_F(ArgumentTest, RepeatedOptionIsTouchedOnlyWhenWalkedPast)
{
    open({"-t", "5", "-t", "7"});
    EXPECT_STREQ(tarvik_search_argument(m_handle, "t", 0), "-t");
    EXPECT_EQ(operands(), (std::vector<std::string>{"5", "-t", "7"}));
    EXPECT_STREQ(tarvik_search_argument(m_handle, "t", 2), "7");
    EXPECT_EQ(operands(), std::vector<std::string>{});
}

TEST_F(ArgumentTest, OnlyTheFirstEndMarkerCounts)
{
    open({"a", "-", "--", "-", "b"});
    EXPECT_EQ(tarvik_search_argument(m_handle, "|", 1), std::string("a"));
    EXPECT_EQ(tarvik_search_argument(m_handle, "|", 2), nullptr);
    // The marker itself is never an operand; later markers are plain text.
    EXPECT_STREQ(tarvik_notouch_argument(m_handle, 0), "--");
    EXPECT_EQ(operands(), (std::vector<std::string>{"-", "b"}));
    tarvik_close_argument(m_handle);
    open({"-t", "--", "--", "x"});
    EXPECT_EQ(operands(), (std::vector<std::string>{"-t", "--", "x"}));
}

TEST_F(ArgumentTest, ProgramName)
{
    const struct {
        const char *m_argv0;
        const char *m_name;
    } rows[] = {
        {"/usr/bin/vexa", "vexa"}, {"C:\\bin\\vexa.exe", "vexa.exe"},
        {"vexa", "vexa"},          {"dir/", ""},
        {"a/b\\c", "c"},           {"", ""},
    };
    for (const auto &row : rows) {
        open({}, row.m_argv0);
        EXPECT_STREQ(tarvik_argument_get_program_name(m_handle), row.m_name) << row.m_argv0;
        tarvik_close_argument(m_handle);
        m_handle = nullptr;
    }
    m_handle = tarvik_open_argument(0, nullptr);
    ASSERT_NE(m_handle, nullptr);
    EXPECT_STREQ(tarvik_argument_get_program_name(m_handle), ".");
    EXPECT_EQ(tarvik_notouch_argument(m_handle, 0), nullptr);
    EXPECT_EQ(tarvik_search_argument(m_handle, nullptr, 0), nullptr);
    EXPECT_EQ(tarvik_argument_get_program_name(nullptr), nullptr);
}

TEST_F(ArgumentTest, NullEntriesInArgvAreLeftOut)
{
    char a[] = "prog";
    char b[] = "x";
    char *argv[] = {a, nullptr, b, nullptr};
    m_handle = tarvik_open_argument(3, argv);
    EXPECT_STREQ(tarvik_notouch_argument(m_handle, 1), "x");
    EXPECT_EQ(tarvik_notouch_argument(m_handle, 2), nullptr);
    EXPECT_EQ(tarvik_search_argument_ex(m_handle, nullptr, 1, "d"), std::string("d"));
}

TEST_F(ArgumentTest, NullArguments)
{
    EXPECT_EQ(tarvik_close_argument(nullptr), 0);
    EXPECT_EQ(tarvik_search_argument(nullptr, "t", 0), nullptr);
    EXPECT_STREQ(tarvik_search_argument_ex(nullptr, "t", 0, "d"), "d");
    EXPECT_EQ(tarvik_notouch_argument(nullptr, 0), nullptr);
    EXPECT_EQ(tarvik_argument_search_environ(nullptr, "X"), nullptr);
    open({"-t"});
    EXPECT_EQ(tarvik_argument_search_environ(m_handle, "X"), nullptr); // no environment
    EXPECT_EQ(tarvik_argument_search_environ(m_handle, nullptr), nullptr);
    tarvik_close_argument(m_handle);
    m_handle = tarvik_open_argument(-3, nullptr);
    EXPECT_STREQ(tarvik_argument_get_program_name(m_handle), ".");
}

TEST_F(ArgumentTest, HandleAllocationsCarryTheirTags)
{
    char a[] = "prog";
    char e[] = "A=1";
    char *argv[] = {a, nullptr};
    char *envp[] = {e, nullptr};
    m_handle = tarvik_open_argument_ex(1, argv, envp);
    // The walk runs under the heap lock: collect static tag pointers, compare afterwards.
    struct Tags {
        const char *m_tag[8];
        size_t m_count;
    } seen{};
    tarvik_get_alloc_list(
        5,
        [](const tarvik_heap_block_t *block, void *context) {
            auto *tags = static_cast<Tags *>(context);
            tags->m_tag[tags->m_count++] = block->m_tag;
            return 0;
        },
        &seen);
    std::multiset<std::string> tags(seen.m_tag, seen.m_tag + seen.m_count);
    EXPECT_EQ(tags,
              (std::multiset<std::string>{"tarvik_open_argument_ex", "tarvik_new_argument_node",
                                          "tarvik_new_argument_node", "tarvik_new_argument_node",
                                          "tarvik_new_environ_node"}));
}

TEST_F(ArgumentTest, EnvironmentLastDefinitionWins)
{
    char e0[] = "PATH=/bin";
    char e1[] = "";
    char e2[] = "  Query_String=a=1&b=2";
    char e3[] = "path=/usr/bin";
    char e4[] = "FLAG";
    char e5[] = "QUERY_STRING=";
    char e6[] = "=orphan";
    char *envp[] = {e0, e1, e2, e3, e4, e5, e6, nullptr};
    char a[] = "x.cgi";
    char *argv[] = {a, nullptr};
    m_handle = tarvik_open_argument_ex(1, argv, envp);
    ASSERT_NE(m_handle, nullptr);
    EXPECT_STREQ(tarvik_argument_search_environ(m_handle, "PATH"), "/usr/bin");
    EXPECT_STREQ(tarvik_argument_search_environ(m_handle, "Path"), "/usr/bin");
    EXPECT_STREQ(tarvik_argument_search_environ(m_handle, "query_string"), "");
    EXPECT_STREQ(tarvik_argument_search_environ(m_handle, "flag"), "");
    EXPECT_STREQ(tarvik_argument_search_environ(m_handle, ""), "orphan");
    EXPECT_EQ(tarvik_argument_search_environ(m_handle, "PAT"), nullptr);
    EXPECT_EQ(tarvik_argument_search_environ(m_handle, "PATH=/bin"), nullptr);
    // The entries are copied: the caller's texts are untouched.
    EXPECT_STREQ(e2, "  Query_String=a=1&b=2");
}

TEST_F(ArgumentTest, EnvironmentValueKeepsLaterEquals)
{
    char e0[] = "QUERY_STRING=a=1&b=2";
    char *envp[] = {e0, nullptr};
    m_handle = tarvik_open_argument_ex(0, nullptr, envp);
    EXPECT_STREQ(tarvik_argument_search_environ(m_handle, "QUERY_STRING"), "a=1&b=2");
}

TEST_F(ArgumentTest, ProcessEnvironmentHelpers)
{
    ASSERT_EQ(tarvik_setenv("TARVIK_TEST_B", "2", 1), 0);
    ASSERT_EQ(tarvik_setenv("TARVIK_TEST_A", nullptr, 1), 0);
    char *value = tarvik_alloc_getenv("TARVIK_TEST_A|TARVIK_TEST_B");
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "2");
    tarvik_free_tag(value, "test", 0);
    ASSERT_EQ(tarvik_setenv("TARVIK_TEST_A", "1", 0), 0);
    EXPECT_EQ(tarvik_setenv("TARVIK_TEST_A", "9", 0), 0); // not overwritten
    value = tarvik_alloc_getenv("TARVIK_TEST_A|TARVIK_TEST_B");
    EXPECT_STREQ(value, "1");
    tarvik_free_tag(value, "test", 0);
    // A prefix of a set name is not that name.
    EXPECT_EQ(tarvik_alloc_getenv("TARVIK_TEST"), nullptr);
    EXPECT_EQ(tarvik_alloc_getenv("||TARVIK_TEST_C"), nullptr);
    EXPECT_EQ(tarvik_alloc_getenv(""), nullptr);
    EXPECT_EQ(tarvik_alloc_getenv(nullptr), nullptr);

    static char entry[] = "TARVIK_TEST_C=3";
    EXPECT_EQ(tarvik_putenv(entry), 0);
    value = tarvik_alloc_getenv("TARVIK_TEST_C");
    EXPECT_STREQ(value, "3");
    tarvik_free_tag(value, "test", 0);
    bool seen = false;
    for (char **env = tarvik_environ(); env != nullptr && *env != nullptr; ++env) {
        seen = seen || std::string(*env) == "TARVIK_TEST_C=3";
    }
    EXPECT_TRUE(seen);

    EXPECT_EQ(tarvik_setenv("TARVIK_TEST_A", nullptr, 1), 0);
    EXPECT_EQ(tarvik_setenv("TARVIK_TEST_B", nullptr, 1), 0);
    EXPECT_EQ(tarvik_setenv("TARVIK_TEST_C", nullptr, 1), 0);
    EXPECT_EQ(getenv("TARVIK_TEST_A"), nullptr);
    EXPECT_EQ(tarvik_setenv(nullptr, "x", 1), -1);
    EXPECT_EQ(tarvik_setenv("", "x", 1), -1);
    EXPECT_EQ(tarvik_putenv(nullptr), -1);
}

} // namespace
