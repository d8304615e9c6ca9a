// Tests of the select tables (growth, registration, lowering, queries, dispatch) and of the
// single-descriptor wait, including descriptors beyond the 1024 of a system fd_set.
#include "descriptors.hpp"
#include "tarvik_test.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <random>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

long long elapsed_ms(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

size_t round_to_long(size_t bytes)
{
    return (bytes + sizeof(long) - 1) / sizeof(long) * sizeof(long);
}

int popcount_set(const uint32_t *set, uint32_t size)
{
    int count = 0;
    for (uint32_t i = 0; i < size / 4; ++i) {
        count += __builtin_popcount(set[i]);
    }
    return count;
}

bool bit(const uint32_t *set, int fd) { return (set[fd / 32] >> (fd % 32) & 1u) != 0; }

// The record's invariants: counts match the bits, nothing registered above the highest,
// the sets cover the highest, and the six sets sit back to back in the storage block.
void check_invariants(const tarvik_select_t *t)
{
    ASSERT_GE(t->m_set_size, 8u);
    ASSERT_EQ(t->m_set_size % 4, 0u);
    EXPECT_EQ(popcount_set(t->m_read_set, t->m_set_size), static_cast<int>(t->m_read_count));
    EXPECT_EQ(popcount_set(t->m_write_set, t->m_set_size), static_cast<int>(t->m_write_count));
    EXPECT_EQ(popcount_set(t->m_except_set, t->m_set_size), static_cast<int>(t->m_except_count));
    EXPECT_LT(t->m_highest, static_cast<int32_t>(t->m_set_size * 8));
    for (int fd = t->m_highest + 1; fd < static_cast<int>(t->m_set_size * 8); ++fd) {
        ASSERT_FALSE(bit(t->m_read_set, fd) || bit(t->m_write_set, fd) || bit(t->m_except_set, fd))
            << "descriptor " << fd << " registered above the highest " << t->m_highest;
    }
    const uint8_t *base = static_cast<const uint8_t *>(t->m_storage);
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(t->m_read_set), base);
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(t->m_write_set), base + t->m_set_size);
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(t->m_except_set), base + 2 * t->m_set_size);
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(t->m_read_result), base + 3 * t->m_set_size);
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(t->m_write_result), base + 4 * t->m_set_size);
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(t->m_except_result), base + 5 * t->m_set_size);
}

struct Pipe {
    int m_fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(m_fd), 0); }
    ~Pipe()
    {
        for (int fd : m_fd) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    int read_end() const { return m_fd[0]; }
    int write_end() const { return m_fd[1]; }
    // Moves an end onto a chosen descriptor number.
    int move(int end, int target)
    {
        EXPECT_EQ(dup2(m_fd[end], target), target);
        close(m_fd[end]);
        m_fd[end] = target;
        return target;
    }
};

class SelectTest : public TarvikTest {};

// Tables refuse descriptors at or above the descriptor limit: growth to 4000, and descriptors
// beyond 1024, need it raised (skipped where the hard limit does not allow that).
class RaisedLimitTest : public TarvikTest {
  protected:
    static constexpr rlim_t WANTED = 4100;

    void SetUp() override
    {
        TarvikTest::SetUp();
        struct rlimit limit;
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
        if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < WANTED) {
            if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < WANTED) {
                GTEST_SKIP() << "descriptor hard limit " << limit.rlim_max << " is below "
                             << WANTED;
            }
            limit.rlim_cur = WANTED;
            ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
        }
    }
};

// Descriptors of 1024 and above, where the platform's select takes them at all.
class HighDescriptorTest : public RaisedLimitTest {
  protected:
    void SetUp() override
    {
        RaisedLimitTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        if (!platform_selects_high_descriptors()) {
            GTEST_SKIP() << "this platform's select cannot take descriptors above 1024";
        }
    }
};

TEST_F(SelectTest, NewTableHoldsDescriptorsBelow64WithoutGrowing)
{
    tarvik_select_t *t = tarvik_open_select();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->m_set_size, 8u);
    EXPECT_EQ(t->m_highest, -1);
    EXPECT_EQ(t->m_read_count + t->m_write_count + t->m_except_count, 0u);
    const void *storage = t->m_storage;
    for (int fd = 0; fd < 64; ++fd) {
        ASSERT_EQ(tarvik_add_select(t, fd, fd % 7 + 1), 0);
    }
    EXPECT_EQ(t->m_set_size, 8u);
    EXPECT_EQ(t->m_storage, storage);
    EXPECT_EQ(t->m_highest, 63);
    check_invariants(t);
    EXPECT_EQ(tarvik_close_select(t), nullptr);
}

