// Unit tests of the range sets: merging, splitting, completeness, allocation and the
// text form.
#include "tarvik_test.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

class FragmentTest : public TarvikTest {
  protected:
    void SetUp() override
    {
        TarvikTest::SetUp();
        tarvik_init_fragment(&m_set);
    }
    void TearDown() override
    {
        tarvik_uninit_fragment(&m_set);
        TarvikTest::TearDown();
    }

    std::string text(const tarvik_fragment_t *fragment = nullptr)
    {
        char *s = tarvik_fragment_to_string(fragment != nullptr ? fragment : &m_set);
        std::string out = s != nullptr ? s : "(null)";
        tarvik_free_tag(s, __func__, __LINE__);
        return out;
    }

    tarvik_fragment_t m_set;
};

TEST_F(FragmentTest, AddMergesTouchingAndOverlappingRanges)
{
    ASSERT_EQ(tarvik_add_fragment(&m_set, 0, 4), 0);
    ASSERT_EQ(tarvik_add_fragment(&m_set, 4, 4), 0);
    EXPECT_EQ(text(), "0-7");
    EXPECT_EQ(m_set.m_covered, 8u);
    EXPECT_EQ(m_set.m_total, 8u);

    tarvik_add_fragment(&m_set, 20, 2);
    tarvik_add_fragment(&m_set, 12, 3);
    tarvik_add_fragment(&m_set, 30, 1);
    EXPECT_EQ(text(), "0-7|12-14|20-21|30");
    EXPECT_EQ(m_set.m_covered, 14u);
    // bridges three ranges at once
    tarvik_add_fragment(&m_set, 6, 15);
    EXPECT_EQ(text(), "0-21|30");
    EXPECT_EQ(m_set.m_covered, 23u);
    EXPECT_EQ(m_set.m_last->m_offset, 30u);
    tarvik_add_fragment(&m_set, 25, 0);
    EXPECT_EQ(text(), "0-21|30");
    // inside an existing range: nothing changes
    tarvik_add_fragment(&m_set, 3, 2);
    EXPECT_EQ(m_set.m_covered, 23u);
    EXPECT_EQ(m_set.m_last_end, 5u);
    EXPECT_EQ(m_set.m_total, 31u);
    // covering the tail range extends the last node
    tarvik_add_fragment(&m_set, 29, 5);
    EXPECT_EQ(text(), "0-21|29-33");
    EXPECT_EQ(m_set.m_last->m_offset, 29u);
    EXPECT_EQ(m_set.m_covered, 27u);
}

TEST_F(FragmentTest, ManyNodesSpanSeveralPoolBlocks)
{
    for (uint64_t i = 0; i < 1000; ++i) {
        ASSERT_EQ(tarvik_add_fragment(&m_set, i * 2, 1), 0);
    }
    EXPECT_EQ(m_set.m_covered, 1000u);
    for (uint64_t i = 0; i < 1000; ++i) {
        tarvik_add_fragment(&m_set, i * 2 + 1, 1);
    }
    EXPECT_EQ(text(), "0-1999");
    EXPECT_EQ(m_set.m_first, m_set.m_last);
}

TEST_F(FragmentTest, RangesAtTheTopOfTheNumberLineAreCut)
{
    EXPECT_EQ(tarvik_add_fragment(&m_set, UINT64_MAX - 2, 10), 0);
    EXPECT_EQ(m_set.m_covered, 2u);
    EXPECT_EQ(m_set.m_total, UINT64_MAX);
    EXPECT_EQ(tarvik_check_fragment(&m_set, UINT64_MAX - 2, 2), 0);
    EXPECT_EQ(tarvik_check_fragment(&m_set, UINT64_MAX - 2, 3), -1);
}

