// Select tables and the single-descriptor wait. A table owns one heap block holding its six
// sets and belongs to one thread at a time; the single wait keeps no state at all.
#include "select.h"

#include "detail/common.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>

// The sets are handed to select as they are: 32-bit words line up with the kernel's long
// words only on little-endian machines or where long is itself 32 bits.
static_assert(sizeof(long) == 4 || __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "descriptor sets are built from 32-bit words");

namespace {

constexpr int READ_WRITE_EXCEPT =
    def_tarvik_select_read | def_tarvik_select_write | def_tarvik_select_except;
// Descriptors below this fit the frame-held sets of the single wait.
constexpr int STACK_SET_DESCRIPTORS = 1024;
constexpr uint32_t MIN_SET_SIZE = 8;

// Bytes of a set able to hold descriptor. The kernel reads and writes whole longs, so on a
// 64-bit host a set must be a whole number of longs or select runs past its end.
uint32_t round_to_long(uint32_t bytes)
{
    const uint32_t unit = static_cast<uint32_t>(sizeof(long));
    return (bytes + unit - 1) / unit * unit;
}

uint32_t bytes_for(int descriptor) { return static_cast<uint32_t>((descriptor + 32) / 32) * 4u; }

bool test_bit(const uint32_t *set, int descriptor)
{
    return (set[descriptor / 32] >> (descriptor % 32) & 1u) != 0;
}

void set_bit(uint32_t *set, int descriptor) { set[descriptor / 32] |= 1u << (descriptor % 32); }

void clear_bit(uint32_t *set, int descriptor)
{
    set[descriptor / 32] &= ~(1u << (descriptor % 32));
}

// Null for a negative timeout (wait without limit).
struct timeval *to_timeval(int timeout_ms, struct timeval *out)
{
    if (timeout_ms < 0) {
        return nullptr;
    }
    out->tv_sec = timeout_ms / 1000;
    out->tv_usec = (timeout_ms % 1000) * 1000;
    return out;
}

fd_set *as_fd_set(uint32_t *set) { return reinterpret_cast<fd_set *>(set); }

void point_sets(tarvik_select_t *table, void *storage, uint32_t size)
{
    uint8_t *base = static_cast<uint8_t *>(storage);
    table->m_storage = storage;
    table->m_set_size = size;
    table->m_read_set = reinterpret_cast<uint32_t *>(base);
    table->m_write_set = reinterpret_cast<uint32_t *>(base + size);
    table->m_except_set = reinterpret_cast<uint32_t *>(base + 2u * size);
    table->m_read_result = reinterpret_cast<uint32_t *>(base + 3u * size);
    table->m_write_result = reinterpret_cast<uint32_t *>(base + 4u * size);
    table->m_except_result = reinterpret_cast<uint32_t *>(base + 5u * size);
}

// Keeps the registrations, zeroes the results; on failure the table is left untouched.
int tarvik_select_resize(tarvik_select_t *table, uint32_t size)
{
    if (size < MIN_SET_SIZE) {
        size = MIN_SET_SIZE;
    }
    size = round_to_long(size);
    if (size == table->m_set_size && table->m_storage != nullptr) {
        return 0;
    }
    void *storage = tarvik_alloc_tag(6u * static_cast<size_t>(size), TARVIK_TAG);
    if (storage == nullptr) {
        return -1;
    }
    memset(storage, 0, 6u * static_cast<size_t>(size));
    if (table->m_storage != nullptr) {
        const uint32_t keep = table->m_set_size < size ? table->m_set_size : size;
        uint8_t *target = static_cast<uint8_t *>(storage);
        memcpy(target, table->m_read_set, keep);
        memcpy(target + size, table->m_write_set, keep);
        memcpy(target + 2u * size, table->m_except_set, keep);
        tarvik_free_tag(table->m_storage, TARVIK_TAG);
    }
    point_sets(table, storage, size);
    return 0;
}

// Makes room for descriptor and records it as the highest; -1 leaves the table as it was.
int grow_for(tarvik_select_t *table, int descriptor)
{
    if (descriptor <= table->m_highest) {
        return 0;
    }
    const uint32_t required = bytes_for(descriptor);
    uint32_t size = table->m_set_size;
    while (size < required) {
        size = size <= 128 ? size * 2 : size + 16;
    }
    if (size != table->m_set_size && tarvik_select_resize(table, size) != 0) {
        return -1;
    }
    table->m_highest = descriptor;
    return 0;
}

void register_in(uint32_t *set, uint32_t *count, int descriptor)
{
    if (!test_bit(set, descriptor)) {
        set_bit(set, descriptor);
        ++*count;
    }
}

void unregister_in(uint32_t *set, uint32_t *count, int descriptor)
{
    if (test_bit(set, descriptor)) {
        clear_bit(set, descriptor);
        --*count;
    }
}

bool is_registered(const tarvik_select_t *table, int descriptor)
{
    return test_bit(table->m_read_set, descriptor) || test_bit(table->m_write_set, descriptor) ||
           test_bit(table->m_except_set, descriptor);
}

void lower_highest(tarvik_select_t *table)
{
    while (table->m_highest >= 0 && !is_registered(table, table->m_highest)) {
        --table->m_highest;
    }
}

// No descriptor at or above the process's limit can be open: a table grown for one would be
// memory spent on nothing (100,000,000 would cost 72 MiB).
bool below_descriptor_limit(int descriptor)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return true;
    }
    return static_cast<rlim_t>(descriptor) < limit.rlim_cur;
}

