// Range sets: node pool, merging insert, splitting delete, completeness, first-fit and
// rotating allocation, and the text form in both directions.
#include "fragment.h"

#include "detail/common.hpp"
#include "heap.h"
#include "scan.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace {

struct PoolBlock {
    PoolBlock *m_next;
    tarvik_fragment_node_t m_nodes[TARVIK_FRAGMENT_POOL_BLOCK];
};

constexpr uint64_t kMax = UINT64_MAX;
constexpr uint64_t kRotateLimit = static_cast<uint64_t>(INT64_MAX);

tarvik_fragment_node_t *node_alloc(tarvik_fragment_pool_t *pool)
{
    if (pool->m_free == nullptr) {
        auto *block = static_cast<PoolBlock *>(tarvik_alloc_tag(sizeof(PoolBlock), TARVIK_TAG));
        if (block == nullptr) {
            return nullptr;
        }
        block->m_next = static_cast<PoolBlock *>(pool->m_blocks);
        pool->m_blocks = block;
        for (int i = TARVIK_FRAGMENT_POOL_BLOCK - 1; i >= 0; --i) {
            block->m_nodes[i].m_next = pool->m_free;
            pool->m_free = &block->m_nodes[i];
        }
    }
    tarvik_fragment_node_t *node = pool->m_free;
    pool->m_free = node->m_next;
    node->m_next = nullptr;
    return node;
}

void node_free(tarvik_fragment_pool_t *pool, tarvik_fragment_node_t *node)
{
    node->m_next = pool->m_free;
    pool->m_free = node;
}

void pool_release(tarvik_fragment_pool_t *pool)
{
    auto *block = static_cast<PoolBlock *>(pool->m_blocks);
    while (block != nullptr) {
        PoolBlock *next = block->m_next;
        tarvik_free_tag(block, TARVIK_TAG);
        block = next;
    }
    pool->m_blocks = nullptr;
    pool->m_free = nullptr;
}

uint64_t end_of(const tarvik_fragment_node_t *node) { return node->m_offset + node->m_length; }

// Drops every node (and the pool behind them) of one fragment, not its chain.
void clear_nodes(tarvik_fragment_t *fragment)
{
    pool_release(&fragment->m_pool);
    fragment->m_first = nullptr;
    fragment->m_last = nullptr;
    fragment->m_covered = 0;
}

void close_chain(tarvik_fragment_t *chain)
{
    while (chain != nullptr) {
        tarvik_fragment_t *next = chain->m_next;
        chain->m_next = nullptr;
        tarvik_close_fragment(chain);
        chain = next;
    }
}

bool same_name(const char *a, const char *b)
{
    return a != nullptr && b != nullptr && strcmp(a, b) == 0;
}

using tarvik::detail::is_digit;
using tarvik::detail::is_space;

// Lowest offset >= from where length free integers end within limit, or false.
bool find_gap(const tarvik_fragment_t *fragment, uint64_t from, uint64_t length, uint64_t limit,
              uint64_t *offset_out)
{
    uint64_t candidate = from;
    for (const tarvik_fragment_node_t *node = fragment->m_first; node != nullptr;
         node = node->m_next) {
        uint64_t end = end_of(node);
        if (end <= candidate) {
            continue;
        }
        if (node->m_offset > candidate && node->m_offset - candidate >= length) {
            break;
        }
        candidate = end;
    }
    if (candidate > limit || limit - candidate < length) {
        return false;
    }
    *offset_out = candidate;
    return true;
}

