// Internals of the CPU tick reader shared with the tick-rate detection and the tests:
// the whole-file reader of /proc files and the "cpu" line parser.
#pragma once

#include "../cpu_ticks.h"

namespace tarvik::detail {

// Limit of every whole-file read of a /proc file.
constexpr size_t PROC_FILE_LIMIT = 256u * 1024u;

// One "cpu" line with its numbers at full width.
struct CpuTickLine {
    int32_t m_id;
    uint32_t m_count; // numbers read, at most 15
    uint64_t m_values[15];
};

// Reads path whole (at most limit bytes) into a NUL-terminated tagged block the caller
// frees; null on failure. length_out (may be null) receives the bytes read.
char *read_whole_file(const char *path, size_t limit, size_t *length_out);

// Calls visit for every "cpu" line of text; a non-zero return of visit stops the walk.
// Returns the number of lines visited.
size_t for_each_cpu_line(const char *text, size_t length,
                         int (*visit)(const CpuTickLine &line, void *context), void *context);

// The list step of tarvik_open_cpu_ticks over a text already read; null when memory runs
// out (records already in list stay the caller's).
tarvik_cpu_ticks_t *parse_cpu_ticks(const char *text, size_t length, tarvik_cpu_ticks_t *list);

// Appends the tick document of record (the aggregate line) to buffer; 0, or -1 for a null
// record or buffer or when memory runs out.
int push_cpu_ticks_xml(struct tarvik_buffer_s *buffer, const tarvik_cpu_ticks_t *record);

} // namespace tarvik::detail