TEST_F(RaisedLimitTest, GrowthDoublesTo256ThenStepsBy16)
{
    struct Row {
        std::vector<int> m_adds;
        uint32_t m_size;
    };
    const Row rows[] = {
        {{63}, 8},     {{64}, 16},    {{127}, 16},          {{128}, 32},         {{1000}, 128},
        {{1023}, 128}, {{1024}, 256}, {{2047}, 256},        {{1024, 2048}, 272}, {{2048}, 272},
        {{2175}, 272}, {{2176}, 288}, {{64, 200, 300}, 64}, {{4000}, 512},
    };
    for (const Row &row : rows) {
        tarvik_select_t *t = tarvik_open_select();
        ASSERT_NE(t, nullptr);
        for (int fd : row.m_adds) {
            ASSERT_EQ(tarvik_add_select(t, fd, def_tarvik_select_read), 0);
        }
        EXPECT_EQ(t->m_set_size, row.m_size) << "last add " << row.m_adds.back();
        EXPECT_EQ(t->m_highest, row.m_adds.back());
        check_invariants(t);
        tarvik_close_select(t);
    }
}

TEST_F(SelectTest, OpenHintSizesFirstSets)
{
    const struct {
        int m_hint;
        size_t m_size;
    } rows[] = {{-5, 8},  {0, 8},    {32, 8},     {63, 8},    {64, 12},
                {95, 12}, {100, 16}, {1000, 128}, {2048, 260}};
    for (const auto &row : rows) {
        tarvik_select_t *t = tarvik_open_select_ex(row.m_hint);
        ASSERT_NE(t, nullptr);
        // Sets are whole longs for the kernel, which only matters where long is 64 bits.
        EXPECT_EQ(t->m_set_size, round_to_long(row.m_size)) << "hint " << row.m_hint;
        EXPECT_EQ(t->m_highest, -1);
        tarvik_close_select(t);
    }
    EXPECT_EQ(tarvik_open_select_ex(INT32_MAX), nullptr);
}

TEST_F(RaisedLimitTest, GrowthKeepsRegistrationsAndClearsResults)
{
    tarvik_select_t *t = tarvik_open_select();
    ASSERT_EQ(tarvik_add_select(t, 5, def_tarvik_select_read | def_tarvik_select_except), 0);
    ASSERT_EQ(tarvik_add_select(t, 63, def_tarvik_select_write), 0);
    t->m_read_result[0] = 0xFFFFFFFFu; // stale result that growth must not carry over
    ASSERT_EQ(tarvik_add_select(t, 3000, def_tarvik_select_read), 0);
    EXPECT_EQ(tarvik_get_select_flags(t, 5), def_tarvik_select_read | def_tarvik_select_except);
    EXPECT_EQ(tarvik_get_select_flags(t, 63), def_tarvik_select_write);
    EXPECT_EQ(tarvik_get_select_flags(t, 3000), def_tarvik_select_read);
    EXPECT_EQ(tarvik_get_select_flags(t, 64), 0);
    EXPECT_EQ(t->m_read_result[0], 0u);
    EXPECT_EQ(t->m_read_count, 2u);
    check_invariants(t);
    tarvik_close_select(t);
}

TEST_F(SelectTest, AddTwiceCountsOnceAndNeverRemoves)
{
    tarvik_select_t *t = tarvik_open_select();
    EXPECT_EQ(tarvik_add_select(t, 7, def_tarvik_select_read), 0);
    EXPECT_EQ(tarvik_add_select(t, 7, def_tarvik_select_read), 0);
    EXPECT_EQ(t->m_read_count, 1u);
    EXPECT_EQ(tarvik_add_select(t, 7, def_tarvik_select_write), 0);
    EXPECT_EQ(t->m_read_count, 1u);
    EXPECT_EQ(t->m_write_count, 1u);
    EXPECT_EQ(tarvik_get_select_flags(t, 7), def_tarvik_select_read | def_tarvik_select_write);
    check_invariants(t);
    tarvik_close_select(t);
}