// Inserts [offset, offset + length) and merges it with every neighbour it touches; false
// when no node can be allocated. With a hint (a node of this fragment, or null for the
// front) the walk starts there when the range lies at or behind it, and the hint becomes the
// node that holds the range, so ranges added in ascending order cost one step each.
bool add_range(tarvik_fragment_t *fragment, uint64_t offset, uint64_t length,
               tarvik_fragment_node_t **hint_inout)
{
    if (length > kMax - offset) {
        length = kMax - offset;
    }
    if (length == 0) {
        return true;
    }
    uint64_t end = offset + length;
    tarvik_fragment_node_t *previous = nullptr;
    tarvik_fragment_node_t *node = fragment->m_first;
    tarvik_fragment_node_t *hint = hint_inout != nullptr ? *hint_inout : nullptr;
    if (hint != nullptr && hint->m_offset <= offset) {
        // A hint the range touches is merged into; otherwise the walk goes on behind it.
        if (end_of(hint) >= offset) {
            node = hint;
        } else {
            previous = hint;
            node = hint->m_next;
        }
    }
    while (node != nullptr && end_of(node) < offset) {
        previous = node;
        node = node->m_next;
    }
    if (node == nullptr || node->m_offset > end) {
        tarvik_fragment_node_t *fresh = node_alloc(&fragment->m_pool);
        if (fresh == nullptr) {
            return false;
        }
        fresh->m_offset = offset;
        fresh->m_length = length;
        fresh->m_next = node;
        if (previous == nullptr) {
            fragment->m_first = fresh;
        } else {
            previous->m_next = fresh;
        }
        if (node == nullptr) {
            fragment->m_last = fresh;
        }
        fragment->m_covered += length;
        node = fresh;
    } else {
        // node touches or overlaps: widen it, then swallow every follower it reaches.
        uint64_t before = node->m_length;
        uint64_t start = node->m_offset < offset ? node->m_offset : offset;
        uint64_t stop = end_of(node) > end ? end_of(node) : end;
        while (node->m_next != nullptr && node->m_next->m_offset <= stop) {
            tarvik_fragment_node_t *next = node->m_next;
            before += next->m_length;
            if (end_of(next) > stop) {
                stop = end_of(next);
            }
            node->m_next = next->m_next;
            node_free(&fragment->m_pool, next);
        }
        if (node->m_next == nullptr) {
            fragment->m_last = node;
        }
        node->m_offset = start;
        node->m_length = stop - start;
        fragment->m_covered += node->m_length - before;
    }
    if ((fragment->m_flags & TARVIK_FRAGMENT_BOUNDED) == 0 && end > fragment->m_total) {
        fragment->m_total = end;
    }
    fragment->m_last_end = end;
    if (hint_inout != nullptr) {
        *hint_inout = node;
    }
    return true;
}

// Appends formatted text at out + *used when out is not null; always counts.
void emit(char *out, size_t *used, const char *text)
{
    size_t length = strlen(text);
    if (out != nullptr) {
        memcpy(out + *used, text, length);
    }
    *used += length;
}

size_t write_chain(const tarvik_fragment_t *fragment, char *out)
{
    size_t used = 0;
    bool first_group = true;
    for (const tarvik_fragment_t *f = fragment; f != nullptr; f = f->m_next) {
        if (f->m_first == nullptr) {
            continue;
        }
        if (!first_group) {
            emit(out, &used, ",");
        }
        first_group = false;
        if (f->m_name != nullptr) {
            emit(out, &used, f->m_name);
            emit(out, &used, "=");
        }
        for (const tarvik_fragment_node_t *node = f->m_first; node != nullptr;
             node = node->m_next) {
            char number[48];
            if (node->m_length == 1) {
                snprintf(number, sizeof(number), "%llu",
                         static_cast<unsigned long long>(node->m_offset));
            } else {
                snprintf(number, sizeof(number), "%llu-%llu",
                         static_cast<unsigned long long>(node->m_offset),
                         static_cast<unsigned long long>(end_of(node) - 1));
            }
            emit(out, &used, number);
            if (node->m_next != nullptr) {
                emit(out, &used, "|");
            }
        }
    }
    return used;
}

// Reads one number of [*cursor, end); false when none starts there.
bool read_number(const char **cursor, const char *end, uint64_t *value)
{
    const char *p = *cursor;
    while (p < end && is_space(*p)) {
        ++p;
    }
    if (p >= end || !is_digit(*p)) {
        return false;
    }
    char *after = nullptr;
    intmax_t number = tarvik_strtointmax(p, &after, 0);
    if (after == nullptr || after <= p || after > end) {
        return false;
    }
    *value = static_cast<uint64_t>(number);
    *cursor = after;
    return true;
}

