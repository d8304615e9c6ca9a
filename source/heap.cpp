// The tagged heap. Live blocks sit on one list (newest first) with running totals under
// a short lock; malloc and free run outside it. A free checks the block's self pointer
// and guard word first, so a damaged or foreign pointer is reported, never released.
#include "heap.h"

#include "console.h"
#include "detail/common.hpp"
#include "detail/console.hpp"
#include "exception.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

tarvik_short_lock_t s_heap_lock;
tarvik_heap_block_t *s_head;
size_t s_count;
size_t s_bytes;
size_t s_peak;

constexpr size_t OVERHEAD = TARVIK_HEAP_OVERHEAD;
constexpr size_t DUMP_LIMIT = 4096;

#if defined(__mips__) && !defined(__LP64__)
static_assert(OVERHEAD == 28, "block overhead on the 32-bit target");
#endif

inline tarvik_heap_block_t *header_of(void *pointer)
{
    return reinterpret_cast<tarvik_heap_block_t *>(static_cast<char *>(pointer) -
                                                   sizeof(tarvik_heap_block_t));
}

inline void *data_of(tarvik_heap_block_t *block) { return block + 1; }

// Copies memory that may not belong to us (a foreign or freed pointer, or the bytes in
// front of a block) for the diagnostic dumps. The bytes travel through a pipe, so an
// unmapped address makes write() fail with EFAULT instead of crashing the report.
class Peeker {
  public:
    Peeker() { m_ok = pipe2(m_fds, O_CLOEXEC) == 0; }
    ~Peeker()
    {
        if (m_ok) {
            close(m_fds[0]);
            close(m_fds[1]);
        }
    }
    Peeker(const Peeker &) = delete;
    Peeker &operator=(const Peeker &) = delete;

    // True when all size bytes (at most one pipe buffer) could be read.
    bool copy(void *to, const void *from, size_t size)
    {
        // The raw system call: a sanitizer's write() wrapper would itself check the bytes.
        if (!m_ok || syscall(SYS_write, m_fds[1], from, size) != static_cast<long>(size)) {
            return false;
        }
        return read(m_fds[0], to, size) == static_cast<ssize_t>(size);
    }

  private:
    int m_fds[2] = {-1, -1};
    bool m_ok = false;
};

// One dump line on the error output, like the report's other lines: memory contents must
// never reach standard output, which for a CGI program is the body sent to the web client.
void dump_to_error(const unsigned char *bytes, size_t length, const void *address)
{
    char line[128];
    tarvik::detail::dump_line(line, sizeof(line), bytes, length,
                              reinterpret_cast<uintptr_t>(address));
    fputs(line, stderr);
}

// Dumps size bytes at from, a line of 16 at a time, stopping at the first unreadable one.
void dump_lines(Peeker &peeker, const unsigned char *from, size_t size)
{
    unsigned char line[16];
    for (size_t offset = 0; offset < size; offset += sizeof(line)) {
        size_t length = size - offset < sizeof(line) ? size - offset : sizeof(line);
        if (!peeker.copy(line, from + offset, length)) {
            break;
        }
        dump_to_error(line, length, from + offset);
    }
    fflush(stderr);
}

void report_invalid(tarvik_heap_block_t *block, const char *tag, unsigned long line)
{
    Peeker peeker;
    tarvik_heap_block_t header = {};
    uint32_t guard = 0;
    size_t dump_size = sizeof(header);
    if (peeker.copy(&header, block, sizeof(header))) {
        // A damaged header may claim any size: the dump reads no more than DUMP_LIMIT.
        dump_size = (header.m_size <= DUMP_LIMIT ? header.m_size : DUMP_LIMIT) + OVERHEAD;
        if (header.m_size <= DUMP_LIMIT) {
            peeker.copy(&guard, static_cast<char *>(data_of(block)) + header.m_size, sizeof(guard));
        }
    }
    fprintf(stderr,
            "fatal error: invalid magic code (free, magic_code=%08lXH, size=%lu, "
            "caller=\"%s:%lu\", pid=%d)\n",
            static_cast<unsigned long>(guard), static_cast<unsigned long>(header.m_size),
            tag != nullptr ? tag : "", line, static_cast<int>(getpid()));
    fflush(stderr);
    dump_lines(peeker, reinterpret_cast<const unsigned char *>(block), dump_size);
    fprintf(stderr, "=> REVERSE DUMP\n");
    fflush(stderr);
    for (int i = 1; i <= 32; ++i) {
        const unsigned char *at = reinterpret_cast<const unsigned char *>(block) - 16 * i;
        unsigned char bytes[16];
        if (!peeker.copy(bytes, at, sizeof(bytes))) {
            break;
        }
        dump_to_error(bytes, sizeof(bytes), at);
    }
    fflush(stderr);
    tarvik_dump_exception_tag(1, "source/heap", "tarvik_heap_tag",
                              static_cast<unsigned long>(__LINE__));
}