TEST_F(SelectTest, SetReplacesRegistrationAndLowersHighest)
{
    tarvik_select_t *t = tarvik_open_select();
    ASSERT_EQ(tarvik_set_select(t, 3, def_tarvik_select_read), 0);
    ASSERT_EQ(tarvik_set_select(t, 10, def_tarvik_select_read | def_tarvik_select_write), 0);
    ASSERT_EQ(tarvik_set_select(t, 100, def_tarvik_select_except), 0);
    EXPECT_EQ(t->m_highest, 100);

    ASSERT_EQ(tarvik_set_select(t, 10, def_tarvik_select_write), 0);
    EXPECT_EQ(tarvik_get_select_flags(t, 10), def_tarvik_select_write);
    EXPECT_EQ(t->m_read_count, 1u);
    check_invariants(t);

    ASSERT_EQ(tarvik_set_select(t, 100, 0), 0); // the highest goes: down to the next one
    EXPECT_EQ(t->m_highest, 10);
    EXPECT_EQ(t->m_except_count, 0u);
    ASSERT_EQ(tarvik_set_select(t, 3, 0), 0); // a lower one goes: the highest stays
    EXPECT_EQ(t->m_highest, 10);
    ASSERT_EQ(tarvik_set_select(t, 10, 0), 0);
    EXPECT_EQ(t->m_highest, -1);
    check_invariants(t);

    // Removing what was never there changes nothing, not even the size.
    ASSERT_EQ(tarvik_set_select(t, 40, 0), 0);
    EXPECT_EQ(t->m_highest, -1);
    EXPECT_EQ(t->m_read_count + t->m_write_count + t->m_except_count, 0u);
    tarvik_close_select(t);
}

// Random add/set/clear sequences against a plain model of the registrations.
TEST_F(SelectTest, RandomOperationsMatchModel)
{
    std::mt19937 random(12345);
    tarvik_select_t *t = tarvik_open_select();
    std::map<int, int> model;
    int highest = -1;
    for (int step = 0; step < 3000; ++step) {
        const int fd = static_cast<int>(random() % (step < 1500 ? 70 : 700));
        const int flags = static_cast<int>(random() % 8);
        const int op = static_cast<int>(random() % 20);
        if (op == 0) {
            ASSERT_EQ(tarvik_clear_select(t), 0);
            model.clear();
            highest = -1;
        } else if (op < 10) {
            ASSERT_EQ(tarvik_add_select(t, fd, flags), 0);
            model[fd] |= flags;
            highest = std::max(highest, fd);
        } else {
            ASSERT_EQ(tarvik_set_select(t, fd, flags), 0);
            model[fd] = flags;
            highest = std::max(highest, fd);
            if (fd == highest) {
                while (highest >= 0 && model[highest] == 0) {
                    --highest;
                }
            }
        }
        ASSERT_EQ(t->m_highest, highest) << "step " << step;
        for (const auto &entry : model) {
            ASSERT_EQ(tarvik_get_select_flags(t, entry.first),
                      entry.first <= highest ? entry.second : 0);
        }
        check_invariants(t);
        if (HasFatalFailure()) {
            break;
        }
    }
    tarvik_close_select(t);
}

TEST_F(SelectTest, AnyQueryAndOutOfRangeQueries)
{
    tarvik_select_t *t = tarvik_open_select();
    EXPECT_EQ(tarvik_is_select(t, -1, def_tarvik_select_any), 0);
    ASSERT_EQ(tarvik_add_select(t, 4, def_tarvik_select_read), 0);
    EXPECT_EQ(tarvik_is_select(t, -1, def_tarvik_select_any), 8);
    EXPECT_EQ(tarvik_is_select(t, 4, def_tarvik_select_any | def_tarvik_select_read), 8);
    EXPECT_EQ(tarvik_is_select(t, 5, def_tarvik_select_read), -1);
    EXPECT_EQ(tarvik_get_select_flags(t, 5), 0);
    EXPECT_EQ(tarvik_is_select(t, -2, def_tarvik_select_any), -1);
    EXPECT_EQ(tarvik_get_select_flags(t, -1), 0);
    ASSERT_EQ(tarvik_clear_select(t), 0);
    EXPECT_EQ(tarvik_is_select(t, -1, def_tarvik_select_any), 0);
    EXPECT_EQ(t->m_highest, -1);
    check_invariants(t);
    tarvik_close_select(t);
}