// select ignores descriptors beyond the process's descriptor table instead of failing on
// them, so a closed one there would read as a time-out (or a wait without end).
bool is_open(int descriptor)
{
    if (fcntl(descriptor, F_GETFD) == -1) {
        errno = EBADF;
        return false;
    }
    return true;
}

// The descriptors a table may register; errno is EBADF for the others.
bool registrable(int descriptor)
{
    if (descriptor < 0 || descriptor > INT32_MAX - 64 || !below_descriptor_limit(descriptor)) {
        errno = EBADF;
        return false;
    }
    return true;
}

bool usable(const tarvik_select_t *table)
{
    return table != nullptr && table->m_storage != nullptr && table->m_set_size != 0;
}

// The sets handed to select by the single wait for descriptors beyond the frame-held ones.
int single_select_heap(int descriptor, int flags, struct timeval *timeout)
{
    const uint32_t bytes = round_to_long(bytes_for(descriptor));
    int sets = 0;
    if ((flags & def_tarvik_select_except) != 0) {
        sets = 3;
    } else if ((flags & def_tarvik_select_write) != 0) {
        sets = 2;
    } else if ((flags & def_tarvik_select_read) != 0) {
        sets = 1;
    } else {
        errno = EINVAL;
        return -1;
    }
    // Tagged with the public name: a leak report should point at the caller's wait.
    uint8_t *block = static_cast<uint8_t *>(tarvik_alloc_tag(bytes * sets, "tarvik_single_select",
                                                             static_cast<unsigned long>(__LINE__)));
    if (block == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    uint32_t *set[3] = {nullptr, nullptr, nullptr};
    for (int i = 0; i < 3; ++i) {
        if ((flags & (1 << i)) != 0) {
            set[i] = reinterpret_cast<uint32_t *>(block + i * bytes);
            memset(set[i], 0, bytes);
            set_bit(set[i], descriptor);
        }
    }
    const int n = select(descriptor + 1, set[0] != nullptr ? as_fd_set(set[0]) : nullptr,
                         set[1] != nullptr ? as_fd_set(set[1]) : nullptr,
                         set[2] != nullptr ? as_fd_set(set[2]) : nullptr, timeout);
    int result = n;
    if (n > 0) {
        result = 0;
        for (int i = 0; i < 3; ++i) {
            if (set[i] != nullptr && test_bit(set[i], descriptor)) {
                result |= 1 << i;
            }
        }
    }
    const int saved = errno;
    tarvik_free_tag(block, "tarvik_single_select", static_cast<unsigned long>(__LINE__));
    errno = saved;
    return result;
}

int single_select_stack(int descriptor, int flags, struct timeval *timeout)
{
    // Only the words select will look at are cleared, not the whole 128 bytes.
    alignas(long) uint32_t sets[3][STACK_SET_DESCRIPTORS / 32];
    const uint32_t bytes = round_to_long(bytes_for(descriptor));
    fd_set *pass[3] = {nullptr, nullptr, nullptr};
    for (int i = 0; i < 3; ++i) {
        if ((flags & (1 << i)) != 0) {
            memset(sets[i], 0, bytes);
            set_bit(sets[i], descriptor);
            pass[i] = as_fd_set(sets[i]);
        }
    }
    const int n = select(descriptor + 1, pass[0], pass[1], pass[2], timeout);
    if (n <= 0) {
        return n < 0 ? -1 : 0;
    }
    int result = 0;
    for (int i = 0; i < 3; ++i) {
        if (pass[i] != nullptr && test_bit(sets[i], descriptor)) {
            result |= 1 << i;
        }
    }
    return result;
}

} // namespace

