// Tagged heap: statistics, guard and self checks, resize rules, the live-list walk.
#include "capture.hpp"
#include "tarvik_test.hpp"

#include <cctype>
#include <cstring>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <vector>

namespace {

struct Stats {
    size_t count, bytes, peak;
};

Stats stats()
{
    Stats s{};
    tarvik_get_alloc_info(&s.count, &s.bytes, &s.peak);
    return s;
}

class HeapTest : public TarvikTest {};

TEST_F(HeapTest, OverheadIsHeaderPlusGuard)
{
    EXPECT_EQ(TARVIK_HEAP_OVERHEAD, sizeof(tarvik_heap_block_t) + 4);
#if defined(__mips__) && !defined(__LP64__)
    EXPECT_EQ(TARVIK_HEAP_OVERHEAD, 28u);
#endif
}

TEST_F(HeapTest, AllocationCountsRoundedSizePlusOverhead)
{
    Stats before = stats();
    void *a = tarvik_alloc_tag(10, "test", 1);
    ASSERT_NE(a, nullptr);
    Stats during = stats();
    EXPECT_EQ(during.count, before.count + 1);
    EXPECT_EQ(during.bytes, before.bytes + 12 + TARVIK_HEAP_OVERHEAD);
    EXPECT_GE(during.peak, during.bytes);
    EXPECT_EQ(tarvik_get_alloc_count(), during.count);
    EXPECT_EQ(tarvik_get_alloc_bytes(), during.bytes);
    EXPECT_EQ(tarvik_get_alloc_peak(), during.peak);
    EXPECT_EQ(tarvik_free_tag(a, "test", 2), 0);
    Stats after = stats();
    EXPECT_EQ(after.count, before.count);
    EXPECT_EQ(after.bytes, before.bytes);
    EXPECT_EQ(after.peak, during.peak) << "peak never goes down";
}

TEST_F(HeapTest, ZeroSizeAllocationWarnsAndIsFreeable)
{
    void *block = nullptr;
    Stats before = stats();
    std::string err = capture_stderr([&] { block = tarvik_alloc_tag(0, "zero_caller", 77); });
    EXPECT_EQ(err, "zero size allocation ? (at \"zero_caller\":77)\n");
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(stats().bytes, before.bytes + TARVIK_HEAP_OVERHEAD);
    EXPECT_EQ(capture_stderr([&] { tarvik_free_tag(block, "test", 0); }), "");
}

TEST_F(HeapTest, HeapTagIsTheSingleEntry)
{
    void *block = tarvik_heap_tag(nullptr, 8, "test", 1);
    ASSERT_NE(block, nullptr);
    memset(block, 0x5A, 8);
    void *bigger = tarvik_heap_tag(block, 100, "test", 2);
    ASSERT_NE(bigger, nullptr);
    EXPECT_TRUE(tarvik_is_data_fill(bigger, 8, 0x5A));
    EXPECT_EQ(tarvik_heap_tag(bigger, 0, "test", 3), nullptr);
}

TEST_F(HeapTest, ResizeKeepsExactSizeAndMovesOtherwise)
{
    auto *block = static_cast<char *>(tarvik_alloc_tag(12, "test", 1));
    ASSERT_NE(block, nullptr);
    memcpy(block, "abcdefghijk", 12);
    EXPECT_EQ(tarvik_realloc_tag(block, 12, "test", 2), block);

    auto *small = static_cast<char *>(tarvik_alloc_tag(10, "test", 3));
    ASSERT_NE(small, nullptr);
    memcpy(small, "0123456789", 10);
    // 10 is stored as 12: a request of 12 differs from the recorded size only by
    // rounding, and still moves.
    auto *moved = static_cast<char *>(tarvik_realloc_tag(small, 12, "test", 4));
    EXPECT_EQ(memcmp(moved, "0123456789", 10), 0);

    auto *shrunk = static_cast<char *>(tarvik_realloc(block, 4));
    ASSERT_NE(shrunk, nullptr);
    EXPECT_EQ(memcmp(shrunk, "abcd", 4), 0);
    tarvik_free_tag(moved, "test", 5);
    tarvik_free_tag(shrunk, "test", 6);
}

TEST_F(HeapTest, NullFreesAreReportedUnlessAccepted)
{
    EXPECT_EQ(capture_stderr([] { tarvik_check_free_tag(nullptr, "x", 1); }), "");
    EXPECT_EQ(capture_stderr([] { tarvik_free_tag(nullptr, "operator delete", 0); }), "");
    EXPECT_EQ(capture_stderr([] { tarvik_free_tag(nullptr, "caller", 9); }),
              "null pointer free ? (at \"caller\":9)\n");
    EXPECT_EQ(capture_stderr([] { tarvik_free_tag(nullptr, nullptr, 9); }),
              "null pointer free ? (at \"\":9)\n");
}

TEST_F(HeapTest, OverflowingSizesFailCleanly)
{
    std::string err = capture_stderr([] {
        EXPECT_EQ(tarvik_alloc_tag(SIZE_MAX, "huge", 5), nullptr);
        EXPECT_EQ(tarvik_alloc_tag(SIZE_MAX - 2, "huge", 6), nullptr);
        EXPECT_EQ(tarvik_calloc_tag(SIZE_MAX / 2, 4, "huge", 7), nullptr);
    });
    EXPECT_NE(err.find("not enough memory (overflow size, at \"huge\":5)"), std::string::npos);
    EXPECT_NE(err.find("not enough memory (overflow size, at \"huge\":7)"), std::string::npos);
}

TEST_F(HeapTest, CallocZeroesAndStrdupCopies)
{
    auto *zeroed = static_cast<unsigned char *>(tarvik_calloc_tag(7, 9, "test", 1));
    ASSERT_NE(zeroed, nullptr);
    EXPECT_TRUE(tarvik_is_data_fill(zeroed, 63, 0));
    char *copy = tarvik_strdup_tag("vexa", "test", 2);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "vexa");
    EXPECT_EQ(tarvik_strdup_tag(nullptr, "test", 3), nullptr);
    EXPECT_GE(tarvik_malloc_usable_size(nullptr), 0u);
    tarvik_free_tag(zeroed, "test", 4);
    tarvik_free_tag(copy, "test", 5);
}

