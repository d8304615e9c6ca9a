// CPU tick reader: line parsing, record reuse across readings, and the real /proc/stat.
#include "tarvik_test.hpp"

#include "detail/cpu_ticks.hpp"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

class CpuTicksTest : public TarvikTest {};

tarvik_cpu_ticks_t *parse(const std::string &text, tarvik_cpu_ticks_t *list = nullptr)
{
    return tarvik::detail::parse_cpu_ticks(text.data(), text.size(), list);
}

std::vector<tarvik_cpu_ticks_t *> records(tarvik_cpu_ticks_t *list)
{
    std::vector<tarvik_cpu_ticks_t *> all;
    for (; list != nullptr; list = list->m_next) {
        all.push_back(list);
    }
    return all;
}

std::vector<uint32_t> values(const tarvik_cpu_ticks_t *record)
{
    return std::vector<uint32_t>(record->m_values, record->m_values + 15);
}

TEST_F(CpuTicksTest, ParsesCpuLinesOnly)
{
    tarvik_cpu_ticks_t *list = parse("cpu  1 2 3 4 5 6 7 8 9 10\n"
                                     "cpu0 1,2,3\r\n"
                                     "CPU1\t4 \t5\n"
                                     "intr 1 2 3\n"
                                     "ctxt 99\n"
                                     "  cpu12 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17\n"
                                     "cpu3 4294967297 x7 9\n"
                                     "cpu4");
    std::vector<tarvik_cpu_ticks_t *> all = records(list);
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(all[0]->m_id, -1);
    EXPECT_EQ(all[0]->m_total, 55u);
    EXPECT_EQ(values(all[0]),
              (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 0, 0, 0, 0}));
    EXPECT_EQ(all[1]->m_id, 0);
    EXPECT_EQ(all[1]->m_total, 6u);
    EXPECT_EQ(values(all[1]), (std::vector<uint32_t>{1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(all[2]->m_id, 1);
    EXPECT_EQ(all[2]->m_total, 9u);
    // Fifteen numbers at most.
    EXPECT_EQ(all[3]->m_id, 12);
    EXPECT_EQ(all[3]->m_total, 120u);
    EXPECT_EQ(all[3]->m_values[14], 15u);
    // Counters are kept in 32 bits; a word without digits counts 0.
    EXPECT_EQ(all[4]->m_id, 3);
    EXPECT_EQ(all[4]->m_values[0], 1u);
    EXPECT_EQ(all[4]->m_values[1], 0u);
    EXPECT_EQ(all[4]->m_values[2], 9u);
    EXPECT_EQ(all[4]->m_total, 10u);
    EXPECT_EQ(all[5]->m_id, 4);
    EXPECT_EQ(all[5]->m_total, 0u);
    EXPECT_EQ(tarvik_close_cpu_ticks(list), 0);

    EXPECT_EQ(parse(""), nullptr);
    EXPECT_EQ(parse("intr 1\nsoftirq 2\ncp 5\n"), nullptr);
    EXPECT_EQ(tarvik_close_cpu_ticks(nullptr), 0);
}

TEST_F(CpuTicksTest, ReuseKeepsOrderAndRecords)
{
    tarvik_cpu_ticks_t *list = parse("cpu 10 10 10\ncpu0 5 5 5\ncpu1 5 5 5\n");
    std::vector<tarvik_cpu_ticks_t *> first = records(list);
    ASSERT_EQ(first.size(), 3u);

    // Lines in another order, one with fewer values, and a CPU that appeared.
    tarvik_cpu_ticks_t *again = parse("cpu 20 20\ncpu1 7\ncpu0 8 8 8\ncpu2 1 1\n", list);
    EXPECT_EQ(again, list);
    std::vector<tarvik_cpu_ticks_t *> second = records(again);
    ASSERT_EQ(second.size(), 4u);
    for (size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(second[i], first[i]) << "record " << i << " was not reused in place";
    }
    EXPECT_EQ(second[0]->m_id, -1);
    EXPECT_EQ(second[0]->m_total, 40u);
    EXPECT_EQ(second[0]->m_values[2], 0u) << "a reused record must be cleared";
    EXPECT_EQ(second[1]->m_id, 0);
    EXPECT_EQ(second[1]->m_total, 24u);
    EXPECT_EQ(second[2]->m_id, 1);
    EXPECT_EQ(second[2]->m_total, 7u);
    EXPECT_EQ(second[2]->m_values[1], 0u);
    EXPECT_EQ(second[3]->m_id, 2);
    EXPECT_EQ(second[3]->m_total, 2u);

    // A CPU that went away keeps its last reading.
    EXPECT_EQ(parse("cpu 1\ncpu0 1\ncpu2 1\n", list), list);
    EXPECT_EQ(records(list).size(), 4u);
    EXPECT_EQ(second[2]->m_total, 7u);
    EXPECT_EQ(second[3]->m_total, 1u);
    tarvik_close_cpu_ticks(list);
}

TEST_F(CpuTicksTest, ReadsProcStat)
{
    std::ifstream proc("/proc/stat");
    std::string line;
    size_t cpu_lines = 0;
    while (std::getline(proc, line)) {
        if (line.compare(0, 3, "cpu") == 0 && line.size() > 3 && isdigit(line[3])) {
            ++cpu_lines;
        }
    }
    tarvik_cpu_ticks_t *list = tarvik_open_cpu_ticks(nullptr);
    ASSERT_NE(list, nullptr);
    std::vector<tarvik_cpu_ticks_t *> first = records(list);
    ASSERT_EQ(first.size(), cpu_lines + 1);
    EXPECT_EQ(first[0]->m_id, -1);
    for (size_t i = 1; i < first.size(); ++i) {
        EXPECT_EQ(first[i]->m_id, static_cast<int32_t>(i - 1));
    }
    uint32_t idle = first[0]->m_values[3];
    EXPECT_GT(first[0]->m_total, 0u);

    EXPECT_EQ(tarvik_open_cpu_ticks(list), list);
    EXPECT_EQ(records(list), first);
    // Counters only grow (modulo 32 bits, far away on a test machine).
    EXPECT_GE(first[0]->m_values[3], idle);
    EXPECT_EQ(tarvik_close_cpu_ticks(list), 0);
}

TEST_F(CpuTicksTest, WholeFileReader)
{
    size_t length = 99;
    EXPECT_EQ(tarvik::detail::read_whole_file("/nonexistent/stat", 1024, &length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(tarvik::detail::read_whole_file(nullptr, 1024, &length), nullptr);

    char *head = tarvik::detail::read_whole_file("/proc/stat", 10, &length);
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(strlen(head), 10u);
    EXPECT_EQ(std::string(head, 3), "cpu");
    tarvik_free_tag(head, __func__, __LINE__);

    // A file larger than the first read grows the block; the limit cuts it.
    char path[] = "/tmp/cpu_ticks_testXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string content;
    for (int i = 0; content.size() < 100000; ++i) {
        content += "line " + std::to_string(i) + "\n";
    }
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    char *whole = tarvik::detail::read_whole_file(path, tarvik::detail::PROC_FILE_LIMIT, &length);
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(std::string(whole, length), content);
    tarvik_free_tag(whole, __func__, __LINE__);
    char *cut = tarvik::detail::read_whole_file(path, 20000, &length);
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(std::string(cut, length), content.substr(0, 20000));
    EXPECT_EQ(cut[length], '\0');
    tarvik_free_tag(cut, __func__, __LINE__);
    unlink(path);
}

} // namespace
