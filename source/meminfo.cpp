// Memory figures of /proc/meminfo and the watchdog's victim choice. Holds no state: every
// sample reads the file anew into a stack buffer, every choice walks the list it is given.
#include "meminfo.h"

#include "detail/common.hpp"
#include "detail/meminfo.hpp"
#include "detail/text.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

using tarvik::detail::Cursor;
using tarvik::detail::Text;

// The figures asked for sit in the first lines of the file; what does not fit is never needed.
constexpr size_t SAMPLE_SIZE = 4096;
// Deeper process trees than this are not followed when the ancestors are collected.
constexpr int MAX_ANCESTORS = 64;

enum Key { MEM_TOTAL, MEM_FREE, BUFFERS, CACHED, SWAP_TOTAL, SWAP_FREE, MEM_AVAILABLE, KEYS };
constexpr const char *KEY_NAMES[KEYS] = {"memtotal",  "memfree",  "buffers",     "cached",
                                         "swaptotal", "swapfree", "memavailable"};

bool is_separator(int c) { return c == ':' || tarvik::detail::is_space(c); }

int key_of(Text word)
{
    for (int key = 0; key < KEYS; ++key) {
        if (word.equals_ignoring_case(KEY_NAMES[key])) {
            return key;
        }
    }
    return -1;
}

// A unit word: none counts bytes, k/m/g (with or without "B", any case) steps of 1024.
bool unit_of(Text word, uint64_t *unit)
{
    *unit = 1;
    if (word.empty()) {
        return true;
    }
    char first = tarvik::detail::to_lower(word.m_data[0]);
    int shift = first == 'k' ? 10 : first == 'm' ? 20 : first == 'g' ? 30 : -1;
    if (shift < 0 || word.m_length > 2 ||
        (word.m_length == 2 && tarvik::detail::to_lower(word.m_data[1]) != 'b')) {
        return false;
    }
    *unit = uint64_t{1} << shift;
    return true;
}

// "Key: number [unit]": the key's index and the byte count, or -1 for a line of no interest
// or one whose number does not fit in 64 bits once multiplied.
int parse_line(Text line, uint64_t *bytes)
{
    Cursor cursor(line);
    int key = key_of(cursor.word(is_separator));
    uint64_t number = 0;
    uint64_t unit = 1;
    if (key < 0) {
        return -1;
    }
    cursor.take_while(is_separator);
    if (!cursor.decimal(&number) || !unit_of(cursor.word(is_separator), &unit) ||
        number > UINT64_MAX / unit) {
        return -1;
    }
    *bytes = number * unit;
    return key;
}

bool read_oom_score_adj(int pid, int *value_out)
{
    char path[48];
    snprintf(path, sizeof(path), "/proc/%d/oom_score_adj", pid);
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    char text[24];
    ssize_t length = read(descriptor, text, sizeof(text));
    close(descriptor);
    Cursor cursor(text, length > 0 ? static_cast<size_t>(length) : 0);
    int64_t value = 0;
    if (!cursor.signed_decimal(&value, -1000, 1000)) {
        return false;
    }
    *value_out = static_cast<int>(value);
    return true;
}

const tarvik_ps_t *find_pid(const tarvik_ps_t *list, uint32_t pid)
{
    for (; list != nullptr; list = list->m_next) {
        if (list->m_pid == pid) {
            return list;
        }
    }
    return nullptr;
}

// Self, its parent as the caller knows it, and every ancestor the list shows.
struct Protected {
    uint32_t m_pids[MAX_ANCESTORS + 2];
    int m_count = 0;

    void add(uint32_t pid)
    {
        if (m_count < MAX_ANCESTORS + 2 && pid != 0 && !has(pid)) {
            m_pids[m_count++] = pid;
        }
    }
    bool has(uint32_t pid) const
    {
        for (int i = 0; i < m_count; ++i) {
            if (m_pids[i] == pid) {
                return true;
            }
        }
        return false;
    }
};

