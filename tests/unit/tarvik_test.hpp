// Base fixture of the unit tests: every test must leave the tagged heap and the
// stack-scoped allocator exactly as it found them.
#pragma once

#include <gtest/gtest.h>

#include "tarvik.h"

class TarvikTest : public ::testing::Test {
  protected:
    void SetUp() override { tarvik_get_alloc_info(&m_count, &m_bytes, nullptr); }
    void TearDown() override
    {
        // Pool threads free their own records as their last step: let every thread a test
        // started finish before the heap is compared (slow under an emulator).
        tarvik_thread_pool_wait(10000);
        size_t count = 0;
        size_t bytes = 0;
        tarvik_get_alloc_info(&count, &bytes, nullptr);
        EXPECT_EQ(count, m_count) << "tagged heap blocks leaked by this test";
        EXPECT_EQ(bytes, m_bytes) << "tagged heap bytes leaked by this test";
    }

  private:
    size_t m_count = 0;
    size_t m_bytes = 0;
};