TEST_F(FragmentTest, DeleteShortensAndSplits)
{
    tarvik_add_fragment(&m_set, 0, 8);
    ASSERT_EQ(tarvik_del_fragment(&m_set, 2, 1), 0);
    EXPECT_EQ(text(), "0-1|3-7");
    EXPECT_EQ(m_set.m_covered, 7u);

    tarvik_add_fragment(&m_set, 10, 5);
    tarvik_add_fragment(&m_set, 20, 5);
    // trims the end of one, removes one, trims the start of another
    tarvik_del_fragment(&m_set, 6, 16);
    EXPECT_EQ(text(), "0-1|3-5|22-24");
    EXPECT_EQ(m_set.m_covered, 8u);
    tarvik_del_fragment(&m_set, 22, 3);
    EXPECT_EQ(text(), "0-1|3-5");
    EXPECT_EQ(m_set.m_last->m_offset, 3u);
    tarvik_del_fragment(&m_set, 0, 100);
    EXPECT_EQ(text(), "");
    EXPECT_EQ(m_set.m_first, nullptr);
    EXPECT_EQ(m_set.m_last, nullptr);
    EXPECT_EQ(m_set.m_covered, 0u);
    EXPECT_EQ(tarvik_del_fragment(&m_set, 5, 0), 0);
}

TEST_F(FragmentTest, CheckWantsOneStoredRange)
{
    tarvik_add_fragment(&m_set, 0, 4);
    tarvik_add_fragment(&m_set, 5, 1);
    EXPECT_EQ(tarvik_check_fragment(&m_set, 2, 3), -1);
    EXPECT_EQ(tarvik_check_fragment(&m_set, 1, 2), 0);
    EXPECT_EQ(tarvik_check_fragment(&m_set, 0, 4), 0);
    EXPECT_EQ(tarvik_check_fragment(&m_set, 5, 1), 0);
    EXPECT_EQ(tarvik_check_fragment(&m_set, 4, 1), -1);
    EXPECT_EQ(tarvik_check_fragment(&m_set, 6, 1), -1);
    EXPECT_EQ(tarvik_check_fragment(&m_set, 1, 0), -1);
    EXPECT_EQ(tarvik_check_fragment(nullptr, 1, 1), -1);
    EXPECT_EQ(tarvik_check_fragment_string("0-3|5", 2, 3), -1);
    EXPECT_EQ(tarvik_check_fragment_string("0-3|5", 1, 2), 0);
    EXPECT_EQ(tarvik_check_fragment_string(nullptr, 1, 2), -1);
}

TEST_F(FragmentTest, CompletenessUnbounded)
{
    EXPECT_EQ(tarvik_is_complete_fragment(&m_set), -1);
    tarvik_add_fragment(&m_set, 0, 10);
    EXPECT_EQ(tarvik_is_complete_fragment(&m_set), 0);
    tarvik_add_fragment(&m_set, 12, 2);
    EXPECT_EQ(tarvik_is_complete_fragment(&m_set), 1);
    tarvik_add_fragment(&m_set, 10, 2);
    EXPECT_EQ(tarvik_is_complete_fragment(&m_set), 0);
    // the highest end ever added stays the measure
    tarvik_del_fragment(&m_set, 12, 2);
    EXPECT_EQ(tarvik_is_complete_fragment(&m_set), 1);
    tarvik_reset_fragment(&m_set);
    EXPECT_EQ(m_set.m_total, 0u);
    tarvik_add_fragment(&m_set, 3, 2);
    EXPECT_EQ(tarvik_is_complete_fragment(&m_set), 1);
    EXPECT_EQ(tarvik_is_complete_fragment(nullptr), -1);
}

TEST_F(FragmentTest, CompletenessBounded)
{
    tarvik_set_fragment_flags(&m_set, TARVIK_FRAGMENT_BOUNDED, 0);
    EXPECT_EQ(tarvik_is_complete_fragment(&m_set), 0);
    tarvik_set_fragment_flags(&m_set, TARVIK_FRAGMENT_BOUNDED, 100);
    EXPECT_EQ(tarvik_is_complete_fragment(&m_set), -1);
    tarvik_add_fragment(&m_set, 0, 50);
    EXPECT_EQ(m_set.m_total, 100u);
    EXPECT_EQ(tarvik_is_complete_fragment(&m_set), -1);
    tarvik_add_fragment(&m_set, 50, 50);
    EXPECT_EQ(tarvik_is_complete_fragment(&m_set), 0);
    tarvik_add_fragment(&m_set, 200, 1);
    EXPECT_EQ(tarvik_is_complete_fragment(&m_set), 1);
    tarvik_reset_fragment(&m_set);
    EXPECT_EQ(m_set.m_total, 100u);
    EXPECT_EQ(tarvik_is_complete_fragment(&m_set), -1);
}