void collect_ancestors(const tarvik_ps_t *list, int self, int parent, Protected *guarded)
{
    guarded->add(1);
    guarded->add(static_cast<uint32_t>(self));
    if (parent > 0) {
        guarded->add(static_cast<uint32_t>(parent));
    }
    const tarvik_ps_t *record = find_pid(list, static_cast<uint32_t>(self));
    for (int depth = 0; record != nullptr && record->m_ppid > 1 && depth < MAX_ANCESTORS; ++depth) {
        guarded->add(record->m_ppid);
        record = find_pid(list, record->m_ppid);
    }
}

// Kernel threads have no memory map of their own: no VmSize, no command line.
bool is_kernel_thread(const tarvik_ps_t *record)
{
    return record->m_vmsize == 0 && record->m_cmdline_size == 0;
}

// Orders candidates by resident size, largest first, equal sizes by pid.
bool ranks_before(const tarvik_ps_t *left, const tarvik_ps_t *right)
{
    return left->m_rss > right->m_rss ||
           (left->m_rss == right->m_rss && left->m_pid < right->m_pid);
}

} // namespace

namespace tarvik::detail {

int parse_meminfo(const char *text, size_t length, uint64_t *values, int *kernel_out)
{
    uint64_t found[KEYS] = {};
    bool seen[KEYS] = {};
    Cursor cursor(text, text != nullptr ? length : 0);
    for (Text line; cursor.line(&line);) {
        uint64_t bytes = 0;
        int key = parse_line(line, &bytes);
        if (key >= 0) {
            found[key] = bytes;
            seen[key] = true;
        }
    }
    uint64_t total = found[MEM_TOTAL];
    uint64_t reclaimable = found[MEM_FREE];
    // Each step checks for overflow: the sum must stay within the total.
    bool consistent = seen[MEM_TOTAL] && seen[MEM_FREE] && total > 0 && reclaimable <= total &&
                      found[BUFFERS] <= total - reclaimable &&
                      found[CACHED] <= total - reclaimable - found[BUFFERS];
    if (!TARVIK_CHECK(values != nullptr) || !consistent) {
        return -1;
    }
    reclaimable += found[BUFFERS] + found[CACHED];
    values[TARVIK_MEMINFO_TOTAL] = total;
    values[TARVIK_MEMINFO_USED] = total - reclaimable;
    values[TARVIK_MEMINFO_FREE] = found[MEM_FREE];
    values[TARVIK_MEMINFO_BUFFERS] = found[BUFFERS];
    values[TARVIK_MEMINFO_CACHED] = found[CACHED];
    values[TARVIK_MEMINFO_SWAP_TOTAL] = found[SWAP_TOTAL];
    values[TARVIK_MEMINFO_SWAP_USED] =
        found[SWAP_TOTAL] > found[SWAP_FREE] ? found[SWAP_TOTAL] - found[SWAP_FREE] : 0;
    values[TARVIK_MEMINFO_SWAP_FREE] = found[SWAP_FREE];
    // Page cache that cannot be dropped (tmpfs, shared memory) counts in Cached: the kernel's
    // own estimate leaves it out, so it is preferred wherever the kernel gives one.
    bool kernel = seen[MEM_AVAILABLE];
    uint64_t available = kernel ? found[MEM_AVAILABLE] : reclaimable;
    values[TARVIK_MEMINFO_AVAILABLE] = available < total ? available : total;
    if (kernel_out != nullptr) {
        *kernel_out = kernel ? 1 : 0;
    }
    return 0;
}

tarvik_ps_t *meminfo_victim(tarvik_ps_t *list, int self, int parent, const int *skip,
                            int skip_count, OomLookup lookup)
{
    Protected guarded;
    collect_ancestors(list, self, parent, &guarded);
    auto skipped = [skip, skip_count](uint32_t pid) {
        for (int i = 0; skip != nullptr && i < skip_count; ++i) {
            if (static_cast<uint32_t>(skip[i]) == pid) {
                return true;
            }
        }
        return false;
    };
    // Each pass finds the largest candidate ranked after the last one refused, so only the
    // few largest processes have their oom_score_adj read.
    const tarvik_ps_t *refused = nullptr;
    for (;;) {
        tarvik_ps_t *best = nullptr;
        for (tarvik_ps_t *record = list; record != nullptr; record = record->m_next) {
            if (record->m_rss == 0 || record->m_state[0] == 'Z' || guarded.has(record->m_pid) ||
                skipped(record->m_pid) || is_kernel_thread(record) ||
                (refused != nullptr && !ranks_before(refused, record))) {
                continue;
            }
            if (best == nullptr || ranks_before(record, best)) {
                best = record;
            }
        }
        int adjustment = 0;
        if (best == nullptr || lookup == nullptr ||
            !lookup(static_cast<int>(best->m_pid), &adjustment) ||
            adjustment != TARVIK_OOM_SCORE_ADJ_NEVER) {
            return best;
        }
        refused = best;
    }
}

} // namespace tarvik::detail

