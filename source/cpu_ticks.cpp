// CPU tick counters of /proc/stat: the whole-file reader and the "cpu" line parser.
// Records belong to the list's owner; a list handed back in is reused, never reordered.
#include "cpu_ticks.h"

#include "detail/common.hpp"
#include "detail/cpu_ticks.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#ifdef __mips__
static_assert(sizeof(tarvik_cpu_ticks_t) == 72, "tick record layout of the 32-bit target");
#endif

namespace {

constexpr size_t FIRST_READ_SIZE = 8192;
constexpr uint32_t MAX_VALUES = 15;

bool is_separator(char c) { return c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n'; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Next word in [*cursor, end); false when the line has no more words.
bool next_word(const char **cursor, const char *end, const char **word, size_t *length)
{
    const char *p = *cursor;
    while (p < end && is_separator(*p)) {
        ++p;
    }
    if (p == end) {
        *cursor = p;
        return false;
    }
    const char *start = p;
    while (p < end && !is_separator(*p)) {
        ++p;
    }
    *word = start;
    *length = static_cast<size_t>(p - start);
    *cursor = p;
    return true;
}

// Leading decimal digits of a word; counters wrap rather than saturate, like the kernel's.
uint64_t word_value(const char *word, size_t length)
{
    uint64_t value = 0;
    for (size_t i = 0; i < length && is_digit(word[i]); ++i) {
        value = value * 10u + static_cast<uint64_t>(word[i] - '0');
    }
    return value;
}

int32_t cpu_id(const char *word, size_t length)
{
    if (length < 4 || !is_digit(word[3])) {
        return -1;
    }
    int64_t id = 0;
    for (size_t i = 3; i < length && is_digit(word[i]); ++i) {
        id = id * 10 + (word[i] - '0');
        if (id > INT32_MAX) {
            return INT32_MAX;
        }
    }
    return static_cast<int32_t>(id);
}

// Parses one line; false when it is not a "cpu" line.
bool parse_line(const char *begin, const char *end, tarvik::detail::CpuTickLine *line)
{
    const char *cursor = begin;
    const char *word = nullptr;
    size_t length = 0;
    if (!next_word(&cursor, end, &word, &length) || length < 3 || lower(word[0]) != 'c' ||
        lower(word[1]) != 'p' || lower(word[2]) != 'u') {
        return false;
    }
    memset(line, 0, sizeof(*line));
    line->m_id = cpu_id(word, length);
    while (line->m_count < MAX_VALUES && next_word(&cursor, end, &word, &length)) {
        line->m_values[line->m_count++] = word_value(word, length);
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
    record->m_next = nullptr;
    fill_record(record, line);
    if (build->m_tail == nullptr) {
        build->m_head = record;
    } else {
        build->m_tail->m_next = record;
    }
    build->m_tail = record;
    return 0;
}

} // namespace

namespace tarvik::detail {

char *read_whole_file(const char *path, size_t limit, size_t *length_out)
{
    if (length_out != nullptr) {
        *length_out = 0;
    }
    if (path == nullptr) {
        return nullptr;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    size_t capacity = limit < FIRST_READ_SIZE ? limit : FIRST_READ_SIZE;
    char *data = static_cast<char *>(tarvik_alloc_tag(capacity + 1, TARVIK_TAG));
    size_t used = 0;
    while (data != nullptr && used < limit) {
        if (used == capacity) {
            // /proc files report no size: grow by doubling up to the limit.
            size_t grown = capacity * 2 > limit ? limit : capacity * 2;
            char *bigger = static_cast<char *>(tarvik_realloc_tag(data, grown + 1, TARVIK_TAG));
            if (bigger == nullptr) {
                tarvik_free_tag(data, TARVIK_TAG);
                data = nullptr;
                break;
            }
            data = bigger;
            capacity = grown;
        }
        ssize_t n = read(fd, data + used, capacity - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            tarvik_free_tag(data, TARVIK_TAG);
            data = nullptr;
            break;
        }
        if (n == 0) {
            break;
        }
        used += static_cast<size_t>(n);
    }
    close(fd);
    if (data == nullptr) {
        return nullptr;
    }
    data[used] = '\0';
    if (length_out != nullptr) {
        *length_out = used;
    }
    return data;
}

size_t for_each_cpu_line(const char *text, size_t length,
                         int (*visit)(const CpuTickLine &line, void *context), void *context)
{
    if (text == nullptr || visit == nullptr) {
        return 0;
    }
    size_t visited = 0;
    const char *end = text + length;
    const char *begin = text;
    while (begin < end) {
        const char *newline =
            static_cast<const char *>(memchr(begin, '\n', static_cast<size_t>(end - begin)));
        const char *line_end = newline != nullptr ? newline : end;
        CpuTickLine line;
        if (parse_line(begin, line_end, &line)) {
            ++visited;
            if (visit(line, context) != 0) {
                break;
            }
        }
        begin = newline != nullptr ? newline + 1 : end;
    }
    return visited;
}

tarvik_cpu_ticks_t *parse_cpu_ticks(const char *text, size_t length, tarvik_cpu_ticks_t *list)
{
    ListBuild build{list, list, false};
    while (build.m_tail != nullptr && build.m_tail->m_next != nullptr) {
        build.m_tail = build.m_tail->m_next;
    }
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
    while (list != nullptr) {
        tarvik_cpu_ticks_t *next = list->m_next;
        tarvik_free_tag(list, TARVIK_TAG);
        list = next;
    }
    return 0;
}

} // extern "C"