TEST_F(FragmentTest, FirstFitAllocation)
{
    tarvik_add_fragment(&m_set, 0, 3);
    tarvik_add_fragment(&m_set, 5, 1);
    uint64_t offset = 99;
    ASSERT_EQ(tarvik_alloc_fragment(&m_set, 1, &offset), 0);
    EXPECT_EQ(offset, 3u);
    ASSERT_EQ(tarvik_alloc_fragment(&m_set, 2, &offset), 0);
    EXPECT_EQ(offset, 6u);
    EXPECT_EQ(text(), "0-3|5-7");
    ASSERT_EQ(tarvik_alloc_fragment(&m_set, 1, &offset), 0);
    EXPECT_EQ(offset, 4u);
    EXPECT_EQ(text(), "0-7");

    tarvik_reset_fragment(&m_set);
    tarvik_add_fragment(&m_set, 4, 2);
    ASSERT_EQ(tarvik_alloc_fragment(&m_set, 4, &offset), 0);
    EXPECT_EQ(offset, 0u);
    ASSERT_EQ(tarvik_alloc_fragment(&m_set, 1, &offset), 0);
    EXPECT_EQ(offset, 6u);

    EXPECT_EQ(tarvik_alloc_fragment(&m_set, 0, &offset), -1);
    EXPECT_EQ(tarvik_alloc_fragment(&m_set, 1, nullptr), -1);
    EXPECT_EQ(tarvik_alloc_fragment(nullptr, 1, &offset), -1);
}

TEST_F(FragmentTest, FirstFitRespectsTheBound)
{
    tarvik_set_fragment_flags(&m_set, TARVIK_FRAGMENT_BOUNDED, 4);
    uint64_t offset = 0;
    EXPECT_EQ(tarvik_alloc_fragment(&m_set, 5, &offset), -1);
    for (uint64_t i = 0; i < 4; ++i) {
        ASSERT_EQ(tarvik_alloc_fragment(&m_set, 1, &offset), 0);
        EXPECT_EQ(offset, i);
    }
    EXPECT_EQ(tarvik_alloc_fragment(&m_set, 1, &offset), -1);
    EXPECT_EQ(tarvik_is_complete_fragment(&m_set), 0);
    tarvik_del_fragment(&m_set, 1, 1);
    ASSERT_EQ(tarvik_alloc_fragment(&m_set, 1, &offset), 0);
    EXPECT_EQ(offset, 1u);
}

TEST_F(FragmentTest, RotatingAllocationWrapsOnce)
{
    tarvik_set_fragment_flags(&m_set, TARVIK_FRAGMENT_BOUNDED | TARVIK_FRAGMENT_ROTATING, 5);
    uint64_t offset = 0;
    for (uint64_t i = 0; i < 5; ++i) {
        ASSERT_EQ(tarvik_alloc_fragment(&m_set, 1, &offset), 0);
        EXPECT_EQ(offset, i);
    }
    EXPECT_EQ(tarvik_alloc_fragment(&m_set, 1, &offset), -1);
    // freed identifiers are not reused until the search wraps
    tarvik_del_fragment(&m_set, 1, 1);
    tarvik_del_fragment(&m_set, 3, 1);
    ASSERT_EQ(tarvik_alloc_fragment(&m_set, 1, &offset), 0);
    EXPECT_EQ(offset, 1u);
    ASSERT_EQ(tarvik_alloc_fragment(&m_set, 1, &offset), 0);
    EXPECT_EQ(offset, 3u);
    EXPECT_EQ(tarvik_alloc_fragment(&m_set, 1, &offset), -1);
}