struct Walk {
    std::vector<std::string> tags;
    size_t stop_after = 0;
};

int collect(const tarvik_heap_block_t *block, void *context)
{
    auto *walk = static_cast<Walk *>(context);
    walk->tags.emplace_back(block->m_tag);
    EXPECT_EQ(block->m_self, block);
    return walk->stop_after != 0 && walk->tags.size() >= walk->stop_after ? 1 : 0;
}

TEST_F(HeapTest, LiveListIsNewestFirstAndHonoursLimits)
{
    void *a = tarvik_alloc_tag(1, "first", 1);
    void *b = tarvik_alloc_tag(1, "second", 2);
    void *c = tarvik_alloc_tag(1, "third", 3);
    Walk all;
    EXPECT_EQ(tarvik_get_alloc_list(0, collect, &all), tarvik_get_alloc_count());
    ASSERT_GE(all.tags.size(), 3u);
    EXPECT_EQ(all.tags[0], "third");
    EXPECT_EQ(all.tags[1], "second");
    EXPECT_EQ(all.tags[2], "first");
    Walk two;
    EXPECT_EQ(tarvik_get_alloc_list(2, collect, &two), 2u);
    Walk stop;
    stop.stop_after = 1;
    EXPECT_EQ(tarvik_get_alloc_list(0, collect, &stop), 1u);
    EXPECT_EQ(tarvik_get_alloc_list(0, nullptr, nullptr), 0u);
    // Unlinking from the middle keeps the list whole.
    tarvik_free_tag(b, "test", 4);
    Walk rest;
    tarvik_get_alloc_list(0, collect, &rest);
    EXPECT_EQ(rest.tags[0], "third");
    EXPECT_EQ(rest.tags[1], "first");
    tarvik_free_tag(a, "test", 5);
    tarvik_free_tag(c, "test", 6);
}

// Lines of a hex dump: an address of at least eight upper-case hexadecimal digits, a space,
// the bytes and the text column in brackets.
size_t count_dump_lines(const std::string &text)
{
    size_t count = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t space = line.find(' ');
        bool address = space != std::string::npos && space >= 8 && line.back() == ']';
        for (size_t i = 0; address && i < space; ++i) {
            address = isxdigit(static_cast<unsigned char>(line[i])) && !islower(line[i]);
        }
        count += address ? 1 : 0;
    }
    return count;
}

