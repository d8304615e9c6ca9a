// CPU tick counters of /proc/stat: the whole-file reader and the "cpu" line parser.
// Records belong to the list's owner; a list handed back in is reused, never reordered.
#include "cpu_ticks.h"

#include "detail/common.hpp"
#include "detail/cpu_ticks.hpp"
#include "detail/process.hpp"

#include "buffer.h"

#include <cstring>

#ifdef __mips__
static_assert(sizeof(tarvik_cpu_ticks_t) == 72, "tick record layout of the 32-bit target");
#endif

namespace {

constexpr uint32_t MAX_VALUES = 15;

using tarvik::detail::Cursor;
using tarvik::detail::is_digit;
using tarvik::detail::Text;

bool is_separator(int c) { return c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n'; }

// Leading decimal digits of a word; counters wrap rather than saturate, like the kernel's.
uint64_t word_value(Text word)
{
    uint64_t value = 0;
    for (size_t i = 0; i < word.m_length && is_digit(word.m_data[i]); ++i) {
        value = value * 10u + static_cast<uint64_t>(word.m_data[i] - '0');
    }
    return value;
}

// The number behind "cpu", -1 for the aggregate line; a huge one stops at INT32_MAX.
int32_t cpu_id(Text word)
{
    Cursor digits(word.m_data + 3, word.m_length - 3);
    uint64_t id = INT32_MAX;
    if (!is_digit(digits.peek())) {
        return -1;
    }
    digits.decimal(&id, INT32_MAX);
    return static_cast<int32_t>(id);
}

// Parses one line; false when it is not a "cpu" line.
bool parse_line(Text text, tarvik::detail::CpuTickLine *line)
{
    Cursor cursor(text);
    Text word = cursor.word(is_separator);
    if (word.m_length < 3 || !Text(word.m_data, 3).equals_ignoring_case("cpu")) {
        return false;
    }
    memset(line, 0, sizeof(*line));
    line->m_id = cpu_id(word);
    while (line->m_count < MAX_VALUES && !(word = cursor.word(is_separator)).empty()) {
        line->m_values[line->m_count++] = word_value(word);
    }
    return true;
}

void fill_record(tarvik_cpu_ticks_t *record, const tarvik::detail::CpuTickLine &line)
{
    record->m_id = line.m_id;
    record->m_total = 0;
    for (uint32_t i = 0; i < MAX_VALUES; ++i) {
        record->m_values[i] = static_cast<uint32_t>(line.m_values[i]);
        record->m_total += record->m_values[i];
    }
}

struct ListBuild {
    tarvik_cpu_ticks_t *m_head;
    tarvik_cpu_ticks_t *m_tail;
    bool m_out_of_memory;
};

int add_to_list(const tarvik::detail::CpuTickLine &line, void *context)
{
    ListBuild *build = static_cast<ListBuild *>(context);
    for (tarvik_cpu_ticks_t *record = build->m_head; record != nullptr; record = record->m_next) {
        if (record->m_id == line.m_id) {
            fill_record(record, line);
            return 0;
        }
    }
    tarvik_cpu_ticks_t *record =
        static_cast<tarvik_cpu_ticks_t *>(tarvik_alloc_tag(sizeof(tarvik_cpu_ticks_t), TARVIK_TAG));
    if (record == nullptr) {
        build->m_out_of_memory = true;
        return 1;
    }
    fill_record(record, line);
    tarvik::detail::SinglyLinked<tarvik_cpu_ticks_t>(&build->m_head, &build->m_tail)
        .push_back(record);
    return 0;
}

// Element names of the document, in id order: the sum, then the first eight values.
constexpr const char *XML_NAMES[] = {"total",  "user", "nice",    "system", "idle",
                                     "iowait", "irq",  "softirq", "stolen"};
constexpr unsigned long XML_VALUE_COUNT = sizeof(XML_NAMES) / sizeof(XML_NAMES[0]) - 1;

} // namespace

namespace tarvik::detail {

int push_cpu_ticks_xml(tarvik_buffer_t *buffer, const tarvik_cpu_ticks_t *record)
{
    if (record == nullptr) {
        return -1;
    }
    bool ok = tarvik_push_printf(buffer,
                                 "<?xml version='1.0' encoding='UTF-8' "
                                 "standalone='yes'?>\n<cputick count='%lu'>\n",
                                 XML_VALUE_COUNT) != 0;
    for (int id = 0; ok && id <= static_cast<int>(XML_VALUE_COUNT); ++id) {
        unsigned long value = id == 0 ? record->m_total : record->m_values[id - 1];
        ok = tarvik_push_printf(buffer, "  <%s id='%d'>%lu</%s>\n", XML_NAMES[id], id, value,
                                XML_NAMES[id]) != 0;
    }
    return ok && tarvik_push_puts(buffer, "</cputick>\n") != 0 ? 0 : -1;
}

char *read_whole_file(const char *path, size_t limit, size_t *length_out)
{
    return static_cast<char *>(tarvik_alloc_buffer_from_file(path, 0, limit, length_out));
}

// Lines end at LF only: a CR is one more separator between words.
size_t for_each_cpu_line(const char *text, size_t length,
                         int (*visit)(const CpuTickLine &line, void *context), void *context)
{
    if (text == nullptr || visit == nullptr) {
        return 0;
    }
    size_t visited = 0;
    for (Cursor cursor(text, length); !cursor.at_end(); cursor.take_if('\n')) {
        CpuTickLine line;
        if (parse_line(cursor.take_until([](int c) { return c == '\n'; }), &line)) {
            ++visited;
            if (visit(line, context) != 0) {
                break;
            }
        }
    }
    return visited;
}

tarvik_cpu_ticks_t *parse_cpu_ticks(const char *text, size_t length, tarvik_cpu_ticks_t *list)
{
    ListBuild build{list, nullptr, false};
    build.m_tail = SinglyLinked<tarvik_cpu_ticks_t>(&build.m_head, nullptr).back();
    for_each_cpu_line(text, length, add_to_list, &build);
    if (build.m_out_of_memory) {
        if (list == nullptr) {
            tarvik_close_cpu_ticks(build.m_head);
        }
        return nullptr;
    }
    return build.m_head;
}

} // namespace tarvik::detail

extern "C" {

TARVIK_API tarvik_cpu_ticks_t *tarvik_open_cpu_ticks(tarvik_cpu_ticks_t *list)
{
    size_t length = 0;
    char *text =
        tarvik::detail::read_whole_file("/proc/stat", tarvik::detail::PROC_FILE_LIMIT, &length);
    if (text == nullptr) {
        return nullptr;
    }
    tarvik_cpu_ticks_t *result = tarvik::detail::parse_cpu_ticks(text, length, list);
    tarvik_free_tag(text, TARVIK_TAG);
    return result;
}

TARVIK_API int tarvik_close_cpu_ticks(tarvik_cpu_ticks_t *list)
{
    tarvik::detail::free_chain_tag(list, TARVIK_TAG);
    return 0;
}

// The first record is the aggregate "cpu" line on every kernel.
TARVIK_API int tarvik_push_cpu_ticks_xml(struct tarvik_buffer_s *buffer)
{
    tarvik_cpu_ticks_t *list = tarvik_open_cpu_ticks(nullptr);
    if (list == nullptr) {
        return -1;
    }
    tarvik_buffer_t *target = buffer != nullptr ? buffer : tarvik_open_buffer();
    int result = tarvik::detail::push_cpu_ticks_xml(target, list);
    if (buffer == nullptr) {
        result = result == 0 ? tarvik::detail::print_buffer(target) : -1;
        tarvik_close_buffer(target);
    }
    tarvik_close_cpu_ticks(list);
    return result;
}

} // extern "C"
