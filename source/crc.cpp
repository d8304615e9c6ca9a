// Cyclic redundancy checks: the table-driven CRC-32 of IEEE 802.3 (reflected 0xEDB88320).
// The table is built once, on first use, under a short lock; afterwards it is only read.
#include "crc.h"

#include "detail/common.hpp"

#include <atomic>

namespace {

constexpr uint32_t CRC32_POLYNOMIAL = 0xEDB88320u;

uint32_t s_crc32_table[256];
std::atomic<uint32_t> s_crc32_ready{0};
tarvik_short_lock_t s_crc32_lock;

void build_crc32_table_nolock()
{
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t value = n;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1u) != 0 ? (value >> 1) ^ CRC32_POLYNOMIAL : value >> 1;
        }
        s_crc32_table[n] = value;
    }
}

// The ready flag is published with release order after the table is complete, so a reader
// that sees it set also sees every entry.
const uint32_t *crc32_table()
{
    if (s_crc32_ready.load(std::memory_order_acquire) == 0) {
        tarvik::detail::ShortLockGuard guard(&s_crc32_lock);
        if (s_crc32_ready.load(std::memory_order_relaxed) == 0) {
            build_crc32_table_nolock();
            s_crc32_ready.store(1, std::memory_order_release);
        }
    }
    return s_crc32_table;
}

} // namespace

extern "C" {

TARVIK_API uint32_t tarvik_crc32_ieee_802_3(int raw, uint32_t crc, const void *data, size_t size)
{
    if (data == nullptr) {
        return crc;
    }
    const uint32_t *table = crc32_table();
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    uint32_t value = raw == 0 ? ~crc : crc;
    for (size_t i = 0; i < size; ++i) {
        value = table[(value ^ bytes[i]) & 0xFFu] ^ (value >> 8);
    }
    return ~value;
}

} // extern "C"