void *allocate(size_t size, const char *tag, unsigned long line)
{
    if (size == 0) {
        fprintf(stderr, "zero size allocation ? (at \"%s\":%lu)\n", tag != nullptr ? tag : "",
                line);
    }
    size_t rounded = (size + 3u) & ~static_cast<size_t>(3u);
    if (size > SIZE_MAX - 3u || rounded > SIZE_MAX - OVERHEAD || rounded + OVERHEAD > 0xFFFFFFFFu) {
        fprintf(stderr, "not enough memory (overflow size, at \"%s\":%lu)\n",
                tag != nullptr ? tag : "", line);
        return nullptr;
    }
    auto *block = static_cast<tarvik_heap_block_t *>(malloc(rounded + OVERHEAD));
    if (block == nullptr) {
        fprintf(stderr, "not enough memory (at \"%s\":%lu)\n", tag != nullptr ? tag : "", line);
        if (rounded >= (static_cast<size_t>(4u) << 20)) {
            tarvik_assert_fail_tag("source/heap", "tarvik_heap_tag",
                                   static_cast<unsigned long>(__LINE__),
                                   "s_size < ((size_t)(4u << 20))");
        }
        return nullptr;
    }
    block->m_size = rounded;
    block->m_self = block;
    block->m_tag = tag;
    block->m_line = line;
    uint32_t guard = TARVIK_HEAP_GUARD;
    memcpy(static_cast<char *>(data_of(block)) + rounded, &guard, sizeof(guard));
    {
        tarvik::detail::ShortLockGuard lock(&s_heap_lock);
        s_bytes += rounded + OVERHEAD;
        if (s_bytes > s_peak) {
            s_peak = s_bytes;
        }
        ++s_count;
        tarvik::detail::DoublyLinked<tarvik_heap_block_t>(&s_head, nullptr).push_front(block);
    }
    return data_of(block);
}

// Reads one field of a header that may not be ours; only fields written before the block
// was published are read, so this never races with list updates of other threads.
template <typename T> __attribute__((no_sanitize("address", "thread"))) T peek_field(const T *field)
{
    T value;
    __builtin_memcpy(&value, field, sizeof(value));
    return value;
}

bool is_valid(tarvik_heap_block_t *block)
{
    // Our blocks come from malloc: a misaligned pointer is foreign (and reading its
    // fields would trap on MIPS).
    if (reinterpret_cast<uintptr_t>(block) % alignof(tarvik_heap_block_t) != 0) {
        return false;
    }
    if (peek_field(&block->m_self) != block) {
        return false;
    }
    size_t size = peek_field(&block->m_size);
    if (size > 0xFFFFFFFFu - OVERHEAD) {
        return false;
    }
    uint32_t guard =
        peek_field(reinterpret_cast<const uint32_t *>(static_cast<char *>(data_of(block)) + size));
    return guard == TARVIK_HEAP_GUARD;
}

void release(void *pointer, const char *tag, unsigned long line)
{
    tarvik_heap_block_t *block = header_of(pointer);
    if (!is_valid(block)) {
        report_invalid(block, tag, line);
        return;
    }
    {
        tarvik::detail::ShortLockGuard lock(&s_heap_lock);
        tarvik::detail::DoublyLinked<tarvik_heap_block_t>(&s_head, nullptr).remove(block);
        --s_count;
        s_bytes -= block->m_size + OVERHEAD;
    }
    // A later free of the same pointer must fail the self check; the volatile store keeps
    // the compiler from dropping a write to memory that is about to be freed.
    *static_cast<tarvik_heap_block_t *volatile *>(&block->m_self) = nullptr;
    free(block);
}