extern "C" {

TARVIK_API tarvik_select_t *tarvik_open_select_ex(int descriptor_hint)
{
    tarvik_select_t *table =
        static_cast<tarvik_select_t *>(tarvik_alloc_tag(sizeof(tarvik_select_t), TARVIK_TAG));
    if (table == nullptr) {
        return nullptr;
    }
    memset(table, 0, sizeof(*table));
    table->m_highest = -1;
    const int hint = descriptor_hint < 32 ? 32 : descriptor_hint;
    // A hint near INT_MAX would overflow the size arithmetic; such a table could never be
    // handed to select anyway.
    if (hint > INT32_MAX - 64 || tarvik_select_resize(table, bytes_for(hint)) != 0) {
        tarvik_free_tag(table, TARVIK_TAG);
        return nullptr;
    }
    return table;
}

TARVIK_API tarvik_select_t *tarvik_open_select(void) { return tarvik_open_select_ex(0); }

TARVIK_API tarvik_select_t *tarvik_close_select(tarvik_select_t *table)
{
    if (table != nullptr) {
        if (table->m_storage != nullptr) {
            tarvik_free_tag(table->m_storage, TARVIK_TAG);
        }
        tarvik_free_tag(table, TARVIK_TAG);
    }
    return nullptr;
}

TARVIK_API int tarvik_clear_select(tarvik_select_t *table)
{
    if (!usable(table)) {
        return -1;
    }
    memset(table->m_storage, 0, 6u * static_cast<size_t>(table->m_set_size));
    table->m_read_count = 0;
    table->m_write_count = 0;
    table->m_except_count = 0;
    table->m_highest = -1;
    return 0;
}

TARVIK_API int tarvik_add_select(tarvik_select_t *table, int descriptor, int flags)
{
    if (!usable(table) || !registrable(descriptor) || grow_for(table, descriptor) != 0) {
        return -1;
    }
    if ((flags & def_tarvik_select_read) != 0) {
        register_in(table->m_read_set, &table->m_read_count, descriptor);
    }
    if ((flags & def_tarvik_select_write) != 0) {
        register_in(table->m_write_set, &table->m_write_count, descriptor);
    }
    if ((flags & def_tarvik_select_except) != 0) {
        register_in(table->m_except_set, &table->m_except_count, descriptor);
    }
    return 0;
}

TARVIK_API int tarvik_set_select(tarvik_select_t *table, int descriptor, int flags)
{
    if (!usable(table) || !registrable(descriptor) || grow_for(table, descriptor) != 0) {
        return -1;
    }
    uint32_t *sets[3] = {table->m_read_set, table->m_write_set, table->m_except_set};
    uint32_t *counts[3] = {&table->m_read_count, &table->m_write_count, &table->m_except_count};
    for (int i = 0; i < 3; ++i) {
        if ((flags & (1 << i)) != 0) {
            register_in(sets[i], counts[i], descriptor);
        } else {
            unregister_in(sets[i], counts[i], descriptor);
        }
    }
    if (descriptor == table->m_highest) {
        lower_highest(table);
    }
    return 0;
}

TARVIK_API int tarvik_get_select_flags(tarvik_select_t *table, int descriptor)
{
    if (!usable(table) || descriptor < 0 || descriptor > table->m_highest) {
        return 0;
    }
    int flags = 0;
    flags |= test_bit(table->m_read_set, descriptor) ? def_tarvik_select_read : 0;
    flags |= test_bit(table->m_write_set, descriptor) ? def_tarvik_select_write : 0;
    flags |= test_bit(table->m_except_set, descriptor) ? def_tarvik_select_except : 0;
    return flags;
}

TARVIK_API int tarvik_is_select(tarvik_select_t *table, int descriptor, int flags)
{
    if (!usable(table) || descriptor < -1 || descriptor > table->m_highest) {
        return -1;
    }
    int result = 0;
    if ((flags & def_tarvik_select_any) != 0 && table->m_highest >= 0) {
        result = def_tarvik_select_any;
    }
    if (descriptor < 0) {
        return result; // the any query carries no descriptor
    }
    if ((flags & def_tarvik_select_read) != 0 && test_bit(table->m_read_result, descriptor)) {
        result |= def_tarvik_select_read;
    }
    if ((flags & def_tarvik_select_write) != 0 && test_bit(table->m_write_result, descriptor)) {
        result |= def_tarvik_select_write;
    }
    if ((flags & def_tarvik_select_except) != 0 && test_bit(table->m_except_result, descriptor)) {
        result |= def_tarvik_select_except;
    }
    return result;
}

TARVIK_API int tarvik_select_dispatch(tarvik_select_t *table, int timeout_ms)
{
    if (!usable(table)) {
        return -1;
    }
    // Every registered descriptor is below the highest: when that one is open, select itself
    // reports any closed one.
    if (table->m_highest >= 0 && !is_open(table->m_highest)) {
        return -1;
    }
    const size_t size = table->m_set_size;
    memcpy(table->m_read_result, table->m_read_set, size);
    memcpy(table->m_write_result, table->m_write_set, size);
    memcpy(table->m_except_result, table->m_except_set, size);
    struct timeval wait;
    return select(table->m_highest + 1,
                  table->m_read_count != 0 ? as_fd_set(table->m_read_result) : nullptr,
                  table->m_write_count != 0 ? as_fd_set(table->m_write_result) : nullptr,
                  table->m_except_count != 0 ? as_fd_set(table->m_except_result) : nullptr,
                  to_timeval(timeout_ms, &wait));
}

TARVIK_API int tarvik_single_select(int descriptor, int flags, int timeout_ms)
{
    struct timeval wait;
    struct timeval *timeout = to_timeval(timeout_ms, &wait);
    if (descriptor == -1) {
        return select(0, nullptr, nullptr, nullptr, timeout);
    }
    if (descriptor < 0 || descriptor > INT32_MAX - 64) {
        errno = EBADF;
        return -1;
    }
    flags &= READ_WRITE_EXCEPT;
    // Without a wanted condition the descriptor is never looked at (a plain sleep).
    if (flags != 0 && !is_open(descriptor)) {
        return -1;
    }
    if (descriptor < STACK_SET_DESCRIPTORS) {
        return single_select_stack(descriptor, flags, timeout);
    }
    return single_select_heap(descriptor, flags, timeout);
}

TARVIK_API int tarvik_poll_fd(int descriptor, int flags, int timeout_ms)
{
    const int result = tarvik_single_select(descriptor, flags & READ_WRITE_EXCEPT, timeout_ms);
    return result == -1 ? -1 : result & READ_WRITE_EXCEPT;
}

TARVIK_API int tarvik_rx_poll_fd(int descriptor, int timeout_ms)
{
    const int result = tarvik_single_select(descriptor, def_tarvik_select_read, timeout_ms);
    if (result < 0) {
        return -1;
    }
    return (result & def_tarvik_select_read) != 0 ? 1 : 0;
}

TARVIK_API int tarvik_tx_poll_fd(int descriptor, int timeout_ms)
{
    const int result = tarvik_single_select(descriptor, def_tarvik_select_write, timeout_ms);
    if (result < 0) {
        return -1;
    }
    return (result & def_tarvik_select_write) != 0 ? 1 : 0;
}

} // extern "C"
