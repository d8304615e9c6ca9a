// Stack-scoped allocation, the null-reporting wrappers and the pattern fills.
#include "capture.hpp"
#include "tarvik_test.hpp"

#include <cstring>

namespace {

class MemoryTest : public TarvikTest {
  protected:
    void TearDown() override
    {
        tarvik_alloca(0); // from this shallow frame: reclaims whatever the test left
        TarvikTest::TearDown();
    }
};

__attribute__((noinline)) void *allocate_in_callee(size_t size)
{
    void *block = tarvik_alloca(size);
    if (block != nullptr) {
        memset(block, 0xAB, size);
    }
    return block;
}

__attribute__((noinline)) unsigned long nested_count()
{
    allocate_in_callee(16);
    return tarvik_get_alloca_count();
}

TEST_F(MemoryTest, StackDirectionIsDownwardOnTheseMachines)
{
    // x86-64 and MIPS both grow the stack toward lower addresses.
    EXPECT_EQ(tarvik_detect_stack_direction(), -1);
    EXPECT_EQ(tarvik_detect_stack_direction(), -1);
}

TEST_F(MemoryTest, BlocksOfReturnedCallsAreReclaimedFromAShallowerFrame)
{
    unsigned long base = tarvik_get_alloca_count();
    ASSERT_NE(allocate_in_callee(100), nullptr);
    ASSERT_NE(allocate_in_callee(200), nullptr);
    // Both were made at the same depth: a call from that depth keeps the other's block.
    EXPECT_EQ(tarvik_get_alloca_count(), base + 2);
    EXPECT_EQ(tarvik_alloca(0), nullptr);
    EXPECT_EQ(tarvik_get_alloca_count(), base);
}

TEST_F(MemoryTest, BlocksOfLiveFramesSurvive)
{
    unsigned long base = tarvik_get_alloca_count();
    void *mine = tarvik_alloca(32);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(nested_count(), base + 2);
    // Reclaiming from this frame frees the nested call's block; ours was made at this
    // depth and survives.
    tarvik_alloca(0);
    EXPECT_EQ(tarvik_get_alloca_count(), base + 1);
}

TEST_F(MemoryTest, OverflowingSizeFails) { EXPECT_EQ(tarvik_alloca(SIZE_MAX - 4), nullptr); }

TEST_F(MemoryTest, WrappersReportNullAndDoNotCrash)
{
    char buffer[8] = "abcdefg";
    std::string err = capture_stderr([&] {
        EXPECT_EQ(tarvik_memcpy_wrapper(nullptr, buffer, 4), nullptr);
        EXPECT_EQ(tarvik_memcpy_wrapper(buffer, nullptr, 4), buffer);
        EXPECT_EQ(tarvik_memmove_wrapper(nullptr, buffer, 4), nullptr);
        EXPECT_EQ(tarvik_memset_wrapper(nullptr, 0, 4), nullptr);
        tarvik_bzero_wrapper(nullptr, 4);
        EXPECT_NE(tarvik_memcmp_wrapper(nullptr, buffer, 4), 0);
    });
    EXPECT_STREQ(buffer, "abcdefg");
    EXPECT_NE(err.find("(s_to != ((void *)0)) && (s_from != ((const void *)0))"),
              std::string::npos);
    EXPECT_EQ(count_lines_with(err, "ASSERT"), 6u) << err;
    EXPECT_EQ(capture_stderr([&] { tarvik_memcpy_wrapper(buffer, "xy", 2); }), "");
    EXPECT_EQ(memcmp(buffer, "xycdefg", 8), 0);
    EXPECT_EQ(tarvik_memcmp_wrapper("abc", "abd", 3) < 0, true);
    tarvik_memmove_wrapper(buffer + 1, buffer, 3);
    EXPECT_EQ(memcmp(buffer, "xxycefg", 4), 0);
}

TEST_F(MemoryTest, PatternFills)
{
    unsigned char bytes[11];
    memset(bytes, 0xEE, sizeof(bytes));
    tarvik_memset16_wrapper(bytes, 0x1234, 7);
    const unsigned char want16[] = {0x34, 0x12, 0x34, 0x12, 0x34, 0x12, 0x34, 0xEE};
    EXPECT_EQ(memcmp(bytes, want16, sizeof(want16)), 0);
    memset(bytes, 0xEE, sizeof(bytes));
    tarvik_memset32_wrapper(bytes, 0xA1B2C3D4u, 10);
    const unsigned char want32[] = {0xD4, 0xC3, 0xB2, 0xA1, 0xD4, 0xC3,
                                    0xB2, 0xA1, 0xD4, 0xC3, 0xEE};
    EXPECT_EQ(memcmp(bytes, want32, sizeof(want32)), 0);
    EXPECT_EQ(tarvik_is_data_fill(nullptr, 5, 1), 1);
    EXPECT_EQ(tarvik_is_data_fill("aaaa", 4, 'a'), 1);
    EXPECT_EQ(tarvik_is_data_fill("aaba", 4, 'a'), 0);
    EXPECT_EQ(tarvik_is_data_fill("", 0, 'a'), 1);
}

} // namespace