void *resize(void *pointer, size_t size, const char *tag, unsigned long line)
{
    tarvik_heap_block_t *block = header_of(pointer);
    if (!is_valid(block)) {
        report_invalid(block, tag, line);
        return nullptr;
    }
    if (block->m_size == size) {
        return pointer;
    }
    void *moved = allocate(size, tag, line);
    if (moved == nullptr) {
        return nullptr;
    }
    memcpy(moved, pointer, block->m_size < size ? block->m_size : size);
    release(pointer, tag, line);
    return moved;
}

} // namespace

extern "C" {

TARVIK_API void *tarvik_heap_tag(void *pointer, size_t size, const char *tag, unsigned long line)
{
    if (pointer == nullptr) {
        return allocate(size, tag, line);
    }
    if (size == 0) {
        release(pointer, tag, line);
        return nullptr;
    }
    return resize(pointer, size, tag, line);
}

TARVIK_API void *tarvik_alloc_tag(size_t size, const char *tag, unsigned long line)
{
    return allocate(size, tag, line);
}

TARVIK_API int tarvik_free_tag(void *pointer, const char *tag, unsigned long line)
{
    if (pointer == nullptr) {
        if (tag == nullptr || strcmp(tag, "operator delete") != 0) {
            fprintf(stderr, "null pointer free ? (at \"%s\":%lu)\n", tag != nullptr ? tag : "",
                    line);
        }
        return 0;
    }
    release(pointer, tag, line);
    return 0;
}

TARVIK_API int tarvik_check_free_tag(void *pointer, const char *tag, unsigned long line)
{
    if (pointer != nullptr) {
        release(pointer, tag, line);
    }
    return 0;
}

TARVIK_API char *tarvik_strdup_tag(const char *string, const char *tag, unsigned long line)
{
    if (string == nullptr) {
        return nullptr;
    }
    size_t length = strlen(string);
    auto *copy = static_cast<char *>(allocate(length + 1, tag, line));
    if (copy != nullptr) {
        memcpy(copy, string, length + 1);
    }
    return copy;
}

TARVIK_API void *tarvik_realloc_tag(void *pointer, size_t size, const char *tag, unsigned long line)
{
    return tarvik_heap_tag(pointer, size, tag, line);
}

TARVIK_API void *tarvik_realloc(void *pointer, size_t size)
{
    return tarvik_heap_tag(pointer, size, "<NOTAG>", 0);
}

TARVIK_API void *tarvik_calloc_tag(size_t count, size_t size, const char *tag, unsigned long line)
{
    if (size != 0 && count > SIZE_MAX / size) {
        fprintf(stderr, "not enough memory (overflow size, at \"%s\":%lu)\n",
                tag != nullptr ? tag : "", line);
        return nullptr;
    }
    void *pointer = allocate(count * size, tag, line);
    if (pointer != nullptr) {
        memset(pointer, 0, count * size);
    }
    return pointer;
}

TARVIK_API size_t tarvik_malloc_usable_size(void *pointer)
{
    return pointer != nullptr ? malloc_usable_size(pointer) : 0;
}

TARVIK_API int tarvik_get_alloc_info(size_t *count_out, size_t *bytes_out, size_t *peak_out)
{
    tarvik::detail::ShortLockGuard lock(&s_heap_lock);
    if (count_out != nullptr) {
        *count_out = s_count;
    }
    if (bytes_out != nullptr) {
        *bytes_out = s_bytes;
    }
    if (peak_out != nullptr) {
        *peak_out = s_peak;
    }
    return 0;
}

TARVIK_API size_t tarvik_get_alloc_count(void)
{
    size_t value = 0;
    tarvik_get_alloc_info(&value, nullptr, nullptr);
    return value;
}

TARVIK_API size_t tarvik_get_alloc_bytes(void)
{
    size_t value = 0;
    tarvik_get_alloc_info(nullptr, &value, nullptr);
    return value;
}

TARVIK_API size_t tarvik_get_alloc_peak(void)
{
    size_t value = 0;
    tarvik_get_alloc_info(nullptr, nullptr, &value);
    return value;
}

TARVIK_API size_t tarvik_get_alloc_list(size_t limit, tarvik_alloc_list_callback_t callback,
                                        void *context)
{
    if (callback == nullptr) {
        return 0;
    }
    tarvik::detail::ShortLockGuard lock(&s_heap_lock);
    size_t visited = 0;
    for (tarvik_heap_block_t *block = s_head; block != nullptr; block = block->m_next) {
        if (limit != 0 && visited >= limit) {
            break;
        }
        ++visited;
        if (callback(block, context) != 0) {
            break;
        }
    }
    return visited;
}

} // extern "C"