TEST_F(SelectTest, NullTablesAndNegativeDescriptorsAreRefused)
{
    EXPECT_EQ(tarvik_close_select(nullptr), nullptr);
    EXPECT_EQ(tarvik_clear_select(nullptr), -1);
    EXPECT_EQ(tarvik_add_select(nullptr, 1, 1), -1);
    EXPECT_EQ(tarvik_set_select(nullptr, 1, 1), -1);
    EXPECT_EQ(tarvik_get_select_flags(nullptr, 1), 0);
    EXPECT_EQ(tarvik_is_select(nullptr, 1, 1), -1);
    EXPECT_EQ(tarvik_select_dispatch(nullptr, 0), -1);

    tarvik_select_t *t = tarvik_open_select();
    EXPECT_EQ(tarvik_add_select(t, -1, def_tarvik_select_read), -1);
    EXPECT_EQ(tarvik_set_select(t, -7, def_tarvik_select_read), -1);
    EXPECT_EQ(tarvik_add_select(t, INT32_MAX, def_tarvik_select_read), -1);
    EXPECT_EQ(t->m_highest, -1);
    EXPECT_EQ(t->m_set_size, 8u);
    tarvik_close_select(t);

    const auto start = Clock::now();
    EXPECT_EQ(tarvik_single_select(-2, def_tarvik_select_read, 2000), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(tarvik_poll_fd(-5, def_tarvik_select_read, -1), -1);
    EXPECT_LT(elapsed_ms(start), 1500);
}

TEST_F(SelectTest, DispatchWithNothingRegisteredSleeps)
{
    tarvik_select_t *t = tarvik_open_select();
    const auto start = Clock::now();
    EXPECT_EQ(tarvik_select_dispatch(t, 500), 0);
    EXPECT_GE(elapsed_ms(start), 450);
    tarvik_close_select(t);
}

TEST_F(SelectTest, IsSelectReportsTheLastDispatchOnly)
{
    Pipe a;
    Pipe b;
    tarvik_select_t *t = tarvik_open_select();
    ASSERT_EQ(tarvik_add_select(t, a.read_end(), def_tarvik_select_read), 0);
    ASSERT_EQ(tarvik_add_select(t, a.write_end(), def_tarvik_select_write), 0);
    ASSERT_EQ(write(a.write_end(), "x", 1), 1);
    EXPECT_EQ(tarvik_is_select(t, a.read_end(), def_tarvik_select_read), 0);

    EXPECT_EQ(tarvik_select_dispatch(t, 1000), 2);
    EXPECT_EQ(tarvik_is_select(t, a.read_end(), def_tarvik_select_read), 1);
    EXPECT_EQ(tarvik_is_select(t, a.read_end(), def_tarvik_select_write), 0);
    EXPECT_EQ(tarvik_is_select(t, a.write_end(), 7 | def_tarvik_select_any), 0xA);

    // Registered after the dispatch: reported only once a dispatch has seen it.
    ASSERT_EQ(write(b.write_end(), "y", 1), 1);
    ASSERT_EQ(tarvik_add_select(t, b.read_end(), def_tarvik_select_read), 0);
    EXPECT_EQ(tarvik_is_select(t, b.read_end(), def_tarvik_select_read), 0);
    EXPECT_EQ(tarvik_select_dispatch(t, 1000), 3);
    EXPECT_EQ(tarvik_is_select(t, b.read_end(), def_tarvik_select_read), 1);

    // Drained: the live state changes, the result only with the next dispatch.
    char byte;
    ASSERT_EQ(read(a.read_end(), &byte, 1), 1);
    EXPECT_EQ(tarvik_is_select(t, a.read_end(), def_tarvik_select_read), 1);
    EXPECT_EQ(tarvik_select_dispatch(t, 0), 2);
    EXPECT_EQ(tarvik_is_select(t, a.read_end(), def_tarvik_select_read), 0);
    tarvik_close_select(t);
}

TEST_F(SelectTest, DispatchReportsSelectErrors)
{
    Pipe p;
    tarvik_select_t *t = tarvik_open_select();
    const int fd = p.read_end();
    ASSERT_EQ(tarvik_add_select(t, fd, def_tarvik_select_read), 0);
    close(p.m_fd[0]);
    p.m_fd[0] = -1;
    errno = 0;
    EXPECT_EQ(tarvik_select_dispatch(t, 100), -1);
    EXPECT_EQ(errno, EBADF);
    tarvik_close_select(t);
}

// A hint that is not a whole number of longs must not let select write past the sets (the
// heap guard word after the result sets would be hit, and the block then never freed).
TEST_F(SelectTest, OddSizedTableDispatchStaysInsideItsBlock)
{
    Pipe p;
    const int fd = p.move(1, 95);
    tarvik_select_t *t = tarvik_open_select_ex(64);
    ASSERT_EQ(tarvik_add_select(t, fd, 7), 0);
    EXPECT_EQ(tarvik_select_dispatch(t, 100), 1);
    EXPECT_EQ(tarvik_is_select(t, fd, 7), def_tarvik_select_write);
    tarvik_close_select(t);
}

// A descriptor that cannot be open is an error, never a time-out, and never grows anything:
// not one at or above the descriptor limit, not a closed one beyond the kernel's table (which
// select would silently skip).
TEST_F(SelectTest, NonsenseDescriptorsAreRefusedWithoutGrowing)
{
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const int ceiling = limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (1u << 20)
                            ? 1 << 20
                            : static_cast<int>(limit.rlim_cur);

    errno = 0;
    EXPECT_EQ(tarvik_rx_poll_fd(2147483000, 0), -1);
    EXPECT_EQ(errno, EBADF);
    for (int fd : {ceiling - 1, 900}) {
        errno = 0;
        EXPECT_EQ(tarvik_rx_poll_fd(fd, 300), -1) << fd;
        EXPECT_EQ(errno, EBADF) << fd;
        EXPECT_EQ(tarvik_single_select(fd, def_tarvik_select_write, 300), -1) << fd;
        EXPECT_EQ(tarvik_tx_poll_fd(fd, 300), -1) << fd;
    }

    tarvik_select_t *t = tarvik_open_select();
    for (int fd : {100000000, ceiling, INT32_MAX - 64}) {
        errno = 0;
        EXPECT_EQ(tarvik_add_select(t, fd, def_tarvik_select_read), -1) << fd;
        EXPECT_EQ(errno, EBADF);
        EXPECT_EQ(tarvik_set_select(t, fd, def_tarvik_select_read), -1) << fd;
    }
    EXPECT_EQ(t->m_set_size, 8u);
    EXPECT_EQ(t->m_highest, -1);
    // Just below the limit is a descriptor a process may have: it can be registered, and a
    // dispatch then reports it closed.
    ASSERT_EQ(tarvik_add_select(t, ceiling - 1, def_tarvik_select_read), 0);
    errno = 0;
    EXPECT_EQ(tarvik_select_dispatch(t, 300), -1);
    EXPECT_EQ(errno, EBADF);
    tarvik_close_select(t);
}

TEST_F(SelectTest, SingleSelectMinusOneSleeps)
{
    const auto start = Clock::now();
    EXPECT_EQ(tarvik_single_select(-1, def_tarvik_select_read | def_tarvik_select_write, 250), 0);
    EXPECT_GE(elapsed_ms(start), 225);
}

TEST_F(SelectTest, SingleSelectOnPipe)
{
    Pipe p;
    EXPECT_EQ(tarvik_single_select(p.read_end(), def_tarvik_select_read, 50), 0);
    EXPECT_EQ(tarvik_single_select(p.write_end(), def_tarvik_select_write, 50), 2);
    EXPECT_EQ(tarvik_single_select(p.write_end(), 0xFF, 50), 2);
    ASSERT_EQ(write(p.write_end(), "z", 1), 1);
    EXPECT_EQ(tarvik_single_select(p.read_end(), def_tarvik_select_read | 0x8, 50), 1);
    EXPECT_EQ(tarvik_poll_fd(p.read_end(), 0xFF, 50), 1);

    EXPECT_EQ(tarvik_rx_poll_fd(p.read_end(), 0), 1);
    EXPECT_EQ(tarvik_tx_poll_fd(p.write_end(), 0), 1);
    char byte;
    ASSERT_EQ(read(p.read_end(), &byte, 1), 1);
    EXPECT_EQ(tarvik_rx_poll_fd(p.read_end(), 20), 0);

    // The peer going away makes the read end readable (end of file).
    close(p.m_fd[1]);
    p.m_fd[1] = -1;
    EXPECT_EQ(tarvik_rx_poll_fd(p.read_end(), 1000), 1);

    const int closed = p.read_end();
    close(p.m_fd[0]);
    p.m_fd[0] = -1;
    EXPECT_EQ(tarvik_rx_poll_fd(closed, 0), -1);
    EXPECT_EQ(tarvik_tx_poll_fd(closed, 0), -1);
    EXPECT_EQ(tarvik_single_select(closed, def_tarvik_select_read, 0), -1);
}

TEST_F(SelectTest, SingleSelectWithoutFlagsWaitsOutTheTimeout)
{
    const auto start = Clock::now();
    EXPECT_EQ(tarvik_single_select(5, 0, 100), 0);
    EXPECT_GE(elapsed_ms(start), 90);
}

TEST_F(HighDescriptorTest, SingleSelectBeyondSystemSetSize)
{
    Pipe a;
    Pipe b;
    const int writable = a.move(1, 1500);
    const int readable = b.move(0, 2000);
    EXPECT_EQ(tarvik_single_select(writable, def_tarvik_select_write, 1000), 2);
    EXPECT_EQ(tarvik_tx_poll_fd(writable, 1000), 1);
    EXPECT_EQ(tarvik_single_select(readable, def_tarvik_select_read, 30), 0);
    EXPECT_EQ(tarvik_rx_poll_fd(readable, 30), 0);
    ASSERT_EQ(write(b.write_end(), "q", 1), 1);
    EXPECT_EQ(tarvik_single_select(readable, def_tarvik_select_read, 1000), 1);
    EXPECT_EQ(tarvik_single_select(readable, 7, 1000), 1);
    EXPECT_EQ(tarvik_rx_poll_fd(readable, 1000), 1);
    EXPECT_EQ(tarvik_poll_fd(readable, 0xFF, 1000), 1);

    const auto start = Clock::now();
    EXPECT_EQ(tarvik_single_select(2000, 0, 5000), -1);
    EXPECT_LT(elapsed_ms(start), 4000);
}

// Descriptors whose set ends inside a 64-bit word: the kernel reads and writes whole
// longs, so a set of (fd + 32) / 32 words alone would be overrun by 4 bytes.
TEST_F(HighDescriptorTest, SingleSelectHeapSetsAreWholeLongs)
{
    for (int target : {1024, 1055, 1087, 1119}) {
        Pipe p;
        const int fd = p.move(1, target);
        EXPECT_EQ(tarvik_single_select(fd, 7, 1000), def_tarvik_select_write) << fd;
        EXPECT_EQ(tarvik_single_select(fd, def_tarvik_select_except, 0), 0) << fd;
    }
}

TEST_F(HighDescriptorTest, TableWithHighDescriptorsDispatches)
{
    Pipe a;
    Pipe b;
    const int writable = a.move(1, 1500);
    const int readable = b.move(0, 2000);
    tarvik_select_t *t = tarvik_open_select();
    ASSERT_EQ(tarvik_add_select(t, writable, def_tarvik_select_write), 0);
    ASSERT_EQ(tarvik_add_select(t, readable, def_tarvik_select_read | def_tarvik_select_except), 0);
    EXPECT_EQ(t->m_set_size, 256u);
    EXPECT_EQ(tarvik_select_dispatch(t, 1000), 1);
    EXPECT_EQ(tarvik_is_select(t, writable, 7), def_tarvik_select_write);
    EXPECT_EQ(tarvik_is_select(t, readable, 7), 0);

    ASSERT_EQ(write(b.write_end(), "q", 1), 1);
    EXPECT_EQ(tarvik_select_dispatch(t, 1000), 2);
    EXPECT_EQ(tarvik_is_select(t, readable, 7), def_tarvik_select_read);

    ASSERT_EQ(tarvik_set_select(t, readable, 0), 0);
    EXPECT_EQ(t->m_highest, writable);
    check_invariants(t);
    tarvik_close_select(t);
}

} // namespace
