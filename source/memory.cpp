// Stack-scoped allocation and memory primitives that report null pointers. The
// stack-scoped chain belongs to one thread's call stack (in practice the main thread);
// only its count is locked.
#include "memory.h"

#include "console.h"
#include "detail/common.hpp"

#include <cstring>

namespace {

struct AllocaBlock {
    AllocaBlock *m_next;
    const void *m_depth; // an address inside the allocating call's frame
};

AllocaBlock *s_alloca_head;
unsigned long s_alloca_count;
tarvik_short_lock_t s_alloca_lock;
int s_stack_direction; // 0 until detected

__attribute__((noinline)) int compare_frames(const volatile char *outer)
{
    volatile char inner = 0;
    return reinterpret_cast<uintptr_t>(&inner) > reinterpret_cast<uintptr_t>(outer) ? 1 : -1;
}

__attribute__((noinline)) int detect_direction()
{
    volatile char outer = 0;
    // Through a volatile function pointer so the call is neither inlined nor merged.
    int (*volatile probe)(const volatile char *) = compare_frames;
    return probe(&outer);
}

// True when the marker lies in a frame deeper than here (a call that has returned).
bool is_deeper(const void *marker, const void *here)
{
    auto m = reinterpret_cast<uintptr_t>(marker);
    auto h = reinterpret_cast<uintptr_t>(here);
    return s_stack_direction > 0 ? m > h : m < h;
}

void report_null(const char *function, const char *condition)
{
    tarvik_assert_fail_tag("source/memory", function, 0, condition);
}

} // namespace

extern "C" {

TARVIK_API int tarvik_detect_stack_direction(void)
{
    if (s_stack_direction == 0) {
        s_stack_direction = detect_direction();
    }
    return s_stack_direction;
}

__attribute__((noinline)) TARVIK_API void *tarvik_alloca(size_t size)
{
    volatile char frame = 0;
    tarvik_detect_stack_direction();
    while (s_alloca_head != nullptr &&
           is_deeper(s_alloca_head->m_depth, const_cast<char *>(&frame))) {
        AllocaBlock *block = s_alloca_head;
        s_alloca_head = block->m_next;
        tarvik_free_tag(block, "tarvik_alloca", static_cast<unsigned long>(__LINE__));
        tarvik::detail::ShortLockGuard lock(&s_alloca_lock);
        --s_alloca_count;
    }
    if (size == 0 || size > SIZE_MAX - sizeof(AllocaBlock)) {
        return nullptr;
    }
    auto *block = static_cast<AllocaBlock *>(tarvik_alloc_tag(
        size + sizeof(AllocaBlock), "tarvik_alloca", static_cast<unsigned long>(__LINE__)));
    if (block == nullptr) {
        return nullptr;
    }
    block->m_depth = const_cast<char *>(&frame);
    block->m_next = s_alloca_head;
    s_alloca_head = block;
    {
        tarvik::detail::ShortLockGuard lock(&s_alloca_lock);
        ++s_alloca_count;
    }
    return block + 1;
}

TARVIK_API unsigned long tarvik_get_alloca_count(void)
{
    tarvik::detail::ShortLockGuard lock(&s_alloca_lock);
    return s_alloca_count;
}

TARVIK_API void *tarvik_memcpy_wrapper(void *to, const void *from, size_t size)
{
    if (to == nullptr || from == nullptr) {
        // Copying through a null pointer would only crash: report and skip.
        report_null(__func__, "(s_to != ((void *)0)) && (s_from != ((const void *)0))");
        return to;
    }
    return memcpy(to, from, size);
}

TARVIK_API void *tarvik_memmove_wrapper(void *to, const void *from, size_t size)
{
    if (to == nullptr || from == nullptr) {
        report_null(__func__, "(s_to != ((void *)0)) && (s_from != ((const void *)0))");
        return to;
    }
    return memmove(to, from, size);
}

TARVIK_API void *tarvik_memset_wrapper(void *to, int value, size_t size)
{
    if (to == nullptr) {
        report_null(__func__, "s_to != ((void *)0)");
        return to;
    }
    return memset(to, value, size);
}

TARVIK_API void tarvik_bzero_wrapper(void *to, size_t size)
{
    if (to == nullptr) {
        report_null(__func__, "s_to != ((void *)0)");
        return;
    }
    memset(to, 0, size);
}

TARVIK_API int tarvik_memcmp_wrapper(const void *left, const void *right, size_t size)
{
    if (left == nullptr || right == nullptr) {
        report_null(__func__, "(s_left != ((const void *)0)) && (s_right != ((const void *)0))");
        if (left == right) {
            return 0;
        }
        return left == nullptr ? -1 : 1;
    }
    return memcmp(left, right, size);
}

TARVIK_API void *tarvik_memset16_wrapper(void *to, uint16_t pattern, size_t size)
{
    if (to == nullptr) {
        report_null(__func__, "s_to != ((void *)0)");
        return to;
    }
    // Two half-words per 32-bit word, then the odd half-word, then an odd last byte.
    auto *bytes = static_cast<unsigned char *>(to);
    uint32_t word = static_cast<uint32_t>(pattern) | (static_cast<uint32_t>(pattern) << 16);
    size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        memcpy(bytes + i, &word, 4);
    }
    if (i + 2 <= size) {
        memcpy(bytes + i, &pattern, 2);
        i += 2;
    }
    if (i < size) {
        memcpy(bytes + i, &pattern, 1);
    }
    return to;
}

TARVIK_API void *tarvik_memset32_wrapper(void *to, uint32_t pattern, size_t size)
{
    if (to == nullptr) {
        report_null(__func__, "s_to != ((void *)0)");
        return to;
    }
    auto *bytes = static_cast<unsigned char *>(to);
    size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        memcpy(bytes + i, &pattern, 4);
    }
    if (i < size) {
        memcpy(bytes + i, &pattern, size - i);
    }
    return to;
}

TARVIK_API int tarvik_is_data_fill(const void *data, size_t length, int value)
{
    if (data == nullptr) {
        return 1;
    }
    const auto *bytes = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < length; ++i) {
        if (bytes[i] != static_cast<unsigned char>(value)) {
            return 0;
        }
    }
    return 1;
}

} // extern "C"
