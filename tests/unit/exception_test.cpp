// Scope trace entries and the exit dump.
#include "capture.hpp"
#include "tarvik_test.hpp"

#include <vector>

namespace {

class ExceptionTest : public TarvikTest {};

TEST_F(ExceptionTest, EntriesAreCountedAndListedNewestFirst)
{
    unsigned long base = tarvik_get_exception_count();
    tarvik_exception_t *outer = tarvik_add_exception_tag("source/a", "outer", 10);
    tarvik_exception_t *inner = tarvik_add_exception_tag("source/b", "inner", 20);
    ASSERT_NE(outer, nullptr);
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(tarvik_get_exception_count(), base + 2);
    std::string err = capture_stderr([] { tarvik_dump_exception_tag(0, "f", "fn", 5); });
    EXPECT_NE(err.find("CONSOLE # dump exception at f:fn:5 (section=2, heap size/count/peak="),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("active/ready/threads/max=0/0/0/0) {\n"), std::string::npos);
    size_t at_inner = err.find("CONSOLE #     source/b:inner():20 (-");
    size_t at_outer = err.find("CONSOLE #     source/a:outer():10 (-");
    ASSERT_NE(at_inner, std::string::npos);
    ASSERT_NE(at_outer, std::string::npos);
    EXPECT_LT(at_inner, at_outer);
    EXPECT_NE(err.find("CONSOLE # }\n"), std::string::npos);
    EXPECT_EQ(tarvik_del_exception_tag(outer), 0);
    EXPECT_EQ(tarvik_del_exception_tag(inner), 0);
    EXPECT_EQ(tarvik_get_exception_count(), base);
}

TEST_F(ExceptionTest, NothingLeftPrintsNothingUnlessForced)
{
    EXPECT_EQ(capture_stderr([] { tarvik_dump_exception_tag(0, "f", "fn", 1); }), "");
    std::string forced = capture_stderr([] { tarvik_dump_exception_tag(1, nullptr, nullptr, 2); });
    EXPECT_EQ(forced, "CONSOLE # dump exception at ::2 (section=0, heap size/count/peak=0/0/" +
                          std::to_string(tarvik_get_alloc_peak()) +
                          ", active/ready/threads/max=0/0/0/0).\n");
}

TEST_F(ExceptionTest, OneLeakedBlockGivesHeaderAndOneLine)
{
    void *leak = tarvik_alloc_tag(5, "leaker", 33);
    std::string err = capture_stderr([] { tarvik_dump_exception_tag(0, "m", "main", 3); });
    tarvik_free_tag(leak, "test", 0);
    EXPECT_EQ(count_lines_with(err, "dump exception at m:main:3"), 1u);
    EXPECT_NE(err.find(").\n"), std::string::npos);
    EXPECT_EQ(count_lines_with(err, "[ALLOCATED:"), 1u);
    EXPECT_NE(err.find("CONSOLE # [ALLOCATED:leaker():33] 8 bytes at "), std::string::npos);
}

TEST_F(ExceptionTest, SwitchZeroSilencesTheDump)
{
    Captured run = run_in_child([] {
        void *leak = tarvik_alloc_tag(5, "leaker", 1);
        tarvik_set_force_dump_exception(0);
        tarvik_dump_exception_tag(1, "m", "main", 1);
        tarvik_set_force_dump_exception(1);
        tarvik_dump_exception_tag(0, "m", "main", 2);
        return leak != nullptr ? 0 : 1;
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(count_lines_with(run.err, "dump exception at"), 1u) << run.err;
    EXPECT_NE(run.err.find("m:main:2"), std::string::npos);
}

TEST_F(ExceptionTest, EntryPastTheLimitIsReportedAndKept)
{
    Captured run = run_in_child([] {
        std::vector<tarvik_exception_t *> entries;
        for (int i = 0; i < TARVIK_EXCEPTION_LIMIT; ++i) {
            entries.push_back(tarvik_add_exception_tag("s", "f", 1));
        }
        fprintf(stderr, "--limit--\n");
        tarvik_exception_t *extra = tarvik_add_exception_tag("s", "f", 2);
        int ok = extra != nullptr && tarvik_get_exception_count() == TARVIK_EXCEPTION_LIMIT + 1;
        tarvik_del_exception_tag(extra);
        for (auto *entry : entries) {
            tarvik_del_exception_tag(entry);
        }
        return ok && tarvik_get_exception_count() == 0 ? 0 : 1;
    });
    EXPECT_EQ(run.status, 0);
    size_t mark = run.err.find("--limit--\n");
    ASSERT_NE(mark, std::string::npos);
    EXPECT_EQ(run.err.find("too many exception entry"),
              run.err.find("too many exception entry", mark));
    EXPECT_NE(run.err.find("too many exception entry", mark), std::string::npos);
}

TEST_F(ExceptionTest, DeletingNullIsReported)
{
    std::string err = capture_stderr([] { EXPECT_EQ(tarvik_del_exception_tag(nullptr), 0); });
    EXPECT_NE(err.find("invalid argument"), std::string::npos);
}

} // namespace