TEST_F(FragmentTest, RotatingSkipsFreedLowerIds)
{
    tarvik_set_fragment_flags(&m_set, TARVIK_FRAGMENT_ROTATING, 0);
    uint64_t offset = 0;
    tarvik_alloc_fragment(&m_set, 1, &offset);
    tarvik_alloc_fragment(&m_set, 1, &offset);
    tarvik_alloc_fragment(&m_set, 1, &offset);
    EXPECT_EQ(offset, 2u);
    tarvik_del_fragment(&m_set, 0, 2);
    ASSERT_EQ(tarvik_alloc_fragment(&m_set, 1, &offset), 0);
    EXPECT_EQ(offset, 3u);
    // an empty set continues at the remembered position
    tarvik_del_fragment(&m_set, 0, 10);
    ASSERT_EQ(tarvik_alloc_fragment(&m_set, 2, &offset), 0);
    EXPECT_EQ(offset, 4u);
    // near the top of the positive range the search restarts at 0
    tarvik_del_fragment(&m_set, 0, 10);
    tarvik_add_fragment(&m_set, INT64_MAX - 1, 1);
    ASSERT_EQ(tarvik_alloc_fragment(&m_set, 3, &offset), 0);
    EXPECT_EQ(offset, 0u);
}

TEST_F(FragmentTest, TextFormOfRanges)
{
    tarvik_add_fragment(&m_set, 5, 1);
    EXPECT_EQ(text(), "5");
    tarvik_reset_fragment(&m_set);
    tarvik_add_fragment(&m_set, 0, 2);
    tarvik_add_fragment(&m_set, 4, 1);
    EXPECT_EQ(text(), "0-1|4");
    EXPECT_EQ(tarvik_fragment_to_string(nullptr), nullptr);
}

TEST_F(FragmentTest, ParsingTable)
{
    struct Row {
        const char *input;
        const char *expected;
    };
    const Row rows[] = {
        {"0-3", "0-3"},
        {"0-1|4", "0-1|4"},
        {" 1 - 3 | 7 ", "1-3|7"},
        {"1~2|4:5", "1-2|4-5"},
        {"0x10-0x11", "16-17"},
        {"5-2", "5"},
        {"5-", "5"},
        {"3|1|2", "1-3"},
        {"1,2;3&4", "1-4"},
        {"x=0-1|4,y=2", "x=0-1|4,y=2"},
        {" x = 1 ; x=2", "x=1-2"},
        {"=7", "7"},
        {"", ""},
        {"abc|-4|9", "9"},
        {"x=", ""},
    };
    for (const Row &row : rows) {
        tarvik_fragment_t *set = tarvik_string_to_fragment(nullptr, row.input, 0);
        ASSERT_NE(set, nullptr) << row.input;
        EXPECT_EQ(text(set), row.expected) << row.input;
        tarvik_close_fragment(set);
    }
}

TEST_F(FragmentTest, ParsedChainHoldsNamedFragments)
{
    ASSERT_EQ(tarvik_string_to_fragment(&m_set, "x=0-1|4,y=2", 0), &m_set);
    tarvik_fragment_t *x = tarvik_find_fragment(&m_set, "x");
    tarvik_fragment_t *y = tarvik_find_fragment(&m_set, "y");
    ASSERT_NE(x, nullptr);
    ASSERT_NE(y, nullptr);
    EXPECT_EQ(m_set.m_next, x);
    EXPECT_EQ(x->m_next, y);
    // the text form covers the chain from the given fragment on
    EXPECT_EQ(text(y), "y=2");
    EXPECT_EQ(text(x), "x=0-1|4,y=2");
    EXPECT_EQ(x->m_covered, 3u);
    EXPECT_EQ(tarvik_is_complete_fragment_ex(&m_set, "y"), 1);
    EXPECT_EQ(tarvik_is_complete_fragment_ex(&m_set, "z"), -1);

    // append keeps, otherwise reset first
    tarvik_string_to_fragment(&m_set, "9", 1);
    EXPECT_EQ(text(), "9,x=0-1|4,y=2");
    tarvik_string_to_fragment(&m_set, "y=3", 0);
    EXPECT_EQ(text(), "y=3");
}

