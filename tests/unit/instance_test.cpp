// Tests of the instance tables: lowest-free handles, slots, delete handlers (called with the
// lock released), storage released when empty, and the process-wide table under threads.
#include "tarvik_test.hpp"

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

class InstanceTest : public TarvikTest {};

struct Deleted {
    int m_handle = -1;
    void *m_words[3] = {};
    void *m_seen_by_search = reinterpret_cast<void *>(1);
    int m_calls = 0;
};
Deleted g_deleted;
tarvik_instance_t *g_table;

void record_delete(int handle, void **context)
{
    g_deleted.m_handle = handle;
    for (int i = 0; i < 3; ++i) {
        g_deleted.m_words[i] = context[i];
    }
    // The table's lock is free again: looking the handle up must not block, and finds nothing.
    g_deleted.m_seen_by_search = tarvik_instance_search(g_table, handle, nullptr);
    ++g_deleted.m_calls;
}

TEST_F(InstanceTest, HandlesAreTheLowestFreeNumbers)
{
    tarvik_instance_t *table = tarvik_open_instance();
    ASSERT_NE(table, nullptr);
    int a = 0;
    int b = 0;
    int c = 0;
    EXPECT_EQ(a = tarvik_instance_new_ex(table, &a, "x/a"), 0);
    EXPECT_EQ(b = tarvik_instance_new_ex(table, &b, "x/b"), 1);
    EXPECT_EQ(c = tarvik_instance_new_ex(table, &c, nullptr), 2);
    EXPECT_EQ(tarvik_instance_delete(table, 1), -1);
    EXPECT_EQ(tarvik_instance_search(table, 1, nullptr), nullptr);
    EXPECT_EQ(tarvik_instance_new_ex(table, &b, "x/again"), 1);
    EXPECT_STREQ(tarvik_instance_get_mime_type(table, 1), "x/again");
    EXPECT_EQ(tarvik_instance_new_ex(table, nullptr, nullptr), 3);
    // Many handles: the slot array grows, and freed numbers are reused lowest first.
    for (int i = 4; i < 100; ++i) {
        ASSERT_EQ(tarvik_instance_new_ex(table, &a, "x/many"), i);
    }
    for (int i = 10; i < 100; i += 10) {
        tarvik_instance_delete(table, i);
    }
    for (int i = 10; i < 100; i += 10) {
        EXPECT_EQ(tarvik_instance_new_ex(table, &c, nullptr), i);
    }
    EXPECT_EQ(tarvik_instance_new_ex(table, &c, nullptr), 100);
    EXPECT_EQ(tarvik_close_instance(table), nullptr);
    EXPECT_EQ(tarvik_close_instance(nullptr), nullptr);
}

