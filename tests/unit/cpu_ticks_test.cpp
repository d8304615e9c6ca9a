// CPU tick reader: line parsing, record reuse across readings, and the real /proc/stat.
#include "tarvik_test.hpp"

#include "capture.hpp"
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

std::string pop_all(tarvik_buffer_t *buffer)
{
    std::string text(tarvik_get_buffer_size(buffer), '\0');
    text.resize(tarvik_pop_buffer(buffer, text.data(), text.size()));
    return text;
}

TEST_F(CpuTicksTest, XmlDocumentOfTheAggregateLine)
{
    // Counters at the top of 32 bits print unsigned; values past the eighth are summed only.
    tarvik_cpu_ticks_t *list =
        parse("cpu 4294967295 1 2 3 4 5 6 7 100 200\ncpu0 9 9 9 9 9 9 9 9\n");
    ASSERT_NE(list, nullptr);
    tarvik_buffer_t *buffer = tarvik_open_buffer();
    ASSERT_EQ(tarvik::detail::push_cpu_ticks_xml(buffer, list), 0);
    EXPECT_EQ(pop_all(buffer), "<?xml version='1.0' encoding='UTF-8' standalone='yes'?>\n"
                               "<cputick count='8'>\n"
                               "  <total id='0'>327</total>\n"
                               "  <user id='1'>4294967295</user>\n"
                               "  <nice id='2'>1</nice>\n"
                               "  <system id='3'>2</system>\n"
                               "  <idle id='4'>3</idle>\n"
                               "  <iowait id='5'>4</iowait>\n"
                               "  <irq id='6'>5</irq>\n"
                               "  <softirq id='7'>6</softirq>\n"
                               "  <stolen id='8'>7</stolen>\n"
                               "</cputick>\n");
    EXPECT_EQ(tarvik::detail::push_cpu_ticks_xml(buffer, nullptr), -1);
    EXPECT_EQ(tarvik::detail::push_cpu_ticks_xml(nullptr, list), -1);
    tarvik_close_buffer(buffer);
    tarvik_close_cpu_ticks(list);
}

// Each counter of the document lies between two readings of /proc/stat taken around it.
TEST_F(CpuTicksTest, XmlOfProcStatAndItsPrintedForm)
{
    tarvik_cpu_ticks_t *before = tarvik_open_cpu_ticks(nullptr);
    tarvik_buffer_t *buffer = tarvik_open_buffer();
    ASSERT_EQ(tarvik_push_cpu_ticks_xml(buffer), 0);
    tarvik_cpu_ticks_t *after = tarvik_open_cpu_ticks(nullptr);
    ASSERT_NE(before, nullptr);
    ASSERT_NE(after, nullptr);
    std::string text = pop_all(buffer);
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    std::getline(lines, line);
    EXPECT_EQ(line, "<cputick count='8'>");
    for (int id = 0; id <= 8; ++id) {
        ASSERT_TRUE(std::getline(lines, line));
        size_t open = line.find('>');
        ASSERT_NE(open, std::string::npos) << line;
        EXPECT_NE(line.find(" id='" + std::to_string(id) + "'"), std::string::npos) << line;
        unsigned long value = std::stoul(line.substr(open + 1));
        uint32_t low = id == 0 ? before->m_total : before->m_values[id - 1];
        uint32_t high = id == 0 ? after->m_total : after->m_values[id - 1];
        EXPECT_LE(low, value) << line;
        EXPECT_LE(value, high) << line;
    }
    tarvik_close_cpu_ticks(before);
    tarvik_close_cpu_ticks(after);
    tarvik_close_buffer(buffer);

    // Without a buffer the whole document goes to standard output at once.
    Captured printed = run_in_child([] { return tarvik_push_cpu_ticks_xml(nullptr) == 0 ? 0 : 1; });
    EXPECT_EQ(printed.status, 0);
    EXPECT_EQ(printed.out.rfind("<?xml version='1.0'", 0), 0u) << printed.out;
    EXPECT_EQ(printed.out.substr(printed.out.size() - 11), "</cputick>\n");
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