// Parses one "a", "a-b" range of [begin, end); false when it holds no number.
bool parse_range(const char *begin, const char *end, uint64_t *offset, uint64_t *length)
{
    const char *p = begin;
    uint64_t first = 0;
    if (!read_number(&p, end, &first)) {
        return false;
    }
    while (p < end && is_space(*p)) {
        ++p;
    }
    uint64_t last = first;
    if (p < end && (*p == '-' || *p == '~' || *p == ':')) {
        ++p;
        uint64_t second = 0;
        if (read_number(&p, end, &second) && second >= first) {
            last = second;
        }
    }
    *offset = first;
    *length = last == kMax ? kMax - first : last - first + 1;
    return *length != 0;
}

struct Range {
    uint64_t m_offset;
    uint64_t m_length;
};

// Ranges of one group as they are read; the first few need no heap block.
struct RangeList {
    Range m_fixed[16];
    Range *m_items = m_fixed;
    size_t m_count = 0;
    size_t m_capacity = 16;

    RangeList() = default;
    RangeList(const RangeList &) = delete;
    RangeList &operator=(const RangeList &) = delete;
    ~RangeList()
    {
        if (m_items != m_fixed) {
            tarvik_free_tag(m_items, TARVIK_TAG);
        }
    }
    bool push(uint64_t offset, uint64_t length)
    {
        if (m_count == m_capacity) {
            Range *grown =
                static_cast<Range *>(tarvik_alloc_tag(2 * m_capacity * sizeof(Range), TARVIK_TAG));
            if (grown == nullptr) {
                return false;
            }
            memcpy(grown, m_items, m_count * sizeof(Range));
            if (m_items != m_fixed) {
                tarvik_free_tag(m_items, TARVIK_TAG);
            }
            m_items = grown;
            m_capacity *= 2;
        }
        m_items[m_count++] = Range{offset, length};
        return true;
    }
};

// Orders ranges by offset in place: a heap sort, n log n without recursion or memory.
void sort_ranges(Range *ranges, size_t count)
{
    auto sift = [ranges](size_t root, size_t size) {
        for (size_t child = 2 * root + 1; child < size; child = 2 * root + 1) {
            if (child + 1 < size && ranges[child + 1].m_offset > ranges[child].m_offset) {
                ++child;
            }
            if (ranges[root].m_offset >= ranges[child].m_offset) {
                return;
            }
            std::swap(ranges[root], ranges[child]);
            root = child;
        }
    };
    for (size_t root = count / 2; root-- > 0;) {
        sift(root, count);
    }
    for (size_t size = count; size-- > 1;) {
        std::swap(ranges[0], ranges[size]);
        sift(0, size);
    }
}

// The fragment of the chain with that name, created at the chain's end when missing.
tarvik_fragment_t *chained(tarvik_fragment_t *fragment, const char *name)
{
    tarvik_fragment_t *target = tarvik_find_fragment(fragment, name);
    if (target != nullptr) {
        return target;
    }
    target = tarvik_open_fragment_ex(name);
    if (target == nullptr) {
        return nullptr;
    }
    target->m_flags = fragment->m_flags;
    if ((fragment->m_flags & TARVIK_FRAGMENT_BOUNDED) != 0) {
        target->m_total = fragment->m_total;
    }
    tarvik_fragment_t *tail = fragment;
    while (tail->m_next != nullptr) {
        tail = tail->m_next;
    }
    tail->m_next = target;
    return target;
}

// The chain's fragments by name for one parse, which may name thousands of them: a lookup
// is a short probe instead of a walk of the whole chain. New fragments go to the chain's end.
class NameIndex {
  public:
    explicit NameIndex(tarvik_fragment_t *head) : m_head(head), m_tail(head) {}
    NameIndex(const NameIndex &) = delete;
    NameIndex &operator=(const NameIndex &) = delete;
    ~NameIndex()
    {
        if (m_slots != nullptr) {
            tarvik_free_tag(m_slots, TARVIK_TAG);
        }
    }