TEST_F(InstanceTest, SlotsHoldTheObjectTheTypeAndTheContextWords)
{
    tarvik_instance_t table;
    ASSERT_EQ(tarvik_init_instance(&table), 0);
    int object = 0;
    int other = 0;
    int handle = tarvik_instance_new_ex(&table, &object, "application/qvl_test");
    ASSERT_EQ(handle, 0);
    const char *mime = nullptr;
    EXPECT_EQ(tarvik_instance_search(&table, handle, &mime), &object);
    EXPECT_STREQ(mime, "application/qvl_test");
    EXPECT_EQ(tarvik_instance_get_context(&table, handle, 0), &object);
    EXPECT_EQ(tarvik_instance_set(&table, handle, &other, "application/other"), 0);
    EXPECT_EQ(tarvik_instance_search(&table, handle, &mime), &other);
    EXPECT_STREQ(mime, "application/other");
    EXPECT_EQ(tarvik_instance_set(&table, handle, &other, nullptr), 0);
    EXPECT_EQ(tarvik_instance_get_mime_type(&table, handle), nullptr);
    EXPECT_EQ(tarvik_instance_set_context(&table, handle, 2, &table), 0);
    EXPECT_EQ(tarvik_instance_get_context(&table, handle, 2), &table);
    EXPECT_EQ(tarvik_instance_get_context(&table, handle, 1), nullptr);
    // Unknown handles and words.
    for (int bad : {-1, 1, 7, 1 << 20}) {
        EXPECT_EQ(tarvik_instance_search(&table, bad, &mime), nullptr);
        EXPECT_EQ(mime, nullptr);
        EXPECT_EQ(tarvik_instance_set(&table, bad, &object, "x"), -1);
        EXPECT_EQ(tarvik_instance_set_context(&table, bad, 0, &object), -1);
        EXPECT_EQ(tarvik_instance_set_delete_handler(&table, bad, record_delete), -1);
        EXPECT_EQ(tarvik_instance_delete(&table, bad), -1);
    }
    EXPECT_EQ(tarvik_instance_set_context(&table, handle, 3, &object), -1);
    EXPECT_EQ(tarvik_instance_set_context(&table, handle, -1, &object), -1);
    EXPECT_EQ(tarvik_instance_get_context(&table, handle, 3), nullptr);
    EXPECT_EQ(tarvik_instance_search(nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(tarvik_instance_new_ex(nullptr, &object, nullptr), -1);
    EXPECT_EQ(tarvik_instance_get_context(&table, handle, 2), &table);
    tarvik_instance_delete(&table, handle);
    // The last handle gone, the table holds no memory.
    EXPECT_EQ(table.m_slots, nullptr);
    EXPECT_EQ(table.m_capacity, 0u);
    EXPECT_EQ(tarvik_uninit_instance(&table), 0);
}

TEST_F(InstanceTest, DeleteHandlersRunWithTheLockReleased)
{
    tarvik_instance_t *table = tarvik_open_instance();
    g_table = table;
    g_deleted = Deleted();
    int object = 0;
    int handle = tarvik_instance_new_ex(table, &object, "x/y");
    int keep = tarvik_instance_new_ex(table, &object, "x/z");
    tarvik_instance_set_context(table, handle, 1, &keep);
    EXPECT_EQ(tarvik_instance_set_delete_handler(table, handle, record_delete), 0);
    tarvik_instance_delete(table, handle);
    EXPECT_EQ(g_deleted.m_calls, 1);
    EXPECT_EQ(g_deleted.m_handle, handle);
    EXPECT_EQ(g_deleted.m_words[0], &object);
    EXPECT_EQ(g_deleted.m_words[1], &keep);
    EXPECT_EQ(g_deleted.m_words[2], nullptr);
    EXPECT_EQ(g_deleted.m_seen_by_search, nullptr);
    // Deleting again calls nothing.
    tarvik_instance_delete(table, handle);
    EXPECT_EQ(g_deleted.m_calls, 1);
    // Closing the table deletes what is left, handlers included.
    tarvik_instance_set_delete_handler(table, keep, record_delete);
    tarvik_close_instance(table);
    EXPECT_EQ(g_deleted.m_calls, 2);
    EXPECT_EQ(g_deleted.m_handle, keep);
}

TEST_F(InstanceTest, TheGlobalTableServesManyThreads)
{
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 200;
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&failed, t] {
            std::string mime = "thread/" + std::to_string(t);
            for (int round = 0; round < ROUNDS; ++round) {
                int handles[3];
                for (int &handle : handles) {
                    handle = tarvik_ginstance_new_ex(&handles, mime.c_str());
                }
                for (int handle : handles) {
                    const char *seen = nullptr;
                    if (handle < 0 || tarvik_ginstance_search(handle, &seen) != &handles ||
                        tarvik_compare_mime_type(seen, mime.c_str()) != 0) {
                        failed = true;
                    }
                }
                for (int handle : handles) {
                    tarvik_ginstance_delete(handle);
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(failed);
    // Everything deleted: the first handle is 0 again, and the fixture sees no leftover.
    int handle = tarvik_ginstance_new();
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(tarvik_ginstance_set(handle, &handle, "a/b"), 0);
    EXPECT_STREQ(tarvik_ginstance_get_mime_type(handle), "a/b");
    EXPECT_EQ(tarvik_ginstance_set_context(handle, 1, &failed), 0);
    EXPECT_EQ(tarvik_ginstance_get_context(handle, 1), &failed);
    EXPECT_EQ(tarvik_ginstance_set_delete_handler(handle, nullptr), 0);
    EXPECT_EQ(tarvik_ginstance_delete(handle), -1);
}

TEST_F(InstanceTest, MimeTypesCompareAsPlainText)
{
    EXPECT_EQ(tarvik_compare_mime_type("a/b", "a/b"), 0);
    EXPECT_NE(tarvik_compare_mime_type("a/b", "A/B"), 0);
    EXPECT_EQ(tarvik_compare_mime_type(nullptr, ""), 0);
    EXPECT_EQ(tarvik_compare_mime_type(nullptr, nullptr), 0);
    EXPECT_NE(tarvik_compare_mime_type(nullptr, "a"), 0);
}

} // namespace