TEST_F(FragmentTest, NamedAddAndDeleteKeepTheChain)
{
    tarvik_add_fragment(&m_set, 0, 2);
    ASSERT_EQ(tarvik_add_fragment_ex(&m_set, "a", 4, 2), 0);
    ASSERT_EQ(tarvik_add_fragment_ex(&m_set, "b", 7, 1), 0);
    ASSERT_EQ(tarvik_add_fragment_ex(&m_set, "a", 6, 1), 0);
    EXPECT_EQ(text(), "0-1,a=4-6,b=7");
    EXPECT_EQ(tarvik_del_fragment_ex(&m_set, "a", 0, 100), 0);
    EXPECT_EQ(tarvik_find_fragment(&m_set, "a"), nullptr);
    EXPECT_EQ(text(), "0-1,b=7");
    EXPECT_EQ(tarvik_del_fragment_ex(&m_set, "zz", 0, 1), -1);
    EXPECT_EQ(tarvik_del_fragment_ex(&m_set, nullptr, 0, 2), 0);
    EXPECT_EQ(text(), "b=7");

    tarvik_fragment_t *named = tarvik_open_fragment_ex("cpu");
    ASSERT_NE(named, nullptr);
    tarvik_add_fragment(named, 0, 4);
    EXPECT_EQ(text(named), "cpu=0-3");
    tarvik_add_fragment_ex(named, "cpu", 4, 1);
    EXPECT_EQ(text(named), "cpu=0-4");
    EXPECT_EQ(named->m_next, nullptr);
    tarvik_close_fragment(named);
}

TEST_F(FragmentTest, RoundTrip)
{
    const char *inputs[] = {"0-7", "1|3|5-9|100-200", "a=1,b=2-3|9,c=18446744073709551614"};
    for (const char *input : inputs) {
        tarvik_fragment_t *set = tarvik_string_to_fragment(nullptr, input, 0);
        ASSERT_NE(set, nullptr);
        std::string once = text(set);
        tarvik_fragment_t *again = tarvik_string_to_fragment(nullptr, once.c_str(), 0);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(text(again), once);
        tarvik_close_fragment(set);
        tarvik_close_fragment(again);
    }
}

// A large text in any order parses to the same set as the same ranges added one by one, and
// the most recently added range is the text's last. (Its cost is the fragment benchmark's.)
TEST_F(FragmentTest, ParsingAShuffledLargeTextGivesTheUnionOfItsRanges)
{
    std::mt19937 random(20240614);
    std::vector<std::pair<uint64_t, uint64_t>> ranges; // first, last (inclusive)
    for (uint64_t i = 0; i < 6000; ++i) {
        ranges.push_back({i * 10, i * 10 + random() % 12}); // some touch or overlap the next
    }
    std::shuffle(ranges.begin(), ranges.end(), random);
    std::string input = "x=";
    for (const auto &range : ranges) {
        input += std::to_string(range.first) + "-" + std::to_string(range.second) + "|";
    }
    input += "5";
    tarvik_fragment_t expected;
    tarvik_init_fragment(&expected);
    for (const auto &range : ranges) {
        ASSERT_EQ(
            tarvik_add_fragment_ex(&expected, "x", range.first, range.second - range.first + 1), 0);
    }
    ASSERT_EQ(tarvik_add_fragment_ex(&expected, "x", 5, 1), 0);
    ASSERT_NE(tarvik_string_to_fragment(&m_set, input.c_str(), 0), nullptr);
    const tarvik_fragment_t *got = tarvik_find_fragment(&m_set, "x");
    const tarvik_fragment_t *want = tarvik_find_fragment(&expected, "x");
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(text(&m_set), text(&expected));
    EXPECT_EQ(got->m_covered, want->m_covered);
    EXPECT_EQ(got->m_total, want->m_total);
    EXPECT_EQ(got->m_last_end, 6u);
    tarvik_uninit_fragment(&expected);
}

TEST_F(FragmentTest, NullArguments)
{
    EXPECT_EQ(tarvik_init_fragment(nullptr), -1);
    EXPECT_EQ(tarvik_add_fragment(nullptr, 0, 1), -1);
    EXPECT_EQ(tarvik_add_fragment_ex(nullptr, "a", 0, 1), -1);
    EXPECT_EQ(tarvik_del_fragment(nullptr, 0, 1), -1);
    EXPECT_EQ(tarvik_del_fragment_ex(nullptr, "a", 0, 1), -1);
    EXPECT_EQ(tarvik_find_fragment(nullptr, "a"), nullptr);
    tarvik_close_fragment(nullptr);
    tarvik_uninit_fragment(nullptr);
    tarvik_reset_fragment(nullptr);
    tarvik_set_fragment_flags(nullptr, 0, 0);
    tarvik_fragment_t *empty = tarvik_string_to_fragment(nullptr, nullptr, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(text(empty), "");
    tarvik_close_fragment(empty);
}

} // namespace