    // The fragment of that name (the head for none), created when missing; null without memory.
    tarvik_fragment_t *find_or_add(const char *name)
    {
        if (name == nullptr) {
            return m_head;
        }
        if (m_slots == nullptr && !index_chain()) {
            return nullptr;
        }
        size_t slot = find_slot(name);
        if (m_slots[slot] != nullptr) {
            return m_slots[slot];
        }
        if (2 * (m_count + 1) > m_capacity) {
            if (!rehash(2 * m_capacity)) {
                return nullptr;
            }
            slot = find_slot(name);
        }
        tarvik_fragment_t *fresh = tarvik_open_fragment_ex(name);
        if (fresh == nullptr) {
            return nullptr;
        }
        fresh->m_flags = m_head->m_flags;
        if ((m_head->m_flags & TARVIK_FRAGMENT_BOUNDED) != 0) {
            fresh->m_total = m_head->m_total;
        }
        m_tail->m_next = fresh;
        m_tail = fresh;
        m_slots[slot] = fresh;
        ++m_count;
        return fresh;
    }

  private:
    static size_t hash(const char *name)
    {
        uint32_t value = 2166136261u;
        for (; *name != '\0'; ++name) {
            value = (value ^ static_cast<unsigned char>(*name)) * 16777619u;
        }
        return value;
    }
    // The slot holding name, or the empty slot where it belongs.
    size_t find_slot(const char *name) const
    {
        size_t slot = hash(name) & (m_capacity - 1);
        while (m_slots[slot] != nullptr && strcmp(m_slots[slot]->m_name, name) != 0) {
            slot = (slot + 1) & (m_capacity - 1);
        }
        return slot;
    }
    bool rehash(size_t capacity)
    {
        auto **slots = static_cast<tarvik_fragment_t **>(
            tarvik_calloc_tag(capacity, sizeof(tarvik_fragment_t *), TARVIK_TAG));
        if (slots == nullptr) {
            return false;
        }
        tarvik_fragment_t **old = m_slots;
        const size_t old_capacity = m_capacity;
        m_slots = slots;
        m_capacity = capacity;
        for (size_t i = 0; i < old_capacity; ++i) {
            if (old[i] != nullptr) {
                m_slots[find_slot(old[i]->m_name)] = old[i];
            }
        }
        if (old != nullptr) {
            tarvik_free_tag(old, TARVIK_TAG);
        }
        return true;
    }
    // The chain as it stands; of two fragments with one name the first is the one found.
    bool index_chain()
    {
        if (!rehash(16)) {
            return false;
        }
        for (tarvik_fragment_t *f = m_head; f != nullptr; f = f->m_next) {
            m_tail = f;
            if (f->m_name == nullptr) {
                continue;
            }
            if (2 * (m_count + 1) > m_capacity && !rehash(2 * m_capacity)) {
                return false;
            }
            const size_t slot = find_slot(f->m_name);
            if (m_slots[slot] == nullptr) {
                m_slots[slot] = f;
                ++m_count;
            }
        }
        return true;
    }

    tarvik_fragment_t *m_head;
    tarvik_fragment_t *m_tail;
    tarvik_fragment_t **m_slots = nullptr;
    size_t m_capacity = 0;
    size_t m_count = 0;
};

// Adds the ranges in ascending order, each walk starting where the previous range landed: a
// group costs n log n however its ranges are ordered, not n squared. The most recently added
// range stays the group's last one in the text.
bool add_ranges(tarvik_fragment_t *target, RangeList &list)
{
    const Range last = list.m_items[list.m_count - 1];
    sort_ranges(list.m_items, list.m_count);
    tarvik_fragment_node_t *hint = nullptr;
    for (size_t i = 0; i < list.m_count; ++i) {
        if (!add_range(target, list.m_items[i].m_offset, list.m_items[i].m_length, &hint)) {
            return false;
        }
    }
    target->m_last_end =
        last.m_offset +
        (last.m_length > kMax - last.m_offset ? kMax - last.m_offset : last.m_length);
    return true;
}

