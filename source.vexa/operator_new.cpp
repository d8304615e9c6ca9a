// Global operator new and delete of the program, routed through the tagged heap so that
// the exit dump sees C++ allocations too. Only the program carries them: the unit tests
// link the library with the system allocator. Over-aligned forms stay with the runtime,
// which pairs them consistently, since a tagged block guarantees only malloc alignment.
#include "heap.h"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

constexpr const char *NEW_TAG = "operator new";
constexpr const char *DELETE_TAG = "operator delete";

void *allocate_or_null(std::size_t size)
{
    // The tagged heap warns about empty blocks; C++ wants a unique pointer regardless.
    return tarvik_alloc_tag(size != 0 ? size : 1, NEW_TAG, 0);
}

// Built without exceptions, a failed throwing new has nothing to throw.
void *allocate_or_abort(std::size_t size)
{
    void *pointer = allocate_or_null(size);
    if (pointer == nullptr) {
        fprintf(stderr, "operator new: out of memory (%lu bytes)\n",
                static_cast<unsigned long>(size));
        fflush(stderr);
        abort();
    }
    return pointer;
}

void release(void *pointer)
{
    // A null delete is legal C++; the tag keeps the heap from reporting it.
    tarvik_free_tag(pointer, DELETE_TAG, 0);
}

} // namespace

void *operator new(std::size_t size) { return allocate_or_abort(size); }
void *operator new[](std::size_t size) { return allocate_or_abort(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    return allocate_or_null(size);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept
{
    return allocate_or_null(size);
}

void operator delete(void *pointer) noexcept { release(pointer); }
void operator delete[](void *pointer) noexcept { release(pointer); }
void operator delete(void *pointer, std::size_t) noexcept { release(pointer); }
void operator delete[](void *pointer, std::size_t) noexcept { release(pointer); }
void operator delete(void *pointer, const std::nothrow_t &) noexcept { release(pointer); }
void operator delete[](void *pointer, const std::nothrow_t &) noexcept { release(pointer); }