TEST_F(HeapTest, DamagedGuardIsReportedAndTheBlockKept)
{
    Captured run = run_in_child([] {
        auto *block = static_cast<char *>(tarvik_alloc_tag(12, "victim", 1));
        Stats before = stats();
        block[12] = 'X'; // one byte past a multiple-of-4 request: the guard word
        tarvik_free_tag(block, "freer", 42);
        Stats after = stats();
        if (after.count != before.count || after.bytes != before.bytes) {
            return 2;
        }
        // Repaired, the same block frees normally: it was neither unlinked nor released.
        uint32_t guard = TARVIK_HEAP_GUARD;
        memcpy(block + 12, &guard, 4);
        tarvik_free_tag(block, "freer", 43);
        return stats().count == before.count - 1 ? 0 : 3;
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err.find("fatal error: invalid magic code (free, magic_code="),
              std::string::npos);
    EXPECT_NE(run.err.find("H, size=12, caller=\"freer:42\", pid="), std::string::npos);
    EXPECT_NE(run.err.find("=> REVERSE DUMP\n"), std::string::npos);
    EXPECT_NE(run.err.find("CONSOLE # dump exception at source/heap:tarvik_heap_tag:"),
              std::string::npos);
    EXPECT_NE(run.err.find("[ALLOCATED:victim():1] 12 bytes at "), std::string::npos);
    // Header and data (12 + overhead bytes), then up to 32 reverse lines (the reverse dump
    // stops early where the memory in front is not readable), all on the error output:
    // memory contents never reach standard output, a CGI program's response body.
    EXPECT_EQ(run.out, "");
    size_t forward_lines = (12 + TARVIK_HEAP_OVERHEAD + 15) / 16;
    size_t lines = count_dump_lines(run.err);
    EXPECT_GE(lines, forward_lines + 1) << run.err;
    EXPECT_LE(lines, forward_lines + 32) << run.err;
    const size_t reverse = run.err.find("=> REVERSE DUMP\n");
    EXPECT_EQ(count_dump_lines(run.err.substr(0, reverse)), forward_lines) << run.err;
}

TEST_F(HeapTest, DoubleFreeIsDetected)
{
    Captured run = run_in_child([] {
        void *block = tarvik_alloc_tag(24, "twice", 1);
        tarvik_free_tag(block, "twice", 2);
        size_t count = tarvik_get_alloc_count();
        tarvik_free_tag(block, "twice", 3);
        return tarvik_get_alloc_count() == count ? 0 : 1;
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err.find("caller=\"twice:3\""), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_GE(count_dump_lines(run.err), 1u) << run.err;
}

TEST_F(HeapTest, ForeignPointerNextToUnmappedMemoryIsReportedWithoutCrashing)
{
    Captured run = run_in_child([] {
        long page = sysconf(_SC_PAGESIZE);
        auto *area = static_cast<unsigned char *>(mmap(nullptr, static_cast<size_t>(page) * 2,
                                                       PROT_READ | PROT_WRITE,
                                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (area == MAP_FAILED || mprotect(area, static_cast<size_t>(page), PROT_NONE) != 0) {
            return 2;
        }
        // A "block" at the very start of a readable page: the bytes in front of it are not
        // readable, so the reverse dump must stop instead of faulting.
        unsigned char *fake = area + page + sizeof(tarvik_heap_block_t);
        size_t count = tarvik_get_alloc_count();
        tarvik_free_tag(fake, "foreign", 7);
        return tarvik_get_alloc_count() == count ? 0 : 1;
    });
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("caller=\"foreign:7\""), std::string::npos);
    EXPECT_NE(run.err.find("=> REVERSE DUMP\n"), std::string::npos);
    EXPECT_NE(run.err.find("dump exception at source/heap:tarvik_heap_tag:"), std::string::npos);
}

TEST_F(HeapTest, ConcurrentAllocationKeepsExactTotals)
{
    Stats before = stats();
    auto worker = [] {
        for (int i = 0; i < 20000; ++i) {
            void *block = tarvik_alloc_tag(static_cast<size_t>(i % 64) + 1, "worker", 1);
            tarvik_free_tag(block, "worker", 2);
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back(worker);
    }
    for (auto &t : threads) {
        t.join();
    }
    Stats after = stats();
    EXPECT_EQ(after.count, before.count);
    EXPECT_EQ(after.bytes, before.bytes);
}

} // namespace