// Parses one group [begin, end) ("name=ranges" or "ranges"); false when out of memory.
bool parse_group(NameIndex &names, const char *begin, const char *end)
{
    const char *equal = static_cast<const char *>(memchr(begin, '=', end - begin));
    char *name = nullptr;
    const char *ranges = begin;
    if (equal != nullptr) {
        const char *name_begin = begin;
        const char *name_end = equal;
        while (name_begin < name_end && is_space(*name_begin)) {
            ++name_begin;
        }
        while (name_end > name_begin && is_space(name_end[-1])) {
            --name_end;
        }
        if (name_end > name_begin) {
            size_t size = static_cast<size_t>(name_end - name_begin);
            name = static_cast<char *>(tarvik_alloc_tag(size + 1, TARVIK_TAG));
            if (name == nullptr) {
                return false;
            }
            memcpy(name, name_begin, size);
            name[size] = '\0';
        }
        ranges = equal + 1;
    }
    RangeList list;
    bool ok = true;
    while (ranges <= end && ok) {
        const char *bar = static_cast<const char *>(memchr(ranges, '|', end - ranges));
        const char *range_end = bar != nullptr ? bar : end;
        uint64_t offset = 0;
        uint64_t length = 0;
        if (parse_range(ranges, range_end, &offset, &length)) {
            ok = list.push(offset, length);
        }
        if (bar == nullptr) {
            break;
        }
        ranges = bar + 1;
    }
    if (ok && list.m_count > 0) {
        tarvik_fragment_t *target = names.find_or_add(name);
        ok = target != nullptr && add_ranges(target, list);
    }
    if (name != nullptr) {
        tarvik_free_tag(name, TARVIK_TAG);
    }
    return ok;
}

} // namespace

