// Scope trace entries and the exit dump. Entries are plain malloc records (the dump must
// not count them as heap blocks), newest first, under their own short lock.
#include "exception.h"

#include "console.h"
#include "detail/common.hpp"
#include "heap.h"
#include "thread.h"
#include "time.h"

#include <cstdio>
#include <cstdlib>

namespace {

tarvik_short_lock_t s_exception_lock;
tarvik_exception_t *s_head;
unsigned long s_count;
int s_force_dump = -1;

constexpr const char *PREFIX = "CONSOLE #";
constexpr size_t DUMP_BLOCKS = 128;

static_assert(sizeof(tarvik_exception_t) <= 48, "scope entry stays small");
#if defined(__mips__) && !defined(__LP64__)
static_assert(sizeof(tarvik_exception_t) == 32, "scope entry layout on the 32-bit target");
#endif

int print_block(const tarvik_heap_block_t *block, void *)
{
    fprintf(stderr, "%s [ALLOCATED:%s():%lu] %lu bytes at %p\n", PREFIX,
            block->m_tag != nullptr ? block->m_tag : "", block->m_line,
            static_cast<unsigned long>(block->m_size), static_cast<const void *>(block + 1));
    return 0;
}

} // namespace

extern "C" {

TARVIK_API tarvik_exception_t *tarvik_add_exception_tag(const char *source_file,
                                                        const char *function, unsigned long line)
{
    auto *entry = static_cast<tarvik_exception_t *>(malloc(sizeof(tarvik_exception_t)));
    if (entry == nullptr) {
        tarvik_assert_fail_tag(source_file, function, line, "not enough memory");
        return nullptr;
    }
    entry->m_time = tarvik_time_stamp_msec(nullptr);
    entry->m_source_file = source_file;
    entry->m_function = function;
    entry->m_line = line;
    unsigned long count;
    {
        tarvik::detail::ShortLockGuard lock(&s_exception_lock);
        tarvik::detail::DoublyLinked<tarvik_exception_t>(&s_head, nullptr).push_front(entry);
        count = ++s_count;
    }
    if (count > TARVIK_EXCEPTION_LIMIT) {
        tarvik_assert_fail_tag(source_file, function, line, "too many exception entry");
    }
    return entry;
}

TARVIK_API int tarvik_del_exception_tag(tarvik_exception_t *entry)
{
    if (entry == nullptr) {
        tarvik_assert_fail_tag("source/exception", __func__, __LINE__, "invalid argument");
        return 0;
    }
    {
        tarvik::detail::ShortLockGuard lock(&s_exception_lock);
        tarvik::detail::DoublyLinked<tarvik_exception_t>(&s_head, nullptr).remove(entry);
        --s_count;
    }
    free(entry);
    return 0;
}

TARVIK_API unsigned long tarvik_get_exception_count(void)
{
    tarvik::detail::ShortLockGuard lock(&s_exception_lock);
    return s_count;
}

TARVIK_API void tarvik_set_force_dump_exception(int value)
{
    __atomic_store_n(&s_force_dump, value, __ATOMIC_SEQ_CST);
}

TARVIK_API int tarvik_get_force_dump_exception(void)
{
    return __atomic_load_n(&s_force_dump, __ATOMIC_SEQ_CST);
}

TARVIK_API void tarvik_dump_exception_tag(int force, const char *source_file, const char *function,
                                          unsigned long line)
{
    size_t count = 0;
    size_t bytes = 0;
    size_t peak = 0;
    tarvik_get_alloc_info(&count, &bytes, &peak);
    unsigned long active = 0;
    unsigned long ready = 0;
    unsigned long maximum = 0;
    unsigned long threads = tarvik_get_thread_count(&active, &ready, &maximum);

    tarvik::detail::ShortLockGuard lock(&s_exception_lock);
    if (tarvik_get_force_dump_exception() == 0) {
        return;
    }
    if (force == 0 && s_count == 0 && count == 0 && bytes == 0 && threads == 0) {
        return;
    }
    fprintf(stderr,
            "%s dump exception at %s:%s:%lu (section=%lu, heap size/count/peak=%lu/%lu/%lu, "
            "active/ready/threads/max=%lu/%lu/%lu/%lu)%s\n",
            PREFIX, source_file != nullptr ? source_file : "", function != nullptr ? function : "",
            line, s_count, static_cast<unsigned long>(bytes), static_cast<unsigned long>(count),
            static_cast<unsigned long>(peak), active, ready, threads, maximum,
            s_head != nullptr ? " {" : ".");
    if (s_head != nullptr) {
        uint64_t now = tarvik_time_stamp_msec(nullptr);
        for (tarvik_exception_t *entry = s_head; entry != nullptr; entry = entry->m_next) {
            fprintf(stderr, "%s     %s:%s():%lu (-%lu msec)\n", PREFIX,
                    entry->m_source_file != nullptr ? entry->m_source_file : "",
                    entry->m_function != nullptr ? entry->m_function : "", entry->m_line,
                    static_cast<unsigned long>(now - entry->m_time));
            if (entry->m_next == entry) {
                tarvik_assert_fail_tag("source/exception", __func__, __LINE__,
                                       "broken exception node");
                break;
            }
        }
        fprintf(stderr, "%s }\n", PREFIX);
    }
    tarvik_get_alloc_list(DUMP_BLOCKS, print_block, nullptr);
    fflush(stderr);
}

} // extern "C"
