// Checksums: the bit-serial CRC-16 (IBM and CCITT) and CRC-64/ISO, the CRC-32 of IEEE 802.3
// sliced eight bytes at a time, and Adler-32. The CRC-32 tables are built once, on first
// use, under a short lock; afterwards they are only read.
#include "crc.h"

#include "detail/common.hpp"
#include "detail/crc.hpp"
#include "detail/digest.hpp"

#include <atomic>

namespace {

constexpr uint32_t CRC32_POLYNOMIAL = 0xEDB88320u;
constexpr uint32_t CRC16_IBM_POLYNOMIAL = 0xA001u;
constexpr uint32_t CRC16_CCITT_POLYNOMIAL = 0x8408u;
constexpr uint64_t CRC64_ISO_POLYNOMIAL = 0xD800000000000000ull;
constexpr uint32_t ADLER_MODULUS = 65521u;
// The most bytes whose sums cannot overflow 32 bits before they are reduced.
constexpr size_t ADLER_RUN = 5552;

// Table n gives the CRC of a byte followed by n zero bytes: eight of them let eight input
// bytes be folded in at once. Built at run time: 8 KiB of memory, no bytes of the program.
uint32_t s_crc32_table[8][256];
std::atomic<uint32_t> s_crc32_ready{0};
tarvik_short_lock_t s_crc32_lock;

void build_crc32_tables_nolock()
{
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t value = n;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1u) != 0 ? (value >> 1) ^ CRC32_POLYNOMIAL : value >> 1;
        }
        s_crc32_table[0][n] = value;
    }
    for (uint32_t n = 0; n < 256; ++n) {
        for (int slice = 1; slice < 8; ++slice) {
            const uint32_t previous = s_crc32_table[slice - 1][n];
            s_crc32_table[slice][n] = (previous >> 8) ^ s_crc32_table[0][previous & 0xFFu];
        }
    }
}

// The ready flag is published with release order after the tables are complete, so a
// reader that sees it set also sees every entry.
const uint32_t (*crc32_tables())[256]
{
    if (s_crc32_ready.load(std::memory_order_acquire) == 0) {
        tarvik::detail::ShortLockGuard guard(&s_crc32_lock);
        if (s_crc32_ready.load(std::memory_order_relaxed) == 0) {
            build_crc32_tables_nolock();
            s_crc32_ready.store(1, std::memory_order_release);
        }
    }
    return s_crc32_table;
}

uint32_t crc32_update(const uint32_t (*table)[256], uint32_t value, const uint8_t *bytes,
                      size_t size)
{
    for (; size >= 8; size -= 8, bytes += 8) {
        const uint32_t one = tarvik::detail::load_le32(bytes) ^ value;
        const uint32_t two = tarvik::detail::load_le32(bytes + 4);
        value = table[7][one & 0xFFu] ^ table[6][(one >> 8) & 0xFFu] ^
                table[5][(one >> 16) & 0xFFu] ^ table[4][one >> 24] ^ table[3][two & 0xFFu] ^
                table[2][(two >> 8) & 0xFFu] ^ table[1][(two >> 16) & 0xFFu] ^ table[0][two >> 24];
    }
    for (; size > 0; --size) {
        value = table[0][(value ^ *bytes++) & 0xFFu] ^ (value >> 8);
    }
    return value;
}

// One reflected register of any width, a bit at a time.
template <typename Register>
Register reflected_bits(Register value, Register polynomial, const void *data, size_t size)
{
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < size; ++i) {
        value ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1u) != 0 ? (value >> 1) ^ polynomial : value >> 1;
        }
    }
    return value;
}

uint32_t crc16(uint32_t polynomial, uint32_t crc, const void *data, size_t size)
{
    if (data == nullptr) {
        return crc;
    }
    return reflected_bits<uint32_t>(crc & 0xFFFFu, polynomial, data, size);
}

} // namespace

namespace tarvik::detail {

uint32_t crc16_ccitt(uint32_t crc, const void *data, size_t size)
{
    return crc16(CRC16_CCITT_POLYNOMIAL, crc, data, size);
}

} // namespace tarvik::detail

extern "C" {

TARVIK_API uint32_t tarvik_crc32_ieee_802_3(int raw, uint32_t crc, const void *data, size_t size)
{
    if (data == nullptr) {
        return crc;
    }
    const uint32_t value = raw == 0 ? ~crc : crc;
    return ~crc32_update(crc32_tables(), value, static_cast<const uint8_t *>(data), size);
}

TARVIK_API uint32_t tarvik_crc16_ibm(int raw, uint32_t crc, const void *data, size_t size)
{
    (void)raw;
    return crc16(CRC16_IBM_POLYNOMIAL, crc, data, size);
}

TARVIK_API uint64_t tarvik_crc64_iso(int raw, uint64_t crc, const void *data, size_t size)
{
    if (data == nullptr) {
        return crc;
    }
    const uint64_t value = raw == 0 ? ~crc : crc;
    return ~reflected_bits<uint64_t>(value, CRC64_ISO_POLYNOMIAL, data, size);
}

// The sums are reduced once per run of ADLER_RUN bytes instead of after every byte; the
// result is the same, since no sum can pass 32 bits within a run.
TARVIK_API uint32_t tarvik_update_adler32(uint32_t adler, const void *data, size_t size)
{
    if (data == nullptr) {
        return adler;
    }
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    uint32_t a = adler & 0xFFFFu;
    uint32_t b = adler >> 16;
    while (size > 0) {
        size_t run = size < ADLER_RUN ? size : ADLER_RUN;
        size -= run;
        for (; run >= 8; run -= 8, bytes += 8) {
            a += bytes[0];
            b += a;
            a += bytes[1];
            b += a;
            a += bytes[2];
            b += a;
            a += bytes[3];
            b += a;
            a += bytes[4];
            b += a;
            a += bytes[5];
            b += a;
            a += bytes[6];
            b += a;
            a += bytes[7];
            b += a;
        }
        for (; run > 0; --run) {
            a += *bytes++;
            b += a;
        }
        a %= ADLER_MODULUS;
        b %= ADLER_MODULUS;
    }
    return b << 16 | a;
}

} // extern "C"