extern "C" {

TARVIK_API int tarvik_get_meminfo_ex(uint64_t *values, int *kernel_out)
{
    if (!TARVIK_CHECK(values != nullptr)) {
        return -1;
    }
    int descriptor = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return -1;
    }
    char text[SAMPLE_SIZE];
    size_t length = 0;
    while (length < sizeof(text)) {
        ssize_t count = read(descriptor, text + length, sizeof(text) - length);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        length += static_cast<size_t>(count);
    }
    close(descriptor);
    return tarvik::detail::parse_meminfo(text, length, values, kernel_out);
}

TARVIK_API int tarvik_get_meminfo(uint64_t *values)
{
    uint64_t sample[TARVIK_MEMINFO_COUNT_EX];
    if (!TARVIK_CHECK(values != nullptr) || tarvik_get_meminfo_ex(sample, nullptr) != 0) {
        return -1;
    }
    for (int i = 0; i < TARVIK_MEMINFO_COUNT; ++i) {
        values[i] = sample[i];
    }
    return 0;
}

TARVIK_API int tarvik_get_oom_score_adj(int pid, int *value_out)
{
    if (!TARVIK_CHECK(value_out != nullptr) || pid <= 0) {
        return -1;
    }
    return read_oom_score_adj(pid, value_out) ? 0 : -1;
}

TARVIK_API int tarvik_meminfo_holds_memory(int pid)
{
    if (pid <= 0) {
        return 0;
    }
    // The second figure of statm counts resident pages; a process that has passed the
    // release of its memory on exit (a zombie among them) shows 0.
    char path[40];
    snprintf(path, sizeof(path), "/proc/%d/statm", pid);
    int descriptor = open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return 0;
    }
    char text[128];
    ssize_t length = read(descriptor, text, sizeof(text));
    close(descriptor);
    Cursor cursor(text, length > 0 ? static_cast<size_t>(length) : 0);
    uint64_t size = 0;
    uint64_t resident = 0;
    bool read_both = cursor.decimal(&size) && cursor.take_if(' ') && cursor.decimal(&resident);
    return read_both && resident > 0 ? 1 : 0;
}

TARVIK_API tarvik_ps_t *tarvik_meminfo_victim_ex(tarvik_ps_t *list, int self, const int *skip,
                                                 int skip_count)
{
    int parent = self == getpid() ? static_cast<int>(getppid()) : 0;
    return tarvik::detail::meminfo_victim(list, self, parent, skip, skip_count, read_oom_score_adj);
}

TARVIK_API tarvik_ps_t *tarvik_meminfo_victim(tarvik_ps_t *list, int self)
{
    return tarvik_meminfo_victim_ex(list, self, nullptr, 0);
}

} // extern "C"