extern "C" {

TARVIK_API tarvik_fragment_t *tarvik_open_fragment(void)
{
    return tarvik_open_fragment_ex(nullptr);
}

TARVIK_API tarvik_fragment_t *tarvik_open_fragment_ex(const char *name)
{
    auto *fragment =
        static_cast<tarvik_fragment_t *>(tarvik_alloc_tag(sizeof(tarvik_fragment_t), TARVIK_TAG));
    if (fragment == nullptr) {
        return nullptr;
    }
    if (tarvik_init_fragment_ex(fragment, name) != 0) {
        tarvik_free_tag(fragment, TARVIK_TAG);
        return nullptr;
    }
    return fragment;
}

TARVIK_API int tarvik_init_fragment(tarvik_fragment_t *fragment)
{
    return tarvik_init_fragment_ex(fragment, nullptr);
}

TARVIK_API int tarvik_init_fragment_ex(tarvik_fragment_t *fragment, const char *name)
{
    if (fragment == nullptr) {
        return -1;
    }
    memset(fragment, 0, sizeof(*fragment));
    if (name != nullptr) {
        fragment->m_name = tarvik_strdup_tag(name, TARVIK_TAG);
        if (fragment->m_name == nullptr) {
            return -1;
        }
    }
    return 0;
}

TARVIK_API void tarvik_uninit_fragment(tarvik_fragment_t *fragment)
{
    if (fragment == nullptr) {
        return;
    }
    close_chain(fragment->m_next);
    fragment->m_next = nullptr;
    clear_nodes(fragment);
    if (fragment->m_name != nullptr) {
        tarvik_free_tag(fragment->m_name, TARVIK_TAG);
        fragment->m_name = nullptr;
    }
    fragment->m_total = 0;
    fragment->m_last_end = 0;
}

TARVIK_API void tarvik_close_fragment(tarvik_fragment_t *fragment)
{
    if (fragment == nullptr) {
        return;
    }
    tarvik_uninit_fragment(fragment);
    tarvik_free_tag(fragment, TARVIK_TAG);
}

TARVIK_API void tarvik_reset_fragment(tarvik_fragment_t *fragment)
{
    if (fragment == nullptr) {
        return;
    }
    close_chain(fragment->m_next);
    fragment->m_next = nullptr;
    clear_nodes(fragment);
    if ((fragment->m_flags & TARVIK_FRAGMENT_BOUNDED) == 0) {
        fragment->m_total = 0;
    }
    fragment->m_last_end = 0;
}

TARVIK_API void tarvik_set_fragment_flags(tarvik_fragment_t *fragment, unsigned flags,
                                          uint64_t total)
{
    if (fragment == nullptr) {
        return;
    }
    fragment->m_flags = flags;
    if ((flags & TARVIK_FRAGMENT_BOUNDED) != 0) {
        fragment->m_total = total;
    }
}

TARVIK_API tarvik_fragment_t *tarvik_find_fragment(tarvik_fragment_t *fragment, const char *name)
{
    if (fragment == nullptr || name == nullptr) {
        return fragment;
    }
    for (tarvik_fragment_t *f = fragment; f != nullptr; f = f->m_next) {
        if (same_name(f->m_name, name)) {
            return f;
        }
    }
    return nullptr;
}

TARVIK_API int tarvik_add_fragment(tarvik_fragment_t *fragment, uint64_t offset, uint64_t length)
{
    if (fragment == nullptr) {
        return -1;
    }
    return add_range(fragment, offset, length, nullptr) ? 0 : -1;
}

TARVIK_API int tarvik_add_fragment_ex(tarvik_fragment_t *fragment, const char *name,
                                      uint64_t offset, uint64_t length)
{
    if (fragment == nullptr) {
        return -1;
    }
    tarvik_fragment_t *target = chained(fragment, name);
    if (target == nullptr) {
        return -1;
    }
    return tarvik_add_fragment(target, offset, length);
}

TARVIK_API int tarvik_del_fragment(tarvik_fragment_t *fragment, uint64_t offset, uint64_t length)
{
    if (fragment == nullptr) {
        return -1;
    }
    if (length > kMax - offset) {
        length = kMax - offset;
    }
    if (length == 0) {
        return 0;
    }
    uint64_t end = offset + length;
    tarvik_fragment_node_t *previous = nullptr;
    tarvik_fragment_node_t *node = fragment->m_first;
    while (node != nullptr && node->m_offset < end) {
        tarvik_fragment_node_t *next = node->m_next;
        uint64_t node_end = end_of(node);
        if (node_end <= offset) {
            previous = node;
        } else if (node->m_offset >= offset && node_end <= end) {
            fragment->m_covered -= node->m_length;
            if (previous == nullptr) {
                fragment->m_first = next;
            } else {
                previous->m_next = next;
            }
            if (fragment->m_last == node) {
                fragment->m_last = previous;
            }
            node_free(&fragment->m_pool, node);
        } else if (node->m_offset < offset && node_end > end) {
            tarvik_fragment_node_t *tail = node_alloc(&fragment->m_pool);
            if (tail == nullptr) {
                return -1;
            }
            tail->m_offset = end;
            tail->m_length = node_end - end;
            tail->m_next = next;
            node->m_next = tail;
            node->m_length = offset - node->m_offset;
            if (fragment->m_last == node) {
                fragment->m_last = tail;
            }
            fragment->m_covered -= length;
            return 0;
        } else if (node->m_offset < offset) {
            fragment->m_covered -= node_end - offset;
            node->m_length = offset - node->m_offset;
            previous = node;
        } else {
            fragment->m_covered -= end - node->m_offset;
            node->m_length = node_end - end;
            node->m_offset = end;
            previous = node;
        }
        node = next;
    }
    return 0;
}

TARVIK_API int tarvik_del_fragment_ex(tarvik_fragment_t *fragment, const char *name,
                                      uint64_t offset, uint64_t length)
{
    tarvik_fragment_t *target = tarvik_find_fragment(fragment, name);
    if (target == nullptr) {
        return -1;
    }
    int result = tarvik_del_fragment(target, offset, length);
    if (target != fragment && target->m_first == nullptr) {
        tarvik_fragment_t *previous = fragment;
        while (previous->m_next != target) {
            previous = previous->m_next;
        }
        previous->m_next = target->m_next;
        target->m_next = nullptr;
        tarvik_close_fragment(target);
    }
    return result;
}

TARVIK_API int tarvik_check_fragment(const tarvik_fragment_t *fragment, uint64_t offset,
                                     uint64_t length)
{
    if (fragment == nullptr || length == 0 || length > kMax - offset) {
        return -1;
    }
    for (const tarvik_fragment_node_t *node = fragment->m_first; node != nullptr;
         node = node->m_next) {
        if (node->m_offset > offset) {
            break;
        }
        if (end_of(node) >= offset + length) {
            return 0;
        }
    }
    return -1;
}

TARVIK_API int tarvik_check_fragment_string(const char *text, uint64_t offset, uint64_t length)
{
    if (text == nullptr) {
        return -1;
    }
    tarvik_fragment_t set;
    tarvik_init_fragment(&set);
    int result = -1;
    if (tarvik_string_to_fragment(&set, text, 0) != nullptr) {
        result = tarvik_check_fragment(&set, offset, length);
    }
    tarvik_uninit_fragment(&set);
    return result;
}

TARVIK_API int tarvik_is_complete_fragment(const tarvik_fragment_t *fragment)
{
    if (fragment == nullptr) {
        return -1;
    }
    const tarvik_fragment_node_t *first = fragment->m_first;
    if ((fragment->m_flags & TARVIK_FRAGMENT_BOUNDED) != 0) {
        if (fragment->m_total == 0) {
            return 0;
        }
        if (first != nullptr && first->m_offset == 0 && first->m_length >= fragment->m_total) {
            return first->m_next == nullptr ? 0 : 1;
        }
        return -1;
    }
    if (first == nullptr) {
        return -1;
    }
    if (first->m_offset == 0 && first->m_next == nullptr && first->m_length == fragment->m_total) {
        return 0;
    }
    return 1;
}

TARVIK_API int tarvik_is_complete_fragment_ex(tarvik_fragment_t *fragment, const char *name)
{
    return tarvik_is_complete_fragment(tarvik_find_fragment(fragment, name));
}

TARVIK_API int tarvik_alloc_fragment(tarvik_fragment_t *fragment, uint64_t length,
                                     uint64_t *offset_out)
{
    if (fragment == nullptr || offset_out == nullptr || length == 0) {
        return -1;
    }
    bool bounded = (fragment->m_flags & TARVIK_FRAGMENT_BOUNDED) != 0;
    uint64_t offset = 0;
    bool found = false;
    if ((fragment->m_flags & TARVIK_FRAGMENT_ROTATING) != 0) {
        uint64_t limit = bounded ? fragment->m_total : kRotateLimit;
        uint64_t from = fragment->m_last_end;
        if (from < limit) {
            found = find_gap(fragment, from, length, limit, &offset);
        }
        if (!found) {
            found = find_gap(fragment, 0, length, limit, &offset);
        }
    } else {
        found = find_gap(fragment, 0, length, bounded ? fragment->m_total : kMax, &offset);
    }
    if (!found || tarvik_add_fragment(fragment, offset, length) != 0) {
        return -1;
    }
    *offset_out = offset;
    return 0;
}

TARVIK_API char *tarvik_fragment_to_string(const tarvik_fragment_t *fragment)
{
    if (fragment == nullptr) {
        return nullptr;
    }
    size_t size = write_chain(fragment, nullptr);
    auto *text = static_cast<char *>(tarvik_alloc_tag(size + 1, TARVIK_TAG));
    if (text == nullptr) {
        return nullptr;
    }
    write_chain(fragment, text);
    text[size] = '\0';
    return text;
}

TARVIK_API tarvik_fragment_t *tarvik_string_to_fragment(tarvik_fragment_t *fragment,
                                                        const char *text, int append)
{
    tarvik_fragment_t *created = nullptr;
    if (fragment == nullptr) {
        created = tarvik_open_fragment();
        if (created == nullptr) {
            return nullptr;
        }
        fragment = created;
    } else if (!append) {
        tarvik_reset_fragment(fragment);
    }
    if (text == nullptr) {
        return fragment;
    }
    NameIndex names(fragment);
    const char *group = text;
    for (;;) {
        size_t span = strcspn(group, ",;&");
        if (!parse_group(names, group, group + span)) {
            tarvik_close_fragment(created);
            return nullptr;
        }
        if (group[span] == '\0') {
            break;
        }
        group += span + 1;
    }
    return fragment;
}

} // extern "C"
