// Short lock, atomic exchange and the millisecond timers the front end relies on.
#include "capture.hpp"
#include "tarvik_test.hpp"

#include <thread>
#include <vector>

namespace {

class ShortLockTest : public TarvikTest {};

TEST_F(ShortLockTest, ExchangeAndTry)
{
    volatile uint32_t word = 5;
    EXPECT_EQ(tarvik_atomic_exchange(&word, 7), 5u);
    tarvik_atomic_release(&word);
    EXPECT_EQ(word, 0u);

    tarvik_short_lock_t lock = 1;
    EXPECT_EQ(tarvik_init_short_lock(&lock), &lock);
    EXPECT_EQ(tarvik_try_short_lock(&lock), 1);
    EXPECT_EQ(tarvik_try_short_lock(&lock), 0);
    tarvik_short_unlock(&lock);
    EXPECT_EQ(tarvik_try_short_lock(&lock), 1);
    tarvik_short_unlock(&lock);
    EXPECT_EQ(tarvik_uninit_short_lock(&lock), 0);
    std::string err = capture_stderr([] { EXPECT_EQ(tarvik_init_short_lock(nullptr), nullptr); });
    EXPECT_NE(err.find("s_short_lock != ((tarvik_short_lock_t *)0)"), std::string::npos);
}

TEST_F(ShortLockTest, NoIncrementIsLost)
{
    tarvik_short_lock_t lock = 0;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50000; ++i) {
                tarvik_short_lock(&lock);
                ++counter;
                tarvik_short_unlock(&lock);
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, 200000);
}

TEST_F(ShortLockTest, TimersExpireAndExtend)
{
    tarvik_timer_t timer;
    uint64_t left = 99;
    tarvik_init_timer(&timer, 0);
    EXPECT_EQ(tarvik_check_timer_ex(&timer, &left), 1);
    EXPECT_EQ(left, 0u);
    tarvik_set_timer(&timer, 60000);
    EXPECT_EQ(tarvik_check_timer_ex(&timer, &left), 0);
    EXPECT_GT(left, 59000u);
    EXPECT_LE(left, 60000u);
    tarvik_set_timer(&timer, 20);
    tarvik_sleep_wait(0, 40000);
    EXPECT_EQ(tarvik_check_timer(&timer), 1);
    tarvik_update_timer(&timer, 4000);
    EXPECT_EQ(tarvik_check_timer(&timer), 0) << "an overrun under 4 s runs again";
    uint64_t a = tarvik_time_stamp_msec(nullptr);
    tarvik_load_balance();
    uint64_t b = tarvik_time_stamp_msec(nullptr);
    EXPECT_GE(b, a);
    EXPECT_GE(tarvik_uptime_msec() / 1000, tarvik_uptime() - 1);
}

} // namespace
